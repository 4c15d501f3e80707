"""Concurrent use from many threads: nothing crashes, no registration is
lost, every listed name maps to a class, and every load returns what its
own arguments ask for."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading

import pytest

import quorvane.strategy_loader as sl
from leak_support import preserved_loader_state, Rec, RecBase, SANITIZER_RUN

THREADS = 8
# Fewer rounds on the instrumented build, which is several times slower.
ROUNDS = 200 if SANITIZER_RUN else 500


@pytest.fixture(autouse=True)
def restore_loader_state():
    with preserved_loader_state():
        yield


@pytest.fixture
def fast_switching():
    """Makes the interpreter hand the lock between threads far more often."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def run_threads(work):
    errors = []
    barrier = threading.Barrier(THREADS)

    def body(tid):
        try:
            barrier.wait()
            work(tid)
        except BaseException as exc:  # reported below, with the thread's number
            errors.append((tid, exc))

    threads = [threading.Thread(target=body, args=(tid,)) for tid in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors[:3]


def test_mixed_calls_from_eight_threads(tmp_path, fast_switching):
    # Each thread owns its names and its strategy file, so it knows what the
    # registry and the loaders must give it back, whatever the others do.
    files = []
    for tid in range(THREADS):
        path = tmp_path / f"thread_{tid}.py"
        path.write_text(f"from quorvane.strategy import Strategy\nclass Thread{tid}(Strategy):\n    pass\n")
        files.append(str(path))
    classes = [(type(f"T{tid}", (Rec,), {}), type(f"B{tid}", (RecBase,), {})) for tid in range(THREADS)]
    registered = [{} for _ in range(THREADS)]

    def work(tid):
        symbols = [f"S{tid}"]
        mine = registered[tid]
        for i in range(ROUNDS):
            name = f"thread{tid}_{i % 40}"
            cls = classes[tid][i % 2]
            assert sl.register_strategy(name.upper() if i % 3 else name, cls) is None
            mine[name] = cls
            made = sl.load_strategy(name)
            assert type(made) is cls and made.received == []
            listed = sl.list_strategies()
            registry = sl.BUILTIN_STRATEGIES
            assert all(type(registry[key]) is type for key in listed)
            assert set(mine) <= set(listed)
            made = sl.load_strategy(Rec, symbols, k=i)
            assert made.received == [("symbols", symbols), ("k", i)] and made.received[0][1] is symbols
            made = sl.load_strategy(f"{__name__}.RecBase", symbols, k=i)
            assert type(made) is RecBase and made.received == [("k", i)]
            assert sl.load_strategy("SMA_Momentum", ma_period=5 + tid).ma_period == 5 + tid
            for spec, error in ((f"zz_nowhere_{tid}", ValueError), (tid, ValueError)):
                with pytest.raises(error):
                    sl.load_strategy(spec)
            with pytest.raises(ValueError, match="^strategy_class must inherit"):
                sl.register_strategy(name, int)
            with pytest.raises(ValueError, match="^Invalid module path"):
                sl.load_strategy_from_module(f"nodot{tid}")
            if i % 25 == 0:
                made = sl.load_strategy(files[tid], symbols)
                assert type(made).__name__ == f"Thread{tid}" and made.symbols is symbols

    run_threads(work)
    registry = sl.BUILTIN_STRATEGIES
    for mine in registered:
        for name, cls in mine.items():
            assert registry[name] is cls
    assert all(type(cls) is type for cls in registry.values())


def test_registrations_of_one_name_from_all_threads_leave_one_of_them(fast_switching):
    classes = [type(f"Racer{tid}", (Rec,), {}) for tid in range(THREADS)]

    def work(tid):
        for _ in range(ROUNDS):
            sl.register_strategy("Contested", classes[tid])
            assert type(sl.BUILTIN_STRATEGIES["contested"]) is type

    before = len(sl.BUILTIN_STRATEGIES)
    run_threads(work)
    assert sl.BUILTIN_STRATEGIES["contested"] in classes
    assert len(sl.BUILTIN_STRATEGIES) == before + 1
    assert sl.list_strategies().count("contested") == 1


THREADED_ENTRIES = """
import gc
import sys
import threading
import quorvane.strategy_loader as sl

class Garbage:
    # Its finalizer calls the module from whichever thread collects it.
    def __init__(self):
        self.me = self

    def __del__(self):
        try:
            sl.load_strategy(3)
        except ValueError:
            pass
        Garbage()

class Neither:
    pass

PREFIX = "quorvane.strategy_loader."
CASES = [
    (lambda: sl.load_strategy(), ("load_strategy", 72)),
    (lambda: sl.load_strategy(Neither), ("load_strategy", 109)),
    (lambda: sl.load_strategy("zz_nowhere"), ("load_strategy", 127)),
    (lambda: sl.load_strategy(2.5), ("load_strategy", 132)),
    (lambda: sl.load_strategy_from_file(), ("load_strategy_from_file", 135)),
    (lambda: sl.load_strategy_from_file("/nonexistent/x.py"), ("load_strategy_from_file", 156)),
    (lambda: sl.load_strategy_from_module(), ("load_strategy_from_module", 200)),
    (lambda: sl.load_strategy_from_module("nodot"), ("load_strategy_from_module", 218)),
    (lambda: sl.load_strategy_from_module("sys.nothing_here"), ("load_strategy_from_module", 224)),
    (lambda: sl.register_strategy(), ("register_strategy", 232)),
    (lambda: sl.register_strategy("x", int), ("register_strategy", 244)),
]
errors = []

def work(offset):
    try:
        for i in range(300):
            make_call, expected = CASES[(i + offset) % len(CASES)]
            try:
                make_call()
            except Exception as exc:
                tb, found = exc.__traceback__, []
                while tb is not None:
                    code = tb.tb_frame.f_code
                    if code.co_filename == "quorvane/strategy_loader":
                        found.append((code.co_name.removeprefix(PREFIX), tb.tb_lineno))
                    tb = tb.tb_next
                assert found == [expected], (found, expected)
            else:
                raise AssertionError("no exception")
    except BaseException as exc:
        errors.append(exc)

sys.setswitchinterval(1e-6)
gc.set_threshold(5, 1, 1)
Garbage()
threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
gc.set_threshold(700, 10, 10)
assert not errors, errors[:3]
print("ok")
"""


def test_traceback_entries_made_concurrently_in_a_fresh_interpreter():
    # The cache of entry code objects is process-wide and starts empty; here
    # eight threads fill it at once while finalizers call the module too.
    done = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(THREADED_ENTRIES)], capture_output=True,
                          text=True, timeout=300, cwd=os.path.dirname(sys.executable))
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), (done.stdout + done.stderr)[-3000:]
