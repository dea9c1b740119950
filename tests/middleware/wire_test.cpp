// Wire form of samples, table-driven over representation (XCDR1, XCDR2), byte order and
// extensibility: exact byte images (the XCDR2 ones in data/xcdr2 were written by Cyclone DDS's
// own serializer from tests/interop/Extensible.idl by tests/interop/xcdr2_capture.c), round
// trips over earlier values, evolved types, maximum sizes, key hashes, refusal of damaged or
// hostile buffers, and the announcement edit that makes our representations known to others.
#include "cdr.h"
#include "fastdds_engine.h"
#include "dynamicdata_impl.h"
#include "representation_transport.h"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include "dds/dds_log.h"

#include <gtest/gtest.h>

#include "support/support.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace quelt::mw;
using quelt::test::LogCapture;
namespace fc = eprosima::fastcdr;
using Bytes = std::vector<uint8_t>;

namespace {

#define OK(expr) ASSERT_EQ(DDS_RETCODE_OK, (expr))

constexpr DDS_DataRepresentationId_t X1 = DDS_XCDR_DATA_REPRESENTATION, X2 = DDS_XCDR2_DATA_REPRESENTATION;
constexpr DDS_DataRepresentationId_t kOwn = 0xffff; // the type's own representation, little endian

struct Sample {
    DDS_DynamicData *d;
    explicit Sample(const DDS_TypeCode *t) : d(DDS_DynamicData_new(t, nullptr)) {}
    Sample(Sample &&o) noexcept : d(o.d) { o.d = nullptr; }
    ~Sample() { DDS_DynamicData_delete(d); }
    operator DDS_DynamicData *() const { return d; }
    DDS_DynamicData *get() const { return d; }
};

// In the type's own representation (whose size get_serialized_size predicts) or in the one asked.
Bytes encode(const DDS_DynamicData *d, DDS_DataRepresentationId_t rep = kOwn, bool be = false)
{
    DDS_UnsignedLong n = 0;
    const auto to = [&](unsigned char *b) {
        return rep == kOwn ? DDS_DynamicData_to_cdr_buffer(d, b, &n) : DDS_DynamicData_to_cdr_buffer_ex(d, b, &n, rep, be);
    };
    EXPECT_EQ(DDS_RETCODE_OK, to(nullptr));
    Bytes b(n);
    EXPECT_EQ(DDS_RETCODE_OK, to(b.data()));
    EXPECT_EQ(b.size(), n);
    if (rep == kOwn) {
        EXPECT_EQ(n, DDS_DynamicData_get_serialized_size(d));
    }
    return b;
}

DDS_ReturnCode_t decode(DDS_DynamicData *d, const Bytes &b)
{
    static const unsigned char none = 0; // an empty vector's data() may be null: that is another error
    return DDS_DynamicData_from_cdr_buffer(d, b.empty() ? &none : b.data(), static_cast<DDS_UnsignedLong>(b.size()));
}

bool is_cleared(const DDS_DynamicData *d)
{
    Sample fresh(d->type);
    return DDS_DynamicData_equal(d, fresh);
}

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x ", p[i]);
        s += buf;
    }
    return s;
}
std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }

Bytes read_file(const std::string &name)
{
    std::ifstream in(std::string(QUELT_TEST_DATA "/xcdr2/") + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// XCDR1 little endian: the header, then body.
Bytes le1(Bytes body)
{
    body.insert(body.begin(), {0, 1, 0, 0});
    return body;
}

// Type libraries read from data files, kept for the whole run (still reachable at exit: no leak report).
std::shared_ptr<DDS_TypeLibrary> library(const std::string &file)
{
    static auto *libs = new std::map<std::string, std::shared_ptr<DDS_TypeLibrary>>;
    std::shared_ptr<DDS_TypeLibrary> &lib = (*libs)[file];
    if (!lib) {
        lib.reset(DDS_TypeLibrary_new(), DDS_TypeLibrary_delete);
        EXPECT_EQ(DDS_RETCODE_OK, DDS_TypeLibrary_load_file(lib.get(), file.c_str()));
    }
    return lib;
}
const DDS_TypeCode *find(const std::string &file, const char *type)
{
    const DDS_TypeCode *t = DDS_TypeLibrary_find(library(file).get(), type);
    EXPECT_NE(nullptr, t) << type;
    return t;
}
const DDS_TypeCode *type(const char *name) { return find(QUELT_TEST_DATA "/wire/types.xml", name); }
// Ext as the IDL declares it, and as a newer release does.
const DDS_TypeCode *same(const char *name) { return find(QUELT_TEST_DATA "/wire/extensible_idl.xml", name); }
const DDS_TypeCode *evolved(const char *name) { return find(QUELT_TEST_DATA "/extensible.xml", name); }

void fill_shape(DDS_DynamicData *d, const char *color)
{
    OK(DDS_DynamicData_set_string(d, "color", 0, color));
    OK(DDS_DynamicData_set_long(d, "x", 0, 1));
    OK(DDS_DynamicData_set_long(d, "y", 0, 2));
    OK(DDS_DynamicData_set_long(d, "shapesize", 0, 30));
}

// Variants of an Everything sample, so round trips also overwrite one filled sample with another.
void fill_everything(DDS_DynamicData *d, int variant)
{
    if (variant == 0)
        return; // as created
    const int v = variant;
    OK(DDS_DynamicData_set_long(d, "id", 0, 7 * v));
    OK(DDS_DynamicData_set_short(d, "p1", 0, -3));
    OK(DDS_DynamicData_set_long(d, "p2", 0, -100000 * v));
    OK(DDS_DynamicData_set_ushort(d, "p3", 0, 65535));
    OK(DDS_DynamicData_set_ulong(d, "p4", 0, 0xdeadbeef));
    OK(DDS_DynamicData_set_float(d, "p5", 0, 1.5f));
    OK(DDS_DynamicData_set_double(d, "p6", 0, -2.25 * v));
    OK(DDS_DynamicData_set_boolean(d, "p7", 0, 1));
    OK(DDS_DynamicData_set_char(d, "p8", 0, 'q'));
    OK(DDS_DynamicData_set_octet(d, "p9", 0, 0xfe));
    OK(DDS_DynamicData_set_longlong(d, "p17", 0, -0x123456789LL));
    OK(DDS_DynamicData_set_ulonglong(d, "p18", 0, 0xfedcba9876543210ULL));
    DDS_LongDouble ld;
    for (int i = 0; i < 16; ++i)
        ld.bytes[i] = static_cast<unsigned char>(i + v);
    OK(DDS_DynamicData_set_longdouble(d, "p19", 0, ld));
    OK(DDS_DynamicData_set_wchar(d, "p20", 0, 0x20ac));
    OK(DDS_DynamicData_set_string(d, "str", 0, v == 1 ? "hello" : ""));
    OK(DDS_DynamicData_set_string(d, "bstr", 0, "12345"));
    const DDS_Wchar w[] = {0x48, 0x20ac, 0xd83d, 0xde00, 0};
    OK(DDS_DynamicData_set_wstring(d, "wstr", 0, w + (v == 1 ? 0 : 2)));
    OK(DDS_DynamicData_set_long(d, "pt.x", 0, 11));
    OK(DDS_DynamicData_set_double(d, "pt.y", 0, 0.5));
    for (int i = 1; i <= (v == 1 ? 5 : 1); ++i)
        OK(DDS_DynamicData_set_long(d, ("seq[" + std::to_string(i) + "]").c_str(), 0, i * 1000));
    OK(DDS_DynamicData_set_short(d, "bseq[3]", 0, 3));
    OK(DDS_DynamicData_set_string(d, "sseq[2]", 0, "two"));
    OK(DDS_DynamicData_set_long(d, "pseq[2].x", 0, 22));
    OK(DDS_DynamicData_set_double(d, "pseq[1].y", 0, 1e300));
    OK(DDS_DynamicData_set_boolean(d, "bools[3]", 0, 1));
    OK(DDS_DynamicData_set_long(d, "colors[2]", 0, 4));
    OK(DDS_DynamicData_set_longdouble(d, "lds[2]", 0, ld));
    OK(DDS_DynamicData_set_short(d, "m[2][3]", 0, 23));
    OK(DDS_DynamicData_set_short(d, "m[1][2]", 0, 12));
    OK(DDS_DynamicData_set_string(d, "names[2]", 0, "b"));
    OK(DDS_DynamicData_set_double(d, "parr[2].y", 0, 3.0));
    OK(DDS_DynamicData_set_long(d, "col", 0, 2));
    switch (v) {
    case 1: OK(DDS_DynamicData_set_long(d, "u.a", 0, -1)); break;
    case 2: OK(DDS_DynamicData_set_string(d, "u.s", 0, "case s")); break;
    default: OK(DDS_DynamicData_set_double(d, "u.p.y", 0, 9.0)); break;
    }
    if (v != 2) {
        OK(DDS_DynamicData_set_longlong(d, "oll", 0, 99));
        OK(DDS_DynamicData_set_long(d, "opt.x", 0, 5));
    }
    OK(DDS_DynamicData_set_ulong(d, "cnt", 0, 3));
}
constexpr int kEverythingVariants = 4;


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


void fill_m(DDS_DynamicData *d)
{
    OK(DDS_DynamicData_set_long(d, "k", 0, 7));
    OK(DDS_DynamicData_set_double(d, "d", 0, 1.5));
}
// M in PL_CDR_LE: k (id 5, must-understand), d (id 2, no padding: its alignment starts with it),
// o left out, then the list's end.
const Bytes kParamK = {0x05, 0x40, 4, 0, 7, 0, 0, 0}, kParamD = {0x02, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0xf8, 0x3f},
            kParamEnd = {0x02, 0x7f, 0, 0};
Bytes param_list(std::initializer_list<Bytes> params)
{
    Bytes b = {0, 3, 0, 0};
    for (const Bytes &p : params)
        b.insert(b.end(), p.begin(), p.end());
    return b;
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

Sample expected(const DDS_TypeCode *t, const Capture &c)
{
    Sample d(t);
    c.fill(d);
    return d;
}

// ---------------------------------------------------------------- byte images

struct Image {
    std::string name;
    const DDS_TypeCode *type;
    std::function<void(DDS_DynamicData *)> fill;
    DDS_DataRepresentationId_t rep;
    bool be;
    Bytes bytes; // header included
};

std::vector<Image> images()
{
    std::vector<Image> v = {
        {"shape", type("ShapeType"), [](DDS_DynamicData *d) { fill_shape(d, "RED"); }, X1, false,
         le1({4, 0, 0, 0, 'R', 'E', 'D', 0, 1, 0, 0, 0, 2, 0, 0, 0, 30, 0, 0, 0})},
        {"shape big endian", type("ShapeType"), [](DDS_DynamicData *d) { fill_shape(d, "RED"); }, X1, true,
         {0, 0, 0, 0, 0, 0, 0, 4, 'R', 'E', 'D', 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 30}},
        {"8-byte alignment", type("Align8"),
         [](DDS_DynamicData *d) {
             OK(DDS_DynamicData_set_octet(d, "o", 0, 0xaa));
             OK(DDS_DynamicData_set_longlong(d, "ll", 0, 0x0102030405060708LL));
             OK(DDS_DynamicData_set_short(d, "s", 0, -2));
             OK(DDS_DynamicData_set_double(d, "d", 0, 1.0));
         },
         X1, false, le1({0xaa, 0, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 0xfe, 0xff, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f})},
        {"strings and sequences", type("Texts"),
         [](DDS_DynamicData *d) {
             const DDS_Wchar hi[] = {'h', 'i', 0};
             OK(DDS_DynamicData_set_wstring(d, "w", 0, hi));
             OK(DDS_DynamicData_set_short(d, "q[1]", 0, 1));
             OK(DDS_DynamicData_set_short(d, "q[2]", 0, -1));
             OK(DDS_DynamicData_set_boolean(d, "b", 0, 1));
             OK(DDS_DynamicData_set_char(d, "c", 0, 'z'));
         },
         X1, false, le1({1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 'h', 0, 'i', 0, 2, 0, 0, 0, 1, 0, 0xff, 0xff, 1, 'z'})},
        {"union case", type("WithUnion"),
         [](DDS_DynamicData *d) {
             OK(DDS_DynamicData_set_octet(d, "pre", 0, 7));
             OK(DDS_DynamicData_set_long(d, "u.a", 0, 5));
         },
         X1, false, le1({7, 0, 1, 0, 5, 0, 0, 0})},
        {"union default case", type("WithUnion"),
         [](DDS_DynamicData *d) {
             OK(DDS_DynamicData_set_octet(d, "pre", 0, 7));
             OK(DDS_DynamicData_set_long(d, "u.p.x", 0, 3));
             OK(DDS_DynamicData_set_double(d, "u.p.y", 0, 2.0));
         },
         X1, false, le1({7, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40})},
        {"union without a matching case", type("U2"),
         [](DDS_DynamicData *d) {
             union_select(d->type, d->p, -1);
             reinterpret_cast<UnionRep *>(d->p)->disc = 4; // BLUE: no case
         },
         X1, false, le1({4, 0, 0, 0})},
        // The optional value's alignment restarts after its header: b starts at 12, unpadded.
        {"optionals", type("Opt"),
         [](DDS_DynamicData *d) {
             OK(DDS_DynamicData_set_long(d, "a", 0, 1));
             OK(DDS_DynamicData_set_long(d, "a2", 0, 2));
             OK(DDS_DynamicData_set_longlong(d, "b", 0, 0x1122334455667788LL));
             OK(DDS_DynamicData_set_octet(d, "c", 0, 9));
         },
         X1, false, le1({1, 0, 0, 0, 2, 0, 0, 0, 2, 0, 8, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 3, 0, 0, 0, 9})},
        {"multi-dimensional array", type("Arr"),
         [](DDS_DynamicData *d) {
             for (int i = 1; i <= 2; ++i)
                 for (int j = 1; j <= 3; ++j)
                     OK(DDS_DynamicData_set_short(d, ("m[" + std::to_string(i) + "][" + std::to_string(j) + "]").c_str(),
                                                  0, short(i * 10 + j)));
         },
         X1, false, le1({11, 0, 12, 0, 13, 0, 21, 0, 22, 0, 23, 0})},
        {"long double", type("Ldbl"),
         [](DDS_DynamicData *d) {
             DDS_LongDouble ld;
             for (int i = 0; i < 16; ++i)
                 ld.bytes[i] = static_cast<unsigned char>(0xa0 + i);
             OK(DDS_DynamicData_set_octet(d, "o", 0, 1));
             OK(DDS_DynamicData_set_longdouble(d, "ld", 0, ld));
         },
         X1, false, le1({1, 0, 0, 0, 0, 0, 0, 0, 0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xab, 0xac,
                         0xad, 0xae, 0xaf})},
        {"mutable as a parameter list", type("M"), fill_m, X1, false, param_list({kParamK, kParamD, kParamEnd})},
        // D_CDR2 BE, DHEADER 13: a absent, b present (aligned to 4, not 8), c.
        {"appendable optionals take a presence byte", type("O"),
         [](DDS_DynamicData *d) {
             OK(DDS_DynamicData_set_longlong(d, "b", 0, 0x0102030405060708LL));
             OK(DDS_DynamicData_set_octet(d, "c", 0, 9));
         },
         X2, true, {0, 8, 0, 0, 0, 0, 0, 13, 0, 1, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
    };
    // An optional longer than 64 kB takes the extended parameter header.
    const uint32_t n = 70000, size = 4 + n;
    Bytes blob = le1({0x01, 0x7f, 8, 0, 0, 0, 0, 0, uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), 0, uint8_t(n),
                      uint8_t(n >> 8), uint8_t(n >> 16), 0});
    blob.resize(blob.size() + n);
    blob[20] = 0xa5;
    blob.back() = 0x5a;
    v.push_back({"long optional", type("Blob"),
                 [](DDS_DynamicData *d) {
                     OK(DDS_DynamicData_set_octet(d, "data[70000]", 0, 0x5a));
                     OK(DDS_DynamicData_set_octet(d, "data[1]", 0, 0xa5));
                 },
                 X1, false, blob});
    for (const Capture &c : kCaptures)
        for (bool be : {false, true})
            v.push_back({std::string("Cyclone ") + c.file + (be ? " BE" : " LE"), same(c.type), c.fill, X2, be,
                         read_file(std::string(c.file) + (be ? "_be.bin" : "_le.bin"))});
    return v;
}

TEST(Wire, ImagesDecodeAndOurEncoderWritesTheSameBytes)
{
    for (const Image &c : images()) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.bytes.empty());
        Sample d(c.type);
        c.fill(d);
        EXPECT_EQ(hex(c.bytes), hex(encode(d, c.rep, c.be)));
        Sample back(c.type);
        EXPECT_EQ(DDS_RETCODE_OK, decode(back, c.bytes));
        EXPECT_TRUE(DDS_DynamicData_equal(d, back));
    }
}

// Every variant decoded over every other, in both representations and byte orders: storage
// reuse, union case switches, optionals coming and going must all give the written sample. XCDR1
// is plain CDR for final and appendable types and a parameter list (PL_CDR) for mutable ones.
TEST(Wire, RoundTripsInEveryRepresentationAndOrderOverAnyEarlierValue)
{
    for (DDS_DataRepresentationId_t rep : {X1, X2})
        for (bool be : {false, true}) {
            SCOPED_TRACE(testing::Message() << "rep " << rep << (be ? " BE" : " LE"));
            for (int from = 0; from < kEverythingVariants; ++from)
                for (int over = 0; over < kEverythingVariants; ++over) {
                    SCOPED_TRACE(testing::Message() << from << " over " << over);
                    Sample src(type("Everything")), dst(type("Everything"));
                    fill_everything(src, from);
                    fill_everything(dst, over);
                    const Bytes b = encode(src, rep, be);
                    EXPECT_EQ(be ? 0 : 1, b[1] & 1);
                    ASSERT_EQ(DDS_RETCODE_OK, decode(dst, b));
                    EXPECT_TRUE(DDS_DynamicData_equal(src, dst));
                }
            for (const Capture &c : kCaptures) {
                SCOPED_TRACE(c.file);
                const DDS_TypeCode *t = evolved(c.type);
                Sample want = expected(t, c), got(t);
                const Bytes b = encode(want, rep, be);
                EXPECT_EQ(rep == X2, b[1] >= 6) << hex(b);
                if (rep == X1 && std::string(c.type) == "Ext::Mut") {
                    EXPECT_EQ(be ? 2 : 3, b[1]) << "PL_CDR";
                }
                OK(decode(got, b));
                EXPECT_TRUE(DDS_DynamicData_equal(want, got));
                if (const DDS_UnsignedLong max = DDS_TypeCode_get_max_serialized_size(t)) {
                    EXPECT_LE(b.size(), max);
                }
            }
        }
}

TEST(Wire, EvolvedTypesReadOlderAndNewerSamples)
{
    for (const Capture &c : kCaptures)
        for (bool be : {false, true}) {
            SCOPED_TRACE(std::string(c.file) + (be ? " big endian" : " little endian"));
            // Cyclone's sample into our evolved type: App's extra member takes its default, Mut's
            // members are found by id.
            const Bytes wire = read_file(std::string(c.file) + (be ? "_be.bin" : "_le.bin"));
            Sample want = expected(evolved(c.type), c), got(evolved(c.type));
            const bool app = std::string(c.type) == "Ext::App";
            if (app) { // values from before the sample: all replaced, the missing member reset
                OK(DDS_DynamicData_set_long(got, "count", 0, 5));
                OK(DDS_DynamicData_set_long(got, "extra", 0, 9));
            } else if (std::string(c.type) == "Ext::Mut") {
                OK(DDS_DynamicData_set_long(got, "opt", 0, 5));
            }
            OK(decode(got, wire));
            EXPECT_TRUE(DDS_DynamicData_equal(want, got));
            // Ours back into the IDL's version: App's trailing member is skipped.
            if (app) {
                OK(DDS_DynamicData_set_long(want, "extra", 0, 1234));
            }
            Sample old(same(c.type)), old_want = expected(same(c.type), c);
            OK(decode(old, encode(want, X2, be)));
            EXPECT_TRUE(DDS_DynamicData_equal(old_want, old));
        }
    // JSON of a mutable sample from Cyclone: our declaration order, absent members left out.
    Sample got(evolved("Ext::Mut"));
    OK(decode(got, read_file("mut_absent_le.bin")));
    DDS_PrintFormat format;
    OK(DDS_PrintFormat_initialize(&format, DDS_JSON_PRINT_FORMAT));
    format.indent = 0;
    char buf[256];
    DDS_PrintFormatProperty_t params{};
    params.buffer = buf;
    params.buffer_size = sizeof buf;
    OK(DDS_DynamicDataFormatter_print_w_params(got, &params, &format));
    EXPECT_STREQ(R"({"value":-0.125,"name":"","id":18,"shorts":[]})", buf);
}

// ---------------------------------------------------------------- sizes

TEST(Wire, MaxSerializedSizes)
{
    const DDS_TypeCode *padded = type("Padded");
    const struct {
        const char *name;
        const DDS_TypeCode *type;
        uint32_t max; // header included; 0: unbounded
        uint32_t key_max;
    } cases[] = {
        {"int32", primitive_type(DDS_TK_LONG), 8, 0},
        {"shape", type("ShapeType"), 4 + 133 + 3 + 12, 133},
        {"padded string", padded, 4 + 24, 0},
        {"bounded sequence", type("Seq"), 4 + 32, 0},
        {"unbounded optional", type("Opt"), 0, 0},
        {"optional", type("BoundedOpt"), 4 + 17, 0},
        {"union", type("WithUnion"), 4 + 17, 0},
        {"array", type("Arr"), 4 + 12, 0},
        {"long double", type("Ldbl"), 4 + 24, 0},
        {"unbounded", type("Texts"), 0, 0},
        {"key int32", type("KId"), 4 + 4 + 4 + 9, 4},
        {"key in nested keyed struct", type("OuterKeyed"), 4 + 16, 2},
        {"key of all members of a plain struct", type("OuterPlain"), 4 + 20, 12}, // XCDR2: int64 aligns to 4
        {"unbounded key", type("KUnbounded"), 0, UINT32_MAX},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.max, DDS_TypeCode_get_max_serialized_size(c.type));
        EXPECT_EQ(c.max ? c.max - 4 : 0, c.type->max_serialized);
        EXPECT_EQ(c.key_max, c.type->key_max_size);
    }
    // The bound is reached by the longest sample, and no string length exceeds it.
    Sample d(padded);
    for (const char *v : {"", "a", "ab", "abc"}) {
        OK(DDS_DynamicData_set_string(d, "s", 0, v));
        EXPECT_GE(DDS_TypeCode_get_max_serialized_size(padded), DDS_DynamicData_get_serialized_size(d));
    }
    EXPECT_EQ(DDS_TypeCode_get_max_serialized_size(padded), DDS_DynamicData_get_serialized_size(d));
    Sample sh(type("ShapeType"));
    fill_shape(sh, std::string(128, 'c').c_str());
    EXPECT_EQ(DDS_TypeCode_get_max_serialized_size(type("ShapeType")), DDS_DynamicData_get_serialized_size(sh));
}

TEST(Wire, OutputBufferTooSmallOrSampleOverItsBound)
{
    Sample d(type("ShapeType"));
    fill_shape(d, "RED");
    unsigned char buf[64];
    for (DDS_UnsignedLong cap : {0u, 4u, 23u}) {
        DDS_UnsignedLong n = cap;
        EXPECT_EQ(DDS_RETCODE_OUT_OF_RESOURCES, DDS_DynamicData_to_cdr_buffer(d, buf, &n));
        EXPECT_EQ(24u, n);
    }
    // A string longer than its bound (stored behind the setters' back) is not written.
    const std::string long_color(129, 'x');
    ASSERT_TRUE(str_assign(reinterpret_cast<BufRep *>(d.d->p + d.d->type->members[0].offset), long_color.data(), 129));
    std::vector<unsigned char> big(1024);
    DDS_UnsignedLong n = static_cast<DDS_UnsignedLong>(big.size());
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, DDS_DynamicData_to_cdr_buffer(d, big.data(), &n));
    DDS_KeyHash_t h;
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, DDS_DynamicData_get_keyhash(d, &h));
}

// ---------------------------------------------------------------- key hash

// The key's big-endian XCDR2 stream, zero padded, when its maximum size is at most 16 bytes;
// otherwise the MD5 of that stream.
TEST(Wire, KeyHash)
{
    const struct {
        const char *name;
        const DDS_TypeCode *type;
        std::function<void(DDS_DynamicData *)> fill;
        Bytes hash;
    } cases[] = {
        {"short key", type("KId"),
         [](DDS_DynamicData *d) {
             OK(DDS_DynamicData_set_long(d, "id", 0, 0x01020304));
             OK(DDS_DynamicData_set_string(d, "name", 0, "ignored"));
         },
         {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        // MD5 of 00 00 00 04 'R' 'E' 'D' 00 (the key stream), computed with md5sum.
        {"long key", type("ShapeType"), [](DDS_DynamicData *d) { fill_shape(d, "RED"); },
         {0xd3, 0x6d, 0xe8, 0x65, 0xfa, 0xc2, 0x95, 0x15, 0x5f, 0x18, 0xdf, 0x71, 0x57, 0xb2, 0x17, 0xe6}},
        // string<11>: at most 4 + 12 bytes, so the stream itself.
        {"key of exactly 16 bytes at most", same("Ext::App"), fill_app,
         {0, 0, 0, 6, 'a', 'p', 'p', '-', '1', 0, 0, 0, 0, 0, 0, 0}},
        {"key of a mutable type", evolved("Ext::Mut"), fill_mut, {0, 0, 0, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"keyed nested struct gives its keys", type("OuterKeyed"),
         [](DDS_DynamicData *d) {
             OK(DDS_DynamicData_set_long(d, "other", 0, 9));
             OK(DDS_DynamicData_set_short(d, "in.a", 0, 0x0506));
             OK(DDS_DynamicData_set_longlong(d, "in.b", 0, 77));
         },
         {5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        // The int64 aligns to 4, 12 bytes zero padded.
        {"plain nested struct gives all members", type("OuterPlain"),
         [](DDS_DynamicData *d) {
             OK(DDS_DynamicData_set_short(d, "in.a", 0, 5));
             OK(DDS_DynamicData_set_longlong(d, "in.b", 0, 0x0102030405060708LL));
             OK(DDS_DynamicData_set_long(d, "other", 0, 9));
         },
         {0, 5, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Sample d(c.type);
        c.fill(d);
        DDS_KeyHash_t h;
        ASSERT_EQ(DDS_RETCODE_OK, DDS_DynamicData_get_keyhash(d, &h));
        EXPECT_EQ(hex(c.hash), hex(h.value, 16));
        Sample back(c.type);
        if (!DDS_TypeCode_is_keyhash_reversible(c.type)) {
            EXPECT_EQ(DDS_RETCODE_PRECONDITION_NOT_MET, DDS_DynamicData_set_from_keyhash(back, &h));
            continue;
        }
        // Back from the hash: the key members return, the others keep their value.
        ASSERT_EQ(DDS_RETCODE_OK, DDS_DynamicData_set_from_keyhash(back, &h));
        DDS_KeyHash_t again;
        ASSERT_EQ(DDS_RETCODE_OK, DDS_DynamicData_get_keyhash(back, &again));
        EXPECT_EQ(hex(h.value, 16), hex(again.value, 16));
        EXPECT_FALSE(DDS_DynamicData_equal(d, back));
    }
    Sample keyless(type("Keyless"));
    DDS_KeyHash_t h;
    std::memset(h.value, 0xff, 16);
    EXPECT_EQ(DDS_RETCODE_PRECONDITION_NOT_MET, DDS_DynamicData_get_keyhash(keyless, &h));
    EXPECT_EQ(hex(Bytes(16, 0)), hex(h.value, 16));
    EXPECT_FALSE(DDS_TypeCode_is_keyhash_reversible(type("Keyless")));
    // Bytes after the key stream must be the zero padding.
    Sample k(type("KId"));
    DDS_KeyHash_t bad = {{1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, DDS_DynamicData_set_from_keyhash(k, &bad));
}

// ---------------------------------------------------------------- refusal

TEST(Wire, RejectsDamagedXcdr1Buffers)
{
    const DDS_TypeCode *t = type("Reject");
    Sample good(t);
    OK(DDS_DynamicData_set_string(good, "s", 0, "ab"));
    OK(DDS_DynamicData_set_long(good, "q[1]", 0, 7));
    OK(DDS_DynamicData_set_boolean(good, "b", 0, 1));
    OK(DDS_DynamicData_set_long(good, "c", 0, 2));
    OK(DDS_DynamicData_set_short(good, "o", 0, 5));
    const Bytes valid = encode(good);
    // s | q | b | c | big | o (header at 32, value at 36)
    ASSERT_EQ(hex(le1({3, 0, 0, 0, 'a', 'b', 0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 5, 0, 2, 0, 5, 0})),
              hex(valid));

    // Every truncation.
    for (size_t n = 0; n < valid.size(); ++n) {
        Sample d(t);
        OK(DDS_DynamicData_set_string(d, "s", 0, "old"));
        const Bytes cut(valid.begin(), valid.begin() + long(n));
        EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(d, cut)) << n;
        EXPECT_TRUE(is_cleared(d)) << n;
    }
    const struct {
        const char *name;
        size_t at;
        Bytes put;
    } patches[] = {
        {"PL_CDR_LE", 1, {3}},  {"CDR2_LE", 1, {7}},  {"D_CDR2_LE", 1, {9}},  {"non-zero first byte", 0, {1}},
        {"string without NUL", 10, {'c'}},  {"string length 0", 4, {0, 0, 0, 0}},  {"string over bound", 4, {6}},
        {"string past the end", 4, {0xff, 0xff, 0xff, 0x7f}},  {"sequence over bound", 12, {3}},
        {"boolean 2", 20, {2}},  {"not an enumerator", 24, {3}},  {"huge sequence length", 28, {0xff, 0xff, 0xff, 0xff}},
        {"sequence length past the end", 28, {0, 0, 0, 0x10}},  {"optional with another id", 32, {4}},
        {"optional longer than the buffer", 34, {0x10}},  {"optional shorter than its value", 34, {1}},
    };
    for (const auto &p : patches) {
        SCOPED_TRACE(p.name);
        Bytes b = valid;
        std::copy(p.put.begin(), p.put.end(), b.begin() + long(p.at));
        Sample d(t);
        OK(DDS_DynamicData_set_string(d, "s", 0, "old"));
        EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(d, b));
        EXPECT_TRUE(is_cleared(d));
    }
    // Well-formed buffers one past a bound, next to the same at the bound.
    const Bytes rest_after_s(valid.begin() + 12, valid.end()), rest_after_q(valid.begin() + 20, valid.end());
    const auto with = [&](Bytes head, const Bytes &rest) {
        head.insert(head.end(), rest.begin(), rest.end());
        return le1(head);
    };
    const struct {
        const char *name;
        Bytes buffer;
        DDS_ReturnCode_t rc;
    } bounds[] = {
        {"string at its bound", with({5, 0, 0, 0, 'a', 'b', 'c', 'd', 0, 0, 0, 0}, rest_after_s), DDS_RETCODE_OK},
        {"string over its bound", with({6, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 0, 0, 0}, rest_after_s), DDS_RETCODE_BAD_PARAMETER},
        {"sequence at its bound", with({3, 0, 0, 0, 'a', 'b', 0, 0, 2, 0, 0, 0, 7, 0, 0, 0, 8, 0, 0, 0}, rest_after_q), DDS_RETCODE_OK},
        {"sequence over its bound", with({3, 0, 0, 0, 'a', 'b', 0, 0, 3, 0, 0, 0, 7, 0, 0, 0, 8, 0, 0, 0, 9, 0, 0, 0}, rest_after_q),
         DDS_RETCODE_BAD_PARAMETER},
    };
    for (const auto &c : bounds) {
        Sample b(t);
        EXPECT_EQ(c.rc, decode(b, c.buffer)) << c.name;
    }
    // Up to 3 bytes of trailing padding are accepted, not more.
    Bytes padded = valid;
    padded.insert(padded.end(), 3, 0);
    Sample d(t);
    EXPECT_EQ(DDS_RETCODE_OK, decode(d, padded));
    EXPECT_TRUE(DDS_DynamicData_equal(d, good));
    padded.push_back(0);
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(d, padded));
    // An enum discriminator that names no enumerator.
    Sample u(type("U2"));
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(u, le1({3, 0, 0, 0})));
}

// Mutable members by id: unknown ids are skipped unless must-understand, in either version.
TEST(Wire, ExtensibleBuffersSkipUnknownMembersAndRefuseMalformedOnes)
{
    const Bytes mut = read_file("mut_le.bin"), fin = read_file("fin_le.bin");
    ASSERT_GE(mut.size(), 20u);
    const auto with = [](Bytes b, size_t at, uint32_t le_word) {
        for (size_t i = 0; i < 4; ++i)
            b.at(at + i) = uint8_t(le_word >> (8 * i));
        return b;
    };
    // Offsets in mut_le.bin: EMHEADER of id 0 (key, must-understand) at 8, of id 1 (opt) at 16.
    ASSERT_EQ(hex(with(mut, 8, 0xa0000000u)), hex(mut));
    ASSERT_EQ(hex(with(mut, 16, 0x20000001u)), hex(mut));
    Sample got(evolved("Ext::Mut"));
    OK(decode(got, with(mut, 16, 0x20000030u)));
    DDS_DynamicDataMemberInfo info;
    OK(DDS_DynamicData_get_member_info(got, &info, "opt", 0));
    EXPECT_FALSE(info.member_exists);
    DDS_Long id = 0;
    OK(DDS_DynamicData_get_long(got, &id, "id", 0));
    EXPECT_EQ(17, id);
    Sample m(type("M")), want(type("M"));
    fill_m(want);
    const Bytes unknown = {0x09, 0, 2, 0, 1, 2, 0, 0}, unknown_mu = {0x09, 0x40, 2, 0, 1, 2, 0, 0};
    OK(decode(m, param_list({kParamD, unknown, kParamK, kParamEnd})));
    EXPECT_TRUE(DDS_DynamicData_equal(want, m));

    Sample o(type("O"));
    OK(DDS_DynamicData_set_octet(o, "c", 0, 9));
    OK(DDS_DynamicData_set_longlong(o, "b", 0, 1));
    Bytes presence2 = encode(o, X2, true);
    presence2[8] = 2;
    Bytes plain = param_list({kParamK, kParamD, kParamEnd});
    plain[1] = 1;
    const struct {
        const char *name;
        const DDS_TypeCode *type;
        Bytes bytes;
        const char *logged;
    } refused[] = {
        {"unknown must-understand id", evolved("Ext::Mut"), with(mut, 8, 0xa0000031u), "member id 49 is marked must-understand"},
        {"length code that does not fit the member", evolved("Ext::Mut"), with(mut, 16, 0x00000001u), ""},
        {"DHEADER past the end", evolved("Ext::Mut"), with(mut, 4, uint32_t(mut.size())), ""},
        {"encapsulation 4", same("Ext::Fin"), with(fin, 0, 0x0400), ""},
        {"encapsulation 5", same("Ext::Fin"), with(fin, 0, 0x0500), ""},
        {"encapsulation 0x0c", same("Ext::Fin"), with(fin, 0, 0x0c00), ""},
        {"presence byte 2", type("O"), presence2, ""},
        {"XCDR1 unknown must-understand parameter", type("M"), param_list({kParamK, unknown_mu, kParamD, kParamEnd}),
         "member id 9 is marked must-understand"},
        {"XCDR1 list without its end", type("M"), param_list({kParamK, kParamD}), ""},
        {"plain CDR for a mutable type", type("M"), plain, ""},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        Sample d(c.type);
        EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(d, c.bytes));
        EXPECT_TRUE(log.contains(c.logged)) << log.text();
    }
    // Every cut before the last 3 bytes (padding may end a sample) loses data; any single byte
    // changed is read as some sample or refused, never past the buffer (the sanitizer build checks).
    for (const Capture &c : kCaptures)
        for (const DDS_TypeCode *t : {same(c.type), evolved(c.type)}) {
            SCOPED_TRACE(c.file);
            const Bytes wire = read_file(std::string(c.file) + "_be.bin");
            Sample d(t);
            for (size_t n = 0; n + 3 < wire.size(); ++n)
                EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(d, Bytes(wire.begin(), wire.begin() + long(n)))) << n;
            LogCapture quiet;
            for (size_t i = 0; i < wire.size(); ++i)
                for (uint8_t v : {uint8_t(0xff), uint8_t(0x80), uint8_t(0x00), uint8_t(wire[i] + 1)}) {
                    Bytes b = wire;
                    b[i] = v;
                    const DDS_ReturnCode_t rc = decode(d, b);
                    EXPECT_TRUE(rc == DDS_RETCODE_OK || rc == DDS_RETCODE_BAD_PARAMETER);
                }
        }
}

TEST(Wire, ArgumentAndStateErrors)
{
    Sample d(type("ShapeType"));
    const unsigned char b[4] = {0, 1, 0, 0};
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, DDS_DynamicData_to_cdr_buffer(d, nullptr, nullptr));
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, DDS_DynamicData_from_cdr_buffer(d, nullptr, 4));
    Sample empty(nullptr);
    EXPECT_EQ(DDS_RETCODE_PRECONDITION_NOT_MET, DDS_DynamicData_from_cdr_buffer(empty, b, 4));
    EXPECT_EQ(0u, DDS_DynamicData_get_serialized_size(empty));
    // A sample with a bound member is read-only; the bound member reads and writes its own form.
    Sample e(type("Everything")), pt(nullptr);
    OK(DDS_DynamicData_bind_complex_member(e, pt, "pt", 0));
    EXPECT_EQ(DDS_RETCODE_PRECONDITION_NOT_MET, decode(e, encode(e)));
    const Bytes part = encode(pt);
    EXPECT_EQ(4u + 16, part.size());
    EXPECT_EQ(DDS_RETCODE_OK, decode(pt, part));
    OK(DDS_DynamicData_unbind_complex_member(e, pt));
}

// Random and mutated buffers: never a crash, an over-read or a huge allocation (run under ASan);
// whatever is accepted writes back to a buffer that decodes the same.
TEST(Wire, FuzzedBuffersAreRejectedOrConsistent)
{
    std::mt19937 rng(20240611);
    const DDS_TypeCode *t = type("Everything");
    Sample src(t);
    fill_everything(src, 1);
    const Bytes valid = encode(src);
    Sample d(t);
    int accepted = 0;
    for (int i = 0; i < 6000; ++i) {
        Bytes b;
        if (i % 2 == 0) {
            b.resize(rng() % 300);
            for (auto &x : b)
                x = static_cast<uint8_t>(rng());
            if (b.size() >= 4 && i % 4 == 0)
                b[0] = 0, b[1] = static_cast<uint8_t>(rng() % 2);
        } else {
            b = valid;
            for (int k = 0, flips = 1 + int(rng() % 4); k < flips; ++k)
                b[4 + rng() % (b.size() - 4)] = static_cast<uint8_t>(rng());
            if (rng() % 4 == 0)
                b.resize(rng() % b.size());
        }
        const DDS_ReturnCode_t rc = decode(d, b);
        if (rc != DDS_RETCODE_OK) {
            ASSERT_EQ(DDS_RETCODE_BAD_PARAMETER, rc);
            ASSERT_TRUE(is_cleared(d));
            continue;
        }
        ++accepted;
        Sample again(t);
        ASSERT_EQ(DDS_RETCODE_OK, decode(again, encode(d)));
        ASSERT_TRUE(DDS_DynamicData_equal(d, again));
    }
    EXPECT_GT(accepted, 0);
}

// ---------------------------------------------------------------- announcements

namespace frtps = eprosima::fastrtps::rtps;

frtps::GUID_t guid(uint8_t last)
{
    frtps::GUID_t g;
    for (int i = 0; i < 12; ++i)
        g.guidPrefix.value[i] = uint8_t(0x40 + i);
    const uint8_t entity[4] = {0, 0, last, 0x02};
    std::memcpy(g.entityId.value, entity, 4);
    return g;
}

// An RTPS message with one little-endian DATA submessage of the given writer, whose PL_CDR_LE
// payload holds a topic name parameter, the endpoint GUID and the sentinel.
Bytes announcement(const uint8_t writer[4], const frtps::GUID_t &endpoint, uint16_t data_length_field = 1)
{
    Bytes m = {'R', 'T', 'P', 'S', 2, 3, 1, 15};
    m.resize(20, 0x11);
    Bytes body = {0, 0, 16, 0, 0, 0, 0, 0}; // extra flags, octetsToInlineQos 16, reader id
    body.insert(body.end(), writer, writer + 4);
    body.insert(body.end(), {0, 0, 0, 0, 1, 0, 0, 0}); // sequence number
    body.insert(body.end(), {0, 3, 0, 0});             // PL_CDR_LE
    body.insert(body.end(), {0x05, 0, 8, 0, 4, 0, 0, 0, 'a', 'b', 'c', 0}); // PID_TOPIC_NAME "abc"
    body.insert(body.end(), {0x5a, 0, 16, 0});
    body.insert(body.end(), endpoint.guidPrefix.value, endpoint.guidPrefix.value + 12);
    body.insert(body.end(), endpoint.entityId.value, endpoint.entityId.value + 4);
    body.insert(body.end(), {1, 0, 0, 0}); // sentinel
    const uint16_t len = data_length_field ? uint16_t(body.size()) : 0;
    m.insert(m.end(), {0x15, 0x05, uint8_t(len), uint8_t(len >> 8)});
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

const uint8_t kPublications[4] = {0, 0, 3, 0xc2};
const uint8_t kUserWriter[4] = {0, 0, 1, 0x02};

TEST(Wire, AnnouncementsOfRegisteredEndpointsGainTheRepresentationParameter)
{
    const frtps::GUID_t mine = guid(7), other = guid(8);
    announce_representation(mine, {2, 0});
    for (uint16_t length_field : {uint16_t(1), uint16_t(0)}) {
        SCOPED_TRACE(length_field ? "submessage length given" : "submessage to the end");
        const Bytes in = announcement(kPublications, mine, length_field);
        Bytes out;
        ASSERT_TRUE(complete_announcements(in.data(), uint32_t(in.size()), out));
        ASSERT_EQ(out.size(), in.size() + 12);
        // PID_DATA_REPRESENTATION, length 8, count 2, XCDR2 then XCDR1, before the sentinel.
        const Bytes param = {0x73, 0, 8, 0, 2, 0, 0, 0, 2, 0, 0, 0};
        EXPECT_EQ(Bytes(out.end() - 16, out.end() - 4), param);
        EXPECT_EQ(Bytes(out.end() - 4, out.end()), (Bytes{1, 0, 0, 0}));
        const uint16_t len = uint16_t(out[22] | out[23] << 8);
        EXPECT_EQ(len, length_field ? out.size() - 24 : 0u);
    }
    // Not registered, not an announcement, already completed, or not RTPS at all: untouched.
    Bytes out;
    for (const Bytes &in : {announcement(kPublications, other), announcement(kUserWriter, mine), Bytes{'R', 'T', 'P', 'S'}}) {
        EXPECT_FALSE(complete_announcements(in.data(), uint32_t(in.size()), out));
    }
    Bytes done;
    const Bytes in = announcement(kPublications, mine);
    ASSERT_TRUE(complete_announcements(in.data(), uint32_t(in.size()), done));
    EXPECT_FALSE(complete_announcements(done.data(), uint32_t(done.size()), out));
    // A submessage that claims more than the message holds stops the edit.
    Bytes broken = in;
    broken[22] = 0xff;
    broken[23] = 0xff;
    EXPECT_FALSE(complete_announcements(broken.data(), uint32_t(broken.size()), out));
    forget_representations(mine.guidPrefix);
    EXPECT_FALSE(complete_announcements(in.data(), uint32_t(in.size()), out));
}

// ---------------------------------------------------------------- payloads that do not fit
//
// A peer with its own copy of a type that is out of step. The decoder refuses what does not fit
// with a reason that names the member; a reader drops such samples (Fast DDS lends them out as
// valid data) and says so once; appendable types evolve in both byte orders; a few bytes cannot
// make the decoder allocate much. Domains 135..137.


// Why the reader's type refuses the bytes ("" when it takes them).
std::string refusal(const DDS_TypeCode *t, DDS_DynamicData *d, Bytes b)
{
    fc::FastBuffer fb(reinterpret_cast<char *>(b.data()), b.size());
    fc::Cdr cdr(fb, fc::Cdr::DEFAULT_ENDIAN, fc::Cdr::DDS_CDR);
    CdrVersion v;
    std::string why;
    if (cdr_read_header(cdr, v, t, &why) && cdr_deserialize(t, d->p, cdr, b.size(), false, v, &why))
        return "";
    return why;
}

// A participant with one reliable keep-all writer or reader of the topic "Fit", of type t.
DDS_DomainParticipant *fit_endpoint(int domain, const DDS_TypeCode *t, bool writer)
{
    ParticipantPlan plan;
    plan.name = writer ? "Fit::Writer" : "Fit::Reader";
    plan.domain_id = domain;
    plan.types = library(QUELT_TEST_DATA "/wire/types.xml");
    auto topic = std::make_unique<TopicPlan>();
    topic->name = topic->type_name = "Fit";
    topic->type = t;
    DDS_TopicQos_initialize(&topic->qos);
    if (writer) {
        WriterPlan w{"W", topic.get(), {}};
        DDS_DataWriterQos_initialize(&w.qos);
        w.qos.history.kind = DDS_KEEP_ALL_HISTORY_QOS;
        plan.publishers.push_back(PublisherPlan{"Pub", {}, {w}});
    } else {
        ReaderPlan r{"R", topic.get(), {}};
        DDS_DataReaderQos_initialize(&r.qos);
        r.qos.reliability.kind = DDS_RELIABLE_RELIABILITY_QOS;
        r.qos.history.kind = DDS_KEEP_ALL_HISTORY_QOS;
        plan.subscribers.push_back(SubscriberPlan{"Sub", {}, {r}});
    }
    plan.topics.push_back(std::move(topic));
    std::string err;
    DDS_DomainParticipant *p = create_participant_from_plan(std::move(plan), err);
    EXPECT_NE(p, nullptr) << err;
    return p;
}

TEST(Wire, PayloadsThatDoNotFitTheType)
{
    auto shape = [](DDS_DynamicData *d) {
        OK(DDS_DynamicData_set_string(d, "color", 0, "RED"));
        OK(DDS_DynamicData_set_long(d, "x", 0, 7));
        OK(DDS_DynamicData_set_long(d, "y", 0, 8));
    };
    auto p = [](DDS_DynamicData *d) { OK(DDS_DynamicData_set_long(d, "a", 0, 7)); };
    // Bigs (D_CDR2 LE) holding n empty frames of 256 KB elements: 4 bytes each on the wire.
    auto empty_frames = [](uint32_t n) {
        Bytes b{0, 9, 0, 0};
        for (uint32_t v : {8 + 4 * n, 4 + 4 * n, n})
            b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
        b.resize(b.size() + 4 * n);
        return b;
    };
    const struct {
        const char *writer, *reader;
        std::function<void(DDS_DynamicData *)> fill;
        bool xcdr2, big_endian;
        std::string why; // "": taken, with b (if the reader has it) at its default
        int domain;      // > 0: also across two participants
        Bytes raw;       // the payload, when not the writer's sample
    } cases[] = {
        {"W_Shape", "R_Shape_f64", shape, false, false, "payload ends before member 'shapesize'", 135, {}},
        {"W_Shape", "R_Shape_z", shape, false, false, "payload ends before member 'z'", 136, {}},
        {"R_Shape_z", "W_Shape", shape, false, false, "4 bytes follow the end of the sample", 0, {}},
        {"W_Shape", "R_Shape_enum", shape, false, true, "a value names no enumerator in member 'x'", 0, {}},
        {"W_P", "R_P", p, true, false, "", 137, {}},
        {"W_P", "R_P", p, true, true, "", 0, {}},
        {"W_P", "R_Fin", p, true, false, "D_CDR2 (appendable) for a type that is final", 0, {}}, // else n = the DHEADER
        {"Bigs", "Bigs", nullptr, true, false, "decoding would take more memory than the payload's size allows in member 's'", 0,
         empty_frames(300)},
        {"Bigs", "Bigs", nullptr, true, false, "", 0, empty_frames(3)},
    };
    LogCapture log;
    for (const auto &c : cases) {
        const std::string name = std::string(c.writer) + " -> " + c.reader + (c.big_endian ? " BE" : "");
        Sample w(type(c.writer)), r(type(c.reader));
        Bytes b = c.raw;
        if (c.fill) {
            c.fill(w);
            DDS_UnsignedLong n = 0;
            const DDS_DataRepresentationId_t rep = c.xcdr2 ? DDS_XCDR2_DATA_REPRESENTATION : DDS_XCDR_DATA_REPRESENTATION;
            ASSERT_EQ(DDS_RETCODE_OK, DDS_DynamicData_to_cdr_buffer_ex(w, nullptr, &n, rep, c.big_endian)) << name;
            b.resize(n);
            ASSERT_EQ(DDS_RETCODE_OK, DDS_DynamicData_to_cdr_buffer_ex(w, b.data(), &n, rep, c.big_endian)) << name;
        }
        EXPECT_EQ(c.why, refusal(r.d->type, r, b)) << name;
        DDS_Long b_value = -1;
        if (c.why.empty() && std::string(c.reader) == "R_P") {
            EXPECT_TRUE(DDS_DynamicData_get_long(r, &b_value, "b", 0) == DDS_RETCODE_OK && b_value == 0) << name;
        }
        if (c.domain == 0)
            continue;
        // Across participants: the reader hands out what fits, drops the rest with one line.
        DDS_DomainParticipant *pw = fit_endpoint(c.domain, type(c.writer), true), *pr = fit_endpoint(c.domain, type(c.reader), false);
        ASSERT_TRUE(pw && pr) << name;
        DDS_DataWriter *dw = DDS_DomainParticipant_lookup_datawriter_by_name(pw, "Pub::W");
        DDS_DataReader *dr = DDS_DomainParticipant_lookup_datareader_by_name(pr, "Sub::R");
        DDS_PublicationMatchedStatus st{};
        quelt::test::waitUntil([&] { return DDS_DataWriter_get_publication_matched_status(dw, &st), st.current_count > 0; },
                               std::chrono::seconds(10));
        ASSERT_EQ(1, st.current_count) << name;
        log.clear();
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(DDS_RETCODE_OK, DDS_DynamicDataWriter_write(DDS_DynamicDataWriter_narrow(dw), w, &DDS_HANDLE_NIL)) << name;
        ASSERT_EQ(eprosima::fastrtps::types::ReturnCode_t::RETCODE_OK, fastdds_writer(dw)->wait_for_acknowledgments(eprosima::fastrtps::Duration_t(10, 0)))
            << name;
        DDS_DynamicDataSeq data;
        DDS_SampleInfoSeq infos;
        DDS_DynamicDataSeq_initialize(&data);
        DDS_SampleInfoSeq_initialize(&infos);
        for (int take = 0; take < 2; ++take) {
            const DDS_ReturnCode_t rc = DDS_DynamicDataReader_take(DDS_DynamicDataReader_narrow(dr), &data, &infos, -1, DDS_ANY_SAMPLE_STATE,
                                                                   DDS_ANY_VIEW_STATE, DDS_ANY_INSTANCE_STATE);
            EXPECT_EQ(c.why.empty() && take == 0 ? DDS_RETCODE_OK : DDS_RETCODE_NO_DATA, rc) << name;
            if (rc == DDS_RETCODE_OK) {
                EXPECT_EQ(3, DDS_DynamicDataSeq_get_length(&data)) << name;
                DDS_DynamicDataReader_return_loan(DDS_DynamicDataReader_narrow(dr), &data, &infos);
            }
        }
        DDS_DynamicDataSeq_finalize(&data);
        DDS_SampleInfoSeq_finalize(&infos);
        const auto lines = log.lines();
        EXPECT_EQ(c.why.empty() ? 0u : 1u, lines.size()) << name;
        if (!c.why.empty() && !lines.empty()) {
            EXPECT_NE(std::string::npos, lines[0].find("samples on 'Fit' do not fit 'Fit' (" + c.why + ")")) << lines[0];
        }
        delete_participant(pw);
        delete_participant(pr);
    }
}

} // namespace
