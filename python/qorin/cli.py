"""The ``qorin`` command: run the demo, run a scenario file, inspect results.

    qorin demo [--out-dir DIR] [--quick] [--show-scenario]
    qorin run scenario.toml [--replicates N] [--workers K] [--seed S] [--out results.nc] [--plot F]
    qorin inspect results.nc

``python -m qorin`` is the same command. A scenario and the output paths are
checked completely before anything runs; a bad one is reported in one line
and nothing is written. Results are written to a temporary file next to the
target (``.<name>.qorin-partial-<pid>``) and moved into place when complete;
an existing file is replaced only with ``--overwrite``.

Exit status: 0 success, 1 a failure while running or writing, 2 bad input
(arguments, a scenario, an output path, a results file that cannot be read),
130 interrupted, 141 (128 + SIGPIPE) when the reader of the output went away.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
import time

from ._version import __version__
from .scenario import DEMO, ScenarioError, load_scenario, parse_scenario

__all__ = ["main"]

EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE  # what a shell reports for a tool that SIGPIPE stopped
QUICK_REPLICATES, QUICK_TICKS = 8, 60


class CommandError(Exception):
    """A failure the command reports in one line (exit status 1)."""


class UsageError(CommandError):
    """Bad input the command refuses before it runs anything (exit status 2)."""


class _Written:
    """The files a command has completed, for the message of an interrupt."""

    def __init__(self):
        self.paths: list = []


# ------------------------------------------------------------------ arguments
def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {value}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer in 0..2**64-1, got {text!r}") from None
    if not 0 <= value < 2 ** 64:
        raise argparse.ArgumentTypeError(f"expected an integer in 0..2**64-1, got {value}")
    return value


def _running_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--replicates", "-n", type=_positive, metavar="N",
                   help="replicates per parameter set (default: the scenario's)")
    p.add_argument("--workers", "-j", type=_positive, metavar="K",
                   help="threads or processes to run on (default: one per core)")
    p.add_argument("--seed", type=_seed, metavar="S", help="root seed (default: the scenario's)")
    p.add_argument("--processes", action="store_true",
                   help="run the replicates in processes instead of threads")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the dask.distributed cluster of this scheduler address")
    p.add_argument("--no-progress", action="store_true", help="do not show a progress bar")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="qorin", description="Population-genetic and ecological models on a native engine.")
    parser.add_argument("--version", action="version", version=f"qorin {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    demo = sub.add_parser("demo", help="run the built-in gene-drive release scenario",
                          description="Run a built-in homing suppression-drive release scenario "
                                      "(no files needed): print a summary and write demo.nc "
                                      "and demo.png.")
    demo.add_argument("--out-dir", default=".", metavar="DIR",
                      help="directory for demo.nc and demo.png (default: the current directory)")
    demo.add_argument("--quick", action="store_true",
                      help=f"{QUICK_REPLICATES} replicates of {QUICK_TICKS} ticks")
    demo.add_argument("--show-scenario", action="store_true",
                      help="print the demo's scenario file (a starting point for your own) and exit")
    demo.add_argument("--overwrite", action="store_true",
                      help="replace demo.nc and demo.png when they exist")
    _running_options(demo)
    demo.set_defaults(func=_demo)

    run = sub.add_parser("run", help="run a scenario file",
                         description="Run the scenario described in a TOML file; see the user "
                                     "guide, 'Scenarios and the command line'.")
    run.add_argument("scenario", help="the scenario file (TOML)")
    run.add_argument("--out", "-o", metavar="FILE",
                     help="results file (.nc, or a .zarr directory; default: SCENARIO.nc here)")
    run.add_argument("--plot", metavar="FILE",
                     help="also draw the summary figure into FILE (.png, .pdf, .svg)")
    run.add_argument("--overwrite", action="store_true",
                     help="replace the results file (or zarr store) and the figure when they exist")
    _running_options(run)
    run.set_defaults(func=_run)

    inspect = sub.add_parser("inspect", help="summarise a saved results file",
                             description="Print the summary of a results file written by "
                                         "'qorin run' or 'qorin demo' (or qorin.save).")
    inspect.add_argument("results", help="the results file")
    inspect.add_argument("--threshold", type=float, metavar="X",
                         help="a run is suppressed once its population is at most X "
                              "(default: the scenario's, else 0)")
    inspect.set_defaults(func=_inspect)
    return parser


def main(argv=None) -> int:
    """Run the command with `argv` (default: the process arguments); return the
    exit status."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
        sys.stdout.flush()
    except SystemExit as exc:  # --help, --version or a usage error (already printed)
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            return _broken_pipe()
        return int(exc.code or 0)
    except BrokenPipeError:
        return _broken_pipe()
    args.written = _Written()
    try:
        status = args.func(args)
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        return _broken_pipe()
    except (ScenarioError, UsageError) as exc:
        _error(str(exc))
        return EXIT_USAGE
    except KeyboardInterrupt:
        done = args.written.paths
        _error("interrupted; " + (f"complete and kept: {', '.join(done)}; nothing else was written"
                                  if done else "nothing was written"))
        return EXIT_INTERRUPTED
    except MemoryError:
        _error("out of memory while running; record fewer ticks (run.record_interval), fewer "
               "replicates or parameter sets")
        return EXIT_ERROR
    except (CommandError, ImportError, OSError, ValueError) as exc:
        _error(str(exc))
        return EXIT_ERROR
    except Exception as exc:  # a fault of qorin itself: one line, the traceback on request
        if os.environ.get("QORIN_TRACEBACK"):
            raise
        _error(f"{type(exc).__name__}: {_one_line(str(exc))} (set QORIN_TRACEBACK=1 to see where)")
        return EXIT_ERROR


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _error(message: str) -> None:
    try:
        print(f"qorin: error: {_one_line(message)}", file=sys.stderr, flush=True)
    except (BrokenPipeError, ValueError):
        pass


def _note(message: str) -> None:
    try:
        print(f"qorin: {_one_line(message)}", file=sys.stderr, flush=True)
    except (BrokenPipeError, ValueError):
        pass


def _broken_pipe() -> int:
    """The reader of standard output went away (`qorin inspect f | head`): stop
    quietly, like other tools, and keep Python from complaining at exit."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass  # standard output is not a file (captured): nothing to silence
    return EXIT_BROKEN_PIPE


# ------------------------------------------------------------------ running
def _executor(args):
    if args.scheduler:
        if args.processes or args.workers:
            raise UsageError("--scheduler runs on the cluster's workers; leave out --processes "
                               "and --workers")
        try:
            from distributed import Client
        except ImportError:
            raise ImportError("--scheduler needs dask.distributed; install the 'scale' extra: "
                              "pip install \"qorin[scale]\"") from None
        return Client(args.scheduler), args.workers
    return ("processes" if args.processes else "threads"), args.workers


def _progress(args) -> bool:
    if args.no_progress:
        return False
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


def _needs_analysis() -> None:
    from ._optional import require

    require("xarray", "the qorin command")
    from .results import _netcdf_engine

    _netcdf_engine()


def _target(path: str, args) -> str:
    """Check that `path` can be written before anything runs; the file to write."""
    from .results import OutputError, check_output

    try:
        return check_output(path, overwrite=args.overwrite, hint="--overwrite")
    except OutputError as exc:
        raise UsageError(str(exc)) from None


def _figure_target(path: str, args) -> str:
    from ._optional import require

    require("matplotlib", "--plot")
    from matplotlib.backend_bases import FigureCanvasBase

    ext = os.path.splitext(path)[1].lower().lstrip(".")
    formats = FigureCanvasBase.get_supported_filetypes()
    if ext not in formats:
        raise UsageError(f"cannot draw the figure into {path}: the name must end in one of "
                         + ", ".join("." + f for f in sorted(formats)))
    return _target(path, args)


def _distinct(paths: dict) -> None:
    """Refuse two outputs, or an output and an input, that are the same file."""
    seen: dict = {}
    for what, path in paths.items():
        if path is None:
            continue
        key = os.path.realpath(path)
        if key in seen:
            raise UsageError(f"the {what} and the {seen[key]} are the same file: {path}")
        seen[key] = what


def _clear_stale(folders) -> None:
    """Remove the partial files an earlier run that was killed left in `folders`
    (report those whose writer still runs)."""
    from .results import remove_path, stale_partials

    for folder in sorted(set(folders)):
        for path, pid, running in stale_partials(folder):
            if running:
                _note(f"note: {path} is a partial file of process {pid}, which is still running; "
                      "left in place")
                continue
            remove_path(path)
            _note(f"removed {path}, a partial file left by an interrupted run (process {pid})")


class _Saving:
    """Defer Ctrl-C while a file is saved: a first Ctrl-C lets the save finish
    (the command then stops), a second one abandons it and removes the partial
    file. Outside the main thread nothing is deferred."""

    def __init__(self, partial: str, target: str):
        self.partial, self.target = partial, target
        self.interrupted = 0
        self.previous = None

    def __enter__(self):
        if threading.current_thread() is threading.main_thread() and \
                signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
            self.previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def _handle(self, signum, frame):
        from .results import remove_path

        self.interrupted += 1
        if self.interrupted == 1:
            _note(f"interrupted; finishing the save of {self.target} (Ctrl-C again to abandon it)")
            return
        existed = os.path.lexists(self.partial)
        remove_path(self.partial)
        _error("interrupted; abandoned the save" +
               (f" and removed the partial file {self.partial}" if existed else "") +
               f"; {self.target} was not written")
        try:
            sys.stdout.flush()
        finally:
            os._exit(EXIT_INTERRUPTED)

    def __exit__(self, *exc):
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
        if self.interrupted and exc[0] is None:
            raise KeyboardInterrupt
        return False


def _simulate(scenario, args, replicates: int):
    executor, workers = _executor(args)
    seed = scenario.seed if args.seed is None else args.seed
    start = time.perf_counter()
    try:
        ds = scenario.run(replicates=replicates, seed=seed, executor=executor, workers=workers,
                          progress=_progress(args))
    finally:
        if not isinstance(executor, str):
            executor.close()
    return ds, time.perf_counter() - start


def _save(path: str, args, write) -> None:
    """Write a file through its partial name: `write(partial)` writes it, then
    it is moved to `path`. A Ctrl-C finishes the save (then stops) or, pressed
    twice, removes the partial file; any failure removes it. Should `path`
    have changed meanwhile into something that may not be replaced, the
    results are kept under a name of their own."""
    from .results import OutputError, move_into_place, partial_path, remove_path

    partial = partial_path(path)
    saving = _Saving(partial, path)
    try:
        with saving:
            write(partial)
            try:
                move_into_place(partial, path, overwrite=args.overwrite)
            except OutputError as exc:
                kept = _free_name(path)
                os.rename(partial, kept)
                args.written.paths.append(kept)
                raise CommandError(f"{exc}; what was to go there is in {kept}") from None
            args.written.paths.append(path)
    finally:
        remove_path(partial)


def _free_name(path: str) -> str:
    stem, ext = os.path.splitext(path)
    n = 0
    while True:
        name = f"{stem}.qorin-{os.getpid()}{f'-{n}' if n else ''}{ext}"
        if not os.path.lexists(name):
            return name
        n += 1


def _write(ds, path: str, args) -> None:
    from .results import _is_zarr, write_partial

    _save(path, args, lambda partial: write_partial(ds, partial, zarr=_is_zarr(path), compress=True))


def _demo(args) -> int:
    if args.show_scenario:
        sys.stdout.write(DEMO)
        return EXIT_OK
    _needs_analysis()
    out_dir = os.path.abspath(args.out_dir)
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise UsageError(f"--out-dir {out_dir} is not a directory")
    os.makedirs(out_dir, exist_ok=True)
    results_path = _target(os.path.join(out_dir, "demo.nc"), args)
    figure_path = _figure_target(os.path.join(out_dir, "demo.png"), args)
    scenario = parse_scenario(DEMO, "<demo>")
    if args.quick:
        scenario.n_ticks = QUICK_TICKS
        scenario.releases = [t for t in scenario.releases if t <= QUICK_TICKS]
    reps = args.replicates or (QUICK_REPLICATES if args.quick else scenario.replicates)
    scenario.check_memory(reps)
    _clear_stale([os.path.dirname(results_path), os.path.dirname(figure_path)])
    ds, seconds = _simulate(scenario, args, reps)
    figure = _figure(ds, scenario.summary, scenario.releases, scenario.name)
    _write(ds, results_path, args)
    _save_figure(figure, figure_path, args)
    _report(ds, seconds, scenario.summary)
    print(f"\nresults: {results_path}\nfigure:  {figure_path}")
    print("next: 'qorin demo --show-scenario > my.toml', edit it, then 'qorin run my.toml'")
    return EXIT_OK


def _run(args) -> int:
    # checking a large sweep takes a while: show it on a terminal
    scenario = load_scenario(args.scenario, progress=_progress(args) and sys.stderr.isatty())
    _needs_analysis()
    stem = os.path.splitext(os.path.basename(args.scenario))[0] or "results"
    results_path = _target(args.out or f"{stem}.nc", args)
    figure_path = _figure_target(args.plot, args) if args.plot else None
    _distinct({"scenario": os.path.abspath(args.scenario), "results file": results_path,
               "figure": figure_path})
    reps = args.replicates or scenario.replicates
    scenario.check_memory(reps)
    _clear_stale([os.path.dirname(p) for p in (results_path, figure_path) if p])
    ds, seconds = _simulate(scenario, args, reps)
    figure = _figure(ds, scenario.summary, scenario.releases, scenario.name) if figure_path else None
    _write(ds, results_path, args)
    if figure is not None:
        _save_figure(figure, figure_path, args)
    _report(ds, seconds, scenario.summary)
    print(f"\nresults: {results_path}" + (f"\nfigure:  {figure_path}" if figure_path else ""))
    return EXIT_OK


_RESULT_DIMS = ("tick", "sex", "age", "genotype")


def _inspect(args) -> int:
    import math

    from . import results

    path = args.results
    if args.threshold is not None and not math.isfinite(args.threshold):
        raise UsageError(f"--threshold must be a finite number, got {args.threshold}")
    try:
        ds = results.load(path)
    except FileNotFoundError:
        raise UsageError(f"{path}: no such file") from None
    except (IsADirectoryError, PermissionError) as exc:
        raise UsageError(f"{path}: cannot be read ({exc.strerror})") from None
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    summary = _check_results(ds, path)
    if args.threshold is not None:
        summary["threshold"] = args.threshold
    print(f"file: {os.path.abspath(path)}")
    try:
        _report(ds, None, summary)
    except (BrokenPipeError, KeyboardInterrupt, MemoryError):
        raise
    except Exception as exc:  # a file that passed the checks but is not what qorin writes
        raise UsageError(f"{path}: not a qorin results file that can be summarised "
                         f"({type(exc).__name__}: {_one_line(str(exc))})") from None
    return EXIT_OK


def _check_results(ds, path: str) -> dict:
    """Refuse a dataset that is not qorin results; its summary settings."""
    from .results import json_attribute

    if "count" not in ds:
        raise UsageError(f"{path}: not a qorin results file (it has no 'count' variable)")
    missing = [d for d in _RESULT_DIMS if d not in ds["count"].dims]
    if missing:
        raise UsageError(f"{path}: not a qorin results file ('count' lacks the dimension"
                         f"{'s' if len(missing) > 1 else ''} {', '.join(missing)})")
    if ds["count"].dtype.kind not in "fiu":
        raise UsageError(f"{path}: not a qorin results file ('count' holds {ds['count'].dtype}, "
                         "not numbers)")
    try:
        for name in ("qorin_model", "qorin_sweep"):
            json_attribute(ds, name)
        summary = json_attribute(ds, "qorin_summary")
    except ValueError as exc:
        raise UsageError(f"{path}: {exc}") from None
    for key, kind in (("threshold", (int, float)), ("sex", str), ("adults_only", (bool, int))):
        if key in summary and not isinstance(summary[key], kind):
            raise UsageError(f"{path}: the attribute 'qorin_summary' holds a bad {key!r}: "
                             f"{summary[key]!r}")
    return summary


# ------------------------------------------------------------------ reports
def _describe(ds) -> list:
    from .results import model_description

    from .results import json_attribute

    model = model_description(ds)
    sweep = json_attribute(ds, "qorin_sweep")
    lines = []
    name = ds.attrs.get("qorin_scenario_name")
    if name:
        lines.append(str(name))
    genetics = model.get("genetics", {})
    if model:
        lines.append(f"  model: {genetics.get('builder', 'custom genetics')}, "
                     f"{model.get('n_ztypes')} genotypes, {model.get('n_ages')} age classes "
                     f"(adult from age {model.get('new_adult_age')}), "
                     f"{'stochastic' if model.get('stochastic') else 'deterministic'}")
    if "deme" in ds["count"].dims:
        lines.append(f"  landscape: {ds.sizes['deme']} demes linked by migration")
    ticks = ds["tick"].values
    n_rep = ds.sizes.get("replicate", 1)
    from .sweeps import parameter_dims

    dims = parameter_dims(ds)
    n_sets = 1
    for d in dims:
        n_sets *= ds.sizes[d]
    span = f"ticks {int(ticks[0])}..{int(ticks[-1])}" if len(ticks) else "no recorded tick"
    seed = f", root seed {sweep['seed']}" if "seed" in sweep else (
        f", seed {ds.attrs['seed']}" if "seed" in ds.attrs else "")
    lines.append(f"  runs: {n_sets} parameter set{'s' if n_sets != 1 else ''} x {n_rep} "
                 f"replicate{'s' if n_rep != 1 else ''}, {span}{seed}")
    for d in dims:
        if d == "parameter_set":
            continue
        lines.append(f"  sweep: {d} = {', '.join(_short(v) for v in ds[d].values)}")
    if "stopped" in ds:
        lines.append(f"  stopped early (by a hook): {int(ds['stopped'].values.sum())} of "
                     f"{ds['stopped'].size} runs")
    return lines


def _short(value) -> str:
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def _report(ds, seconds, summary: dict) -> None:
    from .sweeps import summarize

    for line in _describe(ds):
        print(line)
    runs = int(ds["stopped"].size) if "stopped" in ds else 1
    if seconds is not None:
        print(f"  time: {seconds:.2f} s ({runs / max(seconds, 1e-9):.0f} runs/s)")
    threshold = float(summary.get("threshold", 0.0))
    sex = summary.get("sex", "both")
    adults = bool(summary.get("adults_only", False))
    who = ("adult " if adults else "") + ({"female": "females", "male": "males"}.get(sex, "individuals"))
    print(f"  suppressed: {who} at most {threshold:g} at some recorded tick\n")
    table = summarize(ds, threshold, adults_only=adults, sex=None if sex == "both" else sex)
    if "deme" in ds["count"].dims:
        print("all demes together:")
    print(table.to_string(float_format=lambda x: f"{x:.4g}"))
    if "deme" in ds["count"].dims:
        _report_demes(ds, threshold, adults, sex)


MAX_DEMES_SHOWN = 30


def _report_demes(ds, threshold: float, adults: bool, sex: str) -> None:
    """The summary of every deme on its own (evenly spaced demes of a large landscape)."""
    import numpy as np
    import pandas as pd

    from .sweeps import summarize

    n = ds.sizes["deme"]
    shown = list(range(n)) if n <= MAX_DEMES_SHOWN else \
        sorted(set(np.linspace(0, n - 1, MAX_DEMES_SHOWN).round().astype(int).tolist()))
    note = "" if len(shown) == n else f" ({len(shown)} of {n}, evenly spaced)"
    tables = {d: summarize(ds.isel(deme=d), threshold, adults_only=adults,
                           sex=None if sex == "both" else sex).drop(columns="replicates")
              for d in shown}
    table = pd.concat(tables, names=["deme"])
    if table.index.nlevels > 1 and table.index.names[-1] is None:  # one parameter set
        table = table.droplevel(-1)
    print(f"\nper deme{note}:")
    print(table.to_string(float_format=lambda x: f"{x:.4g}"))


# ------------------------------------------------------------------ figure
def _figure(ds, summary: dict, releases, title: str):
    """The run's figure: population size and the share of replicates suppressed."""
    from . import plot

    sex = summary.get("sex", "both")
    return plot.sweep_summary(ds, threshold=float(summary.get("threshold", 0.0)),
                              adults_only=bool(summary.get("adults_only", False)),
                              sex=None if sex == "both" else sex, releases=releases, title=title)


def _save_figure(fig, path: str, args) -> None:
    fmt = os.path.splitext(path)[1].lower().lstrip(".")
    _save(path, args, lambda partial: fig.savefig(partial, dpi=120, format=fmt))


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
