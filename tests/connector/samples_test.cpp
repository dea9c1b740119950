// Setting, writing, reading, taking and getting samples through the exported functions.
#include "connector_test_support.h"
#include "support/peer.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <tuple>

using namespace quelt::test;

namespace {

// A call and its result as text ("" for none), so that one table holds functions of every result type.
using C = QueltDDSConnector *;
using Call = std::function<std::string(C)>;
enum Family { kWriterCall, kReaderCall, kContainerCall, kEveryCall };

struct FailureRow {
    Family family;
    const char *context; // the function the log line names
    Call call;
    std::string result;
};

std::string num(double v) { return std::to_string(v); }
const std::string kNoNumber = num(-1.0), kNoBoolean = "-1", kNoText = "(null)";

// Each call gives its failure value and logs one line, "context: ...message...", leaving the stack empty.
void expectFailures(QueltDDSConnector *c, const std::vector<FailureRow> &rows, const char *message)
{
    for (const FailureRow &row : rows) {
        LogCapture log;
        EXPECT_EQ(row.call(c), row.result) << row.context;
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << row.context << "\n" << log.text();
        EXPECT_NE(lines[0].find(std::string(row.context) + ": "), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find(message), std::string::npos) << lines[0];
        if (c) {
            EXPECT_EQ(stackHeight(c), 0) << row.context;
        }
    }
}

// Every exported function of the family, called with these entity and field names; those that
// take no field name only when one is given.
std::vector<FailureRow> preconditionRows(const char *entity, const char *field, Family only = kEveryCall)
{
    std::vector<FailureRow> rows = {
        {kWriterCall, "QueltDDSConnector_setNumberIntoSamples", [=](C c) { QueltDDSConnector_setNumberIntoSamples(c, entity, field, 1.0); return ""; }, ""},
        {kWriterCall, "QueltDDSConnector_setBooleanIntoSamples", [=](C c) { QueltDDSConnector_setBooleanIntoSamples(c, entity, field, 1); return ""; }, ""},
        {kWriterCall, "QueltDDSConnector_setStringIntoSamples", [=](C c) { QueltDDSConnector_setStringIntoSamples(c, entity, field, "v"); return ""; }, ""},
        {kReaderCall, "QueltDDSConnector_getNumberI", [=](C c) { return num(QueltDDSConnector_getNumberFromSamples(c, entity, 1, field)); }, kNoNumber},
        {kReaderCall, "QueltDDSConnector_getBooleanI", [=](C c) { return std::to_string(QueltDDSConnector_getBooleanFromSamples(c, entity, 1, field)); }, kNoBoolean},
        {kReaderCall, "QueltDDSConnector_getStringI", [=](C c) { return text(QueltDDSConnector_getStringFromSamples(c, entity, 1, field)); }, kNoText},
        {kReaderCall, "QueltDDSConnector_getJSONI", [=](C c) { return text(QueltDDSConnector_getJSONFromInfos(c, entity, 1, field)); }, kNoText},
    };
    if (field) {
        rows.insert(rows.end(), {
            {kContainerCall, "QueltDDSConnector_clear", [=](C c) { QueltDDSConnector_clear(c, entity); return ""; }, ""},
            {kContainerCall, "QueltDDSConnector_write", [=](C c) { QueltDDSConnector_write(c, entity, nullptr); return ""; }, ""},
            {kContainerCall, "QueltDDSConnector_read", [=](C c) { QueltDDSConnector_read(c, entity); return ""; }, ""},
            {kContainerCall, "QueltDDSConnector_take", [=](C c) { QueltDDSConnector_take(c, entity); return ""; }, ""},
            {kReaderCall, "QueltDDSConnector_getSeqLengthI", [=](C c) { return num(QueltDDSConnector_getSamplesLength(c, entity)); }, kNoNumber},
            {kWriterCall, "QueltDDSConnector_setJSONInstance", [=](C c) { QueltDDSConnector_setJSONInstance(c, entity, "{}"); return ""; }, ""},
            {kWriterCall, "QueltDDSConnector_getJSONInstance", [=](C c) { return text(QueltDDSConnector_getJSONInstance(c, entity)); }, kNoText},
            {kReaderCall, "QueltDDSConnector_getJSONSample", [=](C c) { return text(QueltDDSConnector_getJSONSample(c, entity, 1)); }, kNoText},
        });
    }
    if (only != kEveryCall)
        rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const FailureRow &r) { return r.family != only; }), rows.end());
    return rows;
}

} // namespace

TEST(Samples, NullConnectorMissingNamesAndUnknownEntitiesFailInEveryFunctionAndNamesGiveEntities)
{
    expectFailures(nullptr, preconditionRows(kWriter, "x"), "!precondition connector is null");
    Connector c(120, "ShapesLib::Shapes");
    ASSERT_NE(c, nullptr);
    expectFailures(c, preconditionRows(nullptr, "x"), "!precondition an entityName must be specified");
    expectFailures(c, preconditionRows(kReader, nullptr), "!precondition a fieldName must be specified");
    // No text is no value: it must not reach the engine as nil, which clears optional members.
    expectFailures(c, {{kWriterCall, "QueltDDSConnector_setStringIntoSamples", [](C c) { QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", nullptr); return ""; }, ""}},
                   "!precondition a value must be specified");
    // Only the samples and infos tables can be reached by name.
    for (const char *seq : {static_cast<const char *>(nullptr), "instance", "#sampleSeq", "Samples"}) {
        expectFailures(c, {
            {kReaderCall, "QueltDDSConnector_getNumberI", [=](C c) { return num(QueltDDSConnector_getNumberI(c, kReader, 1, "x", seq)); }, kNoNumber},
            {kReaderCall, "QueltDDSConnector_getBooleanI", [=](C c) { return std::to_string(QueltDDSConnector_getBooleanI(c, kReader, 1, "x", seq)); }, kNoBoolean},
            {kReaderCall, "QueltDDSConnector_getStringI", [=](C c) { return text(QueltDDSConnector_getStringI(c, kReader, 1, "x", seq)); }, kNoText},
            {kReaderCall, "QueltDDSConnector_getJSONI", [=](C c) { return text(QueltDDSConnector_getJSONI(c, kReader, 1, "x", seq)); }, kNoText},
        }, "!precondition sequenceName must be \"samples\" or \"infos\"");
    }
    // Unknown entities fail without effect. A reader's name is no writer's name and the other way round.
    for (const char *writer : {"Pub::Nope", kReader, "", "::"})
        expectFailures(c, preconditionRows(writer, "x", kWriterCall), "Failed to get writer");
    for (const char *reader : {"Sub::Nope", kWriter, ""})
        expectFailures(c, preconditionRows(reader, "x", kReaderCall), "Failed to get reader");
    // The container reports a missing entry of write, clear, read and take itself.
    for (const auto &call : std::vector<std::function<void(C)>>{[](C c) { QueltDDSConnector_write(c, kReader, nullptr); },
                                                                [](C c) { QueltDDSConnector_clear(c, "Pub::Nope"); },
                                                                [](C c) { QueltDDSConnector_read(c, kWriter); },
                                                                [](C c) { QueltDDSConnector_take(c, "Sub::Nope"); }}) {
        LogCapture log;
        call(c);
        EXPECT_EQ(stackHeight(c), 0);
        EXPECT_TRUE(log.contains("a LUA_TTABLE was expected on the top of the stack")) << log.text();
    }
    // The middleware objects behind a name, or null for a name of the other kind.
    DDS_DynamicDataWriter *w = QueltDDSConnector_getWriter(c, kWriter);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(QueltDDSConnector_getReader(c, kReader), DDS_DomainParticipant_lookup_datareader_by_name(c->participant, kReader));
    EXPECT_EQ(w, QueltDDSConnector_getWriter(c, "1")); // positions work as names do
    WarningsOn warnings; // the lookups below fail with warnings
    for (const auto &[reader, connector, name, message] : std::vector<std::tuple<bool, QueltDDSConnector *, const char *, const char *>>{
             {true, nullptr, kReader, "connector is null"}, {false, c, nullptr, "an entityName must be specified"},
             {true, c, kWriter, ""}, {false, c, kReader, ""}, {true, c, "Sub::Nope", ""}}) { // "": any message of the lookup
        LogCapture log;
        EXPECT_EQ(reader ? static_cast<void *>(QueltDDSConnector_getReader(connector, name))
                         : static_cast<void *>(QueltDDSConnector_getWriter(connector, name)), nullptr);
        EXPECT_TRUE(log.contains(message)) << log.text();
        EXPECT_EQ(stackHeight(c), 0);
    }
}

// ---- with samples moving ----

namespace {

// What each getter gives for a member of a sample: "number|boolean|text".
std::string got(QueltDDSConnector *c, const char *field, bool infos = false, int index = 1)
{
    auto number = infos ? QueltDDSConnector_getNumberFromInfos : QueltDDSConnector_getNumberFromSamples;
    auto boolean = infos ? QueltDDSConnector_getBooleanFromInfos : QueltDDSConnector_getBooleanFromSamples;
    auto string = infos ? QueltDDSConnector_getStringFromInfos : QueltDDSConnector_getStringFromSamples;
    char out[64];
    std::snprintf(out, sizeof out, "%g|%d|", number(c, kReader, index, field), boolean(c, kReader, index, field));
    return out + text(string(c, kReader, index, field));
}

} // namespace

TEST(Samples, SetWriteTakeAndGetEveryField)
{
    Connector c(125, "ShapesLib::Shapes");
    ASSERT_NE(c, nullptr);
    // Before any read there is no sample, and no index below 1.
    EXPECT_EQ(QueltDDSConnector_getSamplesLength(c, kReader) + QueltDDSConnector_getInfosLength(c, kReader), 0.0);
    for (const auto &[index, message] : {std::pair{1, "index requested not available"}, {0, "index must be > 0"}, {-1, "index must be > 0"}}) {
        WarningsOn warnings;
        LogCapture log;
        EXPECT_EQ(got(c, "x", false, index) + got(c, "valid_data", true, index), "-1|-1|(null)-1|-1|(null)") << index;
        EXPECT_TRUE(log.contains(message)) << index << "\n" << log.text();
        EXPECT_EQ(stackHeight(c), 0);
    }
    char color[] = "ORANGE";
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", color);
    std::strcpy(color, "XXXXXX"); // the engine copied the text
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 5);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 17); // the second value counts
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "y", -3);
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "shapesize", "42"); // converted (warning)
    QueltDDSConnector_write(c, kWriter, nullptr);
    EXPECT_EQ(stackHeight(c), 0);
    ASSERT_EQ(takeAtLeast(c, kReader, 1), 1);
    EXPECT_EQ(QueltDDSConnector_getInfosLength(c, kReader), 1.0);
    // A number has its text and is true; a text that is no number is 0; a boolean has no text.
    EXPECT_EQ(got(c, "color"), "0|1|ORANGE");
    EXPECT_EQ(got(c, "x"), "17|1|17");
    EXPECT_EQ(got(c, "y"), "-3|1|-3");
    EXPECT_EQ(got(c, "shapesize"), "42|1|42");
    EXPECT_EQ(got(c, "valid_data", true), "0|1|" + kNoText);
    EXPECT_EQ(stackHeight(c), 0);
    {
        WarningsOn warnings;
        LogCapture log;
        EXPECT_EQ(got(c, "nope"), "0|0|" + kNoText);
        EXPECT_TRUE(log.contains("!get kind failed for 'nope'")) << log.text();
        log.clear();
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "nope", 1);
        EXPECT_TRUE(log.contains("!get kind failed for 'nope'")) << log.text();
        log.clear();
        QueltDDSConnector_setBooleanIntoSamples(c, kWriter, "color", 1); // a boolean has no text
        EXPECT_TRUE(log.contains("!set color")) << log.text();
        EXPECT_EQ(stackHeight(c), 0);
    }
    // A write does not reset the instance; clear does.
    QueltDDSConnector_write(c, kWriter, nullptr);
    ASSERT_EQ(takeAtLeast(c, kReader, 1), 1);
    EXPECT_EQ(got(c, "x") + got(c, "color"), "17|1|170|1|ORANGE");
    QueltDDSConnector_clear(c, kWriter);
    QueltDDSConnector_write(c, kWriter, nullptr);
    ASSERT_EQ(takeAtLeast(c, kReader, 1), 1);
    EXPECT_EQ(got(c, "x") + got(c, "color"), "0|1|00|1|");
    // read keeps a sample, take removes it.
    QueltDDSConnector_write(c, kWriter, nullptr);
    ASSERT_EQ(QueltDDSConnector_wait(c, 10000), DDS_RETCODE_OK);
    for (const auto &[op, length] : {std::pair{&QueltDDSConnector_read, 1.0}, {&QueltDDSConnector_read, 1.0}, {&QueltDDSConnector_take, 1.0}, {&QueltDDSConnector_take, 0.0}}) {
        op(c, kReader);
        EXPECT_EQ(QueltDDSConnector_getSamplesLength(c, kReader), length);
    }
    EXPECT_EQ(stackHeight(c), 0);
}

// Numbers set and got through the exported functions reach the entity of that name (of two with
// one name, the later, as a script sees it) and the sample of that index.
TEST(Samples, NumbersReachTheNamedEntityAndIndex)
{
    Connector c(47, "TestLib::Ordered", testXml());
    ASSERT_NE(c, nullptr);
    // W1 and W3 write squares, W2 a circle; x and y tell the writer. Each member is set on every
    // writer in turn, and every reader is read after all the takes: the names alternate.
    const std::tuple<const char *, const char *, int> writers[] = {{"P1::W1", "RED", 1}, {"P1::W2", "RED", 2}, {"P2::W3", "BLUE", 3}};
    for (const auto &[writer, color, x] : writers)
        QueltDDSConnector_setStringIntoSamples(c, writer, "color", color);
    for (const auto &[writer, color, x] : writers)
        QueltDDSConnector_setNumberIntoSamples(c, writer, "x", x);
    for (const auto &[writer, color, x] : writers)
        QueltDDSConnector_setNumberIntoSamples(c, writer, "y", 10 * x);
    for (const auto &[writer, color, x] : writers)
        QueltDDSConnector_write(c, writer, nullptr);
    const std::pair<const char *, const char *> readers[] = {{"S1::R1", "1 10 3 30 "}, {"S1::R2", "2 20 "}, {"S2::R3", "1 10 3 30 "}, {"S2::R4", "2 20 "}};
    std::map<std::string, int> taken;
    for (const auto &[reader, expected] : readers)
        taken[reader] = takeAtLeast(c, reader, expected[2] == '1' ? 2 : 1);
    for (const auto &[reader, expected] : readers) {
        const int n = taken[reader];
        std::map<std::string, std::string> byColor;
        for (int i = 1; i <= n; ++i)
            byColor[text(QueltDDSConnector_getStringFromSamples(c, reader, i, "color"))] +=
                std::to_string(int(QueltDDSConnector_getNumberFromSamples(c, reader, i, "x"))) + " " +
                std::to_string(int(QueltDDSConnector_getNumberFromSamples(c, reader, i, "y"))) + " ";
        std::string got;
        for (const char *color : {"RED", "BLUE"})
            got += byColor[color];
        EXPECT_EQ(got, expected) << reader;
        EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, reader, n + 1, "x"), -1.0) << reader;
    }
    // Two readers of one name: the script's entry and the exported functions take the later.
    Connector unnamed(47, "TestLib::Unnamed", testXml());
    ASSERT_NE(unnamed.c, nullptr);
    char later[48];
    std::snprintf(later, sizeof later, "userdata: %p", static_cast<void *>(&unnamed.c->subscriptionHolders[2].dataSequence));
    EXPECT_EQ(runLua(unnamed.c, "return rawget(CONTAINER.READER['NO_NAME_SET::NO_NAME_SET'].samples, '#sampleSeq')"),
              std::vector<std::string>{later});
    EXPECT_EQ(QueltDDSConnector_subscriptionHolderI(unnamed.c, "NO_NAME_SET::NO_NAME_SET"), &unnamed.c->subscriptionHolders[2]);
    EXPECT_EQ(stackHeight(c), 0);
}

// The getters, a script's samples[i] and JSON must agree, also for a notice, whose members are
// read from its instance's key (here the second instance of a take, its key too long for the
// key hash to hold it).
TEST(Samples, ANoticeShowsItsKeyAlikeToGettersAndScripts)
{
    Connector c(129, "ShapesLib::Shapes");
    ASSERT_NE(c, nullptr);
    const std::string entries = "local w, r = CONTAINER.WRITER['Pub::SquareWriter'], CONTAINER.READER['Sub::SquareReader'] ";
    for (const char *color : {"RED", "BLUE"}) {
        QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", color);
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 9);
        QueltDDSConnector_write(c, kWriter, nullptr);
    }
    ASSERT_EQ(takeAtLeast(c, kReader, 2), 2);
    runLua(c, entries + "w:dispose()");
    ASSERT_EQ(takeAtLeast(c, kReader, 1), 1);
    EXPECT_EQ(QueltDDSConnector_getBooleanFromInfos(c, kReader, 1, "valid_data"), 0);
    EXPECT_EQ(got(c, "color") + " " + got(c, "x"), "0|1|BLUE 0|0|" + kNoText); // the key, and no other member
    EXPECT_EQ(runLua(c, entries + "return r.samples[1].color, r.samples[1].x, r.infos[1].valid_data"),
              (std::vector<std::string>{"BLUE", "nil", "false"}));
    // As JSON it prints from its storage: the key first, and a text that reads back.
    const std::string notice = text(QueltDDSConnector_getJSONSample(c, kReader, 1));
    EXPECT_EQ(notice.rfind("{\"color\":\"BLUE\",", 0), 0u) << notice;
    LogCapture log;
    QueltDDSConnector_setJSONInstance(c, kWriter, notice.c_str());
    EXPECT_TRUE(log.lines().empty()) << notice << "\n" << log.text();
    EXPECT_EQ(stackHeight(c), 0);
}

// Connectors of one process come and go while another reads: each one's writer makes an instance
// and disposes it, and the notice shows the instance's key after that connector is gone. Cyclone
// keeps one copy of each key for its whole domain, made through the type of whichever topic met
// the key first.
TEST(Samples, ANoticeShowsItsKeyAfterTheConnectorThatWroteItIsGone)
{
    Connector c(143, "ShapesLib::ShapeSubscriber");
    ASSERT_NE(c, nullptr);
    for (int round = 0; round < 12; ++round) {
        const std::string color = "C" + std::to_string(round);
        QueltDDSConnector *other = QueltDDSConnector_new("ShapesLib::ShapePublisher", c.xml.path(), nullptr);
        ASSERT_NE(other, nullptr);
        QueltDDSConnector_setStringIntoSamples(other, kWriter, "color", color.c_str());
        // Written until one arrives: the two meet within a few milliseconds.
        EXPECT_TRUE(waitUntil([&] { return QueltDDSConnector_write(other, kWriter, nullptr), QueltDDSConnector_wait(c, 20) == DDS_RETCODE_OK; }));
        QueltDDSConnector_take(c, kReader);
        runLua(other, "CONTAINER.WRITER[1]:dispose()");
        QueltDDSConnector_delete(other);
        ASSERT_GE(takeAtLeast(c, kReader, 1), 1) << "round " << round;
        const int n = int(QueltDDSConnector_getSamplesLength(c, kReader));
        EXPECT_EQ(QueltDDSConnector_getBooleanFromInfos(c, kReader, n, "valid_data"), 0) << "round " << round;
        EXPECT_EQ(got(c, "color", false, n), "0|1|" + color) << "round " << round;
    }
}

TEST(Samples, AnIndexedTableKeptAcrossATakeAndANumberWithoutAnIntegerValueIndexNothing)
{
    Connector c(174, "ShapesLib::Shapes");
    ASSERT_NE(c, nullptr);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 1);
    QueltDDSConnector_write(c, kWriter, nullptr);
    ASSERT_EQ(QueltDDSConnector_wait(c, 5000), DDS_RETCODE_OK);
    EXPECT_EQ(runLua(c, "r = CONTAINER.READER['Sub::SquareReader'] r:take() s, i = r.samples[1], r.infos[1] return s.x, i.valid_data"),
              (std::vector<std::string>{"1", "true"}));
    // Twenty more samples: the next take needs larger buffers, so the old ones are freed.
    for (int k = 0; k < 20; ++k) {
        QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", ("C" + std::to_string(k)).c_str());
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 100 + k);
        QueltDDSConnector_write(c, kWriter, nullptr);
    }
    waitUntil([&] { return QueltDDSConnector_read(c, kReader), QueltDDSConnector_getSamplesLength(c, kReader) == 20; });
    LogCapture log;
    EXPECT_EQ(runLua(c, "r:take() return #r.samples, s.x, i.valid_data, s.color, r.samples[1].x >= 100"),
              (std::vector<std::string>{"20", "nil", "nil", "nil", "true"}));
    EXPECT_EQ(log.lines().size(), 3u) << log.text();
    EXPECT_TRUE(log.contains("the sample was returned to the reader")) << log.text();
    // A plain loan return counts too.
    EXPECT_EQ(runLua(c, "s = r.samples[2] local before = s.x r:take() return before >= 100, s.x"), (std::vector<std::string>{"true", "nil"}));
    // With a sample waiting: NaN, infinities and numbers past the int range, wherever a script
    // may put a number.
    QueltDDSConnector_write(c, kWriter, nullptr);
    ASSERT_EQ(QueltDDSConnector_wait(c, 5000), DDS_RETCODE_OK);
    EXPECT_EQ(runLua(c, R"(
        local r, W = CONTAINER.READER['Sub::SquareReader'], CONTAINER.WRITER
        r:take(0/0)
        r:read(1e300)
        local out = {}
        for _, k in ipairs({0/0, 1/0, -1/0, 1e300, -1e300, 2^31, -2^31 - 1}) do
            out[#out + 1] = tostring(r.samples[k]) .. tostring(r.infos[k]) .. tostring(W[k])
        end
        local iterate = getmetatable(r.samples).__ipairs(r.samples)
        out[#out + 1] = tostring(pcall(iterate, r.samples, 0/0)) .. select('#', iterate(r.samples, 1e300))
        return table.concat(out, ' '))"),
              std::vector<std::string>{"nilnilnil nilnilnil nilnilnil nilnilnil nilnilnil nilnilnil nilnilnil true0"});
    EXPECT_EQ(stackHeight(c), 0);
}

// Keyed samples and a dispose between our two engines, in one process and across two (the
// publisher then is the peer process); a Cyclone writer is batched, and its first sample must
// still arrive without a later write. Domains 188, 189, 230, 231.
struct MixedRow { const char *name; bool twoProcesses, writerOnCyclone; int domain; };
void PrintTo(const MixedRow &row, std::ostream *os) { *os << row.name; }
class MixedEngines : public ::testing::TestWithParam<MixedRow> {};

TEST_P(MixedEngines, KeyedSamplesAndADisposeCrossFromOneEngineToTheOther)
{
    QUELT_SKIP_ON_CYCLONE("each row names its engines");
    const MixedRow &row = GetParam();
    const auto on = [](bool cyclone) { return std::string(" engine=\"") + (cyclone ? "cyclone\"" : "fastdds\""); };
    std::string xml = replaceAll(shapesXml(), "\"ShapePublisher\"", "\"ShapePublisher\"" + on(row.writerOnCyclone));
    xml = replaceAll(xml, "\"ShapeSubscriber\"", "\"ShapeSubscriber\"" + on(!row.writerOnCyclone));
    if (row.writerOnCyclone)
        xml = replaceAll(xml, "</datawriter_qos>", "<cyclone_writer><batching>true</batching></cyclone_writer></datawriter_qos>");
    Connector sub(row.domain, "ShapesLib::ShapeSubscriber", xml);
    ASSERT_NE(sub, nullptr);
    std::unique_ptr<Connector> pub;
    Peer peer;
    if (row.twoProcesses) {
        // Between engines only UDP carries samples: the peer opens no shared memory.
        ASSERT_TRUE(peer.start({QUELT_TEST_PEER, "publish", sub.xml.path()}, {"FASTRTPS_DEFAULT_PROFILES_FILE=" + QUELT_TEST_DATA + "/udp_only.xml"}) &&
                    peer.say("match 1"));
        ASSERT_EQ(peer.expect("matched "), "1");
    } else {
        pub = std::make_unique<Connector>(row.domain, "ShapesLib::ShapePublisher", xml);
        ASSERT_NE(pub->c, nullptr);
        DDS_PublicationMatchedStatus m{};
        ASSERT_TRUE(waitUntil([&] {
            return DDS_DataWriter_get_publication_matched_status(QueltDDSConnector_getWriter(*pub, kWriter), &m) == DDS_RETCODE_OK &&
                   m.current_count > 0;
        }, std::chrono::seconds(10)));
    }
    // Our reader must know the writer too, or it would not take what is written before it does.
    ASSERT_TRUE(waitUntil([&] {
        DDS_SubscriptionMatchedStatus m{};
        return DDS_DataReader_get_subscription_matched_status(QueltDDSConnector_getReader(sub, kReader), &m) == DDS_RETCODE_OK &&
               m.current_count > 0;
    }, std::chrono::seconds(10)));
    const auto write = [&](int from, int n, bool dispose) {
        if (row.twoProcesses)
            return void(peer.say("write " + std::to_string(n)) && (!dispose || peer.say("dispose")));
        for (int x = from; x < from + n; ++x) {
            QueltDDSConnector_setStringIntoSamples(*pub, kWriter, "color", "RED");
            QueltDDSConnector_setNumberIntoSamples(*pub, kWriter, "x", x);
            QueltDDSConnector_write(*pub, kWriter, nullptr);
        }
        if (dispose)
            runLua(*pub, "CONTAINER.WRITER['Pub::SquareWriter']:dispose()");
    };
    // The dispose shows as the instance's state: in a notice of its own, or (Cyclone, when
    // samples of the instance wait unread) in theirs.
    std::vector<std::string> got;
    DDS_InstanceStateMask state = DDS_ALIVE_INSTANCE_STATE;
    const auto take = [&](size_t until, DDS_InstanceStateMask last) {
        return waitUntil([&] {
            QueltDDSConnector_wait(sub, 100);
            QueltDDSConnector_take(sub, kReader);
            for (int i = 1; i <= QueltDDSConnector_getSamplesLength(sub, kReader); ++i) {
                state = DDS_SampleInfoSeq_get_reference(&sub->subscriptionHolders[0].infoSequence, i - 1)->instance_state;
                if (QueltDDSConnector_getBooleanFromInfos(sub, kReader, i, "valid_data") == 1)
                    got.push_back(text(QueltDDSConnector_getStringFromSamples(sub, kReader, i, "color")) + " " +
                                  std::to_string(int(QueltDDSConnector_getNumberFromSamples(sub, kReader, i, "x"))));
            }
            return got.size() >= until && state == last;
        }, std::chrono::seconds(10));
    };
    write(0, 1, false);
    EXPECT_TRUE(take(1, DDS_ALIVE_INSTANCE_STATE)) << "the first sample never came alone";
    write(1, 2, true);
    EXPECT_TRUE(take(3, DDS_NOT_ALIVE_DISPOSED_INSTANCE_STATE)) << "state " << state;
    EXPECT_EQ(got, (std::vector<std::string>{"RED 0", "RED 1", "RED 2"}));
    if (row.twoProcesses) {
        EXPECT_EQ(peer.finish(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, MixedEngines,
                         ::testing::Values(MixedRow{"OneProcessFastddsToCyclone", false, false, 188},
                                           MixedRow{"OneProcessBatchedCycloneToFastdds", false, true, 189},
                                           MixedRow{"TwoProcessesFastddsToCyclone", true, false, 230},
                                           MixedRow{"TwoProcessesBatchedCycloneToFastdds", true, true, 231}),
                         [](const auto &info) { return std::string(info.param.name); });
