"""Suite-wide settings."""

import os
import sys
import threading
import time

import pytest

SANITIZER_RUN = os.environ.get("QUORVANE_SANITIZER_RUN") == "1"


def pytest_collection_modifyitems(config, items):
    # The sanitizer pass looks for memory faults in the compiled modules; type
    # checkers, the docs build and the notebook exercise nothing there that
    # the rest of the suite does not, and cost minutes under the sanitizers.
    if not SANITIZER_RUN:
        return
    skip = pytest.mark.skip(reason="tooling check; it runs in the normal pass")
    for item in items:
        if item.get_closest_marker("tooling"):
            item.add_marker(skip)


# The sanitizer runtime's allocator takes no lock around fork(): a thread
# that is still exiting (handing its allocator cache back) when a process
# forks leaves the child a lock that nobody will release, and the child hangs
# at its first allocation.  A sweep's pool is shut down and the next one
# forked within milliseconds (walk-forward does it every run), so in that
# pass every fork first waits for the threads that Python has finished to
# leave the process.  The C library's allocator needs none of this.
_python_threads: set[int] = set()


def _note_thread(frame, event, arg):
    _python_threads.add(threading.get_native_id())
    sys.setprofile(None)


def _let_finished_threads_exit():
    finished = _python_threads - {thread.native_id for thread in threading.enumerate()}
    deadline = time.monotonic() + 2
    while True:
        present = {int(tid) for tid in os.listdir("/proc/self/task")}
        if not finished & present or time.monotonic() > deadline:
            break
        time.sleep(0.001)
    _python_threads.intersection_update(present)


if SANITIZER_RUN and sys.platform == "linux":
    threading.setprofile(_note_thread)
    os.register_at_fork(before=_let_finished_threads_exit)
