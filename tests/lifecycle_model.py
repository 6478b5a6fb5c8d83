"""Pure-Python model of one deme's lifecycle stages (reproduction, survival,
aging) in the three execution modes, written step by step from the model's
description and drawing from the stream model of rng_model.

It mirrors the statement order, the draw order, the clamping and the
tolerances of the description, so that the engine can be compared with it bit
for bit. Arithmetic is plain IEEE double arithmetic, read left to right.
"""
import math

from model_util import clamp01, format_number, round_count, round_half_away
from rng_model import PyRng

ZERO = 1e-10          # a quantity at or below this counts as zero
ONE = 0.9999999999    # a probability at or above this counts as one
SMALL = 1.0000000001  # counts at or below this are split without a draw


class KernelError(Exception):
    """A failure the engine reports as an error of the stage."""


class Sampler(PyRng):
    """The stream model plus the early returns, failures and composite samplers."""

    def binomial(self, n, p):
        if n < 1 or p <= 0:
            return 0.0
        if p >= 1:
            return float(n)
        if math.isnan(p):
            raise KernelError("clamped binomial parameters must be valid")
        return float(super().binomial(n, p))

    def poisson(self, lam):
        if lam <= 1e-10:
            return 0.0
        if lam >= 1.844e19:
            return lam
        if math.isnan(lam):
            raise KernelError("positive lambda must be valid")
        return float(super().poisson(lam))

    def gamma(self, a):
        if math.isnan(a):
            raise KernelError("positive gamma shape must be valid")
        return super().gamma(a)

    def multinomial(self, n, probs):
        out = [0.0] * len(probs)
        if n < 1 or not probs:
            return out
        K = len(probs)
        remaining = 1.0
        for i in range(K - 1):
            if n < 1:
                break
            if remaining > 0 and probs[i] > 0:
                c = min(max(probs[i] / remaining, 0.0), 1.0)
                x = int(self.binomial(n, c))
                out[i] = float(x)
                n = n - x
            remaining = remaining - probs[i]
        if n > 0:
            out[K - 1] = float(n)
        return out

    def continuous_binomial(self, n, p):
        if not (math.isfinite(n) and math.isfinite(p)):
            raise KernelError("continuous_binomial(): n and p must be finite")
        if p <= ZERO:
            return 0.0
        if p >= ONE:
            return n
        if n <= SMALL:
            return n * p
        a = self.gamma(max(p * (n - 1), 1e-10))
        b = self.gamma(max((n - 1) * (1 - p), 1e-10))
        if a == 0:
            return 0.0
        return n * (a / (a + b))

    def continuous_poisson(self, lam):
        if not math.isfinite(lam):
            raise KernelError("continuous_poisson(): lambda must be finite")
        if lam <= ZERO:
            return 0.0
        return self.gamma(lam)

    def continuous_multinomial(self, total, probs):
        out = [0.0] * len(probs)
        if total <= SMALL:
            return [total * p for p in probs]
        acc = 0.0
        for i, p in enumerate(probs):
            shape = (total - 1) * p
            out[i] = self.gamma(shape) if shape > ZERO else 0.0
            acc = acc + out[i]
        if acc > ZERO:
            out = [o * (total / acc) for o in out]
        else:
            out = [total * p for p in probs]
        if out:
            s = -0.0
            for o in out:
                s = s + o
            if s > ZERO and abs(s - total) > max(total, 1.0) * 1e-6:
                out = [o * (total / s) for o in out]
        return out


class Layout:
    def __init__(self, A, Z, new_adult_age, mode, fixed_egg_count=False,
                 female_only=None, male_only=None):
        self.A, self.Z, self.mode = A, Z, mode
        self.new_adult_age = new_adult_age
        self.adult_ages = list(range(new_adult_age, A))
        self.first_adult = self.adult_ages[0] if self.adult_ages else 0
        self.fixed_egg_count = fixed_egg_count
        self.sex_chromosomes = female_only is not None or male_only is not None
        self.female_only = list(female_only) if female_only is not None else [False] * Z
        self.male_only = list(male_only) if male_only is not None else [False] * Z


class State:
    """ind[sex, age, z] and sperm[age, i, j] over flat lists."""

    def __init__(self, A, Z, ind, sperm):
        self.A, self.Z = A, Z
        self.ind = [float(v) for v in ind]
        self.sperm = [float(v) for v in sperm]

    def i(self, sex, a, z):
        return (sex * self.A + a) * self.Z + z

    def s(self, a, i, j):
        return (a * self.Z + i) * self.Z + j


def draw_by_mode(rng, mode, count, p):
    """binomial(round(count), p) or continuous_binomial(count, p)."""
    if mode == "stochastic":
        return rng.binomial(round_count(count), p)
    return rng.continuous_binomial(count, p)


def split_by_mode(rng, mode, total, probs):
    if mode == "stochastic":
        return rng.multinomial(round_count(total), probs)
    return rng.continuous_multinomial(total, probs)


# ---------------------------------------------------------------------------
# Reproduction
# ---------------------------------------------------------------------------
def add_zygotes(rng, mode, x, o, zyg):
    """Adds x eggs of one pair to the zygote counts through its offspring row o."""
    Z = len(o)
    if x <= ZERO:
        return
    if mode == "deterministic":
        for k in range(Z):
            zyg[k] = zyg[k] + x * o[k]
        return
    s = 0.0
    for k in range(Z):
        s = s + o[k]
    if s <= ZERO:
        return
    if s < ONE:
        x = draw_by_mode(rng, mode, x, s)
        if x <= ZERO:
            return
    p = [(1 / s) * o[k] for k in range(Z)]
    got = split_by_mode(rng, mode, x, p)
    for k in range(Z):
        zyg[k] = zyg[k] + got[k]


def reproduction(rng, L, inp, st):
    A, Z, mode = L.A, L.Z, L.mode
    ind, sperm = st.ind, st.sperm
    mating = inp["mating_rates"]
    ssf = inp["sexual_selection_fitness"]
    fec = inp["fecundity_fitness"]
    off = inp["offspring_tensor"]
    zvf = inp["zygote_viability_fitness"]

    # Step 1: male pool.
    m = [0.0] * Z
    for a in L.adult_ages:
        for j in range(Z):
            m[j] = m[j] + ind[st.i(1, a, j)] * mating[A + a]
    M = 0.0
    for j in range(Z):
        M = M + m[j]
    if M == 0:
        return

    # Step 2: mating matrix.
    P = [[0.0] * Z for _ in range(Z)]
    has_mates = [False] * Z
    for i in range(Z):
        w = [ssf[i * Z + j] * m[j] for j in range(Z)]
        s = 0.0
        for j in range(Z):
            s = s + w[j]
        if not math.isfinite(s) or s <= ZERO:
            continue
        P[i] = [w[j] / s for j in range(Z)]
        has_mates[i] = True

    # Step 3: mating and sperm displacement.
    r_d = clamp01(inp["sperm_displacement_rate"])
    for a in range(L.first_adult, A):
        m_a = clamp01(mating[a])
        q = r_d * m_a
        q1 = min(q, 1.0)
        for i in range(Z):
            stored = 0.0
            for j in range(Z):
                stored = stored + sperm[st.s(a, i, j)]
            virgins = ind[st.i(0, a, i)] - stored
            virgins = virgins if virgins > 0 else 0.0
            if mode == "deterministic":
                new = m_a * virgins
                remate = q * stored
                if stored > ZERO and remate > ZERO:
                    f = min(remate / stored, 1.0)
                    for j in range(Z):
                        k = st.s(a, i, j)
                        sperm[k] = sperm[k] - sperm[k] * f
                total = new + remate
            elif mode == "stochastic":
                new = rng.binomial(round_count(virgins), m_a)
                total = new
                if q > ZERO and stored > ZERO:
                    remate = 0.0
                    for j in range(Z):
                        k = st.s(a, i, j)
                        if sperm[k] > ZERO:
                            x = rng.binomial(round_count(sperm[k]), q)
                            sperm[k] = max(sperm[k] - x, 0.0)
                            remate = remate + x
                    total = new + remate
            else:
                new = rng.continuous_binomial(virgins, m_a)
                if q > ZERO and stored > ZERO:
                    for j in range(Z):
                        k = st.s(a, i, j)
                        sperm[k] = sperm[k] - q1 * sperm[k]
                    total = new + q1 * stored
                else:
                    total = new
            if total <= ZERO:
                continue
            # A female type that accepts no available male gets no matings.
            if not has_mates[i]:
                continue
            if mode == "deterministic":
                for j in range(Z):
                    k = st.s(a, i, j)
                    sperm[k] = sperm[k] + total * P[i][j]
            elif mode == "stochastic":
                if round_count(total) >= 1:
                    got = rng.multinomial(round_count(total), P[i])
                    for j in range(Z):
                        k = st.s(a, i, j)
                        sperm[k] = sperm[k] + got[j]
            else:
                got = rng.continuous_multinomial(total, P[i])
                for j in range(Z):
                    k = st.s(a, i, j)
                    sperm[k] = sperm[k] + got[j]

    # Step 4: eggs and zygotes.
    zyg = [0.0] * Z
    eggs = inp["eggs_per_female"]
    eggs = eggs if eggs > 0 else 0.0
    for a in range(L.first_adult, A):
        r = clamp01(inp["reproduction_rates"][a])
        fert = clamp01(inp["fertility"][a])
        for i in range(Z):
            for j in range(Z):
                n = sperm[st.s(a, i, j)]
                if not n > 0:
                    continue
                E = fert * ((eggs * fec[i]) * fec[Z + j])
                if mode == "deterministic":
                    x = (r * n) * E
                elif mode == "stochastic":
                    n1 = round_count(n)
                    if n1 <= 0:
                        continue
                    t = n1 * E if r >= ONE else E * rng.binomial(n1, r)
                    x = round_half_away(t) if L.fixed_egg_count else rng.poisson(t)
                else:
                    t = n * E if r >= ONE else E * rng.continuous_binomial(n, r)
                    x = t if L.fixed_egg_count else rng.continuous_poisson(t)
                add_zygotes(rng, mode, x, off[(i * Z + j) * Z:(i * Z + j + 1) * Z], zyg)

    # Step 5: sex allocation.
    daughters = [0.0] * Z
    sons = [0.0] * Z
    ztot = 0.0
    for k in range(Z):
        ztot = ztot + zyg[k]
    if ztot > ZERO:
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
                fc = inp["female_ztype_compatibility"][k]
                mc = inp["male_ztype_compatibility"][k]
                p = 0.5 if fc + mc <= ZERO else clamp01(fc / (fc + mc))
            if mode == "deterministic":
                d = zyg[k] * p
            else:
                d = draw_by_mode(rng, mode, zyg[k], p)
            daughters[k] = d
            sons[k] = zyg[k] - d

    # Step 6: newborns and zygote viability.
    for k in range(Z):
        ind[st.i(0, 0, k)] = daughters[k]
        ind[st.i(1, 0, k)] = sons[k]
    for k in range(Z):
        vf, vm = zvf[k], zvf[Z + k]
        f_at, m_at = st.i(0, 0, k), st.i(1, 0, k)
        if mode == "deterministic":
            ind[f_at] = vf * ind[f_at]
            ind[m_at] = vm * ind[m_at]
        elif mode == "stochastic":
            nf = round_count(ind[f_at])
            d = rng.binomial(nf, vf) if nf >= 1 else 0.0
            nm = round_count(ind[m_at])
            s = rng.binomial(nm, vm) if nm >= 1 else 0.0
            ind[f_at], ind[m_at] = d, s
        else:
            d = rng.continuous_binomial(ind[f_at], vf) if ind[f_at] > 0 else 0.0
            s = rng.continuous_binomial(ind[m_at], vm) if ind[m_at] > 0 else 0.0
            ind[f_at], ind[m_at] = d, s


# ---------------------------------------------------------------------------
# Survival and density regulation
# ---------------------------------------------------------------------------
def divide(a, b):
    """IEEE division (Python raises on a zero divisor; C gives inf or NaN)."""
    if b != 0:
        return a / b
    if a == 0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def power(g, y):
    """C's pow for the growth modes, including the cases Python raises on."""
    try:
        return math.pow(g, y)
    except OverflowError:
        return math.inf
    except ValueError:
        if g == 0 and y < 0:
            return math.inf
        raise


def regulation_scaling(mode, n, k, g, base):
    if mode == 0:
        return 1.0
    if mode == 1:
        return min(k / n, 1.0) if n > 0 else 1.0
    if mode in (2, 3, 4):
        if not k > 0:
            return 0.0
        x = n / k
        if mode == 2:
            v = g - x * (g - 1)
            return base * (v if v > 0.0 else 0.0)  # a NaN factor counts as no growth
        if mode == 3:
            return divide(base * g, x * (g - 1) + 1)
        return base * power(g, 1 - x)
    return None  # unknown mode: an error the caller drops


def survival(rng, L, inp, st):
    A, Z, mode = L.A, L.Z, L.mode
    ind, sperm = st.ind, st.sperm
    if A == 0:
        return  # no age classes: nothing to regulate or to survive
    gm = int(inp["growth_mode"])

    # 1. Density factor.
    if gm == 0:
        h = 1.0
    elif gm == 1:
        sf = 0.0
        for z in range(Z):
            sf = sf + ind[st.i(0, 0, z)]
        sm = 0.0
        for z in range(Z):
            sm = sm + ind[st.i(1, 0, z)]
        N0 = sf + sm
        h = min(inp["carrying_capacity"] / N0, 1.0) if N0 > 0 else 1.0
    else:
        N = 0.0
        for a in range(min(max(L.new_adult_age, 0), A)):
            sf = 0.0
            for z in range(Z):
                sf = sf + ind[st.i(0, a, z)]
            sm = 0.0
            for z in range(Z):
                sm = sm + ind[st.i(1, a, z)]
            N = N + (sf + sm) * inp["competition_weights"][a]
        c, base = inp["equilibrium"]
        h = regulation_scaling(gm, N, c, inp["low_density_growth_rate"], base)
        if h is None:
            h = 1.0

    # 2. Recruitment of the age-0 cohort.
    stochastic = mode == "stochastic"
    J = [ind[st.i(0, 0, z)] for z in range(Z)] + [ind[st.i(1, 0, z)] for z in range(Z)]
    if stochastic:
        J = [round_half_away(v) for v in J]
    S = 0.0
    for v in J:
        S = S + v
    if not S > 0:
        new = [0.0] * (2 * Z)
    else:
        T = h * S
        if stochastic:
            T = round_half_away(T)
        if not T > 0:
            new = [0.0] * (2 * Z)
        elif mode == "deterministic":
            new = [(T / S) * v for v in J]
        else:
            p = [v / S for v in J]
            new = split_by_mode(rng, mode, T, p)
    for z in range(Z):
        ind[st.i(0, 0, z)] = new[z]
        ind[st.i(1, 0, z)] = new[Z + z]

    # 3. Survival of every class.
    sr, via = inp["survival_rates"], inp["viability_fitness"]

    def prob(sex, a, z):
        return via[(sex * A + a) * Z + z] * sr[sex * A + a]

    if mode == "deterministic":
        for a in range(A):
            for i in range(Z):
                sf, sm = prob(0, a, i), prob(1, a, i)
                ind[st.i(0, a, i)] = sf * ind[st.i(0, a, i)]
                for j in range(Z):
                    sperm[st.s(a, i, j)] = sf * sperm[st.s(a, i, j)]
                ind[st.i(1, a, i)] = sm * ind[st.i(1, a, i)]
        return

    def survivors(count, p):
        x = round_half_away(count) if stochastic else count
        if not x > ZERO:
            return 0.0
        return draw_by_mode(rng, mode, x, p)

    for a in range(A):
        for i in range(Z):
            sf, sm = clamp01(prob(0, a, i)), clamp01(prob(1, a, i))
            n_f = ind[st.i(0, a, i)]
            stored = 0.0
            for j in range(Z):
                stored = stored + sperm[st.s(a, i, j)]
            if n_f - stored < -(ZERO * max(stored, 1.0) if stored > 1.0 else ZERO):
                raise KernelError(
                    "Invalid state: n_virgins < 0 in sample_survival_with_sperm_storage "
                    f"(age={a}, g={i}, n_f_raw={format_number(n_f)}, "
                    f"total_sperm={format_number(stored)})")
            virgins = max(n_f - stored, 0.0)
            kept = 0.0
            for j in range(Z):
                k = st.s(a, i, j)
                sperm[k] = survivors(sperm[k], sf)
                kept = kept + sperm[k]
            ind[st.i(0, a, i)] = kept + survivors(virgins, sf)
            ind[st.i(1, a, i)] = survivors(ind[st.i(1, a, i)], sm)


# ---------------------------------------------------------------------------
# Aging
# ---------------------------------------------------------------------------
def aging(L, st):
    A, Z = L.A, L.Z
    for age in range(A - 1, 0, -1):
        for sex in range(2):
            for z in range(Z):
                st.ind[st.i(sex, age, z)] = st.ind[st.i(sex, age - 1, z)]
        for t in range(Z * Z):
            st.sperm[age * Z * Z + t] = st.sperm[(age - 1) * Z * Z + t]
    if A == 0:
        return
    for sex in range(2):
        for z in range(Z):
            st.ind[st.i(sex, 0, z)] = 0.0
    for t in range(Z * Z):
        st.sperm[t] = 0.0


STAGES = {"reproduction": reproduction, "survival": survival}


def run_stage(stage, ind, sperm, A, Z, new_adult_age, mode, inputs, words,
              fixed_egg_count=False, female_only=None, male_only=None):
    """Same arguments and result as the engine's lifecycle_stage test hook:
    returns (ind, sperm, words) as lists, or raises KernelError."""
    L = Layout(A, Z, new_adult_age, mode, fixed_egg_count, female_only, male_only)
    st = State(A, Z, ind, sperm)
    inp = {k: (list(map(float, v)) if hasattr(v, "__len__") and k != "equilibrium" else v)
           for k, v in inputs.items()}
    rng = Sampler(list(words))
    if stage == "aging":
        aging(L, st)
    else:
        STAGES[stage](rng, L, inp, st)
    return st.ind, st.sperm, rng.s
