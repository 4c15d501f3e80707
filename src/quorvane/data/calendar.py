"""The spacing of bars: what one bar spans (a day, a month, five minutes), read
from the dates as written, in their own local calendar; and how many bars
make a year, which annualises every statistic.

:func:`spacing` names it; :func:`check_spacing` refuses symbols of different
spacings in one run, whose dates' union would mix a daily bar with an hourly
one; :func:`infer_bars_per_year` gives the bars of a year.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, NamedTuple, cast

import numpy as np

from .checks import DataError

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["Spacing", "spacing", "check_spacing", "infer_bars_per_year", "local_stamps"]

DAY = 86_400 * 10**9  # nanoseconds
YEAR = 365.25 * DAY
# Enough bars to tell the spacing and the trading week of any series.
SAMPLE = 100_000

# Named spacings: the median step between dates, in days, from and to.  The
# bands are wide enough for calendar months and quarters and for the bars of
# business days (a month from Friday the 28th to Tuesday the 31st).
_BANDS = (
    ("daily", 0.75, 1.5),
    ("weekly", 6.0, 8.0),
    ("monthly", 26.0, 35.0),
    ("quarterly", 80.0, 100.0),
    ("yearly", 340.0, 390.0),
)
# Intraday bars whose steps differ this much between symbols (gaps move the
# median a little) still count as one spacing; 1-minute bars beside 5-minute
# bars do not.  Bars of a spacing with no name (a thinly traded stock with a
# median of two days between bars) go with a named spacing this close.
_SAME_INTRADAY = 1.5
_SAME_UNNAMED = 2.5


class Spacing(NamedTuple):
    """The kind of bars (``intraday``, ``daily``, ``weekly``, ``monthly``,
    ``quarterly``, ``yearly``, or ``unnamed``) and the median step between
    their dates, in nanoseconds."""

    kind: str
    step: int

    def __str__(self) -> str:
        if self.kind == "intraday":
            count, unit = _duration(self.step)
            return f"{count}-{unit} bars"
        if self.kind == "unnamed":
            count, unit = _duration(self.step)
            return f"bars {count} {unit}{'' if count == '1' else 's'} apart"
        return f"{self.kind} bars"

    def same_as(self, other: Spacing) -> bool:
        intraday = self.kind == "intraday"
        if intraday != (other.kind == "intraday"):
            return False
        if self.kind == other.kind and self.kind not in ("intraday", "unnamed"):
            return True
        if "unnamed" not in (self.kind, other.kind) and not intraday:
            return False  # two named spacings: daily and weekly
        ratio = max(self.step, other.step) / min(self.step, other.step)
        return ratio <= (_SAME_INTRADAY if intraday else _SAME_UNNAMED)


def local_stamps(index: pd.DatetimeIndex) -> np.ndarray:
    """The dates as int64 nanoseconds of their own wall clock: a date written
    at local midnight stays on its day, whatever its offset from UTC."""
    if index.tz is not None:
        index = index.tz_localize(None)
    return index.as_unit("ns").asi8


def spacing(index: pd.DatetimeIndex) -> Spacing | None:
    """The spacing of rising dates, from the median step of the first 100,000;
    None for fewer than two dates."""
    if len(index) < 2:
        return None
    step = int(np.median(np.diff(local_stamps(index[:SAMPLE]))))
    days = step / DAY
    if days < _BANDS[0][1]:
        return Spacing("intraday", step)
    for kind, low, high in _BANDS:
        if low <= days <= high:
            return Spacing(kind, step)
    return Spacing("unnamed", step)


def check_spacing(universe: Mapping[str, pd.DataFrame]) -> None:
    """Refuse symbols whose bars are spaced differently (daily beside hourly):
    one run steps through the union of their dates, and every figure would
    mix the two.  Symbols of a single bar fit any spacing.

    Args:
        universe: ``{symbol: bars}``, each with a ``DatetimeIndex``.

    Raises:
        DataError: Two symbols of different spacings, naming both.
    """
    first: tuple[str, Spacing] | None = None
    for symbol, bars in universe.items():
        found = spacing(cast("pd.DatetimeIndex", bars.index))
        if found is None:
            continue
        if first is None:
            first = (symbol, found)
        elif not found.same_as(first[1]):
            raise DataError(f"{first[0]} has {first[1]} and {symbol} {found}; symbols run "
                            "together need one bar spacing: run them separately, or "
                            "resample them to one spacing")


def infer_bars_per_year(index: pd.DatetimeIndex) -> tuple[int, str]:
    """How many bars make a year, and why: ``(bars_per_year, reason)``.

    From the spacing of the dates (:func:`spacing`): daily bars count 252 a
    year when no date falls on a weekend of the dates' own calendar and 365
    when some do; weekly bars 52, monthly 12, quarterly 4, yearly 1.
    Intraday bars, and bars of a spacing with no name, count by the data's
    own calendar: (number of dates - 1) / (years from the first date to the
    last, of 365.25 days), rounded.
    """
    found = spacing(index)
    if found is None:
        return 252, "one bar only: taken as a weekday daily bar"
    if found.kind == "daily":
        days = local_stamps(index[:SAMPLE]) // DAY
        # 1970-01-01 was a Thursday: (days + 3) % 7 is 0 on Mondays.
        if bool((((days + 3) % 7) >= 5).any()):
            return 365, "daily bars, weekends included"
        return 252, "daily bars, weekdays only"
    if found.kind in _PER_YEAR:
        return _PER_YEAR[found.kind], str(found)
    steps = len(index) - 1
    ends = index[[0, -1]].as_unit("ns").asi8
    years = (int(ends[1]) - int(ends[0])) / YEAR
    named = "" if found.kind == "intraday" else ", a spacing with no name"
    span = f"{years:.2f} years" if years >= 1 else f"{years * 365.25:.1f} days"
    return (max(1, round(steps / years)),
            f"{found}{named}, by the data's own calendar: {steps:,} steps over {span}")


_PER_YEAR = {"weekly": 52, "monthly": 12, "quarterly": 4, "yearly": 1}


def _duration(nanoseconds: int) -> tuple[str, str]:
    """A step as a count and a unit: ("5", "minute"), ("2.5", "day")."""
    for unit, size in (("day", DAY), ("hour", 3_600 * 10**9), ("minute", 60 * 10**9),
                       ("second", 10**9)):
        if nanoseconds >= size and nanoseconds % size == 0:
            return str(nanoseconds // size), unit
    if nanoseconds >= DAY:
        return f"{nanoseconds / DAY:.1f}", "day"
    return f"{nanoseconds / 10**9:g}", "second"
