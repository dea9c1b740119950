// quelt_types FILE.xml|FILE.idl TYPE [member=value ...]
// quelt_types --to-xml FILE.idl
//
// The second form prints the types of an IDL file in their DDS-XML form: what a configuration's
// <include file="FILE.idl"/> reads.
//
// Shows what the middleware makes of a type: loads the XML types, prints the type's outline
// (extensibility, members with their member ids, key and optional flags), fills a sample from the
// command line, prints it as JSON, serializes it in XCDR1 and XCDR2
// (bytes in hex, and the key hash), reads each back and checks that the result equals the
// original. Any failure exits non-zero with
// a message, so the tool doubles as a smoke test of the DynamicData stack.
#include "dds/dds_dynamicdata.h"
#include "dds/dds_util.h"
#include "types/idl_types.h"
#include "types/typecode.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const kProg = "quelt_types";

int fail(const std::string &msg)
{
    std::fprintf(stderr, "%s: %s\n", kProg, msg.c_str());
    return 1;
}

const DDS_TypeCode *strip_alias(const DDS_TypeCode *t)
{
    while (t && DDS_TypeCode_kind(t) == DDS_TK_ALIAS)
        t = DDS_TypeCode_content_type(t);
    return t;
}

// The type a member path leads to, for looking up enumerator names. An array takes one bracket
// per dimension ("m[1][3]"), or a single flattened index; a sequence takes one.
const DDS_TypeCode *type_at(const DDS_TypeCode *t, const std::string &path)
{
    size_t pos = 0;
    while (t && pos < path.size()) {
        size_t end = path.find_first_of(".[", pos);
        if (end == std::string::npos)
            end = path.size();
        if (end > pos) {
            const std::string name = path.substr(pos, end - pos);
            const DDS_TypeCode *next = nullptr;
            for (const auto &m : t->members)
                if (m.name == name) {
                    next = m.rtype;
                    break;
                }
            t = next;
        }
        pos = end;
        while (t && pos < path.size() && path[pos] == '[') {
            size_t brackets = t->kind == DDS_TK_ARRAY ? t->dims.size() : 1;
            while (brackets-- > 0 && pos < path.size() && path[pos] == '[') {
                pos = path.find(']', pos);
                pos = pos == std::string::npos ? path.size() : pos + 1;
            }
            t = t->rcontent;
        }
        if (pos < path.size() && path[pos] == '.')
            ++pos;
    }
    return t;
}

bool parse_double(const char *s, double &out)
{
    if (!*s)
        return false;
    char *end = nullptr;
    errno = 0;
    out = std::strtod(s, &end);
    return *end == '\0' && errno != ERANGE;
}

// DDS_LongDouble carries IEEE 754 binary128, little endian; a double widens to it exactly.
DDS_LongDouble double_to_binary128(double v)
{
    DDS_LongDouble r{};
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    uint64_t hi = (bits >> 63) << 63, lo = 0;
    const int exp = static_cast<int>((bits >> 52) & 0x7ff);
    uint64_t frac = bits & ((1ull << 52) - 1);
    if (exp == 0x7ff) {
        hi |= 0x7fffull << 48 | (frac >> 4);
        lo = frac << 60;
    } else if (exp != 0 || frac != 0) {
        int e = exp - 1023;
        if (exp == 0) { // subnormal double: normalize, binary128 has the range for it
            e = -1022;
            while (!(frac & (1ull << 52))) {
                frac <<= 1;
                --e;
            }
            frac &= (1ull << 52) - 1;
        }
        hi |= uint64_t(e + 16383) << 48 | (frac >> 4);
        lo = frac << 60;
    }
    for (int i = 0; i < 8; ++i) {
        r.bytes[i] = static_cast<unsigned char>(lo >> (8 * i));
        r.bytes[8 + i] = static_cast<unsigned char>(hi >> (8 * i));
    }
    return r;
}

std::string rc_text(DDS_ReturnCode_t rc)
{
    static const char *const names[] = {"OK", "ERROR", "UNSUPPORTED", "BAD_PARAMETER", "PRECONDITION_NOT_MET",
                                        "OUT_OF_RESOURCES", "NOT_ENABLED", "IMMUTABLE_POLICY", "INCONSISTENT_POLICY",
                                        "ALREADY_DELETED", "TIMEOUT", "NO_DATA", "ILLEGAL_OPERATION"};
    if (rc >= 0 && rc < static_cast<DDS_ReturnCode_t>(sizeof names / sizeof names[0]))
        return names[rc];
    return "return code " + std::to_string(rc);
}

// Sets one member from its text, read as the member's kind asks. Returns an empty string or
// what went wrong.
std::string set_member(DDS_DynamicData *d, const DDS_TypeCode *type, const std::string &name, const std::string &text)
{
    // Elements of a sequence that do not exist yet ("s[3].x") have no member info; their kind
    // then comes from the type, and the setter creates them.
    DDS_DynamicDataMemberInfo info;
    DDS_ReturnCode_t rc = DDS_DynamicData_get_member_info(d, &info, name.c_str(), 0);
    if (rc != DDS_RETCODE_OK) {
        const DDS_TypeCode *t = type_at(type, name);
        if (!t)
            return "no member '" + name + "' (" + rc_text(rc) + ")";
        info.member_kind = t->kind;
    }
    const char *s = text.c_str();
    const char *m = name.c_str();
    int64_t i = 0;
    uint64_t u = 0;
    double f = 0;
    auto bad = [&](const char *what) { return "'" + text + "' is not " + what + " for member '" + name + "'"; };
    switch (info.member_kind) {
    case DDS_TK_SHORT:
        if (!QueltString_toInt64(s, &i) || i < INT16_MIN || i > INT16_MAX) return bad("an int16");
        rc = DDS_DynamicData_set_short(d, m, 0, static_cast<DDS_Short>(i));
        break;
    case DDS_TK_LONG:
        if (!QueltString_toInt64(s, &i) || i < INT32_MIN || i > INT32_MAX) return bad("an int32");
        rc = DDS_DynamicData_set_long(d, m, 0, static_cast<DDS_Long>(i));
        break;
    case DDS_TK_LONGLONG:
        if (!QueltString_toInt64(s, &i)) return bad("an int64");
        rc = DDS_DynamicData_set_longlong(d, m, 0, i);
        break;
    case DDS_TK_USHORT:
        if (!QueltString_toUint64(s, &u) || u > UINT16_MAX) return bad("a uint16");
        rc = DDS_DynamicData_set_ushort(d, m, 0, static_cast<DDS_UnsignedShort>(u));
        break;
    case DDS_TK_ULONG:
        if (!QueltString_toUint64(s, &u) || u > UINT32_MAX) return bad("a uint32");
        rc = DDS_DynamicData_set_ulong(d, m, 0, static_cast<DDS_UnsignedLong>(u));
        break;
    case DDS_TK_ULONGLONG:
        if (!QueltString_toUint64(s, &u)) return bad("a uint64");
        rc = DDS_DynamicData_set_ulonglong(d, m, 0, u);
        break;
    case DDS_TK_OCTET:
        if (!QueltString_toUint64(s, &u) || u > 255) return bad("an octet");
        rc = DDS_DynamicData_set_octet(d, m, 0, static_cast<DDS_Octet>(u));
        break;
    case DDS_TK_ENUM: {
        // A number, or the name of an enumerator.
        if (!QueltString_toInt64(s, &i)) {
            const DDS_TypeCode *et = type_at(type, name);
            bool found = false;
            // Enumerator values are not part of the public type code API; the tool reads them
            // from the type code itself.
            if (et && DDS_TypeCode_kind(et) == DDS_TK_ENUM) {
                for (const auto &e : et->enumerators) {
                    if (e.name == text) {
                        i = e.value;
                        found = true;
                        break;
                    }
                }
            }
            if (!found) return bad("an enumerator");
        }
        if (i < INT32_MIN || i > INT32_MAX) return bad("an enumerator value");
        rc = DDS_DynamicData_set_long(d, m, 0, static_cast<DDS_Long>(i));
        break;
    }
    case DDS_TK_FLOAT:
        if (!parse_double(s, f)) return bad("a float32");
        rc = DDS_DynamicData_set_float(d, m, 0, static_cast<DDS_Float>(f));
        break;
    case DDS_TK_DOUBLE:
        if (!parse_double(s, f)) return bad("a float64");
        rc = DDS_DynamicData_set_double(d, m, 0, f);
        break;
    case DDS_TK_LONGDOUBLE:
        if (!parse_double(s, f)) return bad("a float128");
        rc = DDS_DynamicData_set_longdouble(d, m, 0, double_to_binary128(f));
        break;
    case DDS_TK_BOOLEAN:
        if (text == "true" || text == "1") rc = DDS_DynamicData_set_boolean(d, m, 0, DDS_BOOLEAN_TRUE);
        else if (text == "false" || text == "0") rc = DDS_DynamicData_set_boolean(d, m, 0, DDS_BOOLEAN_FALSE);
        else return bad("a boolean (true, false, 1, 0)");
        break;
    case DDS_TK_CHAR:
        if (text.size() > 1) return bad("one character");
        rc = DDS_DynamicData_set_char(d, m, 0, text.empty() ? '\0' : text[0]);
        break;
    case DDS_TK_WCHAR: {
        DDS_Wchar w[2] = {0, 0};
        if (QueltUtf8_toUtf16(s, w, 2) > 1) return bad("one UTF-16 character");
        rc = DDS_DynamicData_set_wchar(d, m, 0, w[0]);
        break;
    }
    case DDS_TK_STRING:
        rc = DDS_DynamicData_set_string(d, m, 0, s);
        break;
    case DDS_TK_WSTRING: {
        const int n = QueltUtf8_toUtf16(s, nullptr, 0);
        if (n < 0) return bad("UTF-8 text");
        std::vector<DDS_Wchar> w(static_cast<size_t>(n) + 1);
        QueltUtf8_toUtf16(s, w.data(), n + 1);
        rc = DDS_DynamicData_set_wstring(d, m, 0, w.data());
        break;
    }
    default:
        if (info.member_kind == DDS_TK_SEQUENCE || info.member_kind == DDS_TK_ARRAY)
            return "member '" + name + "' is a collection: set its elements (\"" + name + "[1]=...\")";
        return "member '" + name + "' is structured: set its members (\"" + name + ".member=...\")";
    }
    if (rc != DDS_RETCODE_OK)
        return "cannot set '" + name + "' to '" + text + "' (" + rc_text(rc) + ")";
    return {};
}

bool has_member(DDS_DynamicData *d, const char *name, DDS_TCKind &kind)
{
    DDS_DynamicDataMemberInfo info;
    if (DDS_DynamicData_get_member_info(d, &info, name, 0) != DDS_RETCODE_OK)
        return false;
    kind = info.member_kind;
    return true;
}

// Without assignments, give a shape-like type a recognisable sample rather than all zeros.
std::vector<std::pair<std::string, std::string>> demo_values(DDS_DynamicData *d)
{
    static const char *const defaults[][2] = {{"color", "BLUE"}, {"x", "10"}, {"y", "20"}, {"shapesize", "30"}};
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto &kv : defaults) {
        DDS_TCKind kind;
        if (!has_member(d, kv[0], kind))
            continue;
        const bool text = kind == DDS_TK_STRING || kind == DDS_TK_WSTRING;
        const bool number = kind == DDS_TK_SHORT || kind == DDS_TK_LONG || kind == DDS_TK_LONGLONG ||
                            kind == DDS_TK_USHORT || kind == DDS_TK_ULONG || kind == DDS_TK_ULONGLONG ||
                            kind == DDS_TK_OCTET || kind == DDS_TK_FLOAT || kind == DDS_TK_DOUBLE;
        if (std::strcmp(kv[0], "color") == 0 ? text : number)
            out.emplace_back(kv[0], kv[1]);
    }
    return out;
}

// Prints with a stack buffer first and retries once with the exact size the first pass reported.
bool to_json(const DDS_DynamicData *d, std::string &out)
{
    DDS_PrintFormat format;
    if (DDS_PrintFormat_initialize(&format, DDS_JSON_PRINT_FORMAT) != DDS_RETCODE_OK)
        return false;
    format.is_pretty_print = DDS_BOOLEAN_TRUE;
    format.indent = 2;
    char small[1024];
    DDS_PrintFormatProperty_t params{};
    params.buffer = small;
    params.buffer_size = sizeof small;
    if (DDS_DynamicDataFormatter_print_w_params(d, &params, &format) != DDS_RETCODE_OK)
        return false;
    if (params.length + 1 <= params.buffer_size) {
        out.assign(small, params.length);
        return true;
    }
    std::vector<char> big(static_cast<size_t>(params.length) + 1);
    params.buffer = big.data();
    params.buffer_size = static_cast<DDS_UnsignedLong>(big.size());
    if (DDS_DynamicDataFormatter_print_w_params(d, &params, &format) != DDS_RETCODE_OK)
        return false;
    out.assign(big.data(), params.length);
    return true;
}

void hex_dump(const unsigned char *b, size_t n)
{
    for (size_t i = 0; i < n; i += 16) {
        std::printf("  %04zx ", i);
        for (size_t k = i; k < i + 16 && k < n; ++k)
            std::printf(" %02x", b[k]);
        std::printf("\n");
    }
}

bool type_is_keyed(const DDS_TypeCode *t)
{
    for (DDS_UnsignedLong i = 0, n = DDS_TypeCode_member_count(t); i < n; ++i)
        if (DDS_TypeCode_is_member_key(t, i))
            return true;
    return false;
}

const char *kind_name(DDS_TCKind k)
{
    switch (k) {
    case DDS_TK_STRUCT: return "struct";
    case DDS_TK_UNION: return "union";
    case DDS_TK_ENUM: return "enum";
    case DDS_TK_STRING: return "string";
    case DDS_TK_WSTRING: return "wstring";
    case DDS_TK_SEQUENCE: return "sequence";
    case DDS_TK_ARRAY: return "array";
    default: return nullptr;
    }
}

std::string type_text(const DDS_TypeCode *t)
{
    if (!t->name.empty() && t->kind != DDS_TK_STRING && t->kind != DDS_TK_WSTRING)
        return t->name;
    const char *k = kind_name(t->kind);
    std::string s = k ? k : "?";
    if (t->kind == DDS_TK_SEQUENCE || t->kind == DDS_TK_ARRAY)
        s += "<" + type_text(t->content) + ">";
    if (t->bound)
        s += "[" + std::to_string(t->bound) + "]";
    return s;
}

// The outline: "mutable struct 'Mut'" and one line per member with its member id.
void print_outline(const DDS_TypeCode *t)
{
    std::printf("%s %s '%s'\n", quelt::mw::extensibility_name(t->extensibility), kind_name(t->kind), t->name.c_str());
    for (const auto &m : t->members) {
        std::printf("  id %-4u %-16s %s%s%s\n", m.wire_id, m.name.c_str(), type_text(m.type).c_str(), m.key ? " key" : "",
                    m.optional ? " optional" : "");
    }
}

struct Resources {
    DDS_TypeLibrary *lib = nullptr;
    DDS_DynamicData *sample = nullptr;
    DDS_DynamicData *back = nullptr;
    ~Resources()
    {
        DDS_DynamicData_delete(back);
        DDS_DynamicData_delete(sample);
        DDS_TypeLibrary_delete(lib);
    }
};

// The XML form of an IDL file's types, on stdout.
int to_xml(const char *path)
{
    quelt::mw::TypeStore store;
    quelt::mw::idl::File file;
    std::string err;
    if (!quelt::mw::idl::read_file(path, store, file, err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    for (const std::string &w : file.warnings)
        std::fprintf(stderr, "%s\n", w.c_str());
    std::printf("%s\n", quelt::mw::idl::to_xml(file).c_str());
    return 0;
}

bool is_idl(const std::string &path) { return path.size() > 4 && path.compare(path.size() - 4, 4, ".idl") == 0; }

int run(int argc, char **argv)
{
    if (argc == 3 && !std::strcmp(argv[1], "--to-xml"))
        return to_xml(argv[2]);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE.xml|FILE.idl TYPE [member=value ...]\n"
                             "       %s --to-xml FILE.idl    (prints the types of an IDL file as DDS-XML)\n", kProg, kProg);
        return 2;
    }
    const char *file = argv[1];
    const char *type_name = argv[2];
    Resources r;
    if (!(r.lib = DDS_TypeLibrary_new()))
        return fail("out of memory");
    // An IDL file goes in through an <include>, as a configuration would take it.
    const std::string idl_config = "<dds><types><include file=\"" + std::string(file) + "\"/></types></dds>";
    if ((is_idl(file) ? DDS_TypeLibrary_load_string(r.lib, idl_config.c_str(), "quelt_types")
                      : DDS_TypeLibrary_load_file(r.lib, file)) != DDS_RETCODE_OK)
        return fail(std::string("cannot load the types of ") + file);
    const DDS_TypeCode *type = DDS_TypeLibrary_find(r.lib, type_name);
    if (!type)
        return fail(std::string("no type '") + type_name + "' in " + file);
    type = strip_alias(type);
    const DDS_TCKind kind = DDS_TypeCode_kind(type);
    if (kind != DDS_TK_STRUCT && kind != DDS_TK_UNION)
        return fail(std::string("'") + type_name + "' is not a struct or union");
    if (!(r.sample = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT)))
        return fail("cannot create a sample");

    std::vector<std::pair<std::string, std::string>> values;
    for (int i = 3; i < argc; ++i) {
        const char *eq = std::strchr(argv[i], '=');
        if (!eq || eq == argv[i])
            return fail(std::string("expected member=value, got '") + argv[i] + "'");
        values.emplace_back(std::string(argv[i], static_cast<size_t>(eq - argv[i])), std::string(eq + 1));
    }
    if (argc == 3) {
        values = demo_values(r.sample);
        if (!values.empty())
            std::printf("no member values given; using demo values\n");
    }
    for (const auto &[name, text] : values) {
        const std::string err = set_member(r.sample, type, name, text);
        if (!err.empty())
            return fail(err);
    }

    print_outline(type);
    std::string json;
    if (!to_json(r.sample, json))
        return fail("JSON printing failed");
    std::printf("%s (JSON):\n%s\n", type_name, json.c_str());

    if (!(r.back = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT)))
        return fail("cannot create a sample");
    // Writers of final types use XCDR1 unless configured otherwise, the others XCDR2.
    const bool default_v2 = type->extensibility != quelt::mw::Extensibility::Final;
    for (DDS_DataRepresentationId_t rep : {DDS_XCDR_DATA_REPRESENTATION, DDS_XCDR2_DATA_REPRESENTATION}) {
        const bool v2 = rep == DDS_XCDR2_DATA_REPRESENTATION;
        DDS_UnsignedLong length = 0;
        DDS_ReturnCode_t rc = DDS_DynamicData_to_cdr_buffer_ex(r.sample, nullptr, &length, rep, DDS_BOOLEAN_FALSE);
        if (rc != DDS_RETCODE_OK)
            return fail("cannot compute the serialized size (" + rc_text(rc) + ")");
        std::vector<unsigned char> cdr(length);
        rc = DDS_DynamicData_to_cdr_buffer_ex(r.sample, cdr.data(), &length, rep, DDS_BOOLEAN_FALSE);
        if (rc != DDS_RETCODE_OK)
            return fail("serialization failed (" + rc_text(rc) + ")");
        std::printf("CDR, %s little endian (%u bytes)%s:\n", v2 ? "XCDR2" : "XCDR1", static_cast<unsigned>(length),
                    v2 == default_v2 ? ", what writers of the type send by default" : "");
        hex_dump(cdr.data(), length);
        rc = DDS_DynamicData_from_cdr_buffer(r.back, cdr.data(), length);
        if (rc != DDS_RETCODE_OK)
            return fail("deserialization failed (" + rc_text(rc) + ")");
        if (!DDS_DynamicData_equal(r.sample, r.back)) {
            std::string again;
            to_json(r.back, again);
            return fail("the deserialized sample differs:\n" + again);
        }
    }

    if (type_is_keyed(type)) {
        DDS_KeyHash_t hash;
        DDS_ReturnCode_t rc = DDS_DynamicData_get_keyhash(r.sample, &hash);
        if (rc != DDS_RETCODE_OK)
            return fail("key hash failed (" + rc_text(rc) + ")");
        std::printf("key hash:");
        for (unsigned char b : hash.value)
            std::printf(" %02x", b);
        std::printf("\n");
    } else {
        std::printf("key hash: none (the type has no key)\n");
    }
    std::printf("deserialized: equal to the original in every representation\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}
