// What the DDS entities are inside: thin records over the Fast DDS entities, holding what Fast
// DDS does not keep for us (names, our QoS records, listeners, status flags, instance keys).
#pragma once

#include "wire/cdr.h"
#include "dds/dds_domain.h"
#include "types/dynamicdata_impl.h"
#include "config/xml_config.h"

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/DataWriterListener.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>

#include <array>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace quelt::mw {

enum class EntityKind { Participant, Publisher, Subscriber, Topic, Writer, Reader };

class WaitSetImpl;

} // namespace quelt::mw

struct DDS_Condition {
    // Conditions only know how to tell their trigger value and whom to wake.
    virtual ~DDS_Condition() = default;
    virtual bool triggered() const = 0;
    std::mutex lock;
    std::set<quelt::mw::WaitSetImpl *> waitsets; // guarded by lock
    void wake();
};

struct DDS_StatusCondition : DDS_Condition {
    DDS_Entity *owner = nullptr;
    std::atomic<DDS_StatusMask> enabled{DDS_STATUS_MASK_ALL};
    bool triggered() const override;
};

struct DDS_Entity {
    explicit DDS_Entity(quelt::mw::EntityKind k) : kind(k) { condition.owner = this; }
    virtual ~DDS_Entity() = default;
    quelt::mw::EntityKind kind;
    DDS_StatusCondition condition;
    // Statuses that changed since last read; data-available is computed from the reader instead.
    std::atomic<DDS_StatusMask> changed{0};
    void status_changed(DDS_StatusMask bit)
    {
        changed.fetch_or(bit);
        condition.wake();
    }
};

struct DDS_TopicDescription {
    DDS_Topic *topic = nullptr;
};

struct DDS_Topic : DDS_Entity {
    DDS_Topic() : DDS_Entity(quelt::mw::EntityKind::Topic) { description.topic = this; }
    eprosima::fastdds::dds::Topic *topic = nullptr;
    const quelt::mw::TopicPlan *plan = nullptr;
    DDS_TopicDescription description;
};

namespace quelt::mw {

class WriterBridge;
class ReaderBridge;

// The callbacks of an entity's listener that are running. Replacing the listener waits them out,
// so that once set_listener returns the old callbacks neither run nor start. Guarded by the
// entity's listener_lock.
struct ListenerCalls {
    std::condition_variable idle;
    int running = 0;
};

// One callback of a listener: begun under the entity's listener_lock once the listener is read,
// ended when it goes out of scope.
class ListenerCall {
  public:
    ListenerCall() = default;
    ListenerCall(const ListenerCall &) = delete;
    ListenerCall &operator=(const ListenerCall &) = delete;
    ~ListenerCall();
    void begin(std::mutex &lock, ListenerCalls &calls);

  private:
    std::mutex *lock_ = nullptr;
    ListenerCalls *calls_ = nullptr;
};

// Waits, with g holding the entity's listener_lock, until no callback of its listener runs except
// those of this thread (set_listener called from inside a callback would otherwise wait for itself).
void wait_out(std::unique_lock<std::mutex> &g, ListenerCalls &calls);

// Instance keys seen by a reader, so that a dispose or unregister notice (which carries only the
// key hash) can show its key, also for keys longer than a hash.
struct KeyStore {
    std::mutex lock;
    std::map<std::array<unsigned char, 16>, DDS_DynamicData *> by_hash;
    ~KeyStore();
};

// The Fast DDS collections behind one loan of a DDS_DynamicDataSeq.
struct Loan {
    eprosima::fastdds::dds::LoanableSequence<DDS_DynamicData> data;
    eprosima::fastdds::dds::SampleInfoSeq infos;
    DDS_DataReader *reader = nullptr;
    DDS_SampleInfoSeq *info_seq = nullptr;
    // Fast DDS lends no sample for a notice without data: these stand in, holding the key.
    std::vector<DDS_DynamicData *> notices;
    ~Loan();
};

} // namespace quelt::mw

struct DDS_DataWriter : DDS_Entity {
    DDS_DataWriter();
    ~DDS_DataWriter() override;
    eprosima::fastdds::dds::DataWriter *writer = nullptr;
    DDS_Publisher *publisher = nullptr;
    DDS_Topic *topic = nullptr;
    std::string name;
    DDS_DataWriterQos qos{};
    quelt::mw::CdrVersion encoding = quelt::mw::CdrVersion::Xcdr1; // from the representation QoS
    std::mutex listener_lock;
    DDS_DataWriterListener listener{};
    DDS_StatusMask listener_mask = 0;
    quelt::mw::ListenerCalls listener_calls;
    std::unique_ptr<quelt::mw::WriterBridge> bridge;
};

struct DDS_DataReader : DDS_Entity {
    DDS_DataReader();
    ~DDS_DataReader() override;
    eprosima::fastdds::dds::DataReader *reader = nullptr;
    DDS_Subscriber *subscriber = nullptr;
    DDS_Topic *topic = nullptr;
    std::string name;
    DDS_DataReaderQos qos{};
    std::mutex listener_lock;
    DDS_DataReaderListener listener{};
    DDS_StatusMask listener_mask = 0;
    quelt::mw::ListenerCalls listener_calls;
    std::unique_ptr<quelt::mw::ReaderBridge> bridge;
    quelt::mw::KeyStore keys;
    std::mutex loans_lock;
    std::set<DDS_DynamicDataSeq *> loans; // sequences holding a loan of this reader
    std::atomic<bool> refusal_logged{false}; // samples that do not fit the type are reported once
};

struct DDS_Publisher : DDS_Entity {
    DDS_Publisher() : DDS_Entity(quelt::mw::EntityKind::Publisher) {}
    eprosima::fastdds::dds::Publisher *publisher = nullptr;
    DDS_DomainParticipant *participant = nullptr;
    std::string name;
    std::vector<std::string> partitions;
    std::vector<std::unique_ptr<DDS_DataWriter>> writers;
};

struct DDS_Subscriber : DDS_Entity {
    DDS_Subscriber() : DDS_Entity(quelt::mw::EntityKind::Subscriber) {}
    eprosima::fastdds::dds::Subscriber *subscriber = nullptr;
    DDS_DomainParticipant *participant = nullptr;
    std::string name;
    std::vector<std::string> partitions;
    std::vector<std::unique_ptr<DDS_DataReader>> readers;
};

struct DDS_DomainParticipant : DDS_Entity {
    DDS_DomainParticipant() : DDS_Entity(quelt::mw::EntityKind::Participant) {}
    eprosima::fastdds::dds::DomainParticipant *participant = nullptr;
    quelt::mw::ParticipantPlan plan;
    int32_t participant_id = -1; // Fast DDS's, unique in the process
    std::vector<std::unique_ptr<DDS_Topic>> topics;
    std::vector<std::unique_ptr<DDS_Publisher>> publishers;
    std::vector<std::unique_ptr<DDS_Subscriber>> subscribers;
    std::map<std::string, const DDS_TypeCode *> types; // registered type name -> type code
    std::mutex listener_lock;
    DDS_DomainParticipantListener listener{};
    DDS_StatusMask listener_mask = 0;
    quelt::mw::ListenerCalls listener_calls;
};

namespace quelt::mw {

// Sends Fast DDS's own log lines to the log facility instead of standard output (once per process).
void route_fastdds_log();

// Creates the Fast DDS participant and every entity of the plan. Null on failure, with err set.
DDS_DomainParticipant *create_participant_from_plan(ParticipantPlan &&plan, std::string &err);
void delete_participant(DDS_DomainParticipant *p);

// QoS mapping onto Fast DDS.
void to_fastdds(const DDS_DataWriterQos &in, eprosima::fastdds::dds::DataWriterQos &out);
// The participant's transports: shared memory and UDPv4 as Fast DDS has them, sized for streams.
void to_fastdds(const ParticipantPlan &in, eprosima::fastdds::dds::DomainParticipantQos &out);
void to_fastdds(const DDS_DataReaderQos &in, eprosima::fastdds::dds::DataReaderQos &out);
void to_fastdds(const DDS_TopicQos &in, eprosima::fastdds::dds::TopicQos &out);

} // namespace quelt::mw
