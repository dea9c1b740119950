// What a DynamicData object is inside: a view of one value block laid out by its type.
#pragma once

#include "types/typecode.h"

struct DDS_DynamicData {
    const DDS_TypeCode *type = nullptr; // resolved (never an alias); null until bound or initialized
    unsigned char *p = nullptr;         // the value block
    bool owns = false;                  // p was allocated by this object
    DDS_DynamicData *parent = nullptr;  // set while bound to a member of parent
    DDS_DynamicData *bound_child = nullptr; // a member bound to this; this is read-only meanwhile
    // Set when the payload last received into this sample did not decode to its type: Fast DDS 2.9
    // lends such a sample out as valid data anyway, so readers drop it themselves.
    bool refused = false;
};

namespace quelt::mw {

// Where a member name or id leads: the member's resolved type and its value block. For an
// optional member, flag points at its presence byte (and the block is meaningful only when set).
struct Location {
    const DDS_TypeCode *type = nullptr;
    unsigned char *p = nullptr;
    unsigned char *flag = nullptr;
    const Member *member = nullptr; // the struct member or union case reached last, if any
    const DDS_TypeCode *container = nullptr; // type that holds the member (struct, union, sequence, array)
    uint32_t index = 0;              // element index (0-based) when container is a sequence or array
};

enum class Access { Read, Write, Info };

// Resolves a member name (id 0) or a member id (null name) from data. Write access creates what
// the path needs: sets optional members present, selects union cases, grows sequences.
// Info access resolves like Read but goes through what is absent (a sequence element past the
// length within the bound, an unset optional member, an unselected case): the block is then
// null, and the type is still known, so that a write by the same path can create it. Returns a DDS return code.
DDS_ReturnCode_t locate(const DDS_DynamicData *data, const char *name, DDS_DynamicDataMemberId id, Access access, Location &out);

} // namespace quelt::mw
