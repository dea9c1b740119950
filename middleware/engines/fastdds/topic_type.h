// A Fast DDS data type whose samples are our DynamicData objects: what Fast DDS writes and reads
// on the wire is the XCDR1 or XCDR2 image of the sample, so any DDS implementation sees an
// ordinary topic.
#pragma once

#include "wire/cdr.h"
#include "types/typecode.h"

#include <fastdds/dds/topic/TopicDataType.hpp>

#include <mutex>
#include <string>

namespace quelt::mw {

class DynamicTopicType : public eprosima::fastdds::dds::TopicDataType {
  public:
    DynamicTopicType(const std::string &name, const DDS_TypeCode *type);

    bool serialize(void *data, eprosima::fastrtps::rtps::SerializedPayload_t *payload) override;
    bool deserialize(eprosima::fastrtps::rtps::SerializedPayload_t *payload, void *data) override;
    std::function<uint32_t()> getSerializedSizeProvider(void *data) override;
    void *createData() override;
    void deleteData(void *data) override;
    bool getKey(void *data, eprosima::fastrtps::rtps::InstanceHandle_t *handle, bool force_md5 = false) override;

    const DDS_TypeCode *type() const { return type_; }
    // Why the last payload refused by deserialize did not fit (empty when none was).
    std::string last_refusal() const;

  private:
    const DDS_TypeCode *type_;
    CdrVersion default_version_;
    mutable std::mutex refusal_lock_;
    std::string refusal_;
};

// The representation that the calling thread's writer uses. Fast DDS 2.9 serializes inside
// DataWriter::write (and dispose, unregister) without saying which writer asks, and the type is
// shared by every writer of the participant: each of our writers sets its own around the call.
// Without one, the type's default applies.
class EncodingScope {
  public:
    explicit EncodingScope(CdrVersion v);
    ~EncodingScope();
    EncodingScope(const EncodingScope &) = delete;
    EncodingScope &operator=(const EncodingScope &) = delete;

  private:
    int previous_;
};

} // namespace quelt::mw
