// Whole samples as JSON through the exported functions: the every-kind round trip over the wire,
// the conversions of JSON values into members and their messages, refused documents, write
// parameters and the sample identities they carry. Domains 167..179, 197.
#include "connector_test_support.h"

#include "DDSConnectorWriterParamJsonHelper.h"

#include <cstring>
#include <set>

using namespace quelt::test;

namespace {

const char *const kW = "Pub::W";
const char *const kR = "Sub::R";

std::string everyKindXml() { return readFile(std::string(QUELT_TEST_DATA) + "/every_kind.xml"); }
std::string everyKindJson() { return readFile(std::string(QUELT_TEST_DATA) + "/json/every_kind.json"); }
// The same document as the library prints it: members in type order, no spaces, 64-bit limits and
// doubles exact, control characters escaped.
std::string everyKindPrinted() { return readFile(std::string(QUELT_TEST_DATA) + "/connector/every_kind_printed.json"); }

} // namespace

// The every-kind type as it is (final), and with its structures appendable or mutable (the union
// appendable), which puts the samples on the wire in XCDR2.
class JsonSamples : public ::testing::TestWithParam<std::pair<const char *, int>> {};

INSTANTIATE_TEST_SUITE_P(Every, JsonSamples, ::testing::Values(std::pair{"final", 167}, std::pair{"appendable", 179}, std::pair{"mutable", 197}),
                         [](const auto &info) { return std::string(info.param.first); });

TEST_P(JsonSamples, EveryKindRoundTripsThroughTheWire)
{
    const auto [extensibility, domain] = GetParam();
    std::string xml = everyKindXml();
    if (std::strcmp(extensibility, "final") != 0) {
        for (const char *st : {"<struct name=\"Point\"", "<struct name=\"All\""})
            xml = replaceAll(xml, st, std::string(st) + " extensibility=\"" + extensibility + "\"");
        xml = replaceAll(xml, "<union name=\"Choice\"", "<union name=\"Choice\" extensibility=\"appendable\"");
    }
    Connector c(domain, "EveryLib::Both", xml);
    ASSERT_NE(c, nullptr);
    const std::string input = everyKindJson();
    LogCapture log;
    QueltDDSConnector_setJSONInstance(c, kW, input.c_str());
    EXPECT_EQ(text(QueltDDSConnector_getJSONInstance(c, kW)), everyKindPrinted());
    QueltDDSConnector_write(c, kW, nullptr);
    // A second sample: the union on another case, an enumerator by name, the optional member
    // unset, the sequences shorter than before.
    QueltDDSConnector_clear(c, kW);
    QueltDDSConnector_setJSONInstance(c, kW, R"({"id": 8, "e": "BLUE", "u": {"n": -4}, "pseq": [{"x": 5}], "sseq": []})");
    QueltDDSConnector_write(c, kW, nullptr);
    EXPECT_TRUE(log.lines().empty()) << log.text();

    ASSERT_EQ(takeAtLeast(c, kR, 2), 2);
    EXPECT_EQ(text(QueltDDSConnector_getJSONSample(c, kR, 1)), everyKindPrinted());
    const std::string second = text(QueltDDSConnector_getJSONSample(c, kR, 2));
    for (const char *piece : {"\"id\":8", "\"e\":6", "\"u\":{\"n\":-4}", "\"pseq\":[{\"x\":5,\"y\":0}]", "\"sseq\":[]"})
        EXPECT_NE(second.find(piece), std::string::npos) << piece << " in " << second;
    EXPECT_EQ(second.find("\"opt\""), std::string::npos) << second;
    // Past the end there is no text; the text handed out outlives the loan.
    EXPECT_EQ(QueltDDSConnector_getJSONSample(c, kR, 3), nullptr);
    EXPECT_EQ(stackHeight(c), 0);
}

// Each row of the data file starts from a cleared instance; two more here, not UTF-8.
TEST(JsonIn, ValuesConvertByMemberKindAndSayWhatTheyDropped)
{
    Connector c(169, "EveryLib::Both", everyKindXml());
    ASSERT_NE(c, nullptr);
    WarningsOn warnings;
    auto rows = dataRows("json_conversions.txt");
    rows.push_back({"{\"s\": \"\xff\"}", "\"s\":\"\"", "the text is not valid UTF-8"});
    rows.push_back({"{\"w\": \"\xc0\xaf\"}", "\"w\":\"\"", "error determining length of wchar"});
    for (const auto &row : rows) {
        QueltDDSConnector_clear(c, kW);
        LogCapture log;
        QueltDDSConnector_setJSONInstance(c, kW, row[0].c_str());
        const std::string instance = text(QueltDDSConnector_getJSONInstance(c, kW));
        EXPECT_NE(instance.find(row[1]), std::string::npos) << row[0] << "\n" << instance;
        EXPECT_TRUE(logged(log, row[2])) << row[0];
        EXPECT_EQ(stackHeight(c), 0) << row[0];
    }
}

TEST(JsonIn, ArraysGiveSequencesTheirLengthAndPathsCreateWhatTheyReach)
{
    Connector c(170, "EveryLib::Both", everyKindXml());
    ASSERT_NE(c, nullptr);
    const struct {
        const char *json, *piece;
    } steps[] = {
        {R"({"useq": [1, 2, 3], "pseq": [{"x": 1, "y": 2}, {"x": 3}]})", R"("useq":[1,2,3],"pseq":[{"x":1,"y":2},{"x":3,"y":0}])"},
        // Elements are set in place: what an element object leaves out keeps its value.
        {R"({"useq": [7], "pseq": [{"y": 9}]})", R"("useq":[7],"pseq":[{"x":1,"y":9}])"},
        {R"({"useq": []})", R"("useq":[],"pseq":[{"x":1,"y":9}])"},
    };
    for (const auto &step : steps) {
        QueltDDSConnector_setJSONInstance(c, kW, step.json);
        const std::string instance = text(QueltDDSConnector_getJSONInstance(c, kW));
        EXPECT_NE(instance.find(step.piece), std::string::npos) << step.json << "\n" << instance;
    }
    // An element of an empty sequence of structures, a member of an unselected union case: a set
    // by path creates them, as JSON does.
    QueltDDSConnector_clear(c, kW);
    LogCapture log;
    QueltDDSConnector_setNumberIntoSamples(c, kW, "pseq[2].x", 4);
    QueltDDSConnector_setNumberIntoSamples(c, kW, "u.p.y", 1.5);
    EXPECT_TRUE(log.lines().empty()) << log.text();
    const std::string instance = text(QueltDDSConnector_getJSONInstance(c, kW));
    EXPECT_NE(instance.find(R"("pseq":[{"x":0,"y":0},{"x":4,"y":0}])"), std::string::npos) << instance;
    EXPECT_NE(instance.find(R"("u":{"p":{"x":0,"y":1.5}})"), std::string::npos) << instance;
}

TEST(JsonIn, RefusedDocumentsLeaveTheInstanceAsItWas)
{
    Connector c(171, "EveryLib::Both", everyKindXml());
    ASSERT_NE(c, nullptr);
    QueltDDSConnector_setJSONInstance(c, kW, "{\"id\": 1, \"s\": \"kept\"}");
    const std::string before = text(QueltDDSConnector_getJSONInstance(c, kW));
    const std::string deep = "{\"useq\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
    const std::string notJson = "{\"s\": \"" + std::string(10 << 20, 'a') + "\""; // 10 MB, unterminated
    const struct {
        const char *what, *json, *message;
    } rows[] = {
        {"unterminated", "[1", "Not a valid json 1:0: Expected , before"}, {"empty", "", "Not a valid json"},
        {"trailing text", "{} x", "Not a valid json"}, {"null text", nullptr, "a LUA_TSTRING was expected in position -2 of the stack"},
        {"100,000 deep", deep.c_str(), "JSON nested deeper than 256 levels is refused"}, {"10 MB, not JSON", notJson.c_str(), "Not a valid json"},
    };
    for (const auto &row : rows) {
        LogCapture log;
        QueltDDSConnector_setJSONInstance(c, kW, row.json);
        EXPECT_TRUE(log.contains(row.message)) << row.what << "\n" << log.text().substr(0, 2000);
        EXPECT_EQ(text(QueltDDSConnector_getJSONInstance(c, kW)), before) << row.what;
        EXPECT_EQ(stackHeight(c), 0) << row.what;
    }
    // A 10 MB document that is JSON is a 10 MB text, set whole.
    const std::string big = "{\"s\": \"" + std::string(10 << 20, 'b') + "\"}";
    LogCapture log;
    QueltDDSConnector_setJSONInstance(c, kW, big.c_str());
    EXPECT_TRUE(log.lines().empty()) << log.text().substr(0, 2000);
    EXPECT_EQ(text(QueltDDSConnector_getJSONInstance(c, kW)).size(), before.size() - 4 + (10u << 20));
}

// ---- write parameters ----

// A malformed parameter text writes nothing, and its log names the key that failed at each level,
// outermost last, before the write's own line; a well-formed one writes.
TEST(WriteParams, OnlyWellFormedParametersWrite)
{
    Connector c(172, "EveryLib::Both", everyKindXml());
    ASSERT_NE(c, nullptr);
    int written = 0, noIdentity = 0;
    for (const auto &row : dataRows("write_params.txt")) {
        LogCapture log;
        QueltDDSConnector_write(c, kW, row[0].c_str());
        const size_t messages = row.size() - 1;
        written += messages == 0;
        auto lines = log.lines();
        noIdentity += int(std::erase_if(lines, [](const std::string &l) { return l.find("sends no sample identity") != std::string::npos; }));
        ASSERT_EQ(lines.size(), messages ? messages + 1 : 0) << row[0] << "\n" << log.text();
        for (size_t i = 0; i < messages; ++i)
            EXPECT_NE(lines[i].find(row[i + 1]), std::string::npos) << row[0] << ": " << row[i + 1] << "\n" << log.text();
        if (messages) {
            EXPECT_NE(lines.back().find("QueltDDSConnector_write: !precondition json parsing form WriteParams failed"), std::string::npos)
                << lines.back();
        }
        EXPECT_EQ(stackHeight(c), 0);
    }
    EXPECT_EQ(takeAtLeast(c, kR, written), written);
    // Cyclone DDS 0.10 has no identity on the wire: said once, the first time one is given.
    EXPECT_EQ(noIdentity, onCyclone() ? 1 : 0);
}

TEST(WriteParams, WhatTheTextGivesLandsWhereItBelongs)
{
    DDS_WriteParams_t params, initial; // the rest stays as initialised
    DDS_WriteParams_t_initialize(&params), DDS_WriteParams_t_initialize(&initial);
    ASSERT_EQ(DDSConnectorWriterParamJsonHelper_parse_json(
                  &params, R"({"related_sample_identity": {"writer_guid": {"value": [9, 8, 7, 6]}, "sequence_number": {"high": -1, "low": -2}}})"), 0);
    const DDS_SampleIdentity_t &related = params.related_sample_identity;
    EXPECT_EQ(related.writer_guid.value[3], 6);
    EXPECT_EQ(std::memcmp(related.writer_guid.value + 4, initial.related_sample_identity.writer_guid.value + 4, 12), 0);
    EXPECT_EQ(related.sequence_number.high, -1);
    EXPECT_EQ(related.sequence_number.low, 0xfffffffeu);
    EXPECT_EQ(std::memcmp(&params.identity, &initial.identity, sizeof params.identity), 0);
}

TEST(WriteParams, ARelatedIdentityReachesTheReadersInfos)
{
    Connector c(173, "EveryLib::Both", everyKindXml());
    ASSERT_NE(c, nullptr);
    // The first sample's identity, as a reader reports it, is handed back as the related one of
    // the second; a requested identity of its own cannot travel (the engine stamps its own), and
    // the log says so. Cyclone DDS 0.10 has neither sequence numbers in its sample infos nor
    // identities on the wire: they come unknown, and the write says so once.
    const bool cyclone = onCyclone();
    const auto number = [&](const char *low) { return std::string("]},\"sequence_number\": {\"high\": ") + (cyclone ? "-1,\"low\": -1}}" : low); };
    QueltDDSConnector_setJSONInstance(c, kW, "{\"id\": 1}");
    QueltDDSConnector_write(c, kW, nullptr);
    ASSERT_EQ(takeAtLeast(c, kR, 1), 1);
    LogCapture numbers;
    const std::string first = text(QueltDDSConnector_getStringFromInfos(c, kR, 1, "sample_identity"));
    EXPECT_EQ(numbers.count("carry no sequence number"), cyclone ? 1 : 0) << numbers.text();
    EXPECT_EQ(first.rfind("{\"writer_guid\": {\"value\": [", 0), 0u) << first;
    EXPECT_NE(first.find(number("0,\"low\": 1}}")), std::string::npos) << first;

    const std::string requested = R"({"writer_guid": {"value": [1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16]},"sequence_number": {"high": 0,"low": 99}})";
    const std::string params = "{\"related_sample_identity\": " + first + ", \"identity\": " + requested + "}";
    LogCapture log;
    QueltDDSConnector_write(c, kW, params.c_str());
    EXPECT_EQ(log.lines(), std::vector<std::string>{cyclone ? "DDS_DynamicDataWriter_write_w_params: the Cyclone engine sends no sample identity "
                                                               "or related sample identity (Cyclone DDS 0.10 has none on the wire): they are left out\n"
                                                             : "DDS_DynamicDataWriter_write_w_params: the Fast DDS engine sends a sample "
                                                               "with its writer's own identity: a requested identity is not carried\n"});
    ASSERT_EQ(takeAtLeast(c, kR, 1), 1);
    const std::string related = cyclone ? "{\"writer_guid\": {\"value\": [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0" + number("") : first;
    EXPECT_EQ(text(QueltDDSConnector_getStringFromInfos(c, kR, 1, "related_sample_identity")), related);
    EXPECT_EQ(text(QueltDDSConnector_getJSONFromInfos(c, kR, 1, "related_sample_identity")), related);
    EXPECT_EQ(runLua(c, "return CONTAINER.READER['Sub::R'].infos[1].related_sample_identity"),
              std::vector<std::string>{related});
    // What the reader sees as the identity: the writer's own GUID and the next sequence number.
    const std::string second = text(QueltDDSConnector_getStringFromInfos(c, kR, 1, "sample_identity"));
    EXPECT_NE(second, requested);
    EXPECT_EQ(second.substr(0, second.find("]}")), first.substr(0, first.find("]}")));
    EXPECT_NE(second.find(number("0,\"low\": 2}}")), std::string::npos) << second;
}

// Samples of two writers, one of them in another participant, in one take: each shows its own
// writer.
TEST(Takes, OneTakeHandsOutEveryWaitingSample)
{
    Connector c(198, "EveryLib::Both", everyKindXml());
    Connector other(198, "EveryLib::Both", everyKindXml());
    ASSERT_NE(c, nullptr);
    ASSERT_NE(other, nullptr);
    // Until the other writer has matched this reader.
    QueltDDSConnector_setNumberIntoSamples(other, kW, "i32", -1);
    ASSERT_TRUE(waitUntil([&] {
        QueltDDSConnector_write(other, kW, nullptr);
        QueltDDSConnector_wait(c, 100);
        QueltDDSConnector_take(c, kR);
        return QueltDDSConnector_getSamplesLength(c, kR) > 0;
    }));
    for (int k = 0; k < 100; ++k) {
        QueltDDSConnector *by = k % 2 ? other : c;
        QueltDDSConnector_setNumberIntoSamples(by, kW, "i32", k);
        QueltDDSConnector_write(by, kW, nullptr);
    }
    // Fast DDS alone would hand out 32 at a time.
    ASSERT_GE(takeAtLeast(c, kR, 100), 100);
    std::set<std::string> writers[2];
    for (int i = 1; i <= QueltDDSConnector_getSamplesLength(c, kR); ++i) {
        const double k = QueltDDSConnector_getNumberFromSamples(c, kR, i, "i32");
        const std::string id = text(QueltDDSConnector_getStringFromInfos(c, kR, i, "sample_identity"));
        if (k >= 0)
            writers[int(k) % 2].insert(id.substr(0, id.find("]}")));
    }
    EXPECT_EQ(writers[0].size(), 1u);
    EXPECT_EQ(writers[1].size(), 1u);
    EXPECT_NE(writers[0], writers[1]);
}
