#include "event_bridge.hpp"

#include <cstring>

#include "namespace.hpp"
#include "ref.hpp"
#include "vqcsdk.h"

namespace vq {

// ---- message types ------------------------------------------------------------------
// A strategy sees few distinct message types, millions of times each: the
// Python object of a type is made once and reused while the text is equal.
namespace {

constexpr size_t kTypeCacheSize = 8;  // distinct types kept, replaced round-robin
constexpr size_t kTypeTextSize = 32;  // longer types (with the NUL) are not kept

struct TypeEntry {
    int len = -1;
    char text[kTypeTextSize];
    PyObject *str = nullptr;    // strict UTF-8 decoding
    PyObject *bytes = nullptr;  // copy, for IS_PY2
};

TypeEntry type_cache[kTypeCacheSize];
unsigned type_cache_next = 0;

PyObject *message_type(const char *text, bool as_bytes) {
    size_t n = strlen(text);
    TypeEntry *hit = nullptr;
    if (n < kTypeTextSize) {
        for (TypeEntry &e : type_cache) {
            if (e.len == (int)n && memcmp(e.text, text, n) == 0) {
                hit = &e;
                break;
            }
        }
        if (hit != nullptr) {
            PyObject *cached = as_bytes ? hit->bytes : hit->str;
            if (VQ_LIKELY(cached != nullptr))
                return Py_NewRef(cached);
        }
    }
    PyObject *obj = as_bytes ? PyBytes_FromStringAndSize(text, (Py_ssize_t)n)
                             : PyUnicode_DecodeUTF8(text, (Py_ssize_t)n, "strict");
    if (obj == nullptr || n >= kTypeTextSize)
        return obj;
    if (hit == nullptr) {
        hit = &type_cache[type_cache_next++ % kTypeCacheSize];
        Py_CLEAR(hit->str);
        Py_CLEAR(hit->bytes);
        memcpy(hit->text, text, n);
        hit->len = (int)n;
    }
    (as_bytes ? hit->bytes : hit->str) = Py_NewRef(obj);
    return obj;
}

VQ_NOINLINE int contract_error(const char *what, int data_len) {
    PyErr_Format(PyExc_SystemError, "callback_wrapper: the library passed %s (data_len=%d)", what,
                 data_len);
    return -1;
}

int deliver(const char *msg_type, const void *data, int data_len) {
    int as_bytes = is_py2();
    if (as_bytes < 0)
        return -1;
    if (VQ_UNLIKELY(msg_type == nullptr))
        return contract_error("a null message type", data_len);
    Ref type(message_type(msg_type, as_bytes != 0));
    if (!type)
        return -1;
    Ref f(global_new_ref(G_F));  // owned: the callable may rebind `f` while it runs
    if (!f)
        return -1;
    if (VQ_UNLIKELY(data_len < 0))
        return contract_error("a negative payload length", data_len);
    if (VQ_UNLIKELY(data == nullptr && data_len > 0))
        return contract_error("a null payload", data_len);
    Ref payload(
        PyBytes_FromStringAndSize(data_len ? static_cast<const char *>(data) : "", data_len));
    if (!payload)
        return -1;
    PyObject *argv[3] = {nullptr, type.get(), payload.get()};
    Ref result(PyObject_Vectorcall(f.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return result ? 0 : -1;
}

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 on, PyErr_PrintEx marks a KeyboardInterrupt as unhandled, and the
// interpreter then ends the process by SIGINT whatever its exit status was.
// Here the interrupt is reported and the run goes on, so it is printed the
// way PyErr_PrintEx(1) prints, without that mark: recorded as sys.last_*,
// audited, and handed to sys.excepthook.  Clears the error.
VQ_NOINLINE void print_interrupt(PyObject *type, PyObject *value, PyObject *tb) {
    PyErr_Clear();
    PyObject *trace = tb != nullptr ? tb : Py_None;
    const struct {
        const char *name;
        PyObject *obj;
    } last[] = {
        {"last_exc", value}, {"last_type", type}, {"last_value", value}, {"last_traceback", trace}};
    for (const auto &item : last)
        if (PySys_SetObject(item.name, item.obj) < 0)
            PyErr_Clear();
    Ref hook(Py_XNewRef(PySys_GetObject("excepthook")));
    if (PySys_Audit("sys.excepthook", "OOOO", hook ? hook.get() : Py_None, type, value, trace) <
        0) {
        if (PyErr_ExceptionMatches(PyExc_RuntimeError))
            return PyErr_Clear();
        PyErr_FormatUnraisable("Exception ignored in audit hook");
    }
    if (!hook) {
        PySys_WriteStderr("sys.excepthook is missing\n");
        return PyErr_DisplayException(value);
    }
    PyObject *args[3] = {type, value, trace};
    Ref result(PyObject_Vectorcall(hook.get(), args, 3, nullptr));
    if (result)
        return;
    if (PyErr_ExceptionMatches(PyExc_SystemExit))
        return PyErr_PrintEx(0);  // ends the process, as from PyErr_PrintEx
    PyObject *failure = PyErr_GetRaisedException();
    PySys_WriteStderr("Error in sys.excepthook:\n");
    PyErr_DisplayException(failure);
    PySys_WriteStderr("\nOriginal exception was:\n");
    PyErr_DisplayException(value);
    Py_DECREF(failure);
}
#endif

// A failed event is printed (and recorded as sys.last_*), then reported as
// unraisable; the library never sees the exception.
VQ_NOINLINE void report_failure() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr)
        PyException_SetTraceback(value, tb);
    PyObject *context = PyUnicode_FromString("c_sdk.callback_wrapper");
    if (context == nullptr)
        PyErr_Clear();
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
#if PY_VERSION_HEX >= 0x030E0000
    if (PyErr_GivenExceptionMatches(type, PyExc_KeyboardInterrupt))
        print_interrupt(type, value, tb);
    else
#endif
        PyErr_PrintEx(1);
    PyErr_Restore(type, value, tb);
    PyErr_WriteUnraisable(context != nullptr ? context : Py_None);
    Py_XDECREF(context);
}

}  // namespace

extern "C" {
static void callback_wrapper(const char *msg_type, const void *data, int data_len);
}

// An event from a thread that does not hold the interpreter lock (a thread
// of the library's own, say) takes the lock, and is then delivered like any
// other; it waits while another thread holds the lock.
VQ_NOINLINE static void deliver_from_foreign_thread(const char *msg_type, const void *data,
                                                    int data_len) {
    PyGILState_STATE state = PyGILState_Ensure();
    callback_wrapper(msg_type, data, data_len);  // holding the lock: the ordinary path
    PyGILState_Release(state);
}

extern "C" {
static void callback_wrapper(const char *msg_type, const void *data, int data_len) {
    // Events during a call through the module come on its thread, which
    // holds the lock: one check, and on.
    if (VQ_UNLIKELY(!PyGILState_Check()))
        return deliver_from_foreign_thread(msg_type, data, data_len);
    if (deliver(msg_type, data, data_len) < 0)
        report_failure();
}
}

PyObject *set_data_callback(PyObject *, PyObject *pythonf) {
    if (PyDict_SetItem(ns.dict, globals[G_F].name, pythonf) < 0)
        return nullptr;
    vqi_set_event_callback_pb(callback_wrapper);
    Py_RETURN_NONE;
}

}  // namespace vq
