// Two-process streams, as a user measures them: a publisher process sets the 4 members of a
// ShapeType and writes as fast as it can, a subscriber process waits, takes and gets the 4
// members of every sample. Three cases in the same run, each in samples/s with every sample
// counted: plain Fast DDS with a hand-written type and the same QoS, Cyclone DDS's ddsperf
// (16-byte samples, reliable), and ours through the exported functions. Then round trips between
// two processes, ours against plain Fast DDS and ddsperf ping. Every process is this program
// (or ddsperf), started by the driver and told what to do on its command line; they talk to the
// driver in lines on their standard input and output.
//
// Goals: ours at least 0.10 of ddsperf's reliable rate and 0.8 of plain Fast DDS, nothing lost;
// round-trip p50 at most 3 times ddsperf's; RSS flat on both sides.
#include "fastdds_baseline.h"

#include "quelt_dds_connector.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
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

long rssKb()
{
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
};

Endpoint oursEndpoint(QueltDDSConnector *c)
{
    Endpoint e;
    e.write = [c](int32_t x) {
        QueltDDSConnector_setStringIntoSamples(c, "Pub::Writer", "color", "BLUE");
        QueltDDSConnector_setNumberIntoSamples(c, "Pub::Writer", "x", x);
        QueltDDSConnector_setNumberIntoSamples(c, "Pub::Writer", "y", x / 2);
        QueltDDSConnector_setNumberIntoSamples(c, "Pub::Writer", "shapesize", 30);
        QueltDDSConnector_write(c, "Pub::Writer", nullptr); // a refused write is logged
        return true;
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
    return Endpoint{[&f](int32_t x) { return f.write(x); }, [&f](std::vector<int32_t> &xs, int ms) { return f.wait_take(xs, ms); }};
}

// Publisher: warm-up samples (x = -1) until the driver says "go" (the subscriber has one), then
// `samples` samples x = 0..samples-1. Reports "written W refused F rss R0 R1 R2" (kB at the start,
// after a tenth, at the end) and stays until "done".
int rolePublisher(Endpoint e, uint32_t samples)
{
    bool go = false;
    for (int i = 0; i < 3000 && !go; ++i) {
        e.write(-1);
        go = lineIn(10) == "go";
    }
    if (!go)
        return 2;
    uint64_t refused = 0;
    const long rss0 = rssKb();
    long rss1 = rss0;
    for (uint32_t i = 0; i < samples; ++i) {
        if (!e.write(static_cast<int32_t>(i)))
            ++refused;
        if (i == samples / 10)
            rss1 = rssKb();
    }
    std::ostringstream out;
    out << "written " << samples << " refused " << refused << " rss " << rss0 << ' ' << rss1 << ' ' << rssKb();
    say(out.str());
    lineIn(60000);
    return 0;
}

// Subscriber: says "warm" at the first warm-up sample, then counts distinct x until all arrived
// or nothing came for 5 s. Reports "received R lost L seconds S gap G rss R0 R1 R2": S from the
// first counted sample to the last, G the longest wait between two takes that had data (ms).
int roleSubscriber(Endpoint e, uint32_t samples)
{
    std::vector<bool> seen(samples, false);
    std::vector<int32_t> xs;
    uint32_t distinct = 0;
    bool warm = false;
    Clock::time_point first{}, last{}, lastData = Clock::now();
    double gapMs = 0;
    long rss0 = 0, rss1 = 0;
    while (distinct < samples) {
        xs.clear();
        const long n = e.waitTake(xs, 200);
        const auto now = Clock::now();
        if (n <= 0) {
            if (now - lastData > std::chrono::seconds(warm ? 5 : 30))
                break;
            continue;
        }
        for (int32_t x : xs) {
            if (x < 0) {
                if (!warm)
                    say("warm"), rss0 = rssKb();
                warm = true;
                continue;
            }
            if (static_cast<uint32_t>(x) < samples && !seen[x]) {
                seen[x] = true;
                if (distinct++ == 0)
                    first = now;
                if (distinct == samples / 10)
                    rss1 = rssKb();
                last = now;
            }
        }
        if (distinct > 0)
            gapMs = std::max(gapMs, std::chrono::duration<double, std::milli>(now - lastData).count());
        lastData = now;
    }
    std::ostringstream out;
    out << "received " << distinct << " lost " << (samples - distinct) << " seconds "
        << std::chrono::duration<double>(last - first).count() << " gap " << gapMs << " rss " << rss0 << ' ' << rss1 << ' '
        << rssKb();
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
        std::vector<char *> argv;
        for (const std::string &a : args)
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

struct StreamFigures {
    double rate = 0;  // samples/s
    long lost = -1;
    double gapMs = 0;
    std::string rssSub, rssPub;
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

std::string rssOf(const std::string &line)
{
    const size_t at = line.find("rss ");
    if (at == std::string::npos)
        return "?";
    std::istringstream in(line.substr(at + 4));
    long a = 0, b = 0, c = 0;
    in >> a >> b >> c;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%ld/%ld MB", b / 1024, c / 1024);
    return buf;
}

std::string self;
std::string xmlPath;

StreamFigures runStream(const char *impl, int domain, uint32_t samples)
{
    StreamFigures f;
    const std::string d = std::to_string(domain), n = std::to_string(samples);
    Child sub, pub;
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
    f.rate = field(subLine, "received") / field(subLine, "seconds");
    f.lost = long(field(subLine, "lost"));
    f.gapMs = field(subLine, "gap");
    f.rssSub = rssOf(subLine);
    f.rssPub = rssOf(pubLine);
    if (field(pubLine, "refused") > 0)
        f.note = "refused writes " + std::to_string(long(field(pubLine, "refused")));
    return f;
}

// ddsperf's reliable 16-byte stream: the subscriber's per-second "rate X kS/s" lines, the full
// seconds only (the first and the last are partial); lost from its final "lost" count.
StreamFigures runDdsperf(int domain, int seconds)
{
    StreamFigures f;
    const std::string d = std::to_string(domain);
    Child sub, pub;
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
    return f;
}

struct Latency {
    double p50 = NAN, p99 = NAN;
    long lost = -1;
};

Latency runPing(const char *impl, int domain, uint32_t roundTrips)
{
    Latency r;
    const std::string d = std::to_string(domain);
    Child pong, ping;
    if (!pong.start({self, "--role", std::string(impl) + "-pong", d, "0", xmlPath}) || pong.line(30000) != "ready" ||
        !ping.start({self, "--role", std::string(impl) + "-ping", d, std::to_string(roundTrips), xmlPath}))
        return r;
    const std::string l = ping.line(120000);
    pong.send("done\n");
    r.p50 = field(l, "p50"), r.p99 = field(l, "p99"), r.lost = long(field(l, "lost"));
    return r;
}

// ddsperf ping against ddsperf pong: the medians and 99th percentiles of its per-second lines,
// doubled: ddsperf prints half the round trip.
Latency runDdsperfPing(int domain, int seconds)
{
    Latency r;
    const std::string d = std::to_string(domain);
    Child pong, ping;
    if (!pong.start({"ddsperf", "-i", d, "-D", std::to_string(seconds + 2), "pong"}))
        return r;
    usleep(300000);
    ping.start({"ddsperf", "-i", d, "-D", std::to_string(seconds), "ping"});
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
    r.p50 = 2 * median(p50), r.p99 = 2 * median(p99), r.lost = 0;
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
    // ours-*: the Fast DDS engine; cyclone-*, batched-*: the Cyclone DDS engine.
    const std::string impl = r.substr(0, r.find('-'));
    const bool ours = impl == "ours" || impl == "cyclone" || impl == "batched";
    const std::string what = r.substr(r.find('-') + 1);
    const std::string prefix = impl == "cyclone" ? "Cyclone" : impl == "batched" ? "Batched" : "";
    const std::string config = "StreamLib::" + prefix +
                               (what == "pub" ? "Publisher" : what == "sub" ? "Subscriber" : what == "ping" ? "Ping" : "Pong");
    QueltDDSConnector *c = nullptr;
    FastddsStreamEndpoint fastdds;
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
        if (!fastdds.open(domain, w, rd, sameAsOurs(), err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            return 3;
        }
        e = fastddsEndpoint(fastdds);
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

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--role") == 0)
        return role(argc, argv);
    uint32_t samples = 200000, roundTrips = 5000;
    int repeat = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--samples"))
            samples = uint32_t(std::strtoul(argv[i + 1], nullptr, 10));
        else if (!std::strcmp(argv[i], "--round-trips"))
            roundTrips = uint32_t(std::strtoul(argv[i + 1], nullptr, 10));
        else if (!std::strcmp(argv[i], "--repeat"))
            repeat = std::atoi(argv[i + 1]);
    }
    std::signal(SIGPIPE, SIG_IGN);
    char exe[4096] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0)
        return 1;
    self = exe;
    // Each case on a domain of its own, so leftovers of one never match the next.
    const int base = 89;
    xmlPath = writeXml(base);
    std::printf("bench_stream: %u samples per stream, reliable keep-all, no resource limits; %u round trips\n", samples, roundTrips);
    std::printf("%-30s %12s %8s %10s %14s %14s  %s\n", "stream", "samples/s", "lost", "max gap ms", "sub RSS 10%/end", "pub RSS 10%/end", "note");
    for (int run = 0; run < repeat; ++run) {
        const StreamFigures fd = runStream("fastdds", base, samples);
        const bool only = std::getenv("QUELT_STREAM_ONLY_PLAIN") != nullptr;
        const StreamFigures dp = only ? StreamFigures{} : runDdsperf(base + 1, 5);
        const StreamFigures us = only ? StreamFigures{} : runStream("ours", base, samples);
        const StreamFigures cy = only ? StreamFigures{} : runStream("cyclone", base, samples);
        const StreamFigures cb = only ? StreamFigures{} : runStream("batched", base, samples);
        auto row = [](const char *name, const StreamFigures &f) {
            std::printf("%-30s %12.0f %8ld %10.1f %14s %14s  %s\n", name, f.rate, f.lost, f.gapMs, f.rssSub.c_str(), f.rssPub.c_str(), f.note.c_str());
        };
        row("plain Fast DDS (same QoS)", fd);
        row("ddsperf 16 B reliable", dp);
        row("ours (exported functions)", us);
        row("ours on Cyclone DDS", cy);
        row("ours on Cyclone DDS, batched", cb);
        std::printf("%-30s ours/ddsperf %.3f (goal >= 0.10), ours/Fast DDS %.2f (goal >= 0.8)\n", "ratios", us.rate / dp.rate, us.rate / fd.rate);
        std::printf("%-30s Cyclone/ddsperf %.3f (goal >= 0.15), Cyclone/ours on Fast DDS %.1f (goal >= 4), batched/ddsperf %.3f (goal >= 0.5)\n",
                    "", cy.rate / dp.rate, cy.rate / us.rate, cb.rate / dp.rate);
        std::fflush(stdout);
    }
    std::printf("\n%-30s %10s %10s %8s\n", "round trip (2 processes)", "p50 us", "p99 us", "lost");
    for (int run = 0; run < repeat; ++run) {
        const Latency fd = runPing("fastdds", base, roundTrips);
        const Latency dp = runDdsperfPing(base + 1, 3);
        const Latency us = runPing("ours", base, roundTrips);
        const Latency cy = runPing("cyclone", base, roundTrips);
        auto row = [](const char *name, const Latency &l) { std::printf("%-30s %10.1f %10.1f %8ld\n", name, l.p50, l.p99, l.lost); };
        row("plain Fast DDS", fd);
        row("ddsperf ping", dp);
        row("ours", us);
        row("ours on Cyclone DDS", cy);
        std::printf("%-30s ours/ddsperf p50 %.2f (goal <= 3), Cyclone/ddsperf p50 %.2f (goal <= 1.3)\n", "ratio", us.p50 / dp.p50, cy.p50 / dp.p50);
        std::fflush(stdout);
    }
    unlink(xmlPath.c_str());
    return 0;
}
