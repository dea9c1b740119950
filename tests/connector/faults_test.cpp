// Process faults between this process and the peer: a subscriber killed in the middle of a
// stream and restarted, a writer's process killed, and the shared-memory segments a killed process
// leaves in /dev/shm.
#include "connector_test_support.h"
#include "support/peer.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cstring>
#include <fstream>
#include <set>

using namespace quelt::test;

namespace {

// Reliable keep-last on both sides (a writer never blocks on a dead reader); writers assert
// liveliness within a second, so a killed writer is noticed in about one.
std::string faultsXml()
{
    const std::string reliable = "<reliability><kind>RELIABLE_RELIABILITY_QOS</kind></reliability>";
    return replaceAll(shapesXml(), reliable, reliable + "<liveliness><kind>AUTOMATIC_LIVELINESS_QOS</kind><lease_duration><sec>1</sec>"
                                                       "<nanosec>0</nanosec></lease_duration></liveliness>");
}

// The peer subscriber, reporting what it takes until killed; optionally on UDP alone.
bool startSubscriber(Peer &peer, const char *xmlPath, const std::vector<std::string> &env)
{
    return peer.start({QUELT_TEST_PEER, "subscribe", xmlPath, "0", "120"}, env) && peer.line() == "ready";
}

// The peer publisher, writing the instance "DOOMED" every 20 ms until killed.
bool startDoomedPublisher(Peer &peer, const char *xmlPath)
{
    return peer.start({QUELT_TEST_PEER, "publish", xmlPath}) && peer.line() == "ready" && peer.say("key DOOMED") &&
           peer.say("write 1000000 20");
}

void writeShape(QueltDDSConnector *c, const char *color, int x)
{
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", color);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", x);
    QueltDDSConnector_write(c, kWriter, nullptr);
}

// The shared-memory data segments ("fastrtps_<id>") a process has mapped.
std::set<std::string> mappedSegments(pid_t pid)
{
    std::set<std::string> names;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        const size_t at = line.find("/dev/shm/fastrtps_");
        if (at != std::string::npos && line.find("_port", at) == std::string::npos)
            names.insert(line.substr(at + 9, 25));
    }
    return names;
}

// A segment's owner holds the lock on its "_el" file while it lives.
bool ownerAlive(const std::string &segment)
{
    const int fd = open(("/dev/shm/" + segment + "_el").c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return locked;
}

} // namespace

// The subscribers over shared memory or, with `udpProfile`, over UDP only.
void subscriberKilledMidStream(int domain, const std::vector<std::string> &udpProfile)
{
    TempXml xml(faultsXml(), domain);
    LogCapture log;
    QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::ShapePublisher", xml.path(), nullptr);
    ASSERT_NE(c, nullptr);
    runLua(c, "CONTAINER.CONTEXT.enableEventLog()");
    const std::string matched = "DataWriter 'Pub::SquareWriter': Publication Matched";

    // Writes one sample every 5 ms until the peer has reported `want` samples of at least `from`.
    int x = 0;
    auto stream = [&](Peer &peer, int from, int want) {
        int got = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (got < want && std::chrono::steady_clock::now() < end) {
            writeShape(c, "RED", x++);
            for (std::string l = peer.line(std::chrono::milliseconds(5)); !l.empty(); l = peer.line(std::chrono::milliseconds(0))) {
                const int seen = std::atoi(l.substr(l.find(' ', 5) + 1).c_str()); // "data RED X ..."
                EXPECT_GE(seen, from) << "a sample written before this subscriber matched";
                got += seen >= from;
            }
        }
        return got;
    };

    Peer first;
    ASSERT_TRUE(startSubscriber(first, xml.path(), udpProfile));
    EXPECT_GE(stream(first, 0, 50), 50);
    const int status = first.kill();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    // The publisher goes on writing to no one.
    const int killedAt = x;
    for (int i = 0; i < 100; ++i, ++x) {
        writeShape(c, "RED", x);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    Peer second;
    ASSERT_TRUE(startSubscriber(second, xml.path(), udpProfile));
    EXPECT_GE(stream(second, killedAt + 100, 50), 50);
    EXPECT_TRUE(log.waitFor(matched, std::chrono::seconds(1))) << log.text();
    EXPECT_GE(log.count(matched), 2) << log.text();
    // Nothing but event lines: no write failed.
    for (const std::string &l : log.lines())
        EXPECT_NE(l.find("DataWriter 'Pub::SquareWriter'"), std::string::npos) << l;
    second.kill();
    QueltDDSConnector_delete(c);
}

TEST(Faults, SubscriberKilledMidStreamIsReplacedAndTheEventLogShowsTheMatches)
{
    subscriberKilledMidStream(102, {"FASTRTPS_DEFAULT_PROFILES_FILE=" + QUELT_TEST_DATA + "/udp_only.xml"});
}

// The same over shared memory, where the new subscriber must not take the ports the killed one
// left: the publisher still holds them and would go on filling them.
TEST(Faults, SubscriberKilledMidStreamOverSharedMemoryIsReplaced)
{
    QUELT_SKIP_ON_CYCLONE("shared memory is Fast DDS's");
    subscriberKilledMidStream(106, {});
}

// A killed writer's instance goes not alive (no writers) once its liveliness lapses; the next
// run of the domain removes the data segment it left in /dev/shm and gets samples again.
TEST(Faults, KilledWriterLeavesItsInstanceNotAliveAndTheNextRunRemovesItsSegment)
{
    TempXml xml(faultsXml(), 103);
    QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::ShapeSubscriber", xml.path(), nullptr);
    ASSERT_NE(c, nullptr);
    DDS_DynamicDataReader *reader = QueltDDSConnector_getReader(c, kReader);
    ASSERT_NE(reader, nullptr);

    // Waits for a sample of the instance and returns its x, or -1.
    auto receive = [&]() {
        for (int i = 0; i < 20; ++i) {
            if (QueltDDSConnector_wait(c, 500) != DDS_RETCODE_OK)
                continue;
            QueltDDSConnector_read(c, kReader); // the samples stay, to show their instance's state
            const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(c, kReader));
            for (int k = n; k >= 1; --k)
                if (QueltDDSConnector_getBooleanFromInfos(c, kReader, k, "valid_data"))
                    return static_cast<int>(QueltDDSConnector_getNumberFromSamples(c, kReader, k, "x"));
        }
        return -1;
    };

    Peer doomed;
    ASSERT_TRUE(startDoomedPublisher(doomed, xml.path()));
    ASSERT_GE(receive(), 0);
    const std::set<std::string> segments = mappedSegments(doomed.pid()); // its own among them
    doomed.kill();
    // The samples still held show the instance's new state.
    const bool notAlive = waitUntil(
        [&] {
            DDS_DynamicDataSeq data = DDS_SEQUENCE_INITIALIZER;
            DDS_SampleInfoSeq infos = DDS_SEQUENCE_INITIALIZER;
            bool found = false;
            if (DDS_DynamicDataReader_read(reader, &data, &infos, -1, DDS_ANY_SAMPLE_STATE, DDS_ANY_VIEW_STATE,
                                           DDS_NOT_ALIVE_NO_WRITERS_INSTANCE_STATE) == DDS_RETCODE_OK) {
                found = DDS_SampleInfoSeq_get_length(&infos) > 0;
                DDS_DynamicDataReader_return_loan(reader, &data, &infos);
            }
            DDS_DynamicDataSeq_finalize(&data);
            DDS_SampleInfoSeq_finalize(&infos);
            return found;
        },
        std::chrono::seconds(10));
    EXPECT_TRUE(notAlive) << "the killed writer's instance never went not alive";

    // The next run of the domain, subscriber included, with the segments still there; it removes
    // the killed writer's data segment.
    QueltDDSConnector_delete(c);
    c = QueltDDSConnector_new("ShapesLib::ShapeSubscriber", xml.path(), nullptr);
    ASSERT_NE(c, nullptr);
    for (const std::string &f : segments)
        EXPECT_TRUE(access(("/dev/shm/" + f).c_str(), F_OK) != 0 || ownerAlive(f)) << f << " outlived the killed writer";
    Peer next;
    ASSERT_TRUE(startDoomedPublisher(next, xml.path()));
    EXPECT_GE(receive(), 0) << "no sample after a killed process";
    next.kill();
    QueltDDSConnector_delete(c);
}
