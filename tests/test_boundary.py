"""Module boundary: registration, readers, numeric gates, messages, errors, borrows."""

import inspect
import types

import numpy as np
import pytest

from qorin import _engine_rs
from qorin import _engine_testing as T


def obj(**attrs):
    return types.SimpleNamespace(**attrs)


def test_members_registered_in_order():
    public = [n for n in vars(_engine_rs) if not n.startswith("__")]
    order = ["HistoryStore", "ParameterLog", "project_observation", "EngineSession",
             "DiscreteEngineSession", "HeterogeneousSpatialEngineSession", "equilibrium_metrics",
             "equilibrium_metrics_flat", "migrate_csr_deterministic", "migrate_csr_stochastic",
             "compute_offspring_tensor"]
    # Exactly the eleven members, in the fixed order; HookTransaction is a class
    # of the module's own but not one of its attributes.
    assert public == order
    assert "HookTransaction" not in public


@pytest.mark.parametrize("fn, params", [
    (_engine_rs.compute_offspring_tensor, ["meiosis", "fusion"]),
    (_engine_rs.project_observation,
     ["ind", "mask", "dimensions", "selected", "collapse_age", "aggregate"]),
])
def test_text_signatures(fn, params):
    assert list(inspect.signature(fn).parameters) == params


# ---- contract attribute readers ----

@pytest.mark.parametrize("value, expected", [
    (0.5, 0.5), (np.float64(0.5), 0.5), (np.array(0.5), 0.5), (3, 3.0), (np.int32(7), 7.0),
    (np.array(2, dtype=np.int64), 2.0), (True, 1.0), (float("nan"), None),
])
def test_extract_f64(value, expected):
    got = T.read_attr("f64", obj(x=value), "x")
    assert isinstance(got, float)
    if expected is None:
        assert np.isnan(got)
    else:
        assert got == expected


@pytest.mark.parametrize("value, expected", [
    (5, 5), (np.int64(-3), -3), (np.array(9), 9), (2**63 - 1, 2**63 - 1), (-2**63, -2**63),
])
def test_extract_i64(value, expected):
    assert T.read_attr("i64", obj(x=value), "x") == expected
    assert T.read_attr("i64_scalar", obj(x=value), "x") == expected


@pytest.mark.parametrize("value, exc", [
    (2**63, OverflowError), (-2**63 - 1, OverflowError), (2.5, TypeError), ("3", TypeError),
    (np.float64(2.0), TypeError), (None, TypeError),
])
def test_extract_i64_rejects(value, exc):
    with pytest.raises(exc):
        T.read_attr("i64", obj(x=value), "x")


def test_extract_f64_rejects_wrong_types():
    with pytest.raises(TypeError):
        T.read_attr("f64", obj(x="0.5"), "x")
    with pytest.raises(TypeError):
        T.read_attr("f64", obj(x=None), "x")


def test_missing_attribute_propagates_attribute_error():
    for kind in ["f64", "i64", "bool", "f64_vec", "i64_vec", "bool_vec", "string_vec",
                 "f64_array", "i64_array", "bool_array", "i64_scalar"]:
        with pytest.raises(AttributeError):
            T.read_attr(kind, obj(), "missing")


@pytest.mark.parametrize("value, expected", [(True, True), (False, False), (np.bool_(True), True)])
def test_extract_bool(value, expected):
    assert T.read_attr("bool", obj(x=value), "x") is expected


@pytest.mark.parametrize("value", [1, 0, "yes", None, np.array([True])])
def test_extract_bool_rejects(value):
    with pytest.raises(TypeError):
        T.read_attr("bool", obj(x=value), "x")


def test_vec_readers_flatten_in_memory_order():
    c = np.arange(6, dtype=np.float64).reshape(2, 3)
    f = np.asfortranarray(c)
    assert T.read_attr("f64_vec", obj(x=c), "x").tolist() == [0, 1, 2, 3, 4, 5]
    assert T.read_attr("f64_vec", obj(x=f), "x").tolist() == [0, 3, 1, 4, 2, 5]
    assert T.read_attr("i64_vec", obj(x=np.arange(4).reshape(2, 2)), "x").tolist() == [0, 1, 2, 3]
    assert T.read_attr("bool_vec", obj(x=np.array([[True, False]])), "x") == [True, False]
    assert T.read_attr("f64_vec", obj(x=np.zeros(0)), "x").tolist() == []


@pytest.mark.parametrize("kind, value", [
    ("f64_vec", np.arange(3, dtype=np.int64)),
    ("f64_vec", np.arange(3, dtype=np.float32)),
    ("f64_vec", [1.0, 2.0]),
    ("f64_vec", np.arange(3, dtype=">f8")),
    ("i64_vec", np.arange(3, dtype=np.int32)),
    ("i64_vec", np.zeros(3)),
    ("bool_vec", np.zeros(3)),
])
def test_vec_readers_reject_wrong_dtype(kind, value):
    with pytest.raises(TypeError):
        T.read_attr(kind, obj(x=value), "x")


@pytest.mark.parametrize("kind, dtype", [("f64_vec", np.float64), ("i64_vec", np.int64),
                                         ("bool_vec", bool), ("f64_array", np.float64),
                                         ("i64_array", np.int64), ("bool_array", bool)])
def test_non_contiguous_arrays_rejected(kind, dtype):
    base = np.ones(10, dtype=dtype)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        T.read_attr(kind, obj(x=base[::2]), "x")


def test_string_vec():
    assert T.read_attr("string_vec", obj(x=["a", "bé"]), "x") == ["a", "bé"]
    assert T.read_attr("string_vec", obj(x=("a",)), "x") == ["a"]
    for bad in ["abc", [1, "a"], 5, b"ab"]:
        with pytest.raises(TypeError):
            T.read_attr("string_vec", obj(x=bad), "x")


# ---- hook-program column readers ----

def test_i64_array_widens_int32():
    got = T.read_attr("i64_array", obj(col=np.array([1, -2], dtype=np.int32)), "col")
    assert got.dtype == np.int64 and got.tolist() == [1, -2]


@pytest.mark.parametrize("value", [np.zeros(2), np.zeros((2, 2), dtype=np.int64), [1, 2],
                                   np.zeros(2, dtype=np.int16)])
def test_i64_array_rejects(value):
    with pytest.raises(ValueError, match="^col must be an int32 or int64 array$"):
        T.read_attr("i64_array", obj(col=value), "col")


def test_bool_array_reads_float64_as_nonzero():
    got = T.read_attr("bool_array", obj(m=np.array([0.0, 2.5, np.nan, -0.0])), "m")
    assert got == [False, True, True, False]
    assert T.read_attr("bool_array", obj(m=np.array([True, False])), "m") == [True, False]
    with pytest.raises(ValueError, match="^m must be a bool or float64 array$"):
        T.read_attr("bool_array", obj(m=np.zeros(2, dtype=np.int64)), "m")


def test_f64_array_requires_one_dimension_and_dtype():
    assert T.read_attr("f64_array", obj(v=np.array([1.5])), "v").tolist() == [1.5]
    with pytest.raises(TypeError):
        T.read_attr("f64_array", obj(v=np.zeros((2, 2))), "v")
    with pytest.raises(TypeError):
        T.read_attr("f64_array", obj(v=np.zeros(2, dtype=np.int64)), "v")


# ---- numeric gates ----

@pytest.mark.parametrize("name, value", [
    ("sex_ratio", 1.0), ("sex_ratio", 0.0), ("carrying_capacity", 1e12),
    ("low_density_growth_rate", 1.0), ("eggs_per_female", 1e6), ("sperm_displacement_rate", 0.5),
    ("growth_mode", 4.0), ("growth_mode", 0.0), ("external_expected_eggs", -1.0),
    ("external_expected_eggs", 0.0), ("anything_else", -1e300),
])
def test_scalar_gate_passes(name, value):
    assert T.gate_scalar(name, value) is None


@pytest.mark.parametrize("name, value, message", [
    ("sex_ratio", 1.0000001, "'sex_ratio' requires a value in [0, 1], got 1.0000001"),
    ("sex_ratio", float("nan"), "'sex_ratio' requires a value in [0, 1], got NaN"),
    ("carrying_capacity", 1e12 + 1e-3 * 1e12,
     "'carrying_capacity' requires a value in [0, 1000000000000], got 1001000000000"),
    ("low_density_growth_rate", 0.5, "'low_density_growth_rate' requires a value in [1, 1000000], got 0.5"),
    ("eggs_per_female", float("inf"), "'eggs_per_female' requires a value in [0, 1000000], got inf"),
    ("sperm_displacement_rate", -0.0001, "'sperm_displacement_rate' requires a value in [0, 1], got -0.0001"),
    ("growth_mode", 2.5, "Invalid value for growth_mode: 2.5"),
    ("growth_mode", 5.0, "Invalid value for growth_mode: 5"),
    ("growth_mode", -1.0, "Invalid value for growth_mode: -1"),
    ("external_expected_eggs", -0.5, "Invalid value for external_expected_eggs: -0.5"),
    ("external_expected_eggs", float("nan"), "Invalid value for external_expected_eggs: NaN"),
    ("mating_rate", float("-inf"), "Invalid value for mating_rate: -inf"),
])
def test_scalar_gate_fails(name, value, message):
    with pytest.raises(ValueError) as e:
        T.gate_scalar(name, value)
    assert str(e.value) == message


@pytest.mark.parametrize("values, ok", [
    ([0.0, 1.0, 2.5], True), ([-0.0], True), ([], True),
    ([1.0, -1e-300], False), ([np.nan], False), ([np.inf], False),
])
def test_tensor_gate(values, ok):
    arr = np.array(values, dtype=np.float64)
    if ok:
        T.gate_tensor("survival_rates", arr)
    else:
        with pytest.raises(ValueError, match="^survival_rates requires finite nonnegative values$"):
            T.gate_tensor("survival_rates", arr)


def test_state_gate_order_and_negative_zero():
    good = np.array([0.0, -0.0, 3.0])
    T.gate_state(good, good, 0)
    with pytest.raises(ValueError, match="^tick must be nonnegative$"):
        T.gate_state(np.array([np.nan]), good, -1)
    for ind, sperm in [(np.array([-1.0]), good), (good, np.array([np.inf]))]:
        with pytest.raises(ValueError, match="^state counts must be finite and nonnegative$"):
            T.gate_state(ind, sperm, 3)


# ---- message number formatting ----

@pytest.mark.parametrize("value, text", [
    (1e12, "1000000000000"), (1.0, "1"), (0.0, "0"), (-0.0, "-0"), (0.5, "0.5"),
    (1.0000001, "1.0000001"), (0.1, "0.1"), (1e-7, "0.0000001"), (123.456, "123.456"),
    (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf"), (-2.5, "-2.5"),
    (1e21, "1000000000000000000000"), (2.0**-3, "0.125"), (5e-324, "0." + "0" * 323 + "5"),
])
def test_format_number(value, text):
    assert T.format_number(value) == text


def test_format_number_round_trips():
    rng = np.random.default_rng(1)
    values = np.concatenate([rng.standard_normal(2000) * 10.0 ** rng.integers(-30, 30, 2000),
                             rng.integers(-10**15, 10**15, 200).astype(float)])
    for v in values:
        s = T.format_number(float(v))
        assert "e" not in s and "E" not in s
        assert float(s) == v
        assert not s.endswith(".0")
        # shortest: Python's repr gives the shortest digits too
        assert s.replace("-", "").replace(".", "").strip("0") == \
            repr(float(v)).split("e")[0].replace("-", "").replace(".", "").strip("0")


def test_quote_name():
    assert T.quote_name("sex_ratio") == '"sex_ratio"'
    assert T.quote_name('a"b\\c') == '"a\\"b\\\\c"'


# ---- exception mapping ----

@pytest.mark.parametrize("kind, exc", [
    ("value", ValueError), ("key", KeyError), ("type", TypeError), ("runtime", RuntimeError),
    ("overflow", OverflowError), ("callback", RuntimeError),
])
def test_error_mapping(kind, exc):
    with pytest.raises(exc) as e:
        T.raise_error(kind, "boom")
    assert type(e.value) is exc
    if kind == "key":
        assert e.value.args == ("boom",)
    else:
        assert str(e.value) == "boom"


# ---- borrow guard ----

def test_borrow_guard_rules():
    p = T.BorrowProbe()
    assert p.mutate(lambda: 1) == 1
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        p.mutate(lambda: p.mutate(lambda: None))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        p.mutate(lambda: p.read(lambda: None))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        p.read(lambda: p.mutate(lambda: None))
    # Nested reads are fine.
    assert p.read(lambda: p.read(lambda: 7)) == 7
    assert p.state() == 0


def test_borrow_released_when_call_raises():
    p = T.BorrowProbe()

    def fail():
        raise KeyError("inner")

    for method in (p.mutate, p.read):
        with pytest.raises(KeyError):
            method(fail)
        assert p.state() == 0
    assert p.mutate(lambda: "again") == "again"
