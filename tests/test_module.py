"""Module initialisation, the namespace, the adapter and the platform tests."""

import inspect
import os
import re
import subprocess
import sys
import textwrap
import types

import contract
import pytest

import vq.constant
import vq.utils

HERE = os.path.dirname(os.path.abspath(__file__))


def run_python(code):
    """Runs code in a fresh interpreter that sees the installed package."""
    env = dict(os.environ, PYTHONPATH=HERE)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=HERE,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


# ---- the namespace -------------------------------------------------------------------------
def test_namespace_in_binding_order(mod):
    # read in a fresh interpreter: other tests rebind globals, which moves them
    out = run_python("import vq.csdk.c_sdk as m; print(' '.join(vars(m)))")
    names = [n for n in out.stdout.split() if not n.startswith("__")]
    n_globals, n_records, n_support = (
        len(contract.GLOBALS),
        len(contract.RECORDS),
        len(contract.SUPPORT),
    )
    assert names[:n_globals] == contract.GLOBALS
    assert names[n_globals : n_globals + n_records] == contract.RECORDS
    start = n_globals + n_records
    assert names[start : start + n_support] == contract.SUPPORT
    wrappers = names[start + n_support : len(names) - len(contract.EXPORTS)]
    assert sorted(wrappers) == sorted(contract.WRAPPERS)
    assert names[len(names) - len(contract.EXPORTS) :] == contract.EXPORTS
    functions = [n for n in names if isinstance(getattr(mod, n), types.BuiltinFunctionType)]
    adapted = [n for n in functions if getattr(mod, n).__name__ == "wrapper"]
    assert sorted(functions) == sorted(contract.BUILTINS)
    assert sorted(adapted) == sorted(contract.ADAPTED)


def test_readme_counts_agree_with_the_table():
    path = os.path.join(os.path.dirname(HERE), "README.md")
    if not os.path.isfile(path):
        pytest.skip("needs the source tree")
    with open(path, encoding="utf-8") as f:
        text = " ".join(f.read().split())
    counts = re.findall(r"(\d+) `py_…` wrappers and (\d+) direct library exports", text)
    assert counts == [(str(len(contract.WRAPPERS)), str(len(contract.EXPORTS)))]


def test_globals(mod):
    assert mod.IS_PY2 is False
    assert mod.IS_PY3 is True
    assert mod.CSDK_OPERATE_SUCCESS is vq.constant.CSDK_OPERATE_SUCCESS
    assert mod.vqsdklogger is vq.utils.vqsdklogger
    import functools
    import platform

    assert mod.functools is functools
    assert mod.platform is platform
    assert mod.__doc__ is None
    assert mod.__builtins__ is __import__("builtins")


@pytest.mark.parametrize("name", contract.SUPPORT + contract.WRAPPERS)
def test_function_objects(mod, name):
    fn = getattr(mod, name)
    assert fn.__module__ == "c_sdk"
    if name in contract.ADAPTED:
        assert (fn.__name__, fn.__qualname__, fn.__doc__) == (
            "wrapper",
            "adapt_to_python3.<locals>.wrapper",
            None,
        )
        return
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__name__ == name
    assert fn.__self__ is mod  # a module function: does not bind as a method
    if name not in ("adapt_to_python3", "c_status_ok", "c_status_fail"):
        assert fn.__doc__ is None


def test_text_signatures_follow_the_tables(mod):
    def kinds(sig):
        return [(p.name, p.kind) for p in sig.parameters.values()]

    for name, params, _, _ in contract.CONFIG + contract.MARKET:
        kind = (
            inspect.Parameter.POSITIONAL_ONLY
            if len(params) == 1
            else inspect.Parameter.POSITIONAL_OR_KEYWORD
        )
        assert kinds(inspect.signature(getattr(mod, name))) == [(p, kind) for p in params]
    assert str(inspect.signature(mod.py_vqi_get_parameters)) == "(req, /)"
    assert str(inspect.signature(mod.c_status_fail)) == "(status, cfunname='')"
    # an adapted wrapper shows what it forwards to
    assert str(inspect.signature(mod.py_vqi_get_orders)) == "(req, /)"
    assert str(inspect.signature(mod.adapt_to_python3(lambda x: x))) == "(*args, **kwargs)"


def test_import_calls_nothing_and_f_appears_on_registration():
    out = run_python("""
        import vq.csdk.c_sdk as m, standin
        assert standin.calls() == [], standin.calls()
        assert not hasattr(m, 'f')
        m.py_vqi_set_data_callback(print)
        assert m.f is print
        print('ok')
    """)
    assert out.stdout.strip() == "ok", out.stderr


def test_reimport_returns_the_same_module_and_keeps_state():
    out = run_python("""
        import sys, importlib
        import vq.csdk.c_sdk as m
        m.py_vqi_set_data_callback(len)
        m.extra = 1
        del sys.modules['vq.csdk.c_sdk']
        import vq.csdk.c_sdk as again
        assert again is m and again.f is len and again.extra == 1
        assert importlib.reload(m) is m and m.f is len
        print('ok')
    """)
    assert out.stdout.strip() == "ok", out.stderr


def test_failed_import_is_forgotten_and_retried():
    # vq.utils fails to import once, then is repaired
    out = run_python("""
        import sys
        class Broken:
            def find_spec(self, name, path=None, target=None):
                if name == 'vq.utils':
                    raise ImportError('vq.utils is broken')
        sys.meta_path.insert(0, Broken())
        try:
            import vq.csdk.c_sdk
        except ImportError as e:
            print('first:', e)
        assert 'vq.csdk.c_sdk' not in sys.modules
        del sys.meta_path[0]
        import vq.csdk.c_sdk as m, standin
        assert m.vqsdklogger is sys.modules['vq.utils'].vqsdklogger
        standin.recording(True)  # off in a fresh process
        assert m.py_vqi_run() == 0
        assert [c[0] for c in standin.calls()] == ['vqi_run']
        print('second: ok')
    """)
    assert out.stdout.splitlines() == ["first: vq.utils is broken", "second: ok"], out.stderr


def test_missing_name_in_sibling_module():
    out = run_python("""
        import sys, types, vq.constant as real
        fake = types.ModuleType('vq.constant')
        sys.modules['vq.constant'] = fake
        import vq
        vq.constant = fake
        try:
            import vq.csdk.c_sdk
        except ImportError as e:
            print(e)
        fake.CSDK_OPERATE_SUCCESS = 7
        import vq.csdk.c_sdk as m
        print(m.CSDK_OPERATE_SUCCESS, m.py_vqi_get_parameters(b''))
    """)
    assert out.stdout.splitlines() == ["cannot import name CSDK_OPERATE_SUCCESS", "7 (0, None)"], (
        out.stderr
    )


def test_second_interpreter_is_refused():
    out = run_python("""
        import vq.csdk.c_sdk
        try:
            import _testcapi
        except ImportError:
            print('skip'); raise SystemExit
        code = ("try:\\n    import vq.csdk.c_sdk\\nexcept ImportError as e:\\n"
                "    open(%r, 'w').write(str(e))\\n")
        import tempfile, os
        path = os.path.join(tempfile.mkdtemp(), 'out')
        _testcapi.run_in_subinterp(code % path)
        print(open(path).read())
    """)
    if out.stdout.strip() == "skip":
        pytest.skip("no _testcapi")
    assert "one interpreter per process" in out.stdout, out.stderr


@pytest.mark.skipif(sys.version_info < (3, 12), reason="module slots for interpreters from 3.12")
def test_isolated_interpreter_is_refused_by_the_module_slot():
    # an isolated interpreter checks the module's declaration before create() runs
    out = run_python("""
        import vq.csdk.c_sdk
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        code = ("try:\\n    import vq.csdk.c_sdk\\nexcept ImportError as e:\\n"
                "    print(e)\\n")
        interpreters.run_string(interpreters.create(), code)
    """)
    assert "does not support loading in subinterpreters" in out.stdout, out.stderr


# ---- adapt_to_python3 --------------------------------------------------------------------------
@pytest.fixture
def seen(mod):
    calls = []

    def record(*args, **kwargs):
        calls.append((args, kwargs))
        return "result"

    return calls, mod.adapt_to_python3(record)


def test_adapter_encodes_str_arguments(seen):
    calls, f = seen
    b, lst, d = b"abc", ["a"], {"k": "v"}
    assert f("abc", b, 1, None, 2.5, lst, "", x="xyz", y=b) == "result"
    args, kwargs = calls[0]
    assert args == (b"abc", b"abc", 1, None, 2.5, ["a"], b"")
    assert args[1] is b
    assert args[5] is lst
    assert kwargs == {"x": b"xyz", "y": b"abc"}
    f(**d)
    assert calls[1] == ((), {"k": b"v"})
    assert d == {"k": "v"}
    f(*["s"] * 40, **{"k%d" % i: "v" for i in range(10)})  # beyond the small stack buffer
    assert calls[2][0] == (b"s",) * 40
    assert set(calls[2][1].values()) == {b"v"}


def test_adapter_refuses_non_ascii_without_calling(seen):
    calls, f = seen
    with pytest.raises(UnicodeEncodeError):
        f("ok", "é")
    with pytest.raises(UnicodeEncodeError):
        f(x="ü")
    assert calls == []


def test_adapter_follows_is_py2(seen, mod, monkeypatch):
    calls, f = seen
    monkeypatch.setattr(mod, "IS_PY2", True)
    f("abc")
    assert calls[-1] == (("abc",), {})
    monkeypatch.setattr(mod, "IS_PY2", [])  # any false object
    f("abc")
    assert calls[-1] == ((b"abc",), {})
    monkeypatch.delattr(mod, "IS_PY2")
    with pytest.raises(NameError, match="IS_PY2"):
        f("abc")


def test_adapter_object(mod):
    w = mod.adapt_to_python3(len)
    assert w("abc") == 3
    assert w.__name__ == "wrapper"
    assert w.__doc__ is None
    assert w.__qualname__ == "adapt_to_python3.<locals>.wrapper"
    assert w.__module__ == "c_sdk"
    with pytest.raises(TypeError):
        mod.adapt_to_python3(func=len)
    with pytest.raises(TypeError):
        mod.adapt_to_python3(len, len)
    with pytest.raises(TypeError):
        mod.adapt_to_python3(5)()  # nothing is checked until the call
    sentinel = object()
    before = sys.getrefcount(sentinel)
    w = mod.adapt_to_python3(sentinel)
    assert sys.getrefcount(sentinel) == before + 1
    del w
    assert sys.getrefcount(sentinel) == before


def test_adapted_wrappers_keep_the_interpreters_errors(mod, lib):
    with pytest.raises(
        TypeError, match=r"py_vqi_get_orders\(\) takes exactly one argument \(2 given\)"
    ):
        mod.py_vqi_get_orders("a", "b")
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        mod.py_vqi_get_orders(req="a")
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        mod.py_vqi_get_orgcode("x")
    lib.assert_not_called()


# ---- platform tests ----------------------------------------------------------------------------
@pytest.mark.parametrize(
    ("system", "windows", "linux"),
    [
        ("Linux", False, True),
        ("Windows", True, False),
        ("Darwin", False, False),
        ("LINUX", False, True),
    ],
)
def test_platform_tests(mod, monkeypatch, system, windows, linux):
    fake = types.SimpleNamespace(uname=lambda: (system, "host", "r", "v", "m"))
    monkeypatch.setattr(mod, "platform", fake)
    assert mod.is_windows() is windows
    assert mod.is_linux() is linux


def test_platform_tests_on_this_machine(mod):
    assert mod.is_linux() is (sys.platform == "linux")
    with pytest.raises(TypeError):
        mod.is_linux(1)
