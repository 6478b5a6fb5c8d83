"""Writes at tick boundaries inside the engine's run loop: a landscape's
parameter schedules (tables and profiles the engine holds, functions called
per boundary), their journal and its rollback, and the progress callable
every session's run takes."""

import numpy as np
import pytest

import spatial_model as M
from qorin import _engine_rs
from qorin import _engine_testing as T

N = 4


def _history(s, bp, n):
    A, Z = bp.n_ages, bp.n_ztypes
    h = _engine_rs.HistoryStore(1 + n * 2 * A * Z + n * A * Z * Z, (n, 2, A, Z), True)
    logs = [_engine_rs.ParameterLog() for _ in range(n)]
    h.bind_logs(logs)
    s.bind_history(h)
    return h, logs


def _cc(s):
    return [s.get_deme_scalar(d, "carrying_capacity") for d in range(N)]


# A table per site from tick 2 (asymmetric, so a deme or row swap shows) and
# a relative yearly profile of the egg count.
TABLE = np.array([[100.0, 200.0, 300.0, 400.0],
                  [100.0, 250.0, 300.0, 400.0],
                  [150.0, 250.0, 350.0, 400.0]])
PROFILE = np.array([[1.0], [0.5], [0.25]])


def _scheduled(seed=1, stochastic=False):
    s, bp, *_ = M.session(N, rate=0.1, seed=seed, stochastic=stochastic)
    s.set_schedules([("carrying_capacity", TABLE, 2, False, None),
                     ("eggs_per_female", PROFILE, 0, True, np.array([20.0, 10.0, 20.0, 40.0]))])
    return s, bp


def test_every_boundary_holds_the_values_scheduled_for_its_tick():
    s, _ = _scheduled()
    # set at once for the current tick: the profile's first row times each base
    assert [s.get_deme_scalar(d, "eggs_per_female") for d in range(N)] == [20.0, 10.0, 20.0, 40.0]
    seen = {0: _cc(s)}
    for t in range(1, 7):
        assert s.run_tick() == t
        seen[t] = _cc(s)
    assert seen[0] == seen[1] == [500.0] * 4
    assert seen[2] == [100.0, 200.0, 300.0, 400.0] and seen[3] == [100.0, 250.0, 300.0, 400.0]
    assert seen[4] == seen[5] == seen[6] == [150.0, 250.0, 350.0, 400.0]  # the last row stays
    eggs = [s.get_deme_scalar(d, "eggs_per_female") for d in range(N)]
    assert eggs == [20.0, 10.0, 20.0, 40.0]  # tick 6: row 0 of the repeating profile again
    journal = s.drain_eco_journal()  # (deme, tick, param id, old, new)
    assert [r for r in journal if r[2] == 0] == [
        (0, 2, 0, 500.0, 100.0), (1, 2, 0, 500.0, 200.0), (2, 2, 0, 500.0, 300.0), (3, 2, 0, 500.0, 400.0),
        (1, 3, 0, 200.0, 250.0), (0, 4, 0, 100.0, 150.0), (2, 4, 0, 300.0, 350.0)]
    assert [r[1] for r in journal if r[0] == 3 and r[2] == 1] == [0, 1, 2, 3, 4, 5, 6]


def test_a_run_equals_ticks_one_by_one_and_journals_into_the_deme_logs():
    a, bp = _scheduled(stochastic=True)
    ha, logs = _history(a, bp, N)
    assert a.run(9, 1)[0] == 9
    b, _ = _scheduled(stochastic=True)
    hb, logs_b = _history(b, bp, N)
    b.record_history(False)
    for _ in range(9):
        b.run_tick()
        b.record_history(True)
    np.testing.assert_array_equal(ha.query(), hb.query())
    assert [log.details() for log in logs] == [log.details() for log in logs_b]
    d1 = logs[1].details()
    assert (2, "carrying_capacity", 1, "schedule", 500.0, 200.0) in d1
    assert (3, "carrying_capacity", 1, "schedule", 200.0, 250.0) in d1
    assert all(e[3] == "schedule" for log in logs for e in log.details())


def test_a_restore_rolls_the_schedule_entries_back_with_the_state():
    s, bp = _scheduled(stochastic=True)
    h, logs = _history(s, bp, N)
    s.run(8, 1)
    whole = h.query().copy()
    entries = [log.details() for log in logs]
    assert s.restore_from_checkpoint(3) == 3
    assert _cc(s) == [100.0, 250.0, 300.0, 400.0]  # the values of tick 3 came back with it
    assert [log.details() for log in logs] == [[e for e in es if e[0] <= 3] for es in entries]
    s.run(5, 1)
    np.testing.assert_array_equal(h.query(), whole)
    assert [log.details() for log in logs] == entries


@pytest.mark.parametrize("threads", [2, 8])
def test_scheduled_runs_are_identical_for_any_thread_count(threads):
    def run(n_threads):
        T.set_worker_threads(n_threads)
        try:
            s, bp = _scheduled(seed=5, stochastic=True)
            return s.run(12, 1)[1], s.drain_eco_journal()
        finally:
            T.set_worker_threads(0)

    one = run(1)
    many = run(threads)
    assert one[0].tobytes() == many[0].tobytes() and one[1] == many[1]


def test_at_boundary_values_are_written_on_the_documented_ticks():
    s, _ = _scheduled()
    calls = []

    def sex_ratio(tick):
        calls.append(tick)
        return {"sex_ratio": [0.5, 0.4, 0.5, 0.6] if tick >= 3 else 0.5}

    s.run(5, 0, at_boundary=sex_ratio)
    assert calls == [0, 1, 2, 3, 4, 5]  # every boundary visited, the last one included
    assert [s.get_deme_scalar(d, "sex_ratio") for d in range(N)] == [0.5, 0.4, 0.5, 0.6]
    rows = [r for r in s.drain_eco_journal() if r[2] == 2]
    assert rows == [(1, 3, 2, 0.5, 0.4), (3, 3, 2, 0.5, 0.6)]
    calls.clear()
    s.run_tick(at_boundary=sex_ratio)
    assert calls == [5, 6]  # the boundary it starts from and the one it reaches


@pytest.mark.parametrize("returned, error, message", [
    ([1.0], TypeError, "must return None or a dict"),
    ({"growth_mode": 1.0}, ValueError, "a schedule sets one of"),
    ({"sex_ratio": [0.5, 0.5]}, ValueError, "expected one value or 4 values, got 2"),
    ({"sperm_displacement_rate": 0.9, "low_density_growth_rate": [2.0, 2.0, 0.5, 2.0]}, ValueError,
     r"schedule of low_density_growth_rate at tick 2: low_density_growth_rate must be in \[1, 1000000\], "
     r"got 0.5 at deme 2"),
    ({"sperm_displacement_rate": float("nan")}, ValueError, "sperm_displacement_rate must be in"),
    ({1: 0.5}, TypeError, "at_boundary key"),
])
def test_bad_boundary_values_end_the_run_at_that_boundary_with_nothing_written(returned, error, message):
    s, _ = _scheduled()
    before = s.ecology_columns_snapshot()

    def f(tick):
        return returned if tick == 2 else None

    with pytest.raises(error, match=message):
        s.run(6, 1, at_boundary=f)
    assert s.current_tick() == 2 and s.execution_state()[0] == "Ready"
    after = s.ecology_columns_snapshot()
    for name in ("sex_ratio", "sperm_displacement_rate", "low_density_growth_rate"):
        assert after[name].tolist() == before[name].tolist()
    assert after["carrying_capacity"].tolist() == TABLE[0].tolist()  # the engine's own schedule went first
    assert s.run(2, 1)[0] == 4  # still usable


def test_an_exception_in_at_boundary_reaches_the_caller_unchanged():
    s, _ = _scheduled()
    mine = LookupError("the schedule's own")

    def f(tick):
        if tick == 1:
            raise mine
        return None

    with pytest.raises(LookupError) as caught:
        s.run(3, 1, at_boundary=f)
    assert caught.value is mine and s.current_tick() == 1


@pytest.mark.parametrize("schedule, message", [
    (("growth_mode", np.ones((2, 1)), 0, False, None), "a schedule sets one of"),
    (("sex_ratio", np.ones((2, 3)), 0, False, None), "has 3 columns for 4 demes"),
    (("sex_ratio", np.full((2, 1), 0.5), -1, False, None), "start must be nonnegative"),
    (("sex_ratio", np.array([[0.5], [0.9]]), 0, True, np.array([1.0, 1.0, 1.2, 1.0])),
     r"row 1 gives deme 2 the value 1.08, outside \[0, 1\]"),
    (("sex_ratio", np.full((2, 1), 0.5), 0, False, np.ones(3)), "3 base values for 4 demes"),
    (("sex_ratio", np.zeros((0, 1)), 0, False, None), "the table has no rows"),
])
def test_bad_schedules_are_refused_and_the_old_ones_stay(schedule, message):
    s, _ = _scheduled()
    with pytest.raises(ValueError, match=message):
        s.set_schedules([schedule])
    with pytest.raises(ValueError, match="two schedules set sex_ratio"):
        s.set_schedules([("sex_ratio", np.full((1, 1), 0.5), 0, False, None)] * 2)
    s.run(3, 0)
    assert _cc(s) == [100.0, 250.0, 300.0, 400.0]


def test_bad_schedule_arguments_are_type_errors():
    s, _ = _scheduled()
    with pytest.raises(TypeError):
        s.set_schedules(5)
    with pytest.raises(TypeError):
        s.set_schedules([("sex_ratio", [[0.5]], 0, False, None)])  # a list, not a float64 array
    with pytest.raises(ValueError, match=r"\(name, table, start, repeat, base\)"):
        s.set_schedules([("sex_ratio", np.ones((1, 1)))])
    with pytest.raises(TypeError, match="at_boundary must be None or a callable"):
        s.run(1, 1, at_boundary=3)


# ------------------------------------------------------------------ progress
def _empty_session():
    """A population of nobody: cheap ticks, so a long run lasts a while."""
    s, bp, *_ = M.session(1, rate=None)
    A, Z = bp.n_ages, bp.n_ztypes
    s.set_state(np.zeros((1, 2, A, Z)), np.zeros((1, A, Z, Z)), 0)
    return s


def test_progress_sees_the_ticks_reached_and_can_end_the_run():
    s = _empty_session()
    seen = []

    class Enough(Exception):
        pass

    def progress(tick):
        seen.append(tick)
        if len(seen) == 3:
            raise Enough

    n = 50_000_000
    with pytest.raises(Enough) as caught:
        s.run(n, n, progress=progress)
    final, rows, stopped = caught.value.partial_result
    assert len(seen) == 3 and seen == sorted(seen) and 0 < seen[0] and seen[-1] == final < n
    assert s.current_tick() == final and s.execution_state()[0] == "Ready" and not stopped
    assert rows.shape[0] == 1  # the boundary of tick 0
    assert s.run(2, 1, progress=progress)[0] == final + 2  # usable, and too short to report


@pytest.mark.parametrize("make", ["engine", "discrete"])
def test_every_session_run_takes_progress(make):
    from qorin import EngineSession, DiscreteEngineSession
    from qorin.contracts import Params
    import spatial_model

    bp = spatial_model.blueprint(1, n_ages=2, discrete_generation=make == "discrete")
    p = Params(bp, carrying_capacity=500.0, eggs_per_female=20.0, low_density_growth_rate=4.0,
               survival_rates=np.full((2, 2), 0.8))
    s = EngineSession(bp, p, 1) if make == "engine" else DiscreteEngineSession(bp, p, 1)
    args = (3, 1) if make == "engine" else (3, 1, False)
    plain = s.run(*args, progress=None)
    assert plain[0] == 3
    with pytest.raises(TypeError, match="progress must be None or a callable"):
        s.run(*args, progress="yes")


def test_a_landscape_session_ticks_with_its_schedule_functions():
    import qorin

    bp = M.blueprint(2, n_ages=2)
    bp.initial_individual_count[:, 1:, 0] = 10.0
    p = qorin.Params(bp, carrying_capacity=300.0, eggs_per_female=20.0, low_density_growth_rate=4.0,
                     survival_rates=np.full((2, 2), 0.8))
    calls = []

    def eggs(tick):
        calls.append(tick)
        return [10.0 + tick, 30.0]

    land = qorin.Landscape([0, 1], [0, 0], schedules=[qorin.schedule_function("eggs_per_female", eggs)])
    s = land.session(qorin.Blueprint(2, 1, bp.locus, initial_individual_count=bp.initial_individual_count), p)
    assert calls == [0]
    assert s.tick() == 0 and s.current_tick() == 1
    assert calls == [0, 0, 1] and s.session.get_deme_scalar(0, "eggs_per_female") == 11.0
    log = s.parameter_log.details()
    assert [e[:4] for e in log] == [(0, "eggs_per_female", 0, "schedule"), (0, "eggs_per_female", 1, "schedule"),
                                    (1, "eggs_per_female", 0, "schedule")]
