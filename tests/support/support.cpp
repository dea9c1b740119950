#include "support/support.h"

#include "dds/dds_domain.h"
#include "dds/dds_log.h"
#include "dds/dds_string.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace quelt::test {

const Paths &paths()
{
    static const Paths p{QUELT_DIR_DATA, QUELT_DIR_EXAMPLES, QUELT_PROGRAM_PEER, QUELT_PROGRAM_CYCLONE_PEER, QUELT_PROGRAM_FASTDDS_PEER,
                         QUELT_DIR_INTEROP_IDL};
    return p;
}

LogCapture::LogCapture() { QueltLog_setSink(&LogCapture::sink, this); }
LogCapture::~LogCapture() { QueltLog_setSink(nullptr, nullptr); }

void LogCapture::sink(const char *line, void *user)
{
    auto *self = static_cast<LogCapture *>(user);
    std::lock_guard<std::mutex> g(self->lock_);
    self->lines_.emplace_back(line);
    self->levels_.push_back(QueltLog_level());
}

std::vector<std::string> LogCapture::lines() const
{
    std::lock_guard<std::mutex> g(lock_);
    return lines_;
}

std::vector<int> LogCapture::levels() const
{
    std::lock_guard<std::mutex> g(lock_);
    return levels_;
}

std::string LogCapture::text() const
{
    std::string all;
    for (const std::string &l : lines())
        all += l;
    return all;
}

int LogCapture::count(const std::string &piece) const
{
    int n = 0;
    for (const std::string &l : lines())
        n += l.find(piece) != std::string::npos;
    return n;
}

int LogCapture::lineOf(const std::string &piece) const
{
    const auto all = lines();
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].find(piece) != std::string::npos)
            return static_cast<int>(i);
    return -1;
}

bool LogCapture::waitFor(const std::string &piece, std::chrono::milliseconds limit) const
{
    return waitUntil([&] { return contains(piece); }, limit);
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> g(lock_);
    lines_.clear();
    levels_.clear();
}

bool waitUntil(const std::function<bool()> &pred, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool useProfiles(const std::vector<std::string> &files)
{
    DDS_DomainParticipantFactory *f = DDS_DomainParticipantFactory_get_instance();
    DDS_DomainParticipantFactoryQos q;
    DDS_DomainParticipantFactoryQos_initialize(&q);
    const DDS_Long n = static_cast<DDS_Long>(files.size());
    DDS_StringSeq_ensure_length(&q.profile.url_profile, n, n);
    for (DDS_Long i = 0; i < n; ++i)
        *DDS_StringSeq_get_reference(&q.profile.url_profile, i) = DDS_String_dup(files[i].c_str());
    const bool ok = DDS_DomainParticipantFactory_set_qos(f, &q) == DDS_RETCODE_OK;
    DDS_DomainParticipantFactoryQos_finalize(&q);
    return ok;
}

std::string replaceAll(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

bool onCyclone()
{
    const char *e = std::getenv("QUELT_TEST_ENGINE");
    return e && std::string(e) == "cyclone";
}

std::string withTestEngine(const std::string &xml)
{
    static const std::regex participant(R"(<domain_participant(\s)(?![^>]*\bengine=))");
    return onCyclone() ? std::regex_replace(xml, participant, "<domain_participant engine=\"cyclone\"$1") : xml;
}

// The Cyclone registration's own ports (tests/CMakeLists.txt), for this process and its peers.
[[maybe_unused]] const bool g_cyclonePorts = onCyclone() && setenv("CYCLONEDDS_URI", QUELT_CYCLONE_TEST_CONFIG, 0) == 0;

TempXml::TempXml(const std::string &text, int domainId, const char *extension)
{
    static std::atomic<int> serial{0};
    path_ = "/tmp/quelt_test_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + extension;
    std::ofstream(path_) << withTestEngine(domainId < 0 ? text
                                                        : replaceAll(text, "domain_id=\"0\"", "domain_id=\"" + std::to_string(domainId) + "\""));
}

TempXml::~TempXml() { unlink(path_.c_str()); }

} // namespace quelt::test
