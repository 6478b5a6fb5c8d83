"""Per-site summaries of a landscape run: arrival, suppression, speed of spread.

Each takes a Dataset of a landscape (``Landscape.simulate``, ``Landscape.sweep``
or any Dataset with a ``deme`` dimension; the sites' coordinates ``x`` and
``y`` come from ``Landscape.annotate``) and keeps its parameter and
``replicate`` dimensions.

- ``arrival_tick``: per site, the first recorded tick at which an allele's
  frequency in the site is at least `threshold` (NaN where it never is).
- ``site_suppression``: per site, the first recorded tick at which its
  population is at most `threshold`, and per tick the share of sites so
  suppressed.
- ``spread_speed``: the speed of a wave, from the least-squares line of arrival
  tick on distance from the release (distance units per tick).
"""

from __future__ import annotations

import math

import numpy as np

from . import results as R
from ._optional import require

__all__ = ["arrival_tick", "site_suppression", "spread_speed", "distances"]


def _need_demes(ds) -> None:
    if "deme" not in ds["count"].dims:
        raise ValueError("this summary needs a landscape Dataset (a 'deme' dimension)")


def arrival_tick(ds, allele: str, threshold: float = 0.5, *, locus: int = 0,
                 adults_only: bool = False):
    """First recorded tick at which `allele` reaches `threshold` (frequency >=
    threshold) in each site; NaN where it never does. Dims: the parameter
    dims, ``replicate`` (when present) and ``deme``."""
    _need_demes(ds)
    t = float(threshold)
    if not 0.0 <= t <= 1.0:
        raise ValueError(f"threshold must be a frequency in [0, 1], got {threshold!r}")
    freq = R.allele_frequencies(ds, locus, adults_only=adults_only, by_deme=True)
    names = [str(a) for a in freq["allele"].values]
    if allele not in names:
        raise ValueError(f"allele {allele!r} is not an allele of locus {locus}; allowed: "
                         + ", ".join(map(repr, names)))
    f = freq.sel(allele=allele, drop=True)
    ticks = f["tick"].astype(np.float64)
    return ticks.where(f >= t).min(dim="tick", skipna=True).rename("arrival_tick")


def site_suppression(ds, threshold: float = 0.0, *, adults_only: bool = False):
    """A Dataset with ``suppression_tick`` (per site: the first recorded tick
    at which its population is at most `threshold`, NaN if never) and
    ``suppressed_share`` (per tick: the share of sites at most `threshold`)."""
    xr = require("xarray", "site_suppression")
    _need_demes(ds)
    size = R.population_size(ds, adults_only=adults_only, by_deme=True)
    below = size <= float(threshold)
    ticks = size["tick"].astype(np.float64)
    first = ticks.where(below).min(dim="tick", skipna=True)
    return xr.Dataset({"suppression_tick": first, "suppressed_share": below.mean(dim="deme")})


def distances(ds, origin) -> np.ndarray:
    """Distance of every site of `ds` from `origin`: a site index, a site label
    or an (x, y) point; great-circle km when the Dataset's sites are lon/lat."""
    from .sites import great_circle_km

    if "x" not in ds.coords or "y" not in ds.coords:
        raise ValueError("the Dataset carries no site coordinates; annotate it with Landscape.annotate")
    x, y = ds["x"].values.astype(float), ds["y"].values.astype(float)
    if isinstance(origin, str):
        labels = [str(v) for v in ds["site"].values] if "site" in ds.coords else []
        if origin not in labels:
            raise ValueError(f"no site is labelled {origin!r}")
        k = labels.index(origin)
        px, py = x[k], y[k]
    elif isinstance(origin, (int, np.integer)) and not isinstance(origin, bool):
        if not 0 <= int(origin) < len(x):
            raise ValueError(f"site {int(origin)} out of range for {len(x)} sites")
        px, py = x[int(origin)], y[int(origin)]
    else:
        px, py = (float(v) for v in origin)
    if ds.attrs.get("qorin_coordinates") == "lonlat":
        return great_circle_km(px, py, x, y)
    return np.hypot(x - px, y - py)


def _fit(d: np.ndarray, t: np.ndarray) -> tuple:
    ok = np.isfinite(t)
    d, t = d[ok], t[ok]
    nan = (math.nan,) * 4
    if len(d) < 2 or np.ptp(d) == 0:
        return nan + (len(d),)
    dm, tm = d.mean(), t.mean()
    sxx = ((d - dm) ** 2).sum()
    slope = ((d - dm) * (t - tm)).sum() / sxx
    intercept = tm - slope * dm
    resid = t - (intercept + slope * d)
    stt = ((t - tm) ** 2).sum()
    r2 = 1.0 - (resid ** 2).sum() / stt if stt > 0 else math.nan
    speed = 1.0 / slope if slope > 0 else math.nan
    return speed, slope, intercept, r2, len(d)


def spread_speed(ds, origin, allele: str | None = None, threshold: float = 0.5, *, locus: int = 0,
                 arrival=None, min_distance: float = 0.0):
    """Speed of spread from `origin` (the release site or point): the
    least-squares line of arrival tick on distance from the origin over the
    sites the allele reached (farther than `min_distance`), with speed =
    1 / slope in distance units per tick. Give `allele` (and `threshold`) or
    a ready ``arrival`` (from ``arrival_tick``). Returns a Dataset with
    ``speed``, ``slope`` (ticks per distance unit), ``intercept``, ``r2`` and
    ``n_sites`` per parameter set and replicate; NaN when fewer than two sites
    were reached."""
    xr = require("xarray", "spread_speed")
    if arrival is None:
        if allele is None:
            raise ValueError("give the allele whose arrival sets the speed, or arrival=")
        arrival = arrival_tick(ds, allele, threshold, locus=locus)
    d = distances(ds, origin)
    keep = d >= float(min_distance)
    lead = [k for k in arrival.dims if k != "deme"]
    a = arrival.transpose(*lead, "deme").values
    flat = a.reshape(-1, a.shape[-1])
    out = np.array([_fit(d[keep], row[keep]) for row in flat]).reshape(a.shape[:-1] + (5,))
    coords = {k: arrival[k] for k in lead if k in arrival.coords}
    names = ("speed", "slope", "intercept", "r2", "n_sites")
    data = {n: (lead, out[..., k] if n != "n_sites" else out[..., k].astype(np.int64))
            for k, n in enumerate(names)}
    res = xr.Dataset(data, coords=coords)
    res["speed"].attrs["units"] = "distance per tick"
    return res
