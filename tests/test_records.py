"""The dict-like record classes."""

import collections
import gc
import sys

import contract
import pytest

import vq.csdk.c_sdk as c_sdk

PROTOCOL = [
    "__init__",
    "__getitem__",
    "__setitem__",
    "__getattr__",
    "__setattr__",
    "__str__",
    "__repr__",
]
TICK = [
    "quotes",
    "symbol",
    "created_at",
    "price",
    "open",
    "high",
    "low",
    "cum_volume",
    "cum_amount",
    "cum_position",
    "last_amount",
    "last_volume",
    "trade_type",
    "receive_local_time",
]
BAR = [
    "symbol",
    "eob",
    "bob",
    "open",
    "close",
    "high",
    "low",
    "volume",
    "amount",
    "pre_close",
    "position",
    "frequency",
    "receive_local_time",
]
QUOTE = ["bid_p", "bid_v", "ask_p", "ask_v"]
MEMBERS = {
    "QuoteItemLikeDict2": (PROTOCOL, QUOTE, False),
    "TickLikeDict2": (PROTOCOL, TICK, True),
    "BarLikeDict2": ([*PROTOCOL[:3], "__contains__", *PROTOCOL[3:]], BAR, True),
    "ObjectLikeDict2": (
        [
            "__init__",
            "__getitem__",
            "__getattr__",
            "__setitem__",
            "__setattr__",
            "__str__",
            "__repr__",
        ],
        [],
        False,
    ),
}
CLASSES = [getattr(c_sdk, name) for name in contract.RECORDS]


@pytest.mark.parametrize("cls", CLASSES, ids=contract.RECORDS)
def test_class_shape(cls):
    methods, props, writable = MEMBERS[cls.__name__]
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__, cls.__slots__) == ("c_sdk", cls.__name__, ["data"])
    assert cls.__doc__ is None
    # 3.13 class statements also record __firstlineno__ and __static_attributes__
    interpreter = (
        "__module__",
        "__slots__",
        "data",
        "__doc__",
        "__firstlineno__",
        "__static_attributes__",
    )
    own = [k for k in vars(cls) if k not in interpreter]
    assert own == methods + props
    for m in methods:
        assert type(vars(cls)[m]).__name__ == "function"
    for p in props:
        prop = vars(cls)[p]
        assert type(prop) is property
        assert (prop.fset is not None) == writable
        assert prop.fget.__name__ == p
    r = cls({})
    assert not hasattr(type(r), "__dict__") or "__dict__" not in vars(cls)
    with pytest.raises(TypeError):
        __import__("weakref").ref(r)


@pytest.mark.parametrize("cls", CLASSES, ids=contract.RECORDS)
def test_protocol(cls):
    d = {}
    r = cls(d)
    assert r["x"] is None
    assert r.x is None
    assert str(r) == repr(r) == "{}"
    r.x = 1
    assert r["x"] == 1
    assert d == {"x": 1}
    r["y"] = 2
    assert r.y == 2
    assert d["y"] == 2
    other = {"z": 3}
    r.data = other
    assert r.data is other
    assert r.z == 3
    assert d == {"x": 1, "y": 2}
    r["data"] = "v"
    assert r.data is other
    assert r["data"] == "v"
    object.__setattr__(r, "data", d)
    assert r.data is d
    assert hasattr(r, "anything")
    assert r.keys is None
    with pytest.raises(TypeError):
        len(r)
    assert cls(data=d).data is d
    for bad in ((), (d, d)):
        with pytest.raises(TypeError):
            cls(*bad)
    with pytest.raises(TypeError):
        cls(d, data=d)


@pytest.mark.parametrize("cls", CLASSES, ids=contract.RECORDS)
def test_wrapping_none_and_other_mappings(cls):
    r = cls(None)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get'"):
        r.x
    with pytest.raises(AttributeError):
        r["x"]
    with pytest.raises(TypeError):
        r.x = 1
    with pytest.raises(TypeError):
        r["x"] = 1
    r.data = {}  # the slot can still be replaced
    od = collections.OrderedDict(a=1)
    r = cls(od)
    assert r.a == 1
    assert r.b is None
    assert str(r) == str(od)
    assert repr(r) == repr(od)
    with pytest.raises(TypeError):
        r[[1]]  # unhashable key: the mapping's own error


@pytest.mark.parametrize("cls", CLASSES, ids=contract.RECORDS)
def test_iteration_and_membership_terminate(cls):
    r = cls({0: "zero"})
    with pytest.raises(TypeError):
        iter(r)
    with pytest.raises(TypeError):
        list(r)
    if cls is c_sdk.BarLikeDict2:
        assert 0 in r
        assert "x" not in r
    else:
        with pytest.raises(TypeError):
            0 in r


@pytest.mark.parametrize("cls", CLASSES, ids=contract.RECORDS)
def test_unfilled_slot_raises_without_recursion(cls):
    r = cls.__new__(cls)
    limit = sys.getrecursionlimit()
    for read in (lambda: r.data, lambda: r.x, lambda: r["x"], lambda: str(r)):
        with pytest.raises(AttributeError):
            read()
    with pytest.raises(AttributeError):
        r.x = 1
    assert sys.getrecursionlimit() == limit
    r.data = {"x": 5}
    assert r.x == 5


def test_properties():
    t = c_sdk.TickLikeDict2({})
    assert all(getattr(t, p) is None for p in TICK)
    quotes = [{"bid_p": 1}]
    t = c_sdk.TickLikeDict2({"quotes": quotes})
    assert t.quotes is quotes
    t.symbol = "s"
    assert t["symbol"] == "s"
    assert t.data["symbol"] == "s"
    t["trade_type"] = 7
    assert t.trade_type == 7
    c_sdk.TickLikeDict2.price.fset(t, 9.5)
    assert t.data["price"] == 9.5
    q = c_sdk.QuoteItemLikeDict2({"bid_p": 1})
    assert (q.bid_p, q.ask_p, q["bid_v"]) == (1, None, None)
    q.ask_v = 5  # assignment goes to the mapping, never through the read-only property
    assert q.data == {"bid_p": 1, "ask_v": 5}
    with pytest.raises(AttributeError):
        c_sdk.QuoteItemLikeDict2.ask_v.__set__(q, 1)
    b = c_sdk.BarLikeDict2({"close": None})
    assert "close" in b
    assert b.close is None
    assert "symbol" not in b
    assert "data" not in b
    b.frequency = "1d"
    assert "frequency" in b
    assert b.data["frequency"] == "1d"
    assert "price" in dir(c_sdk.TickLikeDict2)
    assert "bid_p" in dir(c_sdk.QuoteItemLikeDict2)


@pytest.mark.parametrize("cls", CLASSES, ids=contract.RECORDS)
def test_native_slots_agree_with_the_class_methods(cls):
    # what the interpreter does on rec.x, rec[k], str(rec)... equals what
    # the class's own Python methods give
    d = {"price": 1, "symbol": "s", "x": None, 3: "three"}
    r = cls(d)
    _methods, props, _ = MEMBERS[cls.__name__]
    for name in [*props, "price", "x", "missing", "keys", "__len__"]:
        via_method = vars(cls)[name].fget(r) if name in props else cls.__getattr__(r, name)
        assert getattr(r, name) == via_method
    for key in ("price", 3, "missing"):
        assert r[key] == cls.__getitem__(r, key)
    assert str(r) == cls.__str__(r)
    assert repr(r) == cls.__repr__(r)


def test_class_name_is_looked_up_at_each_data_assignment(monkeypatch):
    r = c_sdk.ObjectLikeDict2({})
    monkeypatch.delattr(c_sdk, "ObjectLikeDict2")
    with pytest.raises(NameError, match="ObjectLikeDict2"):
        r.data = {"a": 1}
    assert r.data == {}
    with pytest.raises(NameError):
        type(r)({})
    monkeypatch.setattr(c_sdk, "ObjectLikeDict2", c_sdk.TickLikeDict2, raising=False)
    with pytest.raises(TypeError):  # super(TickLikeDict2, <ObjectLikeDict2>)
        r.data = {}
    r.x = 1  # other names never look the class up
    assert r.data == {"x": 1}


def test_reassigned_methods_take_effect():
    cls = type("Copy", (c_sdk.BarLikeDict2,), {})  # a subclass goes through the methods
    r = cls({"a": 1})
    assert r.a == 1
    assert r["a"] == 1
    assert "a" in r
    assert r.close is None
    cls.__getattr__ = lambda self, item: "patched"
    cls.__getitem__ = lambda self, item: "item"
    assert r.a == "patched"
    assert r["a"] == "item"
    with pytest.raises(TypeError):
        cls({}, extra=1)


def test_keyword_forms():
    d = {}
    r = c_sdk.TickLikeDict2(d)
    c_sdk.TickLikeDict2.__setattr__(r, item="k", value=1)
    c_sdk.TickLikeDict2.__setitem__(self=r, item="j", value=2)
    assert d == {"k": 1, "j": 2}
    assert c_sdk.TickLikeDict2.__getitem__(r, item="k") == 1
    assert c_sdk.BarLikeDict2.__contains__(c_sdk.BarLikeDict2(d), key="k") is True


def test_construction_follows_the_class_as_it_is_now(monkeypatch):
    # construction must run whatever __init__ and __setattr__ the class has
    # at the moment, and find the class by its name
    cls = c_sdk.TickLikeDict2
    own_setattr = vars(cls)["__setattr__"]
    seen = []

    def spy(self, item, value):
        seen.append(item)
        own_setattr(self, item, value)

    monkeypatch.setattr(cls, "unrelated", 1, raising=False)
    assert cls({"a": 1}).a == 1
    monkeypatch.setattr(cls, "__setattr__", spy)
    assert cls({"a": 2}).a == 2
    assert seen == ["data"]
    monkeypatch.setattr(cls, "__init__", lambda self, data: None)
    with pytest.raises(AttributeError):
        cls({"a": 3}).data
    monkeypatch.undo()
    assert cls({"a": 5}).a == 5
    assert seen == ["data"]
    monkeypatch.setattr(c_sdk, "TickLikeDict2", c_sdk.BarLikeDict2)
    with pytest.raises(TypeError):  # super(BarLikeDict2, <TickLikeDict2>)
        cls({})
    monkeypatch.delattr(c_sdk, "TickLikeDict2")
    with pytest.raises(NameError, match="TickLikeDict2"):
        cls({})


@pytest.mark.parametrize("cls", CLASSES, ids=contract.RECORDS)
def test_freeing_releases_the_mapping_and_the_class(cls):
    sub = type("Sub", (cls,), {})  # a subclass frees its own part first
    for kind in (cls, sub):
        d = {}
        before = (sys.getrefcount(kind), sys.getrefcount(d))
        for _ in range(100):
            kind(d)
        assert (sys.getrefcount(kind), sys.getrefcount(d)) == before
    r = sub({})
    gone = []
    ref = __import__("weakref").ref(r, gone.append)
    del r
    assert ref() is None
    assert gone == [ref]


def test_a_finalizer_set_on_the_class_runs_for_every_record():
    cls = c_sdk.ObjectLikeDict2
    seen = []
    try:
        cls.__del__ = lambda self: seen.append(self)
        d = {}
        cls(d)
        assert len(seen) == 1
        assert seen[0].data is d
        before = sys.getrefcount(d)
        seen.clear()  # freed now, without running the finalizer again
        assert sys.getrefcount(d) == before - 1
        assert seen == []
        for _ in range(3):
            cls({})
        assert len(seen) == 3
        seen.clear()

        # the collector finalizes a record in a cycle, and the finalizer takes
        # itself off the class: the record's memory, reused, must not carry
        # the mark of a finalized object to the next record
        def once(self):
            seen.append("cycle")
            del cls.__del__

        cls.__del__ = once
        r = cls({})
        r["self"] = r
        del r
        gc.collect()
        assert seen == ["cycle"]
        cls.__del__ = lambda self: seen.append("next")
        cls({})
        assert seen == ["cycle", "next"]
    finally:
        if "__del__" in vars(cls):
            del cls.__del__


def test_a_long_chain_of_records_is_freed():
    r = c_sdk.ObjectLikeDict2({})
    for _ in range(1000000):
        r = c_sdk.ObjectLikeDict2(r)
    del r  # would overflow the C stack if freed recursively
