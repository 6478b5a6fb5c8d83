"""Movement between the sites of a landscape: dispersal kernels, truncation,
neighbour search and the CSR migration graph.

A kernel gives the relative chance of landing at distance r from home, per unit
area (so the share that travels between r and r + dr in an open plane is
proportional to ``weight(r) * r * dr``):

================  ==========================================  ===========================
kernel            weight(r)                                   share of the plane beyond R
================  ==========================================  ===========================
``exponential``   exp(-r / scale)                             (1 + R/scale) exp(-R/scale)
``gaussian``      exp(-r^2 / (2 sigma^2))                     exp(-R^2 / (2 sigma^2))
``lognormal``     lognormal density of r (median, sigma) / r  1 - Phi(ln(R/median)/sigma)
``function``      your ``f(r)`` (vectorised, >= 0)            computed numerically
``hurdle``        a share ``stay`` stays home, the rest moves by an inner kernel
================  ==========================================  ===========================

Truncation. A kernel is cut at a radius: ``cutoff`` (a distance) when given,
otherwise the radius beyond which the share ``tail`` of the kernel lies in an
open plane (default ``tail=1e-3``). Sites farther apart than the radius are not
linked. Each site's row of weights (its links to every other site within the
radius, weighted by ``weight(distance)``) is then divided by its sum, so the
weights of a row add up to 1: what the cut removes is shared out over the
sites kept, and nothing is lost. A site with no other site within the radius
has an empty row: its emigrants stay home. A site never links to itself
(except through ``hurdle``'s ``stay`` share).

Neighbours come from a k-d tree (``scipy.spatial.cKDTree``): the graph costs
memory linear in sites plus links, never a sites x sites matrix. Longitude /
latitude sites are placed on a sphere of radius ``EARTH_RADIUS_KM`` and their
distance is the great-circle distance in km.

An explicit matrix (dense NumPy or ``scipy.sparse``, rows = source sites)
gives the relative weights directly; each row is divided by its sum (a
diagonal entry is the share of emigrants that turn back home; a row of zeros
sends nothing).

The emigration rate (the share of each sex and age that leaves a site per
tick) is set apart from the kernel: ``emigration_rates`` reads a scalar, a
``{"female": ..., "male": ...}`` mapping or arrays per site, sex and age.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

from ._optional import require

__all__ = ["Kernel", "exponential", "gaussian", "lognormal", "hurdle", "kernel_function",
           "Graph", "graph_from_kernel", "graph_from_matrix", "emigration_rates",
           "DEFAULT_TAIL", "EARTH_RADIUS_KM"]

DEFAULT_TAIL = 1e-3
EARTH_RADIUS_KM = 6371.0088  # mean Earth radius (IUGG)


def positive_number(value, name) -> float:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a number, got {value!r}")
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}") from None
    if not math.isfinite(v) or v <= 0:
        raise ValueError(f"{name} must be a finite number > 0, got {value!r}")
    return v


def _truncation(cutoff, tail):
    if cutoff is not None and tail is not None:
        raise ValueError("give either cutoff (a distance) or tail (a share), not both")
    if cutoff is not None:
        return positive_number(cutoff, "cutoff"), None
    t = DEFAULT_TAIL if tail is None else tail
    if isinstance(t, (bool, np.bool_)) or not isinstance(t, (int, float, np.integer, np.floating)):
        raise TypeError(f"tail must be a number in (0, 1), got {t!r}")
    t = float(t)
    if not 0.0 < t < 1.0:
        raise ValueError(f"tail must be a share in (0, 1), got {t!r}")
    return None, t


@dataclass(frozen=True)
class Kernel:
    """A dispersal kernel with its truncation (see the module doc). Make one
    with ``exponential``, ``gaussian``, ``lognormal``, ``hurdle`` or
    ``kernel_function``."""

    kind: str
    params: dict
    cutoff: float | None = None
    tail: float | None = None
    inner: Any = None  # the moving part of a hurdle kernel
    function: Callable | None = field(default=None, compare=False)

    # -- shape
    def weight(self, r) -> np.ndarray:
        """Relative weight per unit area at distances `r` (an array)."""
        r = np.asarray(r, dtype=np.float64)
        p = self.params
        if self.kind == "exponential":
            return np.exp(-r / p["scale"])
        if self.kind == "gaussian":
            return np.exp(-(r * r) / (2.0 * p["sigma"] * p["sigma"]))
        if self.kind == "lognormal":
            out = np.zeros_like(r)
            pos = r > 0
            z = np.log(r[pos] / p["median"]) / p["sigma"]
            out[pos] = np.exp(-0.5 * z * z) / (r[pos] * r[pos])
            return out
        if self.kind == "hurdle":
            return self.inner.weight(r)
        w = np.asarray(self.function(r), dtype=np.float64)
        if w.shape != r.shape:
            raise ValueError(f"the kernel function must return one weight per distance: "
                             f"got shape {w.shape} for {r.shape}")
        if not np.all(np.isfinite(w)) or np.any(w < 0):
            raise ValueError("the kernel function must return finite weights >= 0")
        return w

    def tail_share(self, radius: float) -> float:
        """The share of the kernel beyond `radius` in an open plane."""
        radius = float(radius)
        p = self.params
        if self.kind == "exponential":
            x = radius / p["scale"]
            return (1.0 + x) * math.exp(-x)
        if self.kind == "gaussian":
            return math.exp(-radius * radius / (2.0 * p["sigma"] * p["sigma"]))
        if self.kind == "lognormal":
            if radius <= 0:
                return 1.0
            return 0.5 * math.erfc(math.log(radius / p["median"]) / (p["sigma"] * math.sqrt(2.0)))
        if self.kind == "hurdle":
            return self.inner.tail_share(radius)
        return self._numeric_tail(radius)

    def _numeric_tail(self, radius: float) -> float:
        integrate = require("scipy.integrate", "landscapes")

        def f(r):
            return float(self.weight(np.array([r]))[0]) * r

        total = integrate.quad(f, 0.0, np.inf, limit=200)[0]
        if not total > 0 or not math.isfinite(total):
            raise ValueError("the kernel function has no finite positive mass; give a cutoff")
        beyond = integrate.quad(f, radius, np.inf, limit=200)[0]
        return min(1.0, max(0.0, beyond / total))

    def radius(self) -> float:
        """The truncation radius: ``cutoff``, or the distance beyond which the
        share ``tail`` of the kernel lies."""
        if self.kind == "hurdle":
            return self.inner.radius()
        if self.cutoff is not None:
            return self.cutoff
        t = self.tail
        p = self.params
        if self.kind == "gaussian":
            return p["sigma"] * math.sqrt(-2.0 * math.log(t))
        if self.kind == "lognormal":
            ndtri = require("scipy.special", "landscapes").ndtri

            return p["median"] * math.exp(p["sigma"] * float(ndtri(1.0 - t)))
        hi = 1.0 if self.kind != "exponential" else p["scale"]
        while self.tail_share(hi) > t:
            hi *= 2.0
            if hi > 1e300:
                raise ValueError("the kernel's tail does not fall below the given share; give a cutoff")
        if self.kind == "exponential":  # closed-form tail: bisect to the last bit
            lo = 0.0
            for _ in range(200):
                mid = 0.5 * (lo + hi)
                if mid <= lo or mid >= hi:
                    break
                if self.tail_share(mid) > t:
                    lo = mid
                else:
                    hi = mid
            return hi
        brentq = require("scipy.optimize", "landscapes").brentq

        return float(brentq(lambda r: self.tail_share(r) - t, 0.0, hi, xtol=1e-12 * hi, rtol=1e-14))

    @property
    def stay(self) -> float:
        return float(self.params.get("stay", 0.0)) if self.kind == "hurdle" else 0.0

    def describe(self) -> dict:
        out = {"kind": self.kind, **{k: float(v) for k, v in self.params.items()}}
        if self.kind == "hurdle":
            out["inner"] = self.inner.describe()
        else:
            out["radius"] = self.radius()
            if self.cutoff is not None:
                out["cutoff"] = self.cutoff
            else:
                out["tail"] = self.tail
        return out


def exponential(scale, *, cutoff=None, tail=None) -> Kernel:
    """Exponential kernel, weight exp(-r/scale) per unit area (mean distance
    2 * scale in an open plane)."""
    c, t = _truncation(cutoff, tail)
    return Kernel("exponential", {"scale": positive_number(scale, "scale")}, c, t)


def gaussian(sigma, *, cutoff=None, tail=None) -> Kernel:
    """Gaussian kernel, weight exp(-r^2 / (2 sigma^2)) per unit area."""
    c, t = _truncation(cutoff, tail)
    return Kernel("gaussian", {"sigma": positive_number(sigma, "sigma")}, c, t)


def lognormal(median, sigma, *, cutoff=None, tail=None) -> Kernel:
    """Lognormal kernel: the distance travelled is lognormal with this median
    and log-scale spread `sigma` (fits mark-release-recapture data with many
    short and a few long moves)."""
    c, t = _truncation(cutoff, tail)
    return Kernel("lognormal", {"median": positive_number(median, "median"), "sigma": positive_number(sigma, "sigma")},
                  c, t)


def kernel_function(function: Callable, *, cutoff=None, tail=None) -> Kernel:
    """A kernel from your function of distance: ``function(r)`` takes an array
    of distances and returns weights >= 0 of the same shape. With ``tail`` the
    radius is found by numerical integration; a ``cutoff`` avoids that."""
    if not callable(function):
        raise TypeError(f"function must be callable, got {type(function).__name__}")
    c, t = _truncation(cutoff, tail)
    return Kernel("function", {}, c, t, function=function)


def hurdle(stay, kernel: Kernel) -> Kernel:
    """A share `stay` of the movers stays home; the rest moves by `kernel`."""
    if isinstance(stay, (bool, np.bool_)):
        raise TypeError("stay must be a number in [0, 1]")
    s = float(stay)
    if not 0.0 <= s <= 1.0:
        raise ValueError(f"stay must be a share in [0, 1], got {stay!r}")
    if not isinstance(kernel, Kernel) or kernel.kind == "hurdle":
        raise TypeError("hurdle needs a distance kernel (exponential, gaussian, lognormal or a function)")
    return Kernel("hurdle", {"stay": s}, None, None, inner=kernel)


# ------------------------------------------------------------------ graphs
@dataclass(frozen=True)
class Graph:
    """A migration graph in CSR form: the links of site d are
    ``dest[indptr[d]:indptr[d+1]]`` with ``weights`` (each row sums to 1 or is
    empty); ``distance`` holds each link's length (NaN for an explicit matrix)."""

    indptr: np.ndarray
    dest: np.ndarray
    weights: np.ndarray
    distance: np.ndarray
    radius: float = float("nan")

    @property
    def n_sites(self) -> int:
        return len(self.indptr) - 1

    @property
    def n_edges(self) -> int:
        return len(self.dest)

    @property
    def edges_per_site(self) -> float:
        return self.n_edges / max(1, self.n_sites)

    def to_scipy(self):
        """The graph as a ``scipy.sparse.csr_matrix`` (rows = sources)."""
        sparse = require("scipy.sparse", "landscapes")

        n = self.n_sites
        return sparse.csr_matrix((self.weights, self.dest, self.indptr), shape=(n, n))


def embed(x, y, coordinates: str) -> np.ndarray:
    """Points a k-d tree can search: (x, y) as given, or longitude / latitude
    in degrees as points on a sphere of radius ``EARTH_RADIUS_KM``."""
    if coordinates == "planar":
        return np.column_stack([x, y])
    lon, lat = np.radians(x), np.radians(y)
    c = np.cos(lat)
    return EARTH_RADIUS_KM * np.column_stack([c * np.cos(lon), c * np.sin(lon), np.sin(lat)])


def chord_to_distance(chord, coordinates: str):
    if coordinates == "planar":
        return chord
    return 2.0 * EARTH_RADIUS_KM * np.arcsin(np.minimum(np.asarray(chord) / (2.0 * EARTH_RADIUS_KM), 1.0))


def distance_to_chord(d: float, coordinates: str) -> float:
    if coordinates == "planar":
        return d
    half = min(d / (2.0 * EARTH_RADIUS_KM), math.pi / 2)
    return 2.0 * EARTH_RADIUS_KM * math.sin(half)


def _csr_from_pairs(n: int, src, dst, w, dist, radius) -> Graph:
    """Order the links by source, then destination (a counting sort by source
    through scipy.sparse, then each short row sorted)."""
    sparse = require("scipy.sparse", "landscapes")

    m = len(src)
    perm = sparse.csr_matrix((np.arange(1, m + 1, dtype=np.float64), (src, dst)), shape=(n, n))
    perm.sort_indices()
    order = perm.data.astype(np.int64) - 1
    indptr = perm.indptr.astype(np.int64)
    return Graph(indptr, perm.indices.astype(np.int64), np.ascontiguousarray(w[order], dtype=np.float64),
                 np.ascontiguousarray(dist[order]), radius)


def _normalise(n, src, w):
    total = np.bincount(src, weights=w, minlength=n)
    keep = total[src] > 0
    out = np.zeros_like(w)
    out[keep] = w[keep] / total[src[keep]]
    return out, keep


def graph_from_kernel(points: np.ndarray, kernel: Kernel, coordinates: str = "planar") -> Graph:
    """Link every pair of sites within the kernel's radius and weight the links
    by the kernel (see the module doc). `points` come from ``embed``."""
    cKDTree = require("scipy.spatial", "landscapes").cKDTree

    n = len(points)
    radius = kernel.radius()
    tree = cKDTree(points)
    pairs = tree.query_pairs(distance_to_chord(radius, coordinates), output_type="ndarray")
    del tree
    i = np.ascontiguousarray(pairs[:, 0], dtype=np.int64)
    j = np.ascontiguousarray(pairs[:, 1], dtype=np.int64)
    del pairs
    chord2 = np.zeros(len(i))
    for k in range(points.shape[1]):  # one coordinate at a time: no (links, dims) temporaries
        diff = points[i, k] - points[j, k]
        chord2 += diff * diff
    d = chord_to_distance(np.sqrt(chord2, out=chord2), coordinates)
    wd = kernel.weight(d)
    if not (wd > 0).all():  # links of zero weight carry nobody
        keep = wd > 0
        i, j, d, wd = i[keep], j[keep], d[keep], wd[keep]
    src = np.concatenate([i, j])
    dst = np.concatenate([j, i])
    del i, j
    dist = np.concatenate([d, d])
    w = np.concatenate([wd, wd])
    del d, wd
    total = np.bincount(src, weights=w, minlength=n)
    w /= total[src]
    stay = kernel.stay
    if stay > 0:
        homes = np.flatnonzero(np.bincount(src, minlength=n) > 0)
        src = np.concatenate([src, homes])
        dst = np.concatenate([dst, homes])
        w = np.concatenate([w * (1.0 - stay), np.full(len(homes), stay)])
        dist = np.concatenate([dist, np.zeros(len(homes))])
    return _csr_from_pairs(n, src, dst, w, dist, radius)


def graph_from_matrix(matrix, n_sites: int) -> Graph:
    """A graph from an explicit (n_sites, n_sites) matrix of relative weights
    (NumPy or ``scipy.sparse``); each row is divided by its sum."""
    sparse = require("scipy.sparse", "landscapes")

    if sparse.issparse(matrix):
        m = sparse.csr_matrix(matrix, dtype=np.float64)
    else:
        a = np.asarray(matrix)
        if a.dtype.kind not in "biuf":
            raise TypeError(f"the dispersal matrix must hold numbers, got dtype {a.dtype}")
        if a.ndim != 2:
            raise ValueError(f"the dispersal matrix must be 2-D, got shape {a.shape}")
        m = sparse.csr_matrix(a.astype(np.float64))
    if m.shape != (n_sites, n_sites):
        raise ValueError(f"the dispersal matrix must have shape ({n_sites}, {n_sites}) for "
                         f"{n_sites} sites, got {m.shape}")
    m.sum_duplicates()
    if not np.all(np.isfinite(m.data)) or np.any(m.data < 0):
        raise ValueError("the dispersal matrix must hold finite weights >= 0")
    m.eliminate_zeros()
    m.sort_indices()
    coo = m.tocoo()
    src, dst, w = coo.row.astype(np.int64), coo.col.astype(np.int64), coo.data.astype(np.float64)
    w, keep = _normalise(n_sites, src, w)
    return _csr_from_pairs(n_sites, src[keep], dst[keep], w[keep], np.full(int(keep.sum()), np.nan),
                           float("nan"))


# ------------------------------------------------------------------ emigration
def rate_array(value, name) -> np.ndarray:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a rate in [0, 1], got {value!r}")
    try:
        a = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must hold numbers, got {type(value).__name__}") from None
    bad = ~np.isfinite(a) | (a < 0) | (a > 1)
    if bad.any():
        where = np.argwhere(bad)[0]
        raise ValueError(f"{name} must hold rates in [0, 1], got {float(a[tuple(where)])!r}"
                         + (f" at index {tuple(int(k) for k in where)}" if a.ndim else ""))
    return a


def emigration_rates(value, n_sites: int, n_ages: int) -> np.ndarray:
    """The share of each site, sex and age leaving per tick, as an
    (n_sites, 2, n_ages) array. `value` is

    - a rate for everyone;
    - a mapping ``{"female": f, "male": m}`` where f and m are a rate, one rate
      per age (n_ages,), per site (n_sites,) or per site and age (n_sites, n_ages);
    - an array of shape (n_sites, 2, n_ages), (2, n_ages), (n_sites, 2) or
      (n_sites,) (matched in this order).
    """
    s, a = int(n_sites), int(n_ages)
    if isinstance(value, dict):
        unknown = set(value) - {"female", "male"}
        if unknown:
            raise ValueError(f"emigration: unknown key {sorted(unknown)[0]!r}; give 'female' and 'male'")
        out = np.zeros((s, 2, a))
        for k, sex in enumerate(("female", "male")):
            if sex not in value:
                raise ValueError(f"emigration: missing the rate of {sex}s")
            r = rate_array(value[sex], f"emigration[{sex!r}]")
            if r.ndim == 0 or r.shape == (a,):
                out[:, k, :] = r
            elif r.shape == (s,):
                out[:, k, :] = r[:, None]
            elif r.shape == (s, a):
                out[:, k, :] = r
            else:
                raise ValueError(f"emigration[{sex!r}] must be a rate or have shape ({a},), ({s},) "
                                 f"or ({s}, {a}); got {r.shape}")
        return out
    r = rate_array(value, "emigration")
    if r.ndim == 0:
        return np.full((s, 2, a), float(r))
    for shape, fill in (((s, 2, a), lambda: r), ((2, a), lambda: np.broadcast_to(r, (s, 2, a))),
                        ((s, 2), lambda: np.broadcast_to(r[:, :, None], (s, 2, a))),
                        ((s,), lambda: np.broadcast_to(r[:, None, None], (s, 2, a)))):
        if r.shape == shape:
            return np.ascontiguousarray(fill(), dtype=np.float64)
    raise ValueError(f"emigration must be a rate, a {{'female', 'male'}} mapping or an array of shape "
                     f"({s}, 2, {a}), (2, {a}), ({s}, 2) or ({s},); got {r.shape}")
