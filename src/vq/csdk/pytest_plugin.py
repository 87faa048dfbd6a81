"""The pytest plugin ``vq-csdk`` (entry point group ``pytest11``).

Installed with the package, it is inert until a project asks for it: it
only adds its options, its ini key and its markers, imports nothing of the
kit and binds nothing, so ``vq.csdk.c_sdk`` loads the library beside the
module.  A project opts in with the ini key ``vq_csdk_standin = true``
(``pytest.ini``, ``[tool.pytest.ini_options]`` in ``pyproject.toml``,
``setup.cfg``, ``tox.ini``) or the flag ``--vq-standin`` (also through
``PYTEST_ADDOPTS``); ``--no-vq-standin`` overrides the ini for one run.

Once opted in, it binds ``c_sdk`` to the stand-in before pytest imports any
conftest or test module, names the bound library in the report header, and
gives each test that asks for it the fixture ``vq_standin``: the
:mod:`vq.csdk.testing` module, reset before and after the test.

Markers, read by ``vq_standin``:

- ``@pytest.mark.vq_market``: the offline market is switched on.
- ``@pytest.mark.vq_replay("bars.csv", frequency="60s")``: the CSV files
  (relative to the test file) are replayed on the market, which is
  switched on; keywords as :func:`vq.csdk.testing.replay_csv`.

Without the opt-in, a test that requests ``vq_standin`` or carries one of
these markers errors with a message saying how to opt in; other tests are
untouched.
"""

import os
import types
from typing import Any, Iterator, List

import pytest

__all__ = [
    "INI_KEY",
    "pytest_addoption",
    "pytest_configure",
    "pytest_load_initial_conftests",
    "pytest_report_header",
    "pytest_runtest_setup",
    "vq_standin",
]

INI_KEY = "vq_csdk_standin"
MARKERS = ("vq_market", "vq_replay")
NOT_OPTED_IN = (
    "this test asks for the vq.csdk.testing stand-in library, but the run did not opt in: "
    "set the ini key `%s = true` (pytest.ini, pyproject.toml [tool.pytest.ini_options], "
    "setup.cfg or tox.ini) or pass --vq-standin" % INI_KEY
)

#: set once a run has opted in, before the kit is imported; the kit reads it
#: to tell a test run that asked for the stand-in from an accidental import
standin_requested = False


def pytest_addoption(parser: Any) -> None:
    group = parser.getgroup("vq-csdk", "vq.csdk testing kit")
    group.addoption(
        "--vq-standin",
        dest="vq_standin",
        action="store_true",
        default=None,
        help="bind vq.csdk.c_sdk to the testing kit's stand-in library (ini: %s)" % INI_KEY,
    )
    group.addoption(
        "--no-vq-standin",
        dest="vq_standin",
        action="store_false",
        help="leave vq.csdk.c_sdk to the library beside it, whatever the ini says",
    )
    parser.addini(
        INI_KEY,
        "bind vq.csdk.c_sdk to the testing kit's stand-in library (default false)",
        type="bool",
        default=False,
    )


def _enabled(config: Any) -> bool:
    # the flags are parsed before the first conftest: known_args_namespace
    # holds them then, config.option only later
    flag = getattr(config.known_args_namespace, "vq_standin", None)
    if flag is None:
        flag = config.getoption("vq_standin", None)
    return bool(config.getini(INI_KEY)) if flag is None else bool(flag)


def _bind() -> None:
    global standin_requested
    standin_requested = True
    import vq.csdk.testing  # noqa: F401


@pytest.hookimpl(tryfirst=True)
def pytest_load_initial_conftests(early_config: Any, parser: Any, args: Any) -> None:
    # before the first conftest, which may import c_sdk
    if _enabled(early_config):
        _bind()


def pytest_configure(config: Any) -> None:
    config.addinivalue_line("markers", "vq_market: vq_standin switches the offline market on")
    config.addinivalue_line(
        "markers",
        "vq_replay(*paths, frequency=None, symbol=None, symbols=None): vq_standin replays "
        "these CSV files (relative to the test file) on the offline market",
    )
    if _enabled(config):  # the plugin registered late, e.g. with -p
        _bind()


def pytest_report_header(config: Any) -> List[str]:
    if not _enabled(config):
        return []
    import vq.csdk.testing as kit
    from vq.csdk import c_sdk

    version = c_sdk.vqi_get_c_version()
    text = version.decode("utf-8", "replace") if version is not None else "no version text"
    return ["vq-csdk: vq.csdk.c_sdk is bound to %s: %s" % (kit.bound_library(), text)]


def pytest_runtest_setup(item: Any) -> None:
    if any(item.get_closest_marker(m) for m in MARKERS) and not _enabled(item.config):
        pytest.fail(NOT_OPTED_IN, pytrace=False)


@pytest.fixture
def vq_standin(request: Any) -> Iterator[types.ModuleType]:
    """The stand-in, reset: no calls, scripts, events or replayed data, the
    call log on and the offline market off (on with the markers)."""
    if not _enabled(request.config):
        pytest.fail(NOT_OPTED_IN, pytrace=False)
    import vq.csdk.testing as kit

    kit.reset()
    if request.node.get_closest_marker("vq_market"):
        kit.market(True)
    for mark in request.node.iter_markers("vq_replay"):
        here = os.path.dirname(str(getattr(request.node, "path", None) or request.node.fspath))
        paths = [os.path.join(here, os.fspath(p)) for p in mark.args]
        kit.replay_csv(*paths, **mark.kwargs)
        kit.market(True)
    yield kit
    kit.reset()
