// Reliable keep-all streams between two processes through the exported functions, every sample
// counted: the configuration a user writes first (no resource limits) delivers everything, and
// with a bounded writer history every sample is either delivered or its refused write is logged.
// The publisher is a second process of this binary. Domains 61 and 62.
#include "connector_test_support.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>

using namespace quelt::test;

namespace {

const char *const kWriter = "Pub::SquareWriter";
const char *const kReader = "Sub::SquareReader";
const char *const kXmlEnv = "QUELT_STREAM_TEST_XML";
const char *const kReportEnv = "QUELT_STREAM_TEST_REPORT";
constexpr int kSamples = 10000;


// Keep-all on both sides; optionally a writer history bounded to 2,000 samples.
std::string streamXml(bool boundedWriter)
{
    std::string xml = replaceAll(shapesXml(), "<kind>KEEP_LAST_HISTORY_QOS</kind><depth>10</depth>", "<kind>KEEP_ALL_HISTORY_QOS</kind>");
    if (boundedWriter)
        xml = replaceAll(xml, "</datawriter_qos>",
                         "<resource_limits><max_samples>2000</max_samples><max_instances>1</max_instances>"
                         "<max_samples_per_instance>2000</max_samples_per_instance></resource_limits></datawriter_qos>");
    return xml;
}



} // namespace

// The publishing side, run in a second process; disabled so that it never runs on its own.
// Writes warm-up samples (x = -1) until told "go", then kSamples as fast as it can, and reports
// how many writes the log says were refused.
TEST(StreamPeer, DISABLED_Publisher)
{
    const char *xml = std::getenv(kXmlEnv), *report = std::getenv(kReportEnv);
    ASSERT_TRUE(xml && report);
    LogCapture log;
    QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::ShapePublisher", xml, nullptr);
    ASSERT_NE(c, nullptr);
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", "BLUE");
    bool go = false;
    for (int i = 0; i < 1500 && !go; ++i) {
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", -1);
        QueltDDSConnector_write(c, kWriter, nullptr);
        go = lineOnStdin("go", 20);
    }
    ASSERT_TRUE(go);
    for (int n = 0; n < kSamples; ++n) {
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", n);
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "y", n / 2);
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "shapesize", 30);
        QueltDDSConnector_write(c, kWriter, nullptr);
    }
    int refused = 0;
    for (const std::string &l : log.lines())
        refused += l.find("writer 'Pub::SquareWriter' did not send the sample: return code") != std::string::npos;
    std::ofstream(report) << refused << "\n";
    lineOnStdin("done", 60000);
    QueltDDSConnector_delete(c);
}

class Stream : public ::testing::TestWithParam<bool> {};

TEST_P(Stream, EverySampleArrivesOrItsRefusedWriteIsLogged)
{
    const bool bounded = GetParam();
    const int domain = bounded ? 62 : 61;
    ASSERT_NE(streamXml(bounded).find(bounded ? "<max_samples>2000" : "KEEP_ALL"), std::string::npos);
    DomainXml xml(streamXml(bounded), domain);
    const std::string report = "/tmp/quelt_stream_test_" + std::to_string(getpid()) + "_" + std::to_string(domain);
    unlink(report.c_str());
    QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::ShapeSubscriber", xml.path(), nullptr);
    ASSERT_NE(c, nullptr);

    PeerProcess peer;
    peer.pid = spawnPeer("StreamPeer.DISABLED_Publisher",
                         {std::string(kXmlEnv) + "=" + xml.path(), std::string(kReportEnv) + "=" + report}, 0, &peer.fd);
    ASSERT_GT(peer.pid, 0);

    std::vector<bool> seen(kSamples, false);
    int distinct = 0, idleWaits = 0, outOfOrder = 0, last = -1;
    bool sentGo = false;
    // Bounded: gives up after 10 waits in a row without data.
    while (distinct < kSamples && idleWaits < 10) {
        if (QueltDDSConnector_wait(c, 1000) != DDS_RETCODE_OK) {
            ++idleWaits;
            continue;
        }
        idleWaits = 0;
        QueltDDSConnector_take(c, kReader);
        const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(c, kReader));
        for (int i = 1; i <= n; ++i) {
            const int x = static_cast<int>(QueltDDSConnector_getNumberFromSamples(c, kReader, i, "x"));
            if (x < 0) {
                if (!sentGo) {
                    ASSERT_EQ(write(peer.fd, "go\n", 3), 3);
                }
                sentGo = true;
                continue;
            }
            ASSERT_LT(x, kSamples);
            outOfOrder += x < last;
            last = x;
            if (!seen[x])
                seen[x] = true, ++distinct;
        }
    }
    if (write(peer.fd, "done\n", 5) != 5)
        ADD_FAILURE() << "the publisher is gone";
    const int status = peer.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    int refused = -1;
    std::ifstream(report) >> refused;
    unlink(report.c_str());
    EXPECT_EQ(outOfOrder, 0);
    if (bounded) {
        // Nothing lost silently: what did not arrive was refused, and the log says so.
        EXPECT_EQ(distinct + refused, kSamples) << "received " << distinct << ", refused " << refused;
    } else {
        EXPECT_EQ(refused, 0);
        EXPECT_EQ(distinct, kSamples);
    }
    QueltDDSConnector_delete(c);
}

INSTANTIATE_TEST_SUITE_P(ReliableKeepAll, Stream, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "WriterHistoryBoundedTo2000" : "NoResourceLimits"; });
