// Sample access for bindings: setting members of a writer's instance, write, read and take, and
// getting members and info fields of received samples. Every function finds the entity's entry in
// the engine by name and hands the prepared stack to the engine's container and data operations.
#include "DDSConnector.h"

#include <cstring>

#include "MetamethodImpl.h"

namespace {

// What one exported call passes into its protected body, and what the body hands back.
struct SampleCall {
    QueltDDSConnector *self;
    const char *ctx;
    const char *entityName;
    const char *fieldName;
    const char *sequenceName;
    int index;
    int operation;
    DDS_WriteParams_t *params;
    // value to set: kind 0 number, 1 boolean, 2 string
    int valueKind;
    double number;
    int boolean;
    const char *text;
    // result of a getter: kind 0 number, 1 boolean, 2 string
    int resultKind;
    int ok;
    double numberOut;
    int booleanOut;
    char *textOut;
};

enum { kNumber = 0, kBoolean = 1, kString = 2 };

// Room the bodies need beyond their own pushes: the data operations they call directly share
// their frame instead of getting one of their own.
constexpr int kStackRoom = 48;

// Runs body as a protected call on a fresh frame. The frame makes index 1 the first value the
// body pushes, whatever the caller left on the stack (a Lua host may have values there), and the
// protection keeps a Lua error (out of memory in a push) from unwinding through the C ABI. The
// stack is back at its entry height afterwards on every path.
bool runProtected(SampleCall &call, lua_CFunction body)
{
    lua_State *L = call.self->base->engine->L;
    const int base = lua_gettop(L);
    bool ok = false;
    if (!lua_checkstack(L, 3)) {
        CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_ANY_ss, "lua_checkstack", "failed");
    } else {
        lua_pushcfunction(L, body);
        lua_pushlightuserdata(L, &call);
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

// Start of every body: the call record, with the frame emptied and room made.
SampleCall &beginBody(lua_State *L)
{
    auto *call = static_cast<SampleCall *>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    lua_checkstack(L, kStackRoom);
    return *call;
}

// Pushes table[entityName] of the main table's READER or WRITER (index metamethods honoured).
// False when the table itself is missing (logged); the entry may be any value, nil included.
bool pushEntry(lua_State *L, SampleCall &call, QueltLuaKey table)
{
    if (!QueltLuaCommon_pushInternedTableFromMainTable(call.self->base->engine, table)) {
        CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_GET_TABEL, QueltLuaEngine_keyText(table));
        return false;
    }
    lua_pushstring(L, call.entityName);
    lua_gettable(L, -2);
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

bool checkField(const char *ctx, const char *fieldName)
{
    if (!fieldName) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "a fieldName must be specified");
        return false;
    }
    return true;
}

// ---- bodies ----

int setBody(lua_State *L)
{
    SampleCall &call = beginBody(L);
    if (!pushEntry(L, call, QUELT_LUA_KEY_WRITER))
        return 0;
    // An unknown name yields no entry; looking "instance" up in it would raise a Lua error.
    if (!lua_istable(L, -1)) {
        CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_GET_WRITER);
        return 0;
    }
    QueltLuaEngine_pushKey(call.self->base->engine, L, QUELT_LUA_KEY_INSTANCE);
    lua_gettable(L, -2);
    if (!lua_istable(L, -1)) {
        CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_GET_INSTANCE);
        return 0;
    }
    lua_pushstring(L, call.fieldName);
    switch (call.valueKind) {
    case kNumber:
        lua_pushnumber(L, call.number);
        break;
    case kBoolean:
        lua_pushboolean(L, call.boolean != 0);
        break;
    default:
        lua_pushstring(L, call.text);
        break;
    }
    QueltLuaMetamethodImpl_OutData(L, QUELT_LUA_DATA_SET);
    return 0;
}

int outBody(lua_State *L)
{
    SampleCall &call = beginBody(L);
    if (!pushEntry(L, call, QUELT_LUA_KEY_WRITER))
        return 0;
    // The container checks the entry itself and reports a missing one.
    if (call.operation == QUELT_LUA_OUT_WRITE_W_PARAMS)
        lua_pushlightuserdata(L, call.params);
    QueltLuaContainer_Out(L, call.operation);
    return 0;
}

int inBody(lua_State *L)
{
    SampleCall &call = beginBody(L);
    if (!pushEntry(L, call, QUELT_LUA_KEY_READER))
        return 0;
    // No number above the entry: every available sample.
    QueltLuaContainer_In(L, call.operation);
    return 0;
}

// Leaves only entry[sequenceName] of the reader's entry on the stack; false (logged) when the
// reader or that table is missing.
bool pushSequenceTable(lua_State *L, SampleCall &call, QueltLuaKey sequence)
{
    if (!pushEntry(L, call, QUELT_LUA_KEY_READER))
        return false;
    lua_remove(L, 1);
    if (!lua_istable(L, -1)) {
        CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_GET_READER);
        return false;
    }
    QueltLuaEngine_pushKey(call.self->base->engine, L, sequence);
    lua_gettable(L, -2);
    lua_remove(L, 1);
    if (!lua_istable(L, -1)) {
        CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, QueltLuaEngine_keyText(sequence));
        return false;
    }
    return true;
}

int getBody(lua_State *L)
{
    SampleCall &call = beginBody(L);
    const bool samples = std::strcmp(call.sequenceName, "samples") == 0;
    if (!pushSequenceTable(L, call, samples ? QUELT_LUA_KEY_SAMPLES : QUELT_LUA_KEY_INFOS))
        return 0;
    const int op = samples ? QUELT_LUA_DATA_GET : QUELT_LUA_DATA_INFO;
    // The indexing and dereference of samples[index][fieldName], without making the indexed
    // table a script would get: it would be dropped at once, and making it costs more than the
    // member read itself.
    QueltLuaInDataElement element;
    if (QueltLuaMetamethodImpl_InDataLocate(L, call.self->base->engine, call.index, op, &element) != 0)
        return 0; // logged ("index must be > 0" and the like)
    // An index past the end was logged as a warning: nothing to dereference.
    if (!element.available)
        return 0;
    if (element.info == nullptr || element.sample == nullptr)
        return 0; // not from a loan of our reader: refused rather than read
    lua_pushstring(L, call.fieldName);
    QueltLuaMetamethodImpl_InDataValue(L, op, element.info, element.sample);
    switch (call.resultKind) {
    case kNumber: {
        int isNumber = 0;
        const lua_Number value = lua_tonumberx(L, -1, &isNumber);
        call.numberOut = isNumber ? static_cast<double>(value) : 0.0;
        break;
    }
    case kBoolean:
        call.booleanOut = lua_toboolean(L, -1) ? 1 : 0;
        break;
    default: {
        const int type = lua_type(L, -1);
        if (type == LUA_TSTRING || type == LUA_TNUMBER) {
            const char *text = lua_tolstring(L, -1, nullptr);
            call.textOut = text ? DDS_String_dup(text) : nullptr;
        }
        break;
    }
    }
    call.ok = 1;
    return 0;
}

int lengthBody(lua_State *L)
{
    SampleCall &call = beginBody(L);
    if (!pushSequenceTable(L, call, QUELT_LUA_KEY_SAMPLES))
        return 0;
    QueltLuaMetamethodImpl_InDataLen(L);
    int isNumber = 0;
    const lua_Number value = lua_tonumberx(L, -1, &isNumber);
    if (isNumber) {
        call.numberOut = static_cast<double>(value);
        call.ok = 1;
    }
    return 0;
}

// ---- shared front ends ----

void setValue(SampleCall &call)
{
    if (!checkConnectorAndEntity(call.ctx, call.self, call.entityName) || !checkField(call.ctx, call.fieldName))
        return;
    runProtected(call, setBody);
}

SampleCall makeCall(QueltDDSConnector *self, const char *ctx, const char *entityName)
{
    SampleCall call = {};
    call.self = self;
    call.ctx = ctx;
    call.entityName = entityName;
    return call;
}

// The getters' common sequence; false when the call failed (logged), true with the result set.
bool getValue(SampleCall &call)
{
    if (!checkConnectorAndEntity(call.ctx, call.self, call.entityName) || !checkField(call.ctx, call.fieldName))
        return false;
    // Only the entry's two data tables may be reached this way.
    if (!call.sequenceName ||
        (std::strcmp(call.sequenceName, "samples") != 0 && std::strcmp(call.sequenceName, "infos") != 0)) {
        CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s,
                            "sequenceName must be \"samples\" or \"infos\"");
        return false;
    }
    if (!runProtected(call, getBody) || !call.ok) {
        // A text copied before a failure is not handed out.
        DDS_String_free(call.textOut);
        call.textOut = nullptr;
        return false;
    }
    return true;
}

// Stand-in until the write-parameters JSON parser exists: every text is refused, so nothing is
// written with parameters the caller did not get. 0 on success, as the parser will return.
int parseWriteParams(DDS_WriteParams_t *params, const char *json)
{
    (void)params, (void)json;
    return 1;
}

// ---- the middleware objects behind a name ----

// runProtected hands its body the SampleCall, which is the first member here.
struct EntityCall {
    SampleCall call;
    QueltLuaKey table;
    const char *key;
    const QueltLogMessage *nullMessage;
    void *result;
};

int entityBody(lua_State *L)
{
    auto &e = *reinterpret_cast<EntityCall *>(&beginBody(L));
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
    if (!self) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "connector is null");
        return nullptr;
    }
    EntityCall e{};
    e.call.self = self;
    e.call.ctx = ctx;
    e.call.entityName = entityName;
    e.table = table;
    e.key = key;
    e.nullMessage = nullMessage;
    if (!entityName)
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "an entityName must be specified");
    else
        runProtected(e.call, entityBody);
    lua_settop(self->base->engine->L, 0);
    return e.result;
}

} // namespace

extern "C" {

// ---- setting fields ----

void QueltDDSConnector_setNumberIntoSamples(QueltDDSConnector *self, const char *entityName, const char *fieldName,
                                            double value)
{
    SampleCall call = makeCall(self, "QueltDDSConnector_setNumberIntoSamples", entityName);
    call.fieldName = fieldName;
    call.valueKind = kNumber;
    call.number = value;
    setValue(call);
}

void QueltDDSConnector_setBooleanIntoSamples(QueltDDSConnector *self, const char *entityName, const char *fieldName,
                                             int value)
{
    SampleCall call = makeCall(self, "QueltDDSConnector_setBooleanIntoSamples", entityName);
    call.fieldName = fieldName;
    call.valueKind = kBoolean;
    call.boolean = value;
    setValue(call);
}

void QueltDDSConnector_setStringIntoSamples(QueltDDSConnector *self, const char *entityName, const char *fieldName,
                                            const char *value)
{
    SampleCall call = makeCall(self, "QueltDDSConnector_setStringIntoSamples", entityName);
    call.fieldName = fieldName;
    call.valueKind = kString;
    call.text = value;
    setValue(call);
}

void QueltDDSConnector_clear(QueltDDSConnector *self, const char *entityName)
{
    SampleCall call = makeCall(self, "QueltDDSConnector_clear", entityName);
    if (!checkConnectorAndEntity(call.ctx, self, entityName))
        return;
    call.operation = QUELT_LUA_OUT_CLEAR_MEMBERS;
    runProtected(call, outBody);
}

// ---- write, read, take ----

void QueltDDSConnector_write(QueltDDSConnector *self, const char *entityName, const char *paramsJson)
{
    SampleCall call = makeCall(self, "QueltDDSConnector_write", entityName);
    if (!checkConnectorAndEntity(call.ctx, self, entityName))
        return;
    // Lives for this call only; the container reads it during the write.
    DDS_WriteParams_t params;
    if (paramsJson) {
        DDS_WriteParams_t_initialize(&params);
        if (parseWriteParams(&params, paramsJson) != 0) {
            CONNECTOR_LOG_ERROR(call.ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "json parsing form WriteParams failed");
            return;
        }
        call.operation = QUELT_LUA_OUT_WRITE_W_PARAMS;
        call.params = &params;
    } else {
        call.operation = QUELT_LUA_OUT_WRITE;
    }
    runProtected(call, outBody);
}

void QueltDDSConnector_read(QueltDDSConnector *self, const char *entityName)
{
    SampleCall call = makeCall(self, "QueltDDSConnector_read", entityName);
    if (!checkConnectorAndEntity(call.ctx, self, entityName))
        return;
    call.operation = QUELT_LUA_IN_READ;
    runProtected(call, inBody);
}

void QueltDDSConnector_take(QueltDDSConnector *self, const char *entityName)
{
    SampleCall call = makeCall(self, "QueltDDSConnector_take", entityName);
    if (!checkConnectorAndEntity(call.ctx, self, entityName))
        return;
    call.operation = QUELT_LUA_IN_TAKE;
    runProtected(call, inBody);
}

// ---- getting fields ----

double QueltDDSConnector_getNumberI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                    const char *sequenceName)
{
    SampleCall call = makeCall(self, "QueltDDSConnector_getNumberI", entityName);
    call.index = index;
    call.fieldName = fieldName;
    call.sequenceName = sequenceName;
    call.resultKind = kNumber;
    return getValue(call) ? call.numberOut : -1.0;
}

int QueltDDSConnector_getBooleanI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                  const char *sequenceName)
{
    SampleCall call = makeCall(self, "QueltDDSConnector_getBooleanI", entityName);
    call.index = index;
    call.fieldName = fieldName;
    call.sequenceName = sequenceName;
    call.resultKind = kBoolean;
    return getValue(call) ? call.booleanOut : -1;
}

} // extern "C"

namespace {

char *getText(const char *ctx, QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
              const char *sequenceName)
{
    SampleCall call = makeCall(self, ctx, entityName);
    call.index = index;
    call.fieldName = fieldName;
    call.sequenceName = sequenceName;
    call.resultKind = kString;
    return getValue(call) ? call.textOut : nullptr;
}

} // namespace

extern "C" {

char *QueltDDSConnector_getStringI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                   const char *sequenceName)
{
    return getText("QueltDDSConnector_getStringI", self, entityName, index, fieldName, sequenceName);
}

char *QueltDDSConnector_getJSONI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                 const char *sequenceName)
{
    return getText("QueltDDSConnector_getJSONI", self, entityName, index, fieldName, sequenceName);
}

double QueltDDSConnector_getNumberFromSamples(QueltDDSConnector *self, const char *entityName, int index,
                                              const char *fieldName)
{
    return QueltDDSConnector_getNumberI(self, entityName, index, fieldName, "samples");
}

double QueltDDSConnector_getNumberFromInfos(QueltDDSConnector *self, const char *entityName, int index,
                                            const char *fieldName)
{
    return QueltDDSConnector_getNumberI(self, entityName, index, fieldName, "infos");
}

int QueltDDSConnector_getBooleanFromSamples(QueltDDSConnector *self, const char *entityName, int index,
                                            const char *fieldName)
{
    return QueltDDSConnector_getBooleanI(self, entityName, index, fieldName, "samples");
}

int QueltDDSConnector_getBooleanFromInfos(QueltDDSConnector *self, const char *entityName, int index,
                                          const char *fieldName)
{
    return QueltDDSConnector_getBooleanI(self, entityName, index, fieldName, "infos");
}

char *QueltDDSConnector_getStringFromSamples(QueltDDSConnector *self, const char *entityName, int index,
                                             const char *fieldName)
{
    return QueltDDSConnector_getStringI(self, entityName, index, fieldName, "samples");
}

char *QueltDDSConnector_getStringFromInfos(QueltDDSConnector *self, const char *entityName, int index,
                                           const char *fieldName)
{
    return QueltDDSConnector_getStringI(self, entityName, index, fieldName, "infos");
}

char *QueltDDSConnector_getJSONFromInfos(QueltDDSConnector *self, const char *entityName, int index,
                                         const char *fieldName)
{
    return QueltDDSConnector_getJSONI(self, entityName, index, fieldName, "infos");
}

double QueltDDSConnector_getSeqLengthI(QueltDDSConnector *self, const char *entityName)
{
    SampleCall call = makeCall(self, "QueltDDSConnector_getSeqLengthI", entityName);
    if (!checkConnectorAndEntity(call.ctx, self, entityName))
        return -1.0;
    return runProtected(call, lengthBody) && call.ok ? call.numberOut : -1.0;
}

double QueltDDSConnector_getSamplesLength(QueltDDSConnector *self, const char *entityName)
{
    return QueltDDSConnector_getSeqLengthI(self, entityName);
}

double QueltDDSConnector_getInfosLength(QueltDDSConnector *self, const char *entityName)
{
    return QueltDDSConnector_getSeqLengthI(self, entityName);
}

DDS_DynamicDataReader *QueltDDSConnector_getReader(QueltDDSConnector *self, const char *entityName)
{
    return static_cast<DDS_DynamicDataReader *>(
        getEntity(self, entityName, "QueltDDSConnector_getReader", QUELT_LUA_KEY_READER, "#reader", &LUABINDING_LOG_GET_READER));
}

DDS_DynamicDataWriter *QueltDDSConnector_getWriter(QueltDDSConnector *self, const char *entityName)
{
    return static_cast<DDS_DynamicDataWriter *>(
        getEntity(self, entityName, "QueltDDSConnector_getWriter", QUELT_LUA_KEY_WRITER, "#writer", &LUABINDING_LOG_GET_WRITER));
}

void QueltDDSConnector_freeString(char *str)
{
    if (!str) {
        CONNECTOR_LOG_ERROR("QueltDDSConnector_freeString", LUABINDING_LOG_PRECONDITION_FAILURE_s,
                            "string to free is null");
        return;
    }
    DDS_String_free(str);
}

} // extern "C"
