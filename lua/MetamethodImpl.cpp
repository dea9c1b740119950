// Data metamethods: READER/WRITER by position and length, writer instances, and the samples and
// infos tables of readers bound to the current loan. JSON text is still a placeholder.
#include "MetamethodImpl.h"

#include <cmath>
#include <climits>
#include <cstdio>
#include <cstring>

#include "Common.h"
#include "DynamicData.h"
#include "Engine.h"
#include "dds/dds_domain.h"
#include "dds/dds_log.h"
#include "dds/dds_string.h"
#include "Internal.h"
#include "Log.h"

namespace {

using quelt::lua::truncateToInt;

// What a script that kept a table of a deleted connector is told, instead of reaching freed memory.
const char *const kDeletedConnector = "this table belongs to a connector that was deleted: it reaches no sample";

// The caller's buffer of a JSON text; longer texts get one heap string of their exact size.
constexpr DDS_UnsignedLong kJsonBufferSize = 512;

// table[key] = lud(pointer), raw; table at an absolute index. Stack unchanged.
void rawSetPointer(lua_State *L, const QueltLuaEngine *engine, int table, QueltLuaKey key, void *pointer) {
    QueltLuaEngine_pushKey(engine, L, key); /* push the key */
    lua_pushlightuserdata(L, pointer);      /* push the pointer */
    lua_rawset(L, table);                   /* pops both */
}

// *out = raw table[key] (nil gives null). Returns false, logged, when the value is neither nil
// nor a light userdata. Stack unchanged.
bool rawGetPointer(lua_State *L, const QueltLuaEngine *engine, int table, QueltLuaKey key, void **out,
                   const char *ctx) {
    QueltLuaEngine_pushKey(engine, L, key); /* push the key */
    lua_rawget(L, table);                   /* replace it by table[key] */
    const bool ok = lua_isnil(L, -1) || lua_islightuserdata(L, -1);
    *out = ok ? lua_touserdata(L, -1) : nullptr;
    lua_pop(L, 1); /* pop it */
    if (!ok) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_USERDATA_EXPECTED_ON_TOP);
    }
    return ok;
}

// Pushes the JSON text of the sample at index (nil when there is none).
void pushJson(lua_State *L, int index, const char *ctx) {
    auto *data = static_cast<DDS_DynamicData *>(lua_touserdata(L, index));
    if (!lua_islightuserdata(L, index) || data == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_USERDATA_EXPECTED_ON_TOP);
        return;
    }
    char buffer[kJsonBufferSize];
    int allocated = 0;
    char *text = QueltLuaMetamethodImpl_getJSONString(data, buffer, &allocated);
    lua_pushstring(L, text); /* push the text; null pushes nil */
    if (allocated) {
        DDS_String_free(text);
    }
}

// False for an indexed table (table at 1) made from a loan that has been returned since: its
// samples/infos table has moved on to another loan number. A table that is not an indexed one
// (no owner) is left to the dereference's own checks. Stack unchanged.
bool loanIsCurrent(lua_State *L) {
    lua_pushstring(L, "#owner"); /* push the key */
    lua_rawget(L, 1);            /* replace it by table["#owner"] */
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1); /* pop it */
        return true;
    }
    bool current = false;
    if (lua_istable(L, -1)) {
        lua_pushstring(L, "#loan"); /* push the key */
        lua_rawget(L, -2);          /* replace it by owner["#loan"] */
        lua_pushstring(L, "#loan"); /* push the key */
        lua_rawget(L, 1);           /* replace it by table["#loan"] */
        current = lua_type(L, -1) == LUA_TNUMBER && lua_rawequal(L, -1, -2);
        lua_pop(L, 2); /* pop both numbers */
    }
    lua_pop(L, 1); /* pop the owner */
    return current;
}

// After the warning for a name that is no entity: one more warning that names the key and the
// entities that exist, so that a typo is found without reading the configuration. A fixed buffer:
// no object with a destructor lives across the Lua calls. Key on top; stack unchanged.
void warnUnknownEntity(lua_State *L, const char *map, const char *ctx) {
    if (!QueltLuaLog_isEnabled(QUELT_LUA_LOG_LEVEL_WARNING, QUELT_LUA_LOG_SUBMODULE_LUA) || lua_type(L, -1) != LUA_TSTRING) {
        return;
    }
    const bool writers = std::strcmp(map, QUELT_LUA_OUTPUT_MAP) == 0;
    char text[512];
    int used = std::snprintf(text, sizeof text, "no %s named '%s'; the %s are", writers ? "writer" : "reader",
                             lua_tolstring(L, -1, nullptr), writers ? "writers" : "readers");
    const int count = QueltLuaCommon_getAliasMapLength(L, map);
    for (int position = 1; position <= count && used > 0 && used < static_cast<int>(sizeof text); ++position) {
        const char *name = QueltLuaCommon_getNameFromIndex(L, position, map);
        used += std::snprintf(text + used, sizeof text - used, "%s '%s'", position > 1 ? "," : "", name ? name : "?");
    }
    if (count <= 0 && used > 0 && used < static_cast<int>(sizeof text)) {
        std::snprintf(text + used, sizeof text - used, " none");
    }
    QUELT_LUA_LOG_WARNING(ctx, QUELT_LOG_ANY_s, text); // a name too long for the buffer is cut short
}

} // namespace

extern "C" {

int QueltLuaMetamethodImpl_TableIndex(lua_State *L, const char *map) {
    static const char *const ctx = "QueltLuaMetamethodImpl_TableIndex";
    // Reached only for keys that name no entry: a name here is simply not registered.
    if (!lua_isnumber(L, -1)) {
        QUELT_LUA_LOG_WARNING(ctx, LUABINDING_LOG_NUMBER_EXPECTED_ON_TOP);
        warnUnknownEntity(L, map, ctx);
        lua_pushnil(L); /* push the result */
        return 1;
    }
    const int position = truncateToInt(lua_tonumberx(L, -1, nullptr));
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
    return QueltLuaMetamethodImpl_OutDataOf(L, op, nullptr);
}

int QueltLuaMetamethodImpl_OutDataOf(lua_State *L, int op, QueltLuaEngine *engine) {
    static const char *const ctx = "QueltLuaMetamethodImpl_OutData";
    int instancePosition = 0; // where the callers put the instance table, per selector
    switch (op) {
    case QUELT_LUA_DATA_GET:
    case QUELT_LUA_DATA_SET_FROM_JSON:
        instancePosition = -2;
        break;
    case QUELT_LUA_DATA_SET:
        instancePosition = -3;
        break;
    case QUELT_LUA_DATA_JSON:
        instancePosition = -1;
        break;
    default:
        break;
    }
    // The instance belongs to the writer table of a live connector, and to this state's one.
    const bool onTable = instancePosition != 0 && lua_istable(L, instancePosition);
    if (engine == nullptr) {
        engine = QueltLuaCommon_getEngineReferenceFromRegistry(L);
    }
    if (engine == nullptr || (onTable && !QueltLuaEngine_ownsDataTable(engine, L, instancePosition))) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, kDeletedConnector);
        return 0;
    }
    if (onTable) {
        QueltLuaEngine_pushKey(engine, L, QUELT_LUA_KEY_SAMPLE); /* push the key */
        lua_rawget(L, instancePosition - 1);                     /* replace it by instance["#sample"] */
    }
    if (lua_isnil(L, -1)) {
        return 0; // no sample: nothing to read or set
    }
    switch (op) {
    case QUELT_LUA_DATA_GET:
        return QueltLuaDynamicData_get(L); /* pushes the member's value */
    case QUELT_LUA_DATA_SET:
        QueltLuaDynamicData_set(L); /* pushes nothing */
        break;
    case 2:
    case QUELT_LUA_DATA_INFO:
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_OPERATION_UNDEF);
        break;
    case QUELT_LUA_DATA_JSON:
        pushJson(L, -1, ctx);
        break;
    case QUELT_LUA_DATA_SET_FROM_JSON:
        return QueltLuaDynamicData_set_from_json(L);
    default:
        break;
    }
    return 1;
}

int QueltLuaMetamethodImpl_InData(lua_State *L, int op) {
    static const char *const ctx = "QueltLuaMetamethodImpl_InData";
    if (op == QUELT_LUA_DATA_SET) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "set operation is not allowed on reader's data");
        return 1;
    }
    if (!lua_isnumber(L, 2)) {
        return QueltLuaMetamethodImpl_InDataDereference(L, op);
    }
    if (QueltLuaMetamethodImpl_InDataIndexing(L, op) == 0) {
        return 1; // the indexed table (or nil) is on top
    }
    QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "index operation failed");
    QueltLuaCommon_stackDump(L);
    lua_pushnil(L); /* push the result: nil */
    return 1;
}

int QueltLuaMetamethodImpl_InDataLocate(lua_State *L, QueltLuaEngine *engine, int index, int op,
                                        QueltLuaInDataElement *element) {
    // These are the indexing's own steps, reported under its name.
    static const char *const ctx = "QueltLuaMetamethodImpl_InDataIndexing";
    *element = QueltLuaInDataElement{0, nullptr, nullptr};
    if (index < 1) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "index must be > 0");
        return 1;
    }
    if (engine == nullptr) {
        engine = QueltLuaCommon_getEngineReferenceFromRegistry(L);
    }
    // A table kept from a deleted connector has no engine of its own any more.
    if (engine == nullptr || !QueltLuaEngine_ownsDataTable(engine, L, 1)) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "unable to retrieve the engine pointer");
        return 1;
    }
    void *sampleSeq = nullptr;
    void *infoSeq = nullptr;
    if (!rawGetPointer(L, engine, 1, QUELT_LUA_KEY_SAMPLE_SEQ, &sampleSeq, ctx)) {
        return 1;
    }
    if (sampleSeq == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "dataSequence is NULL");
        return 1;
    }
    if (!rawGetPointer(L, engine, 1, QUELT_LUA_KEY_INFO_SEQ, &infoSeq, ctx)) {
        return 1;
    }
    if (infoSeq == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "infoSequence is NULL");
        return 1;
    }
    const QueltLuaContainer &container = engine->container;
    auto *samples = static_cast<DDS_DynamicDataSeq *>(sampleSeq);
    auto *infos = static_cast<DDS_SampleInfoSeq *>(infoSeq);
    const int length = container.getInputLength != nullptr ? container.getInputLength(samples) : 0;
    if (index - 1 >= length || container.getSample == nullptr || container.getSampleInfo == nullptr) {
        QUELT_LUA_LOG_WARNING(ctx, QUELT_LOG_ANY_s, "index requested not available");
        return 0;
    }
    DDS_SampleInfo *info = container.getSampleInfo(infos, index - 1);
    DDS_DynamicData *sample = container.getSample(samples, index - 1);

    if (info != nullptr && !info->valid_data && op == QUELT_LUA_DATA_GET) {
        // A dispose or unregister notice: its members are read from the instance's key.
        void *keyHolder = nullptr;
        void *reader = nullptr;
        if (!rawGetPointer(L, engine, 1, QUELT_LUA_KEY_KEY_HOLDER, &keyHolder, ctx)) {
            return 1;
        }
        if (keyHolder == nullptr) {
            QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "keyHolder is NULL");
        }
        if (!rawGetPointer(L, engine, 1, QUELT_LUA_KEY_READER_LUD, &reader, ctx)) {
            return 1;
        }
        if (reader == nullptr) {
            QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "reader is NULL");
        }
        if (container.get_key_value != nullptr) {
            const DDS_ReturnCode_t rc = container.get_key_value(static_cast<DDS_DynamicDataReader *>(reader),
                                                                static_cast<DDS_DynamicData *>(keyHolder), info);
            if (rc != DDS_RETCODE_OK) {
                QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "! get_key_value");
                return rc;
            }
            sample = static_cast<DDS_DynamicData *>(keyHolder);
        }
    }
    *element = QueltLuaInDataElement{1, info, sample};
    return 0;
}

int QueltLuaMetamethodImpl_InDataIndexing(lua_State *L, int op) {
    static const char *const ctx = "QueltLuaMetamethodImpl_InDataIndexing";
    const int index = truncateToInt(lua_tonumberx(L, -1, nullptr));
    lua_pop(L, 1); /* pop the key: the table is alone at 1 */
    if (!lua_istable(L, 1)) { // a script called the metamethod itself with something else
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_EXPECTED_AT_d, 1);
        return 1;
    }
    QueltLuaEngine *engine = index >= 1 ? QueltLuaCommon_getEngineReferenceFromRegistry(L) : nullptr;
    if (engine != nullptr) {
        // The samples/infos table itself never points at one sample: a name looked up on it
        // directly must report that no index was given.
        rawSetPointer(L, engine, 1, QUELT_LUA_KEY_INFO, nullptr);
        rawSetPointer(L, engine, 1, QUELT_LUA_KEY_SAMPLE, nullptr);
    }
    QueltLuaInDataElement element;
    const int status = QueltLuaMetamethodImpl_InDataLocate(L, engine, index, op, &element);
    if (status != 0) {
        return status;
    }
    if (!element.available) {
        lua_pushnil(L); /* push the result: nil */
        return 0;
    }
    void *unused = nullptr;
    if (!rawGetPointer(L, engine, 1, QUELT_LUA_KEY_KEY_HOLDER, &unused, ctx) ||
        !rawGetPointer(L, engine, 1, QUELT_LUA_KEY_READER_LUD, &unused, ctx)) {
        return 1;
    }
    lua_createtable(L, 0, 8); /* push the indexed sample table (position 2), sized for its keys */
    static const QueltLuaKey copied[] = {QUELT_LUA_KEY_INFO_SEQ, QUELT_LUA_KEY_SAMPLE_SEQ, QUELT_LUA_KEY_KEY_HOLDER,
                                         QUELT_LUA_KEY_READER_LUD};
    for (const QueltLuaKey key : copied) {
        QueltLuaEngine_pushKey(engine, L, key); /* push the key */
        lua_pushvalue(L, -1);                   /* push it again, to read it */
        lua_rawget(L, 1);                       /* replace it by indexed[key] */
        lua_rawset(L, 2);                       /* new[key] = value; pops both */
    }
    rawSetPointer(L, engine, 2, QUELT_LUA_KEY_INFO, element.info);
    rawSetPointer(L, engine, 2, QUELT_LUA_KEY_SAMPLE, element.sample);
    // The loan it points into: valid while the samples/infos table keeps this loan number.
    QueltLuaEngine_pushKey(engine, L, QUELT_LUA_KEY_LOAN); /* push the key */
    lua_pushvalue(L, -1);                                  /* push it again, to read it */
    lua_rawget(L, 1);                                      /* replace it by indexed["#loan"] */
    lua_rawset(L, 2);                                      /* new["#loan"] = number; pops both */
    QueltLuaEngine_pushKey(engine, L, QUELT_LUA_KEY_OWNER); /* push the key */
    lua_pushvalue(L, 1);                                    /* push the samples/infos table */
    lua_rawset(L, 2);                                       /* new["#owner"] = it; pops both */
    const char *mt = op == QUELT_LUA_DATA_INFO ? QUELT_LUA_INFO_ALREADY_INDEXED_MT : QUELT_LUA_INPUT_ALREADY_INDEXED_MT;
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS); /* push _G */
    lua_pushstring(L, mt);                               /* push the name */
    lua_rawget(L, -2);                                   /* replace it by _G[name] */
    if (!lua_istable(L, -1)) { // a script replaced the global: no indexed table without it
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, mt);
        lua_settop(L, 1);
        return 1;
    }
    lua_setmetatable(L, 2); /* pops the metatable */
    lua_pop(L, 1);          /* pop _G */
    lua_pushvalue(L, 2); /* push a copy of the new table: the result */
    return 0;
}

int QueltLuaMetamethodImpl_InDataDereference(lua_State *L, int op) {
    static const char *const ctx = "QueltLuaMetamethodImpl_InDataDereference";
    if (!lua_istable(L, 1)) { // a script called the metamethod itself with something else
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_EXPECTED_AT_d, 1);
        lua_pushnil(L); /* push the result: nil */
        return 1;
    }
    if (!QueltLuaEngine_ownsDataTable(QueltLuaCommon_getEngineReferenceFromRegistry(L), L, 1)) {
        lua_pop(L, 1); /* pop the name */
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, kDeletedConnector);
        lua_pushnil(L); /* push the result: nil */
        return 1;
    }
    if (!loanIsCurrent(L)) {
        lua_pop(L, 1); /* pop the name */
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s,
                            "the sample was returned to the reader (a later read, take or loan return)");
        lua_pushnil(L); /* push the result: nil */
        return 1;
    }
    lua_pushstring(L, "#info"); /* push the key */
    lua_rawget(L, 1);           /* replace it by table["#info"] */
    auto *info = static_cast<DDS_SampleInfo *>(lua_touserdata(L, -1));
    lua_pop(L, 1);                /* pop it */
    lua_pushstring(L, "#sample"); /* push the key */
    lua_rawget(L, 1);             /* replace it by table["#sample"] */
    auto *sample = static_cast<DDS_DynamicData *>(lua_touserdata(L, -1));
    lua_pop(L, 1); /* pop it */
    if (info == nullptr || sample == nullptr) {
        lua_pop(L, 1); /* pop the name */
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, "did you set the index?");
        QueltLuaCommon_stackDump(L);
        lua_pushnil(L); /* push the result: nil */
        return 1;
    }
    return QueltLuaMetamethodImpl_InDataValue(L, op, info, sample);
}

int QueltLuaMetamethodImpl_InDataValue(lua_State *L, int op, DDS_SampleInfo *info, DDS_DynamicData *sample) {
    // The dereference's own steps, reported under its name.
    static const char *const ctx = "QueltLuaMetamethodImpl_InDataDereference";
    // The name stays at 2 as the name argument of the getters (the same as popping and pushing
    // it again, while keeping its text alive).
    if (info->valid_data || op != QUELT_LUA_DATA_GET) {
        switch (op) {
        case QUELT_LUA_DATA_GET:
            lua_pushlightuserdata(L, sample); /* push the sample */
            return QueltLuaDynamicData_get(L);
        case QUELT_LUA_DATA_INFO:
            lua_pushlightuserdata(L, info); /* push the info */
            return QueltLuaSampleInfo_get(L);
        case QUELT_LUA_DATA_JSON:
            lua_pushlightuserdata(L, sample); /* push the sample */
            pushJson(L, -1, ctx);             /* replace it by its JSON text */
            return 1;
        case QUELT_LUA_DATA_SET:
        case 2:
        case QUELT_LUA_DATA_SET_FROM_JSON:
            QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_OPERATION_UNDEF);
            return 1;
        default:
            return 1;
        }
    }
    // No valid data: the sample is the key holder; only key members have a value.
    const char *name = lua_tolstring(L, 2, nullptr);
    if (name != nullptr && DDS_DynamicData_is_member_key(sample, name, 0)) {
        lua_pushlightuserdata(L, sample); /* push the key holder */
        return QueltLuaDynamicData_get(L);
    }
    lua_pushnil(L); /* push the result: nil */
    return 1;
}

int QueltLuaMetamethodImpl_InDataLen(lua_State *L) {
    QueltLuaEngine *engine = QueltLuaCommon_getEngineReferenceFromRegistry(L);
    void *sampleSeq = nullptr;
    if (lua_istable(L, -1)) {
        lua_pushstring(L, "#sampleSeq"); /* push the key */
        lua_rawget(L, -2);               /* replace it by operand["#sampleSeq"] */
        sampleSeq = lua_touserdata(L, -1);
        lua_pop(L, 1); /* pop it */
    }
    if (sampleSeq == nullptr || !QueltLuaEngine_ownsDataTable(engine, L, -1) ||
        engine->container.getInputLength == nullptr) {
        lua_pushnumber(L, 0); /* push the sample count: 0 */
        return 1;
    }
    lua_pushnumber(L, engine->container.getInputLength(static_cast<DDS_DynamicDataSeq *>(sampleSeq))); /* push the count */
    return 1;
}

char *QueltLuaMetamethodImpl_getJSONString(DDS_DynamicData *data, char *buffer, int *allocated) {
    static const char *const ctx = "QueltLuaMetamethodImpl_getJSONString";
    if (data == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "sample");
        return nullptr;
    }
    DDS_UnsignedLong size = kJsonBufferSize;
    DDS_ReturnCode_t rc = QueltLuaMetamethodImpl_to_json(data, buffer, &size, 0);
    if (rc == DDS_RETCODE_OK) {
        return buffer;
    }
    if (rc != DDS_RETCODE_OUT_OF_RESOURCES) {
        return nullptr;
    }
    // size is now the text's length + 1: one exact allocation and a second run.
    char *text = DDS_String_alloc(size);
    if (text == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "! out of memory");
        return nullptr;
    }
    *allocated = 1;
    rc = QueltLuaMetamethodImpl_to_json(data, text, &size, 0);
    if (rc == DDS_RETCODE_OK) {
        return text;
    }
    QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "! to_json");
    DDS_String_free(text);
    *allocated = 0;
    return nullptr;
}

DDS_ReturnCode_t QueltLuaMetamethodImpl_to_json(DDS_DynamicData *data, char *buffer, DDS_UnsignedLong *size,
                                                int setting) {
    static const char *const ctx = "QueltLuaMetamethodImpl_to_json";
    DDS_PrintFormatProperty_t params{};
    DDS_PrintFormat format;
    DDS_ReturnCode_t rc = DDS_PrintFormat_initialize(&format, DDS_JSON_PRINT_FORMAT);
    if (rc != DDS_RETCODE_OK) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "printFormat");
        DDS_PrintFormat_finalize(&format, DDS_JSON_PRINT_FORMAT);
        return rc;
    }
    format.indent = setting;
    format.is_pretty_print = DDS_BOOLEAN_FALSE;
    params.buffer = buffer;
    params.buffer_size = *size;
    rc = DDS_DynamicDataFormatter_print_w_params(data, &params, &format);
    if (rc == DDS_RETCODE_OK && *size < params.length + 1) {
        *size = params.length + 1;
        rc = DDS_RETCODE_OUT_OF_RESOURCES;
    }
    DDS_PrintFormat_finalize(&format, DDS_JSON_PRINT_FORMAT);
    return rc;
}

} // extern "C"
