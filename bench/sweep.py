"""Replicates per second of a sweep on 1 and 2 threads and on a two-worker
local dask cluster.

The workload is the built-in demo (`qorin demo`): a homing suppression drive
released into a stochastic population, 2 x 2 parameter sets x 50 replicates
= 200 replicates of 100 ticks (a run stops once its population is extinct).
Each configuration is timed best of 3 in the same process, and the results
are checked to be identical across configurations. `run` releases the
interpreter lock, so threads scale with free cores; on a busy machine the
speed-up reflects the cores actually available (the load average is printed).

    PYTHONPATH=python python bench/sweep.py [--ticks N] [--no-stop] [--no-dask]

--ticks N sets the length of every run, --no-stop keeps extinct runs ticking
(heavier replicates), --no-dask skips the cluster.
"""

import argparse
import os
import time

from qorin.scenario import DEMO, parse_scenario


def best_of(fn, repeat=3):
    """(seconds, CPU seconds of this process, result) of the fastest of `repeat` calls."""
    best, cpu, out = float("inf"), 0.0, None
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        out = fn()
        seconds = time.perf_counter() - start
        if seconds < best:
            best, cpu = seconds, time.process_time() - start_cpu
    return best, cpu, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ticks", type=int, default=None)
    parser.add_argument("--no-stop", action="store_true")
    parser.add_argument("--no-dask", action="store_true")
    args = parser.parse_args()
    text = DEMO
    if args.no_stop:
        text = text.replace("stop_when_extinct = true", "stop_when_extinct = false")
    scenario = parse_scenario(text, "<demo>")
    if args.ticks is not None:
        scenario.n_ticks = args.ticks
    n = scenario.replicates * scenario.n_sets
    scenario.run(replicates=2, executor=None)  # imports and first-call costs out of the timings

    configs = [("1 thread", dict(executor="threads", workers=1)),
               ("2 threads", dict(executor="threads", workers=2)),
               ("2 processes", dict(executor="processes", workers=2))]
    cluster = client = None
    if not args.no_dask:
        try:
            from distributed import Client, LocalCluster

            cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                   dashboard_address=None)
            client = Client(cluster)
            configs.append(("dask, 2 workers", dict(executor=client)))
        except ImportError:
            print("(dask.distributed is not installed: no cluster run)")

    print(f"{n} replicates of the demo ({scenario.n_sets} parameter sets), {scenario.n_ticks} ticks, "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")
    print(f"{'executor':18} {'seconds':>8} {'replicates/s':>13} {'speed-up':>9} {'cores busy':>11}")
    base, reference = None, None
    try:
        for name, kwargs in configs:
            seconds, cpu, ds = best_of(lambda: scenario.run(**kwargs))
            if reference is None:
                base, reference = seconds, ds
            elif not ds.equals(reference):
                raise SystemExit(f"{name}: results differ from the 1-thread run")
            # CPU seconds per second of this process: how many cores the threads kept busy
            busy = f"{cpu / seconds:11.2f}" if "thread" in name else f"{'-':>11}"
            print(f"{name:18} {seconds:8.3f} {n / seconds:13.0f} {base / seconds:8.2f}x {busy}")
    finally:
        if client is not None:
            client.close()
            cluster.close()
    print("results identical across executors")


if __name__ == "__main__":
    main()
