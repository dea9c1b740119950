// How the exported sample functions reach the engine: each runs a body as a protected Lua call
// on a fresh frame, with a small record of its own family as the body's only argument.
#pragma once

#include "DDSConnector.h"

namespace quelt::connector {

// What every record starts with: the connector, the log context and the entity's full name.
struct Call {
    QueltDDSConnector *self;
    const char *ctx;
    const char *entityName;
};

// Runs body(record) as a protected call. The frame makes index 1 the first value the body
// pushes, whatever the caller left on the stack (a Lua host may have values there), and the
// protection keeps a Lua error (out of memory in a push) from unwinding through the C ABI. The
// stack is back at its entry height afterwards on every path. record must begin with a Call.
bool runProtected(const Call &call, lua_CFunction body, void *record);

// Start of every body: its record, with the frame emptied and room made.
template <typename Record> Record &beginBody(lua_State *L)
{
    auto *record = static_cast<Record *>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    lua_checkstack(L, 48); // the data operations called directly share this frame
    return *record;
}

// Pushes table[entityName] of the main table's READER or WRITER (index metamethods honoured).
// False when the table itself is missing (logged); the entry may be any value, nil included.
bool pushEntry(lua_State *L, const Call &call, QueltLuaKey table);

// With the table and the entry pushed by pushEntry, leaves only entry[key]; false (logged with
// entryMissing, or keyMissing / a missing table of that name) when either is not a table.
bool descend(lua_State *L, const Call &call, QueltLuaKey key, const QueltLogMessage &entryMissing,
             const QueltLogMessage *keyMissing = nullptr);

// The checks every exported sample function starts with (logged).
bool checkConnectorAndEntity(const char *ctx, QueltDDSConnector *self, const char *entityName);

} // namespace quelt::connector
