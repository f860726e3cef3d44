// The database of tags: host records (instances, objects, user data, shader
// instances, images) addressed by 32-bit tags, pinned while accessed.
#include <algorithm>
#include <cstring>

#include "vekohost/host.h"

namespace vh {

std::atomic<Database *> Database::instance_{nullptr};

Database &Database::make() {
    // Made on first use, never deleted (elements outlive static destruction
    // order); a function-local static makes the construction thread-safe.
    static Database *db = [] {
        auto *d = new Database;
        instance_.store(d, std::memory_order_release);
        return d;
    }();
    return *db;
}

xrTag Database::create(int type, const void *bytes, size_t size) {
    auto e = std::make_unique<Element>();
    e->type = type;
    e->size = size;
    e->storage.assign((size + 7) / 8 + 1, 0);
    if (bytes && size) std::memcpy(e->storage.data(), bytes, size);
    std::lock_guard lock(writeMutex_);
    const xrTag tag = next_;
    const uint32_t chunk = tag >> kChunkBits;
    if (chunk >= kChunks) throw Error("database: out of tags");
    Chunk *c = chunks_[chunk].load(std::memory_order_relaxed);
    if (!c) {
        c = new Chunk();
        for (auto &slot : *c) slot.store(nullptr, std::memory_order_relaxed);
        chunks_[chunk].store(c, std::memory_order_release);
    }
    (*c)[tag & (kChunkSize - 1)].store(e.release(), std::memory_order_release);
    ++next_;
    return tag;
}

xrTag Database::create(int type, size_t size) { return create(type, nullptr, size); }

void *Database::data(xrTag tag) {
    Element *e = find(tag);
    return e ? e->storage.data() : nullptr;
}

int Database::type(xrTag tag) const {
    Element *e = find(tag);
    return e ? e->type : 0;
}

size_t Database::size(xrTag tag) const {
    Element *e = find(tag);
    return e ? e->size : 0;
}

// Elements are removed when their scene goes away, never while a render
// reads them.
void Database::remove(xrTag tag) {
    std::lock_guard lock(writeMutex_);
    const uint32_t chunk = tag >> kChunkBits;
    if (tag == 0 || chunk >= kChunks) return;
    Chunk *c = chunks_[chunk].load(std::memory_order_relaxed);
    if (c) delete (*c)[tag & (kChunkSize - 1)].exchange(nullptr, std::memory_order_acq_rel);
}

// A thread's pin counts, indexed by tag like the element table (a chunk of
// counts per chunk of tags, made on the thread's first pin in it). Only the
// owning thread changes its counts, with plain loads and stores; other
// threads read them under pinMutex_, which also guards the making of
// chunks. A count may go negative where this thread released another
// thread's pin.
struct Database::PinTable {
    Database &db;
    // kChunks pointers, so a tag's chunk is found without a bounds check
    // beyond the one the element lookup makes.
    std::unique_ptr<std::atomic<std::atomic<int> *>[]> chunks{new std::atomic<std::atomic<int> *>[kChunks]()};

    explicit PinTable(Database &d) : db(d) {
        std::lock_guard lock(db.pinMutex_);
        db.pinTables_.push_back(this);
    }
    // The thread's counts move to the elements when it ends.
    ~PinTable() {
        std::lock_guard lock(db.pinMutex_);
        for (uint32_t c = 0; c < kChunks; ++c) {
            std::unique_ptr<std::atomic<int>[]> counts(chunks[c].load(std::memory_order_relaxed));
            if (!counts) continue;
            for (uint32_t i = 0; i < kChunkSize; ++i) {
                const int n = counts[i].load(std::memory_order_relaxed);
                if (n == 0) continue;
                if (Element *e = db.find((c << kChunkBits) | i)) e->pins.fetch_add(n, std::memory_order_relaxed);
            }
        }
        db.pinTables_.erase(std::find(db.pinTables_.begin(), db.pinTables_.end(), this));
    }
    // The count of a tag whose chunk index is below kChunks; null when this
    // thread has none in that chunk yet.
    std::atomic<int> *slot(xrTag tag) const {
        std::atomic<int> *c = chunks[tag >> kChunkBits].load(std::memory_order_relaxed);
        return c ? c + (tag & (kChunkSize - 1)) : nullptr;
    }
    std::atomic<int> &makeLocked(xrTag tag) {
        std::atomic<std::atomic<int> *> &c = chunks[tag >> kChunkBits];
        if (!c.load(std::memory_order_relaxed)) c.store(new std::atomic<int>[kChunkSize](), std::memory_order_relaxed);
        return *slot(tag);
    }
    std::atomic<int> &counter(xrTag tag) {
        if (std::atomic<int> *n = slot(tag)) return *n;
        return grow(tag);
    }
    // Kept out of line so the hot path saves no registers for it.
    [[gnu::noinline, gnu::cold]] std::atomic<int> &grow(xrTag tag) {
        std::lock_guard lock(db.pinMutex_);
        return makeLocked(tag);
    }
};

namespace {
inline void addRelaxed(std::atomic<int> &n, int d) {
    n.store(n.load(std::memory_order_relaxed) + d, std::memory_order_relaxed);
}
}  // namespace

namespace {
// The calling thread's table. A plain pointer in static TLS, so the hot path
// is one load with no guard and no call; the owner below is made once per
// thread and hands the counts over when the thread ends.
thread_local Database::PinTable *t_pins __attribute__((tls_model("initial-exec"))) = nullptr;
}  // namespace

Database::PinTable &Database::makePins() {
    struct Owner {
        PinTable table;
        explicit Owner(Database &d) : table(d) { t_pins = &table; }
        ~Owner() { t_pins = nullptr; }
    };
    thread_local Owner owner(*this);
    return owner.table;
}

int Database::pinsLocked(xrTag tag, const Element *e) const {
    int n = e->pins.load(std::memory_order_relaxed);
    for (const PinTable *t : pinTables_)
        if (const std::atomic<int> *c = t->slot(tag)) n += c->load(std::memory_order_relaxed);
    return n;
}

// The common case (the element exists and this thread has counts in its
// chunk) is a leaf; everything else goes to accessSlow.
void *Database::access(xrTag tag, int *type) {
    Element *e = find(tag);
    PinTable *t = t_pins;
    std::atomic<int> *n = e && t ? t->slot(tag) : nullptr;
    if (__builtin_expect(!n, 0)) return accessSlow(tag, type);
    addRelaxed(*n, 1);
    if (type) *type = e->type;
    return e->storage.data();
}

void *Database::accessSlow(xrTag tag, int *type) {
    Element *e = find(tag);
    if (!e) {
        if (type) *type = 0;
        return nullptr;
    }
    PinTable *t = t_pins;
    addRelaxed((t ? *t : makePins()).counter(tag), 1);
    if (type) *type = e->type;
    return e->storage.data();
}

// The common case reads only this thread's count: a tag this thread pinned
// has a chunk of counts, and the tag is valid (it was found when pinned).
void Database::unpin(xrTag tag) {
    const uint32_t chunk = tag >> kChunkBits;
    PinTable *t = t_pins;
    std::atomic<int> *n = t && chunk < kChunks ? t->slot(tag) : nullptr;
    if (n && n->load(std::memory_order_relaxed) > 0) {
        addRelaxed(*n, -1);
        return;
    }
    unpinSlow(tag, n);
}

void Database::unpinSlow(xrTag tag, std::atomic<int> *n) {
    Element *e = find(tag);
    if (!e) return;
    PinTable *t = t_pins;
    unpinOther(tag, e, t ? *t : makePins(), n);
}

// No pin of this thread's own: the pin may be another thread's.
void Database::unpinOther(xrTag tag, Element *e, PinTable &mine, std::atomic<int> *n) {
    std::unique_lock lock(pinMutex_);
    if (pinsLocked(tag, e) <= 0) {
        lock.unlock();
        hostMessage(Severity::Error, "xr_db_unpin: tag " + std::to_string(tag) + " is not pinned");
        return;
    }
    addRelaxed(n ? *n : mine.makeLocked(tag), -1);
}

int Database::pins(xrTag tag) const {
    Element *e = find(tag);
    if (!e) return 0;
    std::lock_guard lock(pinMutex_);
    return pinsLocked(tag, e);
}

int Database::totalPins() const {
    std::lock_guard lock(pinMutex_);
    int n = 0;
    for (uint32_t k = 0; k < kChunks; ++k) {
        const Chunk *c = chunks_[k].load(std::memory_order_acquire);
        if (!c) continue;
        for (uint32_t i = 0; i < kChunkSize; ++i)
            if (Element *e = (*c)[i].load(std::memory_order_acquire)) n += pinsLocked((k << kChunkBits) | i, e);
    }
    return n;
}

xrTag createUserData(uint32_t label, const std::vector<uint32_t> &payload, xrTag next) {
    // Readers take the blocks' words at fixed positions without knowing the
    // block's length: short blocks read as zeros up to this many words.
    constexpr size_t kMinPayloadWords = 32;
    std::vector<uint32_t> words(7 + std::max(payload.size(), kMinPayloadWords), 0);
    words[1] = next;
    words[2] = uint32_t((words.size() - 6) * 4);  // bytes from the label on
    words[6] = label;
    std::copy(payload.begin(), payload.end(), words.begin() + 7);
    return Database::get().create(xrDB_USERDATA, words.data(), words.size() * 4);
}

}  // namespace vh

namespace {
// The host calls on the database: once it exists (made at the first scene
// load, so always while shaders run) they are leaves in the common case.
[[gnu::noinline]] vh::Database &firstUse() { return vh::Database::get(); }
inline vh::Database &db() {
    vh::Database *d = vh::Database::existing();
    return __builtin_expect(d != nullptr, 1) ? *d : firstUse();
}
}  // namespace

extern "C" {
void *xr_db_access(xrTag tag) { return db().access(tag, nullptr); }
void *xr_db_access_type(xrInteger *type, xrTag tag) { return db().access(tag, type); }
void xr_db_unpin(xrTag tag) { db().unpin(tag); }
}
