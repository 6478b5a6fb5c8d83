"""Figures for the common questions, drawn with matplotlib (the "analysis" extra).

Landscapes (``qorin.Landscape``) have their own pictures: ``site_map`` (the
sites coloured by a per-site quantity at chosen ticks, small multiples),
``site_heatmap`` (site x tick, sites ordered by distance from the release),
``arrival_map`` and ``animate_sites`` (a GIF or MP4 of a per-site quantity).

Every function takes a Dataset made by ``qorin.results`` (``to_dataset``,
``simulate``, ``replicates``), draws into ``ax`` (a new figure when None) and
returns the Axes. With a ``replicate`` dimension, lines show the median and a
shaded band the ``band`` quantiles over replicates. ``releases`` marks a release
schedule on the time axis: a list of ticks, a condition such as
``hooks.every(10) & hooks.before(100)``, or a ``HookProgramBuilder`` (its release
operations).
"""

from __future__ import annotations

from typing import Sequence

import numpy as np

from . import results as R
from ._optional import require

__all__ = ["allele_frequencies", "genotype_frequencies", "population_size", "mark_releases",
           "sweep_summary",
           "site_map", "site_heatmap", "arrival_map", "animate_sites"]


def _plt():
    return require("matplotlib.pyplot", "qorin.plot")


def _axes(ax):
    if ax is not None:
        return ax
    _, ax = _plt().subplots(figsize=(7, 3.5), layout="constrained")
    return ax


def _release_ticks(releases, ticks) -> list:
    if releases is None:
        return []
    if hasattr(releases, "release_ticks"):
        return releases.release_ticks(ticks)
    if hasattr(releases, "holds"):
        return releases.ticks(ticks)
    return sorted(int(t) for t in releases)


def mark_releases(ax, releases, ticks=None, *, color="0.55", label="release"):
    """Mark release ticks on the time axis of `ax` with thin vertical lines.

    `releases`: a list of ticks, a condition (``hooks.Cond``) or a
    ``HookProgramBuilder``; conditions and builders are evaluated over `ticks`
    (default: the integer ticks of the current x range)."""
    if ticks is None:
        lo, hi = ax.get_xlim()
        ticks = range(int(np.ceil(lo)), int(np.floor(hi)) + 1)
    marks = _release_ticks(releases, ticks)
    for k, t in enumerate(marks):
        ax.axvline(t, color=color, lw=0.8, ls=":", zorder=0, label=label if k == 0 else None)
    return ax


def _line(ax, da, label, band, color=None):
    """One line over tick; median and a quantile band when there are replicates."""
    x = da["tick"].values
    if "replicate" in da.dims:
        median = da.median(dim="replicate").values
        (line,) = ax.plot(x, median, label=label, color=color, lw=1.6)
        if band is not None:
            lo = da.quantile(band[0], dim="replicate").values
            hi = da.quantile(band[1], dim="replicate").values
            ax.fill_between(x, lo, hi, color=line.get_color(), alpha=0.2, lw=0)
    else:
        ax.plot(x, da.values, label=label, color=color, lw=1.6)


def _finish(ax, ds, releases, ylabel, title):
    ticks = ds["tick"].values
    if releases is not None and len(ticks):
        mark_releases(ax, releases, range(int(ticks.min()), int(ticks.max()) + 1))
    ax.set_xlabel("tick")
    ax.set_ylabel(ylabel)
    if title:
        ax.set_title(title)
    if ax.get_legend_handles_labels()[0]:
        ax.legend(frameon=False, fontsize="small")
    return ax


def allele_frequencies(ds, locus: int = 0, alleles: Sequence[str] | None = None, *, ax=None,
                       releases=None, band=(0.05, 0.95), adults_only=False, title=None):
    """Allele frequencies of one locus over time (all alleles, or `alleles`)."""
    freq = R.allele_frequencies(ds, locus, adults_only=adults_only)
    names = [str(a) for a in freq["allele"].values]
    chosen = names if alleles is None else list(alleles)
    for a in chosen:
        if a not in names:
            raise ValueError(f"alleles: {a!r} is not an allele of locus {locus}; allowed: "
                             f"{', '.join(map(repr, names))}")
    ax = _axes(ax)
    for a in chosen:
        _line(ax, freq.sel(allele=a), a, band)
    ax.set_ylim(-0.02, 1.02)
    return _finish(ax, ds, releases, "allele frequency", title)


def genotype_frequencies(ds, genotypes: Sequence[str] | None = None, *, ax=None, releases=None,
                         band=(0.05, 0.95), adults_only=False, title=None):
    """Genotype frequencies over time (all genotypes, or `genotypes`)."""
    freq = R.genotype_frequencies(ds, adults_only=adults_only)
    names = [str(g) for g in freq["genotype"].values]
    chosen = names if genotypes is None else list(genotypes)
    for g in chosen:
        if g not in names:
            raise ValueError(f"genotypes: {g!r} is not a genotype of this model; allowed: "
                             f"{', '.join(map(repr, names))}")
    ax = _axes(ax)
    for g in chosen:
        _line(ax, freq.sel(genotype=g), g, band)
    ax.set_ylim(-0.02, 1.02)
    return _finish(ax, ds, releases, "genotype frequency", title)


def population_size(ds, *, ax=None, releases=None, band=(0.05, 0.95), adults_only=False,
                    by_sex=False, show_replicates=False, title=None):
    """Population size over time; with replicates the median and a band (and,
    with ``show_replicates``, every replicate as a thin line)."""
    size = R.population_size(ds, adults_only=adults_only, by_sex=by_sex)
    ax = _axes(ax)
    if show_replicates and "replicate" in size.dims:
        for r in size["replicate"].values:
            one = size.sel(replicate=r)
            if by_sex:
                one = one.sum(dim="sex")
            ax.plot(one["tick"].values, one.values, color="0.75", lw=0.5, zorder=0)
    if by_sex:
        for sex in size["sex"].values:
            _line(ax, size.sel(sex=sex), str(sex), band)
    else:
        _line(ax, size, "adults" if adults_only else "population", band)
    ax.set_ylim(bottom=0)
    return _finish(ax, ds, releases, "adults" if adults_only else "individuals", title)


# ------------------------------------------------------------------ landscapes
def _set_label(ds, dims, index) -> str:
    # the last part of a swept key names it well enough when it is unambiguous
    short = [d.rsplit(".", 1)[-1] for d in dims]
    names = short if len(set(short)) == len(short) else list(dims)

    def text(value):
        return f"{value:g}" if isinstance(value, float) else str(value)

    return ", ".join(f"{n}={text(ds[d].values[i].item())}" for n, d, i in zip(names, dims, index))


def sweep_summary(ds, *, threshold: float = 0.0, adults_only: bool = False, sex: str | None = None,
                  releases=None, title: str | None = None, band=(0.05, 0.95)):
    """A sweep's two questions side by side, one line per parameter set: the
    population size over time (median and the `band` quantiles over
    replicates) and the share of replicates suppressed by each tick (size at or
    below `threshold` individuals, of `sex` ("female", "male" or None for
    both), adults only when `adults_only`).

    Returns a ``matplotlib.figure.Figure`` that belongs to no pyplot window
    (save it with ``fig.savefig``), so it is safe in scripts and workers."""
    require("matplotlib", "qorin.plot")
    import itertools

    from matplotlib.figure import Figure

    from .sweeps import parameter_dims, suppressed_fraction

    if "replicate" not in ds["count"].dims:
        ds = ds.expand_dims(replicate=[0])
    size = R.population_size(ds, adults_only=adults_only)
    frac = suppressed_fraction(ds, None, float(threshold), adults_only=adults_only, sex=sex)
    dims = parameter_dims(ds)
    fig = Figure(figsize=(11, 4), layout="constrained")
    left, right = fig.subplots(1, 2)
    ticks = ds["tick"].values
    for index in itertools.product(*[range(ds.sizes[d]) for d in dims]):
        sel = dict(zip(dims, index))
        label = _set_label(ds, dims, index) or "population"
        one = size.isel(sel)
        _line(left, one, label, band if one.sizes["replicate"] > 1 else None)
        color = left.get_lines()[-1].get_color()
        right.plot(ticks, frac.isel(sel).values, lw=1.6, color=color, label=label)
    if releases is not None and len(ticks):
        for ax in (left, right):
            mark_releases(ax, releases, range(int(ticks.min()), int(ticks.max()) + 1))
    for ax in (left, right):
        ax.set_xlabel("tick")
    left.set_ylabel("adults" if adults_only else "individuals")
    left.set_ylim(bottom=0)
    left.set_title(f"population size (median, {band[0]:.0%}-{band[1]:.0%} of replicates)", fontsize="medium")
    right.set_ylabel("share of replicates suppressed")
    right.set_ylim(-0.02, 1.02)
    right.set_title("suppressed by tick", fontsize="medium")
    handles, labels = left.get_legend_handles_labels()
    fig.legend(handles, labels, loc="outside lower center", frameon=False, fontsize="small",
               ncols=min(3, max(1, len(labels))))
    if title:
        fig.suptitle(title)
    return fig


def _site_xy(ds):
    if "x" not in ds.coords or "y" not in ds.coords:
        raise ValueError("the Dataset carries no site coordinates; annotate it with Landscape.annotate")
    return ds["x"].values.astype(float), ds["y"].values.astype(float)


def _per_site(quantity, what="quantity"):
    """A per-site DataArray with dims (deme,) or (tick, deme); replicates are
    summarised by their median."""
    if not hasattr(quantity, "dims") or "deme" not in quantity.dims:
        raise ValueError(f"{what} must be a DataArray with a 'deme' dimension (for example "
                         "qorin.allele_frequencies(ds, by_deme=True).sel(allele='D'))")
    if "replicate" in quantity.dims:
        quantity = quantity.median(dim="replicate")
    extra = [d for d in quantity.dims if d not in ("tick", "deme")]
    if extra:
        raise ValueError(f"{what} has the dimensions {extra} besides tick and deme; select one value of each")
    return quantity


def _aspect(ax, ds, y):
    if ds.attrs.get("qorin_coordinates") == "lonlat":
        ax.set_aspect(1.0 / max(np.cos(np.radians(np.nanmean(y))), 1e-3))
        ax.set_xlabel("longitude")
        ax.set_ylabel("latitude")
    else:
        ax.set_aspect("equal")
        ax.set_xlabel("x")
        ax.set_ylabel("y")


def site_map(ds, quantity, ticks=None, *, ncols: int = 4, cmap="viridis", vmin=None, vmax=None,
             size: float = 12.0, label: str | None = None, title=None):
    """The sites on a map coloured by a per-site `quantity` (a DataArray with
    a ``deme`` dimension, and ``tick`` for values over time), one panel per
    chosen tick (small multiples sharing one colour scale). ``ticks``: the
    ticks to show (default: five spread over the run). Returns the Figure."""
    plt = _plt()
    q = _per_site(quantity)
    x, y = _site_xy(ds)
    if "tick" in q.dims:
        all_ticks = q["tick"].values
        if ticks is None:
            ticks = all_ticks[np.unique(np.linspace(0, len(all_ticks) - 1, min(5, len(all_ticks))).astype(int))]
        ticks = [int(t) for t in np.atleast_1d(ticks)]
        missing = [t for t in ticks if t not in set(all_ticks.tolist())]
        if missing:
            raise ValueError(f"ticks {missing} are not recorded")
        panels = [(f"tick {t}", q.sel(tick=t).values) for t in ticks]
    else:
        if ticks is not None:
            raise ValueError("ticks apply to a quantity with a 'tick' dimension")
        panels = [("", q.values)]
    values = np.concatenate([v for _, v in panels])
    lo = np.nanmin(values) if vmin is None else vmin
    hi = np.nanmax(values) if vmax is None else vmax
    n = len(panels)
    cols = max(1, min(int(ncols), n))
    rows = int(np.ceil(n / cols))
    fig, axes = plt.subplots(rows, cols, figsize=(3.2 * cols + 1.0, 3.0 * rows), squeeze=False,
                             layout="constrained")
    sc = None
    for k, ax in enumerate(axes.ravel()):
        if k >= n:
            ax.set_visible(False)
            continue
        name, v = panels[k]
        sc = ax.scatter(x, y, c=v, s=size, cmap=cmap, vmin=lo, vmax=hi, linewidths=0)
        _aspect(ax, ds, y)
        if name:
            ax.set_title(name, fontsize="medium")
    fig.colorbar(sc, ax=axes.ravel().tolist(), label=label or (q.name or ""))
    if title:
        fig.suptitle(title)
    return fig


def site_heatmap(ds, quantity, origin=None, *, ax=None, cmap="viridis", vmin=None, vmax=None,
                 label: str | None = None, title=None):
    """A site x tick picture of a per-site `quantity` (dims tick, deme): one
    row per site, ordered by distance from `origin` (a site index or label,
    or an (x, y) point; by site index when None). Returns the Axes."""
    from .spread import distances

    q = _per_site(quantity)
    if "tick" not in q.dims:
        raise ValueError("site_heatmap needs a quantity over ticks (a 'tick' dimension)")
    q = q.transpose("deme", "tick")
    order = np.arange(q.sizes["deme"])
    ylabel = "site"
    if origin is not None:
        d = distances(ds, origin)
        order = np.argsort(d, kind="stable")
        ylabel = "sites by distance from the release"
    ax = _axes(ax)
    ticks = q["tick"].values
    im = ax.imshow(q.values[order], aspect="auto", origin="lower", cmap=cmap, vmin=vmin, vmax=vmax,
                   extent=(ticks.min() - 0.5, ticks.max() + 0.5, -0.5, len(order) - 0.5),
                   interpolation="nearest")
    if origin is not None:
        d = distances(ds, origin)[order]
        marks = np.unique(np.linspace(0, len(order) - 1, min(6, len(order))).astype(int))
        ax.set_yticks(marks)
        ax.set_yticklabels([f"{d[k]:.3g}" for k in marks])
        ylabel = "distance from the release"
    ax.set_xlabel("tick")
    ax.set_ylabel(ylabel)
    ax.figure.colorbar(im, ax=ax, label=label or (q.name or ""))
    if title:
        ax.set_title(title)
    return ax


def arrival_map(ds, allele: str, threshold: float = 0.5, *, origin=None, locus: int = 0, ax=None,
                cmap="plasma", size: float = 14.0, title=None):
    """The sites coloured by the tick at which `allele` reached `threshold`
    there (``qorin.spread.arrival_tick``; median over replicates); sites it
    never reached are grey crosses; `origin` (the release) is a star.
    Returns the Axes."""
    from .spread import arrival_tick

    arrival = _per_site(arrival_tick(ds, allele, threshold, locus=locus), "arrival")
    x, y = _site_xy(ds)
    a = arrival.values
    ax = _axes(ax)
    reached = np.isfinite(a)
    if (~reached).any():
        ax.scatter(x[~reached], y[~reached], marker="x", color="0.6", s=size, linewidths=0.8,
                   label="not reached")
    if reached.any():
        sc = ax.scatter(x[reached], y[reached], c=a[reached], cmap=cmap, s=size, linewidths=0)
        ax.figure.colorbar(sc, ax=ax, label=f"tick {allele} reached {threshold:g}")
    if origin is not None:
        if isinstance(origin, (str, int, np.integer)):
            labels = [str(v) for v in ds["site"].values] if "site" in ds.coords else []
            k = labels.index(origin) if isinstance(origin, str) else int(origin)
            ox, oy = x[k], y[k]
        else:
            ox, oy = (float(v) for v in origin)
        ax.scatter([ox], [oy], marker="*", s=size * 12, color="k", label="release")
    _aspect(ax, ds, y)
    if ax.get_legend_handles_labels()[0]:  # below the map, so that it hides no site
        ax.legend(frameon=False, fontsize="small", loc="upper center", bbox_to_anchor=(0.5, -0.14),
                  ncol=2, markerscale=0.6)
    if title:
        ax.set_title(title)
    return ax


def animate_sites(ds, quantity, path, *, fps: int = 5, ticks=None, cmap="viridis", vmin=None,
                  vmax=None, size: float = 12.0, label: str | None = None, dpi: int = 80):
    """Write an animation of a per-site `quantity` over ticks to `path`: a GIF
    (".gif", needs Pillow) or an MP4 (".mp4", needs ffmpeg). The file is
    written beside its final name and renamed when complete. Returns the
    path."""
    import os

    plt = _plt()
    animation = require("matplotlib.animation", "animate_sites")
    q = _per_site(quantity)
    if "tick" not in q.dims:
        raise ValueError("animate_sites needs a quantity over ticks (a 'tick' dimension)")
    path = os.fspath(path)
    ext = os.path.splitext(path)[1].lower()
    if ext == ".gif":
        if not animation.PillowWriter.isAvailable():
            raise ImportError("writing a GIF needs Pillow: pip install pillow")
        writer = animation.PillowWriter(fps=int(fps))
    elif ext == ".mp4":
        if not animation.FFMpegWriter.isAvailable():
            raise ImportError("writing an MP4 needs ffmpeg on the PATH; write a .gif instead")
        writer = animation.FFMpegWriter(fps=int(fps))
    else:
        raise ValueError(f"animate_sites writes .gif or .mp4 files, got {path!r}")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"the folder of {path!r} does not exist")
    if ticks is not None:
        q = q.sel(tick=list(ticks))
    x, y = _site_xy(ds)
    frames = q.transpose("tick", "deme")
    lo = float(np.nanmin(frames.values)) if vmin is None else vmin
    hi = float(np.nanmax(frames.values)) if vmax is None else vmax
    fig, ax = plt.subplots(figsize=(5, 4.2), layout="constrained")
    sc = ax.scatter(x, y, c=frames.values[0], s=size, cmap=cmap, vmin=lo, vmax=hi, linewidths=0)
    fig.colorbar(sc, ax=ax, label=label or (q.name or ""))
    _aspect(ax, ds, y)
    ticks_shown = frames["tick"].values
    title = ax.set_title(f"tick {ticks_shown[0]}")

    def draw(k):
        sc.set_array(frames.values[k])
        title.set_text(f"tick {ticks_shown[k]}")
        return sc, title

    anim = animation.FuncAnimation(fig, draw, frames=len(ticks_shown), blit=False)
    tmp = os.path.join(folder, f".{os.path.basename(path)}.part{ext}")
    try:
        anim.save(tmp, writer=writer, dpi=dpi)
        os.replace(tmp, path)
    finally:
        plt.close(fig)
        if os.path.exists(tmp):
            os.remove(tmp)
    return path
