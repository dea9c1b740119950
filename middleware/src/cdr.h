// The wire form of sample values: XCDR1 (plain CDR), little endian, 4-byte encapsulation header,
// and the RTPS key hash.
#pragma once

#include "typecode.h"

namespace quelt::mw {

// Fills key_max_size and max_serialized of a type whose members are finished. Called once per
// type by TypeStore::finish.
void cdr_finish_type(DDS_TypeCode *t);

} // namespace quelt::mw
