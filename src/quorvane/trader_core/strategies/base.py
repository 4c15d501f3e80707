"""``BaseStrategy``, the base class of the built-in strategies, and the
read-only attributes that show their parameters.

Nothing here imports numpy or pandas: the compiled loader imports this
module at every start-up, and the strategies import the data stack only
when they compute.
"""

from __future__ import annotations

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

        Args:
            bars: One symbol's bars as :func:`quorvane.data.read_bars`
                returns them: a rising ``DatetimeIndex`` and float columns
                ``open``, ``high``, ``low``, ``close``, ``volume``.

        Returns:
            One position per bar; the built-in strategies return a Series on
            the bars' index, 0 while their indicator warms up.
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
