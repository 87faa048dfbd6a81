"""Order helpers, and the context a running strategy places orders through."""

import collections
import json
from typing import Any, Callable, Dict, List, Optional

from vq.csdk import c_sdk
from vq.csdk.backtest.constants import BUY, LIMIT, MARKET, ORDER_REJECTED, SELL
from vq.csdk.backtest.errors import BacktestError

__all__ = ["Context", "check", "limit_order", "market_order", "place"]


def check(status: int, fn: str) -> None:
    """BacktestError unless a library call succeeded (c_sdk logs the failure)."""
    if c_sdk.c_status_fail(status, fn):
        text = c_sdk.py_vqi_strerror(status).decode("utf-8", "replace")
        raise BacktestError("%s failed: status %d (%s)" % (fn, status, text))


def market_order(symbol: str, side: int, volume: int, **extra: Any) -> Dict[str, Any]:
    """The request of a market order: it fills at the symbol's next trade."""
    return dict(extra, symbol=symbol, side=side, volume=int(volume), order_type=MARKET)


def limit_order(symbol: str, side: int, volume: int, price: float, **extra: Any) -> Dict[str, Any]:
    """The request of a limit order: rejected if the next trade is worse."""
    return dict(
        extra, symbol=symbol, side=side, volume=int(volume), order_type=LIMIT, price=float(price)
    )


def place(request: Dict[str, Any]) -> Dict[str, Any]:
    """Place an order through ``c_sdk.py_vqi_place_order``; its response.
    BacktestError when the library refuses the request itself."""
    status, res = c_sdk.py_vqi_place_order(json.dumps(request))
    check(status, "vqi_place_order_pb")
    return json.loads(res) if res else {}


class Context:
    """Handed to ``strategy.on_start``: places orders and knows the book as
    the execution reports told it."""

    def __init__(self, config: Any, now: Callable[[], Optional[str]]) -> None:
        self.config = config
        self.cash = float(config.cash)
        self.positions: Dict[str, int] = collections.Counter()
        self.prices: Dict[str, float] = {}
        self.orders: List[Dict[str, Any]] = []
        self.rejections: Dict[str, int] = collections.Counter()
        self._now = now

    def position(self, symbol: str) -> int:
        """Shares of ``symbol`` held, by the fills reported so far."""
        return self.positions.get(symbol, 0)

    def equity(self) -> float:
        """Cash and the held shares at their last prices."""
        return self.cash + sum(v * self.prices.get(s, 0.0) for s, v in self.positions.items())

    def order(self, request: Dict[str, Any]) -> Dict[str, Any]:
        """Place ``request`` (see market_order, limit_order); its response.
        A rejection on the spot is counted with its reason."""
        response = place(request)
        rejected = response.get("status") == ORDER_REJECTED
        reason = response.get("ord_rej_reason_detail") or "rejected" if rejected else ""
        self.orders.append(
            dict(
                time=self._now(),
                symbol=request.get("symbol"),
                side=request.get("side"),
                volume=request.get("volume"),
                order_type=request.get("order_type"),
                price=request.get("price"),
                order_id=response.get("order_id"),
                rejected=reason or None,
            )
        )
        if rejected:
            self.rejections[reason] += 1
        return response

    def buy(self, symbol: str, volume: int) -> Dict[str, Any]:
        """A market buy of ``volume`` shares."""
        return self.order(market_order(symbol, BUY, volume))

    def sell(self, symbol: str, volume: int) -> Dict[str, Any]:
        """A market sell of ``volume`` shares."""
        return self.order(market_order(symbol, SELL, volume))
