"""Checking target positions: one real number from -1 to 1 per bar."""

from __future__ import annotations

import math
import numbers

import numpy as np
import pandas as pd

__all__ = ["check_positions"]


class _Wording:
    """How messages name the positions: what a strategy returned, or what a
    caller of ``backtest`` passed."""

    def __init__(self, source: str) -> None:
        self.strategy = source == "generate_signals"
        self.name = source
        self.verb = "return" if self.strategy else "give"
        self.must = "it must return" if self.strategy else "there must be"

    def gave(self, what: str, verb: str = "is") -> str:
        return f"generate_signals returned {what}" if self.strategy else f"positions {verb} {what}"

    def count(self, got: int, bars: int) -> str:
        if self.strategy:
            return f"generate_signals returned {got} positions for {bars} bars"
        return f"positions holds {got} values for {bars} bars"

    def dates(self) -> str:
        if self.strategy:
            return "generate_signals returned a Series whose dates are not the bars' dates"
        return "positions is a Series whose dates are not the bars' dates"


def check_positions(positions: object, bars: pd.DataFrame | int, *,
                    source: str = "positions") -> np.ndarray:
    """``positions`` as a float64 array after checking them.

    Args:
        positions: One target position per bar, a real number from -1 to 1:
            a Series (with a date index, the bars' dates), an array or any
            sequence.  Booleans, NaN, text and numbers out of range are
            refused, naming the first bad row (rows count from 1).
        bars: The bars the positions belong to, or their number.
        source: How messages name the positions: ``"positions"`` (an
            argument) or ``"generate_signals"`` (what a strategy returned).

    Returns:
        The positions as a new float64 array, one per bar.

    Raises:
        TypeError: A DataFrame, None, a lone number or text.
        ValueError: The wrong count, other dates, or a bad value.
    """
    say = _Wording(source)
    count = bars if isinstance(bars, int) else len(bars)
    index = None if isinstance(bars, int) else bars.index
    if isinstance(positions, pd.DataFrame):
        raise TypeError(f"{say.gave('a DataFrame')}; {say.verb} one column of target positions "
                        "(a Series, an array or a list)")
    if isinstance(positions, pd.Series):
        if index is not None and isinstance(positions.index, pd.DatetimeIndex) \
                and len(positions) == count and not positions.index.equals(index):
            raise ValueError(f"{say.dates()}; {say.verb} one target position per bar, in the "
                             "bars' order")
        values = positions.to_numpy()
    elif isinstance(positions, np.ndarray):
        values = positions
    elif positions is None or isinstance(positions, (str, bytes, numbers.Number)):
        raise TypeError(f"{say.name} must be a sequence of target positions, got "
                        f"{type(positions).__name__}")
    else:
        values = _from_sequence(positions, index, say)
    if values.ndim != 1:
        raise ValueError(f"{say.gave(f'an array of shape {values.shape}')}; {say.must} one "
                         "target position per bar")
    if len(values) != count:
        raise ValueError(f"{say.count(len(values), count)}; {say.must} one target "
                         "position per bar")
    if values.dtype == bool:
        raise ValueError(f"{say.gave('booleans', 'holds')}; {say.verb} numbers from -1 to 1 "
                         "(for example positions.astype(float))")
    if values.dtype.kind in "iuf":
        values = values.astype(np.float64, copy=False)
    else:
        values = _from_sequence(values.tolist(), index, say)
    bad = ~((values >= -1.0) & (values <= 1.0))  # NaN fails both tests
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        raise ValueError(f"{say.name}: the position at {_row(row, index)} is "
                         f"{_show(values[row])}; positions must be numbers from -1 to 1")
    return values


def _from_sequence(positions: object, index: pd.Index | None, say: _Wording) -> np.ndarray:
    try:
        items = list(positions)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{say.name} must be a sequence of target positions, got "
                        f"{type(positions).__name__}") from None
    for row, item in enumerate(items):
        # numbers.Real admits numpy scalars and Fractions; a bool is more likely a bug.
        if isinstance(item, (bool, np.bool_)) or not isinstance(item, numbers.Real):
            raise ValueError(f"{say.name}: the position at {_row(row, index)} is "
                             f"{item!r}; positions must be numbers from -1 to 1")
    return np.array([float(item) for item in items], dtype=np.float64)


def _row(row: int, index: pd.Index | None) -> str:
    if index is None:
        return f"row {row + 1}"
    return f"row {row + 1} ({index[row]})"


def _show(value: float) -> str:
    return "NaN" if math.isnan(value) else repr(float(value))
