// Owning references.
//
// Rules of use:
//  - a function that returns a new reference returns a Ref (or is wrapped in
//    one at once: Ref(p) consumes it), so no error branch can forget the
//    Py_DECREF;
//  - Ref::owning(p) adds a reference to a borrowed p and owns it: to keep
//    an object alive while Python code that could drop it runs;
//  - borrowed references stay plain PyObject*; they are never stored past the
//    point where their owner could drop them;
//  - release() hands the reference to a caller that steals it.
#pragma once

#include <cstddef>
#include <utility>

#include "compat.hpp"

namespace vq {

class Ref {
  public:
    Ref() noexcept : p_(nullptr) {}
    // Takes ownership of a new reference (which may be null after an error).
    explicit Ref(PyObject *steal) noexcept : p_(steal) {}
    Ref(const Ref &o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref &operator=(Ref o) noexcept {
        PyObject *old = p_;
        p_ = o.p_;
        o.p_ = old;
        return *this;
    }

    static Ref owning(PyObject *o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject *release() noexcept {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject *steal = nullptr) noexcept {
        Ref tmp(steal);
        *this = std::move(tmp);
    }

  private:
    PyObject *p_;
};

}  // namespace vq
