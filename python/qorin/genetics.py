"""Meiosis and fusion tables of common genetic models, gene drives included.

A model is described by two tables:

* ``meiosis[sex, ztype, gamete]``: share of gametes of each type produced by an
  individual of that sex and genotype (sex 0 female, 1 male);
* ``fusion[female gamete, male gamete, zygote]``: share of zygotes of each type
  made by a pair of gametes.

The engine composes them into the offspring tensor (``compute_offspring_tensor``).
Each row of a meiosis table is a distribution over gametes and must sum to 1.

Builders
--------
``autosomal_locus``
    one diploid autosomal locus with Mendelian segregation;
``xy_locus``
    an XY sex-chromosome locus;
``combine``
    independent assortment of several loci into one genotype index;
``homing_drive``
    a homing gene drive with wild (W), drive (D), functional-resistance (R) and
    non-functional-resistance (N) alleles;
``split_drive``
    a two-locus (split) homing drive: the gRNA drive locus and an unlinked Cas9 locus;
``x_linked_distorter``
    an X-linked meiotic driver that biases the sex ratio of its carriers' offspring;
``driving_y``
    a Y-linked sex-ratio distorter (driving Y);
``medea``
    a maternal-toxin, zygotic-antidote (Medea-type) element;
``underdominance``
    two-construct engineered underdominance on two unlinked loci;
``female_lethal``
    a dominant (female-specific) lethal or sterilising construct;
``cleave_and_rescue``
    a cleave-and-rescue element and the essential gene it targets.

Genotype fitness travels with a model: ``LocusModel.fitness`` maps a genetics
field of ``Params`` (``zygote_viability_fitness``, ``fecundity_fitness``, and
``viability_fitness`` for the survival of age 0) to a (2, Z) table, and ``Params`` uses it as that field's default. ``fitness_table``
builds such tables from genotype labels.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any, Mapping

import numpy as np

from . import _engine_rs

__all__ = [
    "LocusModel", "autosomal_locus", "xy_locus", "combine",
    "homing_drive", "split_drive", "x_linked_distorter", "fitness_table", "FITNESS_FIELDS",
    "driving_y", "medea", "underdominance", "female_lethal", "cleave_and_rescue", "BUILDERS",
]

SUM_TOLERANCE = 1e-9
# Genetics fields of Params that a locus may carry a genotype-fitness default for.
# ("viability_fitness" is the survival of the newborn age class, age 0, after density regulation.)
FITNESS_FIELDS = ("zygote_viability_fitness", "fecundity_fitness", "viability_fitness")
_SEXES = ("female", "male")


@dataclass(frozen=True)
class LocusModel:
    """Genotype classes of a model with their meiosis and fusion tables.

    ``labels`` name the zygote genotypes ("A1/A2", or "W/D;w/C" for two loci),
    ``gamete_labels`` the gamete types. ``alleles`` lists the allele names of
    each locus (one list per locus, in the order of the ";"-separated label
    parts); it is derived from the labels when not given. ``offspring``, when
    given, replaces the tensor composed from meiosis and fusion (used for
    effects that act in the embryo, such as maternal deposition of a nuclease).
    ``fitness`` maps genetics fields of ``Params`` to (2, Z) tables used as
    their defaults; ``description`` records how the model was built.
    """

    labels: list
    meiosis: np.ndarray  # (2, Z, G) float64
    fusion: np.ndarray  # (G, G, Z) float64
    female_only: np.ndarray = field(default=None)  # (Z,) bool: sex fixed female by sex chromosomes
    male_only: np.ndarray = field(default=None)  # (Z,) bool: sex fixed male by sex chromosomes
    gamete_labels: list = field(default=None)
    alleles: list = field(default=None)
    offspring: np.ndarray = field(default=None)  # (Z**3,) float64 override
    fitness: dict = field(default=None)
    description: dict = field(default=None)

    def __post_init__(self):
        z = len(self.labels)
        labels = [str(s) for s in self.labels]
        if len(set(labels)) != z:
            raise ValueError("labels must be distinct")
        object.__setattr__(self, "labels", labels)
        # Own read-only copies: the tables are checked once here and the
        # offspring tensor is composed from them once, so they must not change.
        meiosis = _frozen(self.meiosis, np.float64)
        fusion = _frozen(self.fusion, np.float64)
        if meiosis.ndim != 3 or meiosis.shape[0] != 2 or meiosis.shape[1] != z:
            raise ValueError(f"meiosis must have shape (2, {z}, G), got {meiosis.shape}")
        g = meiosis.shape[2]
        if fusion.shape != (g, g, z):
            raise ValueError(f"fusion must have shape ({g}, {g}, {z}), got {fusion.shape}")
        _check_distributions(meiosis, labels)
        if not np.all(np.isfinite(fusion)) or np.any(fusion < 0):
            raise ValueError("fusion must hold finite nonnegative shares")
        object.__setattr__(self, "meiosis", meiosis)
        object.__setattr__(self, "fusion", fusion)
        for name in ("female_only", "male_only"):
            value = getattr(self, name)
            value = _frozen(np.zeros(z) if value is None else value, bool)
            if value.shape != (z,):
                raise ValueError(f"{name} must have shape ({z},)")
            object.__setattr__(self, name, value)
        if self.gamete_labels is None:
            object.__setattr__(self, "gamete_labels", [f"g{i}" for i in range(g)])
        if self.alleles is None:
            object.__setattr__(self, "alleles", _alleles_from_labels(labels))
        else:
            object.__setattr__(self, "alleles", [list(map(str, a)) for a in self.alleles])
        if self.offspring is not None:
            off = np.ascontiguousarray(self.offspring, dtype=np.float64).reshape(-1)
            if off.size != z ** 3:
                raise ValueError(f"offspring must hold {z ** 3} values, got {off.size}")
            sums = off.reshape(z * z, z).sum(axis=1)
            if (not np.all(np.isfinite(off)) or np.any(off < 0)
                    or np.any(sums > 1.0 + SUM_TOLERANCE)):
                raise ValueError("offspring rows must hold finite nonnegative shares summing to at most 1")
            off.flags.writeable = False
            object.__setattr__(self, "offspring", off)
        fitness = {}
        for name, table in (self.fitness or {}).items():
            if name not in FITNESS_FIELDS:
                raise ValueError(f"fitness keys must be among {list(FITNESS_FIELDS)}, got {name!r}")
            table = np.array(table, dtype=np.float64)
            if table.shape != (2, z):
                raise ValueError(f"fitness[{name!r}] must have shape (2, {z}), got {table.shape}")
            _check_fitness_values(name, table)
            table.flags.writeable = False
            fitness[name] = table
        object.__setattr__(self, "fitness", fitness)
        object.__setattr__(self, "description", dict(self.description or {}))

    @property
    def n_ztypes(self) -> int:
        """Number of zygote genotypes Z."""
        return len(self.labels)

    @property
    def n_gtypes(self) -> int:
        """Number of gamete types G."""
        return self.meiosis.shape[2]

    @property
    def has_sex_chromosomes(self) -> bool:
        """True when some genotype's sex is fixed by its sex chromosomes."""
        return bool(self.female_only.any() or self.male_only.any())

    @property
    def meiosis_map(self) -> np.ndarray:
        """The meiosis table as a flat (2*Z*G,) float64 vector."""
        return self.meiosis.ravel().copy()

    @cached_property
    def _offspring(self) -> np.ndarray:
        if self.offspring is not None:
            return self.offspring
        return _engine_rs.compute_offspring_tensor(self.meiosis, self.fusion)

    @property
    def offspring_tensor(self) -> np.ndarray:
        """Flat Z**3 offspring tensor over [female ztype, male ztype, zygote]."""
        return np.array(self._offspring, dtype=np.float64)

    @property
    def female_ztype_compatibility(self) -> np.ndarray:
        return np.ones(self.n_ztypes)

    @property
    def male_ztype_compatibility(self) -> np.ndarray:
        return np.ones(self.n_ztypes)

    # ------------------------------------------------------------ labels
    def index(self, label, *, argument: str = "genotype") -> int:
        """Index of a genotype given by label (alleles of a pair in any order) or index."""
        if isinstance(label, (bool, np.bool_)):
            raise TypeError(f"{argument}: expected a genotype label or index, got {label!r}")
        if isinstance(label, (int, np.integer)):
            i = int(label)
            if not 0 <= i < self.n_ztypes:
                raise ValueError(f"{argument}: genotype index {i} is outside 0..{self.n_ztypes - 1}")
            return i
        if not isinstance(label, str):
            raise TypeError(f"{argument}: expected a genotype label or index, got {type(label).__name__}")
        lookup = self._label_lookup
        key = label.replace(" ", "")
        if key in lookup:
            return lookup[key]
        raise ValueError(f"{argument}: {label!r} is not a genotype of this model; "
                         f"allowed: {', '.join(map(repr, self.labels))}")

    @cached_property
    def _label_lookup(self) -> dict:
        lookup = {}
        for k, label in enumerate(self.labels):
            lookup[label] = k
            parts = label.split(";")
            variants = [[p] if "/" not in p else [p, "/".join(reversed(p.split("/", 1)))] for p in parts]
            for combo in _product(variants):
                lookup.setdefault(";".join(combo), k)
        return lookup

    def allele_counts(self, locus: int = 0) -> tuple[list, np.ndarray]:
        """(allele names, counts) of one locus: counts[z, a] is the number of copies
        of allele a carried by genotype z (0, 1 or 2; a Y counts as an allele)."""
        n_loci = len(self.alleles)
        if not 0 <= int(locus) < n_loci:
            raise ValueError(f"locus must be in 0..{n_loci - 1}, got {locus}")
        names = self.alleles[int(locus)]
        counts = np.zeros((self.n_ztypes, len(names)))
        for z, label in enumerate(self.labels):
            for allele in label.split(";")[int(locus)].split("/"):
                counts[z, names.index(allele)] += 1.0
        return list(names), counts

    def carriers(self, allele: str, locus: int | None = None) -> list:
        """Labels of the genotypes that carry at least one copy of `allele`."""
        loci = range(len(self.alleles)) if locus is None else [int(locus)]
        found = [i for i in loci if allele in self.alleles[i]]
        if not found:
            known = sorted({a for names in self.alleles for a in names})
            raise ValueError(f"allele: {allele!r} is not an allele of this model; allowed: "
                             f"{', '.join(map(repr, known))}")
        out = []
        for z, label in enumerate(self.labels):
            parts = label.split(";")
            if any(allele in parts[i].split("/") for i in found):
                out.append(label)
        return out


def _frozen(values, dtype) -> np.ndarray:
    """A read-only C-ordered copy of `values`."""
    out = np.array(values, dtype=dtype, order="C")
    out.flags.writeable = False
    return out


def _product(lists):
    out = [[]]
    for options in lists:
        out = [prefix + [o] for prefix in out for o in options]
    return out


def _alleles_from_labels(labels) -> list:
    """Allele names per locus, in order of first appearance in the labels."""
    loci: list = []
    for label in labels:
        parts = label.split(";")
        while len(loci) < len(parts):
            loci.append([])
        for i, part in enumerate(parts):
            for allele in part.split("/"):
                if allele not in loci[i]:
                    loci[i].append(allele)
    return loci


def _check_distributions(meiosis: np.ndarray, labels) -> None:
    if not np.all(np.isfinite(meiosis)) or np.any(meiosis < 0):
        raise ValueError("meiosis must hold finite nonnegative gamete shares")
    sums = meiosis.sum(axis=2)
    bad = np.argwhere(np.abs(sums - 1.0) > SUM_TOLERANCE)
    if bad.size:
        sex, z = (int(v) for v in bad[0])
        raise ValueError(f"meiosis rows must sum to 1 for every parent genotype; the {_SEXES[sex]} "
                         f"row of {labels[z]!r} sums to {float(sums[sex, z])!r}")


def _check_fitness_values(name, table) -> None:
    if not np.all(np.isfinite(table)) or np.any(table < 0):
        raise ValueError(f"{name} must hold finite nonnegative values")


def _check_name(name: str, what: str) -> str:
    name = str(name)
    if not name or any(c in name for c in "/; "):
        raise ValueError(f"{what}: allele names must be non-empty and contain no '/', ';' or blank, "
                         f"got {name!r}")
    return name


def _unordered_pairs(n):
    return [(i, j) for i in range(n) for j in range(i, n)]


def autosomal_locus(n_alleles: int = 2, allele_names=None) -> LocusModel:
    """One diploid autosomal locus with ``n_alleles`` alleles and Mendelian segregation.

    Genotypes are the unordered allele pairs (i, j), i <= j, in lexicographic
    order: with two alleles "A1/A1", "A1/A2", "A2/A2". Gametes are the alleles.
    """
    n = int(n_alleles)
    if n < 1:
        raise ValueError("n_alleles must be at least 1")
    names = list(allele_names) if allele_names is not None else [f"A{i + 1}" for i in range(n)]
    if len(names) != n:
        raise ValueError("allele_names must have one name per allele")
    names = [_check_name(a, "allele_names") for a in names]
    if len(set(names)) != n:
        raise ValueError("allele_names must be distinct")
    pairs = _unordered_pairs(n)
    index = {p: k for k, p in enumerate(pairs)}
    z, g = len(pairs), n
    meiosis = np.zeros((2, z, g))
    for k, (i, j) in enumerate(pairs):
        meiosis[:, k, i] += 0.5
        meiosis[:, k, j] += 0.5
    fusion = np.zeros((g, g, z))
    for f in range(g):
        for m in range(g):
            fusion[f, m, index[(min(f, m), max(f, m))]] = 1.0
    labels = [f"{names[i]}/{names[j]}" for i, j in pairs]
    return LocusModel(labels, meiosis, fusion, gamete_labels=names, alleles=[names],
                      description={"builder": "autosomal_locus", "alleles": names})


def xy_locus(n_x_alleles: int = 1, allele_names=None) -> LocusModel:
    """An XY sex-chromosome locus with ``n_x_alleles`` alleles on the X.

    Females are X/X (unordered pairs of X alleles), males X/Y. Gametes are the
    X alleles followed by Y. A Y/Y zygote is not viable (its fusion row is zero).
    """
    n = int(n_x_alleles)
    if n < 1:
        raise ValueError("n_x_alleles must be at least 1")
    names = list(allele_names) if allele_names is not None else (
        ["X"] if n == 1 else [f"X{i + 1}" for i in range(n)])
    if len(names) != n:
        raise ValueError("allele_names must have one name per X allele")
    names = [_check_name(a, "allele_names") for a in names]
    if len(set(names)) != n or "Y" in names:
        raise ValueError("allele_names must be distinct and must not use 'Y'")
    females = _unordered_pairs(n)
    z = len(females) + n
    g = n + 1
    y = n  # gamete index of Y
    female_index = {p: k for k, p in enumerate(females)}
    male_index = {a: len(females) + a for a in range(n)}
    meiosis = np.zeros((2, z, g))
    for k, (i, j) in enumerate(females):
        meiosis[:, k, i] += 0.5
        meiosis[:, k, j] += 0.5
    for a in range(n):
        meiosis[:, male_index[a], a] = 0.5
        meiosis[:, male_index[a], y] = 0.5
    fusion = np.zeros((g, g, z))
    for f in range(g):
        for m in range(g):
            if f < n and m < n:
                fusion[f, m, female_index[(min(f, m), max(f, m))]] = 1.0
            elif f < n:
                fusion[f, m, male_index[f]] = 1.0
            elif m < n:
                fusion[f, m, male_index[m]] = 1.0
    labels = [f"{names[i]}/{names[j]}" for i, j in females] + [f"{names[a]}/Y" for a in range(n)]
    female_only = np.array([True] * len(females) + [False] * n)
    return LocusModel(labels, meiosis, fusion, female_only=female_only, male_only=~female_only,
                      gamete_labels=names + ["Y"], alleles=[names + ["Y"]],
                      description={"builder": "xy_locus", "alleles": names})


def combine(*loci: LocusModel) -> LocusModel:
    """Independent assortment of several loci into one genotype index.

    Genotype (z1, z2, ...) has index z1*Z2*... + z2*... (the first locus varies
    slowest); gametes are combined the same way. Fitness tables multiply; an
    offspring override of a component (maternal deposition) carries over as the
    product of the components' offspring tensors.
    """
    if not loci:
        raise ValueError("combine() needs at least one locus")
    result = loci[0]
    for other in loci[1:]:
        meiosis = np.stack([np.kron(result.meiosis[s], other.meiosis[s]) for s in range(2)])
        g1, g2 = result.n_gtypes, other.n_gtypes
        z1, z2 = result.n_ztypes, other.n_ztypes
        fusion = np.einsum("abc,def->adbecf", result.fusion, other.fusion).reshape(
            g1 * g2, g1 * g2, z1 * z2)
        labels = [f"{a};{b}" for a in result.labels for b in other.labels]
        gametes = [f"{a};{b}" for a in result.gamete_labels for b in other.gamete_labels]
        female_only = np.repeat(result.female_only, z2) | np.tile(other.female_only, z1)
        male_only = np.repeat(result.male_only, z2) | np.tile(other.male_only, z1)
        offspring = None
        if result.offspring is not None or other.offspring is not None:
            ta = result.offspring_tensor.reshape(z1, z1, z1)
            tb = other.offspring_tensor.reshape(z2, z2, z2)
            offspring = np.einsum("ijk,lmn->iljmkn", ta, tb).reshape(-1)
        fitness = {}
        for name in FITNESS_FIELDS:
            if name in result.fitness or name in other.fitness:
                fa = result.fitness.get(name, np.ones((2, z1)))
                fb = other.fitness.get(name, np.ones((2, z2)))
                fitness[name] = np.stack([np.outer(fa[s], fb[s]).reshape(-1) for s in range(2)])
        parts = result.description.get("loci") if result.description.get("builder") == "combine" \
            else [result.description]
        result = LocusModel(labels, meiosis, fusion, female_only=female_only, male_only=male_only,
                            gamete_labels=gametes, alleles=list(result.alleles) + list(other.alleles),
                            offspring=offspring, fitness=fitness,
                            description={"builder": "combine", "loci": list(parts) + [other.description]})
    return result


# ------------------------------------------------------------------ rates and fitness
def _rate(name: str, value) -> float:
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number in [0, 1], got {value!r}") from None
    if not (0.0 <= v <= 1.0):
        raise ValueError(f"{name} must be in [0, 1], got {value!r}")
    return v


def _per_sex(name: str, value) -> tuple[float, float]:
    """A rate for both sexes: a number, a (female, male) pair or {"female": .., "male": ..}."""
    if isinstance(value, Mapping):
        extra = set(value) - set(_SEXES)
        if extra or len(value) != 2:
            raise ValueError(f"{name}: give both keys 'female' and 'male', got {sorted(map(str, value))}")
        return _rate(f"{name}['female']", value["female"]), _rate(f"{name}['male']", value["male"])
    if isinstance(value, (tuple, list, np.ndarray)):
        if len(value) != 2:
            raise ValueError(f"{name} must be a number or a (female, male) pair, got {value!r}")
        return _rate(f"{name}[0] (female)", value[0]), _rate(f"{name}[1] (male)", value[1])
    v = _rate(name, value)
    return v, v


def fitness_table(locus: LocusModel, values: Mapping | None, *, default: float = 1.0,
                  n_ages: int | None = None, argument: str = "fitness") -> np.ndarray:
    """A per-sex genotype table from labels: ``values`` maps a genotype label (or
    index) to a number (both sexes) or a (female, male) pair; genotypes not named
    get ``default``. Returns shape (2, Z), or (2, n_ages, Z) repeated over ages
    when ``n_ages`` is given (the layout of ``viability_fitness``)."""
    z = locus.n_ztypes
    table = np.full((2, z), float(default))
    for key, value in (values or {}).items():
        k = locus.index(key, argument=argument)
        if isinstance(value, Mapping):
            pair = (value.get("female", default), value.get("male", default))
            if set(value) - set(_SEXES):
                raise ValueError(f"{argument}[{key!r}]: keys must be 'female' and/or 'male'")
        elif isinstance(value, (tuple, list, np.ndarray)):
            if len(value) != 2:
                raise ValueError(f"{argument}[{key!r}] must be a number or a (female, male) pair")
            pair = (value[0], value[1])
        else:
            pair = (value, value)
        for s in range(2):
            try:
                v = float(pair[s])
            except (TypeError, ValueError):
                raise ValueError(f"{argument}[{key!r}] must be a finite number >= 0, got {pair[s]!r}") from None
            if not (math.isfinite(v) and v >= 0.0):
                raise ValueError(f"{argument}[{key!r}] must be a finite number >= 0, got {pair[s]!r}")
            table[s, k] = v
    if n_ages is None:
        return table
    n_ages = int(n_ages)
    if n_ages < 0:
        raise ValueError(f"n_ages must be nonnegative, got {n_ages}")
    return np.ascontiguousarray(np.repeat(table[:, None, :], n_ages, axis=1))


def _dominance_costs(copies: np.ndarray, cost, dominance, cost_name: str, dominance_name: str):
    """Fitness 1 - s for two copies of an allele, 1 - h*s for one copy, by genotype."""
    s = _rate(cost_name, cost)
    h = _rate(dominance_name, dominance)
    w = np.where(copies == 2, 1.0 - s, np.where(copies == 1, 1.0 - h * s, 1.0))
    return np.stack([w, w])


def _merge_fitness(locus: LocusModel, base: dict, name: str, values, argument: str) -> None:
    if values is None:
        return
    table = fitness_table(locus, values, argument=argument)
    base[name] = base.get(name, np.ones((2, locus.n_ztypes))) * table


# ------------------------------------------------------------------ homing drives
_DRIVE_ALLELES = ("W", "D", "R", "N")


def _drive_gametes(c: float, h: float, fr: float) -> np.ndarray:
    """Gametes (W, D, R, N) of a D/W germline: the W allele is cut with probability
    c; a cut is repaired by homing (W -> D) with probability h, otherwise by end
    joining into a resistance allele, functional (R) with probability fr."""
    cut_not_homed = c * (1.0 - h)
    return np.array([
        0.5 * (1.0 - c),
        0.5 + 0.5 * (c * h),
        0.5 * (cut_not_homed * fr),
        0.5 * (cut_not_homed * (1.0 - fr)),
    ])


def _drive_rates(cutting, homing, functional_resistance, deposition):
    return (_per_sex("cutting", cutting), _per_sex("homing", homing),
            _per_sex("functional_resistance", functional_resistance), _rate("deposition", deposition))


def _drive_costs(locus, disrupts, drive_cost, dominance, fitness, fecundity):
    """Fitness tables of a drive: the disrupted target gene, a dominance cost of
    the drive allele, then explicit per-genotype tables (all multiplied)."""
    z = locus.n_ztypes
    tables: dict = {}
    _, counts = locus.allele_counts(0)  # alleles in the order wild, drive, R, N
    functional = counts[:, 0] + counts[:, 2]
    if disrupts not in (None, "female_fertility", "fertility", "viability"):
        raise ValueError("disrupts must be None, 'female_fertility', 'fertility' or 'viability', "
                         f"got {disrupts!r}")
    if disrupts is not None:
        null = np.where(functional == 0, 0.0, 1.0)
        if disrupts == "viability":
            tables["zygote_viability_fitness"] = np.stack([null, null])
        elif disrupts == "female_fertility":
            tables["fecundity_fitness"] = np.stack([null, np.ones(z)])
        else:
            tables["fecundity_fitness"] = np.stack([null, null])
    cost = _dominance_costs(counts[:, 1], drive_cost, dominance, "drive_cost", "dominance")
    if np.any(cost != 1.0):
        tables["zygote_viability_fitness"] = tables.get("zygote_viability_fitness", np.ones((2, z))) * cost
    _merge_fitness(locus, tables, "zygote_viability_fitness", fitness, "fitness")
    _merge_fitness(locus, tables, "fecundity_fitness", fecundity, "fecundity")
    return tables


def _deposit(tensor: np.ndarray, z: int, mothers, zygote_pairs, index, target_locus: int,
             d: float, fr: float) -> np.ndarray:
    """Cut the W alleles of embryos whose mothers deposited nuclease.

    ``zygote_pairs[k]`` gives the allele pairs (one per locus) of zygote k and
    ``index`` maps such a tuple of sorted pairs back to a zygote. Each W allele at
    the target locus is cut independently with probability d and becomes R (share
    fr) or N."""
    W, R, N = 0, 2, 3
    fate = {W: ((W, 1.0 - d), (R, d * fr), (N, d * (1.0 - fr)))}
    t = tensor.reshape(z, z, z).copy()
    for i in mothers:
        for j in range(z):
            row = t[i, j].copy()
            new = np.zeros(z)
            for k in range(z):
                if row[k] == 0.0:
                    continue
                pairs = zygote_pairs[k]
                a, b = pairs[target_locus]
                for a2, pa in fate.get(a, ((a, 1.0),)):
                    for b2, pb in fate.get(b, ((b, 1.0),)):
                        p = pa * pb
                        if p == 0.0:
                            continue
                        changed = list(pairs)
                        changed[target_locus] = (min(a2, b2), max(a2, b2))
                        new[index[tuple(changed)]] += row[k] * p
            t[i, j] = new
    return t.reshape(-1)


def _zygotic(tensor: np.ndarray, z: int, zygote_pairs, index, c: float, h: float, fr: float,
             needs=None) -> np.ndarray:
    """Homing in the early embryo: the W of a zygote heterozygous W/D at the drive
    locus (locus 0) is cut with probability c; a cut is repaired by homing (the
    zygote becomes D/D) with probability h, otherwise into R (share fr) or N.
    ``needs(pairs)``, when given, must hold for the zygote (a split drive's
    embryo must carry Cas9)."""
    W, D, R, N = 0, 1, 2, 3

    def fate(i, j, k):
        pairs = zygote_pairs[k]
        if pairs[0] != (W, D) or (needs is not None and not needs(pairs)):
            return None
        out = [(k, 1.0 - c)]
        for allele, share in ((D, c * h), (R, (c * (1.0 - h)) * fr), (N, (c * (1.0 - h)) * (1.0 - fr))):
            changed = list(pairs)
            changed[0] = (D, allele)
            out.append((index[tuple(changed)], share))
        return tuple(out)

    return _embryo(tensor, z, fate)


def homing_drive(*, cutting=1.0, homing=1.0, functional_resistance=0.0, deposition=0.0,
                 zygotic_cutting=0.0, zygotic_homing=1.0, disrupts=None, drive_cost=0.0, dominance=0.5, fitness=None, fecundity=None,
                 allele_names=_DRIVE_ALLELES) -> LocusModel:
    """A homing gene drive at one autosomal locus.

    Alleles (default names): W wild type, D drive, R functional resistance
    (cut-resistant, target gene still works), N non-functional resistance
    (cut-resistant, target gene broken). Genotypes are the ten unordered pairs
    "W/W", "W/D", ..., "N/N".

    Rates (each a number for both sexes, a (female, male) pair or a dict with
    keys "female" and "male"; all in [0, 1]):

    cutting
        probability that the W allele in the germline of a W/D individual is cut;
    homing
        probability that a cut is repaired by homing (W becomes D); otherwise end
        joining turns it into a resistance allele;
    functional_resistance
        share of those resistance alleles that keep the target's function (R);
        the rest are N.

    A W/D parent thus transmits D with probability (1 + cutting*homing)/2, W with
    (1 - cutting)/2, R with cutting*(1 - homing)*functional_resistance/2 and N
    with the rest. Every other genotype segregates Mendelian.

    deposition
        maternal deposition: in embryos of mothers carrying D, each W allele is cut
        with this probability and becomes R (share ``functional_resistance`` of the
        female rates) or N. This acts on the offspring tensor.
    zygotic_cutting, zygotic_homing
        homing in the early embryo (zygote conversion), after deposition: the W
        of a W/D embryo (whatever its parents) is cut with probability
        ``zygotic_cutting``; a cut is repaired by homing (the embryo becomes D/D)
        with probability ``zygotic_homing``, else into R (share
        ``functional_resistance`` of the female rates) or N. Acts on the
        offspring tensor.

    Fitness (default tables of ``Params``):

    disrupts
        what an individual without a functional target allele (no W or R) loses:
        None, "female_fertility" (female fecundity 0: a suppression drive),
        "fertility" (both sexes) or "viability" (zygotes die);
    drive_cost, dominance
        zygote viability 1 - drive_cost for D/D and 1 - dominance*drive_cost for
        one copy of D;
    fitness, fecundity
        explicit zygote-viability and fecundity tables by genotype label, e.g.
        ``{"D/D": 0.8, "W/D": (0.9, 1.0)}`` ((female, male) pairs allowed),
        multiplied into the tables above.
    """
    (cf, cm), (hf, hm), (ff, fm), d = _drive_rates(cutting, homing, functional_resistance, deposition)
    names = [_check_name(a, "allele_names") for a in allele_names]
    if len(names) != 4 or len(set(names)) != 4:
        raise ValueError("allele_names must be four distinct names (wild, drive, functional "
                         "resistance, non-functional resistance)")
    base = autosomal_locus(4, names)
    pairs = _unordered_pairs(4)
    wd = pairs.index((0, 1))
    meiosis = base.meiosis.copy()
    meiosis[0, wd] = _drive_gametes(cf, hf, ff)
    meiosis[1, wd] = _drive_gametes(cm, hm, fm)
    zc, zh = _rate("zygotic_cutting", zygotic_cutting), _rate("zygotic_homing", zygotic_homing)
    offspring = None
    if d > 0.0 or zc > 0.0:
        z = len(pairs)
        tensor = _engine_rs.compute_offspring_tensor(meiosis, base.fusion)
        index = {(p,): k for k, p in enumerate(pairs)}
        if d > 0.0:
            mothers = [k for k, (a, b) in enumerate(pairs) if 1 in (a, b)]
            tensor = _deposit(tensor, z, mothers, [(p,) for p in pairs], index, 0, d, ff)
        if zc > 0.0:
            tensor = _zygotic(tensor, z, [(p,) for p in pairs], index, zc, zh, ff)
        offspring = tensor
    description = {"builder": "homing_drive", "alleles": names,
                   "cutting": [cf, cm], "homing": [hf, hm], "functional_resistance": [ff, fm],
                   "deposition": d, "zygotic_cutting": zc, "zygotic_homing": zh, "disrupts": disrupts, "drive_cost": _rate("drive_cost", drive_cost),
                   "dominance": _rate("dominance", dominance)}
    plain = LocusModel(base.labels, meiosis, base.fusion, gamete_labels=names, alleles=[names],
                       offspring=offspring)
    tables = _drive_costs(plain, disrupts, drive_cost, dominance, fitness, fecundity)
    return LocusModel(base.labels, meiosis, base.fusion, gamete_labels=names, alleles=[names],
                      offspring=offspring, fitness=tables, description=description)


def split_drive(*, cutting=1.0, homing=1.0, functional_resistance=0.0, deposition=0.0,
                zygotic_cutting=0.0, zygotic_homing=1.0, disrupts=None, drive_cost=0.0, dominance=0.5, cas9_cost=0.0, cas9_dominance=0.5,
                fitness=None, fecundity=None, allele_names=_DRIVE_ALLELES,
                cas9_names=("w", "C")) -> LocusModel:
    """A split (two-locus) homing drive, built with ``combine``.

    The first locus carries the gRNA drive element: alleles W, D, R, N as in
    ``homing_drive``. The second, unlinked locus carries the nuclease: alleles
    "w" (none) and "C" (Cas9). Homing happens only in the germline of W/D
    individuals that carry at least one C; without C the drive allele segregates
    Mendelian, so the drive cannot spread on its own. Genotype labels read
    "W/D;w/C".

    Rates as in ``homing_drive`` (cutting, homing, functional_resistance per sex;
    deposition: embryos of mothers carrying both D and C have each W cut with that
    probability; zygotic_cutting/zygotic_homing: homing in W/D embryos that carry C). ``drive_cost``/``dominance`` apply to D, ``cas9_cost``/
    ``cas9_dominance`` to C (multiplicatively); ``disrupts``, ``fitness`` and
    ``fecundity`` as in ``homing_drive``, with two-locus labels.
    """
    (cf, cm), (hf, hm), (ff, fm), d = _drive_rates(cutting, homing, functional_resistance, deposition)
    names = [_check_name(a, "allele_names") for a in allele_names]
    if len(names) != 4 or len(set(names)) != 4:
        raise ValueError("allele_names must be four distinct names")
    cnames = [_check_name(a, "cas9_names") for a in cas9_names]
    if len(cnames) != 2 or len(set(cnames)) != 2:
        raise ValueError("cas9_names must be two distinct names (without, with Cas9)")
    drive_locus = autosomal_locus(4, names)
    cas9_locus = autosomal_locus(2, cnames)
    joint = combine(drive_locus, cas9_locus)
    pairs_a, pairs_b = _unordered_pairs(4), _unordered_pairs(2)
    zb = len(pairs_b)
    wd = pairs_a.index((0, 1))
    meiosis = joint.meiosis.copy()
    for kb, pb in enumerate(pairs_b):
        if 1 not in pb:
            continue
        for s, row in ((0, _drive_gametes(cf, hf, ff)), (1, _drive_gametes(cm, hm, fm))):
            meiosis[s, wd * zb + kb] = np.kron(row, cas9_locus.meiosis[s, kb])
    offspring = None
    z = joint.n_ztypes
    zc, zh = _rate("zygotic_cutting", zygotic_cutting), _rate("zygotic_homing", zygotic_homing)
    if d > 0.0 or zc > 0.0:
        tensor = _engine_rs.compute_offspring_tensor(meiosis, joint.fusion)
        zygote_pairs = [(pa, pb) for pa in pairs_a for pb in pairs_b]
        index = {p: k for k, p in enumerate(zygote_pairs)}
        if d > 0.0:
            mothers = [k for k, (pa, pb) in enumerate(zygote_pairs) if 1 in pa and 1 in pb]
            tensor = _deposit(tensor, z, mothers, zygote_pairs, index, 0, d, ff)
        if zc > 0.0:
            tensor = _zygotic(tensor, z, zygote_pairs, index, zc, zh, ff, needs=lambda p: 1 in p[1])
        offspring = tensor
    plain = LocusModel(joint.labels, meiosis, joint.fusion, gamete_labels=joint.gamete_labels,
                       alleles=joint.alleles, offspring=offspring)
    tables = _drive_costs(plain, disrupts, drive_cost, dominance, None, None)
    _, cc = plain.allele_counts(1)
    cost = _dominance_costs(cc[:, 1], cas9_cost, cas9_dominance, "cas9_cost", "cas9_dominance")
    if np.any(cost != 1.0):
        tables["zygote_viability_fitness"] = tables.get("zygote_viability_fitness", np.ones((2, z))) * cost
    _merge_fitness(plain, tables, "zygote_viability_fitness", fitness, "fitness")
    _merge_fitness(plain, tables, "fecundity_fitness", fecundity, "fecundity")
    description = {"builder": "split_drive", "alleles": names, "cas9_alleles": cnames,
                   "cutting": [cf, cm], "homing": [hf, hm], "functional_resistance": [ff, fm],
                   "deposition": d, "zygotic_cutting": zc, "zygotic_homing": zh,
                   "disrupts": disrupts, "drive_cost": float(drive_cost),
                   "dominance": float(dominance), "cas9_cost": float(cas9_cost),
                   "cas9_dominance": float(cas9_dominance)}
    return LocusModel(joint.labels, meiosis, joint.fusion, gamete_labels=joint.gamete_labels,
                      alleles=joint.alleles, offspring=offspring, fitness=tables,
                      description=description)


def x_linked_distorter(*, transmission=1.0, female_transmission=0.5, fitness=None, fecundity=None,
                       allele_names=("X", "Xd")) -> LocusModel:
    """An X-linked sex-ratio distorter on an XY locus (built on ``xy_locus(2)``).

    Genotypes: females "X/X", "X/Xd", "Xd/Xd"; males "X/Y", "Xd/Y". A driving
    male Xd/Y passes Xd to a share ``transmission`` of his gametes and Y to the
    rest (0.5 is Mendelian; 1 gives only daughters), so his offspring are
    ``transmission`` daughters. Heterozygous females pass Xd with probability
    ``female_transmission``. Both in [0, 1].

    ``fitness`` (zygote viability) and ``fecundity`` are tables by genotype label,
    e.g. ``fecundity={"Xd/Y": 0.8}`` for the fertility cost of sperm killing.
    """
    k = _rate("transmission", transmission)
    kf = _rate("female_transmission", female_transmission)
    names = [_check_name(a, "allele_names") for a in allele_names]
    if len(names) != 2:
        raise ValueError("allele_names must be two names (standard X, driving X)")
    base = xy_locus(2, names)
    het = base.labels.index(f"{names[0]}/{names[1]}")
    driver = base.labels.index(f"{names[1]}/Y")
    meiosis = base.meiosis.copy()
    meiosis[:, het] = [1.0 - kf, kf, 0.0]
    meiosis[:, driver] = [0.0, k, 1.0 - k]
    plain = LocusModel(base.labels, meiosis, base.fusion, female_only=base.female_only,
                       male_only=base.male_only, gamete_labels=base.gamete_labels, alleles=base.alleles)
    tables: dict = {}
    _merge_fitness(plain, tables, "zygote_viability_fitness", fitness, "fitness")
    _merge_fitness(plain, tables, "fecundity_fitness", fecundity, "fecundity")
    return LocusModel(base.labels, meiosis, base.fusion, female_only=base.female_only,
                      male_only=base.male_only, gamete_labels=base.gamete_labels, alleles=base.alleles,
                      fitness=tables,
                      description={"builder": "x_linked_distorter", "alleles": names,
                                   "transmission": k, "female_transmission": kf})


# ------------------------------------------------------------------ more drive constructs
def _embryo(tensor: np.ndarray, z: int, fate) -> np.ndarray:
    """Apply an effect acting in the embryo to an offspring tensor.

    ``fate(i, j, k)`` returns the fates of a zygote k of a type-i mother and a
    type-j father as ((k2, p), ...): it becomes zygote k2 with probability p.
    Shares that sum to less than 1 are embryos that die (the row of the tensor
    then sums to less than 1); ``None`` leaves the zygote as it is."""
    t = tensor.reshape(z, z, z)
    out = np.zeros_like(t)
    for i in range(z):
        for j in range(z):
            for k in range(z):
                share = t[i, j, k]
                if share == 0.0:
                    continue
                outcome = fate(i, j, k)
                if outcome is None:
                    out[i, j, k] += share
                    continue
                for k2, p in outcome:
                    if p != 0.0:
                        out[i, j, k2] += share * p
    return out.reshape(-1)


def _allele_costs(copies: np.ndarray, cost, dominance, cost_name: str, dominance_name: str):
    """(2, Z) viability 1 - s for two copies, 1 - h*s for one copy, or None without a cost."""
    table = _dominance_costs(copies, cost, dominance, cost_name, dominance_name)
    return table if np.any(table != 1.0) else None


def _fitness_tables(locus: LocusModel, viability=None, fecundity_table=None, late=None,
                    fitness=None, fecundity=None) -> dict:
    """The fitness tables of a construct: built-in viability, fecundity and
    late (age-0 survival) effects, then the user's label tables, all multiplied."""
    z = locus.n_ztypes
    tables: dict = {}
    for name, table in (("zygote_viability_fitness", viability), ("fecundity_fitness", fecundity_table),
                        ("viability_fitness", late)):
        if table is not None and np.any(np.asarray(table) != 1.0):
            tables[name] = np.asarray(table, dtype=np.float64) * tables.get(name, np.ones((2, z)))
    _merge_fitness(locus, tables, "zygote_viability_fitness", fitness, "fitness")
    _merge_fitness(locus, tables, "fecundity_fitness", fecundity, "fecundity")
    return tables


def _names_of(allele_names, count: int, what: str) -> list:
    names = [_check_name(a, "allele_names") for a in allele_names]
    if len(names) != count or len(set(names)) != count:
        raise ValueError(f"allele_names must be {count} distinct names ({what}), got {list(allele_names)!r}")
    return names


def driving_y(*, transmission=1.0, cost=0.0, fitness=None, fecundity=None,
              allele_names=("X", "Y", "Yd")) -> LocusModel:
    """A driving Y chromosome (a Y-linked sex-ratio distorter, such as an X-shredder).

    Genotypes: the female "X/X" and the males "X/Y" and "X/Yd". A driving male
    X/Yd passes Yd to a share ``transmission`` of his offspring (0.5 is
    Mendelian, 1 gives only sons) and X to the rest; X/Y males are Mendelian.

    ``cost`` is the viability cost of X/Yd males (zygote viability 1 - cost);
    ``fecundity`` and ``fitness`` are tables by genotype label (for example
    ``fecundity={"X/Yd": 0.8}`` for the sperm lost to shredding). With no costs
    and equal mating success the share y of driving males among males follows
    y' = 2m·y / (1 + (2m - 1)·y) with m = ``transmission``, one generation to the
    next.
    """
    m = _rate("transmission", transmission)
    s = _rate("cost", cost)
    x, y, yd = _names_of(allele_names, 3, "X, standard Y, driving Y")
    labels = [f"{x}/{x}", f"{x}/{y}", f"{x}/{yd}"]
    meiosis = np.zeros((2, 3, 3))
    meiosis[:, 0] = [1.0, 0.0, 0.0]
    meiosis[:, 1] = [0.5, 0.5, 0.0]
    meiosis[:, 2] = [1.0 - m, 0.0, m]
    fusion = np.zeros((3, 3, 3))
    fusion[0, 0, 0] = 1.0  # X + X
    fusion[0, 1, 1] = fusion[1, 0, 1] = 1.0  # X + Y
    fusion[0, 2, 2] = fusion[2, 0, 2] = 1.0  # X + Yd
    female_only = np.array([True, False, False])
    kw = dict(female_only=female_only, male_only=~female_only, gamete_labels=[x, y, yd],
              alleles=[[x, y, yd]])
    plain = LocusModel(labels, meiosis, fusion, **kw)
    viability = np.ones((2, 3))
    viability[:, 2] = 1.0 - s
    tables = _fitness_tables(plain, viability=viability, fitness=fitness, fecundity=fecundity)
    return LocusModel(labels, meiosis, fusion, fitness=tables, **kw,
                      description={"builder": "driving_y", "alleles": [x, y, yd],
                                   "transmission": m, "cost": s})


def medea(*, toxicity=1.0, antidote=1.0, cost=0.0, dominance=0.5, fitness=None, fecundity=None,
          allele_names=("W", "M")) -> LocusModel:
    """A Medea-type toxin-antidote element M at one autosomal locus.

    A mother carrying M (W/M or M/M) loads her eggs with a toxin; an embryo
    carrying M makes the antidote. Rates in [0, 1]:

    toxicity
        share of a carrier mother's embryos without M (W/W) that die;
    antidote
        share of a carrier mother's embryos with M that the antidote saves
        (1 - antidote of them die as well).

    Offspring of W/W mothers are never affected, whatever the father: the
    effect is maternal, so the offspring tensor of a W/M mother and a W/W father
    differs from that of a W/W mother and a W/M father. ``cost`` and
    ``dominance`` give zygote viability 1 - cost for M/M and 1 - dominance*cost
    for W/M; ``fitness`` and ``fecundity`` are tables by genotype label.
    """
    tox = _rate("toxicity", toxicity)
    anti = _rate("antidote", antidote)
    names = _names_of(allele_names, 2, "wild type, Medea")
    base = autosomal_locus(2, names)
    carriers = {1, 2}  # W/M, M/M

    def fate(i, j, k):
        if i not in carriers:
            return None
        return ((k, anti if k in carriers else 1.0 - tox),)

    offspring = _embryo(base.offspring_tensor, 3, fate)
    plain = LocusModel(base.labels, base.meiosis, base.fusion, gamete_labels=names, alleles=[names],
                       offspring=offspring)
    _, counts = plain.allele_counts(0)
    tables = _fitness_tables(plain, viability=_allele_costs(counts[:, 1], cost, dominance, "cost",
                                                            "dominance"),
                             fitness=fitness, fecundity=fecundity)
    return LocusModel(base.labels, base.meiosis, base.fusion, gamete_labels=names, alleles=[names],
                      offspring=offspring, fitness=tables,
                      description={"builder": "medea", "alleles": names, "toxicity": tox,
                                   "antidote": anti, "cost": _rate("cost", cost),
                                   "dominance": _rate("dominance", dominance)})


def underdominance(*, lethality=1.0, cost=0.0, dominance=0.5, fitness=None, fecundity=None,
                   allele_names=(("a", "A"), ("b", "B"))) -> LocusModel:
    """Two-construct engineered underdominance on two unlinked loci.

    Construct A carries a toxin that construct B's antidote represses, and B a
    toxin that A represses. Genotypes are the nine two-locus pairs "a/A;b/B".
    An individual carrying at least one A but no B, or at least one B but no
    A, dies with probability ``lethality`` (at the zygote stage); carrying
    neither or both is harmless. ``cost``/``dominance`` give each construct a
    viability cost (1 - cost for two copies, 1 - dominance*cost for one copy;
    the two loci multiply); ``fitness`` and ``fecundity`` are label tables.
    Released double homozygotes A/A;B/B only make viable offspring with each
    other: with wild mates all offspring carry one A and one B.
    """
    lethal = _rate("lethality", lethality)
    try:
        if isinstance(allele_names, str) or any(isinstance(pair, str) for pair in allele_names):
            raise TypeError
        (a0, a1), (b0, b1) = allele_names
    except (TypeError, ValueError):
        raise ValueError("allele_names must be two pairs (without, with construct), one per locus, "
                         f"got {allele_names!r}") from None
    locus_a = autosomal_locus(2, [a0, a1])
    locus_b = autosomal_locus(2, [b0, b1])
    if {a0, a1} & {b0, b1}:
        raise ValueError("allele_names of the two loci must differ")
    joint = combine(locus_a, locus_b)
    _, ca = joint.allele_counts(0)
    _, cb = joint.allele_counts(1)
    has_a, has_b = ca[:, 1] > 0, cb[:, 1] > 0
    alive = np.where(has_a != has_b, 1.0 - lethal, 1.0)
    viability = np.stack([alive, alive])
    for copies in (ca[:, 1], cb[:, 1]):
        c = _allele_costs(copies, cost, dominance, "cost", "dominance")
        if c is not None:
            viability = viability * c
    tables = _fitness_tables(joint, viability=viability, fitness=fitness, fecundity=fecundity)
    return LocusModel(joint.labels, joint.meiosis, joint.fusion, gamete_labels=joint.gamete_labels,
                      alleles=joint.alleles, fitness=tables,
                      description={"builder": "underdominance", "alleles": [[a0, a1], [b0, b1]],
                                   "lethality": lethal, "cost": _rate("cost", cost),
                                   "dominance": _rate("dominance", dominance)})


_TIMINGS = ("early", "late")


def female_lethal(*, lethality=(1.0, 0.0), sterility=(0.0, 0.0), timing="early", cost=0.0,
                  dominance=0.5, fitness=None, fecundity=None, allele_names=("W", "L")) -> LocusModel:
    """A dominant lethal or sterilising construct L at one autosomal locus, as
    released in sterile- or lethal-male programmes (female-specific by default).

    Rates per sex (a number for both sexes, a (female, male) pair or a dict),
    each in [0, 1], acting on every carrier of L (one copy suffices):

    lethality
        probability that a carrier dies: (1, 0) kills carrier daughters and
        spares sons (a female-specific lethal); (1, 1) kills both sexes;
    sterility
        share of a carrier's matings that give no eggs (its fecundity is
        1 - sterility; a (0, 1) construct makes sterile males).

    timing
        "early": carriers die as zygotes, before density regulation (zygote
        viability); "late": they die in the newborn age class after density
        regulation, so they compete for resources first (survival of age 0,
        ``viability_fitness[:, 0, :]``). In models whose juveniles span
        several ages, "late" acts on age 0 only.

    ``cost``/``dominance`` give a viability cost (1 - cost for L/L, 1 -
    dominance*cost for W/L) applied to both sexes; ``fitness`` and
    ``fecundity`` are label tables.
    """
    lf, lm = _per_sex("lethality", lethality)
    sf, sm = _per_sex("sterility", sterility)
    if timing not in _TIMINGS:
        raise ValueError(f"timing must be 'early' or 'late', got {timing!r}")
    names = _names_of(allele_names, 2, "wild type, lethal construct")
    base = autosomal_locus(2, names)
    carrier = np.array([0.0, 1.0, 1.0])
    survive = np.stack([1.0 - lf * carrier, 1.0 - lm * carrier])
    fertile = np.stack([1.0 - sf * carrier, 1.0 - sm * carrier])
    _, counts = base.allele_counts(0)
    viability = _allele_costs(counts[:, 1], cost, dominance, "cost", "dominance")
    if timing == "early":
        viability = survive if viability is None else viability * survive
        late = None
    else:
        late = survive
    tables = _fitness_tables(base, viability=viability, fecundity_table=fertile, late=late,
                             fitness=fitness, fecundity=fecundity)
    return LocusModel(base.labels, base.meiosis, base.fusion, gamete_labels=names, alleles=[names],
                      fitness=tables,
                      description={"builder": "female_lethal", "alleles": names,
                                   "lethality": [lf, lm], "sterility": [sf, sm], "timing": timing,
                                   "cost": _rate("cost", cost), "dominance": _rate("dominance", dominance)})


def cleave_and_rescue(*, cutting=1.0, deposition=0.0, lethality=1.0, cost=0.0, dominance=0.5,
                      fitness=None, fecundity=None, allele_names=("w", "C"),
                      target_names=("T", "t")) -> LocusModel:
    """A cleave-and-rescue element C and the essential gene it targets, on two
    unlinked loci. Genotype labels read "w/C;T/t".

    C carries a nuclease with guides against an essential, haplosufficient gene
    (alleles T working, t broken by a cut) and a cut-resistant working copy of
    that gene (the rescue). Rates in [0, 1]:

    cutting (per sex)
        in the germline of a carrier of C, each T allele is broken (T -> t)
        with this probability before meiosis, so a w/C;T/T parent passes t to
        a share ``cutting`` of its gametes whether or not they receive C;
    deposition
        in the embryos of mothers carrying C, each T allele is broken with this
        probability (maternal nuclease);
    lethality
        share of individuals without a working T (t/t) and without C that die
        (as zygotes); C rescues them.

    ``cost``/``dominance`` give C a viability cost (1 - cost for C/C, 1 -
    dominance*cost for w/C); ``fitness`` and ``fecundity`` are label tables.
    """
    cf, cm = _per_sex("cutting", cutting)
    d = _rate("deposition", deposition)
    lethal = _rate("lethality", lethality)
    cnames = _names_of(allele_names, 2, "without, with the element")
    tnames = _names_of(target_names, 2, "working, broken target")
    if set(cnames) & set(tnames):
        raise ValueError("allele_names and target_names must differ")
    element = autosomal_locus(2, cnames)
    target = autosomal_locus(2, tnames)
    joint = combine(element, target)
    meiosis = joint.meiosis.copy()
    for s, c in ((0, cf), (1, cm)):
        cut = {0: [1.0 - c, c], 1: [(1.0 - c) / 2.0, (1.0 + c) / 2.0], 2: [0.0, 1.0]}  # T/T, T/t, t/t
        for ke in (1, 2):  # w/C, C/C
            for kt in range(3):
                meiosis[s, ke * 3 + kt] = np.kron(element.meiosis[s, ke], cut[kt])
    tensor = _engine_rs.compute_offspring_tensor(meiosis, joint.fusion)
    z = joint.n_ztypes
    offspring = None
    if d > 0.0:
        # each T of the embryo is broken independently: T/T -> T/T, T/t, t/t
        broken = {0: ((0, (1.0 - d) * (1.0 - d)), (1, 2.0 * d * (1.0 - d)), (2, d * d)),
                  1: ((1, 1.0 - d), (2, d))}

        def fate(i, j, k):
            if i // 3 == 0:  # mother without C
                return None
            ke, kt = divmod(k, 3)
            if kt not in broken:
                return None
            return tuple((ke * 3 + kt2, p) for kt2, p in broken[kt])

        offspring = _embryo(tensor, z, fate)
    plain = LocusModel(joint.labels, meiosis, joint.fusion, gamete_labels=joint.gamete_labels,
                       alleles=joint.alleles, offspring=offspring)
    _, ce = plain.allele_counts(0)
    _, ct = plain.allele_counts(1)
    alive = np.where((ct[:, 0] == 0) & (ce[:, 1] == 0), 1.0 - lethal, 1.0)
    viability = np.stack([alive, alive])
    c = _allele_costs(ce[:, 1], cost, dominance, "cost", "dominance")
    if c is not None:
        viability = viability * c
    tables = _fitness_tables(plain, viability=viability, fitness=fitness, fecundity=fecundity)
    return LocusModel(joint.labels, meiosis, joint.fusion, gamete_labels=joint.gamete_labels,
                      alleles=joint.alleles, offspring=offspring, fitness=tables,
                      description={"builder": "cleave_and_rescue", "alleles": cnames,
                                   "target_alleles": tnames, "cutting": [cf, cm], "deposition": d,
                                   "lethality": lethal, "cost": _rate("cost", cost),
                                   "dominance": _rate("dominance", dominance)})


# Every model builder by name (scenario files name them).
BUILDERS = {
    "autosomal_locus": autosomal_locus, "xy_locus": xy_locus, "homing_drive": homing_drive,
    "split_drive": split_drive, "x_linked_distorter": x_linked_distorter, "driving_y": driving_y,
    "medea": medea, "underdominance": underdominance, "female_lethal": female_lethal,
    "cleave_and_rescue": cleave_and_rescue,
}
