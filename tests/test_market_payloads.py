"""The offline market's event payloads, byte for byte: a fixed run of the
random walk (bars and ticks) and of replayed data, with orders that fill and
orders that are rejected, hashed whole.  Any change to the text a strategy
receives (a digit, a key, the order of keys, an escape) changes the hash."""

import hashlib
import json

import pytest

from vq.csdk import c_sdk

# (start, end, subscriptions, orders placed at the n-th event of a run)
ORDERS = {
    3: {"symbol": "A.1", "side": 1, "volume": 300, "order_type": 2},
    7: {"symbol": "A.1", "side": 1, "volume": 200, "price": 1000, "cl_ord_id": "hi"},
    11: {"symbol": "A.1", "side": 1, "volume": 100, "price": 0.5, "cl_ord_id": "low"},
    40: {"symbol": "A.1", "side": 2, "volume": 400, "order_type": 2},
    45: {"symbol": 'B"\\.2', "side": 1, "volume": 10**7, "order_type": 2},
    60: {"symbol": "A.1", "side": 2, "volume": 100, "price": 0.01},
}
RUNS = [
    ("2024-01-01", "2024-01-09 10:00", [("A.1", "60s"), ('B"\\.2', "60s"), ("A.1", "1d")]),
    ("2024-05-03 14:00", "2024-05-07 09:40", [("A.1", "300s"), ("A.1", "tick"), ("C.3", "tick")]),
    ("2024-01-02", "2024-01-04", [("R.1", "3600s"), ("T.1", "tick"), ("A.1", "3600s")]),
]
REPLAY_BARS = [
    {"eob": "2024-01-02 10:30", "open": 10.123, "high": 11, "low": 9.5, "close": 10.5,
     "volume": 1000},
    {"eob": "2024-01-02 11:30", "open": 10.5, "high": 10.5, "low": 1e-7, "close": 0.3,
     "volume": 3, "amount": 0.9},
    {"eob": "2024-01-03 10:30", "open": 123456789.25, "high": 2e15, "low": 1, "close": 1.1,
     "volume": 2**40},
]  # fmt: skip
REPLAY_TICKS = [
    {"created_at": "2024-01-02 09:30:03", "price": 5, "volume": 100},
    {"created_at": "2024-01-02 09:30:06", "price": 5.07, "volume": 1300},
    {"created_at": "2024-01-03 14:00:00", "price": 0.1, "volume": 7},
]
# sha256 of every event and order response of RUNS, in order
DIGEST = "b2cb62f2db7798a0b823ea68e076f2da92167dc810fa879812bf6f9f93bf7265"


def test_payloads_are_unchanged(vq_standin):
    vq_standin.replay_rows(REPLAY_BARS, frequency="3600s", symbol="R.1")
    vq_standin.replay_rows(REPLAY_TICKS, frequency="tick", symbol="T.1")
    vq_standin.market(True)
    digest = hashlib.sha256()
    counts = {}

    def record(kind, text):
        data = text if isinstance(text, bytes) else text.encode("utf-8")
        digest.update(kind.encode() + b"\0" + data + b"\n")
        counts[kind] = counts.get(kind, 0) + 1

    def on_event(kind, payload):
        record(kind, payload)
        n = counts[kind] if kind in ("bar", "tick") else 0
        if n in ORDERS:
            status, response = c_sdk.py_vqi_place_order(json.dumps(ORDERS[n]))
            record("order %d" % status, response or "")

    c_sdk.py_vqi_set_data_callback(on_event)
    for start, end, subscriptions in RUNS:
        # commission with a minimum, and slippage, so fills carry odd amounts
        config = (start, end, 1e6, 1.0, 0.0003, 5.0, 0.001, 0.0, 0.0, 0, 0, 0)
        assert c_sdk.py_vqi_set_backtest_config(*config) == 0
        c_sdk.py_vqi_unsubscribe("*", "*")
        for symbol, frequency in subscriptions:
            assert c_sdk.py_vqi_subscribe(symbol, frequency, False) == 0
        counts.clear()
        assert c_sdk.py_vqi_run() == 0
        assert counts.get("backtest_finished") == 1
        for query in (c_sdk.py_vqi_get_cash, c_sdk.py_vqi_get_positions):
            status, response = query("{}")
            record("query %d" % status, response or "")
    assert digest.hexdigest() == DIGEST


@pytest.fixture(autouse=True)
def _no_callback():
    yield
    c_sdk.py_vqi_set_data_callback(None)
