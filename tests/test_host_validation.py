"""Checks of the host layer before the first tick: the Python API and scenario
files refuse the same models with the same words, fractional counts of a
stochastic model are refused (or rounded when asked), hook builders know their
dimensions (tests/test_hooks_builder.py), and sweeps report failing replicates and keep the finished ones."""

import _thread
import math
import os
import re
import threading
import time

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import qorin

xr = pytest.importorskip("xarray")  # imported before a test times how soon a sweep stops
from qorin import contracts as C
from qorin import genetics as G
from qorin import hooks as H
from qorin import scenario as S
from qorin import sweeps
from qorin.scenario import DEMO, ScenarioError, parse_scenario

DRIVE = G.homing_drive(cutting=0.9, homing=0.9, disrupts="female_fertility")


def stochastic_model(counts=(300.0, 200.0, 100.0), **bp_kw):
    bp = qorin.Blueprint(4, 1, DRIVE, stochastic=True, **bp_kw)
    bp.initial_individual_count[:, 1:, DRIVE.index("W/W")] = counts
    params = qorin.Params(bp, carrying_capacity=600.0, eggs_per_female=20.0,
                          low_density_growth_rate=6.0)
    return bp, params


def _demo(old, new):
    assert old in DEMO, old
    return DEMO.replace(old, new, 1)


# ------------------------------------------------------------------ fractional counts
FRACTIONAL = [300.5, 200.25, 100.7]


def test_fractional_counts_of_a_stochastic_model_are_refused_everywhere():
    pattern = r"initial_individual_count\[female W/W of age 1\]: must be a whole number .* got 300\.5"
    counts = np.zeros((2, 4, DRIVE.n_ztypes))
    counts[:, 1:, DRIVE.index("W/W")] = FRACTIONAL
    with pytest.raises(ValueError, match=pattern):
        qorin.Blueprint(4, 1, DRIVE, stochastic=True, initial_individual_count=counts)
    bp, params = stochastic_model(FRACTIONAL)  # set after construction: caught before the run
    with pytest.raises(ValueError, match=pattern):
        qorin.simulate(bp, params, 5, seed=1)
    with pytest.raises(ValueError, match=pattern):
        qorin.sweep((bp, params), 5, replicates=2)
    with pytest.raises(ValueError, match=pattern):
        qorin.replicates(bp, params, 5, 2)
    with pytest.raises(ScenarioError, match=r"initial\.W/W: female W/W of age 1: must be a whole "
                                            r"number .* got 300\.5 .*round_counts = true in \[run\]"):
        parse_scenario(_demo('"W/W" = [0, 300, 200, 100]', '"W/W" = [0, 300.5, 200.25, 100.7]'))


def test_qorin_run_refuses_fractional_counts_in_one_line(tmp_path, capsys):
    from qorin import cli

    scenario = tmp_path / "fractional.toml"
    scenario.write_text(_demo('"W/W" = [0, 300, 200, 100]', '"W/W" = [0, 300.5, 200.25, 100.7]'))
    assert cli.main(["run", str(scenario), "--out", str(tmp_path / "out.nc"), "--no-progress"]) == 2
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and "female W/W of age 1" in err and "got 300.5" in err
    assert not (tmp_path / "out.nc").exists()


@pytest.mark.parametrize("flags", [dict(stochastic=False), dict(stochastic=True, continuous_sampling=True)])
def test_models_of_continuous_counts_take_fractions(flags):
    counts = np.zeros((2, 3, 3))
    counts[:, 1:, 0] = [10.5, 3.25]
    bp = qorin.Blueprint(3, 1, initial_individual_count=counts, **flags)
    ds = qorin.simulate(bp, qorin.Params(bp), 3, seed=2)
    assert float(ds["count"].isel(tick=0).sum()) == 2 * 13.75


def test_round_counts_rounds_copies_and_runs_the_rounded_model():
    bp, params = stochastic_model(FRACTIONAL)
    program = H.HookProgramBuilder.for_blueprint(bp)
    program.add_hook("early", H.release(12.5, ages=1, ztypes="D/D", when=H.at(2)))
    before = bp.initial_individual_count.copy()
    ds = qorin.simulate(bp, params, 8, seed=3, program=program, round_counts=True)
    np.testing.assert_array_equal(bp.initial_individual_count, before)  # the user's model is kept
    whole, _ = stochastic_model([301.0, 200.0, 101.0])  # halves away from zero
    program = H.HookProgramBuilder.for_blueprint(whole)
    program.add_hook("early", H.release(13, ages=1, ztypes="D/D", when=H.at(2)))
    expected = qorin.simulate(whole, params, 8, seed=3, program=program)
    np.testing.assert_array_equal(ds["count"].values, expected["count"].values)
    swept = qorin.sweep((bp, params, program), 8, replicates=2, seed=4, round_counts=True)
    assert (swept["count"].values == np.round(swept["count"].values)).all()


@pytest.mark.parametrize("make, message", [
    (lambda: H.release(12.5, sex="male", ages=[1], ztypes=[3]), r"\(add or release\): amount must be a whole"),
    (lambda: H.add(0.5, ages=[1], ztypes=[0]), r"\(add or release\): amount must be a whole"),
    (lambda: H.set_count(7.7, ages=[1], ztypes=[0]), r"\(set_count\): count must be a whole"),
    (lambda: H.scale(1.5, ages=[1], ztypes=[0]), r"\(scale\): a factor above 1 must be whole"),
])
def test_hooks_that_add_fractions_to_a_stochastic_model_are_refused_before_the_run(make, message):
    bp, params = stochastic_model()
    program = H.HookProgramBuilder(4, DRIVE.n_ztypes)  # the plain builder does not know the model
    program.add_hook("early", [H.kill(0.5, ages=[2]), H.subtract(2.5, ages=[1]), make()])
    with pytest.raises(ValueError, match=r"hook operation 2 " + message):
        qorin.simulate(bp, params, 4, program=program)
    deterministic = qorin.Blueprint(4, 1, DRIVE, initial_individual_count=bp.initial_individual_count)
    qorin.simulate(deterministic, qorin.Params(deterministic), 4, program=program)


def test_a_scenario_refuses_fractional_releases_or_rounds_them_when_asked():
    with pytest.raises(ScenarioError, match=r"release\.0\.count: must be a whole number .* got 12\.5"):
        parse_scenario(_demo("count = 30", "count = 12.5"))
    swept = _demo('"release.0.count" = [10, 40]', '"release.0.count" = [10.5, 40]')
    with pytest.raises(ScenarioError, match=r"value 1 \(10\.5\): release\.0\.count must be a whole"):
        parse_scenario(swept)
    rounded = parse_scenario(swept.replace("stop_when_extinct = true",
                                           "stop_when_extinct = true\nround_counts = true"))
    released = rounded.models[0].program.build().params_data.tolist()
    assert 11.0 in released and 10.5 not in released


def test_stored_sperm_must_not_exceed_the_females_that_store_it():
    bp, params = stochastic_model()
    z = DRIVE.index("W/W")
    bp.initial_sperm_storage = np.zeros((4, DRIVE.n_ztypes, DRIVE.n_ztypes))
    bp.initial_sperm_storage[1, z, z] = 301.0
    with pytest.raises(ValueError, match=r"301 female W/W of age 1 store sperm, but the cell holds 300 "
                                         r"females"):
        qorin.simulate(bp, params, 2)
    bp.initial_sperm_storage[1, z, z] = 150.5
    with pytest.raises(ValueError, match=r"initial_sperm_storage\[female W/W of age 1 storing sperm of "
                                         r"W/W\]: must be a whole number"):
        qorin.simulate(bp, params, 2)


# ------------------------------------------------------------------ one validation, one wording
def _python_error(build):
    with pytest.raises(ValueError) as info:
        build()
    return str(info.value)


def _file_reason(text):
    with pytest.raises(ScenarioError) as info:
        parse_scenario(text, "x.toml")
    return info.value.reason


def _bp(**kw):
    return qorin.Blueprint(4, 1, DRIVE, stochastic=True, **kw)


SAME = [  # (scenario edit, the same model from Python)
    (("survival_rates = [0.8, 0.7, 0.5, 0.0]", "survival_rates = [0.8, 0.7, 1.5, 0.0]"),
     lambda: qorin.Params(_bp(), survival_rates=[[0.8, 0.7, 1.5, 0.0]] * 2)),
    (("eggs_per_female = 20", "sex_ratio = 1.4"), lambda: qorin.Params(_bp(), sex_ratio=1.4)),
    (("eggs_per_female = 20", "growth_mode = 7"), lambda: qorin.Params(_bp(), growth_mode=7)),
    (("low_density_growth_rate = 6", "low_density_growth_rate = 0.5"),
     lambda: qorin.Params(_bp(), low_density_growth_rate=0.5)),
    (("carrying_capacity = 600", "carrying_capacity = inf"),
     lambda: qorin.Params(_bp(), carrying_capacity=float("inf"))),
    (("eggs_per_female = 20", "fertility = [0, 1, 1, nan]"),
     lambda: qorin.Params(_bp(), fertility=[0, 1, 1, float("nan")])),
    (("eggs_per_female = 20", "external_expected_eggs = -3"),
     lambda: qorin.Params(_bp(), external_expected_eggs=-3)),
    (("new_adult_age = 1", "new_adult_age = 5"), lambda: qorin.Blueprint(4, 5, DRIVE)),
    (("new_adult_age = 1", "new_adult_age = 4"), lambda: qorin.Blueprint(4, 4, DRIVE)),
    (('"W/W" = [0, 300, 200, 100]', '"W/W" = [0, -300, 200, 100]'),
     lambda: _bp(initial_individual_count=np.full((2, 4, DRIVE.n_ztypes), -300.0))),
]


@pytest.mark.parametrize("edit, build", SAME, ids=[e[1] for e, _ in SAME])
def test_python_refuses_what_a_scenario_file_refuses_in_the_same_words(edit, build):
    reason = _file_reason(_demo(*edit))
    assert _python_error(build).endswith(reason)


@settings(max_examples=60, deadline=None)
@given(st.sampled_from(sorted(C.SCALAR_BOUNDS)),
       st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-10, 10**13),
                 st.sampled_from([-1.0, -0.5, 0.0, 1.0, 1e6, 1e12, 4.0, 2.5])))
def test_every_scalar_is_refused_by_both_front_ends_alike(name, value):
    # TOML tells 3.0 from 3 and a file refuses a float for an integer key; Python takes 3.0
    assume(not (name == "growth_mode" and isinstance(value, float) and value.is_integer()))
    text = repr(value) if isinstance(value, int) or math.isfinite(value) else \
        {"nan": "nan", "inf": "inf", "-inf": "-inf"}[repr(value)]
    try:
        parse_scenario(_demo("carrying_capacity = 600\neggs_per_female = 20\nlow_density_growth_rate = 6\n",
                             f"{name} = {text}\n"))
        file_reason = None
    except ScenarioError as err:
        file_reason = err.reason
    try:
        qorin.Params(_bp(), **{name: value})
        python_error = None
    except ValueError as err:
        python_error = str(err)
    if file_reason is None:
        assert python_error is None
    else:
        assert python_error == f"{name}: {file_reason}"


def test_values_set_after_construction_are_checked_before_the_run():
    bp, params = stochastic_model()
    params.survival_rates[1, 2] = 1.5
    with pytest.raises(ValueError, match=r"survival_rates\[male, age 2\]: must be a finite number in "
                                         r"\[0, 1\], got 1\.5"):
        qorin.simulate(bp, params, 3)
    params.survival_rates[1, 2] = 0.5
    bp.new_adult_age = 7
    with pytest.raises(ValueError, match=r"new_adult_age: must be an integer in \[0, 3\], got 7"):
        qorin.sweep((bp, params), 3, replicates=1)


def test_the_bounds_are_written_once():
    # the file adds only the population size of Wright-Fisher generations
    from qorin import scenario_schema as SCH

    assert {k: v for k, v in SCH.ECO_SCALARS.items() if k != "population_size"} == C.SCALAR_BOUNDS
    assert all(SCH.ECO_SCALARS[k] is C.SCALAR_BOUNDS[k] for k in C.SCALAR_BOUNDS)
    assert SCH.ECO_SEX_AGE is C.SEX_AGE_BOUNDS and SCH.ECO_AGE is C.AGE_BOUNDS


# ------------------------------------------------------------------ sweeps and replicates
def drive_model(release=30):
    bp, params = stochastic_model()
    program = H.HookProgramBuilder.for_blueprint(bp)
    program.add_hook("early", H.release(release, ages=1, ztypes="D/D", when=H.every(3)))
    return bp, params, program


class FailOnSeed:
    """A session that fails at its run when given one engine seed."""

    seed = None

    def __init__(self, blueprint, params, seed):
        self.session = qorin.EngineSession(blueprint, params, seed)
        self.seed_used = seed

    def run(self, *args):
        if self.seed_used == FailOnSeed.seed:
            raise RuntimeError("a replicate broke")
        return self.session.run(*args)

    def __getattr__(self, name):
        return getattr(self.session, name)


class Unpicklable(Exception):
    def __init__(self):
        super().__init__("holds a lock")
        self.lock = threading.Lock()


class FailUnpicklably(FailOnSeed):
    def run(self, *args):
        if self.seed_used == FailOnSeed.seed:
            raise Unpicklable()
        return self.session.run(*args)


def _model_with(session):
    def model(release):
        bp, params, program = drive_model(release)
        return qorin.Model(bp, params, program, session)
    return model


@pytest.mark.parametrize("executor", [None, "threads"])
def test_a_failing_replicate_names_its_parameter_set_and_seed_and_keeps_the_others(executor):
    grid = {"release": [10, 40]}
    seeds = sweeps.derive_seeds(5, 3, 2)
    FailOnSeed.seed = int(seeds[1, 2])
    with pytest.raises(sweeps.ReplicateError) as info:
        qorin.sweep(_model_with(FailOnSeed), 6, grid, replicates=3, seed=5, executor=executor,
                    workers=None)
    err = info.value
    assert "replicate 2 of the parameter set release=40" in str(err)
    assert f"engine seed {FailOnSeed.seed}" in str(err) and "a replicate broke" in str(err)
    assert (err.parameters, err.parameter_set, err.replicate, err.seed) == ({"release": 40}, 1, 2,
                                                                             FailOnSeed.seed)
    assert isinstance(err.__cause__, RuntimeError) and err.error_type == "RuntimeError"
    partial = err.partial
    finished = partial["finished"].values
    assert not finished[1, 2]
    if executor is None:  # one after the other: everything before the failure finished
        assert finished.sum() == 5
    full = qorin.sweep(_model_with(None), 6, grid, replicates=3, seed=5, executor=None)
    got, want = partial["count"].values, full["count"].values
    np.testing.assert_array_equal(got[finished], want[finished])
    assert np.isnan(got[~finished]).all()
    assert (partial["seed"].values == seeds).all()


@pytest.mark.skipif(bool(os.environ.get("QORIN_SANITIZED")),
                    reason="the failing seed reaches the workers by fork, and the sanitizer pass spawns them")
def test_an_exception_that_cannot_be_pickled_reaches_the_caller_from_a_process():
    seeds = sweeps.derive_seeds(2, 2, 1)
    FailOnSeed.seed = int(seeds[0, 1])
    bp, params, program = drive_model()
    with pytest.raises(sweeps.ReplicateError) as info:
        qorin.sweep(qorin.Model(bp, params, program, FailUnpicklably), 4, replicates=2, seed=2,
                    executor="processes", workers=1)
    err = info.value
    assert "replicate 1" in str(err) and "Unpicklable: holds a lock" in str(err)
    assert "could not be sent back" in str(err) and "Unpicklable" in err.details
    assert err.__cause__ is None and err.error_type == "Unpicklable"


def test_replicates_report_the_seed_of_a_failing_run():
    FailOnSeed.seed = 7
    bp, params, program = drive_model()
    with pytest.raises(sweeps.ReplicateError, match=r"^replicate 1 \(engine seed 7\) failed"):
        sweeps._replicate_runs([qorin.Model(bp, params, program.build(), FailOnSeed)], sweeps._grid(None), np.array([3, 7], dtype=np.uint64), 4,
                               record_interval=1, executor=None, workers=None, progress=False,
                               sperm=True, attrs={}, desc="replicates")


class SlowCallbacks:
    """A session whose early callback sleeps: a slow Python callback."""

    def __init__(self, blueprint, params, seed):
        self.session = qorin.EngineSession(blueprint, params, seed)

    def set_hook_program(self, program):
        def slow(ind, sperm, tick, deme):
            for _ in range(100):
                time.sleep(0.02)
            return 0

        self.session.set_hook_program(program)
        self.session.set_python_callbacks([], [slow], [])  # the callbacks of this program

    def __getattr__(self, name):
        return getattr(self.session, name)


def test_ctrl_c_stops_a_sweep_promptly_while_a_callback_runs():
    bp, params = stochastic_model()
    program = H.HookProgramBuilder.for_blueprint(bp)
    program.add_callback("early")
    model = qorin.Model(bp, params, program, SlowCallbacks)
    qorin.sweep(drive_model(), 2, replicates=1)  # what a first sweep imports is not timed
    timer = threading.Timer(0.5, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt) as info:
        qorin.sweep(model, 50, replicates=2, executor="threads", workers=2)
    elapsed = time.monotonic() - start
    timer.cancel()
    assert elapsed < 1.8, elapsed  # one callback alone takes 2 s; a replicate 100 s
    assert not info.value.partial["finished"].values.any()


@pytest.mark.parametrize("call, error, message", [
    (lambda m: qorin.sweep(m, -1, replicates=1), ValueError, "n_ticks must be a nonnegative integer"),
    (lambda m: qorin.sweep(m, 3, replicates=1, record_interval=0), ValueError, "record_interval must be"),
    (lambda m: qorin.sweep(m, 3, replicates=1, seed=1.5), ValueError, "seed must be a nonnegative integer"),
    (lambda m: qorin.sweep(lambda release: m, 3, {"release": [1.0, float("nan")]}), ValueError,
     r"grid\['release'\] holds NaN"),
    (lambda m: qorin.sweep(lambda release: m, 3, [{"release": float("nan")}]), ValueError,
     r"grid\[0\] holds NaN"),
    (lambda m: qorin.simulate(m[0], m[1], -1, program=m[2]), ValueError, "n_ticks must be a nonnegative integer"),
    (lambda m: qorin.simulate(m[0], m[1], 3, record_interval=0), ValueError, "record_interval must be"),
    (lambda m: qorin.simulate(m[0], m[1], 3, seed=2.0), ValueError, "seed must be an integer in 0..2"),
    (lambda m: qorin.simulate(m[0], m[1], 3, seed=2**64), ValueError, "seed must be an integer in 0..2"),
    (lambda m: qorin.replicates(m[0], m[1], 3, [1, 2.5]), ValueError, "seeds must be an integer"),
    (lambda m: qorin.replicates(m[0], m[1], -3, 2), ValueError, "n_ticks must be a nonnegative integer"),
])
def test_bad_run_arguments_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call(drive_model())


def test_thresholds_must_be_numbers():
    bp, params, program = drive_model()
    ds = qorin.sweep((bp, params, program), 3, replicates=2)
    for summary in (qorin.summarize, qorin.suppression_tick, qorin.suppressed_fraction,
                    qorin.extinction_probability):
        with pytest.raises(ValueError, match="threshold must be a number, got nan"):
            summary(ds, threshold=float("nan"))


def test_a_large_sweep_reports_its_size_first_and_refuses_what_cannot_fit(capsys, monkeypatch):
    bp, params, program = drive_model()
    built = []

    def model(a, b):
        built.append((a, b))
        return bp, params, program

    monkeypatch.setattr(sweeps, "_memory", lambda: 10**5)
    with pytest.raises(ValueError, match=r"the results need 1\d\d\.\d kB: 6 parameter set\(s\) x 2 "
                                         r"replicate\(s\) x 4 recorded tick\(s\) x 480 values.*more "
                                         r"than this machine's 100\.0 kB"):
        qorin.sweep(model, 3, {"a": [1, 2, 3], "b": [1, 2]}, replicates=2)
    assert len(built) == 1  # refused after the first model, before the grid is expanded
    monkeypatch.undo()
    qorin.sweep(model, 3, {"a": [1, 2, 3], "b": [1, 2]}, replicates=2, progress=True, sperm=False)
    out = capsys.readouterr()
    assert re.search(r"sweep: 6 parameter set\(s\) x 2 replicate\(s\) = 12 run\(s\) of 3 ticks; "
                     r"[\d.]+ kB", out.out)
    assert "building models" in out.err and "6/6" in out.err


def test_a_scenario_sweep_shows_its_parameter_sets_while_they_are_checked(capsys):
    parse_scenario(DEMO, progress=True)
    assert "checking 4 parameter sets" in capsys.readouterr().err
