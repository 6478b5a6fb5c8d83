"""Replicates and parameter sweeps through any executor, with progress.

``sweep`` runs R stochastic replicates of each of P parameter sets of a model
and gathers them into one labelled ``xarray.Dataset``: one dimension per grid
parameter (or ``parameter_set`` for a list of sets), then ``replicate``,
``tick``, ``sex``, ``age``, ``genotype``. The jobs go through

- threads (the default: ``run`` releases the interpreter lock, so replicates
  run side by side on every core),
- processes (``executor="processes"``),
- any ``concurrent.futures``-style executor, or a ``dask.distributed`` client
  as it is (its cluster runs the replicates),
- or the calling thread (``executor=None``).

Seeds: replicate r of parameter set p runs with the engine seed
``SeedSequence(seed, spawn_key=(p, r)).generate_state(1, uint64)[0]``
(``numpy.random.SeedSequence`` spawning from one root seed), so a sweep gives
the same numbers on one thread, many threads, processes or a cluster, and
adding replicates or appending parameter sets keeps the runs already made.
The seeds are stored in the result, so any single replicate can be re-run with
``qorin.simulate(..., seed=...)``.

The model of a parameter set is built once in the calling process (``model``
is called with the set's values as keywords); a job carries the blueprint,
parameters and compiled hook program (plain picklable objects) and makes its
session where it runs. Only the rows come back.

``simulate`` runs one model once and ``replicates`` runs it with given seeds.
``run`` runs one session in chunks with a tick progress bar and returns exactly
what one ``session.run`` call returns. The summaries of replicates
(``suppression_tick``, ``suppressed_fraction``, ``summarize``) live in
``qorin.results`` and are importable from here too. The progress bars use
tqdm ("scale" extra); xarray comes with the "analysis" extra.
"""

from __future__ import annotations

import collections
import concurrent.futures as cf
import contextlib
import ctypes
import functools
import itertools
import json
import math
import os
import pickle
import threading
import traceback
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Mapping

import numpy as np

from . import _engine_rs
from . import generations as _generations
from . import contracts as C
from . import results as R
from ._optional import require
from ._version import __version__
from .contracts import Model
# The summaries of replicates live with the other summaries of results; their
# names stay importable from here.
from .results import parameter_dims, summarize, suppressed_fraction, suppression_tick

__all__ = [
    "Model", "sweep", "simulate", "replicates", "derive_seeds", "run", "Cancelled", "ReplicateError",
    "suppression_tick", "suppressed_fraction", "summarize", "parameter_dims",
]

# Dimensions and variables of a gathered dataset: a grid parameter may not take these names.
_RESERVED = frozenset({
    "replicate", "tick", "deme", "sex", "age", "genotype", "female_genotype", "male_genotype",
    "adult", "count", "stored_sperm", "seed", "stop_tick", "stopped", "parameter_set", "allele",
})


def _as_model(value, where: str, *, round_counts: bool = False) -> Model:
    """The model `value` with its hook program compiled, checked before any
    replicate runs (``contracts.check_model``; a ValueError names `where`)."""
    if isinstance(value, Model):
        model = value
    elif isinstance(value, (tuple, list)) and len(value) in (2, 3):
        model = Model(*value)
    else:
        raise TypeError(f"{where} must be a qorin.sweeps.Model or a (blueprint, params[, program]) "
                        f"tuple, got {type(value).__name__}")
    try:
        # compiled once: the program travels to the workers
        blueprint, program = C.check_model(model.blueprint, model.params, model.program,
                                           round_counts=round_counts)
    except ValueError as exc:
        if where == "model":
            raise
        raise ValueError(f"{where}: {exc}") from None
    session = _generations.wrap_engine_class(model.session, blueprint)
    return Model(blueprint, model.params, program, session)


# ------------------------------------------------------------------ seeds
def derive_seeds(seed: int, n_replicates: int, n_sets: int = 1) -> np.ndarray:
    """The engine seeds of a sweep: a (n_sets, n_replicates) uint64 array whose
    entry [p, r] is ``SeedSequence(seed, spawn_key=(p, r)).generate_state(1,
    numpy.uint64)[0]``: the r-th child of the p-th child of the root seed."""
    root = _root_seed(seed)
    n_replicates, n_sets = _count(n_replicates, "replicates"), _count(n_sets, "n_sets")
    out = np.empty((n_sets, n_replicates), dtype=np.uint64)
    for p in range(n_sets):
        for r in range(n_replicates):
            ss = np.random.SeedSequence(root, spawn_key=(p, r))
            out[p, r] = ss.generate_state(1, dtype=np.uint64)[0]
    return out


def _root_seed(seed) -> int:
    if isinstance(seed, (float, np.floating)):  # a number, but not a seed: 1.5 or 1e20 lose bits
        raise ValueError(f"seed must be a nonnegative integer, got the float {seed!r}")
    if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be a nonnegative integer, got {seed!r}")
    if int(seed) < 0:
        raise ValueError(f"seed must be a nonnegative integer, got {int(seed)}")
    return int(seed)


def _count(value, name: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be a positive integer, got {value!r}")
    if int(value) < 1:
        raise ValueError(f"{name} must be a positive integer, got {int(value)}")
    return int(value)


# ------------------------------------------------------------------ grids
@dataclass(frozen=True)
class _Grid:
    names: tuple  # parameter names (the keywords of the model function)
    dims: tuple  # dataset dimensions of the parameter sets
    shape: tuple
    coords: dict  # dataset coordinates of the parameter dimensions
    values: tuple = ()  # a mapping grid: the values of each name (the product is never stored)
    sets: tuple = ()  # a sequence grid: one dict per parameter set

    @property
    def size(self) -> int:
        return math.prod(self.shape)

    def point(self, k: int) -> dict:
        """The keyword values of parameter set k (C order of `shape`)."""
        if self.sets:
            return dict(self.sets[k])
        where = np.unravel_index(k, self.shape) if self.shape else ()
        return {n: v[i] for n, v, i in zip(self.names, self.values, where)}

    def points(self):
        if self.sets:
            return (dict(p) for p in self.sets)
        return (dict(zip(self.names, combo)) for combo in itertools.product(*self.values))


def _coordinate(values: list):
    """Values of one parameter as a 1-D coordinate (text for non-scalars)."""
    if all(isinstance(v, (bool, np.bool_)) for v in values):
        return np.array(values, dtype=bool)
    if all(isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_)) for v in values):
        return np.array(values, dtype=np.int64)
    if all(isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, (bool, np.bool_))
           for v in values):
        return np.array(values, dtype=np.float64)
    if all(isinstance(v, str) for v in values):
        return np.array(values, dtype=object)
    return np.array([json.dumps(R.jsonable(v)) if not isinstance(v, str) else v for v in values],
                    dtype=object)


def _check_name(name) -> str:
    if not isinstance(name, str) or not name:
        raise TypeError(f"grid parameter names must be non-empty strings, got {name!r}")
    if name in _RESERVED:
        raise ValueError(f"grid parameter {name!r} clashes with a dimension or variable of the "
                         f"results; rename it")
    return name


def _no_nan(values: list, where: str) -> None:
    for k, v in enumerate(values):
        if isinstance(v, (float, np.floating)) and math.isnan(v):
            raise ValueError(f"{where} holds NaN (value {k}); a parameter set needs a value")


def _grid(grid) -> _Grid:
    if grid is None:
        return _Grid((), (), (), {})
    if isinstance(grid, Mapping):
        names, values = [], []
        for name, vals in grid.items():
            names.append(_check_name(name))
            if isinstance(vals, (str, bytes, Mapping)) or not isinstance(vals, Iterable):
                raise TypeError(f"grid[{name!r}] must be a sequence of values, got {type(vals).__name__}")
            vals = list(vals)
            if not vals:
                raise ValueError(f"grid[{name!r}] must hold at least one value")
            _no_nan(vals, f"grid[{name!r}]")
            coord = _coordinate(vals)
            if len(set(coord.tolist())) != len(vals):
                raise ValueError(f"grid[{name!r}] holds a value twice")
            values.append(vals)
        coords = {n: _coordinate(v) for n, v in zip(names, values)}
        return _Grid(tuple(names), tuple(names), tuple(len(v) for v in values), coords,
                     values=tuple(values))
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError("grid must be None, a mapping of parameter name to values, or a sequence "
                        f"of parameter sets (mappings), got {type(grid).__name__}")
    sets = list(grid)
    if not sets:
        raise ValueError("grid must hold at least one parameter set")
    for k, point in enumerate(sets):
        if not isinstance(point, Mapping):
            raise TypeError(f"grid[{k}] must be a mapping of parameter name to value, "
                            f"got {type(point).__name__}")
    names = [_check_name(n) for n in sets[0]]
    for k, point in enumerate(sets):
        if set(point) != set(names):
            raise ValueError(f"every parameter set must name the same parameters: grid[{k}] has "
                             f"{sorted(point)}, grid[0] has {sorted(names)}")
        _no_nan(list(point.values()), f"grid[{k}]")
    coords = {n: ("parameter_set", _coordinate([p[n] for p in sets])) for n in names}
    coords["parameter_set"] = np.arange(len(sets))
    return _Grid(tuple(names), ("parameter_set",), (len(sets),), coords,
                 sets=tuple(dict(p) for p in sets))


# ------------------------------------------------------------------ running one replicate
@dataclass(frozen=True)
class _Shape:
    """What every replicate of one model in one sweep shares, worked out once:
    the session class (or factory) that runs it, the ticks kept and the values
    kept per row (the width of a row, tick included)."""

    session: Any
    ticks: np.ndarray
    width: int


def _shape(model: Model, n_ticks: int, record_interval: int, sperm: bool) -> _Shape:
    layout = _layout(model)
    return _Shape(model.session or _generations.session_class(model.blueprint),
                  _ticks(n_ticks, record_interval), layout.width if sperm else 1 + layout.count_size)


@dataclass(frozen=True)
class _Job:
    model: Model
    seed: int
    n_ticks: int
    record_interval: int
    sperm: bool  # keep the stored-sperm block of the rows
    index: int = 0  # parameter set * replicates + replicate
    shape: _Shape | None = None  # shared by the jobs of a model (worked out when absent)


def _ticks(n_ticks: int, interval: int) -> np.ndarray:
    """Ticks a fresh session records in run(n_ticks, interval): the multiples of
    the interval from 0 to n_ticks."""
    if interval <= 0:
        return np.zeros(0, dtype=np.int64)
    return np.arange(0, max(n_ticks, 0) + 1, interval, dtype=np.int64)


_POLL = 0.2  # seconds between two looks at Ctrl-C while a sweep waits for its replicates
CANCEL_CHUNK = 256  # ticks between two looks at the cancel flag (sessions whose run takes no progress)


class Cancelled(Exception):
    """A run given up between two chunks because its sweep was interrupted or failed."""


class _Stop(BaseException):
    """Raised inside Python code (a hook callback) of a replicate thread whose
    sweep was interrupted: a BaseException, so that a callback's own
    ``except Exception`` does not swallow it."""


class _CancelFlag:
    """The cancel flag of a sweep on threads. Once set, replicates give up at
    their next chunk, and a replicate thread that runs Python code (a slow hook
    callback) is stopped there at once, so that Ctrl-C is not kept waiting."""

    def __init__(self):
        self._event = threading.Event()
        self._lock = threading.Lock()
        self._threads: set = set()

    def is_set(self) -> bool:
        return self._event.is_set()

    def set(self) -> None:
        with self._lock:
            self._event.set()
            for ident in self._threads:
                ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(ident),
                                                           ctypes.py_object(_Stop))
            self._threads.clear()

    @contextlib.contextmanager
    def running(self):
        """Mark the calling thread as running a replicate (open to a stop)."""
        ident = threading.get_ident()
        with self._lock:
            if self._event.is_set():
                raise Cancelled("the sweep was interrupted")
            self._threads.add(ident)
        try:
            yield
        finally:
            with self._lock:
                self._threads.discard(ident)


def _run_job(job: _Job, progress=None, cancel=None):
    """Run one replicate in a fresh session; return (values, final_tick, stopped)
    with its values on the full tick axis (``_on_ticks``).

    A run that a hook stopped early keeps, for the ticks after its stop, the
    state it stopped in: a stopped session holds that state unchanged. With a
    `cancel` flag (replicates on threads, where Ctrl-C does not reach) a long
    run goes in chunks and gives up between two of them once the flag is set."""
    if cancel is not None and cancel.is_set():
        raise Cancelled("the sweep was interrupted")
    if isinstance(cancel, _CancelFlag):
        with cancel.running():
            return _run_job(job, progress, cancel=cancel._event)
    model = job.model
    shape = job.shape or _shape(model, job.n_ticks, job.record_interval, job.sperm)
    session = shape.session(model.blueprint, model.params, int(job.seed))
    if model.program is not None:
        session.set_hook_program(model.program)
    if progress is not None or (cancel is not None and (job.n_ticks > CANCEL_CHUNK or _takes_progress(session))):
        final_tick, rows, stopped = run(session, job.n_ticks, job.record_interval,
                                        progress=progress if progress is not None else False,
                                        chunk=max(CANCEL_CHUNK, math.ceil(job.n_ticks / 20)), cancel=cancel)
    else:
        final_tick, rows, stopped = session.run(job.n_ticks, job.record_interval)
    return _on_ticks(rows, shape, session, final_tick, stopped), int(final_tick), bool(stopped)


@dataclass(frozen=True)
class _Stopped:
    """The values of a run that stopped, on the full tick axis: its rows on the
    first ticks, then the state it stopped in on every later tick."""

    rows: np.ndarray  # (recorded ticks, width - 1)
    state: np.ndarray  # (width - 1,)


def _on_ticks(rows, shape: _Shape, session, final_tick, stopped):
    """The kept values of a run's rows on the full tick axis: each tick takes
    the last row recorded at or before it, and the ticks after a stop take the
    state the session stopped in. An array of shape (ticks, width - 1), or a
    ``_Stopped`` record of those values (``_place`` writes either into place)."""
    ticks, width = shape.ticks, shape.width
    n = len(rows)
    if stopped:
        snapshot = session.state_snapshot()  # (tick, ind[, sperm]): discrete sessions store no sperm
        frozen = np.concatenate(snapshot[1:])[:width - 1]
    if n and n <= len(ticks) and np.array_equal(rows[:, 0], ticks[:n]):
        # the rows are the first ticks of the axis (a run recorded as asked)
        if n == len(ticks) and not stopped:
            return rows[:, 1:width]  # the gatherer copies them into place
        if stopped and np.searchsorted(ticks, final_tick, side="right") <= n:
            return _Stopped(rows[:, 1:width], frozen)  # every later tick is after the stop
        values = np.empty((len(ticks), width - 1))
        values[:n] = rows[:, 1:width]
        values[n:] = rows[n - 1, 1:width]
    else:
        values = np.zeros((len(ticks), width - 1))
        if n:
            recorded = rows[:, 0].astype(np.int64)
            pos = np.clip(np.searchsorted(recorded, ticks, side="right") - 1, 0, n - 1)
            values[:] = rows[pos, 1:width]
    if stopped:
        values[ticks > final_tick] = frozen
    return values


def _place(values, counts: np.ndarray, stored, size: int) -> None:
    """Write one replicate's values (see ``_on_ticks``) into its slots of the
    gathered arrays: `counts` (ticks, size) and `stored` (ticks, rest) or None."""
    if isinstance(values, _Stopped):
        n = len(values.rows)
        counts[:n] = values.rows[:, :size]
        counts[n:] = values.state[:size]
        if stored is not None:
            stored[:n] = values.rows[:, size:]
            stored[n:] = values.state[size:]
        return
    counts[...] = values[:, :size]
    if stored is not None:
        stored[...] = values[:, size:]


@dataclass
class _Failure:
    """A replicate (or a whole task) that failed, as it travels back from a
    worker: the exception itself when it survives pickling, else its class name,
    message and traceback as text."""

    position: int | None  # the failed job's position in its task; None: the task itself failed
    kind: str
    message: str
    details: str
    error: BaseException | None

    @classmethod
    def of(cls, exc: BaseException, position, local: bool) -> "_Failure":
        error = exc
        if not local:
            try:
                pickle.loads(pickle.dumps(exc))
            except Exception:  # noqa: BLE001 - anything that does not travel is sent as text
                error = None
        details = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        return cls(position, type(exc).__qualname__, str(exc), details, error)


def _run_batch(jobs: list, cancel=None, local: bool = False) -> list:
    """Several replicates in one task: one transfer of the model for all of them.

    The results of the replicates that finished come back; a failing replicate
    ends the task with a ``_Failure`` in its place (an exception that cannot be
    pickled still reaches the caller as text), an interrupted one ends it."""
    out: list = []
    for k, job in enumerate(jobs):
        try:
            out.append(_run_job(job, cancel=cancel))
        except (Cancelled, _Stop):
            break
        except Exception as exc:  # noqa: BLE001 - reported to the caller with its replicate
            out.append(_Failure.of(exc, k, local))
            break
    return out


class ReplicateError(RuntimeError):
    """A replicate of a sweep (or of ``qorin.replicates``) failed.

    Attributes: ``parameters`` (the values of its parameter set, {} without a
    grid), ``parameter_set`` (the index of the set, C order of the grid),
    ``replicate``, ``seed`` (its engine seed: ``qorin.simulate(..., seed=err.seed)``
    runs it again), ``error_type`` (the class name of the original exception,
    which is also ``__cause__`` when it could be sent back from the worker),
    ``details`` (its traceback as text) and ``partial``: a Dataset of the
    sweep's layout holding the replicates that had finished (the variable
    ``finished`` marks them; ``count`` is NaN for the others), which can be
    saved with ``qorin.save``."""

    def __init__(self, message: str, *, parameters: dict, parameter_set: int, replicate: int,
                 seed: int, error_type: str, details: str):
        super().__init__(message)
        self.parameters, self.parameter_set, self.replicate = parameters, parameter_set, replicate
        self.seed, self.error_type, self.details = seed, error_type, details
        self.partial = None


# ------------------------------------------------------------------ executors
def _cpu_count() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on every platform
        return max(1, os.cpu_count() or 1)


def _is_dask(executor) -> bool:
    return hasattr(executor, "gather") and hasattr(executor, "submit") and \
        type(executor).__module__.split(".")[0] == "distributed"


def _batch_size(executor, workers, n_jobs: int) -> int:
    """Replicates per task: one each on threads (tasks cost next to nothing
    there); for processes, clusters and other executors, where a task costs a
    transfer, about four tasks per worker."""
    if executor is None or executor == "threads":
        return 1
    if executor == "processes":
        n_workers = workers or _cpu_count()
    elif _is_dask(executor):
        try:
            n_workers = sum(executor.nthreads().values())
        except Exception:  # a client that cannot tell: assume one worker per local core
            n_workers = _cpu_count()
    else:
        n_workers = getattr(executor, "_max_workers", None) or _cpu_count()
    return max(1, math.ceil(n_jobs / (4 * max(1, int(n_workers)))))


def _progress_bar(enabled, total: int, unit: str, desc: str | None):
    if not enabled:
        return None
    tqdm = require("tqdm", "progress bars").tqdm
    return tqdm(total=total, unit=unit, desc=desc, dynamic_ncols=True)


def _execute(fn: Callable, jobs: list, executor, workers) -> Iterable:
    """Yield (index, result) of fn(job) for every job, in completion order.

    A task that fails as a whole (its executor cannot run or send it) yields
    ``[_Failure]``; when the consumer stops (an error, Ctrl-C) the jobs not yet
    started are cancelled and those on threads are told to give up."""
    if workers is not None:
        workers = _count(workers, "workers")
    if executor is None:
        for k, job in enumerate(jobs):
            yield k, fn(job, local=True)
        return
    if isinstance(executor, str):
        if executor == "threads":
            pool = cf.ThreadPoolExecutor(max_workers=workers or _cpu_count(),
                                         thread_name_prefix="qorin-sweep")
        elif executor == "processes":
            pool = cf.ProcessPoolExecutor(max_workers=workers or _cpu_count())
        else:
            raise ValueError(f"executor must be 'threads', 'processes', None or an executor "
                             f"object, got {executor!r}")
        try:
            yield from _submitted(pool, fn, jobs, executor == "threads")
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
        return
    if workers is not None:
        raise ValueError("workers applies to executor='threads' or 'processes'; an executor "
                         "object brings its own workers")
    if _is_dask(executor):
        distributed = require("distributed", "running on a dask cluster")
        futures = executor.map(fn, jobs, pure=False)
        index = {f.key: k for k, f in enumerate(futures)}
        try:
            for future in distributed.as_completed(futures):
                yield index[future.key], _result(future)
        finally:
            for f in futures:
                if not f.done():
                    f.cancel()
        return
    if hasattr(executor, "submit"):
        yield from _submitted(executor, fn, jobs, isinstance(executor, cf.ThreadPoolExecutor))
        return
    if hasattr(executor, "map"):
        results = iter(executor.map(fn, jobs))
        for k in range(len(jobs)):
            try:
                value = next(results)
            except StopIteration:
                return
            except Exception as exc:  # noqa: BLE001 - the task of job k failed as a whole
                yield k, [_Failure.of(exc, None, True)]
                return
            yield k, value
        return
    raise TypeError(f"executor must have a submit or map method, got {type(executor).__name__}")


def _result(future):
    try:
        return future.result()
    except Exception as exc:  # noqa: BLE001 - the task failed as a whole (say, it did not pickle)
        return [_Failure.of(exc, None, True)]


def _submitted(pool, fn, jobs, threads: bool):
    """Submit every job; on an error or Ctrl-C cancel the jobs not started and,
    on threads, stop the running ones (at their next chunk, or at once in
    Python code such as a hook callback)."""
    cancel = _CancelFlag() if threads else None
    fn = functools.partial(fn, cancel=cancel, local=threads)
    futures = {}
    try:
        for k, job in enumerate(jobs):
            futures[pool.submit(fn, job)] = k
        pending = set(futures)
        while pending:
            # wake up now and then: a Ctrl-C that the system handed to a worker
            # thread is only seen by the main thread when it runs
            done, pending = cf.wait(pending, timeout=_POLL, return_when=cf.FIRST_COMPLETED)
            for future in done:
                yield futures[future], _result(future)
    except BaseException:
        if cancel is not None:
            cancel.set()
        raise
    finally:
        for f in futures:
            f.cancel()


# ------------------------------------------------------------------ gathering
def _layout(model: Model):
    """The row layout of the model's session (a subclass records like its engine class)."""
    cls = model.session or _generations.session_class(model.blueprint)
    # a factory of sessions of unknown kind records as the blueprint says
    return R.row_layout(model.blueprint, _generations.session_kind(cls, strict=False))


def _layout_key(model: Model):
    bp = model.blueprint
    layout = _layout(model)
    return (layout, int(bp.new_adult_age), tuple(str(s) for s in bp.ztype_names))


def _gather(models: list, grid: _Grid, seeds: np.ndarray, results: Iterable, *,
            n_ticks: int, record_interval: int, sperm: bool, attrs: dict):
    """Fill the arrays of the dataset from (index, result) pairs as they arrive.

    A failure (``ReplicateError``) or Ctrl-C (``KeyboardInterrupt``) while they
    arrive gets the replicates that had finished attached as ``partial``."""
    first = models[0]
    layout = _layout_key(first)[0]
    ticks = _ticks(n_ticks, record_interval)
    lead = grid.shape + (seeds.shape[-1],)
    keep_sperm = sperm and layout.sperm
    n_values = layout.count_size + (layout.sperm_size if keep_sperm else 0)
    try:
        counts = np.empty(lead + (len(ticks), layout.count_size))
        stored = np.empty(lead + (len(ticks), layout.sperm_size)) if keep_sperm else None
    except MemoryError:
        raise MemoryError(_size_text(grid.size, seeds.shape[-1], len(ticks), n_values)) from None
    stop_tick = np.full(lead, -1, dtype=np.int64)
    stopped = np.zeros(lead, dtype=bool)
    filled = np.zeros(lead, dtype=bool)
    try:
        for k, (values, final_tick, was_stopped) in results:
            where = np.unravel_index(k, lead)
            _place(values, counts[where], stored[where] if stored is not None else None,
                   layout.count_size)
            stop_tick[where] = final_tick
            stopped[where] = was_stopped
            filled[where] = True
    except (ReplicateError, KeyboardInterrupt) as exc:
        counts[~filled] = np.nan
        if stored is not None:
            stored[~filled] = np.nan
        ds = _dataset(models, grid, seeds, ticks, counts, stored, stop_tick, stopped, attrs)
        ds["finished"] = (ds["stopped"].dims, filled)
        exc.partial = ds
        raise
    if not filled.all():  # an executor that dropped a job
        raise RuntimeError(f"the executor returned {int(filled.sum())} of {filled.size} replicates")
    return _dataset(models, grid, seeds, ticks, counts, stored, stop_tick, stopped, attrs)


def _dataset(models, grid, seeds, ticks, counts, stored, stop_tick, stopped, attrs):
    xr = require("xarray", "labelled results")
    first = models[0]
    layout, new_adult_age, labels = _layout_key(first)
    n_rep = seeds.shape[-1]
    lead = grid.shape + (n_rep,)
    dims = grid.dims + ("replicate",)
    run_lead = dims + (("tick", "deme") if layout.stacked else ("tick",))
    ages = np.arange(layout.n_ages)
    coords: dict = dict(grid.coords)
    coords.update({"replicate": np.arange(n_rep), "tick": ticks, "sex": list(R.SEXES), "age": ages,
                   "genotype": list(labels), "adult": ("age", ages >= new_adult_age)})
    if layout.stacked:
        coords["deme"] = np.arange(layout.n_demes)
    data = {"count": (run_lead + ("sex", "age", "genotype"),
                      counts.reshape(lead + (len(ticks),) + layout.count_shape),
                      {"long_name": "individuals", "units": "individuals"})}
    if stored is not None:
        coords["female_genotype"] = list(labels)
        coords["male_genotype"] = list(labels)
        data["stored_sperm"] = (run_lead + ("age", "female_genotype", "male_genotype"),
                                stored.reshape(lead + (len(ticks),) + layout.sperm_shape),
                                {"long_name": "females storing sperm of a male genotype",
                                 "units": "females"})
    data["seed"] = (dims, seeds.reshape(lead).astype(np.uint64))
    data["stop_tick"] = (dims, stop_tick)
    data["stopped"] = (dims, stopped)
    ds = xr.Dataset(data, coords=coords)
    single = len(models) == 1
    ds.attrs["qorin_model"] = json.dumps(R.describe_model(first.blueprint,
                                                          first.params if single else None))
    ds.attrs["qorin_version"] = __version__
    for key, value in attrs.items():
        ds.attrs[key] = value
    return ds


def _size_text(n_sets: int, n_rep: int, n_ticks: int, n_values: int) -> str:
    total = n_sets * n_rep * n_ticks * n_values * 8
    return (f"the results need {_bytes(total)}: {n_sets} parameter set(s) x {n_rep} replicate(s) "
            f"x {n_ticks} recorded tick(s) x {n_values} values of 8 bytes")


def _bytes(n: float) -> str:
    for unit in ("bytes", "kB", "MB", "GB", "TB", "PB"):
        if n < 1000 or unit == "PB":
            return f"{n:.0f} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1000


def _memory() -> int | None:
    """Bytes of physical memory, None when the platform does not tell."""
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return None


def _check_size(first: Model, n_sets: int, n_rep: int, n_ticks: int, record_interval: int,
                sperm: bool, progress, desc: str) -> None:
    """Refuse, before anything runs, results that cannot fit in memory; with
    `progress`, say how many runs the sweep makes and how much its results take."""
    layout = _layout(first)
    n_values = layout.count_size + (layout.sperm_size if sperm and layout.sperm else 0)
    recorded = len(_ticks(n_ticks, record_interval))
    text = _size_text(n_sets, n_rep, recorded, n_values)
    memory = _memory()
    if memory is not None and n_sets * n_rep * recorded * n_values * 8 > memory:
        raise ValueError(f"{desc}: {text}, more than this machine's {_bytes(memory)} of memory; "
                         "record fewer ticks (record_interval), fewer replicates or parameter "
                         "sets, or leave out the stored sperm (sperm=False)")
    if progress:
        tqdm = require("tqdm", "progress bars").tqdm
        tqdm.write(f"{desc}: {n_sets} parameter set(s) x {n_rep} replicate(s) = "
                   f"{n_sets * n_rep} run(s) of {n_ticks} ticks; {text[len('the results need '):]}")


def _replicate_runs(models: list, grid: _Grid, seeds: np.ndarray, n_ticks, *, record_interval,
                    executor, workers, progress, sperm, attrs, desc):
    """Run every (parameter set, replicate) job and gather the dataset: the one
    place that runs replicates (``sweep`` and ``results.replicates``)."""
    n_ticks, record_interval = int(n_ticks), int(record_interval)
    key = _layout_key(models[0])
    for k, model in enumerate(models[1:], start=1):
        if _layout_key(model) != key:
            raise ValueError(f"parameter set {k} ({_show(grid.point(k))}) changes the ages, "
                             "genotypes or row layout of the model; every parameter set of a "
                             "sweep must share them")
    n_rep = seeds.shape[-1]
    flat = seeds.reshape(-1, n_rep)
    shapes = [_shape(model, n_ticks, record_interval, bool(sperm)) for model in models]
    jobs = [_Job(models[p], int(flat[p, r]), n_ticks, record_interval, bool(sperm), p * n_rep + r,
                 shapes[p])
            for p in range(len(models)) for r in range(n_rep)]
    if len(jobs) == 1 and (executor is None or executor == "threads") and progress:
        # one run: show its ticks rather than a single replicate
        bar, size = None, 1
        tasks = _single(jobs[0], desc or True)
    else:
        bar = _progress_bar(progress, len(jobs), "replicate", desc)
        size = _batch_size(executor, workers, len(jobs))
        batches = [jobs[k:k + size] for k in range(0, len(jobs), size)]
        tasks = _execute(_run_batch, batches, executor, workers)
    results = _unbatched(tasks, size, bar, grid, flat)
    try:
        return _gather(models, grid, seeds, results, n_ticks=n_ticks,
                       record_interval=record_interval, sperm=sperm, attrs=attrs)
    finally:
        results.close()  # stops the workers now, not when the error is collected
        tasks.close()
        if bar is not None:
            bar.close()


def _single(job: _Job, progress):
    try:
        yield 0, [_run_job(job, progress=progress)]
    except Exception as exc:  # noqa: BLE001 - reported with its replicate
        yield 0, [_Failure.of(exc, 0, True)]


def _unbatched(results, size: int, bar, grid: _Grid, seeds: np.ndarray):
    for b, batch in results:
        for j, item in enumerate(batch):
            if isinstance(item, _Failure):
                raise _replicate_error(item, b * size + (item.position or 0), grid, seeds,
                                       task=item.position is None)
            yield b * size + j, item
        if bar is not None:
            bar.update(len(batch))


def _replicate_error(failure: _Failure, k: int, grid: _Grid, seeds: np.ndarray, *, task: bool):
    n_rep = seeds.shape[-1]
    p, r = divmod(k, n_rep)
    point = grid.point(p)
    seed = int(seeds[p, r])
    which = f"replicate {r} of the parameter set {_show(point)}" if point else f"replicate {r}"
    what = "the task running" if task else ""
    sent = "" if failure.error is not None else \
        " (the exception could not be sent back from its worker process; its traceback is in .details)"
    err = ReplicateError(f"{what + ' ' if what else ''}{which} (engine seed {seed}) failed with "
                         f"{failure.kind}: {failure.message}{sent}",
                         parameters=point, parameter_set=p, replicate=r, seed=seed,
                         error_type=failure.kind, details=failure.details)
    err.__cause__ = failure.error
    err.__suppress_context__ = True
    return err


# ------------------------------------------------------------------ public
def sweep(model, n_ticks: int, grid=None, *, replicates: int = 10, seed: int = 0,
          record_interval: int = 1, executor="threads", workers: int | None = None,
          progress: bool = False, sperm: bool = True, round_counts: bool = False):
    """Run `replicates` stochastic replicates of every parameter set of `model`
    and gather them into one ``xarray.Dataset``.

    model
        a function called with the values of one parameter set as keywords
        (``model(release=30, cutting=0.9)``) that returns a ``Model`` or a
        ``(blueprint, params[, program])`` tuple; without a grid also a
        ``Model`` or such a tuple itself.
    grid
        None (one parameter set); a mapping ``{name: values}`` whose Cartesian
        product gives the parameter sets, each name a dimension of the result
        with its values as coordinates; or a sequence of mappings, one per
        parameter set, along the dimension ``parameter_set`` (the values
        become coordinates along it). NaN is not a value.
    n_ticks, record_interval
        ticks of every run (>= 0); the interval between recorded ticks (>= 1).
    replicates, seed
        replicates per parameter set (>= 1); the root seed the engine seeds
        are spawned from (``derive_seeds``), an integer >= 0.
    executor
        "threads" (default; ``workers`` threads, by default one per core),
        "processes", None (in the calling thread), a ``concurrent.futures``
        executor or a ``dask.distributed.Client``. The results do not depend
        on it.
    progress
        show tqdm progress: the number of runs and the size of the results
        before anything runs, the parameter sets as their models are built, then
        replicates per second (ticks per second for a single run).
    sperm
        keep the ``stored_sperm`` variable (False saves memory and transfer).
    round_counts
        round fractional initial counts and released numbers of a stochastic
        model to whole individuals (halves away from zero) instead of refusing
        them (``contracts.check_model``).

    The result has the variables ``count`` (parameter dims, replicate, tick,
    sex, age, genotype), ``stored_sperm``, ``seed``, ``stop_tick`` and
    ``stopped`` (parameter dims, replicate). Every run starts from tick 0 and
    records the multiples of `record_interval` up to `n_ticks`; a run stopped
    early by a hook keeps the state it stopped in for the later ticks. Every
    model of the sweep is built and checked before any replicate runs, and
    results that cannot fit in memory are refused then (``ValueError``).

    A replicate that fails raises ``ReplicateError`` naming its parameter set,
    replicate and engine seed; its ``partial`` holds the replicates that had
    finished. Ctrl-C (``KeyboardInterrupt``) stops the sweep: replicates on
    threads stop at once, and the interrupt carries ``partial`` as well.
    """
    g = _grid(grid)
    n_rep = _count(replicates, "replicates")
    root = _root_seed(seed)
    n_ticks, record_interval = _run_args(n_ticks, record_interval)
    if g.names and not callable(model):
        raise TypeError("with a grid, model must be a function of the grid parameters")

    def build(point):
        if not g.names:
            return _as_model(model() if callable(model) else model, "model",
                             round_counts=round_counts)
        return _as_model(model(**point), f"model({_show(point)})", round_counts=round_counts)

    points = g.points()
    models = [build(next(points))]
    _check_size(models[0], g.size, n_rep, n_ticks, record_interval, sperm, progress, "sweep")
    bar = _progress_bar(progress and g.size > 1, g.size, "parameter set", "building models")
    try:
        if bar is not None:
            bar.update(1)
        for point in points:
            models.append(build(point))
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    seeds = derive_seeds(root, n_rep, len(models)).reshape(g.shape + (n_rep,))
    attrs = {"qorin_sweep": json.dumps({
        "seed": root, "replicates": n_rep, "n_ticks": int(n_ticks),
        "record_interval": int(record_interval),
        "grid": {n: R.jsonable([p[n] for p in g.sets] if g.sets else list(g.values[i]))
                 for i, n in enumerate(g.names)}})}
    return _replicate_runs(models, g, seeds, n_ticks, record_interval=record_interval,
                           executor=executor, workers=workers, progress=progress, sperm=sperm,
                           attrs=attrs, desc="sweep")


def _run_args(n_ticks, record_interval) -> tuple:
    """n_ticks (an integer >= 0) and record_interval (an integer >= 1) of runs
    whose rows are kept."""
    if isinstance(n_ticks, (bool, np.bool_)) or not isinstance(n_ticks, (int, np.integer)):
        raise TypeError(f"n_ticks must be a nonnegative integer, got {n_ticks!r}")
    if not 0 <= int(n_ticks) < 2 ** 63:
        raise ValueError(f"n_ticks must be a nonnegative integer, got {int(n_ticks)}")
    return int(n_ticks), _count(record_interval, "record_interval")


def engine_seed(seed, name: str = "seed") -> int:
    """`seed` as an engine seed: an integer in 0..2**64-1 (``ValueError`` for
    floats and integers out of range, ``TypeError`` for anything else)."""
    if isinstance(seed, (float, np.floating)):
        raise ValueError(f"{name} must be an integer in 0..2**64-1, got the float {seed!r}")
    if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"{name} must be an integer in 0..2**64-1, got {seed!r}")
    if not 0 <= int(seed) < 2 ** 64:
        raise ValueError(f"{name} must be an integer in 0..2**64-1, got {int(seed)}")
    return int(seed)


def _show(point: dict) -> str:
    return ", ".join(f"{k}={v!r}" for k, v in point.items())


# ------------------------------------------------------------------ runs of one model
def _program(program):
    if program is None:
        return None
    return program.build() if hasattr(program, "build") else program


def simulate(blueprint, params, n_ticks: int, *, seed: int = 0, program=None,
             record_interval: int = 1, progress: bool = False, round_counts: bool = False):
    """Run a fresh session for `n_ticks` ticks (>= 0) and return its rows,
    recorded every `record_interval` ticks (>= 1), as a Dataset. The session is
    that of the blueprint's generations (``EngineSession``, discrete or
    Wright-Fisher generations, ``qorin.generations``). `program` is a
    ``HookProgramBuilder`` or a built program; `seed` an integer in
    0..2**64-1. The attributes ``final_tick`` and ``stopped`` tell how the run
    ended (a hook such as ``stop_if_extinct`` may stop it early). ``progress``
    shows a tqdm progress bar in ticks per second (the rows are the same).

    The model is checked before the first tick (``contracts.check_model``): a
    ``ValueError`` names a value out of its range or, in a stochastic model, a
    fractional count by sex, age and genotype; ``round_counts=True`` rounds such
    counts to whole individuals instead (in copies; the blueprint and program
    given are not changed)."""
    seed = engine_seed(seed)
    n_ticks, record_interval = _run_args(n_ticks, record_interval)
    described, blueprint, prog = _described(blueprint, params, _program(program),
                                            round_counts=round_counts)
    session = described.session(blueprint, params, seed)
    if prog is not None:
        session.set_hook_program(prog)
    if progress:
        final_tick, rows, stopped = run(session, n_ticks, record_interval, progress="simulate")
    else:
        final_tick, rows, stopped = session.run(n_ticks, record_interval)
    return described.frame.dataset(rows, R.dataset_attrs(described.description, {
        "seed": int(seed), "final_tick": int(final_tick), "stopped": int(bool(stopped))}))


@dataclass(frozen=True)
class _Described:
    """What the runs of one model share, worked out once: whether checking
    rounded its counts, the session class, the frame of its Datasets and its
    description (JSON text)."""

    rounded: bool
    session: Any
    frame: Any
    description: str


# Models described lately, by the content of their blueprint and parameters
# (``contracts.model_state``): a run of a model already seen, the same objects
# or equal ones, is not checked and described again (but for its hook program).
# Bounded in entries and in the size of the content kept.
_DESCRIBED: "collections.OrderedDict[bytes, _Described]" = collections.OrderedDict()
_DESCRIBED_LOCK = threading.Lock()
_DESCRIBED_ENTRIES = 16
_DESCRIBED_BYTES = 4 << 20  # of content kept in all; a model of over a quarter of it is not kept


def _described(blueprint, params, program, *, round_counts: bool) -> tuple:
    """Check and describe a model (``contracts.check_model``, ``describe_model``),
    or find it among the models described lately. Returns (``_Described``,
    blueprint, program) with the blueprint and compiled program to run:
    rounded copies with ``round_counts``, else those given."""
    state = C.model_state(blueprint, params, bool(round_counts))
    if state is not None and len(state) > _DESCRIBED_BYTES // 4:
        state = None
    if state is not None:
        with _DESCRIBED_LOCK:
            found = _DESCRIBED.get(state)
            if found is not None:
                _DESCRIBED.move_to_end(state)
        if found is not None:
            # the blueprint and parameters passed their checks; the program is
            # checked on every run (it is not part of the description)
            if found.rounded:  # the copies are made afresh: they belong to this run
                blueprint, program = C.rounded_counts(blueprint, program)
            C.check_program(program, blueprint)
            return found, blueprint, program
    checked, prog = C.check_model(blueprint, params, program, round_counts=round_counts)
    session = _generations.session_class(checked)
    frame = R.dataset_frame(R.row_layout(checked, session), tuple(str(s) for s in checked.ztype_names),
                            int(checked.new_adult_age))
    described = _Described(checked is not blueprint, session, frame,
                           json.dumps(R.describe_model(checked, params)))
    if state is not None:
        with _DESCRIBED_LOCK:
            _DESCRIBED[state] = described
            while len(_DESCRIBED) > _DESCRIBED_ENTRIES or \
                    sum(map(len, _DESCRIBED)) > _DESCRIBED_BYTES:
                _DESCRIBED.popitem(last=False)
    return described, checked, prog


def replicates(blueprint, params, n_ticks: int, seeds: Iterable[int] | int = 10, *, program=None,
               record_interval: int = 1, executor=None, workers: int | None = None,
               progress: bool = False, round_counts: bool = False):
    """Run one fresh session per seed (an int n means seeds 0..n-1) and stack the
    results along a ``replicate`` dimension.

    A replicate that a hook stopped early (for example ``stop_if_extinct``) keeps,
    for the ticks after its stop, the state it stopped in: a stopped session holds
    it unchanged. The variable ``stop_tick`` gives its final tick and ``stopped``
    whether it stopped. `executor` runs the replicates in parallel: "threads" or
    "processes" (``workers`` of them, by default one per core), or any object
    with a ``submit`` or ``map`` method (``concurrent.futures`` executors, a dask
    ``Client``...); None runs them one after the other in the calling thread.
    ``progress`` shows a tqdm progress bar. ``qorin.sweep`` runs replicates over
    parameter grids with seeds spawned from one root seed. The model is checked
    (and, with ``round_counts``, rounded) as by ``simulate``; a failing replicate
    raises ``qorin.sweeps.ReplicateError`` naming its seed, with the finished
    replicates in its ``partial``.
    """
    if isinstance(seeds, (int, np.integer)) and not isinstance(seeds, (bool, np.bool_)):
        seeds = list(range(_count(seeds, "seeds")))
    elif isinstance(seeds, (str, bytes)) or not isinstance(seeds, Iterable):
        raise TypeError(f"seeds must be a count or a sequence of engine seeds, got {seeds!r}")
    else:
        seeds = [engine_seed(s, "seeds") for s in seeds]
    if not seeds:
        raise ValueError("seeds must name at least one replicate")
    n_ticks, record_interval = _run_args(n_ticks, record_interval)
    model = _as_model((blueprint, params, _program(program)), "model", round_counts=round_counts)
    _check_size(model, 1, len(seeds), n_ticks, record_interval, True, False, "replicates")
    return _replicate_runs([model], _grid(None), np.array(seeds, dtype=np.uint64), n_ticks,
                           record_interval=record_interval, executor=executor, workers=workers,
                           progress=progress, sperm=True, attrs={}, desc="replicates")


# ------------------------------------------------------------------ a run with progress
def run(session, n_ticks: int, record_interval: int = 1, *, progress=True, chunk: int | None = None,
        observation_mask=None, cancel=None):
    """``session.run(n_ticks, record_interval, observation_mask)`` with a
    progress bar in ticks per second when `progress` is true (a string is its
    label): one call to the engine's run loop, which reports the tick reached
    about every 50 ms.

    The result is exactly that of the plain call: (final_tick, rows,
    was_stopped). `cancel` (a ``threading.Event``), once set, ends the run at
    the next report with ``Cancelled``; the session keeps the tick it reached
    (a boundary: it can run on). A session class whose ``run`` takes no
    ``progress`` keyword (one written for older versions) is run in chunks of
    `chunk` ticks instead, with the same result; for the engine's sessions
    `chunk` is only checked."""
    n = max(int(n_ticks), 0)
    interval = int(record_interval)
    if chunk is not None:
        _count(chunk, "chunk")
    if not _takes_progress(session):
        return _run_in_chunks(session, n, interval, progress=progress, chunk=chunk,
                              observation_mask=observation_mask, cancel=cancel)
    bar = _progress_bar(bool(progress), n, "tick", progress if isinstance(progress, str) else None)
    reached = [session.current_tick()]

    def report(tick: int) -> None:
        if cancel is not None and cancel.is_set():
            raise Cancelled(f"run cancelled at tick {tick}")
        if bar is not None and tick > reached[0]:
            bar.update(tick - reached[0])
            reached[0] = tick

    try:
        if cancel is not None and cancel.is_set():
            raise Cancelled(f"run cancelled at tick {session.current_tick()}")
        hook = report if bar is not None or cancel is not None else None
        final_tick, rows, stopped = session.run(n, interval, observation_mask, progress=hook)
        if bar is not None and final_tick > reached[0]:
            bar.update(final_tick - reached[0])
    finally:
        if bar is not None:
            bar.close()
    return final_tick, rows, stopped


def _takes_progress(session) -> bool:
    """Whether ``session.run`` takes the ``progress`` keyword (the engine's
    sessions and the package's wrappers do)."""
    import inspect

    try:
        params = inspect.signature(session.run).parameters
    except (TypeError, ValueError):
        return False
    return "progress" in params or any(p.kind is p.VAR_KEYWORD for p in params.values())


def _run_in_chunks(session, n_ticks: int, record_interval: int, *, progress, chunk: int | None,
                   observation_mask, cancel):
    """The run of a session class whose ``run`` takes no ``progress`` (a
    factory written for older versions): calls of `chunk` ticks (by default
    about a hundredth of the run), the progress bar and `cancel` looked at
    between two. A boundary that closes one chunk and opens the next is
    recorded once (a bound history takes the identical second recording as
    already there; private rows drop it), and a stop ends the loop where one
    call would."""
    n = max(int(n_ticks), 0)
    interval = int(record_interval)
    if chunk is None:
        chunk = max(1, math.ceil(n / 100))
    chunk = _count(chunk, "chunk")
    bar = _progress_bar(bool(progress), n, "tick", progress if isinstance(progress, str) else None)
    parts, done, stopped, final_tick, last = [], 0, False, None, None
    try:
        while True:
            if cancel is not None and cancel.is_set():
                raise Cancelled(f"run cancelled at tick {session.current_tick()}")
            step = min(chunk, n - done)
            start = session.current_tick()
            final_tick, rows, stopped = session.run(step, interval, observation_mask)
            if rows.ndim == 2 and rows.shape[0]:
                if last is not None and rows[0, 0] == last:
                    rows = rows[1:]  # the boundary the previous chunk recorded last
                if rows.shape[0]:
                    last = rows[-1, 0]
            parts.append(rows)
            done += step
            if bar is not None:
                bar.update(max(0, final_tick - start))
            if stopped or done >= n:
                break
    finally:
        if bar is not None:
            bar.close()
    filled = [p for p in parts if p.ndim == 2 and p.shape[1] > 0]
    rows = np.concatenate(filled, axis=0) if filled else parts[0]
    return final_tick, rows, stopped


