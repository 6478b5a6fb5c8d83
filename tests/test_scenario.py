"""Scenario files: every section maps onto the model it describes, every bad key
is reported with its line, and the key locator follows TOML's syntax."""

import numpy as np
import pytest

import qorin
from qorin import scenario as S
from qorin.scenario import ScenarioError, parse_scenario

FULL = '''\
name = "full"

[run]
ticks = 30
record_interval = 2
replicates = 3
seed = 99
stochastic = false
stop_when_extinct = true

[genetics]
builder = "homing_drive"
cutting = {female = 0.9, male = 0.8}
homing = [0.7, 0.6]
functional_resistance = 0.1
disrupts = "viability"
fitness = {"D/W" = 0.5, "D/D" = [0.25, 0.75]}

[ages]
n_ages = 3
new_adult_age = 1

[initial]
"W/W" = 10                      # each sex, every adult age
"D/W" = [1, 2, 3]               # each sex, by age
"R/R" = {female = [0, 5, 0]}    # females only

[ecology]
carrying_capacity = 500
sex_ratio = 0.4
growth_mode = 2
survival_rates = {female = [0.9, 0.8, 0.0], male = 0.5}
mating_rates = [[1, 1, 1], [0, 2.5, 2.5]]
fertility = [0, 1, 0.5]

[[release]]
genotype = "D/D"
count = 7
age = [1, 2]
at = [3, 11]

[[release]]
genotype = "W/D"
count = 2
sex = "female"
event = "late"
every = 5
start = 10
stop = 26
'''


def test_every_section_maps_onto_the_model():
    sc = parse_scenario(FULL, "full.toml")
    assert (sc.name, sc.n_ticks, sc.record_interval, sc.replicates, sc.seed) == ("full", 30, 2, 3, 99)
    assert sc.grid == {} and sc.n_sets == 1
    bp, params, program = sc.models[0].blueprint, sc.models[0].params, sc.models[0].program
    locus = bp.locus
    assert not bp.stochastic and bp.n_ages == 3 and bp.new_adult_age == 1
    assert locus.description["cutting"] == [0.9, 0.8] and locus.description["homing"] == [0.7, 0.6]
    assert locus.description["functional_resistance"] == [0.1, 0.1]
    z = locus.index
    # a disrupted target is lethal; W/D and D/D carry their explicit costs on top
    np.testing.assert_array_equal(params.zygote_viability_fitness[:, z("W/D")], [0.5, 0.5])
    np.testing.assert_array_equal(params.zygote_viability_fitness[:, z("D/D")], [0.0, 0.0])
    counts = bp.initial_individual_count
    np.testing.assert_array_equal(counts[:, :, z("W/W")], [[0, 10, 10], [0, 10, 10]])
    np.testing.assert_array_equal(counts[:, :, z("W/D")], [[1, 2, 3], [1, 2, 3]])
    np.testing.assert_array_equal(counts[:, :, z("R/R")], [[0, 5, 0], [0, 0, 0]])
    assert counts.sum() == 2 * 20 + 2 * 6 + 5
    assert (params.carrying_capacity, params.sex_ratio, params.growth_mode) == (500.0, 0.4, 2)
    assert params.eggs_per_female == 50.0  # not given: the default
    np.testing.assert_array_equal(params.survival_rates, [[0.9, 0.8, 0.0], [0.5, 0.5, 0.5]])
    np.testing.assert_array_equal(params.mating_rates, [[1, 1, 1], [0, 2.5, 2.5]])
    np.testing.assert_array_equal(params.fertility, [0, 1, 0.5])
    assert program.release_ticks(31) == [3, 10, 11, 15, 20, 25]
    assert sc.releases == [3, 10, 11, 15, 20, 25]
    # the releases act as written: 7 D/D males at ages 1 and 2 at tick 3
    session = qorin.EngineSession(bp, params, 0)
    session.set_hook_program(program.build())
    session.run(3, 1)
    before = session.state_snapshot()[1].reshape(2, 3, -1)[1, 1:, z("D/D")].copy()
    session.trigger_event(1)
    after = session.state_snapshot()[1].reshape(2, 3, -1)[1, 1:, z("D/D")]
    np.testing.assert_array_equal(after - before, [7.0, 7.0])


RELEASE_ONLY = """[run]
ticks = 30
[genetics]
builder = "autosomal_locus"
[ages]
n_ages = 2
[initial]
"A1/A1" = 5
[[release]]
genotype = "A2/A2"
count = 1
"""


@pytest.mark.parametrize("schedule, ticks", [
    ("every = 5\nstart = 10\nstop = 25", [10, 15, 20]),          # stop is excluded
    ("every = 5\nstart = 10\nstop = 26", [10, 15, 20, 25]),
    ("every = 4\nstart = 3\nstop = 17", [4, 8, 12, 16]),         # ticks divisible by every
    ("every = 7", [0, 7, 14, 21, 28]),
    ("at = 0", [0]),
    ("at = [29, 3]", [3, 29]),
])
def test_release_schedules_fire_on_exactly_their_ticks(schedule, ticks):
    assert parse_scenario(RELEASE_ONLY + schedule + "\n").releases == ticks


def test_a_scenario_runs_as_a_sweep_of_its_models():
    xr = pytest.importorskip("xarray")
    text = FULL.replace("stochastic = false", "stochastic = true") + \
        '\n[sweep]\necology.carrying_capacity = [300, 800]\n"release.0.count" = [0, 40]\n'
    sc = parse_scenario(text)
    assert sc.grid == {"ecology.carrying_capacity": [300, 800], "release.0.count": [0, 40]}
    assert [m.params.carrying_capacity for m in sc.models] == [300.0, 300.0, 800.0, 800.0]
    assert sc.model(**{"ecology.carrying_capacity": 800, "release.0.count": 0}) is sc.models[2]
    ds = sc.run(replicates=2, seed=5, executor=None)
    assert ds["count"].dims[:3] == ("ecology.carrying_capacity", "release.0.count", "replicate")
    assert ds["tick"].values.tolist() == list(range(0, 31, 2))
    assert "stored_sperm" not in ds and ds.attrs["qorin_scenario"] == text
    same = qorin.sweep(sc.model, 30, sc.grid, replicates=2, seed=5, record_interval=2, sperm=False)
    xr.testing.assert_equal(ds, same)


def test_the_demo_scenario_is_valid_and_prints_as_a_starting_point():
    sc = parse_scenario(S.DEMO, "<demo>")
    assert sc.n_sets == 4 and sc.replicates * sc.n_sets == 200
    assert sc.models[0].blueprint.locus.description["builder"] == "homing_drive"


def _replace(old, new):
    assert old in FULL, old
    return FULL.replace(old, new, 1)


def _line_of(text, fragment):
    return next(k for k, line in enumerate(text.splitlines(), start=1) if fragment in line)


BAD = [
    (_replace("carrying_capacity = 500", "carying_capacity = 500"), "ecology.carying_capacity",
     "carying_capacity", "unknown key; allowed: carrying_capacity"),
    (_replace('name = "full"', 'name = "full"\ncolour = "red"'), "colour", "colour", "unknown key"),
    (_replace("functional_resistance = 0.1", "functional_resistance = 1.1"),
     "genetics.functional_resistance", "functional_resistance", "must be a rate in [0, 1], got 1.1"),
    (_replace("homing = [0.7, 0.6]", "homing = [0.7, -0.6]"), "genetics.homing.1", "homing =",
     "must be a rate in [0, 1], got -0.6"),
    (_replace("homing = [0.7, 0.6]", "homing = [0.7]"), "genetics.homing", "homing =", "must hold 2"),
    (_replace("cutting = {female = 0.9, male = 0.8}", "cutting = {female = 0.9}"),
     "genetics.cutting", "cutting =", "missing the required key 'male'"),
    (_replace('builder = "homing_drive"', 'builder = "gene_drive"'), "genetics.builder", "builder",
     'must be one of "autosomal_locus"'),
    (_replace('disrupts = "viability"', "disrupts = 1"), "genetics.disrupts", "disrupts",
     "must be a string, got an integer"),
    (_replace('"D/D" = [0.25, 0.75]', '"D/X" = [0.25, 0.75]'), "genetics.fitness.D/X", "fitness =",
     "is not a genotype of this model"),
    (_replace("n_ages = 3", "n_ages = 3.0"), "ages.n_ages", "n_ages", "must be an integer, got a number"),
    (_replace("new_adult_age = 1", "new_adult_age = 3"), "ages.new_adult_age", "new_adult_age",
     "must be an integer in [0, 2], got 3"),
    (_replace("ticks = 30", "ticks = -1"), "run.ticks", "ticks", "must be an integer in [0, "),
    (_replace("stochastic = false", 'stochastic = "no"'), "run.stochastic", "stochastic =",
     "must be true or false"),
    (_replace("seed = 99", "seed = -99"), "run.seed", "seed", "must be an integer in [0, "),
    (_replace('"D/W" = [1, 2, 3]', '"D/W" = [1, 2]'), "initial.D/W", '"D/W" = [1, 2]', "must hold 3"),
    (_replace('"D/W" = [1, 2, 3]', '"D/W" = [1, 2, 3]\n"W/D" = 4'), "initial.W/D", '"W/D" = 4',
     'names the same genotype as "D/W"'),
    (_replace('"W/W" = 10', '"W/Q" = 10'), "initial.W/Q", '"W/Q"', "is not a genotype"),
    (_replace('"R/R" = {female = [0, 5, 0]}', '"R/R" = {female = [0, -5, 0]}'),
     "initial.R/R.female.1", '"R/R"', "must be a finite number in [0, "),
    (_replace("sex_ratio = 0.4", "sex_ratio = 1.4"), "ecology.sex_ratio", "sex_ratio",
     "must be a finite number in [0, 1], got 1.4"),
    (_replace("growth_mode = 2", "growth_mode = 7"), "ecology.growth_mode", "growth_mode",
     "must be an integer in [0, 4], got 7"),
    (_replace("male = 0.5}", "male = 1.5}"), "ecology.survival_rates.male", "survival_rates",
     "must be a finite number in [0, 1], got 1.5"),
    (_replace("mating_rates = [[1, 1, 1], [0, 2.5, 2.5]]", "mating_rates = [[1, 1, 1.5], [0, 2.5, 2.5]]"),
     "ecology.mating_rates.0.2", "mating_rates", "must be a finite number in [0, 1], got 1.5"),
    (_replace("fertility = [0, 1, 0.5]", "fertility = [0, 1, nan]"), "ecology.fertility.2", "fertility",
     "got nan"),
    (_replace("at = [3, 11]", "at = [3, 11]\nevery = 2"), "release.0", "[[release]]",
     "give either 'at'"),
    (_replace("stop = 26", "stop = 10"), "release.1.stop", "stop = 10", "must be an integer in [11, inf)"),
    (_replace('sex = "female"', 'sex = "females"'), "release.1.sex", "sex =", 'must be one of "male"'),
    (_replace('genotype = "D/D"', 'genotype = "D/E"'), "release.0.genotype", 'genotype = "D/E"',
     "is not a genotype"),
    (_replace("age = [1, 2]", "age = [1, 3]"), "release.0.age.1", "age = [1, 3]",
     "must be an integer in [0, 2], got 3"),
    (_replace("count = 2\n", ""), "release.1", "[[release]]\ngenotype = \"W/D\"",
     "missing the required key 'count'"),
    (FULL + "\n[landscape]\nn_demes = 4\n", "landscape", "[landscape]",
     "missing the required key 'shape'"),
    (FULL + "\n[release]\ngenotype = 1\n", None, None, "not valid TOML"),
    (FULL + "\n[sweep]\necology.sex_ratio = [0.5, 1.5]\n", "sweep.ecology.sex_ratio", "ecology.sex_ratio",
     "value 2 (1.5): ecology.sex_ratio must be a finite number in [0, 1]"),
    (FULL + '\n[sweep]\n"release.2.count" = [1]\n', "sweep.release.2.count", '"release.2.count"',
     "release has no element 2 (it holds 2)"),
    (FULL + "\n[sweep]\nrun.ticks = [1, 2]\n", "sweep.run.ticks", "run.ticks", "cannot be swept"),
    (FULL + "\n[sweep]\nweather.rain = [1, 2]\n", "sweep.weather.rain", "weather.rain",
     "is not a section"),
    (FULL + "\n[sweep]\necology.growth_mode = [1, 1]\n", "sweep.ecology.growth_mode.1",
     "growth_mode = [1, 1]", "repeats the value 1"),
    (FULL + "\n[sweep]\necology.growth_mode = 1\n", "sweep.ecology.growth_mode", "growth_mode = 1",
     "must be an array of the values to sweep"),
    (FULL + "\n[sweep]\necology = [1, 2]\necology.growth_mode = [1, 2]\n", None, None, "not valid TOML"),
    (FULL + "\n[sweep]\n\"ecology\" = [{}, {sex_ratio = 0.5}]\n\"ecology.growth_mode\" = [1, 2]\n",
     "sweep.ecology", '"ecology" = [', "overlaps the swept key ecology.growth_mode"),
    (FULL + "\n[sweep]\nages.n_ages = [3, 4]\n", "initial.D/W", '"D/W" = [1, 2, 3]',
     "must hold 4 values, got 3 (in the parameter set ages.n_ages = 4)"),
    ('[run]\nticks = 5\n[genetics]\nbuilder = "autosomal_locus"\n[ages]\nn_ages = 2\n[initial]\n'
     '"A1/A1" = 5\n[sweep]\ngenetics.n_alleles = [2, 3]\n', "sweep", "[sweep]",
     "the parameter set genetics.n_alleles = 3 changes the ages or genotypes of the model"),
    (FULL + "\n[summary]\nthreshold = -1\n", "summary.threshold", "threshold", "must be a finite number"),
]


@pytest.mark.parametrize("text, key, fragment, message", BAD,
                         ids=[f"{k}-{case[1] or case[3]}" for k, case in enumerate(BAD)])
def test_a_bad_scenario_names_the_key_and_its_line(text, key, fragment, message):
    with pytest.raises(ScenarioError) as info:
        parse_scenario(text, "bad.toml")
    err = info.value
    assert message in str(err)
    assert err.source == "bad.toml" and str(err).startswith("bad.toml, line ")
    if key is not None:
        assert err.key == key
        first = fragment.splitlines()[0]
        lines = text.splitlines()
        expected = [k for k, line in enumerate(lines, start=1) if first in line
                    and (len(fragment.splitlines()) == 1 or fragment.splitlines()[1] in lines[k])]
        assert err.line == expected[-1 if key.startswith(("sweep", "landscape")) else 0], str(err)


def test_missing_sections_and_unreadable_files(tmp_path):
    with pytest.raises(ScenarioError, match="missing the required key 'genetics'"):
        parse_scenario("[run]\nticks = 3\n[ages]\nn_ages = 2\n")
    with pytest.raises(ScenarioError, match="cannot read the scenario"):
        S.load_scenario(tmp_path / "absent.toml")
    (tmp_path / "latin1.toml").write_bytes(b'name = "caf\xe9"\n')
    with pytest.raises(ScenarioError, match="must be UTF-8"):
        S.load_scenario(tmp_path / "latin1.toml")


TRICKY = '''\
# [not.a.table] key = 1
title = """
a = [ "not a key" ]
[not.a.table]
"""
literal = \'\'\'x = 1\'\'\'
"quoted.key" = 1
dotted . key = { inner = 2, deeper.still = [ 1,
   2, { z = 3 } ] }
array = [
  1,   # [x]
  "]", 'a"b',
  [2, 3],
]

[[fruit]]
name = "apple"
[fruit.kind]
sweet = true

[[fruit]]
name = "pear"
[[fruit.variety]]
name = "conference"

[ "odd header" . 'sub' ]
k = "v"   # comment
esc = "a\\"b = c"
'''


@pytest.mark.parametrize("path, line", [
    (("title",), 2), (("literal",), 6), (("quoted.key",), 7), (("dotted", "key"), 8),
    (("dotted", "key", "inner"), 8), (("dotted", "key", "deeper", "still"), 8),
    (("dotted", "key", "deeper", "still", 1), 9), (("dotted", "key", "deeper", "still", 2, "z"), 9),
    (("array",), 10), (("array", 0), 11), (("array", 1), 12), (("array", 2), 12), (("array", 3), 13),
    (("fruit", 0), 16), (("fruit", 0, "name"), 17), (("fruit", 0, "kind", "sweet"), 19),
    (("fruit", 1, "name"), 22), (("fruit", 1, "variety", 0, "name"), 24),
    (("odd header", "sub", "k"), 27), (("odd header", "sub", "esc"), 28),
    (("not", "a", "table"), None), (("a",), None),
])
def test_the_key_locator_follows_toml(path, line):
    doc = S._tomllib().loads(TRICKY)  # the locator is only asked about valid documents
    assert doc["fruit"][1]["variety"][0]["name"] == "conference"
    lines = S._KeyLines(TRICKY)
    assert lines.lines.get(path) == line


def test_the_scenario_examples_of_the_guide_are_valid():
    import pathlib
    import re

    page = pathlib.Path(__file__).resolve().parents[1] / "docs" / "scenarios.md"
    blocks = re.findall(r"^```toml\n(.*?)^```", page.read_text(), re.S | re.M)
    assert blocks
    for block in blocks:
        sc = parse_scenario(block, "scenarios.md")
        assert sc.n_sets == 4 and sc.releases == [0, 4, 8]
