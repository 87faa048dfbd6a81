"""The record classes' C slots follow what their Python methods would do
when the class, its functions or the module namespace change under them."""

import builtins
import subprocess
import sys
import textwrap

import contract
import pytest

import vq.csdk.c_sdk as c_sdk

CLASSES = [getattr(c_sdk, name) for name in contract.RECORDS]


def outcome(call):
    try:
        return call()
    except Exception as exc:
        return type(exc)


def through_methods(cls, r):
    """What the class's Python methods give for the reads the slots serve."""
    return [
        outcome(lambda: cls.__getitem__(r, "k")),
        outcome(lambda: cls.__getattr__(r, "missing")),
        outcome(lambda: cls.__str__(r)),
        outcome(lambda: cls.__repr__(r)),
    ]


def through_slots(r):
    return [
        outcome(lambda: r["k"]),
        outcome(lambda: r.missing),
        outcome(lambda: str(r)),
        outcome(lambda: repr(r)),
    ]


def built_by_methods(cls, d):
    """cls(d) as object.__new__ and the class's __init__ would build it."""

    def build():
        r = object.__new__(cls)
        cls.__init__(r, d)
        return object.__getattribute__(r, "data") if "data" not in vars(cls) else r.data

    return outcome(build)


def built_by_call(cls, d):
    def build():
        r = cls(d)
        return object.__getattribute__(r, "data") if "data" not in vars(cls) else r.data

    return outcome(build)


@pytest.mark.parametrize("cls", CLASSES, ids=contract.RECORDS)
def test_a_replaced_data_descriptor_is_used(cls, monkeypatch):
    r = cls({"k": "slot"})
    other = {"k": "descriptor", "missing": 2}
    monkeypatch.setattr(cls, "data", property(lambda self: other))
    assert through_slots(r) == through_methods(cls, r) == ["descriptor", 2, str(other), str(other)]
    # no setter: both raise AttributeError
    assert built_by_call(cls, {}) is built_by_methods(cls, {}) is AttributeError
    if cls is c_sdk.TickLikeDict2:
        other["price"] = 9
        assert r.price == 9
    monkeypatch.setattr(cls, "data", 5)  # not a descriptor at all
    assert through_slots(r) == through_methods(cls, r) == [AttributeError, AttributeError, "5", "5"]
    monkeypatch.undo()
    assert through_slots(cls({"k": 1})) == [1, None, "{'k': 1}", "{'k': 1}"]


@pytest.mark.parametrize("cls", CLASSES, ids=contract.RECORDS)
def test_a_rebound_super_is_called_by_construction(cls, monkeypatch):
    seen = []

    def spy(*args):
        seen.append(args[0])
        return builtins.super(*args)

    monkeypatch.setattr(c_sdk, "super", spy, raising=False)
    assert cls({"a": 1}).a == 1
    assert seen == [cls]
    monkeypatch.setattr(c_sdk, "super", lambda *args: None)
    with pytest.raises(AttributeError):  # None.__setattr__(...)
        cls({})
    monkeypatch.undo()
    assert cls({"a": 3}).a == 3
    assert seen == [cls]


def edited(fn, replacement):
    """fn's code replaced by replacement's (same parameters)."""
    return fn, "__code__", replacement.__code__


def _init(self, data):
    self.data = {"edited": data}


def _getitem(self, item):
    return ("edited", item)


def _getattr(self, item):
    return ("edited", item)


def _str(self):
    return "edited"


def _price(self):
    return "edited"


def _setitem(self, item, value):
    self.data[item] = ("edited", value)


EDITS = {
    "__init__": (_init, lambda cls: cls({}).data, {"edited": {}}),
    "__getitem__": (_getitem, lambda cls: cls({})["k"], ("edited", "k")),
    "__getattr__": (_getattr, lambda cls: cls({}).k, ("edited", "k")),
    "__str__": (_str, lambda cls: str(cls({})), "edited"),
    "__repr__": (_str, lambda cls: repr(cls({})), "edited"),
    "__setitem__": (_setitem, lambda cls: cls.__setitem__ and _set(cls), {"k": ("edited", 1)}),
}


def _set(cls):
    r = cls({})
    r["k"] = 1
    return r.data


@pytest.mark.parametrize("cls", CLASSES, ids=contract.RECORDS)
@pytest.mark.parametrize("method", sorted(EDITS))
def test_an_edited_method_code_runs(cls, method, monkeypatch):
    replacement, use, expected = EDITS[method]
    monkeypatch.setattr(*edited(vars(cls)[method], replacement))
    assert use(cls) == expected
    monkeypatch.undo()
    assert use(cls) != expected


def test_an_edited_property_getter_and_contains_run(monkeypatch):
    tick, bar = c_sdk.TickLikeDict2, c_sdk.BarLikeDict2
    monkeypatch.setattr(*edited(vars(tick)["price"].fget, _price))
    monkeypatch.setattr(*edited(vars(bar)["__contains__"], lambda self, key: key == "odd"))
    assert tick({"price": 1}).price == "edited"
    assert "odd" in bar({})
    assert "k" not in bar({"k": 1})
    monkeypatch.undo()
    assert tick({"price": 1}).price == 1
    assert "k" in bar({"k": 1})


class FailingGet(dict):
    """A mapping whose get raises AttributeError, counting the calls."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def get(self, key):
        self.calls.append(key)
        if len(self.calls) == 1:
            raise AttributeError(key)
        return "second"


@pytest.mark.parametrize("name", ["price", "symbol"])
def test_a_property_raising_attribute_error_falls_back_to_getattr(name):
    d = FailingGet()
    r = c_sdk.TickLikeDict2(d)
    assert getattr(r, name) == "second"
    assert d.calls == [name, name]
    with pytest.raises(AttributeError):
        c_sdk.TickLikeDict2(None).price


@pytest.mark.skipif(
    not (3, 7) <= sys.version_info < (3, 11), reason="tags are numbered anew up to 3.10 only"
)
def test_construction_notices_a_change_after_the_type_cache_was_cleared():
    # Clearing the cache restarts the numbering of version tags: a class
    # changed afterwards can get its earlier tag back, and construction must
    # still see that its __setattr__ is no longer its own.
    code = textwrap.dedent(
        """
        import ctypes, sys
        import vq.csdk.c_sdk as c_sdk
        WORD = ctypes.sizeof(ctypes.c_void_p)
        def field(cls, index, kind):
            return kind.from_address(id(cls) + WORD * index).value
        def tag(cls):  # tp_version_tag, after the header and 45 fields
            return field(cls, 48, ctypes.c_uint)
        cls = c_sdk.TickLikeDict2
        assert field(cls, 21, ctypes.c_ulong) == cls.__flags__  # the layout is as assumed
        own = vars(cls)['__setattr__']
        seen = []
        def spy(self, item, value):
            seen.append(item)
            own(self, item, value)
        for _ in range(3):
            cls({})
        old = tag(cls)
        dummies = [type('D%d' % i, (), {}) for i in range(old + 100)]
        sys._clear_type_cache()
        cls.__setattr__ = spy
        for d in dummies:
            getattr(d, 'x', None)  # the next tag
            if tag(d) >= old - 1:
                break
        assert tag(d) == old - 1, (tag(d), old)
        getattr(cls, 'x', None)
        assert tag(cls) == old
        cls({})
        assert seen == ['data'], seen
        print('ok')
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (out.returncode, out.stdout, out.stderr) == (0, "ok\n", "")
