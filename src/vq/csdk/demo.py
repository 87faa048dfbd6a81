"""A moving-average crossover strategy, backtested through c_sdk.

    python -m vq.csdk.demo [options]                  one backtest, with a summary
    python -m vq.csdk.demo --sweep --short 5,10,20 --long 30,60,120 [--workers N]
    python -m vq.csdk.demo --sweep ... --scheduler HOST:PORT   on a Dask cluster

It drives the trading library only through the module's py_vqi_ wrappers:
configure, subscribe, run, and from inside the events place orders and
count the execution reports.  With the bundled stand-in library the
backtest is served offline and every order is simulated (standin/MARKET.md
has the JSON it speaks); with the real library it goes to the configured
server.  Ctrl-C or SIGTERM stops a run cleanly (vq.csdk.runner): the
summary is printed marked "interrupted" and the exit status is 130 or 143.
"""

import argparse
import collections
import datetime
import json
import math
import os
import re
import sys
import time

from vq.csdk import c_sdk
from vq.csdk.runner import Runner, signal_name

BUY, SELL = 1, 2
MARKET_ORDER = 2
EXEC_TRADE, EXEC_REJECTED = 15, 8
TRADING_DAYS_PER_YEAR = 252
# the stand-in reads its holiday list from here (standin/MARKET.md)
HOLIDAYS_ENV = "VQ_STANDIN_HOLIDAYS"

DEFAULTS = dict(
    symbols="SHSE.600000,SZSE.000001",
    start="2022-01-04",
    end="2024-12-31",
    frequency="1d",
    cash=1000000.0,
    short=10,
    long=30,
    commission=0.0003,
    min_commission=5.0,
    slippage=0.0,
    progress_every=250,
)


class BacktestError(Exception):
    """A library call failed; the text says which and why."""


def check(status, fn):
    """Raise BacktestError unless a library call succeeded (c_sdk logs it)."""
    if c_sdk.c_status_fail(status, fn):
        text = c_sdk.py_vqi_strerror(status).decode("utf-8", "replace")
        raise BacktestError("%s failed: status %d (%s)" % (fn, status, text))


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
    it all when it crosses back below.  An order decided on a bar fills
    later (at the next bar's open on the stand-in); until its report comes
    the symbol takes no new order."""

    def __init__(self, symbols, short, long, cash, progress_every=0):
        self.averages = {s: Average(short, long) for s in symbols}
        self.budget = cash / len(symbols)
        self.initial_cash = cash
        self.cash = cash  # as the execution reports tell it
        self.held = collections.Counter()
        self.cost = collections.Counter()  # what the shares held cost, commission included
        self.last = {}
        self.pending = set()  # symbols with an order not yet reported
        self.progress_every = progress_every
        self.events = self.bars = self.orders = self.fills = self.rejected = 0
        self.trades = self.wins = 0  # closed round trips, and those that made money
        self.day, self.daily = None, []  # [(date, equity at its last bar)]
        self.at = None
        self.finished = None
        self.handlers = {
            "bar": self.on_bar,
            "tick": self.on_tick,
            "execrpt": self.on_execrpt,
            "backtest_finished": self.on_finished,
        }

    # the callable the runner registers with py_vqi_set_data_callback
    def __call__(self, msg_type, payload):
        self.events += 1
        handler = self.handlers.get(msg_type)
        if handler:
            handler(json.loads(payload))

    def on_bar(self, data):
        bar = c_sdk.BarLikeDict2(data)
        self.on_price(bar.symbol, bar.close, bar.eob)

    def on_tick(self, data):
        tick = c_sdk.TickLikeDict2(data)
        self.on_price(tick.symbol, tick.price, tick.created_at)

    def on_price(self, symbol, price, at):
        day = at[:10]
        if day != self.day:
            self.close_day()
            self.day = day
        self.bars += 1
        self.at = at
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

    def close_day(self):
        if self.day is not None:
            self.daily.append((self.day, self.equity()))

    def order(self, symbol, side, volume):
        req = {"symbol": symbol, "side": side, "volume": volume, "order_type": MARKET_ORDER}
        status, res = c_sdk.py_vqi_place_order(json.dumps(req))
        self.orders += 1
        check(status, "vqi_place_order_pb")
        if json.loads(res).get("status") == EXEC_REJECTED:
            self.rejected += 1
        else:
            self.pending.add(symbol)

    def on_execrpt(self, data):
        rpt = c_sdk.ObjectLikeDict2(data)
        self.pending.discard(rpt.symbol)
        if rpt.exec_type != EXEC_TRADE:
            self.rejected += 1
            return
        self.fills += 1
        if rpt.side == BUY:
            self.held[rpt.symbol] += rpt.volume
            self.cost[rpt.symbol] += rpt.amount + rpt.commission
            self.cash -= rpt.amount + rpt.commission
        else:
            sold = rpt.volume / self.held[rpt.symbol]
            gain = rpt.amount - rpt.commission - self.cost[rpt.symbol] * sold
            self.cost[rpt.symbol] -= self.cost[rpt.symbol] * sold
            self.held[rpt.symbol] -= rpt.volume
            self.cash += rpt.amount - rpt.commission
            if not self.held[rpt.symbol]:
                self.trades += 1
                self.wins += gain > 0

    def on_finished(self, data):
        self.finished = data

    def equity(self):
        return self.cash + sum(v * self.last.get(s, 0.0) for s, v in self.held.items())


# ---- figures ---------------------------------------------------------------------


def figures(initial, daily):
    """Total and annualised return, maximum drawdown and Sharpe ratio (daily
    returns, no risk-free rate, 252 trading days a year) of a daily equity
    curve, as fractions; None where the curve is too short."""
    equity = [e for _, e in daily]
    final = equity[-1] if equity else initial
    total = final / initial - 1
    years = len(equity) / TRADING_DAYS_PER_YEAR
    annual = (final / initial) ** (1 / years) - 1 if years > 0 and final > 0 else None
    peak, drawdown = initial, 0.0
    for e in equity:
        peak = max(peak, e)
        drawdown = max(drawdown, 1 - e / peak)
    rets = [b / a - 1 for a, b in zip([initial, *equity], equity)]
    sharpe = None
    if len(rets) > 1:
        mean = sum(rets) / len(rets)
        sd = math.sqrt(sum((r - mean) ** 2 for r in rets) / (len(rets) - 1))
        sharpe = mean / sd * math.sqrt(TRADING_DAYS_PER_YEAR) if sd > 0 else None
    return dict(total_return=total, annual_return=annual, max_drawdown=drawdown, sharpe=sharpe)


# ---- one backtest ----------------------------------------------------------------


def library_version():
    return c_sdk.vqi_get_c_version().decode("utf-8", "replace")


def is_offline_standin():
    return "offline stand-in" in library_version()


def backtest(params):
    """Run one backtest in this process and return its result as a dict of
    plain values (the same whichever process runs it).  ``params`` holds the
    options of parse_args by name.  Keys starting with "_" are not part of
    the result proper (timing, the daily curve).  Raises BacktestError."""
    p = params
    symbols = [s.strip() for s in p["symbols"].split(",") if s.strip()]
    strategy = Crossover(symbols, p["short"], p["long"], p["cash"], p.get("progress_every", 0))
    if p.get("holidays") is not None:
        os.environ[HOLIDAYS_ENV] = ",".join(p["holidays"])
    with Runner(strategy) as runner:
        check(c_sdk.py_vqi_set_token(p.get("token", "demo-token")), "vqi_set_token")
        c_sdk.py_vqi_set_strategy_id(p.get("strategy_id", "ma-crossover"))
        c_sdk.py_vqi_set_account_id(p.get("account_id", "demo-account").encode())
        c_sdk.py_vqi_set_serv_addr(p.get("serv_addr", "127.0.0.1:7001"))
        status = c_sdk.py_vqi_set_backtest_config(
            start_time=p["start"],
            end_time=p["end"],
            initial_cash=p["cash"],
            transaction_ratio=1.0,
            commission_ratio=p["commission"],
            commission_unit=p["min_commission"],
            slippage_ratio=p["slippage"],
            option_float_margin_ratio1=0.0,
            option_float_margin_ratio2=0.0,
            adjust=0,
            match_mode=0,
            check_cache=0,
        )
        check(status, "vqi_set_backtest_config")
        status = c_sdk.py_vqi_subscribe(
            symbols=",".join(symbols), frequency=p["frequency"], unsubscribe_previous=True
        )
        check(status, "vqi_subscribe")
        t0 = time.perf_counter()
        check(runner.run(), "vqi_run")
        wall = time.perf_counter() - t0
    strategy.close_day()

    status, raw = c_sdk.py_vqi_get_cash(b"{}")
    check(status, "vqi_get_cash_pb")
    account = json.loads(raw)
    status, raw = c_sdk.py_vqi_get_positions(b"{}")
    check(status, "vqi_get_positions_pb")
    held = {q["symbol"]: q["volume"] for q in json.loads(raw)}
    cash = account["available"]
    # the account must agree with what the execution reports told us
    book_ok = held == {s: v for s, v in strategy.held.items() if v} and abs(
        strategy.cash - cash
    ) <= 1e-6 * max(1.0, abs(cash))

    result = dict(
        short=p["short"],
        long=p["long"],
        symbols=",".join(symbols),
        frequency=p["frequency"],
        start=p["start"],
        end=p["end"],
        initial_cash=p["cash"],
        cash=cash,
        positions_value=sum(v * strategy.last[s] for s, v in held.items()),
        positions_held=len(held),
        equity=account["nav"],
        pnl=account["pnl"],
        commission=account.get("commission", 0.0),
        bars=strategy.bars,
        orders=strategy.orders,
        fills=strategy.fills,
        rejected=strategy.rejected,
        trades=strategy.trades,
        win_rate=strategy.wins / strategy.trades if strategy.trades else None,
        days=len(strategy.daily),
        book_ok=book_ok,
        interrupted=signal_name(runner.signum) if runner.interrupted else None,
        last_bar=strategy.at,
    )
    result.update(figures(p["cash"], strategy.daily))
    result["_daily"] = strategy.daily
    result["_events"] = strategy.events
    result["_seconds"] = wall
    result["_exit_status"] = runner.exit_status(0 if book_ok else 1)
    result["_stopped_at"] = runner.stopped_at
    return result


def public(result):
    """The result without its "_" keys: what --output writes."""
    return {k: v for k, v in result.items() if not k.startswith("_")}


# ---- output ----------------------------------------------------------------------


def pct(x):
    return "n/a" if x is None else "%.2f%%" % (100 * x)


def num(x, fmt="%.2f"):
    return "n/a" if x is None else fmt % x


def print_summary(r):
    rows = [
        ("status", "interrupted by %s" % r["interrupted"] if r["interrupted"] else "completed"),
        ("last bar", r["last_bar"] or "none"),
        ("bars", r["bars"]),
        ("trading days", r["days"]),
        ("orders", r["orders"]),
        ("fills", r["fills"]),
        ("rejected", r["rejected"]),
        ("trades", r["trades"]),
        ("win rate", pct(r["win_rate"])),
        ("positions held", r["positions_held"]),
        ("initial cash", "%.2f" % r["initial_cash"]),
        ("cash", "%.2f" % r["cash"]),
        ("positions value", "%.2f" % r["positions_value"]),
        ("equity", "%.2f" % r["equity"]),
        ("pnl", "%.2f" % r["pnl"]),
        ("commission", "%.2f" % r["commission"]),
        ("total return", pct(r["total_return"])),
        ("annual return", pct(r["annual_return"])),
        ("max drawdown", pct(r["max_drawdown"])),
        ("sharpe", num(r["sharpe"])),
        ("events", r["_events"]),
        ("run seconds", "%.3f" % r["_seconds"]),
        (
            "events per second",
            "%.0f" % (r["_events"] / r["_seconds"] if r["_seconds"] > 0 else 0),
        ),
        ("book check", "ok" if r["book_ok"] else "MISMATCH"),
    ]
    if r["_stopped_at"] is not None:  # from the signal's handler to the summary
        rows.append(("stop seconds", "%.3f" % (time.monotonic() - r["_stopped_at"])))
    print("summary" + (" (interrupted)" if r["interrupted"] else ""))
    for name, value in rows:
        print("  %-18s %s" % (name + ":", value))
    sys.stdout.flush()


def banner(args):
    """The first line: that orders are simulated, and who serves the backtest
    (the offline stand-in's version text says it is one)."""
    version = library_version()
    if "offline stand-in" in version:
        return "SIMULATED ORDERS: backtest on %s" % version
    return "SIMULATED ORDERS: backtest on %s, served by %s" % (version, args.serv_addr)


def write_json(path, value):
    text = json.dumps(value, indent=2, sort_keys=True) + "\n"
    if path == "-":
        sys.stdout.write(text)
    else:
        with open(path, "w") as f:
            f.write(text)


# ---- options ---------------------------------------------------------------------

TIME_FORMS = "YYYY-MM-DD, 'YYYY-MM-DD HH:MM' or 'YYYY-MM-DD HH:MM:SS' (a T may replace the space)"
TIME_RE = re.compile(r"^\s*(\d{4}-\d{2}-\d{2})(?:[ T]\s*(\d{2}:\d{2}(?::\d{2})?))?\s*$")


def parse_time(text, is_end):
    """The datetime a time option means (a bare date: its first second, or its
    last for the end), or None when it is not one of TIME_FORMS."""
    m = TIME_RE.match(text)
    if not m:
        return None
    clock = m.group(2) or ("23:59:59" if is_end else "00:00:00")
    if len(clock) == 5:
        clock += ":00"
    try:
        return datetime.datetime.strptime(m.group(1) + " " + clock, "%Y-%m-%d %H:%M:%S")
    except ValueError:
        return None


def read_holidays(path):
    """Dates (YYYY-MM-DD) from a holiday file: one a line, '#' starts a
    comment, blank lines ignored.  Raises ValueError naming the bad line."""
    dates = []
    with open(path) as f:
        for n, line in enumerate(f, 1):
            text = line.split("#", 1)[0].strip()
            if not text:
                continue
            try:
                datetime.datetime.strptime(text, "%Y-%m-%d")
            except ValueError:
                raise ValueError(
                    "%s line %d: %r is not a date YYYY-MM-DD" % (path, n, text)
                ) from None
            dates.append(text)
    return sorted(set(dates))


def int_list(text):
    try:
        values = [int(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(
            "%r is not a comma-separated list of integers" % text
        ) from None
    if not values or min(values) <= 0:
        raise argparse.ArgumentTypeError("%r: give positive whole numbers of bars" % text)
    return values


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a whole number" % text) from None
    if value <= 0:
        raise argparse.ArgumentTypeError("%r: must be at least 1" % text)
    return value


def make_parser():
    d = DEFAULTS
    p = argparse.ArgumentParser(
        prog="python -m vq.csdk.demo",
        description="Backtest a moving-average crossover through c_sdk. With the bundled "
        "stand-in library the market is simulated offline and no order leaves the process.",
        epilog="Ctrl-C or SIGTERM stops a run cleanly: the summary (or the sweep's table) is "
        "printed marked interrupted, and the exit status is 130 (SIGINT) or 143 (SIGTERM).",
    )
    a = p.add_argument
    a("--symbols", default=d["symbols"], help="comma-separated symbols (default %(default)s)")
    a(
        "--start",
        default=d["start"],
        help="first day or time: %s (default %%(default)s)" % TIME_FORMS,
    )
    a(
        "--end",
        default=d["end"],
        help="last day or time, same forms; a bare date includes the "
        "whole day (default %(default)s)",
    )
    a(
        "--frequency",
        default=d["frequency"],
        help="bar length: 'Ns' for N-second bars (N a "
        "multiple of 3, at most 14400, e.g. 60s, 300s), '1d' for daily bars, or 'tick' "
        "(default %(default)s)",
    )
    a(
        "--cash",
        type=float,
        default=d["cash"],
        help="initial cash, a positive number (default %(default).0f)",
    )
    for window, text in (
        ("short", "short moving average window in bars; with --sweep a comma-separated list"),
        ("long", "long window in bars, greater than the short one; with --sweep a list"),
    ):
        default = d[window]
        a(
            "--" + window,
            type=int_list,
            default=[default],
            metavar="N[,N...]",
            help="%s (default %d)" % (text, default),
        )
    a(
        "--commission",
        type=float,
        default=d["commission"],
        help="commission as a fraction of "
        "each fill's amount (default %(default)s, i.e. 3 basis points)",
    )
    a(
        "--min-commission",
        type=float,
        default=d["min_commission"],
        help="minimum commission of one filled order (default %(default)s)",
    )
    a(
        "--slippage",
        type=float,
        default=d["slippage"],
        help="slippage as a fraction of the fill price, against the order (default %(default)s)",
    )
    a(
        "--holidays",
        metavar="FILE",
        help="trading holidays, one date YYYY-MM-DD a line, '#' "
        "for comments; replaces the stand-in's default list (standin/MARKET.md)",
    )
    a(
        "--progress-every",
        type=positive_int,
        default=d["progress_every"],
        metavar="N",
        help="a progress line every N bars (default %(default)s)",
    )
    a("--no-progress", action="store_true", help="no progress lines")
    a(
        "--plot",
        metavar="FILE.png",
        help="write the equity curve with drawdowns shaded "
        "(needs matplotlib: pip install 'vq[plot]')",
    )
    a(
        "--output",
        metavar="FILE.json",
        help="write the result as JSON ('-' for standard "
        "output): one object, or with --sweep a list of objects sorted as the table",
    )
    a(
        "--sweep",
        action="store_true",
        help="backtest every combination of --short and "
        "--long, each in a worker process, and print a table sorted by total return",
    )
    a(
        "--workers",
        type=positive_int,
        default=os.cpu_count() or 1,
        metavar="N",
        help="worker processes of a local sweep (default: the CPU count, %(default)s)",
    )
    a(
        "--scheduler",
        metavar="ADDRESS",
        help="run the sweep on the Dask cluster of this "
        "scheduler (e.g. tcp://127.0.0.1:8786; needs pip install 'vq[sweep]')",
    )
    a(
        "--serv-addr",
        default="127.0.0.1:7001",
        help="server address given to the library (the stand-in ignores it; default %(default)s)",
    )
    a("--token", default="demo-token", help="token given to the library (default %(default)s)")
    a("--strategy-id", default="ma-crossover", help="strategy id (default %(default)s)")
    a("--account-id", default="demo-account", help="account id (default %(default)s)")
    return p  # fmt: skip


def parse_args(argv=None):
    p = make_parser()
    args = p.parse_args(argv)
    args.symbol_list = [s.strip() for s in args.symbols.split(",") if s.strip()]
    if not args.symbol_list:
        p.error("--symbols names no symbol")
    start, end = parse_time(args.start, False), parse_time(args.end, True)
    if start is None:
        p.error("--start %r is not a valid time: use %s" % (args.start, TIME_FORMS))
    if end is None:
        p.error("--end %r is not a valid time: use %s" % (args.end, TIME_FORMS))
    if end < start:
        p.error("--end %s comes before --start %s" % (args.end, args.start))
    if not re.match(r"^(tick|1d|[1-9]\d*s)$", args.frequency):
        p.error("--frequency %r: use Ns (e.g. 60s), 1d or tick" % args.frequency)
    if not (math.isfinite(args.cash) and args.cash > 0):
        p.error("--cash must be a positive number, not %s" % args.cash)
    for name in ("commission", "min_commission", "slippage"):
        value = getattr(args, name)
        if not (math.isfinite(value) and value >= 0):
            p.error("--%s must be a number >= 0, not %s" % (name.replace("_", "-"), value))
    if not args.sweep and (len(args.short) > 1 or len(args.long) > 1):
        p.error("lists of --short or --long need --sweep")
    if not args.sweep and args.scheduler:
        p.error("--scheduler needs --sweep")
    pairs = [(s, lg) for s in args.short for lg in args.long if s < lg]
    if not pairs:
        p.error("need --short < --long")
    args.pairs = pairs
    args.holiday_dates = None
    if args.holidays:
        try:
            args.holiday_dates = read_holidays(args.holidays)
        except (OSError, ValueError) as e:
            p.error("--holidays: %s" % e)
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            p.error("--plot needs matplotlib: pip install 'vq[plot]' (or pip install matplotlib)")
    return args


def params_of(args, short, long):
    """The plain-data parameters of one backtest: what a worker receives."""
    return dict(
        symbols=",".join(args.symbol_list),
        start=args.start,
        end=args.end,
        frequency=args.frequency,
        cash=args.cash,
        short=short,
        long=long,
        commission=args.commission,
        min_commission=args.min_commission,
        slippage=args.slippage,
        holidays=args.holiday_dates,
        serv_addr=args.serv_addr,
        token=args.token,
        strategy_id=args.strategy_id,
        account_id=args.account_id,
        progress_every=0 if args.no_progress or args.sweep else args.progress_every,
    )


def main(argv=None):
    args = parse_args(argv)
    print(banner(args), flush=True)
    if args.sweep:
        from vq.csdk import sweep

        return sweep.main(args)

    short, long = args.pairs[0]
    print(
        "backtest %s %s from %s to %s, MA %d/%d, cash %.2f, commission %g (min %.2f)"
        % (
            ",".join(args.symbol_list),
            args.frequency,
            args.start,
            args.end,
            short,
            long,
            args.cash,
            args.commission,
            args.min_commission,
        ),
        flush=True,
    )
    try:
        result = backtest(params_of(args, short, long))
    except BacktestError as e:
        print(e, file=sys.stderr)
        return 1
    print_summary(result)
    if args.output:
        write_json(args.output, public(result))
    if args.plot:
        from vq.csdk import plot

        plot.equity_chart(result, args.plot)
        print("equity chart written to %s" % args.plot)
    return result["_exit_status"]


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:  # a second Ctrl-C while the summary is printed
        sys.exit(130)
