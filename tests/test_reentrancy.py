"""Events re-entering the module: wrappers called from inside events, nested
polls, the callable replaced or deleted between and during events, a million
events in one poll, and many Python threads calling at once."""

import collections
import contextlib
import io
import itertools
import sys
import threading
import time
import weakref

import pytest

import vq.csdk.c_sdk as c_sdk


@pytest.fixture
def bridge(lib, mod):
    """The stand-in reset, and c_sdk.f as it was afterwards."""
    saved = mod.__dict__.get("f")
    yield lib
    if saved is None:
        mod.__dict__.pop("f", None)
    else:
        mod.f = saved


@contextlib.contextmanager
def reports():
    """Collects what failed events report: the printed exceptions (stderr)
    and the unraisable reports (the hook where there is one, else stderr)."""
    out, hooked = io.StringIO(), []
    saved = sys.stderr, getattr(sys, "unraisablehook", None)
    sys.stderr = out
    if saved[1] is not None:
        sys.unraisablehook = lambda u: hooked.append((u.exc_type, u.object))
    try:
        yield out, hooked
    finally:
        sys.stderr = saved[0]
        if saved[1] is not None:
            sys.unraisablehook = saved[1]


def unraisable(out, hooked):
    """The (exception name, context) of each unraisable report."""
    if hooked:
        return [(t.__name__, o) for t, o in hooked]
    lines = out.getvalue().splitlines()
    found = []
    for i, line in enumerate(lines):
        if line.startswith("Exception ignored in: "):
            context = line[len("Exception ignored in: ") :].strip("'")
            name = next(ln for ln in lines[i + 1 :] if not ln.startswith((" ", "Traceback")))
            found.append((name.split(":")[0], context))
    return found


DEPTH = 150


def test_wrappers_called_from_nested_events(bridge, mod):
    bridge.script("vqi_get_orders_pb", status=0, response=b"orders")
    seen, errors = [], []
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 20 * DEPTH))

    def on_event(msg_type, payload):
        level = len(seen) + 1
        seen.append((msg_type, payload))
        try:  # wrappers of several shapes from inside the event
            assert mod.py_vqi_get_orders(b"level%d" % level) == (0, b"orders")
            assert mod.py_vqi_subscribe("SHSE.%d" % level, b"tick", level % 2) == 0
            assert mod.TickLikeDict2({"price": level}).price == level
            if level < DEPTH:
                bridge.queue_event("depth", b"%d" % (level + 1))
                assert mod.vqi_poll() == 0
            assert len(seen) == DEPTH  # the inner polls delivered the rest
        except Exception as exc:
            errors.append((level, exc))

    mod.py_vqi_set_data_callback(on_event)
    bridge.queue_event("depth", b"1")
    try:
        assert mod.vqi_poll() == 0
    finally:
        sys.setrecursionlimit(limit)
    assert errors == []
    assert seen == [("depth", b"%d" % i) for i in range(1, DEPTH + 1)]
    assert bridge.delivered() == DEPTH
    assert bridge.pending() == 0
    names = [name for name, _ in bridge.calls()]
    assert names.count("vqi_poll") == DEPTH
    assert names.count("vqi_get_orders_pb") == names.count("vqi_subscribe") == DEPTH
    orders = [args for name, args in bridge.calls() if name == "vqi_get_orders_pb"]
    assert orders == [(b"level%d" % i, len(b"level%d" % i)) for i in range(1, DEPTH + 1)]


class Callable:
    """A callable the module alone keeps alive."""

    def __init__(self, log, then=None):
        self.log, self.then = log, then

    def __call__(self, msg_type, payload):
        if self.then is not None:
            c_sdk.py_vqi_set_data_callback(self.then)  # drops the module's reference to self
            self.then = None
        self.log.append((id(self), payload))  # self must still be alive here


def test_callable_replaces_itself_during_an_event(bridge, mod):
    log = []
    second = Callable(log)
    first = Callable(log, then=second)
    first_id, gone = id(first), weakref.ref(first)
    mod.py_vqi_set_data_callback(first)
    del first
    bridge.queue_event("t", b"a")
    bridge.queue_event("t", b"b", count=2)
    mod.vqi_poll()
    assert log == [(first_id, b"a"), (id(second), b"b"), (id(second), b"b")]
    assert gone() is None
    assert mod.f is second


def test_f_deleted_between_events(bridge, mod):
    got = []
    mod.py_vqi_set_data_callback(lambda t, p: got.append((t, p)))
    bridge.queue_event("t", b"1")
    mod.vqi_poll()
    del mod.f
    bridge.queue_event("t", b"2")
    with reports() as (out, hooked):
        assert mod.vqi_poll() == 0
    assert got == [("t", b"1")]
    assert bridge.delivered() == 2
    assert unraisable(out, hooked) == [("NameError", "c_sdk.callback_wrapper")]
    printed = out.getvalue().count("NameError: name 'f' is not defined")
    assert printed == (1 if hooked else 2)  # printed, then reported as unraisable
    assert not hasattr(mod, "f")
    mod.py_vqi_set_data_callback(lambda t, p: got.append((t, p)))
    bridge.queue_event("t", b"3")
    with reports() as (out, hooked):
        mod.vqi_poll()
    assert got == [("t", b"1"), ("t", b"3")]
    assert out.getvalue() == ""
    assert not hooked


def test_f_deleted_inside_an_event(bridge, mod):
    got = []

    def deletes(t, p):
        got.append(p)
        del c_sdk.f

    mod.py_vqi_set_data_callback(deletes)
    bridge.queue_event("t", b"x", count=3)
    with reports() as (out, hooked):
        mod.vqi_poll()
    assert got == [b"x"]
    assert unraisable(out, hooked) == [("NameError", "c_sdk.callback_wrapper")] * 2


MILLION = 10**6


def test_a_million_events_in_one_poll(bridge, mod):
    counts = collections.Counter()
    types = ["tick", "bar", "order", "execrpt"]
    for t in types:
        bridge.queue_event(t, t.encode() * 3, count=MILLION // len(types))
    last = {}

    def on_event(msg_type, payload):
        counts[msg_type] += 1
        last[msg_type] = payload

    mod.py_vqi_set_data_callback(on_event)
    start = time.monotonic()
    assert mod.vqi_poll() == 0
    elapsed = time.monotonic() - start
    assert sum(counts.values()) == MILLION == bridge.delivered()
    assert counts == {t: MILLION // len(types) for t in types}
    assert last == {t: t.encode() * 3 for t in types}
    assert bridge.pending() == 0
    print("\n%d events in %.2f s" % (MILLION, elapsed))


THREADS, SECONDS = 8, 2.0


def test_threads_calling_at_once(bridge, mod):
    bridge.script("vqi_get_orders_pb", status=0, response=b"resp")
    bridge.script("vqi_current_pb", status=-7, response=b"ignored")
    bridge.recording(False)  # the stand-in's call log would grow without bound
    delivered = itertools.count()
    mod.py_vqi_set_data_callback(lambda t, p: next(delivered))
    stop = threading.Event()
    done = [collections.Counter() for _ in range(THREADS)]
    errors = []

    def work(k, counter):
        tick = mod.TickLikeDict2
        try:
            for i in itertools.count():
                if stop.is_set():
                    return
                assert mod.py_vqi_get_orders(b"t%d" % k) == (0, b"resp")
                assert mod.py_vqi_current("S%d" % k, b"f", i & 1) == (-7, None)
                assert mod.vqi_strerror(i % 50) == (
                    b"success" if i % 50 == 0 else b"error %d" % (i % 50)
                )
                mod.py_vqi_set_timer(i)
                rec = tick({"price": i})
                rec.symbol = k
                bar = mod.BarLikeDict2({})
                bar["close"] = i
                assert (rec.price, rec["symbol"], bar.close, "close" in bar) == (i, k, i, True)
                assert str(mod.ObjectLikeDict2({"k": k})) == str({"k": k})
                counter["calls"] += 4
                counter["records"] += 3
                if i % 64 == 0:
                    bridge.queue_event("t", b"%d" % k, count=5)
                    mod.vqi_poll()
                    counter["queued"] += 5
                    counter["calls"] += 1
        except BaseException as exc:
            errors.append((k, exc))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    threads = [threading.Thread(target=work, args=(k, done[k])) for k in range(THREADS)]
    try:
        for t in threads:
            t.start()
        time.sleep(SECONDS)
        stop.set()
        for t in threads:
            t.join(30)
    finally:
        stop.set()
        sys.setswitchinterval(interval)
    assert not errors
    assert not any(t.is_alive() for t in threads)
    mod.vqi_poll()  # whatever a thread queued after its last poll
    total = sum(done, collections.Counter())
    assert all(c["calls"] > 0 for c in done)
    assert next(delivered) == total["queued"] == bridge.delivered()
    assert bridge.pending() == 0
    print(
        "\n%d threads: %d library calls, %d records, %d events"
        % (THREADS, total["calls"], total["records"], total["queued"])
    )

    # every call of a short burst is recorded once, with its own argument
    bridge.reset()

    def burst(k):
        for i in range(1000):
            mod.py_vqi_set_timer(k * 100000 + i)

    threads = [threading.Thread(target=burst, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    recorded = bridge.calls()
    assert {name for name, _ in recorded} == {"vqi_set_timer"}
    assert sorted(args[0] for _, args in recorded) == sorted(
        k * 100000 + i for k in range(THREADS) for i in range(1000)
    )
