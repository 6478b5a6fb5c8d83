"""Seeded random models of every session type, put through the operations whose
results must never change (runs in every execution mode, hooks and Python
callbacks, checkpoints and restores, bound histories with parameter logs,
memory snapshots, events, per-deme work on 1, 2 and 8 threads), with every
outcome reduced to a digest.

``python tests/golden_record.py`` writes ``tests/data/golden.npz`` from the
build on the path; ``test_golden.py`` recomputes the outcomes and compares
them bit for bit. Record again only when a result is meant to change.
"""

from __future__ import annotations

import hashlib
import os
import struct
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import spatial_model as M  # noqa: E402
from qorin import _engine_rs, genetics  # noqa: E402
from qorin import _engine_testing as T  # noqa: E402
from qorin import hooks as H  # noqa: E402
from qorin.contracts import Blueprint, Params  # noqa: E402
from qorin.landscape import LandscapeSession  # noqa: E402

FIXTURE = os.path.join(HERE, "data", "golden.npz")
HEAD = 6  # exact leading values kept beside each array digest


def canon(v) -> bytes:
    """Bytes that differ whenever `v` differs in any bit."""
    if isinstance(v, np.ndarray):
        return b"A" + v.dtype.str.encode() + repr(v.shape).encode() + np.ascontiguousarray(v).tobytes()
    if isinstance(v, (bool, np.bool_)):
        return b"B1" if v else b"B0"
    if isinstance(v, (float, np.floating)):
        return b"F" + struct.pack("<d", float(v))
    if isinstance(v, (tuple, list)):
        return b"(" + b",".join(canon(x) for x in v) + b")"
    if isinstance(v, dict):
        return b"{" + b",".join(canon(k) + b":" + canon(v[k]) for k in v) + b"}"
    return b"R" + repr(v).encode()


def head(v) -> np.ndarray:
    """A few exact values of the first array in `v`, for reading a mismatch."""
    if isinstance(v, np.ndarray) and v.dtype.kind in "fiu":
        return np.asarray(v.ravel()[:HEAD], dtype=np.float64)
    if isinstance(v, (tuple, list)):
        for x in v:
            h = head(x)
            if h.size:
                return h
    if isinstance(v, (float, int, np.floating, np.integer)) and not isinstance(v, bool):
        return np.array([float(v)])
    return np.zeros(0)


class Recorder:
    def __init__(self):
        self.items: dict[str, tuple[bytes, np.ndarray]] = {}

    def add(self, label: str, value) -> None:
        assert label not in self.items, label
        self.items[label] = (hashlib.sha256(canon(value)).digest(), head(value))

    def attempt(self, label: str, fn):
        """Records fn()'s result, or the kind and text of its error."""
        try:
            value = fn()
        except Exception as e:  # the error is the result
            value = ("raised", type(e).__name__, str(e))
        self.add(label, value)
        return value


# ---------------------------------------------------------------- models

def _locus(rng):
    kind = rng.integers(3)
    if kind == 0:
        return genetics.autosomal_locus(2)
    if kind == 1:
        return genetics.autosomal_locus(3)
    return genetics.homing_drive(cutting=0.9, homing=0.8)


def _params(bp, locus, rng):
    a = bp.n_ages
    return Params(
        bp, locus,
        carrying_capacity=float(rng.uniform(100, 800)),
        eggs_per_female=float(rng.uniform(5, 40)),
        sex_ratio=float(rng.uniform(0.35, 0.65)),
        sperm_displacement_rate=float(rng.uniform(0, 1)),
        low_density_growth_rate=float(rng.uniform(1.2, 6)),
        growth_mode=int(rng.integers(0, 5)),
        survival_rates=rng.uniform(0.4, 0.95, (2, a)),
        mating_rates=rng.uniform(0.5, 1.0, (2, a)),
        viability_fitness=rng.uniform(0.7, 1.0, (2, a, locus.n_ztypes)),
    )


def _program(bp, rng, *, demes=None, stops=False):
    """A random hook program: releases, kills, scaled parameters, perhaps a stop."""
    z = bp.n_ztypes
    b = H.HookProgramBuilder.for_blueprint(bp)
    b.add_hook("early", [H.release(float(rng.uniform(5, 40)), sex="male", ages=bp.n_ages - 1,
                                   ztypes=int(rng.integers(z)), when=H.every(3))], demes=demes)
    b.add_hook("late", [H.kill(float(rng.uniform(0.05, 0.3)), sex="male", when=H.from_tick(2))])
    b.add_hook("first", [H.set_param("carrying_capacity", H.param("carrying_capacity") * 1.02, every=2)])
    b.add_hook("first", [H.set_param("eggs_per_female", float(rng.uniform(5, 30)), when=H.at(4))])
    if stops:
        b.add_hook("late", [H.stop_if_above(0.0, when=H.at(int(rng.integers(3, 7))))],
                   demes=None if demes is None else demes[:1])
    return b.build()


def _callbacks(rng, *, stop_tick=None, stop_deme=None):
    """A plain callback that changes counts, a transaction that changes a
    parameter and, every few ticks, a genetics table."""
    factor = float(rng.uniform(0.9, 1.1))

    def plain(ind, sperm, tick, deme):
        ind[-1] = ind[-1] * factor
        return 1 if (tick == stop_tick and deme == (stop_deme or 0)) else 0

    def txn(ind, sperm, tick, deme, t):
        t.apply({"sex_ratio": 0.45 + 0.01 * (tick % 5)})
        if tick % 4 == 1:
            table = np.asarray(t.get_tensor("fecundity_fitness"), dtype=np.float64) * 0.99
            t.tensor_write("fecundity_fitness", table.ravel())
        return 0

    txn.__qorin_transaction__ = True
    return [plain], [txn], []


def _log_details(log):
    return log.details()


# ---------------------------------------------------------------- single populations

def age_structured(rec: Recorder, k: int):
    rng = np.random.default_rng(1000 + k)
    locus = _locus(rng)
    a = int(rng.integers(2, 5))
    stochastic, cont, fixed = (bool(x) for x in rng.integers(0, 2, 3))
    bp = Blueprint(n_ages=a, new_adult_age=int(rng.integers(1, a)), locus=locus, stochastic=stochastic,
                   continuous_sampling=cont, fixed_egg_count=fixed)
    bp.initial_individual_count[:, bp.new_adult_age:, :] = rng.uniform(10, 80, (2, a - bp.new_adult_age, locus.n_ztypes))
    bp.initial_sperm_storage = np.zeros((a, locus.n_ztypes, locus.n_ztypes))
    p = _params(bp, locus, rng)
    tag = f"age{k}"
    try:
        s = _engine_rs.EngineSession(bp, p, seed=int(rng.integers(2**63)))
    except Exception as e:
        rec.add(f"{tag}/new", ("raised", type(e).__name__, str(e)))
        return
    s.set_hook_program(_program(bp, rng, stops=k % 3 == 2))
    if k % 2:
        s.set_python_callbacks(*_callbacks(rng))
    every = int(rng.integers(0, 4))
    r = rec.attempt(f"{tag}/run1", lambda: s.run(12, int(rng.integers(1, 4)), checkpoint_every=every))
    rec.add(f"{tag}/snap1", s.snapshot_state())
    rec.add(f"{tag}/state1", s.execution_state())
    rec.add(f"{tag}/journal1", s.drain_eco_journal())
    if isinstance(r, tuple) and r[0] != "raised" and r[2]:
        # Stopped: roll back to a checkpoint (or install the state) and go on.
        ticks = [int(t) for t in r[1][:, 0]] if r[1].size else []
        back = rec.attempt(f"{tag}/restore1", lambda: s.restore_from_checkpoint(ticks[-1] if ticks else 0))
        if back is None:
            _, ind, sperm = s.state_snapshot()
            s.set_state(ind, sperm, s.current_tick())
        s.clear_hook_program()
    # Memory snapshot, a run, a restore, the same run again.
    snap = s.snapshot_state()
    first = rec.attempt(f"{tag}/run2", lambda: s.run(5, 1))
    rec.add(f"{tag}/restore_state", s.restore_state(*snap))
    again = rec.attempt(f"{tag}/run2_again", lambda: s.run(5, 1))
    rec.add(f"{tag}/same_after_restore", canon(first) == canon(again))
    # Switch the execution mode and run with a bound history and parameter logs.
    s.set_execution_flags(not stochastic, cont, not fixed, 0)
    s.set_hook_program(_program(bp, rng))
    width = 1 + 2 * a * locus.n_ztypes + a * locus.n_ztypes ** 2
    store = _engine_rs.HistoryStore(width, [1, 2, a, locus.n_ztypes], True,
                                    max_rows=None if k % 2 else 6)
    log = _engine_rs.ParameterLog()
    store.bind_log(log)
    s.bind_history(store)
    rec.attempt(f"{tag}/run3", lambda: s.run(14, 1))
    rec.add(f"{tag}/store3", (store.ticks(), store.query(), store.boundaries()))
    rec.add(f"{tag}/log3", _log_details(log))
    rec.add(f"{tag}/journal3", s.drain_eco_journal())
    ticks = store.ticks()
    mid = ticks[len(ticks) // 2] if ticks else 0
    rec.attempt(f"{tag}/restore3", lambda: s.restore_from_checkpoint(mid))
    rec.add(f"{tag}/after_restore3", (s.snapshot_state(), store.ticks(), _log_details(log)))
    rec.attempt(f"{tag}/run4", lambda: s.run(6, 2))
    rec.add(f"{tag}/store4", (store.ticks(), store.query(), store.boundaries(), _log_details(log)))
    rec.attempt(f"{tag}/record_history", lambda: s.record_history(True))
    rec.attempt(f"{tag}/record_history_dup", lambda: s.record_history(False))
    # Single ticks, events, single stages, reseeding.
    rec.attempt(f"{tag}/tick", lambda: s.tick(0))
    rec.attempt(f"{tag}/event", lambda: s.trigger_event(int(rng.integers(4))))
    s.reseed(int(rng.integers(2**63)))
    rec.attempt(f"{tag}/stages", lambda: (s.reproduction(), s.survival(), s.aging()))
    rec.add(f"{tag}/final", (s.snapshot_state(), s.counts(), s.adult_counts(), s.execution_state(),
                              s.drain_eco_journal()))
    # A private observed history.
    mask = np.zeros((1, 2, a, locus.n_ztypes))
    mask[0, :, bp.new_adult_age:, :] = 1.0
    fresh = _engine_rs.EngineSession(bp, p, seed=k)
    rec.attempt(f"{tag}/observed", lambda: fresh.run(8, 2, observation_mask=mask))


def discrete(rec: Recorder, k: int):
    rng = np.random.default_rng(2000 + k)
    locus = _locus(rng)
    esm = int(rng.integers(0, 4))
    stochastic = bool(k % 2 == 0 or esm)
    bp = Blueprint(n_ages=2, new_adult_age=1, locus=locus, stochastic=stochastic,
                   continuous_sampling=bool(rng.integers(2)), fixed_egg_count=bool(rng.integers(2)),
                   extreme_speed_mode=esm)
    bp.initial_individual_count[:, 1, :] = rng.uniform(20, 90, (2, locus.n_ztypes))
    p = _params(bp, locus, rng)
    tag = f"disc{k}"
    try:
        s = _engine_rs.DiscreteEngineSession(bp, p, seed=int(rng.integers(2**63)))
    except Exception as e:
        rec.add(f"{tag}/new", ("raised", type(e).__name__, str(e)))
        return
    wf = bool(esm) and k % 3 != 0
    s.set_hook_program(_program(bp, rng, stops=k % 4 == 3))
    if k % 2:
        s.set_python_callbacks(*_callbacks(rng))
    r = rec.attempt(f"{tag}/run1", lambda: s.run(10, 1, wf, checkpoint_every=int(rng.integers(0, 3))))
    rec.add(f"{tag}/snap1", s.snapshot_state())
    rec.add(f"{tag}/journal1", s.drain_eco_journal())
    if isinstance(r, tuple) and r[0] != "raised" and r[2]:
        back = rec.attempt(f"{tag}/restore1", lambda: s.restore_from_checkpoint(0))
        if back is None:
            s.set_state(s.state_snapshot()[1], s.current_tick())
        s.clear_hook_program()
    store = _engine_rs.HistoryStore(1 + 4 * locus.n_ztypes, [1, 2, 2, locus.n_ztypes], True)
    log = _engine_rs.ParameterLog()
    store.bind_log(log)
    s.bind_history(store)
    s.set_hook_program(_program(bp, rng))
    rec.attempt(f"{tag}/run2", lambda: s.run(9, 1, not wf))
    rec.add(f"{tag}/store2", (store.ticks(), store.query(), store.boundaries(), _log_details(log)))
    rec.attempt(f"{tag}/restore2", lambda: s.restore_from_checkpoint(3))
    rec.attempt(f"{tag}/run3", lambda: s.run(4, 2, wf))
    rec.add(f"{tag}/store3", (store.ticks(), store.query(), store.boundaries(), _log_details(log)))
    rec.attempt(f"{tag}/tick", lambda: s.tick(wf))
    rec.attempt(f"{tag}/event", lambda: s.trigger_event(int(rng.integers(4))))
    rec.add(f"{tag}/final", (s.snapshot_state(), s.counts(), s.execution_state(), s.drain_eco_journal()))
    mask = np.ones((1, 2, 2, locus.n_ztypes))
    fresh = _engine_rs.DiscreteEngineSession(bp, p, seed=k)
    rec.attempt(f"{tag}/observed", lambda: fresh.run(6, 1, wf, observation_mask=mask))


# ---------------------------------------------------------------- landscapes

def _spatial(k, n, threads):
    """One random landscape session; built inside the thread setting."""
    rng = np.random.default_rng(3000 + k)
    model = "discrete_generation" if k % 3 == 2 else "age_structured"
    a = 2 if model == "discrete_generation" else int(rng.integers(2, 4))
    stochastic = bool(k % 2 == 0)
    bp_kw = dict(stochastic=stochastic, continuous_sampling=bool(rng.integers(2)))
    if model == "discrete_generation":
        bp_kw["discrete_generation"] = True
    bp = M.blueprint(n, n_ages=a, graph=M.ring(n), **bp_kw)
    plist = []
    for d in range(n):
        plist.append(Params(bp, carrying_capacity=float(rng.uniform(200, 600)),
                            eggs_per_female=float(rng.uniform(8, 30)),
                            low_density_growth_rate=float(rng.uniform(1.5, 5)),
                            growth_mode=int(rng.integers(1, 5)),
                            survival_rates=rng.uniform(0.5, 0.95, (2, a))))
    ind, sperm = M.initial_state(bp, n, adults=float(rng.uniform(20, 60)),
                                 sperm=model == "age_structured" and not stochastic)
    scale = rng.uniform(0.5, 1.5, (n, 1, 1, 1))
    ind *= scale
    sperm *= scale
    rate = float(rng.uniform(0.02, 0.3))
    bank = [M.genetics(plist[0]), M.genetics(plist[1 % n])]
    ids = rng.integers(0, 2, n)
    s, bp, *_ = M.session(n, rate=rate, params=plist, bank=bank, ids=ids, ind=ind, sperm=sperm, bp=bp,
                          module=T if threads else _engine_rs, model=model, seed=int(rng.integers(2**63)))
    return s, bp, rng, model


def spatial(rec: Recorder, k: int, n: int, threads: int, callbacks: bool):
    T.set_worker_threads(threads)
    try:
        s, bp, rng, model = _spatial(k, n, threads)
        a, z = bp.n_ages, bp.n_ztypes
        tag = f"spat{k}_n{n}_cb{int(callbacks)}"
        suffix = f"@t{threads}"
        demes = list(range(1, n, 3))

        def add(label, value):
            rec.add(f"{tag}/{label}{suffix}", value)

        def attempt(label, fn):
            return rec.attempt(f"{tag}/{label}{suffix}", fn)

        s.set_hook_program(_program(bp, rng, demes=demes, stops=k % 4 == 1))
        if callbacks:
            s.set_python_callbacks(*_callbacks(rng, stop_tick=5 if k % 4 == 3 else None,
                                               stop_deme=n - 1))
        sperm_w = 0 if model == "discrete_generation" else n * a * z * z
        store = _engine_rs.HistoryStore(1 + n * 2 * a * z + sperm_w, [n, 2, a, z], True,
                                        max_rows=None if k % 2 else 5)
        logs = [_engine_rs.ParameterLog() for _ in range(n)]
        store.bind_logs(logs[: n - 1])  # the last deme has no log: its rows are dropped
        s.bind_history(store)
        r = attempt("run_steps1", lambda: s.run_steps(9, int(rng.integers(1, 3))))
        add("state1", (s.state_snapshot(), s.execution_state(), s.current_tick()))
        add("store1", (store.ticks(), store.query(), store.boundaries(), [g.details() for g in logs]))
        add("journal1", s.drain_eco_journal())
        add("columns1", s.ecology_columns_snapshot())
        add("bank1", (s.n_variants(), [s.get_deme_tensor(d, "fecundity_fitness") for d in range(n)]))
        ticks = store.ticks()
        if isinstance(r, tuple) and r[0] != "raised" and r[1]:
            back = attempt("restore_stopped", lambda: s.restore_from_checkpoint(ticks[-1] if ticks else 0))
            if back is None:
                _, i0, s0 = s.state_snapshot()
                s.set_state(i0.reshape(n, 2, a, z), s0.reshape(n, a, z, z), s.current_tick())
            s.clear_hook_program()
            s.clear_python_callbacks()
        attempt("capture", lambda: s.capture_checkpoint())
        attempt("run_steps2", lambda: s.run_steps(4, 0))
        add("journal2", s.drain_eco_journal())
        mid = ticks[len(ticks) // 2] if ticks else 0
        attempt("restore2", lambda: s.restore_from_checkpoint(mid))
        add("after_restore2", (s.state_snapshot(), s.execution_state(), store.ticks(),
                               [g.details() for g in logs], s.ecology_columns_snapshot()))
        attempt("run_tick", lambda: s.run_tick())
        attempt("event", lambda: s.trigger_deme_event(int(rng.integers(n)), int(rng.integers(4))))
        fork = attempt("fork", lambda: s.fork_variant(0))
        attempt("write_deme", lambda: s.tensor_write_deme(
            n - 1, "fecundity_fitness", np.full(2 * z, 0.9)))
        attempt("apply_deme", lambda: s.apply_deme(0, {"carrying_capacity": 321.0}))
        s.reseed(int(rng.integers(2**63)))
        attempt("run_steps3", lambda: s.run_steps(3, 1))
        attempt("record_history", lambda: s.record_history(True))
        s.truncate_checkpoints(s.current_tick())
        attempt("restore3", lambda: s.restore_from_checkpoint(s.current_tick()))
        add("final", (s.state_snapshot(), s.execution_state(), s.drain_eco_journal(),
                      s.ecology_columns_snapshot(), s.n_variants(), fork,
                      [s.counts(d) for d in range(n)], store.ticks(), store.query(),
                      store.boundaries(), [g.details() for g in logs]))
    finally:
        T.set_worker_threads(0)


def landscape(rec: Recorder, k: int):
    rng = np.random.default_rng(4000 + k)
    from qorin import landscape as L
    n = int(rng.integers(2, 6))
    locus = genetics.autosomal_locus(2)
    discrete_model = k % 2 == 1
    a = 2 if discrete_model else 3
    indptr, dest, weights = L.ring(n)
    bp = Blueprint(n_ages=a, new_adult_age=1, locus=locus, n_demes=n, stochastic=k % 3 != 0,
                   discrete_generation=discrete_model, migration_indptr=indptr, migration_dest_idx=dest,
                   migration_weights=weights)
    bp.initial_individual_count[:, 1:, 0] = 60.0
    p = Params(bp, locus, carrying_capacity=400.0, eggs_per_female=15.0,
               migration_rate=np.full((2, a), float(rng.uniform(0.05, 0.3))))
    ls = LandscapeSession(bp, p, seed=k)
    if k % 2 == 0:
        b = H.HookProgramBuilder.for_blueprint(bp)
        b.add_hook("early", [H.release(30.0, sex="male", ages=a - 1, ztypes=1, when=H.at(2))], demes=[0])
        ls.set_hook_program(b.build())
    tag = f"land{k}"
    rec.attempt(f"{tag}/run1", lambda: ls.run(7, int(rng.integers(1, 4))))
    rec.attempt(f"{tag}/run2", lambda: ls.run(0, 1))
    rec.attempt(f"{tag}/run3", lambda: ls.run(3, 0))
    rec.add(f"{tag}/final", (ls.state_snapshot(), [ls.counts(d) for d in range(n)]))


def everything() -> Recorder:
    rec = Recorder()
    for k in range(6):
        age_structured(rec, k)
    for k in range(6):
        discrete(rec, k)
    for k in range(4):
        for threads in (1, 2, 8):
            spatial(rec, k, 40, threads, callbacks=False)
        spatial(rec, k, 5, 0, callbacks=True)
    for k in range(4):
        landscape(rec, k)
    return rec


def save(rec: Recorder, path: str = FIXTURE) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    labels = sorted(rec.items)
    # Raw bytes, not an "S32" array: that would drop a digest's trailing zero bytes.
    digests = np.frombuffer(b"".join(rec.items[k][0] for k in labels), dtype=np.uint8).reshape(-1, 32)
    heads = np.full((len(labels), HEAD), np.nan)
    lengths = np.zeros(len(labels), dtype=np.int64)
    for i, k in enumerate(labels):
        h = rec.items[k][1]
        heads[i, : h.size] = h
        lengths[i] = h.size
    tmp = path + ".tmp.npz"
    np.savez_compressed(tmp, labels=np.array(labels), digests=digests, heads=heads, head_lengths=lengths)
    os.replace(tmp, path)


def load(path: str = FIXTURE) -> dict:
    with np.load(path) as f:
        labels = [str(x) for x in f["labels"]]
        out = {}
        for i, k in enumerate(labels):
            out[k] = (f["digests"][i].tobytes(), f["heads"][i, : int(f["head_lengths"][i])].copy())
        return out


if __name__ == "__main__":
    rec = everything()
    save(rec)
    print(f"{len(rec.items)} outcomes written to {FIXTURE} ({os.path.getsize(FIXTURE)} bytes)")
