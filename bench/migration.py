"""Time deterministic CSR migration through the engine's module function and
through a vectorized NumPy/SciPy sparse implementation of the same step, side by
side, for 10^3 to 10^5 demes on a ring graph (each deme sends to itself and its
four nearest neighbours). The two results are checked to agree to 1e-12.

A second table times the stochastic kernel (integer draws, one stream per
deme) on the same graph over a sparse state, most of whose cells hold nothing
(as after a release of a few genotypes), and a dense one.

Run from the repository root after building:  PYTHONPATH=python python bench/migration.py
(--baseline PATH also times the engine of the qorin package under PATH, built
from an older commit, in a subprocess after each of this build's rows, and
prints the ratios baseline / current).
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np
import scipy.sparse as sp

from qorin import _engine_rs as E


def best_of(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def ring_graph(D, reach=2):
    offsets = [k for k in range(-reach, reach + 1)]
    dest = ((np.arange(D)[:, None] + np.array(offsets)[None, :]) % D).ravel().astype(np.int64)
    weights = np.full(D * len(offsets), 1.0 / len(offsets))
    indptr = np.arange(0, D * len(offsets) + 1, len(offsets), dtype=np.int64)
    return indptr, dest, weights


def state(D, A, Z, rng):
    sperm = rng.integers(0, 20, size=(D, A, Z, Z)).astype(np.float64)
    ind = np.empty((D, 2, A, Z))
    ind[:, 0] = sperm.sum(axis=3) + rng.integers(0, 50, size=(D, A, Z))
    ind[:, 1] = rng.integers(0, 50, size=(D, A, Z))
    rate = rng.uniform(0.0, 0.3, size=D * 2 * A)
    return ind, sperm, rate


def sparse_state(D, A, Z, rng, present=3):
    """Only `present` genotypes (and their pairings in stored sperm) occur."""
    ind, sperm, rate = state(D, A, Z, rng)
    keep = np.zeros(Z, dtype=bool)
    keep[rng.choice(Z, size=min(present, Z), replace=False)] = True
    sperm *= keep[None, None, :, None] & keep[None, None, None, :]
    ind[:, 0] = sperm.sum(axis=3) + rng.integers(0, 50, size=(D, A, Z)) * keep
    ind[:, 1] *= keep
    return ind, sperm, rate


def engine_times(repeats, A, Z, demes):
    """Seconds of the engine's deterministic and stochastic kernels per row
    (the same states for every build: a fixed seed)."""
    rng = np.random.default_rng(1)
    out = {}
    for D in demes:
        indptr, dest, weights = ring_graph(D)
        ind, sperm, rate = state(D, A, Z, rng)
        out[f"det {D}"] = best_of(lambda: E.migrate_csr_deterministic(ind, sperm, indptr, dest, weights, rate,
                                                                       False), repeats)
        out[f"dense {D}"] = best_of(lambda: E.migrate_csr_stochastic(ind, sperm, indptr, dest, weights, rate, 3,
                                                                      False), repeats)
        ind, sperm, rate = sparse_state(D, A, Z, rng)
        out[f"sparse {D}"] = best_of(lambda: E.migrate_csr_stochastic(ind, sperm, indptr, dest, weights, rate, 3,
                                                                       False), repeats)
    return out


def baseline_times(path, repeats, A, Z, demes):
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(path).resolve()))
    cmd = [sys.executable, __file__, "--engine-json", "--repeats", str(repeats), "--ages", str(A), "--ztypes", str(Z),
           "--demes", *map(str, demes)]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def sparse_migration(P_T, rowsum, ind, sperm, rate):
    """The deterministic step with a sparse transpose: each unit keeps
    x - (r x) * rowsum and receives P^T (r x)."""
    D, _, A, Z = ind.shape
    r = rate.reshape(D, 2, A)
    u = ind[:, 0] - sperm.sum(axis=3)
    u[(np.abs(u) < 1e-9) & (u < 0)] = 0.0
    keep = rowsum[:, None]

    def move(x, r_unit):
        m = (r_unit * x).reshape(D, -1)
        return (x.reshape(D, -1) - m * keep + P_T @ m).reshape(x.shape)

    out_u = move(u, r[:, 0, :, None])
    out_s = move(sperm, r[:, 0, :, None, None])
    out = np.empty_like(ind)
    out[:, 0] = out_u + out_s.sum(axis=3)
    out[:, 1] = move(ind[:, 1], r[:, 1, :, None])
    return out, out_s


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeats", type=int, default=5, help="best of this many runs per row")
    ap.add_argument("--ages", type=int, default=4)
    ap.add_argument("--ztypes", type=int, default=3)
    ap.add_argument("--demes", type=int, nargs="+", default=[10**3, 10**4, 10**5])
    ap.add_argument("--baseline", help="directory holding an older build's qorin package")
    ap.add_argument("--engine-json", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    A, Z = args.ages, args.ztypes
    if args.engine_json:
        print(json.dumps(engine_times(args.repeats, A, Z, args.demes)))
        return
    rng = np.random.default_rng(1)
    print(f"deterministic migration, ring graph (5 entries per row), A={A}, Z={Z}, best of {args.repeats}")
    print(f"{'demes':>8}{'engine ms':>11}{'scipy ms':>11}{'ratio':>8}")
    for D in args.demes:
        indptr, dest, weights = ring_graph(D)
        ind, sperm, rate = state(D, A, Z, rng)
        P_T = sp.csr_matrix((weights, dest, indptr), shape=(D, D)).T.tocsr()
        rowsum = np.asarray(sp.csr_matrix((weights, dest, indptr), shape=(D, D)).sum(axis=1)).ravel()

        e_ind, e_sperm = E.migrate_csr_deterministic(ind, sperm, indptr, dest, weights, rate, False)
        s_ind, s_sperm = sparse_migration(P_T, rowsum, ind, sperm, rate)
        np.testing.assert_allclose(e_ind, s_ind, rtol=1e-12, atol=1e-9)
        np.testing.assert_allclose(e_sperm, s_sperm, rtol=1e-12, atol=1e-9)

        te = best_of(lambda: E.migrate_csr_deterministic(ind, sperm, indptr, dest, weights, rate, False),
                     args.repeats)
        ts = best_of(lambda: sparse_migration(P_T, rowsum, ind, sperm, rate), args.repeats)
        print(f"{D:>8}{te * 1e3:>11.2f}{ts * 1e3:>11.2f}{te / ts:>8.2f}")

    print("engine kernels, ms (stochastic: integer draws; sparse: 3 genotypes present)"
          + (f"; base = {args.baseline}, ratio = base / current, rows measured alternately" if args.baseline else ""))
    kinds = ("det", "dense", "sparse")
    print(f"{'demes':>8}" + "".join(f"{k:>10}" + (f"{'base':>9}{'ratio':>7}" if args.baseline else "")
                                     for k in kinds))
    for D in args.demes:
        cur = engine_times(args.repeats, A, Z, [D])
        base = baseline_times(args.baseline, args.repeats, A, Z, [D]) if args.baseline else None
        line = f"{D:>8}"
        for k in kinds:
            key = f"{k} {D}"
            line += f"{cur[key] * 1e3:>10.2f}"
            if base:
                line += f"{base[key] * 1e3:>9.2f}{base[key] / cur[key]:>7.2f}"
        print(line)


if __name__ == "__main__":
    main()
