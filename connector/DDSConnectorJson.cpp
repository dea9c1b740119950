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

// The sample's JSON text as a string the caller owns. The text goes to the caller without a
// stop in Lua: a heap string of the formatter is handed over as it is, a text in the buffer is
// copied once.
void handOut(JsonCall &json, DDS_DynamicData *sample)
{
    char buffer[512];
    int allocated = 0;
    char *text = QueltLuaMetamethodImpl_getJSONString(sample, buffer, &allocated);
    json.text = allocated ? text : text ? DDS_String_dup(text) : nullptr;
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
    lua_pushstring(L, "#sample"); /* push the key */
    lua_rawget(L, -2);            /* replace it by instance["#sample"] */
    if (lua_isnil(L, -1))
        return 0; // an instance without a sample has no text
    auto *sample = static_cast<DDS_DynamicData *>(lua_touserdata(L, -1));
    if (!lua_islightuserdata(L, -1) || !sample) {
        CONNECTOR_LOG_ERROR(json.call.ctx, LUABINDING_LOG_USERDATA_EXPECTED_ON_TOP);
        return 0;
    }
    handOut(json, sample);
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
    handOut(json, element.sample);
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
