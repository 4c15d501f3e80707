"""Suite-wide settings."""

import os

import pytest


def pytest_collection_modifyitems(config, items):
    # The sanitizer pass looks for memory faults in the compiled modules; type
    # checkers, the docs build and the notebook exercise nothing there that
    # the rest of the suite does not, and cost minutes under the sanitizers.
    if os.environ.get("QUORVANE_SANITIZER_RUN") != "1":
        return
    skip = pytest.mark.skip(reason="tooling check; it runs in the normal pass")
    for item in items:
        if item.get_closest_marker("tooling"):
            item.add_marker(skip)
