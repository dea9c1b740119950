// Plain Fast DDS measurements that our DDS_* layer is compared with: the same ShapeType samples,
// the same QoS, the same two measurements, but through a hand-written TopicDataType and the Fast
// DDS C++ API directly, so the difference is what our layer (DynamicData, the C API, the
// configuration) costs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quelt::bench {

// QoS of both measurements, applied the same way to the baseline and (through bench.xml) to our
// layer: reliable, keep-all, bounded resources.
// Fast DDS wants max_samples >= max_instances * max_samples_per_instance, so limits are given per
// instance and max_samples follows.
struct BenchQos {
    int32_t max_instances = 4;               // the throughput run writes this many colors
    int32_t writer_per_instance = 1250;      // a writer ahead by this many blocks until acked
    int32_t reader_per_instance = 25000;     // readers never refuse within one measurement
    int32_t writer_max_samples() const { return max_instances * writer_per_instance; }
    int32_t reader_max_samples() const { return max_instances * reader_per_instance; }
    // Heartbeat period of reliable writers in ms; 0 keeps the Fast DDS default. A reader that
    // had to refuse a sample gets it again only after a heartbeat.
    int32_t heartbeat_ms = 0;
};

struct ThroughputResult {
    uint64_t written = 0;
    uint64_t received = 0;   // valid samples taken
    double seconds = 0;      // first write to last sample taken
    uint64_t write_retries = 0; // writes that returned without success and were repeated
    bool complete() const { return written > 0 && received == written; }
    double samples_per_second() const { return seconds > 0 ? double(received) / seconds : 0; }
};

struct LatencyResult {
    std::vector<double> round_trip_us; // one per measured round trip, in order
    uint32_t lost = 0;                 // round trips whose echo did not come back in time
    double percentile(double p) const {
        if (round_trip_us.empty())
            return 0;
        std::vector<double> v = round_trip_us;
        std::sort(v.begin(), v.end());
        // Nearest rank: the smallest value with at least p of the samples at or below it.
        size_t rank = size_t(p * double(v.size()) + 0.999999);
        rank = std::clamp<size_t>(rank, 1, v.size());
        return v[rank - 1];
    }
};

// One participant with a writer and a reader of ShapeType on one topic: `samples` samples over
// qos.max_instances colors written as fast as the writer allows, taken by a thread waiting on a
// waitset. Returns what was received in the time; `err` says what went wrong, if anything did.
ThroughputResult fastdds_throughput(int domain_id, uint32_t samples, const BenchQos &qos, std::string &err);

// Two participants in one process; the second echoes every ShapeType of topic Ping on topic
// Pong. `warmup` round trips are not counted, then `round_trips` are timed from write to take.
LatencyResult fastdds_latency(int domain_id, uint32_t warmup, uint32_t round_trips, const BenchQos &qos, std::string &err);

// One participant with a writer and a reader of ShapeType on one topic, driven one sample at a
// time from the caller's thread, as a program written against a generated type would: set the
// struct's four fields, write, take the sample back, read its four fields.
class FastddsLoop {
  public:
    FastddsLoop();
    ~FastddsLoop();
    bool open(int domain_id, const BenchQos &qos, std::string &err);
    // One round; false when the sample did not come back.
    bool step(uint32_t i);
    // Sum of the fields read back, so the reads cannot be optimized away.
    uint64_t checksum() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Engine settings of a two-process stream, given to plain Fast DDS by hand and to our layer by
// its defaults (or the vendor elements of the XML), so both cases send the same way.
struct StreamSettings {
    int32_t heartbeat_ms = 0;          // reliable writers' heartbeat period; 0: Fast DDS's
    bool asynchronous = false;         // publish mode
    uint32_t shm_segment_bytes = 0;    // shared-memory segment per participant; 0: Fast DDS's
    uint32_t shm_port_queue = 0;       // shared-memory port queue capacity; 0: Fast DDS's
    uint32_t socket_buffer_bytes = 0;  // UDP send and receive buffers; 0: the system's
    bool shared_memory = true;         // false: UDP only, also between processes of one host
};

// One side of a two-process stream on plain Fast DDS: a participant on the host's default
// transports with a reliable keep-all ShapeType writer on `write_topic` and/or reader on
// `read_topic` (null: none), no resource limits.
class FastddsStreamEndpoint {
  public:
    FastddsStreamEndpoint();
    ~FastddsStreamEndpoint();
    bool open(int domain_id, const char *write_topic, const char *read_topic, const StreamSettings &s, std::string &err);
    bool writer_matched();
    // Sets the four fields of a sample from x and writes it; false when write refused it.
    bool write(int32_t x);
    // Waits up to timeout_ms for data and takes everything, reading the four fields of each
    // valid sample; appends the x values. Returns how many were taken, -1 on failure.
    long wait_take(std::vector<int32_t> &xs, int timeout_ms);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Color of throughput sample i: both sides write the same instances.
const char *bench_color(uint32_t i, uint32_t instances);

// Key hash of a ShapeType color as RTPS defines it: the key members in big-endian CDR, through
// MD5 because a string<128> key may exceed 16 bytes. Exposed so tests can compare it with what
// our layer computes.
void shape_key_hash(const std::string &color, unsigned char out[16]);

} // namespace quelt::bench
