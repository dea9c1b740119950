// The write-parameters JSON, parsed strictly: one recursive-descent function per object shape,
// each failing (with the key or index at fault in the log) on anything it does not know.
#include "DDSConnectorWriterParamJsonHelper.h"

#include <json-parser/json.h>

#include <cstdint>
#include <cstring>

#include "DDSConnector.h"

namespace {

constexpr unsigned kGuidOctets = 16;

// The start every parser shares: target and value present, and the value of the shape it reads.
bool checkValue(const char *kCtx, const void *target, const char *targetName, const json_value *value,
                json_type type = json_object)
{
    if (!target) {
        CONNECTOR_LOG_ERROR(kCtx, QUELT_LOG_ANY_s, targetName);
        return false;
    }
    if (!value) {
        CONNECTOR_LOG_ERROR(kCtx, QUELT_LOG_ANY_s, "_json_value");
        return false;
    }
    if (value->type != type) {
        CONNECTOR_LOG_ERROR(kCtx, LUABINDING_LOG_ANY_ss,
                            type == json_object ? "not a valid json_object" : "not a valid json_array", "");
        return false;
    }
    return true;
}

// Name of an entry, for messages; keys are compared whole, so one with a NUL in it matches none.
bool keyIs(const json_object_entry &entry, const char *key)
{
    return entry.name_length == std::strlen(key) && std::memcmp(entry.name, key, entry.name_length) == 0;
}

int unknownKey(const char *kCtx, const json_object_entry &entry)
{
    CONNECTOR_LOG_ERROR(kCtx, LUABINDING_LOG_ANY_ss, "not a valid element", entry.name);
    return 1;
}

int failedKey(const char *kCtx, const json_object_entry &entry)
{
    CONNECTOR_LOG_ERROR(kCtx, LUABINDING_LOG_ANY_ss, "error parsing", entry.name);
    return 1;
}

} // namespace

extern "C" {

int DDSConnectorWriterParamJsonHelper_parse_json(DDS_WriteParams_t *params, const char *json)
{
    static const char *const kCtx = "DDSConnectorWriterParamJsonHelper_parse_json";
    if (!params) {
        CONNECTOR_LOG_ERROR(kCtx, QUELT_LOG_ANY_s, "params");
        return 1;
    }
    if (!json) {
        CONNECTOR_LOG_ERROR(kCtx, QUELT_LOG_ANY_s, "paramsJson");
        return 1;
    }
    json_settings settings;
    std::memset(&settings, 0, sizeof settings);
    char error[255] = "There was something here";
    json_value *root = json_parse_ex(&settings, json, std::strlen(json), error);
    if (!root) {
        CONNECTOR_LOG_ERROR(kCtx, LUABINDING_LOG_ANY_ss, "Not a valid json", error);
        return 1;
    }
    int result = 0;
    if (root->type != json_object) {
        CONNECTOR_LOG_ERROR(kCtx, LUABINDING_LOG_ANY_ss, "not a valid json_object", "");
        result = 1;
    }
    for (unsigned i = 0; result == 0 && i < root->u.object.length; ++i) {
        const json_object_entry &entry = root->u.object.values[i];
        if (keyIs(entry, "related_sample_identity"))
            result = DDSConnectorSampleIdentityJsonHelper_parse_json(&params->related_sample_identity, entry.value) != 0
                         ? failedKey(kCtx, entry)
                         : 0;
        else if (keyIs(entry, "identity"))
            result = DDSConnectorSampleIdentityJsonHelper_parse_json(&params->identity, entry.value) != 0
                         ? failedKey(kCtx, entry)
                         : 0;
        else
            result = unknownKey(kCtx, entry);
    }
    json_value_free(root);
    return result;
}

int DDSConnectorSampleIdentityJsonHelper_parse_json(DDS_SampleIdentity_t *identity, const json_value *value)
{
    static const char *const kCtx = "DDSConnectorSampleIdentityJsonHelper_parse_json";
    if (!checkValue(kCtx, identity, "sample_identity", value))
        return 1;
    for (unsigned i = 0; i < value->u.object.length; ++i) {
        const json_object_entry &entry = value->u.object.values[i];
        int failed;
        if (keyIs(entry, "writer_guid"))
            failed = DDSConnectorGUIDJsonHelper_parse_json(&identity->writer_guid, entry.value);
        else if (keyIs(entry, "sequence_number"))
            failed = DDSConnectorSequenceNumberJsonHelper_parse_json(&identity->sequence_number, entry.value);
        else
            return unknownKey(kCtx, entry);
        if (failed)
            return failedKey(kCtx, entry);
    }
    return 0;
}

int DDSConnectorGUIDJsonHelper_parse_json(DDS_GUID_t *guid, const json_value *value)
{
    static const char *const kCtx = "DDSConnectorGUIDJsonHelper_parse_json";
    if (!checkValue(kCtx, guid, "guid", value))
        return 1;
    for (unsigned i = 0; i < value->u.object.length; ++i) {
        const json_object_entry &entry = value->u.object.values[i];
        if (!keyIs(entry, "value"))
            return unknownKey(kCtx, entry);
        if (DDSConnectorOctectArrayJsonHelper_parse_json(guid->value, entry.value))
            return failedKey(kCtx, entry);
    }
    return 0;
}

int DDSConnectorOctectArrayJsonHelper_parse_json(DDS_Octet *octets, const json_value *value)
{
    static const char *const kCtx = "DDSConnectorOctectArrayJsonHelper_parse_json";
    if (!checkValue(kCtx, octets, "guid", value, json_array))
        return 1;
    // A GUID has 16 octets: a longer array is refused rather than cut, so no identity is
    // silently made from part of what the caller gave.
    if (value->u.array.length > kGuidOctets) {
        CONNECTOR_LOG_ERROR(kCtx, LUABINDING_LOG_ANY_sd, "too many octets for a GUID (at most 16):",
                            static_cast<int>(value->u.array.length));
        return 1;
    }
    for (unsigned i = 0; i < value->u.array.length; ++i) {
        const json_value *element = value->u.array.values[i];
        if (element->type != json_integer) {
            CONNECTOR_LOG_ERROR(kCtx, LUABINDING_LOG_ANY_sd, "not a valid element of the array", static_cast<int>(i));
            return 1;
        }
        const auto octet = static_cast<uint32_t>(element->u.integer);
        if (octet > 255) {
            // The number is taken unsigned: -1 shows as 4294967295.
            CONNECTOR_LOG_ERROR(kCtx, LUABINDING_LOG_ANY_sd, "not a valid octect value", static_cast<int>(octet));
            return 1;
        }
        octets[i] = static_cast<DDS_Octet>(octet);
    }
    return 0;
}

int DDSConnectorSequenceNumberJsonHelper_parse_json(DDS_SequenceNumber_t *sequenceNumber, const json_value *value)
{
    static const char *const kCtx = "DDSConnectorSequenceNumberJsonHelper_parse_json";
    if (!checkValue(kCtx, sequenceNumber, "sequence_number", value))
        return 1;
    for (unsigned i = 0; i < value->u.object.length; ++i) {
        const json_object_entry &entry = value->u.object.values[i];
        const bool high = keyIs(entry, "high");
        if (!high && !keyIs(entry, "low"))
            return unknownKey(kCtx, entry);
        if (entry.value->type != json_integer) {
            CONNECTOR_LOG_ERROR(kCtx, LUABINDING_LOG_ANY_ss, "not a valid type", entry.name);
            return 1;
        }
        const auto bits = static_cast<uint32_t>(entry.value->u.integer); // the low 32 bits
        if (high)
            sequenceNumber->high = static_cast<DDS_Long>(bits);
        else
            sequenceNumber->low = bits;
    }
    return 0;
}

} // extern "C"
