// Conversions between Python objects and the library's C types, written
// once and shared by every wrapper, export and support function.
//
// Argument kinds.  Each kind converts one Python argument (its position
// among the function's parameters is the template index I) into the value
// or values that the library function takes:
//
//   Text<I>      bytes/bytearray -> const char*  (NUL-terminated, in place)
//   Request<I>   bytes/bytearray -> const char*, int  (pointer and length)
//   Int<I>       integer protocol -> int          (32-bit, exact errors)
//   IntTruth<I>  integer protocol -> bool         (value != 0)
//   Real<I>      float protocol   -> double
//   Truth<I>     truth test       -> bool
//   NullText     no Python argument -> (const char*)nullptr
//
// A kind provides `index` (-1 when it takes no Python argument), a
// `Storage` that holds what the conversion produced for the duration of the
// library call, `convert(PyObject*, Storage&)` returning false with an
// exception set, and `c_args(Storage&)` giving the library's values as a
// tuple.  Slow and error paths are out of line, so the hot path stays short.
#pragma once

#include <climits>
#include <tuple>

#include "compat.hpp"

namespace vq {

// ---- out-of-line slow paths --------------------------------------------------
VQ_NOINLINE bool text_type_error(PyObject *o);
VQ_NOINLINE bool request_too_long(Py_ssize_t n);
VQ_NOINLINE bool int_overflow();
VQ_NOINLINE bool int_from_other(PyObject *o, int &out);
VQ_NOINLINE bool real_from_other(PyObject *o, double &out);
VQ_NOINLINE bool truth_from_other(PyObject *o, bool &out);

// While the library holds a pointer into a bytearray, the bytearray must not
// be resized or freed (an event callback could try): the pin counts as a
// buffer export, which makes bytearray refuse to resize, exactly as a
// memoryview would.  It is taken on the object itself rather than through
// the buffer protocol, which a subclass could redirect.
struct BufferPin {
    PyObject *ba = nullptr;
    BufferPin() noexcept = default;
    BufferPin(const BufferPin &) = delete;
    BufferPin &operator=(const BufferPin &) = delete;
    ~BufferPin() {
        if (ba != nullptr) {
            vq_bytearray_exports(ba)--;
            Py_DECREF(ba);
        }
    }
    // Returns the bytearray's contents (never null: an empty one gives "").
    const char *pin(PyObject *bytearray) noexcept {
        ba = Py_NewRef(bytearray);
        vq_bytearray_exports(ba)++;
        return PyByteArray_AS_STRING(bytearray);
    }
};

// A request that is not exactly bytes or bytearray.
VQ_NOINLINE bool request_from_other(PyObject *o, const char *&ptr, int &len, BufferPin &pin);

// ---- the conversions themselves ---------------------------------------------
static VQ_INLINE bool as_text(PyObject *o, const char *&out, BufferPin &pin) {
    if (VQ_LIKELY(PyBytes_Check(o))) {
        out = PyBytes_AS_STRING(o);
        return true;
    }
    if (PyByteArray_Check(o)) {
        out = pin.pin(o);
        return true;
    }
    return text_type_error(o);
}

// Exact bytes and bytearray pass their own size without running Python
// code.  A subclass goes through len(req) (out of line), which may shorten
// the request to a prefix but never lengthen it past the buffer.
static VQ_INLINE bool as_request(PyObject *o, const char *&ptr, int &len, BufferPin &pin) {
    Py_ssize_t n;
    if (VQ_LIKELY(PyBytes_CheckExact(o))) {
        ptr = PyBytes_AS_STRING(o);
        n = PyBytes_GET_SIZE(o);
    } else if (PyByteArray_CheckExact(o)) {
        ptr = pin.pin(o);
        n = PyByteArray_GET_SIZE(o);
    } else {
        return request_from_other(o, ptr, len, pin);
    }
    if (VQ_UNLIKELY(n > INT_MAX))
        return request_too_long(n);
    len = (int)n;
    return true;
}

static VQ_INLINE bool as_int(PyObject *o, int &out) {
    if (VQ_LIKELY(PyLong_Check(o))) {
        long v = PyLong_AsLong(o);  // beyond 64 bits: the interpreter's own OverflowError
        if (VQ_UNLIKELY(v == -1 && PyErr_Occurred()))
            return false;
        if (VQ_UNLIKELY(v < INT_MIN || v > INT_MAX))
            return int_overflow();
        out = (int)v;
        return true;
    }
    return int_from_other(o, out);
}

static VQ_INLINE bool as_real(PyObject *o, double &out) {
    if (VQ_LIKELY(PyFloat_Check(o))) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    return real_from_other(o, out);
}

static VQ_INLINE bool as_truth(PyObject *o, bool &out) {
    if (o == Py_True) {
        out = true;
        return true;
    }
    if (o == Py_False || o == Py_None) {
        out = false;
        return true;
    }
    return truth_from_other(o, out);
}

// ---- argument kinds -----------------------------------------------------------
template <int I>
struct Text {
    static constexpr int index = I;
    struct Storage {
        const char *p;
        BufferPin pin;
    };
    static VQ_INLINE bool convert(PyObject *o, Storage &s) { return as_text(o, s.p, s.pin); }
    static VQ_INLINE std::tuple<const char *> c_args(const Storage &s) { return {s.p}; }
};

template <int I>
struct Request {
    static constexpr int index = I;
    struct Storage {
        const char *p;
        int n;
        BufferPin pin;
    };
    static VQ_INLINE bool convert(PyObject *o, Storage &s) {
        return as_request(o, s.p, s.n, s.pin);
    }
    static VQ_INLINE std::tuple<const char *, int> c_args(const Storage &s) { return {s.p, s.n}; }
};

template <int I>
struct Int {
    static constexpr int index = I;
    struct Storage {
        int v;
    };
    static VQ_INLINE bool convert(PyObject *o, Storage &s) { return as_int(o, s.v); }
    static VQ_INLINE std::tuple<int> c_args(const Storage &s) { return {s.v}; }
};

template <int I>
struct IntTruth {
    static constexpr int index = I;
    struct Storage {
        int v;
    };
    static VQ_INLINE bool convert(PyObject *o, Storage &s) { return as_int(o, s.v); }
    static VQ_INLINE std::tuple<bool> c_args(const Storage &s) { return {s.v != 0}; }
};

template <int I>
struct Real {
    static constexpr int index = I;
    struct Storage {
        double v;
    };
    static VQ_INLINE bool convert(PyObject *o, Storage &s) { return as_real(o, s.v); }
    static VQ_INLINE std::tuple<double> c_args(const Storage &s) { return {s.v}; }
};

template <int I>
struct Truth {
    static constexpr int index = I;
    struct Storage {
        bool v;
    };
    static VQ_INLINE bool convert(PyObject *o, Storage &s) { return as_truth(o, s.v); }
    static VQ_INLINE std::tuple<bool> c_args(const Storage &s) { return {s.v}; }
};

// A text parameter of the library that Python has no way to set.
struct NullText {
    static constexpr int index = -1;
    struct Storage {};
    static VQ_INLINE bool convert(PyObject *, Storage &) { return true; }
    static VQ_INLINE std::tuple<const char *> c_args(const Storage &) { return {nullptr}; }
};

// ---- results ------------------------------------------------------------------
// A library text copied into new bytes; a null pointer (which the library
// must not return) gives None rather than a crash.
static inline PyObject *text_result(const char *t) {
    if (VQ_UNLIKELY(t == nullptr))
        Py_RETURN_NONE;
    return PyBytes_FromString(t);
}

// status == CSDK_OPERATE_SUCCESS (op Py_EQ) or != (Py_NE), by Python's
// comparison with the global read now.  Returns 1, 0, or -1 with an error.
int compare_with_success(int status, int op);

// (status, bytes copy of the response) on success, (status, None) otherwise.
// `function` names the library function in the error raised when it broke
// its contract on success (null pointer with a positive length, or a
// negative length): bad data is never returned as success.
PyObject *query_result(int status, const char *res, int res_len, const char *function);

}  // namespace vq
