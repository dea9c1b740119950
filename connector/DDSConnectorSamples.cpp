// The writer's side and the reader's loans for bindings: setting members of a writer's instance,
// clear, write (with or without parameters), read and take.
#include "DDSConnectorCall.h"
#include "DDSConnectorWriterParamJsonHelper.h"
#include "DynamicData.h"
#include "MetamethodImpl.h"

using namespace quelt::connector;

namespace {

// One member of a writer's instance and the value to give it.
struct SetCall {
    Call call;
    const char *fieldName;
    enum { kNumber, kBoolean, kString } kind;
    double number;
    int boolean;
    const char *text;
};

// A container operation on one entry.
struct EntityOperation {
    Call call;
    int operation;
    DDS_WriteParams_t *params; // write with parameters only
};

int setBody(lua_State *L)
{
    SetCall &set = beginBody<SetCall>(L);
    if (!pushEntry(L, set.call, QUELT_LUA_KEY_WRITER) ||
        !descend(L, set.call, QUELT_LUA_KEY_INSTANCE, LUABINDING_LOG_GET_WRITER, &LUABINDING_LOG_GET_INSTANCE))
        return 0;
    lua_pushstring(L, set.fieldName);
    switch (set.kind) {
    case SetCall::kNumber:
        lua_pushnumber(L, set.number);
        break;
    case SetCall::kBoolean:
        lua_pushboolean(L, set.boolean != 0);
        break;
    case SetCall::kString:
        lua_pushstring(L, set.text);
        break;
    }
    QueltLuaMetamethodImpl_OutDataOf(L, QUELT_LUA_DATA_SET, set.call.self->base->engine);
    return 0;
}

int outBody(lua_State *L)
{
    EntityOperation &op = beginBody<EntityOperation>(L);
    if (!pushEntry(L, op.call, QUELT_LUA_KEY_WRITER))
        return 0;
    // The container checks the entry itself and reports a missing one.
    if (op.operation == QUELT_LUA_OUT_WRITE_W_PARAMS)
        lua_pushlightuserdata(L, op.params);
    QueltLuaContainer_Out(L, op.operation);
    return 0;
}

int inBody(lua_State *L)
{
    EntityOperation &op = beginBody<EntityOperation>(L);
    if (!pushEntry(L, op.call, QUELT_LUA_KEY_READER))
        return 0;
    // No number above the entry: every available sample.
    QueltLuaContainer_In(L, op.operation);
    return 0;
}

void setValue(SetCall &set)
{
    if (!checkConnectorAndEntity(set.call.ctx, set.call.self, set.call.entityName))
        return;
    if (!set.fieldName) {
        CONNECTOR_LOG_ERROR(set.call.ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "a fieldName must be specified");
        return;
    }
    // A null text would reach the engine as nil, which clears an optional member: not what a
    // caller who passed no text asked for.
    if (set.kind == SetCall::kString && !set.text) {
        CONNECTOR_LOG_ERROR(set.call.ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "a value must be specified");
        return;
    }
    // A number into a numeric member, a text into a string member, go straight to the writer's
    // instance, as the engine would set them, while the engine's tables lead there (a script may
    // have changed them); anything else, or a refusal, goes the engine's way, which says what is
    // wrong.
    if (set.kind != SetCall::kBoolean)
        if (PublicationHolder *w = QueltDDSConnector_publicationHolderI(set.call.self, set.call.entityName);
            w && (set.kind == SetCall::kNumber ? QueltLuaDynamicData_setNumber(w->instance, set.fieldName, set.number)
                                               : QueltLuaDynamicData_setString(w->instance, set.fieldName, set.text)) == DDS_RETCODE_OK)
            return;
    runProtected(set.call, setBody, &set);
}

void runOperation(QueltDDSConnector *self, const char *ctx, const char *entityName, int operation,
                  lua_CFunction body)
{
    EntityOperation op{{self, ctx, entityName}, operation, nullptr};
    if (checkConnectorAndEntity(ctx, self, entityName))
        runProtected(op.call, body, &op);
}

} // namespace

extern "C" {

void QueltDDSConnector_setNumberIntoSamples(QueltDDSConnector *self, const char *entityName, const char *fieldName,
                                            double value)
{
    SetCall set{{self, "QueltDDSConnector_setNumberIntoSamples", entityName}, fieldName, SetCall::kNumber, value, 0,
                nullptr};
    setValue(set);
}

void QueltDDSConnector_setBooleanIntoSamples(QueltDDSConnector *self, const char *entityName, const char *fieldName,
                                             int value)
{
    SetCall set{{self, "QueltDDSConnector_setBooleanIntoSamples", entityName}, fieldName, SetCall::kBoolean, 0.0,
                value, nullptr};
    setValue(set);
}

void QueltDDSConnector_setStringIntoSamples(QueltDDSConnector *self, const char *entityName, const char *fieldName,
                                            const char *value)
{
    SetCall set{{self, "QueltDDSConnector_setStringIntoSamples", entityName}, fieldName, SetCall::kString, 0.0, 0,
                value};
    setValue(set);
}

void QueltDDSConnector_clear(QueltDDSConnector *self, const char *entityName)
{
    runOperation(self, "QueltDDSConnector_clear", entityName, QUELT_LUA_OUT_CLEAR_MEMBERS, outBody);
}

void QueltDDSConnector_write(QueltDDSConnector *self, const char *entityName, const char *paramsJson)
{
    static const char *const ctx = "QueltDDSConnector_write";
    if (!paramsJson) {
        // The writer and instance the engine's tables lead to, when both are this connector's,
        // are written straight away, as the engine would; anything else goes the engine's way,
        // which says what is wrong.
        if (!checkConnectorAndEntity(ctx, self, entityName))
            return;
        const void *writer = nullptr;
        const void *instance = QueltLuaEngine_outputEntry(self->base->engine, entityName, &writer);
        const QueltLuaContainer &container = self->base->engine->container;
        if (instance && writer && container.write && QueltDDSConnector_isOwnOutputI(self, writer, instance)) {
            container.write(static_cast<DDS_DynamicDataWriter *>(const_cast<void *>(writer)),
                            static_cast<DDS_DynamicData *>(const_cast<void *>(instance)));
            return;
        }
        EntityOperation op{{self, ctx, entityName}, QUELT_LUA_OUT_WRITE, nullptr};
        runProtected(op.call, outBody, &op);
        return;
    }
    if (!checkConnectorAndEntity(ctx, self, entityName))
        return;
    // Lives for this call only; the container reads it during the write.
    DDS_WriteParams_t params;
    DDS_WriteParams_t_initialize(&params);
    if (DDSConnectorWriterParamJsonHelper_parse_json(&params, paramsJson) != 0) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "json parsing form WriteParams failed");
        return;
    }
    EntityOperation op{{self, ctx, entityName}, QUELT_LUA_OUT_WRITE_W_PARAMS, &params};
    runProtected(op.call, outBody, &op);
}

void QueltDDSConnector_read(QueltDDSConnector *self, const char *entityName)
{
    runOperation(self, "QueltDDSConnector_read", entityName, QUELT_LUA_IN_READ, inBody);
}

void QueltDDSConnector_take(QueltDDSConnector *self, const char *entityName)
{
    runOperation(self, "QueltDDSConnector_take", entityName, QUELT_LUA_IN_TAKE, inBody);
}

} // extern "C"
