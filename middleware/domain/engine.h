// The one interface between the DDS_* entities and an engine that puts their samples on the wire.
// Each entity record (entities.h) holds its engine's part behind one of these classes; an engine
// reports statuses back through events.h. Samples cross as our DynamicData objects and sample
// infos as DDS_SampleInfo: nothing of an engine's own types is seen above it. One virtual call a
// write and one a read or take, whatever the number of samples.
#pragma once

#include "config/xml_config.h"
#include "dds/dds_domain.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

struct DDS_DomainParticipant;
struct DDS_Topic;
struct DDS_Publisher;
struct DDS_Subscriber;
struct DDS_DataWriter;
struct DDS_DataReader;

namespace quelt::mw::engine {

// What an engine keeps for a topic, publisher or subscriber.
class Entity {
  public:
    virtual ~Entity() = default;
};

// The engine's collections behind one loan of samples; reused by the next read or take.
class LoanState {
  public:
    virtual ~LoanState() = default;
};

// One read or take: the samples (ours; null where a notice has no sample) and the count, valid
// until give_back. `infos` holds as many filled sample infos.
struct Lent {
    void *const *samples = nullptr;
    DDS_Long count = 0;
};

class Writer {
  public:
    virtual ~Writer() = default;
    // The sample is of the writer's type (checked above). A null or invalid handle: none given.
    virtual DDS_ReturnCode_t write(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle) = 0;
    // Carries the identities the engine can carry and reports the one the sample went out with.
    virtual DDS_ReturnCode_t write_w_params(const DDS_DynamicData *sample, DDS_WriteParams_t &params) = 0;
    virtual DDS_ReturnCode_t dispose(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle) = 0;
    virtual DDS_ReturnCode_t unregister_instance(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle) = 0;
    virtual DDS_ReturnCode_t publication_matched_status(DDS_PublicationMatchedStatus &status) = 0;
    virtual DDS_ReturnCode_t wait_for_acknowledgments(const DDS_Duration_t &max_wait) = 0;
};

class Reader {
  public:
    virtual ~Reader() = default;
    // Reads or takes up to max samples (max <= 0: all) into `state` (made, or replaced when another
    // engine made it), fills `infos` to the count and returns what was lent. NO_DATA when nothing.
    virtual DDS_ReturnCode_t lend(std::unique_ptr<LoanState> &state, DDS_Long max, DDS_SampleStateMask ss, DDS_ViewStateMask vs,
                                  DDS_InstanceStateMask is, bool take, DDS_SampleInfoSeq *infos, Lent &out) = 0;
    virtual DDS_ReturnCode_t give_back(LoanState &state) = 0;
    // Whether samples not yet read are waiting (the data-available status).
    virtual bool has_unread() const = 0;
    virtual DDS_ReturnCode_t subscription_matched_status(DDS_SubscriptionMatchedStatus &status) = 0;
    // Why the last sample that did not decode to the reader's type was refused ("" when unknown).
    virtual std::string last_refusal() const = 0;
};

class Participant {
  public:
    virtual ~Participant() = default;
    // Each creates the engine's side of a record whose plan and names are filled in. False, with
    // err set, on failure. Topics come first, then each publisher and its writers, then each
    // subscriber and its readers.
    virtual bool create_topic(DDS_Topic &topic, std::string &err) = 0;
    virtual bool create_publisher(DDS_Publisher &pub, std::string &err) = 0;
    virtual bool create_subscriber(DDS_Subscriber &sub, std::string &err) = 0;
    virtual std::unique_ptr<Writer> create_writer(DDS_DataWriter &writer, std::string &err) = 0;
    virtual std::unique_ptr<Reader> create_reader(DDS_DataReader &reader, std::string &err) = 0;
    // Deletes every entity of the engine's participant; the records' engine parts are then inert.
    virtual void delete_contained_entities() = 0;
    // Remote participants first, then remote writers and readers, as built-in discovery knows them
    // now. False, with err set, when the engine cannot tell.
    virtual bool discovered(std::vector<DDS_DiscoveredEntity> &out, std::string &err)
    {
        (void)out;
        err = "built-in discovery data is not available on this engine";
        return false;
    }
};

// What an engine cannot carry is said once per process, the first time it is asked for.
void say_once(std::atomic<bool> &said, const char *context, const char *what);

// The Fast DDS engine (engines/fastdds) and the Cyclone DDS engine (engines/cyclone). Null, with
// err set, on failure.
std::unique_ptr<Participant> create_fastdds_participant(DDS_DomainParticipant &participant, std::string &err);
std::unique_ptr<Participant> create_cyclone_participant(DDS_DomainParticipant &participant, std::string &err);

} // namespace quelt::mw::engine
