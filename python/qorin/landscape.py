"""Landscapes: demes on a ring or a grid, linked by migration.

(Field sites with coordinates, their own ecology and starting populations,
dispersal kernels and seasons are ``qorin.Landscape``, module ``qorin.sites``;
its sessions are ``LandscapeSession``s whose engine parts come from the sites.)

``ring`` and ``grid`` give the migration graph of a landscape in the CSR form a
``Blueprint`` takes (``indptr``, ``dest_idx``, ``weights``): every deme sends its
emigrants to its neighbours in equal shares. ``LandscapeSession`` runs a
landscape whose demes all start from one model: it is made like any session,
``LandscapeSession(blueprint, params, seed)``, from a blueprint with ``n_demes``
and its migration graph and from the ``Params`` every deme shares
(``params.migration_rate``, by sex and age, is the emigration rate of every
deme), so sweeps and replicates run landscapes exactly as they run single
populations. Each deme starts with the blueprint's initial individuals and
stored sperm; a hook program with deme selectors (releases into some demes)
runs in every deme it selects.

The session records rows with a leading deme axis (``qorin.results.row_layout``
of a spatial session): ``run`` returns them as ``EngineSession.run`` does.
"""

from __future__ import annotations

import numpy as np

from . import _engine_rs
from . import fields as _fields

__all__ = ["ring", "grid", "LandscapeSession", "ECOLOGY_COLUMNS", "GENETICS_TENSORS"]

# The engine's field table (qorin.fields): the per-deme ecology columns and the
# shared genetics tensors of a variant.
ECOLOGY_SCALARS = _fields.ECOLOGY_SCALARS
ECOLOGY_TENSORS = _fields.ECOLOGY_TENSORS
ECOLOGY_COLUMNS = ECOLOGY_SCALARS + ECOLOGY_TENSORS
GENETICS_TENSORS = _fields.GENETICS_TENSORS


def _csr(neighbours: list) -> tuple:
    indptr = np.zeros(len(neighbours) + 1, dtype=np.int64)
    dest, weights = [], []
    for d, near in enumerate(neighbours):
        indptr[d + 1] = indptr[d] + len(near)
        dest.extend(near)
        weights.extend([1.0 / len(near)] * len(near) if near else [])
    return indptr, np.array(dest, dtype=np.int64), np.array(weights, dtype=np.float64)


def ring(n_demes: int) -> tuple:
    """(indptr, dest_idx, weights) of `n_demes` demes on a ring: each sends half
    of its emigrants to each of its two neighbours (all to the other deme of a
    ring of two; a ring of one deme has no migration)."""
    n = int(n_demes)
    if n < 1:
        raise ValueError(f"a ring needs at least one deme, got {n}")
    neighbours = []
    for d in range(n):
        near = []
        for e in ((d + 1) % n, (d - 1) % n):
            if e != d and e not in near:
                near.append(e)
        neighbours.append(near)
    return _csr(neighbours)


def grid(rows: int, cols: int) -> tuple:
    """(indptr, dest_idx, weights) of a rows x cols grid (deme r * cols + c):
    each deme sends its emigrants in equal shares to its neighbours above,
    below, left and right (edges do not wrap)."""
    rows, cols = int(rows), int(cols)
    if rows < 1 or cols < 1:
        raise ValueError(f"a grid needs at least one row and one column, got {rows} x {cols}")
    neighbours = []
    for r in range(rows):
        for c in range(cols):
            near = []
            for dr, dc in ((-1, 0), (0, -1), (0, 1), (1, 0)):
                rr, cc = r + dr, c + dc
                if 0 <= rr < rows and 0 <= cc < cols:
                    near.append(rr * cols + cc)
            neighbours.append(near)
    return _csr(neighbours)


def ecology_columns(params, n: int) -> dict:
    """The ecology of `params` as columns of `n` identical demes."""
    out = {}
    for name in ECOLOGY_SCALARS:
        if _fields.FIELDS[name].integral:
            out[name] = np.full(n, int(getattr(params, name)), dtype=np.int64)
        else:
            out[name] = np.full(n, float(getattr(params, name)))
    for name in ECOLOGY_TENSORS:
        block = np.ascontiguousarray(getattr(params, name), dtype=np.float64).ravel()
        out[name] = np.tile(block, n)
    return out


class LandscapeSession:
    """A spatial session of ``blueprint.n_demes`` demes that all start from
    `params` and the blueprint's initial state (see the module doc)."""

    def __init__(self, blueprint, params, seed: int = 0):
        columns, bank, ids, ind, sperm = self._engine_parts(blueprint, params)
        model = "discrete_generation" if bool(getattr(blueprint, "discrete_generation", False)) \
            else "age_structured"
        self.blueprint = blueprint
        self._session = _engine_rs.HeterogeneousSpatialEngineSession(
            blueprint, columns, bank, ids, ind, sperm, 0, model=model, seed=int(seed))
        self._discrete = model == "discrete_generation"

    def _engine_parts(self, blueprint, params) -> tuple:
        """(ecology columns, genetics bank, variant ids, counts, stored sperm) the
        engine session is made of: every deme a copy of `params` and of the
        blueprint's initial state (``qorin.Landscape`` gives each site its own)."""
        n = int(blueprint.n_demes)
        a, z = int(blueprint.n_ages), int(blueprint.n_ztypes)
        ind = np.ascontiguousarray(np.broadcast_to(
            np.asarray(blueprint.initial_individual_count, dtype=np.float64).reshape(2, a, z),
            (n, 2, a, z)))
        sperm0 = np.asarray(blueprint.initial_sperm_storage, dtype=np.float64)
        sperm = np.zeros((n, a, z, z))
        if sperm0.size:
            sperm[:] = sperm0.reshape(a, z, z)
        bank = [{name: np.ascontiguousarray(getattr(params, name), dtype=np.float64).ravel()
                 for name in GENETICS_TENSORS}]
        return ecology_columns(params, n), bank, np.zeros(n, dtype=np.int64), ind, sperm

    @property
    def session(self):
        """The underlying ``HeterogeneousSpatialEngineSession``."""
        return self._session

    def set_hook_program(self, program) -> None:
        self._session.set_hook_program(program)

    def current_tick(self) -> int:
        return self._session.current_tick()

    def state_snapshot(self):
        return self._session.state_snapshot()

    def counts(self, deme: int):
        return self._session.counts(deme)

    _at_boundary = None  # a subclass's boundary writes (function schedules)

    def run(self, n_ticks: int, record_interval: int = 1, observation_mask=None, *, progress=None):
        """Run up to `n_ticks` ticks; return (final_tick, rows, was_stopped)
        with a row (tick, counts of every deme, stored sperm of every deme)
        for the current tick when it is a multiple of `record_interval` and
        after every tick that reaches one. A record interval <= 0 records
        nothing; a stop ends the run at the tick it happened. The engine's run
        loop does the work (Ctrl-C ends it at a tick boundary, undoing a long
        tick it stops among the demes); ``progress``,
        a callable, is called with the tick reached about every 50 ms."""
        if observation_mask is not None:
            raise ValueError("a landscape run records raw rows; it takes no observation mask")
        n = int(n_ticks)
        if n < 0:
            raise ValueError("n_steps must be >= 0")
        final, rows, stopped = self._session.run(n, int(record_interval), progress=progress,
                                                 at_boundary=self._at_boundary)
        return int(final), rows, bool(stopped)

    def tick(self) -> int:
        """Run one tick of every site, then migration: 0 when it completed, 1
        when a hook stopped it (as ``EngineSession.tick``)."""
        before = self._session.current_tick()
        return 0 if self._session.run_tick(at_boundary=self._at_boundary) > before else 1
