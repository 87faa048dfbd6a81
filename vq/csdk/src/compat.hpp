// What differs between the CPython versions the module supports (3.7 to
// 3.13), and every reach into an object layout the C API does not
// document: named feature tests, shims and accessors.  The other files use
// these names and no PY_VERSION_HEX of their own, so that a new CPython
// should need changes here only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX < 0x03070000
#    error "c_sdk needs CPython 3.7 or newer"
#endif

// ---- vectorcall -----------------------------------------------------------
// 3.7 has the fast-call convention (array + kwnames tuple) but no per-type
// vectorcall slot; 3.8 has it under underscored names.
#if PY_VERSION_HEX >= 0x03080000
#    define VQ_HAVE_TYPE_VECTORCALL 1
#    if PY_VERSION_HEX < 0x03090000
#        define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#        define PyObject_Vectorcall        _PyObject_Vectorcall
#    endif
#else
#    define VQ_HAVE_TYPE_VECTORCALL        0
#    define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)1 << (8 * sizeof(size_t) - 1))
typedef PyObject *(*vectorcallfunc)(PyObject *, PyObject *const *, size_t, PyObject *);
static inline Py_ssize_t PyVectorcall_NARGS(size_t n) {
    return (Py_ssize_t)(n & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
}
static inline PyObject *PyObject_Vectorcall(PyObject *callable, PyObject *const *args,
                                            size_t nargsf, PyObject *kwnames) {
    return _PyObject_FastCallKeywords(callable, args, PyVectorcall_NARGS(nargsf), kwnames);
}
#endif

// ---- dict change detection --------------------------------------------------
// Up to 3.11 every dict carries a version tag that changes on each mutation;
// 3.12 deprecates it in favour of dict watchers.
#if PY_VERSION_HEX >= 0x030C0000
#    define VQ_USE_DICT_WATCHERS 1
#else
#    define VQ_USE_DICT_WATCHERS 0
#endif

// ---- module definition ----------------------------------------------------------
// Before 3.9 PyMODINIT_FUNC leaves the symbol's visibility to the compiler
// flags, which hide everything here.
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__)
#    undef PyMODINIT_FUNC
#    define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject *
#endif
// Module slots declaring single-interpreter use (3.12) and reliance on the
// interpreter lock (3.13).
#define VQ_HAVE_MOD_MULTIPLE_INTERPRETERS (PY_VERSION_HEX >= 0x030C0000)
#define VQ_HAVE_MOD_GIL                   (PY_VERSION_HEX >= 0x030D0000)

// ---- heap types ---------------------------------------------------------------------
// From 3.8 every instance of a heap type holds a reference to its type (the
// instance's dealloc drops it); from 3.9 tp_traverse must visit the type.
#define VQ_INSTANCES_OWN_HEAP_TYPE   (PY_VERSION_HEX >= 0x03080000)
#define VQ_TRAVERSE_VISITS_HEAP_TYPE (PY_VERSION_HEX >= 0x03090000)

// ---- calling conventions --------------------------------------------------------------
// METH_FASTCALL | METH_KEYWORDS functions; the type lost its underscore in 3.13.
typedef PyObject *(*vq_fast_with_keywords)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// ---- error messages -------------------------------------------------------------------
// From 3.13 a def's unknown-keyword error suggests the closest parameter,
// computed by the private module _suggestions.
#define VQ_HAVE_KEYWORD_SUGGESTIONS (PY_VERSION_HEX >= 0x030D0000)

// ---- private layouts ----------------------------------------------------------------
// The count of buffer exports of a bytearray, which makes it refuse to
// resize while nonzero.
static inline auto &vq_bytearray_exports(PyObject *bytearray) {  // an int before 3.8
    return reinterpret_cast<PyByteArrayObject *>(bytearray)->ob_exports;
}

#if !VQ_USE_DICT_WATCHERS
// The version tag of a dict, changed by every mutation (up to 3.11).
static inline uint64_t vq_dict_version(PyObject *dict) {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}
#endif

// ---- small helpers missing from older versions ------------------------------
#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *o) {
    Py_INCREF(o);
    return o;
}
#endif

#if PY_VERSION_HEX < 0x03090000
static inline PyInterpreterState *vq_current_interpreter(void) {
    return PyThreadState_Get()->interp;
}
#else
static inline PyInterpreterState *vq_current_interpreter(void) {
    return PyInterpreterState_Get();
}
#endif

#if defined(__GNUC__)
#    define VQ_NOINLINE    __attribute__((noinline, cold))
#    define VQ_LIKELY(x)   __builtin_expect(!!(x), 1)
#    define VQ_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#    define VQ_NOINLINE
#    define VQ_LIKELY(x)   (x)
#    define VQ_UNLIKELY(x) (x)
#endif
