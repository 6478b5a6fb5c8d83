"""Model contracts: blueprint reading and validation, ecology columns and their
validated writes, genetics tensors, custom slots."""

import math
import re

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st, HealthCheck

from qorin import _engine_testing as T
from qorin.contracts import Blueprint, Params

from conftest import make_locus, raw_blueprint

A, START = 4, 2  # ages 2 and 3 are adult; three genotypes, two gamete types


def model(n_ages=A, start=START, **bp_kw):
    locus = make_locus(2)
    bp = raw_blueprint(n_ages, start, locus, **bp_kw)  # also edges the host layer refuses
    return bp, Params(bp, locus)


def built(**params_kw):
    bp, p = model()
    for k, v in params_kw.items():
        setattr(p, k, v)
    return T.contracts(bp, p)


def same_columns(a, b):
    """Bitwise equality of two columns() snapshots."""
    assert a.keys() == b.keys()
    for k in a:
        x, y = a[k], b[k]
        if k == "genetics":
            for name in x:
                assert x[name].tobytes() == y[name].tobytes(), name
        elif k == "custom_slots":
            assert len(x) == len(y)
            for dx, dy in zip(x, y):
                assert list(dx) == list(dy)
                for name in dx:
                    vx, vy = dx[name], dy[name]
                    assert type(vx) is type(vy)
                    if isinstance(vx, np.ndarray):
                        assert vx.shape == vy.shape and vx.tobytes() == vy.tobytes()
                    else:
                        assert vx == vy or (vx != vx and vy != vy)
        elif isinstance(x, np.ndarray):
            assert x.dtype == y.dtype and x.tobytes() == y.tobytes(), k
        else:
            assert x == y, k


# ----------------------------------------------------------------- blueprint


def test_blueprint_reads_every_field():
    bp, _ = model(n_demes=1)
    bp.initial_individual_count[1, 3, 2] = 7.5
    got = T.read_blueprint(bp)
    assert got["adult_ages"].tolist() == [2, 3]
    assert (got["n_ages"], got["n_ztypes"], got["n_gtypes"], got["new_adult_age"]) == (4, 3, 2, 2)
    assert got["ztype_names"] == ["A1/A1", "A1/A2", "A2/A2"]
    # [sex, age, ztype] row-major
    assert got["initial_individual_count"][1 * 12 + 3 * 3 + 2] == 7.5
    assert got["initial_sperm_storage"].size == 0
    T.validate_blueprint(bp)


def _set(bp, **kw):
    for k, v in kw.items():
        setattr(bp, k, v)
    return bp


I64 = lambda *v: np.array(v, dtype=np.int64)  # noqa: E731


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(adult_ages=I64(1, 2, 3)), "Blueprint.adult_ages: expected [2, 3], got [1, 2, 3]"),
        (dict(adult_ages=I64(3, 2)), "Blueprint.adult_ages: expected [2, 3], got [3, 2]"),
        (dict(ztype_names=["x", "y"]), "Blueprint.ztype_names: expected 3 elements, got 2"),
        (dict(gtype_names=["x"]), "Blueprint.gtype_names: expected 2 elements, got 1"),
        (dict(female_only_by_sex_chrom=np.zeros(4, bool)),
         "Blueprint.female_only_by_sex_chrom: expected 3 elements, got 4"),
        (dict(male_only_by_sex_chrom=np.zeros(2, bool)),
         "Blueprint.male_only_by_sex_chrom: expected 3 elements, got 2"),
        (dict(initial_individual_count=np.zeros(23)),
         "Blueprint.initial_individual_count: expected 24 elements, got 23"),
        (dict(initial_sperm_storage=np.zeros(5)),
         "Blueprint.initial_sperm_storage: expected 36 elements, got 5"),
        (dict(migration_dest_idx=I64(0)), "Blueprint.migration_indptr: expected 2 elements, got 0"),
        # two faults: the adult ages come first
        (dict(adult_ages=I64(0), ztype_names=[]), "Blueprint.adult_ages: expected [2, 3], got [0]"),
        (dict(ztype_names=[], initial_individual_count=np.zeros(1)),
         "Blueprint.ztype_names: expected 3 elements, got 0"),
    ],
)
def test_blueprint_validation_messages(changes, message):
    bp, _ = model()
    _set(bp, **changes)
    with pytest.raises(ValueError) as ei:
        T.validate_blueprint(bp)
    assert str(ei.value) == message


@pytest.mark.parametrize(
    "indptr, dest, weights, message",
    [
        ([0, 2, 1, 3], [0, 1, 2], [1.0] * 3, "Blueprint.migration_indptr must be non-decreasing (2 > 1)"),
        ([1, 0, 2, 3], [0, 1, 2], [1.0] * 3, "Blueprint.migration_indptr must start at 0"),
        ([0, 1, 2], [0, 1], [1.0] * 2, "Blueprint.migration_indptr: expected 4 elements, got 3"),
        ([], [], [], "Blueprint.migration_indptr: expected 4 elements, got 0"),
        ([0, 1, 2, 3], [0, 1], [1.0] * 3,
         "Blueprint.migration CSR: indptr ends at 3 but dest_idx has 2 and weights 3 entries"),
        ([0, 1, 2, 3], [0, 1, 2], [1.0] * 2,
         "Blueprint.migration CSR: indptr ends at 3 but dest_idx has 3 and weights 2 entries"),
        ([0, 1, 2, 3], [0, -1, 2], [1.0] * 3,
         "Blueprint.migration_dest_idx: destination -1 out of range for 3 demes"),
        ([0, 1, 2, 3], [0, 3, 2], [1.0] * 3,
         "Blueprint.migration_dest_idx: destination 3 out of range for 3 demes"),
    ],
)
def test_blueprint_migration_csr(indptr, dest, weights, message):
    bp, _ = model(n_demes=3)
    _set(bp, migration_indptr=np.array(indptr, np.int64), migration_dest_idx=np.array(dest, np.int64),
         migration_weights=np.array(weights, np.float64))
    with pytest.raises(ValueError) as ei:
        T.validate_blueprint(bp)
    assert str(ei.value) == message


def test_blueprint_valid_variants():
    # weights are not checked for sign or normalisation here
    bp, _ = model(n_demes=3, migration_indptr=[0, 1, 1, 3], migration_dest_idx=[1, 0, 2],
                  migration_weights=[-1.0, np.nan, 5.0])
    T.validate_blueprint(bp)
    # new_adult_age == n_ages: no adult ages at all
    bp, _ = model(n_ages=3, start=3)
    assert bp.adult_ages.size == 0
    T.validate_blueprint(bp)
    # sperm storage given in full
    bp, _ = model(initial_sperm_storage=np.ones((A, 3, 3)))
    T.validate_blueprint(bp)


@pytest.mark.parametrize(
    "name, value, exc, text",
    [
        ("adult_ages", np.array([2.0, 3.0]), TypeError, None),
        ("adult_ages", np.array([2, 3], dtype=np.int32), TypeError, None),
        ("initial_individual_count", np.zeros(24, dtype=np.int64), TypeError, None),
        ("initial_individual_count", np.zeros(24, dtype=np.float32), TypeError, None),
        ("initial_individual_count", np.zeros(48)[::2], TypeError, "The given array is not contiguous"),
        ("ztype_names", "abc", TypeError, None),
        ("ztype_names", ["a", 1, "c"], TypeError, None),
        ("female_only_by_sex_chrom", np.zeros(3), TypeError, None),
        ("stochastic", 1, TypeError, None),
        ("n_ages", 2 ** 70, OverflowError, None),
        ("n_ages", "4", TypeError, None),
        ("n_ages", -1, ValueError, "Blueprint.n_ages must be nonnegative, got -1"),
        ("new_adult_age", -2, ValueError, "Blueprint.new_adult_age must be nonnegative, got -2"),
    ],
)
def test_blueprint_bad_attribute_types(name, value, exc, text):
    bp, _ = model()
    setattr(bp, name, value)
    with pytest.raises(exc) as ei:
        T.validate_blueprint(bp)
    if text is not None:
        assert str(ei.value) == text


@pytest.mark.parametrize("value", [np.int64(4), np.array(4), np.uint8(4)])
def test_blueprint_numpy_scalars_stand_for_numbers(value):
    bp, _ = model()
    bp.n_ages = value
    bp.stochastic = np.bool_(True)
    got = T.read_blueprint(bp)
    assert got["n_ages"] == 4 and got["stochastic"] is True


def test_blueprint_missing_attribute_propagates():
    bp, _ = model()
    del bp.gtype_names
    with pytest.raises(AttributeError, match="gtype_names"):
        T.validate_blueprint(bp)


def test_blueprint_absurd_dimensions_are_refused():
    bp, _ = model()
    bp.n_ages = 2 ** 40
    bp.n_ztypes = 2 ** 40
    with pytest.raises(ValueError, match="^Blueprint dimensions are too large"):
        T.validate_blueprint(bp)
    # a huge age axis with mismatching adult ages does not build a huge message
    bp, _ = model()
    bp.n_ages = 2 ** 40
    with pytest.raises(ValueError) as ei:
        T.validate_blueprint(bp)
    assert str(ei.value).startswith("Blueprint.adult_ages: expected [2, 3, 4,")
    assert len(str(ei.value)) < 100_000


# ----------------------------------------------------------------- ecology reads


def test_ecology_from_params():
    bp, p = model()
    p.equilibrium_distribution = np.arange(2.0 * A).reshape(2, A)
    p.growth_mode = np.int64(2)
    p.sex_ratio = np.array(0.25)  # 0-d array through item()
    c = T.contracts(bp, p)
    cols = c.columns()
    assert cols["n_demes"] == 1
    assert cols["equilibrium_declared"] == [True]
    assert cols["growth_mode"].tolist() == [2]
    assert c.get_scalar("sex_ratio") == 0.25
    assert c.get_scalar("growth_mode") == 2.0
    np.testing.assert_array_equal(c.get_tensor("equilibrium_distribution"), np.arange(8.0))
    assert built().columns()["equilibrium_declared"] == [False]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (("get_scalar", "survival_rates"), KeyError, 'unknown or non-scalar params field "survival_rates"'),
        (("get_scalar", "nope"), KeyError, 'unknown or non-scalar params field "nope"'),
        (("get_tensor", "meiosis_map"), KeyError,
         '"meiosis_map" is a genetics tensor; read it from the session genetics bank'),
        (("get_tensor", "sex_ratio"), KeyError, 'unknown or non-tensor params field "sex_ratio"'),
        (("per_deme_len", "sex_ratio"), KeyError, 'unknown params field "sex_ratio"'),
        (("genetics_expected_len", "fertility"), KeyError, 'unknown genetics tensor "fertility"'),
    ],
)
def test_read_errors(call, exc, message):
    c = built()
    with pytest.raises(exc) as ei:
        getattr(c, call[0])(call[1])
    assert ei.value.args[0] == message


def test_reads():
    c = built()
    assert [c.per_deme_len(n) for n in ("survival_rates", "mating_rates", "reproduction_rates",
                                        "fertility", "competition_weights",
                                        "equilibrium_distribution", "migration_rate")] == [8, 8, 4, 4, 4, 8, 8]
    # the session-level read reaches the genetics tensors
    np.testing.assert_array_equal(c.session_get_tensor("fecundity_fitness"), np.ones(6))
    np.testing.assert_array_equal(c.session_get_tensor("fertility"), np.ones(4))
    # parameter ids above 4 read the low-density growth rate
    assert [c.eco_value(i, 0) for i in (0, 1, 2, 3, 4, 7)] == [1000.0, 50.0, 0.5, 1.0, 2.0, 2.0]
    # returned arrays are fresh copies
    t = c.get_tensor("fertility")
    t[:] = 9.0
    assert c.get_scalar("carrying_capacity") == 1000.0 and c.get_tensor("fertility")[0] == 1.0


def test_empty_columns():
    c = built()
    for name in ("carrying_capacity", "eggs_per_female", "sex_ratio", "sperm_displacement_rate",
                 "low_density_growth_rate", "external_expected_eggs"):
        c.raw_set(name, np.zeros(0))
    c.raw_set("growth_mode", np.zeros(0, np.int64))
    with pytest.raises(ValueError, match=re.escape("params column is empty (n_demes == 0)")):
        c.get_scalar("sex_ratio")
    with pytest.raises(ValueError, match=re.escape("params column is empty (n_demes == 0)")):
        c.get_scalar("growth_mode")
    assert c.eco_value(0, 0) == 0.0  # no entry to read, no out-of-bounds access
    c.set_eco_value(0, 0, 5.0)        # and nothing to write


# ----------------------------------------------------------------- scalar_ref, apply


@pytest.mark.parametrize(
    "name, deme, exc, message",
    [
        ("sex_ratio", 1, ValueError, "deme 1 out of range for 1 ecology columns"),
        ("fertility", 0, ValueError, '"fertility" is a tensor field; use tensor_write'),
        ("viability_fitness", 0, ValueError, '"viability_fitness" is a tensor field; use tensor_write'),
        ("bogus", 0, KeyError, 'unknown params field "bogus"'),
    ],
)
def test_scalar_ref_errors(name, deme, exc, message):
    with pytest.raises(exc) as ei:
        built().scalar_ref(name, deme)
    assert ei.value.args[0] == message


def test_scalar_ref_kinds():
    c = built()
    assert c.scalar_ref("growth_mode", 0) == ("int", 3.0)
    assert c.scalar_ref("sex_ratio", 0) == ("float", 0.5)


@pytest.mark.parametrize(
    "writes, exc, message",
    [
        ({"sex_ratio": 0.25, "fertility": 1.0}, ValueError, '"fertility" is a tensor field; use tensor_write'),
        ({"sex_ratio": 0.25, "nope": 1.0}, KeyError, 'unknown params field "nope"'),
        ({"sex_ratio": 1.0000001}, ValueError, "'sex_ratio' requires a value in [0, 1], got 1.0000001"),
        ({"carrying_capacity": 2e12}, ValueError,
         "'carrying_capacity' requires a value in [0, 1000000000000], got 2000000000000"),
        ({"eggs_per_female": float("nan")}, ValueError, "'eggs_per_female' requires a value in [0, 1000000], got NaN"),
        ({"carrying_capacity": 5.0, "growth_mode": 2.5}, ValueError, "Invalid value for growth_mode: 2.5"),
        ({"growth_mode": 5.0}, ValueError, "Invalid value for growth_mode: 5"),
        ({"external_expected_eggs": -0.5}, ValueError, "Invalid value for external_expected_eggs: -0.5"),
        ({"low_density_growth_rate": 0.5}, ValueError, "'low_density_growth_rate' requires a value in [1, 1000000], got 0.5"),
        ({"low_density_growth_rate": float("inf")}, ValueError,
         "'low_density_growth_rate' requires a value in [1, 1000000], got inf"),
    ],
)
def test_apply_failures_write_nothing(writes, exc, message):
    c = built()
    before = c.columns()
    with pytest.raises(exc) as ei:
        c.apply(writes)
    assert ei.value.args[0] == message
    same_columns(before, c.columns())


def test_apply_growth_rate_in_effect_after_the_batch():
    c = built()
    c.raw_set("low_density_growth_rate", np.array([0.5]))  # an invalid stored value
    before = c.columns()
    with pytest.raises(ValueError, match="^low_density_growth_rate must be finite and at least 1.0$"):
        c.apply({})
    with pytest.raises(ValueError, match="^low_density_growth_rate must be finite and at least 1.0$"):
        c.apply({"sex_ratio": 0.3})
    same_columns(before, c.columns())
    c.apply({"sex_ratio": 0.3, "low_density_growth_rate": 1.0})  # the batch repairs it
    assert c.get_scalar("sex_ratio") == 0.3 and c.get_scalar("low_density_growth_rate") == 1.0


def test_apply_writes():
    c = built()
    c.apply({})
    c.apply({"growth_mode": 3.0, "external_expected_eggs": -1.0, "sex_ratio": np.float64(0.75),
             "carrying_capacity": 1e12})
    assert c.columns()["growth_mode"].tolist() == [3]
    assert c.get_scalar("growth_mode") == 3.0
    assert c.get_scalar("sex_ratio") == 0.75
    c.apply({"growth_mode": 0.0, "sex_ratio": -0.0})
    assert c.get_scalar("growth_mode") == 0.0


# ----------------------------------------------------------------- tensor_write


@pytest.mark.parametrize(
    "name, values, exc, message",
    [
        ("fertility", [1.0, np.nan, 1.0, 1.0], ValueError, "fertility requires finite nonnegative values"),
        ("fertility", [1.0, -1e-300, 1.0, 1.0], ValueError, "fertility requires finite nonnegative values"),
        # values are checked before the name and before the length
        ("bogus", [np.inf], ValueError, "bogus requires finite nonnegative values"),
        ("survival_rates", [-1.0], ValueError, "survival_rates requires finite nonnegative values"),
        ("meiosis_map", [0.5] * 12, KeyError,
         '"meiosis_map" is a genetics tensor; route it to the session genetics bank'),
        ("carrying_capacity", [1.0], KeyError, 'unknown params field "carrying_capacity"'),
        ("fertility", [1.0] * 5, ValueError, "Params.fertility: expected 4 elements, got 5"),
        ("survival_rates", [1.0] * 4, ValueError, "Params.survival_rates: expected 8 elements, got 4"),
        ("migration_rate", [0.1] * 7, ValueError, "Params.migration_rate: expected 8 elements, got 7"),
        ("equilibrium_distribution", [1.0] * 4, ValueError,
         "Params.equilibrium_distribution: expected 8 elements, got 4"),
    ],
)
def test_tensor_write_failures(name, values, exc, message):
    c = built()
    before = c.columns()
    with pytest.raises(exc) as ei:
        c.tensor_write(name, np.array(values, dtype=np.float64))
    assert ei.value.args[0] == message
    same_columns(before, c.columns())


def test_tensor_write_equilibrium_declares_every_deme():
    c = built().tile(3)
    c.tensor_write("equilibrium_distribution", np.ones(2 * A * 3))
    assert c.columns()["equilibrium_declared"] == [True] * 3
    c.validate()
    c.tensor_write("equilibrium_distribution", np.zeros(0))
    cols = c.columns()
    assert cols["equilibrium_declared"] == [False] * 3 and cols["equilibrium_distribution"].size == 0
    c.validate()


def test_tensor_write_migration_rate_absent_then_present():
    c = built()
    c.tensor_write("migration_rate", np.zeros(0))  # absent: empty is accepted
    assert c.get_tensor("migration_rate").size == 0
    c.tensor_write("migration_rate", np.full((2, A), 0.1))  # any shape, flattened
    np.testing.assert_array_equal(c.get_tensor("migration_rate"), np.full(8, 0.1))
    with pytest.raises(ValueError, match=re.escape("Params.migration_rate: expected 8 elements, got 0")):
        c.tensor_write("migration_rate", np.zeros(0))
    c.validate()


def test_tensor_write_negative_zero_passes():
    c = built()
    c.tensor_write("fertility", np.array([-0.0, 0.0, 1.0, 0.5]))
    assert math.copysign(1.0, c.get_tensor("fertility")[0]) == -1.0


# ----------------------------------------------------------------- validate


@pytest.mark.parametrize(
    "surgery, message",
    [
        ([("equilibrium_declared", np.array([True]))], "equilibrium declaration presence does not match its columns"),
        ([("equilibrium_declared", np.array([False, False]))],
         "equilibrium declaration presence does not match its columns"),
        ([("custom_slots", [{}, {}])], "custom-slot column must have one entry per deme"),
        ([("eggs_per_female", np.array([1.0, 2.0]))], "Params.eggs_per_female: expected 1 column entries, got 2"),
        ([("growth_mode", np.zeros(0, np.int64))], "Params.growth_mode: expected 1 column entries, got 0"),
        ([("low_density_growth_rate", np.array([np.nan]))], "low_density_growth_rate must be finite and at least 1.0"),
        ([("mating_rates", np.ones(7))], "Params.mating_rates: expected 8 elements, got 7"),
        ([("migration_rate", np.ones(3))], "Params.migration_rate: expected 8 elements, got 3"),
        # first failure wins: declarations before slots before scalars before tensors
        ([("fertility", np.ones(1)), ("sex_ratio", np.ones(3)), ("custom_slots", [])],
         "custom-slot column must have one entry per deme"),
        ([("fertility", np.ones(1)), ("low_density_growth_rate", np.array([0.0]))],
         "low_density_growth_rate must be finite and at least 1.0"),
    ],
)
def test_ecology_validate_order(surgery, message):
    c = built()
    for name, value in surgery:
        c.raw_set(name, value)
    with pytest.raises(ValueError) as ei:
        c.validate()
    assert str(ei.value) == message


def test_construction_validates_ecology_and_genetics():
    bp, p = model()
    p.low_density_growth_rate = 0.9
    with pytest.raises(ValueError, match="^low_density_growth_rate must be finite and at least 1.0$"):
        T.contracts(bp, p)
    bp, p = model()
    p.meiosis_map = np.ones(11)
    with pytest.raises(ValueError, match="^genetics meiosis_map: expected 12 elements, got 11$"):
        T.contracts(bp, p)
    bp, p = model()
    del p.custom_slots
    with pytest.raises(AttributeError):
        T.contracts(bp, p)
    bp, p = model()
    p.growth_mode = 2 ** 64
    with pytest.raises(OverflowError):
        T.contracts(bp, p)
    bp, p = model()
    p.fertility = np.ones(A, dtype=np.float32)
    with pytest.raises(TypeError):
        T.contracts(bp, p)


# ----------------------------------------------------------------- pull_fields


class Source:
    def __init__(self, **kw):
        self.__dict__.update(kw)


def test_pull_fields_commits_everything():
    c = built()
    src = Source(sex_ratio=np.float64(0.3), growth_mode=1.0, fertility=np.full((A,), 0.5),
                 equilibrium_distribution=np.ones((2, A)), viability_fitness=np.full((2, A, 3), 0.9),
                 custom_slots={"flag": True})
    c.pull_fields(0, ["sex_ratio", "growth_mode", "fertility", "equilibrium_distribution",
                      "viability_fitness", "custom_slots"], src)
    cols = c.columns()
    assert cols["sex_ratio"].tolist() == [0.3] and cols["growth_mode"].tolist() == [1]
    assert cols["fertility"].tolist() == [0.5] * A
    assert cols["equilibrium_declared"] == [True]
    assert cols["genetics"]["viability_fitness"].tolist() == [0.9] * 24
    assert cols["custom_slots"] == [{"flag": True}]
    c.validate()
    # an empty equilibrium block undeclares the deme and drops the column
    c.pull_fields(0, ["equilibrium_distribution", "migration_rate"],
                  Source(equilibrium_distribution=np.zeros(0), migration_rate=np.zeros(0)))
    cols = c.columns()
    assert cols["equilibrium_declared"] == [False] and cols["equilibrium_distribution"].size == 0
    assert cols["migration_rate"].size == 0
    c.validate()


@pytest.mark.parametrize(
    "fields, source, with_genetics, exc, message",
    [
        (["sex_ratio", "nope"], Source(sex_ratio=0.1), True, KeyError, 'unknown params field "nope"'),
        (["sex_ratio", "fertility"], Source(sex_ratio=0.1, fertility=np.ones(5)), True, ValueError,
         "Params.fertility: expected 4 elements, got 5"),
        (["meiosis_map"], Source(meiosis_map=np.ones(12)), False, KeyError,
         "meiosis_map is a genetics tensor; this channel carries ecology only"),
        (["sex_ratio", "meiosis_map"], Source(sex_ratio=0.1, meiosis_map=np.ones(13)), True, ValueError,
         "genetics meiosis_map: expected 12 elements, got 13"),
        (["fertility", "sex_ratio"], Source(sex_ratio=2.0, fertility=np.ones(4)), True, ValueError,
         "'sex_ratio' requires a value in [0, 1], got 2"),
        (["sex_ratio", "survival_rates"], Source(sex_ratio=0.2, survival_rates=np.full(8, np.nan)), True,
         ValueError, "survival_rates requires finite nonnegative values"),
        (["sex_ratio", "custom_slots"], Source(sex_ratio=0.2, custom_slots={"x": [1.0]}), True, TypeError, None),
        (["sex_ratio", "fertility"], Source(sex_ratio=0.2, fertility=np.ones(4, np.int64)), True, TypeError, None),
        (["sex_ratio", "fertility"], Source(sex_ratio=0.2, fertility=np.ones(8)[::2]), True, TypeError,
         "The given array is not contiguous"),
        (["sex_ratio", "eggs_per_female"], Source(sex_ratio=0.2), True, AttributeError, None),
        (["sex_ratio", "fertility"], Source(sex_ratio=0.2, fertility=np.ones(4)), True, None, None),
    ],
)
def test_pull_fields_failures_write_nothing(fields, source, with_genetics, exc, message):
    c = built()
    before = c.columns()
    if exc is None:
        c.pull_fields(0, fields, source, with_genetics)
        return
    with pytest.raises(exc) as ei:
        c.pull_fields(0, fields, source, with_genetics)
    if message is not None:
        assert ei.value.args[0] == message
    same_columns(before, c.columns())


def test_pull_fields_per_deme():
    c = built().tile(3)
    c.pull_fields(1, ["fertility", "carrying_capacity", "custom_slots"],
                  Source(fertility=np.full(A, 0.25), carrying_capacity=5.0, custom_slots={"n": 3}))
    cols = c.columns()
    assert cols["fertility"].tolist() == [1.0] * 4 + [0.25] * 4 + [1.0] * 4
    assert cols["carrying_capacity"].tolist() == [1000.0, 5.0, 1000.0]
    assert cols["custom_slots"] == [{}, {"n": 3}, {}]
    # one deme of a column that was never declared has nowhere to go
    before = c.columns()
    with pytest.raises(ValueError) as ei:
        c.pull_fields(2, ["sex_ratio", "equilibrium_distribution"],
                      Source(sex_ratio=0.1, equilibrium_distribution=np.ones(2 * A)))
    assert str(ei.value) == (
        "Params.equilibrium_distribution: column holds 0 elements, expected 24; cannot write one "
        "deme of an undeclared column \u2014 declare equilibrium_distribution at build time to "
        "enable per-deme writes")
    same_columns(before, c.columns())
    # deme past the columns
    for fields in (["sex_ratio"], ["fertility"], ["custom_slots"]):
        with pytest.raises(ValueError, match="^deme 3 out of range for 3 ecology columns$"):
            c.pull_fields(3, fields, Source(sex_ratio=0.1, fertility=np.ones(A), custom_slots={}))
    same_columns(before, c.columns())


def test_pull_fields_declared_column_per_deme():
    bp, p = model()
    p.equilibrium_distribution = np.ones((2, A))
    c = T.contracts(bp, p).tile(2)
    c.pull_fields(1, ["equilibrium_distribution"], Source(equilibrium_distribution=np.zeros(0)))
    cols = c.columns()
    assert cols["equilibrium_declared"] == [True, False]
    assert cols["equilibrium_distribution"].size == 16  # deme 0 still declared
    c.pull_fields(0, ["equilibrium_distribution"], Source(equilibrium_distribution=np.zeros(0)))
    assert c.columns()["equilibrium_distribution"].size == 0
    c.validate()


# ----------------------------------------------------------------- snapshot words, dict, demes


def test_snapshot_words_round_trip():
    c = built()
    c.apply({"growth_mode": 4.0, "sex_ratio": 0.125})
    words, tensors = c.snapshot_words()
    assert len(words) == 7 and len(tensors) == 7
    assert words[2] == int.from_bytes(np.float64(0.125).tobytes(), "little")
    assert words[5] == int.from_bytes(np.float64(4.0).tobytes(), "little")
    saved = c.columns()
    c.apply({"growth_mode": 1.0, "sex_ratio": 0.5})
    c.tensor_write("fertility", np.zeros(A))
    c.restore_words(words, tensors)
    same_columns(saved, c.columns())
    # a prefix of the words restores a prefix of the fields
    c.restore_words(words[:1], [])


def test_restore_words_failure_leaves_everything():
    c = built()
    words, tensors = c.snapshot_words()
    c.apply({"sex_ratio": 0.75})
    before = c.columns()
    bad = list(words)
    bad[4] = int.from_bytes(np.float64(0.5).tobytes(), "little")  # growth rate below 1
    with pytest.raises(ValueError, match="low_density_growth_rate"):
        c.restore_words(bad, tensors)
    same_columns(before, c.columns())
    with pytest.raises(ValueError, match=re.escape("Params.fertility: expected 4 elements, got 1")):
        c.restore_words(words, tensors[:3] + [np.ones(1)])
    same_columns(before, c.columns())


def test_ecology_dict_round_trip_and_atomic_restore():
    c = built(custom_slots={"k": 2, "arr": np.arange(6.0).reshape(2, 3)})
    snap = c.ecology_snapshot()
    assert list(snap) == ["carrying_capacity", "eggs_per_female", "sex_ratio", "sperm_displacement_rate",
                          "low_density_growth_rate", "growth_mode", "external_expected_eggs",
                          "survival_rates", "mating_rates", "reproduction_rates", "fertility",
                          "competition_weights", "equilibrium_distribution", "migration_rate", "custom_slots"]
    saved = c.columns()
    c.apply({"sex_ratio": 0.9})
    c.set_custom_slots({})
    c.restore_ecology(snap)
    same_columns(saved, c.columns())
    before = c.columns()
    for broken in (
        {k: v for k, v in snap.items() if k != "custom_slots"},
        dict(snap, fertility=np.ones(8)[::2]),
        dict(snap, sex_ratio="x"),
        dict(snap, growth_mode=7.0),
        dict(snap, custom_slots={"a": None}),
    ):
        with pytest.raises((KeyError, TypeError, ValueError)):
            c.restore_ecology(broken)
        same_columns(before, c.columns())


def test_single_and_replace_deme():
    bp, p = model()
    p.migration_rate = np.full(2 * A, 0.1)
    c = T.contracts(bp, p).tile(3)
    one = c.single_deme(1)
    assert one.columns()["equilibrium_distribution"].size == 0
    one.apply({"carrying_capacity": 7.0})
    one.tensor_write("equilibrium_distribution", np.full(2 * A, 3.0))
    one.set_custom_slots({"z": 1.5})
    c.replace_deme(1, one)
    cols = c.columns()
    assert cols["carrying_capacity"].tolist() == [1000.0, 7.0, 1000.0]
    assert cols["equilibrium_declared"] == [False, True, False]
    assert cols["equilibrium_distribution"].tolist() == [0.0] * 8 + [3.0] * 8 + [0.0] * 8
    assert cols["custom_slots"] == [{}, {"z": 1.5}, {}]
    c.validate()
    assert c.single_deme(1).columns()["equilibrium_distribution"].tolist() == [3.0] * 8
    # undeclaring the last declared deme drops the column
    one.tensor_write("equilibrium_distribution", np.zeros(0))
    c.replace_deme(1, one)
    assert c.columns()["equilibrium_distribution"].size == 0
    with pytest.raises(ValueError, match="^deme 3 out of range for 3 ecology columns$"):
        c.single_deme(3)
    with pytest.raises(ValueError, match="^deme 5 out of range for 3 ecology columns$"):
        c.replace_deme(5, one)


# ----------------------------------------------------------------- genetics


def test_genetics_tensor_write():
    c = built()
    before = c.columns()
    for name, values, exc, message in [
        ("meiosis_map", np.ones(11), ValueError, "genetics meiosis_map: expected 12 elements, got 11"),
        ("meiosis_map", np.full(99, np.nan), ValueError, "meiosis_map requires finite nonnegative values"),
        ("survival_rates", np.ones(8), KeyError, 'unknown genetics tensor "survival_rates"'),
    ]:
        with pytest.raises(exc) as ei:
            c.genetics_tensor_write(name, values)
        assert ei.value.args[0] == message
        same_columns(before, c.columns())
    c.genetics_tensor_write("meiosis_map", np.full((2, 3, 2), 0.5))
    assert c.columns()["genetics"]["meiosis_map"].tolist() == [0.5] * 12
    assert [c.genetics_expected_len(n) for n in
            ("viability_fitness", "fecundity_fitness", "sexual_selection_fitness", "zygote_viability_fitness",
             "offspring_tensor", "meiosis_map", "female_ztype_compatibility",
             "male_ztype_compatibility")] == [24, 6, 9, 6, 27, 12, 3, 3]


def test_genetics_equality():
    a, b = built(), built()
    assert a.genetics_equal(b)
    z = np.ones(9)
    z[4] = 0.0
    a.genetics_tensor_write("sexual_selection_fitness", z)
    z[4] = -0.0
    b.genetics_tensor_write("sexual_selection_fitness", z)
    assert a.genetics_equal(b)
    bp, p = model()
    p.fecundity_fitness = np.array([1.0, np.nan, 1, 1, 1, 1])  # unchecked at construction
    n = T.contracts(bp, p)
    assert not n.genetics_equal(n)
    assert not a.genetics_equal(n)


# ----------------------------------------------------------------- custom slots


def test_custom_slot_round_trip():
    t = np.arange(6.0).reshape(2, 3).T  # non-contiguous view, logical order kept
    values = {"flag": True, "n": 3, "r": 3.0, "m": np.arange(6.0).reshape(2, 3), "t": t,
              "zero_d": np.array(2.5), "big": -(2 ** 63), "sub": np.float64(0.5), "empty": np.zeros((0, 4))}
    out = T.custom_slots_roundtrip(values)
    assert list(out) == list(values)
    assert out["flag"] is True and type(out["n"]) is int and type(out["r"]) is float
    assert out["big"] == -(2 ** 63)
    assert type(out["sub"]) is float and out["sub"] == 0.5
    for k in ("m", "t", "zero_d", "empty"):
        assert out[k].shape == values[k].shape and out[k].flags.c_contiguous and out[k].flags.owndata
        np.testing.assert_array_equal(out[k], values[k])
    assert out["zero_d"].shape == ()


@pytest.mark.parametrize(
    "values, exc",
    [
        ({"a": np.arange(3)}, TypeError),
        ({"a": np.ones(3, np.float32)}, TypeError),
        ({"a": [1.0]}, TypeError),
        ({"a": "text"}, TypeError),
        ({"a": None}, TypeError),
        ({"a": np.int64(1)}, TypeError),
        ({"a": 2 ** 63}, OverflowError),
        ({1: 1.0}, TypeError),
        ([("a", 1.0)], TypeError),
    ],
)
def test_custom_slot_bad_values_leave_slots(values, exc):
    c = built(custom_slots={"keep": 1})
    with pytest.raises(exc):
        c.set_custom_slots(values)
    assert c.get_custom_slots() == {"keep": 1}
    with pytest.raises(exc):
        T.custom_slots_roundtrip(values)


def test_set_custom_slots_replaces_the_map():
    c = built(custom_slots={"a": 1, "b": 2.0})
    c.set_custom_slots({"b": False})
    assert c.get_custom_slots() == {"b": False}
    c.set_custom_slots({})
    assert c.get_custom_slots() == {}
    d = c.get_custom_slots()
    d["x"] = 1  # detached
    assert c.get_custom_slots() == {}


# ----------------------------------------------------------------- atomicity under random writes

SCALARS = ["carrying_capacity", "eggs_per_female", "sex_ratio", "sperm_displacement_rate",
           "low_density_growth_rate", "growth_mode", "external_expected_eggs"]
TENSORS = ["survival_rates", "mating_rates", "reproduction_rates", "fertility", "competition_weights",
           "equilibrium_distribution", "migration_rate"]
NAMES = SCALARS + TENSORS + ["meiosis_map", "offspring_tensor", "custom_slots", "bogus"]

floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 4.0, 5.0, 1e6, 1e12, 2e12]),
)
def _array(n, v, dt):
    with np.errstate(all="ignore"):
        return np.full(n, v).astype(dt)


arrays = st.builds(
    _array,
    st.sampled_from([0, 1, 4, 8, 12, 27]),
    floats,
    st.sampled_from([np.float64, np.float64, np.float64, np.float32, np.int64]),
)
slot_values = st.one_of(st.booleans(), st.integers(-(2 ** 64), 2 ** 64), floats, arrays,
                        st.none(), st.text(max_size=2))
op = st.one_of(
    st.tuples(st.just("apply"), st.dictionaries(st.sampled_from(NAMES), floats, max_size=3)),
    st.tuples(st.just("tensor_write"), st.sampled_from(NAMES), arrays),
    st.tuples(st.just("pull"), st.integers(0, 1), st.lists(st.sampled_from(NAMES), max_size=4),
              st.dictionaries(st.sampled_from(NAMES), st.one_of(floats, arrays), max_size=6),
              st.dictionaries(st.text(max_size=2), slot_values, max_size=3), st.booleans()),
    st.tuples(st.just("slots"), st.dictionaries(st.text(max_size=2), slot_values, max_size=3)),
    st.tuples(st.just("words"), st.lists(st.integers(0, 2 ** 64 - 1), max_size=8)),
)


def run_op(c, o):
    kind = o[0]
    if kind == "apply":
        c.apply(o[1])
    elif kind == "tensor_write":
        c.tensor_write(o[1], o[2])
    elif kind == "pull":
        _, deme, fields, attrs, slots, with_gen = o
        c.pull_fields(deme, fields, Source(**{**attrs, "custom_slots": slots}), with_gen)
    elif kind == "slots":
        c.set_custom_slots(o[1])
    else:
        words, tensors = c.snapshot_words()
        c.restore_words(o[1], tensors)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(op, min_size=1, max_size=6), st.integers(1, 2))
def test_failed_writes_change_nothing(ops, n_demes):
    c = built()
    if n_demes > 1:
        c = c.tile(n_demes)
    for o in ops:
        before = c.columns()
        try:
            run_op(c, o)
        except (ValueError, KeyError, TypeError, OverflowError, AttributeError):
            same_columns(before, c.columns())
        # whatever happened, the contracts still satisfy their invariants
        c.validate()


# ----------------------------------------------------------------- host-side builders


def test_host_builders_make_valid_models():
    locus = make_locus(3)  # six genotypes, three gamete types
    bp = Blueprint(5, 1, locus, n_demes=3, stochastic=True)
    bp.initial_individual_count[0, 1, :] = 10.0
    assert bp.migration_indptr.tolist() == [0, 0, 0, 0]  # demes without a migration graph
    T.validate_blueprint(bp)
    bp = Blueprint(5, 1, locus, initial_sperm_storage=np.zeros(5 * 6 * 6))
    p = Params(bp, carrying_capacity=10, growth_mode=np.int64(1), fertility=[0.5] * 5,
               custom_slots={"tag": 1})
    c = T.contracts(bp, p)
    assert c.get_scalar("carrying_capacity") == 10.0 and c.get_scalar("growth_mode") == 1.0
    assert c.get_tensor("fertility").tolist() == [0.5] * 5
    assert c.get_tensor("reproduction_rates").tolist() == [0.0, 1.0, 1.0, 1.0, 1.0]
    assert c.get_custom_slots() == {"tag": 1}
    # Mendelian offspring tensor: probabilities over zygotes sum to one
    assert np.allclose(np.asarray(p.offspring_tensor).reshape(6, 6, 6).sum(axis=2), 1.0)
    with pytest.raises(TypeError):
        Params(bp, no_such_field=1.0)


def test_params_copy_is_deep():
    bp, p = model()
    p.custom_slots = {"arr": np.zeros(2)}
    q = p.copy()
    q.fertility[0] = 0.0
    q.custom_slots["arr"][0] = 1.0
    q.sex_ratio = 0.1
    assert p.fertility[0] == 1.0 and p.custom_slots["arr"][0] == 0.0 and p.sex_ratio == 0.5


def test_default_genetics_model():
    pytest.importorskip("qorin.genetics")
    bp = Blueprint(3)
    c = T.contracts(bp, Params(bp))
    assert c.genetics_expected_len("offspring_tensor") == bp.n_ztypes ** 3
