"""How the command line lays out its tables and JSON values: one rule for
``run``'s, ``sweep``'s and ``walkforward``'s.  The figures themselves are
written by :func:`quorvane.stats.format_stat`, the dates by
:func:`quorvane.messages.when`."""

from __future__ import annotations

import json

__all__ = ["aligned", "plain"]


def plain(value: object) -> object:
    """``value`` if JSON can hold it as it is, else its repr."""
    try:
        json.dumps(value, allow_nan=False)
    except (TypeError, ValueError, RecursionError):
        return repr(value)
    return value


def aligned(rows: list[list[str]], left: tuple[int, ...] = (0,)) -> list[str]:
    """Rows of cells as lines of a table: the columns numbered in ``left``
    to the left, the others to the right, two blanks between."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(widths[i]) if i in left else cell.rjust(widths[i])
                      for i, cell in enumerate(row)).rstrip() for row in rows]
