// JSON text into DynamicData.
//
// The conversion is lenient: a key that names no member stops the walk of the object that holds
// it, and a value that does not fit its member is skipped; only text that is not JSON (or is
// nested deeper than we read) fails. Values that are skipped, or set only in part (an integer cut
// to the member's width, text that is not wholly a number), are reported as warnings with the
// member's path, so that nothing is lost without a trace.
#include "JsonHelper.h"

#include <json-parser/json.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Internal.h"
#include "Log.h"
#include "dds/dds_log.h"
#include "dds/dds_string.h"
#include "dds/dds_util.h"

namespace {

using quelt::lua::toFloat32;

constexpr const char *kWalkCtx = "QueltLuaJsonHelper_parse_json_node";
constexpr int kMaxDepth = QUELT_LUA_JSON_MAX_DEPTH;

const char *kindName(DDS_TCKind kind) {
    static const char *const names[] = {"null",    "short",  "long",     "unsigned short", "unsigned long", "float",
                                        "double",  "boolean", "char",    "octet",          "struct",        "union",
                                        "enum",    "string", "sequence", "array",          "alias",         "long long",
                                        "unsigned long long",  "long double",             "wchar",         "wstring",
                                        "value"};
    const auto k = static_cast<size_t>(kind);
    return k < sizeof names / sizeof names[0] ? names[k] : "unknown";
}

bool isComplex(DDS_TCKind kind) {
    return kind == DDS_TK_STRUCT || kind == DDS_TK_UNION || kind == DDS_TK_SEQUENCE || kind == DDS_TK_ARRAY ||
           kind == DDS_TK_VALUE;
}

// json-parser turns integer literals beyond the signed 64-bit range into doubles, and reads some
// decimals one unit off (it scales by powers of ten). So the numbers are also read from the text:
// decimals are replaced by their correctly rounded value, and 64-bit members get those integers
// exactly. A number literal of the text is matched to its value by its place: values come in the
// tree's depth-first order just as they stand in the text.
struct BigInteger {
    const json_value *value;
    const char *text;
    size_t length;
};

// The member being set, for messages: a chain of names and element ids.
struct Frame {
    const char *name;
    unsigned length;
    DDS_DynamicDataMemberId id;
};

class Walk {
  public:
    // Integer literals beyond the signed 64-bit range, by value (sorted); null when none.
    const std::vector<BigInteger> *bigs = nullptr;

    const BigInteger *bigOf(const json_value *v) const {
        if (bigs == nullptr) {
            return nullptr;
        }
        auto it = std::lower_bound(bigs->begin(), bigs->end(), v,
                                   [](const BigInteger &b, const json_value *key) { return b.value < key; });
        return it != bigs->end() && it->value == v ? &*it : nullptr;
    }

    Walk() { path_.reserve(16); }
    Walk(const char *name, DDS_DynamicDataMemberId id) {
        if (name != nullptr || id != 0) {
            push(name, name ? static_cast<unsigned>(std::strlen(name)) : 0, id);
        }
    }
    ~Walk() {
        for (DDS_DynamicData *d : spares_) {
            DDS_DynamicData_delete(d);
        }
    }
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;

    void push(const char *name, unsigned length, DDS_DynamicDataMemberId id) { path_.push_back({name, length, id}); }
    void pop() { path_.pop_back(); }

    // An unbound DynamicData to bind the current member to; one per nesting level, reused by
    // its siblings, so that a sequence of structures costs no allocation per element.
    DDS_DynamicData *spare() {
        const size_t level = path_.size();
        if (spares_.size() < level) {
            spares_.resize(level, nullptr);
        }
        DDS_DynamicData *&d = spares_[level - 1];
        if (d == nullptr) {
            d = DDS_DynamicData_new(nullptr, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
        }
        return d;
    }

    std::string path() const {
        std::string text;
        for (const Frame &f : path_) {
            if (f.name != nullptr) {
                if (!text.empty()) {
                    text += '.';
                }
                text.append(f.name, f.length);
            } else {
                text += '[' + std::to_string(f.id) + ']';
            }
        }
        return text.empty() ? std::string("<sample>") : text;
    }

    // A warning about the current member; formatted only when warnings are printed.
    __attribute__((format(printf, 2, 3))) void warn(const char *format, ...) const {
        if (!QueltLuaLog_isEnabled(QUELT_LUA_LOG_LEVEL_WARNING, QUELT_LUA_LOG_SUBMODULE_LUA)) {
            return;
        }
        char reason[320];
        va_list args;
        va_start(args, format);
        std::vsnprintf(reason, sizeof reason, format, args);
        va_end(args);
        QUELT_LUA_LOG_WARNING(kWalkCtx, LUABINDING_LOG_MEMBER_ss, path().c_str(), reason);
    }

    void error(const QueltLogMessage &message, const char *text) const {
        if (QueltLuaLog_isEnabled(QUELT_LUA_LOG_LEVEL_ERROR, QUELT_LUA_LOG_SUBMODULE_LUA)) {
            QUELT_LUA_LOG_ERROR(kWalkCtx, message, text, path().c_str());
        }
    }

    void kindError() const {
        if (QueltLuaLog_isEnabled(QUELT_LUA_LOG_LEVEL_ERROR, QUELT_LUA_LOG_SUBMODULE_LUA)) {
            QUELT_LUA_LOG_ERROR(kWalkCtx, LUABINDING_LOG_GET_KIND_FAILURE_s, path().c_str());
        }
    }

  private:
    std::vector<Frame> path_;
    std::vector<DDS_DynamicData *> spares_;
};

// ---- numbers ----

// Integers that fit the member without losing bits.
bool fits(DDS_TCKind kind, int64_t v) {
    switch (kind) {
    case DDS_TK_SHORT: return v >= INT16_MIN && v <= INT16_MAX;
    case DDS_TK_USHORT: return v >= 0 && v <= UINT16_MAX;
    case DDS_TK_LONG:
    case DDS_TK_ENUM: return v >= INT32_MIN && v <= INT32_MAX;
    case DDS_TK_ULONG: return v >= 0 && v <= UINT32_MAX;
    case DDS_TK_OCTET: return v >= 0 && v <= UINT8_MAX;
    case DDS_TK_WCHAR: return v >= 0 && v <= UINT16_MAX;
    case DDS_TK_ULONGLONG: return v >= 0;
    default: return true;
    }
}

int widthOf(DDS_TCKind kind) {
    switch (kind) {
    case DDS_TK_OCTET: return 8;
    case DDS_TK_SHORT:
    case DDS_TK_USHORT:
    case DDS_TK_WCHAR: return 16;
    case DDS_TK_LONG:
    case DDS_TK_ULONG:
    case DDS_TK_ENUM: return 32;
    default: return 64;
    }
}

// Sets an integer of the member's kind from the low bits of v.
DDS_ReturnCode_t setBits(DDS_DynamicData *data, DDS_TCKind kind, const char *name, DDS_DynamicDataMemberId id,
                         int64_t v) {
    switch (kind) {
    case DDS_TK_SHORT:
        return DDS_DynamicData_set_short(data, name, id, static_cast<DDS_Short>(static_cast<uint16_t>(v)));
    case DDS_TK_LONG:
    case DDS_TK_ENUM:
        return DDS_DynamicData_set_long(data, name, id, static_cast<DDS_Long>(static_cast<uint32_t>(v)));
    case DDS_TK_USHORT:
        return DDS_DynamicData_set_ushort(data, name, id, static_cast<DDS_UnsignedShort>(v));
    case DDS_TK_ULONG:
        return DDS_DynamicData_set_ulong(data, name, id, static_cast<DDS_UnsignedLong>(v));
    case DDS_TK_OCTET:
        return DDS_DynamicData_set_octet(data, name, id, static_cast<DDS_Octet>(v));
    case DDS_TK_WCHAR:
        return DDS_DynamicData_set_wchar(data, name, id, static_cast<DDS_Wchar>(v));
    case DDS_TK_LONGLONG:
        return DDS_DynamicData_set_longlong(data, name, id, v);
    case DDS_TK_ULONGLONG:
        return DDS_DynamicData_set_ulonglong(data, name, id, static_cast<DDS_UnsignedLongLong>(v));
    default:
        return DDS_RETCODE_BAD_PARAMETER;
    }
}

void warnCut(const Walk &walk, DDS_TCKind kind, const char *shown) {
    walk.warn("%s does not fit a %s member: its low %d bits were set", shown, kindName(kind), widthOf(kind));
}

DDS_ReturnCode_t setInteger(const Walk &walk, DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                            DDS_DynamicDataMemberId id, int64_t v) {
    switch (kind) {
    case DDS_TK_FLOAT:
        return DDS_DynamicData_set_float(data, name, id, toFloat32(static_cast<double>(v)));
    case DDS_TK_DOUBLE:
        return DDS_DynamicData_set_double(data, name, id, static_cast<double>(v));
    case DDS_TK_SHORT:
    case DDS_TK_LONG:
    case DDS_TK_USHORT:
    case DDS_TK_ULONG:
    case DDS_TK_OCTET:
    case DDS_TK_ENUM:
    case DDS_TK_LONGLONG:
    case DDS_TK_ULONGLONG: {
        const DDS_ReturnCode_t rc = setBits(data, kind, name, id, v);
        if (rc == DDS_RETCODE_OK && !fits(kind, v)) {
            warnCut(walk, kind, std::to_string(v).c_str());
        }
        return rc;
    }
    default:
        return DDS_RETCODE_BAD_PARAMETER;
    }
}

DDS_ReturnCode_t setDouble(const Walk &walk, DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                           DDS_DynamicDataMemberId id, double v) {
    if (kind == DDS_TK_DOUBLE) {
        return DDS_DynamicData_set_double(data, name, id, v);
    }
    if (kind != DDS_TK_FLOAT) {
        return DDS_RETCODE_BAD_PARAMETER;
    }
    const float f = toFloat32(v);
    const DDS_ReturnCode_t rc = DDS_DynamicData_set_float(data, name, id, f);
    if (rc == DDS_RETCODE_OK && std::isinf(f) && !std::isinf(v)) {
        walk.warn("%g is beyond the float range: set to %s", v, f < 0 ? "-infinity" : "infinity");
    }
    return rc;
}

// strtoll/strtoull with base 0, as the conversions of texts to integers are defined (the long
// versions: a 32-bit long would clamp or wrap before the range check, "-1" for an unsigned long
// member among them); a text that is not wholly a number in range still converts, with a warning.
DDS_ReturnCode_t setNumericText(const Walk &walk, DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                                DDS_DynamicDataMemberId id, const char *text) {
    const bool isUnsigned = kind == DDS_TK_USHORT || kind == DDS_TK_ULONG;
    char *end = nullptr;
    errno = 0;
    int64_t v;
    if (isUnsigned) {
        v = static_cast<int64_t>(std::strtoull(text, &end, 0));
    } else {
        v = std::strtoll(text, &end, 0);
    }
    const bool whole = end != text && *end == '\0';
    const bool range = errno != ERANGE;
    const DDS_ReturnCode_t rc = setBits(data, kind, name, id, v);
    if (rc != DDS_RETCODE_OK) {
        return rc;
    }
    if (!whole) {
        walk.warn("\"%.40s\" is not wholly a number: set to %lld", text, static_cast<long long>(v));
    } else if (!range || !fits(kind, v)) { // a negative text for an unsigned member wraps too
        warnCut(walk, kind, (std::string("\"") + text + "\"").c_str());
    }
    return rc;
}

DDS_ReturnCode_t setFloatingText(const Walk &walk, DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                                 DDS_DynamicDataMemberId id, const char *text) {
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0') {
        walk.warn("\"%.40s\" is not wholly a number: set to %g", text, v);
    }
    return setDouble(walk, data, kind, name, id, v);
}

DDS_ReturnCode_t setEnumText(const Walk &walk, DDS_DynamicData *data, const char *name, DDS_DynamicDataMemberId id,
                             const char *text) {
    const DDS_TypeCode *type = nullptr;
    DDS_Long value = 0;
    if (DDS_DynamicData_get_member_type(data, &type, name, id) == DDS_RETCODE_OK &&
        DDS_TypeCode_enumerator_value(type, text, &value)) {
        return DDS_DynamicData_set_long(data, name, id, value);
    }
    // Only a numeric text goes on to strtoll: any other would become enumerator 0 unnoticed.
    char *end = nullptr;
    errno = 0;
    const int64_t number = std::strtoll(text, &end, 0);
    if (end == text || *end != '\0') {
        walk.warn("\"%.40s\" is not an enumerator of %s", text, type ? DDS_TypeCode_name(type) : "the member");
        return DDS_RETCODE_BAD_PARAMETER;
    }
    const DDS_ReturnCode_t rc = setBits(data, DDS_TK_ENUM, name, id, number);
    if (rc == DDS_RETCODE_OK && (errno == ERANGE || !fits(DDS_TK_ENUM, number))) {
        warnCut(walk, DDS_TK_ENUM, text);
    }
    return rc;
}

DDS_ReturnCode_t setWideText(DDS_DynamicData *data, const char *name, DDS_DynamicDataMemberId id, const char *text) {
    const int units = QueltUtf8_toUtf16(text, nullptr, 0);
    if (units < 0) {
        QUELT_LUA_LOG_ERROR("QueltLuaJsonHelper_set_json_string", QUELT_LOG_ANY_FAILURE_s,
                            "error determining length of wchar");
        return DDS_RETCODE_BAD_PARAMETER;
    }
    DDS_Wchar *wide = DDS_Wstring_alloc(static_cast<DDS_UnsignedLong>(units));
    if (wide == nullptr) {
        QUELT_LUA_LOG_ERROR("QueltLuaJsonHelper_set_json_string", QUELT_LOG_ANY_FAILURE_s,
                            "error allocating wchar_vector");
        return DDS_RETCODE_BAD_PARAMETER;
    }
    DDS_ReturnCode_t rc = DDS_RETCODE_BAD_PARAMETER;
    if (QueltUtf8_toUtf16(text, wide, units + 1) < 0) {
        QUELT_LUA_LOG_ERROR("QueltLuaJsonHelper_set_json_string", QUELT_LOG_ANY_FAILURE_s,
                            "error converting utf8 to utf16");
    } else {
        rc = DDS_DynamicData_set_wstring(data, name, id, wide);
    }
    DDS_Wstring_free(wide); // the middleware keeps its own copy
    return rc;
}

DDS_ReturnCode_t setString(const Walk &walk, DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                           DDS_DynamicDataMemberId id, const char *text) {
    switch (kind) {
    case DDS_TK_SHORT:
    case DDS_TK_LONG:
    case DDS_TK_USHORT:
    case DDS_TK_ULONG:
    case DDS_TK_OCTET:
    case DDS_TK_WCHAR:
        return setNumericText(walk, data, kind, name, id, text);
    case DDS_TK_ENUM:
        return setEnumText(walk, data, name, id, text);
    case DDS_TK_FLOAT:
    case DDS_TK_DOUBLE:
        return setFloatingText(walk, data, kind, name, id, text);
    case DDS_TK_BOOLEAN: {
        const bool truth = std::strcmp(text, "1") == 0 || QueltString_strcasecmp(text, "true") == 0;
        if (!truth && std::strcmp(text, "0") != 0 && QueltString_strcasecmp(text, "false") != 0) {
            walk.warn("\"%.40s\" is not a boolean text: set to false", text);
        }
        return DDS_DynamicData_set_boolean(data, name, id, truth ? DDS_BOOLEAN_TRUE : DDS_BOOLEAN_FALSE);
    }
    case DDS_TK_CHAR: {
        auto c = static_cast<unsigned char>(text[0]);
        const size_t length = std::strlen(text);
        // One character of U+0080..U+00FF is the byte of its Latin-1 reading, as chars print.
        if (length == 2 && (c == 0xC2 || c == 0xC3) && (static_cast<unsigned char>(text[1]) & 0xC0) == 0x80) {
            c = static_cast<unsigned char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(text[1]) & 0x3F));
        } else if (length > 1) {
            walk.warn("\"%.40s\" is more than one character: its first byte was set", text);
        }
        return DDS_DynamicData_set_char(data, name, id, static_cast<DDS_Char>(c));
    }
    case DDS_TK_STRING:
        if (QueltUtf8_toUtf16(text, nullptr, 0) < 0) {
            walk.warn("left unchanged: the text is not valid UTF-8");
            return DDS_RETCODE_BAD_PARAMETER;
        }
        return DDS_DynamicData_set_string(data, name, id, text);
    case DDS_TK_LONGLONG: {
        int64_t v = 0;
        return QueltString_toInt64(text, &v) ? DDS_DynamicData_set_longlong(data, name, id, v)
                                             : DDS_RETCODE_BAD_PARAMETER;
    }
    case DDS_TK_ULONGLONG: {
        uint64_t v = 0;
        return QueltString_toUint64(text, &v) ? DDS_DynamicData_set_ulonglong(data, name, id, v)
                                              : DDS_RETCODE_BAD_PARAMETER;
    }
    case DDS_TK_LONGDOUBLE:
        QUELT_LUA_LOG_ERROR("QueltLuaJsonHelper_set_json_string", QUELT_LOG_ANY_FAILURE_s,
                            "DDS_TK_LONGDOUBLE not supported");
        return DDS_RETCODE_BAD_PARAMETER;
    case DDS_TK_WSTRING:
        return setWideText(data, name, id, text);
    default:
        return DDS_RETCODE_BAD_PARAMETER;
    }
}

// A number literal of the text, correctly rounded (from_chars does not depend on the locale, as
// strtod does).
double decimalOf(const char *first, const char *last) {
    double v = 0;
    const auto r = std::from_chars(first, last, v);
    if (r.ec == std::errc::result_out_of_range) {
        // Past the double range: infinity, or zero for a negative exponent.
        const char *e = std::find_if(first, last, [](char c) { return c == 'e' || c == 'E'; });
        const bool tiny = e != last && e + 1 != last && e[1] == '-';
        v = tiny ? 0.0 : HUGE_VAL;
        return *first == '-' ? -v : v;
    }
    return v;
}

// An integer literal beyond the signed 64-bit range (or -2^63): exact for 64-bit members, and
// for every other member the double it is closest to.
DDS_ReturnCode_t setBigInteger(const Walk &walk, DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                               DDS_DynamicDataMemberId id, const BigInteger &big, double nearest) {
    const std::string text(big.text, big.length);
    if (kind == DDS_TK_LONGLONG) {
        int64_t v = 0;
        return QueltString_toInt64(text.c_str(), &v) ? DDS_DynamicData_set_longlong(data, name, id, v)
                                                     : DDS_RETCODE_BAD_PARAMETER;
    }
    if (kind == DDS_TK_ULONGLONG) {
        uint64_t v = 0;
        return QueltString_toUint64(text.c_str(), &v) ? DDS_DynamicData_set_ulonglong(data, name, id, v)
                                                      : DDS_RETCODE_BAD_PARAMETER;
    }
    return setDouble(walk, data, kind, name, id, nearest);
}

// ---- the walk ----

int walkNode(Walk &walk, DDS_DynamicData *data, const json_value *value, const char *name, DDS_DynamicDataMemberId id,
             DDS_TCKind kind);

// A scalar value for the member name/id of data; a refusal is reported with the value.
void walkScalar(const Walk &walk, DDS_DynamicData *data, const json_value *value, const char *name,
                DDS_DynamicDataMemberId id, DDS_TCKind kind) {
    DDS_ReturnCode_t rc = DDS_RETCODE_OK;
    const BigInteger *big = value->type == json_double ? walk.bigOf(value) : nullptr;
    switch (value->type) {
    case json_integer:
        rc = setInteger(walk, data, kind, name, id, value->u.integer);
        break;
    case json_double:
        rc = big != nullptr ? setBigInteger(walk, data, kind, name, id, *big, value->u.dbl)
                            : setDouble(walk, data, kind, name, id, value->u.dbl);
        break;
    case json_string:
        if (std::strlen(value->u.string.ptr) != value->u.string.length) {
            walk.warn("left unchanged: the text holds a NUL character");
            return;
        } else {
            rc = setString(walk, data, kind, name, id, value->u.string.ptr);
        }
        break;
    case json_boolean:
        rc = kind == DDS_TK_BOOLEAN ? DDS_DynamicData_set_boolean(data, name, id, value->u.boolean ? 1 : 0)
                                    : DDS_RETCODE_BAD_PARAMETER;
        break;
    default:
        return; // null sets nothing
    }
    if (rc == DDS_RETCODE_OK) {
        return;
    }
    // The value as the message shows it, made only for a refusal.
    char shown[64];
    const char *type = "integer";
    switch (value->type) {
    case json_integer:
        std::snprintf(shown, sizeof shown, "%lld", static_cast<long long>(value->u.integer));
        break;
    case json_double:
        if (big != nullptr) {
            std::snprintf(shown, sizeof shown, "%.*s", static_cast<int>(std::min<size_t>(big->length, 60)), big->text);
        } else {
            type = "number";
            std::snprintf(shown, sizeof shown, "%.17g", value->u.dbl);
        }
        break;
    case json_string:
        type = "string";
        std::snprintf(shown, sizeof shown, "\"%.40s\"", value->u.string.ptr);
        break;
    default:
        type = "boolean";
        std::snprintf(shown, sizeof shown, "%s", value->u.boolean ? "true" : "false");
        break;
    }
    walk.warn("left unchanged: the JSON %s %s was not accepted by a %s member (code %d)", type, shown, kindName(kind),
              static_cast<int>(rc));
}

// One object entry (key) or array element (id from 1) of data.
bool walkEntry(Walk &walk, DDS_DynamicData *data, const char *key, unsigned keyLength, DDS_DynamicDataMemberId id,
               const json_value *value) {
    walk.push(key, keyLength, id);
    struct Pop {
        Walk &w;
        ~Pop() { w.pop(); }
    } pop{walk};
    DDS_DynamicDataMemberInfo info;
    // A key with a NUL in it would name another member by its prefix.
    if ((key != nullptr && std::strlen(key) != keyLength) ||
        DDS_DynamicData_get_member_info(data, &info, key, id) != DDS_RETCODE_OK) {
        walk.kindError();
        return false;
    }
    const DDS_TCKind kind = info.member_kind;
    if (!isComplex(kind)) {
        walkNode(walk, data, value, key, id, kind);
        return true;
    }
    if (value->type != json_object && value->type != json_array) {
        if (value->type != json_null) {
            walk.warn("left unchanged: a JSON scalar does not fit a %s member", kindName(kind));
        }
        return true;
    }
    DDS_DynamicData *member = walk.spare();
    if (member == nullptr) {
        walk.error(LUABINDING_LOG_ANY_ss, "out of memory for");
        return false;
    }
    if (DDS_DynamicData_bind_complex_member(data, member, key, id) != DDS_RETCODE_OK) {
        walk.error(LUABINDING_LOG_ANY_ss, "DDS_DynamicData_bind_complex_member");
        return false;
    }
    walkNode(walk, member, value, nullptr, 0, kind);
    const DDS_ReturnCode_t rc = DDS_DynamicData_unbind_complex_member(data, member);
    if (rc != DDS_RETCODE_OK) {
        walk.error(LUABINDING_LOG_ANY_ss, "DDS_DynamicData_unbind_complex_member");
        return false;
    }
    return true;
}

// A JSON array given for a sequence sets it from element 1 and leaves it with the array's length.
int walkArray(Walk &walk, DDS_DynamicData *data, const json_value *array, DDS_TCKind kind) {
    const unsigned n = array->u.array.length;
    const bool sequence = kind == DDS_TK_SEQUENCE && DDS_DynamicData_get_type_kind(data) == DDS_TK_SEQUENCE;
    if (sequence) {
        // Grown once up front rather than element by element.
        const DDS_UnsignedLong bound = DDS_TypeCode_length(DDS_DynamicData_get_type(data));
        const DDS_UnsignedLong target = bound != 0 && n > bound ? bound : n;
        if (target > DDS_DynamicData_get_member_count(data)) {
            DDS_DynamicData_set_sequence_length(data, target); // a failure shows at the elements
        }
    }
    for (unsigned i = 0; i < n; ++i) {
        if (!walkEntry(walk, data, nullptr, 0, i + 1, array->u.array.values[i])) {
            return 0;
        }
    }
    if (sequence && n < DDS_DynamicData_get_member_count(data) &&
        DDS_DynamicData_set_sequence_length(data, n) != DDS_RETCODE_OK) {
        walk.warn("could not be shortened to %u elements", n);
    }
    return 1;
}

int walkNode(Walk &walk, DDS_DynamicData *data, const json_value *value, const char *name, DDS_DynamicDataMemberId id,
             DDS_TCKind kind) {
    switch (value->type) {
    case json_object:
        // Walked against the data current at this level, whatever the member's kind.
        for (unsigned i = 0; i < value->u.object.length; ++i) {
            const json_object_entry &entry = value->u.object.values[i];
            if (!walkEntry(walk, data, entry.name, entry.name_length, 0, entry.value)) {
                return 0;
            }
        }
        return 1;
    case json_array:
        return walkArray(walk, data, value, kind);
    default:
        walkScalar(walk, data, value, name, id, kind);
        return 1;
    }
}

// ---- checks before the walk ----

bool exceedsInt64(const char *digits, size_t n) {
    while (n > 1 && *digits == '0') {
        ++digits, --n;
    }
    return n > 19 || (n == 19 && std::memcmp(digits, "9223372036854775807", 19) > 0);
}

// A number literal that json-parser may not hold exactly: a decimal, or an integer beyond the
// signed 64-bit range. ordinal counts every number literal of the text from 0.
struct Literal {
    uint32_t ordinal;
    uint32_t offset; // in the text
    uint32_t length;
    bool big;
};

// What the scan stops at: 1 a quote, 2 a number's first character; 3 the rest of a number.
struct ScanClasses {
    unsigned char of[256];
    constexpr ScanClasses() : of{} {
        of[static_cast<unsigned char>('"')] = 1;
        of[static_cast<unsigned char>('-')] = 2;
        for (int c = '0'; c <= '9'; ++c) {
            of[c] = 2;
        }
    }
};
constexpr ScanClasses kScan;

bool inNumber(char c) { return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'; }

// The literals to read ourselves, and the count of all number literals. Strings and numbers are
// found by their first character; the text is JSON (it parsed). No literals are given for a text
// beyond 4 GB, whose offsets would not fit.
size_t findLiterals(const char *text, size_t length, std::vector<Literal> &literals) {
    if (length > UINT32_MAX) {
        return 0;
    }
    size_t count = 0;
    size_t i = 0;
    for (;;) {
        while (i < length && kScan.of[static_cast<unsigned char>(text[i])] == 0) {
            ++i;
        }
        if (i >= length) {
            return count;
        }
        if (text[i] == '"') {
            // To the closing quote: one not preceded by an odd number of backslashes.
            for (;;) {
                const void *q = std::memchr(text + i + 1, '"', length - i - 1);
                if (q == nullptr) {
                    return count;
                }
                i = static_cast<size_t>(static_cast<const char *>(q) - text);
                size_t slashes = 0;
                while (text[i - 1 - slashes] == '\\') {
                    ++slashes;
                }
                if (slashes % 2 == 0) {
                    break;
                }
            }
            ++i;
            continue;
        }
        const size_t start = i;
        if (text[i] == '-') {
            ++i;
        }
        const size_t digits = i;
        while (i < length && static_cast<unsigned>(text[i] - '0') < 10u) {
            ++i;
        }
        const size_t end = i;
        const bool integer = !(i < length && (text[i] == '.' || text[i] == 'e' || text[i] == 'E'));
        while (i < length && inNumber(text[i])) {
            ++i;
        }
        const bool big = integer && end - digits >= 19 && exceedsInt64(text + digits, end - digits);
        if (!integer || big) {
            literals.push_back({static_cast<uint32_t>(count), static_cast<uint32_t>(start),
                                static_cast<uint32_t>(i - start), big});
        }
        ++count;
    }
}

// Walks the tree once, iteratively (it may be arbitrarily deep): its depth, counted until it
// passes kMaxDepth, and the number values put right from the literals of the text. Returns the
// depth; bigs receives the values of the integers beyond the 64-bit range, sorted.
int examine(json_value *root, const char *text, const std::vector<Literal> &literals, size_t literalCount,
            std::vector<BigInteger> &bigs) {
    int depth = 0;
    struct Level {
        json_value *node;
        unsigned next;
    };
    Level stack[kMaxDepth];
    int top = -1;
    size_t ordinal = 0, next = 0;
    bool aligned = true;
    std::vector<std::pair<json_value *, double>> exact;
    exact.reserve(literals.size());
    auto visit = [&](json_value *v) {
        if (v->type == json_integer || v->type == json_double) {
            if (next < literals.size() && literals[next].ordinal == ordinal) {
                const Literal &l = literals[next++];
                const char *literal = text + l.offset;
                const double d = decimalOf(literal, literal + l.length);
                // json-parser's value is within a unit or two of the exact one; anything else
                // means the two readings are not of the same literal.
                // An integer beyond the 64-bit range that follows a decimal is misread by the parser
                // (its fraction state carries over: -2^63 reads as about -9.2e17), so only its
                // kind is compared.
                const double gap = std::fabs(d - v->u.dbl);
                aligned = aligned && v->type == json_double &&
                          (l.big || d == v->u.dbl || gap <= std::max(std::fabs(d), std::fabs(v->u.dbl)) * 1e-9 ||
                           gap < 1e-300);
                exact.emplace_back(v, d);
                if (l.big) {
                    bigs.push_back({v, literal, l.length});
                }
            }
            ++ordinal;
            return true;
        }
        if (v->type != json_object && v->type != json_array) {
            return true;
        }
        if (top + 1 >= kMaxDepth) {
            depth = kMaxDepth + 1;
            return false;
        }
        stack[++top] = {v, 0};
        depth = std::max(depth, top + 1);
        return true;
    };
    if (!visit(root)) {
        return depth;
    }
    while (top >= 0) {
        Level &level = stack[top];
        json_value *node = level.node;
        const bool object = node->type == json_object;
        const unsigned count = object ? node->u.object.length : node->u.array.length;
        if (level.next >= count) {
            --top;
            continue;
        }
        json_value *child = object ? node->u.object.values[level.next].value : node->u.array.values[level.next];
        ++level.next;
        if (!visit(child)) {
            return depth;
        }
    }
    if (!aligned || ordinal != literalCount) {
        // Never seen; should it happen, the numbers stay as json-parser read them.
        QUELT_LUA_LOG_WARNING("QueltLuaJsonHelper_json_to_dynamic_data", QUELT_LOG_ANY_s,
                              "numbers of the text not matched to its values: read as the parser gives them");
        bigs.clear();
        return depth;
    }
    for (const auto &[value, d] : exact) {
        value->u.dbl = d;
    }
    std::sort(bigs.begin(), bigs.end(), [](const BigInteger &a, const BigInteger &b) { return a.value < b.value; });
    return depth;
}

json_value *parse(const char *text, size_t length, const char *ctx, bool report) {
    json_settings settings;
    std::memset(&settings, 0, sizeof settings);
    char error[255] = "There was something here";
    json_value *root = json_parse_ex(&settings, text, length, error);
    if (root == nullptr && report) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_ANY_ss, "Not a valid json", error);
    }
    return root;
}

} // namespace

extern "C" {

int QueltLuaJsonHelper_json_to_dynamic_data(DDS_DynamicData *data, const char *json) {
    static const char *const ctx = "QueltLuaJsonHelper_json_to_dynamic_data";
    if (json == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_ANY_ss, "Not a valid json", "(null text)");
        return 0;
    }
    const size_t length = std::strlen(json);
    json_value *root = parse(json, length, ctx, true);
    if (root == nullptr) {
        return 0;
    }
    std::vector<Literal> literals;
    literals.reserve(length / 16 + 16); // about one decimal per 16 bytes of text: one allocation
    const size_t literalCount = findLiterals(json, length, literals);
    std::vector<BigInteger> bigs;
    const int depth = examine(root, json, literals, literalCount, bigs);
    if (depth > kMaxDepth) {
        json_value_free(root);
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_JSON_TOO_DEEP_d, kMaxDepth);
        return 0;
    }
    Walk walk;
    walk.bigs = bigs.empty() ? nullptr : &bigs;
    walkNode(walk, data, root, nullptr, 0, DDS_TK_STRUCT);
    json_value_free(root);
    return 1;
}

int QueltLuaJsonHelper_parse_json_node(DDS_DynamicData *data, const json_value *value, const char *name,
                                       DDS_DynamicDataMemberId id, DDS_TCKind kind) {
    Walk walk(name, id);
    return value != nullptr ? walkNode(walk, data, value, name, id, kind) : 0;
}

DDS_ReturnCode_t QueltLuaJsonHelper_set_json_integer(DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                                                     DDS_DynamicDataMemberId id, int64_t value) {
    return setInteger(Walk(name, id), data, kind, name, id, value);
}

DDS_ReturnCode_t QueltLuaJsonHelper_set_json_double(DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                                                    DDS_DynamicDataMemberId id, double value) {
    return setDouble(Walk(name, id), data, kind, name, id, value);
}

DDS_ReturnCode_t QueltLuaJsonHelper_set_json_string(DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                                                    DDS_DynamicDataMemberId id, const char *text) {
    return text != nullptr ? setString(Walk(name, id), data, kind, name, id, text) : DDS_RETCODE_BAD_PARAMETER;
}

DDS_ReturnCode_t QueltLuaJsonHelper_set_json_boolean(DDS_DynamicData *data, DDS_TCKind kind, const char *name,
                                                     DDS_DynamicDataMemberId id, int value) {
    return kind == DDS_TK_BOOLEAN ? DDS_DynamicData_set_boolean(data, name, id, value ? 1 : 0)
                                  : DDS_RETCODE_BAD_PARAMETER;
}

} // extern "C"
