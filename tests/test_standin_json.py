"""The stand-in's JSON reader (standin/json.h) on malformed input.

Order requests are the reader's front door: vqi_place_order_pb parses the
request before anything else and answers 1003 with "request is not a JSON
object" when the reader refuses it.  With no market data yet, a request the
reader accepts is answered with status 0 and a rejection for want of a price,
echoing the symbol it decoded, so string escapes are checked end to end
through the reader and the writer.
"""

import ctypes
import json

import pytest

try:
    import standin
except ImportError as exc:  # neither the package nor VQ_STANDIN_LIB
    pytest.skip("stand-in library not available: %s" % exc, allow_module_level=True)

c = ctypes.CDLL(standin.lib_path)  # our own handle: argtypes set here stay here
place = c.vqi_place_order_pb
place.restype = ctypes.c_int
place.argtypes = (
    ctypes.c_char_p,
    ctypes.c_int,
    ctypes.POINTER(ctypes.c_void_p),
    ctypes.POINTER(ctypes.c_int),
)

NOT_JSON = "request is not a JSON object"
NO_PRICE = "no market price for the symbol yet"
MAX_DEPTH = 64  # kMaxDepth in json.h
GOOD = b'{"symbol": "SHSE.600000", "side": 1, "volume": 100}'
RICH = b'{"symbol":"A\\u00e9\\"","side":1,"volume":1e2,"x":[1,{"y":"z\\n"},null],"t":true}'


@pytest.fixture(autouse=True)
def market():
    standin.reset()
    standin.market(True)
    yield
    standin.reset()


def order(req, n=None):
    """(status, decoded response) of one order request."""
    res, res_len = ctypes.c_void_p(), ctypes.c_int(-1)
    status = place(req, len(req) if n is None else n, ctypes.byref(res), ctypes.byref(res_len))
    return status, json.loads(ctypes.string_at(res.value, res_len.value))


def refused(req):
    status, res = order(req)
    return status == 1003 and res["ord_rej_reason_detail"] == NOT_JSON


def test_well_formed_requests_reach_the_market():
    for req in (GOOD, RICH, b" \t\r\n" + GOOD + b" \n", GOOD + b"\0"):
        status, res = order(req)
        assert (status, res["ord_rej_reason_detail"]) == (0, NO_PRICE), req
    assert order(RICH)[1]["symbol"] == 'A\u00e9"'


def test_every_truncation_is_refused():
    for n in range(len(RICH)):
        assert refused(RICH[:n]), RICH[:n]


@pytest.mark.parametrize(
    "tail", [b"x", b"}", b",", b"{}", b"[]", b"0", b'""', b"\0\0", b"\0x", b" //"]
)
def test_trailing_garbage_is_refused(tail):
    assert refused(GOOD + tail)


def test_the_length_not_the_terminator_ends_the_request():
    text = GOOD + b"garbage"
    assert order(text, len(GOOD))[0] == 0
    assert refused(text)
    assert order(GOOD[:-1] + b"\0}", len(GOOD) + 1)[0] == 1003  # NUL before the end


@pytest.mark.parametrize(
    "escape",
    [b"\\x41", b"\\u00G1", b"\\u00e", b"\\U00e9", b"\\'", b"\\", b"\\u", b"\\ ", b"\\0"],
)
def test_bad_escapes_are_refused(escape):
    assert refused(b'{"symbol": "A' + escape + b'", "side": 1, "volume": 100}')
    assert refused(b'{"sym' + escape + b'": 1, "symbol": "A", "side": 1, "volume": 100}')


@pytest.mark.parametrize(
    ("escaped", "text"),
    [
        (r"\"\\\/", '"\\/'),
        (r"\b\f\n\r\t", "\b\f\n\r\t"),
        (r"\u0041\u00E9\u4e2d", "A\u00e9\u4e2d"),
        (r"\ud83d\ude00", "\U0001f600"),  # a surrogate pair is one character
        (r"\ud83d", "\ufffd"),  # a lone half becomes U+FFFD
        (r"\ude00\ud83d", "\ufffd\ufffd"),
        (r"\ud83d\u0041", "\ufffdA"),  # what follows a lone half is kept
        (r"\ud83d\ud83d\ude00", "\ufffd\U0001f600"),
    ],
)
def test_escapes_decode(escaped, text):
    req = b'{"symbol": "S' + escaped.encode() + b'", "side": 1, "volume": 100}'
    status, res = order(req)
    assert (status, res["symbol"]) == (0, "S" + text)


def nested(depth):
    """A request whose "x" makes depth containers with the request itself,
    alternating arrays and objects."""
    inner = b"1"
    for level in range(depth - 1):
        inner = b"[" + inner + b"]" if level % 2 else b'{"k":' + inner + b"}"
    return b'{"x": ' + inner + b', "symbol": "A", "side": 1, "volume": 100}'


def test_nesting_up_to_the_limit_is_read_and_no_deeper():
    assert order(nested(MAX_DEPTH))[0] == 0
    assert refused(nested(MAX_DEPTH + 1))
    assert refused(b'{"x": ' + b"[" * 100000 + b"]" * 100000 + b"}")  # no stack overflow
    assert refused(b"[" * 100000)


@pytest.mark.parametrize(
    "req",
    [
        b"",
        b"null",
        b"[]",
        b'["symbol"]',
        b'"{}"',
        b"1",
        b"{1: 2}",
        b'{"a" 1}',
        b'{"a": }',
        b'{"a": 1,}',
        b'{"a": 1 "b": 2}',
        b"{'a': 1}",
        b'{"a": truth}',
        b'{"a": nul}',
        b'{"a": NaN}',
        b'{"a": Infinity}',
        b'{"a": 1e999}',
        b'{"a": -}',
        b'{"a": 1.2.3}',
        b'{"a": [1 2]}',
        b'{"a": [1,]}',
        b'{"a": {"b"}}',
        b'{"a": {"b": 1,}}',
        b'{"a": "unterminated}',
    ],
)
def test_malformed_requests_are_refused(req):
    assert refused(req)


@pytest.mark.parametrize(
    ("fields", "reason"),
    [
        ('"symbol": 7, "side": 1, "volume": 100', "symbol missing"),
        ('"symbol": ["A"], "side": 1, "volume": 100', "symbol missing"),
        ('"symbol": "", "side": 1, "volume": 100', "symbol missing"),
        ('"symbol": "A", "side": "buy", "volume": 100', "side must be"),
        ('"symbol": "A", "side": [1], "volume": 100', "side must be"),
        ('"symbol": "A", "side": null, "volume": 100', "side must be"),
        ('"symbol": "A", "side": 1, "volume": {"n": 100}', "volume must be"),
        ('"symbol": "A", "side": 1, "volume": "100 shares"', "volume must be"),
        ('"symbol": "A", "side": 1, "volume": 100, "price": "cheap"', "price must be"),
        ('"symbol": "A", "side": 1, "volume": 100, "price": [1]', "price must be"),
        ('"symbol": "A", "side": 1, "volume": 100, "order_type": "limit"', "order_type must be"),
    ],
)
def test_well_formed_but_wrongly_typed_fields(fields, reason):
    status, res = order(("{" + fields + "}").encode())
    assert status == 1003
    assert res["ord_rej_reason_detail"].startswith(reason)
