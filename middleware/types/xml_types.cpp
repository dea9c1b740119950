// Type libraries read from DDS-XML: <types> sections in the XTypes XML type representation,
// turned into type codes. A load is all or nothing: types are built in a private store and
// published into the library only when the whole document has been read without a mistake.
#include "types/xml_types.h"

#include "dds/dds_log.h"
#include "types/idl_types.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <map>
#include <new>
#include <vector>

namespace quelt::mw::xml {

using tinyxml2::XMLElement;

namespace {

std::string_view trim(std::string_view s)
{
    const char *blanks = " \t\r\n";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos)
        return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

bool is_identifier(std::string_view s)
{
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (s.empty() || !alpha(s[0]))
        return false;
    for (char c : s)
        if (!alpha(c) && !(c >= '0' && c <= '9'))
            return false;
    return true;
}

// "A::B::C" or "::A::B".
bool is_scoped_name(std::string_view s)
{
    if (s.substr(0, 2) == "::")
        s.remove_prefix(2);
    for (;;) {
        size_t sep = s.find("::");
        if (!is_identifier(s.substr(0, sep)))
            return false;
        if (sep == std::string_view::npos)
            return true;
        s.remove_prefix(sep + 2);
    }
}

std::string q(std::string_view s) { return "'" + std::string(s) + "'"; }

// Both the XTypes and the IDL spellings. int8 shares the octet kind because our kinds have no
// signed 8-bit integer: an int8 member keeps its bit pattern (-1 reads back as 255).
struct PrimitiveName {
    const char *name;
    DDS_TCKind kind;
};
const PrimitiveName kPrimitives[] = {
    {"boolean", DDS_TK_BOOLEAN},      {"byte", DDS_TK_OCTET},          {"int8", DDS_TK_OCTET},
    {"uint8", DDS_TK_OCTET},          {"octet", DDS_TK_OCTET},         {"char8", DDS_TK_CHAR},
    {"char", DDS_TK_CHAR},            {"char16", DDS_TK_WCHAR},        {"wchar", DDS_TK_WCHAR},
    {"int16", DDS_TK_SHORT},          {"short", DDS_TK_SHORT},         {"uint16", DDS_TK_USHORT},
    {"unsignedShort", DDS_TK_USHORT}, {"int32", DDS_TK_LONG},          {"long", DDS_TK_LONG},
    {"uint32", DDS_TK_ULONG},         {"unsignedLong", DDS_TK_ULONG},  {"int64", DDS_TK_LONGLONG},
    {"longLong", DDS_TK_LONGLONG},    {"uint64", DDS_TK_ULONGLONG},    {"unsignedLongLong", DDS_TK_ULONGLONG},
    {"float32", DDS_TK_FLOAT},        {"float", DDS_TK_FLOAT},         {"float64", DDS_TK_DOUBLE},
    {"double", DDS_TK_DOUBLE},        {"float128", DDS_TK_LONGDOUBLE}, {"longDouble", DDS_TK_LONGDOUBLE},
    {"string", DDS_TK_STRING},        {"wstring", DDS_TK_WSTRING},
};

// The type a built-in name stands for (strings unbounded), or null.
const DDS_TypeCode *builtin_type(std::string_view name)
{
    for (const PrimitiveName &p : kPrimitives)
        if (name == p.name)
            return p.kind == DDS_TK_STRING || p.kind == DDS_TK_WSTRING ? string_type(p.kind, 0) : primitive_type(p.kind);
    return nullptr;
}

bool is_integral(DDS_TCKind k)
{
    switch (k) {
    case DDS_TK_SHORT: case DDS_TK_LONG: case DDS_TK_USHORT: case DDS_TK_ULONG: case DDS_TK_LONGLONG:
    case DDS_TK_ULONGLONG: case DDS_TK_BOOLEAN: case DDS_TK_CHAR: case DDS_TK_WCHAR: case DDS_TK_OCTET:
    case DDS_TK_ENUM:
        return true;
    default:
        return false;
    }
}

// Values an integral kind holds. Characters are their code (a char label is its byte, 0..255).
void kind_range(DDS_TCKind k, int64_t &lo, uint64_t &hi)
{
    lo = 0;
    switch (k) {
    case DDS_TK_BOOLEAN: hi = 1; break;
    case DDS_TK_OCTET: case DDS_TK_CHAR: hi = 0xff; break;
    case DDS_TK_USHORT: case DDS_TK_WCHAR: hi = 0xffff; break;
    case DDS_TK_SHORT: lo = INT16_MIN; hi = INT16_MAX; break;
    case DDS_TK_ULONG: hi = UINT32_MAX; break;
    case DDS_TK_LONGLONG: lo = INT64_MIN; hi = INT64_MAX; break;
    case DDS_TK_ULONGLONG: hi = UINT64_MAX; break;
    default: lo = INT32_MIN; hi = INT32_MAX; break; // long, enum
    }
}

std::string type_label(const DDS_TypeCode *t)
{
    if (!t->name.empty())
        return t->name;
    return t->kind == DDS_TK_SEQUENCE ? "sequence" : t->kind == DDS_TK_ARRAY ? "array" : "anonymous type";
}

Integer from_int64(int64_t v)
{
    Integer i;
    i.negative = v < 0;
    i.magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    return i;
}

// A quoted character literal: one byte for char, one UTF-8 encoded BMP character for wchar.
bool char_literal(std::string_view s, DDS_TCKind kind, uint64_t &code)
{
    if (s.size() < 3 || s.front() != '\'' || s.back() != '\'')
        return false;
    s = s.substr(1, s.size() - 2);
    auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    if (s.size() == 1) {
        code = byte(0);
        return kind == DDS_TK_CHAR || code < 0x80;
    }
    if (kind != DDS_TK_WCHAR)
        return false;
    if (s.size() == 2 && (byte(0) & 0xe0) == 0xc0 && (byte(1) & 0xc0) == 0x80)
        code = (uint64_t(byte(0) & 0x1f) << 6) | (byte(1) & 0x3f);
    else if (s.size() == 3 && (byte(0) & 0xf0) == 0xe0 && (byte(1) & 0xc0) == 0x80 && (byte(2) & 0xc0) == 0x80)
        code = (uint64_t(byte(0) & 0x0f) << 12) | (uint64_t(byte(1) & 0x3f) << 6) | (byte(2) & 0x3f);
    else
        return false;
    const bool overlong = s.size() == 2 ? code < 0x80 : code < 0x800;
    return !overlong && !(code >= 0xd800 && code <= 0xdfff);
}

// a equals q, or ends with "::" + q.
bool ends_with_scope(std::string_view a, std::string_view q)
{
    if (a == q)
        return true;
    return a.size() > q.size() + 2 && a.substr(a.size() - q.size()) == q && a.substr(a.size() - q.size() - 2, 2) == "::";
}

// An enumerator named plainly ("RED") or qualified by its enum or the enum's module ("Color::RED",
// "Mod::Color::RED", "Mod::RED"): writers differ in how they qualify them, and IDL itself puts
// enumerators in the enclosing scope.
bool match_enumerator(const DDS_TypeCode *en, std::string_view s, int32_t &value)
{
    if (s.substr(0, 2) == "::")
        s.remove_prefix(2);
    size_t sep = s.rfind("::");
    std::string_view ident = sep == std::string_view::npos ? s : s.substr(sep + 2);
    std::string_view qual = sep == std::string_view::npos ? std::string_view{} : s.substr(0, sep);
    for (const Enumerator &e : en->enumerators) {
        if (e.name != ident)
            continue;
        std::string_view full = en->name;
        size_t msep = full.rfind("::");
        std::string_view module = msep == std::string_view::npos ? std::string_view{} : full.substr(0, msep);
        if (qual.empty() || ends_with_scope(full, qual) || ends_with_scope(module, qual)) {
            value = e.value;
            return true;
        }
    }
    return false;
}

} // namespace

// ---- shared helpers ----

std::string error_at(const char *file, int line, std::string_view msg)
{
    return std::string(file ? file : "<xml>") + ":" + std::to_string(line > 0 ? line : 1) + ": " + std::string(msg);
}

std::string error_at(const char *file, const XMLElement *e, std::string_view msg)
{
    return error_at(file, e ? e->GetLineNum() : 0, msg);
}

int attribute_line(const XMLElement *e, const char *name)
{
    const tinyxml2::XMLAttribute *a = e->FindAttribute(name);
    return a ? a->GetLineNum() : e->GetLineNum();
}

bool read_file(const char *path, std::string &text, std::string &err)
{
    std::FILE *f = std::fopen(path, "rb");
    if (!f) {
        err = std::string(path) + ": cannot open: " + std::strerror(errno);
        return false;
    }
    text.clear();
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        try {
            text.append(buf, n);
        } catch (...) {
            std::fclose(f);
            throw;
        }
    }
    const bool failed = std::ferror(f);
    const int saved = errno;
    std::fclose(f);
    if (failed) {
        err = std::string(path) + ": cannot read: " + std::strerror(saved);
        return false;
    }
    return true;
}

bool parse_document(tinyxml2::XMLDocument &doc, const std::string &text, const char *file, std::string &err)
{
    if (doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS)
        return true;
    // ErrorStr() is "Error=NAME ErrorID=n (0xn) Line number=n[: detail]"; the detail names the
    // element where the parser gave up, which is what a reader needs.
    std::string msg = std::string("not well-formed XML: ") + doc.ErrorName();
    if (const char *full = doc.ErrorStr()) {
        if (const char *ln = std::strstr(full, "Line number=")) {
            if (const char *detail = std::strstr(ln, ": "))
                msg += std::string(" (") + (detail + 2) + ")";
        }
    }
    err = error_at(file, doc.ErrorLineNum(), msg);
    return false;
}

const XMLElement *dds_root(const tinyxml2::XMLDocument &doc, const char *file, std::string &err)
{
    const XMLElement *root = doc.RootElement();
    if (!root) {
        err = error_at(file, 1, "no root element");
        return nullptr;
    }
    if (std::strcmp(root->Name(), "dds") != 0) {
        err = error_at(file, root, "root element is <" + std::string(root->Name()) + ">, expected <dds>");
        return nullptr;
    }
    // tinyxml2 accepts several top-level elements; anything after <dds> would be silently lost.
    if (const XMLElement *next = root->NextSiblingElement()) {
        err = error_at(file, next, "element <" + std::string(next->Name()) + "> after the <dds> root");
        return nullptr;
    }
    return root;
}

bool parse_bool(const char *text, bool &out)
{
    if (!text)
        return false;
    if (!std::strcmp(text, "true") || !std::strcmp(text, "1"))
        out = true;
    else if (!std::strcmp(text, "false") || !std::strcmp(text, "0"))
        out = false;
    else
        return false;
    return true;
}

bool parse_integer_literal(std::string_view text, Integer &out)
{
    std::string_view s = trim(text);
    Integer v;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        v.negative = s[0] == '-';
        s.remove_prefix(1);
    }
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty())
        return false;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = unsigned(c - 'A' + 10);
        else
            return false;
        if (v.magnitude > (UINT64_MAX - d) / base)
            return false;
        v.magnitude = v.magnitude * base + d;
    }
    if (v.negative && v.magnitude > uint64_t(1) << 63)
        return false;
    out = v;
    return true;
}

// ---- the <types> reader ----

namespace {

struct Constant {
    bool integral = false; // only integral constants can stand where a number is expected
    Integer value;
};

struct MemberDecl {
    std::string name;
    const DDS_TypeCode *type = nullptr;
    bool key = false;
    bool optional = false;
    int64_t id = kAutoId;
    int id_line = 0;
    const char *default_text = nullptr;
};

// Attributes that change how samples go on the wire: where one does not apply, or is not known,
// the load fails rather than give the user another wire form than the one declared.
const char *const kWireAttributes[] = {"extensibility", "id", "key", "optional", "autoid", "hashid", "mustUnderstand",
                                       "bitBound", "external", "value"};

bool is_wire_attribute(const char *name)
{
    for (const char *w : kWireAttributes)
        if (!std::strcmp(w, name))
            return true;
    return false;
}

// The attributes build_type reads.
#define QUELT_TYPE_ATTRIBUTES "type", "nonBasicTypeName", "stringMaxLength", "sequenceMaxLength", "arrayDimensions"

} // namespace

struct TypeLoader::State {
    explicit State(const DDS_TypeLibrary &l) : lib(l) {}

    const DDS_TypeLibrary &lib;
    TypeStore store;                                    // everything built by this load
    std::map<std::string, const DDS_TypeCode *> types;  // named types of this load
    std::map<std::string, Constant> constants;
    std::map<std::string, int> lines;                   // where each name of this load was declared

    // While parsing.
    const char *file = "";
    std::string *err = nullptr;
    std::vector<std::string> scope;  // enclosing modules
    std::string declaring;           // scoped name of the type being built, to explain self-reference

    bool fail(int line, std::string_view msg)
    {
        *err = error_at(file, line, msg);
        return false;
    }
    bool fail(const XMLElement *e, std::string_view msg) { return fail(e->GetLineNum(), msg); }

    std::vector<std::string> warnings; // "file:line: message", logged when the load is committed

    // Every attribute of e must be one of `known`. An unknown one fails the load when it would
    // change the wire form, else it is a warning.
    bool check_attributes(const XMLElement *e, std::initializer_list<const char *> known, const std::string &owner)
    {
        for (const tinyxml2::XMLAttribute *a = e->FirstAttribute(); a; a = a->Next()) {
            bool ok = false;
            for (const char *k : known)
                ok = ok || !std::strcmp(k, a->Name());
            if (ok)
                continue;
            const std::string what = std::string("attribute '") + a->Name() + "' of <" + e->Name() + "> (" + owner + ")";
            if (is_wire_attribute(a->Name()))
                return fail(a->GetLineNum(), what + " is not supported here: it would change the wire form");
            warnings.push_back(error_at(file, a->GetLineNum(), "warning: unknown " + what + " ignored"));
        }
        return true;
    }

    // extensibility="final|appendable|mutable"; final when absent.
    bool extensibility(const XMLElement *e, const std::string &owner, Extensibility &out)
    {
        out = Extensibility::Final;
        const char *v = e->Attribute("extensibility");
        if (!v)
            return true;
        const std::string_view t = trim(v);
        if (t == "final")
            out = Extensibility::Final;
        else if (t == "appendable")
            out = Extensibility::Appendable;
        else if (t == "mutable")
            out = Extensibility::Mutable;
        else
            return fail(attribute_line(e, "extensibility"),
                        "bad value " + q(v) + " for attribute 'extensibility' of " + owner + " (expected final, appendable or mutable)");
        return true;
    }

    // autoid="sequential" is what we do anyway; hashed ids are not supported.
    bool autoid(const XMLElement *e, const std::string &owner)
    {
        const char *v = e->Attribute("autoid");
        if (v && trim(v) != "sequential")
            return fail(attribute_line(e, "autoid"), "attribute 'autoid' of " + owner + " is " + q(v) +
                                                         ": only sequential member ids are supported");
        return true;
    }

    std::string scoped(std::string_view name) const
    {
        std::string s;
        for (const std::string &m : scope)
            s += m + "::";
        return s + std::string(name);
    }

    // IDL lookup order: the current module, then each enclosing one, then the global scope.
    std::vector<std::string> candidates(std::string_view ref) const
    {
        if (ref.substr(0, 2) == "::")
            return {std::string(ref.substr(2))};
        std::vector<std::string> out;
        for (size_t depth = scope.size() + 1; depth-- > 0;) {
            std::string s;
            for (size_t i = 0; i < depth; ++i)
                s += scope[i] + "::";
            out.push_back(s + std::string(ref));
        }
        return out;
    }

    const DDS_TypeCode *find_type(std::string_view ref) const
    {
        for (const std::string &c : candidates(ref)) {
            if (auto it = types.find(c); it != types.end())
                return it->second;
            if (auto it = lib.by_name.find(c); it != lib.by_name.end())
                return it->second;
        }
        return nullptr;
    }

    const Constant *find_constant(std::string_view ref) const
    {
        for (const std::string &c : candidates(ref))
            if (auto it = constants.find(c); it != constants.end())
                return &it->second;
        return nullptr;
    }

    std::string unknown_type(std::string_view ref, const std::string &owner) const
    {
        if (!declaring.empty())
            for (const std::string &c : candidates(ref))
                if (c == declaring)
                    return "type " + q(declaring) + " cannot contain itself (" + owner + ")";
        if (is_scoped_name(ref) && find_constant(ref))
            return q(ref) + " is a constant, not a type (" + owner + ")";
        return "unknown type " + q(ref) + " for " + owner;
    }

    // A type, constant or module member name: an identifier, unique in its scope.
    bool required_name(const XMLElement *e, std::string &name)
    {
        const char *n = e->Attribute("name");
        if (!n)
            return fail(e, "missing attribute 'name' in <" + std::string(e->Name()) + ">");
        if (!is_identifier(n))
            return fail(attribute_line(e, "name"), "bad name " + q(n) + " in <" + std::string(e->Name()) + ">: not an identifier");
        name = n;
        return true;
    }

    bool check_new_name(const XMLElement *e, const std::string &full)
    {
        if (auto it = lines.find(full); it != lines.end())
            return fail(e, "duplicate name " + q(full) + " (first declared at line " + std::to_string(it->second) + ")");
        if (lib.by_name.count(full))
            return fail(e, "duplicate name " + q(full) + " (already in the type library)");
        return true;
    }

    bool finish_and_register(const XMLElement *e, DDS_TypeCode *t)
    {
        std::string why = store.finish(t);
        if (!why.empty())
            return fail(e, why);
        types.emplace(t->name, t);
        lines.emplace(t->name, e->GetLineNum());
        return true;
    }

    bool flag(const XMLElement *e, const char *attr, const std::string &owner, bool &out)
    {
        const char *v = e->Attribute(attr);
        out = false;
        if (v && !parse_bool(v, out))
            return fail(attribute_line(e, attr), "bad value " + q(v) + " for attribute '" + attr + "' of " + owner +
                                                     " (expected true, false, 1 or 0)");
        return true;
    }

    // A number where one is expected: a literal or the name of an integral constant.
    bool eval_integer(std::string_view text, Integer &out, std::string &why) const
    {
        std::string_view s = trim(text);
        if (parse_integer_literal(s, out))
            return true;
        if (!is_scoped_name(s)) {
            why = "not a number";
            return false;
        }
        const Constant *c = find_constant(s);
        if (!c) {
            why = "unknown constant " + q(s);
            return false;
        }
        if (!c->integral) {
            why = "constant " + q(s) + " is not an integer";
            return false;
        }
        out = c->value;
        return true;
    }

    // A value of integral type t (resolved): a case label or a constant's value.
    bool eval_value(const DDS_TypeCode *t, std::string_view text, Integer &out, std::string &why) const
    {
        std::string_view s = trim(text);
        bool ok = false;
        switch (t->kind) {
        case DDS_TK_ENUM: {
            int32_t v;
            if (match_enumerator(t, s, v)) {
                out = from_int64(v);
                return true;
            }
            std::string ignored;
            if (eval_integer(s, out, ignored))
                for (const Enumerator &e : t->enumerators)
                    if (out.in_range(INT32_MIN, INT32_MAX) && e.value == out.as_int64())
                        return true;
            why = q(s) + " is not an enumerator of " + q(t->name);
            return false;
        }
        case DDS_TK_BOOLEAN:
            if (s == "true" || s == "false") {
                out = from_int64(s == "true");
                return true;
            }
            if (!eval_integer(s, out, why)) {
                why = "expected true, false, 1 or 0";
                return false;
            }
            ok = true;
            break;
        case DDS_TK_CHAR:
        case DDS_TK_WCHAR:
            if (!s.empty() && s[0] == '\'') {
                out = Integer{};
                if (!char_literal(s, t->kind, out.magnitude)) {
                    why = "not a single character";
                    return false;
                }
                return true;
            }
            ok = eval_integer(s, out, why);
            break;
        default:
            ok = eval_integer(s, out, why);
            break;
        }
        if (!ok)
            return false;
        int64_t lo;
        uint64_t hi;
        kind_range(t->kind, lo, hi);
        if (!out.in_range(lo, hi)) {
            why = "out of range for " + type_label(t);
            return false;
        }
        return true;
    }

    // A string or sequence bound (-1: unbounded, stored as 0) or an array dimension.
    bool eval_bound(const XMLElement *e, const char *attr, std::string_view text, bool allow_unbounded,
                    const std::string &owner, uint32_t &out)
    {
        auto bad = [&](const std::string &why) {
            return fail(attribute_line(e, attr), "bad " + std::string(attr) + " " + q(e->Attribute(attr)) + " for " + owner + ": " + why);
        };
        Integer v;
        std::string why;
        if (!eval_integer(text, v, why))
            return bad(trim(text) == trim(e->Attribute(attr)) ? why : "entry " + q(trim(text)) + ": " + why);
        if (allow_unbounded && v.negative && v.magnitude == 1) {
            out = 0;
            return true;
        }
        if (v.negative || v.magnitude == 0 || v.magnitude > UINT32_MAX) {
            why = allow_unbounded ? "must be positive or -1" : "must be positive";
            return bad(trim(text) == trim(e->Attribute(attr)) ? why : "entry " + q(trim(text)) + ": " + why);
        }
        out = static_cast<uint32_t>(v.magnitude);
        return true;
    }

    // The type given by type/nonBasicTypeName, then made a bounded string, a sequence of it and
    // an array of that, as stringMaxLength, sequenceMaxLength and arrayDimensions ask.
    bool build_type(const XMLElement *e, const std::string &owner, const DDS_TypeCode *&out)
    {
        const char *type = e->Attribute("type");
        if (!type)
            return fail(e, "missing attribute 'type' for " + owner);
        const char *nonbasic = e->Attribute("nonBasicTypeName");
        const DDS_TypeCode *t;
        std::string_view ref;
        int line;
        if (!std::strcmp(type, "nonBasic")) {
            if (!nonbasic)
                return fail(e, "missing attribute 'nonBasicTypeName' for " + owner + " of type nonBasic");
            ref = nonbasic;
            line = attribute_line(e, "nonBasicTypeName");
            t = find_type(ref);
            if (!t)
                t = builtin_type(ref);
        } else {
            if (nonbasic)
                return fail(attribute_line(e, "nonBasicTypeName"),
                            "nonBasicTypeName given for " + owner + " of type " + q(type) + " (only with type=\"nonBasic\")");
            ref = type;
            line = attribute_line(e, "type");
            t = builtin_type(ref);
            if (!t)
                t = find_type(ref); // lenient: a declared type named directly
        }
        if (!t)
            return fail(line, unknown_type(ref, owner));

        if (const char *v = e->Attribute("stringMaxLength")) {
            // Only a string spelled as such takes a bound; an alias already fixes its own.
            if (t->kind != DDS_TK_STRING && t->kind != DDS_TK_WSTRING)
                return fail(attribute_line(e, "stringMaxLength"),
                            "stringMaxLength given for " + owner + " of type " + q(type_label(t)) + ", which is not a string");
            uint32_t bound;
            if (!eval_bound(e, "stringMaxLength", v, true, owner, bound))
                return false;
            t = string_type(t->kind, bound);
        }
        if (const char *v = e->Attribute("sequenceMaxLength")) {
            uint32_t bound;
            if (!eval_bound(e, "sequenceMaxLength", v, true, owner, bound))
                return false;
            DDS_TypeCode *s = make_sequence(store, t, bound);
            if (std::string why = store.finish(s); !why.empty())
                return fail(e, owner + ": " + why);
            t = s;
        }
        if (const char *v = e->Attribute("arrayDimensions")) {
            std::vector<uint32_t> dims;
            std::string_view rest = v;
            for (;;) {
                size_t comma = rest.find(',');
                uint32_t d;
                if (!eval_bound(e, "arrayDimensions", rest.substr(0, comma), false, owner, d))
                    return false;
                dims.push_back(d);
                if (comma == std::string_view::npos)
                    break;
                rest.remove_prefix(comma + 1);
            }
            DDS_TypeCode *a = make_array(store, t, std::move(dims));
            if (std::string why = store.finish(a); !why.empty())
                return fail(e, owner + ": " + why);
            t = a;
        }
        out = t;
        return true;
    }

    bool parse_member(const XMLElement *e, bool in_struct, MemberDecl &m)
    {
        if (!required_name(e, m.name))
            return false;
        const std::string owner = "member " + q(m.name);
        if (in_struct && !check_attributes(e, {"name", QUELT_TYPE_ATTRIBUTES, "key", "optional", "id", "default"}, owner))
            return false;
        if (!in_struct && !check_attributes(e, {"name", QUELT_TYPE_ATTRIBUTES, "key", "optional"}, "union " + owner))
            return false;
        if (!build_type(e, owner, m.type))
            return false;
        if (const char *v = in_struct ? e->Attribute("id") : nullptr) {
            Integer id;
            std::string why;
            m.id_line = attribute_line(e, "id");
            if (!eval_integer(v, id, why))
                return fail(m.id_line, "bad id " + q(v) + " for " + owner + ": " + why);
            if (!id.in_range(0, kMaxMemberId))
                return fail(m.id_line, "bad id " + q(v) + " for " + owner + ": member ids go from 0 to " + std::to_string(kMaxMemberId));
            m.id = id.as_int64();
        }
        if (in_struct) {
            m.default_text = e->Attribute("default");
            if (!flag(e, "key", owner, m.key) || !flag(e, "optional", owner, m.optional))
                return false;
            if (m.key && m.optional)
                return fail(e, "key " + owner + " cannot be optional");
        } else {
            for (const char *attr : {"key", "optional"})
                if (e->Attribute(attr))
                    return fail(attribute_line(e, attr), std::string("attribute '") + attr + "' does not apply to union " + owner);
        }
        return true;
    }

    bool unexpected(const XMLElement *c, const std::string &where)
    {
        return fail(c, "unexpected element <" + std::string(c->Name()) + "> in " + where);
    }

    bool parse_struct(const XMLElement *e)
    {
        std::string name;
        if (!required_name(e, name))
            return false;
        const std::string full = scoped(name);
        const std::string what = "struct " + q(full);
        if (!check_new_name(e, full))
            return false;
        Extensibility ext;
        if (!check_attributes(e, {"name", "baseType", "extensibility", "autoid"}, what) || !extensibility(e, what, ext) ||
            !autoid(e, what))
            return false;
        const DDS_TypeCode *base = nullptr;
        if (const char *b = e->Attribute("baseType")) {
            base = find_type(b);
            if (!base)
                return fail(attribute_line(e, "baseType"), "unknown base type " + q(b) + " of " + what);
            if (resolve(base)->kind != DDS_TK_STRUCT)
                return fail(attribute_line(e, "baseType"), "base type " + q(b) + " of " + what + " is not a struct");
            // XTypes: a derived type keeps the extensibility of its base.
            if (resolve(base)->extensibility != ext)
                return fail(e, what + " is " + extensibility_name(ext) + " but its base type " + q(b) + " is " +
                                   extensibility_name(resolve(base)->extensibility));
        }
        DDS_TypeCode *t = make_struct(store, full, base);
        t->extensibility = ext;
        const size_t inherited = t->members.size();
        declaring = full;
        for (const XMLElement *c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
            if (std::strcmp(c->Name(), "member") != 0)
                return unexpected(c, what);
            MemberDecl m;
            if (!parse_member(c, true, m))
                return false;
            for (size_t i = 0; i < t->members.size(); ++i)
                if (t->members[i].name == m.name)
                    return fail(c, i < inherited ? "member " + q(m.name) + " of " + what + " is already a member of its base type " + q(base->name)
                                                 : "duplicate member " + q(m.name) + " in " + what);
            const int64_t id = m.id != kAutoId ? m.id : t->members.empty() ? 0 : int64_t(t->members.back().wire_id) + 1;
            if (const Member *other = id <= int64_t(kMaxMemberId) ? member_by_wire_id(t, static_cast<uint32_t>(id)) : nullptr)
                return fail(m.id != kAutoId ? m.id_line : c->GetLineNum(), "member " + q(m.name) + " of " + what + " has id " +
                                                                            std::to_string(id) + ", already the id of " + q(other->name));
            if (id > int64_t(kMaxMemberId))
                return fail(c, "member " + q(m.name) + " of " + what + " would have an id above " + std::to_string(kMaxMemberId));
            add_member(t, m.name, m.type, m.key, m.optional, id);
            if (m.default_text)
                t->members.back().default_text = m.default_text;
        }
        declaring.clear();
        return finish_and_register(e, t);
    }

    bool parse_union(const XMLElement *e)
    {
        std::string name;
        if (!required_name(e, name))
            return false;
        const std::string full = scoped(name);
        const std::string what = "union " + q(full);
        if (!check_new_name(e, full))
            return false;
        Extensibility ext;
        if (!check_attributes(e, {"name", "extensibility"}, what) || !extensibility(e, what, ext))
            return false;
        if (ext == Extensibility::Mutable)
            return fail(attribute_line(e, "extensibility"), what + ": mutable unions are not supported (final or appendable)");
        // Labels can only be read once the discriminator type is known, wherever it is written.
        const XMLElement *disc = nullptr;
        for (const XMLElement *c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
            if (!std::strcmp(c->Name(), "discriminator")) {
                if (disc)
                    return fail(c, "second discriminator in " + what);
                disc = c;
            } else if (std::strcmp(c->Name(), "case") != 0) {
                return unexpected(c, what);
            }
        }
        if (!disc)
            return fail(e, what + " has no discriminator");
        if (!check_attributes(disc, {QUELT_TYPE_ATTRIBUTES}, "discriminator of " + what))
            return false;
        const DDS_TypeCode *dtype;
        if (!build_type(disc, "discriminator of " + what, dtype))
            return false;
        const DDS_TypeCode *rd = resolve(dtype);
        if (!is_integral(rd->kind))
            return fail(disc, "discriminator of " + what + " has type " + q(type_label(dtype)) + ", which is not integral");

        DDS_TypeCode *t = make_union(store, full, dtype);
        t->extensibility = ext;
        declaring = full;
        auto label_used = [&](int64_t v, const std::vector<int64_t> &pending) {
            for (const Member &m : t->members)
                for (int64_t l : m.labels)
                    if (l == v)
                        return true;
            for (int64_t l : pending)
                if (l == v)
                    return true;
            return false;
        };
        for (const XMLElement *c = e->FirstChildElement("case"); c; c = c->NextSiblingElement("case")) {
            if (!check_attributes(c, {}, "case of " + what))
                return false;
            std::vector<int64_t> labels;
            bool is_default = false;
            const XMLElement *member = nullptr;
            for (const XMLElement *x = c->FirstChildElement(); x; x = x->NextSiblingElement()) {
                if (!std::strcmp(x->Name(), "member")) {
                    if (member)
                        return fail(x, "case of " + what + " has more than one member");
                    member = x;
                    continue;
                }
                if (std::strcmp(x->Name(), "caseDiscriminator") != 0)
                    return unexpected(x, "case of " + what);
                if (!check_attributes(x, {"value"}, what))
                    return false;
                const char *v = x->Attribute("value");
                if (!v)
                    return fail(x, "missing attribute 'value' in <caseDiscriminator> of " + what);
                if (trim(v) == "default") {
                    if (is_default || t->default_case >= 0)
                        return fail(x, "second default case in " + what);
                    is_default = true;
                    continue;
                }
                Integer label;
                std::string why;
                if (!eval_value(rd, v, label, why))
                    return fail(x, "bad case label " + q(v) + " in " + what + ": " + why);
                if (label_used(label.as_int64(), labels))
                    return fail(x, "duplicate case label " + q(v) + " in " + what);
                labels.push_back(label.as_int64());
            }
            if (labels.empty() && !is_default)
                return fail(c, "case of " + what + " has no caseDiscriminator");
            if (!member)
                return fail(c, "case of " + what + " has no member");
            MemberDecl m;
            if (!parse_member(member, false, m))
                return false;
            for (const Member &other : t->members)
                if (other.name == m.name)
                    return fail(member, "duplicate member " + q(m.name) + " in " + what);
            add_case(t, m.name, m.type, std::move(labels), is_default);
        }
        if (t->members.empty())
            return fail(e, what + " has no case");
        declaring.clear();
        return finish_and_register(e, t);
    }

    bool parse_enum(const XMLElement *e)
    {
        std::string name;
        if (!required_name(e, name))
            return false;
        const std::string full = scoped(name);
        const std::string what = "enum " + q(full);
        if (!check_new_name(e, full))
            return false;
        if (!check_attributes(e, {"name", "bitBound"}, what))
            return false;
        // Enums are 32 bits on the wire; any other size would change it.
        if (const char *bb = e->Attribute("bitBound"); bb && trim(bb) != "32")
            return fail(attribute_line(e, "bitBound"), what + ": only bitBound 32 is supported");
        DDS_TypeCode *t = make_enum(store, full);
        int64_t next = 0;
        for (const XMLElement *c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
            if (std::strcmp(c->Name(), "enumerator") != 0)
                return unexpected(c, what);
            std::string ename;
            if (!required_name(c, ename) || !check_attributes(c, {"name", "value"}, "enumerator " + q(ename) + " of " + what))
                return false;
            int64_t value = next;
            if (const char *v = c->Attribute("value")) {
                Integer iv;
                std::string why;
                if (!eval_integer(v, iv, why))
                    return fail(attribute_line(c, "value"), "bad value " + q(v) + " for enumerator " + q(ename) + ": " + why);
                if (!iv.in_range(INT32_MIN, INT32_MAX))
                    return fail(attribute_line(c, "value"), "bad value " + q(v) + " for enumerator " + q(ename) + ": out of range for int32");
                value = iv.as_int64();
            } else if (value > INT32_MAX) {
                return fail(c, "enumerator " + q(ename) + " of " + what + " would have a value above the int32 range");
            }
            for (const Enumerator &other : t->enumerators) {
                if (other.name == ename)
                    return fail(c, "duplicate enumerator " + q(ename) + " in " + what);
                if (other.value == value)
                    return fail(c, "duplicate enumerator value " + std::to_string(value) + " in " + what + " (" + q(other.name) +
                                       " and " + q(ename) + ")");
            }
            add_enumerator(t, ename, static_cast<int32_t>(value));
            next = value + 1;
        }
        if (t->enumerators.empty())
            return fail(e, what + " has no enumerator");
        return finish_and_register(e, t);
    }

    bool parse_typedef(const XMLElement *e)
    {
        std::string name;
        if (!required_name(e, name))
            return false;
        const std::string full = scoped(name);
        const std::string what = "typedef " + q(full);
        if (!check_new_name(e, full))
            return false;
        for (const char *attr : {"key", "optional"})
            if (e->Attribute(attr))
                return fail(attribute_line(e, attr), std::string("attribute '") + attr + "' does not apply to " + what);
        if (!check_attributes(e, {"name", QUELT_TYPE_ATTRIBUTES}, what))
            return false;
        declaring = full;
        const DDS_TypeCode *target;
        if (!build_type(e, what, target))
            return false;
        declaring.clear();
        return finish_and_register(e, make_alias(store, full, target));
    }

    bool parse_const(const XMLElement *e)
    {
        std::string name;
        if (!required_name(e, name))
            return false;
        const std::string full = scoped(name);
        const std::string what = "constant " + q(full);
        if (!check_new_name(e, full))
            return false;
        if (!check_attributes(e, {"name", "value", QUELT_TYPE_ATTRIBUTES}, what))
            return false;
        const DDS_TypeCode *type;
        if (!build_type(e, what, type))
            return false;
        const char *v = e->Attribute("value");
        if (!v)
            return fail(e, "missing attribute 'value' for " + what);
        const DDS_TypeCode *rt = resolve(type);
        Constant c;
        std::string why;
        if (is_integral(rt->kind)) {
            if (!eval_value(rt, v, c.value, why))
                return fail(attribute_line(e, "value"), "bad value " + q(v) + " for " + what + ": " + why);
            c.integral = true;
        } else if (rt->kind == DDS_TK_FLOAT || rt->kind == DDS_TK_DOUBLE || rt->kind == DDS_TK_LONGDOUBLE) {
            std::string s(trim(v));
            char *end = nullptr;
            std::strtod(s.c_str(), &end);
            if (s.empty() || *end)
                return fail(attribute_line(e, "value"), "bad value " + q(v) + " for " + what + ": not a floating-point number");
        } else if (rt->kind != DDS_TK_STRING && rt->kind != DDS_TK_WSTRING) {
            return fail(e, what + " has type " + q(type_label(type)) + "; constants are primitive, enum or string");
        }
        constants.emplace(full, c);
        lines.emplace(full, e->GetLineNum());
        return true;
    }

    // <include file="F"/> directly in <types>: the types of an IDL file, or the <types> of another
    // XML file, as if written here. A relative path is relative to the including file.
    std::deque<std::string> included; // file names that messages point into
    int include_depth = 0;
    bool parse_include(const XMLElement *e, const std::string &where)
    {
        const char *f = e->Attribute("file");
        if (!check_attributes(e, {"file"}, "<include>"))
            return false;
        if (!f || !*f)
            return fail(e, "missing attribute 'file' in <include>");
        if (!scope.empty())
            return fail(e, "<include> in " + where + ": it goes directly in <types>");
        std::filesystem::path path(f);
        if (path.is_relative())
            path = std::filesystem::path(file).parent_path() / path;
        std::string ext = path.extension().string();
        for (char &ch : ext)
            ch = char(std::tolower(static_cast<unsigned char>(ch)));
        if (ext == ".xml") {
            if (include_depth >= 16)
                return fail(e, "<include> of " + q(path.string()) + ": too many nested includes (does a file include itself?)");
            const char *outer = file;
            const char *inner = included.emplace_back(path.string()).c_str();
            tinyxml2::XMLDocument doc;
            std::string text;
            const XMLElement *root = nullptr;
            if (!read_file(inner, text, *err) || !parse_document(doc, text, inner, *err) || !(root = dds_root(doc, inner, *err)))
                return fail(e, "in <include>: " + *err);
            file = inner;
            ++include_depth;
            bool ok = true;
            for (const XMLElement *t = root->FirstChildElement("types"); ok && t; t = t->NextSiblingElement("types"))
                ok = parse_declarations(t, "<types>");
            --include_depth;
            file = outer;
            return ok;
        }
        if (ext != ".idl")
            return fail(attribute_line(e, "file"), "<include> of " + q(f) + ": only .idl and .xml files can be included");
        idl::File idl;
        std::string why;
        if (!idl::read_file(path.string(), store, idl, why)) {
            *err = why + " (included at " + file + ":" + std::to_string(e->GetLineNum()) + ")";
            return false;
        }
        for (const idl::Declaration &d : idl.declarations) {
            if (!check_new_name(e, d.name))
                return false;
            lines.emplace(d.name, e->GetLineNum());
            if (d.constant)
                constants.emplace(d.name, Constant{d.integral, Integer{d.negative, d.magnitude}});
            else
                types.emplace(d.name, d.type);
        }
        warnings.insert(warnings.end(), idl.warnings.begin(), idl.warnings.end());
        return true;
    }

    // The children of <types> or of a <module>.
    bool parse_declarations(const XMLElement *parent, const std::string &where)
    {
        for (const XMLElement *c = parent->FirstChildElement(); c; c = c->NextSiblingElement()) {
            const char *n = c->Name();
            bool ok;
            if (!std::strcmp(n, "module")) {
                std::string name;
                if (!required_name(c, name) || !check_attributes(c, {"name"}, "module " + q(name)))
                    return false;
                // Modules may be reopened, here or in a later <types>, as in IDL.
                scope.push_back(name);
                std::string module = scoped({});
                module.resize(module.size() - 2);
                ok = parse_declarations(c, "module " + q(module));
                scope.pop_back();
            } else if (!std::strcmp(n, "struct")) {
                ok = parse_struct(c);
            } else if (!std::strcmp(n, "union")) {
                ok = parse_union(c);
            } else if (!std::strcmp(n, "enum")) {
                ok = parse_enum(c);
            } else if (!std::strcmp(n, "typedef")) {
                ok = parse_typedef(c);
            } else if (!std::strcmp(n, "const")) {
                ok = parse_const(c);
            } else if (!std::strcmp(n, "include")) {
                ok = parse_include(c, where);
            } else {
                // bitmask, bitset, forward_dcl...: refusing beats dropping a type silently.
                return fail(c, "unsupported element <" + std::string(n) + "> in " + where);
            }
            if (!ok)
                return false;
        }
        return true;
    }
};

TypeLoader::TypeLoader(const DDS_TypeLibrary &lib) : s_(std::make_unique<State>(lib)) {}
TypeLoader::~TypeLoader() = default;

bool TypeLoader::parse(const XMLElement *types, const char *file, std::string &err)
{
    s_->file = file ? file : "<xml>";
    s_->err = &err;
    s_->scope.clear();
    s_->declaring.clear();
    return s_->parse_declarations(types, "<types>");
}

void TypeLoader::commit(DDS_TypeLibrary &lib)
{
    // Names first, remembered so they can be taken back: erasing cannot fail, adopt() is all or
    // nothing, so the library ends either complete or untouched.
    std::vector<std::map<std::string, const DDS_TypeCode *>::iterator> added;
    added.reserve(s_->types.size());
    try {
        for (const auto &[name, type] : s_->types) {
            auto [it, inserted] = lib.by_name.emplace(name, type);
            if (inserted)
                added.push_back(it);
        }
        lib.store.adopt(s_->store);
    } catch (...) {
        for (auto it : added)
            lib.by_name.erase(it);
        throw;
    }
    s_->types.clear();
    s_->constants.clear();
    s_->lines.clear();
    for (const std::string &w : s_->warnings)
        QueltLog_warning("XML types", "%s", w.c_str());
    s_->warnings.clear();
}

bool parse_types_element(DDS_TypeLibrary &lib, const XMLElement *types, const char *file, std::string &err)
{
    TypeLoader loader(lib);
    if (!loader.parse(types, file, err))
        return false;
    loader.commit(lib);
    return true;
}

bool load_types_document(DDS_TypeLibrary &lib, const tinyxml2::XMLDocument &doc, const char *file, std::string &err)
{
    const XMLElement *root = dds_root(doc, file, err);
    if (!root)
        return false;
    TypeLoader loader(lib);
    for (const XMLElement *t = root->FirstChildElement("types"); t; t = t->NextSiblingElement("types"))
        if (!loader.parse(t, file, err))
            return false;
    loader.commit(lib);
    return true;
}

} // namespace quelt::mw::xml

// ---- C API ----
namespace {

using namespace quelt::mw::xml;

// Nothing may escape into C callers: the only exception our code raises is std::bad_alloc, but
// anything else is caught too.
template <class F>
DDS_ReturnCode_t guarded(const char *context, F &&body)
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        QueltLog_error(context, "out of memory");
        return DDS_RETCODE_OUT_OF_RESOURCES;
    } catch (const std::exception &e) {
        QueltLog_error(context, "%s", e.what());
        return DDS_RETCODE_ERROR;
    } catch (...) {
        QueltLog_error(context, "unexpected failure");
        return DDS_RETCODE_ERROR;
    }
}

DDS_ReturnCode_t load_text(DDS_TypeLibrary &lib, const std::string &text, const char *file, const char *context)
{
    tinyxml2::XMLDocument doc;
    std::string err;
    if (!parse_document(doc, text, file, err) || !load_types_document(lib, doc, file, err)) {
        QueltLog_error(context, "%s", err.c_str());
        return DDS_RETCODE_ERROR;
    }
    return DDS_RETCODE_OK;
}

} // namespace

extern "C" {

DDS_TypeLibrary *DDS_TypeLibrary_new(void)
{
    try {
        return new DDS_TypeLibrary;
    } catch (...) {
        QueltLog_error("DDS_TypeLibrary_new", "out of memory");
        return nullptr;
    }
}

void DDS_TypeLibrary_delete(DDS_TypeLibrary *lib) { delete lib; }

DDS_ReturnCode_t DDS_TypeLibrary_load_file(DDS_TypeLibrary *lib, const char *path)
{
    static const char *const context = "DDS_TypeLibrary_load_file";
    if (!lib || !path) {
        QueltLog_error(context, "null %s", lib ? "path" : "library");
        return DDS_RETCODE_BAD_PARAMETER;
    }
    return guarded(context, [&] {
        std::string text, err;
        if (!read_file(path, text, err)) {
            QueltLog_error(context, "%s", err.c_str());
            return DDS_RETCODE_ERROR;
        }
        return load_text(*lib, text, path, context);
    });
}

DDS_ReturnCode_t DDS_TypeLibrary_load_string(DDS_TypeLibrary *lib, const char *xml, const char *source_name)
{
    static const char *const context = "DDS_TypeLibrary_load_string";
    if (!lib || !xml) {
        QueltLog_error(context, "null %s", lib ? "XML text" : "library");
        return DDS_RETCODE_BAD_PARAMETER;
    }
    return guarded(context, [&] { return load_text(*lib, xml, source_name ? source_name : "<string>", context); });
}

const DDS_TypeCode *DDS_TypeLibrary_find(const DDS_TypeLibrary *lib, const char *name)
{
    if (!lib || !name)
        return nullptr;
    if (!std::strncmp(name, "::", 2))
        name += 2;
    try {
        auto it = lib->by_name.find(name);
        return it == lib->by_name.end() ? nullptr : it->second;
    } catch (...) {
        return nullptr; // only the key string's allocation can fail
    }
}

} // extern "C"
