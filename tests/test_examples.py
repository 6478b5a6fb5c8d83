"""The shipped examples run to completion."""

import pathlib
import runpy

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_release_males_example(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    runpy.run_path(str(ROOT / "examples" / "release_males.py"), run_name="__main__")
    out = capsys.readouterr().out
    assert "ran to tick 200" in out
    assert "reproduces ticks 100..200 exactly: True" in out
