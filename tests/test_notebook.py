"""The tutorial page runs as a notebook: its code blocks, executed in order by
a Jupyter kernel of this interpreter, show a result as an HTML table and the
plots as images."""

import json
import re
import sys
from pathlib import Path

import pytest

TUTORIAL = Path(__file__).resolve().parent.parent / "docs" / "tutorial.rst"


def cells(text):
    """The ``.. code-block:: python`` blocks of a page, dedented."""
    blocks = re.findall(r"\.\. code-block:: python\n\n((?:(?:   .*)?\n)+)", text)
    return [re.sub(r"(?m)^   ", "", block).strip() for block in blocks]


@pytest.fixture
def kernel(tmp_path, monkeypatch):
    """A kernel spec that starts this very interpreter."""
    pytest.importorskip("ipykernel")
    spec = tmp_path / "jupyter" / "kernels" / "quorvane-test"
    spec.mkdir(parents=True)
    (spec / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "quorvane tests", "language": "python"}))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path / "jupyter"))
    monkeypatch.setenv("MPLBACKEND", "agg")  # a plot needs no screen
    return "quorvane-test"


@pytest.mark.tooling
def test_the_tutorial_runs_as_a_notebook(kernel, tmp_path):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    sources = cells(TUTORIAL.read_text(encoding="utf-8"))
    # The matplotlib logger keeps its level: the package changes no logging.
    sources.append("import logging\nlogging.getLogger('matplotlib').level")
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(s) for s in sources])
    nbclient.NotebookClient(notebook, kernel_name=kernel, timeout=300,
                            resources={"metadata": {"path": str(tmp_path)}}).execute()

    def shown(predicate):
        (cell,) = [c for c in notebook.cells if predicate(c.source)]
        return {kind: value for output in cell.outputs for kind, value in output.get(
            "data", {}).items()}

    result = shown(lambda source: source.endswith("\nresult"))
    assert "<table>" in result["text/html"] and "sharpe" in result["text/html"]
    assert "costs" in result["text/plain"] and len(result["text/plain"].splitlines()) <= 10
    for plot in ("result.plot()", "plot_sweep(table)"):
        assert shown(lambda source: source.endswith(plot))["image/png"]
    assert "ma_period" in shown(lambda source: source.endswith("table.head()"))["text/html"]
    figures = shown(lambda source: "deflated_sharpe(sums)" in source)["text/plain"]
    assert "'pbo'" in figures
    assert shown(lambda source: "logging" in source)["text/plain"] == "0"
