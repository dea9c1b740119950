#include "block_pool.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUELT_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QUELT_ASAN)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <mutex>
#include <vector>

namespace quelt::mw::cyclone {
namespace {

constexpr size_t kClasses = 5;             // 128, 256, 512, 1024, 2048 bytes
constexpr size_t kSmallest = 128;
constexpr size_t kPerThread = 64;          // blocks a thread keeps of each size
constexpr size_t kBundle = kPerThread / 2; // moved to or from the shared stack at once
constexpr size_t kSharedBytes = 1 << 20;   // kept in each shared stack at most; the rest is freed

size_t class_bytes(size_t c) { return kSmallest << c; }

void release(void *b, size_t c)
{
    ASAN_UNPOISON_MEMORY_REGION(b, class_bytes(c));
    std::free(b);
}

struct Shared {
    std::mutex lock;
    std::vector<void *> blocks;
};

size_t room(size_t c) { return kSharedBytes / class_bytes(c); }

// Never destroyed: threads may give their blocks back while the process exits. Each stack holds
// its bound from the start, so that giving blocks back never allocates.
Shared *shared()
{
    static Shared *s = [] {
        auto *all = new Shared[kClasses];
        for (size_t c = 0; c < kClasses; ++c)
            all[c].blocks.reserve(room(c));
        return all;
    }();
    return s;
}

// Set once the thread's cache is gone (the thread or process is exiting): blocks freed after
// that go straight back to malloc.
thread_local bool t_cache_gone = false;

struct ThreadCache {
    void *blocks[kClasses][kPerThread];
    size_t count[kClasses] = {};
    ~ThreadCache()
    {
        for (size_t c = 0; c < kClasses; ++c)
            give(c, count[c]);
        t_cache_gone = true;
    }
    // Moves the top n blocks of class c to the shared stack, freeing what exceeds its bound.
    void give(size_t c, size_t n)
    {
        Shared &s = shared()[c];
        std::lock_guard<std::mutex> g(s.lock);
        for (size_t i = 0; i < n; ++i) {
            void *b = blocks[c][--count[c]];
            if (s.blocks.size() < room(c))
                s.blocks.push_back(b);
            else
                release(b, c);
        }
    }
    void take(size_t c)
    {
        Shared &s = shared()[c];
        std::lock_guard<std::mutex> g(s.lock);
        const size_t n = std::min(kBundle, s.blocks.size());
        for (size_t i = 0; i < n; ++i) {
            blocks[c][count[c]++] = s.blocks.back();
            s.blocks.pop_back();
        }
    }
};

// On the heap: a module loaded into a running interpreter has little static TLS to spare.
thread_local std::unique_ptr<ThreadCache> t_cache;

ThreadCache *cache()
{
    if (t_cache_gone)
        return nullptr;
    if (!t_cache)
        t_cache.reset(new (std::nothrow) ThreadCache);
    return t_cache.get();
}

} // namespace

void *block_alloc(size_t bytes, uint8_t &size_class)
{
    size_t c = 0;
    while (c < kClasses && class_bytes(c) < bytes)
        ++c;
    if (c == kClasses) {
        size_class = kUnpooled;
        return std::malloc(bytes);
    }
    size_class = static_cast<uint8_t>(c);
    ThreadCache *t = cache();
    if (t && t->count[c] == 0)
        t->take(c);
    void *b = t && t->count[c] ? t->blocks[c][--t->count[c]] : std::malloc(class_bytes(c));
    // Under AddressSanitizer a block is usable up to the bytes asked for, and not at all while
    // cached: overruns and uses after free show as they would with malloc.
    if (b) {
        ASAN_UNPOISON_MEMORY_REGION(b, bytes);
        ASAN_POISON_MEMORY_REGION(static_cast<char *>(b) + bytes, class_bytes(c) - bytes);
    }
    return b;
}

void block_free(void *block, uint8_t size_class)
{
    if (!block)
        return;
    if (size_class == kUnpooled) {
        std::free(block);
        return;
    }
    ThreadCache *t = cache();
    if (!t) {
        release(block, size_class);
        return;
    }
    ASAN_POISON_MEMORY_REGION(block, class_bytes(size_class));
    if (t->count[size_class] == kPerThread)
        t->give(size_class, kBundle);
    t->blocks[size_class][t->count[size_class]++] = block;
}

} // namespace quelt::mw::cyclone
