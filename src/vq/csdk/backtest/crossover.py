"""The moving-average crossover: the demo's strategy, written against the
backtest API as a user's own would be."""

import collections
from typing import Any, Deque, Dict, Mapping, Optional, Set

from vq.csdk.backtest.constants import ORDER_REJECTED
from vq.csdk.backtest.strategy import Strategy

__all__ = ["Average", "Crossover"]


class Average:
    """Short and long moving averages of one symbol's closes."""

    def __init__(self, short: int, long: int) -> None:
        self.short, self.long = short, long
        self.closes: Deque[float] = collections.deque(maxlen=long)
        self.short_sum = self.long_sum = 0.0
        self.last_diff: Optional[float] = None

    def add(self, close: float) -> int:
        """The crossover this close makes: 1 up, -1 down, 0 none."""
        d = self.closes
        if len(d) == self.long:
            self.long_sum -= d[0]
        if len(d) >= self.short:
            self.short_sum -= d[-self.short]
        d.append(close)
        self.long_sum += close
        self.short_sum += close
        if len(d) < self.long:
            return 0
        diff = self.short_sum / self.short - self.long_sum / self.long
        prev, self.last_diff = self.last_diff, diff
        if prev is None:
            return 0
        if prev <= 0 < diff:
            return 1
        if prev >= 0 > diff:
            return -1
        return 0


class Crossover(Strategy):
    """Buy a symbol when its short average crosses above the long one, sell
    it all when it crosses back below.  An order decided on a bar fills at
    the symbol's next trade; until its report comes the symbol takes no new
    order.  Each symbol gets an equal share of the initial cash."""

    def __init__(self, short: int = 10, long: int = 30) -> None:
        self.check_params(dict(short=short, long=long))
        self.short, self.long = short, long
        self.averages: Dict[str, Average] = {}
        self.pending: Set[str] = set()

    @staticmethod
    def check_params(params: Mapping[str, Any]) -> None:
        short, long = params.get("short", 10), params.get("long", 30)
        if not (isinstance(short, int) and isinstance(long, int) and 0 < short < long):
            raise ValueError("need whole numbers 0 < short < long, not %r/%r" % (short, long))

    def on_start(self, context: Any) -> None:
        self.context = context
        symbols = context.config.symbols
        self.averages = {s: Average(self.short, self.long) for s in symbols}
        self.budget = context.config.cash / len(symbols)

    def on_bar(self, bar: Any) -> None:
        self.on_price(bar.symbol, bar.close)

    def on_tick(self, tick: Any) -> None:
        self.on_price(tick.symbol, tick.price)

    def on_price(self, symbol: str, price: float) -> None:
        signal = self.averages[symbol].add(price)
        if not signal or symbol in self.pending:
            return
        ctx = self.context
        if signal > 0 and not ctx.position(symbol):
            lots = int(min(self.budget, ctx.cash) * 0.95 / price / 100)
            if lots > 0 and self._accepted(ctx.buy(symbol, lots * 100)):
                self.pending.add(symbol)
        elif signal < 0 and ctx.position(symbol):
            if self._accepted(ctx.sell(symbol, ctx.position(symbol))):
                self.pending.add(symbol)

    @staticmethod
    def _accepted(response: Mapping[str, Any]) -> bool:
        return response.get("status") != ORDER_REJECTED

    def on_execrpt(self, report: Any) -> None:
        self.pending.discard(report.symbol)
