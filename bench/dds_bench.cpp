// bench_dds: our DDS_* layer against plain Fast DDS in the same run, same process, same samples
// and QoS (bench/bench.xml for ours, BenchQos for the baseline).
//
//   bench_dds [--samples N] [--round-trips N] [--warmup N] [--runs N] [--xml FILE] [--baseline-only]
//
// Throughput: one participant writes N ShapeType samples over 4 instances as fast as the writer
// allows while a thread waiting on a waitset takes them (with loans) and reads member x of each;
// samples taken per second from the first write to the last take. Latency: two participants,
// the second echoes every sample of topic BenchPing on BenchPong; round trip from write to the
// take of the echo, p50 and p99 after a warm-up. Each measurement runs --runs times, alternating
// ours and the baseline; the table shows medians. Exit status 1 when a measurement lost samples
// or failed; the goals are reported, not enforced.
#include "fastdds_baseline.h"

#include "dds/dds_domain.h"
#include "dds/dds_string.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quelt::bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBaselineThroughputDomain = 190;
constexpr int kBaselineLatencyDomain = 191;

// A deadlocked measurement cannot be recovered from inside the process; the watchdog says where
// it stopped and ends the program rather than hang a benchmark run forever.
class Watchdog {
  public:
    Watchdog()
        : thread_([this] {
              while (!stop_.load()) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(200));
                  const char *phase = phase_.load();
                  if (phase && Clock::now() - Clock::time_point(Clock::duration(last_.load())) > std::chrono::seconds(60)) {
                      std::fprintf(stderr, "bench_dds: no progress for 60 s in %s; giving up\n", phase);
                      std::fflush(stdout);
                      _exit(3);
                  }
              }
          })
    {
    }
    ~Watchdog()
    {
        stop_ = true;
        thread_.join();
    }
    void phase(const char *name)
    {
        progress();
        phase_ = name;
    }
    void progress() { last_ = Clock::now().time_since_epoch().count(); }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<const char *> phase_{nullptr};
    std::atomic<Clock::rep> last_{Clock::now().time_since_epoch().count()};
    std::thread thread_;
};

Watchdog *g_watchdog = nullptr;
void progress()
{
    if (g_watchdog)
        g_watchdog->progress();
}

// ---- our layer ----

bool use_config(const std::string &xml, std::string &err)
{
    DDS_DomainParticipantFactory *f = DDS_DomainParticipantFactory_get_instance();
    DDS_DomainParticipantFactoryQos fq;
    DDS_DomainParticipantFactoryQos_initialize(&fq);
    DDS_DomainParticipantFactory_get_qos(f, &fq);
    DDS_StringSeq_ensure_length(&fq.profile.url_profile, 1, 1);
    char **slot = DDS_StringSeq_get_reference(&fq.profile.url_profile, 0);
    DDS_String_free(*slot);
    *slot = DDS_String_dup(xml.c_str());
    DDS_ReturnCode_t rc = DDS_DomainParticipantFactory_set_qos(f, &fq);
    DDS_DomainParticipantFactoryQos_finalize(&fq);
    if (rc != DDS_RETCODE_OK)
        err = "cannot use " + xml + " (set_qos " + std::to_string(rc) + ")";
    return rc == DDS_RETCODE_OK;
}

struct Participant {
    DDS_DomainParticipant *p = nullptr;
    explicit Participant(const char *config, std::string &err)
    {
        p = DDS_DomainParticipantFactory_create_participant_from_config(DDS_DomainParticipantFactory_get_instance(), config);
        if (!p)
            err = std::string("cannot create participant ") + config;
    }
    ~Participant()
    {
        if (p)
            DDS_DomainParticipantFactory_delete_participant(DDS_DomainParticipantFactory_get_instance(), p);
    }
    DDS_DynamicDataWriter *writer(const char *name) const
    {
        return DDS_DynamicDataWriter_narrow(DDS_DomainParticipant_lookup_datawriter_by_name(p, name));
    }
    DDS_DynamicDataReader *reader(const char *name) const
    {
        return DDS_DynamicDataReader_narrow(DDS_DomainParticipant_lookup_datareader_by_name(p, name));
    }
};

// A waitset on a reader's data-available status.
struct DataWait {
    DDS_WaitSet *ws = DDS_WaitSet_new();
    explicit DataWait(DDS_DataReader *r)
    {
        DDS_StatusCondition *c = DDS_Entity_get_statuscondition(DDS_DataReader_as_entity(r));
        DDS_StatusCondition_set_enabled_statuses(c, DDS_DATA_AVAILABLE_STATUS);
        DDS_WaitSet_attach_condition(ws, DDS_StatusCondition_as_condition(c));
    }
    ~DataWait() { DDS_WaitSet_delete(ws); }
    bool wait(long ms)
    {
        const DDS_Duration_t d{DDS_Long(ms / 1000), DDS_UnsignedLong(ms % 1000) * 1000000u};
        return DDS_WaitSet_wait(ws, nullptr, &d) == DDS_RETCODE_OK;
    }
};

// Takes everything available, loan by loan; f(sample) for each valid one. -1 when take failed.
template <typename F> long take_all(DDS_DynamicDataReader *r, F &&f)
{
    long n = 0;
    DDS_DynamicDataSeq data;
    DDS_SampleInfoSeq infos;
    DDS_DynamicDataSeq_initialize(&data);
    DDS_SampleInfoSeq_initialize(&infos);
    for (;;) {
        DDS_ReturnCode_t rc =
            DDS_DynamicDataReader_take(r, &data, &infos, DDS_LENGTH_UNLIMITED, DDS_ANY_SAMPLE_STATE, DDS_ANY_VIEW_STATE, DDS_ANY_INSTANCE_STATE);
        if (rc == DDS_RETCODE_NO_DATA)
            break;
        if (rc != DDS_RETCODE_OK) {
            n = -1;
            break;
        }
        for (DDS_Long i = 0; i < DDS_DynamicDataSeq_get_length(&data); ++i) {
            if (DDS_SampleInfoSeq_get_reference(&infos, i)->valid_data) {
                f(DDS_DynamicDataSeq_get_reference(&data, i));
                ++n;
            }
        }
        DDS_DynamicDataReader_return_loan(r, &data, &infos);
    }
    DDS_DynamicDataSeq_finalize(&data);
    DDS_SampleInfoSeq_finalize(&infos);
    return n;
}

bool wait_writer_matched(DDS_DynamicDataWriter *w, Clock::time_point deadline)
{
    DDS_PublicationMatchedStatus st;
    while (Clock::now() < deadline) {
        if (DDS_DataWriter_get_publication_matched_status(w, &st) == DDS_RETCODE_OK && st.current_count > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool wait_reader_matched(DDS_DynamicDataReader *r, Clock::time_point deadline)
{
    DDS_SubscriptionMatchedStatus st;
    while (Clock::now() < deadline) {
        if (DDS_DataReader_get_subscription_matched_status(r, &st) == DDS_RETCODE_OK && st.current_count > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

ThroughputResult ours_throughput(uint32_t samples, const BenchQos &q, std::string &err)
{
    ThroughputResult res;
    Participant part("BenchLib::Throughput", err);
    if (!part.p)
        return res;
    DDS_DynamicDataWriter *writer = part.writer("Pub::Writer");
    DDS_DynamicDataReader *reader = part.reader("Sub::Reader");
    const DDS_TypeCode *type = DDS_DomainParticipant_get_typecode(part.p, "ShapeType");
    if (!writer || !reader || !type) {
        err = "BenchLib::Throughput lacks Pub::Writer, Sub::Reader or ShapeType";
        return res;
    }
    if (!wait_writer_matched(writer, Clock::now() + std::chrono::seconds(10))) {
        err = "writer and reader did not match";
        return res;
    }

    std::atomic<uint64_t> received{0};
    std::atomic<bool> reader_failed{false};
    uint64_t checksum = 0;
    Clock::time_point last_taken{};
    std::thread taker([&] {
        DataWait wait(reader);
        auto idle_since = Clock::now();
        while (received.load(std::memory_order_relaxed) < samples) {
            wait.wait(100);
            long n = take_all(reader, [&](DDS_DynamicData *s) {
                DDS_Long x = 0;
                DDS_DynamicData_get_long(s, &x, "x", 0);
                checksum += uint64_t(uint32_t(x));
            });
            if (n < 0) {
                reader_failed = true;
                return;
            }
            if (n > 0) {
                received.fetch_add(uint64_t(n), std::memory_order_relaxed);
                last_taken = Clock::now();
                idle_since = last_taken;
                progress();
            } else if (Clock::now() - idle_since > std::chrono::seconds(10)) {
                return; // nothing for 10 s: the rest is lost
            }
        }
    });

    const uint32_t instances = uint32_t(std::max(q.max_instances, 1));
    DDS_DynamicData *s = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
    auto start = Clock::now();
    for (uint32_t i = 0; s && i < samples; ++i) {
        DDS_DynamicData_set_string(s, "color", 0, bench_color(i, instances));
        DDS_DynamicData_set_long(s, "x", 0, DDS_Long(i));
        DDS_DynamicData_set_long(s, "y", 0, DDS_Long(i / instances));
        DDS_DynamicData_set_long(s, "shapesize", 0, 30);
        uint32_t tries = 0;
        DDS_ReturnCode_t rc;
        // A full keep-all history blocks for max_blocking_time and then gives up.
        while ((rc = DDS_DynamicDataWriter_write(writer, s, &DDS_HANDLE_NIL)) == DDS_RETCODE_TIMEOUT && ++tries <= 100)
            ++res.write_retries;
        if (rc != DDS_RETCODE_OK) {
            err = "write failed with " + std::to_string(rc) + " at sample " + std::to_string(i);
            break;
        }
        ++res.written;
    }
    taker.join();
    DDS_DynamicData_delete(s);
    res.received = received.load();
    res.seconds = std::chrono::duration<double>(last_taken - start).count();
    uint64_t expected_sum = 0;
    for (uint64_t i = 0; i < res.written; ++i)
        expected_sum += i;
    if (reader_failed)
        err = "take failed";
    else if (err.empty() && !res.complete())
        err = "received " + std::to_string(res.received) + " of " + std::to_string(res.written);
    else if (err.empty() && checksum != expected_sum)
        err = "samples came back altered";
    return res;
}

LatencyResult ours_latency(uint32_t warmup, uint32_t round_trips, std::string &err)
{
    LatencyResult res;
    Participant ping("BenchLib::Ping", err);
    Participant pong("BenchLib::Pong", err);
    if (!ping.p || !pong.p)
        return res;
    DDS_DynamicDataWriter *ping_w = ping.writer("Pub::Writer");
    DDS_DynamicDataReader *pong_r = ping.reader("Sub::Reader");
    DDS_DynamicDataReader *ping_r = pong.reader("Sub::Reader");
    DDS_DynamicDataWriter *pong_w = pong.writer("Pub::Writer");
    const DDS_TypeCode *type = DDS_DomainParticipant_get_typecode(ping.p, "ShapeType");
    if (!ping_w || !pong_r || !ping_r || !pong_w || !type) {
        err = "BenchLib::Ping or ::Pong lacks its writer, reader or ShapeType";
        return res;
    }
    auto deadline = Clock::now() + std::chrono::seconds(10);
    if (!wait_writer_matched(ping_w, deadline) || !wait_writer_matched(pong_w, deadline) || !wait_reader_matched(ping_r, deadline) ||
        !wait_reader_matched(pong_r, deadline)) {
        err = "ping and pong did not match";
        return res;
    }

    std::atomic<bool> stop{false};
    std::thread echo([&] {
        DataWait wait(ping_r);
        while (!stop.load()) {
            wait.wait(100);
            take_all(ping_r, [&](DDS_DynamicData *s) { DDS_DynamicDataWriter_write(pong_w, s, &DDS_HANDLE_NIL); });
        }
    });

    DataWait wait(pong_r);
    DDS_DynamicData *s = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
    DDS_DynamicData_set_string(s, "color", 0, "BLUE");
    DDS_DynamicData_set_long(s, "shapesize", 0, 30);
    res.round_trip_us.reserve(round_trips);
    for (uint32_t i = 0; s && i < warmup + round_trips; ++i) {
        DDS_DynamicData_set_long(s, "x", 0, DDS_Long(i));
        DDS_DynamicData_set_long(s, "y", 0, -DDS_Long(i));
        auto t0 = Clock::now();
        if (DDS_DynamicDataWriter_write(ping_w, s, &DDS_HANDLE_NIL) != DDS_RETCODE_OK) {
            err = "ping write failed";
            break;
        }
        bool back = false;
        auto limit = t0 + std::chrono::seconds(1);
        while (!back && Clock::now() < limit) {
            wait.wait(100);
            take_all(pong_r, [&](DDS_DynamicData *echoed) {
                DDS_Long x = -1;
                DDS_DynamicData_get_long(echoed, &x, "x", 0);
                back = back || x == DDS_Long(i);
            });
        }
        auto t1 = Clock::now();
        progress();
        if (!back)
            ++res.lost;
        else if (i >= warmup)
            res.round_trip_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    stop = true;
    echo.join();
    DDS_DynamicData_delete(s);
    if (err.empty() && res.lost)
        err = std::to_string(res.lost) + " echoes did not come back";
    return res;
}

// ---- reporting ----

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string num(double v, int decimals = 0)
{
    if (v <= 0)
        return "-";
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

struct Options {
    uint32_t samples = 50000;
    uint32_t warmup = 200;
    uint32_t round_trips = 2000;
    int runs = 3;
    bool baseline_only = false;
    std::string xml = QUELT_BENCH_XML;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: bench_dds [--samples N] [--round-trips N] [--warmup N] [--runs N] [--xml FILE] [--baseline-only]\n");
    std::exit(64);
}

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> long {
            if (i + 1 >= argc)
                usage();
            char *end;
            long v = std::strtol(argv[++i], &end, 10);
            if (*end || v <= 0)
                usage();
            return v;
        };
        if (a == "--samples")
            o.samples = uint32_t(value());
        else if (a == "--round-trips")
            o.round_trips = uint32_t(value());
        else if (a == "--warmup")
            o.warmup = uint32_t(value());
        else if (a == "--runs")
            o.runs = int(value());
        else if (a == "--baseline-only")
            o.baseline_only = true;
        else if (a == "--xml" && i + 1 < argc)
            o.xml = argv[++i];
        else
            usage();
    }
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    const Options opt = parse(argc, argv);
    const BenchQos qos;
    Watchdog watchdog;
    g_watchdog = &watchdog;
    bool failed = false;
    std::string err;
    if (!opt.baseline_only && !use_config(opt.xml, err)) {
        std::fprintf(stderr, "bench_dds: %s\n", err.c_str());
        return 1;
    }

    std::vector<double> tp_ours, tp_base, p50_ours, p50_base, p99_ours, p99_base;
    auto report_error = [&](const char *what, const std::string &e) {
        if (!e.empty()) {
            std::printf("  %s: %s\n", what, e.c_str());
            failed = true;
        }
    };
    std::printf("bench_dds: %u samples per throughput run, %u round trips after %u warm-up, %d runs\n", opt.samples,
                opt.round_trips, opt.warmup, opt.runs);
    for (int run = 1; run <= opt.runs; ++run) {
        err.clear();
        watchdog.phase("fastdds throughput");
        ThroughputResult b = fastdds_throughput(kBaselineThroughputDomain, opt.samples, qos, err);
        report_error("fastdds throughput", err);
        if (b.complete())
            tp_base.push_back(b.samples_per_second());
        std::printf("run %d  throughput fastdds %s S/s (%llu/%llu, %llu write retries)\n", run, num(b.samples_per_second()).c_str(),
                    (unsigned long long)b.received, (unsigned long long)b.written, (unsigned long long)b.write_retries);
        if (!opt.baseline_only) {
            err.clear();
            watchdog.phase("our throughput");
            ThroughputResult o = ours_throughput(opt.samples, qos, err);
            report_error("our throughput", err);
            if (o.complete())
                tp_ours.push_back(o.samples_per_second());
            std::printf("run %d  throughput ours    %s S/s (%llu/%llu, %llu write retries)\n", run, num(o.samples_per_second()).c_str(),
                        (unsigned long long)o.received, (unsigned long long)o.written, (unsigned long long)o.write_retries);
        }

        err.clear();
        watchdog.phase("fastdds latency");
        LatencyResult lb = fastdds_latency(kBaselineLatencyDomain, opt.warmup, opt.round_trips, qos, err);
        report_error("fastdds latency", err);
        if (!lb.round_trip_us.empty()) {
            p50_base.push_back(lb.percentile(0.50));
            p99_base.push_back(lb.percentile(0.99));
        }
        std::printf("run %d  latency fastdds p50 %s us, p99 %s us (%zu round trips)\n", run, num(lb.percentile(0.5), 1).c_str(),
                    num(lb.percentile(0.99), 1).c_str(), lb.round_trip_us.size());
        if (!opt.baseline_only) {
            err.clear();
            watchdog.phase("our latency");
            LatencyResult lo = ours_latency(opt.warmup, opt.round_trips, err);
            report_error("our latency", err);
            if (!lo.round_trip_us.empty()) {
                p50_ours.push_back(lo.percentile(0.50));
                p99_ours.push_back(lo.percentile(0.99));
            }
            std::printf("run %d  latency ours    p50 %s us, p99 %s us (%zu round trips)\n", run, num(lo.percentile(0.5), 1).c_str(),
                        num(lo.percentile(0.99), 1).c_str(), lo.round_trip_us.size());
        }
        std::fflush(stdout);
    }
    watchdog.phase(nullptr);

    const double tpo = median(tp_ours), tpb = median(tp_base);
    const double l50o = median(p50_ours), l50b = median(p50_base), l99o = median(p99_ours), l99b = median(p99_base);
    auto ratio = [](double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; };
    auto verdict = [](double r, bool higher_is_better, double goal) {
        if (r <= 0)
            return "n/a";
        return (higher_is_better ? r >= goal : r <= goal) ? "met" : "missed";
    };
    std::printf("\n%-26s %12s %12s %8s   %s\n", "median of runs", "ours", "fastdds", "ratio", "goal");
    std::printf("%-26s %12s %12s %8s   >= 0.8 %s\n", "throughput (samples/s)", num(tpo).c_str(), num(tpb).c_str(),
                num(ratio(tpo, tpb), 2).c_str(), verdict(ratio(tpo, tpb), true, 0.8));
    std::printf("%-26s %12s %12s %8s   <= 1.2 %s\n", "latency p50 (us)", num(l50o, 1).c_str(), num(l50b, 1).c_str(),
                num(ratio(l50o, l50b), 2).c_str(), verdict(ratio(l50o, l50b), false, 1.2));
    std::printf("%-26s %12s %12s %8s   <= 1.2 %s\n\n", "latency p99 (us)", num(l99o, 1).c_str(), num(l99b, 1).c_str(),
                num(ratio(l99o, l99b), 2).c_str(), verdict(ratio(l99o, l99b), false, 1.2));
    std::printf("throughput ours %s S/s, fastdds %s S/s, ratio %s (goal >= 0.8)\n", num(tpo).c_str(), num(tpb).c_str(),
                num(ratio(tpo, tpb), 2).c_str());
    std::printf("latency p50 ours/fastdds %s/%s us, p99 %s/%s us, ratio p50 %s p99 %s (goal <= 1.2)\n", num(l50o, 1).c_str(),
                num(l50b, 1).c_str(), num(l99o, 1).c_str(), num(l99b, 1).c_str(), num(ratio(l50o, l50b), 2).c_str(),
                num(ratio(l99o, l99b), 2).c_str());
    return failed ? 1 : 0;
}
