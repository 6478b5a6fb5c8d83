"""Session random stream: generator and seeding against a pure-Python model,
exact float conversions, ziggurat tables, draw-for-draw agreement of every
sampler with a Python model of the same algorithm, draw-consumption rules,
moments, multinomial splits and failures."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from qorin import _engine_testing as t

from rng_model import M64, TABLES, PyRng, splitmix_words


def draw(words, kind, n, a=0.0, b=0.0):
    return t.rng_draw(words, kind, n, a, b)


# ---------------------------------------------------------------------------
# Generator, seeding and float conversions
# ---------------------------------------------------------------------------
def test_seed_zero_and_reference_vectors():
    assert t.rng_new(0)[0] == 0xE220A8397B1DCDAF
    # xoshiro256++ from state (1, 2, 3, 4): first output rotl(1 + 4, 23) + 1.
    out, words = draw([1, 2, 3, 4], "next_u64", 3)
    assert int(out[0]) == (5 << 23) + 1 == 41943041
    py = PyRng([1, 2, 3, 4])
    assert [int(v) for v in out] == [py.u64() for _ in range(3)]
    assert words == py.s


@given(st.integers(0, M64))
@settings(max_examples=50, deadline=None)
def test_seeding_and_steps_match_model(seed):
    words = t.rng_new(seed)
    assert words == splitmix_words(seed)
    out, after = draw(words, "next_u64", 20)
    py = PyRng(words)
    assert [int(v) for v in out] == [py.u64() for _ in range(20)]
    assert after == py.s


@pytest.mark.parametrize("kind", ["uniform01", "open01", "standard_normal", "standard_exponential"])
def test_floats_match_model_draw_for_draw(kind):
    words = t.rng_new(7)
    out, after = draw(words, kind, 20000)
    py = PyRng(words)
    fn = {"uniform01": py.uniform01, "open01": py.open01, "standard_normal": py.normal,
          "standard_exponential": py.exponential}[kind]
    assert out.tolist() == [fn() for _ in range(20000)]
    assert after == py.s
    if kind == "open01":
        assert out.min() > 0.0 and out.max() < 1.0
    if kind == "uniform01":
        assert out.min() >= 0.0 and out.max() < 1.0


def test_float_conversions_at_extreme_outputs():
    # Words whose first output is 0 and all-ones: s0 + s3 == 0 with s0 == 0.
    assert draw([0, 5, 7, 0], "uniform01", 1)[0][0] == 0.0
    assert draw([0, 5, 7, 0], "open01", 1)[0][0] == 2.0**-53
    # s0 = 2^64-1, s3 = 0: output rotl(-1, 23) + (-1) = 2^64 - 2.
    assert draw([M64, 5, 7, 0], "uniform01", 1)[0][0] == 1 - 2.0**-53
    assert draw([M64, 5, 7, 0], "open01", 1)[0][0] == 1 - 2.0**-53


# ---------------------------------------------------------------------------
# Ziggurat tables
# ---------------------------------------------------------------------------
def layer_x(first, R, V, f, step):
    x = [first, R] + [0.0] * 255
    for i in range(1, 255):
        x[i + 1] = step(V / x[i] + f(x[i]))
    return x


def test_ziggurat_tables():
    nf_ = lambda x: math.exp(-x * x / 2)  # noqa: E731
    nx = layer_x(0.00492867323399 / nf_(3.654152885361009), 3.654152885361009, 0.00492867323399, nf_,
                 lambda a: math.sqrt(-2 * math.log(a)))
    ex = layer_x(0.0039496598225815571993 / math.exp(-7.69711747013105), 7.69711747013105,
                 0.0039496598225815571993, lambda x: math.exp(-x), lambda a: -math.log(a))
    assert TABLES["normal_x"] == nx
    assert TABLES["exp_x"] == ex
    # Telling rows.
    assert (nx[0], nx[2], nx[255]) == (3.91075795953709, 3.4492782985609645, 0.2152418959132738)
    assert (ex[0], ex[255]) == (8.697117470131053, 0.06385216381500157)
    stored_n = {0: 0.000477467764586655, 3: 0.004037972593371872, 94: 0.2064054063986793, 256: 1.0}
    stored_e = {0: 0.000167066692307963, 1: 0.000454134353841497, 2: 0.000967269282327174,
                3: 0.001536299780301573, 5: 0.002788798793574076, 87: 0.10478613930657014, 256: 1.0}
    assert TABLES["normal_f"] == [stored_n.get(i, nf_(v)) for i, v in enumerate(nx)]
    assert TABLES["exp_f"] == [stored_e.get(i, math.exp(-v)) for i, v in enumerate(ex)]
    assert TABLES["normal_f"][1] == 0.001260285930498598


# ---------------------------------------------------------------------------
# Samplers draw for draw
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("kind,a,b,count", [
    ("gamma", 0.3, 0, 3000), ("gamma", 1.0, 0, 3000), ("gamma", 2.5, 0, 3000), ("gamma", 1e9, 0, 500),
    ("poisson", 3.5, 0, 3000), ("poisson", 12.0, 0, 3000), ("poisson", 40.0, 0, 3000), ("poisson", 1e5, 0, 2000),
    ("binomial", 20, 0.3, 3000), ("binomial", 7, 0.85, 3000), ("binomial", 1000, 0.5, 3000),
    ("binomial", 60, 0.35, 3000), ("binomial", 10**6, 0.7, 3000), ("binomial", 3 * 10**18, 1e-18, 2000),
])
def test_sampler_matches_model(kind, a, b, count):
    words = t.rng_new(2024)
    out, after = draw(words, kind, count, a, b)
    py = PyRng(words)
    fn = {"gamma": lambda: py.gamma(a), "poisson": lambda: py.poisson(a), "binomial": lambda: py.binomial(a, b)}
    assert out.tolist() == [float(fn[kind]()) for _ in range(count)]
    assert after == py.s


@pytest.mark.parametrize("low,high", [(0, 1), (-5, 7), (-(2**63), 2**63 - 1), (0, 12345),
                                      (10, 2**62 + 3)])
def test_random_range_matches_model(low, high):
    words = t.rng_new(99)
    out, after = t.rng_range(words, low, high, 2000)
    py = PyRng(words)
    rng_ = (high - low) & M64
    expect = []
    for _ in range(2000):
        m = py.u64() * rng_
        hi, lo = m >> 64, m & M64
        if lo > (-rng_ & M64) and lo + ((py.u64() * rng_) >> 64) > M64:
            hi += 1
        expect.append(low + hi)
    assert out.tolist() == expect
    assert after == py.s
    assert out.min() >= low and out.max() < high


# ---------------------------------------------------------------------------
# Draw consumption
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("kind,a,b,expected", [
    ("binomial", 0, 0.5, 0), ("binomial", -3, 0.5, 0), ("binomial", 10, 0.0, 0), ("binomial", 10, -1.0, 0),
    ("binomial", 10, 1.0, 10), ("binomial", 10, 2.0, 10), ("binomial", 0, math.nan, 0),
    ("poisson", 0.0, 0, 0), ("poisson", 1e-11, 0, 0), ("poisson", -4.0, 0, 0), ("poisson", 2e19, 0, 2e19),
    ("poisson", math.inf, 0, math.inf), ("poisson", -math.inf, 0, 0),
    ("gamma", 1e-11, 0, 0), ("gamma", -2.0, 0, 0), ("gamma", 2.0**104, 0, 2.0**104), ("gamma", math.inf, 0, math.inf),
    ("continuous_binomial", 10.0, 1e-10, 0), ("continuous_binomial", 10.0, 0.9999999999, 10.0),
    ("continuous_binomial", 1.0000000001, 0.25, 1.0000000001 * 0.25),
    ("continuous_poisson", 1e-10, 0, 0), ("continuous_poisson", -1.0, 0, 0),
])
def test_early_returns_consume_nothing(kind, a, b, expected):
    words = t.rng_new(5)
    out, after = draw(words, kind, 3, a, b)
    assert out.tolist() == [expected] * 3
    assert after == words


def test_consumption_equivalences():
    words = t.rng_new(11)
    g, wg = draw(words, "gamma", 500, 1.0)
    e, we = draw(words, "standard_exponential", 500)
    assert g.tolist() == e.tolist() and wg == we
    # The normal approximation of huge shapes takes one normal draw.
    g, wg = draw(words, "gamma", 100, 4e8)
    z, wz = draw(words, "standard_normal", 100)
    assert g.tolist() == [max(4e8 + math.sqrt(4e8) * v, 0.0) for v in z] and wg == wz
    # continuous_poisson is a gamma draw of shape lambda.
    assert draw(words, "continuous_poisson", 200, 3.7)[0].tolist() == draw(words, "gamma", 200, 3.7)[0].tolist()


@pytest.mark.parametrize("n", [20, 1000, 12345])
def test_binomial_flip(n):
    words = t.rng_new(3)
    hi, w_hi = draw(words, "binomial", 2000, n, 0.7)
    lo, w_lo = draw(words, "binomial", 2000, n, 0.3)
    assert hi.tolist() == (n - lo).tolist() and w_hi == w_lo


@given(st.sampled_from(["uniform01", "standard_normal", "standard_exponential", "binomial", "poisson", "gamma",
                        "continuous_binomial"]), st.integers(0, 50), st.integers(0, 50), st.integers(0, 2**64 - 1))
@settings(max_examples=60, deadline=None)
def test_words_continue_the_stream(kind, n1, n2, seed):
    a, b = {"binomial": (40, 0.4), "poisson": (30.0, 0), "gamma": (0.7, 0), "continuous_binomial": (9.5, 0.4)}.get(
        kind, (0.0, 0.0))
    words = t.rng_new(seed)
    whole, w_whole = draw(words, kind, n1 + n2, a, b)
    first, w_mid = draw(words, kind, n1, a, b)
    second, w_end = draw(w_mid, kind, n2, a, b)
    assert np.concatenate([first, second]).tolist() == whole.tolist() and w_end == w_whole


# ---------------------------------------------------------------------------
# Moments (6-sigma bounds on the sample mean and the sample variance)
# ---------------------------------------------------------------------------
def beta_scaled(n, p):
    al, be = p * (n - 1), (n - 1) * (1 - p)
    var = n * n * al * be / ((al + be) ** 2 * (al + be + 1))
    kurt = 6 * ((al - be) ** 2 * (al + be + 1) - al * be * (al + be + 2)) / (al * be * (al + be + 2) * (al + be + 3))
    return n * p, var, var * var * (kurt + 3)


def binom_m(n, p):
    v = n * p * (1 - p)
    return n * p, v, v * (1 + 3 * (n - 2) * p * (1 - p))


MOMENTS = [
    ("uniform01", 0, 0, (0.5, 1 / 12, 1 / 80)), ("open01", 0, 0, (0.5, 1 / 12, 1 / 80)),
    ("standard_normal", 0, 0, (0.0, 1.0, 3.0)), ("standard_exponential", 0, 0, (1.0, 1.0, 9.0)),
    ("binomial", 20, 0.3, binom_m(20, 0.3)), ("binomial", 40, 0.8, binom_m(40, 0.8)),
    ("binomial", 1000, 0.5, binom_m(1000, 0.5)), ("binomial", 100, 0.15, binom_m(100, 0.15)),
    ("binomial", 10**7, 0.4, binom_m(10**7, 0.4)), ("binomial", 3 * 10**18, 1e-18, (3.0, 3.0, 30.0)),
    ("poisson", 0.5, 0, (0.5, 0.5, 0.5 * 2.5)), ("poisson", 11.9, 0, (11.9, 11.9, 11.9 * 36.7)),
    ("poisson", 12.0, 0, (12.0, 12.0, 12.0 * 37)), ("poisson", 300.0, 0, (300.0, 300.0, 300.0 * 901)),
    ("poisson", 1e6, 0, (1e6, 1e6, 1e6 * (1 + 3e6))),
    ("gamma", 0.2, 0, (0.2, 0.2, 3 * 0.2 * 2.2)), ("gamma", 1.0, 0, (1.0, 1.0, 9.0)),
    ("gamma", 4.5, 0, (4.5, 4.5, 3 * 4.5 * 6.5)), ("gamma", 1e9, 0, (1e9, 1e9, 3e18)),
    ("continuous_poisson", 2.5, 0, (2.5, 2.5, 3 * 2.5 * 4.5)),
    ("continuous_binomial", 25.0, 0.3, beta_scaled(25.0, 0.3)),
]


@pytest.mark.parametrize("kind,a,b,m", MOMENTS, ids=[f"{k}-{a}-{b}" for k, a, b, _ in MOMENTS])
def test_moments(kind, a, b, m):
    mean, var, mu4 = m
    n = 200_000
    x, _ = draw(t.rng_new(17), kind, n, a, b)
    assert abs(x.mean() - mean) < 6 * math.sqrt(var / n)
    assert abs(x.var() - var) < 6 * math.sqrt((mu4 - var * var) / n) + 1e-12 * var
    if kind in ("binomial", "poisson"):
        assert np.all(x == np.floor(x)) and x.min() >= 0
    if kind == "binomial":
        assert x.max() <= a


# ---------------------------------------------------------------------------
# Multinomial splits
# ---------------------------------------------------------------------------
def test_multinomial_is_the_chain_of_binomials():
    words = t.rng_new(8)
    probs = np.array([0.2, 0.0, 0.3, 0.4])  # sums to 0.9: the last category takes the remainder
    out, after = t.rng_multinomial(words, 1000, probs)
    w, n, rem, expect = words, 1000, 1.0, []
    for p in probs[:-1]:
        x = 0.0
        if p > 0:
            (x,), w = draw(w, "binomial", 1, n, min(p / rem, 1.0))
            n -= int(x)
        expect.append(x)
        rem -= p
    assert out.tolist() == expect + [float(n)] and after == w
    assert out.sum() == 1000


@pytest.mark.parametrize("n,probs,expected", [
    (7, [1.0], [7.0]), (0, [0.5, 0.5], [0.0, 0.0]), (-2, [0.5, 0.5], [0.0, 0.0]), (5, [], []),
    (9, [0.0, 0.0, 0.3], [0.0, 0.0, 9.0]),
])
def test_multinomial_without_draws(n, probs, expected):
    words = t.rng_new(1)
    out, after = t.rng_multinomial(words, n, np.array(probs, dtype=np.float64))
    assert out.tolist() == expected and after == words


@pytest.mark.parametrize("total", [1.0, 0.4, 1.0000000001, 0.0])
def test_continuous_multinomial_small_total_is_exact(total):
    words, probs = t.rng_new(2), np.array([0.1, 0.25, 0.65])
    out, after = t.rng_multinomial(words, total, probs, continuous=True)
    assert out.tolist() == [total * p for p in probs] and after == words


def test_continuous_multinomial_gamma_split():
    words, probs, total = t.rng_new(4), np.array([0.5, 1e-12, 0.3, 0.2]), 250.0
    out, after = t.rng_multinomial(words, total, probs, continuous=True)
    w, g = words, []
    for p in probs:
        shape = (total - 1) * p
        if shape > 1e-10:
            (v,), w = draw(w, "gamma", 1, shape)
        else:
            v = 0.0
        g.append(v)
    acc = sum(g)
    assert after == w
    assert out.tolist() == [v * (total / acc) for v in g]
    assert out[1] == 0.0 and abs(out.sum() - total) <= total * 1e-6


# ---------------------------------------------------------------------------
# Failures
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("kind,a,b,msg", [
    ("gamma", math.nan, 0, "positive gamma shape must be valid"),
    ("poisson", math.nan, 0, "positive lambda must be valid"),
    ("binomial", 5, math.nan, "clamped binomial parameters must be valid"),
    ("continuous_binomial", math.inf, 0.5, "continuous_binomial(): n and p must be finite"),
    ("continuous_binomial", 5.0, math.nan, "continuous_binomial(): n and p must be finite"),
    ("continuous_poisson", math.inf, 0, "continuous_poisson(): lambda must be finite"),
    ("continuous_poisson", math.nan, 0, "continuous_poisson(): lambda must be finite"),
    ("random_range", 5, 5, "cannot sample empty range"),
    ("random_range", 6, 5, "cannot sample empty range"),
])
def test_sampler_failures(kind, a, b, msg):
    with pytest.raises(RuntimeError) as e:
        draw(t.rng_new(0), kind, 1, a, b)
    assert str(e.value) == msg


@pytest.mark.parametrize("call,exc", [
    (lambda: t.rng_draw([1, 2, 3], "uniform01", 1), ValueError),
    (lambda: t.rng_draw([1, 2, 3, 4, 5], "uniform01", 1), ValueError),
    (lambda: t.rng_draw(5, "uniform01", 1), TypeError),
    (lambda: t.rng_draw([1, 2, 3, "x"], "uniform01", 1), TypeError),
    (lambda: t.rng_draw([1, 2, 3, 2**64], "uniform01", 1), OverflowError),
    (lambda: t.rng_draw([1, 2, 3, -1], "uniform01", 1), OverflowError),
    (lambda: t.rng_draw([1, 2, 3, 4], "cauchy", 1), ValueError),
    (lambda: t.rng_draw([1, 2, 3, 4], "uniform01", -1), ValueError),
    (lambda: t.rng_draw([1, 2, 3, 4], "binomial", 1, 2**63, 0.5), OverflowError),
    (lambda: t.rng_draw([1, 2, 3, 4], "binomial", 1, 2.5, 0.5), TypeError),
    (lambda: t.rng_new(-1), OverflowError),
    (lambda: t.rng_multinomial([1, 2, 3, 4], 5, [0.5, 0.5]), TypeError),
    (lambda: t.rng_multinomial([1, 2, 3, 4], 5, np.ones((2, 2))), TypeError),
])
def test_bad_arguments(call, exc):
    with pytest.raises(exc):
        call()


def test_word_count_message():
    with pytest.raises(ValueError, match=r"^rng_words must contain 4 state words, got 3$"):
        t.rng_draw([1, 2, 3], "uniform01", 1)


def test_sampler_memo_draws_as_fresh_set_ups():
    # Draws whose set-ups a memo keeps (repeats hit, many keys evict each
    # other, copies start empty) are the draws of set-ups made afresh, and
    # leave the stream where they do.
    rng = np.random.default_rng(7)
    # More keys than a memo's BTPE and inversion tables hold (2 x 2048 each).
    keys = [(int(n), float(p)) for n, p in zip(rng.integers(1, 400, 9000), rng.uniform(0.0, 1.0, 9000))]
    keys += [(int(n), 0.002) for n in rng.integers(1, 5000, 500)]  # inversion with large n
    keys += [(-1, float(lam)) for lam in rng.choice([0.5, 3.0, 11.9, 12.0, 40.0, 1e4], 500)]
    order = rng.integers(0, len(keys), 24000)
    ns = np.array([keys[i][0] for i in order], dtype=np.int64)
    ps = np.array([keys[i][1] for i in order])
    words = t.rng_new(11)
    for memos in (1, 3):
        got, after = t.rng_memo_draws(words, ns, ps, memos=memos)
        w = words
        expect = []
        for n, p in zip(ns[:3000], ps[:3000]):
            d, w = (t.rng_draw(w, "poisson", 1, p) if n < 0 else t.rng_draw(w, "binomial", 1, int(n), p))
            expect.append(d[0])
        assert got[:3000].tolist() == expect
        _, tail = t.rng_memo_draws(words, ns[:3000], ps[:3000])
        assert tail == w
        rest, after_rest = t.rng_memo_draws(w, ns[3000:], ps[3000:], memos=2)
        assert got[3000:].tolist() == rest.tolist() and after == after_rest


def _round_half_away(x):
    """Nearest integer, halves away from zero, from the exact value of x."""
    if not math.isfinite(x):
        return x
    from fractions import Fraction

    return math.copysign(float(math.floor(abs(Fraction(x)) + Fraction(1, 2))), x)


def _round_count(x):
    if not x > 0:
        return 0
    r = _round_half_away(x)
    return 2**63 - 1 if r >= 2.0**63 else int(r)


_ROUNDING_EDGES = [0.0, -0.0, 0.5, -0.5, 1.5, 2.5, -2.5, 0.49999999999999994, -0.49999999999999994, 0.3, -0.3,
                   5e-324, -5e-324, 2.0**52 - 0.5, 2.0**52 - 1.5, 2.0**52, 2.0**52 + 1, 2.0**53 + 2, 2.0**63,
                   2.0**63 - 1024, 1e300, -1e300, math.inf, -math.inf, math.nan, 9.5e18, 4503599627370495.5]


@given(st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=40))
@settings(max_examples=200)
def test_rounding_of_counts_matches_exact_rounding(xs):
    """The kernels' inline rounding (halves away from zero) and count
    rounding (NaN and negatives to 0, saturating at 2^63 - 1), at the edges
    of exactness and on drawn values and the halves around them."""
    near = [np.nextafter(h, s) for h in (0.5, 1.5, 1e6 + 0.5, 2.0**51 + 0.5) for s in (0.0, np.inf)]
    values = np.array(_ROUNDING_EDGES + near + xs, dtype=np.float64)
    away, counts = t.round_values(values)
    expected = np.array([_round_half_away(float(x)) for x in values])
    assert away.tobytes() == expected.tobytes()  # signs of zeros and NaN included
    assert counts.tolist() == [_round_count(float(x)) for x in values]
