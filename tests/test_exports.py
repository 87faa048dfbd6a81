"""Library functions exposed under their own names."""

import time

import contract
import pytest

NO_ARGS = [f.name for f in contract.family("export") if not f.params]


@pytest.mark.parametrize("name", contract.EXPORTS)
def test_export_objects(mod, name):
    fn = getattr(mod, name)
    assert callable(fn)
    assert fn.__name__ == name
    assert fn.__module__ == "c_sdk"
    assert fn is not getattr(mod, "py_" + name, None)


@pytest.mark.parametrize("name", NO_ARGS)
def test_no_argument_exports(mod, lib, name):
    # worded as the interpreter words it for a builtin without parameters
    for args, kwargs in [((1,), {}), ((1, 2), {}), ((), {"x": 1}), ((1,), {"x": 1})]:
        with pytest.raises(TypeError) as want:
            globals(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            getattr(mod, name)(*args, **kwargs)
        assert str(got.value) == str(want.value).replace("globals", name)
    lib.assert_not_called()
    getattr(mod, name)()
    assert [c[0] for c in lib.calls()] == [name]


@pytest.mark.parametrize(
    ("name", "script", "result"),
    [
        ("vqi_get_c_version", dict(text=b"v3"), b"v3"),
        ("vqi_get_orgcode", dict(text=b"org\xff"), b"org\xff"),
        ("vqi_get_encrypted_token", dict(text=None), None),  # a null text: None, not a crash
        ("vqi_init", dict(status=-1), -1),
        ("vqi_poll", dict(status=-1), -1),
        ("vqi_now", dict(value=2**40 + 5), 2**40 + 5),
        ("vqi_now", dict(value=-(2**63)), -(2**63)),
        ("vqi_now_plus", dict(dvalue=-1.0), -1.0),
    ],
)
def test_results(mod, lib, name, script, result):
    lib.script(name, **script)
    got = getattr(mod, name)()
    assert got == result
    assert type(got) is type(result)


def test_clock_defaults(mod, lib):
    assert abs(mod.vqi_now() / 1000.0 - time.time()) < 60
    assert isinstance(mod.vqi_now_plus(), float)


def test_strerror(mod, lib):
    assert mod.vqi_strerror(0) == b"success"
    assert mod.vqi_strerror(1.9) == b"error 1"
    assert mod.vqi_strerror(True) == b"error 1"
    for bad, exc, text in [
        ("0", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (2**64, OverflowError, "too large to convert to C long"),
    ]:
        with pytest.raises(exc, match=text):
            mod.vqi_strerror(bad)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        mod.vqi_strerror(errorno=1)
    with pytest.raises(TypeError, match=r"takes exactly one argument \(0 given\)"):
        mod.vqi_strerror()
    assert lib.calls() == [("vqi_strerror", (0,)), ("vqi_strerror", (1,)), ("vqi_strerror", (1,))]


def test_texts_take_bytes_only(mod, lib):
    for bad in ("t", None, memoryview(b"t"), 1):
        with pytest.raises(TypeError):
            mod.vqi_add_bus_topic(bad)
    with pytest.raises(TypeError):
        mod.vqi_add_bus_topic(topic=b"t")
    lib.assert_not_called()
    assert mod.vqi_add_bus_topic(b"t") is None
    assert mod.vqi_add_bus_topic(bytearray(b"t\x00rest")) is None
    assert mod.vqi_add_bus_topic(bytearray()) is None
    assert lib.calls() == [("vqi_add_bus_topic", (b"t",))] * 2 + [("vqi_add_bus_topic", (b"",))]


def test_keywords_bind_by_name(mod, lib):
    lib.script("vqi_send_msg_to_bus", status=-7)
    assert mod.vqi_send_msg_to_bus(msg=b"m", topic=b"t") == -7
    mod.vqi_set_bus_info(b"addr", password=b"pw", user_name=b"u")
    assert lib.calls() == [
        ("vqi_send_msg_to_bus", (b"t", b"m")),
        ("vqi_set_bus_info", (b"addr", b"u", b"pw")),
    ]
    for call, text in [
        (lambda: mod.vqi_set_bus_info(b"a", b"b"), "missing 1 required"),
        (lambda: mod.vqi_set_bus_info(b"a", b"b", b"c", b"d"), "takes 3 positional"),
        (lambda: mod.vqi_set_bus_info(b"a", b"b", b"c", x=1), "unexpected keyword"),
        (lambda: mod.vqi_set_bus_info(b"a", b"b", b"c", user_name=b"u"), "multiple values"),
    ]:
        with pytest.raises(TypeError, match=text):
            call()
    assert len(lib.calls()) == 2


@pytest.mark.parametrize(
    ("skip", "expected"), [([], False), ([0], True), (None, False), ("", False), (2, True)]
)
def test_bus_secure_truth(mod, lib, skip, expected):
    assert mod.vqi_set_bus_secure(0, b"", b"", b"", skip) is None
    lib.assert_called("vqi_set_bus_secure", 0, b"", b"", b"", expected)


def test_set_mode(mod, lib):
    mod.vqi_set_mode(-3)
    with pytest.raises(TypeError):
        mod.vqi_set_mode(mode=1)
    lib.assert_called("vqi_set_mode", -3)
