// Entities over Fast DDS: write, read/take with loans, keyed notices, refused writes, listeners,
// the Fast DDS settings we give, and one crossing to another process. (Write parameters and
// waiting are exercised through the connector.) Domains 10..20, 60, 63.
#include "fastdds_engine.h"
#include "shm_housekeeping.h"
#include "dds/dds_log.h"
#include "dds/dds_string.h"
#include "xml_config.h"

#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>
#include <fastdds/rtps/transport/ChainingTransportDescriptor.h>
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>
#include <gtest/gtest.h>

#include "support/support.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "support/peer.h"

using namespace quelt::mw;

namespace {

using Adjust = void (*)(DDS_DataWriterQos &, DDS_DataReaderQos &);

DDS_DomainParticipant *make_participant(int domain, const std::string &type, std::string &err, Adjust adjust = nullptr)
{
    // Test::<type>: writer Pub::W and reader Sub::R of one type, both reliable keep-all.
    ParticipantPlan plan;
    if (!build_participant_plan({QUELT_TEST_DATA "/config/two_types.xml"}, "Test::" + type, plan, err))
        return nullptr;
    plan.domain_id = domain;
    if (adjust)
        adjust(plan.publishers.at(0).writers.at(0).qos, plan.subscribers.at(0).readers.at(0).qos);
    return create_participant_from_plan(std::move(plan), err);
}

bool wait_matched(DDS_DataWriter *w, int ms = 5000)
{
    return quelt::test::waitUntil([w] {
        DDS_PublicationMatchedStatus st;
        return DDS_DataWriter_get_publication_matched_status(w, &st) == DDS_RETCODE_OK && st.current_count > 0;
    }, std::chrono::milliseconds(ms));
}

const DDS_Duration_t kSecond{2, 0};

DDS_ReturnCode_t take(DDS_DataReader *r, DDS_DynamicDataSeq &data, DDS_SampleInfoSeq &infos, bool read = false)
{
    return (read ? DDS_DynamicDataReader_read : DDS_DynamicDataReader_take)(r, &data, &infos, -1, DDS_ANY_SAMPLE_STATE,
                                                                              DDS_ANY_VIEW_STATE, DDS_ANY_INSTANCE_STATE);
}

struct Fixture : ::testing::Test {
    DDS_DomainParticipant *p = nullptr;
    DDS_DataWriter *w = nullptr;
    DDS_DynamicDataWriter *dw = nullptr;
    DDS_DataReader *r = nullptr;
    DDS_WaitSet *ws = nullptr;
    DDS_DynamicData *s = nullptr;
    DDS_DynamicDataSeq data = DDS_SEQUENCE_INITIALIZER;
    DDS_SampleInfoSeq infos = DDS_SEQUENCE_INITIALIZER;

    void open(int domain, const char *type)
    {
        std::string err;
        p = make_participant(domain, type, err);
        ASSERT_NE(p, nullptr) << err;
        w = DDS_DomainParticipant_lookup_datawriter_by_name(p, "Pub::W");
        r = DDS_DomainParticipant_lookup_datareader_by_name(p, "Sub::R");
        ASSERT_TRUE(w && r);
        dw = DDS_DynamicDataWriter_narrow(w);
        s = DDS_DynamicData_new(DDS_DomainParticipant_get_typecode(p, type), nullptr);
        ws = DDS_WaitSet_new();
        DDS_StatusCondition *c = DDS_Entity_get_statuscondition(DDS_DataReader_as_entity(r));
        ASSERT_EQ(DDS_StatusCondition_set_enabled_statuses(c, DDS_DATA_AVAILABLE_STATUS), DDS_RETCODE_OK);
        ASSERT_EQ(DDS_WaitSet_attach_condition(ws, DDS_StatusCondition_as_condition(c)), DDS_RETCODE_OK);
        ASSERT_TRUE(wait_matched(w));
    }
    void TearDown() override
    {
        if (r)
            DDS_DynamicDataReader_return_loan(r, &data, &infos);
        DDS_DynamicDataSeq_finalize(&data);
        DDS_SampleInfoSeq_finalize(&infos);
        DDS_DynamicData_delete(s);
        DDS_WaitSet_delete(ws);
        delete_participant(p);
    }
    // Waits for and takes n samples (several takes if need be), as "data COLOR X" or
    // "notice COLOR X state S".
    std::vector<std::string> take_all(size_t n)
    {
        std::vector<std::string> lines;
        for (int tries = 0; lines.size() < n && tries < 20; ++tries) {
            if (DDS_WaitSet_wait(ws, nullptr, &kSecond) != DDS_RETCODE_OK || take(r, data, infos) != DDS_RETCODE_OK)
                continue;
            for (DDS_Long i = 0; i < DDS_DynamicDataSeq_get_length(&data); ++i) {
                DDS_SampleInfo *info = DDS_SampleInfoSeq_get_reference(&infos, i);
                char *color = nullptr;
                DDS_UnsignedLong size = 0;
                DDS_Long x = -1;
                DDS_DynamicData_get_string(DDS_DynamicDataSeq_get_reference(&data, i), &color, &size, "color", 0);
                DDS_DynamicData_get_long(DDS_DynamicDataSeq_get_reference(&data, i), &x, "x", 0);
                lines.push_back(std::string(info->valid_data ? "data " : "notice ") + (color ? color : "?") + " " + std::to_string(x) +
                                (info->valid_data ? "" : " state " + std::to_string(info->instance_state)));
                DDS_String_free(color);
            }
            DDS_DynamicDataReader_return_loan(r, &data, &infos);
        }
        return lines;
    }
};

TEST_F(Fixture, KeyedSamplesAndNoticesArriveWithTheirKeys)
{
    open(10, "ShapeType");
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(DDS_DynamicData_set_string(s, "color", 0, i == 0 ? "RED" : "BLUE"), DDS_RETCODE_OK);
        ASSERT_EQ(DDS_DynamicData_set_long(s, "x", 0, i), DDS_RETCODE_OK);
        ASSERT_EQ(DDS_DynamicDataWriter_write(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
    }
    DDS_DynamicData_set_string(s, "color", 0, "RED");
    DDS_DynamicData_set_long(s, "x", 0, 77); // not sent: a notice carries only the key
    ASSERT_EQ(DDS_DynamicDataWriter_dispose(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
    DDS_DynamicData_set_string(s, "color", 0, "BLUE");
    // Unregistering disposes as well (the standard's default for writers).
    ASSERT_EQ(DDS_DynamicDataWriter_unregister_instance(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
    std::vector<std::string> lines = take_all(5);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"data BLUE 1", "data BLUE 2", "data RED 0", "notice BLUE 0 state 2",
                                               "notice RED 0 state 2"}));
}

TEST_F(Fixture, ReadKeepsSamplesTakeRemovesThemAndLoansAreChecked)
{
    open(11, "Small");
    // Key 0 hashes to all zeros, which the transport takes for "no instance".
    ASSERT_EQ(DDS_DynamicData_set_long(s, "id", 0, 0), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicDataWriter_write(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_WaitSet_wait(ws, nullptr, &kSecond), DDS_RETCODE_OK);
    ASSERT_EQ(take(r, data, infos, true), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicDataSeq_get_length(&data), 1);
    // A second read while the first loan is out is refused; the loan must go back first.
    EXPECT_EQ(take(r, data, infos, true), DDS_RETCODE_PRECONDITION_NOT_MET);
    EXPECT_EQ(DDS_DynamicDataSeq_finalize(&data), DDS_BOOLEAN_FALSE);
    // The read sample no longer makes data available.
    const DDS_Duration_t zero{0, 0};
    EXPECT_EQ(DDS_WaitSet_wait(ws, nullptr, &zero), DDS_RETCODE_TIMEOUT);
    DDS_InstanceHandle_t handle = DDS_SampleInfoSeq_get_reference(&infos, 0)->instance_handle;
    EXPECT_TRUE(handle.isValid);
    // The loan goes back only with the infos it came with.
    DDS_SampleInfoSeq other = DDS_SEQUENCE_INITIALIZER;
    EXPECT_EQ(DDS_DynamicDataReader_return_loan(r, &data, &other), DDS_RETCODE_PRECONDITION_NOT_MET);
    ASSERT_EQ(DDS_DynamicDataReader_return_loan(r, &data, &infos), DDS_RETCODE_OK);
    ASSERT_EQ(take(r, data, infos), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicDataSeq_get_length(&data), 1);
    ASSERT_EQ(DDS_DynamicDataReader_return_loan(r, &data, &infos), DDS_RETCODE_OK);
    EXPECT_EQ(take(r, data, infos), DDS_RETCODE_NO_DATA);

    // The key of an instance comes back from its handle.
    DDS_DynamicData_set_long(s, "id", 0, 99);
    ASSERT_EQ(DDS_DynamicDataReader_get_key_value(r, s, &handle), DDS_RETCODE_OK);
    DDS_Long id = -1;
    DDS_DynamicData_get_long(s, &id, "id", 0);
    EXPECT_EQ(id, 0);
}

TEST_F(Fixture, NamesQosAndTypesAreKept)
{
    open(14, "ShapeType");
    DDS_DataWriterQos wq;
    DDS_DataWriterQos_initialize(&wq);
    ASSERT_EQ(DDS_DataWriter_get_qos(w, &wq), DDS_RETCODE_OK);
    EXPECT_STREQ(wq.publication_name.name, "W");
    EXPECT_EQ(wq.history.kind, DDS_KEEP_ALL_HISTORY_QOS);
    DDS_DataWriterQos_finalize(&wq);
    DDS_PublisherQos pq;
    DDS_PublisherQos_initialize(&pq);
    ASSERT_EQ(DDS_Publisher_get_qos(DDS_DataWriter_get_publisher(w), &pq), DDS_RETCODE_OK);
    EXPECT_STREQ(pq.publisher_name.name, "Pub");
    DDS_PublisherQos_finalize(&pq);
    EXPECT_STREQ(DDS_TopicDescription_get_type_name(DDS_DataReader_get_topicdescription(r)), "ShapeType");
    EXPECT_EQ(DDS_DomainParticipant_lookup_datareader_by_name(p, "R"), r);
    EXPECT_EQ(DDS_DomainParticipant_lookup_datareader_by_name(p, "Other::R"), nullptr);
    DDS_Time_t now;
    ASSERT_EQ(DDS_DomainParticipant_get_current_time(p, &now), DDS_RETCODE_OK);
    EXPECT_GT(now.sec, 1700000000);
    // Writing a sample of another type is refused.
    DDS_DynamicData *other = DDS_DynamicData_new(DDS_TypeLibrary_find(p->plan.types.get(), "Small"), nullptr);
    EXPECT_EQ(DDS_DynamicDataWriter_write(dw, other, nullptr), DDS_RETCODE_BAD_PARAMETER);
    DDS_DynamicData_delete(other);
}

// A reader that never takes and holds one sample: the writer's bounded keep-all history fills, and
// every write the engine then refuses is one log line naming the writer and the return code.
TEST(WriteFailures, EveryRefusedWriteIsOneLineWithTheWritersNameAndCode)
{
    std::string err;
    DDS_DomainParticipant *p = make_participant(60, "Small", err, [](DDS_DataWriterQos &w, DDS_DataReaderQos &r) {
        w.resource_limits.max_instances = r.resource_limits.max_instances = 1;
        w.resource_limits.max_samples = w.resource_limits.max_samples_per_instance = 2;
        w.reliability.max_blocking_time = DDS_Duration_t{0, 20000000};
        r.resource_limits.max_samples = r.resource_limits.max_samples_per_instance = 1;
    });
    ASSERT_NE(p, nullptr) << err;
    DDS_DataWriter *w = DDS_DomainParticipant_lookup_datawriter_by_name(p, "Pub::W");
    ASSERT_TRUE(wait_matched(w));
    auto log = std::make_unique<quelt::test::LogCapture>();
    DDS_DynamicData *d = DDS_DynamicData_new(DDS_DomainParticipant_get_typecode(p, "Small"), &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
    int refused = 0;
    for (int i = 0; i < 8; ++i) {
        DDS_DynamicData_set_long(d, "id", DDS_DYNAMIC_DATA_MEMBER_ID_UNSPECIFIED, 1);
        DDS_DynamicData_set_long(d, "v", DDS_DYNAMIC_DATA_MEMBER_ID_UNSPECIFIED, i);
        refused += DDS_DynamicDataWriter_write(w, d, &DDS_HANDLE_NIL) != DDS_RETCODE_OK;
    }
    const std::vector<std::string> lines = log->lines();
    log.reset();
    EXPECT_GT(refused, 0);
    ASSERT_EQ(static_cast<int>(lines.size()), refused);
    for (const std::string &l : lines)
        EXPECT_NE(l.find("DDS_DynamicDataWriter_write: writer 'Pub::W' did not send the sample: return code "), std::string::npos) << l;
    DDS_DynamicData_delete(d);
    delete_participant(p);
}

// The writer's Fast DDS settings: our stream defaults, or what <fastdds_writer> asked for.
TEST(WriterSettings, HeartbeatAndPublishModeReachFastdds)
{
    namespace fd = eprosima::fastdds::dds;
    const struct {
        Adjust adjust;
        eprosima::fastrtps::Duration_t heartbeat;
        fd::PublishModeQosPolicyKind mode;
    } cases[] = {
        {nullptr, {0, 20000000}, fd::SYNCHRONOUS_PUBLISH_MODE},
        {[](DDS_DataWriterQos &w, DDS_DataReaderQos &) {
             w.fastdds.heartbeat_period = DDS_Duration_t{1, 500};
             w.fastdds.publish_mode = DDS_FASTDDS_ASYNCHRONOUS_PUBLISH_MODE;
         },
         {1, 500}, fd::ASYNCHRONOUS_PUBLISH_MODE},
    };
    for (const auto &c : cases) {
        std::string err;
        DDS_DomainParticipant *p = make_participant(63, "Small", err, c.adjust);
        ASSERT_NE(p, nullptr) << err;
        const fd::DataWriterQos q = fastdds_writer(DDS_DomainParticipant_lookup_datawriter_by_name(p, "Pub::W"))->get_qos();
        EXPECT_EQ(q.reliable_writer_qos().times.heartbeatPeriod, c.heartbeat);
        EXPECT_EQ(q.publish_mode().kind, c.mode);
        delete_participant(p);
    }
}

// A deployment's profile keeps its transports; its UDPv4 ones get our buffers only where unset.
TEST(WriterSettings, ProfileUdpTransportsGetBuffersWhereUnset)
{
    namespace rt = eprosima::fastdds::rtps;
    eprosima::fastdds::dds::DomainParticipantQos q;
    q.transport().use_builtin_transports = false;
    auto unset = std::make_shared<rt::UDPv4TransportDescriptor>();
    auto own = std::make_shared<rt::UDPv4TransportDescriptor>();
    own->sendBufferSize = own->receiveBufferSize = 1u << 20;
    q.transport().user_transports = {unset, own};
    to_fastdds(ParticipantPlan{}, q);
    ASSERT_EQ(q.transport().user_transports.size(), 2u);
    const uint32_t expected[] = {4u << 20, 1u << 20};
    for (size_t i = 0; i < 2; ++i) {
        auto chain = std::dynamic_pointer_cast<rt::ChainingTransportDescriptor>(q.transport().user_transports[i]);
        ASSERT_TRUE(chain);
        auto udp = std::dynamic_pointer_cast<rt::UDPv4TransportDescriptor>(chain->low_level_descriptor);
        ASSERT_TRUE(udp);
        EXPECT_EQ(udp->receiveBufferSize, expected[i]);
        EXPECT_EQ(udp->sendBufferSize, expected[i]);
    }
    EXPECT_EQ(unset->receiveBufferSize, 0u) << "the profile's own descriptor was changed";
}

// <fastdds_transport>'s shared-memory sizes that a profile's transports leave unapplied: one warning.
TEST(WriterSettings, ShmSizesAProfileLeavesUnappliedAreOneWarning)
{
    eprosima::fastdds::dds::DomainParticipantQos q;
    q.transport().use_builtin_transports = false;
    q.transport().user_transports = {std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>()};
    ParticipantPlan plan;
    plan.name = "L::P";
    plan.transport.shm_segment_size = 1u << 20;
    quelt::test::LogCapture log;
    to_fastdds(plan, q);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.levels(), std::vector<int>{QUELT_LOG_LEVEL_WARNING});
    const std::string line = log.lines()[0];
    EXPECT_NE(line.find("DDS_DomainParticipantFactory_create_participant: participant 'L::P': <fastdds_transport> "
                        "shm_segment_size 1048576 and shm_port_queue_capacity 0 (0: not given) are not applied"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("shared memory is not among them"), std::string::npos) << line;
}

// Ids whose shared-memory ports a live participant holds, or a dead one left while another process
// still has them open, are passed over; dead data segments are removed, live ones kept.
TEST(SharedMemoryLeftovers, NewParticipantsKeepOffPortsInUseAndDeadSegmentsGo)
{
    char tmpl[] = "/tmp/quelt_shm_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    auto touch = [&](const std::string &name) {
        const int fd = open((dir + "/" + name).c_str(), O_CREAT | O_RDWR, 0600);
        EXPECT_GE(fd, 0);
        return fd;
    };
    // Domain 3: id k has ports 8160 + 2k (discovery) and 8161 + 2k (data).
    const int live = touch("fastrtps_port8160_el"); // id 0: a live participant's discovery port
    ASSERT_EQ(flock(live, LOCK_EX | LOCK_NB), 0);
    close(touch("fastrtps_port8163_el")); // id 1: a dead participant's data port, still open here
    const int port = touch("fastrtps_port8163");
    ASSERT_EQ(ftruncate(port, 4096), 0);
    void *openHere = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, port, 0);
    ASSERT_NE(openHere, MAP_FAILED);
    close(touch("fastrtps_port8164_el")); // id 2: dead, open nowhere: taken again
    eprosima::fastdds::dds::DomainParticipantQos q;
    int skipped = -1;
    EXPECT_EQ(free_participant_id(q, 3, skipped, dir), 2);
    EXPECT_EQ(skipped, 1);
    munmap(openHere, 4096);
    close(port);

    const int liveSegment = touch("fastrtps_0123456789abcdef_el");
    ASSERT_EQ(flock(liveSegment, LOCK_EX | LOCK_NB), 0);
    for (const char *f : {"fastrtps_0123456789abcdef", "fastrtps_fedcba9876543210", "fastrtps_fedcba9876543210_el"})
        close(touch(f));
    EXPECT_EQ(remove_dead_segments(dir), 1);
    EXPECT_EQ(access((dir + "/fastrtps_fedcba9876543210").c_str(), F_OK), -1);
    EXPECT_EQ(access((dir + "/fastrtps_fedcba9876543210_el").c_str(), F_OK), -1);
    EXPECT_EQ(access((dir + "/fastrtps_0123456789abcdef").c_str(), F_OK), 0);
    close(live);
    close(liveSegment);
    std::system(("rm -rf " + dir).c_str());
}

struct Heard {
    std::atomic<int> requested_incompatible{0}, last_policy{-1};
    DDS_DataReader *reader = nullptr;
    std::atomic<bool> right_reader{true};
};

TEST(Listeners, ParticipantHearsIncompatibleQosOfItsReaders)
{
    std::string err;
    DDS_DomainParticipant *p = make_participant(15, "ShapeType", err);
    ASSERT_NE(p, nullptr) << err;
    static Heard heard;
    heard.reader = DDS_DomainParticipant_lookup_datareader_by_name(p, "Sub::R");
    // The reader matches its own participant's writer, and must match nothing more.
    const auto writers_matched = [&] {
        DDS_SubscriptionMatchedStatus st;
        return DDS_DataReader_get_subscription_matched_status(heard.reader, &st) == DDS_RETCODE_OK ? st.current_count : -1;
    };
    ASSERT_TRUE(quelt::test::waitUntil([&] { return writers_matched() == 1; }));
    DDS_DomainParticipantListener l{};
    DDS_DataReaderListener &rl = l.as_subscriberlistener.as_datareaderlistener;
    rl.listener_data = &heard;
    rl.on_requested_incompatible_qos = [](void *d, DDS_DataReader *r, const DDS_RequestedIncompatibleQosStatus *st) {
        auto *h = static_cast<Heard *>(d);
        h->last_policy = st->last_policy_id;
        h->right_reader = h->right_reader && r == h->reader;
        ++h->requested_incompatible;
    };
    ASSERT_EQ(DDS_DomainParticipant_set_listener(p, &l, 0x79E6), DDS_RETCODE_OK);
    // A second participant whose best-effort writer cannot serve the first one's reliable reader.
    DDS_DomainParticipant *other = make_participant(15, "ShapeType", err, [](DDS_DataWriterQos &w, DDS_DataReaderQos &) {
        w.reliability.kind = DDS_BEST_EFFORT_RELIABILITY_QOS;
    });
    ASSERT_NE(other, nullptr) << err;
    EXPECT_TRUE(quelt::test::waitUntil([&] { return heard.requested_incompatible.load() >= 1; }));
    EXPECT_EQ(heard.last_policy.load(), DDS_RELIABILITY_QOS_POLICY_ID);
    EXPECT_TRUE(heard.right_reader.load());
    EXPECT_EQ(writers_matched(), 1);
    delete_participant(other);
    DDS_DomainParticipant_set_listener(p, nullptr, 0);
    delete_participant(p);
}

// Our layer alone on both sides of the wire: the peer takes through it in another process.
TEST(TwoProcesses, KeyedSamplesDisposeAndUnregisterCrossTheWire)
{
    const quelt::test::TempXml xml(quelt::test::readFile(QUELT_EXAMPLES "/shapes/Shapes.xml"), 20);
    quelt::test::Peer sub({QUELT_TEST_PEER, "subscribe", xml.path(), "6", "20"});
    ASSERT_EQ(sub.line(), "ready");
    ASSERT_TRUE(quelt::test::useProfiles({xml.path()}));
    DDS_DomainParticipantFactory *f = DDS_DomainParticipantFactory_get_instance();
    DDS_DomainParticipant *p = DDS_DomainParticipantFactory_create_participant_from_config(f, "ShapesLib::ShapePublisher");
    ASSERT_NE(p, nullptr);
    DDS_DataWriter *w = DDS_DomainParticipant_lookup_datawriter_by_name(p, "Pub::SquareWriter");
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(wait_matched(w, 10000));
    DDS_DynamicDataWriter *dw = DDS_DynamicDataWriter_narrow(w);
    DDS_DynamicData *s = DDS_DynamicData_new(DDS_DomainParticipant_get_typecode(p, "ShapeType"), nullptr);
    const struct { const char *color; int x; } rows[] = {{"RED", 1}, {"RED", 2}, {"BLUE", 3}, {"RED", 4}};
    for (const auto &row : rows) {
        DDS_DynamicData_set_string(s, "color", 0, row.color);
        DDS_DynamicData_set_long(s, "x", 0, row.x);
        DDS_DynamicData_set_long(s, "y", 0, row.x * 10);
        DDS_DynamicData_set_long(s, "shapesize", 0, 30);
        ASSERT_EQ(DDS_DynamicDataWriter_write(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
    }
    DDS_DynamicData_set_string(s, "color", 0, "RED");
    ASSERT_EQ(DDS_DynamicDataWriter_dispose(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
    DDS_DynamicData_set_string(s, "color", 0, "BLUE");
    ASSERT_EQ(DDS_DynamicDataWriter_unregister_instance(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);

    // Per instance the order is the order of writing; then nothing more: the waitset times out.
    std::vector<std::string> red, blue;
    for (int i = 0; i < 6; ++i) {
        const std::string l = sub.line();
        (l.find("RED") != std::string::npos ? red : blue).push_back(l);
    }
    EXPECT_EQ(sub.line(), "idle 10");
    EXPECT_EQ(sub.finish(), 0);
    EXPECT_EQ(red, (std::vector<std::string>{"data RED 1 10 30", "data RED 2 20 30", "data RED 4 40 30", "notice RED 2"}));
    EXPECT_EQ(blue, (std::vector<std::string>{"data BLUE 3 30 30", "notice BLUE 2"}));
    DDS_DynamicData_delete(s);
    EXPECT_EQ(DDS_DomainParticipantFactory_delete_participant(f, p), DDS_RETCODE_OK);
}

} // namespace
