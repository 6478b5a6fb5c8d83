"""A landscape runs through the same run loop as a single population: rows of a
private history, observed rows and checkpoints as EngineSession.run makes them,
run_steps recording into a bound history, and Ctrl-C at a tick boundary."""

import _thread
import threading
import time

import numpy as np
import pytest

import spatial_model as M
from qorin import _engine_rs
from qorin import hooks as H


def _session(model, n=4, seed=7):
    s, bp, *_ = M.session(n, rate=0.2, stochastic=True, model=model, seed=seed)
    b = H.HookProgramBuilder.for_blueprint(bp)
    b.add_hook("first", [H.set_param("carrying_capacity", H.param("carrying_capacity") * 1.01)])
    s.set_hook_program(b.build())
    return s, bp


def _raw_store(s, bp, n):
    a, z = bp.n_ages, bp.n_ztypes
    sperm = 0 if bp.discrete_generation else n * a * z * z
    return _engine_rs.HistoryStore(1 + n * 2 * a * z + sperm, [n, 2, a, z], True)


@pytest.mark.parametrize("model", ["age_structured", "discrete_generation"])
@pytest.mark.parametrize("interval", [1, 3])
def test_private_rows_equal_what_run_steps_records_into_a_bound_history(model, interval):
    s, bp = _session(model)
    twin, _ = _session(model)
    store = _raw_store(twin, bp, 4)
    twin.bind_history(store)
    final, rows, stopped = s.run(10, interval)
    assert twin.run_steps(10, interval) == (final, stopped) == (10, False)
    assert rows.dtype == np.float64 and rows.shape == store.query().shape
    assert rows.tobytes() == store.query().tobytes()
    assert rows[:, 0].tolist() == list(range(0, 11, interval))
    assert s.state_snapshot()[1].tobytes() == twin.state_snapshot()[1].tobytes()
    # Rows of the journal carry their deme; with per-deme logs bound they go there instead.
    journal = s.drain_eco_journal()
    assert sorted({row[0] for row in journal}) == [0, 1, 2, 3] and twin.drain_eco_journal() == []


def test_observed_rows_are_the_projection_of_every_recorded_boundary():
    s, bp = _session("age_structured")
    twin, _ = _session("age_structured")
    mask = np.zeros((4, 2, bp.n_ages, bp.n_ztypes))
    mask[:, 0, 1:, :] = 1.0  # adult females of every deme
    final, rows, _ = s.run(6, 2, observation_mask=mask)
    expected = []
    for tick in range(7):
        if tick % 2 == 0:
            t, obs = twin.observe_current(mask.ravel(), [0, 1, 2, 3], False, False)
            expected.append(np.concatenate([[float(t)], obs]))
        if tick < 6:
            twin.run_tick()
    assert final == 6 and np.array_equal(rows, np.array(expected))


def test_checkpoints_of_a_run_restore_every_stream():
    s, _ = _session("age_structured")
    _, first, _ = s.run(8, 1, checkpoint_every=4)
    assert s.restore_from_checkpoint(4) == 4 and s.execution_state() == ("Ready", 0)
    _, again, _ = s.run(4, 1)
    assert again.tobytes() == first[4:].tobytes()
    assert s.restore_from_checkpoint(2) is None  # only multiples of 4 were captured


def test_run_steps_keeps_its_argument_checks_and_needs_a_bound_history_to_record():
    s, _ = _session("age_structured")
    with pytest.raises(ValueError, match="^n_steps must be >= 0$"):
        s.run_steps(-1, 0)
    with pytest.raises(ValueError, match="^History is not initialized$"):
        s.run_steps(3, 2)  # tick 0 is due at once
    assert s.current_tick() == 0 and s.execution_state() == ("Ready", 0)
    assert s.run_steps(1, 0) == (1, False)


@pytest.mark.usefixtures("sigint_raises")
def test_ctrl_c_ends_run_steps_at_a_tick_boundary():
    s, _ = _session("age_structured", n=3)
    twin, _ = _session("age_structured", n=3)
    for session in (s, twin):
        session.clear_hook_program()  # a parameter growing every tick would leave its bounds
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            s.run_steps(10 ** 9, 0)
    finally:
        timer.cancel()
        timer.join()
    assert time.monotonic() - start < 5.0
    tick = s.current_tick()
    assert 0 < tick < 10 ** 9 and s.execution_state() == ("Ready", 0)
    assert info.value.partial_result == (tick, False)
    # The session carries on exactly as an uninterrupted one.
    twin.run_steps(tick + 2, 0)
    s.run_steps(2, 0)
    assert s.state_snapshot()[1].tobytes() == twin.state_snapshot()[1].tobytes()


def _state(s):
    ind, sperm = s.state_snapshot()[1:3]
    return ind.tobytes() + sperm.tobytes()


def _hook_every_deme(s, bp):
    """Hooks that write a parameter (merged after the demes tick) and move
    counts (in the deme's block) every tick."""
    b = H.HookProgramBuilder.for_blueprint(bp)
    b.add_hook("first", [H.set_param("carrying_capacity", H.param("carrying_capacity") * 1.01)])
    b.add_hook("early", [H.scale(0.97, sex="female")])
    s.set_hook_program(b.build())


@pytest.mark.parametrize("model, stochastic, hooked, stream", [
    ("age_structured", False, False, False), ("age_structured", False, False, True),
    ("age_structured", True, False, True), ("discrete_generation", True, False, False),
    ("discrete_generation", False, False, False),
    ("age_structured", True, True, False), ("discrete_generation", False, True, True)])
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("stop", [1, 9])
def test_a_tick_stopped_among_its_demes_leaves_state_and_streams_as_they_were(model, stochastic, hooked, stream,
                                                                             threads, stop):
    from qorin import _engine_testing as T

    n = 40  # enough demes to be split among the threads
    T.set_worker_threads(threads)
    try:
        s, bp, *_ = M.session(n, rate=0.2, stochastic=stochastic, module=T, seed=3, model=model)
        twin, *_ = M.session(n, rate=0.2, stochastic=stochastic, module=T, seed=3, model=model)
        if hooked:
            _hook_every_deme(s, bp)
            _hook_every_deme(twin, bp)
        T.spatial_set_interrupt_interval(s, 0.0)
        if stream:  # the ticked blocks (and migration's outputs) written around the caches
            T.spatial_set_stream_bytes(s, 1)
        s.run(2, 0)
        # Asked after each deme it ticks, the calling thread makes the stop-th
        # check inside one of the run's ticks (which one depends on how the
        # demes fell to the threads when there are two).
        tick, why, checks = T.spatial_run_stopped(s, 5, stop)
        if threads == 1:
            assert (tick, why, checks) == (2, f"stopped by the test at check {stop}", stop)
        elif why is None:  # the other thread took nearly every deme of all five ticks
            assert checks < stop and tick == 7
        else:
            assert 2 <= tick < 7 and (why, checks) == (f"stopped by the test at check {stop}", stop)
        assert s.current_tick() == tick and s.execution_state() == ("Ready", 0)
        T.spatial_run_in_place(twin, tick)  # demes ticked in place: the reference
        assert _state(s) == _state(twin)
        # The streams were put back: the session goes on as one never stopped.
        s.run(3, 0)
        T.spatial_run_in_place(twin, 3)
        assert _state(s) == _state(twin)
        # One tick alone, the same (with two threads the calling thread may
        # tick fewer demes than that, and the tick then completes).
        after, why, checks = T.spatial_tick_stopped(s, stop)
        if why is None:
            assert threads == 2 and checks < stop and after == tick + 4
            T.spatial_run_in_place(twin, 1)
        else:
            assert (after, why, checks) == (tick + 3, f"stopped by the test at check {stop}", stop)
        assert s.execution_state() == ("Ready", 0) and _state(s) == _state(twin)
        s.run_tick()
        T.spatial_run_in_place(twin, 1)
        assert _state(s) == _state(twin)
        if hooked:
            assert s.drain_eco_journal() == twin.drain_eco_journal()
            assert s.get_deme_scalar(7, "carrying_capacity") == twin.get_deme_scalar(7, "carrying_capacity")
    finally:
        T.set_worker_threads(0)


def test_ticks_without_migration_are_not_stopped_inside():
    """Without migration there is no second buffer to tick into: such ticks run whole."""
    from qorin import _engine_testing as T

    s, bp, *_ = M.session(4, rate=0.0, stochastic=True, module=T)
    T.spatial_set_interrupt_interval(s, 0.0)
    assert T.spatial_run_stopped(s, 3, 1) == (3, None, 0)


@pytest.mark.usefixtures("sigint_raises")
@pytest.mark.parametrize("call", ["run", "run_tick"])
def test_ctrl_c_among_a_landscape_tick_s_demes_leaves_a_whole_tick(call):
    """A tick of a large landscape is a long call, stopped among its demes by
    Ctrl-C (here it asks after every deme, so Ctrl-C mostly lands there rather
    than at a boundary or in migration): wherever it lands, the session is at
    a whole tick, as an uninterrupted one."""
    from qorin import _engine_testing as T

    n = 3000
    s, *_ = M.session(n, rate=0.1, stochastic=True, seed=5, module=T)
    twin, *_ = M.session(n, rate=0.1, stochastic=True, seed=5, module=T)
    T.spatial_set_interrupt_interval(s, 0.0)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            if call == "run":
                s.run(10 ** 6, 0)
            else:
                while True:
                    s.run_tick()
    finally:
        timer.cancel()
        timer.join()
    tick = s.current_tick()
    assert s.execution_state() == ("Ready", 0)
    if call == "run":
        assert info.value.partial_result[0] == tick
    twin.run(tick, 0)
    assert _state(s) == _state(twin)
    s.run(1, 0)
    twin.run(1, 0)
    assert _state(s) == _state(twin)


@pytest.mark.parametrize("model, rate", [("age_structured", 0.2), ("age_structured", 0.0),
                                         ("discrete_generation", 0.2)])
@pytest.mark.parametrize("call", ["run", "run_tick"])
def test_ctrl_c_inside_a_landscape_callback_undoes_the_tick(model, rate, call):
    """Ctrl-C lands in a callback as its KeyboardInterrupt (raised here by the
    callback itself, in one deme at a chosen tick): the demes ticked before it
    in that tick, the callbacks' counts and parameter writes, and the streams
    are all as they were at the tick's start."""
    from qorin import _engine_testing as T

    def make(raise_at):
        s, *_ = M.session(6, rate=rate, stochastic=True, model=model, seed=9, module=T)

        def plain(ind, sperm, tick, deme):
            ind[-1] += 2.0
            return 0

        @transactional
        def change(a, b, tick, deme, txn):
            txn.sample("uniform", 0.0, 1.0)
            txn.apply({"carrying_capacity": 500.0 + tick + deme})
            if (tick, deme) == raise_at[0]:
                raise_at[0] = None  # once
                raise KeyboardInterrupt
            return 0

        s.set_python_callbacks([plain], [change], [])
        return s

    # The twin's demes tick in place, as no tick that can be undone does.
    s, twin = make([(2, 4)]), make([None])
    assert T.spatial_run_in_place(twin, 2) == 2
    with pytest.raises(KeyboardInterrupt) as info:
        if call == "run":
            s.run(5, 0)
        else:
            for _ in range(5):
                s.run_tick()
    assert s.current_tick() == 2 and s.execution_state() == ("Ready", 0)
    if call == "run":
        assert info.value.partial_result[0] == 2
    assert _state(s) == _state(twin) and s.drain_eco_journal() == twin.drain_eco_journal()
    assert s.ecology_columns_snapshot()["carrying_capacity"].tolist() == \
        twin.ecology_columns_snapshot()["carrying_capacity"].tolist()
    s.run(3, 0)
    T.spatial_run_in_place(twin, 3)
    assert _state(s) == _state(twin) and s.drain_eco_journal() == twin.drain_eco_journal()


def transactional(fn):
    fn.__qorin_transaction__ = True
    return fn
