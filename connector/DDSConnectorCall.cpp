// The protected calls behind the exported sample functions.
#include "DDSConnectorCall.h"

namespace quelt::connector {

bool runProtected(const Call &call, lua_CFunction body, void *record)
{
    lua_State *L = call.self->base->engine->L;
    const int base = lua_gettop(L);
    bool ok = false;
    if (!lua_checkstack(L, 3)) {
        CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_ANY_ss, "lua_checkstack", "failed");
    } else {
        // Its lookups honour metamethods, which run a script's code.
        QueltLuaEngine_touch(call.self->base->engine);
        lua_pushcfunction(L, body);
        lua_pushlightuserdata(L, record);
        if (lua_pcall(L, 1, 0, 0) == LUA_OK) {
            ok = true;
        } else {
            const char *text = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "Lua error";
            CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_EXECUTE_FAILURE_s, text);
        }
    }
    lua_settop(L, base);
    return ok;
}

bool pushEntry(lua_State *L, const Call &call, QueltLuaKey table)
{
    if (!QueltLuaCommon_pushInternedTableFromMainTable(call.self->base->engine, table)) {
        CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_GET_TABEL, QueltLuaEngine_keyText(table));
        return false;
    }
    lua_pushstring(L, call.entityName);
    lua_gettable(L, -2);
    return true;
}

bool descend(lua_State *L, const Call &call, QueltLuaKey key, const QueltLogMessage &entryMissing,
             const QueltLogMessage *keyMissing)
{
    lua_remove(L, 1);
    // An unknown name yields no entry; looking the key up in it would raise a Lua error.
    if (!lua_istable(L, -1)) {
        CONNECTOR_LOG_ERROR(call.ctx, entryMissing);
        return false;
    }
    QueltLuaEngine_pushKey(call.self->base->engine, L, key);
    lua_gettable(L, -2);
    lua_remove(L, 1);
    if (!lua_istable(L, -1)) {
        if (keyMissing)
            CONNECTOR_LOG_ERROR(call.ctx, *keyMissing);
        else
            CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, QueltLuaEngine_keyText(key));
        return false;
    }
    return true;
}

bool checkConnectorAndEntity(const char *ctx, QueltDDSConnector *self, const char *entityName)
{
    if (!self) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "connector is null");
        return false;
    }
    if (!entityName) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "an entityName must be specified");
        return false;
    }
    return true;
}

} // namespace quelt::connector
