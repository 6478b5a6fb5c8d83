"""HistoryStore: ordering and continuation, eviction, cutting with logs, observation."""

import gc
import inspect
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from qorin import _engine_rs, _engine_testing as T

HistoryStore = _engine_rs.HistoryStore
ParameterLog = _engine_rs.ParameterLog
DIMS = (1, 2, 2, 2)  # 8 counts


def store(width=3, raw=True, max_rows=None, dims=DIMS):
    return HistoryStore(width, dims, raw, max_rows=max_rows)


def rows(*ticks, width=3):
    return np.array([[t] + [t * 10.0 + k for k in range(1, width)] for t in ticks], dtype=float)


def contents(h):
    return h.ticks(), h.query().tolist(), h.boundaries(), h.max_rows, T.history_cursors(h)


def test_registration_order_and_signatures():
    names = [n for n in vars(_engine_rs) if not n.startswith("_")]
    assert names[:3] == ["HistoryStore", "ParameterLog", "project_observation"]
    assert str(inspect.signature(HistoryStore)) == "(width, dimensions, raw, max_rows=None)"
    h = store()
    expected = {
        "row": "(tick)", "query": "(start=0, end=None)", "ticks": "()", "boundaries": "()",
        "append": "(rows, continuation=False)", "truncate": "(tick)", "restore_timeline": "(tick)",
        "clear": "()", "observe": "(target)",
        "configure_observation": "(mask, selected, collapse_age, aggregate)",
        "bind_log": "(log)", "bind_logs": "(logs)",
    }
    for name, sig in expected.items():
        assert str(inspect.signature(getattr(h, name))) == sig


@pytest.mark.parametrize("width, max_rows", [(0, None), (3, 0), (0, 0)])
def test_constructor_rejects_zero_sizes(width, max_rows):
    with pytest.raises(ValueError, match="^row_size and max_rows must be positive$"):
        store(width, max_rows=max_rows)


@pytest.mark.parametrize(
    "args, exc",
    [((-1, DIMS, True), OverflowError), ((3, DIMS, 1), TypeError), ((3, (1, 2, 3), True), ValueError),
     ((3, "abcd", True), TypeError), ((2**64, DIMS, True), OverflowError), ((3.0, DIMS, True), TypeError)],
)
def test_constructor_argument_errors(args, exc):
    with pytest.raises(exc):
        HistoryStore(*args)


def test_eviction_keeps_newest_rows():
    h = store(max_rows=2)
    for t in range(3):
        assert T.history_record(h, t, np.array([1.0, 2.0]), np.array([]), False)
    assert h.ticks() == [1, 2]
    with pytest.raises(ValueError, match=r"^Tick 0 not found in history\.$"):
        h.row(0)
    np.testing.assert_array_equal(h.row(2), [2.0, 1.0, 2.0])
    assert len(T.history_cursors(h)) == 2 and len(h.boundaries()) == 2


def test_max_rows_property():
    h = store()
    h.append(rows(0, 1, 2, 3, 4))
    h.max_rows = 1
    assert h.ticks() == [4] and h.max_rows == 1
    h.max_rows = None
    h.append(rows(5, 6))
    assert h.ticks() == [4, 5, 6]
    with pytest.raises(ValueError, match=r"^max_rows must be >= 1 or None$"):
        h.max_rows = 0
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del h.max_rows
    with pytest.raises(OverflowError):
        h.max_rows = -2
    assert h.max_rows is None and h.ticks() == [4, 5, 6]


def test_record_ordering_and_continuation():
    h = store()
    ind, none = np.array([1.0, 2.0]), np.array([])
    assert T.history_record(h, 5, ind, none, False)
    with pytest.raises(ValueError, match=r"^History already contains tick 5\.$"):
        T.history_record(h, 5, ind, none, False)
    assert not T.history_record(h, 5, ind, none, True)
    with pytest.raises(ValueError, match="^Kernel History boundary payload does not match the latest recorded state$"):
        T.history_record(h, 5, np.array([1.0, 2.5]), none, True)
    with pytest.raises(ValueError, match="^Kernel History starts before the latest recorded tick$"):
        T.history_record(h, 4, ind, none, True)
    assert h.ticks() == [5]


@pytest.mark.parametrize("row", [[2.5, 0, 0], [np.nan, 0, 0], [np.inf, 0, 0], [1e19, 0, 0], [-1e19, 0, 0], [1, 0]])
def test_append_row_rejects_bad_tick_or_width(row):
    h = store()
    with pytest.raises(ValueError, match="^History row has an invalid width or tick$"):
        T.history_append_row(h, np.array(row, dtype=float), False)
    assert h.ticks() == []


def test_append_batch_rules():
    h = store()
    with pytest.raises(ValueError, match="^History ticks must be strictly increasing and unique"):
        h.append(rows(3, 3))
    assert h.ticks() == []
    h.append(rows(1, 3))
    h.append(rows(3, 4, 5), continuation=True)  # identical tick-3 row skipped
    assert h.ticks() == [1, 3, 4, 5]
    with pytest.raises(ValueError, match="^Kernel History boundary payload"):
        h.append(np.array([[5.0, 0.0, 0.0], [6.0, 0.0, 0.0]]), continuation=True)
    for batch, cont in [(rows(5, 6), False), (rows(4, 6), True), (rows(2), False)]:
        with pytest.raises(ValueError, match="^History ticks must be strictly increasing and unique; batch starts before the latest tick$"):
            h.append(batch, continuation=cont)
    h.append(np.zeros((0, 3)))
    assert h.ticks() == [1, 3, 4, 5]


@pytest.mark.parametrize(
    "batch, exc, msg",
    [
        (np.zeros((2, 4)), ValueError, "^History row width does not match schema$"),
        (np.zeros(3), ValueError, "^History row width does not match schema$"),
        (np.zeros((1, 3, 2)), ValueError, "^History row width does not match schema$"),
        (np.array([[9.5, 0, 0]]), ValueError, "^History tick must be a finite integer$"),
        (np.array([[9, 0, 0], [np.nan, 0, 0]]), ValueError, "^History tick must be a finite integer$"),
        (np.array([[1e300, 0, 0]]), ValueError, "^History tick must be a finite integer$"),
        (np.zeros((1, 3), dtype=np.int64), TypeError, None),
        ([[9.0, 0.0, 0.0]], TypeError, None),
    ],
)
def test_append_bad_batches_change_nothing(batch, exc, msg):
    h = store()
    h.append(rows(7))
    before = contents(h)
    with pytest.raises(exc, match=msg):
        h.append(batch)
    assert contents(h) == before


def test_append_accepts_any_layout_and_copies():
    h = store()
    batch = np.asfortranarray(rows(1, 2))
    h.append(batch[::1])
    batch[0, 1] = -5.0
    np.testing.assert_array_equal(h.query(), rows(1, 2))
    h.append(rows(3, 4, 5)[::2])
    assert h.ticks() == [1, 2, 3, 5]


def test_query_row_ticks():
    h = store(width=4)
    assert h.query().shape == (0, 4) and h.query(1, 3).shape == (0, 2)
    h.append(rows(0, 2, width=4))
    np.testing.assert_array_equal(h.query(1, 3), rows(0, 2, width=4)[:, 1:3])
    assert h.query(2, 2).shape == (2, 0)
    for a, b in [(2, 1), (0, 5), (5, None)]:
        with pytest.raises(ValueError, match="^History column slice is out of bounds$"):
            h.query(a, b)
    out = h.query()
    out[:] = 0.0
    np.testing.assert_array_equal(h.query(), rows(0, 2, width=4))
    assert h.query().flags.owndata and h.row(2).flags.owndata
    assert isinstance(h.ticks()[0], int)


def test_truncate():
    h = store()
    h.append(rows(5, 6))
    with pytest.raises(ValueError, match=r"^No records with tick <= 4 exist\.$"):
        h.truncate(4)
    h.clear()
    h.append(rows(2, 4, 6))
    log = ParameterLog()
    h.bind_log(log)
    log.append((0, "a", 0.0, 1.0))
    h.truncate(5)
    assert h.ticks() == [2, 4] and len(h.boundaries()) == 2 and len(T.history_cursors(h)) == 2
    assert log.mark() == 1
    h.append(rows(5))
    assert h.ticks() == [2, 4, 5]


def test_restore_timeline_cuts_history_and_logs():
    h = store()
    primary, d0, d1 = ParameterLog(), ParameterLog(), ParameterLog()
    h.bind_log(primary)
    h.bind_logs([d0, d1])
    for k in range(3):
        primary.append((0, "a", float(k), k + 1.0))
    d0.append((0, "b", 0.0, 1.0))
    h.append(rows(1))
    for k in range(4):
        primary.append((1, "a", float(k), k + 1.0))
    d1.append((1, "c", 0.0, 1.0))
    h.append(rows(2))
    d0.append((2, "b", 1.0, 2.0))
    assert T.history_cursors(h) == [[3, 1, 0], [7, 1, 1]]
    with pytest.raises(ValueError, match=r"^Tick 3 not found in history\.$"):
        h.restore_timeline(3)
    assert h.ticks() == [1, 2] and primary.mark() == 7
    h.restore_timeline(1)
    assert h.ticks() == [1]
    assert (primary.mark(), d0.mark(), d1.mark()) == (3, 1, 0)


def test_restore_timeline_leaves_shorter_logs_and_survives_deleted_log_objects():
    h = store()
    log = ParameterLog()
    h.bind_log(log)
    for k in range(5):
        log.append((0, "a", float(k), k + 1.0))
    h.append(rows(1))
    log.rollback(2)
    del log
    gc.collect()
    h.restore_timeline(1)
    assert T.history_cursors(h) == [[5]]


def test_rebinding_changes_cursor_source():
    h = store()
    a, b = ParameterLog(), ParameterLog()
    a.append((0, "x", 0.0, 1.0))
    h.bind_log(a)
    h.append(rows(0))
    h.bind_log(b)
    h.append(rows(1))
    h.bind_logs([a])
    h.append(rows(2))
    assert T.history_cursors(h) == [[1], [0], [0, 1]]
    with pytest.raises(TypeError):
        h.bind_logs([a, "x"])
    with pytest.raises(TypeError):
        h.bind_log(h)
    h.append(rows(3))
    assert T.history_cursors(h)[-1] == [0, 1]


def test_clear_keeps_settings_and_log_entries():
    h = store(max_rows=3)
    log = ParameterLog()
    h.bind_log(log)
    log.append((0, "x", 0.0, 1.0))
    h.append(rows(1, 2))
    h.clear()
    assert contents(h) == ([], [], [], 3, [])
    assert log.mark() == 1
    h.append(rows(0))
    assert T.history_cursors(h) == [[1]]


def test_boundary_stamps_follow_rows():
    h = store(max_rows=3)
    h.append(rows(0))
    T.history_stamp(h, 4, "Stopped")
    h.append(rows(1, 2))
    T.history_stamp(h, 2, "Ready")
    assert h.boundaries() == [(0, 4, "Stopped"), (1, 0, "Ready"), (2, 2, "Ready")]
    h.truncate(1)
    h.append(rows(2))
    assert h.boundaries()[-1] == (2, 0, "Ready")
    h.append(rows(3))
    assert h.boundaries() == [(1, 0, "Ready"), (2, 0, "Ready"), (3, 0, "Ready")]


def _raw_with_state(ticks, dims=DIMS, sperm=3, seed=0):
    rng = np.random.default_rng(seed)
    n = int(np.prod(dims))
    h = HistoryStore(1 + n + sperm, dims, True)
    states = []
    for t in ticks:
        ind = rng.uniform(0, 100, n)
        T.history_record(h, t, ind, rng.uniform(0, 5, sperm), False)
        states.append(ind)
    return h, states


@pytest.mark.parametrize("collapse_age, aggregate, selected", [(False, False, [0]), (True, False, [0]),
                                                              (False, True, [1, 0, 1]), (True, True, [2])])
def test_observe_matches_project_observation(collapse_age, aggregate, selected):
    dims = (3, 2, 2, 2)
    src, states = _raw_with_state([0, 3, 7], dims=dims)
    mask = np.random.default_rng(1).uniform(0, 1, 16)
    expected = [_engine_rs.project_observation(s, mask, dims, selected, collapse_age, aggregate) for s in states]
    dst = HistoryStore(1 + len(expected[0]), dims, False)
    dst.configure_observation(mask, selected, collapse_age, aggregate)
    src.observe(dst)
    assert dst.ticks() == [0, 3, 7]
    np.testing.assert_array_equal(dst.query(1), np.array(expected))


def test_observe_errors():
    src, _ = _raw_with_state([0, 1])
    with pytest.raises(ValueError, match="^Observation destination must be independent$"):
        src.observe(src)
    observed = HistoryStore(3, DIMS, False)
    with pytest.raises(ValueError, match=r"^observe\(\) is only valid on raw-mode History$"):
        observed.observe(src)
    with pytest.raises(ValueError, match="^Raw history row width does not match population dimensions$"):
        HistoryStore(8, DIMS, True).observe(observed)
    with pytest.raises(ValueError, match="^Raw history row width does not match population dimensions$"):
        HistoryStore(8, (2**32, 2**32, 1, 1), True).observe(observed)
    with pytest.raises(TypeError):
        src.observe(ParameterLog())
    # Partial progress stays: tick 1 already present in the target.
    dst = HistoryStore(1 + 2 * 2, DIMS, False)
    dst.configure_observation(np.ones(8), [0], False, False)
    dst.append(np.array([[1.0, 0, 0, 0, 0]]))
    with pytest.raises(ValueError, match="^Kernel History starts before the latest recorded tick$"):
        src.observe(dst)
    assert dst.ticks() == [1]


@pytest.mark.parametrize(
    "mask, selected",
    [(np.ones(7), [0]), (np.ones(8), []), (np.ones(8), [1]), (np.ones(8), [2**64 - 1])],
)
def test_configure_observation_rejects_bad_layout(mask, selected):
    h = HistoryStore(5, DIMS, False)
    h.configure_observation(np.ones(8), [0], False, False)
    with pytest.raises(ValueError, match="^Observation dimensions or deme selection do not match the population layout$"):
        h.configure_observation(mask, selected, True, False)
    T.history_record(h, 0, np.arange(8.0), np.array([]), False)  # old settings still apply
    np.testing.assert_array_equal(h.row(0), [0.0, 1.0, 5.0, 9.0, 13.0])


def test_configure_observation_slice_sets_width():
    h = HistoryStore(1, (1, 2, 3, 2), False)
    assert T.history_configure_observation_slice(h, np.ones(24)) == 1 + 2 * 2 * 3
    T.history_record(h, 4, np.ones(12), np.array([]), False)
    np.testing.assert_array_equal(h.row(4), [4.0] + [2.0] * 12)
    values, n = T.history_flat_rows(h)
    assert n == 1 and values.tolist() == h.row(4).tolist()


def test_observed_record_projection_error_appends_nothing():
    h = HistoryStore(5, DIMS, False)
    h.configure_observation(np.ones(8), [0], False, False)
    with pytest.raises(ValueError, match="^Observation dimensions"):
        T.history_record(h, 0, np.ones(7), np.array([]), False)
    assert h.ticks() == []


def test_reentrancy_rule():
    h = store()
    h.append(rows(0, 1, 2))
    seen = []

    class Tick:
        def __index__(self):
            for call in (lambda: h.append(rows(9)), h.ticks, lambda: setattr(h, "max_rows", 1)):
                try:
                    call()
                except RuntimeError as e:
                    seen.append(str(e))
            return 1

    h.truncate(Tick())
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already borrowed"]
    assert h.ticks() == [0, 1]
    h.max_rows = Tick()  # the setter holds the borrow too
    assert h.ticks() == [1] and seen[3:] == seen[:3]


def test_no_leaks_of_returned_objects():
    h = store()
    h.append(rows(0, 1))
    probe = h.row(0)
    base = sys.getrefcount(probe)
    for _ in range(300):
        h.row(1), h.query(), h.ticks(), h.boundaries(), h.max_rows
    assert sys.getrefcount(probe) == base
    batch = rows(2)
    before = sys.getrefcount(batch)
    h.append(batch)
    for t in range(3, 50):
        try:
            h.append(batch)
        except ValueError:
            pass
    assert sys.getrefcount(batch) == before


def test_row_memory_is_close_to_payload():
    width = 61
    h = store(width=width)
    n = 20000
    data = np.arange(n * width, dtype=float).reshape(n, width)
    data[:, 0] = np.arange(n)
    h.append(data)
    payload = n * width * 8
    assert T.history_allocated_bytes(h) <= 1.1 * payload
    h.max_rows = 100
    assert T.history_allocated_bytes(h) <= 100 * width * 8 + 2 * 8192 * 8 + 4096
    np.testing.assert_array_equal(h.query(), data[-100:])


batches = st.lists(
    st.lists(st.one_of(st.integers(-3, 12).map(float), st.sampled_from([2.5, np.nan, np.inf])),
             min_size=0, max_size=4),
    min_size=1, max_size=6)


@settings(max_examples=150, deadline=None)
@given(batches, st.booleans(), st.sampled_from([None, 2, 3]))
def test_failed_calls_leave_contents_identical(batch_ticks, continuation, max_rows):
    h = store(max_rows=max_rows)
    log = ParameterLog()
    h.bind_log(log)
    for i, ticks in enumerate(batch_ticks):
        log.append((i, "x", 0.0, float(i + 1)))
        arr = np.array([[t, t, -t] for t in ticks]).reshape(len(ticks), 3)
        before = contents(h)
        try:
            h.append(arr, continuation=continuation)
        except ValueError:
            assert contents(h) == before
            continue
        got = h.ticks()
        assert got == sorted(set(got))
        assert max_rows is None or len(got) <= max_rows
        assert len(T.history_cursors(h)) == len(got) == len(h.boundaries())
    for op in (h.truncate, h.restore_timeline, h.row):
        before = contents(h)
        try:
            op(-100)
        except ValueError:
            assert contents(h) == before


def test_threads_sharing_one_log():
    import threading

    log = ParameterLog()
    stores = [store(max_rows=50) for _ in range(4)]
    for h in stores:
        h.bind_log(log)
    errors = []

    def work(h, k):
        try:
            for t in range(200):
                log.append((t, f"p{k}", float(t), t + 1.0))
                h.append(rows(t))
                h.query(), h.ticks()
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(h, k)) for k, h in enumerate(stores)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    assert log.mark() == 800
    for h in stores:
        assert h.ticks() == list(range(150, 200))
        cursors = [c[0] for c in T.history_cursors(h)]
        assert cursors == sorted(cursors) and cursors[-1] <= 800
