// The event bridge: the library reports each event through callback_wrapper,
// which hands (message type, payload) to the Python callable stored as the
// module global `f` by py_vqi_set_data_callback.
#pragma once

#include "compat.hpp"

namespace vq {

PyObject *set_data_callback(PyObject *module, PyObject *pythonf);

}  // namespace vq
