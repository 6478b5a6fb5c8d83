"""Builder for declarative hook programs.

Users describe interventions as readable operations::

    prog = HookProgramBuilder(n_ages=4, n_ztypes=3)
    prog.add_hook("early", [
        kill(0.5, sex="female", ages=[2, 3], ztypes=[1], when=every(5)),
        set_param("sex_ratio", param("sex_ratio") * 0.9, every=10),
        stop_if_extinct(),
    ])
    program = prog.build()

``build()`` returns a :class:`HookProgram` whose attributes are the flat CSR
columns the engine reads; nobody has to write those columns by hand.

A builder made from the model, ``HookProgramBuilder.for_blueprint(bp)``, takes
the dimensions from the blueprint, accepts ages and genotypes by label
(``ages="adults"``, ``ztypes=["W/D", "D/D"]``) and refuses anything outside
the model with a ``ValueError`` when the hook is added: an age, genotype, sex
or deme that does not exist, a fraction or probability outside [0, 1], a
negative release. The plain constructor ``HookProgramBuilder(n_ages, n_ztypes)``
takes indices only and checks them the same way against the dimensions it is
given (and deme ids against ``n_demes`` when that is given; without it only
negative ids are refused). A program the engine should see unchecked (for
example to test how it skips indices outside the state) is built as raw
columns: ``HookProgram(n_hooks, n_events, has_set_param, columns)``.

Timing: event "first" runs before reproduction, "early" after reproduction and
before survival, "late" after survival and before aging; "finish" runs only
when a session triggers it. Conditions see the tick being executed.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Iterable, Sequence

import numpy as np

from .fields import CODES as _CODES, PARAM_IDS as _PARAM_IDS

__all__ = [
    "EVENTS", "PARAM_IDS", "HookProgram", "HookProgramBuilder", "Cond", "Expr", "Operation",
    "STAGES", "OPCODES", "CONDITIONS", "TOKENS", "DEME_SELECTORS",
    "every", "at", "from_tick", "before", "until", "after", "always",
    "param", "literal",
    "scale", "set_count", "add", "release", "subtract", "kill", "cap",
    "stop_if_empty", "stop_if_below", "stop_if_above", "stop_if_extinct",
    "set_param", "convert", "clear_sperm",
]

# The engine's codes (qorin.fields.CODES, read from the table the engine is
# built from): event ids, stage codes of journal rows, opcodes, condition and
# expression token kinds, deme-selector types.
EVENTS = dict(_CODES["Event"])
STAGES = dict(_CODES["Stage"])
PARAM_IDS = dict(_PARAM_IDS)
OPCODES = dict(_CODES["Opcode"])
CONDITIONS = dict(_CODES["Condition"])
TOKENS = dict(_CODES["Token"])
DEME_SELECTORS = dict(_CODES["DemeSelector"])

# Condition token kinds.
_C_ALWAYS = CONDITIONS["always"]
_C_EQ, _C_EVERY, _C_GE, _C_LT, _C_LE, _C_GT = (
    CONDITIONS[k] for k in ("at", "every", "from_tick", "before", "until", "after"))
_C_AND, _C_OR, _C_NOT = CONDITIONS["and"], CONDITIONS["or"], CONDITIONS["not"]
# Expression token kinds.
_E_LIT, _E_PARAM, _E_ADD, _E_SUB, _E_MUL, _E_DIV = (
    TOKENS[k] for k in ("literal", "param", "add", "subtract", "multiply", "divide"))


# ---------------------------------------------------------------- conditions
@dataclass(frozen=True)
class Cond:
    """A tick condition in postfix form: (kind, operand) tokens.

    Combine conditions with ``&`` (both), ``|`` (either) and ``~`` (not), e.g.
    ``every(10) & before(100)``. ``holds(tick)`` evaluates it as the engine does.
    """

    tokens: tuple

    def holds(self, tick: int) -> bool:
        """Whether the condition holds at `tick` (evaluated as the engine does)."""
        t = int(tick)
        stack: list = []
        for kind, p in self.tokens:
            if kind == _C_EQ:
                stack.append(t == p)
            elif kind == _C_EVERY:
                stack.append(p > 0 and t % p == 0)
            elif kind == _C_GE:
                stack.append(t >= p)
            elif kind == _C_LT:
                stack.append(t < p)
            elif kind == _C_LE:
                stack.append(t <= p)
            elif kind == _C_GT:
                stack.append(t > p)
            elif kind <= _C_ALWAYS:
                stack.append(True)
            elif kind in (_C_AND, _C_OR):
                if len(stack) < 2:
                    return False
                b, a = stack.pop(), stack.pop()
                stack.append((a and b) if kind == _C_AND else (a or b))
            elif kind == _C_NOT:
                if not stack:
                    return False
                stack[-1] = not stack[-1]
            else:
                return False
        return len(stack) == 1 and bool(stack[0])

    def ticks(self, ticks) -> list:
        """The ticks of the iterable `ticks` (or of range(ticks) for an int) at which it holds."""
        if isinstance(ticks, (int, np.integer)):
            ticks = range(int(ticks))
        return [int(t) for t in ticks if self.holds(int(t))]

    def __and__(self, other: "Cond") -> "Cond":
        return Cond(self.tokens + _cond(other).tokens + ((_C_AND, 0),))

    def __or__(self, other: "Cond") -> "Cond":
        return Cond(self.tokens + _cond(other).tokens + ((_C_OR, 0),))

    def __invert__(self) -> "Cond":
        return Cond(self.tokens + ((_C_NOT, 0),))


def _cond(c) -> Cond:
    if not isinstance(c, Cond):
        raise TypeError(f"expected a condition, got {type(c).__name__}")
    return c


def every(period: int) -> Cond:
    """Ticks divisible by `period` (never, when period <= 0)."""
    return Cond(((_C_EVERY, int(period)),))


def at(tick: int) -> Cond:
    """tick == `tick`."""
    return Cond(((_C_EQ, int(tick)),))


def from_tick(tick: int) -> Cond:
    """tick >= `tick`."""
    return Cond(((_C_GE, int(tick)),))


def before(tick: int) -> Cond:
    """tick < `tick`."""
    return Cond(((_C_LT, int(tick)),))


def until(tick: int) -> Cond:
    """tick <= `tick`."""
    return Cond(((_C_LE, int(tick)),))


def after(tick: int) -> Cond:
    """tick > `tick`."""
    return Cond(((_C_GT, int(tick)),))


def always() -> Cond:
    """Every tick."""
    return Cond(((_C_ALWAYS, 0),))


# --------------------------------------------------------------- expressions
@dataclass(frozen=True)
class Expr:
    """A value expression in postfix form: ("lit", value) / ("param", id) / ("op", kind).

    Built with ``param(name)``, numbers and ``+ - * /``, e.g.
    ``param("carrying_capacity") * 0.9``. Division by zero gives +inf, -inf or NaN.
    """

    tokens: tuple

    def _bin(self, other, kind, swap=False):
        o = _expr(other)
        a, b = (o, self) if swap else (self, o)
        return Expr(a.tokens + b.tokens + (("op", kind),))

    def __add__(self, o): return self._bin(o, _E_ADD)
    def __radd__(self, o): return self._bin(o, _E_ADD, swap=True)
    def __sub__(self, o): return self._bin(o, _E_SUB)
    def __rsub__(self, o): return self._bin(o, _E_SUB, swap=True)
    def __mul__(self, o): return self._bin(o, _E_MUL)
    def __rmul__(self, o): return self._bin(o, _E_MUL, swap=True)
    def __truediv__(self, o): return self._bin(o, _E_DIV)
    def __rtruediv__(self, o): return self._bin(o, _E_DIV, swap=True)


def literal(value: float) -> Expr:
    """A constant in an expression (plain numbers are turned into literals automatically)."""
    return Expr((("lit", float(value)),))


def param(name) -> Expr:
    """The staged value of a scalar ecology parameter (by name or id)."""
    return Expr((("param", _param_id(name)),))


def _expr(v) -> Expr:
    if isinstance(v, Expr):
        return v
    if isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, bool):
        return literal(float(v))
    raise TypeError(f"expected a number or an expression, got {type(v).__name__}")


def _param_id(name) -> int:
    if isinstance(name, str):
        if name not in PARAM_IDS:
            raise KeyError(f"unknown scalar parameter {name!r}; expected one of {sorted(PARAM_IDS)}")
        return PARAM_IDS[name]
    return int(name)


# ---------------------------------------------------------------- operations
@dataclass
class Operation:
    """One compiled operation of a hook. Made by the operation functions of this
    module (``release``, ``kill``, ``set_param``, ...), not by hand."""

    opcode: int
    param: float = 0.0
    sex: tuple = (True, True)
    ages: Sequence[int] | None = None
    ztypes: Sequence[int] | None = None
    when: Cond | None = None
    sp_param_id: int = 0
    sp_every: int = 1
    sp_start: int = 0
    expr: Expr | None = None
    pairs: list = field(default_factory=list)  # [((s, a, z), (s, a, z)), ...]
    source_z: int = 0
    target_z: int = 0
    clear_cells: list = field(default_factory=list)  # [(sex, age, z), ...]
    kind: str = ""  # the operation function that made it (for messages)


def _sex(sex) -> tuple:
    if sex in (None, "both", "all"):
        return (True, True)
    if sex in ("female", 0):
        return (True, False)
    if sex in ("male", 1):
        return (False, True)
    raise ValueError(f"sex must be 'female', 'male' or 'both', got {sex!r}")


def _cell_op(name, value, sex, ages, ztypes, when, kind=None) -> Operation:
    return Operation(OPCODES[name], float(value), _sex(sex), _ints(ages), _ints(ztypes),
                     _cond(when) if when is not None else None, kind=kind or name)


def _item(x):
    """An index (int) or a label (str) as given."""
    if isinstance(x, str):
        return x
    if isinstance(x, (bool, np.bool_)):
        raise TypeError(f"expected an index or a label, got {x!r}")
    return int(x)


def _ints(v):
    """A selection as a list of indices and labels (None: everything)."""
    if v is None:
        return None
    if isinstance(v, (int, np.integer, str)):
        return [_item(v)]
    return [_item(x) for x in v]


def scale(factor, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Multiply the selected cells by `factor`."""
    return _cell_op("scale", factor, sex, ages, ztypes, when)


def set_count(count, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Set every selected cell to `count` individuals (reductions are drawn in
    stochastic models; added individuals are unmated)."""
    return _cell_op("set_count", count, sex, ages, ztypes, when)


def add(amount, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Add `amount` individuals to every selected cell (a negative amount removes)."""
    return _cell_op("add", amount, sex, ages, ztypes, when)


def release(amount, *, sex="male", ages=None, ztypes=None, when=None) -> Operation:
    """Release `amount` individuals into every selected cell (males by default).

    ``release(100, ages=[2], ztypes=["D/D"], when=every(10))`` adds 100 adult
    D/D males at ticks 0, 10, 20, ... Released females are unmated."""
    return _cell_op("add", amount, sex, ages, ztypes, when, kind="release")


def subtract(amount, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Remove `amount` individuals from every selected cell (not below zero)."""
    return _cell_op("subtract", amount, sex, ages, ztypes, when)


def kill(fraction, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Remove the fraction `fraction` of every selected cell."""
    return _cell_op("kill", fraction, sex, ages, ztypes, when)


def cap(limit, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Reduce every selected cell above `limit` to `limit` individuals."""
    return _cell_op("cap", limit, sex, ages, ztypes, when)


def stop_if_empty(*, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Stop the run when the selected cells hold no individual."""
    return _cell_op("stop_if_empty", 0.0, sex, ages, ztypes, when)


def stop_if_below(threshold, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Stop the run when the selected cells hold fewer than `threshold` individuals."""
    return _cell_op("stop_if_below", threshold, sex, ages, ztypes, when)


def stop_if_above(threshold, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Stop the run when the selected cells hold more than `threshold` individuals."""
    return _cell_op("stop_if_above", threshold, sex, ages, ztypes, when)


def stop_if_extinct(*, when=None) -> Operation:
    """Stop the run when the population is empty."""
    return Operation(OPCODES["stop_if_extinct"], when=_cond(when) if when is not None else None,
                     ages=[], ztypes=[], kind="stop_if_extinct")


def set_param(name, value, *, every: int = 1, start: int = 0, when=None) -> Operation:
    """Stage `value` (a number or an expression) into a scalar parameter at ticks
    start, start + every, ..."""
    if int(every) < 1:
        raise ValueError(f"every must be at least 1, got {every}")
    return Operation(OPCODES["set_param"], sp_param_id=_param_id(name), sp_every=int(every),
                     sp_start=int(start), expr=_expr(value), ages=[], ztypes=[],
                     when=_cond(when) if when is not None else None, kind="set_param")


def convert(probability, *, pairs=None, source_z=None, target_z=None, when=None) -> Operation:
    """Move each individual with the given probability.

    Either `pairs` of cells ``((sex, age, z), (sex, age, z))`` or a whole genotype
    ``source_z -> target_z`` across all ages and both sexes. Mated females take
    their stored sperm along. With a builder made by ``for_blueprint``, sexes may
    be "female"/"male" and genotypes labels.
    """
    if pairs:
        if source_z is not None or target_z is not None:
            raise ValueError("give either pairs or source_z/target_z, not both")
        norm = []
        for src, tgt in pairs:
            src, tgt = tuple(_item(v) for v in src), tuple(_item(v) for v in tgt)
            if len(src) != 3 or len(tgt) != 3:
                raise ValueError("convert pairs are ((sex, age, z), (sex, age, z))")
            norm.append((src, tgt))
        return Operation(OPCODES["convert"], float(probability), pairs=norm, ages=[], ztypes=[],
                         when=_cond(when) if when is not None else None, kind="convert")
    if source_z is None or target_z is None:
        raise ValueError("convert needs pairs or both source_z and target_z")
    return Operation(OPCODES["convert"], float(probability), source_z=_item(source_z),
                     target_z=_item(target_z), ages=[], ztypes=[],
                     when=_cond(when) if when is not None else None, kind="convert")


def clear_sperm(cells: Iterable, *, when=None) -> Operation:
    """Empty the stored sperm of female cells given as (age, z) pairs: the
    females stay and become unmated."""
    triples = []
    for cell in cells:
        cell = tuple(_item(v) for v in cell)
        if len(cell) == 2:
            cell = (0,) + cell
        if len(cell) != 3:
            raise ValueError("clear_sperm cells are (age, z) or (sex, age, z)")
        triples.append(cell)
    return Operation(OPCODES["clear_sperm"], clear_cells=triples, ages=[], ztypes=[],
                     when=_cond(when) if when is not None else None, kind="clear_sperm")


# ------------------------------------------------------------------ programs
class HookProgram:
    """The compiled CSR program: counts and thirty flat columns, read by the engine
    attribute by attribute."""

    INT_COLUMNS = (
        "hook_offsets", "op_offsets", "deme_selector_types", "deme_selector_offsets",
        "deme_selector_data", "python_callback_slots", "op_types_data", "age_offsets_data",
        "age_data", "zidx_offsets_data", "zidx_data", "condition_offsets_data",
        "condition_types_data", "condition_params_data", "sp_param_ids", "sp_every", "sp_start",
        "rpn_offsets", "rpn_kinds", "rpn_payload", "convert_offsets", "convert_source_coords",
        "convert_target_coords", "convert_source_z", "convert_target_z", "clear_offsets",
        "clear_coords",
    )
    FLOAT_COLUMNS = ("params_data", "sp_literals")
    BOOL_COLUMNS = ("sex_masks_data",)

    def __init__(self, n_hooks: int, n_events: int, has_set_param: bool, columns: dict):
        self.n_hooks = int(n_hooks)
        self.n_events = int(n_events)
        self.has_set_param = bool(has_set_param)
        for name in self.INT_COLUMNS:
            setattr(self, name, np.ascontiguousarray(columns.get(name, []), dtype=np.int64))
        for name in self.FLOAT_COLUMNS:
            setattr(self, name, np.ascontiguousarray(columns.get(name, []), dtype=np.float64))
        for name in self.BOOL_COLUMNS:
            setattr(self, name, np.ascontiguousarray(columns.get(name, []), dtype=bool))

    @classmethod
    def column_names(cls):
        return cls.INT_COLUMNS + cls.FLOAT_COLUMNS + cls.BOOL_COLUMNS

    def copy(self) -> "HookProgram":
        return HookProgram(self.n_hooks, self.n_events, self.has_set_param,
                           {n: getattr(self, n).copy() for n in self.column_names()})


@dataclass
class _Hook:
    event: int
    ops: list
    demes: object = None
    callback_slot: int = -1


_AGE_LABELS = {"adult": "adults", "adults": "adults", "juvenile": "juveniles",
               "juveniles": "juveniles", "all": "all"}
_SEX_LABELS = {"female": 0, "male": 1}
# Operations that act on a selection of cells, with the name and range of their value.
_CELL_VALUES = {
    "scale": ("factor", "a finite number >= 0"),
    "set_count": ("count", "a finite number >= 0"),
    "add": ("amount", "a finite number"),
    "release": ("amount", "a finite number >= 0"),
    "subtract": ("amount", "a finite number >= 0"),
    "kill": ("fraction", "a number in [0, 1]"),
    "cap": ("limit", "a finite number >= 0"),
    "stop_if_empty": (None, None),
    "stop_if_below": ("threshold", "a finite number"),
    "stop_if_above": ("threshold", "a finite number"),
}
_OPNAMES = {v: k for k, v in OPCODES.items()}


def _dimension(value, name: str):
    """A dimension of a builder: None (unknown) or an integer >= 0."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be a nonnegative integer or None, got {value!r}")
    if value < 0:
        raise ValueError(f"{name} must be a nonnegative integer, got {int(value)}")
    return int(value)


def _value_ok(value: float, allowed: str) -> bool:
    if allowed == "a number in [0, 1]":
        return 0.0 <= value <= 1.0
    if not np.isfinite(value):
        return False
    return value >= 0.0 if allowed.endswith(">= 0") else True


class HookProgramBuilder:
    """Collects hooks per event, in priority order, and compiles them.

    ``HookProgramBuilder.for_blueprint(bp)`` is the form for models: dimensions,
    labels and demes come from the blueprint and every operation is checked when
    its hook is added. ``HookProgramBuilder(n_ages, n_ztypes, n_demes=None)``
    takes indices only and checks them against the dimensions given (ages
    0..n_ages-1, genotypes 0..n_ztypes-1, sexes 0 and 1, demes 0..n_demes-1)
    with a ``ValueError`` when the hook is added; the values of operations
    (fractions, amounts) are checked by ``for_blueprint`` builders only.
    """

    def __init__(self, n_ages: int | None = None, n_ztypes: int | None = None, n_events: int = 4,
                 *, n_demes: int | None = None):
        self.n_ages = _dimension(n_ages, "n_ages")
        self.n_ztypes = _dimension(n_ztypes, "n_ztypes")
        self.n_demes = _dimension(n_demes, "n_demes")
        self.n_events = int(n_events)
        self.blueprint = None
        self._hooks: list[_Hook] = []

    @classmethod
    def for_blueprint(cls, blueprint, n_events: int = 4) -> "HookProgramBuilder":
        """A builder for the model of `blueprint`: ages, genotypes, sexes and demes
        may be given by label ("adults", "juveniles", "all"; genotype labels such
        as "W/D"; "female"/"male") and anything outside the model is a
        ``ValueError`` naming the argument and the allowed values."""
        b = cls(int(blueprint.n_ages), int(blueprint.n_ztypes), n_events,
                n_demes=int(getattr(blueprint, "n_demes", 1)))
        b.blueprint = blueprint
        return b

    def _event(self, event) -> int:
        e = EVENTS[event] if isinstance(event, str) else int(event)
        if not 0 <= e < self.n_events:
            raise ValueError(f"event {event!r} outside 0..{self.n_events - 1}")
        return e

    def add_hook(self, event, ops, *, demes=None) -> "HookProgramBuilder":
        """Append a hook of ordinary operations to `event` ("first", "early",
        "late" or "finish"; they run in the order they were added). `demes`: None
        (all), an int, a ``range`` with step 1, or a list of deme ids."""
        ops = [ops] if isinstance(ops, Operation) else list(ops)
        for op in ops:
            if not isinstance(op, Operation):
                raise TypeError(f"expected an Operation, got {type(op).__name__}")
        e = self._event(event)
        if self.blueprint is None:
            for op in ops:
                self._no_labels(op)
        ops = [self._checked(op) for op in ops]
        demes = self._checked_demes(demes)
        self._hooks.append(_Hook(e, ops, demes))
        return self

    def add_callback(self, event, *, demes=None) -> "HookProgramBuilder":
        """Append a callback hook: the next Python callable registered for `event`
        runs here."""
        e = self._event(event)
        demes = self._checked_demes(demes)
        slot = sum(1 for h in self._hooks if h.event == e and h.callback_slot >= 0)
        self._hooks.append(_Hook(e, [], demes, slot))
        return self

    def release_ticks(self, ticks) -> list:
        """The ticks of `ticks` (an iterable, or an int n for 0..n-1) at which some
        release operation of this program fires: for marking a release schedule."""
        if isinstance(ticks, (int, np.integer)):
            ticks = range(int(ticks))
        conds = [op.when for h in self._hooks for op in h.ops
                 if op.kind == "release" or (op.kind == "add" and op.param > 0)]
        return [int(t) for t in ticks
                if any(c is None or c.holds(int(t)) for c in conds)]

    # ------------------------------------------------------------ checking
    @staticmethod
    def _no_labels(op: Operation) -> None:
        items = list(op.ages or []) + list(op.ztypes or [])
        items += [v for pair in op.pairs for cell in pair for v in cell]
        items += [v for cell in op.clear_cells for v in cell] + [op.source_z, op.target_z]
        for v in items:
            if isinstance(v, str):
                raise ValueError(f"the label {v!r} needs a builder made with "
                                 "HookProgramBuilder.for_blueprint(blueprint)")

    def _age_list(self, ages, argument="ages") -> list:
        bp = self.blueprint
        a = self.n_ages
        out = []
        for v in ages:
            if a is None:  # a builder without dimensions: indices as given
                out.append(int(v))
                continue
            if isinstance(v, str):
                start = int(bp.new_adult_age)
                label = _AGE_LABELS.get(v)
                if label is None:
                    raise ValueError(f"{argument}: {v!r} is not an age label; allowed: ages 0..{a - 1} "
                                     "or 'adults', 'juveniles', 'all'")
                out.extend(range(min(start, a), a) if label == "adults" else
                           range(0, min(start, a)) if label == "juveniles" else range(a))
            else:
                if not 0 <= v < a:
                    raise ValueError(f"{argument}: age {v} is outside 0..{a - 1} "
                                     "(or use 'adults', 'juveniles', 'all')")
                out.append(int(v))
        return out

    def _ztype(self, v, argument="ztypes") -> int:
        bp = self.blueprint
        z = self.n_ztypes
        if bp is None:
            if z is not None and not 0 <= v < z:
                raise ValueError(f"{argument}: genotype index {v} is outside 0..{z - 1}")
            return int(v)
        locus = getattr(bp, "locus", None)
        if hasattr(locus, "index"):
            return locus.index(v, argument=argument)
        names = list(getattr(bp, "ztype_names", []))
        if isinstance(v, str):
            if v in names:
                return names.index(v)
            raise ValueError(f"{argument}: {v!r} is not a genotype of this model; allowed: "
                             f"{', '.join(map(repr, names))}")
        if not 0 <= v < z:
            raise ValueError(f"{argument}: genotype index {v} is outside 0..{z - 1}")
        return int(v)

    def _sex_index(self, v, argument) -> int:
        if isinstance(v, str):
            if v not in _SEX_LABELS:
                raise ValueError(f"{argument}: sex {v!r} is not 'female' or 'male' (or 0, 1)")
            return _SEX_LABELS[v]
        if v not in (0, 1):
            raise ValueError(f"{argument}: sex {v} is not 0 (female) or 1 (male)")
        return int(v)

    def _cell(self, cell, argument) -> tuple:
        sex, age, z = cell
        return (self._sex_index(sex, argument), self._age_list([age], argument)[0],
                self._ztype(z, argument))

    def _checked(self, op: Operation) -> Operation:
        """A copy of `op` with labels resolved, checked against the model."""
        import dataclasses

        name = op.kind or _OPNAMES.get(op.opcode, "")
        new = dataclasses.replace(op, kind=name)
        value = float(op.param)
        if name in _CELL_VALUES:
            what, allowed = _CELL_VALUES[name]
            if self.blueprint is not None and what is not None and not _value_ok(value, allowed):
                raise ValueError(f"{name}: {what} must be {allowed}, got {value!r}")
            ages = (None if self.n_ages is None else list(range(self.n_ages))) if op.ages is None \
                else self._age_list(op.ages)
            zs = (None if self.n_ztypes is None else list(range(self.n_ztypes))) if op.ztypes is None \
                else [self._ztype(v) for v in op.ztypes]
            checked = self.blueprint is not None  # a plain builder may select nothing
            if checked and not ages:
                allowed = f"ages 0..{self.n_ages - 1}" + (
                    " or 'adults', 'juveniles', 'all'" if self.blueprint is not None else "")
                raise ValueError(f"{name}: ages selects no age class; allowed: {allowed}")
            if checked and not zs:
                allowed = (", ".join(map(repr, self.blueprint.ztype_names)) if self.blueprint is not None
                           else f"genotypes 0..{self.n_ztypes - 1}")
                raise ValueError(f"{name}: ztypes selects no genotype; allowed: {allowed}")
            new.ages, new.ztypes = ages, zs
        elif name == "convert":
            if self.blueprint is not None and not 0.0 <= value <= 1.0:
                raise ValueError(f"convert: probability must be a number in [0, 1], got {value!r}")
            if op.pairs:
                new.pairs = [(self._cell(src, "convert source"), self._cell(tgt, "convert target"))
                             for src, tgt in op.pairs]
            else:
                new.source_z = self._ztype(op.source_z, "source_z")
                new.target_z = self._ztype(op.target_z, "target_z")
        elif name == "clear_sperm":
            cells = []
            for cell in op.clear_cells:
                sex, age, z = self._cell(cell, "clear_sperm cells")
                if sex != 0:
                    raise ValueError("clear_sperm cells: stored sperm is held by females; "
                                     f"cell {cell!r} is male")
                cells.append((sex, age, z))
            new.clear_cells = cells
        return new

    def _checked_demes(self, demes):
        n = self.n_demes
        if demes is None:
            return None
        if isinstance(demes, range):
            ids = list(demes)
            if demes.step != 1 and self.blueprint is not None:
                raise ValueError("demes: a range of demes must have step 1")
        elif isinstance(demes, (int, np.integer)):
            ids = [int(demes)]
        else:
            ids = [int(d) for d in demes]
        if not ids and self.blueprint is not None:
            raise ValueError(f"demes selects no deme; allowed: 0..{n - 1} or None for all")
        for d in ids:
            if d < 0 or (n is not None and d >= n):
                raise ValueError(f"demes: deme {d} is outside " +
                                 (f"0..{n - 1}" if n is not None else "0.. (deme ids are >= 0)"))
        return demes

    def _axis(self, values, n, what):
        if values is not None:
            return values
        if n is None:
            raise ValueError(f"give {what} explicitly or construct the builder with n_{what}")
        return list(range(n))

    def build(self) -> HookProgram:
        cols = {n: [] for n in HookProgram.column_names()}
        for n in ("op_offsets", "deme_selector_offsets", "age_offsets_data", "zidx_offsets_data",
                  "condition_offsets_data", "rpn_offsets", "convert_offsets", "clear_offsets"):
            cols[n].append(0)
        hooks = sorted(self._hooks, key=lambda h: h.event)  # stable: keeps priority order
        cols["hook_offsets"] = [0] * (self.n_events + 1)
        for h in hooks:
            cols["hook_offsets"][h.event + 1] += 1
        for e in range(self.n_events):
            cols["hook_offsets"][e + 1] += cols["hook_offsets"][e]
        has_set_param = False
        for h in hooks:
            self._emit_selector(cols, h.demes)
            cols["python_callback_slots"].append(h.callback_slot)
            for op in h.ops:
                self._emit_op(cols, op)
                has_set_param = has_set_param or op.opcode == OPCODES["set_param"]
            cols["op_offsets"].append(len(cols["op_types_data"]))
        return HookProgram(len(hooks), self.n_events, has_set_param, cols)

    @staticmethod
    def _emit_selector(cols, demes):
        data = cols["deme_selector_data"]
        if demes is None:
            cols["deme_selector_types"].append(DEME_SELECTORS["all"])
        elif isinstance(demes, (int, np.integer)):
            cols["deme_selector_types"].append(DEME_SELECTORS["one"])
            data.append(int(demes))
        elif isinstance(demes, range) and demes.step == 1:
            cols["deme_selector_types"].append(DEME_SELECTORS["range"])
            data.extend([demes.start, demes.stop])
        else:
            cols["deme_selector_types"].append(DEME_SELECTORS["list"])
            data.extend(int(d) for d in demes)
        cols["deme_selector_offsets"].append(len(data))

    def _emit_op(self, cols, op: Operation):
        cols["op_types_data"].append(op.opcode)
        cols["params_data"].append(op.param)
        cols["sex_masks_data"].extend(op.sex)
        cols["age_data"].extend(self._axis(op.ages, self.n_ages, "ages"))
        cols["age_offsets_data"].append(len(cols["age_data"]))
        cols["zidx_data"].extend(self._axis(op.ztypes, self.n_ztypes, "ztypes"))
        cols["zidx_offsets_data"].append(len(cols["zidx_data"]))
        if op.when is not None:
            for kind, operand in op.when.tokens:
                cols["condition_types_data"].append(kind)
                cols["condition_params_data"].append(operand)
        cols["condition_offsets_data"].append(len(cols["condition_types_data"]))
        cols["sp_param_ids"].append(op.sp_param_id)
        cols["sp_every"].append(op.sp_every)
        cols["sp_start"].append(op.sp_start)
        if op.expr is not None:
            for tag, v in op.expr.tokens:
                if tag == "lit":
                    cols["rpn_kinds"].append(_E_LIT)
                    cols["rpn_payload"].append(len(cols["sp_literals"]))
                    cols["sp_literals"].append(v)
                elif tag == "param":
                    cols["rpn_kinds"].append(_E_PARAM)
                    cols["rpn_payload"].append(v)
                else:
                    cols["rpn_kinds"].append(v)
                    cols["rpn_payload"].append(0)
        cols["rpn_offsets"].append(len(cols["rpn_kinds"]))
        for src, tgt in op.pairs:
            cols["convert_source_coords"].extend(src)
            cols["convert_target_coords"].extend(tgt)
        cols["convert_offsets"].append(len(cols["convert_source_coords"]) // 3)
        cols["convert_source_z"].append(op.source_z)
        cols["convert_target_z"].append(op.target_z)
        for cell in op.clear_cells:
            cols["clear_coords"].extend(cell)
        cols["clear_offsets"].append(len(cols["clear_coords"]) // 3)
