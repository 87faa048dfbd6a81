#include "namespace.hpp"

#include <climits>
#include <initializer_list>

#include "ref.hpp"

namespace vq {

Namespace ns;

#define VQ_SLOT(id, text) {text, nullptr, nullptr, 0, 0, false, false, 0},
GlobalSlot globals[G_COUNT] = {VQ_GLOBALS(VQ_SLOT)};
#undef VQ_SLOT

PyObject *strings[S_COUNT];

#define VQ_TEXT(id, text) text,
static const char *const string_texts[S_COUNT] = {VQ_STRINGS(VQ_TEXT)};
#undef VQ_TEXT

PyObject *intern(const char *text, Py_ssize_t len) {
    PyObject *s = len < 0 ? PyUnicode_FromString(text) : PyUnicode_FromStringAndSize(text, len);
    if (s != nullptr)
        PyUnicode_InternInPlace(&s);
    return s;  // the one reference is kept for the life of the process
}

static int intern_strings() {
    for (int i = 0; i < S_COUNT; ++i)
        if (strings[i] == nullptr && !(strings[i] = intern(string_texts[i])))
            return -1;
    for (GlobalSlot &s : globals)
        if (s.name == nullptr && !(s.name = intern(s.text)))
            return -1;
    return 0;
}

int is_py2_slow(PyObject *value) {
    if (value == nullptr)
        return -1;
    Ref keep = Ref::owning(value);  // its __bool__ could rebind IS_PY2
    return PyObject_IsTrue(value);
}

#if VQ_USE_DICT_WATCHERS
uint64_t module_generation = 1, builtins_generation = 1;
static int watcher_id = -1;

static int on_dict_event(PyDict_WatchEvent, PyObject *dict, PyObject *, PyObject *) {
    // Called before every change; any change makes every cached value stale.
    if (dict == ns.dict)
        ++module_generation;
    else
        ++builtins_generation;
    return 0;
}
#endif

PyObject *refresh_global(GlobalSlot &s) {
    s.value = nullptr;
    if (ns.dict == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", s.text);
        return nullptr;
    }
    const uint64_t mtag = module_tag();
    const uint64_t btag = builtins_tag();
    bool from_builtins = false;
    PyObject *v = PyDict_GetItemWithError(ns.dict, s.name);
    if (v == nullptr) {
        if (PyErr_Occurred())
            return nullptr;
        v = PyDict_GetItemWithError(ns.builtins, s.name);
        if (v == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", s.text);
            return nullptr;
        }
        from_builtins = true;
    }
    s.is_c_int = false;
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow && x >= INT_MIN && x <= INT_MAX) {
            s.is_c_int = true;
            s.c_int = (int)x;
        }
    }
    s.module_tag = mtag;
    s.builtins_tag = btag;
    s.from_builtins = from_builtins;
    s.value = v;
    return v;
}

int namespace_attach(PyObject *module) {
    if (intern_strings() < 0)
        return -1;
    for (GlobalSlot &s : globals)
        s.value = nullptr;
    ns.module_name = str(S_MODULE_NAME);
    Ref builtins_module(PyImport_ImportModule("builtins"));
    if (!builtins_module)
        return -1;
    ns.module = Py_NewRef(module);
    ns.dict = PyModule_GetDict(module);
    ns.builtins = Py_NewRef(PyModule_GetDict(builtins_module.get()));
    if (PyDict_SetItemString(ns.dict, "__builtins__", builtins_module.get()) < 0)
        return -1;
#if VQ_USE_DICT_WATCHERS
    if (watcher_id < 0 && (watcher_id = PyDict_AddWatcher(on_dict_event)) < 0)
        return -1;
    if (PyDict_Watch(watcher_id, ns.dict) < 0 || PyDict_Watch(watcher_id, ns.builtins) < 0)
        return -1;
    ++module_generation;
    ++builtins_generation;
#endif
    return 0;
}

void namespace_forget() {
    for (GlobalSlot &s : globals)
        s.value = nullptr;
#if VQ_USE_DICT_WATCHERS
    // Teardown mirrors namespace_attach: both dicts stop being watched (an
    // Unwatch of a dict that was never watched only fails, and is cleared).
    if (watcher_id >= 0) {
        PyObject *exc_type, *exc_value, *exc_tb;
        PyErr_Fetch(&exc_type, &exc_value, &exc_tb);
        for (PyObject *dict : {ns.dict, ns.builtins})
            if (dict != nullptr && PyDict_Unwatch(watcher_id, dict) < 0)
                PyErr_Clear();
        PyErr_Restore(exc_type, exc_value, exc_tb);
    }
#endif
    ns.dict = nullptr;
    Py_CLEAR(ns.builtins);
    Py_CLEAR(ns.module);
    ns.executed = false;
}

int bind(const char *name, PyObject *value) {
    if (value == nullptr)
        return -1;
    int rc = PyDict_SetItemString(ns.dict, name, value);
    Py_DECREF(value);
    return rc;
}

}  // namespace vq
