"""The builders of scenario files: a checked document becomes the models of
its parameter sets (blueprint, parameters, releases as hooks, the session of
a landscape) and a ``Scenario`` that runs them through ``qorin.sweep``.
"""

from __future__ import annotations

import copy
import itertools
import json
import math
import os
from dataclasses import dataclass

import numpy as np

from . import generations as GEN
from . import contracts as C
from . import fields as F
from . import genetics as G
from . import hooks as H
from . import landscape as L
from . import scenario_sites as SS
from .contracts import Blueprint, Model, Params
from .scenario_schema import (AGES, BUILDERS, DISRUPTS, ECOLOGY, ECO_AGE, ECO_SCALARS, ECO_SEX_AGE,
                              LANDSCAPE, MAX_AGES, MAX_ALLELES, MAX_DEMES, NAME_COUNTS, NOT_SWEPT,
                              PER_SEX_OF, PER_SEX_RATES, RATES, RELEASE, RUN, SEX_KEYS, SHAPE_KEYS,
                              SUMMARY, TOP, U64, WHOLE_HINT)
from .scenario_toml import (Checker, ScenarioError, dotted, key_lines, kind_of, show_value)

MAX_RELEASE_MARKS = 10_000  # release ticks kept to mark on figures (the first ones)


def _run_settings(doc, chk: Checker) -> dict:
    run = chk.table(doc.get("run", {}), ("run",), RUN, required=("ticks",))
    out = {"ticks": chk.integer(run["ticks"], ("run", "ticks"), 0, 10 ** 9),
           "record_interval": chk.integer(run.get("record_interval", 1), ("run", "record_interval"), 1),
           "replicates": chk.integer(run.get("replicates", 1), ("run", "replicates"), 1, 10 ** 7),
           "seed": chk.integer(run.get("seed", 0), ("run", "seed"), 0, U64 - 1)}
    for key, default in (("stochastic", True), ("continuous_sampling", False),
                         ("fixed_egg_count", False), ("stop_when_extinct", False),
                         ("round_counts", False)):
        out[key] = chk.boolean(run.get(key, default), ("run", key))
    out["generations"] = chk.string(run.get("generations", "overlapping"), ("run", "generations"),
                                    GEN.GENERATIONS)
    # "sampling" is how the newborns are drawn: the Wright-Fisher mode of
    # Wright-Fisher generations, the sampler of the newborns of the others.
    out["sampling"] = 0
    out["sampler"] = C.SAMPLERS[0]
    if "sampling" in run:
        if out["generations"] == "wright_fisher":
            out["sampling"] = chk.string(run["sampling"], ("run", "sampling"), tuple(GEN.SAMPLING_MODES))
        elif run["sampling"] in GEN.SAMPLING_MODES:
            chk.err(("run", "sampling"), f"{run['sampling']!r} is a sampling mode of Wright-Fisher "
                                         "generations (generations = \"wright_fisher\"); other "
                                         "generations take " + ", ".join(map(repr, C.SAMPLERS)))
        else:
            out["sampler"] = chk.string(run["sampling"], ("run", "sampling"), C.SAMPLERS)
    return out


def _summary_settings(doc, chk: Checker) -> dict:
    s = chk.table(doc.get("summary", {}), ("summary",), SUMMARY)
    return {"threshold": chk.number(s.get("threshold", 0.0), ("summary", "threshold"), 0.0),
            "adults_only": chk.boolean(s.get("adults_only", False), ("summary", "adults_only")),
            "sex": chk.string(s.get("sex", "both"), ("summary", "sex"), ("both", "female", "male"))}


def _per_sex_rate(value, path, chk: Checker) -> tuple:
    if isinstance(value, dict):
        chk.table(value, path, SEX_KEYS, required=SEX_KEYS)
        return tuple(chk.number(value[s], path + (s,), rate=True) for s in SEX_KEYS)
    if isinstance(value, list):
        chk.array(value, path, 2)
        return tuple(chk.number(v, path + (k,), rate=True) for k, v in enumerate(value))
    v = chk.number(value, path, rate=True)
    return (v, v)


def _names(value, path, chk: Checker, count=None) -> list:
    chk.array(value, path, count)
    return [chk.string(v, path + (k,)) for k, v in enumerate(value)]


def _fitness_values(value, path, locus, chk: Checker) -> dict:
    if not isinstance(value, dict):
        chk.err(path, f"must be a table of genotype label = fitness, got {kind_of(value)}")
    out = {}
    for label, v in value.items():
        p = path + (label,)
        try:
            locus.index(label, argument=dotted(path))
        except (TypeError, ValueError):
            chk.err(p, f"is not a genotype of this model; allowed: {', '.join(locus.labels)}")
        if isinstance(v, dict):
            chk.table(v, p, SEX_KEYS)
            out[label] = {s: chk.number(x, p + (s,), 0.0) for s, x in v.items()}
        elif isinstance(v, list):
            chk.array(v, p, 2)
            out[label] = tuple(chk.number(x, p + (k,), 0.0) for k, x in enumerate(v))
        else:
            out[label] = chk.number(v, p, 0.0)
    return out


def _genetics(doc, chk: Checker):
    path = ("genetics",)
    gen = doc["genetics"]
    if not isinstance(gen, dict):
        chk.err(path, f"must be a table, got {kind_of(gen)}")
    if "builder" not in gen:
        chk.err(path, "missing the required key 'builder'; one of " + ", ".join(BUILDERS))
    builder = chk.string(gen["builder"], path + ("builder",), tuple(BUILDERS))
    allowed = ("builder",) + BUILDERS[builder]
    chk.table(gen, path, allowed)
    kwargs: dict = {}
    tables: dict = {}
    for key, value in gen.items():
        p = path + (key,)
        if key == "builder":
            continue
        if key in PER_SEX_RATES or key in PER_SEX_OF.get(builder, ()):
            kwargs[key] = _per_sex_rate(value, p, chk)
        elif key in RATES:
            kwargs[key] = chk.number(value, p, rate=True)
        elif key == "disrupts":
            kwargs[key] = chk.string(value, p, DISRUPTS)
        elif key == "timing":
            kwargs[key] = chk.string(value, p, ("early", "late"))
        elif key == "allele_names" and builder == "underdominance":
            kwargs[key] = [_names(v, p + (k,), chk, 2) for k, v in enumerate(chk.array(value, p, 2))]
        elif key == "target_names":
            kwargs[key] = _names(value, p, chk, 2)
        elif key in ("n_alleles", "n_x_alleles"):
            kwargs[key] = chk.integer(value, p, 1, MAX_ALLELES)
        elif key == "allele_names":
            count = NAME_COUNTS.get(builder)
            if builder in ("autosomal_locus", "xy_locus"):
                n = gen.get("n_alleles" if builder == "autosomal_locus" else "n_x_alleles")
                count = n if isinstance(n, int) and not isinstance(n, bool) else None
            kwargs[key] = _names(value, p, chk, count)
        elif key == "cas9_names":
            kwargs[key] = _names(value, p, chk, 2)
        elif key in ("fitness", "fecundity"):
            tables[key] = value
    if builder == "autosomal_locus" and "allele_names" in kwargs and "n_alleles" not in kwargs:
        kwargs["n_alleles"] = chk.integer(len(kwargs["allele_names"]), path + ("allele_names",), 1,
                                          MAX_ALLELES)
    if builder == "xy_locus" and "allele_names" in kwargs and "n_x_alleles" not in kwargs:
        kwargs["n_x_alleles"] = chk.integer(len(kwargs["allele_names"]), path + ("allele_names",), 1,
                                            MAX_ALLELES)
    make = getattr(G, builder)
    try:
        locus = make(**kwargs)
    except ValueError as exc:
        chk.err(path + (_culprit(str(exc), kwargs),), str(exc))
    if tables:
        for key, value in tables.items():
            kwargs[key] = _fitness_values(value, path + (key,), locus, chk)
        try:
            locus = make(**kwargs)
        except ValueError as exc:
            chk.err(path + (_culprit(str(exc), kwargs),), str(exc))
    return locus


def _culprit(message: str, kwargs: dict) -> str:
    """The argument a builder's message is about (the table itself when none)."""
    for key in kwargs:
        if message.startswith(key):
            return key
    return ""


def _by_age(value, path, n_ages: int, lo, hi, chk: Checker, *, number_fill=None) -> np.ndarray:
    """A number (every age, or the ages of `number_fill`) or an array of one value per age."""
    if isinstance(value, list):
        chk.array(value, path, n_ages)
        return np.array([chk.number(v, path + (k,), lo, hi) for k, v in enumerate(value)])
    v = chk.number(value, path, lo, hi)
    out = np.full(n_ages, v)
    if number_fill is not None:
        out[~number_fill] = 0.0
    return out


def _by_sex_age(value, path, n_ages: int, ranges, chk: Checker, *, number_fill=None,
                missing=None) -> np.ndarray:
    """(2, A): a number or an array by age (both sexes), two arrays (female,
    male), or a table {female = ..., male = ...}."""
    if isinstance(value, dict):
        chk.table(value, path, SEX_KEYS, required=() if missing is not None else SEX_KEYS)
        rows = []
        for s, key in enumerate(SEX_KEYS):
            if key in value:
                rows.append(_by_age(value[key], path + (key,), n_ages, *ranges[s], chk,
                                    number_fill=number_fill))
            else:
                rows.append(np.full(n_ages, missing))
        return np.stack(rows)
    if isinstance(value, list) and value and all(isinstance(v, list) for v in value):
        chk.array(value, path, 2)
        return np.stack([_by_age(value[s], path + (s,), n_ages, *ranges[s], chk) for s in range(2)])
    # one value for both sexes: it must suit the range of each
    lows = [r[0] for r in ranges if r[0] is not None]
    highs = [r[1] for r in ranges if r[1] is not None]
    lo, hi = (max(lows) if lows else None), (min(highs) if highs else None)
    row = _by_age(value, path, n_ages, lo, hi, chk, number_fill=number_fill)
    return np.stack([row, row.copy()])


def _ages(doc, chk: Checker) -> tuple:
    ages = chk.table(doc["ages"], ("ages",), AGES, required=("n_ages",))
    n = chk.integer(ages["n_ages"], ("ages", "n_ages"), 1, MAX_AGES)
    adult = chk.integer(ages.get("new_adult_age", min(1, n - 1)), ("ages", "new_adult_age"), 0, n - 1)
    return n, adult


def _schedule(rel, path, chk: Checker):
    """The release condition: ticks `at`, or every `every` ticks from `start`
    (inclusive) before `stop`."""
    if ("at" in rel) == ("every" in rel):
        chk.err(path, "give either 'at' (a tick or an array of ticks) or 'every' (with optional "
                      "'start' and 'stop')" + ("" if "at" not in rel else ", not both"))
    if "at" in rel:
        for key in ("start", "stop"):
            if key in rel:
                chk.err(path + (key,), f"{key!r} goes with 'every', not with 'at'")
        at = rel["at"]
        ticks = [chk.integer(t, path + ("at", k), 0) for k, t in enumerate(chk.array(at, path + ("at",)))] \
            if isinstance(at, list) else [chk.integer(at, path + ("at",), 0)]
        if not ticks:
            chk.err(path + ("at",), "must name at least one tick")
        cond = H.at(ticks[0])
        for t in ticks[1:]:
            cond = cond | H.at(t)
        return cond
    every = chk.integer(rel["every"], path + ("every",), 1)
    start = chk.integer(rel.get("start", 0), path + ("start",), 0)
    cond = H.every(every)
    if start > 0:
        cond = cond & H.from_tick(start)
    if "stop" in rel:
        stop = chk.integer(rel["stop"], path + ("stop",), start + 1)
        cond = cond & H.before(stop)
    return cond


def _landscape(doc, chk: Checker):
    """The [landscape] section: None without one, else (n_demes, (indptr, dest,
    weights), (female, male) migration rates, the ``Landscape`` or None for a
    plain ring or grid)."""
    if "landscape" not in doc:
        return None
    path = ("landscape",)
    land = chk.table(doc["landscape"], path, LANDSCAPE)
    if "sites" in land:
        for key in LANDSCAPE[:4]:
            if key in land:
                chk.err(path + (key,), "does not apply to a landscape of sites (its sites file sets them)")
        if "migration_rate" not in land:
            chk.err(path, "missing the required key 'migration_rate'")
        rates = _per_sex_rate(land["migration_rate"], path + ("migration_rate",), chk)
        landscape = SS.build(land, path, rates, chk, chk.source)
        if landscape.n_sites > MAX_DEMES:
            chk.err(path + ("sites",), f"holds {landscape.n_sites} sites; a landscape holds up to {MAX_DEMES}")
        g = landscape.graph
        return landscape.n_sites, (g.indptr, g.dest, g.weights), rates, landscape
    for key in ("shape", "migration_rate"):
        if key not in land:
            chk.err(path, f"missing the required key {key!r}")
    shape = chk.string(land["shape"], path + ("shape",), tuple(SHAPE_KEYS))
    for key in LANDSCAPE[1:4]:
        if key in land and key not in SHAPE_KEYS[shape]:
            chk.err(path + (key,), f"does not apply to a {shape}; a {shape} takes "
                                   + " and ".join(repr(k) for k in SHAPE_KEYS[shape]))
    for key in SHAPE_KEYS[shape]:
        if key not in land:
            chk.err(path, f"a {shape} needs the key {key!r}")
    if shape == "ring":
        n = chk.integer(land["n_demes"], path + ("n_demes",), 2, MAX_DEMES)
        graph = L.ring(n)
    else:
        rows = chk.integer(land["rows"], path + ("rows",), 1, MAX_DEMES)
        cols = chk.integer(land["cols"], path + ("cols",), 1, MAX_DEMES)
        n = rows * cols
        if n < 2 or n > MAX_DEMES:
            chk.err(path + ("cols",), f"a grid of {rows} x {cols} holds {n} demes; a landscape "
                                      f"holds 2 to {MAX_DEMES}")
        graph = L.grid(rows, cols)
    rates = _per_sex_rate(land["migration_rate"], path + ("migration_rate",), chk)
    landscape = None
    if SS.uses_sites(land):
        from .sites import Landscape

        made = Landscape.ring(n) if shape == "ring" else Landscape.grid(rows, cols)
        landscape = SS.build(land, path, rates, chk, chk.source, shape_graph=(made.x, made.y, graph))
    return n, graph, rates, landscape


def _release_demes(rel, path, n_demes, chk: Checker):
    """The demes a release goes to: None for every deme of the landscape."""
    if "demes" not in rel:
        return None
    p = path + ("demes",)
    if n_demes is None:
        chk.err(p, "releases go to demes of a landscape; add a [landscape] section or drop "
                   "this key")
    value = rel["demes"]
    if isinstance(value, list):
        demes = [chk.integer(d, p + (j,), 0, n_demes - 1) for j, d in enumerate(value)]
        if not demes:
            chk.err(p, "must name at least one deme")
        for j, d in enumerate(demes):
            if d in demes[:j]:
                chk.err(p + (j,), f"names deme {d} twice")
        return demes
    return [chk.integer(value, p, 0, n_demes - 1)]


def _releases(doc, bp, chk: Checker, program: H.HookProgramBuilder, n_demes=None,
              landscape=None, *, round_counts=False) -> None:
    releases = doc.get("release", [])
    if isinstance(releases, dict):
        chk.err(("release",), "must be an array of tables: write each release as [[release]]")
    chk.array(releases, ("release",))
    locus = bp.locus
    n = int(bp.n_ages)
    for k, rel in enumerate(releases):
        path = ("release", k)
        chk.table(rel, path, RELEASE, required=("genotype", "count"))
        label = chk.string(rel["genotype"], path + ("genotype",))
        try:
            locus.index(label)
        except ValueError:
            chk.err(path + ("genotype",), f"{json.dumps(label)} is not a genotype of this model; "
                                          f"allowed: {', '.join(locus.labels)}")
        count = chk.number(rel["count"], path + ("count",), *C.COUNT_BOUNDS)
        if C.samples_whole_individuals(bp) and not count.is_integer():
            if not round_counts:
                chk.err(path + ("count",), C.whole_problem(count, WHOLE_HINT))
            count = float(np.floor(count + 0.5))
        sex = chk.string(rel.get("sex", "male"), path + ("sex",), ("male", "female", "both"))
        age = rel.get("age", int(bp.new_adult_age))
        if isinstance(age, list):
            ages = [chk.integer(a, path + ("age", j), 0, n - 1)
                    for j, a in enumerate(chk.array(age, path + ("age",)))]
            if not ages:
                chk.err(path + ("age",), "must name at least one age")
        else:
            ages = [chk.integer(age, path + ("age",), 0, n - 1)]
        wf = getattr(bp, "generations", None) == "wright_fisher"  # runs the event "first" only
        event = chk.string(rel.get("event", "first" if wf else "early"), path + ("event",),
                           ("first", "early", "late"))
        if wf and event != "first":
            chk.err(path + ("event",), "a Wright-Fisher generation runs the event \"first\" only")
        demes = _release_demes(rel, path, n_demes, chk)
        chosen = SS.release_sites(rel, path, landscape, chk)
        if chosen is not None:
            demes = chosen
        when = _schedule(rel, path, chk)
        program.add_hook(event, H.release(count, sex=sex, ages=ages, ztypes=[label], when=when),
                         demes=demes)


def _initial(doc, bp, chk: Checker, *, round_counts=False) -> None:
    initial = doc.get("initial", {})
    if not isinstance(initial, dict):
        chk.err(("initial",), f"must be a table of genotype label = counts, got {kind_of(initial)}")
    locus = bp.locus
    n = int(bp.n_ages)
    adult = np.arange(n) >= int(bp.new_adult_age)
    seen = {}
    for label, value in initial.items():
        path = ("initial", label)
        try:
            z = locus.index(label)
        except ValueError:
            chk.err(path, f"is not a genotype of this model; allowed: {', '.join(locus.labels)}")
        if z in seen:
            chk.err(path, f"names the same genotype as {json.dumps(seen[z])}")
        seen[z] = label
        counts = _by_sex_age(value, path, n, (C.COUNT_BOUNDS, C.COUNT_BOUNDS), chk,
                             number_fill=adult, missing=0.0)
        if C.samples_whole_individuals(bp):
            if round_counts:
                counts = np.floor(counts + 0.5)
            fractional = np.argwhere(counts != np.floor(counts))
            if len(fractional):
                sex, age = (int(i) for i in fractional[0])
                chk.err(path, f"{C.cell_name(bp, sex, age, z)}: "
                              f"{C.whole_problem(counts[sex, age], WHOLE_HINT)}")
        bp.initial_individual_count[:, :, z] = counts


def _ecology(doc, n_ages: int, chk: Checker) -> dict:
    eco = chk.table(doc.get("ecology", {}), ("ecology",), ECOLOGY)
    out = {}
    for key, value in eco.items():
        path = ("ecology", key)
        if key in ECO_SCALARS:
            lo, hi, integral = ECO_SCALARS[key]
            if integral:
                out[key] = chk.integer(value, path, lo, hi)
            else:
                v = chk.number(value, path, lo, hi)
                f = F.FIELDS.get(key)  # population_size (Wright-Fisher N) is no engine field
                if f is not None and f.has_absent and v < f.lower and v != f.absent:
                    chk.err(path, f"must be >= {C.fmt(f.lower)}, or {C.fmt(f.absent)} for none; "
                                  f"got {show_value(value)}")
                out[key] = v
        elif key in ECO_SEX_AGE:
            out[key] = _by_sex_age(value, path, n_ages, ECO_SEX_AGE[key], chk)
        else:
            lo, hi = ECO_AGE[key]
            out[key] = _by_age(value, path, n_ages, lo, hi, chk)
    return out


def _model(doc, chk: Checker, settings: dict) -> Model:
    """Check one scenario document and build its model."""
    chk.table(doc, (), TOP, required=("genetics",))
    for key in ("name", "description"):
        if key in doc:
            chk.string(doc[key], (key,))
    run = _run_settings(doc, chk)
    discrete = run["generations"] != "overlapping"
    if not discrete and "ages" not in doc:
        chk.err((), "missing the required key 'ages'")
    if discrete and "ages" in doc:
        chk.err(("ages",), f"{run['generations']} generations have two age classes (juveniles, "
                           "adults): leave out [ages]")
    land = _landscape(doc, chk)
    if land is not None and run["stop_when_extinct"]:
        chk.err(("run", "stop_when_extinct"), "does not apply to a landscape: a deme that dies out "
                                              "can be settled again from its neighbours")
    locus = _genetics(doc, chk)
    n_ages, adult = (2, 1) if discrete else _ages(doc, chk)
    if land is not None and run["generations"] == "wright_fisher":
        chk.err(("run", "generations"), "Wright-Fisher generations run in one population; a "
                                        "landscape runs overlapping or discrete generations")
    spatial = {}
    if land is not None:
        n_demes, (indptr, dest, weights), _, landscape = land
        spatial = dict(n_demes=n_demes, migration_indptr=indptr, migration_dest_idx=dest,
                       migration_weights=weights)
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", GEN.ExpectedValuesWarning)
        try:
            bp = Blueprint(n_ages, adult, locus, stochastic=run["stochastic"],
                           continuous_sampling=run["continuous_sampling"],
                           fixed_egg_count=run["fixed_egg_count"], generations=run["generations"],
                           extreme_speed_mode=run["sampling"], sampling=run["sampler"], **spatial)
        except ValueError as exc:
            chk.err(("run", "sampling"), str(exc))
    if any(issubclass(w.category, GEN.ExpectedValuesWarning) for w in caught):
        chk.err(("run", "sampling"), "\"expected\" keeps expected values: a stochastic model "
                                     "would show no drift; use \"multinomial\" or \"poisson\", or "
                                     "stochastic = false")
    _initial(doc, bp, chk, round_counts=run["round_counts"])
    ecology = _ecology(doc, n_ages, chk)
    if "population_size" in ecology:
        if run["generations"] != "wright_fisher":
            chk.err(("ecology", "population_size"), "is N of Wright-Fisher generations; use "
                                                    "carrying_capacity for other models")
        if "carrying_capacity" in ecology:
            chk.err(("ecology", "population_size"), "gives carrying_capacity: give one of the two")
        ecology["carrying_capacity"] = ecology.pop("population_size")
    if land is not None:
        female, male = land[2]
        ecology["migration_rate"] = np.stack([np.full(n_ages, female), np.full(n_ages, male)])
    params = Params(bp, **ecology)
    program = H.HookProgramBuilder.for_blueprint(bp)
    _releases(doc, bp, chk, program, land[0] if land is not None else None,
              land[3] if land is not None else None, round_counts=run["round_counts"])
    if run["stop_when_extinct"]:
        program.add_hook("first", H.stop_if_extinct())
    settings.update(run)
    has_hooks = bool(doc.get("release")) or run["stop_when_extinct"]
    session = None
    if land is not None:
        if land[3] is None:
            session = L.LandscapeSession
        else:
            try:
                session = land[3].model(bp, params).session
            except ValueError as exc:  # a schedule that takes a site out of range
                scheds = land[3].schedules
                k = next((j for j, sc in enumerate(scheds) if f"schedule of {sc.name}:" in str(exc)), None)
                where = () if k is None else (k, "profile" if scheds[k].kind == "seasonal" else "table")
                chk.err(("landscape", "schedule") + where, str(exc))
    return Model(bp, params, program if has_hooks else None, session)


# ------------------------------------------------------------------ sweeps
def _flatten(value, path, chk: Checker, out: list) -> None:
    if isinstance(value, dict):
        for key, v in value.items():
            _flatten(v, path + (key,), chk, out)
        return
    if not isinstance(value, list):
        chk.err(path, f"must be an array of the values to sweep, got {kind_of(value)}")
    if not value:
        chk.err(path, "must hold at least one value")
    out.append((path, value))


def _target(name: str) -> tuple:
    return tuple(int(p) if p.isdigit() else p for p in name.split("."))


def _substitute(doc: dict, target: tuple, value, key_path, name, chk: Checker) -> None:
    node = doc
    for k, part in enumerate(target[:-1]):
        where = target[:k + 1]
        if isinstance(node, list):
            if not isinstance(part, int) or not 0 <= part < len(node):
                _bad_target(key_path, name, where[:-1], f"has no element {part} (it holds {len(node)})",
                            chk)
            node = node[part]
        elif isinstance(node, dict):
            if isinstance(part, int):
                _bad_target(key_path, name, where, "is a table, not an array", chk)
            if part not in node:
                node[part] = {}
            node = node[part]
        else:
            _bad_target(key_path, name, where[:-1], f"is {kind_of(node)}, it has no key {part!r}", chk)
    last = target[-1]
    if isinstance(node, list):
        if not isinstance(last, int) or not 0 <= last < len(node):
            _bad_target(key_path, name, target[:-1], f"has no element {last} (it holds {len(node)})",
                        chk)
        node[last] = value
    elif isinstance(node, dict):
        node[last] = value
    else:
        _bad_target(key_path, name, target[:-1], f"is {kind_of(node)}, it has no key {last!r}", chk)


def _bad_target(key_path, name, where, message, chk: Checker):
    line = chk.lines.find(key_path) if chk.lines else None
    raise ScenarioError(f"{dotted(where)} {message}", key=dotted(key_path), line=line,
                        source=chk.source)


def _hashable(value):
    """A hashable twin of a TOML value that compares as the value does."""
    if isinstance(value, list):
        return ("[", tuple(_hashable(v) for v in value))
    if isinstance(value, dict):
        return ("{", frozenset((k, _hashable(v)) for k, v in value.items()))
    return value


def _sweep_entries(doc, chk: Checker) -> list:
    sweep = doc.get("sweep")
    if sweep is None:
        return []
    chk.table(sweep, ("sweep",), tuple(sweep) if isinstance(sweep, dict) else ())
    entries: list = []
    _flatten(sweep, ("sweep",), chk, entries)
    out = []
    for key_path, values in entries:
        name = dotted(key_path[1:])
        target = _target(name)
        if name in NOT_SWEPT or target[0] in ("sweep", "summary", "name", "description"):
            chk.err(key_path, f"{name} cannot be swept: every parameter set shares it")
        if target[0] not in TOP:
            chk.err(key_path, f"{target[0]!r} is not a section of a scenario; sweep keys start with "
                              "one of " + ", ".join(t for t in TOP if t not in (
                                  "sweep", "summary", "name", "description")))
        seen = set()
        for k, v in enumerate(values):
            if _hashable(v) in seen:
                chk.err(key_path + (k,), f"repeats the value {show_value(v)}")
            seen.add(_hashable(v))
        out.append((key_path, name, target, values))
    names = [e[1] for e in out]
    for e in out:
        for other in names:
            if other != e[1] and (other + ".").startswith(e[1] + "."):
                chk.err(e[0], f"overlaps the swept key {other}")
    return out


def _release_marks(doc: dict, ticks: int) -> list:
    """The ticks 0..`ticks` at which some release of a checked document
    happens: the first MAX_RELEASE_MARKS of them, in time proportional to the
    releases, not to the ticks."""
    marks: set = set()
    for rel in doc.get("release", []):
        if "at" in rel:
            at = rel["at"] if isinstance(rel["at"], list) else [rel["at"]]
            marks.update(int(t) for t in at if 0 <= t <= ticks)
            continue
        every, start = int(rel["every"]), int(rel.get("start", 0))
        stop = min(int(rel.get("stop", ticks + 1)), ticks + 1)
        first = -(-start // every) * every
        marks.update(range(first, min(stop, first + every * MAX_RELEASE_MARKS), every))
    return sorted(marks)[:MAX_RELEASE_MARKS]


def _available_memory() -> int | None:
    """Bytes of memory this process may still use (None when unknown)."""
    limits = []
    try:
        with open("/proc/meminfo") as fh:
            for line in fh:
                if line.startswith("MemAvailable:"):
                    limits.append(int(line.split()[1]) * 1024)
    except (OSError, ValueError, IndexError):
        try:
            limits.append(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))
        except (OSError, ValueError, AttributeError):
            pass
    try:
        with open("/sys/fs/cgroup/memory.max") as fh:
            text = fh.read().strip()
        if text.isdigit():
            used = 0
            try:
                with open("/sys/fs/cgroup/memory.current") as fh:
                    used = int(fh.read().strip())
            except (OSError, ValueError):
                pass
            limits.append(max(int(text) - used, 0))
    except OSError:
        pass
    return min(limits) if limits else None


def _bytes(n: int) -> str:
    for unit, size in (("TB", 1e12), ("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if n >= size:
            return f"{n / size:.3g} {unit}"
    return f"{n} bytes"


# ------------------------------------------------------------------ scenarios
@dataclass
class Scenario:
    """A checked scenario: its settings and the model of every parameter set."""

    source: str
    text: str
    document: dict
    name: str
    description: str
    n_ticks: int
    record_interval: int
    replicates: int
    seed: int
    grid: dict  # sweep key -> values (empty without a sweep)
    models: list  # one Model per parameter set, in the C order of the grid
    summary: dict
    releases: list  # the ticks of the run at which some release happens (parameter set 0)

    @property
    def n_sets(self) -> int:
        return len(self.models)

    def model(self, **point) -> Model:
        """The model of the parameter set with these sweep values."""
        if set(point) != set(self.grid):
            raise ValueError(f"give a value for each swept key: {', '.join(self.grid)}")
        index = 0
        for name, values in self.grid.items():
            matches = [k for k, v in enumerate(values) if v == point[name]]
            if not matches:
                raise ValueError(f"{name}: {point[name]!r} is not one of the swept values {values}")
            index = index * len(values) + matches[0]
        return self.models[index]

    def recorded_size(self, replicates: int | None = None) -> dict:
        """What a run records: ``rows`` (recorded ticks of every run), ``width``
        (values per row), ``bytes`` (the rows and the dataset made of them,
        8 bytes a value), and the ``runs`` and ``ticks`` (recorded per run)."""
        from .results import row_layout

        reps = self.replicates if replicates is None else int(replicates)
        ticks = self.n_ticks // self.record_interval + 1
        runs = self.n_sets * reps
        layout = row_layout(self.models[0].blueprint)
        rows = runs * ticks
        return {"rows": rows, "width": layout.width, "runs": runs, "ticks": ticks,
                "bytes": rows * (layout.width + layout.count_size) * 8}

    def check_memory(self, replicates: int | None = None, available: int | None = None) -> None:
        """Refuse (``ScenarioError``) a run whose recorded rows cannot fit in the
        memory available (`available` bytes; by default what the system has
        free), before it starts."""
        size = self.recorded_size(replicates)
        free = _available_memory() if available is None else int(available)
        if free is None or size["bytes"] <= free:
            return
        raise ScenarioError(
            f"the run would record {size['rows']:,} rows ({size['runs']:,} runs x {size['ticks']:,} "
            f"recorded ticks) of {size['width']:,} values each, {size['bytes']:,} bytes "
            f"({_bytes(size['bytes'])}) with the dataset made from them, more than the "
            f"{_bytes(free)} of memory available; record fewer ticks (run.record_interval), or run "
            "fewer ticks, replicates or parameter sets", source=self.source)

    def run(self, *, replicates: int | None = None, seed: int | None = None, executor="threads",
            workers: int | None = None, progress: bool = False, sperm: bool = False):
        """Run the scenario (``qorin.sweep``) and return the Dataset; its
        attributes keep the scenario text and the summary settings. The
        stored sperm is left out unless ``sperm``. A run whose recorded rows
        cannot fit in memory is refused before it starts (``check_memory``)."""
        from .sweeps import sweep

        self.check_memory(replicates)

        ds = sweep(self.model, self.n_ticks, self.grid or None,
                   replicates=self.replicates if replicates is None else replicates,
                   seed=self.seed if seed is None else seed, record_interval=self.record_interval,
                   executor=executor, workers=workers, progress=progress, sperm=sperm)
        landscape = getattr(self.models[0].session, "landscape", None)
        if landscape is not None:
            ds = landscape.annotate(ds)  # the sites' coordinates and labels on the deme axis
        ds.attrs["qorin_scenario"] = self.text
        ds.attrs["qorin_scenario_name"] = self.name
        ds.attrs["qorin_summary"] = json.dumps(self.summary)
        ds.attrs["qorin_releases"] = json.dumps(self.releases)
        return ds


def _shape(model: Model) -> tuple:
    bp = model.blueprint
    return int(bp.n_ages), int(bp.new_adult_age), tuple(bp.ztype_names), int(bp.n_demes)


def build_scenario(doc: dict, text: str, source: str, *, progress: bool = False) -> Scenario:
    """The ``Scenario`` of a guarded TOML document (``scenario_toml.parse_document``)
    of `text`: every key checked, the model of every parameter set built."""
    chk = Checker(source, key_lines(text))
    settings: dict = {}
    base = _model(doc, chk, settings)
    summary = _summary_settings(doc, chk)
    entries = _sweep_entries(doc, chk)
    grid = {name: values for _, name, _, values in entries}
    models = [base]
    bar = None
    if entries and progress:
        from ._optional import require

        n_sets = math.prod(len(e[3]) for e in entries)
        bar = require("tqdm", "progress bars").tqdm(
            total=n_sets, unit="set", desc=f"checking {n_sets} parameter sets", dynamic_ncols=True)
    if entries:
        models = []
        for combo in itertools.product(*[list(enumerate(e[3])) for e in entries]):
            point = copy.deepcopy({k: v for k, v in doc.items() if k != "sweep"})
            overrides = {}
            for (key_path, name, target, _), (k, value) in zip(entries, combo):
                _substitute(point, target, copy.deepcopy(value), key_path, name, chk)
                overrides[target] = (key_path, name, k + 1, value)
            shown = ", ".join(f"{e[1]} = {show_value(v)}" for e, (_, v) in zip(entries, combo))
            model = _model(point, Checker(source, chk.lines, overrides, shown), {})
            if _shape(model) != _shape(base):
                chk.err(("sweep",), f"the parameter set {shown} changes the ages or genotypes of the "
                                   "model or the number of its demes; every parameter set of a sweep must share them")
            models.append(model)
            if bar is not None:
                bar.update(1)
    if bar is not None:
        bar.close()
    ticks = settings["ticks"]
    releases = _release_marks(doc, ticks)
    return Scenario(source=source, text=text, document=doc, name=str(doc.get("name", "")),
                    description=str(doc.get("description", "")), n_ticks=ticks,
                    record_interval=settings["record_interval"], replicates=settings["replicates"],
                    seed=settings["seed"], grid=grid, models=models, summary=summary,
                    releases=releases)
