// Subsurface scattering (the surface pipeline's scatter term): light that
// enters an object near the shaded point and leaves it there, approximated
// by a point cloud per object instance. Sample points spread evenly over the
// instance's surface are lit once like diffuse surface points and kept in a
// uniform grid; the scatter colour at a point is the falloff-weighted mean of
// the lit samples within the scatter radius. Cells are lit lazily by
// whichever render thread needs them first; with a cache only a fixed number
// of cells stay resident and are rebuilt on demand.
//
// Every sample is sampled and lit inside a host sampling scope keyed by the
// surface (its box and triangle count) and the sample's position, so the
// cloud is the same whichever thread or pixel builds it. A sample stores its incident light; the
// surface colour of the shaded point is applied when the cloud is read.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "shading.h"

namespace veko::surface {

namespace {

constexpr xrInteger kQueryInstanceLock = 52;
constexpr xrInteger kQueryBoxMin = 94;
constexpr xrInteger kQueryBoxMax = 95;
constexpr xrInteger kQuerySurface = 116;
constexpr int kCloudCellLimit = 1048576;
constexpr int kCacheCellLimit = 2147483646;
constexpr size_t kMaxSamples = size_t(1) << 24;

// A point of the cloud. Until its cell is lit, `c` holds the surface normal
// at the point; afterwards the light arriving there.
struct ScatterSample {
    float p[3];
    float c[3];
    ScatterSample *next;
};
static_assert(sizeof(ScatterSample) == 32);

// A cell of the whole cloud, or a resident slot of the cache.
struct ScatterCell {
    // Cloud: 0 unlit, 1 being lit, 2 lit. Cache: the cell held + 1 (0: none).
    std::atomic<int32_t> state{0};
    std::atomic<int32_t> users{0};  // cache: threads reading the slot
    ScatterSample *head = nullptr;
};

// One per object instance and surface shader instance, in a list on the
// shader instance's user pointer.
struct ScatterRecord {
    xrLock lock = nullptr;
    float origin[3] = {0, 0, 0};
    int32_t counts[3] = {1, 1, 1};
    float cellSize = 1.0f;
    std::vector<ScatterCell> cells;  // every cell, or cacheSize slots
    xrBlockPool samplePool = nullptr;
    int32_t cacheSize = 0;
    std::atomic<bool> built{false};  // cloud: samples made
    float radius = 0.0f;
    int32_t samples = 0;
    xrTag instanceKey = 0;
    uint32_t seed = 0;  // from the instance's box and triangle count: the same cloud for the same surface
    ScatterRecord *next = nullptr;
};

// Set while this thread lights samples: a scatter term asked for meanwhile
// (an object seen by the lighting's own rays) contributes nothing instead of
// waiting on the cloud being built.
thread_local bool tLighting = false;

uint32_t hashWord(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

uint32_t hashFloats(uint32_t h, const float *v, int n) {
    for (int i = 0; i < n; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &v[i], 4);
        h = hashWord(h ^ bits);
    }
    return h;
}

// Falloff weight of a sample at distance d within radius R.
float falloffWeight(int32_t falloff, float d, float R) {
    switch (falloff) {
    case 1: return 1.0f - d / R;
    case 2: return (1.0f - d / R) * (1.0f - d / R);
    case 3: return std::exp(-d / (0.08686f * R));
    default: return 1.0f;
    }
}

int cellIndex(const ScatterRecord &r, int ix, int iy, int iz) { return (iz * r.counts[1] + iy) * r.counts[0] + ix; }

// Cell coordinates of a point; false outside the grid.
bool cellOf(const ScatterRecord &r, const float p[3], int c[3]) {
    for (int i = 0; i < 3; ++i) {
        const float q = (p[i] - r.origin[i]) / r.cellSize;
        if (!(q >= 0.0f)) return false;
        c[i] = int(q);
        if (c[i] >= r.counts[i]) return false;
    }
    return true;
}

// The grid over the instance's box: cells of the scatter radius, grown by
// 1.1111112 until the cell count fits the limit.
bool makeGrid(ScatterRecord &r, xrState *state) {
    xrVector lo{}, hi{};
    if (!xr_query(kQueryBoxMin, state, r.instanceKey, &lo) || !xr_query(kQueryBoxMax, state, r.instanceKey, &hi))
        return false;
    xrSurfaceView v{};
    if (!xr_query(kQuerySurface, state, r.instanceKey, &v)) return false;
    const float box[6] = {lo.x, lo.y, lo.z, hi.x, hi.y, hi.z};
    r.seed = hashFloats(hashWord(uint32_t(v.triangleCount) ^ 0x5ca77e12U), box, 6);
    const float mn[3] = {lo.x - 1e-5f, lo.y - 1e-5f, lo.z - 1e-5f};
    const float mx[3] = {hi.x + 1e-5f, hi.y + 1e-5f, hi.z + 1e-5f};
    const long long limit = r.cacheSize > 0 ? kCacheCellLimit : kCloudCellLimit;
    float c = r.radius;
    for (int tries = 0; tries < 1000; ++tries, c *= 1.1111112f) {
        long long n[3];
        bool fits = true;
        for (int i = 0; i < 3; ++i) {
            const double q = double(mx[i] - mn[i]) / double(c);
            if (q > 1.0e9) fits = false;
            n[i] = fits ? (long long)q + 1 : 1;
        }
        if (!fits || limit / n[0] / n[1] / n[2] <= 0) continue;
        for (int i = 0; i < 3; ++i) {
            r.origin[i] = mn[i];
            r.counts[i] = int32_t(n[i]);
        }
        r.cellSize = c;
        return true;
    }
    return false;
}

// Spreads the samples over the instance's surface: a = pi R^2 / samples of
// area per sample, k samples on a triangle whenever the accumulated area
// reaches k a. Calls emit(point, normal) for each; `box` (min, max), when
// given, keeps only points strictly inside it.
template <class Emit>
void sampleSurface(xrState *state, const ScatterRecord &r, const float *box, Emit emit) {
    xrSurfaceView v{};
    if (!xr_query(kQuerySurface, state, r.instanceKey, &v) || !v.positions || !v.triangles) return;
    const float a = 3.14159265f * r.radius * r.radius / float(r.samples);
    if (!(a > 0.0f)) return;
    const bool scoped = xr_sample_scope_begin(state, xrInteger(r.seed));
    xrInteger instance = 0;
    xrInteger count = INT_MAX;
    size_t made = 0;
    double A = 0.0;
    for (xrInteger t = 0; t < v.triangleCount && made < kMaxSamples; ++t) {
        const uint32_t i0 = v.triangles[3 * t], i1 = v.triangles[3 * t + 1], i2 = v.triangles[3 * t + 2];
        if (i0 >= uint32_t(v.vertexCount) || i1 >= uint32_t(v.vertexCount) || i2 >= uint32_t(v.vertexCount)) continue;
        const xrVector &P0 = v.positions[i0], &P1 = v.positions[i1], &P2 = v.positions[i2];
        const xrVector e1 = vsub(P1, P0), e2 = vsub(P2, P0);
        const xrVector face = cross(e1, e2);
        A += 0.5 * double(length(face));
        if (A < a) continue;
        const long k = long(A / a);
        A -= double(k) * a;
        const xrVector faceN = normalize(face);
        for (long j = 0; j < k && made < kMaxSamples; ++j, ++made) {
            float s[2] = {0.0f, 0.0f};
            xr_sample(s, &instance, state, 2, &count);
            const float b = 1.0f - std::sqrt(1.0f - s[0]);
            const float c = (1.0f - b) * s[1];
            const xrVector P = vadd(P0, vadd(vscale(e1, b), vscale(e2, c)));
            const float p[3] = {P.x, P.y, P.z};
            if (box && !(p[0] > box[0] && p[1] > box[1] && p[2] > box[2] && p[0] < box[3] && p[1] < box[4] &&
                         p[2] < box[5]))
                continue;
            xrVector N = faceN;
            if (v.normals) {
                const xrVector &N0 = v.normals[i0], &N1 = v.normals[i1], &N2 = v.normals[i2];
                const xrVector n = vadd(vscale(N0, 1.0f - b - c), vadd(vscale(N1, b), vscale(N2, c)));
                if (length(n) > 0.0f) N = normalize(n);
            }
            emit(p, N);
        }
    }
    if (made >= kMaxSamples)
        xr_warning("Scatter point cloud of instance %u cut to %lu samples (radius %g too small for the surface).",
                   unsigned(r.instanceKey), static_cast<unsigned long>(kMaxSamples), double(r.radius));
    if (scoped) xr_sample_scope_end(state);
}

ScatterSample *newSample(ScatterRecord &r, const float p[3], const xrVector &N, ScatterSample *next) {
    auto *s = static_cast<ScatterSample *>(xr_mem_blkfallocate(r.samplePool));
    if (!s) return next;
    std::memcpy(s->p, p, sizeof s->p);
    s->c[0] = N.x;
    s->c[1] = N.y;
    s->c[2] = N.z;
    s->next = next;
    return s;
}

// Lights the samples of one list: each as a diffuse surface point with its
// own normal, seen head-on, by the surface's light loop (diffuse and
// translucence, white surface colour) plus its indirect light.
void lightSamples(const Shading &sh, const CoreRefs &core, uint32_t seed, ScatterSample *head) {
    xrState *state = sh.state;
    struct Saved {
        xrVector hitPoint, shadingNormal, geometricNormal, rayDirection;
        float cosView;
        uint8_t normalFlipped;
    } saved{state->hitPoint, state->shadingNormal, state->geometricNormal, state->rayDirection, state->cosView,
            state->normalFlipped};
    Shading white = sh;
    white.color = {1.0f, 1.0f, 1.0f, 1.0f};
    white.transparency = {0.0f, 0.0f, 0.0f, 0.0f};
    tLighting = true;
    for (ScatterSample *s = head; s; s = s->next) {
        const xrVector N{s->c[0], s->c[1], s->c[2]};
        state->hitPoint = {s->p[0], s->p[1], s->p[2]};
        state->shadingNormal = state->geometricNormal = N;
        state->rayDirection = vscale(N, -1.0f);
        state->cosView = -1.0f;
        state->normalFlipped = 0;
        const bool scoped = xr_sample_scope_begin(state, xrInteger(hashFloats(seed, s->p, 3)));
        float fraction = 0.0f;
        const PassSums lit = lightLoop(white, nullptr, nullptr, fraction);
        xrColor c = lit.diffuse;
        if (white.pm.has(kPassIrradiance)) addTo(c, irradianceTerm(white, core, white.color));
        if (scoped) xr_sample_scope_end(state);
        s->c[0] = c.r;
        s->c[1] = c.g;
        s->c[2] = c.b;
    }
    tLighting = false;
    state->hitPoint = saved.hitPoint;
    state->shadingNormal = saved.shadingNormal;
    state->geometricNormal = saved.geometricNormal;
    state->rayDirection = saved.rayDirection;
    state->cosView = saved.cosView;
    state->normalFlipped = saved.normalFlipped;
}

ScatterRecord *findRecord(void **list, xrTag instance) {
    for (auto *r = static_cast<ScatterRecord *>(__atomic_load_n(list, __ATOMIC_ACQUIRE)); r; r = r->next)
        if (r->instanceKey == instance) return r;
    return nullptr;
}

void deleteRecord(ScatterRecord *r) {
    if (r->samplePool) xr_mem_blkdelete(r->samplePool);
    if (r->lock) xr_delete_lock(&r->lock);
    delete r;
}

// The record of the state's instance, made on first use under the shader
// instance's lock.
ScatterRecord *recordFor(xrState *state, const ScatterParams *p, float radius, int32_t samples) {
    void **list = veko::instanceUserPointer(state);
    if (!list) return nullptr;
    const xrTag instance = state->instanceTag;
    if (ScatterRecord *r = findRecord(list, instance)) return r;
    xrLock lock = nullptr;
    if (!xr_query(kQueryInstanceLock, state, 0, &lock) || !lock) return nullptr;
    xr_lock(lock);
    ScatterRecord *r = findRecord(list, instance);
    if (!r) {
        r = new ScatterRecord;
        r->instanceKey = instance;
        r->radius = radius;
        r->samples = samples;
        r->cacheSize = std::max(eval(state, &p->scatterCache), 0);
        r->samplePool = xr_mem_int_blkcreate(sizeof(ScatterSample));
        if (!r->samplePool || !makeGrid(*r, state)) {
            deleteRecord(r);
            xr_unlock(lock);
            return nullptr;
        }
        xr_init_lock(&r->lock);
        const size_t cellCount = size_t(r->counts[0]) * size_t(r->counts[1]) * size_t(r->counts[2]);
        r->cells = std::vector<ScatterCell>(r->cacheSize > 0 ? size_t(r->cacheSize) : cellCount);
        r->next = static_cast<ScatterRecord *>(*list);
        __atomic_store_n(list, static_cast<void *>(r), __ATOMIC_RELEASE);
    }
    xr_unlock(lock);
    return r;
}

// Whole cloud: every sample made at once, then each cell lit by the first
// thread that needs it while others wait for it.
ScatterSample *cloudCell(const Shading &sh, const CoreRefs &core, ScatterRecord &r, int index) {
    if (!r.built.load(std::memory_order_acquire)) {
        xr_lock(r.lock);
        if (!r.built.load(std::memory_order_relaxed)) {
            sampleSurface(sh.state, r, nullptr, [&](const float p[3], const xrVector &N) {
                int c[3];
                if (!cellOf(r, p, c)) return;
                ScatterCell &cell = r.cells[size_t(cellIndex(r, c[0], c[1], c[2]))];
                cell.head = newSample(r, p, N, cell.head);
            });
            r.built.store(true, std::memory_order_release);
        }
        xr_unlock(r.lock);
    }
    ScatterCell &cell = r.cells[size_t(index)];
    int32_t st = cell.state.load(std::memory_order_acquire);
    if (st == 2) return cell.head;
    int32_t expected = 0;
    if (cell.state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        lightSamples(sh, core, r.seed, cell.head);
        cell.state.store(2, std::memory_order_release);
        return cell.head;
    }
    while (cell.state.load(std::memory_order_acquire) != 2) std::this_thread::yield();
    return cell.head;
}

// Cache: cell i lives in slot i mod cacheSize. A slot holding another cell
// is rebuilt (sampled within the cell's box and lit) once no thread reads
// it. The caller releases the returned slot's claim.
ScatterCell *cacheCell(const Shading &sh, const CoreRefs &core, ScatterRecord &r, int index) {
    ScatterCell &slot = r.cells[size_t(index % r.cacheSize)];
    for (;;) {
        xr_lock(r.lock);
        if (slot.state.load(std::memory_order_relaxed) == index + 1) {
            slot.users.fetch_add(1, std::memory_order_acq_rel);
            xr_unlock(r.lock);
            return &slot;
        }
        if (slot.users.load(std::memory_order_acquire) == 0) {
            for (ScatterSample *s = slot.head; s;) {
                ScatterSample *n = s->next;
                xr_mem_blkfrelease(r.samplePool, s);
                s = n;
            }
            slot.head = nullptr;
            const int nx = r.counts[0], ny = r.counts[1];
            const int ix = index % nx, iy = (index / nx) % ny, iz = index / (nx * ny);
            const float box[6] = {r.origin[0] + float(ix) * r.cellSize,       r.origin[1] + float(iy) * r.cellSize,
                                  r.origin[2] + float(iz) * r.cellSize,       r.origin[0] + float(ix + 1) * r.cellSize,
                                  r.origin[1] + float(iy + 1) * r.cellSize, r.origin[2] + float(iz + 1) * r.cellSize};
            sampleSurface(sh.state, r, box, [&](const float p[3], const xrVector &N) {
                int c[3];
                if (cellOf(r, p, c) && cellIndex(r, c[0], c[1], c[2]) == index) slot.head = newSample(r, p, N, slot.head);
            });
            lightSamples(sh, core, r.seed, slot.head);
            slot.state.store(index + 1, std::memory_order_release);
            slot.users.fetch_add(1, std::memory_order_acq_rel);
            xr_unlock(r.lock);
            return &slot;
        }
        xr_unlock(r.lock);
        std::this_thread::yield();
    }
}

}  // namespace

xrColor scatterTerm(const Shading &sh, const CoreRefs &core, const ScatterParams *p) {
    xrState *state = sh.state;
    const float R = eval(state, &p->scatterRadius);
    const int32_t samples = eval(state, &p->scatterSamples);
    if (!(R > 0.0f) || samples < 1 || tLighting) return {};
    if (state->reflectDepth + state->refractDepth >= eval(state, &p->scatterDepthLimit)) return {};
    xrSurfaceView view{};
    if (!xr_query(kQuerySurface, state, 0, &view) || query142(state)) return {};
    ScatterRecord *r = recordFor(state, p, R, samples);
    if (!r) return {};

    const float P[3] = {state->hitPoint.x, state->hitPoint.y, state->hitPoint.z};
    int c[3];
    for (int i = 0; i < 3; ++i) c[i] = int(std::floor((P[i] - r->origin[i]) / r->cellSize));
    const int32_t falloff = eval(state, &p->scatterFalloff);
    const float R2 = r->radius * r->radius;
    double W = 0.0, S[3] = {0.0, 0.0, 0.0};
    auto gather = [&](const ScatterSample *s) {
        for (; s; s = s->next) {
            const float dx = s->p[0] - P[0], dy = s->p[1] - P[1], dz = s->p[2] - P[2];
            const float d2 = dx * dx + dy * dy + dz * dz;
            if (d2 > R2) continue;
            const float w = falloffWeight(falloff, std::sqrt(d2), r->radius);
            if (falloff >= 1 && falloff <= 3 && !(w > 1e-5f)) continue;
            W += w;
            for (int k = 0; k < 3; ++k) S[k] += double(w) * s->c[k];
        }
    };
    for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dz = -1; dz <= 1; ++dz) {
                const int ix = c[0] + dx, iy = c[1] + dy, iz = c[2] + dz;
                if (ix < 0 || iy < 0 || iz < 0 || ix >= r->counts[0] || iy >= r->counts[1] || iz >= r->counts[2])
                    continue;
                const int index = cellIndex(*r, ix, iy, iz);
                if (r->cacheSize > 0) {
                    ScatterCell *slot = cacheCell(sh, core, *r, index);
                    gather(slot->head);
                    slot->users.fetch_sub(1, std::memory_order_acq_rel);
                } else {
                    gather(cloudCell(sh, core, *r, index));
                }
            }
    if (!(W > 1e-5)) return {};
    const xrColor tint = eval(state, &p->scatterColor);
    return {float(S[0] / W) * tint.r * sh.color.r, float(S[1] / W) * tint.g * sh.color.g,
            float(S[2] / W) * tint.b * sh.color.b, 0.0f};
}

void releaseScatter(xrState *state) {
    void **list = veko::instanceUserPointer(state);
    if (!list) return;
    for (auto *r = static_cast<ScatterRecord *>(*list); r;) {
        ScatterRecord *n = r->next;
        deleteRecord(r);
        r = n;
    }
    *list = nullptr;
}

}  // namespace veko::surface
