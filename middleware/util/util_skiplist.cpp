// Ordered skip list with a block allocator of fixed-size node cells.
#include "dds/dds_util.h"

#include <cstdlib>
#include <new>

// A node is this header followed by `level` forward pointers. Every cell is sized for the
// allocator's maximum level so cells are interchangeable and can be recycled through a free list.
struct QueltSkipListNode {
    void *userData;
    int level;
};

namespace {

constexpr int kMaxLevel = 31;
constexpr int kMinGrowth = 16;

inline QueltSkipListNode **forward(const QueltSkipListNode *node)
{
    return reinterpret_cast<QueltSkipListNode **>(const_cast<QueltSkipListNode *>(node) + 1);
}

struct Block {
    Block *next;
    int cells;
};

static_assert(sizeof(QueltSkipListNode) % alignof(QueltSkipListNode *) == 0);
static_assert(sizeof(Block) % alignof(QueltSkipListNode) == 0);

}  // namespace

struct QueltSkipListAllocator {
    int maximumLevel;
    size_t cellSize;
    int totalCells;
    Block *blocks;
    // Free cells are chained through their first forward pointer.
    QueltSkipListNode *freeCells;
};

struct QueltSkipList {
    QueltSkipListAllocator *alloc;
    QueltSkipList_CompareFn cmp;
    QueltSkipListNode *head;
    int level;  // highest level in use, at least 1
    int size;
    uint64_t rng;
};

namespace {

bool addBlock(QueltSkipListAllocator *a, int cells)
{
    void *mem = std::malloc(sizeof(Block) + a->cellSize * static_cast<size_t>(cells));
    if (mem == nullptr) return false;
    Block *block = static_cast<Block *>(mem);
    block->next = a->blocks;
    block->cells = cells;
    a->blocks = block;
    char *base = reinterpret_cast<char *>(block + 1);
    for (int i = cells - 1; i >= 0; --i) {
        QueltSkipListNode *cell = reinterpret_cast<QueltSkipListNode *>(base + a->cellSize * static_cast<size_t>(i));
        forward(cell)[0] = a->freeCells;
        a->freeCells = cell;
    }
    a->totalCells += cells;
    return true;
}

QueltSkipListNode *takeCell(QueltSkipListAllocator *a, int level, void *userData)
{
    if (a->freeCells == nullptr) {
        int grow = a->totalCells > kMinGrowth ? a->totalCells : kMinGrowth;
        if (!addBlock(a, grow) && !addBlock(a, 1)) return nullptr;
    }
    QueltSkipListNode *cell = a->freeCells;
    a->freeCells = forward(cell)[0];
    cell->userData = userData;
    cell->level = level;
    QueltSkipListNode **fwd = forward(cell);
    for (int i = 0; i < a->maximumLevel; ++i) fwd[i] = nullptr;
    return cell;
}

void giveCell(QueltSkipListAllocator *a, QueltSkipListNode *cell)
{
    cell->userData = nullptr;
    forward(cell)[0] = a->freeCells;
    a->freeCells = cell;
}

// splitmix64: small, fast, and seeded per list so level choices are reproducible.
uint64_t nextRandom(uint64_t *state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Level k with probability 2^-k, capped at the allocator's maximum.
int randomLevel(QueltSkipList *list)
{
    uint64_t bits = nextRandom(&list->rng);
    int level = 1;
    while ((bits & 1u) != 0 && level < list->alloc->maximumLevel) {
        ++level;
        bits >>= 1;
    }
    return level;
}

// Fills update[i] with the last node at level i whose data compares below key; returns the
// candidate at level 0 (first node not below key), or null.
QueltSkipListNode *locate(const QueltSkipList *list, const void *key, QueltSkipListNode **update)
{
    QueltSkipListNode *x = list->head;
    for (int i = list->level - 1; i >= 0; --i) {
        QueltSkipListNode *next = forward(x)[i];
        while (next != nullptr && list->cmp(next->userData, key) < 0) {
            x = next;
            next = forward(x)[i];
        }
        if (update != nullptr) update[i] = x;
    }
    return forward(x)[0];
}

}  // namespace

extern "C" {

int QueltSkipList_getOptimumMaximumLevel(int expectedEntries)
{
    int level = 1;
    while (level < kMaxLevel && (1LL << level) < static_cast<long long>(expectedEntries)) ++level;
    return level;
}

QueltSkipListAllocator *QueltSkipList_newDefaultAllocator(int maximumLevel, int initialCells)
{
    if (maximumLevel < 1 || maximumLevel > kMaxLevel) return nullptr;
    auto *a = static_cast<QueltSkipListAllocator *>(std::malloc(sizeof(QueltSkipListAllocator)));
    if (a == nullptr) return nullptr;
    a->maximumLevel = maximumLevel;
    a->cellSize = sizeof(QueltSkipListNode) + sizeof(QueltSkipListNode *) * static_cast<size_t>(maximumLevel);
    a->totalCells = 0;
    a->blocks = nullptr;
    a->freeCells = nullptr;
    if (initialCells > 0 && !addBlock(a, initialCells)) {
        std::free(a);
        return nullptr;
    }
    return a;
}

void QueltSkipList_deleteDefaultAllocator(QueltSkipListAllocator *alloc)
{
    if (alloc == nullptr) return;
    for (Block *b = alloc->blocks; b != nullptr;) {
        Block *next = b->next;
        std::free(b);
        b = next;
    }
    std::free(alloc);
}

QueltSkipList *QueltSkipList_new(QueltSkipListAllocator *alloc, QueltSkipList_CompareFn cmp)
{
    if (alloc == nullptr || cmp == nullptr) return nullptr;
    auto *list = static_cast<QueltSkipList *>(std::malloc(sizeof(QueltSkipList)));
    if (list == nullptr) return nullptr;
    list->head = takeCell(alloc, alloc->maximumLevel, nullptr);
    if (list->head == nullptr) {
        std::free(list);
        return nullptr;
    }
    list->alloc = alloc;
    list->cmp = cmp;
    list->level = 1;
    list->size = 0;
    list->rng = 0x5175656C74ULL;
    return list;
}

void QueltSkipList_delete(QueltSkipList *list)
{
    if (list == nullptr) return;
    QueltSkipListNode *x = list->head;
    while (x != nullptr) {
        QueltSkipListNode *next = forward(x)[0];
        giveCell(list->alloc, x);
        x = next;
    }
    std::free(list);
}

QueltSkipListNode *QueltSkipList_assertNode(QueltSkipList *list, void *userData, int *existed)
{
    if (list == nullptr) return nullptr;
    QueltSkipListNode *update[kMaxLevel];
    QueltSkipListNode *candidate = locate(list, userData, update);
    if (candidate != nullptr && list->cmp(candidate->userData, userData) == 0) {
        if (existed != nullptr) *existed = 1;
        return candidate;
    }
    int level = randomLevel(list);
    QueltSkipListNode *node = takeCell(list->alloc, level, userData);
    if (node == nullptr) return nullptr;
    for (int i = list->level; i < level; ++i) update[i] = list->head;
    if (level > list->level) list->level = level;
    for (int i = 0; i < level; ++i) {
        forward(node)[i] = forward(update[i])[i];
        forward(update[i])[i] = node;
    }
    ++list->size;
    if (existed != nullptr) *existed = 0;
    return node;
}

QueltSkipListNode *QueltSkipList_findNode(const QueltSkipList *list, const void *key)
{
    if (list == nullptr) return nullptr;
    QueltSkipListNode *candidate = locate(list, key, nullptr);
    if (candidate != nullptr && list->cmp(candidate->userData, key) == 0) return candidate;
    return nullptr;
}

QueltSkipListNode *QueltSkipList_gotoTopNode(const QueltSkipList *list)
{
    return list != nullptr ? list->head : nullptr;
}

QueltSkipListNode *QueltSkipList_firstNode(const QueltSkipList *list)
{
    return list != nullptr ? forward(list->head)[0] : nullptr;
}

QueltSkipListNode *QueltSkipListNode_next(const QueltSkipListNode *node)
{
    return node != nullptr ? forward(node)[0] : nullptr;
}

void *QueltSkipListNode_getUserData(const QueltSkipListNode *node)
{
    return node != nullptr ? node->userData : nullptr;
}

void *QueltSkipList_removeNode(QueltSkipList *list, const void *key)
{
    if (list == nullptr) return nullptr;
    QueltSkipListNode *update[kMaxLevel];
    QueltSkipListNode *target = locate(list, key, update);
    if (target == nullptr || list->cmp(target->userData, key) != 0) return nullptr;
    for (int i = 0; i < target->level; ++i) forward(update[i])[i] = forward(target)[i];
    while (list->level > 1 && forward(list->head)[list->level - 1] == nullptr) --list->level;
    void *userData = target->userData;
    giveCell(list->alloc, target);
    --list->size;
    return userData;
}

int QueltSkipList_getSize(const QueltSkipList *list)
{
    return list != nullptr ? list->size : 0;
}

}  // extern "C"
