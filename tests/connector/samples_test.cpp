// Setting, writing, reading, taking and getting samples through the exported functions.
#include "connector_test_support.h"

#include <algorithm>
#include <cstring>
#include <functional>

using namespace quelt::test;

namespace {

const char *const kWriter = "Pub::SquareWriter";
const char *const kReader = "Sub::SquareReader";


// The result of a call as text, so that one table holds functions of every result type.
using Call = std::function<std::string(QueltDDSConnector *)>;

std::string num(double v) { return std::to_string(v); }

enum Family { kWriterCall, kReaderCall, kContainerCall };

struct FailureRow {
    Family family;
    const char *what;
    Call call;
    const char *context;
    const char *message;
    std::string result; // "" for functions without a result
};

void expectFailureRows(QueltDDSConnector *c, const std::vector<FailureRow> &rows)
{
    for (const FailureRow &row : rows) {
        LogCapture log;
        const std::string result = row.call(c);
        EXPECT_EQ(result, row.result) << row.what;
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << row.what << "\n" << log.text();
        EXPECT_NE(lines[0].find(std::string(row.context) + ": "), std::string::npos) << row.what << ": " << lines[0];
        EXPECT_NE(lines[0].find(row.message), std::string::npos) << row.what << ": " << lines[0];
        if (c) {
            EXPECT_EQ(stackHeight(c), 0) << row.what;
        }
    }
}

const std::string kNoNumber = num(-1.0), kNoBoolean = "-1", kNoText = "(null)";

// Every exported function of this family, called with the given entity and field names; the
// reader's functions log readerMessage, the others message.
std::vector<FailureRow> preconditionRows(const char *entity, const char *field, const char *message,
                                         const char *readerMessage = nullptr)
{
    const char *const rm = readerMessage ? readerMessage : message;
    const bool fieldMissing = field == nullptr;
    std::vector<FailureRow> rows = {
        {kWriterCall, "setNumber", [=](QueltDDSConnector *c) { QueltDDSConnector_setNumberIntoSamples(c, entity, field, 1.0); return std::string(); },
         "QueltDDSConnector_setNumberIntoSamples", message, ""},
        {kWriterCall, "setBoolean", [=](QueltDDSConnector *c) { QueltDDSConnector_setBooleanIntoSamples(c, entity, field, 1); return std::string(); },
         "QueltDDSConnector_setBooleanIntoSamples", message, ""},
        {kWriterCall, "setString", [=](QueltDDSConnector *c) { QueltDDSConnector_setStringIntoSamples(c, entity, field, "v"); return std::string(); },
         "QueltDDSConnector_setStringIntoSamples", message, ""},
        {kReaderCall, "getNumberFromSamples", [=](QueltDDSConnector *c) { return num(QueltDDSConnector_getNumberFromSamples(c, entity, 1, field)); },
         "QueltDDSConnector_getNumberI", rm, kNoNumber},
        {kReaderCall, "getBooleanFromSamples", [=](QueltDDSConnector *c) { return std::to_string(QueltDDSConnector_getBooleanFromSamples(c, entity, 1, field)); },
         "QueltDDSConnector_getBooleanI", rm, kNoBoolean},
        {kReaderCall, "getStringFromSamples", [=](QueltDDSConnector *c) { return text(QueltDDSConnector_getStringFromSamples(c, entity, 1, field)); },
         "QueltDDSConnector_getStringI", rm, kNoText},
        {kReaderCall, "getJSONFromInfos", [=](QueltDDSConnector *c) { return text(QueltDDSConnector_getJSONFromInfos(c, entity, 1, field)); },
         "QueltDDSConnector_getJSONI", rm, kNoText},
    };
    if (!fieldMissing) {
        // Functions that take no field name fail on the connector and the entity only.
        const std::vector<FailureRow> more = {
            {kContainerCall, "clear", [=](QueltDDSConnector *c) { QueltDDSConnector_clear(c, entity); return std::string(); }, "QueltDDSConnector_clear", message, ""},
            {kContainerCall, "write", [=](QueltDDSConnector *c) { QueltDDSConnector_write(c, entity, nullptr); return std::string(); }, "QueltDDSConnector_write", message, ""},
            {kContainerCall, "read", [=](QueltDDSConnector *c) { QueltDDSConnector_read(c, entity); return std::string(); }, "QueltDDSConnector_read", message, ""},
            {kContainerCall, "take", [=](QueltDDSConnector *c) { QueltDDSConnector_take(c, entity); return std::string(); }, "QueltDDSConnector_take", message, ""},
            {kReaderCall, "getSamplesLength", [=](QueltDDSConnector *c) { return num(QueltDDSConnector_getSamplesLength(c, entity)); },
             "QueltDDSConnector_getSeqLengthI", rm, kNoNumber},
            {kWriterCall, "setJSONInstance", [=](QueltDDSConnector *c) { QueltDDSConnector_setJSONInstance(c, entity, "{}"); return std::string(); },
             "QueltDDSConnector_setJSONInstance", message, ""},
            {kWriterCall, "getJSONInstance", [=](QueltDDSConnector *c) { return text(QueltDDSConnector_getJSONInstance(c, entity)); },
             "QueltDDSConnector_getJSONInstance", message, kNoText},
            {kReaderCall, "getJSONSample", [=](QueltDDSConnector *c) { return text(QueltDDSConnector_getJSONSample(c, entity, 1)); },
             "QueltDDSConnector_getJSONSample", rm, kNoText},
        };
        rows.insert(rows.end(), more.begin(), more.end());
    }
    return rows;
}

std::vector<FailureRow> only(Family family, const std::vector<FailureRow> &rows)
{
    std::vector<FailureRow> out;
    std::copy_if(rows.begin(), rows.end(), std::back_inserter(out), [&](const FailureRow &r) { return r.family == family; });
    return out;
}

} // namespace

TEST(Samples, NullConnectorIsAPreconditionFailureOfEveryFunction)
{
    expectFailureRows(nullptr, preconditionRows(kWriter, "x", "!precondition connector is null"));
}

TEST(Samples, MissingNamesArePreconditionFailures)
{
    Connector conn(120, "ShapesLib::Shapes");
    ASSERT_NE(conn.c, nullptr);
    expectFailureRows(conn.c, preconditionRows(nullptr, "x", "!precondition an entityName must be specified"));
    expectFailureRows(conn.c, preconditionRows(kReader, nullptr, "!precondition a fieldName must be specified"));
    // No text is no value: it must not reach the engine as nil, which clears optional members.
    expectFailureRows(conn.c, {{kWriterCall, "setString", [](QueltDDSConnector *c) { QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", nullptr); return std::string(); },
                                "QueltDDSConnector_setStringIntoSamples", "!precondition a value must be specified", ""}});
}

TEST(Samples, GettersRefuseSequencesOtherThanSamplesAndInfos)
{
    Connector conn(121, "ShapesLib::Shapes");
    ASSERT_NE(conn.c, nullptr);
    const char *const message = "!precondition sequenceName must be \"samples\" or \"infos\"";
    for (const char *seq : {static_cast<const char *>(nullptr), "instance", "#sampleSeq", "Samples"}) {
        expectFailureRows(conn.c, {
            {kReaderCall, "number", [=](QueltDDSConnector *c) { return num(QueltDDSConnector_getNumberI(c, kReader, 1, "x", seq)); }, "QueltDDSConnector_getNumberI", message, kNoNumber},
            {kReaderCall, "boolean", [=](QueltDDSConnector *c) { return std::to_string(QueltDDSConnector_getBooleanI(c, kReader, 1, "x", seq)); }, "QueltDDSConnector_getBooleanI", message, kNoBoolean},
            {kReaderCall, "string", [=](QueltDDSConnector *c) { return text(QueltDDSConnector_getStringI(c, kReader, 1, "x", seq)); }, "QueltDDSConnector_getStringI", message, kNoText},
            {kReaderCall, "json", [=](QueltDDSConnector *c) { return text(QueltDDSConnector_getJSONI(c, kReader, 1, "x", seq)); }, "QueltDDSConnector_getJSONI", message, kNoText},
        });
    }
}

TEST(Samples, UnknownEntitiesFailWithoutEffectAndLeaveTheStackEmpty)
{
    Connector conn(122, "ShapesLib::Shapes");
    ASSERT_NE(conn.c, nullptr);
    // A reader's name is no writer's name and the other way round.
    for (const char *writer : {"Pub::Nope", kReader, "", "::"})
        expectFailureRows(conn.c, only(kWriterCall, preconditionRows(writer, "x", "Failed to get writer")));
    for (const char *reader : {"Sub::Nope", kWriter, ""})
        expectFailureRows(conn.c, only(kReaderCall, preconditionRows(reader, "x", "", "Failed to get reader")));
    // The container reports a missing entry of write, clear, read and take itself.
    const std::vector<std::pair<const char *, std::function<void(QueltDDSConnector *)>>> containerCalls = {
        {"write", [](QueltDDSConnector *c) { QueltDDSConnector_write(c, kReader, nullptr); }},
        {"clear", [](QueltDDSConnector *c) { QueltDDSConnector_clear(c, "Pub::Nope"); }},
        {"read", [](QueltDDSConnector *c) { QueltDDSConnector_read(c, kWriter); }},
        {"take", [](QueltDDSConnector *c) { QueltDDSConnector_take(c, "Sub::Nope"); }},
    };
    for (const auto &[what, call] : containerCalls) {
        LogCapture log;
        call(conn.c);
        EXPECT_EQ(stackHeight(conn.c), 0) << what;
        EXPECT_FALSE(log.lines().empty()) << what;
        EXPECT_TRUE(log.contains("a LUA_TTABLE was expected on the top of the stack")) << what << "\n" << log.text();
    }
}

// ---- with samples moving ----

TEST(Samples, GettersBeforeAnyReadFindNoSamples)
{
    Connector conn(124, "ShapesLib::Shapes");
    ASSERT_NE(conn.c, nullptr);
    WarningsOn warnings;
    EXPECT_EQ(QueltDDSConnector_getSamplesLength(conn.c, kReader), 0.0);
    EXPECT_EQ(QueltDDSConnector_getInfosLength(conn.c, kReader), 0.0);
    const struct {
        int index;
        const char *message;
    } rows[] = {{1, "index requested not available"}, {0, "index must be > 0"}, {-1, "index must be > 0"}};
    for (const auto &row : rows) {
        LogCapture log;
        EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(conn.c, kReader, row.index, "x"), -1.0) << row.index;
        EXPECT_EQ(QueltDDSConnector_getBooleanFromInfos(conn.c, kReader, row.index, "valid_data"), -1) << row.index;
        EXPECT_EQ(QueltDDSConnector_getStringFromSamples(conn.c, kReader, row.index, "color"), nullptr) << row.index;
        EXPECT_TRUE(log.contains(row.message)) << row.index << "\n" << log.text();
        EXPECT_EQ(stackHeight(conn.c), 0);
    }
}

namespace {

// Takes until a sample arrives on the connector's own reader (the writer shares the participant).
int takeArrived(QueltDDSConnector *c)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (QueltDDSConnector_wait(c, 200) != DDS_RETCODE_OK)
            continue;
        QueltDDSConnector_take(c, kReader);
        const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(c, kReader));
        if (n > 0)
            return n;
    }
    return 0;
}

} // namespace

TEST(Samples, SetWriteTakeAndGetEveryField)
{
    Connector conn(125, "ShapesLib::Shapes");
    ASSERT_NE(conn.c, nullptr);
    QueltDDSConnector *c = conn.c;
    char color[] = "ORANGE";
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", color);
    std::strcpy(color, "XXXXXX"); // the engine copied the text
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 5);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 17); // the second value counts
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "y", -3);
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "shapesize", "42"); // converted (warning)
    EXPECT_EQ(stackHeight(c), 0);
    QueltDDSConnector_write(c, kWriter, nullptr);
    EXPECT_EQ(stackHeight(c), 0);
    ASSERT_EQ(takeArrived(c), 1);
    EXPECT_EQ(QueltDDSConnector_getInfosLength(c, kReader), 1.0);

    EXPECT_EQ(text(QueltDDSConnector_getStringFromSamples(c, kReader, 1, "color")), "ORANGE");
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "x"), 17.0);
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "y"), -3.0);
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "shapesize"), 42.0);
    EXPECT_EQ(text(QueltDDSConnector_getStringFromSamples(c, kReader, 1, "x")), "17"); // a number's text
    EXPECT_EQ(QueltDDSConnector_getBooleanFromSamples(c, kReader, 1, "x"), 1);          // any number is true
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "color"), 0.0);     // not numeric text
    EXPECT_EQ(QueltDDSConnector_getBooleanFromInfos(c, kReader, 1, "valid_data"), 1);
    EXPECT_EQ(text(QueltDDSConnector_getStringFromInfos(c, kReader, 1, "valid_data")), kNoText); // a boolean has no text
    EXPECT_EQ(stackHeight(c), 0);

    // Failures on a held sample.
    {
        WarningsOn warnings;
        LogCapture log;
        EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "nope"), 0.0);
        EXPECT_EQ(QueltDDSConnector_getStringFromSamples(c, kReader, 1, "nope"), nullptr);
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
    ASSERT_EQ(takeArrived(c), 1);
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "x"), 17.0);
    EXPECT_EQ(text(QueltDDSConnector_getStringFromSamples(c, kReader, 1, "color")), "ORANGE");
    QueltDDSConnector_clear(c, kWriter);
    EXPECT_EQ(stackHeight(c), 0);
    QueltDDSConnector_write(c, kWriter, nullptr);
    ASSERT_EQ(takeArrived(c), 1);
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "x"), 0.0);
    EXPECT_EQ(text(QueltDDSConnector_getStringFromSamples(c, kReader, 1, "color")), "");
}

TEST(Samples, ReadKeepsSamplesAndTakeRemovesThem)
{
    Connector conn(126, "ShapesLib::Shapes");
    ASSERT_NE(conn.c, nullptr);
    QueltDDSConnector *c = conn.c;
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", "RED");
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 9);
    QueltDDSConnector_write(c, kWriter, nullptr);
    ASSERT_EQ(QueltDDSConnector_wait(c, 10000), DDS_RETCODE_OK);
    for (int round = 0; round < 2; ++round) {
        QueltDDSConnector_read(c, kReader);
        ASSERT_EQ(QueltDDSConnector_getSamplesLength(c, kReader), 1.0) << round;
        EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "x"), 9.0) << round;
    }
    QueltDDSConnector_take(c, kReader);
    EXPECT_EQ(QueltDDSConnector_getSamplesLength(c, kReader), 1.0);
    QueltDDSConnector_take(c, kReader);
    EXPECT_EQ(QueltDDSConnector_getSamplesLength(c, kReader), 0.0);
    EXPECT_EQ(stackHeight(c), 0);
}

// The getters and a script's samples[i] must agree, also for a notice, whose members are read
// from its instance's key.
TEST(Samples, ANoticeShowsItsKeyAlikeToGettersAndScripts)
{
    Connector conn(129, "ShapesLib::Shapes");
    ASSERT_NE(conn.c, nullptr);
    QueltDDSConnector *c = conn.c;
    const std::string entries = "local w, r = CONTAINER.WRITER['Pub::SquareWriter'], CONTAINER.READER['Sub::SquareReader'] ";
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", "RED");
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 9);
    QueltDDSConnector_write(c, kWriter, nullptr);
    ASSERT_EQ(takeArrived(c), 1);
    runLua(c, entries + "w:dispose()");
    ASSERT_EQ(takeArrived(c), 1);

    EXPECT_EQ(QueltDDSConnector_getBooleanFromInfos(c, kReader, 1, "valid_data"), 0);
    EXPECT_EQ(text(QueltDDSConnector_getStringFromSamples(c, kReader, 1, "color")), "RED"); // the key
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "x"), 0.0);              // not the key
    EXPECT_EQ(text(QueltDDSConnector_getStringFromSamples(c, kReader, 1, "x")), kNoText);
    EXPECT_EQ(QueltDDSConnector_getBooleanFromSamples(c, kReader, 1, "x"), 0);
    EXPECT_EQ(runLua(c, entries + "return r.samples[1].color, r.samples[1].x, r.infos[1].valid_data"),
              (std::vector<std::string>{"RED", "nil", "false"}));
    EXPECT_EQ(stackHeight(c), 0);
}

TEST(Samples, TheMiddlewareObjectsBehindANameAreHandedOut)
{
    Connector conn(128, "ShapesLib::Shapes");
    ASSERT_NE(conn.c, nullptr);
    QueltDDSConnector *c = conn.c;
    DDS_DynamicDataWriter *w = QueltDDSConnector_getWriter(c, kWriter);
    DDS_DynamicDataReader *r = QueltDDSConnector_getReader(c, kReader);
    ASSERT_NE(w, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(w, QueltDDSConnector_getWriter(c, kWriter));
    EXPECT_EQ(r, QueltDDSConnector_getReader(c, kReader));
    EXPECT_EQ(r, DDS_DomainParticipant_lookup_datareader_by_name(c->participant, kReader));
    EXPECT_EQ(stackHeight(c), 0);
    // Positions work as names do.
    EXPECT_EQ(w, QueltDDSConnector_getWriter(c, "1"));

    const struct {
        bool reader;
        QueltDDSConnector *connector;
        const char *name;
        const char *message; // empty: any message of the table's index lookup
    } rows[] = {
        {true, nullptr, kReader, "connector is null"},
        {false, c, nullptr, "an entityName must be specified"},
        {true, c, kWriter, ""},
        {false, c, kReader, ""},
        {true, c, "Sub::Nope", ""},
    };
    WarningsOn warnings;
    for (const auto &row : rows) {
        LogCapture log;
        void *got = row.reader ? static_cast<void *>(QueltDDSConnector_getReader(row.connector, row.name))
                               : static_cast<void *>(QueltDDSConnector_getWriter(row.connector, row.name));
        EXPECT_EQ(got, nullptr) << (row.name ? row.name : "(null)");
        if (*row.message) {
            EXPECT_TRUE(log.contains(row.message)) << log.text();
        }
        EXPECT_EQ(stackHeight(c), 0);
    }
}

TEST(Samples, AnIndexedTableKeptAcrossATakeRefusesToRead)
{
    Connector conn(174, "ShapesLib::Shapes");
    ASSERT_NE(conn.c, nullptr);
    QueltDDSConnector *c = conn.c;
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 1);
    QueltDDSConnector_write(c, kWriter, nullptr);
    ASSERT_EQ(QueltDDSConnector_wait(c, 5000), DDS_RETCODE_OK);
    EXPECT_EQ(runLua(c, "r = CONTAINER.READER['Sub::SquareReader'] r:take() s, i = r.samples[1], r.infos[1] "
                        "return s.x, i.valid_data"),
              (std::vector<std::string>{"1", "true"}));
    // Twenty more samples: the next take needs larger buffers, so the old ones are freed.
    for (int k = 0; k < 20; ++k) {
        QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", ("C" + std::to_string(k)).c_str());
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 100 + k);
        QueltDDSConnector_write(c, kWriter, nullptr);
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        QueltDDSConnector_read(c, kReader);
        if (QueltDDSConnector_getSamplesLength(c, kReader) == 20)
            break;
        QueltDDSConnector_wait(c, 100);
    }
    LogCapture log;
    EXPECT_EQ(runLua(c, "r:take() return #r.samples, s.x, i.valid_data, s.color, r.samples[1].x >= 100"),
              (std::vector<std::string>{"20", "nil", "nil", "nil", "true"}));
    EXPECT_EQ(log.lines().size(), 3u) << log.text();
    EXPECT_TRUE(log.contains("the sample was returned to the reader")) << log.text();
    // A plain loan return counts too.
    EXPECT_EQ(runLua(c, "s = r.samples[2] local before = s.x r:take() return before >= 100, s.x"),
              (std::vector<std::string>{"true", "nil"}));
    EXPECT_EQ(stackHeight(c), 0);
}

TEST(Samples, NumbersWithoutAnIntegerValueIndexNothing)
{
    Connector conn(175, "ShapesLib::Shapes");
    ASSERT_NE(conn.c, nullptr);
    QueltDDSConnector_setStringIntoSamples(conn.c, kWriter, "color", "RED");
    QueltDDSConnector_write(conn.c, kWriter, nullptr);
    ASSERT_EQ(QueltDDSConnector_wait(conn.c, 5000), DDS_RETCODE_OK);
    // NaN, infinities and numbers past the int range, wherever a script may put a number.
    EXPECT_EQ(runLua(conn.c, R"(
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
    EXPECT_EQ(stackHeight(conn.c), 0);
}
