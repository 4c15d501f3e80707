"""The out-of-sample result of a walk-forward: each fold's chosen run over its
test window, stitched in order, with the cost of switching runs.

The result starts from equity 1 at the close before the first test window.
At that close, and at the last close of every test window but the last, the
holdings switch to those of the next fold's chosen run, which costs
``k * sum over symbols |w_next - w_held|`` of the equity, ``k`` the cost rate
and ``w`` a symbol's held weight at that close (units times close over the
run's equity; the first switch is from cash, all weights 0).  Switching to
the same run costs nothing.  A switch's cost is booked in the next bar's
return, the first of the fold it enters:

    r'_t = (1 + r_t) * (1 - c_j) - 1   at the first bar of fold j,
    r'_t = r_t                          at its other bars,

with ``r_t`` the chosen run's own per-bar return.  So each fold's rows carry
its own entry cost and the folds' returns compound to the whole.  The last
fold's holdings are kept at the end, as an open trade is.

The walk-forward efficiency is the out-of-sample annualised return (the
stitched curve's cagr) over the mean, across folds, of the chosen run's
annualised return over its train window (its cagr there).  It is undefined
(None) when that mean is 0 or below: a ratio to a loss says nothing.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np

from .scores import window_scores
from .windows import Fold

__all__ = ["Stitched", "stitch"]

# Arrays by run number: a dict, a list, or an array with one row per run.
ByRun = Mapping[int, object] | Sequence[object] | np.ndarray


@dataclass(frozen=True, eq=False)
class Stitched:
    """The stitched out-of-sample result.

    ``returns`` and ``equity`` run over the bars from position ``start``
    (the first test window's first bar) to the end of the last test window;
    per fold: ``switch_costs`` (the share of equity the switch into it
    cost), ``returns_by_fold`` (its total return, entry cost included),
    ``sharpe_by_fold`` (annualised, NaN where undefined) and
    ``in_sample_cagr`` (the chosen run's over its train window).
    """

    start: int
    returns: np.ndarray = field(repr=False)
    equity: np.ndarray = field(repr=False)
    switch_costs: np.ndarray
    returns_by_fold: np.ndarray
    sharpe_by_fold: np.ndarray
    in_sample_cagr: np.ndarray
    cagr: float
    efficiency: float | None


def stitch(folds: Sequence[Fold], chosen: Sequence[int], returns: ByRun, held: ByRun,
           cost_rate: float, bars_per_year: float, *, offset: int = 0,
           in_sample_cagr: Sequence[float] | np.ndarray | None = None) -> Stitched:
    """Stitch the chosen runs' test windows.

    ``returns`` and ``held`` are read for the chosen runs only: a dict, a
    list, or an array with one row per run (``matrix.T`` of bars x runs)
    will do.

    Args:
        folds: The folds.
        chosen: The run chosen for each fold.
        returns: ``returns[run]``, a run's per-bar returns over all the bars.
        held: ``held[run]``, its held weights at the closes before each
            fold's test window
            (:func:`~quorvane.walkforward.windows.boundary_closes`), an
            array (folds x symbols), or (folds,) for one symbol.
        cost_rate: ``k``, the cost of a fill as a fraction of the value
            traded.
        bars_per_year: Bars per year, for the annualised figures.
        offset: A worker that scored the runs may send less:
            ``returns[run]`` from bar ``offset`` on (the first test
            window's first bar or earlier)...
        in_sample_cagr: ...with each fold's chosen run's cagr over its
            train window, instead of reading it from ``returns``.

    Returns:
        The :class:`Stitched` out-of-sample result.

    Raises:
        ValueError: Not one chosen run per fold.
    """
    if len(folds) == 0 or len(chosen) != len(folds):
        raise ValueError(f"need one chosen run per fold, got {len(chosen)} for {len(folds)} folds")
    start, end = folds[0].test_start, folds[-1].test_end
    out = np.empty(end - start)
    costs = np.empty(len(folds))
    by_fold = np.empty(len(folds))
    sharpe = np.empty(len(folds))
    in_sample = np.empty(len(folds))
    previous = None
    for j, (fold, run) in enumerate(zip(folds, chosen)):
        if j and fold.test_start != folds[j - 1].test_end:
            raise ValueError("the folds' test windows must follow each other")
        weights = _weights(held[run], len(folds))[j]
        before = 0.0 if previous is None else _weights(held[previous], len(folds))[j]
        costs[j] = cost_rate * float(np.abs(weights - before).sum())
        series = np.asarray(returns[run], dtype=np.float64)
        rows = out[fold.test_start - start:fold.test_end - start]
        rows[:] = series[fold.test_start - offset:fold.test_end - offset]
        rows[0] = max(-1.0, (1.0 + rows[0]) * (1.0 - costs[j]) - 1.0)
        by_fold[j] = np.prod(1.0 + rows) - 1.0
        sharpe[j] = window_scores(rows, "sharpe", bars_per_year)
        in_sample[j] = window_scores(series[fold.train_start:fold.train_end], "cagr",
                                     bars_per_year) if in_sample_cagr is None \
            else in_sample_cagr[j]
        previous = run
    cagr = float(window_scores(out, "cagr", bars_per_year))
    mean_in = float(np.mean(in_sample))
    efficiency = cagr / mean_in if mean_in > 0 and np.isfinite(cagr) else None
    return Stitched(start, out, np.cumprod(1.0 + out), costs, by_fold, sharpe, in_sample,
                    cagr, efficiency)


def _weights(values: object, folds: int) -> np.ndarray:
    weights = np.asarray(values, dtype=np.float64)
    weights = weights.reshape(folds, -1) if weights.ndim == 1 else weights
    if weights.ndim != 2 or weights.shape[0] != folds:
        raise ValueError(f"held weights must be an array (folds x symbols) with {folds} rows, "
                         f"got shape {weights.shape}")
    return weights
