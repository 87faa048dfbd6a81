#include "event_bridge.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

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

// ---- events from a thread of the library's own -----------------------------------
// Such a thread does not hold the interpreter lock; it takes it, and the
// event is then delivered like any other.  That is safe only while the
// interpreter lives: once its finalization has begun (the module's exit
// hook has run), such events are dropped without touching Python at all.
// A thread that passed the check before, and still waits for the lock or
// runs the callable, is counted in `active`: the exit hook lets it finish
// before finalization goes on, so that the interpreter does not end it in
// the middle of the callable.
namespace {

enum Phase : int {
    kRunning,
    kExitRequested,  // a callable on such a thread raised SystemExit
    kClosing,        // finalization has begun
};
std::atomic<int> phase{kRunning};
std::atomic<int> active{0};

// SystemExit raised by the callable on a thread of the library's own: the
// main thread raises it, as soon as it runs Python code again, as if it
// had raised it itself; that thread is not held up (the main thread may be
// waiting for it), and events from such threads are dropped until then.
// Once the main program has ended (the interpreter runs no Python code on
// the main thread, or only threading's shutdown) there is nothing left to
// raise it in: the exit under way stands.
bool main_program_ended() {
    Ref code(vq_outermost_code());
    if (!code)
        return true;
    PyObject *threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading");
    if (threading == nullptr)
        return false;
    Ref shutdown(PyObject_GetAttrString(threading, "_shutdown"));
    Ref shutdown_code(shutdown ? PyObject_GetAttrString(shutdown.get(), "__code__") : nullptr);
    PyErr_Clear();
    return shutdown_code.get() == code.get();
}

int raise_exit(void *exc) {
    Ref value(static_cast<PyObject *>(exc));
    int expected = kExitRequested;
    phase.compare_exchange_strong(expected, kRunning);
    if (main_program_ended())
        return 0;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(value.get())), value.get());
    return -1;
}

VQ_NOINLINE void request_exit() {
    int expected = kRunning;
    if (!phase.compare_exchange_strong(expected, kExitRequested)) {
        PyErr_Clear();  // an exit is on its way already
        return;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr)
        PyException_SetTraceback(value, tb);
    if (value != nullptr && Py_AddPendingCall(raise_exit, value) == 0) {
        Py_XDECREF(type);
        Py_XDECREF(tb);
        return;
    }
    phase.store(kRunning);  // no room for the call: reported like any failure
    PyErr_Restore(type, value, tb);
    report_failure();
}

inline bool interpreter_closing() {
    return phase.load() != kRunning || vq_is_finalizing();
}

}  // namespace

VQ_NOINLINE static void deliver_from_foreign_thread(const char *msg_type, const void *data,
                                                    int data_len) {
    active.fetch_add(1);
    if (interpreter_closing()) {
        active.fetch_sub(1);
        return;
    }
    PyGILState_STATE state = PyGILState_Ensure();
    if (!interpreter_closing() && deliver(msg_type, data, data_len) < 0) {
        if (PyErr_ExceptionMatches(PyExc_SystemExit))
            request_exit();
        else
            report_failure();
    }
    PyGILState_Release(state);
    active.fetch_sub(1);
}

extern "C" {
static void callback_wrapper(const char *msg_type, const void *data, int data_len) {
    // Events during a call through the module come on its thread, which
    // holds the lock: one check, and on.
    if (VQ_UNLIKELY(!vq_thread_holds_lock()))
        return deliver_from_foreign_thread(msg_type, data, data_len);
    if (deliver(msg_type, data, data_len) < 0)
        report_failure();
}
}

namespace {

// Run at the start of finalization, while the interpreter is whole.
PyObject *on_exit(PyObject *, PyObject *) {
    phase.store(kClosing);
    if (active.load() > 0) {
        // such a thread takes the lock, finishes its event or sees the
        // phase, and leaves; bounded, so that no callable holds the exit up
        PyThreadState *saved = PyEval_SaveThread();
        for (int i = 0; i < 5000 && active.load() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        PyEval_RestoreThread(saved);
    }
    Py_RETURN_NONE;
}

PyMethodDef on_exit_def = {"_c_sdk_events_closed", on_exit, METH_NOARGS, nullptr};

}  // namespace

int watch_exit() {
    Ref atexit(PyImport_ImportModule("atexit"));
    if (!atexit)
        return -1;
    Ref hook(PyCFunction_NewEx(&on_exit_def, nullptr, nullptr));
    if (!hook)
        return -1;
    Ref done(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    return done ? 0 : -1;
}

PyObject *set_data_callback(PyObject *, PyObject *pythonf) {
    if (PyDict_SetItem(ns.dict, globals[G_F].name, pythonf) < 0)
        return nullptr;
    vqi_set_event_callback_pb(callback_wrapper);
    Py_RETURN_NONE;
}

}  // namespace vq
