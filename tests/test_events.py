"""The event bridge: registration, delivery of library events to the Python
callable, and what happens when an event cannot be delivered."""

import gc
import os
import re
import subprocess
import sys
import textwrap
import weakref

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture
def seen(lib, mod, monkeypatch, unraisable, capfd):
    """A registered recorder; the test must leave no report behind."""
    monkeypatch.setattr(mod, "f", None, raising=False)  # removed again afterwards
    got = []
    mod.py_vqi_set_data_callback(lambda t, p: got.append((t, p)))
    lib.reset()
    yield got
    assert unraisable == []
    assert capfd.readouterr().err == ""


def drive(mod, how):
    return mod.py_vqi_run() if how == "run" else mod.vqi_poll()


def exact(got, want):
    assert [tuple(map(type, e)) for e in got] == [tuple(map(type, e)) for e in want]
    assert got == want


# ---- registration ----------------------------------------------------------------


@pytest.mark.parametrize("obj", [len, None, 42, "not callable"])
def test_registration_stores_any_object(lib, mod, monkeypatch, obj):
    monkeypatch.setattr(mod, "f", "old", raising=False)
    lib.reset()
    assert mod.py_vqi_set_data_callback(obj) is None
    assert mod.f is obj
    assert mod.py_vqi_set_data_callback(obj) is None
    (n1, (a1,)), (n2, (a2,)) = lib.calls()
    assert n1 == n2 == "vqi_set_event_callback_pb"
    assert a1 == a2
    assert a1 != 0


@pytest.mark.parametrize(("args", "kwargs"), [((), {}), ((len, len), {}), ((), {"pythonf": len})])
def test_registration_binding_errors(lib, mod, monkeypatch, args, kwargs):
    monkeypatch.setattr(mod, "f", "old", raising=False)
    with pytest.raises(TypeError):
        mod.py_vqi_set_data_callback(*args, **kwargs)
    assert mod.f == "old"
    lib.assert_not_called()


# ---- delivery --------------------------------------------------------------------


@pytest.mark.parametrize(
    ("msg_type", "data", "want"),
    [
        ("abc", b"\x01\x00\x02\x00\x03", ("abc", b"\x01\x00\x02\x00\x03")),
        ("", b"", ("", b"")),
        ("tick", None, ("tick", b"")),
        ("\u884c\u60c5", bytes(range(256)), ("\u884c\u60c5", bytes(range(256)))),
    ],
)
@pytest.mark.parametrize("how", ["run", "poll"])
def test_event_reaches_the_callable(lib, mod, seen, how, msg_type, data, want):
    lib.script("vqi_run" if how == "run" else "vqi_poll", status=-3)
    lib.queue_event(msg_type, data)
    assert drive(mod, how) == -3
    exact(seen, [want])
    assert lib.delivered() == 1
    assert lib.pending() == 0


def test_events_arrive_in_order(lib, mod, seen):
    lib.queue_event("a", b"1")
    lib.queue_event("b", b"2", count=2)
    lib.queue_event("a", b"3")
    assert mod.py_vqi_run() == 0
    exact(seen, [("a", b"1"), ("b", b"2"), ("b", b"2"), ("a", b"3")])


def test_many_distinct_types(lib, mod, seen, monkeypatch):
    # more types than any small cache holds, short and long, some sharing prefixes
    types = ["t%d" % i for i in range(12)] + ["t1" * 20, "t1" * 20 + "x", "t", "x" * 31]
    for flag in (False, True, False):
        monkeypatch.setattr(mod, "IS_PY2", flag)
        del seen[:]
        for t in types * 2:
            lib.queue_event(t, t.encode() * 2)
        mod.py_vqi_run()
        exact(seen, [(t.encode() if flag else t, t.encode() * 2) for t in types * 2])


def test_is_py2_is_read_at_each_event(lib, mod, seen, monkeypatch):
    for flag, want in [(False, "abc"), (True, b"abc"), (1, b"abc"), ([], "abc")]:
        monkeypatch.setattr(mod, "IS_PY2", flag)
        lib.queue_event("abc", b"x")
        mod.vqi_poll()
        exact(seen[-1:], [(want, b"x")])


def test_f_is_read_at_each_event(lib, mod, seen):
    other = []

    def first(t, p):
        other.append(p)
        mod.f = lambda t, p: other.append(p.upper())

    mod.f = first
    lib.queue_event("t", b"a")
    lib.queue_event("t", b"b", count=2)
    mod.py_vqi_run()
    assert other == [b"a", b"B", b"B"]
    assert seen == []
    mod.f = lambda t, p: other.append(t)
    lib.queue_event("u", b"")
    mod.vqi_poll()
    assert other[-1] == "u"


class Handler:
    def __init__(self, out):
        self.out = out


def test_registration_holds_the_callable(lib, mod, seen):
    handler = Handler([])
    ref = weakref.ref(handler)
    mod.py_vqi_set_data_callback(handler)
    del handler
    gc.collect()
    assert ref() is not None
    assert mod.f is ref()
    mod.py_vqi_set_data_callback(len)
    gc.collect()
    assert ref() is None


def test_callable_that_registers_a_successor(lib, mod, seen):
    later = []

    def first(t, p):
        mod.py_vqi_set_data_callback(lambda t, p: later.append(p))
        later.append(("first", p))

    mod.py_vqi_set_data_callback(first)
    ((_, entry),) = lib.calls()
    lib.reset()
    lib.queue_event("t", b"1")
    lib.queue_event("t", b"2")
    mod.py_vqi_run()
    assert later == [("first", b"1"), b"2"]
    assert seen == []
    assert lib.calls() == [("vqi_run", ()), ("vqi_set_event_callback_pb", entry)]


def test_wrappers_called_from_an_event(lib, mod, seen):
    results = []

    def strategy(t, p):
        results.append(mod.py_vqi_get_cash(p))
        if p == b"stop":
            results.append(mod.py_vqi_stop())

    mod.f = strategy
    lib.script("vqi_get_cash_pb", status=0, response=b"cash")
    lib.script("vqi_stop", status=9)
    lib.script("vqi_run", status=4)
    for p in (b"a", b"stop", b"c"):
        lib.queue_event("t", p)
    assert mod.py_vqi_run() == 4
    assert results == [(0, b"cash"), (0, b"cash"), 9]
    assert lib.pending() == 1
    assert lib.calls() == [
        ("vqi_run", ()),
        ("vqi_get_cash_pb", (b"a", 1)),
        ("vqi_get_cash_pb", (b"stop", 4)),
        ("vqi_stop", ()),
    ]
    assert mod.py_vqi_run() == 4  # a new run goes on with what is left
    assert results[-1] == (0, b"cash")
    assert lib.pending() == 0


class Hostile:
    def __bool__(self):
        raise AssertionError("result looked at")

    __int__ = __len__ = __index__ = __bool__


@pytest.mark.parametrize("result", [None, 1, "x", Hostile(), NotImplemented])
def test_callable_result_is_ignored(lib, mod, seen, result):
    calls = []
    mod.f = lambda t, p: calls.append(p) or result
    lib.queue_event("t", b"1", count=2)
    assert mod.py_vqi_run() == 0
    assert calls == [b"1", b"1"]


# ---- failures, in a process of their own: both reports go to stderr ---------------

PRELUDE = """
import sys
import standin
import vq.csdk.c_sdk as c_sdk
standin.reset()
standin.script("vqi_run", status=5)
seen = []
def record(t, p):
    if p == b"raise":
        raise ValueError("boom")
    if p == b"interrupt":
        raise KeyboardInterrupt("stop")
    seen.append((t, p))
c_sdk.py_vqi_set_data_callback(record)
"""

EPILOGUE = """
status = c_sdk.py_vqi_run()
print(repr((status, seen, standin.delivered())))
print("%s: %s" % (sys.last_type.__name__, sys.last_value))
"""


def child(tmp_path, body, epilogue=EPILOGUE):
    code = PRELUDE + textwrap.dedent(body) + epilogue
    return subprocess.run(
        [sys.executable, "-c", code],
        cwd=str(tmp_path),
        env=dict(os.environ, PYTHONPATH=TESTS),
        capture_output=True,
        text=True,
        timeout=120,
    )


OK_NEXT = 'standin.queue_event("t", b"ok")\n'
UNREGISTERED = 'c_sdk.vqi_poll()\nc_sdk.py_vqi_set_data_callback(record)\n' + OK_NEXT


@pytest.mark.parametrize(
    ("body", "line"),
    [
        ('standin.queue_event("t", b"raise")\n' + OK_NEXT, r"ValueError: boom"),
        # reported like any other: the process's exit status stays its own
        ('standin.queue_event("t", b"interrupt")\n' + OK_NEXT, r"KeyboardInterrupt: stop"),
        (
            'standin.queue_event(b"\\xffx", b"a")\n' + OK_NEXT,
            r"UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff in position 0: .*",
        ),
        ('standin.queue_event(None, b"a")\n' + OK_NEXT, r"SystemError: .*null .*type.*"),
        ('standin.queue_event(None, None)\n' + OK_NEXT, r"SystemError: .*null .*type.*"),
        (
            'standin.queue_event("t", None, length=4)\n' + OK_NEXT,
            r"SystemError: .*null .*payload.*",
        ),
        ('standin.queue_event("t", None, length=-1)\n' + OK_NEXT, r"SystemError: .*negative.*"),
        ('standin.queue_event("t", b"abc", length=-2)\n' + OK_NEXT, r"SystemError: .*negative.*"),
        (
            'c_sdk.py_vqi_set_data_callback(None)\nstandin.queue_event("t", b"a")\n' + UNREGISTERED,
            r"TypeError: 'NoneType' object is not callable",
        ),
        (
            'del c_sdk.f\nstandin.queue_event("t", b"a")\n' + UNREGISTERED,
            r"NameError: name 'f' is not defined",
        ),
    ],
    ids=[
        "raises",
        "interrupt",
        "bad-utf8",
        "null-type",
        "null-both",
        "null-payload",
        "negative-null",
        "negative",
        "none",
        "deleted",
    ],
)
def test_failed_event_is_reported_twice_and_the_run_goes_on(tmp_path, body, line):
    proc = child(tmp_path, body)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    assert out[0] == repr((5, [("t", b"ok")], 2))
    assert re.fullmatch(line, out[1])  # recorded as sys.last_*
    err = proc.stderr.splitlines()
    ignored = [
        i for i, text in enumerate(err) if text == "Exception ignored in: 'c_sdk.callback_wrapper'"
    ]
    printed = [i for i, text in enumerate(err) if re.fullmatch(line, text)]
    assert len(ignored) == 1, proc.stderr
    assert len(printed) == 2, proc.stderr
    assert printed[0] < ignored[0] < printed[1]
    if "raise" in body or "interrupt" in body:  # the first report carries the callable's traceback
        assert any('in record' in text for text in err[: ignored[0]])


@pytest.mark.parametrize(
    ("payload", "line"), [("raise", "ValueError boom"), ("interrupt", "KeyboardInterrupt stop")]
)
@pytest.mark.parametrize("hook_fails", [False, True], ids=["hook", "failing-hook"])
def test_first_report_goes_through_sys_excepthook(tmp_path, payload, line, hook_fails):
    body = """
    def hook(t, v, tb):
        print("hook:", t.__name__, v, tb is not None, file=sys.stderr)
        if %r:
            raise RuntimeError("hook broke")
    sys.excepthook = hook
    standin.queue_event("t", b"%s")
    """ % (hook_fails, payload)
    proc = child(tmp_path, body + OK_NEXT)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    assert out[0] == repr((5, [("t", b"ok")], 2))
    assert out[1] == line.replace(" ", ": ")
    err = proc.stderr.splitlines()
    assert err.count("hook: %s True" % line) == 1, proc.stderr
    assert err.count("Exception ignored in: 'c_sdk.callback_wrapper'") == 1, proc.stderr
    broke = ["Error in sys.excepthook:", "RuntimeError: hook broke", "Original exception was:"]
    assert [text for text in err if text in broke] == (broke if hook_fails else []), proc.stderr


def test_system_exit_in_the_callable_ends_the_process(tmp_path):
    body = """
    c_sdk.f = lambda t, p: sys.exit(3)
    standin.queue_event("t", b"a", count=2)
    """
    proc = child(tmp_path, body, 'c_sdk.py_vqi_run()\nprint("after")\n')
    assert proc.returncode == 3
    assert "after" not in proc.stdout
