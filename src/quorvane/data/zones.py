"""A time zone for dates written with UTC offsets that change from row to row.

A file of daily bars stamped at local midnight with ``+01:00`` in winter and
``+02:00`` in summer holds two things: the instants, and the local calendar
the dates were written in.  Converted to UTC, the summer Mondays would fall on
Sundays.  So the dates are kept in a zone whose rules give every row its own
written offset: both the instants and the written dates stay as they are.
When no zone's rules fit (offsets changed on made-up days), the dates are
kept at the largest of the offsets: the instants are exact, and a date written
at local midnight stays on its day.
"""

from __future__ import annotations

import datetime as dt
from functools import lru_cache
from typing import TYPE_CHECKING

import numpy as np
import pyarrow as pa
import pyarrow.compute as pa_compute

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["keep_offsets"]

# Zones tried first, so that exchange data is named after its exchange's
# zone rather than after the first of the many zones sharing its rules.
_PREFERRED = (
    "America/New_York", "America/Chicago", "America/Los_Angeles", "America/Toronto",
    "America/Sao_Paulo", "Europe/London", "Europe/Berlin", "Europe/Paris", "Europe/Zurich",
    "Europe/Athens", "Europe/Helsinki", "Australia/Sydney", "Pacific/Auckland",
    "America/Santiago", "America/Mexico_City", "Asia/Tehran",
)
# A time, then its offset: Z, +01, +0100 or +01:00.
_OFFSET = r"[T ]\d\d(?::?\d\d){0,2}(?:[.,]\d+)?(?P<offset>Z|[+-]\d\d(?::?\d\d)?)$"


def keep_offsets(instants: pd.DatetimeIndex, text: pd.Series) -> pd.DatetimeIndex:
    """``instants`` (in UTC, parsed from ``text``) in a zone that shows each
    row as ``text`` wrote it."""
    offsets = _offsets(text)
    utc = instants.asi8
    zone = _zone_for(utc, offsets)
    if zone is not None:
        return instants.tz_convert(zone)
    return instants.tz_convert(dt.timezone(dt.timedelta(seconds=int(offsets.max()))))


def _offsets(text: pd.Series) -> np.ndarray:
    """Each row's written offset from UTC in seconds; 0 where none is written."""
    parts = pa_compute.extract_regex(pa.array(text, type=pa.string(), from_pandas=True), _OFFSET)
    written = parts.field("offset")
    kinds = pa_compute.unique(written).drop_null()  # a few: +01:00, +02:00
    seconds = np.array([_seconds(kind) for kind in kinds.to_pylist()] + [0], dtype=np.int64)
    which = pa_compute.index_in(written, value_set=kinds).fill_null(len(kinds))
    positions: np.ndarray = which.to_numpy()
    offsets: np.ndarray = seconds[positions]
    return offsets


def _seconds(offset: str) -> int:
    if offset in ("Z", ""):  # "": the row wrote no offset
        return 0
    digits = offset[1:].replace(":", "")
    value = 3600 * int(digits[:2]) + 60 * int(digits[2:4] or 0)
    return -value if offset[0] == "-" else value


def _zone_for(utc: np.ndarray, offsets: np.ndarray) -> str | None:
    """A zone whose offset at every instant is the one written there."""
    import pandas as pd

    # Where the written offset changes, and the first and last rows: a zone
    # that fits there fits everywhere unless its rules change twice between
    # two of them, which the check over every row below catches.
    changes = np.flatnonzero(np.diff(offsets)) + 1
    probes = np.unique(np.concatenate(([0, len(utc) - 1], changes, changes - 1)))
    points = [(int(utc[at]) // 10**9, int(offsets[at])) for at in probes]
    every_row = pd.DatetimeIndex(utc, tz="UTC")
    for name in _candidates():
        zone = _zone(name)
        if all(_offset(zone, second) == written for second, written in points):
            local = every_row.tz_convert(name).tz_localize(None).asi8
            if np.array_equal((local - utc) // 10**9, offsets):
                return name
    return None


def _offset(zone: dt.tzinfo, second: int) -> int | None:
    try:
        offset = dt.datetime.fromtimestamp(second, tz=zone).utcoffset()
    except (OverflowError, OSError, ValueError):
        return None
    return None if offset is None else int(offset.total_seconds())


@lru_cache(maxsize=None)
def _zone(name: str) -> dt.tzinfo:
    from zoneinfo import ZoneInfo
    return ZoneInfo(name)


@lru_cache(maxsize=1)
def _candidates() -> tuple[str, ...]:
    from zoneinfo import available_timezones
    known = available_timezones()
    preferred = tuple(name for name in _PREFERRED if name in known)
    return preferred + tuple(sorted(known - set(preferred)))
