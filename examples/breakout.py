"""A channel breakout, backtested and swept with vq.csdk.backtest.

Buy a symbol when a bar closes above the highest close of the `window`
bars before it; sell it when a bar closes below the lowest.  Each entry
spends `fraction` of the cash the book shows, in whole lots of 100.

    from vq.csdk.backtest import BacktestConfig, run, sweep
    from breakout import Breakout

    config = BacktestConfig(symbols=("SHSE.600000",), start="2023-01-03", end="2023-12-29")
    result = run(config, Breakout, {"window": 20})
    print(result.data_source, result["total_return"])
    table = sweep(config, Breakout, {"window": [10, 20, 40], "fraction": [0.5, 0.9]})

or from the command line (from this folder, so that `breakout` imports):

    python -m vq.csdk.demo --strategy breakout:Breakout --param window=20
    python -m vq.csdk.demo --strategy breakout:Breakout --sweep --param window=10,20,40
"""

import collections

from vq.csdk.backtest import ORDER_REJECTED, Strategy

LOT = 100


class Breakout(Strategy):
    def __init__(self, window=20, fraction=0.9):
        self.check_params(dict(window=window, fraction=fraction))
        self.window, self.fraction = window, fraction
        self.closes = collections.defaultdict(lambda: collections.deque(maxlen=window))
        self.waiting = set()  # symbols with an order not yet reported

    @staticmethod
    def check_params(params):
        window, fraction = params.get("window", 20), params.get("fraction", 0.9)
        if not isinstance(window, int) or window < 2:
            raise ValueError("window: a whole number of bars >= 2, not %r" % (window,))
        if not 0 < fraction <= 1:
            raise ValueError("fraction: of the cash, in (0, 1], not %r" % (fraction,))

    def on_bar(self, bar):
        past = self.closes[bar.symbol]
        full = len(past) == self.window
        high, low = (max(past), min(past)) if full else (None, None)
        past.append(bar.close)
        if not full or bar.symbol in self.waiting:
            return
        ctx = self.context
        held = ctx.position(bar.symbol)
        if not held and bar.close > high:
            lots = int(ctx.cash * self.fraction / bar.close / LOT)
            if lots:
                self.place(ctx.buy(bar.symbol, lots * LOT), bar.symbol)
        elif held and bar.close < low:
            self.place(ctx.sell(bar.symbol, held), bar.symbol)

    def place(self, response, symbol):
        if response.get("status") != ORDER_REJECTED:
            self.waiting.add(symbol)

    def on_execrpt(self, report):
        self.waiting.discard(report.symbol)
