// The C versions of the record classes' methods: type slots that do what
// the classes' own Python methods do, for as long as those methods are
// still the classes' own.
#pragma once

#include "compat.hpp"
#include "namespace.hpp"

namespace vq {

#define VQ_ONE(id, text) +1
constexpr int kRecordClasses = 0 VQ_RECORD_CLASSES(VQ_ONE);
#undef VQ_ONE
constexpr int kMaxProperties = 14;  // the tick record's

// Points the slots of a freshly built record class at the C functions.
// index: the class's place among the kRecordClasses (each has its own
// construction entry); global: the name its __setattr__ looks it up by;
// properties: the names of its properties (nprops of them); contains: the
// class defines __contains__.
int install_record_slots(int index, PyTypeObject *type, Global global,
                         const char *const *properties, int nprops, bool contains);

}  // namespace vq
