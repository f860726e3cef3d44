// "Veko" user-data lookup and the per-thread block pools.
#include <atomic>

#include "vekobase.h"

namespace veko {

// See RecordScope (vekobase.h).
RecordBindingSlot g_recordBindings[kBoundThreads];

namespace {

// A user-data chain longer than this is taken as corrupt (a loop).
constexpr int kMaxChain = 1 << 16;

uint32_t byteSwap(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

// Reads the first user-data tag of an object or instance record.
xrTag chainStart(int elementType, xrTag tag) {
    int word;
    if (elementType == xrDB_OBJECT)
        word = kObjectUserData;
    else if (elementType == xrDB_INSTANCE)
        word = kInstanceUserData;
    else
        return 0;
    int type = 0;
    const uint32_t *rec = static_cast<const uint32_t *>(xr_db_access_type(&type, tag));
    if (!rec) return 0;
    // Shaders ask for an object's data with the instance tag they hold
    // (`instanceTag`); an instance answers with its own data chain, which the
    // host fills from the object's user data.
    if (elementType == xrDB_OBJECT && type == xrDB_INSTANCE) {
        type = xrDB_OBJECT;
        word = kInstanceUserData;
    }
    xrTag start = type == elementType ? rec[word] : 0;
    xr_db_unpin(tag);
    return start;
}

}  // namespace

uint32_t *findUserData(uint32_t magic, int elementType, xrTag tag, xrTag *foundTag,
                       xrBoolean *swapped) {
    xrTag cur = elementType == xrDB_USERDATA ? tag : chainStart(elementType, tag);
    const uint32_t reversed = byteSwap(magic);
    for (int steps = 0; cur && steps < kMaxChain; ++steps) {
        int type = 0;
        uint32_t *rec = static_cast<uint32_t *>(xr_db_access_type(&type, cur));
        if (!rec) return nullptr;
        if (type != xrDB_USERDATA) {
            xr_db_unpin(cur);
            return nullptr;
        }
        const uint32_t label = rec[kUserDataLabel];
        if (label == magic || (swapped && label == reversed)) {
            if (swapped) *swapped = label == magic ? 0 : 1;
            if (foundTag) *foundTag = cur;
            return rec + kUserDataLabel;
        }
        const xrTag next = rec[kUserDataNext];
        xr_db_unpin(cur);
        cur = next;
    }
    return nullptr;
}

uint32_t *findUserDataOnAny(uint32_t magic, xrTag tag, xrTag *foundTag) {
    if (!tag) return nullptr;
    int type = 0;
    uint32_t *rec = static_cast<uint32_t *>(xr_db_access_type(&type, tag));
    if (!rec) return nullptr;
    xrTag start = 0;
    if (type == xrDB_USERDATA) {
        if (rec[kUserDataLabel] == magic) {
            if (foundTag) *foundTag = tag;
            return rec + kUserDataLabel;
        }
        start = rec[kUserDataNext];
    } else if (type == xrDB_OBJECT) {
        start = rec[kObjectUserData];
    } else if (type == xrDB_INSTANCE) {
        start = rec[kInstanceUserData];
    }
    xr_db_unpin(tag);
    return start ? findUserData(magic, xrDB_USERDATA, start, foundTag, nullptr) : nullptr;
}

// ---------------------------------------------------------------------------
// Block pools, one per (render thread, block size). The list only grows while
// rendering; entries are immutable once published, so lookups walk it
// without a lock. Pushes take the host's library lock.
namespace {

struct PoolEntry {
    uint16_t thread;
    int32_t size;
    xrBlockPool pool;
    PoolEntry *next;
};

std::atomic<PoolEntry *> g_pools{nullptr};

}  // namespace

xrBlockPool threadBlockPool(xrState *state, int blockSize) {
    const uint16_t thread = state->threadIndex;
    for (PoolEntry *e = g_pools.load(std::memory_order_acquire); e; e = e->next)
        if (e->thread == thread && e->size == blockSize) return e->pool;

    xrBlockPool pool = xr_mem_int_blkcreate(blockSize);
    if (!pool) return nullptr;
    auto *entry = static_cast<PoolEntry *>(xr_mem_int_allocate(__FILE__, __LINE__, sizeof(PoolEntry)));
    if (!entry) {
        xr_mem_blkdelete(pool);
        return nullptr;
    }
    entry->thread = thread;
    entry->size = blockSize;
    entry->pool = pool;
    // Only the owning thread adds entries for its key, so the miss above
    // stays a miss. Pushes go under the library lock; the compare-exchange
    // keeps them sound on a host that gives none.
    if (state->libraryLock) xr_lock(state->libraryLock);
    entry->next = g_pools.load(std::memory_order_relaxed);
    while (!g_pools.compare_exchange_weak(entry->next, entry, std::memory_order_release,
                                          std::memory_order_relaxed)) {
    }
    if (state->libraryLock) xr_unlock(state->libraryLock);
    return pool;
}

void deleteBlockPools(xrState *state) {
    xrLock lock = state ? state->libraryLock : nullptr;
    if (lock) xr_lock(lock);
    PoolEntry *e = g_pools.exchange(nullptr, std::memory_order_acq_rel);
    while (e) {
        PoolEntry *next = e->next;
        xr_mem_blkdelete(e->pool);
        xr_mem_int_release(__FILE__, __LINE__, e);
        e = next;
    }
    if (lock) xr_unlock(lock);
}

}  // namespace veko
