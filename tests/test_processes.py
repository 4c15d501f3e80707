"""The command line as a process among others: a script that parses its
JSON, a reader that leaves early, SIGTERM and SIGKILL, a Dask worker that
dies, and strategy code that raises what is not an Exception.  Each fault is
injected as it happens outside: signals to a process or its group, a pipe
whose reader has gone, a killed worker process, with PYTHONUNBUFFERED unset
(output to a pipe is then buffered, as on a user's machine)."""

import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quorvane

# The data reader leaves its thread pool running; the workers fork after it.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")

PROBE = textwrap.dedent('''\
    import ctypes, os, subprocess, time
    from quorvane.strategy import Strategy

    print("printed at import")


    class Odd(BaseException):
        """Derives from BaseException alone."""


    class Probe(Strategy):
        def __init__(self, symbols=None, *, period=5, pause=0.0, noisy=False, crash=0):
            if period == 1:
                raise Odd("refused by the constructor")
            super().__init__(symbols, period=period, pause=pause, noisy=noisy, crash=crash)

        def generate_signals(self, bars):
            if self.params["pause"]:
                with open(os.environ["PROBE_PIDS"], "a") as pids:
                    pids.write(f"{os.getpid()}\\n")
                time.sleep(self.params["pause"])
            if self.params["noisy"]:
                print("printed by print")
                os.write(1, b"written to descriptor 1\\n")
                ctypes.CDLL(None).printf(b"printed by C\\n")
                subprocess.run(["echo", "printed by a child"], check=True)
            if self.params["period"] == 3:
                raise Odd("odd period")
            if self.params["period"] == self.params["crash"]:
                os._exit(3)
            return [1.0] * len(bars)
    ''')


@pytest.fixture
def work(tmp_path):
    (tmp_path / "probe.py").write_text(PROBE)
    return tmp_path


def _environ(**extra):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    return {**env, **extra}


def quorvane_cli(*args, cwd, **kwargs):
    return subprocess.run([sys.executable, "-m", "quorvane", *map(str, args)], cwd=cwd,
                          env=_environ(), text=True, timeout=120, **kwargs)


def _running(pid):
    """Whether ``pid`` is a process that has not ended (a zombie has)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rpartition(")")[2].split()[0] not in "ZX"
    except FileNotFoundError:
        return False


def _wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"waited {seconds} s for {what}")
        time.sleep(0.05)


def _pids(path, count):
    """The pids of the first ``count`` workers that started a row (whole
    lines only: a line being written is not a pid yet)."""
    def written():
        text = path.read_text() if path.exists() else ""
        return sorted({int(line) for line in text.splitlines(keepends=True)
                       if line.endswith("\n")})

    _wait_for(lambda: len(written()) >= count, 60, f"{count} worker(s) to start a row")
    return written()


# -- standard output: results only, and a reader that leaves ---------------------------

def test_json_is_the_only_thing_on_standard_output_whatever_the_strategy_prints(work):
    done = quorvane_cli("run", "probe.py", "--param", "noisy=True", "--json", cwd=work,
                        capture_output=True)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["strategy"] == "Probe"
    for text in ("printed at import", "printed by print", "written to descriptor 1",
                 "printed by C", "printed by a child"):
        assert text in done.stderr


@pytest.mark.parametrize("command", [
    ["run", "sma_momentum"],
    ["run", "sma_momentum", "--json"],
    ["list"],
    ["describe", "sma_momentum"],
    ["sweep", "sma_momentum", "--grid", "ma_period=5,10", "--jobs", "2"],
    ["--help"],
])
def test_a_reader_that_left_before_the_output_ends_the_command_quietly(work, command):
    # `quorvane ... | true`: the read end is closed before anything is
    # flushed, so the write fails at the last flush.
    read, write = os.pipe()
    os.close(read)
    try:
        done = quorvane_cli(*command, cwd=work, stdout=write, stderr=subprocess.PIPE)
    finally:
        os.close(write)
    assert done.returncode == 1
    assert "Exception ignored" not in done.stderr and "Broken" not in done.stderr


# -- strategy code that raises what is not an Exception ---------------------------------

@pytest.mark.parametrize("jobs", [1, 2])
def test_a_base_exception_of_the_strategy_is_the_rows_error(work, jobs):
    table = quorvane.sweep(str(work / "probe.py"), {"period": [1, 2, 3, 4]}, jobs=jobs)
    errors = dict(zip(table["period"], table["error"]))
    assert errors == {1: "Odd: refused by the constructor", 2: None, 3: "Odd: odd period",
                      4: None}
    assert table.loc[table["error"].isna(), "sharpe"].notna().all()


def test_a_base_exception_in_run_is_one_line_and_status_2(work):
    done = quorvane_cli("run", "probe.py", "--param", "period=3", cwd=work, capture_output=True)
    assert done.returncode == 2
    assert done.stderr.splitlines() == [
        "python -m quorvane: error: Odd: odd period (probe.py, line 28, in generate_signals); "
        "rerun with --traceback for the full traceback"]


# -- signals to a local-process sweep ---------------------------------------------------

@contextlib.contextmanager
def background_sweep(work, *args):
    """``quorvane sweep probe.py ARGS`` in a session of its own; whatever is
    left of its process group is killed at the end."""
    sweep = subprocess.Popen(
        [sys.executable, "-m", "quorvane", "sweep", "probe.py", *args], cwd=work,
        env=_environ(PROBE_PIDS=str(work / "pids")), start_new_session=True,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        yield sweep
    finally:
        try:
            os.killpg(sweep.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        sweep.wait(timeout=30)


@pytest.mark.parametrize("how, status", [
    ("SIGTERM to the command (kill PID)", 128 + signal.SIGTERM),
    ("SIGTERM to its process group (timeout)", 128 + signal.SIGTERM),
    ("SIGKILL to the command", -signal.SIGKILL),
])
def test_a_stopped_sweep_takes_its_workers_along_and_keeps_the_old_out(work, how, status):
    (work / "rows.csv").write_text("the old rows\n")
    with background_sweep(work, "--grid", "period=4:40", "--param", "pause=60", "--jobs", "2",
                          "--out", "rows.csv") as sweep:
        workers = _pids(work / "pids", 2)
        if "group" in how:
            os.killpg(sweep.pid, signal.SIGTERM)
        else:
            os.kill(sweep.pid, signal.SIGKILL if "SIGKILL" in how else signal.SIGTERM)
        _, err = sweep.communicate(timeout=60)
        assert sweep.returncode == status, err
        if status > 0:
            assert err.splitlines() == ["python -m quorvane: terminated"]
        _wait_for(lambda: not any(map(_running, workers)), 20,
                  f"the workers {workers} to end after {err!r}")
    assert (work / "rows.csv").read_text() == "the old rows\n"


# -- a Dask worker that dies ------------------------------------------------------------

def test_a_dask_worker_killed_during_the_sweep_is_named_in_one_line(work):
    pytest.importorskip("distributed")
    with background_sweep(work, "--grid", "period=4:12", "--param", "pause=60",
                          "--dask", "local", "--jobs", "1") as sweep:
        (worker,) = _pids(work / "pids", 1)
        os.kill(worker, signal.SIGKILL)
        _, err = sweep.communicate(timeout=90)
    assert sweep.returncode == 2
    (line,) = err.splitlines()
    assert line.startswith("python -m quorvane: error: the Dask worker tcp://127.0.0.1:"), line
    assert ("left the cluster during the sweep with the data it held, and the 9 rows not "
            "computed yet are lost") in line


def test_rows_that_kill_dask_workers_are_named_in_one_line(work):
    pytest.importorskip("distributed")
    # One death is enough for the scheduler to give the rows up: a quick test.
    done = subprocess.run(
        [sys.executable, "-m", "quorvane", "sweep", "probe.py", "--grid", "period=4:7",
         "--param", "crash=5", "--dask", "local", "--jobs", "2"], cwd=work,
        env=_environ(DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES="0"), capture_output=True,
        text=True, timeout=120)
    assert done.returncode == 2
    (line,) = done.stderr.splitlines()
    assert re.fullmatch(r"python -m quorvane: error: the Dask worker tcp://127\.0\.0\.1:\d+ "
                        r"died holding the row period=\d of sample_daily: the strategy code "
                        r"may crash .*", line), line
