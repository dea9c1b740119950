// The connector's exported functions against Cyclone DDS (cyclone_peer, its types compiled from
// IDL by idlc), both directions, over the every-kind type Interop::Sample, ShapeType (a key
// longer than a key hash) and the extensible types: appendable (our XML version has one more
// trailing member), mutable with optional members (listed in another order, with ids) and final
// (still XCDR1). Every member is set and read by name (nested members, sequence elements and
// their "#" length, the enum by value) and compared as the lines of lines.h, disposes included.
// Domains 154..159, 164..166, 176, 177, 216..223.
#include "lines.h"

#include "connector_test_support.h"
#include "support/peer.h"

#include <algorithm>
#include <map>

using namespace quelt::test;

namespace {

const char *const kWriter = "Pub::Writer";
const char *const kReader = "Sub::Reader";
const char *const kConfigs[] = {"InteropLib::Peer", "InteropLib::ShapePeer", "ExtLib::App", "ExtLib::Mut", "ExtLib::Fin"};
constexpr int kPeerTimeoutS = 30;

// The type's configuration on the test's own domain.
struct TypeConnector : Connector {
    TypeConnector(int domain, int type)
        : Connector(domain, kConfigs[type],
                    replaceAll(readFile(type < T_APP ? QUELT_TEST_DATA "/interop.xml" : QUELT_TEST_DATA "/extensible.xml"),
                               "domain_id=\"150\"", "domain_id=\"0\""))
    {
    }
};

std::string at(const std::string &base, uint32_t k, const char *member = nullptr)
{
    return base + "[" + std::to_string(k + 1) + "]" + (member ? std::string(".") + member : "");
}

// Visits every member of a sample of type held in f, by name: v.num and v.str for values, v.seq
// for a sequence's length before its elements, v.opt for whether an optional member is there.
template <class V> void visit(int type, Fields &f, V &&v)
{
    if (type == T_SAMPLE) {
        v.str("id", f.key);
        v.num("s16", f.s16), v.num("i32", f.i32), v.num("i64", f.i64), v.num("u32", f.u32), v.num("f64", f.f64);
        v.str("label", f.label);
        v.seq("values", f.n_values);
        for (uint32_t k = 0; k < f.n_values; ++k)
            v.num(at("values", k), f.values[k]);
        v.num("where.x", f.where_x), v.num("where.y", f.where_y), v.num("level", f.level);
    } else if (type == T_SHAPE) {
        v.str("color", f.key);
        v.num("x", f.x), v.num("y", f.y), v.num("shapesize", f.shapesize);
    } else if (type == T_APP) {
        v.str("id", f.key);
        v.num("count", f.count);
        v.seq("items", f.n_items);
        for (uint32_t k = 0; k < f.n_items; ++k)
            v.num(at("items", k, "a"), f.items[k].a), v.str(at("items", k, "s"), f.items[k].s);
        v.num("nested.a", f.nested.a), v.str("nested.s", f.nested.s);
    } else {
        v.num("id", f.id);
        std::snprintf(f.key, sizeof f.key, "%d", static_cast<int>(f.id));
        if (type == T_FIN) {
            v.num("big", f.big), v.str("s", f.s); // big: exact below 2^53
            return;
        }
        if (v.opt("opt", f.has_opt))
            v.num("opt", f.opt);
        v.str("name", f.name), v.num("value", f.value);
        v.seq("shorts", f.n_shorts);
        for (uint32_t k = 0; k < f.n_shorts; ++k)
            v.num(at("shorts", k), f.shorts[k]);
        if (v.opt("inner.a", f.has_inner))
            v.num("inner.a", f.inner.a), v.str("inner.s", f.inner.s);
    }
}

// Sets f's members on the writer's instance; absent optional members are simply not set.
struct Setter {
    QueltDDSConnector *c;
    template <class T> void num(const std::string &path, T &v) { QueltDDSConnector_setNumberIntoSamples(c, kWriter, path.c_str(), double(v)); }
    void str(const std::string &path, char *v) { QueltDDSConnector_setStringIntoSamples(c, kWriter, path.c_str(), v); }
    void seq(const std::string &, uint32_t &) {}
    bool opt(const std::string &, bool &present) { return present; }
};

// Reads held sample i through the getters; an absent optional member reads as nil in a script.
struct Getter {
    QueltDDSConnector *c;
    int i;
    template <class T> void num(const std::string &path, T &v) { v = T(QueltDDSConnector_getNumberFromSamples(c, kReader, i, path.c_str())); }
    template <size_t N> void str(const std::string &path, char (&v)[N])
    {
        std::snprintf(v, N, "%s", text(QueltDDSConnector_getStringFromSamples(c, kReader, i, path.c_str())).c_str());
    }
    void seq(const std::string &path, uint32_t &n) { n = uint32_t(std::clamp(QueltDDSConnector_getNumberFromSamples(c, kReader, i, (path + "#").c_str()), 0.0, 3.0)); }
    bool opt(const std::string &path, bool &present)
    {
        present = runLua(c, "return CONTAINER.READER['Sub::Reader'].samples[" + std::to_string(i) + "]['" + path + "'] ~= nil") ==
                  std::vector<std::string>{"true"};
        return present;
    }
};

std::string lineOf(int type, Fields &f)
{
    char line[1024];
    format_data(type, &f, line, sizeof line);
    return line;
}

std::vector<std::string> expectedLines(int type, uint32_t count, bool disposed)
{
    std::vector<std::string> v;
    char line[1024];
    for (uint32_t i = 0; i < count + disposed; ++i) {
        expected_line(type, count, i, line, sizeof line);
        v.emplace_back(line);
    }
    return v;
}

::testing::AssertionResult agree(const std::vector<std::string> &expect, const std::vector<std::string> &got)
{
    std::vector<const char *> e, g;
    for (const std::string &s : expect)
        e.push_back(s.c_str());
    std::string all;
    for (const std::string &s : got)
        g.push_back(s.c_str()), all += "\n    " + s;
    char why[4096];
    if (lines_agree(e.data(), e.size(), g.data(), g.size(), why, sizeof why))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << why << "\n  all received lines:" << all;
}

bool matched(QueltDDSConnector *c, bool writer, int count)
{
    return waitUntil(
        [&] {
            DDS_PublicationMatchedStatus p{};
            DDS_SubscriptionMatchedStatus s{};
            return writer ? DDS_DataWriter_get_publication_matched_status(QueltDDSConnector_getWriter(c, kWriter), &p) == DDS_RETCODE_OK &&
                                p.current_count >= count
                          : DDS_DataReader_get_subscription_matched_status(QueltDDSConnector_getReader(c, kReader), &s) == DDS_RETCODE_OK &&
                                s.current_count >= count;
        },
        std::chrono::seconds(kPeerTimeoutS));
}

// The peer's lines up to its exit (it exits by itself, done or timed out), comments left out.
std::vector<std::string> peerLines(Peer &peer, int &status)
{
    std::vector<std::string> lines;
    for (std::string l; (l = peer.expect("", std::chrono::seconds(kPeerTimeoutS + 5))) != "-";)
        if (!l.empty() && l[0] != '#')
            lines.push_back(l);
    status = peer.finish();
    return lines;
}

struct Case {
    const char *name;
    int type;
    bool toCyclone;
    uint32_t count;
    int domain;
    bool json = false;  // samples set and read as whole JSON texts (the every-kind type)
    bool xcdr2 = false; // the peer's writer uses XCDR2
};

// Our writer to the peer's reader: count samples set by name, then a script disposes sample 0's
// instance. Fast DDS 2.9 sends a dispose as the key hash alone; Cyclone turns a hash back into a
// key only for a final or appendable type whose key always fits in 16 bytes: Sample's and Fin's.
void toCyclone(const Case &k)
{
    const bool dispose = k.type == T_SAMPLE || k.type == T_FIN;
    std::vector<std::string> args{QUELT_CYCLONE_PEER, "sub", type_names[k.type], std::to_string(k.domain), std::to_string(k.count),
                                  std::to_string(kPeerTimeoutS)};
    if (!dispose)
        args.insert(args.begin() + 1, "--data-only");
    Peer peer(args);
    TypeConnector conn(k.domain, k.type);
    ASSERT_NE(conn.c, nullptr);
    // Our own reader and the peer's; and the peer's reader knows our writer, or it would skip
    // what we write before it does.
    ASSERT_TRUE(matched(conn.c, true, 2)) << "the peer's reader never matched";
    ASSERT_EQ(peer.expect(MATCHED_LINE, std::chrono::seconds(kPeerTimeoutS)), "") << "the peer's reader never matched our writer";
    for (uint32_t i = 0; i <= k.count; ++i) {
        Fields f;
        expected(k.type, i < k.count ? i : 0, &f);
        QueltDDSConnector_clear(conn.c, kWriter);
        visit(k.type, f, Setter{conn.c});
        if (k.type == T_APP)
            QueltDDSConnector_setNumberIntoSamples(conn.c, kWriter, "extra", i + 1000); // Cyclone's version ends before it
        if (k.json) {
            // The instance as JSON, cleared, and set again from the text.
            const std::string json = text(QueltDDSConnector_getJSONInstance(conn.c, kWriter));
            QueltDDSConnector_clear(conn.c, kWriter);
            QueltDDSConnector_setJSONInstance(conn.c, kWriter, json.c_str());
        }
        if (i < k.count)
            QueltDDSConnector_write(conn.c, kWriter, nullptr);
        else if (dispose)
            runLua(conn.c, "CONTAINER.WRITER['Pub::Writer']:dispose()");
    }
    EXPECT_EQ(stackHeight(conn.c), 0);
    // The peer exits once it has everything; only then may our writer go, or its leaving would
    // add lines.
    int status = -1;
    const std::vector<std::string> lines = peerLines(peer, status);
    EXPECT_TRUE(agree(expectedLines(k.type, k.count, dispose), lines));
    EXPECT_EQ(status, 0) << "cyclone_peer sub failed";
}

// The peer's writer to our reader: takes until count data lines and the peer's one notice (the
// dispose of sample 0's instance, whose key alone can be read) have come.
void fromCyclone(const Case &k)
{
    TypeConnector conn(k.domain, k.type);
    ASSERT_NE(conn.c, nullptr);
    std::vector<std::string> args{QUELT_CYCLONE_PEER, "--wait-go", "pub", type_names[k.type], std::to_string(k.domain),
                                  std::to_string(k.count), std::to_string(kPeerTimeoutS)};
    if (k.xcdr2)
        args.insert(args.begin() + 1, "--xcdr2");
    Peer peer(args);
    // The peer writes once both sides know each other: its writer our reader, our reader its
    // writer (our own writer on the topic counts as one match).
    ASSERT_EQ(peer.expect(MATCHED_LINE, std::chrono::seconds(kPeerTimeoutS)), "") << "the peer's writer never matched our reader";
    ASSERT_TRUE(matched(conn.c, false, 2)) << "our reader never matched the peer's writer";
    ASSERT_TRUE(peer.say("go"));

    std::vector<std::string> lines;
    std::map<std::string, std::string> handles; // key -> instance handle
    uint32_t dataLines = 0;
    bool disposed = false;
    int idle = 0, emptyWakes = 0;
    while ((dataLines < k.count || !disposed) && idle < kPeerTimeoutS && !::testing::Test::HasFailure()) {
        if (QueltDDSConnector_wait(conn.c, 1000) != DDS_RETCODE_OK) {
            ++idle;
            continue;
        }
        QueltDDSConnector_take(conn.c, kReader);
        const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(conn.c, kReader));
        // Data available must not stay triggered once everything has been taken.
        ASSERT_LT(emptyWakes = n ? 0 : emptyWakes + 1, 1000) << "the wait keeps waking without data";
        for (int i = 1; i <= n; ++i) {
            Fields f{};
            const DDS_SampleInfo *info = DDS_SampleInfoSeq_get_reference(&conn.c->subscriptionHolders[0].infoSequence, i - 1);
            const std::string handle(reinterpret_cast<const char *>(info->instance_handle.value), 16);
            if (QueltDDSConnector_getBooleanFromInfos(conn.c, kReader, i, "valid_data") != 1) {
                Getter{conn.c, i}.str(key_name(k.type), f.key);
                if (k.type >= T_MUT)
                    std::snprintf(f.key, sizeof f.key, "%d", int(QueltDDSConnector_getNumberFromSamples(conn.c, kReader, i, "id")));
                // Cyclone sends a notice's key alone, without its hash: the instance found from
                // the key must be the one its data showed.
                EXPECT_EQ(handles[f.key], handle) << f.key;
                lines.push_back(std::string("DISPOSED ") + key_name(k.type) + "=" + f.key);
                disposed = true;
                continue;
            }
            visit(k.type, f, Getter{conn.c, i});
            handles[f.key] = handle;
            if (k.json) {
                // The sample's JSON text is the one of the same values set on our writer's instance.
                Fields want;
                expected(k.type, uint32_t(f.i32 / 1000), &want);
                QueltDDSConnector_clear(conn.c, kWriter);
                visit(k.type, want, Setter{conn.c});
                EXPECT_EQ(text(QueltDDSConnector_getJSONSample(conn.c, kReader, i)), text(QueltDDSConnector_getJSONInstance(conn.c, kWriter)));
            }
            if (k.type == T_APP) { // Cyclone's version has no such member: it keeps its default
                EXPECT_EQ(QueltDDSConnector_getNumberFromSamples(conn.c, kReader, i, "extra"), 0.0);
            }
            lines.push_back(lineOf(k.type, f));
            ++dataLines;
        }
        EXPECT_EQ(stackHeight(conn.c), 0);
    }
    EXPECT_TRUE(agree(expectedLines(k.type, k.count, true), lines));
    // The peer waits for our reader to leave before it exits.
    QueltDDSConnector_delete(conn.c);
    conn.c = nullptr;
    int status = -1;
    peerLines(peer, status);
    EXPECT_EQ(status, 0) << "cyclone_peer pub failed";
}

void PrintTo(const Case &k, std::ostream *os) { *os << k.name; }

class Interop : public ::testing::TestWithParam<Case> {};

TEST_P(Interop, EverySampleAndTheDisposeArriveAlike)
{
    if (GetParam().toCyclone)
        toCyclone(GetParam());
    else
        fromCyclone(GetParam());
}

// A thousand samples make reliability work for its living (history, acknowledgements); readers
// of final types take XCDR2 writers too.
INSTANTIATE_TEST_SUITE_P(
    Cyclone, Interop,
    ::testing::Values(Case{"SampleToCyclone", T_SAMPLE, true, 9, 154}, Case{"SampleFromCyclone", T_SAMPLE, false, 9, 155},
                      Case{"ShapeToCyclone", T_SHAPE, true, 9, 156}, Case{"ShapeFromCyclone", T_SHAPE, false, 9, 157},
                      Case{"ThousandSamplesToCyclone", T_SAMPLE, true, 1000, 158},
                      Case{"ThousandSamplesFromCyclone", T_SAMPLE, false, 1000, 159},
                      Case{"JsonToCyclone", T_SAMPLE, true, 9, 176, true}, Case{"JsonFromCyclone", T_SAMPLE, false, 9, 177, true},
                      Case{"AppendableToCyclone", T_APP, true, 9, 216}, Case{"AppendableFromCyclone", T_APP, false, 9, 217},
                      Case{"MutableToCyclone", T_MUT, true, 9, 218}, Case{"MutableFromCyclone", T_MUT, false, 9, 219},
                      Case{"FinalToCyclone", T_FIN, true, 9, 220}, Case{"FinalFromCyclone", T_FIN, false, 9, 221},
                      Case{"FinalFromXcdr2Cyclone", T_FIN, false, 9, 222, false, true}),
    [](const auto &info) { return std::string(info.param.name); });

// Two of our own participants, as two processes of an application would be: the announcements
// we complete for other implementations must not keep Fast DDS from matching itself.
TEST(InteropOurselves, OurParticipantsMatchEachOtherOnEveryExtensibleType)
{
    for (int type : {T_APP, T_MUT, T_FIN}) {
        SCOPED_TRACE(kConfigs[type]);
        TypeConnector a(223, type), b(223, type);
        ASSERT_TRUE(a.c && b.c);
        EXPECT_TRUE(matched(a.c, true, 2));
        EXPECT_TRUE(matched(b.c, false, 2));
        Fields f, got{};
        expected(type, 4, &f);
        visit(type, f, Setter{a.c});
        QueltDDSConnector_write(a.c, kWriter, nullptr);
        ASSERT_EQ(QueltDDSConnector_wait(b.c, 10000), DDS_RETCODE_OK);
        QueltDDSConnector_take(b.c, kReader);
        ASSERT_EQ(QueltDDSConnector_getSamplesLength(b.c, kReader), 1.0);
        visit(type, got, Getter{b.c, 1});
        EXPECT_EQ(lineOf(type, got), lineOf(type, f));
    }
}

} // namespace
