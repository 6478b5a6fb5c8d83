"""Scenario files: a model, its releases, a run and a parameter sweep in TOML.

``load_scenario(path)`` (or ``parse_scenario(text)``) reads a scenario,
checks every key, type and range, builds the model of every parameter set of
its sweep and returns a ``Scenario``; ``Scenario.run()`` runs it through
``qorin.sweep``. Anything wrong raises ``ScenarioError`` (a ``ValueError``)
naming the key and the line it is on, before anything runs. The format is
described in the user guide (docs/scenarios.md); ``DEMO`` is the scenario of
``qorin demo``.
"""

from __future__ import annotations

import copy
import itertools
import json
import math
import os
import re
import sys
from dataclasses import dataclass, field

import numpy as np

from . import generations as GEN
from . import contracts as C
from . import fields as F
from . import genetics as G
from . import hooks as H
from . import landscape as L
from . import scenario_sites as SS
from .contracts import Blueprint, Params
from .sweeps import Model

__all__ = ["ScenarioError", "Scenario", "load_scenario", "parse_scenario", "DEMO"]

DEMO = '''\
name = "homing suppression drive"
description = """Releases of drive-homozygous males into a stochastic population with
four age classes. The drive homes in the germline of heterozygotes and disrupts a
gene that females need to be fertile; functional resistance alleles can stop it.
Does the population collapse, and how soon, for two release sizes?"""

[run]
ticks = 100
replicates = 50
seed = 2024
stop_when_extinct = true

[genetics]
builder = "homing_drive"
cutting = 0.97
homing = [0.95, 0.9]               # female, male
functional_resistance = 0.0       # swept below
deposition = 0.05
disrupts = "female_fertility"
drive_cost = 0.05
dominance = 0.5

[ages]
n_ages = 4
new_adult_age = 1

[initial]
"W/W" = [0, 300, 200, 100]          # each sex, by age

[ecology]
carrying_capacity = 600
eggs_per_female = 20
low_density_growth_rate = 6
survival_rates = [0.8, 0.7, 0.5, 0.0]

[[release]]
genotype = "D/D"
sex = "male"
age = 1
count = 30
every = 4
stop = 12

[sweep]                            # 2 x 2 parameter sets, each run `replicates` times
"release.0.count" = [10, 40]
"genetics.functional_resistance" = [0.0, 0.01]

[summary]
threshold = 0
'''

MAX_ALLELES = 16  # a locus of n alleles has n(n+1)/2 genotypes and an offspring tensor of their cube
MAX_AGES = 10_000
MAX_DEMES = 100_000
_U64 = 2 ** 64
# bounds on the text itself, so that no file, however made, takes long or much memory to check
MAX_SCENARIO_BYTES = 1 << 18
MAX_NESTING = 32       # arrays, inline tables and tables within one another
MAX_KEY_PARTS = 64     # parts of one dotted key or table header
MAX_KEY_LENGTH = 128   # characters of one key
MAX_PARAMETER_SETS = 100_000
MAX_RELEASE_MARKS = 10_000  # release ticks kept to mark on figures (the first ones)


class ScenarioError(ValueError):
    """A scenario that cannot run: ``key`` is the dotted key, ``line`` its line
    (1-based; None when unknown), ``source`` the file."""

    def __init__(self, message: str, *, key: str | None = None, line: int | None = None,
                 source: str | None = None):
        self.key, self.line, self.source, self.reason = key, line, source, message
        where = ", ".join(p for p in (source, f"line {line}" if line else None) if p)
        text = f"{key}: {message}" if key else message
        super().__init__(f"{where}: {text}" if where else text)


# ------------------------------------------------------------------ key lines
_BARE = re.compile(r"[A-Za-z0-9_-]+")


class _KeyLines:
    """The line of every key, table header and array element of a TOML text.

    Paths are tuples of keys, with the index of an element for arrays and
    arrays of tables: the key ``count`` of the second ``[[release]]`` table is
    ("release", 1, "count"). The text must already be valid TOML."""

    def __init__(self, text: str):
        self.text = text
        self.pos = 0
        self.line = 1
        self.lines: dict = {}
        self.arrays: dict = {}  # path of an array of tables -> number of tables so far
        self._scan()

    def find(self, path: tuple) -> int | None:
        """The line of `path`, or of its longest prefix that has one."""
        path = tuple(path)
        while path:
            if path in self.lines:
                return self.lines[path]
            path = path[:-1]
        return None

    # -- scanning
    def _peek(self, n: int = 1) -> str:
        return self.text[self.pos:self.pos + n]

    def _advance(self, n: int = 1) -> None:
        self.line += self.text.count("\n", self.pos, self.pos + n)
        self.pos += n

    def _skip_blank(self, newlines: bool) -> None:
        while self.pos < len(self.text):
            c = self.text[self.pos]
            if c in " \t\r" or (newlines and c == "\n"):
                self._advance()
            elif c == "#":
                end = self.text.find("\n", self.pos)
                self._advance((len(self.text) if end < 0 else end) - self.pos)
            else:
                return

    def _record(self, path: tuple) -> None:
        self.lines.setdefault(path, self.line)

    def _scan(self) -> None:
        current: tuple = ()
        while True:
            self._skip_blank(newlines=True)
            if self.pos >= len(self.text):
                return
            if self._peek(2) == "[[":
                self._advance(2)
                keys = self._key("]")
                self._skip_blank(False)
                self._advance(2)
                base = self._resolve(keys[:-1]) + (keys[-1],)
                index = self.arrays.get(base, 0)
                self.arrays[base] = index + 1
                self._record(base)
                current = base + (index,)
                self._record(current)
            elif self._peek() == "[":
                self._advance()
                keys = self._key("]")
                self._skip_blank(False)
                self._advance()
                current = self._resolve(keys)
                self._record(current)
            else:
                keys = self._key("=")
                self._skip_blank(False)
                self._advance()  # '='
                path = current + keys
                for k in range(1, len(keys) + 1):
                    self._record(current + keys[:k])
                self._value(path)

    def _resolve(self, keys: tuple) -> tuple:
        """A header's keys with every array of tables replaced by its last table."""
        out: tuple = ()
        for key in keys:
            out += (key,)
            if out in self.arrays:
                out += (self.arrays[out] - 1,)
        return out

    def _key(self, stop: str) -> tuple:
        """A dotted key up to `stop` (not consumed)."""
        parts = []
        while True:
            self._skip_blank(False)
            c = self._peek()
            if c == '"':
                end = self.pos + 1
                while self.text[end] != '"':
                    end += 2 if self.text[end] == "\\" else 1
                raw = self.text[self.pos:end + 1]
                parts.append(json.loads(raw) if "\\" not in raw else _toml_string(raw))
                self._advance(end + 1 - self.pos)
            elif c == "'":
                end = self.text.index("'", self.pos + 1)
                parts.append(self.text[self.pos + 1:end])
                self._advance(end + 1 - self.pos)
            else:
                m = _BARE.match(self.text, self.pos)
                if not m:
                    raise ValueError("not a key")
                parts.append(m.group(0))
                self._advance(m.end() - self.pos)
            self._skip_blank(False)
            if self._peek() == ".":
                self._advance()
                continue
            if self._peek() == stop or self.text.startswith(stop, self.pos):
                return tuple(parts)
            raise ValueError("not a key")

    def _value(self, path: tuple) -> None:
        self._skip_blank(False)
        t = self.text
        if t.startswith('"""', self.pos) or t.startswith("'''", self.pos):
            quote = t[self.pos:self.pos + 3]
            end = self.pos + 3
            while True:
                end = t.index(quote, end)
                if quote == '"""' and _escaped(t, end):
                    end += 1
                    continue
                break
            while t.startswith(quote[0], end + 3):  # up to two quotes may close the content
                end += 1
            self._advance(end + 3 - self.pos)
        elif t.startswith('"', self.pos):
            end = self.pos + 1
            while t[end] != '"':
                end += 2 if t[end] == "\\" else 1
            self._advance(end + 1 - self.pos)
        elif t.startswith("'", self.pos):
            self._advance(t.index("'", self.pos + 1) + 1 - self.pos)
        elif t.startswith("[", self.pos):
            self._advance()
            index = 0
            while True:
                self._skip_blank(True)
                if self._peek() == "]":
                    self._advance()
                    return
                self._record(path + (index,))
                self._value(path + (index,))
                self._skip_blank(True)
                if self._peek() == ",":
                    self._advance()
                index += 1
        elif t.startswith("{", self.pos):
            self._advance()
            while True:
                self._skip_blank(False)
                if self._peek() == "}":
                    self._advance()
                    return
                keys = self._key("=")
                for k in range(1, len(keys) + 1):
                    self._record(path + keys[:k])
                self._skip_blank(False)
                self._advance()
                self._value(path + keys)
                self._skip_blank(False)
                if self._peek() == ",":
                    self._advance()
        else:
            m = re.compile(r"[^,\]}\n#]*").match(t, self.pos)
            self._advance(m.end() - self.pos)


def _escaped(text: str, pos: int) -> bool:
    n = 0
    while pos - 1 - n >= 0 and text[pos - 1 - n] == "\\":
        n += 1
    return n % 2 == 1


def _toml_string(raw: str) -> str:
    return _tomllib().loads(f"k = {raw}")["k"]


def _tomllib():
    if sys.version_info >= (3, 11):
        import tomllib

        return tomllib
    try:
        import tomli

        return tomli
    except ImportError as exc:  # pragma: no cover - Python 3.10 only
        raise ImportError("reading scenario files on Python 3.10 needs tomli: pip install tomli") from exc


def _key_lines(text: str) -> _KeyLines | None:
    try:
        return _KeyLines(text)
    except (ValueError, IndexError):  # a construct the scanner does not know: no line numbers
        return None


# ------------------------------------------------------------------ guards
_KEY_PART = r"""(?:[A-Za-z0-9_-]+|"[^"\n]*"|'[^'\n]*')"""
_LONG_DOTTED_KEY = re.compile(rf"""(?<![A-Za-z0-9_"'-]){_KEY_PART}(?:[ \t]*\.[ \t]*{_KEY_PART}){{{MAX_KEY_PARTS},}}""")
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def _shown_key(path) -> str:
    text = _dotted(path)
    text = _CONTROL.sub("?", text)
    return text if len(text) <= 80 else text[:77] + "..."


def _guard_text(text: str, source: str | None) -> None:
    """Refuse, before the TOML parser sees it, a text too large or with a
    dotted key of so many parts that parsing it takes long or much memory."""
    if len(text) > MAX_SCENARIO_BYTES:
        raise ScenarioError(f"the scenario is {len(text):,} characters long; a scenario file holds "
                            f"at most {MAX_SCENARIO_BYTES:,} bytes", source=source)
    m = _LONG_DOTTED_KEY.search(text)
    if m:
        line = text.count("\n", 0, m.start()) + 1
        raise ScenarioError(f"a dotted key of more than {MAX_KEY_PARTS} parts", line=line,
                            source=source)


def _guard_document(doc: dict, source: str | None) -> None:
    """Refuse values nested too deeply and keys too long or holding control
    characters (they could not be shown in a one-line message)."""
    stack = [(doc, 0, ())]
    while stack:
        node, depth, path = stack.pop()
        if depth > MAX_NESTING:
            raise ScenarioError(f"values are nested more than {MAX_NESTING} levels deep",
                                key=_shown_key(path[:4]) + "...", source=source)
        if isinstance(node, dict):
            for key, value in node.items():
                if len(key) > MAX_KEY_LENGTH:
                    raise ScenarioError(f"a key of {len(key):,} characters; keys have at most "
                                        f"{MAX_KEY_LENGTH}", key=_shown_key(path + (key,)), source=source)
                if _CONTROL.search(key):
                    raise ScenarioError("a key holds a control character (a line break, tab, ...)",
                                        key=_shown_key(path + (key,)), source=source)
                if isinstance(value, (dict, list)):
                    stack.append((value, depth + 1, path + (key,)))
        else:
            for k, value in enumerate(node):
                if isinstance(value, (dict, list)):
                    stack.append((value, depth + 1, path + (k,)))


def _guard_sweep_size(doc: dict, source: str | None) -> None:
    """Refuse a sweep of more parameter sets than a scenario may check."""
    sweep = doc.get("sweep")
    if not isinstance(sweep, dict):
        return
    n, stack = 1, [sweep]
    while stack:
        node = stack.pop()
        for value in node.values():
            if isinstance(value, dict):
                stack.append(value)
            elif isinstance(value, list):
                n *= max(len(value), 1)
    if n > MAX_PARAMETER_SETS:
        raise ScenarioError(f"the sweep makes {n:,} parameter sets; a scenario runs at most "
                            f"{MAX_PARAMETER_SETS:,} (split it, or sweep from Python with qorin.sweep)",
                            key="sweep", source=source)


def _release_marks(doc: dict, ticks: int) -> list:
    """The ticks 0..`ticks` at which some release of a checked document
    happens: the first MAX_RELEASE_MARKS of them, in time proportional to the
    releases, not to the ticks."""
    marks: set = set()
    for rel in doc.get("release", []):
        if "at" in rel:
            at = rel["at"] if isinstance(rel["at"], list) else [rel["at"]]
            marks.update(int(t) for t in at if 0 <= t <= ticks)
            continue
        every, start = int(rel["every"]), int(rel.get("start", 0))
        stop = min(int(rel.get("stop", ticks + 1)), ticks + 1)
        first = -(-start // every) * every
        marks.update(range(first, min(stop, first + every * MAX_RELEASE_MARKS), every))
    return sorted(marks)[:MAX_RELEASE_MARKS]


def _available_memory() -> int | None:
    """Bytes of memory this process may still use (None when unknown)."""
    limits = []
    try:
        with open("/proc/meminfo") as fh:
            for line in fh:
                if line.startswith("MemAvailable:"):
                    limits.append(int(line.split()[1]) * 1024)
    except (OSError, ValueError, IndexError):
        try:
            limits.append(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))
        except (OSError, ValueError, AttributeError):
            pass
    try:
        with open("/sys/fs/cgroup/memory.max") as fh:
            text = fh.read().strip()
        if text.isdigit():
            used = 0
            try:
                with open("/sys/fs/cgroup/memory.current") as fh:
                    used = int(fh.read().strip())
            except (OSError, ValueError):
                pass
            limits.append(max(int(text) - used, 0))
    except OSError:
        pass
    return min(limits) if limits else None


def _bytes(n: int) -> str:
    for unit, size in (("TB", 1e12), ("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if n >= size:
            return f"{n / size:.3g} {unit}"
    return f"{n} bytes"


# ------------------------------------------------------------------ checking
def _dotted(path) -> str:
    return ".".join(str(p) for p in path)


def _kind(value) -> str:
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, int):
        return "an integer"
    if isinstance(value, float):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "a table"
    return f"a {type(value).__name__}"


def _show(value) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, list):
        return "[" + ", ".join(_show(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k} = {_show(v)}" for k, v in value.items()) + "}"
    return str(value)


_fmt = C.fmt  # bounds and ranges are written as the Python checks write them


@dataclass
class _Checker:
    source: str | None
    lines: _KeyLines | None
    overrides: dict = field(default_factory=dict)  # path -> (sweep key path, name, value number)
    point: str = ""  # the parameter set being checked, for messages

    def err(self, path, message: str):
        path = tuple(path)
        for k in range(len(path), 0, -1):
            hit = self.overrides.get(path[:k])
            if hit is not None:
                key_path, name, number, value = hit
                line = self.lines.find(key_path) if self.lines else None
                raise ScenarioError(f"value {number} ({_show(value)}): {_dotted(path)} {message}",
                                    key=_dotted(key_path), line=line, source=self.source)
        line = self.lines.find(path) if self.lines else None
        suffix = f" (in the parameter set {self.point})" if self.point else ""
        raise ScenarioError(message + suffix, key=_dotted(path) or None, line=line, source=self.source)

    # -- types
    def table(self, value, path, allowed, required=()) -> dict:
        if not isinstance(value, dict):
            self.err(path, f"must be a table, got {_kind(value)}")
        for key in value:
            if key not in allowed:
                self.err(tuple(path) + (key,), "unknown key; allowed: " + ", ".join(allowed))
        for key in required:
            if key not in value:
                self.err(path, f"missing the required key {key!r}")
        return value

    def boolean(self, value, path) -> bool:
        if not isinstance(value, bool):
            self.err(path, f"must be true or false, got {_kind(value)}")
        return value

    def string(self, value, path, choices=None) -> str:
        if not isinstance(value, str):
            self.err(path, f"must be a string, got {_kind(value)}")
        if choices is not None and value not in choices:
            self.err(path, f"must be one of {', '.join(map(json.dumps, choices))}; got {json.dumps(value)}")
        return value

    def integer(self, value, path, lo=None, hi=None) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            self.err(path, f"must be an integer, got {_kind(value)}")
        problem = C.integer_problem(value, lo, hi)
        if problem:
            self.err(path, problem)
        return value

    def number(self, value, path, lo=None, hi=None, *, rate=False) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            self.err(path, f"must be a number, got {_kind(value)}")
        v = float(value)
        if rate:
            if not 0.0 <= v <= 1.0:
                self.err(path, f"must be a rate in [0, 1], got {_show(value)}")
            return v
        problem = C.number_problem(value, lo, hi)
        if problem:
            self.err(path, problem)
        return v

    def array(self, value, path, length=None) -> list:
        if not isinstance(value, list):
            self.err(path, f"must be an array, got {_kind(value)}")
        if length is not None and len(value) != length:
            self.err(path, f"must hold {length} values, got {len(value)}")
        return value


_range = C.range_text


# ------------------------------------------------------------------ the schema
_TOP = ("name", "description", "run", "genetics", "ages", "initial", "ecology", "release",
        "landscape", "sweep", "summary")
_RUN = ("ticks", "record_interval", "replicates", "seed", "stochastic", "continuous_sampling",
        "fixed_egg_count", "stop_when_extinct", "generations", "sampling", "round_counts")
_NOT_SWEPT = ("run.ticks", "run.record_interval", "run.replicates", "run.seed")
_SUMMARY = ("threshold", "adults_only", "sex")
_AGES = ("n_ages", "new_adult_age")
_RELEASE = ("genotype", "count", "sex", "age", "at", "every", "start", "stop", "event", "demes",
            "sites", "near")
_LANDSCAPE = ("shape", "n_demes", "rows", "cols", "migration_rate") + SS.SITE_KEYS
_SHAPE_KEYS = {"ring": ("n_demes",), "grid": ("rows", "cols")}
_DRIVE = ("cutting", "homing", "functional_resistance", "deposition", "disrupts", "drive_cost",
          "dominance", "fitness", "fecundity", "allele_names", "zygotic_cutting", "zygotic_homing")
_COSTS = ("cost", "dominance", "fitness", "fecundity", "allele_names")
_BUILDERS = {
    "autosomal_locus": ("n_alleles", "allele_names"),
    "xy_locus": ("n_x_alleles", "allele_names"),
    "homing_drive": _DRIVE,
    "split_drive": _DRIVE + ("cas9_cost", "cas9_dominance", "cas9_names"),
    "x_linked_distorter": ("transmission", "female_transmission", "fitness", "fecundity",
                           "allele_names"),
    "driving_y": ("transmission", "cost", "fitness", "fecundity", "allele_names"),
    "medea": ("toxicity", "antidote") + _COSTS,
    "underdominance": ("lethality",) + _COSTS,
    "female_lethal": ("lethality", "sterility", "timing") + _COSTS,
    "cleave_and_rescue": ("cutting", "deposition", "lethality", "target_names") + _COSTS,
}
# rates given per sex by some builders only
_PER_SEX_OF = {"female_lethal": ("lethality", "sterility")}
_NAME_COUNTS = {"homing_drive": 4, "split_drive": 4, "x_linked_distorter": 2, "driving_y": 3,
                "medea": 2, "female_lethal": 2, "cleave_and_rescue": 2}
_PER_SEX_RATES = ("cutting", "homing", "functional_resistance")
_RATES = ("deposition", "drive_cost", "dominance", "cas9_cost", "cas9_dominance", "transmission",
          "female_transmission", "zygotic_cutting", "zygotic_homing", "toxicity", "antidote", "cost",
          "lethality")
_DISRUPTS = ("female_fertility", "fertility", "viability")
# the ranges of ecology values, shared with the Python checks (qorin.contracts):
# scalars (low, high, integer); tensors by sex and age (female range, male range); by age.
# `population_size` is N of Wright-Fisher generations, given as carrying_capacity.
_ECO_SCALARS = {**C.SCALAR_BOUNDS,
                "population_size": (1.0, C.SCALAR_BOUNDS["carrying_capacity"][1], False)}
_ECO_SEX_AGE = C.SEX_AGE_BOUNDS
_ECO_AGE = C.AGE_BOUNDS
_ECOLOGY = tuple(_ECO_SCALARS) + tuple(_ECO_SEX_AGE) + tuple(_ECO_AGE)
_SEX_KEYS = ("female", "male")
_WHOLE_HINT = "round them, or set round_counts = true in [run]"


def _run_settings(doc, chk: _Checker) -> dict:
    run = chk.table(doc.get("run", {}), ("run",), _RUN, required=("ticks",))
    out = {"ticks": chk.integer(run["ticks"], ("run", "ticks"), 0, 10 ** 9),
           "record_interval": chk.integer(run.get("record_interval", 1), ("run", "record_interval"), 1),
           "replicates": chk.integer(run.get("replicates", 1), ("run", "replicates"), 1, 10 ** 7),
           "seed": chk.integer(run.get("seed", 0), ("run", "seed"), 0, _U64 - 1)}
    for key, default in (("stochastic", True), ("continuous_sampling", False),
                         ("fixed_egg_count", False), ("stop_when_extinct", False),
                         ("round_counts", False)):
        out[key] = chk.boolean(run.get(key, default), ("run", key))
    out["generations"] = chk.string(run.get("generations", "overlapping"), ("run", "generations"),
                                    GEN.GENERATIONS)
    out["sampling"] = 0
    if "sampling" in run:
        if out["generations"] != "wright_fisher":
            chk.err(("run", "sampling"), "applies to Wright-Fisher generations only "
                                         "(generations = \"wright_fisher\")")
        out["sampling"] = chk.string(run["sampling"], ("run", "sampling"), tuple(GEN.SAMPLING_MODES))
    return out


def _summary_settings(doc, chk: _Checker) -> dict:
    s = chk.table(doc.get("summary", {}), ("summary",), _SUMMARY)
    return {"threshold": chk.number(s.get("threshold", 0.0), ("summary", "threshold"), 0.0),
            "adults_only": chk.boolean(s.get("adults_only", False), ("summary", "adults_only")),
            "sex": chk.string(s.get("sex", "both"), ("summary", "sex"), ("both", "female", "male"))}


def _per_sex_rate(value, path, chk: _Checker) -> tuple:
    if isinstance(value, dict):
        chk.table(value, path, _SEX_KEYS, required=_SEX_KEYS)
        return tuple(chk.number(value[s], path + (s,), rate=True) for s in _SEX_KEYS)
    if isinstance(value, list):
        chk.array(value, path, 2)
        return tuple(chk.number(v, path + (k,), rate=True) for k, v in enumerate(value))
    v = chk.number(value, path, rate=True)
    return (v, v)


def _names(value, path, chk: _Checker, count=None) -> list:
    chk.array(value, path, count)
    return [chk.string(v, path + (k,)) for k, v in enumerate(value)]


def _fitness_values(value, path, locus, chk: _Checker) -> dict:
    if not isinstance(value, dict):
        chk.err(path, f"must be a table of genotype label = fitness, got {_kind(value)}")
    out = {}
    for label, v in value.items():
        p = path + (label,)
        try:
            locus.index(label, argument=_dotted(path))
        except (TypeError, ValueError):
            chk.err(p, f"is not a genotype of this model; allowed: {', '.join(locus.labels)}")
        if isinstance(v, dict):
            chk.table(v, p, _SEX_KEYS)
            out[label] = {s: chk.number(x, p + (s,), 0.0) for s, x in v.items()}
        elif isinstance(v, list):
            chk.array(v, p, 2)
            out[label] = tuple(chk.number(x, p + (k,), 0.0) for k, x in enumerate(v))
        else:
            out[label] = chk.number(v, p, 0.0)
    return out


def _genetics(doc, chk: _Checker):
    path = ("genetics",)
    gen = doc["genetics"]
    if not isinstance(gen, dict):
        chk.err(path, f"must be a table, got {_kind(gen)}")
    if "builder" not in gen:
        chk.err(path, "missing the required key 'builder'; one of " + ", ".join(_BUILDERS))
    builder = chk.string(gen["builder"], path + ("builder",), tuple(_BUILDERS))
    allowed = ("builder",) + _BUILDERS[builder]
    chk.table(gen, path, allowed)
    kwargs: dict = {}
    tables: dict = {}
    for key, value in gen.items():
        p = path + (key,)
        if key == "builder":
            continue
        if key in _PER_SEX_RATES or key in _PER_SEX_OF.get(builder, ()):
            kwargs[key] = _per_sex_rate(value, p, chk)
        elif key in _RATES:
            kwargs[key] = chk.number(value, p, rate=True)
        elif key == "disrupts":
            kwargs[key] = chk.string(value, p, _DISRUPTS)
        elif key == "timing":
            kwargs[key] = chk.string(value, p, ("early", "late"))
        elif key == "allele_names" and builder == "underdominance":
            kwargs[key] = [_names(v, p + (k,), chk, 2) for k, v in enumerate(chk.array(value, p, 2))]
        elif key == "target_names":
            kwargs[key] = _names(value, p, chk, 2)
        elif key in ("n_alleles", "n_x_alleles"):
            kwargs[key] = chk.integer(value, p, 1, MAX_ALLELES)
        elif key == "allele_names":
            count = _NAME_COUNTS.get(builder)
            if builder in ("autosomal_locus", "xy_locus"):
                n = gen.get("n_alleles" if builder == "autosomal_locus" else "n_x_alleles")
                count = n if isinstance(n, int) and not isinstance(n, bool) else None
            kwargs[key] = _names(value, p, chk, count)
        elif key == "cas9_names":
            kwargs[key] = _names(value, p, chk, 2)
        elif key in ("fitness", "fecundity"):
            tables[key] = value
    if builder == "autosomal_locus" and "allele_names" in kwargs and "n_alleles" not in kwargs:
        kwargs["n_alleles"] = chk.integer(len(kwargs["allele_names"]), path + ("allele_names",), 1,
                                          MAX_ALLELES)
    if builder == "xy_locus" and "allele_names" in kwargs and "n_x_alleles" not in kwargs:
        kwargs["n_x_alleles"] = chk.integer(len(kwargs["allele_names"]), path + ("allele_names",), 1,
                                            MAX_ALLELES)
    make = getattr(G, builder)
    try:
        locus = make(**kwargs)
    except ValueError as exc:
        chk.err(path + (_culprit(str(exc), kwargs),), str(exc))
    if tables:
        for key, value in tables.items():
            kwargs[key] = _fitness_values(value, path + (key,), locus, chk)
        try:
            locus = make(**kwargs)
        except ValueError as exc:
            chk.err(path + (_culprit(str(exc), kwargs),), str(exc))
    return locus


def _culprit(message: str, kwargs: dict) -> str:
    """The argument a builder's message is about (the table itself when none)."""
    for key in kwargs:
        if message.startswith(key):
            return key
    return ""


def _by_age(value, path, n_ages: int, lo, hi, chk: _Checker, *, number_fill=None) -> np.ndarray:
    """A number (every age, or the ages of `number_fill`) or an array of one value per age."""
    if isinstance(value, list):
        chk.array(value, path, n_ages)
        return np.array([chk.number(v, path + (k,), lo, hi) for k, v in enumerate(value)])
    v = chk.number(value, path, lo, hi)
    out = np.full(n_ages, v)
    if number_fill is not None:
        out[~number_fill] = 0.0
    return out


def _by_sex_age(value, path, n_ages: int, ranges, chk: _Checker, *, number_fill=None,
                missing=None) -> np.ndarray:
    """(2, A): a number or an array by age (both sexes), two arrays (female,
    male), or a table {female = ..., male = ...}."""
    if isinstance(value, dict):
        chk.table(value, path, _SEX_KEYS, required=() if missing is not None else _SEX_KEYS)
        rows = []
        for s, key in enumerate(_SEX_KEYS):
            if key in value:
                rows.append(_by_age(value[key], path + (key,), n_ages, *ranges[s], chk,
                                    number_fill=number_fill))
            else:
                rows.append(np.full(n_ages, missing))
        return np.stack(rows)
    if isinstance(value, list) and value and all(isinstance(v, list) for v in value):
        chk.array(value, path, 2)
        return np.stack([_by_age(value[s], path + (s,), n_ages, *ranges[s], chk) for s in range(2)])
    # one value for both sexes: it must suit the range of each
    lows = [r[0] for r in ranges if r[0] is not None]
    highs = [r[1] for r in ranges if r[1] is not None]
    lo, hi = (max(lows) if lows else None), (min(highs) if highs else None)
    row = _by_age(value, path, n_ages, lo, hi, chk, number_fill=number_fill)
    return np.stack([row, row.copy()])


def _ages(doc, chk: _Checker) -> tuple:
    ages = chk.table(doc["ages"], ("ages",), _AGES, required=("n_ages",))
    n = chk.integer(ages["n_ages"], ("ages", "n_ages"), 1, MAX_AGES)
    adult = chk.integer(ages.get("new_adult_age", min(1, n - 1)), ("ages", "new_adult_age"), 0, n - 1)
    return n, adult


def _schedule(rel, path, chk: _Checker):
    """The release condition: ticks `at`, or every `every` ticks from `start`
    (inclusive) before `stop`."""
    if ("at" in rel) == ("every" in rel):
        chk.err(path, "give either 'at' (a tick or an array of ticks) or 'every' (with optional "
                      "'start' and 'stop')" + ("" if "at" not in rel else ", not both"))
    if "at" in rel:
        for key in ("start", "stop"):
            if key in rel:
                chk.err(path + (key,), f"{key!r} goes with 'every', not with 'at'")
        at = rel["at"]
        ticks = [chk.integer(t, path + ("at", k), 0) for k, t in enumerate(chk.array(at, path + ("at",)))] \
            if isinstance(at, list) else [chk.integer(at, path + ("at",), 0)]
        if not ticks:
            chk.err(path + ("at",), "must name at least one tick")
        cond = H.at(ticks[0])
        for t in ticks[1:]:
            cond = cond | H.at(t)
        return cond
    every = chk.integer(rel["every"], path + ("every",), 1)
    start = chk.integer(rel.get("start", 0), path + ("start",), 0)
    cond = H.every(every)
    if start > 0:
        cond = cond & H.from_tick(start)
    if "stop" in rel:
        stop = chk.integer(rel["stop"], path + ("stop",), start + 1)
        cond = cond & H.before(stop)
    return cond


def _landscape(doc, chk: _Checker):
    """The [landscape] section: None without one, else (n_demes, (indptr, dest,
    weights), (female, male) migration rates, the ``Landscape`` or None for a
    plain ring or grid)."""
    if "landscape" not in doc:
        return None
    path = ("landscape",)
    land = chk.table(doc["landscape"], path, _LANDSCAPE)
    if "sites" in land:
        for key in _LANDSCAPE[:4]:
            if key in land:
                chk.err(path + (key,), "does not apply to a landscape of sites (its sites file sets them)")
        if "migration_rate" not in land:
            chk.err(path, "missing the required key 'migration_rate'")
        rates = _per_sex_rate(land["migration_rate"], path + ("migration_rate",), chk)
        landscape = SS.build(land, path, rates, chk, chk.source)
        if landscape.n_sites > MAX_DEMES:
            chk.err(path + ("sites",), f"holds {landscape.n_sites} sites; a landscape holds up to {MAX_DEMES}")
        g = landscape.graph
        return landscape.n_sites, (g.indptr, g.dest, g.weights), rates, landscape
    for key in ("shape", "migration_rate"):
        if key not in land:
            chk.err(path, f"missing the required key {key!r}")
    shape = chk.string(land["shape"], path + ("shape",), tuple(_SHAPE_KEYS))
    for key in _LANDSCAPE[1:4]:
        if key in land and key not in _SHAPE_KEYS[shape]:
            chk.err(path + (key,), f"does not apply to a {shape}; a {shape} takes "
                                   + " and ".join(repr(k) for k in _SHAPE_KEYS[shape]))
    for key in _SHAPE_KEYS[shape]:
        if key not in land:
            chk.err(path, f"a {shape} needs the key {key!r}")
    if shape == "ring":
        n = chk.integer(land["n_demes"], path + ("n_demes",), 2, MAX_DEMES)
        graph = L.ring(n)
    else:
        rows = chk.integer(land["rows"], path + ("rows",), 1, MAX_DEMES)
        cols = chk.integer(land["cols"], path + ("cols",), 1, MAX_DEMES)
        n = rows * cols
        if n < 2 or n > MAX_DEMES:
            chk.err(path + ("cols",), f"a grid of {rows} x {cols} holds {n} demes; a landscape "
                                      f"holds 2 to {MAX_DEMES}")
        graph = L.grid(rows, cols)
    rates = _per_sex_rate(land["migration_rate"], path + ("migration_rate",), chk)
    landscape = None
    if SS.uses_sites(land):
        from .sites import Landscape

        made = Landscape.ring(n) if shape == "ring" else Landscape.grid(rows, cols)
        landscape = SS.build(land, path, rates, chk, chk.source, shape_graph=(made.x, made.y, graph))
    return n, graph, rates, landscape


def _release_demes(rel, path, n_demes, chk: _Checker):
    """The demes a release goes to: None for every deme of the landscape."""
    if "demes" not in rel:
        return None
    p = path + ("demes",)
    if n_demes is None:
        chk.err(p, "releases go to demes of a landscape; add a [landscape] section or drop "
                   "this key")
    value = rel["demes"]
    if isinstance(value, list):
        demes = [chk.integer(d, p + (j,), 0, n_demes - 1) for j, d in enumerate(value)]
        if not demes:
            chk.err(p, "must name at least one deme")
        for j, d in enumerate(demes):
            if d in demes[:j]:
                chk.err(p + (j,), f"names deme {d} twice")
        return demes
    return [chk.integer(value, p, 0, n_demes - 1)]


def _releases(doc, bp, chk: _Checker, program: H.HookProgramBuilder, n_demes=None,
              landscape=None, *, round_counts=False) -> None:
    releases = doc.get("release", [])
    if isinstance(releases, dict):
        chk.err(("release",), "must be an array of tables: write each release as [[release]]")
    chk.array(releases, ("release",))
    locus = bp.locus
    n = int(bp.n_ages)
    for k, rel in enumerate(releases):
        path = ("release", k)
        chk.table(rel, path, _RELEASE, required=("genotype", "count"))
        label = chk.string(rel["genotype"], path + ("genotype",))
        try:
            locus.index(label)
        except ValueError:
            chk.err(path + ("genotype",), f"{json.dumps(label)} is not a genotype of this model; "
                                          f"allowed: {', '.join(locus.labels)}")
        count = chk.number(rel["count"], path + ("count",), *C.COUNT_BOUNDS)
        if C.samples_whole_individuals(bp) and not count.is_integer():
            if not round_counts:
                chk.err(path + ("count",), C.whole_problem(count, _WHOLE_HINT))
            count = float(np.floor(count + 0.5))
        sex = chk.string(rel.get("sex", "male"), path + ("sex",), ("male", "female", "both"))
        age = rel.get("age", int(bp.new_adult_age))
        if isinstance(age, list):
            ages = [chk.integer(a, path + ("age", j), 0, n - 1)
                    for j, a in enumerate(chk.array(age, path + ("age",)))]
            if not ages:
                chk.err(path + ("age",), "must name at least one age")
        else:
            ages = [chk.integer(age, path + ("age",), 0, n - 1)]
        wf = getattr(bp, "generations", None) == "wright_fisher"  # runs the event "first" only
        event = chk.string(rel.get("event", "first" if wf else "early"), path + ("event",),
                           ("first", "early", "late"))
        if wf and event != "first":
            chk.err(path + ("event",), "a Wright-Fisher generation runs the event \"first\" only")
        demes = _release_demes(rel, path, n_demes, chk)
        chosen = SS.release_sites(rel, path, landscape, chk)
        if chosen is not None:
            demes = chosen
        when = _schedule(rel, path, chk)
        program.add_hook(event, H.release(count, sex=sex, ages=ages, ztypes=[label], when=when),
                         demes=demes)


def _initial(doc, bp, chk: _Checker, *, round_counts=False) -> None:
    initial = doc.get("initial", {})
    if not isinstance(initial, dict):
        chk.err(("initial",), f"must be a table of genotype label = counts, got {_kind(initial)}")
    locus = bp.locus
    n = int(bp.n_ages)
    adult = np.arange(n) >= int(bp.new_adult_age)
    seen = {}
    for label, value in initial.items():
        path = ("initial", label)
        try:
            z = locus.index(label)
        except ValueError:
            chk.err(path, f"is not a genotype of this model; allowed: {', '.join(locus.labels)}")
        if z in seen:
            chk.err(path, f"names the same genotype as {json.dumps(seen[z])}")
        seen[z] = label
        counts = _by_sex_age(value, path, n, (C.COUNT_BOUNDS, C.COUNT_BOUNDS), chk,
                             number_fill=adult, missing=0.0)
        if C.samples_whole_individuals(bp):
            if round_counts:
                counts = np.floor(counts + 0.5)
            fractional = np.argwhere(counts != np.floor(counts))
            if len(fractional):
                sex, age = (int(i) for i in fractional[0])
                chk.err(path, f"{C.cell_name(bp, sex, age, z)}: "
                              f"{C.whole_problem(counts[sex, age], _WHOLE_HINT)}")
        bp.initial_individual_count[:, :, z] = counts


def _ecology(doc, n_ages: int, chk: _Checker) -> dict:
    eco = chk.table(doc.get("ecology", {}), ("ecology",), _ECOLOGY)
    out = {}
    for key, value in eco.items():
        path = ("ecology", key)
        if key in _ECO_SCALARS:
            lo, hi, integral = _ECO_SCALARS[key]
            if integral:
                out[key] = chk.integer(value, path, lo, hi)
            else:
                v = chk.number(value, path, lo, hi)
                f = F.FIELDS.get(key)  # None for the Wright-Fisher population size
                if f is not None and f.has_absent and v < f.lower and v != f.absent:
                    chk.err(path, f"must be >= {_fmt(f.lower)}, or {_fmt(f.absent)} for none; "
                                  f"got {_show(value)}")
                out[key] = v
        elif key in _ECO_SEX_AGE:
            out[key] = _by_sex_age(value, path, n_ages, _ECO_SEX_AGE[key], chk)
        else:
            lo, hi = _ECO_AGE[key]
            out[key] = _by_age(value, path, n_ages, lo, hi, chk)
    return out


def _model(doc, chk: _Checker, settings: dict) -> Model:
    """Check one scenario document and build its model."""
    chk.table(doc, (), _TOP, required=("genetics",))
    for key in ("name", "description"):
        if key in doc:
            chk.string(doc[key], (key,))
    run = _run_settings(doc, chk)
    discrete = run["generations"] != "overlapping"
    if not discrete and "ages" not in doc:
        chk.err((), "missing the required key 'ages'")
    if discrete and "ages" in doc:
        chk.err(("ages",), f"{run['generations']} generations have two age classes (juveniles, "
                           "adults): leave out [ages]")
    land = _landscape(doc, chk)
    if land is not None and run["stop_when_extinct"]:
        chk.err(("run", "stop_when_extinct"), "does not apply to a landscape: a deme that dies out "
                                              "can be settled again from its neighbours")
    locus = _genetics(doc, chk)
    n_ages, adult = (2, 1) if discrete else _ages(doc, chk)
    if land is not None and run["generations"] == "wright_fisher":
        chk.err(("run", "generations"), "Wright-Fisher generations run in one population; a "
                                        "landscape runs overlapping or discrete generations")
    spatial = {}
    if land is not None:
        n_demes, (indptr, dest, weights), _, landscape = land
        spatial = dict(n_demes=n_demes, migration_indptr=indptr, migration_dest_idx=dest,
                       migration_weights=weights)
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", GEN.ExpectedValuesWarning)
        try:
            bp = Blueprint(n_ages, adult, locus, stochastic=run["stochastic"],
                           continuous_sampling=run["continuous_sampling"],
                           fixed_egg_count=run["fixed_egg_count"], generations=run["generations"],
                           extreme_speed_mode=run["sampling"], **spatial)
        except ValueError as exc:
            chk.err(("run", "sampling"), str(exc))
    if any(issubclass(w.category, GEN.ExpectedValuesWarning) for w in caught):
        chk.err(("run", "sampling"), "\"expected\" keeps expected values: a stochastic model "
                                     "would show no drift; use \"multinomial\" or \"poisson\", or "
                                     "stochastic = false")
    _initial(doc, bp, chk, round_counts=run["round_counts"])
    ecology = _ecology(doc, n_ages, chk)
    if "population_size" in ecology:
        if run["generations"] != "wright_fisher":
            chk.err(("ecology", "population_size"), "is N of Wright-Fisher generations; use "
                                                    "carrying_capacity for other models")
        if "carrying_capacity" in ecology:
            chk.err(("ecology", "population_size"), "gives carrying_capacity: give one of the two")
        ecology["carrying_capacity"] = ecology.pop("population_size")
    if land is not None:
        female, male = land[2]
        ecology["migration_rate"] = np.stack([np.full(n_ages, female), np.full(n_ages, male)])
    params = Params(bp, **ecology)
    program = H.HookProgramBuilder.for_blueprint(bp)
    _releases(doc, bp, chk, program, land[0] if land is not None else None,
              land[3] if land is not None else None, round_counts=run["round_counts"])
    if run["stop_when_extinct"]:
        program.add_hook("first", H.stop_if_extinct())
    settings.update(run)
    has_hooks = bool(doc.get("release")) or run["stop_when_extinct"]
    session = None
    if land is not None:
        if land[3] is None:
            session = L.LandscapeSession
        else:
            try:
                session = land[3].model(bp, params).session
            except ValueError as exc:  # a schedule that takes a site out of range
                scheds = land[3].schedules
                k = next((j for j, sc in enumerate(scheds) if f"schedule of {sc.name}:" in str(exc)), None)
                where = () if k is None else (k, "profile" if scheds[k].kind == "seasonal" else "table")
                chk.err(("landscape", "schedule") + where, str(exc))
    return Model(bp, params, program if has_hooks else None, session)


# ------------------------------------------------------------------ sweeps
def _flatten(value, path, chk: _Checker, out: list) -> None:
    if isinstance(value, dict):
        for key, v in value.items():
            _flatten(v, path + (key,), chk, out)
        return
    if not isinstance(value, list):
        chk.err(path, f"must be an array of the values to sweep, got {_kind(value)}")
    if not value:
        chk.err(path, "must hold at least one value")
    out.append((path, value))


def _target(name: str) -> tuple:
    return tuple(int(p) if p.isdigit() else p for p in name.split("."))


def _substitute(doc: dict, target: tuple, value, key_path, name, chk: _Checker) -> None:
    node = doc
    for k, part in enumerate(target[:-1]):
        where = target[:k + 1]
        if isinstance(node, list):
            if not isinstance(part, int) or not 0 <= part < len(node):
                _bad_target(key_path, name, where[:-1], f"has no element {part} (it holds {len(node)})",
                            chk)
            node = node[part]
        elif isinstance(node, dict):
            if isinstance(part, int):
                _bad_target(key_path, name, where, "is a table, not an array", chk)
            if part not in node:
                node[part] = {}
            node = node[part]
        else:
            _bad_target(key_path, name, where[:-1], f"is {_kind(node)}, it has no key {part!r}", chk)
    last = target[-1]
    if isinstance(node, list):
        if not isinstance(last, int) or not 0 <= last < len(node):
            _bad_target(key_path, name, target[:-1], f"has no element {last} (it holds {len(node)})",
                        chk)
        node[last] = value
    elif isinstance(node, dict):
        node[last] = value
    else:
        _bad_target(key_path, name, target[:-1], f"is {_kind(node)}, it has no key {last!r}", chk)


def _bad_target(key_path, name, where, message, chk: _Checker):
    line = chk.lines.find(key_path) if chk.lines else None
    raise ScenarioError(f"{_dotted(where)} {message}", key=_dotted(key_path), line=line,
                        source=chk.source)


def _hashable(value):
    """A hashable twin of a TOML value that compares as the value does."""
    if isinstance(value, list):
        return ("[", tuple(_hashable(v) for v in value))
    if isinstance(value, dict):
        return ("{", frozenset((k, _hashable(v)) for k, v in value.items()))
    return value


def _sweep_entries(doc, chk: _Checker) -> list:
    sweep = doc.get("sweep")
    if sweep is None:
        return []
    chk.table(sweep, ("sweep",), tuple(sweep) if isinstance(sweep, dict) else ())
    entries: list = []
    _flatten(sweep, ("sweep",), chk, entries)
    out = []
    for key_path, values in entries:
        name = _dotted(key_path[1:])
        target = _target(name)
        if name in _NOT_SWEPT or target[0] in ("sweep", "summary", "name", "description"):
            chk.err(key_path, f"{name} cannot be swept: every parameter set shares it")
        if target[0] not in _TOP:
            chk.err(key_path, f"{target[0]!r} is not a section of a scenario; sweep keys start with "
                              "one of " + ", ".join(t for t in _TOP if t not in (
                                  "sweep", "summary", "name", "description")))
        seen = set()
        for k, v in enumerate(values):
            if _hashable(v) in seen:
                chk.err(key_path + (k,), f"repeats the value {_show(v)}")
            seen.add(_hashable(v))
        out.append((key_path, name, target, values))
    names = [e[1] for e in out]
    for e in out:
        for other in names:
            if other != e[1] and (other + ".").startswith(e[1] + "."):
                chk.err(e[0], f"overlaps the swept key {other}")
    return out


# ------------------------------------------------------------------ scenarios
@dataclass
class Scenario:
    """A checked scenario: its settings and the model of every parameter set."""

    source: str
    text: str
    document: dict
    name: str
    description: str
    n_ticks: int
    record_interval: int
    replicates: int
    seed: int
    grid: dict  # sweep key -> values (empty without a sweep)
    models: list  # one Model per parameter set, in the C order of the grid
    summary: dict
    releases: list  # the ticks of the run at which some release happens (parameter set 0)

    @property
    def n_sets(self) -> int:
        return len(self.models)

    def model(self, **point) -> Model:
        """The model of the parameter set with these sweep values."""
        if set(point) != set(self.grid):
            raise ValueError(f"give a value for each swept key: {', '.join(self.grid)}")
        index = 0
        for name, values in self.grid.items():
            matches = [k for k, v in enumerate(values) if v == point[name]]
            if not matches:
                raise ValueError(f"{name}: {point[name]!r} is not one of the swept values {values}")
            index = index * len(values) + matches[0]
        return self.models[index]

    def recorded_size(self, replicates: int | None = None) -> dict:
        """What a run records: ``rows`` (recorded ticks of every run), ``width``
        (values per row), ``bytes`` (the rows and the dataset made of them,
        8 bytes a value), and the ``runs`` and ``ticks`` (recorded per run)."""
        from .results import row_layout

        reps = self.replicates if replicates is None else int(replicates)
        ticks = self.n_ticks // self.record_interval + 1
        runs = self.n_sets * reps
        layout = row_layout(self.models[0].blueprint)
        rows = runs * ticks
        return {"rows": rows, "width": layout.width, "runs": runs, "ticks": ticks,
                "bytes": rows * (layout.width + layout.count_size) * 8}

    def check_memory(self, replicates: int | None = None, available: int | None = None) -> None:
        """Refuse (``ScenarioError``) a run whose recorded rows cannot fit in the
        memory available (`available` bytes; by default what the system has
        free), before it starts."""
        size = self.recorded_size(replicates)
        free = _available_memory() if available is None else int(available)
        if free is None or size["bytes"] <= free:
            return
        raise ScenarioError(
            f"the run would record {size['rows']:,} rows ({size['runs']:,} runs x {size['ticks']:,} "
            f"recorded ticks) of {size['width']:,} values each, {size['bytes']:,} bytes "
            f"({_bytes(size['bytes'])}) with the dataset made from them, more than the "
            f"{_bytes(free)} of memory available; record fewer ticks (run.record_interval), or run "
            "fewer ticks, replicates or parameter sets", source=self.source)

    def run(self, *, replicates: int | None = None, seed: int | None = None, executor="threads",
            workers: int | None = None, progress: bool = False, sperm: bool = False):
        """Run the scenario (``qorin.sweep``) and return the Dataset; its
        attributes keep the scenario text and the summary settings. The
        stored sperm is left out unless ``sperm``. A run whose recorded rows
        cannot fit in memory is refused before it starts (``check_memory``)."""
        from .sweeps import sweep

        self.check_memory(replicates)

        ds = sweep(self.model, self.n_ticks, self.grid or None,
                   replicates=self.replicates if replicates is None else replicates,
                   seed=self.seed if seed is None else seed, record_interval=self.record_interval,
                   executor=executor, workers=workers, progress=progress, sperm=sperm)
        landscape = getattr(self.models[0].session, "landscape", None)
        if landscape is not None:
            ds = landscape.annotate(ds)  # the sites' coordinates and labels on the deme axis
        ds.attrs["qorin_scenario"] = self.text
        ds.attrs["qorin_scenario_name"] = self.name
        ds.attrs["qorin_summary"] = json.dumps(self.summary)
        ds.attrs["qorin_releases"] = json.dumps(self.releases)
        return ds


def _shape(model: Model) -> tuple:
    bp = model.blueprint
    return int(bp.n_ages), int(bp.new_adult_age), tuple(bp.ztype_names), int(bp.n_demes)


def parse_scenario(text: str, source: str = "<scenario>", *, progress: bool = False) -> Scenario:
    """Check a scenario given as TOML text and build its models (see the module doc).
    With `progress`, a sweep shows its number of parameter sets and a progress
    bar while the model of each is checked and built (tqdm)."""
    toml = _tomllib()
    _guard_text(text, source)
    try:
        doc = toml.loads(text)
    except toml.TOMLDecodeError as exc:
        m = re.search(r"\(at line (\d+), column \d+\)", str(exc))
        raise ScenarioError(f"not valid TOML: {exc}", line=int(m.group(1)) if m else None,
                            source=source) from None
    except RecursionError:
        raise ScenarioError(f"values are nested more than {MAX_NESTING} levels deep",
                            source=source) from None
    except ValueError as exc:  # a number the parser cannot convert (an integer of 5,000 digits)
        raise ScenarioError(f"not valid TOML: {exc}", source=source) from None
    _guard_document(doc, source)
    _guard_sweep_size(doc, source)
    chk = _Checker(source, _key_lines(text))
    settings: dict = {}
    base = _model(doc, chk, settings)
    summary = _summary_settings(doc, chk)
    entries = _sweep_entries(doc, chk)
    grid = {name: values for _, name, _, values in entries}
    models = [base]
    bar = None
    if entries and progress:
        from ._optional import require

        n_sets = math.prod(len(e[3]) for e in entries)
        bar = require("tqdm", "progress bars").tqdm(
            total=n_sets, unit="set", desc=f"checking {n_sets} parameter sets", dynamic_ncols=True)
    if entries:
        models = []
        for combo in itertools.product(*[list(enumerate(e[3])) for e in entries]):
            point = copy.deepcopy({k: v for k, v in doc.items() if k != "sweep"})
            overrides = {}
            for (key_path, name, target, _), (k, value) in zip(entries, combo):
                _substitute(point, target, copy.deepcopy(value), key_path, name, chk)
                overrides[target] = (key_path, name, k + 1, value)
            shown = ", ".join(f"{e[1]} = {_show(v)}" for e, (_, v) in zip(entries, combo))
            model = _model(point, _Checker(source, chk.lines, overrides, shown), {})
            if _shape(model) != _shape(base):
                chk.err(("sweep",), f"the parameter set {shown} changes the ages or genotypes of the "
                                   "model or the number of its demes; every parameter set of a sweep must share them")
            models.append(model)
            if bar is not None:
                bar.update(1)
    if bar is not None:
        bar.close()
    ticks = settings["ticks"]
    releases = _release_marks(doc, ticks)
    return Scenario(source=source, text=text, document=doc, name=str(doc.get("name", "")),
                    description=str(doc.get("description", "")), n_ticks=ticks,
                    record_interval=settings["record_interval"], replicates=settings["replicates"],
                    seed=settings["seed"], grid=grid, models=models, summary=summary,
                    releases=releases)


def load_scenario(path, *, progress: bool = False) -> Scenario:
    """Read and check the scenario file at `path` (see ``parse_scenario``)."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as fh:
            raw = fh.read(MAX_SCENARIO_BYTES + 1)  # a device or pipe may never end
    except OSError as exc:
        raise ScenarioError(f"cannot read the scenario: {exc.strerror}", source=path) from None
    if len(raw) > MAX_SCENARIO_BYTES:
        raise ScenarioError(f"the file is too large; a scenario file holds at most "
                            f"{MAX_SCENARIO_BYTES:,} bytes", source=path)
    try:
        text = raw.decode("utf-8-sig")  # a byte-order mark some editors write is dropped
    except UnicodeDecodeError:
        raise ScenarioError("a scenario file must be UTF-8 text", source=path) from None
    return parse_scenario(text, source=path, progress=progress)
