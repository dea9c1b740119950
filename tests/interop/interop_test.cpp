// Our layer against Cyclone DDS: cyclone_peer on one side, a participant from
// tests/data/interop.xml on the other, every sample compared as its canonical line
// (interop_lines.h). Both directions, both types. Domains 154..159.
#include "interop_support.h"

#include "dds/dds_domain.h"
#include "dds/dds_string.h"

#include <chrono>
#include <cstring>
#include <map>

using namespace quelt::interop;

namespace {

// Our participant from the interop configuration, moved to the test's own domain.
class OurSide {
  public:
    OurSide(int domain, const char *config) : xml_(domain)
    {
        err_ = xml_.error();
        if (!err_.empty())
            return;
        DDS_DomainParticipantFactory *f = DDS_DomainParticipantFactory_get_instance();
        DDS_DomainParticipantFactoryQos fq;
        DDS_DomainParticipantFactoryQos_initialize(&fq);
        DDS_DomainParticipantFactory_get_qos(f, &fq);
        DDS_StringSeq_ensure_length(&fq.profile.url_profile, 1, 1);
        char **slot = DDS_StringSeq_get_reference(&fq.profile.url_profile, 0);
        DDS_String_free(*slot);
        *slot = DDS_String_dup(xml_.path().c_str());
        DDS_ReturnCode_t rc = DDS_DomainParticipantFactory_set_qos(f, &fq);
        DDS_DomainParticipantFactoryQos_finalize(&fq);
        if (rc != DDS_RETCODE_OK) {
            err_ = "set_qos failed: " + std::to_string(rc);
            return;
        }
        participant_ = DDS_DomainParticipantFactory_create_participant_from_config(f, config);
        if (!participant_) {
            err_ = std::string("cannot create participant ") + config;
            return;
        }
        if (DDS_DomainParticipant_get_domain_id(participant_) != domain)
            err_ = "participant on domain " + std::to_string(DDS_DomainParticipant_get_domain_id(participant_));
    }
    ~OurSide()
    {
        if (participant_)
            DDS_DomainParticipantFactory_delete_participant(DDS_DomainParticipantFactory_get_instance(), participant_);
    }
    const std::string &error() const { return err_; }
    DDS_DomainParticipant *participant() const { return participant_; }

    // The writer the configuration names Pub::Writer, found by walking the publishers.
    DDS_DataWriter *writer()
    {
        DDS_DataWriter *found = nullptr;
        DDS_PublisherSeq pubs = DDS_SEQUENCE_INITIALIZER;
        DDS_DomainParticipant_get_publishers(participant_, &pubs);
        for (DDS_Long i = 0; i < DDS_PublisherSeq_get_length(&pubs) && !found; ++i) {
            DDS_Publisher *pub = *DDS_PublisherSeq_get_reference(&pubs, i);
            DDS_PublisherQos pq;
            DDS_PublisherQos_initialize(&pq);
            DDS_Publisher_get_qos(pub, &pq);
            bool is_pub = pq.publisher_name.name && !std::strcmp(pq.publisher_name.name, "Pub");
            DDS_PublisherQos_finalize(&pq);
            if (!is_pub)
                continue;
            DDS_DataWriterSeq writers = DDS_SEQUENCE_INITIALIZER;
            DDS_Publisher_get_all_datawriters(pub, &writers);
            for (DDS_Long k = 0; k < DDS_DataWriterSeq_get_length(&writers) && !found; ++k) {
                DDS_DataWriter *w = *DDS_DataWriterSeq_get_reference(&writers, k);
                DDS_DataWriterQos wq;
                DDS_DataWriterQos_initialize(&wq);
                DDS_DataWriter_get_qos(w, &wq);
                if (wq.publication_name.name && !std::strcmp(wq.publication_name.name, "Writer"))
                    found = w;
                DDS_DataWriterQos_finalize(&wq);
            }
            DDS_DataWriterSeq_finalize(&writers);
        }
        DDS_PublisherSeq_finalize(&pubs);
        return found;
    }

  private:
    InteropXml xml_;
    std::string err_;
    DDS_DomainParticipant *participant_ = nullptr;
};

std::string get_string(const DDS_DynamicData *d, const char *member)
{
    char *s = nullptr;
    DDS_UnsignedLong size = 0;
    if (DDS_DynamicData_get_string(d, &s, &size, member, 0) != DDS_RETCODE_OK)
        return "<no " + std::string(member) + ">";
    std::string v = s ? s : "";
    DDS_String_free(s);
    return v;
}

// Sets sample i of the run through our setters, by member name.
void fill(DDS_DynamicData *d, bool shape, uint32_t i)
{
    ASSERT_EQ(DDS_DynamicData_clear_all_members(d), DDS_RETCODE_OK);
    if (shape) {
        ShapeExpected e;
        shape_expected(i, &e);
        ASSERT_EQ(DDS_DynamicData_set_string(d, "color", 0, e.f.color), DDS_RETCODE_OK);
        ASSERT_EQ(DDS_DynamicData_set_long(d, "x", 0, e.f.x), DDS_RETCODE_OK);
        ASSERT_EQ(DDS_DynamicData_set_long(d, "y", 0, e.f.y), DDS_RETCODE_OK);
        ASSERT_EQ(DDS_DynamicData_set_long(d, "shapesize", 0, e.f.shapesize), DDS_RETCODE_OK);
        return;
    }
    InteropExpected e;
    interop_expected(i, &e);
    ASSERT_EQ(DDS_DynamicData_set_string(d, "id", 0, e.f.id), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_short(d, "s16", 0, e.f.s16), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_long(d, "i32", 0, e.f.i32), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_longlong(d, "i64", 0, e.f.i64), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_ulong(d, "u32", 0, e.f.u32), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_double(d, "f64", 0, e.f.f64), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_string(d, "label", 0, e.f.label), DDS_RETCODE_OK);
    for (uint32_t k = 0; k < e.f.n_values; ++k) {
        std::string name = "values[" + std::to_string(k + 1) + "]";
        ASSERT_EQ(DDS_DynamicData_set_long(d, name.c_str(), 0, e.f.values[k]), DDS_RETCODE_OK) << name;
    }
    ASSERT_EQ(DDS_DynamicData_set_long(d, "where.x", 0, e.f.where_x), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_long(d, "where.y", 0, e.f.where_y), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_long(d, "level", 0, e.f.level), DDS_RETCODE_OK);
}

// The canonical DATA line of a sample, read through our getters.
std::string data_line(const DDS_DynamicData *d, bool shape)
{
    char line[1024];
    if (shape) {
        std::string color = get_string(d, "color");
        ShapeFields f{color.c_str(), -1, -1, -1};
        DDS_DynamicData_get_long(d, &f.x, "x", 0);
        DDS_DynamicData_get_long(d, &f.y, "y", 0);
        DDS_DynamicData_get_long(d, &f.shapesize, "shapesize", 0);
        shape_format_data(line, sizeof line, &f);
        return line;
    }
    std::string id = get_string(d, "id");
    std::string label = get_string(d, "label");
    InteropFields f{};
    f.id = id.c_str();
    f.label = label.c_str();
    DDS_DynamicData_get_short(d, &f.s16, "s16", 0);
    DDS_DynamicData_get_long(d, &f.i32, "i32", 0);
    DDS_DynamicData_get_longlong(d, &f.i64, "i64", 0);
    DDS_DynamicData_get_ulong(d, &f.u32, "u32", 0);
    DDS_DynamicData_get_double(d, &f.f64, "f64", 0);
    DDS_DynamicDataMemberInfo info{};
    std::vector<int32_t> values;
    if (DDS_DynamicData_get_member_info(d, &info, "values#", 0) == DDS_RETCODE_OK) {
        values.resize(info.element_count);
        for (uint32_t k = 0; k < info.element_count; ++k) {
            std::string name = "values[" + std::to_string(k + 1) + "]";
            DDS_DynamicData_get_long(d, &values[k], name.c_str(), 0);
        }
    }
    f.values = values.data();
    f.n_values = uint32_t(values.size());
    DDS_DynamicData_get_long(d, &f.where_x, "where.x", 0);
    DDS_DynamicData_get_long(d, &f.where_y, "where.y", 0);
    DDS_DynamicData_get_long(d, &f.level, "level", 0);
    interop_format_data(line, sizeof line, &f);
    return line;
}

int tracker_state(DDS_InstanceStateMask s)
{
    return s == DDS_NOT_ALIVE_DISPOSED_INSTANCE_STATE     ? INTEROP_DISPOSED
           : s == DDS_NOT_ALIVE_NO_WRITERS_INSTANCE_STATE ? INTEROP_UNREGISTERED
                                                          : INTEROP_ALIVE;
}

// Our writer to the peer's reader: count samples and the dispose of instance 0.
void our_writer_to_cyclone(int domain, bool shape, uint32_t count)
{
    std::vector<std::string> args;
    if (shape)
        args.push_back("--shape");
    // A dispose from Fast DDS 2.9 carries only the key hash, never the serialized key; Cyclone
    // turns a key hash back into a key only when the key fits in it (at most 16 bytes of CDR,
    // as Interop::Sample's bounded id). ShapeType's key is hashed with MD5: the peer cannot
    // tell which instance went away and drops the notice.
    const bool dispose_reaches_peer = !shape;
    if (!dispose_reaches_peer)
        args.push_back("--data-only");
    for (const std::string &a : {std::string("sub"), std::to_string(domain), std::string(shape ? "Square" : "InteropTopic"),
                                 std::to_string(count), std::to_string(kPeerTimeoutS)})
        args.push_back(a);
    Peer peer(args);
    ASSERT_TRUE(peer.started());

    OurSide ours(domain, shape ? "InteropLib::ShapePeer" : "InteropLib::Peer");
    ASSERT_EQ(ours.error(), "");
    DDS_DataWriter *w = ours.writer();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w, DDS_DomainParticipant_lookup_datawriter_by_name(ours.participant(), "Pub::Writer"));
    DDS_DynamicDataWriter *dw = DDS_DynamicDataWriter_narrow(w);
    ASSERT_NE(dw, nullptr);
    // Our own reader on the topic matches too; the peer's makes two.
    ASSERT_TRUE(wait_matched(w, 2)) << "the peer's reader never matched";
    // and the peer's reader knows our writer, or it would skip what we write before it does.
    ASSERT_TRUE(peer.wait_for_line(INTEROP_MATCHED_LINE, kPeerTimeoutS)) << "the peer's reader never matched our writer";

    const DDS_TypeCode *type = DDS_DomainParticipant_get_typecode(ours.participant(), shape ? "ShapeType" : "Interop::Sample");
    ASSERT_NE(type, nullptr);
    DDS_DynamicData *d = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
    ASSERT_NE(d, nullptr);
    for (uint32_t i = 0; i < count && !::testing::Test::HasFatalFailure(); ++i) {
        fill(d, shape, i);
        EXPECT_EQ(DDS_DynamicDataWriter_write(dw, d, &DDS_HANDLE_NIL), DDS_RETCODE_OK) << "sample " << i;
    }
    if (!::testing::Test::HasFatalFailure())
        fill(d, shape, 0); // the instance of sample 0
    EXPECT_EQ(DDS_DynamicDataWriter_dispose(dw, d, &DDS_HANDLE_NIL), DDS_RETCODE_OK);
    DDS_DynamicData_delete(d);

    // The peer exits once it has everything; only then may our writer go away, or its leaving
    // would add lines.
    std::vector<std::string> lines;
    int rc = peer.finish(lines);
    std::vector<std::string> expected = expected_lines(shape, count);
    if (!dispose_reaches_peer)
        expected.pop_back();
    EXPECT_TRUE(lines_agree(expected, lines));
    EXPECT_EQ(rc, 0) << "cyclone_peer sub failed";
}

// The peer's writer to our reader: takes until count data lines and the dispose have come.
void cyclone_to_our_reader(int domain, bool shape, uint32_t count)
{
    OurSide ours(domain, shape ? "InteropLib::ShapePeer" : "InteropLib::Peer");
    ASSERT_EQ(ours.error(), "");
    DDS_DataReader *r = DDS_DomainParticipant_lookup_datareader_by_name(ours.participant(), "Sub::Reader");
    ASSERT_NE(r, nullptr);
    DDS_DynamicDataReader *dr = DDS_DynamicDataReader_narrow(r);
    ASSERT_NE(dr, nullptr);
    const DDS_TypeCode *type = DDS_DomainParticipant_get_typecode(ours.participant(), shape ? "ShapeType" : "Interop::Sample");
    ASSERT_NE(type, nullptr);

    DDS_WaitSet *ws = DDS_WaitSet_new();
    DDS_StatusCondition *cond = DDS_Entity_get_statuscondition(DDS_DataReader_as_entity(r));
    ASSERT_EQ(DDS_StatusCondition_set_enabled_statuses(cond, DDS_DATA_AVAILABLE_STATUS), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_WaitSet_attach_condition(ws, DDS_StatusCondition_as_condition(cond)), DDS_RETCODE_OK);

    std::vector<std::string> args;
    if (shape)
        args.push_back("--shape");
    args.push_back("--wait-go");
    for (const std::string &a : {std::string("pub"), std::to_string(domain), std::string(shape ? "Square" : "InteropTopic"),
                                 std::to_string(count), std::to_string(kPeerTimeoutS)})
        args.push_back(a);
    Peer peer(args);
    ASSERT_TRUE(peer.started());
    // The peer writes once both sides know each other: its writer our reader (its "# matched"),
    // our reader its writer (our own writer on the topic counts as one match).
    ASSERT_TRUE(peer.wait_for_line(INTEROP_MATCHED_LINE, kPeerTimeoutS)) << "the peer's writer never matched our reader";
    ASSERT_TRUE(wait_matched(r, 2)) << "our reader never matched the peer's writer";
    ASSERT_TRUE(peer.send("go\n"));

    const char *key_name = shape ? "color" : "id";
    const std::string disposed_line = std::string("DISPOSED ") + key_name + "=" + (shape ? SHAPE_DISPOSED_COLOR : INTEROP_DISPOSED_ID);
    InteropStateTracker tracker;
    interop_tracker_init(&tracker);
    DDS_DynamicData *key_holder = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
    DDS_DynamicDataSeq data;
    DDS_SampleInfoSeq infos;
    DDS_DynamicDataSeq_initialize(&data);
    DDS_SampleInfoSeq_initialize(&infos);
    std::vector<std::string> lines;
    std::map<std::string, std::string> handles; // key -> instance handle bytes
    uint32_t data_lines = 0;
    bool disposed = false;
    const DDS_Duration_t second{1, 0};
    // Bounded by the peer's own timeout and a margin, whatever the waitset does.
    int empty_wakes = 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(kPeerTimeoutS + 5);
    while ((data_lines < count || !disposed) && std::chrono::steady_clock::now() < give_up) {
        if (DDS_WaitSet_wait(ws, nullptr, &second) != DDS_RETCODE_OK)
            continue;
        DDS_ReturnCode_t rc =
            DDS_DynamicDataReader_take(dr, &data, &infos, DDS_LENGTH_UNLIMITED, DDS_ANY_SAMPLE_STATE, DDS_ANY_VIEW_STATE, DDS_ANY_INSTANCE_STATE);
        if (rc == DDS_RETCODE_NO_DATA) {
            // Data available must not stay triggered once everything has been taken.
            ASSERT_LT(++empty_wakes, 1000) << "the waitset keeps waking without data";
            continue;
        }
        empty_wakes = 0;
        ASSERT_EQ(rc, DDS_RETCODE_OK);
        for (DDS_Long i = 0; i < DDS_DynamicDataSeq_get_length(&data); ++i) {
            const DDS_DynamicData *s = DDS_DynamicDataSeq_get_reference(&data, i);
            const DDS_SampleInfo *info = DDS_SampleInfoSeq_get_reference(&infos, i);
            std::string key;
            if (info->valid_data) {
                lines.push_back(data_line(s, shape));
                ++data_lines;
                key = get_string(s, key_name);
                handles.emplace(key, std::string(reinterpret_cast<const char *>(info->instance_handle.value), 16));
            } else {
                // A sample without data: the key comes from the instance, which is the one its
                // data showed, although Cyclone sends the key alone, without its hash.
                EXPECT_EQ(DDS_DynamicDataReader_get_key_value(dr, key_holder, &info->instance_handle), DDS_RETCODE_OK);
                key = get_string(key_holder, key_name);
                EXPECT_EQ(get_string(s, key_name), key);
                auto seen = handles.find(key);
                if (seen != handles.end()) {
                    EXPECT_EQ(seen->second, std::string(reinterpret_cast<const char *>(info->instance_handle.value), 16)) << key;
                }
            }
            ASSERT_TRUE(interop_tracker_note(&tracker, key.c_str(), tracker_state(info->instance_state)));
        }
        ASSERT_EQ(DDS_DynamicDataReader_return_loan(dr, &data, &infos), DDS_RETCODE_OK);
        char line[1024];
        while (interop_tracker_flush(&tracker, key_name, line, sizeof line)) {
            lines.emplace_back(line);
            disposed = disposed || disposed_line == line;
        }
    }
    DDS_DynamicDataSeq_finalize(&data);
    DDS_SampleInfoSeq_finalize(&infos);
    DDS_DynamicData_delete(key_holder);
    DDS_WaitSet_delete(ws);
    EXPECT_TRUE(lines_agree(expected_lines(shape, count), lines));

    // The peer waits for our reader to leave before it exits.
    DDS_DomainParticipant_delete_contained_entities(ours.participant());
    std::vector<std::string> out;
    EXPECT_EQ(peer.finish(out), 0) << "cyclone_peer pub failed";
}

} // namespace

TEST(InteropCyclone, OurSamplesReachCyclone) { our_writer_to_cyclone(154, false, 9); }

TEST(InteropCyclone, CycloneSamplesReachUs) { cyclone_to_our_reader(155, false, 9); }

TEST(InteropCyclone, OurShapesReachCyclone) { our_writer_to_cyclone(156, true, 9); }

TEST(InteropCyclone, CycloneShapesReachUs) { cyclone_to_our_reader(157, true, 9); }

// Enough samples that reliability has to work for its living (history, acknowledgements).
TEST(InteropCyclone, ManyOfOurSamplesReachCyclone) { our_writer_to_cyclone(158, false, 1000); }

TEST(InteropCyclone, ManyCycloneSamplesReachUs) { cyclone_to_our_reader(159, false, 1000); }
