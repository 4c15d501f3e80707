"""Driver for counting instructions per call under callgrind.

Each measured loop runs inside sys.call_tracing, the one entry of the
interpreter nothing else in the process uses, so callgrind can collect
exactly the loop:

    valgrind --tool=callgrind --collect-atstart=no \\
        --toggle-collect=sys_call_tracing --dump-after=sys_call_tracing \\
        python bench/callgrind_case.py --calls 2000 name class_symbols

dumps one profile per loop, in the order of the JSON list of labels the
driver prints last: "empty" (a loop of the same length doing nothing, to
subtract), then "<case>:<variant>" for each case and variant. run.py
--callgrind does this and prints the counts.

For a profile of one variant alone, to read with callgrind_annotate:

    valgrind --tool=callgrind --collect-atstart=no \\
        --toggle-collect=sys_call_tracing \\
        python bench/callgrind_case.py --variants native --no-empty name
"""

from __future__ import annotations

import argparse
import gc
import itertools
import json
import sys
import time
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import run  # noqa: E402


def collect(timer: timeit.Timer, calls: int) -> None:
    """Run `calls` iterations of the timer's loop inside the collected call."""
    gc.disable()
    try:
        sys.call_tracing(timer.inner, (itertools.repeat(None, calls), time.perf_counter_ns))
    finally:
        gc.enable()


def main() -> int:
    parser = argparse.ArgumentParser(description="one loop per case and variant, for callgrind")
    parser.add_argument("cases", nargs="+", choices=list(run.CASES_BY_KEY))
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--variants", default=",".join(run.VARIANTS))
    parser.add_argument("--no-empty", action="store_true", help="skip the empty-loop baseline")
    args = parser.parse_args()

    env = run.Environment()
    labels = []
    try:
        if not args.no_empty:
            collect(timeit.Timer("pass", timer=time.perf_counter_ns), args.calls)
            labels.append("empty")
        for key in args.cases:
            case_timers = run.timers(run.CASES_BY_KEY[key], env)
            for variant in args.variants.split(","):
                timer = case_timers.get(variant)
                if timer is None:
                    continue
                timer.timeit(min(200, args.calls))  # warm up outside the collected call
                collect(timer, args.calls)
                labels.append(f"{key}:{variant}")
    finally:
        env.close()
    print(json.dumps(labels))
    return 0


if __name__ == "__main__":
    sys.exit(main())
