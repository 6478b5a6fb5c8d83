"""Reproduction, survival and aging against the pure-Python lifecycle model of
lifecycle_model.py: for random small models in every execution mode the engine
must leave exactly the same state arrays and the same stream words behind,
bit for bit, or fail with exactly the same message."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from qorin import _engine_testing as T

import lifecycle_model as ref

MODES = ["deterministic", "stochastic", "continuous"]
SETTINGS = settings(max_examples=200, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# Rates straddle the clamping bounds: exact 0 and 1, the tolerance edges, and
# values above 1.
RATE = st.one_of(st.sampled_from([0.0, 1.0, 0.5, 1e-11, 0.9999999999, 1.0000001, 1.5, 3.0]),
                 st.floats(0.0, 1.0), st.floats(0.0, 2.5))
WEIGHT = st.one_of(st.sampled_from([0.0, 1.0, 2.0]), st.floats(0.0, 3.0))


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def count(mode, hi=40):
    """A count of the given mode: integral (with an occasional half, to exercise
    rounding) in stochastic mode, any nonnegative real otherwise."""
    if mode == "stochastic":
        return st.one_of(st.integers(0, hi).map(float),
                         st.integers(0, hi).map(lambda k: k + 0.5))
    return st.one_of(st.just(0.0), st.floats(0.0, float(hi)), st.sampled_from([0.4, 1.0, 1.0000000001]))


@st.composite
def models(draw, mode, stage):
    A = draw(st.integers(1, 4))
    Z = draw(st.integers(1, 4))
    # Mostly with adult ages, sometimes none (new_adult_age up to A + 1).
    new_adult_age = draw(st.one_of(st.integers(0, A - 1), st.integers(0, A + 1)))
    vec = lambda n, el: np.array(draw(st.lists(el, min_size=n, max_size=n)), dtype=np.float64)  # noqa: E731

    # State: stored sperm first, then each female count as stored plus virgins,
    # so that mated females never outnumber their class, except when a broken
    # state is asked for (survival must then fail in the stochastic modes).
    sperm = vec(A * Z * Z, count(mode, 15))
    ind = np.zeros((2, A, Z))
    stored = sperm.reshape(A, Z, Z).sum(axis=2)
    ind[0] = stored + vec(A * Z, count(mode)).reshape(A, Z)
    ind[1] = vec(A * Z, count(mode)).reshape(A, Z)
    if draw(st.integers(0, 9)) == 0:
        a, i = draw(st.integers(0, A - 1)), draw(st.integers(0, Z - 1))
        ind[0, a, i] = max(stored[a, i] - draw(st.sampled_from([1.0, 3.0, 1e-11])), 0.0)

    # Offspring rows summing to less than, exactly or more than one, or to zero.
    off = np.zeros((Z, Z, Z))
    for i in range(Z):
        for j in range(Z):
            w = vec(Z, st.one_of(st.just(0.0), st.floats(0.0, 1.0)))
            scale = draw(st.sampled_from([0.0, 0.3, 0.9999999999, 1.0, 1.0, 1.7]))
            if w.sum() > 0:
                off[i, j] = w / w.sum() * scale

    sex_chrom = draw(st.booleans())
    female_only = male_only = None
    if sex_chrom:
        female_only = np.array(draw(st.lists(st.booleans(), min_size=Z, max_size=Z)), dtype=bool)
        male_only = np.array(draw(st.lists(st.booleans(), min_size=Z, max_size=Z)), dtype=bool)

    inputs = dict(
        mating_rates=np.concatenate([vec(A, RATE), vec(A, WEIGHT)]),
        reproduction_rates=vec(A, RATE), fertility=vec(A, RATE),
        survival_rates=vec(2 * A, RATE), competition_weights=vec(A, WEIGHT),
        viability_fitness=vec(2 * A * Z, RATE), fecundity_fitness=vec(2 * Z, WEIGHT),
        sexual_selection_fitness=vec(Z * Z, WEIGHT), zygote_viability_fitness=vec(2 * Z, RATE),
        offspring_tensor=off.ravel(),
        female_ztype_compatibility=vec(Z, WEIGHT), male_ztype_compatibility=vec(Z, WEIGHT),
        carrying_capacity=draw(st.one_of(st.just(0.0), st.floats(0.0, 300.0))),
        eggs_per_female=draw(st.one_of(st.sampled_from([0.0, 1.0, 2.5]), st.floats(0.0, 12.0),
                                        st.floats(1.0, 30.0))),
        sex_ratio=draw(RATE), sperm_displacement_rate=draw(RATE),
        low_density_growth_rate=draw(st.one_of(st.just(1.0), st.floats(1.0, 6.0))),  # validated >= 1
        growth_mode=float(draw(st.sampled_from([0, 1, 2, 3, 4, 7]))),
        equilibrium=(draw(st.one_of(st.just(0.0), st.floats(0.5, 400.0))), draw(st.floats(0.0, 2.0))),
    )
    words = T.rng_new(draw(st.integers(0, 2**64 - 1)))
    fixed = draw(st.booleans())
    return dict(stage=stage, ind=ind.ravel(), sperm=sperm, n_ages=A, n_ztypes=Z,
                new_adult_age=new_adult_age, mode=mode, inputs=inputs, words=words,
                fixed_egg_count=fixed, female_only=female_only, male_only=male_only)


def run_both(case):
    args = (case["stage"], case["ind"], case["sperm"], case["n_ages"], case["n_ztypes"],
            case["new_adult_age"], case["mode"], case["inputs"], case["words"])
    kw = {k: case[k] for k in ("fixed_egg_count", "female_only", "male_only")}
    try:
        want = ref.run_stage(*args, **kw)
    except ref.KernelError as e:
        with pytest.raises(RuntimeError) as got:
            T.lifecycle_stage(*args, **kw)
        assert str(got.value) == str(e)
        return None
    ind, sperm, words = T.lifecycle_stage(*args, **kw)
    assert bits(ind) == bits(want[0])
    assert bits(sperm) == bits(want[1])
    assert words == want[2]
    return want


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("stage", ["reproduction", "survival", "aging"])
@SETTINGS
@given(data=st.data())
def test_stage_matches_model(stage, mode, data):
    run_both(data.draw(models(mode, stage)))


@pytest.mark.parametrize("mode", MODES)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_full_tick_matches_model(mode, data):
    """Reproduction, survival and aging chained on one stream, as a tick runs them."""
    case = data.draw(models(mode, "reproduction"))
    for stage in ("reproduction", "survival", "aging"):
        case["stage"] = stage
        out = run_both(case)
        if out is None:
            return
        case["ind"], case["sperm"], case["words"] = np.array(out[0]), np.array(out[1]), out[2]


def small_model(A, Z, mode, **over):
    inputs = dict(
        mating_rates=np.ones(2 * A), reproduction_rates=np.ones(A), fertility=np.ones(A),
        survival_rates=np.full(2 * A, 0.5), competition_weights=np.ones(A),
        viability_fitness=np.ones(2 * A * Z), fecundity_fitness=np.ones(2 * Z),
        sexual_selection_fitness=np.ones(Z * Z), zygote_viability_fitness=np.ones(2 * Z),
        offspring_tensor=np.ones(Z ** 3) / max(Z, 1), female_ztype_compatibility=np.ones(Z),
        male_ztype_compatibility=np.ones(Z), carrying_capacity=50.0, eggs_per_female=4.0,
        sex_ratio=0.5, sperm_displacement_rate=0.5, low_density_growth_rate=2.0,
        growth_mode=1.0, equilibrium=(30.0, 0.8))
    inputs.update(over)
    return inputs


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("stage", ["reproduction", "survival", "aging"])
@pytest.mark.parametrize("A,Z,new_adult_age", [
    (0, 2, 0), (0, 2, 3), (2, 0, 1), (0, 0, 0), (1, 2, 0), (1, 2, 1), (1, 2, 5), (3, 2, 7), (3, 1, 0),
])
@pytest.mark.parametrize("growth_mode", [1.0, 3.0])
def test_degenerate_dimensions(stage, mode, A, Z, new_adult_age, growth_mode):
    """Empty age or genotype axes and adult ages beyond the last class: the
    stages stay inside the arrays and agree with the model (with no age class
    there is nothing to do and nothing is drawn)."""
    ind = np.full(2 * A * Z, 6.0)
    sperm = np.full(A * Z * Z, 1.0)
    case = dict(stage=stage, ind=ind, sperm=sperm, n_ages=A, n_ztypes=Z,
                new_adult_age=new_adult_age, mode=mode,
                inputs=small_model(A, Z, mode, growth_mode=growth_mode), words=T.rng_new(3),
                fixed_egg_count=False, female_only=None, male_only=None)
    out = run_both(case)
    if A == 0 or Z == 0:
        assert out == ([], [], list(case["words"]))


@pytest.mark.parametrize("mode", ["stochastic", "continuous"])
def test_zero_preference_row_sends_nothing_to_the_last_male_type(mode):
    """Without the skip, the multinomial remainder rule would credit every new
    mating of a female type that accepts no male to the last male type."""
    A, Z = 2, 2
    ind = np.zeros((2, A, Z))
    ind[0, 1] = [30, 30]
    ind[1, 1] = [10, 10]
    inputs = small_model(A, Z, mode, sexual_selection_fitness=np.array([0.0, 0.0, 1.0, 0.0]),
                         eggs_per_female=0.0, sperm_displacement_rate=0.0)
    case = dict(stage="reproduction", ind=ind.ravel(), sperm=np.zeros(A * Z * Z), n_ages=A,
                n_ztypes=Z, new_adult_age=1, mode=mode, inputs=inputs, words=T.rng_new(9),
                fixed_egg_count=False, female_only=None, male_only=None)
    out = run_both(case)
    s = np.array(out[1]).reshape(A, Z, Z)
    assert s[1, 0].tolist() == [0.0, 0.0]
    assert s[1, 1, 0] > 0 and s[1, 1, 1] == 0.0


@pytest.mark.parametrize("x,want", [(0.5, 1.0), (1.5, 2.0), (2.5, 3.0), (-0.5, -1.0),
                                    (0.49999999999999994, 0.0), (4503599627370497.0, 4503599627370497.0)])
def test_model_rounds_halves_away_from_zero(x, want):
    got = ref.round_half_away(x)
    assert got == want and math.copysign(1, got) == math.copysign(1, want)
