// Module initialisation: one module object per process, created in two
// steps; the execute step builds the namespace in its fixed order.
#include <cstddef>
#include <cstring>

#include "adapter.hpp"
#include "event_bridge.hpp"
#include "exports.hpp"
#include "namespace.hpp"
#include "records.hpp"
#include "ref.hpp"
#include "rows.hpp"

namespace vq {

namespace {

PyInterpreterState *owner_interpreter = nullptr;

// The text of a signature around the name, the parameters and the docstring
// (with the longest frame and the terminating NUL).
constexpr size_t kSignatureFrame = sizeof("($module, , /)\n--\n\n");

// from <module> import <name>, with the wording of a failed import of a name
int import_from(const char *module_name, const char *name) {
    Ref fromlist(Py_BuildValue("(s)", name));
    if (!fromlist)
        return -1;
    Ref module(PyImport_ImportModuleLevel(module_name, ns.dict, nullptr, fromlist.get(), 0));
    if (!module)
        return -1;
    PyObject *value = PyObject_GetAttrString(module.get(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %s", name);
        return -1;
    }
    return bind(name, value);
}

int import_module(const char *name) {
    return bind(name, PyImport_ImportModuleLevel(name, ns.dict, nullptr, nullptr, 0));
}

int build_namespace() {
    if (import_module("functools") < 0 || import_module("platform") < 0)
        return -1;
    if (import_from("vq.constant", "CSDK_OPERATE_SUCCESS") < 0 ||
        import_from("vq.utils", "vqsdklogger") < 0)
        return -1;
    if (bind("IS_PY2", Py_NewRef(Py_False)) < 0 || bind("IS_PY3", Py_NewRef(Py_True)) < 0)
        return -1;
    if (bind_record_classes() < 0)
        return -1;
    if (adapter_type_ready() < 0)
        return -1;
    for (RowTable table :
         {support_functions(), config_wrappers(), buffer_wrappers(), market_wrappers()})
        if (bind_table(table) < 0)
            return -1;
    return bind_exports();
}

PyObject *create(PyObject *spec, PyModuleDef *) {
    PyInterpreterState *interp = vq_current_interpreter();
    if (owner_interpreter != nullptr && owner_interpreter != interp) {
        PyErr_SetString(PyExc_ImportError,
                        "c_sdk can be loaded into one interpreter per process only");
        return nullptr;
    }
    if (ns.module != nullptr) {
        // The import machinery drops the state block of the module it gets
        // back from here and makes a new one; free the old one first.
        PyMem_Free(PyModule_GetState(ns.module));
        return Py_NewRef(ns.module);
    }
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    PyObject *module = PyModule_NewObject(name.get());
    if (module != nullptr)
        owner_interpreter = interp;
    return module;
}

int exec(PyObject *module) {
    if (ns.executed && ns.module == module)
        return 0;
    if (namespace_attach(module) < 0 || build_namespace() < 0 || watch_exit() < 0) {
        namespace_forget();  // a later import starts anew
        return -1;
    }
    ns.executed = true;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create)},
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
#if VQ_HAVE_MOD_MULTIPLE_INTERPRETERS
    // The module's state is process-wide (create() refuses a second
    // interpreter with a message of its own where the check is not enforced).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if VQ_HAVE_MOD_GIL
    // The module relies on the interpreter lock for all of its state.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "c_sdk",
    nullptr,  // no docstring
    0,        // no per-module state
    nullptr,  // the method table is empty: functions are bound while executing
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

int prepare_meta(Row &row) {
    if (row.meta == nullptr)
        return 0;
    if (row.arity >= 2 && row.meta->params.init(row.def.ml_name, row.params) < 0)
        return -1;
    row.meta->library = row.library;
    return 0;
}

char *signature_text(const Row &row, const char *name, bool module_self, const char *doc) {
    // The module is the bound self of a builtin function: "$module, " says
    // so, and positional-only marks need a parameter before them.
    const char *self = module_self ? "$module, " : "";
    const char *tail = row.arity == 0 ? (module_self ? "/" : "") : row.arity == 1 ? ", /" : "";
    size_t size = strlen(name) + strlen(row.params) + strlen(doc) + kSignatureFrame;
    char *text = static_cast<char *>(PyMem_RawMalloc(size));
    if (text == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    snprintf(text, size, "%s(%s%s%s)\n--\n\n%s", name, self, row.params, tail, doc);
    return text;
}

const Row *row_of(PyObject *func) {
    static_assert(offsetof(Row, def) == 0, "a function's method definition is its row");
    if (ns.module == nullptr || !PyCFunction_Check(func) || PyCFunction_GET_SELF(func) != ns.module)
        return nullptr;
    // Every builtin function bound to the module is made by make_function.
    return reinterpret_cast<const Row *>(reinterpret_cast<PyCFunctionObject *>(func)->m_ml);
}

PyObject *make_function(Row &row, PyObject *self) {
    // Built once per process; functions keep pointing at it while they live.
    if (row.def.ml_doc == nullptr) {
        const char *doc = row.doc != nullptr ? row.doc : "";
        if (!(row.def.ml_doc = signature_text(row, row.def.ml_name, self == ns.module, doc)))
            return nullptr;
    }
    if (prepare_meta(row) < 0)
        return nullptr;
    return PyCFunction_NewEx(&row.def, self, ns.module_name);
}

int bind_table(RowTable table) {
    for (size_t i = 0; i < table.count; ++i) {
        Row &row = table.rows[i];
        Ref function(make_function(row, ns.module));
        if (!function)
            return -1;
        if (row.publication == ADAPTED) {
            // The decorator is looked up at each decoration.
            Ref adapt(global_new_ref(G_ADAPT_TO_PYTHON3));
            if (!adapt)
                return -1;
            function.reset(PyObject_CallFunctionObjArgs(adapt.get(), function.get(), nullptr));
            if (!function)
                return -1;
        }
        if (bind(row.def.ml_name, function.release()) < 0)
            return -1;
    }
    return 0;
}

}  // namespace vq

// The module's only exported symbol.
PyMODINIT_FUNC PyInit_c_sdk(void) {
    return PyModuleDef_Init(&vq::definition);
}
