"""Landscapes of sites: building them, and running them against a plain ring.

1. Building: random sites at density 1 per unit area with an exponential
   kernel (scale 0.3, truncated at a tail share of 1e-3), for 1,000, 10,000 and
   100,000 sites: wall time, peak Python heap (tracemalloc) and links per site.
2. Running: the per deme-tick cost of a heterogeneous landscape (every site its
   own carrying capacity, a seasonal carrying capacity that changes every
   tick, equilibrium start, kernel graph, sites in ``spatial_order``; also in
   the random order they were drawn in) against a homogeneous ring
   (LandscapeSession) with the same number of sites and the same number of
   links per site, deterministic, and the share of a tick spent writing the
   schedule (goal for the ratio: at most 1.2x). One worker thread, CPU time.

Run from the repository root after building:  PYTHONPATH=python python bench/landscape.py
(--sites 1000 10000 for fewer sizes; --run-sites for the running comparison; --ticks).
"""
import argparse
import time
import tracemalloc

import numpy as np

import qorin
from qorin import dispersal as D
from qorin import genetics
from qorin import landscape as L
from qorin import _engine_testing as T


def sites(n, seed=0):
    rng = np.random.default_rng(seed)
    side = np.sqrt(n)
    return rng.uniform(0, side, n), rng.uniform(0, side, n)


def bench_build(n):
    x, y = sites(n)
    tracemalloc.start()
    t = time.perf_counter()
    land = qorin.Landscape(x, y, dispersal=D.exponential(0.3, tail=1e-3))
    took = time.perf_counter() - t
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return took, peak, land.graph.edges_per_site


def ring_graph(n, k):
    """Each site sends to its k nearest ring neighbours (k/2 on each side), equal shares."""
    half = max(1, k // 2)
    offsets = np.concatenate([np.arange(1, half + 1), -np.arange(1, half + 1)])
    dest = (np.arange(n)[:, None] + offsets[None]) % n
    dest.sort(axis=1)
    indptr = np.arange(0, n * len(offsets) + 1, len(offsets), dtype=np.int64)
    return indptr, dest.ravel().astype(np.int64), np.full(dest.size, 1.0 / len(offsets))


def model():
    locus = genetics.homing_drive(cutting=0.95, homing=0.9, drive_cost=0.1)
    bp = qorin.Blueprint(4, 1, locus)
    bp.initial_individual_count[:, 1:, 0] = 100.0
    p = qorin.Params(bp, carrying_capacity=300.0, eggs_per_female=20.0, low_density_growth_rate=4.0,
                     survival_rates=np.full((2, 4), 0.8), migration_rate=np.full((2, 4), 0.05))
    return bp, p


def bench_run(n, ticks):
    bp, p = model()
    x, y = sites(n, 1)
    rng = np.random.default_rng(2)
    profile = 1.0 + 0.4 * np.sin(2 * np.pi * np.arange(52) / 52)  # changes every tick
    land = qorin.Landscape(x, y, dispersal=D.exponential(0.3, tail=1e-3), emigration=0.05,
                           start="equilibrium",
                           site_params={"carrying_capacity": rng.uniform(100, 500, n)},
                           schedules=[qorin.seasonal("carrying_capacity", profile)])
    k = int(round(land.graph.edges_per_site))
    indptr, dest, w = ring_graph(n, k)
    rbp = qorin.Blueprint(4, 1, bp.locus, n_demes=n, migration_indptr=indptr, migration_dest_idx=dest,
                          migration_weights=w, initial_individual_count=bp.initial_individual_count)
    ring = L.LandscapeSession(rbp, p, 1)
    shuffled = land.session(bp, p, 1)
    ordered = land.spatial_order()
    hetero = ordered.session(bp, p, 1)
    unscheduled = ordered.replace(schedules=()).session(bp, p, 1)
    # measured side by side, best of three rounds each
    sessions = (ring, shuffled, hetero, unscheduled)
    for s in sessions:
        s.run(2, 0)
    # one worker thread and CPU time: the ratios hold on a busy machine too
    T.set_worker_threads(1)
    best = [float("inf")] * len(sessions)
    try:
        for _ in range(3):
            for i, s in enumerate(sessions):
                t = time.process_time()
                s.run(ticks, 0)
                best[i] = min(best[i], time.process_time() - t)
    finally:
        T.set_worker_threads(0)
    ring_s, shuffled_s, het_s, plain_s = best
    # the schedule's own share: the same landscape with and without its season
    write_s = max(0.0, het_s - plain_s)
    per = ticks * n
    return ring_s / per, shuffled_s / per, het_s / per, write_s / het_s, k


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sites", type=int, nargs="+", default=[1000, 10_000, 100_000])
    ap.add_argument("--run-sites", type=int, nargs="+", default=[1000, 10_000])
    ap.add_argument("--ticks", type=int, default=20)
    args = ap.parse_args(argv)
    import scipy.spatial  # noqa: F401  (imported before the clock starts)

    print("building (exponential kernel, scale 0.3, tail 1e-3, density 1 site per unit area)")
    print(f"{'sites':>8} {'seconds':>9} {'peak MB':>9} {'links/site':>11}")
    for n in args.sites:
        took, peak, eps = bench_build(n)
        print(f"{n:>8} {took:>9.3f} {peak / 1e6:>9.1f} {eps:>11.1f}")
    print("\nrunning, deterministic, per deme-tick (heterogeneous landscape with a seasonal K "
          "changing every tick vs a homogeneous ring with as many links)")
    print("(landscape: sites in spatial_order(); unordered: the random order they were drawn in)")
    print(f"{'sites':>8} {'links':>6} {'ring us':>9} {'unordered us':>13} {'landscape us':>13} {'ratio':>6} "
          f"{'schedule share':>15}")
    for n in args.run_sites:
        ring_us, shuffled_us, het_us, share, k = bench_run(n, args.ticks)
        print(f"{n:>8} {k:>6} {ring_us * 1e6:>9.2f} {shuffled_us * 1e6:>13.2f} {het_us * 1e6:>13.2f} "
              f"{het_us / ring_us:>6.2f} {share:>14.1%}")


if __name__ == "__main__":
    main()
