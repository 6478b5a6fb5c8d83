"""Hook programs driven through EngineSession: stops, commits, journal routing."""

import numpy as np
import pytest

from qorin import _engine_rs, genetics
from qorin import hooks as H
from qorin.contracts import Blueprint, Params

EngineSession = _engine_rs.EngineSession
A, Z = 4, 3
WIDTH = 1 + 2 * A * Z + A * Z * Z


def session(stochastic=False, seed=1):
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=A, new_adult_age=2, locus=locus, stochastic=stochastic)
    bp.initial_individual_count[:, 2:, :] = 40.0
    return EngineSession(bp, Params(bp, locus, eggs_per_female=10.0, sex_ratio=0.5), seed=seed)


def program(*hooks):
    b = H.HookProgramBuilder(n_ages=A, n_ztypes=Z)
    for event, ops in hooks:
        b.add_hook(event, ops)
    return b.build()


def test_stop_in_first_keeps_state_but_journals_committed_writes():
    s = session()
    s.set_hook_program(program(("first", [H.set_param("sex_ratio", 0.3), H.stop_if_above(0.0)])))
    before = s.state_snapshot()
    assert s.tick(0) == 1
    after = s.state_snapshot()
    assert after[0] == 0
    np.testing.assert_array_equal(before[1], after[1])
    np.testing.assert_array_equal(before[2], after[2])
    assert s.execution_state() == ("Stopped", 0)
    assert s.get_scalar("sex_ratio") == 0.3
    assert s.drain_eco_journal() == [(0, 2, 0.5, 0.3)]
    with pytest.raises(RuntimeError, match="^Session is not Ready"):
        s.tick(0)


def test_out_of_bounds_staging_fails_the_tick_before_reproduction():
    s = session()
    s.set_hook_program(program(("first", [H.set_param("sex_ratio", 1.5)])))
    before = s.state_snapshot()
    with pytest.raises(RuntimeError) as e:
        s.tick(0)
    assert str(e.value) == ("set_param value out of bounds: 'sex_ratio' requires a value in [0, 1], "
                            "got 1.5 (tick 0)")
    assert s.execution_state()[0] == "Failed"
    np.testing.assert_array_equal(before[1], s.state_snapshot()[1])
    assert s.get_scalar("sex_ratio") == 0.5


def test_parameter_writes_take_effect_within_the_tick():
    # Eggs set to zero in `first`: no newborns this very tick.
    s = session()
    s.set_hook_program(program(("first", [H.set_param("eggs_per_female", 0.0)])))
    s.tick(0)
    ind = s.state_snapshot()[1].reshape(2, A, Z)
    assert (ind[:, 1] == 0).all()  # last tick's newborns (none) aged into age 1
    assert s.drain_eco_journal() == [(0, 1, 10.0, 0.0)]
    s.tick(0)
    assert s.drain_eco_journal() == []  # same value again: not journaled


def test_stop_in_a_later_hook_keeps_earlier_hooks():
    s = session()
    s.set_hook_program(program(
        ("early", [H.kill(0.5, sex="male", ages=[2])]),
        ("early", [H.stop_if_above(0.0)]),
        ("early", [H.kill(1.0)])))
    assert s.tick(0) == 1
    ind = s.state_snapshot()[1].reshape(2, A, Z)
    assert (ind[1, 2] == 20.0).all() and (ind[0, 2] == 40.0).all()
    assert s.execution_state() == ("Stopped", 2)


def test_run_routes_journal_to_bound_history_log():
    s = session()
    s.set_hook_program(program(
        ("first", [H.set_param("eggs_per_female", H.param("eggs_per_female") + 1.0)])))
    h = _engine_rs.HistoryStore(WIDTH, (1, 2, A, Z), True)
    log = _engine_rs.ParameterLog()
    h.bind_log(log)
    s.bind_history(h)
    s.run(3, 1)
    assert s.drain_eco_journal() == []
    assert log.snapshot() == [(0, "eggs_per_female", 10.0, 11.0), (1, "eggs_per_female", 11.0, 12.0),
                              (2, "eggs_per_female", 12.0, 13.0)]
    assert [d[3] for d in log.details()] == ["first"] * 3
    # Restoring a checkpoint cuts the log back together with the rows.
    s.restore_from_checkpoint(1)
    assert h.ticks() == [0, 1]
    assert len(log.snapshot()) == 1
    assert s.get_scalar("eggs_per_female") == 11.0


@pytest.mark.parametrize("bound", [False, True])
def test_failed_run_keeps_the_audit_trail(bound):
    # Eggs rise every tick in `first`; at tick 2 `late` stages an invalid sex
    # ratio and the tick fails. The three committed eggs changes stay in the
    # parameters, so they must reach the journal (or the bound log) too.
    s = session()
    s.set_hook_program(program(
        ("first", [H.set_param("eggs_per_female", H.param("eggs_per_female") + 1.0)]),
        ("late", [H.set_param("sex_ratio", 1.5, start=2, every=1000)])))
    log = _engine_rs.ParameterLog()
    if bound:
        h = _engine_rs.HistoryStore(WIDTH, (1, 2, A, Z), True)
        h.bind_log(log)
        s.bind_history(h)
    with pytest.raises(RuntimeError, match="set_param value out of bounds"):
        s.run(5, 1)
    assert s.current_tick() == 2 and s.execution_state()[0] == "Failed"
    assert s.get_scalar("eggs_per_female") == 13.0
    rows = log.snapshot() if bound else s.drain_eco_journal()
    assert [r[3] for r in rows] == [11.0, 12.0, 13.0]
    if bound:
        assert s.drain_eco_journal() == []


def test_trigger_event_runs_finish_and_commits_with_stage_six():
    s = session()
    s.set_hook_program(program(("finish", [H.set_param("carrying_capacity", 5.0)])))
    assert s.trigger_event(3) == 0
    assert s.get_scalar("carrying_capacity") == 5.0 and s.current_tick() == 0
    h = _engine_rs.HistoryStore(WIDTH, (1, 2, A, Z), True)
    log = _engine_rs.ParameterLog()
    h.bind_log(log)
    s.bind_history(h)
    s.set_hook_program(program(("finish", [H.set_param("carrying_capacity", 6.0)])))
    s.trigger_event(3)
    assert [d[3] for d in log.details()] == ["finish"]


def test_release_every_ten_ticks_is_reproducible():
    def run(seed):
        s = session(stochastic=True, seed=seed)
        s.set_hook_program(program(("early", [H.release(25.0, sex="male", ages=[2], ztypes=[2],
                                                        when=H.every(10))])))
        _, rows, _ = s.run(30, 5)
        return rows

    np.testing.assert_array_equal(run(3), run(3))
    assert not np.array_equal(run(3), run(4))


def test_clear_and_replace_hook_program():
    s = session()
    s.set_hook_program(program(("first", [H.stop_if_above(0.0)])))
    with pytest.raises(AttributeError):
        s.set_hook_program(object())
    assert s.tick(0) == 1  # the old program is still installed
    _, ind, sperm = s.state_snapshot()
    s.set_state(ind, sperm, 0)
    s.clear_hook_program()
    assert s.tick(0) == 0


@pytest.mark.parametrize("event", ["first", "early", "late"])
def test_conditions_see_the_tick_being_run(event):
    # The write fires on ticks 2 and 3 only; the journal names the tick of each.
    s = session()
    s.set_hook_program(program((event, [H.set_param("eggs_per_female", H.param("eggs_per_female") + 1.0,
                                                    when=H.after(1) & H.until(3))])))
    assert s.run(6, 1)[0] == 6
    assert s.drain_eco_journal() == [(2, 1, 10.0, 11.0), (3, 1, 11.0, 12.0)]
