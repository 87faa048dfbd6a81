"""What a user implements: a strategy, made by a factory from parameters.

A *strategy factory* is any callable ``factory(**params) -> strategy``: a
class, or a function defined at module level (a sweep sends it to worker
processes, so it must pickle).  It may have a ``check_params(params)``
attribute that raises ValueError for parameters it cannot take; a sweep
then leaves those combinations out instead of failing them.

A *strategy* has any of these methods (:class:`Strategy` gives them all,
doing nothing); events are dict-like records whose fields
``vq.csdk.backtest.constants`` documents:

- ``on_start(context)``: before the first event; keep the
  :class:`~vq.csdk.backtest.orders.Context`, which places orders;
- ``on_bar(bar)``, ``on_tick(tick)``: market data;
- ``on_execrpt(report)``: an order filled (``report.exec_type ==
  EXEC_TRADE``) or was rejected;
- ``on_finished(summary)``: the whole range was delivered.

Orders go to the library through ``context.buy``, ``context.sell`` or
``context.order`` (which call ``c_sdk.py_vqi_place_order``), so the result
lists them with their fate.
"""

from typing import Any

__all__ = ["Strategy", "factory_name"]


class Strategy:
    """A strategy that does nothing: subclass it and override what you need."""

    context: Any = None

    def on_start(self, context: Any) -> None:
        self.context = context

    def on_bar(self, bar: Any) -> None:
        pass

    def on_tick(self, tick: Any) -> None:
        pass

    def on_execrpt(self, report: Any) -> None:
        pass

    def on_finished(self, summary: Any) -> None:
        pass


def factory_name(factory: Any) -> str:
    """``module:qualified_name`` of a factory, as ``--strategy`` takes it."""
    module = getattr(factory, "__module__", None) or "?"
    name = getattr(factory, "__qualname__", None) or type(factory).__qualname__
    return "%s:%s" % (module, name)
