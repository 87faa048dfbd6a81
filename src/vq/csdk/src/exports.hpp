// Direct exports: library functions reachable from Python under their own
// names.  Each is a builtin function whose self holds the address of its
// library function; the conversion code is one adapter per C signature.
#pragma once

#include "compat.hpp"

namespace vq {

int bind_exports();

}  // namespace vq
