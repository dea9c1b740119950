// DynamicData: typed access to members by name or id, binding of complex members, copy, compare.
#include "types/dynamicdata_impl.h"

#include "dds/dds_log.h"
#include "dds/dds_string.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

using namespace quelt::mw;

extern "C" const DDS_DynamicDataProperty_t DDS_DYNAMIC_DATA_PROPERTY_DEFAULT = DDS_DynamicDataProperty_t_INITIALIZER;

namespace quelt::mw {

namespace {

const Member *find_member(const DDS_TypeCode *t, std::string_view name, int32_t &index)
{
    const auto &ms = t->members;
    for (size_t i = 0; i < ms.size(); ++i) {
        if (ms[i].name.size() == name.size() && std::memcmp(ms[i].name.data(), name.data(), name.size()) == 0) {
            index = static_cast<int32_t>(i);
            return &ms[i];
        }
    }
    return nullptr;
}

// Steps from the value (t, p) into member/case `index` of a struct or union. A null p (an absent
// value reached in Info mode) stays null: members of absent values still have a kind, which is
// what a setter asks before it makes them exist.
DDS_ReturnCode_t step_member(const DDS_TypeCode *&t, unsigned char *&p, int32_t index, Access access, [[maybe_unused]] bool last, Location &out)
{
    const Member &m = t->members[index];
    out.member = &m;
    out.container = t;
    out.flag = nullptr;
    if (t->kind == DDS_TK_STRUCT) {
        if (p && m.optional) {
            unsigned char *flag = p + m.flag_offset;
            out.flag = flag;
            if (!*flag) {
                if (access == Access::Write) {
                    value_init(m.rtype, p + m.offset);
                    *flag = 1;
                } else if (access == Access::Info) {
                    t = m.rtype;
                    p = nullptr;
                    return DDS_RETCODE_OK;
                } else {
                    return DDS_RETCODE_NO_DATA;
                }
            }
        }
        t = m.rtype;
        p = p ? p + m.offset : nullptr;
        return DDS_RETCODE_OK;
    }
    // Union: reaching an unselected case selects it on write.
    if (p) {
        auto *rep = reinterpret_cast<UnionRep *>(p);
        if (rep->selected != index) {
            if (access == Access::Write) {
                union_select(t, p, index);
            } else if (access == Access::Info) {
                t = m.rtype;
                p = nullptr;
                return DDS_RETCODE_OK;
            } else {
                return DDS_RETCODE_NO_DATA;
            }
        }
    }
    p = p ? p + t->payload_offset : nullptr;
    t = m.rtype;
    return DDS_RETCODE_OK;
}

constexpr uint32_t kMaxGrowthByName = 1u << 20;

// Steps into element `index` (0-based, flattened for arrays) of a sequence or array.
DDS_ReturnCode_t step_element(const DDS_TypeCode *&t, unsigned char *&p, uint32_t index, Access access, [[maybe_unused]] bool last, Location &out)
{
    out.member = nullptr;
    out.container = t;
    out.index = index;
    out.flag = nullptr;
    const DDS_TypeCode *e = t->rcontent;
    if (t->kind == DDS_TK_ARRAY) {
        if (index >= t->element_count)
            return DDS_RETCODE_BAD_PARAMETER;
        t = e;
        p = p ? p + size_t(index) * e->size : nullptr;
        return DDS_RETCODE_OK;
    }
    if (t->bound && index >= t->bound)
        return DDS_RETCODE_BAD_PARAMETER;
    if (p) {
        auto *b = reinterpret_cast<BufRep *>(p);
        if (index >= b->len) {
            if (access == Access::Write) {
                // An unbounded sequence grows to the element named; a mistyped index would
                // otherwise allocate gigabytes of default elements.
                if (index - b->len >= kMaxGrowthByName) {
                    QueltLog_error("DDS_DynamicData", "element %u of a sequence of %u elements: a set grows an "
                                   "unbounded sequence by at most %u elements at a time",
                                   index + 1, b->len, kMaxGrowthByName);
                    return DDS_RETCODE_BAD_PARAMETER;
                }
                if (!buf_resize(b, e, index + 1))
                    return DDS_RETCODE_OUT_OF_RESOURCES;
            } else if (access == Access::Info) {
                t = e;
                p = nullptr;
                return DDS_RETCODE_OK;
            } else {
                return DDS_RETCODE_BAD_PARAMETER;
            }
        }
        p = static_cast<unsigned char *>(b->data) + size_t(index) * e->size;
    }
    t = e;
    return DDS_RETCODE_OK;
}

bool parse_index(std::string_view s, size_t &pos, uint32_t &value)
{
    // s[pos] == '['
    size_t i = pos + 1;
    uint64_t v = 0;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        v = v * 10 + uint64_t(s[i] - '0');
        if (v > 0xffffffffu)
            return false;
        ++i;
        ++digits;
    }
    if (digits == 0 || i >= s.size() || s[i] != ']')
        return false;
    value = static_cast<uint32_t>(v);
    pos = i + 1;
    return true;
}

} // namespace

DDS_ReturnCode_t locate(const DDS_DynamicData *data, const char *name, DDS_DynamicDataMemberId id, Access access, Location &out)
{
    if (!data || !data->type || !data->p)
        return DDS_RETCODE_BAD_PARAMETER;
    if (access == Access::Write && data->bound_child)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    const DDS_TypeCode *t = data->type;
    unsigned char *p = data->p;
    out = Location{};

    if (!name || !*name) {
        if (id == 0)
            return DDS_RETCODE_BAD_PARAMETER;
        DDS_ReturnCode_t rc;
        switch (t->kind) {
        case DDS_TK_STRUCT:
        case DDS_TK_UNION:
            if (id > t->members.size())
                return DDS_RETCODE_BAD_PARAMETER;
            rc = step_member(t, p, static_cast<int32_t>(id - 1), access, true, out);
            break;
        case DDS_TK_SEQUENCE:
        case DDS_TK_ARRAY:
            rc = step_element(t, p, id - 1, access, true, out);
            break;
        default:
            return DDS_RETCODE_BAD_PARAMETER;
        }
        if (rc != DDS_RETCODE_OK)
            return rc;
        out.type = t;
        out.p = p;
        return DDS_RETCODE_OK;
    }

    const std::string_view s(name);
    size_t pos = 0;
    while (pos < s.size()) {
        // One segment: an optional member name, then any number of [index].
        size_t end = pos;
        while (end < s.size() && s[end] != '.' && s[end] != '[')
            ++end;
        if (end > pos) {
            if (t->kind != DDS_TK_STRUCT && t->kind != DDS_TK_UNION)
                return DDS_RETCODE_BAD_PARAMETER;
            int32_t index = -1;
            if (!find_member(t, s.substr(pos, end - pos), index))
                return DDS_RETCODE_BAD_PARAMETER;
            const bool last = end == s.size();
            DDS_ReturnCode_t rc = step_member(t, p, index, access, last, out);
            if (rc != DDS_RETCODE_OK)
                return rc;
            if (!p && !last && access != Access::Info)
                return DDS_RETCODE_NO_DATA;
        } else if (end == pos && end < s.size() && s[end] == '.') {
            return DDS_RETCODE_BAD_PARAMETER; // empty segment
        }
        pos = end;
        while (pos < s.size() && s[pos] == '[') {
            uint32_t idx[8];
            size_t n = 0;
            while (pos < s.size() && s[pos] == '[' && n < 8) {
                if (!parse_index(s, pos, idx[n]) || idx[n] == 0)
                    return DDS_RETCODE_BAD_PARAMETER;
                ++n;
            }
            while (n > 0) {
                size_t used = 1;
                uint32_t flat;
                if (t->kind == DDS_TK_ARRAY) {
                    // All dimensions at once (row-major), or one flattened index.
                    const size_t nd = t->dims.size();
                    if (n >= nd) {
                        uint64_t f = 0;
                        for (size_t k = 0; k < nd; ++k) {
                            if (idx[k] > t->dims[k])
                                return DDS_RETCODE_BAD_PARAMETER;
                            f = f * t->dims[k] + (idx[k] - 1);
                        }
                        used = nd;
                        flat = static_cast<uint32_t>(f);
                    } else if (n == 1) {
                        flat = idx[0] - 1;
                    } else {
                        return DDS_RETCODE_BAD_PARAMETER;
                    }
                } else if (t->kind == DDS_TK_SEQUENCE) {
                    flat = idx[0] - 1;
                } else {
                    return DDS_RETCODE_BAD_PARAMETER;
                }
                const bool last = pos == s.size() && n == used;
                DDS_ReturnCode_t rc = step_element(t, p, flat, access, last, out);
                if (rc != DDS_RETCODE_OK)
                    return rc;
                if (!p && !last && access != Access::Info)
                    return DDS_RETCODE_NO_DATA;
                for (size_t k = used; k < n; ++k)
                    idx[k - used] = idx[k];
                n -= used;
            }
        }
        if (pos < s.size()) {
            if (s[pos] != '.' || pos + 1 == s.size())
                return DDS_RETCODE_BAD_PARAMETER;
            ++pos;
        }
    }
    out.type = t;
    out.p = p;
    return DDS_RETCODE_OK;
}

} // namespace quelt::mw

namespace {

bool types_compatible(const DDS_TypeCode *a, const DDS_TypeCode *b)
{
    if (a == b)
        return true;
    if (!a || !b || a->kind != b->kind || a->size != b->size || a->name != b->name || a->bound != b->bound ||
        a->dims != b->dims || a->members.size() != b->members.size() || a->enumerators.size() != b->enumerators.size())
        return false;
    for (size_t i = 0; i < a->members.size(); ++i) {
        const Member &x = a->members[i], &y = b->members[i];
        if (x.name != y.name || x.optional != y.optional || x.key != y.key || x.labels != y.labels ||
            !types_compatible(x.rtype, y.rtype))
            return false;
    }
    for (size_t i = 0; i < a->enumerators.size(); ++i)
        if (a->enumerators[i].value != b->enumerators[i].value)
            return false;
    if (a->kind == DDS_TK_UNION && !types_compatible(a->discriminator, b->discriminator))
        return false;
    return !a->rcontent || types_compatible(a->rcontent, b->rcontent);
}

// Numeric kinds a getter of `want` may read without loss.
bool readable_as(DDS_TCKind have, DDS_TCKind want)
{
    if (have == want)
        return true;
    switch (want) {
    case DDS_TK_SHORT:
        return have == DDS_TK_OCTET;
    case DDS_TK_USHORT:
        return have == DDS_TK_OCTET;
    case DDS_TK_LONG:
        return have == DDS_TK_SHORT || have == DDS_TK_USHORT || have == DDS_TK_OCTET || have == DDS_TK_ENUM;
    case DDS_TK_ULONG:
        return have == DDS_TK_USHORT || have == DDS_TK_OCTET;
    case DDS_TK_LONGLONG:
        return have == DDS_TK_LONG || have == DDS_TK_SHORT || have == DDS_TK_USHORT || have == DDS_TK_ULONG ||
               have == DDS_TK_OCTET || have == DDS_TK_ENUM;
    case DDS_TK_ULONGLONG:
        return have == DDS_TK_ULONG || have == DDS_TK_USHORT || have == DDS_TK_OCTET;
    case DDS_TK_DOUBLE:
        return have == DDS_TK_FLOAT || have == DDS_TK_LONG || have == DDS_TK_SHORT || have == DDS_TK_USHORT ||
               have == DDS_TK_ULONG || have == DDS_TK_OCTET;
    default:
        return false;
    }
}

template <typename T> T load(const unsigned char *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Reads a primitive value of kind `have` widened to T.
template <typename T> T read_widened(DDS_TCKind have, const unsigned char *p)
{
    if constexpr (!std::is_arithmetic_v<T>) {
        return T{};
    } else {
    switch (have) {
    case DDS_TK_SHORT: return static_cast<T>(load<int16_t>(p));
    case DDS_TK_USHORT: return static_cast<T>(load<uint16_t>(p));
    case DDS_TK_LONG:
    case DDS_TK_ENUM: return static_cast<T>(load<int32_t>(p));
    case DDS_TK_ULONG: return static_cast<T>(load<uint32_t>(p));
    case DDS_TK_OCTET: return static_cast<T>(*p);
    case DDS_TK_FLOAT: return static_cast<T>(load<float>(p));
    case DDS_TK_DOUBLE: return static_cast<T>(load<double>(p));
    case DDS_TK_LONGLONG: return static_cast<T>(load<int64_t>(p));
    case DDS_TK_ULONGLONG: return static_cast<T>(load<uint64_t>(p));
    default: return T{};
    }
    }
}

template <typename T> DDS_ReturnCode_t get_prim(const DDS_DynamicData *self, T *value, const char *name, DDS_DynamicDataMemberId id, DDS_TCKind want)
{
    if (!value)
        return DDS_RETCODE_BAD_PARAMETER;
    Location loc;
    DDS_ReturnCode_t rc = locate(self, name, id, Access::Read, loc);
    if (rc != DDS_RETCODE_OK)
        return rc;
    const DDS_TCKind have = loc.type->kind;
    if (have == want) {
        std::memcpy(value, loc.p, sizeof(T));
        return DDS_RETCODE_OK;
    }
    if (!readable_as(have, want))
        return DDS_RETCODE_BAD_PARAMETER;
    *value = read_widened<T>(have, loc.p);
    return DDS_RETCODE_OK;
}

template <typename T> DDS_ReturnCode_t set_prim(DDS_DynamicData *self, const char *name, DDS_DynamicDataMemberId id, DDS_TCKind want, T value)
{
    Location loc;
    DDS_ReturnCode_t rc = locate(self, name, id, Access::Write, loc);
    if (rc != DDS_RETCODE_OK)
        return rc;
    const DDS_TCKind have = loc.type->kind;
    if (have != want) {
        // Enumerations are set through their ordinal (a long), and only to a declared value.
        if constexpr (!std::is_same_v<T, DDS_Long>) {
            return DDS_RETCODE_BAD_PARAMETER;
        } else {
            if (!(have == DDS_TK_ENUM && want == DDS_TK_LONG))
                return DDS_RETCODE_BAD_PARAMETER;
            bool known = false;
            for (const Enumerator &e : loc.type->enumerators)
                known = known || e.value == value;
            if (!known)
                return DDS_RETCODE_BAD_PARAMETER;
        }
    }
    if (want == DDS_TK_BOOLEAN) {
        unsigned char b = (*reinterpret_cast<const unsigned char *>(&value)) ? 1 : 0;
        *loc.p = b;
        return DDS_RETCODE_OK;
    }
    std::memcpy(loc.p, &value, sizeof(T));
    return DDS_RETCODE_OK;
}

// The member of a text kind that name or id designates; another kind is a bad parameter.
DDS_ReturnCode_t locate_text(const DDS_DynamicData *self, const char *name, DDS_DynamicDataMemberId id, Access access,
                             DDS_TCKind kind, Location &loc)
{
    const DDS_ReturnCode_t rc = locate(self, name, id, access, loc);
    if (rc != DDS_RETCODE_OK)
        return rc;
    return loc.type->kind == kind ? DDS_RETCODE_OK : DDS_RETCODE_BAD_PARAMETER;
}

// The string and wide-string getters: a null *value gets a new text (alloc); a given one must
// have room for the text and its terminator, *size characters, else *size says what is needed.
template <typename Ch, typename Alloc>
DDS_ReturnCode_t get_text(const DDS_DynamicData *self, Ch **value, DDS_UnsignedLong *size, const char *name,
                          DDS_DynamicDataMemberId id, DDS_TCKind kind, Alloc alloc)
{
    if (!value || !size)
        return DDS_RETCODE_BAD_PARAMETER;
    Location loc;
    const DDS_ReturnCode_t rc = locate_text(self, name, id, Access::Read, kind, loc);
    if (rc != DDS_RETCODE_OK)
        return rc;
    const auto *b = reinterpret_cast<const BufRep *>(loc.p);
    const DDS_UnsignedLong need = b->len + 1;
    if (!*value) {
        *value = alloc(b->len);
        if (!*value)
            return DDS_RETCODE_OUT_OF_RESOURCES;
    } else if (*size < need) {
        *size = need;
        return DDS_RETCODE_OUT_OF_RESOURCES;
    }
    if (b->len)
        std::memcpy(*value, b->data, size_t(b->len) * sizeof(Ch));
    (*value)[b->len] = 0;
    *size = need;
    return DDS_RETCODE_OK;
}

// The string and wide-string setters: a text longer than the member's bound is refused.
template <typename Ch, typename Assign>
DDS_ReturnCode_t set_text(DDS_DynamicData *self, const char *name, DDS_DynamicDataMemberId id, DDS_TCKind kind,
                          const Ch *value, Assign assign)
{
    if (!value)
        return DDS_RETCODE_BAD_PARAMETER;
    Location loc;
    const DDS_ReturnCode_t rc = locate_text(self, name, id, Access::Write, kind, loc);
    if (rc != DDS_RETCODE_OK)
        return rc;
    size_t n = 0;
    while (value[n])
        ++n;
    if (loc.type->bound && n > loc.type->bound)
        return DDS_RETCODE_BAD_PARAMETER;
    return assign(reinterpret_cast<BufRep *>(loc.p), value, n) ? DDS_RETCODE_OK : DDS_RETCODE_OUT_OF_RESOURCES;
}

} // namespace

extern "C" {

size_t DDS_DynamicData_sizeof(void) { return sizeof(DDS_DynamicData); }

DDS_Boolean DDS_DynamicData_initialize(DDS_DynamicData *self, const DDS_TypeCode *type, const DDS_DynamicDataProperty_t *)
{
    if (!self)
        return DDS_BOOLEAN_FALSE;
    new (self) DDS_DynamicData();
    const DDS_TypeCode *t = resolve(type);
    if (!t)
        return DDS_BOOLEAN_TRUE; // an empty object, to be bound to a member later
    if (!t->finished)
        return DDS_BOOLEAN_FALSE;
    // malloc's alignment covers every member (at most 8).
    auto *p = static_cast<unsigned char *>(std::malloc(t->size));
    if (!p)
        return DDS_BOOLEAN_FALSE;
    value_init(t, p);
    self->type = t;
    self->p = p;
    self->owns = true;
    return DDS_BOOLEAN_TRUE;
}

DDS_Boolean DDS_DynamicData_finalize(DDS_DynamicData *self)
{
    if (!self)
        return DDS_BOOLEAN_FALSE;
    if (self->parent && self->parent->bound_child == self)
        self->parent->bound_child = nullptr;
    if (self->bound_child)
        self->bound_child->parent = nullptr;
    if (self->owns && self->p) {
        value_fini(self->type, self->p);
        std::free(self->p);
    }
    *self = DDS_DynamicData{};
    return DDS_BOOLEAN_TRUE;
}

DDS_DynamicData *DDS_DynamicData_new(const DDS_TypeCode *type, const DDS_DynamicDataProperty_t *property)
{
    auto *d = static_cast<DDS_DynamicData *>(std::malloc(sizeof(DDS_DynamicData)));
    if (!d)
        return nullptr;
    if (!DDS_DynamicData_initialize(d, type, property)) {
        std::free(d);
        return nullptr;
    }
    return d;
}

void DDS_DynamicData_delete(DDS_DynamicData *self)
{
    if (!self)
        return;
    DDS_DynamicData_finalize(self);
    std::free(self);
}

const DDS_TypeCode *DDS_DynamicData_get_type(const DDS_DynamicData *self) { return self ? self->type : nullptr; }

DDS_TCKind DDS_DynamicData_get_type_kind(const DDS_DynamicData *self)
{
    return self && self->type ? self->type->kind : DDS_TK_NULL;
}

DDS_UnsignedLong DDS_DynamicData_get_member_count(const DDS_DynamicData *self)
{
    if (!self || !self->type || !self->p)
        return 0;
    switch (self->type->kind) {
    case DDS_TK_STRUCT:
        return static_cast<DDS_UnsignedLong>(self->type->members.size());
    case DDS_TK_UNION:
        return reinterpret_cast<const UnionRep *>(self->p)->selected >= 0 ? 1 : 0;
    case DDS_TK_SEQUENCE:
        return reinterpret_cast<const BufRep *>(self->p)->len;
    case DDS_TK_ARRAY:
        return self->type->element_count;
    default:
        return 0;
    }
}

DDS_ReturnCode_t DDS_DynamicData_copy(DDS_DynamicData *self, const DDS_DynamicData *src)
{
    if (!self || !src || !self->p || !src->p)
        return DDS_RETCODE_BAD_PARAMETER;
    if (self->bound_child)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    if (!types_compatible(self->type, src->type))
        return DDS_RETCODE_BAD_PARAMETER;
    value_copy(self->type, self->p, src->p);
    return DDS_RETCODE_OK;
}

DDS_Boolean DDS_DynamicData_equal(const DDS_DynamicData *self, const DDS_DynamicData *other)
{
    if (!self || !other || !self->p || !other->p)
        return self == other;
    return types_compatible(self->type, other->type) && value_equal(self->type, self->p, other->p);
}

DDS_ReturnCode_t DDS_DynamicData_clear_all_members(DDS_DynamicData *self)
{
    if (!self || !self->p)
        return DDS_RETCODE_BAD_PARAMETER;
    if (self->bound_child)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    value_fini(self->type, self->p);
    value_init(self->type, self->p);
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DynamicData_clear_optional_member(DDS_DynamicData *self, const char *member_name, DDS_DynamicDataMemberId member_id)
{
    if (self && self->bound_child)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    Location loc;
    DDS_ReturnCode_t rc = locate(self, member_name, member_id, Access::Info, loc);
    if (rc != DDS_RETCODE_OK)
        return rc;
    if (!loc.member || !loc.member->optional || !loc.flag)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    if (*loc.flag) {
        value_fini(loc.type, loc.p);
        *loc.flag = 0;
    }
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DynamicData_get_member_info(const DDS_DynamicData *self, DDS_DynamicDataMemberInfo *info, const char *member_name,
                                                 DDS_DynamicDataMemberId member_id)
{
    if (!info)
        return DDS_RETCODE_BAD_PARAMETER;
    // A trailing '#' asks about the length of a sequence/array or the selected case of a union.
    bool query = false;
    char small[256];
    std::string large;
    const char *name = member_name;
    if (name) {
        const size_t n = std::strlen(name);
        if (n > 0 && name[n - 1] == '#') {
            query = true;
            if (n < sizeof small) {
                std::memcpy(small, name, n - 1);
                small[n - 1] = '\0';
                name = small;
            } else {
                large.assign(name, n - 1);
                name = large.c_str();
            }
            if (n == 1)
                return DDS_RETCODE_BAD_PARAMETER;
        }
    }
    Location loc;
    DDS_ReturnCode_t rc = locate(self, name, member_id, Access::Info, loc);
    if (rc != DDS_RETCODE_OK)
        return rc;
    *info = DDS_DynamicDataMemberInfo{};
    const DDS_TypeCode *t = loc.type;
    info->member_id = loc.member ? loc.member->id : loc.index + 1;
    info->member_name = loc.member ? loc.member->name.c_str() : "";
    info->member_exists = loc.p != nullptr;
    info->member_kind = t->kind;
    if (t->kind == DDS_TK_SEQUENCE || t->kind == DDS_TK_ARRAY) {
        info->element_kind = t->rcontent->kind;
        info->element_count = t->kind == DDS_TK_ARRAY ? t->element_count
                              : loc.p                 ? reinterpret_cast<const BufRep *>(loc.p)->len
                                                      : 0;
    } else if (t->kind == DDS_TK_STRING || t->kind == DDS_TK_WSTRING) {
        info->element_kind = t->kind == DDS_TK_STRING ? DDS_TK_CHAR : DDS_TK_WCHAR;
        info->element_count = loc.p ? reinterpret_cast<const BufRep *>(loc.p)->len : 0;
    }
    if (query && t->kind == DDS_TK_UNION) {
        const int32_t sel = loc.p ? reinterpret_cast<const UnionRep *>(loc.p)->selected : -1;
        info->member_name = sel >= 0 ? t->members[sel].name.c_str() : "";
    }
    return DDS_RETCODE_OK;
}

DDS_Boolean DDS_DynamicData_is_member_key(const DDS_DynamicData *self, const char *member_name, DDS_DynamicDataMemberId member_id)
{
    Location loc;
    if (locate(self, member_name, member_id, Access::Info, loc) != DDS_RETCODE_OK)
        return DDS_BOOLEAN_FALSE;
    return loc.member && loc.member->key && loc.container && loc.container->kind == DDS_TK_STRUCT;
}

DDS_ReturnCode_t DDS_DynamicData_bind_complex_member(DDS_DynamicData *self, DDS_DynamicData *value_out, const char *member_name,
                                                     DDS_DynamicDataMemberId member_id)
{
    if (!self || !value_out || value_out == self)
        return DDS_RETCODE_BAD_PARAMETER;
    if (value_out->parent || value_out->bound_child)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    Location loc;
    DDS_ReturnCode_t rc = locate(self, member_name, member_id, Access::Write, loc);
    if (rc != DDS_RETCODE_OK)
        return rc;
    switch (loc.type->kind) {
    case DDS_TK_STRUCT:
    case DDS_TK_UNION:
    case DDS_TK_SEQUENCE:
    case DDS_TK_ARRAY:
        break;
    default:
        return DDS_RETCODE_BAD_PARAMETER;
    }
    if (value_out->owns)
        DDS_DynamicData_finalize(value_out);
    value_out->type = loc.type;
    value_out->p = loc.p;
    value_out->owns = false;
    value_out->parent = self;
    self->bound_child = value_out;
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DynamicData_unbind_complex_member(DDS_DynamicData *self, DDS_DynamicData *value)
{
    if (!self || !value)
        return DDS_RETCODE_BAD_PARAMETER;
    if (value->parent != self || self->bound_child != value || value->bound_child)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    self->bound_child = nullptr;
    *value = DDS_DynamicData{};
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DynamicData_get_member_type(const DDS_DynamicData *self, const DDS_TypeCode **type,
                                                 const char *member_name, DDS_DynamicDataMemberId member_id)
{
    if (!type)
        return DDS_RETCODE_BAD_PARAMETER;
    Location loc;
    const DDS_ReturnCode_t rc = locate(self, member_name, member_id, Access::Info, loc);
    if (rc == DDS_RETCODE_OK)
        *type = loc.type;
    return rc;
}

DDS_ReturnCode_t DDS_DynamicData_set_sequence_length(DDS_DynamicData *self, DDS_UnsignedLong length)
{
    if (!self || !self->type || !self->p || self->type->kind != DDS_TK_SEQUENCE)
        return DDS_RETCODE_BAD_PARAMETER;
    if (self->bound_child)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    if (self->type->bound && length > self->type->bound)
        return DDS_RETCODE_BAD_PARAMETER;
    return buf_resize(reinterpret_cast<BufRep *>(self->p), self->type->rcontent, length) ? DDS_RETCODE_OK
                                                                                        : DDS_RETCODE_OUT_OF_RESOURCES;
}

#define QUELT_DD_DEFINE(NAME, T, KIND)                                                                                           \
    DDS_ReturnCode_t DDS_DynamicData_get_##NAME(const DDS_DynamicData *self, T *value, const char *member_name,                  \
                                                DDS_DynamicDataMemberId member_id)                                              \
    {                                                                                                                            \
        return get_prim<T>(self, value, member_name, member_id, KIND);                                                           \
    }                                                                                                                            \
    DDS_ReturnCode_t DDS_DynamicData_set_##NAME(DDS_DynamicData *self, const char *member_name, DDS_DynamicDataMemberId member_id, \
                                                T value)                                                                         \
    {                                                                                                                            \
        return set_prim<T>(self, member_name, member_id, KIND, value);                                                           \
    }
QUELT_DD_DEFINE(short, DDS_Short, DDS_TK_SHORT)
QUELT_DD_DEFINE(long, DDS_Long, DDS_TK_LONG)
QUELT_DD_DEFINE(ushort, DDS_UnsignedShort, DDS_TK_USHORT)
QUELT_DD_DEFINE(ulong, DDS_UnsignedLong, DDS_TK_ULONG)
QUELT_DD_DEFINE(float, DDS_Float, DDS_TK_FLOAT)
QUELT_DD_DEFINE(double, DDS_Double, DDS_TK_DOUBLE)
QUELT_DD_DEFINE(boolean, DDS_Boolean, DDS_TK_BOOLEAN)
QUELT_DD_DEFINE(char, DDS_Char, DDS_TK_CHAR)
QUELT_DD_DEFINE(octet, DDS_Octet, DDS_TK_OCTET)
QUELT_DD_DEFINE(longlong, DDS_LongLong, DDS_TK_LONGLONG)
QUELT_DD_DEFINE(ulonglong, DDS_UnsignedLongLong, DDS_TK_ULONGLONG)
QUELT_DD_DEFINE(longdouble, DDS_LongDouble, DDS_TK_LONGDOUBLE)
QUELT_DD_DEFINE(wchar, DDS_Wchar, DDS_TK_WCHAR)
#undef QUELT_DD_DEFINE

DDS_ReturnCode_t DDS_DynamicData_get_string(const DDS_DynamicData *self, char **value, DDS_UnsignedLong *size, const char *member_name,
                                            DDS_DynamicDataMemberId member_id)
{
    return get_text<char>(self, value, size, member_name, member_id, DDS_TK_STRING,
                          [](DDS_UnsignedLong length) { return DDS_String_alloc(length); });
}

DDS_ReturnCode_t DDS_DynamicData_set_string(DDS_DynamicData *self, const char *member_name, DDS_DynamicDataMemberId member_id, const char *value)
{
    return set_text(self, member_name, member_id, DDS_TK_STRING, value, [](BufRep *b, const char *text, size_t n) {
        return str_assign(b, text, n);
    });
}

DDS_ReturnCode_t DDS_DynamicData_get_wstring(const DDS_DynamicData *self, DDS_Wchar **value, DDS_UnsignedLong *size, const char *member_name,
                                             DDS_DynamicDataMemberId member_id)
{
    return get_text<DDS_Wchar>(self, value, size, member_name, member_id, DDS_TK_WSTRING, DDS_Wstring_alloc);
}

DDS_ReturnCode_t DDS_DynamicData_set_wstring(DDS_DynamicData *self, const char *member_name, DDS_DynamicDataMemberId member_id,
                                             const DDS_Wchar *value)
{
    return set_text(self, member_name, member_id, DDS_TK_WSTRING, value, [](BufRep *b, const DDS_Wchar *text, size_t n) {
        return wstr_assign(b, reinterpret_cast<const char16_t *>(text), n);
    });
}

} // extern "C"
