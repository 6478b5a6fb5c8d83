"""A straightforward vectorized NumPy implementation of the deterministic
age-structured tick (reproduction, survival with density regulation, aging).

It serves as an independent check of the engine's deterministic kernels and as
the side-by-side baseline of the tick benchmark (bench/tick.py).
"""

import numpy as np

ZERO = 1e-10


def clamp01(x):
    return np.clip(np.nan_to_num(np.asarray(x, dtype=float), nan=0.0), 0.0, 1.0)


class NumpyTick:
    def __init__(self, bp, params, equilibrium=None):
        self.A = int(bp.n_ages)
        self.Z = int(bp.n_ztypes)
        self.start = int(bp.new_adult_age)
        self.p = params
        self.has_sex_chrom = bool(bp.has_sex_chromosomes)
        self.female_only = np.asarray(bp.female_only_by_sex_chrom, dtype=bool)
        self.male_only = np.asarray(bp.male_only_by_sex_chrom, dtype=bool)
        self.offspring = np.asarray(params.offspring_tensor, float).reshape(self.Z, self.Z, self.Z)
        self.equilibrium = equilibrium  # (competition strength, survival rate)

    def reproduction(self, ind, sperm):
        A, Z, s0, p = self.A, self.Z, self.start, self.p
        mr = np.asarray(p.mating_rates, float).reshape(2, A)
        pool = np.zeros(Z)
        for a in range(s0, A):
            pool += ind[1, a] * mr[1, a]
        if pool.sum() == 0.0:
            return
        w = np.asarray(p.sexual_selection_fitness, float).reshape(Z, Z) * pool
        s = w.sum(axis=1)
        ok = np.isfinite(s) & (s > ZERO)
        P = np.where(ok[:, None], w / np.where(ok, s, 1.0)[:, None], 0.0)
        rd = float(clamp01(p.sperm_displacement_rate))
        for a in range(s0, A):
            m_a = float(clamp01(mr[0, a]))
            q = rd * m_a
            stored = sperm[a].sum(axis=1)
            virgins = np.maximum(ind[0, a] - stored, 0.0)
            fresh = m_a * virgins
            remate = q * stored
            disp = (stored > ZERO) & (remate > ZERO)
            f = np.minimum(np.where(disp, remate / np.where(disp, stored, 1.0), 0.0), 1.0)
            sperm[a] -= sperm[a] * f[:, None]
            total = fresh + remate
            sperm[a] += np.where((total > ZERO)[:, None], total[:, None] * P, 0.0)
        eggs = max(float(np.nan_to_num(p.eggs_per_female)), 0.0)
        fec = np.asarray(p.fecundity_fitness, float).reshape(2, Z)
        rr = clamp01(p.reproduction_rates)
        fert = clamp01(p.fertility)
        zyg = np.zeros(Z)
        for a in range(s0, A):
            E = fert[a] * ((eggs * fec[0])[:, None] * fec[1][None, :])
            x = (rr[a] * sperm[a]) * E
            x = np.where((sperm[a] > 0) & (x > ZERO), x, 0.0)
            zyg += np.einsum("ij,ijk->k", x, self.offspring)
        daughters = np.zeros(Z)
        sons = np.zeros(Z)
        if zyg.sum() > ZERO:
            if self.has_sex_chrom:
                fc = np.asarray(p.female_ztype_compatibility, float)
                mc = np.asarray(p.male_ztype_compatibility, float)
                tot = fc + mc
                share = np.where(tot <= ZERO, 0.5, clamp01(fc / np.where(tot <= ZERO, 1.0, tot)))
                share = np.where(self.female_only, 1.0, np.where(self.male_only, 0.0, share))
            else:
                share = np.full(Z, float(clamp01(p.sex_ratio)))
            live = zyg > ZERO
            daughters = np.where(live, zyg * share, 0.0)
            sons = np.where(live, zyg - daughters, 0.0)
        zv = np.asarray(p.zygote_viability_fitness, float).reshape(2, Z)
        ind[0, 0] = zv[0] * daughters
        ind[1, 0] = zv[1] * sons

    def density_factor(self, ind):
        p = self.p
        mode = int(p.growth_mode)
        if mode == 0:
            return 1.0
        if mode == 1:
            n0 = ind[0, 0].sum() + ind[1, 0].sum()
            return min(p.carrying_capacity / n0, 1.0) if n0 > 0 else 1.0
        cw = np.asarray(p.competition_weights, float)
        juveniles = range(min(self.start, self.A))
        n = sum((ind[0, a].sum() + ind[1, a].sum()) * cw[a] for a in juveniles)
        c, base = self.equilibrium
        g = p.low_density_growth_rate
        if mode > 4:
            return 1.0
        if not c > 0:
            return 0.0
        x = n / c
        if mode == 2:
            return base * max(g - x * (g - 1.0), 0.0)
        if mode == 3:
            return (base * g) / (x * (g - 1.0) + 1.0)
        return base * g ** (1.0 - x)

    def survival(self, ind, sperm):
        A, Z, p = self.A, self.Z, self.p
        h = self.density_factor(ind)
        J = np.concatenate([ind[0, 0], ind[1, 0]])
        S = J.sum()
        if S > 0 and h * S > 0:
            new = (h * S / S) * J
            ind[0, 0], ind[1, 0] = new[:Z], new[Z:]
        else:
            ind[:, 0] = 0.0
        s = np.asarray(p.viability_fitness, float).reshape(2, A, Z) * \
            np.asarray(p.survival_rates, float).reshape(2, A)[:, :, None]
        ind *= s
        sperm *= s[0][:, :, None]

    def aging(self, ind, sperm):
        ind[:, 1:] = ind[:, :-1].copy()
        ind[:, 0] = 0.0
        sperm[1:] = sperm[:-1].copy()
        sperm[0] = 0.0

    def tick(self, ind, sperm):
        self.reproduction(ind, sperm)
        self.survival(ind, sperm)
        self.aging(ind, sperm)
