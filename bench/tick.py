"""Ticks per second of EngineSession against a vectorized NumPy tick.

Three models, each run for 1000 ticks in deterministic and in stochastic mode
with one tick() call per tick. The NumPy implementation of the deterministic
tick (bench/numpy_model.py) runs beside it in the same process and must agree
with the engine to 1e-12 relative.

    PYTHONPATH=python python bench/tick.py [n_ticks]
"""

import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from numpy_model import NumpyTick  # noqa: E402

from qorin import _engine_rs, genetics  # noqa: E402
from qorin.contracts import Blueprint, Params  # noqa: E402


def build(locus, n_ages, stochastic):
    bp = Blueprint(n_ages=n_ages, new_adult_age=2, locus=locus, stochastic=stochastic)
    z = locus.n_ztypes
    rng = np.random.default_rng(1)
    bp.initial_individual_count[:, 1:, :] = rng.integers(20, 80, (2, n_ages - 1, z)).astype(float)
    surv = np.linspace(0.9, 0.6, n_ages)
    params = Params(bp, locus, growth_mode=3, carrying_capacity=5000.0, eggs_per_female=20.0,
                    survival_rates=np.stack([surv, surv]), sperm_displacement_rate=0.5,
                    fecundity_fitness=rng.uniform(0.8, 1.2, (2, z)))
    return bp, params


def best_of(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    n_ticks = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    models = [
        ("(a) 1 locus, 2 alleles (Z=3, A=5)", genetics.autosomal_locus(2), 5),
        ("(b) 1 locus, 4 alleles (Z=10, A=8)", genetics.autosomal_locus(4), 8),
        ("(c) 2 loci, 3 alleles (Z=36, A=10)",
         genetics.combine(genetics.autosomal_locus(3), genetics.autosomal_locus(3)), 10),
    ]
    print(f"{n_ticks} ticks per run, best of 3")
    print(f"{'model':38} {'mode':13} {'engine t/s':>12} {'numpy t/s':>11} {'ratio':>8}")
    for name, locus, n_ages in models:
        # Deterministic: engine vs NumPy, checked to agree.
        bp, params = build(locus, n_ages, stochastic=False)
        eq = _engine_rs.equilibrium_metrics(bp, params)

        def run_engine():
            s = _engine_rs.EngineSession(bp, params)
            for _ in range(n_ticks):
                s.tick(0)
            run_engine.session = s

        def run_numpy():
            m = NumpyTick(bp, params, eq)
            ind = np.array(bp.initial_individual_count, float).reshape(2, n_ages, -1)
            sperm = np.zeros((n_ages, locus.n_ztypes, locus.n_ztypes))
            for _ in range(n_ticks):
                m.tick(ind, sperm)
            run_numpy.state = (ind, sperm)

        t_engine = best_of(run_engine)
        t_numpy = best_of(run_numpy)
        _, ind, sperm = run_engine.session.state_snapshot()
        np.testing.assert_allclose(ind, run_numpy.state[0].ravel(), rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(sperm, run_numpy.state[1].ravel(), rtol=1e-12, atol=1e-12)
        print(f"{name:38} {'deterministic':13} {n_ticks / t_engine:12.0f} {n_ticks / t_numpy:11.0f} "
              f"{t_numpy / t_engine:7.1f}x")

        bp_s, params_s = build(locus, n_ages, stochastic=True)

        def run_stochastic():
            s = _engine_rs.EngineSession(bp_s, params_s, seed=5)
            for _ in range(n_ticks):
                s.tick(0)

        t_stoch = best_of(run_stochastic)
        print(f"{name:38} {'stochastic':13} {n_ticks / t_stoch:12.0f} {'':>11} {'':>8}")

    # Per-tick cost of the Python call itself, measured on a method that does no work.
    s = _engine_rs.EngineSession(*build(models[0][1], 5, False))
    t_call = best_of(lambda: [s.current_tick() for _ in range(n_ticks)])
    print(f"Python call overhead per tick: {t_call / n_ticks * 1e6:.2f} us")


if __name__ == "__main__":
    main()
