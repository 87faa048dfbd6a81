#include "records.hpp"

namespace vq {

int bind_record_classes() { return 0; }

}  // namespace vq
