"""Host-side reference implementations.

Plain Python floats, no NumPy reductions: every sum runs in index order from
0.0 and every product left to right, so the native engine must reproduce these
results bit for bit.
"""

from __future__ import annotations

import math

__all__ = ["equilibrium_metrics", "equilibrium_metrics_from_contracts"]


def _clamp01(x: float) -> float:
    # NaN passes through unchanged.
    if x < 0.0:
        return 0.0
    if x > 1.0:
        return 1.0
    return x


def _div(a: float, b: float) -> float:
    """IEEE division: Python raises on a zero divisor, the engine does not."""
    if b != 0.0 or math.isnan(b):
        return a / b
    if math.isnan(a) or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def _floats(values) -> list:
    return [float(v) for v in (values.ravel().tolist() if hasattr(values, "ravel") else values)]


def equilibrium_metrics(
    carrying_capacity,
    eggs_per_female,
    sex_ratio,
    survival_rates,
    reproduction_rates,
    fertility,
    competition_weights,
    new_adult_age,
    n_ages,
    has_sex_chromosomes,
    discrete_generation,
    declared_distribution=None,
    external_expected_eggs=None,
):
    """(expected_competition_strength, expected_survival_rate) of one deme.

    ``survival_rates`` and ``declared_distribution`` are [sex, age] (2, A);
    the per-age inputs have A entries. Ages outside the age axis read as 0.
    """
    A = int(n_ages)
    start = max(int(new_adult_age), 0)
    K = float(carrying_capacity)
    eggs = float(eggs_per_female)
    survival = _floats(survival_rates)
    reproduction = _floats(reproduction_rates)
    fert = _floats(fertility)
    competition = _floats(competition_weights)
    declared = None
    if declared_distribution is not None and len(_floats(declared_distribution)) > 0:
        declared = _floats(declared_distribution)
    external = -1.0 if external_expected_eggs is None else float(external_expected_eggs)
    e = 0.5 if has_sex_chromosomes else float(sex_ratio)

    def surv(sex, age):
        return survival[sex * A + age] if age < A else 0.0

    # 1. reproduction clamped, zero below the first adult age
    r = [0.0] * A
    for a in range(start, A):
        r[a] = _clamp01(reproduction[a])
    # 2.
    o = 1.0 - e
    # 3. age distribution
    lf = [0.0] * A
    lm = [0.0] * A
    if declared is not None:
        for a in range(A):
            lf[a] = declared[a]
            lm[a] = declared[A + a]
        R = (lf[1] if A > 1 else 0.0) + (lm[1] if A > 1 else 0.0)
    else:
        R = K
        sf = surv(0, 0)
        sm = surv(1, 0)
        E = e * sf + o * sm
        if sf != sm and E > 0.0:
            f1 = K * _div(e * sf, E)
            m1 = K * _div(o * sm, E)
        else:
            f1 = K * e
            m1 = K * o
        if A > 1:
            lf[1] = f1
            lm[1] = m1
        for a in range(2, A):
            lf[a] = lf[a - 1] * surv(0, a - 1)
            lm[a] = lm[a - 1] * surv(1, a - 1)
    # 4. expected eggs
    Q = 0.0
    for a in range(start, A):
        if discrete_generation:
            Q += eggs * (lf[a] * r[a])
        else:
            Q += eggs * ((lf[a] * r[a]) * _clamp01(fert[a]))
    # 5. competition strength
    strength = Q * (competition[0] if A > 0 else 0.0)
    for i in range(1, min(start, A)):
        strength += (lf[i] + lm[i]) * competition[i]
    # 6. recruitment ratio
    F = external if external >= 0.0 else Q
    if F > 0.0:
        e2 = e * surv(0, 0) + o * surv(1, 0)
        rate = _div(R, F * e2) if e2 > 1e-10 else 1.0
    else:
        rate = 1.0
    return (strength, rate)


def equilibrium_metrics_from_contracts(blueprint, params):
    """The same calibration from a blueprint and a single-population Params."""
    A = int(blueprint.n_ages)
    declared = params.equilibrium_distribution
    return equilibrium_metrics(
        params.carrying_capacity,
        params.eggs_per_female,
        params.sex_ratio,
        params.survival_rates,
        params.reproduction_rates,
        params.fertility,
        params.competition_weights,
        blueprint.new_adult_age,
        A,
        blueprint.has_sex_chromosomes,
        blueprint.discrete_generation,
        declared if declared.size else None,
        params.external_expected_eggs,
    )
