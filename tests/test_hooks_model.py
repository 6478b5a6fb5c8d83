"""Event execution, the ecology commit and the callback splice compared with the
pure-Python model in hook_model.py: state, staged scalars, stream words, stop
code, journal and error message must agree exactly, on programs built with
qorin.hooks and on raw column sets, in all three sampling modes."""
import math
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import hook_model as M
from conftest import RawProgramBuilder
from qorin import _engine_testing as T
from qorin import hooks as H

MODES = ("deterministic", "stochastic", "continuous")
SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def same_float(a, b):
    """Bit equality, except that the sign of a zero is not fixed by the engine's
    rules (max(x, 0) of -0.0) and NaN payloads are not compared."""
    if a != a or b != b:
        return a != a and b != b
    if a == 0.0 and b == 0.0:
        return True
    return struct.pack("<d", a) == struct.pack("<d", b)


def assert_same(engine, model):
    for key in ("code", "error", "words"):
        assert engine[key] == model[key], key
    for key in ("ind", "sperm", "staged", "eco"):
        assert len(engine[key]) == len(model[key]), key
        bad = [(k, x, y) for k, (x, y) in enumerate(zip(engine[key], model[key])) if not same_float(x, y)]
        assert not bad, (key, bad)
    assert len(engine["journal"]) == len(model["journal"])
    for je, jm in zip(engine["journal"], model["journal"]):
        assert je[0] == jm[0] and je[1] == jm[1] and je[4] == jm[4]
        assert same_float(je[2], jm[2]) and same_float(je[3], jm[3])
    assert [(e, s) for e, s, _ in engine["calls"]] == [(e, s) for e, s, _ in model["calls"]]
    for (_, _, se), (_, _, sm) in zip(engine["calls"], model["calls"]):
        assert len(se) == len(sm) and all(same_float(x, y) for x, y in zip(se, sm))


def compare(prog_obj, event, ind, sperm, A, Z, tick, **kw):
    engine = T.run_event(prog_obj, event, ind, sperm, A, Z, tick, keep_state_on_error=True, **kw)
    model = M.run_event(M.program_columns(prog_obj), event, ind, sperm, A, Z, tick, **kw)
    assert_same(engine, model)
    return engine


# ------------------------------------------------------------------ strategies
counts = st.one_of(
    st.integers(0, 60).map(float),
    st.floats(0.0, 60.0, allow_nan=False),
    st.sampled_from([0.0, 0.5, 1.5, 2.5, 1e-12, 1000.0, 12345.5]),
)
small_params = st.one_of(
    st.floats(-3.0, 3.0, allow_nan=False),
    st.sampled_from([0.0, 0.25, 0.5, 1.0, 2.0, -1.0, 1e-11, 0.9999999999999]),
    st.integers(-20, 80).map(float),
)
any_params = st.one_of(small_params, st.sampled_from([math.nan, math.inf, -math.inf, 1e300]))


odd_counts = st.sampled_from([math.nan, math.inf, -1.0, -0.0, -2.5, 1e300, 2.0 ** 70])


@st.composite
def states(draw, A=None, Z=None, odd=False):
    A = draw(st.integers(1, 3)) if A is None else A
    Z = draw(st.integers(1, 3)) if Z is None else Z
    cell = counts | odd_counts if odd else counts
    ind = draw(st.lists(cell, min_size=2 * A * Z, max_size=2 * A * Z))
    sperm = []
    if draw(st.booleans()):
        # Sperm rows mostly within their females; now and then more than that.
        for a in range(A):
            for z in range(Z):
                females = ind[a * Z + z]
                w = draw(st.lists(st.floats(0.0, 1.0), min_size=Z, max_size=Z))
                scale = draw(st.sampled_from([0.0, 0.3, 0.9, 1.0, 1.3]))
                tot = sum(w) or 1.0
                row = [females * scale * x / tot for x in w]
                if draw(st.booleans()):
                    row = [float(round(x)) if math.isfinite(x) else x for x in row]
                if odd and draw(st.integers(0, 3)) == 0:
                    row[draw(st.integers(0, Z - 1))] = draw(odd_counts)
                sperm.extend(row)
    return A, Z, ind, sperm


def cond_strategy():
    leaf = st.one_of(
        st.builds(H.every, st.integers(-2, 6)), st.builds(H.at, st.integers(0, 12)),
        st.builds(H.from_tick, st.integers(0, 12)), st.builds(H.before, st.integers(0, 12)),
        st.builds(H.until, st.integers(0, 12)), st.builds(H.after, st.integers(0, 12)), st.just(H.always()),
    )
    return st.recursive(leaf, lambda c: st.one_of(
        st.builds(lambda a, b: a & b, c, c), st.builds(lambda a, b: a | b, c, c), st.builds(lambda a: ~a, c)),
        max_leaves=4)


def expr_strategy():
    leaf = st.one_of(st.builds(H.literal, small_params), st.builds(H.param, st.integers(0, 4)))
    return st.recursive(leaf, lambda e: st.one_of(
        st.builds(lambda a, b: a + b, e, e), st.builds(lambda a, b: a - b, e, e),
        st.builds(lambda a, b: a * b, e, e), st.builds(lambda a, b: a / b, e, e)), max_leaves=5)


@st.composite
def operations(draw, A, Z):
    when = draw(st.sampled_from([None, None, None, "c"]))
    when = draw(cond_strategy()) if when else None
    some = st.none()  # None selects every age / ztype
    sel = dict(sex=draw(st.sampled_from(["female", "male", "both"])),
               ages=draw(some | st.lists(st.integers(0, A), max_size=3)),
               ztypes=draw(some | st.lists(st.integers(0, Z), max_size=3)), when=when)
    kind = draw(st.sampled_from(["scale", "set_count", "add", "subtract", "kill", "kill", "cap", "stop_if_empty",
                                 "stop_if_below", "stop_if_above", "stop_if_extinct", "set_param", "set_param",
                                 "convert_pairs", "convert_pairs", "convert_z", "convert_z", "clear_sperm"]))
    if kind in ("scale", "set_count", "add", "subtract", "cap"):
        return getattr(H, kind)(draw(small_params), **sel)
    if kind == "kill":
        return H.kill(draw(st.floats(-0.5, 1.5) | st.sampled_from([0.25, 0.5, 1.0])), **sel)
    if kind == "stop_if_empty":
        return H.stop_if_empty(**sel)
    if kind in ("stop_if_below", "stop_if_above"):
        return getattr(H, kind)(draw(st.floats(0.0, 200.0)), **sel)
    if kind == "stop_if_extinct":
        return H.stop_if_extinct(when=when)
    if kind == "set_param":
        return H.set_param(draw(st.integers(0, 6)), draw(expr_strategy()), every=draw(st.integers(1, 4)),
                           start=draw(st.integers(0, 8)), when=when)
    prob = draw(st.floats(0.0, 1.0) | st.sampled_from([0.0, 1.0, 0.5, 1.5, -0.25]))
    cell = st.tuples(st.integers(0, 1), st.integers(0, A - 1), st.integers(0, Z - 1))
    if kind == "convert_pairs":
        pairs = draw(st.lists(st.tuples(cell, cell), min_size=1, max_size=3))
        return H.convert(prob, pairs=pairs, when=when)
    if kind == "convert_z":
        return H.convert(prob, source_z=draw(st.integers(0, Z)), target_z=draw(st.integers(0, Z)), when=when)
    return H.clear_sperm(draw(st.lists(st.tuples(st.integers(0, 1), st.integers(0, A), st.integers(0, Z)),
                                       max_size=3)), when=when)


@st.composite
def built_cases(draw):
    A, Z, ind, sperm = draw(states())
    b = RawProgramBuilder(n_ages=A, n_ztypes=Z)
    n_demes = draw(st.integers(1, 3))
    events = []
    for _ in range(draw(st.integers(0, 5))):
        event = draw(st.integers(0, 3))
        events.append(event)
        demes = draw(st.none() | st.integers(0, 2) | st.builds(range, st.integers(0, 2), st.integers(0, 3))
                     | st.lists(st.integers(0, 2), max_size=2))
        if draw(st.integers(0, 5)) == 0:
            b.add_callback(event, demes=demes)
        else:
            b.add_hook(event, draw(st.lists(operations(A, Z), min_size=1, max_size=4)), demes=demes)
    kw = dict(mode=draw(st.sampled_from(MODES)), deme=draw(st.integers(0, n_demes - 1)), n_demes=n_demes,
              staged=draw(st.lists(st.floats(0.0, 2.0) | st.sampled_from([1.0, 100.0, 0.5]), min_size=5, max_size=5)
                          | st.lists(st.floats(0.0, 1.0), max_size=5)),
              words=T.rng_new(draw(st.integers(0, 2 ** 64 - 1))))
    if draw(st.booleans()):
        kw["eco"] = draw(st.lists(st.sampled_from([0.0, 0.5, 1.0, 2.0, 100.0, 0.3]), min_size=5, max_size=5)
                         .map(lambda v: v[:4] + [max(v[4], 1.0)] if draw(st.integers(0, 4)) else v))
    if draw(st.booleans()):
        kw["callbacks"] = draw(st.lists(st.lists(st.sampled_from([0, 0, 0, 1, -3]), max_size=3), max_size=5))
    event = draw(st.sampled_from(events) | st.integers(0, 4)) if events else draw(st.integers(0, 4))
    return b.build(), event, ind, sperm, A, Z, draw(st.integers(0, 14)), kw


@given(built_cases())
@SETTINGS
def test_built_programs_match_model(case):
    prog, event, ind, sperm, A, Z, tick, kw = case
    compare(prog, event, ind, sperm, A, Z, tick, **kw)


@st.composite
def raw_cases(draw):
    """Structurally sound columns (offsets inside their pools) with arbitrary
    contents: unknown opcodes, token kinds and selector types, indices outside
    the state, parameter ids and payloads outside their columns."""
    A, Z, ind, sperm = draw(states())
    ints = st.integers(-2, 4)
    n_events = draw(st.integers(0, 4))
    n_hooks = draw(st.integers(0, 4) | st.integers(1, 3))
    # Events may reach past n_hooks (those hooks are skipped), but not when
    # callbacks are spliced in: new hooks go in at the event's end.
    with_callbacks = draw(st.booleans())
    top = n_hooks if with_callbacks else n_hooks + 1
    hook_offsets = sorted(draw(st.lists(st.integers(0, top), min_size=n_events + 1, max_size=n_events + 1)))
    n_ops = draw(st.integers(0, 6) | st.integers(2, 6))
    op_offsets = sorted(draw(st.lists(st.integers(0, n_ops), min_size=n_hooks + 1, max_size=n_hooks + 1)))

    def pooled(n_items, item, length=st.integers(0, 3)):
        lens = draw(st.lists(length, min_size=n_items, max_size=n_items))
        offs, data = [0], []
        for ln in lens:
            data.extend(draw(st.lists(item, min_size=ln, max_size=ln)))
            offs.append(len(data))
        return offs, data

    sel_off, sel_data = pooled(n_hooks, st.integers(-1, 3))
    age_off, age_data = pooled(n_ops, st.integers(0, A - 1) | st.integers(-1, A + 1))
    z_off, z_data = pooled(n_ops, st.integers(0, Z - 1) | st.integers(-1, Z + 1))
    cond_off, cond_tokens = pooled(n_ops, st.just((0, 0)) | st.tuples(
        st.sampled_from([-1, 0, 1, 2, 3, 4, 5, 6, 7, 100, 101, 102, 103]), st.integers(-3, 12)),
        st.sampled_from([0, 0, 0, 1, 2, 3]))
    literals = draw(st.lists(any_params, max_size=4))
    staged = draw(st.lists(st.floats(0.0, 2.0) | st.sampled_from([math.nan, 1.0]), max_size=5))
    rpn_off, rpn_tokens = pooled(n_ops, st.tuples(st.integers(-1, 7), st.integers(-1, 5)))
    conv_off, conv_pairs = pooled(n_ops, st.tuples(st.tuples(st.integers(-1, 2), st.integers(-1, A),
                                                             st.integers(-1, Z)),
                                                   st.tuples(st.integers(0, 2), st.integers(0, A),
                                                             st.integers(0, Z))))
    clear_off, clear_cells = pooled(n_ops, st.tuples(st.integers(-1, 2), st.integers(-1, A), st.integers(-1, Z)))
    if draw(st.booleans()):
        conv_off = conv_off[:draw(st.integers(0, len(conv_off)))]
    if draw(st.booleans()):
        clear_off = clear_off[:draw(st.integers(0, len(clear_off)))]
    cols = dict(
        hook_offsets=hook_offsets, op_offsets=op_offsets,
        deme_selector_types=draw(st.lists(st.sampled_from([0, 0, 0, -1, 1, 2, 3, 4]), min_size=n_hooks,
                                          max_size=n_hooks)),
        deme_selector_offsets=sel_off, deme_selector_data=sel_data,
        python_callback_slots=draw(st.lists(st.sampled_from([-1, -1, -2, 0, 1]), min_size=n_hooks,
                                            max_size=n_hooks)),
        op_types_data=draw(st.lists(st.integers(0, 12), min_size=n_ops, max_size=n_ops)
                           | st.lists(st.integers(-1, 13), min_size=n_ops, max_size=n_ops)),
        params_data=draw(st.lists(any_params, min_size=n_ops, max_size=n_ops)),
        sex_masks_data=draw(st.lists(st.booleans(), min_size=2 * n_ops, max_size=2 * n_ops)),
        age_offsets_data=age_off, age_data=age_data, zidx_offsets_data=z_off, zidx_data=z_data,
        condition_offsets_data=cond_off, condition_types_data=[k for k, _ in cond_tokens],
        condition_params_data=[q for _, q in cond_tokens],
        sp_param_ids=draw(st.lists(st.integers(-1, 6), min_size=n_ops, max_size=n_ops)),
        sp_every=draw(st.lists(st.integers(1, 4), min_size=n_ops, max_size=n_ops)),
        sp_start=draw(st.lists(st.integers(-3, 10), min_size=n_ops, max_size=n_ops)),
        rpn_offsets=rpn_off, rpn_kinds=[k for k, _ in rpn_tokens], rpn_payload=[q for _, q in rpn_tokens],
        sp_literals=literals, convert_offsets=conv_off,
        convert_source_coords=[v for s, _ in conv_pairs for v in s],
        convert_target_coords=[v for _, t in conv_pairs for v in t],
        convert_source_z=draw(st.lists(ints, min_size=n_ops, max_size=n_ops)),
        convert_target_z=draw(st.lists(ints, min_size=n_ops, max_size=n_ops)),
        clear_offsets=clear_off, clear_coords=[v for c in clear_cells for v in c])
    prog = H.HookProgram(n_hooks, n_events, False, cols)
    kw = dict(mode=draw(st.sampled_from(MODES)), deme=draw(st.integers(0, 2)), staged=staged,
              words=T.rng_new(draw(st.integers(0, 2 ** 64 - 1))))
    if draw(st.booleans()):
        kw["eco"] = draw(st.lists(st.sampled_from([0.0, 0.5, 1.0, 2.0, math.nan]), min_size=5, max_size=5))
    if with_callbacks:
        kw["callbacks"] = draw(st.lists(st.lists(st.sampled_from([0, 2]), max_size=2), max_size=5))
    event = draw(st.integers(0, n_events - 1) | st.integers(0, 4)) if n_events else draw(st.integers(0, 4))
    return prog, event, ind, sperm, A, Z, draw(st.integers(0, 12)), kw


@given(raw_cases())
@SETTINGS
def test_raw_column_sets_match_model(case):
    prog, event, ind, sperm, A, Z, tick, kw = case
    compare(prog, event, ind, sperm, A, Z, tick, **kw)


@st.composite
def busy_cases(draw):
    """Hooks that all fire: several unconditional operations on event 0 over
    populated states, mostly in the sampling modes, so that random draws,
    sperm bookkeeping and both conversion forms are exercised heavily."""
    odd = draw(st.integers(0, 4)) == 0
    A, Z, ind, sperm = draw(states(odd=odd))
    ind = [v + draw(st.sampled_from([0.0, 3.0, 17.0, 250.0])) for v in ind]
    b = RawProgramBuilder(n_ages=A, n_ztypes=Z, n_events=1)
    for _ in range(draw(st.integers(1, 3))):
        ops = draw(st.lists(operations(A, Z), min_size=1, max_size=5))
        for op in ops:
            op.when = None
            if odd:
                op.param = draw(any_params)
        b.add_hook(0, ops)
    kw = dict(mode=draw(st.sampled_from(["stochastic", "continuous", "continuous", "stochastic", "deterministic"])),
              staged=[draw(st.floats(0.0, 1e6)), draw(st.floats(0.0, 100.0)), draw(st.floats(0.0, 1.0)),
                      draw(st.floats(0.0, 1.0)), draw(st.floats(1.0, 10.0))],
              words=T.rng_new(draw(st.integers(0, 2 ** 64 - 1))))
    return b.build(), 0, ind, sperm, A, Z, draw(st.integers(0, 6)), kw


@given(busy_cases())
@SETTINGS
def test_busy_programs_match_model(case):
    prog, event, ind, sperm, A, Z, tick, kw = case
    compare(prog, event, ind, sperm, A, Z, tick, **kw)


# ------------------------------------------------------------------ reading
READ_ORDER = (
    "n_hooks", "op_types_data", "has_set_param", "python_callback_slots", "sp_every", "n_events",
    "hook_offsets", "op_offsets", "zidx_offsets_data", "zidx_data", "age_offsets_data", "age_data",
    "sex_masks_data", "params_data", "condition_offsets_data", "condition_types_data", "condition_params_data",
    "deme_selector_types", "deme_selector_offsets", "deme_selector_data", "sp_param_ids", "sp_start",
    "rpn_offsets", "rpn_kinds", "rpn_payload", "sp_literals", "convert_source_z", "convert_target_z",
    "convert_offsets", "convert_source_coords", "convert_target_coords", "clear_offsets", "clear_coords",
)


class Logged:
    """Forwards attribute reads to a program, logging their names; names in
    `missing` raise AttributeError."""

    def __init__(self, prog, missing=()):
        object.__setattr__(self, "_prog", prog)
        object.__setattr__(self, "_missing", set(missing))
        object.__setattr__(self, "log", [])

    def __getattribute__(self, name):
        if name in ("log", "_prog", "_missing") or name.startswith("__"):
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "log").append(name)
        if name in object.__getattribute__(self, "_missing"):
            raise AttributeError(name)
        return getattr(object.__getattribute__(self, "_prog"), name)


def sample_program():
    b = RawProgramBuilder(n_ages=2, n_ztypes=2)
    b.add_hook("early", [H.kill(0.5, ages=[1]), H.set_param("sex_ratio", 0.4)], demes=[0, 1])
    b.add_callback("late")
    return b.build()


def test_reader_reads_every_attribute_once_in_order():
    obj = Logged(sample_program())
    T.hook_program_read(obj)
    assert obj.log == list(READ_ORDER)
    assert len(READ_ORDER) == len(H.HookProgram.column_names()) + 3


@pytest.mark.parametrize("k", range(len(READ_ORDER)))
def test_reader_stops_at_the_first_missing_attribute(k):
    name = READ_ORDER[k]
    obj = Logged(sample_program(), missing=[name])
    if name == "python_callback_slots":
        # unreadable slots are only an error when the program has hooks
        with pytest.raises(ValueError, match="^hook program is missing 'python_callback_slots'"):
            T.hook_program_read(obj)
    else:
        with pytest.raises(AttributeError):
            T.hook_program_read(obj)
    assert obj.log == list(READ_ORDER[:k + 1])


def test_reader_checks_come_in_order():
    # Slot count before sp_every, sp_every before n_events and the columns.
    prog = sample_program()
    prog.python_callback_slots = np.array([-1], dtype=np.int64)
    prog.sp_every = np.array([0, 0], dtype=np.int64)
    obj = Logged(prog, missing=["n_events"])
    with pytest.raises(ValueError, match="^python_callback_slots has 1 entries but n_hooks is 2$"):
        T.hook_program_read(obj)
    assert obj.log == list(READ_ORDER[:4])
    prog.python_callback_slots = np.array([-1, 0], dtype=np.int64)
    obj = Logged(prog, missing=["n_events"])
    with pytest.raises(ValueError, match="^sp_every must be positive, got 0 at operation 0$"):
        T.hook_program_read(obj)
    assert obj.log == list(READ_ORDER[:5])


# ------------------------------------------------------------------ splice and commit
@st.composite
def splice_cases(draw):
    b = RawProgramBuilder(n_ages=1, n_ztypes=1, n_events=draw(st.integers(1, 4)))
    for _ in range(draw(st.integers(0, 6))):
        e = draw(st.integers(0, b.n_events - 1))
        demes = draw(st.none() | st.integers(0, 2) | st.lists(st.integers(0, 2), max_size=2))
        if draw(st.booleans()):
            b.add_callback(e, demes=demes)
        else:
            b.add_hook(e, [H.scale(1.0)] * draw(st.integers(0, 2)), demes=demes)
    lists = draw(st.lists(st.lists(st.integers(0, 3), max_size=3), max_size=5))
    return b.build(), lists


SPLICE_KEYS = ("n_hooks", "n_events", "hook_offsets", "op_offsets", "deme_selector_types", "deme_selector_offsets",
               "deme_selector_data", "python_callback_slots", "op_types_data")


@given(splice_cases(), st.integers(0, 3))
@SETTINGS
def test_splice_and_clear_match_model(case, repeat):
    prog, lists = case
    engine = T.hook_splice(prog, lists)
    model = M.install_callback_lists(M.program_columns(prog), lists)
    assert {k: engine[k] for k in SPLICE_KEYS} == {k: model[k] for k in SPLICE_KEYS}
    assert engine["callback_counts"] == [len(x) for x in lists] and engine["has_callback_lists"]
    cleared = T.hook_clear_callbacks(prog, lists)
    mc = M.clear_callbacks(model)
    assert {k: cleared[k] for k in SPLICE_KEYS} == {k: mc[k] for k in SPLICE_KEYS}
    assert cleared["callback_counts"] == [0, 0, 0, 0]


@given(st.lists(st.sampled_from([0.0, 0.5, 1.0, 2.0, 1e6, 1e12, math.nan, -0.0]), min_size=5, max_size=5),
       st.lists(st.sampled_from([0.0, -0.0, 0.5, 1.0, 1.5, 2.0, 1e6, 1e12, 1.0000001, -1e-300, math.inf, math.nan]),
                max_size=5),
       st.integers(0, 2 ** 40), st.integers(0, 6), st.integers(0, 2))
@SETTINGS
def test_commit_matches_model(current, staged, tick, stage, deme):
    eco = M.Ecology(current, 3)
    journal = []
    try:
        M.commit(eco, deme, tick, stage, staged, journal)
        want_error = None
    except M.HookError as e:
        want_error = str(e)
    try:
        got_journal, got_values = T.eco_commit(current, staged, tick=tick, stage=stage, deme=deme, n_demes=3)
        got_error = None
    except RuntimeError as e:
        got_error = str(e)
    assert got_error == want_error
    if want_error is None:
        assert len(got_journal) == len(journal)
        for g, w in zip(got_journal, journal):
            assert g[0] == w[0] and g[1] == w[1] and g[4] == w[4]
            assert same_float(g[2], w[2]) and same_float(g[3], w[3])
        assert all(same_float(a, b) for a, b in zip(got_values, eco.demes[deme]))
