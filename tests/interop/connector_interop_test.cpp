// The connector's exported functions against Cyclone DDS: Interop::Sample set and read member by
// member by name (nested members, sequence elements and their "#" length, the enum by value),
// compared as canonical lines (interop_lines.h). Domains 164..166.
#include "interop_support.h"

#include "connector_test_support.h"

#include <cmath>

using namespace quelt::interop;
using quelt::test::stackHeight;

namespace {

const char *const kWriter = "Pub::Writer";
const char *const kReader = "Sub::Reader";

std::string text(char *s)
{
    std::string v = s ? s : "<null>";
    QueltDDSConnector_freeString(s);
    return v;
}

class Connector {
  public:
    explicit Connector(int domain) : xml_(domain)
    {
        if (xml_.error().empty())
            c = QueltDDSConnector_new("InteropLib::Peer", xml_.path().c_str(), nullptr);
    }
    ~Connector()
    {
        if (c)
            QueltDDSConnector_delete(c);
    }
    QueltDDSConnector *c = nullptr;

  private:
    InteropXml xml_;
};

// Sample i of a run, set through the exported setters alone.
void setSample(QueltDDSConnector *c, uint32_t i)
{
    InteropExpected e;
    interop_expected(i, &e);
    QueltDDSConnector_clear(c, kWriter);
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "id", e.f.id);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "s16", e.f.s16);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "i32", e.f.i32);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "i64", static_cast<double>(e.f.i64)); // exact below 2^53
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "u32", e.f.u32);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "f64", e.f.f64);
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "label", e.f.label);
    for (uint32_t k = 0; k < e.f.n_values; ++k)
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, ("values[" + std::to_string(k + 1) + "]").c_str(), e.f.values[k]);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "where.x", e.f.where_x);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "where.y", e.f.where_y);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "level", e.f.level);
}

// The canonical line of held sample i (1-based), read through the exported getters alone.
std::string sampleLine(QueltDDSConnector *c, int i)
{
    const std::string id = text(QueltDDSConnector_getStringFromSamples(c, kReader, i, "id"));
    const std::string label = text(QueltDDSConnector_getStringFromSamples(c, kReader, i, "label"));
    auto num = [&](const char *name) { return QueltDDSConnector_getNumberFromSamples(c, kReader, i, name); };
    InteropFields f{};
    f.id = id.c_str();
    f.label = label.c_str();
    f.s16 = static_cast<int16_t>(num("s16"));
    f.i32 = static_cast<int32_t>(num("i32"));
    f.i64 = static_cast<int64_t>(num("i64"));
    f.u32 = static_cast<uint32_t>(num("u32"));
    f.f64 = num("f64");
    std::vector<int32_t> values(static_cast<size_t>(std::max(0.0, num("values#"))));
    for (size_t k = 0; k < values.size(); ++k)
        values[k] = static_cast<int32_t>(num(("values[" + std::to_string(k + 1) + "]").c_str()));
    f.values = values.data();
    f.n_values = static_cast<uint32_t>(values.size());
    f.where_x = static_cast<int32_t>(num("where.x"));
    f.where_y = static_cast<int32_t>(num("where.y"));
    f.level = static_cast<int32_t>(num("level"));
    char line[1024];
    interop_format_data(line, sizeof line, &f);
    return line;
}

void connectorToCyclone(int domain, uint32_t count)
{
    // The exported functions write; disposing is the scripts' business, so data only.
    Peer peer({"--data-only", "sub", std::to_string(domain), "InteropTopic", std::to_string(count), std::to_string(kPeerTimeoutS)});
    ASSERT_TRUE(peer.started());
    Connector conn(domain);
    ASSERT_NE(conn.c, nullptr);
    // Our own reader on the topic and the peer's.
    ASSERT_TRUE(wait_matched(QueltDDSConnector_getWriter(conn.c, kWriter), 2)) << "the peer's reader never matched";
    ASSERT_TRUE(peer.wait_for_line(INTEROP_MATCHED_LINE, kPeerTimeoutS)) << "the peer's reader never matched our writer";
    for (uint32_t i = 0; i < count; ++i) {
        setSample(conn.c, i);
        QueltDDSConnector_write(conn.c, kWriter, nullptr);
    }
    EXPECT_EQ(stackHeight(conn.c), 0);
    std::vector<std::string> lines;
    const int rc = peer.finish(lines);
    std::vector<std::string> expected = expected_lines(false, count);
    expected.pop_back(); // no dispose
    EXPECT_TRUE(lines_agree(expected, lines));
    EXPECT_EQ(rc, 0) << "cyclone_peer sub failed";
}

void cycloneToConnector(int domain, uint32_t count)
{
    Connector conn(domain);
    ASSERT_NE(conn.c, nullptr);
    Peer peer({"--wait-go", "pub", std::to_string(domain), "InteropTopic", std::to_string(count), std::to_string(kPeerTimeoutS)});
    ASSERT_TRUE(peer.started());
    ASSERT_TRUE(peer.wait_for_line(INTEROP_MATCHED_LINE, kPeerTimeoutS)) << "the peer's writer never matched our reader";
    ASSERT_TRUE(wait_matched(QueltDDSConnector_getReader(conn.c, kReader), 2)) << "our reader never matched the peer's writer";
    ASSERT_TRUE(peer.send("go\n"));

    std::vector<std::string> lines;
    uint32_t dataLines = 0;
    bool disposed = false;
    int idle = 0;
    while ((dataLines < count || !disposed) && idle < kPeerTimeoutS && !::testing::Test::HasFatalFailure()) {
        if (QueltDDSConnector_wait(conn.c, 1000) != DDS_RETCODE_OK) {
            ++idle;
            continue;
        }
        QueltDDSConnector_take(conn.c, kReader);
        const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(conn.c, kReader));
        for (int i = 1; i <= n; ++i) {
            if (QueltDDSConnector_getBooleanFromInfos(conn.c, kReader, i, "valid_data") == 1) {
                lines.push_back(sampleLine(conn.c, i));
                ++dataLines;
                continue;
            }
            // A notice: only its key can be read. The peer's one notice is the dispose of key-0.
            char line[256];
            const std::string id = text(QueltDDSConnector_getStringFromSamples(conn.c, kReader, i, "id"));
            interop_format_state(line, sizeof line, "DISPOSED", "id", id.c_str());
            lines.emplace_back(line);
            disposed = true;
        }
        ASSERT_EQ(stackHeight(conn.c), 0);
    }
    EXPECT_TRUE(lines_agree(expected_lines(false, count), lines));
    // The peer waits for our reader to leave before it exits.
    QueltDDSConnector_delete(conn.c);
    conn.c = nullptr;
    std::vector<std::string> out;
    EXPECT_EQ(peer.finish(out), 0) << "cyclone_peer pub failed";
}

} // namespace

TEST(InteropConnector, ConnectorSamplesReachCyclone) { connectorToCyclone(164, 9); }

TEST(InteropConnector, CycloneSamplesReachTheConnector) { cycloneToConnector(165, 9); }

TEST(InteropConnector, AThousandCycloneSamplesReachTheConnector) { cycloneToConnector(166, 1000); }
