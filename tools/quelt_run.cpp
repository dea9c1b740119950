// quelt-run: creates a connector from an XML configuration and runs a Lua script file through
// the connector's script runner every period, until a count, a duration, Ctrl-C or SIGTERM.
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <sys/stat.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include "quelt_dds_connector.h"

namespace {

constexpr int kUsageError = 2;

const char kHelp[] =
    "usage: quelt-run --config FILE --participant Lib::Participant --script FILE.lua\n"
    "                 [--period MS] [--count N | --duration S] [--log-level error|warning|all]\n"
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
    "  --log-level LEVEL      what the library logs on stderr: error (default), warning, all\n"
    "  --help                 this text\n"
    "\n"
    "Exit status: 0 after a normal stop (count, duration, Ctrl-C, SIGTERM); 2 for a wrong start\n"
    "(bad option, missing file, unknown participant, script that does not compile).\n"
    "A script that fails while it runs is logged with file:line at every run and keeps running.\n"
    "\n"
    "example:\n"
    "  quelt-run --config examples/shapes/Shapes.xml --participant ShapesLib::ShapeSubscriber \\\n"
    "            --script examples/shapes/print_samples.lua --duration 10\n";

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

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

int main(int argc, char **argv) {
    const char *config = nullptr;
    const char *participant = nullptr;
    const char *script = nullptr;
    double periodMs = 100;
    double count = -1;
    double duration = -1;
    const char *logLevel = "error";

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

    if (std::strcmp(logLevel, "warning") == 0)
        QueltLuaLog_setVerbosity(0xffff, 1);
    else if (std::strcmp(logLevel, "all") == 0)
        QueltLuaLog_setBitmaps(0xffffffffu, 0xffffffffu);
    else
        QueltLuaLog_setVerbosity(0xffff, 0);

    QueltDDSConnectorOptions options = {1};
    QueltDDSConnector *connector = QueltDDSConnector_new(participant, config, &options);
    if (connector == nullptr)
        fail(std::string("could not create '") + participant + "' from '" + config +
             "': check the participant's name and the configuration line the log names above");

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // The file is looked at for edits at most once a second.
    QueltDDSConnector_assertCode(connector, nullptr, script, 1);
    const double start = nowSeconds();
    double next = start;
    for (long long runs = 0; !stopRequested; ++runs) {
        if (count > 0 && runs >= count)
            break;
        if (duration > 0 && nowSeconds() - start >= duration)
            break;
        // Failures are logged by the runner with file:line; the script keeps its period.
        QueltDDSConnector_execute(connector);
        next += periodMs / 1000.0;
        if (next < nowSeconds()) // a run longer than the period: start the next one now, no burst
            next = nowSeconds();
        if (duration > 0 && next > start + duration)
            next = start + duration;
        if (count > 0 && runs + 1 >= count)
            break;
        sleepUntil(next);
    }
    QueltDDSConnector_delete(connector);
    return 0;
}
