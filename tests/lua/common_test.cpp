// Stack and table helpers: results, what they log, and the stack height they leave.
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Common.h"
#include "Engine.h"
#include "lua/lua_test_support.h"

namespace {

using quelt_test::LogCapture;
using quelt_test::runLua;

int g_userData;

class LuaCommonTest : public ::testing::Test {
protected:
    void SetUp() override {
        QueltLuaContainer record = {};
        record.name = const_cast<char *>("CONTAINER");
        record.userData = &g_userData;
        engine = QueltLuaEngine_new(&record, nullptr);
        ASSERT_NE(engine, nullptr);
        L = engine->L;
        capture.clear();
    }
    void TearDown() override { QueltLuaEngine_delete(engine); }

    // A plain table on top of the stack.
    void pushTable() { lua_newtable(L); }

    LogCapture capture;
    QueltLuaEngine *engine = nullptr;
    lua_State *L = nullptr;
};

TEST_F(LuaCommonTest, MainAndMainFieldPushesLeaveOneValue) {
    ASSERT_EQ(QueltLuaCommon_pushMainOnTop(engine), 1);
    EXPECT_EQ(lua_gettop(L), 1);
    lua_getglobal(L, "CONTAINER");
    EXPECT_TRUE(lua_rawequal(L, -1, -2));
    lua_settop(L, 0);

    ASSERT_EQ(QueltLuaCommon_pushTableOnTopFromMainTable(engine, "CONTEXT"), 1);
    EXPECT_EQ(lua_gettop(L), 1); // the main table is not left below
    EXPECT_TRUE(lua_istable(L, 1));
    lua_settop(L, 0);

    lua_pushnumber(L, 42); // helpers work above whatever the caller has
    ASSERT_EQ(QueltLuaCommon_pushTableOnTopFromMainTable(engine, "READER"), 1);
    EXPECT_EQ(lua_gettop(L), 2);
    lua_settop(L, 0);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(LuaCommonTest, MainFieldFailuresLogAndRestoreTheStack) {
    lua_pushstring(L, "keep");
    EXPECT_EQ(QueltLuaCommon_pushTableOnTopFromMainTable(engine, "NOPE"), 0);
    EXPECT_EQ(lua_gettop(L), 1);
    EXPECT_TRUE(capture.contains("LUA_TTABLE 'NOPE' not found"));
    EXPECT_TRUE(capture.contains("<-- BOTTOM | "));

    // A main table replaced by a script is no longer found.
    capture.clear();
    lua_pushlightuserdata(L, engine);
    lua_pushnumber(L, 1);
    lua_rawset(L, LUA_REGISTRYINDEX);
    EXPECT_EQ(QueltLuaCommon_pushMainOnTop(engine), 0);
    EXPECT_EQ(QueltLuaCommon_pushTableOnTopFromMainTable(engine, "CONTEXT"), 0);
    EXPECT_EQ(lua_gettop(L), 1);
    EXPECT_EQ(capture.count("LUA_TTABLE '#MainTable' not found"), 2);
    lua_settop(L, 0);
}

TEST_F(LuaCommonTest, TopTablePushesMissSilentlyAndCheckTheTop) {
    ASSERT_EQ(runLua(L, "t = {sub = {}, n = 3}"), "");
    lua_getglobal(L, "t");
    EXPECT_EQ(QueltLuaCommon_pushTableOnTopFromTopTable(L, "n"), 0); // a number: silent miss
    EXPECT_EQ(QueltLuaCommon_pushTableOnTopFromTopTable(L, "absent"), 0);
    EXPECT_EQ(lua_gettop(L), 1);
    EXPECT_TRUE(capture.lines().empty());

    ASSERT_EQ(QueltLuaCommon_pushTableOnTopFromTopTable(L, "sub"), 1);
    EXPECT_EQ(lua_gettop(L), 2);
    lua_pop(L, 1);

    ASSERT_EQ(QueltLuaCommon_pushFunctionOnTopFromTopTable(L, "absent"), 1); // nil is pushed too
    EXPECT_EQ(lua_gettop(L), 2);
    EXPECT_TRUE(lua_isnil(L, -1));
    lua_settop(L, 0);

    lua_pushnumber(L, 1);
    EXPECT_EQ(QueltLuaCommon_pushTableOnTopFromTopTable(L, "sub"), 0);
    EXPECT_EQ(QueltLuaCommon_pushFunctionOnTopFromTopTable(L, "sub"), 0);
    EXPECT_EQ(lua_gettop(L), 1);
    EXPECT_EQ(capture.count("a LUA_TTABLE was expected on the top of the stack"), 2);
    EXPECT_TRUE(capture.contains("<-- BOTTOM | "));
    lua_settop(L, 0);
}

int returnsSeven(lua_State *L) {
    lua_pushnumber(L, 7);
    return 1;
}

TEST_F(LuaCommonTest, TypedValuesRoundTripThroughTheTopTable) {
    pushTable();
    EXPECT_EQ(QueltLuaCommon_assertNumberIntoTopTable(L, "n", 2.5), 1);
    EXPECT_EQ(QueltLuaCommon_assertBooleanIntoTopTable(L, "b", 5), 1);
    EXPECT_EQ(QueltLuaCommon_assertStringIntoTopTable(L, "s", "abc"), 1);
    EXPECT_EQ(QueltLuaCommon_assertFunctionIntoTopTable(L, "f", returnsSeven), 1);
    EXPECT_EQ(lua_gettop(L), 1);

    double n = 0;
    int b = 0;
    const char *s = nullptr;
    EXPECT_EQ(QueltLuaCommon_getNumberFromTopTable(L, "n", &n), 1);
    EXPECT_EQ(n, 2.5);
    EXPECT_EQ(QueltLuaCommon_getBooleanFromTopTable(L, "b", &b), 1);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(QueltLuaCommon_getStringFromTopTable(L, "s", &s), 1);
    EXPECT_STREQ(s, "abc");
    EXPECT_EQ(lua_gettop(L), 1);

    // The function is stored without upvalues and is callable.
    lua_setglobal(L, "t");
    ASSERT_EQ(runLua(L, "assert(t.f() == 7); assert(t.b == true)"), "");
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(LuaCommonTest, ReadersOfMissingOrOtherTypedKeys) {
    pushTable();
    QueltLuaCommon_assertNumberIntoTopTable(L, "seven", 7);
    double n = -1;
    EXPECT_EQ(QueltLuaCommon_getNumberFromTopTable(L, "absent", &n), 1);
    EXPECT_EQ(n, -1); // untouched
    const char *s = "untouched";
    EXPECT_EQ(QueltLuaCommon_getStringFromTopTable(L, "absent", &s), 1);
    EXPECT_STREQ(s, "untouched");
    EXPECT_TRUE(capture.lines().empty());

    int b = 9;
    EXPECT_EQ(QueltLuaCommon_getBooleanFromTopTable(L, "absent", &b), 0);
    EXPECT_EQ(b, 9);
    EXPECT_TRUE(capture.contains("LUA_TBOOLEAN 'absent' not found"));

    // A number read as a string gives its text and stays a number in the table; the text
    // survives a full collection.
    EXPECT_EQ(QueltLuaCommon_getStringFromTopTable(L, "seven", &s), 1);
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_STREQ(s, "7");
    lua_pushstring(L, "seven");
    lua_rawget(L, -2);
    EXPECT_EQ(lua_type(L, -1), LUA_TNUMBER);
    lua_pop(L, 1);
    EXPECT_EQ(lua_gettop(L), 1);
    lua_settop(L, 0);
}

TEST_F(LuaCommonTest, UserdataReader) {
    int anchor = 0;
    pushTable();
    lua_pushstring(L, "light");
    lua_pushlightuserdata(L, &anchor);
    lua_rawset(L, -3);
    lua_pushstring(L, "full");
    void *full = lua_newuserdata(L, 8);
    lua_rawset(L, -3);
    QueltLuaCommon_assertNumberIntoTopTable(L, "number", 1);

    EXPECT_EQ(QueltLuaCommon_getUserdataFromTopTable(L, "light"), &anchor);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromTopTable(L, "full"), full);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromTopTable(L, "number"), nullptr);
    EXPECT_TRUE(capture.contains("LUA_TUSERDATA 'number' not found"));
    EXPECT_EQ(lua_gettop(L), 1);
    lua_settop(L, 0);
}

TEST_F(LuaCommonTest, EveryTopTableHelperRefusesANonTable) {
    lua_pushstring(L, "not a table");
    double n = 0;
    int b = 0;
    const char *s = nullptr;
    EXPECT_EQ(QueltLuaCommon_assertNumberIntoTopTable(L, "k", 1), 0);
    EXPECT_EQ(QueltLuaCommon_assertBooleanIntoTopTable(L, "k", 1), 0);
    EXPECT_EQ(QueltLuaCommon_assertStringIntoTopTable(L, "k", "v"), 0);
    EXPECT_EQ(QueltLuaCommon_assertFunctionIntoTopTable(L, "k", returnsSeven), 0);
    EXPECT_EQ(QueltLuaCommon_getNumberFromTopTable(L, "k", &n), 0);
    EXPECT_EQ(QueltLuaCommon_getBooleanFromTopTable(L, "k", &b), 0);
    EXPECT_EQ(QueltLuaCommon_getStringFromTopTable(L, "k", &s), 0);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromTopTable(L, "k"), nullptr);
    EXPECT_EQ(lua_gettop(L), 1);
    EXPECT_EQ(capture.count("a LUA_TTABLE was expected on the top of the stack"), 8);
    // The setters do not dump the stack.
    EXPECT_FALSE(capture.contains("<-- BOTTOM"));

    // Null keys are refused rather than handed to Lua as nil keys.
    pushTable();
    EXPECT_EQ(QueltLuaCommon_assertNumberIntoTopTable(L, nullptr, 1), 0);
    EXPECT_EQ(QueltLuaCommon_assertFunctionIntoTopTable(L, "k", nullptr), 0);
    EXPECT_EQ(lua_gettop(L), 2);
    lua_settop(L, 0);
}

TEST_F(LuaCommonTest, EngineAndContextFromAState) {
    EXPECT_EQ(QueltLuaCommon_getEngineReferenceFromRegistry(L), engine);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromContext(L, "#plugin_lud"), &g_userData);
    EXPECT_EQ(lua_gettop(L), 0);

    // A coroutine of the engine's state resolves to the same engine.
    lua_State *thread = lua_newthread(L);
    EXPECT_EQ(QueltLuaCommon_getEngineReferenceFromRegistry(thread), engine);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromContext(thread, "#plugin_lud"), &g_userData);
    lua_settop(L, 0);

    EXPECT_EQ(QueltLuaCommon_getUserdataFromContext(L, "intentExit"), nullptr);
    EXPECT_TRUE(capture.contains("LUA_TUSERDATA 'intentExit' not found"));

    lua_State *other = luaL_newstate();
    capture.clear();
    EXPECT_EQ(QueltLuaCommon_getEngineReferenceFromRegistry(other), nullptr);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromContext(other, "#plugin_lud"), nullptr);
    EXPECT_TRUE(capture.contains("!set self"));
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(other, QUELT_LUA_INPUT_MAP), -1);
    EXPECT_TRUE(capture.contains("!get engine"));
    EXPECT_EQ(QueltLuaCommon_getNameFromIndex(other, 1, QUELT_LUA_INPUT_MAP), nullptr);
    EXPECT_EQ(lua_gettop(other), 0);
    lua_close(other);
}

TEST_F(LuaCommonTest, AliasMapsMapPositionsToNames) {
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(L, QUELT_LUA_OUTPUT_MAP), 0);
    QueltLuaCommon_associateNameAndIdex(engine, "pub::w1", 1, QUELT_LUA_OUTPUT_MAP);
    QueltLuaCommon_associateNameAndIdex(engine, "pub::w2", 2, QUELT_LUA_OUTPUT_MAP);
    EXPECT_EQ(lua_gettop(L), 0);
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(L, QUELT_LUA_OUTPUT_MAP), 2);
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(L, QUELT_LUA_INPUT_MAP), 0);
    EXPECT_STREQ(QueltLuaCommon_getNameFromIndex(L, 2, QUELT_LUA_OUTPUT_MAP), "pub::w2");
    EXPECT_TRUE(capture.lines().empty());

    EXPECT_EQ(QueltLuaCommon_getNameFromIndex(L, 5, QUELT_LUA_OUTPUT_MAP), nullptr);
    EXPECT_TRUE(capture.contains("No alias was found for index 5"));
    // A map that is gone cannot be measured.
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(L, "#no_map"), -1);
    EXPECT_TRUE(capture.contains("Failed to get length"));
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(LuaCommonTest, StackDumpPrintsEachElementAsAPiece) {
    lua_pushstring(L, "abc");
    lua_pushboolean(L, 1);
    lua_pushnumber(L, 2.5);
    lua_newtable(L);
    QueltLuaCommon_stackDump(L);
    EXPECT_EQ(lua_gettop(L), 4);
    const std::vector<std::string> expected = {"<-- BOTTOM | ", "'abc'", " | ", "true",  " | ", "2.5",
                                               " | ",           "table", " | ", " <-- TOP \n"};
    EXPECT_EQ(capture.lines(), expected);

    capture.clear();
    lua_settop(L, 0);
    QueltLuaCommon_stackDump(L);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"<-- BOTTOM | ", " <-- TOP \n"}));

    capture.clear();
    QueltLuaLog_setBitmaps(0x2000, 1); // the Lua submodule is off
    QueltLuaCommon_stackDump(L);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(LuaCommonFile, ChangeTestFollowsTheModificationTime) {
    time_t stamp = 0;
    EXPECT_EQ(QueltLuaCommon_didFileChange(&stamp, "/nonexistent/quelt/script.lua"), 1);
    EXPECT_EQ(QueltLuaCommon_didFileChange(&stamp, "/nonexistent/quelt/script.lua"), 1);
    EXPECT_EQ(stamp, 0);

    char path[] = "/tmp/quelt_lua_changeXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    struct utimbuf times = {1000000, 1000000};
    ASSERT_EQ(utime(path, &times), 0);
    EXPECT_EQ(QueltLuaCommon_didFileChange(&stamp, path), 1);
    EXPECT_EQ(stamp, 1000000);
    EXPECT_EQ(QueltLuaCommon_didFileChange(&stamp, path), 0);
    times = {1000001, 1000001};
    ASSERT_EQ(utime(path, &times), 0);
    EXPECT_EQ(QueltLuaCommon_didFileChange(&stamp, path), 1);
    EXPECT_EQ(stamp, 1000001);
    times = {999999, 999999}; // older than seen: not a change
    ASSERT_EQ(utime(path, &times), 0);
    EXPECT_EQ(QueltLuaCommon_didFileChange(&stamp, path), 0);
    std::remove(path);
}

} // namespace
