"""Labelled results: rows of a run as an xarray Dataset or a tidy pandas table.

A recorded row is ``[tick, individual counts..., stored sperm...]``: the counts
in ``[sex, age, genotype]`` order (sex 0 female), then, for age-structured
sessions, the stored sperm in ``[age, female genotype, male genotype]`` order;
a population of several demes stacks a leading deme axis on both blocks.
``row_layout`` describes this for a model, ``history_width`` gives the width a
``HistoryStore`` needs and ``history_store`` makes one of the right width.

``to_dataset`` turns rows (an array, the tuple returned by ``run``, or a
``HistoryStore``) into an ``xarray.Dataset`` with the variable ``count``
(dims tick, sex, age, genotype) and ``stored_sperm`` (tick, age,
female_genotype, male_genotype). ``population_size``, ``adult_counts``,
``allele_frequencies`` and ``genotype_frequencies`` summarise it,
``extinction_probability``, ``suppression_tick``, ``suppressed_fraction`` and
``summarize`` summarise replicates and parameter sets; ``save`` and
``load`` keep it in a netCDF (or zarr) file with the model's description in the
attributes. pandas and xarray come with the "analysis" extra; nothing here is
imported before it is used.
"""

from __future__ import annotations

import collections
import functools
import gc
import warnings
import json
import math
import os
import re
import stat
import sys
import threading
from dataclasses import dataclass
from typing import Any, Iterable, Sequence

import numpy as np

from . import _engine_rs
from . import generations as _generations
from ._optional import require
from ._version import __version__

__all__ = [
    "RowLayout", "row_layout", "history_width", "history_store", "check_history",
    "to_dataset", "to_dataframe", "population_size", "adult_counts", "allele_frequencies",
    "genotype_frequencies", "extinction_probability", "describe_model", "model_description",
    "save", "load", "simulate", "replicates", "suppression_tick", "suppressed_fraction", "summarize",
    "parameter_dims",
]
# ``simulate`` and ``replicates`` run models: they live in ``qorin.sweeps`` and
# the package binds them here too (this module never imports the sweeps).

SEXES = ("female", "male")


def _xr():
    return require("xarray", "labelled results")


@dataclass(frozen=True)
class RowLayout:
    """Where each value sits in a recorded row of a model.

    ``width = 1 + count_size + sperm_size``: column 0 is the tick, then the
    counts (shape ``count_shape``), then the stored sperm (``sperm_shape``, absent
    for discrete-generation sessions).
    """

    n_demes: int
    n_ages: int
    n_ztypes: int
    sperm: bool
    stacked: bool  # rows carry a leading deme axis (spatial sessions)

    @property
    def count_shape(self) -> tuple:
        base = (2, self.n_ages, self.n_ztypes)
        return (self.n_demes,) + base if self.stacked else base

    @property
    def sperm_shape(self) -> tuple:
        if not self.sperm:
            return ()
        base = (self.n_ages, self.n_ztypes, self.n_ztypes)
        return (self.n_demes,) + base if self.stacked else base

    @property
    def count_size(self) -> int:
        return math.prod(self.count_shape)

    @property
    def sperm_size(self) -> int:
        return math.prod(self.sperm_shape) if self.sperm else 0

    @property
    def width(self) -> int:
        return 1 + self.count_size + self.sperm_size

    @property
    def dimensions(self) -> tuple:
        """The (demes, sexes, ages, genotypes) a ``HistoryStore`` is made with."""
        return (self.n_demes if self.stacked else 1, 2, self.n_ages, self.n_ztypes)

    def describe(self) -> str:
        parts = [f"1 tick", f"{self.count_size} counts {self.count_shape}"]
        if self.sperm:
            parts.append(f"{self.sperm_size} stored sperm {self.sperm_shape}")
        return " + ".join(parts)

    def split(self, rows) -> tuple:
        """(ticks, counts, sperm) of a (n, width) array: ticks as int64, counts of
        shape (n,) + count_shape, sperm (n,) + sperm_shape or None."""
        rows = np.asarray(rows, dtype=np.float64)
        if rows.ndim != 2 or (rows.shape[0] > 0 and rows.shape[1] != self.width) or \
                (rows.shape[0] == 0 and rows.shape[1] not in (0, self.width)):
            raise ValueError(f"rows must have shape (n, {self.width}) for this model "
                             f"({self.describe()}), got {rows.shape}")
        n = rows.shape[0]
        if n == 0:
            rows = rows.reshape(0, self.width)
        ticks = rows[:, 0].astype(np.int64)
        counts = rows[:, 1:1 + self.count_size].reshape((n,) + self.count_shape).copy()
        sperm = None
        if self.sperm:
            sperm = rows[:, 1 + self.count_size:].reshape((n,) + self.sperm_shape).copy()
        return ticks, counts, sperm


def row_layout(blueprint, session=None, *, sperm: bool | None = None) -> RowLayout:
    """The row layout of `blueprint` as recorded by `session` (a session class or
    instance, or "age", "discrete", "spatial"; by default the session of the
    blueprint's generations, or the spatial session when it has several demes). ``sperm``
    overrides whether rows carry stored sperm (discrete sessions do not)."""
    kind = _generations.session_kind(session)
    n_demes = int(getattr(blueprint, "n_demes", 1))
    if kind is None:
        discrete = getattr(blueprint, "generations", None) in ("discrete", "wright_fisher")
        kind = "spatial" if n_demes > 1 else ("discrete" if discrete else "age")
    if sperm is None:
        sperm = kind != "discrete" and not (kind == "spatial" and
                                           bool(getattr(blueprint, "discrete_generation", False)))
    return RowLayout(n_demes=n_demes, n_ages=int(blueprint.n_ages), n_ztypes=int(blueprint.n_ztypes),
                     sperm=bool(sperm), stacked=kind == "spatial")


def history_width(blueprint, session=None, *, sperm: bool | None = None) -> int:
    """The row width a raw ``HistoryStore`` needs for this model: 1 (tick) +
    2*A*Z counts + A*Z*Z stored sperm for an age-structured session (times the
    number of demes for a spatial one; no sperm for a discrete one)."""
    return row_layout(blueprint, session, sperm=sperm).width


def history_store(blueprint, session=None, *, sperm: bool | None = None, max_rows=None, width=None):
    """A raw ``HistoryStore`` with the width and dimensions this model records.

    ``width``, when given, must be the model's width: otherwise ``ValueError``
    states the expected width. ``max_rows`` keeps only the newest rows."""
    layout = row_layout(blueprint, session, sperm=sperm)
    if width is not None and int(width) != layout.width:
        raise ValueError(f"HistoryStore width {int(width)} does not fit this model: its rows need "
                         f"width {layout.width} ({layout.describe()})")
    return _engine_rs.HistoryStore(layout.width, layout.dimensions, True, max_rows)


def _store_width(store) -> int:
    return int(store.query().shape[1])


def check_history(store, blueprint, session=None, *, sperm: bool | None = None) -> None:
    """Raise ``ValueError`` stating the expected width when `store` cannot record
    this model's rows (call it before ``bind_history``)."""
    layout = row_layout(blueprint, session, sperm=sperm)
    got = _store_width(store)
    if got != layout.width:
        raise ValueError(f"HistoryStore width {got} does not fit this model: its rows need "
                         f"width {layout.width} ({layout.describe()}); make it with "
                         "qorin.history_store(blueprint)")


# ------------------------------------------------------------------ description
def jsonable(value):
    if isinstance(value, np.ndarray):
        kind = value.dtype.kind
        if kind in "biu" or (kind == "f" and value.dtype.itemsize <= 8 and np.isfinite(value).all()):
            return value.tolist()  # Python numbers already: nothing to convert
        return jsonable(value.tolist())
    if isinstance(value, (np.integer,)):
        return int(value)
    if isinstance(value, (np.floating,)):
        return float(value)
    if isinstance(value, (np.bool_,)):
        return bool(value)
    if isinstance(value, dict):
        return {str(k): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    return value


def describe_model(blueprint, params=None) -> dict:
    """A JSON-compatible description of a model: dimensions, switches, genotype
    labels, how the genetics were built and, with `params`, every parameter."""
    bp = blueprint
    out: dict = {
        "n_ages": int(bp.n_ages), "new_adult_age": int(bp.new_adult_age),
        "n_ztypes": int(bp.n_ztypes), "n_gtypes": int(bp.n_gtypes),
        "n_demes": int(getattr(bp, "n_demes", 1)),
        "stochastic": bool(bp.stochastic), "continuous_sampling": bool(bp.continuous_sampling),
        "fixed_egg_count": bool(bp.fixed_egg_count), "discrete_generation": bool(bp.discrete_generation),
        "has_sex_chromosomes": bool(bp.has_sex_chromosomes),
        "extreme_speed_mode": int(bp.extreme_speed_mode),
        "sampling": str(getattr(bp, "sampling", None) or "exact"),
        "generations": str(getattr(bp, "generations", None) or "overlapping"),
        "genotypes": list(map(str, bp.ztype_names)), "gametes": list(map(str, bp.gtype_names)),
    }
    locus = getattr(bp, "locus", None)
    if locus is not None and getattr(locus, "description", None):
        out["genetics"] = jsonable(locus.description)
    if params is not None:
        fields = {}
        for name, value in vars(params).items():
            if name.startswith("_"):
                continue
            if name == "custom_slots":
                value = {k: jsonable(v) for k, v in dict(value).items()}
            fields[name] = jsonable(value)
        out["params"] = fields
    return out


def model_description(ds) -> dict:
    """The model description stored in a Dataset's attributes (an empty dict when
    absent; ``ValueError`` naming the attribute when it is not valid JSON)."""
    return json_attribute(ds, "qorin_model")


# ------------------------------------------------------------------ datasets
def _rows_of(source) -> np.ndarray:
    if isinstance(source, _engine_rs.HistoryStore):
        return source.query()
    if isinstance(source, tuple) and len(source) == 3 and isinstance(source[1], np.ndarray):
        return source[1]  # (final_tick, rows, was_stopped) from run()
    return np.asarray(source, dtype=np.float64)


def _labels(blueprint) -> list:
    return [str(s) for s in blueprint.ztype_names]


def to_dataset(source, blueprint, session=None, *, sperm: bool | None = None, params=None,
               attrs: dict | None = None):
    """The rows of a run as an ``xarray.Dataset``.

    `source` is a (n, width) array of rows, the tuple ``run`` returns, or a raw
    ``HistoryStore``. Variables: ``count`` (tick, [deme,] sex, age, genotype) and,
    when rows carry it, ``stored_sperm`` (tick, [deme,] age, female_genotype,
    male_genotype): the number of females of each age and genotype storing sperm
    of each male genotype. Coordinates label sexes, ages (with ``adult``) and
    genotypes. The attributes hold the model description (``describe_model``).
    """
    _xr()
    layout = row_layout(blueprint, session, sperm=sperm)
    frame = dataset_frame(layout, tuple(_labels(blueprint)), int(blueprint.new_adult_age))
    description = json.dumps(describe_model(blueprint, params))
    return frame.dataset(_rows_of(source), dataset_attrs(description, attrs))


def dataset_attrs(description: str, attrs: dict | None = None) -> dict:
    """The attributes of a run's Dataset: the model description (JSON text),
    the version of qorin, then `attrs` (numbers and text as they are, anything
    else as JSON)."""
    out = {"qorin_model": description, "qorin_version": __version__}
    for key, value in (attrs or {}).items():
        out[str(key)] = value if isinstance(value, (str, int, float)) else json.dumps(jsonable(value))
    return out


class DatasetFrame:
    """What every Dataset of one model's rows shares: the row layout, the
    coordinates of sexes, ages (with ``adult``), genotypes and demes, and the
    order of variables and dimensions. ``dataset_frame`` keeps one per model
    shape, so that a run's Dataset is assembled from its rows without building
    those coordinates and their indexes again."""

    def __init__(self, layout: RowLayout, labels: tuple, new_adult_age: int):
        self.layout, self.labels, self.new_adult_age = layout, tuple(labels), int(new_adult_age)
        self._parts = None  # the shared parts, read from the first Dataset built
        self._ticks: collections.OrderedDict = collections.OrderedDict()  # tick axes seen lately
        self._lock = threading.Lock()

    def _built(self, ticks, counts, stored, attrs: dict):
        """A Dataset through xarray's public constructor."""
        xr = _xr()
        layout, labels = self.layout, list(self.labels)
        ages = np.arange(layout.n_ages)
        adult = ages >= self.new_adult_age
        lead = ("tick", "deme") if layout.stacked else ("tick",)
        coords: dict = {"tick": ticks, "sex": list(SEXES), "age": ages, "genotype": labels,
                        "adult": ("age", adult)}
        if layout.stacked:
            coords["deme"] = np.arange(layout.n_demes)
        data = {"count": (lead + ("sex", "age", "genotype"), counts,
                          {"long_name": "individuals", "units": "individuals"})}
        if stored is not None:
            coords["female_genotype"] = labels
            coords["male_genotype"] = labels
            data["stored_sperm"] = (lead + ("age", "female_genotype", "male_genotype"), stored,
                                    {"long_name": "females storing sperm of a male genotype",
                                     "units": "females"})
        ds = xr.Dataset(data, coords=coords)
        ds.attrs.update(attrs)
        return ds

    def dataset(self, rows, attrs: dict):
        """The Dataset of (n, width) `rows` with the attributes `attrs`: equal in
        every value, coordinate, attribute and order to one built by xarray's
        constructor, and sharing nothing that can be changed with another."""
        ticks, counts, stored = self.layout.split(rows)
        xr = _xr()
        parts = self._parts
        # xarray's constructor from ready variables and indexes: it skips the
        # checks and index building of the public one (a version of xarray
        # without it builds every Dataset through the public one)
        construct = getattr(xr.Dataset, "_construct_direct", None)
        if parts is None or construct is None:
            ds = self._built(ticks, counts, stored, attrs)
            if parts is None:
                self._parts = self._shared(ds)
            return ds
        order, static, indexes, coord_names, sizes, data_dims, data_attrs = parts
        tick, tick_index = self._tick_index(ticks)
        arrays = {"count": counts, "stored_sperm": stored}
        variables = {}
        for name in order:
            if name == "tick":
                variables[name] = tick
            elif name in arrays:
                variables[name] = xr.Variable(data_dims[name], arrays[name], dict(data_attrs[name]))
            else:
                # index coordinates hold immutable pandas indexes; the others are copied
                variables[name] = static[name].copy(deep=name not in indexes)
        dims = dict(sizes)
        dims["tick"] = len(ticks)
        indexes = {name: (tick_index if name == "tick" else index)
                   for name, index in indexes.items()}
        return construct(variables, set(coord_names), dims, dict(attrs), indexes)

    _TICK_INDEXES = 64  # tick axes kept per frame (runs stopped at different ticks differ)

    def _tick_index(self, ticks) -> tuple:
        """(coordinate variable, index) of a tick axis, made as the public
        constructor makes them; the index (immutable) is kept for the next run
        with the same ticks, the variable is a fresh copy for each Dataset."""
        key = ticks.tobytes() if len(ticks) <= 4096 else None
        with self._lock:
            found = self._ticks.get(key) if key is not None else None
            if found is not None:
                self._ticks.move_to_end(key)
        if found is None:
            xr = _xr()
            variable = xr.Variable(("tick",), ticks)
            index = xr.indexes.PandasIndex.from_variables({"tick": variable}, options={})
            found = index.create_variables({"tick": variable})["tick"], index
            if key is not None:
                with self._lock:
                    self._ticks[key] = found
                    while len(self._ticks) > self._TICK_INDEXES:
                        self._ticks.popitem(last=False)
        return found[0].copy(deep=False), found[1]

    @staticmethod
    def _shared(ds) -> tuple:
        order = tuple(ds.variables)
        data = ("count", "stored_sperm")
        indexes = dict(ds.xindexes)
        # an index coordinate keeps the pandas index its Index holds (immutable)
        static = {name: ds.variables[name].copy(deep=name not in indexes) for name in order
                  if name != "tick" and name not in data}
        return (order, static, indexes, tuple(ds.coords), dict(ds.sizes),
                {name: ds[name].dims for name in data if name in ds.variables},
                {name: dict(ds[name].attrs) for name in data if name in ds.variables})


@functools.lru_cache(maxsize=64)
def dataset_frame(layout: RowLayout, labels: tuple, new_adult_age: int) -> DatasetFrame:
    """The ``DatasetFrame`` of a model's row layout, genotype labels and first
    adult age (one per model shape)."""
    return DatasetFrame(layout, tuple(labels), int(new_adult_age))


def _dataset(source, blueprint=None, session=None):
    xr = _xr()
    if isinstance(source, xr.Dataset):
        return source
    if isinstance(source, xr.DataArray):
        return source.to_dataset(name="count")
    if blueprint is None:
        raise ValueError("give a Dataset, or rows together with the blueprint")
    return to_dataset(source, blueprint, session)


def to_dataframe(source, blueprint=None, session=None):
    """A tidy ``pandas.DataFrame`` of the counts: one row per ([replicate,] tick,
    [deme,] sex, age, genotype) with the column ``count``; ``adult`` marks adult
    ages. `source` is a Dataset or anything ``to_dataset`` takes (then give the
    blueprint)."""
    require("pandas", "to_dataframe")
    ds = _dataset(source, blueprint, session)
    df = ds["count"].to_dataframe().reset_index()
    df["adult"] = df["adult"].astype(bool)
    return df


def _count(source):
    xr = _xr()
    if isinstance(source, xr.DataArray):
        return source
    return _dataset(source)["count"]


def population_size(source, *, adults_only: bool = False, by_sex: bool = False,
                    by_deme: bool = False):
    """Individuals per tick (summed over ages, genotypes, demes and, unless
    ``by_sex``, sexes); ``adults_only`` counts adult ages only. ``by_deme``
    keeps the ``deme`` dimension of a landscape (one value per site) instead
    of summing the sites."""
    c = _count(source)
    if adults_only:
        c = c.where(c["adult"], 0.0)
    dims = [d for d in ("deme", "age", "genotype") if d in c.dims and not (by_deme and d == "deme")]
    if not by_sex:
        dims.append("sex")
    return c.sum(dim=dims)


def adult_counts(source):
    """Adults per tick and sex (the ages from ``new_adult_age`` on)."""
    return population_size(source, adults_only=True, by_sex=True)


def _allele_table(labels: Sequence[str], locus: int, include_y: bool):
    loci_names: list = []
    for label in labels:
        parts = label.split(";")
        if not 0 <= locus < len(parts):
            raise ValueError(f"locus must be in 0..{len(parts) - 1}, got {locus}")
        for allele in parts[locus].split("/"):
            if allele not in loci_names and (include_y or allele != "Y"):
                loci_names.append(allele)
    counts = np.zeros((len(labels), len(loci_names)))
    for z, label in enumerate(labels):
        for allele in label.split(";")[locus].split("/"):
            if allele in loci_names:
                counts[z, loci_names.index(allele)] += 1.0
    return loci_names, counts


def allele_frequencies(source, locus: int = 0, *, adults_only: bool = False,
                       include_y: bool = False, by_deme: bool = False):
    """Frequency of every allele of one locus per tick (dims tick[, replicate],
    allele), from the genotype labels ("A/B", loci separated by ";"). On a sex
    chromosome locus the Y is left out unless ``include_y``, so X-linked alleles
    are frequencies among X chromosomes. NaN where no allele is present. On a
    landscape the frequency is that of all sites together (alleles summed over
    the demes) unless ``by_deme``, which gives each site its own frequency
    (a ``deme`` dimension)."""
    xr = _xr()
    c = _count(source)
    if adults_only:
        c = c.where(c["adult"], 0.0)
    per_genotype = c.sum(dim=[d for d in ("deme", "sex", "age")
                              if d in c.dims and not (by_deme and d == "deme")])
    names, table = _allele_table([str(v) for v in c["genotype"].values], int(locus), include_y)
    copies = xr.DataArray(table, dims=("genotype", "allele"),
                          coords={"genotype": c["genotype"].values, "allele": names})
    alleles = (per_genotype * copies).sum(dim="genotype")
    total = alleles.sum(dim="allele")
    return (alleles / total.where(total > 0)).rename("allele_frequency")


def genotype_frequencies(source, *, adults_only: bool = False, by_sex: bool = False,
                         by_deme: bool = False):
    """Share of each genotype per tick (dims tick[, replicate][, sex], genotype);
    NaN where the population is empty. Sites of a landscape are summed unless
    ``by_deme`` (then each site has its own shares, a ``deme`` dimension)."""
    c = _count(source)
    if adults_only:
        c = c.where(c["adult"], 0.0)
    dims = [d for d in ("deme", "age") if d in c.dims and not (by_deme and d == "deme")]
    if not by_sex:
        dims.append("sex")
    per = c.sum(dim=dims)
    total = per.sum(dim="genotype")
    return (per / total.where(total > 0)).rename("genotype_frequency")


def extinction_probability(source, threshold: float = 0.0, *, adults_only: bool = False):
    """Share of replicates whose population is at most `threshold` at each tick
    (needs a ``replicate`` dimension, as made by ``replicates``)."""
    size = population_size(source, adults_only=adults_only)
    if "replicate" not in size.dims:
        raise ValueError("extinction_probability needs a dataset with a 'replicate' dimension")
    return (size <= _threshold(threshold)).mean(dim="replicate").rename("extinction_probability")


# ------------------------------------------------------------------ summaries of replicates
# Dimensions of one run (and ``replicate``): every other dimension of ``count`` indexes parameter sets.
_RUN_DIMS = ("replicate", "tick", "deme", "sex", "age", "genotype", "female_genotype",
             "male_genotype", "allele")


def parameter_dims(ds) -> list:
    """The dimensions of `ds` that index parameter sets (everything but the
    dimensions of a run and ``replicate``)."""
    return [d for d in ds["count"].dims if d not in _RUN_DIMS]


def _size(ds, adults_only: bool, sex):
    if sex in (None, "both", "all"):
        return population_size(ds, adults_only=adults_only)
    if sex not in SEXES:
        raise ValueError(f"sex must be 'female', 'male' or 'both', got {sex!r}")
    return population_size(ds, adults_only=adults_only, by_sex=True).sel(sex=sex, drop=True)


def _threshold(threshold) -> float:
    """A population threshold: a number (NaN would mark every run as never suppressed)."""
    if isinstance(threshold, (bool, np.bool_)) or not isinstance(threshold, (int, float, np.integer,
                                                                              np.floating)):
        raise TypeError(f"threshold must be a number, got {threshold!r}")
    if math.isnan(threshold):
        raise ValueError("threshold must be a number, got nan")
    return float(threshold)


def suppression_tick(ds, threshold: float = 0.0, *, adults_only: bool = False, sex=None):
    """The first recorded tick at which a run's population (adults only, one
    sex only, when asked) is at most `threshold`: NaN for runs that never get
    there. Dims: the parameter dims and ``replicate``."""
    size = _size(ds, adults_only, sex)
    below = size <= _threshold(threshold)
    ticks = size["tick"].astype(np.float64)
    first = ticks.where(below).min(dim="tick", skipna=True)
    return first.rename("suppression_tick")


def suppressed_fraction(ds, tick=None, threshold: float = 0.0, *, adults_only: bool = False, sex=None):
    """Share of replicates suppressed by `tick` (their population was at most
    `threshold` at some recorded tick up to and including it), per parameter
    set; with ``tick=None`` for every recorded tick (a ``tick`` dimension)."""
    if "replicate" not in ds["count"].dims:
        raise ValueError("suppressed_fraction needs a dataset with a 'replicate' dimension")
    first = suppression_tick(ds, threshold, adults_only=adults_only, sex=sex)
    if tick is None:
        by = first <= ds["tick"].astype(np.float64)
    else:
        by = first <= float(tick)
    return by.mean(dim="replicate").rename("suppressed_fraction")


def summarize(ds, threshold: float = 0.0, *, adults_only: bool = False, sex=None, locus: int = 0):
    """One row per parameter set (a ``pandas.DataFrame`` indexed by the
    parameter values): the number of replicates, the share suppressed by the
    last recorded tick, the median tick of suppression among the suppressed
    runs, the median final population and the median final frequency of every
    allele of `locus` (among the runs that still hold that locus)."""
    pd = require("pandas", "summarize")
    threshold = _threshold(threshold)
    if "replicate" not in ds["count"].dims:
        ds = ds.expand_dims(replicate=[0])
    if ds.sizes["tick"] == 0:
        raise ValueError("the dataset holds no recorded tick")
    dims = parameter_dims(ds)
    last = float(ds["tick"].values[-1])
    first = suppression_tick(ds, threshold, adults_only=adults_only, sex=sex)
    final_size = _size(ds, adults_only, sex).isel(tick=-1)
    freq = allele_frequencies(ds, locus, adults_only=adults_only).isel(tick=-1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # medians of all-NaN slices are NaN
        columns = {
            "suppressed": (first <= last).mean(dim="replicate"),
            "median_suppression_tick": first.median(dim="replicate", skipna=True),
            "median_final_size": final_size.median(dim="replicate"),
        }
        for allele in freq["allele"].values:
            columns[f"final_{allele}"] = freq.sel(allele=allele).median(dim="replicate", skipna=True)
    frame = {"replicates": np.full(int(np.prod([ds.sizes[d] for d in dims])), ds.sizes["replicate"])}
    for name, da in columns.items():
        frame[name] = np.asarray(da.transpose(*dims).values if dims else da.values).reshape(-1)
    if dims == ["parameter_set"]:
        names = [c for c in ds.coords if c != "parameter_set" and ds[c].dims == ("parameter_set",)]
        index = pd.MultiIndex.from_arrays([ds[c].values for c in names], names=names) \
            if len(names) > 1 else pd.Index(ds[names[0]].values if names else ds["parameter_set"].values,
                                            name=names[0] if names else "parameter_set")
    elif len(dims) > 1:
        index = pd.MultiIndex.from_product([ds[d].values for d in dims], names=dims)
    elif dims:
        index = pd.Index(ds[dims[0]].values, name=dims[0])
    else:
        index = pd.RangeIndex(1)
    return pd.DataFrame(frame, index=index)


# ------------------------------------------------------------------ files
def netcdf_engine():
    for name in ("h5netcdf", "scipy", "netCDF4"):
        try:
            __import__(name)
            return name
        except ImportError:
            continue
    raise ImportError("saving to netCDF needs h5netcdf (or scipy or netCDF4); install the "
                      "'analysis' extra: pip install \"qorin[analysis]\"")


PARTIAL_MARK = ".qorin-partial-"
"""Files being written are named ``.<name>.qorin-partial-<pid>`` beside their target."""
_PARTIAL = re.compile(r"^\.(?P<name>.+)\.qorin-partial-(?P<pid>[0-9]+)(-old)?$")


class OutputError(ValueError):
    """An output path that results cannot be written to (checked before writing)."""


def is_zarr(path: str) -> bool:
    return path.rstrip("/").endswith(".zarr")


def _is_zarr_store(path: str) -> bool:
    return any(os.path.exists(os.path.join(path, f)) for f in (".zgroup", ".zattrs", "zarr.json"))


def _file_type(mode: int) -> str:
    for test, name in ((stat.S_ISCHR, "character device"), (stat.S_ISBLK, "block device"),
                       (stat.S_ISFIFO, "FIFO (named pipe)"), (stat.S_ISSOCK, "socket")):
        if test(mode):
            return name
    return "special file"


def _name_max(folder: str) -> int:
    try:
        return int(os.pathconf(folder, "PC_NAME_MAX"))
    except (OSError, ValueError, AttributeError):
        return 255


def partial_path(target) -> str:
    """The temporary name a file is written under before it is moved to
    `target`: ``.<name>.qorin-partial-<pid>`` in the same folder (the name is
    shortened when the folder's file system allows no name that long)."""
    folder, name = os.path.split(os.path.abspath(os.fspath(target)))
    tail = f"{PARTIAL_MARK}{os.getpid()}"
    room = _name_max(folder) - len(os.fsencode("." + tail))
    while len(os.fsencode(name)) > room:
        name = name[:-1]
    return os.path.join(folder, f".{name}{tail}")


def check_output(path, *, overwrite: bool = False, hint: str = "overwrite=True") -> str:
    """Check, before anything is computed, that results can be saved to `path`,
    and return the file to write: `path` made absolute, or the target of a
    symbolic link (a link is written through; it stays a link).

    Raises ``OutputError`` (a ``ValueError``) when the folder is missing or
    not writable, the name is too long for the file system, `path` is a
    device, FIFO, socket or a directory (other than an existing zarr store
    when ``overwrite``), or it exists and ``overwrite`` is false (`hint` says
    how to allow it); ``ImportError`` when the writer it needs (zarr, or a
    netCDF library) is not installed."""
    path = os.path.abspath(os.fspath(path))
    target = path
    if os.path.islink(path):
        target = os.path.realpath(path)
        if os.path.islink(target):
            raise OutputError(f"cannot write {path}: it is a symbolic link that loops")
    folder, name = os.path.split(target)
    if not name or name in (".", ".."):
        raise OutputError(f"cannot write {path}: it names no file")
    if not os.path.isdir(folder):
        raise OutputError(f"cannot write {path}: the directory {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"cannot write {path}: the directory {folder} is not writable")
    limit = _name_max(folder)
    if len(os.fsencode(name)) > limit:
        raise OutputError(f"cannot write {path}: the file name is {len(os.fsencode(name))} bytes long; "
                          f"this file system allows at most {limit}")
    zarr = is_zarr(target)
    try:
        st = os.stat(target)
    except FileNotFoundError:
        st = None
    except OSError as exc:
        raise OutputError(f"cannot write {path}: {exc.strerror}") from None
    shown = path if target == path else f"{path} (a link to {target})"
    if st is not None:
        if stat.S_ISDIR(st.st_mode):
            if not zarr:
                raise OutputError(f"cannot write {shown}: it is a directory")
            if not _is_zarr_store(target) and os.listdir(target):
                raise OutputError(f"cannot write {shown}: it is a directory that is not a zarr store; "
                                  "only a zarr store is ever replaced")
        elif not stat.S_ISREG(st.st_mode):
            raise OutputError(f"cannot write {shown}: it is a {_file_type(st.st_mode)}, not a "
                              "regular file")
        elif zarr:
            raise OutputError(f"cannot write {shown}: it is a file, not a zarr store (a directory)")
        if not overwrite:
            raise OutputError(f"{shown} already exists; {hint} replaces it")
    if zarr:
        require("zarr", "saving to zarr")
    else:
        netcdf_engine()
    return target


def stale_partials(folder) -> list:
    """The partial files in `folder` left by writers that no longer run: a list
    of (path, process id, still running)."""
    out = []
    try:
        names = os.listdir(folder)
    except OSError:
        return out
    for name in sorted(names):
        m = _PARTIAL.match(name)
        if not m:
            continue
        pid = int(m.group("pid"))
        out.append((os.path.join(folder, name), pid, _running(pid)))
    return out


def _running(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError, OSError):
        return True
    return True


def remove_path(path: str) -> None:
    """Remove a partial file or zarr directory (nothing when absent)."""
    import shutil

    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.remove(path)
        except FileNotFoundError:
            pass


def write_partial(ds, partial: str, *, zarr: bool, engine: str | None = None,
                  compress: bool = False) -> None:
    """Write `ds` to the partial name `partial` (netCDF, or zarr when `zarr`)."""
    if zarr:
        require("zarr", "saving to zarr")
        ds.to_zarr(partial, mode="w-")
        return
    engine = engine or netcdf_engine()
    encoding = None
    if compress and engine in ("h5netcdf", "netCDF4"):
        encoding = {name: {"zlib": True, "complevel": 4} for name in ds.data_vars
                    if ds[name].dtype.kind in "fiub"}
    ds.to_netcdf(partial, engine=engine, encoding=encoding)
    with open(partial, "rb+") as fh:
        os.fsync(fh.fileno())


def move_into_place(partial: str, target: str, *, overwrite: bool = True) -> None:
    """Move a complete partial file (or zarr store) to `target`, keeping the
    permissions of a file it replaces. An existing zarr store is moved aside
    first and removed once the new one is in place.

    `target` is checked again as it is replaced: if it has become something
    other than a regular file or zarr store (or, without ``overwrite``, if it
    has appeared) since ``check_output`` ``OutputError`` is raised and the
    partial file is left for the caller."""
    try:
        old = os.lstat(target)
    except FileNotFoundError:
        old = None
    if old is not None:
        mode = old.st_mode
        replaceable = stat.S_ISREG(mode) or (stat.S_ISDIR(mode) and is_zarr(target) and (
            _is_zarr_store(target) or not os.listdir(target)))
        if not replaceable:
            kind = "a symbolic link" if stat.S_ISLNK(mode) else \
                "a directory" if stat.S_ISDIR(mode) else f"a {_file_type(mode)}"
            raise OutputError(f"cannot write {target}: it became {kind} while the results were made")
        if not overwrite:
            raise OutputError(f"cannot write {target}: it was created while the results were made")
    if old is not None and stat.S_ISREG(old.st_mode):
        os.chmod(partial, stat.S_IMODE(old.st_mode))
    if old is not None and stat.S_ISDIR(old.st_mode):
        aside = partial + "-old"
        os.rename(target, aside)
        os.rename(partial, target)
        remove_path(aside)
    elif old is None and not overwrite and not os.path.isdir(partial):
        try:
            os.link(partial, target)  # fails, rather than replaces, if the name was taken meanwhile
        except FileExistsError:
            raise OutputError(f"cannot write {target}: it was created while the results were made") \
                from None
        except OSError:  # a file system without hard links
            os.replace(partial, target)
        else:
            os.remove(partial)
    else:
        os.replace(partial, target)
    try:
        fd = os.open(os.path.dirname(target), os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def save(ds, path, *, engine: str | None = None, compress: bool = False,
         overwrite: bool = True) -> None:
    """Write a Dataset to `path`: a directory ending in ".zarr" as zarr, anything
    else as netCDF. The model description travels in the attributes.
    ``compress`` deflates the data variables of a netCDF4 file (h5netcdf or
    netCDF4 engine): counts of many replicates hold long runs of zeros.

    The file is written under a temporary name beside `path` and moved into
    place when complete, so `path` never holds a half-written file. A
    symbolic link is written through (it stays a link). Only a regular file
    or a zarr store is ever replaced, and only when ``overwrite``; a device,
    FIFO, socket or other directory raises ``OutputError`` (a ``ValueError``).
    """
    _xr()
    target = check_output(path, overwrite=overwrite)
    partial = partial_path(target)
    try:
        write_partial(ds, partial, zarr=is_zarr(target), engine=engine, compress=compress)
        move_into_place(partial, target, overwrite=overwrite)
    finally:
        remove_path(partial)


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    text = text[0] if text else ""
    if len(text) > 200:
        text = text[:197] + "..."
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def load(path, *, engine: str | None = None):
    """Read a Dataset written by ``save`` (fully loaded; the file is closed).

    A missing file raises ``FileNotFoundError``; a file that cannot be read
    as a dataset (damaged, truncated or of another format) ``ValueError``
    naming the file and what went wrong."""
    xr = _xr()
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(2, "no such file", path)
    if not is_zarr(path):
        mode = os.stat(path).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(21, "is a directory", path)
        if not stat.S_ISREG(mode):
            raise ValueError(f"{path}: not a results file (it is a {_file_type(mode)})")
    failure = None
    previous = sys.unraisablehook
    sys.unraisablehook = _quiet_reader_cleanup(previous)
    try:
        try:
            out = _read(xr, path, engine)
        except (ImportError, PermissionError):
            raise
        except Exception as exc:  # the readers fail in many ways on damaged files
            failure = f"{path}: not a results file that qorin can read ({_first_line(exc)})"
        if failure is not None:
            gc.collect()  # close what the reader left half open, while its complaints are muted
    finally:
        sys.unraisablehook = previous
    if failure is not None:
        raise ValueError(failure)
    if "adult" in out.coords:
        out = out.assign_coords(adult=out["adult"].astype(bool))
    return out


def _read(xr, path: str, engine):
    if is_zarr(path):
        require("zarr", "loading zarr")
        with xr.open_zarr(path) as ds:
            return ds.load()
    with xr.open_dataset(path, engine=engine or netcdf_engine()) as ds:
        return ds.load()


def _quiet_reader_cleanup(previous):
    """An unraisable-exception hook that mutes the file readers' complaints when
    they close a file they failed to open (h5netcdf objects half made)."""
    def hook(unraisable):
        module = getattr(unraisable.object, "__module__", None) or ""
        if not module.startswith(("h5netcdf", "h5py", "xarray", "netCDF4", "scipy")):
            previous(unraisable)
    return hook


def json_attribute(ds, name: str, default=None):
    """The JSON object stored in the attribute `name` (`default` when absent);
    ``ValueError`` naming the attribute when it is not valid JSON."""
    text = ds.attrs.get(name)
    if text is None or (isinstance(text, str) and not text):
        return {} if default is None else default
    if not isinstance(text, str):
        raise ValueError(f"the attribute {name!r} is not JSON text (it is {type(text).__name__})")
    try:
        value = json.loads(text)
    except ValueError as exc:
        raise ValueError(f"the attribute {name!r} is not valid JSON ({exc})") from None
    if default is None and not isinstance(value, dict):
        raise ValueError(f"the attribute {name!r} must hold a JSON object, got {type(value).__name__}")
    return value
