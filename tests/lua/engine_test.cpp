// Engine creation and layout, input and output entries and the script log.
#include <string>

#include "Common.h"
#include "DDSConnectionPlugin.h"
#include "lua/lua_test_support.h"

namespace {

using quelt_test::fake;
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

TEST(LuaEngineCreate, OwnStateHasTheWholeLayout) {
    LogCapture capture;
    const QueltLuaContainer record = pluginRecord();
    QueltLuaEngine *engine = QueltLuaEngine_new(&record, nullptr);
    ASSERT_NE(engine, nullptr);
    lua_State *L = engine->L;
    // The copy owns its name and does not keep the owner; the owner is in CONTEXT.
    EXPECT_STREQ(engine->container.name, "CONTAINER");
    EXPECT_NE(engine->container.name, record.name);
    EXPECT_EQ(engine->container.userData, nullptr);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromContext(L, "#plugin_lud"), &g_owner);
    EXPECT_EQ(runLua(L, R"(
        local C = CONTAINER
        assert(rawequal(C.READER, C.INPUT) and rawequal(C.WRITER, C.OUTPUT) and not rawequal(C.READER, C.WRITER))
        assert(#C.READER == 0 and #C.WRITER == 0 and C.CONTEXT.intentExit == false)
        assert(string and table and math and io) -- standard libraries are open
    )"), "");
    EXPECT_EQ(lua_gettop(L), 0);
    QueltLuaEngine_delete(engine);
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
    EXPECT_EQ(engine->ownsState, 0);
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

class LuaEngineTest : public quelt_test::EngineTest {
protected:
    void SetUp() override { start(pluginRecord()); }
    void global(const char *name, uintptr_t n) {
        lua_pushlightuserdata(L, fake<void>(n));
        lua_setglobal(L, name);
    }
};

// Entries are found by name and position and carry the pointers they were given; asserting a
// name again rebinds its entry without a new alias.
TEST_F(LuaEngineTest, EntriesAreFoundByNameAndPositionAndRebound) {
    ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "pub::a", 0, fake<DDS_DynamicData>(1), fake<DDS_DynamicDataWriter>(2)), 1);
    ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "pub::b", 1, nullptr, nullptr), 1);
    ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "pub::c", 2, fake<DDS_DynamicData>(3), fake<DDS_DynamicDataWriter>(4)), 1);
    ASSERT_EQ(QueltLuaEngine_assertInput(engine, "sub::r1", 0, fake<DDS_DynamicDataSeq>(5), fake<DDS_SampleInfoSeq>(6),
                                         nullptr, fake<DDS_DynamicDataReader>(7)),
              1);
    ASSERT_EQ(QueltLuaEngine_assertInput(engine, "sub::r2", 1, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(lua_gettop(L), 0);
    for (uintptr_t n = 1; n <= 8; ++n) {
        global(("p" + std::to_string(n)).c_str(), n); // p1..p8 in Lua stand for fake<void>(1..8)
    }
    EXPECT_EQ(runLua(L, R"(
        local W, R = CONTAINER.WRITER, CONTAINER.READER
        assert(#W == 3 and #R == 2)
        assert(rawequal(W[1], W["pub::a"]) and rawequal(W[3], W["pub::c"]) and rawequal(CONTAINER.OUTPUT[2], W["pub::b"]))
        local a = W["pub::a"]
        assert(type(a.write) == "function" and getmetatable(a.instance) == _G["#output_mt"])
        assert(rawget(a.instance, "#sample") == p1 and #a.instance == 1 and rawget(W[3], "#writer") == p4)
        assert(rawget(W[2].instance, "#sample") == nil and #W[2].instance == 0)
        local e = R[1]
        assert(rawequal(e, R["sub::r1"]) and rawequal(R[2], CONTAINER.INPUT["sub::r2"]))
        assert(getmetatable(e.samples) == _G["#input_mt"] and getmetatable(e.infos) == _G["#info_mt"])
        for _, t in ipairs({e.samples, e.infos}) do
          assert(rawget(t, "#sampleSeq") == p5 and rawget(t, "#infoSeq") == p6 and rawget(t, "#reader") == p7)
        end
        assert(rawget(R[2], "#reader") == nil and rawget(R[2].samples, "#sampleSeq") == nil)
    )"), "");
    EXPECT_TRUE(capture.lines().empty());

    ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "pub::a", 5, nullptr, fake<DDS_DynamicDataWriter>(7)), 1);
    ASSERT_EQ(QueltLuaEngine_assertInput(engine, "sub::r1", 3, fake<DDS_DynamicDataSeq>(5), fake<DDS_SampleInfoSeq>(6),
                                         fake<DDS_DynamicData>(7), fake<DDS_DynamicDataReader>(8)),
              1);
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(L, QUELT_LUA_OUTPUT_MAP), 3);
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(L, QUELT_LUA_INPUT_MAP), 2);
    EXPECT_EQ(runLua(L, R"(
        local a, r = CONTAINER.WRITER[1], CONTAINER.READER[1]
        assert(rawget(a.instance, "#sample") == nil and #a.instance == 0 and rawget(a, "#writer") == p7)
        assert(rawget(r, "#reader") == p8 and rawget(r.samples, "#keyHolder") == p7 and rawget(r.infos, "#reader") == p8)
    )"), "");

    // Unregistered positions and names are nil, with warnings that need the warning level.
    QueltLuaLog_setVerbosity(0xFFFF, 1);
    EXPECT_EQ(runLua(L, "assert(CONTAINER.WRITER[0] == nil and CONTAINER.WRITER[99] == nil)"), "");
    EXPECT_TRUE(capture.contains("No alias was found for index 99"));
    EXPECT_TRUE(capture.contains("No alias was found for index 0"));
}

TEST_F(LuaEngineTest, ScriptLogFunctionsFollowTheLevels) {
    EXPECT_EQ(runLua(L, R"(
        local r = {CONTAINER.CONTEXT.LOG.Exception("ignored", "x")}
        assert(#r == 0)
        CONTAINER.CONTEXT.LOG.Warning("w")
    )"), "");
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
    )"), "");
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
    )"), "");
    // No instance bound: the write is refused, and reading a member yields nil without a message.
    EXPECT_TRUE(capture.contains("QueltLuaContainer_Out: a LUA_TUSERDATA was expected")) << capture.text();
    EXPECT_FALSE(capture.contains("QueltLuaDynamicData_get"));
    EXPECT_TRUE(capture.contains("dataSequence is NULL"));
}

} // namespace
