#include "adapter.hpp"

#include "binding.hpp"
#include "namespace.hpp"
#include "ref.hpp"
#include "rows.hpp"

namespace vq {

namespace {

// What the decorator's closure holds: the wrapped function, and the method
// definition of the builtin function `wrapper` made over it.  The wrapper
// is a builtin function so that every interpreter, 3.7 included, calls it
// with the fast-call convention (no tuple, no dict); its closure type is
// named so that it reports the qualified name of the decorator's inner
// function.
struct Closure {
    PyObject_HEAD
    PyObject *func;
    PyObject *doc;  // bytes: the text signature
    PyMethodDef def;
};

PyTypeObject *ClosureType;

// Calls one of the module's own functions by its calling convention, as the
// interpreter would, minus the generic dispatch; anything else goes through
// the interpreter.
inline PyObject *call_function(PyObject *func, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) {
    if (PyCFunction_Check(func) && PyCFunction_GET_SELF(func) == ns.module && ns.module) {
        bool fits;
        PyObject *result = call_by_form(*reinterpret_cast<PyCFunctionObject *>(func)->m_ml,
                                        ns.module, args, PyVectorcall_NARGS(nargsf), kwnames, fits);
        if (fits)
            return result;
    }
    return PyObject_Vectorcall(func, args, nargsf, kwnames);
}

// arg.encode('ascii'): done in C for an exact str; a subclass's own
// encode is called, so that an override is honoured, and whatever it
// returns is passed on.
inline PyObject *encode_ascii(PyObject *arg) {
    if (VQ_LIKELY(PyUnicode_CheckExact(arg)))
        return PyUnicode_AsASCIIString(arg);
    return PyObject_CallMethod(arg, "encode", "s", "ascii");
}

// Arguments encoded without a heap allocation; more are rare.
constexpr Py_ssize_t kStackArgs = 16;

VQ_NOINLINE PyObject *call_encoded(PyObject *func, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames, Py_ssize_t total, Py_ssize_t first) {
    // One spare slot in front lets the callee use PY_VECTORCALL_ARGUMENTS_OFFSET.
    PyObject *small[1 + kStackArgs];
    PyObject **stack = small;
    if (total > kStackArgs &&
        !(stack = (PyObject **)PyMem_Malloc((size_t)(total + 1) * sizeof(PyObject *))))
        return PyErr_NoMemory();
    PyObject **argv = stack + 1;
    Py_ssize_t done = 0;  // argv[0:done] are set; the encoded ones are owned
    PyObject *result = nullptr;
    for (; done < total; ++done) {
        PyObject *a = args[done];
        if (done >= first && PyUnicode_Check(a)) {
            a = encode_ascii(a);
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

PyObject *wrapper_call(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *func = reinterpret_cast<Closure *>(self)->func;
    int py2 = is_py2();
    if (py2 < 0)
        return nullptr;
    Ref keep = Ref::owning(func);  // the call may drop the last other reference to us
    if (py2)
        return call_function(func, args, (size_t)nargs, kwnames);
    Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    for (Py_ssize_t i = 0; i < total; ++i)
        if (PyUnicode_Check(args[i]))
            return call_encoded(func, args, nargs, kwnames, total, i);
    // Nothing to encode: forward the caller's array as it is.
    return call_function(func, args, (size_t)nargs, kwnames);
}

int closure_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<Closure *>(self)->func);
#if VQ_TRAVERSE_VISITS_HEAP_TYPE
    Py_VISIT(Py_TYPE(self));
#endif
    return 0;
}

int closure_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<Closure *>(self)->func);
    return 0;
}

void closure_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Closure *c = reinterpret_cast<Closure *>(self);
    Py_CLEAR(c->func);
    Py_CLEAR(c->doc);
    PyObject_GC_Del(self);
#if VQ_OBJECT_INIT_REFS_HEAP_TYPE
    Py_DECREF(tp);  // instances of heap types own a reference to their type
#else
    (void)tp;
#endif
}

// The wrapped function's parameters are what the wrapper accepts, so
// inspect.signature() shows them: "wrapper(a, b)\n--\n\n" for one of the
// module's functions; for anything else, (*args, **kwargs) as for the def
// that the decorator stands for.
PyObject *signature_doc(PyObject *func) {
    const Row *row = row_of(func);
    if (row == nullptr)
        return PyBytes_FromString("wrapper(*args, **kwargs)\n--\n\n");
    char *text = signature_text(*row, "wrapper", false, "");
    if (text == nullptr)
        return nullptr;
    PyObject *doc = PyBytes_FromString(text);
    PyMem_RawFree(text);
    return doc;
}

PyType_Slot closure_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(closure_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(closure_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(closure_clear)},
    {0, nullptr},
};

PyType_Spec closure_type_description = {
    "c_sdk.adapt_to_python3_closure",        sizeof(Closure), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, closure_slots,
};

}  // namespace

int adapter_type_ready() {
    if (ClosureType != nullptr)
        return 0;
    Ref type(PyType_FromSpec(&closure_type_description));
    if (!type)
        return -1;
    Ref qualname(PyUnicode_FromString("adapt_to_python3.<locals>"));
    if (!qualname || PyObject_SetAttrString(type.get(), "__qualname__", qualname.get()) < 0)
        return -1;
    ClosureType = reinterpret_cast<PyTypeObject *>(type.release());
    return 0;
}

PyObject *adapt_to_python3(PyObject *, PyObject *func) {
    Ref doc(signature_doc(func));
    if (!doc)
        return nullptr;
    Closure *c = PyObject_GC_New(Closure, ClosureType);
    if (c == nullptr)
        return nullptr;
#if !VQ_OBJECT_INIT_REFS_HEAP_TYPE
    Py_INCREF(ClosureType);  // 3.7 does not count instances as holders of their type
#endif
    c->func = Py_NewRef(func);
    c->doc = doc.release();
    c->def = {"wrapper",
              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(wrapper_call)),
              METH_FASTCALL | METH_KEYWORDS, PyBytes_AS_STRING(c->doc)};
    PyObject_GC_Track(c);
    Ref closure(reinterpret_cast<PyObject *>(c));
    return PyCFunction_NewEx(&c->def, closure.get(), ns.module_name);
}

}  // namespace vq
