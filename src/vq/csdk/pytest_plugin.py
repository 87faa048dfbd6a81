"""The pytest plugin ``vq-csdk`` (entry point group ``pytest11``).

It binds ``vq.csdk.c_sdk`` to the stand-in before pytest imports any
conftest or test module, and gives each test that asks for it the fixture
``vq_standin``: the :mod:`vq.csdk.testing` module, reset before and after
the test.

Markers, read by ``vq_standin``:

- ``@pytest.mark.vq_market``: the offline market is switched on.
- ``@pytest.mark.vq_replay("bars.csv", frequency="60s")``: the CSV files
  (relative to the test file) are replayed on the market, which is
  switched on; keywords as :func:`vq.csdk.testing.replay_csv`.

To run a suite against the real library instead, set the ini option
``vq_csdk_standin = false`` or pass ``-p no:vq-csdk``.
"""

import os
import types
from typing import Any, Iterator

import pytest

__all__ = [
    "pytest_addoption",
    "pytest_configure",
    "pytest_load_initial_conftests",
    "vq_standin",
]


def pytest_addoption(parser: Any) -> None:
    parser.addini(
        "vq_csdk_standin",
        "bind vq.csdk.c_sdk to the testing kit's stand-in library (default true)",
        type="bool",
        default=True,
    )


def _enabled(config: Any) -> bool:
    return bool(config.getini("vq_csdk_standin"))


@pytest.hookimpl(tryfirst=True)
def pytest_load_initial_conftests(early_config: Any, parser: Any, args: Any) -> None:
    # before the first conftest, which may import c_sdk
    if _enabled(early_config):
        import vq.csdk.testing  # noqa: F401


def pytest_configure(config: Any) -> None:
    config.addinivalue_line("markers", "vq_market: vq_standin switches the offline market on")
    config.addinivalue_line(
        "markers",
        "vq_replay(*paths, frequency=None, symbol=None, symbols=None): vq_standin replays "
        "these CSV files (relative to the test file) on the offline market",
    )
    if _enabled(config):
        import vq.csdk.testing  # noqa: F401


@pytest.fixture
def vq_standin(request: Any) -> Iterator[types.ModuleType]:
    """The stand-in, reset: no calls, scripts, events or replayed data, the
    call log on and the offline market off (on with the markers)."""
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
