"""Drift in discrete and Wright-Fisher generations against population-genetic
theory, with tolerances of four standard errors from the sampling variance of
the replicates: the variance of one generation's change in allele frequency,
the decay of heterozygosity and Kimura's fixation probability."""

import numpy as np
import pytest

import qorin
from qorin import genetics as G
from qorin.sweeps import Model


def frequency(ds, allele="A1"):
    return qorin.allele_frequencies(ds, adults_only=True).sel(allele=allele)


def discrete_model(n, sampling_kind="discrete", sampler="exact"):
    bp = qorin.Blueprint(2, 1, G.autosomal_locus(2), generations=sampling_kind, stochastic=True,
                         sampling=sampler)
    half = n // 2
    bp.initial_individual_count[:, 1, :] = [half / 4, half / 2, half / 4]
    return Model(bp, qorin.Params(bp, growth_mode=1, carrying_capacity=float(n)))


def check_variance(p1, expected):
    """The sample variance of p1 against `expected`, within 4 standard errors
    (the variance of a sample variance is about 2 sigma^4 / (R - 1))."""
    r = p1.size
    var = float(np.var(p1, ddof=1))
    se = expected * np.sqrt(2.0 / (r - 1))
    assert abs(var - expected) < 4 * se, (var, expected, se)


@pytest.mark.parametrize("sampling", ["multinomial", "poisson"])
def test_one_wright_fisher_generation_samples_2n_genes(sampling):
    """From p = 1/2 in Hardy-Weinberg proportions with 50 adults of each sex,
    the next generation's frequency has variance pq/(2N)."""
    n = 100
    model = qorin.wright_fisher(n, frequencies={"A1": 0.5}, sampling=sampling)
    ds = qorin.sweep(model, 1, replicates=3000, seed=5, sperm=False)
    p1 = frequency(ds).sel(tick=1).values
    assert abs(p1.mean() - 0.5) < 4 * np.sqrt(0.25 / (2 * n) / p1.size)
    check_variance(p1, 0.25 / (2 * n))


@pytest.mark.parametrize("sampler", ["exact", "aggregated"])
def test_one_discrete_generation_samples_the_fathers_twice(sampler):
    """In the staged discrete tick each of the N_f females draws one father
    genotype for her brood, then the cap draws the N recruits: the variance is
    pq/(2N) + pq/(8 N_f), whichever sampler draws the newborns."""
    n = 104  # 52 adults of each sex: 13, 26 and 13 of the three genotypes
    ds = qorin.sweep(discrete_model(n, sampler=sampler), 1, replicates=3000, seed=6, sperm=False)
    p1 = frequency(ds).sel(tick=1).values
    check_variance(p1, 0.25 / (2 * n) + 0.25 / (8 * (n // 2)))


def test_heterozygosity_decays_as_wright_fisher_theory():
    n, t, r = 50, 60, 400
    model = qorin.wright_fisher(n, frequencies={"A1": 0.5})
    ds = qorin.sweep(model, t, replicates=r, seed=8, record_interval=20, sperm=False)
    p = frequency(ds)
    h = 2 * p * (1 - p)
    mean, se = h.mean("replicate"), h.std("replicate") / np.sqrt(r)
    theory = 0.5 * (1 - 1 / (2 * n)) ** ds["tick"]
    for tick in (20, 40, 60):
        assert abs(float(mean.sel(tick=tick) - theory.sel(tick=tick))) < 4 * float(se.sel(tick=tick))


@pytest.mark.parametrize("s", [0.0, 0.1])
def test_fixation_probability_matches_kimura(s):
    n, p0, r = 30, 0.1, 400
    locus = G.autosomal_locus(2, ["A", "a"])
    w = [1.0, 1.0 + s / 2, 1.0 + s]
    model = qorin.wright_fisher(n, locus, frequencies={"a": p0}, zygote_viability_fitness=[w, w])
    ds = qorin.sweep(model, 300, replicates=r, seed=12, record_interval=300, sperm=False)
    final = frequency(ds, "a").isel(tick=-1).values
    assert np.mean((final > 0) & (final < 1)) < 0.02
    u = p0 if s == 0 else (1 - np.exp(-2 * n * s * p0)) / (1 - np.exp(-2 * n * s))
    assert abs(np.mean(final == 1.0) - u) < 4 * np.sqrt(u * (1 - u) / r)
