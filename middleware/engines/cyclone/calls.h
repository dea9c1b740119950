// The Cyclone DDS engine's own calls, behind plain types. Cyclone's dds.h and our DDS_* headers
// define the same macro names with other values (status bits, sample states, DDS_HANDLE_NIL), so
// no file sees both: the files that include Cyclone see only this header, the neutral type system
// and the wire layer, and the engine's adapter converts our records to and from these types.
#pragma once

#include "types/dynamicdata_impl.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct ddsi_sertype;

namespace quelt::mw::cyclone {

constexpr int64_t kInfinite = INT64_MAX; // nanoseconds

// What a writer or reader asks of Cyclone, from our QoS records.
struct EndpointQos {
    bool reliable = true;
    int64_t max_blocking_ns = 100'000'000;
    int durability = 0; // 0 volatile, 1 transient-local, 2 transient, 3 persistent
    bool keep_all = false;
    int32_t depth = 1;
    int32_t max_samples = -1, max_instances = -1, max_samples_per_instance = -1; // -1: unlimited
    int64_t deadline_ns = kInfinite, latency_budget_ns = 0, lifespan_ns = kInfinite, minimum_separation_ns = 0;
    int liveliness = 0; // 0 automatic, 1 manual by participant, 2 manual by topic
    int64_t lease_ns = kInfinite;
    bool exclusive = false;
    int32_t strength = 0;
    bool by_source_timestamp = false;
    std::vector<std::string> partitions;
    bool xcdr2 = false;        // the representation a writer uses
    bool accept_xcdr1 = true;  // what a reader accepts
    bool accept_xcdr2 = true;
    std::string name;
    bool batching = false; // writers: several samples per packet, flushed within a millisecond
};

// One sample's info, in our numbering of the states (sample 1 read / 2 not read, view 1 new /
// 2 not new, instance 1 alive / 2 disposed / 4 no writers).
struct SampleMeta {
    uint32_t sample_state = 0, view_state = 0, instance_state = 0;
    bool valid = false;
    bool has_value = false; // the sample (or a notice's key) was filled in
    int64_t source_ns = 0, reception_ns = 0;
    unsigned char instance[16] = {};
    bool keyed = false;
    unsigned char writer_guid[16] = {}; // the writer's GUID, from its publication handle
    bool writer_known = false;
    int32_t disposed_generation_count = 0, no_writers_generation_count = 0;
    int32_t sample_rank = 0, generation_rank = 0, absolute_generation_rank = 0;
};

enum class Event {
    OfferedDeadlineMissed, OfferedIncompatibleQos, LivelinessLost, PublicationMatched,
    RequestedDeadlineMissed, RequestedIncompatibleQos, SampleRejected, LivelinessChanged,
    DataAvailable, SubscriptionMatched, SampleLost
};

// The counts of a status, as the standard's status records carry them; handle is the last
// instance's key hash, or the GUID of the last matched or changed remote endpoint.
struct EventCounts {
    int32_t total = 0, total_change = 0, current = 0, current_change = 0;
    int32_t not_alive = 0, not_alive_change = 0; // liveliness changed (alive counts in current)
    int32_t last_policy_id = 0, last_reason = 0;
    unsigned char handle[16] = {};
};

// Called on Cyclone's threads; must not block for long.
using EventSink = std::function<void(Event, const EventCounts &)>;

class Participant {
  public:
    // config: Cyclone's own XML configuration or URIs (empty: its defaults), then the network
    // interface (a name or an address) and the socket buffer size, when given. Cyclone takes a
    // domain's configuration once per process: participants of one domain in one process must
    // ask for the same, else err says so. lease_ns: the participant's lease (kInfinite: Cyclone's
    // default), within which a peer notices that this process is gone.
    static std::unique_ptr<Participant> create(int32_t domain, const std::string &config, const std::string &interface,
                                               uint32_t socket_buffer_size, int64_t lease_ns, std::string &err);
    ~Participant();
    int32_t handle() const { return handle_; }
    int32_t topic(const std::string &name, const std::string &type_name, const DDS_TypeCode *type, std::string &err);
    // The sertype of one of its topics (alive as long as the topic).
    const ddsi_sertype *topic_type(int32_t topic) const;
    // Deletes the participant's writers, readers and topics; it stays.
    void delete_contained();

  private:
    int32_t handle_ = 0;
    int32_t domain_ = 0;
    std::map<std::string, int32_t> topics_;
    std::map<int32_t, const ddsi_sertype *> topic_types_;
};

class Writer {
  public:
    static std::unique_ptr<Writer> create(Participant &p, int32_t topic, const EndpointQos &q, EventSink sink, std::string &err);
    ~Writer();
    // source_ns < 0: now. Return 0 or a Cyclone return code (negative), with err.
    int write(const DDS_DynamicData *sample, int64_t source_ns, std::string &err);
    int dispose(const DDS_DynamicData *sample, int64_t source_ns, std::string &err);
    int unregister(const DDS_DynamicData *sample, int64_t source_ns, std::string &err);
    // 0 once every matched reliable reader acknowledged all, else a timeout.
    int wait_for_acknowledgments(int64_t timeout_ns);
    EventCounts matched() const;
    void guid(unsigned char out[16]) const;

    struct FlushSlot;

  private:
    int done(int rc, std::string &err);
    int32_t handle_ = 0;
    bool batching_ = false;
    std::shared_ptr<FlushSlot> flush_; // batched writers: flushed by a thread
    EventSink sink_;
    struct Listener;
    std::unique_ptr<Listener> listener_;
};

class Reader {
  public:
    static std::unique_ptr<Reader> create(Participant &p, int32_t topic, const EndpointQos &q, EventSink sink, std::string &err);
    ~Reader();
    // Reads or takes up to max samples in the states asked (our masks), one at a time through
    // out: value(i) gives the DynamicData to fill for the i-th. Returns the count, or a negative
    // Cyclone return code.
    int fetch(bool take, int32_t max, uint32_t sample_states, uint32_t view_states, uint32_t instance_states,
              const std::function<DDS_DynamicData *(int)> &value, std::vector<SampleMeta> &metas);
    EventCounts matched() const;
    bool has_unread() const;

  private:
    int32_t handle_ = 0;
    const ddsi_sertype *type_ = nullptr; // its topic's
    int32_t unread_ = 0; // read condition on samples not read yet
    EventSink sink_;
    struct Listener;
    std::unique_ptr<Listener> listener_;
    mutable std::mutex guids_lock_;
    std::map<uint64_t, std::array<unsigned char, 16>> guids_; // publication handle -> writer GUID
    bool writer_guid(uint64_t handle, unsigned char out[16]);
};

} // namespace quelt::mw::cyclone
