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

from typing import Any

import numpy as np

from . import fields as _fields

__all__ = ["Blueprint", "Params", "ECOLOGY_SCALARS", "ECOLOGY_TENSORS", "GENETICS_TENSORS"]

# The engine's field table (qorin.fields), by group.
ECOLOGY_SCALARS = _fields.ECOLOGY_SCALARS
ECOLOGY_TENSORS = _fields.ECOLOGY_TENSORS
GENETICS_TENSORS = _fields.GENETICS_TENSORS


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


class Blueprint:
    """Frozen structure of one model.

    ``locus`` is a genetics model object (see ``qorin.genetics``) providing
    ``labels``, ``n_ztypes``, ``n_gtypes``, ``female_only``, ``male_only`` and
    ``has_sex_chromosomes``; by default one autosomal locus with two alleles.
    Ages ``new_adult_age .. n_ages-1`` are adult. With ``n_demes > 1`` and no
    migration graph given, the graph has no edges.
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
        stochastic: bool = False,
        continuous_sampling: bool = False,
        fixed_egg_count: bool = False,
        discrete_generation: bool = False,
        extreme_speed_mode: int = 0,
        gtype_names=None,
        migration_indptr=None,
        migration_dest_idx=None,
        migration_weights=None,
    ) -> None:
        if locus is None:
            locus = _default_locus()
        n_ages = int(n_ages)
        new_adult_age = int(new_adult_age)
        n_demes = int(n_demes)
        if n_ages < 0 or new_adult_age < 0 or n_demes < 0:
            raise ValueError("n_ages, new_adult_age and n_demes must be nonnegative")
        z = int(locus.n_ztypes)
        g = int(locus.n_gtypes)
        self.locus = locus

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
        self.ztype_names = [str(s) for s in locus.labels]
        if gtype_names is None:
            gtype_names = getattr(locus, "gamete_labels", None) or [f"g{i}" for i in range(g)]
        self.gtype_names = [str(s) for s in gtype_names]
        self.female_only_by_sex_chrom = _bool(locus.female_only)
        self.male_only_by_sex_chrom = _bool(locus.male_only)
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
    regulation (growth mode 3); the offspring tensor, meiosis map and
    compatibility vectors of the blueprint's genetics model, and the genotype
    fitness tables the genetics model carries (``locus.fitness``, for example the
    costs of a gene drive). A tensor given as a keyword must have its layout's
    shape (or be flat with as many values); otherwise ``ValueError`` names the
    field and the expected shape.
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
        # genotype fitness carried by the genetics model (gene-drive costs, ...)
        for name, table in (getattr(locus, "fitness", None) or {}).items():
            setattr(self, name, _f64(table, (2, z)))

        shapes = _tensor_shapes(a, z, int(locus.n_gtypes))
        for name, value in overrides.items():
            if name in ECOLOGY_SCALARS:
                value = int(value) if _fields.FIELDS[name].integral else float(value)
            elif name == "custom_slots":
                value = dict(value)
            elif name in ECOLOGY_TENSORS or name in GENETICS_TENSORS:
                value = _shaped(name, value, shapes[name])
            else:
                raise TypeError(f"Params has no field {name!r}")
            setattr(self, name, value)

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
