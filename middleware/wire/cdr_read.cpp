// Reading sample values from XCDR1 and XCDR2: never trusting a length, refusing what is not a
// sample of the type with the reason why.
#include "wire/cdr_codec.h"

#include <fastcdr/FastBuffer.h>

#include <string>

namespace quelt::mw {

using namespace codec;

namespace {

// Fewest wire bytes any value of t takes (padding ignored): what a hostile sequence length is
// measured against before its elements are allocated.
uint64_t min_wire_size(const DDS_TypeCode *t, bool v2)
{
    switch (t->kind) {
    case DDS_TK_STRING:
        return 5;
    case DDS_TK_WSTRING:
    case DDS_TK_SEQUENCE:
        return 4;
    case DDS_TK_ARRAY:
        return std::min<uint64_t>(uint64_t(t->element_count) * min_wire_size(t->rcontent, v2), UINT32_MAX);
    case DDS_TK_STRUCT: {
        // An extensible type may come with fewer members than ours: its DHEADER (or, for a mutable
        // one in XCDR1, the parameter list's end) is all that is sure.
        if ((v2 && t->extensibility != Extensibility::Final) || t->extensibility == Extensibility::Mutable)
            return 4;
        uint64_t s = 0;
        for (const Member &m : t->members)
            s += m.optional ? (v2 ? 1 : 4) : min_wire_size(m.rtype, v2);
        return std::min<uint64_t>(s, UINT32_MAX);
    }
    case DDS_TK_UNION: {
        if (v2 && t->extensibility != Extensibility::Final)
            return 4;
        uint64_t least = 0;
        if (t->default_case >= 0) { // every discriminator value selects a case
            least = UINT32_MAX;
            for (const Member &m : t->members)
                least = std::min(least, min_wire_size(m.rtype, v2));
        }
        return disc_size(t->discriminator) + least;
    }
    default:
        return t->size;
    }
}

// Memory a sample may allocate while it is decoded: a floor, and so much per payload byte. Beyond
// what any sample of a type written in full needs, far below what empty frames of big elements
// would take (1,216 bytes of them asked for 300 MB).
constexpr uint64_t kDecodeBudgetFloor = uint64_t(1) << 20;
constexpr uint64_t kDecodeBudgetPerByte = 256;

// Texts of a refusal (Invalid::what).
const char *const kLengthPastEnd = "a length runs past the end of the payload";
const char *const kOverBound = "a length exceeds the member's bound";
const char *const kBadString = "a string is not NUL-terminated";
const char *const kBadBoolean = "a boolean is neither 0 nor 1";
const char *const kBadEnum = "a value names no enumerator";
const char *const kBadParameter = "a parameter does not match the member";
const char *const kOverBudget = "decoding would take more memory than the payload's size allows";

struct Reader {
    fc::Cdr &cdr;
    size_t origin;
    size_t end; // offset of the first byte not to read
    bool swap;
    bool v2 = false;
    uint64_t budget = UINT64_MAX; // bytes the sample may still allocate (strings, sequences)
    // The struct member or union case being read and where it began: what a refusal names.
    const Member *member = nullptr;
    size_t member_at = 0;
    std::string why; // a refusal's reason when it needs more than a fixed text

    Reader(fc::Cdr &c, size_t o, size_t e, bool s, bool two) : cdr(c), origin(o), end(e), swap(s), v2(two) {}

    void at(const Member &m)
    {
        member = &m;
        member_at = pos();
    }
    // A hostile length can make a few bytes stand for a lot of memory (empty frames of elements
    // that are large in memory): every allocation is charged against a budget set from the size.
    void charge(uint64_t bytes)
    {
        if (bytes > budget)
            throw Invalid{kOverBudget};
        budget -= bytes;
    }

    size_t pos() const { return cdr.getSerializedDataLength(); }
    size_t remaining() const
    {
        const size_t p = pos();
        return p < end ? end - p : 0;
    }
    uint32_t peek_u32()
    {
        if (remaining() < 4)
            throw Invalid{};
        uint32_t v;
        std::memcpy(&v, cdr.getCurrentPosition(), 4);
        return swap ? __builtin_bswap32(v) : v;
    }
    void skip(size_t n)
    {
        if (n > remaining() || (n && !cdr.jump(n)))
            throw Invalid{};
    }
    // Reads a DHEADER and makes its end the reading limit; returns the outer limit for close().
    size_t open()
    {
        const uint32_t n = num<uint32_t>();
        if (n > remaining())
            throw Invalid{kLengthPastEnd};
        const size_t outer = end;
        end = pos() + n;
        return outer;
    }
    // Skips what the frame holds past what we read (members a newer type added), restores the limit.
    void close(size_t outer)
    {
        skip(remaining());
        end = outer;
    }

    void align(size_t a)
    {
        if (v2 && a > 4)
            a = 4;
        const size_t pad = (origin - pos()) & (a - 1);
        if (pad && (pad > remaining() || !cdr.jump(pad)))
            throw Invalid{};
    }
    void raw(void *p, size_t n)
    {
        if (n > remaining())
            throw Invalid{};
        cdr.deserializeArray(static_cast<char *>(p), n);
    }
    void prim(unsigned char *p, size_t n, size_t a)
    {
        align(a);
        raw(p, n);
        if (swap && n > 1)
            std::reverse(p, p + n);
    }
    template <typename T> T num()
    {
        T v;
        prim(reinterpret_cast<unsigned char *>(&v), sizeof v, sizeof v);
        return v;
    }
    void run(unsigned char *p, size_t count, size_t unit, size_t a)
    {
        align(a);
        raw(p, count * unit);
        if (swap && unit > 1)
            reverse_units(p, count, unit);
    }
};

void read_value(Reader &r, const DDS_TypeCode *t, unsigned char *p, bool key);

inline void check_primitive(const DDS_TypeCode *t, const unsigned char *p)
{
    if (t->kind == DDS_TK_BOOLEAN) {
        if (*p > 1)
            throw Invalid{kBadBoolean};
    } else if (t->kind == DDS_TK_ENUM) {
        int32_t v;
        std::memcpy(&v, p, 4);
        if (!is_enumerator(t, v))
            throw Invalid{kBadEnum};
    }
}

void read_elems(Reader &r, const DDS_TypeCode *e, unsigned char *p, size_t n)
{
    switch (e->kind) {
    case DDS_TK_BOOLEAN:
        r.run(p, n, 1, 1);
        for (size_t i = 0; i < n; ++i)
            if (p[i] > 1)
                throw Invalid{kBadBoolean};
        return;
    case DDS_TK_ENUM:
        r.run(p, n, 4, 4);
        for (size_t i = 0; i < n; ++i) {
            int32_t v;
            std::memcpy(&v, p + i * 4, 4);
            if (!is_enumerator(e, v))
                throw Invalid{kBadEnum};
        }
        return;
    default:
        if (is_primitive_kind(e->kind)) {
            r.run(p, n, e->size, e->align);
            return;
        }
        for (size_t i = 0; i < n; ++i)
            read_value(r, e, p + i * e->size, false);
    }
}

int64_t read_disc(Reader &r, const DDS_TypeCode *d)
{
    switch (d->kind) {
    case DDS_TK_BOOLEAN: {
        uint8_t v;
        r.raw(&v, 1);
        if (v > 1)
            throw Invalid{kBadBoolean};
        return v;
    }
    case DDS_TK_CHAR:
    case DDS_TK_OCTET: {
        uint8_t v;
        r.raw(&v, 1);
        return v;
    }
    case DDS_TK_SHORT: return r.num<int16_t>();
    case DDS_TK_USHORT:
    case DDS_TK_WCHAR: return r.num<uint16_t>();
    case DDS_TK_LONG: return r.num<int32_t>();
    case DDS_TK_ULONG: return r.num<uint32_t>();
    case DDS_TK_ENUM: {
        const auto v = r.num<int32_t>();
        if (!is_enumerator(d, v))
            throw Invalid{kBadEnum};
        return v;
    }
    case DDS_TK_LONGLONG: return r.num<int64_t>();
    case DDS_TK_ULONGLONG: return static_cast<int64_t>(r.num<uint64_t>());
    default: throw Invalid{};
    }
}

struct ParameterHeader {
    uint32_t id;
    uint32_t size;
    bool must_understand;
    bool list_end;
};

ParameterHeader read_parameter_header(Reader &r)
{
    r.align(4);
    const uint16_t pid = r.num<uint16_t>();
    const uint16_t length = r.num<uint16_t>();
    ParameterHeader h{};
    if ((pid & kPidMask) == kPidListEnd) {
        h.list_end = true;
    } else if ((pid & kPidMask) == kPidExtended) {
        if (length != kExtendedExtra)
            throw Invalid{kBadParameter};
        const uint32_t word = r.num<uint32_t>();
        h.id = word & 0x0FFFFFFFu; // top bits are flags
        h.must_understand = word & kExtendedMustUnderstand;
        h.size = r.num<uint32_t>();
    } else {
        h.id = pid & kPidMask;
        h.must_understand = pid & kPidMustUnderstand;
        h.size = length;
    }
    return h;
}

// A parameter's value: it may not read past its declared length (up to 3 bytes of padding may be
// left), and its alignment restarts at its first byte.
void read_parameter_value(Reader &r, const DDS_TypeCode *t, unsigned char *v, uint32_t size, bool key)
{
    if (size > r.remaining())
        throw Invalid{kLengthPastEnd};
    const size_t outer_origin = r.origin, outer_end = r.end;
    r.origin = r.pos();
    r.end = r.origin + size;
    read_value(r, t, v, key);
    const size_t left = r.end - r.pos();
    if (left > 3 || (left && !r.cdr.jump(left)))
        throw Invalid{kBadParameter};
    r.origin = outer_origin;
    r.end = outer_end;
}

void read_optional(Reader &r, const Member &m, uint32_t id, unsigned char *p, bool key)
{
    const ParameterHeader h = read_parameter_header(r);
    if (h.list_end || h.id != id)
        throw Invalid{kBadParameter};
    unsigned char *flag = p + m.flag_offset;
    unsigned char *v = p + m.offset;
    if (h.size == 0) {
        if (*flag) {
            value_fini(m.rtype, v);
            *flag = 0;
        }
        return;
    }
    if (h.size > r.remaining())
        throw Invalid{kLengthPastEnd};
    if (!*flag) {
        value_init(m.rtype, v);
        *flag = 1;
    }
    read_parameter_value(r, m.rtype, v, h.size, key);
}

// An optional member's presence flag, with its value made or dropped to match.
void set_present(const Member &m, unsigned char *p, bool present)
{
    unsigned char *flag = p + m.flag_offset;
    if (bool(*flag) == present)
        return;
    if (present)
        value_init(m.rtype, p + m.offset);
    else
        value_fini(m.rtype, p + m.offset);
    *flag = present ? 1 : 0;
}

// A member the sender did not send: absent when optional, else its default value.
void reset_member(const Member &m, unsigned char *p)
{
    if (m.optional)
        set_present(m, p, false);
    else
        clear_value(m.rtype, p + m.offset);
}

// The members of a mutable struct, in any order, matched by member id: in XCDR2 behind EMHEADERs
// up to the end of the DHEADER, in XCDR1 as parameters up to the list's end. Those the sender did
// not send get their defaults afterwards, so the others keep their storage.
void read_mutable_members(Reader &r, const DDS_TypeCode *t, unsigned char *p)
{
    const size_t n = t->members.size();
    uint64_t small_seen = 0;
    std::vector<bool> big_seen(n > 64 ? n : 0);
    for (;;) {
        uint32_t id;
        size_t length;
        bool must_understand;
        if (r.v2) {
            // Up to 3 bytes of padding may close the frame.
            const size_t pad = (r.origin - r.pos()) & 3;
            if (r.remaining() <= pad)
                break;
            const uint32_t h = r.num<uint32_t>();
            const uint32_t lc = (h >> 28) & 7;
            id = h & kEmIdMask;
            must_understand = h & kEmMustUnderstand;
            if (lc < kLcNextInt) {
                length = size_t(1) << lc;
            } else if (lc == kLcNextInt) {
                length = r.num<uint32_t>();
            } else {
                // Codes 5..7: NEXTINT is the value's own first word (its DHEADER or element count).
                const uint64_t next = r.peek_u32();
                length = 4 + (lc == 5 ? next : lc == 6 ? next * 4 : next * 8);
            }
        } else {
            const ParameterHeader h = read_parameter_header(r);
            if (h.list_end)
                break;
            id = h.id;
            length = h.size;
            must_understand = h.must_understand;
        }
        if (length > r.remaining())
            throw Invalid{kLengthPastEnd};
        const Member *m = member_by_wire_id(t, id);
        if (!m) {
            if (must_understand) {
                r.why = "member id " + std::to_string(id) + " is marked must-understand and '" + t->name + "' has no such member";
                throw Invalid{};
            }
            r.skip(length); // a member of a newer version of the type
            continue;
        }
        r.at(*m);
        const size_t index = size_t(m - t->members.data());
        if (n > 64)
            big_seen[index] = true;
        else
            small_seen |= uint64_t(1) << index;
        if (!r.v2 && length == 0 && m->optional) { // an empty parameter: absent
            set_present(*m, p, false);
            continue;
        }
        if (m->optional)
            set_present(*m, p, true);
        if (!r.v2) {
            read_parameter_value(r, m->rtype, p + m->offset, static_cast<uint32_t>(length), false);
            continue;
        }
        const size_t outer = r.end;
        r.end = r.pos() + length;
        read_value(r, m->rtype, p + m->offset, false);
        r.close(outer);
    }
    for (size_t i = 0; i < n; ++i)
        if (!(n > 64 ? big_seen[i] : (small_seen >> i) & 1))
            reset_member(t->members[i], p);
}

void read_value(Reader &r, const DDS_TypeCode *t, unsigned char *p, bool key)
{
    switch (t->kind) {
    case DDS_TK_BOOLEAN:
        r.raw(p, 1);
        if (*p > 1)
            throw Invalid{kBadBoolean};
        return;
    case DDS_TK_CHAR:
    case DDS_TK_OCTET:
        r.raw(p, 1);
        return;
    case DDS_TK_ENUM: {
        r.prim(p, 4, 4);
        int32_t v;
        std::memcpy(&v, p, 4);
        if (!is_enumerator(t, v))
            throw Invalid{kBadEnum};
        return;
    }
    case DDS_TK_SHORT:
    case DDS_TK_USHORT:
    case DDS_TK_WCHAR:
    case DDS_TK_LONG:
    case DDS_TK_ULONG:
    case DDS_TK_FLOAT:
    case DDS_TK_LONGLONG:
    case DDS_TK_ULONGLONG:
    case DDS_TK_DOUBLE:
    case DDS_TK_LONGDOUBLE:
        r.prim(p, t->size, t->align);
        return;
    case DDS_TK_STRING: {
        auto *b = reinterpret_cast<BufRep *>(p);
        const uint32_t n = r.num<uint32_t>();
        if (n == 0)
            throw Invalid{kBadString};
        if (t->bound && n - 1 > t->bound)
            throw Invalid{kOverBound};
        if (n > r.remaining())
            throw Invalid{kLengthPastEnd};
        if (n == 1) { // empty: there may be no storage to read the NUL into
            char nul;
            r.raw(&nul, 1);
            if (nul != 0)
                throw Invalid{kBadString};
            if (!buf_resize(b, primitive_type(DDS_TK_CHAR), 0))
                throw Invalid{};
            return;
        }
        r.charge(n);
        if (!buf_resize(b, primitive_type(DDS_TK_CHAR), n - 1))
            throw Invalid{};
        r.raw(b->data, n);
        if (static_cast<const char *>(b->data)[n - 1] != 0)
            throw Invalid{kBadString};
        return;
    }
    case DDS_TK_WSTRING: {
        auto *b = reinterpret_cast<BufRep *>(p);
        uint32_t n = r.num<uint32_t>();
        if (r.v2) { // a byte count
            if (n % 2)
                throw Invalid{kBadString};
            n /= 2;
        }
        if (t->bound && n > t->bound)
            throw Invalid{kOverBound};
        if (uint64_t(n) * 2 > r.remaining())
            throw Invalid{kLengthPastEnd};
        r.charge(uint64_t(n) * 2);
        if (!buf_resize(b, primitive_type(DDS_TK_WCHAR), n))
            throw Invalid{};
        if (n)
            r.run(static_cast<unsigned char *>(b->data), n, 2, 2);
        return;
    }
    case DDS_TK_SEQUENCE: {
        auto *b = reinterpret_cast<BufRep *>(p);
        const DDS_TypeCode *e = t->rcontent;
        const bool framed = r.v2 && elements_framed(t);
        const size_t outer = framed ? r.open() : 0;
        const uint32_t n = r.num<uint32_t>();
        if (t->bound && n > t->bound)
            throw Invalid{kOverBound};
        if (n) {
            // Allocate only what the bytes left can hold. The element memory is the quick test;
            // the element's least wire size (always at least 1) the exact one.
            const uint64_t left = r.remaining();
            if (uint64_t(n) * e->size > left && uint64_t(n) * std::max<uint64_t>(min_wire_size(e, r.v2), 1) > left)
                throw Invalid{kLengthPastEnd};
            r.charge(uint64_t(n) * e->size);
        }
        if (!buf_resize(b, e, n))
            throw Invalid{};
        if (n)
            read_elems(r, e, static_cast<unsigned char *>(b->data), n);
        if (framed)
            r.close(outer);
        return;
    }
    case DDS_TK_ARRAY: {
        const bool framed = r.v2 && elements_framed(t);
        const size_t outer = framed ? r.open() : 0;
        read_elems(r, t->rcontent, p, t->element_count);
        if (framed)
            r.close(outer);
        return;
    }
    case DDS_TK_STRUCT: {
        const bool filter = key && t->keyed;
        const bool framed = r.v2 && !filter && t->extensibility != Extensibility::Final;
        if (!r.v2 && !filter && t->extensibility == Extensibility::Mutable) {
            read_mutable_members(r, t, p); // a parameter list
            return;
        }
        const size_t outer = framed ? r.open() : 0;
        if (framed && t->extensibility == Extensibility::Mutable) {
            read_mutable_members(r, t, p);
            r.close(outer);
            return;
        }
        const size_t n = t->members.size();
        for (size_t i = 0; i < n;) {
            const Member &m = t->members[i];
            r.at(m);
            if (filter && !m.key) {
                ++i;
            } else if (framed && r.remaining() == 0) {
                // An older appendable type ends here: our trailing members keep their defaults.
                reset_member(m, p);
                ++i;
            } else if (m.optional && r.v2) {
                uint8_t present;
                r.raw(&present, 1);
                if (present > 1)
                    throw Invalid{};
                set_present(m, p, present);
                if (present)
                    read_value(r, m.rtype, p + m.offset, filter);
                ++i;
            } else if (m.optional) {
                read_optional(r, m, m.wire_id, p, filter);
                ++i;
            } else if (!r.swap && is_primitive_kind(m.rtype->kind)) {
                r.align(m.rtype->align);
                r.at(m);
                uint32_t end;
                const size_t j = primitive_run(t, i, r.pos() - r.origin, filter, end, r.remaining());
                r.raw(p + m.offset, end - m.offset);
                for (; i < j; ++i) { // members of the run that not every bit pattern is valid for
                    r.member = &t->members[i];
                    check_primitive(t->members[i].rtype, p + t->members[i].offset);
                }
            } else {
                read_value(r, m.rtype, p + m.offset, filter);
                ++i;
            }
        }
        if (framed)
            r.close(outer);
        return;
    }
    case DDS_TK_UNION: {
        auto *rep = reinterpret_cast<UnionRep *>(p);
        const bool framed = r.v2 && t->extensibility != Extensibility::Final;
        const size_t outer = framed ? r.open() : 0;
        const int64_t disc = read_disc(r, t->discriminator);
        const int32_t idx = union_case_for(t, disc);
        if (rep->selected != idx)
            union_select(t, p, idx);
        rep->disc = disc;
        if (idx >= 0) {
            r.at(t->members[size_t(idx)]);
            read_value(r, t->members[size_t(idx)].rtype, p + t->payload_offset, false);
        }
        if (framed)
            r.close(outer);
        return;
    }
    default:
        throw Invalid{};
    }
}

} // namespace

void codec::clear_value(const DDS_TypeCode *t, void *p)
{
    value_fini(t, p);
    value_init(t, p);
}

bool cdr_deserialize(const DDS_TypeCode *t, void *block, fc::Cdr &cdr, size_t end, bool key_only, CdrVersion v, std::string *why)
{
    t = resolve(t);
    if (!t || !block)
        return false;
    const bool little = cdr.endianness() == fc::Cdr::LITTLE_ENDIANNESS;
    const size_t start = cdr.getSerializedDataLength();
    Reader r{cdr, start, end, little != kHostLittle, v == CdrVersion::Xcdr2};
    r.budget = kDecodeBudgetFloor + kDecodeBudgetPerByte * uint64_t(end > start ? end - start : 0);
    const char *what = nullptr;
    try {
        if (key_only)
            clear_value(t, block);
        read_value(r, t, static_cast<unsigned char *>(block), key_only);
        // Up to 3 bytes may pad the payload to a multiple of 4; more are members we do not have.
        if (r.remaining() <= 3 && r.pos() <= end)
            return true;
        r.member = nullptr;
        what = "";
    } catch (const Invalid &e) {
        what = e.what;
    } catch (...) {
    }
    clear_value(t, block);
    if (!why)
        return false;
    const std::string member = r.member ? " '" + r.member->name + "'" : "";
    if (!r.why.empty())
        *why = r.why;
    else if (what && !*what)
        *why = std::to_string(r.remaining()) + " bytes follow the end of the sample";
    else if (what)
        *why = what + (r.member ? " in member" + member : "");
    else if (r.member)
        *why = std::string(r.member_at >= end ? "payload ends before member" : "payload ends inside member") + member;
    else
        *why = "payload ends early";
    return false;
}

size_t codec::read_key_stream(const DDS_TypeCode *t, void *block, char *buf, size_t size)
{
    fc::FastBuffer fb(buf, size);
    fc::Cdr cdr(fb, fc::Cdr::BIG_ENDIANNESS, fc::Cdr::CORBA_CDR);
    Reader r{cdr, 0, size, kHostLittle, true};
    read_value(r, t, static_cast<unsigned char *>(block), true);
    return r.pos();
}

} // namespace quelt::mw
