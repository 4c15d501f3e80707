"""Indicator values checked by hand on short series with small periods."""

import math

import pytest

from quorvane.indicators import bollinger_bands, ema, macd, rolling_vwap, rsi, sma

approx = pytest.approx


def test_sma_averages_the_last_period_values():
    assert sma([1, 2, 3, 4, 5, 6], 3) == [None, None, 2, 3, 4, 5]


def test_sma_of_a_long_series_does_not_carry_rounding_error_forward():
    # A running total would keep residue of the large values after they left the window.
    assert sma([1e8, 1e8, 1e8, 0.1, 0.1, 0.1], 3)[-1] == approx(0.1, rel=1e-12)


def test_ema_is_seeded_with_the_mean_of_the_first_period_values():
    # alpha = 2 / (3 + 1) = 0.5; seed (2 + 4 + 6) / 3 = 4; 4 + .5*(8-4) = 6; 6 + .5*(4-6) = 5
    assert ema([2, 4, 6, 8, 4], 3) == [None, None, 4, 6, 5]


def test_rsi_uses_wilder_smoothing():
    # changes +1 +1 -1 +2 -1; first averages 2/3 and 1/3 -> RS 2 -> 66.67;
    # then gain (2/3*2 + 2)/3 = 10/9, loss (1/3*2)/3 = 2/9 -> RS 5 -> 83.33;
    # then gain 20/27, loss 13/27 -> 2000/33.  (A plain 3-bar mean would give 50.)
    assert rsi([10, 11, 12, 11, 13, 12], 3) == [
        None, None, None, approx(200 / 3), approx(250 / 3), approx(2000 / 33)]


@pytest.mark.parametrize("closes, value", [
    ([1, 2, 3, 4], 100.0),   # no losses
    ([4, 3, 2, 1], 0.0),     # no gains
    ([5, 5, 5, 5], 50.0),    # no movement at all
])
def test_rsi_at_its_limits(closes, value):
    assert rsi(closes, 3)[-1] == value


def test_macd_line_signal_and_histogram():
    # fast EMA(2): 4.5, 7.5, 4.5, 9.5, 43/6; slow EMA(3): 6, 4.5, 8.25, 7.125
    # line: 1.5, 0, 1.25, 1/24; signal EMA(2) of the line: 0.75, 13/12, 7/18
    line, signal, histogram = macd([3, 6, 9, 3, 12, 6], 2, 3, 2)
    assert line == [None, None, approx(1.5), approx(0), approx(1.25), approx(1 / 24)]
    assert signal == [None, None, None, approx(0.75), approx(13 / 12), approx(7 / 18)]
    assert histogram == [None, None, None, approx(-0.75), approx(1 / 6), approx(-25 / 72)]


def test_bollinger_bands_use_the_population_deviation():
    middle, upper, lower = bollinger_bands([1, 2, 3, 5, 5, 5], 3, 2.0)
    # windows [1,2,3], [2,3,5], [3,5,5], [5,5,5]: variances 2/3, 14/9, 8/9, 0
    means = [2, 10 / 3, 13 / 3, 5]
    deviations = [math.sqrt(2 / 3), math.sqrt(14) / 3, math.sqrt(8) / 3, 0]
    assert middle[:2] == upper[:2] == lower[:2] == [None, None]
    assert middle[2:] == approx(means)
    assert upper[2:] == approx([m + 2 * d for m, d in zip(means, deviations)])
    assert lower[2:] == approx([m - 2 * d for m, d in zip(means, deviations)])


def test_rolling_vwap_weights_by_volume_and_skips_windows_without_volume():
    # (10*1 + 20*3) / 4, (20*3 + 30*0) / 3, no volume, (40*0 + 50*2) / 2
    assert rolling_vwap([10, 20, 30, 40, 50], [1, 3, 0, 0, 2], 2) == [
        None, 17.5, 20, None, 50]


def test_rolling_vwap_refuses_series_of_different_lengths():
    with pytest.raises(ValueError, match="same length, got 3 and 2"):
        rolling_vwap([1, 2, 3], [1, 1], 2)


SINGLE_SERIES = {
    "sma": lambda v, p: sma(v, p),
    "ema": lambda v, p: ema(v, p),
    "rsi": lambda v, p: rsi(v, p),
    "macd": lambda v, p: macd(v, p, p, p)[1],
    "bollinger": lambda v, p: bollinger_bands(v, p)[2],
    "vwap": lambda v, p: rolling_vwap(v, [1] * len(v), p),
}


@pytest.mark.parametrize("indicator", SINGLE_SERIES.values(), ids=SINGLE_SERIES)
def test_too_short_a_series_gives_one_none_per_value(indicator):
    assert indicator([], 3) == []
    assert indicator([1.0, 2.0], 3) == [None, None]


@pytest.mark.parametrize("indicator", SINGLE_SERIES.values(), ids=SINGLE_SERIES)
@pytest.mark.parametrize("period", [0, -2, 2.0, True, "3", None])
def test_unusable_periods_are_refused(indicator, period):
    with pytest.raises(ValueError, match=r"period must be an integer >= 1, got " + repr(period)):
        indicator([1.0, 2.0, 3.0], period)
