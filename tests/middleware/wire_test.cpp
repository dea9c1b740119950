// Wire form of samples, table-driven over representation (XCDR1, XCDR2), byte order and
// extensibility: exact byte images (the XCDR2 ones in data/xcdr2 were written by Cyclone DDS's
// own serializer from tests/interop/Extensible.idl by `cyclone_peer capture` in tests/interop), round
// trips over earlier values, evolved types, maximum sizes, key hashes, refusal of damaged or
// hostile buffers, and the announcement edit that makes our representations known to others.
// The samples, with their images, key hashes, sizes and refused buffers, are data/wire/samples.txt.
#include "cdr.h"
#include "fastdds_engine.h"
#include "dynamicdata_impl.h"
#include "representation_transport.h"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include "dds/dds_log.h"
#include "dds/dds_util.h"

#include <gtest/gtest.h>

#include "support/support.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <iomanip>
#include <map>
#include <random>
#include <sstream>
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
    std::ostringstream s;
    for (size_t i = 0; i < n; ++i)
        s << std::hex << std::setw(2) << std::setfill('0') << int(p[i]) << ' ';
    return s.str();
}
std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }

Bytes read_file(const std::string &name)
{
    const std::string s = quelt::test::readFile(QUELT_TEST_DATA + "/xcdr2/" + name);
    return Bytes(s.begin(), s.end());
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
const DDS_TypeCode *type(const char *name) { return find(QUELT_TEST_DATA + "/wire/types.xml", name); }
// Ext as the IDL declares it, and as a newer release does.
const DDS_TypeCode *same(const char *name) { return find(QUELT_TEST_DATA + "/wire/extensible_idl.xml", name); }
const DDS_TypeCode *evolved(const char *name) { return find(QUELT_TEST_DATA + "/extensible.xml", name); }

// Sets the member at path from its text, by the member's kind.
void set(DDS_DynamicData *d, const std::string &path, const std::string &v)
{
    const DDS_TypeCode *t = nullptr;
    ASSERT_EQ(DDS_RETCODE_OK, DDS_DynamicData_get_member_type(d, &t, path.c_str(), 0)) << path;
    const char *m = path.c_str();
    const long long i = std::strtoll(v.c_str(), nullptr, 0);
    const unsigned long long u = std::strtoull(v.c_str(), nullptr, 0);
    DDS_ReturnCode_t rc = DDS_RETCODE_UNSUPPORTED;
    switch (DDS_TypeCode_kind(t)) {
    case DDS_TK_SHORT: rc = DDS_DynamicData_set_short(d, m, 0, DDS_Short(i)); break;
    case DDS_TK_LONG:
    case DDS_TK_ENUM: rc = DDS_DynamicData_set_long(d, m, 0, DDS_Long(i)); break;
    case DDS_TK_USHORT: rc = DDS_DynamicData_set_ushort(d, m, 0, DDS_UnsignedShort(u)); break;
    case DDS_TK_ULONG: rc = DDS_DynamicData_set_ulong(d, m, 0, DDS_UnsignedLong(u)); break;
    case DDS_TK_LONGLONG: rc = DDS_DynamicData_set_longlong(d, m, 0, i); break;
    case DDS_TK_ULONGLONG: rc = DDS_DynamicData_set_ulonglong(d, m, 0, u); break;
    case DDS_TK_OCTET: rc = DDS_DynamicData_set_octet(d, m, 0, DDS_Octet(u)); break;
    case DDS_TK_BOOLEAN: rc = DDS_DynamicData_set_boolean(d, m, 0, DDS_Boolean(u)); break;
    case DDS_TK_CHAR: rc = DDS_DynamicData_set_char(d, m, 0, v.at(0)); break;
    case DDS_TK_WCHAR: rc = DDS_DynamicData_set_wchar(d, m, 0, DDS_Wchar(u)); break;
    case DDS_TK_FLOAT: rc = DDS_DynamicData_set_float(d, m, 0, std::strtof(v.c_str(), nullptr)); break;
    case DDS_TK_DOUBLE: rc = DDS_DynamicData_set_double(d, m, 0, std::strtod(v.c_str(), nullptr)); break;
    case DDS_TK_LONGDOUBLE: {
        DDS_LongDouble ld;
        for (size_t k = 0; k < 16; ++k)
            ld.bytes[k] = static_cast<unsigned char>(std::stoul(v.substr(2 * k, 2), nullptr, 16));
        rc = DDS_DynamicData_set_longdouble(d, m, 0, ld);
        break;
    }
    case DDS_TK_STRING: rc = DDS_DynamicData_set_string(d, m, 0, v.c_str()); break;
    case DDS_TK_WSTRING: {
        DDS_Wchar w[64];
        ASSERT_GE(QueltUtf8_toUtf16(v.c_str(), w, 64), 0) << v;
        rc = DDS_DynamicData_set_wstring(d, m, 0, w);
        break;
    }
    default: break;
    }
    ASSERT_EQ(DDS_RETCODE_OK, rc) << path << "=" << v;
}

// "path=value; ..." (also across lines).
void fill(DDS_DynamicData *d, const std::string &values)
{
    std::istringstream in(values);
    for (std::string a; std::getline(in, a, ';');) {
        a = a.substr(a.find_first_not_of(" \n"));
        set(d, a.substr(0, a.find('=')), a.substr(a.find('=') + 1));
    }
}

// The records of data/wire/samples.txt: field name to text, a repeated field's lines joined by '\n'.
using Record = std::map<std::string, std::string>;
const std::map<std::string, Record> &records()
{
    static const std::map<std::string, Record> all = [] {
        std::map<std::string, Record> v;
        std::istringstream in(quelt::test::readFile(QUELT_TEST_DATA + "/wire/samples.txt"));
        Record *r = nullptr;
        for (std::string line; std::getline(in, line);) {
            const size_t colon = line.find(": ");
            if (line.empty() || line[0] == '#' || colon == std::string::npos)
                continue;
            if (line.rfind("sample: ", 0) == 0)
                r = &v[line.substr(colon + 2)];
            std::string &field = (*r)[line.substr(0, colon)];
            field += (field.empty() ? "" : "\n") + line.substr(colon + 2);
        }
        return v;
    }();
    return all;
}
std::string field(const Record &r, const char *name) { return r.count(name) ? r.at(name) : ""; }

// The samples Cyclone DDS wrote.
std::vector<const Record *> captures()
{
    std::vector<const Record *> v;
    for (const auto &[name, r] : records())
        if (r.count("capture"))
            v.push_back(&r);
    return v;
}

std::vector<const DDS_TypeCode *> versions(const Record &r)
{
    const char *name = r.at("type").c_str();
    if (r.at("type").rfind("Ext::", 0) == 0)
        return {same(name), evolved(name)};
    return {type(name)};
}

// The record's sample in type t (by default the record's type, the IDL's version of an Ext:: type).
Sample sample(const Record &r, const DDS_TypeCode *t = nullptr)
{
    Sample d(t ? t : versions(r).front());
    fill(d, field(r, "set"));
    return d;
}
Sample sample(const char *name) { return sample(records().at(name)); }

Bytes unhex(const std::string &text)
{
    std::istringstream in(text);
    Bytes b;
    for (unsigned v; in >> std::hex >> v;)
        b.push_back(uint8_t(v));
    return b;
}

// ---------------------------------------------------------------- byte images

struct Image {
    std::string name;
    std::function<Sample()> make;
    DDS_DataRepresentationId_t rep;
    bool be;
    Bytes bytes; // header included
};

std::vector<Image> images()
{
    std::vector<Image> v;
    for (const auto &[name, r] : records()) {
        std::istringstream lines(field(r, "image"));
        for (std::string rep, order, bytes; lines >> rep >> order && std::getline(lines, bytes);)
            v.push_back({r.at("sample") + " " + rep + " " + order, [&r] { return sample(r); }, rep == "XCDR2" ? X2 : X1, order == "BE",
                         unhex(bytes)});
        if (r.count("capture"))
            for (bool be : {false, true})
                v.push_back({"Cyclone " + r.at("capture") + (be ? " BE" : " LE"), [&r] { return sample(r); }, X2, be,
                             read_file(r.at("capture") + (be ? "_be.bin" : "_le.bin"))});
    }
    v.push_back({"union without a matching case",
                 [] {
                     Sample d(type("U2"));
                     union_select(d.d->type, d.d->p, -1);
                     reinterpret_cast<UnionRep *>(d.d->p)->disc = 4; // BLUE: no case
                     return d;
                 },
                 X1, false, {0, 1, 0, 0, 4, 0, 0, 0}});
    // An optional longer than 64 kB takes the extended parameter header.
    const uint32_t n = 70000, size = 4 + n;
    Bytes blob({0, 1, 0, 0, 0x01, 0x7f, 8, 0, 0, 0, 0, 0, uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), 0, uint8_t(n),
                uint8_t(n >> 8), uint8_t(n >> 16), 0});
    blob.resize(blob.size() + n);
    blob[20] = 0xa5;
    blob.back() = 0x5a;
    v.push_back({"long optional",
                 [] {
                     Sample d(type("Blob"));
                     fill(d, "data[70000]=0x5a; data[1]=0xa5");
                     return d;
                 },
                 X1, false, blob});
    return v;
}

TEST(Wire, ImagesDecodeAndOurEncoderWritesTheSameBytes)
{
    for (const Image &c : images()) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.bytes.empty());
        Sample d = c.make();
        EXPECT_EQ(hex(c.bytes), hex(encode(d, c.rep, c.be)));
        Sample back(d.d->type);
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
            for (int from = 0; from < 4; ++from)
                for (int over = 0; over < 4; ++over) {
                    SCOPED_TRACE(testing::Message() << from << " over " << over);
                    Sample src = sample(("everything " + std::to_string(from)).c_str());
                    Sample dst = sample(("everything " + std::to_string(over)).c_str());
                    const Bytes b = encode(src, rep, be);
                    EXPECT_EQ(be ? 0 : 1, b[1] & 1);
                    ASSERT_EQ(DDS_RETCODE_OK, decode(dst, b));
                    EXPECT_TRUE(DDS_DynamicData_equal(src, dst));
                }
            for (const Record *c : captures()) {
                SCOPED_TRACE(c->at("sample"));
                const DDS_TypeCode *t = evolved(c->at("type").c_str());
                Sample want = sample(*c, t), got(t);
                const Bytes b = encode(want, rep, be);
                EXPECT_EQ(rep == X2, b[1] >= 6) << hex(b);
                if (rep == X1 && c->at("type") == "Ext::Mut") {
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
    for (const Record *c : captures())
        for (bool be : {false, true}) {
            SCOPED_TRACE(c->at("sample") + (be ? " big endian" : " little endian"));
            // Cyclone's sample into our evolved type: App's extra member takes its default, Mut's
            // members are found by id.
            const Bytes wire = read_file(c->at("capture") + (be ? "_be.bin" : "_le.bin"));
            const char *name = c->at("type").c_str();
            Sample want = sample(*c, evolved(name)), got(evolved(name));
            const bool app = c->at("type") == "Ext::App";
            if (app) { // values from before the sample: all replaced, the missing member reset
                OK(DDS_DynamicData_set_long(got, "count", 0, 5));
                OK(DDS_DynamicData_set_long(got, "extra", 0, 9));
            } else if (c->at("type") == "Ext::Mut") {
                OK(DDS_DynamicData_set_long(got, "opt", 0, 5));
            }
            OK(decode(got, wire));
            EXPECT_TRUE(DDS_DynamicData_equal(want, got));
            // Ours back into the IDL's version: App's trailing member is skipped.
            if (app) {
                OK(DDS_DynamicData_set_long(want, "extra", 0, 1234));
            }
            Sample old(same(name)), old_want = sample(*c);
            OK(decode(old, encode(want, X2, be)));
            EXPECT_TRUE(DDS_DynamicData_equal(old_want, old));
        }
    // JSON of a mutable sample from Cyclone: our declaration order, absent members left out.
    Sample got(evolved("Ext::Mut"));
    OK(decode(got, read_file("mut_absent_le.bin")));
    DDS_PrintFormat format;
    OK(DDS_PrintFormat_initialize(&format, DDS_JSON_PRINT_FORMAT));
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
    for (const auto &[name, r] : records()) {
        if (!r.count("sizes"))
            continue;
        SCOPED_TRACE(r.at("sample"));
        const DDS_TypeCode *t = type(r.at("type").c_str());
        uint32_t max = 0, key_max = 0;
        std::istringstream(r.at("sizes")) >> max >> key_max;
        EXPECT_EQ(max, DDS_TypeCode_get_max_serialized_size(t));
        EXPECT_EQ(key_max, cdr_key_max_size(t));
    }
    EXPECT_EQ(8u, DDS_TypeCode_get_max_serialized_size(primitive_type(DDS_TK_LONG)));
    const DDS_TypeCode *padded = type("Padded");
    // The bound is reached by the longest sample, and no string length exceeds it.
    Sample d(padded);
    for (const char *v : {"", "a", "ab", "abc"}) {
        OK(DDS_DynamicData_set_string(d, "s", 0, v));
        EXPECT_GE(DDS_TypeCode_get_max_serialized_size(padded), DDS_DynamicData_get_serialized_size(d));
    }
    EXPECT_EQ(DDS_TypeCode_get_max_serialized_size(padded), DDS_DynamicData_get_serialized_size(d));
    Sample sh(type("ShapeType"));
    fill(sh, "color=" + std::string(128, 'c'));
    EXPECT_EQ(DDS_TypeCode_get_max_serialized_size(type("ShapeType")), DDS_DynamicData_get_serialized_size(sh));
}

TEST(Wire, ArgumentStateAndBufferErrors)
{
    Sample d = sample("shape"), empty(nullptr);
    const unsigned char b[4] = {0, 1, 0, 0};
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, DDS_DynamicData_to_cdr_buffer(d, nullptr, nullptr));
    EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, DDS_DynamicData_from_cdr_buffer(d, nullptr, 4));
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
    // A buffer too small takes nothing and learns the size needed.
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
    for (const auto &[name, r] : records())
        for (const DDS_TypeCode *t : r.count("keyhash") ? versions(r) : std::vector<const DDS_TypeCode *>{}) {
        SCOPED_TRACE(r.at("sample"));
        Sample d = sample(r, t), back(t);
        DDS_KeyHash_t h;
        ASSERT_EQ(DDS_RETCODE_OK, DDS_DynamicData_get_keyhash(d, &h));
        EXPECT_EQ(r.at("keyhash") + " ", hex(h.value, 16));
        if (!DDS_TypeCode_is_keyhash_reversible(t)) {
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

// The other encodings each sample lists: those it takes decode to it, those it refuses leave it
// cleared (and log why, when the sample says).
TEST(Wire, AcceptedAndRefusedBuffers)
{
    for (const auto &[name, r] : records())
        for (const DDS_TypeCode *t : versions(r)) {
            std::istringstream accepted(field(r, "accepted")), refused(field(r, "refused"));
            for (std::string line; std::getline(accepted, line);) {
                SCOPED_TRACE(r.at("sample") + ": " + line);
                Sample want = sample(r, t), got(t);
                EXPECT_EQ(DDS_RETCODE_OK, decode(got, unhex(line)));
                EXPECT_TRUE(DDS_DynamicData_equal(want, got));
            }
            for (std::string line; std::getline(refused, line);) {
                SCOPED_TRACE(r.at("sample") + ": " + line);
                const size_t bar = line.find(" | ");
                Sample d = sample(r, t);
                LogCapture log;
                EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(d, unhex(line.substr(0, bar))));
                EXPECT_TRUE(is_cleared(d));
                EXPECT_TRUE(bar == std::string::npos || log.contains(line.substr(bar + 3))) << log.text();
            }
        }
}

// Every cut of a sample loses data (but for the last 3 bytes of a capture: padding may end a
// sample); any single byte changed is read as some sample or refused, never past the buffer (the
// sanitizer build checks).
TEST(Wire, TruncatedAndMutatedBuffers)
{
    const Bytes valid = encode(sample("reject"));
    for (size_t n = 0; n < valid.size(); ++n) {
        Sample d = sample("reject");
        EXPECT_EQ(DDS_RETCODE_BAD_PARAMETER, decode(d, Bytes(valid.begin(), valid.begin() + long(n)))) << n;
        EXPECT_TRUE(is_cleared(d)) << n;
    }
    for (const Record *c : captures())
        for (const DDS_TypeCode *t : versions(*c)) {
            SCOPED_TRACE(c->at("sample"));
            const Bytes wire = read_file(c->at("capture") + "_be.bin");
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

// Random and mutated buffers: never a crash, an over-read or a huge allocation (run under ASan);
// whatever is accepted writes back to a buffer that decodes the same.
TEST(Wire, FuzzedBuffersAreRejectedOrConsistent)
{
    std::mt19937 rng(20240611);
    const DDS_TypeCode *t = type("Everything");
    const Bytes valid = encode(sample("everything 1"));
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
// valid data) and says so once; a few bytes cannot make the decoder allocate much. Domains 135..137.

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
    plan.types = library(QUELT_TEST_DATA + "/wire/types.xml");
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
    const std::string shape = "color=RED; x=7; y=8", p = "a=7";
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
        std::string fill;
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
        {"Bigs", "Bigs", "", true, false, "decoding would take more memory than the payload's size allows in member 's'", 0,
         empty_frames(300)},
        {"Bigs", "Bigs", "", true, false, "", 0, empty_frames(3)},
    };
    LogCapture log;
    for (const auto &c : cases) {
        const std::string name = std::string(c.writer) + " -> " + c.reader + (c.big_endian ? " BE" : "");
        Sample w(type(c.writer)), r(type(c.reader));
        Bytes b = c.raw;
        if (!c.fill.empty()) {
            fill(w, c.fill);
            b = encode(w, c.xcdr2 ? X2 : X1, c.big_endian);
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
