"""A strategy from set-up to stop, as the package drives the module."""


def test_backtest_strategy_end_to_end(lib, mod, monkeypatch):
    monkeypatch.setattr(mod, "f", None, raising=False)
    lib.reset()
    lib.script("vqi_get_cash_pb", status=0, response=b"\x08\x01cash")
    lib.script("vqi_place_order_pb", status=0, response=b"order-1")
    lib.script("vqi_run", status=2)
    lib.script("vqi_set_token", status=0)
    events, replies = [], []

    def on_event(msg_type, payload):
        events.append((msg_type, payload))
        if msg_type == "bar":
            replies.append(mod.py_vqi_get_cash(b"acct"))
            replies.append(mod.py_vqi_place_order("buy:" + payload.decode("ascii")))
        elif msg_type == "end":
            replies.append(mod.py_vqi_stop())

    mod.py_vqi_set_data_callback(on_event)
    ((_, entry),) = lib.calls()
    assert mod.py_vqi_set_token("tok") == 0
    mod.py_vqi_set_strategy_id(b"s-1")
    mod.py_vqi_set_account_id(b"acct")
    mod.py_vqi_set_serv_addr("127.0.0.1:7001")
    assert (
        mod.py_vqi_set_backtest_config(
            "2024-01-02 09:30:00",
            "2024-01-31 15:00:00",
            1000000,
            1,
            0.0003,
            0,
            0.001,
            0.2,
            0.1,
            1,
            0,
            1,
        )
        == 0
    )
    assert mod.py_vqi_subscribe("SHSE.600000", "60s", False) == 0

    lib.queue_event("tick", b"\x00\x01")
    lib.queue_event("bar", b"b1")
    lib.queue_event("bar", b"b2")
    lib.queue_event("end", b"")
    lib.queue_event("tick", b"never")  # after the stop
    assert mod.py_vqi_run() == 2

    assert events == [("tick", b"\x00\x01"), ("bar", b"b1"), ("bar", b"b2"), ("end", b"")]
    assert replies == [(0, b"\x08\x01cash"), (0, b"order-1")] * 2 + [0]
    assert lib.pending() == 1
    assert lib.calls() == [
        ("vqi_set_event_callback_pb", entry),
        ("vqi_set_token", (b"tok",)),
        ("vqi_set_strategy_id", (b"s-1",)),
        ("vqi_set_account_id", (b"acct",)),
        ("vqi_set_serv_addr", (b"127.0.0.1:7001",)),
        (
            "vqi_set_backtest_config",
            (
                b"2024-01-02 09:30:00",
                b"2024-01-31 15:00:00",
                1000000.0,
                1.0,
                0.0003,
                0.0,
                0.001,
                0.2,
                0.1,
                1,
                0,
                1,
            ),
        ),
        ("vqi_subscribe", (b"SHSE.600000", b"60s", False)),
        ("vqi_run", ()),
        ("vqi_get_cash_pb", (b"acct", 4)),
        ("vqi_place_order_pb", (b"buy:b1", 6)),
        ("vqi_get_cash_pb", (b"acct", 4)),
        ("vqi_place_order_pb", (b"buy:b2", 6)),
        ("vqi_stop", ()),
    ]
    # the doubles and ints of the backtest config are doubles and ints
    args = lib.calls()[5][1]
    assert [type(a) for a in args[2:]] == [float] * 7 + [int] * 3
