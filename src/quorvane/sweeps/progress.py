"""The progress bar of a sweep: on standard error, one step per finished
combination, and only where a person watches (standard error is a terminal)."""

from __future__ import annotations

import functools
import sys
from typing import Any

__all__ = ["progress_bar", "wanted"]


def wanted(setting: bool | None) -> bool:
    """``setting``, or when it is None whether standard error is a terminal."""
    if setting is not None:
        return setting
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


def progress_bar(total: int, enabled: bool, label: str) -> Any:
    return _bar_class()(total=total, disable=not enabled, file=sys.stderr, desc=label,
                        unit="combination", dynamic_ncols=True, leave=False)


@functools.cache
def _bar_class() -> Any:
    from tqdm import tqdm

    class Bar(tqdm):  # type: ignore[misc]
        # Every bar, even a disabled one, would start the bar class's monitor
        # thread, and a disabled bar never stops it: the thread stayed for
        # the life of the process, and the next sweep forked its workers
        # beside it.  Our bars step once per combination; they need no
        # monitor.
        monitor_interval = 0

    return Bar
