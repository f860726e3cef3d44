// Light linking: the node turns a scene-wide table of light/object groups
// into, per object instance, the sorted list of lights that illuminate it.
//
// The `links` array is read as groups: a light, the objects it is unlinked
// from, then a 0 tag. The instance init builds one table: entry 0 is the
// default (objects that no group names), entries 1.. are keyed by object
// instance tag in ascending order, and every entry owns a sorted segment of
// one shared light array. A call is a binary search; nothing is allocated.
//
// Two exported helpers let materials of other libraries ask a light-link
// node for the current object's list and test one light against it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "vekobase.h"

namespace {

enum : xrInteger {
    kQueryParentInstance = 8,  // instance the given one derives from (0: none)
    kQueryUserPointer = 51,    // address of the current instance's user pointer
};

// Shader kind code under which the helper calls the light-link node.
constexpr xrInteger kShaderKindLightLink = 12;

struct LightLinkParams {
    veko::Array<xrTag> links;  // 0 start, 1 count, 2 storage
};
static_assert(sizeof(LightLinkParams) == 3 * 4);

struct LightLinkEntry {
    xrTag key;      // 0 object instance tag (0: the default entry)
    int32_t first;  // 1 index of the first light in LightLinkTable::lights
    int32_t count;  // 2 number of lights
    int32_t fill;   // 3 build cursor
};
static_assert(sizeof(LightLinkEntry) == 4 * 4);

struct LightLinkTable {
    int32_t entryCount;  // at least 1
    LightLinkEntry *entries;
    xrTag *lights;  // every entry's segment back to back; null when empty
};

// The caller's argument record.
struct LightLinkResult {
    xrInteger count;
    xrTag *lights;
};

void **userPointer(xrState *state) {
    void **slot = nullptr;
    if (!xr_query(kQueryUserPointer, state, 0, &slot)) return nullptr;
    return slot;
}

// Ascending unsigned sort with a randomly drawn pivot; three-way partition
// so duplicates cost nothing, recursion into the smaller side only.
template <class T, class Key>
void quickSort(T *a, int n, Key key) {
    while (n > 1) {
        const uint32_t pivot = key(a[std::rand() % n]);
        int lt = 0, i = 0, gt = n;
        while (i < gt) {
            const uint32_t k = key(a[i]);
            if (k < pivot) {
                const T t = a[lt]; a[lt] = a[i]; a[i] = t;
                ++lt, ++i;
            } else if (k > pivot) {
                --gt;
                const T t = a[gt]; a[gt] = a[i]; a[i] = t;
            } else {
                ++i;
            }
        }
        const int right = n - gt;
        if (lt < right) {
            quickSort(a, lt, key);
            a += gt;
            n = right;
        } else {
            quickSort(a + gt, right, key);
            n = lt;
        }
    }
}

// Entry of `key` among entries[1 .. count-1], or null.
const LightLinkEntry *findEntry(const LightLinkEntry *entries, int count, xrTag key) {
    int lo = 1, hi = count - 1;
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        const xrTag k = entries[mid].key;
        if (k == key) return &entries[mid];
        if (k < key) lo = mid + 1;
        else hi = mid - 1;
    }
    return nullptr;
}

// Object entries from the groups: one per object element, sorted, equal keys
// merged into one entry with the run length as its count. Returns the number
// of entries including the default entry 0.
int collectEntries(const xrTag *elems, int n, LightLinkEntry *entries) {
    int m = 1;
    bool atStart = true;
    for (int i = 0; i < n; ++i) {
        if (atStart) {
            atStart = false;
        } else if (elems[i] != 0) {
            entries[m++].key = elems[i];
        } else {
            atStart = true;
        }
    }
    quickSort(entries + 1, m - 1, [](const LightLinkEntry &e) { return uint32_t(e.key); });
    int e = 1;
    for (int i = 1; i < m;) {
        int j = i;
        while (j < m && entries[j].key == entries[i].key) ++j;
        entries[e].key = entries[i].key;
        entries[e].count = j - i;
        entries[e].first = entries[e - 1].first + entries[e - 1].count;
        entries[e].fill = 0;
        ++e;
        i = j;
    }
    return e;
}

// Each object's excluded lights, in array order, into `excluded`.
void collectExclusions(const xrTag *elems, int n, LightLinkEntry *entries, int count, xrTag *excluded) {
    xrTag light = 0;
    for (int i = 0; i < n; ++i) {
        if (light == 0) {
            light = elems[i];
        } else if (elems[i] != 0) {
            auto *e = const_cast<LightLinkEntry *>(findEntry(entries, count, elems[i]));
            if (e) excluded[e->first + e->fill++] = light;
        } else {
            light = 0;
        }
    }
}

void releaseTable(LightLinkTable *t) {
    if (t->entries) xr_mem_int_release(__FILE__, __LINE__, t->entries);
    if (t->lights) xr_mem_int_release(__FILE__, __LINE__, t->lights);
    xr_mem_int_release(__FILE__, __LINE__, t);
}

}  // namespace

VEKO_EXPORT void veko_lightlink_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {
        if (initRequest) *initRequest = 1;
        return;
    }
    xr_warning("veko_lightlink(): Shader has become obsolete,");
    xr_warning("veko_lightlink(): and is going to be removed.");
    auto *p = static_cast<LightLinkParams *>(params);
    const int n = std::max(veko::evalCount(state, &p->links), 0);
    const xrTag *elems = n > 0 ? p->links.at(0) : nullptr;  // at() applies the start index

    int entryCount = 1;
    auto *entries = static_cast<LightLinkEntry *>(
        xr_mem_int_allocate(__FILE__, __LINE__, sizeof(LightLinkEntry) * size_t(n + 1)));
    xrTag *excluded = nullptr;
    if (n > 0) {
        entryCount = collectEntries(elems, n, entries);
        if (entryCount < n + 1)
            entries = static_cast<LightLinkEntry *>(xr_mem_int_reallocate(
                __FILE__, __LINE__, entries, sizeof(LightLinkEntry) * size_t(entryCount)));
        excluded = static_cast<xrTag *>(xr_mem_int_allocate(__FILE__, __LINE__, sizeof(xrTag) * size_t(n)));
        collectExclusions(elems, n, entries, entryCount, excluded);
    }

    // Every entry's list: the scene's lights less its exclusions, sorted.
    xrTag *lights = nullptr;
    int32_t gathered = 0;
    for (int i = 0; i < entryCount; ++i) {
        LightLinkEntry &e = entries[i];
        xrInteger count = e.count;
        xrTag *list = (count > 0 && excluded) ? excluded + e.first : nullptr;
        if (!xr_exclusive_lightlist(&count, &list, state) || !list) count = 0;
        e.first = gathered;
        e.count = count;
        e.fill = 0;
        if (count > 0) {
            lights = static_cast<xrTag *>(
                xr_mem_int_reallocate(__FILE__, __LINE__, lights, sizeof(xrTag) * size_t(gathered + count)));
            std::memcpy(lights + gathered, list, sizeof(xrTag) * size_t(count));
            quickSort(lights + gathered, count, [](xrTag t) { return uint32_t(t); });
            gathered += count;
        }
    }
    if (excluded) xr_mem_int_release(__FILE__, __LINE__, excluded);

    void **slot = userPointer(state);
    auto *table = slot ? static_cast<LightLinkTable *>(xr_mem_int_allocate(__FILE__, __LINE__, sizeof(LightLinkTable)))
                       : nullptr;
    if (!table) {
        if (entries) xr_mem_int_release(__FILE__, __LINE__, entries);
        if (lights) xr_mem_int_release(__FILE__, __LINE__, lights);
        return;
    }
    table->entryCount = entryCount;
    table->entries = entries;
    table->lights = lights;
    *slot = table;
}

VEKO_EXPORT void veko_lightlink_exit(xrState *state, void *params) {
    if (!params) return;
    void **slot = userPointer(state);
    if (!slot || !*slot) return;
    releaseTable(static_cast<LightLinkTable *>(*slot));
    *slot = nullptr;
}

VEKO_EXPORT xrBoolean veko_lightlink(void *result, xrState *state, void *params, void *arg) {
    (void)params;
    if (result) *static_cast<xrBoolean *>(result) = 1;
    auto *out = static_cast<LightLinkResult *>(arg);
    if (!out) return 0;
    void **slot = userPointer(state);
    const auto *table = slot ? static_cast<const LightLinkTable *>(*slot) : nullptr;
    if (!table) {
        xr_warning("veko_lightlink(): Error accessing the object list.");
        return 0;
    }
    xrTag key = 0;
    if (!xr_query(kQueryParentInstance, state, state->instanceTag, &key) || key == 0) key = state->instanceTag;
    const LightLinkEntry *e = findEntry(table->entries, table->entryCount, key);
    if (!e) e = &table->entries[0];
    out->count = e->count;
    out->lights = e->count > 0 ? table->lights + e->first : nullptr;
    return 1;
}

VEKO_EXPORT xrBoolean vekobase_lightlink_get(xrTag linkShader, xrInteger *count, xrTag **lights, xrState *state) {
    xrBoolean ok = 0;
    LightLinkResult r{0, nullptr};
    if (xr_call_shader_x(&ok, kShaderKindLightLink, state, linkShader, &r) && ok) {
        if (count) *count = r.count;
        if (lights) *lights = r.lights;
        return 1;
    }
    if (count) *count = 0;
    if (lights) *lights = nullptr;
    return 0;
}

VEKO_EXPORT xrBoolean vekobase_lightlink_check(xrTag light, xrInteger count, const xrTag *lights) {
    if (count <= 0 || !lights) return 0;
    int lo = 0, hi = count - 1;
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        if (lights[mid] == light) return 1;
        if (lights[mid] < light) lo = mid + 1;
        else hi = mid - 1;
    }
    return 0;
}
