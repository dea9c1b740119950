// The container record's copy and release, and the sample gateways In and Out.
#include "Container.h"

#include "Common.h"
#include "DynamicData.h"
#include "Engine.h"
#include "Internal.h"
#include "dds/dds_string.h"
#include "Log.h"

extern "C" {

void QueltLuaContainer_initFrom(const QueltLuaContainer *source, QueltLuaContainer *destination) {
    if (source == nullptr || destination == nullptr) {
        return;
    }
    destination->fileTimestamp = 0;
    destination->getInputLength = source->getInputLength;
    destination->getSample = source->getSample;
    destination->getSampleInfo = source->getSampleInfo;
    destination->write = source->write;
    destination->write_w_params = source->write_w_params;
    destination->unregister = source->unregister;
    destination->dispose = source->dispose;
    destination->take = source->take;
    destination->read = source->read;
    destination->return_loan = source->return_loan;
    destination->get_key_value = source->get_key_value;
    // The source's name may be a constant or owned by the caller: the copy owns its own.
    destination->name = source->name != nullptr ? DDS_String_dup(source->name) : nullptr;
    destination->checkPeriodSec = source->checkPeriodSec;
    destination->checkPeriodNanosec = source->checkPeriodNanosec;
    // userData stays as it was: the owner is published in CONTEXT, not kept in the copy.
}

void QueltLuaContainer_free(QueltLuaContainer *container) {
    if (container == nullptr || container->name == nullptr) {
        return;
    }
    DDS_String_free(container->name);
    container->name = nullptr;
}

namespace {

// Logs msg, dumps the stack and gives the gateways' single result count.
int fail(lua_State *L, const char *ctx, const QueltLogMessage &msg) {
    QUELT_LUA_LOG_ERROR(ctx, msg);
    QueltLuaCommon_stackDump(L);
    return 1;
}

// Checks that the top is a non-null light userdata and pops it. Null with the failure logged
// (the value stays on the stack, as the callers' contract allows).
void *popPointer(lua_State *L, const char *ctx, const QueltLogMessage &nullMessage) {
    if (!lua_islightuserdata(L, -1)) {
        fail(L, ctx, LUABINDING_LOG_USERDATA_EXPECTED_ON_TOP);
        return nullptr;
    }
    void *pointer = lua_touserdata(L, -1);
    if (pointer == nullptr) {
        fail(L, ctx, nullMessage);
        return nullptr;
    }
    lua_pop(L, 1); /* pop the pointer */
    return pointer;
}

// Gives entry[key] (a samples or infos table) a new loan number, so that indexed tables made
// from the previous loan know they must not read it any more. Entry at an absolute index.
void renumberLoan(lua_State *L, int entry, const char *key) {
    lua_pushstring(L, key); /* push the key */
    lua_rawget(L, entry);   /* replace it by entry[key] */
    if (lua_istable(L, -1)) {
        lua_pushstring(L, "#loan");                            /* push the key */
        lua_pushvalue(L, -1);                                  /* push it again, to read it */
        lua_rawget(L, -3);                                     /* replace it by table["#loan"] */
        const lua_Number loan = lua_tonumberx(L, -1, nullptr); /* 0 when it is not a number */
        lua_pop(L, 1);                                         /* pop it */
        lua_pushnumber(L, loan + 1);                           /* push the next number */
        lua_rawset(L, -3);                                     /* table["#loan"] = next; pops both */
    }
    lua_pop(L, 1); /* pop the table */
}

} // namespace

int QueltLuaContainer_In(lua_State *L, int operation) {
    static const char *const ctx = "QueltLuaContainer_In";
    int maxSamples = -1; // unlimited
    if (lua_isnumber(L, -1)) {
        maxSamples = quelt::lua::truncateToInt(lua_tonumberx(L, -1, nullptr));
        lua_pop(L, 1); /* pop the max-samples argument */
    }
    if (!lua_istable(L, -1)) {
        return fail(L, ctx, LUABINDING_LOG_TABLE_EXPECTED_ON_TOP);
    }
    lua_pushstring(L, "#reader"); /* push the key */
    lua_gettable(L, -2);          /* replace it by entry["#reader"] */
    auto *reader = static_cast<DDS_DynamicDataReader *>(popPointer(L, ctx, LUABINDING_LOG_GET_READER));
    if (reader == nullptr) {
        return 1;
    }
    if (!lua_istable(L, -1)) {
        return fail(L, ctx, LUABINDING_LOG_TABLE_EXPECTED_ON_TOP);
    }
    lua_pushstring(L, "samples"); /* push the key */
    lua_rawget(L, -2);            /* replace it by entry.samples: the Lua result */
    if (!lua_istable(L, -1)) {    // a script replaced it
        lua_pop(L, 1);            /* pop it */
        lua_pushnil(L);           /* push the Lua result: nil */
        return fail(L, ctx, LUABINDING_LOG_TABLE_EXPECTED_ON_TOP);
    }
    lua_pushstring(L, "#sampleSeq"); /* push the key */
    lua_rawget(L, -2);               /* replace it by samples["#sampleSeq"] */
    if (lua_isnil(L, -1)) {
        return 1; // no sequences bound: the nil on top is the Lua result, with no message
    }
    auto *dataSequence = static_cast<DDS_DynamicDataSeq *>(popPointer(L, ctx, LUABINDING_LOG_GET_DATASEQ));
    if (dataSequence == nullptr) {
        return 1;
    }
    lua_pushstring(L, "#infoSeq"); /* push the key */
    lua_rawget(L, -2);             /* replace it by samples["#infoSeq"] */
    auto *infoSequence = static_cast<DDS_SampleInfoSeq *>(popPointer(L, ctx, LUABINDING_LOG_GET_INFOSEQ));
    if (infoSequence == nullptr) {
        return 1;
    }
    // The samples table (on top) shows whose entry this is: one kept from a deleted connector
    // points at freed sequences and a deleted reader.
    QueltLuaEngine *engine = QueltLuaCommon_getEngineReferenceFromRegistry(L);
    if (engine == nullptr || !QueltLuaEngine_ownsDataTable(engine, L, -1)) {
        return fail(L, ctx, LUABINDING_LOG_GET_CONTAINER);
    }
    const QueltLuaContainer &container = engine->container;
    // Whatever the operation's outcome, the loan the indexed tables point into may be gone.
    const int entry = lua_absindex(L, -2);
    renumberLoan(L, entry, "samples");
    renumberLoan(L, entry, "infos");
    // The slot's return code is not examined: callers read the sequences to see the outcome.
    switch (operation) {
    case QUELT_LUA_IN_TAKE:
        if (container.take != nullptr) {
            container.take(reader, maxSamples, dataSequence, infoSequence);
        }
        break;
    case QUELT_LUA_IN_READ:
        if (container.read != nullptr) {
            container.read(reader, maxSamples, dataSequence, infoSequence);
        }
        break;
    case QUELT_LUA_IN_RETURN_LOAN:
        if (container.return_loan != nullptr) {
            container.return_loan(reader, dataSequence, infoSequence);
        }
        break;
    default:
        return fail(L, ctx, LUABINDING_LOG_OPERATION_UNDEF);
    }
    return 1;
}

int QueltLuaContainer_Out(lua_State *L, int operation) {
    static const char *const ctx = "QueltLuaContainer_Out";
    DDS_WriteParams_t *params = nullptr;
    if (operation == QUELT_LUA_OUT_WRITE_W_PARAMS) {
        params = static_cast<DDS_WriteParams_t *>(popPointer(L, ctx, LUABINDING_LOG_GET_WRITER_PARAMS));
        if (params == nullptr) {
            return 1;
        }
    }
    if (!lua_istable(L, -1)) {
        return fail(L, ctx, LUABINDING_LOG_TABLE_EXPECTED_ON_TOP);
    }
    QueltLuaEngine *engine = QueltLuaCommon_getEngineReferenceFromRegistry(L);
    if (engine == nullptr) {
        return fail(L, ctx, LUABINDING_LOG_GET_CONTAINER);
    }
    lua_pushstring(L, "#writer"); /* push the key */
    lua_gettable(L, -2);          /* replace it by entry["#writer"] */
    auto *writer = static_cast<DDS_DynamicDataWriter *>(popPointer(L, ctx, LUABINDING_LOG_GET_WRITER));
    if (writer == nullptr) {
        return 1;
    }
    if (!lua_istable(L, -1)) {
        return fail(L, ctx, LUABINDING_LOG_TABLE_EXPECTED_ON_TOP);
    }
    lua_pushstring(L, "instance"); /* push the key */
    lua_gettable(L, -2);           /* replace it by entry.instance: the Lua result */
    if (!lua_istable(L, -1)) {     // a script replaced it
        lua_pop(L, 1);             /* pop it */
        lua_pushnil(L);            /* push the Lua result: nil */
        return fail(L, ctx, LUABINDING_LOG_TABLE_EXPECTED_ON_TOP);
    }
    if (!QueltLuaEngine_ownsDataTable(engine, L, -1)) { // an entry kept from a deleted connector
        return fail(L, ctx, LUABINDING_LOG_GET_CONTAINER);
    }
    lua_pushstring(L, "#sample");  /* push the key */
    lua_gettable(L, -2);           /* replace it by instance["#sample"] */
    auto *instance = static_cast<DDS_DynamicData *>(popPointer(L, ctx, LUABINDING_LOG_GET_INSTANCE));
    if (instance == nullptr) {
        return 1;
    }
    const QueltLuaContainer &container = engine->container;
    // Slot return codes are not examined: the writer's status tells the outcome.
    switch (operation) {
    case QUELT_LUA_OUT_WRITE:
        if (container.write != nullptr) {
            container.write(writer, instance);
        }
        break;
    case QUELT_LUA_OUT_UNREGISTER:
        if (container.unregister != nullptr) {
            container.unregister(writer, instance);
        }
        break;
    case QUELT_LUA_OUT_DISPOSE:
        if (container.dispose != nullptr) {
            container.dispose(writer, instance);
        }
        break;
    case QUELT_LUA_OUT_WRITE_W_PARAMS:
        if (container.write_w_params != nullptr) {
            container.write_w_params(writer, instance, params);
        }
        break;
    case QUELT_LUA_OUT_CLEAR_MEMBERS:
        if (QueltLuaDynamicData_clear(instance) != DDS_RETCODE_OK) {
            return fail(L, ctx, LUABINDING_LOG_GET_CONTAINER);
        }
        break;
    default:
        break;
    }
    return 1;
}

} // extern "C"
