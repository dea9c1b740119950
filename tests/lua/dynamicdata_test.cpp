// Lua values into DynamicData members and back, by member name, on a type with every kind.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "DynamicData.h"
#include "MetamethodImpl.h"
#include "dds/dds_string.h"
#include "dds/dds_dynamicdata.h"
#include "lua_test_support.h"

using quelt_test::LogCapture;

namespace {

const char *const kTypes = R"(<dds><types>
  <enum name="Color"><enumerator name="RED"/><enumerator name="GREEN"/></enum>
  <struct name="Inner"><member name="a" type="int32"/></struct>
  <struct name="All">
    <member name="s" type="int16"/><member name="l" type="int32"/><member name="us" type="uint16"/>
    <member name="ul" type="uint32"/><member name="f" type="float32"/><member name="d" type="float64"/>
    <member name="b" type="boolean"/><member name="c" type="char8"/><member name="o" type="octet"/>
    <member name="e" type="nonBasic" nonBasicTypeName="Color"/><member name="str" type="string"/>
    <member name="ll" type="int64"/><member name="ull" type="uint64"/><member name="ld" type="float128"/>
    <member name="wc" type="wchar"/><member name="ws" type="wstring"/>
    <member name="seq" type="int32" sequenceMaxLength="10"/><member name="arr" type="int32" arrayDimensions="3"/>
    <member name="inner" type="nonBasic" nonBasicTypeName="Inner"/>
    <member name="opt" type="int32" optional="true"/>
  </struct></types></dds>)";

// A value to set, written as Lua source so that every Lua type is at hand.
struct SetCase {
    const char *member;
    const char *luaValue;
    const char *expected; // tostring of the value read back
    const char *message;  // expected log text, "" for a silent set
};

class DynamicDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        lib = DDS_TypeLibrary_new();
        ASSERT_EQ(DDS_TypeLibrary_load_string(lib, kTypes, "inline.xml"), DDS_RETCODE_OK);
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
    void set(const char *member, const char *luaValue) {
        lua_pushstring(L, member); /* name */
        ASSERT_EQ(luaL_dostring(L, (std::string("return ") + luaValue).c_str()), 0);
        lua_pushlightuserdata(L, data); /* sample */
        EXPECT_EQ(QueltLuaDynamicData_set(L), 1);
        EXPECT_EQ(lua_gettop(L), 3) << member;
        lua_settop(L, 0);
    }
    // get(name) as the text of tostring; checks exactly one value was pushed.
    std::string get(const char *member) {
        lua_newtable(L);
        lua_pushstring(L, member);
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

TEST_F(DynamicDataTest, SetConvertsEachKindAndGetReadsItBack) {
    const std::string longText(200, 'x');
    const std::string longLua = "'" + longText + "'";
    const SetCase cases[] = {
        {"l", "42", "42", ""},
        {"l", "'42'", "42", "is not a NUMBER"},
        {"l", "'abc'", "0", "is not a NUMBER"},
        {"l", "3.9", "3", ""},
        {"l", "-3.9", "-3", ""},
        {"l", "1e12", "2147483647", ""},
        {"l", "-1e12", "-2147483648", ""},
        {"l", "0/0", "0", ""},
        {"ul", "-5", "0", ""},
        {"ul", "5e9", "4294967295", ""},
        {"o", "256", "0", ""},
        {"o", "255.7", "255", ""},
        {"o", "-1", "255", ""},
        {"o", "300", "44", ""},
        {"s", "32768", "-32768", ""},
        {"s", "40000", "-25536", ""},
        {"us", "70000", "4464", ""},
        {"b", "'TRUE'", "true", ""},
        {"b", "1", "true", ""},
        {"b", "0/0", "true", ""},
        {"b", "'True'", "false", ""},
        {"b", "'no'", "false", ""},
        {"b", "0", "false", ""},
        {"b", "{}", "false", ""},
        {"c", "'abc'", "a", ""},
        {"c", "7", "7", "is not a STRING"},
        {"c", "''", "", ""},
        {"wc", "'zebra'", "z", ""},
        {"f", "0.5", "0.5", ""},
        {"d", "-2.25", "-2.25", ""},
        {"e", "1", "1", ""},
        {"ll", "2^53", "9.007199254741e+15", ""},
        {"ull", "-1", "0", ""},
        {"str", "'hello'", "hello", ""},
        {"str", longLua.c_str(), longText.c_str(), ""},
        {"str", "12", "12", "is not a STRING"},
        {"ws", "'h\\195\\169llo'", "h\xc3\xa9llo", ""},
    };
    for (const SetCase &c : cases) {
        capture.clear();
        set(c.member, c.luaValue);
        EXPECT_EQ(get(c.member), c.expected) << c.member << " = " << c.luaValue;
        if (*c.message == '\0') {
            EXPECT_TRUE(capture.lines().empty()) << c.member << " = " << c.luaValue << ": " << capture.text();
        } else {
            EXPECT_TRUE(capture.contains(c.message)) << c.member << " = " << c.luaValue << ": " << capture.text();
        }
    }
}

TEST_F(DynamicDataTest, RefusedSetsLeaveTheMemberAndSayWhy) {
    set("str", "'kept'");
    set("l", "9");
    const SetCase cases[] = {
        {"str", "true", "kept", "!set str"},
        {"str", "{}", "kept", "is not a STRING"},
        {"l", "nil", "9", ""}, // not optional: the clear is refused, with a stack dump only
        {"seq", "1", "nil", "not a primitive type"},
        {"arr", "1", "nil", "not a primitive type"},
        {"inner", "1", "nil", "not a primitive type"},
        {"ld", "1", "nil", "LongDouble not supported"},
        {"zz", "1", "nil", "get kind failed for 'zz'"},
    };
    for (const SetCase &c : cases) {
        capture.clear();
        set(c.member, c.luaValue);
        if (*c.message != '\0') {
            EXPECT_TRUE(capture.contains(c.message)) << c.member << " = " << c.luaValue << ": " << capture.text();
        }
        capture.clear();
        const std::string value = get(c.member);
        if (std::string(c.member) == "str" || std::string(c.member) == "l") {
            EXPECT_EQ(value, c.expected) << c.member << " = " << c.luaValue;
        }
    }
}

TEST_F(DynamicDataTest, GetReportsLengthsAndRefusesComplexMembers) {
    struct GetCase {
        const char *member;
        const char *expected;
        const char *message;
    };
    const GetCase cases[] = {
        {"arr#", "3", ""},
        {"seq#", "0", ""},
        {"opt", "nil", ""},
        {"arr", "nil", "tcKind not supported"},
        {"inner", "nil", "not a primitive"},
        {"ld", "nil", "LongDouble not supported"},
        {"nope", "nil", "get kind failed for 'nope'"},
    };
    for (const GetCase &c : cases) {
        capture.clear();
        EXPECT_EQ(get(c.member), c.expected) << c.member;
        if (*c.message == '\0') {
            EXPECT_TRUE(capture.lines().empty()) << c.member << ": " << capture.text();
        } else {
            EXPECT_TRUE(capture.contains(c.message)) << c.member << ": " << capture.text();
        }
    }
    set("opt", "4");
    EXPECT_EQ(get("opt"), "4");
    set("opt", "nil");
    capture.clear();
    EXPECT_EQ(get("opt"), "nil");
    EXPECT_TRUE(capture.lines().empty()) << capture.text();
}

} // namespace

namespace {

TEST(SampleInfoTime, MillisecondsRoundToNearestAndCarryIntoSeconds) {
    const struct {
        DDS_Long sec;
        DDS_UnsignedLong nanosec;
        double ms;
    } rows[] = {
        {1, 500000000, 1500.0},   {5, 0, 5000.0},          {0, 1499999, 1.0},         {0, 1500000, 2.0},
        {0, 400000, 0.0},         {0, 600000, 1.0},        {0, 999500000, 1000.0},    {0, 999999999, 1000.0},
        {0, 999400000, 999.0},    {2147483647, 999999999, 2147483648000.0},            {-1, 0, -1000.0},
        {-5, 123, -1000.0},
    };
    for (const auto &r : rows) {
        const DDS_Time_t t{r.sec, r.nanosec};
        EXPECT_EQ(DDS_Time_t_to_milliseconds(&t), r.ms) << r.sec << "s " << r.nanosec << "ns";
    }
    const struct {
        DDS_UnsignedLong nanosec;
        DDS_UnsignedLong frac;
    } fractions[] = {{500000000, 2147483647u}, {1000000, 4294967u}, {0, 0}};
    for (const auto &f : fractions) {
        const DDS_Time_t t{0, f.nanosec};
        QueltNtpTime ntp{};
        DDS_Time_to_QueltNtpTime(&t, &ntp);
        EXPECT_EQ(ntp.frac, f.frac) << f.nanosec;
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
    lua_State *L = luaL_newstate();
    const std::string ff = "255,255,255,255,255,255,255,255,255,255,255,255,255,255,255,255";
    const std::pair<const char *, std::string> rows[] = {
        {"valid_data", "false"},
        {"Valid_data", "nil"},
        {"source_timestamp", "1500.0"},
        {"reception_timestamp", "0.0"},
        {"sample_identity", "{\"writer_guid\": {\"value\": [1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16]},"
                            "\"sequence_number\": {\"high\": 0,\"low\": 5}}"},
        {"related_sample_identity",
         "{\"writer_guid\": {\"value\": [" + ff + "]},\"sequence_number\": {\"high\": -1,\"low\": -2147483648}}"},
    };
    for (const auto &row : rows) {
        lua_newtable(L);
        lua_pushstring(L, row.first);
        lua_pushlightuserdata(L, &info);
        EXPECT_EQ(QueltLuaSampleInfo_get(L), 1);
        ASSERT_EQ(lua_gettop(L), 4) << row.first;
        if (lua_type(L, -1) == LUA_TNUMBER) {
            EXPECT_EQ(std::to_string(lua_tonumberx(L, -1, nullptr)).substr(0, row.second.size()), row.second);
        } else {
            EXPECT_EQ(luaL_tolstring(L, -1, nullptr), row.second) << row.first;
        }
        lua_settop(L, 0);
    }
    EXPECT_TRUE(capture.lines().empty()) << capture.text();
    lua_close(L);
}

} // namespace

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
    allocated = 0;
    EXPECT_EQ(QueltLuaMetamethodImpl_getJSONString(nullptr, buffer, &allocated), nullptr);
    EXPECT_EQ(allocated, 0);
    EXPECT_TRUE(capture.contains("QueltLuaMetamethodImpl_getJSONString: !precondition sample")) << capture.text();
}

TEST_F(DynamicDataTest, SetFromJsonKeepsTheStackOrPushesNil) {
    const struct {
        const char *json;
        int top; // stack height afterwards: 2 unchanged, 3 with nil pushed
    } rows[] = {{"{\"l\": 7}", 2}, {"[1", 3}, {"null", 2}};
    for (const auto &row : rows) {
        lua_pushstring(L, row.json);
        lua_pushlightuserdata(L, data);
        EXPECT_EQ(QueltLuaDynamicData_set_from_json(L), 1);
        EXPECT_EQ(lua_gettop(L), row.top) << row.json;
        if (row.top == 3) {
            EXPECT_TRUE(lua_isnil(L, -1));
        }
        lua_settop(L, 0);
    }
    EXPECT_EQ(get("l"), "7");
    // Not a text, or not a sample on top.
    lua_pushboolean(L, 1);
    lua_pushlightuserdata(L, data);
    QueltLuaDynamicData_set_from_json(L);
    EXPECT_TRUE(capture.contains("a LUA_TSTRING was expected in position -2")) << capture.text();
    lua_settop(L, 0);
    lua_pushstring(L, "{}");
    lua_pushlightuserdata(L, nullptr);
    QueltLuaDynamicData_set_from_json(L);
    EXPECT_TRUE(capture.contains("a LUA_TUSERDATA was expected on the top")) << capture.text();
    lua_settop(L, 0);
}
