"""Offspring tensor from meiosis and fusion tables; Mendelian oracles."""

import itertools

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from qorin import _engine_rs, genetics

compute = _engine_rs.compute_offspring_tensor


def reference(meiosis, fusion):
    _, z, g = meiosis.shape
    out = np.zeros(z ** 3)
    for i, j, k in itertools.product(range(z), repeat=3):
        total = 0.0
        for f in range(g):
            a = meiosis[0, i, f]
            if a == 0.0:
                continue
            for m in range(g):
                b = meiosis[1, j, m]
                if b == 0.0:
                    continue
                total = total + (a * b) * fusion[f, m, k]
        out[(i * z + j) * z + k] = total
    return out


def test_trivial_model():
    assert compute(np.ones((2, 1, 1)), np.ones((1, 1, 1))).tolist() == [1.0]


def test_mendelian_two_alleles():
    model = genetics.autosomal_locus(2)
    t = model.offspring_tensor.reshape(3, 3, 3)
    aa, ab, bb = 0, 1, 2
    assert t[ab, ab].tolist() == [0.25, 0.5, 0.25]
    assert t[aa, bb].tolist() == [0.0, 1.0, 0.0]
    assert t[aa, ab].tolist() == [0.5, 0.5, 0.0]
    assert t[bb, bb].tolist() == [0.0, 0.0, 1.0]
    np.testing.assert_array_equal(t.sum(axis=2), np.ones((3, 3)))


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5])
def test_mendelian_n_alleles(n):
    model = genetics.autosomal_locus(n)
    z = model.n_ztypes
    assert z == n * (n + 1) // 2
    t = model.offspring_tensor.reshape(z, z, z)
    np.testing.assert_array_equal(t.sum(axis=2), np.ones((z, z)))
    pairs = [(i, j) for i in range(n) for j in range(i, n)]
    for (i, (a, b)), (j, (c, d)) in itertools.product(enumerate(pairs), repeat=2):
        expected = np.zeros(z)
        for x in (a, b):
            for y in (c, d):
                expected[pairs.index((min(x, y), max(x, y)))] += 0.25
        np.testing.assert_array_equal(t[i, j], expected)


def test_xy_locus_gives_half_sons_half_daughters():
    model = genetics.xy_locus(2)
    z = model.n_ztypes
    t = model.offspring_tensor.reshape(z, z, z)
    female = [i for i in range(z) if model.female_only[i]]
    male = [i for i in range(z) if model.male_only[i]]
    for i in female:
        for j in male:
            assert t[i, j, female].sum() == 0.5
            assert t[i, j, male].sum() == 0.5
    # X1/X2 mother, X1/Y father: daughters X1/X1 or X1/X2, sons X1/Y or X2/Y.
    x1x2, x1y, x2y = model.labels.index("X1/X2"), model.labels.index("X1/Y"), model.labels.index("X2/Y")
    row = t[x1x2, x1y]
    assert row[model.labels.index("X1/X1")] == 0.25 and row[x1x2] == 0.25
    assert row[x1y] == 0.25 and row[x2y] == 0.25


def test_combined_loci_factorise():
    a, b = genetics.autosomal_locus(2), genetics.autosomal_locus(3)
    c = genetics.combine(a, b)
    ta = a.offspring_tensor.reshape(3, 3, 3)
    tb = b.offspring_tensor.reshape(6, 6, 6)
    tc = c.offspring_tensor.reshape(18, 18, 18)
    expected = np.einsum("ijk,lmn->iljmkn", ta, tb).reshape(18, 18, 18)
    np.testing.assert_allclose(tc, expected, rtol=0, atol=1e-15)


def test_zero_meiosis_entries_skip_non_finite_fusion():
    meiosis = np.array([[[1.0, 0.0]], [[1.0, 0.0]]])  # Z=1, G=2
    fusion = np.array([[[1.0], [np.nan]], [[np.inf], [np.nan]]])
    assert compute(meiosis, fusion).tolist() == [1.0]


@pytest.mark.parametrize("meiosis, fusion, message", [
    (np.ones((3, 2, 2)), np.ones((2, 2, 2)),
     "meiosis must have a leading sex axis of 2, got shape [3, 2, 2]"),
    (np.ones(0), np.ones((2, 2, 2)), "meiosis must have a leading sex axis of 2, got shape [0]"),
    (np.ones((2, 3, 2)), np.ones((2, 2, 4)), "fusion shape must be (2, 2, 3), got [2, 2, 4]"),
    (np.ones((2, 3, 2)), np.ones((2, 2)), "fusion shape must be (2, 2, 3), got [2, 2]"),
    (np.ones((2, 3, 2))[:, ::-1], np.ones((2, 2, 3)), "meiosis must be C-contiguous"),
    (np.ones((2, 3, 2)), np.asfortranarray(np.ones((2, 2, 3))), "fusion must be C-contiguous"),
    (np.full((2, 1, 1), np.nan), np.ones((1, 1, 1)), "meiosis must contain finite values"),
])
def test_validation_order_and_messages(meiosis, fusion, message):
    with pytest.raises(ValueError) as e:
        compute(meiosis, fusion)
    assert str(e.value) == message


def test_meiosis_with_too_few_axes_rejected():
    with pytest.raises(ValueError, match="meiosis"):
        compute(np.ones((2, 3)), np.ones((3, 3, 2)))


@pytest.mark.parametrize("meiosis, fusion", [
    (np.ones((2, 1, 1), dtype=np.float32), np.ones((1, 1, 1))),
    (np.ones((2, 1, 1)), np.ones((1, 1, 1), dtype=np.int64)),
    ([[[1.0]], [[1.0]]], np.ones((1, 1, 1))),
    (np.ones((2, 1, 1)), None),
])
def test_wrong_types(meiosis, fusion):
    with pytest.raises(TypeError):
        compute(meiosis, fusion)


def test_keywords_and_argument_count():
    m, f = np.ones((2, 1, 1)), np.ones((1, 1, 1))
    assert compute(fusion=f, meiosis=m).tolist() == [1.0]
    with pytest.raises(TypeError):
        compute(m)
    with pytest.raises(TypeError):
        compute(m, f, m)
    with pytest.raises(TypeError):
        compute(m, fusion=f, meiosis=m)


def test_result_owns_its_data_and_inputs_untouched():
    model = genetics.autosomal_locus(2)
    m, f = model.meiosis.copy(), model.fusion.copy()
    out = compute(m, f)
    assert out.flags.owndata and out.flags.writeable
    np.testing.assert_array_equal(m, model.meiosis)
    np.testing.assert_array_equal(f, model.fusion)


@settings(max_examples=150, deadline=None)
@given(st.integers(1, 4), st.integers(1, 4), st.data())
def test_matches_reference(z, g, data):
    elems = st.one_of(st.just(0.0), st.floats(0, 1, allow_nan=False))
    meiosis = data.draw(hnp.arrays(np.float64, (2, z, g), elements=elems))
    fusion = data.draw(hnp.arrays(np.float64, (g, g, z), elements=elems))
    np.testing.assert_array_equal(compute(meiosis, fusion), reference(meiosis, fusion))


@settings(max_examples=200, deadline=None)
@given(hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=4, max_side=3)),
       hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=4, max_side=3)))
def test_arbitrary_shapes_never_crash(meiosis, fusion):
    try:
        out = compute(meiosis, fusion)
    except ValueError:
        return
    z = meiosis.shape[1]
    assert out.shape == (z ** 3,)
