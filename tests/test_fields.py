"""The field table and the code table: the engine as compiled, its gates and
ids, and every Python layer (contracts, hooks, landscapes, scenario files) agree
with the one declaration they are all read from."""

import math

import numpy as np
import pytest

from model_util import format_number
from qorin import _engine_rs, _engine_testing as T, contracts, fields, hooks, landscape, scenario
from qorin.contracts import Blueprint, Params
from qorin.hooks import HookProgramBuilder, set_param
from qorin.landscape import LandscapeSession

SCALARS = fields.ECOLOGY_SCALARS
TENSORS = fields.ECOLOGY_TENSORS + fields.GENETICS_TENSORS


def _same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


# ------------------------------------------------------------ the engine as compiled
@pytest.mark.parametrize("dims", [(3, 2, 2), (1, 4, 3), (5, 9, 4)])
def test_the_compiled_field_table_is_the_parsed_one(dims):
    a, z, g = dims
    compiled = T.field_table(a, z, g)
    assert [row[0] for row in compiled] == list(fields.FIELDS)
    for name, group, pid, kind, extent, lower, upper, absent, optional, per_deme in compiled:
        f = fields.FIELDS[name]
        assert (group, pid, kind, optional, per_deme) == (f.group, f.param_id, f.kind, f.optional, f.per_deme)
        assert all(_same(x, y) for x, y in ((lower, f.lower), (upper, f.upper), (absent, f.absent)))
        assert extent == math.prod(fields.shape(name, a, z, g)), name


def test_the_compiled_codes_are_the_parsed_ones():
    compiled = {}
    for family, _name, value, label in T.code_table():
        compiled.setdefault(family, {})[label] = value
    assert compiled == fields.CODES
    assert set(compiled) == {"Event", "Stage", "Opcode", "Condition", "Token", "DemeSelector", "Sampler"}
    for family, codes in compiled.items():
        assert len(set(codes.values())) == len(codes), family  # no code used twice


def _session(n_ages=3):
    bp = Blueprint(n_ages=n_ages, new_adult_age=1)
    bp.initial_individual_count[:, 1:, 0] = 50.0
    return bp, _engine_rs.EngineSession(bp, Params(bp), seed=1)


def _inside(f):
    """Values the table allows: both ends (a finite one), the "not given" value, a midpoint."""
    hi = f.upper if math.isfinite(f.upper) else f.lower + 10.0
    out = [f.lower, hi, (f.lower + hi) / 2]
    if f.integral:
        out[2] = math.floor(out[2])
    return out + ([f.absent] if f.has_absent else [])


def _outside(f):
    out = [math.nextafter(f.lower, -math.inf), math.nan, math.inf]
    if math.isfinite(f.upper):
        out.append(math.nextafter(f.upper, math.inf))
    if f.integral:
        out.append(f.lower + 0.5)
    return out


@pytest.mark.parametrize("name", SCALARS)
def test_the_engine_gate_of_every_scalar_is_the_table_range(name):
    f = fields.FIELDS[name]
    _, s = _session()
    for v in _inside(f):
        s.apply({name: v})
        assert s.get_scalar(name) == v
    for v in _outside(f):
        with pytest.raises(ValueError) as err:
            s.apply({name: v})
        if f.param_id >= 0:  # the bounded scalars state their range
            assert f"[{format_number(f.lower)}, {format_number(f.upper)}]" in str(err.value)
    assert s.get_scalar(name) == _inside(f)[-1]  # a refused write changes nothing


@pytest.mark.parametrize("name", TENSORS)
def test_the_engine_lengths_of_every_tensor_are_the_table_shapes(name):
    bp, s = _session(n_ages=4)
    n = math.prod(fields.shape(name, bp.n_ages, bp.n_ztypes, bp.n_gtypes))
    assert s.get_tensor(name).size in ((0, n) if fields.FIELDS[name].optional else (n,))
    s.tensor_write(name, np.full(n, 0.5))
    assert s.get_tensor(name).tolist() == [0.5] * n
    with pytest.raises(ValueError, match=f"expected {n} elements, got {n + 1}"):
        s.tensor_write(name, np.full(n + 1, 0.5))
    with pytest.raises(ValueError, match="finite nonnegative"):  # the table's lower bound, 0
        s.tensor_write(name, np.full(n, math.nextafter(0.0, -1.0)))


@pytest.mark.parametrize("name", fields.PARAM_NAMES)
def test_journal_rows_carry_the_table_parameter_id(name):
    f = fields.FIELDS[name]
    bp, s = _session()
    value = f.lower + (min(f.upper, f.lower + 1.0) - f.lower) * 0.25  # no default is there
    program = HookProgramBuilder.for_blueprint(bp)
    program.add_hook("first", set_param(name, value))
    s.set_hook_program(program.build())
    s.run(1, 1)
    assert [row[1] for row in s.drain_eco_journal()] == [f.param_id]
    assert s.get_scalar(name) == value


def test_a_landscape_migration_rate_keeps_the_table_bounds():
    f = fields.FIELDS["migration_rate"]
    bp = Blueprint(n_ages=2, n_demes=2)
    s = LandscapeSession(bp, Params(bp), seed=0).session
    n = 2 * math.prod(fields.shape("migration_rate", 2))
    s.set_migration_rate(np.full(n, f.upper))
    with pytest.raises(ValueError, match=r"\[0, 1\]"):
        s.set_migration_rate(np.full(n, math.nextafter(f.upper, 2.0)))


# ------------------------------------------------------------ the Python layers
def test_contracts_and_landscapes_name_the_table_fields():
    assert contracts.ECOLOGY_SCALARS + contracts.ECOLOGY_TENSORS + contracts.GENETICS_TENSORS == \
        tuple(n for n, f in fields.FIELDS.items() if f.group == "EcologyScalar") + \
        tuple(n for n, f in fields.FIELDS.items() if f.group == "EcologyTensor") + \
        tuple(n for n, f in fields.FIELDS.items() if f.group == "Genetics")
    bp = Blueprint(n_ages=2, n_demes=3)
    columns = LandscapeSession(bp, Params(bp), seed=0).session.ecology_columns_snapshot()
    assert tuple(k for k in columns if k != "equilibrium_declared") == landscape.ECOLOGY_COLUMNS
    assert landscape.GENETICS_TENSORS == fields.GENETICS_TENSORS
    assert {n for n, f in fields.FIELDS.items() if f.per_deme} == set(landscape.ECOLOGY_COLUMNS)
    for name in landscape.ECOLOGY_COLUMNS:
        f = fields.FIELDS[name]
        assert columns[name].dtype == (np.int64 if f.integral else np.float64), name
        if f.is_scalar:
            assert columns[name].size == 3


def test_params_carry_every_field_in_its_table_kind_and_shape():
    bp = Blueprint(n_ages=3, new_adult_age=1)
    p = Params(bp)
    for name, f in fields.FIELDS.items():
        value = getattr(p, name)
        if f.is_scalar:
            assert type(value) is (int if f.integral else float), name
            assert f.admits(value), name
        else:
            want = fields.shape(name, bp.n_ages, bp.n_ztypes, bp.n_gtypes)
            assert value.shape == ((0,) if f.optional else want), name
            flat = Params(bp, **{name: np.ones(math.prod(want))})  # a flat override takes the shape
            assert getattr(flat, name).shape == want, name


def test_hooks_use_the_table_codes_and_ids():
    assert hooks.PARAM_IDS == fields.PARAM_IDS == {
        n: f.param_id for n, f in fields.FIELDS.items() if f.param_id >= 0}
    assert (hooks.EVENTS, hooks.STAGES, hooks.OPCODES) == (
        fields.CODES["Event"], fields.CODES["Stage"], fields.CODES["Opcode"])
    program = HookProgramBuilder(n_ages=2, n_ztypes=3)
    program.add_hook("late", [hooks.kill(0.5, when=hooks.every(2) & ~hooks.at(4)),
                              set_param("sex_ratio", hooks.param("sex_ratio") / 2)], demes=range(0, 2))
    built = program.build()
    cond, tok = fields.CODES["Condition"], fields.CODES["Token"]
    assert built.op_types_data.tolist() == [fields.CODES["Opcode"]["kill"], fields.CODES["Opcode"]["set_param"]]
    assert built.condition_types_data.tolist() == [cond["every"], cond["at"], cond["not"], cond["and"]]
    assert built.rpn_kinds.tolist() == [tok["param"], tok["literal"], tok["divide"]]
    assert built.deme_selector_types.tolist() == [fields.CODES["DemeSelector"]["range"]]
    assert built.hook_offsets.tolist() == [0, 0, 0, 1, 1]  # event "late" is id 2


SCENARIO = '''\
[run]
ticks = 1
[genetics]
builder = "autosomal_locus"
n_alleles = 2
[ages]
n_ages = 2
new_adult_age = 1
[ecology]
{name} = {value}
'''


def _toml(v):
    return str(int(v)) if float(v).is_integer() and abs(v) < 1e15 else repr(float(v))


@pytest.mark.parametrize("name", SCALARS)
def test_scenario_files_take_the_table_range_of_every_scalar(name):
    f = fields.FIELDS[name]
    for v in _inside(f):
        model = scenario.parse_scenario(SCENARIO.format(name=name, value=_toml(v))).models[0]
        assert getattr(model.params, name) == v
    for v in _outside(f):
        if not math.isfinite(v):
            continue  # TOML's nan and inf are refused as numbers elsewhere
        with pytest.raises(scenario.ScenarioError, match=f"ecology.{name}"):
            scenario.parse_scenario(SCENARIO.format(name=name, value=_toml(v)))


def test_the_parameter_reference_states_the_table_ranges():
    import pathlib
    import re

    page = (pathlib.Path(__file__).resolve().parents[1] / "docs" / "parameters.md").read_text()
    stated = {m[0]: (float(m[1]), float(m[2])) for m in re.findall(
        r"^\| `(\w+)` \|.*\| ([0-9.e]+) ?\.\. ?([0-9.e]+) \| [^|]* \|$", page, re.M)}
    bounded = [n for n in SCALARS if math.isfinite(fields.FIELDS[n].upper)]
    assert set(bounded) <= set(stated)
    for name in bounded:
        assert stated[name] == (fields.FIELDS[name].lower, fields.FIELDS[name].upper), name
