"""Scenario files with a landscape of sites: a sites file, a kernel table,
schedules and releases into chosen sites, run end to end; every bad key named
with its line, and bad files with their row and column."""

import numpy as np
import pytest

import qorin
from qorin.scenario import ScenarioError, load_scenario

pytest.importorskip("scipy")
xr = pytest.importorskip("xarray")

SCENARIO = '''\
name = "sites"

[run]
ticks = 16
replicates = 2
seed = 3
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
eggs_per_female = 20
low_density_growth_rate = 4
survival_rates = [0.8, 0.8, 0.5]

[landscape]
sites = "sites.csv"
migration_rate = 0.1
start = "equilibrium"
kernel = {type = "exponential", scale = 1.5, tail = 0.001}

[[landscape.schedule]]
parameter = "carrying_capacity"
profile = [1.2, 1.0, 0.6, 1.0]

[[landscape.schedule]]
parameter = "eggs_per_female"
table = "eggs.csv"
start = 2

[[release]]
genotype = "D/D"
count = 50
every = 5
stop = 12
near = {x = 5.0, y = 5.0, nearest = 2}

[[release]]
genotype = "D/D"
count = 20
at = 3
sites = ["s7"]
'''


@pytest.fixture
def folder(tmp_path):
    rng = np.random.default_rng(0)
    lines = ["label,x,y,carrying_capacity,rainfall"]
    for k in range(30):
        lines.append(f"s{k},{rng.uniform(0, 10):.3f},{rng.uniform(0, 10):.3f},{rng.uniform(100, 400):.1f},1")
    (tmp_path / "sites.csv").write_text("\n".join(lines) + "\n")
    eggs = ",".join(f"s{k}" for k in range(30)) + "\n" + "\n".join(",".join(["15"] * 30) for _ in range(3))
    (tmp_path / "eggs.csv").write_text(eggs + "\n")
    return tmp_path


def test_a_landscape_of_sites_runs_from_a_scenario_file(folder):
    path = folder / "sc.toml"
    path.write_text(SCENARIO)
    sc = load_scenario(path)
    land = sc.models[0].session.landscape
    assert land.n_sites == 30 and land.labels[7] == "s7" and land.values["rainfall"].tolist() == [1.0] * 30
    assert [s.name for s in land.schedules] == ["carrying_capacity", "eggs_per_female"]
    ds = sc.run(executor=None)
    assert ds["count"].dims == ("replicate", "tick", "deme", "sex", "age", "genotype")
    assert list(ds["site"].values) == list(land.labels) and "x" in ds.coords
    freq = qorin.allele_frequencies(ds, by_deme=True).sel(allele="D")
    near = land.select(near=(5.0, 5.0), nearest=2)
    assert (freq.isel(tick=1, deme=near) > 0).all()
    # the scenario equals the same landscape built in Python
    again = land.sweep(sc.models[0].blueprint, sc.models[0].params, 16, program=sc.models[0].program,
                       replicates=2, seed=3, executor=None, sperm=False)
    np.testing.assert_array_equal(again["count"].values, ds["count"].values)


def _write(folder, text):
    path = folder / "bad.toml"
    path.write_text(text)
    return path


def _swap(old, new):
    assert old in SCENARIO, old
    return SCENARIO.replace(old, new, 1)


BAD = [
    (_swap('sites = "sites.csv"', 'sites = "nowhere.csv"'), "landscape.sites", 'sites = "nowhere.csv"',
     "cannot read the sites file"),
    (_swap('sites = "sites.csv"', 'sites = "sites.csv"\nshape = "ring"'), "landscape.shape", 'shape = "ring"',
     "does not apply to a landscape of sites"),
    (_swap('kernel = {type = "exponential", scale = 1.5, tail = 0.001}', 'kernel = {type = "cauchy", scale = 1}'),
     "landscape.kernel.type", "kernel =", 'must be one of "exponential"'),
    (_swap('scale = 1.5, tail = 0.001', 'scale = -1.5'), "landscape.kernel.scale", "kernel =",
     "must be a finite number"),
    (_swap('scale = 1.5, tail = 0.001', 'sigma = 1.5'), "landscape.kernel.sigma", "kernel =",
     "does not apply to a exponential kernel"),
    (_swap('scale = 1.5, tail = 0.001', 'scale = 1.5, tail = 0.001, cutoff = 3'), "landscape.kernel.tail",
     "kernel =", "either 'cutoff'"),
    (_swap('kernel = {type = "exponential", scale = 1.5, tail = 0.001}', ''), "landscape", "[landscape]",
     "needs a 'kernel' table"),
    (_swap('start = "equilibrium"', 'start = "full"'), "landscape.start", 'start = "full"', "must be one of"),
    (_swap('parameter = "carrying_capacity"', 'parameter = "survival_rates"'), "landscape.schedule.0.parameter",
     'parameter = "survival_rates"', "must be one of"),
    (_swap('profile = [1.2, 1.0, 0.6, 1.0]', 'profile = []'), "landscape.schedule.0.profile", "profile = []",
     "at least one value"),
    (_swap('table = "eggs.csv"', 'table = "eggs.csv"\nprofile = [1.0]'), "landscape.schedule.1",
     "[[landscape.schedule]]", "either 'profile'"),
    (_swap('table = "eggs.csv"', 'table = "none.csv"'), "landscape.schedule.1.table", 'table = "none.csv"',
     "cannot read"),
    (_swap('parameter = "eggs_per_female"', 'parameter = "carrying_capacity"'),
     "landscape.schedule.1.parameter", 'parameter = "carrying_capacity"', "already has a schedule"),
    (_swap('table = "eggs.csv"', 'table = "eggs.csv"\nrepeat = true').replace(
        'parameter = "carrying_capacity"\nprofile = [1.2, 1.0, 0.6, 1.0]',
        'parameter = "carrying_capacity"\nprofile = [1.2, 1.0, 0.6, 1e12]'),
     "landscape.schedule.0.profile", "profile = [1.2, 1.0, 0.6, 1e12]",
     "row 3 of the profile gives site 0 the value"),
    (_swap('sites = ["s7"]', 'sites = ["s99"]'), "release.1.sites.0", 'sites = ["s99"]',
     "no site is labelled 's99'"),
    (_swap('sites = ["s7"]', 'sites = ["s7", 7]'), "release.1.sites.1", 'sites = ["s7", 7]', "twice"),
    (_swap('sites = ["s7"]', 'sites = ["s7"]\ndemes = [1]'), "release.1.demes", "demes = [1]",
     "either 'demes' or 'sites'"),
    (_swap('near = {x = 5.0, y = 5.0, nearest = 2}', 'near = {x = 5.0, nearest = 2}'), "release.0.near",
     "near =", "missing the key 'y'"),
    (_swap('near = {x = 5.0, y = 5.0, nearest = 2}', 'near = {site = "s1", x = 1.0, nearest = 2}'),
     "release.0.near", "near =", "either 'site' or both 'x' and 'y'"),
    (_swap('near = {x = 5.0, y = 5.0, nearest = 2}', 'near = {x = 50.0, y = 50.0, radius = 1}'),
     "release.0.near", "near =", "no site lies within"),
    (_swap('near = {x = 5.0, y = 5.0, nearest = 2}', 'near = {site = "s1", nearest = 99}'),
     "release.0.near.nearest", "near =", "must be an integer in [1, 30]"),
]


@pytest.mark.parametrize("text, key, fragment, message", BAD, ids=[c[1] + "-" + c[3][:18] for c in BAD])
def test_bad_landscape_keys_name_the_key_and_its_line(folder, text, key, fragment, message):
    with pytest.raises(ScenarioError) as info:
        load_scenario(_write(folder, text))
    err = info.value
    assert message in str(err) and err.key == key, str(err)
    lines = text.splitlines()
    expected = [k for k, line in enumerate(lines, start=1) if fragment in line]
    assert err.line == expected[-1], str(err)


@pytest.mark.parametrize("file, content, message", [
    ("sites.csv", "label,x,y,carrying_capacity\na,0,0,100\nb,1,1,lots\n",
     "sites.csv, row 3, column 'carrying_capacity': 'lots' is not a number"),
    ("sites.csv", "label,x,y\na,0,0\na,1,1\n", "sites.csv, row 3, column 'label'"),
    ("eggs.csv", "s0,s1\n1,2\n", "eggs.csv, row 1: no column for the site 's2'"),
    ("eggs.csv", ",".join(f"s{k}" for k in range(30)) + "\n" + ",".join(["15"] * 29 + ["x"]) + "\n",
     "eggs.csv, row 2, column 's29': 'x' is not a number"),
    ("eggs.csv", ",".join(f"s{k}" for k in range(30)) + "\n" + ",".join(["15"] * 29 + ["-1"]) + "\n",
     "eggs_per_female must be in [0, 1000000], got -1.0"),
])
def test_bad_files_name_the_file_row_and_column(folder, file, content, message):
    (folder / file).write_text(content)
    with pytest.raises(ScenarioError) as info:
        load_scenario(_write(folder, SCENARIO))
    assert message in str(info.value), str(info.value)
    assert info.value.key in ("landscape.sites", "landscape.schedule.1.table", "landscape.schedule.1")


def test_a_ring_takes_a_kernel_a_start_and_schedules(tmp_path):
    text = '''
[run]
ticks = 6
replicates = 1
stochastic = false

[genetics]
builder = "autosomal_locus"

[ages]
n_ages = 3

[initial]
"A1/A1" = [0, 10, 10]

[ecology]
carrying_capacity = 300

[landscape]
shape = "ring"
n_demes = 12
migration_rate = 0.2
start = "equilibrium"
kernel = {type = "gaussian", sigma = 1.5, cutoff = 2.5}

[[landscape.schedule]]
parameter = "carrying_capacity"
profile = [100, 200]
relative = false
'''
    path = tmp_path / "ring.toml"
    path.write_text(text)
    sc = load_scenario(path)
    land = sc.models[0].session.landscape
    assert land.n_sites == 12 and land.dispersal.kind == "gaussian"
    assert np.diff(land.graph.indptr).tolist() == [4] * 12  # two neighbours each way within 2.5
    ds = sc.run(executor=None)
    size = qorin.population_size(ds.isel(replicate=0), by_deme=True)
    assert size.isel(tick=0).values.tolist() == pytest.approx([300.0 * (1 + 1.0)] * 12)
    s = land.session(sc.models[0].blueprint, sc.models[0].params)
    s.run(3, 1)
    assert s.session.get_deme_scalar(5, "carrying_capacity") == 200.0  # tick 3 holds profile[1]
    path.write_text(text.replace('relative = false', 'relative = false\nrepeat = true'))
    with pytest.raises(ScenarioError, match="'repeat' goes with 'table'"):
        load_scenario(path)
