// XCDR1 serialization of sample values over Fast CDR, their sizes, and the RTPS key hash.
//
// Fast CDR is used as the bounded byte stream only: every value goes through its byte-array calls
// and we do alignment and byte order ourselves. Fast CDR's own alignment cache (last data size,
// one alignment origin) cannot follow the origin restarts of optional members, and its padding
// bytes are left unwritten, which would make equal samples hash differently.
#include "wire/cdr.h"

#include "types/dynamicdata_impl.h"

#include "dds/dds_log.h"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastrtps/utils/md5.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace fc = eprosima::fastcdr;

namespace quelt::mw {

namespace {

constexpr bool kHostLittle = std::endian::native == std::endian::little;
constexpr uint16_t kPidExtended = 0x3F01;
constexpr uint16_t kPidMustUnderstand = 0x4000;
constexpr uint16_t kPidMask = 0x3FFF;
constexpr uint32_t kShortIdLimit = 0x3F00;
constexpr uint32_t kShortLengthMax = 0xFFFF;
constexpr uint32_t kExtendedExtra = 8; // PID_EXTENDED header: uint32 id + uint32 length after the short header
constexpr uint32_t kExtendedMustUnderstand = 0x40000000u; // in the extended header's id word
constexpr uint16_t kPidListEnd = 0x3F02;

const char kZeros[16] = {};

// XCDR2 member header (EMHEADER1): must-understand flag, length code, member id.
constexpr uint32_t kEmMustUnderstand = 0x80000000u;
constexpr uint32_t kEmIdMask = 0x0FFFFFFFu;
constexpr uint32_t kLcNextInt = 4; // a uint32 with the member's length follows the EMHEADER

// Primitives that a mutable member carries with length codes 0..3 (1, 2, 4, 8 bytes, no NEXTINT).
inline int primitive_lc(const DDS_TypeCode *t)
{
    if (!is_primitive_kind(t->kind))
        return -1;
    switch (t->kind == DDS_TK_ENUM ? 4 : t->size) {
    case 1: return 0;
    case 2: return 1;
    case 4: return 2;
    case 8: return 3;
    default: return -1;
    }
}

// Bytes an EMHEADER adds in front of a mutable member: the header, and a NEXTINT unless the
// length code tells the length (primitives) or the value's own first word does (strings, whose
// length counts the bytes that follow: length code 5, as Cyclone DDS writes them).
constexpr uint32_t kLcOwnLength = 5;
inline uint32_t em_overhead(const DDS_TypeCode *t) { return primitive_lc(t) >= 0 || t->kind == DDS_TK_STRING ? 4 : 8; }

// XCDR2 frames sequences and arrays with a DHEADER unless their elements are primitive (enums
// count as primitive).
inline bool elements_framed(const DDS_TypeCode *seq_or_array) { return !is_primitive_kind(seq_or_array->rcontent->kind); }

// Thrown inside the codec for input that is not a valid sample and for samples that break their
// type's bounds; the entry points turn it (and Fast CDR's exceptions) into a return value. what
// says, for a refused buffer, what did not fit (null: the payload ended early).
struct Invalid {
    const char *what = nullptr;
};

inline size_t align_to(size_t pos, size_t a) { return (pos + a - 1) & ~(a - 1); }

inline void reverse_units(unsigned char *p, size_t count, size_t unit)
{
    switch (unit) {
    case 2:
        for (size_t i = 0; i < count; ++i, p += 2) {
            uint16_t v;
            std::memcpy(&v, p, 2);
            v = __builtin_bswap16(v);
            std::memcpy(p, &v, 2);
        }
        break;
    case 4:
        for (size_t i = 0; i < count; ++i, p += 4) {
            uint32_t v;
            std::memcpy(&v, p, 4);
            v = __builtin_bswap32(v);
            std::memcpy(p, &v, 4);
        }
        break;
    case 8:
        for (size_t i = 0; i < count; ++i, p += 8) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            v = __builtin_bswap64(v);
            std::memcpy(p, &v, 8);
        }
        break;
    default:
        for (size_t i = 0; i < count; ++i, p += unit)
            std::reverse(p, p + unit);
        break;
    }
}

inline bool is_enumerator(const DDS_TypeCode *t, int32_t v)
{
    const auto &es = t->enumerators;
    // Enumerators are usually 0..n-1 in order: try the direct slot first.
    if (v >= 0 && size_t(v) < es.size() && es[size_t(v)].value == v)
        return true;
    for (const Enumerator &e : es)
        if (e.value == v)
            return true;
    return false;
}

inline size_t disc_size(const DDS_TypeCode *d) { return d->kind == DDS_TK_ENUM ? 4 : d->size; }

// Struct members from index i on that can move as one block: primitives back to back in memory
// whose wire positions, starting at residue `at` from the alignment origin, need no padding, so
// the wire image equals the memory image. Returns the end of the run (index and block offset).
// Only for streams in host byte order. A reader passes the bytes its frame has left as limit: the
// run stops at the first member past it, which is then read (or defaulted) on its own.
inline size_t primitive_run(const DDS_TypeCode *t, size_t i, size_t at, bool filter, uint32_t &end_offset,
                            size_t limit = SIZE_MAX)
{
    const auto &ms = t->members;
    const uint32_t first = ms[i].offset;
    end_offset = first + ms[i].rtype->size;
    size_t j = i + 1;
    for (; j < ms.size(); ++j) {
        const Member &q = ms[j];
        if (q.optional || (filter && !q.key) || !is_primitive_kind(q.rtype->kind) || q.offset != end_offset ||
            ((at + (q.offset - first)) & (q.rtype->align - 1)) != 0 || q.offset + q.rtype->size - first > limit)
            break;
        end_offset = q.offset + q.rtype->size;
    }
    return j;
}

// ---------------------------------------------------------------- writing

struct Writer {
    fc::Cdr &cdr;
    size_t origin; // offset of the alignment origin from the start of the Cdr's buffer
    bool swap;     // stream byte order differs from the host's
    bool v2 = false; // XCDR2: nothing aligns past 4, extensible types are framed

    size_t pos() const { return cdr.getSerializedDataLength(); }

    void align(size_t a)
    {
        if (v2 && a > 4)
            a = 4;
        const size_t pad = (origin - pos()) & (a - 1);
        if (pad)
            cdr.serializeArray(kZeros, pad);
    }
    void raw(const void *p, size_t n) { cdr.serializeArray(static_cast<const char *>(p), n); }

    void prim(const unsigned char *p, size_t n, size_t a)
    {
        align(a);
        if (n == 1 || !swap) {
            raw(p, n);
            return;
        }
        unsigned char tmp[16];
        for (size_t i = 0; i < n; ++i)
            tmp[i] = p[n - 1 - i];
        raw(tmp, n);
    }
    template <typename T> void num(T v) { prim(reinterpret_cast<const unsigned char *>(&v), sizeof v, sizeof v); }

    void run(const unsigned char *p, size_t count, size_t unit, size_t a)
    {
        align(a);
        if (!swap || unit == 1) {
            raw(p, count * unit);
            return;
        }
        unsigned char tmp[512];
        const size_t per = sizeof tmp / unit;
        while (count) {
            const size_t k = std::min(count, per);
            std::memcpy(tmp, p, k * unit);
            reverse_units(tmp, k, unit);
            raw(tmp, k * unit);
            p += k * unit;
            count -= k;
        }
    }

    // Stores a number at an earlier offset of the stream, in stream byte order.
    template <typename T> void poke(size_t at, T v)
    {
        if (swap)
            reverse_units(reinterpret_cast<unsigned char *>(&v), 1, sizeof v);
        std::memcpy(cdr.getBufferPointer() + at, &v, sizeof v);
    }

    // A uint32 length (DHEADER, NEXTINT) to be filled in by end_length once what it counts is written.
    size_t begin_length()
    {
        num(uint32_t(0));
        return pos();
    }
    void end_length(size_t start)
    {
        const size_t n = pos() - start;
        if (n > UINT32_MAX)
            throw Invalid{};
        poke(start - 4, static_cast<uint32_t>(n));
    }
};

void write_value(Writer &w, const DDS_TypeCode *t, const unsigned char *p, bool key);

void write_elems(Writer &w, const DDS_TypeCode *e, const unsigned char *p, size_t n)
{
    if (is_primitive_kind(e->kind)) {
        w.run(p, n, e->size, e->align);
        return;
    }
    for (size_t i = 0; i < n; ++i)
        write_value(w, e, p + i * e->size, false);
}

void write_disc(Writer &w, const DDS_TypeCode *d, int64_t disc)
{
    switch (disc_size(d)) {
    case 1: {
        const auto v = static_cast<uint8_t>(disc);
        w.raw(&v, 1);
        break;
    }
    case 2: w.num(static_cast<uint16_t>(disc)); break;
    case 4: w.num(static_cast<uint32_t>(disc)); break;
    default: w.num(static_cast<uint64_t>(disc)); break;
    }
}

// One XCDR1 parameter: align 4, a header with the member id (must-understand flag 0x4000 when
// asked) and the value's length, then the value, whose alignment restarts at its first byte. A
// null value writes an empty parameter (an absent optional member).
void write_parameter(Writer &w, uint32_t id, bool must_understand, const DDS_TypeCode *t, const unsigned char *value, bool key)
{
    w.align(4);
    const size_t header = w.pos();
    const uint16_t short_id = static_cast<uint16_t>(id | (must_understand ? kPidMustUnderstand : 0));
    if (!value) {
        if (id < kShortIdLimit) {
            w.num(short_id);
            w.num(static_cast<uint16_t>(0));
        } else {
            w.num(static_cast<uint16_t>(kPidExtended | kPidMustUnderstand));
            w.num(static_cast<uint16_t>(kExtendedExtra));
            w.num(id | (must_understand ? kExtendedMustUnderstand : 0));
            w.num(uint32_t(0));
        }
        return;
    }
    // The length is known only once the value is written: reserve the short header and fill it
    // in afterwards, moving the value when it needs the long one.
    w.raw(kZeros, 4);
    const size_t outer = w.origin;
    w.origin = header + 4;
    write_value(w, t, value, key);
    const size_t size = w.pos() - w.origin;
    w.origin = outer;
    if (size <= kShortLengthMax && id < kShortIdLimit) {
        w.poke(header, short_id);
        w.poke(header + 2, static_cast<uint16_t>(size));
        return;
    }
    if (size > UINT32_MAX || !w.cdr.jump(kExtendedExtra))
        throw Invalid{};
    char *base = w.cdr.getBufferPointer();
    std::memmove(base + header + 4 + kExtendedExtra, base + header + 4, size);
    w.poke(header, static_cast<uint16_t>(kPidExtended | kPidMustUnderstand));
    w.poke(header + 2, static_cast<uint16_t>(kExtendedExtra));
    w.poke(header + 4, id | (must_understand ? kExtendedMustUnderstand : 0));
    w.poke(header + 8, static_cast<uint32_t>(size));
}

void write_optional(Writer &w, const Member &m, uint32_t id, const unsigned char *p, bool key)
{
    write_parameter(w, id, false, m.rtype, p[m.flag_offset] ? p + m.offset : nullptr, key);
}

// XCDR1 mutable struct (PL_CDR): every present member as a parameter, must-understand for key
// members, then the list's end.
void write_parameter_list(Writer &w, const DDS_TypeCode *t, const unsigned char *p)
{
    for (const Member &m : t->members)
        if (!m.optional || p[m.flag_offset])
            write_parameter(w, m.wire_id, m.key, m.rtype, p + m.offset, false);
    w.align(4);
    w.num(static_cast<uint16_t>(kPidListEnd | kPidMustUnderstand));
    w.num(static_cast<uint16_t>(0));
}

// The members of a mutable struct after its DHEADER: each present one behind an EMHEADER with its
// id, must-understand for key members (a reader must not take a sample without its key).
void write_mutable_members(Writer &w, const DDS_TypeCode *t, const unsigned char *p)
{
    for (const Member &m : t->members) {
        if (m.optional && !p[m.flag_offset])
            continue;
        const uint32_t flags = m.key ? kEmMustUnderstand : 0;
        const int lc = primitive_lc(m.rtype);
        if (lc >= 0 || m.rtype->kind == DDS_TK_STRING) {
            w.num(flags | (uint32_t(lc >= 0 ? lc : kLcOwnLength) << 28) | m.wire_id);
            write_value(w, m.rtype, p + m.offset, false);
            continue;
        }
        w.num(flags | (kLcNextInt << 28) | m.wire_id);
        const size_t start = w.begin_length();
        write_value(w, m.rtype, p + m.offset, false);
        w.end_length(start);
    }
}

void write_value(Writer &w, const DDS_TypeCode *t, const unsigned char *p, bool key)
{
    switch (t->kind) {
    case DDS_TK_BOOLEAN:
    case DDS_TK_CHAR:
    case DDS_TK_OCTET:
        w.raw(p, 1);
        return;
    case DDS_TK_SHORT:
    case DDS_TK_USHORT:
    case DDS_TK_WCHAR:
    case DDS_TK_LONG:
    case DDS_TK_ULONG:
    case DDS_TK_FLOAT:
    case DDS_TK_ENUM:
    case DDS_TK_LONGLONG:
    case DDS_TK_ULONGLONG:
    case DDS_TK_DOUBLE:
    case DDS_TK_LONGDOUBLE:
        w.prim(p, t->size, t->align);
        return;
    case DDS_TK_STRING: {
        const auto *b = reinterpret_cast<const BufRep *>(p);
        if (t->bound && b->len > t->bound)
            throw Invalid{};
        w.num(b->len + 1);
        // The NUL is kept after the characters whenever there is storage.
        if (b->data)
            w.raw(b->data, size_t(b->len) + 1);
        else
            w.raw(kZeros, 1);
        return;
    }
    case DDS_TK_WSTRING: {
        const auto *b = reinterpret_cast<const BufRep *>(p);
        if (t->bound && b->len > t->bound)
            throw Invalid{};
        // XCDR2 counts bytes, XCDR1 (as the implementations we talk to use it) code units.
        w.num(w.v2 ? b->len * 2 : b->len);
        if (b->len)
            w.run(static_cast<const unsigned char *>(b->data), b->len, 2, 2);
        return;
    }
    case DDS_TK_SEQUENCE: {
        const auto *b = reinterpret_cast<const BufRep *>(p);
        if (t->bound && b->len > t->bound)
            throw Invalid{};
        const bool framed = w.v2 && elements_framed(t);
        const size_t start = framed ? w.begin_length() : 0;
        w.num(b->len);
        if (b->len)
            write_elems(w, t->rcontent, static_cast<const unsigned char *>(b->data), b->len);
        if (framed)
            w.end_length(start);
        return;
    }
    case DDS_TK_ARRAY: {
        const bool framed = w.v2 && elements_framed(t);
        const size_t start = framed ? w.begin_length() : 0;
        write_elems(w, t->rcontent, p, t->element_count);
        if (framed)
            w.end_length(start);
        return;
    }
    case DDS_TK_STRUCT: {
        // In a key stream a struct with key members contributes only those, without XCDR2
        // framing; one without contributes all its members, as in the data.
        const bool filter = key && t->keyed;
        const bool framed = w.v2 && !filter && t->extensibility != Extensibility::Final;
        if (!w.v2 && !filter && t->extensibility == Extensibility::Mutable) {
            write_parameter_list(w, t, p);
            return;
        }
        const size_t start = framed ? w.begin_length() : 0;
        if (framed && t->extensibility == Extensibility::Mutable) {
            write_mutable_members(w, t, p);
            w.end_length(start);
            return;
        }
        const size_t n = t->members.size();
        for (size_t i = 0; i < n;) {
            const Member &m = t->members[i];
            if (filter && !m.key) {
                ++i;
            } else if (m.optional && w.v2) {
                // XCDR2 final and appendable types: a presence flag, then the value if present.
                const uint8_t present = p[m.flag_offset] ? 1 : 0;
                w.raw(&present, 1);
                if (present)
                    write_value(w, m.rtype, p + m.offset, filter);
                ++i;
            } else if (m.optional) {
                write_optional(w, m, m.wire_id, p, filter);
                ++i;
            } else if (!w.swap && is_primitive_kind(m.rtype->kind)) {
                w.align(m.rtype->align);
                uint32_t end;
                const size_t j = primitive_run(t, i, w.pos() - w.origin, filter, end);
                w.raw(p + m.offset, end - m.offset);
                i = j;
            } else {
                write_value(w, m.rtype, p + m.offset, filter);
                ++i;
            }
        }
        if (framed)
            w.end_length(start);
        return;
    }
    case DDS_TK_UNION: {
        const auto *rep = reinterpret_cast<const UnionRep *>(p);
        const bool framed = w.v2 && t->extensibility != Extensibility::Final;
        const size_t start = framed ? w.begin_length() : 0;
        write_disc(w, t->discriminator, rep->disc);
        if (rep->selected >= 0) {
            if (size_t(rep->selected) >= t->members.size())
                throw Invalid{};
            write_value(w, t->members[size_t(rep->selected)].rtype, p + t->payload_offset, false);
        }
        if (framed)
            w.end_length(start);
        return;
    }
    default:
        throw Invalid{};
    }
}

// ---------------------------------------------------------------- sizes

// Positions as the Writer would reach them: pos in, end of the value out.
struct Sizer {
    bool v2;
    size_t al(size_t pos, size_t a) const { return align_to(pos, v2 && a > 4 ? 4 : a); }
    size_t value(const DDS_TypeCode *t, const unsigned char *p, size_t pos, bool key) const;

    size_t elems(const DDS_TypeCode *e, const unsigned char *p, size_t n, size_t pos) const
    {
        if (is_primitive_kind(e->kind))
            return al(pos, e->align) + n * e->size;
        for (size_t i = 0; i < n; ++i)
            pos = value(e, p + i * e->size, pos, false);
        return pos;
    }
};

size_t Sizer::value(const DDS_TypeCode *t, const unsigned char *p, size_t pos, bool key) const
{
    switch (t->kind) {
    case DDS_TK_STRING:
        return align_to(pos, 4) + 4 + reinterpret_cast<const BufRep *>(p)->len + 1;
    case DDS_TK_WSTRING:
        return align_to(pos, 4) + 4 + size_t(reinterpret_cast<const BufRep *>(p)->len) * 2;
    case DDS_TK_SEQUENCE: {
        const auto *b = reinterpret_cast<const BufRep *>(p);
        pos = align_to(pos, 4) + ((v2 && elements_framed(t)) ? 8 : 4);
        return b->len ? elems(t->rcontent, static_cast<const unsigned char *>(b->data), b->len, pos) : pos;
    }
    case DDS_TK_ARRAY:
        if (v2 && elements_framed(t))
            pos = align_to(pos, 4) + 4;
        return elems(t->rcontent, p, t->element_count, pos);
    case DDS_TK_STRUCT: {
        const bool filter = key && t->keyed;
        const bool framed = v2 && !filter && t->extensibility != Extensibility::Final;
        if (!v2 && !filter && t->extensibility == Extensibility::Mutable) {
            for (const Member &m : t->members) {
                if (m.optional && !p[m.flag_offset])
                    continue;
                const size_t v = value(m.rtype, p + m.offset, 0, false);
                pos = align_to(pos, 4) + 4 + ((v > kShortLengthMax || m.wire_id >= kShortIdLimit) ? kExtendedExtra : 0) + v;
            }
            return align_to(pos, 4) + 4; // the list's end
        }
        if (framed)
            pos = align_to(pos, 4) + 4;
        const bool em = framed && t->extensibility == Extensibility::Mutable;
        const size_t n = t->members.size();
        for (size_t i = 0; i < n; ++i) {
            const Member &m = t->members[i];
            if (filter && !m.key)
                continue;
            if (em) {
                if (m.optional && !p[m.flag_offset])
                    continue;
                pos = align_to(pos, 4) + em_overhead(m.rtype);
                pos = value(m.rtype, p + m.offset, pos, false);
            } else if (!m.optional) {
                pos = value(m.rtype, p + m.offset, pos, filter);
            } else if (v2) {
                pos += 1;
                if (p[m.flag_offset])
                    pos = value(m.rtype, p + m.offset, pos, filter);
            } else {
                pos = align_to(pos, 4) + 4;
                const size_t v = p[m.flag_offset] ? value(m.rtype, p + m.offset, 0, filter) : 0;
                if (v > kShortLengthMax || m.wire_id >= kShortIdLimit)
                    pos += kExtendedExtra;
                pos += v;
            }
        }
        return pos;
    }
    case DDS_TK_UNION: {
        const auto *rep = reinterpret_cast<const UnionRep *>(p);
        if (v2 && t->extensibility != Extensibility::Final)
            pos = align_to(pos, 4) + 4;
        const size_t ds = disc_size(t->discriminator);
        pos = al(pos, ds) + ds;
        if (rep->selected >= 0 && size_t(rep->selected) < t->members.size())
            pos = value(t->members[size_t(rep->selected)].rtype, p + t->payload_offset, pos, false);
        return pos;
    }
    default:
        return al(pos, t->align) + t->size;
    }
}

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

// ---------------------------------------------------------------- reading

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

void clear_value(const DDS_TypeCode *t, void *p);

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

void clear_value(const DDS_TypeCode *t, void *p)
{
    value_fini(t, p);
    value_init(t, p);
}

// ---------------------------------------------------------------- maximum sizes
//
// A type's serialized size depends on where it starts, through padding. We describe a type by an
// 8x8 matrix over (max, +): entry [i][j] is the largest number of bytes it takes when it starts
// at an offset ≡ i and ends at an offset ≡ j (mod 8), or kNone when that cannot happen. A struct
// is the product of its members' matrices, a choice (union cases, absent or present) the
// element-wise max; sequences and arrays use powers of the element's matrix. This counts padding
// exactly instead of adding a worst case per item.

using Len = int64_t;
constexpr Len kNone = -1;
constexpr Len kCap = Len(1) << 40; // saturates: anything this large counts as unbounded

struct SizeMat {
    Len v[8][8];
    bool unbounded = false;
};

SizeMat none_mat()
{
    SizeMat m;
    for (auto &row : m.v)
        for (Len &x : row)
            x = kNone;
    return m;
}

SizeMat identity_mat()
{
    SizeMat m = none_mat();
    for (int i = 0; i < 8; ++i)
        m.v[i][i] = 0;
    return m;
}

void put_max(SizeMat &m, int i, Len len)
{
    len = std::min(len, kCap);
    Len &x = m.v[i][(i + len) & 7];
    x = std::max(x, len);
}

// An item of n bytes aligned to a.
SizeMat fixed_mat(uint32_t a, uint32_t n)
{
    SizeMat m = none_mat();
    for (int i = 0; i < 8; ++i)
        put_max(m, i, Len((-i) & int(a - 1)) + n);
    return m;
}

SizeMat mul(const SizeMat &a, const SizeMat &b)
{
    SizeMat c = none_mat();
    c.unbounded = a.unbounded || b.unbounded;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            if (a.v[i][j] < 0)
                continue;
            for (int k = 0; k < 8; ++k)
                if (b.v[j][k] >= 0)
                    c.v[i][k] = std::max(c.v[i][k], std::min(a.v[i][j] + b.v[j][k], kCap));
        }
    return c;
}

SizeMat join(const SizeMat &a, const SizeMat &b)
{
    SizeMat c;
    c.unbounded = a.unbounded || b.unbounded;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            c.v[i][j] = std::max(a.v[i][j], b.v[i][j]);
    return c;
}

SizeMat power(const SizeMat &e, uint64_t n)
{
    SizeMat result = identity_mat(), base = e;
    for (; n; n >>= 1) {
        if (n & 1)
            result = mul(result, base);
        if (n > 1)
            base = mul(base, base);
    }
    return result;
}

// 0 to n repetitions of e: S(n) = I ⊕ e ⊕ … ⊕ e^n, by S(2k) = S(k) ⊕ e^k S(k), S(k+1) = S(k) ⊕ e^(k+1).
void up_to(const SizeMat &e, uint64_t n, SizeMat &sum, SizeMat &pow)
{
    if (n == 0) {
        sum = identity_mat();
        pow = identity_mat();
        return;
    }
    if (n & 1) {
        up_to(e, n - 1, sum, pow);
        pow = mul(pow, e);
        sum = join(sum, pow);
        return;
    }
    SizeMat half_sum, half_pow;
    up_to(e, n / 2, half_sum, half_pow);
    sum = join(half_sum, mul(half_pow, half_sum));
    pow = mul(half_pow, half_pow);
}

SizeMat up_to(const SizeMat &e, uint64_t n)
{
    SizeMat sum, pow;
    up_to(e, n, sum, pow);
    return sum;
}

SizeMat unbounded_mat()
{
    SizeMat m = fixed_mat(4, 4);
    m.unbounded = true;
    return m;
}

Len row0_max(const SizeMat &m)
{
    Len best = kNone;
    for (int j = 0; j < 8; ++j)
        best = std::max(best, m.v[0][j]);
    return best;
}

// An optional member: its header, then nothing or the value, whose alignment restarts after the
// header (so only the value's sizes from residue 0 matter).
SizeMat optional_mat(const SizeMat &value, uint32_t id)
{
    SizeMat m = none_mat();
    m.unbounded = value.unbounded;
    const Len id_extra = id >= kShortIdLimit ? kExtendedExtra : 0;
    for (int i = 0; i < 8; ++i) {
        const Len header = Len((-i) & 3) + 4;
        put_max(m, i, header + id_extra);
        for (int r = 0; r < 8; ++r) {
            const Len v = value.v[0][r];
            if (v < 0)
                continue;
            put_max(m, i, header + ((v > Len(kShortLengthMax) || id_extra) ? kExtendedExtra : 0) + v);
        }
    }
    return m;
}

class SizeCalc {
  public:
    explicit SizeCalc(bool v2 = false) : v2_(v2) {}

    const SizeMat &of(const DDS_TypeCode *t, bool key)
    {
        t = resolve(t);
        key = key && t->kind == DDS_TK_STRUCT && t->keyed;
        auto it = memo_.find({t, key});
        if (it != memo_.end())
            return it->second;
        SizeMat m = compute(t, key);
        return memo_.emplace(std::make_pair(t, key), m).first->second;
    }

  private:
    SizeMat item(uint32_t a, uint32_t n) const { return fixed_mat(v2_ && a > 4 ? 4 : a, n); }
    SizeMat framed(const SizeMat &body) const { return mul(fixed_mat(4, 4), body); }

    SizeMat compute(const DDS_TypeCode *t, bool key)
    {
        switch (t->kind) {
        case DDS_TK_STRING:
            if (!t->bound)
                return unbounded_mat();
            return mul(mul(fixed_mat(4, 4), up_to(fixed_mat(1, 1), t->bound)), fixed_mat(1, 1));
        case DDS_TK_WSTRING:
            if (!t->bound)
                return unbounded_mat();
            return mul(fixed_mat(4, 4), up_to(fixed_mat(2, 2), t->bound));
        case DDS_TK_SEQUENCE: {
            if (!t->bound)
                return unbounded_mat();
            const SizeMat e = of(t->rcontent, false);
            if (e.unbounded)
                return unbounded_mat();
            const SizeMat m = mul(fixed_mat(4, 4), up_to(e, t->bound));
            return v2_ && elements_framed(t) ? framed(m) : m;
        }
        case DDS_TK_ARRAY: {
            const SizeMat m = power(of(t->rcontent, false), t->element_count);
            return v2_ && elements_framed(t) ? framed(m) : m;
        }
        case DDS_TK_STRUCT: {
            const bool frame = v2_ && !key && t->extensibility != Extensibility::Final;
            const bool em = frame && t->extensibility == Extensibility::Mutable;
            if (!v2_ && !key && t->extensibility == Extensibility::Mutable) {
                SizeMat m = identity_mat(); // every member as a parameter (optional_mat counts empty ones too)
                for (const Member &mb : t->members)
                    m = mul(m, optional_mat(of(mb.rtype, false), mb.wire_id));
                return mul(m, fixed_mat(4, 4)); // the list's end
            }
            SizeMat m = identity_mat();
            for (size_t i = 0; i < t->members.size(); ++i) {
                const Member &mb = t->members[i];
                if (key && !mb.key)
                    continue;
                const SizeMat &v = of(mb.rtype, key);
                SizeMat one;
                if (em) // EMHEADER, NEXTINT unless a primitive
                    one = mul(fixed_mat(4, em_overhead(mb.rtype)), v);
                else if (mb.optional && v2_)
                    one = mul(fixed_mat(1, 1), v);
                else
                    one = mb.optional ? optional_mat(v, mb.wire_id) : v;
                if (mb.optional && (em || v2_))
                    one = join(em ? identity_mat() : fixed_mat(1, 1), one);
                m = mul(m, one);
            }
            return frame ? framed(m) : m;
        }
        case DDS_TK_UNION: {
            const uint32_t ds = static_cast<uint32_t>(disc_size(t->discriminator));
            SizeMat cases = t->default_case >= 0 ? none_mat() : identity_mat();
            for (const Member &mb : t->members)
                cases = join(cases, of(mb.rtype, false));
            const SizeMat m = mul(item(ds, ds), cases);
            return v2_ && t->extensibility != Extensibility::Final ? framed(m) : m;
        }
        default:
            return item(t->align, t->size);
        }
    }

    bool v2_;
    std::map<std::pair<const DDS_TypeCode *, bool>, SizeMat> memo_;
};

// Largest size from an aligned start, or nullopt-like kNone when unbounded or too large.
Len max_from_origin(const SizeMat &m)
{
    if (m.unbounded)
        return kNone;
    const Len best = row0_max(m);
    return best >= kCap ? kNone : best;
}

// ---------------------------------------------------------------- key hash

bool key_stream(const DDS_TypeCode *t, const void *block, char *buf, size_t cap, size_t &len)
{
    fc::FastBuffer fb(buf, cap);
    fc::Cdr cdr(fb, fc::Cdr::BIG_ENDIANNESS, fc::Cdr::CORBA_CDR);
    try {
        Writer w{cdr, 0, kHostLittle, true};
        write_value(w, t, static_cast<const unsigned char *>(block), true);
        len = w.pos();
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

// ---------------------------------------------------------------- entry points

namespace {

// Largest body over both versions, kNone when either is unbounded.
Len max_body(const DDS_TypeCode *t)
{
    SizeCalc v1(false), v2(true);
    const Len a = max_from_origin(v1.of(t, false)), b = max_from_origin(v2.of(t, false));
    return a < 0 || b < 0 ? kNone : std::max(a, b);
}

constexpr uint16_t kEncCdrBe = 0x0000, kEncPlCdrBe = 0x0002, kEncCdr2Be = 0x0006, kEncDCdr2Be = 0x0008, kEncPlCdr2Be = 0x000a;

} // namespace

uint32_t cdr_key_max_size(const DDS_TypeCode *t)
{
    t = resolve(t);
    if (!t || t->kind != DDS_TK_STRUCT || !t->keyed)
        return 0;
    constexpr uint32_t unknown = UINT32_MAX - 1; // as the type code starts it
    uint32_t k = t->key_max_size.load(std::memory_order_relaxed);
    if (k != unknown)
        return k;
    // Two threads may both compute it: they store the same value.
    SizeCalc calc(true);
    const Len len = max_from_origin(calc.of(t, true));
    k = len < 0 || len >= Len(unknown) ? UINT32_MAX : static_cast<uint32_t>(len);
    t->key_max_size.store(k, std::memory_order_relaxed);
    return k;
}

uint32_t cdr_max_serialized_size(const DDS_TypeCode *t)
{
    t = resolve(t);
    if (!t)
        return 0;
    try {
        const Len body = max_body(t);
        if (body < 0 || body + kCdrHeaderSize > Len(UINT32_MAX))
            return 0;
        return static_cast<uint32_t>(body + kCdrHeaderSize);
    } catch (...) {
        return 0;
    }
}

CdrVersion cdr_default_version(const DDS_TypeCode *t)
{
    t = resolve(t);
    return t && t->extensibility != Extensibility::Final ? CdrVersion::Xcdr2 : CdrVersion::Xcdr1;
}

bool cdr_write_header(fc::Cdr &cdr, const DDS_TypeCode *t, CdrVersion v)
{
    uint16_t id = kEncCdrBe;
    if (v == CdrVersion::Xcdr1 && resolve(t) && resolve(t)->extensibility == Extensibility::Mutable)
        id = kEncPlCdrBe;
    if (v == CdrVersion::Xcdr2) {
        t = resolve(t);
        const Extensibility e = t ? t->extensibility : Extensibility::Final;
        id = e == Extensibility::Mutable ? kEncPlCdr2Be : e == Extensibility::Appendable ? kEncDCdr2Be : kEncCdr2Be;
    }
    if (cdr.endianness() == fc::Cdr::LITTLE_ENDIANNESS)
        id |= 1;
    const char header[4] = {char(id >> 8), char(id & 0xff), 0, 0};
    try {
        cdr.serializeArray(header, 4);
    } catch (...) {
        return false;
    }
    cdr.resetAlignment();
    return true;
}

bool cdr_read_header(fc::Cdr &cdr, CdrVersion &v, const DDS_TypeCode *t, std::string *why)
{
    unsigned char header[4];
    try {
        cdr.deserializeArray(reinterpret_cast<char *>(header), 4);
    } catch (...) {
        if (why)
            *why = "payload shorter than its encapsulation header";
        return false;
    }
    const uint16_t id = uint16_t(header[0] << 8 | header[1]);
    t = resolve(t);
    switch (id & ~1u) {
    case kEncCdrBe:
    case kEncPlCdrBe:
        // XCDR1 has two bodies: a parameter list for mutable types, plain CDR for the others.
        if (t && (t->extensibility == Extensibility::Mutable) != ((id & ~1u) == kEncPlCdrBe)) {
            if (why)
                *why = t->extensibility == Extensibility::Mutable ? "plain XCDR1 for a mutable type" : "an XCDR1 parameter list for a type that is not mutable";
            return false;
        }
        v = CdrVersion::Xcdr1;
        break;
    case kEncCdr2Be:
    case kEncDCdr2Be:
    case kEncPlCdr2Be: {
        // XCDR2 names the body's extensibility: another one is a peer with another type (a frame
        // or member headers would be read as members).
        static const char *const names[] = {"PLAIN_CDR2 (final)", "D_CDR2 (appendable)", "PL_CDR2 (mutable)"};
        const unsigned sent = ((id & ~1u) - kEncCdr2Be) / 2;
        const unsigned ours = !t ? sent : t->extensibility == Extensibility::Mutable ? 2 : t->extensibility == Extensibility::Appendable ? 1 : 0;
        if (sent != ours) {
            if (why)
                *why = std::string(names[sent]) + " for a type that is " + (ours == 2 ? "mutable" : ours == 1 ? "appendable" : "final");
            return false;
        }
        v = CdrVersion::Xcdr2;
        break;
    }
    default:
        if (why) {
            char text[64];
            std::snprintf(text, sizeof text, "unknown encapsulation 0x%04x", unsigned(id));
            *why = text;
        }
        return false;
    }
    cdr.changeEndianness(id & 1 ? fc::Cdr::LITTLE_ENDIANNESS : fc::Cdr::BIG_ENDIANNESS);
    cdr.resetAlignment();
    return true;
}

bool cdr_serialize(const DDS_TypeCode *t, const void *block, fc::Cdr &cdr, CdrVersion v, bool key_only)
{
    t = resolve(t);
    if (!t || !block)
        return false;
    try {
        const bool little = cdr.endianness() == fc::Cdr::LITTLE_ENDIANNESS;
        Writer w{cdr, cdr.getSerializedDataLength(), little != kHostLittle, v == CdrVersion::Xcdr2};
        write_value(w, t, static_cast<const unsigned char *>(block), key_only);
        return true;
    } catch (...) {
        return false;
    }
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

bool cdr_key_from_short_payload(const DDS_TypeCode *t, void *block, const unsigned char bytes[16])
{
    // The payload's true length is lost: the handle is zero filled past it. Try each length the
    // zero tail allows, longest first, so a key ending in zero bytes still decodes whole.
    for (size_t end = 16; end > kCdrHeaderSize; --end) {
        if (end < 16 && bytes[end] != 0)
            break;
        char buf[16];
        std::memcpy(buf, bytes, 16);
        fc::FastBuffer fb(buf, end);
        fc::Cdr cdr(fb, fc::Cdr::LITTLE_ENDIANNESS, fc::Cdr::DDS_CDR);
        CdrVersion v;
        if (cdr_read_header(cdr, v, t) && cdr_deserialize(t, block, cdr, end, true, v))
            return true;
    }
    return false;
}

size_t cdr_serialized_size(const DDS_TypeCode *t, const void *block, CdrVersion v, bool key_only)
{
    t = resolve(t);
    if (!t || !block)
        return 0;
    return Sizer{v == CdrVersion::Xcdr2}.value(t, static_cast<const unsigned char *>(block), 0, key_only);
}

bool cdr_key_hash(const DDS_TypeCode *t, const void *block, unsigned char hash[16], bool force_md5)
{
    t = resolve(t);
    if (!t || !block || t->kind != DDS_TK_STRUCT || !t->keyed)
        return false;
    try {
        if (cdr_key_max_size(t) <= 16 && !force_md5) {
            char buf[16] = {};
            size_t len = 0;
            if (!key_stream(t, block, buf, sizeof buf, len))
                return false;
            std::memcpy(hash, buf, 16);
            return true;
        }
        char small[256];
        std::vector<char> big;
        char *buf = small;
        size_t len = 0;
        if (!key_stream(t, block, small, sizeof small, len)) {
            big.resize(Sizer{true}.value(t, static_cast<const unsigned char *>(block), 0, true));
            buf = big.data();
            if (big.empty() || !key_stream(t, block, buf, big.size(), len))
                return false;
        }
        MD5 md5;
        md5.init();
        md5.update(reinterpret_cast<const unsigned char *>(buf), static_cast<MD5::size_type>(len));
        md5.finalize();
        std::memcpy(hash, md5.digest, 16);
        return true;
    } catch (...) {
        return false;
    }
}

bool instance_key_hash(const DDS_TypeCode *type, const void *block, unsigned char hash[16], bool force_md5)
{
    if (!cdr_key_hash(type, block, hash, force_md5))
        return false;
    static const unsigned char zero[16] = {};
    if (!force_md5 && std::memcmp(hash, zero, 16) == 0)
        return cdr_key_hash(type, block, hash, true);
    return true;
}

} // namespace quelt::mw

// ---------------------------------------------------------------- C API
using namespace quelt::mw;

namespace {

bool has_value(const DDS_DynamicData *d) { return d->type && d->p; }

} // namespace

extern "C" {

DDS_UnsignedLong DDS_DynamicData_get_serialized_size(const DDS_DynamicData *self)
{
    if (!self || !has_value(self))
        return 0;
    const size_t n = kCdrHeaderSize + cdr_serialized_size(self->type, self->p, cdr_default_version(self->type));
    return n > UINT32_MAX ? 0 : static_cast<DDS_UnsignedLong>(n);
}

DDS_UnsignedLong DDS_TypeCode_get_max_serialized_size(const DDS_TypeCode *type) { return cdr_max_serialized_size(type); }

DDS_ReturnCode_t DDS_DynamicData_to_cdr_buffer_ex(const DDS_DynamicData *self, unsigned char *buffer, DDS_UnsignedLong *length,
                                                  DDS_DataRepresentationId_t representation, DDS_Boolean big_endian)
{
    if (!self || !length || (representation != DDS_XCDR_DATA_REPRESENTATION && representation != DDS_XCDR2_DATA_REPRESENTATION))
        return DDS_RETCODE_BAD_PARAMETER;
    if (!has_value(self))
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    const CdrVersion v = representation == DDS_XCDR2_DATA_REPRESENTATION ? CdrVersion::Xcdr2 : CdrVersion::Xcdr1;
    if (buffer) {
        try {
            fc::FastBuffer fb(reinterpret_cast<char *>(buffer), *length);
            fc::Cdr cdr(fb, big_endian ? fc::Cdr::BIG_ENDIANNESS : fc::Cdr::LITTLE_ENDIANNESS, fc::Cdr::DDS_CDR);
            if (cdr_write_header(cdr, self->type, v) && cdr_serialize(self->type, self->p, cdr, v)) {
                *length = static_cast<DDS_UnsignedLong>(cdr.getSerializedDataLength());
                return DDS_RETCODE_OK;
            }
        } catch (...) {
        }
    }
    // Tell a short buffer from a sample that breaks its bounds.
    const size_t n = kCdrHeaderSize + cdr_serialized_size(self->type, self->p, v);
    const DDS_UnsignedLong need = n > UINT32_MAX ? 0 : static_cast<DDS_UnsignedLong>(n);
    if (!buffer) {
        *length = need;
        return need ? DDS_RETCODE_OK : DDS_RETCODE_BAD_PARAMETER;
    }
    if (need == 0 || need <= *length)
        return DDS_RETCODE_BAD_PARAMETER;
    *length = need;
    return DDS_RETCODE_OUT_OF_RESOURCES;
}

DDS_ReturnCode_t DDS_DynamicData_to_cdr_buffer(const DDS_DynamicData *self, unsigned char *buffer, DDS_UnsignedLong *length)
{
    const bool v2 = self && has_value(self) && cdr_default_version(self->type) == CdrVersion::Xcdr2;
    return DDS_DynamicData_to_cdr_buffer_ex(self, buffer, length, v2 ? DDS_XCDR2_DATA_REPRESENTATION : DDS_XCDR_DATA_REPRESENTATION,
                                            DDS_BOOLEAN_FALSE);
}

DDS_ReturnCode_t DDS_DynamicData_from_cdr_buffer(DDS_DynamicData *self, const unsigned char *buffer, DDS_UnsignedLong length)
{
    if (!self || !buffer)
        return DDS_RETCODE_BAD_PARAMETER;
    if (!has_value(self) || self->bound_child)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    std::string why;
    try {
        // Fast CDR wants a mutable buffer; reading never writes to it.
        fc::FastBuffer fb(const_cast<char *>(reinterpret_cast<const char *>(buffer)), length);
        fc::Cdr cdr(fb, fc::Cdr::DEFAULT_ENDIAN, fc::Cdr::DDS_CDR);
        CdrVersion v;
        if (cdr_read_header(cdr, v, self->type, &why) && cdr_deserialize(self->type, self->p, cdr, length, false, v, &why))
            return DDS_RETCODE_OK;
    } catch (...) {
    }
    clear_value(self->type, self->p);
    QueltLog_error("DDS_DynamicData_from_cdr_buffer", "%u bytes are not a sample of '%s': %s", unsigned(length), self->type->name.c_str(),
                   why.c_str());
    return DDS_RETCODE_BAD_PARAMETER;
}

DDS_ReturnCode_t DDS_DynamicData_get_keyhash(const DDS_DynamicData *self, DDS_KeyHash_t *hash)
{
    if (!self || !hash)
        return DDS_RETCODE_BAD_PARAMETER;
    std::memset(hash->value, 0, sizeof hash->value);
    if (!has_value(self) || self->type->kind != DDS_TK_STRUCT || !self->type->keyed)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    if (!cdr_key_hash(self->type, self->p, hash->value)) {
        std::memset(hash->value, 0, sizeof hash->value);
        return DDS_RETCODE_BAD_PARAMETER;
    }
    return DDS_RETCODE_OK;
}

DDS_Boolean DDS_TypeCode_is_keyhash_reversible(const DDS_TypeCode *type)
{
    type = resolve(type);
    return type && type->kind == DDS_TK_STRUCT && type->keyed && cdr_key_max_size(type) <= 16 ? DDS_BOOLEAN_TRUE
                                                                                         : DDS_BOOLEAN_FALSE;
}

DDS_ReturnCode_t DDS_DynamicData_set_from_keyhash(DDS_DynamicData *self, const DDS_KeyHash_t *hash)
{
    if (!self || !hash)
        return DDS_RETCODE_BAD_PARAMETER;
    if (!has_value(self) || self->bound_child || !DDS_TypeCode_is_keyhash_reversible(self->type))
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    char buf[16];
    std::memcpy(buf, hash->value, 16);
    try {
        fc::FastBuffer fb(buf, sizeof buf);
        fc::Cdr cdr(fb, fc::Cdr::BIG_ENDIANNESS, fc::Cdr::CORBA_CDR);
        Reader r{cdr, 0, sizeof buf, kHostLittle, true};
        read_value(r, self->type, self->p, true);
        // The stream is zero padded to 16 bytes: anything else is not a hash of this type.
        const size_t used = r.pos();
        if (std::all_of(buf + used, buf + sizeof buf, [](char c) { return c == 0; }))
            return DDS_RETCODE_OK;
    } catch (...) {
    }
    clear_value(self->type, self->p);
    return DDS_RETCODE_BAD_PARAMETER;
}

} // extern "C"
