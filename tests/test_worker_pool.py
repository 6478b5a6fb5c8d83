"""The worker pool of parallel loops: results independent of the thread count,
concurrent callers, and life after fork()."""

import multiprocessing
import threading

import numpy as np
import pytest

from qorin import _engine_testing as T


@pytest.fixture
def threads():
    yield
    T.set_worker_threads(0)


@pytest.mark.parametrize("n_threads", [1, 2, 8])
def test_results_do_not_depend_on_the_thread_count(threads, n_threads):
    T.set_worker_threads(n_threads)
    assert T.worker_threads() == n_threads
    serial = T.pool_map(0)[0]
    assert serial.shape == (0,)
    values, used = T.pool_map(5000)
    T.set_worker_threads(1)
    expected, one = T.pool_map(5000)
    assert one == 1 and 1 <= used <= n_threads
    assert np.array_equal(values, expected)


@pytest.mark.parametrize("n_threads, slots, n", [(2, 2, 1000), (2, 1, 300), (8, 3, 1001), (3, 8, 7), (2, 2, 1),
                                                  (8, 8, 0)])
def test_slot_loops_run_every_item_once_each_slot_on_one_thread(threads, n_threads, slots, n):
    T.set_worker_threads(n_threads)
    runs, slot_of, one_thread_per_slot = T.pool_slots(n, slots)
    assert np.array_equal(runs, np.ones(n))
    assert one_thread_per_slot
    assert np.all((slot_of >= 0) & (slot_of < min(slots, n_threads)))


def test_concurrent_callers_each_get_their_whole_loop(threads):
    T.set_worker_threads(2)
    expected = T.pool_map(3000)[0]
    results = []

    def call():
        for _ in range(5):
            results.append(T.pool_map(3000)[0])

    workers = [threading.Thread(target=call) for _ in range(3)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert len(results) == 15 and all(np.array_equal(r, expected) for r in results)


def _child(queue):
    values, used = T.pool_map(4000)
    queue.put((values.sum(), used))


def test_the_pool_works_in_a_forked_child_after_the_parent_used_it(threads):
    T.set_worker_threads(2)
    values, used = T.pool_map(4000)
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_child, args=(queue,))
    child.start()
    total, child_used = queue.get(timeout=60)
    child.join(timeout=60)
    assert child.exitcode == 0
    assert total == values.sum() and child_used >= 1
