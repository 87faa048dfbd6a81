"""ctypes access to the stand-in libvq3-c.so's control surface.

Tests script what the library returns, queue events for it to deliver and
read back the calls it saw.  The handle is the very library the extension
module loaded, so what the extension does shows up here.  Without the
package, VQ_STANDIN_LIB may name a built libvq3-c.so to test it alone.
"""

import ctypes
import importlib.util
import os
import subprocess

__all__ = [
    "lib",
    "lib_path",
    "reset",
    "recording",
    "market",
    "calls",
    "last_call",
    "assert_called",
    "assert_not_called",
    "script",
    "queue_event",
    "pending",
    "delivered",
    "dropped",
    "thread_start",
    "thread_join",
    "thread_delivered",
    "exported_symbols",
]

NULL, TEXT, BYTES, INT, DOUBLE, BOOL = range(6)
SONAME = "libvq3-c.so"


def _mapped_path():
    """Path of the libvq3-c.so mapped into this process, if any."""
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                path = line.split(None, 5)[-1].strip()
                if os.path.basename(path) == SONAME:
                    return path
    except OSError:
        pass
    return None


def _locate():
    try:
        import vq.csdk.c_sdk as c_sdk
    except ImportError as exc:
        path = os.environ.get("VQ_STANDIN_LIB")
        if not path:
            raise ImportError(
                "vq.csdk.c_sdk cannot be imported (%s) and VQ_STANDIN_LIB is not set" % exc
            ) from exc
        if not os.path.isfile(path):
            raise ImportError("VQ_STANDIN_LIB=%s is not a file" % path) from exc
        return os.path.abspath(path)
    # the extension finds the library in its own directory once installed;
    # in a build tree it may come from elsewhere, so trust the mapping first
    return _mapped_path() or os.path.join(os.path.dirname(c_sdk.__file__), SONAME)


lib_path = _locate()
lib = ctypes.CDLL(lib_path)
# The same library through calls that keep the interpreter lock (ctypes.CDLL
# lets go of it for each call).  Used for calls that never wait, so that a
# delivery thread of the library cannot run Python code in between.
lib_locked = ctypes.PyDLL(lib_path)


def _load_surface():
    """The testing kit's table of control signatures, loaded from its file:
    importing the kit would bind c_sdk on its own terms, and without the
    package the source tree's copy serves."""
    try:
        here = importlib.util.find_spec("vq.csdk").submodule_search_locations[0]
    except ImportError:
        here = os.path.join(
            os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "vq", "csdk"
        )
    path = os.path.join(here, "testing", "_surface.py")
    spec = importlib.util.spec_from_file_location("_standin_surface", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# calls that never wait, so that a delivery thread cannot run Python code in between
_LOCKED = ("queue_event", "thread_start", "thread_delivered")
_c = ctypes
_f = _load_surface().declare_all(lib, **dict.fromkeys(_LOCKED, lib_locked))


def _b(text):
    return text.encode("utf-8") if isinstance(text, str) else text


def reset():
    """Forget calls, scripts, events and the offline market, switching the
    market off; the registered callback stays."""
    _f.reset()


def recording(on):
    _f.set_recording(1 if on else 0)


def market(on):
    """Switch the offline market on or off (reset and script switch it off)."""
    _f.set_market(1 if on else 0)


def _arg(i, j):
    kind = _f.arg_kind(i, j)
    if kind == NULL:
        return None
    if kind in (TEXT, BYTES):
        data = _c.c_void_p()
        n = _f.arg_bytes(i, j, _c.byref(data))
        return _c.string_at(data.value, n) if n > 0 else b""
    if kind == INT:
        return _f.arg_int(i, j)
    if kind == BOOL:
        return bool(_f.arg_int(i, j))
    if kind == DOUBLE:
        return _f.arg_double(i, j)
    raise AssertionError("call %d argument %d has unknown kind %d" % (i, j, kind))


def calls():
    """Every recorded call since reset, as (name, args)."""
    out = []
    for i in range(_f.call_count()):
        name = _f.call_name(i).decode("ascii")
        out.append((name, tuple(_arg(i, j) for j in range(_f.call_argc(i)))))
    return out


def last_call():
    recorded = calls()
    return recorded[-1] if recorded else None


def _typed(value):
    # True == 1 == 1.0 in Python, but they are different arguments in C;
    # float.hex also tells -0.0 from 0.0 and lets NaN equal itself
    if isinstance(value, float):
        return ("float", value.hex())
    return (type(value).__name__, value)


def _shape(recorded):
    return [(name, [_typed(a) for a in args]) for name, args in recorded]


def assert_called(name, *args):
    """Exactly one call since reset: name with exactly these arguments."""
    recorded = calls()
    want = [(name, args)]
    if _shape(recorded) != _shape(want):
        raise AssertionError("expected only %r, recorded %r" % (want[0], recorded))


def assert_not_called():
    recorded = calls()
    if recorded:
        raise AssertionError("expected no library call, recorded %r" % (recorded,))


_UNSET = object()


def script(
    fn, status=None, value=None, dvalue=None, text=_UNSET, response=_UNSET, response_len=None
):
    """Script what library function fn returns, until reset.

    status/value: int result (value for vqi_now); dvalue: vqi_now_plus;
    text: a text result or the vqi_get_serv_addr address, None for NULL;
    response: bytes, or None for a NULL response whose length is
    response_len (which may be negative).
    """
    name = _b(fn)
    done = []

    def check(rc):
        if rc != 0:
            raise KeyError("no library function named %r" % (fn,))
        done.append(True)

    if status is not None and value is not None:
        raise TypeError("give status or value, not both")
    if status is not None or value is not None:
        check(_f.script_int(name, status if status is not None else value))
    if dvalue is not None:
        check(_f.script_double(name, dvalue))
    if text is not _UNSET:
        check(_f.script_text(name, None if text is None else _b(text)))
    if response is not _UNSET:
        if response is None:
            check(_f.script_response(name, None, response_len or 0))
        else:
            n = len(response) if response_len is None else response_len
            if n > len(response):
                raise ValueError("response_len %d exceeds the %d bytes given" % (n, len(response)))
            check(_f.script_response(name, bytes(response), n))
    if not done:
        raise TypeError("script(%r) given nothing to script" % (fn,))


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


def pending():
    return _f.pending_events()


def delivered():
    return _f.events_delivered()


def dropped():
    return _f.events_dropped()


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
