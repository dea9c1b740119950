// Plain Cyclone DDS for bench_stream: the same ShapeType samples and QoS as ours on the Cyclone
// engine, through an idlc-generated type and Cyclone's C API, so the difference is what our
// layer costs on that engine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quelt::bench {

// One side of a two-process stream: a participant with a reliable keep-all ShapeType writer on
// `write_topic` and/or reader on `read_topic` (null: none); `batched`: Cyclone's batching on
// (process-wide in 0.10, as ddsperf sets it).
class CycloneStreamEndpoint {
  public:
    CycloneStreamEndpoint();
    ~CycloneStreamEndpoint();
    bool open(int domain_id, const char *write_topic, const char *read_topic, bool batched, std::string &err);
    // Sets the four fields of a sample from x and writes it; false when write refused it.
    bool write(int32_t x);
    // Waits up to timeout_ms for data and takes everything, reading the four fields of each
    // valid sample; appends the x values. Returns how many were taken, -1 on failure.
    long wait_take(std::vector<int32_t> &xs, int timeout_ms);
    // Sends what a batched writer holds.
    void flush();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quelt::bench
