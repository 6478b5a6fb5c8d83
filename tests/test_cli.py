"""The qorin command: demo, run, inspect; bad input writes nothing."""

import os
import pathlib
import subprocess
import sys

import pytest

import qorin
from qorin import cli
from qorin.scenario import DEMO, _tomllib, parse_scenario

xr = pytest.importorskip("xarray")
pytest.importorskip("matplotlib")

ROOT = pathlib.Path(__file__).resolve().parents[1]

SMALL = '''\
name = "small release"

[run]
ticks = 20
replicates = 3
seed = 7
stop_when_extinct = true

[genetics]
builder = "homing_drive"
cutting = 0.95
homing = 0.9
disrupts = "female_fertility"

[ages]
n_ages = 3

[initial]
"W/W" = 50

[ecology]
carrying_capacity = 120
eggs_per_female = 10
low_density_growth_rate = 4
survival_rates = [0.8, 0.8, 0.0]

[[release]]
genotype = "D/D"
count = 25
every = 3
stop = 10

[sweep]
"release.0.count" = [10, 40]
'''


def test_demo_runs_summarises_and_writes_its_files(tmp_path, capsys):
    assert cli.main(["demo", "--quick", "--out-dir", str(tmp_path), "--no-progress"]) == 0
    out = capsys.readouterr().out
    assert "homing suppression drive" in out and "suppressed" in out and "final_D" in out
    assert sorted(os.listdir(tmp_path)) == ["demo.nc", "demo.png"]
    ds = qorin.load(tmp_path / "demo.nc")
    assert ds.sizes["replicate"] == cli.QUICK_REPLICATES and int(ds["tick"].max()) == cli.QUICK_TICKS
    assert ds["count"].dims[:2] == ("release.0.count", "genetics.functional_resistance")
    assert (tmp_path / "demo.png").read_bytes()[:4] == b"\x89PNG"
    assert cli.main(["inspect", str(tmp_path / "demo.nc")]) == 0
    again = capsys.readouterr().out
    assert out.split("suppressed:")[1].split("results:")[0].strip() in again


def test_run_writes_results_that_do_not_depend_on_the_executor(tmp_path, capsys):
    path = tmp_path / "small.toml"
    path.write_text(SMALL)
    args = ["run", str(path), "--replicates", "4", "--seed", "3", "--no-progress"]
    assert cli.main(args + ["--workers", "2", "--out", str(tmp_path / "a.nc"),
                            "--plot", str(tmp_path / "a.svg")]) == 0
    assert cli.main(args + ["--processes", "--workers", "2", "--out", str(tmp_path / "b.nc")]) == 0
    a, b = qorin.load(tmp_path / "a.nc"), qorin.load(tmp_path / "b.nc")
    xr.testing.assert_identical(a, b)
    assert a.sizes["replicate"] == 4 and a["release.0.count"].values.tolist() == [10, 40]
    assert a.attrs["qorin_scenario"] == SMALL
    assert b"<svg" in (tmp_path / "a.svg").read_bytes()[:400]
    sc = parse_scenario(SMALL)
    direct = sc.run(replicates=4, seed=3)
    xr.testing.assert_equal(a, direct)
    assert sorted(os.listdir(tmp_path)) == ["a.nc", "a.svg", "b.nc", "small.toml"]


def test_run_shows_progress_and_defaults_its_output_name(tmp_path, monkeypatch, capsys):
    pytest.importorskip("tqdm")
    (tmp_path / "small.toml").write_text(SMALL)
    monkeypatch.chdir(tmp_path)
    assert cli.main(["run", "small.toml"]) == 0
    assert (tmp_path / "small.nc").exists()
    captured = capsys.readouterr()
    assert "6/6" in captured.err and "replicate/s" in captured.err
    assert "runs/s" in captured.out


@pytest.mark.parametrize("change, status, message", [
    (("carrying_capacity = 120", "carrying_capacity = -120"), 2,
     "bad.toml, line 22: ecology.carrying_capacity: must be a finite number in [0, 1000000000000], got -120"),
    (("homing = 0.9", "homing = 0.9\nhomming = 1"), 2, "line 13: genetics.homming: unknown key"),
    (("[sweep]", "[sweep]\n\"ecology.sex_ratio\" = [0.5, 2]"), 2,
     "sweep.ecology.sex_ratio: value 2 (2): ecology.sex_ratio must be"),
    (("[ages]", "[landscape]\nn_demes = 3\n[ages]"), 2, "landscape: missing the required key 'shape'"),
    (("ticks = 20", "ticks = 20\nticks = 21"), 2, "not valid TOML"),
])
def test_a_bad_scenario_reports_its_line_and_writes_nothing(tmp_path, capsys, change, status, message):
    path = tmp_path / "bad.toml"
    path.write_text(SMALL.replace(*change, 1))
    before = sorted(os.listdir(tmp_path))
    assert cli.main(["run", str(path), "--out", str(tmp_path / "out.nc"), "--plot",
                     str(tmp_path / "out.png")]) == status
    err = capsys.readouterr().err
    assert err.startswith("qorin: error: ") and message in err
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("args, status, message", [
    (["run", "{dir}/absent.toml"], 2, "cannot read the scenario"),
    (["run", "{dir}/small.toml", "--out", "{dir}/missing/x.nc"], 2, "does not exist"),
    (["run", "{dir}/small.toml", "--out", "{dir}"], 2, "it is a directory"),
    (["inspect", "{dir}/absent.nc"], 2, "no such file"),
    (["inspect", "{dir}/small.toml"], 2, "not a results file"),
    (["run", "{dir}/small.toml", "--replicates", "0"], 2, "expected a positive integer"),
    (["run", "{dir}/small.toml", "--seed", "-1"], 2, "expected an integer in 0..2**64-1"),
    (["demo", "--out-dir", "{dir}", "--scheduler", "tcp://127.0.0.1:1", "--workers", "2"], 2,
     "leave out --processes"),
    (["frobnicate"], 2, "invalid choice"),
])
def test_command_errors_write_nothing(tmp_path, capsys, args, status, message):
    (tmp_path / "small.toml").write_text(SMALL)
    quiet = ["--no-progress"] if args[0] in ("run", "demo") else []
    assert cli.main([a.format(dir=tmp_path) for a in args] + quiet) == status
    assert message in capsys.readouterr().err
    assert sorted(os.listdir(tmp_path)) == ["small.toml"]


def test_python_dash_m_and_the_installed_command():
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    out = subprocess.run([sys.executable, "-m", "qorin", "demo", "--show-scenario"], capture_output=True,
                         text=True, env=env, timeout=60)
    assert out.returncode == 0 and out.stdout == DEMO
    parse_scenario(out.stdout)
    scripts = _tomllib().loads((ROOT / "pyproject.toml").read_text())["project"]["scripts"]
    assert scripts == {"qorin": "qorin.cli:main"}
