#include "exports.hpp"

#include <cstring>
#include <type_traits>

#include "binding.hpp"
#include "namespace.hpp"
#include "ref.hpp"
#include "rows.hpp"

namespace vq {

namespace {

using RawFunction = void (*)(void);

// A table row like every other (name, parameters, arity, Meta, entry
// point), plus the library function's address.  Exports are called through
// their own type, whose vectorcall dispatches to the row's entry point.
struct ExportRow {
    Row row;
    RawFunction fn;
};

struct Export {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    ExportRow *row;
    PyObject *name;
    PyObject *signature;  // for inspect.signature()
};

// One adapter per C signature, shared by every export of that signature:
// the entry points, the wrappers' own, read the library function from the
// export they are called for.
template <class Sig, class Result, class... Args>
struct SignatureAdapter {
    static constexpr int arity = python_arity<Args...>();
    static const ExportRow &row(PyObject *self) { return *reinterpret_cast<Export *>(self)->row; }
    static const Params &params(PyObject *self) { return row(self).row.meta->params; }
    static PyObject *invoke(PyObject *self, PyObject *const *argv) {
        const ExportRow &r = row(self);
        return Call<Result, Args...>::run(*r.row.meta, reinterpret_cast<Sig *>(r.fn), argv);
    }
    using Entries = Entry<SignatureAdapter, arity>;
};

// Each export's own parser and names (one export per library function).
template <auto Fn>
struct ExportMeta {
    static inline Meta meta;
};

// A row for an export; checked as the wrappers' rows are.
template <auto Fn, int Named, class Result, class... Args>
ExportRow export_row(const char *name, const char *params) {
    check_row<Fn, Named, Result, Args...>();
    using A = SignatureAdapter<std::remove_pointer_t<decltype(Fn)>, Result, Args...>;
    return ExportRow{{{name, A::Entries::entry(), A::Entries::flags, nullptr},
                      params,
                      PLAIN,
                      A::arity,
                      &ExportMeta<Fn>::meta,
                      name,
                      nullptr},
                     reinterpret_cast<RawFunction>(Fn)};
}

#define VQ_EXPORT(fn, params, ...) \
    export_row<fn, ::vq::count_params(params), __VA_ARGS__>(#fn, params)

// clang-format off
// In the order of binding.
ExportRow exports[] = {
    VQ_EXPORT(vqi_add_bus_topic, "topic", Nothing, Text<0>),
    VQ_EXPORT(vqi_get_c_version, "", TextOut),
    VQ_EXPORT(vqi_get_encrypted_token, "", TextOut),
    VQ_EXPORT(vqi_get_ext_errormsg, "", TextOut),
    VQ_EXPORT(vqi_get_orgcode, "", TextOut),
    VQ_EXPORT(vqi_init, "", Status),
    VQ_EXPORT(vqi_now, "", LongLong),
    VQ_EXPORT(vqi_now_plus, "", Double),
    VQ_EXPORT(vqi_poll, "", Status),
    VQ_EXPORT(vqi_send_msg_to_bus, "topic, msg", Status, Text<0>, Text<1>),
    VQ_EXPORT(vqi_set_bus_info, "server_addr, user_name, password", Nothing, Text<0>, Text<1>, Text<2>),
    VQ_EXPORT(vqi_set_bus_secure, "in_mode, tlsca, tlscert, tlskey, skip_verify", Nothing,
              Int<0>, Text<1>, Text<2>, Text<3>, Truth<4>),
    VQ_EXPORT(vqi_set_mode, "mode", Nothing, Int<0>),
    VQ_EXPORT(vqi_strerror, "errorno", TextOut, Int<0>),
};
// clang-format on

PyTypeObject ExportType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// The wrappers' dispatch by calling form; the interpreter's wording for a
// call that does not fit, with the bare name (a builtin function's message
// would name its module, as every builtin's did before 3.10).
VQ_NOINLINE PyObject *wrong_form(const Row &row, Py_ssize_t nargs, PyObject *kwnames) {
    const char *name = row.def.ml_name;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)  // refused first
        return PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
    if (row.arity == 0)
        return PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", name, nargs);
    return PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", name,
                        nargs);
}

PyObject *export_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
    const Row &row = reinterpret_cast<Export *>(self)->row->row;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    bool fits;
    PyObject *result = call_by_form(row.def, self, args, nargs, kwnames, fits);
    return fits ? result : wrong_form(row, nargs, kwnames);
}

void export_dealloc(PyObject *self) {
    Py_XDECREF(reinterpret_cast<Export *>(self)->name);
    Py_XDECREF(reinterpret_cast<Export *>(self)->signature);
    PyObject_Free(self);
}

PyObject *export_name(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<Export *>(self)->name);
}
PyObject *export_module(PyObject *, void *) {
    return Py_NewRef(ns.module_name);
}
PyObject *export_signature(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<Export *>(self)->signature);
}
PyObject *export_doc(PyObject *, void *) {
    Py_RETURN_NONE;
}

// Like a builtin function, an export does not bind as a method; having
// __get__ also lets inspect read its text signature.
PyObject *export_get(PyObject *self, PyObject *, PyObject *) {
    return Py_NewRef(self);
}
PyObject *export_repr(PyObject *self) {
    return PyUnicode_FromFormat("<library function %U>", reinterpret_cast<Export *>(self)->name);
}

PyGetSetDef export_getset[] = {
    {"__name__", export_name, nullptr, nullptr, nullptr},
    {"__qualname__", export_name, nullptr, nullptr, nullptr},
    {"__module__", export_module, nullptr, nullptr, nullptr},
    {"__doc__", export_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", export_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int export_type_ready() {
    if (ExportType.tp_flags & Py_TPFLAGS_READY)
        return 0;
    PyTypeObject &t = ExportType;
    t.tp_name = "c_sdk.library_function";
    t.tp_basicsize = sizeof(Export);
    t.tp_dealloc = export_dealloc;
    t.tp_repr = export_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    make_callable<export_vectorcall>(t, offsetof(Export, vectorcall));
    t.tp_getset = export_getset;
    t.tp_descr_get = export_get;
    return PyType_Ready(&t);
}

}  // namespace

int bind_exports() {
    if (export_type_ready() < 0)
        return -1;
    for (ExportRow &entry : exports) {
        Row &row = entry.row;
        if (prepare_meta(row) < 0)
            return -1;
        Export *e = PyObject_New(Export, &ExportType);
        if (e == nullptr)
            return -1;
        Ref keep(reinterpret_cast<PyObject *>(e));
        e->vectorcall = export_vectorcall;
        e->row = &entry;
        e->name = PyUnicode_InternFromString(row.def.ml_name);
        e->signature = nullptr;
        char *text = signature_text(row, "", false, "");
        if (text == nullptr || e->name == nullptr)
            return -1;
        // "(a, b)\n--\n\n": the signature without its docstring frame
        e->signature = PyUnicode_FromStringAndSize(text, strchr(text, '\n') - text);
        PyMem_RawFree(text);
        if (e->signature == nullptr || bind(row.def.ml_name, keep.release()) < 0)
            return -1;
    }
    return 0;
}

}  // namespace vq
