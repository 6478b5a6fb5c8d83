"""Hook programs: reading, callback splicing, event execution and the ecology commit."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from qorin import _engine_testing as T
from qorin import hooks as H

INT64_MIN = -(2 ** 63)
INT64_MAX = 2 ** 63 - 1
WORDS = T.rng_new(2024)


def raw(n_ops=1, **over):
    """A one-event, one-hook program with `n_ops` operations selecting nothing;
    keyword arguments replace columns or counts."""
    cols = dict(
        n_hooks=1, n_events=1, has_set_param=False,
        hook_offsets=[0, 1], op_offsets=[0, n_ops], deme_selector_types=[0],
        deme_selector_offsets=[0, 0], deme_selector_data=[], python_callback_slots=[-1],
        op_types_data=[0] * n_ops, params_data=[0.0] * n_ops, sex_masks_data=[True, True] * n_ops,
        age_offsets_data=[0] * (n_ops + 1), age_data=[], zidx_offsets_data=[0] * (n_ops + 1),
        zidx_data=[], condition_offsets_data=[0] * (n_ops + 1), condition_types_data=[],
        condition_params_data=[], sp_param_ids=[0] * n_ops, sp_every=[1] * n_ops,
        sp_start=[0] * n_ops, rpn_offsets=[0] * (n_ops + 1), rpn_kinds=[], rpn_payload=[],
        sp_literals=[], convert_offsets=[0] * (n_ops + 1), convert_source_coords=[],
        convert_target_coords=[], convert_source_z=[0] * n_ops, convert_target_z=[0] * n_ops,
        clear_offsets=[0] * (n_ops + 1), clear_coords=[])
    cols.update(over)
    counts = {k: cols.pop(k) for k in ("n_hooks", "n_events", "has_set_param")}
    return H.HookProgram(counts["n_hooks"], counts["n_events"], counts["has_set_param"], cols)


def one_op(opcode, param=0.0, sex=(True, True), ages=(), ztypes=(), cond=(), **over):
    """A program whose single operation selects `ages` x `ztypes`."""
    cols = dict(op_types_data=[opcode], params_data=[param], sex_masks_data=list(sex),
                age_offsets_data=[0, len(ages)], age_data=list(ages),
                zidx_offsets_data=[0, len(ztypes)], zidx_data=list(ztypes),
                condition_offsets_data=[0, len(cond)], condition_types_data=[k for k, _ in cond],
                condition_params_data=[p for _, p in cond])
    cols.update(over)
    return raw(**cols)


def run(prog, ind, sperm=(), A=1, Z=1, tick=0, event=0, **kw):
    return T.run_event(prog, event, list(map(float, ind)), list(map(float, sperm)), A, Z, tick, **kw)


# ------------------------------------------------------------------- reading
def test_reader_round_trips_builder_columns():
    b = H.HookProgramBuilder(n_ages=2, n_ztypes=2)
    b.add_hook("early", [H.kill(0.5, sex="female", ages=[1], ztypes=[0, 1], when=H.every(5))])
    b.add_hook("late", [H.set_param("sex_ratio", H.param("sex_ratio") * 0.5, every=3, start=2)],
               demes=[0, 2])
    prog = b.build()
    d = T.hook_program_read(prog)
    assert d["n_hooks"] == 2 and d["n_events"] == 4 and d["has_set_param"]
    assert d["hook_offsets"] == [0, 0, 1, 2, 2]
    assert d["op_types_data"] == [4, 10]
    assert d["sex_masks_data"] == [True, False, True, True]
    assert d["condition_types_data"] == [2] and d["condition_params_data"] == [5]
    assert d["rpn_kinds"] == [1, 0, 4] and d["rpn_payload"] == [2, 0, 0]
    assert d["sp_literals"] == [0.5]
    assert d["deme_selector_types"] == [0, 3] and d["deme_selector_data"] == [0, 2]
    assert not d["has_callback_lists"]


def test_missing_callback_slots_accepted_only_without_hooks():
    prog = raw(n_hooks=0, hook_offsets=[0, 0], op_offsets=[0])
    del prog.python_callback_slots
    assert T.hook_program_read(prog)["python_callback_slots"] == []
    prog.n_hooks = 2
    with pytest.raises(ValueError, match=r"^hook program is missing 'python_callback_slots'; rebuild"):
        T.hook_program_read(prog)
    prog.python_callback_slots = np.zeros(2, dtype=np.float64)  # wrong dtype: same message
    with pytest.raises(ValueError, match="is missing 'python_callback_slots'"):
        T.hook_program_read(prog)


@pytest.mark.parametrize("change, exc, msg", [
    (dict(python_callback_slots=[-1, -1]), ValueError, "python_callback_slots has 2 entries but n_hooks is 1"),
    (dict(sp_every=[1, 0, 3]), ValueError, "sp_every must be positive, got 0 at operation 1"),
    (dict(sp_every=[-5]), ValueError, "sp_every must be positive, got -5 at operation 0"),
])
def test_reader_rejections(change, exc, msg):
    with pytest.raises(exc, match="^" + msg + "$"):
        T.hook_program_read(raw(**change))


def test_reader_dtypes_and_flags():
    prog = raw(op_types_data=[10])
    prog.has_set_param = False
    prog.age_data = np.array([1, -2], dtype=np.int32)
    prog.sex_masks_data = np.array([0.0, np.nan])
    d = T.hook_program_read(prog)
    assert d["has_set_param"] is True
    assert d["age_data"] == [1, -2]
    assert d["sex_masks_data"] == [False, True]
    prog.zidx_data = np.array([1.0])
    with pytest.raises(ValueError, match="^zidx_data must be an int32 or int64 array$"):
        T.hook_program_read(prog)
    prog = raw()
    prog.sex_masks_data = np.array([1, 1])
    with pytest.raises(ValueError, match="^sex_masks_data must be a bool or float64 array$"):
        T.hook_program_read(prog)
    prog = raw()
    del prog.clear_coords
    with pytest.raises(AttributeError):
        T.hook_program_read(prog)


def test_unknown_opcode_is_read_but_fails_every_event():
    prog = raw(n_ops=2, op_types_data=[0, 13])
    assert T.hook_program_read(prog)["op_types_data"] == [0, 13]
    for event in (0, 3, 7):  # also events the program does not cover
        with pytest.raises(RuntimeError, match="^Unknown mutation opcode 13 at operation 1$"):
            run(prog, [1, 1], event=event)
    with pytest.raises(RuntimeError, match="^Unknown mutation opcode -1 at operation 0$"):
        run(raw(op_types_data=[-1]), [1, 1])


def test_empty_program_does_nothing():
    d = T.hook_program_read(H.HookProgramBuilder().build())
    assert d["n_hooks"] == 0 and d["hook_offsets"] == [0, 0, 0, 0, 0]
    for event in range(4):
        out = run(H.HookProgramBuilder().build(), [3, 4], event=event, mode="stochastic", words=WORDS)
        assert out["ind"] == [3, 4] and out["code"] == 0 and out["words"] == WORDS


def test_event_outside_program_leaves_state_and_stream():
    prog = one_op(4, 1.0, ages=[0], ztypes=[0])
    out = run(prog, [5, 5], event=2, mode="stochastic", words=WORDS)
    assert out["ind"] == [5, 5] and out["code"] == 0 and out["words"] == WORDS


# ------------------------------------------------------------ cell operations
@pytest.mark.parametrize("opcode, param, old, want", [
    (0, 2.0, 10.0, 20.0),          # scale
    (0, -1.0, 10.0, 0.0),
    (1, 7.0, 10.0, 7.0),           # set_count
    (1, float("nan"), 10.0, 0.0),  # NaN operand of max is ignored
    (2, 5.0, 10.0, 15.0),          # add
    (2, -15.0, 10.0, 0.0),
    (3, 4.0, 10.0, 6.0),           # subtract
    (4, 0.25, 100.0, 75.0),        # kill
    (5, 3.0, 10.0, 3.0),           # cap
    (5, 30.0, 10.0, 10.0),
    (5, float("nan"), 10.0, 0.0),
])
def test_deterministic_cell_ops(opcode, param, old, want):
    prog = one_op(opcode, param, sex=(False, True), ages=[0], ztypes=[0])
    out = run(prog, [old, old])
    assert out["ind"] == [old, want]


def test_selection_skips_out_of_range_and_visits_duplicates_twice():
    # Ages 0, 5 (ignored), 0 again; ztype 1 and -1 (ignored): cell (male, 0, 1) is halved twice.
    prog = one_op(0, 0.5, sex=(False, True), ages=[0, 5, 0], ztypes=[1, -1])
    out = run(prog, [8, 8, 8, 8], A=1, Z=2)
    assert out["ind"] == [8, 8, 8, 2]


def test_stochastic_kill_uses_unrounded_target_on_rounded_count():
    prog = one_op(4, 0.25, sex=(False, True), ages=[0], ztypes=[0])
    out = run(prog, [0, 100.4], mode="stochastic", words=WORDS)
    want, words = T.convert_count(100.0, 75.3 / 100.0, WORDS, "stochastic")
    assert out["ind"][1] == want and out["words"] == words
    assert out["ind"][1] == int(out["ind"][1]) and 0 <= out["ind"][1] <= 100


@pytest.mark.parametrize("opcode, param, want", [(2, 3.0, 13.0), (0, 2.0, 20.0), (0, 1.0, 10.0), (1, 50, 50)])
def test_increases_never_draw(opcode, param, want):
    prog = one_op(opcode, param, ages=[0], ztypes=[0])
    for mode in ("stochastic", "continuous"):
        out = run(prog, [10, 10], [0.0], mode=mode, words=WORDS)
        assert out["ind"] == [want, want] and out["words"] == WORDS


def test_negative_add_is_a_stochastic_reduction():
    prog = one_op(2, -3.0, sex=(False, True), ages=[0], ztypes=[0])
    out = run(prog, [0, 10], mode="stochastic", words=WORDS)
    want, words = T.convert_count(10.0, 0.7, WORDS, "stochastic")
    assert out["ind"][1] == want and out["words"] == words


def test_deterministic_kill_halves_sperm_row():
    prog = one_op(4, 0.5, sex=(True, False), ages=[0], ztypes=[0])
    out = run(prog, [10, 0, 4, 0], [4, 2, 0, 0], A=1, Z=2)
    assert out["ind"] == [5, 0, 4, 0]
    assert out["sperm"] == [2, 1, 0, 0]


def test_stochastic_female_reduction_draws_rows_then_virgins():
    prog = one_op(4, 0.5, sex=(True, False), ages=[0], ztypes=[0])
    out = run(prog, [10, 0, 0, 0], [3, 2, 0, 0], A=1, Z=2, mode="stochastic", words=WORDS)
    w = WORDS
    a, w = T.convert_count(3.0, 0.5, w, "stochastic")
    b, w = T.convert_count(2.0, 0.5, w, "stochastic")
    v, w = T.convert_count(5.0, 0.5, w, "stochastic")
    assert out["sperm"][:2] == [a, b] and out["ind"][0] == a + b + v and out["words"] == w


def test_female_with_too_much_sperm_is_an_invalid_state():
    prog = one_op(4, 0.5, sex=(True, False), ages=[0], ztypes=[0])
    with pytest.raises(RuntimeError, match=r"^Invalid state: n_virgins < 0 in apply_target_with_sperm: "
                                           r"n_virgins_raw=-2, n_f_raw=10, total_sperm=12$"):
        run(prog, [10, 0], [12], mode="stochastic", words=WORDS)


def test_continuous_rows_and_zero_rows():
    prog = one_op(4, 0.5, sex=(True, False), ages=[0], ztypes=[0])
    out = run(prog, [10.5, 0, 0, 0], [0, 2.5, 0, 0], A=1, Z=2, mode="continuous", words=WORDS)
    assert out["sperm"][0] == 0 and 0 <= out["sperm"][1] <= 2.5
    assert 0 <= out["ind"][0] <= 10.5


# ------------------------------------------------------------------- stops
@pytest.mark.parametrize("opcode, param, ind, ages, stops", [
    (6, 0, [1, 1], [], True),            # empty selection
    (6, 0, [0, 0], [0], True),
    (6, 0, [0, 1], [0], False),
    (7, 2.0, [1, 0.5], [0], True),       # below
    (7, 1.5, [1, 0.5], [0], False),
    (8, 1.4, [1, 0.5], [0], True),       # above
    (8, 1.5, [1, 0.5], [0], False),
    (8, 0.0, [float("nan"), 0], [0], False),  # NaN total never stops
    (9, 0, [0, 0], [], True),            # extinct
    (9, 0, [0, 1e-300], [], False),
])
def test_stop_operations(opcode, param, ind, ages, stops):
    prog = one_op(opcode, param, ages=ages, ztypes=[0])
    assert run(prog, ind)["code"] == (1 if stops else 0)


def test_stop_if_extinct_on_empty_state():
    assert run(one_op(9), [], A=0, Z=0)["code"] == 1


def test_stop_in_third_hook_keeps_earlier_hooks_and_skips_later():
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    b.add_hook("first", H.scale(2.0))
    b.add_hook("first", H.add(1.0))
    b.add_hook("first", [H.stop_if_above(0.0), H.scale(100.0)])
    b.add_hook("first", H.set_count(0.0))
    out = run(b.build(), [1, 2])
    assert out["code"] == 1 and out["ind"] == [3, 5]


# -------------------------------------------------------------- conditions
@pytest.mark.parametrize("cond, ticks_true", [
    ([(3, 10), (4, 20), (100, 0)], range(10, 20)),
    ([(2, 0)], []),
    ([(2, -3)], []),
    ([(2, 4)], [0, 4, 8, 12, 16, 20, 24]),
    ([(100, 0)], []),
    ([(1, 5), (1, 6)], []),                       # two entries left
    ([(1, 5), (1, 6), (101, 0)], [5, 6]),
    ([(5, 3), (102, 0)], range(4, 25)),
    ([(102, 0)], []),                             # negation of nothing
    ([(0, 0)], range(0, 25)),
    ([(-4, 99)], range(0, 25)),
    ([(6, 20), (7, 0), (101, 0)], []),            # unknown kind spoils it
])
def test_condition_stacks(cond, ticks_true):
    prog = one_op(1, 1.0, ages=[0], ztypes=[0], cond=cond)
    got = [t for t in range(25) if run(prog, [0, 0], tick=t)["ind"] == [1, 1]]
    assert got == list(ticks_true)


# --------------------------------------------------------------- set_param
def sp_prog(tokens, literals=(), pid=0, every=1, start=0):
    kinds = [k for k, _ in tokens]
    payload = [p for _, p in tokens]
    return raw(op_types_data=[10], sp_param_ids=[pid], sp_every=[every], sp_start=[start],
               rpn_offsets=[0, len(tokens)], rpn_kinds=kinds, rpn_payload=payload,
               sp_literals=list(literals))


def test_set_param_schedule():
    prog = sp_prog([(0, 0)], [42.0], pid=1, every=3, start=5)
    fired = [t for t in range(15) if run(prog, [0, 0], tick=t, staged=[1, 1, 1])["staged"][1] == 42.0]
    assert fired == [5, 8, 11, 14]


@pytest.mark.parametrize("start, tick, fires", [
    (INT64_MIN, INT64_MAX, (INT64_MAX - INT64_MIN) % 7 == 0),
    (INT64_MIN, 0, (2 ** 63) % 7 == 0),
    (INT64_MIN + 1, INT64_MAX, (INT64_MAX - INT64_MIN - 1) % 7 == 0),
    (INT64_MAX, INT64_MAX, True),
    (INT64_MAX, 0, False),
])
def test_set_param_schedule_extreme_starts(start, tick, fires):
    prog = sp_prog([(0, 0)], [9.0], every=7, start=start)
    assert (run(prog, [0, 0], tick=tick, staged=[1.0])["staged"] == [9.0]) == fires


def test_set_param_ignores_unknown_parameter_id():
    for pid in (7, -1):
        out = run(sp_prog([(0, 0)], [3.0], pid=pid), [0, 0], staged=[1, 2, 3, 4, 5])
        assert out["staged"] == [1, 2, 3, 4, 5]


@pytest.mark.parametrize("tokens, literals, want", [
    ([(0, 0), (0, 1), (5, 0)], [3.0, 0.0], math.inf),
    ([(0, 0), (0, 1), (5, 0)], [-3.0, 0.0], -math.inf),
    ([(0, 1), (0, 1), (5, 0)], [3.0, 0.0], math.nan),
    ([(0, 0)], [2.0], 2.0),
    ([(1, 0), (0, 0), (4, 0)], [2.0], 200.0),
    ([(1, 1), (0, 0), (3, 0)], [4.0], 6.0),
    ([(0, 0), (0, 1), (2, 0), (0, 1), (5, 0)], [6.0, 3.0], 3.0),
    ([(0, 0), (2, 0)], [5.0], math.nan),        # one entry: NaN left
    ([(2, 0)], [], math.nan),
    ([(0, 0), (0, 0), (9, 0)], [1.0], math.nan),  # unknown operator
    ([(0, 0), (0, 1)], [7.0, 8.0], 7.0),          # bottom of the stack
    ([], [], math.nan),
])
def test_expressions(tokens, literals, want):
    got = run(sp_prog(tokens, literals), [0, 0], staged=[100.0, 10.0])["staged"][0]
    assert (math.isnan(got) and math.isnan(want)) or got == want


def test_staged_write_is_seen_by_later_operations():
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    b.add_hook("first", [H.set_param("eggs_per_female", 4.0),
                         H.set_param("sex_ratio", H.param("eggs_per_female") / 8)])
    assert run(b.build(), [0, 0], staged=[1, 1, 1])["staged"] == [1, 4, 0.5]


@pytest.mark.parametrize("tokens, literals, staged", [
    ([(0, 1)], [1.0], [1.0]),      # literal index past sp_literals
    ([(0, -1)], [1.0], [1.0]),
    ([(1, 3)], [], [1.0, 2.0]),    # parameter past the staged vector
])
def test_expression_payload_outside_columns_is_an_error(tokens, literals, staged):
    with pytest.raises(RuntimeError, match="^malformed hook program: expression"):
        run(sp_prog(tokens, literals), [0, 0], staged=staged)


# ----------------------------------------------------------------- convert
def convert_prog(p, pairs=None, sz=0, tz=0):
    if pairs is None:
        return raw(op_types_data=[11], params_data=[p], convert_offsets=[0, 0],
                   convert_source_z=[sz], convert_target_z=[tz])
    src = [c for s, _ in pairs for c in s]
    tgt = [c for _, t in pairs for c in t]
    return raw(op_types_data=[11], params_data=[p], convert_offsets=[0, len(pairs)],
               convert_source_coords=src, convert_target_coords=tgt)


def test_convert_pairs_read_the_state_before_the_operation():
    # A = 1, Z = 2: cells f0 f1 m0 m1. Move half of f0 to f1, then half of f1 (as it was) to m0.
    prog = convert_prog(0.5, [((0, 0, 0), (0, 0, 1)), ((0, 0, 1), (1, 0, 0))])
    out = run(prog, [8, 4, 0, 0], A=1, Z=2)
    assert out["ind"] == [4, 6, 2, 0]


def test_convert_female_pair_moves_sperm_with_females():
    prog = convert_prog(0.5, [((0, 0, 0), (0, 0, 1))])
    out = run(prog, [10, 0, 0, 0], [4, 2, 0, 0], A=1, Z=2)
    assert out["ind"] == [5, 5, 0, 0] and out["sperm"] == [2, 1, 2, 1]
    to_male = convert_prog(0.5, [((0, 0, 0), (1, 0, 1))])
    out = run(to_male, [10, 0, 0, 0], [4, 2, 0, 0], A=1, Z=2)
    assert out["ind"] == [5, 0, 0, 5] and out["sperm"] == [2, 1, 0, 0]


def test_convert_same_cell_draws_nothing():
    prog = convert_prog(0.5, [((1, 0, 0), (1, 0, 0))])
    out = run(prog, [10, 10], mode="stochastic", words=WORDS)
    assert out["ind"] == [10, 10] and out["words"] == WORDS


@pytest.mark.parametrize("bad", [(2, 0, 0), (0, 1, 0), (0, 0, 2), (-1, 0, 0)])
def test_convert_pair_outside_state_fails_after_earlier_pairs(bad):
    prog = convert_prog(1.0, [((1, 0, 0), (1, 0, 1)), ((0, 0, 0), bad)])
    out = run(prog, [1, 1, 6, 0], A=1, Z=2, keep_state_on_error=True)
    assert out["error"] == "Op.convert selector mapping is outside state bounds"
    assert out["ind"] == [1, 1, 0, 6]


def test_convert_whole_genotype_every_age_males_then_females():
    # A = 2, Z = 2; females of (a, 0) carry sperm row [2, 0].
    prog = convert_prog(0.5, sz=0, tz=1)
    out = run(prog, [4, 0, 8, 0, 2, 0, 6, 0], [2, 0, 0, 0, 2, 0, 0, 0], A=2, Z=2)
    assert out["ind"] == [2, 2, 4, 4, 1, 1, 3, 3]
    assert out["sperm"] == [1, 0, 1, 0, 1, 0, 1, 0]
    same = run(convert_prog(0.5, sz=1, tz=5), [4, 0, 8, 0, 2, 0, 6, 0], A=2, Z=2)
    assert same["ind"] == [4, 0, 8, 0, 2, 0, 6, 0]


@pytest.mark.parametrize("p, moved_share", [(1.5, 1.0), (math.inf, 1.0), (-0.5, 0.0), (-math.inf, 0.0)])
def test_convert_probability_outside_unit_interval_never_makes_counts_negative(p, moved_share):
    # A deterministic count * p with p > 1 would take more than the cell holds (and p < 0
    # would move a negative number back). Such a probability moves what the sampling
    # modes move: everyone for p >= 1, nobody for p <= 0.
    ind, sperm = [10, 0, 6, 0], [4, 2, 0, 0]
    pair = convert_prog(p, [((0, 0, 0), (0, 0, 1)), ((1, 0, 0), (1, 0, 1))])
    whole = convert_prog(p, sz=0, tz=1)
    for prog in (pair, whole):
        det = run(prog, ind, sperm, A=1, Z=2)
        sto = run(prog, ind, sperm, A=1, Z=2, mode="stochastic", words=WORDS)
        assert min(det["ind"]) >= 0 and min(det["sperm"]) >= 0
        assert det["ind"] == sto["ind"] and det["sperm"] == sto["sperm"]
        assert det["ind"] == [10 - 10 * moved_share, 10 * moved_share, 6 - 6 * moved_share, 6 * moved_share]


@pytest.mark.parametrize("mode", ["deterministic", "stochastic"])
def test_convert_pairs_sharing_a_source_never_make_counts_negative(mode):
    prog = convert_prog(0.6, [((1, 0, 0), (1, 0, 1)), ((1, 0, 0), (1, 0, 2))])
    out = run(prog, [0, 0, 0, 50, 0, 0], A=1, Z=3, mode=mode, words=WORDS)
    assert min(out["ind"]) >= 0 and sum(out["ind"]) == 50


def test_convert_nan_probability_fails_in_every_mode():
    prog = convert_prog(math.nan, sz=0, tz=1)
    errors = {mode: run(prog, [10, 0, 6, 0], A=1, Z=2, mode=mode, words=WORDS, keep_state_on_error=True)["error"]
              for mode in ("deterministic", "stochastic", "continuous")}
    assert errors == {"deterministic": "Op.convert probability must be a number, got NaN",
                      "stochastic": "clamped binomial parameters must be valid",
                      "continuous": "continuous_binomial(): n and p must be finite"}
    # With nothing to move there is nothing to decide, in any mode.
    for mode in errors:
        out = run(prog, [0, 0, 0, 0], A=1, Z=2, mode=mode, words=WORDS)
        assert out["ind"] == [0, 0, 0, 0] and out["words"] == WORDS


def test_clear_sperm():
    def prog(cells):
        flat = [c for cell in cells for c in cell]
        return raw(op_types_data=[12], clear_offsets=[0, len(cells)], clear_coords=flat)
    sperm = [1, 2, 3, 4]
    assert run(prog([(1, 0, 0)]), [5, 7, 0, 0], sperm, A=1, Z=2)["sperm"] == sperm
    out = run(prog([(0, 0, 1), (0, 3, 0)]), [5, 7, 0, 0], sperm, A=1, Z=2)
    assert out["sperm"] == [1, 2, 0, 0] and out["ind"] == [5, 7, 0, 0]


# ------------------------------------------------------------ deme selectors
@pytest.mark.parametrize("stype, data, offsets, demes", [
    (0, [], [0, 0], [0, 1, 2, 3]),
    (9, [], [0, 0], [0, 1, 2, 3]),
    (1, [2], [0, 1], [2]),
    (1, [2], [5, 5], []),            # entry past the column
    (2, [1, 3], [0, 2], [1, 2]),
    (2, [1], [0, 1], []),
    (3, [3, 0], [0, 2], [0, 3]),
    (3, [3, 0], [0, 9], [0, 3]),     # past the column: ignored
    (3, [3, 0], [1, 2], [0]),
])
def test_deme_selectors(stype, data, offsets, demes):
    prog = one_op(1, 1.0, ages=[0], ztypes=[0], deme_selector_types=[stype],
                  deme_selector_data=data, deme_selector_offsets=offsets)
    got = [d for d in range(4) if run(prog, [0, 0], deme=d)["ind"] == [1, 1]]
    assert got == demes


# --------------------------------------------------------------- callbacks
def test_callback_hook_without_registered_callable():
    prog = raw(op_types_data=[], op_offsets=[0, 0], python_callback_slots=[1])
    with pytest.raises(RuntimeError, match="^hook program references callback 1 of event 0, "
                                           "but no such callback is registered$"):
        run(prog, [0, 0])
    with pytest.raises(RuntimeError, match="references callback 1 of event 0"):
        run(prog, [0, 0], callbacks=[[0]])


def test_callback_hook_commits_first_and_its_code_stops_the_event():
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    b.add_hook("early", H.set_param("sex_ratio", 0.25))
    b.add_callback("early")
    b.add_hook("early", H.set_count(9.0))
    eco = [100.0, 10.0, 0.5, 0.0, 2.0]
    out = run(b.build(), [1, 1], event=1, tick=4, staged=list(eco), eco=eco, callbacks=[[], [7]])
    assert out["code"] == 7 and out["ind"] == [1, 1]
    assert out["calls"] == [(1, 0, [100.0, 10.0, 0.25, 0.0, 2.0])]
    assert out["journal"] == [(4, 2, 0.5, 0.25, 2)]
    out = run(b.build(), [1, 1], event=1, staged=list(eco), eco=eco, callbacks=[[], [0]])
    assert out["code"] == 0 and out["ind"] == [9, 9]


def test_failed_commit_before_callback_ends_the_event():
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    b.add_hook("first", H.set_param("sex_ratio", 1.5))
    b.add_callback("first")
    eco = [100.0, 10.0, 0.5, 0.0, 2.0]
    with pytest.raises(RuntimeError, match=r"^set_param value out of bounds: 'sex_ratio' requires a value "
                                           r"in \[0, 1\], got 1.5 \(tick 3\)$"):
        run(b.build(), [1, 1], tick=3, staged=list(eco), eco=eco, callbacks=[[0]])


def test_splice_appends_callback_hooks_and_shifts_boundaries():
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1, n_events=3)
    for e in range(3):
        b.add_hook(e, H.scale(1.0))
    # The session always passes four lists; a finish of None is an empty list.
    d = T.hook_splice(b.build(), [[0], [], [0, 0], []])
    assert d["n_events"] == 4 and d["n_hooks"] == 6
    assert d["hook_offsets"] == [0, 2, 3, 6, 6]
    assert d["python_callback_slots"] == [-1, 0, -1, -1, 0, 1]
    assert d["op_offsets"] == [0, 1, 1, 2, 3, 3, 3]
    assert d["deme_selector_types"] == [0] * 6
    assert d["deme_selector_offsets"] == [0] * 7
    assert d["callback_counts"] == [1, 0, 2, 0]


def test_splice_surplus_callback_hooks_become_ordinary():
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    b.add_callback("first").add_callback("first").add_hook("first", H.scale(1.0)).add_callback("first")
    d = T.hook_splice(b.build(), [[0]])
    assert d["python_callback_slots"] == [0, -1, -1, -1] and d["n_hooks"] == 4


def test_clear_callbacks():
    only_callbacks = H.HookProgramBuilder().add_callback("first").add_callback("late").build()
    d = T.hook_clear_callbacks(only_callbacks, [[0], [], [0]])
    assert d["n_hooks"] == 0 and d["n_events"] == 0 and d["hook_offsets"] == []
    assert d["callback_counts"] == [0, 0, 0, 0]
    b = H.HookProgramBuilder(n_ages=1, n_ztypes=1)
    b.add_callback("first").add_hook("first", H.scale(2.0))
    d = T.hook_clear_callbacks(b.build(), [[0]])
    assert d["n_hooks"] == 2 and d["python_callback_slots"] == [-1, -1] and d["op_types_data"] == [0]


@pytest.mark.parametrize("offsets", [[0, 50], [0, INT64_MAX], [INT64_MIN, INT64_MAX], [0, 1, INT64_MAX]])
def test_splice_rejects_event_boundary_outside_hooks(offsets):
    prog = raw(hook_offsets=offsets, n_events=len(offsets) - 1)
    with pytest.raises(ValueError, match="malformed hook program"):
        T.hook_splice(prog, [[0], [], [0]])


def test_splice_beyond_last_boundary_is_checked_for_overflow():
    # Event 1's boundary is INT64_MAX; adding a hook to event 0 would overflow it.
    prog = raw(hook_offsets=[0, 1, INT64_MAX], n_events=2)
    with pytest.raises(ValueError, match="overflows"):
        T.hook_splice(prog, [[0]])


# ------------------------------------------------------------------ commit
BASE = [100.0, 10.0, 0.5, 0.25, 2.0]


@pytest.mark.parametrize("idx, value, msg", [
    (2, 1.5, "'sex_ratio' requires a value in [0, 1], got 1.5"),
    (0, np.nextafter(1e12, np.inf), "'carrying_capacity' requires a value in [0, 1000000000000], "
                                    "got 1000000000000.0001"),
    (4, 0.5, "'low_density_growth_rate' requires a value in [1, 1000000], got 0.5"),
    (1, float("nan"), "'eggs_per_female' requires a value in [0, 1000000], got NaN"),
    (3, -1e-300, "'sperm_displacement_rate' requires a value in [0, 1], got -0." + "0" * 299 + "1"),
])
def test_commit_bounds_message_and_nothing_written(idx, value, msg):
    staged = list(BASE)
    staged[0] = 5.0  # a valid earlier change must not be written either
    staged[idx] = value
    with pytest.raises(RuntimeError) as e:
        T.eco_commit(BASE, staged, tick=12)
    assert str(e.value) == f"set_param value out of bounds: {msg} (tick 12)"


def test_commit_journals_changes_only():
    staged = [1e12, 10.0, -0.0, 0.25, 2.0]
    journal, values = T.eco_commit(BASE, staged, tick=7, stage=4)
    assert journal == [(7, 0, 100.0, 1e12, 4), (7, 2, 0.5, -0.0, 4)]
    assert values == staged
    journal, _ = T.eco_commit(BASE, list(BASE))
    assert journal == []


def test_partial_commit_requires_usable_growth_rate():
    assert T.eco_commit(BASE, [50.0])[1] == [50.0] + BASE[1:]
    bad = BASE[:4] + [0.5]
    with pytest.raises(RuntimeError, match="^ValueError: low_density_growth_rate must be finite and at least 1.0$"):
        T.eco_commit(bad, [50.0])
    # a full vector replaces the growth rate and does not consult the old one
    assert T.eco_commit(bad, BASE)[1] == BASE


def test_commit_addresses_the_deme():
    journal, values = T.eco_commit(BASE, [1.0, 10.0], deme=2, n_demes=3)
    assert journal == [(0, 0, 100.0, 1.0, 0)] and values[:2] == [1.0, 10.0]


def test_stage_sources_without_context_or_sources():
    with pytest.raises(RuntimeError, match="^hook-free spatial ticks carry their ecology columns$"):
        T.stage_sources_missing()


# --------------------------------------------------------- malformed programs
@pytest.mark.parametrize("change", [
    dict(op_offsets=[0, 5]),
    dict(op_offsets=[-1, 1]),
    dict(op_offsets=[1, 0]),
    dict(hook_offsets=[0]),
    dict(hook_offsets=[1, 0]),
    dict(sex_masks_data=[True]),
    dict(age_offsets_data=[0, 3]),
    dict(zidx_offsets_data=[2, 1]),
    dict(condition_offsets_data=[0, 2], condition_types_data=[1, 1], condition_params_data=[1]),
    dict(params_data=[]),
    dict(deme_selector_types=[]),
    dict(deme_selector_types=[3], deme_selector_offsets=[0]),
])
def test_malformed_columns_fail_cleanly(change):
    prog = one_op(0, 1.0, ages=[0], ztypes=[0], **change)
    with pytest.raises(RuntimeError, match="^malformed hook program"):
        run(prog, [1, 1])


@pytest.mark.parametrize("change", [
    dict(op_types_data=[11], convert_offsets=[0, 2], convert_source_coords=[0, 0, 0],
         convert_target_coords=[1, 0, 0]),
    dict(op_types_data=[11], convert_offsets=[3, 1]),
    dict(op_types_data=[11], convert_source_z=[]),
    dict(op_types_data=[12], clear_offsets=[0, 1], clear_coords=[0, 0]),
    dict(op_types_data=[10], rpn_offsets=[0, 4], rpn_kinds=[0]),
    dict(op_types_data=[10], sp_start=[]),
])
def test_malformed_side_columns_fail_cleanly(change):
    with pytest.raises(RuntimeError, match="^malformed hook program"):
        run(raw(**change), [1, 1], [0.0])


def test_state_length_mismatch_is_an_error():
    with pytest.raises(RuntimeError, match="^hook event state has 3 counts"):
        run(one_op(0, 1.0), [1, 1, 1])


# ----------------------------------------------------------------------- fuzz
_INT_COLS = [n for n in H.HookProgram.INT_COLUMNS]
_small = st.integers(min_value=-3, max_value=8)
_wild = st.one_of(_small, st.sampled_from([INT64_MIN, INT64_MAX, 2 ** 40, -(2 ** 40)]))


@st.composite
def fuzz_programs(draw):
    b = H.HookProgramBuilder(n_ages=2, n_ztypes=2)
    ops = [
        st.builds(H.kill, st.floats(-1, 2), sex=st.sampled_from(["female", "male", "both"])),
        st.builds(H.scale, st.floats(0, 3)),
        st.builds(H.add, st.floats(-5, 5)),
        st.builds(H.cap, st.floats(0, 10)),
        st.builds(H.stop_if_below, st.floats(0, 5)),
        st.builds(H.set_param, st.sampled_from(list(H.PARAM_IDS)), st.floats(-2, 2),
                  every=st.integers(1, 4), start=st.integers(-5, 5)),
        st.builds(lambda p: H.convert(p, pairs=[((0, 1, 0), (0, 0, 1)), ((1, 0, 1), (0, 1, 0))]),
                  st.floats(0, 1)),
        st.builds(lambda p: H.convert(p, source_z=0, target_z=1), st.floats(0, 1)),
        st.just(H.clear_sperm([(1, 0), (0, 1)])),
    ]
    for _ in range(draw(st.integers(1, 4))):
        b.add_hook(draw(st.integers(0, 3)), draw(st.lists(st.one_of(ops), min_size=1, max_size=3)),
                   demes=draw(st.sampled_from([None, 0, range(0, 2), [1, 0]])))
    if draw(st.booleans()):
        b.add_callback(draw(st.integers(0, 3)))
    prog = b.build()
    # Corrupt a few columns.
    for _ in range(draw(st.integers(0, 4))):
        name = draw(st.sampled_from(_INT_COLS))
        col = list(getattr(prog, name))
        how = draw(st.integers(0, 2))
        if how == 0 and col:
            col[draw(st.integers(0, len(col) - 1))] = draw(_wild)
        elif how == 1 and col:
            col.pop(draw(st.integers(0, len(col) - 1)))
        else:
            col.append(draw(_wild))
        setattr(prog, name, np.array(col, dtype=np.int64))
    if draw(st.booleans()):
        prog.sex_masks_data = prog.sex_masks_data[: draw(st.integers(0, len(prog.sex_masks_data)))]
    if draw(st.booleans()):
        prog.n_events = draw(st.integers(0, 6))
    return prog


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(prog=fuzz_programs(), mode=st.sampled_from(["deterministic", "stochastic", "continuous"]),
       tick=st.integers(0, 20), deme=st.integers(0, 2), splice=st.booleans())
def test_fuzz_programs_fail_cleanly(prog, mode, tick, deme, splice):
    ind = [5.0, 3.0, 4.0, 0.0, 2.0, 7.0, 1.0, 0.5]
    sperm = [1.0, 0.5, 0.0, 1.0, 0.5, 0.5, 1.0, 0.0]
    try:
        T.hook_program_read(prog)
    except (ValueError, TypeError):
        return
    callbacks = [[0], [0], [0, 0], [0]] if splice else None
    for event in range(5):
        try:
            out = run(prog, ind, sperm, A=2, Z=2, tick=tick, event=event, deme=deme, mode=mode,
                      words=WORDS, staged=list(BASE), eco=list(BASE), callbacks=callbacks)
        except (RuntimeError, ValueError):
            continue
        assert len(out["ind"]) == 8 and len(out["sperm"]) == 8
