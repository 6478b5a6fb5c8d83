"""The user guide's code runs as written: the python blocks of every page in
docs/ (and of the README) are executed in order, one namespace per page, in a
scratch directory."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
PAGES = sorted(DOCS.rglob("*.md")) + [ROOT / "README.md"]
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)

pytest.importorskip("xarray")
matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")


def test_the_guide_has_its_pages():
    names = {p.relative_to(DOCS).as_posix() for p in PAGES if DOCS in p.parents}
    assert {"README.md", "lifecycle.md", "parameters.md", "results.md", "hooks.md", "sessions.md",
            "tutorials/viability-selection.md", "tutorials/homing-drive.md",
            "tutorials/checkpoints.md", "generations.md", "tutorials/wright-fisher.md"} <= names


def test_links_between_pages_resolve():
    for page in PAGES:
        for target in re.findall(r"\]\(([^)#:]+\.md)(?:#[^)]*)?\)", page.read_text()):
            assert (page.parent / target).exists(), f"{page.name} links to missing {target}"


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_page_code_runs(page, tmp_path, monkeypatch):
    import matplotlib.pyplot as plt

    blocks = BLOCK.findall(page.read_text())
    if not blocks:
        pytest.skip("no python code on this page")
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": f"docs_{page.stem}"}
    try:
        for k, code in enumerate(blocks):
            exec(compile(code, f"{page.name}[block {k}]", "exec"), namespace)
    finally:
        plt.close("all")
