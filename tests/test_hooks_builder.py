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
