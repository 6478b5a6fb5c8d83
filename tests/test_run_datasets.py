"""The Datasets of simulate, replicates and sweep against the same results built
step by step: every run made in its own session, every Dataset through xarray's
public constructor, replicates joined with xarray.concat. simulate keeps the
check and description of a model it has seen; those tests change the model in
place and make equal copies of it."""

import json

import numpy as np
import pytest

import qorin
from qorin import contracts, generations, sweeps
from qorin import genetics as G
from qorin import hooks as H
from qorin import results as R

import spatial_model

xr = pytest.importorskip("xarray")


# ------------------------------------------------------------------ models
def drive(release=20, resistance=0.0):
    """A stochastic suppression drive; some replicates collapse and stop."""
    locus = G.homing_drive(cutting=0.95, homing=0.9, functional_resistance=resistance,
                           disrupts="female_fertility")
    bp = qorin.Blueprint(3, 1, locus, stochastic=True)
    bp.initial_individual_count[:, 1:, locus.index("W/W")] = 60.0
    params = qorin.Params(bp, carrying_capacity=150.0, eggs_per_female=12.0,
                          low_density_growth_rate=5.0, survival_rates=[[0.8, 0.8, 0.0]] * 2)
    program = H.HookProgramBuilder.for_blueprint(bp)
    program.add_hook("early", H.release(release, ages=1, ztypes="D/D", when=H.every(3) & H.before(9)))
    program.add_hook("first", H.stop_if_extinct())
    return bp, params, program


def wright_fisher():
    model = qorin.wright_fisher(40)
    return model.blueprint, model.params, None


def landscape():
    bp = spatial_model.blueprint(3, stochastic=True)
    bp.initial_individual_count[:, 1:, 0] = 20.0
    return bp, qorin.Params(bp, carrying_capacity=80.0), None


def fractional():
    """A stochastic model with fractional counts: run with round_counts."""
    bp = qorin.Blueprint(2, 1, stochastic=True)
    bp.initial_individual_count[:, 1, 0] = 30.4
    return bp, qorin.Params(bp), None


MODELS = {"drive": drive, "wright_fisher": wright_fisher, "landscape": landscape,
          "fractional": fractional}


# ------------------------------------------------------------------ references
def reference_run(bp, params, n_ticks, seed, program=None, record_interval=1, round_counts=False):
    """(checked blueprint, session, final tick, rows, stopped) of one run."""
    program = program.build() if hasattr(program, "build") else program
    bp, program = contracts.check_model(bp, params, program, round_counts=round_counts)
    session = generations.session_class(bp)(bp, params, seed)
    if program is not None:
        session.set_hook_program(program)
    final, rows, stopped = session.run(n_ticks, record_interval)
    return bp, session, final, rows, stopped


def reference_dataset(rows, bp, session, params, attrs):
    """A run's Dataset through xarray's constructor, variable by variable."""
    layout = R.row_layout(bp, session)
    ticks, counts, stored = layout.split(rows)
    labels = [str(s) for s in bp.ztype_names]
    ages = np.arange(layout.n_ages)
    lead = ("tick", "deme") if layout.stacked else ("tick",)
    coords = {"tick": ticks, "sex": ["female", "male"], "age": ages, "genotype": labels,
              "adult": ("age", ages >= int(bp.new_adult_age))}
    if layout.stacked:
        coords["deme"] = np.arange(layout.n_demes)
    data = {"count": (lead + ("sex", "age", "genotype"), counts,
                      {"long_name": "individuals", "units": "individuals"})}
    if stored is not None:
        coords["female_genotype"] = coords["male_genotype"] = labels
        data["stored_sperm"] = (lead + ("age", "female_genotype", "male_genotype"), stored,
                                {"long_name": "females storing sperm of a male genotype",
                                 "units": "females"})
    ds = xr.Dataset(data, coords=coords)
    ds.attrs["qorin_model"] = json.dumps(R.describe_model(bp, params))
    ds.attrs["qorin_version"] = qorin.__version__
    for key, value in attrs.items():  # numbers and text as they are, the rest as JSON
        ds.attrs[key] = value if isinstance(value, (str, int, float)) else json.dumps(value)
    return ds


def reference_simulate(bp, params, n_ticks, seed, program=None, record_interval=1,
                       round_counts=False):
    bp, session, final, rows, stopped = reference_run(bp, params, n_ticks, seed, program,
                                                      record_interval, round_counts)
    return reference_dataset(rows, bp, session, params,
                             {"seed": seed, "final_tick": int(final), "stopped": int(stopped)})


def reference_replicates(bp, params, n_ticks, seeds, program=None, record_interval=1):
    """Every replicate's Dataset on the full tick axis, joined with xarray.concat:
    a tick takes the last row recorded at or before it, and a tick after a stop
    the state the session stopped in."""
    runs = []
    for seed in seeds:
        checked, session, final, rows, stopped = reference_run(bp, params, n_ticks, int(seed),
                                                                program, record_interval)
        ds = reference_dataset(rows, checked, session, params, {})
        ds = ds.reindex(tick=np.arange(0, n_ticks + 1, record_interval), method="ffill")
        if stopped:
            layout = R.row_layout(checked, session)
            state = np.concatenate(session.state_snapshot()[1:])
            after = ds["tick"] > final
            ds["count"][{"tick": after}] = state[:layout.count_size].reshape(layout.count_shape)
            if "stored_sperm" in ds:
                ds["stored_sperm"][{"tick": after}] = \
                    state[layout.count_size:].reshape(layout.sperm_shape)
        ds["seed"] = ((), np.uint64(seed))
        ds["stop_tick"] = ((), np.int64(final))
        ds["stopped"] = ((), bool(stopped))
        runs.append(ds)
    out = xr.concat(runs, dim="replicate", coords="different", compat="identical",
                    combine_attrs="override")
    return out.assign_coords(replicate=np.arange(len(seeds)))


def assert_same(new, ref):
    """Identical, and of the same dtypes and orders of variables, dimensions and attributes."""
    xr.testing.assert_identical(new, ref)
    assert {k: v.dtype for k, v in new.variables.items()} == \
        {k: v.dtype for k, v in ref.variables.items()}
    assert set(new.data_vars) == set(ref.data_vars) and set(new.coords) == set(ref.coords)
    assert list(new.attrs) == list(ref.attrs)


# ------------------------------------------------------------------ simulate
@pytest.mark.parametrize("name", MODELS)
def test_simulate_equals_the_dataset_built_step_by_step(name):
    bp, params, program = MODELS[name]()
    rounding = name == "fractional"
    before = bp.initial_individual_count.copy()
    for seed in (1, 2, 3):  # the first run builds the model's frame, the others reuse it
        for interval in (1, 3):
            new = qorin.simulate(bp, params, 25, seed=seed, program=program,
                                 record_interval=interval, round_counts=rounding)
            assert list(new.variables) == list(reference_simulate(
                bp, params, 25, seed, program, interval, rounding).variables)
            assert list(new.sizes) == list(reference_simulate(
                bp, params, 25, seed, program, interval, rounding).sizes)
            assert_same(new, reference_simulate(bp, params, 25, seed, program, interval, rounding))
    np.testing.assert_array_equal(bp.initial_individual_count, before)  # rounded in a copy


@pytest.mark.parametrize("name", ["drive", "landscape"])
def test_to_dataset_equals_the_dataset_built_step_by_step_and_owns_its_values(name):
    bp, params, program = MODELS[name]()
    for seed in (1, 2):
        checked, session, final, rows, stopped = reference_run(bp, params, 12, seed, program)
        ref = reference_dataset(rows, checked, session, params, {"note": [1, 2]})
        new = qorin.to_dataset(rows, bp, session, params=params, attrs={"note": [1, 2]})
        rows[:] = -1.0  # the Dataset holds copies of the rows given
        assert_same(new, ref)
        assert ref.attrs["note"] == "[1, 2]"


def test_a_model_changed_in_place_is_checked_and_described_again():
    bp, params, program = drive()
    qorin.simulate(bp, params, 20, seed=4, program=program)
    params.carrying_capacity = 90.0
    params.survival_rates[:, 1] = 0.6  # in place
    bp.initial_individual_count[:, 2, 0] = 10.0
    program.add_hook("late", H.release(5, ages=1, ztypes="D/D", when=H.at(4)))
    new = qorin.simulate(bp, params, 20, seed=4, program=program)
    assert_same(new, reference_simulate(bp, params, 20, 4, program))
    assert R.model_description(new)["params"]["carrying_capacity"] == 90.0
    params.survival_rates[0, 0] = 1.5  # out of range: refused, not taken from before
    with pytest.raises(ValueError, match="survival_rates"):
        qorin.simulate(bp, params, 20, seed=4, program=program)
    params.survival_rates[0, 0] = 0.8
    qorin.simulate(bp, params, 20, seed=4, program=program)
    program.add_hook("late", H.release(2.5, ages=1, ztypes="D/D", when=H.at(6)))
    with pytest.raises(ValueError, match="hook operation"):  # the program of a model seen before
        qorin.simulate(bp, params, 20, seed=4, program=program)
    bp.initial_individual_count[0, 1, 0] = 0.5  # fractional again
    with pytest.raises(ValueError, match="whole number"):
        qorin.simulate(bp, params, 20, seed=4, program=program)


def test_equal_models_share_what_was_worked_out_and_runs_share_nothing_changeable():
    first = qorin.simulate(*drive()[:2], 15, seed=5, program=drive()[2])
    bp, params, program = drive()  # equal content, other objects
    second = qorin.simulate(bp, params, 15, seed=5, program=program)
    assert_same(second, first)
    # changing one result leaves the next untouched
    second["adult"].values[:] = True
    second["genotype"].attrs["note"] = "changed"
    second["count"].attrs["units"] = "changed"
    second.attrs["seed"] = -1
    third = qorin.simulate(bp, params, 15, seed=5, program=program)
    assert_same(third, reference_simulate(bp, params, 15, 5, program))
    assert_same(first, reference_simulate(bp, params, 15, 5, program))


def test_a_model_whose_content_is_not_read_here_is_described_on_every_run():
    class Custom(qorin.Params):  # not the package's class: its content is not keyed
        pass

    bp, params, program = drive()
    custom = Custom.__new__(Custom)
    custom.__dict__.update(params.copy().__dict__)
    assert contracts.model_state(bp, custom) is None
    assert contracts.model_state(bp, params) == contracts.model_state(*drive()[:2])
    qorin.simulate(bp, custom, 10, seed=1, program=program)
    custom.carrying_capacity = 60.0
    new = qorin.simulate(bp, custom, 10, seed=1, program=program)
    assert_same(new, reference_simulate(bp, custom, 10, 1, program))


def test_what_is_kept_of_models_seen_is_bounded(monkeypatch):
    bp, params, program = drive()
    size = len(contracts.model_state(bp, params, False))
    monkeypatch.setattr(sweeps, "_DESCRIBED", type(sweeps._DESCRIBED)())
    # a model is kept when its content is at most a quarter of all: four fit
    monkeypatch.setattr(sweeps, "_DESCRIBED_BYTES", 4 * size + size // 2)
    for release in (5, 10, 15, 20, 25):
        bp, params, program = drive(release)
        params.carrying_capacity = 100.0 + release  # five models of the same size
        new = qorin.simulate(bp, params, 12, seed=1, program=program)
        assert_same(new, reference_simulate(bp, params, 12, 1, program))
    assert len(sweeps._DESCRIBED) == 4
    monkeypatch.setattr(sweeps, "_DESCRIBED_BYTES", 3 * size)  # too big a model: not kept
    sweeps._DESCRIBED.clear()
    assert_same(qorin.simulate(bp, params, 12, seed=2, program=program),
                reference_simulate(bp, params, 12, 2, program))
    assert not sweeps._DESCRIBED


@pytest.mark.parametrize("a, b", [
    (1, 1.0), (1, True), (0.0, -0.0), ("1", 1), (np.float64(2.0), 2.0),
    (np.zeros(3), np.zeros(3, dtype=np.float32)), (np.zeros((2, 3)), np.zeros((3, 2))),
    (np.zeros(2, dtype=">f8"), np.zeros(2, dtype="<f8").view(">f8") + 1.0),
    ([1, [2]], [[1], 2]), ({"a": 1}, {"a": 1, "b": 2}),
])
def test_the_content_of_a_model_tells_values_apart(a, b):
    bp, params, _ = drive()
    params.custom_slots = {"x": a}
    state = contracts.model_state(bp, params)
    params.custom_slots = {"x": b}
    assert contracts.model_state(bp, params) != state


# ------------------------------------------------------------------ replicates and sweeps
@pytest.mark.parametrize("executor", [None, "threads", "processes"])
@pytest.mark.parametrize("name, interval", [("drive", 1), ("drive", 4), ("landscape", 1),
                                            ("wright_fisher", 3)])
def test_replicates_equal_runs_joined_by_concat(name, interval, executor):
    bp, params, program = MODELS[name]()
    seeds = [3, 7, 11, 2**64 - 1]
    new = qorin.replicates(bp, params, 30, seeds, program=program, executor=executor, workers=2,
                           record_interval=interval)
    ref = reference_replicates(bp, params, 30, seeds, program, interval)
    if name == "drive":
        assert new["stopped"].any()  # the stopped runs keep their state to the end
    assert_same(new, ref)


@pytest.mark.parametrize("executor", [None, "threads", "processes"])
def test_a_sweep_equals_its_replicates_joined_by_concat(executor):
    grid = {"release": [10, 40], "resistance": [0.0, 0.05]}
    new = qorin.sweep(drive, 24, grid, replicates=3, seed=9, executor=executor, workers=2)
    seeds = sweeps.derive_seeds(9, 3, 4).reshape(2, 2, 3)
    rows = []
    for i, release in enumerate(grid["release"]):
        parts = []
        for j, resistance in enumerate(grid["resistance"]):
            bp, params, program = drive(release, resistance)
            parts.append(reference_replicates(bp, params, 24, seeds[i, j], program))
        # the parameter sets' descriptions differ: the sweep keeps that of the model alone
        rows.append(xr.concat(parts, dim="resistance", coords="different", compat="equals",
                              combine_attrs="override"))
    ref = xr.concat(rows, dim="release", coords="different", compat="equals",
                    combine_attrs="override")
    ref = ref.assign_coords(release=np.array(grid["release"]),
                            resistance=np.array(grid["resistance"]))
    ref = ref.transpose("release", "resistance", "replicate", ...)
    ref.attrs["qorin_model"] = json.dumps(R.describe_model(drive()[0]))  # no single parameter set
    ref.attrs["qorin_sweep"] = json.dumps({"seed": 9, "replicates": 3, "n_ticks": 24,
                                           "record_interval": 1, "grid": grid})
    assert_same(new, ref)
