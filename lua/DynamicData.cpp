// DynamicData member access by name from Lua values: the member's type kind, learnt from the
// middleware at run time, picks the typed operation; sample-info fields by name and the time
// conversions behind their timestamps.
#include "DynamicData.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "Common.h"
#include "Internal.h"
#include "JsonHelper.h"
#include "dds/dds_log.h"
#include "dds/dds_string.h"
#include "dds/dds_util.h"
#include "Log.h"

namespace {

constexpr DDS_DynamicDataMemberId kByName = 0; // member id 0: the name decides
constexpr int kStringBufferSize = 128;         // first read of a string member goes here

bool endsWithHash(const char *name) {
    const size_t length = std::strlen(name);
    return length > 0 && name[length - 1] == '#';
}

// Truncation toward zero clamped to the signed 32-bit range; NaN gives 0.
int32_t toInt32(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    const double truncated = std::trunc(value);
    if (truncated < static_cast<double>(INT32_MIN)) {
        return INT32_MIN;
    }
    if (truncated > static_cast<double>(INT32_MAX)) {
        return INT32_MAX;
    }
    return static_cast<int32_t>(truncated);
}

// As toInt32 for the unsigned range: every negative number gives 0.
uint32_t toUint32(double value) {
    if (std::isnan(value) || value < 0.0) {
        return 0;
    }
    const double truncated = std::trunc(value);
    if (truncated > static_cast<double>(UINT32_MAX)) {
        return UINT32_MAX;
    }
    return static_cast<uint32_t>(truncated);
}

// Out-of-range 64-bit conversions clamp too, so that the cast never has undefined behaviour.
int64_t toInt64(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    const double truncated = std::trunc(value);
    if (truncated <= -9223372036854775808.0) {
        return INT64_MIN;
    }
    if (truncated >= 9223372036854775808.0) {
        return INT64_MAX;
    }
    return static_cast<int64_t>(truncated);
}

uint64_t toUint64(double value) {
    if (std::isnan(value) || value < 0.0) {
        return 0;
    }
    const double truncated = std::trunc(value);
    if (truncated >= 18446744073709551616.0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(truncated);
}

bool toBoolean(lua_State *L, int index) {
    switch (lua_type(L, index)) {
    case LUA_TNUMBER: {
        const double number = lua_tonumberx(L, index, nullptr);
        return number != 0.0; // NaN compares unequal, so it counts as true
    }
    case LUA_TSTRING: {
        const char *text = lua_tolstring(L, index, nullptr);
        static const char *const truths[] = {"yes", "YES", "true", "TRUE", "1"};
        for (const char *truth : truths) {
            if (std::strcmp(text, truth) == 0) {
                return true;
            }
        }
        return false;
    }
    case LUA_TBOOLEAN:
        return lua_toboolean(L, index) != 0;
    default:
        return false;
    }
}

// The numeric kinds: those a script reads and sets as a number.
bool isNumeric(DDS_TCKind kind) {
    switch (static_cast<int>(kind)) {
    case DDS_TK_SHORT:
    case DDS_TK_LONG:
    case DDS_TK_ENUM:
    case DDS_TK_USHORT:
    case DDS_TK_ULONG:
    case DDS_TK_FLOAT:
    case DDS_TK_DOUBLE:
    case DDS_TK_OCTET:
    case DDS_TK_LONGLONG:
    case DDS_TK_ULONGLONG:
        return true;
    default:
        return false;
    }
}

// Sets a member of a numeric kind from a number: integers truncated and clamped to their range
// (short and octet wrap from the 32-bit value), floats rounded.
DDS_ReturnCode_t setNumeric(DDS_DynamicData *data, const char *name, DDS_TCKind kind, double value) {
    switch (static_cast<int>(kind)) {
    case DDS_TK_SHORT:
        return DDS_DynamicData_set_short(data, name, kByName, static_cast<DDS_Short>(static_cast<uint16_t>(toInt32(value))));
    case DDS_TK_LONG:
    case DDS_TK_ENUM:
        return DDS_DynamicData_set_long(data, name, kByName, toInt32(value));
    case DDS_TK_USHORT:
        return DDS_DynamicData_set_ushort(data, name, kByName, static_cast<DDS_UnsignedShort>(toUint32(value)));
    case DDS_TK_ULONG:
        return DDS_DynamicData_set_ulong(data, name, kByName, toUint32(value));
    case DDS_TK_FLOAT:
        return DDS_DynamicData_set_float(data, name, kByName, quelt::lua::toFloat32(value));
    case DDS_TK_DOUBLE:
        return DDS_DynamicData_set_double(data, name, kByName, value);
    case DDS_TK_OCTET:
        return DDS_DynamicData_set_octet(data, name, kByName, static_cast<DDS_Octet>(static_cast<uint32_t>(toInt32(value))));
    case DDS_TK_LONGLONG:
        return DDS_DynamicData_set_longlong(data, name, kByName, toInt64(value));
    case DDS_TK_ULONGLONG:
        return DDS_DynamicData_set_ulonglong(data, name, kByName, toUint64(value));
    default:
        return DDS_RETCODE_UNSUPPORTED;
    }
}

// The value of a member of a numeric kind as a number (the 64-bit integers as the nearest one).
template <typename T, typename Get> DDS_ReturnCode_t numberFrom(Get get, DDS_DynamicData *data, const char *name, double *out) {
    T value = 0;
    const DDS_ReturnCode_t rc = get(data, &value, name, kByName);
    if (rc == DDS_RETCODE_OK) {
        *out = static_cast<double>(value);
    }
    return rc;
}

DDS_ReturnCode_t numericValue(DDS_DynamicData *data, const char *name, DDS_TCKind kind, double *out) {
    switch (static_cast<int>(kind)) {
    case DDS_TK_SHORT:
        return numberFrom<DDS_Short>(DDS_DynamicData_get_short, data, name, out);
    case DDS_TK_LONG:
    case DDS_TK_ENUM:
        return numberFrom<DDS_Long>(DDS_DynamicData_get_long, data, name, out);
    case DDS_TK_USHORT:
        return numberFrom<DDS_UnsignedShort>(DDS_DynamicData_get_ushort, data, name, out);
    case DDS_TK_ULONG:
        return numberFrom<DDS_UnsignedLong>(DDS_DynamicData_get_ulong, data, name, out);
    case DDS_TK_FLOAT:
        return numberFrom<DDS_Float>(DDS_DynamicData_get_float, data, name, out);
    case DDS_TK_DOUBLE:
        return numberFrom<DDS_Double>(DDS_DynamicData_get_double, data, name, out);
    case DDS_TK_OCTET:
        return numberFrom<DDS_Octet>(DDS_DynamicData_get_octet, data, name, out);
    case DDS_TK_LONGLONG:
        return numberFrom<DDS_LongLong>(DDS_DynamicData_get_longlong, data, name, out);
    case DDS_TK_ULONGLONG:
        return numberFrom<DDS_UnsignedLongLong>(DDS_DynamicData_get_ulonglong, data, name, out);
    default:
        return DDS_RETCODE_UNSUPPORTED;
    }
}

// The value at valueIndex as a number, with a warning when it is not a Lua number.
double numberOf(lua_State *L, int valueIndex, const char *name, const char *ctx) {
    if (lua_type(L, valueIndex) != LUA_TNUMBER) {
        QUELT_LUA_LOG_WARNING(ctx, LUABINDING_LOG_NOT_A_NUMBER_s, name);
    }
    return lua_tonumberx(L, valueIndex, nullptr); // 0 when not convertible
}

enum class SetOutcome { done, failed, refused };

// Sets a text-valued member (kinds 8, 13, 20, 21). The value at -2 (relative to the caller's
// stack; here passed as an absolute index) is copied before conversion so that a number on the
// caller's stack is not turned into a string in place.
DDS_ReturnCode_t setText(lua_State *L, int valueIndex, DDS_DynamicData *data, const char *name, DDS_TCKind kind,
                         const char *ctx, bool *noText) {
    *noText = false;
    if (lua_type(L, valueIndex) != LUA_TSTRING) {
        QUELT_LUA_LOG_WARNING(ctx, LUABINDING_LOG_NOT_A_STRING_s, name);
    }
    lua_pushvalue(L, valueIndex); /* push a copy of the value to convert */
    const char *text = lua_tolstring(L, -1, nullptr);
    DDS_ReturnCode_t rc = DDS_RETCODE_OK;
    if (text == nullptr) {
        *noText = true;
        rc = DDS_RETCODE_BAD_PARAMETER;
    } else if (kind == DDS_TK_CHAR) {
        rc = DDS_DynamicData_set_char(data, name, kByName, static_cast<DDS_Char>(text[0]));
    } else if (kind == DDS_TK_WCHAR) {
        rc = DDS_DynamicData_set_wchar(data, name, kByName,
                                       static_cast<DDS_Wchar>(static_cast<unsigned char>(text[0])));
    } else if (kind == DDS_TK_STRING) {
        rc = DDS_DynamicData_set_string(data, name, kByName, text);
    } else {
        const int units = QueltUtf8_toUtf16(text, nullptr, 0);
        DDS_Wchar *wide = units >= 0 ? DDS_Wstring_alloc(static_cast<DDS_UnsignedLong>(units)) : nullptr;
        if (wide == nullptr || QueltUtf8_toUtf16(text, wide, units + 1) < 0) {
            rc = DDS_RETCODE_BAD_PARAMETER;
        } else {
            rc = DDS_DynamicData_set_wstring(data, name, kByName, wide);
        }
        DDS_Wstring_free(wide);
    }
    lua_pop(L, 1); /* pop the converted copy */
    return rc;
}

// Hands the string member's text (kind 13) to use. Returns the middleware's code; uses only on OK.
template <typename Use> DDS_ReturnCode_t withString(DDS_DynamicData *data, const char *name, Use use) {
    char buffer[kStringBufferSize];
    char *text = buffer;
    DDS_UnsignedLong size = sizeof buffer;
    DDS_ReturnCode_t rc = DDS_DynamicData_get_string(data, &text, &size, name, kByName);
    if (rc == DDS_RETCODE_OK) {
        use(text);
        return rc;
    }
    if (rc != DDS_RETCODE_OUT_OF_RESOURCES || size == 0) {
        return rc;
    }
    // Longer than the first buffer: the middleware reported the size needed (NUL included).
    char *allocated = DDS_String_alloc(size - 1);
    if (allocated == nullptr) {
        return DDS_RETCODE_OUT_OF_RESOURCES;
    }
    text = allocated;
    rc = DDS_DynamicData_get_string(data, &text, &size, name, kByName);
    if (rc == DDS_RETCODE_OK) {
        use(text);
    }
    DDS_String_free(allocated);
    return rc;
}

DDS_ReturnCode_t pushString(lua_State *L, DDS_DynamicData *data, const char *name) {
    return withString(data, name, [L](const char *text) { lua_pushstring(L, text); /* push the member's text */ });
}

// Pushes a UTF-16 text as UTF-8. Returns false (nothing pushed) for text that cannot convert.
bool pushUtf16(lua_State *L, const DDS_Wchar *wide) {
    const int bytes = QueltUtf16_toUtf8(wide, nullptr, 0);
    if (bytes < 0) {
        return false;
    }
    char *utf8 = DDS_String_alloc(static_cast<size_t>(bytes));
    if (utf8 == nullptr || QueltUtf16_toUtf8(wide, utf8, bytes + 1) < 0) {
        DDS_String_free(utf8);
        return false;
    }
    lua_pushlstring(L, utf8, static_cast<size_t>(bytes)); /* push the member's text */
    DDS_String_free(utf8);
    return true;
}

// Pushes the wide-string member's text (kind 21) as UTF-8. Pushes only on OK.
DDS_ReturnCode_t pushWstring(lua_State *L, DDS_DynamicData *data, const char *name) {
    DDS_Wchar buffer[kStringBufferSize];
    DDS_Wchar *text = buffer;
    DDS_UnsignedLong size = kStringBufferSize;
    DDS_ReturnCode_t rc = DDS_DynamicData_get_wstring(data, &text, &size, name, kByName);
    if (rc == DDS_RETCODE_OK) {
        return pushUtf16(L, text) ? rc : DDS_RETCODE_ERROR;
    }
    if (rc != DDS_RETCODE_OUT_OF_RESOURCES || size == 0) {
        return rc;
    }
    DDS_Wchar *allocated = DDS_Wstring_alloc(size - 1);
    if (allocated == nullptr) {
        return DDS_RETCODE_OUT_OF_RESOURCES;
    }
    text = allocated;
    rc = DDS_DynamicData_get_wstring(data, &text, &size, name, kByName);
    if (rc == DDS_RETCODE_OK && !pushUtf16(L, text)) {
        rc = DDS_RETCODE_ERROR;
    }
    DDS_Wstring_free(allocated);
    return rc;
}

bool isStructuralKind(int kind) {
    switch (kind) {
    case DDS_TK_NULL:
    case DDS_TK_STRUCT:
    case DDS_TK_ALIAS:
    case DDS_TK_VALUE:
    case DDS_TK_SPARSE:
    case 126:
    case 127:
    case 8192:
    case 16384:
        return true;
    default:
        return false;
    }
}

// {"writer_guid": {"value": [o1,...,o16]},"sequence_number": {"high": h,"low": l}}; the low part
// is printed as signed 32-bit, which the write-parameters parser reads back to the same bits.
void formatSampleIdentity(const DDS_GUID_t &guid, const DDS_SequenceNumber_t &sn, char (&out)[200]) {
    char octets[100];
    int used = 0;
    for (int k = 0; k < 16; ++k) {
        used += QueltString_snprintf(octets + used, sizeof octets - used, "%d%s", guid.value[k], k < 15 ? "," : "");
    }
    QueltString_snprintf(out, sizeof out, "%s%s%s%d%s%d%s", "{\"writer_guid\": {\"value\": [", octets,
                         "]},\"sequence_number\": {\"high\": ", sn.high, ",\"low\": ", static_cast<int32_t>(sn.low),
                         "}}");
}

} // namespace

extern "C" {

DDS_ReturnCode_t QueltLuaDynamicData_get_member_info(DDS_DynamicData *data, DDS_DynamicDataMemberInfo *info,
                                                     DDS_TCKind *kind, const char *name,
                                                     DDS_DynamicDataMemberId memberId) {
    const DDS_ReturnCode_t rc = DDS_DynamicData_get_member_info(data, info, name, memberId);
    if (rc != DDS_RETCODE_OK) {
        return rc;
    }
    *kind = info->member_kind;
    // A "#" on anything but a sequence or array asks for a union's selected member name.
    if (name != nullptr && endsWithHash(name) && *kind != DDS_TK_SEQUENCE && *kind != DDS_TK_ARRAY) {
        *kind = DDS_TK_UNION;
    }
    return rc;
}

DDS_ReturnCode_t QueltLuaDynamicData_getNumber(DDS_DynamicData *data, const char *name, double *value) {
    DDS_DynamicDataMemberInfo info;
    DDS_TCKind kind = DDS_TK_NULL;
    if (!data || !name || QueltLuaDynamicData_get_member_info(data, &info, &kind, name, kByName) != DDS_RETCODE_OK ||
        !isNumeric(kind)) {
        return DDS_RETCODE_UNSUPPORTED;
    }
    const DDS_ReturnCode_t rc = numericValue(data, name, kind, value);
    return rc == DDS_RETCODE_OK ? rc : DDS_RETCODE_UNSUPPORTED;
}

DDS_ReturnCode_t QueltLuaDynamicData_setNumber(DDS_DynamicData *data, const char *name, double value) {
    DDS_DynamicDataMemberInfo info;
    DDS_TCKind kind = DDS_TK_NULL;
    if (!data || !name || QueltLuaDynamicData_get_member_info(data, &info, &kind, name, kByName) != DDS_RETCODE_OK ||
        !isNumeric(kind)) {
        return DDS_RETCODE_UNSUPPORTED;
    }
    return setNumeric(data, name, kind, value) == DDS_RETCODE_OK ? DDS_RETCODE_OK : DDS_RETCODE_UNSUPPORTED;
}

DDS_ReturnCode_t QueltLuaDynamicData_setString(DDS_DynamicData *data, const char *name, const char *text) {
    DDS_DynamicDataMemberInfo info;
    DDS_TCKind kind = DDS_TK_NULL;
    if (!data || !name || !text || QueltLuaDynamicData_get_member_info(data, &info, &kind, name, kByName) != DDS_RETCODE_OK ||
        kind != DDS_TK_STRING) {
        return DDS_RETCODE_UNSUPPORTED;
    }
    return DDS_DynamicData_set_string(data, name, kByName, text) == DDS_RETCODE_OK ? DDS_RETCODE_OK : DDS_RETCODE_UNSUPPORTED;
}

char *QueltLuaDynamicData_getString(DDS_DynamicData *data, const char *name) {
    DDS_DynamicDataMemberInfo info;
    DDS_TCKind kind = DDS_TK_NULL;
    char *copy = nullptr;
    if (data && name && QueltLuaDynamicData_get_member_info(data, &info, &kind, name, kByName) == DDS_RETCODE_OK &&
        kind == DDS_TK_STRING && withString(data, name, [&copy](const char *text) { copy = DDS_String_dup(text); }) != DDS_RETCODE_OK) {
        DDS_String_free(copy);
        copy = nullptr;
    }
    return copy;
}

DDS_ReturnCode_t QueltLuaDynamicData_clear(DDS_DynamicData *data) {
    return DDS_DynamicData_clear_all_members(data);
}

int QueltLuaDynamicData_set(lua_State *L) {
    static const char *const ctx = "QueltLuaDynamicData_set";
    const int top = lua_gettop(L);
    const int valueIndex = top - 1; // absolute, so that pushes below do not move it
    const int valueType = lua_type(L, -2);
    if (!lua_isstring(L, -3)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_STRING_EXPECTED_AT_d, -3);
        QueltLuaCommon_stackDump(L);
        return 1;
    }
    if (!lua_islightuserdata(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_USERDATA_EXPECTED_ON_TOP);
        QueltLuaCommon_stackDump(L);
        return 1;
    }
    auto *data = static_cast<DDS_DynamicData *>(lua_touserdata(L, -1));
    if (data == nullptr) {
        return 1;
    }
    // A numeric name is converted in place; the name slot is ours to read, not to keep.
    const char *name = lua_tolstring(L, -3, nullptr);
    DDS_DynamicDataMemberInfo info;
    DDS_TCKind kind = DDS_TK_NULL;
    if (QueltLuaDynamicData_get_member_info(data, &info, &kind, name, kByName) != DDS_RETCODE_OK) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_GET_KIND_FAILURE_s, name);
        return 1;
    }
    if (valueType == LUA_TNIL) {
        if (DDS_DynamicData_clear_optional_member(data, name, kByName) != DDS_RETCODE_OK) {
            QueltLuaCommon_stackDump(L);
        }
        return 1;
    }

    DDS_ReturnCode_t rc = DDS_RETCODE_OK;
    bool noText = false;
    switch (static_cast<int>(kind)) {
    case DDS_TK_BOOLEAN:
        rc = DDS_DynamicData_set_boolean(data, name, kByName, toBoolean(L, valueIndex) ? 1 : 0);
        break;
    case DDS_TK_CHAR:
    case DDS_TK_STRING:
    case DDS_TK_WCHAR:
    case DDS_TK_WSTRING:
        rc = setText(L, valueIndex, data, name, kind, ctx, &noText);
        break;
    case DDS_TK_LONGDOUBLE:
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, "LongDouble not supported");
        return 1;
    case DDS_TK_SEQUENCE:
    case DDS_TK_ARRAY:
    case DDS_TK_UNION:
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "not a primitive type");
        QueltLuaCommon_stackDump(L);
        return 1;
    default:
        if (isNumeric(kind)) {
            rc = setNumeric(data, name, kind, numberOf(L, valueIndex, name, ctx));
            break;
        }
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, isStructuralKind(kind) ? "not a primitive type" : "type not supported");
        QueltLuaCommon_stackDump(L);
        return 1;
    }
    (void)noText; // a value with no text form is reported like a refused set
    if (rc != DDS_RETCODE_OK) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_SET_FAILURE_s, name);
        QueltLuaCommon_stackDump(L);
    }
    QUELT_LUA_CHECK_TOP(L, top);
    return 1;
}

int QueltLuaDynamicData_get(lua_State *L) {
    static const char *const ctx = "QueltLuaDynamicData_get";
    const char *failure = nullptr;
    if (lua_gettop(L) != 3) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "3 arguments expected");
        failure = "";
    } else if (!lua_istable(L, 1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_EXPECTED_AT_d, 1);
        failure = "";
    } else if (!lua_isstring(L, 2)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_STRING_EXPECTED_AT_d, 2);
        failure = "";
    } else if (!lua_islightuserdata(L, 3)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_USERDATA_EXPECTED_AT_d, 3);
        failure = "";
    } else if (lua_touserdata(L, 3) == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "instance is null");
        failure = "";
    } else if (lua_tolstring(L, 2, nullptr) == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "name is null");
        failure = "";
    }
    if (failure != nullptr) {
        QueltLuaCommon_stackDump(L);
        lua_pushnil(L); /* push the (absent) value */
        return 1;
    }
    auto *data = static_cast<DDS_DynamicData *>(lua_touserdata(L, 3));
    const char *name = lua_tolstring(L, 2, nullptr); // a number at 2 has become its text
    DDS_DynamicDataMemberInfo info;
    DDS_TCKind kind = DDS_TK_NULL;
    if (QueltLuaDynamicData_get_member_info(data, &info, &kind, name, kByName) != DDS_RETCODE_OK) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_GET_KIND_FAILURE_s, name);
        lua_pushnil(L); /* push the (absent) value */
        return 1;
    }

    DDS_ReturnCode_t rc = DDS_RETCODE_OK;
    double number = 0;
    switch (static_cast<int>(kind)) {
    case DDS_TK_BOOLEAN: {
        DDS_Boolean value = 0;
        if ((rc = DDS_DynamicData_get_boolean(data, &value, name, kByName)) == DDS_RETCODE_OK) {
            lua_pushboolean(L, value != 0); /* push the member's value */
        }
        break;
    }
    case DDS_TK_CHAR: {
        DDS_Char value = 0;
        if ((rc = DDS_DynamicData_get_char(data, &value, name, kByName)) == DDS_RETCODE_OK) {
            lua_pushlstring(L, &value, value != 0 ? 1 : 0); /* push the one-byte text */
        }
        break;
    }
    case DDS_TK_WCHAR: {
        DDS_Wchar value = 0;
        if ((rc = DDS_DynamicData_get_wchar(data, &value, name, kByName)) == DDS_RETCODE_OK) {
            const char low = static_cast<char>(value & 0xff);
            lua_pushlstring(L, &low, low != 0 ? 1 : 0); /* push the one-byte text */
        }
        break;
    }
    case DDS_TK_STRING:
        rc = pushString(L, data, name);
        break;
    case DDS_TK_WSTRING:
        rc = pushWstring(L, data, name);
        break;
    case DDS_TK_LONGDOUBLE:
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, "LongDouble not supported");
        lua_pushnil(L); /* push the (absent) value */
        return 1;
    case DDS_TK_SEQUENCE:
    case DDS_TK_ARRAY:
    case DDS_TK_UNION:
        if (endsWithHash(name)) {
            if (kind == DDS_TK_UNION) {
                lua_pushstring(L, info.member_name); /* push the selected member's name */
            } else {
                lua_pushnumber(L, info.element_count); /* push the length */
            }
            return 1;
        }
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "tcKind not supported");
        QueltLuaCommon_stackDump(L);
        lua_pushnil(L); /* push the (absent) value */
        return 1;
    default:
        if (isNumeric(kind)) {
            if ((rc = numericValue(data, name, kind, &number)) == DDS_RETCODE_OK) {
                lua_pushnumber(L, number); /* push the member's value */
            }
            break;
        }
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, isStructuralKind(kind) ? "not a primitive" : "tcKind not supported");
        QueltLuaCommon_stackDump(L);
        lua_pushnil(L); /* push the (absent) value */
        return 1;
    }
    if (rc == DDS_RETCODE_NO_DATA) {
        lua_pushnil(L); /* an unset optional member reads as nil */
    } else if (rc != DDS_RETCODE_OK) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_GET_FAILURE_s, name);
        QueltLuaCommon_stackDump(L);
        lua_pushnil(L); /* push the (absent) value */
    }
    return 1;
}

int QueltLuaDynamicData_set_from_json(lua_State *L) {
    static const char *const ctx = "QueltLuaDynamicData_set_from_json";
    bool ok = false;
    if (!lua_isstring(L, -2)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_STRING_EXPECTED_AT_d, -2);
    } else if (!lua_islightuserdata(L, -1) || lua_touserdata(L, -1) == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_USERDATA_EXPECTED_ON_TOP);
    } else {
        // A number at -2 becomes its text in place: the slot is the caller's argument, read once.
        const char *json = lua_tolstring(L, -2, nullptr);
        auto *data = static_cast<DDS_DynamicData *>(lua_touserdata(L, -1));
        ok = QueltLuaJsonHelper_json_to_dynamic_data(data, json) != 0;
        if (!ok) {
            QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "QueltLuaJsonHelper_json_to_dynamic_data");
        }
    }
    if (!ok) {
        QueltLuaCommon_stackDump(L);
        lua_pushnil(L); /* push the failure mark */
    }
    return 1;
}

int QueltLuaSampleInfo_get(lua_State *L) {
    static const char *const ctx = "QueltLuaSampleInfo_get";
    bool ok = false;
    if (lua_gettop(L) != 3) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "3 arguments expected");
    } else if (!lua_istable(L, 1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_EXPECTED_AT_d, 1);
    } else if (!lua_isstring(L, 2)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_STRING_EXPECTED_AT_d, 2);
    } else if (!lua_islightuserdata(L, 3)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_USERDATA_EXPECTED_AT_d, 3);
    } else if (lua_touserdata(L, 3) == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "instance is null");
    } else if (lua_tolstring(L, 2, nullptr) == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "name is null");
    } else {
        ok = true;
    }
    if (!ok) {
        QueltLuaCommon_stackDump(L);
        lua_pushnil(L); /* push the (absent) value */
        return 1;
    }
    const auto *info = static_cast<const DDS_SampleInfo *>(lua_touserdata(L, 3));
    const char *name = lua_tolstring(L, 2, nullptr);
    if (std::strcmp(name, "valid_data") == 0) {
        lua_pushboolean(L, info->valid_data != 0); /* push the flag */
    } else if (std::strcmp(name, "source_timestamp") == 0) {
        lua_pushnumber(L, DDS_Time_t_to_milliseconds(&info->source_timestamp)); /* push ms */
    } else if (std::strcmp(name, "reception_timestamp") == 0) {
        lua_pushnumber(L, DDS_Time_t_to_milliseconds(&info->reception_timestamp)); /* push ms */
    } else if (std::strcmp(name, "sample_identity") == 0) {
        // An engine whose sample infos carry no sequence number (Cyclone DDS 0.10) says so once.
        static std::atomic<bool> said{false};
        const DDS_SequenceNumber_t &n = info->original_publication_virtual_sequence_number;
        if (info->valid_data && n.high == DDS_AUTO_SEQUENCE_NUMBER.high && n.low == DDS_AUTO_SEQUENCE_NUMBER.low && !said.exchange(true))
            QueltLog_warning(ctx, "this engine's sample infos carry no sequence number: sample identities show -1");
        char text[200];
        formatSampleIdentity(info->original_publication_virtual_guid,
                             info->original_publication_virtual_sequence_number, text);
        lua_pushstring(L, text); /* push the identity text */
    } else if (std::strcmp(name, "related_sample_identity") == 0) {
        char text[200];
        formatSampleIdentity(info->related_original_publication_virtual_guid,
                             info->related_original_publication_virtual_sequence_number, text);
        lua_pushstring(L, text); /* push the identity text */
    } else {
        lua_pushnil(L); /* unknown field: nil */
    }
    return 1;
}

void DDS_Time_to_QueltNtpTime(const DDS_Time_t *time, QueltNtpTime *ntp) {
    if (time->sec < 0) {
        *ntp = INVALID_QUELTNTP_TIME;
        return;
    }
    ntp->sec = time->sec;
    // nanoseconds * 2^32 / 10^9 without division: 0x89705F41 is 2^61 / 10^9 rounded down.
    ntp->frac = static_cast<DDS_UnsignedLong>((static_cast<uint64_t>(time->nanosec) * 0x89705F41ull) >> 29);
}

double DDS_Time_t_to_milliseconds(const DDS_Time_t *time) {
    QueltNtpTime ntp = INVALID_QUELTNTP_TIME;
    DDS_Time_to_QueltNtpTime(time, &ntp);
    const uint32_t frac = ntp.frac;
    // frac * 1000 / 2^32 rounded to nearest: frac * 125/128 / 2^22 plus half a unit.
    uint32_t ms = (frac - (frac >> 6) - (frac >> 7) + 2097152u) >> 22;
    int32_t sec = ntp.sec;
    if (ms >= 1000 && sec != INT32_MAX) {
        ms -= 1000;
        sec += 1;
    }
    return static_cast<double>(sec) * 1000.0 + ms;
}

} // extern "C"
