// The connector's exported functions against Cyclone DDS: Interop::Sample set and read member by
// member by name (nested members, sequence elements and their "#" length, the enum by value),
// compared as canonical lines (interop_lines.h); and the same samples as whole JSON texts.
// Domains 164..166, 176, 177.
#include "interop_support.h"

#include "connector_lines.h"
#include "connector_test_support.h"

#include <json-parser/json.h>

#include <cmath>
#include <cstring>
#include <memory>

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

// Sample i of a run as one JSON text.
void setSampleJson(QueltDDSConnector *c, uint32_t i)
{
    InteropExpected e;
    interop_expected(i, &e);
    char f64[32];
    std::snprintf(f64, sizeof f64, "%.17g", e.f.f64);
    std::string json = std::string("{\"id\": \"") + e.f.id + "\", \"s16\": " + std::to_string(e.f.s16) +
                       ", \"i32\": " + std::to_string(e.f.i32) + ", \"i64\": " + std::to_string(e.f.i64) +
                       ", \"u32\": " + std::to_string(e.f.u32) + ", \"f64\": " + f64 + ", \"label\": \"" + e.f.label +
                       "\", \"values\": [";
    for (uint32_t k = 0; k < e.f.n_values; ++k)
        json += (k ? ", " : "") + std::to_string(e.f.values[k]);
    json += "], \"where\": {\"x\": " + std::to_string(e.f.where_x) + ", \"y\": " + std::to_string(e.f.where_y) +
            "}, \"level\": " + std::to_string(e.f.level) + "}";
    // No clear: the array sets the sequence's length, every other member is given.
    QueltDDSConnector_setJSONInstance(c, kWriter, json.c_str());
}

// The canonical line of held sample i, read from its JSON text alone.
std::string sampleLineJson(QueltDDSConnector *c, int i)
{
    const std::string text = quelt::test::text(QueltDDSConnector_getJSONSample(c, kReader, i));
    json_settings settings{};
    char error[256] = "";
    std::unique_ptr<json_value, void (*)(json_value *)> root(json_parse_ex(&settings, text.c_str(), text.size(), error),
                                                            json_value_free);
    if (!root || root->type != json_object)
        return "not a JSON object: " + text;
    auto member = [&](const char *name) -> const json_value * {
        for (unsigned k = 0; k < root->u.object.length; ++k)
            if (std::strcmp(root->u.object.values[k].name, name) == 0)
                return root->u.object.values[k].value;
        return &json_value_none;
    };
    auto integer = [](const json_value *v) { return v->type == json_integer ? v->u.integer : INT64_MIN; };
    auto nested = [](const json_value *v, const char *name) -> int64_t {
        for (unsigned k = 0; v->type == json_object && k < v->u.object.length; ++k)
            if (std::strcmp(v->u.object.values[k].name, name) == 0 && v->u.object.values[k].value->type == json_integer)
                return v->u.object.values[k].value->u.integer;
        return INT64_MIN;
    };
    InteropFields f{};
    f.id = member("id")->type == json_string ? member("id")->u.string.ptr : "<none>";
    f.label = member("label")->type == json_string ? member("label")->u.string.ptr : "<none>";
    f.s16 = static_cast<int16_t>(integer(member("s16")));
    f.i32 = static_cast<int32_t>(integer(member("i32")));
    f.i64 = integer(member("i64"));
    f.u32 = static_cast<uint32_t>(integer(member("u32")));
    f.f64 = member("f64")->type == json_double ? member("f64")->u.dbl : NAN;
    std::vector<int32_t> values;
    const json_value *array = member("values");
    for (unsigned k = 0; array->type == json_array && k < array->u.array.length; ++k)
        values.push_back(static_cast<int32_t>(integer(array->u.array.values[k])));
    f.values = values.data();
    f.n_values = static_cast<uint32_t>(values.size());
    f.where_x = static_cast<int32_t>(nested(member("where"), "x"));
    f.where_y = static_cast<int32_t>(nested(member("where"), "y"));
    f.level = static_cast<int32_t>(integer(member("level")));
    char line[1024];
    interop_format_data(line, sizeof line, &f);
    return line;
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

void connectorToCyclone(int domain, uint32_t count, bool json = false)
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
        if (json)
            setSampleJson(conn.c, i);
        else
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

void cycloneToConnector(int domain, uint32_t count, bool json = false)
{
    Connector conn(domain);
    ASSERT_NE(conn.c, nullptr);
    Peer peer({"--wait-go", "pub", std::to_string(domain), "InteropTopic", std::to_string(count), std::to_string(kPeerTimeoutS)});
    ASSERT_TRUE(peer.started());
    ASSERT_TRUE(peer.wait_for_line(INTEROP_MATCHED_LINE, kPeerTimeoutS)) << "the peer's writer never matched our reader";
    ASSERT_TRUE(wait_matched(QueltDDSConnector_getReader(conn.c, kReader), 2)) << "our reader never matched the peer's writer";
    ASSERT_TRUE(peer.send("go\n"));

    // The peer's one notice is the dispose of key-0; only its key can be read.
    const std::vector<std::string> lines = takeLines(
        conn.c, kReader, count, kPeerTimeoutS, [&](int i) { return json ? sampleLineJson(conn.c, i) : sampleLine(conn.c, i); },
        [&](int i) { return text(QueltDDSConnector_getStringFromSamples(conn.c, kReader, i, "id")); });
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

TEST(InteropConnector, JsonSamplesReachCyclone) { connectorToCyclone(176, 9, true); }

TEST(InteropConnector, CycloneSamplesReadAsJson) { cycloneToConnector(177, 9, true); }
