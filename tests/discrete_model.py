"""Pure-Python model of the discrete-generation kernels (reproduction without
sperm storage, juvenile survival, aging), of the fused Wright-Fisher generation
and of the staged and Wright-Fisher ticks with their hook events, written step
by step from the model's description and drawing from the stream model.

State: ind[sex, age, z] over a flat list of 4*Z counts (A = 2: age 0 the
newborns, age 1 the adults). Arithmetic is plain IEEE double arithmetic read
left to right, sums run in index order from 0.0, so the engine can be compared
with this model bit for bit.
"""
import math

import numpy as np

import hook_model as hooks
from lifecycle_model import ONE, ZERO, KernelError, Sampler, add_zygotes, draw_by_mode, regulation_scaling, split_by_mode
from model_util import clamp01, round_count, round_half_away
from qorin import reference

A = 2


class Layout:
    def __init__(self, Z, mode, fixed_egg_count=False, female_only=None, male_only=None):
        self.Z, self.mode = Z, mode
        self.fixed_egg_count = fixed_egg_count
        self.sex_chromosomes = female_only is not None or male_only is not None
        self.female_only = [bool(v) for v in female_only] if female_only is not None else [False] * Z
        self.male_only = [bool(v) for v in male_only] if male_only is not None else [False] * Z


def at(Z, sex, age, z):
    return (sex * A + age) * Z + z


def floor0(x):
    """max(x, 0) letting NaN through."""
    return 0.0 if x < 0 else x


def compatibility_share(fc, mc):
    return 0.5 if fc + mc <= ZERO else clamp01(fc / (fc + mc))


# ---------------------------------------------------------------------------
# Steps shared with the age-structured reproduction and survival
# ---------------------------------------------------------------------------
def mating_matrix(Z, ssf, m):
    P, has = [[0.0] * Z for _ in range(Z)], [False] * Z
    for i in range(Z):
        w = [ssf[i * Z + j] * m[j] for j in range(Z)]
        s = 0.0
        for j in range(Z):
            s = s + w[j]
        if math.isfinite(s) and s > ZERO:
            P[i] = [w[j] / s for j in range(Z)]
            has[i] = True
    return P, has


def allocate_sexes(rng, L, inp, zyg):
    Z, mode = L.Z, L.mode
    daughters, sons = [0.0] * Z, [0.0] * Z
    total = 0.0
    for k in range(Z):
        total = total + zyg[k]
    if not total > ZERO:
        return daughters, sons
    for k in range(Z):
        if not zyg[k] > ZERO:
            continue
        if not L.sex_chromosomes:
            p = clamp01(inp["sex_ratio"])
        elif L.female_only[k]:
            daughters[k], sons[k] = zyg[k], 0.0
            continue
        elif L.male_only[k]:
            daughters[k], sons[k] = 0.0, zyg[k]
            continue
        else:
            p = compatibility_share(inp["female_ztype_compatibility"][k], inp["male_ztype_compatibility"][k])
        d = zyg[k] * p if mode == "deterministic" else draw_by_mode(rng, mode, zyg[k], p)
        daughters[k] = d
        sons[k] = zyg[k] - d
    return daughters, sons


def write_newborns(rng, mode, zvf, daughters, sons, ind, Z):
    for k in range(Z):
        ind[at(Z, 0, 0, k)] = daughters[k]
        ind[at(Z, 1, 0, k)] = sons[k]
    for k in range(Z):
        f, m = at(Z, 0, 0, k), at(Z, 1, 0, k)
        vf, vm = zvf[k], zvf[Z + k]
        if mode == "deterministic":
            ind[f] = vf * ind[f]
            ind[m] = vm * ind[m]
        elif mode == "stochastic":
            nf = round_count(ind[f])
            d = rng.binomial(nf, vf) if nf >= 1 else 0.0
            nm = round_count(ind[m])
            s = rng.binomial(nm, vm) if nm >= 1 else 0.0
            ind[f], ind[m] = d, s
        else:
            d = rng.continuous_binomial(ind[f], vf) if ind[f] > 0 else 0.0
            s = rng.continuous_binomial(ind[m], vm) if ind[m] > 0 else 0.0
            ind[f], ind[m] = d, s


def recruit(rng, mode, h, ind, Z):
    stochastic = mode == "stochastic"
    J = [ind[at(Z, 0, 0, z)] for z in range(Z)] + [ind[at(Z, 1, 0, z)] for z in range(Z)]
    if stochastic:
        J = [round_half_away(v) for v in J]
    S = 0.0
    for v in J:
        S = S + v
    new = [0.0] * (2 * Z)
    if S > 0:
        T = h * S
        if stochastic:
            T = round_half_away(T)
        if not T > 0:
            pass
        elif mode == "deterministic":
            new = [(T / S) * v for v in J]
        else:
            new = split_by_mode(rng, mode, T, [v / S for v in J])
    for z in range(Z):
        ind[at(Z, 0, 0, z)] = new[z]
        ind[at(Z, 1, 0, z)] = new[Z + z]


# ---------------------------------------------------------------------------
# Staged kernels
# ---------------------------------------------------------------------------
def reproduction(rng, L, inp, ind):
    Z, mode = L.Z, L.mode
    mating = inp["mating_rates"]
    fec = inp["fecundity_fitness"]
    off = inp["offspring_tensor"]

    # 1. Male pool and adult females.
    m = [mating[A + 1] * ind[at(Z, 1, 1, j)] for j in range(Z)]
    F = 0.0
    for i in range(Z):
        F = F + ind[at(Z, 0, 1, i)]
    M_total = 0.0
    for j in range(Z):
        M_total = M_total + m[j]
    if F == 0 or M_total == 0:
        return

    # 2. Mating matrix.
    P, has = mating_matrix(Z, inp["sexual_selection_fitness"], m)

    # 3. Mated females split into pairs.
    pairs = [[0.0] * Z for _ in range(Z)]
    q = clamp01(mating[1])
    for i in range(Z):
        n = ind[at(Z, 0, 1, i)]
        if not n > 0:
            continue
        if mode == "deterministic":
            mated = q * n
        elif mode == "stochastic":
            mated = rng.binomial(round_count(n), q) if round_count(n) >= 1 else 0.0
        else:
            mated = rng.continuous_binomial(n, q)
        if mated <= ZERO:
            continue
        if not has[i]:
            continue  # no available male is accepted: no pairs
        if mode == "deterministic":
            for j in range(Z):
                pairs[i][j] = pairs[i][j] + mated * P[i][j]
        elif mode == "stochastic":
            if round_count(mated) > 0:
                got = rng.multinomial(round_count(mated), P[i])
                for j in range(Z):
                    pairs[i][j] = pairs[i][j] + got[j]
        else:
            got = rng.continuous_multinomial(mated, P[i])
            for j in range(Z):
                pairs[i][j] = pairs[i][j] + got[j]

    # 4. Eggs of every pair into zygotes.
    r = clamp01(inp["reproduction_rates"][1])
    eggs = inp["eggs_per_female"]
    zyg = [0.0] * Z
    for i in range(Z):
        for j in range(Z):
            n = pairs[i][j]
            if not n > 0:
                continue
            E = (eggs * fec[i]) * fec[Z + j]
            if mode == "deterministic":
                x = (r * n) * E
            elif mode == "stochastic":
                if round_count(n) <= 0:
                    continue
                count = rng.binomial(round_count(n), r) if r < ONE else n
                o = floor0(E * count)
                x = round_half_away(o) if L.fixed_egg_count else rng.poisson(o)
            else:
                count = rng.continuous_binomial(n, r) if r < ONE else n
                o = floor0(E * count)
                x = o if L.fixed_egg_count else rng.continuous_poisson(o)
            add_zygotes(rng, mode, x, off[(i * Z + j) * Z:(i * Z + j + 1) * Z], zyg)

    # 5. Sexes, newborns and zygote viability.
    daughters, sons = allocate_sexes(rng, L, inp, zyg)
    write_newborns(rng, mode, inp["zygote_viability_fitness"], daughters, sons, ind, Z)


def survival(rng, L, inp, ind):
    Z, mode = L.Z, L.mode
    N0 = 0.0
    for z in range(Z):
        N0 = N0 + (ind[at(Z, 0, 0, z)] + ind[at(Z, 1, 0, z)])
    gm = int(inp["growth_mode"])
    h = 1.0
    if gm == 1:
        h = regulation_scaling(1, N0, inp["carrying_capacity"], inp["low_density_growth_rate"], 1.0)
    elif gm in (2, 3, 4) and inp.get("equilibrium") is not None:
        c, base = inp["equilibrium"]
        h = regulation_scaling(gm, N0, c, inp["low_density_growth_rate"], base)
    recruit(rng, mode, h, ind, Z)

    sr, via = inp["survival_rates"], inp["viability_fitness"]
    for z in range(Z):
        f = sr[0] * via[at(Z, 0, 0, z)]
        g = sr[A] * via[at(Z, 1, 0, z)]
        for cell, p in ((at(Z, 0, 0, z), f), (at(Z, 1, 0, z), g)):
            n = ind[cell]
            if mode == "deterministic":
                ind[cell] = n * p
            elif mode == "stochastic":
                ind[cell] = rng.binomial(round_count(n), p) if round_count(n) >= 1 else 0.0
            else:
                ind[cell] = rng.continuous_binomial(n, p) if n > 0 else 0.0


def aging(Z, ind):
    for z in range(Z):
        ind[at(Z, 0, 1, z)] = ind[at(Z, 0, 0, z)]
        ind[at(Z, 1, 1, z)] = ind[at(Z, 1, 0, z)]
        ind[at(Z, 0, 0, z)] = 0.0
        ind[at(Z, 1, 0, z)] = 0.0


# ---------------------------------------------------------------------------
# Fused Wright-Fisher generation
# ---------------------------------------------------------------------------
def wf_generation(rng, L, inp, speed_mode, ind):
    Z = L.Z
    if speed_mode not in (1, 2, 3):
        raise KernelError(f"unrecognised extreme_speed_mode={speed_mode}")
    mating, fec, ssf = inp["mating_rates"], inp["fecundity_fitness"], inp["sexual_selection_fitness"]
    off = inp["offspring_tensor"]
    q_f, q_m = mating[1], mating[A + 1]
    r, eggs, sr = inp["reproduction_rates"][1], inp["eggs_per_female"], inp["sex_ratio"]

    # 3. Expected newborns.
    daughters, sons = [0.0] * Z, [0.0] * Z
    m = [q_m * ind[at(Z, 1, 1, j)] for j in range(Z)]
    for i in range(Z):
        w = q_f * (ind[at(Z, 0, 1, i)] * fec[i])
        d = 0.0
        for j in range(Z):
            d = d + ssf[i * Z + j] * m[j]
        if w <= 0 or d <= 0:
            continue
        for j in range(Z):
            if not m[j] > 0:
                continue
            pairs = (w * (m[j] / d)) * ssf[i * Z + j]
            if pairs <= 0:
                continue
            for k in range(Z):
                o = off[(i * Z + j) * Z + k]
                if not o > 0:
                    continue
                x = (r * (eggs * (o * pairs))) * fec[Z + j]
                if not L.sex_chromosomes:
                    daughters[k] = daughters[k] + sr * x
                    sons[k] = sons[k] + (1 - sr) * x
                elif L.female_only[k]:
                    daughters[k] = daughters[k] + x
                elif L.male_only[k]:
                    sons[k] = sons[k] + x
                else:
                    p = compatibility_share(inp["female_ztype_compatibility"][k],
                                            inp["male_ztype_compatibility"][k])
                    daughters[k] = daughters[k] + x * p
                    sons[k] = sons[k] + x * (1 - p)

    # 4. Zygote viability.
    zvf = inp["zygote_viability_fitness"]
    daughters = [daughters[k] * zvf[k] for k in range(Z)]
    sons = [sons[k] * zvf[Z + k] for k in range(Z)]

    # 5. Density regulation.
    gm = int(inp["growth_mode"])
    if gm >= 1:
        N = 0.0
        for v in daughters + sons:
            N = N + v
        h = 1.0
        if gm == 1:
            h = regulation_scaling(1, N, inp["carrying_capacity"], inp["low_density_growth_rate"], 1.0)
        elif gm <= 4 and inp.get("equilibrium") is not None:
            c, base = inp["equilibrium"]
            h = regulation_scaling(gm, N, c, inp["low_density_growth_rate"], base)
        if h is None:
            h = 1.0
        daughters = [v * h for v in daughters]
        sons = [v * h for v in sons]

    # 6. Juvenile survival.
    sv, via = inp["survival_rates"], inp["viability_fitness"]
    daughters = [(via[at(Z, 0, 0, k)] * sv[0]) * daughters[k] for k in range(Z)]
    sons = [(via[at(Z, 1, 0, k)] * sv[A]) * sons[k] for k in range(Z)]

    # 7. Sampling.
    if L.mode != "deterministic":
        if speed_mode == 1:
            T = 0.0
            for v in daughters + sons:
                T = T + v
            if T > 0:
                got = rng.multinomial(round_count(T), [v / T for v in daughters + sons])
                daughters, sons = got[:Z], got[Z:]
        elif speed_mode == 2:
            for k in range(Z):
                daughters[k] = rng.poisson(floor0(daughters[k]))
                sons[k] = rng.poisson(floor0(sons[k]))

    # 8. Write.
    for k in range(Z):
        ind[at(Z, 0, 0, k)] = 0.0
        ind[at(Z, 1, 0, k)] = 0.0
        ind[at(Z, 0, 1, k)] = daughters[k]
        ind[at(Z, 1, 1, k)] = sons[k]


def as_floats(v):
    return [float(x) for x in np.asarray(v, dtype=np.float64).ravel()]


def run_stage(stage, ind, Z, mode, inputs, words, fixed_egg_count=False, female_only=None, male_only=None,
              extreme_speed_mode=1):
    """Same arguments and result as the engine's discrete_stage test hook:
    returns (ind, words) as lists, or raises KernelError."""
    L = Layout(Z, mode, fixed_egg_count, female_only, male_only)
    ind = as_floats(ind)
    inp = {k: (as_floats(v) if hasattr(v, "__len__") and k != "equilibrium" else v) for k, v in inputs.items()}
    rng = Sampler(list(words))
    if stage == "reproduction":
        reproduction(rng, L, inp, ind)
    elif stage == "survival":
        survival(rng, L, inp, ind)
    elif stage == "aging":
        aging(Z, ind)
    else:
        wf_generation(rng, L, inp, extreme_speed_mode, ind)
    return ind, rng.s


# ---------------------------------------------------------------------------
# Ticks built from the contracts
# ---------------------------------------------------------------------------
ECOLOGY_ARRAYS = ("mating_rates", "reproduction_rates", "fertility", "survival_rates", "competition_weights")
GENETICS_ARRAYS = ("viability_fitness", "fecundity_fitness", "sexual_selection_fitness",
                   "zygote_viability_fitness", "offspring_tensor", "female_ztype_compatibility",
                   "male_ztype_compatibility")


def kernel_inputs(bp, params, scalars):
    """The kernels' inputs: arrays from params, the five scalars as committed,
    and the equilibrium calibration of those values."""
    inp = {name: as_floats(getattr(params, name)) for name in ECOLOGY_ARRAYS + GENETICS_ARRAYS}
    for i, name in enumerate(hooks.SCALAR_NAMES):
        inp[name] = scalars[i]
    inp["growth_mode"] = int(params.growth_mode)
    declared = params.equilibrium_distribution
    inp["equilibrium"] = reference.equilibrium_metrics(
        scalars[0], scalars[1], scalars[2], params.survival_rates, params.reproduction_rates, params.fertility,
        params.competition_weights, bp.new_adult_age, bp.n_ages, bp.has_sex_chromosomes,
        bp.discrete_generation, declared if declared.size else None, params.external_expected_eggs)
    return inp


def layout_of(bp):
    mode = "deterministic" if not bp.stochastic else ("continuous" if bp.continuous_sampling else "stochastic")
    sex = bool(bp.has_sex_chromosomes)
    return Layout(int(bp.n_ztypes), mode, bool(bp.fixed_egg_count),
                  list(bp.female_only_by_sex_chrom) if sex else None,
                  list(bp.male_only_by_sex_chrom) if sex else None)


def run_tick(bp, params, ind, words, tick, wf, program=None):
    """Mirrors `_engine_testing.discrete_tick(..., keep_state_on_error=True)`:
    returns the dict it returns (ind, code or error, words, journal, scalars,
    stage); an error leaves the changes made before it."""
    Z = int(bp.n_ztypes)
    L = layout_of(bp)
    p = hooks.program_columns(program) if program is not None else None
    rng = Sampler(list(words))
    ind = as_floats(ind)
    ecology = hooks.Ecology([getattr(params, n) for n in hooks.SCALAR_NAMES], 1)
    staged = list(ecology.demes[0])
    journal = []
    state = {"stage": 0}

    def event(event_id, stage):
        state["stage"] = stage
        code = 0
        if p is not None:
            ev = hooks._Event(p, rng, ind, [], A, Z, tick, 0, staged, L.mode != "deterministic",
                              L.mode == "continuous", ecology, journal, stage, [])
            code = ev.run(event_id)
        hooks.commit(ecology, 0, tick, stage, staged, journal)
        return code

    def kernel(stage, fn):
        state["stage"] = stage
        fn(rng, L, kernel_inputs(bp, params, ecology.demes[0]), ind)

    def tick_steps():
        code = event(0, 0)
        if code:
            return code
        if wf:
            wf_generation(rng, L, kernel_inputs(bp, params, ecology.demes[0]), int(bp.extreme_speed_mode), ind)
            return 0
        kernel(1, reproduction)
        code = event(1, 2)
        if code:
            return code
        kernel(3, survival)
        code = event(2, 4)
        if code:
            return code
        state["stage"] = 5
        aging(Z, ind)
        return 0

    out = {}
    try:
        out["code"] = tick_steps()
    except (KernelError, hooks.HookError) as e:
        out["error"] = str(e)
    out.update(ind=ind, words=list(rng.s), journal=journal, scalars=list(ecology.demes[0]),
               stage=state["stage"])
    return out
