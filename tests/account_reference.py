"""The account of docs/backtest.rst as a plain loop: one event at a time, in
the order the page gives for a date, with dicts and floats only.  The tests
hold the compiled account to it; it shares no code with the package."""

from __future__ import annotations

import math


class _Trade:
    def __init__(self, symbol, side, date, price):
        self.symbol, self.side = symbol, side
        self.entry_date, self.entry_price = date, price
        self.exit_date, self.exit_price, self.exit_reason = None, None, "open"
        self.pnl = self.basis = self.costs = 0.0
        self.bars = 0

    def row(self):
        return {"symbol": self.symbol, "direction": "long" if self.side > 0 else "short",
                "entry_date": self.entry_date, "entry_price": self.entry_price,
                "exit_date": self.exit_date, "exit_price": self.exit_price, "bars": self.bars,
                "pnl": self.pnl, "return": self.pnl / self.basis, "costs": self.costs,
                "exit_reason": self.exit_reason}


def account(bars, targets, *, commission=0.0, slippage=0.0, fill="close", rebalance=0,
            stop_loss=None, take_profit=None, trailing_stop=None):
    """``bars``: {symbol: list of (date, open, high, low, close)}; ``targets``:
    {symbol: one target per bar}.  Returns the equity, cash and units at each
    date of the union, the fills and the trades."""
    k = (commission + slippage) / 10_000
    symbols = list(bars)
    n = len(symbols)
    by_date = {s: {row[0]: (row[1:], target) for row, target in zip(bars[s], targets[s])}
               for s in symbols}
    dates = sorted({row[0] for s in symbols for row in bars[s]})
    st = {"cash": 1.0, "wiped": False}
    units = dict.fromkeys(symbols, 0.0)
    held = dict.fromkeys(symbols, 0.0)      # the target last filled
    last = dict.fromkeys(symbols, 0.0)      # the last close
    waiting = dict.fromkeys(symbols)        # next-open: (target, rebalance date?)
    stopped = dict.fromkeys(symbols, False)
    trade = dict.fromkeys(symbols)          # the open trade
    extreme = dict.fromkeys(symbols)        # X or Y
    trades, fills = [], []
    flows = []                              # (trade, |flow|) at the current instant
    out = {"equity": [], "cash": [], "units": []}

    def value(prices):
        total = st["cash"]
        for s in symbols:
            if units[s] != 0:
                total += units[s] * prices[s]
        return total

    def wipe_out(prices, date):
        shortfall = -value(prices)
        for s in symbols:
            if units[s] != 0:
                flow = units[s] * prices[s]
                trade[s].pnl += flow
                flows.append((trade[s], abs(flow)))
                trade[s].exit_date, trade[s].exit_price = date, prices[s]
                trade[s].exit_reason = "wipe_out"
                trade[s] = None
                units[s] = 0.0
        total = sum(size for _, size in flows)
        for t, size in flows:
            t.pnl += shortfall * (size / total)
        st["cash"] = 0.0
        st["wiped"] = True

    def open_leg(s, date, new, price):
        cost = k * abs(new) * price
        t = _Trade(s, 1 if new > 0 else -1, date, price)
        t.pnl = -(new * price) - cost
        t.costs, t.basis = cost, abs(new) * price
        trades.append(t)
        trade[s], extreme[s] = t, price
        flows.append((t, abs(new * price)))

    def do_fill(s, date, new, price, equity, at, reason):
        old = units[s]
        du = new - old
        if du == 0:
            return
        cost = k * abs(du) * price
        st["cash"] -= du * price + cost
        fills.append({"date": date, "symbol": s, "at": at, "reason": reason, "price": price,
                      "units": du, "cost": cost, "equity": equity})
        units[s] = new
        if old == 0:
            open_leg(s, date, new, price)
        elif new != 0 and (new > 0) == (old > 0):     # scaled
            t = trade[s]
            t.pnl += -(du * price) - cost
            t.costs += cost
            if abs(new) > abs(old):
                t.basis += abs(du) * price
            flows.append((t, abs(du * price)))
        else:                                          # closed, or across
            t = trade[s]
            leg = k * abs(old) * price
            t.pnl += old * price - leg
            t.costs += leg
            flows.append((t, abs(old * price)))
            t.exit_date, t.exit_price = date, price
            t.exit_reason = "signal" if reason == "rebalance" else reason
            trade[s] = None
            if new != 0:
                open_leg(s, date, new, price)

    def fills_wanted(s, target, rebalancing):
        if stopped[s]:
            return target != held[s]
        return target != held[s] or rebalancing

    def fill_together(date, wanted, prices, at):
        """Fill {symbol: target} at one instant, all sized on one equity."""
        flows.clear()
        equity = value(prices)
        if equity <= 0:
            wipe_out(prices, date)
            return
        for s, target in wanted.items():
            reason = "signal" if target != held[s] else "rebalance"
            do_fill(s, date, target * equity / (n * prices[s]), prices[s], equity, at, reason)
            held[s] = target
            stopped[s] = False
        if value(prices) <= 0:
            wipe_out(prices, date)

    def levels(s):
        side = 1 if units[s] > 0 else -1
        p, x = trade[s].entry_price, extreme[s]
        candidates = []
        if stop_loss is not None:
            candidates.append((p * (1 - side * stop_loss), "stop_loss"))
        if trailing_stop is not None:
            candidates.append((x * (1 - side * trailing_stop), "trailing_stop"))
        stop = (None, None)
        for level, why in candidates:   # the tighter binds; the stop-loss wins a tie
            if stop[0] is None or (level > stop[0] if side > 0 else level < stop[0]):
                stop = (level, why)
        take = None if take_profit is None else p * (1 + side * take_profit)
        return side, stop, take

    def stop_exit(s, date, price, at, why):
        flows.clear()
        prices = dict(last)
        prices[s] = price
        equity = value(prices)
        if equity <= 0:
            wipe_out(prices, date)
            return
        do_fill(s, date, 0.0, price, equity, at, why)
        stopped[s] = True
        if value(prices) <= 0:
            wipe_out(prices, date)

    def beyond(side, price, level):   # at or past the level, against a long's stop
        return level is not None and (price <= level if side > 0 else price >= level)

    for number, date in enumerate(dates, start=1):
        today = [s for s in symbols if date in by_date[s]]
        rebalancing = rebalance > 0 and number % rebalance == 0
        # 1. the opens against the stop levels
        for s in today:
            if st["wiped"] or units[s] == 0:
                continue
            (o, h, lo, c), _ = by_date[s][date]
            side, (stop, why), take = levels(s)
            if beyond(side, o, stop):
                stop_exit(s, date, o, "open", why)
            elif take is not None and beyond(-side, o, take):
                stop_exit(s, date, o, "open", "take_profit")
        # 2. next-open: the targets waiting for this open
        if fill == "next-open" and not st["wiped"]:
            wanted = {}
            for s in today:
                if waiting[s] is not None:
                    target, flagged = waiting[s]
                    waiting[s] = None
                    if fills_wanted(s, target, flagged):
                        wanted[s] = target
            if wanted:
                prices = dict(last)
                for s in wanted:
                    prices[s] = by_date[s][date][0][0]
                fill_together(date, wanted, prices, "open")
        # 3. the bars' ranges against the levels, then X and Y
        for s in today:
            if st["wiped"] or units[s] == 0:
                continue
            (o, h, lo, c), _ = by_date[s][date]
            side, (stop, why), take = levels(s)
            worst, best = (lo, h) if side > 0 else (h, lo)
            if beyond(side, worst, stop):
                stop_exit(s, date, stop, "stop level", why)
            elif take is not None and beyond(-side, best, take):
                stop_exit(s, date, take, "stop level", "take_profit")
            else:
                extreme[s] = max(extreme[s], h) if side > 0 else min(extreme[s], lo)
        if not st["wiped"]:
            # 4. the close
            for s in today:
                last[s] = by_date[s][date][0][3]
            flows.clear()
            if fill == "close":
                wanted = {s: by_date[s][date][1] for s in today
                          if fills_wanted(s, by_date[s][date][1], rebalancing)}
                if wanted:
                    fill_together(date, wanted, dict(last), "close")
            else:
                for s in today:
                    waiting[s] = (by_date[s][date][1], rebalancing)
        if not st["wiped"]:
            # 5. the mark
            equity = value(last)
            if equity <= 0:
                wipe_out(last, date)
            else:
                for s in today:
                    if units[s] != 0:
                        trade[s].bars += 1
        out["equity"].append(0.0 if st["wiped"] else value(last))
        out["cash"].append(st["cash"])
        out["units"].append([units[s] for s in symbols])
    for s in symbols:
        if trade[s] is not None:
            trade[s].exit_price = last[s]
            trade[s].pnl += units[s] * last[s]
    out["fills"] = fills
    # In the order of entry: by date, then symbol.
    order = sorted(range(len(trades)),
                   key=lambda k: (trades[k].entry_date, symbols.index(trades[k].symbol)))
    out["trades"] = [trades[k].row() for k in order]
    return out


def statistics_by_hand(equity, bars_per_year):
    """total_return, sharpe and max_drawdown from the equity, plainly."""
    returns, previous = [], 1.0
    for value in equity:
        returns.append(0.0 if previous == 0 else value / previous - 1)
        previous = value
    mean = sum(returns) / len(returns)
    sd = math.sqrt(sum((r - mean) ** 2 for r in returns) / (len(returns) - 1))
    high, worst = 1.0, 0.0
    for value in equity:
        high = max(high, value)
        worst = max(worst, 1 - value / high)
    return {"total_return": equity[-1] - 1,
            "sharpe": mean / sd * math.sqrt(bars_per_year) if sd else None,
            "max_drawdown": worst}
