"""Figures: what is drawn, the release marks, and label errors."""

import numpy as np
import pytest

import qorin
from qorin import genetics as G
from qorin import hooks as H

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
pytest.importorskip("xarray")


@pytest.fixture(scope="module")
def model():
    locus = G.homing_drive(cutting=0.9)
    bp = qorin.Blueprint(3, 1, locus, stochastic=True)
    bp.initial_individual_count[:, 1:, 0] = 100.0
    params = qorin.Params(bp, carrying_capacity=400.0, eggs_per_female=8.0)
    prog = H.HookProgramBuilder.for_blueprint(bp)
    prog.add_hook("early", H.release(20, ages=1, ztypes="D/D", when=H.every(5) & H.before(20)))
    return bp, params, prog


def marks(ax):
    return sorted(line.get_xdata()[0] for line in ax.lines if line.get_linestyle() == ":")


def test_allele_frequencies_with_release_schedule(model):
    bp, params, prog = model
    ds = qorin.simulate(bp, params, 30, seed=2, program=prog)
    ax = qorin.plot.allele_frequencies(ds, alleles=["W", "D"], releases=prog)
    labels = [line.get_label() for line in ax.lines if line.get_linestyle() != ":"]
    assert labels == ["W", "D"]
    np.testing.assert_allclose(ax.lines[1].get_ydata(),
                               qorin.allele_frequencies(ds).sel(allele="D").values)
    assert marks(ax) == [0, 5, 10, 15]
    assert ax.get_xlabel() == "tick"


def test_population_size_bands_over_replicates(model):
    bp, params, prog = model
    rep = qorin.replicates(bp, params, 20, 4, program=prog)
    ax = qorin.plot.population_size(rep, releases=H.at(7), band=(0.25, 0.75))
    size = qorin.population_size(rep)
    np.testing.assert_allclose(ax.lines[0].get_ydata(), size.median("replicate").values)
    band = ax.collections[0].get_paths()[0].vertices[:, 1]
    assert band.min() >= size.quantile(0.25, "replicate").values.min() - 1e-9
    assert marks(ax) == [7]


def test_genotype_frequencies_and_unknown_labels(model):
    bp, params, _ = model
    ds = qorin.simulate(bp, params, 5, seed=1)
    ax = qorin.plot.genotype_frequencies(ds, ["W/W", "W/D"], releases=[2, 4])
    assert [line.get_label() for line in ax.lines[:2]] == ["W/W", "W/D"] and marks(ax) == [2, 4]
    with pytest.raises(ValueError, match="genotypes: 'W/Q' is not a genotype"):
        qorin.plot.genotype_frequencies(ds, ["W/Q"])
    with pytest.raises(ValueError, match="alleles: 'Z' is not an allele of locus 0"):
        qorin.plot.allele_frequencies(ds, alleles=["Z"])


def test_sweep_summary_one_line_per_parameter_set(model, tmp_path):
    bp, params, prog = model

    def build(eggs):
        return qorin.Model(bp, qorin.Params(bp, carrying_capacity=400.0, eggs_per_female=eggs), prog)

    ds = qorin.sweep(build, 20, {"eggs": [2.0, 8.0]}, replicates=3, seed=1, executor=None)
    fig = qorin.plot.sweep_summary(ds, threshold=50.0, releases=prog, title="two egg rates")
    left, right = fig.axes[:2]
    solid = [line for line in left.lines if line.get_linestyle() != ":"]
    assert [line.get_label() for line in solid] == ["eggs=2", "eggs=8"]
    size = qorin.population_size(ds)
    np.testing.assert_allclose(solid[1].get_ydata(), size.isel(eggs=1).median("replicate").values)
    share = qorin.suppressed_fraction(ds, None, 50.0)
    np.testing.assert_allclose(right.lines[0].get_ydata(), share.isel(eggs=0).values)
    assert marks(left) == marks(right) == [0, 5, 10, 15]
    fig.savefig(tmp_path / "summary.png")
    assert (tmp_path / "summary.png").stat().st_size > 0
