"""The deflated Sharpe ratio and the probability of backtest overfitting: the
paper's example, ffn as an independent oracle on the returns of a real sweep,
a plain loop over every choice of blocks, and the undefined cases."""

import itertools
import math

import numpy as np
import pandas as pd
import pytest

from quorvane.backtest import run_strategy
from quorvane.data import read_bars, sample_csv
from quorvane.overfitting import (block_sums, deflated_sharpe, deflated_sharpe_ratio, moments,
                                  pbo)
from quorvane.strategy_loader import load_strategy

ffn = pytest.importorskip("ffn")


@pytest.fixture(scope="module")
def sweep_returns():
    """Per-bar returns of a real sweep on the sample: one column per combination,
    two of which are identical (a stop that never matters makes such pairs)."""
    bars = read_bars(sample_csv())
    columns = {}
    for fast, slow in [(5, 20), (5, 30), (10, 20), (10, 30), (15, 40), (20, 50), (8, 21)]:
        strategy = load_strategy("dual_sma_momentum", fast_period=fast, slow_period=slow)
        columns[f"{fast}/{slow}"] = run_strategy(strategy, bars, commission=5).returns
    for period in (10, 20, 30):
        strategy = load_strategy("sma_momentum", ma_period=period)
        columns[f"sma{period}"] = run_strategy(strategy, bars, commission=5).returns
    columns["copy"] = columns["10/20"]
    return pd.DataFrame(columns)


def all_sums(frame, blocks):
    return np.stack([block_sums(frame[name].to_numpy(), blocks) for name in frame])


def test_the_papers_example():
    # Annualised SR 2.5 over 1,250 daily returns (250 a year), skew -3,
    # kurtosis 10, 100 trials whose annualised SRs have variance 0.5.
    value = deflated_sharpe_ratio(2.5 / math.sqrt(250), observations=1250, skewness=-3,
                                  kurtosis=10, trials=100, sharpe_sd=math.sqrt(0.5 / 250))
    assert round(value, 4) == 0.9004


@pytest.mark.parametrize("blocks", [10, 6])  # 400 bars: 6 leaves 4 rows out
def test_pbo_equals_ffn_on_a_real_sweep(sweep_returns, blocks):
    expected = ffn.core.calc_prob_backtest_overfitting(sweep_returns, n_blocks=blocks)
    assert pbo(all_sums(sweep_returns, blocks)) == pytest.approx(expected, abs=1e-12)


def test_deflated_sharpe_equals_ffn_on_a_real_sweep(sweep_returns):
    sharpe = (sweep_returns.mean() / sweep_returns.std()).to_numpy()
    winner = sweep_returns.columns[int(np.argmax(sharpe))]
    expected = ffn.core.calc_deflated_sharpe_ratio(sweep_returns[winner], sharpe, nperiods=252,
                                                   annualized_trials=False)
    assert 0.01 < expected < 0.999  # a figure that tells something, not a saturated one
    assert deflated_sharpe(all_sums(sweep_returns, 16)) == pytest.approx(expected, rel=1e-9)


def plain_pbo(frame, blocks):
    """The definition, one choice of blocks at a time."""
    rows = len(frame) // blocks * blocks
    cut = np.array_split(frame.to_numpy()[:rows], blocks)
    trials = frame.shape[1]
    logits = []
    for inside in itertools.combinations(range(blocks), blocks // 2):
        train = np.concatenate([cut[j] for j in inside])
        test = np.concatenate([cut[j] for j in range(blocks) if j not in inside])
        score_in, score_out = ([np.mean(half[:, i]) / np.std(half[:, i], ddof=1)
                                for i in range(trials)] for half in (train, test))
        best = score_in.index(max(score_in))
        below = sum(s < score_out[best] for s in score_out)
        equal = sum(s == score_out[best] for s in score_out)
        rank = below + (equal + 1) / 2
        w = rank / (trials + 1)
        logits.append(math.log(w / (1 - w)))
    return sum(logit <= 0 for logit in logits) / len(logits)


@pytest.mark.parametrize("seed", range(3))
def test_pbo_equals_a_plain_loop(seed):
    rng = np.random.default_rng(seed)
    # Coarse returns and a repeated column: ties in and out of sample.
    data = np.round(rng.normal(0.001 * seed, 0.01, (83, 5)), 3)
    data[:, 4] = data[:, 1]
    frame = pd.DataFrame(data)
    assert pbo(all_sums(frame, 8)) == pytest.approx(plain_pbo(frame, 8), abs=1e-15)


@pytest.mark.parametrize("n, blocks", [(1000, 16), (37, 4), (5, 2), (3, 2)])
def test_whole_sample_moments_from_block_sums_equal_pandas(n, blocks):
    returns = pd.Series(np.random.default_rng(n).standard_t(4, n) * 0.01 + 0.0005)
    sums = block_sums(returns.to_numpy(), blocks)
    assert sums.shape == (blocks + 1, 5) and sums[:, 0].sum() == n
    figures = moments(sums.sum(axis=0))
    expected = (returns.mean(), returns.std(), returns.skew(), returns.kurt() + 3)
    np.testing.assert_allclose(figures[1:], expected, rtol=1e-9, equal_nan=True)
    assert n > 3 or np.isnan(figures.kurtosis)


def test_undefined_sharpe_ratios_give_none():
    rng = np.random.default_rng(0)
    noise = [block_sums(rng.normal(0, 0.01, 400), 16) for _ in range(3)]
    flat = block_sums(np.zeros(400), 16)
    constant = block_sums(np.full(400, 0.001), 16)
    # Flat in the first half only: defined over the whole sample, not on every half.
    late = block_sums(np.r_[np.zeros(200), rng.normal(0, 0.01, 200)], 16)
    for odd in (flat, constant):
        assert pbo([*noise, odd]) is None and deflated_sharpe([*noise, odd]) is None
    assert pbo([*noise, late]) is None and deflated_sharpe([*noise, late]) is not None
    assert pbo(noise[:1]) is None and deflated_sharpe(noise[:1]) is None
    too_short = [block_sums(rng.normal(0, 0.01, 15), 16) for _ in range(3)]  # no whole block
    assert pbo(too_short) is None



@pytest.mark.parametrize("n, blocks, wiped", [(1003, 16, False), (500, 4, True), (7, 16, False)])
def test_block_sums_of_an_equity_curve_equal_those_of_its_returns(n, blocks, wiped):
    from quorvane.overfitting import curve_block_sums
    from quorvane.stats import bar_returns

    equity = np.cumprod(1 + np.random.default_rng(n).normal(0, 0.02, n))
    if wiped:
        equity[n // 2:] = 0.0  # a wiped-out account earns nothing more
    np.testing.assert_allclose(curve_block_sums(equity, blocks),
                               block_sums(bar_returns(equity), blocks), rtol=1e-12, atol=1e-15)
