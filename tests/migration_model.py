"""Pure-Python model of CSR migration between the demes of a stacked state,
written step by step from the model's description and drawing from the stream
model of rng_model (through the samplers of lifecycle_model).

`migrate(..., literal=True)` follows the description's rule word for word;
the default adds the engine's cap: a cell holding x > 0 never sends more than
x (the surplus that an integer draw on a count rounded up, weights summing
above one or rounding would create is taken back by scaling the cell's flows
by x / placed, and the remainder at home is kept from turning negative). For
integral counts in the integer-sampled mode both rules agree.

State layout (flat, row-major): ind[d, sex, age, z], sperm[d, age, zf, zm],
rate[d, sex, age]. Arithmetic is plain IEEE double, left to right.
"""
import math

from lifecycle_model import Sampler
from model_util import round_count
from rng_model import splitmix_words

MODES = ("deterministic", "stochastic", "continuous")


def new_streams(seed, n_demes):
    """One stream per deme, stream d seeded with seed ^ d."""
    return [Sampler(splitmix_words(seed ^ d)) for d in range(n_demes)]


def sample_outbound(rng, continuous, n, p):
    """How many of n leave at probability p."""
    if n <= 0 or p <= 0:
        return 0.0
    if p >= 1:
        return n
    if not continuous:
        return rng.binomial(round_count(n), p)
    return rng.continuous_binomial(n, p)


def distribute(rng, weights, start, length, continuous, moved):
    """Splits `moved` over the row by the renormalised weights: (amounts, total)."""
    out = [0.0] * length
    if moved <= 0 or length == 0:
        return out, 0.0
    probs, total = [], 0.0
    for i in range(length):
        probs.append(weights[start + i])
        total = total + probs[i]
    if total <= 0:
        return out, 0.0
    try:
        inv = 1.0 / total
    except ZeroDivisionError:
        inv = math.inf
    if math.isinf(inv):  # a subnormal sum: normalize by division
        probs = [p / total for p in probs]
    else:
        probs = [p * inv for p in probs]
    if continuous:
        out = rng.continuous_multinomial(moved, probs)
    else:
        out = rng.multinomial(round_count(moved), probs)
    placed = 0.0
    for v in out:
        placed = placed + v
    return out, placed


def settle(x, flows, placed, literal):
    """Flows actually sent and the amount that stays home."""
    if literal or not (x > 0 and placed > x):
        return flows, x - placed
    c = x / placed
    flows = [f * c for f in flows]
    total = 0.0
    for f in flows:
        total = total + f
    home = x - total
    return flows, home if home > 0 else 0.0


def migrate(ind, sperm, indptr, dest, weights, rate, n_demes, n_ages, n_ztypes, mode,
            rngs=None, literal=False):
    """Returns (ind, sperm) after one migration step; `rngs` (one per deme) are
    advanced in place in the stochastic modes."""
    D, A, Z = n_demes, n_ages, n_ztypes
    ind = [float(v) for v in ind]
    sperm = [float(v) for v in sperm]
    out_ind = [0.0] * len(ind)
    out_sperm = [0.0] * len(sperm)

    def I(d, s, a, z):  # noqa: E743
        return ((d * 2 + s) * A + a) * Z + z

    def S(d, a, i, j):
        return ((d * A + a) * Z + i) * Z + j

    for d in range(D):
        start, end = indptr[d], indptr[d + 1]
        row = list(range(start, end))
        rng = rngs[d] if rngs is not None else None

        def move(x, r):
            if mode == "deterministic":
                f = r * x
                flows, total = [], 0.0
                for e in row:
                    flows.append(f * weights[e])
                    total = total + flows[-1]
                return settle(x, flows, total, literal)
            k = sample_outbound(rng, mode == "continuous", x, r)
            flows, placed = distribute(rng, weights, start, end - start, mode == "continuous", k)
            return settle(x, flows, placed, literal)

        for a in range(A):
            r = rate[(d * 2 + 0) * A + a]
            for zf in range(Z):
                stored = 0.0
                for zm in range(Z):
                    stored = stored + sperm[S(d, a, zf, zm)]
                u = ind[I(d, 0, a, zf)] - stored
                if math.fabs(u) < 1e-9 and u < 0:
                    u = 0.0
                flows, home = move(u, r)
                for e, f in zip(row, flows):
                    out_ind[I(dest[e], 0, a, zf)] += f
                out_ind[I(d, 0, a, zf)] += home
                for zm in range(Z):
                    s = sperm[S(d, a, zf, zm)]
                    flows, home = move(s, r)
                    for e, f in zip(row, flows):
                        out_sperm[S(dest[e], a, zf, zm)] += f
                        out_ind[I(dest[e], 0, a, zf)] += f
                    out_sperm[S(d, a, zf, zm)] += home
                    out_ind[I(d, 0, a, zf)] += home
        for a in range(A):
            r = rate[(d * 2 + 1) * A + a]
            for z in range(Z):
                n = ind[I(d, 1, a, z)]
                flows, home = move(n, r)
                for e, f in zip(row, flows):
                    out_ind[I(dest[e], 1, a, z)] += f
                out_ind[I(d, 1, a, z)] += home
    return out_ind, out_sperm
