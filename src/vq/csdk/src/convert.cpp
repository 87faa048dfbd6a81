// Slow and error paths of the conversions, and the shared result builders.
#include "convert.hpp"

#include "namespace.hpp"
#include "ref.hpp"

namespace vq {

bool text_type_error(PyObject *o) {
    // The wording of the interpreter's own bytes conversion.
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
    return false;
}

// A subclass of bytes or bytearray, or anything else.  len(req) comes
// first, as the call's own step: an object without a length fails there,
// and an exception of a subclass's __len__ propagates.  The length may
// shorten the request to a prefix; one beyond the buffer is refused, since
// the library would read memory that is not the request's.
bool request_from_other(PyObject *o, const char *&ptr, int &len, BufferPin &pin) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0)
        return false;
    Py_ssize_t size;
    if (PyBytes_Check(o)) {
        ptr = PyBytes_AS_STRING(o);
        size = PyBytes_GET_SIZE(o);
    } else if (PyByteArray_Check(o)) {
        ptr = pin.pin(o);  // after __len__, which may have resized it
        size = PyByteArray_GET_SIZE(o);
    } else {
        return text_type_error(o);
    }
    if (n > size) {
        PyErr_Format(PyExc_ValueError, "len(req) is %zd but the request holds only %zd bytes", n,
                     size);
        return false;
    }
    if (n > INT_MAX)
        return request_too_long(n);
    len = (int)n;
    return true;
}

bool request_too_long(Py_ssize_t n) {
    PyErr_Format(PyExc_OverflowError,
                 "request of %zd bytes is too long for the library (at most %d bytes)", n, INT_MAX);
    return false;
}

bool int_overflow() {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
}

// Objects that are not ints go through their __int__, with the checks and
// texts that CPython 3.7 applies; done here rather than through
// PyLong_AsLong, whose fallback differs between versions.
bool int_from_other(PyObject *o, int &out) {
    PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref r(nb->nb_int(o));
    if (!r)
        return false;
    if (!PyLong_CheckExact(r.get())) {
        if (!PyLong_Check(r.get())) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         Py_TYPE(r.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(r.get())->tp_name) < 0)
            return false;
    }
    return as_int(r.get(), out);
}

bool real_from_other(PyObject *o, double &out) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred())
        return false;
    out = v;
    return true;
}

bool truth_from_other(PyObject *o, bool &out) {
    int t = PyObject_IsTrue(o);
    if (t < 0)
        return false;
    out = t != 0;
    return true;
}

// The comparison by Python's rules, for a global that is not an exact int.
VQ_NOINLINE static int compare_by_python(int status, PyObject *success, int op) {
    Ref keep = Ref::owning(success);
    Ref st(PyLong_FromLong(status));
    if (!st)
        return -1;
    Ref outcome(PyObject_RichCompare(st.get(), success, op));
    if (!outcome)
        return -1;
    return PyObject_IsTrue(outcome.get());
}

VQ_INLINE static int success_compare(int status, int op) {
    PyObject *success = global(G_CSDK_OPERATE_SUCCESS);
    if (success == nullptr)
        return -1;
    const GlobalSlot &slot = globals[G_CSDK_OPERATE_SUCCESS];
    if (VQ_LIKELY(slot.is_c_int))  // an exact int: no Python code to run
        return (status == slot.c_int) == (op == Py_EQ);
    return compare_by_python(status, success, op);
}

int compare_with_success(int status, int op) {
    return success_compare(status, op);
}

VQ_NOINLINE static PyObject *broken_response(const char *function, int res_len) {
    if (res_len < 0)
        PyErr_Format(PyExc_SystemError, "%s reported success with a negative response length (%d)",
                     function, res_len);
    else
        PyErr_Format(PyExc_SystemError, "%s reported success with a null response of %d bytes",
                     function, res_len);
    return nullptr;
}

PyObject *query_result(int status, const char *res, int res_len, const char *function) {
    int ok = success_compare(status, Py_EQ);
    if (ok < 0)
        return nullptr;
    if (ok && VQ_UNLIKELY(res_len < 0 || (res == nullptr && res_len > 0)))
        return broken_response(function, res_len);
    Ref payload(ok ? PyBytes_FromStringAndSize(res_len ? res : "", res_len) : Py_NewRef(Py_None));
    if (!payload)
        return nullptr;
    Ref st(PyLong_FromLong(status));
    if (!st)
        return nullptr;
    PyObject *pair = PyTuple_New(2);
    if (pair == nullptr)
        return nullptr;
    PyTuple_SET_ITEM(pair, 0, st.release());
    PyTuple_SET_ITEM(pair, 1, payload.release());
    return pair;
}

}  // namespace vq
