"""The run loop, history binding and recording, checkpoint capture and restore."""

import numpy as np
import pytest

from qorin import _engine_rs, genetics
from qorin.contracts import Blueprint, Params

EngineSession = _engine_rs.EngineSession
HistoryStore = _engine_rs.HistoryStore
ParameterLog = _engine_rs.ParameterLog

A, Z = 4, 3
WIDTH = 1 + 2 * A * Z + A * Z * Z


def session(stochastic=True, continuous=False, seed=1):
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=A, new_adult_age=2, locus=locus, stochastic=stochastic,
                   continuous_sampling=continuous)
    bp.initial_individual_count[:, 2:, :] = 40.0
    return EngineSession(bp, Params(bp, locus), seed=seed)


def test_run_zero_visits_one_boundary():
    s = session()
    t, rows, stopped = s.run(0, 1)
    assert (t, rows.shape, stopped) == (0, (1, WIDTH), False)
    assert rows[0, 0] == 0.0
    np.testing.assert_array_equal(rows[0, 1:1 + 2 * A * Z], s.state_snapshot()[1])


def test_run_records_multiples_of_the_interval():
    s = session()
    t, rows, stopped = s.run(3, 2)
    assert t == 3 and not stopped and rows[:, 0].tolist() == [0.0, 2.0]
    assert s.execution_state() == ("Ready", 0) and s.current_tick() == 3
    t, rows, _ = s.run(2, 0)
    assert t == 5 and rows.shape == (0, WIDTH)
    t, rows, _ = s.run(-4, 1)
    assert t == 5 and rows[:, 0].tolist() == [5.0]


def test_run_equals_tick_by_tick():
    a, b = session(seed=9), session(seed=9)
    _, rows, _ = a.run(6, 1)
    for k in range(6):
        np.testing.assert_array_equal(rows[k, 1:1 + 2 * A * Z], b.state_snapshot()[1])
        b.tick(0)
    np.testing.assert_array_equal(a.state_snapshot()[1], b.state_snapshot()[1])
    assert a.snapshot_state()[3] == b.snapshot_state()[3]


def test_observation_mask_records_projected_rows():
    s = session(stochastic=False)
    mask = np.ones((1, 2, A, Z))
    _, rows, _ = s.run(2, 1, observation_mask=mask)
    assert rows.shape == (3, 1 + 2 * A)
    _, obs = s.observe_current(mask.ravel(), [0], False, False)
    np.testing.assert_array_equal(rows[-1, 1:], obs)
    with pytest.raises(TypeError):
        s.run(1, 1, observation_mask=mask.ravel())


def test_not_ready_run_fails_without_change():
    s = session()
    s.stop()
    with pytest.raises(RuntimeError, match="^Session is not Ready"):
        s.run(3, 1)
    assert s.current_tick() == 0 and s.execution_state() == ("Stopped", 0)


def test_record_history_requires_binding():
    s = session()
    with pytest.raises(ValueError, match="^History is not initialized$"):
        s.record_history(False)
    with pytest.raises(TypeError):
        s.bind_history(object())


def test_bound_history_collects_rows_and_checkpoints():
    s = session()
    h = HistoryStore(WIDTH, (1, 2, A, Z), True)
    s.bind_history(h)
    t, rows, stopped = s.run(4, 2)
    assert rows.shape == (0, 0) and h.ticks() == [0, 2, 4]
    # A checkpoint was captured at every recorded row of the raw history.
    snap_after = s.snapshot_state()
    back = s.restore_from_checkpoint(2)
    assert back[0] == 2 and s.current_tick() == 2
    assert h.ticks() == [0, 2]
    np.testing.assert_array_equal(h.row(2)[1:1 + 2 * A * Z], s.state_snapshot()[1])
    # Re-running from the checkpoint reproduces the same rows draw for draw.
    s.truncate_checkpoints(2)
    s.run(2, 2)
    assert h.ticks() == [0, 2, 4]
    np.testing.assert_array_equal(h.row(4)[1:], np.concatenate([snap_after[1], snap_after[2]]))
    assert s.restore_from_checkpoint(3) is None


def test_restore_from_missing_history_tick_changes_nothing():
    s = session()
    h = HistoryStore(WIDTH, (1, 2, A, Z), True)
    s.bind_history(h)
    s.run(2, 1)
    h.truncate(0)
    before = s.snapshot_state()
    with pytest.raises(ValueError, match=r"^Tick 2 not found in history\.$"):
        s.restore_from_checkpoint(2)
    after = s.snapshot_state()
    assert before[0] == after[0] and before[3] == after[3]
    np.testing.assert_array_equal(before[1], after[1])


def test_history_eviction_drops_old_checkpoints():
    s = session()
    h = HistoryStore(WIDTH, (1, 2, A, Z), True, max_rows=2)
    s.bind_history(h)
    s.run(4, 1)
    assert h.ticks() == [3, 4]
    assert s.restore_from_checkpoint(1) is None
    assert s.restore_from_checkpoint(3)[0] == 3


def test_record_history_stamps_boundary_and_continuation():
    s = session()
    h = HistoryStore(WIDTH, (1, 2, A, Z), True)
    s.bind_history(h)
    s.record_history(False)
    s.record_history(True)  # same state: accepted as already recorded
    with pytest.raises(ValueError, match=r"^History already contains tick 0\.$"):
        s.record_history(False)
    s.stop()
    s.tick  # noqa: B018 - still bound
    _, ind, sperm = s.state_snapshot()
    s.set_state(ind, sperm, 5)
    s.stop()
    s.record_history(False)
    assert h.boundaries()[-1] == (5, 0, "Stopped")
    assert h.ticks() == [0, 5]


def test_shared_history_across_two_sessions_stays_ordered():
    h = HistoryStore(WIDTH, (1, 2, A, Z), True)
    a, b = session(seed=1), session(seed=2)
    a.bind_history(h)
    a.run(3, 1)
    b.bind_history(h)
    _, ind, sperm = a.state_snapshot()
    b.set_state(ind, sperm, 3)
    b.run(2, 1)  # tick 3 is a continuation of the same boundary
    assert h.ticks() == [0, 1, 2, 3, 4, 5]
    with pytest.raises(ValueError, match="^Kernel History starts before the latest recorded tick$"):
        a.set_state(ind, sperm, 1)
        a.run(0, 1)
    assert a.execution_state()[0] == "Failed"


@pytest.mark.parametrize("stochastic, continuous", [(False, False), (True, False), (True, True)])
def test_snapshot_run_restore_run_is_identical(stochastic, continuous):
    from qorin import hooks as H
    s = session(stochastic, continuous, seed=4)
    b = H.HookProgramBuilder(n_ages=A, n_ztypes=Z)
    b.add_hook("first", [H.set_param("eggs_per_female", H.param("eggs_per_female") + 0.5)])
    b.add_hook("late", [H.kill(0.1, sex="female", ages=[3], when=H.every(2))])
    s.set_hook_program(b.build())
    s.run(2, 1)
    s.drain_eco_journal()
    snap = s.snapshot_state()
    _, rows1, _ = s.run(5, 1)
    end1 = s.snapshot_state()
    journal1 = s.drain_eco_journal()
    s.restore_state(*snap)
    _, rows2, _ = s.run(5, 1)
    np.testing.assert_array_equal(rows1, rows2)
    np.testing.assert_array_equal(end1[1], s.state_snapshot()[1])
    assert end1[3] == s.snapshot_state()[3]
    assert len(journal1) == 5 and s.drain_eco_journal() == journal1


def test_private_history_checkpoints_every():
    s = session()
    s.run(6, 1, checkpoint_every=3)
    assert s.restore_from_checkpoint(2) is None
    assert s.restore_from_checkpoint(3)[0] == 3
    assert s.restore_from_checkpoint(6)[0] == 6
