#include "binding.hpp"

#include <cstring>

#include "namespace.hpp"
#include "ref.hpp"

namespace vq {

static const char *skip_spaces(const char *s) {
    while (*s == ' ')
        ++s;
    return s;
}

int Params::init(const char *function_name, const char *param_list) {
    if (count != 0 || function != nullptr)
        return 0;
    const char *s = skip_spaces(param_list);
    int n = 0, req = -1;
    while (*s) {
        const char *start = s;
        while (*s && *s != ',' && *s != '=' && *s != ' ')
            ++s;
        if (n == kMaxParams) {
            PyErr_Format(PyExc_SystemError, "%s: too many parameters", function_name);
            return -1;
        }
        if (!(names[n] = intern(start, s - start)))
            return -1;
        s = skip_spaces(s);
        if (*s == '=') {  // a default: this and every later parameter is optional
            if (req < 0)
                req = n;
            while (*s && *s != ',')
                ++s;
        }
        ++n;
        if (*s == ',')
            s = skip_spaces(s + 1);
    }
    count = n;
    required = req < 0 ? n : req;
    function = function_name;
    return 0;
}

// ---- errors, worded as CPython words them for a def -----------------------------
VQ_NOINLINE static PyObject *const *too_many_positional(const Params &p, Py_ssize_t given) {
    if (p.required < p.count)
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %d to %d positional arguments but %zd %s given", p.function,
                     p.required, p.count, given, given == 1 ? "was" : "were");
    else
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                     p.function, p.count, p.count == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
    return nullptr;
}

VQ_NOINLINE static PyObject *const *missing(const Params &p, PyObject *const *bound) {
    int n = 0;
    for (int i = 0; i < p.required; ++i)
        n += bound[i] == nullptr;
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    Ref list(PyUnicode_FromString(""));
    int seen = 0;
    for (int i = 0; i < p.required && list; ++i) {
        if (bound[i] != nullptr)
            continue;
        const char *sep = seen == 0 ? "" : (n == 2 ? " and " : (seen == n - 1 ? ", and " : ", "));
        list.reset(PyUnicode_FromFormat("%U%s'%U'", list.get(), sep, p.names[i]));
        ++seen;
    }
    if (list)
        PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %U",
                     p.function, n, n == 1 ? "" : "s", list.get());
    return nullptr;
}

// From 3.13 a def names the closest parameter, by the interpreter's own
// measure, which it exposes as _suggestions._generate_suggestions.
static Ref suggestion(const Params &p, PyObject *key) {
#if VQ_HAVE_KEYWORD_SUGGESTIONS
    Ref module(PyImport_ImportModule("_suggestions"));
    Ref names(module ? PyList_New(p.count) : nullptr);
    if (names) {
        for (int i = 0; i < p.count; ++i)
            PyList_SET_ITEM(names.get(), i, Py_NewRef(p.names[i]));
        Ref found(
            PyObject_CallMethod(module.get(), "_generate_suggestions", "OO", names.get(), key));
        if (found && found.get() != Py_None)
            return found;
    }
    PyErr_Clear();  // no suggestion is what the interpreter gives then too
#else
    (void)p;
    (void)key;
#endif
    return Ref();
}

VQ_NOINLINE static PyObject *const *unexpected(const Params &p, PyObject *key) {
    Ref hint = suggestion(p, key);
    if (hint)
        PyErr_Format(PyExc_TypeError,
                     "%s() got an unexpected keyword argument '%S'. Did you mean '%S'?", p.function,
                     key, hint.get());
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", p.function,
                     key);
    return nullptr;
}

VQ_NOINLINE static PyObject *const *duplicate(const Params &p, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", p.function, key);
    return nullptr;
}

static int find_keyword(const Params &p, PyObject *key) {
    for (int i = 0; i < p.count; ++i)  // call sites pass interned names
        if (p.names[i] == key)
            return i;
    for (int i = 0; i < p.count; ++i)
        if (PyUnicode_Compare(p.names[i], key) == 0)
            return i;
    PyErr_Clear();
    return -1;
}

PyObject *const *bind_args(const Params &p, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, PyObject **buf) {
    if (VQ_LIKELY(kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) {
        if (VQ_LIKELY(nargs == p.count))
            return args;
        if (nargs > p.count)
            return too_many_positional(p, nargs);
    } else if (nargs + PyTuple_GET_SIZE(kwnames) == p.count) {
        // Every parameter given, the keywords naming the ones after the
        // positional arguments in their order (call sites pass interned
        // names): the caller's array is already in parameter order.
        PyObject *const *keys = &PyTuple_GET_ITEM(kwnames, 0);
        PyObject *const *names = p.names + nargs;
        Py_ssize_t nkw = p.count - nargs, k = 0;
        while (k < nkw && keys[k] == names[k])
            ++k;
        if (k == nkw)
            return args;
    }
    Py_ssize_t npos = nargs < p.count ? nargs : p.count;
    for (Py_ssize_t i = 0; i < npos; ++i)
        buf[i] = args[i];
    for (Py_ssize_t i = npos; i < p.count; ++i)
        buf[i] = nullptr;
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            // callers mostly name the parameters in their order: try the
            // next slot before searching them all
            Py_ssize_t next = npos + k;
            int i = next < p.count && p.names[next] == key ? (int)next : find_keyword(p, key);
            if (i < 0)
                return unexpected(p, key);
            if (buf[i] != nullptr)
                return duplicate(p, key);
            buf[i] = args[nargs + k];
        }
    }
    if (nargs > p.count)
        return too_many_positional(p, nargs);
    for (int i = 0; i < p.required; ++i)
        if (buf[i] == nullptr)
            return missing(p, buf);
    return buf;
}

PyObject *call_with_tuple_dict(FastCore core, PyObject *self, PyObject *args, PyObject *kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)
        return core(self, &PyTuple_GET_ITEM(args, 0), (size_t)nargs, nullptr);
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    PyObject **stack = (PyObject **)PyMem_Malloc((size_t)(nargs + nkw) * sizeof(PyObject *));
    if (stack == nullptr)
        return PyErr_NoMemory();
    Ref kwnames(PyTuple_New(nkw));
    PyObject *result = nullptr;
    if (kwnames) {
        for (Py_ssize_t i = 0; i < nargs; ++i)
            stack[i] = PyTuple_GET_ITEM(args, i);
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        bool ok = true;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                ok = false;
                break;
            }
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            stack[nargs + k++] = value;
        }
        if (ok)
            result = core(self, stack, (size_t)nargs, kwnames.get());
    }
    PyMem_Free(stack);
    return result;
}

}  // namespace vq
