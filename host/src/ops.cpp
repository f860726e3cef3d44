// Host operations of the shader core: calling shaders, evaluating connected
// parameters with per-thread result caching, shader-state items, queries,
// space transforms and matrix helpers, and the standalone state used outside
// a render.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "render_internal.h"
#include "vekohost/host.h"

namespace vh {

// Optional: the renderer answers the queries that need a scene.
bool renderQuery(int code, xrState *state, xrTag tag, void *result) __attribute__((weak));
// Optional: the renderer's object space for a state on which a volume shader
// runs (the instance in instanceTag); null: the ray's own.
const float *renderObjectMatrix(xrState *state, bool toWorld) __attribute__((weak));

// One connected shader's cached result on one thread. A result of up to
// Instance::kMinResultWords words (most are) is held in the entry itself,
// so a hit's field is found from the entry's address without a further
// load; a larger one has a buffer of its own.
struct CacheEntry {
    const xrState *state = nullptr;
    uint64_t sampleId = 0;
    std::unique_ptr<uint64_t[]> buffer;  // results beyond the entry's own words
    uint32_t words = 0;                  // of buffer
    uint32_t busy = 0;  // the source is running into this entry's result
    alignas(16) uint64_t local[Instance::kMinResultWords]{};
    // Where the result of the source of `slot` goes.
    uint64_t *result(const Instance::ConnectionSlot &slot) {
        return __builtin_expect(slot.resultWords <= Instance::kMinResultWords, 1) ? local : buffer.get();
    }
};
static_assert(sizeof(CacheEntry) == 32 + 8 * Instance::kMinResultWords);

struct ThreadContext {
    uint16_t index = 0;
    uint64_t counter = 0;
    std::vector<CacheEntry> cache;  // indexed by Instance::id
    size_t entries = 0;             // cache.size(), without a division
    // Tables the cache outgrew, kept until the thread ends: a source running
    // while the cache grows writes into its entry there, and results handed
    // out earlier stay readable.
    std::vector<std::vector<CacheEntry>> retired;
    // Further entries of a source evaluated again for another state while it
    // runs (a ray it traces reaches the same network): by Instance::id.
    std::unordered_map<int, std::vector<std::unique_ptr<CacheEntry>>> nested;
    std::vector<void *> instanceData;  // queries 124/126, indexed by Instance::id
    RayContext fallbackRay;         // for states without host data
};

ThreadContext *createThreadContext(uint16_t threadIndex) {
    auto *t = new ThreadContext;
    t->index = threadIndex;
    // Sample ids are unique across threads so a state reused by another
    // thread never sees a stale entry.
    t->counter = uint64_t(threadIndex) << 48;
    t->fallbackRay.thread = t;
    return t;
}

void destroyThreadContext(ThreadContext *t) { delete t; }

namespace {

thread_local ThreadContext *t_fallback = nullptr;

RayContext *rayOf(xrState *state) {
    if (state && state->hostContext) return static_cast<RayContext *>(state->hostContext);
    if (!t_fallback) t_fallback = createThreadContext(0);
    return &t_fallback->fallbackRay;
}

ThreadContext *threadOf(xrState *state) {
    RayContext *r = rayOf(state);
    if (!r->thread) {
        if (!t_fallback) t_fallback = createThreadContext(0);
        r->thread = t_fallback;
    }
    return r->thread;
}

Instance *currentInstance(xrState *state) {
    if (!state || !state->shaderRecord) return nullptr;
    return static_cast<Instance *>(state->shaderRecord->hostData);
}

}  // namespace

namespace {
__attribute__((noinline)) void newSampleSlow(xrState *state) {
    RayContext *r = rayOf(state);
    r->sampleId = ++threadOf(state)->counter;
}
}  // namespace

// Every traced ray comes here: a state with its context and thread (all
// render states) takes the key without a frame.
void newSample(xrState *state) {
    RayContext *r = state ? static_cast<RayContext *>(state->hostContext) : nullptr;
    if (__builtin_expect(r && r->thread, 1)) {
        r->sampleId = ++r->thread->counter;
        return;
    }
    newSampleSlow(state);
}

void flushCache(xrState *state) { newSample(state); }

xrBoolean callShader(Instance &inst, xrState *state, void *result, void *arg) {
    xrShaderRecord *saved = state->shaderRecord;
    state->shaderRecord = &inst.record;
    xrBoolean ok = inst.fns.main(result, state, inst.params(), arg);
    state->shaderRecord = saved;
    return ok;
}

namespace {

// The cache grew while the source of `slot` ran into entry `e` of the old
// table: its copy in the new table gets the result (a buffer of its own
// moved with it) and is no longer busy.
__attribute__((noinline, cold)) void grownDuringRun(ThreadContext *t, CacheEntry *e,
                                                    const Instance::ConnectionSlot &slot) {
    CacheEntry &now = t->cache[size_t(slot.sourceId)];
    if (slot.resultWords <= Instance::kMinResultWords) std::memcpy(now.local, e->local, sizeof now.local);
    now.busy = 0;
    e->busy = 0;
}

// Runs the source of `slot` into entry `e` of thread `t` (zeroed first).
// While it runs, the entry's result is the source's (busy). Out of line, so
// that a cache hit needs no stack frame.
__attribute__((noinline)) void *runSource(xrState *state, const RayContext *r, ThreadContext *t, CacheEntry *e,
                       const Instance::ConnectionSlot &slot) {
    const bool own = slot.resultWords <= Instance::kMinResultWords;
    if (__builtin_expect(!own && e->words < slot.resultWords, 0)) {
        e->buffer.reset(new uint64_t[slot.resultWords]);
        e->words = slot.resultWords;
    }
    uint64_t *buffer = e->result(slot);
    // Zeroed with inline stores up to Instance::kMinResultWords (every
    // result has them, and most fit): a library call or a string store
    // costs more. Both kinds of buffer are 16-byte aligned.
    static_assert(Instance::kMinResultWords == 16);
    using Zeros = uint64_t __attribute__((vector_size(16), may_alias));
    auto *z = reinterpret_cast<Zeros *>(buffer);
    z[0] = Zeros{}, z[1] = Zeros{}, z[2] = Zeros{}, z[3] = Zeros{};
    z[4] = Zeros{}, z[5] = Zeros{}, z[6] = Zeros{}, z[7] = Zeros{};
    if (__builtin_expect(!own, 0)) std::memset(buffer + 16, 0, size_t(slot.resultWords - 16) * 8);
    // Mark before the call: a nested flush inside the call invalidates it.
    e->state = state;
    e->sampleId = r->sampleId;
    e->busy = 1;
    // Only what the common end needs is kept across the call: the entry,
    // the result's address, and the table to tell whether the cache grew.
    const CacheEntry *table = t->cache.data();
    void *result = reinterpret_cast<char *>(buffer) + slot.fieldOffset;
    callShader(*slot.source, state, buffer, nullptr);
    // Nested entries stay where they are; the top entry moves when the
    // cache grows.
    if (__builtin_expect(t->cache.data() != table, 0) && e == &table[slot.sourceId])
        grownDuringRun(t, e, slot);
    else
        e->busy = 0;
    return result;
}

// Grows the cache to at least n entries. The entries move to a new table
// (busy ones too: runSource completes their copy); the old table is
// retired, not freed.
void growCache(ThreadContext &t, size_t n) {
    std::vector<CacheEntry> bigger(std::max(n, 2 * t.cache.size()));
    // A move leaves the old entry's own words in place.
    std::move(t.cache.begin(), t.cache.end(), bigger.begin());
    if (!t.cache.empty()) t.retired.push_back(std::move(t.cache));
    t.cache = std::move(bigger);
    t.entries = t.cache.size();
}

// The rare cases of evaluateConnection: a state without a thread, a cache
// too small for the source, and an evaluation for another state while the
// source runs (from a ray it traces), which gets an entry of its own.
__attribute__((noinline)) void *evaluateSlow(xrState *state, const Instance::ConnectionSlot &slot) {
    RayContext *r = rayOf(state);
    ThreadContext *t = threadOf(state);
    const size_t id = size_t(slot.sourceId);
    if (id >= t->entries) growCache(*t, id + 16);
    auto matches = [&](const CacheEntry &x) { return x.state == state && x.sampleId == r->sampleId; };
    CacheEntry *e = &t->cache[id];
    if (matches(*e)) return reinterpret_cast<char *>(e->result(slot)) + slot.fieldOffset;
    if (e->busy) {
        auto &chain = t->nested[slot.sourceId];
        e = nullptr;
        for (auto &x : chain) {
            if (matches(*x)) return reinterpret_cast<char *>(x->result(slot)) + slot.fieldOffset;
            if (!e && !x->busy) e = x.get();
        }
        if (!e) e = chain.emplace_back(new CacheEntry).get();
    }
    return runSource(state, r, t, e, slot);
}

__attribute__((noinline, cold)) void *noConnection(xrState *state, const void *param) {
    Instance *inst = currentInstance(state);
    if (!inst) return nullptr;
    const int off = int(static_cast<const char *>(param) - inst->params());
    hostMessage(Severity::Error, "xr_phen_eval: node " + inst->name + " has no connection at byte " + std::to_string(off));
    return nullptr;
}

}  // namespace

// Evaluates the shader connected to the parameter at `param` of the running
// shader and returns the address of the connected field in its result.
// Results are cached per thread and instance, keyed by state and sample.
void *evaluateConnection(xrState *state, void *param) {
    if (!state || !state->shaderRecord) return nullptr;
    const Instance::ConnectionSlot *slot = Instance::slotFromRecord(*state->shaderRecord, param);
    if (!slot) return noConnection(state, param);
    const RayContext *r = static_cast<const RayContext *>(state->hostContext);
    ThreadContext *t = r ? r->thread : nullptr;
    if (t && size_t(slot->sourceId) < t->entries) {
        CacheEntry &e = t->cache[size_t(slot->sourceId)];
        // Hit: the source already ran for this state and sample on this thread.
        if (e.state == state && e.sampleId == r->sampleId)
            return reinterpret_cast<char *>(e.result(*slot)) + slot->fieldOffset;
        if (!e.busy) return runSource(state, r, t, &e, *slot);
    }
    return evaluateSlow(state, *slot);
}

// ---------------------------------------------------------------------------
StandaloneState::StandaloneState() {
    thread_ = createThreadContext(0);
    ray.thread = thread_;
    camera.focalLength = 1;
    camera.apertureWidth = 1;
    camera.pixelAspect = 1;
    camera.nearClip = 0.1f;
    camera.farClip = 1000;
    camera.imageWidth = 64;
    camera.imageHeight = 64;
    options.traceEnabled = 1;
    options.maxReflectionDepth = 2;
    options.maxRefractionDepth = 2;
    options.maxTraceDepth = 4;
    options.shadowModeChar = 'o';
    state_.cameraRecord = &camera;
    state_.optionsRecord = &options;
    xr_init_lock(&state_.libraryLock);
    state_.hostContext = &ray;
    state_.currentIor = 1;
    state_.texCoords = uv_;
    state_.derivU = du_;
    state_.derivV = dv_;
    setSurfaceSample(0.5f, 0.5f);
    newSample(&state_);
}

StandaloneState::~StandaloneState() {
    xr_delete_lock(&state_.libraryLock);
    destroyThreadContext(thread_);
}

void StandaloneState::setSurfaceSample(float u, float v) {
    state_.rayKind = xrRAY_EYE;
    state_.rayOrigin = {u, v, 1};
    state_.rayDirection = {0, 0, -1};
    state_.hitPoint = {u, v, 0};
    state_.hitDistance = 1;
    state_.shadingNormal = {0, 0, 1};
    state_.geometricNormal = {0, 0, 1};
    state_.cosView = -1;
    for (int k = 0; k < 4; ++k) {
        uv_[k] = {u, v, 0};
        du_[k] = {1, 0, 0};
        dv_[k] = {0, 1, 0};
    }
    state_.texCoords = uv_;
    nextSample();
}

void StandaloneState::nextSample() { newSample(&state_); }

// Applies a row-major matrix to a row vector (translation in 12..14).
static void transformPoint(xrVector *out, const xrVector *in, const float *m) {
    xrVector p = *in;
    float x = p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12];
    float y = p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13];
    float z = p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14];
    float w = p.x * m[3] + p.y * m[7] + p.z * m[11] + m[15];
    if (w != 1.0f && w != 0.0f) {
        x /= w;
        y /= w;
        z /= w;
    }
    *out = {x, y, z};
}

static void transformVector(xrVector *out, const xrVector *in, const float *m) {
    xrVector p = *in;
    *out = {p.x * m[0] + p.y * m[4] + p.z * m[8], p.x * m[1] + p.y * m[5] + p.z * m[9],
            p.x * m[2] + p.y * m[6] + p.z * m[10]};
}

}  // namespace vh

namespace vh {
namespace {

// The queries that are not asked on every sample (kept out of xr_query so
// that its frequent cases stay a short leaf function), and the frequent ones
// in their rare cases.
__attribute__((noinline)) xrBoolean otherQuery(xrInteger code, xrState *state, xrTag tag, void *result) {
    switch (code) {
        case 52: {  // the running instance's own lock (xrLock)
            Instance *inst = currentInstance(state);
            if (!inst) return 0;
            {
                std::lock_guard<std::mutex> lock(inst->threadDataMutex);
                if (!inst->lock) xr_init_lock(&inst->lock);
            }
            *static_cast<xrLock *>(result) = inst->lock;
            return 1;
        }
        case 124:    // the calling thread's data of the running instance (void *)
        case 126: {  // stores it (result points to the void *)
            Instance *inst = currentInstance(state);
            if (!inst) return 0;
            std::vector<void *> &slots = threadOf(state)->instanceData;
            if (size_t(inst->id) >= slots.size()) slots.resize(size_t(inst->id) + 16, nullptr);
            void *&mine = slots[size_t(inst->id)];
            if (code == 124) {
                *static_cast<void **>(result) = mine;
                return 1;
            }
            void *value = *static_cast<void **>(result);
            std::lock_guard<std::mutex> lock(inst->threadDataMutex);
            std::vector<void *> &all = inst->threadData;  // null-terminated
            auto it = mine ? std::find(all.begin(), all.end() - 1, mine) : all.end() - 1;
            if (it != all.end() - 1) {
                if (value) *it = value;
                else all.erase(it);
            } else if (value) {
                all.insert(all.end() - 1, value);
            }
            mine = value;
            return 1;
        }
        case 127: {  // every thread's data of the running instance: a null-terminated list (void **)
            Instance *inst = currentInstance(state);
            if (!inst) return 0;
            std::lock_guard<std::mutex> lock(inst->threadDataMutex);
            *static_cast<void ***>(result) = inst->threadData.data();
            return 1;
        }
        case 54: {  // the function of a shader (xrTag): the host keeps it with the shader's tag
            Instance *inst = instanceOfTag(tag);
            if (!inst) return 0;
            *static_cast<xrTag *>(result) = inst->tag;
            return 1;
        }
        case 63: {  // the name of a function (const char *, the node type)
            Instance *inst = instanceOfTag(tag);
            if (!inst || !inst->decl) return 0;
            *static_cast<const char **>(result) = inst->decl->name.c_str();
            return 1;
        }
        default:
            if (renderQuery) return renderQuery(code, state, tag, result) ? 1 : 0;
            return 0;
    }
}

// The frequent queries that call further (kept out of line, so that xr_query
// needs no stack frame and calls them as its last step).
__attribute__((noinline)) xrBoolean shaderResultBytes(xrTag tag, void *result) {
    Instance *inst = instanceOfTag(tag);
    if (!inst) return 0;
    *static_cast<int32_t *>(result) = inst->decl->resultBytes;
    return 1;
}

__attribute__((noinline)) xrBoolean instanceQuery(xrInteger code, xrTag tag, void *result) {
    // Unpinned (asked once per eye sample): instance records are removed
    // with their scene, never while it renders. Without a database there is
    // no record.
    const Database *db = Database::existing();
    if (!db) return 0;
    int type = 0;
    auto *rec = static_cast<const InstanceRecord *>(db->peek(tag, &type));
    if (!rec || type != xrDB_INSTANCE) return 0;
    // An instance that derives from no other stands for itself.
    *static_cast<xrTag *>(result) = code == 8 ? (rec->parent ? rec->parent : tag) : rec->label;
    return 1;
}

}  // namespace
}  // namespace vh

using namespace vh;

extern "C" {

void *xr_phen_eval(xrState *state, void *param) { return evaluateConnection(state, param); }

void xr_flush_cache(xrState *state) { flushCache(state); }

xrBoolean xr_call_shader_x(void *result, xrInteger kind, xrState *state, xrTag shader, void *arg) {
    Instance *inst = instanceOfTag(shader);
    if (!inst || !state) return 0;
    (void)kind;
    // Shaders named by tag (e.g. a curve driver's curve) are outside the
    // network's cycle check: a shader that ends up calling itself is cut
    // off here instead of exhausting the stack.
    constexpr int kMaxCallDepth = 256;
    static thread_local int depth __attribute__((tls_model("initial-exec"))) = 0;
    if (depth >= kMaxCallDepth) {
        hostMessage(Severity::Error, "xr_call_shader_x: node " + inst->name + " is called more than " +
                                         std::to_string(kMaxCallDepth) + " levels deep (does it call itself?)");
        return 0;
    }
    ++depth;
    const xrBoolean ok = callShader(*inst, state, result, arg);
    --depth;
    return ok;
}

// The codes shaders ask on every sample are answered here, in one switch
// without a further call; otherQuery answers the rest (and 7 and 24 when the
// render's light tables do not know the tag).
xrBoolean xr_query(xrInteger code, xrState *state, xrTag tag, void *result) {
    if (!result) return 0;
    switch (code) {
        case 140: {  // kind of the running shader
            if (!state || !state->shaderRecord) return 0;
            *static_cast<int32_t *>(result) = state->shaderRecord->hostWords[0];
            return 1;
        }
        case 51: {  // address of the running instance's user pointer
            Instance *inst = currentInstance(state);
            if (!inst) return 0;
            *static_cast<void ***>(result) = &inst->userPointer;
            return 1;
        }
        case 7:     // the light of a light instance
        case 24: {  // area shape of a light
            const RayData *rd = rayDataOf(state);
            const LightInst *l = rd ? rd->scene->lightOf(tag) : nullptr;
            if (!l) break;
            if (code == 7) {
                *static_cast<xrTag *>(result) = l->lightTag;
                return 1;
            }
            if (l->lightTag != tag) break;
            *static_cast<int32_t *>(result) = l->shape;
            return 1;
        }
        case 82: {  // number of texture spaces of the object hit (a strand: its colour)
            const RayData *rd = rayDataOf(state);
            if (!rd) return 0;
            *static_cast<int32_t *>(result) = hitTextureSpaces(*rd);
            return 1;
        }
        case 142:  // reduced-quality sampling: inside a final-gather ray
            *static_cast<int32_t *>(result) = withinGatherRay(state);
            return 1;
        case 58:     // result size in bytes of a shader
            return shaderResultBytes(tag, result);
        case 8:      // instance the given instance derives from
        case 101:    // object label of an instance
            return instanceQuery(code, tag, result);
        default:
            break;
    }
    return otherQuery(code, state, tag, result);
}

void *xr_shaderstate_get(xrState *state, const char *key, xrInteger *size) {
    if (!state || !key) return nullptr;
    RayContext *r = rayOf(state)->owner();
    for (auto &it : r->items)
        if (it.present && std::strcmp(it.key.c_str(), key) == 0) {
            if (size) *size = it.size;
            return it.data.data();
        }
    return nullptr;
}

xrBoolean xr_shaderstate_set(xrState *state, const char *key, const void *data, xrInteger size, xrInteger lifetime) {
    (void)lifetime;
    if (!state || !key) return 0;
    RayContext *r = rayOf(state)->owner();
    ShaderStateItem *slot = nullptr;
    for (auto &it : r->items)
        if (it.key == key) slot = &it;
    if (!data) {
        if (slot) slot->present = false;
        return 1;
    }
    if (!slot) {
        r->items.emplace_back();
        slot = &r->items.back();
        slot->key = key;
    }
    size_t words = (size_t(std::max(size, 0)) + 7) / 8;
    if (slot->data.size() < words) slot->data.resize(words);
    std::memcpy(slot->data.data(), data, size_t(size));
    slot->size = size;
    slot->present = true;
    return 1;
}

void xr_point_transform(xrVector *out, const xrVector *in, const float *m) { transformPoint(out, in, m); }
void xr_vector_transform(xrVector *out, const xrVector *in, const float *m) { transformVector(out, in, m); }
void xr_vector_transform_T(xrVector *out, const xrVector *in, const float *m) {
    const xrVector p = *in;
    *out = {p.x * m[0] + p.y * m[1] + p.z * m[2], p.x * m[4] + p.y * m[5] + p.z * m[6],
            p.x * m[8] + p.y * m[9] + p.z * m[10]};
}

void xr_matrix_ident(float *m) {
    for (int i = 0; i < 16; ++i) m[i] = (i % 5 == 0) ? 1.0f : 0.0f;
}

// Gauss-Jordan inversion with partial pivoting; false for a singular matrix.
xrBoolean xr_matrix_invert(float *out, const float *in) {
    double a[4][8];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 8; ++c) a[r][c] = c < 4 ? in[r * 4 + c] : (c - 4 == r ? 1.0 : 0.0);
    for (int c = 0; c < 4; ++c) {
        int p = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        if (std::fabs(a[p][c]) < 1e-12) return 0;
        if (p != c)
            for (int k = 0; k < 8; ++k) std::swap(a[p][k], a[c][k]);
        double d = a[c][c];
        for (int k = 0; k < 8; ++k) a[c][k] /= d;
        for (int r = 0; r < 4; ++r)
            if (r != c) {
                double f = a[r][c];
                if (f != 0)
                    for (int k = 0; k < 8; ++k) a[r][k] -= f * a[c][k];
            }
    }
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out[r * 4 + c] = float(a[r][c + 4]);
    return 1;
}

// State-relative transforms. Internal space is world space; the ray's
// matrices (null = identity) give the object, camera and light spaces.
}  // extern "C"

namespace vh {
namespace {

enum class Space { ToObject, FromObject, ToCamera, FromCamera, ToLight, FromLight };

template <Space S>
const float *rayMatrix(const RayContext &r) {
    switch (S) {
        case Space::ToObject: return r.worldToObject;
        case Space::FromObject: return r.objectToWorld;
        case Space::ToCamera: return r.worldToCamera;
        case Space::FromCamera: return r.cameraToWorld;
        case Space::ToLight: return r.worldToLight;
        default: return r.lightToWorld;
    }
}

template <bool Point>
void applyMatrix(const float *m, xrVector *out, const xrVector *in) {
    if (!m) *out = *in;
    else if (Point) transformPoint(out, in, m);
    else transformVector(out, in, m);
}

constexpr bool objectSpace(Space s) { return s == Space::ToObject || s == Space::FromObject; }

// States without a ray context, and object space on a state that a volume
// shader runs on (the renderer's instance then gives it).
template <Space S, bool Point>
__attribute__((noinline)) void transformSlow(xrState *state, xrVector *out, const xrVector *in) {
    const float *m = objectSpace(S) && renderObjectMatrix ? renderObjectMatrix(state, S == Space::FromObject) : nullptr;
    applyMatrix<Point>(m ? m : rayMatrix<S>(*rayOf(state)), out, in);
}

// Asked by shaders on every sample: a leaf, the rare cases out of line.
template <Space S, bool Point>
void transformIn(xrState *state, xrVector *out, const xrVector *in) {
    const RayContext *r = state ? static_cast<const RayContext *>(state->hostContext) : nullptr;
    if (!r) return transformSlow<S, Point>(state, out, in);
    if constexpr (objectSpace(S)) {
        const RayData *rd = rayDataOf(state);
        if (rd && rd->inVolume) return transformSlow<S, Point>(state, out, in);
    }
    applyMatrix<Point>(rayMatrix<S>(*r), out, in);
}

}  // namespace
}  // namespace vh

extern "C" {

#define VH_SPACE(fn, space, isPoint) \
    void fn(xrState *state, xrVector *out, const xrVector *in) { transformIn<Space::space, isPoint>(state, out, in); }
VH_SPACE(xr_point_to_object, ToObject, true)
VH_SPACE(xr_point_from_object, FromObject, true)
VH_SPACE(xr_point_to_camera, ToCamera, true)
VH_SPACE(xr_point_from_camera, FromCamera, true)
VH_SPACE(xr_point_to_light, ToLight, true)
VH_SPACE(xr_point_from_light, FromLight, true)
VH_SPACE(xr_vector_to_object, ToObject, false)
VH_SPACE(xr_vector_from_object, FromObject, false)
VH_SPACE(xr_vector_to_camera, ToCamera, false)
VH_SPACE(xr_vector_from_camera, FromCamera, false)
VH_SPACE(xr_vector_to_light, ToLight, false)
VH_SPACE(xr_vector_from_light, FromLight, false)
#undef VH_SPACE

void xr_point_to_world(xrState *, xrVector *out, const xrVector *in) { *out = *in; }
void xr_point_from_world(xrState *, xrVector *out, const xrVector *in) { *out = *in; }
void xr_vector_to_world(xrState *, xrVector *out, const xrVector *in) { *out = *in; }
void xr_vector_from_world(xrState *, xrVector *out, const xrVector *in) { *out = *in; }

}  // extern "C"
