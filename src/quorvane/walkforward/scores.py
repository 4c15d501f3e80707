"""Scoring the runs of a walk-forward over a window, and choosing one per fold.

A score is one of the backtest's statistics (``docs/backtest.rst``),
computed over a window's per-bar returns ``r_1 .. r_w`` alone, with ``B``
bars per year:

- ``sharpe``: ``mean(r) / sd(r) * sqrt(B)``, sd with divisor ``w - 1``;
  undefined with fewer than two returns or without dispersion;
- ``sortino``: ``mean(r) / d * sqrt(B)`` with ``d = sqrt(mean(min(r, 0)**2))``;
  undefined when no return is negative;
- ``total_return``: ``prod(1 + r) - 1``;
- ``cagr``: ``prod(1 + r) ** (B / w) - 1``, -1 once the equity is 0.

Every score is undefined over an empty window, and so is one that overflows.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from .windows import Fold

__all__ = ["SELECT", "choose", "fold_scores", "window_scores"]

SELECT = ("sharpe", "sortino", "total_return", "cagr")


def window_scores(returns: object, select: str, bars_per_year: float) -> np.ndarray:
    """The ``select`` score of per-bar returns along the first axis: of one
    run (a 1-D array, giving a 0-d array) or of several side by side (bars x
    runs, giving one score per run).  NaN where undefined."""
    if select not in SELECT:
        raise ValueError(f"cannot select on {select!r}; choose one of {', '.join(SELECT)}")
    r = np.asarray(returns, dtype=np.float64)
    w = r.shape[0]
    scale = np.sqrt(bars_per_year)
    with np.errstate(all="ignore"):
        if w == 0:
            score = np.full(r.shape[1:], np.nan)
        elif select == "sharpe":
            sd = r.std(axis=0, ddof=1) if w > 1 else np.zeros(r.shape[1:])
            score = np.where(sd > 0, r.mean(axis=0) / sd * scale, np.nan)
        elif select == "sortino":
            downside = np.sqrt(np.mean(np.minimum(r, 0.0) ** 2, axis=0))
            score = np.where(downside > 0, r.mean(axis=0) / downside * scale, np.nan)
        else:
            final = np.prod(1.0 + r, axis=0)
            if select == "total_return":
                score = final - 1.0
            else:
                score = np.where(final > 0, final ** (bars_per_year / w) - 1.0, -1.0)
    score = np.asarray(score, dtype=np.float64)
    score[~np.isfinite(score)] = np.nan
    return score


def fold_scores(returns: object, folds: Sequence[Fold], select: str, bars_per_year: float) -> np.ndarray:
    """Each fold's ``select`` score over its train window: an array (folds,)
    for one run's per-bar returns, (folds, runs) for several side by side.

    A worker can score its own run, so only these few numbers travel back."""
    r = np.asarray(returns, dtype=np.float64)
    return np.stack([window_scores(r[fold.train_start:fold.train_end], select, bars_per_year)
                     for fold in folds])


def choose(scores: object) -> np.ndarray:
    """The run chosen in each fold from scores (folds x runs): the best, the
    first in grid order on ties; a run whose score is undefined is never
    chosen, unless every run's is, and then the first is."""
    table = np.asarray(scores, dtype=np.float64)
    if table.ndim != 2 or table.shape[1] == 0:
        raise ValueError(f"expected scores (folds x runs), got shape {table.shape}")
    return np.where(np.isnan(table), -np.inf, table).argmax(axis=1)
