"""Price bars: the ``Bar`` record and the conversion every strategy applies
to its input."""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from typing import NamedTuple

__all__ = ["Bar", "as_bar", "as_bars"]


class Bar(NamedTuple):
    """One period of trading: date, open, high, low, close and volume."""

    date: object
    open: float
    high: float
    low: float
    close: float
    volume: float


_PRICE_FIELDS = ("open", "high", "low", "close")


def as_bar(value: object, index: int | None = None) -> Bar:
    """Return ``value`` as a :class:`Bar` with float prices and volume.

    ``value`` may be a :class:`Bar`, any 6-item sequence in the order
    ``(date, open, high, low, close, volume)``, or a mapping with those
    keys in any letter case (so rows of ``csv.DictReader`` with a "Close"
    column work; numeric strings are converted).  Prices must be finite and
    the volume finite and not negative: one NaN would otherwise silently
    flatten every signal that a recursive indicator computes after it.

    ``index`` is the position of the bar in its series, used in messages.
    """
    where = "bar" if index is None else f"bar {index}"
    if isinstance(value, Mapping):
        by_name = {str(key).lower(): item for key, item in value.items()}
        missing = [name for name in Bar._fields if name not in by_name]
        if missing:
            raise ValueError(f"{where}: missing field(s) {', '.join(missing)}")
        fields = [by_name[name] for name in Bar._fields]
    elif isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(
            f"{where}: expected a Bar, a 6-item sequence or a mapping, "
            f"got {type(value).__name__}"
        )
    else:
        fields = list(value)
        if len(fields) != len(Bar._fields):
            raise ValueError(
                f"{where}: expected 6 fields (date, open, high, low, close, volume), "
                f"got {len(fields)}"
            )
    numbers = []
    for name, item in zip(Bar._fields[1:], fields[1:]):
        try:
            number = float(item)
        except (TypeError, ValueError):
            raise ValueError(f"{where}: {name} must be a number, got {item!r}") from None
        if not math.isfinite(number):
            raise ValueError(f"{where}: {name} must be finite, got {item!r}")
        numbers.append(number)
    if numbers[-1] < 0:
        raise ValueError(f"{where}: volume must not be negative, got {fields[-1]!r}")
    return Bar(fields[0], *numbers)


def as_bars(bars: Iterable[object]) -> list[Bar]:
    """Return ``bars`` as a list of :class:`Bar`; see :func:`as_bar`."""
    return [as_bar(bar, index) for index, bar in enumerate(bars)]
