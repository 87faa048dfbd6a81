// What differs between the CPython versions the module supports (3.7 and
// newer, as the CI matrix lists them), and every reach into an object layout the C API does not
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
// From 3.9 tp_traverse must visit the type of a heap type's instance (the
// reference the instance holds: VQ_OBJECT_INIT_REFS_HEAP_TYPE below).
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

// ---- threads and finalization --------------------------------------------------
// Whether this thread holds the interpreter lock.  PyGILState_Check cannot
// tell: once any sub-interpreter has existed it answers 1 for every thread.
// From 3.12 the current thread state is per thread and set only while the
// thread holds the lock; before, it is the lock holder's, which is this
// thread's only if it is the state the thread was given.
static inline bool vq_thread_holds_lock(void) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    PyThreadState *current = _PyThreadState_UncheckedGet();
    return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

// Whether the interpreter's finalization has begun; any thread may ask.
static inline bool vq_is_finalizing(void) {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

#if PY_VERSION_HEX < 0x030B0000
// the frame layout (before 3.9) and PyFrame_GetBack (3.9, 3.10) are not
// part of Python.h there
#    include <frameobject.h>
#endif

// The code object of this thread's outermost Python frame (a new
// reference), or null when no Python code is running on it.
static inline PyObject *vq_outermost_code(void) {
    PyFrameObject *f = PyEval_GetFrame();  // borrowed
    if (f == nullptr)
        return nullptr;
#if PY_VERSION_HEX >= 0x03090000
    Py_INCREF(f);
    for (PyFrameObject *back; (back = PyFrame_GetBack(f)) != nullptr;) {
        Py_DECREF(f);
        f = back;
    }
    PyObject *code = reinterpret_cast<PyObject *>(PyFrame_GetCode(f));
    Py_DECREF(f);
    return code;
#else
    while (f->f_back != nullptr)
        f = f->f_back;
    return Py_NewRef(reinterpret_cast<PyObject *>(f->f_code));
#endif
}

// VQ_INLINE marks the small steps of a hot path that must become part of
// their caller.  GCC and clang weigh inlining differently (clang leaves a
// template helper called once, or a helper called from three places, as a
// call), so the release wheels' clang and the source builds' GCC would
// otherwise differ by a call or two per operation.
#if defined(__GNUC__)
#    define VQ_NOINLINE    __attribute__((noinline, cold))
#    define VQ_INLINE      inline __attribute__((always_inline))
#    define VQ_LIKELY(x)   __builtin_expect(!!(x), 1)
#    define VQ_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#    define VQ_NOINLINE
#    define VQ_INLINE      inline
#    define VQ_LIKELY(x)   (x)
#    define VQ_UNLIKELY(x) (x)
#endif

// ==== Record classes: class calls, deallocation and private layouts =========
// (used by records.cpp and record_slots.cpp)

// Calling a class goes through its tp_vectorcall from 3.9 on; before that
// only through tp_new and tp_init with an argument tuple.
#if PY_VERSION_HEX >= 0x03090000
#    define VQ_HAVE_CLASS_VECTORCALL 1
#else
#    define VQ_HAVE_CLASS_VECTORCALL 0
#endif

// Whether the tp_dealloc of a heap type, called as the base deallocator of a
// subclass instance, releases the instance's reference to its type: from 3.8
// on it does; 3.7's subclass deallocator releases it itself afterwards.
#if PY_VERSION_HEX >= 0x03080000
#    define VQ_BASE_DEALLOC_RELEASES_TYPE 1
#else
#    define VQ_BASE_DEALLOC_RELEASES_TYPE 0
#endif

// The trashcan, which bounds the recursion of deallocators that free chains
// of objects.  END takes the object on 3.7 only.
#if PY_VERSION_HEX >= 0x03080000
#    define VQ_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_BEGIN(op, dealloc)
#    define VQ_TRASHCAN_END(op)            Py_TRASHCAN_END
#else
#    define VQ_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_SAFE_BEGIN(op)
#    define VQ_TRASHCAN_END(op)            Py_TRASHCAN_SAFE_END(op)
#endif

// A class's version tag changes whenever an attribute of the class or of a
// base is set or deleted, or its bases change; valid tags are never 0.
// Up to 3.12 a flag marks the tag valid; from 3.13 on a changed class's tag
// is 0 until it is given a new one.  _PyType_Lookup gives one when it can.
static inline unsigned int vq_type_version(PyTypeObject *tp) {
#if PY_VERSION_HEX >= 0x030D0000
    return tp->tp_version_tag;
#else
    return (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 ? tp->tp_version_tag : 0;
#endif
}
// True while the class still has the valid tag `tag` (false for tag 0).
static inline bool vq_type_version_is(PyTypeObject *tp, unsigned int tag) {
    return tag != 0 && vq_type_version(tp) == tag;
}

// Attribute lookup along the class's MRO, without calling descriptors:
// borrowed, no exception set.  Private, but exported by every supported
// version (the module would not load where it were not).
static inline PyObject *vq_type_lookup(PyTypeObject *tp, PyObject *name) {
    return _PyType_Lookup(tp, name);
}

// The getter of a property object: the first field after the header of the
// interpreter's (private) property layout, the same on every supported
// version (the record tests read each property through it).
struct VqPropertyHead {
    PyObject_HEAD
    PyObject *prop_get;
};
static inline PyObject *vq_property_getter(PyObject *property) {
    return reinterpret_cast<VqPropertyHead *>(property)->prop_get;
}

// The offset of the slot that a member descriptor (a __slots__ entry) reads.
#include <structmember.h>  // PyMemberDef in full, before 3.12
static inline Py_ssize_t vq_member_offset(PyObject *member) {
    return reinterpret_cast<PyMemberDescrObject *>(member)->d_member->offset;
}

// Whether PyObject_Init takes a reference to a heap type for the object
// (from 3.8 on; on 3.7 the caller takes it).
#if PY_VERSION_HEX >= 0x03080000
#    define VQ_OBJECT_INIT_REFS_HEAP_TYPE 1
#else
#    define VQ_OBJECT_INIT_REFS_HEAP_TYPE 0
#endif

// Whether the collector has run the object's finalizer (the mark stays on
// the object's memory).
static inline bool vq_gc_is_finalized(PyObject *op) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_GC_IsFinalized(op) != 0;
#else
    return _PyGC_FINALIZED(op) != 0;
#endif
}
