#!/usr/bin/env python3
"""Benchmark of quorvane.strategy_loader against its pure-Python peer and the floor.

    python bench/run.py               # full run, about a minute
    python bench/run.py --smoke       # a few seconds, for CI; no thresholds
    python bench/run.py --callgrind   # add instructions per call (valgrind)
    python bench/run.py --json out.json --case name --case list

Run it with the interpreter of a venv where the package is installed (the
compiled module must be importable; the source tree is not put on the path).

For each case three variants run the same work: the compiled module
(native), the pure-Python implementation in peer.py (peer) and the work
written directly (floor, floor.py). The variants, and an empty loop whose
cost is subtracted from each, are timed in interleaved rounds: in every
round each variant gets the best of N timings of a loop of calls, and the
table shows the median over the rounds of the nanoseconds per call and of
the per-round ratios. The machine is noisy; a ratio taken within one round
compares timings made a few milliseconds apart.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
if str(BENCH_DIR) not in sys.path:
    sys.path.insert(0, str(BENCH_DIR))

import floor  # noqa: E402


@dataclass(frozen=True)
class Case:
    key: str
    label: str
    stmt: str  # timed for native and peer, with their functions as globals
    error: str | None = None  # the exception the call raises, caught in the loop
    floor_target: float | None = None  # native/floor at most
    peer_target: float | None = None  # native/peer at most
    same_message: bool = True  # native and peer raise the same text


CASES = [
    Case("name", "load_strategy('sma_momentum')",
         "load_strategy('sma_momentum')", floor_target=1.6, peer_target=0.5),
    Case("name_kw", "load_strategy('sma_momentum', ma_period=20)",
         "load_strategy('sma_momentum', ma_period=20)"),
    Case("name_mixed_kw", "load_strategy('SMA_Momentum', ma_period=20)",
         "load_strategy('SMA_Momentum', ma_period=20)", floor_target=1.4, peer_target=0.5),
    Case("class_symbols", "load_strategy(Cls, symbols=lst)",
         "load_strategy(BenchStrategy, symbols=SYMBOLS)", floor_target=1.3, peer_target=0.5),
    Case("instance", "load_strategy(instance)",
         "load_strategy(INSTANCE)", floor_target=1.4, peer_target=0.8),
    Case("module_via_load", "load_strategy('pkg.Mod') (module path)",
         "load_strategy('qv_bench_strategies.BenchStrategy')", peer_target=0.9),
    Case("module_direct", "load_strategy_from_module('collections.OrderedDict')",
         "load_strategy_from_module('collections.OrderedDict')", floor_target=1.3, peer_target=0.6),
    Case("register", "register_strategy('x', Cls)",
         "register_strategy('x', BenchStrategy)", floor_target=2.5, peer_target=0.5),
    Case("list", "list_strategies()",
         "list_strategies()", floor_target=1.05, peer_target=1.0),
    Case("not_found", "not-found ValueError",
         "load_strategy('foo')", error="ValueError", peer_target=0.9),
    Case("binding_error", "binding TypeError (+ traceback entry)",
         "register_strategy('x')", error="TypeError", peer_target=1.5, same_message=False),
    Case("exact_type_error", "exact-type TypeError",
         "load_strategy('sma_momentum', symbols=TUPLE)", error="TypeError"),
    Case("file", "load_strategy_from_file(small file)",
         "load_strategy_from_file(FILE)", floor_target=1.1, peer_target=1.0),
]
CASES_BY_KEY = {case.key: case for case in CASES}
# The cases whose instruction counts --callgrind reports unless --case
# selects others, and the cases too slow under valgrind for 2000 calls.
CALLGRIND_CASES = ["name", "name_kw", "name_mixed_kw", "class_symbols"]
SLOW_CASES = {"module_via_load", "not_found", "file"}

VARIANTS = ("native", "peer", "floor")

BENCH_MODULE = '''\
from quorvane.strategy import Strategy


class BenchStrategy(Strategy):
    """Flat on every bar."""

    def generate_signals(self, bars):
        return [0] * len(bars)
'''

SMALL_STRATEGY_FILE = '''\
"""A small user strategy file: one Strategy subclass."""

from quorvane.strategy import Strategy


class SmallStrategy(Strategy):
    """Long on every bar after the first."""

    def generate_signals(self, bars):
        return [0] + [1] * (len(bars) - 1)
'''


# Environment ************************************************************

class Environment:
    """The objects every variant shares, in a private working directory.

    The directory holds a module for the module-path case and a small
    strategy file; it is appended to sys.path and becomes the working
    directory, so relative lookups ('foo' in the not-found case) are
    deterministic.
    """

    def __init__(self) -> None:
        self._tmp = tempfile.TemporaryDirectory(prefix="qv-bench-")
        self.root = Path(self._tmp.name).resolve()
        (self.root / "qv_bench_strategies.py").write_text(BENCH_MODULE)
        self.file = self.root / "small_strategy.py"
        self.file.write_text(SMALL_STRATEGY_FILE)
        self._old_cwd = os.getcwd()
        os.chdir(self.root)
        sys.path.append(str(self.root))

        import qv_bench_strategies
        import quorvane.strategy_loader as native
        import peer

        self.native = native
        self.peer = peer
        bench_strategy = qv_bench_strategies.BenchStrategy
        shared = {
            "BenchStrategy": bench_strategy,
            "SYMBOLS": ["OGDC", "HBL"],
            "INSTANCE": bench_strategy(symbols=["OGDC"]),
            "TUPLE": ("OGDC",),
            "FILE": str(self.file),
        }
        # Every registry holds the same seven names during the run.
        native.register_strategy("x", bench_strategy)
        peer.register_strategy("x", bench_strategy)
        functions = ("load_strategy", "load_strategy_from_file", "load_strategy_from_module",
                     "register_strategy", "list_strategies")
        self.namespaces = {
            "native": dict(shared, **{f: getattr(native, f) for f in functions}),
            "peer": dict(shared, **{f: getattr(peer, f) for f in functions}),
            "floor": floor.namespace(shared, dict(native.BUILTIN_STRATEGIES)),
        }

    def close(self) -> None:
        os.chdir(self._old_cwd)
        if str(self.root) in sys.path:
            sys.path.remove(str(self.root))
        sys.modules.pop("strategy_module", None)
        self._tmp.cleanup()


def statement(case: Case, variant: str) -> str | None:
    if variant == "floor":
        return floor.STATEMENTS.get(case.key)
    if case.error:
        return f"try:\n    {case.stmt}\nexcept {case.error}:\n    pass"
    return case.stmt


def timers(case: Case, env: Environment) -> dict[str, timeit.Timer]:
    out = {}
    for variant in VARIANTS:
        stmt = statement(case, variant)
        if stmt is not None:
            out[variant] = timeit.Timer(stmt, timer=time.perf_counter_ns, globals=env.namespaces[variant])
    return out


def outcome(case: Case, env: Environment, variant: str):
    """What one call does: ('returns', type) or ('raises', type, message)."""
    try:
        result = eval(case.stmt, dict(env.namespaces[variant]))
    except Exception as exc:  # noqa: BLE001 - compared, not handled
        message = str(exc) if case.same_message else None
        return ("raises", type(exc).__name__, message)
    return ("returns", type(result).__qualname__)


# Timing *****************************************************************

@dataclass(frozen=True)
class Settings:
    target_ns: int  # length of one timing
    repeat: int  # best of this many timings per round
    rounds: int
    import_runs: int


FULL = Settings(target_ns=3_000_000, repeat=5, rounds=31, import_runs=7)
SMOKE = Settings(target_ns=200_000, repeat=2, rounds=3, import_runs=1)


def calibrate(timer: timeit.Timer, target_ns: int) -> int:
    """Loop length for one timing of about target_ns."""
    timer.timeit(20)  # warm up: specialise the loop, fill caches
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target_ns // 8 or number >= 1 << 24:
            break
        number *= 8
    return max(1, round(number * target_ns / max(elapsed, 1)))


def best(timer: timeit.Timer, number: int, repeat: int) -> float:
    return min(timer.timeit(number) for _ in range(repeat)) / number


def measure(case: Case, env: Environment, settings: Settings) -> dict:
    variant_timers = timers(case, env)
    empty = timeit.Timer("pass", timer=time.perf_counter_ns)
    numbers = {v: calibrate(t, settings.target_ns) for v, t in variant_timers.items()}
    empty_number = calibrate(empty, settings.target_ns)

    order = list(variant_timers)
    per_call = {v: [] for v in order}
    ratios = {"floor": [], "peer": []}
    for r in range(settings.rounds):
        # Rotate the order so that no variant always runs first.
        rotated = order[r % len(order):] + order[:r % len(order)]
        baseline = best(empty, empty_number, settings.repeat)
        this_round = {}
        for v in rotated:
            this_round[v] = best(variant_timers[v], numbers[v], settings.repeat) - baseline
        for v, ns in this_round.items():
            per_call[v].append(ns)
        for other in ("floor", "peer"):
            if other in this_round and this_round[other] > 0:
                ratios[other].append(this_round["native"] / this_round[other])

    native_outcome = outcome(case, env, "native")
    peer_outcome = outcome(case, env, "peer")
    return {
        "case": case.key,
        "label": case.label,
        "ns": {v: statistics.median(values) for v, values in per_call.items()},
        "native/floor": statistics.median(ratios["floor"]) if ratios["floor"] else None,
        "native/peer": statistics.median(ratios["peer"]) if ratios["peer"] else None,
        "floor_target": case.floor_target,
        "peer_target": case.peer_target,
        "calls_per_timing": numbers,
        "same_outcome": native_outcome == peer_outcome,
        "outcomes": {"native": native_outcome, "peer": peer_outcome},
    }


# Import time ************************************************************

def import_time(module: str, runs: int, extra_path: str | None = None) -> dict | None:
    """Median self and cumulative microseconds of `-X importtime` for module."""
    env = dict(os.environ)
    if extra_path:
        env["PYTHONPATH"] = extra_path + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    selfs, cumulatives = [], []
    pattern = re.compile(r"import time:\s+(\d+)\s+\|\s+(\d+)\s+\|\s*" + re.escape(module) + r"\s*$")
    with tempfile.TemporaryDirectory() as cwd:  # keep the source tree off sys.path
        # One discarded run first: it may compile and cache bytecode.
        subprocess.run([sys.executable, "-c", f"import {module}"], cwd=cwd, env=env, capture_output=True)
        for _ in range(runs):
            proc = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                                  cwd=cwd, env=env, capture_output=True, text=True)
            if proc.returncode != 0:
                return None
            for line in proc.stderr.splitlines():
                match = pattern.match(line)
                if match:
                    selfs.append(int(match.group(1)))
                    cumulatives.append(int(match.group(2)))
    if not selfs:
        return None
    return {"self_us": statistics.median(selfs), "cumulative_us": statistics.median(cumulatives)}


# Callgrind **************************************************************

def callgrind(cases: list[str], calls: int) -> dict | None:
    """Instructions per call of each variant of each case (slow cases get
    a tenth of the calls), or None when valgrind is missing or fails."""
    fast = [c for c in cases if c not in SLOW_CASES]
    slow = [c for c in cases if c in SLOW_CASES]
    result: dict = {}
    for group, group_calls in ((fast, calls), (slow, max(1, calls // 10))):
        if group:
            counts = callgrind_group(group, group_calls)
            if counts is None:
                return None
            result.update(counts)
    return {c: result[c] for c in cases if c in result}


def callgrind_group(cases: list[str], calls: int) -> dict | None:
    """Instructions per call of each variant, from one valgrind process.

    callgrind_case.py runs each measured loop through sys.call_tracing;
    collection is switched on only inside it and a profile is dumped after
    each, so every dump holds exactly one loop. An empty loop of the same
    length is subtracted.
    """
    if not shutil.which("valgrind"):
        return None
    with tempfile.TemporaryDirectory(prefix="qv-callgrind-") as out_dir:
        out_file = os.path.join(out_dir, "cg.out")
        command = [
            "valgrind", "--tool=callgrind", "--collect-atstart=no",
            "--toggle-collect=sys_call_tracing", "--dump-after=sys_call_tracing",
            f"--callgrind-out-file={out_file}",
            sys.executable, str(BENCH_DIR / "callgrind_case.py"), "--calls", str(calls), *cases,
        ]
        proc = subprocess.run(command, capture_output=True, text=True)
        if proc.returncode != 0:
            sys.stderr.write(proc.stderr[-2000:])
            return None
        labels = json.loads(proc.stdout.strip().splitlines()[-1])
        totals = []
        for part in range(1, len(labels) + 1):
            text = Path(f"{out_file}.{part}").read_text()
            match = re.search(r"^(?:summary|totals):\s*(\d+)", text, re.M)
            totals.append(int(match.group(1)) if match else 0)
    measured = dict(zip(labels, totals))
    empty = measured.pop("empty")
    if empty == 0:
        sys.stderr.write("callgrind collected nothing: the interpreter has no symbol sys_call_tracing (stripped?)\n")
        return None
    result: dict = {}
    for label, total in measured.items():
        case, variant = label.split(":")
        result.setdefault(case, {})[variant] = (total - empty) / calls
    return result


# Report *****************************************************************

def machine() -> dict:
    model = platform.processor() or platform.machine()
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in lscpu.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "platform": platform.platform(),
        "date": time.strftime("%Y-%m-%d %H:%M %Z"),
    }


def verdict(ratio: float | None, target: float | None) -> str:
    if target is None or ratio is None:
        return ""
    return "ok" if ratio <= target else "MISS"


def fmt_ns(value: float | None) -> str:
    return "—" if value is None else f"{value:,.0f}"


def fmt_ratio(value: float | None, target: float | None) -> str:
    if value is None:
        return "—"
    text = f"{value:.2f}"
    if target is not None:
        text += f" (≤{target:g} {verdict(value, target)})"
    return text


def print_table(results: list[dict], out=sys.stdout) -> None:
    head = ["case", "native ns", "peer ns", "floor ns", "native/floor", "native/peer"]
    rows = []
    for r in results:
        ns = r["ns"]
        rows.append([
            r["label"], fmt_ns(ns.get("native")), fmt_ns(ns.get("peer")), fmt_ns(ns.get("floor")),
            fmt_ratio(r["native/floor"], r["floor_target"]), fmt_ratio(r["native/peer"], r["peer_target"]),
        ])
    widths = [max(len(str(row[i])) for row in [head] + rows) for i in range(len(head))]
    line = "| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |"
    print(line, file=out)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|", file=out)
    for row in rows:
        cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]
        print("| " + " | ".join(cells) + " |", file=out)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--smoke", action="store_true", help="a seconds-long run (CI): few, short rounds")
    parser.add_argument("--callgrind", action="store_true", help="add instructions per call (needs valgrind)")
    parser.add_argument("--callgrind-calls", type=int, default=2000, metavar="N",
                        help="calls per callgrind loop (default 2000)")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--case", action="append", choices=list(CASES_BY_KEY), help="run only this case (repeatable)")
    parser.add_argument("--rounds", type=int, help="override the number of rounds")
    args = parser.parse_args(argv)

    settings = SMOKE if args.smoke else FULL
    if args.rounds:
        settings = Settings(settings.target_ns, settings.repeat, args.rounds, settings.import_runs)
    selected = [CASES_BY_KEY[k] for k in args.case] if args.case else CASES

    info = machine()
    print(f"machine: {info['cpu']}, {info['cores']} cores; Python {info['python']}; {info['platform']}; {info['date']}")
    print(f"settings: {'smoke' if args.smoke else 'full'}: {settings.rounds} rounds, best of {settings.repeat} "
          f"timings of ~{settings.target_ns / 1e6:g} ms per variant and round; empty-loop cost subtracted; "
          "medians over rounds")
    print()

    env = Environment()
    started = time.perf_counter()
    results = []
    try:
        gc.collect()
        for case in selected:
            results.append(measure(case, env, settings))
    finally:
        env.close()
    print_table(results)
    print()
    mismatches = [r for r in results if not r["same_outcome"]]
    for r in mismatches:
        print(f"WARNING: native and peer differ for {r['label']}: {r['outcomes']}")
    misses = [r["label"] + " " + which for r in results
              for which, key in (("native/floor", "floor_target"), ("native/peer", "peer_target"))
              if verdict(r[which], r[key]) == "MISS"]
    print(f"targets missed: {len(misses)}" + ("" if not misses else ": " + "; ".join(misses)))
    print(f"timing took {time.perf_counter() - started:.1f} s")

    imports = {
        "quorvane.strategy_loader": import_time("quorvane.strategy_loader", settings.import_runs),
        "peer (pure Python)": import_time("peer", settings.import_runs, extra_path=str(BENCH_DIR)),
    }
    print()
    print(f"import time (python -X importtime, median of {settings.import_runs}, cumulative includes the "
          "strategy framework and the standard modules it pulls in):")
    for module, times in imports.items():
        if times is None:
            print(f"  {module}: not measured")
        else:
            print(f"  {module}: self {times['self_us']:,.0f} us, cumulative {times['cumulative_us']:,.0f} us")

    instructions = None
    if args.callgrind:
        keys = args.case or CALLGRIND_CASES
        instructions = callgrind(keys, args.callgrind_calls)
        print()
        if instructions is None:
            print("callgrind: not measured (valgrind missing or failed)")
        else:
            print(f"instructions per call (valgrind --tool=callgrind, {args.callgrind_calls} calls "
                  f"({max(1, args.callgrind_calls // 10)} for {', '.join(sorted(SLOW_CASES))}), empty loop subtracted):")
            for key, counts in instructions.items():
                native = counts.get("native")
                parts = [f"{v} {counts[v]:,.0f}" for v in VARIANTS if v in counts]
                ratios = [f"native/{v} {native / counts[v]:.2f}" for v in ("floor", "peer") if v in counts and counts[v]]
                print(f"  {CASES_BY_KEY[key].label}: " + ", ".join(parts) + "; " + ", ".join(ratios))

    if args.json:
        Path(args.json).write_text(json.dumps(
            {"machine": info, "settings": settings.__dict__, "results": results,
             "import_time": imports, "instructions_per_call": instructions}, indent=2, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
