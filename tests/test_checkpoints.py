"""Memory snapshots and checkpoints of EngineSession."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from qorin import _engine_rs, genetics
from qorin.contracts import Blueprint, Params

EngineSession = _engine_rs.EngineSession


def session(stochastic=True, continuous=False, seed=3):
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(n_ages=4, new_adult_age=2, locus=locus, stochastic=stochastic,
                   continuous_sampling=continuous)
    bp.initial_individual_count[:, 2:, :] = 40.0
    return EngineSession(bp, Params(bp, locus), seed=seed)


def same_snapshot(a, b):
    assert a[0] == b[0]
    np.testing.assert_array_equal(a[1], b[1])
    np.testing.assert_array_equal(a[2], b[2])
    assert a[3] == b[3]
    assert a[4].keys() == b[4].keys()
    for k in a[4]:
        if k == "custom_slots":
            assert a[4][k].keys() == b[4][k].keys()
        else:
            np.testing.assert_array_equal(a[4][k], b[4][k])


@pytest.mark.parametrize("stochastic, continuous", [(False, False), (True, False), (True, True)])
def test_snapshot_restore_replays_draw_for_draw(stochastic, continuous):
    s = session(stochastic, continuous)
    s.tick(0)
    snap = s.snapshot_state()
    for _ in range(3):
        s.tick(0)
    first = s.snapshot_state()
    assert s.restore_state(*snap) == snap[0]
    same_snapshot(s.snapshot_state(), snap)
    for _ in range(3):
        s.tick(0)
    same_snapshot(s.snapshot_state(), first)


def test_snapshot_layout_and_ownership():
    s = session()
    tick, ind, sperm, words, eco = s.snapshot_state()
    assert tick == 0 and ind.shape == (24,) and sperm.shape == (36,)
    assert ind.flags.owndata and sperm.flags.owndata
    assert len(words) == 4 and all(isinstance(w, int) for w in words)
    assert list(eco) == ["carrying_capacity", "eggs_per_female", "sex_ratio", "sperm_displacement_rate",
                         "low_density_growth_rate", "growth_mode", "external_expected_eggs",
                         "survival_rates", "mating_rates", "reproduction_rates", "fertility",
                         "competition_weights", "equilibrium_distribution", "migration_rate",
                         "custom_slots"]
    assert isinstance(eco["growth_mode"], float)


def test_zero_words_continue_as_seed_zero():
    s = session(seed=77)
    snap = list(s.snapshot_state())
    snap[3] = [0, 0, 0, 0]
    s.restore_state(*snap)
    assert s.snapshot_state()[3] == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F,
                                     0xF88BB8A8724C81EC]
    ref = session(seed=0)
    s.tick(0)
    ref.tick(0)
    np.testing.assert_array_equal(s.snapshot_state()[1], ref.snapshot_state()[1])


def broken(snap, how):
    tick, ind, sperm, words, eco = snap
    eco = dict(eco)
    if how == "three_words":
        return (tick, ind, sperm, words[:3], eco), ValueError, "rng_words must contain 4 state words, got 3"
    if how == "non_contiguous":
        return (tick, np.repeat(ind, 2)[::2], sperm, words, eco), ValueError, "The given array is not contiguous"
    if how == "short":
        return (tick, ind[:-1], sperm, words, eco), ValueError, "checkpoint arrays do not match the live state size"
    if how == "long_sperm":
        return (tick, ind, np.append(sperm, 0.0), words, eco), ValueError, \
            "checkpoint arrays do not match the live state size"
    if how == "negative_tick":
        return (-1, ind, sperm, words, eco), ValueError, "tick must be nonnegative"
    if how == "nan_count":
        bad = ind.copy()
        bad[0] = np.nan
        return (tick, bad, sperm, words, eco), ValueError, "state counts must be finite and nonnegative"
    if how == "no_custom_slots":
        del eco["custom_slots"]
        return (tick, ind, sperm, words, eco), KeyError, None
    if how == "bad_scalar":
        eco["sex_ratio"] = 3.0
        return (tick, ind, sperm, words, eco), ValueError, None
    if how == "int_tensor":
        eco["fertility"] = np.ones(4, dtype=np.int64)
        return (tick, ind, sperm, words, eco), TypeError, None
    if how == "short_tensor":
        eco["fertility"] = np.ones(3)
        return (tick, ind, sperm, words, eco), ValueError, None
    if how == "int_array":
        return (tick, ind.astype(np.int64), sperm, words, eco), TypeError, None
    raise AssertionError(how)


CASES = ["three_words", "non_contiguous", "short", "long_sperm", "negative_tick", "nan_count",
         "no_custom_slots", "bad_scalar", "int_tensor", "short_tensor", "int_array"]


@pytest.mark.parametrize("how", CASES)
def test_failed_restore_changes_nothing(how):
    s = session()
    s.tick(0)
    target = s.snapshot_state()
    s.tick(0)
    s.stop()
    before = s.snapshot_state()
    args, exc, message = broken(target, how)
    with pytest.raises(exc) as e:
        s.restore_state(*args)
    if message is not None:
        assert str(e.value) == message
    same_snapshot(s.snapshot_state(), before)
    assert s.execution_state() == ("Stopped", 0)


@settings(max_examples=40, deadline=None)
@given(st.lists(st.sampled_from(CASES), min_size=1, max_size=3), st.integers(0, 5))
def test_any_sequence_of_failed_restores_is_invisible(cases, ticks):
    s = session(seed=ticks)
    target = s.snapshot_state()
    for _ in range(ticks):
        s.tick(0)
    before = s.snapshot_state()
    for how in cases:
        args, exc, _ = broken(target, how)
        with pytest.raises(exc):
            s.restore_state(*args)
    same_snapshot(s.snapshot_state(), before)


def test_restore_brings_stopped_session_back_to_ready():
    s = session()
    snap = s.snapshot_state()
    s.tick(0)
    s.stop()
    s.restore_state(*snap)
    assert s.execution_state() == ("Ready", 0) and s.current_tick() == 0
    assert s.tick(0) == 0


def test_restore_state_restores_ecology_not_genetics():
    s = session()
    snap = s.snapshot_state()
    s.apply({"sex_ratio": 0.3})
    s.tensor_write("fecundity_fitness", np.full(6, 2.0))
    s.set_custom_slots({"k": 1.0})
    s.restore_state(*snap)
    assert s.get_scalar("sex_ratio") == snap[4]["sex_ratio"]
    assert s.get_custom_slots() == {}
    np.testing.assert_array_equal(s.get_tensor("fecundity_fitness"), np.full(6, 2.0))


def test_restore_from_checkpoint_without_checkpoints():
    s = session()
    s.tick(0)
    before = s.snapshot_state()
    assert s.restore_from_checkpoint(0) is None
    same_snapshot(s.snapshot_state(), before)
    s.truncate_checkpoints(10)
    s.retain_checkpoints_from(0)
    s.clear_checkpoints()
