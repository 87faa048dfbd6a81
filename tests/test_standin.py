"""The stand-in libvq3-c.so on its own, driven through ctypes.

Every other test trusts what this library records and returns, so its
recording, scripting and event delivery are checked here first.
"""

import ctypes
import os
import re
import shutil
import subprocess
import threading
import time

import contract
import pytest

try:
    import standin
except ImportError as exc:  # neither the package nor VQ_STANDIN_LIB
    pytest.skip("stand-in library not available: %s" % exc, allow_module_level=True)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# our own handle, so argtypes set here never leak into other tests
c = ctypes.CDLL(standin.lib_path)

S, I, D, B = ctypes.c_char_p, ctypes.c_int, ctypes.c_double, ctypes.c_bool
RES, LEN = ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_int)
ADDR = ctypes.POINTER(ctypes.c_char_p)
CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)


def fn(name, restype, *argtypes):
    f = getattr(c, name)
    f.restype, f.argtypes = restype, argtypes
    return f


set_callback = fn("vqi_set_event_callback_pb", None, CALLBACK)
run = fn("vqi_run", I)
poll = fn("vqi_poll", I)
stop = fn("vqi_stop", I)


def query(name, *args):
    """Call a response-returning function; (status, res address, res_len)."""
    res, n = ctypes.c_void_p(0xBAD), ctypes.c_int(-999)
    f = getattr(c, name)
    f.restype, f.argtypes = I, None  # ctypes converts bytes, None and int itself
    status = f(*((*args, ctypes.byref(res), ctypes.byref(n))))
    return status, res.value, n.value


def payload(addr, n):
    if not addr:
        return None
    return ctypes.string_at(addr, n) if n > 0 else b""


def response(name, *args):
    """(status, response bytes) of a query."""
    status, addr, n = query(name, *args)
    assert addr != 0xBAD, "response pointer was not written"
    return status, payload(addr, n)


@pytest.fixture(autouse=True)
def clean():
    set_callback(CALLBACK())  # NULL
    standin.reset()
    yield
    set_callback(CALLBACK())
    standin.reset()


def declared(path, macro):
    with open(path) as f:
        return set(re.findall(r"^%s\b[^(]*?\b(\w+)\s*\(" % macro, f.read(), re.M))


def test_exports_exactly_the_library_and_the_control_surface():
    api = declared(os.path.join(ROOT, "src", "vq", "csdk", "include", "vqcsdk.h"), "VQ_API")
    stub = declared(os.path.join(ROOT, "standin", "vqstub.h"), "VQSTUB_API")
    assert api == contract.LIBRARY
    # every control function has the ctypes signature the kit declares it by
    assert stub == {"vqstub_" + name for name in standin._surface.SIGNATURES}
    assert standin.exported_symbols() - {"_init", "_fini"} == api | stub


@pytest.mark.skipif(not shutil.which("readelf"), reason="needs readelf")
def test_soname():
    out = subprocess.check_output(["readelf", "-d", standin.lib_path], universal_newlines=True)
    assert "Library soname: [libvq3-c.so]" in out


# (function, parameter types, arguments, recorded arguments); trailing
# out-parameter types are passed fresh and never recorded
RECORDING = [
    ("vqi_place_order_pb", (S, I, RES, LEN), (b"\x00ab\x00cd", 4), (b"\x00ab\x00", 4)),
    ("vqi_place_order_pb", (S, I, RES, LEN), (None, 0), (None, 0)),
    ("vqi_place_order_pb", (S, I, RES, LEN), (None, 7), (None, 7)),
    ("vqi_get_orders_pb", (S, I, RES, LEN), (b"abc", -2), (b"", -2)),
    ("vqi_cancel_orders_pb", (S, I), (b"xyz", 3), (b"xyz", 3)),
    ("vqi_cancel_orders_pb", (S, I), (b"", 0), (b"", 0)),
    (
        "vqi_set_bus_secure",
        (I, S, S, S, B),
        (2, b"ca", None, b"", True),
        (2, b"ca", None, b"", True),
    ),
    (
        "vqi_set_backtest_config",
        (S, S) + (D,) * 7 + (I,) * 3,
        (b"2020-01-01 09:30:00", None, 1e6, 0.5, 3e-4, -0.0, 5e-324, float("inf"), 2.25, 1, 2, -3),
        (b"2020-01-01 09:30:00", None, 1e6, 0.5, 3e-4, -0.0, 5e-324, float("inf"), 2.25, 1, 2, -3),
    ),
    (
        "vqi_current_pb",
        (S, B, S, RES, LEN),
        (b"SHSE.600000,SZSE.000001", False, None),
        (b"SHSE.600000,SZSE.000001", False, None),
    ),
    (
        "vqi_smart_reorder",
        (S, D) + (I,) * 8 + (S,),
        ("SHSE.600000 \u4e2d".encode(), 10.25, 100, 1, 2, 0, 3, 5, 30, 2, None),
        ("SHSE.600000 \u4e2d".encode(), 10.25, 100, 1, 2, 0, 3, 5, 30, 2, None),
    ),
    (
        "vqi_algo_order_batch_pb",
        (S, I, S, S, RES, LEN),
        (b"\x01\x02\x03", 2, b"TWAP", b"{}"),
        (b"\x01\x02", 2, b"TWAP", b"{}"),
    ),
    ("vqi_get_serv_addr", (S, ADDR), (b"md",), (b"md",)),
    ("vqi_get_account_info_pb", (RES, LEN), (), ()),
    ("vqi_set_mode_consistency", (B,), (True,), (True,)),
    ("vqi_user_timer", (I, I), (2**31 - 1, -(2**31)), (2**31 - 1, -(2**31))),
    ("vqi_strerror", (I,), (-7,), (-7,)),
    (
        "vqi_set_version",
        (S, S, S, S),
        (b"3.0.0", b"python", None, b""),
        (b"3.0.0", b"python", None, b""),
    ),
]


@pytest.mark.parametrize(
    ("name", "sig", "args", "recorded"), RECORDING, ids=[r[0] for r in RECORDING]
)
def test_records_each_argument_as_received(name, sig, args, recorded):
    outs = [t._type_() for t in sig[len(args) :]]
    fn(name, None, *sig)(*(args + tuple(ctypes.byref(o) for o in outs)))
    standin.assert_called(name, *recorded)


def test_assert_called_tells_bool_int_and_float_apart():
    fn("vqi_set_mode_consistency", None, B)(True)
    with pytest.raises(AssertionError):
        standin.assert_called("vqi_set_mode_consistency", 1)
    standin.reset()
    fn("vqi_set_timer", None, I)(1)
    with pytest.raises(AssertionError):
        standin.assert_called("vqi_set_timer", 1.0)
    with pytest.raises(AssertionError):
        standin.assert_not_called()


def test_calls_are_recorded_in_order_and_recording_can_be_switched_off():
    standin.assert_not_called()
    fn("vqi_init", I)()
    fn("vqi_set_token", I, S)(b"tok")
    assert [n for n, _ in standin.calls()] == ["vqi_init", "vqi_set_token"]
    assert standin.last_call() == ("vqi_set_token", (b"tok",))
    standin.reset()
    standin.recording(False)
    standin.script("vqi_get_cash_pb", status=3, response=b"cash")
    assert response("vqi_get_cash_pb", b"q", 1) == (3, b"cash")
    fn("vqi_init", I)()
    standin.assert_not_called()
    standin.recording(True)
    fn("vqi_init", I)()
    standin.assert_called("vqi_init")


def test_calls_from_many_threads_are_all_recorded():
    f = fn("vqi_cancel_orders_pb", I, S, I)

    def worker(k):
        for i in range(2000):
            f(b"%d:%d" % (k, i), len(b"%d:%d" % (k, i)))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    got = sorted(args[0] for _, args in standin.calls())
    assert got == sorted(b"%d:%d" % (k, i) for k in range(4) for i in range(2000))


def test_query_defaults_to_an_empty_non_null_response():
    status, addr, n = query("vqi_get_positions_pb", b"", 0)
    assert (status, n) == (0, 0)
    assert addr not in (None, 0xBAD)


def test_scripted_response_sticks_and_is_written_even_on_failure():
    standin.script("vqi_get_positions_pb", status=-1, response=b"\x00pos\x00")
    assert response("vqi_get_positions_pb", b"a", 1) == (-1, b"\x00pos\x00")
    assert response("vqi_get_positions_pb", b"b", 1) == (-1, b"\x00pos\x00")
    assert response("vqi_get_orders_pb", b"c", 1) == (0, b"")  # others untouched
    standin.reset()
    assert response("vqi_get_positions_pb", b"a", 1) == (0, b"")


@pytest.mark.parametrize("length", [0, 5, -3])
def test_scripted_null_response(length):
    standin.script("vqi_current_price_pb", status=0, response=None, response_len=length)
    assert query("vqi_current_price_pb", b"x", 1) == (0, None, length)


def test_scripted_response_may_claim_a_shorter_or_negative_length():
    standin.script("vqi_get_cash_pb", response=b"abcdef", response_len=-4)
    _status, addr, n = query("vqi_get_cash_pb", b"", 0)
    assert addr
    assert n == -4
    with pytest.raises(ValueError, match="exceeds the 2 bytes given"):
        standin.script("vqi_get_cash_pb", response=b"ab", response_len=3)


def test_scripted_statuses_of_other_shapes():
    standin.script("vqi_cancel_orders_pb", status=1001)
    standin.script("vqi_current_pb", status=7, response=b"cur")
    standin.script("vqi_smart_reorder", value=42)
    assert fn("vqi_cancel_orders_pb", I, S, I)(b"", 0) == 1001
    assert fn("vqi_cancel_all_orders_pb", I, S, I)(b"", 0) == 0
    assert response("vqi_current_pb", b"s", True, b"f") == (7, b"cur")
    assert (
        fn("vqi_smart_reorder", I, S, D, *(I,) * 8 + (S,))(b"s", 1.0, 1, 1, 1, 1, 1, 1, 1, 1, None)
        == 42
    )


TEXTS = [
    ("vqi_get_c_version", (), b"vq3-c stand-in 3.0.0"),
    ("vqi_get_encrypted_token", (), b""),
    ("vqi_get_orgcode", (), b""),
    ("vqi_get_ext_errormsg", (), b""),
    ("vqi_strerror", (0,), b"success"),
    ("vqi_strerror", (-12,), b"error -12"),
    ("vqi_strerror", (404,), b"error 404"),
]


@pytest.mark.parametrize(("name", "args", "default"), TEXTS, ids=[t[0] for t in TEXTS])
def test_text_results(name, args, default):
    f = fn(name, S, *(I,) * len(args))
    assert f(*args) == default
    standin.script(name, text="scripted \u00e9")
    assert f(*args) == "scripted \u00e9".encode()
    standin.script(name, text=None)
    assert f(*args) is None


def test_serv_addr_is_stored_through_the_out_parameter():
    f = fn("vqi_get_serv_addr", I, S, ADDR)
    addr = ctypes.c_char_p(b"untouched")
    assert f(b"md", ctypes.byref(addr)) == 0
    assert addr.value == b"127.0.0.1:7001"
    standin.script("vqi_get_serv_addr", status=5, text="10.0.0.1:9000")
    assert f(b"md", ctypes.byref(addr)) == 5
    assert addr.value == b"10.0.0.1:9000"
    standin.script("vqi_get_serv_addr", text=None)
    assert f(b"md", ctypes.byref(addr)) == 5
    assert addr.value is None


def test_clock_functions_follow_the_wall_clock_unless_scripted():
    now, now_plus = fn("vqi_now", ctypes.c_longlong), fn("vqi_now_plus", D)
    before = time.time()
    ms, secs = now(), now_plus()
    after = time.time()
    assert int(before * 1000) - 1 <= ms <= int(after * 1000) + 1
    assert before - 0.001 <= secs <= after + 0.001
    standin.script("vqi_now", value=2**40 + 123)
    standin.script("vqi_now_plus", dvalue=0.25)
    assert (now(), now_plus()) == (2**40 + 123, 0.25)


def test_unknown_names_cannot_be_scripted():
    assert fn("vqstub_script_int", I, S, ctypes.c_longlong)(b"vqi_no_such_thing", 1) == -1
    assert fn("vqstub_script_text", I, S, S)(None, b"x") == -1
    with pytest.raises(KeyError):
        standin.script("vqi_no_such_thing", status=1)
    with pytest.raises(TypeError):
        standin.script("vqi_init")


def test_out_of_range_call_indexes():
    fn("vqi_init", I)()
    argc, kind = fn("vqstub_call_argc", I, I), fn("vqstub_arg_kind", I, I, I)
    assert argc(0) == 0
    assert argc(1) == -1
    assert argc(-1) == -1
    assert kind(0, 0) == -1
    assert fn("vqstub_call_name", S, I)(1) is None


# ---- events ------------------------------------------------------------------


class Sink:
    """A ctypes callback that logs what it is given and may act on it."""

    def __init__(self, on_event=None):
        self.seen = []
        self.on_event = on_event
        self.cb = CALLBACK(self)
        set_callback(self.cb)

    def __call__(self, msg_type, data, n):
        self.seen.append((msg_type, payload(data, n), n))
        if self.on_event:
            self.on_event(msg_type)


def types(sink):
    return [t for t, _, _ in sink.seen]


def test_run_delivers_every_event_in_order_as_queued():
    sink = Sink()
    standin.queue_event("quote", b"\x00q\x00")
    standin.queue_event(None, None, length=-1)
    standin.queue_event(b"empty", b"")
    standin.queue_event("null", None, length=9)
    standin.script("vqi_run", status=4)
    assert run() == 4
    assert sink.seen == [
        (b"quote", b"\x00q\x00", 3),
        (None, None, -1),
        (b"empty", b"", 0),
        (b"null", None, 9),
    ]
    assert (standin.pending(), standin.delivered(), standin.dropped()) == (0, 4, 0)


def test_registering_the_callback_records_its_address():
    sink = Sink()
    standin.reset()
    set_callback(sink.cb)
    standin.assert_called("vqi_set_event_callback_pb", ctypes.cast(sink.cb, ctypes.c_void_p).value)


@pytest.mark.parametrize("deliver", [run, poll], ids=["run", "poll"])
def test_events_without_a_callback_are_dropped(deliver):
    standin.queue_event("a", b"1", count=4)
    standin.queue_event("b", b"2")
    deliver()
    assert (standin.pending(), standin.delivered(), standin.dropped()) == (0, 0, 5)


def test_stop_from_inside_an_event_ends_run_but_not_poll():
    sink = Sink(lambda t: t == b"e2" and stop())
    for name in ("e1", "e2", "e3", "e4"):
        standin.queue_event(name, b"")
    run()
    assert types(sink) == [b"e1", b"e2"]
    assert standin.pending() == 2
    poll()  # the stop flag is still set; poll pays it no heed
    assert types(sink) == [b"e1", b"e2", b"e3", b"e4"]
    assert standin.pending() == 0
    standin.queue_event("e5", b"")
    run()  # a new run clears the flag
    assert types(sink)[-1] == b"e5"


def test_nested_poll_continues_from_the_same_queue():
    log = []

    def on_event(t):
        log.append(t)
        if t == b"A":
            poll()
            log.append(b"A done")

    Sink(on_event)
    for name in ("A", "B", "C"):
        standin.queue_event(name, b"")
    run()
    assert log == [b"A", b"B", b"C", b"A done"]
    assert [n for n, _ in standin.calls()] == ["vqi_set_event_callback_pb", "vqi_run", "vqi_poll"]
    assert (standin.pending(), standin.delivered()) == (0, 3)


@pytest.mark.parametrize("deliver", [run, poll], ids=["run", "poll"])
def test_repeat_count(deliver):
    Sink()
    standin.queue_event("tick", b"t", count=1000)
    standin.queue_event("end", b"e")
    assert standin.pending() == 1001
    deliver()
    assert (standin.pending(), standin.delivered()) == (0, 1001)


def test_stop_part_way_through_a_repeated_event():
    sink = Sink(lambda t: len(sink.seen) == 3 and stop())
    standin.queue_event("tick", b"t", count=5)
    standin.queue_event("end", b"e")
    run()
    assert types(sink) == [b"tick"] * 3
    assert standin.pending() == 3
    poll()
    assert types(sink) == [b"tick"] * 5 + [b"end"]


def test_nested_poll_inside_a_repeated_event():
    depth = []

    def on_event(t):
        depth.append(t)
        if len(depth) == 1:
            poll()

    sink = Sink(on_event)
    standin.queue_event("tick", b"t", count=3)
    standin.queue_event("end", b"e")
    run()
    assert types(sink) == [b"tick"] * 3 + [b"end"]
    assert standin.delivered() == 4


def test_events_queued_from_inside_an_event_are_delivered_in_the_same_run():
    sink = Sink(lambda t: t == b"a" and standin.queue_event("b", b"from a"))
    standin.queue_event("a", b"")
    run()
    assert sink.seen == [(b"a", b"", 0), (b"b", b"from a", 6)]


def test_callback_replaced_from_inside_an_event_gets_the_rest():
    second = []
    keep = []

    def on_event(t):
        cb = CALLBACK(lambda m, d, n: second.append(m))
        keep.append(cb)
        set_callback(cb)

    first = Sink(on_event)
    for name in ("x", "y", "z"):
        standin.queue_event(name, b"")
    run()
    assert types(first) == [b"x"]
    assert second == [b"y", b"z"]


def test_reset_from_inside_an_event_empties_the_queue_and_keeps_the_callback():
    sink = Sink(lambda t: t == b"first" and standin.reset())
    standin.queue_event("first", b"payload", count=2)
    standin.queue_event("second", b"")
    run()
    assert sink.seen == [(b"first", b"payload", 7)]
    assert (standin.pending(), standin.delivered()) == (0, 0)
    standin.queue_event("after", b"")
    poll()
    assert types(sink)[-1] == b"after"
