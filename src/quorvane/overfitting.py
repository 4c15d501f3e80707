"""How much of a parameter search's best result is luck: the deflated Sharpe
ratio of the winner and the probability of backtest overfitting.

Both figures need every trial's per-bar returns, but only through sums over
blocks of bars, so a sweep worker computes :func:`block_sums` beside its row
and the parent never receives per-bar returns.  The definitions, with the
reasons behind them, are in ``docs/judging.rst``.

Blocks: a trial's ``n`` per-bar returns are cut into ``blocks`` equal
contiguous blocks of ``L = n // blocks`` rows from the first bar on; the last
``n - blocks * L`` rows (fewer than ``blocks``) belong to no block.  They
still count in the whole-sample figures, so :func:`block_sums` keeps their
sums in one more row after the blocks.

Sharpe ratios here are per bar (mean over standard deviation with divisor
``n - 1``, no annualisation, which changes neither ranking nor probability).
A Sharpe ratio is undefined with fewer than two returns or without any
dispersion; a figure that needs one that is undefined is ``None``.
"""

from __future__ import annotations

import functools
import itertools
import math
from statistics import NormalDist
from typing import NamedTuple

import numpy as np

__all__ = ["Moments", "block_sums", "curve_block_sums", "deflated_sharpe", "deflated_sharpe_ratio",
           "expected_max_sharpe", "moments", "pbo", "sharpe_ratios"]

_NORMAL = NormalDist()
_EULER_GAMMA = 0.5772156649015329
# A per-bar Sharpe ratio this large comes from rounding noise in the variance
# of constant returns, never from a market.
_FLAT = 1e5
# Elements per chunk of the cross-validation: bounds its scratch memory
# (about 100 MB) whatever the number of trials.
_CHUNK = 1 << 21


class Moments(NamedTuple):
    """Whole-sample figures of per-bar returns, each an array (NaN where
    undefined): the number of returns, the mean, the standard deviation (divisor n - 1),
    and the bias-corrected skewness and kurtosis (not excess: 3 for a normal
    distribution) as pandas computes them."""

    observations: np.ndarray
    mean: np.ndarray
    sd: np.ndarray
    skewness: np.ndarray
    kurtosis: np.ndarray


def block_sums(returns: object, blocks: int = 16) -> np.ndarray:
    """Per-block sums of one trial's per-bar returns.

    Args:
        returns: One trial's per-bar returns, finite numbers, 1-D.
        blocks: How many equal contiguous blocks to cut them into.

    Returns:
        A ``(blocks + 1, 5)`` float array.  Row ``j < blocks`` holds
        ``(count, sum r, sum r**2, sum r**3, sum r**4)`` over block ``j``;
        the last row holds the same sums over the rows beyond the last whole
        block (count 0 when the length is a multiple of ``blocks``).  The
        whole sample's sums are ``block_sums(...).sum(axis=0)``.

    Raises:
        ValueError: Returns that are not 1-D finite numbers, or an unusable
            number of blocks.
    """
    _check_blocks(blocks)
    r = np.asarray(returns, dtype=np.float64)
    if r.ndim != 1:
        raise ValueError(f"per-bar returns must be one-dimensional, got shape {r.shape}")
    if not np.isfinite(r).all():
        raise ValueError("per-bar returns must be finite numbers")
    length = r.size // blocks
    out = np.empty((blocks + 1, 5))
    _power_sums(r[:blocks * length].reshape(blocks, length), out[:blocks])
    _power_sums(r[blocks * length:].reshape(1, -1), out[blocks:])
    return out


def curve_block_sums(equity: object, blocks: int = 16) -> np.ndarray:
    """:func:`block_sums` of the per-bar returns of an equity curve.

    The returns are ``quorvane.stats.bar_returns(equity)`` (the curve starts
    from 1), read in one compiled pass without their array: what a sweep's
    worker computes beside each row.  Equal to ``block_sums(bar_returns(
    equity), blocks)`` but for the order of summation.

    Args:
        equity: The equity at each close.
        blocks: The number of blocks, even and at least 2.

    Returns:
        A ``(blocks + 1, 5)`` float array, as :func:`block_sums` gives it.

    Raises:
        ValueError: A curve that is not one-dimensional, or whose returns
            are not finite.
    """
    from quorvane import _kernels

    _check_blocks(blocks)
    curve = np.ascontiguousarray(equity, dtype=np.float64)
    if curve.ndim != 1:
        raise ValueError(f"an equity curve must be one-dimensional, got shape {curve.shape}")
    out = np.empty((blocks + 1, 5))
    _kernels.curve_block_sums(curve, int(blocks), out.reshape(-1))
    if not np.isfinite(out).all():
        raise ValueError("per-bar returns must be finite numbers")
    return out


def _power_sums(rows: np.ndarray, out: np.ndarray) -> None:
    # One square of the returns serves the three higher sums.
    square = rows * rows
    out[:, 0] = rows.shape[1]
    out[:, 1] = rows.sum(axis=1)
    out[:, 2] = square.sum(axis=1)
    out[:, 3] = np.einsum("ij,ij->i", square, rows)
    out[:, 4] = np.einsum("ij,ij->i", square, square)


def moments(totals: object) -> Moments:
    """The whole-sample moments of per-bar returns from their sums.

    Skewness needs three returns and kurtosis four; both are NaN without
    dispersion, as is the standard deviation.

    Args:
        totals: Sums ``(count, sum r, ..., sum r**4)`` along the last axis:
            one trial's block sums added up (``block_sums(r).sum(axis=0)``),
            or several trials' at once.

    Returns:
        The :class:`Moments`, each an array of the shape of ``totals``
        without its last axis.
    """
    sums = np.asarray(totals, dtype=np.float64)
    n, s1, s2, s3, s4 = np.moveaxis(sums, -1, 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = s1 / n
        m2 = s2 - s1 * mean  # sums of the 2nd, 3rd and 4th central powers
        m3 = s3 - 3 * mean * s2 + 2 * n * mean**3
        m4 = s4 - 4 * mean * s3 + 6 * mean**2 * s2 - 3 * n * mean**4
        m2 = np.where(np.isnan(_sharpe(n, s1, s2)), np.nan, m2)
        sd = np.sqrt(m2 / (n - 1))
        skewness = np.where(n < 3, np.nan, n * np.sqrt(n - 1) / (n - 2) * m3 / m2**1.5)
        excess = ((n + 1) * n * (n - 1) * m4 / ((n - 2) * (n - 3) * m2**2)
                  - 3 * (n - 1) ** 2 / ((n - 2) * (n - 3)))
        kurtosis = np.where(n < 4, np.nan, excess + 3)
    return Moments(n, mean, sd, skewness, kurtosis)


def sharpe_ratios(totals: object) -> np.ndarray:
    """Per-bar Sharpe ratios (mean / sd) from sums.

    Args:
        totals: Sums ``(count, sum r, sum r**2, ...)`` along the last axis.

    Returns:
        The ratios, an array of the shape of ``totals`` without its last
        axis, NaN where undefined.
    """
    sums = np.asarray(totals, dtype=np.float64)
    return _sharpe(sums[..., 0], sums[..., 1], sums[..., 2])


def _sharpe(n: np.ndarray, s1: np.ndarray, s2: np.ndarray) -> np.ndarray:
    ratio = _raw_sharpe(n, s1, s2)
    ratio[~(np.abs(ratio) < _FLAT) | (n < 2)] = np.nan
    return ratio


def _raw_sharpe(n: np.ndarray, s1: np.ndarray, s2: np.ndarray) -> np.ndarray:
    # In place: the cross-validation runs this on millions of sums.  Constant
    # returns leave a variance of rounding noise (or below zero), hence a
    # ratio beyond _FLAT (or NaN): undefined, which the callers decide.
    with np.errstate(divide="ignore", invalid="ignore"):
        mean: np.ndarray = np.divide(s1, n, out=np.empty(np.broadcast(s1, n).shape))
        spread = np.multiply(s1, mean, out=np.empty_like(mean))
        np.subtract(s2, spread, out=spread)
        spread /= n - 1
        np.sqrt(spread, out=spread)
        np.divide(mean, spread, out=mean)
    return mean


# -- the deflated Sharpe ratio -----------------------------------------------------

def expected_max_sharpe(trials: int, sharpe_sd: float) -> float:
    """The hurdle SR0: the Sharpe ratio the best of ``trials`` skill-less trials
    would show, given the standard deviation of the trials' Sharpe ratios.

    ``SR0 = sd * ((1 - g) * Z(1 - 1/N) + g * Z(1 - 1/(N e)))``, ``g`` the
    Euler-Mascheroni constant and ``Z`` the inverse normal distribution.

    Args:
        trials: ``N``, the number of trials, at least two.
        sharpe_sd: The standard deviation of the trials' per-bar Sharpe
            ratios.

    Returns:
        SR0, a per-bar Sharpe ratio.

    Raises:
        ValueError: Fewer than two trials.
    """
    if trials < 2:
        raise ValueError(f"the hurdle needs at least two trials, got {trials}")
    return sharpe_sd * ((1 - _EULER_GAMMA) * _NORMAL.inv_cdf(1 - 1 / trials)
                        + _EULER_GAMMA * _NORMAL.inv_cdf(1 - 1 / (trials * math.e)))


def deflated_sharpe_ratio(sharpe: float, *, observations: int, skewness: float,
                          kurtosis: float, trials: int, sharpe_sd: float) -> float | None:
    """The probability that a winner's true Sharpe ratio exceeds the hurdle of
    its search.

    ``Phi((SR - SR0) * sqrt(T - 1) / sqrt(1 - skew * SR + (kurtosis - 1) / 4 * SR**2))``
    with ``SR0`` from :func:`expected_max_sharpe`.

    Args:
        sharpe: ``SR``, the winner's per-bar Sharpe ratio.
        observations: ``T``, the number of its per-bar returns.
        skewness: The skewness of its returns.
        kurtosis: Their kurtosis (not excess: 3 for a normal distribution).
        trials: The number of trials of the search.
        sharpe_sd: The standard deviation of all trials' per-bar Sharpe
            ratios.

    Returns:
        The probability, from 0 to 1; None where it is undefined (fewer
        than two trials or observations, a figure that is not a number, or a
        variance term that is not positive: extreme skewness against a
        large Sharpe ratio).
    """
    if trials < 2 or observations < 2:
        return None
    figures = (sharpe, skewness, kurtosis, sharpe_sd)
    if not all(math.isfinite(value) for value in figures):
        return None
    hurdle = expected_max_sharpe(trials, sharpe_sd)
    spread = 1 - skewness * sharpe + (kurtosis - 1) / 4 * sharpe**2
    if not spread > 0:
        return None
    return float(_NORMAL.cdf((sharpe - hurdle) * math.sqrt(observations - 1) / math.sqrt(spread)))


def deflated_sharpe(sums: object, winner: int | None = None) -> float | None:
    """The deflated Sharpe ratio of a search.

    Args:
        sums: The trials' :func:`block_sums`, an array ``(trials, rows, 5)``.
        winner: The index of the trial to judge; by default the one with the
            highest Sharpe ratio (the first on ties).

    Returns:
        :func:`deflated_sharpe_ratio` of the winner; None with fewer than two
        trials or where any trial's Sharpe ratio is undefined.
    """
    totals = _trial_sums(sums).sum(axis=1)
    trials = totals.shape[0]
    sharpe = sharpe_ratios(totals)
    if trials < 2 or np.isnan(sharpe).any():
        return None
    if winner is None:
        winner = int(np.argmax(sharpe))
    best = moments(totals[winner])
    return deflated_sharpe_ratio(
        float(sharpe[winner]), observations=int(best.observations), skewness=float(best.skewness),
        kurtosis=float(best.kurtosis), trials=trials, sharpe_sd=float(np.std(sharpe, ddof=1)))


# -- the probability of backtest overfitting ---------------------------------------

def pbo(sums: object) -> float | None:
    """The probability of backtest overfitting of a search, by combinatorially
    symmetric cross-validation over its trials' :func:`block_sums`.

    For every way of choosing half the blocks as in-sample, the trial with
    the best in-sample Sharpe ratio (the first on ties) is ranked out of
    sample among all trials (1 the worst, average ranks for ties);
    ``w = rank / (trials + 1)`` and the logit ``ln(w / (1 - w))``.  The
    probability is the share of the choices whose logit is at or below 0:
    the in-sample winner did no better than the median out of sample.

    Args:
        sums: The trials' :func:`block_sums`, an array
            ``(trials, blocks + 1, 5)``; the rows beyond the last whole block
            take no part.

    Returns:
        The probability, from 0 to 1; None with fewer than two trials, or
        where some trial's Sharpe ratio is undefined on some half (too few
        bars for the blocks, a trial that is flat on half the blocks).
    """
    trial_sums = _trial_sums(sums)
    trials, blocks = trial_sums.shape[0], trial_sums.shape[1] - 1
    _check_blocks(blocks)
    if trials < 2:
        return None
    # Identical trials (a parameter that changes nothing) must tie exactly,
    # whatever order the matrix product sums in: compute each distinct one once.
    halves = trial_sums[:, :blocks, :3]
    distinct, inverse = np.unique(halves, axis=0, return_inverse=True)
    which = None if distinct.shape[0] == trials else inverse.reshape(-1)
    if which is None:
        distinct = halves  # the usual case: no copy back to the trials' order
    # Planes of counts, sums and sums of squares, each (blocks, distinct):
    # contiguous rows keep numpy's loops long.
    planes = np.ascontiguousarray(distinct.transpose(2, 1, 0))
    total = planes.sum(axis=1, keepdims=True)
    choices = _choices(blocks)
    chunk = max(1, _CHUNK // (3 * planes.shape[2]))
    at_or_below = 0
    for start in range(0, choices.shape[0], chunk):
        # A product with 0/1 weights: ten times faster than adding gathered blocks.
        inside = choices[start:start + chunk] @ planes
        sharpe_in = _half_sharpe(inside)
        sharpe_out = _half_sharpe(np.subtract(total, inside, out=inside))
        if sharpe_in is None or sharpe_out is None:
            return None
        if which is not None:
            sharpe_in, sharpe_out = sharpe_in[:, which], sharpe_out[:, which]
        at_or_below += _at_or_below_median(sharpe_in, sharpe_out)
        at_or_below += _at_or_below_median(sharpe_out, sharpe_in)
    return float(at_or_below / (2 * choices.shape[0]))


@functools.lru_cache(maxsize=4)
def _choices(blocks: int) -> np.ndarray:
    """The in-sample halves as rows of 0/1 weights over the blocks: every half
    with block 0, since the complement of each is the choice mirrored."""
    half = blocks // 2
    others = np.array(list(itertools.combinations(range(1, blocks), half - 1)),
                      dtype=np.intp).reshape(-1, half - 1)
    choices = np.zeros((others.shape[0], blocks))
    choices[:, 0] = 1.0
    np.put_along_axis(choices, others, 1.0, axis=1)
    choices.flags.writeable = False
    return choices


def _half_sharpe(sums: np.ndarray) -> np.ndarray | None:
    """Per-bar Sharpe ratios from planes of counts, sums and sums of squares;
    None if any is undefined."""
    n, s1, s2 = sums
    if n.min() < 2:
        return None
    sharpe = _raw_sharpe(n, s1, s2)
    # Two reductions instead of a mask; NaN makes both comparisons false.
    return sharpe if sharpe.max() < _FLAT and sharpe.min() > -_FLAT else None


def _at_or_below_median(train: np.ndarray, test: np.ndarray) -> int:
    """How many rows' in-sample winner ranks at or below the middle out of sample."""
    trials = train.shape[1]
    chosen = test[np.arange(test.shape[0]), np.argmax(train, axis=1)][:, None]
    # Twice the average rank, kept in integers: logit <= 0 iff 2 * rank <= trials + 1.
    twice_rank = 2 * np.count_nonzero(test < chosen, axis=1) \
        + np.count_nonzero(test == chosen, axis=1) + 1
    return int(np.count_nonzero(twice_rank <= trials + 1))


def _trial_sums(sums: object) -> np.ndarray:
    array = np.asarray(sums, dtype=np.float64)
    if array.ndim != 3 or array.shape[2] != 5 or array.shape[1] < 1:
        raise ValueError("expected the block sums of each trial, an array (trials, rows, 5); "
                         f"got shape {array.shape}")
    return array


def _check_blocks(blocks: object) -> None:
    if isinstance(blocks, bool) or not isinstance(blocks, (int, np.integer)) \
            or blocks < 2 or blocks % 2:
        raise ValueError(f"the number of blocks must be an even number of at least 2, "
                         f"got {blocks!r}")
