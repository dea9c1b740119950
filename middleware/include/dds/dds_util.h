/* Small utility services of the DDS_* layer: clock, sleep, text conversions, an ordered skip
 * list and a pool of fixed-size buffers. None of these objects is thread-safe by itself; callers
 * that share one across threads hold their own lock. */
#ifndef QUELT_DDS_UTIL_H
#define QUELT_DDS_UTIL_H

#include "dds/dds_types.h"

#if defined(__GNUC__)
#define QUELT_UTIL_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define QUELT_UTIL_PRINTF(fmtIndex, firstArg)
#endif

DDS_BEGIN_DECLS

/* ---- clock ---- */

/* Wall-clock time since the Unix epoch. Seconds beyond the range of DDS_Long saturate. */
DDS_API void QueltClock_now(DDS_Time_t *t);
/* Monotonic nanoseconds from an arbitrary origin; only differences are meaningful. */
DDS_API int64_t QueltClock_monotonicNs(void);

/* ---- sleep ---- */

/* Sleeps for d, resuming after signals until the whole time has passed. A nanosec of 1e9 or more
 * carries into seconds. Null, zero or negative durations return at once. DDS_DURATION_INFINITE
 * (sec 0x7fffffff) sleeps for about 68 years, i.e. never returns in practice. */
DDS_API void DDS_Utility_sleep(const DDS_Duration_t *d);

/* ---- text ---- */

/* Bounded printf. Returns the number of characters written (without the NUL), or -1 when the
 * text did not fit or could not be formatted. Whenever n > 0 the buffer is NUL-terminated, holding
 * the truncated text on overflow. */
DDS_API int QueltString_snprintf(char *buf, size_t n, const char *fmt, ...) QUELT_UTIL_PRINTF(3, 4);

/* Text to 64-bit integer, reporting failure rather than saturating.
 * Accepted:  [sign] digits      decimal; leading zeros are decimal too ("010" is 10)
 *            [sign] 0x hexdigits / 0X hexdigits   (hex digits in either case)
 * where sign is '+' or '-'. Rejected: null or empty text, white space anywhere, a sign or "0x"
 * without digits, any trailing character, and values outside the target type. The unsigned
 * variant accepts '-' only when the value is zero ("-0", "-0x0").
 * On failure *out is left unchanged and DDS_BOOLEAN_FALSE is returned. */
DDS_API DDS_Boolean QueltString_toInt64(const char *s, int64_t *out);
DDS_API DDS_Boolean QueltString_toUint64(const char *s, uint64_t *out);

/* ASCII case-insensitive comparison (<0, 0, >0). A null pointer sorts before any text and
 * equals another null pointer. */
DDS_API int QueltString_strcasecmp(const char *a, const char *b);

/* Negative results of the UTF conversions. */
#define QUELT_UTF_INVALID (-1)   /* malformed input (or null input) */
#define QUELT_UTF_TOO_SMALL (-2) /* the output does not fit in capacity */

/* NUL-terminated UTF-8 to UTF-16; code points above U+FFFF become surrogate pairs.
 * Returns the number of UTF-16 units of the text (the terminating NUL not counted).
 * out == NULL only measures (capacity is ignored). Otherwise capacity is the number of units at
 * out: the text must fit in it (else QUELT_UTF_TOO_SMALL), and the terminating NUL is written
 * only when one more unit is available, so pass length + 1 to always get it.
 * Invalid input yields QUELT_UTF_INVALID, which takes precedence over QUELT_UTF_TOO_SMALL:
 * overlong forms, UTF-8-encoded surrogates (U+D800..U+DFFF), code points above U+10FFFF, bytes
 * 0xC0, 0xC1, 0xF5..0xFF, truncated sequences and stray continuation bytes.
 * On failure the content of out is unspecified. */
DDS_API int QueltUtf8_toUtf16(const char *utf8, DDS_Wchar *out, int capacity);

/* NUL-terminated UTF-16 to UTF-8, with the same measuring and capacity conventions (capacity
 * and the result count bytes). Unpaired surrogates are rejected with QUELT_UTF_INVALID rather
 * than replaced, so that a round trip never silently alters text. */
DDS_API int QueltUtf16_toUtf8(const DDS_Wchar *in, char *out, int capacity);

/* ---- ordered skip list ----
 * Keeps user data ordered by a comparison function. The list never owns user data. Searching
 * never allocates, so lookups are safe in callbacks that must not touch the heap. */

/* cmp(a, b): a is always user data held by the list; b is the user data being inserted, or the
 * key given to find/remove. Returns a negative value, 0 or a positive value (usually -1, 0, 1). */
typedef int (*QueltSkipList_CompareFn)(const void *a, const void *b);
typedef struct QueltSkipListNode QueltSkipListNode;
typedef struct QueltSkipListAllocator QueltSkipListAllocator;
typedef struct QueltSkipList QueltSkipList;

/* ceil(log2(expectedEntries)), at least 1 and at most 31. */
DDS_API int QueltSkipList_getOptimumMaximumLevel(int expectedEntries);

/* Hands out node cells of maximumLevel (1..31) levels, initialCells of them preallocated; further
 * cells come in growing blocks, without limit. Cells of removed nodes are reused. One allocator
 * may serve several lists (all then share its maximum level); delete it after those lists.
 * Returns null for a maximumLevel out of range or out of memory. */
DDS_API QueltSkipListAllocator *QueltSkipList_newDefaultAllocator(int maximumLevel, int initialCells);
DDS_API void QueltSkipList_deleteDefaultAllocator(QueltSkipListAllocator *alloc);

/* Null on a null argument or out of memory. */
DDS_API QueltSkipList *QueltSkipList_new(QueltSkipListAllocator *alloc, QueltSkipList_CompareFn cmp);
/* Returns all cells to the allocator; user data is left alone. */
DDS_API void QueltSkipList_delete(QueltSkipList *list);

/* Inserts userData unless an equal one is present. Returns the node holding userData
 * (*existed = 0) or the node already holding an equal key (*existed = 1); null when out of memory
 * or given a null list. existed may be null. */
DDS_API QueltSkipListNode *QueltSkipList_assertNode(QueltSkipList *list, void *userData, int *existed);
/* The node whose user data compares equal to key, or null. */
DDS_API QueltSkipListNode *QueltSkipList_findNode(const QueltSkipList *list, const void *key);
/* The head sentinel (no user data); QueltSkipListNode_next of it is the first node. Null for a
 * null list. */
DDS_API QueltSkipListNode *QueltSkipList_gotoTopNode(const QueltSkipList *list);
/* The smallest node, or null when empty. */
DDS_API QueltSkipListNode *QueltSkipList_firstNode(const QueltSkipList *list);
/* The next node in order, or null after the last. */
DDS_API QueltSkipListNode *QueltSkipListNode_next(const QueltSkipListNode *node);
DDS_API void *QueltSkipListNode_getUserData(const QueltSkipListNode *node);
/* Removes the node equal to key; returns its user data, or null when absent. Nodes obtained
 * earlier other than the removed one stay valid. */
DDS_API void *QueltSkipList_removeNode(QueltSkipList *list, const void *key);
DDS_API int QueltSkipList_getSize(const QueltSkipList *list);

/* ---- pool of fixed-size buffers ---- */

/* Called once when a buffer is created; returns 1 on success. */
typedef int (*QueltPool_InitializeFn)(void *param, void *buffer);
/* Called once for every buffer that was initialized, when the pool is deleted. */
typedef void (*QueltPool_FinalizeFn)(void *param, void *buffer);

typedef struct QueltPoolProperty {
    int initial;   /* buffers created by QueltPool_new */
    int maximal;   /* upper bound on buffers ever created; -1: unlimited */
    int increment; /* buffers added per growth; -1: as many as exist (doubling); 0: never grow */
} QueltPoolProperty;

#define QUELT_POOL_PROPERTY_DEFAULT { 16, -1, -1 }

typedef struct QueltPool QueltPool;

/* bufferSize > 0; alignment a power of two, or 0 for the platform's maximal fundamental
 * alignment; prop null means QUELT_POOL_PROPERTY_DEFAULT; init and fini may be null.
 * Buffers are carved out of blocks, one heap allocation per growth. A buffer keeps its content
 * between return and the next get: init runs only at creation.
 * Returns null for invalid arguments (initial < 0, maximal < -1 or below initial, increment
 * < -1), out of memory, or when init fails for an initial buffer. */
DDS_API QueltPool *QueltPool_new(size_t bufferSize, size_t alignment, const QueltPoolProperty *prop,
                                 QueltPool_InitializeFn init, QueltPool_FinalizeFn fini, void *param);
/* Null when the pool reached maximal, is out of memory, or init failed for a new buffer. */
DDS_API void *QueltPool_getBuffer(QueltPool *pool);
/* Buffers not handed out by this pool, or returned twice, are ignored. */
DDS_API void QueltPool_returnBuffer(QueltPool *pool, void *buffer);
/* Finalizes every buffer the pool ever initialized, handed out or not, then frees everything. */
DDS_API void QueltPool_delete(QueltPool *pool);
/* Buffers currently handed out. */
DDS_API int QueltPool_getBufferCount(const QueltPool *pool);

DDS_END_DECLS

#endif
