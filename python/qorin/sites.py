"""Real landscapes: sites with coordinates and their own ecology.

``Landscape`` is a model object, validated once when it is made: the sites
(coordinates, labels, per-site values), the ecology parameters that differ
between sites, the starting population of every site, the movement between
sites (a dispersal kernel by distance or an explicit matrix, see
``qorin.dispersal``) with the emigration rates, and the schedules of per-site
parameters over time (``qorin.schedules``). Combined with a one-population
model (a ``Blueprint`` for the genetics and ages and the ``Params`` every site
starts from) it gives the spatial session::

    land = qorin.Landscape(x, y, dispersal=qorin.dispersal.exponential(2.0),
                           emigration=0.1, site_params={"carrying_capacity": k},
                           start="equilibrium")
    ds = land.simulate(blueprint, params, 100, seed=1, program=program)

Coordinates are planar (any unit; kernel scales and cutoffs in the same
unit) or ``coordinates="lonlat"``: x = longitude and y = latitude in degrees,
distances along great circles in km.
"""

from __future__ import annotations

import copy
import csv
import json
import math
import os
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _engine_rs
from . import dispersal as D
from . import landscape as L
from . import schedules as S
from ._optional import require

__all__ = ["Landscape", "LandscapeError", "SiteSession", "great_circle_km", "SITE_PARAMS"]

# Scalar ecology parameters a site may set for itself.
SITE_PARAMS = ("carrying_capacity", "eggs_per_female", "sex_ratio", "sperm_displacement_rate",
               "low_density_growth_rate", "external_expected_eggs", "growth_mode")
COORDINATES = ("planar", "lonlat")


class LandscapeError(ValueError):
    """A landscape that cannot be built: the message names the file, row and
    column for sites read from a file."""


def great_circle_km(lon1, lat1, lon2, lat2):
    """Great-circle distance in km between points given in degrees (haversine
    on a sphere of radius ``qorin.dispersal.EARTH_RADIUS_KM``)."""
    p1, p2 = np.radians(lat1), np.radians(lat2)
    dl = np.radians(np.asarray(lon2, dtype=float) - np.asarray(lon1, dtype=float))
    h = np.sin((p2 - p1) / 2.0) ** 2 + np.cos(p1) * np.cos(p2) * np.sin(dl / 2.0) ** 2
    return 2.0 * D.EARTH_RADIUS_KM * np.arcsin(np.sqrt(np.minimum(h, 1.0)))


def _coords(value, name, n=None) -> np.ndarray:
    try:
        a = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be an array of numbers") from None
    if a.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {a.shape}")
    if n is not None and len(a) != n:
        raise ValueError(f"{name} must hold one value per site ({n}), got {len(a)}")
    bad = np.flatnonzero(~np.isfinite(a))
    if bad.size:
        raise ValueError(f"{name} must be finite, got {a[bad[0]]!r} at site {int(bad[0])}")
    return a


def _site_values(values, n: int, what: str) -> dict:
    out = {}
    if values is None:
        return out
    if not isinstance(values, dict):
        raise TypeError(f"{what} must be a mapping of name to values, got {type(values).__name__}")
    for name, v in values.items():
        if not isinstance(name, str) or not name:
            raise TypeError(f"{what}: names must be non-empty strings, got {name!r}")
        if isinstance(v, (bool, np.bool_)):
            raise TypeError(f"{what}[{name!r}] must hold numbers, got {v!r}")
        try:
            a = np.array(v, dtype=np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"{what}[{name!r}] must hold numbers") from None
        if a.ndim == 0:
            a = np.full(n, float(a))
        if a.shape != (n,):
            raise ValueError(f"{what}[{name!r}] must be one value or one per site ({n}), got shape {a.shape}")
        out[name] = a
    return out


def _check_param(name: str, values: np.ndarray, where: str) -> None:
    if name not in SITE_PARAMS:
        raise ValueError(f"{where}: {name!r} is not a per-site ecology parameter; allowed: "
                         + ", ".join(SITE_PARAMS))
    lo, hi = S.bounds(name)
    bad = ~np.isfinite(values) | (values < lo) | ((values > hi) if hi is not None else False)
    if name == "growth_mode":
        bad |= values != np.round(values)
    if name == "external_expected_eggs":
        bad = ~np.isfinite(values) | ((values < 0) & (values != -1.0))
    k = np.flatnonzero(bad)
    if k.size:
        rng = "-1 or >= 0" if name == "external_expected_eggs" else \
            (f"[{S.num(lo)}, {S.num(hi)}]" if hi is not None else f"[{S.num(lo)}, inf)")
        raise ValueError(f"{where}: {name} must be in {rng}" + (" (an integer)" if name == "growth_mode" else "")
                         + f", got {float(values[k[0]])!r} at site {int(k[0])}")


@dataclass(frozen=True)
class _Start:
    kind: str  # "blueprint", "equilibrium" or "explicit"
    counts: np.ndarray | None = None
    sperm: np.ndarray | None = None


class Landscape:
    """Sites, their ecology, movement and schedules (see the module doc).

    x, y
        coordinates of the sites (one per site); ``coordinates`` "planar" or
        "lonlat" (x longitude, y latitude, degrees).
    labels
        a unique name per site (default "0", "1", ...).
    site_params
        per-site values of scalar ecology parameters (``SITE_PARAMS``), each
        one value or one per site; the others come from the ``Params``.
    values
        other per-site data kept with the sites (rainfall, ...).
    start
        None: every site starts with the blueprint's initial individuals and
        stored sperm; "equilibrium": every site at its own equilibrium age
        distribution for its parameters, in the genotype mix of the
        blueprint's initial individuals (per sex), rounded to whole individuals
        for stochastic models with integer draws; or an array of shape
        (sites, 2, ages, genotypes) of counts, optionally with stored sperm via
        ``start_sperm`` (sites, ages, genotypes, genotypes).
    dispersal
        None (no movement), a ``qorin.dispersal`` kernel, a function of
        distance (truncated at the default tail share), an explicit matrix
        (dense or scipy.sparse) or a ``qorin.dispersal.Graph``.
    emigration
        share of each sex and age leaving a site per tick
        (``qorin.dispersal.emigration_rates``); None takes the ``Params``'
        ``migration_rate`` (none when absent).
    schedules
        ``qorin.schedules`` schedules of per-site parameters.
    """

    def __init__(self, x, y, labels=None, *, coordinates: str = "planar", site_params=None,
                 values=None, start=None, start_sperm=None, dispersal=None, emigration=None,
                 schedules=()):
        if coordinates not in COORDINATES:
            raise ValueError(f"coordinates must be 'planar' or 'lonlat', got {coordinates!r}")
        self.coordinates = coordinates
        self.x = _coords(x, "x")
        n = len(self.x)
        if n < 1:
            raise ValueError("a landscape needs at least one site")
        self.y = _coords(y, "y", n)
        if coordinates == "lonlat":
            if np.any(np.abs(self.y) > 90):
                k = int(np.flatnonzero(np.abs(self.y) > 90)[0])
                raise ValueError(f"latitude (y) must be in [-90, 90], got {float(self.y[k])!r} at site {k}")
            if np.any((self.x < -180) | (self.x > 360)):
                k = int(np.flatnonzero((self.x < -180) | (self.x > 360))[0])
                raise ValueError(f"longitude (x) must be in [-180, 360], got {float(self.x[k])!r} at site {k}")
        if labels is None:
            labels = [str(k) for k in range(n)]
        labels = [str(v) for v in labels] if not isinstance(labels, str) else None
        if labels is None or len(labels) != n:
            raise ValueError(f"labels must hold one name per site ({n})")
        index = {}
        for k, lab in enumerate(labels):
            if lab in index:
                raise ValueError(f"labels must be unique: {lab!r} names sites {index[lab]} and {k}")
            index[lab] = k
        self.labels = tuple(labels)
        self._index = index
        self.site_params = _site_values(site_params, n, "site_params")
        for name, v in self.site_params.items():
            _check_param(name, v, "site_params")
        self.values = _site_values(values, n, "values")
        self._start = self._check_start(start, start_sperm, n)
        self._emigration = None if emigration is None else self._check_emigration(emigration)
        self._emigration_order = None  # set by spatial_order: per-site rates follow their sites
        self.graph = self._make_graph(dispersal)
        self.dispersal = dispersal if isinstance(dispersal, D.Kernel) else None
        self.schedules = S.check_schedules(schedules, n)
        self._points = None
        # checked once: the per-site arrays cannot be changed behind the checks' back
        for a in (self.x, self.y, *self.site_params.values(), *self.values.values(),
                  self.graph.indptr, self.graph.dest, self.graph.weights, self.graph.distance):
            a.flags.writeable = False

    # ------------------------------------------------------------ validation
    @staticmethod
    def _check_start(start, start_sperm, n) -> _Start:
        if start is None:
            if start_sperm is not None:
                raise ValueError("start_sperm goes with an explicit start array")
            return _Start("blueprint")
        if isinstance(start, str):
            if start != "equilibrium":
                raise ValueError(f"start must be None, 'equilibrium' or an array, got {start!r}")
            if start_sperm is not None:
                raise ValueError("start_sperm goes with an explicit start array")
            return _Start("equilibrium")
        counts = np.array(start, dtype=np.float64)
        if counts.ndim != 4 or counts.shape[0] != n or counts.shape[1] != 2:
            raise ValueError(f"start must have shape ({n}, 2, ages, genotypes), got {counts.shape}")
        if not np.all(np.isfinite(counts)) or np.any(counts < 0):
            raise ValueError("start must hold finite counts >= 0")
        sperm = None
        if start_sperm is not None:
            sperm = np.array(start_sperm, dtype=np.float64)
            a, z = counts.shape[2], counts.shape[3]
            if sperm.shape != (n, a, z, z):
                raise ValueError(f"start_sperm must have shape ({n}, {a}, {z}, {z}), got {sperm.shape}")
            if not np.all(np.isfinite(sperm)) or np.any(sperm < 0):
                raise ValueError("start_sperm must hold finite counts >= 0")
            # females storing sperm are part of the females: never more of them than females
            over = sperm.sum(axis=-1) > counts[:, 0] * (1 + 1e-12) + 1e-9
            if over.any():
                d, a_, zf = (int(v) for v in np.argwhere(over)[0])
                raise ValueError(f"start_sperm: site {d}, age {a_}, female genotype {zf} has "
                                 f"{float(sperm[d, a_, zf].sum())!r} females storing sperm but only "
                                 f"{float(counts[d, 0, a_, zf])!r} females")
        return _Start("explicit", np.ascontiguousarray(counts), sperm)

    def _check_emigration(self, value):
        if isinstance(value, dict):
            for sex, v in value.items():
                D.rate_array(v, f"emigration[{sex!r}]")
        else:
            D.rate_array(value, "emigration")
        return value

    def _make_graph(self, dispersal) -> D.Graph:
        n = self.n_sites
        if dispersal is None:
            return D.Graph(np.zeros(n + 1, dtype=np.int64), np.zeros(0, dtype=np.int64),
                           np.zeros(0), np.zeros(0))
        if isinstance(dispersal, D.Graph):
            if dispersal.n_sites != n:
                raise ValueError(f"the dispersal graph has {dispersal.n_sites} sites, the landscape {n}")
            return dispersal
        if isinstance(dispersal, D.Kernel):
            return D.graph_from_kernel(self.points, dispersal, self.coordinates)
        if isinstance(dispersal, tuple) and len(dispersal) == 3:
            indptr, dest, w = (np.asarray(v) for v in dispersal)
            sparse = require("scipy.sparse", "landscapes")

            m = sparse.csr_matrix((w.astype(np.float64), dest.astype(np.int64), indptr.astype(np.int64)),
                                  shape=(n, n))
            return D.graph_from_matrix(m, n)
        if callable(dispersal):
            return D.graph_from_kernel(self.points, D.kernel_function(dispersal), self.coordinates)
        return D.graph_from_matrix(dispersal, n)

    # ------------------------------------------------------------ factories
    @classmethod
    def ring(cls, n_sites: int, *, spacing: float = 1.0, **kw) -> "Landscape":
        """`n_sites` sites evenly on a circle, neighbours `spacing` apart along
        it; without a ``dispersal`` each site sends its emigrants to its two
        neighbours in equal shares."""
        n = int(n_sites)
        if n < 1:
            raise ValueError(f"a ring needs at least one site, got {n}")
        spacing = D.positive_number(spacing, "spacing")
        r = n * spacing / (2 * math.pi)
        angle = 2 * math.pi * np.arange(n) / n
        if "dispersal" not in kw:
            kw["dispersal"] = L.ring(n)
        return cls(r * np.cos(angle), r * np.sin(angle), **kw)

    @classmethod
    def grid(cls, rows: int, cols: int, *, spacing: float = 1.0, **kw) -> "Landscape":
        """A rows x cols grid of sites `spacing` apart (site r * cols + c at
        x = c * spacing, y = r * spacing); without a ``dispersal`` each site
        sends its emigrants to its neighbours above, below, left and right in
        equal shares."""
        rows, cols = int(rows), int(cols)
        if rows < 1 or cols < 1:
            raise ValueError(f"a grid needs at least one row and one column, got {rows} x {cols}")
        spacing = D.positive_number(spacing, "spacing")
        yy, xx = np.divmod(np.arange(rows * cols), cols)
        if "dispersal" not in kw:
            kw["dispersal"] = L.grid(rows, cols)
        return cls(xx * spacing, yy * spacing, **kw)

    @classmethod
    def from_csv(cls, path, *, x: str = "x", y: str = "y", label: str | None = "label",
                 coordinates: str = "planar", **kw) -> "Landscape":
        """Sites from a CSV file with a header row: one row per site, columns `x`
        and `y` (for "lonlat" also "lon"/"lat" or "longitude"/"latitude"), an
        optional `label` column, and any other columns as per-site numbers:
        those named like a scalar ecology parameter (``SITE_PARAMS``) become
        ``site_params``, the rest ``values``. Errors name the file, row and
        column."""
        path = os.fspath(path)
        name = os.path.basename(path)
        try:
            with open(path, newline="", encoding="utf-8-sig") as fh:
                rows = list(csv.reader(fh))
        except OSError as exc:
            raise LandscapeError(f"{path}: cannot read the sites file: {exc.strerror}") from None
        except UnicodeDecodeError:
            raise LandscapeError(f"{path}: a sites file must be UTF-8 text") from None
        except csv.Error as exc:
            raise LandscapeError(f"{path}: not a CSV file: {exc}") from None
        rows = [r for r in rows if any(c.strip() for c in r)]
        if not rows:
            raise LandscapeError(f"{name}: the file is empty; it needs a header row and one row per site")
        header = [h.strip() for h in rows[0]]
        for k, h in enumerate(header):
            if not h:
                raise LandscapeError(f"{name}, row 1, column {k + 1}: empty column name")
            if h in header[:k]:
                raise LandscapeError(f"{name}, row 1, column {h!r}: the column appears twice")
        if coordinates == "lonlat":
            for cand_x, cand_y in (("lon", "lat"), ("longitude", "latitude")):
                if x not in header and cand_x in header:
                    x = cand_x
                if y not in header and cand_y in header:
                    y = cand_y
        for need in (x, y):
            if need not in header:
                raise LandscapeError(f"{name}, row 1: missing the column {need!r} "
                                     f"(columns: {', '.join(header)})")
        body = rows[1:]
        if not body:
            raise LandscapeError(f"{name}: no sites after the header row")
        numeric = {h: np.empty(len(body)) for h in header if h != label}
        labels = [] if label in header else None
        for r, row in enumerate(body, start=2):
            if len(row) != len(header):
                raise LandscapeError(f"{name}, row {r}: {len(row)} fields, the header has {len(header)}")
            for h, cell in zip(header, row):
                cell = cell.strip()
                if h == label:
                    if not cell:
                        raise LandscapeError(f"{name}, row {r}, column {h!r}: empty label")
                    labels.append(cell)
                    continue
                try:
                    v = float(cell)
                except ValueError:
                    raise LandscapeError(f"{name}, row {r}, column {h!r}: {cell!r} is not a number") from None
                if not math.isfinite(v):
                    raise LandscapeError(f"{name}, row {r}, column {h!r}: {cell!r} is not a finite number")
                numeric[h][r - 2] = v
        if labels is not None:
            seen = {}
            for r, lab in enumerate(labels, start=2):
                if lab in seen:
                    raise LandscapeError(f"{name}, row {r}, column {label!r}: the label {lab!r} is "
                                         f"already used in row {seen[lab]}")
                seen[lab] = r
        site_params = dict(kw.pop("site_params", None) or {})
        values = dict(kw.pop("values", None) or {})
        for h, v in numeric.items():
            if h in (x, y):
                continue
            if h in SITE_PARAMS:
                try:
                    _check_param(h, v, "")
                except ValueError as exc:
                    k = int(str(exc).rsplit("site ", 1)[1])
                    raise LandscapeError(f"{name}, row {k + 2}, column {h!r}: "
                                         f"{str(exc).split(': ', 1)[1].rsplit(' at site', 1)[0]}") from None
                site_params.setdefault(h, v)
            else:
                values.setdefault(h, v)
        try:
            return cls(numeric[x], numeric[y], labels, coordinates=coordinates, site_params=site_params,
                       values=values, **kw)
        except ValueError as exc:
            raise LandscapeError(f"{name}: {exc}") from None

    def replace(self, **changes) -> "Landscape":
        """A new landscape with some of the constructor's arguments changed."""
        args = dict(x=self.x, y=self.y, labels=self.labels, coordinates=self.coordinates,
                    site_params=self.site_params, values=self.values,
                    dispersal=self.dispersal if self.dispersal is not None else self.graph,
                    emigration=self._emigration, schedules=self.schedules)
        if self._start.kind == "equilibrium":
            args["start"] = "equilibrium"
        elif self._start.kind == "explicit":
            args["start"], args["start_sperm"] = self._start.counts, self._start.sperm
        args.update(changes)
        out = Landscape(**args)
        if "emigration" not in changes:
            out._emigration_order = getattr(self, "_emigration_order", None)
        return out

    def spatial_order(self) -> "Landscape":
        """The same landscape with its sites renumbered along a Z-order
        (Morton) curve, so that sites close in space are close in the
        session's memory: with many sites in no particular order this makes
        migration several times faster. Labels, per-site values, starting
        populations, emigration rates, schedules and the graph follow their
        sites; site indices change (select sites by label)."""
        p = self.points
        lo, hi = p.min(axis=0), p.max(axis=0)
        span = np.where(hi > lo, hi - lo, 1.0)
        bits = 21 if p.shape[1] == 3 else 31
        q = np.minimum(((p - lo) / span * (2 ** bits - 1)).astype(np.int64), 2 ** bits - 1)
        code = np.zeros(len(p), dtype=np.int64)
        for b in range(bits):
            for k in range(p.shape[1]):
                code |= ((q[:, k] >> b) & 1) << (b * p.shape[1] + k)
        order = np.argsort(code, kind="stable")
        args = dict(x=self.x[order], y=self.y[order], labels=[self.labels[k] for k in order],
                    coordinates=self.coordinates,
                    site_params={n: v[order] for n, v in self.site_params.items()},
                    values={n: v[order] for n, v in self.values.items()},
                    schedules=[_permuted(sc, order) for sc in self.schedules])
        if self.dispersal is not None:
            args["dispersal"] = self.dispersal
        else:
            m = self.graph.to_scipy()[order][:, order]
            args["dispersal"] = m
        if self._start.kind == "equilibrium":
            args["start"] = "equilibrium"
        elif self._start.kind == "explicit":
            args["start"] = self._start.counts[order]
            if self._start.sperm is not None:
                args["start_sperm"] = self._start.sperm[order]
        out = Landscape(**args)
        out._emigration = self._emigration
        prior = getattr(self, "_emigration_order", None)
        out._emigration_order = order if prior is None else prior[order]
        return out

    # ------------------------------------------------------------ sites
    @property
    def n_sites(self) -> int:
        return len(self.x)

    @property
    def points(self) -> np.ndarray:
        if getattr(self, "_points", None) is None:
            self._points = D.embed(self.x, self.y, self.coordinates)
        return self._points

    def index(self, site) -> int:
        """The index of a site given by index or label."""
        if isinstance(site, (bool, np.bool_)):
            raise TypeError(f"a site is an index or a label, got {site!r}")
        if isinstance(site, (int, np.integer)):
            k = int(site)
            if not 0 <= k < self.n_sites:
                raise ValueError(f"site {k} out of range for {self.n_sites} sites")
            return k
        if isinstance(site, str):
            if site not in self._index:
                raise ValueError(f"no site is labelled {site!r}")
            return self._index[site]
        raise TypeError(f"a site is an index or a label, got {type(site).__name__}")

    def _point(self, where) -> tuple:
        if isinstance(where, (tuple, list, np.ndarray)) and len(where) == 2 and \
                not isinstance(where[0], str):
            px, py = float(where[0]), float(where[1])
            if not (math.isfinite(px) and math.isfinite(py)):
                raise ValueError(f"a point must have finite coordinates, got {where!r}")
            return px, py
        k = self.index(where)
        return float(self.x[k]), float(self.y[k])

    def distances(self, origin) -> np.ndarray:
        """Distance of every site from `origin` (a site index or label, or an
        (x, y) point): planar, or great-circle km for "lonlat"."""
        px, py = self._point(origin)
        if self.coordinates == "planar":
            return np.hypot(self.x - px, self.y - py)
        return great_circle_km(px, py, self.x, self.y)

    def select(self, sites=None, *, near=None, radius=None, nearest: int | None = None) -> list:
        """Site indices: `sites` (an index, a label, or a list of them), or the
        sites within `radius` of the point or site `near`, or the `nearest`
        sites to it (ties broken by index). The result is sorted."""
        if (sites is None) == (near is None):
            raise ValueError("give either sites (indices or labels) or near (a point or site)")
        if sites is not None:
            if radius is not None or nearest is not None:
                raise ValueError("radius and nearest go with near")
            items = sites if isinstance(sites, (list, tuple, np.ndarray)) else [sites]
            out = [self.index(s) for s in items]
            if not out:
                raise ValueError("select at least one site")
            if len(set(out)) != len(out):
                raise ValueError("a site is named twice")
            return sorted(out)
        if (radius is None) == (nearest is None):
            raise ValueError("with near, give either radius or nearest")
        d = self.distances(near)
        if radius is not None:
            r = float(radius)
            if not (math.isfinite(r) and r >= 0):
                raise ValueError(f"radius must be a finite distance >= 0, got {radius!r}")
            out = np.flatnonzero(d <= r).tolist()
            if not out:
                raise ValueError(f"no site lies within {r:g} of {near!r}")
            return out
        k = int(nearest)
        if not 1 <= k <= self.n_sites:
            raise ValueError(f"nearest must be in [1, {self.n_sites}], got {nearest!r}")
        return sorted(np.argsort(d, kind="stable")[:k].tolist())

    # ------------------------------------------------------------ model
    def blueprint(self, blueprint):
        """A copy of a one-population `blueprint` with this landscape's sites
        as demes and its migration graph."""
        n = self.n_sites
        if int(getattr(blueprint, "n_demes", 1)) not in (1, n):
            raise ValueError(f"the blueprint has {blueprint.n_demes} demes; give a one-population "
                             f"blueprint (or one with {n} demes)")
        bp = copy.copy(blueprint)
        bp.n_demes = n
        bp.migration_indptr = np.array(self.graph.indptr, dtype=np.int64)
        bp.migration_dest_idx = np.array(self.graph.dest, dtype=np.int64)
        bp.migration_weights = np.array(self.graph.weights, dtype=np.float64)
        return bp

    def emigration(self, n_ages: int, params=None) -> np.ndarray:
        """The (sites, 2, ages) emigration rates of this landscape."""
        if self._emigration is not None:
            rates = D.emigration_rates(self._emigration, self.n_sites, n_ages)
            order = getattr(self, "_emigration_order", None)
            return rates if order is None else np.ascontiguousarray(rates[order])
        rate = np.asarray(getattr(params, "migration_rate", np.zeros(0)), dtype=np.float64)
        if rate.size == 0:
            return np.zeros((self.n_sites, 2, n_ages))
        return D.emigration_rates(rate.reshape(2, n_ages), self.n_sites, n_ages)

    def scalar_column(self, name: str, params) -> np.ndarray:
        """The per-site values of one scalar ecology parameter."""
        if name in self.site_params:
            return self.site_params[name].copy()
        return np.full(self.n_sites, float(getattr(params, name)))

    def columns(self, blueprint, params) -> dict:
        """The ecology columns of the spatial session."""
        n, a = self.n_sites, int(blueprint.n_ages)
        cols = L.ecology_columns(params, n)
        for name, v in self.site_params.items():
            cols[name] = v.astype(np.int64) if name == "growth_mode" else v.copy()
        cols["migration_rate"] = np.ascontiguousarray(self.emigration(a, params).reshape(-1))
        return cols

    def equilibrium_counts(self, blueprint, params) -> np.ndarray:
        """Every site at the equilibrium age distribution of its own parameters
        (the one density regulation is calibrated to: age 0 empty at a tick
        boundary, age 1 holding the carrying capacity split by sex, older ages
        following the survival rates; a declared ``equilibrium_distribution``
        replaces it), in the genotype mix of the blueprint's initial
        individuals, per sex. Shape (sites, 2, ages, genotypes)."""
        n, a, z = self.n_sites, int(blueprint.n_ages), int(blueprint.n_ztypes)
        init = np.asarray(blueprint.initial_individual_count, dtype=np.float64).reshape(2, a, z)
        mix = np.zeros((2, z))
        for s in range(2):
            tot = init[s].sum(axis=0)
            if tot.sum() > 0:
                mix[s] = tot / tot.sum()
        if not mix.any():
            if bool(blueprint.has_sex_chromosomes):
                raise ValueError("start='equilibrium' takes the genotype mix of each sex from the "
                                 "blueprint's initial individuals; give some of each sex")
            mix[:, 0] = 1.0
        for s, sex in enumerate(("female", "male")):
            if not mix[s].any():
                raise ValueError(f"start='equilibrium' takes the genotype mix of each sex from the "
                                 f"blueprint's initial individuals, which hold no {sex}s")
        declared = np.asarray(params.equilibrium_distribution, dtype=np.float64)
        ages = np.zeros((n, 2, a))
        if declared.size:
            ages[:] = declared.reshape(2, a)
        elif a > 1:
            k = self.scalar_column("carrying_capacity", params)
            e = np.full(n, 0.5) if bool(blueprint.has_sex_chromosomes) else \
                self.scalar_column("sex_ratio", params)
            o = 1.0 - e
            surv = np.asarray(params.survival_rates, dtype=np.float64).reshape(2, a)
            sf, sm = surv[0, 0], surv[1, 0]
            big_e = e * sf + o * sm
            if sf != sm:
                ok = big_e > 0
                safe = np.where(ok, big_e, 1.0)
                ages[:, 0, 1] = np.where(ok, k * ((e * sf) / safe), k * e)
                ages[:, 1, 1] = np.where(ok, k * ((o * sm) / safe), k * o)
            else:
                ages[:, 0, 1] = k * e
                ages[:, 1, 1] = k * o
            for age in range(2, a):
                ages[:, 0, age] = ages[:, 0, age - 1] * surv[0, age - 1]
                ages[:, 1, age] = ages[:, 1, age - 1] * surv[1, age - 1]
        return np.ascontiguousarray(ages[:, :, :, None] * mix[None, :, None, :])

    def engine_parts(self, blueprint, params) -> tuple:
        """(columns, genetics bank, variant ids, counts, stored sperm) of the
        spatial session for a blueprint with this landscape's demes."""
        n, a, z = self.n_sites, int(blueprint.n_ages), int(blueprint.n_ztypes)
        sperm = np.zeros((n, a, z, z))
        kind = self._start.kind
        if kind == "explicit":
            ind = self._start.counts
            if ind.shape != (n, 2, a, z):
                raise ValueError(f"start must have shape ({n}, 2, {a}, {z}) for this model, got {ind.shape}")
            if self._start.sperm is not None:
                sperm = self._start.sperm.copy()
            ind = ind.copy()
        elif kind == "equilibrium":
            ind = self.equilibrium_counts(blueprint, params)
            if bool(blueprint.stochastic) and not bool(blueprint.continuous_sampling):
                ind = np.floor(ind + 0.5)  # whole individuals for integer draws
        else:
            ind = np.ascontiguousarray(np.broadcast_to(
                np.asarray(blueprint.initial_individual_count, dtype=np.float64).reshape(2, a, z),
                (n, 2, a, z)))
            sperm0 = np.asarray(blueprint.initial_sperm_storage, dtype=np.float64)
            if sperm0.size:
                sperm[:] = sperm0.reshape(a, z, z)
        if bool(getattr(blueprint, "discrete_generation", False)):
            sperm = np.zeros((n, a, z, z))
        bank = [{name: np.ascontiguousarray(getattr(params, name), dtype=np.float64).ravel()
                 for name in L.GENETICS_TENSORS}]
        return self.columns(blueprint, params), bank, np.zeros(n, dtype=np.int64), ind, sperm

    def session(self, blueprint, params, seed: int = 0, *, program=None) -> "SiteSession":
        """A running session of this landscape (``SiteSession``)."""
        s = SiteSession(self, blueprint, params, seed)
        if program is not None:
            s.set_hook_program(program.build() if hasattr(program, "build") else program)
        return s

    def program(self, blueprint):
        """A ``HookProgramBuilder`` for this landscape's demes (releases into
        chosen sites: ``add_hook(..., demes=landscape.select(...))``)."""
        from .hooks import HookProgramBuilder

        return HookProgramBuilder.for_blueprint(self.blueprint(blueprint))

    def add_release(self, program, amount, *, sites=None, near=None, radius=None, nearest=None,
                    event: str = "early", sex="male", ages=None, ztypes=None, when=None):
        """Add a release of `amount` individuals per chosen site to `program`
        (a builder from ``program``): the sites by index or label (`sites`),
        or within `radius` of a point or site `near`, or its `nearest` sites
        (``select``). `when` repeats it (``hooks.every(7) & hooks.before(60)``;
        default: every tick). Returns the chosen site indices."""
        from . import hooks as H

        chosen = self.select(sites, near=near, radius=radius, nearest=nearest)
        program.add_hook(event, H.release(amount, sex=sex, ages=ages, ztypes=ztypes, when=when),
                         demes=chosen)
        return chosen

    def model(self, blueprint, params, program=None):
        """A ``qorin.sweeps.Model`` running this landscape: give it to
        ``qorin.sweep`` for replicates and parameter grids."""
        from .sweeps import Model

        self.check_schedules(params)
        return Model(self.blueprint(blueprint), params, program, _Factory(self))

    def check_schedules(self, params) -> None:
        """Raise ``ValueError`` when a table or seasonal schedule would put a
        parameter of some site out of its range (relative schedules scale the
        sites' own values from ``site_params`` or `params`)."""
        base = {name: self.scalar_column(name, params) for name in S.SCHEDULED}
        S.Scheduler(self.schedules, base, self.n_sites).check()

    def simulate(self, blueprint, params, n_ticks: int, *, seed: int = 0, program=None,
                 record_interval: int = 1):
        """Run one session for `n_ticks` ticks; the rows as a Dataset whose
        ``deme`` dimension carries the sites' coordinates and labels."""
        from . import results as R

        s = self.session(blueprint, params, seed, program=program)
        final_tick, rows, stopped = s.run(int(n_ticks), int(record_interval))
        ds = R.to_dataset(rows, s.blueprint, "spatial", params=params,
                          attrs={"seed": int(seed), "final_tick": int(final_tick),
                                 "stopped": int(bool(stopped))})
        return self.annotate(ds)

    def sweep(self, blueprint, params, n_ticks: int, **kw):
        """``qorin.sweep`` of this landscape (replicates through any executor),
        annotated with the sites."""
        from .sweeps import sweep

        return self.annotate(sweep(self.model(blueprint, params, kw.pop("program", None)), n_ticks, **kw))

    def annotate(self, ds):
        """`ds` with the sites on its ``deme`` dimension: coordinates ``x``,
        ``y`` and ``site`` (labels); ``ds.attrs["qorin_coordinates"]`` says
        whether they are planar or lon/lat."""
        if ds.sizes.get("deme") != self.n_sites:
            raise ValueError(f"the dataset has {ds.sizes.get('deme')} demes, the landscape {self.n_sites} sites")
        ds = ds.assign_coords(x=("deme", self.x.copy()), y=("deme", self.y.copy()),
                              site=("deme", np.array(self.labels, dtype=object)))
        ds.attrs["qorin_coordinates"] = self.coordinates
        ds.attrs["qorin_landscape"] = json.dumps(self.describe())
        return ds

    def describe(self) -> dict:
        """A JSON-compatible summary: sites, links, kernel, per-site parameters, start, schedules."""
        return {"n_sites": self.n_sites, "coordinates": self.coordinates,
                "edges": self.graph.n_edges,
                "dispersal": self.dispersal.describe() if self.dispersal is not None else None,
                "site_params": sorted(self.site_params), "start": self._start.kind,
                "schedules": [s.describe() for s in self.schedules]}

    def __repr__(self) -> str:
        return (f"Landscape({self.n_sites} sites, {self.coordinates}, {self.graph.n_edges} links, "
                f"start={self._start.kind!r}, schedules={[s.name for s in self.schedules]})")


class _PermutedFunction:
    """A schedule function whose per-site values follow renumbered sites."""

    def __init__(self, function, order):
        self.function, self.order = function, order

    def __call__(self, tick):
        v = np.asarray(self.function(tick), dtype=np.float64)
        return v if v.ndim == 0 else v[self.order]


def _permuted(schedule, order):
    import dataclasses

    if schedule.kind == "function":
        return dataclasses.replace(schedule, function=_PermutedFunction(schedule.function, order))
    if schedule.table.ndim == 2:
        return dataclasses.replace(schedule, table=np.ascontiguousarray(schedule.table[:, order]))
    return schedule


class _Factory:
    """``session(blueprint, params, seed)`` for sweeps; picklable when the
    landscape is (schedule and kernel functions defined at module level)."""

    def __init__(self, landscape: Landscape):
        self.landscape = landscape

    @property
    def session_class(self):
        """The class of the sessions it makes (which fixes the layout of their rows)."""
        return SiteSession

    def __call__(self, blueprint, params, seed: int = 0):
        return SiteSession(self.landscape, blueprint, params, seed)


class SiteSession(L.LandscapeSession):
    """A spatial session of a ``Landscape``: every site with its own ecology
    and starting population. The engine writes the landscape's schedules at
    every tick boundary (see ``qorin.schedules``): the session, as made and
    after every ``run``, ``tick`` or ``session.run_tick()``, holds the values
    scheduled for its current tick. ``run`` returns what
    ``LandscapeSession.run`` returns; ``parameter_log`` holds every committed
    parameter change (schedules and hooks) unless a bound history takes them."""

    def __init__(self, landscape: Landscape, blueprint, params, seed: int = 0):
        if not isinstance(landscape, Landscape):
            raise TypeError(f"landscape must be a qorin.Landscape, got {type(landscape).__name__}")
        bp = landscape.blueprint(blueprint)
        self.landscape = landscape
        self.params = params
        self._parts = landscape.engine_parts(bp, params)
        super().__init__(bp, params, seed)
        self._parts = None
        self._log = _engine_rs.ParameterLog()
        base = {name: landscape.scalar_column(name, params) for name in S.SCHEDULED}
        self.scheduler = S.Scheduler(landscape.schedules, base, landscape.n_sites)
        self.scheduler.check()
        self._session.set_schedules(self.scheduler.engine_tables())
        if self.scheduler.functions:
            self._at_boundary = self.scheduler.function_values
            self._session.run(0, 0, at_boundary=self._at_boundary)  # writes the current tick's values

    def _engine_parts(self, blueprint, params) -> tuple:
        return self._parts

    @property
    def parameter_log(self):
        """A ``ParameterLog`` of every committed parameter change, oldest
        first: (tick, name, deme, event, old, new), event "schedule" for the
        schedules' writes and the hook event for a hook's. Changes made while
        a history is bound go to its per-site logs instead."""
        self._session.drain_journal_into(self._log)
        return self._log
