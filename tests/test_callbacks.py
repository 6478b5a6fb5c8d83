"""Python callbacks inside hook events: plain and transaction modes, commit
rules, failure atomicity, expiry, re-entrancy and garbage collection."""

import gc
import math
import sys
import weakref
from types import SimpleNamespace

import numpy as np
import pytest

from qorin import _engine_rs, genetics
from qorin.contracts import Blueprint, Params
from rng_model import PyRng

A, Z = 4, 3


def make_session(stochastic=True, seed=3):
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=A, new_adult_age=2, locus=locus, stochastic=stochastic)
    bp.initial_individual_count[:, 2:, :] = 40.0
    return _engine_rs.EngineSession(bp, Params(bp, locus, eggs_per_female=10.0, sex_ratio=0.5), seed=seed)


def transactional(fn):
    fn.__qorin_transaction__ = True
    return fn


def everything(s):
    """The whole observable runtime of a session, for before/after comparisons."""
    tick, ind, sperm, words, eco = s.snapshot_state()
    return (tick, ind.tolist(), sperm.tolist(), list(words), repr(eco), s.execution_state()[0])


# ---- plain mode ----

@pytest.mark.parametrize("code", [0, 1])
def test_plain_change_in_place_is_kept_and_nonzero_stops(code):
    s = make_session()
    seen = []

    def double(ind, sperm, tick, deme):
        seen.append((ind.shape, sperm.shape, tick, deme))
        ind[A * Z - 1] *= 2.0  # female, oldest age, last genotype
        return code

    s.set_python_callbacks([double], [], [])
    before = s.state_snapshot()[1][A * Z - 1]
    assert s.trigger_event(0) == code
    assert seen == [((2 * A * Z,), (A * Z * Z,), 0, 0)]
    assert s.state_snapshot()[1][A * Z - 1] == 2 * before
    assert s.execution_state()[0] == ("Stopped" if code else "Ready")


def _set_negative(ind, sperm, t, d):
    ind[0] = -1.0
    return 0


def _set_nan(ind, sperm, t, d):
    sperm[0] = float("nan")
    return 0


def _resize(ind, sperm, t, d):
    ind.resize(3, refcheck=False)
    return 0


def _retype(ind, sperm, t, d):
    ind.dtype = np.int64
    return 0


@pytest.mark.parametrize("body", [_set_negative, _set_nan, _resize, _retype])
def test_plain_bad_state_is_refused_and_nothing_changes(body):
    s = make_session()
    s.set_python_callbacks([body], [], [])
    before = everything(s)
    with pytest.raises(ValueError, match="^Hook state must preserve shape and contain finite nonnegative counts$"):
        s.trigger_event(0)
    after = everything(s)
    assert after[:5] == before[:5]
    assert after[5] == "Failed"


@pytest.mark.parametrize("value, exc", [(None, TypeError), (2.0, TypeError), (2 ** 31, OverflowError),
                                        (-(2 ** 31) - 1, OverflowError), ("1", TypeError)])
def test_plain_return_value_must_be_a_32_bit_integer(value, exc):
    s = make_session()

    def ret(ind, sperm, t, d):
        ind[0] = 5.0
        return value

    s.set_python_callbacks([ret], [], [])
    before = everything(s)
    with pytest.raises(exc):
        s.trigger_event(0)
    assert everything(s)[:5] == before[:5]


def test_callback_exception_reaches_the_caller_unchanged():
    s = make_session()
    mine = LookupError("the callback's own")

    def boom(*args):
        raise mine

    s.set_python_callbacks([], [boom], [])
    with pytest.raises(LookupError) as info:
        s.run(3, 1)
    assert info.value is mine
    assert s.execution_state()[0] == "Failed"


# ---- transaction mode ----

def test_transaction_sample_advances_the_stream_by_exactly_that_draw():
    s = make_session()
    got = []

    @transactional
    def draw(a, b, tick, deme, txn):
        assert a is None and b is None
        got.append(txn.sample("normal", 0.0, 1.0))
        return 0

    s.set_python_callbacks([draw], [], [])
    words = s.snapshot_state()[3]
    s.trigger_event(0)
    model = PyRng(list(words))
    assert got == [model.normal()]
    assert list(s.snapshot_state()[3]) == list(model.s)


def test_failed_transaction_changes_nothing():
    s = make_session()

    @transactional
    def fail_late(a, b, tick, deme, txn):
        txn.sample("uniform", 0.0, 1.0)
        txn.apply({"sex_ratio": 0.2})
        txn.tensor_write("fertility", np.full(A, 0.5))
        txn.set_custom_slots({"x": 1.0})
        ind, sperm = txn.state_arrays()
        ind[:] = 7.0
        raise RuntimeError("changed my mind")

    s.set_python_callbacks([fail_late], [], [])
    before = everything(s)
    with pytest.raises(RuntimeError, match="changed my mind"):
        s.trigger_event(0)
    after = everything(s)
    assert after[:5] == before[:5]
    assert s.get_tensor("fertility").tolist() != [0.5] * A


def test_committed_scalar_is_staged_for_later_events_of_the_tick():
    s = make_session()
    seen = []

    @transactional
    def lower(a, b, tick, deme, txn):
        txn.apply({"sex_ratio": 0.3})
        return 0

    @transactional
    def look(a, b, tick, deme, txn):
        seen.append(txn.get_scalar("sex_ratio"))
        return 0

    s.set_python_callbacks([lower], [look], [look])
    assert s.tick(0) == 0
    assert seen == [0.3, 0.3]
    assert s.get_scalar("sex_ratio") == 0.3


def test_transaction_state_arrays_commit_and_validate():
    s = make_session()

    @transactional
    def release(a, b, tick, deme, txn):
        ind, sperm = txn.state_arrays()
        assert txn.state_arrays()[0] is ind
        ind[A * Z + 2 * Z + 2] += 100.0  # males of age 2, genotype 2
        txn.validate_state()
        return 0

    s.set_python_callbacks([release], [], [])
    before = s.state_snapshot()[1].copy()
    s.trigger_event(0)
    after = s.state_snapshot()[1]
    assert after[A * Z + 2 * Z + 2] == before[A * Z + 2 * Z + 2] + 100.0

    @transactional
    def poison(a, b, tick, deme, txn):
        txn.state_arrays()[1][0] = math.inf
        with pytest.raises(ValueError, match="Hook state must preserve shape"):
            txn.validate_state()
        return 0

    s.set_python_callbacks([poison], [], [])
    before = everything(s)
    with pytest.raises(ValueError, match="Hook state must preserve shape"):
        s.trigger_event(0)
    assert everything(s)[:5] == before[:5]


def test_transaction_genetics_write_reaches_the_session():
    s = make_session()
    new_fitness = np.array([[1.0, 0.5, 0.25], [1.0, 0.75, 0.5]])

    @transactional
    def select(a, b, tick, deme, txn):
        txn.tensor_write("zygote_viability_fitness", new_fitness.ravel())
        assert txn.get_tensor("zygote_viability_fitness").tolist() == new_fitness.ravel().tolist()
        return 0

    s.set_python_callbacks([select], [], [])
    s.tick(0)
    assert s.get_tensor("zygote_viability_fitness").tolist() == new_fitness.ravel().tolist()


@pytest.mark.parametrize("write, read, value", [
    (lambda txn: txn.set_custom_slots({"x": 1.5, "on": True}), lambda s: s.get_custom_slots(),
     {"x": 1.5, "on": True}),
    (lambda txn: txn.tensor_write("fertility", [0.0, 1.0, 0.5, 0.25]), lambda s: s.get_tensor("fertility").tolist(),
     [0.0, 1.0, 0.5, 0.25]),
    (lambda txn: txn.refresh_params(["eggs_per_female"], SimpleNamespace(eggs_per_female=3.0)),
     lambda s: s.get_scalar("eggs_per_female"), 3.0),
    (lambda txn: txn.apply({"external_expected_eggs": 4.0}), lambda s: s.get_scalar("external_expected_eggs"), 4.0),
], ids=["set_custom_slots", "tensor_write", "refresh_params", "apply"])
def test_every_transaction_write_alone_is_committed(write, read, value):
    s = make_session()
    seen = []

    @transactional
    def only(a, b, tick, deme, txn):
        write(txn)
        seen.append(txn.get_custom_slots())
        return 0

    s.set_python_callbacks([only], [], [])
    assert read(s) != value
    s.trigger_event(0)
    assert read(s) == value
    if isinstance(value, dict):
        assert seen == [value]  # the candidate reads back its own write


def test_transaction_expires_when_the_callback_returns():
    s = make_session()
    kept = []

    @transactional
    def keep(a, b, tick, deme, txn):
        kept.append(txn)
        return 0

    s.set_python_callbacks([keep], [], [])
    s.trigger_event(0)
    txn = kept[0]
    for call in (lambda: txn.apply({"sex_ratio": 0.1}), txn.ecology, txn.state_arrays, txn.get_custom_slots,
                 lambda: txn.sample("normal", 0, 1), lambda: txn.get_scalar("sex_ratio")):
        with pytest.raises(RuntimeError, match="^Hook context has expired$"):
            call()
    assert "HookTransaction" not in dir(_engine_rs)
    with pytest.raises(TypeError):
        type(txn)()


@pytest.mark.parametrize("kind, a, b, outcome", [
    ("integers", 0, 1, 0.0),
    ("normal", 2.5, 0.0, 2.5),
    ("binomial", 2.5, 0.5, "invalid distribution or sampling arguments"),
    ("binomial", 10, 1.5, "invalid distribution or sampling arguments"),
    ("integers", 3, 3, "invalid distribution or sampling arguments"),
    ("integers", 0, 2.0 ** 54, "invalid distribution or sampling arguments"),
    ("uniform", 1.0, 0.0, "invalid distribution or sampling arguments"),
    ("normal", 0.0, -1.0, "invalid distribution or sampling arguments"),
    ("gamma", 1.0, 1.0, "invalid distribution or sampling arguments"),
    ("uniform", float("nan"), 1.0, "sampling arguments must be finite"),
    ("normal", 0.0, float("inf"), "sampling arguments must be finite"),
])
def test_sample_kinds_and_conditions(kind, a, b, outcome):
    s = make_session()
    results = []

    @transactional
    def sample(x, y, tick, deme, txn):
        try:
            results.append(txn.sample(kind, a, b))
        except ValueError as e:
            results.append(str(e))
        return 0

    s.set_python_callbacks([sample], [], [])
    s.trigger_event(0)
    assert results == [outcome]


def test_sample_draws_match_the_stream_model():
    s = make_session()
    got = []

    @transactional
    def sample(x, y, tick, deme, txn):
        got.extend([txn.sample("uniform", -1.0, 3.0), txn.sample("integers", -5, 5),
                    txn.sample("binomial", 40, 0.25)])
        return 0

    s.set_python_callbacks([sample], [], [])
    model = PyRng(list(s.snapshot_state()[3]))
    s.trigger_event(0)
    assert got == [-1.0 + model.uniform01() * 4.0, got[1], float(model_binomial_after_range(model, -5, 5, got[1]))]
    assert list(s.snapshot_state()[3]) == list(model.s)


def model_binomial_after_range(model, low, high, seen):
    """Advance the model over random_range(low, high), check it against `seen`, then draw binomial(40, 0.25)."""
    span = high - low
    m = model.u64() * span
    hi, lo = m >> 64, m & (2 ** 64 - 1)
    if lo > (2 ** 64 - span):
        m2 = model.u64() * span
        if lo + (m2 >> 64) >= 2 ** 64:
            hi += 1
    assert low + hi == seen
    return model.binomial(40, 0.25)


def test_finish_none_means_no_finish_callbacks():
    s = make_session()
    calls = []
    s.set_python_callbacks([lambda *a: calls.append("first") or 0], [], [], None)
    assert s.trigger_event(3) == 0
    assert calls == []
    s.trigger_event(0)
    assert calls == ["first"]


@pytest.mark.parametrize("bad", ["abc", 5, [1], [None]])
def test_set_python_callbacks_argument_types(bad):
    s = make_session()
    with pytest.raises(TypeError):
        s.set_python_callbacks(bad, [], [])


# ---- re-entrancy, lists changed during a run, garbage collection ----

@pytest.mark.parametrize("method, message", [
    (lambda s: s.apply({"sex_ratio": 0.1}), "Already borrowed"),
    (lambda s: s.clear_python_callbacks(), "Already borrowed"),
    (lambda s: s.set_python_callbacks([], [], []), "Already borrowed"),
    (lambda s: s.run(1, 1), "Already borrowed"),
    (lambda s: s.counts(), "Already mutably borrowed"),
    (lambda s: s.snapshot_state(), "Already mutably borrowed"),
])
def test_callback_calling_its_own_session(method, message):
    s = make_session()
    errors = []

    def reenter(*args):
        try:
            method(s)
        except RuntimeError as e:
            errors.append(str(e))
        return 0

    s.set_python_callbacks([reenter], [reenter], [reenter])
    final_tick, rows, stopped = s.run(2, 1)
    assert (final_tick, stopped) == (2, False)
    assert errors == [message] * 6
    assert s.execution_state() == ("Ready", 0)


def test_callback_mutating_the_registered_list_does_not_change_the_run():
    s = make_session()
    calls = []
    lst = []

    def first(*args):
        calls.append("first")
        lst.clear()
        lst.append(None)
        return 0

    lst.append(first)
    s.set_python_callbacks(lst, [], [])
    s.run(3, 0)
    assert calls == ["first"] * 3


def test_session_in_a_reference_cycle_through_its_callback_is_collected():
    s = make_session()
    s.set_python_callbacks([lambda *a: 0 if s is not None else 1], [], [])
    ref = weakref.ref(s)
    del s
    gc.collect()
    assert ref() is None


def test_callables_are_released_when_cleared():
    s = make_session()

    def cb(*args):
        return 0

    base = sys.getrefcount(cb)
    s.set_python_callbacks([cb], [cb], [])
    assert sys.getrefcount(cb) == base + 2
    s.tick(0)
    s.clear_python_callbacks()
    assert sys.getrefcount(cb) == base
    s.set_python_callbacks([cb], [], [])
    s.clear_hook_program()
    assert sys.getrefcount(cb) == base


# ---- Ctrl-C inside a callback ----

@pytest.mark.parametrize("stochastic", [True, False])
@pytest.mark.parametrize("stop_tick", [0, 3])
@pytest.mark.parametrize("call", ["run", "tick"])
def test_ctrl_c_inside_a_callback_undoes_the_tick_and_ends_the_run_at_its_boundary(stochastic, stop_tick, call):
    """Ctrl-C lands in a callback as its KeyboardInterrupt (raised here by the
    callback itself, at a chosen tick): what the tick changed before it (the
    kernels, a plain callback's counts, a transaction's draw, parameter,
    tensor and slot) is put back, and the session carries on as one never
    stopped."""
    def make(raise_at):
        s = make_session(stochastic=stochastic, seed=11)

        def plain(ind, sperm, tick, deme):
            ind[A * Z - 1] += 3.0
            return 0

        @transactional
        def change(a, b, tick, deme, txn):
            txn.sample("uniform", 0.0, 1.0)
            txn.apply({"sex_ratio": 0.5 - 0.01 * (tick % 5)})
            txn.tensor_write("fertility", np.full(A, 1.0 - 0.02 * (tick % 3)))
            txn.tensor_write("fecundity_fitness", np.full(2 * Z, 1.0 - 0.01 * (tick % 4)))
            txn.set_custom_slots({"x": float(tick)})
            return 0

        @transactional
        def late(a, b, tick, deme, txn):
            if tick == raise_at[0]:
                raise_at[0] = None  # once
                raise KeyboardInterrupt
            return 0

        s.set_python_callbacks([plain], [change], [late])
        return s

    s, twin = make([stop_tick]), make([None])
    with pytest.raises(KeyboardInterrupt) as info:
        if call == "run":
            s.run(8, 1)
        else:
            for _ in range(8):
                s.tick(0)
    assert s.current_tick() == stop_tick and s.execution_state() == ("Ready", 0)
    _, twin_rows, _ = twin.run(stop_tick, 1)
    if call == "run":
        final, rows, stopped = info.value.partial_result
        assert (final, stopped) == (stop_tick, False)
        assert rows[:, 0].tolist() == list(range(stop_tick + 1)) and rows.tobytes() == twin_rows.tobytes()
    assert everything(s) == everything(twin)
    assert s.get_tensor("fecundity_fitness").tolist() == twin.get_tensor("fecundity_fitness").tolist()
    # The stream, the parameters and the state were all put back.
    _, rest, _ = s.run(4, 1)
    _, twin_rest, _ = twin.run(4, 1)
    assert rest.tobytes() == twin_rest.tobytes() and everything(s) == everything(twin)
    assert s.drain_eco_journal() == twin.drain_eco_journal()
    assert s.get_tensor("fecundity_fitness").tolist() == twin.get_tensor("fecundity_fitness").tolist()


def test_other_exceptions_in_a_callback_still_fail_the_tick():
    s = make_session()

    def broken(ind, sperm, tick, deme):
        if tick == 2:
            raise ValueError("broken model")
        return 0

    s.set_python_callbacks([], [broken], [])
    with pytest.raises(ValueError, match="broken model"):
        s.run(5, 1)
    assert s.execution_state()[0] == "Failed"
