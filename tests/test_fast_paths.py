"""The engine's fast paths against its straightforward dense ones.

qorin._engine_testing carries its own copy of the engine with a switch onto the
straightforward paths (dense offspring contraction, set-ups computed at every
draw, serial row sums). The same random model runs on both copies; counts,
stored sperm, stream words, journal and errors must agree bit for bit.
"""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st, HealthCheck

import spatial_model as M
from qorin import _engine_rs, _engine_testing as T, genetics
from qorin.contracts import Blueprint, Params

LOCI = {
    "autosomal2": lambda: genetics.autosomal_locus(2),
    "autosomal3": lambda: genetics.autosomal_locus(3),
    "xy": lambda: genetics.xy_locus(2),
    "two_loci": lambda: genetics.combine(genetics.autosomal_locus(2), genetics.xy_locus(1)),
}
MODES = {"deterministic": (False, False), "stochastic": (True, False), "continuous": (True, True)}
# Entries the offspring tensor and the fecundities may take: exact zeros of both
# signs, subnormal and tiny values, ordinary ones and values that make egg
# counts overflow to infinity.
SPECIAL = [0.0, -0.0, 5e-324, 1e-300, 1e-12, 0.25, 1.0, 3.0, 1e150, 1e300]


def run_pair(make, steps):
    """Runs make(session_type) on both copies through `steps`; returns both outcomes."""
    outcomes = []
    for reference in (False, True):
        T.set_reference_paths(reference)
        try:
            s = make(T.EngineSession if reference else _engine_rs.EngineSession)
            log = []
            for step in steps:
                try:
                    log.append(("ok", step(s)))
                except Exception as exc:  # the same failure must come from both
                    log.append(("error", type(exc).__name__, str(exc)))
                    break
            tick, ind, sperm, words, _ = s.snapshot_state()
            log.append((tick, ind.tobytes(), sperm.tobytes(), list(words), s.drain_eco_journal()))
            outcomes.append(log)
        finally:
            T.set_reference_paths(False)
    return outcomes


def run(n_ticks):
    def step(s):
        ticks, _, stopped = s.run(n_ticks, 0)
        return ticks, stopped
    return step


def random_model(draw_values, locus_name, mode, fixed, n_ages, seed):
    locus = LOCI[locus_name]()
    stochastic, continuous = MODES[mode]
    bp = Blueprint(n_ages=n_ages, new_adult_age=1, locus=locus, stochastic=stochastic,
                   continuous_sampling=continuous, fixed_egg_count=fixed)
    z = locus.n_ztypes
    rng = np.random.default_rng(seed)
    bp.initial_individual_count[:, 1:, :] = rng.integers(0, 60, (2, n_ages - 1, z)).astype(float)
    params = Params(bp, locus, growth_mode=int(rng.integers(0, 5)), carrying_capacity=800.0,
                    eggs_per_female=float(rng.uniform(1.0, 30.0)), sperm_displacement_rate=float(rng.uniform()))
    off = np.array(params.offspring_tensor, dtype=float).reshape(-1)
    fec = np.array(params.fecundity_fitness, dtype=float).reshape(-1)
    for idx, v in draw_values:
        if idx % 3 == 0:
            fec[idx % fec.size] = v
        else:
            off[idx % off.size] = v
    params.offspring_tensor = off.reshape(np.shape(params.offspring_tensor))
    params.fecundity_fitness = fec.reshape(np.shape(params.fecundity_fitness))
    return bp, params, off


values = st.lists(st.tuples(st.integers(0, 10_000), st.sampled_from(SPECIAL)), max_size=12)


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(edits=values, rewrite=values, locus_name=st.sampled_from(sorted(LOCI)), mode=st.sampled_from(sorted(MODES)),
       fixed=st.booleans(), n_ages=st.integers(2, 5), seed=st.integers(0, 2**32 - 1))
def test_fast_paths_match_reference_paths(edits, rewrite, locus_name, mode, fixed, n_ages, seed):
    bp, params, off = random_model(edits, locus_name, mode, fixed, n_ages, seed)
    # A mid-run write of the offspring tensor must reach the fast paths' caches.
    off2 = off.copy()
    for idx, v in rewrite:
        off2[idx % off2.size] = v

    def make(session_type):
        return session_type(bp, params, seed=seed)

    steps = [run(4),
             lambda s: s.tensor_write("offspring_tensor", off2),
             run(3),
             lambda s: s.tensor_write("offspring_tensor", off),
             run(2)]
    fast, reference = run_pair(make, steps)
    assert fast == reference


@pytest.mark.parametrize("mode", sorted(MODES))
@pytest.mark.parametrize("locus_name", sorted(LOCI))
def test_fast_paths_match_on_long_runs(mode, locus_name):
    bp, params, off = random_model([], locus_name, mode, False, 6, 11)
    fast, reference = run_pair(lambda t: t(bp, params, seed=3), [run(60)])
    assert fast == reference
    assert fast[0] == ("ok", (60, False))
    assert T.reference_paths() is False


# Whole-row edits of the offspring tensor that steer the sampling modes' split
# of a pair's eggs: rows summing below one (eggs thinned first), rows of
# subnormal entries (probabilities that round to zero), rows whose sum
# overflows (the split then takes the dense path), empty rows, and the last
# zygote type removed (it still takes what the other types leave).
ROW_SCALES = [0.0, 1e-320, 0.3, 0.999, 1.0, 7.0, 1e300, "huge"]


def reshape_rows(off, z, row_edits, drop_last):
    base = off.reshape(z * z, z)
    rows = base.copy()
    for row, scale in row_edits:
        row %= z * z
        if scale == "huge":
            # Every non-zero entry at the largest double: a row of two or more
            # sums to infinity.
            rows[row] = np.where(base[row] != 0.0, np.finfo(float).max, 0.0)
        else:
            rows[row] = base[row] * scale
    if drop_last:
        rows[:, z - 1] = 0.0
    return rows.reshape(-1)


@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(row_edits=st.lists(st.tuples(st.integers(0, 10_000), st.sampled_from(ROW_SCALES)), max_size=30),
       rewrite=st.lists(st.tuples(st.integers(0, 10_000), st.sampled_from(ROW_SCALES)), max_size=30),
       drop_last=st.booleans(), mode=st.sampled_from(sorted(MODES)), fixed=st.booleans(),
       eggs=st.sampled_from([0.001, 0.02, 0.3, 1.0, 5.0, 40.0]), seed=st.integers(0, 2**32 - 1))
def test_offspring_splits_match_on_ten_types(row_edits, rewrite, drop_last, mode, fixed, eggs, seed):
    # Ten zygote types: eight columns side by side plus a pair in the
    # deterministic contraction, and multinomials over ten categories. Few
    # eggs per pair give the continuous split's totals near one (split
    # without draws, or gamma shares that all underflow).
    locus = genetics.autosomal_locus(4)
    z = locus.n_ztypes
    stochastic, continuous = MODES[mode]
    bp = Blueprint(n_ages=4, new_adult_age=1, locus=locus, stochastic=stochastic,
                   continuous_sampling=continuous, fixed_egg_count=fixed)
    rng = np.random.default_rng(seed)
    bp.initial_individual_count[:, 1:, :] = rng.integers(0, 40, (2, 3, z)).astype(float)
    params = Params(bp, locus, growth_mode=3, carrying_capacity=2000.0,
                    eggs_per_female=eggs, sperm_displacement_rate=float(rng.uniform()),
                    fecundity_fitness=rng.uniform(0.5, 1.5, (2, z)))
    base = np.array(params.offspring_tensor, dtype=float).reshape(-1)
    off = reshape_rows(base, z, row_edits, drop_last)
    params.offspring_tensor = off.reshape(np.shape(params.offspring_tensor))
    off2 = reshape_rows(base, z, rewrite, not drop_last)

    steps = [run(3),
             lambda s: s.tensor_write("offspring_tensor", off2),
             run(3),
             lambda s: s.tensor_write("offspring_tensor", off),
             run(2)]
    fast, reference = run_pair(lambda t: t(bp, params, seed=seed), steps)
    assert fast == reference


@pytest.mark.parametrize("mode", sorted(MODES))
def test_fast_paths_match_on_thirty_six_types(mode):
    # Two loci of three alleles: 36 zygote types, 13% of the tensor non-zero,
    # long enough for the samplers' kept set-ups to be reused and replaced.
    locus = genetics.combine(genetics.autosomal_locus(3), genetics.autosomal_locus(3))
    z = locus.n_ztypes
    stochastic, continuous = MODES[mode]
    bp = Blueprint(n_ages=5, new_adult_age=2, locus=locus, stochastic=stochastic, continuous_sampling=continuous)
    rng = np.random.default_rng(7)
    bp.initial_individual_count[:, 1:, :] = rng.integers(0, 60, (2, 4, z)).astype(float)
    params = Params(bp, locus, growth_mode=3, carrying_capacity=5000.0, eggs_per_female=20.0,
                    sperm_displacement_rate=0.5, fecundity_fitness=rng.uniform(0.8, 1.2, (2, z)))
    fast, reference = run_pair(lambda t: t(bp, params, seed=2), [run(6 if stochastic else 40)])
    assert fast == reference
    assert fast[0][0] == "ok"


@settings(max_examples=80, deadline=None)
@given(n=st.integers(0, 2_000_000),
       probs=st.lists(st.sampled_from([0.0, -0.0, 5e-324, 1e-12, 0.01, 0.1, 0.25, 1 / 3, 0.5, 0.9, 1.0, 3.0]),
                      min_size=1, max_size=12),
       repeats=st.integers(1, 4), seed=st.integers(0, 2**64 - 1))
def test_multinomial_with_kept_set_ups_matches_fresh_ones(n, probs, repeats, seed):
    # The same split repeated from the words it left behind: the later ones
    # take their binomial set-ups from the kept ones.
    outcomes = []
    for reference in (False, True):
        T.set_reference_paths(reference)
        try:
            words = T.rng_new(seed)
            got = []
            for _ in range(repeats):
                out, words = T.rng_multinomial(words, n, np.array(probs, dtype=float))
                got.append((out.tobytes(), list(words)))
            outcomes.append(got)
        finally:
            T.set_reference_paths(False)
    assert outcomes[0] == outcomes[1]


# Egg totals of one pair, fed to the reproduction kernel as stored sperm with
# one egg per mating: around one (the continuous split without draws, or with
# gamma shares that all underflow), small counts and large ones.
TOTALS = [0.0, 0.3, 1.0, 1.0000000001, 1.0000001, 1.00001, 1.001, 1.02, 1.6, 3.0, 40.0, 1e6, 1e17]


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(totals=st.lists(st.sampled_from(TOTALS), min_size=36, max_size=36),
       row_edits=st.lists(st.tuples(st.integers(0, 10_000), st.sampled_from(ROW_SCALES)), max_size=12),
       mode=st.sampled_from(["stochastic", "continuous"]), fixed=st.booleans(), seed=st.integers(0, 2**64 - 1))
def test_reproduction_kernel_splits_match(totals, row_edits, mode, fixed, seed):
    z = 6
    base = np.array(genetics.autosomal_locus(3).offspring_tensor, dtype=float).reshape(-1)
    off = reshape_rows(base, z, row_edits, False)
    a = 2
    ind = np.zeros((2, a, z))
    ind[:, 1, :] = 1e18  # females enough for every stored total
    sperm = np.zeros((a, z, z))
    sperm[1] = np.array(totals).reshape(z, z)
    inp = dict(
        mating_rates=np.zeros(2 * a), reproduction_rates=np.ones(a), fertility=np.ones(a),
        survival_rates=np.ones(2 * a), competition_weights=np.ones(a),
        viability_fitness=np.ones(2 * a * z), fecundity_fitness=np.ones(2 * z),
        sexual_selection_fitness=np.ones(z * z), zygote_viability_fitness=np.ones(2 * z),
        offspring_tensor=off, female_ztype_compatibility=np.ones(z), male_ztype_compatibility=np.ones(z),
        carrying_capacity=100.0, eggs_per_female=1.0, sex_ratio=0.5, sperm_displacement_rate=0.0,
        low_density_growth_rate=2.0, growth_mode=0.0)
    words = T.rng_new(seed)
    outcomes = []
    for reference in (False, True):
        T.set_reference_paths(reference)
        try:
            try:
                got = T.lifecycle_stage("reproduction", ind.ravel(), sperm.ravel(), a, z, 1, mode, inp, list(words),
                                        fixed_egg_count=fixed)
                outcomes.append([np.asarray(g).tobytes() if not isinstance(g, list) else g for g in got])
            except Exception as exc:
                outcomes.append((type(exc).__name__, str(exc)))
        finally:
            T.set_reference_paths(False)
    assert outcomes[0] == outcomes[1]


RATES = [0.0, 5e-324, 1e-300, 0.1, 0.5, 0.9, 1.0]


@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(writes=st.lists(st.tuples(st.sampled_from(["survival_rates", "fertility", "competition_weights",
                                                  "reproduction_rates"]),
                                 st.lists(st.sampled_from(RATES), min_size=1, max_size=4)),
                       min_size=1, max_size=4),
       growth_mode=st.integers(2, 4), mode=st.sampled_from(sorted(MODES)), seed=st.integers(0, 2**32 - 1))
def test_equilibrium_calibration_follows_rewrites(writes, growth_mode, mode, seed):
    # Density regulation calibrates against the ecology it reads; the kept
    # calibration must follow every rewrite (including one back to values
    # seen before) exactly as a fresh one.
    locus = genetics.autosomal_locus(2)
    z, n_ages = locus.n_ztypes, 4
    stochastic, continuous = MODES[mode]
    bp = Blueprint(n_ages=n_ages, new_adult_age=1, locus=locus, stochastic=stochastic,
                   continuous_sampling=continuous)
    rng = np.random.default_rng(seed)
    bp.initial_individual_count[:, 1:, :] = rng.integers(0, 60, (2, n_ages - 1, z)).astype(float)
    params = Params(bp, locus, growth_mode=growth_mode, carrying_capacity=600.0, eggs_per_female=8.0)
    sizes = {"survival_rates": 2 * n_ages}
    steps = [run(2)]
    originals = {}
    for name, pattern in writes:
        size = sizes.get(name, n_ages)
        values = np.resize(np.array(pattern, dtype=float), size)
        originals.setdefault(name, np.array(getattr(params, name), dtype=float).reshape(-1))
        steps += [lambda s, n=name, v=values: s.tensor_write(n, v), run(2)]
    for name, values in originals.items():
        steps += [lambda s, n=name, v=values: s.tensor_write(n, v), run(1)]
    fast, reference = run_pair(lambda t: t(bp, params, seed=seed), steps)
    assert fast == reference


def last_entry_model(mode):
    """Every genotype present, so that the A2/A2 x A2/A2 row (the tensor's last) breeds."""
    locus = genetics.autosomal_locus(2)
    stochastic, continuous = MODES[mode]
    bp = Blueprint(n_ages=3, new_adult_age=1, locus=locus, stochastic=stochastic, continuous_sampling=continuous)
    bp.initial_individual_count[:, 1:, :] = 30.0
    params = Params(bp, locus, growth_mode=3, carrying_capacity=600.0, eggs_per_female=12.0)
    off = np.array(params.offspring_tensor, dtype=float).reshape(-1)
    last = off.copy()
    last[-1] = 0.25  # A2/A2 parents lose three quarters of their young
    return bp, params, off, last


@pytest.mark.parametrize("mode", sorted(MODES))
def test_a_write_of_only_the_last_offspring_entry_reaches_the_fast_paths(mode):
    bp, params, off, last = last_entry_model(mode)
    steps = [run(3), lambda s: s.tensor_write("offspring_tensor", last), run(3),
             lambda s: s.tensor_write("offspring_tensor", off), run(2)]
    fast, reference = run_pair(lambda t: t(bp, params, seed=4), steps)
    assert fast == reference
    unchanged, _ = run_pair(lambda t: t(bp, params, seed=4), [run(8)])
    assert unchanged[-1][1] != fast[-1][1]  # the write changed the counts


@pytest.mark.parametrize("mode", sorted(MODES))
def test_demes_whose_offspring_tensors_differ_in_the_last_entry_only(mode):
    # One kernel scratch serves every deme in turn; each deme must breed with its own tensor.
    _, params, _, last = last_entry_model(mode)
    stochastic, continuous = MODES[mode]
    n = 4
    bp = M.blueprint(n, locus=genetics.autosomal_locus(2), stochastic=stochastic, continuous_sampling=continuous)
    gen = M.genetics(params)
    other = dict(gen, offspring_tensor=last)
    ind = np.zeros((n, 2, 3, 3))
    ind[:, :, 1:, :] = 30.0
    states = []
    for reference in (False, True):
        T.set_reference_paths(reference)
        try:
            module = T if reference else _engine_rs
            s, *_ = M.session(n, params=params, bank=[gen, other], ids=[0, 1, 0, 1], ind=ind,
                              sperm=np.zeros((n, 3, 3, 3)), module=module, bp=bp, seed=6)
            s.run_steps(4, 0)
            states.append(s.state_snapshot()[1].tobytes())
        finally:
            T.set_reference_paths(False)
    assert states[0] == states[1]


@pytest.mark.parametrize("growth_mode", [2, 3, 4])
@pytest.mark.parametrize("write", [
    {"carrying_capacity": 350.0}, {"eggs_per_female": 5.0}, {"sex_ratio": 0.3},
    {"external_expected_eggs": 900.0}, {"equilibrium_distribution": [0.0, 40.0, 30.0, 20.0, 0.0, 40.0, 30.0, 20.0]},
])
def test_equilibrium_calibration_follows_scalar_and_declared_writes(write, growth_mode):
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=4, new_adult_age=1, locus=locus, stochastic=False)
    bp.initial_individual_count[:, 1:, :] = 20.0
    (name, value), = write.items()
    declared = {"equilibrium_distribution": [0.0, 50.0, 40.0, 30.0, 0.0, 50.0, 40.0, 30.0]} \
        if name == "equilibrium_distribution" else {}  # declared before, other values after
    params = Params(bp, locus, growth_mode=growth_mode, carrying_capacity=600.0, eggs_per_female=8.0, **declared)
    change = ((lambda s: s.tensor_write(name, value)) if isinstance(value, list)
              else (lambda s: s.apply({name: value})))
    fast, reference = run_pair(lambda t: t(bp, params, seed=1), [run(2), change, run(2)])
    assert fast == reference
