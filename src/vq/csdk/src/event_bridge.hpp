// The event bridge: the library reports each event through callback_wrapper,
// which hands (message type, payload) to the Python callable stored as the
// module global `f` by py_vqi_set_data_callback.
#pragma once

#include "compat.hpp"

namespace vq {

PyObject *set_data_callback(PyObject *module, PyObject *pythonf);

// Registers the exit hook after which events from threads of the
// library's own are dropped: 0, or -1 with an error set.
int watch_exit();

}  // namespace vq
