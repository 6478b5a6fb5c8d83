"""Cost of a deme-tick inside a landscape against a single-population tick of
the same model: a split drive (30 genotypes, 8 ages) on a ring of 100 sites
with 5% emigration per tick, stochastic and deterministic, one worker thread.

For each mode it prints the CPU time of one single-population tick
(EngineSession.run), of one deme-tick of the landscape (a spatial tick over
the 100 demes, divided by 100), both over ticks 10 onwards of a release of
drive males into a wild-type population, of one deme-tick with migration switched off
(every rate 0: the lifecycle alone), the migration's share of the landscape
tick, and the landscape/single ratio. A last line gives the stochastic
landscape drawn by the aggregated sampler of the newborns (sampling=
"aggregated": the same distribution, other draws), against the exact one.

    PYTHONPATH=python python bench/split_drive.py [--rounds 3] [--baseline PATH]

--baseline PATH measures the same figures with the qorin package under PATH
(built from an older commit) first on sys.path, in subprocesses alternating
with the current build's round by round (so that load on the machine falls on
both alike), and prints the ratios baseline / current. Each figure is the best
of its rounds.
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

from sidebyside import best_of_rounds

SITES = 100
A = 8
RATE = 0.05
GENETICS = ("viability_fitness", "fecundity_fitness", "sexual_selection_fitness", "zygote_viability_fitness",
            "offspring_tensor", "meiosis_map", "female_ztype_compatibility", "male_ztype_compatibility")
WARM = 10  # ticks before timing: the drive's genotypes appear
SINGLES = 10  # single-population runs timed (different seeds and starting counts)


def model(stochastic, n_demes=1, sampling="exact"):
    from qorin import genetics
    from qorin.contracts import Blueprint, Params

    locus = genetics.split_drive(cutting=0.9, homing=0.9)
    extra = {}
    if n_demes > 1:
        d = np.arange(n_demes)
        extra = dict(migration_indptr=np.arange(0, 2 * n_demes + 1, 2, dtype=np.int64),
                     migration_dest_idx=np.stack([(d - 1) % n_demes, (d + 1) % n_demes], axis=1).ravel(),
                     migration_weights=np.full(2 * n_demes, 0.5))
    if sampling != "exact":
        extra["sampling"] = sampling
    bp = Blueprint(A, 2, locus, n_demes=n_demes, stochastic=stochastic, **extra)
    z = locus.n_ztypes
    surv = np.linspace(0.9, 0.6, A)
    params = Params(bp, locus, growth_mode=3, carrying_capacity=5000.0, eggs_per_female=20.0,
                    survival_rates=np.stack([surv, surv]), sperm_displacement_rate=0.5)
    return bp, params, locus, z


def initial(z, rng):
    """A wild-type population (W/W;w/w, 20 to 80 per sex and age) with a release
    of D/D;C/C males, a quarter of the adult males, at the first adult age."""
    counts = np.zeros((2, A, z))
    counts[:, 1:, 0] = rng.integers(20, 80, (2, A - 1)).astype(float)
    counts[1, 2, 14] = np.round(0.25 * counts[1, 2:, 0].sum())
    return counts


def single_session(stochastic, seed):
    from qorin import _engine_rs

    bp, params, _, z = model(stochastic)
    bp.initial_individual_count[...] = initial(z, np.random.default_rng(seed))
    return _engine_rs.EngineSession(bp, params, seed=seed)


def landscape_session(stochastic, rate, sampling="exact"):
    from qorin import _engine_testing as T

    n = SITES
    bp, p, _, z = model(stochastic, n, sampling)
    cols = {"carrying_capacity": np.full(n, 5000.0), "eggs_per_female": np.full(n, 20.0),
            "sex_ratio": np.full(n, 0.5), "sperm_displacement_rate": np.full(n, 0.5),
            "low_density_growth_rate": np.full(n, float(p.low_density_growth_rate)),
            "growth_mode": np.full(n, 3, dtype=np.int64),
            "survival_rates": np.tile(p.survival_rates.ravel(), n), "mating_rates": np.tile(p.mating_rates.ravel(), n),
            "reproduction_rates": np.tile(p.reproduction_rates, n), "fertility": np.tile(p.fertility, n),
            "competition_weights": np.tile(p.competition_weights, n), "migration_rate": np.full(n * 2 * A, rate)}
    bank = [{k: np.asarray(getattr(p, k), dtype=np.float64).ravel().copy() for k in GENETICS}]
    rng = np.random.default_rng(1)
    ind = np.stack([initial(z, rng) for _ in range(n)])
    sperm = np.zeros((n, A, z, z))
    return T.HeterogeneousSpatialEngineSession(bp, cols, bank, np.zeros(n, dtype=np.int64), ind, sperm, 0, seed=5)


def cpu(fn):
    t0 = time.process_time()
    fn()
    return time.process_time() - t0


def aggregated_sampler():
    """Whether this build has the aggregated sampler (an older one may not)."""
    import inspect

    from qorin.contracts import Blueprint

    return "sampling" in inspect.signature(Blueprint).parameters


def figures(ticks):
    """Microseconds of CPU per single-population tick and per deme-tick, over
    the same ticks (WARM to WARM + ticks) of runs from like starting states."""
    from qorin import _engine_testing as T

    T.set_worker_threads(1)
    out = {}
    for stochastic in (True, False):
        mode = "stochastic" if stochastic else "deterministic"
        total = 0.0
        for seed in range(SINGLES):
            s = single_session(stochastic, seed + 1)
            s.run(WARM, 0)
            total += cpu(lambda: s.run(ticks, 0))
        out[f"{mode} single"] = total / (SINGLES * ticks) * 1e6
        cases = [("deme", RATE, "exact"), ("deme_no_migration", 0.0, "exact")]
        if stochastic and aggregated_sampler():
            cases.append(("deme_aggregated", RATE, "aggregated"))
        for key, rate, sampling in cases:
            s = landscape_session(stochastic, rate, sampling)
            for _ in range(WARM):
                s.run_tick()

            def run():
                for _ in range(ticks):
                    s.run_tick()

            out[f"{mode} {key}"] = cpu(run) / (ticks * SITES) * 1e6
    return out


def measure(path, ticks):
    """The figures of the qorin package under `path` (None: this checkout's), in a subprocess."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    if path is not None:
        env["PYTHONPATH"] = str(pathlib.Path(path).resolve())
    out = subprocess.run([sys.executable, __file__, "--figures-json", str(ticks)], env=env, capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=3, help="best of this many rounds per figure")
    ap.add_argument("--ticks", type=int, default=10, help="landscape ticks per round")
    ap.add_argument("--baseline", help="directory holding an older build's qorin package")
    ap.add_argument("--figures-json", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.figures_json:
        print(json.dumps(figures(args.figures_json)))
        return
    current, base = best_of_rounds(args.rounds, args.baseline, lambda path: measure(path, args.ticks))
    print(f"split drive, {SITES} sites on a ring, {RATE:.0%} emigration, A={A}; CPU us, best of {args.rounds}")
    head = f"{'mode':>13} {'single tick':>11} {'deme-tick':>10} {'no migr.':>9} {'migr. share':>11} {'deme/single':>11}"
    if base:
        head += f" {'base deme-tick':>14} {'base/cur':>8} {'base single':>11} {'base/cur':>8}"
    print(head)
    for mode in ("stochastic", "deterministic"):
        single, deme, bare = (current[f"{mode} {k}"] for k in ("single", "deme", "deme_no_migration"))
        line = (f"{mode:>13} {single:>11.1f} {deme:>10.1f} {bare:>9.1f} {max(0.0, 1 - bare / deme):>11.0%} "
                f"{deme / single:>11.2f}")
        if base:
            b_deme, b_single = base[f"{mode} deme"], base[f"{mode} single"]
            line += f" {b_deme:>14.1f} {b_deme / deme:>8.2f} {b_single:>11.1f} {b_single / single:>8.2f}"
        print(line)
    if "stochastic deme_aggregated" in current:
        agg, exact = current["stochastic deme_aggregated"], current["stochastic deme"]
        line = (f"aggregated sampler, stochastic deme-tick {agg:.1f} us: exact/aggregated {exact / agg:.2f}, "
                f"aggregated deme/single {agg / current['stochastic single']:.2f}")
        if base:
            line += f", base deme-tick/aggregated {base['stochastic deme'] / agg:.2f}"
        print(line)


if __name__ == "__main__":
    main()
