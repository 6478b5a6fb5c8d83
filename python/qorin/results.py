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
``allele_frequencies`` and ``genotype_frequencies`` summarise it; ``save`` and
``load`` keep it in a netCDF (or zarr) file with the model's description in the
attributes. pandas and xarray come with the "analysis" extra; nothing here is
imported before it is used.
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass
from typing import Any, Iterable, Sequence

import numpy as np

from . import _engine_rs
from ._optional import require

__all__ = [
    "RowLayout", "row_layout", "history_width", "history_store", "check_history",
    "to_dataset", "to_dataframe", "population_size", "adult_counts", "allele_frequencies",
    "genotype_frequencies", "extinction_probability", "describe_model", "model_description",
    "save", "load", "simulate", "replicates",
]

SEXES = ("female", "male")


def _xr():
    return require("xarray", "labelled results")


def _session_kind(session) -> str | None:
    if session is None:
        return None
    if isinstance(session, str):
        kind = session
    else:
        cls = session if isinstance(session, type) else type(session)
        kind = {"EngineSession": "age", "DiscreteEngineSession": "discrete",
                "HeterogeneousSpatialEngineSession": "spatial"}.get(cls.__name__)
        if kind is None:
            raise ValueError(f"session must be an engine session class or instance, got {cls.__name__}")
    if kind not in ("age", "discrete", "spatial"):
        raise ValueError(f"session must be 'age', 'discrete' or 'spatial', got {session!r}")
    return kind


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
        return int(np.prod(self.count_shape))

    @property
    def sperm_size(self) -> int:
        return int(np.prod(self.sperm_shape)) if self.sperm else 0

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
    instance, or "age", "discrete", "spatial"; by default ``EngineSession``, or
    the spatial session when the blueprint has several demes). ``sperm``
    overrides whether rows carry stored sperm (discrete sessions do not)."""
    kind = _session_kind(session)
    n_demes = int(getattr(blueprint, "n_demes", 1))
    if kind is None:
        kind = "spatial" if n_demes > 1 else "age"
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
def _jsonable(value):
    if isinstance(value, np.ndarray):
        return _jsonable(value.tolist())
    if isinstance(value, (np.integer,)):
        return int(value)
    if isinstance(value, (np.floating,)):
        return float(value)
    if isinstance(value, (np.bool_,)):
        return bool(value)
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
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
        "genotypes": list(map(str, bp.ztype_names)), "gametes": list(map(str, bp.gtype_names)),
    }
    locus = getattr(bp, "locus", None)
    if locus is not None and getattr(locus, "description", None):
        out["genetics"] = _jsonable(locus.description)
    if params is not None:
        fields = {}
        for name, value in vars(params).items():
            if name.startswith("_"):
                continue
            if name == "custom_slots":
                value = {k: _jsonable(v) for k, v in dict(value).items()}
            fields[name] = _jsonable(value)
        out["params"] = fields
    return out


def model_description(ds) -> dict:
    """The model description stored in a Dataset's attributes (an empty dict when absent)."""
    text = ds.attrs.get("qorin_model")
    return json.loads(text) if text else {}


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
    xr = _xr()
    layout = row_layout(blueprint, session, sperm=sperm)
    rows = _rows_of(source)
    ticks, counts, stored = layout.split(rows)
    labels = _labels(blueprint)
    ages = np.arange(layout.n_ages)
    adult = ages >= int(blueprint.new_adult_age)
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
    ds.attrs["qorin_model"] = json.dumps(describe_model(blueprint, params))
    ds.attrs["qorin_version"] = _version()
    for key, value in (attrs or {}).items():
        ds.attrs[str(key)] = value if isinstance(value, (str, int, float)) else json.dumps(_jsonable(value))
    return ds


def _version() -> str:
    from . import __version__

    return __version__


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


def population_size(source, *, adults_only: bool = False, by_sex: bool = False):
    """Individuals per tick (summed over ages, genotypes, demes and, unless
    ``by_sex``, sexes); ``adults_only`` counts adult ages only."""
    c = _count(source)
    if adults_only:
        c = c.where(c["adult"], 0.0)
    dims = [d for d in ("deme", "age", "genotype") if d in c.dims]
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
                       include_y: bool = False):
    """Frequency of every allele of one locus per tick (dims tick[, replicate],
    allele), from the genotype labels ("A/B", loci separated by ";"). On a sex
    chromosome locus the Y is left out unless ``include_y``, so X-linked alleles
    are frequencies among X chromosomes. NaN where no allele is present."""
    xr = _xr()
    c = _count(source)
    if adults_only:
        c = c.where(c["adult"], 0.0)
    per_genotype = c.sum(dim=[d for d in ("deme", "sex", "age") if d in c.dims])
    names, table = _allele_table([str(v) for v in c["genotype"].values], int(locus), include_y)
    copies = xr.DataArray(table, dims=("genotype", "allele"),
                          coords={"genotype": c["genotype"].values, "allele": names})
    alleles = (per_genotype * copies).sum(dim="genotype")
    total = alleles.sum(dim="allele")
    return (alleles / total.where(total > 0)).rename("allele_frequency")


def genotype_frequencies(source, *, adults_only: bool = False, by_sex: bool = False):
    """Share of each genotype per tick (dims tick[, replicate][, sex], genotype);
    NaN where the population is empty."""
    c = _count(source)
    if adults_only:
        c = c.where(c["adult"], 0.0)
    dims = [d for d in ("deme", "age") if d in c.dims]
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
    from .sweeps import _threshold

    return (size <= _threshold(threshold)).mean(dim="replicate").rename("extinction_probability")


# ------------------------------------------------------------------ files
def _netcdf_engine():
    for name in ("h5netcdf", "scipy", "netCDF4"):
        try:
            __import__(name)
            return name
        except ImportError:
            continue
    raise ImportError("saving to netCDF needs h5netcdf (or scipy or netCDF4); install the "
                      "'analysis' extra: pip install \"qorin[analysis]\"")


def save(ds, path, *, engine: str | None = None, compress: bool = False) -> None:
    """Write a Dataset to `path`: a directory ending in ".zarr" as zarr, anything
    else as netCDF. The model description travels in the attributes.
    ``compress`` deflates the data variables of a netCDF4 file (h5netcdf or
    netCDF4 engine): counts of many replicates hold long runs of zeros."""
    _xr()
    path = os.fspath(path)
    if path.endswith(".zarr"):
        require("zarr", "saving to zarr")
        ds.to_zarr(path, mode="w")
        return
    engine = engine or _netcdf_engine()
    encoding = None
    if compress and engine in ("h5netcdf", "netCDF4"):
        encoding = {name: {"zlib": True, "complevel": 4} for name in ds.data_vars
                    if ds[name].dtype.kind in "fiub"}
    ds.to_netcdf(path, engine=engine, encoding=encoding)


def load(path, *, engine: str | None = None):
    """Read a Dataset written by ``save`` (fully loaded; the file is closed)."""
    xr = _xr()
    path = os.fspath(path)
    if path.rstrip("/").endswith(".zarr"):
        require("zarr", "loading zarr")
        with xr.open_zarr(path) as ds:
            return ds.load()
    with xr.open_dataset(path, engine=engine or _netcdf_engine()) as ds:
        out = ds.load()
    if "adult" in out.coords:
        out = out.assign_coords(adult=out["adult"].astype(bool))
    return out


# ------------------------------------------------------------------ running
def _program(program):
    if program is None:
        return None
    return program.build() if hasattr(program, "build") else program


def simulate(blueprint, params, n_ticks: int, *, seed: int = 0, program=None,
             record_interval: int = 1, progress: bool = False, round_counts: bool = False):
    """Run a fresh ``EngineSession`` for `n_ticks` ticks (>= 0) and return its
    rows, recorded every `record_interval` ticks (>= 1), as a Dataset.
    `program` is a ``HookProgramBuilder`` or a built program; `seed` an integer
    in 0..2**64-1. The attributes ``final_tick`` and ``stopped`` tell how the run
    ended (a hook such as ``stop_if_extinct`` may stop it early). ``progress``
    shows a tqdm progress bar in ticks per second (the rows are the same).

    The model is checked before the first tick (``contracts.check_model``): a
    ``ValueError`` names a value out of its range or, in a stochastic model, a
    fractional count by sex, age and genotype; ``round_counts=True`` rounds such
    counts to whole individuals instead (in copies; the blueprint and program
    given are not changed)."""
    from . import contracts
    from .sweeps import _run_args, engine_seed

    seed = engine_seed(seed)
    n_ticks, record_interval = _run_args(n_ticks, record_interval)
    blueprint, prog = contracts.check_model(blueprint, params, _program(program),
                                            round_counts=round_counts)
    session = _engine_rs.EngineSession(blueprint, params, seed)
    if prog is not None:
        session.set_hook_program(prog)
    if progress:
        from .sweeps import run

        final_tick, rows, stopped = run(session, n_ticks, record_interval, progress="simulate")
    else:
        final_tick, rows, stopped = session.run(n_ticks, record_interval)
    return to_dataset(rows, blueprint, params=params,
                      attrs={"seed": int(seed), "final_tick": int(final_tick), "stopped": int(bool(stopped))})


def replicates(blueprint, params, n_ticks: int, seeds: Iterable[int] | int = 10, *, program=None,
               record_interval: int = 1, executor=None, workers: int | None = None,
               progress: bool = False, round_counts: bool = False):
    """Run one fresh session per seed (an int n means seeds 0..n-1) and stack the
    results along a ``replicate`` dimension.

    A replicate that a hook stopped early (for example ``stop_if_extinct``) keeps,
    for the ticks after its stop, the state it stopped in: a stopped session holds
    it unchanged. The variable ``stop_tick`` gives its final tick and ``stopped``
    whether it stopped. `executor` runs the replicates in parallel: "threads" or
    "processes" (``workers`` of them, by default one per core), or any object
    with a ``submit`` or ``map`` method (``concurrent.futures`` executors, a dask
    ``Client``...); None runs them one after the other in the calling thread.
    ``progress`` shows a tqdm progress bar. ``qorin.sweep`` runs replicates over
    parameter grids with seeds spawned from one root seed. The model is checked
    (and, with ``round_counts``, rounded) as by ``simulate``; a failing replicate
    raises ``qorin.sweeps.ReplicateError`` naming its seed, with the finished
    replicates in its ``partial``.
    """
    from .sweeps import replicates as run_replicates

    return run_replicates(blueprint, params, n_ticks, seeds, program=_program(program),
                          record_interval=record_interval, executor=executor, workers=workers,
                          progress=progress, round_counts=round_counts)
