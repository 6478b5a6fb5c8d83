"""Discrete-generation kernels and ticks against the pure-Python model of
discrete_model.py: for random small models in every execution mode the engine
must leave exactly the same counts, stream words, journal and scalars behind,
bit for bit, or fail with exactly the same message."""
import numpy as np
import pytest
from hypothesis import assume, HealthCheck, given, settings, strategies as st

from qorin import _engine_testing as T
from qorin import genetics
from qorin import hooks as H
from qorin.contracts import Blueprint, Params

import discrete_model as ref
from conftest import raw_params
from model_util import round_half_away

MODES = ["deterministic", "stochastic", "continuous"]
SETTINGS = settings(max_examples=100, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# Rates straddle the clamping bounds: exact 0 and 1, the tolerance edges and
# values above 1 (the Wright-Fisher generation uses them as stored).
RATE = st.one_of(st.sampled_from([0.0, 1.0, 0.5, 1e-11, 0.9999999999, 1.0000001, 1.5]),
                 st.floats(0.0, 1.0), st.floats(0.0, 2.0))
WEIGHT = st.one_of(st.sampled_from([0.0, 1.0, 2.0]), st.floats(0.0, 3.0))


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def count(mode, hi=40):
    if mode == "stochastic":
        return st.one_of(st.integers(0, hi).map(float), st.integers(0, hi).map(lambda k: k + 0.5))
    return st.one_of(st.just(0.0), st.floats(0.0, float(hi)), st.sampled_from([0.4, 1.0, 1.0000000001]))


def offspring(draw, Z):
    """Rows summing to less than, exactly or more than one, or to zero; (i, j)
    and (j, i) differ, so swapped parents show."""
    off = np.zeros((Z, Z, Z))
    for i in range(Z):
        for j in range(Z):
            w = np.array(draw(st.lists(st.one_of(st.just(0.0), st.floats(0.0, 1.0)), min_size=Z, max_size=Z)))
            scale = draw(st.sampled_from([0.0, 0.3, 0.9999999999, 1.0, 1.0, 1.7]))
            if w.sum() > 0:
                off[i, j] = w / w.sum() * scale
    return off


@st.composite
def stage_cases(draw, mode, stage, speed_mode=1):
    Z = draw(st.integers(1, 4))
    vec = lambda n, el: np.array(draw(st.lists(el, min_size=n, max_size=n)), dtype=np.float64)  # noqa: E731
    ind = vec(4 * Z, count(mode))
    if draw(st.integers(0, 5)) == 0:  # no adult females, or no adult males
        ind[(draw(st.integers(0, 1)) * 2 + 1) * Z:][:Z] = 0.0
    sex_chrom = draw(st.booleans())
    female_only = male_only = None
    if sex_chrom:
        female_only = np.array(draw(st.lists(st.booleans(), min_size=Z, max_size=Z)))
        male_only = np.array(draw(st.lists(st.booleans(), min_size=Z, max_size=Z)))
    inputs = dict(
        mating_rates=vec(4, RATE), reproduction_rates=vec(2, RATE), fertility=vec(2, RATE),
        survival_rates=vec(4, RATE), competition_weights=vec(2, WEIGHT),
        viability_fitness=vec(4 * Z, RATE), fecundity_fitness=vec(2 * Z, WEIGHT),
        sexual_selection_fitness=vec(Z * Z, WEIGHT), zygote_viability_fitness=vec(2 * Z, RATE),
        offspring_tensor=offspring(draw, Z).ravel(),
        female_ztype_compatibility=vec(Z, WEIGHT), male_ztype_compatibility=vec(Z, WEIGHT),
        carrying_capacity=draw(st.one_of(st.just(0.0), st.floats(0.0, 300.0))),
        eggs_per_female=draw(st.one_of(st.sampled_from([0.0, 1.0, 2.5]), st.floats(0.0, 12.0))),
        sex_ratio=draw(st.one_of(RATE, st.floats(0.0, 1.0))), sperm_displacement_rate=draw(RATE),
        low_density_growth_rate=draw(st.one_of(st.just(1.0), st.floats(1.0, 6.0))),
        growth_mode=float(draw(st.sampled_from([0, 1, 2, 3, 4, 7]))),
        equilibrium=(draw(st.one_of(st.just(0.0), st.floats(0.5, 400.0))), draw(st.floats(0.0, 2.0))),
    )
    return dict(stage=stage, ind=ind, n_ztypes=Z, mode=mode, inputs=inputs,
                words=T.rng_new(draw(st.integers(0, 2**64 - 1))), fixed_egg_count=draw(st.booleans()),
                female_only=female_only, male_only=male_only, extreme_speed_mode=speed_mode)


def run_stage_both(case):
    args = (case["stage"], case["ind"], case["n_ztypes"], case["mode"], case["inputs"], case["words"])
    kw = {k: case[k] for k in ("fixed_egg_count", "female_only", "male_only", "extreme_speed_mode")}
    try:
        want = ref.run_stage(*args, **kw)
    except ref.KernelError as e:
        with pytest.raises(RuntimeError) as got:
            T.discrete_stage(*args, **kw)
        assert str(got.value) == str(e)
        return None
    ind, words = T.discrete_stage(*args, **kw)
    assert bits(ind) == bits(want[0])
    assert words == want[1]
    return want


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("stage", ["reproduction", "survival", "aging"])
@SETTINGS
@given(data=st.data())
def test_staged_kernel_matches_model(stage, mode, data):
    run_stage_both(data.draw(stage_cases(mode, stage)))


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("speed_mode", [1, 2, 3])
@SETTINGS
@given(data=st.data())
def test_wright_fisher_generation_matches_model(speed_mode, mode, data):
    run_stage_both(data.draw(stage_cases(mode, "wf", speed_mode)))


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("speed_mode", [0, 4, -1])
def test_unknown_speed_mode_fails(speed_mode, mode):
    ind = np.full(12, 10.0)
    with pytest.raises(RuntimeError, match=f"^unrecognised extreme_speed_mode={speed_mode}$"):
        T.discrete_stage("wf", ind, 3, mode, small_inputs(3), T.rng_new(1), extreme_speed_mode=speed_mode)


# ---------------------------------------------------------------------------
# Whole ticks built from the contracts, with hook events
# ---------------------------------------------------------------------------
LOCI = {"autosomal2": lambda: genetics.autosomal_locus(2), "autosomal3": lambda: genetics.autosomal_locus(3),
        "xy1": lambda: genetics.xy_locus(1), "xy2": lambda: genetics.xy_locus(2)}


def programs(Z):
    """Hook programs touching every event: parameter writes (journaled with
    their stage), counts changed before and after the kernels, and stops."""
    def build(*hooks):
        b = H.HookProgramBuilder(n_ages=2, n_ztypes=Z)
        for event, ops in hooks:
            b.add_hook(event, ops)
        return b.build()
    return [
        None,
        build(("first", [H.set_param("eggs_per_female", H.param("eggs_per_female") * 0.5),
                         H.kill(0.25, sex="female", ages=[1])]),
              ("early", [H.set_param("carrying_capacity", H.param("carrying_capacity") + 7.0),
                         H.scale(1.5, sex="male", ages=[0])]),
              ("late", [H.set_param("sex_ratio", 0.4), H.add(2.0, sex="female", ages=[0], ztypes=[0])])),
        build(("early", [H.stop_if_above(5.0, ages=[0])])),
        build(("late", [H.set_param("low_density_growth_rate", 3.0), H.stop_if_extinct()])),
        build(("first", [H.set_param("sex_ratio", 1.5)])),  # fails the commit of `first`
        build(("early", [H.set_param("carrying_capacity", 0.0), H.cap(3.0, ages=[1])])),
    ]


@st.composite
def tick_cases(draw, mode, wf):
    locus_name = draw(st.sampled_from(sorted(LOCI)))
    locus = LOCI[locus_name]()
    Z = locus.n_ztypes
    speed_mode = draw(st.sampled_from([1, 1, 2, 3, 0])) if wf else 0
    bp = Blueprint(2, 1, locus, stochastic=mode != "deterministic", continuous_sampling=mode == "continuous",
                   fixed_egg_count=draw(st.booleans()), discrete_generation=True,
                   extreme_speed_mode=speed_mode)
    # Half of the cases use rates that let a generation through to the end of
    # the tick; the others straddle the clamping bounds.
    live = draw(st.booleans())
    rate = st.floats(0.3, 1.0) if live else RATE
    vec = lambda shape, el: np.array(draw(st.lists(el, min_size=int(np.prod(shape)), max_size=int(np.prod(shape)))),  # noqa: E731
                                     dtype=np.float64).reshape(shape)
    off = offspring(draw, Z) if draw(st.booleans()) else np.asarray(locus.offspring_tensor).reshape(Z, Z, Z)
    params = raw_params(  # values beyond the host layer's ranges too: the engine's own handling
        bp, locus,
        carrying_capacity=draw(st.one_of(st.floats(20.0, 400.0), st.floats(0.0, 400.0))),
        eggs_per_female=draw(st.one_of(st.floats(2.0, 15.0), st.floats(0.0, 15.0))),
        sex_ratio=draw(st.floats(0.0, 1.0)), low_density_growth_rate=draw(st.floats(1.0, 6.0)),
        growth_mode=draw(st.sampled_from([0, 1, 3] if live else [0, 1, 2, 3, 4, 7])),
        survival_rates=vec((2, 2), rate), mating_rates=vec((2, 2), rate),
        reproduction_rates=vec(2, rate), competition_weights=vec(2, WEIGHT),
        viability_fitness=vec((2, 2, Z), rate), fecundity_fitness=vec((2, Z), WEIGHT),
        sexual_selection_fitness=vec((Z, Z), WEIGHT), zygote_viability_fitness=vec((2, Z), rate),
        offspring_tensor=off.ravel(),
    )
    ind = vec(4 * Z, count(mode, 60))
    if live:  # adults of every type
        ind.reshape(2, 2, Z)[:, 1] += 5.0
    program = draw(st.sampled_from(programs(Z)))
    return dict(bp=bp, params=params, ind=ind, words=T.rng_new(draw(st.integers(0, 2**64 - 1))),
                tick=draw(st.integers(0, 5)), wf=wf, program=program)


def run_tick_both(case):
    want = ref.run_tick(case["bp"], case["params"], case["ind"], case["words"], case["tick"], case["wf"],
                        case["program"])
    # Integer draws over counts beyond 2^53 (where a float count is no longer
    # an exact integer) are left out: there the model's exact Python integers
    # and the engine's 64-bit arithmetic may round differently.
    if case["bp"].stochastic and not case["bp"].continuous_sampling:
        assume(all(abs(v) <= 2.0 ** 53 for v in want["ind"]))
    got = T.discrete_tick(case["bp"], case["params"], case["ind"], 0, case["tick"], case["wf"],
                          program=case["program"], words=case["words"], keep_state_on_error=True)
    assert got.get("error") == want.get("error")
    assert got.get("code") == want.get("code")
    assert bits(got["ind"]) == bits(want["ind"])
    assert got["words"] == want["words"]
    assert got["journal"] == want["journal"]
    assert bits(got["scalars"]) == bits(want["scalars"])
    assert got["stage"] == want["stage"]
    return got


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("wf", [False, True], ids=["staged", "wf"])
@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_tick_matches_model(wf, mode, data):
    run_tick_both(data.draw(tick_cases(mode, wf)))


# ---------------------------------------------------------------------------
# Specific behaviour
# ---------------------------------------------------------------------------
def small_inputs(Z, **over):
    inputs = dict(
        mating_rates=np.ones(4), reproduction_rates=np.ones(2), fertility=np.ones(2),
        survival_rates=np.ones(4), competition_weights=np.ones(2), viability_fitness=np.ones(4 * Z),
        fecundity_fitness=np.ones(2 * Z), sexual_selection_fitness=np.ones(Z * Z),
        zygote_viability_fitness=np.ones(2 * Z), offspring_tensor=np.ones(Z ** 3) / Z,
        female_ztype_compatibility=np.ones(Z), male_ztype_compatibility=np.ones(Z), carrying_capacity=100.0,
        eggs_per_female=4.0, sex_ratio=0.5, sperm_displacement_rate=0.0, low_density_growth_rate=2.0,
        growth_mode=0.0, equilibrium=(50.0, 1.0))
    inputs.update(over)
    return inputs


@pytest.mark.parametrize("mode", MODES)
def test_female_type_accepting_no_male_forms_no_pairs(mode):
    """Female type 0 accepts no male: its matings go nowhere. Without the skip
    a multinomial would credit them all to the last male type (2), and the
    (0, 2) pairs would make zygotes of type 2."""
    Z = 3
    ind = np.zeros((2, 2, Z))
    ind[0, 1] = [30.0, 20.0, 0.0]
    ind[1, 1] = [10.0, 0.0, 10.0]
    ssf = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 1]], dtype=float)
    off = np.zeros((Z, Z, Z))
    off[0, :, 2] = 1.0          # any pair with a type-0 mother: zygote type 2
    off[1, :, 0] = 1.0          # type-1 mothers: zygote type 0
    inputs = small_inputs(Z, sexual_selection_fitness=ssf.ravel(), offspring_tensor=off.ravel())
    case = dict(stage="reproduction", ind=ind.ravel(), n_ztypes=Z, mode=mode, inputs=inputs,
                words=T.rng_new(11), fixed_egg_count=False, female_only=None, male_only=None,
                extreme_speed_mode=1)
    out = np.array(run_stage_both(case)[0]).reshape(2, 2, Z)
    assert np.isfinite(out).all()
    assert out[:, 0, 2].sum() == 0.0 and out[:, 0, 1].sum() == 0.0
    assert out[:, 0, 0].sum() > 0.0


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("empty_sex", [0, 1], ids=["no_females", "no_males"])
def test_no_mates_no_newborns_and_aging_drops_the_adults(mode, empty_sex):
    Z = 2
    ind = np.full((2, 2, Z), 5.0)
    ind[empty_sex, 1] = 0.0
    inputs = small_inputs(Z)
    words = T.rng_new(3)
    after, w = T.discrete_stage("reproduction", ind.ravel(), Z, mode, inputs, words)
    assert bits(after) == bits(ind.ravel()) and w == words  # age 0 untouched, nothing drawn
    young = ind.copy()
    young[:, 0] = 0.0  # no juvenile survived
    aged, _ = T.discrete_stage("aging", young.ravel(), Z, mode, inputs, words)
    assert np.all(np.asarray(aged) == 0.0)


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("growth_mode", [0.0, 1.0, 3.0])
def test_wright_fisher_mode_1_keeps_the_rounded_expected_total(seed, growth_mode):
    Z = 3
    rng = np.random.default_rng(seed)
    ind = rng.uniform(0, 40, 4 * Z)
    inputs = small_inputs(Z, fecundity_fitness=rng.uniform(0.5, 2, 2 * Z),
                          offspring_tensor=rng.dirichlet(np.ones(Z), Z * Z).ravel(),
                          survival_rates=np.array([0.3, 1.0, 0.6, 1.0]), growth_mode=growth_mode)
    expected, _ = T.discrete_stage("wf", ind, Z, "deterministic", inputs, T.rng_new(seed))
    total = 0.0
    for v in expected:
        total += v
    drawn, _ = T.discrete_stage("wf", ind, Z, "stochastic", inputs, T.rng_new(seed))
    assert sum(drawn) == round_half_away(total)
    assert all(float(v).is_integer() for v in drawn)


def discrete_model(Z_locus=None, **bp_kw):
    locus = Z_locus or genetics.autosomal_locus(2)
    bp = Blueprint(2, 1, locus, discrete_generation=True, **bp_kw)
    bp.initial_individual_count[:, 1, :] = 20.0
    return bp, Params(bp, locus, carrying_capacity=100.0, eggs_per_female=6.0)


def test_unknown_speed_mode_fails_after_the_first_event_and_its_commit():
    bp, params = discrete_model(stochastic=True, extreme_speed_mode=0)
    prog = H.HookProgramBuilder(n_ages=2, n_ztypes=3).add_hook(
        "first", [H.set_param("eggs_per_female", 2.0), H.kill(0.5, sex="male", ages=[1])]).build()
    ind = bp.initial_individual_count.ravel()
    got = T.discrete_tick(bp, params, ind, 5, 4, True, program=prog, keep_state_on_error=True)
    assert got["error"] == "unrecognised extreme_speed_mode=0"
    assert got["journal"] == [(4, 1, 6.0, 2.0, 0)]
    out = np.asarray(got["ind"]).reshape(2, 2, 3)
    assert np.array_equal(out[0], bp.initial_individual_count[0])  # females untouched
    assert out[1, 0].sum() == 0.0 and out[1, 1].sum() < 60.0  # only the kill happened
    with pytest.raises(RuntimeError, match="^unrecognised extreme_speed_mode=0$"):
        T.discrete_tick(bp, params, ind, 5, 4, True, program=prog)


def test_wright_fisher_tick_needs_a_context():
    bp, params = discrete_model(extreme_speed_mode=3)
    with pytest.raises(RuntimeError, match="^wf tick lends an eco context$"):
        T.discrete_tick(bp, params, bp.initial_individual_count.ravel(), 0, 0, True, context=False)


@pytest.mark.parametrize("mode", MODES)
def test_staged_tick_without_context_reads_the_sources(mode):
    bp, params = discrete_model(stochastic=mode != "deterministic", continuous_sampling=mode == "continuous")
    ind = bp.initial_individual_count.ravel()
    lent = T.discrete_tick(bp, params, ind, 9, 0, False)
    sources = T.discrete_tick(bp, params, ind, 9, 0, False, context=False)
    assert bits(lent["ind"]) == bits(sources["ind"]) and lent["words"] == sources["words"]
    assert lent["stage"] == 5 and sources["journal"] == []


def test_shape_check():
    bp = Blueprint(3, 1, discrete_generation=True)
    with pytest.raises(ValueError, match=r"^discrete blueprint must have n_ages == 2, got 3$"):
        T.discrete_tick(bp, Params(bp), np.zeros(2 * 3 * 3), 0, 0, False)
