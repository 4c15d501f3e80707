"""Sphinx configuration of the quorvane documentation."""

# Import the compiled loader before autodoc looks at it.  Sphinx 8.2 and later
# documents a compiled module from its .pyi stub when the module is not yet
# imported, and executing the stub turns the overloaded load_strategy into
# typing's overload placeholder, which has no docstring.  Importing the real
# module first makes autodoc read the functions themselves.
import quorvane.strategy_loader  # noqa: F401  (imported for its side effect)

import quorvane

from pathlib import Path

project = "quorvane"
author = "the quorvane developers"
copyright = "2026, the quorvane developers"
release = version = quorvane.__version__

extensions = [
    "sphinx.ext.autodoc",
    # Docstrings are Google style (Args:, Returns:).
    "sphinx.ext.napoleon",
    "sphinx.ext.intersphinx",
]

# Links to Python, numpy, pandas and matplotlib through inventories kept beside the
# pages (docs/_inventories/make.py writes them), so the site builds offline.
_INVENTORIES = Path(__file__).resolve().parent / "_inventories"
intersphinx_mapping = {
    name: (root, str(_INVENTORIES / f"{name}.inv"))
    for name, root in (("python", "https://docs.python.org/3/"),
                       ("numpy", "https://numpy.org/doc/stable/"),
                       ("pandas", "https://pandas.pydata.org/docs/"),
                       ("matplotlib", "https://matplotlib.org/stable/"))
}
# Annotations say np. and pd., as the code imports them.
_ALIASES = {"np.": "numpy.", "pd.": "pandas."}

autodoc_member_order = "bysource"
# Results are made by the backtest, never by users: the account's internal
# market type in their constructors' signatures links nowhere.
nitpick_ignore = [("py:class", "quorvane.backtest.account.Market")]
napoleon_google_docstring = True
napoleon_numpy_docstring = False

exclude_patterns = ["_build"]
html_theme = "alabaster"
html_title = f"quorvane {release}"


def _expand_alias(app, env, node, contnode):
    """Resolve ``np.ndarray`` and ``pd.DataFrame`` as their full names."""
    target = node.get("reftarget", "")
    for alias, full in _ALIASES.items():
        if target.startswith(alias):
            from sphinx.ext import intersphinx
            node["reftarget"] = full + target[len(alias):]
            return intersphinx.missing_reference(app, env, node, contnode)
    return None


def setup(app):
    app.connect("missing-reference", _expand_alias)
