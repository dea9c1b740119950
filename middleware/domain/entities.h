// What the DDS entities are inside: records holding what the DDS_* functions answer from (names,
// our QoS records, listeners, status flags, instance keys, loans), each with its engine's part
// behind the interface of engine.h.
#pragma once

#include "config/xml_config.h"
#include "dds/dds_domain.h"
#include "domain/engine.h"
#include "types/dynamicdata_impl.h"
#include "wire/cdr.h"

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
    // Waits in progress on the waitsets this condition is attached to (changed under their
    // locks). A wake with none takes no lock: engines wake a reader's condition for every sample,
    // and a taker busy with earlier samples is not waiting.
    std::atomic<int> watchers{0};
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
    DDS_DomainParticipant *participant = nullptr;
    const quelt::mw::TopicPlan *plan = nullptr;
    DDS_TopicDescription description;
    std::unique_ptr<quelt::mw::engine::Entity> engine;
};

namespace quelt::mw {

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

// What stands behind one loan of a DDS_DynamicDataSeq.
struct Loan {
    std::unique_ptr<engine::LoanState> lent; // the engine's collections
    DDS_DataReader *reader = nullptr;
    DDS_SampleInfoSeq *info_seq = nullptr;
    // An engine may lend no sample for a notice without data: these stand in, holding the key.
    std::vector<DDS_DynamicData *> notices;
    ~Loan();
};

} // namespace quelt::mw

struct DDS_DataWriter : DDS_Entity {
    DDS_DataWriter();
    ~DDS_DataWriter() override;
    std::unique_ptr<quelt::mw::engine::Writer> engine;
    DDS_Publisher *publisher = nullptr;
    DDS_Topic *topic = nullptr;
    std::string name;
    DDS_DataWriterQos qos{};
    quelt::mw::CdrVersion encoding = quelt::mw::CdrVersion::Xcdr1; // from the representation QoS
    std::mutex listener_lock;
    DDS_DataWriterListener listener{};
    DDS_StatusMask listener_mask = 0;
    quelt::mw::ListenerCalls listener_calls;
};

struct DDS_DataReader : DDS_Entity {
    DDS_DataReader();
    ~DDS_DataReader() override;
    std::unique_ptr<quelt::mw::engine::Reader> engine;
    DDS_Subscriber *subscriber = nullptr;
    DDS_Topic *topic = nullptr;
    std::string name;
    DDS_DataReaderQos qos{};
    std::mutex listener_lock;
    DDS_DataReaderListener listener{};
    std::atomic<DDS_StatusMask> listener_mask{0}; // set under listener_lock; read without it too
    quelt::mw::ListenerCalls listener_calls;
    quelt::mw::KeyStore keys;
    std::mutex loans_lock;
    std::set<DDS_DynamicDataSeq *> loans; // sequences holding a loan of this reader
    std::atomic<bool> refusal_logged{false}; // samples that do not fit the type are reported once
};

struct DDS_Publisher : DDS_Entity {
    DDS_Publisher() : DDS_Entity(quelt::mw::EntityKind::Publisher) {}
    DDS_DomainParticipant *participant = nullptr;
    std::string name;
    std::vector<std::string> partitions;
    std::unique_ptr<quelt::mw::engine::Entity> engine;
    std::vector<std::unique_ptr<DDS_DataWriter>> writers;
};

struct DDS_Subscriber : DDS_Entity {
    DDS_Subscriber() : DDS_Entity(quelt::mw::EntityKind::Subscriber) {}
    DDS_DomainParticipant *participant = nullptr;
    std::string name;
    std::vector<std::string> partitions;
    std::unique_ptr<quelt::mw::engine::Entity> engine;
    std::vector<std::unique_ptr<DDS_DataReader>> readers;
};

struct DDS_DomainParticipant : DDS_Entity {
    DDS_DomainParticipant() : DDS_Entity(quelt::mw::EntityKind::Participant) {}
    quelt::mw::ParticipantPlan plan;
    std::vector<std::unique_ptr<DDS_Topic>> topics;
    std::vector<std::unique_ptr<DDS_Publisher>> publishers;
    std::vector<std::unique_ptr<DDS_Subscriber>> subscribers;
    std::map<std::string, const DDS_TypeCode *> types; // registered type name -> type code
    std::mutex listener_lock;
    DDS_DomainParticipantListener listener{};
    std::atomic<DDS_StatusMask> listener_mask{0}; // set under listener_lock; read without it too
    quelt::mw::ListenerCalls listener_calls;
    // Last: goes first, before the records its entities report to.
    std::unique_ptr<quelt::mw::engine::Participant> engine;
};

namespace quelt::mw {

// Creates the participant and every entity of the plan on its engine. Null on failure, with err set.
DDS_DomainParticipant *create_participant_from_plan(ParticipantPlan &&plan, std::string &err);
void delete_participant(DDS_DomainParticipant *p);

// Returns every loan a reader's sequences hold (before its entities go).
void return_all_loans(DDS_DataReader *r);

// The DDS standard's name of a return code.
const char *retcode_name(DDS_ReturnCode_t r);

} // namespace quelt::mw
