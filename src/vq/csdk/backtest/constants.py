"""Named values of the order and event fields, so that strategy code writes
no magic numbers.  They are plain ints, as the market's JSON carries them.

Order request (JSON object, to ``c_sdk.py_vqi_place_order``):
``symbol`` (text), ``side`` (BUY or SELL), ``volume`` (a positive whole
number of shares), ``order_type`` (LIMIT or MARKET; default LIMIT when
``price`` > 0, else MARKET), ``price`` (a limit order's price), and
``cl_ord_id`` (text echoed back).

Order response: the request's fields with ``order_id``, ``status`` (one of
the ORDER_ values), ``filled_volume``, ``filled_vwap``, ``filled_amount``,
``filled_commission`` and ``ord_rej_reason_detail`` (why it was rejected).

Events, delivered to the strategy as dict-like records (``bar.close`` or
``bar["close"]``); times are text ``YYYY-MM-DD HH:MM:SS``:

- bar: ``symbol``, ``frequency``, ``bob`` and ``eob`` (start and end),
  ``open``, ``high``, ``low``, ``close``, ``volume``, ``amount``,
  ``pre_close`` (the previous trading day's close);
- tick: ``symbol``, ``created_at``, ``price``, ``open``, ``high``, ``low``
  (the day so far), ``cum_volume``, ``cum_amount``, ``last_volume``,
  ``last_amount``, ``pre_close`` and ``quotes`` (``bid_p``, ``bid_v``,
  ``ask_p``, ``ask_v``);
- execution report: ``order_id``, ``cl_ord_id``, ``symbol``, ``side``,
  ``exec_type`` (EXEC_TRADE or EXEC_REJECTED), ``price``, ``volume``,
  ``amount``, ``commission``, ``cash`` (after the fill),
  ``ord_rej_reason_detail`` and ``created_at``;
- finished: ``bars``, ``ticks``, ``orders``, ``fills``, ``initial_cash``,
  ``cash``, ``market_value``, ``nav``, ``pnl``, ``commission``.

On the offline market an order decided on an event fills at the symbol's
next trade (the next bar's open, or the next tick), never at the prices the
strategy has already seen.
"""

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
    "SIDE_NAMES",
]

# side
BUY, SELL = 1, 2
# order_type
LIMIT, MARKET = 1, 2
# status of an order response
ORDER_NEW, ORDER_FILLED, ORDER_REJECTED = 1, 3, 8
# exec_type of an execution report
EXEC_TRADE, EXEC_REJECTED = 15, 8

SIDE_NAMES = {BUY: "buy", SELL: "sell"}
