// The log facility: compose a whole line in memory, then hand it to the sink in one call.
#include "dds/dds_log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <unistd.h>

extern "C" {
const QueltLogMessage QUELT_LOG_ANY_s = {0x2270000u, "%s\n"};
const QueltLogMessage QUELT_LOG_ANY_FAILURE_s = {0x2270001u, "failure: %s\n"};
const QueltLogMessage QUELT_LOG_CREATION_FAILURE_s = {0x2270002u, "create %s failed\n"};
const QueltLogMessage QUELT_LOG_OUT_OF_HEAP_STRUCT_d = {0x2270003u, "out of heap: structure of %d bytes\n"};

QueltLog_LevelHook QueltLog_g_levelHook = nullptr;
}

namespace {

struct SinkState {
    // Recursive so that a sink may itself log (e.g. a sink that reports its own failures).
    std::recursive_mutex lock;
    QueltLog_Sink sink = nullptr;
    void *user = nullptr;
};

// Function-local so that logging from other translation units' static initializers is safe;
// never destroyed, so that an engine's logging thread may still print while the process exits.
SinkState &sinkState()
{
    static SinkState &state = *new SinkState;
    return state;
}

void writeStderr(const char *data, size_t len)
{
    // One write() per line keeps lines whole even when stderr is shared with other processes;
    // the loop only matters for pipes that accept partial writes.
    while (len > 0) {
        ssize_t n = ::write(STDERR_FILENO, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

void emit(const char *line, size_t len)
{
    SinkState &st = sinkState();
    std::lock_guard<std::recursive_mutex> guard(st.lock);
    if (st.sink != nullptr) {
        st.sink(line, st.user);
    } else {
        writeStderr(line, len);
    }
}

// A line lives on the stack unless it is longer than that; long lines go to the heap whole.
class Line {
public:
    Line() = default;
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
    ~Line() { std::free(heap_); }

    // Formats "context: body" (no prefix for a null/empty context). With newline set, trailing
    // newlines of the body are replaced by exactly one. Returns false on a format error.
    bool compose(const char *context, const char *fmt, va_list ap, bool newline)
    {
        size_t ctxLen = (context != nullptr) ? std::strlen(context) : 0;
        size_t prefixLen = ctxLen > 0 ? ctxLen + 2 : 0;
        const size_t reserve = newline ? 2 : 1;  // '\n' and NUL

        // First pass into the stack buffer; it also yields the full length of the body.
        char *dst = stack_;
        size_t cap = sizeof stack_;
        size_t fittingPrefix = prefixLen < cap - reserve ? prefixLen : cap - reserve;
        va_list probe;
        va_copy(probe, ap);
        int n = std::vsnprintf(dst + fittingPrefix, cap - (reserve - 1) - fittingPrefix, fmt, probe);
        va_end(probe);
        if (n < 0) return false;
        size_t bodyLen = static_cast<size_t>(n);
        size_t need = prefixLen + bodyLen + reserve;

        if (need > cap) {
            heap_ = static_cast<char *>(std::malloc(need));
            if (heap_ != nullptr) {
                dst = heap_;
                cap = need;
                fittingPrefix = prefixLen;
                va_list again;
                va_copy(again, ap);
                std::vsnprintf(dst + prefixLen, cap - (reserve - 1) - prefixLen, fmt, again);
                va_end(again);
            } else {
                // Out of memory: a truncated line still beats silence.
                size_t room = cap - reserve - fittingPrefix;
                if (bodyLen > room) bodyLen = room;
            }
        }

        if (fittingPrefix > 0) {
            // The prefix is written after the body because vsnprintf needed its place reserved.
            size_t copy = ctxLen < fittingPrefix ? ctxLen : fittingPrefix;
            std::memcpy(dst, context, copy);
            if (copy < fittingPrefix) dst[copy++] = ':';
            if (copy < fittingPrefix) dst[copy++] = ' ';
        }
        size_t len = fittingPrefix + bodyLen;
        if (newline) {
            while (len > fittingPrefix && dst[len - 1] == '\n') --len;
            dst[len++] = '\n';
        }
        dst[len] = '\0';
        data_ = dst;
        len_ = len;
        return true;
    }

    const char *data() const { return data_; }
    size_t size() const { return len_; }

private:
    char stack_[1024];
    char *heap_ = nullptr;
    const char *data_ = nullptr;
    size_t len_ = 0;
};

thread_local int t_level = QUELT_LOG_LEVEL_ERROR;

void printLine(const char *context, const char *fmt, va_list ap, bool newline)
{
    if (fmt == nullptr) return;
    Line line;
    if (!line.compose(context, fmt, ap, newline)) return;
    emit(line.data(), line.size());
}

void printLineAt(int level, const char *context, const char *fmt, va_list ap)
{
    const int saved = t_level;
    t_level = level;
    printLine(context, fmt, ap, true);
    t_level = saved;
}

}  // namespace

extern "C" {

void QueltLog_setSink(QueltLog_Sink sink, void *user)
{
    SinkState &st = sinkState();
    std::lock_guard<std::recursive_mutex> guard(st.lock);
    st.sink = sink;
    st.user = sink != nullptr ? user : nullptr;
}

void QueltLog_vprint(const char *context, const QueltLogMessage *msg, va_list ap)
{
    if (msg == nullptr) return;
    printLine(context, msg->format, ap, true);
}

void QueltLog_print(const char *context, const QueltLogMessage *msg, ...)
{
    va_list ap;
    va_start(ap, msg);
    QueltLog_vprint(context, msg, ap);
    va_end(ap);
}

void QueltLog_printPlain(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    printLine(nullptr, fmt, ap, false);
    va_end(ap);
}

int QueltLog_level(void) { return t_level; }

int QueltLog_setLevel(int level)
{
    const int previous = t_level;
    t_level = level;
    return previous;
}

void QueltLog_error(const char *context, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    printLineAt(QUELT_LOG_LEVEL_ERROR, context, fmt, ap);
    va_end(ap);
}

void QueltLog_warning(const char *context, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    printLineAt(QUELT_LOG_LEVEL_WARNING, context, fmt, ap);
    va_end(ap);
}

void QueltLog_notice(const char *context, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    printLineAt(QUELT_LOG_LEVEL_NOTICE, context, fmt, ap);
    va_end(ap);
}

}  // extern "C"
