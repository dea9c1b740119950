// The entities lookup list (entity handle -> full name) and the full-name rule.
#include "DDSConnector.h"

#include <cstdint>
#include <cstring>

namespace {

// Sized for a large participant; searches stay logarithmic well beyond it.
constexpr int kExpectedEntities = 4096;
// Most configurations have a handful of entities; both the cells and the nodes grow on demand.
constexpr int kInitialEntries = 12;

const char *const kNoNameSet = "NO_NAME_SET";

} // namespace

extern "C" {

// Entities are ordered by handle value. The handle is compared as an unsigned machine word: on
// 32-bit targets that is the unsigned 32-bit value; on 64-bit hosts comparing only the low half
// could make two distinct entities equal.
int QueltDDSConnector_EntitiesLookupList_cmp(const void *a, const void *b)
{
    const auto ea = reinterpret_cast<uintptr_t>(static_cast<const QueltDDSConnector_EntitiesLookupListNode *>(a)->entity);
    const auto eb = reinterpret_cast<uintptr_t>(static_cast<const QueltDDSConnector_EntitiesLookupListNode *>(b)->entity);
    if (ea > eb)
        return 1;
    if (ea < eb)
        return -1;
    return 0;
}

int QueltDDSConnector_EntitiesLookupListNode_initialize(void *, void *buffer)
{
    auto *node = static_cast<QueltDDSConnector_EntitiesLookupListNode *>(buffer);
    node->entity = nullptr;
    node->name = nullptr;
    return 1;
}

void QueltDDSConnector_EntitiesLookupListNode_finalize(void *, void *buffer)
{
    auto *node = static_cast<QueltDDSConnector_EntitiesLookupListNode *>(buffer);
    node->entity = nullptr;
    if (node->name) {
        DDS_String_free(node->name);
        node->name = nullptr;
    }
}

int QueltDDSConnector_EntitiesLookupList_new(QueltDDSConnector *self)
{
    static const char *const ctx = "QueltDDSConnector_EntitiesLookupList_new";
    if (!self) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_NEW_FAILURE_s, "QueltDDSConnector");
        return 1;
    }
    self->entitiesLookupListAllocator =
        QueltSkipList_newDefaultAllocator(QueltSkipList_getOptimumMaximumLevel(kExpectedEntities), kInitialEntries);
    if (!self->entitiesLookupListAllocator) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_CREATION_FAILURE_s, "skiplist default allocator");
        return 1;
    }
    self->entitiesLookupList = QueltSkipList_new(self->entitiesLookupListAllocator, QueltDDSConnector_EntitiesLookupList_cmp);
    if (!self->entitiesLookupList) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_CREATION_FAILURE_s, "entitiesLookupList");
        return 1;
    }
    const QueltPoolProperty prop = {kInitialEntries, -1, -1};
    self->entitiesLookupListPool =
        QueltPool_new(sizeof(QueltDDSConnector_EntitiesLookupListNode), alignof(QueltDDSConnector_EntitiesLookupListNode), &prop,
                      QueltDDSConnector_EntitiesLookupListNode_initialize, QueltDDSConnector_EntitiesLookupListNode_finalize, nullptr);
    if (!self->entitiesLookupListPool) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_CREATION_FAILURE_s, "entitiesLookupListPool");
        return 1;
    }
    return 0;
}

int QueltDDSConnector_EntitiesLookupList_addEntity(QueltDDSConnector *self, void *entity, const char *name)
{
    static const char *const ctx = "QueltDDSConnector_EntitiesLookupList_addEntity";
    if (!self) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_NEW_FAILURE_s, "QueltDDSConnector");
        return 1;
    }
    auto *node = static_cast<QueltDDSConnector_EntitiesLookupListNode *>(QueltPool_getBuffer(self->entitiesLookupListPool));
    if (!node) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_OUT_OF_HEAP_STRUCT_d, static_cast<int>(sizeof(QueltDDSConnector_EntitiesLookupListNode)));
        return 1;
    }
    node->entity = entity;
    node->name = DDS_String_dup(name);
    int existed = 0;
    if (!QueltSkipList_assertNode(self->entitiesLookupList, node, &existed) || existed) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, "assertNodeEA");
        DDS_String_free(node->name);
        node->name = nullptr;
        node->entity = nullptr;
        QueltPool_returnBuffer(self->entitiesLookupListPool, node);
        return 1;
    }
    return 0;
}

// Runs inside middleware status callbacks: a skip-list search, no allocation.
const char *QueltDDSConnector_EntitiesLookupList_lookupEntity(QueltDDSConnector *self, const void *entity)
{
    static const char *const ctx = "QueltDDSConnector_EntitiesLookupList_lookup";
    if (!self || !QueltSkipList_gotoTopNode(self->entitiesLookupList)) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, "gotoTopNode");
        return nullptr;
    }
    QueltDDSConnector_EntitiesLookupListNode key = {const_cast<void *>(entity), nullptr};
    const QueltSkipListNode *found = QueltSkipList_findNode(self->entitiesLookupList, &key);
    if (!found) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, "node not found");
        return nullptr;
    }
    return static_cast<const QueltDDSConnector_EntitiesLookupListNode *>(QueltSkipListNode_getUserData(found))->name;
}

void QueltDDSConnector_EntitiesLookupList_delete(QueltDDSConnector *self)
{
    static const char *const ctx = "QueltDDSConnector_EntitiesLookupList_delete";
    if (!self || !self->entitiesLookupList || !self->entitiesLookupListPool) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "QueltDDSConnector");
        // A construction that failed half-way may have made the allocator or list only.
        if (self && !self->entitiesLookupListPool) {
            QueltSkipList_delete(self->entitiesLookupList);
            self->entitiesLookupList = nullptr;
            QueltSkipList_deleteDefaultAllocator(self->entitiesLookupListAllocator);
            self->entitiesLookupListAllocator = nullptr;
        }
        return;
    }
    const QueltSkipListNode *top = QueltSkipList_gotoTopNode(self->entitiesLookupList);
    if (!top) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, "gotoTopNode");
        return;
    }
    for (const QueltSkipListNode *n = QueltSkipListNode_next(top); n; n = QueltSkipListNode_next(n))
        QueltPool_returnBuffer(self->entitiesLookupListPool, QueltSkipListNode_getUserData(n));
    QueltSkipList_delete(self->entitiesLookupList);
    self->entitiesLookupList = nullptr;
    QueltSkipList_deleteDefaultAllocator(self->entitiesLookupListAllocator);
    self->entitiesLookupListAllocator = nullptr;
    QueltPool_delete(self->entitiesLookupListPool); // finalises every node, freeing the names
    self->entitiesLookupListPool = nullptr;
}

int QueltDDSConnector_combineStringsI(const char *first, const char *second, char **name, int capacity)
{
    static const char *const ctx = "QueltDDSConnector_combineStringsI";
    if (!first)
        first = kNoNameSet;
    if (!second)
        second = kNoNameSet;
    const size_t firstLength = std::strlen(first);
    const size_t secondLength = std::strlen(second);
    const size_t needed = firstLength + secondLength + 2;
    int allocated = 0;
    char *out = *name;
    if (capacity < 0 || needed > static_cast<size_t>(capacity)) {
        out = DDS_String_alloc(needed);
        if (!out) {
            CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "DDS_String_alloc (inOut)");
            return 0;
        }
        *name = out;
        allocated = 1;
    }
    std::memcpy(out, first, firstLength);
    std::memcpy(out + firstLength, "::", 2);
    std::memcpy(out + firstLength + 2, second, secondLength);
    out[needed] = '\0';
    return allocated;
}

} // extern "C"
