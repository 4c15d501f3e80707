"""A sweep on a Dask cluster started on the loopback interface gives the
same table as local processes."""

import numpy as np
import pandas as pd
import pytest

import quorvane

pytest.importorskip("distributed")
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")


def _universe():
    frames = {}
    for seed, symbol in enumerate(["AAA", "BBB", "CCC"]):
        rng = np.random.default_rng(seed)
        close = 50 * np.exp(np.cumsum(rng.normal(0, 0.015, 400)))
        index = pd.DatetimeIndex(pd.bdate_range("2021-01-04", periods=400), name="date")
        frames[symbol] = pd.DataFrame({"open": close, "high": close * 1.01,
                                       "low": close * 0.99, "close": close,
                                       "volume": 1e4}, index=index)
    return frames


def test_local_dask_cluster_gives_the_table_of_local_processes():
    data = _universe()
    grid = {"ma_period": "5:35:5"}
    local = quorvane.sweep("sma_momentum", grid, data, commission=3, jobs=2)
    on_dask = quorvane.sweep("sma_momentum", grid, data, commission=3, dask="local", jobs=2)
    assert len(local) == (3 + 1) * 7 and local["error"].isna().all()
    pd.testing.assert_frame_equal(on_dask, local)
