// What Fast DDS's built-in discovery tells a participant about the others on its domain: kept from
// the participant listener's callbacks, which are the only place Fast DDS 2.9 hands it out.
#include "engines/fastdds/fastdds_engine.h"

#include <fastdds/rtps/builtin/data/ParticipantProxyData.h>
#include <fastdds/rtps/builtin/data/ReaderProxyData.h>
#include <fastdds/rtps/builtin/data/WriterProxyData.h>

#include <cstring>

namespace fdds = eprosima::fastdds::dds;
namespace rtps = eprosima::fastrtps::rtps;

namespace quelt::mw {

namespace {

DDS_GUID_t to_guid(const rtps::GUID_t &g)
{
    DDS_GUID_t out{};
    std::memcpy(out.value, g.guidPrefix.value, 12);
    std::memcpy(out.value + 12, g.entityId.value, 4);
    return out;
}

std::string key_of(const rtps::GUID_t &g)
{
    const DDS_GUID_t k = to_guid(g);
    return std::string(reinterpret_cast<const char *>(k.value), sizeof k.value);
}

void copy_text(char (&to)[256], const std::string &from)
{
    const size_t n = from.size() < sizeof to - 1 ? from.size() : sizeof to - 1;
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

template <typename Proxy>
DDS_DiscoveredEntity endpoint(DDS_DiscoveredKind kind, const Proxy &p)
{
    DDS_DiscoveredEntity e{};
    e.kind = kind;
    e.guid = to_guid(p.guid());
    e.participant_guid = to_guid(rtps::GUID_t(p.guid().guidPrefix, rtps::c_EntityId_RTPSParticipant));
    copy_text(e.topic_name, p.topicName().to_string());
    copy_text(e.type_name, p.typeName().to_string());
    e.reliability = p.m_qos.m_reliability.kind == fdds::RELIABLE_RELIABILITY_QOS ? DDS_RELIABLE_RELIABILITY_QOS
                                                                                  : DDS_BEST_EFFORT_RELIABILITY_QOS;
    switch (p.m_qos.m_durability.kind) {
    case fdds::TRANSIENT_LOCAL_DURABILITY_QOS: e.durability = DDS_TRANSIENT_LOCAL_DURABILITY_QOS; break;
    case fdds::TRANSIENT_DURABILITY_QOS: e.durability = DDS_TRANSIENT_DURABILITY_QOS; break;
    case fdds::PERSISTENT_DURABILITY_QOS: e.durability = DDS_PERSISTENT_DURABILITY_QOS; break;
    default: e.durability = DDS_VOLATILE_DURABILITY_QOS; break;
    }
    return e;
}

} // namespace

void FastddsDiscoveryListener::on_participant_discovery(fdds::DomainParticipant *, rtps::ParticipantDiscoveryInfo &&info)
{
    const std::string key = key_of(info.info.m_guid);
    std::lock_guard<std::mutex> g(lock);
    if (info.status == rtps::ParticipantDiscoveryInfo::REMOVED_PARTICIPANT ||
        info.status == rtps::ParticipantDiscoveryInfo::DROPPED_PARTICIPANT) {
        // Its endpoints go with it: Fast DDS does not always report them one by one.
        participants.erase(key);
        for (auto *m : {&writers, &readers})
            for (auto it = m->begin(); it != m->end();)
                it = it->first.compare(0, 12, key, 0, 12) == 0 ? m->erase(it) : std::next(it);
        return;
    }
    DDS_DiscoveredEntity e{};
    e.kind = DDS_DISCOVERED_PARTICIPANT;
    e.guid = e.participant_guid = to_guid(info.info.m_guid);
    copy_text(e.participant_name, info.info.m_participantName.to_string());
    participants[key] = e;
}

void FastddsDiscoveryListener::on_subscriber_discovery(fdds::DomainParticipant *, rtps::ReaderDiscoveryInfo &&info)
{
    const std::string key = key_of(info.info.guid());
    std::lock_guard<std::mutex> g(lock);
    if (info.status == rtps::ReaderDiscoveryInfo::REMOVED_READER)
        readers.erase(key);
    else
        readers[key] = endpoint(DDS_DISCOVERED_READER, info.info);
}

bool FastddsDiscoveryListener::knows(const rtps::GuidPrefix_t &participant)
{
    const std::string key = key_of(rtps::GUID_t(participant, rtps::c_EntityId_RTPSParticipant));
    std::lock_guard<std::mutex> g(lock);
    return participants.count(key) != 0;
}

void FastddsDiscoveryListener::on_publisher_discovery(fdds::DomainParticipant *, rtps::WriterDiscoveryInfo &&info)
{
    const std::string key = key_of(info.info.guid());
    std::lock_guard<std::mutex> g(lock);
    if (info.status == rtps::WriterDiscoveryInfo::REMOVED_WRITER)
        writers.erase(key);
    else
        writers[key] = endpoint(DDS_DISCOVERED_WRITER, info.info);
}

bool FastddsParticipant::discovered(std::vector<DDS_DiscoveredEntity> &out, std::string &)
{
    std::lock_guard<std::mutex> g(discovery.lock);
    for (const auto *m : {&discovery.participants, &discovery.writers, &discovery.readers})
        for (const auto &[key, e] : *m)
            out.push_back(e);
    return true;
}

} // namespace quelt::mw
