"""The buffer query and command families: every member through the same
checks, driven by the tables in contract.py and the stand-in's record."""

import builtins
import re

import contract
import pytest

from vq.constant import CSDK_OPERATE_SUCCESS as OK

NOARG = "py_vqi_get_accounts"  # the one query without a request


def rows(table, kind, skip=()):
    return [pytest.param(n, fn, adapted, kind, id=n) for n, fn, adapted in table if n not in skip]


QUERIES = rows(contract.QUERY, "query")
COMMANDS = rows(contract.COMMAND, "command")
WITH_REQUEST = rows(contract.QUERY, "query", {NOARG}) + COMMANDS
ALL = QUERIES + COMMANDS
member = pytest.mark.parametrize(("name", "fn", "adapted", "kind"), ALL)
with_request = pytest.mark.parametrize(("name", "fn", "adapted", "kind"), WITH_REQUEST)
query = pytest.mark.parametrize(("name", "fn", "adapted", "kind"), QUERIES)


class Bytes(bytes):
    pass


class ByteArray(bytearray):
    pass


REQ = b"q\0r"


def run(mod, name):
    """Call a member the ordinary way."""
    return getattr(mod, name)() if name == NOARG else getattr(mod, name)(REQ)


def sent(name):
    """What the library records for run()."""
    return () if name == NOARG else (REQ, len(REQ))


def result_of(kind, status, payload):
    return (status, payload) if kind == "query" else status


def same(got, want):
    # exact types: an int status, a bytes payload (not bytearray, not a view)
    assert got == want
    assert type(got) is type(want)
    if isinstance(want, tuple):
        assert [type(x) for x in got] == [type(x) for x in want]


# ---- the request ----------------------------------------------------------------


@with_request
def test_request_passed_whole(lib, mod, name, fn, adapted, kind):
    f = getattr(mod, name)
    for make in (bytes, bytearray, Bytes, ByteArray):
        for data in (b"abc", b"", b"\0a\0\0b\0", b"\0"):
            lib.reset()
            lib.script(fn, status=OK, response=b"r")
            same(f(make(data)), result_of(kind, OK, b"r"))
            # empty gives a real pointer with length 0, never NULL
            lib.assert_called(fn, data, len(data))


@with_request
def test_str_request(lib, mod, name, fn, adapted, kind):
    f = getattr(mod, name)
    if adapted:
        for text in ("ab\0c", ""):
            lib.reset()
            f(text)
            lib.assert_called(fn, text.encode("ascii"), len(text))
        lib.reset()
        with pytest.raises(UnicodeEncodeError):
            f("caf\xe9")
    else:
        for text in ("abc", "", "caf\xe9"):
            with pytest.raises(TypeError, match=r"^expected bytes, str found$"):
                f(text)
    lib.assert_not_called()


@with_request
@pytest.mark.parametrize(
    ("req", "message"),
    [
        (None, "object of type 'NoneType' has no len()"),
        (5, "object of type 'int' has no len()"),
        (["a"], "expected bytes, list found"),
        (memoryview(b"ab"), "expected bytes, memoryview found"),
        (("a", "b"), "expected bytes, tuple found"),
    ],
    ids=["None", "int", "list", "memoryview", "tuple"],
)
def test_wrong_request_type(lib, mod, name, fn, adapted, kind, req, message):
    with pytest.raises(TypeError, match=r"^%s$" % re.escape(message)):
        getattr(mod, name)(req)
    lib.assert_not_called()


@member
def test_call_shape(lib, mod, name, fn, adapted, kind):
    f = getattr(mod, name)
    if name == NOARG:
        bad = [((b"a",), {}), ((None,), {}), ((), {"req": b"a"})]
    else:
        bad = [
            ((), {}),
            ((b"a", b"b"), {}),
            ((), {"req": b"a"}),
            ((), {"req": "a"}),
            ((b"a",), {"req": b"a"}),
        ]
    for args, kwargs in bad:
        with pytest.raises(TypeError, match="argument"):
            f(*args, **kwargs)
    lib.assert_not_called()


def free_gib():
    with open("/proc/meminfo") as f:
        m = re.search(r"MemAvailable:\s+(\d+) kB", f.read())
    return int(m.group(1)) / (1 << 20) if m else 0


@pytest.mark.skipif(free_gib() < 4, reason="needs 4 GiB of free memory")
def test_request_of_2_gib_refused(lib, mod):
    # BIG: a real 2**31-byte object, one allocation shared by the wrappers
    # that take a request; the library must not be called with a cut length
    big = bytes(2**31)
    try:
        calls = [
            lambda: mod.py_vqi_get_orders(big),
            lambda: mod.py_vqi_log(big),
            lambda: mod.py_vqi_algo_order_batch(big, b"n", b"p"),
        ]
        for call in calls:
            with pytest.raises(OverflowError):
                call()
    finally:
        big = calls = None  # free the 2 GiB before the next test
    lib.assert_not_called()


# ---- results ----------------------------------------------------------------------

RESPONSES = [  # script, then the pair that comes back
    (dict(status=OK, response=b"\0pay\0load\0"), (OK, b"\0pay\0load\0")),
    (dict(status=OK, response=b"abcdef", response_len=3), (OK, b"abc")),
    (dict(status=OK, response=b""), (OK, b"")),
    (dict(status=OK, response=None, response_len=0), (OK, b"")),
    (dict(status=OK + 1, response=b"junk"), (OK + 1, None)),
    (dict(status=-1, response=b"junk"), (-1, None)),
    (dict(status=-(2**31), response=None, response_len=5), (-(2**31), None)),
    (dict(status=2**31 - 1, response=b"x", response_len=-4), (2**31 - 1, None)),
]
RESPONSE_IDS = ["zeros", "short", "empty", "null-0", "fail", "negative", "fail-null", "fail-neg"]

# a success that breaks the response contract: never read, never returned
BROKEN = [(None, 5), (None, 1), (None, -1), (b"abc", -1)]
BROKEN_IDS = ["null-5", "null-1", "null-neg", "neg"]


@query
@pytest.mark.parametrize(("scripted", "want"), RESPONSES, ids=RESPONSE_IDS)
def test_query_result(lib, mod, name, fn, adapted, kind, scripted, want):
    lib.script(fn, **scripted)
    same(run(mod, name), want)
    lib.assert_called(fn, *sent(name))


@query
@pytest.mark.parametrize(("response", "n"), BROKEN, ids=BROKEN_IDS)
def test_broken_success_response(lib, mod, name, fn, adapted, kind, response, n):
    lib.script(fn, status=OK, response=response, response_len=n)
    with pytest.raises(SystemError, match=r"\b%s\b" % re.escape(fn)):
        run(mod, name)
    lib.assert_called(fn, *sent(name))


@pytest.mark.parametrize(("name", "fn", "adapted", "kind"), COMMANDS)
@pytest.mark.parametrize("status", [OK, OK + 1, -1, -(2**31), 2**31 - 1])
def test_command_returns_status(lib, mod, monkeypatch, name, fn, adapted, kind, status):
    lib.script(fn, status=status)
    same(getattr(mod, name)(b"c"), status)
    # the status is not judged: the success value is never read
    monkeypatch.delattr(mod, "CSDK_OPERATE_SUCCESS")
    same(getattr(mod, name)(b"c"), status)


# ---- the success value, read at every call ------------------------------------------


class Boom(Exception):
    pass


class EqualsAll:
    def __eq__(self, other):
        return "yes"  # truthy, not a bool


class EqualsRaises:
    def __eq__(self, other):
        raise Boom


@query
def test_success_value_read_at_each_call(lib, mod, monkeypatch, name, fn, adapted, kind):
    lib.script(fn, status=7, response=b"r")
    assert run(mod, name) == (7, None)
    for success, want in (
        (7, (7, b"r")),
        (7.0, (7, b"r")),
        (EqualsAll(), (7, b"r")),
        (8, (7, None)),
        (OK, (7, None)),
    ):
        monkeypatch.setattr(mod, "CSDK_OPERATE_SUCCESS", success)
        same(run(mod, name), want)
    monkeypatch.setattr(mod, "CSDK_OPERATE_SUCCESS", EqualsRaises())
    with pytest.raises(Boom):
        run(mod, name)


@query
def test_success_value_missing(lib, mod, monkeypatch, name, fn, adapted, kind):
    lib.script(fn, status=OK, response=b"r")
    monkeypatch.delattr(mod, "CSDK_OPERATE_SUCCESS")
    with pytest.raises(NameError, match=r"^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        run(mod, name)
    # raised after the call: the library did run
    lib.assert_called(fn, *sent(name))
    # the builtins stand behind the module
    monkeypatch.setattr(builtins, "CSDK_OPERATE_SUCCESS", 9, raising=False)
    lib.script(fn, status=9, response=b"b")
    same(run(mod, name), (9, b"b"))
    monkeypatch.undo()
    lib.script(fn, status=OK, response=b"r")
    same(run(mod, name), (OK, b"r"))
