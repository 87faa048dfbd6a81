"""Every module callable called with arbitrary objects, in arbitrary numbers,
by position and keyword: no crash, only the expected exception classes,
no library call unless every argument converted, and the values the library
receives equal those of a pure-Python model of the conversions."""

import math
import os
import tempfile
import warnings

import contract
import pytest
from helpers import SIGS, Boom, Int, Sig
from hypothesis import HealthCheck, configuration, given, settings
from hypothesis import strategies as st

import standin
import vq.csdk.c_sdk as c_sdk

# no example database, and hypothesis's own caches (unicode tables) out of the repo
configuration.set_hypothesis_home_dir(os.path.join(tempfile.gettempdir(), "vq-hypothesis"))
SETTINGS = settings(
    max_examples=30,
    deadline=None,
    database=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.filter_too_much,
        HealthCheck.large_base_example,
    ],
)
ALLOWED = (TypeError, OverflowError, UnicodeEncodeError, ValueError, DeprecationWarning)
examples = [0]


# ---- odd objects -----------------------------------------------------------------------------
class Told:
    """Its dunder method gives (or raises) what it is told."""

    def __init__(self, value):
        self.value = value

    def told(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value

    def __repr__(self):
        return "%s(%r)" % (type(self).__name__, self.value)


class IntLike(Told):
    __int__ = Told.told


class FloatLike(Told):
    __float__ = Told.told


class Truth(Told):
    __bool__ = Told.told


class Sized(Told):
    __len__ = Told.told


class LiarBytes(bytes):
    def __len__(self):
        return 1 << 20


class ByteArray(bytearray):
    pass


class Str(str):
    pass


class IntWithOwnInt(int):
    def __int__(self):  # not consulted: an int is taken by value
        return 99


class Float(float):
    def __float__(self):  # likewise
        return 99.0


EDGE_INTS = [
    0,
    1,
    -1,
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**63 - 1,
    2**63,
    -(2**63),
    -(2**63) - 1,
    2**64,
    10**30,
    -(10**30),
]
ints = st.one_of(st.integers(-(2**33), 2**33), st.sampled_from(EDGE_INTS), st.integers())
raised = st.builds(Boom, st.just("odd"))
ascii_text = st.text(st.characters(max_codepoint=127), max_size=8)
binary = st.binary(max_size=12)
odd = st.one_of(
    st.builds(IntLike, st.one_of(ints, raised, st.just("3"), st.builds(Int, ints), st.just(2.5))),
    st.builds(FloatLike, st.one_of(st.floats(), raised, st.just("1.5"))),
    st.builds(Truth, st.one_of(st.booleans(), raised, st.just(1))),
    st.builds(Sized, st.one_of(st.integers(0, 5), raised)),
    st.builds(IntWithOwnInt, ints),
    st.builds(Float, st.floats()),
    st.builds(Str, ascii_text),
)
anything = st.one_of(
    ints,
    st.floats(),
    st.booleans(),
    st.none(),
    st.text(max_size=8),
    ascii_text,
    binary,
    binary.map(bytearray),
    binary.map(ByteArray),
    binary.map(LiarBytes),
    st.lists(st.one_of(st.integers(), st.text(max_size=3)), max_size=3),
    odd,
)
in_range = st.integers(-(2**31), 2**31 - 1)
texts = st.one_of(binary, binary.map(bytearray), binary.map(ByteArray), binary.map(LiarBytes))
GOOD = {  # mostly valid values of each kind, so that most calls get through
    "T": texts,
    "Q": texts,
    "I": st.one_of(
        in_range,
        st.floats(-3e9, 3e9),
        st.booleans(),
        st.builds(IntLike, in_range),
        st.builds(IntWithOwnInt, in_range),
    ),
    "R": st.one_of(
        st.floats(),
        st.integers(),
        st.booleans(),
        st.builds(FloatLike, st.floats()),
        st.builds(Float, st.floats()),
    ),
    "V": anything,
    "A": anything,
}
GOOD["B"] = GOOD["I"]


def value_for(kind, adapted, odds):
    """A value of the kind, or about once in `odds` anything at all."""
    good = st.one_of(GOOD[kind], ascii_text) if adapted and kind in "TQ" else GOOD[kind]
    return st.integers(0, odds).flatmap(lambda r: anything if r == odds else good)


# ---- the model ----------------------------------------------------------------------------------
def m_text(x):
    if isinstance(x, (bytes, bytearray)):
        return bytes(memoryview(x)).split(b"\0")[0]
    raise TypeError


def m_request(x):
    n = len(x)  # what has no length fails here; a subclass's own __len__ counts
    if isinstance(x, (bytes, bytearray)):
        data = bytes(memoryview(x))
        if n > len(data):
            raise ValueError  # never beyond the buffer
        return data[:n], n
    raise TypeError


def m_int(x):
    if not isinstance(x, int):
        convert = getattr(type(x), "__int__", None)
        if convert is None:
            raise TypeError
        x = convert(x)
        if not isinstance(x, int):
            raise TypeError
        if type(x) is not int:
            warnings.warn("__int__ returned non-int", DeprecationWarning, stacklevel=2)
    v = int.__int__(x)
    if not -(2**31) <= v < 2**31:
        raise OverflowError
    return v


def m_real(x):
    if isinstance(x, float):
        return float.__float__(x)
    convert = getattr(type(x), "__float__", None)
    if convert is None:
        raise TypeError
    v = convert(x)
    if type(v) is not float:
        raise TypeError
    return v


CONVERT = {
    "T": lambda x: (m_text(x),),
    "Q": m_request,
    "I": lambda x: (m_int(x),),
    "B": lambda x: (m_int(x) != 0,),
    "R": lambda x: (m_real(x),),
    "V": lambda x: (bool(x),),
}
MISSING = object()


def bind(params, args, kwargs, keywords=True, required=None):
    """The values of the parameters, or TypeError as Python would bind them."""
    required = len(params) if required is None else required
    if len(args) > len(params) or (kwargs and not keywords):
        raise TypeError
    bound = list(args) + [MISSING] * (len(params) - len(args))
    for k, v in kwargs.items():
        if k not in params or bound[params.index(k)] is not MISSING:
            raise TypeError
        bound[params.index(k)] = v
    if any(b is MISSING for b in bound[:required]):
        raise TypeError
    return bound


def model(sig, args, kwargs):
    """(exception raised before the library call, or None; its arguments)"""
    try:
        if sig.adapted:
            enc = lambda v: str.encode(v, "ascii") if isinstance(v, str) else v  # noqa: E731
            args, kwargs = [enc(a) for a in args], {k: enc(v) for k, v in kwargs.items()}
        bound = bind(sig.params, args, kwargs, keywords=len(sig.params) > 1)
        if sig.kinds == "A":
            return None, (CALLBACK,)
        out = ()
        for i in sig.order:
            out += CONVERT[sig.kinds[i]](bound[i])
        return None, out + sig.extra
    except Exception as exc:
        return exc, None


# ---- running a call against the model ---------------------------------------------------------
def check(sig_name, lib_fn, f, args, kwargs, expected, want_args):
    """The call raises what the model raised, and the library saw the
    model's arguments (want_args) or nothing (None)."""
    examples[0] += 1
    standin.reset()
    got = None
    try:
        f(*args, **kwargs)
    except Exception as exc:
        got = exc
    where = "%s(*%r, **%r)" % (sig_name, args, kwargs)
    if expected is None:
        assert got is None, "%s raised %r" % (where, got)
    else:
        assert isinstance(expected, ALLOWED), "model raised %r for %s" % (expected, where)
        assert type(got) is type(expected), "%s raised %r, model %r" % (where, got, expected)
    if want_args is None:
        standin.assert_not_called()
    else:
        standin.assert_called(lib_fn, *want_args)
    for a in list(args) + list(kwargs.values()):
        if isinstance(a, bytearray):  # no longer pinned: it can be resized
            a.append(0)
            a.pop()


def wild(params, extra_names=("bogus", "data", "req", "self")):
    """(positional values, keyword values) for a function of these parameters."""
    names = st.sampled_from(tuple(params) + extra_names)
    return st.tuples(
        st.lists(anything, max_size=len(params) + 2), st.dictionaries(names, anything, max_size=3)
    )


@st.composite
def shaped(draw, sig):
    """Mostly the function's own parameters, each likely of its kind."""

    def rarely(odds):  # (hypothesis favours small draws: the rare case is the top)
        return draw(st.integers(0, odds)) == odds

    n = len(sig.params)
    if rarely(9):
        return draw(wild(sig.params))
    values = [draw(value_for(k, sig.adapted, 4 * n + 5)) for k in sig.kinds] + [draw(anything)]
    npos = draw(st.integers(0, n + 1)) if rarely(19) else n if n < 2 else draw(st.integers(0, n))
    kwargs = {p: values[i] for i, p in enumerate(sig.params) if i >= npos and not rarely(19)}
    if rarely(19):
        kwargs[draw(st.sampled_from((*sig.params, "bogus")))] = draw(anything)
    return values[:npos], kwargs


CALLBACK = None


@pytest.fixture(scope="module", autouse=True)
def callback_address():
    """The address the module registers with the library, and f restored."""
    global CALLBACK
    saved = c_sdk.__dict__.get("f", MISSING)
    standin.reset()
    c_sdk.py_vqi_set_data_callback(None)
    CALLBACK = standin.calls()[0][1][0]
    yield
    if saved is MISSING:
        c_sdk.__dict__.pop("f", None)
    else:
        c_sdk.f = saved
    standin.reset()
    print("\n%s: %d examples" % (__name__, examples[0]))


@pytest.mark.parametrize("sig", SIGS, ids=[s.name for s in SIGS])
def test_wrappers_and_exports(sig):
    f = getattr(c_sdk, sig.name)

    @SETTINGS
    @given(shaped(sig))
    def run(call):
        args, kwargs = call
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            expected, want = model(sig, args, kwargs)
            check(sig.name, sig.lib, f, args, kwargs, expected, want)

    run()


OTHERS = {
    "is_windows": ((), ""),
    "is_linux": ((), ""),
    "adapt_to_python3": (("func",), "A"),
    "c_status_ok": (("status",), "I"),
    "c_status_fail": (("status", "cfunname"), "IV"),
}


@pytest.mark.parametrize("name", contract.SUPPORT + contract.RECORDS)
def test_support_and_records(name):
    f = getattr(c_sdk, name)
    params, kinds = OTHERS.get(name, (("data",), "A"))
    sig = Sig(name, params, kinds, False, "vqi_strerror", (), ())
    keywords = name in contract.RECORDS or len(params) > 1

    @SETTINGS
    @given(shaped(sig))
    def run(call):
        args, kwargs = call
        want, exc = None, None
        try:
            bound = bind(
                params, args, kwargs, keywords, required=1 if name == "c_status_fail" else None
            )
            if name == "c_status_fail" and bound[0] != 0:
                want = (m_int(bound[0]),)  # py_vqi_strerror(status), then the log line
                bool("" if bound[1] is MISSING else bound[1])
        except Exception as e:
            exc = e
        check(name, sig.lib, f, args, kwargs, exc, want)

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run()


@settings(max_examples=300, deadline=None, database=None)
@given(ints, st.floats(allow_nan=False), st.booleans())
def test_model_agrees_with_python(i, x, b):
    """The model is Python's own protocol where Python has one."""
    if -(2**31) <= i < 2**31:
        assert m_int(i) == int(i)
        assert m_int(float(i) if abs(i) < 2**53 else i) == i
    assert m_real(x) == float(x)
    assert math.isnan(m_real(float("nan")))
    assert CONVERT["B"](b) == (b,)
    assert CONVERT["V"]([]) == (False,)
    assert m_int(True) == 1
    assert m_int(-2.9) == -2
    assert m_text(bytearray(b"a\0b")) == b"a"
