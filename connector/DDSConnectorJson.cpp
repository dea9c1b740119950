// Whole samples as JSON for bindings: a writer's instance set from JSON or read back as JSON,
// and a received sample as JSON.
#include "DDSConnectorCall.h"
#include "MetamethodImpl.h"

using namespace quelt::connector;

namespace {

struct JsonCall {
    Call call;
    const char *json; // setJSONInstance
    int index;        // getJSONSample
    char *text;       // what a getter hands out
};

// The JSON text on top (if any) as a string the caller owns.
void takeText(lua_State *L, JsonCall &json)
{
    const char *text = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : nullptr;
    json.text = text ? DDS_String_dup(text) : nullptr;
}

bool pushInstance(lua_State *L, JsonCall &json)
{
    return pushEntry(L, json.call, QUELT_LUA_KEY_WRITER) &&
           descend(L, json.call, QUELT_LUA_KEY_INSTANCE, LUABINDING_LOG_GET_WRITER, &LUABINDING_LOG_GET_INSTANCE);
}

int setInstanceBody(lua_State *L)
{
    JsonCall &json = beginBody<JsonCall>(L);
    if (!pushInstance(L, json))
        return 0;
    lua_pushstring(L, json.json); /* a null text is nil: refused as a missing string */
    QueltLuaMetamethodImpl_OutData(L, QUELT_LUA_DATA_SET_FROM_JSON);
    return 0;
}

int getInstanceBody(lua_State *L)
{
    JsonCall &json = beginBody<JsonCall>(L);
    if (!pushInstance(L, json))
        return 0;
    if (QueltLuaMetamethodImpl_OutData(L, QUELT_LUA_DATA_JSON) != 0)
        takeText(L, json);
    return 0;
}

int getSampleBody(lua_State *L)
{
    JsonCall &json = beginBody<JsonCall>(L);
    if (!pushEntry(L, json.call, QUELT_LUA_KEY_READER) ||
        !descend(L, json.call, QUELT_LUA_KEY_SAMPLES, LUABINDING_LOG_GET_READER))
        return 0;
    // samples[index] rendered as JSON, found without making the indexed table: for JSON the
    // element is always the loaned sample itself, valid data or not.
    QueltLuaInDataElement element;
    if (QueltLuaMetamethodImpl_InDataLocate(L, json.call.self->base->engine, json.index, QUELT_LUA_DATA_JSON,
                                            &element) != 0 ||
        !element.available || element.info == nullptr || element.sample == nullptr)
        return 0; // logged, or past the end (a warning)
    lua_pushstring(L, "not_important");
    QueltLuaMetamethodImpl_InDataValue(L, QUELT_LUA_DATA_JSON, element.info, element.sample);
    takeText(L, json);
    return 0;
}

char *getText(QueltDDSConnector *self, const char *ctx, const char *entityName, int index, lua_CFunction body)
{
    JsonCall json{{self, ctx, entityName}, nullptr, index, nullptr};
    if (!checkConnectorAndEntity(ctx, self, entityName))
        return nullptr;
    if (!runProtected(json.call, body, &json)) {
        DDS_String_free(json.text);
        return nullptr;
    }
    return json.text;
}

} // namespace

extern "C" {

void QueltDDSConnector_setJSONInstance(QueltDDSConnector *self, const char *entityName, const char *json)
{
    JsonCall call{{self, "QueltDDSConnector_setJSONInstance", entityName}, json, 0, nullptr};
    if (checkConnectorAndEntity(call.call.ctx, self, entityName))
        runProtected(call.call, setInstanceBody, &call);
}

char *QueltDDSConnector_getJSONInstance(QueltDDSConnector *self, const char *entityName)
{
    return getText(self, "QueltDDSConnector_getJSONInstance", entityName, 0, getInstanceBody);
}

char *QueltDDSConnector_getJSONSample(QueltDDSConnector *self, const char *entityName, int index)
{
    return getText(self, "QueltDDSConnector_getJSONSample", entityName, index, getSampleBody);
}

} // extern "C"
