"""A moving-average crossover strategy, backtested through c_sdk.

    python -m vq.csdk.demo [--symbols A,B] [--start T] [--end T]
                           [--frequency F] [--cash X] [--short N] [--long N]

It drives the trading library only through the module's py_vqi_ wrappers:
configure, subscribe, run, and from inside the events place orders and
count the execution reports.  With the bundled stand-in library the
backtest is served offline (standin/MARKET.md has the JSON it speaks);
with the real library it goes to the configured server.
"""

import argparse
import collections
import json
import sys
import time

from vq.csdk import c_sdk

BUY, SELL = 1, 2
MARKET_ORDER = 2
REJECTED = 8


def check(status, fn):
    """True when a library call succeeded; a failure is logged by c_sdk."""
    if c_sdk.c_status_fail(status, fn):
        print(
            "%s failed: status %d (%s)"
            % (fn, status, c_sdk.py_vqi_strerror(status).decode("utf-8", "replace")),
            file=sys.stderr,
        )
        return False
    return True


class Average:
    """Short and long moving averages of one symbol's closes."""

    def __init__(self, short, long):
        self.short, self.long = short, long
        self.closes = collections.deque(maxlen=long)
        self.short_sum = self.long_sum = 0.0
        self.last_diff = None

    def add(self, close):
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


class Crossover:
    """Buy a symbol when its short average crosses above the long one, sell
    it all when it crosses back below."""

    def __init__(self, symbols, short, long, cash, progress_every):
        self.averages = {s: Average(short, long) for s in symbols}
        self.budget = cash / len(symbols)
        self.initial_cash = cash
        self.cash = cash  # as the execution reports tell it
        self.held = collections.Counter()
        self.last = {}
        self.pending = set()  # symbols with an order not yet filled
        self.progress_every = progress_every
        self.events = self.bars = self.orders = self.fills = self.rejected = 0
        self.failed = 0
        self.finished = None
        self.handlers = {
            "bar": self.on_bar,
            "tick": self.on_tick,
            "execrpt": self.on_execrpt,
            "backtest_finished": self.on_finished,
        }

    # the callable registered with py_vqi_set_data_callback
    def __call__(self, msg_type, payload):
        self.events += 1
        handler = self.handlers.get(msg_type)
        if handler:
            handler(json.loads(payload))

    def on_bar(self, data):
        bar = c_sdk.BarLikeDict2(data)
        bar.receive_local_time = time.time()
        self.bars += 1
        self.on_price(bar.symbol, bar.close, bar.eob)

    def on_tick(self, data):
        tick = c_sdk.TickLikeDict2(data)
        self.bars += 1
        self.on_price(tick.symbol, tick.price, tick.created_at)

    def on_price(self, symbol, price, at):
        self.last[symbol] = price
        signal = self.averages[symbol].add(price)
        if signal and symbol not in self.pending:
            if signal > 0 and not self.held[symbol]:
                lots = int(min(self.budget, self.cash) * 0.95 / price / 100)
                if lots > 0:
                    self.order(symbol, BUY, lots * 100)
            elif signal < 0 and self.held[symbol]:
                self.order(symbol, SELL, self.held[symbol])
        if self.progress_every and self.bars % self.progress_every == 0:
            print(
                "[%s] bars %d  orders %d  fills %d  equity %.2f"
                % (at, self.bars, self.orders, self.fills, self.equity()),
                flush=True,
            )

    def order(self, symbol, side, volume):
        req = json.dumps(
            {
                "symbol": symbol,
                "side": side,
                "volume": volume,
                "order_type": MARKET_ORDER,
                "price": 0,
            }
        )
        status, res = c_sdk.py_vqi_place_order(req)
        self.orders += 1
        if not check(status, "vqi_place_order_pb"):
            self.failed += 1
            return
        order = c_sdk.ObjectLikeDict2(json.loads(res))
        if order.status == REJECTED:
            self.rejected += 1
            print("order rejected: %s %s" % (symbol, order.ord_rej_reason_detail), flush=True)
        else:
            self.pending.add(symbol)

    def on_execrpt(self, data):
        rpt = c_sdk.ObjectLikeDict2(data)
        self.fills += 1
        self.pending.discard(rpt.symbol)
        if rpt.side == BUY:
            self.held[rpt.symbol] += rpt.volume
            self.cash -= rpt.amount + rpt.commission
        else:
            self.held[rpt.symbol] -= rpt.volume
            self.cash += rpt.amount - rpt.commission

    def on_finished(self, data):
        self.finished = data

    def equity(self):
        return self.cash + sum(v * self.last.get(s, 0.0) for s, v in self.held.items())


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python -m vq.csdk.demo", description=__doc__.split("\n")[0])
    p.add_argument(
        "--symbols",
        default="SHSE.600000,SZSE.000001",
        help="comma-separated symbols (default %(default)s)",
    )
    p.add_argument("--start", default="2022-01-03", help="first day or time (default %(default)s)")
    p.add_argument("--end", default="2024-12-31", help="last day or time (default %(default)s)")
    p.add_argument(
        "--frequency", default="60s", help="60s, 300s, 1d, tick... (default %(default)s)"
    )
    p.add_argument(
        "--cash", type=float, default=1000000.0, help="initial cash (default %(default)s)"
    )
    p.add_argument(
        "--short", type=int, default=10, help="short window in bars (default %(default)s)"
    )
    p.add_argument("--long", type=int, default=60, help="long window in bars (default %(default)s)")
    p.add_argument(
        "--commission", type=float, default=0.0001, help="commission ratio (default %(default)s)"
    )
    p.add_argument(
        "--progress-every",
        type=int,
        default=50000,
        metavar="N",
        help="a progress line every N bars, 0 for none (default %(default)s)",
    )
    p.add_argument("--serv-addr", default="127.0.0.1:7001")
    p.add_argument("--token", default="demo-token")
    p.add_argument("--strategy-id", default="ma-crossover")
    p.add_argument("--account-id", default="demo-account")
    args = p.parse_args(argv)
    args.symbol_list = [s.strip() for s in args.symbols.split(",") if s.strip()]
    if not args.symbol_list:
        p.error("--symbols names no symbol")
    if not 0 < args.short < args.long:
        p.error("need 0 < --short < --long")
    return args


def main(argv=None):
    args = parse_args(argv)
    strategy = Crossover(args.symbol_list, args.short, args.long, args.cash, args.progress_every)

    c_sdk.py_vqi_set_data_callback(strategy)
    if not check(c_sdk.py_vqi_set_token(args.token), "vqi_set_token"):
        return 1
    c_sdk.py_vqi_set_strategy_id(args.strategy_id)
    c_sdk.py_vqi_set_account_id(args.account_id.encode())
    c_sdk.py_vqi_set_serv_addr(args.serv_addr)
    status = c_sdk.py_vqi_set_backtest_config(
        start_time=args.start,
        end_time=args.end,
        initial_cash=args.cash,
        transaction_ratio=1.0,
        commission_ratio=args.commission,
        commission_unit=0.0,
        slippage_ratio=0.0,
        option_float_margin_ratio1=0.0,
        option_float_margin_ratio2=0.0,
        adjust=0,
        match_mode=0,
        check_cache=0,
    )
    if not check(status, "vqi_set_backtest_config"):
        return 1
    status = c_sdk.py_vqi_subscribe(
        symbols=",".join(args.symbol_list), frequency=args.frequency, unsubscribe_previous=True
    )
    if not check(status, "vqi_subscribe"):
        return 1

    print(
        "backtest %s %s from %s to %s, MA %d/%d, cash %.2f"
        % (
            ",".join(args.symbol_list),
            args.frequency,
            args.start,
            args.end,
            args.short,
            args.long,
            args.cash,
        ),
        flush=True,
    )
    t0 = time.perf_counter()
    status = c_sdk.py_vqi_run()
    wall = time.perf_counter() - t0
    if not check(status, "vqi_run"):
        return 1

    status, raw = c_sdk.py_vqi_get_cash(b"{}")
    if not check(status, "vqi_get_cash_pb"):
        return 1
    account = json.loads(raw)
    status, raw = c_sdk.py_vqi_get_positions(b"{}")
    if not check(status, "vqi_get_positions_pb"):
        return 1
    held = {p["symbol"]: p["volume"] for p in json.loads(raw)}

    cash = account["available"]
    positions_value = sum(v * strategy.last[s] for s, v in held.items())
    equity = account["nav"]
    # the account must agree with what the execution reports told us
    book_ok = (
        held == {s: v for s, v in strategy.held.items() if v}
        and abs(strategy.cash - cash) <= 1e-6 * max(1.0, abs(cash))
        and strategy.failed == 0
    )

    rows = [
        ("bars", strategy.bars),
        ("orders", strategy.orders),
        ("fills", strategy.fills),
        ("rejected", strategy.rejected),
        ("positions held", len(held)),
        ("initial cash", "%.2f" % args.cash),
        ("cash", "%.2f" % cash),
        ("positions value", "%.2f" % positions_value),
        ("equity", "%.2f" % equity),
        ("pnl", "%.2f" % account["pnl"]),
        ("commission", "%.2f" % account.get("commission", 0.0)),
        ("events", strategy.events),
        ("run seconds", "%.3f" % wall),
        ("events per second", "%.0f" % (strategy.events / wall if wall > 0 else 0)),
        ("book check", "ok" if book_ok else "MISMATCH"),
    ]
    print("summary")
    for name, value in rows:
        print("  %-18s %s" % (name + ":", value))
    sys.stdout.flush()
    return 0 if book_ok else 1


if __name__ == "__main__":
    sys.exit(main())
