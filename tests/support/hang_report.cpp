// Linked into every test program and peer: a process that crashes, or is still running after
// QUELT_TEST_WATCHDOG seconds (default 110, under the tightest ctest timeout of 120), prints the
// stack of each of its threads on stderr before it dies; SIGUSR1 asks for the same print and the
// process goes on (a test sends it to a peer it is about to kill). Hangs and crashes seen only in
// CI (under emulation, at teardown) then say where they were. Sanitizer builds keep their own
// crash reports.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <dirent.h>
#include <execinfo.h>
#include <semaphore.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::atomic<bool> g_printed{false};
sem_t g_asked; // posted by SIGUSR1

void printStack(const char *why)
{
    char head[96];
    const int n = std::snprintf(head, sizeof head, "%s, thread %ld:\n", why, long(syscall(SYS_gettid)));
    if (write(STDERR_FILENO, head, size_t(n)) < 0)
        return;
    void *frames[64];
    backtrace_symbols_fd(frames, backtrace(frames, 64), STDERR_FILENO);
}

void onDumpRequest(int)
{
    printStack("hang");
    g_printed.store(true);
}

void onCrash(int sig)
{
    printStack(sig == SIGABRT ? "abort" : "crash");
    std::signal(sig, SIG_DFL);
    raise(sig);
}

void onPrintRequest(int) { sem_post(&g_asked); }

void printAllStacks()
{
    const long self = syscall(SYS_gettid);
    if (DIR *tasks = opendir("/proc/self/task")) {
        while (const dirent *e = readdir(tasks)) {
            const long tid = std::atol(e->d_name);
            if (tid <= 0 || tid == self)
                continue;
            g_printed.store(false);
            if (syscall(SYS_tgkill, getpid(), tid, SIGUSR2) != 0)
                continue;
            // A thread that cannot run its handler (blocked the signal) is skipped after a second.
            for (int i = 0; i < 100 && !g_printed.load(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        closedir(tasks);
    }
}

void watch(unsigned seconds)
{
    timespec end{};
    clock_gettime(CLOCK_REALTIME, &end);
    end.tv_sec += seconds;
    for (;;) {
        if (sem_timedwait(&g_asked, &end) == 0) {
            std::fprintf(stderr, "stacks asked for (SIGUSR1):\n");
            printAllStacks();
        } else if (errno == ETIMEDOUT) {
            std::fprintf(stderr, "process still running after %u s (QUELT_TEST_WATCHDOG): the stacks of its threads\n", seconds);
            printAllStacks();
            std::abort();
        }
    }
}

struct Install {
    Install()
    {
        void *warm[1];
        backtrace(warm, 1); // loads the unwinder now, not inside a signal handler
        sem_init(&g_asked, 0, 0);
        std::signal(SIGUSR2, onDumpRequest);
        std::signal(SIGUSR1, onPrintRequest);
        if (!kSanitized)
            for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
                std::signal(sig, onCrash);
        const char *env = std::getenv("QUELT_TEST_WATCHDOG");
        const long seconds = env ? std::atol(env) : 110;
        std::thread(watch, unsigned(seconds > 0 ? seconds : 1000000000)).detach();
    }
} g_install;

} // namespace
