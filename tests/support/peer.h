// A second process of a test, with its standard input and output as pipes to the test: lines go
// in, lines come out, each read bounded by a deadline. Killed (if still running) and reaped on
// every way out of the test, so that a failed assertion never leaves a peer behind.
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace quelt::test {

class Peer {
public:
    Peer() = default;
    Peer(const std::vector<std::string> &argv, const std::vector<std::string> &env = {}) { start(argv, env); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;
    ~Peer() { kill(); }

    // argv[0] is the program; env entries come before ours. SIGPIPE is ignored from then on, so
    // that a peer that died fails the test instead of killing it.
    bool start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {})
    {
        std::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        if (pipe(in) != 0)
            return false;
        if (pipe(out) != 0) {
            close(in[0]), close(in[1]);
            return false;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        // Fast DDS opens its sockets without close-on-exec: a peer that inherited them would hold
        // our participant's ports open after we close them.
        posix_spawn_file_actions_addclosefrom_np(&fa, 3);
        std::vector<std::string> args(argv), envText(env);
        for (char **e = environ; *e; ++e)
            envText.emplace_back(*e);
        std::vector<char *> a, e;
        for (std::string &s : args)
            a.push_back(s.data());
        for (std::string &s : envText)
            e.push_back(s.data());
        a.push_back(nullptr), e.push_back(nullptr);
        if (posix_spawn(&pid_, a[0], &fa, nullptr, a.data(), e.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]), close(out[1]);
        toPeer_ = in[1], fromPeer_ = out[0];
        return pid_ > 0;
    }
    pid_t pid() const { return pid_; }

    bool say(const std::string &line)
    {
        const std::string l = line + "\n";
        return toPeer_ >= 0 && write(toPeer_, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    }

    // The next line the peer wrote within limit, without its newline; "" on timeout or end.
    std::string line(std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const size_t nl = pending_.find('\n');
            if (nl != std::string::npos) {
                std::string l = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p = {fromPeer_, POLLIN, 0};
            char buf[4096];
            ssize_t n = 0;
            if (fromPeer_ < 0 || poll(&p, 1, std::max<int>(0, static_cast<int>(left.count()))) <= 0)
                return "";
            if ((n = read(fromPeer_, buf, sizeof buf)) <= 0) {
                ended_ = true;
                return "";
            }
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

    // The rest of the first line that starts with prefix (lines before it are skipped), or "-"
    // when none comes within limit.
    std::string expect(const std::string &prefix, std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 && pending_.find('\n') == std::string::npos)
                return "-";
            const std::string l = line(left);
            if (l.empty() && (ended_ || std::chrono::steady_clock::now() >= end))
                return "-";
            if (l.rfind(prefix, 0) == 0)
                return l.substr(prefix.size());
        }
    }

    // Closes the peer's input (its sign to finish) and waits for its exit status, killing it once
    // limit has passed (after asking it to print its stacks).
    int finish(std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        closeFd(toPeer_);
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = -1;
        while (pid_ > 0) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || r < 0)
                break;
            if (std::chrono::steady_clock::now() >= end) {
                ::kill(pid_, SIGUSR1); // its threads' stacks on stderr first: where it hung
                poll(nullptr, 0, 3000);
                return kill();
            }
            // Drains its output, so that it never blocks on a full pipe, and paces the wait.
            if (!ended_)
                line(std::chrono::milliseconds(20));
            else
                poll(nullptr, 0, 20);
        }
        pid_ = -1;
        closePipes();
        return status;
    }

    int kill()
    {
        int status = -1;
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        closePipes();
        return status;
    }

private:
    static void closeFd(int &fd)
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    void closePipes()
    {
        closeFd(toPeer_), closeFd(fromPeer_);
        pending_.clear();
        ended_ = false;
    }
    pid_t pid_ = -1;
    int toPeer_ = -1, fromPeer_ = -1;
    std::string pending_;
    bool ended_ = false;
};

} // namespace quelt::test
