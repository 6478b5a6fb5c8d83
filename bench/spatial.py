"""Spatial session throughput: ticks per second and deme-ticks per second for 10,
1000 and 100000 demes of a Z = 10, A = 8 model (a homing drive locus, ten
genotypes) on a ring-plus-random sparse graph, deterministic and stochastic, with
1 and 2 worker threads (the speed-up), against a streaming-triad memory-bandwidth
figure measured in the same run over arrays of the stacked state's size ("x
bound": how many times longer a tick takes than moving the state twice at that
bandwidth). Each deme count runs in a fresh process, whose peak resident memory
is reported beside the stacked state size.

Run from the repository root after building:  PYTHONPATH=python python bench/spatial.py
(--demes 10 1000 to skip the largest case; --ticks scales the tick counts; --extra 0
for a plain ring, whose demes are read in order, against the default two random
sources per deme, whose blocks are read cold; --baseline PATH also runs each
deme count with the qorin package under PATH, built from an older commit,
right after this build's run, and adds the ratio of its seconds per tick to
this build's).
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

from qorin import _engine_testing as T
from qorin import genetics
from qorin.contracts import Blueprint, Params

A = 8
GENETICS = ("viability_fitness", "fecundity_fitness", "sexual_selection_fitness", "zygote_viability_fitness",
            "offspring_tensor", "meiosis_map", "female_ztype_compatibility", "male_ztype_compatibility")


def graph(n, rng, extra=2):
    """Each deme sends to its two ring neighbours and to `extra` random demes."""
    rows = []
    for d in range(n):
        dest = {(d + 1) % n, (d - 1) % n}
        if n > 3:
            dest.update(int(x) for x in rng.integers(0, n, size=extra))
        dest.discard(d) if n > 1 else None
        rows.append(sorted(dest))
    indptr = np.cumsum([0] + [len(r) for r in rows]).astype(np.int64)
    dest = np.array([x for r in rows for x in r], dtype=np.int64)
    weights = np.concatenate([np.full(len(r), 1.0 / len(r)) for r in rows]) if rows else np.zeros(0)
    return indptr, dest, weights


def build(n, stochastic, seed=1, extra=2):
    locus = genetics.homing_drive(cutting=0.9, homing=0.9)
    rng = np.random.default_rng(seed)
    indptr, dest, weights = graph(n, rng, extra)
    bp = Blueprint(A, 2, locus, n_demes=n, stochastic=stochastic, migration_indptr=indptr,
                   migration_dest_idx=dest, migration_weights=weights)
    p = Params(bp, locus, carrying_capacity=500.0, eggs_per_female=20.0, low_density_growth_rate=4.0,
               survival_rates=np.full((2, A), 0.8))
    Z = bp.n_ztypes
    cols = {"carrying_capacity": np.full(n, 500.0), "eggs_per_female": np.full(n, 20.0),
            "sex_ratio": np.full(n, 0.5), "sperm_displacement_rate": np.full(n, 1.0),
            "low_density_growth_rate": np.full(n, 4.0), "growth_mode": np.full(n, 3, dtype=np.int64),
            "survival_rates": np.tile(p.survival_rates.ravel(), n), "mating_rates": np.tile(p.mating_rates.ravel(), n),
            "reproduction_rates": np.tile(p.reproduction_rates, n), "fertility": np.tile(p.fertility, n),
            "competition_weights": np.tile(p.competition_weights, n), "migration_rate": np.full(n * 2 * A, 0.05)}
    bank = [{k: np.asarray(getattr(p, k), dtype=np.float64).ravel().copy() for k in GENETICS}]
    ind = np.zeros((n, 2, A, Z))
    ind[:, :, 2:, :] = rng.integers(0, 10, size=(n, 2, A - 2, Z))
    sperm = np.zeros((n, A, Z, Z))
    s = T.HeterogeneousSpatialEngineSession(bp, cols, bank, np.zeros(n, dtype=np.int64), ind, sperm, 0, seed=seed)
    del ind, sperm, cols
    return s, (2 * A * Z + A * Z * Z) * n * 8


def triad_bandwidth(n_bytes, repeats=3):
    """Bytes per second of a = b + 3 c over arrays of n_bytes each (3 arrays moved)."""
    n = max(1, n_bytes // 8)
    b, c = np.ones(n), np.full(n, 2.0)
    a = np.empty(n)
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        np.multiply(c, 3.0, out=a)
        np.add(a, b, out=a)
        best = min(best, time.perf_counter() - t0)
    # multiply reads c, writes a; add reads a and b, writes a: 5 array passes
    return 5 * n * 8 / best


def time_ticks(s, ticks, blocks=3):
    """Seconds per tick: the best of `blocks` blocks of ticks (another process
    taking a core for a moment spoils one block, not the figure)."""
    s.run_tick()  # warm-up: buffers, worker threads
    per_block = max(1, ticks // blocks)
    best = float("inf")
    for _ in range(blocks):
        t0 = time.perf_counter()
        for _ in range(per_block):
            s.run_tick()
        best = min(best, (time.perf_counter() - t0) / per_block)
    return best


def rss_bytes():
    """Resident memory of this process now."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def child(n, ticks, extra):
    """Times one deme count in a fresh process and reports its peak memory, so
    that neither other cases nor the triad's arrays count towards it."""
    baseline = rss_bytes()
    out = {"baseline": baseline, "ticks": ticks}
    for stochastic in (False, True):
        for threads in (1, 2):
            T.set_worker_threads(threads)
            s, out["state_bytes"] = build(n, stochastic, extra=extra)
            out[f"{int(stochastic)}{threads}"] = time_ticks(s, ticks)
            del s
    out["peak"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps(out))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--demes", type=int, nargs="+", default=[10, 1000, 100000])
    ap.add_argument("--ticks", type=float, default=1.0, help="scale the number of timed ticks")
    ap.add_argument("--extra", type=int, default=2,
                    help="random destinations per deme besides its two ring neighbours (0: a ring)")
    ap.add_argument("--baseline", help="directory holding an older build's qorin package")
    ap.add_argument("--child", type=int, nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(*args.child)
        return
    print(f"{'demes':>7} {'mode':>13} {'thr':>3} {'ticks/s':>10} {'deme-ticks/s':>13} {'speed-up':>8} "
          f"{'state GB/s':>10} {'triad GB/s':>10} {'x bound':>7}" + (f" {'base/cur':>8}" if args.baseline else ""))
    for n in args.demes:
        ticks = max(2, int(args.ticks * {10: 2000, 1000: 40}.get(n, 3)))
        # NumPy's BLAS threads would spin beside the engine's workers after the set-up.
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
        cmd = [sys.executable, __file__, "--child", str(n), str(ticks), str(args.extra)]
        res = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True, env=env).stdout)
        base = None
        if args.baseline:
            env_base = dict(env, PYTHONPATH=os.path.abspath(args.baseline))
            base = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True, env=env_base).stdout)
        state_bytes = res["state_bytes"]
        triad = triad_bandwidth(state_bytes)
        for stochastic in (False, True):
            one = res[f"{int(stochastic)}1"]
            for threads in (1, 2):
                dt = res[f"{int(stochastic)}{threads}"]
                mode = "stochastic" if stochastic else "deterministic"
                # each tick reads and writes the stacked state at least once
                achieved = 2 * state_bytes / dt
                print(f"{n:>7} {mode:>13} {threads:>3} {1 / dt:>10.1f} {n / dt:>13.0f} {one / dt:>8.2f} "
                      f"{achieved / 1e9:>10.2f} {triad / 1e9:>10.2f} {triad / achieved:>7.1f}"
                      + (f" {base[f'{int(stochastic)}{threads}'] / dt:>8.2f}" if base else ""))
        peak, base = res["peak"], res["baseline"]
        print(f"{n:>7} stacked state {state_bytes / 1e6:.1f} MB; peak resident memory {peak / 1e6:.1f} MB "
              f"({(peak - base) / state_bytes:.2f}x the state above the interpreter's "
              f"{base / 1e6:.0f} MB; {peak / state_bytes:.2f}x in all)")


if __name__ == "__main__":
    main()
