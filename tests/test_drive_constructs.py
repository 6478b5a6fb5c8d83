"""Drive constructs: offspring tables of crosses derived by hand, with the two
parents differing (so a sex swap or a parent-of-origin effect shows), the
fitness tables the constructs carry into Params, and argument checks."""

import numpy as np
import pytest

import qorin
from qorin import genetics as G


def row(locus, mother, father):
    """Offspring distribution of a cross as {label: share}, zero shares dropped."""
    z = locus.n_ztypes
    t = locus.offspring_tensor.reshape(z, z, z)[locus.index(mother), locus.index(father)]
    return {locus.labels[k]: v for k, v in enumerate(t) if v != 0.0}


def approx(d):
    return {k: pytest.approx(v, abs=1e-14) for k, v in d.items()}


def fit(locus, name, label, sex):
    return float(locus.fitness[name][sex, locus.index(label)])


# ----------------------------------------------------------------- driving Y
def test_driving_y_biases_the_sons_of_its_carriers_only():
    y = G.driving_y(transmission=0.9, cost=0.2, fecundity={"X/Yd": 0.7})
    assert y.labels == ["X/X", "X/Y", "X/Yd"] and y.has_sex_chromosomes
    assert row(y, "X/X", "X/Yd") == approx({"X/X": 0.1, "X/Yd": 0.9})
    assert row(y, "X/X", "X/Y") == approx({"X/X": 0.5, "X/Y": 0.5})
    assert fit(y, "zygote_viability_fitness", "X/Yd", 1) == pytest.approx(0.8)
    assert fit(y, "fecundity_fitness", "X/Yd", 1) == pytest.approx(0.7)
    assert fit(y, "zygote_viability_fitness", "X/Y", 1) == 1.0


# ----------------------------------------------------------------- zygotic homing
def test_zygotic_homing_acts_on_w_d_embryos_after_germline_homing():
    d = G.homing_drive(cutting=(0.8, 0.6), homing=(0.9, 0.5), functional_resistance=(0.2, 0.4),
                       zygotic_cutting=0.5, zygotic_homing=0.6)
    # mother W/D: gametes W 0.1, D 0.86, R 0.008, N 0.032; the W/D embryos (0.86)
    # keep W with 0.5, home with 0.5*0.6, else R/N with the female share 0.2
    assert row(d, "W/D", "W/W") == approx({
        "W/W": 0.1, "W/D": 0.43, "W/R": 0.008, "W/N": 0.032,
        "D/D": 0.86 * 0.3, "D/R": 0.86 * 0.5 * 0.4 * 0.2, "D/N": 0.86 * 0.5 * 0.4 * 0.8})
    # the swapped cross: the father's germline rates (W 0.2, D 0.65, R 0.06, N 0.09)
    assert row(d, "W/W", "W/D") == approx({
        "W/W": 0.2, "W/D": 0.325, "W/R": 0.06, "W/N": 0.09,
        "D/D": 0.65 * 0.3, "D/R": 0.65 * 0.5 * 0.4 * 0.2, "D/N": 0.65 * 0.5 * 0.4 * 0.8})
    # W/D embryos of parents that carry no D at all are impossible; D/D x W/W gives only W/D
    assert row(d, "D/D", "W/W") == approx({"W/D": 0.5, "D/D": 0.3, "D/R": 0.04, "D/N": 0.16})


def test_zygotic_homing_follows_maternal_deposition():
    d = G.homing_drive(cutting=0.0, deposition=0.5, zygotic_cutting=1.0, zygotic_homing=1.0)
    # D/D mother: each embryo's W is cut by deposition with 0.5 (into N); the rest are
    # W/D embryos converted in the zygote: half D/D, half D/N
    assert row(d, "D/D", "W/W") == approx({"D/D": 0.5, "D/N": 0.5})
    # a D/D father deposits nothing: every W/D embryo converts
    assert row(d, "W/W", "D/D") == approx({"D/D": 1.0})


def test_split_drive_zygotic_homing_needs_cas9_in_the_embryo():
    s = G.split_drive(cutting=0.0, zygotic_cutting=1.0, zygotic_homing=1.0)
    assert row(s, "D/D;C/C", "W/W;w/w") == approx({"D/D;w/C": 1.0})
    assert row(s, "D/D;w/w", "W/W;w/w") == approx({"W/D;w/w": 1.0})
    assert row(s, "D/D;w/w", "W/W;w/C") == approx({"W/D;w/w": 0.5, "D/D;w/C": 0.5})


# ----------------------------------------------------------------- Medea
def test_medea_kills_non_carriers_of_carrier_mothers():
    m = G.medea(toxicity=0.9, antidote=0.95)
    assert row(m, "W/M", "W/W") == approx({"W/W": 0.5 * 0.1, "W/M": 0.5 * 0.95})
    assert row(m, "W/W", "W/M") == approx({"W/W": 0.5, "W/M": 0.5})  # fathers pass no toxin
    assert row(m, "W/M", "W/M") == approx({"W/W": 0.025, "W/M": 0.475, "M/M": 0.2375})
    assert row(m, "M/M", "W/W") == approx({"W/M": 0.95})


def test_medea_costs():
    m = G.medea(cost=0.2, dominance=0.25)
    assert [fit(m, "zygote_viability_fitness", g, 0) for g in ("W/W", "W/M", "M/M")] == \
        pytest.approx([1.0, 0.95, 0.8])


# ----------------------------------------------------------------- underdominance
def test_underdominance_kills_carriers_of_one_construct():
    u = G.underdominance(lethality=0.9, cost=0.2, dominance=0.5)
    # segregation is Mendelian and independent at the two loci
    assert row(u, "a/A;b/B", "a/a;b/b") == approx({"a/a;b/b": 0.25, "a/a;b/B": 0.25,
                                                   "a/A;b/b": 0.25, "a/A;b/B": 0.25})
    assert row(u, "A/A;B/B", "a/a;b/b") == approx({"a/A;b/B": 1.0})
    v = {g: fit(u, "zygote_viability_fitness", g, 0) for g in u.labels}
    assert v["a/a;b/b"] == 1.0
    assert v["a/A;b/b"] == pytest.approx(0.1 * 0.9)  # one A, no B: lethal 0.9, one copy cost 0.1
    assert v["a/a;B/B"] == pytest.approx(0.1 * 0.8)
    assert v["a/A;b/B"] == pytest.approx(0.9 * 0.9)
    assert v["A/A;B/B"] == pytest.approx(0.8 * 0.8)
    np.testing.assert_array_equal(u.fitness["zygote_viability_fitness"][0],
                                  u.fitness["zygote_viability_fitness"][1])


# ----------------------------------------------------------------- dominant (female) lethal
def test_female_lethal_tables():
    f = G.female_lethal(lethality=(1.0, 0.0), sterility=(0.0, 0.3))
    assert row(f, "W/W", "L/L") == approx({"W/L": 1.0})
    assert [fit(f, "zygote_viability_fitness", g, 0) for g in f.labels] == [1.0, 0.0, 0.0]
    assert [fit(f, "zygote_viability_fitness", g, 1) for g in f.labels] == [1.0, 1.0, 1.0]
    assert [fit(f, "fecundity_fitness", g, 1) for g in f.labels] == pytest.approx([1.0, 0.7, 0.7])
    assert [fit(f, "fecundity_fitness", g, 0) for g in f.labels] == [1.0, 1.0, 1.0]
    late = G.female_lethal(lethality=(0.8, 0.5), timing="late")
    assert "zygote_viability_fitness" not in late.fitness
    np.testing.assert_allclose(late.fitness["viability_fitness"], [[1.0, 0.2, 0.2], [1.0, 0.5, 0.5]])


def test_female_lethal_in_a_discrete_generation():
    """One deterministic generation of W/W females x L/L males: every offspring
    is W/L, so no daughter is born (early) or survives age 0 (late)."""
    for timing in ("early", "late"):
        f = G.female_lethal(timing=timing)
        bp = qorin.Blueprint(2, 1, f, generations="discrete", stochastic=False)
        bp.initial_individual_count[0, 1, f.index("W/W")] = 10.0
        bp.initial_individual_count[1, 1, f.index("L/L")] = 10.0
        params = qorin.Params(bp, eggs_per_female=4.0, growth_mode=0)
        if timing == "late":
            assert params.viability_fitness[0, 0].tolist() == [1.0, 0.0, 0.0]
            assert params.viability_fitness[:, 1].tolist() == [[1.0] * 3, [1.0] * 3]
        ds = qorin.simulate(bp, params, 1)
        adults = ds["count"].sel(tick=1, age=1)
        assert float(adults.sel(sex="female").sum()) == 0.0
        assert float(adults.sel(sex="male", genotype="W/L")) == pytest.approx(20.0)


# ----------------------------------------------------------------- cleave and rescue
def test_cleave_and_rescue_germline_cutting_and_deposition():
    c = G.cleave_and_rescue(cutting=(0.9, 0.7), deposition=0.5)
    # mother w/C;T/T: gametes (w|C) x (T 0.1 | t 0.9); deposition then breaks each T of
    # every embryo with 0.5
    assert row(c, "w/C;T/T", "w/w;T/T") == approx({
        "w/w;T/T": 0.0125, "w/w;T/t": 0.25, "w/w;t/t": 0.2375,
        "w/C;T/T": 0.0125, "w/C;T/t": 0.25, "w/C;t/t": 0.2375})
    # the father carries C: his germline rate 0.7, no deposition
    assert row(c, "w/w;T/T", "w/C;T/T") == approx({
        "w/w;T/T": 0.15, "w/w;T/t": 0.35, "w/C;T/T": 0.15, "w/C;T/t": 0.35})
    v = {g: fit(c, "zygote_viability_fitness", g, 0) for g in c.labels}
    assert v["w/w;t/t"] == 0.0 and v["w/C;t/t"] == 1.0 and v["w/w;T/t"] == 1.0


def test_cleave_and_rescue_without_the_element_is_mendelian():
    c = G.cleave_and_rescue(cutting=1.0)
    assert row(c, "w/w;T/t", "w/w;T/T") == approx({"w/w;T/T": 0.5, "w/w;T/t": 0.5})
    assert row(c, "C/C;T/T", "w/w;t/t") == approx({"w/C;t/t": 1.0})


# ----------------------------------------------------------------- checks
@pytest.mark.parametrize("builder, kwargs, match", [
    (G.driving_y, {"transmission": 1.5}, "transmission"),
    (G.medea, {"toxicity": -0.1}, "toxicity"),
    (G.medea, {"allele_names": ("W", "W")}, "allele_names"),
    (G.underdominance, {"allele_names": (("a", "A"), ("A", "B"))}, "differ"),
    (G.underdominance, {"allele_names": ("aA", "bB")}, "two pairs"),
    (G.underdominance, {"lethality": float("nan")}, "lethality"),
    (G.female_lethal, {"timing": "middle"}, "timing"),
    (G.female_lethal, {"sterility": (0.1, 2.0)}, "sterility"),
    (G.cleave_and_rescue, {"cutting": {"female": 0.5}}, "cutting"),
    (G.cleave_and_rescue, {"fitness": {"w/C;T/T": -1}}, "finite"),
    (G.homing_drive, {"zygotic_cutting": 2}, "zygotic_cutting"),
])
def test_bad_arguments_name_themselves(builder, kwargs, match):
    with pytest.raises(ValueError, match=match):
        builder(**kwargs)


def test_every_builder_is_listed_by_name():
    assert set(G.BUILDERS) >= {"driving_y", "medea", "underdominance", "female_lethal",
                               "cleave_and_rescue", "homing_drive", "x_linked_distorter"}
    for name, make in G.BUILDERS.items():
        assert make().description["builder"] == name
