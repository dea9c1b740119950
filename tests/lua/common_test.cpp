// Stack and table helpers: results, what they log, and the stack height they leave.
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

#include "Common.h"
#include "lua/lua_test_support.h"

namespace {

using quelt_test::runLua;

int g_userData;

class LuaCommonTest : public quelt_test::EngineTest {
protected:
    void SetUp() override {
        QueltLuaContainer record = {};
        record.name = const_cast<char *>("CONTAINER");
        record.userData = &g_userData;
        start(record);
        capture.clear();
    }
};

TEST_F(LuaCommonTest, TopTablePushesMissSilently) {
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
    EXPECT_TRUE(lua_isnil(L, -1));
    lua_settop(L, 0);
}

int returnsSeven(lua_State *L) {
    lua_pushnumber(L, 7);
    return 1;
}

// Each helper leaves the stack as found, whether the key is there, absent or of another type.
TEST_F(LuaCommonTest, TypedValuesRoundTripThroughTheTopTable) {
    int anchor = 0;
    lua_newtable(L);
    EXPECT_EQ(QueltLuaCommon_assertNumberIntoTopTable(L, "n", 2.5), 1);
    EXPECT_EQ(QueltLuaCommon_assertBooleanIntoTopTable(L, "b", 5), 1);
    EXPECT_EQ(QueltLuaCommon_assertStringIntoTopTable(L, "s", "abc"), 1);
    EXPECT_EQ(QueltLuaCommon_assertFunctionIntoTopTable(L, "f", returnsSeven), 1);
    lua_pushstring(L, "light");
    lua_pushlightuserdata(L, &anchor);
    lua_rawset(L, -3);
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
    EXPECT_EQ(QueltLuaCommon_getUserdataFromTopTable(L, "light"), &anchor);
    EXPECT_EQ(lua_gettop(L), 1);
    EXPECT_TRUE(capture.lines().empty());

    // Absent keys leave the output untouched; only the boolean reader calls that a failure.
    n = -1;
    EXPECT_EQ(QueltLuaCommon_getNumberFromTopTable(L, "absent", &n), 1);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(QueltLuaCommon_getStringFromTopTable(L, "absent", &s), 1);
    EXPECT_STREQ(s, "abc");
    b = 9;
    EXPECT_EQ(QueltLuaCommon_getBooleanFromTopTable(L, "absent", &b), 0);
    EXPECT_EQ(b, 9);
    EXPECT_TRUE(capture.contains("LUA_TBOOLEAN 'absent' not found"));
    EXPECT_EQ(QueltLuaCommon_getUserdataFromTopTable(L, "n"), nullptr);
    EXPECT_TRUE(capture.contains("LUA_TUSERDATA 'n' not found"));
    // A number read as a string gives its text and stays a number in the table; the text
    // survives a full collection.
    EXPECT_EQ(QueltLuaCommon_getStringFromTopTable(L, "n", &s), 1);
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_STREQ(s, "2.5");
    EXPECT_EQ(lua_gettop(L), 1);

    // The function is stored without upvalues and is callable.
    lua_setglobal(L, "t");
    ASSERT_EQ(runLua(L, "assert(t.f() == 7 and t.b == true and type(t.n) == 'number')"), "");
}

TEST_F(LuaCommonTest, EngineAndContextFromAState) {
    // A coroutine of the engine's state resolves to the same engine.
    lua_State *thread = lua_newthread(L);
    EXPECT_EQ(QueltLuaCommon_getEngineReferenceFromRegistry(thread), engine);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromContext(thread, "#plugin_lud"), &g_userData);
    lua_settop(L, 0);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromContext(L, "intentExit"), nullptr);
    EXPECT_TRUE(capture.contains("LUA_TUSERDATA 'intentExit' not found"));

    lua_State *other = luaL_newstate();
    EXPECT_EQ(QueltLuaCommon_getEngineReferenceFromRegistry(other), nullptr);
    EXPECT_EQ(QueltLuaCommon_getUserdataFromContext(other, "#plugin_lud"), nullptr);
    EXPECT_EQ(QueltLuaCommon_getAliasMapLength(other, QUELT_LUA_INPUT_MAP), -1);
    EXPECT_EQ(QueltLuaCommon_getNameFromIndex(other, 1, QUELT_LUA_INPUT_MAP), nullptr);
    EXPECT_EQ(lua_gettop(other), 0);
    lua_close(other);
}

TEST(LuaCommonFile, ChangeTestFollowsTheModificationTime) {
    time_t stamp = 0;
    EXPECT_EQ(QueltLuaCommon_didFileChange(&stamp, "/nonexistent/quelt/script.lua"), 1);
    EXPECT_EQ(stamp, 0);
    char path[] = "/tmp/quelt_lua_changeXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    // Each row: the file's modification time, then whether that is a change and the stamp after.
    const std::tuple<time_t, int, time_t> rows[] = {{1000000, 1, 1000000}, {1000000, 0, 1000000}, {1000001, 1, 1000001}, {999999, 0, 1000001}};
    for (const auto &[mtime, changed, after] : rows) {
        struct utimbuf times = {mtime, mtime};
        ASSERT_EQ(utime(path, &times), 0);
        EXPECT_EQ(QueltLuaCommon_didFileChange(&stamp, path), changed) << mtime;
        EXPECT_EQ(stamp, after) << mtime;
    }
    std::remove(path);
}

} // namespace
