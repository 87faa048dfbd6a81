// Wrappers generated from table rows.
//
// A row names the Python function, its parameters, whether it is published
// through adapt_to_python3, the library function and the kinds of its
// arguments and result:
//
//   VQ_WRAP("py_vqi_schedule", "date_rule, time_rule", ADAPTED,
//           vqi_schedule, Status, Text<0>, Text<1>)
//
// Wrapper<Fn, Result, Args...> turns that into one C function with the
// cheapest calling convention for its arity (Entry, which the direct
// exports share).  Arguments are
// converted in the order the kinds are listed, which is the library's
// order; each kind names the Python parameter it reads.  The first failed
// conversion raises and the library is not called.  The compiler checks
// each row (check_row): the C types its kinds produce, plus the result
// kind's out-parameters, are exactly the library function's parameter types;
// the result kind takes exactly its return type; the count of parameter
// names is the arity; and the kinds read each parameter exactly once.
#pragma once

#include <tuple>
#include <type_traits>
#include <utility>

#include "binding.hpp"
#include "convert.hpp"
#include "vqcsdk.h"

namespace vq {

// What a wrapper knows about itself at run time.
struct Meta {
    Params params;
    const char *library = nullptr;  // the library function's name
};

// ---- result kinds -----------------------------------------------------------------
// Each calls the library function `fn` with the converted arguments (plus
// whatever out-parameters it owns) and builds the Python result.  `Return`
// is the library return type it takes, `OutParams` the types of the
// out-parameters it appends; check_row holds every row to both.

struct Status {  // an int, returned unchanged
    using Return = int;
    using OutParams = std::tuple<>;
    template <class F, class T>
    static VQ_INLINE PyObject *call(const Meta &, F fn, T &&args) {
        return PyLong_FromLong(std::apply(fn, std::forward<T>(args)));
    }
};

struct Nothing {  // void: None
    using Return = void;
    using OutParams = std::tuple<>;
    template <class F, class T>
    static VQ_INLINE PyObject *call(const Meta &, F fn, T &&args) {
        std::apply(fn, std::forward<T>(args));
        Py_RETURN_NONE;
    }
};

struct TextOut {  // a library text, copied into bytes
    using Return = const char *;
    using OutParams = std::tuple<>;
    template <class F, class T>
    static VQ_INLINE PyObject *call(const Meta &, F fn, T &&args) {
        return text_result(std::apply(fn, std::forward<T>(args)));
    }
};

struct LongLong {
    using Return = long long;
    using OutParams = std::tuple<>;
    template <class F, class T>
    static VQ_INLINE PyObject *call(const Meta &, F fn, T &&args) {
        return PyLong_FromLongLong(std::apply(fn, std::forward<T>(args)));
    }
};

struct Double {
    using Return = double;
    using OutParams = std::tuple<>;
    template <class F, class T>
    static VQ_INLINE PyObject *call(const Meta &, F fn, T &&args) {
        return PyFloat_FromDouble(std::apply(fn, std::forward<T>(args)));
    }
};

// Status plus a response through (const char **res, int *res_len):
// (status, bytes) on success, (status, None) otherwise.
struct Response {
    using Return = int;
    using OutParams = std::tuple<const char **, int *>;
    template <class F, class T>
    static VQ_INLINE PyObject *call(const Meta &meta, F fn, T &&args) {
        const char *res = nullptr;
        int res_len = 0;
        int status =
            std::apply(fn, std::tuple_cat(std::forward<T>(args), std::make_tuple(&res, &res_len)));
        return query_result(status, res, res_len, meta.library);
    }
};

// Status plus a text through (const char **out): the text on success, None
// otherwise (or when the library left the pointer null).
struct TextThroughPointer {
    using Return = int;
    using OutParams = std::tuple<const char **>;
    template <class F, class T>
    static VQ_INLINE PyObject *call(const Meta &, F fn, T &&args) {
        const char *out = nullptr;
        int status = std::apply(fn, std::tuple_cat(std::forward<T>(args), std::make_tuple(&out)));
        int differs = compare_with_success(status, Py_NE);
        if (differs < 0)
            return nullptr;
        if (differs)
            Py_RETURN_NONE;
        return text_result(out);
    }
};

// ---- the generated function ---------------------------------------------------------
template <class... Args>
constexpr int python_arity() {
    int top = -1;
    ((top = Args::index > top ? Args::index : top), ...);
    return top + 1;
}

// True when the kinds read each Python parameter 0..arity-1 exactly once
// (kinds without a parameter, index -1, aside).
template <class... Args>
constexpr bool indices_exact() {
    constexpr int arity = python_arity<Args...>();
    for (int i = 0; i < arity; ++i) {
        int seen = 0;
        ((seen += Args::index == i), ...);
        if (seen != 1)
            return false;
    }
    return true;
}

// The return and parameter types of a library function.
template <class F>
struct Signature;
template <class R, class... P>
struct Signature<R (*)(P...)> {
    using Return = R;
    using Params = std::tuple<P...>;
};

// The C types a row passes: each kind's values in order, then the result
// kind's out-parameters.
template <class Result, class... Args>
using RowParams = decltype(std::tuple_cat(
    std::declval<decltype(Args::c_args(std::declval<typename Args::Storage &>()))>()...,
    std::declval<typename Result::OutParams>()));

// The checks every row passes, wrapper or direct export: a mistake in a
// table fails to compile, with the row's instantiation in the message.
// Types must match exactly: the library call would otherwise convert an
// argument silently (a double into an int, a bool into an int).
template <auto Fn, int Named, class Result, class... Args>
constexpr void check_row() {
    using Library = Signature<decltype(Fn)>;
    static_assert(std::is_same_v<typename Library::Return, typename Result::Return>,
                  "row: the result kind does not take the library function's return type");
    static_assert(std::is_same_v<typename Library::Params, RowParams<Result, Args...>>,
                  "row: the argument kinds' C types differ from the library function's "
                  "parameter types");
    static_assert(indices_exact<Args...>(),
                  "row: the argument kinds must read parameters 0..n-1, each exactly once");
    static_assert(Named == python_arity<Args...>(),
                  "row: the number of parameter names differs from the number of arguments");
    static_assert(python_arity<Args...>() <= kMaxParams, "row: too many parameters");
}

// Converts the arguments of one call in the order of the kinds, calls the
// library and builds the result.  Shared by the wrappers (where `fn` is a
// constant, so the call is direct) and the direct exports.
template <class Result, class... Args>
struct Call {
    using Storage = std::tuple<typename Args::Storage...>;

    template <class A>
    static VQ_INLINE bool convert_one(PyObject *const *argv, typename A::Storage &s) {
        if constexpr (A::index < 0)
            return A::convert(nullptr, s);
        else
            return A::convert(argv[A::index], s);
    }

    template <class F, size_t... K>
    static VQ_INLINE PyObject *run(const Meta &meta, F fn, [[maybe_unused]] PyObject *const *argv,
                                   std::index_sequence<K...>) {
        Storage st;  // keeps pinned buffers alive until the library returns
        if (!(convert_one<Args>(argv, std::get<K>(st)) && ...))
            return nullptr;
        return Result::call(meta, fn, std::tuple_cat(Args::c_args(std::get<K>(st))...));
    }

    template <class F>
    static VQ_INLINE PyObject *run(const Meta &meta, F fn, PyObject *const *argv) {
        return run(meta, fn, argv, std::index_sequence_for<Args...>{});
    }
};

// The entry points of a function of `Arity` parameters, with the cheapest
// calling convention for it: METH_NOARGS, METH_O, or METH_FASTCALL |
// METH_KEYWORDS through the shared parser.  The interpreter checks the
// argument count of the first two, so every argument error of a wrapper or
// an export is worded by the interpreter or by bind_args.  `Target`
// supplies `params(self)` and `invoke(self, argv)`.
template <class Target, int Arity>
struct Entry {
    static constexpr int flags = Arity == 0   ? METH_NOARGS
                                 : Arity == 1 ? METH_O
                                              : METH_FASTCALL | METH_KEYWORDS;

    static PyObject *noargs(PyObject *self, PyObject *) { return Target::invoke(self, nullptr); }
    static PyObject *one(PyObject *self, PyObject *arg) { return Target::invoke(self, &arg); }
    static PyObject *fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
        PyObject *buf[kMaxParams];
        PyObject *const *argv = bind_args(Target::params(self), args, nargs, kwnames, buf);
        if (argv == nullptr)
            return nullptr;
        return Target::invoke(self, argv);
    }

    static PyCFunction entry() {
        if constexpr (Arity == 0)
            return noargs;
        else if constexpr (Arity == 1)
            return one;
        else
            return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fast));
    }
};

// A wrapper: the library function is a constant, so the call is direct.
template <auto Fn, class Result, class... Args>
struct Wrapper {
    static constexpr int arity = python_arity<Args...>();
    static inline Meta meta;

    static const Params &params(PyObject *) { return meta.params; }
    static VQ_INLINE PyObject *invoke(PyObject *, PyObject *const *argv) {
        return Call<Result, Args...>::run(meta, Fn, argv);
    }

    using Entries = Entry<Wrapper, arity>;
};

}  // namespace vq
