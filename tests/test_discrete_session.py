"""DiscreteEngineSession: construction, state, staged and Wright-Fisher runs,
recording, checkpoints and callbacks on a population with discrete generations."""

import numpy as np
import pytest

from qorin import _engine_rs, genetics
from qorin import hooks as H
from qorin.contracts import Blueprint, Params

from conftest import raw_params

Session = _engine_rs.DiscreteEngineSession


def model(*, stochastic=False, wf_mode=1, adults=(300.0, 200.0, 100.0), seed=7, **params):
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(2, 1, locus, stochastic=stochastic, discrete_generation=True, extreme_speed_mode=wf_mode)
    bp.initial_individual_count[0, 1, :] = adults
    bp.initial_individual_count[1, 1, :] = adults[::-1]
    defaults = dict(growth_mode=1, carrying_capacity=2000.0, eggs_per_female=6.0, sex_ratio=0.5)
    defaults.update(params)
    return Session(bp, Params(bp, locus, **defaults), seed=seed), bp


def test_surface_differs_from_the_age_structured_session_as_stated():
    s, _ = model()
    for name in ("adult_counts", "reproduction", "survival", "aging"):
        assert not hasattr(s, name)
    for name in ("set_python_callbacks", "clear_python_callbacks", "trigger_event", "observe_current",
                 "bind_history", "record_history", "restore_from_checkpoint", "truncate_checkpoints"):
        assert callable(getattr(s, name))


def test_construction_requires_two_ages():
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(3, 1, locus)
    with pytest.raises(ValueError, match=r"^discrete blueprint must have n_ages == 2, got 3$"):
        Session(bp, Params(bp, locus))


def test_construction_checks_values_like_every_write():
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(2, 1, locus, discrete_generation=True)
    bp.initial_individual_count[0, 1, 0] = np.nan
    with pytest.raises(ValueError, match="state counts must be finite and nonnegative"):
        Session(bp, Params(bp, locus))
    bp.initial_individual_count[0, 1, 0] = 1.0
    with pytest.raises(ValueError, match=r"'sex_ratio' requires a value in \[0, 1\], got 2"):
        Session(bp, raw_params(bp, locus, sex_ratio=2.0))


@pytest.mark.parametrize("ind, tick, message", [
    (np.zeros(11), 0, "ind_flat must contain 12 values, got 11"),
    (np.zeros(12), -1, "tick must be nonnegative"),
    (np.full(12, -1.0), 0, "state counts must be finite and nonnegative"),
    (np.full(12, np.inf), 0, "state counts must be finite and nonnegative"),
])
def test_set_state_refuses_and_keeps_the_previous_state(ind, tick, message):
    s, _ = model()
    before = s.state_snapshot()
    with pytest.raises(ValueError, match=f"^{message}$"):
        s.set_state(ind, tick)
    after = s.state_snapshot()
    assert after[0] == before[0] and np.array_equal(after[1], before[1])


def test_state_snapshot_and_counts():
    s, _ = model()
    tick, ind = s.state_snapshot()
    assert tick == 0 and ind.shape == (12,) and ind.flags.owndata
    total, female, male = s.counts()
    assert (female, male, total) == (ind[:6].sum(), ind[6:].sum(), ind.sum())


def test_wright_fisher_tick_keeps_the_rounded_expected_total():
    expected, _ = model(stochastic=False, wf_mode=3)
    assert expected.tick(True) == 0
    total = expected.counts()[0]
    for seed in range(5):
        s, _ = model(stochastic=True, wf_mode=1, seed=seed)
        assert s.tick(True) == 0
        ind = s.state_snapshot()[1].reshape(2, 2, 3)
        assert ind[:, 0, :].sum() == 0.0
        assert ind[:, 1, :].sum() == np.round(total)


def test_wright_fisher_mode_zero_fails_after_the_first_event():
    s, _ = model(wf_mode=0)
    b = H.HookProgramBuilder(n_ages=2, n_ztypes=3)
    b.add_hook("first", [H.set_param("sex_ratio", 0.25)])
    s.set_hook_program(b.build())
    before = s.state_snapshot()[1]
    with pytest.raises(RuntimeError, match=r"^unrecognised extreme_speed_mode=0$"):
        s.tick(True)
    assert s.execution_state()[0] == "Failed"
    assert s.get_scalar("sex_ratio") == 0.25
    assert np.array_equal(s.state_snapshot()[1], before)
    with pytest.raises(RuntimeError, match="Session is not Ready"):
        s.run(1, 1, True)


@pytest.mark.parametrize("wf", [False, True])
def test_run_records_and_stops(wf):
    s, _ = model()
    final, rows, stopped = s.run(0, 0, wf)
    assert (final, rows.shape, stopped) == (0, (0, 13), False)
    final, rows, stopped = s.run(3, 2, wf)
    assert final == 3 and not stopped and rows[:, 0].tolist() == [0.0, 2.0]
    b = H.HookProgramBuilder(n_ages=2, n_ztypes=3)
    b.add_hook("first", [H.stop_if_above(0.0, when=H.at(4))])
    s.set_hook_program(b.build())
    final, rows, stopped = s.run(5, 1, wf)
    assert (final, stopped) == (4, True) and rows[:, 0].tolist() == [3.0, 4.0]
    assert s.execution_state()[0] == "Stopped"
    with pytest.raises(RuntimeError, match="^Session is not Ready; restore a checkpoint or reset before run$"):
        s.run(1, 1, wf)
    s.set_state(s.state_snapshot()[1], 4)
    assert s.execution_state() == ("Ready", 0)


@pytest.mark.parametrize("wf, stochastic", [(False, True), (True, True), (False, False)])
def test_chunked_runs_and_snapshot_restores_continue_exactly(wf, stochastic):
    whole, _ = model(stochastic=stochastic)
    _, rows_whole, _ = whole.run(12, 1, wf)
    parts, _ = model(stochastic=stochastic)
    _, first, _ = parts.run(5, 1, wf)
    snap = parts.snapshot_state()
    assert len(snap) == 4 and len(snap[2]) == 4
    _, second, _ = parts.run(7, 1, wf)
    assert np.array_equal(np.vstack([first, second[1:]]), rows_whole)
    # Rewind by memory snapshot and run the second part again.
    assert parts.restore_state(*snap) == 5
    _, again, _ = parts.run(7, 1, wf)
    assert np.array_equal(again, second)
    with pytest.raises(ValueError, match="rng_words must contain 4 state words, got 3"):
        parts.restore_state(snap[0], snap[1], snap[2][:3], snap[3])
    for bad in (snap[1][:-1], np.append(snap[1], 0.0)):
        with pytest.raises(ValueError, match="^checkpoint array does not match the live state size$"):
            parts.restore_state(snap[0], bad, snap[2], snap[3])
    # A refused restore changes nothing.
    _, after, _ = parts.run(0, 1, wf)
    assert np.array_equal(after[-1], again[-1])


def test_bound_history_checkpoints_and_parameter_log():
    s, bp = model(stochastic=True)
    store = _engine_rs.HistoryStore(1 + 12, [1, 2, 2, 3], True)
    log = _engine_rs.ParameterLog()
    store.bind_log(log)
    s.bind_history(store)
    b = H.HookProgramBuilder(n_ages=2, n_ztypes=3)
    b.add_hook("early", [H.set_param("eggs_per_female", 5.0, when=H.at(2))])
    s.set_hook_program(b.build())
    final, rows, _ = s.run(6, 1, False)
    assert final == 6 and rows.shape == (0, 0)
    assert store.ticks() == list(range(7))
    assert s.drain_eco_journal() == []
    entries = log.snapshot()
    assert entries == [(2, "eggs_per_female", 6.0, 5.0)]
    state_at_3 = store.row(3)[1:]
    tick, eco = s.restore_from_checkpoint(3)
    assert tick == 3 and np.array_equal(s.state_snapshot()[1], state_at_3)
    assert store.ticks() == [0, 1, 2, 3]
    assert s.restore_from_checkpoint(99) is None


def test_callbacks_see_no_sperm_and_commit_like_everywhere_else():
    s, _ = model(stochastic=True)
    seen = []

    def plain(ind, sperm, tick, deme):
        seen.append((ind.size, sperm.size, tick))
        ind[3] += 10.0  # age-1 females of genotype 0
        return 0

    def txn(a, b, tick, deme, t):
        t.apply({"eggs_per_female": 4.0})
        return 0

    txn.__qorin_transaction__ = True
    s.set_python_callbacks([plain], [txn], [])
    assert s.tick(False) == 0
    assert seen == [(12, 0, 0)]
    assert s.get_scalar("eggs_per_female") == 4.0
    s.set_python_callbacks([lambda *a: 1], [], [])
    assert s.tick(True) == 1
    assert s.execution_state()[0] == "Stopped"


def test_trigger_event_runs_finish_on_the_discrete_state():
    s, _ = model()
    b = H.HookProgramBuilder(n_ages=2, n_ztypes=3)
    b.add_hook("finish", [H.kill(1.0, sex="male")])
    s.set_hook_program(b.build())
    assert s.trigger_event(3) == 0
    total, female, male = s.counts()
    assert male == 0.0 and female > 0.0 and s.current_tick() == 0


@pytest.mark.parametrize("wf, event", [(False, "first"), (False, "early"), (False, "late"), (True, "first")])
def test_conditions_see_the_tick_being_run(wf, event):
    s, bp = model()
    b = H.HookProgramBuilder.for_blueprint(bp)
    b.add_hook(event, H.set_param("eggs_per_female", H.param("eggs_per_female") + 1.0, when=H.after(1) & H.until(3)))
    s.set_hook_program(b.build())
    assert s.run(6, 1, wf)[0] == 6
    assert s.drain_eco_journal() == [(2, 1, 6.0, 7.0), (3, 1, 7.0, 8.0)]
