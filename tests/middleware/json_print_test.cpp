// JSON printing of DynamicData: every kind, nesting, escaping, pretty form, and the bounded
// buffer contract (measure, exact fit, truncation).
#include "dynamicdata_impl.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <vector>

using namespace quelt::mw;

namespace {

// JSON's number grammar (no "inf", "1.", ".5" or leading zeros).
bool json_number(const std::string &t)
{
    static const std::regex number(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)");
    return std::regex_match(t, number);
}

// A sample laid out directly by its type, so these tests depend on nothing but the layout.
class Sample {
  public:
    explicit Sample(const DDS_TypeCode *t) : mem_(t->size / 8 + 2)
    {
        dd_.type = t;
        dd_.p = reinterpret_cast<unsigned char *>(mem_.data());
        value_init(t, dd_.p);
    }
    ~Sample() { value_fini(dd_.type, dd_.p); }
    const DDS_DynamicData *data() const { return &dd_; }
    // Top-level member block; marks an optional member present.
    unsigned char *at(const char *name) { return member(dd_.type, dd_.p, name); }
    static unsigned char *member(const DDS_TypeCode *t, unsigned char *p, const char *name)
    {
        for (const Member &m : t->members) {
            if (m.name != name) continue;
            if (m.optional && !p[m.flag_offset]) { value_init(m.rtype, p + m.offset); p[m.flag_offset] = 1; }
            return p + m.offset;
        }
        ADD_FAILURE() << "no member " << name;
        static unsigned char junk[64];
        return junk;
    }
    template <typename T> void set(const char *name, T v) { std::memcpy(at(name), &v, sizeof v); }

  private:
    std::vector<uint64_t> mem_;
    DDS_DynamicData dd_{};
};

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

// struct Prims { every primitive kind; enum Color col; }
struct PrimTypes {
    TypeStore store;
    DDS_TypeCode *st;
    PrimTypes()
    {
        DDS_TypeCode *color = make_enum(store, "Color");
        add_enumerator(color, "RED", 1);
        add_enumerator(color, "BLUE", 4);
        st = make_struct(store, "Prims");
        const std::pair<const char *, DDS_TCKind> prims[] = {
            {"s", DDS_TK_SHORT}, {"l", DDS_TK_LONG},           {"us", DDS_TK_USHORT}, {"ul", DDS_TK_ULONG},
            {"o", DDS_TK_OCTET}, {"ll", DDS_TK_LONGLONG},      {"ull", DDS_TK_ULONGLONG}, {"b", DDS_TK_BOOLEAN},
            {"c", DDS_TK_CHAR},  {"w", DDS_TK_WCHAR},          {"col", DDS_TK_ENUM},  {"f", DDS_TK_FLOAT},
            {"d", DDS_TK_DOUBLE}, {"ld", DDS_TK_LONGDOUBLE}};
        for (const auto &[name, kind] : prims)
            add_member(st, name, kind == DDS_TK_ENUM ? color : primitive_type(kind));
        EXPECT_EQ(store.finish(st), "");
    }
};

// One-member structs for probing a single value's text.
struct Single {
    TypeStore store;
    DDS_TypeCode *st;
    explicit Single(const DDS_TypeCode *t)
    {
        st = make_struct(store, "S");
        add_member(st, "v", t);
        EXPECT_EQ(store.finish(st), "");
    }
};

template <typename T> std::string value_text(DDS_TCKind kind, T v)
{
    Single one(primitive_type(kind));
    Sample s(one.st);
    s.set("v", v);
    std::string j = print(s.data());
    // Strip {"v": and }.
    return j.substr(5, j.size() - 6);
}

// IEEE binary128 bytes (little endian) of a finite double, widened exactly, plus extra low
// fraction bits to test rounding back to double.
DDS_LongDouble to_binary128(double v, uint64_t extra_low = 0)
{
    DDS_LongDouble r{};
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    const uint64_t sign = bits >> 63;
    const int exp = static_cast<int>((bits >> 52) & 0x7ff);
    const uint64_t frac = bits & ((1ull << 52) - 1);
    uint64_t hi = sign << 63, lo = extra_low;
    if (exp != 0 || frac != 0) {
        hi |= uint64_t(exp - 1023 + 16383) << 48 | (frac >> 4);
        lo |= frac << 60;
    }
    for (int i = 0; i < 8; ++i) {
        r.bytes[i] = static_cast<unsigned char>(lo >> (8 * i));
        r.bytes[8 + i] = static_cast<unsigned char>(hi >> (8 * i));
    }
    return r;
}

TEST(JsonPrintValues, EveryPrimitiveKindAtItsLimits)
{
    PrimTypes types;
    Sample s(types.st);
    EXPECT_EQ(print(s.data()), "{\"s\":0,\"l\":0,\"us\":0,\"ul\":0,\"o\":0,\"ll\":0,\"ull\":0,\"b\":false,\"c\":\"\","
                               "\"w\":\"0\",\"col\":1,\"f\":0,\"d\":0,\"ld\":0}");
    s.set<int16_t>("s", INT16_MIN);
    s.set<int32_t>("l", INT32_MIN);
    s.set<uint16_t>("us", UINT16_MAX);
    s.set<uint32_t>("ul", UINT32_MAX);
    s.set<uint8_t>("o", 255);
    s.set<int64_t>("ll", INT64_MIN);
    s.set<uint64_t>("ull", UINT64_MAX);
    s.set<uint8_t>("b", 1);
    s.set<char>("c", 'z');
    s.set<uint16_t>("w", 0x263A);
    s.set<int32_t>("col", 4);
    s.set<float>("f", 1.5f);
    s.set<double>("d", -2.25);
    s.set("ld", to_binary128(0.1));
    EXPECT_EQ(print(s.data()), "{\"s\":-32768,\"l\":-2147483648,\"us\":65535,\"ul\":4294967295,\"o\":255,"
                               "\"ll\":-9223372036854775808,\"ull\":18446744073709551615,\"b\":true,\"c\":\"z\","
                               "\"w\":\"9786\",\"col\":4,\"f\":1.5,\"d\":-2.25,\"ld\":0.1}");
}

TEST(JsonPrintValues, CharactersAreEscapedLikeStrings)
{
    EXPECT_EQ(value_text(DDS_TK_CHAR, '"'), "\"\\\"\"");
    EXPECT_EQ(value_text(DDS_TK_CHAR, '\n'), "\"\\u000a\"");
    EXPECT_EQ(value_text(DDS_TK_CHAR, '\0'), "\"\"");
    EXPECT_EQ(value_text(DDS_TK_CHAR, '\xe9'), "\"\\u00e9\""); // a byte above 0x7F as its Latin-1 code
    EXPECT_EQ(value_text(DDS_TK_BOOLEAN, uint8_t(2)), "true"); // any non-zero byte is true
}

TEST(JsonPrintValues, FloatingPointIsShortestAndRoundTrips)
{
    EXPECT_EQ(value_text(DDS_TK_FLOAT, 0.1f), "0.1"); // not the double 0.10000000149011612
    EXPECT_EQ(value_text(DDS_TK_DOUBLE, 0.1), "0.1");
    EXPECT_EQ(value_text(DDS_TK_DOUBLE, 1e300), "1e+300");
    EXPECT_EQ(value_text(DDS_TK_FLOAT, std::numeric_limits<float>::max()), "3.4028235e+38");
    EXPECT_EQ(value_text(DDS_TK_DOUBLE, -0.0), "-0.0");
    EXPECT_EQ(value_text(DDS_TK_FLOAT, -0.0f), "-0.0");
    EXPECT_EQ(value_text(DDS_TK_DOUBLE, std::numeric_limits<double>::quiet_NaN()), "\"NaN\"");
    EXPECT_EQ(value_text(DDS_TK_FLOAT, -std::numeric_limits<float>::quiet_NaN()), "\"NaN\"");
    EXPECT_EQ(value_text(DDS_TK_DOUBLE, std::numeric_limits<double>::infinity()), "\"Infinity\"");
    EXPECT_EQ(value_text(DDS_TK_FLOAT, -std::numeric_limits<float>::infinity()), "\"-Infinity\"");

    // What a reader gets back with strtod is the same bits, for awkward values too.
    std::mt19937_64 rng(7);
    std::vector<double> ds = {5e-324, std::numeric_limits<double>::max(), 0.30000000000000004, 123456789012345680000.0};
    for (int i = 0; i < 200; ++i) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        if (std::isfinite(d)) ds.push_back(d);
    }
    for (double d : ds) {
        const std::string t = value_text(DDS_TK_DOUBLE, d);
        EXPECT_TRUE(json_number(t)) << t;
        const double back = std::strtod(t.c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&back, &d, 8), 0) << t;
        const float f = static_cast<float>(d);
        if (!std::isfinite(f)) continue;
        const std::string tf = value_text(DDS_TK_FLOAT, f);
        const float fback = static_cast<float>(std::strtod(tf.c_str(), nullptr));
        EXPECT_EQ(std::memcmp(&fback, &f, 4), 0) << tf;
    }
}

TEST(JsonPrintValues, LongDoubleIsBinary128RoundedToDouble)
{
    EXPECT_EQ(value_text(DDS_TK_LONGDOUBLE, to_binary128(1.5)), "1.5");
    EXPECT_EQ(value_text(DDS_TK_LONGDOUBLE, to_binary128(-2.0)), "-2");
    EXPECT_EQ(value_text(DDS_TK_LONGDOUBLE, to_binary128(1e-300)), "1e-300");
    EXPECT_EQ(value_text(DDS_TK_LONGDOUBLE, to_binary128(-0.0)), "-0.0");
    // Fraction bits beyond a double: exactly half rounds to even, more than half rounds up.
    EXPECT_EQ(value_text(DDS_TK_LONGDOUBLE, to_binary128(1.0, 1ull << 59)), "1");
    EXPECT_EQ(value_text(DDS_TK_LONGDOUBLE, to_binary128(1.0, (1ull << 59) | 1)), "1.0000000000000002");
    DDS_LongDouble inf{}, nan{}, huge{};
    inf.bytes[15] = 0xff; // -infinity: sign and all-ones exponent
    inf.bytes[14] = 0xff;
    nan = inf;
    nan.bytes[0] = 1;
    huge.bytes[15] = 0x7f; // 2^16383: beyond any double
    huge.bytes[14] = 0xfe;
    EXPECT_EQ(value_text(DDS_TK_LONGDOUBLE, inf), "\"-Infinity\"");
    EXPECT_EQ(value_text(DDS_TK_LONGDOUBLE, nan), "\"NaN\"");
    EXPECT_EQ(value_text(DDS_TK_LONGDOUBLE, huge), "\"Infinity\"");
}

TEST(JsonPrintStrings, EscapingAndPassThrough)
{
    TypeStore store;
    Single one(make_string(store, DDS_TK_STRING, 0));
    Sample s(one.st);
    EXPECT_EQ(print(s.data()), "{\"v\":\"\"}"); // never assigned: no buffer at all
    auto *b = reinterpret_cast<BufRep *>(s.at("v"));
    const char raw[] = "q\"b\\s/\x01\x1f\x7f\t\xc3\xa9\xe2\x82\xac!";
    ASSERT_TRUE(str_assign(b, raw, sizeof raw - 1));
    EXPECT_EQ(print(s.data()), "{\"v\":\"q\\\"b\\\\s/\\u0001\\u001f\x7f\\u0009\xc3\xa9\xe2\x82\xac!\"}");
    ASSERT_TRUE(str_assign(b, "a\0b", 3)); // the length counts, not the first NUL
    EXPECT_EQ(print(s.data()), "{\"v\":\"a\\u0000b\"}");
    // Bytes that are not UTF-8 (a stray continuation, a truncated sequence, a surrogate, an
    // overlong form) become U+FFFD, so the text stays valid JSON.
    const char bad[] = "a\x80" "b\xe2\x82" "c\xed\xa0\x80" "d\xc0\xaf" "e";
    ASSERT_TRUE(str_assign(b, bad, sizeof bad - 1));
    EXPECT_EQ(print(s.data()), "{\"v\":\"a\\ufffdb\\ufffd\\ufffdc\\ufffd\\ufffd\\ufffdd\\ufffd\\ufffde\"}");
}

TEST(JsonPrintStrings, WideStringsBecomeUtf8)
{
    TypeStore store;
    Single one(make_string(store, DDS_TK_WSTRING, 0));
    Sample s(one.st);
    auto *b = reinterpret_cast<BufRep *>(s.at("v"));
    const char16_t text[] = u"A\u00e9\u20ac\U0001F600\"\n";
    ASSERT_TRUE(wstr_assign(b, text, std::char_traits<char16_t>::length(text)));
    EXPECT_EQ(print(s.data()), "{\"v\":\"A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\\\"\\u000a\"}");
    // Unpaired surrogates: a lone low, a high followed by a non-surrogate, a high at the end.
    const char16_t bad[] = {0xDC00, 0xD800, u'x', 0xDBFF};
    ASSERT_TRUE(wstr_assign(b, bad, 4));
    EXPECT_EQ(print(s.data()), "{\"v\":\"\xef\xbf\xbd\xef\xbf\xbdx\xef\xbf\xbd\"}");
    // Longer than the internal conversion chunk, with multi-byte characters across its edge.
    std::u16string big(300, u'\u20ac');
    ASSERT_TRUE(wstr_assign(b, big.data(), big.size()));
    std::string expect = "{\"v\":\"";
    for (int i = 0; i < 300; ++i) expect += "\xe2\x82\xac";
    EXPECT_EQ(print(s.data()), expect + "\"}");
}

// struct Inner { int32 c; string name; }
// union U switch(int32) { case 1: int32 a; case 2: Inner in; }
// struct Outer { Inner i; sequence<Inner> is; sequence<int16> none; int16 m[2][3]; U u; U u2;
//                @optional int32 opt; @optional Inner oin; Empty e; sequence<U> us; }
struct NestTypes {
    TypeStore store;
    DDS_TypeCode *inner, *un, *outer;
    NestTypes()
    {
        inner = make_struct(store, "Inner");
        add_member(inner, "c", primitive_type(DDS_TK_LONG));
        add_member(inner, "name", make_string(store, DDS_TK_STRING, 0));
        un = make_union(store, "U", primitive_type(DDS_TK_LONG));
        add_case(un, "a", primitive_type(DDS_TK_LONG), {1}, false);
        add_case(un, "in", inner, {2}, false);
        outer = make_struct(store, "Outer");
        add_member(outer, "i", inner);
        add_member(outer, "is", make_sequence(store, inner, 0));
        add_member(outer, "none", make_sequence(store, primitive_type(DDS_TK_SHORT), 0));
        add_member(outer, "m", make_array(store, primitive_type(DDS_TK_SHORT), {2, 3}));
        add_member(outer, "u", un);
        add_member(outer, "u2", un);
        add_member(outer, "opt", primitive_type(DDS_TK_LONG), false, true);
        add_member(outer, "oin", inner, false, true);
        add_member(outer, "e", make_struct(store, "Empty"));
        add_member(outer, "us", make_sequence(store, un, 0));
        EXPECT_EQ(store.finish(outer), "");
    }
};

class JsonPrintNesting : public ::testing::Test {
  protected:
    NestTypes types;
    Sample s{types.outer};
    void fill()
    {
        unsigned char *i = s.at("i");
        int32_t c = 7;
        std::memcpy(Sample::member(types.inner, i, "c"), &c, 4);
        str_assign(reinterpret_cast<BufRep *>(Sample::member(types.inner, i, "name")), "n", 1);
        auto *is = reinterpret_cast<BufRep *>(s.at("is"));
        ASSERT_TRUE(buf_resize(is, types.inner, 2));
        value_copy(types.inner, static_cast<unsigned char *>(is->data) + types.inner->size, i);
        auto *m = reinterpret_cast<int16_t *>(s.at("m"));
        for (int k = 0; k < 6; ++k) m[k] = static_cast<int16_t>(k + 1);
        unsigned char *u = s.at("u");
        union_select(types.un, u, 1);
        std::memcpy(u + types.un->payload_offset, i, 4); // Inner.c is its first member
        s.set<int32_t>("opt", -1);
        auto *us = reinterpret_cast<BufRep *>(s.at("us"));
        ASSERT_TRUE(buf_resize(us, types.un, 2));
        union_select(types.un, us->data, 0);
    }
};

TEST_F(JsonPrintNesting, StructsSequencesArraysUnionsOptionals)
{
    // Defaults: empty sequences, zeroed array, unions with nothing selected, optionals absent.
    EXPECT_EQ(print(s.data()), "{\"i\":{\"c\":0,\"name\":\"\"},\"is\":[],\"none\":[],\"m\":[0,0,0,0,0,0],"
                               "\"u\":{},\"u2\":{},\"e\":{},\"us\":[]}");
    fill();
    EXPECT_EQ(print(s.data()), "{\"i\":{\"c\":7,\"name\":\"n\"},\"is\":[{\"c\":0,\"name\":\"\"},{\"c\":7,\"name\":\"n\"}],"
                               "\"none\":[],\"m\":[1,2,3,4,5,6],\"u\":{\"in\":{\"c\":7,\"name\":\"\"}},\"u2\":{},"
                               "\"opt\":-1,\"e\":{},\"us\":[{\"a\":0},{}]}");
}

TEST_F(JsonPrintNesting, PrettyPrintIndentsStructuredValuesOnly)
{
    fill();
    EXPECT_EQ(print(s.data(), true, 2) + "\n", quelt::test::readFile(QUELT_TEST_DATA "/json/nesting_pretty.json"));
    // Indent without pretty printing stays compact; a negative indent counts as none.
    EXPECT_EQ(print(s.data(), false, 4), print(s.data()));
    EXPECT_EQ(print(s.data(), true, -3).find("\n\"i\": {\n\"c\": 7"), 1u);
}

TEST_F(JsonPrintNesting, BoundedBufferTruncatesAndKeepsCounting)
{
    fill();
    const std::string full = print(s.data());
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
        ASSERT_EQ(DDS_DynamicDataFormatter_print_w_params(s.data(), &pp, &f), DDS_RETCODE_OK);
        ASSERT_EQ(pp.length, n);
        EXPECT_EQ(std::string(buf.data()), full.substr(0, size - 1)) << size;
        for (size_t k = size; k < buf.size(); ++k)
            ASSERT_EQ(buf[k], '@') << "byte " << k << " written with buffer_size " << size;
    }
}

TEST(JsonPrintBound, PrintsAnArrayOrUnionSampleOnItsOwn)
{
    // A DynamicData bound to a complex member may be any structured kind, not only a struct.
    NestTypes types;
    Sample s(types.outer);
    const Member &m = types.outer->members[3]; // int16 m[2][3]
    DDS_DynamicData arr{};
    arr.type = m.rtype;
    arr.p = s.at("m");
    EXPECT_EQ(print(&arr), "[0,0,0,0,0,0]");
    DDS_DynamicData un{};
    un.type = types.un;
    un.p = s.at("u");
    union_select(types.un, un.p, 0);
    EXPECT_EQ(print(&un, true, 1), "{\n \"a\": 0\n}");
}

} // namespace
