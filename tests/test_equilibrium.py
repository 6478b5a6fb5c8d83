"""Equilibrium calibration: module functions, validation, and bit-for-bit
agreement with the host-side reference."""

import inspect
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st, HealthCheck

from qorin import _engine_rs as E
from qorin import _engine_testing as T
from qorin import reference
from qorin.contracts import Blueprint, Params

from conftest import make_locus, raw_blueprint, raw_params


def flat_args(A=4, start=2, **kw):
    args = dict(
        carrying_capacity=1000.0, eggs_per_female=50.0, sex_ratio=0.5,
        survival_rates=np.ones((2, A)), reproduction_rates=np.ones(A), fertility=np.ones(A),
        competition_weights=np.ones(A), new_adult_age=start, n_ages=A,
        has_sex_chromosomes=False, discrete_generation=False,
    )
    args.update(kw)
    return args


def bits(pair):
    # Exact bit patterns, except that every NaN counts as the same NaN: which
    # payload and sign survive an operation between NaNs is up to operand order
    # chosen by the compiler, and not part of the result.
    return tuple("nan" if math.isnan(x) else np.float64(x).tobytes() for x in pair)


def test_registration_order_and_signatures():
    names = [n for n in vars(E) if not n.startswith("__")]
    assert names.index("project_observation") < names.index("equilibrium_metrics") \
        < names.index("equilibrium_metrics_flat") < names.index("compute_offspring_tensor")
    assert str(inspect.signature(E.equilibrium_metrics)) == "(blueprint, params)"
    assert str(inspect.signature(E.equilibrium_metrics_flat)) == (
        "(carrying_capacity, eggs_per_female, sex_ratio, survival_rates, reproduction_rates, fertility, "
        "competition_weights, new_adult_age, n_ages, has_sex_chromosomes, discrete_generation, "
        "declared_distribution=None, external_expected_eggs=None)")


# ----------------------------------------------------------------- hand-worked cases


def test_hand_worked_default():
    # K = 1000, e = 0.5, all survival 1: lf[a] = lm[a] = 500 for a >= 1.
    # Q = 50 * (500 + 500) over ages 2, 3 = 50000; strength = Q*1 + (500+500)*1 = 51000.
    # rate = R / (Q * e2) = 1000 / 50000.
    assert E.equilibrium_metrics_flat(**flat_args()) == (51000.0, 1000.0 / 50000.0)


def test_unequal_age0_survival_weights_the_split():
    surv = np.array([[0.5, 1, 1, 1], [0.25, 1, 1, 1]])
    e, o = 0.5, 0.5
    E0 = e * 0.5 + o * 0.25
    lf1 = 1000.0 * ((e * 0.5) / E0)
    cs, rate = E.equilibrium_metrics_flat(**flat_args(survival_rates=surv, new_adult_age=1))
    Q = 50.0 * lf1 * 3  # ages 1..3, survival 1 beyond age 0
    assert cs == pytest.approx(Q)
    assert rate == pytest.approx(1000.0 / (Q * E0))


def test_equal_survival_splits_by_sex_ratio():
    surv = np.full((2, 3), 0.5)
    cs, _ = E.equilibrium_metrics_flat(**flat_args(A=3, start=2, sex_ratio=0.2, survival_rates=surv))
    # lf[1] = K*e = 200, lm[1] = 800; lf[2] = 100; Q = 50*100 = 5000
    assert cs == 5000.0 * 1.0 + (200.0 + 800.0) * 1.0


def test_declared_distribution_replaces_k():
    declared = np.array([[0.0, 30.0, 20.0, 10.0], [0.0, 10.0, 20.0, 10.0]])
    cs, rate = E.equilibrium_metrics_flat(**flat_args(declared_distribution=declared))
    Q = 50.0 * 20.0 + 50.0 * 10.0
    assert cs == Q + (30.0 + 10.0)
    assert rate == 40.0 / (Q * 1.0)


@pytest.mark.parametrize("ext, rate", [(0.0, 1.0), (-1.0, 1000.0 / 50000.0), (None, 1000.0 / 50000.0),
                                       (4000.0, 1000.0 / 4000.0)])
def test_external_expected_eggs(ext, rate):
    assert E.equilibrium_metrics_flat(**flat_args(external_expected_eggs=ext))[1] == rate


def test_new_adult_age_one_uses_the_age0_weight_only():
    w = np.array([2.0, 100.0, 100.0, 100.0])
    cs, _ = E.equilibrium_metrics_flat(**flat_args(start=1, competition_weights=w))
    assert cs == (50.0 * 500.0 * 3) * 2.0  # females only lay


def test_discrete_leaves_out_fertility_and_clamps_reproduction():
    args = flat_args(fertility=np.zeros(4), reproduction_rates=np.array([5.0, 5.0, 2.0, -1.0]))
    assert E.equilibrium_metrics_flat(**args)[0] == 1000.0  # no eggs: juveniles only
    args["discrete_generation"] = True
    assert E.equilibrium_metrics_flat(**args)[0] == 50.0 * 500.0 * 1.0 + 1000.0


def test_sex_chromosomes_fix_the_female_fraction():
    a = E.equilibrium_metrics_flat(**flat_args(sex_ratio=0.9, has_sex_chromosomes=True))
    b = E.equilibrium_metrics_flat(**flat_args(sex_ratio=0.5))
    assert a == b


@pytest.mark.parametrize("A, start", [(0, 0), (0, 3), (1, 0), (1, 1), (1, 5), (2, 7), (3, 3), (3, 10), (5, -2)])
def test_short_age_axes_stay_inside_the_arrays(A, start):
    rng = np.random.default_rng(A * 31 + start)
    args = flat_args(A=A, start=start, survival_rates=rng.random((2, A)), reproduction_rates=rng.random(A),
                     fertility=rng.random(A), competition_weights=rng.random(A))
    got = E.equilibrium_metrics_flat(**args)
    assert bits(got) == bits(reference.equilibrium_metrics(**args))
    if A >= 1:
        args["declared_distribution"] = rng.random((2, A))
        got = E.equilibrium_metrics_flat(**args)
        assert bits(got) == bits(reference.equilibrium_metrics(**args))


# ----------------------------------------------------------------- flat validation


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(survival_rates=np.ones(8)), "survival_rates shape must be (2, 4), got [8]"),
        (dict(survival_rates=np.ones((4, 2))), "survival_rates shape must be (2, 4), got [4, 2]"),
        (dict(survival_rates=np.ones((2, 4)), n_ages=5), "survival_rates shape must be (2, 5), got [2, 4]"),
        (dict(reproduction_rates=np.ones(3), fertility=np.ones(2)), "reproduction_rates must have length 4, got 3"),
        (dict(fertility=np.ones(5)), "fertility must have length 4, got 5"),
        (dict(competition_weights=np.ones(0)), "competition_weights must have length 4, got 0"),
        # lengths before contiguity
        (dict(survival_rates=np.ones((2, 8))[:, ::2], fertility=np.ones(5)), "fertility must have length 4, got 5"),
        (dict(survival_rates=np.ones((4, 4))[::2]), "survival_rates must be C-contiguous"),
        (dict(survival_rates=np.asfortranarray(np.ones((2, 4)))), "survival_rates must be C-contiguous"),
        (dict(reproduction_rates=np.ones(8)[::2]), "reproduction_rates must be C-contiguous"),
        (dict(fertility=np.ones(8)[::2], competition_weights=np.ones(8)[::2]), "fertility must be C-contiguous"),
        (dict(competition_weights=np.ones(8)[::2]), "competition_weights must be C-contiguous"),
        (dict(declared_distribution=np.ones(8)), "declared_distribution shape must be (2, 4), got [8]"),
        (dict(declared_distribution=np.ones((4, 4))[::2]), "declared_distribution must be C-contiguous"),
        (dict(declared_distribution=np.ones((2, 3)), fertility=np.ones(8)[::2]), "fertility must be C-contiguous"),
    ],
)
def test_flat_validation_order(changes, message):
    with pytest.raises(ValueError) as ei:
        E.equilibrium_metrics_flat(**flat_args(**changes))
    assert str(ei.value) == message


@pytest.mark.parametrize("empty", [np.zeros(0), np.zeros((2, 0)), np.zeros((0, 4))])
def test_flat_empty_declared_counts_as_absent(empty):
    assert E.equilibrium_metrics_flat(**flat_args(declared_distribution=empty)) == \
        E.equilibrium_metrics_flat(**flat_args())


@pytest.mark.parametrize(
    "changes, exc",
    [
        (dict(survival_rates=np.ones((2, 4), np.float32)), TypeError),
        (dict(reproduction_rates=np.ones(4, np.int64)), TypeError),
        (dict(fertility=[1.0, 1.0, 1.0, 1.0]), TypeError),
        (dict(competition_weights=np.ones((1, 4))), TypeError),
        (dict(carrying_capacity="1000"), TypeError),
        (dict(n_ages=2 ** 64), OverflowError),
        (dict(new_adult_age=4.5), TypeError),
        (dict(has_sex_chromosomes=1), TypeError),
        (dict(external_expected_eggs="x"), TypeError),
    ],
)
def test_flat_argument_types(changes, exc):
    with pytest.raises(exc):
        E.equilibrium_metrics_flat(**flat_args(**changes))


def test_flat_accepts_numpy_scalars():
    a = E.equilibrium_metrics_flat(**flat_args(carrying_capacity=np.float64(1000.0), eggs_per_female=np.array(50.0),
                                                new_adult_age=np.int64(2), n_ages=np.int32(4),
                                                has_sex_chromosomes=np.bool_(False), external_expected_eggs=1))
    b = E.equilibrium_metrics_flat(**flat_args(external_expected_eggs=1.0))
    assert a == b


def test_flat_positional_and_missing_arguments():
    args = list(flat_args().values())
    assert E.equilibrium_metrics_flat(*args) == E.equilibrium_metrics_flat(**flat_args())
    with pytest.raises(TypeError):
        E.equilibrium_metrics_flat(*args[:-1])
    with pytest.raises(TypeError):
        E.equilibrium_metrics_flat(*args, bogus=1)


# ----------------------------------------------------------------- contracts form


def model(A=4, start=2, **kw):
    locus = make_locus(2)
    bp = raw_blueprint(A, start, locus)  # also the edge cases the host layer refuses
    return bp, raw_params(bp, locus, **kw)


def test_contracts_form_matches_flat():
    bp, p = model(equilibrium_distribution=np.arange(8.0).reshape(2, 4), external_expected_eggs=300.0,
                  sex_ratio=0.3)
    got = E.equilibrium_metrics(bp, p)
    assert isinstance(got, tuple) and len(got) == 2
    assert got == E.equilibrium_metrics_flat(**flat_args(
        sex_ratio=0.3, declared_distribution=np.arange(8.0).reshape(2, 4), external_expected_eggs=300.0))
    assert bits(got) == bits(reference.equilibrium_metrics_from_contracts(bp, p))


def test_contracts_form_errors_propagate():
    bp, p = model()
    del p.fertility
    with pytest.raises(AttributeError):
        E.equilibrium_metrics(bp, p)
    bp, p = model()
    bp.ztype_names = ["only one"]
    with pytest.raises(ValueError, match="^Blueprint.ztype_names: expected 3 elements, got 1$"):
        E.equilibrium_metrics(bp, p)
    bp, p = model()
    p.fertility = np.ones(3)
    with pytest.raises(ValueError, match="^Params.fertility: expected 4 elements, got 3$"):
        E.equilibrium_metrics(bp, p)


def test_contracts_with_empty_adult_ages():
    # new_adult_age past the age axis: no adults, no eggs; competition stays on the axis
    for A, start in [(1, 1), (3, 3), (0, 0)]:
        bp, p = model(A=A, start=start)
        assert bits(E.equilibrium_metrics(bp, p)) == bits(reference.equilibrium_metrics_from_contracts(bp, p))
    bp, p = model(A=3, start=3)
    bp.new_adult_age = 9
    assert bits(E.equilibrium_metrics(bp, p)) == bits(reference.equilibrium_metrics_from_contracts(bp, p))


def test_kernel_clamps_the_deme_index():
    bp, p = model()
    c = T.contracts(bp, p).tile(3)
    c.pull_fields(2, ["carrying_capacity"], type("S", (), {"carrying_capacity": 10.0})())
    last = c.equilibrium(2)
    assert c.equilibrium(99) == last
    assert c.equilibrium(0) == E.equilibrium_metrics(bp, p) != last


# ----------------------------------------------------------------- engine == reference


finite = st.floats(-10.0, 1e6, allow_nan=False, allow_infinity=False)
any_float = st.one_of(finite, st.floats(allow_nan=True, allow_infinity=True),
                      st.sampled_from([0.0, -0.0, 1.0, 0.5, 1e-11, 1e300]))


@st.composite
def flat_inputs(draw):
    A = draw(st.integers(0, 9))
    start = draw(st.integers(-1, A + 2))
    vec = lambda n, el: np.array(draw(st.lists(el, min_size=n, max_size=n)), dtype=np.float64)  # noqa: E731
    el = draw(st.sampled_from([finite, any_float, st.floats(0.0, 1.2)]))
    args = flat_args(
        A=A, start=start,
        carrying_capacity=draw(el), eggs_per_female=draw(el), sex_ratio=draw(st.one_of(st.floats(0, 1), el)),
        survival_rates=vec(2 * A, el).reshape(2, A), reproduction_rates=vec(A, el), fertility=vec(A, el),
        competition_weights=vec(A, el), has_sex_chromosomes=draw(st.booleans()),
        discrete_generation=draw(st.booleans()),
    )
    if draw(st.booleans()):
        args["declared_distribution"] = vec(2 * A, el).reshape(2, A)
    if draw(st.booleans()):
        args["external_expected_eggs"] = draw(st.one_of(st.just(-1.0), el))
    return args


@settings(max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(flat_inputs())
def test_flat_equals_reference_bit_for_bit(args):
    assert bits(E.equilibrium_metrics_flat(**args)) == bits(reference.equilibrium_metrics(**args))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(flat_inputs())
def test_contracts_form_equals_reference_bit_for_bit(args):
    A = args["n_ages"]
    start = max(args["new_adult_age"], 0)
    bp, p = model(A=A, start=start)
    bp.has_sex_chromosomes = args["has_sex_chromosomes"]
    bp.discrete_generation = args["discrete_generation"]
    for name in ("carrying_capacity", "eggs_per_female", "sex_ratio"):
        setattr(p, name, float(args[name]))
    for name in ("survival_rates", "reproduction_rates", "fertility", "competition_weights"):
        setattr(p, name, args[name])
    p.equilibrium_distribution = args.get("declared_distribution", np.zeros(0))
    p.external_expected_eggs = float(args.get("external_expected_eggs", -1.0) if
                                     args.get("external_expected_eggs") is not None else -1.0)
    assert bits(E.equilibrium_metrics(bp, p)) == bits(reference.equilibrium_metrics_from_contracts(bp, p))


def test_underflowing_divisor_follows_ieee():
    # F * e2 underflows to 0: the rate is inf, as in the reference (which must not raise)
    args = flat_args(A=2, start=0, carrying_capacity=1.0, eggs_per_female=5e-324, sex_ratio=1.0,
                     survival_rates=np.array([[0.5, 0.0], [0.0, 0.0]]), reproduction_rates=np.array([0.0, 1.0]),
                     fertility=np.array([0.0, 1.0]), competition_weights=np.zeros(2))
    got = E.equilibrium_metrics_flat(**args)
    assert got[1] == math.inf
    assert bits(got) == bits(reference.equilibrium_metrics(**args))


def _unaligned(values):
    values = np.asarray(values, dtype=np.float64)
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    a = raw[1:].view(np.float64).reshape(values.shape)
    a[...] = values
    assert not a.flags.aligned and a.flags.c_contiguous
    return a


def test_flat_reads_unaligned_arrays():
    args = flat_args(survival_rates=np.full((2, 4), 0.9), declared_distribution=np.arange(8.0).reshape(2, 4))
    expected = E.equilibrium_metrics_flat(**args)
    for name in ("survival_rates", "reproduction_rates", "fertility", "competition_weights",
                 "declared_distribution"):
        args[name] = _unaligned(args[name])
    assert E.equilibrium_metrics_flat(**args) == expected
