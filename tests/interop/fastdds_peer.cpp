// fastdds_peer: a DDS peer on plain Fast DDS, with its own hand-written type support (Fast CDR),
// the independent peer of our Cyclone engine as cyclone_peer is of our Fast DDS engine. Same
// samples, lines and arguments as cyclone_peer (which alone prints what both sides expect):
//   fastdds_peer [--wait-go] pub TYPE DOMAIN COUNT [TIMEOUT_S]
//   fastdds_peer [--data-only] sub TYPE DOMAIN COUNT [TIMEOUT_S]
// TYPE: shape (ShapeType, a key hashed with MD5) or fin (Ext::Fin, a key that fits the hash).
#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <fastrtps/utils/md5.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <thread>

using namespace eprosima::fastdds::dds;
using eprosima::fastrtps::rtps::InstanceHandle_t;
using eprosima::fastrtps::rtps::SerializedPayload_t;
namespace fc = eprosima::fastcdr;

namespace {

// Shape: text color (key), a x, b y, c shapesize. Fin: a id (key), big, text s.
struct Sample { std::string text; int32_t a = 0, b = 0, c = 0; int64_t big = 0; };

// Sample i, as cyclone_peer makes it.
Sample make(bool shape, uint32_t i)
{
    static const char *const colors[] = {"RED", "GREEN", "BLUE"};
    if (shape)
        return {colors[i % 3], int32_t(i) * 10, 200 - int32_t(i), 20 + int32_t(i % 5)};
    return {"f" + std::to_string(i % 1000), int32_t(i % 3) + 1, 0, 0, int64_t(i) * 1000000000007LL};
}

std::string key(bool shape, const Sample &s) { return shape ? s.text : std::to_string(s.a); }

std::string line(bool shape, const Sample &s)
{
    char b[512];
    if (shape)
        std::snprintf(b, sizeof b, "%s {\"color\":\"%s\",\"x\":%d,\"y\":%d,\"shapesize\":%d}", s.text.c_str(), s.text.c_str(), s.a, s.b, s.c);
    else
        std::snprintf(b, sizeof b, "%d {\"id\":%d,\"big\":%lld,\"s\":\"%s\"}", s.a, s.a, static_cast<long long>(s.big), s.text.c_str());
    return b;
}

class Type : public TopicDataType {
  public:
    explicit Type(bool shape) : shape_(shape)
    {
        setName(shape ? "ShapeType" : "Ext::Fin");
        m_typeSize = shape ? 160 : 48;
        m_isGetKeyDefined = true;
    }
    bool serialize(void *data, SerializedPayload_t *p) override
    {
        const Sample &s = *static_cast<Sample *>(data);
        fc::FastBuffer buf(reinterpret_cast<char *>(p->data), p->max_size);
        fc::Cdr cdr(buf, fc::Cdr::DEFAULT_ENDIAN, fc::Cdr::DDS_CDR);
        p->encapsulation = cdr.endianness() == fc::Cdr::BIG_ENDIANNESS ? CDR_BE : CDR_LE;
        cdr.serialize_encapsulation();
        if (shape_)
            cdr << s.text << s.a << s.b << s.c;
        else
            cdr << s.a << s.big << s.text;
        p->length = static_cast<uint32_t>(cdr.getSerializedDataLength());
        return true;
    }
    bool deserialize(SerializedPayload_t *p, void *data) override
    {
        // A dispose may carry the key alone: the key read is enough.
        Sample &s = *static_cast<Sample *>(data);
        fc::FastBuffer buf(reinterpret_cast<char *>(p->data), p->length);
        fc::Cdr cdr(buf, fc::Cdr::DEFAULT_ENDIAN, fc::Cdr::DDS_CDR);
        bool key = false;
        try {
            cdr.read_encapsulation();
            if (shape_)
                key = (cdr >> s.text, true), cdr >> s.a >> s.b >> s.c;
            else
                key = (cdr >> s.a, true), cdr >> s.big >> s.text;
        } catch (...) {
            return key;
        }
        return true;
    }
    std::function<uint32_t()> getSerializedSizeProvider(void *) override
    {
        return [this] { return m_typeSize; };
    }
    void *createData() override { return new Sample; }
    void deleteData(void *data) override { delete static_cast<Sample *>(data); }
    // The key's big-endian CDR: itself when it always fits 16 bytes, else its MD5.
    bool getKey(void *data, InstanceHandle_t *h, bool force_md5) override
    {
        const Sample &s = *static_cast<Sample *>(data);
        unsigned char k[136] = {};
        uint32_t n = 4;
        const uint32_t v = shape_ ? uint32_t(s.text.size() + 1) : uint32_t(s.a);
        for (int i = 0; i < 4; ++i)
            k[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
        if (shape_)
            std::memcpy(k + 4, s.text.c_str(), v), n += v;
        std::memset(h->value, 0, 16);
        if (!shape_ && !force_md5) {
            std::memcpy(h->value, k, n);
            return true;
        }
        MD5 md5;
        md5.init();
        md5.update(k, n);
        md5.finalize();
        std::memcpy(h->value, md5.digest, 16);
        return true;
    }

  private:
    bool shape_;
};

bool timedOut(std::chrono::steady_clock::time_point end) { return std::chrono::steady_clock::now() >= end; }

int run(bool pub, bool shape, int domain, uint32_t count, int timeoutS, bool waitGo, bool dataOnly)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutS);
    DomainParticipant *p = DomainParticipantFactory::get_instance()->create_participant(domain, PARTICIPANT_QOS_DEFAULT);
    TypeSupport type(new Type(shape));
    if (!p || type.register_type(p) != ReturnCode_t::RETCODE_OK)
        return 1;
    Topic *topic = p->create_topic(shape ? "Square" : "FinTopic", type.get_type_name(), TOPIC_QOS_DEFAULT);
    int rc = 2;
    if (pub) {
        DataWriterQos q = DATAWRITER_QOS_DEFAULT;
        q.reliability().kind = RELIABLE_RELIABILITY_QOS;
        q.history().kind = KEEP_ALL_HISTORY_QOS;
        q.writer_data_lifecycle().autodispose_unregistered_instances = false;
        // A reader that has everything answers only a heartbeat that asks: ask often.
        q.reliable_writer_qos().times.heartbeatPeriod = eprosima::fastrtps::Duration_t(0, 100000000);
        DataWriter *w = p->create_publisher(PUBLISHER_QOS_DEFAULT)->create_datawriter(topic, q);
        PublicationMatchedStatus m;
        while (w->get_publication_matched_status(m) == ReturnCode_t::RETCODE_OK && m.current_count == 0 && !timedOut(end))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::puts("# matched");
        std::fflush(stdout);
        std::string go;
        if (m.current_count > 0 && (!waitGo || std::getline(std::cin, go))) {
            for (uint32_t i = 0; i < count; ++i) {
                Sample s = make(shape, i);
                w->write(&s);
            }
            Sample first = make(shape, 0);
            w->dispose(&first, HANDLE_NIL);
            // Acknowledged is in the reader's cache: we may go.
            if (w->wait_for_acknowledgments(eprosima::fastrtps::Duration_t(timeoutS, 0)) == ReturnCode_t::RETCODE_OK)
                rc = std::puts("# acknowledged") >= 0 && std::fflush(stdout) == 0 ? 0 : 2;
        }
    } else {
        DataReaderQos q = DATAREADER_QOS_DEFAULT;
        q.reliability().kind = RELIABLE_RELIABILITY_QOS;
        q.history().kind = KEEP_ALL_HISTORY_QOS;
        DataReader *r = p->create_subscriber(SUBSCRIBER_QOS_DEFAULT)->create_datareader(topic, q);
        std::map<InstanceHandle_t, std::string> keys;
        bool announced = false, disposed = false;
        uint32_t lines = 0;
        while ((lines < count || (!disposed && !dataOnly)) && !timedOut(end)) {
            SubscriptionMatchedStatus m;
            if (!announced && r->get_subscription_matched_status(m) == ReturnCode_t::RETCODE_OK && m.current_count > 0)
                announced = std::puts("# matched") >= 0 && std::fflush(stdout) == 0;
            Sample s;
            SampleInfo info;
            if (!r->wait_for_unread_message(eprosima::fastrtps::Duration_t(0, 100000000)))
                continue;
            while (r->take_next_sample(&s, &info) == ReturnCode_t::RETCODE_OK) {
                if (info.valid_data) {
                    keys[info.instance_handle] = key(shape, s);
                    lines += std::puts(line(shape, s).c_str()) >= 0;
                } else if (info.instance_state == NOT_ALIVE_DISPOSED_INSTANCE_STATE) {
                    std::printf("%s disposed\n", keys.count(info.instance_handle) ? keys[info.instance_handle].c_str() : "?");
                    disposed = true;
                }
            }
            std::fflush(stdout);
        }
        rc = lines >= count && (disposed || dataOnly) ? 0 : 2;
    }
    p->delete_contained_entities();
    DomainParticipantFactory::get_instance()->delete_participant(p);
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    bool waitGo = false, dataOnly = false;
    int a = 1;
    for (; a < argc && argv[a][0] == '-'; ++a)
        (std::strcmp(argv[a], "--wait-go") == 0 ? waitGo : dataOnly) = true;
    if (argc - a < 4 || argc - a > 5 || (std::strcmp(argv[a], "pub") && std::strcmp(argv[a], "sub")) ||
        (std::strcmp(argv[a + 1], "shape") && std::strcmp(argv[a + 1], "fin"))) {
        std::fprintf(stderr, "usage: fastdds_peer [--wait-go|--data-only] pub|sub shape|fin DOMAIN COUNT [TIMEOUT_S]\n");
        return 1;
    }
    return run(argv[a][0] == 'p', argv[a + 1][0] == 's', std::atoi(argv[a + 2]), uint32_t(std::atoi(argv[a + 3])),
               argc - a == 5 ? std::atoi(argv[a + 4]) : 60, waitGo, dataOnly);
}
