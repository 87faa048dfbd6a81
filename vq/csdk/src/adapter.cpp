#include "adapter.hpp"

#include <cstring>

#include "binding.hpp"
#include "namespace.hpp"
#include "ref.hpp"

namespace vq {

namespace {

struct Adapted {
    PyObject_HEAD
    PyObject *func;
    vectorcallfunc vectorcall;
};

PyTypeObject AdaptedType;
PyObject *name_wrapper, *qualname_wrapper;

// Calls one of the module's own functions by its calling convention, as the
// interpreter would, minus the generic dispatch; anything else goes through
// the interpreter.
inline PyObject *call_function(PyObject *func, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) {
    if (PyCFunction_Check(func) && PyCFunction_GET_SELF(func) == ns.module && ns.module) {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        bool no_kw = kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0;
        PyCFunction meth = PyCFunction_GET_FUNCTION(func);
        switch (PyCFunction_GET_FLAGS(func)) {
        case METH_O:
            if (nargs == 1 && no_kw)
                return meth(ns.module, args[0]);
            break;
        case METH_NOARGS:
            if (nargs == 0 && no_kw)
                return meth(ns.module, nullptr);
            break;
        case METH_FASTCALL | METH_KEYWORDS:
            return reinterpret_cast<_PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)(void)>(
                meth))(ns.module, args, nargs, kwnames);
        default:
            break;
        }
    }
    return PyObject_Vectorcall(func, args, nargsf, kwnames);
}

VQ_NOINLINE PyObject *call_encoded(PyObject *func, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames, Py_ssize_t total, Py_ssize_t first) {
    // One spare slot in front lets the callee use PY_VECTORCALL_ARGUMENTS_OFFSET.
    PyObject *small[1 + 16];
    PyObject **stack = small;
    if (total > 16 && !(stack = (PyObject **)PyMem_Malloc((size_t)(total + 1) * sizeof(PyObject *))))
        return PyErr_NoMemory();
    PyObject **argv = stack + 1;
    Py_ssize_t done = 0;  // argv[0:done] are set; the encoded ones are owned
    PyObject *result = nullptr;
    for (; done < total; ++done) {
        PyObject *a = args[done];
        if (done >= first && PyUnicode_Check(a)) {
            a = PyUnicode_AsASCIIString(a);
            if (a == nullptr)
                goto cleanup;
        } else {
            Py_INCREF(a);
        }
        argv[done] = a;
    }
    result = call_function(func, argv, (size_t)nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
cleanup:
    for (Py_ssize_t i = 0; i < done; ++i)
        Py_DECREF(argv[i]);
    if (stack != small)
        PyMem_Free(stack);
    return result;
}

PyObject *adapted_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames) {
    PyObject *func = reinterpret_cast<Adapted *>(self)->func;
    PyObject *is_py2 = global(G_IS_PY2);
    if (is_py2 == nullptr)
        return nullptr;
    int py2 = is_py2 == Py_False ? 0 : is_py2 == Py_True ? 1 : PyObject_IsTrue(is_py2);
    if (py2 < 0)
        return nullptr;
    Ref keep = Ref::borrow(func);  // the call may drop the last other reference to us
    if (py2)
        return call_function(func, args, nargsf, kwnames);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    for (Py_ssize_t i = 0; i < total; ++i)
        if (PyUnicode_Check(args[i]))
            return call_encoded(func, args, nargs, kwnames, total, i);
    // Nothing to encode: forward the caller's array as it is.
    return call_function(func, args, nargsf, kwnames);
}

// A function binds as a method when stored on a class; so does this.
PyObject *adapted_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int adapted_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<Adapted *>(self)->func);
    return 0;
}

int adapted_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<Adapted *>(self)->func);
    return 0;
}

void adapted_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Adapted *>(self)->func);
    PyObject_GC_Del(self);
}

PyObject *get_name(PyObject *, void *) { return Py_NewRef(name_wrapper); }
PyObject *get_qualname(PyObject *, void *) { return Py_NewRef(qualname_wrapper); }
PyObject *get_module(PyObject *, void *) { return Py_NewRef(ns.module_name); }
PyObject *get_doc(PyObject *, void *) { Py_RETURN_NONE; }
// inspect.signature() shows the parameters of the wrapped function, which
// are what the wrapper accepts; for a function without a text signature,
// those of def wrapper(*args, **kwargs).
PyObject *get_text_signature(PyObject *self, void *) {
    PyObject *func = reinterpret_cast<Adapted *>(self)->func;
    if (PyCFunction_Check(func)) {
        Ref sig(PyObject_GetAttrString(func, "__text_signature__"));
        if (!sig)
            return nullptr;
        const char *text = PyUnicode_Check(sig.get()) ? PyUnicode_AsUTF8(sig.get()) : nullptr;
        // "($module, a, b)": the wrapper is no module function, so without
        // the bound first parameter (and "($module, /)" becomes "()")
        const char *prefix = "($module, ";
        if (text != nullptr && strncmp(text, prefix, strlen(prefix)) == 0) {
            const char *rest = text + strlen(prefix);
            if (strcmp(rest, "/)") == 0)
                return PyUnicode_FromString("()");
            return PyUnicode_FromFormat("(%s", rest);
        }
    }
    return PyUnicode_FromString("(*args, **kwargs)");
}

PyGetSetDef adapted_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int adapter_type_ready() {
    if (AdaptedType.tp_flags & Py_TPFLAGS_READY)
        return 0;
    if (!(name_wrapper = PyUnicode_InternFromString("wrapper")) ||
        !(qualname_wrapper = PyUnicode_InternFromString("adapt_to_python3.<locals>.wrapper")))
        return -1;
    PyTypeObject &t = AdaptedType;
    t.tp_name = "c_sdk.adapted_function";
    t.tp_basicsize = sizeof(Adapted);
    t.tp_dealloc = adapted_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    make_callable<adapted_vectorcall>(t, offsetof(Adapted, vectorcall));
    t.tp_traverse = adapted_traverse;
    t.tp_clear = adapted_clear;
    t.tp_getset = adapted_getset;
    t.tp_descr_get = adapted_get;
    return PyType_Ready(&t);
}

PyObject *adapt_to_python3(PyObject *, PyObject *func) {
    Adapted *w = PyObject_GC_New(Adapted, &AdaptedType);
    if (w == nullptr)
        return nullptr;
    w->func = Py_NewRef(func);
    w->vectorcall = adapted_vectorcall;
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

}  // namespace vq
