"""Landscapes in scenario files: demes on a ring or a grid run end to end through
sweeps and the command line, bad keys are named with their line, results do not
depend on the number of threads, and a drive released in one deme spreads."""

import numpy as np
import pytest

from qorin import _engine_testing as T
from qorin import cli
from qorin import landscape as L
from qorin.scenario import ScenarioError, load_scenario, parse_scenario

xr = pytest.importorskip("xarray")

RING = '''\
name = "drive on a ring"

[run]
ticks = 12
replicates = 2
seed = 7
stochastic = true

[genetics]
builder = "homing_drive"
cutting = 0.95
homing = 0.9
drive_cost = 0.1

[ages]
n_ages = 3
new_adult_age = 1

[initial]
"W/W" = [0, 60, 40]

[ecology]
carrying_capacity = 200
eggs_per_female = 20
low_density_growth_rate = 4
survival_rates = [0.8, 0.8, 0.5]

[landscape]
shape = "ring"
n_demes = 6
migration_rate = {female = 0.1, male = 0.2}

[[release]]
genotype = "D/D"
sex = "male"
age = [1, 2]
count = 50
at = 0
event = "first"
demes = [0]
'''


def _drive_frequency(ds):
    """Drive allele frequency per (replicate, tick, deme)."""
    copies = np.array([str(g).count("D") for g in ds["genotype"].values], dtype=float)
    c = ds["count"].sum(["sex", "age"]).values
    return (c @ copies) / (2.0 * c.sum(-1))


def test_a_landscape_scenario_runs_end_to_end_from_a_file(tmp_path, capsys):
    path = tmp_path / "ring.toml"
    path.write_text(RING)
    sc = load_scenario(path)
    model = sc.models[0]
    assert int(model.blueprint.n_demes) == 6
    np.testing.assert_array_equal(model.params.migration_rate, [[0.1] * 3, [0.2] * 3])
    out = tmp_path / "ring.nc"
    assert cli.main(["run", str(path), "--out", str(out), "--workers", "2", "--no-progress"]) == 0
    report = capsys.readouterr().out
    assert "landscape: 6 demes" in report and "all demes together" in report and "per deme" in report
    from qorin import results

    ds = results.load(out)
    assert ds["count"].dims == ("replicate", "tick", "deme", "sex", "age", "genotype")
    assert ds.sizes["deme"] == 6 and ds.sizes["tick"] == 13
    counts = ds["count"].values
    # tick 0 is the initial state in every deme; the release lands in deme 0 only
    np.testing.assert_array_equal(counts[:, 0].sum(axis=(2, 3, 4)), np.full((2, 6), 200.0))
    freq = _drive_frequency(ds)
    assert (freq[:, 1, 0] > 0.2).all() and (freq[:, 1, 3] == 0).all()
    assert cli.main(["inspect", str(out)]) == 0
    assert "per deme" in capsys.readouterr().out


def test_replicates_match_on_one_and_two_threads_and_in_the_calling_thread():
    text = RING.replace('demes = [0]', 'demes = [0, 3]') + '\n[sweep]\n"landscape.migration_rate" = [0.05, 0.3]\n'
    sc = parse_scenario(text)
    runs = []
    for executor, workers, engine_threads in ((None, None, 1), ("threads", 1, 2), ("threads", 2, 1)):
        T.set_worker_threads(engine_threads)
        try:
            runs.append(sc.run(executor=executor, workers=workers))
        finally:
            T.set_worker_threads(0)
    for other in runs[1:]:
        xr.testing.assert_identical(runs[0], other)
    # the replicates differ from each other and the swept rates change the outcome
    c = runs[0]["count"].isel(tick=-1).values
    assert not np.array_equal(c[0, 0], c[0, 1]) and not np.array_equal(c[0, 0], c[1, 0])


def test_a_drive_released_in_one_deme_reaches_the_far_side_of_the_ring():
    text = RING.replace("stochastic = true", "stochastic = false").replace("ticks = 12", "ticks = 40")
    text = text.replace("n_demes = 6", "n_demes = 8").replace("replicates = 2", "replicates = 1")
    ds = parse_scenario(text).run(executor=None)
    freq = _drive_frequency(ds)[0]
    far = 4
    assert freq[0, far] == 0.0 and freq[5, far] < 0.05
    assert freq[-1, far] > 0.5
    # the ring is symmetric about deme 0: demes d and 8 - d see the same run
    np.testing.assert_allclose(freq[:, 1], freq[:, 7], rtol=1e-12)
    # the drive arrives at the near demes before the far one
    first = [int(np.argmax(freq[:, d] > 0.25)) for d in range(5)]
    assert first == sorted(first) and first[0] < first[-1]


def test_ring_and_grid_graphs():
    indptr, dest, weights = L.ring(4)
    assert indptr.tolist() == [0, 2, 4, 6, 8] and dest.tolist() == [1, 3, 2, 0, 3, 1, 0, 2]
    assert (weights == 0.5).all()
    assert L.ring(2)[1].tolist() == [1, 0] and L.ring(2)[2].tolist() == [1.0, 1.0]
    indptr, dest, weights = L.grid(2, 3)  # demes 0 1 2 / 3 4 5
    near = [sorted(dest[indptr[d]:indptr[d + 1]].tolist()) for d in range(6)]
    assert near == [[1, 3], [0, 2, 4], [1, 5], [0, 4], [1, 3, 5], [2, 4]]
    for d in range(6):
        assert weights[indptr[d]:indptr[d + 1]].sum() == pytest.approx(1.0)


def _swap(old, new):
    assert old in RING
    return RING.replace(old, new, 1)


BAD = [
    (_swap('shape = "ring"', 'shape = "torus"'), "landscape.shape", 'shape = "torus"',
     'must be one of "ring", "grid"'),
    (_swap("n_demes = 6", "n_demes = 1"), "landscape.n_demes", "n_demes = 1",
     "must be an integer in [2, 100000], got 1"),
    (_swap("n_demes = 6", 'n_demes = "six"'), "landscape.n_demes", 'n_demes = "six"',
     "must be an integer, got a string"),
    (_swap("n_demes = 6", "n_demes = 6\nrows = 2"), "landscape.rows", "rows = 2",
     "does not apply to a ring"),
    (_swap('shape = "ring"\nn_demes = 6', 'shape = "grid"\nrows = 2'), "landscape", "[landscape]",
     "a grid needs the key 'cols'"),
    (_swap('shape = "ring"\nn_demes = 6', 'shape = "grid"\nrows = 1\ncols = 1'), "landscape.cols",
     "cols = 1", "a grid of 1 x 1 holds 1 demes"),
    (_swap("migration_rate = {female = 0.1, male = 0.2}", "migration_rate = {female = 0.1, male = 1.2}"),
     "landscape.migration_rate.male", "migration_rate", "must be a rate in [0, 1], got 1.2"),
    (_swap("migration_rate = {female = 0.1, male = 0.2}", "migration_rate = [0.1]"),
     "landscape.migration_rate", "migration_rate", "must hold 2 values, got 1"),
    (_swap("migration_rate = {female = 0.1, male = 0.2}", ""), "landscape", "[landscape]",
     "missing the required key 'migration_rate'"),
    (_swap("n_demes = 6", "n_demes = 6\nwrap = true"), "landscape.wrap", "wrap = true", "unknown key"),
    (_swap("demes = [0]", "demes = [0, 6]"), "release.0.demes.1", "demes = [0, 6]",
     "must be an integer in [0, 5], got 6"),
    (_swap("demes = [0]", "demes = [2, 2]"), "release.0.demes.1", "demes = [2, 2]", "names deme 2 twice"),
    (_swap("demes = [0]", "demes = []"), "release.0.demes", "demes = []", "must name at least one deme"),
    (_swap("demes = [0]", 'demes = "all"'), "release.0.demes", 'demes = "all"', "must be an integer"),
    (_swap("[landscape]\nshape = \"ring\"\nn_demes = 6\nmigration_rate = {female = 0.1, male = 0.2}\n", ""),
     "release.0.demes", "demes = [0]", "add a [landscape] section"),
    (_swap("stochastic = true", "stochastic = true\nstop_when_extinct = true"), "run.stop_when_extinct",
     "stop_when_extinct", "does not apply to a landscape"),
    (RING + '\n[sweep]\n"landscape.migration_rate" = [0.1, 2.0]\n', "sweep.landscape.migration_rate",
     '"landscape.migration_rate"', "value 2 (2.0): landscape.migration_rate must be a rate in [0, 1]"),
    (RING + '\n[sweep]\n"landscape.n_demes" = [6, 8]\n', "sweep", "[sweep]",
     "or the number of its demes"),
]


@pytest.mark.parametrize("text, key, fragment, message", BAD, ids=[c[1] + "-" + c[3][:20] for c in BAD])
def test_bad_landscape_keys_name_the_key_and_its_line(tmp_path, text, key, fragment, message):
    path = tmp_path / "bad.toml"
    path.write_text(text)
    with pytest.raises(ScenarioError) as info:
        load_scenario(path)
    err = info.value
    assert message in str(err) and err.key == key
    lines = text.splitlines()
    expected = [k for k, line in enumerate(lines, start=1) if fragment.splitlines()[0] in line]
    assert err.line == expected[-1], str(err)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.toml"]
