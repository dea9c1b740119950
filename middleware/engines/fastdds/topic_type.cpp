#include "engines/fastdds/topic_type.h"

#include "wire/cdr.h"
#include "types/dynamicdata_impl.h"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>

#include <cstring>

namespace quelt::mw {

using eprosima::fastrtps::rtps::InstanceHandle_t;
using eprosima::fastrtps::rtps::SerializedPayload_t;

namespace {

// Payload pools start at this size for types without a bound; they grow as samples need.
constexpr uint32_t kUnboundedInitialSize = 1024;

// 0: no writer has set one; else the CdrVersion value. Static TLS, as the library may be loaded
// with dlopen (the Lua module) and dynamic TLS of such libraries trips LeakSanitizer at exit.
thread_local int t_encoding __attribute__((tls_model("initial-exec"))) = 0;

} // namespace

EncodingScope::EncodingScope(CdrVersion v) : previous_(t_encoding) { t_encoding = int(v); }
EncodingScope::~EncodingScope() { t_encoding = previous_; }

DynamicTopicType::DynamicTopicType(const std::string &name, const DDS_TypeCode *type)
    : type_(resolve(type)), default_version_(cdr_default_version(type))
{
    setName(name.c_str());
    const uint32_t max = cdr_max_serialized_size(type_);
    m_typeSize = max ? max : kUnboundedInitialSize;
    m_isGetKeyDefined = type_->kind == DDS_TK_STRUCT && type_->keyed;
    auto_fill_type_object(false);
    auto_fill_type_information(false);
}

bool DynamicTopicType::serialize(void *data, SerializedPayload_t *payload)
{
    auto *d = static_cast<DDS_DynamicData *>(data);
    if (!d || !d->p || !payload)
        return false;
    const CdrVersion v = t_encoding ? CdrVersion(t_encoding) : default_version_;
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char *>(payload->data), payload->max_size);
    eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::LITTLE_ENDIANNESS, eprosima::fastcdr::Cdr::DDS_CDR);
    if (!cdr_write_header(cdr, type_, v) || !cdr_serialize(type_, d->p, cdr, v))
        return false;
    payload->encapsulation = CDR_LE; // Fast DDS only tells the byte order from it
    payload->length = static_cast<uint32_t>(cdr.getSerializedDataLength());
    return true;
}

bool DynamicTopicType::deserialize(SerializedPayload_t *payload, void *data)
{
    auto *d = static_cast<DDS_DynamicData *>(data);
    if (!d || !d->p || !payload || !payload->data)
        return false;
    std::string why;
    bool key_read = false;
    for (bool key_only : {false, true}) {
        // A notice from another implementation may carry the serialized key alone; Fast DDS then
        // asks us for the sample only to learn its instance. As data, such a payload is refused.
        if (key_only && !m_isGetKeyDefined)
            break;
        eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char *>(payload->data), payload->length);
        eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::LITTLE_ENDIANNESS, eprosima::fastcdr::Cdr::DDS_CDR);
        CdrVersion v;
        std::string *reason = key_only ? nullptr : &why;
        key_read = cdr_read_header(cdr, v, type_, reason) && cdr_deserialize(type_, d->p, cdr, payload->length, key_only, v, reason);
        if (key_read && !key_only) {
            d->refused = false;
            return true;
        }
    }
    d->refused = true;
    std::lock_guard<std::mutex> g(refusal_lock_);
    refusal_ = why;
    return key_read; // a key alone is all Fast DDS wants from a notice's payload
}

std::string DynamicTopicType::last_refusal() const
{
    std::lock_guard<std::mutex> g(refusal_lock_);
    return refusal_;
}

std::function<uint32_t()> DynamicTopicType::getSerializedSizeProvider(void *data)
{
    const DDS_TypeCode *t = type_;
    const CdrVersion v = t_encoding ? CdrVersion(t_encoding) : default_version_;
    auto *d = static_cast<DDS_DynamicData *>(data);
    return [t, d, v]() -> uint32_t { return d && d->p ? static_cast<uint32_t>(kCdrHeaderSize + cdr_serialized_size(t, d->p, v)) : 0; };
}

void *DynamicTopicType::createData() { return DDS_DynamicData_new(type_, nullptr); }

void DynamicTopicType::deleteData(void *data) { DDS_DynamicData_delete(static_cast<DDS_DynamicData *>(data)); }

bool DynamicTopicType::getKey(void *data, InstanceHandle_t *handle, bool force_md5)
{
    auto *d = static_cast<DDS_DynamicData *>(data);
    if (!m_isGetKeyDefined || !d || !d->p || !handle)
        return false;
    return instance_key_hash(type_, d->p, handle->value, force_md5);
}

} // namespace quelt::mw
