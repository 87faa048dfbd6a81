// The dict-like record classes: QuoteItemLikeDict2, TickLikeDict2,
// BarLikeDict2 and ObjectLikeDict2.
#pragma once

#include "compat.hpp"

namespace vq {

// Creates the four classes and binds them, in their order, in the module
// namespace.
int bind_record_classes();

}  // namespace vq
