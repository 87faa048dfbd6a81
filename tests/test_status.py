"""c_status_ok / c_status_fail: the verdict, and the one debug line that a
failing status leaves in the package logger."""

import pytest

NAMED = "invoke c fun={} error code={}, error info={}"
UNNAMED = "invoke c fun error code={}, error info={}"
TEXT = "连接断开"  # the library's error text, UTF-8 encoded


class Logger:
    def __init__(self):
        self.lines = []

    def debug(self, *args, **kwargs):
        assert not kwargs
        assert len(args) == 1
        assert type(args[0]) is str
        self.lines.append(args[0])


@pytest.fixture
def log(lib, mod, monkeypatch):
    logger = Logger()
    monkeypatch.setattr(mod, "vqsdklogger", logger)
    lib.script("vqi_strerror", text=TEXT)
    return logger.lines


def test_success_status(lib, mod, log):
    ok = mod.CSDK_OPERATE_SUCCESS
    assert mod.c_status_ok(ok) is True
    assert mod.c_status_fail(ok) is False
    assert mod.c_status_fail(ok, "vqi_run") is False
    assert log == []
    lib.assert_not_called()


@pytest.mark.parametrize(
    ("args", "kwargs", "line"),
    [
        ((7, "vqi_run"), {}, NAMED.format("vqi_run", 7, TEXT)),
        ((-(2**31),), {}, UNNAMED.format(-(2**31), TEXT)),
        ((7, ""), {}, UNNAMED.format(7, TEXT)),
        ((7, None), {}, UNNAMED.format(7, TEXT)),
        ((7, b""), {}, UNNAMED.format(7, TEXT)),
        ((7, 0), {}, UNNAMED.format(7, TEXT)),
        ((7, b"vqi_run"), {}, "invoke c fun=b'vqi_run' error code=7, error info=" + TEXT),
        ((), {"status": 7, "cfunname": "vqi_stop"}, NAMED.format("vqi_stop", 7, TEXT)),
        ((7,), {"cfunname": "vqi_stop"}, NAMED.format("vqi_stop", 7, TEXT)),
        ((), {"cfunname": "vqi_stop", "status": True}, NAMED.format("vqi_stop", True, TEXT)),
    ],
)
def test_failure_is_logged(lib, mod, log, args, kwargs, line):
    assert mod.c_status_ok(*(args[:1] or [kwargs["status"]])) is False
    assert log == []
    assert mod.c_status_fail(*args, **kwargs) is True
    assert log == [line]
    status = args[0] if args else kwargs["status"]
    lib.assert_called("vqi_strerror", int(status))


def test_plain_text_of_the_library(lib, mod, log):
    lib.reset()  # the library's own text for the status
    mod.c_status_fail(3, "vqi_stop")
    assert log == [NAMED.format("vqi_stop", 3, mod.py_vqi_strerror(3).decode("utf8"))]


def test_globals_are_read_at_each_call(lib, mod, log, monkeypatch):
    monkeypatch.setattr(mod, "CSDK_OPERATE_SUCCESS", 7)
    assert mod.c_status_ok(7) is True
    assert mod.c_status_ok(0) is False
    assert mod.c_status_fail(7) is False
    assert log == []
    assert mod.c_status_fail(0) is True
    assert log == [UNNAMED.format(0, TEXT)]
    other = Logger()
    monkeypatch.setattr(mod, "vqsdklogger", other)
    mod.c_status_fail(1, "x")
    assert len(log) == 1
    assert other.lines == [NAMED.format("x", 1, TEXT)]
    asked = []
    monkeypatch.setattr(mod, "py_vqi_strerror", lambda s: asked.append(s) or b"fake")
    lib.reset()
    mod.c_status_fail(2, "y")
    assert asked == [2]
    assert other.lines[-1] == NAMED.format("y", 2, "fake")
    lib.assert_not_called()
    monkeypatch.setattr(mod, "CSDK_OPERATE_SUCCESS", "OK")
    assert mod.c_status_ok("OK") is True
    assert mod.c_status_fail("OK") is False


def test_comparison_result_is_returned_unchanged(mod, log):
    class Verdict:
        def __bool__(self):
            return False

    verdict = Verdict()

    class Status:
        def __eq__(self, other):
            return verdict

        __ne__ = __eq__

    assert mod.c_status_ok(Status()) is verdict
    assert mod.c_status_fail(Status(), "x") is verdict
    assert log == []


def test_comparison_error_propagates(mod, log):
    class Status:
        def __eq__(self, other):
            raise ArithmeticError("cmp")

        __ne__ = __eq__

    for fn in (mod.c_status_ok, mod.c_status_fail):
        with pytest.raises(ArithmeticError):
            fn(Status())
    assert log == []


@pytest.mark.parametrize(
    ("status", "exc", "text"),
    [
        ("0", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (2**31, OverflowError, "value too large to convert to int"),
    ],
)
def test_status_that_strerror_refuses(lib, mod, log, status, exc, text):
    assert mod.c_status_ok(status) is False
    with pytest.raises(exc) as info:
        mod.c_status_fail(status, "x")
    assert str(info.value) == text
    assert log == []
    lib.assert_not_called()


def test_text_not_utf8(lib, mod, log):
    lib.script("vqi_strerror", text=b"bad \xff text")
    with pytest.raises(UnicodeDecodeError):
        mod.c_status_fail(4, "x")
    assert log == []


def test_logger_error_propagates(mod, monkeypatch):
    class Failing:
        def debug(self, line):
            raise RuntimeError(line)

    monkeypatch.setattr(mod, "vqsdklogger", Failing())
    with pytest.raises(RuntimeError) as info:
        mod.c_status_fail(1, "x")
    assert str(info.value).startswith("invoke c fun=x error code=1, error info=")


def reference_fail(status, cfunname=""):
    pass


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {}),
        ((1, "a", 2), {}),
        ((1,), {"bogus": 1}),
        ((1,), {"status": 1}),
        ((), {"cfunname": "a"}),
        ((1, "a"), {"cfunname": "b"}),
    ],
)
def test_fail_binding_errors_read_like_a_def(lib, mod, log, args, kwargs):
    with pytest.raises(TypeError) as want:
        reference_fail(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        mod.c_status_fail(*args, **kwargs)
    assert str(got.value) == str(want.value).replace("reference_fail", "c_status_fail")
    assert log == []
    lib.assert_not_called()


@pytest.mark.parametrize(
    ("args", "kwargs"), [((), {}), ((0, 0), {}), ((), {"status": 0}), ((0,), {"x": 0})]
)
def test_ok_takes_one_positional(mod, args, kwargs):
    with pytest.raises(TypeError):
        mod.c_status_ok(*args, **kwargs)


def test_docstrings(mod):
    assert mod.c_status_ok.__doc__ == "\n    c api 调用返回值status是否ok\n    "
    assert mod.c_status_fail.__doc__ == "\n    c api 调用返回值status是否fail\n    "
