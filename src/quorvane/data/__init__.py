"""Price bars: reading them from CSV and Parquet files, and the shipped sample.

``read_bars`` reads the bars of one symbol, ``read_universe`` those of several
(a directory of per-symbol files, or one file with a ``symbol`` column), and
``load_data`` is what ``python -m quorvane run --data`` uses.  See
:mod:`quorvane.data.readers` for the rules.

``sample_daily.csv`` holds a few hundred synthetic daily bars (date, open,
high, low, close, volume), written by ``make_sample.py`` beside it.  It is
made up: use it to try strategies out, never to judge them.
"""

from __future__ import annotations

from importlib.resources import files
from importlib.resources.abc import Traversable

from .readers import COLUMNS, DataError, load_data, read_bars, read_universe

__all__ = ["COLUMNS", "DataError", "SAMPLE_NAME", "load_data", "read_bars", "read_universe",
           "sample_csv"]

SAMPLE_NAME = "sample_daily.csv"


def sample_csv() -> Traversable:
    """The shipped sample file, as a resource that can be opened for reading."""
    return files(__name__) / SAMPLE_NAME
