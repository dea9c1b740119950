// Type codes: construction, layout and the value operations every DynamicData relies on.
#include "types/typecode.h"


#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace quelt::mw {

namespace {

uint32_t align_up(uint32_t v, uint32_t a) { return (v + a - 1) & ~(a - 1); }

struct PrimitiveTable {
    DDS_TypeCode types[DDS_TK_SPARSE + 1];
    PrimitiveTable()
    {
        auto set = [this](DDS_TCKind k, const char *name, uint32_t size, uint32_t align) {
            DDS_TypeCode &t = types[k];
            t.kind = k;
            t.name = name;
            t.size = size;
            t.align = align;
            t.finished = true;
        };
        set(DDS_TK_SHORT, "int16", 2, 2);
        set(DDS_TK_LONG, "int32", 4, 4);
        set(DDS_TK_USHORT, "uint16", 2, 2);
        set(DDS_TK_ULONG, "uint32", 4, 4);
        set(DDS_TK_FLOAT, "float32", 4, 4);
        set(DDS_TK_DOUBLE, "float64", 8, 8);
        set(DDS_TK_BOOLEAN, "boolean", 1, 1);
        set(DDS_TK_CHAR, "char8", 1, 1);
        set(DDS_TK_OCTET, "uint8", 1, 1);
        set(DDS_TK_LONGLONG, "int64", 8, 8);
        set(DDS_TK_ULONGLONG, "uint64", 8, 8);
        set(DDS_TK_LONGDOUBLE, "float128", 16, 8);
        set(DDS_TK_WCHAR, "char16", 2, 2);
    }
};

const PrimitiveTable &primitives()
{
    static const PrimitiveTable table;
    return table;
}

struct StringTypes {
    std::mutex lock;
    TypeStore store;
    std::map<std::pair<int, uint32_t>, const DDS_TypeCode *> by_bound;
};

} // namespace

const DDS_TypeCode *primitive_type(DDS_TCKind kind)
{
    if (kind < 0 || kind > DDS_TK_SPARSE)
        return nullptr;
    const DDS_TypeCode *t = &primitives().types[kind];
    return t->finished ? t : nullptr;
}

const DDS_TypeCode *string_type(DDS_TCKind kind, uint32_t bound)
{
    static StringTypes *shared = new StringTypes; // lives as long as the process: types never go away
    std::lock_guard<std::mutex> guard(shared->lock);
    auto it = shared->by_bound.find({kind, bound});
    if (it != shared->by_bound.end())
        return it->second;
    DDS_TypeCode *t = make_string(shared->store, kind, bound);
    shared->store.finish(t);
    shared->by_bound[{kind, bound}] = t;
    return t;
}

DDS_TypeCode *TypeStore::create(DDS_TCKind kind, std::string name)
{
    auto t = std::make_unique<DDS_TypeCode>();
    t->kind = kind;
    t->name = std::move(name);
    types_.push_back(std::move(t));
    return types_.back().get();
}

DDS_TypeCode *make_struct(TypeStore &s, const std::string &name, const DDS_TypeCode *base)
{
    DDS_TypeCode *t = s.create(DDS_TK_STRUCT, name);
    t->base = base;
    if (const DDS_TypeCode *b = resolve(base)) {
        for (const Member &m : b->members)
            t->members.push_back(m);
    }
    return t;
}

static bool name_taken(const DDS_TypeCode *t, const std::string &name)
{
    return std::any_of(t->members.begin(), t->members.end(), [&](const Member &m) { return m.name == name; });
}

const char *extensibility_name(Extensibility e)
{
    switch (e) {
    case Extensibility::Appendable: return "appendable";
    case Extensibility::Mutable: return "mutable";
    default: return "final";
    }
}

const Member *member_by_wire_id(const DDS_TypeCode *st, uint32_t wire_id)
{
    // Ids usually follow declaration order: try the member at that place first.
    const auto &ms = st->members;
    if (wire_id < ms.size() && ms[wire_id].wire_id == wire_id)
        return &ms[wire_id];
    for (const Member &m : ms)
        if (m.wire_id == wire_id)
            return &m;
    return nullptr;
}

bool add_member(DDS_TypeCode *st, const std::string &name, const DDS_TypeCode *type, bool key, bool optional, int64_t wire_id)
{
    if (!type || name_taken(st, name))
        return false;
    if (wire_id == kAutoId)
        wire_id = st->members.empty() ? 0 : int64_t(st->members.back().wire_id) + 1;
    if (wire_id < 0 || wire_id > int64_t(kMaxMemberId) || member_by_wire_id(st, static_cast<uint32_t>(wire_id)))
        return false;
    Member m;
    m.wire_id = static_cast<uint32_t>(wire_id);
    m.name = name;
    m.type = type;
    m.key = key;
    m.optional = optional;
    m.id = static_cast<uint32_t>(st->members.size() + 1);
    st->members.push_back(std::move(m));
    return true;
}

DDS_TypeCode *make_union(TypeStore &s, const std::string &name, const DDS_TypeCode *disc)
{
    DDS_TypeCode *t = s.create(DDS_TK_UNION, name);
    t->discriminator = resolve(disc);
    return t;
}

bool add_case(DDS_TypeCode *un, const std::string &name, const DDS_TypeCode *type, std::vector<int64_t> labels, bool is_default)
{
    if (!type || name_taken(un, name) || (is_default && un->default_case >= 0))
        return false;
    for (const Member &m : un->members)
        for (int64_t l : m.labels)
            if (std::find(labels.begin(), labels.end(), l) != labels.end())
                return false;
    Member m;
    m.name = name;
    m.type = type;
    m.labels = std::move(labels);
    m.is_default = is_default;
    m.id = static_cast<uint32_t>(un->members.size() + 1);
    m.wire_id = m.id; // the discriminator takes id 0
    if (is_default)
        un->default_case = static_cast<int32_t>(un->members.size());
    un->members.push_back(std::move(m));
    return true;
}

DDS_TypeCode *make_enum(TypeStore &s, const std::string &name) { return s.create(DDS_TK_ENUM, name); }

bool add_enumerator(DDS_TypeCode *en, const std::string &name, int32_t value)
{
    for (const Enumerator &e : en->enumerators)
        if (e.name == name || e.value == value)
            return false;
    en->enumerators.push_back({name, value});
    return true;
}

DDS_TypeCode *make_alias(TypeStore &s, const std::string &name, const DDS_TypeCode *target)
{
    DDS_TypeCode *t = s.create(DDS_TK_ALIAS, name);
    t->content = target;
    return t;
}

DDS_TypeCode *make_sequence(TypeStore &s, const DDS_TypeCode *element, uint32_t bound)
{
    DDS_TypeCode *t = s.create(DDS_TK_SEQUENCE);
    t->content = element;
    t->bound = bound;
    return t;
}

DDS_TypeCode *make_array(TypeStore &s, const DDS_TypeCode *element, std::vector<uint32_t> dims)
{
    DDS_TypeCode *t = s.create(DDS_TK_ARRAY);
    t->content = element;
    t->dims = std::move(dims);
    return t;
}

DDS_TypeCode *make_string(TypeStore &s, DDS_TCKind kind, uint32_t bound)
{
    DDS_TypeCode *t = s.create(kind, kind == DDS_TK_STRING ? "string" : "wstring");
    t->bound = bound;
    return t;
}

// ---- layout ----

static std::string finish_rec(DDS_TypeCode *t, std::vector<const DDS_TypeCode *> &path);

// A member's default value (text) as the bytes of its resolved type: integers (decimal or 0x),
// floating point, true/false, a quoted or numeric character, an enumerator's name or value.
static std::string parse_default(Member &m, const std::string &owner)
{
    const std::string &s = m.default_text;
    const DDS_TypeCode *t = m.rtype;
    const std::string bad = "bad default '" + s + "' for member '" + m.name + "' of '" + owner + "': ";
    if (m.optional)
        return "optional member '" + m.name + "' of '" + owner + "' cannot have a default";
    auto put = [&](auto v) { std::memcpy(m.default_bytes, &v, sizeof v); };
    const char *c = s.c_str();
    char *end = nullptr;
    errno = 0;
    switch (t->kind) {
    case DDS_TK_BOOLEAN:
        if (s != "true" && s != "false" && s != "1" && s != "0")
            return bad + "expected true or false";
        put(uint8_t(s == "true" || s == "1"));
        break;
    case DDS_TK_FLOAT:
    case DDS_TK_DOUBLE: {
        const double d = std::strtod(c, &end);
        if (s.empty() || *end || errno)
            return bad + "not a floating-point number";
        t->kind == DDS_TK_FLOAT ? put(float(d)) : put(d);
        break;
    }
    case DDS_TK_ENUM: {
        for (const Enumerator &e : t->enumerators) {
            const bool scoped = s.size() > e.name.size() + 2 && s.compare(s.size() - e.name.size() - 2, std::string::npos, "::" + e.name) == 0;
            if (s == e.name || scoped || s == std::to_string(e.value)) {
                put(e.value);
                m.has_default = true;
                return {};
            }
        }
        return bad + "not an enumerator of '" + t->name + "'";
    }
    case DDS_TK_CHAR:
    case DDS_TK_WCHAR:
        if (s.size() == 3 && s.front() == '\'' && s.back() == '\'') {
            t->kind == DDS_TK_CHAR ? put(uint8_t(s[1])) : put(uint16_t(uint8_t(s[1])));
            break;
        }
        [[fallthrough]];
    case DDS_TK_OCTET: case DDS_TK_SHORT: case DDS_TK_USHORT: case DDS_TK_LONG: case DDS_TK_ULONG:
    case DDS_TK_LONGLONG: case DDS_TK_ULONGLONG: {
        const bool neg = !s.empty() && s[0] == '-';
        const long long sv = neg ? std::strtoll(c, &end, 0) : 0;
        const unsigned long long uv = neg ? 0 : std::strtoull(c, &end, 0);
        if (s.empty() || *end || errno || (s.size() > 1 && s[neg] == '0' && s[neg + 1] != 'x' && s[neg + 1] != 'X'))
            return bad + "not an integer";
        struct Range { long long lo; unsigned long long hi; };
        const Range r = t->kind == DDS_TK_OCTET || t->kind == DDS_TK_CHAR ? Range{0, 0xff}
                        : t->kind == DDS_TK_SHORT                          ? Range{INT16_MIN, INT16_MAX}
                        : t->kind == DDS_TK_USHORT || t->kind == DDS_TK_WCHAR ? Range{0, 0xffff}
                        : t->kind == DDS_TK_LONG                           ? Range{INT32_MIN, INT32_MAX}
                        : t->kind == DDS_TK_ULONG                          ? Range{0, UINT32_MAX}
                        : t->kind == DDS_TK_LONGLONG                       ? Range{INT64_MIN, INT64_MAX}
                                                                           : Range{0, UINT64_MAX};
        if (neg ? sv < r.lo : uv > r.hi)
            return bad + "out of range for " + t->name;
        const uint64_t bits = neg ? uint64_t(sv) : uint64_t(uv);
        switch (t->size) {
        case 1: put(uint8_t(bits)); break;
        case 2: put(uint16_t(bits)); break;
        case 4: put(uint32_t(bits)); break;
        default: put(bits); break;
        }
        break;
    }
    default:
        return "member '" + m.name + "' of '" + owner + "' has a default, but only primitive and enum members can have one";
    }
    m.has_default = true;
    return {};
}

static std::string finish_ref(const DDS_TypeCode *ref, std::vector<const DDS_TypeCode *> &path)
{
    if (!ref)
        return "missing type";
    if (ref->finished)
        return {};
    // Types reached from a store are mutable until finished.
    return finish_rec(const_cast<DDS_TypeCode *>(ref), path);
}

static std::string finish_rec(DDS_TypeCode *t, std::vector<const DDS_TypeCode *> &path)
{
    if (t->finished)
        return {};
    if (std::find(path.begin(), path.end(), t) != path.end())
        return "type '" + t->name + "' contains itself";
    path.push_back(t);
    std::string err;
    switch (t->kind) {
    case DDS_TK_STRING:
    case DDS_TK_WSTRING:
        t->size = sizeof(BufRep);
        t->align = alignof(BufRep);
        t->trivial = false;
        break;
    case DDS_TK_ENUM:
        if (t->enumerators.empty())
            err = "enum '" + t->name + "' has no enumerator";
        t->size = 4;
        t->align = 4;
        t->has_default_nonzero = !t->enumerators.empty() && t->enumerators[0].value != 0;
        break;
    case DDS_TK_ALIAS:
        if ((err = finish_ref(t->content, path)).empty()) {
            const DDS_TypeCode *r = resolve(t->content);
            t->rcontent = r;
            t->size = r->size;
            t->align = r->align;
            t->trivial = r->trivial;
            t->has_default_nonzero = r->has_default_nonzero;
        }
        break;
    case DDS_TK_SEQUENCE:
        // A sequence's elements live on the heap: a type may hold a sequence of itself only
        // through this indirection, which we still refuse to keep sizes finite.
        if ((err = finish_ref(t->content, path)).empty()) {
            t->rcontent = resolve(t->content);
            t->size = sizeof(BufRep);
            t->align = alignof(BufRep);
            t->trivial = false;
        }
        break;
    case DDS_TK_ARRAY:
        if (t->dims.empty())
            err = "array without dimensions";
        if (err.empty() && (err = finish_ref(t->content, path)).empty()) {
            uint64_t n = 1;
            for (uint32_t d : t->dims) {
                if (d == 0) {
                    err = "array dimension 0";
                    break;
                }
                n *= d;
                if (n > (1u << 24)) {
                    err = "array too large";
                    break;
                }
            }
            const DDS_TypeCode *r = resolve(t->content);
            t->rcontent = r;
            t->element_count = static_cast<uint32_t>(n);
            t->size = static_cast<uint32_t>(n * r->size);
            t->align = r->align;
            t->trivial = r->trivial;
            t->has_default_nonzero = r->has_default_nonzero;
        }
        break;
    case DDS_TK_STRUCT: {
        uint32_t off = 0, al = 1;
        if (t->base && (err = finish_ref(t->base, path)).empty() && resolve(t->base)->kind != DDS_TK_STRUCT)
            err = "base type of '" + t->name + "' is not a struct";
        for (Member &m : t->members) {
            if (!err.empty())
                break;
            if (!(err = finish_ref(m.type, path)).empty())
                break;
            m.rtype = resolve(m.type);
            if (!m.default_text.empty() && !(err = parse_default(m, t->name)).empty())
                break;
            if (m.has_default)
                t->has_default_nonzero = true;
            if (m.optional) {
                m.flag_offset = off;
                off += 1;
            }
            off = align_up(off, m.rtype->align);
            m.offset = off;
            off += m.rtype->size;
            al = std::max(al, m.rtype->align);
            if (!m.rtype->trivial)
                t->trivial = false;
            if (m.rtype->has_default_nonzero && !m.optional)
                t->has_default_nonzero = true;
            if (m.key)
                t->keyed = true;
        }
        t->align = al;
        t->size = std::max<uint32_t>(align_up(off, al), 1);
        break;
    }
    case DDS_TK_UNION: {
        if (!t->discriminator)
            err = "union '" + t->name + "' without discriminator";
        else if (!is_primitive_kind(t->discriminator->kind) || t->discriminator->kind == DDS_TK_FLOAT ||
                 t->discriminator->kind == DDS_TK_DOUBLE || t->discriminator->kind == DDS_TK_LONGDOUBLE)
            err = "union '" + t->name + "' has a discriminator that is not integral";
        else if (t->members.empty())
            err = "union '" + t->name + "' has no case";
        uint32_t sz = 0, al = alignof(UnionRep);
        for (Member &m : t->members) {
            if (!err.empty())
                break;
            if (!(err = finish_ref(m.type, path)).empty())
                break;
            m.rtype = resolve(m.type);
            sz = std::max(sz, m.rtype->size);
            al = std::max(al, m.rtype->align);
        }
        t->payload_offset = align_up(sizeof(UnionRep), al);
        t->align = al;
        t->size = align_up(t->payload_offset + sz, al);
        for (Member &m : t->members)
            m.offset = t->payload_offset;
        t->trivial = false;
        t->has_default_nonzero = true;
        break;
    }
    default:
        if (!primitive_type(t->kind))
            err = "unsupported type kind";
        break;
    }
    path.pop_back();
    if (!err.empty())
        return err;
    t->finished = true;
    return {};
}

std::string TypeStore::finish(DDS_TypeCode *t)
{
    std::vector<const DDS_TypeCode *> path;
    return finish_rec(t, path);
}

// ---- heap buffers ----

static uint32_t buf_unit(const DDS_TypeCode *elem) { return elem->size; }

static bool is_text(const DDS_TypeCode *elem) { return elem->kind == DDS_TK_CHAR || elem->kind == DDS_TK_WCHAR; }

static bool buf_reserve(BufRep *b, const DDS_TypeCode *elem, uint32_t n, bool text)
{
    const uint32_t need = text ? n + 1 : n;
    if (need <= b->cap)
        return true;
    uint64_t cap = std::max<uint64_t>({need, uint64_t(b->cap) * 2, 4});
    const uint64_t bytes = cap * buf_unit(elem);
    if (bytes > 0x7fffffffu)
        return false;
    // Elements hold no pointers into themselves, so moving them with realloc is safe.
    void *data = std::realloc(b->data, static_cast<size_t>(bytes));
    if (!data)
        return false;
    b->data = data;
    b->cap = static_cast<uint32_t>(cap);
    return true;
}

bool buf_resize(BufRep *b, const DDS_TypeCode *elem, uint32_t n)
{
    const bool text = is_text(elem);
    const uint32_t unit = buf_unit(elem);
    if (n > b->len) {
        if (!buf_reserve(b, elem, n, text))
            return false;
        auto *base = static_cast<unsigned char *>(b->data);
        if (elem->has_default_nonzero) {
            for (uint32_t i = b->len; i < n; ++i)
                value_init(elem, base + size_t(i) * unit);
        } else {
            std::memset(base + size_t(b->len) * unit, 0, size_t(n - b->len) * unit);
        }
    } else if (n < b->len) {
        auto *base = static_cast<unsigned char *>(b->data);
        if (!elem->trivial)
            for (uint32_t i = n; i < b->len; ++i)
                value_fini(elem, base + size_t(i) * unit);
    }
    b->len = n;
    if (text && b->data)
        std::memset(static_cast<unsigned char *>(b->data) + size_t(n) * unit, 0, unit);
    return true;
}

void buf_free(BufRep *b, const DDS_TypeCode *elem)
{
    if (b->data && !elem->trivial) {
        auto *base = static_cast<unsigned char *>(b->data);
        for (uint32_t i = 0; i < b->len; ++i)
            value_fini(elem, base + size_t(i) * elem->size);
    }
    std::free(b->data);
    *b = BufRep{nullptr, 0, 0};
}

bool str_assign(BufRep *b, const char *s, size_t n)
{
    if (n > 0x7ffffff0u || !buf_reserve(b, primitive_type(DDS_TK_CHAR), static_cast<uint32_t>(n), true))
        return false;
    std::memmove(b->data, s, n);
    static_cast<char *>(b->data)[n] = '\0';
    b->len = static_cast<uint32_t>(n);
    return true;
}

bool wstr_assign(BufRep *b, const char16_t *s, size_t n)
{
    if (n > 0x3ffffff0u || !buf_reserve(b, primitive_type(DDS_TK_WCHAR), static_cast<uint32_t>(n), true))
        return false;
    std::memmove(b->data, s, n * sizeof(char16_t));
    static_cast<char16_t *>(b->data)[n] = 0;
    b->len = static_cast<uint32_t>(n);
    return true;
}

// ---- unions ----

int32_t union_case_for(const DDS_TypeCode *u, int64_t disc)
{
    for (size_t i = 0; i < u->members.size(); ++i)
        for (int64_t l : u->members[i].labels)
            if (l == disc)
                return static_cast<int32_t>(i);
    return u->default_case;
}

static bool label_used(const DDS_TypeCode *u, int64_t v)
{
    for (const Member &m : u->members)
        if (std::find(m.labels.begin(), m.labels.end(), v) != m.labels.end())
            return true;
    return false;
}

// A discriminator value that selects the default case: the first enumerator, or the smallest
// non-negative number, that no label names.
static int64_t default_disc(const DDS_TypeCode *u)
{
    const DDS_TypeCode *d = u->discriminator;
    if (d->kind == DDS_TK_ENUM) {
        for (const Enumerator &e : d->enumerators)
            if (!label_used(u, e.value))
                return e.value;
    }
    int64_t v = 0;
    while (label_used(u, v))
        ++v;
    return v;
}

void union_select(const DDS_TypeCode *u, void *p, int32_t index)
{
    auto *rep = static_cast<UnionRep *>(p);
    auto *payload = static_cast<unsigned char *>(p) + u->payload_offset;
    if (rep->selected >= 0 && rep->selected != index)
        value_fini(u->members[rep->selected].rtype, payload);
    if (rep->selected != index) {
        std::memset(payload, 0, u->size - u->payload_offset);
        if (index >= 0)
            value_init(u->members[index].rtype, payload);
        rep->selected = index;
    }
    if (index >= 0) {
        const Member &m = u->members[index];
        rep->disc = m.labels.empty() ? default_disc(u) : m.labels[0];
    }
}

// ---- values ----

void value_init(const DDS_TypeCode *t, void *p)
{
    std::memset(p, 0, t->size);
    if (!t->has_default_nonzero)
        return;
    auto *b = static_cast<unsigned char *>(p);
    switch (t->kind) {
    case DDS_TK_ENUM: {
        int32_t v = t->enumerators[0].value;
        std::memcpy(p, &v, 4);
        break;
    }
    case DDS_TK_STRUCT:
        for (const Member &m : t->members) {
            if (m.has_default)
                std::memcpy(b + m.offset, m.default_bytes, m.rtype->size);
            else if (!m.optional && m.rtype->has_default_nonzero)
                value_init(m.rtype, b + m.offset);
        }
        break;
    case DDS_TK_ARRAY:
        for (uint32_t i = 0; i < t->element_count; ++i)
            value_init(t->rcontent, b + size_t(i) * t->rcontent->size);
        break;
    case DDS_TK_UNION: {
        auto *rep = static_cast<UnionRep *>(p);
        const DDS_TypeCode *d = t->discriminator;
        int64_t disc = d->kind == DDS_TK_ENUM ? d->enumerators[0].value : 0;
        rep->selected = -1;
        int32_t idx = union_case_for(t, disc);
        if (idx >= 0)
            union_select(t, p, idx);
        rep->disc = disc;
        break;
    }
    default:
        break;
    }
}

void value_fini(const DDS_TypeCode *t, void *p)
{
    if (t->trivial)
        return;
    auto *b = static_cast<unsigned char *>(p);
    switch (t->kind) {
    case DDS_TK_STRING:
    case DDS_TK_WSTRING: {
        auto *r = static_cast<BufRep *>(p);
        std::free(r->data);
        *r = BufRep{nullptr, 0, 0};
        break;
    }
    case DDS_TK_SEQUENCE:
        buf_free(static_cast<BufRep *>(p), t->rcontent);
        break;
    case DDS_TK_STRUCT:
        for (const Member &m : t->members) {
            if (m.rtype->trivial || (m.optional && !b[m.flag_offset]))
                continue;
            value_fini(m.rtype, b + m.offset);
        }
        break;
    case DDS_TK_ARRAY:
        for (uint32_t i = 0; i < t->element_count; ++i)
            value_fini(t->rcontent, b + size_t(i) * t->rcontent->size);
        break;
    case DDS_TK_UNION: {
        auto *rep = static_cast<UnionRep *>(p);
        if (rep->selected >= 0)
            value_fini(t->members[rep->selected].rtype, b + t->payload_offset);
        rep->selected = -1;
        break;
    }
    default:
        break;
    }
}

void value_copy(const DDS_TypeCode *t, void *dst, const void *src)
{
    if (dst == src)
        return;
    if (t->trivial) {
        std::memcpy(dst, src, t->size);
        return;
    }
    auto *d = static_cast<unsigned char *>(dst);
    auto *s = static_cast<const unsigned char *>(src);
    switch (t->kind) {
    case DDS_TK_STRING: {
        auto *sr = static_cast<const BufRep *>(src);
        str_assign(static_cast<BufRep *>(dst), str_cstr(sr), sr->len);
        break;
    }
    case DDS_TK_WSTRING: {
        auto *sr = static_cast<const BufRep *>(src);
        static const char16_t empty = 0;
        wstr_assign(static_cast<BufRep *>(dst), sr->data ? static_cast<const char16_t *>(sr->data) : &empty, sr->len);
        break;
    }
    case DDS_TK_SEQUENCE: {
        auto *dr = static_cast<BufRep *>(dst);
        auto *sr = static_cast<const BufRep *>(src);
        const DDS_TypeCode *e = t->rcontent;
        if (!buf_resize(dr, e, sr->len))
            break;
        if (e->trivial) {
            if (sr->len)
                std::memcpy(dr->data, sr->data, size_t(sr->len) * e->size);
        } else {
            for (uint32_t i = 0; i < sr->len; ++i)
                value_copy(e, static_cast<unsigned char *>(dr->data) + size_t(i) * e->size,
                           static_cast<const unsigned char *>(sr->data) + size_t(i) * e->size);
        }
        break;
    }
    case DDS_TK_STRUCT:
        for (const Member &m : t->members) {
            if (m.optional) {
                if (!s[m.flag_offset]) {
                    if (d[m.flag_offset])
                        value_fini(m.rtype, d + m.offset);
                    d[m.flag_offset] = 0;
                    continue;
                }
                if (!d[m.flag_offset]) {
                    value_init(m.rtype, d + m.offset);
                    d[m.flag_offset] = 1;
                }
            }
            value_copy(m.rtype, d + m.offset, s + m.offset);
        }
        break;
    case DDS_TK_ARRAY:
        for (uint32_t i = 0; i < t->element_count; ++i)
            value_copy(t->rcontent, d + size_t(i) * t->rcontent->size, s + size_t(i) * t->rcontent->size);
        break;
    case DDS_TK_UNION: {
        auto *sr = static_cast<const UnionRep *>(src);
        union_select(t, dst, sr->selected);
        static_cast<UnionRep *>(dst)->disc = sr->disc;
        if (sr->selected >= 0)
            value_copy(t->members[sr->selected].rtype, d + t->payload_offset, s + t->payload_offset);
        break;
    }
    default:
        std::memcpy(dst, src, t->size);
        break;
    }
}

bool value_equal(const DDS_TypeCode *t, const void *a, const void *b)
{
    auto *x = static_cast<const unsigned char *>(a);
    auto *y = static_cast<const unsigned char *>(b);
    switch (t->kind) {
    case DDS_TK_STRING:
    case DDS_TK_WSTRING: {
        auto *ra = static_cast<const BufRep *>(a);
        auto *rb = static_cast<const BufRep *>(b);
        const size_t unit = t->kind == DDS_TK_STRING ? 1 : 2;
        return ra->len == rb->len && (ra->len == 0 || std::memcmp(ra->data, rb->data, ra->len * unit) == 0);
    }
    case DDS_TK_SEQUENCE: {
        auto *ra = static_cast<const BufRep *>(a);
        auto *rb = static_cast<const BufRep *>(b);
        if (ra->len != rb->len)
            return false;
        const DDS_TypeCode *e = t->rcontent;
        for (uint32_t i = 0; i < ra->len; ++i)
            if (!value_equal(e, static_cast<const unsigned char *>(ra->data) + size_t(i) * e->size,
                             static_cast<const unsigned char *>(rb->data) + size_t(i) * e->size))
                return false;
        return true;
    }
    case DDS_TK_STRUCT:
        for (const Member &m : t->members) {
            if (m.optional) {
                if (x[m.flag_offset] != y[m.flag_offset])
                    return false;
                if (!x[m.flag_offset])
                    continue;
            }
            if (!value_equal(m.rtype, x + m.offset, y + m.offset))
                return false;
        }
        return true;
    case DDS_TK_ARRAY:
        for (uint32_t i = 0; i < t->element_count; ++i)
            if (!value_equal(t->rcontent, x + size_t(i) * t->rcontent->size, y + size_t(i) * t->rcontent->size))
                return false;
        return true;
    case DDS_TK_UNION: {
        auto *ra = static_cast<const UnionRep *>(a);
        auto *rb = static_cast<const UnionRep *>(b);
        if (ra->selected != rb->selected || ra->disc != rb->disc)
            return false;
        return ra->selected < 0 ||
               value_equal(t->members[ra->selected].rtype, x + t->payload_offset, y + t->payload_offset);
    }
    default:
        return std::memcmp(a, b, t->size) == 0;
    }
}

} // namespace quelt::mw

// ---- C accessors ----
using namespace quelt::mw;

extern "C" {

DDS_TCKind DDS_TypeCode_kind(const DDS_TypeCode *tc) { return tc ? tc->kind : DDS_TK_NULL; }
const char *DDS_TypeCode_name(const DDS_TypeCode *tc) { return tc ? tc->name.c_str() : nullptr; }
DDS_UnsignedLong DDS_TypeCode_member_count(const DDS_TypeCode *tc)
{
    tc = resolve(tc);
    if (!tc)
        return 0;
    if (tc->kind == DDS_TK_ENUM)
        return static_cast<DDS_UnsignedLong>(tc->enumerators.size());
    return static_cast<DDS_UnsignedLong>(tc->members.size());
}
const char *DDS_TypeCode_member_name(const DDS_TypeCode *tc, DDS_UnsignedLong index)
{
    tc = resolve(tc);
    if (!tc)
        return nullptr;
    if (tc->kind == DDS_TK_ENUM)
        return index < tc->enumerators.size() ? tc->enumerators[index].name.c_str() : nullptr;
    return index < tc->members.size() ? tc->members[index].name.c_str() : nullptr;
}
const DDS_TypeCode *DDS_TypeCode_member_type(const DDS_TypeCode *tc, DDS_UnsignedLong index)
{
    tc = resolve(tc);
    return tc && index < tc->members.size() ? tc->members[index].type : nullptr;
}
DDS_Boolean DDS_TypeCode_is_member_key(const DDS_TypeCode *tc, DDS_UnsignedLong index)
{
    tc = resolve(tc);
    return tc && index < tc->members.size() && tc->members[index].key;
}
DDS_Boolean DDS_TypeCode_is_member_optional(const DDS_TypeCode *tc, DDS_UnsignedLong index)
{
    tc = resolve(tc);
    return tc && index < tc->members.size() && tc->members[index].optional;
}
const DDS_TypeCode *DDS_TypeCode_content_type(const DDS_TypeCode *tc) { return tc ? tc->content : nullptr; }
DDS_UnsignedLong DDS_TypeCode_length(const DDS_TypeCode *tc)
{
    tc = resolve(tc);
    if (!tc)
        return 0;
    return tc->kind == DDS_TK_ARRAY ? tc->element_count : tc->bound;
}

DDS_Boolean DDS_TypeCode_enumerator_value(const DDS_TypeCode *tc, const char *name, DDS_Long *value)
{
    tc = resolve(tc);
    if (!tc || tc->kind != DDS_TK_ENUM || !name || !value)
        return DDS_BOOLEAN_FALSE;
    for (const auto &e : tc->enumerators) {
        if (e.name == name) {
            *value = e.value;
            return DDS_BOOLEAN_TRUE;
        }
    }
    return DDS_BOOLEAN_FALSE;
}

} // extern "C"
