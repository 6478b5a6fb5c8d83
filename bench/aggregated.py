"""The aggregated sampler of the newborns against the exact sampler, side by
side in one build: CPU time per stochastic tick inside run(N, 0) of the same
model with Blueprint(sampling="exact") and sampling="aggregated", and the
ratio exact / aggregated.

Models: the neutral per-tick models of bench/tick.py (10 genotypes with 16
ages, 36 genotypes with 10 ages; remating at rate 0.5), the same without
remating, and discrete generations of 10 and 36 genotypes.

    PYTHONPATH=python python bench/aggregated.py [n_ticks]
"""

import sys
import time

import numpy as np

from qorin import _engine_rs, genetics
from qorin.contracts import Blueprint, Params


def overlapping(locus, n_ages, sampling, displacement=0.5):
    bp = Blueprint(n_ages=n_ages, new_adult_age=2, locus=locus, stochastic=True, sampling=sampling)
    z = locus.n_ztypes
    rng = np.random.default_rng(1)
    bp.initial_individual_count[:, 1:, :] = rng.integers(20, 80, (2, n_ages - 1, z)).astype(float)
    surv = np.linspace(0.9, 0.6, n_ages)
    params = Params(bp, locus, growth_mode=3, carrying_capacity=5000.0, eggs_per_female=20.0,
                    survival_rates=np.stack([surv, surv]), sperm_displacement_rate=displacement)
    return lambda: _engine_rs.EngineSession(bp, params, seed=5)


def discrete(locus, sampling):
    bp = Blueprint(2, 1, locus, generations="discrete", stochastic=True, sampling=sampling)
    z = locus.n_ztypes
    rng = np.random.default_rng(1)
    bp.initial_individual_count[:, 1, :] = rng.integers(20, 80, (2, z)).astype(float)
    params = Params(bp, locus, growth_mode=1, carrying_capacity=20.0 * z, eggs_per_female=20.0)

    class Discrete:
        def __init__(self):
            self.s = _engine_rs.DiscreteEngineSession(bp, params, 5)

        def run(self, n, interval):
            return self.s.run(n, interval, False)

    return Discrete


def cpu_per_tick(make, n_ticks, repeat=3):
    """Best CPU time per tick (microseconds) of run(n_ticks, 0) on a fresh session."""
    best = float("inf")
    for _ in range(repeat):
        s = make()
        s.run(2, 0)  # warm the work buffers
        t0 = time.process_time()
        s.run(n_ticks, 0)
        best = min(best, time.process_time() - t0)
    return best / n_ticks * 1e6


def models():
    ten, thirty_six = genetics.autosomal_locus(4), genetics.combine(genetics.autosomal_locus(3),
                                                                     genetics.autosomal_locus(3))
    return [
        ("overlapping Z=10, A=16", lambda s: overlapping(ten, 16, s)),
        ("overlapping Z=36, A=10", lambda s: overlapping(thirty_six, 10, s)),
        ("overlapping Z=10, A=16, no remating", lambda s: overlapping(ten, 16, s, 0.0)),
        ("overlapping Z=36, A=10, no remating", lambda s: overlapping(thirty_six, 10, s, 0.0)),
        ("discrete Z=10", lambda s: discrete(ten, s)),
        ("discrete Z=36", lambda s: discrete(thirty_six, s)),
    ]


def main(argv):
    n_ticks = int(argv[1]) if len(argv) > 1 else 200
    print(f"CPU time per stochastic tick (us), best of 3 runs of {n_ticks} ticks")
    print(f"{'model':40s} {'exact':>10s} {'aggregated':>11s} {'ratio':>7s}")
    for name, make in models():
        exact = cpu_per_tick(make("exact"), n_ticks)
        aggregated = cpu_per_tick(make("aggregated"), n_ticks)
        print(f"{name:40s} {exact:10.1f} {aggregated:11.1f} {exact / aggregated:7.2f}")


if __name__ == "__main__":
    main(sys.argv)
