// The wire form of sample values: XCDR1 (plain CDR) and XCDR2, 4-byte encapsulation header, and
// the RTPS key hash.
//
// XCDR2 (XTypes 1.3) differs from XCDR1 in: nothing aligns past 4 bytes; appendable and mutable
// structs and unions, and sequences and arrays of non-primitive elements, start with a DHEADER
// (uint32 byte length of what follows); each present member of a mutable struct comes behind an
// EMHEADER (must-understand flag for key members, length code 0..3 for 1..8-byte primitives, else
// 4 and a NEXTINT length) with its member id; optional members of final and appendable structs
// take a presence byte; a wide string's length counts bytes. Mutable unions are not supported.
//
// XCDR1 mutable structs (PL_CDR) are parameter lists: each present member as a parameter like an
// optional member's below (must-understand for key members), closed by PID_LIST_END 0x3F02|0x4000
// with length 0.
//
// Encoding choices (a reader of another implementation must agree on these):
// - Body alignment is relative to the end of the encapsulation header; 8-byte types align to 8
//   (XCDR1) or 4 (XCDR2).
// - string: uint32 length counting the NUL, the bytes, the NUL. Length 0, a missing NUL or a
//   length over the bound are rejected on read.
// - wstring: uint32 length, then the UTF-16 code units (2 bytes each), no NUL. The length counts
//   code units in XCDR1 (as the implementations we talk to write it) and bytes in XCDR2.
// - boolean: one byte, 0 or 1; enum: int32 that must name an enumerator; long double: 16 bytes
//   aligned to 8, taken as an opaque 128-bit number (byte-reversed in big-endian streams).
// - union: the discriminator at its own size, then the selected case (nothing when no case
//   matches and there is no default).
// - optional member: final types in XCDR1 carry no presence flag, so we put an XCDR1 parameter
//   header in front of each optional member: align 4, uint16 member id (the XTypes member id,
//   must-understand bit 0x4000 clear), uint16 length of the value (0: absent). The value's
//   alignment restarts at its first byte. A value over 65535 bytes (or an id from 0x3F00 on) uses
//   the long form: PID_EXTENDED 0x3F01|0x4000, length 8, uint32 member id, uint32 length. On read
//   up to 3 bytes of padding after the value, inside the declared length, are accepted.
// - Padding bytes are written as zeros, so equal samples give equal bytes (and equal key hashes).
//
// Reading never trusts a length: a string or sequence length is checked against its bound and
// against the bytes left before anything is allocated. Elements may take more memory than wire
// bytes (an empty frame of an appendable struct, an absent optional, a union's small case): what a
// sample allocates is charged against a budget that grows with the payload's size.
//
// Return codes of the C functions (dds_dynamicdata.h "wire form"):
//   DDS_RETCODE_BAD_PARAMETER        null argument; a buffer that is not a valid sample of the type
//                                    (unsupported encapsulation, truncated, bad value, over a bound,
//                                    more than 3 trailing bytes); a sample that breaks its type's
//                                    bounds when written or hashed; a key hash that does not decode.
//   DDS_RETCODE_OUT_OF_RESOURCES     to_cdr_buffer: the capacity is too small; *length is then set
//                                    to the size needed. (A null buffer asks for the size: *length
//                                    is set and the result is OK.)
//   DDS_RETCODE_PRECONDITION_NOT_MET the DynamicData holds no value, or is read-only because a
//                                    member is bound to it (for the functions that write it); key
//                                    hash of a type that is not a struct with key members (the hash
//                                    is then set to zeros, the RTPS "no key" value);
//                                    set_from_keyhash on a type whose key may exceed 16 bytes.
#pragma once

#include "types/typecode.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace eprosima::fastcdr {
class Cdr;
}

namespace quelt::mw {

// The largest big-endian XCDR2 size of a keyed struct's key (UINT32_MAX when unbounded, 0 for a
// type without key), computed once per type and cached in it.
//
// Sizes are exact maxima over all samples: the computation follows every item's position modulo
// 8 (the largest alignment), so padding is counted as it really falls rather than as a worst
// case per item. Unions (all cases and "no case" are taken as possible) and optionals (the long
// header counted whenever the value may exceed 65535 bytes) make it an upper bound. A size that
// does not fit in 32 bits counts as unbounded.
uint32_t cdr_key_max_size(const DDS_TypeCode *t);

// The largest whole serialized sample, header included, by the same rules; 0 when unbounded.
uint32_t cdr_max_serialized_size(const DDS_TypeCode *t);

constexpr uint32_t kCdrHeaderSize = 4;

enum class CdrVersion : uint8_t { Xcdr1 = 1, Xcdr2 = 2 };

// What writers of t use unless configured otherwise: XCDR1 for final types (what every
// implementation reads), XCDR2 for appendable and mutable ones.
CdrVersion cdr_default_version(const DDS_TypeCode *t);

// Writes the encapsulation header for the version, t's extensibility and the Cdr's endianness
// (XCDR1: CDR_BE/LE 0x0000/0x0001, PL_CDR_BE/LE 0x0002/0x0003 for mutable types; XCDR2: PLAIN_CDR2 0x0006/0x0007 for final types, D_CDR2
// 0x0008/0x0009 for appendable, PL_CDR2 0x000a/0x000b for mutable ones) and makes the next byte
// the alignment origin.
bool cdr_write_header(eprosima::fastcdr::Cdr &cdr, const DDS_TypeCode *t = nullptr, CdrVersion v = CdrVersion::Xcdr1);
// Reads the header; accepts every XCDR1 and XCDR2 identifier (options ignored), sets the Cdr's
// endianness and tells the version. With t, the identifier must be the one t's extensibility has:
// PL_CDR (a parameter list) for mutable types and plain CDR for the others in XCDR1; PLAIN_CDR2,
// D_CDR2 or PL_CDR2 for final, appendable or mutable types in XCDR2.
// With why, a refusal says what was wrong.
bool cdr_read_header(eprosima::fastcdr::Cdr &cdr, CdrVersion &v, const DDS_TypeCode *t = nullptr, std::string *why = nullptr);

// Body of a sample of type t (aliases allowed) at the Cdr's current position, which becomes the
// alignment origin (call it right after the header). Uses the Cdr's endianness. False when the
// buffer is too small or the sample breaks its type's bounds; the Cdr's position is then
// unspecified. Never throws. With key_only, only the key members are written, as a dispose or an
// unregister notice carries them (the form cdr_deserialize reads with key_only).
bool cdr_serialize(const DDS_TypeCode *t, const void *block, eprosima::fastcdr::Cdr &cdr, CdrVersion v = CdrVersion::Xcdr1,
                   bool key_only = false);

// Replaces the value in block (initialized, of type t) with the body at the Cdr's current
// position, in the Cdr's endianness. end is the offset, from the start of the Cdr's buffer, of
// the first byte not to read (the payload length). Strings and sequences already in the block
// keep their storage. On failure (also when more than 3 bytes follow the body) the value is left
// as value_init makes it and false is returned. Never throws.
// With key_only, the body holds only the key members (in the stream's byte order), as other
// implementations send with dispose and unregister notices; the other members are left cleared.
// XCDR2 reading follows the type: appendable members the sender lacks get their defaults, members
// it has beyond ours are skipped; mutable members are matched by id in any order, unknown ids are
// skipped unless must-understand (then the sample is refused).
// Strings and sequences may allocate 1 MiB plus 256 bytes per payload byte in all; a sample that
// needs more is refused.
// With why, a refusal says what did not fit, naming the member being read: "payload ends before
// member 'z'", "a value names no enumerator in member 'c'", "8 bytes follow the end of the sample".
bool cdr_deserialize(const DDS_TypeCode *t, void *block, eprosima::fastcdr::Cdr &cdr, size_t end, bool key_only = false,
                     CdrVersion v = CdrVersion::Xcdr1, std::string *why = nullptr);

// Fast DDS takes a received key-only payload of at most 16 bytes (encapsulation header and key,
// as other implementations send with dispose and unregister) as the instance handle itself.
// Decodes the key members of such a handle into block; false when it is not one.
bool cdr_key_from_short_payload(const DDS_TypeCode *t, void *block, const unsigned char bytes[16]);

// Exact size of the body of the sample (no header), as cdr_serialize writes it.
size_t cdr_serialized_size(const DDS_TypeCode *t, const void *block, CdrVersion v = CdrVersion::Xcdr1, bool key_only = false);

// RTPS key hash of a sample of a keyed struct type (XTypes 1.3): the key members in big-endian
// XCDR2 (no framing around them), zero padded to 16 bytes when cdr_key_max_size <= 16 (unless
// force_md5), else their MD5. False when the type has no key or the sample breaks its bounds.
// Never throws.
bool cdr_key_hash(const DDS_TypeCode *t, const void *block, unsigned char hash[16], bool force_md5 = false);

// The instance handle of a sample: its key hash, hashed with MD5 where the plain one is all zeros,
// because an all-zero handle means "no instance" (Fast DDS takes it so).
bool instance_key_hash(const DDS_TypeCode *type, const void *block, unsigned char hash[16], bool force_md5 = false);

} // namespace quelt::mw
