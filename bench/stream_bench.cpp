// Two-process streams, as a user measures them: a publisher process sets the 4 members of a
// ShapeType and writes as fast as it can, a subscriber process waits, takes and gets the 4
// members of every sample. In the same run, each in samples/s with every sample counted: plain
// Fast DDS with a hand-written type and the same QoS, ours on the Fast DDS engine, Cyclone DDS's
// ddsperf (16-byte samples, reliable, batched as it always is), ours on the Cyclone DDS engine with
// its natural QoS and with a batched writer, and plain Cyclone DDS (an idlc type, the same QoS)
// without and with batching. Then round trips between two processes for each.
// Every process is this program (or ddsperf), started by the driver and told what to do on its
// command line; they talk to the driver in lines on their standard input and output. Each figure
// is the median of the repetitions (3), ratios are taken within a repetition; the load average
// of the machine is printed beside each, as the other processes on it change every figure.
//
// Goals (checked at the end, one line each): Cyclone engine at least 0.15 of ddsperf and 4 times
// ours on Fast DDS; batched at least 0.5 of ddsperf, its samples on the wire within 1 ms of a
// write with no later write (seen in the round trip); nothing lost; RSS flat over the 1,000,000
// samples of the Cyclone streams; round-trip p50 on the Cyclone engine at most 1.3 times
// ddsperf's (doubled: it prints one way), with and without waits that poll before they sleep
// (ddsperf's waitset mode shown beside); ours on Fast DDS at least 0.8 of plain Fast DDS and its
// round trip at most 3 times ddsperf's, as before.
//
// Options: --samples N, --fastdds-samples N, --round-trips N, --repeat N; --pin puts each process
// on a CPU of its own (with 2 CPUs the scheduler often spreads a subscriber's receiving and taking
// threads over both, and a wake across CPUs costs more than the sample).
#include "cyclone_baseline.h"
#include "fastdds_baseline.h"

#include "quelt_dds_connector.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using quelt::bench::CycloneStreamEndpoint;
using quelt::bench::FastddsStreamEndpoint;
using quelt::bench::StreamSettings;

// Our defaults for a stream, given by hand to plain Fast DDS so both send the same way. Keep
// these equal to what the middleware applies (middleware/engines/fastdds/qos_mapping.cpp and the rest of that folder).
StreamSettings sameAsOurs()
{
    StreamSettings s;
    s.heartbeat_ms = QUELT_STREAM_HEARTBEAT_MS;
    s.asynchronous = QUELT_STREAM_ASYNC;
    s.shm_segment_bytes = QUELT_STREAM_SHM_SEGMENT;
    s.shm_port_queue = QUELT_STREAM_SHM_QUEUE;
    s.socket_buffer_bytes = QUELT_STREAM_SOCKET_BUFFER;
    // To try other settings on plain Fast DDS without a rebuild: QUELT_STREAM_PLAIN="hb async
    // segment queue socket shm", e.g. "5 1 0 0 0 1".
    if (const char *e = std::getenv("QUELT_STREAM_PLAIN")) {
        int async = 0, shm = 1;
        std::sscanf(e, "%d %d %u %u %u %d", &s.heartbeat_ms, &async, &s.shm_segment_bytes, &s.shm_port_queue, &s.socket_buffer_bytes, &shm);
        s.asynchronous = async != 0;
        s.shared_memory = shm != 0;
    }
    return s;
}

// CPU time of the whole process (every thread), user and system, in seconds.
double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Resident memory in kB, after handing the heap's free pages back: what the process holds, not
// what glibc keeps for reuse after a backlog of samples (a reader behind its writer) was taken.
long rssKb()
{
    malloc_trim(0);
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A line from standard input within timeout_ms, or "".
std::string lineIn(int timeout_ms)
{
    pollfd p = {0, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return {};
    std::string line;
    char ch;
    while (read(0, &ch, 1) == 1 && ch != '\n')
        line += ch;
    return line;
}

void say(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// What each role needs from an implementation: ours through the exported functions, or plain
// Fast DDS.
struct Endpoint {
    std::function<bool(int32_t)> write;                      // set 4 members, write
    std::function<long(std::vector<int32_t> &, int)> waitTake; // wait, take, get 4 members of each
    std::function<void()> flush;                              // after the last write, if needed
};

// A write the middleware refused says so in one log line: counted here, and printed.
std::atomic<long> g_refusals{0};
void countRefusals(int, const char *line, void *)
{
    if (std::strstr(line, "did not send"))
        ++g_refusals;
    std::fputs(line, stderr);
}

Endpoint oursEndpoint(QueltDDSConnector *c)
{
    Endpoint e;
    QueltLuaLog_setSink(countRefusals, nullptr);
    e.write = [c](int32_t x) {
        const long before = g_refusals.load();
        QueltDDSConnector_setStringIntoSamples(c, "Pub::Writer", "color", "BLUE");
        QueltDDSConnector_setNumberIntoSamples(c, "Pub::Writer", "x", x);
        QueltDDSConnector_setNumberIntoSamples(c, "Pub::Writer", "y", x / 2);
        QueltDDSConnector_setNumberIntoSamples(c, "Pub::Writer", "shapesize", 30);
        QueltDDSConnector_write(c, "Pub::Writer", nullptr);
        return g_refusals.load() == before;
    };
    e.waitTake = [c](std::vector<int32_t> &xs, int timeout_ms) -> long {
        if (QueltDDSConnector_wait(c, timeout_ms) != 0)
            return 0;
        QueltDDSConnector_take(c, "Sub::Reader");
        const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(c, "Sub::Reader"));
        for (int i = 1; i <= n; ++i) {
            char *color = QueltDDSConnector_getStringFromSamples(c, "Sub::Reader", i, "color");
            QueltDDSConnector_freeString(color);
            (void)QueltDDSConnector_getNumberFromSamples(c, "Sub::Reader", i, "y");
            (void)QueltDDSConnector_getNumberFromSamples(c, "Sub::Reader", i, "shapesize");
            xs.push_back(static_cast<int32_t>(QueltDDSConnector_getNumberFromSamples(c, "Sub::Reader", i, "x")));
        }
        return n;
    };
    return e;
}

Endpoint fastddsEndpoint(FastddsStreamEndpoint &f)
{
    return Endpoint{[&f](int32_t x) { return f.write(x); }, [&f](std::vector<int32_t> &xs, int ms) { return f.wait_take(xs, ms); }, {}};
}

// Plain Cyclone batching sends only when a packet fills or the writer blocks: the tail of a
// stream goes out with the flush.
Endpoint cycloneEndpoint(CycloneStreamEndpoint &c)
{
    return Endpoint{[&c](int32_t x) { return c.write(x); }, [&c](std::vector<int32_t> &xs, int ms) { return c.wait_take(xs, ms); },
                    [&c] { c.flush(); }};
}

// Publisher: warm-up samples (x = -1) until the driver says "go" (the subscriber has one), then
// `samples` samples x = 0..samples-1; a refused write (a keep-all history still full after
// max_blocking_time) is repeated, as a user would, up to 100 times. Reports "written W retries R
// refused F cpu_us C rss R0 R1 R2" (CPU time per sample of the whole process; kB at the start, in
// the middle, at the end) and stays until "done".
int rolePublisher(Endpoint e, uint32_t samples)
{
    bool go = false;
    for (int i = 0; i < 3000 && !go; ++i) {
        e.write(-1);
        go = lineIn(10) == "go";
    }
    if (!go)
        return 2;
    uint64_t refused = 0, retries = 0;
    const long rss0 = rssKb();
    long rss1 = rss0;
    const double cpu0 = cpuSeconds();
    for (uint32_t i = 0; i < samples; ++i) {
        int tries = 0;
        while (!e.write(static_cast<int32_t>(i)) && ++tries <= 100)
            ++retries;
        if (tries > 100)
            ++refused;
        if (i == samples / 2)
            rss1 = rssKb();
    }
    if (e.flush)
        e.flush();
    std::ostringstream out;
    const double cpu = cpuSeconds() - cpu0;
    out << "written " << samples << " retries " << retries << " refused " << refused << " cpu_us " << cpu * 1e6 / samples << " rss "
        << rss0 << ' ' << rss1 << ' ' << rssKb();
    say(out.str());
    lineIn(60000);
    return 0;
}

// Subscriber: says "warm" at the first warm-up sample, then counts distinct x until all arrived
// or nothing came for 5 s. Reports "received R lost L cpu_us C seconds S gap G rss R0 R1 R2 takes
// T": S from the first counted sample to the last, G the longest wait between two takes that had
// data (ms), RSS at the first counted sample, at half of them and at the end, T the takes that
// had data (each a wake of the taking thread, unless it was busy).
int roleSubscriber(Endpoint e, uint32_t samples)
{
    std::vector<bool> seen(samples, false);
    std::vector<int32_t> xs;
    uint32_t distinct = 0;
    bool warm = false;
    Clock::time_point first{}, last{}, lastData = Clock::now();
    double gapMs = 0;
    long rss0 = 0, rss1 = 0;
    double cpu0 = 0;
    uint64_t takes = 0;
    while (distinct < samples) {
        xs.clear();
        const long n = e.waitTake(xs, 200);
        const auto now = Clock::now();
        if (n <= 0) {
            if (now - lastData > std::chrono::seconds(warm ? 5 : 30))
                break;
            continue;
        }
        takes += distinct > 0;
        for (int32_t x : xs) {
            if (x < 0) {
                if (!warm)
                    say("warm");
                warm = true;
                continue;
            }
            if (static_cast<uint32_t>(x) < samples && !seen[x]) {
                seen[x] = true;
                if (distinct++ == 0)
                    first = now, cpu0 = cpuSeconds(), rss0 = rssKb();
                if (distinct == samples / 2)
                    rss1 = rssKb();
                last = now;
            }
        }
        if (distinct > 0)
            gapMs = std::max(gapMs, std::chrono::duration<double, std::milli>(now - lastData).count());
        lastData = now;
    }
    std::ostringstream out;
    if (distinct < samples) {
        const auto miss = std::find(seen.begin(), seen.end(), false) - seen.begin();
        std::fprintf(stderr, "bench_stream: first sample not received: x = %ld\n", long(miss));
    }
    out << "received " << distinct << " lost " << (samples - distinct) << " cpu_us " << (cpuSeconds() - cpu0) * 1e6 / std::max(distinct, 1u)
        << " seconds "
        << std::chrono::duration<double>(last - first).count() << " gap " << gapMs << " rss " << rss0 << ' ' << rss1 << ' '
        << rssKb() << " takes " << takes;
    say(out.str());
    return 0;
}

// Pong: echoes every x of Ping on Pong until "done".
int rolePong(Endpoint e)
{
    say("ready");
    std::vector<int32_t> xs;
    for (;;) {
        xs.clear();
        e.waitTake(xs, 100);
        for (int32_t x : xs)
            e.write(x);
        pollfd p = {0, POLLIN, 0};
        if (poll(&p, 1, 0) > 0)
            return 0;
    }
}

// Ping: one sample at a time, the next when the echo is back; reports "p50 A p99 B lost L" in us.
int rolePing(Endpoint e, uint32_t roundTrips)
{
    std::vector<int32_t> xs;
    // Until the first echo: discovery in both directions.
    bool back = false;
    for (int i = 0; i < 1000 && !back; ++i) {
        e.write(-1);
        xs.clear();
        e.waitTake(xs, 10);
        back = !xs.empty();
    }
    std::vector<double> us;
    uint32_t lost = 0;
    const uint32_t warmup = roundTrips / 10;
    for (uint32_t i = 0; i < warmup + roundTrips; ++i) {
        const auto t0 = Clock::now();
        e.write(static_cast<int32_t>(i));
        bool got = false;
        while (!got && Clock::now() - t0 < std::chrono::seconds(1)) {
            xs.clear();
            e.waitTake(xs, 100);
            got = std::find(xs.begin(), xs.end(), static_cast<int32_t>(i)) != xs.end();
        }
        if (!got)
            ++lost;
        else if (i >= warmup)
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    auto pct = [&](double p) { return us.empty() ? 0.0 : us[std::min(us.size() - 1, size_t(p * double(us.size())))]; };
    std::ostringstream out;
    out << "p50 " << pct(0.50) << " p99 " << pct(0.99) << " lost " << lost;
    say(out.str());
    return 0;
}

// ---- the driver ----

// --pin: each process on a CPU of its own (taskset), the first started of a pair on the last CPU,
// the second on the first; the scheduler otherwise spreads one process's threads over CPUs.
bool g_pin = false;
int g_started = 0;

struct Child {
    pid_t pid = -1;
    int in = -1;  // to its standard input
    int out = -1; // from its standard output
    std::string buffered;

    bool start(const std::vector<std::string> &args)
    {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0)
            return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&fa, fromChild[1], 1);
        posix_spawn_file_actions_addclose(&fa, toChild[1]);
        posix_spawn_file_actions_addclose(&fa, fromChild[0]);
        std::vector<std::string> all = args;
        if (g_pin) {
            const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
            all.insert(all.begin(), {"taskset", "-c", std::to_string(g_started++ % 2 == 0 ? cpus - 1 : 0)});
        }
        std::vector<char *> argv;
        for (const std::string &a : all)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(toChild[0]);
        close(fromChild[1]);
        in = toChild[1];
        out = fromChild[0];
        return rc == 0;
    }
    void send(const char *line)
    {
        if (in >= 0 && write(in, line, std::strlen(line)) < 0)
            std::perror("send");
    }
    // The next line within timeout_ms, or "".
    std::string line(int timeout_ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const size_t nl = buffered.find('\n');
            if (nl != std::string::npos) {
                std::string l = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                return l;
            }
            const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            pollfd p = {out, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                return {};
            char buf[4096];
            const ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0)
                return {};
            buffered.append(buf, size_t(n));
        }
    }
    // Every line until the child ends (within timeout_ms).
    std::string rest(int timeout_ms)
    {
        std::string all, l;
        const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < end) {
            pollfd p = {out, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0)
                break;
            all.append(buf, size_t(n));
        }
        return buffered + all;
    }
    void finish()
    {
        if (in >= 0)
            close(in);
        in = -1;
        if (pid > 0) {
            for (int i = 0; i < 100; ++i) {
                int status;
                if (waitpid(pid, &status, WNOHANG) == pid) {
                    pid = -1;
                    break;
                }
                usleep(50000);
            }
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        pid = -1;
        if (out >= 0)
            close(out);
        out = -1;
    }
    ~Child() { finish(); }
};

// RSS in kB at the start, middle and end of a stream.
struct Rss {
    long start = 0, middle = 0, end = 0;
    bool known() const { return end > 0; }
    // Growth over the second half: a leak shows there, a first fill of pools and caches does not.
    double growthMb() const { return double(end - middle) / 1024; }
};

struct StreamFigures {
    double rate = NAN; // samples/s
    long lost = -1;
    long refused = 0, retries = 0;
    double gapMs = NAN;
    double cpuPub = NAN, cpuSub = NAN; // us per sample
    Rss rssSub, rssPub;
    double load = NAN; // 1-minute load average when the case ended
    std::string note;
};

double field(const std::string &line, const std::string &key)
{
    std::istringstream in(line);
    std::string word;
    while (in >> word)
        if (word == key && in >> word)
            return std::atof(word.c_str());
    return NAN;
}

Rss rssOf(const std::string &line)
{
    Rss r;
    const size_t at = line.find("rss ");
    if (at != std::string::npos)
        std::istringstream(line.substr(at + 4)) >> r.start >> r.middle >> r.end;
    return r;
}

double loadAverage()
{
    std::ifstream in("/proc/loadavg");
    double l = NAN;
    in >> l;
    return l;
}

std::string self;
std::string xmlPath;

StreamFigures runStream(const char *impl, int domain, uint32_t samples)
{
    StreamFigures f;
    const std::string d = std::to_string(domain), n = std::to_string(samples);
    Child sub, pub;
    g_started = 0;
    if (!sub.start({self, "--role", std::string(impl) + "-sub", d, n, xmlPath}) ||
        !pub.start({self, "--role", std::string(impl) + "-pub", d, n, xmlPath})) {
        f.note = "cannot start";
        return f;
    }
    if (sub.line(40000) != "warm") {
        f.note = "no warm-up sample arrived";
        return f;
    }
    pub.send("go\n");
    const std::string pubLine = pub.line(600000);
    const std::string subLine = sub.line(600000);
    pub.send("done\n");
    f.load = loadAverage();
    if (subLine.empty() || pubLine.empty()) {
        f.note = "no report";
        return f;
    }
    f.rate = field(subLine, "received") / field(subLine, "seconds");
    f.lost = long(field(subLine, "lost"));
    f.gapMs = field(subLine, "gap");
    f.cpuSub = field(subLine, "cpu_us");
    f.cpuPub = field(pubLine, "cpu_us");
    f.rssSub = rssOf(subLine);
    f.rssPub = rssOf(pubLine);
    f.refused = long(field(pubLine, "refused"));
    f.retries = long(field(pubLine, "retries"));
    return f;
}

// ddsperf's reliable 16-byte stream: the subscriber's per-second "rate X kS/s" lines, the full
// seconds only (the first and the last are partial); lost from its final "lost" count.
StreamFigures runDdsperf(int domain, int seconds)
{
    StreamFigures f;
    const std::string d = std::to_string(domain);
    Child sub, pub;
    g_started = 0;
    if (!sub.start({"ddsperf", "-i", d, "-D", std::to_string(seconds + 2), "sub"})) {
        f.note = "ddsperf not found (Debian cyclonedds-tools)";
        return f;
    }
    usleep(300000);
    pub.start({"ddsperf", "-i", d, "-D", std::to_string(seconds), "pub", "size", "16"});
    const std::string out = sub.rest((seconds + 5) * 1000);
    std::istringstream lines(out);
    std::string l;
    std::vector<double> rates;
    long total = 0;
    while (std::getline(lines, l)) {
        const size_t at = l.find(" rate ");
        if (at == std::string::npos)
            continue;
        const double r = std::atof(l.c_str() + at + 6) * 1000;
        if (r > 0)
            rates.push_back(r);
        total = long(field(l, "total"));
        f.lost = long(field(l, "lost"));
    }
    if (rates.size() > 2) {
        double sum = 0;
        for (size_t i = 1; i + 1 < rates.size(); ++i)
            sum += rates[i];
        f.rate = sum / double(rates.size() - 2);
    }
    f.note = "total " + std::to_string(total);
    f.load = loadAverage();
    return f;
}

struct Latency {
    double p50 = NAN, p99 = NAN;
    long lost = -1;
    double load = NAN;
};

Latency runPing(const char *impl, int domain, uint32_t roundTrips)
{
    Latency r;
    const std::string d = std::to_string(domain);
    Child pong, ping;
    g_started = 0;
    if (!pong.start({self, "--role", std::string(impl) + "-pong", d, "0", xmlPath}) || pong.line(30000) != "ready" ||
        !ping.start({self, "--role", std::string(impl) + "-ping", d, std::to_string(roundTrips), xmlPath}))
        return r;
    const std::string l = ping.line(120000);
    pong.send("done\n");
    r.p50 = field(l, "p50"), r.p99 = field(l, "p99"), r.lost = long(field(l, "lost"));
    r.load = loadAverage();
    return r;
}

// ddsperf ping against ddsperf pong: the medians and 99th percentiles of its per-second lines,
// doubled: ddsperf prints half the round trip.
// mode: "listener" (ddsperf's own choice: the receiving thread answers) or "waitset" (an
// application thread woken by a waitset answers, as through the exported functions).
Latency runDdsperfPing(int domain, int seconds, const char *mode)
{
    Latency r;
    const std::string d = std::to_string(domain);
    Child pong, ping;
    g_started = 0;
    if (!pong.start({"ddsperf", "-i", d, "-D", std::to_string(seconds + 2), "pong", mode}))
        return r;
    usleep(300000);
    ping.start({"ddsperf", "-i", d, "-D", std::to_string(seconds), "ping", mode});
    const std::string out = ping.rest((seconds + 5) * 1000);
    std::istringstream lines(out);
    std::string l;
    std::vector<double> p50, p99;
    while (std::getline(lines, l)) {
        const size_t a = l.find(" 50% "), b = l.find(" 99% ");
        if (a != std::string::npos && b != std::string::npos)
            p50.push_back(std::atof(l.c_str() + a + 5)), p99.push_back(std::atof(l.c_str() + b + 5));
    }
    auto median = [](std::vector<double> v) { std::sort(v.begin(), v.end()); return v.empty() ? NAN : v[v.size() / 2]; };
    r.p50 = 2 * median(p50), r.p99 = 2 * median(p99), r.lost = p50.empty() ? -1 : 0;
    r.load = loadAverage();
    return r;
}

std::string writeXml(int domain)
{
    std::ifstream in(QUELT_STREAM_XML);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    const std::string from = "domain_id=\"0\"";
    text.replace(text.find(from), from.size(), "domain_id=\"" + std::to_string(domain) + "\"");
    const std::string path = "/tmp/quelt_bench_stream_" + std::to_string(getpid()) + ".xml";
    std::ofstream(path) << text;
    return path;
}

int role(int argc, char **argv)
{
    if (argc < 6)
        return 2;
    const std::string r = argv[2];
    const int domain = std::atoi(argv[3]);
    const uint32_t count = uint32_t(std::strtoul(argv[4], nullptr, 10));
    const char *xml = argv[5];
    // ours-*: the Fast DDS engine; cyclone-*, batched-*, spin-*: the Cyclone DDS engine; fastdds-*:
    // plain Fast DDS; plaincyclone-*, plainbatched-*: plain Cyclone DDS.
    const std::string impl = r.substr(0, r.find('-'));
    const bool ours = impl == "ours" || impl == "cyclone" || impl == "batched" || impl == "spin";
    const std::string what = r.substr(r.find('-') + 1);
    const std::string prefix = impl == "cyclone" ? "Cyclone" : impl == "batched" ? "Batched" : impl == "spin" ? "Spin" : "";
    const std::string config = "StreamLib::" + prefix +
                               (what == "pub" ? "Publisher" : what == "sub" ? "Subscriber" : what == "ping" ? "Ping" : "Pong");
    // The exported functions' log goes to stderr, refused writes counted (oursEndpoint).
    QueltDDSConnector *c = nullptr;
    FastddsStreamEndpoint fastdds;
    CycloneStreamEndpoint plainCyclone;
    Endpoint e;
    if (ours) {
        c = QueltDDSConnector_new(config.c_str(), xml, nullptr);
        if (!c)
            return 3;
        e = oursEndpoint(c);
    } else {
        std::string err;
        const char *w = what == "pub" ? "Stream" : what == "ping" ? "Ping" : what == "pong" ? "Pong" : nullptr;
        const char *rd = what == "sub" ? "Stream" : what == "ping" ? "Pong" : what == "pong" ? "Ping" : nullptr;
        const bool cyclone = impl == "plaincyclone" || impl == "plainbatched";
        if (cyclone ? !plainCyclone.open(domain, w, rd, impl == "plainbatched", err) : !fastdds.open(domain, w, rd, sameAsOurs(), err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            return 3;
        }
        e = cyclone ? cycloneEndpoint(plainCyclone) : fastddsEndpoint(fastdds);
    }
    int rc = 2;
    if (what == "pub")
        rc = rolePublisher(e, count);
    else if (what == "sub")
        rc = roleSubscriber(e, count);
    else if (what == "ping")
        rc = rolePing(e, count);
    else if (what == "pong")
        rc = rolePong(e);
    QueltDDSConnector_delete(c);
    return rc;
}

} // namespace

namespace {

double median(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string loads(const std::vector<double> &l)
{
    std::string s;
    char buf[16];
    for (double x : l)
        std::snprintf(buf, sizeof buf, "%s%.1f", s.empty() ? "" : " ", x), s += buf;
    return s;
}

std::string rssText(const Rss &r)
{
    if (!r.known())
        return "-";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f/%.1f/%.1f", r.start / 1024.0, r.middle / 1024.0, r.end / 1024.0);
    return buf;
}

// The repetition whose RSS grew most over its second half, on either side.
const StreamFigures &worstRss(const std::vector<StreamFigures> &runs)
{
    size_t w = 0;
    for (size_t i = 1; i < runs.size(); ++i)
        if (std::max(runs[i].rssSub.growthMb(), runs[i].rssPub.growthMb()) > std::max(runs[w].rssSub.growthMb(), runs[w].rssPub.growthMb()))
            w = i;
    return runs[w];
}

const char *verdict(bool ok) { return ok ? "MET" : "NOT MET"; }

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--role") == 0)
        return role(argc, argv);
    // Cyclone streams long enough to show RSS flat over a million samples; the Fast DDS ones at
    // their pace (25 to 35 thousand/s) would take half a minute each.
    uint32_t samples = 1000000, fastddsSamples = 100000, roundTrips = 5000;
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
        const bool valued = i + 1 < argc;
        if (!std::strcmp(argv[i], "--pin"))
            g_pin = true;
        else if (valued && !std::strcmp(argv[i], "--samples"))
            samples = uint32_t(std::strtoul(argv[++i], nullptr, 10));
        else if (valued && !std::strcmp(argv[i], "--fastdds-samples"))
            fastddsSamples = uint32_t(std::strtoul(argv[++i], nullptr, 10));
        else if (valued && !std::strcmp(argv[i], "--round-trips"))
            roundTrips = uint32_t(std::strtoul(argv[++i], nullptr, 10));
        else if (valued && !std::strcmp(argv[i], "--repeat"))
            repeat = std::max(1, std::atoi(argv[++i]));
    }
    std::signal(SIGPIPE, SIG_IGN);
    char exe[4096] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0)
        return 1;
    self = exe;
    // Each case on a domain of its own, so leftovers of one never match the next.
    const int base = 89;
    xmlPath = writeXml(base);
    const auto started = Clock::now();
    std::printf("bench_stream: reliable keep-all, no resource limits, two processes; %u samples per Cyclone stream, %u per Fast DDS "
                "stream; %u round trips; median of %d repetitions; load = 1-minute load average after each repetition (%ld CPUs)%s\n",
                samples, fastddsSamples, roundTrips, repeat, sysconf(_SC_NPROCESSORS_ONLN),
                g_pin ? "; each process pinned to one CPU (subscriber and pong on the last, publisher and ping on the first)" : "");
    std::fflush(stdout);

    enum { Plain, Ours, Ddsperf, Cyclone, Batched, PlainCyclone, PlainBatched, Cases };
    const char *names[Cases] = {"plain Fast DDS (same QoS)", "ours, Fast DDS engine", "ddsperf (16 B, batched)", "ours, Cyclone engine",
                                "ours, Cyclone batched",     "plain Cyclone (same QoS)", "plain Cyclone batched"};
    const char *impls[Cases] = {"fastdds", "ours", nullptr, "cyclone", "batched", "plaincyclone", "plainbatched"};
    std::vector<StreamFigures> runs[Cases];
    std::vector<double> ofDdsperf[Cases], cyOverOurs, oursOverPlain, cyOverPlainCy, bOverPlainB;
    for (int r = 0; r < repeat; ++r) {
        for (int c = 0; c < Cases; ++c) {
            runs[c].push_back(c == Ddsperf ? runDdsperf(base + 1, 5)
                                           : runStream(impls[c], base, c == Plain || c == Ours ? fastddsSamples : samples));
            std::fprintf(stderr, "bench_stream: repetition %d, %s: %.0f samples/s, lost %ld, load %.1f\n", r + 1, names[c], runs[c].back().rate,
                         runs[c].back().lost, runs[c].back().load);
        }
        for (int c = 0; c < Cases; ++c)
            ofDdsperf[c].push_back(runs[c][r].rate / runs[Ddsperf][r].rate);
        cyOverOurs.push_back(runs[Cyclone][r].rate / runs[Ours][r].rate);
        oursOverPlain.push_back(runs[Ours][r].rate / runs[Plain][r].rate);
        cyOverPlainCy.push_back(runs[Cyclone][r].rate / runs[PlainCyclone][r].rate);
        bOverPlainB.push_back(runs[Batched][r].rate / runs[PlainBatched][r].rate);
    }
    std::printf("\n%-27s %10s %8s %5s %8s %17s %17s %11s %9s  %s\n", "stream", "samples/s", "ddsperf", "lost", "retries", "sub RSS MB",
                "pub RSS MB", "CPU us/smp", "max gap", "load / note");
    std::printf("%-27s %10s %8s %5s %8s %17s %17s %11s %9s\n", "", "(median)", "= 1", "", "", "start/mid/end", "start/mid/end", "pub/sub",
                "ms");
    // RSS is read after malloc_trim; the repetition shown is the one whose second half grew most.
    long lostAll = 0, refusedAll = 0;
    bool rssFlat = true;
    std::string rssWhy;
    for (int c = 0; c < Cases; ++c) {
        std::vector<double> rate, cpuP, cpuS, gap, load;
        long lost = 0, retries = 0, refused = 0;
        for (const StreamFigures &f : runs[c]) {
            rate.push_back(f.rate), cpuP.push_back(f.cpuPub), cpuS.push_back(f.cpuSub), gap.push_back(f.gapMs), load.push_back(f.load);
            lost = f.lost < 0 || lost < 0 ? -1 : lost + f.lost;
            retries += f.retries, refused += f.refused;
        }
        const StreamFigures &w = worstRss(runs[c]);
        char cpu[32] = "-";
        if (!std::isnan(median(cpuP)))
            std::snprintf(cpu, sizeof cpu, "%.1f/%.1f", median(cpuP), median(cpuS));
        std::string note = "load " + loads(load);
        if (refused)
            note += ", refused writes " + std::to_string(refused);
        if (c == Ddsperf)
            note += ", " + runs[c].back().note;
        std::printf("%-27s %10.0f %8.3f %5ld %8ld %17s %17s %11s %9.1f  %s\n", names[c], median(rate), median(ofDdsperf[c]), lost, retries,
                    rssText(w.rssSub).c_str(), rssText(w.rssPub).c_str(), cpu, median(gap), note.c_str());
        lostAll = lost < 0 || lostAll < 0 ? -1 : lostAll + lost;
        refusedAll += refused;
        if (c != Ddsperf && (c == Cyclone || c == Batched) && (!w.rssSub.known() || w.rssSub.growthMb() > 1 || w.rssPub.growthMb() > 1)) {
            rssFlat = false;
            rssWhy += std::string(rssWhy.empty() ? "" : "; ") + names[c];
        }
    }
    std::fflush(stdout);

    // The programs of the streams in the same order (plain Cyclone unbatched only), then ddsperf
    // answering from a waitset and ours on Cyclone with waitsets that poll 50 us before they sleep
    // (<waitset><spin_microseconds>).
    enum { RPlain, ROurs, RDdsperf, RCyclone, RBatched, RPlainCyclone, RDdsperfWaitset, RSpin, RCases };
    const char *rnames[RCases] = {"plain Fast DDS", "ours, Fast DDS engine", "ddsperf ping (one way x 2)", "ours, Cyclone engine",
                                  "ours, Cyclone batched", "plain Cyclone (waitset)", "ddsperf ping, waitset mode", "ours, Cyclone, waits poll"};
    const char *rimpls[RCases] = {impls[0], impls[1], nullptr, impls[3], impls[4], impls[5], nullptr, "spin"};
    std::vector<Latency> rtt[RCases];
    std::vector<double> rttOfDdsperf[RCases];
    for (int r = 0; r < repeat; ++r) {
        for (int c = 0; c < RCases; ++c)
            rtt[c].push_back(c == RDdsperf          ? runDdsperfPing(base + 1, 3, "listener")
                             : c == RDdsperfWaitset ? runDdsperfPing(base + 1, 3, "waitset")
                                                    : runPing(rimpls[c], base, roundTrips));
        for (int c = 0; c < RCases; ++c)
            rttOfDdsperf[c].push_back(rtt[c][r].p50 / rtt[RDdsperf][r].p50);
    }
    std::printf("\n%-27s %10s %8s %10s %5s  %s\n", "round trip (2 processes)", "p50 us", "ddsperf", "p99 us", "lost", "load");
    double p50[RCases];
    long rttLost = 0;
    for (int c = 0; c < RCases; ++c) {
        std::vector<double> a, b, load;
        long lost = 0;
        for (const Latency &l : rtt[c]) {
            a.push_back(l.p50), b.push_back(l.p99), load.push_back(l.load);
            lost = l.lost < 0 || lost < 0 ? -1 : lost + l.lost;
        }
        p50[c] = median(a);
        rttLost = lost < 0 || rttLost < 0 ? -1 : rttLost + lost;
        std::printf("%-27s %10.1f %8.2f %10.1f %5ld  load %s\n", rnames[c], p50[c], median(rttOfDdsperf[c]), median(b), lost, loads(load).c_str());
    }

    const double cyRatio = median(ofDdsperf[Cyclone]), cyOver = median(cyOverOurs), bRatio = median(ofDdsperf[Batched]);
    const double cyRtt = median(rttOfDdsperf[RCyclone]), spinRtt = median(rttOfDdsperf[RSpin]), oursRtt = median(rttOfDdsperf[ROurs]), plainRatio = median(oursOverPlain);
    const double flushMs = (p50[RBatched] - p50[RCyclone]) / 1000;
    std::printf("\nours on Cyclone against plain Cyclone (medians of per-repetition ratios): natural QoS %.2f, batched %.2f\n",
                median(cyOverPlainCy), median(bOverPlainB));
    std::printf("\ngoals (medians of per-repetition ratios)\n");
    std::printf("  Cyclone engine, natural QoS: %.3f of ddsperf (>= 0.15) %s; %.1f x ours on Fast DDS (>= 4) %s\n", cyRatio,
                verdict(cyRatio >= 0.15), cyOver, verdict(cyOver >= 4));
    std::printf("  Cyclone engine, batched writer: %.3f of ddsperf (>= 0.5) %s\n", bRatio, verdict(bRatio >= 0.5));
    std::printf("  batched samples on the wire within 1 ms of a write with no later write: round trip (two such writes) %.2f ms above "
                "the unbatched one (<= 2) %s\n",
                flushMs, verdict(flushMs <= 2));
    std::printf("  nothing lost: %ld lost in streams, %ld writes refused after 100 tries, %ld round trips lost %s\n", lostAll, refusedAll,
                rttLost, verdict(lostAll == 0 && refusedAll == 0 && rttLost == 0));
    std::printf("  RSS flat over the %u samples of the Cyclone streams (second half grows <= 1 MB, each side, every repetition) %s%s%s\n",
                samples, verdict(rssFlat && samples >= 1000000), rssFlat ? "" : ": ", rssWhy.c_str());
    std::printf("  round-trip p50 on the Cyclone engine: %.2f of ddsperf's (<= 1.3) %s; with waits that poll %.2f %s\n", cyRtt,
                verdict(cyRtt <= 1.3), spinRtt, verdict(spinRtt <= 1.3));
    std::printf("  Fast DDS engine, its earlier goals: %.2f of plain Fast DDS (>= 0.8) %s; round trip %.2f of ddsperf's (<= 3) %s\n", plainRatio,
                verdict(plainRatio >= 0.8), oursRtt, verdict(oursRtt <= 3));
    std::printf("bench_stream took %.0f s\n", std::chrono::duration<double>(Clock::now() - started).count());
    unlink(xmlPath.c_str());
    return 0;
}
