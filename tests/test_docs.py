"""The documentation site builds with warnings as errors and every
reference resolved, its API reference shows the loader's own docstrings,
and every public function documents each parameter and its return."""

import importlib
import inspect
import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent / "docs"
PAGES = ["quickstart", "tutorial", "writing", "data", "backtest", "cli", "sweeps", "judging", "plugins", "api"]


@pytest.mark.tooling
def test_the_site_builds_without_warnings(tmp_path):
    pytest.importorskip("sphinx")
    out = tmp_path / "html"
    # A subprocess: Sphinx imports the documented modules into its process.
    result = subprocess.run([sys.executable, "-m", "sphinx", "-n", "-W", "-E", "-q", "-b", "html",
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


# The modules whose functions the API pages document.
PUBLIC = ["quorvane.runner", "quorvane.backtest", "quorvane.data", "quorvane.sweeps",
          "quorvane.plots", "quorvane.indicators", "quorvane.plugins", "quorvane.sources",
          "quorvane.overfitting", "quorvane.lookahead", "quorvane.walkforward.windows",
          "quorvane.walkforward.scores", "quorvane.walkforward.stitch",
          "quorvane.walkforward.engine", "quorvane.walkforward.result", "quorvane.strategy",
          "quorvane.trader_core.strategies.base"]


def public_functions():
    for name in PUBLIC:
        module = importlib.import_module(name)
        for attribute in module.__all__:
            value = getattr(module, attribute)
            if inspect.isfunction(value):
                yield f"{name}.{attribute}", value
            elif inspect.isclass(value) and value.__module__.startswith("quorvane"):
                for method, function in vars(value).items():
                    if inspect.isfunction(function) and not method.startswith("_") \
                            and function.__module__.startswith("quorvane"):
                        yield f"{name}.{attribute}.{method}", function


def sections(doc):
    """The parameter names of the Args section and the first line of the
    Returns section, as napoleon reads a Google docstring."""
    doc = inspect.cleandoc(doc or "")
    block = re.search(r"^Args:\n((?:    .*\n?|\n)+)", doc, re.M)
    names = set(re.findall(r"^    (\*{0,2}\w+)(?: \([^)]*\))?:", block.group(1), re.M)) \
        if block else set()
    returns = re.search(r"^Returns:\n    (.*)", doc, re.M)
    return names, returns.group(1) if returns else None


@pytest.mark.parametrize("name, function", list(public_functions()),
                         ids=lambda value: value if isinstance(value, str) else "")
def test_public_functions_document_parameters_and_return(name, function):
    signature = inspect.signature(function)
    wanted = [{"VAR_POSITIONAL": "*", "VAR_KEYWORD": "**"}.get(p.kind.name, "") + p.name
              for p in signature.parameters.values() if p.name not in ("self", "cls")]
    names, returns = sections(function.__doc__)
    assert [p for p in wanted if p not in names] == [], "undocumented parameters"
    if signature.return_annotation not in (None, "None"):
        assert returns, "no Returns section"
        # napoleon would take the text before a colon as the type.
        assert not re.search(r":(\s|$)", re.sub(r"``[^`]*``|:\w+:`[^`]*`", "", returns)), returns
