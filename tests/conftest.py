import os

import pytest
from hypothesis import HealthCheck, settings

from qorin import _engine_testing, genetics

# Hypothesis profiles: `dev` (the default) keeps a local run quick; `ci`
# explores much further. Select with HYPOTHESIS_PROFILE=ci. Tests that fix
# their own max_examples keep it under both.
settings.register_profile("dev", max_examples=30, deadline=None)
settings.register_profile("ci", max_examples=400, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))


def make_locus(n_alleles: int = 2):
    return genetics.autosomal_locus(n_alleles)


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
