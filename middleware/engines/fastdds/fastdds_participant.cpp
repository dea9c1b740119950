// The Fast DDS participant: its id and shared-memory ports, the types it registers, its topics,
// publishers and subscribers.
#include "engines/fastdds/fastdds_engine.h"

#include "dds/dds_log.h"
#include "domain/entities.h"
#include "engines/fastdds/representation_transport.h"
#include "engines/fastdds/shm_housekeeping.h"
#include "engines/fastdds/topic_type.h"

#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/qos/PublisherQos.hpp>
#include <fastdds/dds/subscriber/qos/SubscriberQos.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

namespace fdds = eprosima::fastdds::dds;
using FReturnCode = eprosima::fastrtps::types::ReturnCode_t;

namespace quelt::mw {

namespace {

fdds::DomainParticipantFactory *fastdds_factory()
{
    route_fastdds_log();
    return fdds::DomainParticipantFactory::get_instance();
}

// Held from choosing a participant id until the participant holds its ports: two threads would
// otherwise both find an id free, and Fast DDS refuses the second participant that asks for it.
std::mutex g_participant_id_lock;
// The participant ids of this process's participants, in every domain (guarded by the lock above).
std::multiset<int32_t> g_participant_ids;
// This process's participants on this engine.
std::mutex g_live_lock;
std::vector<FastddsParticipant *> g_live;

// Fast DDS 2.9 writes the participant id, little endian, into bytes 8 to 11 of the GUID prefix;
// it is there also when Fast DDS chose the id itself.
int32_t participant_id_of(const fdds::DomainParticipant *p)
{
    const auto &prefix = p->guid().guidPrefix.value;
    return static_cast<int32_t>(uint32_t(prefix[8]) | uint32_t(prefix[9]) << 8 | uint32_t(prefix[10]) << 16 |
                                uint32_t(prefix[11]) << 24);
}

} // namespace

namespace engine {

std::unique_ptr<Participant> create_fastdds_participant(DDS_DomainParticipant &record, std::string &err)
{
    auto p = std::make_unique<FastddsParticipant>();
    const ParticipantPlan &plan = record.plan;
    static std::atomic<bool> cyclone_said{false};
    if (!plan.cyclone.config.empty() || !plan.cyclone.network_interface.empty() || plan.cyclone.socket_buffer_size)
        say_once(cyclone_said, "DDS_DomainParticipantFactory_create_participant_from_config",
                 "<cyclone_transport> settings do not apply to participants of the Fast DDS engine: use <fastdds_transport>");
    // Also keeps the factory's default QoS from being read while another thread loads it again.
    std::unique_lock<std::mutex> idLock(g_participant_id_lock);
    // From the factory's default, not the built-in one: Fast DDS's own default profile
    // (FASTRTPS_DEFAULT_PROFILES_FILE) is how a deployment picks transports, e.g. UDP only.
    fastdds_factory()->load_profiles();
    fdds::DomainParticipantQos q = fastdds_factory()->get_default_participant_qos();
    q.name(plan.name);
    to_fastdds(plan, q);
    // Shared memory: clear what killed processes left and keep off their ports.
    bool chosenId = false;
    if (uses_shm(q)) {
        remove_dead_segments();
        if (q.wire_protocol().participant_id < 0) {
            int skipped = 0;
            const int32_t id = free_participant_id(q, plan.domain_id, skipped, "/dev/shm", g_participant_ids);
            chosenId = id >= 0;
            q.wire_protocol().participant_id = id;
            // Not a failure: the participant is made all the same.
            if (skipped > 0)
                QueltLog_notice("DDS_DomainParticipantFactory_create_participant",
                                "participant '%s' on domain %d: %d participant id(s) have shared-memory ports that "
                                "processes left open when they ended and others still use; %s",
                                plan.name.c_str(), plan.domain_id, skipped,
                                chosenId ? ("taking id " + std::to_string(id)).c_str()
                                         : "no id is free, so one of them is reset");
        }
    }
    p->participant = fastdds_factory()->create_participant(plan.domain_id, q, &p->discovery, fdds::StatusMask::none());
    if (!p->participant && chosenId) {
        // The id may belong to a Fast DDS participant of this process that this layer did not make.
        q.wire_protocol().participant_id = -1;
        p->participant = fastdds_factory()->create_participant(plan.domain_id, q, &p->discovery, fdds::StatusMask::none());
    }
    if (p->participant) {
        p->participant_id = participant_id_of(p->participant);
        g_participant_ids.insert(p->participant_id);
        std::lock_guard<std::mutex> g(g_live_lock);
        g_live.push_back(p.get());
    }
    idLock.unlock();
    if (!p->participant) {
        err = "cannot create participant '" + plan.name + "' on domain " + std::to_string(plan.domain_id);
        return nullptr;
    }
    return p;
}

} // namespace engine

FastddsParticipant::~FastddsParticipant()
{
    if (!participant)
        return;
    known_to_neighbours();
    {
        std::lock_guard<std::mutex> g(g_live_lock);
        g_live.erase(std::remove(g_live.begin(), g_live.end(), this), g_live.end());
    }
    linger();
    forget_representations(participant->guid().guidPrefix);
    std::lock_guard<std::mutex> g(g_participant_id_lock);
    fastdds_factory()->delete_participant(participant);
    if (auto it = g_participant_ids.find(participant_id); it != g_participant_ids.end())
        g_participant_ids.erase(it);
}

bool FastddsParticipant::create_topic(DDS_Topic &topic, std::string &err)
{
    const TopicPlan *tp = topic.plan;
    if (!topic.participant->types.count(tp->type_name)) {
        fdds::TypeSupport ts(new DynamicTopicType(tp->type_name, tp->type));
        if (ts.register_type(participant, tp->type_name) != FReturnCode::RETCODE_OK) {
            err = "cannot register type '" + tp->type_name + "'";
            return false;
        }
    }
    auto t = std::make_unique<FastddsTopic>();
    fdds::TopicQos q = fdds::TOPIC_QOS_DEFAULT;
    to_fastdds(tp->qos, q);
    t->topic = participant->create_topic(tp->name, tp->type_name, q);
    if (!t->topic) {
        err = "cannot create topic '" + tp->name + "'";
        return false;
    }
    topic.engine = std::move(t);
    return true;
}

bool FastddsParticipant::create_publisher(DDS_Publisher &pub, std::string &err)
{
    auto e = std::make_unique<FastddsPublisher>();
    fdds::PublisherQos q = fdds::PUBLISHER_QOS_DEFAULT;
    for (const std::string &part : pub.partitions)
        q.partition().push_back(part.c_str());
    // Writers start disabled: their announcement must wait until the transport knows what
    // representation to add to it (create_writer enables them).
    q.entity_factory().autoenable_created_entities = false;
    e->publisher = participant->create_publisher(q);
    if (!e->publisher) {
        err = "cannot create publisher '" + pub.name + "'";
        return false;
    }
    publishers_.push_back(e->publisher);
    pub.engine = std::move(e);
    return true;
}

bool FastddsParticipant::create_subscriber(DDS_Subscriber &sub, std::string &err)
{
    auto e = std::make_unique<FastddsSubscriber>();
    fdds::SubscriberQos q = fdds::SUBSCRIBER_QOS_DEFAULT;
    for (const std::string &part : sub.partitions)
        q.partition().push_back(part.c_str());
    q.entity_factory().autoenable_created_entities = false; // as for writers
    e->subscriber = participant->create_subscriber(q);
    if (!e->subscriber) {
        err = "cannot create subscriber '" + sub.name + "'";
        return false;
    }
    sub.engine = std::move(e);
    return true;
}

// Samples written just before the end still reach the readers that are there: up to one second
// for every writer to be acknowledged, as Cyclone DDS lingers. Fast DDS 2.9 also tears a writer
// down less safely with samples unacknowledged: its periodic heartbeat was seen spinning for ever
// in a writer being deleted (32-bit ARM).
void FastddsParticipant::linger()
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (fdds::Publisher *pub : publishers_) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        pub->wait_for_acknowledgments(eprosima::fastrtps::Duration_t(int32_t(left / 1000000000), uint32_t(left % 1000000000)));
    }
    publishers_.clear();
}

// Fast DDS 2.9 delivers by pointer between the participants of a process. A participant that
// discovered this one holds pointers to its endpoints and drops them when this one's farewell
// reaches it, which happens within the deletion only if this one has discovered it in turn.
// Otherwise it kept them, and crashed when it next sent to them (at the latest at its own
// deletion; seen with a connector deleted right after it was made, on a busy machine). So a
// participant leaves once it knows every participant of its domain in the process, or after a
// second.
void FastddsParticipant::known_to_neighbours()
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    const fdds::DomainId_t domain = participant->get_domain_id();
    for (;;) {
        bool all = true;
        {
            std::lock_guard<std::mutex> g(g_live_lock);
            for (const FastddsParticipant *other : g_live)
                if (other != this && other->participant->get_domain_id() == domain)
                    all = all && discovery.knows(other->participant->guid().guidPrefix);
        }
        if (all || std::chrono::steady_clock::now() >= end)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void FastddsParticipant::delete_contained_entities()
{
    if (!participant)
        return;
    known_to_neighbours();
    linger();
    participant->delete_contained_entities();
}

fdds::DomainParticipant *fastdds_participant(const DDS_DomainParticipant *p)
{
    auto *e = p ? dynamic_cast<const FastddsParticipant *>(p->engine.get()) : nullptr;
    return e ? e->participant : nullptr;
}

} // namespace quelt::mw
