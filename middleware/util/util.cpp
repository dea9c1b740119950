// Clock, sleep and the small text helpers of the utility services.
#include "dds/dds_util.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include <time.h>

extern "C" {

void QueltClock_now(DDS_Time_t *t)
{
    if (t == nullptr) return;
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    // DDS_Time_t has 32-bit seconds; past 2038 the best we can do is saturate, not wrap.
    t->sec = ts.tv_sec > INT32_MAX ? INT32_MAX : static_cast<DDS_Long>(ts.tv_sec);
    t->nanosec = static_cast<DDS_UnsignedLong>(ts.tv_nsec);
}

int64_t QueltClock_monotonicNs(void)
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void DDS_Utility_sleep(const DDS_Duration_t *d)
{
    if (d == nullptr || d->sec < 0) return;
    int64_t sec = d->sec;
    int64_t nsec = d->nanosec;
    if (d->sec != DDS_DURATION_INFINITE_SEC) {
        // Out-of-range nanoseconds are read as the amount they say, carried into seconds.
        sec += nsec / 1000000000LL;
        nsec %= 1000000000LL;
    } else {
        nsec = 0;
    }
    if (sec == 0 && nsec == 0) return;

    // An absolute monotonic deadline makes signal interruptions harmless: just sleep again.
    struct timespec deadline {};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    // A 32-bit time_t (armhf) holds no infinite deadline: the sum would wrap into the past.
    constexpr int64_t kLatest = std::numeric_limits<time_t>::max() - 1;
    deadline.tv_nsec += static_cast<long>(nsec);
    if (deadline.tv_nsec >= 1000000000L) {
        sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    deadline.tv_sec = static_cast<time_t>(std::min<int64_t>(kLatest, deadline.tv_sec + sec));
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

int QueltString_snprintf(char *buf, size_t n, const char *fmt, ...)
{
    if (buf == nullptr || n == 0 || fmt == nullptr) {
        if (buf != nullptr && n > 0) buf[0] = '\0';
        return -1;
    }
    va_list ap;
    va_start(ap, fmt);
    int written = std::vsnprintf(buf, n, fmt, ap);
    va_end(ap);
    if (written < 0) {
        buf[0] = '\0';
        return -1;
    }
    if (static_cast<size_t>(written) >= n) return -1;
    return written;
}

}  // extern "C"

namespace {

int digitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// Parses [sign] (digits | 0x hexdigits) into a magnitude; false on syntax error or when the
// magnitude exceeds limit.
bool parseMagnitude(const char *s, uint64_t limitPositive, uint64_t limitNegative, bool *negative,
                    uint64_t *magnitude)
{
    if (s == nullptr) return false;
    *negative = false;
    if (*s == '+' || *s == '-') {
        *negative = (*s == '-');
        ++s;
    }
    unsigned base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    if (*s == '\0') return false;
    const uint64_t limit = *negative ? limitNegative : limitPositive;
    uint64_t value = 0;
    for (; *s != '\0'; ++s) {
        int d = digitValue(*s);
        if (d >= static_cast<int>(base)) return false;
        if (static_cast<uint64_t>(d) > limit) return false;
        if (value > (limit - static_cast<uint64_t>(d)) / base) return false;
        value = value * base + static_cast<uint64_t>(d);
    }
    *magnitude = value;
    return true;
}

}  // namespace

extern "C" {

DDS_Boolean QueltString_toInt64(const char *s, int64_t *out)
{
    if (out == nullptr) return DDS_BOOLEAN_FALSE;
    bool negative = false;
    uint64_t magnitude = 0;
    const uint64_t maxPositive = static_cast<uint64_t>(INT64_MAX);
    if (!parseMagnitude(s, maxPositive, maxPositive + 1, &negative, &magnitude)) {
        return DDS_BOOLEAN_FALSE;
    }
    if (!negative) {
        *out = static_cast<int64_t>(magnitude);
    } else if (magnitude == maxPositive + 1) {
        *out = INT64_MIN;
    } else {
        *out = -static_cast<int64_t>(magnitude);
    }
    return DDS_BOOLEAN_TRUE;
}

DDS_Boolean QueltString_toUint64(const char *s, uint64_t *out)
{
    if (out == nullptr) return DDS_BOOLEAN_FALSE;
    bool negative = false;
    uint64_t magnitude = 0;
    // A negative limit of 0 admits "-0" and nothing else negative.
    if (!parseMagnitude(s, UINT64_MAX, 0, &negative, &magnitude)) return DDS_BOOLEAN_FALSE;
    *out = magnitude;
    return DDS_BOOLEAN_TRUE;
}

int QueltString_strcasecmp(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr) {
        if (a == b) return 0;
        return a == nullptr ? -1 : 1;
    }
    // Locale-independent on purpose: names of types and topics are compared, not prose.
    for (;; ++a, ++b) {
        unsigned ca = static_cast<unsigned char>(*a);
        unsigned cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

}  // extern "C"
