"""The stand-in's control surface through ctypes: scripts, events, the
call log and the offline market switch."""

import ctypes
import difflib
import json
import math
from typing import Any, Callable, List, Mapping, NamedTuple, Optional, Tuple, Union

from . import _surface
from ._library import activate

_c = ctypes
_lib = activate()

NULL, TEXT, BYTES, INT, DOUBLE, BOOL = range(6)
#: calls the log keeps after reset(); older calls are dropped and counted
DEFAULT_CALL_CAP = 100000

Value = Union[None, bytes, int, float, bool]
BytesLike = Union[bytes, bytearray, memoryview]


def _declare(name: str, restype: Any, *argtypes: Any) -> Callable[..., Any]:
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn  # type: ignore[no-any-return]


_f = _surface.declare_all(_lib)


class UnknownFunctionError(KeyError):
    """A name that is no function of the trading library."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class Call(NamedTuple):
    """One call the library received: its name and its arguments as the
    library saw them (texts and requests as bytes; a request is followed
    by its int length)."""

    name: str
    args: Tuple[Value, ...]


# ---- state -----------------------------------------------------------------------------


def reset() -> None:
    """A fresh stand-in: no calls, scripts or queued events; recording on
    with the default cap; the offline market cleared (replayed data
    included) and switched off.  The registered event callback stays."""
    _f.reset()


def recording(on: bool = True, cap: Optional[int] = None) -> None:
    """Switch the call log on or off; cap bounds it (the newest cap calls
    are kept, older ones dropped and counted by calls_dropped())."""
    _f.set_recording(1 if on else 0)
    if cap is not None:
        if isinstance(cap, bool) or not isinstance(cap, int) or cap < 0:
            raise ValueError("cap must be an int >= 0, not %r" % (cap,))
        _f.set_call_cap(cap)


def call_cap() -> int:
    """How many calls the log keeps."""
    return int(_f.call_cap())


def calls_dropped() -> int:
    """How many calls were dropped from the full log since reset()."""
    return int(_f.calls_dropped())


def market(on: bool = True) -> None:
    """Switch the offline market on or off.  reset() and every script()
    switch it off; switching it on keeps what it was configured with."""
    _f.set_market(1 if on else 0)


# ---- scripting -------------------------------------------------------------------------


def _name(fn: str) -> bytes:
    if not isinstance(fn, str):
        raise TypeError("a library function name is a str, not %s" % type(fn).__name__)
    return fn.encode("ascii", "replace")


def _known(fn: str, rc: int) -> None:
    if rc != 0:
        from ._names import LIBRARY_FUNCTIONS

        near = difflib.get_close_matches(fn, LIBRARY_FUNCTIONS, n=3)
        hint = "; did you mean %s?" % " or ".join(near) if near else ""
        raise UnknownFunctionError("%r is no function of the trading library%s" % (fn, hint))


def _int(what: str, value: Any, bits: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    if not -(2 ** (bits - 1)) <= value < 2 ** (bits - 1):
        raise OverflowError("%s %d does not fit in %d bits" % (what, value, bits))
    return value


def _bytes(what: str, value: Any) -> bytes:
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError("%s must be str or bytes, not %s" % (what, type(value).__name__))


_UNSET: Any = object()


def script(
    fn: str,
    *,
    status: Optional[int] = None,
    value: Optional[int] = None,
    number: Optional[float] = None,
    text: Union[str, bytes, None] = _UNSET,
    response: Union[BytesLike, str, Mapping[str, Any], List[Any], None] = _UNSET,
) -> None:
    """Script what library function fn returns from now until reset().

    status: the int status (most functions); value: the integer result of
    vqi_now; number: the real result of vqi_now_plus; text: a text result
    (None for a NULL pointer); response: the response bytes of a query (a
    str is UTF-8 encoded, a dict or list JSON encoded; None for NULL).
    Scripting switches the offline market off.
    """
    name = _name(fn)
    given = [k for k, v in (("status", status), ("value", value)) if v is not None]
    if len(given) == 2:
        raise TypeError("give status or value, not both")
    steps: List[Callable[[], int]] = []
    if status is not None:
        s = _int("status", status, 32)
        steps.append(lambda: _f.script_int(name, s))
    if value is not None:
        v = _int("value", value, 64)
        steps.append(lambda: _f.script_int(name, v))
    if number is not None:
        if isinstance(number, bool) or not isinstance(number, (int, float)):
            raise TypeError("number must be a real number, not %s" % type(number).__name__)
        d = float(number)
        steps.append(lambda: _f.script_double(name, d))
    if text is not _UNSET:
        t = None if text is None else _bytes("text", text)
        steps.append(lambda: _f.script_text(name, t))
    if response is not _UNSET:
        if isinstance(response, (dict, list)):
            response = json.dumps(response)
        r = None if response is None else _bytes("response", response)
        if r is not None and len(r) > 2**31 - 1:
            raise OverflowError("a response is at most 2 GiB")
        steps.append(lambda: _f.script_response(name, r, 0 if r is None else len(r)))
    if not steps:
        raise TypeError("script(%r) was given nothing to script" % (fn,))
    for step in steps:  # every value was checked before the first is set
        _known(fn, step())


# ---- events ----------------------------------------------------------------------------


def queue_event(
    msg_type: str,
    payload: Union[BytesLike, str, Mapping[str, Any], List[Any], None] = b"",
    count: int = 1,
) -> None:
    """Queue an event for the library to deliver, count times, at the next
    vqi_run / vqi_poll (or after the current event of a market run).  A
    dict or list payload is sent as JSON, a str as UTF-8."""
    kind = _bytes("msg_type", msg_type)
    if isinstance(payload, (dict, list)):
        payload = json.dumps(payload)
    data = None if payload is None else _bytes("payload", payload)
    n = _int("count", count, 64)
    if n < 1:
        raise ValueError("count must be at least 1, not %d" % n)
    _f.queue_event(kind, data, 0 if data is None else len(data), n)


def pending() -> int:
    """Events queued and not yet delivered."""
    return int(_f.pending_events())


def delivered() -> int:
    """Events delivered since reset()."""
    return int(_f.events_delivered())


def dropped() -> int:
    """Queued events dropped because no callback was registered."""
    return int(_f.events_dropped())


# ---- the call log ----------------------------------------------------------------------


def _arg(i: int, j: int) -> Value:
    kind = _f.arg_kind(i, j)
    if kind in (TEXT, BYTES):
        data = _c.c_void_p()
        n = _f.arg_bytes(i, j, _c.byref(data))
        return _c.string_at(data.value, n) if n > 0 and data.value else b""
    if kind == INT:
        return int(_f.arg_int(i, j))
    if kind == BOOL:
        return bool(_f.arg_int(i, j))
    if kind == DOUBLE:
        return float(_f.arg_double(i, j))
    return None


def calls(name: Optional[str] = None) -> List[Call]:
    """The calls recorded since reset(), oldest first; only those of
    library function name if given."""
    out = []
    for i in range(_f.call_count()):
        raw = _f.call_name(i)
        if raw is None:  # dropped meanwhile by another thread
            continue
        fn = raw.decode("ascii")
        if name is None or fn == name:
            out.append(Call(fn, tuple(_arg(i, j) for j in range(_f.call_argc(i)))))
    return out


def last_call(name: Optional[str] = None) -> Optional[Call]:
    """The newest recorded call (of name, if given), or None."""
    recorded = calls(name)
    return recorded[-1] if recorded else None


def _typed(value: Any) -> Tuple[str, Any]:
    # True == 1 == 1.0 in Python but they are different arguments in C;
    # float.hex tells -0.0 from 0.0 and lets NaN equal itself
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else value.hex())
    if isinstance(value, str):
        value = value.encode("utf-8")
    if isinstance(value, (bytearray, memoryview)):
        value = bytes(value)
    return (type(value).__name__, value)


def _same(args: Tuple[Any, ...], want: Tuple[Any, ...]) -> bool:
    return [_typed(a) for a in args] == [_typed(w) for w in want]


def assert_called(name: str, *args: Any) -> None:
    """The library received exactly one call since reset(), name with
    exactly these arguments (str compares as its UTF-8 bytes, and an int
    never equals a float or a bool)."""
    recorded = calls()
    if len(recorded) != 1 or recorded[0].name != name or not _same(recorded[0].args, args):
        raise AssertionError("expected only %s%r, recorded %r" % (name, args, recorded))


def assert_called_with(name: str, *args: Any) -> None:
    """The newest call of name had exactly these arguments."""
    last = last_call(name)
    if last is None:
        raise AssertionError(
            "expected a call of %s, recorded none (of %d calls)" % (name, len(calls()))
        )
    if not _same(last.args, args):
        raise AssertionError("expected %s%r, last call was %s%r" % (name, args, name, last.args))


def assert_not_called(name: Optional[str] = None) -> None:
    """No call at all since reset(), or none of name."""
    recorded = calls(name)
    if recorded:
        raise AssertionError(
            "expected no call%s, recorded %r" % ("" if name is None else " of " + name, recorded)
        )
