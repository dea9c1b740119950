// Members and info fields of received samples for bindings, the sample count, and the release of
// the strings handed out.
#include <cstring>

#include "DDSConnectorCall.h"
#include "DynamicData.h"
#include "MetamethodImpl.h"

using namespace quelt::connector;

namespace {

// samples[index][fieldName] or infos[index][fieldName], and what it gave.
struct GetCall {
    Call call;
    int index;
    const char *fieldName;
    bool samples; // else infos
    enum { kNumber, kBoolean, kString } kind;
    bool ok;
    double number;
    int boolean;
    char *text;
};

struct LengthCall {
    Call call;
    bool ok;
    double length;
};

// Leaves only entry[sequence] of the reader's entry on the stack; false (logged) when the
// reader or that table is missing.
bool pushSequenceTable(lua_State *L, const Call &call, QueltLuaKey sequence)
{
    return pushEntry(L, call, QUELT_LUA_KEY_READER) && descend(L, call, sequence, LUABINDING_LOG_GET_READER);
}

int getBody(lua_State *L)
{
    GetCall &get = beginBody<GetCall>(L);
    if (!pushSequenceTable(L, get.call, get.samples ? QUELT_LUA_KEY_SAMPLES : QUELT_LUA_KEY_INFOS))
        return 0;
    const int op = get.samples ? QUELT_LUA_DATA_GET : QUELT_LUA_DATA_INFO;
    // The indexing and dereference of samples[index][fieldName], without making the indexed
    // table a script would get: it would be dropped at once, and making it costs more than the
    // member read itself.
    QueltLuaInDataElement element;
    if (QueltLuaMetamethodImpl_InDataLocate(L, get.call.self->base->engine, get.index, op, &element) != 0)
        return 0; // logged ("index must be > 0" and the like)
    // An index past the end was logged as a warning: nothing to dereference.
    if (!element.available)
        return 0;
    if (element.info == nullptr || element.sample == nullptr)
        return 0; // not from a loan of our reader: refused rather than read
    lua_pushstring(L, get.fieldName);
    QueltLuaMetamethodImpl_InDataValue(L, op, element.info, element.sample);
    switch (get.kind) {
    case GetCall::kNumber: {
        int isNumber = 0;
        const lua_Number value = lua_tonumberx(L, -1, &isNumber);
        get.number = isNumber ? static_cast<double>(value) : 0.0;
        break;
    }
    case GetCall::kBoolean:
        get.boolean = lua_toboolean(L, -1) ? 1 : 0;
        break;
    case GetCall::kString: {
        const int type = lua_type(L, -1);
        if (type == LUA_TSTRING || type == LUA_TNUMBER) {
            const char *text = lua_tolstring(L, -1, nullptr);
            get.text = text ? DDS_String_dup(text) : nullptr;
        }
        break;
    }
    }
    get.ok = true;
    return 0;
}

int lengthBody(lua_State *L)
{
    LengthCall &length = beginBody<LengthCall>(L);
    if (!pushSequenceTable(L, length.call, QUELT_LUA_KEY_SAMPLES))
        return 0;
    QueltLuaMetamethodImpl_InDataLen(L);
    int isNumber = 0;
    const lua_Number value = lua_tonumberx(L, -1, &isNumber);
    if (isNumber) {
        length.length = static_cast<double>(value);
        length.ok = true;
    }
    return 0;
}

// A numeric member (or a string member, as text) of a valid sample of the reader's last read or
// take, read straight from the loan as the engine would read it while its tables lead there;
// false for anything else, which goes the engine's way.
bool direct(GetCall &get)
{
    SubscriptionHolder *r = QueltDDSConnector_subscriptionHolderI(get.call.self, get.call.entityName);
    if (!r || get.index < 1 || get.index > DDS_DynamicDataSeq_get_length(&r->dataSequence) ||
        get.index > DDS_SampleInfoSeq_get_length(&r->infoSequence))
        return false;
    const DDS_SampleInfo *info = DDS_SampleInfoSeq_get_reference(&r->infoSequence, get.index - 1);
    DDS_DynamicData *sample = DDS_DynamicDataSeq_get_reference(&r->dataSequence, get.index - 1);
    if (!info || !info->valid_data || !sample)
        return false;
    if (get.kind == GetCall::kNumber)
        return QueltLuaDynamicData_getNumber(sample, get.fieldName, &get.number) == DDS_RETCODE_OK;
    return (get.text = QueltLuaDynamicData_getString(sample, get.fieldName)) != nullptr;
}

// The getters' common sequence; false when the call failed (logged), true with the result set.
bool getValue(GetCall &get, const char *sequenceName)
{
    if (!checkConnectorAndEntity(get.call.ctx, get.call.self, get.call.entityName))
        return false;
    if (!get.fieldName) {
        CONNECTOR_LOG_ERROR(get.call.ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "a fieldName must be specified");
        return false;
    }
    // Only the entry's two data tables may be reached this way.
    if (!sequenceName || (std::strcmp(sequenceName, "samples") != 0 && std::strcmp(sequenceName, "infos") != 0)) {
        CONNECTOR_LOG_ERROR(get.call.ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s,
                            "sequenceName must be \"samples\" or \"infos\"");
        return false;
    }
    get.samples = std::strcmp(sequenceName, "samples") == 0;
    if (get.samples && get.kind != GetCall::kBoolean && direct(get))
        return true;
    if (!runProtected(get.call, getBody, &get) || !get.ok) {
        // A text copied before a failure is not handed out.
        DDS_String_free(get.text);
        get.text = nullptr;
        return false;
    }
    return true;
}

GetCall makeGet(QueltDDSConnector *self, const char *ctx, const char *entityName, int index, const char *fieldName,
                int kind)
{
    GetCall get{};
    get.call = Call{self, ctx, entityName};
    get.index = index;
    get.fieldName = fieldName;
    get.kind = static_cast<decltype(get.kind)>(kind);
    return get;
}

} // namespace

extern "C" {

double QueltDDSConnector_getNumberI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                    const char *sequenceName)
{
    GetCall get = makeGet(self, "QueltDDSConnector_getNumberI", entityName, index, fieldName, GetCall::kNumber);
    return getValue(get, sequenceName) ? get.number : -1.0;
}

int QueltDDSConnector_getBooleanI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                  const char *sequenceName)
{
    GetCall get = makeGet(self, "QueltDDSConnector_getBooleanI", entityName, index, fieldName, GetCall::kBoolean);
    return getValue(get, sequenceName) ? get.boolean : -1;
}

char *QueltDDSConnector_getStringI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                   const char *sequenceName)
{
    GetCall get = makeGet(self, "QueltDDSConnector_getStringI", entityName, index, fieldName, GetCall::kString);
    return getValue(get, sequenceName) ? get.text : nullptr;
}

char *QueltDDSConnector_getJSONI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                 const char *sequenceName)
{
    GetCall get = makeGet(self, "QueltDDSConnector_getJSONI", entityName, index, fieldName, GetCall::kString);
    return getValue(get, sequenceName) ? get.text : nullptr;
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
    LengthCall length{{self, "QueltDDSConnector_getSeqLengthI", entityName}, false, 0.0};
    if (!checkConnectorAndEntity(length.call.ctx, self, entityName))
        return -1.0;
    return runProtected(length.call, lengthBody, &length) && length.ok ? length.length : -1.0;
}

double QueltDDSConnector_getSamplesLength(QueltDDSConnector *self, const char *entityName)
{
    return QueltDDSConnector_getSeqLengthI(self, entityName);
}

double QueltDDSConnector_getInfosLength(QueltDDSConnector *self, const char *entityName)
{
    return QueltDDSConnector_getSeqLengthI(self, entityName);
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
