"""Every public entry point called with arbitrary arguments: arrays of any dtype,
shape, layout and byte order with NaN, infinities and huge values, hostile
objects (a __float__ / __index__ that raises, or that empties the list holding
it), array subclasses and malformed hook programs. A call either succeeds or
raises one of its documented exception types, and a validated write that fails
leaves the session's snapshot exactly as it was.

Example counts come from the hypothesis profile (tests/conftest.py): a quick
`dev` profile by default, a thorough `ci` one with HYPOTHESIS_PROFILE=ci.
"""

import math
import operator

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from qorin import _engine_rs, genetics
from qorin import hooks as H
from qorin.contracts import Blueprint, Params

SETTINGS = settings(deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                          HealthCheck.data_too_large])


class Boom(Exception):
    """Raised by hostile conversions; a conversion error keeps its own type."""


class Raising:
    def __float__(self):
        raise Boom("__float__")

    def __index__(self):
        raise Boom("__index__")

    def __repr__(self):
        return "Raising()"


class Clearing:
    """Empties the list it sits in when converted."""

    def __init__(self):
        self.home = None

    def __float__(self):
        if self.home is not None:
            self.home.clear()
        return 0.5

    def __index__(self):
        if self.home is not None:
            self.home.clear()
        return 1

    def __repr__(self):
        return "Clearing()"


class Sub(np.ndarray):
    """A plain array subclass."""


# A call may fail with these, whatever its arguments.
ARGUMENT_ERRORS = (TypeError, ValueError, KeyError, OverflowError, MemoryError, Boom)

# ---------------------------------------------------------------- strategies

_numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2 ** 70), 2 ** 70),
    st.sampled_from([0, 1, -1, 2 ** 63 - 1, 2 ** 63, 2 ** 64, -(2 ** 63) - 1, 1e308, -0.0, 5e-324]),
    st.booleans(),
    st.sampled_from([np.float64(0.5), np.float32(2.5), np.int32(3), np.int64(-4), np.bool_(True),
                     np.uint64(2 ** 64 - 1), np.array(1.5), np.array([2.0])]),
)
_odd = st.one_of(st.none(), st.text(max_size=3), st.builds(Raising), st.builds(Clearing),
                 st.just(object()), st.just([1.0]), st.just({}))
# One scalar argument: mostly numbers, sometimes anything.
scalars = st.one_of(_numbers, _numbers, _odd)

DTYPES = [np.float64, np.float32, np.float16, np.int64, np.int32, np.uint64, np.uint8, np.bool_,
          np.complex128, np.dtype(">f8"), np.dtype(">i8"), np.dtype("<f8")]


def _relayout(arr, how):
    if how == "fortran":
        return np.asfortranarray(arr)
    if how == "strided" and arr.ndim > 0:
        wide = np.zeros(arr.shape[:-1] + (2 * arr.shape[-1],), arr.dtype)
        wide[..., ::2] = arr
        return wide[..., ::2]
    if how == "unaligned" and arr.dtype.itemsize > 1:
        buf = np.zeros(arr.nbytes + 1, np.uint8)
        out = buf[1:].view(arr.dtype).reshape(arr.shape)
        out[...] = arr
        return out
    if how == "readonly":
        arr = arr.copy()
        arr.flags.writeable = False
        return arr
    if how == "subclass":
        return arr.view(Sub)
    if how == "transposed":
        return arr.T
    return arr


@st.composite
def arrays(draw, dtypes=DTYPES, min_dims=0, max_dims=3, max_side=4, shape=None):
    """An array of any listed dtype and layout, values including NaN, inf and huge."""
    dtype = np.dtype(draw(st.sampled_from(dtypes)))
    if shape is None:
        shape = draw(hnp.array_shapes(min_dims=min_dims, max_dims=max_dims, min_side=0, max_side=max_side))
    arr = draw(hnp.arrays(dtype, shape))
    how = draw(st.sampled_from(["c", "c", "fortran", "strided", "unaligned", "readonly", "subclass",
                                "transposed"]))
    return _relayout(arr, how)


float_arrays = arrays(dtypes=[np.float64, np.float64, np.dtype(">f8"), np.float32])


@st.composite
def sequences(draw, max_size=8):
    """A list of scalars (with its Clearing elements pointed at it), a tuple or an array."""
    kind = draw(st.sampled_from(["list", "list", "tuple", "array", "other"]))
    if kind == "array":
        return draw(arrays(max_dims=2, max_side=max_size))
    if kind == "other":
        return draw(_odd)
    items = draw(st.lists(scalars, max_size=max_size))
    if kind == "tuple":
        return tuple(items)
    for x in items:
        if isinstance(x, Clearing):
            x.home = items
    return items


def fitting_sequences(n):
    """Sequences that often have exactly n numeric values."""
    good = st.lists(st.floats(0, 10), min_size=n, max_size=n)
    bad = st.lists(st.one_of(st.floats(0, 10), st.floats(allow_nan=True), scalars), min_size=n, max_size=n)
    return st.one_of(good, bad.map(_point_home), sequences())


def _point_home(items):
    for x in items:
        if isinstance(x, Clearing):
            x.home = items
    return items


# Values of well-formed arguments: mostly ordinary, sometimes NaN, infinite,
# negative or huge.
values = st.one_of(st.floats(0, 100), st.floats(0, 100), st.floats(0, 1),
                   st.sampled_from([math.nan, math.inf, -math.inf, -1.0, -0.0, 0.0, 1e308, 5e-324]))


clean = st.floats(0, 100)


@st.composite
def float64_arrays(draw, shape):
    """A float64 array of exactly this shape, in any layout; its values are
    all ordinary half the time."""
    arr = draw(hnp.arrays(np.float64, shape, elements=draw(st.sampled_from([clean, values]))))
    return _relayout(arr, draw(st.sampled_from(["c", "c", "c", "fortran", "strided", "unaligned",
                                                 "readonly", "subclass"])))


wild = st.one_of(scalars, arrays(max_dims=3), sequences())


def value_lists(n):
    """Lists of n numbers, all ordinary half the time."""
    hostile = st.one_of(values, values, values, values, st.builds(Clearing), st.builds(Raising))
    return st.one_of(st.lists(clean, min_size=n, max_size=n), st.lists(values, min_size=n, max_size=n),
                     st.lists(hostile, min_size=n, max_size=n).map(_point_home))


@st.composite
def mutated(draw, base):
    """The arguments drawn from `base` with up to two of them replaced by anything."""
    args = list(draw(base))
    for _ in range(draw(st.integers(0, 2))):
        args[draw(st.integers(0, len(args) - 1))] = draw(wild)
    return args


# ---------------------------------------------------------------- helpers

LOCUS = genetics.autosomal_locus(2)
A, Z = 3, LOCUS.n_ztypes


def make_session(**params):
    bp = Blueprint(n_ages=A, new_adult_age=1, locus=LOCUS, stochastic=True)
    bp.initial_individual_count[:, 1:, :] = 10.0
    p = Params(bp, LOCUS, **params)
    s = _engine_rs.EngineSession(bp, p, seed=7)
    s.set_custom_slots({"flag": True, "n": 3, "w": np.arange(4.0).reshape(2, 2)})
    s.tick(0)
    return s, bp, p


def _few_ticks(value, most=50) -> bool:
    """Whether the tick count the engine would read from `value` (through the
    integer protocol, else ``item()``, as its converter does) is small, or
    none at all: a run of 10**12 cheap ticks would pass every check and then
    tick for hours."""
    for read in (lambda v: v, lambda v: v.item()):
        try:
            return operator.index(read(value)) <= most
        except Exception:
            continue
    return True


def snapshot(s):
    tick, ind, sperm, words, eco = s.snapshot_state()
    return (tick, ind, sperm, words, eco, s.execution_state(), s.get_custom_slots())


def same(a, b):
    """Deep equality; arrays bit for bit (NaN equal to NaN)."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.shape == b.shape
                and a.dtype == b.dtype and a.tobytes() == b.tobytes())
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return type(a) is type(b) and a == b


def call(fn, *args, allowed=ARGUMENT_ERRORS):
    """Calls fn; returns (True, result) or (False, exception) for an allowed error."""
    try:
        result = fn(*args)
    except allowed as e:
        event(f"{getattr(fn, '__name__', fn)}: {type(e).__name__}")  # --hypothesis-show-statistics
        return False, e
    event(f"{getattr(fn, '__name__', fn)}: ok")
    return True, result


def validated_write(s, method, *args):
    """A validated write: success, or an allowed failure that changes nothing."""
    before = snapshot(s)
    ok, _ = call(getattr(s, method), *args)
    if not ok:
        assert same(snapshot(s), before), f"{method} failed but changed the session"
    return ok


# ---------------------------------------------------------------- module functions

@st.composite
def offspring_args(draw):
    z, g = draw(st.integers(0, 4)), draw(st.integers(0, 3))
    return draw(float64_arrays((2, z, g))), draw(float64_arrays((g, g, z)))


@SETTINGS
@given(mutated(offspring_args()))
def test_compute_offspring_tensor(args):
    ok, out = call(_engine_rs.compute_offspring_tensor, *args)
    if ok:
        assert out.dtype == np.float64 and out.ndim == 1 and out.flags.owndata
        assert out.size == np.shape(args[0])[1] ** 3


@st.composite
def projection_args(draw):
    d, s, a, z, t = (draw(st.integers(0, 3)) for _ in range(5))
    ind = draw(float64_arrays((d * s * a * z,)))
    mask = draw(float64_arrays((t * s * a * z,)))
    selected = draw(st.lists(st.integers(0, max(d - 1, 0)), min_size=draw(st.integers(0, 1)), max_size=4))
    return ind, mask, [d, s, a, z], selected, draw(st.booleans()), draw(st.booleans())


@SETTINGS
@given(mutated(projection_args()))
def test_project_observation(args):
    ok, out = call(_engine_rs.project_observation, *args)
    if ok:
        assert out.dtype == np.float64 and out.ndim == 1 and out.flags.owndata


@st.composite
def equilibrium_args(draw):
    n = draw(st.integers(0, 4))
    args = [draw(values), draw(values), draw(values), draw(float64_arrays((2, n))),
            draw(float64_arrays((n,))), draw(float64_arrays((n,))), draw(float64_arrays((n,))),
            draw(st.integers(-1, n + 1)), n, draw(st.booleans()), draw(st.booleans())]
    if draw(st.booleans()):
        args.append(draw(st.one_of(st.none(), float64_arrays((2, n)))))
        if draw(st.booleans()):
            args.append(draw(st.one_of(st.none(), values)))
    return args


@SETTINGS
@given(mutated(equilibrium_args()))
def test_equilibrium_metrics_flat(args):
    ok, out = call(_engine_rs.equilibrium_metrics_flat, *args)
    if ok:
        assert isinstance(out, tuple) and len(out) == 2


CONTRACT_FIELDS = {
    "blueprint": ["n_ages", "n_ztypes", "n_gtypes", "new_adult_age", "n_demes", "adult_ages",
                  "stochastic", "extreme_speed_mode", "ztype_names", "initial_individual_count",
                  "initial_sperm_storage", "migration_indptr", "female_only_by_sex_chrom", "sampling"],
    "params": ["carrying_capacity", "sex_ratio", "growth_mode", "low_density_growth_rate",
               "external_expected_eggs", "survival_rates", "fertility", "equilibrium_distribution",
               "migration_rate", "custom_slots", "viability_fitness", "offspring_tensor", "meiosis_map"],
}


@SETTINGS
@given(st.sampled_from(["blueprint", "params"]), st.data())
def test_constructors_and_equilibrium_metrics_with_odd_contract_fields(which, data):
    bp = Blueprint(n_ages=A, new_adult_age=1, locus=LOCUS)
    bp.initial_individual_count[:, 1:, :] = 10.0
    p = Params(bp, LOCUS)
    target = bp if which == "blueprint" else p
    for _ in range(data.draw(st.integers(1, 2))):
        name = data.draw(st.sampled_from(CONTRACT_FIELDS[which]))
        current = getattr(target, name, None)
        if isinstance(current, np.ndarray) and data.draw(st.booleans()):
            # Same size, odd values, dtype or layout.
            value = data.draw(st.one_of(float64_arrays(current.shape), arrays(shape=current.shape)))
        elif data.draw(st.integers(0, 9)) == 0:
            if hasattr(target, name):
                delattr(target, name)
            continue
        else:
            value = data.draw(st.one_of(wild, st.dictionaries(st.text(max_size=2), scalars, max_size=3)))
        setattr(target, name, value)
    allowed = ARGUMENT_ERRORS + (AttributeError,)
    ok, s = call(_engine_rs.EngineSession, bp, p, allowed=allowed)
    if ok:
        # What was accepted can tick, or fails the tick as a kernel failure.
        call(s.tick, 0, allowed=allowed + (RuntimeError,))
        snapshot(s)
    call(_engine_rs.equilibrium_metrics, bp, p, allowed=allowed)


# ---------------------------------------------------------------- session writes

@SETTINGS
@given(mutated(st.tuples(value_lists(2 * A * Z), st.one_of(float64_arrays((A * Z * Z,)), value_lists(A * Z * Z)),
                         st.integers(-2, 2 ** 63))))
def test_set_state(args):
    s, _, _ = make_session()
    validated_write(s, "set_state", *args)


TENSOR_LENGTHS = {"survival_rates": 2 * A, "mating_rates": 2 * A, "fertility": A, "competition_weights": A,
                  "equilibrium_distribution": 2 * A, "migration_rate": 2 * A,
                  "viability_fitness": 2 * A * Z, "meiosis_map": 2 * Z * LOCUS.n_gtypes,
                  "offspring_tensor": Z ** 3, "sex_ratio": 1, "nope": 2}


@st.composite
def tensor_write_args(draw):
    name = draw(st.sampled_from(sorted(TENSOR_LENGTHS)))
    n = TENSOR_LENGTHS[name] + draw(st.sampled_from([0, 0, 0, -1, 1]))
    n = max(n, 0) if draw(st.integers(0, 5)) else 0
    return name, draw(st.one_of(float64_arrays((n,)), value_lists(n)))


@SETTINGS
@given(mutated(tensor_write_args()))
def test_tensor_write(args):
    s, _, _ = make_session()
    validated_write(s, "tensor_write", *args)


SCALAR_NAMES = ["carrying_capacity", "eggs_per_female", "sex_ratio", "sperm_displacement_rate",
                "low_density_growth_rate", "growth_mode", "external_expected_eggs"]


@SETTINGS
@given(st.one_of(st.dictionaries(st.sampled_from(SCALAR_NAMES + ["fertility", "unknown"]),
                                 st.one_of(values, st.floats(-2, 5)), max_size=4),
                 st.dictionaries(st.one_of(st.sampled_from(SCALAR_NAMES), st.text(max_size=3), st.integers()),
                                 scalars, max_size=3),
                 _odd))
def test_apply(writes):
    s, _, _ = make_session()
    validated_write(s, "apply", writes)


@SETTINGS
@given(st.one_of(st.dictionaries(st.text(max_size=4), st.one_of(scalars, float64_arrays(st.just((2, 3))),
                                                              arrays(max_dims=3)), max_size=5),
                 st.dictionaries(st.one_of(st.integers(), st.none()), scalars, max_size=2), _odd))
def test_set_custom_slots(values_):
    s, _, _ = make_session()
    if validated_write(s, "set_custom_slots", values_):
        assert list(s.get_custom_slots()) == list(values_)


@SETTINGS
@given(st.data())
def test_restore_state(data):
    s, _, _ = make_session()
    parts = list(s.snapshot_state())
    for _ in range(data.draw(st.integers(0, 3))):
        k = data.draw(st.integers(0, 4))
        if k == 0:
            parts[0] = data.draw(st.one_of(st.integers(-2, 2 ** 63), scalars))
        elif k in (1, 2):
            n = parts[k].size if isinstance(parts[k], np.ndarray) else 3
            parts[k] = data.draw(st.one_of(float64_arrays((n,)), float64_arrays((n + 1,)), wild))
        elif k == 3:
            parts[3] = data.draw(st.one_of(st.lists(st.integers(0, 2 ** 64 - 1), min_size=4, max_size=4),
                                           st.lists(scalars, max_size=5).map(_point_home), wild))
        elif isinstance(parts[4], dict):
            eco = dict(parts[4])
            key = data.draw(st.sampled_from(list(eco) + ["extra"]))
            if data.draw(st.integers(0, 4)) == 0:
                eco.pop(key, None)
            elif isinstance(eco.get(key), np.ndarray):
                eco[key] = data.draw(st.one_of(float64_arrays(eco[key].shape), wild))
            else:
                eco[key] = data.draw(st.one_of(values, wild,
                                               st.dictionaries(st.text(max_size=2), scalars, max_size=2)))
            parts[4] = eco if data.draw(st.integers(0, 9)) else data.draw(_odd)
    validated_write(s, "restore_state", *parts)


@SETTINGS
@given(st.one_of(st.lists(st.sampled_from(["sex_ratio", "survival_rates", "custom_slots", "offspring_tensor",
                                            "nope", "growth_mode"]), max_size=3), sequences()),
       st.sampled_from(["carrying_capacity", "survival_rates", "custom_slots", "offspring_tensor",
                        "growth_mode"]),
       st.one_of(values, float64_arrays(st.sampled_from([(2, A), (2 * A,), (Z ** 3,), (4,)])), wild,
                 st.dictionaries(st.text(max_size=2), scalars, max_size=2)))
def test_refresh_params(fields, name, value):
    s, bp, _ = make_session()
    source = Params(bp, LOCUS)
    setattr(source, name, value)
    before = snapshot(s)
    ok, _ = call(s.refresh_params, fields, source, allowed=ARGUMENT_ERRORS + (AttributeError,))
    if not ok:
        assert same(snapshot(s), before)


@SETTINGS
@given(mutated(st.tuples(st.booleans(), st.booleans(), st.booleans(), st.integers(-1, 4))),
       st.one_of(st.integers(0, 2 ** 64 - 1), scalars))
def test_execution_flags_and_reseed(flags, seed):
    s, _, _ = make_session()
    validated_write(s, "set_execution_flags", *flags)
    before = snapshot(s)
    ok, _ = call(s.reseed, seed)
    if not ok:
        assert same(snapshot(s), before)


# ---------------------------------------------------------------- hook programs

def _program():
    b = H.HookProgramBuilder(n_ages=A, n_ztypes=Z)
    b.add_hook("early", [H.kill(0.5, sex="female", ages=[1], ztypes=[0, 1], when=H.every(2))])
    b.add_hook("late", [H.set_param("sex_ratio", H.param("sex_ratio") * 0.5, every=3, start=1)])
    return b.build()


_COLUMNS = H.HookProgram.column_names() + ("n_hooks", "n_events", "has_set_param")
_ints = st.one_of(st.integers(-3, 12), st.sampled_from([-(2 ** 63), 2 ** 63 - 1, 2 ** 40]))


@SETTINGS
@given(st.lists(st.one_of(
    # one entry of an integer column changed, dtype kept
    st.tuples(st.just("poke"), st.sampled_from(H.HookProgram.INT_COLUMNS), st.integers(0, 20), _ints),
    # a column or count replaced by anything, or deleted
    st.tuples(st.just("set"), st.sampled_from(_COLUMNS),
              st.one_of(arrays(max_dims=2, max_side=6), scalars, st.just("delete")))),
    min_size=1, max_size=4))
def test_malformed_hook_programs(changes):
    s, _, _ = make_session()
    prog = _program()
    for change in changes:
        if change[0] == "poke":
            _, name, i, v = change
            col = getattr(prog, name, None)
            if isinstance(col, np.ndarray) and col.ndim == 1 and col.dtype == np.int64 and col.size:
                col = col.copy()
                col[i % col.size] = v
                setattr(prog, name, col)
            continue
        _, name, value = change
        if isinstance(value, str) and value == "delete":
            if hasattr(prog, name):
                delattr(prog, name)
        else:
            setattr(prog, name, value)
    before = snapshot(s)
    ok, _ = call(s.set_hook_program, prog, allowed=ARGUMENT_ERRORS + (AttributeError,))
    if not ok:
        assert same(snapshot(s), before)
        return
    # An accepted program runs, or fails its tick as a hook failure.
    for _ in range(3):
        if not call(s.tick, 0, allowed=ARGUMENT_ERRORS + (RuntimeError,))[0]:
            break


# ---------------------------------------------------------------- runs and observation

@SETTINGS
@given(mutated(st.tuples(st.integers(-2, 4), st.integers(-1, 3),
                         st.one_of(st.none(), float64_arrays(st.sampled_from([(1, 2, A, Z), (2, 2, A, Z),
                                                                             (0, 2, A, Z), (1, 2, A, Z + 1)]))),
                         st.integers(-1, 3))))
def test_run(args):
    assume(_few_ticks(args[0]))
    s, _, _ = make_session()
    ok, out = call(s.run, *args, allowed=ARGUMENT_ERRORS + (RuntimeError,))
    if ok:
        tick, rows, stopped = out
        assert rows.ndim == 2 and rows.flags.owndata


@SETTINGS
@given(mutated(st.tuples(float64_arrays(st.sampled_from([(2 * A * Z,), (4 * A * Z,), (0,), (5,)])),
                         st.lists(st.integers(0, 1), max_size=3), st.booleans(), st.booleans())))
def test_observe_current(args):
    s, _, _ = make_session()
    ok, out = call(s.observe_current, *args)
    if ok:
        assert out[1].flags.owndata


# ---------------------------------------------------------------- history store and parameter log

@SETTINGS
@given(mutated(st.tuples(st.integers(0, 8), st.lists(st.integers(0, 3), min_size=3, max_size=5),
                         st.booleans(), st.one_of(st.none(), st.integers(0, 3)))))
def test_history_store_constructor(args):
    ok, store = call(_engine_rs.HistoryStore, *args)
    if ok:
        assert store.ticks() == []


def _store():
    store = _engine_rs.HistoryStore(4, [1, 1, 1, 3], True, max_rows=5)
    store.append(np.array([[0.0, 1, 2, 3], [2.0, 4, 5, 6]]))
    return store


def _store_state(store):
    return store.ticks(), store.query(), store.boundaries(), store.max_rows


@st.composite
def store_calls(draw):
    method = draw(st.sampled_from(["append", "row", "query", "truncate", "restore_timeline",
                                   "configure_observation", "max_rows", "observe"]))
    ticks = st.one_of(st.integers(-1, 6), st.sampled_from([2 ** 63 - 1, -(2 ** 63)]))
    if method == "append":
        n = draw(st.integers(0, 4))
        rows = draw(float64_arrays(st.sampled_from([(n, 4), (n, 3), (n, 4, 1), (n,)])))
        if rows.ndim == 2 and rows.shape[1] == 4 and draw(st.booleans()):
            rows = np.array(rows)  # writable copy with ordered ticks
            rows[:, 0] = np.arange(n) + draw(st.integers(0, 4))
        args = [rows, draw(st.booleans())]
    elif method in ("row", "truncate", "restore_timeline"):
        args = [draw(ticks)]
    elif method == "query":
        args = [draw(st.integers(0, 5)), draw(st.one_of(st.none(), st.integers(0, 5)))]
    elif method == "configure_observation":
        args = [draw(float64_arrays(st.sampled_from([(3,), (6,), (4,), (0,)]))),
                draw(st.lists(st.integers(0, 1), max_size=3)), draw(st.booleans()), draw(st.booleans())]
    elif method == "max_rows":
        args = [draw(st.one_of(st.none(), st.integers(0, 6)))]
    else:
        width = draw(st.integers(0, 8))
        target = _engine_rs.HistoryStore(width, [1, 1, 1, 3], False) if width else _store()
        args = [target]
    for _ in range(draw(st.integers(0, 1))):
        args[draw(st.integers(0, len(args) - 1))] = draw(wild)
    return method, args


@SETTINGS
@given(store_calls())
def test_history_store_methods(method_args):
    method, args = method_args
    store = _store()
    before = _store_state(store)
    if method == "max_rows":
        try:
            store.max_rows = args[0]
            event("max_rows: ok")
        except ARGUMENT_ERRORS as e:
            event(f"max_rows: {type(e).__name__}")
            assert same(_store_state(store), before)
        return
    ok, _ = call(getattr(store, method), *args)
    if not ok and method in ("append", "configure_observation", "truncate", "restore_timeline"):
        assert same(_store_state(store), before)


@st.composite
def log_calls(draw):
    method = draw(st.sampled_from(["append", "append_detail", "append_value", "rollback"]))
    row = draw(st.one_of(st.tuples(st.integers(-5, 5), st.text(max_size=3), values, values),
                         st.lists(st.one_of(values, scalars), min_size=4, max_size=4).map(_point_home)))
    audit = st.one_of(st.none(), st.booleans(), st.integers(-(2 ** 70), 2 ** 70), values,
                      float64_arrays(st.sampled_from([(), (2,), (2, 2)])))
    if method == "append":
        args = [row]
    elif method == "append_detail":
        args = [row, draw(st.text(max_size=3)), draw(st.integers(-1, 3))]
    elif method == "append_value":
        args = [draw(st.integers(-5, 5)), draw(st.text(max_size=3)), draw(audit), draw(audit),
                draw(st.text(max_size=3)), draw(st.integers(-1, 3))]
    else:
        args = [draw(st.integers(-1, 3))]
    for _ in range(draw(st.integers(0, 1))):
        args[draw(st.integers(0, len(args) - 1))] = draw(wild)
    return method, args


@SETTINGS
@given(log_calls())
def test_parameter_log_methods(method_args):
    method, args = method_args
    log = _engine_rs.ParameterLog()
    log.append((1, "sex_ratio", 0.5, 0.25))
    before = log.details()
    ok, _ = call(getattr(log, method), *args)
    if not ok:
        assert same(log.details(), before)
    log.snapshot()


# ---------------------------------------------------------------- discrete session, migration, callbacks

def make_discrete():
    bp = Blueprint(n_ages=2, new_adult_age=1, locus=LOCUS, stochastic=True, discrete_generation=True,
                   extreme_speed_mode=1)
    bp.initial_individual_count[:, 1, :] = 10.0
    s = _engine_rs.DiscreteEngineSession(bp, Params(bp, LOCUS), seed=3)
    s.tick(False)
    return s


def discrete_snapshot(s):
    tick, ind, words, eco = s.snapshot_state()
    return (tick, ind, words, eco, s.execution_state())


@SETTINGS
@given(mutated(st.tuples(value_lists(4 * Z), st.integers(-2, 2 ** 63))), st.data())
def test_discrete_set_state_restore_and_run(args, data):
    s = make_discrete()
    before = discrete_snapshot(s)
    if not call(s.set_state, *args)[0]:
        assert same(discrete_snapshot(s), before)
    snap = list(s.snapshot_state())
    for _ in range(data.draw(st.integers(0, 2))):
        snap[data.draw(st.integers(0, 3))] = data.draw(wild)
    before = discrete_snapshot(s)
    if not call(s.restore_state, *snap)[0]:
        assert same(discrete_snapshot(s), before)
    run_args = data.draw(mutated(st.tuples(st.integers(-2, 5), st.integers(-1, 3), st.booleans())))
    assume(_few_ticks(run_args[0]))
    ok, out = call(s.run, *run_args, allowed=ARGUMENT_ERRORS + (RuntimeError,))
    if ok:
        assert out[1].ndim == 2 and out[1].flags.owndata


@st.composite
def migration_args(draw):
    d, a, z = draw(st.integers(0, 3)), draw(st.integers(0, 2)), draw(st.integers(0, 2))
    ind = draw(float64_arrays(st.sampled_from([(d, 2, a, z), (d, 3, a, z), (d, 2, a)])))
    sperm = draw(float64_arrays(st.sampled_from([(d, a, z, z), (d, a, z)])))
    n_edges = draw(st.integers(0, 4))
    indptr = draw(st.one_of(arrays(dtypes=[np.int64, np.int32], min_dims=1, max_dims=1, max_side=5),
                            st.just(np.linspace(0, n_edges, d + 1).astype(np.int64))))
    dest = draw(arrays(dtypes=[np.int64, np.int32, np.float64], min_dims=1, max_dims=1, max_side=5))
    weights = draw(float64_arrays((n_edges,)))
    rate = draw(float64_arrays((d * 2 * a,)))
    return ind, sperm, indptr, dest, weights, rate


@SETTINGS
@given(mutated(migration_args()), st.booleans(), st.integers(0, 2 ** 64 - 1))
def test_migration_functions(args, flag, seed):
    for fn, extra in ((_engine_rs.migrate_csr_deterministic, (flag,)),
                      (_engine_rs.migrate_csr_stochastic, (seed, flag))):
        kept = [np.array(a, copy=True) if isinstance(a, np.ndarray) else a for a in args]
        ok, out = call(fn, *args, *extra, allowed=ARGUMENT_ERRORS + (RuntimeError,))
        if ok:
            ind, sperm = out
            assert ind.flags.owndata and sperm.flags.owndata
            assert (ind >= 0).all() and (sperm >= 0).all()
        for a, b in zip(args, kept):  # inputs are never written
            if isinstance(a, np.ndarray) and a.dtype.kind != "O":
                assert a.tobytes() == b.tobytes()


@SETTINGS
@given(st.lists(st.one_of(wild, st.lists(wild, max_size=2)), min_size=3, max_size=4))
def test_set_python_callbacks_with_anything(lists):
    s, _, _ = make_session()
    before = snapshot(s)
    if not call(s.set_python_callbacks, *lists)[0]:
        assert same(snapshot(s), before)


_TXN_CALLS = st.sampled_from(["apply", "tensor_write", "set_custom_slots", "sample", "get_scalar", "get_tensor",
                              "refresh_params"])


@SETTINGS
@given(st.lists(st.tuples(_TXN_CALLS, st.lists(wild, min_size=1, max_size=3)), min_size=1, max_size=3),
       st.booleans())
def test_transaction_methods_with_anything(calls, fail):
    """Whatever a transaction callback does with odd arguments, a failing callback changes nothing."""
    s, _, _ = make_session()

    def cb(a, b, tick, deme, txn):
        for name, args in calls:
            try:
                getattr(txn, name)(*args)
            except ARGUMENT_ERRORS + (RuntimeError, AttributeError):
                pass
        if fail:
            raise Boom("after the calls")
        return 0

    cb.__qorin_transaction__ = True
    s.set_python_callbacks([cb], [], [])
    before = snapshot(s)
    ok, _ = call(s.trigger_event, 0, allowed=ARGUMENT_ERRORS + (RuntimeError,))
    if fail:
        assert not ok and same(snapshot(s)[:5], before[:5])


# ---------------------------------------------------------------- spatial session

def _spatial_parts():
    n = 2
    bp = Blueprint(n_ages=A, new_adult_age=1, locus=LOCUS, n_demes=n, stochastic=True,
                   migration_indptr=np.array([0, 1, 2]), migration_dest_idx=np.array([1, 0]),
                   migration_weights=np.ones(2))
    p = Params(bp, LOCUS)
    cols = {"carrying_capacity": np.full(n, 100.0), "eggs_per_female": np.full(n, 10.0),
            "low_density_growth_rate": np.full(n, 2.0), "growth_mode": np.full(n, 3, dtype=np.int64),
            "survival_rates": np.ones(2 * n * A) * 0.9, "mating_rates": np.ones(2 * n * A),
            "reproduction_rates": np.tile(np.asarray(p.reproduction_rates, dtype=float), n),
            "fertility": np.ones(n * A), "competition_weights": np.ones(n * A),
            "migration_rate": np.full(2 * n * A, 0.1)}
    gen = {name: np.asarray(getattr(p, name), dtype=np.float64).ravel().copy()
           for name in ["viability_fitness", "fecundity_fitness", "sexual_selection_fitness",
                        "zygote_viability_fitness", "offspring_tensor", "meiosis_map",
                        "female_ztype_compatibility", "male_ztype_compatibility"]}
    ind = np.zeros((n, 2, A, Z))
    ind[:, :, 1:, :] = 10.0
    return [bp, cols, [gen], np.zeros(n, dtype=np.int64), ind, np.zeros((n, A, Z, Z)), 0]


def make_spatial():
    s = _engine_rs.HeterogeneousSpatialEngineSession(*_spatial_parts(), seed=3)
    s.set_deme_custom_slots(0, {"flag": True})
    s.run_tick()
    return s


def spatial_snapshot(s):
    return (s.state_snapshot(), s.ecology_columns_snapshot(), s.n_variants(), s.execution_state(),
            s.get_deme_custom_slots(0), [s.get_deme_tensor(d, "fecundity_fitness") for d in range(2)])


@SETTINGS
@given(st.data())
def test_spatial_constructor(data):
    args = data.draw(mutated(st.just(_spatial_parts())))
    kwargs = data.draw(st.fixed_dictionaries({}, optional={"model": scalars | st.sampled_from(
        ["age_structured", "discrete_generation", "x"]), "seed": scalars, "stay_after_send": scalars}))
    ok, s = call(lambda *a: _engine_rs.HeterogeneousSpatialEngineSession(*a, **kwargs), *args,
                 allowed=ARGUMENT_ERRORS + (AttributeError,))
    if ok:
        call(s.run_tick, allowed=ARGUMENT_ERRORS + (RuntimeError,))


SPATIAL_WRITES = {
    "set_state": lambda d: (d.draw(float64_arrays((2, 2, A, Z))), d.draw(float64_arrays((2, A, Z, Z))),
                            d.draw(st.integers(-2, 5))),
    "apply_deme": lambda d: (d.draw(st.integers(-1, 3)), d.draw(st.dictionaries(
        st.sampled_from(SCALAR_NAMES + ["unknown"]), st.one_of(values, st.floats(-2, 5)), max_size=3))),
    "tensor_write_deme": lambda d: (d.draw(st.integers(-1, 3)),) + d.draw(tensor_write_args()),
    "set_migration_rate": lambda d: (d.draw(float64_arrays((d.draw(st.sampled_from([12, 11, 0])),))),),
    "set_deme_custom_slots": lambda d: (d.draw(st.integers(-1, 3)),
                                        d.draw(st.dictionaries(st.text(max_size=3), scalars, max_size=3))),
    "fork_variant": lambda d: (d.draw(st.integers(-1, 3)),),
    "trigger_deme_event": lambda d: (d.draw(st.integers(-1, 3)), d.draw(st.integers(-1, 5))),
    "reseed": lambda d: (d.draw(scalars),),
    "restore_from_checkpoint": lambda d: (d.draw(scalars),),
    "truncate_checkpoints": lambda d: (d.draw(scalars),),
    "run_steps": lambda d: (d.draw(st.integers(-1, 2)), d.draw(st.integers(-1, 3))),
}
SPATIAL_READS = {
    "counts": lambda d: (d.draw(scalars),),
    "state_snapshot_deme": lambda d: (d.draw(scalars),),
    "get_deme_scalar": lambda d: (d.draw(st.integers(-1, 3)), d.draw(st.sampled_from(SCALAR_NAMES + ["x"]))),
    "get_deme_tensor": lambda d: (d.draw(st.integers(-1, 3)), d.draw(st.sampled_from(sorted(TENSOR_LENGTHS)))),
    "observe_current": lambda d: (d.draw(float64_arrays((d.draw(st.integers(0, 2)) * Z,))),
                                  d.draw(st.lists(st.integers(0, 3), max_size=3)), True, False),
}


@SETTINGS
@given(st.sampled_from(sorted(SPATIAL_WRITES)), st.data())
def test_spatial_writes(method, data):
    s = make_spatial()
    args = data.draw(mutated(st.just(SPATIAL_WRITES[method](data))))
    before = spatial_snapshot(s)
    ok, _ = call(getattr(s, method), *args, allowed=ARGUMENT_ERRORS + (RuntimeError,))
    if not ok and method not in ("trigger_deme_event", "run_steps"):
        assert same(spatial_snapshot(s), before), f"{method} failed but changed the session"


@SETTINGS
@given(st.sampled_from(sorted(SPATIAL_READS)), st.data())
def test_spatial_reads(method, data):
    s = make_spatial()
    args = data.draw(mutated(st.just(SPATIAL_READS[method](data))))
    call(getattr(s, method), *args)
