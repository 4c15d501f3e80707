"""The windows of a walk-forward run: window lengths and the folds they cut.

A length is a number of bars (``500``) or a calendar length, a number
followed by ``d`` (days), ``w`` (weeks), ``m`` (months) or ``y`` (years):
``90d``, ``12w``, ``6m``, ``2y``.

The folds, as bar positions (half-open ``[start, end)``):

- the first test window starts at the first bar one train length after the
  first bar (bar ``train`` for a number of bars; the first bar dated at or
  after the first date plus the calendar length);
- test windows follow each other, each one test length long (``test``
  bars, or the bars dated before the window's first date plus the calendar
  length, counted from the first test window's first date so that months
  keep their ends); the last may be shorter, and a calendar window without a
  bar (a gap in the data) is no fold;
- each train window is the train length before its test window (the
  ``train`` bars before it, or the bars dated from its first date minus the
  calendar length); anchored, it starts at the first bar.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
import pandas as pd

__all__ = ["CalendarLength", "Fold", "Length", "boundary_closes", "make_folds", "parse_length"]

_UNITS = {"d": "days", "w": "weeks", "m": "months", "y": "years"}
_PATTERN = re.compile(r"\s*(\d+)\s*([dwmy]?)\s*", re.IGNORECASE)


@dataclass(frozen=True)
class CalendarLength:
    """A calendar length: ``count`` days, weeks, months or years (``unit`` is
    ``d``, ``w``, ``m`` or ``y``)."""

    count: int
    unit: str

    def times(self, k: int) -> pd.DateOffset:
        """``k`` of this length as one offset: month ends stay month ends.

        Args:
            k: How many of this length.

        Returns:
            The offset.
        """
        return pd.DateOffset(**{_UNITS[self.unit]: self.count * k})  # type: ignore[arg-type]

    def __str__(self) -> str:
        return f"{self.count}{self.unit}"


Length = int | CalendarLength


class Fold(NamedTuple):
    """One fold's windows as bar positions, each half-open ``[start, end)``."""

    train_start: int
    train_end: int
    test_start: int
    test_end: int


def parse_length(text: object, what: str = "window") -> Length:
    """A window's length, as ``--train`` and ``--test`` take it.

    Args:
        text: A number of bars (an int, or text such as ``"500"``) or a
            calendar length (``"90d"``, ``"12w"``, ``"6m"``, ``"2y"``).
        what: How error messages name the length (``"train"``, ``"test"``).

    Returns:
        The number of bars, or a :class:`CalendarLength`.

    Raises:
        ValueError: Neither.
    """
    if isinstance(text, CalendarLength):
        return text
    if isinstance(text, (int, np.integer)) and not isinstance(text, bool):
        count, unit = int(text), ""
    else:
        match = _PATTERN.fullmatch(text) if isinstance(text, str) else None
        if match is None:
            raise ValueError(f"the {what} length {text!r} is not a length: give a number of bars "
                             "(500) or a number followed by d, w, m or y for days, weeks, months "
                             "or years (90d, 12w, 6m, 2y)")
        count, unit = int(match.group(1)), match.group(2).lower()
    if count < 1:
        raise ValueError(f"the {what} length must be at least 1 {_UNITS.get(unit, 'bars')[:-1]}, "
                         f"got {text!r}")
    return CalendarLength(count, unit) if unit else count


def make_folds(dates: pd.DatetimeIndex, train: Length, test: Length, *,
               anchored: bool = False) -> list[Fold]:
    """The folds of a walk-forward run.

    Args:
        dates: The bars' dates, rising and unique.
        train: The length of each train window.
        test: The length of each test window.
        anchored: Every train window starts at the first bar (else each one
            rolls forward with its test window).

    Returns:
        The folds, in order.

    Raises:
        ValueError: Data too short for one fold, with a message that says
            what is needed.
    """
    n = len(dates)
    if n == 0:
        raise ValueError("there are no bars for a walk-forward")
    if not (dates.is_monotonic_increasing and dates.is_unique):
        raise ValueError("walk-forward needs bars in rising date order without repeated dates")
    if isinstance(train, CalendarLength):
        first = _first_at(dates, dates[0], train.times(1))
    else:
        first = train
    if first >= n:
        raise ValueError(_too_short(dates, train))
    folds = []
    for start, end in _test_windows(dates, first, test):
        if anchored:
            train_start = 0
        elif isinstance(train, CalendarLength):
            train_start = _first_at(dates, dates[start], train.times(1), back=True)
        else:
            train_start = start - train
        folds.append(Fold(train_start, start, start, end))
    return folds


def boundary_closes(folds: list[Fold]) -> np.ndarray:
    """Where the stitched result switches runs.

    Args:
        folds: The folds, as :func:`make_folds` gives them.

    Returns:
        The bar positions of the close before each fold's test window.
    """
    return np.array([fold.test_start - 1 for fold in folds], dtype=np.intp)


def _test_windows(dates: pd.DatetimeIndex, first: int, test: Length) -> list[tuple[int, int]]:
    n = len(dates)
    if not isinstance(test, CalendarLength):
        return [(start, min(start + test, n)) for start in range(first, n, test)]
    anchor = dates[first]
    edges = [first]
    k = 1
    while edges[-1] < n:
        edges.append(_first_at(dates, anchor, test.times(k)))
        k += 1
    return [(start, end) for start, end in zip(edges, edges[1:]) if end > start]


def _first_at(dates: pd.DatetimeIndex, date: pd.Timestamp, offset: pd.DateOffset, *,
              back: bool = False) -> int:
    """The position of the first bar dated at or after ``date + offset``
    (``date - offset`` with ``back``)."""
    try:
        return int(dates.searchsorted(date - offset if back else date + offset))
    except (OverflowError, ValueError):  # beyond any date a timestamp can hold
        return 0 if back else len(dates)


def _too_short(dates: pd.DatetimeIndex, train: Length) -> str:
    if isinstance(train, CalendarLength):
        return (f"the data runs from {dates[0].date()} to {dates[-1].date()}: a train length of {train} leaves no bar to test; "
                f"a walk-forward needs data longer than {train}")
    return (f"the data has {len(dates):,} bars: a train length of {train:,} bars leaves no bar "
            f"to test; a walk-forward needs more than {train:,} bars")
