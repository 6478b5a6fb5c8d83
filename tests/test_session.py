"""EngineSession: construction, ticks, state access, parameters, execution states."""

import numpy as np
import pytest

from qorin import _engine_rs, genetics
from qorin.contracts import Blueprint, Params

from conftest import raw_blueprint
from numpy_model import NumpyTick

EngineSession = _engine_rs.EngineSession


def model(n_ages=4, locus=None, stochastic=False, continuous=False, **params):
    locus = locus or genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=n_ages, new_adult_age=2, locus=locus, stochastic=stochastic,
                   continuous_sampling=continuous)
    bp.initial_individual_count[:, 2:, :] = 50.0
    p = Params(bp, locus, **params)
    return bp, p


def test_deterministic_ticks_match_numpy_model():
    rng = np.random.default_rng(11)
    locus = genetics.combine(genetics.autosomal_locus(2), genetics.xy_locus(1))
    bp, p = model(n_ages=5, locus=locus, growth_mode=3, sperm_displacement_rate=0.3,
                  survival_rates=rng.uniform(0.6, 1.0, (2, 5)),
                  fecundity_fitness=rng.uniform(0.5, 1.5, (2, locus.n_ztypes)))
    bp.initial_individual_count[:] = rng.uniform(0, 40, bp.initial_individual_count.shape)
    s = EngineSession(bp, p, seed=3)
    ref = NumpyTick(bp, p, _engine_rs.equilibrium_metrics(bp, p))
    ind = np.array(bp.initial_individual_count, float).reshape(2, 5, -1)
    sperm = np.zeros((5, locus.n_ztypes, locus.n_ztypes))
    for t in range(30):
        assert s.tick(0) == 0
        ref.tick(ind, sperm)
        tick, got_ind, got_sperm = s.state_snapshot()
        assert tick == t + 1
        np.testing.assert_allclose(got_ind, ind.ravel(), rtol=1e-11, atol=1e-9)
        np.testing.assert_allclose(got_sperm, sperm.ravel(), rtol=1e-11, atol=1e-9)
        stored = got_sperm.reshape(sperm.shape).sum(axis=2)
        assert (stored <= got_ind.reshape(ind.shape)[0] * (1 + 1e-12) + 1e-12).all()


@pytest.mark.parametrize("stochastic, continuous", [(True, False), (True, True)])
def test_equal_seeds_reproduce_and_different_seeds_diverge(stochastic, continuous):
    bp, p = model(stochastic=stochastic, continuous=continuous)
    runs = []
    for seed in (5, 5, 6):
        s = EngineSession(bp, p, seed=seed)
        for _ in range(15):
            s.tick(0)
        runs.append(s.state_snapshot())
    np.testing.assert_array_equal(runs[0][1], runs[1][1])
    np.testing.assert_array_equal(runs[0][2], runs[1][2])
    assert not np.array_equal(runs[0][1], runs[2][1])
    if not continuous:
        assert (runs[0][1] == np.round(runs[0][1])).all()


def test_reseed_restarts_the_stream():
    bp, p = model(stochastic=True)
    a = EngineSession(bp, p, seed=9)
    b = EngineSession(bp, p, seed=1)
    b.reseed(9)
    for _ in range(5):
        a.tick(0)
        b.tick(0)
    np.testing.assert_array_equal(a.state_snapshot()[1], b.state_snapshot()[1])


def test_stage_methods_leave_tick_and_state_alone():
    bp, p = model()
    s = EngineSession(bp, p)
    s.reproduction()
    s.survival()
    s.aging()
    assert s.current_tick() == 0 and s.execution_state() == ("Ready", 0)
    t = EngineSession(bp, p)
    t.tick(0)
    np.testing.assert_array_equal(s.state_snapshot()[1], t.state_snapshot()[1])


def test_counts_are_numpy_sums_bit_for_bit():
    rng = np.random.default_rng(2)
    bp, p = model(n_ages=7, locus=genetics.autosomal_locus(4))
    s = EngineSession(bp, p)
    A, Z = 7, 10
    ind = rng.standard_normal(2 * A * Z) ** 2 * 10.0 ** rng.integers(-3, 9, 2 * A * Z)
    s.set_state(ind, np.zeros(A * Z * Z), 4)
    total, female, male = s.counts()
    assert total == float(np.sum(ind))
    assert female == float(np.sum(ind[:A * Z])) and male == float(np.sum(ind[A * Z:]))
    at, af, am = s.adult_counts()
    i3 = ind.reshape(2, A, Z)
    assert af == float(np.sum(i3[0, 2:].ravel())) and am == float(np.sum(i3[1, 2:].ravel()))
    assert at == af + am


def test_adult_counts_empty_when_no_adult_ages():
    locus = genetics.autosomal_locus(2)
    bp = raw_blueprint(3, 3, locus)  # no adult age: the host layer refuses it
    bp.initial_individual_count[:] = 1.0
    s = EngineSession(bp, Params(bp, locus))
    assert s.adult_counts() == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("ind_len, sperm_len, tick, exc, message", [
    (47, 64, 0, ValueError, "ind_flat must contain 48 values, got 47"),
    (48, 63, 0, ValueError, "sperm_flat must contain 64 values, got 63"),
    (48, 64, -1, ValueError, "tick must be nonnegative"),
])
def test_set_state_rejects_and_keeps_state(ind_len, sperm_len, tick, exc, message):
    bp, p = model(n_ages=4, locus=genetics.autosomal_locus(3))  # Z = 6: 2*4*6 = 48, 4*6*6 = 144
    s = EngineSession(bp, p)
    before = s.state_snapshot()
    A, Z = 4, 6
    ind_len = ind_len if ind_len != 48 else 2 * A * Z
    sperm_len = {64: A * Z * Z, 63: A * Z * Z - 1}[sperm_len]
    message = message.replace("48", str(2 * A * Z)).replace("64", str(A * Z * Z)).replace(
        "63", str(A * Z * Z - 1))
    with pytest.raises(exc) as e:
        s.set_state(np.ones(ind_len), np.zeros(sperm_len), tick)
    assert str(e.value) == message
    after = s.state_snapshot()
    assert before[0] == after[0]
    np.testing.assert_array_equal(before[1], after[1])


@pytest.mark.parametrize("bad", [np.nan, np.inf, -1.0])
def test_set_state_rejects_bad_counts(bad):
    bp, p = model()
    s = EngineSession(bp, p)
    ind = np.ones(2 * 4 * 3)
    ind[5] = bad
    with pytest.raises(ValueError, match="^state counts must be finite and nonnegative$"):
        s.set_state(ind, np.zeros(4 * 9), 0)
    with pytest.raises(TypeError):
        s.set_state("abc", np.zeros(4 * 9), 0)
    with pytest.raises(OverflowError):
        s.set_state(np.ones(24), np.zeros(36), 2**63)


def test_execution_states_and_not_ready():
    bp, p = model()
    s = EngineSession(bp, p)
    s.stop()
    assert s.execution_state() == ("Stopped", 0)
    with pytest.raises(RuntimeError, match="^Session is not Ready; restore a checkpoint or reset before run$"):
        s.tick(0)
    assert s.current_tick() == 0
    _, ind, sperm = s.state_snapshot()
    s.set_state(ind, sperm, 7)
    assert s.execution_state() == ("Ready", 0) and s.current_tick() == 7
    assert s.tick(0) == 0 and s.current_tick() == 8


def test_set_execution_flags():
    bp, p = model()
    s = EngineSession(bp, p, seed=4)
    with pytest.raises(ValueError, match="^extreme_speed_mode must be between 0 and 3$"):
        s.set_execution_flags(True, False, False, 4)
    s.tick(0)
    det = EngineSession(bp, p, seed=4)
    det.tick(0)
    np.testing.assert_array_equal(s.state_snapshot()[1], det.state_snapshot()[1])
    s.set_execution_flags(True, False, False, 0)
    _, ind, sperm = s.state_snapshot()
    s.set_state(np.round(ind), np.zeros_like(sperm), 1)  # integral counts for the sampling mode
    s.tick(0)
    assert (s.state_snapshot()[1] == np.round(s.state_snapshot()[1])).all()
    with pytest.raises(TypeError):
        s.set_execution_flags(1, False, False, 0)


def test_parameter_surface():
    bp, p = model()
    s = EngineSession(bp, p)
    s.apply({"sex_ratio": 0.25, "carrying_capacity": 10.0})
    assert s.get_scalar("sex_ratio") == 0.25
    with pytest.raises(ValueError):
        s.apply({"eggs_per_female": 3.0, "sex_ratio": 2.0})
    assert s.get_scalar("eggs_per_female") == p.eggs_per_female  # atomic
    with pytest.raises(KeyError):
        s.apply({"no_such_field": 1.0})
    surv = s.get_tensor("survival_rates")
    assert surv.flags.owndata and surv.shape == (8,)
    s.tensor_write("survival_rates", np.full(8, 0.5))
    np.testing.assert_array_equal(s.get_tensor("survival_rates"), np.full(8, 0.5))
    with pytest.raises(ValueError, match="requires finite nonnegative values"):
        s.tensor_write("survival_rates", [0.5] * 7 + [np.nan])
    np.testing.assert_array_equal(s.get_tensor("survival_rates"), np.full(8, 0.5))
    fec = s.get_tensor("fecundity_fitness")
    s.tensor_write("fecundity_fitness", fec * 2)
    np.testing.assert_array_equal(s.get_tensor("fecundity_fitness"), fec * 2)
    with pytest.raises(ValueError):
        s.tensor_write("fecundity_fitness", fec[:-1])
    s.set_custom_slots({"x": 1.5, "v": np.arange(3.0)})
    slots = s.get_custom_slots()
    assert slots["x"] == 1.5 and list(slots["v"]) == [0.0, 1.0, 2.0]
    p2 = Params(bp, sex_ratio=0.75)
    s.refresh_params(["sex_ratio"], p2)
    assert s.get_scalar("sex_ratio") == 0.75


def test_drain_journal_empty_without_hooks():
    bp, p = model()
    s = EngineSession(bp, p)
    s.tick(0)
    assert s.drain_eco_journal() == []
    assert s.drain_eco_journal() == []


def test_trigger_event_rejects_unknown_event():
    bp, p = model()
    s = EngineSession(bp, p)
    for bad in (-1, 4):
        with pytest.raises(ValueError, match="^unknown hook event$"):
            s.trigger_event(bad)
    assert s.trigger_event(3) == 0


def test_construction_reports_contract_faults():
    bp, p = model()
    del bp.n_ages
    with pytest.raises(AttributeError):
        EngineSession(bp, p)
    bp, p = model()
    bp.adult_ages = np.array([1, 2, 3], dtype=np.int64)
    with pytest.raises(ValueError, match=r"^Blueprint.adult_ages: expected \[2, 3\], got \[1, 2, 3\]$"):
        EngineSession(bp, p)
    bp, p = model()
    p.survival_rates = np.ones(3)
    with pytest.raises(ValueError):
        EngineSession(bp, p)
    with pytest.raises(OverflowError):
        EngineSession(*model(), seed=-1)
    with pytest.raises(TypeError):
        EngineSession(*model(), seed=1, extra=2)


def test_session_does_not_alias_inputs():
    bp, p = model()
    s = EngineSession(bp, p)
    bp.initial_individual_count[:] = 1e6
    p.survival_rates[:] = 0.0
    assert s.counts()[0] == 2 * 2 * 3 * 50.0
    _, ind, _ = s.state_snapshot()
    ind[:] = -1
    assert s.counts()[0] == 2 * 2 * 3 * 50.0


@pytest.mark.parametrize("growth_mode", [2, 3, 4])
def test_population_at_declared_equilibrium_stays_there(growth_mode):
    # A deterministic population started on its declared equilibrium replaces
    # itself tick after tick under the calibrated growth modes.
    locus = genetics.autosomal_locus(2)
    A = 5
    bp = Blueprint(n_ages=A, new_adult_age=2, locus=locus)
    surv = np.array([[0.5, 0.8, 0.7, 0.6, 0.4], [0.55, 0.75, 0.7, 0.6, 0.4]])
    lf, lm = np.zeros(A), np.zeros(A)
    # A consistent declaration: age 1 is what survival makes of a 0.6 / 0.4 cohort.
    e2 = 0.6 * surv[0, 0] + 0.4 * surv[1, 0]
    lf[1], lm[1] = 200.0 * (0.6 * surv[0, 0]) / e2, 200.0 * (0.4 * surv[1, 0]) / e2
    for a in range(2, A):
        lf[a], lm[a] = lf[a - 1] * surv[0, a - 1], lm[a - 1] * surv[1, a - 1]
    declared = np.stack([lf, lm])
    params = Params(bp, locus, growth_mode=growth_mode, survival_rates=surv, sex_ratio=0.6,
                    eggs_per_female=12.0, competition_weights=[1.0, 0.3, 0.0, 0.0, 0.0],
                    equilibrium_distribution=declared, sperm_displacement_rate=0.0)
    freqs = np.array([0.25, 0.5, 0.25])  # Hardy-Weinberg at p = 0.5
    ind = declared[:, :, None] * freqs[None, None, :]
    bp.initial_individual_count[:] = ind
    s = EngineSession(bp, params)
    for _ in range(12):
        s.tick(0)
    got = s.state_snapshot()[1].reshape(2, A, 3)
    np.testing.assert_allclose(got[:, 1:], ind[:, 1:], rtol=1e-10)


def test_reentrant_calls_are_refused():
    bp, p = model()
    s = EngineSession(bp, p)
    seen = []

    class Sneaky:
        def __float__(self):
            for call in (lambda: s.get_scalar("sex_ratio"), lambda: s.tick(0)):
                try:
                    call()
                except RuntimeError as e:
                    seen.append(str(e))
            return 0.25

    s.apply({"sex_ratio": Sneaky()})
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    assert s.get_scalar("sex_ratio") == 0.25 and s.current_tick() == 0
