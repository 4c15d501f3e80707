"""The terms of the account and its compiled pass.

:class:`AccountOptions` holds and checks what the account is run with (costs,
fill timing, rebalancing, stops); :meth:`Market.run` runs the compiled loop
over aligned arrays of dates x symbols and returns its :class:`Ledger`.  The
rules themselves are written in ``docs/backtest.rst`` and in the
:mod:`quorvane.backtest` docstring.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, fields
from typing import NamedTuple

import numpy as np

from quorvane import _kernels

__all__ = ["AccountOptions", "FILLS", "FILL_DTYPE", "Ledger", "MAX_COST_BPS", "Market", "REASONS",
           "STOPS", "Summary", "TRADE_DTYPE", "WHERE", "check_stop", "cost_rate"]

# Costs above half of the traded value would make a flip cost more than the
# position it leaves; no market charges that.
MAX_COST_BPS = 5_000.0

FILLS = ("close", "next-open")
# The options a sweep may vary per row like a strategy parameter.
STOPS = ("stop_loss", "take_profit", "trailing_stop")

# The layouts of the kernel's records (native byte order) and the meaning of
# their codes: indicator_kernels/account.cpp writes them.
FILL_DTYPE = np.dtype([("bar", "=i8"), ("symbol", "=i8"), ("at", "=i8"), ("reason", "=i8"),
                       ("price", "=f8"), ("units", "=f8"), ("cost", "=f8"), ("equity", "=f8")])
TRADE_DTYPE = np.dtype([("symbol", "=i8"), ("side", "=i8"), ("entry_bar", "=i8"),
                        ("exit_bar", "=i8"), ("bars", "=i8"), ("exit_reason", "=i8"),
                        ("entry_price", "=f8"), ("exit_price", "=f8"), ("pnl", "=f8"),
                        ("basis", "=f8"), ("costs", "=f8")])
WHERE = np.array(["close", "open", "stop level"], dtype=object)
REASONS = np.array(["signal", "rebalance", "stop_loss", "take_profit", "trailing_stop", "wipe_out",
                    "open"], dtype=object)


def cost_rate(commission: float, slippage: float) -> float:
    """The cost rate k of a fill, from basis points.

    Args:
        commission: Basis points of the value traded, 0 or more.
        slippage: Basis points of the value traded, 0 or more.

    Returns:
        ``(commission + slippage) / 10,000``.

    Raises:
        ValueError: A cost that is not a finite number of 0 or more, or costs
            above half the traded value together.
    """
    for name, value in (("commission", commission), ("slippage", slippage)):
        if isinstance(value, bool) or not isinstance(value, numbers.Real) \
                or not (0 <= value < math.inf):
            raise ValueError(f"{name} must be a number of basis points >= 0, got {value!r}")
    if commission + slippage > MAX_COST_BPS:
        raise ValueError(f"commission + slippage is {commission + slippage:g} basis points; "
                         f"more than {MAX_COST_BPS:g} (half the traded value) is surely a mistake")
    return (float(commission) + float(slippage)) / 10_000.0


@dataclass(frozen=True)
class AccountOptions:
    """What the account runs with; every field is a keyword of
    :func:`~quorvane.backtest.backtest`.

    ``commission`` and ``slippage`` in basis points of the value traded;
    ``fill`` ``"close"`` or ``"next-open"``; ``rebalance`` every that many
    dates (0: never); ``stop_loss``, ``take_profit`` and ``trailing_stop``
    fractions of the entry price, or None for none.  Checked when made: a
    bad value raises ValueError naming the option.
    """

    commission: float = 0.0
    slippage: float = 0.0
    fill: str = "close"
    rebalance: int = 0
    stop_loss: float | None = None
    take_profit: float | None = None
    trailing_stop: float | None = None

    def __post_init__(self) -> None:
        cost_rate(self.commission, self.slippage)
        fill = self.fill.replace("_", "-") if isinstance(self.fill, str) else self.fill
        if fill not in FILLS:
            raise ValueError(f"fill must be 'close' or 'next-open', got {self.fill!r}")
        object.__setattr__(self, "fill", fill)
        rebalance = self.rebalance
        if isinstance(rebalance, bool) or not isinstance(rebalance, numbers.Integral) \
                or rebalance < 0:
            raise ValueError(f"rebalance must be a whole number of dates >= 0 (0: never), "
                             f"got {rebalance!r}")
        object.__setattr__(self, "rebalance", int(rebalance))
        for name in STOPS:
            object.__setattr__(self, name, check_stop(name, getattr(self, name)))

    @property
    def cost_rate(self) -> float:
        return cost_rate(self.commission, self.slippage)

    @property
    def uses_ranges(self) -> bool:
        """Whether the account reads opens, highs and lows (not only closes)."""
        return self.fill == "next-open" or any(getattr(self, name) is not None for name in STOPS)

    def as_dict(self) -> dict[str, object]:
        """The options as ``{name: value}``, as ``run --json`` reports them.

        Returns:
            A new dict, in the order of the fields.
        """
        return {field.name: getattr(self, field.name) for field in fields(self)}

    def describe_costs(self) -> str:
        """The costs in words, as a run's summary shows them.

        Returns:
            ``"5 bps commission + 2 bps slippage of the value traded"``.
        """
        return (f"{self.commission:g} bps commission + {self.slippage:g} bps slippage of the "
                "value traded")

    def describe_fills(self) -> str:
        """When targets fill, and the stops, in words.

        Returns:
            ``"at the close, held until the target changes; no stops"`` and
            the like.
        """
        when = "at the close" if self.fill == "close" else "at the next open"
        how = ("held until the target changes" if not self.rebalance else
               "re-sized at every bar" if self.rebalance == 1 else
               f"re-sized every {self.rebalance:,} dates")
        stops = [f"{name.replace('_', '-')} {value:.4g}" for name in STOPS
                 if (value := getattr(self, name)) is not None]
        return f"{when}, {how}; " + (", ".join(stops) if stops else "no stops")


def check_stop(name: str, value: object) -> float | None:
    """A stop as a float, or None for none; refuses what is not a positive
    finite fraction."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real) \
            or not (0 < float(value) < math.inf):
        raise ValueError(f"{name} must be a positive fraction of the entry price (0.02 is 2%) "
                         f"or None, got {value!r}")
    return float(value)


class Summary(NamedTuple):
    """The sums of a run that the statistics are computed from."""

    fills: int
    turnover: float   # the sum of |units| * price / equity over the fills
    costs: float
    held: int         # dates with some units held at the close
    trades: int
    wins: int         # trades with a pnl above 0
    gains: float      # their pnl
    losses: float     # the pnl of the trades below 0
    returns: float    # the sum of the trades' returns
    best: float
    worst: float
    bars: int         # the sum of the trades' bars


@dataclass(frozen=True, eq=False)
class Ledger:
    """What the compiled pass returns: the ``equity`` at each date's close,
    the :class:`Summary`, and with ``detail`` the ``cash`` and the ``units``
    of each symbol (dates x symbols) at each close and the records of the
    ``fills`` and ``trades`` (:data:`FILL_DTYPE`, :data:`TRADE_DTYPE`; the
    trades in the order of their entry, by date and then symbol)."""

    equity: np.ndarray
    summary: Summary
    cash: np.ndarray | None = None
    units: np.ndarray | None = None
    fills: np.ndarray | None = None
    trades: np.ndarray | None = None


@dataclass(frozen=True, eq=False)
class Market:
    """What the account runs over: float64 arrays of shape (dates, symbols),
    NaN where a symbol has no bar (its target is then ignored).  ``open``,
    ``high`` and ``low`` are needed only when the options use them
    (:attr:`AccountOptions.uses_ranges`); the loop never reads them
    otherwise."""

    close: np.ndarray
    target: np.ndarray
    open: np.ndarray | None = None
    high: np.ndarray | None = None
    low: np.ndarray | None = None

    def run(self, options: AccountOptions, *, detail: bool = False) -> Ledger:
        """One pass of the account: the equity and the sums, and with
        ``detail`` the cash, the units and the records too (a second pass
        for tables costs what the first did)."""
        dates, symbols = self.close.shape
        close = np.ascontiguousarray(self.close, dtype=np.float64)
        target = np.ascontiguousarray(self.target, dtype=np.float64)
        if options.uses_ranges:
            assert self.open is not None and self.high is not None and self.low is not None
            ranges = [np.ascontiguousarray(values, dtype=np.float64)
                      for values in (self.open, self.high, self.low)]
        else:
            ranges = [close, close, close]
        equity = np.empty(dates)
        cash = np.empty(dates) if detail else None
        units = np.empty((dates, symbols)) if detail else None
        stop_loss, take_profit, trailing_stop = (
            math.nan if value is None else value
            for value in (options.stop_loss, options.take_profit, options.trailing_stop))
        open_, high, low = (values.reshape(-1) for values in ranges)
        summary, fills, trades = _kernels.account(
            open_, high, low, close.reshape(-1), target.reshape(-1),
            symbols, options.cost_rate, options.fill == "next-open", options.rebalance,
            stop_loss, take_profit, trailing_stop,
            equity, cash, None if units is None else units.reshape(-1))
        if not detail:
            return Ledger(equity=equity, summary=Summary(*summary))
        assert fills is not None and trades is not None
        records = np.frombuffer(trades, dtype=TRADE_DTYPE)
        if symbols > 1:
            # The kernel writes trades as they close: in the order of entry,
            # by date and then symbol (one symbol's close in order).
            records = records[np.lexsort((records["symbol"], records["entry_bar"]))]
        return Ledger(equity=equity, summary=Summary(*summary), cash=cash, units=units,
                      fills=np.frombuffer(fills, dtype=FILL_DTYPE), trades=records)
