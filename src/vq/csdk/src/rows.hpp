// Table rows: one per module function.  The module creates a builtin
// function from each row, gives it a text signature built from the row's
// parameter list (so inspect.signature() sees the parameters while __doc__
// stays as the row says), and binds it, through adapt_to_python3 where the
// row is marked ADAPTED.
#pragma once

#include <cstddef>

#include "wrapper.hpp"

namespace vq {

enum Publication : bool { PLAIN = false, ADAPTED = true };

struct Row {
    PyMethodDef def;     // ml_doc is built from params and doc at first use
    const char *params;  // "a, b" (defaults after '=')
    Publication publication;
    int arity;
    Meta *meta;           // parser and names; null when the row needs none
    const char *library;  // library function, for messages
    const char *doc;      // docstring, or null for none
};

struct RowTable {
    Row *rows;
    size_t count;
};

// A row for a generated wrapper; `Named` is the count of names in `params`.
template <auto Fn, int Named, class Result, class... Args>
Row wrapper_row(const char *pyname, const char *params, Publication publication,
                const char *library) {
    check_row<Fn, Named, Result, Args...>();
    using W = Wrapper<Fn, Result, Args...>;
    return Row{{pyname, W::Entries::entry(), W::Entries::flags, nullptr},
               params,
               publication,
               W::arity,
               &W::meta,
               library,
               nullptr};
}

// A row for a hand-written function, with the same check of its names.
template <int Named, int Arity>
Row function_row(const char *pyname, PyCFunction impl, int flags, const char *params, Meta *meta,
                 const char *doc) {
    static_assert(Named == Arity,
                  "row: the number of parameter names differs from the number of arguments");
    return Row{{pyname, impl, flags, nullptr}, params, PLAIN, Arity, meta, nullptr, doc};
}

// Only the library function's name needs the preprocessor.
#define VQ_WRAP(pyname, params, publication, fn, ...) \
    ::vq::wrapper_row<fn, ::vq::count_params(params), __VA_ARGS__>(pyname, params, publication, #fn)

#define VQ_TABLE(rows)                       \
    ::vq::RowTable {                         \
        rows, sizeof(rows) / sizeof(rows[0]) \
    }

// The families, in the order the module binds them.
RowTable support_functions();
RowTable config_wrappers();
RowTable buffer_wrappers();
RowTable market_wrappers();

// Fills in the row's Meta (parsed parameter names, library name) once.
int prepare_meta(Row &row);

// The text signature of a row as a builtin function's docstring holds it,
// "name($module, a, b)\n--\n\n" then `doc` ("$module, " only when the
// module is the function's self): a PyMem_RawMalloc buffer, or null with
// MemoryError set.
char *signature_text(const Row &row, const char *name, bool module_self, const char *doc);

// The row of one of the module's own functions; null for anything else.
const Row *row_of(PyObject *func);

// Creates the builtin function of a row (a new reference) bound to `self`,
// the module or an export's library function, without publication.
PyObject *make_function(Row &row, PyObject *self);

// Creates and binds every row of a table, publishing through
// adapt_to_python3 where marked.
int bind_table(RowTable table);

}  // namespace vq

// A row for a hand-written function.
#define VQ_FUNC(pyname, impl, flags, params, arity, meta, doc)                                \
    ::vq::function_row<::vq::count_params(params), arity>(                                    \
        pyname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(impl)), flags, \
        params, meta, doc)
