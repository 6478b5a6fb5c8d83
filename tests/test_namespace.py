"""The public namespace, the shipped type stubs and the optional extras."""

import ast
import inspect
import pathlib
import os
import subprocess
import sys

import pytest

import qorin
from qorin import _engine_rs

PKG = pathlib.Path(qorin.__file__).parent


def test_one_namespace_gives_the_model_api():
    for name in ("EngineSession", "HistoryStore", "ParameterLog", "Blueprint", "Params", "genetics",
                 "hooks", "HookProgramBuilder", "compute_offspring_tensor", "equilibrium_metrics",
                 "history_width", "history_store", "to_dataset", "to_dataframe", "population_size",
                 "adult_counts", "allele_frequencies", "genotype_frequencies", "save", "load",
                 "simulate", "replicates", "plot"):
        assert getattr(qorin, name) is not None, name
    assert qorin.EngineSession is _engine_rs.EngineSession
    for name in dir(_engine_rs):  # whatever the engine provides is re-exported
        if not name.startswith("_"):
            assert getattr(qorin, name) is getattr(_engine_rs, name), name
    assert set(qorin.__all__) <= set(dir(qorin)) | {"plot"}


def test_import_loads_no_optional_library():
    code = ("import sys, qorin; qorin.genetics.homing_drive(); "
            "print(sorted(m for m in ('pandas', 'xarray', 'matplotlib', 'dask', 'tqdm') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": str(PKG.parent)})
    assert out.stdout.strip() == "[]"


def _stub_signatures():
    """{name: (params, defaults)} for the stub's functions and {class: {member: ...}}."""
    tree = ast.parse((PKG / "_engine_rs.pyi").read_text())

    def sig(fn):
        a = fn.args
        names = [x.arg for x in a.posonlyargs + a.args]
        defaults = [None] * (len(names) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
        return list(zip(names, defaults))

    functions, classes = {}, {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = sig(node)
        elif isinstance(node, ast.ClassDef):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    decorators = [ast.unparse(d) for d in item.decorator_list]
                    members.setdefault(item.name, "property" if "property" in decorators else sig(item))
            classes[node.name] = members
    return functions, classes


def _runtime_signature(text, self_name=None):
    text = text.replace("$self", "self")
    fn = ast.parse(f"def f{text}: pass").body[0]
    a = fn.args
    names = [x.arg for x in a.posonlyargs + a.args]
    defaults = [None] * (len(names) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
    pairs = list(zip(names, defaults))
    return [("self", None)] + pairs if self_name else pairs


def test_stubs_match_the_runtime_text_signatures():
    functions, classes = _stub_signatures()
    for name in dir(_engine_rs):
        if name.startswith("_"):
            continue
        obj = getattr(_engine_rs, name)
        if isinstance(obj, type):
            assert name in classes, f"class {name} has no stub"
            members = classes[name]
            assert members.get("__init__") == _runtime_signature(obj.__text_signature__, "self"), name
            for attr, value in vars(obj).items():
                if attr.startswith("_"):
                    continue
                assert attr in members, f"{name}.{attr} has no stub"
                if inspect.isgetsetdescriptor(value) or isinstance(value, property):
                    assert members[attr] == "property", f"{name}.{attr}"
                else:
                    assert members[attr] == _runtime_signature(value.__text_signature__), f"{name}.{attr}"
        else:
            assert name in functions, f"function {name} has no stub"
            assert functions[name] == _runtime_signature(obj.__text_signature__), name


def test_stub_and_marker_ship_in_the_package():
    assert (PKG / "py.typed").exists()
    compile((PKG / "_engine_rs.pyi").read_text(), "_engine_rs.pyi", "exec")
