"""Parameters that change over time, site by site: seasons and other schedules.

A schedule sets one scalar ecology parameter of every site of a landscape at
tick boundaries: every boundary a session reaches (at construction, and after
each tick) holds the values scheduled for its tick, which stay in force for
the whole of that tick. The engine writes them (tables and profiles from its
own copy, functions through a call per boundary) before the boundary is
recorded or checkpointed, only where the value changes, and journals every
change as (tick, name, deme, "schedule", old, new): in the session's
``parameter_log``, or in the bound history's per-site logs, which a
checkpoint restore rolls back with the state. A schedule acts at the
boundaries where its own entry may change (every boundary for a function):
there it sets the parameter, also over a change a hook made since; in
between, hooks may change the parameter freely.

- ``schedule_table(name, table, start=0, repeat=False)``: ``table`` of shape
  (ticks, sites) (or (ticks,) for every site alike); row k is in force at tick
  start + k. Before `start` the parameter keeps its value; after the last row
  it keeps the last value, or the table starts over with ``repeat``.
- ``seasonal(name, profile, start=0, relative=True)``: a periodic profile of
  P values (or (P, sites)): at tick t the value is ``profile[(t - start) % P]``,
  times the site's own value of the parameter when ``relative`` (a rainfall
  year that swells and shrinks each site's carrying capacity by its share).
- ``schedule_function(name, function, relative=False)``: ``function(tick)``
  returns one value or one per site; called at every boundary a run visits
  (the boundary a run ends on and the one the next run starts from are the
  same tick: it is called for both).

Scheduled parameters: ``carrying_capacity``, ``eggs_per_female``,
``sex_ratio``, ``sperm_displacement_rate``, ``low_density_growth_rate``. A
table or profile value outside a parameter's range raises ``ValueError`` when
the session is made; a function's, naming the schedule, tick and site, before
anything of that boundary is written (the run ends there, the session
keeps the tick it reached).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable

import numpy as np

__all__ = ["Schedule", "schedule_table", "seasonal", "schedule_function", "SCHEDULED", "Scheduler"]

SCHEDULED = ("carrying_capacity", "eggs_per_female", "sex_ratio", "sperm_displacement_rate",
             "low_density_growth_rate")


def bounds(name: str) -> tuple:
    """(low, high) of a scalar ecology parameter (high None: unbounded)."""
    from .contracts import SCALAR_BOUNDS  # the ranges every front end checks

    lo, hi, _ = SCALAR_BOUNDS[name]
    return lo, hi


def num(v) -> str:
    """A number as people write it: 1000000000000 rather than 1e+12, 0.5, -1.5."""
    v = float(v)
    return str(int(v)) if v.is_integer() and abs(v) < 1e16 else repr(v)


def check_values(name: str, values: np.ndarray, where: str) -> None:
    lo, hi = bounds(name)
    bad = ~np.isfinite(values) | (values < lo)
    if hi is not None:
        bad |= values > hi
    if bad.any():
        k = np.argwhere(bad)[0]
        rng = f"[{num(lo)}, {num(hi)}]" if hi is not None else f"[{num(lo)}, inf)"
        raise ValueError(f"{where}: {name} must be in {rng}, got {float(values[tuple(k)])!r} "
                         f"at {'index ' + str(tuple(int(i) for i in k)) if values.ndim > 1 else 'site ' + str(int(k[0]))}")


def _name(name) -> str:
    if name not in SCHEDULED:
        raise ValueError(f"a schedule sets one of {', '.join(SCHEDULED)}; got {name!r}")
    return name


def _tick(value, what) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{what} must be a nonnegative integer, got {value!r}")
    if int(value) < 0:
        raise ValueError(f"{what} must be a nonnegative integer, got {int(value)}")
    return int(value)


def _table(values, what) -> np.ndarray:
    try:
        a = np.array(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{what} must hold numbers") from None
    if a.ndim not in (1, 2) or a.shape[0] == 0:
        raise ValueError(f"{what} must have shape (ticks,) or (ticks, sites) with at least one tick, "
                         f"got {a.shape}")
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{what} must hold finite values")
    return a


@dataclass(frozen=True)
class Schedule:
    """One scheduled parameter (make it with ``schedule_table``, ``seasonal``
    or ``schedule_function``)."""

    name: str
    kind: str  # "table", "seasonal" or "function"
    table: np.ndarray | None = None
    start: int = 0
    repeat: bool = False
    relative: bool = False
    function: Callable | None = field(default=None, compare=False)

    def row(self, tick: int) -> np.ndarray | float | None:
        """The raw scheduled entry at `tick` (before `relative` is applied),
        or None when the schedule sets nothing at that tick."""
        if self.kind == "function":
            return self.function(tick)
        k = tick - self.start
        if k < 0:
            return None
        n = self.table.shape[0]
        if k >= n:
            if not self.repeat and self.kind == "table":
                return None  # the last row stays in force
            k %= n
        return self.table[k]

    def changes_at(self, tick: int) -> bool:
        """Whether the entry at `tick` may differ from the one at tick - 1."""
        if self.kind == "function":
            return True
        k = tick - self.start
        n = self.table.shape[0]
        if k < 0 or (k >= n and not self.repeat and self.kind == "table"):
            return False
        if k == 0:
            return True
        k %= n
        prev = (k - 1) % n
        return not np.array_equal(self.table[k], self.table[prev])

    def describe(self) -> dict:
        out = {"name": self.name, "kind": self.kind, "start": self.start, "relative": self.relative}
        if self.table is not None:
            out["shape"] = list(self.table.shape)
            out["repeat"] = self.repeat
        return out


def schedule_table(name, table, *, start: int = 0, repeat: bool = False) -> Schedule:
    """Values from a (ticks, sites) or (ticks,) table, row k at tick start + k."""
    return Schedule(_name(name), "table", _table(table, f"schedule of {name}"), _tick(start, "start"),
                    bool(repeat))


def seasonal(name, profile, *, start: int = 0, relative: bool = True) -> Schedule:
    """A periodic profile (P,) or (P, sites), repeated from tick `start`; with
    ``relative`` it multiplies each site's own value of the parameter."""
    return Schedule(_name(name), "seasonal", _table(profile, f"seasonal profile of {name}"),
                    _tick(start, "start"), True, bool(relative))


def schedule_function(name, function: Callable, *, relative: bool = False) -> Schedule:
    """``function(tick)`` -> one value or one per site, at every boundary."""
    if not callable(function):
        raise TypeError(f"function must be callable, got {type(function).__name__}")
    return Schedule(_name(name), "function", None, 0, False, bool(relative), function)


def check_schedules(schedules, n_sites: int) -> tuple:
    """Validate a list of schedules against the number of sites; one schedule
    per parameter."""
    if isinstance(schedules, Schedule):
        schedules = (schedules,)
    out = []
    for k, s in enumerate(schedules or ()):
        if not isinstance(s, Schedule):
            raise TypeError(f"schedules[{k}] must be a Schedule (schedule_table, seasonal or "
                            f"schedule_function), got {type(s).__name__}")
        if s.table is not None and s.table.ndim == 2 and s.table.shape[1] != n_sites:
            raise ValueError(f"schedule of {s.name}: the table has {s.table.shape[1]} columns for "
                             f"{n_sites} sites")
        if s.table is not None and not s.relative:
            check_values(s.name, s.table, f"schedule of {s.name}")
        if any(o.name == s.name for o in out):
            raise ValueError(f"two schedules set {s.name}; combine them into one")
        out.append(s)
    return tuple(out)


class Scheduler:
    """Applies the schedules of a landscape to a spatial engine session."""

    def __init__(self, schedules: tuple, base: dict, n_sites: int):
        self.schedules = schedules
        self.base = base  # name -> (n_sites,) values the relative schedules scale
        self.n_sites = n_sites

    def __bool__(self) -> bool:
        return bool(self.schedules)

    def values(self, s: Schedule, tick: int) -> np.ndarray | None:
        row = s.row(tick)
        if row is None:
            return None
        v = np.array(row, dtype=np.float64)
        if v.ndim == 0:
            v = np.full(self.n_sites, float(v))
        if v.shape != (self.n_sites,):
            raise ValueError(f"schedule of {s.name} at tick {tick}: expected one value or "
                             f"{self.n_sites} values, got shape {v.shape}")
        if s.relative:
            v = self.base[s.name] * v
        check_values(s.name, v, f"schedule of {s.name} at tick {tick}")
        return v

    def check(self) -> None:
        """Check every value a table or seasonal schedule can take (with the
        sites' own values for relative ones), so that a bad one is found
        before the first tick rather than at its tick."""
        for s in self.schedules:
            if s.kind == "function":
                continue
            values = s.table if s.table.ndim == 2 else s.table[:, None] * np.ones(self.n_sites)
            if s.relative:
                values = self.base[s.name][None, :] * values
            lo, hi = bounds(s.name)
            bad = ~np.isfinite(values) | (values < lo) | ((values > hi) if hi is not None else False)
            if bad.any():
                k, d = (int(v) for v in np.argwhere(bad)[0])
                kind = "profile" if s.kind == "seasonal" else "table"
                raise ValueError(f"schedule of {s.name}: row {k} of the {kind} gives site {d} the value "
                                 f"{float(values[k, d])!r}, outside [{num(lo)}, "
                                 f"{num(hi) if hi is not None else 'inf'}{']' if hi is not None else ')'}")

    @property
    def functions(self) -> tuple:
        """The function schedules (the host computes their values)."""
        return tuple(s for s in self.schedules if s.kind == "function")

    def engine_tables(self) -> list:
        """The table and seasonal schedules as the engine session's
        ``set_schedules`` takes them: (name, (rows, 1 or sites) table, start,
        repeat, per-site base or None)."""
        out = []
        for s in self.schedules:
            if s.kind == "function":
                continue
            table = s.table if s.table.ndim == 2 else s.table[:, None]
            base = self.base[s.name] if s.relative else None
            out.append((s.name, np.ascontiguousarray(table, dtype=np.float64), s.start, s.repeat, base))
        return out

    def function_values(self, tick: int) -> dict | None:
        """{name: per-site values} of the function schedules at `tick` (the
        engine's boundary callback), checked."""
        return {s.name: self.values(s, tick) for s in self.functions} or None
