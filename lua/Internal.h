// Private helpers shared by the engine's units.
#pragma once

#include <climits>
#include <cmath>
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

// Truncation toward zero into an int, for numbers that come from scripts and callers: NaN gives
// 0 and out-of-range values clamp, so the cast is always defined.
inline int truncateToInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    if (value >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    return static_cast<int>(value);
}

// Rounds to single precision as IEEE 754 does (to nearest, overflow to infinity), without the
// undefined behaviour of casting a double beyond the float range.
inline float toFloat32(double value) {
    constexpr double kOverflow = 0x1.ffffffp127; // FLT_MAX plus half of its last unit
    if (value >= kOverflow) {
        return HUGE_VALF;
    }
    if (value <= -kOverflow) {
        return -HUGE_VALF;
    }
    if (value > 0x1.fffffep127) {
        return 0x1.fffffep127f; // rounds down to FLT_MAX
    }
    if (value < -0x1.fffffep127) {
        return -0x1.fffffep127f;
    }
    return static_cast<float>(value); // NaN and in-range values
}

// Pushes the main table of engine onto L (which may be a coroutine of the engine's state).
// Returns 1 when a table was found (one value more), 0 with the stack unchanged otherwise.
// Logs nothing: callers log with their own context.
int pushMainOf(lua_State *L, const void *engine);

// As pushMainOf, then replaces the main table by main[key] when that is a table.
int pushMainFieldOf(lua_State *L, const void *engine, const char *key);

} // namespace quelt::lua
