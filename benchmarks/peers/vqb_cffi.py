"""The benchmarked operations over cffi's compiled module _vqb_cffi: thin
Python wrappers doing the conversions."""

from _vqb_cffi import ffi, lib
from pyadapter import IS_PY2, IS_PY3, adapt_to_python3  # noqa: F401
from pyconfig import backtest_config
from pyrecords import TickLikeDict2  # noqa: F401

from vq.constant import CSDK_OPERATE_SUCCESS


def _query(fn):
    def member(req):
        req_len = len(req)
        if isinstance(req, bytearray):
            p = ffi.from_buffer(req)
        elif isinstance(req, bytes):
            p = req
        else:
            raise TypeError("a bytes-like object is required, not '%s'" % type(req).__name__)
        res = ffi.new("const char **")
        res_len = ffi.new("int *")
        status = fn(p, req_len, res, res_len)
        if status == CSDK_OPERATE_SUCCESS:
            return status, ffi.unpack(res[0], res_len[0])
        return status, None

    return member


py_vqi_get_parameters = _query(lib.vqi_get_parameters_pb)
py_vqi_get_orders = adapt_to_python3(_query(lib.vqi_get_orders_pb))


def _text(s):
    return ffi.from_buffer(s) if isinstance(s, bytearray) else s


py_vqi_set_backtest_config = backtest_config(lib.vqi_set_backtest_config, _text)


@ffi.def_extern()
def callback_wrapper(msg_type, data, data_len):
    message_type = ffi.string(msg_type)
    if not IS_PY2:
        message_type = message_type.decode('utf-8')
    f(message_type, ffi.unpack(ffi.cast("const char *", data), data_len))


def py_vqi_set_data_callback(pythonf):
    global f
    f = pythonf
    lib.vqi_set_event_callback_pb(lib.callback_wrapper)


vqi_poll = lib.vqi_poll
