"""A homing gene drive spreading around a ring of demes.

Twenty demes sit on a ring; each sends a small share of its individuals to its
two neighbours every tick. Drive homozygous males are released once into deme 0
of an otherwise wild-type landscape. The drive allele's frequency in every deme
is recorded each tick and drawn as a space-time picture (spatial_drive.png) when
matplotlib is installed; otherwise a text summary is printed.

    python examples/spatial_drive.py            # 20 demes, 150 ticks
    python examples/spatial_drive.py --quick    # a small, fast run
"""

import argparse

import numpy as np

from qorin import _engine_rs, genetics
from qorin.contracts import Blueprint, Params

GENETICS = ("viability_fitness", "fecundity_fitness", "sexual_selection_fitness", "zygote_viability_fitness",
            "offspring_tensor", "meiosis_map", "female_ztype_compatibility", "male_ztype_compatibility")


def ring(n):
    """CSR migration graph: deme d sends half of its emigrants to each neighbour."""
    indptr = np.arange(0, 2 * n + 1, 2, dtype=np.int64)
    dest = np.array([[(d + 1) % n, (d - 1) % n] for d in range(n)], dtype=np.int64).ravel()
    return indptr, dest, np.full(2 * n, 0.5)


def build(n_demes, migration=0.05, seed=1, stochastic=False):
    locus = genetics.homing_drive(cutting=0.95, homing=0.9, drive_cost=0.1)
    A = 3
    indptr, dest, weights = ring(n_demes)
    bp = Blueprint(A, 1, locus, n_demes=n_demes, stochastic=stochastic, migration_indptr=indptr,
                   migration_dest_idx=dest, migration_weights=weights)
    p = Params(bp, locus, carrying_capacity=400.0, eggs_per_female=20.0, low_density_growth_rate=4.0,
               survival_rates=np.full((2, A), 0.8))
    n = n_demes
    columns = {
        "carrying_capacity": np.full(n, p.carrying_capacity), "eggs_per_female": np.full(n, p.eggs_per_female),
        "sex_ratio": np.full(n, p.sex_ratio), "sperm_displacement_rate": np.full(n, p.sperm_displacement_rate),
        "low_density_growth_rate": np.full(n, p.low_density_growth_rate),
        "growth_mode": np.full(n, p.growth_mode, dtype=np.int64),
        "survival_rates": np.tile(p.survival_rates.ravel(), n), "mating_rates": np.tile(p.mating_rates.ravel(), n),
        "reproduction_rates": np.tile(p.reproduction_rates, n), "fertility": np.tile(p.fertility, n),
        "competition_weights": np.tile(p.competition_weights, n),
        "migration_rate": np.full(n * 2 * A, migration),
    }
    bank = [{name: np.asarray(getattr(p, name), dtype=np.float64).ravel().copy() for name in GENETICS}]
    Z = bp.n_ztypes
    ind = np.zeros((n, 2, A, Z))
    ind[:, :, 1:, locus.labels.index("W/W")] = 100.0
    ind[0, 1, 1:, locus.labels.index("D/D")] = 100.0  # the release
    sperm = np.zeros((n, A, Z, Z))
    session = _engine_rs.HeterogeneousSpatialEngineSession(bp, columns, bank, np.zeros(n, dtype=np.int64), ind,
                                                           sperm, 0, seed=seed)
    copies = np.array([label.count("D") for label in locus.labels], dtype=float)
    return session, bp, copies


def drive_frequencies(session, bp, copies):
    """Drive allele frequency per deme."""
    n, A, Z = bp.n_demes, bp.n_ages, bp.n_ztypes
    counts = session.state_snapshot()[1].reshape(n, 2, A, Z).sum(axis=(1, 2))
    totals = counts.sum(axis=1)
    return np.divide(counts @ copies, 2.0 * totals, out=np.zeros(n), where=totals > 0)


def run(n_demes=20, n_ticks=150, migration=0.05, plot=True):
    """Runs the release; returns the (n_ticks + 1, n_demes) frequency table."""
    session, bp, copies = build(n_demes, migration)
    table = [drive_frequencies(session, bp, copies)]
    for _ in range(n_ticks):
        session.run_tick()
        table.append(drive_frequencies(session, bp, copies))
    table = np.array(table)

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
            import matplotlib.pyplot as plt
        except ImportError:
            print("matplotlib is not installed; skipping the plot")
        else:
            fig, ax = plt.subplots(figsize=(7, 4))
            im = ax.imshow(table.T, aspect="auto", origin="lower", vmin=0, vmax=1, cmap="viridis")
            ax.set_xlabel("tick")
            ax.set_ylabel("deme")
            ax.set_title("Drive allele frequency after a release in deme 0")
            fig.colorbar(im, ax=ax, label="drive frequency")
            fig.tight_layout()
            fig.savefig("spatial_drive.png", dpi=120)
            plt.close(fig)
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
