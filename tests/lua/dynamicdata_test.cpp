// Lua values into DynamicData members and back, by member name, on a type with every kind; the
// sample info fields and times; samples as JSON.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "DynamicData.h"
#include "MetamethodImpl.h"
#include "dds/dds_string.h"
#include "dds/dds_dynamicdata.h"
#include "lua_test_support.h"

using quelt_test::LogCapture;

namespace {

// A row of lua/dynamicdata.txt: member, value as Lua source, tostring read back, log text.
struct Case {
    std::string member, luaValue, expected, message;
};

// The rows of a table in tests/data/lua (comments and blank lines left out), fields split at '|'
// and trimmed.
std::vector<std::vector<std::string>> rows(const std::string &file) {
    std::istringstream in(quelt::test::readFile(QUELT_TEST_DATA + "/lua/" + file));
    std::vector<std::vector<std::string>> out;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::vector<std::string> row;
        for (std::string field; std::getline(fields, field, '|');) {
            row.push_back(std::regex_replace(field, std::regex("^ +| +$"), ""));
        }
        if (row.size() > 1 && line[0] != '#') {
            out.push_back(row);
        }
    }
    return out;
}

class DynamicDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        lib = DDS_TypeLibrary_new();
        ASSERT_EQ(DDS_TypeLibrary_load_file(lib, (QUELT_TEST_DATA + "/lua/all_kinds.xml").c_str()), DDS_RETCODE_OK);
        const DDS_TypeCode *type = DDS_TypeLibrary_find(lib, "All");
        ASSERT_NE(type, nullptr);
        data = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
        ASSERT_NE(data, nullptr);
        L = luaL_newstate();
        QueltLuaLog_setBitmaps(0xffff, 3); // errors and warnings
    }
    void TearDown() override {
        lua_close(L);
        DDS_DynamicData_delete(data);
        DDS_TypeLibrary_delete(lib);
    }
    // set(name, value) with the value given as a Lua expression; checks the stack is untouched.
    void set(const std::string &member, const std::string &luaValue) {
        lua_pushstring(L, member.c_str()); /* name */
        ASSERT_EQ(luaL_dostring(L, ("return " + luaValue).c_str()), 0);
        lua_pushlightuserdata(L, data); /* sample */
        EXPECT_EQ(QueltLuaDynamicData_set(L), 1);
        EXPECT_EQ(lua_gettop(L), 3) << member;
        lua_settop(L, 0);
    }
    // get(name) as the text of tostring; checks exactly one value was pushed.
    std::string get(const std::string &member) {
        lua_newtable(L);
        lua_pushstring(L, member.c_str());
        lua_pushlightuserdata(L, data);
        EXPECT_EQ(QueltLuaDynamicData_get(L), 1);
        EXPECT_EQ(lua_gettop(L), 4) << member;
        std::string text = luaL_tolstring(L, -1, nullptr);
        lua_settop(L, 0);
        return text;
    }
    LogCapture capture;
    DDS_TypeLibrary *lib = nullptr;
    DDS_DynamicData *data = nullptr;
    lua_State *L = nullptr;
};

// Conversions of every kind, refused sets and reads that are not one value.
TEST_F(DynamicDataTest, SetConvertsEachKindAndGetReadsItBack) {
    std::vector<Case> cases;
    for (const auto &r : rows("dynamicdata.txt")) {
        cases.push_back({r.at(0), r.at(1), r.at(2), r.at(3)});
    }
    ASSERT_GT(cases.size(), 50u);
    cases.push_back({"str", "'" + std::string(200, 'x') + "'", std::string(200, 'x'), "-"}); // past any small buffer
    for (const Case &c : cases) {
        capture.clear();
        if (c.luaValue != "-") {
            set(c.member, c.luaValue);
        }
        EXPECT_EQ(get(c.member), c.expected) << c.member << " = " << c.luaValue;
        if (c.message == "-") {
            EXPECT_TRUE(capture.lines().empty()) << c.member << " = " << c.luaValue << ": " << capture.text();
        } else if (c.message != "*") {
            EXPECT_TRUE(capture.contains(c.message)) << c.member << " = " << c.luaValue << ": " << capture.text();
        }
    }
}

TEST(SampleInfoTime, MillisecondsRoundToNearestAndCarryIntoSeconds) {
    const auto times = rows("milliseconds.txt");
    ASSERT_EQ(times.size(), 12u);
    for (const auto &r : times) {
        const DDS_Time_t t{std::stoi(r.at(0)), static_cast<DDS_UnsignedLong>(std::stoul(r.at(1)))};
        EXPECT_EQ(DDS_Time_t_to_milliseconds(&t), std::stod(r.at(2))) << r[0] << "s " << r[1] << "ns";
    }
}

TEST(SampleInfoFields, AreReadByExactName) {
    LogCapture capture;
    DDS_SampleInfo info{};
    info.valid_data = 0;
    info.source_timestamp = DDS_Time_t{1, 500000000};
    for (int k = 0; k < 16; ++k) {
        info.original_publication_virtual_guid.value[k] = static_cast<DDS_Octet>(k + 1);
        info.related_original_publication_virtual_guid.value[k] = 255;
    }
    info.original_publication_virtual_sequence_number = DDS_SequenceNumber_t{0, 5};
    info.related_original_publication_virtual_sequence_number = DDS_SequenceNumber_t{-1, 0x80000000u};
    const auto fields = rows("sample_info.txt");
    ASSERT_EQ(fields.size(), 6u);
    lua_State *L = luaL_newstate();
    for (const auto &row : fields) {
        lua_newtable(L);
        lua_pushstring(L, row.at(0).c_str());
        lua_pushlightuserdata(L, &info);
        EXPECT_EQ(QueltLuaSampleInfo_get(L), 1);
        ASSERT_EQ(lua_gettop(L), 4) << row[0];
        EXPECT_EQ(luaL_tolstring(L, -1, nullptr), row.at(1)) << row[0];
        lua_settop(L, 0);
    }
    EXPECT_TRUE(capture.lines().empty()) << capture.text();
    lua_close(L);
}

TEST_F(DynamicDataTest, JsonTextFitsTheCallersBufferOrTakesOneExactHeapString) {
    char buffer[512];
    int allocated = 0;
    const size_t base = std::strlen(QueltLuaMetamethodImpl_getJSONString(data, buffer, &allocated)); // str is ""
    ASSERT_LT(base, 511u);
    for (const size_t length : {size_t(511), size_t(512), size_t(5000)}) {
        const std::string str(length - base, 'x');
        ASSERT_EQ(DDS_DynamicData_set_string(data, "str", 0, str.c_str()), DDS_RETCODE_OK);
        allocated = 0;
        char *text = QueltLuaMetamethodImpl_getJSONString(data, buffer, &allocated);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::strlen(text), length);
        EXPECT_EQ(allocated, length > 511 ? 1 : 0) << length;
        EXPECT_EQ(text == buffer, length <= 511) << length;
        if (allocated) {
            DDS_String_free(text);
        }
    }
}

TEST_F(DynamicDataTest, SetFromJsonKeepsTheStackOrPushesNil) {
    // Each row: the JSON text, and the stack height afterwards (2 unchanged, 3 with nil pushed).
    const std::pair<const char *, int> rows[] = {{"{\"l\": 7}", 2}, {"[1", 3}, {"null", 2}};
    for (const auto &[json, top] : rows) {
        lua_pushstring(L, json);
        lua_pushlightuserdata(L, data);
        EXPECT_EQ(QueltLuaDynamicData_set_from_json(L), 1);
        EXPECT_EQ(lua_gettop(L), top) << json;
        if (top == 3) {
            EXPECT_TRUE(lua_isnil(L, -1));
        }
        lua_settop(L, 0);
    }
    EXPECT_EQ(get("l"), "7");
    lua_pushboolean(L, 1); // not a text
    lua_pushlightuserdata(L, data);
    QueltLuaDynamicData_set_from_json(L);
    EXPECT_TRUE(capture.contains("a LUA_TSTRING was expected in position -2")) << capture.text();
    lua_settop(L, 0);
}

} // namespace
