"""Backtests and parameter sweeps of your own strategy on c_sdk.

    from vq.csdk.backtest import BacktestConfig, Strategy, run, sweep

    class Dip(Strategy):                       # events in, orders out
        def __init__(self, floor=9.5):
            self.floor = floor
        def on_bar(self, bar):
            if bar.close <= self.floor and not self.context.position(bar.symbol):
                self.context.buy(bar.symbol, 100)

    config = BacktestConfig(symbols=("SHSE.600000",), start="2024-01-02", end="2024-06-28")
    result = run(config, Dip, {"floor": 9.5})   # a frozen BacktestResult
    print(result.data_source, result["total_return"], result.to_json())
    table = sweep(config, Dip, {"floor": [9.0, 9.5, 10.0]}, workers=2)

:class:`BacktestConfig` holds the settings and validates them
(:meth:`~BacktestConfig.validate`); its ``data`` is :class:`RandomWalk`
(the offline market's synthetic prices) or :class:`Replay` (your CSV
files).  A strategy follows the protocol of :mod:`.strategy`; the order
and event fields and their named values are in :mod:`.constants`.
``python -m vq.csdk.demo`` is the command line over this API.
"""

from vq.csdk.backtest.config import BacktestConfig, DataSource, RandomWalk, Replay
from vq.csdk.backtest.constants import (
    BUY,
    EXEC_REJECTED,
    EXEC_TRADE,
    LIMIT,
    MARKET,
    ORDER_FILLED,
    ORDER_NEW,
    ORDER_REJECTED,
    SELL,
)
from vq.csdk.backtest.engine import is_offline_standin, library_version, run
from vq.csdk.backtest.errors import BacktestError, ConfigError
from vq.csdk.backtest.orders import Context, limit_order, market_order
from vq.csdk.backtest.result import BacktestResult, SweepFailure
from vq.csdk.backtest.strategy import Strategy
from vq.csdk.backtest.sweep import SweepResult, combinations, sweep

__all__ = [
    "BUY",
    "EXEC_REJECTED",
    "EXEC_TRADE",
    "LIMIT",
    "MARKET",
    "ORDER_FILLED",
    "ORDER_NEW",
    "ORDER_REJECTED",
    "SELL",
    "BacktestConfig",
    "BacktestError",
    "BacktestResult",
    "ConfigError",
    "Context",
    "DataSource",
    "RandomWalk",
    "Replay",
    "Strategy",
    "SweepFailure",
    "SweepResult",
    "combinations",
    "is_offline_standin",
    "library_version",
    "limit_order",
    "market_order",
    "run",
    "sweep",
]
