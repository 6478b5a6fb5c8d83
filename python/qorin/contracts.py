"""Model contracts handed to the engine.

The engine reads a model from two plain objects by attribute name: a blueprint
(dimensions, switches, labels, initial state, migration graph) and the
parameters (ecology rates and genetics tables). ``Blueprint`` and ``Params``
carry exactly those attributes as NumPy arrays of the dtypes the engine
requires, with defaults filled from the dimensions, so a valid model takes a
few lines::

    from qorin.contracts import Blueprint, Params
    bp = Blueprint(n_ages=3)                 # one autosomal locus, 2 alleles
    bp.initial_individual_count[:, 1, :] = 100.0
    params = Params(bp, carrying_capacity=500.0)

Array attributes are always stored C-contiguous; the engine reads them in
memory order, so assign arrays through the attributes (or mutate them in
place) rather than handing in transposed views.
"""

from __future__ import annotations

import math
import pickle
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import fields as _fields

__all__ = [
    "Blueprint", "Params", "Model", "ECOLOGY_SCALARS", "ECOLOGY_TENSORS", "GENETICS_TENSORS",
    "SCALAR_BOUNDS", "SEX_AGE_BOUNDS", "AGE_BOUNDS", "COUNT_BOUNDS", "samples_whole_individuals",
    "check_model", "rounded_counts", "SAMPLERS", "sampler_name",
]

# The engine's field table (qorin.fields), by group.
ECOLOGY_SCALARS = _fields.ECOLOGY_SCALARS
ECOLOGY_TENSORS = _fields.ECOLOGY_TENSORS
GENETICS_TENSORS = _fields.GENETICS_TENSORS

# Ranges of the model's values, read by every front end (the Python classes here,
# the scenario checker): low, high (None: unbounded), and for the scalars whether
# the value is an integer. The scalars' ranges are the engine's (its field table).


def _scalar_range(f) -> tuple:
    """(low, high, integer) of an ecology scalar from the engine's field table;
    the "not given" value (-1 for external_expected_eggs) widens the low end
    and an infinite bound is none."""
    lo = min(f.lower, f.absent) if f.has_absent else f.lower
    hi = None if math.isinf(f.upper) else f.upper
    if f.integral:
        return int(lo), int(hi), True
    return lo, hi, False


SCALAR_BOUNDS = {name: _scalar_range(_fields.FIELDS[name]) for name in ECOLOGY_SCALARS}
# The tensors' ranges are the host's: the engine takes any finite value >= 0
# and clamps rates to [0, 1] where they are probabilities, but a rate above 1
# is a modelling error worth refusing.
# Tensors by sex and age: (female range, male range); a male mates with many females.
SEX_AGE_BOUNDS = {"survival_rates": ((0.0, 1.0), (0.0, 1.0)),
                  "mating_rates": ((0.0, 1.0), (0.0, None))}
# Tensors by age.
AGE_BOUNDS = {"reproduction_rates": (0.0, 1.0), "fertility": (0.0, 1.0),
              "competition_weights": (0.0, None)}
# Individuals in one cell: initial counts, releases.
COUNT_BOUNDS = (0.0, 1e12)
SEXES = ("female", "male")


def fmt(x) -> str:
    """A bound or value as a scenario file writes it (1 rather than 1.0)."""
    if isinstance(x, (int, np.integer)) and not isinstance(x, bool):
        return str(int(x))
    return str(int(x)) if float(x).is_integer() and abs(x) < 1e16 else repr(float(x))


def range_text(lo, hi) -> str:
    """[lo, hi] with open ends written as -inf and inf."""
    if lo is not None and hi is not None:
        return f"[{fmt(lo)}, {fmt(hi)}]"
    if lo is not None:
        return f"[{fmt(lo)}, inf)"
    if hi is not None:
        return f"(-inf, {fmt(hi)}]"
    return "(-inf, inf)"


def number_problem(value: float, lo, hi) -> str | None:
    """Why `value` is not a finite number in [lo, hi] (None when it is): the
    wording every front end uses."""
    v = float(value)
    if not np.isfinite(v) or (lo is not None and v < lo) or (hi is not None and v > hi):
        return f"must be a finite number in {range_text(lo, hi)}, got {_shown(value)}"
    return None


def integer_problem(value, lo, hi) -> str | None:
    """Why `value` is not an integer in [lo, hi] (None when it is)."""
    if (lo is not None and value < lo) or (hi is not None and value > hi):
        return f"must be an integer in {range_text(lo, hi)}, got {value}"
    return None


def _shown(value) -> str:
    """A value in a message: whole numbers without a decimal point, as in a file."""
    return fmt(value)


#: The samplers of a stochastic model's newborns, by name, the default first
#: (the engine's table of samplers): "exact" draws every pair's eggs, their
#: genotypes, sexes and zygote viability; "aggregated" draws the surviving
#: newborns of each sex and genotype as one Poisson count where that has the
#: same distribution (see docs/sampling.md).
SAMPLERS = tuple(_fields.CODES["Sampler"])


def sampler_name(value, where: str = "sampling") -> str:
    """The sampler named `value` (one of ``SAMPLERS``; None gives "exact").
    ``TypeError`` for a value that is not a string, ``ValueError`` for an
    unknown name."""
    if value is None:
        return SAMPLERS[0]
    if not isinstance(value, str):
        raise TypeError(f"{where} must be one of {', '.join(map(repr, SAMPLERS))}, "
                        f"got {type(value).__name__}")
    if value not in SAMPLERS:
        hint = ""
        from .generations import SAMPLING_MODES  # the Wright-Fisher modes, a different switch

        if value in SAMPLING_MODES:
            hint = (f" ({value!r} is a sampling mode of Wright-Fisher generations: "
                    "pass it as extreme_speed_mode)")
        raise ValueError(f"{where} must be one of {', '.join(map(repr, SAMPLERS))}, "
                         f"got {value!r}{hint}")
    return value


def samples_whole_individuals(blueprint) -> bool:
    """Whether the model samples whole individuals (stochastic without
    continuous sampling): its counts must then be whole numbers."""
    return bool(getattr(blueprint, "stochastic", False)) and \
        not bool(getattr(blueprint, "continuous_sampling", False))


def _f64(values, shape=None) -> np.ndarray:
    a = np.array(values, dtype=np.float64, order="C", copy=True)
    if shape is not None:
        a = a.reshape(shape)
    return np.ascontiguousarray(a)


def _i64(values) -> np.ndarray:
    return np.ascontiguousarray(np.array(values, dtype=np.int64).reshape(-1))


def _bool(values) -> np.ndarray:
    return np.ascontiguousarray(np.array(values, dtype=np.bool_).reshape(-1))


def _default_locus():
    from . import genetics  # imported lazily: optional until a model needs it

    return genetics.autosomal_locus(2)


def _tensor_shapes(a: int, z: int, g: int) -> dict:
    """The layout of every tensor field for A ages, Z genotypes and G gamete types."""
    return {name: _fields.shape(name, a, z, g) for name in ECOLOGY_TENSORS + GENETICS_TENSORS}


def _shaped(name: str, value, shape: tuple) -> np.ndarray:
    """A tensor override in its layout: the layout's shape, or flat with as many
    values; the two optional ecology tensors may also be empty (absent)."""
    a = _f64(value)
    if _fields.FIELDS[name].optional and a.size == 0:
        return np.zeros(0)
    if a.shape == shape:
        return a
    size = int(np.prod(shape))
    if a.ndim == 1 and a.size == size:
        return a.reshape(shape)
    allowed = f"shape {shape}" + (f" or {size} flat values" if len(shape) > 1 else "")
    if _fields.FIELDS[name].optional:
        allowed += " or empty (absent)"
    raise ValueError(f"{name} must have {allowed}, got shape {a.shape}")


def _converted(name: str, value, shapes: dict):
    """A Params field as the engine reads it (unchecked)."""
    if name in ECOLOGY_SCALARS:
        return int(value) if _fields.FIELDS[name].integral else float(value)
    if name == "custom_slots":
        return dict(value)
    if name in ECOLOGY_TENSORS or name in GENETICS_TENSORS:
        return _shaped(name, value, shapes[name])
    raise TypeError(f"Params has no field {name!r}")


class Blueprint:
    """Frozen structure of one model.

    ``locus`` is a genetics model object (see ``qorin.genetics``) providing
    ``labels``, ``n_ztypes``, ``n_gtypes``, ``female_only``, ``male_only`` and
    ``has_sex_chromosomes``; by default one autosomal locus with two alleles.
    Ages ``new_adult_age .. n_ages-1`` are adult. With ``n_demes > 1`` and no
    migration graph given, the graph has no edges.

    ``generations`` is the kind of generations ("overlapping" by default,
    "discrete" or "wright_fisher"; see ``qorin.generations``): it chooses the
    session that runs the model. Discrete kinds have ``n_ages`` 2 and
    ``new_adult_age`` 1. ``extreme_speed_mode`` is the sampling of a
    Wright-Fisher generation by name ("multinomial", "poisson", "expected") or
    number; 0 takes the default of the model. ``stochastic`` defaults to True
    for Wright-Fisher generations and False otherwise.

    ``sampling`` is the sampler of the newborns of a stochastic model:
    "exact" (the default) draws every pair's eggs, their genotypes, sexes and
    zygote viability one after another; "aggregated" draws the surviving
    newborns of each sex and genotype as one Poisson count, which has the same
    joint distribution and is faster, but gives other numbers for the same
    seed. It applies to overlapping and discrete generations with Poisson egg
    counts; with ``fixed_egg_count``, ``continuous_sampling``, a deterministic
    model or Wright-Fisher generations the exact scheme runs (see
    docs/sampling.md).

    Checked here (``ValueError``): ``n_ages >= 1``, ``new_adult_age`` in
    ``0 .. n_ages-1``, ``n_demes >= 1`` and, when given, the initial counts
    (finite, in ``COUNT_BOUNDS``, whole numbers in a model that samples whole
    individuals). ``simulate``, ``sweep`` and ``replicates`` check the model
    again before the first tick (``check_model``), so counts set later through
    ``initial_individual_count`` are checked too.
    """

    def __init__(
        self,
        n_ages: int,
        new_adult_age: int = 1,
        locus: Any = None,
        *,
        n_demes: int = 1,
        initial_individual_count=None,
        initial_sperm_storage=None,
        stochastic: bool | None = None,
        continuous_sampling: bool = False,
        fixed_egg_count: bool = False,
        discrete_generation: bool = False,
        extreme_speed_mode: int | str = 0,
        generations: str | None = None,
        gtype_names=None,
        migration_indptr=None,
        migration_dest_idx=None,
        migration_weights=None,
        sampling: str = "exact",
    ) -> None:
        if locus is None:
            locus = _default_locus()
        n_ages = int(n_ages)
        new_adult_age = int(new_adult_age)
        n_demes = int(n_demes)
        for name, value, lo, hi in (("n_ages", n_ages, 1, None), ("n_demes", n_demes, 1, None),
                                    ("new_adult_age", new_adult_age, 0, max(n_ages - 1, 0))):
            problem = integer_problem(value, lo, hi)
            if problem:
                raise ValueError(f"{name}: {problem}")
        z = int(locus.n_ztypes)
        g = int(locus.n_gtypes)
        self.locus = locus
        from .generations import resolve  # the kind of generations fixes ages, switches and session

        generations, stochastic, discrete_generation, extreme_speed_mode = resolve(
            generations, n_ages=n_ages, new_adult_age=new_adult_age, stochastic=stochastic,
            extreme_speed_mode=extreme_speed_mode, discrete_generation=discrete_generation)
        self.generations = generations

        self.adult_ages = _i64(np.arange(new_adult_age, n_ages))
        self.n_sexes = 2
        self.n_ages = n_ages
        self.n_ztypes = z
        self.n_gtypes = g
        self.n_glabs = g
        self.new_adult_age = new_adult_age
        self.stochastic = bool(stochastic)
        self.continuous_sampling = bool(continuous_sampling)
        self.fixed_egg_count = bool(fixed_egg_count)
        self.has_sex_chromosomes = bool(locus.has_sex_chromosomes)
        self.discrete_generation = bool(discrete_generation)
        self.extreme_speed_mode = int(extreme_speed_mode)
        self.sampling = sampler_name(sampling)
        self.ztype_names = [str(s) for s in locus.labels]
        if gtype_names is None:
            gtype_names = getattr(locus, "gamete_labels", None) or [f"g{i}" for i in range(g)]
        self.gtype_names = [str(s) for s in gtype_names]
        self.female_only_by_sex_chrom = _bool(locus.female_only)
        self.male_only_by_sex_chrom = _bool(locus.male_only)
        given_counts = initial_individual_count is not None
        if initial_individual_count is None:
            initial_individual_count = np.zeros((2, n_ages, z))
        self.initial_individual_count = _f64(initial_individual_count, (2, n_ages, z))
        if initial_sperm_storage is None:
            self.initial_sperm_storage = np.zeros(0, dtype=np.float64)  # no stored sperm
        else:
            self.initial_sperm_storage = _f64(initial_sperm_storage, (n_ages, z, z))
        self.n_demes = n_demes
        if migration_indptr is None:
            migration_indptr = [] if n_demes == 1 else np.zeros(n_demes + 1, dtype=np.int64)
        self.migration_indptr = _i64(migration_indptr)
        self.migration_dest_idx = _i64([] if migration_dest_idx is None else migration_dest_idx)
        self.migration_weights = _f64([] if migration_weights is None else migration_weights)
        if given_counts:
            check_counts(self, sperm=False)

    @property
    def shape(self) -> tuple:
        """(2, n_ages, n_ztypes): the layout of ``initial_individual_count``."""
        return (2, self.n_ages, self.n_ztypes)


class Params:
    """Parameters of one population: ecology section and genetics section.

    Every keyword overrides the default of the attribute of the same name.
    Defaults: survival, mating, fertility and every fitness 1; reproduction 1
    for adult ages and 0 below; competition weight 1 at every age; no declared
    equilibrium distribution and no migration-rate column; Beverton-Holt
    regulation (growth mode 3; for Wright-Fisher generations the cap at
    ``carrying_capacity``, mode 1, so that it is N); the offspring tensor, meiosis map and
    compatibility vectors of the blueprint's genetics model, and the genotype
    fitness tables the genetics model carries (``locus.fitness``, for example the
    costs of a gene drive). A tensor given as a keyword must have its layout's
    shape (or be flat with as many values); otherwise ``ValueError`` names the
    field and the expected shape. A value given as a keyword outside its range
    (``SCALAR_BOUNDS``, ``SEX_AGE_BOUNDS``, ``AGE_BOUNDS``) is a ``ValueError``
    worded as a scenario file's refusal of the same value.
    """

    def __init__(self, blueprint: Blueprint, locus: Any = None, **overrides: Any) -> None:
        if locus is None:
            locus = getattr(blueprint, "locus", None) or _default_locus()
        a = int(blueprint.n_ages)
        z = int(locus.n_ztypes)
        start = int(blueprint.new_adult_age)

        # ecology scalars
        self.carrying_capacity = 1000.0
        self.eggs_per_female = 50.0
        self.sex_ratio = 0.5
        self.sperm_displacement_rate = 1.0
        self.low_density_growth_rate = 2.0
        self.growth_mode = 3
        self.external_expected_eggs = -1.0  # none given
        # ecology tensors
        self.survival_rates = np.ones((2, a))
        self.mating_rates = np.ones((2, a))
        self.reproduction_rates = _f64([1.0 if age >= start else 0.0 for age in range(a)])
        self.fertility = np.ones(a)
        self.competition_weights = np.ones(a)
        self.equilibrium_distribution = np.zeros(0)  # absent
        self.migration_rate = np.zeros(0)  # absent
        self.custom_slots: dict = {}
        # genetics
        self.viability_fitness = np.ones((2, a, z))
        self.fecundity_fitness = np.ones((2, z))
        self.sexual_selection_fitness = np.ones((z, z))
        self.zygote_viability_fitness = np.ones((2, z))
        self.offspring_tensor = _f64(locus.offspring_tensor).reshape(-1)
        self.meiosis_map = _f64(locus.meiosis_map).reshape(-1)
        self.female_ztype_compatibility = _f64(locus.female_ztype_compatibility).reshape(-1)
        self.male_ztype_compatibility = _f64(locus.male_ztype_compatibility).reshape(-1)
        if getattr(blueprint, "generations", None) == "wright_fisher":
            self.growth_mode = 1  # N = carrying_capacity adults per generation
        # genotype fitness carried by the genetics model (gene-drive costs, ...)
        for name, table in (getattr(locus, "fitness", None) or {}).items():
            if name == "viability_fitness":  # a locus's survival table is that of age 0
                if a > 0:
                    self.viability_fitness[:, 0, :] = _f64(table, (2, z))
                continue
            setattr(self, name, _f64(table, (2, z)))

        shapes = _tensor_shapes(a, z, int(locus.n_gtypes))
        for name, value in overrides.items():
            if name in ECOLOGY_SCALARS and _fields.FIELDS[name].integral and \
                    isinstance(value, (float, np.floating)) and not float(value).is_integer():
                raise ValueError(f"{name}: must be an integer, got a number")  # not truncated
            setattr(self, name, _converted(name, value, shapes))
        check_params(self, blueprint, names=overrides)

    def copy(self) -> "Params":
        """A deep copy."""
        other = object.__new__(Params)
        for name, value in self.__dict__.items():
            if isinstance(value, np.ndarray):
                value = value.copy()
            elif isinstance(value, dict):
                value = {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in value.items()}
            setattr(other, name, value)
        return other


# ------------------------------------------------------------------ checks
# Every front end checks a model with these functions before its first tick, so a
# value refused in a scenario file is refused from Python with the same words.
@dataclass(frozen=True)
class Model:
    """One runnable model: a blueprint, its parameters and, optionally, a hook
    program (a ``HookProgramBuilder`` or a built program) and the session class,
    or any factory ``session(blueprint, params, seed)`` returning a session (by
    default the session of the blueprint's generations,
    ``qorin.generations.session_class``)."""

    blueprint: Any
    params: Any
    program: Any = None
    session: Any = None

    @property
    def generations(self) -> str:
        """The kind of generations of the blueprint ("overlapping", "discrete",
        "wright_fisher"), which chooses the session when none is given."""
        from .generations import generations_of  # generations builds on these contracts

        return generations_of(self.blueprint)

    @property
    def sampling(self) -> str:
        """The sampler of the newborns ("exact" or "aggregated"; see ``Blueprint``)."""
        return sampler_name(getattr(self.blueprint, "sampling", None), "blueprint.sampling")

    def with_sampling(self, sampling: str) -> "Model":
        """This model with its newborns drawn by `sampling` ("exact" or
        "aggregated"): a shallow copy of the blueprint with that sampler; the
        parameters, the program and the session are this model's."""
        import copy

        blueprint = copy.copy(self.blueprint)
        blueprint.sampling = sampler_name(sampling)
        return Model(blueprint, self.params, self.program, self.session)


_WHOLE_HINT = "round them, or pass round_counts=True"
_TOLERANCE = 1e-10  # stored sperm may exceed its females by rounding noise only


def whole_problem(value, hint: str = _WHOLE_HINT) -> str | None:
    """Why `value` is not a whole number of individuals (None when it is)."""
    v = float(value)
    if v == np.floor(v):
        return None
    return (f"must be a whole number of individuals in a stochastic model, which samples "
            f"individuals one by one; got {_shown(value)} ({hint})")


def cell_name(blueprint, sex: int, age: int, z: int) -> str:
    """'female W/W of age 1': a cell of the population named for messages."""
    names = list(getattr(blueprint, "ztype_names", []) or [])
    label = names[z] if z < len(names) else f"genotype {z}"
    return f"{SEXES[sex]} {label} of age {age}"


def _int_field(obj, name: str, lo, hi=None) -> int:
    value = getattr(obj, name)
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    problem = integer_problem(int(value), lo, hi)
    if problem:
        raise ValueError(f"{name}: {problem}")
    return int(value)


def check_dimensions(blueprint) -> None:
    """n_ages >= 1, new_adult_age in [0, n_ages - 1], n_demes >= 1."""
    n = _int_field(blueprint, "n_ages", 1)
    _int_field(blueprint, "new_adult_age", 0, n - 1)
    _int_field(blueprint, "n_demes", 1)


def _array(obj, name: str):
    value = getattr(obj, name, None)
    if value is None:
        return None
    try:
        return np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        return None  # not numbers: the engine's reader names the type


def check_counts(blueprint, *, hint: str = _WHOLE_HINT, sperm: bool = True) -> None:
    """Initial counts and stored sperm: finite, in COUNT_BOUNDS, whole numbers in
    a model that samples whole individuals, and (with `sperm`) no more females
    storing sperm in a cell than the cell holds females."""
    a, z = int(blueprint.n_ages), int(blueprint.n_ztypes)
    whole = samples_whole_individuals(blueprint)
    counts = _array(blueprint, "initial_individual_count")
    if counts is None or counts.size != 2 * a * z:
        return  # a wrong length is reported by the engine with the expected size
    counts = counts.reshape(2, a, z)
    lo, hi = COUNT_BOUNDS
    for idx in _bad_cells(counts, lo, hi, whole):
        problem = number_problem(counts[idx], lo, hi) or whole_problem(counts[idx], hint)
        raise ValueError(f"initial_individual_count[{cell_name(blueprint, *idx)}]: {problem}")
    if not sperm:
        return
    stored = _array(blueprint, "initial_sperm_storage")
    if stored is None or stored.size != a * z * z:
        return
    stored = stored.reshape(a, z, z)
    for idx in _bad_cells(stored, lo, hi, whole):
        age, zf, zm = idx
        problem = number_problem(stored[idx], lo, hi) or whole_problem(stored[idx], hint)
        names = list(blueprint.ztype_names)
        raise ValueError(f"initial_sperm_storage[{cell_name(blueprint, 0, age, zf)} storing sperm "
                         f"of {names[zm] if zm < len(names) else zm}]: {problem}")
    mated = stored.sum(axis=2)
    over = np.argwhere(mated > counts[0] + _TOLERANCE)
    if len(over):
        age, zf = (int(i) for i in over[0])
        raise ValueError(f"initial_sperm_storage: {fmt(mated[age, zf])} "
                         f"{cell_name(blueprint, 0, age, zf)} store sperm, but the cell holds "
                         f"{fmt(counts[0, age, zf])} females")


def _bad_cells(values: np.ndarray, lo, hi, whole: bool):
    """Indices (in memory order) of values outside [lo, hi], not finite, or not whole."""
    with np.errstate(invalid="ignore"):
        bad = ~np.isfinite(values)
        if lo is not None:
            bad |= values < lo
        if hi is not None:
            bad |= values > hi
        if whole:
            bad |= values != np.floor(values)
    return [tuple(int(i) for i in idx) for idx in np.argwhere(bad)[:1]]


def check_blueprint(blueprint, *, hint: str = _WHOLE_HINT) -> None:
    """Dimensions and initial state of a blueprint (see ``check_model``)."""
    check_dimensions(blueprint)
    check_counts(blueprint, hint=hint)


def _scalar_problem(name: str, value):
    lo, hi, integral = SCALAR_BOUNDS[name]
    if integral:
        if isinstance(value, (float, np.floating)) and float(value).is_integer():
            value = int(value)
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
            return f"must be an integer, got {value!r}"
        return integer_problem(int(value), lo, hi)
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        return None  # not a number: the engine's reader names the type
    problem = number_problem(value, lo, hi)
    if problem is None and name == "external_expected_eggs" and -1.0 < float(value) < 0.0:
        problem = f"must be >= 0, or -1 for none; got {_shown(value)}"
    return problem


def check_params(params, blueprint, names=None) -> None:
    """The ecology values of `params` (those of `names`, by default all) in the
    ranges of SCALAR_BOUNDS, SEX_AGE_BOUNDS and AGE_BOUNDS."""
    a = int(blueprint.n_ages)
    names = tuple(SCALAR_BOUNDS) + tuple(SEX_AGE_BOUNDS) + tuple(AGE_BOUNDS) if names is None \
        else tuple(names)
    for name in names:
        if name in SCALAR_BOUNDS and hasattr(params, name):
            problem = _scalar_problem(name, getattr(params, name))
            if problem:
                raise ValueError(f"{name}: {problem}")
        elif name in SEX_AGE_BOUNDS or name in AGE_BOUNDS:
            values = _array(params, name)
            by_sex = name in SEX_AGE_BOUNDS
            if values is None or values.size != (2 * a if by_sex else a):
                continue  # a wrong length is reported with the expected shape
            values = values.reshape((2, a) if by_sex else (a,))
            for s in range(2 if by_sex else 1):
                lo, hi = SEX_AGE_BOUNDS[name][s] if by_sex else AGE_BOUNDS[name]
                row = values[s] if by_sex else values
                bad = _bad_cells(row, lo, hi, False)
                if bad:
                    age = bad[0][0]
                    where = f"{SEXES[s]}, age {age}" if by_sex else f"age {age}"
                    raise ValueError(f"{name}[{where}]: {number_problem(row[age], lo, hi)}")


# Hook operations that raise counts without drawing: their amounts must be whole
# in a model of whole individuals. (opcode: operation, what its value is)
_RAISING_OPS = {2: ("add or release", "amount"), 1: ("set_count", "count"), 0: ("scale", "factor")}


def check_program(program, blueprint, *, hint: str = _WHOLE_HINT) -> None:
    """In a model of whole individuals, a compiled hook program may only add,
    release or set whole numbers of individuals, and may only scale cells up by
    whole factors (reductions are drawn and stay whole)."""
    if program is None or not samples_whole_individuals(blueprint):
        return
    ops = np.asarray(getattr(program, "op_types_data", []), dtype=np.int64)
    values = np.asarray(getattr(program, "params_data", []), dtype=np.float64)
    for i in range(min(len(ops), len(values))):
        op, v = int(ops[i]), float(values[i])
        if op not in _RAISING_OPS or not np.isfinite(v) or v == np.floor(v):
            continue
        if op == 0 and v <= 1.0:
            continue  # a reduction, drawn
        if op == 2 and v < 0.0:
            continue  # a removal, drawn
        what, value_name = _RAISING_OPS[op]
        if op == 0:
            raise ValueError(f"hook operation {i} ({what}): a factor above 1 must be whole in a "
                             f"stochastic model, which samples individuals one by one; got {v!r}")
        raise ValueError(f"hook operation {i} ({what}): {value_name} {whole_problem(v, hint)}")


def _round_half_away(a: np.ndarray) -> np.ndarray:
    return np.sign(a) * np.floor(np.abs(a) + 0.5)


def rounded_counts(blueprint, program=None):
    """A copy of `blueprint` with its initial counts and stored sperm rounded to
    whole individuals (halves away from zero), and a copy of the compiled
    `program` with its added, released and set counts rounded the same way;
    the originals are not changed. Returns (blueprint, program)."""
    import copy

    bp = copy.copy(blueprint)
    for name in ("initial_individual_count", "initial_sperm_storage"):
        value = getattr(blueprint, name, None)
        if isinstance(value, np.ndarray) and value.dtype == np.float64:
            setattr(bp, name, np.ascontiguousarray(_round_half_away(value)))
    if program is not None and hasattr(program, "params_data") and hasattr(program, "copy"):
        program = program.copy()
        ops = np.asarray(program.op_types_data)
        raising = (ops == 1) | ((ops == 2) & (program.params_data > 0))
        program.params_data[raising] = _round_half_away(program.params_data[raising])
    return bp, program


def check_model(blueprint, params, program=None, *, round_counts: bool = False, hint: str = _WHOLE_HINT):
    """Check a model before its first tick; return (blueprint, program) to run.

    Refuses with ``ValueError``: dimensions out of range (``new_adult_age`` in
    0..n_ages-1); initial counts or stored sperm that are negative, not finite
    or above 1e12, more females storing sperm than a cell holds; ecology values
    outside their ranges (the ranges of a scenario file); and, in a model that
    samples whole individuals (stochastic without continuous sampling),
    fractional counts, releases or added counts, naming sex, age, genotype and
    value. With ``round_counts`` those counts are rounded instead (halves away
    from zero) in copies: the blueprint and program given are not changed. A
    builder is compiled here; the program returned is compiled."""
    if program is not None and hasattr(program, "build"):
        program = program.build()
    check_dimensions(blueprint)
    sampler_name(getattr(blueprint, "sampling", None), "blueprint.sampling")
    if round_counts and samples_whole_individuals(blueprint):
        blueprint, program = rounded_counts(blueprint, program)
    check_counts(blueprint, hint=hint)
    if params is not None:
        check_params(params, blueprint)
    check_program(program, blueprint, hint=hint)
    return blueprint, program


# ------------------------------------------------------------------ content of a model
class _Unread(Exception):
    """A value whose content is not read here (an object of a class of the caller's own)."""


class _Mark:
    """Marks an array or a mapping in the pickled outline of a model's content:
    no value of a model is this object, so no plain value reads as one."""

    def __reduce__(self):
        return "_MARK"


_MARK = _Mark()
_PLAIN = frozenset({type(None), bool, int, float, str, complex})
_DTYPE_CODES: dict = {}


def _dtype_code(dtype) -> str | None:
    """'<f8' for a dtype of numbers or text (kind, size and byte order), None for
    any other (objects, whose bytes are addresses, and records)."""
    code = _DTYPE_CODES.get(dtype, False)
    if code is False:
        code = _DTYPE_CODES[dtype] = dtype.str if dtype.kind in "biufcUS" else None
    return code


def _flat(value) -> bool:
    """Whether `value` is a plain value or a list or tuple of them."""
    kind = type(value)
    return kind in _PLAIN or ((kind is list or kind is tuple) and all(type(v) in _PLAIN for v in value))


def _plain(value, blobs: list):
    """The outline of `value`: plain values (pickled as they are) with each array
    replaced by (_MARK, dtype code, shape) and its bytes appended to `blobs`."""
    kind = type(value)
    if kind in _PLAIN or isinstance(value, np.generic):
        return value  # pickled with its type: 1, 1.0, True and np.float64(1.0) differ
    if kind is np.ndarray:
        code = _dtype_code(value.dtype)
        if code is None:
            raise _Unread
        blobs.append(value.tobytes())
        return (_MARK, code, value.shape)
    if kind is list or kind is tuple:
        if all(type(v) in _PLAIN for v in value):
            return value
        return kind(_plain(v, blobs) for v in value)
    if kind is dict:
        if all(type(k) is str and _flat(v) for k, v in value.items()):
            return value  # no arrays within: pickled as it is
        return (_MARK, "dict", [(_plain(k, blobs), _plain(v, blobs)) for k, v in value.items()])
    raise _Unread


def model_state(blueprint, params, *extra) -> bytes | None:
    """The content of a model's blueprint and parameters as bytes, equal exactly
    when everything a run and the description of its results read of them is
    equal: every attribute of the blueprint and the parameters (``Blueprint``,
    ``Params``) with the description of the blueprint's genetics model, and
    the plain values `extra`. None when they hold objects of other classes
    (whose content is not read here): such a model is checked and described
    afresh on every run."""
    if type(blueprint) is not Blueprint or type(params) is not Params:
        return None
    blobs: list = []
    head: list = []
    try:
        for obj in (blueprint, params):
            for name, value in vars(obj).items():
                if obj is blueprint and name == "locus":
                    # the genetics model is read for its description only
                    value = getattr(value, "description", None)
                kind = type(value)
                if kind is np.ndarray and (code := _dtype_code(value.dtype)) is not None:
                    head += (name, _MARK, code, value.shape)
                    blobs.append(value.tobytes())
                elif kind in _PLAIN:
                    head += (name, value)
                else:
                    head += (name, _plain(value, blobs))
            head.append(_MARK)  # the end of one object's fields
        head.append(_plain(list(extra), blobs))
        # pickled plain values: equal bytes only for equal values of equal types
        text = pickle.dumps(head, protocol=4)
    except _Unread:
        return None
    return b"".join([len(text).to_bytes(8, "little"), text] + blobs)
