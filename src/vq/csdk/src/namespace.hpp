// The module namespace: the process's one module object, and the globals
// that functions read from it at call time.
//
// A global is looked up in the module namespace, then among the builtins,
// each time it is used.  The lookup is cached: the cached (borrowed) value is
// reused only while neither dict has changed since, so a rebinding is seen
// by the next call.  Change detection uses the dict version tag up to 3.11
// and dict watchers from 3.12 on.
#pragma once

#include <cstdint>

#include "compat.hpp"

namespace vq {

// The record classes, in their order of binding: (global, class name).
// Each class's __setattr__ looks the class up by its name.
#define VQ_RECORD_CLASSES(X)                         \
    X(G_QUOTE_ITEM_LIKE_DICT2, "QuoteItemLikeDict2") \
    X(G_TICK_LIKE_DICT2, "TickLikeDict2")            \
    X(G_BAR_LIKE_DICT2, "BarLikeDict2")              \
    X(G_OBJECT_LIKE_DICT2, "ObjectLikeDict2")

// The globals read at call time, one list: (enumerator, name).
#define VQ_GLOBALS(X)                                 \
    X(G_CSDK_OPERATE_SUCCESS, "CSDK_OPERATE_SUCCESS") \
    X(G_IS_PY2, "IS_PY2")                             \
    X(G_F, "f")                                       \
    X(G_VQSDKLOGGER, "vqsdklogger")                   \
    X(G_PLATFORM, "platform")                         \
    X(G_PY_VQI_STRERROR, "py_vqi_strerror")           \
    X(G_ADAPT_TO_PYTHON3, "adapt_to_python3")         \
    VQ_RECORD_CLASSES(X)                              \
    X(G_SUPER, "super") /* what the records' __setattr__ calls for `data` */

#define VQ_ENUMERATOR(id, text) id,
enum Global : int { VQ_GLOBALS(VQ_ENUMERATOR) G_COUNT };

struct GlobalSlot {
    const char *text;
    PyObject *name;   // interned; kept for the life of the process
    PyObject *value;  // borrowed from the dict that holds it; null = stale
    uint64_t module_tag;
    uint64_t builtins_tag;
    bool from_builtins;
    bool is_c_int;  // value is an exact int that fits a C int
    int c_int;
};

struct Namespace {
    PyObject *module = nullptr;       // owned; the process's module object
    PyObject *dict = nullptr;         // borrowed from module
    PyObject *builtins = nullptr;     // owned; the builtins module's dict
    PyObject *module_name = nullptr;  // "c_sdk", the __module__ of every function
    bool executed = false;
};

extern Namespace ns;
extern GlobalSlot globals[G_COUNT];

#if VQ_USE_DICT_WATCHERS
extern uint64_t module_generation, builtins_generation;
static inline uint64_t module_tag() {
    return module_generation;
}
static inline uint64_t builtins_tag() {
    return builtins_generation;
}
#else
static inline uint64_t module_tag() {
    return vq_dict_version(ns.dict);
}
static inline uint64_t builtins_tag() {
    return vq_dict_version(ns.builtins);
}
#endif

PyObject *refresh_global(GlobalSlot &slot);

// Borrowed reference to the current value, or null with NameError set.
static inline PyObject *global(Global g) {
    GlobalSlot &s = globals[g];
    if (VQ_LIKELY(s.value != nullptr && s.module_tag == module_tag() &&
                  (!s.from_builtins || s.builtins_tag == builtins_tag())))
        return s.value;
    return refresh_global(s);
}

// Same, for callers that run Python code while they use the value: a
// rebinding during that code must not free it under them.
static inline PyObject *global_new_ref(Global g) {
    PyObject *v = global(g);
    Py_XINCREF(v);
    return v;
}

// The truth of the global IS_PY2, read at each call (a strategy may rebind
// it): 1, 0, or -1 with an error set.
int is_py2_slow(PyObject *value);
static inline int is_py2() {
    PyObject *v = global(G_IS_PY2);
    if (VQ_LIKELY(v == Py_False))
        return 0;
    return v == Py_True ? 1 : is_py2_slow(v);
}

// ---- interned strings ------------------------------------------------------------
// The strings the module calls or compares by, interned once per process
// (when the module is first executed) and kept for its life.
#define VQ_STRINGS(X)                                                   \
    X(S_EMPTY, "")                                                      \
    X(S_DECODE, "decode")                                               \
    X(S_UTF8, "utf8")                                                   \
    X(S_FORMAT, "format")                                               \
    X(S_DEBUG, "debug")                                                 \
    X(S_FAIL_WITH_NAME, "invoke c fun={} error code={}, error info={}") \
    X(S_FAIL_WITHOUT_NAME, "invoke c fun error code={}, error info={}") \
    X(S_MODULE_NAME, "c_sdk")                                           \
    X(S_DATA, "data")                                                   \
    X(S_GET, "get")                                                     \
    X(S_DUNDER_STR, "__str__")                                          \
    X(S_DUNDER_REPR, "__repr__")                                        \
    X(S_DUNDER_SETATTR, "__setattr__")                                  \
    X(S_DUNDER_INIT, "__init__")

enum Str : int { VQ_STRINGS(VQ_ENUMERATOR) S_COUNT };

extern PyObject *strings[S_COUNT];

// Borrowed; valid once the namespace is attached.
static inline PyObject *str(Str s) {
    return strings[s];
}

// Interns the first `len` bytes of `text` (all of it when len < 0) for the
// life of the process: a borrowed reference, or null with an error set.
PyObject *intern(const char *text, Py_ssize_t len = -1);

// Sets up the namespace for a module being executed, and forgets it again
// after a failed execution.
int namespace_attach(PyObject *module);
void namespace_forget();

// Binds name = value (stealing value) in the module namespace.
int bind(const char *name, PyObject *value);

}  // namespace vq
