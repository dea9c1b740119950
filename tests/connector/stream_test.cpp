// A reliable keep-all stream between two processes through the exported functions, every sample
// counted: with the writer's history bounded to 2,000 samples of one instance, each sample is
// delivered whole and in order, or its refused write is logged. The publisher is the peer
// process. Domain 62 (tools/soak streams without resource limits).
#include "connector_test_support.h"
#include "support/peer.h"

using namespace quelt::test;

TEST(Stream, EverySampleArrivesOrItsRefusedWriteIsLogged)
{
    constexpr int kSamples = 10000;
    const std::string xml = replaceAll(replaceAll(shapesXml(), "<kind>KEEP_LAST_HISTORY_QOS</kind><depth>10</depth>", "<kind>KEEP_ALL_HISTORY_QOS</kind>"),
                                       "</datawriter_qos>",
                                       "<resource_limits><max_samples>2000</max_samples><max_instances>1</max_instances>"
                                       "<max_samples_per_instance>2000</max_samples_per_instance></resource_limits></datawriter_qos>");
    ASSERT_NE(xml.find("KEEP_ALL"), std::string::npos);
    ASSERT_NE(xml.find("<max_samples>2000"), std::string::npos);
    TempXml file(xml, 62);
    QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::ShapeSubscriber", file.path(), nullptr);
    ASSERT_NE(c, nullptr);

    // Warm-up samples (x = -1) until this side has seen one, so that every counted sample finds it
    // matched.
    Peer peer({QUELT_TEST_PEER, "publish", file.path()});
    ASSERT_TRUE(peer.say("key BLUE") && peer.say("warmup"));
    std::vector<bool> seen(kSamples, false);
    int distinct = 0, idleWaits = 0, outOfOrder = 0, last = -1;
    bool sentGo = false;
    // Once the publisher is done, the samples it was refused are not coming; gives up after 10
    // waits in a row without data.
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
            EXPECT_EQ(text(QueltDDSConnector_getStringFromSamples(c, kReader, i, "color")), "BLUE") << x;
            EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, i, "y"), 2 * x + 1) << x;
            EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, i, "shapesize"), x % 50 + 1) << x;
            outOfOrder += x <= last;
            last = x;
            if (!seen[x])
                seen[x] = true, ++distinct;
        }
    }
    if (refused < 0 && peer.expect("wrote ") != "-" && peer.say("refused"))
        refused = std::atoi(peer.expect("refused ").c_str());
    EXPECT_EQ(peer.finish(), 0);
    EXPECT_EQ(outOfOrder, 0);
    // Nothing lost silently: what did not arrive was refused, and the log says so.
    EXPECT_EQ(distinct + refused, kSamples) << "received " << distinct << ", refused " << refused;
    QueltDDSConnector_delete(c);
}
