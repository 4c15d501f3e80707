"""The command as a process among others: its standard output kept for
results, a reader of it that leaves, and SIGTERM.

- :func:`results_only`: with ``--json``, standard output holds the one JSON
  document a script parses; whatever the strategy prints goes to standard
  error.
- :func:`discard_stdout`: the reader left (``| head``, ``| true``); the
  command ends with status 1, quietly.
- :func:`sigterm_stops`: ``kill PID`` or ``timeout`` stops the command as
  Ctrl-C does (its workers stopped, no file half-written), with status 143.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from collections.abc import Iterator
from typing import TextIO

__all__ = ["Terminated", "TERMINATED_STATUS", "discard_stdout", "results_only", "sigterm_stops"]

# 128 + SIGTERM, what a shell reports for a process the signal ended.
TERMINATED_STATUS = 128 + signal.SIGTERM


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised in the main thread.

    A ``KeyboardInterrupt``: whatever stops cleanly on Ctrl-C (a sweep's
    workers, a file being written) stops cleanly on SIGTERM too, and code
    that turns a strategy's exceptions into errors lets it through.
    """


@contextlib.contextmanager
def sigterm_stops() -> Iterator[None]:
    """Inside the block, SIGTERM raises :class:`Terminated`.  A second SIGTERM
    ends the process at once, as it would have without the block."""
    if threading.current_thread() is not threading.main_thread():
        yield  # signal handlers belong to the main thread
        return

    def stop(signum: int, frame: object) -> None:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        raise Terminated

    previous = signal.signal(signal.SIGTERM, stop)
    try:
        yield
    finally:
        # None: a handler installed from C, which cannot be put back.
        signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)


@contextlib.contextmanager
def results_only(stdout: TextIO) -> Iterator[TextIO]:
    """Keep ``stdout`` for the results: inside the block, anything else
    written to standard output (a ``print`` at a strategy's import or in its
    ``generate_signals``, a C library, a child process) goes to standard
    error.  Yields the stream for the results; it is flushed at the end of
    the block, where a reader that left raises ``BrokenPipeError``.

    The file descriptor is redirected, not only ``sys.stdout``: C code and
    child processes (a sweep's workers) write to descriptor 1.
    """
    try:
        fd, error_fd = stdout.fileno(), sys.stderr.fileno()
    except (AttributeError, OSError, ValueError):
        # Not backed by a file (captured by a test, an embedding program):
        # Python's writes are all there is to divert.
        with contextlib.redirect_stdout(sys.stderr):
            yield stdout
        return
    stdout.flush()
    results = open(os.dup(fd), "w", encoding=stdout.encoding, errors=stdout.errors)
    os.dup2(error_fd, fd)
    try:
        with contextlib.redirect_stdout(sys.stderr):
            yield results
    finally:
        # What the block wrote through buffers goes out while descriptor 1
        # is still standard error.
        stdout.flush()
        sys.stderr.flush()
        _flush_c_streams()
        os.dup2(results.fileno(), fd)
        # On a broken pipe close() raises, but the file is closed all the
        # same: nothing is left to fail again at the interpreter's exit.
        results.close()


def _flush_c_streams() -> None:
    try:
        import ctypes

        ctypes.CDLL(None).fflush(None)
    except (ImportError, OSError, AttributeError):
        pass


def discard_stdout() -> None:
    """Point standard output at the null device: its reader left, and the
    interpreter's last flush at exit must not report a broken pipe."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)
