"""Events that the library delivers from a thread of its own, one that does
not hold the interpreter lock: each takes the lock, is delivered like any
other event, and waits while another thread holds the lock."""

import sys
import threading
import time

import pytest


@pytest.fixture
def seen(lib, mod, monkeypatch):
    """A registered recorder of (type, payload, thread); the delivery thread
    is joined whatever the test did."""
    monkeypatch.setattr(mod, "f", None, raising=False)
    got = []
    mod.py_vqi_set_data_callback(lambda t, p: got.append((t, p, threading.get_ident())))
    lib.reset()
    yield got
    lib.thread_join()


def deliver(mod, lib, how):
    """Deliver the queued events: inside a call on this thread, or from the
    library's own thread while no call is in progress."""
    if how == "poll":
        mod.vqi_poll()
    else:
        lib.thread_start()
        lib.thread_join()


HOW = pytest.mark.parametrize("how", ["poll", "thread"])


@HOW
def test_delivered_like_any_other_event(lib, mod, monkeypatch, seen, how):
    lib.queue_event("abc", b"\x01\x00\x02")
    lib.queue_event("", None, count=2)
    lib.queue_event("\u884c\u60c5", bytes(range(256)))
    deliver(mod, lib, how)
    me = threading.get_ident()
    assert [(t, p) for t, p, _ in seen] == [
        ("abc", b"\x01\x00\x02"),
        ("", b""),
        ("", b""),
        ("\u884c\u60c5", bytes(range(256))),
    ]
    assert all((who == me) == (how == "poll") for _, _, who in seen)
    if how == "thread":
        assert lib.thread_delivered() == 4
    # the globals are read at the event, and the callable may call wrappers
    monkeypatch.setattr(mod, "IS_PY2", True)
    mod.f = lambda t, p: seen.append((t, mod.py_vqi_log(p)))
    lib.script("vqi_log_pb", status=-4)
    lib.queue_event("x", b"r")
    deliver(mod, lib, how)
    assert seen[-1] == (b"x", -4)
    assert ("vqi_log_pb", (b"r", 1)) in lib.calls()


@HOW
def test_failed_event_is_reported_and_delivery_goes_on(lib, mod, seen, unraisable, capfd, how):
    def record(t, p):
        if p == b"raise":
            raise ValueError("boom")
        seen.append((t, p))

    mod.f = record
    lib.queue_event("t", b"raise")
    lib.queue_event("t", b"ok")
    # some pytest versions hook unraisable reports for the test's call
    # itself, over the fixture's hook: set it again for the delivery
    saved = getattr(sys, "unraisablehook", None)
    sys.unraisablehook = unraisable.append
    try:
        deliver(mod, lib, how)
    finally:
        if saved is None:
            del sys.unraisablehook
        else:
            sys.unraisablehook = saved
    assert seen == [("t", b"ok")]
    err = capfd.readouterr().err
    assert "ValueError: boom" in err  # printed with its traceback
    if sys.version_info >= (3, 8):
        assert [type(u.exc_value) for u in unraisable] == [ValueError]
        assert unraisable[0].object == "c_sdk.callback_wrapper"
    else:
        assert "Exception ignored in: 'c_sdk.callback_wrapper'" in err


@pytest.fixture
def no_forced_switch():
    """This thread keeps the interpreter lock until it blocks or returns."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    yield
    sys.setswitchinterval(old)


def test_event_waits_while_a_run_holds_the_lock(lib, mod, seen, no_forced_switch):
    lib.queue_event("own", b"1", count=2)
    lib.thread_start()  # takes both "own" events
    lib.queue_event("run", b"2", count=3)
    during = []
    mod.f = lambda t, p: (during.append(lib.thread_delivered()), seen.append((t, p)))
    assert mod.py_vqi_run() == 0
    assert during == [0, 0, 0]
    assert lib.thread_delivered() == 0
    assert lib.thread_join() == 2  # the lock is free while it waits
    assert seen == [("run", b"2")] * 3 + [("own", b"1")] * 2


def test_event_runs_when_the_callable_lets_threads_run(lib, mod, seen):
    lib.queue_event("own", b"1", count=2)
    lib.thread_start()
    lib.queue_event("run", b"2")
    me = threading.get_ident()

    def on_run(t, p):
        seen.append((t, p, threading.get_ident()))
        if t == "run":
            deadline = time.monotonic() + 60
            while lib.thread_delivered() < 2 and time.monotonic() < deadline:
                time.sleep(0.001)  # lets go of the lock

    mod.f = on_run
    assert mod.py_vqi_run() == 0
    assert lib.thread_delivered() == 2  # delivered within the run
    assert [(t, p) for t, p, _ in seen] == [("run", b"2"), ("own", b"1"), ("own", b"1")]
    assert seen[0][2] == me
    assert seen[1][2] == seen[2][2] != me
    assert lib.thread_join() == 2
