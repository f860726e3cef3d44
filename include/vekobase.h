// vekobase shared header: export macros, parameter evaluation, the per-ray
// record (BaseStateRecord), user-data lookup, per-thread block pools and the
// result records that several shaders share.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "vecmath.h"
#include "xr.h"

// Platform specifics live here and in src/host/binding.cpp only.
// VEKO_EXPORT marks the library's exported definitions (shaders, their
// _version/_init/_exit, vekobase_* helpers, xrSetModuleHandle). On ELF
// everything else is hidden by the default visibility; in a DLL only
// dllexport definitions enter the export table (an explicit dllexport turns
// the linker's export-all off), so nothing needs hiding there.
#if defined(_WIN32)
#define VEKO_EXPORT extern "C" __declspec(dllexport)
#define VEKO_HIDDEN
#else
#define VEKO_EXPORT extern "C" __attribute__((visibility("default")))
#define VEKO_HIDDEN __attribute__((visibility("hidden")))
#endif

// Declares the version function of a node: veko_<node>_version().
#define VEKO_VERSION(node, value) \
    VEKO_EXPORT int node##_version(void) { return value; }

namespace veko {

// ---------------------------------------------------------------------------
// Parameter evaluation. Word 24 of the current shader record is the byte
// offset of the connection block; a nonzero word at the parameter's mirrored
// address means the parameter is fed by a shader and its value comes from
// xr_phen_eval. Otherwise the literal in the parameter block is used.
// `offset` is the running record's connection offset (0: none).
inline bool connectedAt(const void *param, int32_t offset) {
    if (offset == 0) return false;
    int32_t word;
    std::memcpy(&word, static_cast<const char *>(param) + offset, 4);
    return word != 0;
}

inline bool isConnected(const xrState *state, const void *param) {
    const xrShaderRecord *rec = state->shaderRecord;
    return rec && connectedAt(param, rec->connectionOffset);
}

template <class T>
inline const T *evalPtr(xrState *state, const T *param) {
    if (isConnected(state, param)) {
        void *p = xr_phen_eval(state, const_cast<T *>(param));
        if (p) return static_cast<const T *>(p);
    }
    return param;
}

template <class T>
inline T eval(xrState *state, const T *param) {
    return *evalPtr(state, param);
}

// Parameter evaluation within one call of a shader, for shaders that read
// many parameters: the connection offset is read once. The host keeps the
// running shader's record in the state while it runs (it restores it after
// every nested evaluation), so the offset cannot change meanwhile.
class Evaluator {
public:
    explicit Evaluator(xrState *state)
        : state_(state), offset_(state->shaderRecord ? state->shaderRecord->connectionOffset : 0) {}
    xrState *state() const { return state_; }
    bool connected(const void *param) const { return connectedAt(param, offset_); }
    // The value's address: the connected result, or the literal when the
    // parameter is not connected or its evaluation fails.
    template <class T>
    const T *ptr(const T *param) const {
        if (connected(param))
            if (void *p = xr_phen_eval(state_, const_cast<T *>(param))) return static_cast<const T *>(p);
        return param;
    }
    template <class T>
    T operator()(const T *param) const {
        return *ptr(param);
    }
    // Whether any word of the `count` parameters from `first` on is connected.
    template <class T>
    bool anyConnected(const T *first, int count) const {
        if (!offset_ || count <= 0) return false;
        static_assert(sizeof(T) % 4 == 0);
        const char *words = reinterpret_cast<const char *>(first) + offset_;
        const size_t bytes = size_t(count) * sizeof(T);
        uint64_t any = 0;
        size_t k = 0;
        for (; k + 8 <= bytes; k += 8) {
            uint64_t w;
            std::memcpy(&w, words + k, 8);
            any |= w;
        }
        if (k < bytes) {
            uint32_t w;
            std::memcpy(&w, words + k, 4);
            any |= w;
        }
        return any != 0;
    }

private:
    xrState *state_;
    int32_t offset_;
};

inline void evalMatrix(xrState *state, const float *param, float out[16]) {
    const float *p = param;
    if (isConnected(state, param)) {
        void *v = xr_phen_eval(state, const_cast<float *>(param));
        if (v) p = static_cast<const float *>(v);
    }
    std::memcpy(out, p, 16 * sizeof(float));
}

// Array parameter in the host's array form: the start index and the element
// count, then storage for one element. Element k lives at
// storage + (start + k) elements.
template <class T>
struct Array {
    int32_t start;
    int32_t count;
    T storage[1];
    T *at(int k) { return storage + start + k; }
    const T *at(int k) const { return storage + start + k; }
};

// Evaluated element count of an array parameter (the count word is itself a
// parameter and may be connected).
template <class T>
inline int evalCount(xrState *state, const Array<T> *a) {
    return eval(state, &a->count);
}
template <class T>
inline int evalStart(xrState *state, const Array<T> *a) {
    return eval(state, &a->start);
}

// ---------------------------------------------------------------------------
// The library's per-ray record, stored in the host's shader state under the
// key "vekobase" (368 bytes, 92 words). The state shader fills it from its
// template for every ray; surface shaders, lights and textures read it and
// leave their side information in it.
struct DepthNode {
    DepthNode *next;
    float factor;  // luminance of the surface transparency
    float depth;   // cameraAxis . (hitPoint, 1)
};
static_assert(sizeof(DepthNode) == 16);

struct DepthStack {
    DepthNode *top;        // words 82-83
    int32_t count;         // word 84
    int32_t pad;           // word 85
    xrBlockPool pool;      // words 86-87
};

struct BaseStateRecord {
    int32_t passMode;            // 0
    int32_t userWord1;           // 1
    int32_t filterEnabled;       // 2
    float baseFilterSize;        // 3
    int32_t keepCache;           // 4
    int32_t userWord5;           // 5
    float minRayWeight;          // 6
    float fullSampleWeight;      // 7
    int32_t refractionCap;       // 8
    int32_t reflectionCap;       // 9
    float filterSize;            // 10
    xrVector viewCorner;         // 11-13
    xrVector pixelStep;          // 14-16
    int32_t depthStackEnabled;   // 17
    float depthThreshold;        // 18
    float cameraAxis[4];         // 19-22
    int32_t word23;              // 23
    int32_t lightAmbient;        // 24
    int32_t lightDiffuse;        // 25
    int32_t lightSpecular;       // 26
    float lightShadowWeight;     // 27
    xrColor lightUnshadowed;     // 28-31
    void *lightShapeRef;         // 32-33
    int32_t backSide;            // 34
    int32_t inLightLoop;         // 35
    int32_t particleBlock[16];   // 36-51
    int32_t words52to61[10];     // 52-61
    int32_t refractionsOn;       // 62
    xrColor fbColor;             // 63-66
    xrColor matteColor;          // 67-70
    xrColor auxColor;            // 71-74
    xrVector footprintU;         // 75-77
    xrVector footprintV;         // 78-80
    int32_t flags;               // 81
    DepthStack depthStack;       // 82-87
    xrColor rayWeight;           // 88-91
};
static_assert(sizeof(BaseStateRecord) == 368);
static_assert(offsetof(BaseStateRecord, filterSize) == 40);
static_assert(offsetof(BaseStateRecord, cameraAxis) == 76);
static_assert(offsetof(BaseStateRecord, lightAmbient) == 96);
static_assert(offsetof(BaseStateRecord, lightShapeRef) == 128);
static_assert(offsetof(BaseStateRecord, particleBlock) == 144);
static_assert(offsetof(BaseStateRecord, refractionsOn) == 248);
static_assert(offsetof(BaseStateRecord, fbColor) == 252);
static_assert(offsetof(BaseStateRecord, auxColor) == 284);
static_assert(offsetof(BaseStateRecord, footprintU) == 300);
static_assert(offsetof(BaseStateRecord, flags) == 324);
static_assert(offsetof(BaseStateRecord, depthStack) == 328);
static_assert(offsetof(BaseStateRecord, rayWeight) == 352);

// flags word bits
enum : int32_t {
    kFlagDirectEnvLookup = 0x02,
    kFlag3dFromOriginMask = 0x04 | 0x08 | 0x10,
    kFlagEnvironmentEval = 0x20,
    // Set by a material's light loop when it reads nothing on the back side
    // but ambient parts and area shapes (no translucence, no shadow pass):
    // the one-sided lights (point, spot, directional: no ambient part, no
    // area shape, lighting only the side they lie on) then turn their
    // back-side samples down uncomputed and mark their front-side samples
    // with kFlagLightOneSided.
    kFlagBackSideUnused = 0x40,
    kFlagLightOneSided = 0x80,
};

// Fixed-size copy and zero fill of per-sample blocks in 16-byte moves. A
// plain memcpy/memset of a few hundred bytes compiles to rep movs/stos,
// whose start-up costs more than the whole copy done this way.
namespace detail {
typedef float Move16 __attribute__((vector_size(16)));
inline void move16(char *d, const char *s) {
    Move16 v;
    std::memcpy(&v, s, 16);
    std::memcpy(d, &v, 16);
}
}  // namespace detail

template <size_t N>
inline void copyBlock(void *dst, const void *src) {
    char *d = static_cast<char *>(dst);
    const char *s = static_cast<const char *>(src);
    [&]<size_t... I>(std::index_sequence<I...>) {
        (detail::move16(d + 16 * I, s + 16 * I), ...);
    }(std::make_index_sequence<N / 16>());
    if constexpr (N % 16 != 0) std::memcpy(d + N / 16 * 16, s + N / 16 * 16, N % 16);
}

template <size_t N>
inline void zeroBlock(void *dst) {
    char *d = static_cast<char *>(dst);
    const detail::Move16 zero{};
    [&]<size_t... I>(std::index_sequence<I...>) {
        (std::memcpy(d + 16 * I, &zero, 16), ...);
    }(std::make_index_sequence<N / 16>());
    if constexpr (N % 16 != 0) std::memset(d + N / 16 * 16, 0, N % 16);
}

// The record as the host keeps it (one host lookup by key).
inline BaseStateRecord *lookupStateRecord(xrState *state) {
    return static_cast<BaseStateRecord *>(xr_shaderstate_get(state, "vekobase", nullptr));
}

// The record of the ray whose material call (veko_shadingengine) is running
// on a render thread, so that the shaders it calls on the same ray (surface
// shader, connected textures, the lights it samples) skip the host lookup.
// One binding per render thread, indexed by the state's threadIndex: the
// host numbers its render threads so that no two run under one number at a
// time (the per-thread block pools rely on the same). Set and restored by
// RecordScope only; empty outside a material call. Threads numbered beyond
// the table are simply not bound.
//
// The binding also carries the material's eye-ray filter footprint until
// something needs it: its camera transforms are made only when a shader
// reads or writes the record's footprint words (touchFootprint).
struct EyeHit {
    xrVector point, normal;  // hit point and shading normal at the material
    xrVector derivU, derivV; // surface derivatives of texture space 0
    bool hasDerivs;
};
struct RecordBinding {
    const xrState *state;
    BaseStateRecord *rec;
    bool footprintPending;
    EyeHit hit;  // inputs of the pending footprint
};
struct alignas(64) RecordBindingSlot {  // two cache lines per thread
    RecordBinding binding;
};
constexpr int kBoundThreads = 256;
extern RecordBindingSlot g_recordBindings[kBoundThreads];

inline RecordBinding *recordBinding(const xrState *state) {
    return state->threadIndex < kBoundThreads ? &g_recordBindings[state->threadIndex].binding : nullptr;
}

// Ray kind of a light shader's call (the host's light ray for a sample).
constexpr int32_t kLightRayKind = 4;

// The per-ray record of `state`, or null when the ray has none. Within a
// material call the bound record serves the material's own state and the
// light rays it spawns: a light ray carries the caller's state in
// spawningState and shares its record (lights leave their words there for
// the material to read).
inline BaseStateRecord *stateRecord(xrState *state) {
    if (state) {
        const RecordBinding *b = recordBinding(state);
        if (b && b->rec &&
            (state == b->state || (state->rayKind == kLightRayKind && state->spawningState == b->state)))
            return b->rec;
    }
    return lookupStateRecord(state);
}

// Computes the pending footprint of binding `b` into its record's
// footprintU and footprintV (shadingengine.cpp).
VEKO_HIDDEN void settleFootprint(RecordBinding *b);

// Makes the footprint words of `rec` current: call before reading or writing
// footprintU or footprintV. Any state whose record is `rec` may ask (a light
// ray, a traced ray without a material of its own share the record).
inline void touchFootprint(const xrState *state, const BaseStateRecord *rec) {
    if (!state || !rec) return;
    RecordBinding *b = recordBinding(state);
    if (b && b->footprintPending && b->rec == rec) settleFootprint(b);
}

// Binds `rec` as the record of `state` for the dynamic extent of a material
// call and restores the previous binding on leaving (calls nest: a traced
// ray's material binds its own state). Sound because the record of a state
// stays where it is while a shader runs on that state: shaders keep the
// pointer across their host calls, and the record is created and removed
// only by the state shader, which drops a binding of the state it changes.
class RecordScope {
public:
    RecordScope(xrState *state, BaseStateRecord *rec) : slot_(recordBinding(state)) {
        if (!slot_) return;
        saved_ = *slot_;
        slot_->state = state;
        slot_->rec = rec;
        slot_->footprintPending = false;
    }
    ~RecordScope() {
        if (slot_) *slot_ = saved_;
    }
    RecordScope(const RecordScope &) = delete;
    RecordScope &operator=(const RecordScope &) = delete;

private:
    RecordBinding *slot_;
    RecordBinding saved_{};
};

// Saves the record's rayWeight and restores it when the scope ends.
class WeightGuard {
public:
    explicit WeightGuard(BaseStateRecord *rec) : rec_(rec), saved_(rec->rayWeight) {}
    ~WeightGuard() { rec_->rayWeight = saved_; }
    WeightGuard(const WeightGuard &) = delete;
    WeightGuard &operator=(const WeightGuard &) = delete;

private:
    BaseStateRecord *rec_;
    xrColor saved_;
};

// The result record of every surface shader (64 floats).
struct MaterialResult {
    xrColor outColor;             // 0-3
    float outGlowColor[3];        // 4-6
    float pad7;
    float outMatteOpacity[3];     // 8-10
    float pad11;
    xrColor outTransparency;      // 12-15
    xrColor ambientPass;          // 16-19
    xrColor incandescencePass;    // 20-23
    xrColor irradiancePass;       // 24-27
    xrColor diffusePass;          // 28-31
    xrColor diffuseNoShadowPass;  // 32-35
    float shadowPass[3];          // 36-38
    float pad39;
    xrColor specularPass;         // 40-43
    xrColor specularNoShadowPass; // 44-47
    xrColor reflectionPass;       // 48-51
    xrColor refractionPass;       // 52-55
    float words56to63[8];         // 56-63
};
static_assert(sizeof(MaterialResult) == 256);

// ---------------------------------------------------------------------------
// "Veko" user data and per-thread block pools (src/userdata.cpp).

// The label of the exporter's user-data blocks: "Veko" read as a big-endian
// 32-bit integer.
constexpr uint32_t kVekoMagic = 0x56656B6Fu;

// Word positions in the host's database records for the user-data chains.
constexpr int kUserDataNext = 1;       // user-data element: next element tag
constexpr int kUserDataLabel = 6;      // user-data element: label word
constexpr int kObjectUserData = 12;    // object: first user-data element
constexpr int kInstanceUserData = 52;  // instance: first user-data element

// Finds the user-data element labelled `magic` on `tag`, which is a
// user-data element (elementType 34: the chain starts there), an object (7:
// the chain starts at its word 12) or an instance (10: the chain starts at
// its word 52). The chain follows each element's next tag (word 1) while the
// elements are user data. Returns the address of the label word (word 6 of
// the element; the block's data follows it) or null. The element found stays
// pinned for the caller to unpin; its tag goes to `foundTag` when that is not
// null. With `swapped` not null, a byte-reversed label matches too and
// `*swapped` tells which order was found (1 byte-reversed, 0 native).
VEKO_HIDDEN uint32_t *findUserData(uint32_t magic, int elementType, xrTag tag, xrTag *foundTag,
                                   xrBoolean *swapped);

// findUserData for a tag whose kind (user data, object or instance) is not
// known: the kind is read from the element itself, in the access that also
// reads its label or chain start. Labels match in native order only.
VEKO_HIDDEN uint32_t *findUserDataOnAny(uint32_t magic, xrTag tag, xrTag *foundTag);

// Size in bytes of a user-data element's label and data (the host keeps it
// in word 2 of the element, four words before the label): the bound for
// readers of variable-length blocks. `label` is what findUserData returned.
inline size_t userDataBytes(const uint32_t *label) { return label[-4]; }

// Word `k` after the label of a user-data block, 0 when the block is shorter
// (words a scene left out read as absent, never past the element).
inline uint32_t userDataWord(const uint32_t *label, size_t k) {
    return (k + 1) * 4 <= userDataBytes(label) ? label[k] : 0;
}

// Block pool for blocks of `blockSize` bytes owned by the state's render
// thread. Created on first use; take blocks with xr_mem_blkfallocate and
// return them with xr_mem_blkfrelease. Null only when the host cannot
// create a pool.
VEKO_HIDDEN xrBlockPool threadBlockPool(xrState *state, int blockSize);

// Deletes every pool made by threadBlockPool (state shader's shader-level
// exit, after rendering).
VEKO_HIDDEN void deleteBlockPools(xrState *state);

// World position of the camera instance (cameraInstanceTag): the translation
// row of the matrix at byte 16 of its database record, divided by its weight
// when that is neither 1 nor 0. (0, 0, 0) without a camera instance.
VEKO_HIDDEN xrVector cameraPosition(xrState *state);

// Address of the running shader instance's user pointer (host query 51),
// where per-instance data lives from _init through the calls to _exit. Null
// when the host keeps none for the call.
inline void **instanceUserPointer(xrState *state) {
    void **slot = nullptr;
    return xr_query(51, state, 0, &slot) ? slot : nullptr;
}

// Reports a warning prefixed with the shader's exported name.
#define VEKO_WARN(shader, text) xr_warning("%s(): %s", shader, text)

}  // namespace veko
