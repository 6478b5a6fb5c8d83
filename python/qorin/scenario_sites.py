"""The landscape of a scenario file built from sites: a sites file, a kernel
table, schedules and releases into chosen sites (see docs/landscapes.md).

    [landscape]
    sites = "sites.csv"            # x, y[, label] and per-site columns
    coordinates = "lonlat"         # or "planar" (default)
    migration_rate = 0.1           # share leaving a site per tick (or {female, male})
    start = "equilibrium"          # or "initial" (the [initial] counts in every site)
    kernel = {type = "exponential", scale = 2.5, tail = 0.001}

    [[landscape.schedule]]
    parameter = "carrying_capacity"
    profile = [1.2, 1.0, 0.6, 0.4, 0.6, 1.0]   # relative to each site's own value
    # or: table = "k.csv" (one row per tick, one column per site label), start, repeat

Releases take ``sites = ["A", 3]`` (labels or indices) or ``near = {x = .., y = ..,
radius = ..}`` / ``near = {site = "A", nearest = 3}`` besides ``demes``.
Paths are relative to the folder of the scenario file.
"""

from __future__ import annotations

import csv
import math
import os

import numpy as np

from . import dispersal as D
from . import schedules as Sch
from .sites import Landscape, LandscapeError

SITE_KEYS = ("sites", "coordinates", "kernel", "start", "schedule")
_KERNELS = {"exponential": ("scale",), "gaussian": ("sigma",), "lognormal": ("median", "sigma"),
            "hurdle": ("stay", "inner")}
_SCHEDULE = ("parameter", "profile", "table", "start", "repeat", "relative")
_NEAR = ("x", "y", "site", "radius", "nearest")


def uses_sites(land: dict) -> bool:
    return any(k in land for k in SITE_KEYS)


def _path(value, source) -> str:
    if os.path.isabs(value):
        return value
    base = os.path.dirname(os.path.abspath(source)) if source and os.path.isfile(source) else os.getcwd()
    return os.path.join(base, value)


def _kernel(value, path, chk, inner=False):
    allowed = ("type",) + tuple(sorted({k for v in _KERNELS.values() for k in v} | {"cutoff", "tail"}))
    table = chk.table(value, path, allowed, required=("type",))
    kinds = tuple(k for k in _KERNELS if not (inner and k == "hurdle"))
    kind = chk.string(table["type"], path + ("type",), kinds)
    own = _KERNELS[kind] + (("cutoff", "tail") if kind != "hurdle" else ())
    for key in table:
        if key != "type" and key not in own:
            chk.err(path + (key,), f"does not apply to a {kind} kernel; it takes "
                                   + ", ".join(repr(k) for k in own))
    for key in _KERNELS[kind]:
        if key not in table:
            chk.err(path, f"a {kind} kernel needs the key {key!r}")
    if "cutoff" in table and "tail" in table:
        chk.err(path + ("tail",), "give either 'cutoff' (a distance) or 'tail' (a share), not both")
    cut = chk.number(table["cutoff"], path + ("cutoff",), 0.0) if "cutoff" in table else None
    if cut is not None and cut <= 0:
        chk.err(path + ("cutoff",), "must be a distance > 0")
    tail = chk.number(table["tail"], path + ("tail",), 0.0, 1.0) if "tail" in table else None
    if tail is not None and not 0 < tail < 1:
        chk.err(path + ("tail",), f"must be a share in (0, 1), got {tail!r}")
    if kind == "hurdle":
        stay = chk.number(table["stay"], path + ("stay",), rate=True)
        return D.hurdle(stay, _kernel(table["inner"], path + ("inner",), chk, inner=True))
    nums = {}
    for key in _KERNELS[kind]:
        v = chk.number(table[key], path + (key,), 0.0)
        if v <= 0:
            chk.err(path + (key,), f"must be a distance > 0, got {v!r}")
        nums[key] = v
    make = {"exponential": D.exponential, "gaussian": D.gaussian, "lognormal": D.lognormal}[kind]
    return make(**nums, cutoff=cut, tail=tail)


def _schedule_table(file, labels, path, chk) -> np.ndarray:
    name = os.path.basename(file)
    try:
        with open(file, newline="", encoding="utf-8-sig") as fh:
            rows = [r for r in csv.reader(fh) if any(c.strip() for c in r)]
    except OSError as exc:
        chk.err(path, f"cannot read {file}: {exc.strerror}")
    except (UnicodeDecodeError, csv.Error) as exc:
        chk.err(path, f"{name}: not a UTF-8 CSV file ({exc})")
    if len(rows) < 2:
        chk.err(path, f"{name}: needs a header row of site labels and one row per tick")
    header = [h.strip() for h in rows[0]]
    index = {lab: k for k, lab in enumerate(labels)}
    for c, h in enumerate(header, start=1):
        if h not in index:
            chk.err(path, f"{name}, row 1, column {c}: {h!r} is not the label of a site")
        if h in header[:c - 1]:
            chk.err(path, f"{name}, row 1, column {h!r}: the site appears twice")
    if len(header) != len(labels):
        missing = [lab for lab in labels if lab not in header]
        chk.err(path, f"{name}, row 1: no column for the site {missing[0]!r}")
    out = np.empty((len(rows) - 1, len(labels)))
    for r, row in enumerate(rows[1:], start=2):
        if len(row) != len(header):
            chk.err(path, f"{name}, row {r}: {len(row)} fields, the header has {len(header)}")
        for h, cell in zip(header, row):
            try:
                v = float(cell)
            except ValueError:
                chk.err(path, f"{name}, row {r}, column {h!r}: {cell.strip()!r} is not a number")
            if not math.isfinite(v):
                chk.err(path, f"{name}, row {r}, column {h!r}: {cell.strip()!r} is not a finite number")
            out[r - 2, index[h]] = v
    return out


def _schedules(value, path, labels, source, chk) -> list:
    if isinstance(value, dict):
        chk.err(path, "must be an array of tables: write each schedule as [[landscape.schedule]]")
    chk.array(value, path)
    out, seen = [], {}
    for k, item in enumerate(value):
        p = path + (k,)
        chk.table(item, p, _SCHEDULE, required=("parameter",))
        name = chk.string(item["parameter"], p + ("parameter",), Sch.SCHEDULED)
        if name in seen:
            chk.err(p + ("parameter",), f"{name} already has a schedule (schedule {seen[name]})")
        seen[name] = k
        if ("profile" in item) == ("table" in item):
            chk.err(p, "give either 'profile' (a periodic list of values) or 'table' (a CSV file of "
                       "ticks x sites)")
        start = chk.integer(item.get("start", 0), p + ("start",), 0)
        try:
            if "profile" in item:
                prof = chk.array(item["profile"], p + ("profile",))
                if not prof:
                    chk.err(p + ("profile",), "must hold at least one value")
                values = [chk.number(v, p + ("profile", j), 0.0) for j, v in enumerate(prof)]
                if "repeat" in item:
                    chk.err(p + ("repeat",), "a profile always repeats; 'repeat' goes with 'table'")
                relative = chk.boolean(item.get("relative", True), p + ("relative",))
                if not relative:
                    Sch.check_values(name, np.array(values), "profile")
                out.append(Sch.seasonal(name, values, start=start, relative=relative))
            else:
                file = chk.string(item["table"], p + ("table",))
                if "relative" in item:
                    chk.err(p + ("relative",), "a table gives the values themselves; 'relative' goes "
                                               "with 'profile'")
                table = _schedule_table(_path(file, source), labels, p + ("table",), chk)
                repeat = chk.boolean(item.get("repeat", False), p + ("repeat",))
                Sch.check_values(name, table, os.path.basename(file))
                out.append(Sch.schedule_table(name, table, start=start, repeat=repeat))
        except ValueError as exc:
            if type(exc).__name__ == "ScenarioError":
                raise
            chk.err(p, str(exc))
    return out


def build(land: dict, path: tuple, rates: tuple, chk, source, shape_graph=None):
    """The ``Landscape`` of a [landscape] section that names a sites file (or
    a kernel, schedules or a start on a ring or grid). `shape_graph` is the
    (x, y, graph) of a ring or grid."""
    coords = chk.string(land.get("coordinates", "planar"), path + ("coordinates",), ("planar", "lonlat"))
    start = chk.string(land.get("start", "initial"), path + ("start",), ("initial", "equilibrium"))
    kernel = _kernel(land["kernel"], path + ("kernel",), chk) if "kernel" in land else None
    emigration = {"female": rates[0], "male": rates[1]}
    kw = dict(coordinates=coords, emigration=emigration,
              start="equilibrium" if start == "equilibrium" else None)
    try:
        if "sites" in land:
            file = chk.string(land["sites"], path + ("sites",))
            if kernel is None:
                chk.err(path, "a landscape of sites needs a 'kernel' table (how far individuals move)")
            landscape = Landscape.from_csv(_path(file, source), dispersal=kernel, **kw)
        else:
            x, y, graph = shape_graph
            if coords != "planar":
                chk.err(path + ("coordinates",), "a ring or grid is planar; lon/lat sites come from a sites file")
            landscape = Landscape(x, y, dispersal=kernel if kernel is not None else graph, **kw)
    except (LandscapeError, ValueError) as exc:
        if type(exc).__name__ == "ScenarioError":
            raise
        chk.err(path + (("sites",) if "sites" in land else ()), str(exc))
    if "schedule" in land:
        scheds = _schedules(land["schedule"], path + ("schedule",), landscape.labels, source, chk)
        landscape = landscape.replace(schedules=scheds)
    return landscape


def release_sites(rel, path, landscape, chk):
    """The sites of a release named by `sites` or `near` (None when neither)."""
    if "sites" in rel and "near" in rel:
        chk.err(path + ("near",), "give either 'sites' or 'near', not both")
    if ("sites" in rel or "near" in rel) and "demes" in rel:
        chk.err(path + ("demes",), "give either 'demes' or 'sites'/'near', not both")
    if "sites" in rel:
        p = path + ("sites",)
        if landscape is None:
            chk.err(p, "releases go to sites of a landscape; add a [landscape] section")
        value = rel["sites"]
        items = chk.array(value, p) if isinstance(value, list) else [value]
        if not items:
            chk.err(p, "must name at least one site")
        out = []
        for j, item in enumerate(items):
            q = p + (j,) if isinstance(value, list) else p
            if isinstance(item, bool) or not isinstance(item, (int, str)):
                chk.err(q, "must be a site label (a string) or index (an integer)")
            try:
                k = landscape.index(item)
            except (ValueError, TypeError) as exc:
                chk.err(q, str(exc))
            if k in out:
                chk.err(q, f"names site {item!r} twice")
            out.append(k)
        return sorted(out)
    if "near" in rel:
        p = path + ("near",)
        if landscape is None:
            chk.err(p, "releases go to sites of a landscape; add a [landscape] section")
        near = chk.table(rel["near"], p, _NEAR)
        if ("site" in near) == ("x" in near or "y" in near):
            chk.err(p, "give either 'site' or both 'x' and 'y'")
        if "site" in near:
            where = near["site"]
            if isinstance(where, bool) or not isinstance(where, (int, str)):
                chk.err(p + ("site",), "must be a site label (a string) or index (an integer)")
        else:
            for key in ("x", "y"):
                if key not in near:
                    chk.err(p, f"missing the key {key!r}")
            where = (chk.number(near["x"], p + ("x",)), chk.number(near["y"], p + ("y",)))
        if ("radius" in near) == ("nearest" in near):
            chk.err(p, "give either 'radius' or 'nearest'")
        try:
            if "radius" in near:
                return landscape.select(near=where, radius=chk.number(near["radius"], p + ("radius",), 0.0))
            return landscape.select(near=where, nearest=chk.integer(near["nearest"], p + ("nearest",), 1,
                                                                    landscape.n_sites))
        except ValueError as exc:
            if type(exc).__name__ == "ScenarioError":
                raise
            chk.err(p, str(exc))
    return None
