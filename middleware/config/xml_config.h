// Participant configurations read from XML: QoS profiles, domains (registered types, topics) and
// participants (publishers, subscribers, writers, readers), resolved into plans that the entity
// layer creates on its engine.
#pragma once

#include "dds/dds_qos.h"
#include "types/typecode.h"

#include <memory>
#include <string>
#include <vector>

namespace quelt::mw {

// QoS records held by plans never carry heap parts: names and partitions live beside them as
// std::string, so the records copy as plain values.
struct TopicPlan {
    std::string name;        // topic name on the wire
    std::string type_name;   // registered type name (what remote peers see)
    const DDS_TypeCode *type = nullptr;
    DDS_TopicQos qos{};
};

struct WriterPlan {
    std::string name;        // "" when the configuration gives none
    const TopicPlan *topic = nullptr;
    DDS_DataWriterQos qos{};
};

struct ReaderPlan {
    std::string name;
    const TopicPlan *topic = nullptr;
    DDS_DataReaderQos qos{};
};

struct PublisherPlan {
    std::string name;
    std::vector<std::string> partitions;
    std::vector<WriterPlan> writers;
};

struct SubscriberPlan {
    std::string name;
    std::vector<std::string> partitions;
    std::vector<ReaderPlan> readers;
};

// Everything needed to create one participant. Owns the types and topics it refers to.
// Fast DDS transport sizes of a participant (XML <fastdds_transport> in <domain_participant_qos>);
// 0 keeps the middleware's default.
struct FastddsTransport {
    uint32_t shm_segment_size = 0;
    uint32_t shm_port_queue_capacity = 0;
    uint32_t socket_buffer_size = 0;
};

// Cyclone DDS settings of a participant (XML <cyclone_transport> in <domain_participant_qos>).
// Empty and 0 keep Cyclone's defaults.
struct CycloneTransport {
    std::string config;            // Cyclone's own XML configuration, or "file://" URIs
    std::string network_interface; // name or address of the interface to use
    uint32_t socket_buffer_size = 0;
};

// The engine a participant runs on (XML: the engine attribute of <domain_participant>).
enum class EngineKind { Fastdds, Cyclone };

struct ParticipantPlan {
    std::string name;        // "Library::Participant"
    int domain_id = 0;
    EngineKind engine = EngineKind::Fastdds;
    FastddsTransport transport;
    CycloneTransport cyclone;
    // How long a waitset watching this participant's entities polls before it sleeps (0: never).
    uint32_t wait_spin_us = 0;
    static constexpr uint32_t kMaxWaitSpinUs = 10000;
    std::shared_ptr<DDS_TypeLibrary> types;      // keeps every type code alive
    std::vector<std::unique_ptr<TopicPlan>> topics;
    std::vector<PublisherPlan> publishers;
    std::vector<SubscriberPlan> subscribers;
};

// Reads the XML files in order (types, qos_library, domain_library, domain_participant_library)
// and builds the plan of the participant configuration `config_name` ("Library::Participant").
// On failure returns false with one message in err, of the form "file:line: what is wrong" where
// a line is known. With `types`, the files' types are not read again: those are used.
bool build_participant_plan(const std::vector<std::string> &files, const std::string &config_name, ParticipantPlan &plan,
                            std::string &err, const std::shared_ptr<DDS_TypeLibrary> &types = nullptr);

// The participant configurations ("Library::Participant") the XML files hold, in name order.
bool participant_config_names(const std::vector<std::string> &files, std::vector<std::string> &names, std::string &err);

// Checks that the engines can honour a QoS record; returns "" or what they cannot do.
std::string check_writer_qos(const DDS_DataWriterQos &qos);
std::string check_reader_qos(const DDS_DataReaderQos &qos);
std::string check_topic_qos(const DDS_TopicQos &qos);

} // namespace quelt::mw
