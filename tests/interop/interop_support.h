// Shared by the interoperability tests: the cyclone_peer child process, the expected lines of a
// run and their comparison, and copies of tests/data/interop.xml on a test's own domain.
#pragma once

#include "interop_lines.h"

#include "dds/dds_domain.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace quelt::interop {


constexpr int kPeerTimeoutS = 30;

// A cyclone_peer child process with its stdin and stdout on pipes. Killed if the test ends early.
class Peer {
  public:
    Peer(const std::vector<std::string> &args)
    {
        // A peer that died must fail the test, not kill it on the next write to its stdin.
        signal(SIGPIPE, SIG_IGN);
        int out[2], in[2];
        if (pipe(out) != 0)
            return;
        if (pipe(in) != 0) {
            close(out[0]);
            close(out[1]);
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        // Fast DDS opens its sockets without close-on-exec: a peer that inherited them would
        // hold our participant's ports open after we close them.
        posix_spawn_file_actions_addclosefrom_np(&fa, STDERR_FILENO + 1);
        std::vector<std::string> all{QUELT_CYCLONE_PEER};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(in[0]);
        out_ = out[0];
        in_ = in[1];
    }
    ~Peer()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
        if (in_ >= 0)
            close(in_);
    }
    bool started() const { return pid_ > 0 && out_ >= 0 && in_ >= 0; }

    // Reads lines until `want` comes, at most timeout_s seconds without any output. Other lines
    // are kept for finish().
    bool wait_for_line(const std::string &want, int timeout_s)
    {
        for (;;) {
            size_t nl;
            while ((nl = pending_.find('\n')) != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                bool found = line == want;
                keep(line);
                if (found)
                    return true;
            }
            pollfd p{out_, POLLIN, 0};
            int r = poll(&p, 1, timeout_s * 1000);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0 || !read_some())
                return false;
        }
    }

    bool send(const std::string &text) { return write(in_, text.data(), text.size()) == ssize_t(text.size()); }

    // Reads stdout to its end (the peer exits by itself, on success or on its own timeout), then
    // reaps the process. Returns its exit status, -1 if it did not exit normally. Comment lines
    // are left out of `lines`.
    int finish(std::vector<std::string> &lines)
    {
        while (read_some()) {
        }
        std::istringstream in(pending_);
        pending_.clear();
        for (std::string line; std::getline(in, line);)
            keep(line);
        lines = lines_;
        int status = 0;
        pid_t r = waitpid(pid_, &status, 0);
        pid_ = -1;
        return r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    bool read_some()
    {
        char buf[4096];
        for (;;) {
            ssize_t n = read(out_, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            pending_.append(buf, size_t(n));
            return true;
        }
    }
    void keep(const std::string &line)
    {
        if (!line.empty() && line[0] != '#')
            lines_.push_back(line);
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
};

inline std::vector<std::string> expected_lines(bool shape, uint32_t count)
{
    std::vector<std::string> v;
    char line[1024];
    for (uint32_t i = 0; i <= count; ++i) {
        interop_expected_line(shape, count, i, line, sizeof line);
        v.emplace_back(line);
    }
    return v;
}

inline ::testing::AssertionResult lines_agree(const std::vector<std::string> &expected, const std::vector<std::string> &actual)
{
    std::vector<const char *> e, a;
    for (const std::string &s : expected)
        e.push_back(s.c_str());
    for (const std::string &s : actual)
        a.push_back(s.c_str());
    char why[4096];
    if (interop_lines_agree(e.data(), e.size(), a.data(), a.size(), why, sizeof why))
        return ::testing::AssertionSuccess();
    std::string all;
    for (const std::string &s : actual)
        all += "\n    " + s;
    return ::testing::AssertionFailure() << why << "\n  all received lines:" << all;
}

// Waits until the writer has matched `count` readers (ours and the peer's). Bounded by the
// peer's own timeout: a peer that never comes makes the test fail, not hang.
inline bool wait_matched(DDS_DataWriter *w, int count)
{
    for (int i = 0; i < kPeerTimeoutS * 100; ++i) {
        DDS_PublicationMatchedStatus st;
        if (DDS_DataWriter_get_publication_matched_status(w, &st) == DDS_RETCODE_OK && st.current_count >= count)
            return true;
        usleep(10000);
    }
    return false;
}

inline bool wait_matched(DDS_DataReader *r, int count)
{
    for (int i = 0; i < kPeerTimeoutS * 100; ++i) {
        DDS_SubscriptionMatchedStatus st;
        if (DDS_DataReader_get_subscription_matched_status(r, &st) == DDS_RETCODE_OK && st.current_count >= count)
            return true;
        usleep(10000);
    }
    return false;
}

// tests/data/interop.xml with its domain_id replaced by the test's own, in a temporary file.
class InteropXml {
  public:
    explicit InteropXml(int domain)
    {
        std::ifstream in(QUELT_INTEROP_XML);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string xml = ss.str();
        const std::string from = "domain_id=\"150\"";
        size_t at = xml.find(from);
        if (at == std::string::npos) {
            err_ = "no domain_id=\"150\" in " QUELT_INTEROP_XML;
            return;
        }
        xml.replace(at, from.size(), "domain_id=\"" + std::to_string(domain) + "\"");
        path_ = (std::filesystem::temp_directory_path() /
                 ("quelt_interop_" + std::to_string(domain) + "_" + std::to_string(getpid()) + ".xml"))
                    .string();
        std::ofstream(path_) << xml;
    }
    ~InteropXml()
    {
        if (!path_.empty())
            std::filesystem::remove(path_);
    }
    InteropXml(const InteropXml &) = delete;
    InteropXml &operator=(const InteropXml &) = delete;
    const std::string &path() const { return path_; }
    const std::string &error() const { return err_; }

  private:
    std::string path_;
    std::string err_;
};

} // namespace quelt::interop
