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

xrTag Database::create(int type, const void *bytes, size_t size) {
    auto e = std::make_unique<Element>();
    e->type = type;
    e->size = size;
    e->storage.assign((size + 7) / 8 + 1, 0);
    if (bytes && size) std::memcpy(e->storage.data(), bytes, size);
    std::unique_lock lock(mutex_);
    xrTag tag = next_++;
    elements_[tag] = std::move(e);
    return tag;
}

xrTag Database::create(int type, size_t size) { return create(type, nullptr, size); }

void *Database::data(xrTag tag) {
    std::shared_lock lock(mutex_);
    auto it = elements_.find(tag);
    return it == elements_.end() ? nullptr : it->second->storage.data();
}

int Database::type(xrTag tag) const {
    std::shared_lock lock(mutex_);
    auto it = elements_.find(tag);
    return it == elements_.end() ? 0 : it->second->type;
}

size_t Database::size(xrTag tag) const {
    std::shared_lock lock(mutex_);
    auto it = elements_.find(tag);
    return it == elements_.end() ? 0 : it->second->size;
}

void Database::remove(xrTag tag) {
    std::unique_lock lock(mutex_);
    elements_.erase(tag);
}

void *Database::access(xrTag tag, int *type) {
    std::shared_lock lock(mutex_);
    auto it = elements_.find(tag);
    if (it == elements_.end()) {
        if (type) *type = 0;
        return nullptr;
    }
    it->second->pins.fetch_add(1);
    if (type) *type = it->second->type;
    return it->second->storage.data();
}

void Database::unpin(xrTag tag) {
    std::shared_lock lock(mutex_);
    auto it = elements_.find(tag);
    if (it == elements_.end()) return;
    if (it->second->pins.fetch_sub(1) <= 0) {
        it->second->pins.fetch_add(1);
        hostMessage(Severity::Error, "xr_db_unpin: tag " + std::to_string(tag) + " is not pinned");
    }
}

int Database::pins(xrTag tag) const {
    std::shared_lock lock(mutex_);
    auto it = elements_.find(tag);
    return it == elements_.end() ? 0 : it->second->pins.load();
}

int Database::totalPins() const {
    std::shared_lock lock(mutex_);
    int n = 0;
    for (auto &[t, e] : elements_) n += e->pins.load();
    return n;
}

xrTag createUserData(uint32_t label, const std::vector<uint32_t> &payload, xrTag next) {
    // Readers take the blocks' words at fixed positions without knowing the
    // block's length: short blocks read as zeros up to this many words.
    constexpr size_t kMinPayloadWords = 32;
    std::vector<uint32_t> words(7 + std::max(payload.size(), kMinPayloadWords), 0);
    words[1] = next;
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
