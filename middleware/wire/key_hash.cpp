// The RTPS key hash of a sample (its key members streamed big-endian in XCDR2, or their MD5
// when they may exceed 16 bytes), and the key back from a hash that holds it.
#include "wire/cdr_codec.h"

#include <fastcdr/FastBuffer.h>
#include <fastrtps/utils/md5.h>

#include <algorithm>

#include <vector>

namespace quelt::mw {

using namespace codec;

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
            big.resize(cdr_serialized_size(t, block, CdrVersion::Xcdr2, true));
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
using namespace quelt::mw::codec;

extern "C" {

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
        const size_t used = read_key_stream(self->type, self->p, buf, sizeof buf);
        // The stream is zero padded to 16 bytes: anything else is not a hash of this type.
        if (std::all_of(buf + used, buf + sizeof buf, [](char c) { return c == 0; }))
            return DDS_RETCODE_OK;
    } catch (...) {
    }
    clear_value(self->type, self->p);
    return DDS_RETCODE_BAD_PARAMETER;
}

} // extern "C"
