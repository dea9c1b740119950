// Event logging switched on from scripts, and a binding's data-available callback.
#include "connector_test_support.h"
#include "support/peer.h"

using namespace quelt::test;

namespace {

// A writer and a reader that both promise (and expect) a sample every 200 ms.
std::string deadlineXml() { return readFile(std::string(QUELT_TEST_DATA) + "/connector/deadline.xml"); }

// The thread of each call of the data-available callback.
struct Calls {
    std::mutex lock;
    std::vector<std::thread::id> threads;
    size_t count() { std::lock_guard<std::mutex> g(lock); return threads.size(); }
};

void onData(void *data, DDS_DataReader *)
{
    auto *calls = static_cast<Calls *>(data);
    std::lock_guard<std::mutex> g(calls->lock);
    calls->threads.push_back(std::this_thread::get_id());
}

} // namespace

TEST(EventLogging, MatchedAndDeadlineLinesNameTheEntities)
{
    TempXml xml(deadlineXml(), 211);
    LogCapture log;
    QueltDDSConnector *sub = QueltDDSConnector_new("EventsLib::Reader", xml.path(), nullptr);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(runLua(sub, "return CONTAINER.CONTEXT.enableEventLog()"), std::vector<std::string>{"nil"});
    QueltDDSConnector *pub = QueltDDSConnector_new("EventsLib::Writer", nullptr, nullptr);
    ASSERT_NE(pub, nullptr);
    // Switched on by a script the runner executes.
    QueltDDSConnector_assertCode(pub, "CONTAINER.CONTEXT.enableEventLog()", nullptr, -1);
    EXPECT_EQ(QueltDDSConnector_execute(pub), 0);

    const std::chrono::seconds limit(10);
    EXPECT_TRUE(log.waitFor("DataReader 'Sub::R': Subscription Matched\n", limit)) << log.text();
    // The writer may have matched before its script switched logging on; a second reader, made
    // now, is a match its listener is there to see.
    QueltDDSConnector *other = QueltDDSConnector_new("EventsLib::Reader", nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(log.waitFor("DataWriter 'Pub::W': Publication Matched\n", limit)) << log.text();
    EXPECT_FALSE(log.contains("Deadline Missed")) << log.text();
    // A volatile reader gets only what is written once the writer has matched it, and the writer
    // may match the first reader after that reader has matched the writer.
    ASSERT_TRUE(waitUntil([&] {
        DDS_PublicationMatchedStatus m{};
        return DDS_DataWriter_get_publication_matched_status(QueltDDSConnector_getWriter(pub, "Pub::W"), &m), m.current_count == 2;
    }, limit));

    // One sample, then silence: both sides miss their 200 ms deadline.
    QueltDDSConnector_setStringIntoSamples(pub, "Pub::W", "color", "RED");
    QueltDDSConnector_write(pub, "Pub::W", nullptr);
    EXPECT_TRUE(log.waitFor("DataReader 'Sub::R': Deadline Missed\n", limit)) << log.text();
    EXPECT_TRUE(log.waitFor("DataWriter 'Pub::W': Offered deadline Missed\n", limit)) << log.text();
    // Only the connectors that switched logging on log: the second reader's match is not there.
    EXPECT_EQ(log.count("DataReader 'Sub::R': Subscription Matched"), 1) << log.text();
    EXPECT_EQ(stackHeight(pub), 0);
    QueltDDSConnector_delete(other);
    QueltDDSConnector_delete(pub);
    QueltDDSConnector_delete(sub);
}

TEST(DataAvailable, TheCallbackRunsOnAMiddlewareThreadForEveryBatch)
{
    constexpr size_t kBatches = 5;
    Calls calls; // outlives the connector, whose listener may still be called until it is deleted
    Connector c(212, "ShapesLib::ShapeSubscriber");
    ASSERT_NE(c, nullptr);
    LogCapture log;
    QueltDDSConnector_installListener(c, kReader, onData, &calls);
    EXPECT_TRUE(log.lines().empty()) << log.text();
    // A writer in this process would be delivered within its own write call. Samples 200 ms
    // apart arrive one batch each.
    Peer peer({QUELT_TEST_PEER, "publish", c.xml.path()});
    ASSERT_TRUE(peer.say("match 1") && peer.say("write " + std::to_string(kBatches) + " 200"));
    ASSERT_EQ(peer.expect("matched "), "1");
    waitUntil([&] { return calls.count() >= kBatches; }, std::chrono::seconds(30));

    // The waitset saw the data too: the listener is independent of it. (Before the peer leaves:
    // a deleted writer may dispose its instances, which is news too.)
    EXPECT_EQ(QueltDDSConnector_wait(c, 0), DDS_RETCODE_OK);
    QueltDDSConnector_take(c, kReader);
    EXPECT_EQ(QueltDDSConnector_getSamplesLength(c, kReader), kBatches);
    std::unique_lock<std::mutex> g(calls.lock);
    const std::vector<std::thread::id> threads = calls.threads;
    g.unlock();
    EXPECT_EQ(peer.finish(), 0);
    EXPECT_EQ(threads.size(), kBatches);
    for (const std::thread::id &id : threads)
        EXPECT_NE(id, std::this_thread::get_id());
}

TEST(DataAvailable, InstallingOnNoReaderIsRefusedWithOneLine)
{
    Connector c(213, "ShapesLib::Shapes");
    ASSERT_NE(c, nullptr);
    Calls calls;
    for (const char *name : {"Sub::NoSuchReader", "Pub::SquareWriter", static_cast<const char *>(nullptr)}) {
        LogCapture log;
        QueltDDSConnector_installListener(c, name, onData, &calls);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << log.text();
        EXPECT_NE(lines[0].find("QueltDDSConnector_installListener: !precondition reader is null"), std::string::npos) << lines[0];
    }
}
