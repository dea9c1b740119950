// Waiting for data, the participant clock in CONTEXT, and event logging.
#include "connector_test_support.h"

#include <cmath>
#include <tuple>

using namespace quelt::test;
using Clock = std::chrono::steady_clock;

static long long elapsedMs(Clock::time_point since) { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count(); }

TEST(Waiting, MillisecondsBecomeDurations)
{
    for (const auto &[ms, sec, nanosec] : std::vector<std::tuple<int, DDS_Long, DDS_UnsignedLong>>{
             {2500, 2, 500000000u}, {5000, 5, 0}, {1, 0, 1000000u}, {0, 0, 0}, {-1, DDS_DURATION_INFINITE_SEC, DDS_DURATION_INFINITE_NSEC}, {-1500, 0, 0}}) {
        const DDS_Duration_t d = QueltDDSConnector_durationFromMillisecondsI(ms);
        EXPECT_EQ(d.sec, sec) << ms;
        EXPECT_EQ(d.nanosec, nanosec) << ms;
    }
}

// Attached readers (the default) wake a wait when data comes; detached ones leave it to time out.
// Waits of a participant that asks its waitsets to poll first still end at their deadline or with
// the data (bench_stream shows what the polling gains).
TEST(Waiting, TimesOutWithoutDataAndWakesWithDataOfAttachedReadersOnly)
{
    for (const auto &[attach, spinUs] : std::vector<std::pair<uint32_t, int>>{{1u, 0}, {0u, 0}, {1u, 10000}}) {
        SCOPED_TRACE(testing::Message() << "attach " << attach << ", spin " << spinUs);
        const std::string spin = "<domain_participant_qos><waitset><spin_microseconds>" + std::to_string(spinUs) +
                                 "</spin_microseconds></waitset></domain_participant_qos>";
        TempXml xml(replaceAll(shapesXml(), "<domain_participant name=\"Shapes\" domain_ref=\"ShapesDomainLib::ShapesDomain\">",
                               "<domain_participant name=\"Shapes\" domain_ref=\"ShapesDomainLib::ShapesDomain\">" + spin),
                    83);
        const QueltDDSConnectorOptions options = {attach};
        QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::Shapes", xml.path(), attach ? nullptr : &options);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(QueltDDSConnector_wait(c, 0), DDS_RETCODE_TIMEOUT);
        auto start = Clock::now();
        EXPECT_EQ(QueltDDSConnector_wait(c, 40), DDS_RETCODE_TIMEOUT);
        EXPECT_GE(elapsedMs(start), 39);
        EXPECT_LT(elapsedMs(start), 2000);
        QueltDDSConnector_write(c, kWriter, nullptr); // the participant's own reader receives it
        start = Clock::now();
        if (attach) {
            EXPECT_EQ(QueltDDSConnector_wait(c, 5000), DDS_RETCODE_OK);
            EXPECT_LT(elapsedMs(start), 4000);
            // Nothing was taken, so the data is still available.
            EXPECT_EQ(QueltDDSConnector_wait(c, 0), DDS_RETCODE_OK);
        } else {
            EXPECT_EQ(QueltDDSConnector_wait(c, 300), DDS_RETCODE_TIMEOUT);
            EXPECT_GE(elapsedMs(start), 290);
        }
        EXPECT_EQ(stackHeight(c), 0);
        QueltDDSConnector_delete(c);
    }
}

TEST(Waiting, LuaWaitReturnsTheReaderTableOrNilAndTimeIsTheParticipantClock)
{
    Connector c(85, "ShapesLib::Shapes");
    ASSERT_NE(c, nullptr);
    lua_State *L = engineState(c);
    lua_register(L, "wait", QueltDDSConnector_wait_L);
    lua_register(L, "wait_for_period_ms", QueltDDSConnector_wait_for_period_L);
    {
        LogCapture log;
        EXPECT_EQ(runLua(c, "return wait(true), wait('soon')"), (std::vector<std::string>{"nil", "nil"}));
        EXPECT_EQ(log.count("a LUA_TNUMBER was expected on the top of the stack"), 2) << log.text();
        log.clear();
        // A numeric string counts as a number.
        EXPECT_EQ(runLua(c, "return wait('50'), wait(20.9)"), (std::vector<std::string>{"nil", "nil"}));
        EXPECT_TRUE(log.lines().empty()) << log.text();
    }
    QueltDDSConnector_write(c, kWriter, nullptr);
    EXPECT_EQ(runLua(c, "return wait(5000) == CONTAINER.READER"), std::vector<std::string>{"true"});

    EXPECT_EQ(runLua(c, "return wait_for_period_ms(1.9)"), std::vector<std::string>{"1.9"});
    const auto start = Clock::now();
    EXPECT_EQ(runLua(c, "return wait_for_period_ms(120)"), std::vector<std::string>{"120"});
    EXPECT_GE(elapsedMs(start), 115);
    // CONTEXT.time_ms is the participant's clock in whole milliseconds.
    DDS_Time_t before{}, after{};
    QueltClock_now(&before);
    const std::vector<std::string> r = runLua(c, "local t = CONTAINER.CONTEXT.time_ms() return t, t % 1 == 0");
    QueltClock_now(&after);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1], "true");
    const double ms = std::stod(r[0]);
    EXPECT_GE(ms, before.sec * 1000.0 + std::floor(before.nanosec / 1e6) - 1);
    EXPECT_LE(ms, after.sec * 1000.0 + after.nanosec / 1e6 + 1);
    EXPECT_EQ(stackHeight(c), 0);
}

TEST(EventLogging, UnknownEntitiesAreNamedUnknown)
{
    BareConnector bare;
    QueltDDSConnector *c = bare.c;
    int entity = 0;
    LogCapture log;
    QueltDDSConnectorReadersListener_on_sample_lost(c, reinterpret_cast<DDS_DataReader *>(&entity), nullptr);
    DDS_OfferedIncompatibleQosStatus status{};
    status.last_policy_id = DDS_RELIABILITY_QOS_POLICY_ID;
    QueltDDSConnectorWriterListener_on_offereded_incompatible_qos(c, reinterpret_cast<DDS_DataWriter *>(&entity), &status);
    QueltDDSConnectorReadersListener_on_sample_lost(nullptr, nullptr, nullptr);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 5u) << log.text();
    EXPECT_NE(lines[0].find("node not found"), std::string::npos);
    EXPECT_EQ(lines[1], "DataReader 'unknown': Sample Lost\n");
    EXPECT_EQ(lines[3], "DataWriter 'unknown': Incompatible QoS (RELIABILITY)\n");
    EXPECT_NE(lines[4].find("listener_data"), std::string::npos);
}
