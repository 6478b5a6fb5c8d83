"""Ticks allocate nothing: the work of a run does not grow with its length."""

import pytest

from qorin import _engine_testing as T, genetics
from qorin import hooks as H
from qorin.contracts import Blueprint, Params


@pytest.mark.parametrize("stochastic, continuous", [(False, False), (True, False), (True, True)])
@pytest.mark.parametrize("growth_mode", [0, 1, 2, 3, 4])
def test_run_allocations_do_not_depend_on_its_length(stochastic, continuous, growth_mode):
    locus = genetics.combine(genetics.autosomal_locus(2), genetics.xy_locus(1))
    bp = Blueprint(n_ages=5, new_adult_age=2, locus=locus, stochastic=stochastic,
                   continuous_sampling=continuous)
    bp.initial_individual_count[:, 2:, :] = 40.0
    # Mode 0 has no regulation: keep that population from growing without bound.
    params = Params(bp, locus, growth_mode=growth_mode,
                    eggs_per_female=2.0 if growth_mode == 0 else 50.0)
    short = T.session_allocations(bp, params, 7, 3, 10, 0)
    if short is None:
        pytest.skip("allocation counting is unavailable in the sanitizer build")
    assert T.session_allocations(bp, params, 7, 3, 400, 0) == short
