// DynamicData member access by name and sample-info fields: placeholders that report the
// operation as not defined and produce no value.
#include "DynamicData.h"

#include "Log.h"

extern "C" {

DDS_ReturnCode_t QueltLuaDynamicData_get_member_info(DDS_DynamicData *data, DDS_DynamicDataMemberInfo *info,
                                                     DDS_TCKind *kind, const char *name,
                                                     DDS_DynamicDataMemberId memberId) {
    (void)data, (void)info, (void)kind, (void)name, (void)memberId;
    QUELT_LUA_LOG_ERROR("QueltLuaDynamicData_get_member_info", LUABINDING_LOG_OPERATION_UNDEF);
    return DDS_RETCODE_UNSUPPORTED;
}

DDS_ReturnCode_t QueltLuaDynamicData_clear(DDS_DynamicData *data) {
    (void)data;
    QUELT_LUA_LOG_ERROR("QueltLuaDynamicData_clear", LUABINDING_LOG_OPERATION_UNDEF);
    return DDS_RETCODE_UNSUPPORTED;
}

int QueltLuaDynamicData_set(lua_State *L) {
    (void)L;
    QUELT_LUA_LOG_ERROR("QueltLuaDynamicData_set", LUABINDING_LOG_OPERATION_UNDEF);
    return 1;
}

int QueltLuaDynamicData_get(lua_State *L) {
    QUELT_LUA_LOG_ERROR("QueltLuaDynamicData_get", LUABINDING_LOG_OPERATION_UNDEF);
    lua_pushnil(L); /* push the (absent) value */
    return 1;
}

int QueltLuaDynamicData_set_from_json(lua_State *L) {
    QUELT_LUA_LOG_ERROR("QueltLuaDynamicData_set_from_json", LUABINDING_LOG_OPERATION_UNDEF);
    lua_pushnil(L); /* push the failure mark */
    return 1;
}

int QueltLuaSampleInfo_get(lua_State *L) {
    QUELT_LUA_LOG_ERROR("QueltLuaSampleInfo_get", LUABINDING_LOG_OPERATION_UNDEF);
    lua_pushnil(L); /* push the (absent) value */
    return 1;
}

} // extern "C"
