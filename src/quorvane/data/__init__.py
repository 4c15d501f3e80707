"""Sample data shipped with the package.

``sample_daily.csv`` holds a few hundred synthetic daily bars (date, open,
high, low, close, volume), written by ``make_sample.py`` beside it.  It is
made up: use it to try strategies out, never to judge them.
"""

from __future__ import annotations

from importlib.resources import files
from importlib.resources.abc import Traversable

__all__ = ["SAMPLE_NAME", "sample_csv"]

SAMPLE_NAME = "sample_daily.csv"


def sample_csv() -> Traversable:
    """The shipped sample file, as a resource that can be opened for reading."""
    return files(__name__) / SAMPLE_NAME
