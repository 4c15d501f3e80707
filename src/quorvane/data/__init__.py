"""Price bars: reading them from CSV and Parquet files, and the shipped sample.

``read_bars`` reads the bars of one symbol, ``read_universe`` those of several
(a directory of per-symbol files, or one file with a ``symbol`` column), and
``load_data`` is what ``python -m quorvane run --data`` uses.
``normalise_bars`` checks a DataFrame the caller holds by the same rules (see
:mod:`quorvane.data.checks`), and ``check_spacing`` refuses symbols whose bars
are spaced differently (daily beside hourly).

``sample_daily.csv`` holds a few hundred synthetic daily bars (date, open,
high, low, close, volume), written by ``make_sample.py`` beside it.  It is
made up: use it to try strategies out, never to judge them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .calendar import check_spacing
from .checks import COLUMNS, DataError
from .frames import normalise_bars
from .readers import load_data, read_bars, read_universe

if TYPE_CHECKING:
    from importlib.resources.abc import Traversable

__all__ = ["COLUMNS", "DataError", "SAMPLE_NAME", "check_spacing", "load_data", "normalise_bars",
           "read_bars", "read_universe", "sample_csv"]

SAMPLE_NAME = "sample_daily.csv"


def sample_csv() -> Traversable:
    """The shipped sample file.

    Returns:
        The file as a package resource, which can be opened for reading.
    """
    # Imported here: importlib.resources costs a tenth of a second at start-up,
    # which every run reading its own files would pay.
    from importlib.resources import files
    return files(__name__) / SAMPLE_NAME
