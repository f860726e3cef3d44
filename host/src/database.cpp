// The database of tags: host records (instances, objects, user data, shader
// instances, images) addressed by 32-bit tags, pinned while accessed.
#include <algorithm>
#include <cstring>

#include "vekohost/host.h"

namespace vh {

Database &Database::get() {
    static Database *db = new Database;
    return *db;
}

Database::Element *Database::find(xrTag tag) const {
    const uint32_t chunk = tag >> kChunkBits;
    if (tag == 0 || chunk >= kChunks) return nullptr;
    const Chunk *c = chunks_[chunk].load(std::memory_order_acquire);
    return c ? (*c)[tag & (kChunkSize - 1)].load(std::memory_order_acquire) : nullptr;
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

void *Database::peek(xrTag tag, int *type) const {
    Element *e = find(tag);
    *type = e ? e->type : 0;
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

void *Database::access(xrTag tag, int *type) {
    Element *e = find(tag);
    if (!e) {
        if (type) *type = 0;
        return nullptr;
    }
    e->pins.fetch_add(1, std::memory_order_relaxed);
    if (type) *type = e->type;
    return e->storage.data();
}

void Database::unpin(xrTag tag) {
    Element *e = find(tag);
    if (!e) return;
    if (e->pins.fetch_sub(1, std::memory_order_relaxed) <= 0) {
        e->pins.fetch_add(1, std::memory_order_relaxed);
        hostMessage(Severity::Error, "xr_db_unpin: tag " + std::to_string(tag) + " is not pinned");
    }
}

int Database::pins(xrTag tag) const {
    Element *e = find(tag);
    return e ? e->pins.load() : 0;
}

int Database::totalPins() const {
    int n = 0;
    for (uint32_t k = 0; k < kChunks; ++k) {
        const Chunk *c = chunks_[k].load(std::memory_order_acquire);
        if (!c) continue;
        for (auto &slot : *c)
            if (Element *e = slot.load(std::memory_order_acquire)) n += e->pins.load();
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

extern "C" {
void *xr_db_access(xrTag tag) { return vh::Database::get().access(tag, nullptr); }
void *xr_db_access_type(xrInteger *type, xrTag tag) { return vh::Database::get().access(tag, type); }
void xr_db_unpin(xrTag tag) { vh::Database::get().unpin(tag); }
}
