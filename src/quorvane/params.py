"""Strategy parameters given as text (``--param KEY=VALUE``, the sweep grid's
``--grid KEY=VALUES``): the items, literal values, and the names a parameter
cannot take."""

from __future__ import annotations

import ast
from collections.abc import Callable, Iterable
from typing import TypeVar

__all__ = ["RESERVED", "ParameterError", "parse_literal", "check_name", "parse_items"]

# Keywords the loader binds itself: a parameter cannot take their names.
RESERVED = {
    "strategy_spec": "the strategy is the SPEC argument",
    "symbols": "use --symbols A,B",
    "class_name": "use --class-name NAME",
}


T = TypeVar("T")


class ParameterError(ValueError):
    """A parameter name or item that cannot be used; the message says why."""


def parse_literal(text: str) -> object:
    """``text`` as a Python literal (20, 0.5, True, None, 'x', [1, 2]) where
    it is one, else the text itself."""
    try:
        return ast.literal_eval(text)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return text


def check_name(key: object, what: str, error: type[ParameterError] = ParameterError) -> str:
    """``key`` if it can name a parameter (given as ``what``): an identifier,
    not a reserved name."""
    if not isinstance(key, str) or not key.isidentifier():
        raise error(f"{what} {key!r}: a parameter name must be a Python identifier")
    if key in RESERVED:
        raise error(f"{what} {key}: {RESERVED[key]}")
    return key


def parse_items(items: Iterable[str], option: str, form: str,
                value: Callable[[str, str], T],
                error: type[ParameterError] = ParameterError) -> dict[str, T]:
    """The ``KEY=...`` items of ``option`` (whose syntax ``form`` shows) as
    ``{key: value(text, key)}``, in their order; each key given once."""
    parsed: dict[str, T] = {}
    for item in items:
        key, sep, raw = item.partition("=")
        key = key.strip()
        if not sep or not key:
            raise error(f"{option} expects {form}, got {item!r}")
        check_name(key, option, error)
        if key in parsed:
            raise error(f"{option} {key} is given more than once")
        parsed[key] = value(raw, key)
    return parsed
