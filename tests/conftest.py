import pytest

from qorin import _engine_testing, genetics


def make_locus(n_alleles: int = 2):
    return genetics.autosomal_locus(n_alleles)


@pytest.fixture
def testing():
    return _engine_testing


@pytest.fixture
def locus():
    return make_locus(2)
