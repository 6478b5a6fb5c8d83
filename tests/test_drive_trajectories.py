"""Deterministic trajectories of the drive constructs in discrete generations
against recursions written here from the biology (alleles, gametes, who dies),
not from the builders' tables: the driving Y against y' = 2m·y/(1+(2m-1)·y),
Medea, two-construct underdominance (and its release threshold of about 27 %
without costs), zygotic homing, a female-specific lethal and cleave-and-rescue.
Both sides regulate by the cap, which scales every class alike."""

import itertools

import numpy as np
import pytest

import qorin
from qorin import genetics as G

K = 1000.0
EGGS = 10.0


def engine_adults(locus, initial, n, **params):
    """Adults (ticks, sex, genotype) of a deterministic discrete-generation run;
    `initial` maps a label to (females, males)."""
    bp = qorin.Blueprint(2, 1, locus, generations="discrete", stochastic=False)
    for label, (f, m) in initial.items():
        bp.initial_individual_count[:, 1, locus.index(label)] = [f, m]
    p = qorin.Params(bp, growth_mode=1, carrying_capacity=K, eggs_per_female=EGGS, **params)
    ds = qorin.simulate(bp, p, n)
    return ds["count"].sel(age=1).transpose("tick", "sex", "genotype").values


def sexed_recursion(females, males, offspring, n, late=None):
    """Adult counts by sex of discrete generations: every female lays EGGS eggs
    fathered by a male drawn in proportion to the male counts; offspring(i, j)
    gives (daughters, sons) shares by genotype per egg of a type-i mother and a
    type-j father (deaths before regulation included); the newborns are capped
    at K together, then `late` (sex, genotype) survival acts."""
    out = [np.stack([females, males])]
    f, m = np.asarray(females, float), np.asarray(males, float)
    z = len(f)
    for _ in range(n):
        d, s = np.zeros(z), np.zeros(z)
        if m.sum() > 0:
            for i in range(z):
                for j in range(z):
                    w = f[i] * EGGS * (m[j] / m.sum())
                    if w:
                        dd, ss = offspring(i, j)
                        d += w * np.asarray(dd)
                        s += w * np.asarray(ss)
        h = min(K / (d.sum() + s.sum()), 1.0) if d.sum() + s.sum() > 0 else 1.0
        f, m = d * h, s * h
        if late is not None:
            f, m = f * late[0], m * late[1]
        out.append(np.stack([f, m]))
    return np.array(out)


def mendel(copies_i, copies_j):
    """Offspring copy-number distribution (0, 1, 2) of one biallelic locus."""
    pi, pj = copies_i / 2.0, copies_j / 2.0
    return np.array([(1 - pi) * (1 - pj), pi * (1 - pj) + (1 - pi) * pj, pi * pj])


def close(a, b):
    np.testing.assert_allclose(a, b, rtol=1e-10, atol=1e-9 * K)


# ----------------------------------------------------------------- driving Y
@pytest.mark.parametrize("m", [0.5, 0.7, 0.95])
def test_driving_y_follows_its_recursion(m):
    y_locus = G.driving_y(transmission=m)
    # (20 generations: later, classes below the engine's 1e-10 cut-off vanish)
    run = engine_adults(y_locus, {"X/X": (500, 0), "X/Y": (0, 490), "X/Yd": (0, 10)}, 20)
    males = run[:, 1, 1:]
    y = males[:, 1] / males.sum(axis=1)
    expected = [0.02]
    for _ in range(20):
        expected.append(2 * m * expected[-1] / (1 + (2 * m - 1) * expected[-1]))
    np.testing.assert_allclose(y, expected, rtol=1e-12)
    # the sons' share of every brood is 0.5 (1 - y) + m y
    sons = run[1:, 1].sum(axis=1) / run[1:].sum(axis=(1, 2))
    np.testing.assert_allclose(sons, 0.5 * (1 - y[:-1]) + m * y[:-1], rtol=1e-12)


# ----------------------------------------------------------------- Medea
def medea_offspring(tox, anti, cost, h):
    viability = np.array([1.0, 1.0 - h * cost, 1.0 - cost])

    def offspring(i, j):
        kids = mendel(i, j)  # genotype index = copies of M
        if i > 0:  # the mother carries M: toxin in every egg
            kids = kids * np.array([1.0 - tox, anti, anti])
        kids = kids * viability
        return 0.5 * kids, 0.5 * kids
    return offspring


@pytest.mark.parametrize("tox, anti, cost, h", [(1.0, 1.0, 0.0, 0.5), (0.9, 0.95, 0.1, 1.0),
                                                (1.0, 1.0, 0.2, 0.0)])
def test_medea_follows_its_recursion(tox, anti, cost, h):
    locus = G.medea(toxicity=tox, antidote=anti, cost=cost, dominance=h)
    start = {"W/W": (450, 450), "W/M": (30, 30), "M/M": (20, 20)}
    run = engine_adults(locus, start, 30)
    x0 = np.array([450.0, 30.0, 20.0])
    close(run, sexed_recursion(x0, x0, medea_offspring(tox, anti, cost, h), 30))


def medea_frequency(q, n, cost, h):
    """M frequency after n generations of the recursion from a release of M/M at share q."""
    x = np.array([1.0 - q, 0.0, q]) * K / 2
    run = sexed_recursion(x, x, medea_offspring(1.0, 1.0, cost, h), n)[-1].sum(axis=0)
    return (run[1] / 2 + run[2]) / run.sum()


def test_medea_with_a_dominant_cost_has_a_release_threshold():
    """With a dominant cost s the Medea allele is lost from low frequencies and
    spreads from high ones; the engine's trajectories fall on the two sides of
    the threshold of the recursion (about 0.109 of M/M for s = 0.1)."""
    lo, hi = 0.0, 1.0
    for _ in range(30):
        mid = (lo + hi) / 2
        lo, hi = (lo, mid) if medea_frequency(mid, 300, 0.1, 1.0) > 0.5 else (mid, hi)
    threshold = (lo + hi) / 2
    assert 0.1 < threshold < 0.12
    locus = G.medea(cost=0.1, dominance=1.0)
    for q, spreads in ((threshold * 0.9, False), (threshold * 1.1, True)):
        run = engine_adults(locus, {"W/W": ((1 - q) * K / 2,) * 2, "M/M": (q * K / 2,) * 2}, 300)
        final = run[-1].sum(axis=0)
        freq = (final[1] / 2 + final[2]) / final.sum()
        assert (freq > 0.99) if spreads else (freq < 0.01)


# ----------------------------------------------------------------- underdominance
def ud_offspring(lethal, cost, h):
    """Genotype index 3*nA + nB (copies of A and B); loci unlinked."""
    def viability(na, nb):
        v = 1.0 - lethal if (na > 0) != (nb > 0) else 1.0
        for n in (na, nb):
            v *= 1.0 - cost if n == 2 else (1.0 - h * cost if n == 1 else 1.0)
        return v

    def offspring(i, j):
        a, b = mendel(i // 3, j // 3), mendel(i % 3, j % 3)
        kids = np.array([a[na] * b[nb] * viability(na, nb) for na in range(3) for nb in range(3)])
        return 0.5 * kids, 0.5 * kids
    return offspring


def test_underdominance_follows_its_recursion():
    locus = G.underdominance(lethality=0.9, cost=0.1, dominance=0.3)
    start = {"a/a;b/b": (400, 400), "A/A;B/B": (80, 80), "a/A;b/B": (20, 20)}
    run = engine_adults(locus, start, 25)
    x0 = np.zeros(9)
    x0[[0, 8, 4]] = [400, 80, 20]
    close(run, sexed_recursion(x0, x0, ud_offspring(0.9, 0.1, 0.3), 25))


def test_underdominance_release_threshold_is_about_27_percent():
    """Without costs a release of A/A;B/B above about 27 % of the population
    goes to fixation and one below it is lost (Davis et al. 2001)."""
    locus = G.underdominance()

    def construct_share(r):
        run = engine_adults(locus, {"a/a;b/b": ((1 - r) * K / 2,) * 2,
                                    "A/A;B/B": (r * K / 2,) * 2}, 150)
        _, copies = locus.allele_counts(0)
        final = run[-1].sum(axis=0)
        return float(final @ copies[:, 1]) / (2 * final.sum())

    assert construct_share(0.26) < 0.01
    assert construct_share(0.28) > 0.99


# ----------------------------------------------------------------- zygotic homing
def test_zygotic_homing_follows_its_recursion():
    c, zc = 0.6, 0.5  # germline cut (always homed), embryo conversion of W/D
    locus = G.homing_drive(cutting=c, homing=1.0, zygotic_cutting=zc, zygotic_homing=1.0)
    wdd = [locus.index(g) for g in ("W/W", "W/D", "D/D")]

    def offspring(i, j):
        def drive_gamete(n):
            return {0: 0.0, 1: (1 + c) / 2, 2: 1.0}[n]
        pi, pj = drive_gamete(i), drive_gamete(j)
        kids = np.array([(1 - pi) * (1 - pj), pi * (1 - pj) + (1 - pi) * pj, pi * pj])
        kids = kids + np.array([0.0, -zc * kids[1], zc * kids[1]])
        return 0.5 * kids, 0.5 * kids

    run = engine_adults(locus, {"W/W": (490, 490), "W/D": (10, 10)}, 12)
    x0 = np.array([490.0, 10.0, 0.0])
    close(run[:, :, wdd], sexed_recursion(x0, x0, offspring, 12))
    assert run.sum(axis=(1, 2))[-1] == pytest.approx(run[:, :, wdd].sum(axis=(1, 2))[-1])


# ----------------------------------------------------------------- female-specific lethal
@pytest.mark.parametrize("timing", ["early", "late"])
def test_female_lethal_follows_its_recursion(timing):
    """L is passed on by surviving males only: its carriers' daughters die
    before regulation (early) or after it (late, having taken places in the cap)."""
    locus = G.female_lethal(lethality=(1.0, 0.0), timing=timing)
    dead = np.array([1.0, 0.0, 0.0])

    def offspring(i, j):
        kids = mendel(i, j)
        return 0.5 * kids * (dead if timing == "early" else 1.0), 0.5 * kids

    start = {"W/W": (500, 400), "W/L": (0, 50), "L/L": (0, 50)}
    run = engine_adults(locus, start, 15)
    late = (dead, np.ones(3)) if timing == "late" else None
    close(run, sexed_recursion(np.array([500.0, 0, 0]), np.array([400.0, 50, 50]), offspring, 15,
                               late=late))


# ----------------------------------------------------------------- cleave and rescue
def test_cleave_and_rescue_follows_its_recursion():
    """Genotype index 3*nC + nt: copies of the element C and of the broken
    target t. A carrier's germline breaks each T with the cutting rate of its
    sex; a carrier mother's embryos have each T broken with the deposition
    rate; t/t without C dies."""
    cut, dep = (0.9, 0.7), 0.3
    locus = G.cleave_and_rescue(cutting=cut, deposition=dep)

    def gametes(n_c, n_t, sex):
        """(P(C), P(t)) of a gamete."""
        p_t = n_t / 2.0
        if n_c > 0:
            p_t = p_t + (1 - p_t) * cut[sex]
        return n_c / 2.0, p_t

    def offspring(i, j):
        ci, ti = gametes(i // 3, i % 3, 0)
        cj, tj = gametes(j // 3, j % 3, 1)
        c_kids = mendel(2 * ci, 2 * cj)
        t_kids = mendel(2 * ti, 2 * tj)
        if i // 3 > 0:  # deposition breaks each T of the embryo
            t_kids = np.array([t_kids[0] * (1 - dep) ** 2,
                               t_kids[0] * 2 * dep * (1 - dep) + t_kids[1] * (1 - dep),
                               t_kids[0] * dep ** 2 + t_kids[1] * dep + t_kids[2]])
        kids = np.outer(c_kids, t_kids)
        kids[0, 2] = 0.0  # no working target, no rescue
        return 0.5 * kids.ravel(), 0.5 * kids.ravel()

    start = {"w/w;T/T": (450, 450), "C/C;T/T": (50, 50)}
    run = engine_adults(locus, start, 20)
    x0 = np.zeros(9)
    x0[[0, 6]] = [450, 50]
    close(run, sexed_recursion(x0, x0, offspring, 20))
    # the element drives: its carriers' share rises as broken targets accumulate
    carriers = run[:, :, 3:].sum(axis=(1, 2)) / run.sum(axis=(1, 2))
    assert carriers[-1] > 0.9 > carriers[0]
