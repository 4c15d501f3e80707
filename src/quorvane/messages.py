"""Texts that several layers show: an exception as one line (a command's
error line, a sweep row's ``error``, a plugin's failure reason) and a
strategy as ``ClassName(key=value, ...)`` and a date (the command line's
tables, a result's summary)."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = ["describe", "one_line", "strategy_params", "when"]


def one_line(exc: BaseException) -> str:
    """``Type: message`` on one line: the message's lines joined by blanks."""
    text = " ".join(line.strip() for line in str(exc).splitlines() if line.strip())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def strategy_params(strategy: object) -> Mapping[str, object] | None:
    """The strategy's ``params`` mapping, None when it has none."""
    params = getattr(strategy, "params", None)
    return params if isinstance(params, Mapping) else None


def describe(strategy: object) -> str:
    """``ClassName(key=value, ...)`` from the strategy's ``params``."""
    params = strategy_params(strategy) or {}
    inner = ", ".join(f"{key}={value!r}" for key, value in params.items())
    return f"{type(strategy).__name__}({inner})"


def when(stamp: Any) -> str:
    """A pandas ``Timestamp`` in ISO form, its date alone at midnight."""
    if stamp.hour == stamp.minute == stamp.second == stamp.microsecond == 0 \
            and stamp.nanosecond == 0:
        return str(stamp.date().isoformat())
    return str(stamp.isoformat())
