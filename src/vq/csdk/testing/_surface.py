"""ctypes signatures of the stand-in library's control functions.

This module loads no library and imports nothing of the kit, so the
tests' own ctypes access (tests/standin.py) can declare the very same
functions on its handle without binding c_sdk the way the kit does.
"""

import ctypes
import types
from typing import Any, Dict, Tuple

_c = ctypes
_ARG_DATA = _c.POINTER(_c.c_void_p)

#: vqstub_<name>: (restype, *argtypes)
SIGNATURES: Dict[str, Tuple[Any, ...]] = {
    "reset": (None,),
    "set_recording": (None, _c.c_int),
    "set_call_cap": (None, _c.c_longlong),
    "call_cap": (_c.c_longlong,),
    "calls_dropped": (_c.c_longlong,),
    "set_market": (None, _c.c_int),
    "call_count": (_c.c_int,),
    "call_name": (_c.c_char_p, _c.c_int),
    "call_argc": (_c.c_int, _c.c_int),
    "arg_kind": (_c.c_int, _c.c_int, _c.c_int),
    "arg_bytes": (_c.c_int, _c.c_int, _c.c_int, _ARG_DATA),
    "arg_int": (_c.c_longlong, _c.c_int, _c.c_int),
    "arg_double": (_c.c_double, _c.c_int, _c.c_int),
    "script_int": (_c.c_int, _c.c_char_p, _c.c_longlong),
    "script_double": (_c.c_int, _c.c_char_p, _c.c_double),
    "script_text": (_c.c_int, _c.c_char_p, _c.c_char_p),
    "script_response": (_c.c_int, _c.c_char_p, _c.c_char_p, _c.c_int),
    "queue_event": (None, _c.c_char_p, _c.c_char_p, _c.c_int, _c.c_longlong),
    "pending_events": (_c.c_longlong,),
    "events_delivered": (_c.c_longlong,),
    "events_dropped": (_c.c_longlong,),
    "thread_start": (_c.c_int,),
    "thread_join": (_c.c_longlong,),
    "thread_delivered": (_c.c_longlong,),
    "exit_handler": (_c.c_int, _c.c_int, _c.c_int),
    "market_feed": (
        _c.c_int,
        _c.c_char_p,
        _c.c_char_p,
        _c.c_int,
        *(_c.POINTER(t) for t in (_c.c_longlong, _c.c_longlong) + (_c.c_double,) * 4),
        _c.POINTER(_c.c_longlong),
        _c.POINTER(_c.c_double),
    ),
    "csv_load": (
        _c.c_void_p,
        _c.c_int,
        _c.POINTER(_c.c_char_p),
        _c.POINTER(_c.c_char_p),
        _c.c_char_p,
        _c.c_int,
        _c.POINTER(_c.c_char_p),
    ),
    "csv_count": (_c.c_int, _c.c_void_p),
    "csv_series": (
        _c.c_longlong,
        _c.c_void_p,
        _c.c_int,
        _c.POINTER(_c.c_char_p),
        _c.POINTER(_c.c_int),
        _c.POINTER(_c.c_void_p),
    ),
    "market_feed_loaded": (_c.c_int, _c.c_void_p, _c.c_int, _c.c_char_p, _c.c_char_p),
    "csv_free": (None, _c.c_void_p),
}


def declare(handle: Any, name: str) -> Any:
    """vqstub_<name> of handle, with its restype and argtypes set."""
    fn = getattr(handle, "vqstub_" + name)
    fn.restype, *argtypes = SIGNATURES[name]
    fn.argtypes = tuple(argtypes)
    return fn


def declare_all(handle: Any, **handles: Any) -> types.SimpleNamespace:
    """Every control function, as attributes named without the prefix;
    handles may name another handle for some of them (one that keeps the
    interpreter lock, say)."""
    return types.SimpleNamespace(
        **{name: declare(handles.get(name, handle), name) for name in SIGNATURES}
    )
