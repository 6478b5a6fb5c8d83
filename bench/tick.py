"""Ticks per second of EngineSession against a vectorized NumPy tick.

Three models, each run for 1000 ticks in deterministic and in stochastic mode
with one tick() call per tick. The NumPy implementation of the deterministic
tick (tests/numpy_model.py, a reference model of the tests) runs beside it in the same process and must agree
with the engine to 1e-12 relative.

A second table gives the CPU time per tick inside run(N, 0) for three models
with neutral fecundity (every genotype persists) in the three execution modes,
beside the same figures with the engine forced onto its straightforward dense
paths (the internal test module's switch), and the cost of recording every
tick relative to a run without recording.

    PYTHONPATH=python python bench/tick.py [n_ticks] [--per-tick-only] [--baseline PATH]

--baseline PATH measures the per-tick table once more in a subprocess with
the qorin package under PATH (built from an older commit) first on sys.path,
and prints its figures beside the current ones with the ratios baseline/fast.
"""

import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
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


def build_neutral(locus, n_ages, mode, session_type):
    stochastic = mode != "deterministic"
    bp = Blueprint(n_ages=n_ages, new_adult_age=2, locus=locus, stochastic=stochastic,
                   continuous_sampling=mode == "continuous")
    z = locus.n_ztypes
    rng = np.random.default_rng(1)
    bp.initial_individual_count[:, 1:, :] = rng.integers(20, 80, (2, n_ages - 1, z)).astype(float)
    surv = np.linspace(0.9, 0.6, n_ages)
    params = Params(bp, locus, growth_mode=3, carrying_capacity=5000.0, eggs_per_female=20.0,
                    survival_rates=np.stack([surv, surv]), sperm_displacement_rate=0.5)
    return session_type(bp, params, seed=5)


def cpu_per_tick(make, n_ticks, record_interval=0, repeat=3):
    """Best CPU time per tick (microseconds) of run(n_ticks, record_interval) on a fresh session."""
    best = float("inf")
    for _ in range(repeat):
        s = make()
        s.run(2, 0)  # warm the work buffers
        t0 = time.process_time()
        s.run(n_ticks, record_interval)
        best = min(best, time.process_time() - t0)
    return best / n_ticks * 1e6


PER_TICK_MODES = ("deterministic", "stochastic", "continuous")


def per_tick_models():
    return [
        ("Z=3, A=16", genetics.autosomal_locus(2), 16),
        ("Z=10, A=16", genetics.autosomal_locus(4), 16),
        ("Z=36, A=10", genetics.combine(genetics.autosomal_locus(3), genetics.autosomal_locus(3)), 10),
    ]


def per_tick_figures(n_ticks, with_reference=True, tolerant=False):
    """{model: {mode: (fast, reference or None), "record": ratio}} for the per-tick table.

    Works with any qorin package first on sys.path, including older builds: the
    reference column is left out when the internal test module or its switch
    is missing, and with `tolerant` a model or mode the build cannot run is
    left out instead of failing.
    """
    testing = reference_type = None
    if with_reference:
        try:
            from qorin import _engine_testing as testing
            reference_type = getattr(testing, "EngineSession", None)
            if not hasattr(testing, "set_reference_paths"):
                reference_type = None
        except ImportError:
            testing = None
    figures = {}
    session_type = getattr(_engine_rs, "EngineSession", None)
    for name, locus, n_ages in per_tick_models():
        row = {}
        n = max(20, n_ticks // max(1, locus.n_ztypes // 3))
        for mode in PER_TICK_MODES:
            n_mode = n if mode == "deterministic" else max(10, n // 10)
            try:
                fast = cpu_per_tick(lambda: build_neutral(locus, n_ages, mode, session_type), n_mode)
            except Exception:  # an older build without this model or mode: no figure
                if not tolerant:
                    raise
                continue
            ref = None
            if reference_type is not None:
                testing.set_reference_paths(True)
                try:
                    ref = cpu_per_tick(lambda: build_neutral(locus, n_ages, mode, reference_type), n_mode)
                finally:
                    testing.set_reference_paths(False)
            row[mode] = (fast, ref)
        make = lambda: build_neutral(locus, n_ages, "deterministic", session_type)  # noqa: E731
        try:
            plain = cpu_per_tick(make, n)
            recorded = cpu_per_tick(make, n, record_interval=1)
            row["record"] = recorded / plain
        except Exception:
            if not tolerant:
                raise
        figures[name] = row
    return figures


def baseline_figures(baseline, n_ticks):
    """The per-tick figures of the qorin package under `baseline`, measured in a
    subprocess with that package first on sys.path; None when it fails."""
    import json
    import os
    import subprocess

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(pathlib.Path(baseline).resolve()), str(pathlib.Path(__file__).parent)])
    cmd = [sys.executable, str(pathlib.Path(__file__).resolve()), "--figures-json", str(n_ticks)]
    try:
        out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
        figures = json.loads(out.stdout.strip().splitlines()[-1])
    except (subprocess.CalledProcessError, ValueError, IndexError) as exc:
        detail = getattr(exc, "stderr", "") or str(exc)
        print(f"baseline at {baseline} could not be measured: {detail.strip()[-400:]}")
        return None
    return figures


def per_tick_table(n_ticks, baseline=None):
    base = baseline_figures(baseline, n_ticks) if baseline else None
    figures = per_tick_figures(n_ticks)
    print()
    print("CPU time per tick in run(N, 0), microseconds (fast / dense reference); N scaled per model")
    if base is not None:
        print(f"baseline: {baseline} (its fast paths; ratio = baseline / fast)")
    print(f"{'model':12} " + " ".join(f"{m:>24}" for m in PER_TICK_MODES) + f" {'record every tick':>18}")
    for name, row in figures.items():
        cells = []
        for mode in PER_TICK_MODES:
            fast, ref = row.get(mode, (float("nan"), None))
            if ref is not None:
                cells.append(f"{fast:9.2f} / {ref:9.2f} {ref / fast:4.2f}x")
            else:
                cells.append(f"{fast:9.2f} / {'n/a':>9}      ")
        print(f"{name:12} " + " ".join(f"{c:>24}" for c in cells) + f" {row.get('record', float('nan')):17.2f}x")
    if base is None:
        return
    print()
    print("baseline (today) / fast")
    print(f"{'model':12} " + " ".join(f"{m:>24}" for m in PER_TICK_MODES) + f" {'record every tick':>18}")
    for name, row in figures.items():
        brow = base.get(name)
        cells = []
        for mode in PER_TICK_MODES:
            fast = row.get(mode, (float("nan"), None))[0]
            if brow is None or mode not in brow:
                cells.append(f"{'n/a':>24}")
                continue
            b = brow[mode][0]
            cells.append(f"{b:9.2f} / {fast:9.2f} {b / fast:4.2f}x")
        rec = f"{brow['record']:17.2f}x" if brow is not None and "record" in brow else f"{'n/a':>18}"
        print(f"{name:12} " + " ".join(f"{c:>24}" for c in cells) + f" {rec}")


def best_of(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("n_ticks", nargs="?", type=int, default=1000)
    parser.add_argument("--baseline", metavar="PATH",
                        help="directory holding a qorin package built from an older commit")
    parser.add_argument("--per-tick-only", action="store_true", help="print only the per-tick table")
    parser.add_argument("--figures-json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    n_ticks = args.n_ticks
    if args.figures_json:
        import json

        print(json.dumps(per_tick_figures(n_ticks, with_reference=False, tolerant=True)))
        return
    if args.per_tick_only:
        per_tick_table(n_ticks, args.baseline)
        return
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

    per_tick_table(n_ticks, args.baseline)


if __name__ == "__main__":
    main()
