"""Spatial session: construction checks in order, the variant bank, per-deme operations."""

import numpy as np
import pytest

import spatial_model as M
from qorin import _engine_rs
from qorin.contracts import Params

S = _engine_rs.HeterogeneousSpatialEngineSession


def parts(n=2, **over):
    bp = M.blueprint(n)
    p = Params(bp, carrying_capacity=300.0, low_density_growth_rate=3.0)
    cols = M.columns([p] * n, np.full((n, 2, bp.n_ages), 0.1))
    ind, sperm = M.initial_state(bp, n)
    args = dict(blueprint=bp, ecology_columns=cols, tensor_bank=[M.genetics(p)],
                deme_variant_ids=np.zeros(n, dtype=np.int64), individual_count_all=ind,
                sperm_storage_all=sperm, tick=0)
    args.update(over)
    return args


def _cols(**changes):
    c = parts()["ecology_columns"]
    c.update(changes)
    return c


def _bad_bp():
    bp = M.blueprint(2)
    bp.migration_indptr = np.array([0, 1], dtype=np.int64)
    return bp


# Each case breaks one step; the earlier steps stay valid, so the order is checked too.
@pytest.mark.parametrize("over, exc, message", [
    (dict(tick=-1, blueprint=None), ValueError, "state tick must be nonnegative"),
    (dict(blueprint=_bad_bp()), ValueError, "Blueprint.migration_indptr: expected 3 elements, got 2"),
    (dict(ecology_columns=[1]), TypeError, "PyDict"),
    (dict(ecology_columns=_cols(growth_mode=np.array([3], dtype=np.int64))), ValueError,
     "ecology column growth_mode: expected 2 entries, got 1"),
    (dict(ecology_columns=_cols(equilibrium_declared=np.array([0, 2], dtype=np.int64))), ValueError,
     "equilibrium_declared must contain 0 or 1"),
    (dict(ecology_columns=_cols(sex_ratio=np.ones(3))), ValueError, "ecology column sex_ratio: expected 2 entries, got 3"),
    (dict(ecology_columns=_cols(survival_rates=np.ones(7))), ValueError,
     "ecology column survival_rates: length 7 is not a multiple of 2 demes"),
    (dict(ecology_columns=_cols(custom_slots=np.ones(2))), KeyError, 'unknown ecology column "custom_slots"'),
    (dict(ecology_columns=_cols(sex_ratio=np.ones((2, 2))[:, 0])), TypeError, "The given array is not contiguous"),
    (dict(ecology_columns=_cols(survival_rates=np.ones(2))), ValueError, "Params.survival_rates: expected 12"),
    (dict(ecology_columns=_cols(sex_ratio=np.array([0.5, 1.5]))), ValueError, "'sex_ratio' requires a value in [0, 1]"),
    (dict(ecology_columns=_cols(migration_rate=np.full(12, 1.5))), ValueError, "migration_rate requires finite values in [0, 1]"),
    (dict(tensor_bank=[[1]]), TypeError, "PyDict"),
    (dict(tensor_bank=[{"nonsense": np.ones(1)}]), KeyError, 'unknown genetics tensor "nonsense"'),
    (dict(tensor_bank=[{"viability_fitness": np.ones(3)}]), ValueError, "viability_fitness"),
    (dict(tensor_bank=[]), ValueError, "tensor_bank must contain at least one genetics variant"),
    (dict(deme_variant_ids=np.zeros(4, dtype=np.int64)[::2]), ValueError, "The given array is not contiguous"),
    (dict(deme_variant_ids=np.array([0, -1], dtype=np.int64)), ValueError,
     "deme 1 variant id 18446744073709551615 out of range for a bank of 1 entries"),
    (dict(model="discrete"), ValueError,
     'unknown spatial model "discrete" (expected "age_structured" or "discrete_generation")'),
    (dict(individual_count_all=np.zeros((2, 2, 3, 2))), ValueError,
     "individual_count_all must have shape (2, 2, 3, 3), got [2, 2, 3, 2]"),
    (dict(individual_count_all=np.full((2, 2, 3, 3), -1.0)), ValueError,
     "individual_count_all must contain finite nonnegative values"),
    (dict(individual_count_all=np.asfortranarray(np.ones((2, 2, 3, 3)))), ValueError, "The given array is not contiguous"),
    (dict(sperm_storage_all=np.zeros((2, 3, 3, 2))), ValueError,
     "sperm_storage_all must have shape [2, 3, 3, 3], got [2, 3, 3, 2]"),
    (dict(sperm_storage_all=np.full((2, 3, 3, 3), np.nan)), ValueError,
     "sperm_storage_all must contain finite nonnegative values"),
    (dict(model="discrete_generation"), ValueError, "discrete blueprint must have n_ages == 2, got 3"),
])
def test_construction_errors_in_order(over, exc, message):
    args = parts(**over)
    if args["blueprint"] is None:
        args["blueprint"] = object()  # never read: the tick fails first
    with pytest.raises(exc) as e:
        S(**args)
    assert message in str(e.value)


def test_age_structured_model_checks():
    args = parts()
    args["blueprint"].new_adult_age = 0
    args["blueprint"].adult_ages = np.arange(0, 3)
    with pytest.raises(ValueError, match=r"^new_adult_age must be in \[1, 3\], got 0$"):
        S(**args)


def test_discrete_model_refuses_sperm_and_empty_genotypes():
    s, bp, cols, bank = M.session(2, model="discrete_generation")
    ind, sperm = M.initial_state(bp, 2)
    sperm[0, 1, 0, 0] = 1.0
    with pytest.raises(ValueError, match="keeps no sperm storage"):
        S(bp, cols, bank, np.zeros(2, dtype=np.int64), ind, sperm, 0, model="discrete_generation")
    # set_state refuses it the same way and changes nothing
    before = s.state_snapshot()
    with pytest.raises(ValueError, match="keeps no sperm storage"):
        s.set_state(ind, sperm, 3)
    after = s.state_snapshot()
    assert after[0] == before[0] and np.array_equal(after[1], before[1])


def test_defaults_duplicates_and_empty_optional_columns():
    s = S(**parts(ecology_columns=_cols(migration_rate=np.zeros(0))))
    snap = s.ecology_columns_snapshot()
    assert list(snap) == ["carrying_capacity", "eggs_per_female", "sex_ratio", "sperm_displacement_rate",
                          "low_density_growth_rate", "growth_mode", "equilibrium_declared",
                          "external_expected_eggs", "survival_rates", "mating_rates", "reproduction_rates",
                          "fertility", "competition_weights", "equilibrium_distribution", "migration_rate"]
    assert snap["migration_rate"].dtype == np.float64 and snap["migration_rate"].size == 0
    assert snap["growth_mode"].dtype == np.int64
    assert s.execution_state() == ("Ready", 0)

    class Key(str):
        def __str__(self):
            return "sex_ratio"
    cols = _cols()
    cols[Key("x")] = np.array([0.5, 0.5])
    with pytest.raises(ValueError, match='^duplicate ecology column "sex_ratio"$'):
        S(**parts(ecology_columns=cols))


# ---- variant bank ----

def test_bank_repointing_rules():
    p = parts()
    gen = p["tensor_bank"][0]
    s = S(**parts(tensor_bank=[gen, dict(gen)], deme_variant_ids=np.array([0, 1], dtype=np.int64)))
    assert s.n_variants() == 2
    # an ecology write moves deme 1 onto the equal entry 0
    s.tensor_write_deme(1, "fertility", [1.0, 1.0, 0.5])
    assert s.n_variants() == 2
    np.testing.assert_array_equal(s.get_deme_tensor(1, "fertility"), [1.0, 1.0, 0.5])
    np.testing.assert_array_equal(s.get_deme_tensor(0, "fertility"), [1.0, 1.0, 1.0])
    # writing the values a genetics tensor already has adds nothing
    s.tensor_write_deme(0, "fecundity_fitness", list(gen["fecundity_fitness"]))
    assert s.n_variants() == 2
    # a real change appends a private entry; reverting finds entry 0 again
    changed = gen["fecundity_fitness"].copy()
    changed[0] = 0.5
    s.tensor_write_deme(0, "fecundity_fitness", changed)
    assert s.n_variants() == 3
    np.testing.assert_array_equal(s.get_deme_tensor(0, "fecundity_fitness"), changed)
    np.testing.assert_array_equal(s.get_deme_tensor(1, "fecundity_fitness"), gen["fecundity_fitness"])
    s.tensor_write_deme(0, "fecundity_fitness", gen["fecundity_fitness"])
    assert s.n_variants() == 3
    np.testing.assert_array_equal(s.get_deme_tensor(0, "fecundity_fitness"), gen["fecundity_fitness"])


def test_fork_and_refresh_variant():
    s = S(**parts())
    assert s.fork_variant(1) == 1 and s.n_variants() == 2
    assert s.fork_variant(1) == 2 and s.n_variants() == 3  # even when the deme alone uses it
    with pytest.raises(ValueError, match="^deme 2 out of range for 2 variant ids$"):
        s.fork_variant(2)
    src = type("Src", (), {})()
    src.fecundity_fitness = np.full((2, 3), 0.25)
    s.refresh_variant_tensors(2, ["fecundity_fitness"], src)
    np.testing.assert_array_equal(s.get_deme_tensor(1, "fecundity_fitness"), np.full(6, 0.25))
    np.testing.assert_array_equal(s.get_deme_tensor(0, "fecundity_fitness"), np.ones(6))
    with pytest.raises(KeyError, match='"fertility" is not a genetics tensor'):
        s.refresh_variant_tensors(0, ["fertility"], src)
    with pytest.raises(ValueError, match="^variant_id 3 out of range for a bank of 3 entries$"):
        s.refresh_variant_tensors(3, ["fecundity_fitness"], src)
    src.fecundity_fitness = np.full(5, 0.25)
    with pytest.raises(ValueError, match="^genetics fecundity_fitness: expected 6 elements, got 5$"):
        s.refresh_variant_tensors(0, ["fecundity_fitness"], src)


# ---- per-deme parameters and bad input ----

@pytest.mark.parametrize("call, message", [
    (lambda s: s.apply_deme(2, {"sex_ratio": 0.4}), "^deme out of range$"),
    (lambda s: s.get_deme_scalar(2, "sex_ratio"), "^deme out of range$"),
    (lambda s: s.get_deme_tensor(2, "fertility"), "^deme out of range$"),
    (lambda s: s.tensor_write_deme(2, "fertility", [1, 1, 1]), "^deme out of range$"),
    (lambda s: s.get_deme_custom_slots(2), "^deme out of range$"),
    (lambda s: s.set_deme_custom_slots(2, {}), "^deme out of range$"),
    (lambda s: s.refresh_deme_parameters(2, [], None), "^deme out of range$"),
    (lambda s: s.counts(2), "^deme 2 out of range for 2 demes$"),
    (lambda s: s.state_snapshot_deme(2), "^deme 2 out of range for 2 demes$"),
    (lambda s: s.refresh_deme_ecology(2, [], None), "^deme 2 out of range for 2 ecology columns$"),
    (lambda s: s.trigger_deme_event(2, 0), "^unknown deme or hook event$"),
    (lambda s: s.trigger_deme_event(0, 4), "^unknown deme or hook event$"),
    (lambda s: s.set_migration_rate(np.zeros(11)), r"^migration_rate must hold \(n_demes, 2, n_ages\) = 12 values, got 11$"),
    (lambda s: s.set_migration_rate(np.zeros(24)[::2]), "^The given array is not contiguous$"),
    (lambda s: s.set_migration_rate(np.full(12, -0.1)), "migration_rate requires finite values in"),
    (lambda s: s.set_migration_rate(np.full(12, np.nan)), "migration_rate requires finite values in"),
    (lambda s: s.tensor_write_deme(0, "migration_rate", [2.0] * 6), "migration_rate requires finite values in"),
    (lambda s: s.set_state(np.zeros((2, 2, 3, 3)), np.zeros((2, 3, 3, 3)), -1), "^state tick must be nonnegative$"),
    (lambda s: s.set_state(np.zeros((2, 2, 3, 3))[:, :, :, ::-1], np.zeros((2, 3, 3, 3)), 1),
     "^The given array is not contiguous$"),
    (lambda s: s.run_steps(-1, 0), "^n_steps must be >= 0$"),
])
def test_bad_input_changes_nothing(call, message):
    s = S(**parts())
    before = (s.state_snapshot(), s.ecology_columns_snapshot(), s.n_variants(), s.execution_state())
    with pytest.raises(ValueError, match=message):
        call(s)
    after = (s.state_snapshot(), s.ecology_columns_snapshot(), s.n_variants(), s.execution_state())
    assert before[0][0] == after[0][0]
    for a, b in zip(before[0][1:], after[0][1:]):
        np.testing.assert_array_equal(a, b)
    for k in before[1]:
        np.testing.assert_array_equal(before[1][k], after[1][k])
    assert before[2:] == after[2:]


def test_per_deme_parameter_roundtrip():
    s = S(**parts())
    s.apply_deme(1, {"carrying_capacity": 42.0, "sex_ratio": 0.25})
    assert s.get_deme_scalar(1, "carrying_capacity") == 42.0
    assert s.get_deme_scalar(0, "carrying_capacity") == 300.0
    with pytest.raises(ValueError):
        s.apply_deme(0, {"carrying_capacity": 1.0, "sex_ratio": 2.0})  # all or nothing
    assert s.get_deme_scalar(0, "carrying_capacity") == 300.0
    s.set_deme_custom_slots(0, {"flag": True, "n": 3, "x": np.arange(3.0)})
    got = s.get_deme_custom_slots(0)
    assert got["flag"] is True and got["n"] == 3 and np.array_equal(got["x"], np.arange(3.0))
    assert s.get_deme_custom_slots(1) == {}
    src = type("Src", (), {})()
    src.sex_ratio = 0.4
    src.fecundity_fitness = np.full((2, 3), 0.5)
    s.refresh_deme_parameters(0, ["sex_ratio", "fecundity_fitness"], src)
    assert s.get_deme_scalar(0, "sex_ratio") == 0.4 and s.n_variants() == 2
    with pytest.raises(KeyError, match="is a genetics tensor; this channel carries ecology only"):
        s.refresh_deme_ecology(1, ["fecundity_fitness"], src)
    src.migration_rate = np.full((2, 3), 3.0)
    with pytest.raises(ValueError, match="migration_rate requires"):
        s.refresh_deme_ecology(1, ["migration_rate"], src)
    np.testing.assert_array_equal(s.ecology_columns_snapshot()["migration_rate"], np.full(12, 0.1))


def test_state_snapshots_and_counts():
    s = S(**parts())
    ind = np.arange(36.0).reshape(2, 2, 3, 3)
    sperm = np.zeros((2, 3, 3, 3))
    s.set_state(ind, sperm, 7)
    assert s.current_tick() == 7
    t, i1, s1 = s.state_snapshot_deme(1)
    assert t == 7 and np.array_equal(i1, ind[1].ravel()) and s1.shape == (27,)
    total, female, male = s.counts(1)
    assert female == ind[1, 0].sum() and male == ind[1, 1].sum() and total == ind[1].sum()
