"""Gene-drive genetics: offspring distributions derived by hand, the deterministic
homing-drive trajectory against the textbook recursion, and input checks."""

import itertools

import numpy as np
import pytest

import qorin
from qorin import genetics as G


def table(locus):
    z = locus.n_ztypes
    return locus.offspring_tensor.reshape(z, z, z)


def row(locus, mother, father):
    """Offspring distribution of a cross as {label: share}, zero shares dropped."""
    t = table(locus)[locus.index(mother), locus.index(father)]
    return {locus.labels[k]: v for k, v in enumerate(t) if v != 0.0}


def approx(d):
    return {k: pytest.approx(v, abs=1e-15) for k, v in d.items()}


# ----------------------------------------------------------------- hand-derived crosses
def test_homing_heterozygote_transmission_is_per_sex():
    # female germline: cut 0.8, homing 0.5, functional share 0.25; male: cut 0.4, homing 1
    d = G.homing_drive(cutting=(0.8, 0.4), homing={"female": 0.5, "male": 1.0},
                       functional_resistance=(0.25, 0.0))
    assert row(d, "W/D", "W/W") == approx({"W/W": 0.1, "W/D": 0.7, "W/R": 0.05, "W/N": 0.15})
    assert row(d, "W/W", "D/W") == approx({"W/W": 0.3, "W/D": 0.7})
    # only W/D converts: D/R, R/N and homozygotes are Mendelian
    assert row(d, "D/R", "W/W") == approx({"W/D": 0.5, "W/R": 0.5})
    assert row(d, "D/D", "N/N") == approx({"D/N": 1.0})
    np.testing.assert_allclose(table(d).sum(axis=2), 1.0, rtol=0, atol=1e-15)


def test_maternal_deposition_cuts_embryo_wild_alleles():
    d = G.homing_drive(cutting=0.0, deposition=0.5, functional_resistance=(0.2, 0.9))
    # D/D mother: every embryo is W/D; its W is cut with 0.5, functional share 0.2 (female rate)
    assert row(d, "D/D", "W/W") == approx({"W/D": 0.5, "D/R": 0.1, "D/N": 0.4})
    # W/D mother (no germline cutting): W/W embryos have two W alleles, each cut independently
    d0 = G.homing_drive(cutting=0.0, deposition=0.5)
    assert row(d0, "W/D", "W/W") == approx({"W/W": 0.125, "W/N": 0.25, "N/N": 0.125,
                                            "W/D": 0.25, "D/N": 0.25})
    # fathers deposit nothing; mothers without D deposit nothing
    assert row(d0, "W/W", "D/D") == approx({"W/D": 1.0})


def test_split_drive_homes_only_with_cas9():
    s = G.split_drive(cutting=1.0, homing=1.0)
    assert s.n_ztypes == 30 and s.alleles == [["W", "D", "R", "N"], ["w", "C"]]
    assert row(s, "W/D;w/C", "W/W;w/w") == approx({"W/D;w/w": 0.5, "W/D;w/C": 0.5})
    assert row(s, "W/D;w/w", "W/W;w/w") == approx({"W/W;w/w": 0.5, "W/D;w/w": 0.5})
    # the Cas9 locus assorts independently of the drive locus
    assert row(s, "W/W;C/C", "W/W;w/w") == approx({"W/W;w/C": 1.0})
    assert row(s, "W/W;w/w", "D/W;C/w") == approx({"W/D;w/w": 0.5, "W/D;w/C": 0.5})


def test_split_drive_deposition_needs_cas9_and_drive_in_the_mother():
    s = G.split_drive(cutting=0.0, deposition=1.0, functional_resistance=0.0)
    assert row(s, "D/D;C/C", "W/W;w/w") == approx({"D/N;w/C": 1.0})
    assert row(s, "D/D;w/w", "W/W;C/C") == approx({"W/D;w/C": 1.0})


def test_x_linked_distorter_biases_sons_of_carriers_only():
    x = G.x_linked_distorter(transmission=0.8)
    assert x.labels == ["X/X", "X/Xd", "Xd/Xd", "X/Y", "Xd/Y"]
    assert row(x, "X/X", "Xd/Y") == approx({"X/Xd": 0.8, "X/Y": 0.2})
    assert row(x, "X/Xd", "X/Y") == approx({"X/X": 0.25, "X/Xd": 0.25, "X/Y": 0.25, "Xd/Y": 0.25})
    assert x.has_sex_chromosomes and x.female_only.tolist() == [True, True, True, False, False]


def test_x_linked_distorter_offspring_of_every_cross():
    # Driving males pass Xd to 0.8 of their gametes, heterozygous mothers to 0.7:
    # four distinct shares, so a swap of the chromosomes, the sexes or the
    # parents changes some row.
    x = G.x_linked_distorter(transmission=0.8, female_transmission=0.7)
    expected = {
        ("X/X", "X/Y"): {"X/X": 0.5, "X/Y": 0.5},
        ("X/X", "Xd/Y"): {"X/Xd": 0.8, "X/Y": 0.2},
        ("X/Xd", "X/Y"): {"X/X": 0.15, "X/Xd": 0.35, "X/Y": 0.15, "Xd/Y": 0.35},
        ("X/Xd", "Xd/Y"): {"X/Xd": 0.24, "Xd/Xd": 0.56, "X/Y": 0.06, "Xd/Y": 0.14},
        ("Xd/Xd", "X/Y"): {"X/Xd": 0.5, "Xd/Y": 0.5},
        ("Xd/Xd", "Xd/Y"): {"Xd/Xd": 0.8, "Xd/Y": 0.2},
    }
    mothers = [lab for lab, f in zip(x.labels, x.female_only) if f]
    fathers = [lab for lab, m in zip(x.labels, x.male_only) if m]
    assert sorted(expected) == sorted((m, f) for m in mothers for f in fathers)
    for (mother, father), offspring in expected.items():
        assert row(x, mother, father) == approx(offspring), (mother, father)


def test_split_drive_rates_act_in_their_own_sex():
    # Germline cutting 1 in females and 0.5 in males: a W/D;w/C mother transmits
    # D to every gamete, a father of that genotype to three quarters.
    s = G.split_drive(cutting=(1.0, 0.5), homing=1.0)
    assert row(s, "W/D;w/C", "W/W;w/w") == approx({"W/D;w/w": 0.5, "W/D;w/C": 0.5})
    assert row(s, "W/W;w/w", "W/D;w/C") == approx({"W/W;w/w": 0.125, "W/W;w/C": 0.125,
                                                    "W/D;w/w": 0.375, "W/D;w/C": 0.375})
    # deposited nuclease repairs as in the mother's germline: all functional here
    d = G.split_drive(cutting=0.0, deposition=1.0, functional_resistance=(1.0, 0.0))
    assert row(d, "D/D;C/C", "W/W;w/w") == approx({"D/R;w/C": 1.0})
    # a father carrying drive and nuclease deposits nothing
    assert row(d, "W/W;w/w", "D/D;C/C") == approx({"W/D;w/C": 1.0})


@pytest.mark.parametrize("order", ["xy first", "xy second"])
def test_combine_keeps_each_sexes_flags_and_fitness(order):
    xy = G.xy_locus(1)
    drive = G.homing_drive(fitness={"D/D": (0.5, 0.9)}, fecundity={"W/D": (1.0, 0.75)})
    c = G.combine(xy, drive) if order == "xy first" else G.combine(drive, xy)
    xy_part = 0 if order == "xy first" else 1
    for k, label in enumerate(c.labels):
        male = label.split(";")[xy_part].endswith("/Y")
        assert (c.female_only[k], c.male_only[k]) == (not male, male), label
    for xy_label in ("X/X", "X/Y"):
        parts = [xy_label, "D/D"] if order == "xy first" else ["D/D", xy_label]
        k = c.index(";".join(parts))
        assert c.fitness["zygote_viability_fitness"][:, k].tolist() == [0.5, 0.9]
        parts = [xy_label, "W/D"] if order == "xy first" else ["W/D", xy_label]
        assert c.fitness["fecundity_fitness"][:, c.index(";".join(parts))].tolist() == [1.0, 0.75]


def test_drive_costs_become_params_defaults():
    d = G.homing_drive(disrupts="female_fertility", drive_cost=0.2, dominance=0.25,
                       fitness={"R/R": (0.5, 1.0)})
    bp = qorin.Blueprint(3, 1, d)
    p = qorin.Params(bp)
    v = dict(zip(d.labels, p.zygote_viability_fitness[0]))
    assert v["D/D"] == pytest.approx(0.8) and v["W/D"] == pytest.approx(0.95) and v["R/R"] == 0.5
    assert p.zygote_viability_fitness[1, d.index("R/R")] == 1.0
    fem = dict(zip(d.labels, p.fecundity_fitness[0]))
    assert [g for g, w in fem.items() if w == 0.0] == ["D/D", "D/N", "N/N"]
    assert np.all(p.fecundity_fitness[1] == 1.0)
    # an explicit keyword still wins over the locus defaults
    assert np.all(qorin.Params(bp, fecundity_fitness=np.ones((2, 10))).fecundity_fitness == 1.0)


def test_combine_multiplies_fitness_and_keeps_deposition():
    d = G.homing_drive(cutting=0.0, deposition=0.5, fitness={"D/D": 0.5})
    c = G.combine(d, G.autosomal_locus(2, ["b", "B"]))
    assert c.fitness["zygote_viability_fitness"][0, c.index("D/D;b/B")] == 0.5
    t = table(c)
    expected = np.einsum("ijk,lmn->iljmkn", table(d), table(G.autosomal_locus(2))).reshape(t.shape)
    np.testing.assert_array_equal(t, expected)


def test_labels_allele_counts_and_carriers():
    s = G.split_drive()
    assert s.index("D/W;C/w") == s.index("W/D;w/C")
    names, counts = s.allele_counts(1)
    assert names == ["w", "C"] and counts[s.index("D/D;C/C")].tolist() == [0.0, 2.0]
    assert s.carriers("C") == [lab for lab in s.labels if "C" in lab.split(";")[1]]


# ----------------------------------------------------------------- the recursion
def recursion(eggs, sperm, trans_f, trans_m, fitness, generations):
    """Textbook allele-frequency recursion of a homing drive under random mating.

    eggs, sperm: allele frequencies of the gametes that made generation 0.
    trans_s[a, b]: allele frequencies among the gametes of an a/b parent of sex s.
    fitness[a, b]: zygote viability of a/b. Returns the allele frequencies of the
    adults of each generation (after selection)."""
    n = len(eggs)
    out = []
    for _ in range(generations):
        zyg = np.zeros((n, n))  # unordered genotype frequencies, stored at [min, max]
        for a in range(n):
            for b in range(n):
                zyg[min(a, b), max(a, b)] += eggs[a] * sperm[b]
        zyg = zyg * fitness
        zyg /= zyg.sum()
        adults = np.zeros(n)
        for a in range(n):
            for b in range(a, n):
                adults[a] += zyg[a, b] / 2
                adults[b] += zyg[a, b] / 2
        out.append(adults)
        eggs = sum(zyg[a, b] * trans_f[a, b] for a in range(n) for b in range(a, n))
        sperm = sum(zyg[a, b] * trans_m[a, b] for a in range(n) for b in range(a, n))
    return np.array(out)


def transmission(c, h, fr):
    """Gametes of each genotype: Mendelian, except that a W/D parent transmits D
    with (1 + c*h)/2, W with (1 - c)/2 and resistance with c*(1 - h)/2, of which a
    share fr is functional (R)."""
    n = 4
    t = np.zeros((n, n, n))
    for a, b in itertools.product(range(n), repeat=2):
        t[a, b, a] += 0.5
        t[a, b, b] += 0.5
    W, D, R, N = range(4)
    t[W, D] = [(1 - c) / 2, (1 + c * h) / 2, c * (1 - h) * fr / 2, c * (1 - h) * (1 - fr) / 2]
    return t


def engine_trajectory(locus, females, males, generations):
    """Non-overlapping generations with EngineSession: two ages, adults die after
    breeding, juveniles all survive; returns drive-locus allele frequencies of the
    adults at each boundary."""
    bp = qorin.Blueprint(2, 1, locus, stochastic=False)
    for label, n in females.items():
        bp.initial_individual_count[0, 1, locus.index(label)] = n
    for label, n in males.items():
        bp.initial_individual_count[1, 1, locus.index(label)] = n
    params = qorin.Params(bp, survival_rates=[[1.0, 0.0], [1.0, 0.0]], eggs_per_female=2.0,
                          growth_mode=1, carrying_capacity=1e9)
    ds = qorin.simulate(bp, params, generations, seed=0)
    return qorin.allele_frequencies(ds, adults_only=True).values


@pytest.mark.parametrize("rates", [
    dict(cutting=(0.9, 0.6), homing=1.0, functional_resistance=0.0, cost=0.2, h=0.3),
    dict(cutting=(0.95, 0.7), homing=(0.8, 0.5), functional_resistance=(0.3, 0.1), cost=0.1, h=0.5),
])
def test_deterministic_homing_trajectory_follows_the_recursion(rates):
    c, hom, fr = rates["cutting"], rates["homing"], rates["functional_resistance"]
    per_sex = [x if isinstance(x, tuple) else (x, x) for x in (c, hom, fr)]
    locus = G.homing_drive(cutting=c, homing=hom, functional_resistance=fr,
                           drive_cost=rates["cost"], dominance=rates["h"],
                           fitness={"N/N": 0.5, "W/N": 0.9})
    # founders: heterozygous females only, D/D males only, so the female rates act
    # first and swapping the sexes' rates changes the trajectory
    females, males = {"W/W": 700.0, "W/D": 300.0}, {"W/W": 800.0, "D/D": 200.0}
    got = engine_trajectory(locus, females, males, 25)
    fitness = np.ones((4, 4))
    s, h = rates["cost"], rates["h"]
    fitness[0, 1] = fitness[1, 2] = fitness[1, 3] = 1 - h * s
    fitness[1, 1] = 1 - s
    fitness[3, 3] = 0.5
    fitness[0, 3] = 0.9
    trans_f = transmission(per_sex[0][0], per_sex[1][0], per_sex[2][0])
    trans_m = transmission(per_sex[0][1], per_sex[1][1], per_sex[2][1])
    eggs0 = 0.7 * np.array([1.0, 0, 0, 0]) + 0.3 * trans_f[0, 1]
    sperm0 = np.array([0.8, 0.2, 0, 0])
    expected = recursion(eggs0, sperm0, trans_f, trans_m, fitness, 25)
    # boundary 0 holds the founders; boundary t + 1 the adults of generation t
    np.testing.assert_allclose(got[0], [0.825, 0.175, 0.0, 0.0], rtol=0, atol=1e-15)
    np.testing.assert_allclose(got[1:], expected, rtol=0, atol=1e-10)  # rounding only
    assert got[-1, 1] > 0.5  # the drive spreads
    swapped = recursion(0.7 * np.array([1.0, 0, 0, 0]) + 0.3 * trans_m[0, 1], sperm0,
                        trans_m, trans_f, fitness, 25)
    assert np.abs(swapped - expected).max() > 1e-3  # the case tells the sexes apart


def test_classic_homing_recursion_in_closed_form():
    # Symmetric efficiency e, no costs: q' = q(1 + e(1 - q)) for adults in HWE.
    e = 0.7
    locus = G.homing_drive(cutting=e, homing=1.0)
    got = engine_trajectory(locus, {"W/W": 900.0, "D/D": 100.0}, {"W/W": 900.0, "D/D": 100.0}, 12)
    q = [0.1, 0.1]  # founders, then generation 0 (founders' gametes carry D at 0.1)
    for _ in range(11):
        q.append(q[-1] * (1 + e * (1 - q[-1])))
    np.testing.assert_allclose(got[:, 1], q, rtol=0, atol=1e-12)


# ----------------------------------------------------------------- bad input
@pytest.mark.parametrize("call, words", [
    (lambda: G.homing_drive(cutting=1.5), "cutting"),
    (lambda: G.homing_drive(homing=-0.1), "homing"),
    (lambda: G.homing_drive(functional_resistance=(0.5, 2.0)), "functional_resistance[1] (male)"),
    (lambda: G.homing_drive(cutting={"female": 0.5}), "cutting"),
    (lambda: G.homing_drive(deposition=float("nan")), "deposition"),
    (lambda: G.homing_drive(drive_cost=2.0), "drive_cost"),
    (lambda: G.homing_drive(disrupts="wings"), "disrupts"),
    (lambda: G.homing_drive(fitness={"W/Q": 0.5}), "not a genotype"),
    (lambda: G.homing_drive(fitness={"W/D": -1.0}), "fitness['W/D']"),
    (lambda: G.homing_drive(allele_names=("W", "D/x", "R", "N")), "allele_names"),
    (lambda: G.split_drive(cas9_cost=1.2), "cas9_cost"),
    (lambda: G.x_linked_distorter(transmission=1.1), "transmission"),
    (lambda: G.x_linked_distorter(fecundity={"Xd/Xd/Y": 0.5}), "not a genotype"),
    (lambda: G.fitness_table(G.autosomal_locus(2), {"A1/A2": (1.0, 2.0, 3.0)}), "pair"),
    (lambda: G.autosomal_locus(2, ["a", "a"]), "distinct"),
])
def test_bad_rates_and_labels_name_the_argument(call, words):
    with pytest.raises(ValueError) as e:
        call()
    assert words in str(e.value)


def test_meiosis_rows_must_sum_to_one():
    base = G.autosomal_locus(2)
    meiosis = base.meiosis.copy()
    meiosis[1, 1] = [0.5, 0.4]
    with pytest.raises(ValueError, match=r"male row of 'A1/A2' sums to 0\.9"):
        G.LocusModel(base.labels, meiosis, base.fusion)
    meiosis[1, 1] = [0.5, 0.5 + 1e-12]  # rounding of derived rates is fine
    G.LocusModel(base.labels, meiosis, base.fusion)
    meiosis[0, 0] = [1.5, -0.5]
    with pytest.raises(ValueError, match="nonnegative"):
        G.LocusModel(base.labels, meiosis, base.fusion)


def test_a_locus_keeps_the_tables_its_offspring_tensor_was_composed_from():
    base = G.xy_locus(2)
    meiosis, female_only = base.meiosis.copy(), base.female_only.copy()
    x = G.LocusModel(base.labels, meiosis, base.fusion, female_only=female_only, male_only=base.male_only)
    tensor = x.offspring_tensor
    meiosis[:, 1] = [1.0, 0.0, 0.0]  # the caller's arrays are not the model's
    female_only[:] = False
    np.testing.assert_array_equal(x.meiosis, base.meiosis)
    assert x.female_only.tolist() == base.female_only.tolist()
    for name in ("meiosis", "fusion", "female_only", "male_only"):
        with pytest.raises(ValueError, match="read-only"):
            getattr(x, name)[0] = 0
    np.testing.assert_array_equal(x.offspring_tensor, tensor)


def test_params_refuses_fitness_tables_of_the_wrong_shape():
    bp = qorin.Blueprint(3, 1, G.homing_drive())
    with pytest.raises(ValueError, match=r"zygote_viability_fitness must have shape \(2, 10\)"):
        qorin.Params(bp, zygote_viability_fitness=np.ones((2, 9)))
    with pytest.raises(ValueError, match=r"viability_fitness must have shape \(2, 3, 10\)"):
        qorin.Params(bp, viability_fitness=np.ones((3, 2, 10)))
    p = qorin.Params(bp, viability_fitness=np.ones(60), equilibrium_distribution=[])
    assert p.viability_fitness.shape == (2, 3, 10) and p.equilibrium_distribution.size == 0
