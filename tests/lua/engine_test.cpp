// Engine creation and layout, input and output entries, context values, the Lua connector and the
// connection plugin record.
#include <string>

#include "Common.h"
#include "Connector.h"
#include "DDSConnectionPlugin.h"
#include "Engine.h"
#include "lua/lua_test_support.h"

namespace {

using quelt_test::LogCapture;
using quelt_test::runLua;

int g_owner;

// The plugin's record, except that returning a loan (which deleting an engine does for every
// reader) does not reach the middleware with the fake pointers below.
QueltLuaContainer pluginRecord() {
    QueltLuaContainer record = {};
    QueltLuaDDSConnectionPlugin_init(&record);
    record.userData = &g_owner;
    record.return_loan = [](DDS_DynamicDataReader *, DDS_DynamicDataSeq *, DDS_SampleInfoSeq *) {
        return DDS_RETCODE_OK;
    };
    return record;
}

// Fake entity pointers: the engine only stores them.
template <typename T>
T *fake(uintptr_t n) {
    return reinterpret_cast<T *>(n * 16);
}

TEST(LuaEngineCreate, OwnStateHasTheWholeLayout) {
    LogCapture capture;
    const QueltLuaContainer record = pluginRecord();
    QueltLuaEngine *engine = QueltLuaEngine_new(&record, nullptr);
    ASSERT_NE(engine, nullptr);
    lua_State *L = engine->L;
    EXPECT_EQ(engine->ownsState, 1);
    EXPECT_EQ(lua_gettop(L), 0);
    // The copy owns its name and does not keep the owner; the owner is in CONTEXT.
    EXPECT_STREQ(engine->container.name, "CONTAINER");
    EXPECT_NE(engine->container.name, record.name);
    EXPECT_EQ(engine->container.userData, nullptr);
    EXPECT_EQ(engine->container.take, record.take);
    EXPECT_NE(engine->lastCheck.sec, 0);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromContext(L, "#plugin_lud"), &g_owner);

    EXPECT_EQ(runLua(L, R"(
        local C = CONTAINER
        assert(type(C) == "table")
        assert(rawequal(C.READER, C.INPUT) and type(C.READER) == "table")
        assert(rawequal(C.WRITER, C.OUTPUT) and type(C.WRITER) == "table")
        assert(not rawequal(C.READER, C.WRITER))
        assert(#C.READER == 0 and #C.WRITER == 0)
        assert(C.CONTEXT.intentExit == false)
        assert(type(C.CONTEXT.LOG.Exception) == "function")
        assert(type(C.CONTEXT.LOG.Warning) == "function")
        assert(type(C.CONTEXT["#plugin_lud"]) == "userdata")
        assert(next(C.CONTEXT["#input_map"]) == nil and next(C.CONTEXT["#output_map"]) == nil)
        assert(getmetatable(C.READER).__index and getmetatable(C.WRITER).__len)
        assert(string and table and math and io) -- standard libraries are open
    )"),
              "");
    EXPECT_EQ(lua_gettop(L), 0);
    QueltLuaEngine_delete(engine);
    QueltLuaEngine_delete(nullptr);
    EXPECT_TRUE(capture.lines().empty());
}

// Texts the registry of L holds (interned keys among them).
int registryTexts(lua_State *L) {
    int count = 0;
    lua_pushnil(L);
    while (lua_next(L, LUA_REGISTRYINDEX) != 0) {
        count += lua_type(L, -1) == LUA_TSTRING;
        lua_pop(L, 1);
    }
    return count;
}

TEST(LuaEngineCreate, CallerStateIsBorrowedAndOutlivesTheEngine) {
    LogCapture capture;
    lua_State *L = luaL_newstate();
    const int textsBefore = registryTexts(L);
    QueltLuaContainer record = pluginRecord();
    record.name = const_cast<char *>("MAIN");
    QueltLuaEngine *engine = QueltLuaEngine_new(&record, L);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->L, L);
    EXPECT_EQ(engine->ownsState, 0);
    EXPECT_EQ(lua_gettop(L), 0);
    EXPECT_EQ(runLua(L, "assert(rawequal(MAIN.READER, MAIN.INPUT)); assert(CONTAINER == nil)"), "");

    // A second engine on the same state takes over the state.
    QueltLuaEngine *second = QueltLuaEngine_new(&record, L);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(QueltLuaCommon_getEngineReferenceFromRegistry(L), second);
    QueltLuaEngine_delete(second);
    // The first engine's interned keys outlive the second's.
    QueltLuaEngine_pushKey(engine, L, QUELT_LUA_KEY_SAMPLE_SEQ);
    EXPECT_STREQ(lua_tostring(L, -1), "#sampleSeq");
    lua_pop(L, 1);

    QueltLuaEngine_delete(engine);
    // The state is still usable, no longer leads to a freed engine and holds no key of either.
    EXPECT_EQ(runLua(L, "x = 1 + 1"), "");
    EXPECT_EQ(QueltLuaCommon_getEngineReferenceFromRegistry(L), nullptr);
    EXPECT_EQ(registryTexts(L), textsBefore);
    lua_close(L);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(LuaEngineCreate, WithoutANameTheMainTableIsReachedThroughTheRegistry) {
    LogCapture capture;
    QueltLuaContainer record = pluginRecord();
    record.name = nullptr;
    QueltLuaEngine *engine = QueltLuaEngine_new(&record, nullptr);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->container.name, nullptr);
    EXPECT_EQ(runLua(engine->L, "assert(CONTAINER == nil)"), "");
    ASSERT_EQ(QueltLuaCommon_pushTableOnTopFromMainTable(engine, "WRITER"), 1);
    lua_settop(engine->L, 0);
    EXPECT_EQ(QueltLuaEngine_assertOutput(engine, "p::w", 0, nullptr, nullptr), 1);
    QueltLuaEngine_delete(engine);

    // A null record gives an engine without operations or global.
    engine = QueltLuaEngine_new(nullptr, nullptr);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->container.take, nullptr);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromContext(engine->L, "#plugin_lud"), nullptr);
    QueltLuaEngine_delete(engine);
}

class LuaEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QueltLuaContainer record = pluginRecord();
        engine = QueltLuaEngine_new(&record, nullptr);
        ASSERT_NE(engine, nullptr);
        L = engine->L;
    }
    void TearDown() override {
        EXPECT_EQ(lua_gettop(L), 0);
        QueltLuaEngine_delete(engine);
    }
    LogCapture capture;
    QueltLuaEngine *engine = nullptr;
    lua_State *L = nullptr;
};

TEST_F(LuaEngineTest, OutputEntriesAreFoundByNameAndPosition) {
    ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "pub::a", 0, fake<DDS_DynamicData>(1), fake<DDS_DynamicDataWriter>(2)), 1);
    ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "pub::b", 1, nullptr, nullptr), 1);
    ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "pub::c", 2, fake<DDS_DynamicData>(3), fake<DDS_DynamicDataWriter>(4)), 1);
    EXPECT_EQ(lua_gettop(L), 0);
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(L, QUELT_LUA_OUTPUT_MAP), 3);

    lua_pushlightuserdata(L, fake<void>(1));
    lua_setglobal(L, "instanceA");
    lua_pushlightuserdata(L, fake<void>(4));
    lua_setglobal(L, "writerC");
    EXPECT_EQ(runLua(L, R"(
        local W = CONTAINER.WRITER
        assert(#W == 3 and #CONTAINER.OUTPUT == 3)
        assert(rawequal(W[1], W["pub::a"]) and rawequal(W[3], W["pub::c"]))
        assert(rawequal(CONTAINER.OUTPUT[2], W["pub::b"]))
        local a = W["pub::a"]
        for _, f in ipairs({"write", "unregister", "dispose", "clear_members"}) do
          assert(type(a[f]) == "function", f)
        end
        assert(getmetatable(a.instance) == _G["#output_mt"])
        assert(rawget(a.instance, "#sample") == instanceA)
        assert(#a.instance == 1)
        local b = W["pub::b"]
        assert(rawget(b.instance, "#sample") == nil and rawget(b, "#writer") == nil)
        assert(#b.instance == 0)
        assert(rawget(W[3], "#writer") == writerC)
        assert(getmetatable(a) == nil)
    )"),
              "");
    EXPECT_TRUE(capture.lines().empty());

    // Unregistered positions and names are nil, with warnings that need the warning level.
    QueltLuaLog_setVerbosity(0xFFFF, 1);
    EXPECT_EQ(runLua(L, "assert(CONTAINER.WRITER[0] == nil and CONTAINER.WRITER[99] == nil)"), "");
    EXPECT_TRUE(capture.contains("No alias was found for index 99"));
    EXPECT_TRUE(capture.contains("No alias was found for index 0"));
    capture.clear();
    EXPECT_EQ(runLua(L, "assert(CONTAINER.WRITER['pub::zz'] == nil)"), "");
    EXPECT_TRUE(capture.contains("a LUA_TNUMBER was expected on the top of the stack"));
}

TEST_F(LuaEngineTest, AssertingAgainRebindsWithoutANewAlias) {
    ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "pub::a", 0, fake<DDS_DynamicData>(1), fake<DDS_DynamicDataWriter>(2)), 1);
    ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "pub::a", 5, nullptr, fake<DDS_DynamicDataWriter>(7)), 1);
    ASSERT_EQ(QueltLuaEngine_assertInput(engine, "sub::r", 0, fake<DDS_DynamicDataSeq>(1), fake<DDS_SampleInfoSeq>(2),
                                         fake<DDS_DynamicData>(3), fake<DDS_DynamicDataReader>(4)),
              1);
    ASSERT_EQ(QueltLuaEngine_assertInput(engine, "sub::r", 3, fake<DDS_DynamicDataSeq>(5), fake<DDS_SampleInfoSeq>(6),
                                         fake<DDS_DynamicData>(7), fake<DDS_DynamicDataReader>(8)),
              1);
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(L, QUELT_LUA_OUTPUT_MAP), 1);
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(L, QUELT_LUA_INPUT_MAP), 1);
    lua_pushlightuserdata(L, fake<void>(7));
    lua_setglobal(L, "seven");
    lua_pushlightuserdata(L, fake<void>(8));
    lua_setglobal(L, "eight");
    EXPECT_EQ(runLua(L, R"(
        local a = CONTAINER.WRITER[1]
        assert(rawget(a.instance, "#sample") == nil and #a.instance == 0)
        assert(rawget(a, "#writer") == seven)
        local r = CONTAINER.READER[1]
        assert(rawget(r, "#reader") == eight)
        assert(rawget(r.samples, "#keyHolder") == seven and rawget(r.infos, "#reader") == eight)
    )"),
              "");
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(LuaEngineTest, InputEntriesCarryTheReaderBuffers) {
    ASSERT_EQ(QueltLuaEngine_assertInput(engine, "sub::r1", 0, fake<DDS_DynamicDataSeq>(1), fake<DDS_SampleInfoSeq>(2),
                                         nullptr, fake<DDS_DynamicDataReader>(4)),
              1);
    ASSERT_EQ(QueltLuaEngine_assertInput(engine, "sub::r2", 1, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(lua_gettop(L), 0);
    lua_pushlightuserdata(L, fake<void>(1));
    lua_setglobal(L, "dataSeq");
    lua_pushlightuserdata(L, fake<void>(2));
    lua_setglobal(L, "infoSeq");
    lua_pushlightuserdata(L, fake<void>(4));
    lua_setglobal(L, "reader");
    lua_pushlightuserdata(L, nullptr);
    lua_setglobal(L, "null");
    EXPECT_EQ(runLua(L, R"(
        local R = CONTAINER.READER
        assert(#R == 2 and #CONTAINER.INPUT == 2)
        local e = R[1]
        assert(rawequal(e, R["sub::r1"]) and rawequal(R[2], CONTAINER.INPUT["sub::r2"]))
        assert(type(e.read) == "function" and type(e.take) == "function")
        assert(getmetatable(e.samples) == _G["#input_mt"])
        assert(getmetatable(e.infos) == _G["#info_mt"])
        assert(rawget(e, "#reader") == reader)
        for _, t in ipairs({e.samples, e.infos}) do
          assert(rawget(t, "#sampleSeq") == dataSeq and rawget(t, "#infoSeq") == infoSeq)
          assert(rawget(t, "#reader") == reader)
          assert(rawget(t, "#keyHolder") == nil)
          assert(rawget(t, "#sample") == null and rawget(t, "#info") == null)
        end
        local e2 = R[2]
        assert(rawget(e2, "#reader") == nil and rawget(e2.samples, "#sampleSeq") == nil)
        assert(rawget(e2.infos, "#sample") == null)
    )"),
              "");
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(LuaEngineTest, EntryFailuresLeaveTheStackAsFound) {
    EXPECT_EQ(QueltLuaEngine_assertOutput(engine, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(QueltLuaEngine_assertOutput(nullptr, "x", 0, nullptr, nullptr), 0);
    EXPECT_EQ(QueltLuaEngine_assertInput(engine, nullptr, 0, nullptr, nullptr, nullptr, nullptr), 0);

    // A script that damaged the layout: metatables and tables gone.
    ASSERT_EQ(runLua(L, "_G['#output_mt'] = nil; _G['#info_mt'] = 1"), "");
    capture.clear();
    lua_pushstring(L, "caller's value");
    EXPECT_EQ(QueltLuaEngine_assertOutput(engine, "p::w", 0, nullptr, nullptr), 0);
    EXPECT_TRUE(capture.contains("LUA_TTABLE '#output_mt' not found"));
    EXPECT_EQ(QueltLuaEngine_assertInput(engine, "s::r", 0, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(capture.contains("LUA_TTABLE '#info_mt' not found"));
    EXPECT_EQ(lua_gettop(L), 1);
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(L, QUELT_LUA_OUTPUT_MAP), 0); // no alias on failure

    ASSERT_EQ(runLua(L, "CONTAINER.WRITER = nil; rawset(CONTAINER, 'READER', nil)"), "");
    capture.clear();
    EXPECT_EQ(QueltLuaEngine_assertOutput(engine, "p::w", 0, nullptr, nullptr), 0);
    EXPECT_EQ(QueltLuaEngine_assertInput(engine, "s::r", 0, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(capture.contains("QueltLuaEngine_assertOutput: LUA_TTABLE 'WRITER' not found"));
    EXPECT_TRUE(capture.contains("QueltLuaEngine_assertInput: LUA_TTABLE 'READER' not found"));
    EXPECT_EQ(lua_gettop(L), 1);
    lua_settop(L, 0);
}

int addOne(lua_State *L) {
    lua_pushnumber(L, luaL_checknumber(L, 1) + 1);
    return 1;
}

TEST_F(LuaEngineTest, ContextValuesAreSharedWithScripts) {
    EXPECT_EQ(QueltLuaEngine_assertNumberIntoContext(engine, "x", 2.5), 1);
    EXPECT_EQ(QueltLuaEngine_assertStringIntoContext(engine, "s", "abc"), 1);
    EXPECT_EQ(QueltLuaEngine_assertBooleanIntoContext(engine, "b", 1), 1);
    EXPECT_EQ(QueltLuaEngine_assertFunctionIntoContext(engine, "f", addOne), 1);
    EXPECT_EQ(lua_gettop(L), 0);
    EXPECT_EQ(runLua(L, R"(
        local C = CONTAINER.CONTEXT
        assert(C.x == 2.5 and C.s == "abc" and C.b == true and C.f(1) == 2)
        C.seven = 7
        C.flag = false
        C.x = "replaced by a string"
    )"),
              "");

    double number = -1;
    EXPECT_EQ(QueltLuaEngine_getNumberFromContext(engine, "y", &number), 1); // never stored
    EXPECT_EQ(number, 0.0);
    EXPECT_EQ(QueltLuaEngine_getNumberFromContext(engine, "seven", &number), 1);
    EXPECT_EQ(number, 7.0);
    const char *text = nullptr;
    EXPECT_EQ(QueltLuaEngine_getStringFromContext(engine, "seven", &text), 1);
    EXPECT_STREQ(text, "7");
    EXPECT_EQ(runLua(L, "assert(type(CONTAINER.CONTEXT.seven) == 'number')"), "");
    EXPECT_EQ(QueltLuaEngine_getStringFromContext(engine, "x", &text), 1);
    EXPECT_STREQ(text, "replaced by a string");
    text = "untouched";
    EXPECT_EQ(QueltLuaEngine_getStringFromContext(engine, "missing", &text), 1);
    EXPECT_STREQ(text, "untouched");
    uint8_t flag = 9;
    EXPECT_EQ(QueltLuaEngine_getBooleanFromContext(engine, "flag", &flag), 1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(QueltLuaEngine_getBooleanFromContext(engine, "b", &flag), 1);
    EXPECT_EQ(flag, 1);
    EXPECT_TRUE(capture.lines().empty());

    flag = 9;
    EXPECT_EQ(QueltLuaEngine_getBooleanFromContext(engine, "seven", &flag), 0);
    EXPECT_EQ(flag, 9);
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_NE(capture.lines()[0].find("LUA_TBOOLEAN 'seven' not found"), std::string::npos);
    EXPECT_NE(capture.lines()[1].find("LUA_TTABLE 'seven' not found"), std::string::npos);
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(LuaEngineTest, ContextFailuresAreReported) {
    ASSERT_EQ(runLua(L, "CONTAINER.CONTEXT = nil"), "");
    capture.clear();
    double number = 0;
    uint8_t flag = 0;
    const char *text = nullptr;
    EXPECT_EQ(QueltLuaEngine_assertNumberIntoContext(engine, "x", 1), 0);
    EXPECT_EQ(QueltLuaEngine_getNumberFromContext(engine, "x", &number), 0);
    EXPECT_EQ(QueltLuaEngine_getBooleanFromContext(engine, "x", &flag), 0);
    EXPECT_EQ(QueltLuaEngine_getStringFromContext(engine, "x", &text), 0);
    EXPECT_EQ(QueltLuaEngine_assertStringIntoContext(nullptr, "x", "v"), 0);
    EXPECT_EQ(capture.count("QueltLuaEngine_assertNumberIntoContext: LUA_TTABLE 'CONTEXT' not found"), 1);
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(LuaEngineTest, ScriptLogFunctionsFollowTheLevels) {
    EXPECT_EQ(runLua(L, R"(
        local r = {CONTAINER.CONTEXT.LOG.Exception("ignored", "x")}
        assert(#r == 0)
        CONTAINER.CONTEXT.LOG.Warning("w")
    )"),
              "");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"x\n"}));
    capture.clear();
    QueltLuaLog_setVerbosity(0xFFFF, 1);
    EXPECT_EQ(runLua(L, "CONTAINER.CONTEXT.LOG.Warning(12)"), "");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"12\n"}));
}

TEST_F(LuaEngineTest, IndexedTablesHaveNoLength) {
    EXPECT_EQ(runLua(L, R"(
        assert(#setmetatable({}, _G["#input_already_indexed_mt"]) == nil)
        assert(#setmetatable({}, _G["#info_already_indexed_mt"]) == nil)
    )"),
              "");
    EXPECT_EQ(capture.count("operation length is not supported"), 2);
}

TEST_F(LuaEngineTest, EntriesWithoutBuffersFailQuietlyForScripts) {
    ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "p::w", 0, nullptr, fake<DDS_DynamicDataWriter>(2)), 1);
    ASSERT_EQ(QueltLuaEngine_assertInput(engine, "s::r", 0, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(runLua(L, R"(
        local w = CONTAINER.WRITER[1]
        w:write()
        assert(w.instance.x == nil)
        for i, s in ipairs(CONTAINER.READER[1].samples) do error("no samples expected") end
    )"),
              "");
    // No instance bound: the write is refused, and reading a member yields nil without a message.
    EXPECT_TRUE(capture.contains("QueltLuaContainer_Out: a LUA_TUSERDATA was expected")) << capture.text();
    EXPECT_FALSE(capture.contains("QueltLuaDynamicData_get"));
    EXPECT_TRUE(capture.contains("dataSequence is NULL"));
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST(LuaConnector, WrapsOneEngine) {
    LogCapture capture;
    const QueltLuaContainer record = pluginRecord();
    QueltLuaConnector *connector = QueltLuaConnector_new(nullptr, &record);
    ASSERT_NE(connector, nullptr);
    ASSERT_NE(connector->engine, nullptr);
    EXPECT_EQ(QueltLuaConnector_setNumberIntoContext(connector, "n", 4), 1);
    EXPECT_EQ(QueltLuaConnector_setStringIntoContext(connector, "s", "t"), 1);
    EXPECT_EQ(QueltLuaConnector_setBooleanIntoContext(connector, "b", 1), 1);
    EXPECT_EQ(QueltLuaConnector_setFunctionIntoContext(connector, "f", addOne), 1);
    double n = 0;
    const char *s = nullptr;
    uint8_t b = 0;
    EXPECT_EQ(QueltLuaConnector_getNumberFromContext(connector, "n", &n), 1);
    EXPECT_EQ(QueltLuaConnector_getStringFromContext(connector, "s", &s), 1);
    EXPECT_EQ(QueltLuaConnector_getBooleanFromContext(connector, "b", &b), 1);
    EXPECT_EQ(n, 4);
    EXPECT_STREQ(s, "t");
    EXPECT_EQ(b, 1);
    EXPECT_EQ(runLua(connector->engine->L, "assert(CONTAINER.CONTEXT.f(2) == 3)"), "");
    EXPECT_EQ(QueltLuaConnector_setNumberIntoContext(nullptr, "n", 4), 0);
    QueltLuaConnector_delete(connector);
    QueltLuaConnector_delete(nullptr);
    EXPECT_TRUE(capture.lines().empty());
}

// A copy owns nothing of the record's owner, and freeing it twice is harmless.
TEST(LuaConnectionPlugin, CopiesDropTheOwner) {
    QueltLuaContainer record = {};
    record.userData = &g_owner;
    record.fileTimestamp = 77;
    QueltLuaDDSConnectionPlugin_init(&record);
    QueltLuaContainer copy = {};
    QueltLuaContainer_initFrom(&record, &copy);
    EXPECT_EQ(copy.fileTimestamp, 0);
    EXPECT_EQ(copy.userData, nullptr);
    QueltLuaContainer_free(&copy);
    EXPECT_EQ(copy.name, nullptr);
    QueltLuaContainer_free(&copy); // twice is harmless
    QueltLuaContainer_free(nullptr);
}

} // namespace
