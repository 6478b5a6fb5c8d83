"""The qorin.hooks builder: readable operations compiled into CSR columns that the
engine runs as intended."""

import numpy as np
import pytest

from qorin import _engine_testing as T
from qorin import hooks as H

WORDS = T.rng_new(7)


def run(prog, ind, sperm=(), A=1, Z=1, tick=0, event=0, **kw):
    return T.run_event(prog, event, [float(x) for x in ind], [float(x) for x in sperm], A, Z, tick, **kw)


def test_columns_have_the_engine_dtypes_and_lengths():
    b = H.HookProgramBuilder(n_ages=3, n_ztypes=2)
    b.add_hook("first", [H.kill(0.5), H.convert(0.1, source_z=0, target_z=1)])
    b.add_hook("late", H.clear_sperm([(1, 0)]), demes=range(2, 5))
    p = b.build()
    n_ops = 3
    for name in H.HookProgram.INT_COLUMNS:
        assert getattr(p, name).dtype == np.int64, name
    assert p.params_data.dtype == np.float64 and p.sp_literals.dtype == np.float64
    assert p.sex_masks_data.dtype == bool and len(p.sex_masks_data) == 2 * n_ops
    for name in ("age_offsets_data", "zidx_offsets_data", "condition_offsets_data", "rpn_offsets",
                 "convert_offsets", "clear_offsets"):
        assert len(getattr(p, name)) == n_ops + 1, name
    for name in ("sp_every", "sp_start", "sp_param_ids", "convert_source_z", "convert_target_z"):
        assert len(getattr(p, name)) == n_ops, name
    assert p.hook_offsets.tolist() == [0, 1, 1, 2, 2]
    assert p.deme_selector_types.tolist() == [0, 2] and p.deme_selector_data.tolist() == [2, 5]
    assert p.clear_coords.tolist() == [0, 1, 0]


def test_kill_with_selection_and_schedule():
    b = H.HookProgramBuilder(n_ages=4, n_ztypes=2)
    b.add_hook("early", H.kill(0.5, sex="female", ages=[2, 3], ztypes=[1], when=H.every(5)))
    prog = b.build()
    ind = np.full(2 * 4 * 2, 8.0)
    want = ind.reshape(2, 4, 2).copy()
    want[0, 2:, 1] = 4.0
    assert run(prog, ind, A=4, Z=2, event=1, tick=10)["ind"] == want.ravel().tolist()
    assert run(prog, ind, A=4, Z=2, event=1, tick=11)["ind"] == ind.tolist()


def test_condition_combinators():
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    window = (H.from_tick(10) & H.before(20)) | H.at(3)
    b.add_hook("first", H.set_count(1.0, when=window & ~H.every(2)))
    prog = b.build()
    got = [t for t in range(25) if run(prog, [0, 0], tick=t)["ind"] == [1, 1]]
    assert got == [3, 11, 13, 15, 17, 19]


@pytest.mark.parametrize("cond, ticks", [
    (H.until(5), [0, 1, 2, 3, 4, 5]),
    (H.before(5), [0, 1, 2, 3, 4]),
    (H.after(5), [6, 7, 8, 9]),
    (H.from_tick(5), [5, 6, 7, 8, 9]),
    (H.at(5), [5]),
    (H.at(0), [0]),
    (H.every(3), [0, 3, 6, 9]),
    (H.every(1), list(range(10))),
    (H.every(0), []),
])
def test_each_condition_fires_on_exactly_its_ticks(cond, ticks):
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    b.add_hook("first", H.set_count(1.0, when=cond))
    prog = b.build()
    assert [t for t in range(10) if run(prog, [0, 0], tick=t)["ind"] == [1, 1]] == ticks
    assert cond.ticks(10) == ticks


@pytest.mark.parametrize("every, start, when, ticks", [
    (4, 2, None, [2, 6, 10]),
    (1, 3, None, [3, 4, 5, 6, 7, 8, 9, 10, 11]),
    (5, 0, None, [0, 5, 10]),
    (2, 1, H.until(7), [1, 3, 5, 7]),  # both the schedule and the condition must hold
])
def test_set_param_fires_from_start_every_period(every, start, when, ticks):
    b = H.HookProgramBuilder()
    b.add_hook("first", H.set_param("sex_ratio", 0.25, every=every, start=start, when=when))
    prog = b.build()
    staged = [100.0, 1.0, 0.5, 0.0, 2.0]
    fired = [t for t in range(12) if run(prog, [], A=0, Z=0, tick=t, staged=staged)["staged"][2] == 0.25]
    assert fired == ticks


def test_release_ticks_at_both_ends_of_a_window():
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    b.add_hook("early", H.release(5, when=H.from_tick(3) & H.until(6)))
    b.add_hook("late", [H.kill(0.5, when=H.at(1)), H.add(-1.0, when=H.at(2))])  # removals mark nothing
    assert b.release_ticks(10) == [3, 4, 5, 6]


def test_set_param_expression_and_schedule():
    b = H.HookProgramBuilder()
    b.add_hook("late", H.set_param("carrying_capacity", 2 * H.param("carrying_capacity") - 10,
                                   every=4, start=1))
    prog = b.build()
    staged = [100.0, 1.0, 0.5, 0.0, 2.0]
    assert run(prog, [], A=0, Z=0, event=2, tick=5, staged=staged)["staged"][0] == 190.0
    assert run(prog, [], A=0, Z=0, event=2, tick=6, staged=staged)["staged"][0] == 100.0


def test_release_adds_males_and_stop_if_extinct():
    b = H.HookProgramBuilder(n_ages=2, n_ztypes=1)
    b.add_hook("first", [H.stop_if_extinct(), H.release(5.0, ages=[1])])
    prog = b.build()
    assert run(prog, [0, 0, 0, 0], A=2)["code"] == 1
    assert run(prog, [1, 0, 0, 0], A=2)["ind"] == [1, 0, 0, 5]


def test_convert_pairs_and_clear_sperm_compile():
    b = H.HookProgramBuilder()
    b.add_hook("first", [H.convert(1.0, pairs=[((1, 0, 0), (1, 0, 1))]), H.clear_sperm([(0, 0)])])
    out = run(b.build(), [3, 0, 4, 0], [2, 1, 0, 0], A=1, Z=2)
    assert out["ind"] == [3, 0, 0, 4] and out["sperm"] == [0, 0, 0, 0]


def test_callback_slots_follow_priority_order():
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    b.add_callback("first").add_hook("first", H.scale(2.0)).add_callback("first")
    prog = b.build()
    assert prog.python_callback_slots.tolist() == [0, -1, 1]
    out = run(prog, [1, 1], callbacks=[[0, 5]])
    assert out["code"] == 5 and out["ind"] == [2, 2]
    assert [c[:2] for c in out["calls"]] == [(0, 0), (0, 1)]


@pytest.mark.parametrize("call, exc", [
    (lambda: H.set_param("nonsense", 1.0), KeyError),
    (lambda: H.set_param("sex_ratio", 1.0, every=0), ValueError),
    (lambda: H.kill(0.5, sex="hermaphrodite"), ValueError),
    (lambda: H.convert(0.5), ValueError),
    (lambda: H.convert(0.5, pairs=[((0, 0), (0, 0, 1))]), ValueError),
    (lambda: H.set_param("sex_ratio", "high"), TypeError),
    (lambda: H.HookProgramBuilder().add_hook("first", H.kill(0.5)).build(), ValueError),
    (lambda: H.HookProgramBuilder().add_hook("sometime", H.stop_if_extinct()), KeyError),
])
def test_builder_rejects_unclear_requests(call, exc):
    with pytest.raises(exc):
        call()


# ------------------------------------------------------------ builder for a model
from hypothesis import given, settings, strategies as st  # noqa: E402

from qorin import genetics as G  # noqa: E402
from qorin.contracts import Blueprint  # noqa: E402


def drive_blueprint(n_demes=1):
    return Blueprint(4, 2, G.homing_drive(), n_demes=n_demes)


def columns(prog):
    return {n: getattr(prog, n).tolist() for n in H.HookProgram.column_names()}


def test_labels_compile_to_the_same_columns_as_indices():
    bp = drive_blueprint()
    by_label = H.HookProgramBuilder.for_blueprint(bp)
    by_label.add_hook("early", [
        H.release(50, ages="adults", ztypes=["D/D", "D/W"], when=H.every(7)),
        H.kill(0.25, sex="female", ages=["juveniles", 3], ztypes="N/N"),
        H.convert(0.1, pairs=[(("female", 2, "W/W"), ("male", 3, "W/D"))]),
        H.convert(0.2, source_z="W/W", target_z="R/R"),
        H.clear_sperm([(2, "W/D"), ("female", 3, "D/D")]),
    ])
    by_index = H.HookProgramBuilder(n_ages=4, n_ztypes=10)
    by_index.add_hook("early", [
        H.release(50, ages=[2, 3], ztypes=[4, 1], when=H.every(7)),
        H.kill(0.25, sex="female", ages=[0, 1, 3], ztypes=[9]),
        H.convert(0.1, pairs=[((0, 2, 0), (1, 3, 1))]),
        H.convert(0.2, source_z=0, target_z=7),
        H.clear_sperm([(2, 1), (0, 3, 4)]),
    ])
    assert columns(by_label.build()) == columns(by_index.build())


@pytest.mark.parametrize("op, words", [
    (lambda: H.release(10, ages=[4]), "ages: age 4 is outside 0..3"),
    (lambda: H.release(10, ages="adult_males"), "'adult_males' is not an age label"),
    (lambda: H.release(10, ztypes=["D/X"]), "ztypes: 'D/X' is not a genotype of this model; allowed: 'W/W'"),
    (lambda: H.release(10, ztypes=[10]), "genotype index 10 is outside 0..9"),
    (lambda: H.release(10, ztypes=[]), "ztypes selects no genotype"),
    (lambda: H.release(-5, ztypes=["D/D"]), "release: amount must be a finite number >= 0"),
    (lambda: H.release(float("nan")), "amount must be a finite number >= 0"),
    (lambda: H.kill(1.5), "kill: fraction must be a number in [0, 1], got 1.5"),
    (lambda: H.scale(-1.0), "scale: factor must be a finite number >= 0"),
    (lambda: H.convert(2.0, source_z=0, target_z=1), "convert: probability must be a number in [0, 1]"),
    (lambda: H.convert(0.5, source_z="W/W", target_z="Q/Q"), "target_z: 'Q/Q' is not a genotype"),
    (lambda: H.convert(0.5, pairs=[((2, 0, 0), (0, 0, 1))]), "convert source: sex 2 is not 0 (female)"),
    (lambda: H.convert(0.5, pairs=[(("female", 0, 0), ("male", 9, 1))]), "convert target: age 9 is outside"),
    (lambda: H.clear_sperm([("male", 2, 0)]), "stored sperm is held by females"),
])
def test_out_of_range_requests_fail_in_the_builder(op, words):
    b = H.HookProgramBuilder.for_blueprint(drive_blueprint())
    with pytest.raises(ValueError) as e:
        b.add_hook("early", op())
    assert words in str(e.value)
    assert b.build().n_hooks == 0  # nothing was added


def test_demes_are_checked_against_the_model():
    b = H.HookProgramBuilder.for_blueprint(drive_blueprint(n_demes=3))
    b.add_hook("late", H.release(1.0, ztypes="D/D"), demes=range(1, 3))
    b.add_callback("late", demes=[2])
    for demes in (3, [0, 5], range(2, 4), []):
        with pytest.raises(ValueError, match="deme"):
            b.add_hook("late", H.stop_if_extinct(), demes=demes)


def test_labels_need_a_model():
    with pytest.raises(ValueError, match="for_blueprint"):
        H.HookProgramBuilder(n_ages=4, n_ztypes=10).add_hook("early", H.release(1.0, ztypes="D/D"))


def test_release_ticks_follow_the_conditions():
    b = H.HookProgramBuilder.for_blueprint(drive_blueprint())
    b.add_hook("early", [H.release(5, ztypes="D/D", when=H.every(10) & H.before(40)), H.kill(0.1)])
    b.add_hook("late", H.release(5, ztypes="D/D", when=H.at(35)))
    assert b.release_ticks(60) == [0, 10, 20, 30, 35]


def test_every_operation_is_documented():
    for name in H.__all__:
        obj = getattr(H, name)
        if callable(obj) and not isinstance(obj, dict):
            assert (obj.__doc__ or "").strip(), name


def conditions():
    leaf = st.one_of(
        st.builds(H.every, st.integers(-2, 6)), st.builds(H.at, st.integers(0, 12)),
        st.builds(H.from_tick, st.integers(0, 12)), st.builds(H.before, st.integers(0, 12)),
        st.builds(H.until, st.integers(0, 12)), st.builds(H.after, st.integers(0, 12)),
        st.just(H.always()))
    return st.recursive(leaf, lambda c: st.one_of(
        st.builds(lambda a, b: a & b, c, c), st.builds(lambda a, b: a | b, c, c),
        st.builds(lambda a: ~a, c)), max_leaves=5)


@settings(max_examples=60, deadline=None)
@given(conditions())
def test_condition_evaluation_matches_the_engine(cond):
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    b.add_hook("first", H.set_count(1.0, when=cond))
    prog = b.build()
    engine = [t for t in range(14) if run(prog, [0, 0], tick=t)["ind"] == [1, 1]]
    assert cond.ticks(14) == engine


# ------------------------------------------------------------------ a plain builder knows its dimensions
@pytest.mark.parametrize("add, message", [
    (lambda b: b.add_hook("early", H.kill(0.5, ages=[4])), r"ages: age 4 is outside 0\.\.3"),
    (lambda b: b.add_hook("early", H.kill(0.5, ages=[-1])), r"ages: age -1 is outside 0\.\.3"),
    (lambda b: b.add_hook("early", H.release(5, ages=[1], ztypes=[3])), r"genotype index 3 is outside 0\.\.2"),
    (lambda b: b.add_hook("early", H.convert(0.5, pairs=[((2, 1, 0), (0, 1, 1))])), r"sex 2 is not 0"),
    (lambda b: b.add_hook("early", H.convert(0.5, source_z=0, target_z=5)), r"target_z: genotype index 5"),
    (lambda b: b.add_hook("early", H.clear_sperm([(9, 0)])), r"age 9 is outside"),
    (lambda b: b.add_hook("early", H.kill(0.5), demes=[0, 2]), r"demes: deme 2 is outside 0\.\.1"),
    (lambda b: b.add_callback("late", demes=-1), r"demes: deme -1 is outside"),
])
def test_a_plain_builder_refuses_indices_outside_its_dimensions(add, message):
    builder = H.HookProgramBuilder(4, 3, n_demes=2)
    with pytest.raises(ValueError, match=message):
        add(builder)
    assert builder.build().n_hooks == 0


def test_a_plain_builder_without_demes_refuses_negative_ids_only():
    builder = H.HookProgramBuilder(4, 3)
    builder.add_hook("early", H.kill(0.5, ages=[3], ztypes=[2]), demes=[0, 7])
    with pytest.raises(ValueError, match="deme -2"):
        builder.add_hook("early", H.kill(0.5), demes=[-2])
    with pytest.raises(ValueError, match="n_ages must be a nonnegative integer"):
        H.HookProgramBuilder(-1, 3)
