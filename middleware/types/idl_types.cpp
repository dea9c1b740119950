// IDL files into type codes, through Cyclone DDS's IDL library. The library resolves names,
// evaluates constant expressions (bounds, array sizes, labels) and checks the grammar; what is
// left here is mapping its tree onto our type codes and refusing what they cannot carry.
#include "types/idl_types.h"

#include "types/idl_tree.h"

#include <tinyxml2.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unistd.h>

namespace quelt::mw::idl {

namespace {

// The library prints its diagnostics on stderr and has no hook for them: they are caught in a
// temporary file for the length of a parse, so that the first one becomes our one-line message.
std::mutex stderr_lock;

struct StderrCapture {
    std::FILE *tmp = std::tmpfile();
    int saved = -1;
    StderrCapture()
    {
        std::fflush(stderr);
        if (tmp && (saved = dup(2)) >= 0 && dup2(fileno(tmp), 2) < 0) {
            close(saved);
            saved = -1;
        }
    }
    ~StderrCapture()
    {
        restore();
        if (tmp)
            std::fclose(tmp);
    }
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        saved = -1;
    }
    std::vector<std::string> lines()
    {
        restore();
        std::vector<std::string> out;
        if (!tmp)
            return out;
        std::rewind(tmp);
        std::string line;
        for (int c; (c = std::fgetc(tmp)) != EOF;) {
            if (c != '\n') {
                line += char(c);
            } else if (!line.empty()) {
                out.push_back(line);
                line.clear();
            }
        }
        if (!line.empty())
            out.push_back(line);
        return out;
    }
};

std::string q(const std::string &s) { return "'" + s + "'"; }

// Annotations that only document or steer code generation: accepted with a warning.
const char *const kNoEffect[] = {"nested", "topic", "default_nested", "verbatim", "unit", "min", "max", "range", "ami", "oneway", "service",
                                 "try_construct"};

DDS_TCKind base_kind(qidl_type t)
{
    switch (t) {
    case QIDL_T_BOOL: return DDS_TK_BOOLEAN;
    case QIDL_T_CHAR: return DDS_TK_CHAR;
    case QIDL_T_WCHAR: return DDS_TK_WCHAR;
    // As in the XML form, int8 shares the octet kind and keeps its bit pattern.
    case QIDL_T_OCTET: case QIDL_T_INT8: case QIDL_T_UINT8: return DDS_TK_OCTET;
    case QIDL_T_INT16: return DDS_TK_SHORT;
    case QIDL_T_UINT16: return DDS_TK_USHORT;
    case QIDL_T_INT32: return DDS_TK_LONG;
    case QIDL_T_UINT32: return DDS_TK_ULONG;
    case QIDL_T_INT64: return DDS_TK_LONGLONG;
    case QIDL_T_UINT64: return DDS_TK_ULONGLONG;
    case QIDL_T_FLOAT: return DDS_TK_FLOAT;
    case QIDL_T_DOUBLE: return DDS_TK_DOUBLE;
    case QIDL_T_LDOUBLE: return DDS_TK_LONGDOUBLE;
    default: return DDS_TK_NULL;
    }
}

Extensibility extensibility(const void *node)
{
    const int e = qidl_extensibility(node);
    return e == QIDL_MUTABLE ? Extensibility::Mutable : e == QIDL_APPENDABLE ? Extensibility::Appendable : Extensibility::Final;
}

struct Reader {
    const std::string &file;
    TypeStore &store;
    File &out;
    std::string &err;
    std::map<const void *, const DDS_TypeCode *> named; // struct, union, enum and typedef declarator nodes
    std::vector<std::string> scope;

    std::string where(const void *node) const
    {
        uint32_t line, col;
        qidl_location(node, &line, &col);
        return file + ":" + std::to_string(line) + ":" + std::to_string(col);
    }
    bool fail(const void *node, const std::string &msg)
    {
        err = where(node) + ": " + msg;
        return false;
    }
    std::string scoped(const void *node) const
    {
        std::string s;
        for (const std::string &m : scope)
            s += m + "::";
        return s + qidl_identifier(node);
    }

    // Every annotation on node must be one of allowed, or one without effect on the wire.
    bool annotations(const void *node, std::initializer_list<const char *> allowed, const std::string &what)
    {
        for (const void *a = qidl_annotations(node); a; a = qidl_next(a)) {
            const std::string name = qidl_annotation_name(a);
            bool ok = false;
            for (const char *n : allowed)
                ok = ok || name == n;
            if (ok)
                continue;
            for (const char *n : kNoEffect)
                ok = ok || name == n;
            if (!ok)
                return fail(a, "annotation @" + name + " on " + what + " is not supported");
            out.warnings.push_back(where(a) + ": warning: annotation @" + name + " on " + what + " has no effect here; ignored");
        }
        return true;
    }

    bool finish(const void *node, DDS_TypeCode *t, const std::string &owner)
    {
        if (std::string why = store.finish(t); !why.empty())
            return fail(node, owner + ": " + why);
        return true;
    }

    bool declare(const void *node, DDS_TypeCode *t)
    {
        if (!finish(node, t, t->name))
            return false;
        named[node] = t;
        Declaration d;
        d.name = t->name;
        d.type = t;
        out.declarations.push_back(std::move(d));
        return true;
    }

    const DDS_TypeCode *type_of(const void *spec, const std::string &owner)
    {
        if (auto it = named.find(spec); it != named.end())
            return it->second;
        const qidl_type k = qidl_type_of(spec);
        if (k == QIDL_T_STRING || k == QIDL_T_WSTRING)
            return string_type(k == QIDL_T_STRING ? DDS_TK_STRING : DDS_TK_WSTRING, qidl_bound(spec));
        if (k == QIDL_T_SEQUENCE) {
            const DDS_TypeCode *elem = type_of(qidl_element(spec), owner);
            if (!elem)
                return nullptr;
            // The XML form has no anonymous sequence of sequences; a typedef names the inner one.
            if (elem->kind == DDS_TK_SEQUENCE && elem->name.empty())
                return fail(spec, "anonymous sequence of sequences for " + owner + " is not supported: declare the inner one with a typedef"), nullptr;
            DDS_TypeCode *t = make_sequence(store, elem, qidl_bound(spec));
            return finish(spec, t, owner) ? t : nullptr;
        }
        if (DDS_TCKind bk = base_kind(k); bk != DDS_TK_NULL)
            return primitive_type(bk);
        const std::string what = k == QIDL_T_FIXED ? "fixed-point type" : k == QIDL_T_ANY ? "type any" : qidl_construct(spec);
        return fail(spec, what + " of " + owner + " is not supported"), nullptr;
    }

    // t as an array when the declarator has sizes ("long a[2][3]").
    const DDS_TypeCode *arrayed(const DDS_TypeCode *t, const void *d, const std::string &owner)
    {
        if (!t || !qidl_declarator_sizes(d))
            return t;
        std::vector<uint32_t> dims;
        for (const void *e = qidl_declarator_sizes(d); e; e = qidl_next(e))
            dims.push_back(qidl_size_value(e));
        DDS_TypeCode *a = make_array(store, t, std::move(dims));
        return finish(d, a, owner) ? a : nullptr;
    }

    // A constant or default value as the XML form writes it.
    bool literal(const void *expr, const DDS_TypeCode *type, Declaration &d, const std::string &owner)
    {
        qidl_value v;
        qidl_value_of(expr, &v);
        char buf[64];
        d.integral = true;
        switch (v.kind) {
        case QIDL_V_ENUMERATOR: {
            const DDS_TypeCode *t = resolve(type);
            d.negative = v.i < 0;
            d.magnitude = v.i < 0 ? 0 - uint64_t(v.i) : uint64_t(v.i);
            d.value = (t && t->kind == DDS_TK_ENUM ? t->name + "::" : "") + v.s;
            return true;
        }
        case QIDL_V_BOOL:
            d.magnitude = uint64_t(v.i);
            d.value = v.i ? "true" : "false";
            return true;
        case QIDL_V_SIGNED:
        case QIDL_V_UNSIGNED:
            d.negative = v.kind == QIDL_V_SIGNED && v.i < 0;
            d.magnitude = v.kind == QIDL_V_UNSIGNED ? v.u : v.i < 0 ? 0 - uint64_t(v.i) : uint64_t(v.i);
            d.value = (d.negative ? "-" : "") + std::to_string(d.magnitude);
            return true;
        case QIDL_V_FLOAT:
        case QIDL_V_DOUBLE:
        case QIDL_V_LDOUBLE:
            std::snprintf(buf, sizeof buf, v.kind == QIDL_V_FLOAT ? "%.9Lg" : v.kind == QIDL_V_DOUBLE ? "%.17Lg" : "%.21Lg", v.f);
            d.value = buf;
            d.integral = false;
            return true;
        case QIDL_V_STRING:
            d.value = v.s;
            d.integral = false;
            return true;
        default:
            return fail(expr, "the value of " + owner + " is not supported");
        }
    }

    bool struct_(const void *s)
    {
        const std::string full = scoped(s), what = "struct " + q(full);
        if (!annotations(s, {"final", "appendable", "mutable", "extensibility", "autoid"}, what))
            return false;
        const Extensibility ext = extensibility(s);
        const DDS_TypeCode *base = nullptr;
        if (const void *b = qidl_struct_base(s)) {
            if (!(base = type_of(b, what)))
                return false;
            // XTypes: a derived type keeps the extensibility of its base.
            if (resolve(base)->extensibility != ext)
                return fail(s, what + " is " + extensibility_name(ext) + " but its base type " + q(base->name) + " is " +
                                   extensibility_name(resolve(base)->extensibility));
        }
        DDS_TypeCode *t = make_struct(store, full, base);
        t->extensibility = ext;
        // Hashed ids are computed by the library; sequential ones follow the XML rule (previous + 1).
        const bool hashed = qidl_struct_hashed(s);
        for (const void *m = qidl_struct_members(s); m; m = qidl_next(m)) {
            for (const void *d = qidl_member_declarators(m); d; d = qidl_next(d)) {
                const std::string owner = "member " + q(qidl_identifier(d)) + " of " + what;
                if (!annotations(m, {"key", "optional", "id", "hashid", "default"}, owner))
                    return false;
                const DDS_TypeCode *type = arrayed(type_of(qidl_member_type(m), owner), d, owner);
                if (!type)
                    return false;
                uint32_t wire_id;
                const int64_t id = qidl_declarator_id(d, &wire_id) || hashed ? int64_t(wire_id) : kAutoId;
                if (!add_member(t, qidl_identifier(d), type, qidl_member_key(m), qidl_member_optional(m), id))
                    return fail(d, owner + ": its member id is already taken (ids continue after the base type's members)");
                if (const void *v = qidl_member_default(m)) {
                    Declaration dv;
                    if (!literal(v, type, dv, "the default of " + owner))
                        return false;
                    t->members.back().default_text = dv.value;
                }
            }
        }
        return declare(s, t);
    }

    bool union_(const void *u)
    {
        const std::string full = scoped(u), what = "union " + q(full);
        if (!annotations(u, {"final", "appendable", "mutable", "extensibility"}, what) ||
            !annotations(qidl_union_switch(u), {}, "the discriminator of " + what))
            return false;
        const Extensibility ext = extensibility(u);
        if (ext == Extensibility::Mutable)
            return fail(u, what + ": mutable unions are not supported (final or appendable)");
        const DDS_TypeCode *disc = type_of(qidl_union_switch_type(u), "the discriminator of " + what);
        if (!disc)
            return false;
        DDS_TypeCode *t = make_union(store, full, disc);
        t->extensibility = ext;
        for (const void *c = qidl_union_cases(u); c; c = qidl_next(c)) {
            const void *d = qidl_case_declarator(c);
            const std::string owner = "member " + q(qidl_identifier(d)) + " of " + what;
            if (!annotations(c, {}, owner))
                return false;
            std::vector<int64_t> labels;
            bool is_default = false;
            for (const void *l = qidl_case_labels(c); l; l = qidl_next(l)) {
                if (qidl_label_is_default(l))
                    is_default = true;
                else
                    labels.push_back(qidl_label_value(l));
            }
            const DDS_TypeCode *type = arrayed(type_of(qidl_case_type(c), owner), d, owner);
            if (!type)
                return false;
            if (!add_case(t, qidl_identifier(d), type, std::move(labels), is_default))
                return fail(c, owner + ": a label or the name is already taken");
        }
        return declare(u, t);
    }

    bool enum_(const void *e)
    {
        const std::string full = scoped(e), what = "enum " + q(full);
        if (!annotations(e, {"final", "bit_bound"}, what))
            return false;
        // Enums are 32 bits on the wire. @default_literal is refused with the annotations: a new
        // sample starts with the first enumerator.
        uint32_t bits;
        if (const void *bb = qidl_enum_bit_bound(e, &bits); bb && bits != 32)
            return fail(bb, what + ": only @bit_bound(32) is supported");
        DDS_TypeCode *t = make_enum(store, full);
        for (const void *n = qidl_enum_enumerators(e); n; n = qidl_next(n)) {
            const std::string owner = "enumerator " + q(qidl_identifier(n)) + " of " + what;
            if (!annotations(n, {"value"}, owner))
                return false;
            if (qidl_enumerator_value(n) > uint32_t(INT32_MAX))
                return fail(n, owner + " has a value above the int32 range");
            if (!add_enumerator(t, qidl_identifier(n), int32_t(qidl_enumerator_value(n))))
                return fail(n, owner + " repeats a name or value");
        }
        return declare(e, t);
    }

    bool typedef_(const void *td)
    {
        for (const void *d = qidl_typedef_declarators(td); d; d = qidl_next(d)) {
            const std::string full = scoped(d), what = "typedef " + q(full);
            if (!annotations(td, {}, what))
                return false;
            const DDS_TypeCode *target = arrayed(type_of(qidl_typedef_type(td), what), d, what);
            if (!target || !declare(d, make_alias(store, full, target)))
                return false;
        }
        return true;
    }

    bool const_(const void *c)
    {
        Declaration d;
        d.name = scoped(c);
        d.constant = true;
        const std::string what = "constant " + q(d.name);
        if (!annotations(c, {}, what) || !(d.type = type_of(qidl_const_type(c), what)) || !literal(qidl_const_value(c), d.type, d, what))
            return false;
        out.declarations.push_back(std::move(d));
        return true;
    }

    bool definitions(const void *list)
    {
        for (const void *n = list; n; n = qidl_next(n)) {
            bool ok = true;
            switch (qidl_node_kind(n)) {
            case QIDL_MODULE:
                if (!annotations(n, {}, "module " + q(scoped(n))))
                    return false;
                scope.push_back(qidl_identifier(n));
                ok = definitions(qidl_module_definitions(n));
                scope.pop_back();
                break;
            case QIDL_FORWARD: ok = fail(n, "forward declaration of " + q(scoped(n)) + " is not supported"); break;
            case QIDL_STRUCT: ok = struct_(n); break;
            case QIDL_UNION: ok = union_(n); break;
            case QIDL_ENUM: ok = enum_(n); break;
            case QIDL_TYPEDEF: ok = typedef_(n); break;
            case QIDL_CONST: ok = const_(n); break;
            case QIDL_ANNOTATION_DECL: break; // a declaration only: applying it is refused where it is used
            default: {
                const char *name = qidl_identifier(n);
                ok = fail(n, std::string(qidl_construct(n)) + (name ? " " + q(scoped(n)) : "") + " is not supported");
            }
            }
            if (!ok)
                return false;
        }
        return true;
    }
};

// Frees the parser state on every path.
struct ParseState {
    void *p = nullptr;
    ~ParseState() { qidl_delete(p); }
};

} // namespace

bool read_text(const std::string &text, const std::string &name, TypeStore &store, File &out, std::string &err)
{
    ParseState ps;
    int rc;
    std::vector<std::string> printed;
    {
        std::lock_guard<std::mutex> guard(stderr_lock);
        StderrCapture capture;
        rc = qidl_parse(text.c_str(), &ps.p);
        printed = capture.lines();
    }
    if (rc != 0) {
        // The library's message is "line:col: message", after any warnings (it stops at the
        // first error); without one, its return code says what.
        std::string msg = printed.empty() ? " cannot parse (IDL library code " + std::to_string(rc) + ")" : printed.back();
        if (msg.find("Invalid compiler directive") != std::string::npos)
            msg += " (IDL files are read without a preprocessor: no #include, #define or #ifdef)";
        err = name + ":" + msg;
        return false;
    }
    for (const std::string &line : printed) {
        const size_t at = line.find(": ");
        out.warnings.push_back(name + ":" + (at == std::string::npos ? " warning: " + line : line.substr(0, at + 2) + "warning: " + line.substr(at + 2)));
    }
    Reader r{name, store, out, err, {}, {}};
    return r.definitions(qidl_root(ps.p));
}

bool read_file(const std::string &path, TypeStore &store, File &out, std::string &err)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        err = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buf[8192];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    const bool failed = std::ferror(f);
    std::fclose(f);
    if (failed) {
        err = path + ": cannot read";
        return false;
    }
    return read_text(text, path, store, out, err);
}

// ---- the XML form ----

namespace {

void type_attributes(tinyxml2::XMLPrinter &p, const DDS_TypeCode *t)
{
    std::string dims, seq, str;
    if (t->kind == DDS_TK_ARRAY && t->name.empty()) {
        for (uint32_t d : t->dims)
            dims += (dims.empty() ? "" : ",") + std::to_string(d);
        t = t->content;
    }
    if (t->kind == DDS_TK_SEQUENCE && t->name.empty()) {
        seq = t->bound ? std::to_string(t->bound) : "-1";
        t = t->content;
    }
    if (t->kind == DDS_TK_STRING || t->kind == DDS_TK_WSTRING) {
        p.PushAttribute("type", t->kind == DDS_TK_STRING ? "string" : "wstring");
        if (t->bound)
            str = std::to_string(t->bound);
    } else if (is_primitive_kind(t->kind) && t->kind != DDS_TK_ENUM) {
        p.PushAttribute("type", t->name.c_str());
    } else {
        p.PushAttribute("type", "nonBasic");
        p.PushAttribute("nonBasicTypeName", t->name.c_str());
    }
    if (!str.empty())
        p.PushAttribute("stringMaxLength", str.c_str());
    if (!seq.empty())
        p.PushAttribute("sequenceMaxLength", seq.c_str());
    if (!dims.empty())
        p.PushAttribute("arrayDimensions", dims.c_str());
}

std::string label_text(const DDS_TypeCode *disc, int64_t v)
{
    if (disc->kind == DDS_TK_BOOLEAN)
        return v ? "true" : "false";
    if (disc->kind == DDS_TK_ENUM)
        for (const Enumerator &e : disc->enumerators)
            if (e.value == v)
                return e.name;
    if (disc->kind == DDS_TK_ULONGLONG)
        return std::to_string(uint64_t(v));
    return std::to_string(v);
}

void type_element(tinyxml2::XMLPrinter &p, const std::string &name, const DDS_TypeCode *t)
{
    const char *ext = t->extensibility == Extensibility::Final ? nullptr : extensibility_name(t->extensibility);
    switch (t->kind) {
    case DDS_TK_STRUCT: {
        p.OpenElement("struct");
        p.PushAttribute("name", name.c_str());
        if (t->base)
            p.PushAttribute("baseType", t->base->name.c_str());
        if (ext)
            p.PushAttribute("extensibility", ext);
        const size_t inherited = t->base ? resolve(t->base)->members.size() : 0;
        for (size_t i = inherited; i < t->members.size(); ++i) {
            const Member &m = t->members[i];
            p.OpenElement("member");
            p.PushAttribute("name", m.name.c_str());
            type_attributes(p, m.type);
            if (m.key)
                p.PushAttribute("key", "true");
            if (m.optional)
                p.PushAttribute("optional", "true");
            // Only the ids that the XML rule (previous + 1) would not give.
            if (m.wire_id != (i == 0 ? 0 : t->members[i - 1].wire_id + 1))
                p.PushAttribute("id", std::to_string(m.wire_id).c_str());
            if (!m.default_text.empty())
                p.PushAttribute("default", m.default_text.c_str());
            p.CloseElement();
        }
        break;
    }
    case DDS_TK_UNION:
        p.OpenElement("union");
        p.PushAttribute("name", name.c_str());
        if (ext)
            p.PushAttribute("extensibility", ext);
        p.OpenElement("discriminator");
        type_attributes(p, t->discriminator);
        p.CloseElement();
        for (const Member &m : t->members) {
            p.OpenElement("case");
            for (int64_t l : m.labels) {
                p.OpenElement("caseDiscriminator");
                p.PushAttribute("value", label_text(t->discriminator, l).c_str());
                p.CloseElement();
            }
            if (m.is_default) {
                p.OpenElement("caseDiscriminator");
                p.PushAttribute("value", "default");
                p.CloseElement();
            }
            p.OpenElement("member");
            p.PushAttribute("name", m.name.c_str());
            type_attributes(p, m.type);
            p.CloseElement();
            p.CloseElement();
        }
        break;
    case DDS_TK_ENUM:
        p.OpenElement("enum");
        p.PushAttribute("name", name.c_str());
        for (const Enumerator &e : t->enumerators) {
            p.OpenElement("enumerator");
            p.PushAttribute("name", e.name.c_str());
            p.PushAttribute("value", std::to_string(e.value).c_str());
            p.CloseElement();
        }
        break;
    default: // alias
        p.OpenElement("typedef");
        p.PushAttribute("name", name.c_str());
        type_attributes(p, t->content);
        break;
    }
    p.CloseElement();
}

} // namespace

std::string to_xml(const File &file)
{
    tinyxml2::XMLPrinter p;
    p.PushDeclaration("xml version=\"1.0\" encoding=\"UTF-8\"");
    p.OpenElement("dds");
    p.OpenElement("types");
    std::vector<std::string> open; // modules now open
    for (const Declaration &d : file.declarations) {
        std::vector<std::string> path;
        std::string rest = d.name;
        for (size_t sep; (sep = rest.find("::")) != std::string::npos; rest.erase(0, sep + 2))
            path.push_back(rest.substr(0, sep));
        size_t common = 0;
        while (common < open.size() && common < path.size() && open[common] == path[common])
            ++common;
        for (; open.size() > common; open.pop_back())
            p.CloseElement();
        for (; open.size() < path.size(); open.push_back(path[open.size()])) {
            p.OpenElement("module");
            p.PushAttribute("name", path[open.size()].c_str());
        }
        if (d.constant) {
            p.OpenElement("const");
            p.PushAttribute("name", rest.c_str());
            type_attributes(p, d.type);
            p.PushAttribute("value", d.value.c_str());
            p.CloseElement();
        } else {
            type_element(p, rest, d.type);
        }
    }
    for (; !open.empty(); open.pop_back())
        p.CloseElement();
    p.CloseElement();
    p.CloseElement();
    return p.CStr();
}

} // namespace quelt::mw::idl
