// Pool of fixed-size buffers, carved out of blocks so that steady-state get/return never
// touches the heap.
#include "dds/dds_util.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// One heap allocation: this header, one in-use flag per buffer, then the aligned buffers.
struct PoolBlock {
    PoolBlock *next;
    char *buffers;
    int count;
    unsigned char *inUse;
};

}  // namespace

struct QueltPool {
    size_t bufferSize;
    size_t alignment;
    size_t stride;
    QueltPoolProperty prop;
    QueltPool_InitializeFn init;
    QueltPool_FinalizeFn fini;
    void *param;
    PoolBlock *blocks;
    int created;
    int outstanding;
    // Stack of available buffers; its capacity always covers every created buffer, so pushing a
    // returned buffer never allocates.
    void **freeStack;
    int freeCount;
};

namespace {

void finalizeBlock(QueltPool *pool, PoolBlock *block, int count)
{
    if (pool->fini == nullptr) return;
    for (int i = 0; i < count; ++i) pool->fini(pool->param, block->buffers + pool->stride * static_cast<size_t>(i));
}

bool grow(QueltPool *pool, int count)
{
    if (count <= 0) return false;
    if (pool->prop.maximal >= 0 && count > pool->prop.maximal - pool->created) {
        count = pool->prop.maximal - pool->created;
        if (count <= 0) return false;
    }

    if (pool->stride > (SIZE_MAX / 2) / static_cast<size_t>(count)) return false;
    void **stack = static_cast<void **>(
        std::realloc(pool->freeStack, sizeof(void *) * static_cast<size_t>(pool->created + count)));
    if (stack == nullptr) return false;
    pool->freeStack = stack;

    size_t flagsOffset = sizeof(PoolBlock);
    size_t buffersOffset = flagsOffset + static_cast<size_t>(count);
    size_t total = buffersOffset + pool->alignment - 1 + pool->stride * static_cast<size_t>(count);
    char *mem = static_cast<char *>(std::malloc(total));
    if (mem == nullptr) return false;
    auto *block = reinterpret_cast<PoolBlock *>(mem);
    block->next = nullptr;
    block->count = count;
    block->inUse = reinterpret_cast<unsigned char *>(mem + flagsOffset);
    std::memset(block->inUse, 0, static_cast<size_t>(count));
    uintptr_t raw = reinterpret_cast<uintptr_t>(mem + buffersOffset);
    uintptr_t aligned = (raw + pool->alignment - 1) & ~static_cast<uintptr_t>(pool->alignment - 1);
    block->buffers = mem + (aligned - reinterpret_cast<uintptr_t>(mem));

    for (int i = 0; i < count; ++i) {
        void *buffer = block->buffers + pool->stride * static_cast<size_t>(i);
        if (pool->init != nullptr && pool->init(pool->param, buffer) != 1) {
            // Undo this block only; buffers created earlier are fine and stay.
            finalizeBlock(pool, block, i);
            std::free(mem);
            return false;
        }
    }
    // Push in reverse so buffers are handed out in address order.
    for (int i = count - 1; i >= 0; --i) {
        pool->freeStack[pool->freeCount++] = block->buffers + pool->stride * static_cast<size_t>(i);
    }
    block->next = pool->blocks;
    pool->blocks = block;
    pool->created += count;
    return true;
}

PoolBlock *owningBlock(const QueltPool *pool, const void *buffer, size_t *index)
{
    const char *p = static_cast<const char *>(buffer);
    for (PoolBlock *b = pool->blocks; b != nullptr; b = b->next) {
        const char *end = b->buffers + pool->stride * static_cast<size_t>(b->count);
        if (p < b->buffers || p >= end) continue;
        size_t offset = static_cast<size_t>(p - b->buffers);
        if (offset % pool->stride != 0) return nullptr;
        *index = offset / pool->stride;
        return b;
    }
    return nullptr;
}

}  // namespace

extern "C" {

QueltPool *QueltPool_new(size_t bufferSize, size_t alignment, const QueltPoolProperty *prop,
                         QueltPool_InitializeFn init, QueltPool_FinalizeFn fini, void *param)
{
    static const QueltPoolProperty kDefault = QUELT_POOL_PROPERTY_DEFAULT;
    if (prop == nullptr) prop = &kDefault;
    if (bufferSize == 0) return nullptr;
    if (alignment == 0) alignment = alignof(std::max_align_t);
    if ((alignment & (alignment - 1)) != 0) return nullptr;
    if (prop->initial < 0 || prop->maximal < -1 || prop->increment < -1) return nullptr;
    if (prop->maximal >= 0 && prop->maximal < prop->initial) return nullptr;
    if (bufferSize > (SIZE_MAX >> 8)) return nullptr;

    auto *pool = static_cast<QueltPool *>(std::calloc(1, sizeof(QueltPool)));
    if (pool == nullptr) return nullptr;
    pool->bufferSize = bufferSize;
    pool->alignment = alignment;
    pool->stride = (bufferSize + alignment - 1) & ~(alignment - 1);
    pool->prop = *prop;
    pool->init = init;
    pool->fini = fini;
    pool->param = param;
    if (prop->initial > 0 && !grow(pool, prop->initial)) {
        QueltPool_delete(pool);
        return nullptr;
    }
    return pool;
}

void *QueltPool_getBuffer(QueltPool *pool)
{
    if (pool == nullptr) return nullptr;
    if (pool->freeCount == 0) {
        int step = pool->prop.increment;
        if (step == -1) step = pool->created > 0 ? pool->created : 1;
        if (!grow(pool, step)) return nullptr;
    }
    void *buffer = pool->freeStack[--pool->freeCount];
    size_t index = 0;
    PoolBlock *block = owningBlock(pool, buffer, &index);
    block->inUse[index] = 1;
    ++pool->outstanding;
    return buffer;
}

void QueltPool_returnBuffer(QueltPool *pool, void *buffer)
{
    if (pool == nullptr || buffer == nullptr) return;
    size_t index = 0;
    PoolBlock *block = owningBlock(pool, buffer, &index);
    // Foreign pointers and double returns would corrupt the free stack; refuse them.
    if (block == nullptr || block->inUse[index] == 0) return;
    block->inUse[index] = 0;
    pool->freeStack[pool->freeCount++] = buffer;
    --pool->outstanding;
}

void QueltPool_delete(QueltPool *pool)
{
    if (pool == nullptr) return;
    for (PoolBlock *b = pool->blocks; b != nullptr;) {
        PoolBlock *next = b->next;
        finalizeBlock(pool, b, b->count);
        std::free(b);
        b = next;
    }
    std::free(pool->freeStack);
    std::free(pool);
}

int QueltPool_getBufferCount(const QueltPool *pool)
{
    return pool != nullptr ? pool->outstanding : 0;
}

}  // extern "C"
