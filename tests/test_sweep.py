"""Parameter sweeps: every row equals a single run, the grid syntax, refused
combinations, specifications that cannot load, and Ctrl-C."""

import collections
import json
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest

import quorvane
from quorvane.cli import main
from quorvane.sweeps.grid import GridError, combinations, parse_grid

# The data reader leaves its thread pool running; the workers fork after it.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")

# A user strategy whose signal depends on its parameters and on its symbol,
# so that a row computed with the wrong ones shows.
CROSSING = textwrap.dedent('''\
    import os
    import time
    import numpy as np
    from quorvane.strategy import Strategy

    class Crossing(Strategy):
        """Long above the average of `period` closes, short below, `size` of the account."""

        def __init__(self, symbols=None, *, period=5, size=1.0, pause=0.0):
            if period < 2:
                raise ValueError(f"period must be at least 2, got {period}")
            super().__init__(symbols, period=period, size=size, pause=pause)

        def generate_signals(self, bars):
            if self.params["pause"]:
                open(os.environ["SWEEP_STARTED"], "a").close()
                time.sleep(self.params["pause"])
            close = bars["close"]
            side = np.sign(close - close.rolling(self.params["period"]).mean()).fillna(0.0)
            half = 0.5 if self.symbols == ["BBB"] else 1.0
            return (side * self.params["size"] * half).to_numpy()
    ''')


def _bars(n, seed):
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, n)))
    frame = pd.DataFrame({"date": pd.bdate_range("2020-01-01", periods=n).strftime("%Y-%m-%d"),
                          "open": close, "high": close * 1.01, "low": close * 0.99,
                          "close": close, "volume": 1000.0})
    return frame


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sweep")
    (folder / "crossing.py").write_text(CROSSING)
    (folder / "universe").mkdir()
    for seed, symbol in enumerate(["AAA", "BBB"]):
        _bars(250, seed).to_csv(folder / "universe" / f"{symbol}.csv", index=False)
    return folder


def cli(*args, cwd, env=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "quorvane", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=120,
                          env={**os.environ, **(env or {})}, **kwargs)


# -- every row is a single run --------------------------------------------------------

def test_out_dash_pipes_the_csv_alone(work):
    """--out - writes to standard output what --out FILE.csv writes to the
    file, and nothing else; the summary goes to standard error."""
    args = ["sweep", "crossing.py", "--grid", "period=3,6", "--data", "universe", "--jobs", "1"]
    piped = cli(*args, "--out", "-", cwd=work)
    filed = cli(*args, "--out", "piped.csv", cwd=work)
    assert piped.returncode == filed.returncode == 0, piped.stderr + filed.stderr
    assert piped.stdout == (work / "piped.csv").read_text()
    assert piped.stderr == filed.stdout.replace("rows: piped.csv\n", "")


def test_rows_equal_single_runs_whatever_the_jobs(work, monkeypatch, capsys):
    """Each row of `sweep --jobs 2` holds the statistics of `run --json` with
    the same parameters and symbol, costs included, and each portfolio row
    those of `run` on the whole data (the strategy sees its symbols: both
    differ); one job gives the same table."""
    out = work / "rows.csv"
    done = cli("sweep", "crossing.py", "--grid", "period=3:9:3", "--grid", "size=0.5,1.0",
               "--data", "universe", "--commission", "5", "--slippage", "2", "--jobs", "2",
               "--out", out, "--sort", "total_return", cwd=work)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # no progress bar when standard error is not a terminal
    rows = pd.read_csv(out)
    assert len(rows) == 3 * 2 * 3
    assert rows["total_return"].is_monotonic_decreasing
    assert set(zip(rows["symbol"], rows["period"], rows["size"])) == {
        (s, p, z) for s in ("AAA", "BBB", "portfolio") for p in (3, 6, 9) for z in (0.5, 1.0)}
    monkeypatch.chdir(work)
    for row in rows.itertuples():
        which = [] if row.symbol == "portfolio" else ["--symbols", row.symbol]
        status = main(["run", "crossing.py", "--param", f"period={row.period}",
                       "--param", f"size={row.size}", "--data", "universe", *which,
                       "--commission", "5", "--slippage", "2", "--json"])
        assert status == 0
        stats = json.loads(capsys.readouterr().out)["stats"]
        for name, value in stats.items():
            got = getattr(row, name)
            if value is None:
                assert np.isnan(got), name
            else:
                # CSV keeps every digit of a float (repr), so equal means equal.
                assert got == value, (name, row)

    serial = quorvane.sweep(str(work / "crossing.py"), {"period": "3:9:3", "size": [0.5, 1.0]},
                            work / "universe", commission=5, slippage=2, jobs=1,
                            sort="total_return")
    pd.testing.assert_frame_equal(serial.drop(columns="error"),
                                  rows.drop(columns="error"), check_dtype=False)


def test_stops_in_the_grid_vary_the_account_and_rows_still_equal_single_runs(work, monkeypatch,
                                                                           capsys):
    _bars(300, 9).to_csv(work / "index.csv", index=False)
    account = ["--fill", "next-open", "--trailing-stop", "0.05", "--rebalance", "7",
               "--commission", "3", "--bars-per-year", "260", "--benchmark", "index.csv"]
    out = work / "stops.csv"
    done = cli("sweep", "crossing.py", "--grid", "stop_loss=0.01,0.03,None", "--grid",
               "period=4,8", "--data", "universe", "--symbols", "AAA", *account, "--jobs", "1",
               "--out", out, cwd=work)
    assert done.returncode == 0, done.stderr
    rows = pd.read_csv(out)
    assert len(rows) == 6 and rows["error"].isna().all()
    assert rows.groupby("period")["total_return"].nunique().eq(3).all()  # the stops count
    monkeypatch.chdir(work)
    for row in rows.itertuples():
        stop = [] if np.isnan(row.stop_loss) else ["--stop-loss", str(row.stop_loss)]
        assert main(["run", "crossing.py", "--param", f"period={row.period}", "--data",
                     "universe", "--symbols", "AAA", *account, *stop, "--json"]) == 0
        stats = json.loads(capsys.readouterr().out)["stats"]
        assert stats["bars_per_year"] == 260 and stats["beta"] is not None
        assert {name: getattr(row, name) for name in stats} == pytest.approx(stats, nan_ok=True)


@pytest.mark.parametrize("grid, options, message", [
    ({"stop_loss": [0.01, -1]}, {}, "stop_loss must be a positive fraction"),
    ({"stop_loss": [0.01]}, {"stop_loss": 0.02}, "stop_loss is both in the grid"),
    ({"period": [3]}, {"fill": "later"}, "fill must be"),
])
def test_account_options_are_checked_before_any_row(work, grid, options, message):
    with pytest.raises(quorvane.sweeps.SweepError, match=message):
        quorvane.sweep(str(work / "crossing.py"), grid, work / "universe", jobs=1, **options)


COUNTED = textwrap.dedent('''\
    import os
    from quorvane.strategy import Strategy

    def note(what):
        with open(os.environ["SWEEP_LOG"], "a") as log:
            log.write(f"{what} {os.getpid()}\\n")

    note("file")

    class Counted(Strategy):
        def generate_signals(self, bars):
            note("row")
            return [self.params["size"]] * len(bars)
    ''')


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_strategy_file_runs_once_per_process_not_once_per_row(work, tmp_path, jobs):
    (tmp_path / "counted.py").write_text(COUNTED)
    log = tmp_path / "log"
    done = cli("sweep", "counted.py", "--grid", "size=0.1,0.2,0.3,0.4,0.5",
               "--data", work / "universe", "--jobs", jobs, "--no-lookahead-check",
               cwd=tmp_path, env={"SWEEP_LOG": str(log)})
    assert done.returncode == 0, done.stderr
    notes = [line.split() for line in log.read_text().splitlines()]
    files = collections.Counter(pid for what, pid in notes if what == "file")
    rows = [pid for what, pid in notes if what == "row"]
    # Each combination on each symbol, and on each for the portfolio: the
    # strategy sees its symbols, so the portfolio's positions are its own.
    assert len(rows) == 5 * 2 * 2
    # Once in each worker that computed rows, and once in the calling
    # process, which checks that the strategy loads before the sweep.
    assert set(files.values()) == {1} and set(rows) <= set(files)
    assert len(files) == len(set(rows)) + (jobs > 1)


# -- the grid -------------------------------------------------------------------------

@pytest.mark.parametrize("text, values", [
    ("5:100:5", list(range(5, 101, 5))),
    ("5:12:5", [5, 10]),                 # 12 is not reached: not included
    ("10:1:-3", [10, 7, 4, 1]),
    ("1:3", [1, 2, 3]),
    ("7:7:1", [7]),
    ("10,20,50", [10, 20, 50]),
    ("0.5, 1.0", [0.5, 1.0]),
    ("'a','b'", ["a", "b"]),
    ("fast,slow", ["fast", "slow"]),     # plain words stay text, as with --param
    ("'a,b',[1,2],None", ["a,b", [1, 2], None]),
])
def test_grid_values(text, values):
    assert parse_grid([f"k={text}"]) == {"k": values}


@pytest.mark.parametrize("item, message", [
    ("k=5:1:1", "holds no value"),
    ("k=1:5:0", "step of 1:5:0 is zero"),
    ("k=1,,2", "empty value"),
    ("k", "expects KEY=VALUES"),
    ("symbols=1,2", "symbols"),
    ("2k=1", "identifier"),
])
def test_grid_mistakes(item, message):
    with pytest.raises(GridError, match=message):
        parse_grid([item])


def test_combinations_are_the_product_in_grid_order():
    grid = parse_grid(["a=1:2", "b='x','y','z'"])
    assert combinations(grid) == [{"a": a, "b": b} for a in (1, 2) for b in "xyz"]


# -- refusals -------------------------------------------------------------------------

def test_an_in_process_sweep_leaves_the_callers_import_state_as_it_was(tmp_path, monkeypatch):
    # The strategy imports a helper beside it: the folder must be importable
    # during each sweep, and gone from sys.path after it.
    (tmp_path / "levels.py").write_text("PERIOD_FLOOR = 2\n")
    (tmp_path / "crossing.py").write_text("import levels\n" + CROSSING)
    bars = _bars(120, 3).set_index("date")
    bars.index = pd.DatetimeIndex(bars.index)
    monkeypatch.setattr(sys, "dont_write_bytecode", False)
    path = list(sys.path)
    for _ in range(2):
        sys.modules.pop("levels", None)
        table = quorvane.sweep(str(tmp_path / "crossing.py"), {"period": [3, 5]}, bars, jobs=1)
        assert table["error"].isna().all()
        assert (sys.path, sys.dont_write_bytecode) == (path, False)
    assert not (tmp_path / "__pycache__").exists()


def test_a_refused_combination_is_a_row_with_its_error(work):
    before = set(threading.enumerate())
    table = quorvane.sweep(str(work / "crossing.py"), {"period": [1, 4]}, work / "universe",
                           jobs=2)
    # No thread outlives the sweep: the next one would fork its workers beside it.
    assert set(threading.enumerate()) <= before
    assert len(table) == 2 * 3  # two symbols and their portfolio
    refused = table[table["period"] == 1]
    assert list(refused["error"]) == ["ValueError: period must be at least 2, got 1"] * 3
    assert refused["sharpe"].isna().all() and refused["total_return"].isna().all()
    assert list(table.index[table["period"] == 1]) == [3, 4, 5]  # failed rows sort last
    assert table.attrs["overfitting"]["AAA"] == {"trials": 1, "deflated_sharpe": None,
                                                 "pbo": None}
    assert table.loc[table["period"] == 4, "error"].isna().all()


@pytest.mark.parametrize("spec, args, message", [
    ("no_such_strategy", [], "Strategy 'no_such_strategy' not found"),
    ("missing.py", [], "strategy file not found: missing.py"),
    ("crossing.py", ["--grid", "perod=3,4"], "unexpected keyword argument 'perod'"),
    ("crossing.py", ["--sort", "sharp"], "cannot sort by 'sharp'"),
    ("crossing.py", ["--out", "rows.xlsx"], "must end in .csv or .parquet"),
])
def test_a_sweep_that_cannot_start_stops_with_one_line(work, spec, args, message):
    done = cli("sweep", spec, "--grid", "period=3,4", "--out", "never.csv", *args,
               "--data", "universe", cwd=work)
    assert done.returncode == 2
    assert done.stdout == ""
    assert len(done.stderr.splitlines()) == 1 and message in done.stderr, done.stderr
    assert not (work / "never.csv").exists()


def test_ctrl_c_stops_the_workers_with_status_130(work, tmp_path):
    started = tmp_path / "started"
    sweep = subprocess.Popen(
        [sys.executable, "-m", "quorvane", "sweep", "crossing.py", "--grid", "period=2:40",
         "--param", "pause=30", "--data", "universe", "--jobs", "2"],
        cwd=work, env={**os.environ, "SWEEP_STARTED": str(started)}, start_new_session=True,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        # As from a terminal: a shell's background job would hand down an
        # ignored SIGINT, and the program keeps what it is handed.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 60
    while not started.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert started.exists(), "no worker started a task"
    # As a terminal does: the signal goes to every process of the group.
    os.killpg(sweep.pid, signal.SIGINT)
    _, err = sweep.communicate(timeout=30)
    assert sweep.returncode == 130, err
    assert "interrupted" in err and "Traceback" not in err
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            os.killpg(sweep.pid, 0)  # a worker left in the group?
        except ProcessLookupError:
            break
        time.sleep(0.05)
    else:
        os.killpg(sweep.pid, signal.SIGKILL)
        pytest.fail("worker processes outlived the interrupted sweep")


@pytest.mark.parametrize("grids", [["period=3:9:3"], ["period=3:9:3", "size=0.5,1.0"]])
def test_parquet_rows_and_plot_of_one_or_two_parameters(work, tmp_path, grids):
    """--out .parquet keeps every row as the API computes it (whole-number
    statistics included, refused rows with their error); --plot draws a line
    or a heatmap."""
    out, image = tmp_path / "rows.parquet", tmp_path / "grid.png"
    args = [item for grid in grids for item in ("--grid", grid)]
    done = cli("sweep", "crossing.py", *args, "--data", "universe", "--out", out,
               "--plot", image, "--top", "3", cwd=work)
    assert done.returncode == 0, done.stderr
    assert image.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    grid = dict(item.split("=") for item in grids)
    expected = quorvane.sweep(str(work / "crossing.py"), grid, work / "universe", jobs=1)
    pd.testing.assert_frame_equal(pd.read_parquet(out), expected, check_dtype=False)
    # The summary, the header, three rows, the overfitting figures of two
    # symbols and their portfolio, then where the rows and the plot went.
    assert len(done.stdout.splitlines()) == 1 + 1 + 3 + 1 + 2 + 3 + 2


# -- judging the search ----------------------------------------------------------------

def test_json_overfitting_figures_are_those_of_the_rows_own_returns(work):
    """`sweep --json`: every row, and per symbol and for the portfolio the
    overfitting figures of the rows with enough trades, equal to those of the
    per-bar returns of single runs; the rows left out stay, unranked, last."""
    from quorvane.backtest import portfolio, run_strategy
    from quorvane.data import read_bars
    from quorvane.overfitting import block_sums, deflated_sharpe, pbo
    from quorvane.strategy_loader import load_strategy

    periods = list(range(3, 31, 3))
    done = cli("sweep", "sma_momentum", "--grid", "ma_period=3:30:3", "--data", "universe",
               "--commission", "4", "--pbo-blocks", "6", "--min-trades", "33", "--json",
               cwd=work)
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    assert set(document) == {"rows", "overfitting", "lookahead"}
    assert document["lookahead"] == {"AAA": None, "BBB": None}
    rows = document["rows"]
    assert len(rows) == 3 * len(periods)
    ranked = [row["ranked"] for row in rows]
    assert ranked == sorted(ranked, reverse=True) and not all(ranked) and any(ranked)
    bars = {symbol: read_bars(work / "universe" / f"{symbol}.csv") for symbol in ("AAA", "BBB")}
    returns: dict[str, list] = {"AAA": [], "BBB": [], "portfolio": []}
    for period in periods:
        runs = {symbol: run_strategy(load_strategy("sma_momentum", ma_period=period), frame,
                                     commission=4) for symbol, frame in bars.items()}
        runs["portfolio"] = portfolio(runs)
        for symbol, result in runs.items():
            counted = result.stats["trades"] >= 33
            row = next(r for r in rows if r["symbol"] == symbol and r["ma_period"] == period)
            assert row["ranked"] is counted and row["sharpe"] == result.stats["sharpe"]
            if counted:
                returns[symbol].append(block_sums(result.returns.to_numpy(), 6))
    for symbol, sums in returns.items():
        assert document["overfitting"][symbol] == {
            "trials": len(sums), "deflated_sharpe": pytest.approx(deflated_sharpe(sums), abs=1e-12),
            "pbo": pytest.approx(pbo(sums), abs=1e-12)}
        assert len(sums) >= 2 and document["overfitting"][symbol]["pbo"] is not None
