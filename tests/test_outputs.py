"""Output files: refused before any work when they could not or must not be
written, and otherwise written whole or not at all, by every command."""

import os
import resource
import signal
import stat
import subprocess
import sys

import pandas as pd
import pytest

from quorvane.data import sample_csv
from quorvane.outputs import OutputError, write_file, write_table


def cli(*args, cwd, limit=None):
    """``python -m quorvane ARGS``; ``limit``: the largest file it may write, in bytes."""
    def confine():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failed write, not a killed process
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    return subprocess.run([sys.executable, "-m", "quorvane", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120,
                          preexec_fn=confine if limit is not None else None)


@pytest.fixture
def work(tmp_path):
    """A folder with the sample bars as inp.csv, and a data folder of two symbols."""
    (tmp_path / "inp.csv").write_bytes(sample_csv().read_bytes())
    (tmp_path / "prices").mkdir()
    for symbol in ("AAA", "BBB"):
        (tmp_path / "prices" / f"{symbol}.csv").write_bytes(sample_csv().read_bytes())
    return tmp_path


def error_line(result):
    lines = result.stderr.splitlines()
    assert result.returncode == 2 and len(lines) == 1, result.stderr
    return lines[0]


OLD = "the old file, kept\n"
RUN = ["run", "sma_momentum", "--param", "ma_period=5", "--data", "inp.csv"]
SWEEP = ["sweep", "sma_momentum", "--grid", "ma_period=5:100:5", "--jobs", "1",
         "--data", "inp.csv"]


@pytest.mark.parametrize("command, option, name", [
    (RUN, "--equity", "out.csv"),
    (RUN, "--equity", "out.parquet"),
    (RUN, "--trades", "out.csv"),
    (RUN, "--plot", "out.png"),
    (SWEEP, "--out", "out.csv"),
])
def test_a_write_that_fails_half_way_keeps_the_old_file(work, command, option, name):
    if option == "--plot":
        pytest.importorskip("matplotlib")
    (work / name).write_text(OLD)
    result = cli(*command, option, name, cwd=work, limit=4096)
    assert error_line(result).endswith(f"error: cannot write {name}: File too large")
    assert (work / name).read_text() == OLD
    assert sorted(p.name for p in work.iterdir()) == sorted(["inp.csv", "prices", name])


@pytest.mark.parametrize("args, message", [
    (["run", "--data", "inp.csv", "--equity", "inp.csv"],
     "--equity inp.csv is the --data file inp.csv, which this command reads"),
    (["run", "--data", "inp.csv", "--trades", "./sub/../inp.csv"],
     "--trades ./sub/../inp.csv is the --data file inp.csv"),
    (["run", "--data", "prices", "--symbols", "AAA", "--trades", "prices/BBB.csv"],
     "--trades prices/BBB.csv is a data file of the --data folder prices"),
    (["run", "--data", "link.csv", "--equity", "inp.csv"], "is the --data file link.csv"),
    (["run", "--trades", "x.csv", "--equity", "x.csv"],
     "--trades x.csv and --equity x.csv name the same file: one would overwrite the other"),
    (["run", "--trades", "x.csv", "--equity", "hard.csv"], "name the same file"),
    (["sweep", "--grid", "ma_period=5,10", "--data", "inp.csv", "--out", "inp.csv"],
     "--out inp.csv is the --data file inp.csv"),
    (["run", "--trades", "t.xlsx"], "--trades t.xlsx: the file name must end in .csv or .parquet"),
    (["run", "--equity", "e"], "--equity e: the file name must end in .csv or .parquet"),
])
def test_outputs_that_would_overwrite_an_input_or_each_other_are_refused_first(work, args,
                                                                               message):
    (work / "link.csv").symlink_to(work / "inp.csv")
    (work / "x.csv").write_text(OLD)
    os.link(work / "x.csv", work / "hard.csv")
    before = {path.name: path.read_bytes() for path in work.rglob("*") if path.is_file()}
    command, rest = args[0], args[1:]
    # A strategy file that would say so when loaded: nothing runs before the refusal.
    (work / "loud.py").write_text("import sys\nprint('loaded', file=sys.stderr)\n"
                                  "from quorvane.strategy import Strategy\n"
                                  "class Loud(Strategy):\n"
                                  "    def generate_signals(self, bars):\n"
                                  "        return [0] * len(bars)\n")
    line = error_line(cli(command, "loud.py", *rest, cwd=work))
    assert message in line
    assert {path.name: path.read_bytes() for path in work.rglob("*")
            if path.is_file() and path.name != "loud.py"} == before


def test_equity_and_trades_in_parquet_hold_what_the_csv_holds(work):
    files = ["e.csv", "e.parquet", "t.csv", "t.parquet"]
    result = cli(*RUN, "--equity", "e.csv", "--trades", "t.csv", cwd=work)
    assert result.returncode == 0, result.stderr
    result = cli(*RUN, "--equity", "e.parquet", "--trades", "t.parquet", cwd=work)
    assert result.returncode == 0, result.stderr
    assert all((work / name).exists() for name in files)
    # The same table in both formats: Parquet gives back the CSV's text.
    assert pd.read_parquet(work / "e.parquet").to_csv() == (work / "e.csv").read_text()
    trades = pd.read_parquet(work / "t.parquet")
    assert len(trades) > 10
    assert trades.to_csv(index=False) == (work / "t.csv").read_text()


def test_a_rewritten_file_keeps_its_permissions_and_links(tmp_path):
    (tmp_path / "real").mkdir()
    real = tmp_path / "real" / "rows.csv"
    real.write_text(OLD)
    real.chmod(0o640)
    (tmp_path / "rows.csv").symlink_to(real)
    write_table(pd.DataFrame({"a": [1, 2]}), str(tmp_path / "rows.csv"))
    assert (tmp_path / "rows.csv").is_symlink() and real.read_text() == "a\n1\n2\n"
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    write_table(pd.DataFrame({"a": [1]}), os.devnull)  # written into, not replaced
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_a_writer_that_fails_leaves_nothing_behind(tmp_path):
    target = tmp_path / "plot.png"
    target.write_text(OLD)

    def half(path):
        with open(path, "w") as stream:
            stream.write("half")
        raise RuntimeError("the renderer gave up\nwith details")

    with pytest.raises(OutputError, match=r"^cannot write .*plot.png: the renderer gave up$"):
        write_file(str(target), half)
    assert target.read_text() == OLD and os.listdir(tmp_path) == ["plot.png"]
