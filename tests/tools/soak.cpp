// quelt_soak [N] [--domain D] [--rate R] [--no-rss-check] [--timeout S]
// N reliable keep-all samples, numbered 0..N-1, through the connector's exported functions from a
// publishing process (this program again, spawned) to this one. The last line is
//   N sent, N received, 0 lost, 0 duplicated, RSS start A KiB end B KiB
// (the receiving process's RSS once a tenth of the samples is in, and at the end); the exit status
// is non-zero on any loss, duplicate, failed write or RSS growth above 10 % in either process.
#include "quelt_dds_connector.h"

#include "support/peer.h"
#include "support/support.h"

#include <dds/dds_domain.h>
#include <dds/dds_log.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char *const kWriter = "Pub::NumberedWriter";
const char *const kReader = "Sub::NumberedReader";

long rssKib()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Lines logged while writing (errors only, at the default verbosity): a write that logs failed.
std::atomic<long> g_errorLines{0};

bool grewTooMuch(long start, long end) { return start > 0 && end > start + start / 10; }
double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The publishing process: waits for the subscriber, writes N samples at the rate asked (0: as
// fast as writes return), then stays until the subscriber closes its stdin.
int publish(const char *xml, long n, double rate)
{
    QueltLog_setSink([](const char *line, void *) { ++g_errorLines, std::fputs(line, stderr); }, nullptr);
    QueltDDSConnector *c = QueltDDSConnector_new("SoakLib::Publisher", xml, nullptr);
    if (!c)
        return 2;
    DDS_DataWriter *w = QueltDDSConnector_getWriter(c, kWriter);
    DDS_PublicationMatchedStatus matched{};
    if (!quelt::test::waitUntil([&] { return DDS_DataWriter_get_publication_matched_status(w, &matched) == DDS_RETCODE_OK &&
                                             matched.current_count > 0; },
                                std::chrono::seconds(30))) {
        std::fprintf(stderr, "publisher: no subscriber matched within 30 s\n");
        QueltDDSConnector_delete(c);
        return 2;
    }
    const auto start = Clock::now();
    long rssStart = -1, failed = 0;
    for (long i = 0; i < n; ++i) {
        if (rate > 0)
            std::this_thread::sleep_until(start + std::chrono::duration<double>(i / rate));
        if (i == n / 10)
            rssStart = rssKib();
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "n", static_cast<double>(i));
        QueltDDSConnector_setStringIntoSamples(c, kWriter, "text", (i % 2) ? "odd" : "even");
        const long before = g_errorLines;
        QueltDDSConnector_write(c, kWriter, nullptr);
        if (g_errorLines != before)
            ++failed;
    }
    std::printf("%ld %ld %ld %ld %.3f\n", n - failed, failed, rssStart, rssKib(), secondsSince(start));
    std::fflush(stdout);
    // Samples not yet acknowledged go with the writer: stay until the subscriber is done.
    pollfd p = {0, POLLIN, 0};
    poll(&p, 1, 600000);
    QueltDDSConnector_delete(c);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--publish") == 0)
        return publish(argv[2], std::atol(argv[3]), std::atof(argv[4]));
    struct {
        long n = 1000000;
        int domain = 0;
        double rate = 0, timeout = 0; // timeout 0: from N
        bool rssCheck = true;
    } o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--domain" && i + 1 < argc)
            o.domain = std::atoi(argv[++i]);
        else if (a == "--rate" && i + 1 < argc)
            o.rate = std::atof(argv[++i]);
        else if (a == "--timeout" && i + 1 < argc)
            o.timeout = std::atof(argv[++i]);
        else if (a == "--no-rss-check")
            o.rssCheck = false;
        else if (!a.empty() && a[0] != '-' && (o.n = std::atol(a.c_str())) > 0)
            continue;
        else {
            std::fprintf(stderr, "usage: %s [N] [--domain D] [--rate SAMPLES_PER_S] [--timeout S] [--no-rss-check]\n", argv[0]);
            return 2;
        }
    }
    // Bounded in time: at least a minute, or 2,000 samples a second, whichever is longer.
    const double limit = o.timeout > 0 ? o.timeout : std::max(60.0, o.n / 2000.0);

    const quelt::test::TempXml xml(quelt::test::readFile(QUELT_TEST_DATA + "/soak.xml"), o.domain);
    QueltDDSConnector *c = QueltDDSConnector_new("SoakLib::Subscriber", xml.path(), nullptr);
    if (!c)
        return 2;
    quelt::test::Peer publisher;
    if (!publisher.start({"/proc/self/exe", "--publish", xml.path(), std::to_string(o.n), std::to_string(o.rate)})) {
        std::fprintf(stderr, "cannot start the publisher\n");
        QueltDDSConnector_delete(c);
        return 2;
    }

    std::vector<unsigned char> seen(static_cast<size_t>(o.n), 0);
    long received = 0, duplicated = 0, outOfRange = 0, rssStart = -1;
    const auto start = Clock::now();
    auto lastData = start, firstData = start;
    int progressStep = 1;
    while (received < o.n) {
        const bool late = secondsSince(start) > limit;
        if (late || (received > 0 && secondsSince(lastData) > 20)) {
            std::fprintf(stderr, late ? "time limit of %.0f s reached\n" : "nothing received for 20 s\n", limit);
            break;
        }
        if (QueltDDSConnector_wait(c, 500) != DDS_RETCODE_OK)
            continue;
        QueltDDSConnector_take(c, kReader);
        const int count = static_cast<int>(QueltDDSConnector_getSamplesLength(c, kReader));
        for (int i = 1; i <= count; ++i) {
            if (!QueltDDSConnector_getBooleanFromInfos(c, kReader, i, "valid_data"))
                continue;
            const double v = QueltDDSConnector_getNumberFromSamples(c, kReader, i, "n");
            if (!(v >= 0 && v < static_cast<double>(o.n) && v == std::floor(v)))
                ++outOfRange;
            else if (std::exchange(seen[static_cast<size_t>(v)], 1))
                ++duplicated;
            else if (received++ == 0)
                firstData = Clock::now();
        }
        if (count > 0)
            lastData = Clock::now();
        if (rssStart < 0 && received >= o.n / 10)
            rssStart = rssKib();
        if (received >= o.n * progressStep / 10 && progressStep < 10) {
            std::fprintf(stderr, "%ld received\n", received);
            ++progressStep;
        }
    }
    const double seconds = secondsSince(firstData);
    const long rssEnd = rssKib();

    // The publisher's figures, then let it go.
    long sent = 0, failed = 0, pubRssStart = -1, pubRssEnd = -1;
    double pubSeconds = 0;
    std::sscanf(publisher.line(std::chrono::seconds(10)).c_str(), "%ld %ld %ld %ld %lf", &sent, &failed, &pubRssStart,
                &pubRssEnd, &pubSeconds);
    const int status = publisher.finish();
    QueltDDSConnector_delete(c);

    const long lost = o.n - received;
    std::printf("publisher: %ld written, %ld writes failed in %.2f s (%.0f samples/s), RSS start %ld KiB end %ld KiB\n",
                sent, failed, pubSeconds, pubSeconds > 0 ? sent / pubSeconds : 0.0, pubRssStart, pubRssEnd);
    std::printf("subscriber: %.2f s from first to last sample (%.0f samples/s), %ld out of range\n", seconds,
                seconds > 0 ? received / seconds : 0.0, outOfRange);
    std::printf("%ld sent, %ld received, %ld lost, %ld duplicated, RSS start %ld KiB end %ld KiB\n", sent, received, lost,
                duplicated, rssStart, rssEnd);
    const bool rssBad = o.rssCheck && (grewTooMuch(rssStart, rssEnd) || grewTooMuch(pubRssStart, pubRssEnd));
    const bool publisherBad = !WIFEXITED(status) || WEXITSTATUS(status) != 0 || sent != o.n;
    return (lost || duplicated || outOfRange || rssBad || publisherBad) ? 1 : 0;
}
