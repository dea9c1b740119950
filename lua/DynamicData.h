/* DynamicData member access by name from Lua values, and sample-info fields by name. */
#ifndef QUELT_LUA_DYNAMIC_DATA_H
#define QUELT_LUA_DYNAMIC_DATA_H

#include "dds/dds_domain.h"
#include "dds/dds_dynamicdata.h"
#include "LuaApi.h"

#ifdef __cplusplus
extern "C" {
#endif

DDS_ReturnCode_t QueltLuaDynamicData_get_member_info(DDS_DynamicData *data, DDS_DynamicDataMemberInfo *info,
                                                     DDS_TCKind *kind, const char *name,
                                                     DDS_DynamicDataMemberId memberId);
/* A member of a numeric kind (the integers, enums, float, double, octet), read and set as a
 * script's get and set do, for callers outside the engine. DDS_RETCODE_UNSUPPORTED, with nothing
 * set or logged, for any other member, an unset optional one, or a refused value: the caller then
 * goes the engine's way, which says what is wrong. */
DDS_ReturnCode_t QueltLuaDynamicData_getNumber(DDS_DynamicData *data, const char *name, double *value);
DDS_ReturnCode_t QueltLuaDynamicData_setNumber(DDS_DynamicData *data, const char *name, double value);
/* The same for a string member (not char, wchar or wstring); the text got is the caller's to
 * free (DDS_String_free), null when not handled. */
DDS_ReturnCode_t QueltLuaDynamicData_setString(DDS_DynamicData *data, const char *name, const char *text);
char *QueltLuaDynamicData_getString(DDS_DynamicData *data, const char *name);
DDS_ReturnCode_t QueltLuaDynamicData_clear(DDS_DynamicData *data);
/* Stack: member name at -3, value at -2, lud DynamicData at -1. Returns 1, pushes nothing. */
int QueltLuaDynamicData_set(lua_State *L);
/* Stack: table, member name, lud DynamicData. Returns 1 with the value (or nil) pushed. */
int QueltLuaDynamicData_get(lua_State *L);
/* Stack: JSON text at -2, lud DynamicData at -1. Returns 1; pushes nil on failure. */
int QueltLuaDynamicData_set_from_json(lua_State *L);
/* Stack: table, field name, lud SampleInfo. Returns 1 with the value (or nil) pushed. */
int QueltLuaSampleInfo_get(lua_State *L);

/* Time in NTP form: seconds and a fraction in units of 2^-32 second. */
typedef struct QueltNtpTime {
    DDS_Long sec;
    DDS_UnsignedLong frac;
} QueltNtpTime;
/* The time that stands for "no valid time". */
#define INVALID_QUELTNTP_TIME {-1, 0}

/* Negative seconds give INVALID_QUELTNTP_TIME. */
void DDS_Time_to_QueltNtpTime(const DDS_Time_t *time, QueltNtpTime *ntp);
/* Milliseconds rounded to nearest; a negative time gives -1000.0. */
double DDS_Time_t_to_milliseconds(const DDS_Time_t *time);

#ifdef __cplusplus
}
#endif

#endif
