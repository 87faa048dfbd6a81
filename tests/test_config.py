"""Configuration and run-control wrappers: what the library receives, what
comes back, and how arguments are bound and converted."""

import math
import warnings

import contract
import pytest

ROWS = {row[0]: row for row in contract.CONFIG}

# Argument kinds (T text, I int, B int passed as a bool, R real, V truth
# value) and result (None, "int", "text", "addr") of each wrapper.
SHAPE = {f.name: (f.kinds, f.result) for f in contract.family("config")}

NAMES = [row[0] for row in contract.CONFIG]
MULTI = [n for n in NAMES if len(SHAPE[n][0]) > 1]
SLOTS = [(n, k) for n in NAMES for k in range(len(SHAPE[n][0]))]


def slots(kind):
    return [(n, k) for n, k in SLOTS if SHAPE[n][0][k] == kind]


def samples(name):
    values = {
        "T": lambda k: b"t%d" % k,
        "I": lambda k: 100 + k,
        "B": lambda k: 2,
        "R": lambda k: 0.25 + k,
        "V": lambda k: [k],
    }
    return [values[kind](k) for k, kind in enumerate(SHAPE[name][0])]


def received(name, args):
    """What the library should record for these (already valid) arguments."""
    out = []
    for kind, a in zip(SHAPE[name][0], args):
        out.append(bool(a) if kind == "V" else bool(int(a)) if kind == "B" else a)
    return tuple(out) + contract.BY_NAME[name].extra


def expect(name, k=None, want=None):
    """The library's record for the samples, with position k replaced."""
    out = list(received(name, samples(name)))
    if k is not None:
        out[k] = want
    return out


def check(lib, mod, name, args, expected, kwargs=None):
    getattr(mod, name)(*args, **(kwargs or {}))
    lib.assert_called(ROWS[name][3], *expected)


def refuses(lib, mod, name, args, exc, text=None):
    with pytest.raises(exc) as info:
        getattr(mod, name)(*args)
    if text is not None:
        assert str(info.value) == text
    lib.assert_not_called()


def with_arg(name, k, value):
    args = samples(name)
    args[k] = value
    return args


def exact(got, want):
    assert type(got) is type(want)
    assert got == want


# ---- calls and results ---------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_library_gets_the_arguments_and_result_comes_back(lib, mod, name):
    fn, result = ROWS[name][3], SHAPE[name][1]
    want = None
    if result == "int":
        lib.script(fn, status=-7)
        want = -7
    elif result == "text":
        lib.script(fn, text=b"\xe4\xb8\xad txt")
        want = b"\xe4\xb8\xad txt"
    elif result == "addr":
        lib.script(fn, status=mod.CSDK_OPERATE_SUCCESS, text=b"10.0.0.1:7001")
        want = b"10.0.0.1:7001"
    args = samples(name)
    exact(getattr(mod, name)(*args), want)
    lib.assert_called(fn, *received(name, args))


@pytest.mark.parametrize("status", [-(2**31), -1, 0, 2**31 - 1])
@pytest.mark.parametrize("name", [n for n in NAMES if SHAPE[n][1] == "int"])
def test_int_results_unchanged(lib, mod, name, status):
    lib.script(ROWS[name][3], status=status)
    exact(getattr(mod, name)(*samples(name)), status)


@pytest.mark.parametrize("name", [n for n in NAMES if SHAPE[n][1] == "text"])
def test_null_text_result_gives_none(lib, mod, name):
    lib.script(ROWS[name][3], text=None)
    assert getattr(mod, name)(*samples(name)) is None


@pytest.mark.parametrize(
    ("ok", "text", "want"),
    [(True, b"h:1", b"h:1"), (True, b"", b""), (True, None, None), (False, b"h:1", None)],
)
def test_serv_addr(lib, mod, ok, text, want):
    status = mod.CSDK_OPERATE_SUCCESS if ok else mod.CSDK_OPERATE_SUCCESS + 3
    lib.script("vqi_get_serv_addr", status=status, text=text)
    exact(mod.py_vqi_get_serv_addr("md"), want)
    lib.assert_called("vqi_get_serv_addr", b"md")


@pytest.mark.parametrize("success", [3, 3.0])
def test_serv_addr_reads_success_value_at_each_call(lib, mod, monkeypatch, success):
    lib.script("vqi_get_serv_addr", status=3, text=b"h:1")
    assert mod.py_vqi_get_serv_addr(b"md") is None
    monkeypatch.setattr(mod, "CSDK_OPERATE_SUCCESS", success)
    assert mod.py_vqi_get_serv_addr(b"md") == b"h:1"
    lib.script("vqi_get_serv_addr", status=0)
    assert mod.py_vqi_get_serv_addr(b"md") is None
    monkeypatch.delattr(mod, "CSDK_OPERATE_SUCCESS")
    with pytest.raises(NameError):
        mod.py_vqi_get_serv_addr(b"md")


# ---- binding -------------------------------------------------------------------


@pytest.mark.parametrize("name", MULTI)
def test_keywords_in_any_order(lib, mod, name):
    params, args = ROWS[name][1], samples(name)
    want = expect(name)
    by_name = dict(zip(params, args))
    check(lib, mod, name, [], want, dict(reversed(list(by_name.items()))))
    lib.reset()
    # names built at run time are not interned
    check(
        lib, mod, name, args[:1], want, {"".join(list(p)): by_name[p] for p in reversed(params[1:])}
    )


def reference(name, params):
    scope = {}
    exec("def %s(%s): pass" % (name, ", ".join(params)), scope)
    return scope[name]


@pytest.mark.parametrize("name", MULTI)
def test_binding_errors_read_like_a_def(lib, mod, name):
    params, args = ROWS[name][1], samples(name)
    ref = reference(name, params)
    cases = [
        (args[:-1], {}),
        ((), {}),
        ([*args, b"x"], {}),
        (args, {"bogus": 1}),
        (args, {params[0]: args[0]}),
        ((), {params[-1]: args[-1]}),
        ([*args, b"x"], {params[-1]: args[-1]}),
        ([*args, b"x"], {"bogus": 1}),
    ]
    for a, kw in cases:
        with pytest.raises(TypeError) as want:
            ref(*a, **kw)
        with pytest.raises(TypeError) as got:
            getattr(mod, name)(*a, **kw)
        assert str(got.value) == str(want.value)
    lib.assert_not_called()


@pytest.mark.parametrize("name", [n for n in NAMES if len(SHAPE[n][0]) < 2])
def test_one_parameter_is_positional_only(lib, mod, name):
    f, params, v = getattr(mod, name), ROWS[name][1], (samples(name) or [None])[0]
    if params:
        cases = [((), {params[0]: v}), ((), {}), ((v, v), {}), ((v,), {"x": v})]
    else:
        cases = [((b"x",), {}), ((), {"x": 1})]
    for a, kw in cases:
        with pytest.raises(TypeError):
            f(*a, **kw)
    lib.assert_not_called()


# ---- conversions ---------------------------------------------------------------


class Bytes(bytes):
    pass


class ByteArray(bytearray):
    pass


@pytest.mark.parametrize(
    ("value", "want"),
    [
        (b"abc", b"abc"),
        (bytearray(b"abc"), b"abc"),
        (Bytes(b"abc"), b"abc"),
        (ByteArray(b"abc"), b"abc"),
        (b"", b""),
        (bytearray(), b""),
        (ByteArray(), b""),
        (b"ab\x00cd", b"ab"),
        (bytearray(b"ab\x00cd"), b"ab"),
        (b"\xff\xfe", b"\xff\xfe"),
    ],
)
@pytest.mark.parametrize(("name", "k"), slots("T"))
def test_text_argument(lib, mod, name, k, value, want):
    check(lib, mod, name, with_arg(name, k, value), expect(name, k, want))


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (None, "expected bytes, NoneType found"),
        (1, "expected bytes, int found"),
        (memoryview(b"a"), "expected bytes, memoryview found"),
        ([b"a"], "expected bytes, list found"),
    ],
)
@pytest.mark.parametrize(("name", "k"), slots("T"))
def test_text_refused(lib, mod, name, k, value, text):
    refuses(lib, mod, name, with_arg(name, k, value), TypeError, text)


def plain_str_error(kind):
    return {
        "T": (TypeError, "expected bytes, str found"),
        "I": (TypeError, "an integer is required"),
    }[kind]


class Str(str):
    pass


@pytest.mark.parametrize(("name", "k"), SLOTS)
def test_str_argument(lib, mod, name, k):
    kind, adapted = SHAPE[name][0][k], ROWS[name][2]
    if not adapted:
        refuses(lib, mod, name, with_arg(name, k, "ab"), *plain_str_error(kind))
        return
    refuses(lib, mod, name, with_arg(name, k, "caf\u00e9"), UnicodeEncodeError)
    if kind in "IB":
        refuses(lib, mod, name, with_arg(name, k, "3"), TypeError, "an integer is required")
    elif kind == "R":
        refuses(lib, mod, name, with_arg(name, k, "500"), TypeError)
    else:
        # encoded to ASCII bytes: positionally and by keyword
        expected = expect(name, k, b"ab" if kind == "T" else True)
        check(lib, mod, name, with_arg(name, k, "ab"), expected)
        lib.reset()
        check(lib, mod, name, with_arg(name, k, Str("ab")), expected)
        if len(SHAPE[name][0]) > 1:
            lib.reset()
            check(lib, mod, name, [], expected, dict(zip(ROWS[name][1], with_arg(name, k, "ab"))))
            lib.reset()
            with pytest.raises(UnicodeEncodeError):
                getattr(mod, name)(**dict(zip(ROWS[name][1], with_arg(name, k, "\u4e2d"))))
            lib.assert_not_called()


@pytest.mark.parametrize("name", [n for n in NAMES if ROWS[n][2] and "T" in SHAPE[n][0]])
def test_str_refused_when_is_py2_is_set(lib, mod, monkeypatch, name):
    monkeypatch.setattr(mod, "IS_PY2", True)
    k = SHAPE[name][0].index("T")
    refuses(lib, mod, name, with_arg(name, k, "ab"), TypeError, "expected bytes, str found")


class IntSub(int):
    pass


class IntOwnInt(int):
    def __int__(self):
        return 99


class HasIndex:
    def __index__(self):
        return 5


class HasInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


INT_OK = [
    (2**31 - 1, 2**31 - 1),
    (-(2**31), -(2**31)),
    (-5, -5),
    (0, 0),
    (3.7, 3),
    (2.9, 2),
    (-2.9, -2),
    (True, 1),
    (False, 0),
    (IntSub(9), 9),
    (HasInt(7), 7),
    (HasInt(-7), -7),
    (IntOwnInt(5), 5),
]
INT_BAD = [
    (2**31, OverflowError, "value too large to convert to int"),
    (-(2**31) - 1, OverflowError, "value too large to convert to int"),
    (2**63 - 1, OverflowError, "value too large to convert to int"),
    (-(2**63), OverflowError, "value too large to convert to int"),
    (2.0**40, OverflowError, "value too large to convert to int"),
    (HasInt(2**40), OverflowError, "value too large to convert to int"),
    (2**64, OverflowError, "Python int too large to convert to C long"),
    (-(2**100), OverflowError, "Python int too large to convert to C long"),
    (None, TypeError, "an integer is required"),
    (b"3", TypeError, "an integer is required"),
    ([1], TypeError, "an integer is required"),
    (HasIndex(), TypeError, "an integer is required"),
    (HasInt("7"), TypeError, "__int__ returned non-int (type str)"),
    (HasInt(7.0), TypeError, "__int__ returned non-int (type float)"),
]


@pytest.mark.parametrize(("value", "want"), INT_OK)
@pytest.mark.parametrize(("name", "k"), slots("I"))
def test_int_argument(lib, mod, name, k, value, want):
    check(lib, mod, name, with_arg(name, k, value), expect(name, k, want))


@pytest.mark.parametrize(("value", "exc", "text"), INT_BAD)
@pytest.mark.parametrize(("name", "k"), slots("I") + slots("B"))
def test_int_refused(lib, mod, name, k, value, exc, text):
    refuses(lib, mod, name, with_arg(name, k, value), exc, text)


DEPRECATED = (
    "__int__ returned non-int (type IntSub).  The ability to return an instance "
    "of a strict subclass of int is deprecated, and may be removed in a future "
    "version of Python."
)


@pytest.mark.parametrize(("name", "k"), slots("I"))
def test_int_subclass_from_dunder_int_is_deprecated(lib, mod, name, k):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        getattr(mod, name)(*with_arg(name, k, HasInt(IntSub(11))))
    assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, DEPRECATED)]
    assert lib.calls()[0][1][k] == 11
    lib.reset()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        refuses(
            lib, mod, name, with_arg(name, k, HasInt(IntSub(11))), DeprecationWarning, DEPRECATED
        )


@pytest.mark.parametrize(
    ("value", "want"),
    [
        (2, True),
        (0, False),
        (-1, True),
        (0.5, False),
        (1.5, True),
        (True, True),
        (False, False),
        (HasInt(0), False),
        (2**31 - 1, True),
    ],
)
def test_mode_consistency_flag_from_int(lib, mod, value, want):
    mod.py_vqi_set_mode_consistency(value)
    lib.assert_called("vqi_set_mode_consistency", want)


@pytest.mark.parametrize("value", ["", [1], None])
def test_mode_consistency_ignores_truth(lib, mod, value):
    refuses(lib, mod, "py_vqi_set_mode_consistency", [value], TypeError, "an integer is required")


class FloatSub(float):
    pass


class HasFloat:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    ("value", "want"),
    [
        (500, 500.0),
        (True, 1.0),
        (0.0003, 0.0003),
        (-0.0, -0.0),
        (FloatSub(1.5), 1.5),
        (HasFloat(), 2.5),
        (math.inf, math.inf),
        (-math.inf, -math.inf),
        (math.nan, math.nan),
        (2**60, float(2**60)),
    ],
)
@pytest.mark.parametrize("k", range(2, 9))
def test_real_argument(lib, mod, k, value, want):
    name = "py_vqi_set_backtest_config"
    check(lib, mod, name, with_arg(name, k, value), expect(name, k, want))


@pytest.mark.parametrize(
    ("value", "exc"),
    [("500", TypeError), (None, TypeError), (b"1", TypeError), (10**400, OverflowError)],
)
@pytest.mark.parametrize("k", range(2, 9))
def test_real_refused(lib, mod, k, value, exc):
    refuses(
        lib,
        mod,
        "py_vqi_set_backtest_config",
        with_arg("py_vqi_set_backtest_config", k, value),
        exc,
    )


class Sized:
    def __len__(self):
        return 0


class Broken:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    ("value", "want"),
    [
        (True, True),
        (False, False),
        (None, False),
        ([], False),
        ([0], True),
        (0.0, False),
        (2, True),
        (Sized(), False),
        ("no", True),
        ("", False),
        (b"", False),
        (bytearray(b"x"), True),
    ],
)
def test_skip_verify_truth(lib, mod, value, want):
    mod.py_vqi_set_bus_secure(0, b"", b"", b"", value)
    lib.assert_called("vqi_set_bus_secure", 0, b"", b"", b"", want)


def test_skip_verify_truth_error_propagates(lib, mod):
    refuses(
        lib,
        mod,
        "py_vqi_set_bus_secure",
        [0, b"", b"", b"", Broken()],
        ZeroDivisionError,
        "no truth",
    )


def bad(k):
    """A value no conversion accepts, telling which position it came from."""

    def fail(self):
        raise LookupError("slot %d" % k)

    return type("Bad%d" % k, (object,), {"__int__": fail, "__float__": fail, "__bool__": fail})()


@pytest.mark.parametrize(("name", "k"), SLOTS)
def test_first_failing_argument_wins(lib, mod, name, k):
    args = samples(name)
    args[k:] = [bad(j) for j in range(k, len(args))]
    if SHAPE[name][0][k] == "T":
        refuses(lib, mod, name, args, TypeError, "expected bytes, Bad%d found" % k)
    else:
        refuses(lib, mod, name, args, LookupError, "slot %d" % k)
