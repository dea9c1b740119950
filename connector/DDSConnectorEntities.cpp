// The middleware reader or writer behind a full name, for bindings that want the DDS API itself.
#include "DDSConnectorCall.h"

using namespace quelt::connector;

namespace {

struct EntityCall {
    Call call;
    QueltLuaKey table;
    const char *key;
    const QueltLogMessage *nullMessage;
    void *result;
};

int entityBody(lua_State *L)
{
    EntityCall &e = beginBody<EntityCall>(L);
    if (!pushEntry(L, e.call, e.table) || !lua_istable(L, -1))
        return 0; // an unknown name was reported by the table's index metamethod
    lua_getfield(L, -1, e.key);
    if (!lua_islightuserdata(L, -1))
        CONNECTOR_LOG_ERROR(e.call.ctx, LUABINDING_LOG_USERDATA_EXPECTED_ON_TOP);
    else if (!(e.result = lua_touserdata(L, -1)))
        CONNECTOR_LOG_ERROR(e.call.ctx, *e.nullMessage);
    return 0;
}

void *getEntity(QueltDDSConnector *self, const char *entityName, const char *ctx, QueltLuaKey table, const char *key,
                const QueltLogMessage *nullMessage)
{
    EntityCall e{{self, ctx, entityName}, table, key, nullMessage, nullptr};
    if (checkConnectorAndEntity(ctx, self, entityName))
        runProtected(e.call, entityBody, &e);
    return e.result;
}

} // namespace

extern "C" {

DDS_DynamicDataReader *QueltDDSConnector_getReader(QueltDDSConnector *self, const char *entityName)
{
    return static_cast<DDS_DynamicDataReader *>(getEntity(self, entityName, "QueltDDSConnector_getReader",
                                                          QUELT_LUA_KEY_READER, "#reader", &LUABINDING_LOG_GET_READER));
}

DDS_DynamicDataWriter *QueltDDSConnector_getWriter(QueltDDSConnector *self, const char *entityName)
{
    return static_cast<DDS_DynamicDataWriter *>(getEntity(self, entityName, "QueltDDSConnector_getWriter",
                                                          QUELT_LUA_KEY_WRITER, "#writer", &LUABINDING_LOG_GET_WRITER));
}

} // extern "C"
