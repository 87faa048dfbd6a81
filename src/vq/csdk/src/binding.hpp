// Argument binding.  A row's parameter list, parsed once into interned
// names (and counted at compile time); one shared parser for the functions
// of two or more parameters, called by the fast-call convention (argument
// array + tuple of keyword names), whose errors are worded as the
// interpreter words them for a `def` with the same parameters; the one
// dispatch by calling form that the exports and the adapter share; and the
// glue that makes a type whose instances carry a vectorcall pointer
// callable on every supported version.
#pragma once

#include "compat.hpp"

namespace vq {

constexpr int kMaxParams = 12;

struct Params {
    const char *function = nullptr;  // the Python name, for messages
    int count = 0;
    int required = 0;                  // the first `required` have no default
    PyObject *names[kMaxParams] = {};  // interned

    // Parses a parameter list such as "status, cfunname=''" (the text of a
    // signature, defaults written after '=').  Idempotent.
    int init(const char *function_name, const char *param_list);
};

// Binds the arguments of one call.  Returns the array of `count` arguments
// in parameter order (the caller's own array when every argument came by
// position, else `buf`), with null for an omitted optional parameter; or
// null with TypeError set.
PyObject *const *bind_args(const Params &p, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, PyObject **buf);

// Calls a method definition by its calling convention (METH_NOARGS, METH_O
// or METH_FASTCALL | METH_KEYWORDS) when the arguments fit its form, as the
// interpreter would minus its generic dispatch; sets `fits` false and
// returns null, with no error set, when they do not.
inline PyObject *call_by_form(const PyMethodDef &def, PyObject *self, PyObject *const *args,
                              Py_ssize_t nargs, PyObject *kwnames, bool &fits) {
    fits = true;
    bool no_kw = kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0;
    switch (def.ml_flags) {
        case METH_O:
            if (nargs == 1 && no_kw)
                return def.ml_meth(self, args[0]);
            break;
        case METH_NOARGS:
            if (nargs == 0 && no_kw)
                return def.ml_meth(self, nullptr);
            break;
        case METH_FASTCALL | METH_KEYWORDS:
            return reinterpret_cast<vq_fast_with_keywords>(
                reinterpret_cast<void (*)(void)>(def.ml_meth))(self, args, nargs, kwnames);
        default:
            break;
    }
    fits = false;
    return nullptr;
}

// Counts the parameters in a parameter-list text ("a, b=''" has two), at
// compile time: the rows check their names against their arity with it.
constexpr int count_params(const char *param_list) {
    int n = 0;
    bool blank = true;
    for (const char *s = param_list; *s != '\0'; ++s) {
        if (*s == ',')
            ++n;
        else if (*s != ' ')
            blank = false;
    }
    return blank ? 0 : n + 1;
}

// For callable types on 3.7, which are called with a tuple and a dict:
// unpacks both into the fast-call convention and calls `core`.
typedef PyObject *(*FastCore)(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames);
PyObject *call_with_tuple_dict(FastCore core, PyObject *self, PyObject *args, PyObject *kwargs);

// Makes a callable type whose instances keep a vectorcall pointer at
// `offset` callable through it: by vectorcall where the interpreter has it,
// with the tuple and dict unpacked on 3.7.
template <FastCore Core>
PyObject *call_unpacked(PyObject *self, PyObject *args, PyObject *kwargs) {
    return call_with_tuple_dict(Core, self, args, kwargs);
}

template <FastCore Core>
void make_callable(PyTypeObject &t, Py_ssize_t offset) {
#if VQ_HAVE_TYPE_VECTORCALL
    t.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_vectorcall_offset = offset;
    t.tp_call = PyVectorcall_Call;
#else
    (void)offset;
    t.tp_call = call_unpacked<Core>;
#endif
}

}  // namespace vq
