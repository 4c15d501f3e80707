"""The look-ahead check: does a strategy's position at a bar depend on later bars?

A strategy that reads the future (``close.shift(-1)``, a scale fitted on the
whole series, a centred window) shows it when its later bars are taken away:
its positions on the first bars change.  :func:`find_lookahead` computes the
positions on the bars cut at a quarter, half and three quarters of their
length and compares them with the first positions of the full run.  The
cost is three calls on 1/4 + 1/2 + 3/4 of the bars: 1.5 times the
strategy's own time.

Positions are compared with a tolerance of 1e-9, so that float noise of an
indicator summed in another order on a shorter series is no alarm, while any
real difference a position makes is.  Positions are checked as the backtest
checks them, so NaN never reaches the comparison.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable
from typing import NamedTuple

import numpy as np
import pandas as pd

from .backtest import check_positions
from .messages import one_line

# The strategy gets the bars as a run gives them, by the run's own rule.
from .backtest.runs import _strategy_copy

__all__ = ["CUTS", "LookaheadWarning", "Lookahead", "TOLERANCE", "find_lookahead"]

CUTS = (0.25, 0.5, 0.75)
TOLERANCE = 1e-9


class Lookahead(NamedTuple):
    """The first bar whose position changed when later bars were taken away:
    its row (counted from 1, as in the data's error messages) and its date."""

    row: int
    date: pd.Timestamp


class LookaheadWarning(UserWarning):
    """A cut of the look-ahead check could not be tested."""


def find_lookahead(generate_signals: Callable[[pd.DataFrame], object], bars: pd.DataFrame,
                   positions: object) -> Lookahead | None:
    """The first bar whose position depends on later bars.

    The strategy receives each cut of the bars as its own copy.  A cut on
    which it fails or returns unusable positions (too few bars for it, say)
    is left out, the other cuts still count, and one
    :class:`LookaheadWarning` names the cuts left out and the first reason.

    Args:
        generate_signals: The strategy's method.
        bars: The bars of the full run.
        positions: Its positions, one per bar (as the backtest checked them;
            others are checked here).

    Returns:
        The first :class:`Lookahead` found, or None.
    """
    full = _floats(positions, len(bars))
    if full is None:
        full = check_positions(positions, bars)
    first: int | None = None
    skipped: list[tuple[int, Exception]] = []
    for length in sorted({int(len(bars) * share) for share in CUTS} - {0, len(bars)}):
        cut = bars.iloc[:length]
        shared = full[:length]
        try:
            returned = generate_signals(_strategy_copy(cut))
            # Equal to positions already checked is valid too: the usual case
            # costs one pass, not a check and a comparison.
            shorter = _floats(returned, length)
            if shorter is not None and np.array_equal(shorter, shared):
                continue
            shorter = check_positions(returned, cut, source="generate_signals")
        except Exception as exc:  # the strategy's own error: this cut tells nothing
            skipped.append((length, exc))
            continue
        changed = np.flatnonzero(np.abs(shorter - shared) > TOLERANCE)
        if changed.size and (first is None or changed[0] < first):
            first = int(changed[0])
    if skipped:
        # One warning for the check, however many cuts it lost.
        lengths = [f"{length:,}" for length, _ in skipped]
        cuts = lengths[0] if len(lengths) == 1 else f"{', '.join(lengths[:-1])} and {lengths[-1]}"
        warnings.warn(f"look-ahead check: the first {cuts} bars were left out of the check: "
                      f"{one_line(skipped[0][1])}", LookaheadWarning, stacklevel=2)
    if first is None:
        return None
    return Lookahead(first + 1, bars.index[first])


def _floats(positions: object, length: int) -> np.ndarray | None:
    """``positions`` as float64 values without a copy, if they are that already."""
    values = positions.to_numpy() if isinstance(positions, pd.Series) else positions
    if isinstance(values, np.ndarray) and values.dtype == np.float64 \
            and values.shape == (length,):
        return values
    return None
