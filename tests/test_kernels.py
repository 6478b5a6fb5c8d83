"""Lifecycle kernels on tiny hand-worked models: reproduction, survival, aging."""

import numpy as np
import pytest

from qorin import genetics
from qorin import _engine_testing as T

WORDS = T.rng_new(12345) if hasattr(T, "rng_new") else [1, 2, 3, 4]


def inputs(A, Z, **over):
    d = dict(
        mating_rates=np.ones(2 * A), reproduction_rates=np.ones(A), fertility=np.ones(A),
        survival_rates=np.ones(2 * A), competition_weights=np.ones(A),
        viability_fitness=np.ones(2 * A * Z), fecundity_fitness=np.ones(2 * Z),
        sexual_selection_fitness=np.ones(Z * Z), zygote_viability_fitness=np.ones(2 * Z),
        offspring_tensor=np.ones(Z ** 3) / Z, female_ztype_compatibility=np.ones(Z),
        male_ztype_compatibility=np.ones(Z), carrying_capacity=100.0, eggs_per_female=10.0,
        sex_ratio=0.5, sperm_displacement_rate=0.0, low_density_growth_rate=2.0, growth_mode=0.0)
    for k, v in over.items():
        d[k] = np.asarray(v, dtype=float) if isinstance(v, (list, tuple, np.ndarray)) else v
    return d


def stage(name, ind, sperm, A, Z, mode="deterministic", new_adult_age=1, words=None, **kw):
    sex = {k: kw.pop(k) for k in ("female_only", "male_only", "fixed_egg_count") if k in kw}
    eq = kw.pop("equilibrium", None)
    inp = inputs(A, Z, **kw)
    if eq is not None:
        inp["equilibrium"] = eq
    return T.lifecycle_stage(name, np.asarray(ind, float), np.asarray(sperm, float), A, Z,
                             new_adult_age, mode, inp, list(words or WORDS), **sex)


def test_deterministic_reproduction_by_hand():
    # One genotype, ages 0 (juvenile) and 1 (adult): 10 females, 5 males at age 1.
    ind = [0, 10, 0, 5]
    ind2, sperm2, _ = stage("reproduction", ind, np.zeros(2), 2, 1, mating_rates=[0, 0.5, 0, 1.0])
    # 5 of the 10 virgins mate; each lays 10 eggs; half daughters, half sons.
    assert sperm2.tolist() == [0.0, 5.0]
    assert ind2.tolist() == [25.0, 10.0, 25.0, 5.0]


def test_deterministic_survival_by_hand():
    ind = [25, 10, 25, 5]
    sperm = [0, 5]
    ind2, sperm2, _ = stage("survival", ind, sperm, 2, 1, survival_rates=[0.5, 0.8, 0.6, 0.9])
    assert ind2.tolist() == [12.5, 8.0, 15.0, 4.5]
    assert sperm2.tolist() == [0.0, 4.0]


def test_aging_shifts_and_drops_last_class():
    A, Z = 3, 2
    ind = np.arange(1, 2 * A * Z + 1, dtype=float)
    sperm = np.arange(1, A * Z * Z + 1, dtype=float)
    ind2, sperm2, words = stage("aging", ind, sperm, A, Z)
    i = ind.reshape(2, A, Z)
    want = np.zeros_like(i)
    want[:, 1:] = i[:, :-1]
    np.testing.assert_array_equal(ind2.reshape(2, A, Z), want)
    s = sperm.reshape(A, Z, Z)
    assert (sperm2.reshape(A, Z, Z)[0] == 0).all()
    np.testing.assert_array_equal(sperm2.reshape(A, Z, Z)[1:], s[:-1])
    assert words == list(WORDS)
    ind1, sperm1, _ = stage("aging", [3.0, 4.0], [2.0], 1, 1)
    assert ind1.tolist() == [0.0, 0.0] and sperm1.tolist() == [0.0]


@pytest.mark.parametrize("mode", ["deterministic", "stochastic", "continuous"])
def test_no_adult_males_changes_nothing(mode):
    ind = [7, 10, 3, 0]
    sperm = [0, 4]
    ind2, sperm2, words = stage("reproduction", ind, sperm, 2, 1, mode=mode)
    assert ind2.tolist() == [7, 10, 3, 0] and sperm2.tolist() == [0, 4]
    assert words == list(WORDS)


@pytest.mark.parametrize("mode", ["deterministic", "stochastic", "continuous"])
def test_all_zero_preference_row_gets_no_matings(mode):
    # Two genotypes; females of type 0 accept nobody, type 1 accepts everybody.
    A, Z = 2, 2
    ind = np.zeros((2, A, Z))
    ind[0, 1] = [20, 20]
    ind[1, 1] = [10, 10]
    pref = [0, 0, 1, 1]
    _, sperm2, _ = stage("reproduction", ind.ravel(), np.zeros(A * Z * Z), A, Z, mode=mode,
                         sexual_selection_fitness=pref, eggs_per_female=0.0)
    s = sperm2.reshape(A, Z, Z)
    assert (s[1, 0] == 0).all()
    assert s[1, 1].sum() > 0


def test_displacement_rate_one_redistributes_stored_sperm():
    A, Z = 2, 2
    ind = np.zeros((2, A, Z))
    ind[0, 1] = [10, 0]
    ind[1, 1] = [0, 4]  # only type-1 males available now
    sperm = np.zeros((A, Z, Z))
    sperm[1, 0, 0] = 10  # all females hold type-0 sperm
    _, s2, _ = stage("reproduction", ind.ravel(), sperm.ravel(), A, Z,
                     sperm_displacement_rate=1.0, eggs_per_female=0.0)
    assert s2.reshape(A, Z, Z)[1, 0].tolist() == [0.0, 10.0]
    _, s0, _ = stage("reproduction", ind.ravel(), sperm.ravel(), A, Z,
                     sperm_displacement_rate=0.0, eggs_per_female=0.0)
    assert s0.reshape(A, Z, Z)[1, 0].tolist() == [10.0, 0.0]


def test_fixed_egg_count_in_stochastic_mode():
    ind = [0, 6, 0, 5]
    sperm = [0, 6]
    ind2, _, _ = stage("reproduction", ind, sperm, 2, 1, mode="stochastic", fixed_egg_count=True,
                       mating_rates=[0, 0, 0, 1], eggs_per_female=2.5, sex_ratio=1.0)
    assert ind2.tolist() == [15.0, 6.0, 0.0, 5.0]  # round(6 * 2.5) daughters


def test_female_only_zygotes_never_become_sons():
    model = genetics.xy_locus(1)  # X/X, X/Y
    A, Z = 2, 2
    ind = np.zeros((2, A, Z))
    ind[0, 1, 0] = 10
    ind[1, 1, 1] = 10
    for mode in ("deterministic", "stochastic", "continuous"):
        ind2, _, _ = stage("reproduction", ind.ravel(), np.zeros(A * Z * Z), A, Z, mode=mode,
                           offspring_tensor=model.offspring_tensor, sex_ratio=0.0,
                           female_only=model.female_only, male_only=model.male_only)
        i2 = ind2.reshape(2, A, Z)
        assert i2[1, 0, 0] == 0 and i2[0, 0, 1] == 0
        assert i2[0, 0, 0] > 0 and i2[1, 0, 1] > 0


@pytest.mark.parametrize("mode", ["stochastic", "continuous"])
def test_stochastic_reproduction_reproducible_and_consistent(mode):
    model = genetics.autosomal_locus(2)
    A, Z = 3, 3
    ind = np.zeros((2, A, Z))
    ind[:, 1:] = 40.0
    runs = [stage("reproduction", ind.ravel(), np.zeros(A * Z * Z), A, Z, mode=mode,
                  offspring_tensor=model.offspring_tensor, mating_rates=[0, 0.6, 0.6, 0, 1, 1],
                  sperm_displacement_rate=0.3, reproduction_rates=[0, 0.7, 0.7])
            for _ in range(2)]
    for a, b in zip(runs[0], runs[1]):
        np.testing.assert_array_equal(np.asarray(a), np.asarray(b))
    ind2, sperm2, words = runs[0]
    assert words != list(WORDS)
    stored = sperm2.reshape(A, Z, Z).sum(axis=2)
    assert (stored <= ind2.reshape(2, A, Z)[0] + 1e-9).all()
    if mode == "stochastic":
        assert (ind2 == np.round(ind2)).all() and (sperm2 == np.round(sperm2)).all()


def test_different_seeds_diverge():
    A, Z = 2, 1
    ind = [0, 500, 0, 500]
    a = stage("reproduction", ind, [0, 0], A, Z, mode="stochastic", words=[1, 2, 3, 4],
              mating_rates=[0, 0.5, 0, 1])
    b = stage("reproduction", ind, [0, 0], A, Z, mode="stochastic", words=[5, 6, 7, 8],
              mating_rates=[0, 0.5, 0, 1])
    assert a[0].tolist() != b[0].tolist()


@pytest.mark.parametrize("mode, n, k, g, base, want", [
    (0, 5.0, 1.0, 3.0, 0.2, 1.0),
    (1, 200.0, 100.0, 3.0, 0.2, 0.5), (1, 50.0, 100.0, 3.0, 0.2, 1.0), (1, 0.0, 100.0, 3.0, 0.2, 1.0),
    (2, 100.0, 100.0, 3.0, 0.2, 0.2), (2, 0.0, 100.0, 3.0, 0.2, 0.2 * 3.0),
    (2, 300.0, 100.0, 3.0, 0.2, 0.0),
    (3, 100.0, 100.0, 3.0, 0.2, (0.2 * 3.0) / (1.0 * 2.0 + 1.0)),
    (3, 0.0, 100.0, 3.0, 0.2, 0.2 * 3.0),
    (4, 100.0, 100.0, 3.0, 0.2, 0.2), (4, 0.0, 100.0, 3.0, 0.2, 0.2 * 3.0),
    (4, 50.0, 100.0, 3.0, 0.2, 0.2 * 3.0 ** 0.5),
    (2, 5.0, 0.0, 3.0, 0.2, 0.0), (3, 5.0, float("nan"), 3.0, 0.2, 0.0),
])
def test_regulation_scaling(mode, n, k, g, base, want):
    assert T.regulation_scaling(mode, n, k, g, base) == want


@pytest.mark.parametrize("mode", [5, 7, -1])
def test_regulation_scaling_unknown_mode(mode):
    with pytest.raises(ValueError, match=rf"^unrecognized growth mode {mode} \(built-ins are 0-4; "
                                         r"ids >= 5 are reserved and have no registry\)$"):
        T.regulation_scaling(mode, 1.0, 1.0, 1.0, 1.0)


@pytest.mark.parametrize("growth_mode", [2.0, 3.0, 4.0])
def test_recruits_scaled_by_expected_survival_at_equilibrium(growth_mode):
    # Age-0 density equal to the expected competition strength: recruits are
    # scaled by exactly the expected survival rate.
    A, Z = 2, 2
    ind = np.zeros((2, A, Z))
    ind[:, 0] = [[30.0, 10.0], [25.0, 15.0]]
    c = ind[:, 0].sum()
    ind2, _, _ = stage("survival", ind.ravel(), np.zeros(A * Z * Z), A, Z, growth_mode=growth_mode,
                       competition_weights=[1.0, 0.0], equilibrium=(c, 0.25))
    np.testing.assert_array_equal(ind2.reshape(2, A, Z)[:, 0], (0.25 * c / c) * ind[:, 0])


def test_mode_one_halves_double_capacity_and_unknown_mode_is_neutral():
    A, Z = 2, 1
    ind2, _, _ = stage("survival", [150, 0, 50, 0], [0, 0], A, Z, growth_mode=1.0,
                       carrying_capacity=100.0)
    assert ind2.tolist() == [75.0, 0.0, 25.0, 0.0]
    ind7, _, _ = stage("survival", [150, 0, 50, 0], [0, 0], A, Z, growth_mode=7.0,
                       equilibrium=(10.0, 0.5))
    assert ind7.tolist() == [150.0, 0.0, 50.0, 0.0]


@pytest.mark.parametrize("mode", ["stochastic", "continuous"])
def test_sperm_exceeding_females_fails_in_sampling_modes(mode):
    with pytest.raises(RuntimeError, match=r"^Invalid state: n_virgins < 0 in "
                       r"sample_survival_with_sperm_storage \(age=1, g=0, n_f_raw=2, total_sperm=3\)$"):
        stage("survival", [0, 2, 0, 0], [0, 3], 2, 1, mode=mode)
    ind2, sperm2, _ = stage("survival", [0, 2, 0, 0], [0, 3], 2, 1, survival_rates=[1, 0.5, 1, 1])
    assert ind2.tolist() == [0, 1, 0, 0] and sperm2.tolist() == [0, 1.5]


def test_stochastic_survival_keeps_sperm_within_females():
    A, Z = 3, 2
    rng = np.random.default_rng(5)
    ind = rng.integers(5, 50, (2, A, Z)).astype(float)
    sperm = np.zeros((A, Z, Z))
    for a in range(A):
        for i in range(Z):
            sperm[a, i] = np.floor(ind[0, a, i] * rng.dirichlet([1, 1]) * 0.9)
    ind2, sperm2, _ = stage("survival", ind.ravel(), sperm.ravel(), A, Z, mode="stochastic",
                            survival_rates=[0.7] * 6)
    s2 = sperm2.reshape(A, Z, Z)
    i2 = ind2.reshape(2, A, Z)
    assert (s2.sum(axis=2) <= i2[0]).all()
    assert (i2 <= ind).all() and (s2 <= sperm).all()


# ---- stages driven by the model contracts ----

def equilibrium_state(bp, params):
    """Counts at the derived equilibrium: age 1 holds K split by sex, older ages follow survival."""
    from qorin import _engine_rs
    A, Z = bp.n_ages, bp.n_ztypes
    e = params.sex_ratio
    K = params.carrying_capacity
    s = params.survival_rates
    lf, lm = np.zeros(A), np.zeros(A)
    lf[1], lm[1] = K * e, K * (1 - e)
    for a in range(2, A):
        lf[a] = lf[a - 1] * s[0, a - 1]
        lm[a] = lm[a - 1] * s[1, a - 1]
    ind = np.zeros((2, A, Z))
    ind[0, :, 0] = lf
    ind[1, :, 0] = lm
    return ind


@pytest.mark.parametrize("growth_mode", [2, 3, 4])
def test_population_at_equilibrium_replaces_itself(growth_mode):
    from qorin.contracts import Blueprint, Params
    from qorin import _engine_rs
    locus = genetics.autosomal_locus(1)
    bp = Blueprint(n_ages=4, new_adult_age=2, locus=locus)
    params = Params(bp, locus, growth_mode=growth_mode, carrying_capacity=300.0, eggs_per_female=20.0,
                    survival_rates=[[0.6, 0.8, 0.7, 0.5], [0.6, 0.75, 0.7, 0.5]],
                    competition_weights=[1.0, 0.5, 0.0, 0.0], sperm_displacement_rate=0.0)
    ind0 = equilibrium_state(bp, params)
    bp.initial_individual_count = ind0.copy()
    ind, _, _ = T.run_stages(bp, params, ["reproduction", "survival", "aging"])
    ind = ind.reshape(2, 4, 1)
    # Every cohort from age 1 on is where it started.
    np.testing.assert_allclose(ind[:, 1:], ind0[:, 1:], rtol=1e-12)
    c, base = _engine_rs.equilibrium_metrics(bp, params)
    assert base != 1.0 and c > 0


def test_contract_stages_reproducible_per_seed():
    from qorin.contracts import Blueprint, Params
    bp = Blueprint(n_ages=3, stochastic=True)
    bp.initial_individual_count[:, 1:, :] = 30.0
    params = Params(bp)
    a = T.run_stages(bp, params, ["reproduction", "survival", "aging"], seed=7)
    b = T.run_stages(bp, params, ["reproduction", "survival", "aging"], seed=7)
    c = T.run_stages(bp, params, ["reproduction", "survival", "aging"], seed=8)
    np.testing.assert_array_equal(a[0], b[0])
    assert a[2] == b[2] and a[2] != c[2]
    assert (a[0] == np.round(a[0])).all()


def test_deterministic_stages_agree_with_numpy_model():
    from numpy_model import NumpyTick
    from qorin.contracts import Blueprint, Params
    from qorin import _engine_rs
    rng = np.random.default_rng(3)
    for locus, growth_mode in [(genetics.autosomal_locus(2), 3), (genetics.xy_locus(2), 2),
                               (genetics.combine(genetics.autosomal_locus(2),
                                                 genetics.autosomal_locus(3)), 4),
                               (genetics.autosomal_locus(3), 1)]:
        A = 5
        Z = locus.n_ztypes
        bp = Blueprint(n_ages=A, new_adult_age=2, locus=locus)
        bp.initial_individual_count[:] = rng.uniform(0, 50, (2, A, Z))
        params = Params(bp, locus, growth_mode=growth_mode, sperm_displacement_rate=0.4,
                        survival_rates=rng.uniform(0.5, 1.0, (2, A)),
                        mating_rates=rng.uniform(0.3, 1.0, (2, A)),
                        sexual_selection_fitness=rng.uniform(0.5, 1.5, (Z, Z)),
                        fecundity_fitness=rng.uniform(0.5, 1.5, (2, Z)),
                        viability_fitness=rng.uniform(0.8, 1.0, (2, A, Z)))
        model = NumpyTick(bp, params, _engine_rs.equilibrium_metrics(bp, params))
        ind = np.array(bp.initial_individual_count, float).reshape(2, A, Z)
        sperm = np.zeros((A, Z, Z))
        model.tick(ind, sperm)
        got, got_sperm, _ = T.run_stages(bp, params, ["reproduction", "survival", "aging"])
        np.testing.assert_allclose(got.reshape(2, A, Z), ind, rtol=1e-12, atol=1e-9)
        np.testing.assert_allclose(got_sperm.reshape(A, Z, Z), sperm, rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize("mode", ["stochastic", "continuous"])
def test_rounding_of_large_counts_is_not_an_invalid_state(mode):
    # Stored sperm summing one ulp above a large female count is arithmetic, not
    # an invalid state; a real excess still fails.
    n_f = 1057177.7765903117
    row = [n_f * 0.25, n_f * 0.75]
    stored = sum(row)
    assert stored > n_f or stored == n_f
    A, Z = 2, 2
    ind = np.zeros((2, A, Z))
    ind[0, 1, 0] = n_f
    sperm = np.zeros((A, Z, Z))
    sperm[1, 0] = [row[0], row[1] + 3e-10]
    stage("survival", ind.ravel(), sperm.ravel(), A, Z, mode=mode)
    sperm[1, 0, 1] += 1.0
    with pytest.raises(RuntimeError, match="^Invalid state: n_virgins < 0"):
        stage("survival", ind.ravel(), sperm.ravel(), A, Z, mode=mode)
