"""Sphinx configuration of the quorvane documentation."""

# Import the compiled loader before autodoc looks at it.  Sphinx 8.2 and later
# documents a compiled module from its .pyi stub when the module is not yet
# imported, and executing the stub turns the overloaded load_strategy into
# typing's overload placeholder, which has no docstring.  Importing the real
# module first makes autodoc read the functions themselves.
import quorvane.strategy_loader  # noqa: F401  (imported for its side effect)

import quorvane

project = "quorvane"
author = "the quorvane developers"
copyright = "2026, the quorvane developers"
release = version = quorvane.__version__

extensions = [
    "sphinx.ext.autodoc",
    # The loader's docstrings are Google style (Args:, Returns:).
    "sphinx.ext.napoleon",
]

autodoc_member_order = "bysource"
napoleon_google_docstring = True
napoleon_numpy_docstring = False

exclude_patterns = ["_build"]
html_theme = "alabaster"
html_title = f"quorvane {release}"
