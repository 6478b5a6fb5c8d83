"""ParameterLog: appends, audit-value equality, views, mark/rollback."""

import gc
import inspect
import sys

import numpy as np
import pytest

from qorin import _engine_rs, _engine_testing

ParameterLog = _engine_rs.ParameterLog


def test_text_signatures():
    log = ParameterLog()
    expected = {
        "append": "(row)",
        "append_detail": "(row, event, deme)",
        "append_value": "(tick, name, old, new, event, deme)",
        "mark": "()",
        "rollback": "(position)",
        "snapshot": "()",
        "details": "()",
        "clear": "()",
    }
    for name, sig in expected.items():
        assert str(inspect.signature(getattr(log, name))) == sig
    assert str(inspect.signature(ParameterLog)) == "()"


@pytest.mark.parametrize(
    "old, new, appended",
    [(0.5, 0.5, False), (0.5, 0.6, True), (float("nan"), float("nan"), True), (0.0, -0.0, False)],
)
def test_append_skips_only_equal_values(old, new, appended):
    log = ParameterLog()
    log.append((3, "sex_ratio", old, new))
    assert log.mark() == int(appended)
    if appended:
        (entry,) = log.details()
        assert entry[:4] == (3, "sex_ratio", 0, "update")


def test_append_detail_round_trip():
    log = ParameterLog()
    log.append_detail((2, "eggs_per_female", 10.0, 12.0), "late", 3)
    assert log.details() == [(2, "eggs_per_female", 3, "late", 10.0, 12.0)]
    assert log.snapshot() == [(2, "eggs_per_female", 10.0, 12.0)]


def test_mark_and_rollback():
    log = ParameterLog()
    for k in range(4):
        log.append((k, "carrying_capacity", float(k), k + 1.0))
    assert log.mark() == 4
    log.append((4, "sex_ratio", 0.1, 0.2))
    log.append((5, "sex_ratio", 0.2, 0.3))
    log.rollback(4)
    assert log.mark() == 4
    with pytest.raises(ValueError, match="^Invalid parameter log transaction mark$"):
        log.rollback(7)
    assert log.mark() == 4
    log.rollback(4)
    log.rollback(0)
    assert log.snapshot() == []


@pytest.mark.parametrize(
    "old, new, appended, views",
    [
        (np.array([1.0, 2.0]), np.array([1.0, 2.0]), False, None),
        (np.array([1.0, 2.0]), np.array([1.0, 3.0]), True, (0.0, 0.0)),
        (np.array([1.0, 2.0]), np.array([[1.0, 2.0]]), True, (0.0, 0.0)),  # shape differs
        (np.array([np.nan]), np.array([np.nan]), True, (0.0, 0.0)),
        (True, 1, True, (1.0, 1.0)),
        (1.0, 1, True, (1.0, 1.0)),
        (False, 0.0, True, (0.0, 0.0)),
        (None, None, False, None),
        (None, 2.5, True, (0.0, 2.5)),
        (7, 7, False, None),
        (2**62, 2**62 + 1, True, (float(2**62), float(2**62 + 1))),
        (True, True, False, None),
    ],
)
def test_append_value_equality_and_views(old, new, appended, views):
    log = ParameterLog()
    log.append_value(1, "k", old, new, "early", 0)
    assert log.mark() == int(appended)
    if appended:
        (snap,) = log.snapshot()
        assert snap[2:] == views
        (det,) = log.details()
        assert det[:4] == (1, "k", 0, "early")
        for got, given in zip(det[4:], (old, new)):
            if isinstance(given, np.ndarray):
                assert isinstance(got, np.ndarray) and got.dtype == np.float64
                assert got.shape == given.shape
                np.testing.assert_array_equal(got, given)
            else:
                assert type(got) is type(given) and (got == given or got is given)


def test_details_arrays_are_fresh_and_logical_order():
    log = ParameterLog()
    a = np.arange(6.0).reshape(2, 3)
    log.append_value(0, "t", a.T, None, "update", 1)  # Fortran-ordered view
    a[0, 0] = 99.0
    first = log.details()[0][4]
    np.testing.assert_array_equal(first, np.arange(6.0).reshape(2, 3).T)
    first[...] = -1.0
    second = log.details()[0][4]
    np.testing.assert_array_equal(second, np.arange(6.0).reshape(2, 3).T)
    assert second.flags.owndata or second.base is not None and second.base is not first


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda log: log.append((1, "x", 0.0)), TypeError),
        (lambda log: log.append("abcd"), TypeError),
        (lambda log: log.append((1, 2, 0.0, 1.0)), TypeError),
        (lambda log: log.append((1.5, "x", 0.0, 1.0)), TypeError),
        (lambda log: log.append((2**64, "x", 0.0, 1.0)), OverflowError),
        (lambda log: log.append((1, "x", "a", 1.0)), TypeError),
        (lambda log: log.append_detail((1, "x", 0.0, 1.0), "late", -1), OverflowError),
        (lambda log: log.append_detail((1, "x", 0.0, 1.0), 3, 0), TypeError),
        (lambda log: log.append_value(1, "x", 2**70, 1, "e", 0), OverflowError),
        (lambda log: log.append_value(1, "x", [1.0], 1, "e", 0), TypeError),
        (lambda log: log.append_value(1, "x", np.array([1, 2]), 1, "e", 0), TypeError),
        (lambda log: log.append_value(1, "x", 1.0, "s", "e", 0), TypeError),
        (lambda log: log.rollback(-1), OverflowError),
        (lambda log: log.rollback(2**70), OverflowError),
        (lambda log: log.append(), TypeError),
    ],
)
def test_bad_input_appends_nothing(call, exc):
    log = ParameterLog()
    log.append((0, "sex_ratio", 0.1, 0.2))
    with pytest.raises(exc):
        call(log)
    assert log.snapshot() == [(0, "sex_ratio", 0.1, 0.2)]


def test_stage_labels_of_routed_journal_rows():
    log = ParameterLog()
    for code in range(9):
        _engine_testing.log_push_stage(log, code, "sex_ratio", 0.1, 0.2, code, 0)
    labels = [d[3] for d in log.details()]
    assert labels == ["first", "update", "early", "update", "late", "update", "finish", "schedule", "update"]


def test_clear_keeps_bindings():
    log = ParameterLog()
    store = _engine_rs.HistoryStore(2, (1, 1, 1, 1), True)
    store.bind_log(log)
    log.append((0, "a", 0.0, 1.0))
    log.clear()
    assert log.mark() == 0
    log.append((1, "a", 0.0, 1.0))
    store.append(np.array([[1.0, 0.0]]))
    assert _engine_testing.history_cursors(store) == [[1]]


def test_reentrant_call_during_append_is_refused():
    log = ParameterLog()
    seen = []

    class Sneaky:
        def __float__(self):
            for call in (lambda: log.append((9, "y", 0.0, 1.0)), log.mark):
                try:
                    call()
                except RuntimeError as e:
                    seen.append(str(e))
            return 2.0

    log.append((1, "x", 1.0, Sneaky()))
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert log.snapshot() == [(1, "x", 1.0, 2.0)]
    log.append((2, "x", 2.0, 3.0))  # borrow released
    assert log.mark() == 2


def test_returned_objects_do_not_leak():
    log = ParameterLog()
    arr = np.array([1.0, 2.0])
    log.append_value(0, "t", arr, None, "e", 0)
    before = sys.getrefcount(arr)
    for _ in range(200):
        details = log.details()
        snap = log.snapshot()
    del details, snap
    gc.collect()
    assert sys.getrefcount(arr) == before
    probe = log.details()[0][4]
    base = sys.getrefcount(probe)
    for _ in range(50):
        log.mark()
    assert sys.getrefcount(probe) == base
