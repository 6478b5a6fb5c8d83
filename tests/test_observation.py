"""Observation projection of count tensors."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from qorin import _engine_rs

project = _engine_rs.project_observation
LAYOUT = "Observation dimensions or deme selection do not match the population layout"


def reference(ind, mask, dims, selected, collapse_age, aggregate):
    n_demes, n_sexes, n_ages, n_z = dims
    s = n_sexes * n_ages * n_z
    t = len(mask) // s
    ind = ind.reshape(n_demes, n_sexes, n_ages, n_z)
    mask = mask.reshape(t, n_sexes, n_ages, n_z)
    groups = [list(selected)] if aggregate else [[d] for d in selected]
    p = 1 if collapse_age else n_ages
    out = np.zeros((t, len(groups), n_sexes, p))

    def dot(d, sx, a, k):
        acc = 0.0
        for z in range(n_z):
            acc += float(ind[d, sx, a, z]) * float(mask[k, sx, a, z])
        return acc

    for k in range(t):
        for l, group in enumerate(groups):
            for sx in range(n_sexes):
                if collapse_age:
                    acc = 0.0
                    for d in group:
                        deme = 0.0
                        for a in range(n_ages):
                            deme += dot(d, sx, a, k)
                        acc += deme
                    out[k, l, sx, 0] = acc
                else:
                    for a in range(n_ages):
                        acc = 0.0
                        for d in group:
                            acc += dot(d, sx, a, k)
                        out[k, l, sx, a] = acc
    return out.ravel()


def test_rows_collapse_and_aggregate():
    ind = np.arange(24, dtype=float)
    ones = np.ones(24)
    out = project(ind, ones, (1, 2, 3, 4), [0], False, False)
    np.testing.assert_array_equal(out, ind.reshape(6, 4).sum(axis=1))
    out = project(ind, ones, [1, 2, 3, 4], [0], True, False)
    np.testing.assert_array_equal(out, ind.reshape(2, 12).sum(axis=1))
    doubled = project(ind, ones, (1, 2, 3, 4), [0, 0], False, True)
    np.testing.assert_array_equal(doubled, 2 * ind.reshape(6, 4).sum(axis=1))
    twice = project(ind, ones, (1, 2, 3, 4), [0, 0], False, False)
    np.testing.assert_array_equal(twice, np.tile(ind.reshape(6, 4).sum(axis=1), 2))
    two_groups = project(ind, np.concatenate([ones, 2 * ones]), (1, 2, 3, 4), [0], False, False)
    assert two_groups.shape == (12,)
    np.testing.assert_array_equal(two_groups[6:], 2 * two_groups[:6])


def test_empty_mask_gives_empty_output():
    out = project(np.ones(24), np.zeros(0), (1, 2, 3, 4), [0], False, False)
    assert out.shape == (0,) and out.dtype == np.float64


@pytest.mark.parametrize("ind_len, mask_len, dims, selected", [
    (24, 25, (1, 2, 3, 4), [0]),
    (23, 24, (1, 2, 3, 4), [0]),
    (24, 24, (1, 2, 3, 4), [1]),
    (24, 24, (1, 2, 3, 4), []),
    (0, 0, (1, 0, 3, 4), [0]),
    (24, 24, (2**62, 2**62, 2**62, 4), [0]),
    (48, 24, (2, 2, 3, 4), [0, 2]),
])
def test_layout_errors(ind_len, mask_len, dims, selected):
    with pytest.raises(ValueError) as e:
        project(np.ones(ind_len), np.ones(mask_len), dims, selected, False, False)
    assert str(e.value) == LAYOUT


@pytest.mark.parametrize("kwargs, exc", [
    (dict(ind=np.ones((2, 12))), TypeError),
    (dict(ind=np.ones(24, dtype=np.float32)), TypeError),
    (dict(ind=list(range(24))), TypeError),
    (dict(mask=np.ones(48)[::2]), TypeError),
    (dict(dimensions=(1, 2, 3)), ValueError),
    (dict(dimensions=(1, 2, 3, -4)), OverflowError),
    (dict(dimensions=(1, 2, 3, 2**64)), OverflowError),
    (dict(dimensions="abcd"), TypeError),
    (dict(selected=[-1]), OverflowError),
    (dict(selected=[0.0]), TypeError),
    (dict(collapse_age=1), TypeError),
    (dict(aggregate=None), TypeError),
    (dict(ind=np.full(24, np.nan)), ValueError),
    (dict(mask=np.full(24, np.inf)), ValueError),
])
def test_argument_errors(kwargs, exc):
    args = dict(ind=np.ones(24), mask=np.ones(24), dimensions=(1, 2, 3, 4), selected=[0],
                collapse_age=False, aggregate=False)
    args.update(kwargs)
    with pytest.raises(exc):
        project(**args)


def test_non_contiguous_message():
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        project(np.ones(48)[::2], np.ones(24), (1, 2, 3, 4), [0], False, False)


@settings(max_examples=200, deadline=None)
@given(st.integers(1, 3), st.integers(1, 2), st.integers(1, 3), st.integers(1, 4),
       st.integers(0, 3), st.lists(st.integers(0, 2), min_size=1, max_size=4),
       st.booleans(), st.booleans(), st.integers(0, 2**32 - 1))
def test_matches_reference(n_demes, n_sexes, n_ages, n_z, t, selected, collapse, aggregate, seed):
    selected = [d % n_demes for d in selected]
    rng = np.random.default_rng(seed)
    s = n_sexes * n_ages * n_z
    ind = rng.random(n_demes * s) * 10.0 ** rng.integers(-5, 8, n_demes * s)
    mask = rng.random(t * s)
    dims = (n_demes, n_sexes, n_ages, n_z)
    got = project(ind, mask, dims, selected, collapse, aggregate)
    np.testing.assert_array_equal(got, reference(ind, mask, dims, selected, collapse, aggregate))
