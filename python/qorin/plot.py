"""Figures for the common questions, drawn with matplotlib (the "analysis" extra).

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

__all__ = ["allele_frequencies", "genotype_frequencies", "population_size", "mark_releases"]


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
