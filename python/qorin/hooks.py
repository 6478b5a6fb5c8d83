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
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Iterable, Sequence

import numpy as np

__all__ = [
    "EVENTS", "PARAM_IDS", "HookProgram", "HookProgramBuilder", "Cond", "Expr", "Operation",
    "every", "at", "from_tick", "before", "until", "after", "always",
    "param", "literal",
    "scale", "set_count", "add", "release", "subtract", "kill", "cap",
    "stop_if_empty", "stop_if_below", "stop_if_above", "stop_if_extinct",
    "set_param", "convert", "clear_sperm",
]

EVENTS = {"first": 0, "early": 1, "late": 2, "finish": 3}
PARAM_IDS = {
    "carrying_capacity": 0,
    "eggs_per_female": 1,
    "sex_ratio": 2,
    "sperm_displacement_rate": 3,
    "low_density_growth_rate": 4,
}

OPCODES = {
    "scale": 0, "set_count": 1, "add": 2, "subtract": 3, "kill": 4, "cap": 5,
    "stop_if_empty": 6, "stop_if_below": 7, "stop_if_above": 8, "stop_if_extinct": 9,
    "set_param": 10, "convert": 11, "clear_sperm": 12,
}

# Condition token kinds.
_C_EQ, _C_EVERY, _C_GE, _C_LT, _C_LE, _C_GT = 1, 2, 3, 4, 5, 6
_C_AND, _C_OR, _C_NOT = 100, 101, 102
# Expression token kinds.
_E_LIT, _E_PARAM, _E_ADD, _E_SUB, _E_MUL, _E_DIV = 0, 1, 2, 3, 4, 5


# ---------------------------------------------------------------- conditions
@dataclass(frozen=True)
class Cond:
    """A tick condition in postfix form: (kind, operand) tokens."""

    tokens: tuple

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
    return Cond(((0, 0),))


# --------------------------------------------------------------- expressions
@dataclass(frozen=True)
class Expr:
    """A value expression in postfix form: ("lit", value) / ("param", id) / ("op", kind)."""

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


def _sex(sex) -> tuple:
    if sex in (None, "both", "all"):
        return (True, True)
    if sex in ("female", 0):
        return (True, False)
    if sex in ("male", 1):
        return (False, True)
    raise ValueError(f"sex must be 'female', 'male' or 'both', got {sex!r}")


def _cell_op(name, value, sex, ages, ztypes, when) -> Operation:
    return Operation(OPCODES[name], float(value), _sex(sex), _ints(ages), _ints(ztypes),
                     _cond(when) if when is not None else None)


def _ints(v):
    if v is None:
        return None
    if isinstance(v, (int, np.integer)):
        return [int(v)]
    return [int(x) for x in v]


def scale(factor, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Multiply the selected cells by `factor`."""
    return _cell_op("scale", factor, sex, ages, ztypes, when)


def set_count(count, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    return _cell_op("set_count", count, sex, ages, ztypes, when)


def add(amount, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Add `amount` individuals to every selected cell (a negative amount removes)."""
    return _cell_op("add", amount, sex, ages, ztypes, when)


def release(amount, *, sex="male", ages=None, ztypes=None, when=None) -> Operation:
    """Release `amount` individuals into every selected cell (males by default)."""
    return _cell_op("add", amount, sex, ages, ztypes, when)


def subtract(amount, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    return _cell_op("subtract", amount, sex, ages, ztypes, when)


def kill(fraction, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    """Remove the fraction `fraction` of every selected cell."""
    return _cell_op("kill", fraction, sex, ages, ztypes, when)


def cap(limit, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    return _cell_op("cap", limit, sex, ages, ztypes, when)


def stop_if_empty(*, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    return _cell_op("stop_if_empty", 0.0, sex, ages, ztypes, when)


def stop_if_below(threshold, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    return _cell_op("stop_if_below", threshold, sex, ages, ztypes, when)


def stop_if_above(threshold, *, sex=None, ages=None, ztypes=None, when=None) -> Operation:
    return _cell_op("stop_if_above", threshold, sex, ages, ztypes, when)


def stop_if_extinct(*, when=None) -> Operation:
    return Operation(OPCODES["stop_if_extinct"], when=_cond(when) if when is not None else None,
                     ages=[], ztypes=[])


def set_param(name, value, *, every: int = 1, start: int = 0, when=None) -> Operation:
    """Stage `value` (a number or an expression) into a scalar parameter at ticks
    start, start + every, ..."""
    if int(every) < 1:
        raise ValueError(f"every must be at least 1, got {every}")
    return Operation(OPCODES["set_param"], sp_param_id=_param_id(name), sp_every=int(every),
                     sp_start=int(start), expr=_expr(value), ages=[], ztypes=[],
                     when=_cond(when) if when is not None else None)


def convert(probability, *, pairs=None, source_z=None, target_z=None, when=None) -> Operation:
    """Move each individual with the given probability.

    Either `pairs` of cells ``((sex, age, z), (sex, age, z))`` or a whole genotype
    ``source_z -> target_z`` across all ages and both sexes.
    """
    if pairs:
        if source_z is not None or target_z is not None:
            raise ValueError("give either pairs or source_z/target_z, not both")
        norm = []
        for src, tgt in pairs:
            src, tgt = tuple(int(v) for v in src), tuple(int(v) for v in tgt)
            if len(src) != 3 or len(tgt) != 3:
                raise ValueError("convert pairs are ((sex, age, z), (sex, age, z))")
            norm.append((src, tgt))
        return Operation(OPCODES["convert"], float(probability), pairs=norm, ages=[], ztypes=[],
                         when=_cond(when) if when is not None else None)
    if source_z is None or target_z is None:
        raise ValueError("convert needs pairs or both source_z and target_z")
    return Operation(OPCODES["convert"], float(probability), source_z=int(source_z),
                     target_z=int(target_z), ages=[], ztypes=[],
                     when=_cond(when) if when is not None else None)


def clear_sperm(cells: Iterable, *, when=None) -> Operation:
    """Empty the stored sperm of female cells given as (age, z) pairs."""
    triples = []
    for cell in cells:
        cell = tuple(int(v) for v in cell)
        if len(cell) == 2:
            cell = (0,) + cell
        if len(cell) != 3:
            raise ValueError("clear_sperm cells are (age, z) or (sex, age, z)")
        triples.append(cell)
    return Operation(OPCODES["clear_sperm"], clear_cells=triples, ages=[], ztypes=[],
                     when=_cond(when) if when is not None else None)


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


class HookProgramBuilder:
    """Collects hooks per event, in priority order, and compiles them."""

    def __init__(self, n_ages: int | None = None, n_ztypes: int | None = None, n_events: int = 4):
        self.n_ages = n_ages
        self.n_ztypes = n_ztypes
        self.n_events = int(n_events)
        self._hooks: list[_Hook] = []

    def _event(self, event) -> int:
        e = EVENTS[event] if isinstance(event, str) else int(event)
        if not 0 <= e < self.n_events:
            raise ValueError(f"event {event!r} outside 0..{self.n_events - 1}")
        return e

    def add_hook(self, event, ops, *, demes=None) -> "HookProgramBuilder":
        """Append a hook of ordinary operations to `event`. `demes`: None (all), an int,
        a ``range`` with step 1, or a list of deme ids."""
        ops = [ops] if isinstance(ops, Operation) else list(ops)
        for op in ops:
            if not isinstance(op, Operation):
                raise TypeError(f"expected an Operation, got {type(op).__name__}")
        self._hooks.append(_Hook(self._event(event), ops, demes))
        return self

    def add_callback(self, event, *, demes=None) -> "HookProgramBuilder":
        """Append a callback hook: the next Python callable registered for `event`
        runs here."""
        e = self._event(event)
        slot = sum(1 for h in self._hooks if h.event == e and h.callback_slot >= 0)
        self._hooks.append(_Hook(e, [], demes, slot))
        return self

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
            cols["deme_selector_types"].append(0)
        elif isinstance(demes, (int, np.integer)):
            cols["deme_selector_types"].append(1)
            data.append(int(demes))
        elif isinstance(demes, range) and demes.step == 1:
            cols["deme_selector_types"].append(2)
            data.extend([demes.start, demes.stop])
        else:
            cols["deme_selector_types"].append(3)
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
