// Stack and table helpers of the Lua engine.
//
// Lua reports errors with longjmp: no object with a destructor lives across a Lua API call here,
// and only calls that cannot reach a metamethod are used on tables (raw access), so the only
// possible Lua error is running out of memory.
#include "Common.h"

#include <sys/stat.h>

#include "Engine.h"
#include "Internal.h"
#include "Log.h"

namespace {

// Registry key under which the text of the last number read as a string is kept alive.
char g_numberTextKey;

bool keyIsValid(const char *context, const char *key) {
    if (key == nullptr) {
        QUELT_LUA_LOG_ERROR(context, LUABINDING_LOG_PRECONDITION_FAILURE_s, "key");
        return false;
    }
    return true;
}

} // namespace

namespace quelt::lua {

int pushMainOf(lua_State *L, const void *engine) {
    lua_pushlightuserdata(L, const_cast<void *>(engine)); /* push key lud(engine) */
    lua_rawget(L, LUA_REGISTRYINDEX);                      /* replace key by registry[lud(engine)] */
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1); /* pop the non-table */
        return 0;
    }
    return 1;
}

int pushMainFieldOf(lua_State *L, const void *engine, const char *key) {
    if (!pushMainOf(L, engine)) {
        return 0;
    }
    lua_pushstring(L, key); /* push key */
    lua_rawget(L, -2);      /* replace key by main[key] */
    if (!lua_istable(L, -1)) {
        lua_pop(L, 2); /* pop value and main table */
        return 0;
    }
    lua_remove(L, -2); /* drop the main table below the result */
    return 1;
}

} // namespace quelt::lua

extern "C" {

int QueltLuaCommon_pushMainOnTop(QueltLuaEngine *engine) {
    static const char *const ctx = "QueltLuaCommon_pushMainOnTop";
    if (engine == nullptr || engine->L == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, "#MainTable");
        return 0;
    }
    lua_State *L = engine->L;
    const int top = lua_gettop(L);
    if (!quelt::lua::pushMainOf(L, engine)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, "#MainTable");
        QueltLuaCommon_stackDump(L);
        lua_settop(L, top);
        return 0;
    }
    if (lua_gettop(L) != top + 1) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_POST);
        lua_settop(L, top);
        return 0;
    }
    QUELT_LUA_CHECK_TOP(L, top + 1);
    return 1;
}

// Shared by the two front ends below: interned is a QueltLuaKey naming key, or -1 to push its text.
static int pushFromMainTable(QueltLuaEngine *engine, const char *key, int interned) {
    static const char *const ctx = "QueltLuaCommon_pushTableOnTopFromMainTable";
    if (engine == nullptr || engine->L == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, "#MainTable");
        return 0;
    }
    if (!keyIsValid(ctx, key)) {
        return 0;
    }
    lua_State *L = engine->L;
    const int top = lua_gettop(L);
    if (!quelt::lua::pushMainOf(L, engine)) { /* push main table */
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, "#MainTable");
        QueltLuaCommon_stackDump(L);
        lua_settop(L, top);
        return 0;
    }
    if (interned >= 0) {
        QueltLuaEngine_pushKey(engine, L, static_cast<QueltLuaKey>(interned)); /* push key */
    } else {
        lua_pushstring(L, key); /* push key */
    }
    lua_rawget(L, -2); /* replace key by main[key] */
    if (!lua_istable(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, key);
        QueltLuaCommon_stackDump(L);
        lua_settop(L, top);
        return 0;
    }
    lua_remove(L, -2); /* drop the main table below the result */
    if (lua_gettop(L) != top + 1) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_POST);
        lua_settop(L, top);
        return 0;
    }
    QUELT_LUA_CHECK_TOP(L, top + 1);
    return 1;
}

int QueltLuaCommon_pushTableOnTopFromMainTable(QueltLuaEngine *engine, const char *key) {
    return pushFromMainTable(engine, key, -1);
}

int QueltLuaCommon_pushInternedTableFromMainTable(QueltLuaEngine *engine, QueltLuaKey key) {
    return pushFromMainTable(engine, QueltLuaEngine_keyText(key), key);
}

// Shared by the two "push from top table" helpers; tablesOnly selects the silent miss.
static int pushFromTopTable(lua_State *L, const char *key, bool tablesOnly, const char *ctx) {
    if (!keyIsValid(ctx, key)) {
        return 0;
    }
    const int top = lua_gettop(L);
    if (!lua_istable(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_EXPECTED_ON_TOP);
        QueltLuaCommon_stackDump(L);
        lua_settop(L, top);
        return 0;
    }
    lua_pushstring(L, key); /* push key */
    lua_rawget(L, -2);      /* replace key by top[key] */
    if (tablesOnly && !lua_istable(L, -1)) {
        lua_settop(L, top); /* pop the non-table silently: a miss is not an error */
        return 0;
    }
    if (lua_gettop(L) != top + 1) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_POST);
        lua_settop(L, top);
        return 0;
    }
    QUELT_LUA_CHECK_TOP(L, top + 1);
    return 1;
}

int QueltLuaCommon_pushTableOnTopFromTopTable(lua_State *L, const char *key) {
    return pushFromTopTable(L, key, true, "QueltLuaCommon_pushTableOnTopFromTopTable");
}

int QueltLuaCommon_pushFunctionOnTopFromTopTable(lua_State *L, const char *key) {
    return pushFromTopTable(L, key, false, "QueltLuaCommon_pushFunctionOnTopFromTopTable");
}

// Common prologue of the setters and getters of the top table: it must be a table and the key
// usable.
static bool topTableUsable(lua_State *L, const char *key, const char *ctx) {
    if (!keyIsValid(ctx, key)) {
        return false;
    }
    if (!lua_istable(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_EXPECTED_ON_TOP);
        return false;
    }
    return true;
}

// top[key] = the value pushValue(L) pushes, raw; the top table and key already checked.
extern "C++" {
template <class PushValue> static int assertIntoTopTable(lua_State *L, const char *key, PushValue pushValue) {
    const int top = lua_gettop(L);
    lua_pushstring(L, key); /* push key */
    pushValue(L);           /* push value */
    lua_rawset(L, -3);      /* top[key] = value; pops both */
    QUELT_LUA_CHECK_TOP(L, top);
    return 1;
}
}

int QueltLuaCommon_assertFunctionIntoTopTable(lua_State *L, const char *key, lua_CFunction function) {
    static const char *const ctx = "QueltLuaCommon_assertFunctionIntoTopTable";
    if (!topTableUsable(L, key, ctx)) {
        return 0;
    }
    if (function == nullptr) { // a null C function would crash when a script calls it
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "function");
        return 0;
    }
    return assertIntoTopTable(L, key, [function](lua_State *S) { lua_pushcclosure(S, function, 0); });
}

int QueltLuaCommon_assertNumberIntoTopTable(lua_State *L, const char *key, double value) {
    if (!topTableUsable(L, key, "QueltLuaCommon_assertNumberIntoTopTable")) {
        return 0;
    }
    return assertIntoTopTable(L, key, [value](lua_State *S) { lua_pushnumber(S, value); });
}

int QueltLuaCommon_assertBooleanIntoTopTable(lua_State *L, const char *key, int value) {
    if (!topTableUsable(L, key, "QueltLuaCommon_assertBooleanIntoTopTable")) {
        return 0;
    }
    return assertIntoTopTable(L, key, [value](lua_State *S) { lua_pushboolean(S, value != 0); });
}

int QueltLuaCommon_assertStringIntoTopTable(lua_State *L, const char *key, const char *value) {
    if (!topTableUsable(L, key, "QueltLuaCommon_assertStringIntoTopTable")) {
        return 0;
    }
    // A copy of value; null pushes nil, which removes the key.
    return assertIntoTopTable(L, key, [value](lua_State *S) { lua_pushstring(S, value); });
}

int QueltLuaCommon_getBooleanFromTopTable(lua_State *L, const char *key, int *value) {
    static const char *const ctx = "QueltLuaCommon_getBooleanFromTopTable";
    if (!topTableUsable(L, key, ctx)) {
        return 0;
    }
    const int top = lua_gettop(L);
    lua_pushstring(L, key); /* push key */
    lua_rawget(L, -2);      /* replace key by top[key] */
    int result = 0;
    if (!lua_isboolean(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_BOOLEAN_NOT_FOUND_s, key);
    } else {
        if (value != nullptr) {
            *value = lua_toboolean(L, -1) ? 1 : 0;
        }
        result = 1;
    }
    lua_pop(L, 1); /* pop the value */
    QUELT_LUA_CHECK_TOP(L, top);
    return result;
}

int QueltLuaCommon_getNumberFromTopTable(lua_State *L, const char *key, double *value) {
    static const char *const ctx = "QueltLuaCommon_getNumberFromTopTable";
    if (!topTableUsable(L, key, ctx)) {
        return 0;
    }
    const int top = lua_gettop(L);
    lua_pushstring(L, key); /* push key */
    lua_rawget(L, -2);      /* replace key by top[key] */
    if (lua_isnumber(L, -1) && value != nullptr) {
        *value = lua_tonumberx(L, -1, nullptr);
    }
    lua_pop(L, 1); /* pop the value */
    QUELT_LUA_CHECK_TOP(L, top);
    return 1;
}

int QueltLuaCommon_getStringFromTopTable(lua_State *L, const char *key, const char **value) {
    static const char *const ctx = "QueltLuaCommon_getStringFromTopTable";
    if (!topTableUsable(L, key, ctx)) {
        return 0;
    }
    const int top = lua_gettop(L);
    lua_pushstring(L, key); /* push key */
    lua_rawget(L, -2);      /* replace key by top[key] */
    if (lua_isstring(L, -1)) {
        const bool isNumber = lua_type(L, -1) == LUA_TNUMBER;
        const char *text = lua_tolstring(L, -1, nullptr); /* a number becomes its text on the stack only */
        if (isNumber) {
            // Nothing else references that text: keep it in the registry until the next number
            // read as a string, so the pointer handed out survives this call.
            lua_pushlightuserdata(L, &g_numberTextKey); /* push registry key */
            lua_pushvalue(L, -2);                       /* push the text */
            lua_rawset(L, LUA_REGISTRYINDEX);           /* registry[key] = text; pops both */
        }
        if (value != nullptr) {
            *value = text;
        }
    }
    lua_pop(L, 1); /* pop the value */
    QUELT_LUA_CHECK_TOP(L, top);
    return 1;
}

void *QueltLuaCommon_getUserdataFromTopTable(lua_State *L, const char *key) {
    static const char *const ctx = "QueltLuaCommon_getUserdataFromTopTable";
    if (!keyIsValid(ctx, key)) {
        return nullptr;
    }
    if (!lua_istable(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_EXPECTED_ON_TOP);
        return nullptr;
    }
    const int top = lua_gettop(L);
    lua_pushstring(L, key); /* push key */
    lua_rawget(L, -2);      /* replace key by top[key] */
    void *result = nullptr;
    if (!lua_isuserdata(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_USERDATA_NOT_FOUND_s, key);
    } else {
        result = lua_touserdata(L, -1);
    }
    lua_pop(L, 1); /* pop the value */
    QUELT_LUA_CHECK_TOP(L, top);
    return result;
}

QueltLuaEngine *QueltLuaCommon_getEngineReferenceFromRegistry(lua_State *L) {
    if (L == nullptr) {
        return nullptr;
    }
    const int top = lua_gettop(L);
    lua_pushlightuserdata(L, L);      /* push key lud(L) */
    lua_rawget(L, LUA_REGISTRYINDEX); /* replace key by registry[lud(L)] */
    void *engine = lua_touserdata(L, -1);
    lua_pop(L, 1); /* pop it */
    if (engine == nullptr) {
        // Metamethods may run in a coroutine, whose state differs from the one the engine was
        // created with: fall back to the main thread's entry.
        lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_MAINTHREAD); /* push the main thread */
        lua_State *main = lua_tothread(L, -1);
        lua_pop(L, 1); /* pop it */
        if (main != nullptr && main != L) {
            lua_pushlightuserdata(L, main);   /* push key lud(main) */
            lua_rawget(L, LUA_REGISTRYINDEX); /* replace key by registry[lud(main)] */
            engine = lua_touserdata(L, -1);
            lua_pop(L, 1); /* pop it */
        }
    }
    QUELT_LUA_CHECK_TOP(L, top);
    return static_cast<QueltLuaEngine *>(engine);
}

// Pushes CONTEXT of the engine that owns L; logs with ctx on failure (engineMessage with
// engineArg when there is no engine). One value more on success, unchanged stack on failure.
static int pushContextOf(lua_State *L, const char *ctx, const QueltLogMessage &engineMessage,
                         const char *engineArg) {
    QueltLuaEngine *engine = QueltLuaCommon_getEngineReferenceFromRegistry(L);
    if (engine == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, engineMessage, engineArg);
        return 0;
    }
    if (!quelt::lua::pushMainFieldOf(L, engine, "CONTEXT")) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, "CONTEXT");
        return 0;
    }
    return 1;
}

void *QueltLuaCommon_getUserdataFromContext(lua_State *L, const char *key) {
    static const char *const ctx = "QueltLuaCommon_getUserdataFromContext";
    if (L == nullptr || !keyIsValid(ctx, key)) {
        return nullptr;
    }
    const int top = lua_gettop(L);
    if (!pushContextOf(L, ctx, LUABINDING_LOG_SET_FAILURE_s, "self")) { /* push CONTEXT */
        return nullptr;
    }
    void *result = QueltLuaCommon_getUserdataFromTopTable(L, key);
    lua_settop(L, top); /* pop CONTEXT */
    QUELT_LUA_CHECK_TOP(L, top);
    return result;
}

int QueltLuaCommon_getAliasMapLength(lua_State *L, const char *map) {
    static const char *const ctx = "QueltLuaCommon_getAliasMapLength";
    if (L == nullptr || !keyIsValid(ctx, map)) {
        return -1;
    }
    const int top = lua_gettop(L);
    if (!pushContextOf(L, ctx, LUABINDING_LOG_GET_FAILURE_s, "engine")) { /* push CONTEXT */
        return -1;
    }
    lua_pushstring(L, map); /* push map name */
    lua_rawget(L, -2);      /* replace it by CONTEXT[map] */
    int length = -1;
    // Raw length: the maps are plain tables, and "#" on anything else would raise a Lua error.
    if (lua_istable(L, -1)) {
        length = static_cast<int>(lua_rawlen(L, -1));
    } else {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_GET_LENGTH);
    }
    lua_settop(L, top); /* pop map and CONTEXT */
    QUELT_LUA_CHECK_TOP(L, top);
    return length;
}

const char *QueltLuaCommon_getNameFromIndex(lua_State *L, int position, const char *map) {
    static const char *const ctx = "QueltLuaCommon_getNameFromIndex";
    if (L == nullptr || !keyIsValid(ctx, map)) {
        return nullptr;
    }
    const int top = lua_gettop(L);
    if (!pushContextOf(L, ctx, LUABINDING_LOG_GET_FAILURE_s, "engine")) { /* push CONTEXT */
        return nullptr;
    }
    lua_pushstring(L, map); /* push map name */
    lua_rawget(L, -2);      /* replace it by CONTEXT[map] */
    const char *name = nullptr;
    if (!lua_istable(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, map);
    } else {
        lua_pushnumber(L, static_cast<lua_Number>(position)); /* push position */
        lua_rawget(L, -2);                                    /* replace it by map[position] */
        // Only strings: the text of anything else would not outlive this call.
        if (lua_type(L, -1) == LUA_TSTRING) {
            name = lua_tolstring(L, -1, nullptr); /* kept alive by the map */
        } else {
            QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_NO_ALIAS_FOUND_d, position);
        }
    }
    lua_settop(L, top); /* pop name, map and CONTEXT */
    QUELT_LUA_CHECK_TOP(L, top);
    return name;
}

void QueltLuaCommon_associateNameAndIdex(QueltLuaEngine *engine, const char *name, int position, const char *map) {
    static const char *const ctx = "QueltLuaCommon_associateNameAndIdex";
    if (engine == nullptr || engine->L == nullptr || name == nullptr || !keyIsValid(ctx, map)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "engine, name and map");
        return;
    }
    lua_State *L = engine->L;
    const int top = lua_gettop(L);
    if (!QueltLuaCommon_pushTableOnTopFromMainTable(engine, "CONTEXT")) { /* push CONTEXT */
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, "CONTEXT");
        return;
    }
    lua_pushstring(L, map); /* push map name */
    lua_rawget(L, -2);      /* replace it by CONTEXT[map] */
    if (!lua_istable(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, map);
    } else {
        lua_pushnumber(L, static_cast<lua_Number>(position)); /* push position */
        lua_pushstring(L, name);                              /* push name */
        lua_rawset(L, -3);                                    /* map[position] = name; pops both */
    }
    lua_settop(L, top); /* pop map and CONTEXT */
    QUELT_LUA_CHECK_TOP(L, top);
}

void QueltLuaCommon_stackDump(lua_State *L) {
    constexpr int level = QUELT_LUA_LOG_LEVEL_ERROR;
    constexpr uint32_t module = QUELT_LUA_LOG_SUBMODULE_LUA;
    if (L == nullptr || !QueltLuaLog_isEnabled(level, module)) {
        return;
    }
    const int top = lua_gettop(L);
    QueltLuaLog_plain(level, module, "<-- BOTTOM | ");
    for (int i = 1; i <= top; ++i) {
        switch (lua_type(L, i)) {
        case LUA_TSTRING:
            QueltLuaLog_plain(level, module, "'%s'", lua_tolstring(L, i, nullptr));
            break;
        case LUA_TBOOLEAN:
            QueltLuaLog_plain(level, module, "%s", lua_toboolean(L, i) ? "true" : "false");
            break;
        case LUA_TNUMBER:
            QueltLuaLog_plain(level, module, "%g", static_cast<double>(lua_tonumberx(L, i, nullptr)));
            break;
        default:
            QueltLuaLog_plain(level, module, "%s", lua_typename(L, lua_type(L, i)));
            break;
        }
        QueltLuaLog_plain(level, module, " | ");
    }
    QueltLuaLog_plain(level, module, " <-- TOP \n");
    QUELT_LUA_CHECK_TOP(L, top);
}

int QueltLuaCommon_didFileChange(time_t *timestamp, const char *path) {
    struct stat info;
    if (path == nullptr || timestamp == nullptr || stat(path, &info) != 0) {
        return 1; // unreadable counts as changed: the caller retries the load
    }
    if (info.st_mtime <= *timestamp) {
        return 0;
    }
    *timestamp = info.st_mtime;
    return 1;
}

} // extern "C"
