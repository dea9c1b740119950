#include "fastdds_baseline.h"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>
#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/core/condition/WaitSet.hpp>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>
#include <fastdds/rtps/transport/shared_mem/SharedMemTransportDescriptor.h>
#include <fastrtps/utils/md5.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace quelt::bench {

namespace dds = eprosima::fastdds::dds;
namespace rtps = eprosima::fastrtps::rtps;
namespace cdr = eprosima::fastcdr;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kColorBound = 128;
// Largest serialized ShapeType: encapsulation, string<128> (length, 128 characters, NUL,
// padding to 4), three longs.
constexpr uint32_t kMaxSerialized = 4 + ((4 + kColorBound + 1 + 3) & ~3u) + 12;

struct Shape {
    std::string color;
    int32_t x = 0;
    int32_t y = 0;
    int32_t shapesize = 0;
};

class ShapeTypeSupport : public dds::TopicDataType {
  public:
    ShapeTypeSupport()
    {
        setName("ShapeType");
        m_typeSize = kMaxSerialized;
        m_isGetKeyDefined = true;
        // Nothing to announce: peers match by type name, as our layer's peers do.
        auto_fill_type_object(false);
        auto_fill_type_information(false);
    }

    bool serialize(void *data, rtps::SerializedPayload_t *payload) override
    {
        const Shape &s = *static_cast<const Shape *>(data);
        if (s.color.size() > kColorBound)
            return false;
        cdr::FastBuffer buffer(reinterpret_cast<char *>(payload->data), payload->max_size);
        cdr::Cdr ser(buffer, cdr::Cdr::DEFAULT_ENDIAN, cdr::Cdr::DDS_CDR);
        payload->encapsulation = ser.endianness() == cdr::Cdr::BIG_ENDIANNESS ? CDR_BE : CDR_LE;
        try {
            ser.serialize_encapsulation();
            ser << s.color << s.x << s.y << s.shapesize;
        } catch (const cdr::exception::Exception &) {
            return false;
        }
        payload->length = static_cast<uint32_t>(ser.getSerializedDataLength());
        return true;
    }

    bool deserialize(rtps::SerializedPayload_t *payload, void *data) override
    {
        Shape &s = *static_cast<Shape *>(data);
        cdr::FastBuffer buffer(reinterpret_cast<char *>(payload->data), payload->length);
        cdr::Cdr deser(buffer, cdr::Cdr::DEFAULT_ENDIAN, cdr::Cdr::DDS_CDR);
        try {
            deser.read_encapsulation();
            deser >> s.color >> s.x >> s.y >> s.shapesize;
        } catch (const cdr::exception::Exception &) {
            return false;
        }
        return s.color.size() <= kColorBound;
    }

    std::function<uint32_t()> getSerializedSizeProvider(void *data) override
    {
        return [data]() -> uint32_t {
            const Shape &s = *static_cast<const Shape *>(data);
            return 4 + ((4 + uint32_t(s.color.size()) + 1 + 3) & ~3u) + 12;
        };
    }

    void *createData() override { return new Shape(); }
    void deleteData(void *data) override { delete static_cast<Shape *>(data); }

    bool getKey(void *data, rtps::InstanceHandle_t *handle, bool /*force_md5*/) override
    {
        unsigned char hash[16];
        shape_key_hash(static_cast<const Shape *>(data)->color, hash);
        for (int i = 0; i < 16; ++i)
            handle->value[i] = hash[i];
        return true;
    }
};

// Keeps discovery and data on this host: UDP on the loopback interface only, plus shared memory
// as Fast DDS has by default.
dds::DomainParticipantQos participant_qos(const char *name)
{
    dds::DomainParticipantQos pq = dds::PARTICIPANT_QOS_DEFAULT;
    pq.name(name);
    pq.transport().use_builtin_transports = false;
    auto udp = std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>();
    udp->interfaceWhiteList.emplace_back("127.0.0.1");
    pq.transport().user_transports.push_back(udp);
    pq.transport().user_transports.push_back(std::make_shared<eprosima::fastdds::rtps::SharedMemTransportDescriptor>());
    return pq;
}

dds::DataWriterQos writer_qos(const BenchQos &q)
{
    dds::DataWriterQos wq = dds::DATAWRITER_QOS_DEFAULT;
    wq.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
    wq.durability().kind = dds::VOLATILE_DURABILITY_QOS; // Fast DDS writers default to transient local
    wq.history().kind = dds::KEEP_ALL_HISTORY_QOS;
    wq.resource_limits().max_samples = q.writer_max_samples();
    wq.resource_limits().max_instances = q.max_instances;
    wq.resource_limits().max_samples_per_instance = q.writer_per_instance;
    if (q.heartbeat_ms > 0)
        wq.reliable_writer_qos().times.heartbeatPeriod = eprosima::fastrtps::Duration_t(q.heartbeat_ms / 1000, (q.heartbeat_ms % 1000) * 1000000u);
    return wq;
}

dds::DataReaderQos reader_qos(const BenchQos &q)
{
    dds::DataReaderQos rq = dds::DATAREADER_QOS_DEFAULT;
    rq.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
    rq.durability().kind = dds::VOLATILE_DURABILITY_QOS;
    rq.history().kind = dds::KEEP_ALL_HISTORY_QOS;
    rq.resource_limits().max_samples = q.reader_max_samples();
    rq.resource_limits().max_instances = q.max_instances;
    rq.resource_limits().max_samples_per_instance = q.reader_per_instance;
    return rq;
}

// A participant with the type registered, one publisher and one subscriber; deletes it all.
struct Node {
    dds::DomainParticipant *participant = nullptr;
    dds::Publisher *publisher = nullptr;
    dds::Subscriber *subscriber = nullptr;
    dds::TypeSupport type{new ShapeTypeSupport()};

    bool create(int domain_id, const char *name, std::string &err)
    {
        participant = dds::DomainParticipantFactory::get_instance()->create_participant(domain_id, participant_qos(name));
        if (!participant) {
            err = "cannot create a Fast DDS participant in domain " + std::to_string(domain_id);
            return false;
        }
        if (type.register_type(participant) != ReturnCode_t::RETCODE_OK) {
            err = "cannot register ShapeType";
            return false;
        }
        publisher = participant->create_publisher(dds::PUBLISHER_QOS_DEFAULT);
        subscriber = participant->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT);
        if (!publisher || !subscriber) {
            err = "cannot create a publisher or subscriber";
            return false;
        }
        return true;
    }

    dds::Topic *topic(const char *name)
    {
        if (dds::TopicDescription *d = participant->lookup_topicdescription(name))
            return static_cast<dds::Topic *>(d);
        return participant->create_topic(name, "ShapeType", dds::TOPIC_QOS_DEFAULT);
    }

    ~Node()
    {
        if (participant) {
            participant->delete_contained_entities();
            dds::DomainParticipantFactory::get_instance()->delete_participant(participant);
        }
    }
};

bool wait_matched(dds::DataWriter *w, Clock::time_point deadline)
{
    dds::PublicationMatchedStatus st;
    while (Clock::now() < deadline) {
        if (w->get_publication_matched_status(st) == ReturnCode_t::RETCODE_OK && st.current_count > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool wait_matched(dds::DataReader *r, Clock::time_point deadline)
{
    dds::SubscriptionMatchedStatus st;
    while (Clock::now() < deadline) {
        if (r->get_subscription_matched_status(st) == ReturnCode_t::RETCODE_OK && st.current_count > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Takes everything available with a loan; calls f for each valid sample. Returns the count of
// valid samples, or -1 when take failed.
template <typename F> long take_all(dds::DataReader *r, F &&f)
{
    long n = 0;
    for (;;) {
        dds::LoanableSequence<Shape> data;
        dds::SampleInfoSeq infos;
        ReturnCode_t rc = r->take(data, infos);
        if (rc == ReturnCode_t::RETCODE_NO_DATA)
            return n;
        if (rc != ReturnCode_t::RETCODE_OK)
            return -1;
        for (dds::LoanableCollection::size_type i = 0; i < infos.length(); ++i) {
            if (infos[i].valid_data) {
                f(data[i]);
                ++n;
            }
        }
        r->return_loan(data, infos);
    }
}

const char *const kColors[] = {"RED", "GREEN", "BLUE", "YELLOW", "MAGENTA", "CYAN", "ORANGE", "PURPLE",
                               "BLACK", "WHITE", "GRAY", "BROWN", "PINK", "LIME", "NAVY", "TEAL"};

} // namespace

const char *bench_color(uint32_t i, uint32_t instances)
{
    const uint32_t n = std::clamp<uint32_t>(instances, 1, sizeof kColors / sizeof kColors[0]);
    return kColors[i % n];
}

void shape_key_hash(const std::string &color, unsigned char out[16])
{
    // Big-endian CDR without encapsulation: length (with the NUL), characters, NUL.
    char buf[4 + kColorBound + 1];
    cdr::FastBuffer buffer(buf, sizeof buf);
    cdr::Cdr ser(buffer, cdr::Cdr::BIG_ENDIANNESS, cdr::Cdr::CORBA_CDR);
    size_t len = 0;
    try {
        ser << color.substr(0, kColorBound);
        len = ser.getSerializedDataLength();
    } catch (const cdr::exception::Exception &) {
        len = 0;
    }
    MD5 md5;
    md5.init();
    md5.update(reinterpret_cast<const unsigned char *>(buf), static_cast<MD5::size_type>(len));
    md5.finalize();
    std::memcpy(out, md5.digest, 16);
}

ThroughputResult fastdds_throughput(int domain_id, uint32_t samples, const BenchQos &q, std::string &err)
{
    ThroughputResult res;
    const uint32_t instances = std::clamp<uint32_t>(uint32_t(std::max(q.max_instances, 1)), 1, sizeof kColors / sizeof kColors[0]);
    Node node;
    if (!node.create(domain_id, "quelt_bench_throughput", err))
        return res;
    dds::Topic *topic = node.topic("BenchThroughput");
    dds::DataWriter *writer = topic ? node.publisher->create_datawriter(topic, writer_qos(q)) : nullptr;
    dds::DataReader *reader = topic ? node.subscriber->create_datareader(topic, reader_qos(q)) : nullptr;
    if (!writer || !reader) {
        err = "cannot create the writer or the reader";
        return res;
    }
    if (!wait_matched(writer, Clock::now() + std::chrono::seconds(10))) {
        err = "writer and reader did not match";
        return res;
    }

    std::atomic<uint64_t> received{0};
    std::atomic<bool> reader_failed{false};
    uint64_t checksum = 0;
    Clock::time_point last_taken{};
    std::thread taker([&] {
        dds::WaitSet ws;
        reader->get_statuscondition().set_enabled_statuses(dds::StatusMask::data_available());
        ws.attach_condition(reader->get_statuscondition());
        dds::ConditionSeq active;
        auto idle_since = Clock::now();
        while (received.load(std::memory_order_relaxed) < samples) {
            ws.wait(active, eprosima::fastrtps::Duration_t(0, 100000000));
            // Reads a member of every sample, as a real reader (and our layer's side) does.
            long n = take_all(reader, [&](const Shape &sample) { checksum += uint64_t(uint32_t(sample.x)); });
            if (n < 0) {
                reader_failed = true;
                return;
            }
            if (n > 0) {
                received.fetch_add(uint64_t(n), std::memory_order_relaxed);
                last_taken = Clock::now();
                idle_since = last_taken;
            } else if (Clock::now() - idle_since > std::chrono::seconds(10)) {
                return; // nothing for 10 s: the rest is lost
            }
        }
    });

    Shape s;
    auto start = Clock::now();
    for (uint32_t i = 0; i < samples; ++i) {
        s.color = bench_color(i, instances);
        s.x = int32_t(i);
        s.y = int32_t(i / instances);
        s.shapesize = 30;
        uint32_t tries = 0;
        while (!writer->write(&s)) {
            // A full keep-all history blocks for max_blocking_time and then gives up.
            ++res.write_retries;
            if (++tries > 100) {
                err = "write keeps failing at sample " + std::to_string(i);
                break;
            }
        }
        if (tries > 100)
            break;
        ++res.written;
    }
    taker.join();
    res.received = received.load();
    res.seconds = std::chrono::duration<double>(last_taken - start).count();
    uint64_t expected_sum = 0;
    for (uint64_t i = 0; i < res.written; ++i)
        expected_sum += i;
    if (reader_failed)
        err = "take failed";
    else if (res.complete() && checksum != expected_sum)
        err = "samples came back altered";
    else if (err.empty() && !res.complete())
        err = "received " + std::to_string(res.received) + " of " + std::to_string(res.written);
    return res;
}

LatencyResult fastdds_latency(int domain_id, uint32_t warmup, uint32_t round_trips, const BenchQos &q, std::string &err)
{
    LatencyResult res;
    Node a, b;
    if (!a.create(domain_id, "quelt_bench_ping", err) || !b.create(domain_id, "quelt_bench_pong", err))
        return res;
    dds::DataWriter *ping_w = a.publisher->create_datawriter(a.topic("BenchPing"), writer_qos(q));
    dds::DataReader *pong_r = a.subscriber->create_datareader(a.topic("BenchPong"), reader_qos(q));
    dds::DataReader *ping_r = b.subscriber->create_datareader(b.topic("BenchPing"), reader_qos(q));
    dds::DataWriter *pong_w = b.publisher->create_datawriter(b.topic("BenchPong"), writer_qos(q));
    if (!ping_w || !pong_r || !ping_r || !pong_w) {
        err = "cannot create the writers or readers";
        return res;
    }
    auto deadline = Clock::now() + std::chrono::seconds(10);
    if (!wait_matched(ping_w, deadline) || !wait_matched(pong_w, deadline) || !wait_matched(ping_r, deadline) ||
        !wait_matched(pong_r, deadline)) {
        err = "ping and pong did not match";
        return res;
    }

    std::atomic<bool> stop{false};
    std::thread echo([&] {
        dds::WaitSet ws;
        ping_r->get_statuscondition().set_enabled_statuses(dds::StatusMask::data_available());
        ws.attach_condition(ping_r->get_statuscondition());
        dds::ConditionSeq active;
        while (!stop.load()) {
            ws.wait(active, eprosima::fastrtps::Duration_t(0, 100000000));
            take_all(ping_r, [&](const Shape &s) { pong_w->write(const_cast<Shape *>(&s)); });
        }
    });

    dds::WaitSet ws;
    pong_r->get_statuscondition().set_enabled_statuses(dds::StatusMask::data_available());
    ws.attach_condition(pong_r->get_statuscondition());
    dds::ConditionSeq active;
    Shape s;
    s.color = "BLUE";
    s.shapesize = 30;
    res.round_trip_us.reserve(round_trips);
    for (uint32_t i = 0; i < warmup + round_trips; ++i) {
        s.x = int32_t(i);
        s.y = -int32_t(i);
        auto t0 = Clock::now();
        if (!ping_w->write(&s)) {
            err = "ping write failed";
            break;
        }
        bool back = false;
        auto limit = t0 + std::chrono::seconds(1);
        while (!back && Clock::now() < limit) {
            ws.wait(active, eprosima::fastrtps::Duration_t(0, 100000000));
            take_all(pong_r, [&](const Shape &echoed) { back = back || echoed.x == int32_t(i); });
        }
        auto t1 = Clock::now();
        if (!back)
            ++res.lost;
        else if (i >= warmup)
            res.round_trip_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    stop = true;
    echo.join();
    if (err.empty() && res.lost)
        err = std::to_string(res.lost) + " echoes did not come back";
    return res;
}

struct FastddsLoop::Impl {
    Node node;
    dds::DataWriter *writer = nullptr;
    dds::DataReader *reader = nullptr;
    Shape out;
    uint64_t checksum = 0;
};

FastddsLoop::FastddsLoop() : impl_(new Impl) {}
FastddsLoop::~FastddsLoop() = default;

bool FastddsLoop::open(int domain_id, const BenchQos &q, std::string &err)
{
    Impl &m = *impl_;
    if (!m.node.create(domain_id, "quelt_bench_loop", err))
        return false;
    dds::Topic *topic = m.node.topic("BenchLoop");
    m.writer = topic ? m.node.publisher->create_datawriter(topic, writer_qos(q)) : nullptr;
    m.reader = topic ? m.node.subscriber->create_datareader(topic, reader_qos(q)) : nullptr;
    if (!m.writer || !m.reader) {
        err = "cannot create the writer or the reader";
        return false;
    }
    if (!wait_matched(m.writer, Clock::now() + std::chrono::seconds(10))) {
        err = "writer and reader did not match";
        return false;
    }
    return true;
}

bool FastddsLoop::step(uint32_t i)
{
    Impl &m = *impl_;
    m.out.color = bench_color(i, 4);
    m.out.x = int32_t(i);
    m.out.y = int32_t(i / 4);
    m.out.shapesize = 30;
    if (!m.writer->write(&m.out))
        return false;
    // Delivery within a participant is immediate; a few tries cover a slow wake-up.
    for (int tries = 0; tries < 1000; ++tries) {
        long n = take_all(m.reader, [&](const Shape &s) {
            m.checksum += s.color.size() + uint64_t(uint32_t(s.x)) + uint64_t(uint32_t(s.y)) + uint64_t(uint32_t(s.shapesize));
        });
        if (n != 0)
            return n > 0;
    }
    return false;
}

uint64_t FastddsLoop::checksum() const { return impl_->checksum; }

struct FastddsStreamEndpoint::Impl {
    dds::DomainParticipant *participant = nullptr;
    dds::TypeSupport type{new ShapeTypeSupport()};
    dds::DataWriter *writer = nullptr;
    dds::DataReader *reader = nullptr;
    dds::WaitSet ws;
    Shape out;
    uint64_t checksum = 0;
    ~Impl()
    {
        if (participant) {
            participant->delete_contained_entities();
            dds::DomainParticipantFactory::get_instance()->delete_participant(participant);
        }
    }
};

FastddsStreamEndpoint::FastddsStreamEndpoint() : impl_(new Impl) {}
FastddsStreamEndpoint::~FastddsStreamEndpoint() = default;

bool FastddsStreamEndpoint::open(int domain_id, const char *write_topic, const char *read_topic, const StreamSettings &s, std::string &err)
{
    Impl &m = *impl_;
    dds::DomainParticipantQos pq = dds::PARTICIPANT_QOS_DEFAULT;
    pq.name("quelt_bench_stream");
    if (s.shm_segment_bytes || s.shm_port_queue || s.socket_buffer_bytes || !s.shared_memory) {
        pq.transport().use_builtin_transports = false;
        auto shm = std::make_shared<eprosima::fastdds::rtps::SharedMemTransportDescriptor>();
        if (s.shm_segment_bytes)
            shm->segment_size(s.shm_segment_bytes);
        if (s.shm_port_queue)
            shm->port_queue_capacity(s.shm_port_queue);
        auto udp = std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>();
        if (s.socket_buffer_bytes) {
            udp->sendBufferSize = s.socket_buffer_bytes;
            udp->receiveBufferSize = s.socket_buffer_bytes;
            pq.transport().send_socket_buffer_size = s.socket_buffer_bytes;
            pq.transport().listen_socket_buffer_size = s.socket_buffer_bytes;
        }
        if (s.shared_memory)
            pq.transport().user_transports.push_back(shm);
        pq.transport().user_transports.push_back(udp);
    }
    m.participant = dds::DomainParticipantFactory::get_instance()->create_participant(domain_id, pq);
    if (!m.participant || m.type.register_type(m.participant) != ReturnCode_t::RETCODE_OK) {
        err = "cannot create a Fast DDS participant in domain " + std::to_string(domain_id);
        return false;
    }
    auto topic = [&](const char *name) -> dds::Topic * {
        if (dds::TopicDescription *d = m.participant->lookup_topicdescription(name))
            return static_cast<dds::Topic *>(d);
        return m.participant->create_topic(name, "ShapeType", dds::TOPIC_QOS_DEFAULT);
    };
    if (write_topic) {
        dds::DataWriterQos wq = dds::DATAWRITER_QOS_DEFAULT;
        wq.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
        wq.durability().kind = dds::VOLATILE_DURABILITY_QOS;
        wq.history().kind = dds::KEEP_ALL_HISTORY_QOS;
        wq.resource_limits().max_samples = 0; // unlimited, as a user writes first
        wq.resource_limits().max_samples_per_instance = 0;
        wq.endpoint().history_memory_policy = rtps::PREALLOCATED_WITH_REALLOC_MEMORY_MODE;
        if (s.heartbeat_ms > 0)
            wq.reliable_writer_qos().times.heartbeatPeriod = eprosima::fastrtps::Duration_t(s.heartbeat_ms / 1000, (s.heartbeat_ms % 1000) * 1000000u);
        if (s.asynchronous)
            wq.publish_mode().kind = dds::ASYNCHRONOUS_PUBLISH_MODE;
        dds::Publisher *pub = m.participant->create_publisher(dds::PUBLISHER_QOS_DEFAULT);
        dds::Topic *t = topic(write_topic);
        m.writer = pub && t ? pub->create_datawriter(t, wq) : nullptr;
        if (!m.writer) {
            err = "cannot create the writer";
            return false;
        }
    }
    if (read_topic) {
        dds::DataReaderQos rq = dds::DATAREADER_QOS_DEFAULT;
        rq.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
        rq.durability().kind = dds::VOLATILE_DURABILITY_QOS;
        rq.history().kind = dds::KEEP_ALL_HISTORY_QOS;
        rq.resource_limits().max_samples = 0;
        rq.resource_limits().max_samples_per_instance = 0;
        rq.endpoint().history_memory_policy = rtps::PREALLOCATED_WITH_REALLOC_MEMORY_MODE;
        dds::Subscriber *sub = m.participant->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT);
        dds::Topic *t = topic(read_topic);
        m.reader = sub && t ? sub->create_datareader(t, rq) : nullptr;
        if (!m.reader) {
            err = "cannot create the reader";
            return false;
        }
        m.reader->get_statuscondition().set_enabled_statuses(dds::StatusMask::data_available());
        m.ws.attach_condition(m.reader->get_statuscondition());
    }
    return true;
}

bool FastddsStreamEndpoint::writer_matched()
{
    dds::PublicationMatchedStatus st;
    return impl_->writer && impl_->writer->get_publication_matched_status(st) == ReturnCode_t::RETCODE_OK && st.current_count > 0;
}

bool FastddsStreamEndpoint::write(int32_t x)
{
    Impl &m = *impl_;
    m.out.color = "BLUE";
    m.out.x = x;
    m.out.y = x / 2;
    m.out.shapesize = 30;
    return m.writer->write(&m.out);
}

long FastddsStreamEndpoint::wait_take(std::vector<int32_t> &xs, int timeout_ms)
{
    Impl &m = *impl_;
    dds::ConditionSeq active;
    m.ws.wait(active, eprosima::fastrtps::Duration_t(timeout_ms / 1000, uint32_t(timeout_ms % 1000) * 1000000u));
    return take_all(m.reader, [&](const Shape &s) {
        m.checksum += s.color.size() + uint64_t(uint32_t(s.y)) + uint64_t(uint32_t(s.shapesize));
        xs.push_back(s.x);
    });
}

} // namespace quelt::bench
