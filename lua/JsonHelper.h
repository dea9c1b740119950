/* JSON text into DynamicData: the keys of JSON objects name members, arrays address elements
 * (from 1), and each JSON scalar is converted to the member's type kind. */
#ifndef QUELT_LUA_JSON_HELPER_H
#define QUELT_LUA_JSON_HELPER_H

#include <stdint.h>

#include "dds/dds_dynamicdata.h"

#ifdef __cplusplus
extern "C" {
#endif

struct _json_value;

/* Deepest nesting of objects and arrays that is read; deeper text is refused whole. */
#define QUELT_LUA_JSON_MAX_DEPTH 256

/* 1 when the text is JSON (and was applied as far as it fits), 0 when it is not JSON or is
 * nested too deep (the sample is then unchanged). */
int QueltLuaJsonHelper_json_to_dynamic_data(DDS_DynamicData *data, const char *json);
/* Walks one JSON value against data: 1 when its own level was walked to the end, 0 when it
 * stopped. name/id address the member a scalar sets (id 0: by name). */
int QueltLuaJsonHelper_parse_json_node(DDS_DynamicData *data, const struct _json_value *value, const char *name,
                                       DDS_DynamicDataMemberId id, DDS_TCKind kind);
/* The scalar conversions: the middleware's return code, 3 (bad parameter) when the JSON type
 * does not fit the member's kind. */
DDS_ReturnCode_t QueltLuaJsonHelper_set_json_integer(DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                                                     DDS_DynamicDataMemberId id, int64_t value);
DDS_ReturnCode_t QueltLuaJsonHelper_set_json_double(DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                                                    DDS_DynamicDataMemberId id, double value);
DDS_ReturnCode_t QueltLuaJsonHelper_set_json_string(DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                                                    DDS_DynamicDataMemberId id, const char *text);
DDS_ReturnCode_t QueltLuaJsonHelper_set_json_boolean(DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                                                     DDS_DynamicDataMemberId id, int value);

#ifdef __cplusplus
}
#endif

#endif
