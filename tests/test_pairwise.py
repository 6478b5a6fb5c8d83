"""Totals in NumPy's pairwise order: bit-identical to numpy.sum."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from qorin import _engine_testing as T


def adversarial(n, rng):
    big = np.where(np.arange(n) % 2 == 0, 1e16, -1e16) * rng.choice([1.0, -1.0], n)
    small = rng.standard_normal(n)
    mix = rng.choice([1e16, 1.0, -1e16, 1e-16, 3.0e7], n)
    return [big + small, mix, rng.standard_normal(n) * 10.0 ** rng.integers(-20, 20, n)]


def test_equals_numpy_for_every_length_up_to_1000():
    rng = np.random.default_rng(2024)
    for n in range(0, 1001):
        for a in adversarial(n, rng):
            got = T.pairwise_sum(a)
            want = float(np.sum(a))
            assert got == want or (np.isnan(got) and np.isnan(want)), n


def test_empty_and_short_sums():
    assert T.pairwise_sum(np.zeros(0)) == 0.0
    seven = np.array([1e16, 1.0, -1e16, 1.0, 1.0, 1.0, 1.0])
    # Strictly left to right from 0.0: the first 1.0 is absorbed by 1e16.
    assert T.pairwise_sum(seven) == (((((1e16 + 1.0) - 1e16) + 1.0) + 1.0) + 1.0) + 1.0


def test_pairwise_differs_from_left_to_right():
    a = np.tile([1e16, 1.0, -1e16, 1.0], 64)
    left = 0.0
    for v in a:
        left += v
    assert T.pairwise_sum(a) == float(np.sum(a))
    assert T.pairwise_sum(a) != left


@pytest.mark.parametrize("bad", [np.zeros((2, 2)), np.zeros(3, dtype=np.float32), [1.0, 2.0],
                                 np.zeros(8)[::2]])
def test_rejects_non_vectors(bad):
    with pytest.raises(TypeError):
        T.pairwise_sum(bad)


@settings(max_examples=300, deadline=None)
@given(hnp.arrays(np.float64, st.integers(0, 700),
                  elements=st.floats(allow_nan=False, allow_infinity=False, width=64)))
def test_property_equals_numpy(a):
    got = T.pairwise_sum(a)
    with np.errstate(over="ignore", invalid="ignore"):
        want = float(np.sum(a))
    assert got == want or (np.isnan(got) and np.isnan(want))
