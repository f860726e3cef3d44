// Host memory for the library: zero-filled allocations tracked by source file
// and line (leaks are reported when the host shuts down), fixed-size block
// pools, and locks.
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "vekohost/host.h"

namespace vh {
namespace {

struct Allocation {
    std::string file;
    int line;
    size_t size;
};

struct Tracker {
    std::mutex mutex;
    std::unordered_map<void *, Allocation> live;
    LeakReport report() {
        std::lock_guard<std::mutex> lock(mutex);
        LeakReport r;
        std::map<std::string, std::pair<size_t, size_t>> bySite;
        for (auto &[p, a] : live) {
            r.blocks++;
            r.bytes += a.size;
            auto &s = bySite[a.file + ":" + std::to_string(a.line)];
            s.first++;
            s.second += a.size;
        }
        if (r.blocks) {
            std::ostringstream os;
            os << r.blocks << " block(s), " << r.bytes << " bytes of shader memory not released:\n";
            for (auto &[site, s] : bySite) os << "  " << site << ": " << s.first << " block(s), " << s.second << " bytes\n";
            r.text = os.str();
        }
        return r;
    }
};

Tracker &tracker() {
    static Tracker *t = new Tracker;  // lives until exit; reports at exit
    return *t;
}

struct ExitReporter {
    ~ExitReporter() {
        LeakReport r = tracker().report();
        if (r.blocks) fprintf(stderr, "warning: %s", r.text.c_str());
    }
} g_exitReporter;

}  // namespace

LeakReport liveAllocations() { return tracker().report(); }

}  // namespace vh

// Block pools: blocks of one size carved from chunks; freed blocks go on a
// free list. Used by one render thread at a time (the library keys pools by
// thread), but guarded anyway since a pool may be shared by mistake.
struct xrBlockPoolImpl {
    std::mutex mutex;
    size_t size;
    std::vector<void *> chunks;
    void *freeList = nullptr;
    size_t used = 0;  // bytes used in the newest chunk
    static constexpr size_t chunkBlocks = 256;
};

struct xrLockImpl {
    std::recursive_mutex mutex;
};

extern "C" {

void *xr_mem_int_allocate(const char *file, xrInteger line, size_t size) {
    void *p = std::calloc(1, size ? size : 1);
    if (!p) {
        vh::hostMessage(vh::Severity::Fatal, std::string("out of memory allocating ") + std::to_string(size) + " bytes for " + (file ? file : "?"));
        std::abort();
    }
    auto &t = vh::tracker();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.live[p] = {file ? file : "?", line, size};
    return p;
}

void *xr_mem_int_reallocate(const char *file, xrInteger line, void *mem, size_t size) {
    if (!mem) return xr_mem_int_allocate(file, line, size);
    auto &t = vh::tracker();
    size_t old = 0;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.live.find(mem);
        if (it == t.live.end()) {
            vh::hostMessage(vh::Severity::Error, std::string("xr_mem_int_reallocate: unknown block from ") + (file ? file : "?") + ":" + std::to_string(line));
            return nullptr;
        }
        old = it->second.size;
        t.live.erase(it);
    }
    void *p = std::realloc(mem, size ? size : 1);
    if (size > old) std::memset(static_cast<char *>(p) + old, 0, size - old);
    std::lock_guard<std::mutex> lock(t.mutex);
    t.live[p] = {file ? file : "?", line, size};
    return p;
}

void xr_mem_int_release(const char *file, xrInteger line, void *mem) {
    if (!mem) return;
    auto &t = vh::tracker();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        if (!t.live.erase(mem)) {
            vh::hostMessage(vh::Severity::Error, std::string("xr_mem_int_release: unknown block from ") + (file ? file : "?") + ":" + std::to_string(line));
            return;
        }
    }
    std::free(mem);
}

xrBlockPool xr_mem_int_blkcreate(xrInteger size) {
    auto *p = new xrBlockPoolImpl;
    p->size = (std::max<xrInteger>(size, 8) + 7) & ~size_t(7);
    return p;
}

void *xr_mem_blkfallocate(xrBlockPool pool) {
    if (!pool) return nullptr;
    std::lock_guard<std::mutex> lock(pool->mutex);
    void *b;
    if (pool->freeList) {
        b = pool->freeList;
        std::memcpy(&pool->freeList, b, sizeof(void *));
    } else {
        if (pool->chunks.empty() || pool->used + pool->size > pool->size * xrBlockPoolImpl::chunkBlocks) {
            pool->chunks.push_back(std::malloc(pool->size * xrBlockPoolImpl::chunkBlocks));
            pool->used = 0;
        }
        b = static_cast<char *>(pool->chunks.back()) + pool->used;
        pool->used += pool->size;
    }
    std::memset(b, 0, pool->size);
    return b;
}

void xr_mem_blkfrelease(xrBlockPool pool, void *block) {
    if (!pool || !block) return;
    std::lock_guard<std::mutex> lock(pool->mutex);
    std::memcpy(block, &pool->freeList, sizeof(void *));
    pool->freeList = block;
}

void xr_mem_blkdelete(xrBlockPool pool) {
    if (!pool) return;
    for (void *c : pool->chunks) std::free(c);
    delete pool;
}

void xr_init_lock(xrLock *lock) {
    if (lock) *lock = new xrLockImpl;
}
void xr_delete_lock(xrLock *lock) {
    if (lock && *lock) {
        delete *lock;
        *lock = nullptr;
    }
}
void xr_lock(xrLock lock) {
    if (lock) lock->mutex.lock();
}
void xr_unlock(xrLock lock) {
    if (lock) lock->mutex.unlock();
}

}  // extern "C"
