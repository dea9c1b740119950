// The Fast DDS engine: a participant, its topics, publishers, subscribers, writers and readers as
// Fast DDS entities, behind the interface of domain/engine.h.
#pragma once

#include "domain/engine.h"
#include "domain/entities.h"
#include "wire/cdr.h"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>
#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/qos/TopicQos.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quelt::mw {

class FastddsWriterListener;
class FastddsReaderListener;

struct FastddsTopic : engine::Entity {
    eprosima::fastdds::dds::Topic *topic = nullptr;
};

struct FastddsPublisher : engine::Entity {
    eprosima::fastdds::dds::Publisher *publisher = nullptr;
};

struct FastddsSubscriber : engine::Entity {
    eprosima::fastdds::dds::Subscriber *subscriber = nullptr;
};

class FastddsWriter final : public engine::Writer {
  public:
    FastddsWriter(DDS_DataWriter &record, CdrVersion encoding);
    ~FastddsWriter() override;
    DDS_ReturnCode_t write(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle) override;
    DDS_ReturnCode_t write_w_params(const DDS_DynamicData *sample, DDS_WriteParams_t &params) override;
    DDS_ReturnCode_t dispose(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle) override;
    DDS_ReturnCode_t unregister_instance(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle) override;
    DDS_ReturnCode_t publication_matched_status(DDS_PublicationMatchedStatus &status) override;
    DDS_ReturnCode_t wait_for_acknowledgments(const DDS_Duration_t &max_wait) override;

    eprosima::fastdds::dds::DataWriter *writer = nullptr; // deleted with the participant's entities
    std::unique_ptr<FastddsWriterListener> listener;
    CdrVersion encoding;
};

class FastddsReader final : public engine::Reader {
  public:
    explicit FastddsReader(DDS_DataReader &record);
    ~FastddsReader() override;
    DDS_ReturnCode_t lend(std::unique_ptr<engine::LoanState> &state, DDS_Long max, DDS_SampleStateMask ss, DDS_ViewStateMask vs,
                          DDS_InstanceStateMask is, bool take, DDS_SampleInfoSeq *infos, engine::Lent &out) override;
    DDS_ReturnCode_t give_back(engine::LoanState &state) override;
    bool has_unread() const override;
    DDS_ReturnCode_t subscription_matched_status(DDS_SubscriptionMatchedStatus &status) override;
    std::string last_refusal() const override;

    eprosima::fastdds::dds::DataReader *reader = nullptr; // deleted with the participant's entities
    std::unique_ptr<FastddsReaderListener> listener;
};

// Remote participants, writers and readers as discovery announces them, by GUID; kept from the
// participant's creation on, since Fast DDS tells each only once.
class FastddsDiscoveryListener final : public eprosima::fastdds::dds::DomainParticipantListener {
  public:
    void on_participant_discovery(eprosima::fastdds::dds::DomainParticipant *,
                                  eprosima::fastrtps::rtps::ParticipantDiscoveryInfo &&info) override;
    void on_subscriber_discovery(eprosima::fastdds::dds::DomainParticipant *,
                                 eprosima::fastrtps::rtps::ReaderDiscoveryInfo &&info) override;
    void on_publisher_discovery(eprosima::fastdds::dds::DomainParticipant *,
                                eprosima::fastrtps::rtps::WriterDiscoveryInfo &&info) override;
    // Whether the participant of that GUID prefix is among those discovered (takes the lock).
    bool knows(const eprosima::fastrtps::rtps::GuidPrefix_t &participant);

    std::mutex lock;
    std::map<std::string, DDS_DiscoveredEntity> participants, writers, readers; // guarded by lock
};

class FastddsParticipant final : public engine::Participant {
  public:
    ~FastddsParticipant() override;
    bool create_topic(DDS_Topic &topic, std::string &err) override;
    bool create_publisher(DDS_Publisher &pub, std::string &err) override;
    bool create_subscriber(DDS_Subscriber &sub, std::string &err) override;
    std::unique_ptr<engine::Writer> create_writer(DDS_DataWriter &writer, std::string &err) override;
    std::unique_ptr<engine::Reader> create_reader(DDS_DataReader &reader, std::string &err) override;
    void delete_contained_entities() override;
    bool discovered(std::vector<DDS_DiscoveredEntity> &out, std::string &err) override;

    FastddsDiscoveryListener discovery; // outlives the participant: deleted in the destructor's body
    eprosima::fastdds::dds::DomainParticipant *participant = nullptr;
    int32_t participant_id = -1; // Fast DDS's, unique in the process

  private:
    void linger();
    void known_to_neighbours();
    std::vector<eprosima::fastdds::dds::Publisher *> publishers_;
};

// The Fast DDS entities behind records of this engine, for the tests that look at what Fast DDS holds.
eprosima::fastdds::dds::DomainParticipant *fastdds_participant(const DDS_DomainParticipant *p);
eprosima::fastdds::dds::DataWriter *fastdds_writer(const DDS_DataWriter *w);

// Sends Fast DDS's own log lines to the log facility instead of standard output (once per process).
void route_fastdds_log();

// QoS mapping onto Fast DDS.
void to_fastdds(const DDS_DataWriterQos &in, eprosima::fastdds::dds::DataWriterQos &out);
// The participant's transports: shared memory and UDPv4 as Fast DDS has them, sized for streams.
void to_fastdds(const ParticipantPlan &in, eprosima::fastdds::dds::DomainParticipantQos &out);
void to_fastdds(const DDS_DataReaderQos &in, eprosima::fastdds::dds::DataReaderQos &out);
void to_fastdds(const DDS_TopicQos &in, eprosima::fastdds::dds::TopicQos &out);

} // namespace quelt::mw
