"""Leak hunt: every module callable and the record classes, each called many
times with valid arguments, with every kind of bad argument, with failing
and succeeding library results, and with events through vqi_poll.  Neither
the interpreter's allocated blocks nor the reference counts of the objects
passed in may grow.

    python -m pytest -s tests/test_leaks.py

prints, per family, the callables x argument kinds, the calls made and the
blocks read before and after.  With a debug interpreter (configured with
--with-pydebug; it has sys.gettotalrefcount) the interpreter's total
reference count must not grow either: make a venv from it, install the
package and the test requirements into it, and run the same command.
The argument shapes come from contract.py, through helpers.py.
"""

import contextlib
import gc
import itertools
import os
import sys
import time
import warnings

import contract
import pytest
from helpers import SIGS, Boom, Int

import standin
import vq.csdk.c_sdk as c_sdk

# ---- which functions return a response or a text (their scripted failures differ) -------------
RESPONSE = {f.name for f in contract.FUNCTIONS if f.result == "reply"}
TEXT_OUT = {f.name for f in contract.FUNCTIONS if f.result in ("text", "addr")}


# ---- objects with odd conversions -------------------------------------------------------------
def boom(*args):
    raise Boom("odd")


def odd(**dunders):
    """An instance of a class of its own with these dunder methods."""
    return type("Odd", (), dunders)()


class LongRequest(bytearray):
    def __len__(self):
        return 99


class ShortRequest(bytes):
    def __len__(self):
        return 1


class OwnEncode(str):
    def encode(self, *args):
        return b"enc"


VALID = {"T": b"t\0x", "Q": b"r\0q", "I": 7, "B": 3, "R": 2.5, "V": [1], "A": None}
BAD_INT = [
    ("str", "7", TypeError),
    ("bytes", b"7", TypeError),
    ("None", None, TypeError),
    ("2**31", 2**31, OverflowError),
    ("-2**31-1", -(2**31) - 1, OverflowError),
    ("2**64", 2**64, OverflowError),
    ("__int__ raises", odd(__int__=boom), Boom),
    ("__int__ non-int", odd(__int__=lambda s: "3"), TypeError),
    ("__int__ int subclass", odd(__int__=lambda s: Int(3)), DeprecationWarning),
]
BAD = {
    "T": [
        ("int", 5, TypeError),
        ("None", None, TypeError),
        ("list", [b"a"], TypeError),
        ("memoryview", memoryview(b"a"), TypeError),
    ],
    "Q": [
        ("int", 5, TypeError),
        ("None", None, TypeError),
        ("list", [b"a"], TypeError),
        ("__len__ raises", odd(__len__=boom), Boom),
        ("__len__ beyond the buffer", LongRequest(b"r\0q"), ValueError),
        ("__len__ shorter", ShortRequest(b"r\0q"), None),
    ],
    "I": BAD_INT,
    "B": BAD_INT,
    "R": [
        ("bytes", b"1", TypeError),
        ("None", None, TypeError),
        ("2**1024", 2**1024, OverflowError),
        ("__float__ raises", odd(__float__=boom), Boom),
        ("__float__ non-float", odd(__float__=lambda s: "1.5"), TypeError),
    ],
    "V": [
        ("__bool__ raises", odd(__bool__=boom), Boom),
        ("__bool__ non-bool", odd(__bool__=lambda s: 1), TypeError),
        ("__len__ raises", odd(__len__=boom), Boom),
    ],
    "A": [],
}


# ---- the hunt ------------------------------------------------------------------------------------
WARMUP, ROUNDS = 150, 100
# a leak in a call grows by at least one block or reference per call, so by
# ROUNDS a pass; what the interpreter allocates once in a while (a cache
# growing by a block, as 3.15 does within the whole suite) stays below this
LEAK = ROUNDS // 2
# a growing family names its growing cases one by one: at most this long
NAMING_SECONDS = 60


def call(f, args=(), kwargs=None, exc=None, before=None, after=None):
    """A case: one call, the exception it must raise (None: none)."""
    kwargs = kwargs or {}

    def run():
        if before is not None:
            before()
        if exc is None:
            f(*args, **kwargs)
        else:
            try:
                f(*args, **kwargs)
            except exc:
                pass
            else:
                raise AssertionError("%r%r %r did not raise %s" % (f, args, kwargs, exc.__name__))
        if after is not None:
            after()

    run.watch = [f, *list(args), *list(kwargs.values())]
    return run


def scripted(f, args, fn, exc=None, **script):
    """A call with the library scripted, back to its defaults after."""
    return call(
        f,
        args,
        exc=exc,
        before=lambda: standin.script(fn, **script),
        after=lambda: standin.script(fn, status=0, response=b""),
    )


def sig_cases(sig):
    f = getattr(c_sdk, sig.name)
    valid = [VALID[k] for k in sig.kinds]
    if sig.kinds == "A":
        valid = [lambda t, p: None]
    cases = [("valid", call(f, valid))]
    if len(sig.params) > 1:
        cases.append(("keywords", call(f, (), dict(zip(sig.params, valid)))))
        cases.append(("unknown keyword", call(f, valid, {"bogus": 1}, TypeError)))
        cases.append(("repeated keyword", call(f, valid, {sig.params[0]: valid[0]}, TypeError)))
    elif sig.params:
        cases.append(("keyword", call(f, (), {sig.params[0]: valid[0]}, TypeError)))
    else:
        cases.append(("unknown keyword", call(f, (), {"bogus": 1}, TypeError)))
    cases.append(("one more", call(f, [*valid, b"x"], None, TypeError)))
    if sig.params:
        cases.append(("one fewer", call(f, valid[:-1], None, TypeError)))
    for k, kind in enumerate(sig.kinds):
        bad = list(BAD[kind])
        if kind in "TQ":
            bad.append(("str", "abc", None if sig.adapted else TypeError))
            bad.append(
                ("str with its own encode", OwnEncode("x"), None if sig.adapted else TypeError)
            )
        if sig.adapted or kind in "TQ":
            bad.append(
                ("non-ASCII str", "caf\xe9", UnicodeEncodeError if sig.adapted else TypeError)
            )
        for label, value, exc in bad:
            args = list(valid)
            args[k] = value
            cases.append(("%s %s" % (sig.params[k], label), call(f, args, None, exc)))
        if kind in "TQ":  # unpinned once the call is over: it can be resized
            later = sig.order[sig.order.index(k) + 1 :]
            for j in [*list(later[:1]), None]:
                args = list(valid)
                args[k] = ba = bytearray(b"ba\0r")
                exc = None
                if j is not None:
                    _, args[j], exc = BAD[sig.kinds[j]][0]
                cases.append(
                    (
                        "%s bytearray%s" % (sig.params[k], " then a bad argument" if exc else ""),
                        call(f, args, exc=exc, after=lambda ba=ba: (ba.append(1), ba.pop())),
                    )
                )
    lib = sig.lib
    if sig.name in RESPONSE:
        cases += [
            ("status -1", scripted(f, valid, lib, status=-1, response=b"x")),
            ("response", scripted(f, valid, lib, status=0, response=b"r" * 300)),
            ("null response", scripted(f, valid, lib, status=0, response=None)),
            (
                "broken response",
                scripted(f, valid, lib, SystemError, status=0, response=None, response_len=5),
            ),
            (
                "negative length",
                scripted(f, valid, lib, SystemError, status=0, response=None, response_len=-1),
            ),
        ]
    elif sig.name in TEXT_OUT:
        cases += [
            ("null text", scripted(f, valid, lib, text=None)),
            ("text", scripted(f, valid, lib, text="t" * 100)),
            ("status -1", scripted(f, valid, lib, status=-1)),
        ]
    elif sig.kinds != "A":
        cases.append(("status -1", scripted(f, valid, lib, status=-1)))
    return cases


def support_cases():
    m = c_sdk
    adapted = m.adapt_to_python3(len)
    return [
        ("is_windows:valid", call(m.is_windows)),
        ("is_linux:valid", call(m.is_linux)),
        ("is_linux:one more", call(m.is_linux, (1,), None, TypeError)),
        ("adapt_to_python3:valid", call(m.adapt_to_python3, (len,))),
        ("adapt_to_python3:keyword", call(m.adapt_to_python3, (), {"func": len}, TypeError)),
        ("adapt_to_python3:wrapper call", call(adapted, ("abc",))),
        ("adapt_to_python3:wrapper non-ASCII", call(adapted, ("\xe9",), None, UnicodeEncodeError)),
        ("c_status_ok:valid", call(m.c_status_ok, (0,))),
        ("c_status_ok:fail", call(m.c_status_ok, ("0",))),
        ("c_status_ok:keyword", call(m.c_status_ok, (), {"status": 0}, TypeError)),
        ("c_status_fail:ok", call(m.c_status_fail, (0,))),
        ("c_status_fail:valid", call(m.c_status_fail, (-3, "vqi_run"))),
        ("c_status_fail:keywords", call(m.c_status_fail, (), {"status": 5, "cfunname": b""})),
        ("c_status_fail:str", call(m.c_status_fail, ("0",), None, TypeError)),
        ("c_status_fail:2**40", call(m.c_status_fail, (2**40,), None, OverflowError)),
        ("c_status_fail:2**64", call(m.c_status_fail, (2**64,), None, OverflowError)),
        ("c_status_fail:__int__ raises", call(m.c_status_fail, (odd(__int__=boom),), None, Boom)),
        (
            "c_status_fail:name __bool__ raises",
            call(m.c_status_fail, (1, odd(__bool__=boom)), None, Boom),
        ),
        ("c_status_fail:unknown keyword", call(m.c_status_fail, (1,), {"bogus": 1}, TypeError)),
        ("c_status_fail:none", call(m.c_status_fail, (), None, TypeError)),
    ]


class Mapping:
    """Not a dict: the records call its methods."""

    def __init__(self):
        self.d = {}

    def get(self, k):
        return self.d.get(k)

    def __setitem__(self, k, v):
        self.d[k] = v

    def __contains__(self, k):
        return k in self.d

    def __str__(self):
        return "M"

    __repr__ = __str__


def record_cases(name):
    cls = getattr(c_sdk, name)
    sub = type("Sub" + name, (cls,), {"__slots__": ()})
    d = {"price": object(), "close": object(), "bid_p": object()}
    rec, empty, other = cls(d), cls.__new__(cls), cls(Mapping())
    watched = [cls, sub, d, rec, empty, other, *list(d.values())]
    prop = {"TickLikeDict2": "price", "BarLikeDict2": "close", "QuoteItemLikeDict2": "bid_p"}.get(
        name
    )

    def setattr_(r, k, v):
        return lambda: setattr(r, k, v)

    cases = [
        ("construct", call(cls, (d,))),
        ("construct keyword", call(cls, (), {"data": d})),
        ("construct none", call(cls, (), None, TypeError)),
        ("construct two", call(cls, (d, d), None, TypeError)),
        ("subclass", call(lambda: sub(d).x)),
        ("subclass set", call(lambda: setattr(sub(d), "y", 1))),
        ("fallback read", call(getattr, (rec, "missing"))),
        ("item get", call(rec.__getitem__, ("price",))),
        ("item get []", call(lambda: rec["x"])),
        ("item set", call(lambda: rec.__setitem__("k", [1]))),
        ("unhashable key", call(lambda: rec[[]], exc=TypeError)),
        ("str", call(str, (rec,))),
        ("repr", call(repr, (rec,))),
        ("attribute set", call(setattr_(rec, "a", (1, 2)))),
        ("data set", call(setattr_(other, "data", Mapping()))),
        ("mapping read", call(lambda: (other.x, other["y"], str(other), repr(other)))),
        ("mapping write", call(lambda: (setattr(other, "x", 1), other.__setitem__("y", 2)))),
        ("iterate", call(iter, (rec,), None, TypeError)),
        ("list", call(list, (rec,), None, TypeError)),
        ("unfilled read", call(getattr, (empty, "x"), None, AttributeError)),
        ("unfilled data", call(getattr, (empty, "data"), None, AttributeError)),
        ("unfilled item", call(lambda: empty["x"], exc=AttributeError)),
        ("unfilled str", call(str, (empty,), None, AttributeError)),
        ("none read", call(lambda: cls(None).x, exc=AttributeError)),
    ]
    if name == "BarLikeDict2":
        cases.append(("in", call(lambda: ("close" in rec, "x" in other))))
        cases.append(("in unhashable", call(lambda: [] in rec, exc=TypeError)))
    else:
        cases.append(("in", call(lambda: "close" in rec, exc=TypeError)))
    if prop:
        cases.append(("property read", call(getattr, (rec, prop))))
        cases.append(("property of mapping", call(getattr, (other, prop))))
        cases.append(("property via class", call(lambda: getattr(cls, prop).__get__(rec))))
    for _, run in cases:
        run.watch += watched
    return cases


def event_cases():
    m, q = c_sdk, standin.queue_event
    seen = []

    def ok(t, p):
        seen.append(len(p))
        del seen[:]

    def raises(t, p):
        raise Boom(t)

    def deleted():
        m.__dict__.pop("f", None)

    def poll(*event, **kw):
        f = kw.get("f", ok)

        def before():
            if f is deleted:
                deleted()
            else:
                m.py_vqi_set_data_callback(f)
            q(*event)

        return call(m.vqi_poll, before=before)

    def as_bytes():
        m.IS_PY2 = True
        try:
            m.vqi_poll()
        finally:
            m.IS_PY2 = False

    def replaces(t, p):
        m.py_vqi_set_data_callback(ok)

    def many_types():  # more than the module keeps made
        m.py_vqi_set_data_callback(ok)
        for i in range(12):
            q("type%d" % i, b"")

    return [
        ("register", call(m.py_vqi_set_data_callback, (ok,))),
        ("register keyword", call(m.py_vqi_set_data_callback, (), {"pythonf": ok}, TypeError)),
        ("register none", call(m.py_vqi_set_data_callback, (), None, TypeError)),
        ("event", poll("tick", b"\x01\0\x02" * 50)),
        ("empty event", poll("", b"")),
        ("event long type", poll("t" * 100, b"x")),
        ("event types", call(m.vqi_poll, before=many_types)),
        ("raising callable", poll("tick", b"x", f=raises)),
        ("callable None", poll("tick", b"x", f=None)),
        ("f deleted", poll("tick", b"x", f=deleted)),
        ("non-UTF-8 type", poll(b"\xff\xfe", b"x")),
        ("null type", poll(None, b"x")),
        ("null payload", poll("tick", None, 1, 4)),
        ("negative length", poll("tick", None, 1, -1)),
        ("bytes type", call(as_bytes, before=lambda: q("tick", b"x"))),
        ("replaced inside", poll("tick", b"x", f=replaces)),
        ("poll status -1", scripted(m.vqi_poll, (), "vqi_poll", status=-1)),
    ]


FAMILIES = {
    "config": [s for s in SIGS if s.name in {r[0] for r in contract.CONFIG}],
    "market": [s for s in SIGS if s.name in {r[0] for r in contract.MARKET}],
    "query": [s for s in SIGS if s.name in {r[0] for r in contract.QUERY}],
    "command": [s for s in SIGS if s.name in {r[0] for r in contract.COMMAND}],
    "exports": [s for s in SIGS if s.name in contract.EXPORTS],
}


def family_cases(family):
    if family == "support":
        return [(n, c) for n, c in support_cases()]
    if family == "records":
        return [("%s:%s" % (n, k), c) for n in contract.RECORDS for k, c in record_cases(n)]
    if family == "events":
        return [("py_vqi_set_data_callback:" + n, c) for n, c in event_cases()]
    return [("%s:%s" % (s.name, k), c) for s in FAMILIES[family] for k, c in sig_cases(s)]


class Discard:
    """An unbuffered sink: a file's buffer of pending writes would show as
    blocks coming and going."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@contextlib.contextmanager
def quiet():
    """Failed events report to stderr: send it, and fd 2, nowhere."""
    saved_fd, saved = os.dup(2), (sys.stderr, getattr(sys, "unraisablehook", None))
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
    sys.stderr = Discard()
    if saved[1] is not None:
        sys.unraisablehook = lambda unraisable: None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            yield
    finally:
        sys.stderr = saved[0]
        if saved[1] is not None:
            sys.unraisablehook = saved[1]
        os.dup2(saved_fd, 2)
        os.close(saved_fd)
        for name in ("last_type", "last_value", "last_traceback", "last_exc"):
            sys.__dict__.pop(name, None)


def settle():
    """Caches whose content depends on how many calls went before."""
    # the module keeps the objects of the last 8 message types
    c_sdk.py_vqi_set_data_callback(lambda t, p: None)
    for i in range(8):
        standin.queue_event("settle%d" % i, b"")
    c_sdk.vqi_poll()
    # the interpreter's method cache holds a name string per slot: a lookup
    # by C-string name (PyObject_CallMethod) fills a slot with a fresh one;
    # from 3.14 the older name of the call that empties it warns
    getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()
    gc.collect()


def measure(runs, rounds):
    """Growth of the allocated blocks, and of the references to the objects
    the calls were given (all references, under a debug interpreter), over
    `rounds` runs."""
    shared = (int, float, str, bool, type(None))
    watched = list({id(o): o for r in runs for o in r.watch if not isinstance(o, shared)}.values())
    total = getattr(sys, "gettotalrefcount", lambda: 0)
    for _ in itertools.repeat(None, WARMUP):
        for run in runs:
            run()
    settle()
    r0, t0 = [sys.getrefcount(o) for o in watched], total()
    b0 = sys.getallocatedblocks()  # last: what the readings keep is counted on both sides
    for _ in itertools.repeat(None, rounds):
        for run in runs:
            run()
    settle()
    b1 = sys.getallocatedblocks()
    t1, r1 = total(), [sys.getrefcount(o) for o in watched]
    return b1 - b0, t1 - t0 + sum(r1) - sum(r0), (b0, b1)


def growth(runs, rounds):
    """(blocks, references, the blocks read before and after)"""
    blocks, refs, readings = measure(runs, rounds)
    blocks0, refs0, _ = measure([], rounds)  # what measuring itself keeps
    return blocks - blocks0, refs - refs0, readings


@pytest.fixture
def hunt(lib):
    saved = c_sdk.__dict__.get("f")
    lib.recording(False)  # the stand-in's call log would grow with every call
    yield
    if saved is None:
        c_sdk.__dict__.pop("f", None)
    else:
        c_sdk.f = saved


@pytest.mark.parametrize("family", [*list(FAMILIES), "support", "records", "events"])
def test_no_growth(hunt, family):
    cases = family_cases(family)
    assert len({label for label, _ in cases}) == len(cases)
    runs = [run for _, run in cases]
    # a leak grows on every pass; what fills once (linecache for the event
    # reports, say) does not
    with quiet():  # here: pytest puts its own stderr back before each test phase
        passes = [growth(runs, ROUNDS)]
        while max(passes[-1][:2]) >= LEAK and len(passes) < 3:
            passes.append(growth(runs, ROUNDS))
    print(
        "\n%s: %d callables, %d callables x argument kinds, %d calls; per pass: "
        "blocks %s, growth of blocks and references %s"
        % (
            family,
            len({label.split(":")[0] for label, _ in cases}),
            len(cases),
            len(cases) * (WARMUP + ROUNDS) * len(passes),
            ", ".join("%d -> %d" % p[2] for p in passes),
            [p[:2] for p in passes],
        )
    )
    if max(passes[-1][:2]) >= LEAK:
        growing = []  # name the cases that grow alone, for a minute at most
        deadline = time.monotonic() + NAMING_SECONDS
        for n, (label, run) in enumerate(cases):
            if time.monotonic() > deadline:
                growing.append("(naming stopped after %d of %d cases)" % (n, len(cases)))
                break
            with quiet():
                alone = growth([run], ROUNDS)[:2]
            if max(alone) >= LEAK:
                growing.append("%s: %+d blocks, %+d refs" % ((label, *alone)))
        pytest.fail(
            "%s grew on every pass %s; growing alone: %s"
            % (family, [p[:2] for p in passes], growing or "none")
        )


def test_tables_cover_every_callable():
    names = {s.name for s in SIGS} | set(contract.SUPPORT)
    assert len(names) == len(contract.FUNCTIONS)
    assert names == {
        n for n, v in vars(c_sdk).items() if callable(v) and not isinstance(v, type) and n != "f"
    }
