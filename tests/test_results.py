"""Labelled results: row layout and widths, Dataset and DataFrame views, summaries,
files, replicates."""

import json
import sys

import numpy as np
import pytest

import qorin
from qorin import genetics as G
from qorin import hooks as H

xr = pytest.importorskip("xarray")


def small_model(stochastic=False, locus=None):
    locus = locus or G.autosomal_locus(2, ["a", "b"])
    bp = qorin.Blueprint(3, 1, locus, stochastic=stochastic)
    bp.initial_individual_count[:, 1, 0] = 40.0
    bp.initial_individual_count[:, 2, 1] = 10.0
    return bp, qorin.Params(bp, carrying_capacity=100.0, eggs_per_female=4.0)


@pytest.mark.parametrize("session, n_demes, width, dims", [
    (None, 1, 1 + 2 * 3 * 3 + 3 * 3 * 3, (1, 2, 3, 3)),
    ("age", 1, 1 + 18 + 27, (1, 2, 3, 3)),
    ("discrete", 1, 1 + 18, (1, 2, 3, 3)),
    (None, 4, 1 + 4 * 18 + 4 * 27, (4, 2, 3, 3)),
])
def test_history_width_and_store_match_what_sessions_record(session, n_demes, width, dims):
    bp = qorin.Blueprint(3, 1, G.autosomal_locus(2), n_demes=n_demes)
    layout = qorin.row_layout(bp, session)
    assert qorin.history_width(bp, session) == layout.width == width
    assert layout.dimensions == dims
    store = qorin.history_store(bp, session, max_rows=5)
    assert store.query().shape == (0, width) and store.max_rows == 5


def test_a_bound_store_of_the_helper_records_a_run():
    bp, params = small_model()
    session = qorin.EngineSession(bp, params, 1)
    store = qorin.history_store(bp, type(session))
    qorin.check_history(store, bp)
    session.bind_history(store)
    session.run(5, 1)
    assert store.ticks() == list(range(6))
    _, rows, _ = qorin.EngineSession(bp, params, 1).run(5, 1)
    np.testing.assert_array_equal(store.query(), rows)


def test_width_errors_state_the_expected_width():
    bp, _ = small_model()
    with pytest.raises(ValueError, match=r"width 10 does not fit this model: its rows need width 46 "
                                         r"\(1 tick \+ 18 counts \(2, 3, 3\) \+ 27 stored sperm"):
        qorin.history_store(bp, width=10)
    wrong = qorin.HistoryStore(19, (1, 2, 3, 3), True)
    with pytest.raises(ValueError, match="need width 46"):
        qorin.check_history(wrong, bp)
    qorin.check_history(wrong, bp, "discrete")  # the discrete layout has no stored sperm


def test_dataset_holds_the_rows_by_label():
    bp, params = small_model(stochastic=True)
    final, rows, stopped = qorin.EngineSession(bp, params, 7).run(6, 2)
    ds = qorin.to_dataset((final, rows, stopped), bp, params=params)
    assert ds["count"].dims == ("tick", "sex", "age", "genotype")
    assert ds["tick"].values.tolist() == [0, 2, 4, 6]
    assert ds["genotype"].values.tolist() == ["a/a", "a/b", "b/b"]
    assert ds["adult"].values.tolist() == [False, True, True]
    np.testing.assert_array_equal(ds["count"].values.reshape(4, -1), rows[:, 1:19])
    np.testing.assert_array_equal(ds["stored_sperm"].values.reshape(4, -1), rows[:, 19:])
    one = ds["count"].sel(tick=4, sex="male", age=2, genotype="a/b").item()
    assert one == rows[2, 1 + (1 * 3 + 2) * 3 + 1]
    desc = qorin.model_description(ds)
    assert desc["genotypes"] == ["a/a", "a/b", "b/b"] and desc["params"]["carrying_capacity"] == 100.0
    with pytest.raises(ValueError, match=r"rows must have shape \(n, 46\)"):
        qorin.to_dataset(rows[:, :20], bp)


def test_summaries_by_hand():
    bp, _ = small_model()
    rows = np.zeros((2, 46))
    rows[:, 0] = [0, 1]
    counts = np.zeros((2, 2, 3, 3))
    counts[0, 0, 1] = [10, 20, 30]   # tick 0: adult females a/a, a/b, b/b
    counts[0, 1, 0] = [5, 0, 0]      # tick 0: juvenile males a/a
    counts[1, 1, 2, 2] = 4           # tick 1: adult males b/b only
    rows[:, 1:19] = counts.reshape(2, -1)
    ds = qorin.to_dataset(rows, bp)
    assert qorin.population_size(ds).values.tolist() == [65, 4]
    assert qorin.adult_counts(ds).sel(tick=0).values.tolist() == [60, 0]
    af = qorin.allele_frequencies(ds)
    # tick 0: a copies 2*10 + 20 + 2*5 = 50 of 130
    assert af.sel(tick=0, allele="a").item() == pytest.approx(50 / 130)
    assert af.sel(tick=1).values.tolist() == [0.0, 1.0]
    adult_af = qorin.allele_frequencies(ds, adults_only=True)
    assert adult_af.sel(tick=0, allele="a").item() == pytest.approx(40 / 120)
    gf = qorin.genotype_frequencies(ds, by_sex=True)
    assert gf.sel(tick=0, sex="female").values.tolist() == pytest.approx([1 / 6, 2 / 6, 3 / 6])
    assert np.isnan(gf.sel(tick=1, sex="female").values).all()  # no females: undefined


def test_x_linked_frequencies_count_x_chromosomes():
    x = G.x_linked_distorter(transmission=0.5)
    bp = qorin.Blueprint(2, 1, x)
    rows = np.zeros((1, qorin.history_width(bp)))
    c = np.zeros((2, 2, 5))
    c[0, 1, x.index("X/Xd")] = 10   # 10 X, 10 Xd
    c[1, 1, x.index("Xd/Y")] = 20   # 20 Xd, 20 Y
    rows[0, 1:1 + c.size] = c.ravel()
    ds = qorin.to_dataset(rows, bp)
    f = qorin.allele_frequencies(ds)
    assert f["allele"].values.tolist() == ["X", "Xd"]
    assert f.sel(allele="Xd").item() == pytest.approx(30 / 40)
    with_y = qorin.allele_frequencies(ds, include_y=True)
    assert with_y.sel(allele="Y").item() == pytest.approx(20 / 60)


def test_two_loci_frequencies_per_locus():
    s = G.split_drive()
    bp = qorin.Blueprint(2, 1, s)
    rows = np.zeros((1, qorin.history_width(bp)))
    c = np.zeros((2, 2, 30))
    c[0, 1, s.index("W/D;C/C")] = 8
    c[1, 1, s.index("W/W;w/C")] = 8
    rows[0, 1:1 + c.size] = c.ravel()
    ds = qorin.to_dataset(rows, bp)
    assert qorin.allele_frequencies(ds, 0).sel(allele="D").item() == pytest.approx(0.25)
    assert qorin.allele_frequencies(ds, 1).sel(allele="C").item() == pytest.approx(0.75)
    with pytest.raises(ValueError, match="locus must be in 0..1"):
        qorin.allele_frequencies(ds, 2)


def test_dataframe_is_tidy():
    pd = pytest.importorskip("pandas")
    bp, params = small_model()
    ds = qorin.simulate(bp, params, 3, seed=1)
    df = qorin.to_dataframe(ds)
    assert list(df.columns) == ["tick", "sex", "age", "genotype", "adult", "count"]
    assert len(df) == 4 * 2 * 3 * 3
    total = df.groupby("tick")["count"].sum()
    np.testing.assert_allclose(total.values, qorin.population_size(ds).values)
    assert isinstance(qorin.to_dataframe(ds.attrs and ds), pd.DataFrame)


@pytest.mark.parametrize("name", ["run.nc", "run.zarr"])
def test_save_and_load_keep_values_and_description(tmp_path, name):
    if name.endswith(".zarr"):
        pytest.importorskip("zarr")
    bp, params = small_model(locus=G.homing_drive(cutting=0.9))
    bp.initial_individual_count[:, 1, 4] = 5.0
    ds = qorin.simulate(bp, params, 4, seed=3)
    path = tmp_path / name
    qorin.save(ds, path)
    back = qorin.load(path)
    xr.testing.assert_identical(back, ds)
    assert qorin.model_description(back)["genetics"]["cutting"] == [0.9, 0.9]


def test_replicates_stack_and_pad_stopped_runs():
    bp, params = small_model(stochastic=True)
    prog = H.HookProgramBuilder.for_blueprint(bp)
    prog.add_hook("first", [H.kill(1.0, when=H.at(3)), H.stop_if_extinct()])
    rep = qorin.replicates(bp, params, 8, [5, 6, 7], program=prog)
    assert rep["count"].dims[0] == "replicate" and rep.sizes["replicate"] == 3
    assert rep["seed"].values.tolist() == [5, 6, 7]
    # the kill and the stop come in the same event at tick 3: the row of tick 3 is
    # the state before it, later ticks hold the emptied state the run stopped in
    assert rep["stop_tick"].values.tolist() == [3, 3, 3] and rep["stopped"].values.all()
    assert rep["tick"].values.tolist() == list(range(9))
    size = qorin.population_size(rep)
    assert (size.sel(tick=slice(4, None)) == 0).all()
    assert qorin.extinction_probability(rep).values.tolist() == [0.0] * 4 + [1.0] * 5
    # each replicate is the run of its seed
    one = qorin.simulate(bp, params, 8, seed=6, program=prog)
    np.testing.assert_array_equal(rep["count"].sel(replicate=1, tick=slice(0, 3)).values,
                                  one["count"].values)


def test_replicates_through_an_executor_match_serial():
    from concurrent.futures import ThreadPoolExecutor

    bp, params = small_model(stochastic=True)
    serial = qorin.replicates(bp, params, 5, 3)
    with ThreadPoolExecutor(2) as pool:
        parallel = qorin.replicates(bp, params, 5, 3, executor=pool)
    xr.testing.assert_identical(serial, parallel)


def test_missing_extra_names_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "xarray", None)
    bp, _ = small_model()
    with pytest.raises(ImportError, match=r"install the 'analysis' extra: pip install \"qorin\[analysis\]\""):
        qorin.to_dataset(np.zeros((0, 46)), bp)
