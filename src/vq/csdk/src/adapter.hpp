// adapt_to_python3: the decorator that lets a wrapper take ASCII `str`
// wherever it takes bytes.  Its result, `wrapper`, is a native callable
// (vectorcall where the interpreter has it) that encodes every `str`
// argument, positional or keyword, and forwards the argument array to the
// wrapped function without building a tuple or a dict.
#pragma once

#include "compat.hpp"

namespace vq {

int adapter_type_ready();
PyObject *adapt_to_python3(PyObject *module, PyObject *func);

}  // namespace vq
