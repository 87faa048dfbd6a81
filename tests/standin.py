"""The tests' access to the stand-in libvq3-c.so: the testing kit's
controls (vq.csdk.testing), plus what only the tests need.

The call log, scripts, the market switch and the event counters are the
kit's own functions.  Added here: scripts the kit refuses (a response
length that disagrees with the bytes, for the module's broken-response
paths), raw events (a NULL type, a length past the data), the library's
own delivery thread, and its symbol table.  The extension is imported
first, so the kit binds to the very library the extension loaded, and what
the extension does shows up here.
"""

import ctypes
import subprocess

import vq.csdk.c_sdk  # noqa: F401  (first: the kit then binds to its library)
from vq.csdk import testing as _kit
from vq.csdk.testing import _controls, _surface

__all__ = [
    "assert_called",
    "assert_not_called",
    "calls",
    "delivered",
    "dropped",
    "exported_symbols",
    "last_call",
    "lib",
    "lib_path",
    "market",
    "pending",
    "queue_event",
    "recording",
    "reset",
    "script",
    "thread_delivered",
    "thread_join",
    "thread_start",
]

lib_path = _kit.library_path()
lib = ctypes.CDLL(lib_path)
# The same library through calls that keep the interpreter lock (ctypes.CDLL
# lets go of it for each call).  Used for calls that never wait, so that a
# delivery thread of the library cannot run Python code in between.
lib_locked = ctypes.PyDLL(lib_path)

# calls that never wait, so that a delivery thread cannot run Python code in between
_LOCKED = ("queue_event", "thread_start", "thread_delivered")
_f = _surface.declare_all(lib, **dict.fromkeys(_LOCKED, lib_locked))

reset = _controls.reset
recording = _controls.recording
market = _controls.market
calls = _controls.calls
last_call = _controls.last_call
assert_called = _controls.assert_called
assert_not_called = _controls.assert_not_called
pending = _controls.pending
delivered = _controls.delivered
dropped = _controls.dropped


def _b(text):
    return text.encode("utf-8") if isinstance(text, str) else text


_UNSET = _controls._UNSET  # "not given", as the kit tells it from None


def script(
    fn, status=None, value=None, dvalue=None, text=_UNSET, response=_UNSET, response_len=None
):
    """The kit's script(), dvalue standing for its number; with
    response_len, the response is set raw: None for a NULL response of
    that length, or the first response_len bytes (the length may be
    negative)."""
    if response_len is None:
        _controls.script(
            fn, status=status, value=value, number=dvalue, text=text, response=response
        )
        return
    if response is not None and response_len > len(response):
        raise ValueError(
            "response_len %d exceeds the %d bytes given" % (response_len, len(response))
        )
    if status is not None or value is not None or dvalue is not None or text is not _UNSET:
        _controls.script(fn, status=status, value=value, number=dvalue, text=text)
    raw = None if response is None else bytes(response)
    _controls._known(fn, _f.script_response(_b(fn), raw, response_len))


def queue_event(msg_type, data, count=1, length=None):
    """Queue an event delivered count times; None types/data arrive as NULL.

    length defaults to len(data) (0 for None); with data None it may be
    anything, negative included."""
    if data is None:
        n = 0 if length is None else length
    else:
        data = bytes(data)
        n = len(data) if length is None else length
        if n > len(data):
            raise ValueError("length %d exceeds the %d bytes given" % (n, len(data)))
    _f.queue_event(None if msg_type is None else _b(msg_type), data, n, count)


def thread_start():
    """Hand the events queued so far to a new thread of the library's own,
    which delivers them.  The interpreter lock is kept meanwhile, so the
    thread's first event waits until this thread lets go of it."""
    if _f.thread_start() != 0:
        raise RuntimeError("the previous delivery thread has not been joined")


def thread_join():
    """Wait for the delivery thread (the interpreter lock is free meanwhile,
    so it can deliver); the number of events it delivered."""
    return _f.thread_join()


def thread_delivered():
    """Events the delivery thread has delivered so far (callbacks returned)."""
    return _f.thread_delivered()


def exported_symbols(path=None):
    """Names of the dynamic symbols the library defines."""
    out = subprocess.check_output(
        ["nm", "-D", "--defined-only", path or lib_path], universal_newlines=True
    )
    names = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 3:
            names.add(fields[2].split("@")[0])
    return names
