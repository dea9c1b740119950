// Log masks, and the gate in front of the log facility.
#include <cstring>

#include "lua/lua_test_support.h"

namespace {

using quelt_test::LogCapture;

TEST(LuaLogMasks, VerbositySetsTheLowestLevelBits) {
    LogCapture capture;
    const std::pair<int, uint32_t> rows[] = {{-1, 0u}, {-100, 0u}, {0, 1u}, {1, 3u}, {30, 0x7FFFFFFFu}, {31, 0xFFFFFFFFu}, {40, 0xFFFFFFFFu}};
    for (const auto &[verbosity, expected] : rows) {
        QueltLuaLog_setVerbosity(0x1234, verbosity);
        uint32_t submodule = 0, instrumentation = 0;
        QueltLuaLog_getBitmaps(&submodule, &instrumentation);
        EXPECT_EQ(submodule, 0x1234u) << verbosity;
        EXPECT_EQ(instrumentation, expected) << verbosity;
    }
}

TEST(LuaLogMasks, GatePrintsOnlyWhenLevelAndSubmoduleAreEnabled) {
    // Nothing in this binary changes the masks without restoring them: they start at errors of
    // every submodule.
    uint32_t submodule = 0, instrumentation = 0;
    QueltLuaLog_getBitmaps(&submodule, &instrumentation);
    EXPECT_EQ(submodule, 0xFFFFu);
    EXPECT_EQ(instrumentation, 1u);
    LogCapture capture;
    QUELT_LUA_LOG_ERROR("ctxA", LUABINDING_LOG_GET_FAILURE_s, "lua");
    QUELT_LUA_LOG_CONNECTOR_ERROR("ctxB", LUABINDING_LOG_GET_FAILURE_s, "connector");
    QUELT_LUA_LOG_WARNING("ctxC", LUABINDING_LOG_GET_FAILURE_s, "warning");
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_NE(capture.lines()[0].find("ctxA"), std::string::npos);
    EXPECT_NE(capture.lines()[0].find("!get lua"), std::string::npos);
    EXPECT_NE(capture.lines()[1].find("!get connector"), std::string::npos);

    capture.clear();
    QueltLuaLog_setVerbosity(0xFFFF, 1);
    QUELT_LUA_LOG_WARNING("ctxC", LUABINDING_LOG_ANY_sd, "wait failed with code", 10);
    EXPECT_TRUE(capture.contains("wait failed with code 10"));

    capture.clear();
    QueltLuaLog_setBitmaps(0x1000, 1);
    QUELT_LUA_LOG_ERROR("ctxA", LUABINDING_LOG_POST);
    QUELT_LUA_LOG_CONNECTOR_ERROR("ctxB", LUABINDING_LOG_GET_CONTAINER);
    QueltLuaLog_plain(QUELT_LUA_LOG_LEVEL_ERROR, QUELT_LUA_LOG_SUBMODULE_CONNECTOR, "status %d\n", 1);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].find("Post-condition not met"), std::string::npos);
}

std::vector<int> g_hookLevels;
std::vector<int> g_sinkLevels;

// The level hook runs only for the Lua layer's printed lines; the host's sink gets each line's own level (the
// middleware's notices are not errors).
TEST(LuaLogMasks, HookAndHostSinkSeeTheLevelOfEachPrintedLine) {
    g_hookLevels.clear();
    g_sinkLevels.clear();
    QueltLog_g_levelHook = [](int level) { g_hookLevels.push_back(level); };
    QueltLuaLog_setSink([](int level, const char *, void *) { g_sinkLevels.push_back(level); }, nullptr);
    QueltLuaLog_setBitmaps(0xFFFF, 1);
    QUELT_LUA_LOG_ERROR("ctx", LUABINDING_LOG_POST);
    QUELT_LUA_LOG_WARNING("ctx", LUABINDING_LOG_POST); // gated off
    QueltLuaLog_setBitmaps(0xFFFF, 3);
    QueltLog_notice("ctx", "n");
    QueltLog_warning("ctx", "w");
    QueltLog_error("ctx", "e");
    QUELT_LUA_LOG_WARNING("ctx", LUABINDING_LOG_POST);
    QueltLog_g_levelHook = nullptr;
    QUELT_LUA_LOG_WARNING("ctx", LUABINDING_LOG_POST); // no hook: still printed
    QueltLuaLog_setSink(nullptr, nullptr);
    QueltLuaLog_setBitmaps(0xFFFF, 1);
    EXPECT_EQ(g_hookLevels, (std::vector<int>{1, 2}));
    EXPECT_EQ(g_sinkLevels, (std::vector<int>{1, 4, 2, 1, 2, 2}));
}

} // namespace
