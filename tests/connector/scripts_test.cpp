// The script runner (registered text and a script file under CONTAINER), the return of loans
// after runs and at deletion, and the context pass-throughs.
#include "connector_test_support.h"

#include <atomic>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>

using namespace quelt::test;

namespace {

// Every return-loan the engine makes goes through the container record: counting it there shows
// which loans the runner and the deletion return.
std::atomic<int> g_returnLoans{0};
DDS_ReturnCode_t countingReturnLoan(DDS_DynamicDataReader *reader, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos)
{
    ++g_returnLoans;
    return QueltLuaDDSConnectionPlugin_return_loan(reader, data, infos);
}

QueltDDSConnector *newCountingConnector(const char *config, const char *file)
{
    QueltLuaContainer record = {};
    QueltLuaDDSConnectionPlugin_init(&record);
    record.return_loan = countingReturnLoan;
    return QueltDDSConnector_newI(nullptr, &record, file, config, nullptr, nullptr);
}

// A script file whose modification time the test sets, so that edits within one second count.
class ScriptFile {
public:
    explicit ScriptFile(const std::string &tag) : path_("/tmp/quelt_script_" + std::to_string(getpid()) + "_" + tag + ".lua") {}
    ~ScriptFile() { unlink(path_.c_str()); }
    void write(const std::string &text)
    {
        std::ofstream(path_, std::ios::trunc) << text;
        const struct timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + ++edits_, 0}};
        utimensat(AT_FDCWD, path_.c_str(), times, 0);
    }
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
    int edits_ = 0;
};

double contextNumber(QueltDDSConnector *c, const char *name)
{
    double value = -1;
    EXPECT_EQ(QueltDDSConnector_getNumberFromContext(c, name, &value), 1) << name;
    return value;
}

const char *const kExchange = R"(
    local w = CONTAINER.WRITER["Pub::SquareWriter"]
    w.instance.color = "RED"
    w.instance.x = CONTAINER.CONTEXT.step
    w:write()
    local r = CONTAINER.READER[1]
    local deadline = CONTAINER.CONTEXT.time_ms() + 5000
    repeat r:take() until #r.samples > 0 or CONTAINER.CONTEXT.time_ms() > deadline
    CONTAINER.CONTEXT.got = #r.samples > 0 and r.samples[1].x or -1
)";

} // namespace

TEST(Scripts, TextRunsUnderContainerAndItsLoansAreReturned)
{
    TempXml xml(shapesXml(), 201);
    g_returnLoans = 0;
    QueltDDSConnector *c = newCountingConnector("ShapesLib::Shapes", xml.path());
    ASSERT_NE(c, nullptr);
    QueltDDSConnector_assertCode(c, kExchange, nullptr, -1);
    for (int step = 1; step <= 2; ++step) {
        ASSERT_EQ(QueltDDSConnector_setNumberIntoContext(c, "step", step), 1);
        const int before = g_returnLoans;
        EXPECT_EQ(QueltDDSConnector_execute(c), 0);
        EXPECT_EQ(contextNumber(c, "got"), step);
        // The run's loan went back through the container: nothing stays loaned.
        EXPECT_EQ(g_returnLoans - before, 1);
        EXPECT_EQ(QueltDDSConnector_getSamplesLength(c, "Sub::SquareReader"), 0.0);
        EXPECT_EQ(stackHeight(c), 0);
    }
    QueltDDSConnector_delete(c);
}

TEST(Scripts, ReturnCodesAndMessages)
{
    Connector c(202, "ShapesLib::Shapes"); // sets the factory's file for the connectors of the rows
    ASSERT_NE(c, nullptr);
    const struct {
        const char *script;
        int rc;
        const char *logged; // piece of the log, "" for none
        const char *file = nullptr;
    } rows[] = {
        {"CONTAINER.CONTEXT.ran = (CONTAINER.CONTEXT.ran or 0) + 1", 0, ""},
        {"return 1", -1, "!execute script"},
        {"this is not Lua", 0, "!open [string \"this is not Lua\"]:1:"},
        {"\nlocal t = nil\nreturn t.x", LUA_ERRRUN, "!execute [string \"...\"]:3: attempt to index local 't'"},
        {"error({})", LUA_ERRRUN, "(error object is not a string)"},
        // A missing file with nothing cached.
        {nullptr, 0, "!open cannot open /nonexistent/quelt.lua", "/nonexistent/quelt.lua"},
    };
    for (const auto &row : rows) {
        // Each row needs an engine without a cached text: a fresh connector on the same domain.
        QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::Shapes", nullptr, nullptr);
        ASSERT_NE(c, nullptr);
        QueltDDSConnector_assertCode(c, row.script, row.file, 3);
        LogCapture log;
        EXPECT_EQ(QueltDDSConnector_execute(c), row.rc) << row.logged;
        EXPECT_TRUE(logged(log, row.logged));
        EXPECT_EQ(stackHeight(c), 0) << row.logged;
        // The host goes on: a second run behaves the same (a text that does not compile is
        // compiled again).
        log.clear();
        EXPECT_EQ(QueltDDSConnector_execute(c), row.rc) << row.logged;
        QueltDDSConnector_delete(c);
    }
}

TEST(Scripts, TheFirstTextStaysInForceAndAFailedTextSkipsTheFile)
{
    Connector c(203, "ShapesLib::Shapes");
    ASSERT_NE(c, nullptr);
    ScriptFile file("text_then_file");
    file.write("CONTAINER.CONTEXT.file = (CONTAINER.CONTEXT.file or 0) + 1");
    QueltDDSConnector_assertCode(c, "CONTAINER.CONTEXT.text = (CONTAINER.CONTEXT.text or 0) + 1", file.path(), -1);
    EXPECT_EQ(QueltDDSConnector_execute(c), 0);
    {
        LogCapture log;
        QueltDDSConnector_assertCode(c, "return true", file.path(), -1);
        EXPECT_TRUE(log.contains("a script text is compiled already: it stays in force")) << log.text();
    }
    EXPECT_EQ(QueltDDSConnector_execute(c), 0);
    EXPECT_EQ(contextNumber(c, "text"), 2.0);
    EXPECT_EQ(contextNumber(c, "file"), 2.0);
    // Another file replaces the cached chunk of the first from the next execute on.
    ScriptFile second("second");
    second.write("CONTAINER.CONTEXT.file = -1");
    QueltDDSConnector_assertCode(c, nullptr, second.path(), -1);
    EXPECT_EQ(QueltDDSConnector_execute(c), 0);
    EXPECT_EQ(contextNumber(c, "file"), -1.0);

    QueltDDSConnector *other = QueltDDSConnector_new("ShapesLib::Shapes", nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    QueltDDSConnector_assertCode(other, "return true", file.path(), -1);
    EXPECT_EQ(QueltDDSConnector_execute(other), -1);
    EXPECT_EQ(contextNumber(other, "file"), 0.0);
    QueltDDSConnector_delete(other);
}

TEST(Scripts, AnEditedFileIsPickedUpAndABrokenEditKeepsTheLastGoodOne)
{
    Connector c(204, "ShapesLib::Shapes");
    ASSERT_NE(c, nullptr);
    ScriptFile file("reload");
    file.write("CONTAINER.CONTEXT.version = 1");
    QueltDDSConnector_assertCode(c, nullptr, file.path(), 0); // check at every execute
    const std::string path = file.path();
    // The host executes periodically while the file is edited between runs.
    const struct {
        const char *edit; // null: no edit before this run
        double version;
        const char *logged;
    } runs[] = {
        {nullptr, 1, ""}, {nullptr, 1, ""}, {"CONTAINER.CONTEXT.version = 2", 2, ""}, {nullptr, 2, ""},
        {"CONTAINER.CONTEXT.version = \n\n= 3", 2, ":3: unexpected symbol"}, {nullptr, 2, ""}, // reported once
        {"local n = nil\nCONTAINER.CONTEXT.version = n + 4", 2, ":2: attempt to perform arithmetic"}, {"CONTAINER.CONTEXT.version = 5", 5, ""},
    };
    for (const auto &run : runs) {
        if (run.edit)
            file.write(run.edit);
        LogCapture log;
        QueltDDSConnector_execute(c);
        EXPECT_EQ(contextNumber(c, "version"), run.version) << (run.edit ? run.edit : "(no edit)");
        EXPECT_TRUE(logged(log, *run.logged ? path + run.logged : ""));
        EXPECT_EQ(stackHeight(c), 0);
    }
    // A long period: the edit is not looked at yet.
    QueltDDSConnector_assertCode(c, nullptr, file.path(), 100);
    file.write("CONTAINER.CONTEXT.version = 6");
    EXPECT_EQ(QueltDDSConnector_execute(c), 0);
    EXPECT_EQ(contextNumber(c, "version"), 5.0);
    // Load once: never looked at again.
    QueltDDSConnector_assertCode(c, nullptr, file.path(), -1);
    EXPECT_EQ(QueltDDSConnector_execute(c), 0);
    EXPECT_EQ(contextNumber(c, "version"), 5.0);
}

TEST(Scripts, DeletionReturnsEveryReadersLoan)
{
    TempXml xml(testXml(), 206);
    g_returnLoans = 0;
    QueltDDSConnector *c = newCountingConnector("TestLib::Ordered", xml.path());
    ASSERT_NE(c, nullptr);
    // A run that returns a value keeps its loans; deletion returns all four readers' loans.
    QueltDDSConnector_assertCode(c, "for i = 1, #CONTAINER.READER do CONTAINER.READER[i]:take() end return 0", nullptr, -1);
    EXPECT_EQ(QueltDDSConnector_execute(c), -1);
    const int afterRun = g_returnLoans;
    QueltDDSConnector_delete(c);
    EXPECT_EQ(g_returnLoans - afterRun, 4);
}

TEST(Context, PassThroughsStoreAndReadValues)
{
    Connector c(207, "ShapesLib::Shapes");
    ASSERT_NE(c, nullptr);
    const char *text = nullptr;
    unsigned char flag = 7;
    EXPECT_EQ(QueltDDSConnector_setNumberIntoContext(c, "x", 2.5), 1);
    EXPECT_EQ(QueltDDSConnector_setStringIntoContext(c, "s", "abc"), 1);
    EXPECT_EQ(QueltDDSConnector_setBooleanIntoContext(c, "b", 5), 1);
    EXPECT_EQ(contextNumber(c, "x"), 2.5);
    EXPECT_EQ(contextNumber(c, "never"), 0.0);
    EXPECT_EQ(QueltDDSConnector_getStringFromContext(c, "s", &text), 1);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(QueltDDSConnector_getStringFromContext(c, "x", &text), 1);
    EXPECT_STREQ(text, "2.5");
    EXPECT_EQ(QueltDDSConnector_getBooleanFromContext(c, "b", &flag), 1);
    EXPECT_EQ(flag, 1);
    {
        LogCapture log;
        flag = 7;
        EXPECT_EQ(QueltDDSConnector_getBooleanFromContext(c, "x", &flag), 0);
        EXPECT_EQ(flag, 7);
        EXPECT_TRUE(log.contains("'x' not found")) << log.text();
    }
    // A function is callable from scripts.
    EXPECT_EQ(QueltDDSConnector_setFunctionIntoContext(c, "twice", [](lua_State *L) { return lua_pushnumber(L, 2 * luaL_checknumber(L, 1)), 1; }), 1);
    QueltDDSConnector_assertCode(c, "CONTAINER.CONTEXT.y = CONTAINER.CONTEXT.twice(CONTAINER.CONTEXT.x)", nullptr, -1);
    EXPECT_EQ(QueltDDSConnector_execute(c), 0);
    EXPECT_EQ(contextNumber(c, "y"), 5.0);
    EXPECT_EQ(stackHeight(c), 0);
}

// The exported setters and getters go where the engine's tables lead, also when a script moved
// a writer's instance or a reader's samples aside: then they reach no sample.
TEST(Scripts, ExportedAccessFollowsTheTablesAScriptChanged)
{
    Connector c(44, "ShapesLib::Shapes");
    ASSERT_NE(c, nullptr);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 3);
    QueltDDSConnector_write(c, kWriter, nullptr);
    ASSERT_EQ(takeAtLeast(c, kReader, 1), 1);
    // Read and set through the tables as they are, right before the script changes them.
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "x"), 3.0);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 3);
    // The changes come from the connector's own script, run twice: it replaces the writer's
    // instance and the reader's samples, then puts them back. It returns a value, so the loans
    // stay (execute says -1).
    QueltDDSConnector_assertCode(c,
                                 "if not W then W, R = CONTAINER.WRITER[1], CONTAINER.READER[1] instance, samples = W.instance, R.samples "
                                 "W.instance = setmetatable({}, getmetatable(instance)) R.samples = setmetatable({}, getmetatable(samples)) "
                                 "else W.instance, R.samples = instance, samples end return true",
                                 nullptr, -1);
    EXPECT_EQ(QueltDDSConnector_execute(c), -1);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", 5);
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", "BLUE");
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "x"), -1.0);
    EXPECT_EQ(text(QueltDDSConnector_getStringFromSamples(c, kReader, 1, "color")), "(null)");
    EXPECT_EQ(QueltDDSConnector_execute(c), -1);
    EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(c, kReader, 1, "x"), 3.0);
    EXPECT_EQ(text(QueltDDSConnector_getJSONInstance(c, kWriter)), R"({"color":"","x":3,"y":0,"shapesize":0})");
    EXPECT_EQ(stackHeight(c), 0);
}

TEST(Scripts, OverwrittenEngineTablesGiveALogLineAndNil)
{
    TempXml xml(shapesXml(), 214);
    // Setup: a sample taken into the reader's samples table, with W and R at hand.
    const std::string prologue = R"(
        local W, R = CONTAINER.WRITER[1], CONTAINER.READER[1]
        W.instance.color = "RED"
        W:write()
        R:take()
        assert(#R.samples == 1)
    )";
    const struct {
        const char *script; // returns what the damaged operation gave
        const char *logged;
    } rows[] = {
        {"R.samples = 1 return R:take()", "QueltLuaContainer_In: a LUA_TTABLE was expected on the top of the stack"},
        {"W.instance = 5 return W:write()", "QueltLuaContainer_Out: a LUA_TTABLE was expected on the top of the stack"},
        {"_G['#input_already_indexed_mt'] = 5 return R.samples[1]", "'#input_already_indexed_mt' not found"},
        {"_G['#info_already_indexed_mt'] = nil return R.infos[1]", "'#info_already_indexed_mt' not found"},
        {"return getmetatable(R.samples).__index(5, 1)", "QueltLuaMetamethodImpl_InDataIndexing: a LUA_TTABLE was expected in position 1"},
        {"local s = R.samples[1] return getmetatable(s).__index(5, 'x')",
         "QueltLuaMetamethodImpl_InDataDereference: a LUA_TTABLE was expected in position 1"},
        {"CONTAINER.CONTEXT = 5 return CONTAINER.READER[1]", "'CONTEXT' not found"},
        // Seen by the exported functions below.
        {"CONTAINER.WRITER['Pub::SquareWriter'] = 5 CONTAINER.WRITER.x = 5", "Failed to get writer"},
    };
    for (const auto &row : rows) {
        QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::Shapes", xml.path(), nullptr);
        ASSERT_NE(c, nullptr);
        LogCapture log;
        const std::vector<std::string> result = runLua(c, prologue + row.script);
        EXPECT_TRUE(result.empty() || result == std::vector<std::string>{"nil"}) << row.script;
        // The exported functions, the runner and the deletion meet the damage without a crash.
        QueltDDSConnector_setStringIntoSamples(c, "Pub::SquareWriter", "color", "BLUE");
        QueltDDSConnector_write(c, "Pub::SquareWriter", nullptr);
        QueltDDSConnector_take(c, "Sub::SquareReader");
        QueltDDSConnector_getNumberFromSamples(c, "Sub::SquareReader", 1, "x");
        QueltDDSConnector_getReader(c, "Sub::SquareReader");
        QueltDDSConnector_assertCode(c, "local r = CONTAINER.READER[1] r:take() return r.samples[1]", nullptr, -1);
        QueltDDSConnector_execute(c);
        QueltDDSConnector_assertCode(c, nullptr, nullptr, -1);
        QueltDDSConnector_execute(c);
        EXPECT_EQ(stackHeight(c), 0) << row.script;
        EXPECT_TRUE(log.contains(row.logged)) << row.script << "\n" << log.text();
        QueltDDSConnector_delete(c);
    }
}
