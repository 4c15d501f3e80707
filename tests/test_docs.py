"""The documentation site builds with warnings as errors, and its API
reference shows the loader's own docstrings."""

import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent / "docs"
PAGES = ["quickstart", "writing", "data", "backtest", "cli", "sweeps", "judging", "plugins", "api"]


def test_the_site_builds_without_warnings(tmp_path):
    pytest.importorskip("sphinx")
    out = tmp_path / "html"
    # A subprocess: Sphinx imports the documented modules into its process.
    result = subprocess.run([sys.executable, "-m", "sphinx", "-W", "-E", "-q", "-b", "html",
                             str(DOCS), str(out)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert all((out / f"{page}.html").is_file() for page in PAGES)
    api = re.sub(r"<[^>]+>", "", (out / "api.html").read_text(encoding="utf-8"))
    # Documented from the compiled module, not from its stub's overload placeholder.
    assert "load_strategy(strategy_spec" in api
    assert "Load strategy from various formats." in api
    assert "Helper for @overload" not in api
    for name in ("load_strategy_from_file", "load_strategy_from_module", "register_strategy",
                 "list_strategies", "register_entry_points"):
        assert f"{name}(" in api


def test_the_plugin_example_is_a_valid_pyproject():
    text = (DOCS / "plugins.rst").read_text(encoding="utf-8")
    block = re.search(r"\.\. code-block:: toml\n\n((?:   .*\n|\n)+)", text).group(1)
    project = tomllib.loads(re.sub(r"(?m)^   ", "", block))
    entry_points = project["project"]["entry-points"]["quorvane.strategies"]
    assert entry_points and all(re.fullmatch(r"[\w.]+:\w+", value)
                                for value in entry_points.values())
    assert project["build-system"]["build-backend"]
