"""The aggregated sampler of the newborns (Blueprint(sampling="aggregated")).

Its claim: the newborns it draws have the same joint distribution as the exact
sampler's. One reproduction stage (one discrete tick) is run for many seeds
with each sampler from the same state, and the means, variances and
covariances of the newborns of every sex and genotype are compared, with
tolerances of Z_BOUND standard errors of the difference estimated from the
samples themselves. A correct sampler fails one comparison with probability
below 1e-6 and a whole model's comparisons (a few hundred) below 1e-4; the
seeds are fixed, so the outcome never changes from run to run. Where the
aggregated sampler does not apply it must give exactly the exact sampler's
numbers; where it applies it must be reproducible from the seed and
independent of the number of worker threads.
"""

import types

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qorin
from qorin import _engine_rs
from qorin import _engine_testing as T
from qorin import genetics as G
from qorin.contracts import SAMPLERS, Blueprint, Model, Params, check_model

Z_BOUND = 5.0
SEEDS = 3000


# ----------------------------------------------------------------- models
def overlapping_model(sampling="exact", stochastic=True, **switches):
    """Three ages (adults 1 and 2), six genotypes, stored sperm of several male
    types, and every factor the newborns pass through away from its neutral
    value: female mating and remating, reproduction below one at age 1,
    fertility, fecundity of both parents, offspring rows summing below one
    (thinned) and above one (normalised), sex ratio and zygote viability."""
    locus = G.autosomal_locus(3)
    z = locus.n_ztypes
    bp = Blueprint(3, 1, locus, stochastic=stochastic, sampling=sampling, **switches)
    bp.initial_individual_count[:, 1, :] = [30, 20, 0, 25, 0, 10]
    bp.initial_individual_count[:, 2, :] = [12, 0, 18, 5, 9, 0]
    sperm = np.zeros((3, z, z))
    sperm[2, 0, :] = [4, 3, 0, 2, 0, 1]
    sperm[2, 2, 5] = 10
    sperm[1, 1, 3] = 6
    bp.initial_sperm_storage = sperm
    tensor = locus.offspring_tensor.reshape(z, z, z).copy()
    tensor[0] *= 0.7   # mothers of genotype 0: rows sum to 0.7, the eggs are thinned
    tensor[3] *= 1.5   # mothers of genotype 3: rows sum to 1.5, normalised
    rng = np.random.default_rng(4)
    params = Params(bp, eggs_per_female=20.0, sex_ratio=0.4, sperm_displacement_rate=0.4,
                    mating_rates=[[0.0, 0.7, 0.9], [0.0, 1.0, 0.6]],
                    reproduction_rates=[0.0, 0.5, 1.0], fertility=[1.0, 0.8, 1.0],
                    fecundity_fitness=rng.uniform(0.5, 1.5, (2, z)),
                    zygote_viability_fitness=rng.uniform(0.3, 1.0, (2, z)),
                    offspring_tensor=tensor.reshape(-1))
    return bp, params


def sex_linked_model(sampling="exact", **switches):
    """An X-linked locus: daughters and sons fixed by the sex chromosomes,
    except one genotype whose sex the compatibility weights decide."""
    locus = G.xy_locus(2)
    z = locus.n_ztypes
    bp = Blueprint(2, 1, locus, stochastic=True, sampling=sampling, **switches)
    female = np.asarray(locus.female_only, dtype=bool)
    bp.initial_individual_count[0, 1, female] = 40.0
    bp.initial_individual_count[1, 1, ~female] = 40.0
    free = int(np.flatnonzero(~female)[0])  # a male genotype whose sex becomes a draw
    bp.male_only_by_sex_chrom = bp.male_only_by_sex_chrom.copy()
    bp.male_only_by_sex_chrom[free] = False
    fc = np.asarray(locus.female_ztype_compatibility, dtype=float).copy()
    mc = np.asarray(locus.male_ztype_compatibility, dtype=float).copy()
    fc[free], mc[free] = 1.0, 3.0
    params = Params(bp, eggs_per_female=5.0, female_ztype_compatibility=fc,
                    male_ztype_compatibility=mc,
                    zygote_viability_fitness=np.linspace(0.5, 1.0, 2 * z).reshape(2, z))
    return bp, params


def discrete_model_with(sampling="exact", **switches):
    """Staged discrete generations: adults mate once, reproduce with 0.7,
    and the newborns are recruited (a multinomial redraw of the cohort)."""
    locus = G.autosomal_locus(2)
    bp = Blueprint(2, 1, locus, generations="discrete", stochastic=True, sampling=sampling, **switches)
    bp.initial_individual_count[:, 1, :] = [[20, 35, 15], [10, 30, 25]]
    params = Params(bp, eggs_per_female=8.0, growth_mode=0, reproduction_rates=[0.0, 0.7],
                    sex_ratio=0.55, fecundity_fitness=[[1.0, 0.8, 0.6], [1.0, 1.0, 0.7]],
                    zygote_viability_fitness=[[1.0, 0.9, 0.5], [0.8, 1.0, 0.6]])
    return bp, params


MODELS = {"overlapping": overlapping_model, "sex_linked": sex_linked_model,
          "discrete": discrete_model_with}


def newborns(make, sampling, seeds, **kwargs):
    """The newborns (sex, genotype) of one reproduction stage, or of one
    discrete tick, for every seed: an array (len(seeds), 2 * Z)."""
    bp, params = make(sampling, **kwargs)
    z = bp.n_ztypes
    out = np.empty((len(seeds), 2 * z))
    if getattr(bp, "generations", None) == "discrete":
        session = _engine_rs.DiscreteEngineSession(bp, params, 0)
        _, ind0 = session.state_snapshot()
        for r, seed in enumerate(seeds):
            session.set_state(ind0, 0)
            session.reseed(int(seed))
            session.tick(False)
            out[r] = session.state_snapshot()[1].reshape(2, 2, z)[:, 1, :].reshape(-1)
        return out
    session = _engine_rs.EngineSession(bp, params, 0)
    _, ind0, sperm0 = session.state_snapshot()
    for r, seed in enumerate(seeds):
        session.set_state(ind0, sperm0, 0)
        session.reseed(int(seed))
        session.reproduction()
        out[r] = session.state_snapshot()[1].reshape(2, bp.n_ages, z)[:, 0, :].reshape(-1)
    return out


def expected_newborns(make):
    """The newborns of the deterministic model, which are the mean of both
    samplers once offspring rows summing above one are normalised (the
    sampling modes split a pair's eggs by the row over its sum; the
    deterministic mode takes the row as it is)."""
    bp, params = make("exact")
    bp.stochastic = False
    z = bp.n_ztypes
    rows = params.offspring_tensor.reshape(z * z, z)
    params.offspring_tensor = (rows / np.maximum(rows.sum(axis=1), 1.0)[:, None]).reshape(-1)
    if getattr(bp, "generations", None) == "discrete":
        session = _engine_rs.DiscreteEngineSession(bp, params, 0)
        session.tick(False)
        return session.state_snapshot()[1].reshape(2, 2, z)[:, 1, :].reshape(-1)
    session = _engine_rs.EngineSession(bp, params, 0)
    session.reproduction()
    return session.state_snapshot()[1].reshape(2, bp.n_ages, z)[:, 0, :].reshape(-1)


# ----------------------------------------------------------------- moment comparisons
def moment_gaps(a, b):
    """Differences of the means and of every (co)variance of two samples, each
    divided by its standard error (estimated from the samples; 0 where both
    sides are constant and equal)."""
    def stats(x):
        n = x.shape[0]
        d = x - x.mean(axis=0)
        prod = d[:, :, None] * d[:, None, :]           # (n, k, k)
        cov = prod.sum(axis=0) / (n - 1)
        cov_se2 = prod.var(axis=0, ddof=1) / n
        return x.mean(axis=0), x.var(axis=0, ddof=1) / x.shape[0], cov, cov_se2

    ma, va, ca, sa = stats(a)
    mb, vb, cb, sb = stats(b)

    def ratio(diff, se2):
        se = np.sqrt(se2)
        return np.where(se > 0, np.abs(diff) / np.where(se > 0, se, 1.0), np.where(diff == 0, 0.0, np.inf))

    iu = np.triu_indices(a.shape[1])
    return ratio(ma - mb, va + vb), ratio((ca - cb)[iu], (sa + sb)[iu])


@pytest.fixture(scope="module")
def samples():
    """Newborns of every model under both samplers, made once per module."""
    cache = {}

    def get(name, sampling):
        if (name, sampling) not in cache:
            seeds = np.arange(SEEDS) + (0 if sampling == "exact" else 10 ** 6)
            cache[name, sampling] = newborns(MODELS[name], sampling, seeds)
        return cache[name, sampling]

    return get


@pytest.mark.parametrize("name", list(MODELS))
def test_newborn_moments_match_the_exact_sampler(samples, name):
    exact, aggregated = samples(name, "exact"), samples(name, "aggregated")
    assert aggregated.sum() > 0 and not np.array_equal(exact[:50], aggregated[:50])
    means, covs = moment_gaps(aggregated, exact)
    assert means.max() < Z_BOUND, means
    assert covs.max() < Z_BOUND, covs


@pytest.mark.parametrize("name", list(MODELS))
def test_newborn_means_are_the_deterministic_expectation(samples, name):
    """Everything before the draws is linear in the counts, so the mean of
    either sampler is the deterministic model's value."""
    expected = expected_newborns(MODELS[name])
    for sampling in SAMPLERS:
        x = samples(name, sampling)
        se = x.std(axis=0, ddof=1) / np.sqrt(x.shape[0])
        gap = np.abs(x.mean(axis=0) - expected)
        assert np.all((gap <= Z_BOUND * se) | ((se == 0) & (gap < 1e-9))), (sampling, gap / se)


def test_the_comparison_detects_a_small_change_of_the_sex_ratio(samples):
    """The tolerances are not loose: a sex ratio of 0.43 instead of 0.4 (and
    nothing else changed) fails the comparison with the exact sampler."""
    def make(sampling):
        bp, params = overlapping_model(sampling)
        params.sex_ratio = 0.43
        return bp, params

    shifted = newborns(make, "aggregated", np.arange(SEEDS) + 2 * 10 ** 6)
    means, _ = moment_gaps(shifted, samples("overlapping", "exact"))
    assert means.max() > Z_BOUND


def test_remating_couples_the_genotypes_of_the_newborns(samples):
    """The matings are still drawn female by female, so the newborns of
    different genotypes covary (through the fathers) as in the exact sampler:
    the aggregated draws are not independent Poisson counts overall."""
    x = samples("overlapping", "aggregated")
    corr = np.corrcoef(x[:, :6].T)
    assert np.abs(corr[np.triu_indices(6, 1)]).max() > 0.1


# ----------------------------------------------------------------- where it falls back
def run_rows(bp, params, seed=3, ticks=4):
    session = _engine_rs.EngineSession(bp, params, seed)
    return session.run(ticks, 1)[1]


@pytest.mark.parametrize("switches", [
    dict(fixed_egg_count=True), dict(continuous_sampling=True), dict(stochastic=False),
], ids=["fixed_egg_count", "continuous", "deterministic"])
def test_the_exact_scheme_runs_where_aggregation_does_not_apply(switches):
    stochastic = switches.pop("stochastic", True)
    exact = run_rows(*overlapping_model("exact", stochastic=stochastic, **switches))
    aggregated = run_rows(*overlapping_model("aggregated", stochastic=stochastic, **switches))
    np.testing.assert_array_equal(aggregated, exact)


def test_wright_fisher_generations_draw_as_before():
    exact = qorin.wright_fisher(60, frequencies={"A1": 0.3})
    aggregated = exact.with_sampling("aggregated")
    assert aggregated.sampling == "aggregated" and exact.sampling == "exact"
    a = qorin.simulate(aggregated.blueprint, aggregated.params, 20, seed=4)
    e = qorin.simulate(exact.blueprint, exact.params, 20, seed=4)
    np.testing.assert_array_equal(a["count"].values, e["count"].values)


def test_counts_too_large_for_whole_numbers_fall_back_to_the_exact_draws():
    """Expected newborns beyond 2^53 cannot be held as whole counts: the stage
    then draws exactly as the exact sampler (from the same stream position)."""
    def huge(sampling):
        bp, params = overlapping_model(sampling)
        bp.initial_individual_count[:, 1:, :] *= 1e10
        bp.initial_sperm_storage = np.zeros(0)
        params.eggs_per_female = 1e5
        params.reproduction_rates = np.array([0.0, 1.0, 1.0])
        return bp, params

    seeds = np.arange(3)
    np.testing.assert_array_equal(newborns(huge, "aggregated", seeds), newborns(huge, "exact", seeds))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(counts=st.lists(st.sampled_from([0.0, 1.0, 3.0, 250.0, 1e6, 1e12]), min_size=12, max_size=12),
       eggs=st.sampled_from([0.0, 1e-12, 0.5, 20.0, 1e6]),
       rate=st.sampled_from([0.0, 0.3, 0.9999999999, 1.0]),
       fitness=st.sampled_from([0.0, 1e-11, 0.5, 1.0, 7.0]),
       row_scale=st.sampled_from([0.0, 1e-11, 0.5, 1.0, 3.0]),
       generations=st.sampled_from(["overlapping", "discrete"]),
       seed=st.integers(0, 2 ** 64 - 1))
def test_any_valid_model_draws_whole_nonnegative_newborns(counts, eggs, rate, fitness, row_scale,
                                                          generations, seed):
    """Extreme but valid inputs (empty classes, 10^12 individuals, negligible
    eggs and rows, rates at the rounding edge of one): the aggregated tick runs
    and leaves whole, finite, non-negative counts."""
    locus = G.autosomal_locus(2)
    n_ages = 2 if generations == "discrete" else 3
    bp = Blueprint(n_ages, 1, locus, stochastic=True, generations=generations, sampling="aggregated")
    bp.initial_individual_count[:, 1:, :] = np.resize(counts, (2, n_ages - 1, 3))
    tensor = locus.offspring_tensor.reshape(3, 3, 3).copy()
    tensor[1] *= row_scale
    params = Params(bp, eggs_per_female=eggs, reproduction_rates=[0.0] + [rate] * (n_ages - 1),
                    fecundity_fitness=[[1.0, fitness, 1.0], [fitness, 1.0, 1.0]],
                    zygote_viability_fitness=[[fitness, 1.0, 1.0], [1.0, 1.0, fitness]],
                    offspring_tensor=tensor.reshape(-1), growth_mode=0)
    session = qorin.generations.session_class(bp)(bp, params, seed)
    session.tick(0)
    ind = session.state_snapshot()[1]
    assert np.all(np.isfinite(ind)) and np.all(ind >= 0) and np.array_equal(ind, np.round(ind))


# ----------------------------------------------------------------- reproducibility
def test_a_seed_gives_the_same_run_and_other_seeds_differ():
    bp, params = overlapping_model("aggregated")
    first, again, other = run_rows(bp, params, 11), run_rows(bp, params, 11), run_rows(bp, params, 12)
    np.testing.assert_array_equal(first, again)
    assert not np.array_equal(first, other)
    assert not np.array_equal(first, run_rows(*overlapping_model("exact"), 11))  # other draws


@pytest.mark.parametrize("generations", ["overlapping", "discrete"])
def test_a_landscape_gives_the_same_run_on_any_number_of_threads(generations):
    locus = G.homing_drive(cutting=0.9, homing=0.8)
    n_ages, adult = (2, 1) if generations == "discrete" else (3, 1)
    indptr, dest, weights = qorin.landscape.ring(6)
    bp = Blueprint(n_ages, adult, locus, n_demes=6, stochastic=True, generations=generations,
                   sampling="aggregated", migration_indptr=indptr, migration_dest_idx=dest,
                   migration_weights=weights)
    bp.initial_individual_count[:, 1:, locus.index("W/W")] = 200.0
    bp.initial_individual_count[1, 1, locus.index("D/D")] = 50.0
    params = Params(bp, carrying_capacity=800.0, eggs_per_female=10.0,
                    migration_rate=np.full((2, n_ages), 0.05))
    runs = []
    for threads in (1, 2, 8):
        T.set_worker_threads(threads)
        try:
            runs.append(qorin.simulate(bp, params, 15, seed=9)["count"].values)
        finally:
            T.set_worker_threads(0)
    for other in runs[1:]:
        np.testing.assert_array_equal(runs[0], other)
    assert runs[0][-1].sum() > 0
    bp.sampling = "exact"  # the demes' ticks did use the aggregated sampler
    assert not np.array_equal(runs[0], qorin.simulate(bp, params, 15, seed=9)["count"].values)


# ----------------------------------------------------------------- science
def test_a_stochastic_homing_drive_follows_the_recursion_on_average():
    """A homing drive in a large population of discrete generations: averaged
    over replicates, the drive frequency of both samplers follows the
    deterministic recursion within the sampling error of the replicates (and
    within one allele copy of it once the drive is near fixation, where the
    replicates agree to the last copy)."""
    from test_drives import recursion, transmission

    c, hom, fr, cost, h = 0.9, 1.0, 0.0, 0.2, 0.3
    locus = G.homing_drive(cutting=c, homing=hom, functional_resistance=fr, drive_cost=cost,
                           dominance=h, fitness={"N/N": 0.5, "W/N": 0.9})
    generations, reps, scale = 12, 30, 50.0
    fitness = np.ones((4, 4))
    fitness[0, 1] = fitness[1, 2] = fitness[1, 3] = 1 - h * cost
    fitness[1, 1] = 1 - cost
    fitness[3, 3], fitness[0, 3] = 0.5, 0.9
    t = transmission(c, hom, fr)
    expected = recursion(0.7 * np.array([1.0, 0, 0, 0]) + 0.3 * t[0, 1], np.array([0.8, 0.2, 0, 0]),
                         t, t, fitness, generations)[:, 1]
    for sampling in SAMPLERS:
        bp = Blueprint(2, 1, locus, stochastic=True, sampling=sampling)
        for label, n in {"W/W": 700.0, "W/D": 300.0}.items():
            bp.initial_individual_count[0, 1, locus.index(label)] = n * scale
        for label, n in {"W/W": 800.0, "D/D": 200.0}.items():
            bp.initial_individual_count[1, 1, locus.index(label)] = n * scale
        params = Params(bp, survival_rates=[[1.0, 0.0], [1.0, 0.0]], eggs_per_female=2.0,
                        growth_mode=1, carrying_capacity=1e9)
        ds = qorin.replicates(bp, params, generations, seeds=reps)
        d = qorin.allele_frequencies(ds, adults_only=True).sel(allele="D").values[:, 1:]
        se = d.std(axis=0, ddof=1) / np.sqrt(reps)
        one_copy = 1.0 / (2.0 * bp.initial_individual_count.sum())
        assert np.all(np.abs(d.mean(axis=0) - expected) < Z_BOUND * se + one_copy), sampling
    assert expected[-1] > 0.99  # the drive spreads


# ----------------------------------------------------------------- the option
def test_blueprint_checks_the_sampler():
    assert Blueprint(2).sampling == "exact" and SAMPLERS == ("exact", "aggregated")
    with pytest.raises(ValueError, match="'exact', 'aggregated'"):
        Blueprint(2, sampling="fast")
    with pytest.raises(ValueError, match="extreme_speed_mode"):
        Blueprint(2, sampling="poisson")
    with pytest.raises(TypeError, match="sampling"):
        Blueprint(2, sampling=1)


def test_the_engine_reads_the_sampler_by_name():
    bp, params = overlapping_model("exact")
    plain = types.SimpleNamespace(**{k: v for k, v in vars(bp).items() if k != "sampling"})
    np.testing.assert_array_equal(run_rows(plain, params), run_rows(bp, params))  # absent: exact
    plain.sampling = None
    np.testing.assert_array_equal(run_rows(plain, params), run_rows(bp, params))
    bp.sampling = "Aggregated"
    with pytest.raises(ValueError, match="Blueprint.sampling must be one of 'exact', 'aggregated'"):
        _engine_rs.EngineSession(bp, params, 0)
    bp.sampling = b"aggregated"
    with pytest.raises(TypeError, match="Blueprint.sampling must be a str"):
        _engine_rs.EngineSession(bp, params, 0)
    bp.sampling = "fast"
    with pytest.raises(ValueError, match="blueprint.sampling"):
        check_model(bp, params)
    assert T.read_blueprint(overlapping_model("aggregated")[0])["sampling"] == "aggregated"


def test_a_model_switches_its_sampler_without_changing_the_original():
    bp, params = overlapping_model("exact")
    model = Model(bp, params)
    other = model.with_sampling("aggregated")
    assert (model.sampling, other.sampling, bp.sampling) == ("exact", "aggregated", "exact")
    assert other.params is params
    with pytest.raises(ValueError):
        model.with_sampling("approximate")
    ds = qorin.sweep(other, 2, replicates=2, seed=1)
    assert qorin.model_description(ds)["sampling"] == "aggregated"


SCENARIO = '''\
[run]
ticks = 3
stochastic = true
{line}

[genetics]
builder = "autosomal_locus"

[ages]
n_ages = 3
new_adult_age = 1

[initial]
"A1/A2" = [0, 60, 40]
'''


def test_scenario_files_name_the_sampler():
    from qorin.scenario import ScenarioError, parse_scenario

    sc = parse_scenario(SCENARIO.format(line='sampling = "aggregated"'))
    assert sc.models[0].blueprint.sampling == "aggregated"
    assert parse_scenario(SCENARIO.format(line="")).models[0].blueprint.sampling == "exact"
    for line, words in (('sampling = "poisson"', "Wright-Fisher"), ('sampling = "fast"', "aggregated")):
        with pytest.raises(ScenarioError, match=words) as info:
            parse_scenario(SCENARIO.format(line=line))
        assert info.value.key == "run.sampling"
    wf = SCENARIO.format(line='generations = "wright_fisher"\nsampling = "aggregated"')
    wf = wf.replace("[ages]\nn_ages = 3\nnew_adult_age = 1\n", "").replace("[0, 60, 40]", "30")
    with pytest.raises(ScenarioError, match="multinomial") as info:
        parse_scenario(wf)
    assert info.value.key == "run.sampling"
