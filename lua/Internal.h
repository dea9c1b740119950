// Private helpers shared by the engine's units.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "LuaApi.h"

// Debug builds verify at the end of each helper that the stack height is what the helper
// promises; a mismatch is a bug in the helper, so it stops the process right there.
#ifdef QUELT_LUA_STACK_CHECKS
#define QUELT_LUA_CHECK_TOP(L, expected)                                                               \
    do {                                                                                               \
        if (lua_gettop(L) != (expected)) {                                                             \
            std::fprintf(stderr, "%s:%d: Lua stack height %d, expected %d\n", __FILE__, __LINE__,      \
                         lua_gettop(L), (expected));                                                   \
            std::abort();                                                                              \
        }                                                                                              \
    } while (0)
#else
#define QUELT_LUA_CHECK_TOP(L, expected) ((void)(L), (void)(expected))
#endif

namespace quelt::lua {

// Pushes the main table of engine onto L (which may be a coroutine of the engine's state).
// Returns 1 when a table was found (one value more), 0 with the stack unchanged otherwise.
// Logs nothing: callers log with their own context.
int pushMainOf(lua_State *L, const void *engine);

// As pushMainOf, then replaces the main table by main[key] when that is a table.
int pushMainFieldOf(lua_State *L, const void *engine, const char *key);

} // namespace quelt::lua
