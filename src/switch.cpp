// Switch nodes: output the value the scene assigns to the object instance
// being shaded, or a default for every other instance.
//
// With ten or more assignments the instance init builds a table of
// (tag, entry index) pairs sorted by tag, hung on the instance's user
// pointer, so that a call costs one binary search. Shorter lists are scanned.
// The table records the tags as they are at init; the values are evaluated
// at every call.
#include <cstdint>
#include <cstdlib>

#include "vekobase.h"

namespace {

// Host query codes used here.
enum : xrInteger {
    kQueryParentInstance = 8,  // instance the given one derives from (0: none)
    kQueryUserPointer = 51,    // address of the current instance's user pointer
};

constexpr int kTableMinEntries = 10;

struct SwitchPair {
    xrTag tag;
    int32_t index;  // position of the entry in `input`
};

// Per-instance lookup table. The pair count is kept with the pairs so that a
// lookup never depends on re-reading the entry count.
struct SwitchTable {
    int32_t count;
    int32_t pad;
    SwitchPair pairs[1];
};

template <class V>
struct SwitchEntry {
    xrTag instance;
    V value;
};
static_assert(sizeof(SwitchEntry<float>) == 2 * 4);
static_assert(sizeof(SwitchEntry<xrVector>) == 4 * 4);
static_assert(sizeof(SwitchEntry<xrColor>) == 5 * 4);

template <class V>
struct SwitchParams {
    V defaultValue;
    veko::Array<SwitchEntry<V>> input;
};
static_assert(sizeof(SwitchParams<float>) == 5 * 4);
static_assert(sizeof(SwitchParams<xrVector>) == 9 * 4);
static_assert(sizeof(SwitchParams<xrColor>) == 11 * 4);

void **userPointer(xrState *state) {
    void **slot = nullptr;
    if (!xr_query(kQueryUserPointer, state, 0, &slot)) return nullptr;
    return slot;
}

// Sorts pairs ascending by tag (unsigned). Three-way partition around a
// randomly drawn pivot, so runs of duplicate tags cost no extra passes;
// recursion goes into the smaller side only, bounding the stack depth.
void sortPairs(SwitchPair *a, int n) {
    while (n > 1) {
        const xrTag pivot = a[std::rand() % n].tag;
        int lt = 0, i = 0, gt = n;  // [0,lt) < pivot, [lt,i) == pivot, [gt,n) > pivot
        while (i < gt) {
            if (a[i].tag < pivot) {
                const SwitchPair t = a[lt]; a[lt] = a[i]; a[i] = t;
                ++lt, ++i;
            } else if (a[i].tag > pivot) {
                --gt;
                const SwitchPair t = a[gt]; a[gt] = a[i]; a[i] = t;
            } else {
                ++i;
            }
        }
        const int rightCount = n - gt;
        if (lt < rightCount) {
            sortPairs(a, lt);
            a += gt;
            n = rightCount;
        } else {
            sortPairs(a + gt, rightCount);
            n = lt;
        }
    }
}

// Index of the entry assigned to `key`, or -1.
int findInTable(const SwitchTable *t, xrTag key) {
    int lo = 0, hi = t->count;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        const xrTag tag = t->pairs[mid].tag;
        if (tag == key) return t->pairs[mid].index;
        if (tag < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return -1;
}

template <class V>
void switchInit(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {  // shader level: ask for the per-instance calls
        if (initRequest) *initRequest = 1;
        return;
    }
    auto *p = static_cast<SwitchParams<V> *>(params);
    const int n = veko::evalCount(state, &p->input);
    if (n < kTableMinEntries) return;
    void **slot = userPointer(state);
    if (!slot) return;
    if (*slot) {  // initialised again: drop the previous table
        xr_mem_int_release("switch", __LINE__, *slot);
        *slot = nullptr;
    }
    const size_t size = offsetof(SwitchTable, pairs) + sizeof(SwitchPair) * static_cast<size_t>(n);
    auto *table = static_cast<SwitchTable *>(xr_mem_int_allocate("switch", __LINE__, size));
    if (!table) return;
    table->count = n;
    for (int k = 0; k < n; ++k) {
        table->pairs[k].tag = veko::eval(state, &p->input.at(k)->instance);
        table->pairs[k].index = k;
    }
    sortPairs(table->pairs, n);
    *slot = table;
}

void switchExit(xrState *state, void *params) {
    if (!params) return;
    void **slot = userPointer(state);
    if (!slot || !*slot) return;
    xr_mem_int_release("switch", __LINE__, *slot);
    *slot = nullptr;
}

template <class V>
xrBoolean switchMain(void *result, xrState *state, void *params) {
    auto *p = static_cast<SwitchParams<V> *>(params);
    xrTag key = 0;
    if (!xr_query(kQueryParentInstance, state, state->instanceTag, &key)) key = 0;
    if (key == 0) key = state->instanceTag;

    int index = -1;
    void **slot = userPointer(state);
    if (slot && *slot) {
        index = findInTable(static_cast<const SwitchTable *>(*slot), key);
    } else {
        const int n = veko::evalCount(state, &p->input);
        for (int k = 0; k < n; ++k) {
            if (veko::eval(state, &p->input.at(k)->instance) == key) {
                index = k;
                break;
            }
        }
    }
    *static_cast<V *>(result) =
        index >= 0 ? veko::eval(state, &p->input.at(index)->value) : veko::eval(state, &p->defaultValue);
    return 1;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_singleswitch(void *result, xrState *state, void *params) {
    return switchMain<float>(result, state, params);
}
VEKO_EXPORT void veko_singleswitch_init(xrState *state, void *params, xrBoolean *initRequest) {
    switchInit<float>(state, params, initRequest);
}
VEKO_EXPORT void veko_singleswitch_exit(xrState *state, void *params) { switchExit(state, params); }

// The double and triple switches share one implementation: three floats.
VEKO_EXPORT xrBoolean veko_doubleswitch(void *result, xrState *state, void *params) {
    return switchMain<xrVector>(result, state, params);
}
VEKO_EXPORT void veko_doubleswitch_init(xrState *state, void *params, xrBoolean *initRequest) {
    switchInit<xrVector>(state, params, initRequest);
}
VEKO_EXPORT void veko_doubleswitch_exit(xrState *state, void *params) { switchExit(state, params); }

VEKO_EXPORT xrBoolean veko_tripleswitch(void *result, xrState *state, void *params) {
    return switchMain<xrVector>(result, state, params);
}
VEKO_EXPORT void veko_tripleswitch_init(xrState *state, void *params, xrBoolean *initRequest) {
    switchInit<xrVector>(state, params, initRequest);
}
VEKO_EXPORT void veko_tripleswitch_exit(xrState *state, void *params) { switchExit(state, params); }

VEKO_EXPORT xrBoolean veko_quadswitch(void *result, xrState *state, void *params) {
    return switchMain<xrColor>(result, state, params);
}
VEKO_EXPORT void veko_quadswitch_init(xrState *state, void *params, xrBoolean *initRequest) {
    switchInit<xrColor>(state, params, initRequest);
}
VEKO_EXPORT void veko_quadswitch_exit(xrState *state, void *params) { switchExit(state, params); }
