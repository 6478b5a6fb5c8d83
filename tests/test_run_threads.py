"""The run loop and the world around it: Ctrl-C between ticks, the interpreter
lock released while a session ticks, and private histories too large to hold."""

import _thread
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from qorin import _engine_rs, genetics
from qorin.contracts import Blueprint, Params

A = 6


# Runs here are interrupted through _thread.interrupt_main().
pytestmark = pytest.mark.usefixtures("sigint_raises")


def make_session(seed=5, stochastic=True):
    locus = genetics.autosomal_locus(3)
    bp = Blueprint(n_ages=A, new_adult_age=2, locus=locus, stochastic=stochastic)
    bp.initial_individual_count[:, 2:, :] = 50.0
    params = Params(bp, locus, eggs_per_female=20.0, carrying_capacity=500.0, growth_mode=1)
    return _engine_rs.EngineSession(bp, params, seed=seed)


def interrupt_after(seconds):
    timer = threading.Timer(seconds, _thread.interrupt_main)
    timer.start()
    return timer


@pytest.mark.parametrize("bound", [False, True])
def test_ctrl_c_stops_a_long_run_at_a_tick_boundary(bound):
    s = make_session()
    width = 1 + s.state_snapshot()[1].size + s.state_snapshot()[2].size
    history = _engine_rs.HistoryStore(width, [1, 2, A, 6], True) if bound else None
    if bound:
        s.bind_history(history)
    timer = interrupt_after(0.3)
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt) as info:
        # A private history is allocated for every row the run may record.
        s.run(10 ** 9 if bound else 10 ** 6, 1)
    elapsed = time.monotonic() - start
    timer.join()
    assert elapsed < 5.0
    tick = s.current_tick()
    assert 0 < tick < 10 ** 6
    assert s.execution_state() == ("Ready", 0)
    final_tick, rows, stopped = info.value.partial_result
    assert final_tick == tick and not stopped
    if bound:
        assert rows.shape == (0, 0)
        kept = history.query()
    else:
        kept = rows
    # Every completed tick's boundary is there, the last one being the state now.
    assert kept[:, 0].tolist() == list(range(tick + 1))
    assert np.array_equal(kept[-1, 1:1 + 2 * A * 6], s.state_snapshot()[1])
    # The session carries on exactly as an uninterrupted one would.
    twin = make_session()
    twin.run(tick, 0)
    assert twin.snapshot_state()[3] == s.snapshot_state()[3]
    s.run(3, 0)
    twin.run(3, 0)
    assert np.array_equal(twin.state_snapshot()[1], s.state_snapshot()[1])


def test_run_releases_the_interpreter_lock():
    s = make_session(stochastic=True)
    progress = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            progress.append(1)
            time.sleep(0)

    def run():
        s.run(20000, 0)
        stop.set()

    # While the run holds the lock nothing else runs; released, the counter moves.
    worker = threading.Thread(target=run)
    counter = threading.Thread(target=count)
    sys.setswitchinterval(10.0)  # the lock is handed over only when released
    try:
        counter.start()
        worker.start()
        worker.join()
        counter.join()
    finally:
        sys.setswitchinterval(0.005)
    assert len(progress) > 1


def test_threaded_runs_equal_serial_runs():
    from concurrent.futures import ThreadPoolExecutor

    def one(seed):
        s = make_session(seed=seed)
        return s.run(300, 10)[1]

    serial = [one(seed) for seed in range(4)]
    with ThreadPoolExecutor(2) as pool:
        threaded = list(pool.map(one, range(4)))
    for a, b in zip(serial, threaded):
        assert np.array_equal(a, b)


def test_a_private_history_too_large_is_a_memory_error_before_any_tick():
    s = make_session()
    before = s.snapshot_state()
    with pytest.raises(MemoryError, match=r"run would record 1000000000000001 rows of \d+ values"):
        s.run(10 ** 15, 1)
    assert s.execution_state() == ("Ready", 0)
    after = s.snapshot_state()
    assert after[0] == before[0] and after[3] == before[3]


@pytest.mark.skipif(bool(os.environ.get("QORIN_SANITIZED")),
                    reason="the sanitizer runtime cannot map its shadow memory under an address-space limit")
def test_run_under_an_address_space_limit_raises_memory_error():
    code = textwrap.dedent("""
        import resource, sys
        sys.path[:0] = ['tests']
        from test_run_threads import make_session
        s = make_session()
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        try:
            s.run(10 ** 8, 1)
        except MemoryError as e:
            print("MemoryError", e)
        print(s.execution_state(), s.run(2, 1)[1].shape)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert "MemoryError run would record 100000001 rows" in out.stdout
    assert "('Ready', 0) (3, " in out.stdout


def test_rows_stop_early_when_a_hook_stops():
    from qorin import hooks as H
    s = make_session()
    b = H.HookProgramBuilder(n_ages=A, n_ztypes=6)
    b.add_hook("late", [H.stop_if_above(1e9)])
    s.set_hook_program(b.build())
    final, rows, stopped = s.run(50, 5)
    assert not stopped and rows.shape[0] == 11 and rows.flags.owndata and rows.flags.c_contiguous
