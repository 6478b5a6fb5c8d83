"""The spatial tick: migration conservation, convergence, drive spread, stops and
failures per deme, bit-identical results for any thread count, callbacks in deme
order, fork safety and the released interpreter lock."""

import multiprocessing
import threading
import time

import numpy as np
import pytest

import spatial_model as M
from qorin import _engine_rs, genetics
from qorin import _engine_testing as T
from qorin import hooks as H
from qorin.contracts import Params


def _state(s):
    t, ind, sperm = s.state_snapshot()
    return t, ind.copy(), sperm.copy()


def test_deterministic_migration_conserves_individuals_and_stored_sperm():
    n = 5
    # Demes differ, so migration really moves something.
    bp = M.blueprint(n, graph=M.ring(n))
    ind, sperm = M.initial_state(bp, n)
    ind *= np.arange(1, n + 1)[:, None, None, None]
    sperm[:, 1:, 0, 0] = ind[:, 0, 1:, 0] / 2
    still, *_ = M.session(n, rate=0.0, ind=ind, sperm=sperm, bp=bp)
    moving, *_ = M.session(n, rate=0.3, ind=ind, sperm=sperm, bp=bp)
    assert still.run_tick() == moving.run_tick() == 1
    _, i0, s0 = _state(still)
    _, i1, s1 = _state(moving)
    i0, i1 = i0.reshape(n, -1), i1.reshape(n, -1)
    s0, s1 = s0.reshape(n, -1), s1.reshape(n, -1)
    assert not np.allclose(i0, i1)  # individuals moved between demes
    np.testing.assert_allclose(i1.sum(axis=0), i0.sum(axis=0), rtol=1e-12, atol=1e-9)
    np.testing.assert_allclose(s1.sum(axis=0), s0.sum(axis=0), rtol=1e-12, atol=1e-9)
    assert (i1 >= 0).all() and (s1 >= 0).all()


def test_stochastic_fractional_migration_never_goes_negative():
    s, *_ = M.session(6, rate=0.9, stochastic=True, continuous_sampling=True)
    for _ in range(20):
        s.run_tick()
        _, ind, sperm = s.state_snapshot()
        assert (ind >= 0).all() and (sperm >= 0).all()


def test_two_symmetric_demes_converge_to_equal_densities():
    bp = M.blueprint(2, graph=M.ring(2))
    ind, sperm = M.initial_state(bp, 2)
    ind[1] *= 0.05
    s, *_ = M.session(2, rate=0.2, ind=ind, sperm=sperm, bp=bp)
    a0, b0 = s.counts(0)[0], s.counts(1)[0]
    assert a0 > 10 * b0
    s.run_steps(200, 0)
    a, b = s.counts(0)[0], s.counts(1)[0]
    assert a > 100 and abs(a - b) <= 1e-6 * a


@pytest.mark.parametrize("draws", [{}, dict(stochastic=True, sampling="aggregated")],
                         ids=["deterministic", "aggregated"])
def test_drive_released_in_one_deme_reaches_the_far_side(draws):
    n = 8
    locus = genetics.homing_drive(cutting=0.95, homing=0.9)
    bp = M.blueprint(n, n_ages=3, locus=locus, graph=M.ring(n), **draws)
    p = Params(bp, locus, carrying_capacity=400.0, eggs_per_female=20.0, low_density_growth_rate=4.0,
               survival_rates=np.full((2, 3), 0.8))
    Z = bp.n_ztypes
    ind = np.zeros((n, 2, 3, Z))
    ind[:, :, 1:, 0] = 100.0  # W/W everywhere
    dd = locus.labels.index("D/D")
    ind[0, 1, 1:, dd] = 100.0  # drive males released into deme 0
    s, *_ = M.session(n, rate=0.05, params=p, ind=ind, sperm=np.zeros((n, 3, Z, Z)), bp=bp)

    def drive_freq(deme):
        counts = s.state_snapshot_deme(deme)[1].reshape(2, 3, Z).sum(axis=(0, 1))
        copies = np.array([lab.count("D") for lab in locus.labels], dtype=float)
        return float(counts @ copies) / (2 * counts.sum())

    assert drive_freq(4) == 0.0
    s.run_steps(120, 0)
    assert drive_freq(0) > 0.5
    assert drive_freq(4) > 0.5  # the far side of the ring


def test_stop_in_one_deme_leaves_the_others_ticked():
    s, bp, *_ = M.session(5, rate=0.1)
    ref, *_ = M.session(5, rate=0.0)
    b = H.HookProgramBuilder.for_blueprint(bp)
    b.add_hook("late", [H.stop_if_above(0.0)], demes=3)
    s.set_hook_program(b.build())
    assert s.run_tick() == 0  # the tick did not advance
    assert s.execution_state() == ("Stopped", 3)
    ref.run_tick()  # no migration, no stop
    for d in (0, 1, 2, 4):
        np.testing.assert_array_equal(s.state_snapshot_deme(d)[1], ref.state_snapshot_deme(d)[1])
    with pytest.raises(RuntimeError, match="^Session is not Ready; restore a checkpoint or reset before run$"):
        s.run_tick()
    with pytest.raises(RuntimeError, match="^Session is not Ready"):
        s.run_steps(3, 0)
    _, ind, sperm = s.state_snapshot()
    s.set_state(ind.reshape(5, 2, 3, 3), sperm.reshape(5, 3, 3, 3), 0)
    assert s.execution_state() == ("Ready", 0)


@pytest.mark.parametrize("how", ["hook", "callback"])
def test_stops_in_several_demes_name_the_lowest(how):
    s, bp, *_ = M.session(5, rate=0.1)
    if how == "hook":
        b = H.HookProgramBuilder.for_blueprint(bp)
        b.add_hook("late", [H.stop_if_above(0.0)], demes=[3, 1])
        s.set_hook_program(b.build())
    else:
        s.set_python_callbacks([], [lambda ind, sperm, tick, deme: 7 if deme in (1, 3) else 0], [])
    assert s.run_tick() == 0
    assert s.execution_state() == ("Stopped", 1)


def test_failures_in_several_demes_name_the_lowest():
    s, bp, *_ = M.session(5, rate=0.1)
    b = H.HookProgramBuilder.for_blueprint(bp)
    b.add_hook("early", [H.set_param("sex_ratio", 2.0)], demes=[3, 1])
    s.set_hook_program(b.build())
    with pytest.raises(ValueError, match="set_param value out of bounds"):
        s.run_tick()
    assert s.execution_state() == ("Failed", 1)


def test_failure_in_one_deme_keeps_earlier_journal_rows():
    s, bp, *_ = M.session(5, rate=0.1)
    b = H.HookProgramBuilder.for_blueprint(bp)
    b.add_hook("first", [H.set_param("carrying_capacity", 250.0)])
    b.add_hook("first", [H.set_param("sex_ratio", 2.0)], demes=2)
    s.set_hook_program(b.build())
    with pytest.raises(ValueError, match="set_param value out of bounds: 'sex_ratio'"):
        s.run_tick()
    assert s.current_tick() == 0 and s.execution_state()[0] == "Failed"
    rows = s.drain_eco_journal()
    assert sorted({r[0] for r in rows}) == [0, 1]
    assert all(r[2] == 0 and r[3] == 500.0 and r[4] == 250.0 for r in rows)
    # staged scalars were not written back
    assert s.get_deme_scalar(0, "carrying_capacity") == 500.0


def test_zero_demes_fail_every_tick():
    bp = M.blueprint(2)
    p = Params(bp, low_density_growth_rate=2.0)
    s = _engine_rs.HeterogeneousSpatialEngineSession(
        bp, M.columns([p, p]), [M.genetics(p)], np.zeros(0, dtype=np.int64), np.zeros((0, 2, 3, 3)),
        np.zeros((0, 3, 3, 3)), 0)
    with pytest.raises(RuntimeError, match="^heterogeneous spatial run requires at least one deme$"):
        s.run_tick()
    assert s.execution_state()[0] == "Failed"


def _run_threads(threads, hooks, stochastic=True):
    T.set_worker_threads(threads)
    try:
        s, bp, *_ = M.session(23, rate=0.2, module=T, stochastic=stochastic, seed=99)
        if hooks:
            b = H.HookProgramBuilder.for_blueprint(bp)
            b.add_hook("early", [H.kill(0.1, sex="male")], demes=range(3, 9))
            b.add_hook("first", [H.set_param("carrying_capacity", H.param("carrying_capacity") * 1.01)])
            s.set_hook_program(b.build())
        s.run_steps(15, 0)
        journal = s.drain_eco_journal()
        s.set_migration_rate(np.zeros(23 * 2 * 3))
        s.run_tick()  # continues each deme's stream
        return _state(s), journal, s.ecology_columns_snapshot()["carrying_capacity"]
    finally:
        T.set_worker_threads(0)


@pytest.mark.parametrize("hooks", [False, True])
@pytest.mark.parametrize("stochastic", [False, True])
def test_bit_identical_for_any_thread_count(hooks, stochastic):
    runs = [_run_threads(n, hooks, stochastic) for n in (1, 2, 8)]
    (t, ind, sperm), journal, cap = runs[0]
    assert t == 16
    for (t2, ind2, sperm2), journal2, cap2 in runs[1:]:
        assert t2 == t and journal2 == journal
        assert ind2.tobytes() == ind.tobytes() and sperm2.tobytes() == sperm.tobytes()
        assert cap2.tobytes() == cap.tobytes()
    if hooks:
        assert len(journal) == 15 * 23


def test_callbacks_run_in_deme_order_and_match_the_parallel_run():
    seen = []

    def first(ind, sperm, tick, deme):
        seen.append((tick, deme))
        return 0

    s, *_ = M.session(6, rate=0.2, stochastic=True, seed=5)
    ref, *_ = M.session(6, rate=0.2, stochastic=True, seed=5)
    s.set_python_callbacks([first], [], [])
    s.run_steps(3, 0)
    ref.run_steps(3, 0)
    assert seen == [(t, d) for t in range(3) for d in range(6)]
    a, b = _state(s), _state(ref)
    assert a[0] == b[0] and a[1].tobytes() == b[1].tobytes() and a[2].tobytes() == b[2].tobytes()


def test_callback_stop_code_stops_its_deme():
    def late(ind, sperm, tick, deme):
        return 1 if deme == 2 else 0

    s, *_ = M.session(4, rate=0.1)
    s.set_python_callbacks([], [], [late])
    assert s.run_steps(5, 0) == (0, True)
    assert s.execution_state() == ("Stopped", 2)


def _changed_demes(before, after, n):
    """The demes whose block of some ecology column differs between two snapshots."""
    demes = set()
    for name, col in before.items():
        if col.size:
            a, b = col.reshape(n, -1), after[name].reshape(n, -1)
            demes |= {d for d in range(n) if a[d].tobytes() != b[d].tobytes()}
    return sorted(demes)


def test_a_transaction_commits_to_its_own_deme():
    s, bp, *_ = M.session(4, rate=0.1)
    fecundity = np.full(2 * bp.n_ztypes, 0.5)

    def late(a, b, tick, deme, txn):
        if deme == 2:
            txn.apply({"external_expected_eggs": 7.0})
            txn.tensor_write("fertility", [1.0, 0.5, 0.25])
            txn.tensor_write("fecundity_fitness", fecundity)
            txn.set_custom_slots({"tag": 2})
        return 0

    late.__qorin_transaction__ = True
    s.set_python_callbacks([], [], [late])
    before = s.ecology_columns_snapshot()
    assert s.run_tick() == 1
    after = s.ecology_columns_snapshot()
    assert _changed_demes(before, after, 4) == [2]
    assert after["external_expected_eggs"].tolist() == [-1.0, -1.0, 7.0, -1.0]
    assert after["fertility"].reshape(4, -1)[2].tolist() == [1.0, 0.5, 0.25]
    assert [s.get_deme_custom_slots(d) for d in range(4)] == [{}, {}, {"tag": 2}, {}]
    assert s.n_variants() == 2
    for d in range(4):
        want = fecundity if d == 2 else np.ones(2 * bp.n_ztypes)
        np.testing.assert_array_equal(s.get_deme_tensor(d, "fecundity_fitness"), want)


def test_a_transaction_reads_its_own_deme():
    s, *_ = M.session(3, rate=0.1)
    for d in range(3):
        s.set_deme_custom_slots(d, {"deme": d})
        s.apply_deme(d, {"external_expected_eggs": 10.0 * d})
        s.tensor_write_deme(d, "fertility", [1.0, 1.0, 0.5 * d])
    seen = []

    def first(a, b, tick, deme, txn):
        seen.append((deme, txn.get_custom_slots(), txn.get_scalar("external_expected_eggs"),
                     txn.get_tensor("fertility").tolist()))
        return 0

    first.__qorin_transaction__ = True
    s.set_python_callbacks([first], [], [])
    s.run_tick()
    assert seen == [(d, {"deme": d}, 10.0 * d, [1.0, 1.0, 0.5 * d]) for d in range(3)]


def test_staged_writes_read_and_land_on_their_own_demes():
    s, bp, *_ = M.session(4, rate=0.1)
    for d, capacity in enumerate([100.0, 200.0, 300.0, 400.0]):
        s.apply_deme(d, {"carrying_capacity": capacity})
    b = H.HookProgramBuilder.for_blueprint(bp)
    b.add_hook("first", [H.set_param("carrying_capacity", H.param("carrying_capacity") + 1.0)],
               demes=range(1, 3))
    b.add_hook("late", [H.set_param("sex_ratio", 0.25)], demes=[3, 0])
    s.set_hook_program(b.build())
    assert s.run_tick() == 1
    assert [s.get_deme_scalar(d, "carrying_capacity") for d in range(4)] == [100.0, 201.0, 301.0, 400.0]
    assert [s.get_deme_scalar(d, "sex_ratio") for d in range(4)] == [0.25, 0.5, 0.5, 0.25]
    assert s.drain_eco_journal() == [(0, 0, 2, 0.5, 0.25), (1, 0, 0, 200.0, 201.0),
                                     (2, 0, 0, 300.0, 301.0), (3, 0, 2, 0.5, 0.25)]


def _child_ticks(queue):
    s, *_ = M.session(12, rate=0.2, stochastic=True, seed=3)
    s.run_steps(5, 0)
    queue.put(s.state_snapshot()[1].tobytes())


def test_fork_child_runs_spatial_ticks_after_the_parent():
    s, *_ = M.session(12, rate=0.2, stochastic=True, seed=3)
    s.run_steps(5, 0)  # the parent's pool is running
    ctx = multiprocessing.get_context("fork")
    q = ctx.Queue()
    p = ctx.Process(target=_child_ticks, args=(q,))
    p.start()
    got = q.get(timeout=60)
    p.join(60)
    assert p.exitcode == 0
    assert got == s.state_snapshot()[1].tobytes()


def test_gil_is_released_during_a_hook_free_tick():
    s, *_ = M.session(20000, rate=0.1, stochastic=True)
    s.run_tick()  # warm up
    counter = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            counter[0] += 1

    th = threading.Thread(target=spin)
    th.start()
    try:
        time.sleep(0.01)
        start = counter[0]
        t0 = time.perf_counter()
        s.run_tick()
        elapsed = time.perf_counter() - t0
        progressed = counter[0] - start
    finally:
        stop.set()
        th.join()
    # With the lock held for the whole call the other thread could not count at all.
    assert elapsed > 0.005
    assert progressed > 1000


def test_checkpoints_restore_streams_and_columns():
    s, *_ = M.session(4, rate=0.2, stochastic=True, seed=8)
    s.run_steps(3, 0)
    assert s.capture_checkpoint() == 3
    s.run_steps(4, 0)
    after = _state(s)
    s.apply_deme(1, {"carrying_capacity": 10.0})
    assert s.restore_from_checkpoint(5) is None
    assert s.restore_from_checkpoint(3) == 3
    assert s.get_deme_scalar(1, "carrying_capacity") == 500.0
    s.run_steps(4, 0)
    again = _state(s)
    assert again[0] == after[0] and again[1].tobytes() == after[1].tobytes()


def test_reseed_matches_a_fresh_session():
    a, *_ = M.session(3, rate=0.3, stochastic=True, seed=1)
    b, *_ = M.session(3, rate=0.3, stochastic=True, seed=77)
    a.reseed(77)
    a.run_steps(4, 0)
    b.run_steps(4, 0)
    assert _state(a)[1].tobytes() == _state(b)[1].tobytes()


def test_run_steps_records_into_a_bound_history_with_deme_logs():
    s, bp, *_ = M.session(3, rate=0.1)
    n, A, Z = 3, bp.n_ages, bp.n_ztypes
    h = _engine_rs.HistoryStore(1 + n * 2 * A * Z + n * A * Z * Z, (n, 2, A, Z), True)
    logs = [_engine_rs.ParameterLog() for _ in range(n)]
    h.bind_logs(logs)
    s.bind_history(h)
    b = H.HookProgramBuilder.for_blueprint(bp)
    b.add_hook("first", [H.set_param("carrying_capacity", 200.0)], demes=1)
    s.set_hook_program(b.build())
    assert s.run_steps(0, 5) == (0, False)
    assert list(h.ticks()) == [0]
    assert s.run_steps(10, 5) == (10, False)
    assert list(h.ticks()) == [0, 5, 10]
    assert s.drain_eco_journal() == []  # the rows went to the deme's log
    assert logs[1].snapshot() == [(0, "carrying_capacity", 500.0, 200.0)]
    assert logs[0].snapshot() == [] and logs[2].snapshot() == []
    assert logs[1].details()[0][2:4] == (1, "first")
    # raw history keeps a checkpoint per row: rewind to tick 5
    assert s.restore_from_checkpoint(5) == 5
    assert list(h.ticks()) == [0, 5]


def test_trigger_deme_event_runs_on_one_deme():
    s, bp, *_ = M.session(3)
    b = H.HookProgramBuilder.for_blueprint(bp)
    b.add_hook("finish", [H.scale(0.5), H.set_param("sex_ratio", 0.25)])
    s.set_hook_program(b.build())
    before = [s.counts(d)[0] for d in range(3)]
    assert s.trigger_deme_event(1, 3) == 0
    after = [s.counts(d)[0] for d in range(3)]
    assert after[0] == before[0] and after[2] == before[2] and after[1] == pytest.approx(before[1] / 2)
    assert s.get_deme_scalar(1, "sex_ratio") == 0.25 and s.get_deme_scalar(0, "sex_ratio") == 0.5
    assert s.drain_eco_journal() == [(1, 0, 2, 0.5, 0.25)]
    assert s.current_tick() == 0


def test_discrete_demes_record_without_sperm_and_match_across_threads():
    def run(threads):
        T.set_worker_threads(threads)
        try:
            s, bp, *_ = M.session(40, rate=0.25, module=T, model="discrete_generation", stochastic=True, seed=4)
            b = H.HookProgramBuilder.for_blueprint(bp)
            b.add_hook("early", [H.kill(0.2, sex="female")], demes=range(10, 20))
            s.set_hook_program(b.build())
            h = T_history(bp, 40)
            s.bind_history(h)
            s.run_steps(6, 3)
            return _state(s), h.query()
        finally:
            T.set_worker_threads(0)

    (t1, ind1, sperm1), rows1 = run(1)
    (t2, ind2, sperm2), rows2 = run(2)
    assert t1 == t2 == 6 and ind1.tobytes() == ind2.tobytes() and rows1.tobytes() == rows2.tobytes()
    assert not sperm1.any()
    assert rows1.shape == (3, 1 + 40 * 2 * 2 * 3)  # ticks 0, 3, 6; counts only


def T_history(bp, n):
    A, Z = bp.n_ages, bp.n_ztypes
    return _engine_rs.HistoryStore(1 + n * 2 * A * Z, (n, 2, A, Z), True)


def test_ctrl_c_ends_run_steps_at_a_tick_boundary(sigint_raises):
    import _thread

    s, *_ = M.session(200, rate=0.1, stochastic=True)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            s.run_steps(10 ** 9, 0)
    finally:
        timer.cancel()
    tick = s.current_tick()
    assert tick > 0 and s.execution_state() == ("Ready", 0)
    assert s.run_tick() == tick + 1  # still usable


def test_a_large_state_moved_for_migration_ticks_like_a_small_one():
    """A state of several megabytes is moved to other memory for migration, its
    values kept (again after a restore brings back a state): the middle deme of
    a long ring of like demes ticks as the middle deme of a ring of three."""
    kw = dict(rate=0.1, n_ages=8, new_adult_age=2, locus=genetics.homing_drive(cutting=0.9, homing=0.9))

    def ring_of(n):
        bp = M.blueprint(n, n_ages=8, new_adult_age=2, locus=kw["locus"])
        ind, sperm = M.initial_state(bp, n, sperm=True)
        ind[:, 1, 2, kw["locus"].labels.index("D/D")] = 20.0  # drive males: the stored sperm holds several types
        return M.session(n, ind=ind, sperm=sperm, **kw)[0]

    big, small = ring_of(3400), ring_of(3)
    assert min(_state(big)[1].nbytes, _state(big)[2].nbytes) > 4 << 20
    # Three ticks: the ends of the short ring sum their flows in another order
    # and reach its middle after that.
    big.run_steps(1, 0)
    assert big.capture_checkpoint() == 1
    big.run_steps(2, 0)
    small.run_steps(3, 0)
    straight, three = _state(big), _state(small)
    assert big.restore_from_checkpoint(1) == 1
    big.run_steps(2, 0)
    again = _state(big)
    assert again[1].tobytes() == straight[1].tobytes() and again[2].tobytes() == straight[2].tobytes()
    (ind, sperm), (ind3, sperm3) = ((s[1].reshape(n, -1), s[2].reshape(n, -1)) for s, n in ((again, 3400), (three, 3)))
    assert ind[1700].tobytes() == ind3[1].tobytes() and sperm[1700].tobytes() == sperm3[1].tobytes()
    assert np.count_nonzero(ind3[1]) > 8 and np.count_nonzero(sperm3[1]) > 8


@pytest.mark.parametrize("threads", [1, 2])
def test_each_deme_reproduces_with_its_own_and_its_refreshed_offspring_tensor(threads):
    """Demes of two variants (drives homing at different rates) side by side,
    then one variant's offspring tensor replaced between ticks: each deme
    ticks as it does in a session whose every deme has its tensor."""
    n, loci = 40, [genetics.homing_drive(cutting=0.9, homing=h) for h in (0.9, 0.4, 0.1)]
    bp = M.blueprint(n, n_ages=4, new_adult_age=1, locus=loci[0])
    ind, sperm = M.initial_state(bp, n, sperm=True)
    ind[:, 1, 1:, loci[0].labels.index("D/D")] = 10.0  # drive males

    def bank(locus):
        return M.genetics(Params(bp, locus, carrying_capacity=500.0, eggs_per_female=20.0,
                                 low_density_growth_rate=4.0, survival_rates=np.full((2, 4), 0.8)))

    def session(tensors, ids):
        return M.session(n, rate=None, bp=bp, bank=[bank(loc) for loc in tensors], ids=ids, ind=ind, sperm=sperm)[0]

    T.set_worker_threads(threads)
    try:
        mixed = session(loci[:2], np.arange(n) % 2)
        alone = [session([loc], np.zeros(n, dtype=np.int64)) for loc in loci]
        assert len({bank(loc)["offspring_tensor"].tobytes() for loc in loci}) == 3
        for s in [mixed, *alone]:
            s.run_steps(2, 0)
        _, now_ind, now_sperm = _state(mixed)
        alone[2].set_state(now_ind.reshape(ind.shape), now_sperm.reshape(sperm.shape), 2)
        src = type("Src", (), {"offspring_tensor": bank(loci[2])["offspring_tensor"]})()
        mixed.refresh_variant_tensors(1, ["offspring_tensor"], src)
        for s in (mixed, alone[0], alone[2]):
            s.run_steps(2, 0)
    finally:
        T.set_worker_threads(0)
    got, even, odd = (_state(s)[1].reshape(n, -1) for s in (mixed, alone[0], alone[2]))
    assert got[0::2].tobytes() == even[0::2].tobytes() and got[1::2].tobytes() == odd[1::2].tobytes()
    assert not np.array_equal(even, odd)
