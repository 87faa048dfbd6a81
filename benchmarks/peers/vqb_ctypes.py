"""The benchmarked operations in pure Python over ctypes."""

import ctypes
import importlib.util
import os
from ctypes import CFUNCTYPE, POINTER, byref, c_char, c_char_p, c_double, c_int, c_void_p

from pyadapter import IS_PY2, IS_PY3, adapt_to_python3  # noqa: F401
from pyconfig import backtest_config
from pyrecords import TickLikeDict2  # noqa: F401

from vq.constant import CSDK_OPERATE_SUCCESS

# the library installed beside vq.csdk.c_sdk (found without importing it)
_lib = ctypes.CDLL(
    os.path.join(os.path.dirname(importlib.util.find_spec("vq.csdk.c_sdk").origin), "libvq3-c.so")
)


def _text(s):
    # bytes go in place; a bytearray through a char array over its buffer
    if isinstance(s, bytearray):
        return (c_char * len(s)).from_buffer(s) if s else b""
    return s


def _query(fn):
    fn.restype = c_int
    fn.argtypes = [c_char_p, c_int, POINTER(c_void_p), POINTER(c_int)]

    def member(req):
        req_len = len(req)
        if not isinstance(req, (bytes, bytearray)):
            raise TypeError("a bytes-like object is required, not '%s'" % type(req).__name__)
        res = c_void_p()
        res_len = c_int()
        status = fn(_text(req), req_len, byref(res), byref(res_len))
        if status == CSDK_OPERATE_SUCCESS:
            return status, ctypes.string_at(res, res_len.value)
        return status, None

    return member


py_vqi_get_parameters = _query(_lib.vqi_get_parameters_pb)
py_vqi_get_orders = adapt_to_python3(_query(_lib.vqi_get_orders_pb))

_set_backtest_config = _lib.vqi_set_backtest_config
_set_backtest_config.restype = c_int
_set_backtest_config.argtypes = [c_char_p, c_char_p] + [c_double] * 7 + [c_int] * 3


py_vqi_set_backtest_config = backtest_config(_set_backtest_config, _text)

EventCallback = CFUNCTYPE(None, c_char_p, c_void_p, c_int)


@EventCallback
def _callback_wrapper(msg_type, data, data_len):
    f(
        msg_type if IS_PY2 else msg_type.decode('utf-8'),
        ctypes.string_at(data, data_len),
    )


_lib.vqi_set_event_callback_pb.restype = None
_lib.vqi_set_event_callback_pb.argtypes = [EventCallback]


def py_vqi_set_data_callback(pythonf):
    global f
    f = pythonf
    _lib.vqi_set_event_callback_pb(_callback_wrapper)


vqi_poll = _lib.vqi_poll
vqi_poll.restype = c_int
vqi_poll.argtypes = []
