"""``BaseStrategy``, the base class of the built-in strategies, and the
parameter checks the built-in strategies share.

Nothing here imports numpy or pandas: the compiled loader imports this
module at every start-up, and the strategies import the data stack only
when they compute.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

__all__ = ["BaseStrategy"]


class BaseStrategy:
    """Base class of the built-in strategies: keyword parameters in, one signal per bar out.

    Subclasses are created from keyword arguments only.  The parameters are
    kept in the dict ``params``; the built-in strategies also expose each
    one as a read-only attribute, so that a strategy checked at construction
    stays consistent (``fast_period < slow_period`` and the like).

    A subclass overrides :meth:`generate_signals`.
    """

    def __init__(self, **params: object) -> None:
        self.params: dict[str, object] = params

    def generate_signals(self, bars: pd.DataFrame) -> pd.Series | np.ndarray | Sequence[float]:
        """Return one target position per bar, from -1 (fully short) to +1 (fully long).

        ``bars`` is a DataFrame as :func:`quorvane.data.read_bars` returns it:
        a rising ``DatetimeIndex`` and float columns ``open``, ``high``,
        ``low``, ``close``, ``volume``.  The built-in strategies return a
        Series on the bars' index, 0 while their indicator warms up.
        """
        raise NotImplementedError(
            f"{type(self).__name__} must override generate_signals(bars) and "
            "return one target position (from -1 to +1) per bar"
        )

    def __repr__(self) -> str:
        args = ", ".join(f"{name}={value!r}" for name, value in self.params.items())
        return f"{type(self).__name__}({args})"


def parameter(name: str, doc: str) -> property:
    """A read-only attribute that shows the parameter ``name`` of ``params``."""
    return property(lambda self: self.params[name], doc=doc)


def check_period(name: str, value: object) -> int:
    """Return ``value`` as an int if it is a usable period (an integer >= 1,
    not a bool); otherwise raise ValueError naming ``name`` and the value."""
    if type(value) is int and value >= 1:  # the common case, checked cheaply
        return value
    if not isinstance(value, bool):
        try:
            period = operator.index(value)
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
    if not low < high:
        raise ValueError(
            f"{low_name} must be less than {high_name}, "
            f"got {low_name}={low!r}, {high_name}={high!r}"
        )
