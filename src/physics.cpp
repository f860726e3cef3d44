// Image-based light: an environment image (or a texture evaluated over the
// environment) reduced at instance _init to a grid of light samples, each a
// colour, a weight and a direction (infinite environment) or a position on a
// sphere (finite environment). Per shaded point the light picks the samples
// that matter most for the point's normal plus a few random ones and returns
// them one per light-sample call, each with its own shadow test.
//
// Host queries used here:
//   51   address of the instance's user pointer (the sample table)
//   118  tag 0 at _init -> two points whose distance is the scene's size
//   124  the calling thread's buffer of this instance (null at first)
//   126  stores the calling thread's buffer of this instance
//   127  -> a null-terminated list of every thread's buffer (for _exit)
//   142  nonzero: reduced quality, use secondarySamples
// The host advances the state's lightSampleIndex between calls of one light
// for one point; a return value of 2 tells it that no sample is left.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "light.h"
#include "vekobase.h"

namespace {

using veko::BaseStateRecord;
using veko::eval;
using veko::evalMatrix;

constexpr xrInteger kQuerySceneBox = 118;
constexpr xrInteger kQueryThreadData = 124;
constexpr xrInteger kQuerySetThreadData = 126;
constexpr xrInteger kQueryAllThreadData = 127;
constexpr xrInteger kQueryReduced = 142;

constexpr float kPiF = 3.1415927f;
constexpr float kTwoPiF = 6.2831855f;

// Shader return code: the light has no (further) sample for this point.
constexpr xrBoolean kNoSample = 2;

struct Pair {
    xrScalar u, v;
};

struct IblParams {
    xrInteger mapping;          // 0: 0 spherical, 1 angular
    xrBoolean infinite;         // 1
    xrTag image;                // 2
    xrColor color;              // 3-6
    Pair resolution;            // 7-8
    Pair samples;               // 9-10: primary, extra random
    Pair secondarySamples;      // 11-12
    xrScalar jitter;            // 13
    xrBoolean frontOnly;        // 14
    xrBoolean emitDiffuse;      // 15
    xrBoolean emitSpecular;     // 16
    xrBoolean shadows;          // 17
    xrColor shadowColor;        // 18-21
    xrInteger rayDepthLimit;    // 22
    xrBoolean invert;           // 23
    xrColor colorGain;          // 24-27
    xrColor colorOffset;        // 28-31
    xrMatrix placementMatrix;   // 32-47
};
static_assert(sizeof(IblParams) == 48 * 4);

// One light sample: colour, weight, direction (infinite) or position (finite).
struct LightSample {
    float r, g, b;
    float weight;
    xrVector v;
};
static_assert(sizeof(LightSample) == 28);

// The instance's table (12 + 28 n bytes).
struct SampleTable {
    int32_t infiniteMode;
    float radius;
    int32_t count;
    LightSample samples[1];
};
constexpr size_t kTableHeader = offsetof(SampleTable, samples);
static_assert(kTableHeader == 12);

// A thread's selection: the picked samples with their selection weights.
// The capacity lets a later point pick more samples than the first one.
struct Selection {
    int32_t count;
    int32_t capacity;
    LightSample samples[1];
};
constexpr size_t kSelectionHeader = offsetof(Selection, samples);

// ---------------------------------------------------------------------------
// Table build.

// Direction of the cell centre (u, v) under the mapping; false when the cell
// lies outside the angular map's disc.
bool cellDirection(int mapping, float u, float v, xrVector *d) {
    if (mapping == 1) {
        const float x = 2.0f * u - 1.0f, y = 2.0f * v - 1.0f, r = std::hypot(x, y);
        if (r > 1.0f) return false;
        const float a = kPiF * r;
        // sin(a)/r tends to pi at the centre of the map.
        const float k = r > 0.0f ? std::sin(a) / r : kPiF;
        *d = {-x * k, y * k, -std::cos(a)};
        return true;
    }
    const float phi = kTwoPiF * u, theta = kPiF * (v - 0.5f);
    *d = {std::sin(phi) * std::cos(theta), std::sin(theta), std::cos(phi) * std::cos(theta)};
    return true;
}

// Mean of the image's pixels in the cell (i, j) of a U x V grid.
xrColor cellMean(const void *img, int w, int h, int i, int j, int U, int V) {
    auto lo = [](int k, int size, int cells) { return int(double(k) * size / cells); };
    auto hi = [](int k, int size, int cells) { return int(std::ceil(double(k + 1) * size / cells)) - 1; };
    const int x0 = lo(i, w, U), x1 = std::min(hi(i, w, U), w - 1);
    const int y0 = lo(j, h, V), y1 = std::min(hi(j, h, V), h - 1);
    xrColor sum{0, 0, 0, 0};
    int n = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            xrColor c;
            xr_img_get_color(img, &c, x, y);
            veko::addTo(sum, c);
            ++n;
        }
    return n ? veko::scale(sum, 1.0f / float(n)) : sum;
}

struct BuildContext {
    const IblParams *p;
    int mapping, infinite, invert;
    xrColor gain, offset;
    float inverse[16];
    LightSample *out;
    int count = 0;
};

// Turns a cell colour into a sample (or drops it).
void addCell(BuildContext &b, xrColor c, int i, int j, int U, int V) {
    const float u = (float(i) + 0.5f) / float(U), v = (float(j) + 0.5f) / float(V);
    if (b.invert) c = {1.0f - c.r, 1.0f - c.g, 1.0f - c.b, 1.0f - c.a};
    c = veko::add(veko::mul(c, b.gain), b.offset);
    const float w = (c.r + c.g + c.b) / 3.0f;
    if (c.r < 0.0f || c.g < 0.0f || c.b < 0.0f || !(w > 0.0f)) return;
    xrVector d;
    if (!cellDirection(b.mapping, u, v, &d)) return;
    xrVector v3;
    if (b.infinite) {
        xr_vector_transform(&v3, &d, b.inverse);
        const float len = veko::length(v3);
        if (len != 0.0f) v3 = veko::vscale(v3, 1.0f / len);
        v3 = veko::vneg(v3);
    } else {
        xr_point_transform(&v3, &d, b.inverse);
    }
    b.out[b.count++] = {c.r, c.g, c.b, w, v3};
}

float sceneRadius(xrState *state) {
    float box[6] = {0, 0, 0, 0, 0, 0};
    if (!xr_query(kQuerySceneBox, state, 0, box)) return 0.0f;
    const xrVector d{box[3] - box[0], box[4] - box[1], box[5] - box[2]};
    return veko::length(d);
}

SampleTable *buildTable(xrState *state, IblParams *p) {
    const xrTag image = eval(state, &p->image);
    const Pair res = eval(state, &p->resolution);
    int U = int(res.u), V = int(res.v);
    void *img = nullptr;
    int w = 0, h = 0;
    if (image) {
        xrInteger type = 0;
        img = xr_db_access_type(&type, image);
        if (!img || type != xrDB_IMAGE) {
            if (img) xr_db_unpin(image);
            xr_warning("veko_ibllight(): Texture is not an image tag.");
            return nullptr;
        }
        w = xr_img_get_width(img);
        h = xr_img_get_height(img);
        U = std::clamp(U, 1, std::max(w, 1));
        V = std::clamp(V, 1, std::max(h, 1));
    }
    // Without an image a grid below one cell has no samples.
    const int n = (U > 0 && V > 0) ? U * V : 0;

    BuildContext b;
    b.p = p;
    b.mapping = eval(state, &p->mapping);
    b.infinite = eval(state, &p->infinite);
    b.invert = eval(state, &p->invert);
    b.gain = eval(state, &p->colorGain);
    b.offset = eval(state, &p->colorOffset);
    float placement[16];
    evalMatrix(state, p->placementMatrix, placement);
    if (!xr_matrix_invert(b.inverse, placement)) xr_matrix_ident(b.inverse);

    auto *table = static_cast<SampleTable *>(
        xr_mem_int_allocate(__FILE__, __LINE__, kTableHeader + sizeof(LightSample) * size_t(n)));
    table->infiniteMode = b.infinite;
    if (b.infinite) {
        table->radius = sceneRadius(state);
    } else {
        const xrVector x{1.0f, 0.0f, 0.0f};
        xrVector r;
        xr_vector_transform(&r, &x, b.inverse);
        table->radius = veko::length(r);
    }
    b.out = table->samples;

    const xrVector savedUv = state->texCoords ? state->texCoords[0] : xrVector{0, 0, 0};
    if (img) {
        for (int j = 0; j < V; ++j)
            for (int i = 0; i < U; ++i) {
                xr_flush_cache(state);
                addCell(b, cellMean(img, w, h, i, j, U, V), i, j, U, V);
            }
        xr_db_unpin(image);
    } else if (n > 0) {
        BaseStateRecord *rec = veko::stateRecord(state);
        xrVector savedFootprint{};
        int32_t savedFlags = 0;
        if (rec) {
            veko::touchFootprint(state, rec);
            savedFootprint = rec->footprintU;
            savedFlags = rec->flags;
            rec->footprintU = rec->filterEnabled ? xrVector{1.0f / float(U), 1.0f / float(V), 0.0f}
                                                 : xrVector{rec->baseFilterSize, rec->baseFilterSize, 0.0f};
            rec->flags |= veko::kFlagEnvironmentEval;
        }
        for (int j = 0; j < V; ++j)
            for (int i = 0; i < U; ++i) {
                if (state->texCoords)
                    state->texCoords[0] = {(float(i) + 0.5f) / float(U), (float(j) + 0.5f) / float(V), 0.0f};
                xr_flush_cache(state);
                addCell(b, eval(state, &p->color), i, j, U, V);
            }
        if (rec) {
            rec->footprintU = savedFootprint;
            rec->flags = savedFlags;
        }
    }
    if (state->texCoords) state->texCoords[0] = savedUv;
    xr_flush_cache(state);
    table->count = b.count;
    return table;
}

// ---------------------------------------------------------------------------
// Selection.

Selection *threadSelection(xrState *state, int needed) {
    Selection *sel = nullptr;
    xr_query(kQueryThreadData, state, 0, &sel);
    if (sel && sel->capacity >= needed) return sel;
    const size_t bytes = kSelectionHeader + sizeof(LightSample) * size_t(std::max(needed, 1));
    sel = static_cast<Selection *>(sel ? xr_mem_int_reallocate(__FILE__, __LINE__, sel, bytes)
                                       : xr_mem_int_allocate(__FILE__, __LINE__, bytes));
    if (!sel) return nullptr;
    sel->capacity = std::max(needed, 1);
    xr_query(kQuerySetThreadData, state, 0, &sel);
    return sel;
}

// Cosine of the sample towards the point's normal (step 3); false when the
// sample is dropped (frontOnly and facing the same way as the normal).
bool sampleCosine(const SampleTable &t, const LightSample &s, const xrState *state, bool frontOnly, float *c) {
    const xrVector &n = state->shadingNormal;
    float v;
    if (t.infiniteMode) {
        v = veko::dot(s.v, n);
    } else {
        const xrVector d = veko::vsub(state->hitPoint, s.v);
        const float len = veko::length(d);
        v = len > 0.0f ? veko::dot(d, n) / len : 0.0f;
    }
    if (v < 0.0f) v = -v;
    else if (frontOnly) return false;
    *c = v;
    return true;
}

// Min-heap on selection weight over `heap[0..size)`.
void siftDown(LightSample *heap, int size, int i) {
    for (;;) {
        int m = i;
        const int l = 2 * i + 1, r = l + 1;
        if (l < size && heap[l].weight < heap[m].weight) m = l;
        if (r < size && heap[r].weight < heap[m].weight) m = r;
        if (m == i) return;
        std::swap(heap[i], heap[m]);
        i = m;
    }
}
void siftUp(LightSample *heap, int i) {
    while (i > 0) {
        const int parent = (i - 1) / 2;
        if (!(heap[i].weight < heap[parent].weight)) return;
        std::swap(heap[i], heap[parent]);
        i = parent;
    }
}

// Fills `sel` for the current point. Returns false when nothing can be taken.
bool selectSamples(xrState *state, const IblParams *p, const SampleTable &t) {
    xrInteger reduced = 0;
    const bool secondary = xr_query(kQueryReduced, state, 0, &reduced) && reduced != 0;
    const Pair counts = eval(state, secondary ? &p->secondarySamples : &p->samples);
    const int K = std::max(int(counts.u), 0), M = std::max(int(counts.v), 0);
    const int n = t.count;
    if (n == 0) return false;
    const bool frontOnly = eval(state, &p->frontOnly) != 0;

    // K = 0 draws M samples with replacement; otherwise at most n are kept,
    // the heap in front and the rest list after it.
    Selection *sel = threadSelection(state, K == 0 ? M : n);
    if (!sel) return false;
    sel->count = 0;

    if (K == 0) {
        xrInteger inst = 0, cnt = M;
        float x = 0.0f;
        while (sel->count < M && xr_sample(&x, &inst, state, 1, &cnt)) {
            const int k = std::min(int(x * float(n)), n - 1);
            sel->samples[sel->count++] = t.samples[k];
        }
        return true;
    }

    LightSample *heap = sel->samples;
    if (K >= n) {
        for (int i = 0; i < n; ++i) {
            float c;
            if (!sampleCosine(t, t.samples[i], state, frontOnly, &c)) continue;
            heap[sel->count] = t.samples[i];
            heap[sel->count++].weight = c * t.samples[i].weight;
        }
        return true;
    }

    // The rest list grows from the back of the buffer, so heap and rest
    // share the n entries; it is moved behind the heap afterwards.
    int size = 0, rest = 0;
    LightSample *restEnd = sel->samples + n;  // rest[k] = restEnd[-1 - k]
    auto pushRest = [&](const LightSample &s) { restEnd[-1 - rest++] = s; };
    for (int i = 0; i < n; ++i) {
        float c;
        if (!sampleCosine(t, t.samples[i], state, frontOnly, &c)) continue;
        LightSample s = t.samples[i];
        s.weight = c * s.weight;
        if (size < K) {
            heap[size] = s;
            siftUp(heap, size++);
        } else if (s.weight > heap[0].weight) {
            pushRest(heap[0]);
            heap[0] = s;
            siftDown(heap, size, 0);
        } else {
            pushRest(s);
        }
    }
    // Gather the rest list right behind the heap, in list order (the
    // destination lies below the source, so a forward copy is safe).
    LightSample *restList = heap + size;
    std::reverse(restEnd - rest, restEnd);
    std::copy(restEnd - rest, restEnd, restList);
    const int Mp = std::min({M, n - K, rest});
    xrInteger inst = 0, cnt = Mp;
    float x = 0.0f;
    for (int i = 0; i < Mp && xr_sample(&x, &inst, state, 1, &cnt); ++i) {
        const int k = std::min(int(x * float(rest)), rest - 1);
        std::swap(restList[i], restList[k]);
    }
    sel->count = size + Mp;
    return true;
}

// ---------------------------------------------------------------------------
// The light call.

// Two unit vectors perpendicular to the unit vector d.
void frameAround(const xrVector &d, xrVector *a, xrVector *b) {
    const xrVector t = std::fabs(d.x) < 0.9f ? xrVector{1.0f, 0.0f, 0.0f} : xrVector{0.0f, 1.0f, 0.0f};
    *a = veko::normalize(veko::cross(d, t));
    *b = veko::cross(d, *a);
}

void jitterSample(xrState *state, const SampleTable &t, float jitter, LightSample &s) {
    const int n = t.count;
    const float rho = jitter * 2.0f * std::sqrt(float(n - 1)) / float(n);
    float pair[2] = {0.0f, 0.0f};
    xrInteger inst = 0, cnt = 1;
    if (!xr_sample(pair, &inst, state, 2, &cnt)) return;
    const xrVector axis = t.infiniteMode ? s.v : veko::normalize(veko::vsub(s.v, state->hitPoint));
    xrVector a, b;
    frameAround(axis, &a, &b);
    const float r = std::sqrt(pair[0]) * rho, ang = kTwoPiF * pair[1];
    const xrVector off = veko::vadd(veko::vscale(a, r * std::cos(ang)), veko::vscale(b, r * std::sin(ang)));
    s.v = veko::vadd(s.v, off);
    if (t.infiniteMode) s.v = veko::normalize(s.v);
}

inline float maxRGB3(const xrColor &c) { return std::max(c.r, std::max(c.g, c.b)); }

}  // namespace

VEKO_EXPORT void veko_ibllight_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {
        if (initRequest) *initRequest = 1;
        return;
    }
    void **slot = veko::instanceUserPointer(state);
    if (!slot) return;
    *slot = buildTable(state, static_cast<IblParams *>(params));
}

VEKO_EXPORT void veko_ibllight_exit(xrState *state, void *params) {
    if (!params) return;
    void **slot = veko::instanceUserPointer(state);
    if (slot && *slot) {
        xr_mem_int_release(__FILE__, __LINE__, *slot);
        *slot = nullptr;
    }
    void **buffers = nullptr;
    if (xr_query(kQueryAllThreadData, state, 0, &buffers) && buffers)
        for (void **b = buffers; *b; ++b) xr_mem_int_release(__FILE__, __LINE__, *b);
}

VEKO_EXPORT xrBoolean veko_ibllight(void *result, xrState *state, void *params) {
    auto *p = static_cast<IblParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        xr_warning("veko_ibllight(): Internal state error.");
        return 0;
    }
    if (rec->backSide) return kNoSample;
    void **slot = veko::instanceUserPointer(state);
    const auto *table = slot ? static_cast<const SampleTable *>(*slot) : nullptr;
    if (!table) {
        xr_warning("veko_ibllight(): Unable to access frame data.");
        return kNoSample;
    }
    const int index = state->lightSampleIndex;
    if (index == 0 && !selectSamples(state, p, *table)) return kNoSample;
    Selection *sel = nullptr;
    xr_query(kQueryThreadData, state, 0, &sel);
    if (!sel || index >= sel->count) return kNoSample;

    LightSample s = sel->samples[index];
    const float jitter = std::min(eval(state, &p->jitter), 1.0f);
    if (jitter > 0.0f) jitterSample(state, *table, jitter, s);

    xrColor c{s.r, s.g, s.b, s.weight};
    if (table->infiniteMode) {
        state->rayDirection = s.v;
        state->rayOrigin = veko::vsub(state->hitPoint, veko::vscale(s.v, table->radius));
        state->hitDistance = table->radius;
    } else {
        const xrVector d = veko::vsub(state->hitPoint, s.v);
        const float len = veko::length(d);
        state->rayOrigin = s.v;
        state->rayDirection = len > 0.0f ? veko::vscale(d, 1.0f / len) : veko::vneg(state->shadingNormal);
        state->hitDistance = len;
        if (len > 0.0f) {
            const float k = table->radius / len;
            veko::scaleRGB(c, k * k);
        }
    }
    state->cosView = -veko::dot(state->shadingNormal, state->rayDirection);

    veko::light::CallFrame frame(state, rec);
    float placement[16];
    evalMatrix(state, p->placementMatrix, placement);
    xrVector uv;
    xr_point_transform(&uv, &state->hitPoint, placement);
    frame.setTexCoord(uv);
    frame.markRunning();

    *out = c;
    rec->lightShadowWeight = 0.0f;
    rec->lightUnshadowed = c;

    const xrOptions *opt = state->optionsRecord;
    const bool shadowRay = state->spawningState && state->spawningState->rayKind == xrRAY_SHADOW;
    if (maxRGB3(rec->rayWeight) > rec->minRayWeight && rec->inLightLoop == 0 && !shadowRay &&
        eval(state, &p->shadows) && opt && opt->traceEnabled) {
        const int limit = std::min(eval(state, &p->rayDepthLimit), rec->userWord1);
        if (state->reflectDepth + state->refractDepth < limit) {
            const xrColor sc = eval(state, &p->shadowColor);
            xrColor f{1.0f, 1.0f, 1.0f, 1.0f};
            if (!xr_trace_shadow(&f, state)) {
                *out = {sc.r, sc.g, sc.b, c.a};
                rec->lightShadowWeight = 1.0f;
            } else {
                out->r = c.r * f.r + (1.0f - f.r) * sc.r;
                out->g = c.g * f.g + (1.0f - f.g) * sc.g;
                out->b = c.b * f.b + (1.0f - f.b) * sc.b;
                rec->lightShadowWeight = 1.0f - (f.r + f.g + f.b) / 3.0f;
            }
        }
    }
    rec->lightAmbient = 0;
    rec->lightDiffuse = eval(state, &p->emitDiffuse);
    rec->lightSpecular = eval(state, &p->emitSpecular);
    rec->lightShapeRef = nullptr;
    return 1;
}
