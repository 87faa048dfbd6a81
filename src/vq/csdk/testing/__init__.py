"""Offline testing of strategies built on ``vq.csdk.c_sdk``.

Importing this module binds ``c_sdk`` to the stand-in trading library that
the package ships in this folder, whatever ``libvq3-c.so`` sits beside the
module (in production, the real library): the stand-in is loaded first, so
``c_sdk`` finds it by its soname when it is imported next.  Import it
before anything imports ``c_sdk`` (the pytest plugin ``vq-csdk`` does that
for you in a run that opts in); if ``c_sdk`` is already bound to a library
that is not a stand-in, the import raises :class:`BindingError`.  Imported
outside such a test run while another library sits beside the module (a
production script that imports the kit by accident), it warns once with
:class:`StandinWarning`, naming both libraries.  :func:`bound_library`
tells which library ``c_sdk`` calls.

The stand-in records the calls it receives, returns what a test scripts,
delivers queued events, and serves an offline market (a deterministic
backtest behind ``vqi_run``, on a random walk or on replayed data; see
:mod:`vq.csdk.testing.replay`).

In a fresh process the call log is off, so long backtests run in flat
memory; :func:`reset` switches it on.  It keeps the newest
:data:`DEFAULT_CALL_CAP` calls and counts the ones it drops.
"""

from ._controls import (
    DEFAULT_CALL_CAP,
    Call,
    UnknownFunctionError,
    assert_called,
    assert_called_with,
    assert_not_called,
    call_cap,
    calls,
    calls_dropped,
    delivered,
    dropped,
    last_call,
    market,
    pending,
    queue_event,
    recording,
    reset,
    script,
)
from ._library import KIT_LIBRARY, BindingError, StandinWarning
from ._library import activate as _activate
from ._library import bound_library as _bound_library
from .replay import ReplayError, Series, clear_replay, load_csv, load_rows, replay_csv, replay_rows

__all__ = [
    "DEFAULT_CALL_CAP",
    "KIT_LIBRARY",
    "BindingError",
    "Call",
    "ReplayError",
    "Series",
    "StandinWarning",
    "UnknownFunctionError",
    "assert_called",
    "assert_called_with",
    "assert_not_called",
    "bound_library",
    "call_cap",
    "calls",
    "calls_dropped",
    "clear_replay",
    "delivered",
    "dropped",
    "last_call",
    "library_path",
    "load_csv",
    "load_rows",
    "market",
    "pending",
    "queue_event",
    "recording",
    "replay_csv",
    "replay_rows",
    "reset",
    "script",
]


def bound_library() -> str:
    """Path of the libvq3-c.so that vq.csdk.c_sdk calls, read from this
    process's mappings: the kit's copy, or whatever library c_sdk was bound
    to before the kit was imported."""
    from vq.csdk import c_sdk

    path = _bound_library(c_sdk.__file__)
    if path is None:
        raise BindingError("cannot tell which libvq3-c.so vq.csdk.c_sdk is bound to")
    return path


def library_path() -> str:
    """Path of the stand-in library that c_sdk and the kit both use."""
    return str(_activate()._name)
