// Data metamethods. Indexing READER/WRITER by position and their length work on the alias maps;
// the sample, info and instance operations are placeholders that report the operation as not
// defined and produce nil.
#include "MetamethodImpl.h"

#include "Common.h"
#include "Internal.h"
#include "Log.h"

namespace {

int undefined(lua_State *L, const char *ctx) {
    QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_OPERATION_UNDEF);
    lua_pushnil(L); /* push the (absent) result */
    return 1;
}

} // namespace

extern "C" {

int QueltLuaMetamethodImpl_TableIndex(lua_State *L, const char *map) {
    static const char *const ctx = "QueltLuaMetamethodImpl_TableIndex";
    // Reached only for keys that name no entry: a name here is simply not registered.
    if (!lua_isnumber(L, -1)) {
        QUELT_LUA_LOG_WARNING(ctx, LUABINDING_LOG_NUMBER_EXPECTED_ON_TOP);
        lua_pushnil(L); /* push the result */
        return 1;
    }
    const int position = static_cast<int>(lua_tonumberx(L, -1, nullptr));
    lua_pop(L, 1); /* pop the key */
    const char *name = QueltLuaCommon_getNameFromIndex(L, position, map);
    if (name == nullptr || !lua_istable(L, 1)) {
        QUELT_LUA_LOG_WARNING(ctx, LUABINDING_LOG_NO_ALIAS_FOUND_d, position);
        lua_pushnil(L); /* push the result */
        return 1;
    }
    lua_pushstring(L, name); /* push the entity name */
    lua_rawget(L, 1);        /* replace it by table[name]: the entry */
    return 1;
}

int QueltLuaMetamethodImpl_TableLen(lua_State *L, const char *map) {
    static const char *const ctx = "QueltLuaMetamethodImpl_TableLen";
    if (!lua_istable(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_EXPECTED_ON_TOP);
        QueltLuaCommon_stackDump(L);
        lua_pushnumber(L, 0); /* push a length of 0 */
        return 1;
    }
    const int count = QueltLuaCommon_getAliasMapLength(L, map);
    if (count < 0) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_GET_LENGTH);
        QueltLuaCommon_stackDump(L);
        lua_pushnumber(L, 0); /* push a length of 0 */
        return 1;
    }
    lua_pushnumber(L, count); /* push the length */
    return 1;
}

int QueltLuaMetamethodImpl_OutData(lua_State *L, int op) {
    (void)op;
    return undefined(L, "QueltLuaMetamethodImpl_OutData");
}

int QueltLuaMetamethodImpl_InData(lua_State *L, int op) {
    (void)op;
    return undefined(L, "QueltLuaMetamethodImpl_InData");
}

int QueltLuaMetamethodImpl_InDataIndexing(lua_State *L, int op) {
    (void)L, (void)op;
    QUELT_LUA_LOG_ERROR("QueltLuaMetamethodImpl_InDataIndexing", LUABINDING_LOG_OPERATION_UNDEF);
    return 1; // failure status, nothing pushed
}

int QueltLuaMetamethodImpl_InDataDereference(lua_State *L, int op) {
    (void)op;
    return undefined(L, "QueltLuaMetamethodImpl_InDataDereference");
}

int QueltLuaMetamethodImpl_InDataLen(lua_State *L) {
    QUELT_LUA_LOG_ERROR("QueltLuaMetamethodImpl_InDataLen", LUABINDING_LOG_OPERATION_UNDEF);
    lua_pushnumber(L, 0); /* push a sample count of 0 */
    return 1;
}

char *QueltLuaMetamethodImpl_getJSONString(DDS_DynamicData *data, char *buffer, int *allocated) {
    (void)data, (void)buffer;
    if (allocated != nullptr) {
        *allocated = 0;
    }
    QUELT_LUA_LOG_ERROR("QueltLuaMetamethodImpl_getJSONString", LUABINDING_LOG_OPERATION_UNDEF);
    return nullptr;
}

DDS_ReturnCode_t QueltLuaMetamethodImpl_to_json(DDS_DynamicData *data, char *buffer, DDS_UnsignedLong *size,
                                                int setting) {
    (void)data, (void)buffer, (void)size, (void)setting;
    QUELT_LUA_LOG_ERROR("QueltLuaMetamethodImpl_to_json", LUABINDING_LOG_OPERATION_UNDEF);
    return DDS_RETCODE_UNSUPPORTED;
}

} // extern "C"
