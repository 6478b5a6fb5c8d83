"""The schema of scenario files: the keys of every table and where each
value's range is read from (the model's contracts, ``qorin.contracts``).
"""

from __future__ import annotations

from . import contracts as C
from . import scenario_sites as SS

MAX_ALLELES = 16  # a locus of n alleles has n(n+1)/2 genotypes and an offspring tensor of their cube
MAX_AGES = 10_000
MAX_DEMES = 100_000
U64 = 2 ** 64


# ------------------------------------------------------------------ the schema
TOP = ("name", "description", "run", "genetics", "ages", "initial", "ecology", "release",
       "landscape", "sweep", "summary")
RUN = ("ticks", "record_interval", "replicates", "seed", "stochastic", "continuous_sampling",
       "fixed_egg_count", "stop_when_extinct", "generations", "sampling", "round_counts")
NOT_SWEPT = ("run.ticks", "run.record_interval", "run.replicates", "run.seed")
SUMMARY = ("threshold", "adults_only", "sex")
AGES = ("n_ages", "new_adult_age")
RELEASE = ("genotype", "count", "sex", "age", "at", "every", "start", "stop", "event", "demes",
           "sites", "near")
LANDSCAPE = ("shape", "n_demes", "rows", "cols", "migration_rate") + SS.SITE_KEYS
SHAPE_KEYS = {"ring": ("n_demes",), "grid": ("rows", "cols")}
_DRIVE = ("cutting", "homing", "functional_resistance", "deposition", "disrupts", "drive_cost",
          "dominance", "fitness", "fecundity", "allele_names", "zygotic_cutting", "zygotic_homing")
_COSTS = ("cost", "dominance", "fitness", "fecundity", "allele_names")
BUILDERS = {
    "autosomal_locus": ("n_alleles", "allele_names"),
    "xy_locus": ("n_x_alleles", "allele_names"),
    "homing_drive": _DRIVE,
    "split_drive": _DRIVE + ("cas9_cost", "cas9_dominance", "cas9_names"),
    "x_linked_distorter": ("transmission", "female_transmission", "fitness", "fecundity",
                           "allele_names"),
    "driving_y": ("transmission", "cost", "fitness", "fecundity", "allele_names"),
    "medea": ("toxicity", "antidote") + _COSTS,
    "underdominance": ("lethality",) + _COSTS,
    "female_lethal": ("lethality", "sterility", "timing") + _COSTS,
    "cleave_and_rescue": ("cutting", "deposition", "lethality", "target_names") + _COSTS,
}
# rates given per sex by some builders only
PER_SEX_OF = {"female_lethal": ("lethality", "sterility")}
NAME_COUNTS = {"homing_drive": 4, "split_drive": 4, "x_linked_distorter": 2, "driving_y": 3,
               "medea": 2, "female_lethal": 2, "cleave_and_rescue": 2}
PER_SEX_RATES = ("cutting", "homing", "functional_resistance")
RATES = ("deposition", "drive_cost", "dominance", "cas9_cost", "cas9_dominance", "transmission",
         "female_transmission", "zygotic_cutting", "zygotic_homing", "toxicity", "antidote", "cost",
         "lethality")
DISRUPTS = ("female_fertility", "fertility", "viability")
# the ranges of ecology values, shared with the Python checks (qorin.contracts):
# scalars (low, high, integer); tensors by sex and age (female range, male range); by age.
# `population_size` is N of Wright-Fisher generations, given as carrying_capacity.
ECO_SCALARS = {**C.SCALAR_BOUNDS,
               "population_size": (1.0, C.SCALAR_BOUNDS["carrying_capacity"][1], False)}
ECO_SEX_AGE = C.SEX_AGE_BOUNDS
ECO_AGE = C.AGE_BOUNDS
ECOLOGY = tuple(ECO_SCALARS) + tuple(ECO_SEX_AGE) + tuple(ECO_AGE)
SEX_KEYS = ("female", "male")
WHOLE_HINT = "round them, or set round_counts = true in [run]"
