"""Indicator values against TA-Lib, the field's reference, to 1e-9 with the
same NaN positions; the places where the two differ by design; input rules."""

import numpy as np
import pandas as pd
import pytest

from quorvane.indicators import bollinger_bands, ema, macd, rolling_vwap, rsi, sma

talib = pytest.importorskip("talib")


def walk(n=3000, seed=11, level=100.0, step=0.01):
    rng = np.random.default_rng(seed)
    return level * np.exp(np.cumsum(rng.normal(0, step, n)))


def assert_same(ours, theirs):
    assert isinstance(ours, np.ndarray) and ours.dtype == np.float64
    np.testing.assert_array_equal(np.isnan(ours), np.isnan(theirs))
    known = ~np.isnan(theirs)
    np.testing.assert_allclose(ours[known], theirs[known], rtol=1e-9,
                               atol=1e-9 * max(1.0, float(np.abs(theirs[known]).max(initial=0))))


SERIES = {
    "walk": walk(),
    "trend": walk(step=0.003) * np.linspace(1, 40, 3000),  # a level that moves a lot
    "leading_nan": np.concatenate([[np.nan] * 7, walk(500)]),
    "short": walk(12),
}


@pytest.mark.parametrize("values", SERIES.values(), ids=SERIES)
@pytest.mark.parametrize("period", [2, 5, 14, 30, 200])
def test_single_line_indicators_match_talib(values, period):
    assert_same(sma(values, period), talib.SMA(values, period))
    assert_same(ema(values, period), talib.EMA(values, period))
    assert_same(rsi(values, period), talib.RSI(values, period))
    upper, middle, lower = talib.BBANDS(values, period, 2.5, 2.5, 0)
    ours = bollinger_bands(values, period, 2.5)
    for mine, reference in zip(ours, (middle, upper, lower)):
        assert_same(mine, reference)


@pytest.mark.parametrize("values", SERIES.values(), ids=SERIES)
@pytest.mark.parametrize("periods", [(12, 26, 9), (2, 3, 2), (5, 5, 1), (3, 40, 7)])
def test_macd_matches_talib_including_where_it_starts(values, periods):
    for mine, reference in zip(macd(values, *periods), talib.MACD(values, *periods)):
        assert_same(mine, reference)


def test_series_in_arrays_out():
    values = pd.Series(walk(50), index=pd.date_range("2024-01-01", periods=50))
    assert_same(sma(values, 5), talib.SMA(values.to_numpy(), 5))
    assert_same(sma(list(values), 5), talib.SMA(values.to_numpy(), 5))


def test_long_series_still_match_talib():
    # Running sums and recurrences over a million values: rounding must not build up.
    values = walk(1_000_000, seed=5, step=0.001) * np.linspace(1, 3, 1_000_000)
    for period in (20, 5000):
        assert_same(sma(values, period), talib.SMA(values, period))
        upper, middle, lower = talib.BBANDS(values, period, 2.0, 2.0, 0)
        for mine, reference in zip(bollinger_bands(values, period), (middle, upper, lower)):
            assert_same(mine, reference)
    assert_same(ema(values, 20), talib.EMA(values, 20))
    assert_same(rsi(values, 14), talib.RSI(values, 14))
    for mine, reference in zip(macd(values), talib.MACD(values)):
        assert_same(mine, reference)


LAYOUTS = {
    "strided view": lambda v: np.repeat(v, 2)[::2],
    "big-endian": lambda v: v.astype(">f8"),
    "read-only": lambda v: np.frombuffer(v.tobytes()),
    "column of a 2-D frame": lambda v: pd.DataFrame({"a": v, "b": v})["b"],
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS)
def test_any_memory_layout_gives_the_values_of_a_plain_array(layout):
    values = walk(300)
    given = layout(values)
    for indicator in SINGLE.values():
        np.testing.assert_array_equal(indicator(given, 5), indicator(values, 5))
    np.testing.assert_array_equal(np.array(macd(given)), np.array(macd(values)))
    np.testing.assert_array_equal(np.array(bollinger_bands(given)), np.array(bollinger_bands(values)))


def test_window_sums_do_not_carry_rounding_error_across_the_series():
    # A running total over the whole series would keep the residue of 1e8.
    values = np.concatenate([np.full(5000, 1e8), np.full(5000, 0.1)])
    assert sma(values, 3)[-1] == pytest.approx(0.1, rel=1e-12)
    middle, upper, _ = bollinger_bands(values, 3)
    assert upper[-1] - middle[-1] == pytest.approx(0, abs=1e-12)


# -- where TA-Lib is not followed, on purpose ------------------------------------

def test_rsi_of_a_flat_market_is_50():
    # TA-Lib reports 0, as if the market were as oversold as can be.
    assert rsi(np.full(10, 5.0), 3)[3:].tolist() == [50.0] * 7


def test_bollinger_bands_keep_small_deviations():
    # TA-Lib sets a deviation to 0 when the variance is below 1e-8.
    values = 1.1 + 1e-5 * np.sin(np.arange(100.0))
    middle, upper, _ = bollinger_bands(values, 20, 2.0)
    expected = 2 * pd.Series(values).rolling(20).std(ddof=0).to_numpy()
    np.testing.assert_allclose((upper - middle)[19:], expected[19:], rtol=1e-6)


def test_rolling_vwap_weights_by_volume_and_skips_windows_without_volume():
    # (10*1 + 20*3) / 4, (20*3 + 30*0) / 3, no volume, (40*0 + 50*2) / 2
    np.testing.assert_array_equal(rolling_vwap([10, 20, 30, 40, 50], [1, 3, 0, 0, 2], 2),
                                  [np.nan, 17.5, 20, np.nan, 50])


# -- input rules -------------------------------------------------------------------

SINGLE = {
    "sma": lambda v, p: sma(v, p),
    "ema": lambda v, p: ema(v, p),
    "rsi": lambda v, p: rsi(v, p),
    "macd": lambda v, p: macd(v, p, p, p)[1],
    "bollinger": lambda v, p: bollinger_bands(v, p)[2],
    "vwap": lambda v, p: rolling_vwap(v, [1] * len(v), p),
}


@pytest.mark.parametrize("indicator", SINGLE.values(), ids=SINGLE)
def test_too_short_a_series_is_all_nan(indicator):
    assert indicator([], 3).shape == (0,)
    assert np.isnan(indicator([1.0, 2.0], 3)).all()


@pytest.mark.parametrize("indicator", SINGLE.values(), ids=SINGLE)
@pytest.mark.parametrize("period", [0, -2, 2.0, True, "3", None])
def test_unusable_periods_are_refused(indicator, period):
    with pytest.raises(ValueError, match=r"period must be an integer >= 1, got " + repr(period)):
        indicator([1.0, 2.0, 3.0], period)


@pytest.mark.parametrize("indicator", SINGLE.values(), ids=SINGLE)
def test_a_gap_after_the_first_number_is_refused(indicator):
    with pytest.raises(ValueError, match=r"\[2\] is nan"):
        indicator([1.0, 2.0, np.nan, 4.0, 5.0], 2)


def test_rolling_vwap_refuses_series_of_different_lengths():
    with pytest.raises(ValueError, match="same length, got 3 and 2"):
        rolling_vwap([1, 2, 3], [1, 1], 2)
