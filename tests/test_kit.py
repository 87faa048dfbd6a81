"""The offline testing kit vq.csdk.testing and its pytest plugin: binding
to the stand-in whatever library sits beside the module, scripting, events,
the call log, and market replay from CSV files and iterables."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest
from helpers import backtest_config

import vq
import vq.csdk.testing as kit
from vq.csdk import c_sdk

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SITE = os.path.dirname(os.path.dirname(os.path.dirname(c_sdk.__file__)))


def run(args, env=None, cwd=None):
    return subprocess.run(
        args,
        cwd=cwd or HERE,
        env=dict(os.environ, **(env or {})),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=300,
    )


def python(code, **kw):
    return run([sys.executable, "-c", textwrap.dedent(code)], **kw)


@pytest.fixture
def standin(vq_standin):
    saved = c_sdk.__dict__.get("f")
    yield vq_standin
    c_sdk.f = saved


# ---- binding ------------------------------------------------------------------------------


# which libvq3-c.so the module calls, found without importing the kit:
# dlsym on the module's handle searches the module, then its dependencies
BOUND = """
import ctypes, os
def bound_library(module_file):
    address = ctypes.cast(
        ctypes.CDLL(module_file, mode=os.RTLD_NOLOAD).vqi_poll, ctypes.c_void_p
    ).value
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(None, 5)
            lo, hi = (int(x, 16) for x in fields[0].split("-"))
            if lo <= address < hi:
                return fields[5].strip()
"""


def test_the_plugin_is_an_entry_point():
    try:
        from importlib.metadata import entry_points
    except ImportError:  # 3.7
        from importlib_metadata import entry_points
    eps = entry_points()
    group = eps.select(group="pytest11") if hasattr(eps, "select") else eps.get("pytest11", ())
    assert {ep.name: ep.value for ep in group}.get("vq-csdk") == "vq.csdk.pytest_plugin"


def test_the_kit_binds_c_sdk_to_its_own_copy_first():
    out = python("""
        import os
        import vq.csdk.testing as kit
        from vq.csdk import c_sdk
        from vq.csdk.testing._library import mapped_copies
        print(mapped_copies() == [kit.KIT_LIBRARY] == [kit.library_path()] == [kit.bound_library()])
        print(os.path.isfile(os.path.join(os.path.dirname(c_sdk.__file__), "libvq3-c.so")))
    """)
    assert out.stdout.split() == ["True", "True"], out.stdout


def test_without_the_kit_c_sdk_uses_the_library_beside_it_and_the_kit_follows():
    # the library beside the module is the stand-in too, so the kit drives it
    out = python("""
        import os
        from vq.csdk import c_sdk
        import vq.csdk.testing as kit
        beside = os.path.join(os.path.dirname(c_sdk.__file__), "libvq3-c.so")
        print(kit.library_path() == kit.bound_library() == beside)
        kit.reset(); c_sdk.py_vqi_stop()
        print(kit.calls())
    """)
    assert out.stdout.splitlines() == ["True", "[Call(name='vqi_stop', args=())]"], out.stdout


def test_recording_is_off_in_a_fresh_process():
    out = python("""
        import vq.csdk.testing as kit
        from vq.csdk import c_sdk
        c_sdk.py_vqi_stop()
        print(kit.calls(), kit.calls_dropped())
        kit.recording(True); c_sdk.py_vqi_stop()
        print(len(kit.calls()))
    """)
    assert out.stdout.split() == ["[]", "0", "1"], out.stdout


def tiny_library(path):
    """A libvq3-c.so that defines every library function as a no-op and
    nothing of the stand-in's control surface."""
    from vq.csdk.testing._names import LIBRARY_FUNCTIONS as names  # the header's, as tested below

    src = path + ".cpp"
    with open(src, "w") as f:
        f.writelines('extern "C" void %s() {}\n' % n for n in names)
    subprocess.check_call(["g++", "-shared", "-fPIC", "-Wl,-soname,libvq3-c.so", "-o", path, src])


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


@pytest.fixture(scope="module")
def swapped(tmp_path_factory):
    """A copy of the installed package whose libvq3-c.so beside the module
    is another library with the same soname."""
    if not shutil.which("g++"):
        pytest.skip("needs g++")
    site = tmp_path_factory.mktemp("site")
    shutil.copytree(
        os.path.join(SITE, "vq"), str(site / "vq"), ignore=shutil.ignore_patterns("__pycache__")
    )
    for name in os.listdir(SITE):
        if re.match(r"vq-[^-]+\.dist-info$", name):
            shutil.copytree(os.path.join(SITE, name), str(site / name))
    beside = str(site / "vq" / "csdk" / "libvq3-c.so")
    tiny_library(beside)
    return str(site), beside, digest(beside)


def test_c_sdk_alone_binds_to_the_other_library(swapped):
    site, beside, _ = swapped
    out = python(
        BOUND
        + """
import vq.csdk.c_sdk
print(bound_library(vq.csdk.c_sdk.__file__))
""",
        env={"PYTHONPATH": site},
        cwd=site,
    )
    assert out.stdout.strip() == beside, out.stdout


def test_the_kit_after_c_sdk_bound_elsewhere_says_what_to_do(swapped):
    site, beside, _ = swapped
    out = python(
        """
        import vq.csdk.c_sdk
        try:
            import vq.csdk.testing
        except ImportError as exc:
            print(type(exc).__name__, exc)
        """,
        env={"PYTHONPATH": site},
        cwd=site,
    )
    assert out.stdout.startswith("BindingError vq.csdk.c_sdk is already bound to " + beside)
    assert "not the stand-in" in out.stdout
    assert "Import vq.csdk.testing before" in out.stdout


def test_the_kit_first_binds_to_its_copy_and_warns_once(swapped):
    # outside pytest: a script that imports the kit is simulated, and says so
    site, beside, _ = swapped
    out = python(
        """
        import warnings
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            import vq.csdk.testing as kit
            from vq.csdk.testing._library import activate
            activate()
        from vq.csdk import c_sdk
        kit.reset(); c_sdk.py_vqi_stop()
        print(kit.bound_library()); print(kit.calls())
        for w in seen:  # pointing at the import
            print("vq/csdk" not in w.filename, w.lineno, w.category.__name__, w.message)
        """,
        env={"PYTHONPATH": site},
        cwd=site,
    )
    kit_copy = os.path.join(site, "vq", "csdk", "testing", "libvq3-c.so")
    assert out.stdout.splitlines() == [
        kit_copy,
        "[Call(name='vqi_stop', args=())]",
        "True 5 StandinWarning vq.csdk.testing binds vq.csdk.c_sdk to its stand-in library %s, not to "
        "the library beside the module %s: every library call in this process is simulated. "
        "Import vq.csdk.testing only in tests." % (kit_copy, beside),
    ], out.stdout


def test_the_examples_pass_with_another_library_beside_the_module(swapped):
    site, beside, before = swapped
    out = run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            os.path.join(ROOT, "examples"),
        ],
        env={"PYTHONPATH": site},
        cwd=site,
    )
    assert out.returncode == 0, out.stdout
    # the examples' tests that start other processes skip: those load the other library
    assert re.search(r"\b6 passed, 3 skipped\b", out.stdout), out.stdout
    assert digest(beside) == before


# ---- the plugin in a user's own project -------------------------------------------------

# A user's test module: what of vq the run imported and which libraries it
# mapped before the module imports c_sdk, then the library c_sdk calls.
PROJECT_TEST = (
    BOUND
    + """
import json, sys
before = sorted(m for m in sys.modules if m.split(".")[0] == "vq")
with open("/proc/self/maps") as maps:
    mapped = sorted({l.split(None, 5)[-1].strip() for l in maps if "libvq3-c.so" in l})
from vq.csdk import c_sdk

def test_report():
    with open(os.environ["VQ_REPORT"], "w") as f:
        bound = bound_library(c_sdk.__file__)
        # only a stand-in has a version text (the other library's functions are no-ops)
        version = c_sdk.vqi_get_c_version().decode() if "/testing/" in bound else None
        json.dump({"vq": before, "mapped": mapped, "bound": bound, "version": version}, f)
"""
)

OPT_IN = "vq_csdk_standin = true\n"
# (files of the project, pytest arguments, PYTEST_ADDOPTS, bound to the stand-in)
CONFIGURATIONS = {
    "nothing configured": ({}, [], "", False),
    "pytest.ini": ({"pytest.ini": "[pytest]\n" + OPT_IN}, [], "", True),
    "pyproject.toml": ({"pyproject.toml": "[tool.pytest.ini_options]\n" + OPT_IN}, [], "", True),
    "setup.cfg": ({"setup.cfg": "[tool:pytest]\n" + OPT_IN}, [], "", True),
    "tox.ini": ({"tox.ini": "[pytest]\n" + OPT_IN}, [], "", True),
    "--vq-standin": ({}, ["--vq-standin"], "", True),
    "PYTEST_ADDOPTS": ({}, [], "--vq-standin", True),
    "--no-vq-standin over the ini": (
        {"pytest.ini": "[pytest]\n" + OPT_IN},
        ["--no-vq-standin"],
        "",
        False,
    ),
}


def run_project(tmp_path, files, args=(), addopts="", site=None):
    """pytest in a project of its own in tmp_path, with the installed
    package or the copy in site."""
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    env = {"PYTEST_ADDOPTS": addopts, "VQ_REPORT": str(tmp_path / "report.json")}
    if site:
        env["PYTHONPATH"] = site
    cmd = [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-rA", *list(args)]
    return run(cmd, env=env, cwd=str(tmp_path))


# every way with another library beside the module; with the shipped
# stand-in there, whose copy the kit also holds, the binding by path
SHIPPED = ["nothing configured", "pytest.ini", "--vq-standin", "--no-vq-standin over the ini"]


@pytest.mark.parametrize(
    ("configuration", "library"),
    [(c, "another library") for c in sorted(CONFIGURATIONS)]
    + [(c, "shipped stand-in") for c in SHIPPED],
)
def test_the_plugin_binds_the_stand_in_only_when_the_project_opts_in(
    tmp_path, request, library, configuration
):
    files, args, addopts, standin = CONFIGURATIONS[configuration]
    if library == "another library":
        site, beside, _ = request.getfixturevalue("swapped")
    else:
        site, beside = None, os.path.join(os.path.dirname(c_sdk.__file__), "libvq3-c.so")
    kit_copy = os.path.join(os.path.dirname(beside), "testing", "libvq3-c.so")
    project = tmp_path / "project"
    project.mkdir()
    out = run_project(project, dict(files, **{"test_user.py": PROJECT_TEST}), args, addopts, site)
    assert out.returncode == 0, out.stdout
    with open(str(project / "report.json")) as f:
        report = json.load(f)
    header = [line for line in out.stdout.splitlines() if line.startswith("vq-csdk:")]
    assert "StandinWarning" not in out.stdout
    if standin:
        assert report["bound"] == kit_copy
        assert report["version"].startswith("vq3-c offline stand-in " + vq.__version__)
        assert header == [
            "vq-csdk: vq.csdk.c_sdk is bound to %s: %s" % (kit_copy, report["version"])
        ]
    else:
        # inert: the plugin module and its parents, nothing bound or loaded
        assert report == {
            "vq": ["vq", "vq.csdk", "vq.csdk.pytest_plugin"],
            "mapped": [],
            "bound": beside,
            "version": None,
        }
        assert header == []


NEEDS_THE_STANDIN = """
import pytest

def test_fixture(vq_standin):
    pass

@pytest.mark.vq_market
def test_market_marker():
    pass

@pytest.mark.vq_replay("bars.csv", frequency="1d")
def test_replay_marker():
    pass

def test_plain():
    pass
"""


def test_asking_for_the_stand_in_without_opting_in_fails_only_those_tests(tmp_path):
    out = run_project(tmp_path, {"test_needs.py": NEEDS_THE_STANDIN})
    assert out.returncode == 1, out.stdout
    assert re.search(r"\b1 passed, 3 errors in\b", out.stdout), out.stdout
    assert "PASSED test_needs.py::test_plain" in out.stdout
    message = (
        "this test asks for the vq.csdk.testing stand-in library, but the run did not opt in: "
        "set the ini key `vq_csdk_standin = true` (pytest.ini, pyproject.toml "
        "[tool.pytest.ini_options], setup.cfg or tox.ini) or pass --vq-standin"
    )
    # each error is that one line, without a traceback
    for name in ("test_fixture", "test_market_marker", "test_replay_marker"):
        assert re.search(r"ERROR at setup of %s _+\n%s\n" % (name, re.escape(message)), out.stdout)
    # (the summary lines may quote it too: pytest does not shorten them under CI)
    assert out.stdout.splitlines().count(message) == 3, out.stdout
    assert "Traceback" not in out.stdout
    assert "vq-csdk:" not in out.stdout


# ---- scripting ----------------------------------------------------------------------------

SCRIPTED = [
    ("status", "vqi_init", {"status": 7}, lambda: c_sdk.vqi_init(), 7),
    ("value", "vqi_now", {"value": 2**40 + 3}, lambda: c_sdk.vqi_now(), 2**40 + 3),
    ("number", "vqi_now_plus", {"number": 2.5}, lambda: c_sdk.vqi_now_plus(), 2.5),
    ("text", "vqi_get_c_version", {"text": "9.9"}, lambda: c_sdk.vqi_get_c_version(), b"9.9"),
    ("text NULL", "vqi_get_c_version", {"text": None}, lambda: c_sdk.vqi_get_c_version(), None),
    (
        "response bytes",
        "vqi_get_orders_pb",
        {"response": b"\x00raw"},
        lambda: c_sdk.py_vqi_get_orders(b""),
        (0, b"\x00raw"),
    ),
    (
        "response dict",
        "vqi_get_orders_pb",
        {"response": {"a": [1]}},
        lambda: c_sdk.py_vqi_get_orders(b""),
        (0, b'{"a": [1]}'),
    ),
    (
        "response and status",
        "vqi_get_orders_pb",
        {"response": "x", "status": 5},
        lambda: c_sdk.py_vqi_get_orders(b""),
        (5, None),
    ),
]


@pytest.mark.parametrize(
    ("fn", "kwargs", "call", "want"), [pytest.param(*row[1:], id=row[0]) for row in SCRIPTED]
)
def test_every_kind_of_script(standin, fn, kwargs, call, want):
    standin.script(fn, **kwargs)
    assert call() == want


BAD_SCRIPTS = [
    ("vqi_init", {"status": "1"}, TypeError, "status must be an int"),
    ("vqi_init", {"status": True}, TypeError, "status must be an int"),
    ("vqi_init", {"status": 2**31}, OverflowError, "does not fit in 32 bits"),
    ("vqi_init", {"status": 1, "value": 1}, TypeError, "not both"),
    ("vqi_now_plus", {"number": "2.5"}, TypeError, "number must be a real number"),
    ("vqi_get_c_version", {"text": 5}, TypeError, "text must be str or bytes"),
    ("vqi_get_orders_pb", {"status": 1, "response": 5}, TypeError, "response must be str or"),
    ("vqi_get_orders_pb", {}, TypeError, "nothing to script"),
    ("vqi_get_order", {"status": 1}, KeyError, "did you mean vqi_get_orders_pb"),
]


@pytest.mark.parametrize(("fn", "kwargs", "exc", "text"), BAD_SCRIPTS)
def test_bad_scripts_raise_and_script_nothing(standin, fn, kwargs, exc, text):
    with pytest.raises(exc, match=re.escape(text)):
        standin.script(fn, **kwargs)
    # nothing was scripted, not even the good values given alongside
    assert (c_sdk.vqi_init(), c_sdk.py_vqi_get_orders(b"")) == (0, (0, b""))


def test_unknown_function_error_is_a_key_error_with_a_plain_message(standin):
    with pytest.raises(kit.UnknownFunctionError) as info:
        standin.script("no_such_function", status=1)
    assert isinstance(info.value, KeyError)
    assert str(info.value) == "'no_such_function' is no function of the trading library"


def test_the_name_list_is_the_header(standin):
    from vq.csdk.testing._names import LIBRARY_FUNCTIONS

    assert list(LIBRARY_FUNCTIONS) == sorted(set(LIBRARY_FUNCTIONS))
    with open(os.path.join(ROOT, "src", "vq", "csdk", "include", "vqcsdk.h")) as f:
        names = set(re.findall(r"^VQ_API\b[^(]*?\b(\w+)\s*\(", f.read(), re.M))
    assert set(LIBRARY_FUNCTIONS) == names


# ---- events and the call log ----------------------------------------------------------------


@pytest.mark.parametrize(
    ("payload", "delivered"),
    [({"k": 1}, b'{"k": 1}'), ("é", "é".encode()), (b"\x00\x01", b"\x00\x01"), (None, b"")],
)
def test_queued_events_are_delivered(standin, payload, delivered):
    seen = []
    c_sdk.py_vqi_set_data_callback(lambda t, p: seen.append((t, p)))
    standin.queue_event("tick", payload, count=3)
    assert standin.pending() == 3
    c_sdk.vqi_poll()
    assert seen == [("tick", delivered)] * 3
    assert (standin.pending(), standin.delivered(), standin.dropped()) == (0, 3, 0)


def test_bad_events_raise(standin):
    with pytest.raises(ValueError, match="count must be at least 1"):
        standin.queue_event("bar", b"", count=0)
    with pytest.raises(TypeError, match="payload must be str or bytes"):
        standin.queue_event("bar", 3.5)
    assert standin.pending() == 0


def test_calls_and_assertions(standin):
    c_sdk.py_vqi_set_account_id(b"acc")
    c_sdk.py_vqi_get_orders(b"{}")
    c_sdk.py_vqi_get_orders(b'{"x":1}')
    assert [c.name for c in standin.calls()] == [
        "vqi_set_account_id",
        "vqi_get_orders_pb",
        "vqi_get_orders_pb",
    ]
    assert standin.last_call("vqi_get_orders_pb").args == (b'{"x":1}', 7)
    standin.assert_called_with("vqi_get_orders_pb", '{"x":1}', 7)
    with pytest.raises(AssertionError, match="last call was"):
        standin.assert_called_with("vqi_get_orders_pb", b"{}", 2)
    with pytest.raises(AssertionError, match="expected only"):
        standin.assert_called("vqi_set_account_id", "acc")
    standin.assert_not_called("vqi_place_order_pb")
    with pytest.raises(AssertionError, match="expected no call of vqi_get_orders_pb"):
        standin.assert_not_called("vqi_get_orders_pb")


def test_assert_called_tells_ints_floats_and_bools_apart(standin):
    c_sdk.py_vqi_set_timer(5)
    standin.assert_called("vqi_set_timer", 5)
    for wrong in (5.0, True, 6):
        with pytest.raises(AssertionError):
            standin.assert_called("vqi_set_timer", wrong)
    standin.reset()
    standin.assert_not_called()


def test_the_call_log_is_bounded(standin):
    assert standin.call_cap() == kit.DEFAULT_CALL_CAP
    standin.recording(True, cap=4)
    for i in range(10):
        c_sdk.py_vqi_set_timer(i)
    assert [c.args for c in standin.calls()] == [(6,), (7,), (8,), (9,)]
    assert standin.calls_dropped() == 6
    standin.recording(True, cap=2)  # shrinking drops the oldest at once
    assert [c.args for c in standin.calls()] == [(8,), (9,)]
    assert standin.calls_dropped() == 8
    standin.recording(False)
    c_sdk.py_vqi_set_timer(99)
    assert len(standin.calls()) == 2
    assert standin.calls_dropped() == 8
    standin.reset()
    assert (standin.call_cap(), standin.calls_dropped(), standin.calls()) == (
        kit.DEFAULT_CALL_CAP,
        0,
        [],
    )
    with pytest.raises(ValueError, match="cap must be an int >= 0"):
        standin.recording(True, cap=-1)


# ---- replay -------------------------------------------------------------------------------


class Market:
    """Collects the events of a backtest run."""

    def __init__(self):
        self.seen = []
        c_sdk.py_vqi_set_data_callback(lambda t, p: self.seen.append((t, json.loads(p))))

    def run(self, start, end, subscriptions, cash=1e6):
        assert backtest_config(c_sdk, start, end, cash) == 0
        c_sdk.py_vqi_unsubscribe("*", "*")
        for symbol, frequency in subscriptions:
            assert c_sdk.py_vqi_subscribe(symbol, frequency, False) == 0
        self.seen = []
        assert c_sdk.py_vqi_run() == 0
        return self

    def of(self, kind):
        return [d for t, d in self.seen if t == kind]


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text).lstrip())
    return str(path)


BARS = """
    symbol,bob,eob,open,high,low,close,volume,amount
    AAA.1,2024-01-02 09:30,2024-01-02 10:30,10,11,9.5,10.5,1000,10300
    BBB.2,2024-01-02 09:30,2024-01-02 10:30,20,20,19,19.5,500,9800
    AAA.1,2024-01-02 10:30,2024-01-02 11:30,10.5,10.5,10,10.2,2000,20500
    AAA.1,2024-01-03 09:30,2024-01-03 10:30,10.2,10.2,10,10.1,100,1010
"""


def test_replay_from_csv_drives_events_and_fills(standin, tmp_path):
    path = write(tmp_path, "bars.csv", BARS)
    series = standin.replay_csv(path, frequency="3600s")
    assert sorted((s.symbol, len(s)) for s in series) == [("AAA.1", 3), ("BBB.2", 1)]
    standin.market(True)
    fills = []

    def on_event(t, p):
        m.seen.append((t, json.loads(p)))
        if t == "bar" and len(m.of("bar")) == 1:
            req = {"symbol": "AAA.1", "side": 1, "volume": 100, "order_type": 2}
            fills.append(json.loads(c_sdk.py_vqi_place_order(json.dumps(req))[1]))

    m = Market()
    c_sdk.py_vqi_set_data_callback(on_event)
    m.run("2024-01-02", "2024-01-03", [("AAA.1", "3600s"), ("BBB.2", "3600s")])
    bars = m.of("bar")
    assert [(b["symbol"], b["eob"], b["close"]) for b in bars] == [
        ("AAA.1", "2024-01-02 10:30:00", 10.5),
        ("BBB.2", "2024-01-02 10:30:00", 19.5),
        ("AAA.1", "2024-01-02 11:30:00", 10.2),
        ("AAA.1", "2024-01-03 10:30:00", 10.1),
    ]
    first = bars[0]
    assert (first["bob"], first["open"], first["high"], first["low"]) == (
        "2024-01-02 09:30:00",
        10,
        11,
        9.5,
    )
    assert (first["volume"], first["amount"], first["frequency"]) == (1000, 10300, "3600s")
    # pre_close: the first day's open, then the previous day's last close
    assert [b["pre_close"] for b in bars if b["symbol"] == "AAA.1"] == [10, 10, 10.2]
    # accepted on the first bar, filled at the open of AAA.1's next bar
    assert fills[0]["status"] == 1
    assert fills[0]["filled_volume"] == 0
    report = m.of("execrpt")[0]
    assert (report["price"], report["created_at"]) == (10.5, "2024-01-02 10:30:00")
    assert m.of("backtest_finished")[0]["bars"] == 4
    again = [e for e in m.run("2024-01-02", "2024-01-03", [("AAA.1", "3600s")]).seen]
    assert [d["close"] for t, d in again if t == "bar"] == [10.5, 10.2, 10.1]


def test_replay_keeps_to_the_range_and_the_walk_serves_other_symbols(standin, tmp_path):
    standin.replay_csv(write(tmp_path, "bars.csv", BARS), frequency="3600s")
    standin.market(True)
    m = Market().run("2024-01-02 10:30", "2024-01-03", [("AAA.1", "3600s"), ("CCC.3", "3600s")])
    bars = m.of("bar")
    assert [b["close"] for b in bars if b["symbol"] == "AAA.1"] == [10.2, 10.1]
    assert len([b for b in bars if b["symbol"] == "CCC.3"]) > 2  # the random walk
    # a fed symbol delivers nothing at a frequency it has no data for
    m.run("2024-01-02", "2024-01-03", [("AAA.1", "60s")])
    assert m.of("bar") == []


def test_replay_from_dicts_and_of_ticks(standin):
    import datetime

    rows = [
        {"created_at": datetime.datetime(2024, 1, 2, 9, 30, 3), "price": 5, "volume": 100},
        {"created_at": "2024-01-02 09:30:06", "price": "5.5", "volume": 300},
        {"created_at": "2024-01-03T09:30:03", "price": 4.5, "volume": 200},
    ]
    standin.replay_rows(rows, frequency="tick", symbol="T.1")
    standin.market(True)
    ticks = Market().run("2024-01-02", "2024-01-03", [("T.1", "tick")]).of("tick")
    got = [
        (t["created_at"][11:], t["price"], t["high"], t["low"], t["cum_volume"], t["pre_close"])
        for t in ticks
    ]
    assert got == [
        ("09:30:03", 5, 5, 5, 100, 5),
        ("09:30:06", 5.5, 5.5, 5, 400, 5),
        ("09:30:03", 4.5, 4.5, 4.5, 200, 5.5),
    ]
    assert ticks[1]["cum_amount"] == 5 * 100 + 5.5 * 300
    assert ticks[1]["last_amount"] == 1650


def test_an_order_on_a_replayed_tick_fills_at_the_next_tick(standin):
    rows = [
        {"created_at": "2024-01-02 09:30:03", "price": 5, "volume": 100},
        {"created_at": "2024-01-02 09:30:06", "price": 5.5, "volume": 300},
    ]
    standin.replay_rows(rows, frequency="tick", symbol="T.1")
    standin.market(True)
    m = Market()

    def on_event(t, p):
        m.seen.append((t, json.loads(p)))
        if t == "tick" and len(m.of("tick")) == 1:
            req = {"symbol": "T.1", "side": 1, "volume": 100, "order_type": 2}
            c_sdk.py_vqi_place_order(json.dumps(req))

    c_sdk.py_vqi_set_data_callback(on_event)
    m.run("2024-01-02", "2024-01-02", [("T.1", "tick")])
    assert [t for t, _ in m.seen] == ["tick", "execrpt", "tick", "backtest_finished"]
    report = m.of("execrpt")[0]
    assert (report["price"], report["created_at"]) == (5.5, "2024-01-02 09:30:06")


def test_reset_forgets_replayed_data(standin, tmp_path):
    aaa = [line.replace("AAA.1,", "", 1) for line in BARS.splitlines() if "BBB" not in line]
    aaa[1] = aaa[1].replace("symbol,", "")
    series = standin.replay_csv(write(tmp_path, "AAA.1.csv", "\n".join(aaa)), frequency="3600s")
    assert [(s.symbol, len(s)) for s in series] == [("AAA.1", 3)]  # named after the file
    standin.reset()
    standin.market(True)
    bars = Market().run("2024-01-02", "2024-01-02", [("AAA.1", "3600s")]).of("bar")
    assert len(bars) == 4
    assert 10.5 not in [b["close"] for b in bars]


HEADER = "symbol,eob,open,high,low,close,volume\n"
GOOD = "A.1,2024-01-02 10:00,10,11,9,10,100\n"
BAD_CSV = [
    (
        "missing column",
        "symbol,eob,open,high,low,volume\n" + "A.1,2024-01-02,1,1,1,1\n",
        1,
        "close",
        "missing column",
    ),
    (
        "unparsable number",
        HEADER + GOOD + "A.1,2024-01-02 11:00,10,1x,9,10,100\n",
        3,
        "high",
        "'1x' is not a number",
    ),
    (
        "unsorted times",
        HEADER + GOOD + "A.1,2024-01-02 09:00,10,11,9,10,100\n",
        3,
        "eob",
        "not increasing",
    ),
    ("equal times", HEADER + GOOD + GOOD, 3, "eob", "not after the row at line 2"),
    (
        "unknown symbol",
        HEADER + GOOD + "B.2,2024-01-02 11:00,10,11,9,10,100\n",
        3,
        "symbol",
        "unknown symbol 'B.2'",
    ),
    ("bad time", HEADER + "A.1,2024-13-02 10:00,10,11,9,10,100\n", 2, "eob", "is not a time"),
    (
        "low above close",
        HEADER + "A.1,2024-01-02 10:00,10,11,10.5,10,100\n",
        2,
        "low",
        "does not hold",
    ),
    (
        "fractional volume",
        HEADER + "A.1,2024-01-02 10:00,10,11,9,10,1.5\n",
        2,
        "volume",
        "whole number",
    ),
    ("empty cell", HEADER + "A.1,2024-01-02 10:00,10,,9,10,100\n", 2, "high", "missing value"),
    ("short row", HEADER + "A.1,2024-01-02 10:00,10\n", 2, None, "3 fields where the header has 7"),
]


@pytest.mark.parametrize(
    ("text", "line", "column", "message"), [pytest.param(*r[1:], id=r[0]) for r in BAD_CSV]
)
def test_bad_csv_names_file_line_and_column_and_loads_nothing(
    standin, tmp_path, text, line, column, message
):
    good = write(tmp_path, "good.csv", HEADER + "A.1,2024-01-02 09:45,10,12,9,12,100\n")
    bad = write(tmp_path, "bad.csv", text)
    with pytest.raises(kit.ReplayError) as info:
        standin.replay_csv(good, bad, frequency="3600s", symbols=["A.1"])
    err = info.value
    assert (err.source, err.line, err.column) == ("bad.csv", line, column)
    assert str(err).startswith("bad.csv, line %d" % line)
    assert message in str(err)
    standin.market(True)  # the good file was not loaded either: the walk serves A.1
    closes = [
        b["close"] for b in Market().run("2024-01-02", "2024-01-02", [("A.1", "3600s")]).of("bar")
    ]
    assert len(closes) == 4
    assert 12 not in closes


def test_bad_rows_name_the_item_and_key(standin):
    rows = [{"eob": "2024-01-02", "open": 1, "high": 1, "low": 1, "close": 1, "volume": 1}]
    with pytest.raises(kit.ReplayError, match=r"^rows, item 1, key 'close': True is not a number"):
        standin.load_rows(
            [*rows, dict(rows[0], eob="2024-01-03", close=True)], frequency="1d", symbol="S"
        )
    with pytest.raises(kit.ReplayError, match="no frequency column and no frequency= given"):
        standin.load_rows(rows, symbol="S")
    with pytest.raises(ValueError, match="frequency '7s' is not one the market takes"):
        standin.load_rows(rows, frequency="7s", symbol="S")


@pytest.mark.skipif(
    "ASAN_OPTIONS" in os.environ, reason="AddressSanitizer keeps freed memory in quarantine"
)
def test_a_long_run_keeps_the_call_log_within_its_cap():
    # 300000 calls, recorded with a cap of 1000: the process does not grow
    # with the calls (without the cap it would by some 50 MB)
    out = python("""
        import vq.csdk.testing as kit
        from vq.csdk import c_sdk

        def rss_mb():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096 / 2**20

        kit.reset()
        kit.recording(True, cap=1000)
        for _ in range(2000):
            c_sdk.py_vqi_get_cash(b"{}")
        before = rss_mb()
        for _ in range(300000):
            c_sdk.py_vqi_get_cash(b"{}")
        print(len(kit.calls()), kit.calls_dropped(), rss_mb() - before < 8)
    """)
    assert out.stdout.split() == ["1000", "301000", "True"], out.stdout
