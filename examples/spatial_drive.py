"""A homing gene drive spreading around a ring of demes.

Twenty demes sit on a ring (``qorin.Landscape.ring``); each sends a small
share of its individuals to its two neighbours every tick. Drive homozygous
males are released once into deme 0 of an otherwise wild-type landscape. The drive allele's frequency in every deme
is recorded each tick (``qorin.allele_frequencies(..., by_deme=True)``) and drawn
as a space-time picture, demes ordered by distance from the release
(spatial_drive.png), when matplotlib is installed; otherwise a text summary is printed.

    python examples/spatial_drive.py            # 20 demes, 150 ticks
    python examples/spatial_drive.py --quick    # a small, fast run
"""

import argparse

import numpy as np

import qorin
from qorin import genetics


def build(n_demes, migration=0.05, stochastic=False):
    """A ring of demes (``qorin.Landscape.ring``): 100 wild-type individuals of
    each sex at every adult age in every deme, and 100 drive-homozygous males
    released into deme 0."""
    locus = genetics.homing_drive(cutting=0.95, homing=0.9, drive_cost=0.1)
    A = 3
    bp = qorin.Blueprint(A, 1, locus, stochastic=stochastic)
    params = qorin.Params(bp, carrying_capacity=400.0, eggs_per_female=20.0, low_density_growth_rate=4.0,
                          survival_rates=np.full((2, A), 0.8))
    start = np.zeros((n_demes, 2, A, bp.n_ztypes))
    start[:, :, 1:, locus.index("W/W")] = 100.0
    start[0, 1, 1:, locus.index("D/D")] = 100.0  # the release
    land = qorin.Landscape.ring(n_demes, emigration=migration, start=start)
    return land, bp, params


def run(n_demes=20, n_ticks=150, migration=0.05, plot=True):
    """Runs the release; returns the (n_ticks + 1, n_demes) frequency table."""
    land, bp, params = build(n_demes, migration)
    ds = land.simulate(bp, params, n_ticks, seed=1)
    drive = qorin.allele_frequencies(ds, by_deme=True).sel(allele="D")
    table = drive.fillna(0.0).values

    far = n_demes // 2
    arrived = np.flatnonzero(table[:, far] > 0.5)
    print(f"{n_demes} demes on a ring, migration rate {migration}, {n_ticks} ticks")
    print("tick  " + " ".join(f"{d:>5d}" for d in range(0, n_demes, max(1, n_demes // 10))))
    for t in range(0, n_ticks + 1, max(1, n_ticks // 10)):
        print(f"{t:4d}  " + " ".join(f"{table[t, d]:5.2f}" for d in range(0, n_demes, max(1, n_demes // 10))))
    if arrived.size:
        print(f"drive passes frequency 0.5 in the far deme {far} at tick {arrived[0]}")
    else:
        print(f"drive has not passed frequency 0.5 in the far deme {far} after {n_ticks} ticks")

    if plot:
        try:
            import matplotlib

            matplotlib.use("Agg")
            from qorin import plot as qplot
        except ImportError:
            print("matplotlib is not installed; skipping the plot")
        else:
            ax = qplot.site_heatmap(ds, drive, origin=0, vmin=0, vmax=1, label="drive frequency",
                                    title="Drive allele frequency after a release in deme 0")
            ax.figure.savefig("spatial_drive.png", dpi=120)
            print("wrote spatial_drive.png")
    return table


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small, fast run")
    args = parser.parse_args(argv)
    if args.quick:
        run(n_demes=8, n_ticks=60)
    else:
        run()


if __name__ == "__main__":
    main()
