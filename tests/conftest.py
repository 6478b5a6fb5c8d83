import os

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

from qorin import _engine_testing, contracts, genetics, hooks

# Hypothesis profiles: `dev` (the default) keeps a local run quick; `ci`
# explores much further. Select with HYPOTHESIS_PROFILE=ci. Tests that fix
# their own max_examples keep it under both.
settings.register_profile("dev", max_examples=30, deadline=None)
settings.register_profile("ci", max_examples=400, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))

if os.environ.get("QORIN_SANITIZED"):
    import multiprocessing

    # The address sanitizer's allocator is not fork-safe: a child forked while
    # another thread of the parent allocates (an executor's feeder thread) waits
    # forever for the allocator's lock. Process executors start their workers
    # fresh instead under the sanitizer; the plain pass keeps forking them.
    multiprocessing.set_start_method("spawn", force=True)


def make_locus(n_alleles: int = 2):
    return genetics.autosomal_locus(n_alleles)


class RawProgramBuilder(hooks.HookProgramBuilder):
    """A builder that compiles operations and deme selections exactly as given,
    indices outside the state included: the raw columns for tests of how the
    engine treats programs that a checked builder refuses."""

    def _checked(self, op):
        return op

    def _checked_demes(self, demes):
        return demes


def raw_params(bp, locus=None, **fields):
    """Params with `fields` set as given, without the host layer's range checks:
    for tests of what the engine itself does with values a model may not take."""
    locus = locus if locus is not None else bp.locus
    params = contracts.Params(bp, locus)
    shapes = contracts._tensor_shapes(int(bp.n_ages), int(locus.n_ztypes), int(locus.n_gtypes))
    for name, value in fields.items():
        setattr(params, name, contracts._converted(name, value, shapes))
    return params


def raw_blueprint(n_ages, new_adult_age, locus=None, **fields):
    """A Blueprint with dimensions the host layer refuses (no age class, no adult
    age): for tests of the engine's own edge cases."""
    bp = contracts.Blueprint(max(n_ages, 1), min(new_adult_age, max(n_ages, 1) - 1), locus, **fields)
    bp.n_ages, bp.new_adult_age = int(n_ages), int(new_adult_age)
    bp.adult_ages = np.arange(new_adult_age, n_ages, dtype=np.int64)
    if bp.initial_individual_count.shape != (2, n_ages, bp.n_ztypes):
        bp.initial_individual_count = np.zeros((2, n_ages, bp.n_ztypes))
    return bp


@pytest.fixture
def testing():
    return _engine_testing


@pytest.fixture
def locus():
    return make_locus(2)


@pytest.fixture
def sigint_raises():
    """Ctrl-C raises KeyboardInterrupt for the test's duration. A job started in
    the background inherits SIGINT ignored, and then _thread.interrupt_main()
    would do nothing and an interrupted run would never end."""
    import signal

    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
