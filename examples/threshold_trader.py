"""A small strategy on vq.csdk.c_sdk: buy a lot when a bar closes at or
below a floor, sell the position when one closes at or above a ceiling.

An order the market rejects is tried again on a later bar, but only
`max_attempts` times in a row; then the strategy stops trading the symbol
instead of ordering forever.  Its tests (test_threshold_trader.py) run it
offline with the pytest plugin vq-csdk.
"""

import json

from vq.csdk import c_sdk

BUY, SELL = 1, 2
MARKET_ORDER = 2
REJECTED = 8


class ThresholdTrader:
    def __init__(self, symbol, floor, ceiling, lot=100, max_attempts=3):
        self.symbol, self.floor, self.ceiling, self.lot = symbol, floor, ceiling, lot
        self.max_attempts = max_attempts
        self.held = 0
        self.pending = False  # an order placed and not yet reported filled
        self.failures = 0  # rejections in a row
        self.gave_up = False
        self.fills = []  # (side, price, volume) from the execution reports
        self.finished = None  # the backtest's summary

    def start(self):
        """Register as the library's event handler."""
        c_sdk.py_vqi_set_data_callback(self)

    def __call__(self, msg_type, payload):
        data = json.loads(payload)
        if msg_type == "bar":
            self.on_bar(data)
        elif msg_type == "execrpt":
            self.on_fill(data)
        elif msg_type == "backtest_finished":
            self.finished = data

    def on_bar(self, bar):
        if bar["symbol"] != self.symbol or self.pending or self.gave_up:
            return
        if not self.held and bar["close"] <= self.floor:
            self.order(BUY, self.lot)
        elif self.held and bar["close"] >= self.ceiling:
            self.order(SELL, self.held)

    def order(self, side, volume):
        req = {"symbol": self.symbol, "side": side, "volume": volume, "order_type": MARKET_ORDER}
        status, res = c_sdk.py_vqi_place_order(json.dumps(req))
        if c_sdk.c_status_ok(status) and json.loads(res)["status"] != REJECTED:
            self.pending, self.failures = True, 0
            return
        self.failures += 1
        self.gave_up = self.failures >= self.max_attempts

    def on_fill(self, report):
        if report["symbol"] != self.symbol:
            return
        self.pending = False
        self.held += report["volume"] if report["side"] == BUY else -report["volume"]
        self.fills.append((report["side"], report["price"], report["volume"]))


def backtest(trader, start, end, frequency="1d", cash=100000.0, commission=0.0):
    """Run trader over [start, end]; the library's status."""
    c_sdk.py_vqi_set_backtest_config(
        start_time=start,
        end_time=end,
        initial_cash=cash,
        transaction_ratio=1.0,
        commission_ratio=commission,
        commission_unit=0.0,
        slippage_ratio=0.0,
        option_float_margin_ratio1=0.0,
        option_float_margin_ratio2=0.0,
        adjust=0,
        match_mode=0,
        check_cache=0,
    )
    c_sdk.py_vqi_subscribe(trader.symbol, frequency, True)
    trader.start()
    return c_sdk.py_vqi_run()
