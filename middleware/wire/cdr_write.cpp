// Writing sample values in XCDR1 and XCDR2, and their sizes as written.
#include "wire/cdr_codec.h"

#include <fastcdr/FastBuffer.h>

namespace quelt::mw {

using namespace codec;

namespace {

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

} // namespace

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

size_t cdr_serialized_size(const DDS_TypeCode *t, const void *block, CdrVersion v, bool key_only)
{
    t = resolve(t);
    if (!t || !block)
        return 0;
    return Sizer{v == CdrVersion::Xcdr2}.value(t, static_cast<const unsigned char *>(block), 0, key_only);
}

bool codec::key_stream(const DDS_TypeCode *t, const void *block, char *buf, size_t cap, size_t &len)
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

} // namespace quelt::mw
