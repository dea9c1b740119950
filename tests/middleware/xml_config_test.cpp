// Participant configurations: QoS profiles and inheritance, domains, participants with bases,
// and one clear line for every kind of broken configuration. Domains 30..39.
#include "entities.h"
#include "xml_config.h"

#include <gtest/gtest.h>

#include "support/support.h"

#include <filesystem>
#include <fstream>

using namespace quelt::mw;

namespace {

const std::string kData = QUELT_TEST_DATA + "/config";

TEST(XmlConfig, ProfilesInheritAndParticipantsExtendTheirBase)
{
    ParticipantPlan plan;
    std::string err;
    ASSERT_TRUE(build_participant_plan({kData + "/base.xml"}, "L::Child", plan, err)) << err;
    EXPECT_EQ(plan.name, "L::Child");
    EXPECT_EQ(plan.domain_id, 9); // the participant overrides its domain's 7
    ASSERT_EQ(plan.topics.size(), 1u);
    EXPECT_EQ(plan.topics[0]->type_name, "WireT"); // registered name, not the library name M::T
    EXPECT_STREQ(DDS_TypeCode_name(plan.topics[0]->type), "M::T");
    EXPECT_EQ(plan.topics[0]->qos.lifespan.duration.sec, 3);

    // The base's publisher P gains the child's writer W2.
    ASSERT_EQ(plan.publishers.size(), 1u);
    const PublisherPlan &p = plan.publishers[0];
    EXPECT_EQ(p.partitions, (std::vector<std::string>{"P1", "P2"}));
    ASSERT_EQ(p.writers.size(), 2u);
    const DDS_DataWriterQos &w1 = p.writers[0].qos;
    EXPECT_EQ(w1.history.depth, 5);                                    // from Base through Derived
    EXPECT_EQ(w1.deadline.period.nanosec, 500u);
    EXPECT_EQ(w1.durability.kind, DDS_TRANSIENT_LOCAL_DURABILITY_QOS); // Derived's own
    EXPECT_EQ(w1.ownership.kind, DDS_EXCLUSIVE_OWNERSHIP_QOS);         // the writer's own
    EXPECT_EQ(w1.ownership_strength.value, 4);
    EXPECT_EQ(w1.fastdds.heartbeat_period.nanosec, 10000000u);
    EXPECT_EQ(w1.fastdds.publish_mode, DDS_FASTDDS_ASYNCHRONOUS_PUBLISH_MODE);
    EXPECT_EQ(p.writers[1].name, "W2");
    EXPECT_EQ(p.writers[1].qos.history.depth, 1); // defaults
    EXPECT_EQ(p.writers[1].qos.reliability.kind, DDS_RELIABLE_RELIABILITY_QOS);
    EXPECT_EQ(p.writers[1].qos.fastdds.publish_mode, DDS_FASTDDS_DEFAULT_PUBLISH_MODE);
    EXPECT_EQ(plan.transport.shm_segment_size, 16777216u);
    EXPECT_EQ(plan.transport.shm_port_queue_capacity, 8192u);
    EXPECT_EQ(plan.transport.socket_buffer_size, 4194304u);
    EXPECT_TRUE(w1.cyclone.batching);
    EXPECT_FALSE(p.writers[1].qos.cyclone.batching);
    EXPECT_EQ(plan.cyclone.network_interface, "lo");
    EXPECT_EQ(plan.cyclone.socket_buffer_size, 1048576u);
    EXPECT_EQ(plan.wait_spin_us, 50u); // the base's, kept by a child that sets other participant QoS
    EXPECT_EQ(plan.cyclone.config, "<CycloneDDS><Domain id=\"any\"><General><AllowMulticast>false</AllowMulticast></General></Domain></CycloneDDS>");

    ASSERT_EQ(plan.subscribers.size(), 2u);
    EXPECT_EQ(plan.subscribers[0].partitions, (std::vector<std::string>{"X"}));
    EXPECT_EQ(plan.subscribers[0].readers[0].qos.reliability.kind, DDS_RELIABLE_RELIABILITY_QOS);
    EXPECT_EQ(plan.subscribers[1].name, "");       // unnamed subscriber and reader
    EXPECT_EQ(plan.subscribers[1].readers[0].name, "");
    EXPECT_EQ(plan.subscribers[1].readers[0].qos.reliability.kind, DDS_BEST_EFFORT_RELIABILITY_QOS);
}

TEST(XmlConfig, EveryBrokenConfigurationGivesOneLine)
{
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(kData + "/bad")) {
        std::ifstream in(entry.path());
        std::string first;
        std::getline(in, first);
        const std::string tag = "<!-- expect: ";
        ASSERT_EQ(first.rfind(tag, 0), 0u) << entry.path();
        const std::string expect = first.substr(tag.size(), first.size() - tag.size() - 4);
        ParticipantPlan plan;
        std::string err;
        EXPECT_FALSE(build_participant_plan({entry.path().string()}, "L::P", plan, err)) << entry.path();
        EXPECT_NE(err.find(expect), std::string::npos) << entry.path() << "\n  got: " << err << "\n  want: " << expect;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
        ++files;
    }
    EXPECT_GE(files, 20);
}

TEST(XmlConfig, DataRepresentationChoosesWhatWritersSendAndReadersAccept)
{
    const std::string file = kData + "/representation.xml";
    ParticipantPlan plan;
    std::string err;
    ASSERT_TRUE(build_participant_plan({file}, "L::P", plan, err)) << err;
    const DDS_DataRepresentationQosPolicy &w = plan.publishers.at(0).writers.at(0).qos.representation;
    ASSERT_EQ(w.length, 2);
    EXPECT_EQ(w.value[0], DDS_XCDR2_DATA_REPRESENTATION);
    EXPECT_EQ(w.value[1], DDS_XCDR_DATA_REPRESENTATION);
    EXPECT_EQ(plan.subscribers.at(0).readers.at(1).qos.representation.length, 0); // follows the type

    ASSERT_TRUE(quelt::test::useProfiles({file}));
    DDS_DomainParticipantFactory *f = DDS_DomainParticipantFactory_get_instance();
    // A final type, but XCDR2 listed first; a mutable type, but XCDR1 asked for.
    for (const auto &[name, encoding] : {std::pair{"L::P", CdrVersion::Xcdr2}, std::pair{"L::Xcdr1Mutable", CdrVersion::Xcdr1}}) {
        DDS_DomainParticipant *p = DDS_DomainParticipantFactory_create_participant_from_config(f, name);
        ASSERT_NE(p, nullptr) << name;
        DDS_DataWriter *writer = DDS_DomainParticipant_lookup_datawriter_by_name(p, "Pub::W");
        ASSERT_NE(writer, nullptr);
        EXPECT_EQ(writer->encoding, encoding) << name;
        EXPECT_EQ(DDS_DomainParticipantFactory_delete_participant(f, p), DDS_RETCODE_OK);
    }
}

TEST(XmlConfig, FactoryCreatesFromSeveralFilesAndLogsFailures)
{
    // Types in one file, the rest in another: the files are read together, in order.
    ASSERT_TRUE(quelt::test::useProfiles({kData + "/split_types.xml", kData + "/split_parts.xml"}));
    DDS_DomainParticipantFactory *f = DDS_DomainParticipantFactory_get_instance();
    DDS_DomainParticipant *p = DDS_DomainParticipantFactory_create_participant_from_config(f, "L::P");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(DDS_DomainParticipant_get_domain_id(p), 31);
    EXPECT_NE(DDS_DomainParticipant_lookup_datawriter_by_name(p, "Pub::W"), nullptr);
    EXPECT_EQ(DDS_DomainParticipantFactory_finalize_instance(), DDS_RETCODE_PRECONDITION_NOT_MET);
    EXPECT_EQ(DDS_DomainParticipantFactory_delete_participant(f, p), DDS_RETCODE_OK);

    quelt::test::LogCapture log;
    EXPECT_EQ(DDS_DomainParticipantFactory_create_participant_from_config(f, "L::Nope"), nullptr);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("participant configuration 'L::Nope' not found"), std::string::npos) << log.lines()[0];
    EXPECT_EQ(DDS_DomainParticipantFactory_create_participant_from_config(f, nullptr), nullptr);
    EXPECT_EQ(DDS_DomainParticipantFactory_delete_participant(f, nullptr), DDS_RETCODE_BAD_PARAMETER);
    ASSERT_TRUE(quelt::test::useProfiles({"/nonexistent/file.xml"}));
    EXPECT_EQ(DDS_DomainParticipantFactory_create_participant_from_config(f, "L::P"), nullptr);
    // With no participant left, the factory goes.
    EXPECT_EQ(DDS_DomainParticipantFactory_finalize_instance(), DDS_RETCODE_OK);
}

} // namespace
