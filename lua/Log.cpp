// Log masks and the gate in front of the platform log facility.
#include "Log.h"

#include <cstdarg>
#include <cstdio>

namespace {

// The masks are read on middleware threads while a host may set them: whole-word atomic
// accesses, relaxed, since nothing else is published through them.
uint32_t loadMask(const uint32_t &mask) { return __atomic_load_n(&mask, __ATOMIC_RELAXED); }
void storeMask(uint32_t &mask, uint32_t value) { __atomic_store_n(&mask, value, __ATOMIC_RELAXED); }

// The level of the lines the current thread prints, which the host's sink learns from the log
// facility (the sink is called on the logging thread within the print).
struct LevelScope {
    int saved;
    explicit LevelScope(int level) : saved(QueltLog_setLevel(level)) {}
    ~LevelScope() { QueltLog_setLevel(saved); }
};

struct HostSink {
    QueltLuaLog_Sink sink = nullptr;
    void *user = nullptr;
};
HostSink g_hostSink;

void forwardToHost(const char *line, void *user) {
    const HostSink *host = static_cast<const HostSink *>(user);
    host->sink(QueltLog_level(), line, host->user);
}

} // namespace

extern "C" {

uint32_t QueltLuaLog_g_instrumentationMask = 1u;
uint32_t QueltLuaLog_g_submoduleMask = 0xFFFFu;

void QueltLuaLog_getBitmaps(uint32_t *submoduleMask, uint32_t *instrumentationMask) {
    if (submoduleMask != nullptr) {
        *submoduleMask = loadMask(QueltLuaLog_g_submoduleMask);
    }
    if (instrumentationMask != nullptr) {
        *instrumentationMask = loadMask(QueltLuaLog_g_instrumentationMask);
    }
}

void QueltLuaLog_setBitmaps(uint32_t submoduleMask, uint32_t instrumentationMask) {
    storeMask(QueltLuaLog_g_submoduleMask, submoduleMask);
    storeMask(QueltLuaLog_g_instrumentationMask, instrumentationMask);
}

void QueltLuaLog_setVerbosity(uint32_t submoduleMask, int verbosity) {
    uint32_t levels = 0u;
    if (verbosity >= 31) {
        levels = 0xFFFFFFFFu; // 2^(v+1) - 1 no longer fits: every bit
    } else if (verbosity >= 0) {
        levels = (1u << (verbosity + 1)) - 1u;
    }
    QueltLuaLog_setBitmaps(submoduleMask, levels);
}

void QueltLuaLog_setSink(QueltLuaLog_Sink sink, void *user) {
    // Detach first: once the facility's setSink returns no call of the old sink is in flight,
    // so the record can be rewritten without a lock of our own.
    QueltLog_setSink(nullptr, nullptr);
    g_hostSink.sink = sink;
    g_hostSink.user = user;
    if (sink != nullptr) {
        QueltLog_setSink(forwardToHost, &g_hostSink);
    }
}

int QueltLuaLog_isEnabled(int level, uint32_t submodule) {
    return (loadMask(QueltLuaLog_g_instrumentationMask) & static_cast<uint32_t>(level)) != 0u &&
           (loadMask(QueltLuaLog_g_submoduleMask) & submodule) != 0u;
}

void QueltLuaLog_vprintAt(int level, const char *context, const QueltLogMessage *message, va_list ap) {
    // Read once: another thread may clear the hook between the test and the call.
    QueltLog_LevelHook hook = __atomic_load_n(&QueltLog_g_levelHook, __ATOMIC_RELAXED);
    if (hook != nullptr) {
        hook(level);
    }
    LevelScope scope(level);
    QueltLog_vprint(context, message, ap);
}

void QueltLuaLog_log(int level, uint32_t submodule, const char *context, const QueltLogMessage *message, ...) {
    if (!QueltLuaLog_isEnabled(level, submodule)) {
        return;
    }
    va_list ap;
    va_start(ap, message);
    QueltLuaLog_vprintAt(level, context, message, ap);
    va_end(ap);
}

void QueltLuaLog_plain(int level, uint32_t submodule, const char *format, ...) {
    if (!QueltLuaLog_isEnabled(level, submodule)) {
        return;
    }
    char buffer[1024];
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, ap);
    va_end(ap);
    if (n < 0) {
        return;
    }
    LevelScope scope(level);
    QueltLog_printPlain("%s", buffer); // longer texts are truncated, never split
}

} // extern "C"
