"""Checks of parameter values, below both the indicators and the built-in
strategies; pure Python, as the loader imports the strategies at start-up."""

from __future__ import annotations

import math
import operator

__all__ = ["check_period", "check_number", "check_ordered"]


def check_period(name: str, value: object) -> int:
    """Return ``value`` as an int if it is a usable period (an integer >= 1,
    not a bool); otherwise raise ValueError naming ``name`` and the value."""
    if type(value) is int and value >= 1:  # the common case, checked cheaply
        return value
    if not isinstance(value, bool):
        try:
            period = operator.index(value)  # type: ignore[arg-type]  # TypeError if not
        except TypeError:
            pass
        else:
            if period >= 1:
                return period
    raise ValueError(f"{name} must be an integer >= 1, got {value!r}")


def check_number(name: str, value: object, *, minimum: float,
                 inclusive: bool = True, maximum: float = math.inf) -> object:
    """Return ``value`` if it is a finite real number within the given range."""
    ok = (isinstance(value, (int, float)) and not isinstance(value, bool)
          and math.isfinite(value) and value <= maximum
          and (value >= minimum if inclusive else value > minimum))
    if ok:
        return value
    if maximum != math.inf:
        wanted = f"a number between {minimum:g} and {maximum:g}"
    else:
        wanted = f"a finite number {'>=' if inclusive else '>'} {minimum:g}"
    raise ValueError(f"{name} must be {wanted}, got {value!r}")


def check_ordered(low_name: str, low: object, high_name: str, high: object) -> None:
    """Refuse a pair of parameters whose first is not below its second."""
    if not low < high:  # type: ignore[operator]  # numbers, checked by the caller
        raise ValueError(
            f"{low_name} must be less than {high_name}, "
            f"got {low_name}={low!r}, {high_name}={high!r}"
        )
