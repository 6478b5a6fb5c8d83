"""Sweeps: replicates over parameter grids, seeds spawned from one root seed,
results independent of the executor (threads, processes, dask), chunked runs
with progress, and the suppression summaries."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import qorin
from qorin import genetics as G
from qorin import hooks as H
from qorin import sweeps

xr = pytest.importorskip("xarray")


def drive_model(release=20, resistance=0.0, n_ages=3):
    """A small stochastic suppression drive that collapses some replicates
    (stopped by stop_if_extinct) and not others."""
    drive = G.homing_drive(cutting=0.95, homing=0.9, functional_resistance=resistance,
                           disrupts="female_fertility")
    bp = qorin.Blueprint(n_ages, 1, drive, stochastic=True)
    bp.initial_individual_count[:, 1:, drive.index("W/W")] = 60.0
    params = qorin.Params(bp, carrying_capacity=150.0, eggs_per_female=12.0,
                          low_density_growth_rate=5.0, survival_rates=[[0.8] * (n_ages - 1) + [0.0]] * 2)
    program = H.HookProgramBuilder.for_blueprint(bp)
    program.add_hook("early", H.release(release, ages=1, ztypes="D/D", when=H.every(3) & H.before(9)))
    program.add_hook("first", H.stop_if_extinct())
    return bp, params, program


GRID = {"release": [10, 40], "resistance": [0.0, 0.05]}
RUN = dict(n_ticks=40, grid=GRID, replicates=4, seed=11)


@pytest.fixture(scope="module")
def reference():
    return qorin.sweep(drive_model, executor=None, **RUN)


class MapOnly:
    """An executor offering nothing but map."""

    def map(self, fn, jobs):
        return map(fn, jobs)


@pytest.mark.parametrize("executor, workers", [
    ("threads", 2), ("threads", 1), ("processes", 2), ("pool", None), ("map", None),
])
def test_results_do_not_depend_on_the_executor(reference, executor, workers):
    if executor == "pool":
        with ThreadPoolExecutor(3) as pool:
            out = qorin.sweep(drive_model, executor=pool, **RUN)
    elif executor == "map":
        out = qorin.sweep(drive_model, executor=MapOnly(), **RUN)
    else:
        out = qorin.sweep(drive_model, executor=executor, workers=workers, **RUN)
    xr.testing.assert_identical(out, reference)


def test_a_dask_cluster_gives_the_same_results(reference, tmp_path):
    distributed = pytest.importorskip("distributed")
    from qorin import cli

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        out = qorin.sweep(drive_model, executor=client, **RUN)
        xr.testing.assert_identical(out, reference)
        # the command line reaches a cluster by its scheduler address
        args = ["demo", "--quick", "--no-progress", "--replicates", "2"]
        assert cli.main(args + ["--out-dir", str(tmp_path / "a"), "--scheduler",
                                cluster.scheduler_address]) == 0
    assert cli.main(args + ["--out-dir", str(tmp_path / "b")]) == 0
    a, b = (qorin.load(tmp_path / d / "demo.nc") for d in "ab")
    xr.testing.assert_identical(a, b)


def test_layout_of_the_gathered_dataset(reference):
    ds = reference
    assert ds["count"].dims == ("release", "resistance", "replicate", "tick", "sex", "age", "genotype")
    assert ds["stored_sperm"].dims[:4] == ("release", "resistance", "replicate", "tick")
    assert ds["release"].values.tolist() == [10, 40]
    assert ds["resistance"].values.tolist() == [0.0, 0.05]
    assert ds["tick"].values.tolist() == list(range(41))
    assert ds["seed"].dims == ("release", "resistance", "replicate")
    assert ds["seed"].dtype == np.uint64
    # some replicates collapse and were stopped, others did not
    assert 0 < int(ds["stopped"].sum()) < ds["stopped"].size


def test_each_replicate_is_the_run_of_its_spawned_seed(reference):
    seeds = sweeps.derive_seeds(11, 4, 4)
    root = np.random.SeedSequence(11)
    for p, child in enumerate(root.spawn(4)):
        for r, grandchild in enumerate(child.spawn(4)):
            assert seeds[p, r] == grandchild.generate_state(1, np.uint64)[0]
    np.testing.assert_array_equal(reference["seed"].values.reshape(4, 4), seeds)
    # parameter set (release=40, resistance=0.05) is the fourth; rerun its replicate 2 alone
    one = reference.sel(release=40, resistance=0.05, replicate=2)
    bp, params, program = drive_model(40, 0.05)
    single = qorin.simulate(bp, params, 40, seed=int(seeds[3, 2]), program=program)
    end = int(one["stop_tick"])
    np.testing.assert_array_equal(one["count"].sel(tick=slice(0, end)).values,
                                  single["count"].sel(tick=slice(0, end)).values)


def test_more_replicates_keep_the_runs_already_made(reference):
    more = qorin.sweep(drive_model, **dict(RUN, replicates=6))
    xr.testing.assert_equal(more.isel(replicate=slice(0, 4)), reference)


def test_a_list_of_parameter_sets_and_no_grid():
    sets = [{"release": 5, "resistance": 0.0}, {"release": 50, "resistance": 0.1}]
    ds = qorin.sweep(drive_model, 6, sets, replicates=2, sperm=False)
    assert ds["count"].dims[:2] == ("parameter_set", "replicate")
    assert ds["release"].dims == ("parameter_set",) and ds["release"].values.tolist() == [5, 50]
    assert "stored_sperm" not in ds
    # the release of tick 0 shows in the counts of tick 1: at most 5 D/D males, or far more
    dd = ds["count"].sel(genotype="D/D", tick=1, sex="male").sum("age").values
    assert dd[0].max() <= 5 < dd[1].min()
    bp, params, program = drive_model()
    plain = qorin.sweep((bp, params, program), 6, replicates=2)
    called = qorin.sweep(lambda: qorin.Model(bp, params, program), 6, replicates=2)
    xr.testing.assert_identical(plain, called)
    assert plain["count"].dims[0] == "replicate"


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(grid={"release": []}), ValueError, "at least one value"),
    (dict(grid={"release": [10, 10]}), ValueError, "holds a value twice"),
    (dict(grid={"tick": [1, 2]}), ValueError, "clashes with a dimension"),
    (dict(grid={"release": 10}), TypeError, "must be a sequence"),
    (dict(grid=[{"release": 1}, {"resistance": 0.1}]), ValueError, "same parameters"),
    (dict(grid={"n_ages": [3, 4]}), ValueError, "every parameter set of a sweep must share"),
    (dict(replicates=0), ValueError, "replicates must be a positive integer"),
    (dict(seed=-1), ValueError, "seed must be a nonnegative integer"),
    (dict(seed=1.5), ValueError, "seed must be"),
    (dict(executor="gpu"), ValueError, "executor must be 'threads', 'processes'"),
    (dict(executor=object()), TypeError, "submit or map"),
    (dict(workers=0), ValueError, "workers must be a positive integer"),
    (dict(n_ticks=-1), ValueError, "n_ticks must be a nonnegative integer"),
    (dict(n_ticks=2.5), TypeError, "n_ticks must be a nonnegative integer"),
    (dict(record_interval=0), ValueError, "record_interval must be a positive integer"),
    (dict(executor=MapOnly(), workers=2), ValueError, "brings its own workers"),
])
def test_bad_sweeps_are_refused(kwargs, error, match):
    kw = dict(n_ticks=3, replicates=2)
    kw.update(kwargs)
    with pytest.raises(error, match=match):
        qorin.sweep(drive_model, **kw)


class Wrapped:
    """A session factory: an engine session with some methods replaced."""

    def __init__(self, blueprint, params, seed):
        self.session = qorin.EngineSession(blueprint, params, seed)

    def __getattr__(self, name):
        return getattr(self.session, name)


def test_every_model_is_built_before_any_replicate_runs():
    runs = []

    class Counting(Wrapped):
        def run(self, *args):
            runs.append(1)
            return self.session.run(*args)

    def model(release):
        if release > 10:
            raise ValueError("no such release")
        bp, params, program = drive_model(release)
        return qorin.Model(bp, params, program, Counting)

    with pytest.raises(ValueError, match="no such release"):
        qorin.sweep(model, 3, {"release": [5, 50]}, replicates=2, executor=None)
    assert runs == []
    qorin.sweep(model, 3, {"release": [5, 6]}, replicates=2, executor="threads")
    assert len(runs) == 4


def test_a_failing_replicate_raises_its_error():
    class Failing(Wrapped):
        def run(self, *args):
            raise RuntimeError("engine failure in a replicate")

    bp, params, program = drive_model()
    with pytest.raises(RuntimeError, match="engine failure in a replicate"):
        qorin.sweep(qorin.Model(bp, params, program, Failing), 3, replicates=3, executor="threads")


@pytest.mark.parametrize("executor", [None, "threads"])
def test_explicit_seed_replicates_run_through_the_same_machinery(executor):
    bp, params, program = drive_model()
    rep = qorin.replicates(bp, params, 12, [3, 2**64 - 1], program=program, executor=executor)
    assert rep["seed"].values.tolist() == [3, 2**64 - 1]
    ds = qorin.sweep(sweeps.Model(bp, params, program), 12, replicates=1, seed=0)
    first = int(ds["seed"].values[0])
    again = qorin.replicates(bp, params, 12, [first], program=program, executor=executor)
    np.testing.assert_array_equal(again["count"].values, ds["count"].values)


# ------------------------------------------------------------------ chunked runs
def _session(release=30, seed=5):
    """A session with a parameter schedule; a release of 30 collapses it (a
    stop near tick 18), none leaves it running."""
    bp, params, program = drive_model(release)
    program.add_hook("late", H.set_param("carrying_capacity", H.param("carrying_capacity") * 0.97,
                                         every=2, start=1))
    session = qorin.EngineSession(bp, params, seed)
    session.set_hook_program(program.build())
    return bp, session


@pytest.mark.parametrize("chunk", [1, 3, 7, 200])
@pytest.mark.parametrize("interval", [1, 3])
@pytest.mark.parametrize("release", [30, 0])
def test_a_chunked_run_with_a_bound_history_records_the_rows_of_one_call(chunk, interval, release):
    bp, one = _session(release)
    whole = qorin.history_store(bp)
    one.bind_history(whole)
    expected = one.run(60, interval)
    assert expected[2] == (release > 0)
    bp, chunked = _session(release)
    store = qorin.history_store(bp)
    chunked.bind_history(store)
    got = sweeps.run(chunked, 60, interval, chunk=chunk, progress=False)
    assert got[0] == expected[0] and got[2] == expected[2]
    assert got[1].shape == (0, 0)
    np.testing.assert_array_equal(store.query(), whole.query())
    assert store.ticks() == whole.ticks()
    assert chunked.execution_state() == one.execution_state()
    assert whole.query().shape[0] > 3


@pytest.mark.parametrize("chunk", [1, 4, 200])
def test_a_chunked_run_returns_the_private_rows_of_one_call(chunk, capsys):
    _, one = _session()
    expected = one.run(25, 2)
    _, chunked = _session()
    got = sweeps.run(chunked, 25, 2, chunk=chunk, progress=chunk == 4)
    assert got[0] == expected[0] and got[2] == expected[2]
    np.testing.assert_array_equal(got[1], expected[1])
    if chunk == 4:
        pytest.importorskip("tqdm")
        assert "tick" in capsys.readouterr().err


def test_simulate_with_progress_gives_the_same_dataset(capsys):
    pytest.importorskip("tqdm")
    bp, params, program = drive_model()
    a = qorin.simulate(bp, params, 30, seed=4, program=program)
    b = qorin.simulate(bp, params, 30, seed=4, program=program, progress=True)
    xr.testing.assert_identical(a, b)
    assert "tick/s" in capsys.readouterr().err


def test_a_sweep_shows_replicates_per_second(capsys):
    pytest.importorskip("tqdm")
    qorin.sweep(drive_model, 5, replicates=3, progress=True)
    err = capsys.readouterr().err
    assert "3/3" in err and "replicate" in err


# ------------------------------------------------------------------ summaries
def _sizes_dataset(sizes, ticks=None):
    """A dataset whose population per (parameter set, replicate, tick) is
    `sizes` (all in one cell: adult females of genotype 0)."""
    sizes = np.asarray(sizes, dtype=float)
    bp = qorin.Blueprint(2, 1, G.autosomal_locus(2))
    n_sets, n_rep, n_ticks = sizes.shape
    count = np.zeros(sizes.shape + (2, 2, 3))
    count[..., 0, 1, 0] = sizes
    ds = xr.Dataset({"count": (("release", "replicate", "tick", "sex", "age", "genotype"), count)},
                    coords={"release": [1, 2][:n_sets], "replicate": np.arange(n_rep),
                            "tick": np.arange(n_ticks) if ticks is None else ticks,
                            "sex": ["female", "male"], "age": [0, 1],
                            "genotype": bp.ztype_names, "adult": ("age", [False, True])})
    return ds


def test_suppression_tick_and_fraction_by_tick():
    ds = _sizes_dataset([[[9, 0, 0, 0, 0],      # suppressed at tick 1
                          [9, 8, 7, 8, 9],      # never
                          [9, 8, 3, 0, 5]],     # at tick 3, then a release brings some back
                         [[9, 9, 9, 9, 9],
                          [9, 9, 9, 9, 0],
                          [9, 9, 9, 9, 9]]])
    first = qorin.suppression_tick(ds)
    np.testing.assert_array_equal(first.values, [[1, np.nan, 3], [np.nan, 4, np.nan]])
    frac = qorin.suppressed_fraction(ds)
    np.testing.assert_allclose(frac.values, [[0, 1 / 3, 1 / 3, 2 / 3, 2 / 3], [0, 0, 0, 0, 1 / 3]])
    np.testing.assert_allclose(qorin.suppressed_fraction(ds, 2).values, [1 / 3, 0])
    np.testing.assert_allclose(qorin.suppressed_fraction(ds, 2, threshold=3).values, [2 / 3, 0])
    assert (qorin.suppression_tick(ds, sex="male") == 0).all()  # there are no males at all
    with pytest.raises(ValueError, match="replicate"):
        qorin.suppressed_fraction(ds.isel(replicate=0))


def test_summarize_gives_one_row_per_parameter_set():
    pytest.importorskip("pandas")
    ds = _sizes_dataset([[[9, 0, 0], [9, 8, 7]], [[9, 0, 0], [9, 9, 0]]])
    table = qorin.summarize(ds)
    assert table.index.name == "release" and table.index.tolist() == [1, 2]
    assert table["replicates"].tolist() == [2, 2]
    assert table["suppressed"].tolist() == [0.5, 1.0]
    assert table["median_suppression_tick"].tolist() == [1.0, 1.5]
    assert table["median_final_size"].tolist() == [3.5, 0.0]
    assert table["final_A1"].tolist()[0] == 1.0 and np.isnan(table["final_A1"].tolist()[1])


def test_a_failed_sweep_on_threads_stops_its_running_replicates():
    import time

    sessions = []

    class FailsLate(Wrapped):
        def __init__(self, blueprint, params, seed):
            super().__init__(blueprint, params, seed)
            self.first = not sessions
            sessions.append(self.session)

        def run(self, *args):
            if self.first:  # the other replicate is running by now
                time.sleep(0.3)
                raise RuntimeError("the first replicate fails")
            return self.session.run(*args)

    bp, params, _ = drive_model()
    bp.initial_individual_count[:] = 0.0  # an empty population never stops: seconds of cheap ticks
    n = 2_000_000
    with pytest.raises(RuntimeError, match="the first replicate fails"):
        qorin.sweep(qorin.Model(bp, params, None, FailsLate), n, replicates=2, record_interval=n,
                    executor="threads", workers=2)
    assert len(sessions) == 2
    assert 0 < sessions[1].current_tick() < n


def test_a_cancelled_run_stops_between_chunks():
    import threading

    _, session = _session(0)
    flag = threading.Event()
    flag.set()
    with pytest.raises(sweeps.Cancelled, match="at tick 0"):
        sweeps.run(session, 50, 1, chunk=10, progress=False, cancel=flag)
    assert session.current_tick() == 0 and session.execution_state()[0] == "Ready"
