"""The grid of a sweep: ``KEY=VALUES`` options and their Cartesian product.

VALUES is either a comma list of literals, each read as a ``--param`` value
is (``10,20,50``, ``0.5,1.0``, ``'a','b'``, ``fast,slow``), or an integer
range ``START:STOP:STEP`` whose STOP is included when the steps reach it
(``5:100:5`` is 5, 10, ..., 100; ``1:10`` steps by one).
"""

from __future__ import annotations

import itertools
import re
from collections.abc import Iterable, Mapping, Sequence

from quorvane import params

__all__ = ["GridError", "parse_values", "parse_grid", "check_name", "combinations"]

_RANGE = re.compile(r"\s*([+-]?\d+)\s*:\s*([+-]?\d+)\s*(?::\s*([+-]?\d+)\s*)?")
_OPENING = {"[": "]", "(": ")", "{": "}"}


class GridError(params.ParameterError):
    """A grid that cannot be read; the message names the option and the fault."""


def check_name(key: object, what: str = "--grid") -> str:
    """``key`` if a grid (or a fixed parameter) may set it."""
    return params.check_name(key, what, GridError)


def parse_values(text: str, key: str = "") -> list[object]:
    """The values of one grid dimension, from its VALUES text."""
    label = f"--grid {key}" if key else "--grid"
    match = _RANGE.fullmatch(text)
    if match:
        start, stop = int(match[1]), int(match[2])
        step = int(match[3]) if match[3] is not None else 1
        if step == 0:
            raise GridError(f"{label}: the step of {text.strip()} is zero")
        values: list[object] = list(range(start, stop + (1 if step > 0 else -1), step))
        if not values:
            raise GridError(f"{label}: {text.strip()} holds no value "
                            f"(a {'positive' if step > 0 else 'negative'} step never reaches {stop})")
        return values
    parts = _split_commas(text)
    if any(not part.strip() for part in parts):
        raise GridError(f"{label}: empty value in {text!r}; expected VALUE,VALUE,... "
                        "or START:STOP:STEP")
    return [params.parse_literal(part.strip()) for part in parts]


def _split_commas(text: str) -> list[str]:
    """``text`` split at the commas outside quotes and brackets, so that
    ``'a,b',[1,2]`` is two values."""
    parts, start, closing, quote = [], 0, [], ""
    index = 0
    while index < len(text):
        char = text[index]
        if quote:
            if char == "\\":
                index += 1
            elif char == quote:
                quote = ""
        elif char in "'\"":
            quote = char
        elif char in _OPENING:
            closing.append(_OPENING[char])
        elif closing and char == closing[-1]:
            closing.pop()
        elif char == "," and not closing:
            parts.append(text[start:index])
            start = index + 1
        index += 1
    parts.append(text[start:])
    return parts


def parse_grid(items: Iterable[str]) -> dict[str, list[object]]:
    """The ``--grid KEY=VALUES`` options as ``{key: values}``, in their order."""
    return params.parse_items(items, "--grid", "KEY=VALUES", parse_values, GridError)


def normalise(grid: Mapping[str, object]) -> dict[str, list[object]]:
    """A grid given to the Python API: each value a VALUES text or a sequence."""
    out: dict[str, list[object]] = {}
    for key, values in grid.items():
        check_name(key, "grid")
        if isinstance(values, str):
            out[key] = parse_values(values, key)
        elif isinstance(values, Iterable):
            out[key] = list(values)
        else:
            out[key] = [values]
        if not out[key]:
            raise GridError(f"grid {key}: no values")
    return out


def combinations(grid: Mapping[str, Sequence[object]]) -> list[dict[str, object]]:
    """The Cartesian product of the grid, the last key varying fastest; one
    empty combination for an empty grid."""
    keys = list(grid)
    return [dict(zip(keys, values)) for values in itertools.product(*grid.values())]
