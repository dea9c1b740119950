// Our QoS records onto Fast DDS's, with the engine settings that differ from Fast DDS's own.
#include "engines/fastdds/fastdds_engine.h"
#include "engines/fastdds/representation_transport.h"

#include "dds/dds_log.h"

#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/topic/qos/TopicQos.hpp>
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>
#include <fastdds/rtps/transport/shared_mem/SharedMemTransportDescriptor.h>

#include <typeinfo>

namespace fdds = eprosima::fastdds::dds;
using eprosima::fastrtps::Duration_t;

namespace {

bool is_infinite(const DDS_Duration_t &d) { return d.sec == DDS_DURATION_INFINITE_SEC && d.nanosec == DDS_DURATION_INFINITE_NSEC; }

Duration_t fd(const DDS_Duration_t &d)
{
    if (is_infinite(d))
        return eprosima::fastrtps::c_TimeInfinite;
    return Duration_t(d.sec, d.nanosec);
}

int32_t limit(DDS_Long v) { return v <= 0 ? 0 : v; } // 0: unlimited for Fast DDS

template <typename FQ, typename Q> void common_to_fastdds(const Q &in, FQ &out)
{
    out.durability().kind = in.durability.kind == DDS_TRANSIENT_LOCAL_DURABILITY_QOS ? fdds::TRANSIENT_LOCAL_DURABILITY_QOS
                                                                                      : fdds::VOLATILE_DURABILITY_QOS;
    out.deadline().period = fd(in.deadline.period);
    out.latency_budget().duration = fd(in.latency_budget.duration);
    out.liveliness().kind = in.liveliness.kind == DDS_MANUAL_BY_PARTICIPANT_LIVELINESS_QOS ? fdds::MANUAL_BY_PARTICIPANT_LIVELINESS_QOS
                            : in.liveliness.kind == DDS_MANUAL_BY_TOPIC_LIVELINESS_QOS     ? fdds::MANUAL_BY_TOPIC_LIVELINESS_QOS
                                                                                           : fdds::AUTOMATIC_LIVELINESS_QOS;
    out.liveliness().lease_duration = fd(in.liveliness.lease_duration);
    if (!is_infinite(in.liveliness.lease_duration)) {
        // Assert liveliness well within the lease.
        const double lease = in.liveliness.lease_duration.sec + in.liveliness.lease_duration.nanosec * 1e-9;
        out.liveliness().announcement_period = Duration_t(lease * 0.4);
    }
    out.reliability().kind = in.reliability.kind == DDS_RELIABLE_RELIABILITY_QOS ? fdds::RELIABLE_RELIABILITY_QOS
                                                                                 : fdds::BEST_EFFORT_RELIABILITY_QOS;
    out.reliability().max_blocking_time = fd(in.reliability.max_blocking_time);
    out.history().kind = in.history.kind == DDS_KEEP_ALL_HISTORY_QOS ? fdds::KEEP_ALL_HISTORY_QOS : fdds::KEEP_LAST_HISTORY_QOS;
    out.history().depth = in.history.depth > 0 ? in.history.depth : 1;
    out.resource_limits().max_samples = limit(in.resource_limits.max_samples);
    out.resource_limits().max_instances = limit(in.resource_limits.max_instances);
    out.resource_limits().max_samples_per_instance = limit(in.resource_limits.max_samples_per_instance);
    // Preallocate a little and grow on demand: unlimited resources must not preallocate everything.
    const int32_t ms = out.resource_limits().max_samples;
    out.resource_limits().allocated_samples = ms > 0 && ms < 100 ? ms : 100;
    out.ownership().kind = in.ownership.kind == DDS_EXCLUSIVE_OWNERSHIP_QOS ? fdds::EXCLUSIVE_OWNERSHIP_QOS : fdds::SHARED_OWNERSHIP_QOS;
}

// Engine settings that differ from Fast DDS's own, chosen so that the configuration a user
// writes first for a stream (reliable keep-all, no resource limits) runs between processes
// without stalls. Measured with bench_stream; the benchmark gives plain Fast DDS the same values.
//
// Heartbeat period of reliable writers (Fast DDS: 3 s). Readers acknowledge on heartbeats: until
// then a keep-all writer keeps every sample, and Fast DDS 2.9 finds the samples to drop by a
// linear search of that history, so its cost per write grows with the time between heartbeats;
// a keep-all writer whose history is bounded waits that long for room (100 ms, our former value,
// is also the default max_blocking_time, so such writes timed out and their samples were lost).
// 20 ms keeps the history at a few thousand samples at full rate, for a heartbeat message of
// 64 bytes every 20 ms per reader when idle.
constexpr int32_t kHeartbeatMs = 20;
constexpr int32_t kMaxSamplesPerTake = 4096;
// Shared-memory segment of each participant (Fast DDS: 512 KB) and capacity of each listening
// port in messages (Fast DDS: 512). A writer that outruns its reader by more than a port's worth
// of messages has the rest dropped on the floor; reliable writers resend them only after the
// next heartbeat and acknowledgement: those were the stalls of whole seconds. 8 MB and 4096
// messages hold about 80 ms of a full-rate stream of small samples; the segment is shared memory
// that the kernel backs only as it is touched.
constexpr uint32_t kShmSegmentBytes = 8u * 1024 * 1024;
constexpr uint32_t kShmPortQueue = 4096;
// UDP send and receive buffers (Fast DDS: the system's default, 208 KB on Linux): between hosts a
// burst larger than the receive buffer is dropped by the kernel and resent only after a
// heartbeat. The kernel caps the value at net.core.rmem_max / wmem_max (4 MB on Debian 12); raise
// those for more.
constexpr uint32_t kSocketBufferBytes = 4u * 1024 * 1024;

} // namespace

namespace quelt::mw {

void to_fastdds(const ParticipantPlan &in, fdds::DomainParticipantQos &out)
{
    const FastddsTransport &t = in.transport;
    const uint32_t buffers = t.socket_buffer_size ? t.socket_buffer_size : kSocketBufferBytes;
    // A Fast DDS default profile (FASTRTPS_DEFAULT_PROFILES_FILE) that chose its own transports,
    // UDP only for instance, is the deployment's choice and is kept. Its UDPv4 transports still
    // get the buffer size above where they leave it to the system (a 100,000-sample stream
    // between two hosts lost a third of its datagrams in 208 KB buffers and crawled on repairs),
    // and complete the announcements like ours.
    if (!out.transport().use_builtin_transports || !out.transport().user_transports.empty()) {
        if (t.shm_segment_size || t.shm_port_queue_capacity) {
            bool shm = out.transport().use_builtin_transports;
            for (const auto &d : out.transport().user_transports)
                shm |= dynamic_cast<const eprosima::fastdds::rtps::SharedMemTransportDescriptor *>(d.get()) != nullptr;
            QueltLog_warning("DDS_DomainParticipantFactory_create_participant",
                             "participant '%s': <fastdds_transport> shm_segment_size %u and shm_port_queue_capacity %u "
                             "(0: not given) are not applied: the Fast DDS default profile chose the transports, %s",
                             in.name.c_str(), t.shm_segment_size, t.shm_port_queue_capacity,
                             shm ? "and its shared-memory transport keeps its own sizes" : "and shared memory is not among them");
        }
        for (auto &d : out.transport().user_transports) {
            if (!d)
                continue;
            const auto &descriptor = *d;
            if (typeid(descriptor) != typeid(eprosima::fastdds::rtps::UDPv4TransportDescriptor))
                continue;
            auto *own = static_cast<eprosima::fastdds::rtps::UDPv4TransportDescriptor *>(d.get());
            // A copy: the profile's descriptor is shared by every participant made from it.
            auto udp = std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>(*own);
            if (!udp->sendBufferSize)
                udp->sendBufferSize = buffers;
            if (!udp->receiveBufferSize)
                udp->receiveBufferSize = buffers;
            d = representation_udp_transport(udp);
        }
        return;
    }
    // The same two transports Fast DDS builds in (shared memory between processes of one host,
    // UDPv4 otherwise), with the sizes above; UDPv4 also completes our endpoints' announcements
    // with their data representation, which Fast DDS leaves out.
    auto shm = std::make_shared<eprosima::fastdds::rtps::SharedMemTransportDescriptor>();
    shm->segment_size(t.shm_segment_size ? t.shm_segment_size : kShmSegmentBytes);
    shm->port_queue_capacity(t.shm_port_queue_capacity ? t.shm_port_queue_capacity : kShmPortQueue);
    auto udp = std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>();
    udp->sendBufferSize = udp->receiveBufferSize = buffers;
    out.transport().use_builtin_transports = false;
    out.transport().user_transports.clear();
    out.transport().user_transports.push_back(shm);
    out.transport().user_transports.push_back(representation_udp_transport(udp));
    out.transport().send_socket_buffer_size = buffers;
    out.transport().listen_socket_buffer_size = buffers;
}

void to_fastdds(const DDS_DataWriterQos &in, fdds::DataWriterQos &out)
{
    common_to_fastdds(in, out);
    out.lifespan().duration = fd(in.lifespan.duration);
    out.ownership_strength().value = static_cast<uint32_t>(in.ownership_strength.value < 0 ? 0 : in.ownership_strength.value);
    out.endpoint().history_memory_policy = eprosima::fastrtps::rtps::PREALLOCATED_WITH_REALLOC_MEMORY_MODE;
    const DDS_Duration_t &hb = in.fastdds.heartbeat_period;
    out.reliable_writer_qos().times.heartbeatPeriod =
        hb.sec != 0 || hb.nanosec != 0 ? fd(hb) : Duration_t(0, uint32_t(kHeartbeatMs) * 1000000u); // see kHeartbeatMs
    if (in.fastdds.publish_mode != DDS_FASTDDS_DEFAULT_PUBLISH_MODE)
        out.publish_mode().kind = in.fastdds.publish_mode == DDS_FASTDDS_ASYNCHRONOUS_PUBLISH_MODE ? fdds::ASYNCHRONOUS_PUBLISH_MODE
                                                                                                 : fdds::SYNCHRONOUS_PUBLISH_MODE;
}

void to_fastdds(const DDS_DataReaderQos &in, fdds::DataReaderQos &out)
{
    common_to_fastdds(in, out);
    out.endpoint().history_memory_policy = eprosima::fastrtps::rtps::PREALLOCATED_WITH_REALLOC_MEMORY_MODE;
    // A take of "every available sample" hands out at most this many (Fast DDS: 32, which makes
    // a reader that falls behind a stream take a hundred times for one wake-up). Fast DDS
    // preallocates a pointer per sample and loan for it, so it stays bounded.
    out.reader_resource_limits().max_samples_per_read = kMaxSamplesPerTake;
}

void to_fastdds(const DDS_TopicQos &in, fdds::TopicQos &out)
{
    common_to_fastdds(in, out);
    out.lifespan().duration = fd(in.lifespan.duration);
}

} // namespace quelt::mw
