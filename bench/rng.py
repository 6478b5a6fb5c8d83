"""Time 10^6 draws of common distributions through the engine's session stream
and through numpy.random.Generator, side by side.

Run from the repository root after building:  PYTHONPATH=python python bench/rng.py
"""
import argparse
import time

import numpy as np

from qorin import _engine_testing as t

N = 10**6

# (label, engine kind, a, b, numpy call)
CASES = [
    ("uniform01", "uniform01", 0.0, 0.0, lambda g, n: g.random(n)),
    ("standard_normal", "standard_normal", 0.0, 0.0, lambda g, n: g.standard_normal(n)),
    ("binomial(20, 0.3)", "binomial", 20, 0.3, lambda g, n: g.binomial(20, 0.3, n)),
    ("binomial(1000, 0.5)", "binomial", 1000, 0.5, lambda g, n: g.binomial(1000, 0.5, n)),
    ("poisson(3.5)", "poisson", 3.5, 0.0, lambda g, n: g.poisson(3.5, n)),
    ("poisson(300)", "poisson", 300.0, 0.0, lambda g, n: g.poisson(300.0, n)),
]


def best_of(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeats", type=int, default=5, help="best of this many runs per row")
    ap.add_argument("-n", type=int, default=N, help="draws per row")
    args = ap.parse_args()

    words = t.rng_new(12345)
    gen = np.random.Generator(np.random.PCG64(12345))
    print(f"{args.n} draws per row, best of {args.repeats}")
    print(f"{'distribution':<22}{'engine ms':>11}{'numpy ms':>11}{'ratio':>8}")
    for label, kind, a, b, np_call in CASES:
        te = best_of(lambda: t.rng_draw(words, kind, args.n, a, b), args.repeats)
        tn = best_of(lambda: np_call(gen, args.n), args.repeats)
        print(f"{label:<22}{te * 1e3:>11.2f}{tn * 1e3:>11.2f}{te / tn:>8.2f}")


if __name__ == "__main__":
    main()
