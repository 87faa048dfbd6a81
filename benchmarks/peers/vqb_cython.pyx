# cython: language_level=3
# The benchmarked operations written with Cython: def wrappers over the C
# library, the adapter as a Python closure, the record as a Python class.
from cpython.bytes cimport PyBytes_AS_STRING
from cpython.bytearray cimport PyByteArray_AS_STRING

from vq.constant import CSDK_OPERATE_SUCCESS

cdef extern from "vqcsdk.h":
    ctypedef void (*EventCallback)(const char *msg_type, const void *data, int data_len)
    int c_vqi_poll "vqi_poll"()
    void vqi_set_event_callback_pb(EventCallback callback)
    int vqi_get_parameters_pb(const char *req, int req_len, const char **res, int *res_len)
    int vqi_get_orders_pb(const char *req, int req_len, const char **res, int *res_len)
    int vqi_set_backtest_config(const char *start_time, const char *end_time,
                                double initial_cash, double transaction_ratio,
                                double commission_ratio, double commission_unit,
                                double slippage_ratio, double option_float_margin_ratio1,
                                double option_float_margin_ratio2, int adjust,
                                int match_mode, int check_cache)

ctypedef int (*query_fn)(const char *, int, const char **, int *)

include "pyadapter.py"


# ---- queries ----------------------------------------------------------------

cdef object query(query_fn fn, object req):
    cdef Py_ssize_t req_len = len(req)
    cdef const char *p
    if isinstance(req, bytearray):
        p = PyByteArray_AS_STRING(req)
    elif isinstance(req, bytes):
        p = PyBytes_AS_STRING(req)
    else:
        raise TypeError("a bytes-like object is required, not '%s'" % type(req).__name__)
    cdef const char *res = NULL
    cdef int res_len = 0
    cdef int status = fn(p, <int>req_len, &res, &res_len)
    if status == CSDK_OPERATE_SUCCESS:
        return status, res[:res_len]
    return status, None


def py_vqi_get_parameters(req, /):
    return query(vqi_get_parameters_pb, req)


def py_vqi_get_orders(req, /):
    return query(vqi_get_orders_pb, req)


py_vqi_get_orders = adapt_to_python3(py_vqi_get_orders)


# ---- backtest config ----------------------------------------------------------

def py_vqi_set_backtest_config(start_time, end_time, double initial_cash,
                               double transaction_ratio, double commission_ratio,
                               double commission_unit, double slippage_ratio,
                               double option_float_margin_ratio1,
                               double option_float_margin_ratio2, int adjust,
                               int match_mode, int check_cache):
    cdef const char *start = start_time
    cdef const char *end = end_time
    return vqi_set_backtest_config(start, end, initial_cash, transaction_ratio,
                                   commission_ratio, commission_unit, slippage_ratio,
                                   option_float_margin_ratio1, option_float_margin_ratio2,
                                   adjust, match_mode, check_cache)


py_vqi_set_backtest_config = adapt_to_python3(py_vqi_set_backtest_config)


# ---- events -------------------------------------------------------------------

cdef void callback_wrapper(const char *msg_type, const void *data, int data_len) noexcept:
    if IS_PY2:
        message_type = <bytes>msg_type
    else:
        message_type = msg_type.decode('utf-8')
    f(message_type, (<const char *>data)[:data_len])


def py_vqi_set_data_callback(pythonf, /):
    global f
    f = pythonf
    vqi_set_event_callback_pb(callback_wrapper)


def vqi_poll():
    return c_vqi_poll()


# ---- the tick record ------------------------------------------------------------

# The record classes are the plain Python ones, compiled here by Cython.
include "pyrecords.py"
