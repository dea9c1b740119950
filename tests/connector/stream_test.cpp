// Reliable keep-all streams between two processes through the exported functions, every sample
// counted: the configuration a user writes first (no resource limits) delivers everything, each
// sample whole and in order within its instance (five of them), and with a bounded writer history
// (one instance) every sample is either delivered or its refused write is logged.
// The publisher is the peer process. Domains 61 and 62.
#include "connector_test_support.h"
#include "support/peer.h"

#include <map>

using namespace quelt::test;

namespace {

const char *const kWriter = "Pub::SquareWriter";
const char *const kReader = "Sub::SquareReader";
constexpr int kSamples = 10000;
const char *const kColors[] = {"RED", "GREEN", "BLUE", "YELLOW", "MAGENTA"};

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

class Stream : public ::testing::TestWithParam<bool> {};

TEST_P(Stream, EverySampleArrivesOrItsRefusedWriteIsLogged)
{
    const bool bounded = GetParam();
    const int domain = bounded ? 62 : 61;
    ASSERT_NE(streamXml(bounded).find(bounded ? "<max_samples>2000" : "KEEP_ALL"), std::string::npos);
    TempXml xml(streamXml(bounded), domain);
    QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::ShapeSubscriber", xml.path(), nullptr);
    ASSERT_NE(c, nullptr);

    // Warm-up samples (x = -1) until this side has seen one, so that every counted sample finds it
    // matched.
    Peer peer({QUELT_TEST_PEER, "publish", xml.path()});
    ASSERT_TRUE(peer.say(bounded ? "key BLUE" : "key *") && peer.say("warmup"));

    std::vector<bool> seen(kSamples, false);
    std::map<std::string, int> last;
    int distinct = 0, idleWaits = 0, outOfOrder = 0;
    bool sentGo = false;
    // Once the publisher is done, the samples it was refused are not coming. Bounded: gives up
    // after 10 waits in a row without data.
    int refused = -1;
    while (distinct < kSamples - std::max(refused, 0) && idleWaits < 10) {
        if (sentGo && refused < 0 && peer.line(std::chrono::milliseconds(0)).rfind("wrote ", 0) == 0) {
            ASSERT_TRUE(peer.say("refused"));
            refused = std::atoi(peer.expect("refused ").c_str());
        }
        if (QueltDDSConnector_wait(c, 1000) != DDS_RETCODE_OK) {
            ++idleWaits;
            continue;
        }
        idleWaits = 0;
        QueltDDSConnector_take(c, kReader);
        const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(c, kReader));
        for (int i = 1; i <= n; ++i) {
            const double value = QueltDDSConnector_getNumberFromSamples(c, kReader, i, "x");
            const int x = static_cast<int>(value);
            if (x < 0) {
                if (!sentGo) {
                    ASSERT_TRUE(peer.say("write " + std::to_string(kSamples)));
                }
                sentGo = true;
                continue;
            }
            ASSERT_TRUE(x < kSamples && x == value) << value;
            const std::string color = text(QueltDDSConnector_getStringFromSamples(c, kReader, i, "color"));
            EXPECT_EQ(color, bounded ? "BLUE" : kColors[x % 5]) << x;
            EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, i, "y"), 2 * x + 1) << x;
            EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, i, "shapesize"), x % 50 + 1) << x;
            outOfOrder += last.count(color) && x <= last[color];
            last[color] = x;
            if (!seen[x])
                seen[x] = true, ++distinct;
        }
    }
    if (refused < 0 && peer.expect("wrote ") != "-" && peer.say("refused"))
        refused = std::atoi(peer.expect("refused ").c_str());
    EXPECT_EQ(peer.finish(), 0);
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
