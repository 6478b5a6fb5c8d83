"""What the host layer adds to the engine's own time: qorin.simulate (one call
per replicate), qorin.replicates and qorin.sweep against the same runs made
with the engine's sessions directly (rows left unlabelled).

The workload is the built-in demo (`qorin demo`): a homing suppression drive
released into a stochastic population of four age classes, 100 ticks, a run
stopping once its population is extinct. simulate and replicates run the
demo's first parameter set with seeds 0..R-1; the sweep runs its 2 x 2
parameter sets with R/4 replicates each. The engine-only runs use the same
models and seeds, so both sides do the same work. Everything runs in the
calling thread and is timed in CPU seconds (steadier than the wall clock on a
machine shared with other work); engine-only and host runs alternate, and
each figure is the best of its rounds.

    PYTHONPATH=python python bench/host.py [--replicates R] [--ticks N] [--no-stop]
                                           [--rounds K] [--baseline PATH]

--baseline PATH measures the same figures with the qorin package under PATH
(an older commit's Python package beside the same engine) first on sys.path,
in subprocesses alternating with the current package's round by round, and
prints both ratios.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

from sidebyside import best_of_rounds


def engine_only(models, seeds, n_ticks):
    """Run model p with each of seeds[p] in a fresh session: the engine's own work."""
    from qorin import generations

    for model, row in zip(models, seeds):
        cls = model.session or generations.session_class(model.blueprint)
        program = model.program.build() if hasattr(model.program, "build") else model.program
        for seed in row:
            session = cls(model.blueprint, model.params, int(seed))
            if program is not None:
                session.set_hook_program(program)
            session.run(n_ticks, 1)


def cases(n, n_ticks, no_stop):
    """{name: (runs, engine-only function, host function)}."""
    import qorin
    from qorin.scenario import DEMO, parse_scenario
    from qorin.sweeps import derive_seeds

    text = DEMO.replace("stop_when_extinct = true", "stop_when_extinct = false") if no_stop else DEMO
    scenario = parse_scenario(text, "<demo>")
    first = scenario.models[0]
    seeds = list(range(n))
    per_set = max(1, n // scenario.n_sets)
    sweep_seeds = derive_seeds(scenario.seed, per_set, scenario.n_sets)

    def simulate_each():
        for seed in seeds:
            qorin.simulate(first.blueprint, first.params, n_ticks, seed=seed, program=first.program)

    return {
        f"simulate, {n} calls": (
            n, lambda: engine_only([first], [seeds], n_ticks), simulate_each),
        f"replicates({n})": (
            n, lambda: engine_only([first], [seeds], n_ticks),
            lambda: qorin.replicates(first.blueprint, first.params, n_ticks, seeds,
                                     program=first.program, executor=None)),
        f"sweep, {scenario.n_sets} sets x {per_set}": (
            per_set * scenario.n_sets, lambda: engine_only(scenario.models, sweep_seeds, n_ticks),
            lambda: qorin.sweep(scenario.model, n_ticks, scenario.grid, replicates=per_set,
                                seed=scenario.seed, executor=None)),
    }


def figures(n, n_ticks, no_stop, repeat):
    """{name: [runs, engine CPU seconds, host CPU seconds]}, each the best of `repeat`."""
    table = cases(n, n_ticks, no_stop)
    for _, engine, host in table.values():  # imports and first-call costs out of the timings
        engine()
        host()
    best = {name: [runs, float("inf"), float("inf")] for name, (runs, _, _) in table.items()}
    for _ in range(repeat):
        for name, (_, engine, host) in table.items():
            for k, fn in ((1, engine), (2, host)):
                start = time.process_time()
                fn()
                best[name][k] = min(best[name][k], time.process_time() - start)
    return best


def measure(path, args):
    """The figures of the qorin package under `path` (None: this checkout's), in a subprocess."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    if path is not None:
        env["PYTHONPATH"] = os.pathsep.join([str(pathlib.Path(path).resolve()),
                                             env.get("PYTHONPATH", "")])
    command = [sys.executable, __file__, "--figures-json", "--replicates", str(args.replicates),
               "--ticks", str(args.ticks), "--repeat", str(args.repeat)]
    if args.no_stop:
        command.append("--no-stop")
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--replicates", type=int, default=200)
    parser.add_argument("--ticks", type=int, default=100)
    parser.add_argument("--no-stop", action="store_true", help="keep extinct runs ticking")
    parser.add_argument("--rounds", type=int, default=3, help="subprocess rounds per package")
    parser.add_argument("--repeat", type=int, default=3, help="timings per figure in a round")
    parser.add_argument("--baseline", help="directory holding an older commit's qorin package")
    parser.add_argument("--figures-json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.figures_json:
        print(json.dumps(figures(args.replicates, args.ticks, args.no_stop, args.repeat)))
        return
    current, base = best_of_rounds(args.rounds, args.baseline, lambda path: {
        name: [runs, engine, host] for name, (runs, engine, host) in measure(path, args).items()})

    print(f"the demo, {args.ticks} ticks{' (extinct runs keep ticking)' if args.no_stop else ''}; "
          f"CPU seconds, best of {args.rounds} x {args.repeat}; load average "
          f"{os.getloadavg()[0]:.2f}")
    head = f"{'host call':26} {'engine s':>9} {'host s':>9} {'host/engine':>12} {'ms/run added':>13}"
    if base:
        head += f" {'baseline host/engine':>21}"
    print(head)
    for name, (runs, engine, host) in current.items():
        line = (f"{name:26} {engine:9.4f} {host:9.4f} {host / engine:11.2f}x "
                f"{(host - engine) / runs * 1e3:13.3f}")
        if base:
            _, b_engine, b_host = base[name]
            line += f" {b_host / b_engine:20.2f}x"
        print(line)


if __name__ == "__main__":
    main()
