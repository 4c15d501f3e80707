"""The backtest: an account that trades a strategy's target positions.

A strategy gives one target position per bar, from -1 (fully short) to +1
(fully long).  The account starts with equity 1 in cash.  With N symbols, a
target ``p`` of symbol i means holding ``u = p * E_f / (N * f)`` units, where
``f`` is the fill price and ``E_f`` the account's equity marked at the prices
of that instant (fill prices for the symbols filling, last closes for the
others), before the costs of that instant's fills; symbols filling at one
instant are all sized on the same ``E_f``.  A fill of ``du`` units at price
``f`` costs ``k * |du| * f`` with ``k = (commission + slippage) / 10,000``,
and cash changes by ``-(du * f) - cost``; cash earns nothing and a short's
proceeds are cash.

- A target is filled when it differs from the target the symbol holds, at
  the close that decided it (``fill="close"``) or at the symbol's next open
  (``fill="next-open"``; the last bar's target is never filled).  Between
  fills the units stay as they are.  ``rebalance=R`` also fills every
  symbol's target again on every R-th date of the dates' union.
- Stops (``stop_loss``, ``take_profit``, ``trailing_stop``: fractions of the
  entry price P) are checked on every bar after the entry fill: a long's
  stop level is the higher of ``P(1 - S)`` and ``X(1 - R)``, X the highest
  high since entry, its take-profit ``P(1 + T)`` (a short mirrored).  An
  open through the stop, then an open through the take-profit, exits at the
  open; then a low through the stop, then a high through the take-profit,
  exits at that level.  A stopped symbol stays flat until its target
  changes.
- Each date's equity is cash plus every symbol's units at its last close,
  after that date's fills.  At 0 or less the account is wiped out: positions
  are closed at that mark without cost and equity stays 0.

A trade is a round trip of one symbol, from the fill that opens it to the
fill that brings its units back to 0 or across.  The rules in full, the
order of the events of a date, the trades' columns and every statistic are
written in ``docs/backtest.rst``.  The loop runs compiled
(``quorvane._kernels.account``), one pass for one symbol or a portfolio.
"""

from .account import MAX_COST_BPS, AccountOptions, cost_rate
from .positions import check_positions
from .results import BacktestResult, PortfolioResult
from .runs import backtest, benchmark_closes, portfolio, run_strategy

__all__ = ["AccountOptions", "BacktestResult", "PortfolioResult", "backtest", "benchmark_closes",
           "check_positions", "cost_rate", "portfolio", "run_strategy", "MAX_COST_BPS"]
