"""Meiosis and fusion tables of common genetic models.

A model is described by two tables:

* ``meiosis[sex, ztype, gamete]``: share of gametes of each type produced by an
  individual of that sex and genotype (sex 0 female, 1 male);
* ``fusion[female gamete, male gamete, zygote]``: share of zygotes of each type
  made by a pair of gametes.

The engine composes them into the offspring tensor (``compute_offspring_tensor``).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import cached_property

import numpy as np

from . import _engine_rs

__all__ = ["LocusModel", "autosomal_locus", "xy_locus", "combine"]


@dataclass(frozen=True)
class LocusModel:
    """Genotype classes of a model with their meiosis and fusion tables."""

    labels: list
    meiosis: np.ndarray  # (2, Z, G) float64
    fusion: np.ndarray  # (G, G, Z) float64
    female_only: np.ndarray = field(default=None)  # (Z,) bool: sex fixed female by sex chromosomes
    male_only: np.ndarray = field(default=None)  # (Z,) bool: sex fixed male by sex chromosomes
    gamete_labels: list = field(default=None)

    def __post_init__(self):
        z = len(self.labels)
        meiosis = np.ascontiguousarray(self.meiosis, dtype=np.float64)
        fusion = np.ascontiguousarray(self.fusion, dtype=np.float64)
        if meiosis.ndim != 3 or meiosis.shape[0] != 2 or meiosis.shape[1] != z:
            raise ValueError(f"meiosis must have shape (2, {z}, G), got {meiosis.shape}")
        g = meiosis.shape[2]
        if fusion.shape != (g, g, z):
            raise ValueError(f"fusion must have shape ({g}, {g}, {z}), got {fusion.shape}")
        object.__setattr__(self, "meiosis", meiosis)
        object.__setattr__(self, "fusion", fusion)
        for name in ("female_only", "male_only"):
            value = getattr(self, name)
            value = np.zeros(z, dtype=bool) if value is None else np.asarray(value, dtype=bool)
            if value.shape != (z,):
                raise ValueError(f"{name} must have shape ({z},)")
            object.__setattr__(self, name, value)
        if self.gamete_labels is None:
            object.__setattr__(self, "gamete_labels", [f"g{i}" for i in range(g)])

    @property
    def n_ztypes(self) -> int:
        return len(self.labels)

    @property
    def n_gtypes(self) -> int:
        return self.meiosis.shape[2]

    @property
    def has_sex_chromosomes(self) -> bool:
        return bool(self.female_only.any() or self.male_only.any())

    @property
    def meiosis_map(self) -> np.ndarray:
        """The meiosis table as a flat (2*Z*G,) float64 vector."""
        return self.meiosis.ravel().copy()

    @cached_property
    def _offspring(self) -> np.ndarray:
        return _engine_rs.compute_offspring_tensor(self.meiosis, self.fusion)

    @property
    def offspring_tensor(self) -> np.ndarray:
        """Flat Z**3 offspring tensor over [female ztype, male ztype, zygote]."""
        return self._offspring.copy()

    @property
    def female_ztype_compatibility(self) -> np.ndarray:
        return np.ones(self.n_ztypes)

    @property
    def male_ztype_compatibility(self) -> np.ndarray:
        return np.ones(self.n_ztypes)


def _unordered_pairs(n):
    return [(i, j) for i in range(n) for j in range(i, n)]


def autosomal_locus(n_alleles: int = 2, allele_names=None) -> LocusModel:
    """One diploid autosomal locus with ``n_alleles`` alleles and Mendelian segregation.

    Genotypes are the unordered allele pairs (i, j), i <= j, in lexicographic
    order: with two alleles "A/A", "A/a", "a/a"... Gametes are the alleles.
    """
    n = int(n_alleles)
    if n < 1:
        raise ValueError("n_alleles must be at least 1")
    names = list(allele_names) if allele_names is not None else [f"A{i + 1}" for i in range(n)]
    if len(names) != n:
        raise ValueError("allele_names must have one name per allele")
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
    return LocusModel(labels, meiosis, fusion, gamete_labels=names)


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
                      gamete_labels=names + ["Y"])


def combine(*loci: LocusModel) -> LocusModel:
    """Independent assortment of several loci into one genotype index.

    Genotype (z1, z2, ...) has index z1*Z2*... + z2*... (the first locus varies
    slowest); gametes are combined the same way.
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
        result = LocusModel(labels, meiosis, fusion, female_only=female_only, male_only=male_only,
                            gamete_labels=gametes)
    return result
