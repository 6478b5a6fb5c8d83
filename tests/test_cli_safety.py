"""The command line keeps the user's files safe and refuses bad input in one line.

Most cases run `python -m qorin` in a subprocess inside a temporary folder, as
a user meets it: exit status, the one line on stderr, and what is (and is not)
left in the folder afterwards.
"""

import gc
import os
import pathlib
import random
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qorin
from qorin import cli
from qorin.scenario import (MAX_KEY_LENGTH, MAX_NESTING, MAX_PARAMETER_SETS, MAX_SCENARIO_BYTES,
                            ScenarioError, parse_scenario)

xr = pytest.importorskip("xarray")
pytest.importorskip("matplotlib")

ROOT = pathlib.Path(__file__).resolve().parents[1]

TINY = '''\
name = "tiny release"

[run]
ticks = 8
replicates = 2
seed = 5

[genetics]
builder = "homing_drive"
cutting = 0.9
homing = 0.8

[ages]
n_ages = 2

[initial]
"W/W" = 40

[ecology]
carrying_capacity = 80
eggs_per_female = 8
survival_rates = [0.8, 0.5]

[[release]]
genotype = "D/D"
count = 10
at = [1, 3]

[sweep]
"ecology.carrying_capacity" = [60, 80]
'''


def _env():
    path = [str(ROOT / "python")] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(path), PYTHONDONTWRITEBYTECODE="1")


def _sigint_default():
    # a test run started in the background would hand SIGINT down ignored
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def qorin_cmd(*args, cwd, timeout=120, code=None):
    """Run `python -m qorin ARGS` (or `python -c CODE ARGS`) in `cwd`."""
    head = [sys.executable, "-c", code] if code else [sys.executable, "-m", "qorin"]
    quiet = ["--no-progress"] if {"run", "demo"} & set(map(str, args[:2])) else []
    return subprocess.run(head + [str(a) for a in args] + quiet, cwd=cwd, capture_output=True,
                          text=True, env=_env(), timeout=timeout, preexec_fn=_sigint_default)


def one_error_line(proc, *, naming=None):
    """stderr is exactly one 'qorin: error:' line (naming `naming`), no traceback."""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("qorin: error: "), proc.stderr
    assert "Traceback" not in proc.stderr
    if naming is not None:
        assert str(naming) in lines[0], lines[0]
    return lines[0]


def listing(folder):
    return sorted(os.listdir(folder))


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "s.toml").write_text(TINY)
    return tmp_path


@pytest.fixture(scope="module")
def good_results(tmp_path_factory):
    """A results file written by `qorin run`, read-only for the tests."""
    d = tmp_path_factory.mktemp("good")
    (d / "s.toml").write_text(TINY)
    proc = qorin_cmd("run", "s.toml", "--out", "s.nc", cwd=d)
    assert proc.returncode == 0, proc.stderr
    return d / "s.nc"


# ------------------------------------------------------------------ what --out may replace
def _device_twin(path):
    """A private character device with the numbers of /dev/null (never the real one)."""
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    except (PermissionError, OSError) as exc:
        pytest.skip(f"cannot make a device node here: {exc}")


@pytest.mark.parametrize("kind, extra, message", [
    ("device", [], "it is a character device, not a regular file"),
    ("device", ["--overwrite"], "it is a character device, not a regular file"),
    ("fifo", ["--overwrite"], "it is a FIFO (named pipe), not a regular file"),
    ("directory", ["--overwrite"], "it is a directory"),
    ("zarr-directory", ["--overwrite"], "a directory that is not a zarr store"),
])
def test_out_that_is_not_a_regular_file_is_refused_before_running(folder, kind, extra, message):
    name = {"zarr-directory": "x.zarr"}.get(kind, "x.nc")
    out = folder / name
    if kind == "device":
        _device_twin(out)
    elif kind == "fifo":
        os.mkfifo(out)
    else:
        out.mkdir()
        (out / "keep.txt").write_text("mine")
    before = os.lstat(out)
    proc = qorin_cmd("run", "s.toml", "--out", name, *extra, cwd=folder)
    assert proc.returncode == 2 and proc.stdout == ""  # refused before the first tick
    one_error_line(proc, naming=out)
    assert message in proc.stderr
    after = os.lstat(out)
    assert stat.S_IFMT(after.st_mode) == stat.S_IFMT(before.st_mode)
    assert after.st_rdev == before.st_rdev and after.st_ino == before.st_ino
    if kind.endswith("directory"):
        assert (out / "keep.txt").read_text() == "mine" and listing(out) == ["keep.txt"]
    assert listing(folder) == sorted(["s.toml", name])


def test_an_existing_file_is_replaced_only_with_overwrite(folder):
    out = folder / "r.nc"
    out.write_bytes(b"precious")
    os.chmod(out, 0o640)
    proc = qorin_cmd("run", "s.toml", "--out", "r.nc", "--plot", "r.png", cwd=folder)
    assert proc.returncode == 2 and proc.stdout == ""
    assert "already exists; --overwrite replaces it" in one_error_line(proc, naming=out)
    assert out.read_bytes() == b"precious" and listing(folder) == ["r.nc", "s.toml"]

    proc = qorin_cmd("run", "s.toml", "--out", "r.nc", "--overwrite", cwd=folder)
    assert proc.returncode == 0, proc.stderr
    assert qorin.load(out).sizes["replicate"] == 2
    assert stat.S_IMODE(os.stat(out).st_mode) == 0o640  # the replaced file's permissions stay
    assert listing(folder) == ["r.nc", "s.toml"]


def test_a_symbolic_link_is_written_through(folder):
    (folder / "data").mkdir()
    (folder / "data" / "real.nc").write_bytes(b"old")
    os.symlink("data/real.nc", folder / "link.nc")
    os.symlink("data/new.nc", folder / "dangling.nc")
    assert qorin_cmd("run", "s.toml", "--out", "link.nc", cwd=folder).returncode == 2
    for name in ("link.nc", "dangling.nc"):
        proc = qorin_cmd("run", "s.toml", "--out", name, "--overwrite", cwd=folder)
        assert proc.returncode == 0, proc.stderr
        assert (folder / name).is_symlink()
    assert os.readlink(folder / "link.nc") == "data/real.nc"
    assert qorin.load(folder / "data" / "real.nc").sizes["replicate"] == 2
    assert qorin.load(folder / "data" / "new.nc").sizes["replicate"] == 2
    assert listing(folder / "data") == ["new.nc", "real.nc"]


@pytest.mark.parametrize("args, status, message", [
    (["--out", "no/such/dir/r.nc"], 2, "does not exist"),
    (["--out", "n" * 300 + ".nc"], 2, "this file system allows at most"),
    (["--out", "r.nc", "--plot", "r.figure"], 2, "the name must end in one of"),
    (["--out", "same.png", "--plot", "same.png"], 2, "are the same file"),
    (["--out", "s.toml", "--overwrite"], 2, "are the same file"),
    (["--out", "r.zarr"], None, "zarr"),
])
def test_output_problems_are_found_before_the_first_tick(folder, args, status, message):
    if args[-1] == "r.zarr":
        try:
            import zarr  # noqa: F401
            pytest.skip("zarr is installed")
        except ImportError:
            status = 1  # a missing library, not bad input
    proc = qorin_cmd("run", "s.toml", *args, cwd=folder)
    assert proc.returncode == status and proc.stdout == ""
    assert message in one_error_line(proc)
    assert listing(folder) == ["s.toml"]
    assert (folder / "s.toml").read_text() == TINY


def test_zarr_store_is_replaced_only_with_overwrite(folder):
    pytest.importorskip("zarr")
    assert qorin_cmd("run", "s.toml", "--out", "r.zarr", cwd=folder).returncode == 0
    proc = qorin_cmd("run", "s.toml", "--out", "r.zarr", cwd=folder)
    assert proc.returncode == 2 and "already exists" in one_error_line(proc)
    assert qorin_cmd("run", "s.toml", "--out", "r.zarr", "--overwrite", cwd=folder).returncode == 0
    assert qorin.load(folder / "r.zarr").sizes["replicate"] == 2
    assert listing(folder) == ["r.zarr", "s.toml"]


def test_python_save_keeps_the_same_rules(tmp_path, good_results):
    ds = qorin.load(good_results)
    _device_twin(tmp_path / "null")
    (tmp_path / "dir").mkdir()
    for name in ("null", "dir"):
        with pytest.raises(ValueError, match="cannot write"):
            qorin.save(ds, tmp_path / name)
    qorin.save(ds, tmp_path / "a.nc")
    with pytest.raises(ValueError, match="already exists; overwrite=True replaces it"):
        qorin.save(ds, tmp_path / "a.nc", overwrite=False)
    qorin.save(ds.isel(replicate=[0]), tmp_path / "a.nc")  # the default replaces a file
    assert qorin.load(tmp_path / "a.nc").sizes["replicate"] == 1
    assert stat.S_ISCHR(os.lstat(tmp_path / "null").st_mode)
    assert listing(tmp_path) == ["a.nc", "dir", "null"]


# ------------------------------------------------------------------ partial files
KILL_DURING_SAVE = textwrap.dedent('''
    import os, signal, sys
    from qorin import cli, results
    mode, real = sys.argv[1], results.write_partial
    def write(ds, partial, **kw):
        if mode == "appear":  # another program takes the name while the run goes on
            folder, name = os.path.split(partial)
            with open(os.path.join(folder, name[1:].split(".qorin-partial-")[0]), "wb") as fh:
                fh.write(b"other")
        if mode == "kill":
            real(ds, partial, **kw)
            os.kill(os.getpid(), signal.SIGKILL)
        for _ in range(int(mode) if mode.isdigit() else 0):
            os.kill(os.getpid(), signal.SIGINT)   # Ctrl-C as the save starts
        real(ds, partial, **kw)
    results.write_partial = write
    sys.exit(cli.main(sys.argv[2:]))
''')


def test_a_killed_run_leaves_one_partial_file_that_the_next_run_removes(folder):
    proc = qorin_cmd("kill", "run", "s.toml", "--out", "r.nc", cwd=folder, code=KILL_DURING_SAVE)
    assert proc.returncode == -signal.SIGKILL
    left = [n for n in listing(folder) if n != "s.toml"]
    assert len(left) == 1 and left[0].startswith(".r.nc.qorin-partial-")
    # a partial file of a process that still runs (this one) is reported and left alone
    alive = folder / f".other.nc.qorin-partial-{os.getpid()}"
    alive.write_bytes(b"busy")
    proc = qorin_cmd("run", "s.toml", "--out", "r.nc", cwd=folder)
    assert proc.returncode == 0, proc.stderr
    assert f"removed {folder / left[0]}, a partial file left by an interrupted run" in proc.stderr
    assert f"{alive} is a partial file of process {os.getpid()}, which is still running" in proc.stderr
    assert listing(folder) == sorted([alive.name, "r.nc", "s.toml"])


def test_a_name_taken_during_the_run_is_not_replaced(folder):
    proc = qorin_cmd("appear", "run", "s.toml", "--out", "r.nc", cwd=folder, code=KILL_DURING_SAVE)
    assert proc.returncode == 1
    line = one_error_line(proc, naming=folder / "r.nc")
    assert "it was created while the results were made" in line
    kept = [n for n in listing(folder) if n.startswith("r.qorin-")]
    assert len(kept) == 1 and kept[0].endswith(".nc") and f"is in {folder / kept[0]}" in line
    assert (folder / "r.nc").read_bytes() == b"other"
    assert qorin.load(folder / kept[0]).sizes["replicate"] == 2
    assert listing(folder) == sorted(["r.nc", "s.toml", kept[0]])


@pytest.mark.parametrize("presses", [1, 2])
def test_ctrl_c_during_the_save_finishes_it_or_removes_the_partial(folder, presses):
    proc = qorin_cmd(str(presses), "run", "s.toml", "--out", "r.nc", "--plot", "r.png", cwd=folder,
                     code=KILL_DURING_SAVE)
    assert proc.returncode == 130
    assert "Exception ignored" not in proc.stderr and "Traceback" not in proc.stderr
    last = proc.stderr.splitlines()[-1]
    if presses == 1:  # the save finishes, the figure is not drawn, the message says so
        assert listing(folder) == ["r.nc", "s.toml"]
        assert qorin.load(folder / "r.nc").sizes["replicate"] == 2
        assert last == f"qorin: error: interrupted; complete and kept: {folder / 'r.nc'}; " \
                       "nothing else was written"
    else:
        assert listing(folder) == ["s.toml"]
        assert "abandoned the save" in last and f"{folder / 'r.nc'} was not written" in last


def test_ctrl_c_while_running_writes_nothing(folder):
    long = TINY.replace("ticks = 8", "ticks = 4000").replace("replicates = 2", "replicates = 400")
    (folder / "long.toml").write_text(long)
    p = subprocess.Popen([sys.executable, "-m", "qorin", "run", "long.toml", "--out", "r.nc",
                          "--no-progress"], cwd=folder, env=_env(), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, preexec_fn=_sigint_default)
    time.sleep(3.0)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=60)
    assert p.returncode == 130, err
    assert err.splitlines()[-1] == "qorin: error: interrupted; nothing was written"
    assert listing(folder) == ["long.toml", "s.toml"]


# ------------------------------------------------------------------ inspect
def _damaged(data: bytes, seed: int) -> bytes:
    rng = random.Random(seed)
    b = bytearray(data)
    if seed % 3 == 0:
        return bytes(b[:rng.randrange(len(b))])
    if seed % 3 == 1:
        for _ in range(30):
            b[rng.randrange(len(b))] = rng.randrange(256)
        return bytes(b)
    j = rng.randrange(len(b))
    b[j:j + 4000] = bytes(rng.randrange(256) for _ in range(len(b[j:j + 4000])))
    return bytes(b)


def _foreign_files(folder, good):
    ds = qorin.load(good)
    made = {"empty.nc": b"", "text.nc": b"not a results file\n", "toml.nc": TINY.encode()}
    for name, data in made.items():
        (folder / name).write_bytes(data)
    xr.Dataset({"x": ("t", [1.0, 2.0])}).to_netcdf(folder / "nocount.nc")
    ds.rename({"genotype": "g"}).to_netcdf(folder / "dims.nc")
    ds.assign_attrs(qorin_summary="{not json").to_netcdf(folder / "badjson.nc")
    ds.assign_attrs(qorin_model="[1, 2").to_netcdf(folder / "badmodel.nc")
    ds.assign_attrs(qorin_summary='{"threshold": "high"}').to_netcdf(folder / "badthreshold.nc")
    return {
        "empty.nc": "not a results file that qorin can read",
        "text.nc": "not a results file that qorin can read",
        "toml.nc": "not a results file that qorin can read",
        "nocount.nc": "it has no 'count' variable",
        "dims.nc": "'count' lacks the dimension genotype",
        "badjson.nc": "the attribute 'qorin_summary' is not valid JSON",
        "badmodel.nc": "the attribute 'qorin_model' is not valid JSON",
        "badthreshold.nc": "'qorin_summary' holds a bad 'threshold'",
    }


def test_inspect_refuses_damaged_and_foreign_files_in_one_line(tmp_path, good_results, capfd):
    data = good_results.read_bytes()
    expected = _foreign_files(tmp_path, good_results)
    for seed in range(12):
        (tmp_path / f"damaged{seed}.nc").write_bytes(_damaged(data, seed))
    refused = 0
    for name in sorted(os.listdir(tmp_path)):
        status = cli.main(["inspect", str(tmp_path / name)])
        gc.collect()  # a reader's complaint about a half-open file would come out now
        out, err = capfd.readouterr()
        if status == 0:  # damage the file format cannot see (inside the data)
            assert name.startswith("damaged") and "suppressed" in out and err == "", (name, err)
            continue
        refused += 1
        lines = err.splitlines()
        assert status == 2 and len(lines) == 1, (name, err)
        assert lines[0].startswith(f"qorin: error: {tmp_path / name}"), (name, err)
        if name in expected:
            assert expected[name] in lines[0], (name, lines[0])
    assert refused >= len(expected) + 9  # nearly every damaged file is caught by its format


def test_inspect_in_a_process_exits_2_without_traceback(tmp_path, good_results):
    data = good_results.read_bytes()
    (tmp_path / "cut.nc").write_bytes(data[:len(data) // 3])
    (tmp_path / "flipped.nc").write_bytes(_damaged(data, 4))
    for name in ("cut.nc", "flipped.nc", "absent.nc"):
        proc = qorin_cmd("inspect", name, cwd=tmp_path)
        assert proc.returncode == 2 and proc.stdout == ""
        one_error_line(proc, naming=name)
    proc = qorin_cmd("inspect", good_results, "--threshold", "nan", cwd=tmp_path)
    assert proc.returncode == 2 and "--threshold must be a finite number" in one_error_line(proc)


def test_output_to_a_closed_pipe_ends_quietly(good_results):
    p = subprocess.Popen([sys.executable, "-m", "qorin", "inspect", str(good_results)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_env())
    p.stdout.close()  # the reader is gone before anything is written (`| head` that finished)
    err = p.stderr.read()
    assert p.wait(timeout=60) == cli.EXIT_BROKEN_PIPE == 141
    assert err == b""


# ------------------------------------------------------------------ scenario texts
PATHOLOGICAL = {
    "deep arrays": TINY + "x = " + "[" * 1000 + "]" * 1000 + "\n",
    "deep tables": TINY + "x = " + "{a = " * 400 + "1" + "}" * 400 + "\n",
    "dotted key": TINY + "a" + ".a" * 100_000 + " = 1\n",
    "dotted header": "[" + ".".join(["t"] * 200) + "]\n" + TINY,
    "long key": TINY + '"' + "k" * 50_000 + '" = 1\n',
    "control key": TINY.replace("[sweep]", '[sweep]\n"ecology.\\nsex_ratio" = [0.5]'),
    "huge": TINY + "# " + "x" * (2 * MAX_SCENARIO_BYTES) + "\n",
    "huge integer": TINY.replace("ticks = 8", "ticks = " + "9" * 5000),
    "huge sweep": TINY.replace('"ecology.carrying_capacity" = [60, 80]',
                               '"ecology.carrying_capacity" = [%s]\n"release.0.count" = [%s]' % (
                                   ", ".join(map(str, range(1, 1001))),
                                   ", ".join(map(str, range(1, 1001))))),
}
MESSAGES = {
    "deep arrays": f"nested more than {MAX_NESTING} levels deep",
    "deep tables": f"nested more than {MAX_NESTING} levels deep",
    "dotted key": "a dotted key of more than", "dotted header": "a dotted key of more than",
    "long key": f"keys have at most {MAX_KEY_LENGTH}", "control key": "control character",
    "huge": "a scenario file holds at most", "huge integer": "not valid TOML",
    "huge sweep": f"a scenario runs at most {MAX_PARAMETER_SETS:,}",
}


@pytest.mark.parametrize("case", sorted(PATHOLOGICAL))
def test_pathological_scenario_texts_are_refused_at_once(case):
    start = time.perf_counter()
    with pytest.raises(ScenarioError) as err:
        parse_scenario(PATHOLOGICAL[case], "bad.toml")
    # well under a second alone; the bound only has to tell that from the minutes
    # (or the exhausted memory) such texts cost a parser that is not guarded
    assert time.perf_counter() - start < 5.0
    text = str(err.value)
    assert text.startswith("bad.toml") and "\n" not in text and len(text) < 400
    assert MESSAGES[case] in text


def test_pathological_scenario_files_exit_2_in_one_line(folder):
    for case in ("deep arrays", "dotted key", "huge"):
        (folder / "bad.toml").write_text(PATHOLOGICAL[case])
        proc = qorin_cmd("run", "bad.toml", "--out", "r.nc", cwd=folder)
        assert proc.returncode == 2 and proc.stdout == ""
        assert MESSAGES[case] in one_error_line(proc, naming="bad.toml")
    assert listing(folder) == ["bad.toml", "s.toml"]


def test_a_billion_ticks_are_checked_at_once_and_refused_for_memory(folder):
    text = TINY.replace("ticks = 8", "ticks = 1000000000")
    start = time.perf_counter()
    sc = parse_scenario(text, "long.toml")
    assert time.perf_counter() - start < 5.0  # walking every tick took about 20 minutes
    assert sc.releases == [1, 3]
    (folder / "long.toml").write_text(text)
    proc = qorin_cmd("run", "long.toml", "--out", "r.nc", cwd=folder)
    assert proc.returncode == 2 and proc.stdout == ""
    line = one_error_line(proc, naming="long.toml")
    size = sc.recorded_size()
    assert size["rows"] == 4 * (10 ** 9 + 1)
    assert f"{size['rows']:,} rows" in line and f"{size['width']:,} values each" in line
    assert f"{size['bytes']:,} bytes" in line and "memory available" in line
    assert listing(folder) == ["long.toml", "s.toml"]


def test_check_memory_compares_the_recorded_rows_with_what_is_free():
    sc = parse_scenario(TINY)
    size = sc.recorded_size(replicates=3)
    assert size["rows"] == 2 * 3 * 9 and size["runs"] == 6 and size["ticks"] == 9
    assert size["bytes"] == size["rows"] * (size["width"] + 2 * 2 * 10) * 8
    sc.check_memory(3, available=size["bytes"])
    with pytest.raises(ScenarioError, match="the run would record 54 rows"):
        sc.check_memory(3, available=size["bytes"] - 1)


schedule = st.one_of(
    st.builds(lambda at: {"at": at}, st.lists(st.integers(0, 60), min_size=1, max_size=4)),
    st.builds(lambda every, start, stop: {"every": every, "start": start,
                                          **({} if stop is None else {"stop": start + stop})},
              st.integers(1, 9), st.integers(0, 30), st.none() | st.integers(1, 40)))


@given(st.lists(schedule, min_size=1, max_size=3), st.integers(0, 50))
@settings(max_examples=60, deadline=None)
def test_release_ticks_of_a_scenario_match_its_hook_program(schedules, ticks):
    text = TINY.replace("ticks = 8", f"ticks = {ticks}").split("[[release]]")[0]
    for s in schedules:
        keys = "\n".join(f"{k} = {v}" for k, v in s.items())
        text += f'[[release]]\ngenotype = "D/D"\ncount = 10\n{keys}\n\n'
    sc = parse_scenario(text)
    assert sc.releases == sc.models[0].program.release_ticks(ticks + 1)


# ------------------------------------------------------------------ corrupted scenarios
LINES = TINY.splitlines()
JUNK = st.sampled_from(list("[]{}=\"'.,#-+0123456789.eE \\") + ["nan", "inf", "true", "[[", "]]"])


@st.composite
def corrupted(draw):
    lines = list(LINES)
    for _ in range(draw(st.integers(1, 4))):
        k = draw(st.integers(0, len(lines) - 1))
        action = draw(st.sampled_from(["delete", "duplicate", "corrupt", "insert"]))
        if action == "delete" and len(lines) > 1:
            del lines[k]
        elif action == "duplicate":
            lines.insert(k, lines[k])
        elif action == "insert":
            lines.insert(k, draw(st.sampled_from(LINES)))
        else:
            line = lines[k]
            j = draw(st.integers(0, len(line)))
            cut = draw(st.integers(0, 3))
            lines[k] = line[:j] + draw(JUNK) + line[j + cut:]
    return "\n".join(lines) + "\n"


def _check_outcome(status, err, folder, out):
    if status == 0:
        assert qorin.load(out).sizes["replicate"] >= 1
        return
    lines = err.splitlines()
    assert status == 2, err
    assert len(lines) == 1 and lines[0].startswith("qorin: error: "), err
    assert "bad.toml" in lines[0], err
    assert not os.path.lexists(out)
    assert [n for n in os.listdir(folder) if "qorin-partial" in n] == []


@given(corrupted())
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_corrupted_scenarios_run_or_exit_2_naming_the_file(tmp_path, capsys, text):
    import tempfile

    with tempfile.TemporaryDirectory(dir=tmp_path) as d:
        path = pathlib.Path(d) / "bad.toml"
        path.write_text(text)
        out = pathlib.Path(d) / "r.nc"
        status = cli.main(["run", str(path), "--out", str(out), "--replicates", "1",
                           "--no-progress", "--workers", "1"])
        _check_outcome(status, capsys.readouterr().err, d, out)


def test_corrupted_scenarios_through_the_command(tmp_path):
    rng = random.Random(19)
    cases = []
    while len(cases) < 6:
        lines = list(LINES)
        k = rng.randrange(len(lines))
        action = len(cases) % 3
        if action == 0:
            del lines[k]
        elif action == 1:
            lines.insert(k, lines[k])
        else:
            j = rng.randrange(len(lines[k]) + 1)
            lines[k] = lines[k][:j] + rng.choice("[]{}=\".,#") + lines[k][j:]
        cases.append("\n".join(lines) + "\n")
    for n, text in enumerate(cases):
        d = tmp_path / str(n)
        d.mkdir()
        (d / "bad.toml").write_text(text)
        proc = qorin_cmd("run", "bad.toml", "--out", "r.nc", "--replicates", "1", cwd=d)
        assert "Traceback" not in proc.stderr
        _check_outcome(proc.returncode, proc.stderr, d, d / "r.nc")
