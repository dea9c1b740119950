// What every test suite shares: log capture, waits on a condition with a deadline, and
// temporary XML files on the test's own domain.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace quelt::test {

// Where the suites find their data and programs. The build tells the support library alone, so
// that the suites compile alike in any clone (and come from the compiler cache).
struct Paths {
    std::string data, examples, peer, cyclonePeer, fastddsPeer, interopIdl;
};
const Paths &paths();
#define QUELT_TEST_DATA (::quelt::test::paths().data)
#define QUELT_EXAMPLES (::quelt::test::paths().examples)
#define QUELT_TEST_PEER (::quelt::test::paths().peer)
#define QUELT_CYCLONE_PEER (::quelt::test::paths().cyclonePeer)
#define QUELT_FASTDDS_PEER (::quelt::test::paths().fastddsPeer)
#define QUELT_INTEROP_IDL (::quelt::test::paths().interopIdl)

// Collects every line the log facility emits while it lives (lines may come from middleware
// threads), with its level, then restores the default sink.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> lines() const;
    // The level (QUELT_LOG_LEVEL_*) of each line, in the order of lines().
    std::vector<int> levels() const;
    std::string text() const;
    bool contains(const std::string &piece) const { return text().find(piece) != std::string::npos; }
    // Number of lines holding piece.
    int count(const std::string &piece) const;
    // Index of the first line holding piece, or -1.
    int lineOf(const std::string &piece) const;
    bool waitFor(const std::string &piece, std::chrono::milliseconds limit) const;
    void clear();

private:
    static void sink(const char *line, void *user);
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
    std::vector<int> levels_;
};

// Whether pred holds before limit passes; checks it often, and once more at the deadline.
bool waitUntil(const std::function<bool()> &pred, std::chrono::milliseconds limit = std::chrono::seconds(5));

std::string readFile(const std::string &path);
// Makes the participant factory read these XML files, in order; false if it refuses them.
bool useProfiles(const std::vector<std::string> &files);
std::string replaceAll(std::string text, const std::string &from, const std::string &to);

// The engine the suites run on: QUELT_TEST_ENGINE (tests only; "cyclone" or unset for fastdds).
// Under cyclone every participant a test writes that names no engine gets engine="cyclone".
bool onCyclone();
std::string withTestEngine(const std::string &xml);

// A test of what only Fast DDS does, or one that names its engines itself (it runs alike in
// both registrations, which must not share its domain): skipped on the Cyclone registration.
#define QUELT_SKIP_ON_CYCLONE(why) \
    if (::quelt::test::onCyclone()) GTEST_SKIP() << why

// A temporary file holding text, with every domain_id="0" replaced by the test's own id (when
// domainId >= 0) and the test engine applied; removed with the object. The file name ends with
// extension.
class TempXml {
public:
    explicit TempXml(const std::string &text, int domainId = -1, const char *extension = ".xml");
    ~TempXml();
    TempXml(const TempXml &) = delete;
    TempXml &operator=(const TempXml &) = delete;
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

} // namespace quelt::test
