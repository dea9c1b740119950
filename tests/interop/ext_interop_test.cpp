// Extensible types between the connector's exported functions and Cyclone DDS (cyclone_ext_peer,
// IDL compiled with idlc), both directions: an appendable type whose XML version has one more
// trailing member than the IDL's, a mutable one with optional members whose XML lists them in
// another order with explicit ids, and a final one that still goes out as XCDR1. Every member is
// compared through the canonical lines of ext_lines.h, disposes included. Domains 216..222.
#include "ext_lines.h"
#include "interop_support.h"

#include "connector_lines.h"
#include "connector_test_support.h"

#include <cmath>

using namespace quelt::interop;
using quelt::test::runLua;
using quelt::test::stackHeight;

namespace {

const char *const kWriter = "Pub::Writer";
const char *const kReader = "Sub::Reader";
const char *const kKinds[] = {"app", "mut", "fin"};
const char *const kConfigs[] = {"ExtLib::App", "ExtLib::Mut", "ExtLib::Fin"};

std::string text(char *s)
{
    std::string v = s ? s : "<null>";
    QueltDDSConnector_freeString(s);
    return v;
}

std::string at(const char *base, uint32_t k, const char *member = nullptr)
{
    return std::string(base) + "[" + std::to_string(k + 1) + "]" + (member ? std::string(".") + member : "");
}

class Connector {
  public:
    Connector(int domain, int kind) : xml_(domain)
    {
        if (xml_.error().empty())
            c = QueltDDSConnector_new(kConfigs[kind], xml_.path().c_str(), nullptr);
    }
    ~Connector()
    {
        if (c)
            QueltDDSConnector_delete(c);
    }
    QueltDDSConnector *c = nullptr;

  private:
    InteropXml xml_;
};

// The key members of sample i only: what a dispose needs.
void setKey(QueltDDSConnector *c, int kind, const ExtFields &f)
{
    if (kind == EXT_APP)
        QueltDDSConnector_setStringIntoSamples(c, kWriter, "id", f.key);
    else
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "id", f.id);
}

// Sample i, through the exported setters alone. Absent optional members are simply not set.
void setSample(QueltDDSConnector *c, int kind, uint32_t i)
{
    ExtFields f;
    ext_expected(kind, i, &f);
    QueltDDSConnector_clear(c, kWriter);
    setKey(c, kind, f);
    auto num = [&](const std::string &name, double v) { QueltDDSConnector_setNumberIntoSamples(c, kWriter, name.c_str(), v); };
    auto str = [&](const std::string &name, const char *v) { QueltDDSConnector_setStringIntoSamples(c, kWriter, name.c_str(), v); };
    if (kind == EXT_APP) {
        num("count", f.count);
        for (uint32_t k = 0; k < f.n_items; ++k) {
            num(at("items", k, "a"), f.items[k].a);
            str(at("items", k, "s"), f.items[k].s);
        }
        num("nested.a", f.nested.a);
        str("nested.s", f.nested.s);
        num("extra", i + 1000); // ours only: Cyclone's version of the type ends before it
    } else if (kind == EXT_MUT) {
        if (f.has_opt)
            num("opt", f.opt);
        str("name", f.name);
        num("value", f.value);
        for (uint32_t k = 0; k < f.n_shorts; ++k)
            num(at("shorts", k), f.shorts[k]);
        if (f.has_inner) {
            num("inner.a", f.inner.a);
            str("inner.s", f.inner.s);
        }
    } else {
        num("big", static_cast<double>(f.big)); // exact below 2^53
        str("s", f.s);
    }
}

// Held sample i (1-based) as its canonical line, through the exported getters; whether optional
// members are present from a script, to which an absent one reads as nil.
std::string sampleLine(QueltDDSConnector *c, int kind, int i)
{
    auto num = [&](const std::string &name) { return QueltDDSConnector_getNumberFromSamples(c, kReader, i, name.c_str()); };
    auto str = [&](const std::string &name) { return text(QueltDDSConnector_getStringFromSamples(c, kReader, i, name.c_str())); };
    auto copy = [](char *dst, size_t n, const std::string &v) { std::snprintf(dst, n, "%s", v.c_str()); };
    ExtFields f{};
    if (kind == EXT_APP)
        copy(f.key, sizeof f.key, str("id"));
    else
        std::snprintf(f.key, sizeof f.key, "%d", static_cast<int>(num("id")));
    if (kind == EXT_APP) {
        f.count = static_cast<int32_t>(num("count"));
        f.n_items = static_cast<uint32_t>(std::max(0.0, std::min(3.0, num("items#"))));
        for (uint32_t k = 0; k < f.n_items; ++k) {
            f.items[k].a = static_cast<int32_t>(num(at("items", k, "a")));
            copy(f.items[k].s, sizeof f.items[k].s, str(at("items", k, "s")));
        }
        f.nested.a = static_cast<int32_t>(num("nested.a"));
        copy(f.nested.s, sizeof f.nested.s, str("nested.s"));
    } else if (kind == EXT_MUT) {
        const std::vector<std::string> present =
            runLua(c, "local s = CONTAINER.READER['Sub::Reader'].samples[" + std::to_string(i) + "] return s.opt ~= nil, s['inner.a'] ~= nil");
        EXPECT_EQ(present.size(), 2u);
        f.has_opt = !present.empty() && present[0] == "true";
        f.opt = f.has_opt ? static_cast<int32_t>(num("opt")) : 0;
        copy(f.name, sizeof f.name, str("name"));
        f.value = num("value");
        f.n_shorts = static_cast<uint32_t>(std::max(0.0, std::min(3.0, num("shorts#"))));
        for (uint32_t k = 0; k < f.n_shorts; ++k)
            f.shorts[k] = static_cast<int16_t>(num(at("shorts", k)));
        f.has_inner = present.size() > 1 && present[1] == "true";
        if (f.has_inner) {
            f.inner.a = static_cast<int32_t>(num("inner.a"));
            copy(f.inner.s, sizeof f.inner.s, str("inner.s"));
        }
    } else {
        f.big = static_cast<int64_t>(num("big"));
        copy(f.s, sizeof f.s, str("s"));
    }
    char line[1024];
    ext_format(kind, &f, line, sizeof line);
    return line;
}

std::vector<std::string> expected(int kind, uint32_t count, bool disposed = true)
{
    std::vector<std::string> v;
    char line[1024];
    for (uint32_t i = 0; i < count; ++i) {
        ext_expected_line(kind, i, line, sizeof line);
        v.emplace_back(line);
    }
    if (disposed) {
        ext_disposed_line(kind, line, sizeof line);
        v.emplace_back(line);
    }
    return v;
}

void connectorToCyclone(int domain, int kind, uint32_t count)
{
    // Fast DDS 2.9 sends a dispose as the key hash alone. Cyclone turns a hash back into a key
    // only for final and appendable types whose key always fits in 16 bytes, which it takes no
    // string key and no mutable type to do: App's and Mut's disposes cannot reach it.
    const bool dispose = kind == EXT_FIN;
    std::vector<std::string> args{"sub", kKinds[kind], std::to_string(domain), std::to_string(count), std::to_string(kPeerTimeoutS)};
    if (!dispose)
        args.insert(args.begin(), "--data-only");
    Peer peer(args);
    ASSERT_TRUE(peer.started());
    Connector conn(domain, kind);
    ASSERT_NE(conn.c, nullptr);
    ASSERT_TRUE(wait_matched(QueltDDSConnector_getWriter(conn.c, kWriter), 2)) << "the peer's reader never matched";
    ASSERT_TRUE(peer.wait_for_line(INTEROP_MATCHED_LINE, kPeerTimeoutS)) << "the peer's reader never matched our writer";
    for (uint32_t i = 0; i < count; ++i) {
        setSample(conn.c, kind, i);
        QueltDDSConnector_write(conn.c, kWriter, nullptr);
    }
    // The exported functions do not dispose; a script does, on the instance of sample 0.
    if (dispose) {
        ExtFields f;
        ext_expected(kind, 0, &f);
        QueltDDSConnector_clear(conn.c, kWriter);
        setKey(conn.c, kind, f);
        runLua(conn.c, "CONTAINER.WRITER['Pub::Writer']:dispose()");
    }
    EXPECT_EQ(stackHeight(conn.c), 0);
    std::vector<std::string> lines;
    const int rc = peer.finish(lines);
    EXPECT_TRUE(lines_agree(expected(kind, count, dispose), lines));
    EXPECT_EQ(rc, 0) << "cyclone_ext_peer sub failed";
}

void cycloneToConnector(int domain, int kind, uint32_t count, bool xcdr2 = false)
{
    Connector conn(domain, kind);
    ASSERT_NE(conn.c, nullptr);
    std::vector<std::string> args{"--wait-go", "pub", kKinds[kind], std::to_string(domain), std::to_string(count), std::to_string(kPeerTimeoutS)};
    if (xcdr2)
        args.insert(args.begin(), "--xcdr2");
    Peer peer(args);
    ASSERT_TRUE(peer.started());
    ASSERT_TRUE(peer.wait_for_line(INTEROP_MATCHED_LINE, kPeerTimeoutS)) << "the peer's writer never matched our reader";
    ASSERT_TRUE(wait_matched(QueltDDSConnector_getReader(conn.c, kReader), 2)) << "our reader never matched the peer's writer";
    ASSERT_TRUE(peer.send("go\n"));

    auto dataLine = [&](int i) {
        if (kind == EXT_APP) { // Cyclone's version has no such member: it keeps its default
            EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(conn.c, kReader, i, "extra"), 0.0);
        }
        return sampleLine(conn.c, kind, i);
    };
    // The peer's one notice is the dispose of sample 0's instance; only its key can be read.
    auto noticeKey = [&](int i) {
        return kind == EXT_APP ? text(QueltDDSConnector_getStringFromSamples(conn.c, kReader, i, "id"))
                               : std::to_string(static_cast<int>(QueltDDSConnector_getNumberFromSamples(conn.c, kReader, i, "id")));
    };
    const std::vector<std::string> lines = takeLines(conn.c, kReader, count, kPeerTimeoutS, dataLine, noticeKey);
    EXPECT_TRUE(lines_agree(expected(kind, count), lines));
    QueltDDSConnector_delete(conn.c);
    conn.c = nullptr;
    std::vector<std::string> out;
    EXPECT_EQ(peer.finish(out), 0) << "cyclone_ext_peer pub failed";
}

} // namespace

TEST(InteropExtensible, AppendableConnectorToCyclone) { connectorToCyclone(216, EXT_APP, 9); }
TEST(InteropExtensible, AppendableCycloneToConnector) { cycloneToConnector(217, EXT_APP, 9); }
TEST(InteropExtensible, MutableConnectorToCyclone) { connectorToCyclone(218, EXT_MUT, 9); }
TEST(InteropExtensible, MutableCycloneToConnector) { cycloneToConnector(219, EXT_MUT, 9); }
TEST(InteropExtensible, FinalStaysXcdr1ConnectorToCyclone) { connectorToCyclone(220, EXT_FIN, 9); }
TEST(InteropExtensible, FinalStaysXcdr1CycloneToConnector) { cycloneToConnector(221, EXT_FIN, 9); }
// Readers of final types take XCDR2 writers too.
TEST(InteropExtensible, FinalFromAnXcdr2WriterCycloneToConnector) { cycloneToConnector(222, EXT_FIN, 9, true); }

// Two of our own participants, as two processes of an application would be: the announcements
// we complete for other implementations must not keep Fast DDS from matching itself.
TEST(InteropExtensible, OurParticipantsMatchEachOtherOnEveryType)
{
    for (int kind : {EXT_APP, EXT_MUT, EXT_FIN}) {
        SCOPED_TRACE(kConfigs[kind]);
        Connector a(223, kind), b(223, kind);
        ASSERT_TRUE(a.c && b.c);
        // Each writer: its own participant's reader and the other's.
        EXPECT_TRUE(wait_matched(QueltDDSConnector_getWriter(a.c, kWriter), 2));
        EXPECT_TRUE(wait_matched(QueltDDSConnector_getReader(b.c, kReader), 2));
        setSample(a.c, kind, 4);
        QueltDDSConnector_write(a.c, kWriter, nullptr);
        ASSERT_EQ(QueltDDSConnector_wait(b.c, 10000), DDS_RETCODE_OK);
        QueltDDSConnector_take(b.c, kReader);
        ASSERT_EQ(QueltDDSConnector_getSamplesLength(b.c, kReader), 1.0);
        char line[1024];
        ext_expected_line(kind, 4, line, sizeof line);
        EXPECT_EQ(sampleLine(b.c, kind, 1), line);
        if (kind == EXT_APP) {
            EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(b.c, kReader, 1, "extra"), 1004.0);
        }
    }
}
