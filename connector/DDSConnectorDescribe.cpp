// Descriptions for bindings: the names a connector or a configuration file holds, and the type of
// an entity's samples. A binding checks a value against the member's type before it hands it to
// the setters, whose by-name conversions are lenient, and names what exists when a name is wrong.
// Nothing here touches the engine's Lua state.
#include "DDSConnector.h"


#include <cstdio>
#include <cstring>
#include <string>

namespace {

void appendQuoted(std::string &out, const char *text)
{
    out += '"';
    for (const char *p = text ? text : ""; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

char *handOut(const std::string &text) { return DDS_String_dup(text.c_str()); }

// Kinds by the names the XML configuration gives member types.
const char *kindName(DDS_TCKind kind)
{
    switch (kind) {
    case DDS_TK_SHORT: return "int16";
    case DDS_TK_LONG: return "int32";
    case DDS_TK_USHORT: return "uint16";
    case DDS_TK_ULONG: return "uint32";
    case DDS_TK_FLOAT: return "float32";
    case DDS_TK_DOUBLE: return "float64";
    case DDS_TK_BOOLEAN: return "boolean";
    case DDS_TK_CHAR: return "char8";
    case DDS_TK_OCTET: return "uint8";
    case DDS_TK_STRUCT: return "struct";
    case DDS_TK_UNION: return "union";
    case DDS_TK_ENUM: return "enum";
    case DDS_TK_STRING: return "string";
    case DDS_TK_SEQUENCE: return "sequence";
    case DDS_TK_ARRAY: return "array";
    case DDS_TK_LONGLONG: return "int64";
    case DDS_TK_ULONGLONG: return "uint64";
    case DDS_TK_LONGDOUBLE: return "float128";
    case DDS_TK_WCHAR: return "char16";
    case DDS_TK_WSTRING: return "wstring";
    default: return "unsupported";
    }
}

// Types nest only as deep as the XML allows; the limit guards against a cycle all the same.
constexpr int kMaxTypeDepth = 64;

bool describe(std::string &out, const DDS_TypeCode *type, int depth)
{
    while (type && DDS_TypeCode_kind(type) == DDS_TK_ALIAS)
        type = DDS_TypeCode_content_type(type);
    if (!type || depth > kMaxTypeDepth)
        return false;
    const DDS_TCKind kind = DDS_TypeCode_kind(type);
    out += "{\"kind\":";
    appendQuoted(out, kindName(kind));
    switch (kind) {
    case DDS_TK_STRUCT:
    case DDS_TK_UNION: {
        out += ",\"name\":";
        appendQuoted(out, DDS_TypeCode_name(type));
        out += ",\"members\":[";
        const DDS_UnsignedLong n = DDS_TypeCode_member_count(type);
        for (DDS_UnsignedLong i = 0; i < n; ++i) {
            out += i ? ",{\"name\":" : "{\"name\":";
            appendQuoted(out, DDS_TypeCode_member_name(type, i));
            if (DDS_TypeCode_is_member_optional(type, i))
                out += ",\"optional\":true";
            out += ",\"type\":";
            if (!describe(out, DDS_TypeCode_member_type(type, i), depth + 1))
                return false;
            out += '}';
        }
        out += ']';
        break;
    }
    case DDS_TK_ENUM: {
        out += ",\"name\":";
        appendQuoted(out, DDS_TypeCode_name(type));
        out += ",\"enumerators\":{";
        const DDS_UnsignedLong n = DDS_TypeCode_member_count(type);
        for (DDS_UnsignedLong i = 0; i < n; ++i) {
            const char *name = DDS_TypeCode_member_name(type, i);
            DDS_Long value = 0;
            DDS_TypeCode_enumerator_value(type, name, &value);
            if (i)
                out += ',';
            appendQuoted(out, name);
            out += ':' + std::to_string(value);
        }
        out += '}';
        break;
    }
    case DDS_TK_STRING:
    case DDS_TK_WSTRING:
        out += ",\"bound\":" + std::to_string(DDS_TypeCode_length(type));
        break;
    case DDS_TK_SEQUENCE:
    case DDS_TK_ARRAY:
        out += kind == DDS_TK_ARRAY ? ",\"length\":" : ",\"bound\":";
        out += std::to_string(DDS_TypeCode_length(type));
        out += ",\"element\":";
        if (!describe(out, DDS_TypeCode_content_type(type), depth + 1))
            return false;
        break;
    default:
        break;
    }
    out += '}';
    return true;
}

bool named(QueltDDSConnector *self, void *entity, const char *entityName)
{
    const char *name = QueltDDSConnector_EntitiesLookupList_lookupEntity(self, entity);
    return name && std::strcmp(name, entityName) == 0;
}

// The sample type of the writer or reader called entityName, or null. The holders are in the
// order of the entity sequences.
const DDS_TypeCode *typeOf(QueltDDSConnector *self, const char *entityName)
{
    const DDS_Long writers = DDS_DataWriterSeq_get_length(&self->writers);
    for (DDS_Long i = 0; i < writers && i < self->publicationHolderCount; ++i) {
        DDS_DynamicData *instance = self->publicationHolders[i].instance;
        if (instance && named(self, *DDS_DataWriterSeq_get_reference(&self->writers, i), entityName))
            return DDS_DynamicData_get_type(instance);
    }
    const DDS_Long readers = DDS_DataReaderSeq_get_length(&self->readers);
    for (DDS_Long i = 0; i < readers && i < self->subscriptionHolderCount; ++i) {
        DDS_DynamicData *keyHolder = self->subscriptionHolders[i].keyHolder;
        if (keyHolder && named(self, *DDS_DataReaderSeq_get_reference(&self->readers, i), entityName))
            return DDS_DynamicData_get_type(keyHolder);
    }
    return nullptr;
}

} // namespace

extern "C" {

char *QueltDDSConnector_getEntityNamesJSON(QueltDDSConnector *self, int writers)
{
    if (!self) {
        CONNECTOR_LOG_ERROR("QueltDDSConnector_getEntityNamesJSON", LUABINDING_LOG_PRECONDITION_FAILURE_s,
                            "connector is null");
        return nullptr;
    }
    std::string out = "[";
    const DDS_Long n =
        writers ? DDS_DataWriterSeq_get_length(&self->writers) : DDS_DataReaderSeq_get_length(&self->readers);
    for (DDS_Long i = 0; i < n; ++i) {
        void *entity = writers ? static_cast<void *>(*DDS_DataWriterSeq_get_reference(&self->writers, i))
                               : static_cast<void *>(*DDS_DataReaderSeq_get_reference(&self->readers, i));
        const char *name = QueltDDSConnector_EntitiesLookupList_lookupEntity(self, entity);
        if (!name)
            continue; // not registered: not reachable by any name either
        if (out.size() > 1)
            out += ',';
        appendQuoted(out, name);
    }
    out += ']';
    return handOut(out);
}

char *QueltDDSConnector_getTypeJSON(QueltDDSConnector *self, const char *entityName)
{
    static const char *const ctx = "QueltDDSConnector_getTypeJSON";
    if (!self || !entityName) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s,
                            self ? "an entityName must be specified" : "connector is null");
        return nullptr;
    }
    std::string out;
    const DDS_TypeCode *type = typeOf(self, entityName);
    if (!type || !describe(out, type, 0)) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_GET_FAILURE_s, entityName);
        return nullptr;
    }
    return handOut(out);
}

char *QueltDDSConnector_getConfigNamesJSON(const char *configFile)
{
    static const char *const ctx = "QueltDDSConnector_getConfigNamesJSON";
    if (!configFile) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "a configFile must be specified");
        return nullptr;
    }
    DDS_StringSeq names = DDS_SEQUENCE_INITIALIZER;
    char *result = nullptr;
    if (DDS_DomainParticipantFactory_get_participant_config_names(DDS_DomainParticipantFactory_get_instance(), configFile,
                                                                   &names) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_OPEN_FAILURE_s, configFile);
    } else {
        std::string out = "[";
        for (DDS_Long i = 0; i < DDS_StringSeq_get_length(&names); ++i) {
            if (out.size() > 1)
                out += ',';
            appendQuoted(out, *DDS_StringSeq_get_reference(&names, i));
        }
        out += ']';
        result = handOut(out);
    }
    DDS_StringSeq_finalize(&names);
    return result;
}

} // extern "C"
