// quelt_soak [N] [--domain D] [--rate R] [--no-rss-check] [--timeout S]
// N reliable keep-all samples, numbered 0..N-1, through the connector's exported functions from a
// publishing process (this program again, spawned) to this one. The last line is
//   N sent, N received, 0 lost, 0 duplicated, RSS start A KiB end B KiB
// (the receiving process's RSS once a tenth of the samples is in, and at the end); the exit status
// is non-zero on any loss, duplicate, failed write or RSS growth above 10 % in either process.
#include "quelt_dds_connector.h"

#include "support/peer.h"

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
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char *const kWriter = "Pub::NumberedWriter";
const char *const kReader = "Sub::NumberedReader";

std::string configXml(int domain)
{
    return R"(<dds>
  <types>
    <struct name="Numbered">
      <member name="n" type="int64"/>
      <member name="text" type="string" stringMaxLength="64"/>
    </struct>
  </types>
  <qos_library name="SoakQos">
    <qos_profile name="ReliableKeepAll">
      <datawriter_qos>
        <reliability><kind>RELIABLE_RELIABILITY_QOS</kind></reliability>
        <history><kind>KEEP_ALL_HISTORY_QOS</kind></history>
      </datawriter_qos>
      <datareader_qos>
        <reliability><kind>RELIABLE_RELIABILITY_QOS</kind></reliability>
        <history><kind>KEEP_ALL_HISTORY_QOS</kind></history>
      </datareader_qos>
    </qos_profile>
  </qos_library>
  <domain_library name="SoakDomains">
    <domain name="Soak" domain_id=")" +
           std::to_string(domain) + R"(">
      <register_type name="Numbered" type_ref="Numbered"/>
      <topic name="Numbers" register_type_ref="Numbered"/>
    </domain>
  </domain_library>
  <domain_participant_library name="SoakLib">
    <domain_participant name="Publisher" domain_ref="SoakDomains::Soak">
      <publisher name="Pub">
        <data_writer name="NumberedWriter" topic_ref="Numbers"><datawriter_qos base_name="SoakQos::ReliableKeepAll"/></data_writer>
      </publisher>
    </domain_participant>
    <domain_participant name="Subscriber" domain_ref="SoakDomains::Soak">
      <subscriber name="Sub">
        <data_reader name="NumberedReader" topic_ref="Numbers"><datareader_qos base_name="SoakQos::ReliableKeepAll"/></data_reader>
      </subscriber>
    </domain_participant>
  </domain_participant_library>
</dds>
)";
}

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
void countingSink(const char *line, void *)
{
    ++g_errorLines;
    std::fputs(line, stderr);
}

bool grewTooMuch(long start, long end) { return start > 0 && end > start + start / 10; }

// The publishing process: waits for the subscriber, writes N samples at the rate asked (0: as
// fast as writes return), then stays until the subscriber closes its stdin.
int publish(const char *xml, long n, double rate)
{
    QueltLog_setSink(&countingSink, nullptr);
    QueltDDSConnector *c = QueltDDSConnector_new("SoakLib::Publisher", xml, nullptr);
    if (!c)
        return 2;
    DDS_DataWriter *w = QueltDDSConnector_getWriter(c, kWriter);
    DDS_PublicationMatchedStatus matched{};
    for (int i = 0; i < 3000 && matched.current_count < 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        DDS_DataWriter_get_publication_matched_status(w, &matched);
    }
    if (matched.current_count < 1) {
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
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long rssEnd = rssKib();
    std::printf("%ld %ld %ld %ld %.3f\n", n - failed, failed, rssStart, rssEnd, seconds);
    std::fflush(stdout);
    // Samples not yet acknowledged go with the writer: stay until the subscriber is done.
    pollfd p = {0, POLLIN, 0};
    poll(&p, 1, 600000);
    QueltDDSConnector_delete(c);
    return 0;
}

struct Options {
    long n = 1000000;
    int domain = 0;
    double rate = 0;
    bool rssCheck = true;
    double timeout = 0; // 0: from N
};

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--publish") == 0)
        return publish(argv[2], std::atol(argv[3]), std::atof(argv[4]));
    Options o;
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
        else if (!a.empty() && a[0] != '-')
            o.n = std::atol(a.c_str());
        else {
            std::fprintf(stderr, "usage: %s [N] [--domain D] [--rate SAMPLES_PER_S] [--timeout S] [--no-rss-check]\n", argv[0]);
            return 2;
        }
    }
    if (o.n <= 0)
        return 2;
    // Bounded in time: at least a minute, or 2,000 samples a second, whichever is longer.
    const double limit = o.timeout > 0 ? o.timeout : std::max(60.0, o.n / 2000.0);

    const std::string xml = "/tmp/quelt_soak_" + std::to_string(getpid()) + ".xml";
    std::ofstream(xml) << configXml(o.domain);
    QueltDDSConnector *c = QueltDDSConnector_new("SoakLib::Subscriber", xml.c_str(), nullptr);
    if (!c) {
        unlink(xml.c_str());
        return 2;
    }

    quelt::test::Peer publisher;
    if (!publisher.start({"/proc/self/exe", "--publish", xml, std::to_string(o.n), std::to_string(o.rate)})) {
        std::fprintf(stderr, "cannot start the publisher\n");
        QueltDDSConnector_delete(c);
        unlink(xml.c_str());
        return 2;
    }

    std::vector<unsigned char> seen(static_cast<size_t>(o.n), 0);
    long received = 0, duplicated = 0, outOfRange = 0, rssStart = -1;
    const auto start = Clock::now();
    auto lastData = start;
    auto firstData = start;
    int progressStep = 1;
    while (received < o.n) {
        const auto now = Clock::now();
        if (std::chrono::duration<double>(now - start).count() > limit) {
            std::fprintf(stderr, "time limit of %.0f s reached\n", limit);
            break;
        }
        if (received > 0 && std::chrono::duration<double>(now - lastData).count() > 20) {
            std::fprintf(stderr, "nothing received for 20 s\n");
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
            if (!(v >= 0 && v < static_cast<double>(o.n) && v == std::floor(v))) {
                ++outOfRange;
                continue;
            }
            unsigned char &s = seen[static_cast<size_t>(v)];
            if (s) {
                ++duplicated;
                continue;
            }
            s = 1;
            if (received++ == 0)
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
    const double seconds = std::chrono::duration<double>(Clock::now() - firstData).count();
    const long rssEnd = rssKib();

    // The publisher's figures, then let it go.
    long sent = 0, failed = 0, pubRssStart = -1, pubRssEnd = -1;
    double pubSeconds = 0;
    std::sscanf(publisher.line(std::chrono::seconds(10)).c_str(), "%ld %ld %ld %ld %lf", &sent, &failed, &pubRssStart,
                &pubRssEnd, &pubSeconds);
    const int status = publisher.finish();
    QueltDDSConnector_delete(c);
    unlink(xml.c_str());

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
