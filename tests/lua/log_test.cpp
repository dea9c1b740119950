// Log masks, the gate in front of the log facility, and the message table.
#include <cstring>

#include "lua/lua_test_support.h"

namespace {

using quelt_test::LogCapture;

TEST(LuaLogMessages, IdsAndTextsAreTheEstablishedOnes) {
    struct Row {
        const QueltLogMessage *record;
        uint32_t id;
        const char *text;
    };
    const Row rows[] = {
        {&LUABINDING_LOG_NEW_FAILURE_s, 0x2271000, "!new %s\n"},
        {&LUABINDING_LOG_PRECONDITION_FAILURE_s, 0x2271001, "!precondition %s\n"},
        {&LUABINDING_LOG_DELETE_FAILURE_s, 0x2271002, "!delete %s\n"},
        {&LUABINDING_LOG_GET_FAILURE_s, 0x2271003, "!get %s\n"},
        {&LUABINDING_LOG_GET_KIND_FAILURE_s, 0x2271004, "!get kind failed for '%s'\n"},
        {&LUABINDING_LOG_SET_FAILURE_s, 0x2271005, "!set %s\n"},
        {&LUABINDING_LOG_OPEN_FAILURE_s, 0x2271006, "!open %s\n"},
        {&LUABINDING_LOG_LOAD_FAILURE_s, 0x2271007, "!load %s\n"},
        {&LUABINDING_LOG_EXECUTE_FAILURE_s, 0x2271008, "!execute %s\n"},
        {&LUABINDING_LOG_TABLE_EXPECTED_ON_TOP, 0x2271009, "a LUA_TTABLE was expected on the top of the stack\n"},
        {&LUABINDING_LOG_USERDATA_EXPECTED_ON_TOP, 0x227100A, "a LUA_TUSERDATA was expected on the top of the stack\n"},
        {&LUABINDING_LOG_NUMBER_EXPECTED_ON_TOP, 0x227100B, "a LUA_TNUMBER was expected on the top of the stack\n"},
        {&LUABINDING_LOG_STRING_EXPECTED_ON_TOP, 0x227100C, "a LUA_TSTRING was expected on the top of the stack\n"},
        {&LUABINDING_LOG_TABLE_EXPECTED_AT_d, 0x227100D, "a LUA_TTABLE was expected in position %d of the stack\n"},
        {&LUABINDING_LOG_USERDATA_EXPECTED_AT_d, 0x227100E,
         "a LUA_TUSERDATA was expected in position %d of the stack\n"},
        {&LUABINDING_LOG_NUMBER_EXPECTED_AT_d, 0x227100F, "a LUA_TNUMBER was expected in position %d of the stack\n"},
        {&LUABINDING_LOG_STRING_EXPECTED_AT_d, 0x2271010, "a LUA_TSTRING was expected in position %d of the stack\n"},
        {&LUABINDING_LOG_POST, 0x2271011, "Post-condition not met\n"},
        {&LUABINDING_LOG_GET_LENGTH, 0x2271012, "Failed to get length\n"},
        {&LUABINDING_LOG_GET_WRITER, 0x2271013, "Failed to get writer\n"},
        {&LUABINDING_LOG_GET_WRITER_PARAMS, 0x2271014, "Failed to get writer params\n"},
        {&LUABINDING_LOG_GET_READER, 0x2271015, "Failed to get reader\n"},
        {&LUABINDING_LOG_GET_INSTANCE, 0x2271016, "Failed to get instance\n"},
        {&LUABINDING_LOG_GET_DATASEQ, 0x2271017, "Failed to get data sequence\n"},
        {&LUABINDING_LOG_GET_INFOSEQ, 0x2271018, "Failed to get data sequence\n"},
        {&LUABINDING_LOG_GET_DATA, 0x2271019, "Failed to get data\n"},
        {&LUABINDING_LOG_GET_CONTAINER, 0x227101A, "Failed to get container\n"},
        {&LUABINDING_LOG_GET_TABEL, 0x227101B, "Failed to get table %s\n"},
        {&LUABINDING_LOG_NO_ALIAS_FOUND_d, 0x227101C, "No alias was found for index %d\n"},
        {&LUABINDING_LOG_TABLE_NOT_FOUND_s, 0x227101D, "LUA_TTABLE '%s' not found\n"},
        {&LUABINDING_LOG_BOOLEAN_NOT_FOUND_s, 0x227101E, "LUA_TBOOLEAN '%s' not found\n"},
        {&LUABINDING_LOG_USERDATA_NOT_FOUND_s, 0x227101F, "LUA_TUSERDATA '%s' not found\n"},
        {&LUABINDING_LOG_CREATE_TABLE_FAILURE_s, 0x2271020, "Failed to create LUA_TTABLE '%s'\n"},
        {&LUABINDING_LOG_CREATE_CONTAINER_s, 0x2271021, "Failed to create CONTAINER for '%s'\n"},
        {&LUABINDING_LOG_OPERATION_UNDEF, 0x2271022, "Operation not defined\n"},
        {&LUABINDING_LOG_FAILED_TO_ALLOCATE_WRITERS, 0x2271023, "Failed to allocate writerw table\n"},
        {&LUABINDING_LOG_FAILED_TO_ALLOCATE_READERS, 0x2271024, "Failed to allocate readers table\n"},
        {&LUABINDING_LOG_ASSERT_NUMBER_FAIL_sfs, 0x2271025, "Failed asserting %s = %f into %s\n"},
        {&LUABINDING_LOG_NOT_A_NUMBER_s, 0x2271026, "%s is not a NUMBER\n"},
        {&LUABINDING_LOG_NOT_A_BOOLEAN_s, 0x2271027, "%s is not a BOOLEAN\n"},
        {&LUABINDING_LOG_NOT_A_STRING_s, 0x2271028, "%s is not a STRING\n"},
        {&LUABINDING_LOG_ANY_sd, 0x2271029, "%s %d\n"},
        {&LUABINDING_LOG_ANY_ss, 0x227102A, "%s %s\n"},
        {&LUABINDING_LOG_MEMBER_ss, 0x227102B, "'%s': %s\n"},
        {&LUABINDING_LOG_JSON_TOO_DEEP_d, 0x227102C, "JSON nested deeper than %d levels is refused\n"},
    };
    ASSERT_EQ(static_cast<int>(sizeof rows / sizeof rows[0]), QueltLuaLog_g_messageCount);
    for (int i = 0; i < QueltLuaLog_g_messageCount; ++i) {
        SCOPED_TRACE(rows[i].text);
        EXPECT_EQ(rows[i].record->id, rows[i].id);
        EXPECT_STREQ(rows[i].record->format, rows[i].text);
        // The id-ordered index holds the same records.
        EXPECT_EQ(QueltLuaLog_g_messages[i], rows[i].record);
    }
}

TEST(LuaLogMasks, StartAtErrorsOfEverySubmodule) {
    // Nothing in this binary changes the masks without restoring them.
    uint32_t submodule = 0;
    uint32_t instrumentation = 0;
    QueltLuaLog_getBitmaps(&submodule, &instrumentation);
    EXPECT_EQ(submodule, 0xFFFFu);
    EXPECT_EQ(instrumentation, 1u);
}

TEST(LuaLogMasks, VerbositySetsTheLowestLevelBits) {
    LogCapture capture;
    struct Case {
        int verbosity;
        uint32_t expected;
    };
    for (const Case c : {Case{-1, 0u}, Case{-100, 0u}, Case{0, 1u}, Case{1, 3u}, Case{30, 0x7FFFFFFFu},
                         Case{31, 0xFFFFFFFFu}, Case{40, 0xFFFFFFFFu}}) {
        QueltLuaLog_setVerbosity(0x1234, c.verbosity);
        uint32_t submodule = 0;
        uint32_t instrumentation = 0;
        QueltLuaLog_getBitmaps(&submodule, &instrumentation);
        EXPECT_EQ(submodule, 0x1234u) << c.verbosity;
        EXPECT_EQ(instrumentation, c.expected) << c.verbosity;
    }
}

TEST(LuaLogMasks, GatePrintsOnlyWhenLevelAndSubmoduleAreEnabled) {
    LogCapture capture;
    // Initial masks: errors of both submodules, no warnings.
    QueltLuaLog_setBitmaps(0xFFFF, 1);
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

    capture.clear();
    QueltLuaLog_setVerbosity(0xFFFF, -1);
    QUELT_LUA_LOG_ERROR("ctxA", LUABINDING_LOG_POST);
    QueltLuaLog_plain(QUELT_LUA_LOG_LEVEL_ERROR, QUELT_LUA_LOG_SUBMODULE_LUA, "x");
    EXPECT_TRUE(capture.lines().empty());
}

std::vector<int> g_hookLevels;
void recordLevel(int level) { g_hookLevels.push_back(level); }

TEST(LuaLogMasks, LevelHookRunsOnlyForPrintedLines) {
    LogCapture capture;
    g_hookLevels.clear();
    QueltLog_g_levelHook = recordLevel;
    QueltLuaLog_setBitmaps(0xFFFF, 1);
    QUELT_LUA_LOG_ERROR("ctx", LUABINDING_LOG_POST);
    QUELT_LUA_LOG_WARNING("ctx", LUABINDING_LOG_POST); // gated off
    QueltLuaLog_setBitmaps(0xFFFF, 2);
    QUELT_LUA_LOG_WARNING("ctx", LUABINDING_LOG_POST);
    QueltLog_g_levelHook = nullptr;
    QUELT_LUA_LOG_WARNING("ctx", LUABINDING_LOG_POST); // no hook: still printed
    EXPECT_EQ(g_hookLevels, (std::vector<int>{1, 2}));
    EXPECT_EQ(capture.lines().size(), 3u);
}

std::vector<int> g_sinkLevels;

// The host's sink gets each line's own level: the middleware's notices are not errors.
TEST(LuaLogMasks, HostSinkGetsTheLevelOfEachLine) {
    g_sinkLevels.clear();
    QueltLuaLog_setSink([](int level, const char *, void *) { g_sinkLevels.push_back(level); }, nullptr);
    QueltLuaLog_setBitmaps(0xFFFF, 3);
    QueltLog_notice("ctx", "n");
    QueltLog_warning("ctx", "w");
    QueltLog_error("ctx", "e");
    QUELT_LUA_LOG_WARNING("ctx", LUABINDING_LOG_POST);
    QueltLuaLog_setSink(nullptr, nullptr);
    QueltLuaLog_setBitmaps(0xFFFF, 1);
    EXPECT_EQ(g_sinkLevels, (std::vector<int>{4, 2, 1, 2}));
}

} // namespace
