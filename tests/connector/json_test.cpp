// Whole samples as JSON through the exported functions: the every-kind round trip over the wire,
// the conversions of JSON values into members and their messages, refused documents, write
// parameters and the sample identities they carry. Domains 167..179, 197.
#include "connector_test_support.h"

#include "DDSConnectorWriterParamJsonHelper.h"

#include <json-parser/json.h>

#include <cstring>
#include <memory>

using namespace quelt::test;

namespace {

const char *const kWriter = "Pub::W";
const char *const kReader = "Sub::R";

std::string everyKindXml() { return readFile(std::string(QUELT_TEST_DATA) + "/every_kind.xml"); }
std::string everyKindJson() { return readFile(std::string(QUELT_TEST_DATA) + "/json/every_kind.json"); }
// The same document as the library prints it: members in type order, no spaces, 64-bit limits and
// doubles exact, control characters escaped.
std::string everyKindPrinted() { return readFile(std::string(QUELT_TEST_DATA) + "/connector/every_kind_printed.json"); }

using JsonPtr = std::unique_ptr<json_value, void (*)(json_value *)>;

JsonPtr parse(const std::string &text)
{
    json_settings settings{};
    char error[256] = "";
    return JsonPtr(json_parse_ex(&settings, text.c_str(), text.size(), error), json_value_free);
}

// Takes until n samples arrived on the connector's own reader (it shares the writer's participant).
int takeAtLeast(QueltDDSConnector *c, int n)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        QueltDDSConnector_read(c, kReader);
        if (QueltDDSConnector_getSamplesLength(c, kReader) >= n)
            break;
        QueltDDSConnector_wait(c, 100);
    }
    QueltDDSConnector_take(c, kReader);
    return static_cast<int>(QueltDDSConnector_getSamplesLength(c, kReader));
}

} // namespace

// The every-kind type as it is (final), and with its structures appendable or mutable (the union
// appendable), which puts the samples on the wire in XCDR2.
struct Extensibility {
    const char *name;
    int domain;
    std::string xml() const
    {
        std::string text = everyKindXml();
        if (std::strcmp(name, "final") == 0)
            return text;
        for (const char *st : {"<struct name=\"Point\"", "<struct name=\"All\""})
            text = replaceAll(text, st, std::string(st) + " extensibility=\"" + name + "\"");
        return replaceAll(text, "<union name=\"Choice\"", "<union name=\"Choice\" extensibility=\"appendable\"");
    }
};

class JsonSamples : public ::testing::TestWithParam<Extensibility> {};

INSTANTIATE_TEST_SUITE_P(Every, JsonSamples,
                         ::testing::Values(Extensibility{"final", 167}, Extensibility{"appendable", 179},
                                           Extensibility{"mutable", 197}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(JsonSamples, EveryKindRoundTripsThroughTheWire)
{
    Connector conn(GetParam().domain, "EveryLib::Both", GetParam().xml());
    ASSERT_NE(conn.c, nullptr);
    const std::string input = everyKindJson();
    LogCapture log;
    QueltDDSConnector_setJSONInstance(conn.c, kWriter, input.c_str());
    EXPECT_EQ(text(QueltDDSConnector_getJSONInstance(conn.c, kWriter)), everyKindPrinted());
    QueltDDSConnector_write(conn.c, kWriter, nullptr);
    // A second sample: the union on another case, an enumerator by name, the optional member
    // unset, the sequences shorter than before.
    QueltDDSConnector_clear(conn.c, kWriter);
    QueltDDSConnector_setJSONInstance(conn.c, kWriter,
                                      "{\"id\": 8, \"e\": \"BLUE\", \"u\": {\"n\": -4}, \"pseq\": [{\"x\": 5}], \"sseq\": []}");
    QueltDDSConnector_write(conn.c, kWriter, nullptr);
    EXPECT_TRUE(log.lines().empty()) << log.text();

    ASSERT_EQ(takeAtLeast(conn.c, 2), 2);
    EXPECT_EQ(text(QueltDDSConnector_getJSONSample(conn.c, kReader, 1)), everyKindPrinted());
    const std::string second = text(QueltDDSConnector_getJSONSample(conn.c, kReader, 2));
    for (const char *piece : {"\"id\":8", "\"e\":6", "\"u\":{\"n\":-4}", "\"pseq\":[{\"x\":5,\"y\":0}]", "\"sseq\":[]"})
        EXPECT_NE(second.find(piece), std::string::npos) << piece << " in " << second;
    EXPECT_EQ(second.find("\"opt\""), std::string::npos) << second;
    // Past the end there is no text; the text handed out outlives the loan.
    EXPECT_EQ(QueltDDSConnector_getJSONSample(conn.c, kReader, 3), nullptr);
    EXPECT_EQ(stackHeight(conn.c), 0);
}

TEST(JsonNotices, ANoticeStillPrintsFromItsStorage)
{
    Connector conn(168, "EveryLib::Both", everyKindXml());
    ASSERT_NE(conn.c, nullptr);
    QueltDDSConnector_setJSONInstance(conn.c, kWriter, "{\"id\": 3, \"i32\": 9}");
    QueltDDSConnector_write(conn.c, kWriter, nullptr);
    runLua(conn.c, "CONTAINER.WRITER['Pub::W']:dispose()");
    ASSERT_EQ(takeAtLeast(conn.c, 2), 2);
    EXPECT_EQ(QueltDDSConnector_getBooleanFromInfos(conn.c, kReader, 2, "valid_data"), 0);
    const std::string notice = text(QueltDDSConnector_getJSONSample(conn.c, kReader, 2));
    EXPECT_TRUE(parse(notice)) << notice;
    EXPECT_NE(notice.find("\"id\":3"), std::string::npos) << notice;
}

// Each row starts from a cleared instance, sets json and finds piece in the instance's JSON; the
// log holds message (warnings on), or nothing.
TEST(JsonIn, ValuesConvertByMemberKindAndSayWhatTheyDropped)
{
    Connector conn(169, "EveryLib::Both", everyKindXml());
    ASSERT_NE(conn.c, nullptr);
    WarningsOn warnings;
    const struct {
        const char *json, *piece, *message;
    } rows[] = {
        {R"({"i32": 1, "f64": 2.5})", "\"i32\":1,", ""},
        {R"({"i32": 2.5})", "\"i32\":0,", "'i32': left unchanged: the JSON number 2.5 was not accepted by a long member"},
        {R"({"i32": 5.0})", "\"i32\":0,", "not accepted by a long member"},
        {R"({"f64": 5})", "\"f64\":5,", ""},
        {R"({"s": 7})", "\"s\":\"\"", "'s': left unchanged: the JSON integer 7"},
        {R"({"i32": "0x10"})", "\"i32\":16,", ""},
        {R"({"i32": "12abc"})", "\"i32\":12,", "'i32': \"12abc\" is not wholly a number"},
        {R"({"b": "TRUE"})", "\"b\":true", ""},
        {R"({"b": "1"})", "\"b\":true", ""},
        {R"({"b": "yes"})", "\"b\":false", "is not a boolean text"},
        {R"({"b": 1})", "\"b\":false", "not accepted by a boolean member"},
        {R"({"unknown": 1, "i32": 5})", "\"i32\":0,", "!get kind failed for 'unknown'"},
        {R"({"p": {"q": 1}, "i32": 5})", "\"i32\":5,", "!get kind failed for 'p.q'"},
        {R"({"p": {"x": 1}})", "\"p\":{\"x\":1,", ""},
        {R"({"p": 5})", "\"p\":{\"x\":0,", "'p': left unchanged: a JSON scalar does not fit a struct member"},
        {R"({"c": "hi"})", "\"c\":\"h\"", "more than one character"},
        {R"({"c": "é"})", "\"c\":\"\\u00e9\"", ""},
        {R"({"wc": "65"})", "\"wc\":\"65\"", ""},
        {R"({"i16": 70000})", "\"i16\":4464,", "'i16': 70000 does not fit a short member: its low 16 bits were set"},
        {R"({"o": -1})", "\"o\":255,", "does not fit a octet member"},
        {R"({"u32": "-1"})", "\"u32\":4294967295,", "does not fit a unsigned long member"},
        {R"({"e": "BLUE"})", "\"e\":6,", ""},
        {R"({"e": "6"})", "\"e\":6,", ""},
        {R"({"e": "PURPLE"})", "\"e\":0,", "\"PURPLE\" is not an enumerator of Every::Color"},
        {R"({"e": 4})", "\"e\":0,", "the JSON integer 4 was not accepted by a enum member"},
        {R"({"i64": "-9223372036854775808"})", "\"i64\":-9223372036854775808,", ""},
        {R"({"i64": "1e3"})", "\"i64\":0,", "not accepted by a long long member"},
        {R"({"i64": 9223372036854775808})", "\"i64\":0,", "the JSON integer 9223372036854775808 was not accepted"},
        {R"({"u64": -1})", "\"u64\":18446744073709551615,", "does not fit a unsigned long long member"},
        // Integers at and beyond the 64-bit limits after a decimal are still read exactly.
        {R"({"f64": 0.1, "i64": -9223372036854775808})", "\"i64\":-9223372036854775808,", ""},
        {R"({"f64": 0.5, "u64": 18446744073709551615})", "\"u64\":18446744073709551615,", ""},
        {R"({"f64": 18446744073709551616})", "\"f64\":18446744073709551616,", ""},
        {R"({"f32": 1e300})", "\"inf\":0", "1e+300 is beyond the float range: set to infinity"},
        {R"({"s": "a\u0000b"})", "\"s\":\"\"", "the text holds a NUL character"},
        {"{\"s\": \"\xff\"}", "\"s\":\"\"", "the text is not valid UTF-8"},
        {"{\"w\": \"\xc0\xaf\"}", "\"w\":\"\"", "error determining length of wchar"},
        {R"({"bounded": "123456789"})", "\"bounded\":\"\"", "not accepted by a string member"},
        {R"({"bseq": [1, 2, 3, 4, 5]})", "\"bseq\":[1,2,3,4]", "!get kind failed for 'bseq[5]'"},
        {R"({"grid": [1, 2, 3, 4, 5, 6]})", "\"grid\":[1,2,3,4,5,6]", ""},
        {R"({"u": {"s": "x"}})", "\"u\":{\"s\":\"x\"}", ""},
        {R"({"opt": null, "i32": null})", "\"i32\":0,", ""},
        // An object given for a scalar member is walked against the structure that holds it.
        {R"({"i32": {"i16": 3}})", "\"i16\":3,", ""},
        {"null", "\"i32\":0,", ""},
    };
    for (const auto &row : rows) {
        QueltDDSConnector_clear(conn.c, kWriter);
        LogCapture log;
        QueltDDSConnector_setJSONInstance(conn.c, kWriter, row.json);
        const std::string instance = text(QueltDDSConnector_getJSONInstance(conn.c, kWriter));
        EXPECT_NE(instance.find(row.piece), std::string::npos) << row.json << "\n" << instance;
        if (*row.message)
            EXPECT_TRUE(log.contains(row.message)) << row.json << "\n" << log.text();
        else
            EXPECT_TRUE(log.lines().empty()) << row.json << "\n" << log.text();
        EXPECT_EQ(stackHeight(conn.c), 0) << row.json;
    }
}

TEST(JsonIn, ArraysGiveSequencesTheirLengthAndPathsCreateWhatTheyReach)
{
    Connector conn(170, "EveryLib::Both", everyKindXml());
    ASSERT_NE(conn.c, nullptr);
    const struct {
        const char *json, *piece;
    } steps[] = {
        {R"({"useq": [1, 2, 3], "pseq": [{"x": 1, "y": 2}, {"x": 3}]})", R"("useq":[1,2,3],"pseq":[{"x":1,"y":2},{"x":3,"y":0}])"},
        // Elements are set in place: what an element object leaves out keeps its value.
        {R"({"useq": [7], "pseq": [{"y": 9}]})", R"("useq":[7],"pseq":[{"x":1,"y":9}])"},
        {R"({"useq": []})", R"("useq":[],"pseq":[{"x":1,"y":9}])"},
    };
    for (const auto &step : steps) {
        QueltDDSConnector_setJSONInstance(conn.c, kWriter, step.json);
        const std::string instance = text(QueltDDSConnector_getJSONInstance(conn.c, kWriter));
        EXPECT_NE(instance.find(step.piece), std::string::npos) << step.json << "\n" << instance;
    }
    // An element of an empty sequence of structures, a member of an unselected union case: a set
    // by path creates them, as JSON does.
    QueltDDSConnector_clear(conn.c, kWriter);
    LogCapture log;
    QueltDDSConnector_setNumberIntoSamples(conn.c, kWriter, "pseq[2].x", 4);
    QueltDDSConnector_setNumberIntoSamples(conn.c, kWriter, "u.p.y", 1.5);
    EXPECT_TRUE(log.lines().empty()) << log.text();
    const std::string instance = text(QueltDDSConnector_getJSONInstance(conn.c, kWriter));
    EXPECT_NE(instance.find(R"("pseq":[{"x":0,"y":0},{"x":4,"y":0}])"), std::string::npos) << instance;
    EXPECT_NE(instance.find(R"("u":{"p":{"x":0,"y":1.5}})"), std::string::npos) << instance;
}

TEST(JsonIn, RefusedDocumentsLeaveTheInstanceAsItWas)
{
    Connector conn(171, "EveryLib::Both", everyKindXml());
    ASSERT_NE(conn.c, nullptr);
    QueltDDSConnector_setJSONInstance(conn.c, kWriter, "{\"id\": 1, \"s\": \"kept\"}");
    const std::string before = text(QueltDDSConnector_getJSONInstance(conn.c, kWriter));
    std::string deep = "{\"useq\": ";
    deep.append(100000, '[');
    deep.append(100000, ']');
    deep += "}";
    const std::string notJson = "{\"s\": \"" + std::string(10 << 20, 'a') + "\""; // 10 MB, unterminated
    const struct {
        const char *what;
        const char *json;
        const char *message;
    } rows[] = {
        {"unterminated", "[1", "Not a valid json 1:0: Expected , before"},
        {"empty", "", "Not a valid json"},
        {"trailing text", "{} x", "Not a valid json"},
        {"null text", nullptr, "a LUA_TSTRING was expected in position -2 of the stack"},
        {"100,000 deep", deep.c_str(), "JSON nested deeper than 256 levels is refused"},
        {"10 MB, not JSON", notJson.c_str(), "Not a valid json"},
    };
    for (const auto &row : rows) {
        LogCapture log;
        QueltDDSConnector_setJSONInstance(conn.c, kWriter, row.json);
        EXPECT_TRUE(log.contains(row.message)) << row.what << "\n" << log.text().substr(0, 2000);
        EXPECT_EQ(text(QueltDDSConnector_getJSONInstance(conn.c, kWriter)), before) << row.what;
        EXPECT_EQ(stackHeight(conn.c), 0) << row.what;
    }
    // A 10 MB document that is JSON is a 10 MB text, set whole.
    const std::string big = "{\"s\": \"" + std::string(10 << 20, 'b') + "\"}";
    LogCapture log;
    QueltDDSConnector_setJSONInstance(conn.c, kWriter, big.c_str());
    EXPECT_TRUE(log.lines().empty()) << log.text().substr(0, 2000);
    EXPECT_EQ(text(QueltDDSConnector_getJSONInstance(conn.c, kWriter)).size(), before.size() - 4 + (10u << 20));
}

// ---- write parameters ----

// A malformed parameter text writes nothing, and its log names the key that failed at each level,
// outermost last, before the write's own line; a well-formed one writes.
TEST(WriteParams, OnlyWellFormedParametersWrite)
{
    Connector conn(172, "EveryLib::Both", everyKindXml());
    ASSERT_NE(conn.c, nullptr);
    const struct {
        const char *json;
        int result;
        std::vector<const char *> messages;
    } rows[] = {
        {"{}", 0, {}},
        {R"({"identity": {"sequence_number": {"high": 0, "low": 5}}})", 0, {}},
        {R"({"identity": {"sequence_number": {"low": "5"}}})", 1,
         {"not a valid type low", "error parsing sequence_number", "error parsing identity"}},
        // Each level names the key that failed, outermost last.
        {R"({"other": {}})", 1, {"not a valid element other"}},
        {R"({"identity": {}, "other": {}})", 1, {"not a valid element other"}},
        {R"({"related_sample_identity": {"writer_guid": {"value": [1, 2, 256]}}})", 1,
         {"not a valid octect value 256", "error parsing value", "error parsing writer_guid", "error parsing related_sample_identity"}},
        {R"({"identity": {"writer_guid": {"value": [1, 2, -1]}}})", 1,
         {"not a valid octect value -1", "error parsing value", "error parsing writer_guid", "error parsing identity"}},
        {R"({"identity": {"writer_guid": {"value": [1, 2.5]}}})", 1,
         {"not a valid element of the array 1", "error parsing value", "error parsing writer_guid", "error parsing identity"}},
        {R"({"identity": {"writer_guid": {"value": [0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16]}}})", 1,
         {"too many octets for a GUID (at most 16): 17", "error parsing value", "error parsing writer_guid", "error parsing identity"}},
        {R"({"identity": {"writer_guid": []}})", 1, {"not a valid json_object", "error parsing writer_guid", "error parsing identity"}},
        {R"({"identity": {"writer_guid": {"value": {}}}})", 1,
         {"not a valid json_array", "error parsing value", "error parsing writer_guid", "error parsing identity"}},
        {"[]", 1, {"not a valid json_object"}},
        {"not json", 1, {"Not a valid json"}},
        {"", 1, {"Not a valid json"}},
        {R"({"identity": 1})", 1, {"not a valid json_object", "error parsing identity"}},
    };
    int written = 0;
    for (const auto &row : rows) {
        LogCapture log;
        QueltDDSConnector_write(conn.c, kWriter, row.json);
        written += row.result == 0;
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), row.messages.size() + row.result) << row.json << "\n" << log.text();
        for (const char *m : row.messages)
            EXPECT_TRUE(log.contains(m)) << row.json << ": " << m << "\n" << log.text();
        if (row.result) {
            EXPECT_NE(lines.back().find("QueltDDSConnector_write: !precondition json parsing form WriteParams failed"), std::string::npos)
                << lines.back();
        }
        EXPECT_EQ(stackHeight(conn.c), 0);
    }
    EXPECT_EQ(takeAtLeast(conn.c, written), written);
}

TEST(WriteParams, WhatTheTextGivesLandsWhereItBelongs)
{
    // The rest stays as initialised.
    DDS_WriteParams_t params, initial;
    DDS_WriteParams_t_initialize(&params);
    DDS_WriteParams_t_initialize(&initial);
    ASSERT_EQ(DDSConnectorWriterParamJsonHelper_parse_json(
                  &params, R"({"related_sample_identity": {"writer_guid": {"value": [9, 8, 7, 6]}, "sequence_number": {"high": -1, "low": -2}}})"),
              0);
    EXPECT_EQ(params.related_sample_identity.writer_guid.value[3], 6);
    EXPECT_EQ(std::memcmp(params.related_sample_identity.writer_guid.value + 4, initial.related_sample_identity.writer_guid.value + 4, 12), 0);
    EXPECT_EQ(params.related_sample_identity.sequence_number.high, -1);
    EXPECT_EQ(params.related_sample_identity.sequence_number.low, 0xfffffffeu);
    EXPECT_EQ(std::memcmp(&params.identity, &initial.identity, sizeof params.identity), 0);
}

TEST(WriteParams, ARelatedIdentityReachesTheReadersInfos)
{
    Connector conn(173, "EveryLib::Both", everyKindXml());
    ASSERT_NE(conn.c, nullptr);
    // The first sample's identity, as a reader reports it, is handed back as the related one of
    // the second; a requested identity of its own cannot travel (the engine stamps its own).
    QueltDDSConnector_setJSONInstance(conn.c, kWriter, "{\"id\": 1}");
    QueltDDSConnector_write(conn.c, kWriter, nullptr);
    ASSERT_EQ(takeAtLeast(conn.c, 1), 1);
    const std::string first = text(QueltDDSConnector_getStringFromInfos(conn.c, kReader, 1, "sample_identity"));
    EXPECT_EQ(first.rfind("{\"writer_guid\": {\"value\": [", 0), 0u) << first;
    EXPECT_NE(first.find("]},\"sequence_number\": {\"high\": 0,\"low\": 1}}"), std::string::npos) << first;

    const std::string requested = R"({"writer_guid": {"value": [1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16]},"sequence_number": {"high": 0,"low": 99}})";
    const std::string params = "{\"related_sample_identity\": " + first + ", \"identity\": " + requested + "}";
    LogCapture log;
    QueltDDSConnector_write(conn.c, kWriter, params.c_str());
    EXPECT_TRUE(log.lines().empty()) << log.text();
    ASSERT_EQ(takeAtLeast(conn.c, 1), 1);
    EXPECT_EQ(text(QueltDDSConnector_getStringFromInfos(conn.c, kReader, 1, "related_sample_identity")), first);
    EXPECT_EQ(text(QueltDDSConnector_getJSONFromInfos(conn.c, kReader, 1, "related_sample_identity")), first);
    EXPECT_EQ(runLua(conn.c, "return CONTAINER.READER['Sub::R'].infos[1].related_sample_identity"),
              std::vector<std::string>{first});
    // What the reader sees as the identity: the writer's own GUID and the next sequence number.
    const std::string second = text(QueltDDSConnector_getStringFromInfos(conn.c, kReader, 1, "sample_identity"));
    EXPECT_NE(second, requested);
    EXPECT_EQ(second.substr(0, second.find("]}")), first.substr(0, first.find("]}")));
    EXPECT_NE(second.find("\"low\": 2}}"), std::string::npos) << second;
}

TEST(Takes, OneTakeHandsOutEveryWaitingSample)
{
    Connector conn(198, "EveryLib::Both", everyKindXml());
    ASSERT_NE(conn.c, nullptr);
    for (int k = 0; k < 100; ++k) {
        QueltDDSConnector_setNumberIntoSamples(conn.c, kWriter, "i32", k);
        QueltDDSConnector_write(conn.c, kWriter, nullptr);
    }
    // Fast DDS alone would hand out 32 at a time.
    EXPECT_EQ(takeAtLeast(conn.c, 100), 100);
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(conn.c, kReader, 100, "i32"), 99.0);
}
