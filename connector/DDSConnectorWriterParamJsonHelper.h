/* The write-parameters JSON: {"identity": SI, "related_sample_identity": SI} where SI is
 * {"writer_guid": {"value": [16 octets]}, "sequence_number": {"high": h, "low": l}}. Every key is
 * optional; unknown keys, wrong types and out-of-range octets fail. Each parser returns 0 when
 * the value was parsed and stored, 1 when it failed (logged). */
#ifndef QUELT_DDS_CONNECTOR_WRITER_PARAM_JSON_HELPER_H
#define QUELT_DDS_CONNECTOR_WRITER_PARAM_JSON_HELPER_H

#include "dds/dds_domain.h"

#ifdef __cplusplus
extern "C" {
#endif

struct _json_value;

int DDSConnectorWriterParamJsonHelper_parse_json(DDS_WriteParams_t *params, const char *json);
int DDSConnectorSampleIdentityJsonHelper_parse_json(DDS_SampleIdentity_t *identity, const struct _json_value *value);
int DDSConnectorGUIDJsonHelper_parse_json(DDS_GUID_t *guid, const struct _json_value *value);
int DDSConnectorOctectArrayJsonHelper_parse_json(DDS_Octet *octets, const struct _json_value *value);
int DDSConnectorSequenceNumberJsonHelper_parse_json(DDS_SequenceNumber_t *sequenceNumber,
                                                    const struct _json_value *value);

#ifdef __cplusplus
}
#endif

#endif
