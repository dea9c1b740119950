// The connector's exported functions against an independent peer, both directions: Cyclone DDS
// (cyclone_peer) for our Fast DDS engine, plain Fast DDS (fastdds_peer) for our Cyclone engine, over
// Interop::Sample (every kind), ShapeType (a key longer than a key hash) and the extensible types:
// appendable (ours has one more trailing member), mutable with optional members (ours in another
// order, with ids) and final. Samples go in and out as JSON, compared as the peer's lines ("KEY
// JSON", "KEY disposed"), which the peer also prints for what each side expects. The Idl cases
// take our types from the IDL files the peer was generated from. Domains 154..165, 184..187,
// 216..223.
#include "connector_test_support.h"
#include "support/peer.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <utility>

using namespace quelt::test;

namespace {

const char *const kWriter = "Pub::Writer";
const char *const kReader = "Sub::Reader";
constexpr int kPeerTimeoutS = 30;

enum { T_SAMPLE, T_SHAPE, T_APP, T_MUT, T_FIN };
// idl: the IDL files the peer was generated from, which replace the XML <types> when a case asks.
struct Type { const char *name, *config, *xml, *key; bool numericKey; const char *idl; };
const Type kTypes[] = {{"sample", "InteropLib::Peer", "/interop.xml", "id", false, "Interop.idl Shapes.idl"},
                       {"shape", "InteropLib::ShapePeer", "/interop.xml", "color", false, "Interop.idl Shapes.idl"},
                       {"app", "ExtLib::App", "/extensible.xml", "id", false, "Extensible.idl"},
                       {"mut", "ExtLib::Mut", "/extensible.xml", "id", true, "Extensible.idl"},
                       {"fin", "ExtLib::Fin", "/extensible.xml", "id", true, "Extensible.idl"}};

std::string configText(int type, bool idl)
{
    std::string xml = replaceAll(readFile(QUELT_TEST_DATA + std::string(kTypes[type].xml)), "domain_id=\"150\"", "domain_id=\"0\"");
    if (!idl)
        return xml;
    std::string includes = "<types>";
    std::istringstream files(kTypes[type].idl);
    for (std::string f; files >> f;)
        includes += "<include file=\"" + QUELT_INTEROP_IDL + "/" + f + "\"/>";
    const size_t begin = xml.find("<types>"), end = xml.find("</types>");
    return xml.replace(begin, end - begin, includes);
}

// The type's configuration on the test's own domain, its types from XML or from the peer's IDL,
// on the Cyclone engine if asked.
struct TypeConnector : Connector {
    TypeConnector(int domain, int type, bool idl = false, bool cyclone = false)
        : Connector(domain, kTypes[type].config,
                    cyclone ? replaceAll(configText(type, idl), "<domain_participant ", "<domain_participant engine=\"cyclone\" ") : configText(type, idl)) {}
};

// The peer's lines up to its exit (it exits by itself, done or timed out), comments left out.
std::vector<std::string> peerLines(Peer &peer, int &status)
{
    std::vector<std::string> lines;
    for (std::string l; (l = peer.expect("", std::chrono::seconds(kPeerTimeoutS + 5))) != "-";)
        if (!l.empty() && l[0] != '#')
            lines.push_back(l);
    // Killed (a failed status) past 20 s: every wait of a test stays within its 120 s, so a peer
    // that hangs fails the test with what it got instead of timing the whole test out.
    status = peer.finish(std::chrono::seconds(20));
    return lines;
}

// The lines of a run of count samples of type: the samples in order, then the dispose of sample
// 0's instance.
std::vector<std::string> expectedLines(int type, uint32_t count)
{
    Peer peer({QUELT_CYCLONE_PEER, "lines", kTypes[type].name, std::to_string(count)});
    int status = -1;
    const std::vector<std::string> lines = peerLines(peer, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines.size(), count + 1);
    return lines;
}

const char *json(const std::string &line) { return line.c_str() + line.find(' ') + 1; }

// The lines of each instance in the order they came; instances in any order.
std::vector<std::string> byInstance(std::vector<std::string> lines)
{
    std::stable_sort(lines.begin(), lines.end(),
                     [](const std::string &a, const std::string &b) { return a.substr(0, a.find(' ')) < b.substr(0, b.find(' ')); });
    return lines;
}

// Whether our writer (or reader) matches count readers (or writers) in time.
bool matched(QueltDDSConnector *c, bool writer, int count)
{
    DDS_PublicationMatchedStatus p{};
    DDS_SubscriptionMatchedStatus s{};
    return waitUntil([&] {
        return (writer ? DDS_DataWriter_get_publication_matched_status(QueltDDSConnector_getWriter(c, kWriter), &p)
                       : DDS_DataReader_get_subscription_matched_status(QueltDDSConnector_getReader(c, kReader), &s)) == DDS_RETCODE_OK &&
               (writer ? p.current_count : s.current_count) >= count;
    }, std::chrono::seconds(kPeerTimeoutS));
}

// The writer's instance set from a JSON text (members it leaves out keep their defaults).
void setInstance(QueltDDSConnector *c, const char *json)
{
    QueltDDSConnector_clear(c, kWriter);
    QueltDDSConnector_setJSONInstance(c, kWriter, json);
}

// xcdr2: the peer's writer uses XCDR2; idl: our types come from the peer's IDL files; fastdds:
// the peer is fastdds_peer and ours the Cyclone engine.
struct Case { const char *name; int type; bool toPeer; uint32_t count; int domain; bool xcdr2 = false; bool idl = false; bool fastdds = false; };

const char *peerProgram(const Case &k) { return (k.fastdds ? QUELT_FASTDDS_PEER : QUELT_CYCLONE_PEER).c_str(); }

// Our writer to the peer's reader: count samples, then a script disposes sample 0's instance.
// Fast DDS 2.9 sends a dispose as the key hash alone; Cyclone turns a hash back into a key only
// for a final or appendable type whose key always fits in 16 bytes: Sample's and Fin's. Cyclone
// sends it as the key alone, without a hash, which plain Fast DDS 2.9 takes for the hash itself:
// it cannot tell which instance that is.
void toPeer(const Case &k)
{
    const bool dispose = !k.fastdds && (k.type == T_SAMPLE || k.type == T_FIN);
    std::vector<std::string> expect = expectedLines(k.type, k.count);
    std::vector<std::string> args{peerProgram(k), "sub", kTypes[k.type].name, std::to_string(k.domain), std::to_string(k.count),
                                  std::to_string(kPeerTimeoutS)};
    if (!dispose)
        args.insert(args.begin() + 1, "--data-only");
    Peer peer(args);
    TypeConnector conn(k.domain, k.type, k.idl, k.fastdds);
    ASSERT_NE(conn.c, nullptr);
    // Our own reader and the peer's; and the peer's reader knows our writer, or it would skip
    // what we write before it does.
    ASSERT_TRUE(matched(conn.c, true, 2)) << "the peer's reader never matched";
    ASSERT_EQ(peer.expect("# matched", std::chrono::seconds(kPeerTimeoutS)), "") << "the peer's reader never matched our writer";
    for (uint32_t i = 0; i < k.count; ++i) {
        setInstance(conn.c, json(expect[i]));
        QueltDDSConnector_write(conn.c, kWriter, nullptr);
    }
    if (dispose) {
        setInstance(conn.c, json(expect[0]));
        runLua(conn.c, "CONTAINER.WRITER['Pub::Writer']:dispose()");
    } else
        expect.pop_back();
    EXPECT_EQ(stackHeight(conn.c), 0);
    // The peer exits once it has everything; only then may our writer go, or its leaving would
    // add lines.
    int status = -1;
    EXPECT_EQ(byInstance(peerLines(peer, status)), byInstance(expect));
    EXPECT_EQ(status, 0) << "the peer's sub failed";
}

// The peer's writer to our reader: takes until count data lines and the peer's one notice (the
// dispose of sample 0's instance, whose key alone can be read) have come. What we expect is each
// expected line's JSON set on our writer's instance and printed back: members our version adds
// (App's "extra") keep their defaults on both sides.
void fromPeer(const Case &k)
{
    TypeConnector conn(k.domain, k.type, k.idl, k.fastdds);
    ASSERT_NE(conn.c, nullptr);
    std::vector<std::string> expect = expectedLines(k.type, k.count);
    for (uint32_t i = 0; i < k.count; ++i) {
        setInstance(conn.c, json(expect[i]));
        expect[i] = expect[i].substr(0, expect[i].find(' ') + 1) + text(QueltDDSConnector_getJSONInstance(conn.c, kWriter));
    }
    std::vector<std::string> args{peerProgram(k), "--wait-go", "pub", kTypes[k.type].name, std::to_string(k.domain),
                                  std::to_string(k.count), std::to_string(kPeerTimeoutS)};
    if (k.xcdr2)
        args.insert(args.begin() + 1, "--xcdr2");
    Peer peer(args);
    // The peer writes once both sides know each other: its writer our reader, our reader its
    // writer (our own writer on the topic counts as one match).
    ASSERT_EQ(peer.expect("# matched", std::chrono::seconds(kPeerTimeoutS)), "") << "the peer's writer never matched our reader";
    ASSERT_TRUE(matched(conn.c, false, 2)) << "our reader never matched the peer's writer";
    ASSERT_TRUE(peer.say("go"));

    std::vector<std::string> lines;
    std::map<std::string, std::string> handles; // key -> instance handle
    // An instance's state as its last sample showed it: the dispose comes as a notice, or (our
    // Cyclone engine, when samples of the instance wait unread) in their infos.
    std::map<std::string, DDS_InstanceStateMask> states;
    bool disposed = false;
    int dataLines = 0, idle = 0, emptyWakes = 0;
    while ((dataLines < int(k.count) || !disposed) && idle < kPeerTimeoutS && !::testing::Test::HasFailure()) {
        if (QueltDDSConnector_wait(conn.c, 1000) != DDS_RETCODE_OK) {
            ++idle;
            continue;
        }
        QueltDDSConnector_take(conn.c, kReader);
        const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(conn.c, kReader));
        // Data available must not stay triggered once everything has been taken.
        ASSERT_LT(emptyWakes = n ? 0 : emptyWakes + 1, 1000) << "the wait keeps waking without data";
        for (int i = 1; i <= n; ++i) {
            const DDS_SampleInfo *info = DDS_SampleInfoSeq_get_reference(&conn.c->subscriptionHolders[0].infoSequence, i - 1);
            const std::string handle(reinterpret_cast<const char *>(info->instance_handle.value), 16);
            std::string key = kTypes[k.type].numericKey
                                  ? std::to_string(int(QueltDDSConnector_getNumberFromSamples(conn.c, kReader, i, "id")))
                                  : text(QueltDDSConnector_getStringFromSamples(conn.c, kReader, i, kTypes[k.type].key));
            if (QueltDDSConnector_getBooleanFromInfos(conn.c, kReader, i, "valid_data") != 1) {
                // Cyclone sends a notice's key alone, without its hash: the instance found from
                // the key must be the one its data showed. Fast DDS sends the hash alone: an MD5
                // hash names the instance without its key.
                for (const auto &[known, h] : handles)
                    if (k.fastdds && h == handle && key != known && (key == "(null)" || key == "-1"))
                        key = known;
                EXPECT_EQ(handles[key], handle) << key;
            } else {
                handles[key] = handle;
                lines.push_back(key + " " + text(QueltDDSConnector_getJSONSample(conn.c, kReader, i)));
                ++dataLines;
            }
            disposed |= (states[key] = info->instance_state) == DDS_NOT_ALIVE_DISPOSED_INSTANCE_STATE;
        }
        EXPECT_EQ(stackHeight(conn.c), 0);
    }
    for (const auto &[key, state] : states)
        if (state == DDS_NOT_ALIVE_DISPOSED_INSTANCE_STATE)
            lines.push_back(key + " disposed");
    EXPECT_EQ(byInstance(lines), byInstance(expect));
    // Our reader leaves once it has acknowledged everything: one that leaves before, Fast DDS
    // notices gone only when its participant's lease runs out.
    EXPECT_EQ(peer.expect("# acknowledged", std::chrono::seconds(kPeerTimeoutS)), "");
    QueltDDSConnector_delete(std::exchange(conn.c, nullptr));
    int status = -1;
    peerLines(peer, status);
    EXPECT_EQ(status, 0) << "the peer's pub failed";
}

void PrintTo(const Case &k, std::ostream *os) { *os << k.name; }

class Interop : public ::testing::TestWithParam<Case> {};

TEST_P(Interop, EverySampleAndTheDisposeArriveAlike)
{
    QUELT_SKIP_ON_CYCLONE("each row names its engine and its peer");
    (GetParam().toPeer ? toPeer : fromPeer)(GetParam());
}

// A thousand samples make reliability work for its living (history, acknowledgements); readers
// of final types take XCDR2 writers too.
INSTANTIATE_TEST_SUITE_P(
    Cyclone, Interop,
    ::testing::Values(Case{"SampleToCyclone", T_SAMPLE, true, 9, 154}, Case{"SampleFromCyclone", T_SAMPLE, false, 9, 155},
                      Case{"ShapeToCyclone", T_SHAPE, true, 9, 156}, Case{"ShapeFromCyclone", T_SHAPE, false, 9, 157},
                      Case{"ThousandSamplesToCyclone", T_SAMPLE, true, 1000, 158},
                      Case{"ThousandSamplesFromCyclone", T_SAMPLE, false, 1000, 159},
                      Case{"AppendableToCyclone", T_APP, true, 9, 216}, Case{"AppendableFromCyclone", T_APP, false, 9, 217},
                      Case{"MutableToCyclone", T_MUT, true, 9, 218}, Case{"MutableFromCyclone", T_MUT, false, 9, 219},
                      Case{"FinalToCyclone", T_FIN, true, 9, 220}, Case{"FinalFromCyclone", T_FIN, false, 9, 221},
                      Case{"FinalFromXcdr2Cyclone", T_FIN, false, 9, 222, true},
                      Case{"IdlSampleToCyclone", T_SAMPLE, true, 9, 160, false, true},
                      Case{"IdlSampleFromCyclone", T_SAMPLE, false, 9, 161, false, true},
                      Case{"IdlAppendableToCyclone", T_APP, true, 9, 162, false, true},
                      Case{"IdlAppendableFromCyclone", T_APP, false, 9, 163, false, true},
                      Case{"IdlMutableToCyclone", T_MUT, true, 9, 164, false, true},
                      Case{"IdlMutableFromCyclone", T_MUT, false, 9, 165, false, true},
                      Case{"CycloneEngineShapeToFastdds", T_SHAPE, true, 9, 184, false, false, true},
                      Case{"CycloneEngineShapeFromFastdds", T_SHAPE, false, 9, 185, false, false, true},
                      Case{"CycloneEngineFinalToFastdds", T_FIN, true, 9, 186, false, false, true},
                      Case{"CycloneEngineFinalFromFastdds", T_FIN, false, 9, 187, false, false, true}),
    [](const auto &info) { return std::string(info.param.name); });

// Two of our own participants, as two processes of an application would be: the announcements
// we complete for other implementations must not keep Fast DDS from matching itself.
TEST(InteropOurselves, OurParticipantsMatchEachOtherOnEveryExtensibleType)
{
    for (int type : {T_APP, T_MUT, T_FIN}) {
        SCOPED_TRACE(kTypes[type].config);
        TypeConnector a(223, type), b(223, type);
        ASSERT_TRUE(a.c && b.c);
        EXPECT_TRUE(matched(a.c, true, 2));
        EXPECT_TRUE(matched(b.c, false, 2));
        setInstance(a.c, json(expectedLines(type, 5)[4]));
        QueltDDSConnector_write(a.c, kWriter, nullptr);
        ASSERT_EQ(QueltDDSConnector_wait(b.c, 10000), DDS_RETCODE_OK);
        QueltDDSConnector_take(b.c, kReader);
        ASSERT_EQ(QueltDDSConnector_getSamplesLength(b.c, kReader), 1.0);
        EXPECT_EQ(text(QueltDDSConnector_getJSONSample(b.c, kReader, 1)), text(QueltDDSConnector_getJSONInstance(a.c, kWriter)));
    }
}

} // namespace
