"""CSR migration: the two module functions and the per-deme-stream kernel,
compared bit for bit with the pure-Python model of migration_model.py, plus
conservation, the cap on what leaves a cell, malformed inputs and argument
handling."""
import inspect

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from qorin import _engine_rs as E
from qorin import _engine_testing as T

import migration_model as ref
from rng_model import splitmix_words

SETTINGS = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# Stream words as a session holds them: never all zero (the generator's fixed
# point, which sessions replace by the seed-0 state when restoring).
WORDS = st.lists(st.integers(0, 2**64 - 1), min_size=4, max_size=4).filter(any)

RATE = st.one_of(st.sampled_from([0.0, 1.0, 0.5, 1e-11, 0.9999999999, -0.0]), st.floats(0.0, 1.0))


def u64(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64).ravel().tolist()


def count(kind, hi):
    if kind == "integral":
        return st.integers(0, hi).map(float)
    return st.one_of(st.integers(0, hi).map(float), st.integers(0, hi).map(lambda k: k + 0.5),
                     st.floats(0.0, float(hi)), st.sampled_from([0.4, 1.0000000001, 2.6, 1e-12, 1e-300, 5e-324]))


@st.composite
def cases(draw, kind="fractional", broken=False, max_demes=5, ages=(1, 3), ztypes=(1, 3)):
    """A random stacked state, graph and rate column. Rows may be empty, hold
    self-loops and repeated destinations; their weights sum to one, to less,
    to more, or to zero."""
    D = draw(st.integers(1, max_demes))
    A = draw(st.integers(*ages))
    Z = draw(st.integers(*ztypes))
    dest, weights, indptr = [], [], [0]
    for _ in range(D):
        row = draw(st.lists(st.integers(0, D - 1), max_size=4))
        w = np.array(draw(st.lists(st.one_of(st.just(0.0), st.floats(0.0, 3.0)),
                                   min_size=len(row), max_size=len(row))))
        shape = draw(st.sampled_from(["normalized", "normalized", "half", "over", "zero", "raw"]))
        if shape != "raw" and w.sum() > 0:
            w = w / w.sum() * {"normalized": 1.0, "half": 0.5, "over": 1.6, "zero": 0.0}[shape]
        dest += row
        weights += w.tolist()
        indptr.append(len(dest))
    rate = np.array(draw(st.lists(RATE, min_size=D * 2 * A, max_size=D * 2 * A)))
    sperm = np.array(draw(st.lists(count(kind, 12), min_size=D * A * Z * Z,
                                   max_size=D * A * Z * Z))).reshape(D, A, Z, Z)
    ind = np.zeros((D, 2, A, Z))
    ind[:, 0] = sperm.sum(axis=3) + np.array(
        draw(st.lists(count(kind, 30), min_size=D * A * Z, max_size=D * A * Z))).reshape(D, A, Z)
    ind[:, 1] = np.array(draw(st.lists(count(kind, 30), min_size=D * A * Z,
                                       max_size=D * A * Z))).reshape(D, A, Z)
    if broken and draw(st.booleans()):
        # Stored sperm exceeding its females (the unmated part turns negative).
        d, a, z = (draw(st.integers(0, n - 1)) for n in (D, A, Z))
        ind[d, 0, a, z] = max(ind[d, 0, a, z] - sperm[d, a, z].sum() - draw(st.sampled_from([1.0, 3.0])), 0.0)
    return dict(ind=ind, sperm=sperm, indptr=np.array(indptr, dtype=np.int64),
                dest=np.array(dest, dtype=np.int64), weights=np.array(weights), rate=rate, D=D, A=A, Z=Z)


def run_engine(c, mode, seed=0):
    args = (c["ind"], c["sperm"], c["indptr"], c["dest"], c["weights"], c["rate"])
    if mode == "deterministic":
        return E.migrate_csr_deterministic(*args, False)
    return E.migrate_csr_stochastic(*args, seed, mode == "continuous")


def run_model(c, mode, seed=0, literal=False):
    rngs = ref.new_streams(seed, c["D"]) if mode != "deterministic" else None
    return ref.migrate(c["ind"].ravel().tolist(), c["sperm"].ravel().tolist(), c["indptr"].tolist(),
                       c["dest"].tolist(), c["weights"].tolist(), c["rate"].tolist(),
                       c["D"], c["A"], c["Z"], mode, rngs=rngs, literal=literal)


# ---------------------------------------------------------------- against the model

@pytest.mark.parametrize("mode", ref.MODES)
@SETTINGS
@given(c=cases(broken=True), seed=st.integers(0, 2**64 - 1))
def test_matches_model_bit_for_bit(mode, c, seed):
    ind_before, sperm_before = c["ind"].copy(), c["sperm"].copy()
    ind, sperm = run_engine(c, mode, seed)
    m_ind, m_sperm = run_model(c, mode, seed)
    assert ind.shape == c["ind"].shape and sperm.shape == c["sperm"].shape
    assert u64(ind) == u64(m_ind) and u64(sperm) == u64(m_sperm)
    # The inputs are left as they were.
    assert u64(c["ind"]) == u64(ind_before) and u64(c["sperm"]) == u64(sperm_before)


@SETTINGS
@given(c=cases(kind="integral", broken=True), seed=st.integers(0, 2**64 - 1))
def test_integral_counts_follow_the_uncapped_rule(c, seed):
    # Integer draws on integral counts never send more than a cell holds, so
    # the cap never applies and the result is the uncapped rule's.
    ind, sperm = run_engine(c, "stochastic", seed)
    l_ind, l_sperm = run_model(c, "stochastic", seed, literal=True)
    assert u64(ind) == u64(l_ind) and u64(sperm) == u64(l_sperm)


@pytest.mark.parametrize("mode", ref.MODES)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(c=cases(), data=st.data())
def test_persistent_streams_continue_like_the_model(mode, c, data):
    # The per-deme form advances each deme's own stream exactly as the model
    # does (empty rows included), and repeated calls reuse their buffers.
    words = [data.draw(WORDS) for _ in range(c["D"])]
    rngs = [ref.Sampler(w) for w in words]
    m_ind = m_sperm = None
    for _ in range(2):
        m_ind, m_sperm = ref.migrate(c["ind"].ravel().tolist(), c["sperm"].ravel().tolist(),
                                     c["indptr"].tolist(), c["dest"].tolist(), c["weights"].tolist(),
                                     c["rate"].tolist(), c["D"], c["A"], c["Z"], mode, rngs=rngs)
    ind, sperm, after, allocations = T.migration_kernel(
        mode, c["ind"].ravel(), c["sperm"].ravel(), c["indptr"], c["dest"], c["weights"], c["rate"],
        c["D"], c["A"], c["Z"], words, repeats=2)
    assert u64(ind) == u64(m_ind) and u64(sperm) == u64(m_sperm)
    if mode == "deterministic":
        assert after == words
    else:
        assert after == [r.s for r in rngs]
    assert allocations in (0, None)  # None: not counted in sanitizer builds


@pytest.mark.parametrize("mode", ref.MODES)
@SETTINGS
@given(c=cases(max_demes=12), data=st.data())
def test_parallel_and_windowed_kernels_match_one_thread(mode, c, data):
    # Destinations filled on several threads, and stochastic demes drawing a
    # window at a time (down to one deme per window), give the very numbers
    # and stream words of one thread and one window.
    words = [data.draw(WORDS) for _ in range(c["D"])]
    args = (mode, c["ind"].ravel(), c["sperm"].ravel(), c["indptr"], c["dest"], c["weights"], c["rate"],
            c["D"], c["A"], c["Z"], words)
    ind, sperm, after, _ = T.migration_kernel(*args)
    # Deterministic outputs are also written around the caches (as large
    # landscapes' are) on some of the runs.
    for threads, window_bytes, stream_bytes in [(2, 8, 8), (8, 300, 0), (3, 0, 8), (1, 0, 8)]:
        T.set_worker_threads(threads)
        try:
            got = T.migration_kernel(*args, repeats=2 if threads == 2 else 1, parallel=True,
                                     window_bytes=window_bytes, stream_bytes=stream_bytes)
            if threads == 2:
                assert got[3] in (0, None)  # buffers reused by the second call
                got = T.migration_kernel(*args, parallel=True, window_bytes=window_bytes,
                                         stream_bytes=stream_bytes)
        finally:
            T.set_worker_threads(0)
        assert u64(got[0]) == u64(ind) and u64(got[1]) == u64(sperm)
        assert got[2] == after


@st.composite
def sparse_cases(draw):
    """A landscape most of whose cells hold nothing: whole demes, sex and age
    classes and single cells emptied, stored-sperm classes mostly absent, and
    age classes that do not migrate (rate 0) beside ones that all leave (1)."""
    c = draw(cases(broken=True, max_demes=8, ages=(1, 4), ztypes=(1, 6)))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    D, A, Z = c["D"], c["A"], c["Z"]
    ind, sperm = c["ind"], c["sperm"]
    sperm *= rng.random(sperm.shape) < draw(st.sampled_from([0.0, 0.05, 0.3]))
    unmated = np.where(rng.random((D, A, Z)) < 0.5, 0.0, ind[:, 0] - c["sperm"].sum(axis=3))
    ind[:, 0] = sperm.sum(axis=3) + np.maximum(unmated, 0.0)
    ind[:, 1] *= rng.random((D, A, Z)) < 0.3
    empty = rng.random(D) < 0.4
    ind[empty], sperm[empty] = 0.0, 0.0
    rate = c["rate"].reshape(D, 2, A)
    rate[rng.random((D, 2, A)) < 0.4] = 0.0
    rate[rng.random((D, 2, A)) < 0.1] = 1.0
    return c


@pytest.mark.parametrize("mode", ref.MODES)
@SETTINGS
@given(c=sparse_cases(), data=st.data())
def test_sparse_landscapes_match_model_values_and_streams(mode, c, data):
    # Cells that hold nothing and classes that stay put draw nothing: the
    # kernel passes over them, yet every value and every stream word after
    # the call is the model's, which visits every cell.
    words = [data.draw(WORDS) for _ in range(c["D"])]
    rngs = [ref.Sampler(w) for w in words]
    m_ind, m_sperm = ref.migrate(c["ind"].ravel().tolist(), c["sperm"].ravel().tolist(), c["indptr"].tolist(),
                                 c["dest"].tolist(), c["weights"].tolist(), c["rate"].tolist(),
                                 c["D"], c["A"], c["Z"], mode, rngs=rngs)
    ind, sperm, after, _ = T.migration_kernel(
        mode, c["ind"].ravel(), c["sperm"].ravel(), c["indptr"], c["dest"], c["weights"], c["rate"],
        c["D"], c["A"], c["Z"], words)
    assert u64(ind) == u64(m_ind) and u64(sperm) == u64(m_sperm)
    assert after == (words if mode == "deterministic" else [r.s for r in rngs])


@SETTINGS
@given(c=cases(broken=True, max_demes=4, ages=(2, 4), ztypes=(3, 11)))
def test_wide_demes_match_model_bit_for_bit(c):
    # Many cells per age: the kernel sums several cells side by side, in
    # blocks and a remainder.
    ind, sperm = run_engine(c, "deterministic")
    m_ind, m_sperm = run_model(c, "deterministic")
    assert u64(ind) == u64(m_ind) and u64(sperm) == u64(m_sperm)


# ---------------------------------------------------------------- properties

def totals_close(a, b):
    return np.allclose(a, b, rtol=1e-12, atol=1e-8)


@pytest.mark.parametrize("mode", ref.MODES)
@SETTINGS
@given(c=cases(), seed=st.integers(0, 2**64 - 1))
def test_no_negative_counts_and_conservation(mode, c, seed):
    ind, sperm = run_engine(c, mode, seed)
    assert (ind >= 0).all() and (sperm >= 0).all()
    # Per sex, age and ztype (and stored-sperm class), the sum over demes is unchanged.
    assert totals_close(ind.sum(axis=0), c["ind"].sum(axis=0))
    assert totals_close(sperm.sum(axis=0), c["sperm"].sum(axis=0))
    # Stored sperm travels with its females: no deme ends with more stored
    # sperm than females.
    assert (ind[:, 0] - sperm.sum(axis=3) >= -1e-8 * np.maximum(1.0, ind[:, 0])).all()


def one_cell(count, rate, n_dest=1, n_demes=2):
    """Deme 0 holds `count` males and sends to demes 1..n_dest with equal weights."""
    ind = np.zeros((n_demes, 2, 1, 1))
    ind[0, 1, 0, 0] = count
    rates = np.zeros(n_demes * 2)
    rates[1] = rate
    indptr = np.array([0, n_dest] + [n_dest] * (n_demes - 1), dtype=np.int64)
    return dict(ind=ind, sperm=np.zeros((n_demes, 1, 1, 1)), indptr=indptr,
                dest=np.arange(1, n_dest + 1, dtype=np.int64), weights=np.full(n_dest, 1.0 / n_dest),
                rate=rates, D=n_demes, A=1, Z=1)


@pytest.mark.parametrize("rate, n_dest", [(1.0, 1), (1.0, 2), (0.9, 1), (0.9, 3), (0.5, 2)])
def test_fractional_count_never_sends_more_than_it_holds(rate, n_dest):
    # 2.6 individuals are drawn as 3; when all 3 leave, the 2.6 leave and
    # nothing (not -0.4) stays home.
    c = one_cell(2.6, rate, n_dest, n_demes=n_dest + 1)
    full_departures = 0
    for seed in range(60):
        ind, _ = run_engine(c, "stochastic", seed)
        home, away = ind[0, 1, 0, 0], ind[1:, 1, 0, 0]
        assert home >= 0 and (away >= 0).all()
        assert home + away.sum() == pytest.approx(2.6, abs=1e-12)
        full_departures += home == 0.0
        lit, _ = run_model(c, "stochastic", seed, literal=True)
        if lit[1] < 0:  # the uncapped rule left a negative remainder here
            assert home == 0.0 and away.sum() == pytest.approx(2.6, abs=1e-12)
    assert full_departures > 0
    if rate == 1.0:
        assert full_departures == 60


@pytest.mark.parametrize("mode", ref.MODES)
def test_rows_summing_above_one_send_at_most_the_cell(mode):
    c = one_cell(10.0, 1.0, n_dest=2, n_demes=3)
    c["weights"] = np.array([0.8, 0.8])
    ind, _ = run_engine(c, mode, 5)
    assert ind[0, 1, 0, 0] == 0.0
    assert ind[1:, 1, 0, 0].sum() == pytest.approx(10.0, abs=1e-12)


@pytest.mark.parametrize("where", ["stored sperm", "unmated part", "male cell"])
def test_smallest_counts_never_send_more_than_they_hold(where):
    # 0.75 * 5e-324 rounds up to 5e-324, and so does each of its two 0.55
    # shares: the flows of the smallest count add up to twice what it holds,
    # and the deterministic step must settle them wherever the count sits.
    tiny = 5e-324
    ind = np.zeros((3, 2, 1, 1))
    sperm = np.zeros((3, 1, 1, 1))
    ind[:, :, 0, 0] = 4.0
    sperm[:, 0, 0, 0] = 1.0
    if where == "stored sperm":
        sperm[0, 0, 0, 0] = tiny
        ind[0, 0, 0, 0] = 4.0
    elif where == "unmated part":
        sperm[0, 0, 0, 0] = 0.0
        ind[0, 0, 0, 0] = tiny
    else:
        ind[0, 1, 0, 0] = tiny
    c = dict(ind=ind, sperm=sperm, indptr=np.array([0, 2, 2, 2], dtype=np.int64),
             dest=np.array([1, 2], dtype=np.int64), weights=np.array([0.55, 0.55]),
             rate=np.full(3 * 2, 0.75), D=3, A=1, Z=1)
    got_ind, got_sperm = run_engine(c, "deterministic")
    m_ind, m_sperm = run_model(c, "deterministic")
    assert u64(got_ind) == u64(m_ind) and u64(got_sperm) == u64(m_sperm)
    assert (got_ind >= 0).all() and (got_sperm >= 0).all()


def test_sums_of_negative_zeros_start_from_positive_zero():
    # Deme 0 sends -0.0 of everything (rate -0.0) to deme 1, whose own cells
    # hold -0.0: every term of deme 1's cells is -0.0, and a sum started from
    # 0.0, as the model's, is +0.0 (the first term alone would be -0.0).
    ind = np.zeros((2, 2, 2, 2))
    sperm = np.zeros((2, 2, 2, 2))
    ind[0] = 5.0
    sperm[0] = 1.0
    ind[1] = -0.0
    sperm[1] = -0.0
    c = dict(ind=ind, sperm=sperm, indptr=np.array([0, 1, 1], dtype=np.int64),
             dest=np.array([1], dtype=np.int64), weights=np.array([1.0]),
             rate=np.full(2 * 2 * 2, -0.0), D=2, A=2, Z=2)
    got_ind, got_sperm = run_engine(c, "deterministic")
    m_ind, m_sperm = run_model(c, "deterministic")
    assert u64(got_ind) == u64(m_ind) and u64(got_sperm) == u64(m_sperm)
    assert not np.signbit(got_ind[1]).any() and not np.signbit(got_sperm[1]).any()


def test_two_symmetric_demes_converge_to_equal_densities():
    D, A, Z = 2, 2, 2
    ind = np.zeros((D, 2, A, Z))
    sperm = np.zeros((D, A, Z, Z))
    ind[0] = [[[40.0, 10.0], [5.0, 0.0]], [[30.0, 20.0], [0.0, 8.0]]]
    sperm[0, 0] = [[10.0, 5.0], [2.0, 0.0]]
    indptr, dest, w = np.array([0, 1, 2]), np.array([1, 0]), np.array([1.0, 1.0])
    rate = np.full(D * 2 * A, 0.1)
    total = ind.sum(axis=0)
    for _ in range(300):
        ind, sperm = E.migrate_csr_deterministic(ind, sperm, indptr, dest, w, rate, False)
    np.testing.assert_allclose(ind[0], ind[1], rtol=1e-12)
    np.testing.assert_allclose(ind[0], total / 2, rtol=1e-12)
    np.testing.assert_allclose(sperm[0], sperm[1], rtol=1e-12)


def test_deterministic_worked_example():
    # Rate 1 over a row whose weights sum to 0.5 moves half of every cell; a
    # self-loop returns its share home.
    ind = np.zeros((3, 2, 1, 1))
    sperm = np.zeros((3, 1, 1, 1))
    ind[0, 0, 0, 0], sperm[0, 0, 0, 0], ind[0, 1, 0, 0] = 8.0, 4.0, 6.0
    indptr, dest, w = np.array([0, 3, 3, 3]), np.array([1, 0, 2]), np.array([0.25, 0.125, 0.125])
    out, out_s = E.migrate_csr_deterministic(ind, sperm, indptr, dest, w, np.ones(6), True)
    assert out[:, 0, 0, 0].tolist() == [5.0, 2.0, 1.0]
    assert out_s[:, 0, 0, 0].tolist() == [2.5, 1.0, 0.5]
    assert out[:, 1, 0, 0].tolist() == [3.75, 1.5, 0.75]


@pytest.mark.parametrize("mode", ref.MODES)
def test_empty_graph_and_zero_rates_keep_every_cell(mode):
    c = one_cell(7.0, 0.6, n_dest=1)
    c["ind"][0, 0, 0, 0], c["sperm"][0, 0, 0, 0] = 5.0, 3.0
    for indptr, dest, w, rate in [(np.array([0, 0, 0]), np.array([], dtype=np.int64), np.array([]), c["rate"]),
                                  (c["indptr"], c["dest"], c["weights"], np.zeros(4)),
                                  (c["indptr"], c["dest"], np.zeros(1), c["rate"] * 0 + 1)]:
        c2 = dict(c, indptr=indptr, dest=dest, weights=w, rate=rate)
        ind, sperm = run_engine(c2, mode, 3)
        assert u64(ind) == u64(c["ind"]) and u64(sperm) == u64(c["sperm"])


def test_stochastic_seed_reproducible_and_switch_changes_sampling():
    c = one_cell(1000.0, 0.3, n_dest=3, n_demes=4)
    a = run_engine(c, "stochastic", 11)
    b = run_engine(c, "stochastic", 11)
    assert u64(a[0]) == u64(b[0])
    assert (a[0] == np.round(a[0])).all()
    cont = run_engine(c, "continuous", 11)
    assert (cont[0] != np.round(cont[0])).any()
    assert u64(run_engine(c, "stochastic", 12)[0]) != u64(a[0])


def test_large_counts_do_not_fail():
    for count in (1e15, 1e300):
        c = one_cell(count, 0.5, n_dest=2, n_demes=3)
        for mode in ref.MODES:
            ind, _ = run_engine(c, mode, 1)
            assert (ind >= 0).all() and np.isfinite(ind).all()


# ---------------------------------------------------------------- malformed input

def base_args():
    c = one_cell(5.0, 0.5, n_dest=2, n_demes=3)
    return dict(individual_count_all=c["ind"], sperm_storage_all=c["sperm"], indptr=c["indptr"],
                dest_idx=c["dest"], weights=c["weights"], rate=c["rate"])


def call(fn, **over):
    args = dict(base_args(), **over)
    if fn == "deterministic":
        return E.migrate_csr_deterministic(**args, stay_after=False)
    return E.migrate_csr_stochastic(**args, seed=1, continuous_sampling=False)


i64 = lambda *v: np.array(v, dtype=np.int64)  # noqa: E731


@pytest.mark.parametrize("fn", ["deterministic", "stochastic"])
@pytest.mark.parametrize("over, exc, message", [
    (dict(indptr=i64(0, 2, 2)), RuntimeError, "migration indptr length 3 does not match n_demes + 1 (4)"),
    (dict(rate=np.zeros(5)), RuntimeError, "migration rate length 5 does not match (n_demes, 2, n_ages) = 6"),
    (dict(indptr=i64(1, 2, 2, 2)), ValueError, "migration indptr must start at 0, got 1"),
    (dict(indptr=i64(0, 2, 1, 2)), ValueError,
     "migration indptr must be non-decreasing (indptr[1] = 2 > indptr[2] = 1)"),
    (dict(indptr=i64(0, 2, 2, 3)), ValueError, "migration indptr ends at 3 but dest_idx has 2 and weights 2 entries"),
    (dict(indptr=i64(0, 2**62, 2**62, 2**62)), ValueError, "migration indptr ends at 4611686018427387904"),
    (dict(indptr=i64(0, 1, 1, 1)), ValueError, "migration indptr ends at 1 but dest_idx has 2"),
    (dict(weights=np.array([0.5])), ValueError, "migration indptr ends at 2 but dest_idx has 2 and weights 1"),
    (dict(dest_idx=i64(1, 3)), ValueError, "migration dest_idx[1] = 3 is out of range for 3 demes"),
    (dict(dest_idx=i64(-1, 1)), ValueError, "migration dest_idx[0] = -1 is out of range for 3 demes"),
    (dict(dest_idx=i64(1, 2**63 - 1)), ValueError, "is out of range for 3 demes"),
    (dict(weights=np.array([0.5, np.nan])), ValueError, "migration weights[1] must be finite and nonnegative, got NaN"),
    (dict(weights=np.array([-0.5, 1.5])), ValueError, "migration weights[0] must be finite and nonnegative, got -0.5"),
    (dict(weights=np.array([np.inf, 0.0])), ValueError, "got inf"),
    (dict(rate=np.array([0, 1.5, 0, 0, 0, 0.0])), ValueError,
     "migration rate of deme 0, sex 1, age 0 must be a fraction in [0, 1], got 1.5"),
    (dict(rate=np.array([0, 0, 0, 0, 0, -0.1])), ValueError,
     "migration rate of deme 2, sex 1, age 0 must be a fraction in [0, 1], got -0.1"),
    (dict(rate=np.array([np.nan, 0, 0, 0, 0, 0])), ValueError, "got NaN"),
    (dict(individual_count_all=np.full((3, 2, 1, 1), np.nan)), ValueError,
     "individual_count_all must contain finite nonnegative counts, got NaN"),
    (dict(individual_count_all=np.full((3, 2, 1, 1), -1.0)), ValueError,
     "individual_count_all must contain finite nonnegative counts, got -1"),
    (dict(sperm_storage_all=np.full((3, 1, 1, 1), np.inf)), ValueError,
     "sperm_storage_all must contain finite nonnegative counts, got inf"),
    (dict(individual_count_all=np.zeros((3, 1, 4, 5))), ValueError,
     "individual_count_all must have shape (n_demes, 2, n_ages, n_ztypes), got [3, 1, 4, 5]"),
    (dict(sperm_storage_all=np.zeros((3, 1, 1, 2))), ValueError,
     "sperm_storage_all must have shape (3, 1, 1, 1), got [3, 1, 1, 2]"),
])
def test_malformed_input_is_refused(fn, over, exc, message):
    args = dict(base_args(), **over)
    before = {k: v.copy() for k, v in args.items()}
    with pytest.raises(exc) as info:
        call(fn, **over)
    assert message in str(info.value)
    for k, v in args.items():
        assert u64(v.view(np.float64) if v.dtype == np.int64 else v) == \
            u64(before[k].view(np.float64) if v.dtype == np.int64 else before[k])


@pytest.mark.parametrize("fn", ["deterministic", "stochastic"])
@pytest.mark.parametrize("name", ["individual_count_all", "sperm_storage_all", "indptr", "dest_idx",
                                  "weights", "rate"])
def test_non_contiguous_arrays_are_refused(fn, name):
    a = base_args()[name]
    doubled = np.repeat(a, 2, axis=-1) if a.ndim == 1 else np.repeat(a, 2, axis=0)
    strided = doubled[..., ::2] if a.ndim == 1 else doubled[::2]
    assert not strided.flags.c_contiguous and np.array_equal(strided, a)
    with pytest.raises(ValueError, match="^The given array is not contiguous$"):
        call(fn, **{name: strided})


def test_fortran_order_state_is_refused():
    ind = np.asfortranarray(np.zeros((3, 2, 2, 2)))
    with pytest.raises(ValueError, match="^The given array is not contiguous$"):
        E.migrate_csr_deterministic(ind, np.zeros((3, 2, 2, 2)), i64(0, 0, 0, 0), i64(), np.array([]),
                                    np.zeros(12), False)


@pytest.mark.parametrize("name, value", [
    ("individual_count_all", np.zeros((3, 2, 1, 1), dtype=np.float32)),
    ("individual_count_all", np.zeros((3, 2, 1))),
    ("individual_count_all", [[0.0]]),
    ("sperm_storage_all", np.zeros((3, 1, 1))),
    ("indptr", np.array([0, 2, 2, 2], dtype=np.int32)),
    ("indptr", np.array([0.0, 2, 2, 2])),
    ("dest_idx", np.array([[1, 2]])),
    ("weights", np.array([0.5, 0.5], dtype=np.float32)),
    ("rate", np.zeros((3, 2))),
    ("rate", None),
])
def test_wrong_argument_types_name_the_argument(name, value):
    for fn in ("deterministic", "stochastic"):
        with pytest.raises(TypeError, match=f"argument '{name}'"):
            call(fn, **{name: value})


@pytest.mark.parametrize("seed, exc", [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError),
                                       ("1", TypeError)])
def test_seed_must_be_an_unsigned_64_bit_integer(seed, exc):
    with pytest.raises(exc):
        E.migrate_csr_stochastic(*base_args().values(), seed, False)


def test_scalar_arguments():
    args = list(base_args().values())
    a = E.migrate_csr_stochastic(*args, 2**64 - 1, np.bool_(True))
    b = E.migrate_csr_stochastic(*args, np.uint64(2**64 - 1), True)
    assert u64(a[0]) == u64(b[0])
    # stay_after is checked as a bool and changes nothing.
    d1 = E.migrate_csr_deterministic(*args, True)
    d2 = E.migrate_csr_deterministic(*args, stay_after=np.bool_(False))
    assert u64(d1[0]) == u64(d2[0]) and u64(d1[1]) == u64(d2[1])
    for bad in (1, None, "yes"):
        with pytest.raises(TypeError, match="argument 'stay_after'"):
            E.migrate_csr_deterministic(*args, bad)
        with pytest.raises(TypeError, match="argument 'continuous_sampling'"):
            E.migrate_csr_stochastic(*args, 0, bad)


def test_signatures_and_returned_arrays_own_their_data():
    assert str(inspect.signature(E.migrate_csr_deterministic)) == \
        "(individual_count_all, sperm_storage_all, indptr, dest_idx, weights, rate, stay_after)"
    assert str(inspect.signature(E.migrate_csr_stochastic)) == \
        "(individual_count_all, sperm_storage_all, indptr, dest_idx, weights, rate, seed, continuous_sampling)"
    args = base_args()
    for out in (E.migrate_csr_deterministic(*args.values(), False), E.migrate_csr_stochastic(*args.values(), 0, True)):
        assert isinstance(out, tuple) and len(out) == 2
        for arr in out:
            assert arr.dtype == np.float64 and arr.flags.owndata and arr.flags.c_contiguous


def test_no_demes_and_empty_axes():
    for D, A, Z in [(0, 1, 1), (2, 0, 3), (2, 3, 0)]:
        ind, sperm = np.zeros((D, 2, A, Z)), np.zeros((D, A, Z, Z))
        indptr = np.zeros(D + 1, dtype=np.int64)
        out = E.migrate_csr_deterministic(ind, sperm, indptr, i64(), np.array([]), np.zeros(D * 2 * A), False)
        assert out[0].shape == ind.shape and out[1].shape == sperm.shape
        out = E.migrate_csr_stochastic(ind, sperm, indptr, i64(), np.array([]), np.zeros(D * 2 * A), 0, True)
        assert out[0].shape == ind.shape


def test_kernel_stream_count_is_checked():
    c = one_cell(5.0, 0.5, n_dest=1)
    with pytest.raises(RuntimeError, match=r"^migration requires 2 per-deme RNG streams, got 1$"):
        T.migration_kernel("stochastic", c["ind"].ravel(), c["sperm"].ravel(), c["indptr"], c["dest"],
                           c["weights"], c["rate"], 2, 1, 1, [splitmix_words(0)])


def test_subnormal_weight_sum_is_normalized_without_overflow():
    # 1 / 5e-324 overflows; the row must still split its migrants finitely.
    c = one_cell(2.6, 1.0, n_dest=1)
    c["weights"] = np.array([5e-324])
    for mode in ("stochastic", "continuous"):
        for seed in range(20):
            ind, _ = run_engine(c, mode, seed)
            assert np.isfinite(ind).all() and (ind >= 0).all()
            assert ind.sum() == pytest.approx(2.6, abs=1e-12)
