// The middleware under threads: connectors created at once, listeners replaced while their
// callbacks run, event logging on an adopted participant, and the log masks. scripts/test --tsan
// runs these under ThreadSanitizer too.
#include "connector/connector_test_support.h"

#include "fastdds_engine.h"

#include <fastdds/dds/log/Log.hpp>

#include <condition_variable>
#include <cstdio>
#include <latch>

using namespace quelt::test;

namespace {

using namespace std::chrono_literals;

// What is written on standard output (Fast DDS's queued lines included) while f runs.
template <typename F> std::string printedBy(F f)
{
    FILE *file = std::tmpfile();
    const int saved = dup(1);
    std::fflush(stdout);
    dup2(fileno(file), 1);
    f();
    eprosima::fastdds::dds::Log::Flush();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    out.resize(std::fread(out.data(), 1, out.size(), file));
    std::fclose(file);
    return out;
}

} // namespace

// Each thread's participant takes its own participant id, in one domain or another (Fast DDS
// refuses an id twice per process), and Fast DDS has nothing to say.
TEST(Threads, ConnectorsCreatedAtOnceTakeDistinctParticipantIds)
{
    QUELT_SKIP_ON_CYCLONE("participant ids and what Fast DDS prints are Fast DDS's");
    TempXml xml(replaceAll(shapesXml(), "\"ShapePublisher\" domain_ref=\"ShapesDomainLib::ShapesDomain\"",
                             "\"ShapePublisher\" domain_ref=\"ShapesDomainLib::ShapesDomain\" domain_id=\"228\""),
                  225);
    LogCapture log;
    const int n = 4;
    std::vector<QueltDDSConnector *> made(n, nullptr);
    const std::string printed = printedBy([&] {
        std::latch go(n);
        std::vector<std::jthread> threads; // joined as they go
        for (int i = 0; i < n; ++i)
            threads.emplace_back([&, i] {
                go.arrive_and_wait();
                made[i] = QueltDDSConnector_new(i % 2 ? "ShapesLib::ShapePublisher" : "ShapesLib::Shapes", xml.path(), nullptr);
            });
    });
    std::set<int32_t> ids;
    for (QueltDDSConnector *c : made) {
        ASSERT_NE(c, nullptr) << log.text();
        ids.insert(quelt::mw::fastdds_participant(c->participant)->get_qos().wire_protocol().participant_id);
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(n)) << log.text();
    EXPECT_GE(*ids.begin(), 0) << "an id Fast DDS chose itself: " << log.text();
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(log.contains("Fast DDS")) << log.text();
    for (QueltDDSConnector *c : made)
        QueltDDSConnector_delete(c);
}

namespace {

// A data-available callback that stays inside until its listener is reported gone (or a deadline
// passes), or that removes its own listener.
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool inside = false, removed = false, returned = false;
    DDS_DataReader *removeSelf = nullptr;
};

void holdOn(void *data, DDS_DataReader *)
{
    auto *gate = static_cast<Gate *>(data);
    if (gate->removeSelf)
        DDS_DataReader_set_listener(gate->removeSelf, nullptr, 0);
    std::unique_lock<std::mutex> g(gate->lock);
    gate->inside = true;
    gate->changed.notify_all();
    if (!gate->removeSelf)
        gate->changed.wait_for(g, 300ms, [&] { return gate->removed; });
    gate->inside = false;
    gate->returned = true;
    gate->changed.notify_all();
}

} // namespace

// Once the listener is replaced, no callback of the old one is still running, whichever entity
// holds it; a callback may remove its own listener.
TEST(Threads, NoCallbackRunsOnceItsListenerIsRemoved)
{
    enum class Way { ConnectorReader, Participant, FromInside };
    for (Way way : {Way::ConnectorReader, Way::Participant, Way::FromInside}) {
        SCOPED_TRACE(static_cast<int>(way));
        Connector c(226, "ShapesLib::Shapes");
        ASSERT_NE(c.c, nullptr);
        DDS_DataReader *reader = QueltDDSConnector_getReader(c.c, "Sub::SquareReader");
        Gate gate;
        if (way == Way::Participant) {
            DDS_DomainParticipantListener l{};
            l.as_subscriberlistener.as_datareaderlistener.listener_data = &gate;
            l.as_subscriberlistener.as_datareaderlistener.on_data_available = holdOn;
            ASSERT_EQ(DDS_DomainParticipant_set_listener(c.c->participant, &l, DDS_DATA_AVAILABLE_STATUS), DDS_RETCODE_OK);
        } else {
            gate.removeSelf = way == Way::FromInside ? reader : nullptr;
            QueltDDSConnector_installListener(c.c, "Sub::SquareReader", holdOn, &gate);
        }
        std::jthread writer([&] { QueltDDSConnector_write(c.c, "Pub::SquareWriter", nullptr); });
        std::unique_lock<std::mutex> g(gate.lock);
        if (way == Way::FromInside) {
            EXPECT_TRUE(gate.changed.wait_for(g, 10s, [&] { return gate.returned; }));
        } else {
            ASSERT_TRUE(gate.changed.wait_for(g, 10s, [&] { return gate.inside; }));
            g.unlock();
            if (way == Way::Participant)
                DDS_DomainParticipant_set_listener(c.c->participant, nullptr, 0);
            else
                QueltDDSConnector_installListener(c.c, "Sub::SquareReader", nullptr, nullptr);
            g.lock();
            EXPECT_FALSE(gate.inside);
            gate.removed = true;
            gate.changed.notify_all();
        }
        g.unlock();
    }
}

// Deleting a connector takes event logging's listener off the participant it adopted, and leaves
// a listener of the participant's owner alone.
TEST(Threads, EventLogListenerGoesWithItsConnectorFromAnAdoptedParticipant)
{
    TempXml xml(shapesXml(), 227);
    QueltDDSConnector_delete(QueltDDSConnector_new("ShapesLib::Shapes", xml.path(), nullptr)); // the factory's file
    DDS_DomainParticipantFactory *factory = DDS_DomainParticipantFactory_get_instance();
    for (bool eventLog : {true, false}) {
        DDS_DomainParticipant *p = DDS_DomainParticipantFactory_create_participant_from_config(factory, "ShapesLib::Shapes");
        ASSERT_NE(p, nullptr);
        int owners = 0;
        DDS_DomainParticipantListener own{};
        own.as_subscriberlistener.as_datareaderlistener.listener_data = &owners;
        if (!eventLog)
            DDS_DomainParticipant_set_listener(p, &own, DDS_SUBSCRIPTION_MATCHED_STATUS);
        QueltDDSConnector *c = QueltDDSConnector_new_from_participant(p, "Adopted", nullptr);
        ASSERT_NE(c, nullptr);
        if (eventLog) {
            runLua(c, "CONTAINER.CONTEXT.enableEventLog()");
            ASSERT_EQ(DDS_DomainParticipant_get_listener(p).as_subscriberlistener.as_datareaderlistener.listener_data, c);
        }
        QueltDDSConnector_delete(c);
        EXPECT_EQ(DDS_DomainParticipant_get_listener(p).as_subscriberlistener.as_datareaderlistener.listener_data,
                  eventLog ? nullptr : &owners);
        EXPECT_EQ(DDS_DomainParticipantFactory_delete_participant(factory, p), DDS_RETCODE_OK);
    }
}

// A host sets the masks while other threads log: ThreadSanitizer sees every access atomic.
TEST(Threads, MasksSetWhileOtherThreadsLog)
{
    uint32_t submodules = 0, levels = 0;
    QueltLuaLog_getBitmaps(&submodules, &levels);
    std::jthread reader([](std::stop_token stop) {
        while (!stop.stop_requested())
            QueltDDSConnector_logEnabledI(QUELT_LUA_LOG_LEVEL_WARNING);
    });
    for (int i = 0; i < 2000; ++i)
        QueltLuaLog_setVerbosity(0xffff, i % 2);
    reader.request_stop();
    reader.join();
    QueltLuaLog_setBitmaps(submodules, levels);
}
