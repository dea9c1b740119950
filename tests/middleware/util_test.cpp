// Utility services: text conversions, skip list, pool, clock/sleep and the log facility.
#include <gtest/gtest.h>

#include "support/support.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "dds/dds_log.h"
#include "dds/dds_util.h"

namespace {

using U16 = std::vector<DDS_Wchar>;

const std::pair<const char *, U16> kValidUtf8[] = {
    {"", {}}, {"Az~", {'A', 'z', '~'}}, {"\xE2\x82\xAC", {0x20AC}}, {"\xEF\xBF\xBF", {0xFFFF}},
    {"\xC2\x80", {0x80}}, {"\xDF\xBF", {0x7FF}}, {"\xE0\xA0\x80", {0x800}}, // smallest and largest two-byte, smallest three
    {"\xED\x9F\xBF", {0xD7FF}}, {"\xEE\x80\x80", {0xE000}},                  // just below and above the surrogates
    {"\xF0\x90\x80\x80", {0xD800, 0xDC00}}, {"x\xF0\x9F\x98\x80y", {'x', 0xD83D, 0xDE00, 'y'}},
    {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}}, // U+10FFFF
};

const char *const kInvalidUtf8[] = {
    "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",  // overlong
    "\xED\xA0\x80", "\xED\xBF\xBF",                              // surrogates
    "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",              // above U+10FFFF, never-valid bytes
    "a\x80", "ab\xBF" "c",                                       // stray continuation
    "\xC3", "\xE2\x82", "\xF0\x9F\x98!", "\xE2\x28\xA1",         // truncated sequences
};

TEST(Utf8ToUtf16, Table)
{
    for (const auto &[utf8, expected] : kValidUtf8) {
        SCOPED_TRACE(::testing::PrintToString(utf8));
        DDS_Wchar out[16];
        std::fill(std::begin(out), std::end(out), 0xAAAA);
        int n = QueltUtf8_toUtf16(utf8, out, 16);
        ASSERT_EQ(static_cast<int>(expected.size()), n);
        EXPECT_EQ(n, QueltUtf8_toUtf16(utf8, nullptr, 0));
        EXPECT_EQ(expected, U16(out, out + n));
        EXPECT_EQ(0, out[n]);

        // And back again: the conversion pair must be lossless for valid text.
        char back[32];
        int bytes = QueltUtf16_toUtf8(out, back, sizeof back);
        ASSERT_EQ(static_cast<int>(std::strlen(utf8)), bytes);
        EXPECT_STREQ(utf8, back);
        EXPECT_EQ(bytes, QueltUtf16_toUtf8(out, nullptr, 0));
    }
    for (const char *utf8 : kInvalidUtf8) {
        DDS_Wchar out[16];
        EXPECT_EQ(QUELT_UTF_INVALID, QueltUtf8_toUtf16(utf8, out, 16)) << ::testing::PrintToString(utf8);
        EXPECT_EQ(QUELT_UTF_INVALID, QueltUtf8_toUtf16(utf8, nullptr, 0)) << ::testing::PrintToString(utf8);
    }
}

TEST(Utf8ToUtf16, Capacity)
{
    const char *text = "a\xF0\x9F\x98\x80";  // 'a' + surrogate pair = 3 units
    // {capacity, result, first unit that must stay untouched}
    const int cases[][3] = {{4, 3, 4}, {3, 3, 3} /* fits, NUL omitted */, {2, QUELT_UTF_TOO_SMALL, 2} /* pair never split */,
                            {0, QUELT_UTF_TOO_SMALL, 0}, {-5, QUELT_UTF_TOO_SMALL, 0}};
    for (const auto &c : cases) {
        DDS_Wchar out[5] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
        EXPECT_EQ(c[1], QueltUtf8_toUtf16(text, out, c[0])) << c[0];
        if (c[1] == 3) {
            EXPECT_EQ(U16({'a', 0xD83D, 0xDE00, c[0] == 4 ? DDS_Wchar(0) : DDS_Wchar(0xAAAA)}), U16(out, out + 4));
        }
        for (int i = c[2]; i < 5; ++i) EXPECT_EQ(0xAAAA, out[i]) << c[0] << " wrote past capacity at " << i;
    }
    // Malformed input is reported as such even when the buffer is too small anyway.
    DDS_Wchar one[1];
    EXPECT_EQ(QUELT_UTF_INVALID, QueltUtf8_toUtf16("abcdef\xC0\x80", one, 1));
    EXPECT_EQ(QUELT_UTF_INVALID, QueltUtf8_toUtf16(nullptr, nullptr, 0));
}

TEST(Utf16ToUtf8, UnpairedSurrogatesAndCapacity)
{
    // High at end, high + non-surrogate, two highs, lone low, low in the middle.
    const U16 invalid[] = {{0xD800, 0}, {0xD800, 'a', 0}, {0xD800, 0xD800, 0}, {0xDC00, 0}, {'a', 0xDFFF, 'b', 0}};
    for (const U16 &in : invalid) {
        char out[16];
        EXPECT_EQ(QUELT_UTF_INVALID, QueltUtf16_toUtf8(in.data(), out, sizeof out));
        EXPECT_EQ(QUELT_UTF_INVALID, QueltUtf16_toUtf8(in.data(), nullptr, 0));
    }
    const DDS_Wchar text[] = {0xE9, 0xD83D, 0xDE00, 0};  // 2 + 4 bytes
    char out[8] = "ZZZZZZZ";
    EXPECT_EQ(6, QueltUtf16_toUtf8(text, out, 6));
    EXPECT_EQ('Z', out[6]) << "NUL written past capacity";
    EXPECT_EQ(QUELT_UTF_TOO_SMALL, QueltUtf16_toUtf8(text, out, 5));
}

// Parses every good text to its value and refuses every bad one, leaving the output alone.
template <typename T>
void checkParse(DDS_Boolean (*parse)(const char *, T *), const std::vector<std::pair<const char *, T>> &good, const std::vector<const char *> &bad)
{
    for (auto [text, value] : good) {
        T out = 12345;
        EXPECT_TRUE(parse(text, &out)) << text;
        EXPECT_EQ(value, out) << text;
    }
    for (const char *text : bad) {
        T out = 12345;
        EXPECT_FALSE(parse(text, &out)) << (text ? text : "(null)");
        EXPECT_EQ(T(12345), out) << "failure must leave the output alone";
    }
}

TEST(StringToInteger, Table)
{
    checkParse<int64_t>(QueltString_toInt64,
                        {{"0", 0}, {"-0", 0}, {"+17", 17}, {"010", 10}, {"-42", -42}, {"0XfF", 255},
                         {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
                         {"0x7fffffffffffffff", INT64_MAX}, {"-0x8000000000000000", INT64_MIN}},
                        {"9223372036854775808", "-9223372036854775809", "0x8000000000000000", "-0X8000000000000001",
                         "99999999999999999999999", "", "+", "-", "0x", "-0x", " 1", "1 ", "1\n", "- 1", "--1", "+-1",
                         "1a", "ff", "0x1g", "1e3", "0b1", nullptr});
    checkParse<uint64_t>(QueltString_toUint64,
                         {{"0", 0}, {"-0", 0}, {"-000", 0}, {"-0x0", 0}, {"+5", 5}, {"0x00000000000000000001", 1},
                          {"18446744073709551615", UINT64_MAX}, {"0xffffffffffffffff", UINT64_MAX}},
                         {"18446744073709551616", "0x10000000000000000", "-1", "-0x1", "-10", "", "0x", "1 ", "\t1"});
}

TEST(StringSnprintf, ReportsTruncation)
{
    // {capacity, text, result, what the buffer then holds}: exactly full fits; more is -1, cut.
    const struct { size_t n; const char *text; int result; const char *buf; } cases[] = {
        {8, "ab-42", 5, "ab-42"}, {8, "1234567", 7, "1234567"}, {8, "12345678", -1, "1234567"}, {1, "x", -1, ""}, {0, "x", -1, "q"}};
    for (const auto &c : cases) {
        char buf[8] = "q";
        EXPECT_EQ(c.result, QueltString_snprintf(buf, c.n, "%s", c.text)) << c.n << c.text;
        EXPECT_STREQ(c.buf, buf) << c.n << c.text;
    }
}

TEST(StringStrcasecmp, Table)
{
    const struct { const char *a, *b; int sign; } cases[] = {
        {"abc", "ABC", 0},    {"MiXeD", "mIxEd", 0}, {"a", "b", -1},       {"B", "a", 1},
        {"abc", "abcd", -1},  {"abcd", "ABC", 1},    {"", "", 0},          {nullptr, nullptr, 0},
        {nullptr, "", -1},    {"", nullptr, 1},
        // Folding goes to lower case: '_' (0x5F) sorts before 'a' but after 'A'.
        {"_", "A", -1},       {"[", "a", -1},
        // Bytes outside ASCII are compared as they are, unsigned.
        {"\xC9", "\xE9", -1}, {"\xE9", "z", 1},
    };
    for (const auto &c : cases) {
        const int r = QueltString_strcasecmp(c.a, c.b);
        EXPECT_EQ(c.sign, (r > 0) - (r < 0)) << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
    }
}

int compareInts(const void *a, const void *b)
{
    const int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return (x > y) - (x < y);
}

int keyOf(QueltSkipListNode *n) { return n ? *static_cast<int *>(QueltSkipListNode_getUserData(n)) : INT_MIN; }

// Random keys with many duplicates against a std::set: insert, find, remove, reinsert. A small
// initial cell count makes the allocator grow many times.
TEST(SkipList, FollowsASetModel)
{
    QueltSkipListAllocator *alloc = QueltSkipList_newDefaultAllocator(QueltSkipList_getOptimumMaximumLevel(4000), 4);
    QueltSkipList *list = QueltSkipList_new(alloc, compareInts);
    ASSERT_NE(nullptr, list);
    auto contents = [list] {
        std::vector<int> out;
        for (QueltSkipListNode *n = QueltSkipList_firstNode(list); n != nullptr; n = QueltSkipListNode_next(n))
            out.push_back(keyOf(n));
        return out;
    };
    std::mt19937 rng(7);
    std::vector<int> keys(4000);
    for (int &k : keys)
        k = std::uniform_int_distribution<int>(-3000, 3000)(rng);
    std::set<int> model;
    for (int &k : keys) {
        int existed = -1;
        QueltSkipListNode *node = QueltSkipList_assertNode(list, &k, &existed);
        const bool inserted = model.insert(k).second;
        EXPECT_EQ(inserted ? 0 : 1, existed);
        // A duplicate returns the first node inserted for that key, not the new data.
        EXPECT_EQ(k, keyOf(node));
        EXPECT_EQ(inserted, &k == QueltSkipListNode_getUserData(node));
    }
    for (int probe = -3100; probe <= 3100; probe += 7)
        EXPECT_EQ(model.count(probe) ? probe : INT_MIN, keyOf(QueltSkipList_findNode(list, &probe))) << probe;
    // Remove every other key, and one that is absent; reinsert them into the freed cells.
    std::vector<int> all(model.begin(), model.end());
    for (size_t i = 0; i < all.size(); i += 2) {
        void *data = QueltSkipList_removeNode(list, &all[i]);
        EXPECT_EQ(all[i], data ? *static_cast<int *>(data) : INT_MIN);
        EXPECT_EQ(nullptr, QueltSkipList_removeNode(list, &all[i]));
        model.erase(all[i]);
    }
    int absent = 99999;
    EXPECT_EQ(nullptr, QueltSkipList_removeNode(list, &absent));
    EXPECT_EQ(static_cast<int>(model.size()), QueltSkipList_getSize(list));
    EXPECT_EQ(std::vector<int>(model.begin(), model.end()), contents());
    for (size_t i = 0; i < all.size(); i += 2) {
        int existed = -1;
        EXPECT_NE(nullptr, QueltSkipList_assertNode(list, &all[i], &existed));
        EXPECT_EQ(0, existed);
    }
    EXPECT_EQ(all, contents());
    EXPECT_EQ(QueltSkipList_firstNode(list), QueltSkipListNode_next(QueltSkipList_gotoTopNode(list)));
    QueltSkipList_delete(list);
    QueltSkipList_deleteDefaultAllocator(alloc);
}

struct PoolCounters {
    int inits = 0, finis = 0;
    int failAfter = -1; // init fails once this many succeeded
    std::set<void *> live;
};

int countInit(void *param, void *buffer)
{
    auto *c = static_cast<PoolCounters *>(param);
    if (c->failAfter >= 0 && c->inits >= c->failAfter)
        return 0;
    ++c->inits;
    c->live.insert(buffer);
    std::memset(buffer, 0x5A, 8); // the smallest buffer size used below
    return 1;
}

void countFini(void *param, void *buffer)
{
    ++static_cast<PoolCounters *>(param)->finis;
    EXPECT_EQ(1u, static_cast<PoolCounters *>(param)->live.erase(buffer)) << "finalized a buffer that was not initialized, or twice";
}

// Growth by the pool's property, init failing in a later block (that block is undone, earlier
// buffers stay usable) or in the first (no pool), and every buffer finalized once by delete.
TEST(Pool, GrowsWithinItsPropertyAndUndoesFailedBlocks)
{
    const struct {
        QueltPoolProperty prop;
        size_t size, alignment;
        int failAfter, gets, got, inits, finisBeforeDelete;
    } cases[] = {
        {{2, 5, 1}, 24, 64, -1, 6, 5, 5, 0},      // bounded by maximal
        {{1, -1, -1}, 8, 0, -1, 9, 9, 16, 0},     // doubling: 1 -> 2 -> 4 -> 8 -> 16
        {{2, -1, 2}, 8, 0, 3, 3, 2, 3, 1},        // the second block fails after one init
        {{2, -1, -1}, 8, 0, 1, 0, 0, 1, 1},       // the first block fails: no pool
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.inits);
        PoolCounters counters;
        counters.failAfter = c.failAfter;
        QueltPool *pool = QueltPool_new(c.size, c.alignment, &c.prop, countInit, countFini, &counters);
        ASSERT_EQ(pool != nullptr, c.gets > 0);
        std::set<void *> handed;
        for (int i = 0; i < c.gets; ++i)
            if (void *b = QueltPool_getBuffer(pool)) {
                EXPECT_TRUE(handed.insert(b).second) << "buffer handed out twice";
                EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(b) % (c.alignment ? c.alignment : 8));
            }
        EXPECT_EQ(c.got, static_cast<int>(handed.size()));
        EXPECT_EQ(c.inits, counters.inits);
        EXPECT_EQ(c.finisBeforeDelete, counters.finis);
        QueltPool_delete(pool); // with buffers still out: all of them finalized
        EXPECT_EQ(counters.inits, counters.finis);
        EXPECT_TRUE(counters.live.empty());
    }
}

// Returning a buffer makes it the next one handed out, content kept, without a new init; double,
// misaligned and foreign returns are ignored.
TEST(Pool, ReturnedBuffersAreReusedAndBadReturnsIgnored)
{
    PoolCounters counters;
    QueltPoolProperty prop = {2, 2, 1};
    QueltPool *pool = QueltPool_new(24, 0, &prop, countInit, countFini, &counters);
    void *first = QueltPool_getBuffer(pool);
    ASSERT_NE(nullptr, QueltPool_getBuffer(pool));
    static_cast<char *>(first)[0] = 'k';
    int foreign;
    for (void *b : {first, first, static_cast<void *>(static_cast<char *>(first) + 1), static_cast<void *>(&foreign)})
        QueltPool_returnBuffer(pool, b);
    EXPECT_EQ(1, QueltPool_getBufferCount(pool));
    void *again = QueltPool_getBuffer(pool);
    EXPECT_EQ(first, again);
    EXPECT_EQ('k', static_cast<char *>(again)[0]);
    EXPECT_EQ(nullptr, QueltPool_getBuffer(pool));
    EXPECT_EQ(2, counters.inits);
    QueltPool_delete(pool);
}

TEST(Clock, NowAndSleep)
{
    DDS_Time_t now;
    QueltClock_now(&now); // wall-clock time, as sample timestamps need
    EXPECT_LE(std::llabs(now.sec - static_cast<long long>(time(nullptr))), 2);
    // {duration, min ns, max ns}; nanoseconds past one second must carry, not be refused by the OS.
    const std::tuple<DDS_Duration_t, int64_t, int64_t> cases[] = {
        {{0, 0}, 0, 50000000}, {{-1, 0}, 0, 50000000}, {{0, 20000000}, 20000000, 1000000000},
        {{0, 1020000000}, 1020000000, 3000000000}};
    for (const auto &[d, minNs, maxNs] : cases) {
        int64_t t0 = QueltClock_monotonicNs();
        DDS_Utility_sleep(&d);
        int64_t elapsed = QueltClock_monotonicNs() - t0;
        EXPECT_GE(elapsed, minNs) << d.sec << "s " << d.nanosec << "ns";
        EXPECT_LT(elapsed, maxNs) << d.sec << "s " << d.nanosec << "ns";
    }
}

TEST(Log, OneWholeLinePerCall)
{
    quelt::test::LogCapture log;
    static const QueltLogMessage noNewline = {0x2270100u, "value %d"};
    static const QueltLogMessage manyNewlines = {0x2270101u, "value %d\n\n\n"};
    QueltLog_print("DDS_Topic_create", &QUELT_LOG_CREATION_FAILURE_s, "topic");
    QueltLog_print("ctx", &QUELT_LOG_OUT_OF_HEAP_STRUCT_d, 48);
    QueltLog_print(nullptr, &QUELT_LOG_ANY_s, "bare");
    QueltLog_print("ctx", &noNewline, 1);
    QueltLog_print("ctx", &manyNewlines, 2);
    QueltLog_error("xml", "line %d: %s", 7, "unexpected tag");
    QueltLog_printPlain("plain %s", "text");
    QueltLog_print("ctx", nullptr);  // nothing, no crash
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"DDS_Topic_create: create topic failed\n", "ctx: out of heap: structure of 48 bytes\n",
                                                     "bare\n", "ctx: value 1\n", "ctx: value 2\n", "xml: line 7: unexpected tag\n",
                                                     "plain text"}));
}

TEST(Log, LongLinesAreNotTruncated)
{
    quelt::test::LogCapture log;
    for (size_t len : {1000u, 1013u, 1014u, 1015u, 5000u}) {
        log.clear();
        std::string body(len, 'x');
        std::string context(len / 3, 'c');
        QueltLog_print(context.c_str(), &QUELT_LOG_ANY_FAILURE_s, body.c_str());
        const auto lines = log.lines();
        ASSERT_EQ(1u, lines.size()) << len;
        EXPECT_EQ(context + ": failure: " + body + "\n", lines[0]) << len;
    }
}

TEST(Log, DefaultSinkIsStderr)
{
    testing::internal::CaptureStderr();
    QueltLog_print("ctx", &QUELT_LOG_ANY_s, "to stderr");
    EXPECT_EQ("ctx: to stderr\n", testing::internal::GetCapturedStderr());
}

}  // namespace
