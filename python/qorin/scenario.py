"""Scenario files: a model, its releases, a run and a parameter sweep in TOML.

``load_scenario(path)`` (or ``parse_scenario(text)``) reads a scenario,
checks every key, type and range, builds the model of every parameter set of
its sweep and returns a ``Scenario``; ``Scenario.run()`` runs it through
``qorin.sweep``. Anything wrong raises ``ScenarioError`` (a ``ValueError``)
naming the key and the line it is on, before anything runs. The format is
described in the user guide (docs/scenarios.md); ``DEMO`` is the scenario of
``qorin demo``.
"""

from __future__ import annotations

# The checker of the TOML text (scenario_toml), the schema of its keys
# (scenario_schema) and the builders of its models (scenario_build); the limits
# of each stay importable from here.
from .scenario_build import MAX_RELEASE_MARKS, Scenario, build_scenario
from .scenario_schema import MAX_AGES, MAX_ALLELES, MAX_DEMES  # noqa: F401
from .scenario_toml import (MAX_KEY_LENGTH, MAX_KEY_PARTS, MAX_NESTING,  # noqa: F401
                            MAX_PARAMETER_SETS, MAX_SCENARIO_BYTES, ScenarioError, parse_document,
                            read_text)

__all__ = ["ScenarioError", "Scenario", "load_scenario", "parse_scenario", "DEMO"]

DEMO = '''\
name = "homing suppression drive"
description = """Releases of drive-homozygous males into a stochastic population with
four age classes. The drive homes in the germline of heterozygotes and disrupts a
gene that females need to be fertile; functional resistance alleles can stop it.
Does the population collapse, and how soon, for two release sizes?"""

[run]
ticks = 100
replicates = 50
seed = 2024
stop_when_extinct = true

[genetics]
builder = "homing_drive"
cutting = 0.97
homing = [0.95, 0.9]               # female, male
functional_resistance = 0.0       # swept below
deposition = 0.05
disrupts = "female_fertility"
drive_cost = 0.05
dominance = 0.5

[ages]
n_ages = 4
new_adult_age = 1

[initial]
"W/W" = [0, 300, 200, 100]          # each sex, by age

[ecology]
carrying_capacity = 600
eggs_per_female = 20
low_density_growth_rate = 6
survival_rates = [0.8, 0.7, 0.5, 0.0]

[[release]]
genotype = "D/D"
sex = "male"
age = 1
count = 30
every = 4
stop = 12

[sweep]                            # 2 x 2 parameter sets, each run `replicates` times
"release.0.count" = [10, 40]
"genetics.functional_resistance" = [0.0, 0.01]

[summary]
threshold = 0
'''


def parse_scenario(text: str, source: str = "<scenario>", *, progress: bool = False) -> Scenario:
    """Check a scenario given as TOML text and build its models (see the module doc).
    With `progress`, a sweep shows its number of parameter sets and a progress
    bar while the model of each is checked and built (tqdm)."""
    doc = parse_document(text, source)
    return build_scenario(doc, text, source, progress=progress)


def load_scenario(path, *, progress: bool = False) -> Scenario:
    """Read and check the scenario file at `path` (see ``parse_scenario``)."""
    text, path = read_text(path)
    return parse_scenario(text, source=path, progress=progress)
