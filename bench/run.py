"""run() against Python-level ticking, and the memory cost of recorded rows.

For the three models of bench/tick.py: `run(n, 1)` with a bound raw history
(which also captures a checkpoint at every recorded row) against n
Python-level `tick()` calls, each followed by recording on the Python side
(snapshot the state, build the row, append it to a HistoryStore), in the same
process. Then the bytes a history store allocates per recorded row
against the row's payload (8 bytes per column).

    PYTHONPATH=python python bench/run.py [n_ticks]
"""

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from tick import best_of, build  # noqa: E402

from qorin import _engine_rs, _engine_testing, genetics  # noqa: E402


def width_of(bp):
    a, z = bp.n_ages, bp.n_ztypes
    return 1 + 2 * a * z + a * z * z


def history_for(bp):
    return _engine_rs.HistoryStore(width_of(bp), (1, 2, bp.n_ages, bp.n_ztypes), True)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    models = [
        ("(a) Z=3, A=5", genetics.autosomal_locus(2), 5),
        ("(b) Z=10, A=8", genetics.autosomal_locus(4), 8),
        ("(c) Z=36, A=10", genetics.combine(genetics.autosomal_locus(3), genetics.autosomal_locus(3)), 10),
    ]
    print(f"{n} ticks, raw history recorded every tick, best of 3")
    print(f"{'model':16} {'run() s':>9} {'Python loop s':>16} {'speed-up':>9} {'bytes/row':>10} "
          f"{'payload':>8} {'ratio':>6}")
    for name, locus, n_ages in models:
        bp, params = build(locus, n_ages, stochastic=False)
        ticks = n if locus.n_ztypes < 36 else max(n // 10, 1)

        def with_run():
            s = _engine_rs.EngineSession(bp, params)
            h = history_for(bp)
            s.bind_history(h)
            s.run(ticks, 1)
            with_run.history = h

        def python_loop():
            s = _engine_rs.EngineSession(bp, params)
            h = history_for(bp)

            def record():
                tick, ind, sperm = s.state_snapshot()
                h.append(np.concatenate(([float(tick)], ind, sperm))[None, :])

            record()
            for _ in range(ticks):
                s.tick(0)
                record()

        t_run = best_of(with_run)
        t_loop = best_of(python_loop)
        h = with_run.history
        rows = len(h.ticks())
        per_row = _engine_testing.history_allocated_bytes(h) / rows
        payload = 8 * width_of(bp)
        label = name if ticks == n else f"{name} ({ticks})"
        print(f"{label:16} {t_run:9.3f} {t_loop:16.3f} {t_loop / t_run:8.1f}x {per_row:10.0f} "
              f"{payload:8d} {per_row / payload:6.3f}")


if __name__ == "__main__":
    main()
