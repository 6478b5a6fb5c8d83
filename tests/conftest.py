import itertools

import numpy as np
import pytest

from qorin import _engine_rs


class _StandInLocus:
    """One autosomal locus with n alleles, built the way qorin.genetics builds
    it: genotypes are unordered allele pairs, gametes carry one allele."""

    def __init__(self, n_alleles: int) -> None:
        pairs = list(itertools.combinations_with_replacement(range(n_alleles), 2))
        z, g = len(pairs), n_alleles
        self.labels = [f"a{i}/a{j}" for i, j in pairs]
        self.n_ztypes, self.n_gtypes = z, g
        meiosis = np.zeros((2, z, g))
        for k, (i, j) in enumerate(pairs):
            for sex in range(2):
                meiosis[sex, k, i] += 0.5
                meiosis[sex, k, j] += 0.5
        fusion = np.zeros((g, g, z))
        for a in range(g):
            for b in range(g):
                fusion[a, b, pairs.index(tuple(sorted((a, b))))] = 1.0
        self.meiosis, self.fusion = meiosis, fusion
        self.offspring_tensor = _engine_rs.compute_offspring_tensor(meiosis, fusion)
        self.meiosis_map = meiosis.reshape(-1).copy()
        self.female_ztype_compatibility = np.ones(z)
        self.male_ztype_compatibility = np.ones(z)
        self.female_only = np.zeros(z, dtype=bool)
        self.male_only = np.zeros(z, dtype=bool)
        self.has_sex_chromosomes = False


def make_locus(n_alleles: int = 2):
    try:
        from qorin import genetics
    except ImportError:
        return _StandInLocus(n_alleles)
    return genetics.autosomal_locus(n_alleles)


@pytest.fixture
def locus():
    return make_locus(2)


@pytest.fixture
def testing():
    from qorin import _engine_testing

    return _engine_testing
