"""Kinds of generations and the session that runs each.

A model's generations are a property of its blueprint
(``Blueprint(..., generations=...)``):

``"overlapping"``
    age classes that live several ticks, females storing sperm
    (``EngineSession``; the default);
``"discrete"``
    non-overlapping generations in two age classes (juveniles, adults): each
    tick the adults mate, the newborns are regulated and survive, and replace
    the adults (the staged discrete tick, with the events "first", "early" and
    "late");
``"wright_fisher"``
    non-overlapping generations in one fused step: the expected newborns of
    random mating are regulated to N, survive, and the next adults are drawn
    all at once by the sampling mode (only the event "first" runs).

``session_class(blueprint)`` gives the session class of a blueprint, and
``simulate``, ``replicates``, ``sweep`` and scenario files use it, so nobody
chooses a session or passes the Wright-Fisher flag by hand.
``DiscreteSession`` and ``WrightFisherSession`` wrap the engine's
``DiscreteEngineSession`` with the call signatures of ``EngineSession``
(``run(n_ticks, record_interval, observation_mask=None, checkpoint_every=0)``,
``tick()``); every other method is the engine session's.

Sampling modes of a Wright-Fisher generation (the blueprint field
``extreme_speed_mode``, given by name or number):

``"multinomial"`` (1)
    the next adults are one multinomial draw of round(T) individuals over the
    sex-by-genotype classes, T the expected total: the population size is
    exactly round(T) (N when regulation caps it at N), the classic
    Wright-Fisher sampling;
``"poisson"`` (2)
    each class is an independent Poisson draw around its expectation: the
    population size fluctuates (variance T);
``"expected"`` (3)
    the expected values themselves, no randomness at all: no drift.

A stochastic blueprint defaults to "multinomial", a deterministic one to
"expected" (the only mode that means anything there). A stochastic model
with "expected" warns (``ExpectedValuesWarning``): it evolves expected values
and shows no drift.
"""

from __future__ import annotations

import copy
import math
import warnings

import numpy as np

from . import _engine_rs

__all__ = [
    "GENERATIONS", "SAMPLING_MODES", "ExpectedValuesWarning", "DiscreteSession",
    "WrightFisherSession", "session_class", "session_kind", "SESSION_KINDS", "generations_of",
    "sampling_mode", "sampling_name",
    "wright_fisher", "hardy_weinberg",
]

GENERATIONS = ("overlapping", "discrete", "wright_fisher")
SAMPLING_MODES = {"multinomial": 1, "poisson": 2, "expected": 3}
_MODE_NAMES = {v: k for k, v in SAMPLING_MODES.items()}
_ALIASES = {"wright-fisher": "wright_fisher", "wf": "wright_fisher", "age": "overlapping",
            "ages": "overlapping", "age_structured": "overlapping", "discrete_generation": "discrete"}


class ExpectedValuesWarning(UserWarning):
    """A stochastic Wright-Fisher model set to evolve expected values (no drift)."""


def _kind(value, where: str = "generations") -> str:
    if not isinstance(value, str):
        raise TypeError(f"{where} must be one of {', '.join(map(repr, GENERATIONS))}, "
                        f"got {type(value).__name__}")
    kind = _ALIASES.get(value, value)
    if kind not in GENERATIONS:
        raise ValueError(f"{where} must be one of {', '.join(map(repr, GENERATIONS))}, got {value!r}")
    return kind


def generations_of(blueprint) -> str:
    """The kind of generations of a blueprint: its ``generations`` attribute;
    "overlapping" for a blueprint without one."""
    value = getattr(blueprint, "generations", None)
    return "overlapping" if value is None else _kind(value, "blueprint.generations")


def sampling_mode(value) -> int:
    """The engine's number of a sampling mode given by name or number (0 means
    "the default of the kind of generations")."""
    if isinstance(value, str):
        if value not in SAMPLING_MODES:
            raise ValueError(f"extreme_speed_mode must be one of "
                             f"{', '.join(map(repr, SAMPLING_MODES))} (or 0 to 3), got {value!r}")
        return SAMPLING_MODES[value]
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"extreme_speed_mode must be a mode name or an integer 0..3, got {value!r}")
    if not 0 <= int(value) <= 3:
        raise ValueError(f"extreme_speed_mode must be a mode name or an integer 0..3, got {int(value)}")
    return int(value)


def sampling_name(mode: int) -> str | None:
    """The name of a sampling mode number (None for 0, "the default")."""
    return _MODE_NAMES.get(int(mode))


def _expected_warning(where: str, stacklevel: int = 3) -> None:
    warnings.warn(f"{where}: a stochastic Wright-Fisher model with extreme_speed_mode 'expected' "
                  "evolves expected values: counts stay at their expectations and there is no "
                  "drift. Use 'multinomial' (or 'poisson') for drift, or stochastic=False for the "
                  "deterministic model.", ExpectedValuesWarning, stacklevel=stacklevel)


def resolve(kind, *, n_ages: int, new_adult_age: int, stochastic, extreme_speed_mode,
            discrete_generation: bool) -> tuple:
    """(kind, stochastic, discrete_generation, extreme_speed_mode) of a blueprint
    being built: checks the ages of a discrete kind, fills the defaults and
    checks the sampling mode against the randomness of the model."""
    kind = "overlapping" if kind is None else _kind(kind)
    mode = sampling_mode(extreme_speed_mode)
    if kind == "overlapping":
        return kind, bool(stochastic), bool(discrete_generation), mode
    if n_ages != 2 or new_adult_age != 1:
        raise ValueError(f"{kind} generations have two age classes (0 juveniles, 1 adults): "
                         f"n_ages must be 2 and new_adult_age 1, got n_ages={n_ages}, "
                         f"new_adult_age={new_adult_age}")
    if kind == "discrete":
        return kind, bool(stochastic), True, mode
    stochastic = True if stochastic is None else bool(stochastic)
    if mode == 0:
        mode = SAMPLING_MODES["multinomial" if stochastic else "expected"]
    elif not stochastic and mode != SAMPLING_MODES["expected"]:
        raise ValueError(f"extreme_speed_mode {sampling_name(mode)!r} draws counts only in a "
                         "stochastic model: pass stochastic=True, or leave the mode to its default "
                         "('expected' for a deterministic model)")
    elif stochastic and mode == SAMPLING_MODES["expected"]:
        _expected_warning("Blueprint", stacklevel=4)  # the caller of Blueprint(...)
    return kind, stochastic, True, mode


# ------------------------------------------------------------------ sessions
_EVENTS_OF_WF = ("first",)


class DiscreteSession:
    """A ``DiscreteEngineSession`` running staged discrete generations, with the
    call signatures of ``EngineSession``. Attributes not defined here are the
    engine session's (``state_snapshot``, ``counts``, ``bind_history``, ...)."""

    wf = False

    def __init__(self, blueprint, params, seed: int = 0):
        self.blueprint = blueprint
        self._session = _engine_rs.DiscreteEngineSession(blueprint, params, seed)

    @property
    def session(self):
        """The underlying ``DiscreteEngineSession``."""
        return self._session

    def run(self, n_ticks, record_interval=1, observation_mask=None, checkpoint_every=0, *, progress=None):
        """Run up to `n_ticks` generations; returns (final_tick, rows, was_stopped).
        ``progress(tick)``, when given, is called about every 50 ms."""
        return self._session.run(n_ticks, record_interval, self.wf, observation_mask, checkpoint_every,
                                 progress=progress)

    def tick(self, *_ignored):
        """One generation: 0 when it completed, 1 when a hook stopped it."""
        return self._session.tick(self.wf)

    def __getattr__(self, name):
        if name == "_session":  # not yet made
            raise AttributeError(name)
        return getattr(self._session, name)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(tick={self._session.current_tick()})"


class WrightFisherSession(DiscreteSession):
    """A ``DiscreteEngineSession`` running Wright-Fisher generations. A blueprint
    made by hand with ``extreme_speed_mode`` 0 gets the default sampling of its
    randomness ("multinomial" when stochastic, else "expected"). Only the event
    "first" runs in a Wright-Fisher generation, so a hook program with hooks in
    "early" or "late" is refused."""

    wf = True

    def __init__(self, blueprint, params, seed: int = 0):
        mode = sampling_mode(int(getattr(blueprint, "extreme_speed_mode", 0)))
        stochastic = bool(getattr(blueprint, "stochastic", False))
        if mode == 0:
            blueprint = copy.copy(blueprint)
            blueprint.extreme_speed_mode = SAMPLING_MODES["multinomial" if stochastic else "expected"]
        elif stochastic and mode == SAMPLING_MODES["expected"] and \
                getattr(blueprint, "generations", None) != "wright_fisher":
            _expected_warning("WrightFisherSession")  # a blueprint not checked as Wright-Fisher
        super().__init__(blueprint, params, seed)

    def set_execution_flags(self, stochastic, continuous_sampling, fixed_egg_count,
                            extreme_speed_mode) -> None:
        """The engine session's switches, with the sampling mode by name or number
        (0: the default of `stochastic`)."""
        mode = sampling_mode(extreme_speed_mode)
        if mode == 0:
            mode = SAMPLING_MODES["multinomial" if stochastic else "expected"]
        elif stochastic and mode == SAMPLING_MODES["expected"]:
            _expected_warning("set_execution_flags")
        self._session.set_execution_flags(stochastic, continuous_sampling, fixed_egg_count, mode)

    def set_hook_program(self, program) -> None:
        offsets = np.asarray(getattr(program, "hook_offsets", []), dtype=np.int64)
        for name, e in (("early", 1), ("late", 2)):
            if offsets.size > e + 1 and offsets[e + 1] > offsets[e]:
                raise ValueError(f"a Wright-Fisher generation runs only the event 'first'; the hook "
                                 f"program has hooks in {name!r}, which would never run (use "
                                 "'first', or discrete generations)")
        self._session.set_hook_program(program)


def session_class(blueprint):
    """The session class that runs `blueprint`: ``EngineSession``,
    ``DiscreteSession`` or ``WrightFisherSession`` by its generations;
    ``qorin.landscape.LandscapeSession`` for several demes."""
    kind = generations_of(blueprint)
    if int(getattr(blueprint, "n_demes", 1)) > 1:
        if kind == "wright_fisher":
            raise ValueError("Wright-Fisher generations run in one population; a landscape of "
                             "several demes runs overlapping or discrete generations")
        from .landscape import LandscapeSession

        return LandscapeSession
    if kind == "discrete":
        return DiscreteSession
    if kind == "wright_fisher":
        return WrightFisherSession
    return _engine_rs.EngineSession


SESSION_KINDS = ("age", "discrete", "spatial")


def _kinds_by_class() -> tuple:
    """(class, kind of its rows) of every session the engine and this package
    provide, matched by identity (a subclass records like its base): "age"
    rows carry stored sperm, "discrete" rows counts only, "spatial" rows a
    leading deme axis."""
    from .landscape import LandscapeSession  # the landscape session builds on the engine's

    table = [(DiscreteSession, "discrete"), (LandscapeSession, "spatial"),
             (_engine_rs.EngineSession, "age")]
    for cls, kind in ((getattr(_engine_rs, "DiscreteEngineSession", None), "discrete"),
                      (getattr(_engine_rs, "HeterogeneousSpatialEngineSession", None), "spatial")):
        if cls is not None:  # where this build of the engine provides it
            table.append((cls, kind))
    return tuple(table)


def session_kind(session, *, strict: bool = True) -> str | None:
    """The kind of rows `session` records: "age", "discrete" or "spatial".

    `session` is one of those names, a session class or instance (of the
    engine, of this package, or a subclass of one), or a factory
    ``session(blueprint, params, seed)`` whose ``session_class`` attribute names
    the class it makes. None gives None; anything else raises ``ValueError``,
    or gives None when `strict` is false (the caller then goes by the
    blueprint)."""
    if session is None:
        return None
    if isinstance(session, str):
        if session not in SESSION_KINDS:
            raise ValueError(f"session must be 'age', 'discrete' or 'spatial', got {session!r}")
        return session
    table = _kinds_by_class()
    for candidate in (session, getattr(session, "session_class", None)):
        cls = candidate if isinstance(candidate, type) else type(candidate)
        for base, kind in table:
            if issubclass(cls, base):
                return kind
    if not strict:
        return None
    cls = session if isinstance(session, type) else type(session)
    raise ValueError(f"session must be an engine session class or instance, got {cls.__name__}")


def wrap_engine_class(cls, blueprint):
    """A raw ``DiscreteEngineSession`` named as a model's session becomes the
    wrapper of the blueprint's generations (Wright-Fisher when the blueprint
    has no kind but a sampling mode 1..3)."""
    if cls is not getattr(_engine_rs, "DiscreteEngineSession", None):
        return cls
    kind = getattr(blueprint, "generations", None)
    if kind is None:
        kind = "wright_fisher" if int(getattr(blueprint, "extreme_speed_mode", 0)) else "discrete"
    return WrightFisherSession if _kind(kind) == "wright_fisher" else DiscreteSession


# ------------------------------------------------------------------ a Wright-Fisher model
def hardy_weinberg(locus, frequencies, total: int) -> np.ndarray:
    """Integer genotype counts of `total` individuals in Hardy-Weinberg
    proportions of the allele `frequencies` (one autosomal locus; a mapping
    allele -> frequency, alleles not named share what is left equally), rounded
    by largest remainder so that they sum to `total` exactly."""
    names, copies = locus.allele_counts(0)
    if len(locus.alleles) != 1 or locus.has_sex_chromosomes:
        raise ValueError("frequencies apply to one autosomal locus; give initial= counts instead")
    p = np.full(len(names), np.nan)
    for allele, value in dict(frequencies).items():
        if allele not in names:
            raise ValueError(f"frequencies: {allele!r} is not an allele of this model; allowed: "
                             f"{', '.join(map(repr, names))}")
        v = float(value)
        if not (math.isfinite(v) and 0.0 <= v <= 1.0):
            raise ValueError(f"frequencies[{allele!r}] must be in [0, 1], got {value!r}")
        p[names.index(allele)] = v
    rest = 1.0 - np.nansum(p)
    missing = np.isnan(p)
    if rest < -1e-9 or (not missing.any() and abs(rest) > 1e-9):
        raise ValueError(f"frequencies must sum to 1, got {float(np.nansum(p))!r}")
    if missing.any():
        p[missing] = max(rest, 0.0) / missing.sum()
    # genotype probability: product of its alleles' frequencies, times 2 for heterozygotes
    prob = np.array([np.prod(p ** c) * (2.0 if c.max() == 1 else 1.0) for c in copies])
    exact = prob / prob.sum() * total
    counts = np.floor(exact)
    # the allele copies to reach: 2*total shared by largest remainder, so the
    # starting allele frequencies are as exact as the counts allow
    want = p * (2 * total)
    target = np.floor(want)
    target[np.argsort(-(want - target), kind="stable")[:int(2 * total - target.sum())]] += 1
    room = target - counts @ copies  # never negative: the floors carry at most want copies
    for _ in range(int(total - counts.sum())):
        fits = np.all(copies <= room, axis=1)  # some genotype always fits: room sums to 2 per individual
        k = int(np.argmax(np.where(fits, exact - counts, -np.inf)))
        counts[k] += 1
        room -= copies[k]
    return counts


def wright_fisher(N, locus=None, *, frequencies=None, initial=None, stochastic=True,
                  sampling=None, **params):
    """A Wright-Fisher population of N adults per generation, as a ``Model``
    ready for ``simulate``, ``replicates`` and ``sweep``.

    N
        adults per generation (both sexes together). It becomes the carrying
        capacity of the cap regulation (``growth_mode`` 1,
        ``carrying_capacity`` N): the expected newborns of each generation are
        scaled down to N and, with "multinomial" sampling, the next adults are
        exactly N individuals (sexes drawn at random) as long as at least N
        newborns are expected (``eggs_per_female`` is 50 by default) and nothing
        dies after regulation (selection belongs in ``zygote_viability_fitness``
        or ``fecundity_fitness``; survival and ``viability_fitness`` of age 0
        act after regulation and lower the count).
    locus
        the genetics model (one autosomal locus with two alleles by default).
    frequencies
        starting allele frequencies of one autosomal locus ({"A1": 0.5};
        alleles not named share the rest, all equal by default); the N starting adults are in Hardy-Weinberg proportions, half of each
        genotype female (rounded so the total is N). Or ``initial``: the
        starting adults by genotype label, a number (half female, half male;
        all of the sex its sex chromosomes fix) or a (female, male) pair.
    stochastic, sampling
        the randomness and the sampling mode ("multinomial" by default; see the
        module doc).
    **params
        any further ``Params`` field (``zygote_viability_fitness=...``,
        ``eggs_per_female=...``).
    """
    from . import genetics
    from .contracts import Blueprint, Model, Params

    if isinstance(N, (bool, np.bool_)) or not isinstance(N, (int, np.integer, float, np.floating)):
        raise TypeError(f"N must be a positive number of adults, got {N!r}")
    if not (math.isfinite(float(N)) and 1.0 <= float(N) <= 1e15 and float(N) == round(float(N))):
        raise ValueError(f"N must be a whole number of adults in [1, 1e15], got {N!r}")
    if locus is None:
        locus = genetics.autosomal_locus(2)
    bp = Blueprint(2, 1, locus, generations="wright_fisher", stochastic=stochastic,
                   extreme_speed_mode=0 if sampling is None else sampling)
    if frequencies is not None and initial is not None:
        raise ValueError("give frequencies or initial, not both")
    if initial is None:
        # by default every allele at the same frequency
        counts = hardy_weinberg(locus, frequencies or {}, int(round(float(N))))
        females = np.floor(counts / 2.0)
        odd = counts - 2 * females  # one individual left over: alternate its sex
        extra = np.cumsum(odd) % 2 == 1
        bp.initial_individual_count[0, 1, :] = females + np.where(odd > 0, extra, 0)
        bp.initial_individual_count[1, 1, :] = counts - bp.initial_individual_count[0, 1, :]
    else:
        for label, value in dict(initial).items():
            k = locus.index(label, argument="initial")
            if isinstance(value, (tuple, list)):
                pair = value
            elif locus.female_only[k] or locus.male_only[k]:  # sex fixed by sex chromosomes
                pair = (float(value), 0.0) if locus.female_only[k] else (0.0, float(value))
            else:
                pair = (float(value) / 2.0, float(value) / 2.0)
            if len(pair) != 2 or not all(math.isfinite(float(v)) and float(v) >= 0 for v in pair):
                raise ValueError(f"initial[{label!r}] must be a count >= 0 or a (female, male) pair")
            bp.initial_individual_count[:, 1, k] = [float(pair[0]), float(pair[1])]
    params.setdefault("growth_mode", 1)
    params.setdefault("carrying_capacity", float(N))
    return Model(bp, Params(bp, **params))
