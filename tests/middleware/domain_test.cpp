// Entities over Fast DDS: read/take with loans, keyed notices, names, refused writes, listeners,
// the Fast DDS settings we give and shared-memory leftovers. (Write parameters, waiting and other
// processes are exercised through the connector.) Domains 11, 15, 60, 61.
#include "domain/entities.h"
#include "fastdds_engine.h"
#include "shm_housekeeping.h"
#include "dds/dds_log.h"
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

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

using namespace quelt::mw;

namespace {

using Adjust = void (*)(DDS_DataWriterQos &, DDS_DataReaderQos &);

DDS_DomainParticipant *make_participant(int domain, const std::string &type, std::string &err, Adjust adjust = nullptr,
                                        EngineKind engine = EngineKind::Fastdds)
{
    // Test::<type>: writer Pub::W and reader Sub::R of one type, both reliable keep-all.
    ParticipantPlan plan;
    if (!build_participant_plan({QUELT_TEST_DATA + "/config/two_types.xml"}, "Test::" + type, plan, err))
        return nullptr;
    plan.domain_id = domain;
    plan.engine = engine;
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

// Whether the thread tid of this process sleeps (blocked in the kernel, as on a condition).
bool asleep(pid_t tid)
{
    std::string stat = quelt::test::readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
}

DDS_ReturnCode_t take(DDS_DataReader *r, DDS_DynamicDataSeq &data, DDS_SampleInfoSeq &infos, bool read = false)
{
    return (read ? DDS_DynamicDataReader_read : DDS_DynamicDataReader_take)(r, &data, &infos, -1, DDS_ANY_SAMPLE_STATE,
                                                                              DDS_ANY_VIEW_STATE, DDS_ANY_INSTANCE_STATE);
}

struct Entities : ::testing::Test {
    DDS_DomainParticipant *p = nullptr;
    DDS_DataWriter *w = nullptr;
    DDS_DynamicDataWriter *dw = nullptr;
    DDS_DataReader *r = nullptr;
    DDS_WaitSet *ws = nullptr;
    DDS_DynamicData *s = nullptr;
    DDS_DynamicDataSeq data = DDS_SEQUENCE_INITIALIZER;
    DDS_SampleInfoSeq infos = DDS_SEQUENCE_INITIALIZER;

    void open(int domain, const char *type, Adjust adjust = nullptr, EngineKind engine = EngineKind::Fastdds)
    {
        std::string err;
        p = make_participant(domain, type, err, adjust, engine);
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
};

TEST_F(Entities, ReadTakeLoansKeyedNoticesAndNames)
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

    // Notices show their instance's key and nothing else; unregistering disposes as well (the
    // standard's default for writers).
    for (const auto &[key, v] : {std::pair{1, 10}, std::pair{2, 20}, std::pair{2, 21}}) {
        DDS_DynamicData_set_long(s, "id", 0, key);
        DDS_DynamicData_set_long(s, "v", 0, v);
        ASSERT_EQ(DDS_DynamicDataWriter_write(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
    }
    DDS_DynamicData_set_long(s, "id", 0, 1); // v (21) is not sent
    ASSERT_EQ(DDS_DynamicDataWriter_dispose(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
    DDS_DynamicData_set_long(s, "id", 0, 2);
    ASSERT_EQ(DDS_DynamicDataWriter_unregister_instance(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
    std::vector<std::string> got;
    for (int tries = 0; got.size() < 5 && tries < 20; ++tries) {
        if (DDS_WaitSet_wait(ws, nullptr, &kSecond) != DDS_RETCODE_OK || take(r, data, infos) != DDS_RETCODE_OK)
            continue;
        for (DDS_Long i = 0; i < DDS_DynamicDataSeq_get_length(&data); ++i) {
            const DDS_SampleInfo *info = DDS_SampleInfoSeq_get_reference(&infos, i);
            DDS_Long key = -1, v = -1;
            DDS_DynamicData_get_long(DDS_DynamicDataSeq_get_reference(&data, i), &key, "id", 0);
            DDS_DynamicData_get_long(DDS_DynamicDataSeq_get_reference(&data, i), &v, "v", 0);
            got.push_back(std::to_string(key) + " " + std::to_string(v) +
                          (info->valid_data ? "" : " state " + std::to_string(info->instance_state)));
        }
        ASSERT_EQ(DDS_DynamicDataReader_return_loan(r, &data, &infos), DDS_RETCODE_OK);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"1 0 state 2", "1 10", "2 0 state 2", "2 20", "2 21"}));

    // Names, QoS and types are kept.
    DDS_DataWriterQos wq;
    DDS_PublisherQos pq;
    DDS_DataWriterQos_initialize(&wq);
    DDS_PublisherQos_initialize(&pq);
    ASSERT_EQ(DDS_DataWriter_get_qos(w, &wq), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_Publisher_get_qos(DDS_DataWriter_get_publisher(w), &pq), DDS_RETCODE_OK);
    EXPECT_STREQ(wq.publication_name.name, "W");
    EXPECT_EQ(wq.history.kind, DDS_KEEP_ALL_HISTORY_QOS);
    EXPECT_STREQ(pq.publisher_name.name, "Pub");
    DDS_DataWriterQos_finalize(&wq);
    DDS_PublisherQos_finalize(&pq);
    EXPECT_STREQ(DDS_TopicDescription_get_type_name(DDS_DataReader_get_topicdescription(r)), "Small");
    EXPECT_EQ(DDS_DomainParticipant_lookup_datareader_by_name(p, "R"), r);
    EXPECT_EQ(DDS_DomainParticipant_lookup_datareader_by_name(p, "Other::R"), nullptr);
    // Writing a sample of another type is refused.
    DDS_DynamicData *shape = DDS_DynamicData_new(DDS_TypeLibrary_find(p->plan.types.get(), "ShapeType"), nullptr);
    EXPECT_EQ(DDS_DynamicDataWriter_write(dw, shape, nullptr), DDS_RETCODE_BAD_PARAMETER);
    DDS_DynamicData_delete(shape);
}

// A wait already asleep when the data comes is woken by it, on both engines: on the waitset it
// began on, and on one the reader's condition joined while it waited. (Wakes skip the locks while
// no wait counts, and notify a sleeping waiter once.) Domains 61 and 63.
class WaitAsleep : public Entities, public ::testing::WithParamInterface<EngineKind> {};

TEST_P(WaitAsleep, WakesWhenTheDataComes)
{
    open(GetParam() == EngineKind::Cyclone ? 63 : 61, "Small", nullptr, GetParam());
    DDS_Condition *data_cond = DDS_StatusCondition_as_condition(DDS_Entity_get_statuscondition(DDS_DataReader_as_entity(r)));
    // The writer's condition, no status enabled, never triggers: it shows when a wait has begun.
    DDS_StatusCondition *idle = DDS_Entity_get_statuscondition(DDS_DataWriter_as_entity(w));
    ASSERT_EQ(DDS_StatusCondition_set_enabled_statuses(idle, 0), DDS_RETCODE_OK);
    DDS_WaitSet *late = DDS_WaitSet_new();
    ASSERT_EQ(DDS_WaitSet_attach_condition(late, DDS_StatusCondition_as_condition(idle)), DDS_RETCODE_OK);
    for (DDS_WaitSet *set : {ws, late}) {
        DDS_Condition *begun = set == ws ? data_cond : DDS_StatusCondition_as_condition(idle);
        std::atomic<int> rc{-1};
        std::atomic<pid_t> tid{0};
        // Ended by the wake, not by its timeout (after which it would find the data too).
        const DDS_Duration_t kLong{20, 0};
        std::atomic<bool> early{false};
        std::thread waiter([&] {
            tid = gettid();
            const auto start = std::chrono::steady_clock::now();
            rc = DDS_WaitSet_wait(set, nullptr, &kLong);
            early = std::chrono::steady_clock::now() - start < std::chrono::seconds(10);
        });
        // Asleep, not still looking at its conditions: only a wake can end this wait in time.
        ASSERT_TRUE(quelt::test::waitUntil([&] { return begun->watchers.load() > 0 && tid && asleep(tid); }));
        if (set == late) {
            ASSERT_EQ(DDS_WaitSet_attach_condition(late, data_cond), DDS_RETCODE_OK);
        }
        ASSERT_EQ(DDS_DynamicDataWriter_write(dw, s, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
        waiter.join();
        EXPECT_EQ(rc.load(), DDS_RETCODE_OK);
        EXPECT_TRUE(early.load());
        ASSERT_EQ(take(r, data, infos), DDS_RETCODE_OK);
        ASSERT_EQ(DDS_DynamicDataReader_return_loan(r, &data, &infos), DDS_RETCODE_OK);
    }
    DDS_WaitSet_delete(late);
}

INSTANTIATE_TEST_SUITE_P(Engines, WaitAsleep, ::testing::Values(EngineKind::Fastdds, EngineKind::Cyclone),
                         [](const auto &info) { return std::string(info.param == EngineKind::Cyclone ? "Cyclone" : "Fastdds"); });

// A reader that never takes and holds one sample: the writer's bounded keep-all history fills, and
// every write the engine then refuses is one log line naming the writer and the return code.
TEST_F(Entities, EveryRefusedWriteIsOneLineWithTheWritersNameAndCode)
{
    open(60, "Small", [](DDS_DataWriterQos &w, DDS_DataReaderQos &r) {
        w.resource_limits.max_instances = r.resource_limits.max_instances = 1;
        w.resource_limits.max_samples = w.resource_limits.max_samples_per_instance = 2;
        w.reliability.max_blocking_time = DDS_Duration_t{0, 20000000};
        r.resource_limits.max_samples = r.resource_limits.max_samples_per_instance = 1;
    });
    auto log = std::make_unique<quelt::test::LogCapture>();
    int refused = 0;
    for (int i = 0; i < 8; ++i) {
        DDS_DynamicData_set_long(s, "id", DDS_DYNAMIC_DATA_MEMBER_ID_UNSPECIFIED, 1);
        DDS_DynamicData_set_long(s, "v", DDS_DYNAMIC_DATA_MEMBER_ID_UNSPECIFIED, i);
        refused += DDS_DynamicDataWriter_write(dw, s, &DDS_HANDLE_NIL) != DDS_RETCODE_OK;
    }
    const std::vector<std::string> lines = log->lines();
    log.reset();
    EXPECT_GT(refused, 0);
    ASSERT_EQ(static_cast<int>(lines.size()), refused);
    for (const std::string &l : lines)
        EXPECT_NE(l.find("DDS_DynamicDataWriter_write: writer 'Pub::W' did not send the sample: return code "), std::string::npos) << l;
}

// The writer's Fast DDS settings: our stream defaults, or what <fastdds_writer> asked for.
TEST(FastddsSettings, HeartbeatAndPublishModeReachTheWriter)
{
    namespace fd = eprosima::fastdds::dds;
    DDS_DataWriterQos w;
    DDS_DataWriterQos_initialize(&w);
    fd::DataWriterQos q;
    to_fastdds(w, q);
    EXPECT_EQ(q.reliable_writer_qos().times.heartbeatPeriod, eprosima::fastrtps::Duration_t(0, 20000000));
    EXPECT_EQ(q.publish_mode().kind, fd::SYNCHRONOUS_PUBLISH_MODE);
    w.fastdds.heartbeat_period = DDS_Duration_t{1, 500};
    w.fastdds.publish_mode = DDS_FASTDDS_ASYNCHRONOUS_PUBLISH_MODE;
    to_fastdds(w, q);
    EXPECT_EQ(q.reliable_writer_qos().times.heartbeatPeriod, eprosima::fastrtps::Duration_t(1, 500));
    EXPECT_EQ(q.publish_mode().kind, fd::ASYNCHRONOUS_PUBLISH_MODE);
    DDS_DataWriterQos_finalize(&w);
}

// A deployment's profile keeps its transports; its UDPv4 ones get our buffers only where unset,
// and <fastdds_transport>'s shared-memory sizes, which they leave unapplied, are one warning.
TEST(FastddsSettings, ProfileTransportsKeepTheirOwnSettings)
{
    namespace rt = eprosima::fastdds::rtps;
    eprosima::fastdds::dds::DomainParticipantQos q;
    q.transport().use_builtin_transports = false;
    auto unset = std::make_shared<rt::UDPv4TransportDescriptor>();
    auto own = std::make_shared<rt::UDPv4TransportDescriptor>();
    own->sendBufferSize = own->receiveBufferSize = 1u << 20;
    q.transport().user_transports = {unset, own};
    ParticipantPlan plan;
    plan.name = "L::P";
    plan.transport.shm_segment_size = 1u << 20;
    quelt::test::LogCapture log;
    to_fastdds(plan, q);
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
    EXPECT_EQ(log.levels(), std::vector<int>{QUELT_LOG_LEVEL_WARNING});
    const std::string line = log.text();
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

TEST_F(Entities, ParticipantListenerHearsIncompatibleQosOfItsReaders)
{
    open(15, "ShapeType");
    static DDS_DataReader *reader;
    static std::atomic<int> heard{0}, policy{-1}, wrongReader{0};
    reader = r;
    // The reader matches its own participant's writer, and must match nothing more.
    const auto writers_matched = [&] {
        DDS_SubscriptionMatchedStatus st;
        return DDS_DataReader_get_subscription_matched_status(reader, &st) == DDS_RETCODE_OK ? st.current_count : -1;
    };
    ASSERT_TRUE(quelt::test::waitUntil([&] { return writers_matched() == 1; }));
    DDS_DomainParticipantListener l{};
    l.as_subscriberlistener.as_datareaderlistener.on_requested_incompatible_qos =
        [](void *, DDS_DataReader *from, const DDS_RequestedIncompatibleQosStatus *st) {
            policy = st->last_policy_id;
            wrongReader += from != reader;
            ++heard;
        };
    ASSERT_EQ(DDS_DomainParticipant_set_listener(p, &l, 0x79E6), DDS_RETCODE_OK);
    // A second participant whose best-effort writer cannot serve the first one's reliable reader.
    std::string err;
    DDS_DomainParticipant *other = make_participant(15, "ShapeType", err, [](DDS_DataWriterQos &w, DDS_DataReaderQos &) {
        w.reliability.kind = DDS_BEST_EFFORT_RELIABILITY_QOS;
    });
    ASSERT_NE(other, nullptr) << err;
    EXPECT_TRUE(quelt::test::waitUntil([&] { return heard.load() >= 1; }));
    EXPECT_EQ(policy.load(), DDS_RELIABILITY_QOS_POLICY_ID);
    EXPECT_EQ(wrongReader.load(), 0);
    EXPECT_EQ(writers_matched(), 1);
    delete_participant(other);
    DDS_DomainParticipant_set_listener(p, nullptr, 0);
}

} // namespace
