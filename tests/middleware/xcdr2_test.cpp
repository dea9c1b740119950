// XCDR2 against Cyclone DDS: the byte strings in tests/data/xcdr2 were written by Cyclone's own
// serializer from tests/interop/Extensible.idl (tests/interop/xcdr2_capture.c). Our codec must
// read them, write the same bytes for the same type, read them into the evolved types of
// tests/data/extensible.xml, and refuse damaged copies without crashing.
#include "cdr.h"
#include "dynamicdata_impl.h"

#include "dds/dds_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

using namespace quelt::mw;
using Bytes = std::vector<uint8_t>;

namespace {

#define OK(expr) ASSERT_EQ(DDS_RETCODE_OK, (expr))

// Ext as the IDL declares it.
const char *const kSameAsIdl = R"(<dds><types><module name="Ext">
  <struct name="Inner" extensibility="appendable">
    <member name="a" type="int32"/><member name="s" type="string" stringMaxLength="8"/>
  </struct>
  <struct name="App" extensibility="appendable">
    <member name="id" type="string" stringMaxLength="11" key="true"/>
    <member name="count" type="int32"/>
    <member name="items" type="nonBasic" nonBasicTypeName="Inner" sequenceMaxLength="-1"/>
    <member name="nested" type="nonBasic" nonBasicTypeName="Inner"/>
  </struct>
  <struct name="Mut" extensibility="mutable">
    <member name="id" type="int32" key="true"/>
    <member name="opt" type="int32" optional="true"/>
    <member name="name" type="string" stringMaxLength="16"/>
    <member name="value" type="float64"/>
    <member name="shorts" type="int16" sequenceMaxLength="-1"/>
    <member name="inner" type="nonBasic" nonBasicTypeName="Inner" optional="true"/>
  </struct>
  <struct name="Fin">
    <member name="id" type="int32" key="true"/><member name="big" type="int64"/>
    <member name="s" type="string" stringMaxLength="8"/>
  </struct>
</module></types></dds>)";

struct LibraryDeleter {
    void operator()(DDS_TypeLibrary *lib) const { DDS_TypeLibrary_delete(lib); }
};
using Library = std::unique_ptr<DDS_TypeLibrary, LibraryDeleter>;

struct SampleDeleter {
    void operator()(DDS_DynamicData *d) const { DDS_DynamicData_delete(d); }
};
using Sample = std::unique_ptr<DDS_DynamicData, SampleDeleter>;

Bytes read_file(const std::string &name)
{
    std::ifstream in(std::string(QUELT_TEST_DATA "/xcdr2/") + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

DDS_ReturnCode_t decode(DDS_DynamicData *d, const Bytes &b)
{
    static const unsigned char none = 0;
    return DDS_DynamicData_from_cdr_buffer(d, b.empty() ? &none : b.data(), static_cast<DDS_UnsignedLong>(b.size()));
}

Bytes encode(const DDS_DynamicData *d, DDS_DataRepresentationId_t rep, bool big_endian)
{
    DDS_UnsignedLong n = 0;
    EXPECT_EQ(DDS_RETCODE_OK, DDS_DynamicData_to_cdr_buffer_ex(d, nullptr, &n, rep, big_endian));
    Bytes b(n);
    EXPECT_EQ(DDS_RETCODE_OK, DDS_DynamicData_to_cdr_buffer_ex(d, b.data(), &n, rep, big_endian));
    EXPECT_EQ(b.size(), n);
    return b;
}

std::string hex(const Bytes &b)
{
    std::string s;
    char buf[4];
    for (uint8_t c : b) {
        std::snprintf(buf, sizeof buf, "%02x ", c);
        s += buf;
    }
    return s;
}

// The samples xcdr2_capture.c writes, set by name (so they fit both versions of each type).
void fill_app(DDS_DynamicData *d)
{
    OK(DDS_DynamicData_set_string(d, "id", 0, "app-1"));
    OK(DDS_DynamicData_set_long(d, "count", 0, 42));
    OK(DDS_DynamicData_set_long(d, "items[1].a", 0, 7));
    OK(DDS_DynamicData_set_string(d, "items[1].s", 0, "seven"));
    OK(DDS_DynamicData_set_long(d, "items[2].a", 0, -8));
    OK(DDS_DynamicData_set_long(d, "nested.a", 0, -1));
    OK(DDS_DynamicData_set_string(d, "nested.s", 0, "nest"));
}
void fill_app_empty(DDS_DynamicData *) {}
void fill_mut(DDS_DynamicData *d)
{
    OK(DDS_DynamicData_set_long(d, "id", 0, 17));
    OK(DDS_DynamicData_set_long(d, "opt", 0, -5));
    OK(DDS_DynamicData_set_string(d, "name", 0, "mutable"));
    OK(DDS_DynamicData_set_double(d, "value", 0, 2.5));
    for (int k = 0; k < 3; ++k)
        OK(DDS_DynamicData_set_short(d, ("shorts[" + std::to_string(k + 1) + "]").c_str(), 0, int16_t(k % 2 ? -(k + 1) : k + 1)));
    OK(DDS_DynamicData_set_long(d, "inner.a", 0, 99));
    OK(DDS_DynamicData_set_string(d, "inner.s", 0, "in"));
}
void fill_mut_absent(DDS_DynamicData *d)
{
    OK(DDS_DynamicData_set_long(d, "id", 0, 18));
    OK(DDS_DynamicData_set_double(d, "value", 0, -0.125));
}
void fill_fin(DDS_DynamicData *d)
{
    OK(DDS_DynamicData_set_long(d, "id", 0, 3));
    OK(DDS_DynamicData_set_longlong(d, "big", 0, -1234567890123LL));
    OK(DDS_DynamicData_set_string(d, "s", 0, "fin"));
}

struct Capture {
    const char *file; // without _le.bin / _be.bin
    const char *type;
    void (*fill)(DDS_DynamicData *);
};
const Capture kCaptures[] = {
    {"app", "Ext::App", fill_app},      {"app_empty", "Ext::App", fill_app_empty}, {"mut", "Ext::Mut", fill_mut},
    {"mut_absent", "Ext::Mut", fill_mut_absent}, {"fin", "Ext::Fin", fill_fin},
};

// Log lines of a test, so a refusal can be checked for its reason.
struct LogCapture {
    std::string text;
    LogCapture() { QueltLog_setSink([](const char *line, void *user) { static_cast<LogCapture *>(user)->text += line; }, this); }
    ~LogCapture() { QueltLog_setSink(nullptr, nullptr); }
};

class Xcdr2 : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        same_.reset(DDS_TypeLibrary_new());
        ASSERT_EQ(DDS_RETCODE_OK, DDS_TypeLibrary_load_string(same_.get(), kSameAsIdl, "same.xml"));
        evolved_.reset(DDS_TypeLibrary_new());
        ASSERT_EQ(DDS_RETCODE_OK, DDS_TypeLibrary_load_file(evolved_.get(), QUELT_TEST_DATA "/extensible.xml"));
    }
    static Sample make(const Library &lib, const char *type)
    {
        const DDS_TypeCode *t = DDS_TypeLibrary_find(lib.get(), type);
        EXPECT_NE(nullptr, t) << type;
        return Sample(DDS_DynamicData_new(t, nullptr));
    }
    static Sample expected(const Library &lib, const Capture &c)
    {
        Sample d = make(lib, c.type);
        c.fill(d.get());
        return d;
    }
    static Library same_, evolved_;
};
Library Xcdr2::same_, Xcdr2::evolved_;

TEST_F(Xcdr2, CycloneBytesDecodeAndOurEncoderWritesTheSame)
{
    for (const Capture &c : kCaptures)
        for (bool be : {false, true}) {
            SCOPED_TRACE(std::string(c.file) + (be ? " big endian" : " little endian"));
            const Bytes wire = read_file(std::string(c.file) + (be ? "_be.bin" : "_le.bin"));
            ASSERT_FALSE(wire.empty());
            Sample want = expected(same_, c), got = make(same_, c.type);
            OK(decode(got.get(), wire));
            EXPECT_TRUE(DDS_DynamicData_equal(want.get(), got.get()));
            EXPECT_EQ(hex(wire), hex(encode(want.get(), DDS_XCDR2_DATA_REPRESENTATION, be)));
        }
}

TEST_F(Xcdr2, EvolvedTypesReadOlderAndNewerSamples)
{
    for (const Capture &c : kCaptures)
        for (bool be : {false, true}) {
            SCOPED_TRACE(std::string(c.file) + (be ? " big endian" : " little endian"));
            // Cyclone's sample into our evolved type: App's extra member takes its default, Mut's
            // members are found by id.
            const Bytes wire = read_file(std::string(c.file) + (be ? "_be.bin" : "_le.bin"));
            Sample want = expected(evolved_, c), got = make(evolved_, c.type);
            const bool app = std::string(c.type) == "Ext::App";
            if (app) { // values from before the sample: all replaced, the missing member reset
                OK(DDS_DynamicData_set_long(got.get(), "count", 0, 5));
                OK(DDS_DynamicData_set_long(got.get(), "extra", 0, 9));
            } else if (std::string(c.type) == "Ext::Mut") {
                OK(DDS_DynamicData_set_long(got.get(), "opt", 0, 5));
            }
            OK(decode(got.get(), wire));
            EXPECT_TRUE(DDS_DynamicData_equal(want.get(), got.get()));
            // Ours back into the IDL's version: App's trailing member is skipped.
            if (app) {
                OK(DDS_DynamicData_set_long(want.get(), "extra", 0, 1234));
            }
            Sample old = make(same_, c.type);
            OK(decode(old.get(), encode(want.get(), DDS_XCDR2_DATA_REPRESENTATION, be)));
            Sample old_want = expected(same_, c);
            EXPECT_TRUE(DDS_DynamicData_equal(old_want.get(), old.get()));
        }
}

TEST_F(Xcdr2, JsonOfAMutableSampleFromCycloneLeavesAbsentMembersOut)
{
    Sample got = make(evolved_, "Ext::Mut");
    OK(decode(got.get(), read_file("mut_absent_le.bin")));
    DDS_PrintFormat format;
    OK(DDS_PrintFormat_initialize(&format, DDS_JSON_PRINT_FORMAT));
    format.indent = 0;
    char buf[256];
    DDS_PrintFormatProperty_t params{};
    params.buffer = buf;
    params.buffer_size = sizeof buf;
    OK(DDS_DynamicDataFormatter_print_w_params(got.get(), &params, &format));
    // Our declaration order; opt and inner absent.
    EXPECT_STREQ(R"({"value":-0.125,"name":"","id":18,"shorts":[]})", buf);
}

TEST_F(Xcdr2, EveryKindRoundTripsInBothVersionsAndOrders)
{
    // Both versions of every type: XCDR1 is plain CDR for final and appendable types and a
    // parameter list (PL_CDR) for mutable ones.
    for (const Capture &c : kCaptures)
        for (DDS_DataRepresentationId_t rep : {DDS_XCDR_DATA_REPRESENTATION, DDS_XCDR2_DATA_REPRESENTATION})
            for (bool be : {false, true}) {
                SCOPED_TRACE(std::string(c.file) + " rep " + std::to_string(rep) + (be ? " BE" : " LE"));
                Sample want = expected(evolved_, c), got = make(evolved_, c.type);
                const Bytes b = encode(want.get(), rep, be);
                EXPECT_EQ(rep == DDS_XCDR2_DATA_REPRESENTATION ? 1 : 0, b[1] >= 6) << hex(b);
                if (rep == DDS_XCDR_DATA_REPRESENTATION && std::string(c.type) == "Ext::Mut") {
                    EXPECT_EQ(be ? 2 : 3, b[1]) << "PL_CDR";
                }
                OK(decode(got.get(), b));
                EXPECT_TRUE(DDS_DynamicData_equal(want.get(), got.get()));
                if (const DDS_UnsignedLong max = DDS_TypeCode_get_max_serialized_size(DDS_DynamicData_get_type(want.get()))) {
                    EXPECT_LE(b.size(), max);
                }
            }
}

TEST_F(Xcdr2, MutableMembersByIdUnknownIdsAndMustUnderstand)
{
    const Bytes wire = read_file("mut_le.bin");
    ASSERT_GE(wire.size(), 20u);
    // Offsets in mut_le.bin: EMHEADER of id 0 (key, must-understand) at 8, of id 1 (opt) at 16.
    auto with_header = [&](size_t at, uint32_t h) {
        Bytes b = wire;
        for (size_t i = 0; i < 4; ++i)
            b.at(at + i) = uint8_t(h >> (8 * i));
        return b;
    };
    ASSERT_EQ(hex(with_header(8, 0xa0000000u)), hex(wire));
    ASSERT_EQ(hex(with_header(16, 0x20000001u)), hex(wire));
    Sample got = make(evolved_, "Ext::Mut");
    {
        // An id we do not know, without must-understand: skipped, so opt stays absent.
        OK(decode(got.get(), with_header(16, 0x20000030u)));
        DDS_DynamicDataMemberInfo info;
        OK(DDS_DynamicData_get_member_info(got.get(), &info, "opt", 0));
        EXPECT_FALSE(info.member_exists);
        DDS_Long id = 0;
        OK(DDS_DynamicData_get_long(got.get(), &id, "id", 0));
        EXPECT_EQ(17, id);
    }
    {
        LogCapture log;
        EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(got.get(), with_header(8, 0xa0000031u)));
        EXPECT_NE(std::string::npos, log.text.find("must-understand")) << log.text;
        EXPECT_NE(std::string::npos, log.text.find("49")) << log.text;
    }
    // A length code that does not fit the member's type, a DHEADER past the end.
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(got.get(), with_header(16, 0x00000001u)));
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(got.get(), with_header(4, uint32_t(wire.size()))));
}

TEST_F(Xcdr2, TruncatedAndDamagedBuffersAreRefused)
{
    for (const Capture &c : kCaptures)
        for (const Library *lib : {&same_, &evolved_}) {
            SCOPED_TRACE(c.file);
            const Bytes wire = read_file(std::string(c.file) + "_be.bin");
            Sample got = make(*lib, c.type);
            // Every cut before the last 3 bytes (padding may end a sample) loses data.
            for (size_t n = 0; n + 3 < wire.size(); ++n)
                EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(got.get(), Bytes(wire.begin(), wire.begin() + long(n)))) << n;
            // Any single byte changed: read as some sample or refused, never past the buffer (the
            // sanitizer build checks that).
            LogCapture quiet;
            for (size_t i = 0; i < wire.size(); ++i)
                for (uint8_t v : {uint8_t(0xff), uint8_t(0x80), uint8_t(0x00), uint8_t(wire[i] + 1)}) {
                    Bytes b = wire;
                    b[i] = v;
                    const DDS_ReturnCode_t rc = decode(got.get(), b);
                    EXPECT_TRUE(rc == DDS_RETCODE_OK || rc == DDS_RETCODE_BAD_PARAMETER);
                }
        }
    // Encapsulation identifiers that name no CDR form.
    Sample got = make(same_, "Ext::Fin");
    for (uint8_t id : {uint8_t(4), uint8_t(5), uint8_t(0x0c)}) {
        Bytes b = read_file("fin_le.bin");
        b[1] = id;
        EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(got.get(), b));
    }
}

TEST_F(Xcdr2, OptionalMembersOfFinalAndAppendableTypesTakeAPresenceByte)
{
    Library lib(DDS_TypeLibrary_new());
    OK(DDS_TypeLibrary_load_string(lib.get(), R"(<dds><types>
        <struct name="O" extensibility="appendable">
          <member name="a" type="int16" optional="true"/><member name="b" type="int64" optional="true"/>
          <member name="c" type="uint8"/>
        </struct></types></dds>)", "o.xml"));
    Sample d = make(lib, "O");
    OK(DDS_DynamicData_set_longlong(d.get(), "b", 0, 0x0102030405060708LL));
    OK(DDS_DynamicData_set_octet(d.get(), "c", 0, 9));
    // D_CDR2 BE, DHEADER 13: a absent, b present (aligned to 4, not 8), c.
    EXPECT_EQ("00 08 00 00 00 00 00 0d 00 01 00 00 01 02 03 04 05 06 07 08 09 ",
              hex(encode(d.get(), DDS_XCDR2_DATA_REPRESENTATION, true)));
    Sample back = make(lib, "O");
    OK(decode(back.get(), encode(d.get(), DDS_XCDR2_DATA_REPRESENTATION, true)));
    EXPECT_TRUE(DDS_DynamicData_equal(d.get(), back.get()));
    // A presence byte other than 0 or 1 is not a boolean.
    Bytes bad = encode(d.get(), DDS_XCDR2_DATA_REPRESENTATION, true);
    bad[8] = 2;
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(back.get(), bad));
}

TEST_F(Xcdr2, Xcdr1MutableTypesAreParameterLists)
{
    Library lib(DDS_TypeLibrary_new());
    OK(DDS_TypeLibrary_load_string(lib.get(), R"(<dds><types>
        <struct name="M" extensibility="mutable">
          <member name="k" type="int32" key="true" id="5"/>
          <member name="o" type="int16" optional="true" id="1"/>
          <member name="d" type="float64"/>
        </struct></types></dds>)", "m.xml"));
    Sample d = make(lib, "M");
    OK(DDS_DynamicData_set_long(d.get(), "k", 0, 7));
    OK(DDS_DynamicData_set_double(d.get(), "d", 0, 1.5));
    // PL_CDR_LE; k (id 5, must-understand), d (id 2, no padding: its alignment starts with it),
    // o left out, the list's end.
    const Bytes k = {0x05, 0x40, 4, 0, 7, 0, 0, 0}, dd = {0x02, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0xf8, 0x3f}, end = {0x02, 0x7f, 0, 0};
    auto list = [&](std::initializer_list<Bytes> params) {
        Bytes b = {0, 3, 0, 0};
        for (const Bytes &p : params)
            b.insert(b.end(), p.begin(), p.end());
        return b;
    };
    EXPECT_EQ(hex(list({k, dd, end})), hex(encode(d.get(), DDS_XCDR_DATA_REPRESENTATION, false)));
    // Any order; unknown ids skipped unless must-understand; a list without its end is refused.
    const Bytes unknown = {0x09, 0, 2, 0, 1, 2, 0, 0}, unknown_mu = {0x09, 0x40, 2, 0, 1, 2, 0, 0};
    Sample got = make(lib, "M");
    OK(decode(got.get(), list({dd, unknown, k, end})));
    EXPECT_TRUE(DDS_DynamicData_equal(d.get(), got.get()));
    LogCapture log;
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(got.get(), list({k, unknown_mu, dd, end})));
    EXPECT_NE(std::string::npos, log.text.find("member id 9 is marked must-understand")) << log.text;
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(got.get(), list({k, dd})));
    // Plain CDR is not a mutable type's XCDR1 body.
    Bytes plain = list({k, dd, end});
    plain[1] = 1;
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(got.get(), plain));
}

TEST_F(Xcdr2, KeyHashIsBigEndianXcdr2OfTheKey)
{
    Sample app = expected(same_, kCaptures[0]);
    DDS_KeyHash_t h;
    OK(DDS_DynamicData_get_keyhash(app.get(), &h));
    // string<11>: at most 4 + 12 bytes, so the stream itself, zero padded.
    EXPECT_EQ("00 00 00 06 61 70 70 2d 31 00 00 00 00 00 00 00 ", hex(Bytes(h.value, h.value + 16)));
    Sample mut = expected(evolved_, kCaptures[2]);
    OK(DDS_DynamicData_get_keyhash(mut.get(), &h));
    EXPECT_EQ("00 00 00 11 00 00 00 00 00 00 00 00 00 00 00 00 ", hex(Bytes(h.value, h.value + 16)));
    Sample back = make(evolved_, "Ext::Mut");
    OK(DDS_DynamicData_set_from_keyhash(back.get(), &h));
    DDS_Long id = 0;
    OK(DDS_DynamicData_get_long(back.get(), &id, "id", 0));
    EXPECT_EQ(17, id);
}

} // namespace
