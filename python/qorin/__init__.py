"""qorin: population-genetic and ecological models on a native engine.

``import qorin`` gives everything a model needs:

- the engine: ``EngineSession`` (and, where the engine provides them,
  ``DiscreteEngineSession``, ``HeterogeneousSpatialEngineSession``),
  ``HistoryStore``, ``ParameterLog`` and the module functions
  (``compute_offspring_tensor``, ``equilibrium_metrics``, ...);
- the model contracts ``Blueprint`` and ``Params``;
- ``genetics`` (loci and gene drives) and ``hooks`` (interventions);
- ``generations``: overlapping, discrete or Wright-Fisher generations and the
  session of each; ``wright_fisher(N, ...)`` makes a Wright-Fisher model;
- replicates and parameter sweeps through any executor: ``sweep``,
  ``suppressed_fraction``, ``summarize`` (module ``qorin.sweeps``); scenario
  files for the ``qorin`` command (``qorin.scenario``, ``qorin.cli``);
- real landscapes: ``Landscape`` (sites with coordinates, per-site ecology
  and starting populations), movement in ``dispersal`` (kernels, matrices),
  seasons in ``schedules`` (``seasonal``, ``schedule_table``,
  ``schedule_function``) and per-site summaries in ``spread``;
- results: ``history_width``, ``history_store``, ``to_dataset``,
  ``to_dataframe``, ``population_size``, ``allele_frequencies``, ... (module
  ``qorin.results``) and figures in ``qorin.plot`` (pandas, xarray and
  matplotlib come with the "analysis" extra and are imported only when used).

The user guide is in ``docs/`` of the source tree.
"""

from . import _engine_rs
from . import dispersal, genetics, generations, hooks, results, schedules, spread, sweeps
from .generations import DiscreteSession, ExpectedValuesWarning, WrightFisherSession, wright_fisher
from .contracts import Blueprint, Params
from .hooks import HookProgramBuilder
from .results import (
    adult_counts, allele_frequencies, check_history, describe_model, extinction_probability,
    genotype_frequencies, history_store, history_width, load, model_description,
    population_size, replicates, row_layout, save, simulate, to_dataframe, to_dataset,
)
from .schedules import schedule_function, schedule_table, seasonal
from .sites import Landscape, LandscapeError
from .spread import arrival_tick, site_suppression, spread_speed
from .sweeps import Model, ReplicateError, summarize, suppressed_fraction, suppression_tick, sweep

from ._version import __version__

_ENGINE_NAMES = (
    "EngineSession", "DiscreteEngineSession", "HeterogeneousSpatialEngineSession",
    "HistoryStore", "ParameterLog",
    "compute_offspring_tensor", "equilibrium_metrics", "equilibrium_metrics_flat",
    "migrate_csr_deterministic", "migrate_csr_stochastic", "project_observation",
)
# Re-export whatever this build of the engine provides.
for _name in _ENGINE_NAMES:
    _value = getattr(_engine_rs, _name, None)
    if _value is not None:
        globals()[_name] = _value
del _name, _value

__all__ = [n for n in _ENGINE_NAMES if n in globals()] + [
    "Blueprint", "Params", "HookProgramBuilder", "genetics", "hooks", "results", "plot",
    "generations", "wright_fisher", "DiscreteSession", "WrightFisherSession", "ExpectedValuesWarning",
    "sweeps", "sweep", "Model", "ReplicateError", "summarize", "suppressed_fraction", "suppression_tick",
    "adult_counts", "allele_frequencies", "check_history", "describe_model",
    "extinction_probability", "genotype_frequencies", "history_store", "history_width", "load",
    "model_description", "population_size", "replicates", "row_layout", "save", "simulate",
    "to_dataframe", "to_dataset", "_engine_rs",
    "Landscape", "LandscapeError", "dispersal", "schedules", "spread", "seasonal", "schedule_table",
    "schedule_function", "arrival_tick", "site_suppression", "spread_speed",
]


def __getattr__(name):
    # qorin.plot imports nothing heavy itself, but keep it out of the import of qorin.
    if name == "plot":
        import importlib

        module = importlib.import_module(".plot", __name__)
        globals()["plot"] = module
        return module
    raise AttributeError(f"module 'qorin' has no attribute {name!r}")
