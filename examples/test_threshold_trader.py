"""Tests of threshold_trader, written as a user would with the pytest
plugin vq-csdk: the fixture vq_standin is a reset stand-in library."""

import json

import pytest
from threshold_trader import BUY, SELL, ThresholdTrader, backtest

from vq.csdk import c_sdk

SYMBOL = "SHSE.600000"


def bar(close, symbol=SYMBOL):
    return {
        "symbol": symbol,
        "frequency": "1d",
        "bob": "2024-01-02 09:30:00",
        "eob": "2024-01-02 15:00:00",
        "open": close,
        "high": close,
        "low": close,
        "close": close,
        "volume": 1000,
        "amount": close * 1000,
        "pre_close": close,
        "position": 0,
    }


@pytest.fixture
def trader():
    t = ThresholdTrader(SYMBOL, floor=9.6, ceiling=10.5, lot=200, max_attempts=3)
    t.start()
    return t


def test_a_bar_at_the_floor_places_a_buy(vq_standin, trader):
    vq_standin.script("vqi_place_order_pb", response={"status": 3})
    vq_standin.queue_event("bar", bar(9.5))
    c_sdk.vqi_poll()
    (order,) = vq_standin.calls("vqi_place_order_pb")
    assert json.loads(order.args[0]) == {
        "symbol": SYMBOL,
        "side": BUY,
        "volume": 200,
        "order_type": 2,
    }
    assert trader.pending


def test_bars_between_the_thresholds_or_of_other_symbols_place_nothing(vq_standin, trader):
    for event in (bar(10.0), bar(9.0, symbol="SZSE.000001")):
        vq_standin.queue_event("bar", event)
    c_sdk.vqi_poll()
    assert vq_standin.delivered() == 2
    vq_standin.assert_not_called("vqi_place_order_pb")


def test_a_rejected_order_is_not_retried_forever(vq_standin, trader):
    vq_standin.script(
        "vqi_place_order_pb", response={"status": 8, "ord_rej_reason_detail": "no cash"}
    )
    vq_standin.queue_event("bar", bar(9.0), count=20)
    c_sdk.vqi_poll()
    assert vq_standin.delivered() == 20
    assert len(vq_standin.calls("vqi_place_order_pb")) == 3
    assert trader.gave_up
    assert not trader.held


@pytest.mark.vq_replay("data/SHSE.600000.csv", frequency="1d")
def test_replay_of_daily_bars_gives_the_expected_fills(vq_standin):
    trader = ThresholdTrader(SYMBOL, floor=9.6, ceiling=10.5, lot=1000)
    assert backtest(trader, "2024-01-01", "2024-01-31") == 0
    # bought at 9.50, sold at 10.60, bought again at 9.30; fills at the close
    assert trader.fills == [(BUY, 9.5, 1000), (SELL, 10.6, 1000), (BUY, 9.3, 1000)]
    positions = json.loads(c_sdk.py_vqi_get_positions(b"{}")[1])
    assert [(p["symbol"], p["volume"], p["price"]) for p in positions] == [(SYMBOL, 1000, 9.4)]
    assert trader.finished["cash"] == pytest.approx(100000 - 9500 + 10600 - 9300)
    assert trader.finished["nav"] == pytest.approx(91800 + 9400)
