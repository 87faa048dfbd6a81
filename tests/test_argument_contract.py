"""Argument handling that every family shares: the length of a request
given as a bytes/bytearray subclass, the adapter's encoding of a str
subclass, and the wording of an unknown keyword."""

import contract
import pytest
import test_config as config
import test_market as market


class Boom(Exception):
    pass


# ---- every function that takes a request -------------------------------------------

BATCH = "py_vqi_algo_order_batch"
BUFFER = {f.name: f.lib for f in contract.family("query", "command") if f.params}
FUNCTION = dict(BUFFER, **{row[0]: row[3] for row in contract.CONFIG + contract.MARKET})


def call_with(mod, name, k, value):
    """Calls `name` with the samples of its family, parameter k set to value."""
    if name in BUFFER:
        return getattr(mod, name)(value)
    if name in config.ROWS:
        return getattr(mod, name)(*config.with_arg(name, k, value))
    return market.call_with(mod, name, k, value)


def record_with(name, k, data):
    """What the library records for that call when parameter k reaches it
    as the bytes `data` (a request with its length)."""
    if name in BUFFER:
        return (data, len(data))
    if name in config.ROWS:
        return tuple(config.expect(name, k, data))
    rec = list(market.record_with(name, k, data))
    if contract.BY_NAME[name].kinds[k] == "Q":
        rec[1] = len(data)
    return tuple(rec)


def takes_request(name, k):
    return name in BUFFER or (name in market.SAMPLES and contract.BY_NAME[name].kinds[k] == "Q")


REQUEST_TAKERS = [pytest.param(n, 0, id=n) for n in BUFFER] + [pytest.param(BATCH, 0, id=BATCH)]


def sized(base, n, effect=None):
    """A `base` subclass whose len() is n (or raises n, an exception)."""

    def __len__(self):
        if effect is not None:
            effect(self)
        if isinstance(n, Exception):
            raise n
        return n

    return type("Sized" + base.__name__, (base,), {"__len__": __len__})


class PlainBytes(bytes):
    pass


class PlainByteArray(bytearray):
    pass


def shrink(ba):
    del ba[1:]


def grow(ba):
    ba.extend(b"def")


# (request, what the library receives, or the exception refusing the call)
LENGTHS = [
    (PlainBytes(b"a\0c"), b"a\0c"),
    (PlainByteArray(b"a\0c"), b"a\0c"),
    (sized(bytes, 1)(b"abc"), b"a"),  # a shorter length sends the prefix
    (sized(bytearray, 2)(b"abc"), b"ab"),
    (sized(bytes, 0)(b"abc"), b""),
    (sized(bytearray, 3)(b"abc"), b"abc"),
    (sized(bytes, 4)(b"abc"), ValueError),  # beyond the buffer
    (sized(bytearray, 1 << 20)(b"abc"), ValueError),
    (sized(bytes, Boom())(b"abc"), Boom),  # len()'s exception propagates
    (sized(bytearray, Boom())(b"abc"), Boom),
    (sized(bytes, -1)(b"abc"), ValueError),  # len() refuses a negative __len__
    (sized(bytearray, 3, shrink)(b"abc"), ValueError),  # measured after __len__ ran
    (sized(bytearray, 6, grow)(b"abc"), b"abcdef"),
]


@pytest.mark.parametrize(("name", "k"), REQUEST_TAKERS)
def test_request_length_of_a_subclass(lib, mod, name, k):
    for req, want in LENGTHS:
        lib.reset()
        if isinstance(want, bytes):
            call_with(mod, name, k, req)
            lib.assert_called(FUNCTION[name], *record_with(name, k, want))
        else:
            with pytest.raises(want):
                call_with(mod, name, k, req)
            lib.assert_not_called()
        if isinstance(req, bytearray):  # no longer pinned: it can be resized
            req.append(0)
            req.pop()


# ---- every adapted parameter that takes a text or a request --------------------------

ADAPTED_SLOTS = (
    [pytest.param(n, 0, id=n) for n in BUFFER if n in contract.ADAPTED]
    + [
        pytest.param(n, k, id="%s-%d" % (n, k))
        for n, k in config.slots("T")
        if n in contract.ADAPTED
    ]
    + [
        pytest.param(n, k, id="%s-%d" % (n, k))
        for n in market.SAMPLES
        for k, kind in enumerate(contract.BY_NAME[n].kinds)
        if kind in "TQ" and n in contract.ADAPTED
    ]
)


class Str(str):
    pass


def encoding_as(result):
    """A str subclass whose encode() records its arguments and gives `result`
    (or raises it)."""
    seen = []

    def encode(self, *args, **kwargs):
        seen.append((str(self), args, kwargs))
        if isinstance(result, Exception):
            raise result
        return result

    return type("Encoding", (str,), {"encode": encode}), seen


@pytest.mark.parametrize(("name", "k"), ADAPTED_SLOTS)
def test_str_subclass_is_encoded_by_its_own_encode(lib, mod, name, k):
    call_with(mod, name, k, Str("ab"))  # no override: as a str
    lib.assert_called(FUNCTION[name], *record_with(name, k, b"ab"))
    lib.reset()
    with pytest.raises(UnicodeEncodeError):
        call_with(mod, name, k, Str("\u00e9"))
    # an override is honoured, and its result goes on as any argument would
    cls, seen = encoding_as(b"X\0Y")
    call_with(mod, name, k, cls("ab"))
    assert seen == [("ab", ("ascii",), {})]
    lib.assert_called(
        FUNCTION[name], *record_with(name, k, b"X\0Y" if takes_request(name, k) else b"X")
    )
    for result, exc in [(Boom(), Boom), (["x"], TypeError), ("text", TypeError)]:
        lib.reset()
        cls, seen = encoding_as(result)
        with pytest.raises(exc):
            call_with(mod, name, k, cls("\u00e9"))  # encode() alone decides
        assert len(seen) == 1
        lib.assert_not_called()


# ---- every function of several parameters ---------------------------------------------

EXPORT_OF = {"vqi_send_msg_to_bus", "vqi_set_bus_info", "vqi_set_bus_secure"}
SEVERAL = (
    [(n, config.ROWS[n][1]) for n in config.MULTI]
    + [(row[0], row[1]) for row in contract.MARKET if len(row[1]) > 1]
    + [(n, config.ROWS["py_" + n][1]) for n in sorted(EXPORT_OF)]
    + [("c_status_fail", ("status", "cfunname=''"))]
)


def near_misses(params):
    first = params[0].split("=")[0]
    last = params[-1].split("=")[0]
    return [first.upper(), first + "_", last[:-1], "x" + last, "bogus", "PARAMS"]


@pytest.mark.parametrize(("name", "params"), [pytest.param(n, p, id=n) for n, p in SEVERAL])
def test_unknown_keyword_reads_like_a_def(lib, mod, name, params):
    ref = config.reference(name, params)
    for key in near_misses(params):
        for kwargs in ({key: 1}, {p.split("=")[0]: 1 for p in params[1:]}):
            kwargs = dict(kwargs, **{key: 1})
            with pytest.raises(TypeError) as want:
                ref(**kwargs)
            with pytest.raises(TypeError) as got:
                getattr(mod, name)(**kwargs)
            assert str(got.value) == str(want.value)
    lib.assert_not_called()


# ---- keywords in any order bind as by position ------------------------------------------

CONFIG = [
    ("start_time", "2024-01-02 09:30:00"),
    ("end_time", "2024-06-28 15:00:00"),
    ("initial_cash", 1e6),
    ("transaction_ratio", 1.0),
    ("commission_ratio", 0.0003),
    ("commission_unit", 5.0),
    ("slippage_ratio", 0.001),
    ("option_float_margin_ratio1", 0.2),
    ("option_float_margin_ratio2", 0.3),
    ("adjust", 1),
    ("match_mode", 2),
    ("check_cache", 3),
]


def fresh(name):
    return "".join(list(name))  # equal, but not the interned parameter name


@pytest.mark.parametrize(
    ("positional", "keywords"),
    [
        (0, CONFIG),
        (0, CONFIG[::-1]),
        (0, CONFIG[5:] + CONFIG[:5]),
        (0, CONFIG[:10] + CONFIG[:9:-1]),
        (3, CONFIG[3:]),
        (3, CONFIG[:2:-1]),
        (0, [(fresh(k), v) for k, v in CONFIG]),
        (4, [(fresh(k), v) for k, v in CONFIG[4:][::-1]]),
    ],
)
def test_keywords_bind_to_their_parameters_in_any_order(lib, mod, positional, keywords):
    mod.py_vqi_set_backtest_config(*[v for _, v in CONFIG])
    want = lib.calls()
    lib.reset()
    mod.py_vqi_set_backtest_config(*[v for _, v in CONFIG[:positional]], **dict(keywords))
    assert lib.calls() == want


@pytest.mark.parametrize("key", ["start_time", "initial_cash", fresh("initial_cash")])
def test_a_keyword_given_by_position_too_is_refused(lib, mod, key):
    args = [v for _, v in CONFIG[:3]]
    kwargs = dict(CONFIG[3:], **{key: 1.0})
    with pytest.raises(TypeError) as got:
        mod.py_vqi_set_backtest_config(*args, **kwargs)
    assert "multiple values for argument '%s'" % key in str(got.value)
    lib.assert_not_called()
