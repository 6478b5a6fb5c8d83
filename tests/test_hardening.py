"""Regressions found by attacking the binding: hostile conversions, look-alike
classes, allocations that cannot be made, Ctrl-C in long history calls, long
bounded runs, many custom slots and models that could never tick.

Cases that used to kill the interpreter run in a child process, so a signal
death fails the test instead of ending the test run.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from qorin import _engine_rs, _engine_testing, genetics
from qorin.contracts import Blueprint, Params

from conftest import raw_params

SANITIZED = bool(os.environ.get("QORIN_SANITIZED"))

# Shared by the child processes: a small model and a session built from it.
PRELUDE = """
import gc, json, os, resource, signal, sys, time
import numpy as np
from qorin import _engine_rs, _engine_testing, genetics
from qorin import contracts
from qorin.contracts import Blueprint, Params

def make_session(**params):
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=3, new_adult_age=1, locus=locus)
    bp.initial_individual_count[:, 1:, :] = 10.0
    p = Params(bp, locus)  # values set unchecked: the engine's own handling is tested
    shapes = contracts._tensor_shapes(3, locus.n_ztypes, locus.n_gtypes)
    for name, value in params.items():
        setattr(p, name, contracts._converted(name, value, shapes))
    return _engine_rs.EngineSession(bp, p, seed=1), bp

def limit_memory(extra_mb):
    # Address space: what the interpreter holds now plus extra_mb.
    with open("/proc/self/status") as f:
        size_kb = int(f.read().split("VmSize:")[1].split()[0])
    limit = (size_kb * 1024) + extra_mb * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

def churn():
    # Reuse freed memory, so a read through a dangling pointer sees garbage.
    return [("z" * 23 + str(i)).encode() for i in range(20000)]
"""


def child(code, timeout=180):
    """Runs code in a fresh interpreter; returns the completed process."""
    args = [sys.executable]
    if sys.flags.no_site:  # the sanitizer run keeps site-packages out
        args.append("-S")
    args += ["-c", PRELUDE + textwrap.dedent(code)]
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout)


def child_ok(code, timeout=180):
    """Runs code in a child that must exit normally; returns its last stdout line as JSON."""
    proc = child(code, timeout)
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{proc.stderr[-3000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


def small_model(**params):
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=3, new_adult_age=1, locus=locus)
    bp.initial_individual_count[:, 1:, :] = 10.0
    return bp, raw_params(bp, locus, **params)  # the engine's own checks are tested


# ---------------------------------------------------------------- hostile conversions

# Each case builds a list whose first element empties the list when converted;
# the call must read the items it was given and never walk past the end.
CLEARING_LISTS = {
    "set_state": """
        ind = [1.0] * bp.initial_individual_count.size
        ind[0] = Clear(ind)
        s.set_state(ind, [0.0] * (3 * 9), 4)
        out = [s.current_tick(), s.state_snapshot()[1].tolist()]
    """,
    "tensor_write": """
        values = [0.5] * 6
        values[0] = Clear(values)
        s.tensor_write("survival_rates", values)
        out = s.get_tensor("survival_rates").tolist()
    """,
    "restore_state rng_words": """
        snap = s.snapshot_state()
        words = [5, 6, 7, 8]
        words[0] = Clear(words)
        s.restore_state(snap[0], snap[1], snap[2], words, snap[4])
        out = s.snapshot_state()[3]
    """,
    "HistoryStore dimensions": """
        dims = [1, 2, 3, 3]
        dims[0] = Clear(dims)
        out = _engine_rs.HistoryStore(5, dims, True).ticks()
    """,
    "ParameterLog.append row": """
        log = _engine_rs.ParameterLog()
        row = [3, "sex_ratio", 0.5, 0.6]
        row[2] = Clear(row)
        log.append(row)
        out = log.snapshot()
    """,
    "project_observation selected": """
        sel = [0, 0, 0]
        sel[0] = Clear(sel)  # reads as deme 1
        out = _engine_rs.project_observation(np.ones(8), np.ones(4), [2, 1, 2, 2], sel, False, True).tolist()
    """,
}


@pytest.mark.parametrize("case", sorted(CLEARING_LISTS))
def test_conversion_that_empties_the_list_is_read_safely(case):
    out = child_ok(textwrap.dedent("""
        class Clear:
            def __init__(self, target):
                self.target = target
            def __float__(self):
                self.target.clear(); churn(); return 1.0
            def __index__(self):
                self.target.clear(); churn(); return 1
        s, bp = make_session()
    """) + textwrap.dedent(CLEARING_LISTS[case]) + "print(json.dumps(out))\n")
    expected = {
        "set_state": [4, [1.0] * 18],
        "tensor_write": [1.0] + [0.5] * 5,
        "restore_state rng_words": [1, 6, 7, 8],
        "HistoryStore dimensions": [],
        "ParameterLog.append row": [[3, "sex_ratio", 1.0, 0.6]],
        "project_observation selected": [6.0, 6.0],
    }[case]
    assert out == expected


def test_apply_value_that_drops_its_key_writes_the_named_field():
    # The only reference to the key is the dict's; __float__ empties the dict.
    out = child_ok("""
        s, bp = make_session()
        class Drop:
            def __float__(self):
                writes.clear(); churn(); return 0.25
        writes = {"".join(["sex_", "ratio"]): Drop()}
        s.apply(writes)
        print(json.dumps(s.get_scalar("sex_ratio")))
    """)
    assert out == 0.25


def test_custom_slot_array_whose_finalizer_empties_the_dict_keeps_its_values():
    # A transposed (non C-contiguous) subclass array is copied, which runs
    # __array_finalize__; it drops the dict's references to key and array.
    out = child_ok("""
        s, bp = make_session()
        class Hostile(np.ndarray):
            def __array_finalize__(self, obj):
                if globals().get("slots"):
                    slots.clear(); churn()
        # Large enough that its memory goes back to the system when freed.
        base = np.arange(400 * 500.0).reshape(400, 500)
        slots = {"".join(["we", "ights"]): base.T.view(Hostile)}
        del base
        s.set_custom_slots(slots)
        got = s.get_custom_slots()
        print(json.dumps({k: [v.shape, float(v.sum()), v[3, 2]] for k, v in got.items()}))
    """)
    assert out == {"weights": [[500, 400], 400 * 500 * (400 * 500 - 1) / 2, 2 * 500 + 3]}


# ---------------------------------------------------------------- look-alike classes

@pytest.mark.parametrize("target, call", [
    ("HistoryStore", "s.bind_history(fake); s.run(3, 1)"),
    ("HistoryStore", "_engine_rs.HistoryStore(5, [1, 1, 1, 4], True).observe(fake)"),
    ("HistoryStore", "_engine_testing.history_record(fake, 0, np.zeros(4), np.zeros(0), False)"),
    ("ParameterLog", "_engine_rs.HistoryStore(5, [1, 1, 1, 4], True).bind_log(fake)"),
    ("ParameterLog", "_engine_rs.HistoryStore(5, [1, 1, 1, 4], True).bind_logs([fake])"),
])
def test_look_alike_python_class_is_refused(target, call):
    # Same qualified name and the same instance size as the engine's class.
    out = child_ok(f"""
        s, bp = make_session()
        real = _engine_rs.{target}
        class Fake:
            __slots__ = tuple("s%d" % i for i in range((real.__basicsize__ - object.__basicsize__) // 8))
        Fake.__name__ = "qorin._engine_rs.{target}"
        assert Fake.__basicsize__ == real.__basicsize__
        fake = Fake()
        try:
            {call}
            print(json.dumps("accepted"))
        except TypeError as e:
            print(json.dumps(str(e)))
    """)
    assert out.startswith("argument") and f"expected a {target}" in out


def test_classes_of_the_test_module_and_the_public_module_interoperate():
    store = _engine_rs.HistoryStore(5, [1, 1, 1, 4], True)
    assert _engine_testing.history_record(store, 2, np.ones(4), np.zeros(0), False)
    assert store.ticks() == [2]


# ---------------------------------------------------------------- memory

def test_offspring_tensor_too_large_is_memory_error():
    out = child_ok("""
        try:
            _engine_rs.compute_offspring_tensor(np.zeros((2, 10**6, 0)), np.zeros((0, 0, 10**6)))
            print(json.dumps("computed"))
        except MemoryError as e:
            print(json.dumps(str(e)))
    """)
    assert out == ("the offspring tensor needs 8000000000000000000 bytes (7450580596.9 GiB) of memory, "
                   "more than can be allocated")


def test_offspring_tensor_whose_size_overflows_is_memory_error():
    with pytest.raises(MemoryError, match="^the offspring tensor needs more than 18446744073709551615 bytes"):
        _engine_rs.compute_offspring_tensor(np.zeros((2, 2**22, 0)), np.zeros((0, 0, 2**22)))


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves address space beyond any limit")
def test_projection_larger_than_memory_is_memory_error():
    # 10^5 observation groups times 10^5 selected demes: 80 GB of output.
    out = child_ok("""
        limit_memory(512)
        try:
            _engine_rs.project_observation(np.ones(1), np.ones(10**5), [1, 1, 1, 1], [0] * 10**5, False, False)
            print(json.dumps("projected"))
        except MemoryError as e:
            print(json.dumps(str(e)))
    """)
    assert out.startswith("the observation needs 80000000000 bytes (74.5 GiB) of memory")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves address space beyond any limit")
def test_history_append_out_of_memory_changes_nothing():
    # The batch exists; storing a second copy of it cannot be allocated.
    out = child_ok("""
        store = _engine_rs.HistoryStore(101, [1, 2, 5, 10], True)
        first = np.zeros((2, 101))
        first[:, 0] = [0, 1]
        store.append(first)
        before = (store.ticks(), store.query().tolist())
        batch = np.ones((400_000, 101))
        batch[:, 0] = np.arange(10, 400_010)
        limit_memory(200)
        try:
            store.append(batch)
            result = "appended"
        except MemoryError:
            result = "MemoryError"
        after = (store.ticks(), store.query().tolist())
        print(json.dumps([result, before == after, store.ticks()]))
    """)
    assert out == ["MemoryError", True, [0, 1]]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves address space beyond any limit")
def test_history_query_out_of_memory_says_how_much():
    out = child_ok("""
        store = _engine_rs.HistoryStore(101, [1, 2, 5, 10], True)
        rows = np.zeros((100_000, 101))
        rows[:, 0] = np.arange(100_000)
        store.append(rows)
        del rows
        gc.collect()
        limit_memory(40)
        try:
            store.query()
            print(json.dumps("queried"))
        except MemoryError as e:
            print(json.dumps([str(e), len(store.ticks())]))
    """)
    assert out[0].startswith("the queried history rows needs 80800000 bytes")
    assert out[1] == 100_000


# ---------------------------------------------------------------- Ctrl-C

OBSERVE_SETUP = """
    # A raw store of 1000 rows and an observed target whose mask has 2000
    # groups: a few seconds of projection in all.
    dims = [1, 2, 1, 500]
    src = _engine_rs.HistoryStore(1001, dims, True)
    rows = np.ones((1000, 1001))
    rows[:, 0] = np.arange(1000)
    src.append(rows)
    dst = _engine_rs.HistoryStore(4001, dims, False)
    dst.configure_observation(np.ones(2000 * 1000), [0], True, True)
    # A background job may inherit SIGINT ignored; Ctrl-C is what is tested.
    signal.signal(signal.SIGINT, signal.default_int_handler)
"""


def _observe_with_sigint(handler_code):
    # The child announces itself, then observes; this process sends SIGINT.
    args = [sys.executable] + (["-S"] if sys.flags.no_site else []) + ["-c", PRELUDE + textwrap.dedent(
        OBSERVE_SETUP) + textwrap.dedent(handler_code) + textwrap.dedent("""
    print("ready", flush=True)
    t0 = time.perf_counter()
    try:
        src.observe(dst)
        outcome = "completed"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    ticks = dst.ticks()
    print(json.dumps([outcome, time.perf_counter() - t0, len(ticks), ticks == list(range(len(ticks))),
                      calls]))
    """)]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if proc.stdout.readline().strip() != "ready":
            pytest.fail(proc.communicate(timeout=60)[1][-3000:])
        time.sleep(0.4)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, err[-3000:]
    return json.loads(out.strip().splitlines()[-1])


def test_ctrl_c_interrupts_observe_promptly_keeping_observed_rows():
    outcome, elapsed, n_rows, in_order, calls = _observe_with_sigint("calls = 0\n")
    assert outcome == "KeyboardInterrupt"
    assert elapsed < 2.0
    assert 0 < n_rows < 1000 and in_order


def test_sigint_handler_that_returns_lets_observe_finish():
    outcome, elapsed, n_rows, in_order, calls = _observe_with_sigint("""
calls = 0
def handler(signum, frame):
    global calls
    calls += 1
signal.signal(signal.SIGINT, handler)
""")
    assert (outcome, n_rows, in_order, calls) == ("completed", 1000, True, 1)


# ---------------------------------------------------------------- long runs, many slots

def _us_per_tick(max_rows, n_ticks=3000):
    bp, p = small_model()
    s = _engine_rs.EngineSession(bp, p)
    store = _engine_rs.HistoryStore(1 + 18 + 27, [1, 2, 3, 3], True, max_rows=max_rows)
    s.bind_history(store)
    s.run(max_rows, 1)  # fill the store and the checkpoints
    t0 = time.perf_counter()
    s.run(n_ticks, 1)
    us = (time.perf_counter() - t0) / n_ticks * 1e6
    assert len(store.ticks()) == max_rows
    assert s.restore_from_checkpoint(store.ticks()[0]) is not None
    assert s.restore_from_checkpoint(store.ticks()[0] - 1) is None
    return us


def test_bounded_history_run_does_not_slow_down_with_the_row_limit():
    # Every tick evicts a row and prunes its checkpoint; before, pruning
    # rebuilt the whole checkpoint list (a thousand times slower at 20000).
    small = min(_us_per_tick(10) for _ in range(2))
    large = min(_us_per_tick(20_000) for _ in range(2))
    assert large < 5 * small + 20


def test_checkpoints_out_of_tick_order_are_pruned_by_tick():
    bp, p = small_model()
    s = _engine_rs.EngineSession(bp, p)
    zeros_sperm = [0.0] * 27
    for start in (100, 50):
        s.set_state(bp.initial_individual_count.ravel(), zeros_sperm, start)
        s.run(2, 1, None, 1)  # checkpoints at start, start+1, start+2
    have = lambda: [t for t in (50, 51, 52, 100, 101, 102) if s.restore_from_checkpoint(t) is not None]
    assert have() == [50, 51, 52, 100, 101, 102]
    s.retain_checkpoints_from(51)
    assert have() == [51, 52, 100, 101, 102]
    s.truncate_checkpoints(101)
    assert have() == [51, 52, 100, 101]
    s.retain_checkpoints_from(101)
    s.truncate_checkpoints(1000)
    assert have() == [101]
    s.clear_checkpoints()
    s.run(1, 1, None, 1)  # the restores above left the session at tick 101
    assert have() == [101, 102]


def test_many_custom_slots_are_set_in_linear_time():
    bp, p = small_model()
    s = _engine_rs.EngineSession(bp, p)
    # Set up once per name (this took about 10 s when each name was compared
    # with every other); how long it takes is not a pass/fail question here.
    slots = {f"k{i}": float(i) for i in range(100_000)}
    s.set_custom_slots(slots)
    assert s.get_custom_slots() == slots


def test_custom_slot_names_equal_as_strings_keep_first_place_and_last_value():
    class Key(str):
        __hash__ = object.__hash__  # distinct dict keys with equal text
        __eq__ = object.__eq__

    bp, p = small_model()
    s = _engine_rs.EngineSession(bp, p)
    s.set_custom_slots({Key("a"): 1.0, "b": True, Key("a"): 3})
    got = s.get_custom_slots()
    assert list(got) == ["a", "b"] and got["a"] == 3 and type(got["a"]) is int


@pytest.mark.parametrize("first, second, equal", [
    ({"a": 1.0, "b": True, "c": 3}, {"a": 1.0, "b": True, "c": 3}, True),
    ({"a": 1.0, "b": True, "c": 3}, {"c": 3, "a": 1.0, "b": True}, True),    # order does not matter
    ({"a": 1.0, "b": True, "c": 3}, {"a": 1.0, "c": 3, "b": False}, False),  # a value differs
    ({"a": 1.0, "b": True}, {"a": 1.0, "x": True}, False),                   # a name differs
    ({"a": 1.0, "b": True}, {"a": 1.0, "b": 1}, False),                      # a kind differs
])
def test_custom_slot_maps_compare_by_name_and_value(first, second, equal):
    bp, p = small_model()
    c = _engine_testing.contracts(bp, p)
    d = c.copy()
    c.set_custom_slots(first)
    d.set_custom_slots(second)
    assert c.ecology_same(d) is equal and d.ecology_same(c) is equal


def test_custom_slot_names_with_nul_characters_round_trip():
    bp, p = small_model()
    s = _engine_rs.EngineSession(bp, p)
    s.set_custom_slots({"a\0b": 1.0, "a": 2.0})
    assert s.get_custom_slots() == {"a\0b": 1.0, "a": 2.0}


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("params, message", [
    ({"sex_ratio": 2.0}, "'sex_ratio' requires a value in [0, 1], got 2"),
    ({"carrying_capacity": -1.0}, "'carrying_capacity' requires a value in [0, 1000000000000], got -1"),
    ({"eggs_per_female": float("nan")}, "'eggs_per_female' requires a value in [0, 1000000], got NaN"),
    ({"sperm_displacement_rate": 1.5}, "'sperm_displacement_rate' requires a value in [0, 1], got 1.5"),
    ({"low_density_growth_rate": 2e6},
     "'low_density_growth_rate' requires a value in [1, 1000000], got 2000000"),
    # validate() keeps its own check and message for a rate below 1.
    ({"low_density_growth_rate": 0.5}, "low_density_growth_rate must be finite and at least 1.0"),
    ({"survival_rates": [[1, 1, np.nan], [1, 1, 1]]}, "survival_rates requires finite nonnegative values"),
    ({"competition_weights": [1, -1, 1]}, "competition_weights requires finite nonnegative values"),
    ({"viability_fitness": -np.ones((2, 3, 3))}, "viability_fitness requires finite nonnegative values"),
    ({"offspring_tensor": np.full(27, np.inf)}, "offspring_tensor requires finite nonnegative values"),
])
def test_model_values_are_checked_at_construction(params, message):
    bp, p = small_model(**params)
    with pytest.raises(ValueError) as info:
        _engine_rs.EngineSession(bp, p)
    assert str(info.value) == message


@pytest.mark.parametrize("where", ["individual", "sperm"])
@pytest.mark.parametrize("value", [np.nan, -1.0, np.inf])
def test_bad_initial_counts_are_refused_at_construction(where, value):
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=3, new_adult_age=1, locus=locus, stochastic=True,
                   initial_sperm_storage=np.zeros((3, 3, 3)))
    target = bp.initial_individual_count if where == "individual" else bp.initial_sperm_storage
    target.flat[4] = value
    with pytest.raises(ValueError, match="^state counts must be finite and nonnegative$"):
        _engine_rs.EngineSession(bp, Params(bp, locus))


def test_structural_errors_are_still_reported_first():
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=3, new_adult_age=1, locus=locus)
    bp.initial_individual_count = np.full(5, np.nan)  # wrong length and bad values
    with pytest.raises(ValueError, match="initial_individual_count"):
        _engine_rs.EngineSession(bp, raw_params(bp, locus, sex_ratio=2.0))


def test_negative_zero_counts_and_unchecked_growth_mode_pass_construction():
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=3, new_adult_age=1, locus=locus)
    bp.initial_individual_count[:] = -0.0  # the sperm storage is left empty: zeros are installed
    s = _engine_rs.EngineSession(bp, raw_params(bp, locus, sex_ratio=1.0, growth_mode=7))
    assert s.tick(0) == 0
