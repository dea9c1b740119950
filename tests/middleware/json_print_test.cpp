// JSON printing of DynamicData: every kind, escaping, nesting, the pretty form, and the bounded
// buffer contract (measure, exact fit, truncation).
#include "dynamicdata_impl.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

using namespace quelt::mw;

namespace {

#define OK(expr) ASSERT_EQ(DDS_RETCODE_OK, (expr))

// Measures, then prints into a buffer of exactly the size measured.
std::string print(const DDS_DynamicData *d, bool pretty = false, int indent = 0)
{
    DDS_PrintFormat f;
    EXPECT_EQ(DDS_PrintFormat_initialize(&f, DDS_JSON_PRINT_FORMAT), DDS_RETCODE_OK);
    f.is_pretty_print = pretty;
    f.indent = indent;
    DDS_PrintFormatProperty_t pp{};
    EXPECT_EQ(DDS_DynamicDataFormatter_print_w_params(d, &pp, &f), DDS_RETCODE_OK);
    std::string out(pp.length + 1, '#');
    pp.buffer = out.data();
    pp.buffer_size = static_cast<DDS_UnsignedLong>(out.size());
    const DDS_UnsignedLong measured = pp.length;
    EXPECT_EQ(DDS_DynamicDataFormatter_print_w_params(d, &pp, &f), DDS_RETCODE_OK);
    EXPECT_EQ(pp.length, measured);
    EXPECT_EQ(out.back(), '\0');
    out.pop_back();
    return out;
}

// The text of one value of type t held at p.
std::string text(const DDS_TypeCode *t, const void *p)
{
    DDS_DynamicData d{};
    d.type = t;
    d.p = static_cast<unsigned char *>(const_cast<void *>(p));
    return print(&d);
}
template <typename T> std::string raw(T v) { return std::string(reinterpret_cast<const char *>(&v), sizeof v); }
// An IEEE binary128 value (little endian), from its high and low 64 bits.
std::string f128(uint64_t hi, uint64_t lo) { return raw(lo) + raw(hi); }

TEST(JsonPrintValues, EveryPrimitiveKindAtItsLimitsAndEveryEscape)
{
    constexpr uint64_t kHalf = 1ull << 59; // half a double's last fraction bit, in the low word
    const struct {
        DDS_TCKind kind;
        std::string bytes;
        const char *json;
    } cases[] = {
        {DDS_TK_SHORT, raw<int16_t>(INT16_MIN), "-32768"}, {DDS_TK_LONG, raw<int32_t>(INT32_MIN), "-2147483648"},
        {DDS_TK_USHORT, raw<uint16_t>(UINT16_MAX), "65535"}, {DDS_TK_ULONG, raw<uint32_t>(UINT32_MAX), "4294967295"},
        {DDS_TK_OCTET, raw<uint8_t>(255), "255"}, {DDS_TK_LONGLONG, raw<int64_t>(INT64_MIN), "-9223372036854775808"},
        {DDS_TK_ULONGLONG, raw<uint64_t>(UINT64_MAX), "18446744073709551615"},
        {DDS_TK_BOOLEAN, raw<uint8_t>(0), "false"}, {DDS_TK_BOOLEAN, raw<uint8_t>(2), "true"}, // any non-zero byte
        // A character is a string of one; NUL is the empty one; bytes above 0x7F are their Latin-1 code.
        {DDS_TK_CHAR, "z", "\"z\""}, {DDS_TK_CHAR, "\"", "\"\\\"\""}, {DDS_TK_CHAR, "\n", "\"\\u000a\""},
        {DDS_TK_CHAR, std::string(1, '\0'), "\"\""}, {DDS_TK_CHAR, "\x7f", "\"\x7f\""},
        {DDS_TK_CHAR, "\x80", "\"\\u0080\""}, {DDS_TK_CHAR, "\xe9", "\"\\u00e9\""},
        {DDS_TK_WCHAR, raw<uint16_t>(0), "\"0\""}, {DDS_TK_WCHAR, raw<uint16_t>(0x263A), "\"9786\""},
        // Shortest text that reads back the same; -0 keeps its sign; the others as strings.
        {DDS_TK_FLOAT, raw(1.5f), "1.5"}, {DDS_TK_FLOAT, raw(0.1f), "0.1"}, // not the double 0.10000000149011612
        {DDS_TK_DOUBLE, raw(0.1), "0.1"}, {DDS_TK_DOUBLE, raw(-2.25), "-2.25"}, {DDS_TK_DOUBLE, raw(1e300), "1e+300"},
        {DDS_TK_FLOAT, raw(std::numeric_limits<float>::max()), "3.4028235e+38"},
        {DDS_TK_DOUBLE, raw(-0.0), "-0.0"}, {DDS_TK_FLOAT, raw(-0.0f), "-0.0"},
        {DDS_TK_DOUBLE, raw(std::numeric_limits<double>::quiet_NaN()), "\"NaN\""},
        {DDS_TK_FLOAT, raw(-std::numeric_limits<float>::quiet_NaN()), "\"NaN\""},
        {DDS_TK_DOUBLE, raw(std::numeric_limits<double>::infinity()), "\"Infinity\""},
        {DDS_TK_FLOAT, raw(-std::numeric_limits<float>::infinity()), "\"-Infinity\""},
        // Long doubles are binary128, rounded to the nearest double (half to even).
        {DDS_TK_LONGDOUBLE, f128(0x3ffb999999999999, 0xa000000000000000), "0.1"},
        {DDS_TK_LONGDOUBLE, f128(0x3fff800000000000, 0), "1.5"}, {DDS_TK_LONGDOUBLE, f128(0xc000000000000000, 0), "-2"},
        {DDS_TK_LONGDOUBLE, f128(0x3c1a56e1fc2f8f35, 0x9000000000000000), "1e-300"},
        {DDS_TK_LONGDOUBLE, f128(0x8000000000000000, 0), "-0.0"}, {DDS_TK_LONGDOUBLE, f128(0x3fff000000000000, kHalf), "1"},
        {DDS_TK_LONGDOUBLE, f128(0x3fff000000000000, kHalf | 1), "1.0000000000000002"},
        {DDS_TK_LONGDOUBLE, f128(0xffff000000000000, 0), "\"-Infinity\""}, {DDS_TK_LONGDOUBLE, f128(0xffff000000000000, 1), "\"NaN\""},
        {DDS_TK_LONGDOUBLE, f128(0x7ffe000000000000, 0), "\"Infinity\""}, // 2^16383: beyond any double
    };
    for (const auto &c : cases) {
        const DDS_TypeCode *t = primitive_type(c.kind);
        ASSERT_EQ(t->size, c.bytes.size()) << c.json;
        EXPECT_EQ(text(t, c.bytes.data()), c.json);
    }
}

// What a reader gets back with strtod is the same bits, for awkward and random values.
TEST(JsonPrintValues, FloatingPointRoundTrips)
{
    static const std::regex number(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)"); // JSON's grammar
    std::mt19937_64 rng(7);
    std::vector<double> ds = {5e-324, std::numeric_limits<double>::max(), 0.30000000000000004, 123456789012345680000.0};
    for (int i = 0; i < 200; ++i) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        if (std::isfinite(d)) ds.push_back(d);
    }
    for (double d : ds) {
        const std::string t = text(primitive_type(DDS_TK_DOUBLE), &d);
        EXPECT_TRUE(std::regex_match(t, number)) << t;
        const double back = std::strtod(t.c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&back, &d, 8), 0) << t;
        const float f = static_cast<float>(d);
        if (!std::isfinite(f)) continue;
        const std::string tf = text(primitive_type(DDS_TK_FLOAT), &f);
        const float fback = static_cast<float>(std::strtod(tf.c_str(), nullptr));
        EXPECT_EQ(std::memcmp(&fback, &f, 4), 0) << tf;
    }
}

// Strings escape quote, backslash and control characters and pass UTF-8 through; bytes that are
// not UTF-8 (a stray continuation, a truncated sequence, a surrogate, an overlong form) become
// U+FFFD. Wide strings become UTF-8, unpaired surrogates U+FFFD.
TEST(JsonPrintStrings, EscapingAndUtf8)
{
    const struct {
        std::string bytes;
        const char *json;
    } narrow[] = {
        {"q\"b\\s/\x01\x1f\x7f\t\xc3\xa9\xe2\x82\xac!", "\"q\\\"b\\\\s/\\u0001\\u001f\x7f\\u0009\xc3\xa9\xe2\x82\xac!\""},
        {std::string("a\0b", 3), "\"a\\u0000b\""}, // the length counts, not the first NUL
        {"a\x80" "b\xe2\x82" "c\xed\xa0\x80" "d\xc0\xaf" "e", "\"a\\ufffdb\\ufffd\\ufffdc\\ufffd\\ufffd\\ufffdd\\ufffd\\ufffde\""},
    };
    BufRep b{};
    EXPECT_EQ(text(string_type(DDS_TK_STRING, 0), &b), "\"\""); // never assigned: no buffer at all
    for (const auto &c : narrow) {
        ASSERT_TRUE(str_assign(&b, c.bytes.data(), c.bytes.size()));
        EXPECT_EQ(text(string_type(DDS_TK_STRING, 0), &b), c.json);
    }
    buf_free(&b, primitive_type(DDS_TK_CHAR));
    // Longer than the internal conversion chunk, with multi-byte characters across its edge.
    std::string euros = "\"";
    for (int i = 0; i < 300; ++i) euros += "\xe2\x82\xac";
    const struct {
        std::u16string units;
        std::string json;
    } wide[] = {
        {u"A\u00e9\u20ac\U0001F600\"\n", "\"A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\\\"\\u000a\""},
        {{0xDC00, 0xD800, u'x', 0xDBFF}, "\"\xef\xbf\xbd\xef\xbf\xbdx\xef\xbf\xbd\""}, // lone low, high before x, high at the end
        {std::u16string(300, u'\u20ac'), euros + "\""},
    };
    for (const auto &c : wide) {
        ASSERT_TRUE(wstr_assign(&b, c.units.data(), c.units.size()));
        EXPECT_EQ(text(string_type(DDS_TK_WSTRING, 0), &b), c.json);
    }
    buf_free(&b, primitive_type(DDS_TK_WCHAR));
}

// Outer (data/json/nesting.xml) holds every structured kind.
class JsonPrintNesting : public ::testing::Test {
  protected:
    std::shared_ptr<DDS_TypeLibrary> lib{DDS_TypeLibrary_new(), DDS_TypeLibrary_delete};
    DDS_DynamicData *s = nullptr;
    void SetUp() override
    {
        OK(DDS_TypeLibrary_load_file(lib.get(), (QUELT_TEST_DATA + "/json/nesting.xml").c_str()));
        s = DDS_DynamicData_new(DDS_TypeLibrary_find(lib.get(), "Outer"), nullptr);
    }
    void TearDown() override { DDS_DynamicData_delete(s); }
    void fill()
    {
        OK(DDS_DynamicData_set_long(s, "i.c", 0, 7));
        OK(DDS_DynamicData_set_string(s, "i.name", 0, "n"));
        OK(DDS_DynamicData_set_long(s, "is[2].c", 0, 7));
        OK(DDS_DynamicData_set_string(s, "is[2].name", 0, "n"));
        for (int k = 0; k < 6; ++k)
            OK(DDS_DynamicData_set_short(s, ("m[" + std::to_string(k / 3 + 1) + "][" + std::to_string(k % 3 + 1) + "]").c_str(), 0, k + 1));
        OK(DDS_DynamicData_set_long(s, "u.in.c", 0, 7));
        OK(DDS_DynamicData_set_long(s, "opt", 0, -1));
        OK(DDS_DynamicData_set_long(s, "us[1].a", 0, 0));
        DDS_DynamicData *us = DDS_DynamicData_new(nullptr, nullptr);
        OK(DDS_DynamicData_bind_complex_member(s, us, "us", 0));
        OK(DDS_DynamicData_set_sequence_length(us, 2)); // the second with no case selected
        OK(DDS_DynamicData_unbind_complex_member(s, us));
        DDS_DynamicData_delete(us);
        OK(DDS_DynamicData_set_long(s, "col", 0, 4));
    }
};

TEST_F(JsonPrintNesting, StructsSequencesArraysUnionsOptionals)
{
    // Defaults: empty sequences, zeroed array, unions with nothing selected, optionals absent.
    EXPECT_EQ(print(s), "{\"i\":{\"c\":0,\"name\":\"\"},\"is\":[],\"none\":[],\"m\":[0,0,0,0,0,0],"
                        "\"u\":{},\"u2\":{},\"e\":{},\"us\":[],\"col\":1,\"nobody\":[]}");
    fill();
    EXPECT_EQ(print(s), "{\"i\":{\"c\":7,\"name\":\"n\"},\"is\":[{\"c\":0,\"name\":\"\"},{\"c\":7,\"name\":\"n\"}],"
                        "\"none\":[],\"m\":[1,2,3,4,5,6],\"u\":{\"in\":{\"c\":7,\"name\":\"\"}},\"u2\":{},"
                        "\"opt\":-1,\"e\":{},\"us\":[{\"a\":0},{}],\"col\":4,\"nobody\":[]}");
    // A DynamicData bound to a complex member may be any structured kind, not only a struct.
    DDS_DynamicData *part = DDS_DynamicData_new(nullptr, nullptr);
    const std::pair<const char *, const char *> parts[] = {
        {"m", "[1, 2, 3, 4, 5, 6]"}, {"u", "{\n \"in\": {\n  \"c\": 7,\n  \"name\": \"\"\n }\n}"}, {"us", "[\n {\n  \"a\": 0\n },\n {}\n]"}};
    for (const auto &[member, json] : parts) {
        OK(DDS_DynamicData_bind_complex_member(s, part, member, 0));
        EXPECT_EQ(print(part, true, 1), json);
        OK(DDS_DynamicData_unbind_complex_member(s, part));
    }
    DDS_DynamicData_delete(part);
}

TEST_F(JsonPrintNesting, PrettyPrintIndentsStructuredValuesOnly)
{
    fill();
    EXPECT_EQ(print(s, true, 2) + "\n", quelt::test::readFile(QUELT_TEST_DATA + "/json/nesting_pretty.json"));
    // Indent without pretty printing stays compact; a negative indent counts as none.
    EXPECT_EQ(print(s, false, 4), print(s));
    EXPECT_EQ(print(s, true, -3).find("\n\"i\": {\n\"c\": 7"), 1u);
}

TEST_F(JsonPrintNesting, BoundedBufferTruncatesAndKeepsCounting)
{
    fill();
    const std::string full = print(s);
    const DDS_UnsignedLong n = static_cast<DDS_UnsignedLong>(full.size());
    DDS_PrintFormat f;
    DDS_PrintFormat_initialize(&f, DDS_JSON_PRINT_FORMAT);
    // Every size up to the exact fit (n + 1): prefix + NUL, nothing written past the size, and
    // the full length reported (print() checks the measuring call without a buffer).
    for (DDS_UnsignedLong size = 1; size <= n + 1; ++size) {
        std::vector<char> buf(size + 8, '@');
        DDS_PrintFormatProperty_t pp{};
        pp.buffer = buf.data();
        pp.buffer_size = size;
        ASSERT_EQ(DDS_DynamicDataFormatter_print_w_params(s, &pp, &f), DDS_RETCODE_OK);
        ASSERT_EQ(pp.length, n);
        EXPECT_EQ(std::string(buf.data()), full.substr(0, size - 1)) << size;
        for (size_t k = size; k < buf.size(); ++k)
            ASSERT_EQ(buf[k], '@') << "byte " << k << " written with buffer_size " << size;
    }
}

} // namespace
