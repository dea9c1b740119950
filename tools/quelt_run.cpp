// quelt-run: creates a connector from an XML configuration and runs a Lua script file through
// the connector's script runner every period, until a count, a duration, Ctrl-C or SIGTERM. The
// verbs list, echo, pub and discover are in quelt_run_verbs.cpp.
#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

// The connector core is linked in: quelt-run reaches the writers' matched and acknowledged status
// and the engine's Lua state (to interrupt a script) through it.
#include "DDSConnector.h"
#include "quelt_run.h"

namespace {

constexpr int kUsageError = 2;

const char kHelp[] =
    "usage: quelt-run [run] --config FILE --participant Lib::Participant --script FILE.lua\n"
    "                 [--period MS] [--count N | --duration S] [--log-level error|warning|all]\n"
    "       quelt-run list|echo|pub|discover ...   (quelt-run VERB --help for each)\n"
    "\n"
    "  list      the participant configurations of XML files, with their writers and readers\n"
    "  echo      print what a reader receives, one JSON line per sample\n"
    "  pub       write JSON samples, from the command line or one per line of standard input\n"
    "  discover  what DDS discovery shows on a domain: participants, topics, writers, readers\n"
    "\n"
    "Creates the participant Lib::Participant of the XML configuration FILE with all its writers\n"
    "and readers, then runs FILE.lua every MS milliseconds. The script sees the global CONTAINER:\n"
    "CONTAINER.WRITER[\"Pub::Writer\"], CONTAINER.READER[\"Sub::Reader\"], CONTAINER.CONTEXT.\n"
    "An edited script is picked up within about two seconds while quelt-run runs; an edit that\n"
    "does not compile is logged and the last good version keeps running.\n"
    "\n"
    "  --config FILE          the XML configuration (types, QoS, domains, participants)\n"
    "  --participant NAME     the participant configuration to create, \"Library::Participant\"\n"
    "  --script FILE.lua      the Lua script run every period\n"
    "  --period MS            milliseconds between two runs of the script (default 100)\n"
    "  --count N              stop after N runs\n"
    "  --duration S           stop after S seconds (decimals allowed)\n"
    "                         without --count or --duration, run until Ctrl-C or SIGTERM\n"
    "  --wait-match N         before the first run, wait until every writer has N matched readers\n"
    "  --match-timeout S      give up that wait after S seconds (default 30): exit status 1\n"
    "  --ack-timeout S        before exiting, wait up to S seconds until every matched reliable\n"
    "                         reader has acknowledged every sample written (default 0: no wait)\n"
    "  --log-level LEVEL      what the library logs on stderr: error (default), warning, all\n"
    "  --help                 this text\n"
    "\n"
    "Exit status: 0 after a normal stop (count, duration, Ctrl-C, SIGTERM); 1 when --wait-match or\n"
    "--ack-timeout ran out; 2 for a wrong start (bad option, missing file, unknown participant,\n"
    "script that does not compile). A first Ctrl-C or SIGTERM also interrupts a script that is\n"
    "running; a second one exits at once (status 128 + the signal's number).\n"
    "A script that fails while it runs keeps running; its error is printed once, led by a line\n"
    "that says what went wrong, and how often it repeated when it changes or quelt-run stops.\n"
    "\n"
    "A short publisher that must not lose its first or last samples (reliable writers):\n"
    "  quelt-run --config Shapes.xml --participant ShapesLib::ShapePublisher --script pub.lua \\\n"
    "            --count 1 --wait-match 1 --ack-timeout 5\n"
    "\n"
    "example:\n"
    "  quelt-run --config examples/shapes/Shapes.xml --participant ShapesLib::ShapeSubscriber \\\n"
    "            --script examples/shapes/print_samples.lua --duration 10\n";

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t scriptRunning = 0;
lua_State *volatile engineState = nullptr;

// Raised at the next Lua instruction or call after a stop signal; it stays set until the run has
// ended, so that a script catching it with pcall is interrupted again.
void interruptScript(lua_State *L, lua_Debug *) { luaL_error(L, "interrupted by a stop signal"); }

// First signal: stop after the running script, which is interrupted (lua_sethook may be called
// from a signal handler). Second: exit at once.
void onStopSignal(int signal) {
    if (stopRequested)
        _exit(128 + signal);
    stopRequested = 1;
    if (scriptRunning && engineState != nullptr)
        lua_sethook(engineState, interruptScript, LUA_MASKCALL | LUA_MASKRET | LUA_MASKCOUNT, 1);
}

// The library's log, through a sink: lines of one run are held until the run ends, so that
// quelt-run can lead them with a line of its own and print an error that repeats at every run
// only once. Lines of other threads (status events) and lines outside runs go out at once.
struct LogState {
    pthread_t mainThread;
    std::atomic<bool> holding{false}; // read by middleware threads too
    bool showWarnings = false;
    std::vector<std::string> held;      // error lines of the current run (or of the creation)
    std::vector<std::string> unknownNames; // warnings naming an entity that does not exist
    std::vector<std::string> lastBlock; // the error lines of the last failing run
    long long repeats = 0;              // failing runs since that were the same
};
LogState logState;

// Text after the first "prefix" in line, without the line end; empty when it is not there.
std::string after(const std::string &line, const char *prefix) {
    const size_t at = line.find(prefix);
    if (at == std::string::npos)
        return "";
    std::string rest = line.substr(at + std::strlen(prefix));
    while (!rest.empty() && rest.back() == '\n')
        rest.pop_back();
    return rest;
}

void onLogLine(int level, const char *line, void *) {
    const bool warning = level == 2;
    if (logState.holding && pthread_equal(pthread_self(), logState.mainThread)) {
        if (warning && std::strstr(line, "QueltLuaMetamethodImpl_TableIndex: no ") == line)
            logState.unknownNames.push_back(after(line, ": "));
        if (!warning)
            logState.held.emplace_back(line);
        else if (logState.showWarnings)
            std::fputs(line, stderr);
        return;
    }
    if (!warning || logState.showWarnings)
        std::fputs(line, stderr);
}

void printRepeats() {
    if (logState.repeats > 0)
        std::fprintf(stderr, "quelt-run: the error above happened again in %lld more run%s\n", logState.repeats,
                     logState.repeats == 1 ? "" : "s");
    logState.repeats = 0;
}

// Settles the lines held during one run: a failing run is led by one line that says what went
// wrong (with the names that exist when the script used an unknown writer or reader); the same
// failure again is only counted.
void settleRun(bool interrupted) {
    std::vector<std::string> block;
    block.swap(logState.held);
    std::vector<std::string> unknown;
    unknown.swap(logState.unknownNames);
    std::string message;
    for (const std::string &line : block)
        if (message.empty())
            message = after(line, "QueltLuaEngine_executeFile: !execute ");
    if (interrupted && message.find("interrupted by a stop signal") != std::string::npos) {
        printRepeats();
        std::fprintf(stderr, "quelt-run: %s\n", message.c_str());
        return;
    }
    if (block.empty()) {
        printRepeats();
        logState.lastBlock.clear();
        return;
    }
    if (block == logState.lastBlock) {
        ++logState.repeats;
        return;
    }
    printRepeats();
    // A run that failed has its error first; a run that only logged (CONTEXT.LOG.Exception, a
    // member the type lacks) keeps its lines as they are.
    if (!message.empty()) {
        std::string leading = message;
        if (!unknown.empty() && message.find("nil value") != std::string::npos)
            leading = unknown.back() + " (then " + leading + ")";
        std::fprintf(stderr, "quelt-run: %s\n", leading.c_str());
    }
    for (const std::string &line : block)
        std::fputs(line.c_str(), stderr);
    logState.lastBlock = block;
}

// One line that says what to fix, then the usage error status.
[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "quelt-run: %s (quelt-run --help explains every option)\n", what.c_str());
    std::exit(kUsageError);
}

bool parseNumber(const char *text, double minimum, double *out) {
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= minimum) || value > 1e9)
        return false;
    *out = value;
    return true;
}

bool isReadableFile(const char *path) {
    struct stat st;
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return false;
    std::fclose(f);
    return true;
}

// Compiles the script once before anything is created, so that a script that cannot run is a
// wrong start rather than an error line at every period.
void checkScriptCompiles(const char *path) {
    lua_State *L = luaL_newstate();
    if (L == nullptr)
        fail("out of memory while checking the script");
    if (luaL_loadfile(L, path) != LUA_OK) {
        const char *message = lua_tostring(L, -1);
        std::string text = std::string("the script does not compile: ") + (message ? message : "?");
        lua_close(L);
        fail(text);
    }
    lua_close(L);
}

double nowSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Sleeps until the absolute monotonic time `until`, or less when a stop signal arrives.
void sleepUntil(double until) {
    while (!stopRequested) {
        const double left = until - nowSeconds();
        if (left <= 0)
            return;
        const double slice = left < 0.05 ? left : 0.05;
        timespec ts{static_cast<time_t>(slice), static_cast<long>((slice - static_cast<time_t>(slice)) * 1e9)};
        nanosleep(&ts, nullptr);
    }
}

} // namespace

void setUpLogAndSignals(const char *level, QueltLuaLog_Sink sink, void (*onStop)(int))
{
    if (level && std::strcmp(level, "all") == 0)
        QueltLuaLog_setBitmaps(0xffffffffu, 0xffffffffu);
    else
        QueltLuaLog_setVerbosity(0xffff, 1);
    QueltLuaLog_setSink(sink, nullptr);
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int main(int argc, char **argv) {
    if (argc > 1 && isQueltRunVerb(argv[1]))
        return runQueltRunVerb(argc, argv);
    // "run" names the script runner, which is also what quelt-run does without a verb.
    if (argc > 1 && std::strcmp(argv[1], "run") == 0) {
        argv[1] = argv[0];
        ++argv;
        --argc;
    }
    const char *config = nullptr;
    const char *participant = nullptr;
    const char *script = nullptr;
    double periodMs = 100;
    double count = -1;
    double duration = -1;
    const char *logLevel = "error";
    int waitMatch = 0;
    double matchTimeout = 30;
    double ackTimeout = 0;

    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (option.rfind("--", 0) != 0)
            fail("unexpected argument '" + option + "'");
        if (i + 1 >= argc)
            fail("option " + option + " needs a value");
        const char *value = argv[++i];
        if (option == "--config") {
            config = value;
        } else if (option == "--participant") {
            participant = value;
        } else if (option == "--script") {
            script = value;
        } else if (option == "--period") {
            if (!parseNumber(value, 1, &periodMs))
                fail(std::string("--period takes milliseconds, a number of at least 1, not '") + value + "'");
        } else if (option == "--count") {
            if (!parseNumber(value, 1, &count) || count != static_cast<long long>(count))
                fail(std::string("--count takes a whole number of runs of at least 1, not '") + value + "'");
        } else if (option == "--duration") {
            if (!parseNumber(value, 0, &duration) || duration == 0)
                fail(std::string("--duration takes seconds, a number above 0, not '") + value + "'");
        } else if (option == "--wait-match") {
            double n = 0;
            if (!parseNumber(value, 1, &n) || n != static_cast<int>(n))
                fail(std::string("--wait-match takes a whole number of readers of at least 1, not '") + value + "'");
            waitMatch = static_cast<int>(n);
        } else if (option == "--match-timeout") {
            if (!parseNumber(value, 0, &matchTimeout) || matchTimeout == 0)
                fail(std::string("--match-timeout takes seconds, a number above 0, not '") + value + "'");
        } else if (option == "--ack-timeout") {
            if (!parseNumber(value, 0, &ackTimeout))
                fail(std::string("--ack-timeout takes seconds, a number of at least 0, not '") + value + "'");
        } else if (option == "--log-level") {
            logLevel = value;
            if (std::strcmp(value, "error") != 0 && std::strcmp(value, "warning") != 0 && std::strcmp(value, "all") != 0)
                fail(std::string("--log-level takes error, warning or all, not '") + value + "'");
        } else {
            fail("unknown option '" + option + "'");
        }
    }
    if (config == nullptr)
        fail("missing --config FILE, the XML configuration");
    if (participant == nullptr)
        fail("missing --participant Library::Participant");
    if (script == nullptr)
        fail("missing --script FILE.lua");
    if (count > 0 && duration > 0)
        fail("give --count or --duration, not both");
    if (!isReadableFile(config))
        fail(std::string("cannot read the configuration file '") + config + "'");
    if (!isReadableFile(script))
        fail(std::string("cannot read the script file '") + script + "'");
    if (std::strstr(participant, "::") == nullptr)
        fail(std::string("--participant takes Library::Participant, not '") + participant + "'");
    checkScriptCompiles(script);

    // Warnings always reach the sink, which names an unknown writer or reader from them; it prints
    // them only when asked to.
    logState.mainThread = pthread_self();
    logState.showWarnings = std::strcmp(logLevel, "error") != 0;
    setUpLogAndSignals(logLevel, onLogLine, onStopSignal);

    QueltDDSConnectorOptions options = {1};
    logState.holding = true;
    QueltDDSConnector *connector = QueltDDSConnector_new(participant, config, &options);
    logState.holding = false;
    if (connector == nullptr) {
        // The first line the library logged is the cause ("file:line: ..." or the names that exist).
        std::string cause = logState.held.empty() ? "" : after(logState.held.front(), ": ");
        fail(std::string("could not create '") + participant + "' from '" + config + "'" +
             (cause.empty() ? ": check the participant's name and the configuration" : ": " + cause));
    }
    for (const std::string &line : logState.held)
        std::fputs(line.c_str(), stderr);
    logState.held.clear();
    engineState = connector->base->engine->L;

    const DDS_Long writerCount = DDS_DataWriterSeq_get_length(&connector->writers);
    auto writerAt = [&](DDS_Long i) { return *DDS_DataWriterSeq_get_reference(&connector->writers, i); };
    auto nameOf = [&](DDS_DataWriter *writer) {
        const char *name = QueltDDSConnector_EntitiesLookupList_lookupEntity(connector, writer);
        return std::string(name ? name : "?");
    };
    int status = 0;
    if (waitMatch > 0) {
        if (writerCount == 0) {
            QueltDDSConnector_delete(connector);
            fail(std::string("--wait-match needs a writer, and '") + participant + "' has none");
        }
        // Every writer, because each stream has its own readers; checked every 10 ms.
        const double deadline = nowSeconds() + matchTimeout;
        std::string missing;
        while (!stopRequested) {
            missing.clear();
            for (DDS_Long i = 0; i < writerCount && missing.empty(); ++i) {
                DDS_PublicationMatchedStatus matched{};
                DDS_DataWriter_get_publication_matched_status(writerAt(i), &matched);
                if (matched.current_count < waitMatch)
                    missing = "writer '" + nameOf(writerAt(i)) + "' has " + std::to_string(matched.current_count);
            }
            if (missing.empty() || nowSeconds() >= deadline)
                break;
            sleepUntil(nowSeconds() + 0.01);
        }
        if (!missing.empty() && !stopRequested) {
            std::fprintf(stderr,
                         "quelt-run: %s of %d matched readers after %g s: start the readers first, check their "
                         "topic and QoS, or give a longer --match-timeout\n",
                         missing.c_str(), waitMatch, matchTimeout);
            status = 1;
        }
    }

    // The file is looked at for edits at most once a second.
    QueltDDSConnector_assertCode(connector, nullptr, script, 1);
    const double start = nowSeconds();
    double next = start;
    for (long long runs = 0; status == 0 && !stopRequested; ++runs) {
        if (count > 0 && runs >= count)
            break;
        if (duration > 0 && nowSeconds() - start >= duration)
            break;
        logState.holding = true;
        scriptRunning = 1;
        if (!stopRequested) // a signal just before the run: it would not be interrupted
            QueltDDSConnector_execute(connector);
        scriptRunning = 0;
        lua_sethook(engineState, nullptr, 0, 0); // a stop signal may have set it during the run
        logState.holding = false;
        settleRun(stopRequested != 0);
        next += periodMs / 1000.0;
        if (next < nowSeconds()) // a run longer than the period: start the next one now, no burst
            next = nowSeconds();
        if (duration > 0 && next > start + duration)
            next = start + duration;
        if (count > 0 && runs + 1 >= count)
            break;
        sleepUntil(next);
    }
    printRepeats();

    if (ackTimeout > 0 && status == 0) {
        const double deadline = nowSeconds() + ackTimeout;
        for (DDS_Long i = 0; i < writerCount; ++i) {
            const double left = deadline - nowSeconds();
            const DDS_Duration_t wait{static_cast<DDS_Long>(left > 0 ? left : 0),
                                      static_cast<DDS_UnsignedLong>((left > 0 ? left - static_cast<DDS_Long>(left) : 0) * 1e9)};
            if (DDS_DataWriter_wait_for_acknowledgments(writerAt(i), &wait) != DDS_RETCODE_OK) {
                std::fprintf(stderr,
                             "quelt-run: writer '%s': not every sample was acknowledged by its matched readers "
                             "within %g s (--ack-timeout)\n",
                             nameOf(writerAt(i)).c_str(), ackTimeout);
                status = 1;
            }
        }
    }
    // Deleting the connector returns every reader's loan, also after an interrupted run.
    QueltDDSConnector_delete(connector);
    QueltLuaLog_setSink(nullptr, nullptr);
    return status;
}
