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

// A row for a generated wrapper.
#define VQ_WRAP(pyname, params, publication, fn, ...)                                            \
    ::vq::Row {                                                                                  \
        {pyname, ::vq::Wrapper<fn, __VA_ARGS__>::entry(), ::vq::Wrapper<fn, __VA_ARGS__>::flags, \
         nullptr},                                                                               \
            params, publication, ::vq::Wrapper<fn, __VA_ARGS__>::arity,                          \
            &::vq::Wrapper<fn, __VA_ARGS__>::meta, #fn, nullptr                                  \
    }

#define VQ_TABLE(rows)                       \
    ::vq::RowTable {                         \
        rows, sizeof(rows) / sizeof(rows[0]) \
    }

// The families, in the order the module binds them.
RowTable support_functions();
RowTable config_wrappers();
RowTable buffer_wrappers();
RowTable market_wrappers();

// Creates the function of a row (a new reference), without publication.
PyObject *make_function(Row &row);

// Creates and binds every row of a table, publishing through
// adapt_to_python3 where marked.
int bind_table(RowTable table);

}  // namespace vq

// A row for a hand-written function.
#define VQ_FUNC(pyname, impl, flags, params, arity, meta, doc)                                 \
    ::vq::Row {                                                                                \
        {pyname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(impl)), flags, \
         nullptr},                                                                             \
            params, ::vq::PLAIN, arity, meta, nullptr, doc                                     \
    }
