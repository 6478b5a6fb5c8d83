"""Neutral Wright-Fisher generations per second, beside fwdpy11 when installed.

One autosomal locus with two alleles at frequency 1/2, N diploids (N/2 of each
sex, Hardy-Weinberg genotypes), regulated to exactly N every generation and
resampled by one multinomial (extreme_speed_mode 1). The engine tracks
genotype counts, so its cost per generation should not grow with N; an
individual-based simulator's does. fwdpy11 (optional, never a dependency)
runs the same model: N diploids, one neutral biallelic site at frequency 1/2,
no mutation, no recombination.

Then the mean expected heterozygosity 2pq over replicates, for both, against
(1 - 1/(2N))^t · H0, with its standard error over the replicates.

    PYTHONPATH=python python bench/wf.py [--generations 1000] [--sizes 1e3,1e4,1e5,1e6,1e7]
        [--budget 30] [--fwdpy11-max-n 1e5] [--het-n 1000] [--replicates 200] [--fwdpy11-replicates 20]

fwdpy11 gets about --budget seconds per population size: when the whole run
would take longer it runs fewer generations and the rate is measured over
those (marked with *); sizes above --fwdpy11-max-n are not run for it. Its
time counts the evolution only, not building the initial population.
"""

import argparse
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from tick import best_of  # noqa: E402

from qorin import _engine_rs, genetics  # noqa: E402
from qorin.contracts import Blueprint, Params  # noqa: E402

try:
    import fwdpy11
except ImportError:  # optional
    fwdpy11 = None


# ---------------------------------------------------------------- engine
def engine_model(n_diploids):
    locus = genetics.autosomal_locus(2)
    bp = Blueprint(2, 1, locus, stochastic=True, discrete_generation=True, extreme_speed_mode=1)
    half = n_diploids / 2.0
    bp.initial_individual_count[:, 1, :] = [half / 4, half / 2, half / 4]
    params = Params(bp, locus, growth_mode=1, carrying_capacity=float(n_diploids), eggs_per_female=10.0)
    return bp, params


def run_engine(bp, params, generations, seed, record_interval):
    """Runs `generations` Wright-Fisher ticks of the model; returns the
    recorded rows (tick, counts...)."""
    session = _engine_rs.DiscreteEngineSession(bp, params, seed=seed)
    return session.run(generations, record_interval, True)[1]


def engine_heterozygosity(n_diploids, generations, replicates):
    bp, params = engine_model(n_diploids)
    z = bp.n_ztypes
    het = np.empty((replicates, generations + 1))
    for r in range(replicates):
        rows = run_engine(bp, params, generations, r, 1)
        counts = rows[:, 1:1 + 4 * z].reshape(-1, 2, 2, z)[:, :, 1, :].sum(axis=1)  # adults, both sexes
        p = (2 * counts[:, 0] + counts[:, 1]) / (2 * counts.sum(axis=1))
        het[r] = 2 * p * (1 - p)
    return het


# ---------------------------------------------------------------- fwdpy11
def fwdpy11_population(n_diploids):
    """N diploids whose 2N genomes hang below two ancestors, so that a variant
    carried by exactly N of them (frequency 1/2) can be placed."""
    import tskit

    tables = tskit.TableCollection(sequence_length=1.0)
    tables.time_units = "generations"
    tables.populations.add_row()
    for _ in range(2 * n_diploids):
        tables.nodes.add_row(flags=tskit.NODE_IS_SAMPLE, time=0, population=0)
    left = tables.nodes.add_row(time=1, population=0)
    right = tables.nodes.add_row(time=1, population=0)
    root = tables.nodes.add_row(time=2, population=0)
    for node in range(2 * n_diploids):
        tables.edges.add_row(0.0, 1.0, left if node % 2 == 0 else right, node)
    tables.edges.add_row(0.0, 1.0, root, left)
    tables.edges.add_row(0.0, 1.0, root, right)
    tables.sort()
    return fwdpy11.DiploidPopulation.create_from_tskit(tables.tree_sequence())


def run_fwdpy11(n_diploids, generations, seed):
    """Returns (2pq of the variant at every generation 0..generations, seconds
    spent evolving; building the initial population is not counted)."""
    import demes

    pop = fwdpy11_population(n_diploids)
    rng = fwdpy11.GSLrng(seed)
    # fwdpy11 refuses a zero effect; 1e-20 leaves every fitness at exactly 1.0.
    neutral = fwdpy11.NewMutationData(effect_size=1e-20, dominance=1.0)
    if pop.add_mutation(rng, ndescendants=n_diploids, data=neutral) is None:
        raise RuntimeError("could not place the initial variant")
    builder = demes.Builder(time_units="generations")
    builder.add_deme("pop", epochs=[dict(start_size=n_diploids)])
    demography = fwdpy11.ForwardDemesGraph.from_demes(builder.resolve(), burnin=generations, burnin_is_exact=True)
    params = fwdpy11.ModelParams(rates=(0.0, 0.0, 0.0), gvalue=fwdpy11.Multiplicative(2.0),
                                 demography=demography, simlen=generations, prune_selected=False)
    het = np.zeros(generations + 1)
    het[0] = 0.5

    def recorder(pop, _sampler):
        p = 0.0
        for count in pop.mcounts:
            if 0 < count < 2 * pop.N:
                p = count / (2.0 * pop.N)
        het[pop.generation] = 2 * p * (1 - p)

    t0 = time.perf_counter()
    fwdpy11.evolvets(rng, pop, params, 100, recorder=recorder, track_mutation_counts=True)
    return het, time.perf_counter() - t0


def fwdpy11_rate(n_diploids, generations, budget):
    """(generations per second, generations run) within the time budget."""
    probe = min(generations, 10)
    _, seconds = run_fwdpy11(n_diploids, probe, 1)
    g = int(min(generations, max(probe, budget * probe / seconds)))
    if g == probe:
        return probe / seconds, probe
    _, seconds = run_fwdpy11(n_diploids, g, 2)
    return g / seconds, g


# ---------------------------------------------------------------- main
def callback_costs(generations):
    """Microseconds per Wright-Fisher tick with no hook, one plain and one
    transaction callback at event `first` (N = 1000)."""
    def plain(ind, sperm, tick, deme):
        return 0

    def transaction(a, b, tick, deme, txn):
        return 0

    transaction.__qorin_transaction__ = True
    bp, params = engine_model(1000)
    out = {}
    for name, callbacks in (("hook-free", None), ("plain callback", plain), ("transaction callback", transaction)):
        s = _engine_rs.DiscreteEngineSession(bp, params, seed=1)
        if callbacks is not None:
            s.set_python_callbacks([callbacks], [], [])
        out[name] = best_of(lambda: s.run(generations, 0, True)) / generations * 1e6
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--generations", type=int, default=1000)
    ap.add_argument("--sizes", default="1e3,1e4,1e5,1e6,1e7")
    ap.add_argument("--budget", type=float, default=30.0, help="seconds per size for fwdpy11")
    ap.add_argument("--fwdpy11-max-n", type=float, default=1e5)
    ap.add_argument("--het-n", type=int, default=1000)
    ap.add_argument("--replicates", type=int, default=200)
    ap.add_argument("--fwdpy11-replicates", type=int, default=20)
    args = ap.parse_args()
    G = args.generations
    sizes = [int(float(s)) for s in args.sizes.split(",")]

    if fwdpy11 is None:
        print("fwdpy11 is not installed: engine only (pip install fwdpy11 to compare)")
    else:
        print(f"fwdpy11 {fwdpy11.__version__}")
    print(f"\nNeutral Wright-Fisher, one biallelic locus, {G} generations (engine: best of 3)")
    print(f"{'N':>10} {'engine gen/s':>14} {'fwdpy11 gen/s':>15} {'ratio':>10}")
    for n in sizes:
        bp, params = engine_model(n)
        t = best_of(lambda: run_engine(bp, params, G, 1, 0))
        engine = G / t
        if fwdpy11 is None:
            other, note = "missing", ""
            ratio = "-"
        elif n > args.fwdpy11_max_n:
            other, note, ratio = "skipped", "", "-"
        else:
            rate, g = fwdpy11_rate(n, G, args.budget)
            other, note = f"{rate:14.1f}", "*" if g < G else " "
            ratio = f"{engine / rate:9.1f}x"
        print(f"{n:>10} {engine:14.0f} {other:>14}{note} {ratio:>10}")
    if fwdpy11 is not None:
        print("* measured over fewer generations to stay within --budget")

    costs = callback_costs(G)
    base = costs["hook-free"]
    print(f"\nCost of Python callbacks, Wright-Fisher tick at N = 1000 ({G} ticks, best of 3)")
    for name, us in costs.items():
        print(f"{name:>22}: {us:8.2f} us/tick  ({us / base:6.1f}x the hook-free tick)")

    N = args.het_n
    print(f"\nMean 2pq over replicates, N = {N}: engine {args.replicates} replicates"
          + ("" if fwdpy11 is None else f", fwdpy11 {args.fwdpy11_replicates}"))
    eng = engine_heterozygosity(N, G, args.replicates)
    fw = None
    if fwdpy11 is not None:
        fw = np.array([run_fwdpy11(N, G, 100 + r)[0] for r in range(args.fwdpy11_replicates)])
    header = f"{'t':>6} {'(1-1/2N)^t H0':>14} {'engine':>9} {'+-se':>7}"
    if fw is not None:
        header += f" {'fwdpy11':>9} {'+-se':>7}"
    print(header)
    for t in sorted({0, G // 10, G // 4, G // 2, G}):
        expected = 0.5 * (1 - 1 / (2 * N)) ** t
        line = (f"{t:>6} {expected:14.4f} {eng[:, t].mean():9.4f} "
                f"{eng[:, t].std(ddof=1) / np.sqrt(len(eng)):7.4f}")
        if fw is not None:
            line += f" {fw[:, t].mean():9.4f} {fw[:, t].std(ddof=1) / np.sqrt(len(fw)):7.4f}"
        print(line)


if __name__ == "__main__":
    main()
