"""Population-genetic checks of the discrete-generation and Wright-Fisher
ticks: Hardy-Weinberg proportions, the deterministic viability-selection
recursion, the decay of expected heterozygosity under drift and the fixation
probability of a neutral allele.

Random outcomes are compared with their expectations within Z_BOUND standard
errors, the standard error coming from the sampling variance of the quantity
(binomial counts, or the spread of the replicates themselves): a correct
engine fails one check with probability below 1e-6.
"""
import numpy as np
import pytest

from qorin import _engine_rs
from qorin import genetics
from qorin import hooks as H
from qorin.contracts import Blueprint, Params

Z_BOUND = 5.0


def run_generations(blueprint, params, generations, seed=0, wf=False, program=None):
    """Runs up to `generations` ticks of a discrete model from its initial
    state. Returns (counts, stopped): counts[t] is the state at boundary t as
    an array [sex, age, ztype]; a hook stop ends the run early."""
    session = _engine_rs.DiscreteEngineSession(blueprint, params, seed=seed)
    if program is not None:
        session.set_hook_program(program)
    _, rows, stopped = session.run(generations, 1, wf)
    return rows[:, 1:].reshape(-1, 2, 2, blueprint.n_ztypes), stopped


def allele_matrix(n_alleles):
    """copies[z, a]: copies of allele a in genotype z of an autosomal locus."""
    pairs = [(i, j) for i in range(n_alleles) for j in range(i, n_alleles)]
    copies = np.zeros((len(pairs), n_alleles))
    for z, (i, j) in enumerate(pairs):
        copies[z, i] += 1
        copies[z, j] += 1
    return copies, pairs


def allele_freqs(genotype_counts, copies):
    return genotype_counts @ copies / (2.0 * genotype_counts.sum())


def model(adults, *, wf, stochastic=False, n_alleles=2, **params):
    locus = genetics.autosomal_locus(n_alleles)
    bp = Blueprint(2, 1, locus, stochastic=stochastic, discrete_generation=True, extreme_speed_mode=1 if wf else 0)
    bp.initial_individual_count[:, 1, :] = adults
    defaults = dict(growth_mode=0, eggs_per_female=2.0, sex_ratio=0.5)
    defaults.update(params)
    return bp, Params(bp, locus, **defaults)


@pytest.mark.parametrize("wf,stochastic", [(False, False), (True, False), (True, True)],
                         ids=["staged", "wf-expected", "wf-multinomial"])
def test_hardy_weinberg_after_one_round_of_random_mating(wf, stochastic):
    """Parents far from Hardy-Weinberg (two genotypes only), with the same
    allele frequencies in both sexes: their offspring are in Hardy-Weinberg
    proportions p_i^2 and 2 p_i p_j."""
    copies, pairs = allele_matrix(3)
    parents = np.zeros(len(pairs))
    parents[pairs.index((0, 0))] = 1000.0
    parents[pairs.index((1, 2))] = 1000.0
    N = 20000.0
    bp, params = model(parents, wf=wf, stochastic=stochastic, n_alleles=3,
                       growth_mode=1, carrying_capacity=N, eggs_per_female=50.0)
    p = allele_freqs(parents, copies)
    hw = np.array([p[i] * p[j] * (1 if i == j else 2) for i, j in pairs])

    counts, _ = run_generations(bp, params, 1, seed=7, wf=wf)
    offspring = counts[1, :, 1, :].sum(axis=0)  # the new adults, both sexes
    assert offspring.sum() == pytest.approx(N, rel=1e-12)
    if not stochastic:
        np.testing.assert_allclose(offspring / offspring.sum(), hw, rtol=1e-12)
    else:
        # One multinomial of N over the genotype-by-sex classes: each genotype's
        # count is binomial(N, hw).
        sd = np.sqrt(N * hw * (1 - hw))
        assert np.all(np.abs(offspring - N * hw) <= Z_BOUND * sd)


@pytest.mark.parametrize("wf", [False, True], ids=["staged", "wf-expected"])
@pytest.mark.parametrize("w", [(1.0, 0.8, 0.5), (0.7, 1.0, 0.4)], ids=["directional", "overdominant"])
def test_viability_selection_follows_the_one_locus_recursion(w, wf):
    """Juvenile viability w = (w_AA, w_Aa, w_aa) in a deterministic model:
    p' = (p^2 w_AA + p q w_Aa) / (p^2 w_AA + 2 p q w_Aa + q^2 w_aa)."""
    copies, _ = allele_matrix(2)
    adults = np.array([10.0, 20.0, 70.0])
    viability = np.ones((2, 2, 3))
    viability[:, 0, :] = w
    # Regulation to K scales every class alike: it keeps the population away
    # from the zero tolerance without changing frequencies.
    bp, params = model(adults, wf=wf, viability_fitness=viability, growth_mode=1, carrying_capacity=1000.0,
                       eggs_per_female=4.0)
    G = 150
    counts, _ = run_generations(bp, params, G, wf=wf)
    observed = [allele_freqs(counts[t, :, 1, :].sum(axis=0), copies)[0] for t in range(G + 1)]

    p, expected = 0.2, [0.2]
    for _ in range(G):
        q = 1 - p
        mean_w = p * p * w[0] + 2 * p * q * w[1] + q * q * w[2]
        p = (p * p * w[0] + p * q * w[1]) / mean_w
        expected.append(p)
    np.testing.assert_allclose(observed, expected, rtol=1e-10)
    if w[1] > max(w[0], w[2]):  # overdominance: the polymorphic equilibrium
        p_star = (w[1] - w[2]) / (2 * w[1] - w[0] - w[2])
        assert abs(observed[-1] - p_star) < 1e-9


def test_expected_heterozygosity_decays_by_one_over_2n_per_generation():
    """Wright-Fisher sampling of N diploids (mode 1): averaged over
    replicates, 2pq falls as H0 (1 - 1/(2N))^t."""
    N, R, G = 100, 2000, 60
    copies, _ = allele_matrix(2)
    bp, params = model([12.0, 26.0, 12.0], wf=True, stochastic=True, growth_mode=1,
                       carrying_capacity=float(N), eggs_per_female=10.0)
    het = np.empty((R, G + 1))
    for r in range(R):
        counts, _ = run_generations(bp, params, G, seed=r, wf=True)
        adults = counts[:, :, 1, :].sum(axis=1)
        assert np.all(adults.sum(axis=1)[1:] == N)  # the rounded expected total, every generation
        p = adults @ copies[:, 0] / (2.0 * N)
        het[r] = 2 * p * (1 - p)
    mean = het.mean(axis=0)
    se = het.std(axis=0, ddof=1) / np.sqrt(R)
    for t in (5, 20, 60):
        assert abs(mean[t] - 0.5 * (1 - 1 / (2 * N)) ** t) <= Z_BOUND * se[t], t


def test_neutral_allele_fixes_with_its_initial_frequency():
    """A neutral allele at frequency p0 in both sexes fixes with probability
    p0. Each replicate stops when the allele is lost or fixed (a hook stop in
    `first`); the fixed fraction is binomial(R, p0)."""
    N, R, p0 = 40, 3000, 0.2
    # 20 females and 20 males, each sex with 8 A/a and 12 a/a: 8 A alleles of 40.
    bp, params = model([0.0, 8.0, 12.0], wf=True, stochastic=True, growth_mode=1,
                       carrying_capacity=float(N), eggs_per_female=10.0)
    absorbed = (H.HookProgramBuilder(n_ages=2, n_ztypes=3)
                .add_hook("first", [H.stop_if_empty(ages=[1], ztypes=[0, 1]),   # A lost
                                    H.stop_if_empty(ages=[1], ztypes=[1, 2])])  # A fixed
                .build())
    fixed = 0
    for r in range(R):
        counts, stopped = run_generations(bp, params, 5000, seed=r, wf=True, program=absorbed)
        assert stopped
        fixed += counts[-1, :, 1, 0].sum() > 0
    se = np.sqrt(p0 * (1 - p0) / R)
    assert abs(fixed / R - p0) <= Z_BOUND * se
