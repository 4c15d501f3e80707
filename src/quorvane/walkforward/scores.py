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
    """A score of per-bar returns along the first axis.

    Args:
        returns: One run's per-bar returns (1-D) or several side by side
            (bars x runs).
        select: The score, one of ``SELECT``: ``"sharpe"``, ``"sortino"``,
            ``"total_return"`` or ``"cagr"``.
        bars_per_year: Bars per year, for the annualised scores.

    Returns:
        A 0-d array for one run, one score per run for several; NaN where
        undefined.
    """
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
    """Each fold's score over its train window.  A worker can score its own
    run, so only these few numbers travel back.

    Args:
        returns: One run's per-bar returns over all the bars (1-D), or
            several side by side (bars x runs).
        folds: The folds.
        select: The score, one of ``SELECT``: ``"sharpe"``, ``"sortino"``,
            ``"total_return"`` or ``"cagr"``.
        bars_per_year: Bars per year, for the annualised scores.

    Returns:
        An array (folds,) for one run, (folds, runs) for several.
    """
    r = np.asarray(returns, dtype=np.float64)
    return np.stack([window_scores(r[fold.train_start:fold.train_end], select, bars_per_year)
                     for fold in folds])


def choose(scores: object) -> np.ndarray:
    """The run chosen in each fold: the best score, the first in grid order
    on ties; a run whose score is undefined is never chosen, unless every
    run's is, and then the first is.

    Args:
        scores: An array (folds x runs).

    Returns:
        The chosen run's index for each fold.
    """
    table = np.asarray(scores, dtype=np.float64)
    if table.ndim != 2 or table.shape[1] == 0:
        raise ValueError(f"expected scores (folds x runs), got shape {table.shape}")
    return np.where(np.isnan(table), -np.inf, table).argmax(axis=1)
