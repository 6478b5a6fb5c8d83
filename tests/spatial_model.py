"""Building spatial sessions from per-deme Params objects, for the tests."""

import numpy as np

from qorin import _engine_rs
from qorin.contracts import Blueprint, Params

SCALARS = ("carrying_capacity", "eggs_per_female", "sex_ratio", "sperm_displacement_rate",
           "low_density_growth_rate", "external_expected_eggs")
TENSORS = ("survival_rates", "mating_rates", "reproduction_rates", "fertility", "competition_weights")
GENETICS = ("viability_fitness", "fecundity_fitness", "sexual_selection_fitness", "zygote_viability_fitness",
            "offspring_tensor", "meiosis_map", "female_ztype_compatibility", "male_ztype_compatibility")


def ring(n, both_ways=True):
    """CSR graph of a ring: each deme sends to its neighbours with equal weights."""
    indptr, dest, weights = [0], [], []
    for d in range(n):
        nbrs = [(d + 1) % n, (d - 1) % n] if both_ways and n > 2 else [(d + 1) % n]
        if n == 1:
            nbrs = []
        dest += nbrs
        weights += [1.0 / len(nbrs)] * len(nbrs) if nbrs else []
        indptr.append(len(dest))
    return (np.array(indptr, dtype=np.int64), np.array(dest, dtype=np.int64),
            np.array(weights, dtype=np.float64))


def columns(params_list, migration_rate=None):
    """The ecology-columns dict of a list of one-deme Params objects."""
    cols = {name: np.array([float(getattr(p, name)) for p in params_list]) for name in SCALARS}
    cols["growth_mode"] = np.array([int(p.growth_mode) for p in params_list], dtype=np.int64)
    for name in TENSORS:
        cols[name] = np.concatenate([np.asarray(getattr(p, name), dtype=np.float64).ravel()
                                     for p in params_list])
    if migration_rate is not None:
        cols["migration_rate"] = np.asarray(migration_rate, dtype=np.float64).ravel()
    return cols


def genetics(params):
    return {name: np.ascontiguousarray(np.asarray(getattr(params, name), dtype=np.float64).ravel())
            for name in GENETICS}


def blueprint(n_demes, n_ages=3, new_adult_age=1, locus=None, graph=None, **kw):
    indptr, dest, weights = graph if graph is not None else ring(n_demes)
    return Blueprint(n_ages, new_adult_age, locus, n_demes=n_demes, migration_indptr=indptr,
                     migration_dest_idx=dest, migration_weights=weights, **kw)


def initial_state(bp, n_demes, adults=50.0, sperm=False):
    A, Z = bp.n_ages, bp.n_ztypes
    ind = np.zeros((n_demes, 2, A, Z))
    ind[:, :, bp.new_adult_age:, 0] = adults
    sp = np.zeros((n_demes, A, Z, Z))
    if sperm:
        sp[:, bp.new_adult_age:, 0, 0] = adults / 2
    return ind, sp


def session(n_demes=3, *, rate=0.0, params=None, bank=None, ids=None, ind=None, sperm=None, module=_engine_rs,
            model="age_structured", seed=1, bp=None, **bp_kw):
    """A spatial session of n_demes copies of one model (or of the given
    per-deme Params), migrating at `rate` on a ring."""
    if bp is None:
        if model == "discrete_generation":
            bp_kw.setdefault("n_ages", 2)
            bp_kw.setdefault("discrete_generation", True)
        bp = blueprint(n_demes, **bp_kw)
    if params is None:
        params = Params(bp, carrying_capacity=500.0, eggs_per_female=20.0, low_density_growth_rate=4.0,
                        survival_rates=np.full((2, bp.n_ages), 0.8))
    plist = params if isinstance(params, list) else [params] * n_demes
    mig = None if rate is None else np.full((n_demes, 2, bp.n_ages), rate)
    cols = columns(plist, mig)
    if bank is None:
        bank = [genetics(plist[0])]
    if ids is None:
        ids = np.zeros(n_demes, dtype=np.int64)
    if ind is None or sperm is None:
        i0, s0 = initial_state(bp, n_demes)
        ind = i0 if ind is None else ind
        sperm = s0 if sperm is None else sperm
    s = module.HeterogeneousSpatialEngineSession(bp, cols, bank, np.asarray(ids, dtype=np.int64), ind, sperm, 0,
                                                 model=model, seed=seed)
    return s, bp, cols, bank
