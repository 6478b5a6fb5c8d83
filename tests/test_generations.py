"""Generations as a model choice: the blueprint's kind picks the session, the
sampling modes have names and valid defaults, N maps onto the cap regulation,
and simulate / sweep / scenarios run discrete and Wright-Fisher models."""

import concurrent.futures as cf
import warnings

import numpy as np
import pytest

import qorin
from qorin import generations as GEN
from qorin import genetics as G
from qorin import hooks as H
from qorin.scenario import ScenarioError, parse_scenario
from qorin.sweeps import Model

xr = pytest.importorskip("xarray")


def adults(ds):
    return ds["count"].sel(age=1).sum(("sex", "genotype"))


# ----------------------------------------------------------------- blueprint
@pytest.mark.parametrize("kwargs, kind, stochastic, mode", [
    ({}, "overlapping", False, 0),
    ({"generations": "discrete"}, "discrete", False, 0),
    ({"generations": "wright_fisher"}, "wright_fisher", True, 1),
    ({"generations": "wright_fisher", "stochastic": False}, "wright_fisher", False, 3),
    ({"generations": "wright_fisher", "extreme_speed_mode": "poisson"}, "wright_fisher", True, 2),
    ({"generations": "wright_fisher", "extreme_speed_mode": 1}, "wright_fisher", True, 1),
])
def test_blueprint_resolves_generations_and_sampling(kwargs, kind, stochastic, mode):
    bp = qorin.Blueprint(2, 1, **kwargs)
    assert (bp.generations, bp.stochastic, bp.extreme_speed_mode) == (kind, stochastic, mode)
    assert bp.discrete_generation == (kind != "overlapping")
    expected = {"overlapping": qorin.EngineSession, "discrete": qorin.DiscreteSession,
                "wright_fisher": qorin.WrightFisherSession}[kind]
    assert GEN.session_class(bp) is expected


@pytest.mark.parametrize("args, kwargs, error, match", [
    ((3, 1), {"generations": "discrete"}, ValueError, "n_ages must be 2"),
    ((2, 0), {"generations": "wright_fisher"}, ValueError, "new_adult_age 1"),
    ((2, 1), {"generations": "wf_typo"}, ValueError, "generations must be one of"),
    ((2, 1), {"generations": 1}, TypeError, "generations must be one of"),
    ((2, 1), {"generations": "wright_fisher", "extreme_speed_mode": "fast"}, ValueError, "multinomial"),
    ((2, 1), {"generations": "wright_fisher", "extreme_speed_mode": 4}, ValueError, "0..3"),
    ((2, 1), {"generations": "wright_fisher", "extreme_speed_mode": True}, TypeError, "0..3"),
    ((2, 1), {"generations": "wright_fisher", "stochastic": False, "extreme_speed_mode": "multinomial"},
     ValueError, "stochastic"),
])
def test_blueprint_refuses_inconsistent_generations(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        qorin.Blueprint(*args, **kwargs)


def test_stochastic_expected_values_warn():
    with pytest.warns(qorin.ExpectedValuesWarning, match="no drift"):
        qorin.Blueprint(2, 1, generations="wright_fisher", extreme_speed_mode="expected")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        qorin.Blueprint(2, 1, generations="wright_fisher", stochastic=False)  # no warning
    # a blueprint made by hand, without the kind, warns when its session is made
    bp = qorin.Blueprint(2, 1, stochastic=True, discrete_generation=True, extreme_speed_mode=3)
    with pytest.warns(qorin.ExpectedValuesWarning):
        qorin.WrightFisherSession(bp, qorin.Params(bp), 0)


def test_a_hand_made_blueprint_with_mode_0_runs_wright_fisher():
    """Mode 0 (the documented default) means "the default of the model"."""
    bp = qorin.Blueprint(2, 1, stochastic=True, discrete_generation=True)
    assert bp.extreme_speed_mode == 0
    bp.initial_individual_count[:, 1, :] = [10.0, 20.0, 10.0]
    params = qorin.Params(bp, growth_mode=1, carrying_capacity=37.0)
    session = qorin.WrightFisherSession(bp, params, 5)
    final, rows, stopped = session.run(4, 1)
    assert final == 4 and not stopped
    np.testing.assert_array_equal(rows[1:, 1:].sum(axis=1), 37.0)
    assert bp.extreme_speed_mode == 0  # the caller's blueprint is left as it was
    assert session.tick() == 0 and session.current_tick() == 5


def test_wright_fisher_refuses_hooks_that_never_run():
    model = qorin.wright_fisher(20)
    session = qorin.WrightFisherSession(model.blueprint, model.params, 0)
    program = H.HookProgramBuilder.for_blueprint(model.blueprint)
    program.add_hook("early", H.kill(0.5))
    with pytest.raises(ValueError, match="only the event 'first'"):
        session.set_hook_program(program.build())
    ok = H.HookProgramBuilder.for_blueprint(model.blueprint)
    ok.add_hook("first", H.release(3, ages=[1], ztypes=["A1/A1"], when=H.at(2)))
    session.set_hook_program(ok.build())
    session.run(3, 1)


def test_a_landscape_cannot_run_wright_fisher():
    bp = qorin.Blueprint(2, 1, generations="wright_fisher", n_demes=2)
    with pytest.raises(ValueError, match="one population"):
        GEN.session_class(bp)
    assert GEN.session_class(qorin.Blueprint(2, 1, generations="discrete", n_demes=2)).__name__ == \
        "LandscapeSession"


# ----------------------------------------------------------------- N and sampling
def test_hardy_weinberg_counts_sum_to_the_total():
    locus = G.autosomal_locus(3, ["A", "B", "C"])
    counts = GEN.hardy_weinberg(locus, {"A": 0.5, "B": 0.3}, 101)
    assert counts.sum() == 101 and np.all(counts == np.round(counts))
    expected = np.array([0.25, 0.3, 0.2, 0.09, 0.12, 0.04]) * 101
    assert np.all(np.abs(counts - expected) < 1.0)
    # the allele copies are as close to 2 * total * p as integers allow
    two = GEN.hardy_weinberg(G.autosomal_locus(2), {"A1": 0.1}, 50)
    assert two.tolist() == [0.0, 10.0, 40.0]  # 10 copies of A1 in 100: p = 0.1 exactly
    with pytest.raises(ValueError, match="sum to 1"):
        GEN.hardy_weinberg(locus, {"A": 0.8, "B": 0.3}, 10)
    with pytest.raises(ValueError, match="not an allele"):
        GEN.hardy_weinberg(locus, {"Z": 0.5}, 10)


@pytest.mark.parametrize("N", [20, 101, 10_000])  # (a very small N may lose a sex)
def test_multinomial_sampling_keeps_exactly_n_adults(N):
    model = qorin.wright_fisher(N, frequencies={"A1": 0.3})
    assert model.params.growth_mode == 1 and model.params.carrying_capacity == N
    ds = qorin.replicates(model.blueprint, model.params, 30, seeds=3)
    np.testing.assert_array_equal(adults(ds).values, float(N))
    assert float(ds["count"].sel(age=0).sum()) == 0.0


def test_poisson_and_expected_sampling():
    poisson = qorin.wright_fisher(200, sampling="poisson")
    sizes = adults(qorin.replicates(poisson.blueprint, poisson.params, 40, seeds=4)).values[:, 1:]
    assert sizes.std() > 3 and abs(sizes.mean() - 200) < 10  # Poisson: variance about N
    det = qorin.wright_fisher(200, frequencies={"A1": 0.3}, stochastic=False)
    ds = qorin.simulate(det.blueprint, det.params, 10)
    f = qorin.allele_frequencies(ds, adults_only=True).sel(allele="A1").values
    np.testing.assert_allclose(f[1:], 0.3, rtol=0, atol=1e-12)  # no drift, no selection


@pytest.mark.parametrize("bad, error", [(0, ValueError), (float("nan"), ValueError), ("100", TypeError),
                                        (True, TypeError), (10.5, ValueError)])
def test_wright_fisher_checks_n(bad, error):
    with pytest.raises(error, match="N must be"):
        qorin.wright_fisher(bad)


# ----------------------------------------------------------------- running
def test_simulate_and_layout_follow_the_generations():
    model = qorin.wright_fisher(50)
    assert qorin.history_width(model.blueprint) == 1 + 2 * 2 * 3  # no stored sperm
    ds = qorin.simulate(model.blueprint, model.params, 5, seed=2)
    assert "stored_sperm" not in ds and ds.sizes["tick"] == 6


def _wf_model(s=0.1):
    locus = G.autosomal_locus(2, ["A", "a"])
    return qorin.wright_fisher(40, locus, frequencies={"a": 0.2},
                               zygote_viability_fitness=[[1.0, 1.0 + s / 2, 1.0 + s]] * 2)


def test_sweeps_over_wright_fisher_are_identical_across_executors():
    def model(s):
        return _wf_model(s)

    grid = {"s": [0.0, 0.2]}
    runs = [qorin.sweep(model, 30, grid, replicates=4, seed=9, executor=ex)
            for ex in (None, "threads", "processes")]
    with cf.ThreadPoolExecutor(2) as pool:
        runs.append(qorin.sweep(model, 30, grid, replicates=4, seed=9, executor=pool))
    try:
        import distributed
    except ImportError:  # the dask cluster is optional
        distributed = None
    if distributed is not None:
        with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            runs.append(qorin.sweep(model, 30, grid, replicates=4, seed=9, executor=client))
    for other in runs[1:]:
        xr.testing.assert_identical(runs[0], other)
    np.testing.assert_array_equal(adults(runs[0]).values[..., 1:], 40.0)
    assert runs[0]["count"].sel(s=0.2).values.std() > 0  # the replicates differ


def test_sweep_accepts_a_raw_discrete_engine_session():
    model = _wf_model()
    raw = Model(model.blueprint, model.params, None, qorin.DiscreteEngineSession)
    ds = qorin.sweep(raw, 5, replicates=2)
    np.testing.assert_array_equal(adults(ds).values[:, 1:], 40.0)


def test_a_stopped_discrete_replicate_keeps_its_state():
    model = _wf_model()
    program = H.HookProgramBuilder.for_blueprint(model.blueprint)
    program.add_hook("first", H.stop_if_above(0.0, when=H.at(3)))
    ds = qorin.sweep(Model(model.blueprint, model.params, program), 8, replicates=2)
    assert ds["stop_tick"].values.tolist() == [3, 3] and ds["stopped"].values.all()
    frozen = ds["count"].sel(tick=slice(3, None)).values
    np.testing.assert_array_equal(frozen, np.repeat(frozen[:, :1], frozen.shape[1], axis=1))


def test_discrete_generations_run_every_event():
    locus = G.autosomal_locus(2)
    bp = qorin.Blueprint(2, 1, locus, generations="discrete", stochastic=False)
    bp.initial_individual_count[:, 1, :] = [25.0, 50.0, 25.0]
    params = qorin.Params(bp, growth_mode=1, carrying_capacity=100.0)
    program = H.HookProgramBuilder.for_blueprint(bp)
    program.add_hook("late", H.kill(0.5, sex="female", ages=[0]))
    ds = qorin.simulate(bp, params, 2, program=program)
    by_sex = ds["count"].sel(tick=2, age=1).sum("genotype").values
    np.testing.assert_allclose(by_sex, [25.0, 50.0])


# ----------------------------------------------------------------- scenarios
WF_SCENARIO = '''
[run]
ticks = 20
replicates = 3
generations = "wright_fisher"
[genetics]
builder = "autosomal_locus"
[initial]
"A1/A2" = 30
[ecology]
population_size = 80
'''


def test_a_wright_fisher_scenario():
    sc = parse_scenario(WF_SCENARIO)
    assert sc.models[0].blueprint.generations == "wright_fisher"
    ds = sc.run(executor=None)
    np.testing.assert_array_equal(adults(ds).values[:, 1:], 80.0)


@pytest.mark.parametrize("change, key", [
    (('generations = "wright_fisher"', 'generations = "wright_fisher"\nsampling = "expected"'),
     "run.sampling"),
    (('generations = "wright_fisher"', 'generations = "overlapping"'), ""),  # [ages] is required
    (('generations = "wright_fisher"', 'generations = "discrete"\nsampling = "poisson"'), "run.sampling"),
    (('generations = "wright_fisher"', 'generations = "wright-fisher!"'), "run.generations"),
    (('population_size = 80', 'population_size = 80\ncarrying_capacity = 80'), "ecology.population_size"),
    (('[ecology]', '[ages]\nn_ages = 2\n[ecology]'), "ages"),
    (('population_size = 80', 'population_size = 80\n[[release]]\ngenotype = "A1/A1"\ncount = 1\n'
                              'at = 2\nevent = "late"'), "release.0.event"),
])
def test_wright_fisher_scenario_errors(change, key):
    with pytest.raises(ScenarioError) as info:
        parse_scenario(WF_SCENARIO.replace(*change))
    assert (info.value.key or "") == key


@pytest.mark.parametrize("genetics, genotype", [
    ('builder = "driving_y"\ntransmission = 0.9\ncost = 0.1\nfecundity = {"X/Yd" = 0.8}', "X/X"),
    ('builder = "medea"\ntoxicity = 1\nantidote = 0.9\ncost = 0.1\ndominance = 0', "W/W"),
    ('builder = "underdominance"\nlethality = 0.95\ncost = 0.05', "a/a;b/b"),
    ('builder = "female_lethal"\nlethality = [1, 0]\nsterility = {female = 0, male = 0.5}\n'
     'timing = "late"', "W/W"),
    ('builder = "cleave_and_rescue"\ncutting = [0.9, 0.8]\ndeposition = 0.2\nlethality = 1\n'
     'target_names = ["G", "g"]', "w/w;G/G"),
    ('builder = "homing_drive"\nzygotic_cutting = 0.5\nzygotic_homing = 0.8', "W/W"),
    ('builder = "split_drive"\nzygotic_cutting = 0.5', "W/W;w/w"),
])
def test_scenarios_name_every_construct(genetics, genotype):
    text = (f'[run]\nticks = 3\ngenerations = "discrete"\n[genetics]\n{genetics}\n'
            f'[initial]\n"{genotype}" = 20\n')
    sc = parse_scenario(text)
    builder = genetics.split('"')[1]
    assert sc.models[0].blueprint.locus.description["builder"] == builder
    sc.run(executor=None, replicates=1)


@pytest.mark.parametrize("genetics, key", [
    ('builder = "medea"\ntoxicity = 2', "genetics.toxicity"),
    ('builder = "female_lethal"\ntiming = "noon"', "genetics.timing"),
    ('builder = "female_lethal"\nlethality = [1, 2]', "genetics.lethality.1"),
    ('builder = "underdominance"\nallele_names = [["a", "A"]]', "genetics.allele_names"),
    ('builder = "driving_y"\nallele_names = ["X", "Y"]', "genetics.allele_names"),
    ('builder = "cleave_and_rescue"\nhoming = 0.5', "genetics.homing"),
])
def test_construct_keys_are_checked(genetics, key):
    text = f'[run]\nticks = 3\ngenerations = "discrete"\n[genetics]\n{genetics}\n'
    with pytest.raises(ScenarioError) as info:
        parse_scenario(text)
    assert info.value.key == key


def test_model_reports_its_generations():
    assert qorin.wright_fisher(10).generations == "wright_fisher"
    assert Model(qorin.Blueprint(3), None).generations == "overlapping"


def test_execution_flags_and_sex_chromosome_starts():
    y = G.driving_y(transmission=0.8)
    model = qorin.wright_fisher(60, y, initial={"X/X": 30, "X/Y": 28, "X/Yd": 2})
    start = model.blueprint.initial_individual_count[:, 1, :]
    assert start.tolist() == [[30.0, 0.0, 0.0], [0.0, 28.0, 2.0]]
    session = qorin.WrightFisherSession(model.blueprint, model.params, 1)
    session.set_execution_flags(True, False, False, 0)  # 0: the default, multinomial
    assert session.run(3, 1)[1][1:, 1:].sum(axis=1).tolist() == [60.0] * 3
    with pytest.warns(qorin.ExpectedValuesWarning):
        session.set_execution_flags(True, False, False, "expected")
    with pytest.raises(ValueError, match="0..3"):
        session.set_execution_flags(True, False, False, 7)
