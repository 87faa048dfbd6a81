"""One backtest in this process: configure, subscribe, run, account."""

import collections
import contextlib
import json
import os
import signal
import time
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from vq.csdk import c_sdk
from vq.csdk.backtest import data
from vq.csdk.backtest.config import BacktestConfig
from vq.csdk.backtest.constants import BUY, EXEC_TRADE
from vq.csdk.backtest.errors import BacktestError, ConfigError
from vq.csdk.backtest.figures import figures
from vq.csdk.backtest.orders import Context, check
from vq.csdk.backtest.result import BacktestResult
from vq.csdk.backtest.strategy import factory_name
from vq.csdk.rules import holidays as holiday_rule
from vq.csdk.runner import Runner, signal_name

__all__ = ["is_offline_standin", "library_version", "run"]

# a record class, or a strategy's handler of an event
_OneArg = Callable[[Any], Any]


def library_version() -> str:
    return c_sdk.vqi_get_c_version().decode("utf-8", "replace")


def is_offline_standin() -> bool:
    return "offline stand-in" in library_version()


@contextlib.contextmanager
def _holidays(dates: Optional[Tuple[str, ...]]) -> Iterator[None]:
    """The market reads its holiday list from the environment while it is
    configured; the process's environment is as before afterwards."""
    saved = os.environ.get(holiday_rule.ENV)
    if dates is not None:
        os.environ[holiday_rule.ENV] = holiday_rule.env_value(dates)
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop(holiday_rule.ENV, None)
        else:
            os.environ[holiday_rule.ENV] = saved


class _Driver:
    """The registered callable: hands events to the strategy and keeps the
    book, the daily curve and the round trips from the execution reports."""

    def __init__(
        self,
        strategy: Any,
        context: Context,
        progress_every: int,
        progress: Callable[[str], None],
    ) -> None:
        self.strategy, self.ctx = strategy, context
        self.progress_every, self.progress = progress_every, progress
        self.events = self.bars = 0
        self.fills: List[Dict[str, Any]] = []
        self.cost: Dict[str, float] = collections.defaultdict(float)
        self.trades = self.wins = 0
        self.day: Optional[str] = None
        self.daily: List[Tuple[str, float]] = []
        self.at: Optional[str] = None
        self.finished: Optional[Mapping[str, Any]] = None
        self.error: Optional[str] = None
        # event type: (record class, time key, price key, the strategy's handler)
        self.handlers: Dict[str, Tuple[_OneArg, str, str, Optional[_OneArg]]] = {
            "bar": (c_sdk.BarLikeDict2, "eob", "close", getattr(strategy, "on_bar", None)),
            "tick": (
                c_sdk.TickLikeDict2,
                "created_at",
                "price",
                getattr(strategy, "on_tick", None),
            ),
        }
        self.on_execrpt = getattr(strategy, "on_execrpt", None)
        self.on_finished = getattr(strategy, "on_finished", None)

    def __call__(self, msg_type: str, payload: bytes) -> None:
        if self.error is not None:
            return
        try:
            self.deliver(msg_type, payload)
        except Exception as exc:  # ends the run: no result from a strategy that broke
            self.error = "%s at %s: %s: %s" % (msg_type, self.at, type(exc).__name__, exc)
            c_sdk.py_vqi_stop()

    def deliver(self, msg_type: str, payload: bytes) -> None:
        self.events += 1
        handler = self.handlers.get(msg_type)
        if handler is not None:
            record_class, time_key, price_key, user = handler
            event = record_class(json.loads(payload))
            self.price(event[time_key], event["symbol"], event[price_key])
            if user is not None:
                user(event)
        elif msg_type == "execrpt":
            report = c_sdk.ObjectLikeDict2(json.loads(payload))
            self.book(report)
            if self.on_execrpt is not None:
                self.on_execrpt(report)
        elif msg_type == "backtest_finished":
            self.finished = json.loads(payload)
            if self.on_finished is not None:
                self.on_finished(c_sdk.ObjectLikeDict2(self.finished))

    def price(self, at: str, symbol: str, price: float) -> None:
        day = at[:10]
        if day != self.day:
            self.close_day()
            self.day = day
        self.bars += 1
        self.at = at
        self.ctx.prices[symbol] = price
        if self.progress_every and self.bars % self.progress_every == 0:
            self.progress(
                "[%s] bars %d  orders %d  fills %d  equity %.2f"
                % (at, self.bars, len(self.ctx.orders), len(self.fills), self.ctx.equity())
            )

    def close_day(self) -> None:
        if self.day is not None:
            self.daily.append((self.day, self.ctx.equity()))

    def book(self, r: Any) -> None:
        ctx, s = self.ctx, r["symbol"]
        if r["exec_type"] != EXEC_TRADE:
            ctx.rejections[r["ord_rej_reason_detail"] or "rejected"] += 1
            return
        self.fills.append(
            dict(
                time=r["created_at"],
                symbol=s,
                side=r["side"],
                volume=r["volume"],
                price=r["price"],
                amount=r["amount"],
                commission=r["commission"],
                order_id=r["order_id"],
            )
        )
        if r["side"] == BUY:
            ctx.positions[s] += r["volume"]
            self.cost[s] += r["amount"] + r["commission"]
            ctx.cash -= r["amount"] + r["commission"]
            return
        held = ctx.positions[s]
        share = r["volume"] / held if held else 1.0
        gain = r["amount"] - r["commission"] - self.cost[s] * share
        self.cost[s] -= self.cost[s] * share
        ctx.positions[s] -= r["volume"]
        ctx.cash += r["amount"] - r["commission"]
        if not ctx.positions[s]:
            self.trades += 1
            self.wins += gain > 0


def _configure(config: BacktestConfig) -> None:
    check(c_sdk.py_vqi_set_token(config.token), "vqi_set_token")
    c_sdk.py_vqi_set_strategy_id(config.strategy_id)
    c_sdk.py_vqi_set_account_id(config.account_id.encode())
    c_sdk.py_vqi_set_serv_addr(config.serv_addr)
    with _holidays(config.holidays):
        status = c_sdk.py_vqi_set_backtest_config(
            start_time=config.start,
            end_time=config.end,
            initial_cash=config.cash,
            transaction_ratio=1.0,
            commission_ratio=config.commission,
            commission_unit=config.min_commission,
            slippage_ratio=config.slippage,
            option_float_margin_ratio1=0.0,
            option_float_margin_ratio2=0.0,
            adjust=0,
            match_mode=0,
            check_cache=0,
        )
    check(status, "vqi_set_backtest_config")
    status = c_sdk.py_vqi_subscribe(
        symbols=",".join(config.symbols), frequency=config.frequency, unsubscribe_previous=True
    )
    check(status, "vqi_subscribe")


def _account() -> Tuple[Dict[str, Any], Dict[str, int]]:
    account = json.loads(_reply(c_sdk.py_vqi_get_cash(b"{}"), "vqi_get_cash_pb"))
    positions = json.loads(_reply(c_sdk.py_vqi_get_positions(b"{}"), "vqi_get_positions_pb"))
    return account, {q["symbol"]: q["volume"] for q in positions}


def _reply(reply: Tuple[int, Optional[bytes]], fn: str) -> bytes:
    """The payload of a query that succeeded; a success without one is a
    failure of the library too."""
    status, raw = reply
    check(status, fn)
    if raw is None:
        raise BacktestError("%s failed: status %d and no reply" % (fn, status))
    return raw


def run(
    config: BacktestConfig,
    strategy_factory: Callable[..., Any],
    params: Optional[Mapping[str, Any]] = None,
    progress_every: int = 0,
    progress: Callable[[str], None] = print,
    signals: Sequence[int] = (signal.SIGINT, signal.SIGTERM),
) -> BacktestResult:
    """Backtest ``strategy_factory(**params)`` on ``config`` in this process.

    The configuration is validated first (ConfigError); replayed data are
    read and checked before the library is touched.  ``signals`` (Ctrl-C
    and SIGTERM) stop the run cleanly: the result is marked interrupted.
    ``progress`` gets a line every ``progress_every`` bars.  Raises
    BacktestError when a library call fails."""
    params = dict(params or {})
    warnings = config.validate()
    check_params = getattr(strategy_factory, "check_params", None)
    if check_params is not None:
        try:
            check_params(params)
        except ValueError as exc:
            raise ConfigError("params %s: %s" % (params, exc)) from None
    series = data.prepare(config)
    strategy = strategy_factory(**params)
    ctx = Context(config, lambda: driver.at)
    driver = _Driver(strategy, ctx, progress_every, progress)
    # execution reports reach the book even after a stop: the account holds
    # the fills they report
    with data.fed(series), Runner(driver, signals, keep=("execrpt",)) as runner:
        _configure(config)
        on_start = getattr(strategy, "on_start", None)
        if on_start is not None:
            on_start(ctx)
        t0 = time.perf_counter()
        check(runner.run(), "vqi_run")
        if runner.interrupted:
            c_sdk.vqi_poll()  # reports a stop left queued
        wall = time.perf_counter() - t0
        if driver.error is not None:
            raise BacktestError("the strategy failed on the %s" % driver.error)
        driver.close_day()
        account, held = _account()
    cash = account["available"]
    mine = {s: v for s, v in ctx.positions.items() if v}
    book_ok = held == mine and abs(ctx.cash - cash) <= 1e-6 * max(1.0, abs(cash))
    counts = dict(
        cash=cash,
        positions_value=sum(v * ctx.prices.get(s, 0.0) for s, v in held.items()),
        positions_held=len(held),
        equity=account["nav"],
        pnl=account["pnl"],
        commission=account.get("commission", 0.0),
        initial_cash=config.cash,
        bars=driver.bars,
        events=driver.events,
        orders=len(ctx.orders),
        fills=len(driver.fills),
        rejected=sum(ctx.rejections.values()),
        trades=driver.trades,
        win_rate=driver.wins / driver.trades if driver.trades else None,
        days=len(driver.daily),
        last_bar=driver.at,
    )
    counts.update(figures(config.cash, driver.daily))
    return BacktestResult(
        strategy=factory_name(strategy_factory),
        params=params,
        config=config,
        data_source=config.describe_data(),
        figures=counts,
        rejections=dict(ctx.rejections),
        equity_curve=tuple(driver.daily),
        orders=tuple(ctx.orders),
        fills=tuple(driver.fills),
        interrupted=None if runner.signum is None else signal_name(runner.signum),
        book_ok=book_ok,
        warnings=warnings,
        seconds=wall,
        stopped_at=runner.stopped_at,
    )
