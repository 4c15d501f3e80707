"""``python -m quorvane``: its subcommands, the backtest report, the files it
writes, the plot and the error path, each run the way a user runs it, in a
subprocess."""

import io
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quorvane.cli.options import CliError, parse_params
from quorvane.cli.run import Progress
from quorvane.params import parse_literal

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "user_strategies" / "my_strategy.py"
BUILTIN_NAMES = ["sma_momentum", "dual_sma_momentum", "rsi_momentum", "macd_crossover",
                 "bollinger_mean_reversion", "vwap_reversion"]
ERROR_LINE = re.compile(r"python -m quorvane: error: .+")

# A strategy whose signals are a --param, so that a run has a known answer.
FIXED_SIGNALS = textwrap.dedent("""\
    import sys, warnings
    from quorvane.strategy import Strategy
    warnings.warn("loaded the fixed strategy")

    class FixedSignals(Strategy):
        '''Returns the signals it was given.'''
        def generate_signals(self, bars):
            if self.params.get("exit"):
                sys.exit(0)
            return self.params["signals"]
    """)
KNOWN_CSV = textwrap.dedent("""\
    Date,Open,High,Low,Close,Volume,Note
    2024-01-01,100,100,100,100,10,a
    2024-01-02,110,110,110,110,10,b
    2024-01-03,99,99,99,99,10,c
    2024-01-04,99,99,99,99,10,d
    2024-01-05,108.9,108.9,108.9,108.9,10,e
    """)


def cli(*args, cwd, python_args=()):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    return subprocess.run([sys.executable, *python_args, "-m", "quorvane", *map(str, args)],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=120)


@pytest.fixture
def work(tmp_path):
    """A directory holding the fixed-signal strategy and the known bars."""
    (tmp_path / "fixed.py").write_text(FIXED_SIGNALS)
    (tmp_path / "known.csv").write_text(KNOWN_CSV)
    return tmp_path


def report(stdout):
    return {key: value.strip() for key, value in
            (line.split(": ", 1) for line in stdout.splitlines() if ": " in line)}


# -- list ----------------------------------------------------------------------

def test_list_shows_every_name_with_class_source_and_status(tmp_path):
    result = cli("list", cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    rows = [line.split() for line in result.stdout.splitlines()]
    assert rows[0] == ["name", "class", "source", "status"]
    assert [row[0] for row in rows[1:]] == BUILTIN_NAMES
    assert rows[1][1:] == ["SMAMomentumStrategy", "built-in", "ok"]
    assert all(row[1].endswith("Strategy") and row[2:] == ["built-in", "ok"] for row in rows[1:])


# -- load ----------------------------------------------------------------------

def test_load_builtin_shows_class_and_all_parameters(tmp_path):
    result = cli("load", "SMA_Momentum", "--param", "ma_period=50", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "class: quorvane.trader_core.strategies.SMAMomentumStrategy",
        "symbols: (not used by this strategy)",
        "parameters:",
        "  ma_period = 50",
    ]


def test_load_file_passes_symbols_class_name_and_literal_params(tmp_path):
    strategy_dir = tmp_path / "strategies"
    strategy_dir.mkdir()
    shutil.copy(EXAMPLE, strategy_dir / "my_strategy.py")
    result = cli("load", "strategies/my_strategy.py", "--symbols", "OGDC, PSO",
                 "--class-name", "BreakoutStrategy", "--param", "lookback=5", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "class: strategy_module.BreakoutStrategy",
        "symbols: OGDC, PSO",
        "parameters:",
        "  lookback = 5",
    ]
    # Loading executes the file, but leaves no bytecode cache beside it.
    assert sorted(p.name for p in strategy_dir.iterdir()) == ["my_strategy.py"]


def test_load_module_path_from_the_current_directory(work):
    values = ["label=hello", "ratio=0.5", "flag=True", "text='20'", "items=[1, 2]", "none=None"]
    result = cli("load", "fixed.FixedSignals", *[a for v in values for a in ("--param", v)],
                 cwd=work)
    assert result.returncode == 0, result.stderr
    # The file's warning goes to standard error, as with run.
    assert result.stderr == "warning: UserWarning: loaded the fixed strategy\n"
    assert result.stdout.splitlines()[0] == "class: fixed.FixedSignals"
    assert result.stdout.splitlines()[-6:] == [
        "  label = 'hello'", "  ratio = 0.5", "  flag = True", "  text = '20'",
        "  items = [1, 2]", "  none = None"]


# -- run -----------------------------------------------------------------------

def run_json(*args, cwd):
    result = cli("run", *args, "--json", cwd=cwd)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout), result.stderr


def test_run_known_answer_on_a_data_file(work):
    # Fixed signals fit no cut of the bars: no look-ahead check.
    report, stderr = run_json("fixed.py", "--data", "known.csv", "--param", "signals=[1, -1, 0, 1, 1]",
                              "--no-lookahead-check", cwd=work)
    assert {key: report[key] for key in ("strategy", "params", "data", "bars", "start", "end")} == {
        "strategy": "FixedSignals", "params": {"signals": [1, -1, 0, 1, 1]}, "data": "known.csv",
        "bars": 5, "start": "2024-01-01", "end": "2024-01-05"}
    stats = report["stats"]
    assert stats["total_return"] == pytest.approx(0.331)
    assert (stats["trades"], stats["fills"], stats["max_drawdown"]) == (3, 4, 0.0)
    assert stats["turnover"] == pytest.approx(4 + 0.99 / 1.21)
    assert report["account"] == {"commission": 0.0, "slippage": 0.0, "fill": "close",
                                 "rebalance": 0, "stop_loss": None, "take_profit": None,
                                 "trailing_stop": None}
    assert report["benchmark"] == "buy_and_hold"
    assert stats["bars_per_year"] == 252 and "per_symbol" not in report
    # The strategy file's own warning goes to standard error, beside the results.
    assert stderr == "warning: UserWarning: loaded the fixed strategy\n"


def test_costs_lower_the_return_by_what_they_cost(work):
    free, _ = run_json("fixed.py", "--data", "known.csv", "--param", "signals=[1, 1, 1, 1, 0]",
                       cwd=work)
    paid, _ = run_json("fixed.py", "--data", "known.csv", "--param", "signals=[1, 1, 1, 1, 0]",
                       "--commission", "7", "--slippage", "3", cwd=work)
    # 10 bps of the 1.0 bought at 100 and of the 1.089 sold at 108.9
    assert paid["stats"]["costs"] == pytest.approx(0.001 + 0.001089)
    assert paid["stats"]["total_return"] == pytest.approx(0.089 - 0.001 - 0.001089)
    assert free["stats"]["total_return"] == pytest.approx(0.089)


def test_run_defaults_to_the_shipped_sample_with_a_readable_table(tmp_path):
    result = cli("run", "sma_momentum", "--param", "ma_period=20", cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    lines = report(result.stdout)
    assert lines["data"] == ("sample_daily.csv (shipped synthetic sample): sample_daily, 400 bars, "
                             "2023-01-02 to 2024-07-12")
    assert lines["annualised"] == "252 bars a year (daily bars, weekdays only)"
    assert lines["fills"] == "at the close, held until the target changes; no stops"
    table = result.stdout.split("\n\n", 1)[1]
    rows = {line.split()[0]: line.split()[1] for line in table.splitlines()}
    assert re.fullmatch(r"[+-]\d+\.\d\d%", rows["total_return"])
    assert rows["exposure"] == "95.25%"  # flat while the 20-bar average warms up


def test_a_folder_runs_as_an_equal_weight_portfolio_and_symbols_pick_from_it(work):
    data = work / "universe"
    data.mkdir()
    for symbol, scale in (("AAA", 1.0), ("BBB", 2.0), ("CCC", 3.0)):
        (data / f"{symbol}.csv").write_text(KNOWN_CSV.replace("100,", f"{100 * scale:g},"))
    report, _ = run_json("sma_momentum", "--param", "ma_period=2", "--data", data, cwd=work)
    assert sorted(report["per_symbol"]) == ["AAA", "BBB", "CCC"]
    assert report["per_symbol"]["AAA"]["bars"] == 5
    assert report["stats"]["trades"] == sum(s["stats"]["trades"]
                                            for s in report["per_symbol"].values())
    picked, _ = run_json("sma_momentum", "--param", "ma_period=2", "--data", data,
                         "--symbols", "CCC,AAA", cwd=work)
    assert list(picked["per_symbol"]) == ["CCC", "AAA"]
    one, _ = run_json("sma_momentum", "--param", "ma_period=2", "--data", data,
                      "--symbols", "BBB", cwd=work)
    assert one["stats"] == report["per_symbol"]["BBB"]["stats"]
    result = cli("run", "sma_momentum", "--data", data, "--symbols", "ZZZ", cwd=work)
    assert result.returncode == 2
    assert "holds no symbol ZZZ; it holds AAA, BBB, CCC" in result.stderr


def test_trades_and_equity_files(work):
    result = cli("run", "fixed.py", "--data", "known.csv", "--param", "signals=[1, -1, 0, 1, 1]",
                 "--trades", "trades.csv", "--equity", "equity.csv", cwd=work)
    assert result.returncode == 0, result.stderr
    trades = pd.read_csv(work / "trades.csv")
    assert list(trades.columns) == ["direction", "entry_date", "entry_price", "exit_date",
                                    "exit_price", "bars", "pnl", "return", "costs", "exit_reason"]
    assert trades.drop(columns=["pnl", "return"]).to_dict("list") == {
        "direction": ["long", "short", "long"],
        "entry_date": ["2024-01-01", "2024-01-02", "2024-01-04"],
        "entry_price": [100.0, 110.0, 99.0],
        "exit_date": ["2024-01-02", "2024-01-03", np.nan],
        "exit_price": [110.0, 99.0, 108.9],
        "bars": [1, 1, 2], "costs": [0.0, 0.0, 0.0],
        "exit_reason": ["signal", "signal", "open"]}
    assert trades["pnl"].tolist() == pytest.approx([0.1, 0.11, 0.121])
    equity = pd.read_csv(work / "equity.csv")
    assert list(equity.columns) == ["date", "close", "position", "units", "cash", "return",
                                    "equity", "drawdown", "buy_and_hold"]
    assert equity["equity"].tolist() == pytest.approx([1, 1.1, 1.21, 1.21, 1.331])
    assert equity["cash"].tolist() == pytest.approx([0, 2.2, 1.21, 0, 0], abs=1e-12)


def test_a_portfolio_with_every_account_option_writes_its_units_and_trades(work):
    data = work / "pair"
    data.mkdir()
    for symbol, scale in (("AAA", 1.0), ("BBB", 2.0)):
        (data / f"{symbol}.csv").write_text(KNOWN_CSV.replace("100,", f"{100 * scale:g},"))
    report, _ = run_json("sma_momentum", "--param", "ma_period=2", "--data", data, "--fill",
                         "next-open", "--stop-loss", "0.05", "--take-profit", "0.2",
                         "--trailing-stop", "0.1", "--rebalance", "2", "--bars-per-year", "12",
                         "--benchmark", "known.csv", "--trades", "t.csv", "--equity", "e.csv",
                         cwd=work)
    assert report["account"]["fill"] == "next-open" and report["account"]["rebalance"] == 2
    assert report["stats"]["bars_per_year"] == 12 and report["benchmark"] == "known.csv"
    equity = pd.read_csv(work / "e.csv")
    assert list(equity.columns) == ["date", "return", "equity", "cash", "drawdown",
                                    "buy_and_hold", "units_AAA", "units_BBB"]
    assert equity["equity"].iloc[-1] == pytest.approx(1 + report["stats"]["total_return"])
    trades = pd.read_csv(work / "t.csv")
    assert trades.columns[0] == "symbol" and len(trades) == report["stats"]["trades"]


@pytest.mark.parametrize("command, files", [
    (["run", "sma_momentum", "--trades", "t.csv", "--equity", "e.csv"], ["t.csv", "e.csv"]),
    (["sweep", "sma_momentum", "--grid", "ma_period=5,10", "--jobs", "1", "--out", "r.csv"],
     ["r.csv"]),
])
def test_files_are_written_when_the_reader_of_standard_output_is_gone(tmp_path, command, files):
    # `quorvane run ... --equity e.csv | head`: the report is cut short, not the files.
    # Unbuffered output would meet the closed pipe sooner than a user's does.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    read, write = os.pipe()
    os.close(read)
    try:
        result = subprocess.run([sys.executable, "-m", "quorvane", *command], cwd=tmp_path,
                                env=env, stdout=write, stderr=subprocess.PIPE, text=True,
                                timeout=120)
    finally:
        os.close(write)
    assert result.returncode == 1, result.stderr
    assert all((tmp_path / name).stat().st_size > 0 for name in files)


@pytest.mark.parametrize("param, warning", [
    ("ma_period=500", "the warm-up of SMAMomentumStrategy(ma_period=500) is 499 bars, not shorter "
                      "than the 400 bars of data"),
])
def test_a_strategy_that_never_holds_a_position_is_warned_about_on_stderr(tmp_path, param, warning):
    result = cli("run", "sma_momentum", "--param", param, cwd=tmp_path)
    assert result.returncode == 0
    assert result.stderr == f"warning: sample_daily: {warning}: it never takes a position\n"
    assert "warning" not in result.stdout


def test_an_idle_user_strategy_is_warned_about(work):
    result = cli("run", "fixed.py", "--data", "known.csv", "--param", "signals=[0, 0, 0, 0, 0]",
                 "--json", cwd=work)
    assert result.returncode == 0
    assert "known: FixedSignals(signals=[0, 0, 0, 0, 0]) never takes a position" in result.stderr
    json.loads(result.stdout)


@pytest.mark.parametrize("mode, shown", [("always", True), ("auto", False), ("never", False)])
def test_progress_goes_to_stderr_when_asked_or_on_a_terminal(work, mode, shown):
    result = cli("run", "fixed.py", "--data", "known.csv", "--param", "signals=[1, 0, 0, 0, 0]",
                 "--progress", mode, "--json", cwd=work)
    assert result.returncode == 0, result.stderr
    json.loads(result.stdout)
    progress = [line for line in result.stderr.splitlines() if line.startswith("[")]
    if shown:
        assert [line.split("] ", 1)[1] for line in progress] == [
            "reading known.csv", "read 5 bars of 1 symbol(s)",
            "running FixedSignals(signals=[1, 0, 0, 0, 0]) on known (1/1, 5 bars)",
            "backtest done", "checking known for look-ahead"]
    else:
        assert progress == []


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("err, long, shown", [
    (Terminal(), True, True),       # long data on a terminal
    (Terminal(), False, False),     # short data
    (io.StringIO(), True, False),   # a pipe or a file
])
def test_auto_progress_needs_long_data_and_a_terminal(err, long, shown):
    progress = Progress(err, "auto", long)
    progress.note("reading")
    assert ("reading" in err.getvalue()) is shown


# -- plot ----------------------------------------------------------------------

def test_plot_writes_a_png_that_opens(work):
    image = pytest.importorskip("matplotlib.image")
    result = cli("run", "fixed.py", "--data", "known.csv", "--param", "signals=[1, -1, 0, 1, 1]",
                 "--plot", "out.png", cwd=work)
    assert result.returncode == 0, result.stderr
    assert report(result.stdout)["plot"] == "out.png"
    assert (work / "out.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    height, width, _ = image.imread(work / "out.png").shape
    assert height > 600 and width > 800


def test_plot_without_matplotlib_says_how_to_install_it(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None; from quorvane.cli import main; "
            "sys.exit(main(['run', 'sma_momentum', '--plot', 'out.png'], prog='python -m quorvane'))")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 2 and result.stdout == ""
    assert ERROR_LINE.fullmatch(result.stderr.rstrip("\n"))
    assert "pip install 'quorvane[plot]'" in result.stderr
    assert not (tmp_path / "out.png").exists()


@pytest.mark.parametrize("target, message", [
    ("out.xyz", "matplotlib cannot write the extension .xyz; use one of"),
    ("out", "matplotlib cannot write a file name without extension"),
    ("missing/out.png", "the folder missing does not exist"),
])
def test_plot_target_is_checked_before_any_work(work, target, message):
    pytest.importorskip("matplotlib")
    result = cli("run", "fixed.py", "--param", "signals=[]", "--plot", target, cwd=work)
    assert result.returncode == 2
    # The strategy file was not even loaded: it warns when it is.
    assert result.stdout == "" and "loaded the fixed strategy" not in result.stderr
    assert message in result.stderr


# -- errors --------------------------------------------------------------------

BAD_ROW = "date,open,high,low,close,volume\n2024-01-01,1,1,1,1,1\n2024-01-02,1,1,1,oops,1\n"
UNORDERED = "date,open,high,low,close,volume\n2024-01-02,1,1,1,1,1\n2024-01-01,1,1,1,1,1\n"


@pytest.mark.parametrize("args, message", [
    (["run", "nope"], "Strategy 'nope' not found. Available built-in strategies: "),
    (["load", "sma_momentum", "--param", "ma_period=0"], "ma_period must be an integer >= 1, got 0"),
    (["load", "sma_momentum", "--class-name", "X"], "unexpected keyword argument 'class_name'"),
    (["load", "missing.py"], "strategy file not found: missing.py"),
    (["load", "sma_momentum", "--param", "ma_period"], "--param expects KEY=VALUE"),
    (["load", "sma_momentum", "--param", "symbols=['A']"], "use --symbols"),
    (["load", "sma_momentum", "--symbols", "A,,B"], "--symbols expects ticker symbols"),
    (["run", "sma_momentum", "--data", "nothing.csv"], "data file not found: nothing.csv"),
    (["run", "sma_momentum", "--data", "bad.csv"], "bad.csv, row 2: close is 'oops', not a number"),
    (["run", "sma_momentum", "--data", "unordered.csv"],
     "unordered.csv, row 2: date 2024-01-01 00:00:00 comes before the date of row 1"),
    (["run", "fixed.py", "--param", "signals=[1]"], "returned 1 positions for 400 bars"),
    (["run", "fixed.py", "--data", "known.csv", "--param", "signals=[0, 2, 0, 0, 0]"],
     "the position at row 2 (2024-01-02 00:00:00) is 2.0"),
    (["run", "sma_momentum", "--commission", "-1"], "expected basis points of 0 or more"),
    (["run", "sma_momentum", "--stop-loss", "0"], "expected a positive fraction"),
    (["run", "sma_momentum", "--fill", "later"], "invalid choice: 'later'"),
    (["sweep", "sma_momentum", "--grid", "ma_period=5", "--bars-per-year", "0"],
     "expected 1 or more"),
    (["run", "sma_momentum", "--benchmark", "nothing.csv"], "--benchmark nothing.csv: no such file"),
    (["run", "sma_momentum", "--benchmark", "bad.csv"], "--benchmark: bad.csv, row 2: close is"),
    (["run", "fixed.py", "--param", "signals=[]", "--param", "exit=1"], "called sys.exit(0)"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    (["run"], "the following arguments are required: SPEC"),
])
def test_errors_are_one_line_on_stderr_with_status_2(work, args, message):
    (work / "bad.csv").write_text(BAD_ROW)
    (work / "unordered.csv").write_text(UNORDERED)
    result = cli(*args, cwd=work)
    assert result.returncode == 2
    # Besides the error, only warnings (the fixed strategy's, while run loads it).
    lines = [line for line in result.stderr.splitlines() if not line.startswith("warning: ")]
    assert len(lines) == 1 and ERROR_LINE.fullmatch(lines[0]), result.stderr
    assert message in result.stderr
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("where", ["before", "after"])
def test_traceback_option_shows_the_full_traceback(tmp_path, where):
    args = ["load", "sma_momentum", "--param", "ma_period=0"]
    args = ["--traceback", *args] if where == "before" else [*args, "--traceback"]
    result = cli(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("Traceback (most recent call last):")
    assert "quorvane.strategy_loader.load_strategy" in result.stderr
    assert result.stderr.rstrip().endswith("ValueError: ma_period must be an integer >= 1, got 0")


def test_help_warns_that_files_are_executed(tmp_path):
    result = cli("run", "--help", cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    assert "executes that code" in " ".join(result.stdout.split())


# -- option parsing (in-process: pure functions) -----------------------------------

@pytest.mark.parametrize("text, value", [
    ("20", 20), ("-1.5", -1.5), ("True", True), ("None", None), ("'20'", "20"),
    ("[1, 2]", [1, 2]), ("abc", "abc"), ("", ""), ("1 +", "1 +"), ("__import__('os')", "__import__('os')"),
    ("[" * 1000 + "]" * 1000, "[" * 1000 + "]" * 1000),
])
def test_param_values_are_literals_where_they_parse(text, value):
    assert parse_literal(text) == value


@pytest.mark.parametrize("items, message", [
    (["a=1", "a=2"], "given more than once"),
    (["1a=1"], "must be a Python identifier"),
    (["=1"], "expects KEY=VALUE"),
    (["class_name=X"], "use --class-name"),
    (["strategy_spec=x"], "SPEC argument"),
])
def test_params_that_cannot_be_passed_on_are_refused(items, message):
    with pytest.raises(CliError, match=message):
        parse_params(items)
    assert parse_params(["b=1", " a =x=y"]) == {"b": 1, "a": "x=y"}
