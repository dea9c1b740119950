// What the parts of the wire codec share: XCDR constants, alignment and byte-order helpers, and
// the walks one part offers the others. Internal to wire/.
//
// Fast CDR is used as the bounded byte stream only: every value goes through its byte-array calls
// and we do alignment and byte order ourselves. Fast CDR's own alignment cache (last data size,
// one alignment origin) cannot follow the origin restarts of optional members, and its padding
// bytes are left unwritten, which would make equal samples hash differently.
#pragma once

#include "wire/cdr.h"

#include "types/dynamicdata_impl.h"

#include <fastcdr/Cdr.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace quelt::mw::codec {

namespace fc = eprosima::fastcdr;

constexpr bool kHostLittle = std::endian::native == std::endian::little;
constexpr uint16_t kPidExtended = 0x3F01;
constexpr uint16_t kPidMustUnderstand = 0x4000;
constexpr uint16_t kPidMask = 0x3FFF;
constexpr uint32_t kShortIdLimit = 0x3F00;
constexpr uint32_t kShortLengthMax = 0xFFFF;
constexpr uint32_t kExtendedExtra = 8; // PID_EXTENDED header: uint32 id + uint32 length after the short header
constexpr uint32_t kExtendedMustUnderstand = 0x40000000u; // in the extended header's id word
constexpr uint16_t kPidListEnd = 0x3F02;

inline constexpr char kZeros[16] = {};

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

inline bool has_value(const DDS_DynamicData *d) { return d->type && d->p; }

// The key members of a sample as the key hash streams them (big-endian XCDR2), into buf; false
// when they do not fit cap bytes or break their bounds. (cdr_write.cpp)
bool key_stream(const DDS_TypeCode *t, const void *block, char *buf, size_t cap, size_t &len);
// Reads such a key stream of size bytes into the key members of block; the bytes used. Throws
// when they are not a key of the type. (cdr_read.cpp)
size_t read_key_stream(const DDS_TypeCode *t, void *block, char *buf, size_t size);
// Back to the type's initial value. (cdr_read.cpp)
void clear_value(const DDS_TypeCode *t, void *p);

} // namespace quelt::mw::codec
