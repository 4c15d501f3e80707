"""An exception as one line of text, for a command's error line, a sweep
row's ``error`` and a plugin's failure reason."""

from __future__ import annotations

__all__ = ["one_line"]


def one_line(exc: BaseException) -> str:
    """``Type: message`` on one line: the message's lines joined by blanks."""
    text = " ".join(line.strip() for line in str(exc).splitlines() if line.strip())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__
