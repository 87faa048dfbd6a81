"""Market data and order wrappers of their own shape: subscriptions, the
current snapshot, algorithmic order batches and child orders, smart reorder."""

import builtins
import re

import contract
import pytest
from test_buffers import BROKEN, BROKEN_IDS, RESPONSE_IDS, RESPONSES, same

from vq.constant import CSDK_OPERATE_SUCCESS as OK

# per wrapper: a call (positional, in Python order) and what the library
# records for it (the kinds of the parameters are the contract's); LANDS
# gives where each parameter lands in the record when that is not its own
# position
SAMPLES = {
    "py_vqi_subscribe": ((b"SHSE.600000", b"tick", True), (b"SHSE.600000", b"tick", True)),
    "py_vqi_unsubscribe": ((b"SHSE.600000", b"1d"), (b"SHSE.600000", b"1d")),
    "py_vqi_current": ((b"SHSE.600000", b"price", True), (b"SHSE.600000", True, b"price")),
    "py_vqi_algo_order_batch": ((b"r\0q", b"TWAP", b"p=1"), (b"r\0q", 3, b"TWAP", b"p=1")),
    "py_vqi_get_child_orders": ((b"acc", b"algo7"), (b"acc", b"algo7")),
    "py_vqi_smart_reorder": (
        (b"SZSE.000001", 10.5, 100, 1, 2, 3, 4, 5, 6, 7, b"acc"),
        (b"SZSE.000001", 10.5, 100, 1, 2, 3, 4, 5, 6, 7, b"acc"),
    ),
    "py_vqi_smart_reorder_cancel": ((42,), (42,)),
}
LANDS = {"py_vqi_current": (0, 2, 1), "py_vqi_algo_order_batch": (0, 2, 3)}
RESPONSE = [f.name for f in contract.family("market") if f.result == "reply"]
STATUS = [row[0] for row in contract.MARKET if row[0] not in RESPONSE]

rows = pytest.mark.parametrize(
    ("name", "params", "adapted", "fn"), [pytest.param(*row, id=row[0]) for row in contract.MARKET]
)


def by_name(names):
    return pytest.mark.parametrize(
        ("name", "params", "adapted", "fn"),
        [pytest.param(*row, id=row[0]) for row in contract.MARKET if row[0] in names],
    )


def record_with(name, index, value):
    """The sample's record with Python parameter `index` reaching the
    library as `value`."""
    rec = list(SAMPLES[name][1])
    rec[LANDS.get(name, range(99))[index]] = value
    return tuple(rec)


def call_with(mod, name, index, value):
    args = list(SAMPLES[name][0])
    args[index] = value
    return getattr(mod, name)(*args)


class Bytes(bytes):
    pass


class ByteArray(bytearray):
    pass


class Boom(Exception):
    pass


class BadTruth:
    def __bool__(self):
        raise Boom


# ---- binding ------------------------------------------------------------------------


@rows
def test_arguments_reach_library_in_its_order(lib, mod, name, params, adapted, fn):
    args, record = SAMPLES[name]
    f = getattr(mod, name)
    calls = [lambda: f(*args)]
    if len(params) > 1:
        kw = dict(zip(params, args))
        calls.append(lambda: f(**dict(reversed(list(kw.items())))))
        calls.append(lambda: f(args[0], **{p: kw[p] for p in reversed(params[1:])}))
    for call in calls:
        lib.reset()
        call()
        lib.assert_called(fn, *record)


@rows
def test_call_shape_refused(lib, mod, name, params, adapted, fn):
    args = SAMPLES[name][0]
    f = getattr(mod, name)
    bad = [
        (args[:-1], {}),
        ((*args, args[-1]), {}),
        (args, {"bogus": 1}),
        (args, {params[0]: args[0]}),
        ((), {}),
    ]
    if len(params) == 1:  # positional only
        bad.append(((), {params[0]: args[0]}))
    for a, kw in bad:
        with pytest.raises(TypeError):
            f(*a, **kw)
    lib.assert_not_called()


def poison(kind, i):
    """A value of parameter i's kind whose conversion fails, telling i."""
    if kind == "T":
        return type("Poison%d" % i, (), {})()  # TypeError names its type
    raiser = {"V": "__bool__", "I": "__int__", "R": "__float__", "Q": "__len__"}[kind]

    def fail(self):
        raise Boom(i)

    return type("Poison%d" % i, (), {raiser: fail})()


@rows
def test_conversion_order(lib, mod, name, params, adapted, fn):
    args, kinds, order = (
        SAMPLES[name][0],
        contract.BY_NAME[name].kinds,
        contract.BY_NAME[name].order,
    )
    for k, first in enumerate(order):
        bad = list(args)
        for i in order[k:]:
            bad[i] = poison(kinds[i], i)
        with pytest.raises((Boom, TypeError)) as err:
            getattr(mod, name)(*bad)
        if err.type is Boom:
            assert err.value.args == (first,)
        else:
            assert str(err.value) == "expected bytes, Poison%d found" % first
    lib.assert_not_called()


# ---- texts and flags ----------------------------------------------------------------


def texts(name):
    return [i for i, k in enumerate(contract.BY_NAME[name].kinds) if k == "T"]


@rows
def test_texts(lib, mod, name, params, adapted, fn):
    for i in texts(name):
        for value, seen in (
            (b"", b""),
            (bytearray(), b""),
            (b"ab\0cd", b"ab"),
            (b"\0", b""),
            (bytearray(b"x\0y"), b"x"),
            (Bytes(b"xy"), b"xy"),
            (ByteArray(b"xy"), b"xy"),
            ("xy", b"xy"),
            ("", b""),
            ("a\0b", b"a"),
        ):
            lib.reset()
            call_with(mod, name, i, value)
            lib.assert_called(fn, *record_with(name, i, seen))  # empty: "" not NULL
        lib.reset()
        for value in (5, None, memoryview(b"x"), ["x"]):
            with pytest.raises(
                TypeError, match=r"^expected bytes, %s found$" % type(value).__name__
            ):
                call_with(mod, name, i, value)
        with pytest.raises(UnicodeEncodeError):
            call_with(mod, name, i, "\u00e9")
        lib.assert_not_called()


@by_name(["py_vqi_subscribe", "py_vqi_current"])
def test_truth_value(lib, mod, name, params, adapted, fn):
    for value, truth in (
        (True, True),
        (False, False),
        (None, False),
        (0, False),
        ([], False),
        ("", False),
        (0.0, False),
        ([0], True),
        (2, True),
        ("x", True),
        (-1, True),
    ):
        lib.reset()
        call_with(mod, name, 2, value)
        lib.assert_called(fn, *record_with(name, 2, truth))
    lib.reset()
    with pytest.raises(Boom):
        call_with(mod, name, 2, BadTruth())
    lib.assert_not_called()


# ---- algorithmic orders -------------------------------------------------------------


def test_algo_order_batch_request(lib, mod):
    for req in (b"", bytearray(), b"\0a\0b\0", bytearray(b"\0a\0b\0"), "a\0b"):
        lib.reset()
        mod.py_vqi_algo_order_batch(req, b"", b"")
        data = req.encode() if isinstance(req, str) else bytes(req)
        lib.assert_called("vqi_algo_order_batch_pb", data, len(data), b"", b"")
    lib.reset()
    mod.py_vqi_algo_order_batch(req="r", algo_name="x", algo_params="y")
    lib.assert_called("vqi_algo_order_batch_pb", b"r", 1, b"x", b"y")


def test_algo_order_batch_bad_request(lib, mod):
    # len(req) comes before anything else is looked at
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
        mod.py_vqi_algo_order_batch(None, 5, 5)
    with pytest.raises(TypeError, match=r"^object of type 'int' has no len\(\)$"):
        mod.py_vqi_algo_order_batch(7, b"n", b"p")
    for req in (["a"], memoryview(b"a")):
        with pytest.raises(TypeError, match=r"^expected bytes, %s found$" % type(req).__name__):
            mod.py_vqi_algo_order_batch(req, b"n", b"p")
    with pytest.raises(UnicodeEncodeError):
        mod.py_vqi_algo_order_batch("\u00e9", b"n", b"p")
    lib.assert_not_called()


# ---- results ------------------------------------------------------------------------


@by_name(RESPONSE)
@pytest.mark.parametrize(("scripted", "want"), RESPONSES, ids=RESPONSE_IDS)
def test_response_result(lib, mod, name, params, adapted, fn, scripted, want):
    lib.script(fn, **scripted)
    same(getattr(mod, name)(*SAMPLES[name][0]), want)
    lib.assert_called(fn, *SAMPLES[name][1])


@by_name(RESPONSE)
@pytest.mark.parametrize(("response", "n"), BROKEN, ids=BROKEN_IDS)
def test_broken_success_response(lib, mod, name, params, adapted, fn, response, n):
    lib.script(fn, status=OK, response=response, response_len=n)
    with pytest.raises(SystemError, match=r"\b%s\b" % re.escape(fn)):
        getattr(mod, name)(*SAMPLES[name][0])
    lib.assert_called(fn, *SAMPLES[name][1])


@by_name(RESPONSE)
def test_success_value(lib, mod, monkeypatch, name, params, adapted, fn):
    f = getattr(mod, name)
    args = SAMPLES[name][0]
    lib.script(fn, status=7, response=b"r")
    same(f(*args), (7, None))
    monkeypatch.setattr(mod, "CSDK_OPERATE_SUCCESS", 7)
    same(f(*args), (7, b"r"))
    monkeypatch.delattr(mod, "CSDK_OPERATE_SUCCESS")
    lib.reset()
    with pytest.raises(NameError, match=r"^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        f(*args)
    lib.assert_called(fn, *SAMPLES[name][1])  # raised after the call
    monkeypatch.setattr(builtins, "CSDK_OPERATE_SUCCESS", 3, raising=False)
    lib.script(fn, status=3, response=b"b")
    same(f(*args), (3, b"b"))


@by_name(STATUS)
@pytest.mark.parametrize("status", [OK, OK + 1, -1, -(2**31), 2**31 - 1])
def test_status_returned_unchanged(lib, mod, monkeypatch, name, params, adapted, fn, status):
    lib.script(fn, status=status)
    same(getattr(mod, name)(*SAMPLES[name][0]), status)
    monkeypatch.delattr(mod, "CSDK_OPERATE_SUCCESS")  # never judged
    same(getattr(mod, name)(*SAMPLES[name][0]), status)


# ---- smart reorder numbers ----------------------------------------------------------

INTS = [i for i, k in enumerate(contract.BY_NAME["py_vqi_smart_reorder"].kinds) if k == "I"]


class Floaty:
    def __float__(self):
        return 1.25


class Inty:
    def __int__(self):
        return 12


def test_smart_reorder_price(lib, mod):
    for value, seen in ((-1.0, -1.0), (3, 3.0), (-0.0, -0.0), (Floaty(), 1.25), (2**40, 2.0**40)):
        lib.reset()
        call_with(mod, "py_vqi_smart_reorder", 1, value)
        lib.assert_called("vqi_smart_reorder", *record_with("py_vqi_smart_reorder", 1, seen))
    lib.reset()
    for value in (None, b"1", "1.5", Inty()):
        with pytest.raises(TypeError):
            call_with(mod, "py_vqi_smart_reorder", 1, value)
    lib.assert_not_called()


@pytest.mark.parametrize(
    "index",
    INTS,
    ids=[dict(r[:2] for r in contract.MARKET)["py_vqi_smart_reorder"][i] for i in INTS],
)
def test_smart_reorder_integers(lib, mod, index):
    name = "py_vqi_smart_reorder"
    for value, seen in (
        (-1, -1),
        (100.9, 100),
        (2.5, 2),
        (-2.9, -2),
        (True, 1),
        (Inty(), 12),
        (2**31 - 1, 2**31 - 1),
        (-(2**31), -(2**31)),
    ):
        lib.reset()
        call_with(mod, name, index, value)
        lib.assert_called("vqi_smart_reorder", *record_with(name, index, seen))
    lib.reset()
    for value in (2**31, -(2**31) - 1, 2.0**31):
        with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
            call_with(mod, name, index, value)
    with pytest.raises(OverflowError):
        call_with(mod, name, index, 2**64)
    for value in (None, b"7", "7", Floaty(), [1]):
        with pytest.raises(TypeError, match=r"^an integer is required$"):
            call_with(mod, name, index, value)
    lib.assert_not_called()


def test_smart_reorder_cancel(lib, mod):
    for value, seen in ((7, 7), (-1, -1), (7.9, 7), (Inty(), 12)):
        lib.reset()
        mod.py_vqi_smart_reorder_cancel(value)
        lib.assert_called("vqi_smart_reorder_cancel", seen)
    lib.reset()
    with pytest.raises(TypeError, match=r"^an integer is required$"):
        mod.py_vqi_smart_reorder_cancel("7")
    with pytest.raises(TypeError):
        mod.py_vqi_smart_reorder_cancel(reorder_id=7)
    with pytest.raises(OverflowError):
        mod.py_vqi_smart_reorder_cancel(2**31)
    lib.assert_not_called()
