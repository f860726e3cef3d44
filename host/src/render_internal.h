// Internal structures of the renderer shared by scene.cpp, trace.cpp,
// lights.cpp, sampling.cpp, render.cpp and image.cpp.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <embree3/rtcore.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "finalgather.h"
#include "hair.h"
#include "vekohost/render.h"

namespace vh {

// Ray kinds this host uses (xrState::rayKind).
enum RayKind : int32_t {
    kRayEye = 0,
    kRayReflect = 2,
    kRayRefract = 3,
    kRayLight = 4,
    kRayShadow = 5,
    kRayEnvironment = 6,
    kRayGather = 9,
    kRayTransparent = 20,
};

// State shader opcodes (the fourth argument's first word).
enum StateOp : int32_t { kOpCreate = 0, kOpRemove = 1, kOpNewRay = 2, kOpSampleDone = 3 };

// ---------------------------------------------------------------------------
// Small vector algebra on xrVector.
inline xrVector operator+(xrVector a, xrVector b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline xrVector operator-(xrVector a, xrVector b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline xrVector operator-(xrVector a) { return {-a.x, -a.y, -a.z}; }
inline xrVector operator*(xrVector a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline xrVector operator*(float s, xrVector a) { return a * s; }
inline float dot(xrVector a, xrVector b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline xrVector cross(xrVector a, xrVector b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float length(xrVector a) { return std::sqrt(dot(a, a)); }
inline xrVector normalize(xrVector a) {
    float l = length(a);
    return l > 0 ? a * (1.0f / l) : a;
}

// Row-vector matrices (p' = p * M, translation in 12..14), as the core uses.
struct Mat4 {
    float m[16];
    static Mat4 identity() {
        Mat4 r{};
        r.m[0] = r.m[5] = r.m[10] = r.m[15] = 1;
        return r;
    }
    Mat4 operator*(const Mat4 &b) const {  // apply this, then b
        Mat4 r{};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                float s = 0;
                for (int k = 0; k < 4; ++k) s += m[i * 4 + k] * b.m[k * 4 + j];
                r.m[i * 4 + j] = s;
            }
        return r;
    }
    xrVector point(xrVector p) const {
        float x = p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12];
        float y = p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13];
        float z = p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14];
        float w = p.x * m[3] + p.y * m[7] + p.z * m[11] + m[15];
        if (w != 1.0f && w != 0.0f) return {x / w, y / w, z / w};
        return {x, y, z};
    }
    xrVector vector(xrVector v) const {
        return {v.x * m[0] + v.y * m[4] + v.z * m[8], v.x * m[1] + v.y * m[5] + v.z * m[9],
                v.x * m[2] + v.y * m[6] + v.z * m[10]};
    }
    // Normals transform with the inverse transpose: n' = M^-1 applied as a column.
    xrVector normalFromInverse(xrVector n) const {
        return {n.x * m[0] + n.y * m[1] + n.z * m[2], n.x * m[4] + n.y * m[5] + n.z * m[6],
                n.x * m[8] + n.y * m[9] + n.z * m[10]};
    }
    bool invert(Mat4 &out) const;
};

// ---------------------------------------------------------------------------
// Scene contents.
struct Mesh {
    std::vector<xrVector> P, N;                // per vertex
    std::vector<std::vector<xrVector>> uv;     // per set, per vertex (z = 0)
    std::vector<std::vector<xrVector>> colors; // per colour set, per vertex (r, g, b)
    std::vector<uint32_t> tri;                 // 3 per triangle
};

struct ObjectInst {
    std::string name;
    Mesh world;                                // mesh in world space
    std::vector<xrVector> Ng;                  // per triangle, unit
    std::vector<std::vector<xrVector>> dPdu, dPdv;  // per set, per triangle, object space
    Mat4 toWorld, fromWorld;
    float bbox[6] = {0, 0, 0, 0, 0, 0};        // object space min, max
    xrTag tag = 0, objectTag = 0, label = 0, dataTag = 0;
    Instance *material = nullptr;
    xrTag materialTag = 0;                     // the material's tag (set with the lookup tables)
    Instance *shadow = nullptr;                // shadow shader: called on shadow rays instead of the material
    const NativeMaterial *native = nullptr;
    std::vector<xrTag> lights;                 // light instance tags
    unsigned geomID = 0;
    const struct LightInst *emits = nullptr;   // the visible object light it is the shape of
    // Displaced under motion blur: each vertex's object-space motion from
    // time 0 to time 1 (empty: the object stands still).
    std::vector<xrVector> motion;
    std::unique_ptr<HairGeom> hair;            // hair strands (world space) instead of a mesh
    bool imagePlane = false;                   // camera-attached image plane: casts no shadow
    // "volume": the interior's volume shader (a closed mesh). Without a
    // material the surface is an invisible boundary that rays pass.
    Instance *volume = nullptr;
    bool volumeOnly = false;
    // Particle objects: the block ("particles") and the motion over one unit
    // of shutter time in object space ("motion"; identity: standing still).
    xrTag particleData = 0;
    Mat4 motionTransform = Mat4::identity();
};

// The volumes that enclose a ray segment (options autoVolume), outermost
// first: entered on front-face hits, left on back-face hits.
struct VolumeList {
    // Deeper nesting is not tracked (per ray, without allocation); the host
    // warns once per scene when a ray meets it.
    static constexpr int kMax = 16;
    int count = 0;
    xrTag shaders[kMax];
    xrTag instances[kMax];
    VolumeList() = default;
    VolumeList(const VolumeList &o) { *this = o; }
    // Copies only the entries in use (every ray takes its parent's list).
    VolumeList &operator=(const VolumeList &o) {
        count = o.count;
        for (int i = 0; i < count; ++i) shaders[i] = o.shaders[i], instances[i] = o.instances[i];
        return *this;
    }
    void enter(const ObjectInst &o) {
        if (count == kMax || !o.volume) return;
        shaders[count] = o.volume->tag;
        instances[count] = o.tag;
        ++count;
    }
    void leave(const ObjectInst &o) {
        for (int i = count - 1; i >= 0; --i)
            if (instances[i] == o.tag) {
                for (int j = i + 1; j < count; ++j) shaders[j - 1] = shaders[j], instances[j - 1] = instances[j];
                --count;
                return;
            }
    }
};

// Volume: the light shader picks the direction itself (veko_volumelight).
// Environment: an image-based light whose shader chooses every sample itself
// (direction, origin, distance) and answers 2 when it has no further one.
enum class LightKind { Point, Spot, Directional, Ambient, Other, Volume, Environment };
enum AreaShape : int32_t {
    kShapeNone = 0, kShapeRectangle = 1, kShapeDisc = 2, kShapeSphere = 3, kShapeCylinder = 4, kShapeObject = 5
};

struct LightInst {
    std::string name;
    Instance *shader = nullptr;
    LightKind kind = LightKind::Point;
    Mat4 toWorld, fromWorld;
    xrTag tag = 0;       // light instance (xrDB_INSTANCE)
    xrTag lightTag = 0;  // the light element (query 7)
    int index = 0;
    int32_t shape = kShapeNone;
    xrVector edge1{1, 0, 0}, edge2{0, 1, 0};  // rectangle, light space
    xrVector discNormal{0, 0, -1};
    float radius = 0.5f;
    int samples = 1;
    xrVector position{}, axis{0, 0, -1};  // world
    bool visible = false;                 // the shape is seen by camera and reflection rays
    const ObjectInst *object = nullptr;   // object shape: the emitting mesh
    std::vector<float> triangleCdf;       // object shape: cumulative world triangle areas
};

class Scene;
struct RaySlot;
// Area-light shapes seen by non-light rays: the nearest visible shape along
// the ray within (tnear, tfar), with its distance; null when none is hit.
const LightInst *nearestVisibleLight(const Scene &scene, xrVector org, xrVector dir, float tnear, float tfar,
                                     float *t);
// Shades the visible light shape hit at distance t by the ray of `slot`:
// calls the light's shader with the hit on the shape.
xrBoolean shadeVisibleLight(RaySlot &slot, const LightInst &light, float t, xrColor *color);

// Database element type of a light (query 7 answers a tag of this type).
constexpr int kDbLight = 20;
// Database element type of a camera: an xrCamera record. Query 7 on a camera
// instance answers its camera element.
constexpr int kDbCamera = 5;

enum class FilterType { Box, Triangle, Gaussian, Mitchell };

class TextureImage;  // vekohost/textures.h

class Scene {
public:
    explicit Scene(Library &lib);
    ~Scene();

    Library &lib;
    std::unique_ptr<Network> net;
    std::string where;  // file name in messages
    xrCamera camera{};
    xrOptions options{};
    Mat4 camToWorld = Mat4::identity(), worldToCam = Mat4::identity();
    xrTag cameraTag = 0;
    xrTag cameraItemTag = 0;  // the render camera's element (kDbCamera)
    SceneSettings settings;
    FilterType filter = FilterType::Box;
    float filterWidth = 1.0f;
    Instance *stateShader = nullptr;
    Instance *environment = nullptr;
    std::vector<std::unique_ptr<ObjectInst>> objects;
    std::vector<std::unique_ptr<LightInst>> lights;
    std::vector<xrTag> allLights;
    std::unordered_map<xrTag, ObjectInst *> objectByTag;
    std::unordered_map<xrTag, LightInst *> lightByTag;  // instance and light tags
    std::vector<xrTag> ownedTags;                       // removed with the scene
    RTCDevice device = nullptr;
    RTCScene rtc = nullptr;
    xrVector boundsMin{0, 0, 0}, boundsMax{0, 0, 0}, center{0, 0, 0};
    float radius = 1.0f;
    float eps = 1e-4f;   // ray offset
    // options "finalGatherMinRadius"/"finalGatherMaxRadius": validity radius
    // limits of final-gather points (0: from the scene's size)
    float gatherMinRadius = 0, gatherMaxRadius = 0;
    int uvSets = 1;      // largest number of texture spaces of any object
    bool initialized = false;
    bool hasVolumes = false;  // some object has a "volume"
    mutable std::atomic<bool> volumeNestingWarned{false};
    xrLock lock = nullptr;
    class Renderer *active = nullptr;  // the session rendering it
    std::vector<std::shared_ptr<TextureImage>> images;  // the "images" section
    std::vector<Instance *> lensShaders;    // camera "lens": chained on eye rays
    std::vector<Instance *> outputShaders;  // camera "outputShaders": run on the finished frame
    // camera "contours": the contour store, contrast and contour shaders
    Instance *contourStore = nullptr, *contourContrast = nullptr, *contourShader = nullptr;

    // Asked on every hit and light sample: once the scene is loaded the
    // lookups read flat tables indexed by tag - tableBase (database tags are
    // handed out in sequence), built by buildLookupTables().
    ObjectInst *objectOf(xrTag tag) const {
        if (tablesBuilt) {
            const uint32_t i = tag - tableBase;
            return i < objectTable.size() ? objectTable[i] : nullptr;
        }
        auto it = objectByTag.find(tag);
        return it == objectByTag.end() ? nullptr : it->second;
    }
    LightInst *lightOf(xrTag tag) const {
        if (tablesBuilt) {
            const uint32_t i = tag - tableBase;
            return i < lightTable.size() ? lightTable[i] : nullptr;
        }
        auto it = lightByTag.find(tag);
        return it == lightByTag.end() ? nullptr : it->second;
    }
    void buildAccel();
    // Fills the flat tables from objectByTag and lightByTag (which must not
    // change afterwards); a tag range too wide for a table keeps the maps.
    void buildLookupTables();
    xrTag tableBase = 0;
    bool tablesBuilt = false;
    // The lights whose shape camera and reflection rays see (filled with
    // the tables; until then every light is looked at).
    bool visibleListed = false;
    std::vector<const LightInst *> visibleShapes;
    // Whether a ray may meet a visible light shape at all.
    bool shapesVisible() const { return !visibleListed || !visibleShapes.empty(); }
    std::vector<ObjectInst *> objectTable;
    std::vector<LightInst *> lightTable;
};

// ---------------------------------------------------------------------------
// Per-ray host data (RayContext::userA), per-ray state slots and per-thread
// data. Slots form a stack per thread: a traced ray takes the next slot and
// gives it back when the trace returns, so after warm-up no sample allocates.
struct ThreadData;
struct RaySlot;

struct RayData {
    ThreadData *td = nullptr;
    Scene *scene = nullptr;     // the session's scene (td's), read on every ray
    RaySlot *slot = nullptr;
    int depth = 0;              // slot index in the thread's stack
    const ObjectInst *obj = nullptr;  // current hit
    uint32_t prim = 0;
    const LightInst *light = nullptr; // light state: the light
    bool hasOpacity = false;
    xrColor opacity{};
    uint32_t pixel = 0;         // sampling keys
    uint32_t sampleIndex = 0;
    uint32_t sequence = 0;      // xr_sample sequences started at this state
    uint32_t lightSequence = 0; // xr_sample_light sequences started here
    // Sampling scope (xr_sample_scope_begin): sequences keyed by scopeKey and
    // the depth below the scope's state instead of pixel, sample and depth.
    bool scoped = false;
    uint32_t scopeKey = 0;
    int scopeDepth = 0;
    uint32_t savedSequence = 0, savedLightSequence = 0;
    // Shadow rays: the segment and the attenuation reaching the current
    // occluder from the light.
    xrColor shadowFilter{1, 1, 1, 1};
    // Half the width of the strand hit (0: no hair): rays leaving a strand
    // start this far beyond it twice over, clear of its own ribbon.
    float hairRadius = 0;
    // Eye rays: index of the lens shader that handles this ray (lens.cpp).
    int lens = 0;
    // Eye slot under lens shaders: the first hit of the traced eye rays,
    // which gives the sample its depth and label.
    bool eyeHit = false;
    double eyeHitDistance = 0;
    xrTag eyeHitInstance = 0, eyeHitLabel = 0;
    // A ray that passes an invisible volume boundary (shadeHit): while
    // `passing`, the continuation reports what it reached into `passed*`
    // (hit, distance from this ray's origin, instance, label), so that the
    // sample's depth, coverage and label come from what lies behind.
    bool passing = false, passed = false, passedHit = false;
    double passedDistance = 0;
    xrTag passedInstance = 0, passedLabel = 0;
    // Shadow rays: the ray from the light end, the distance of the current
    // occluder and the end of the walk (0: no walk), and whether the
    // occluder's shader continued the walk itself (xr_trace_shadow_seg).
    xrVector shadowFrom{}, shadowDir{};
    float shadowT = 0, shadowFar = 0;
    bool shadowContinued = false;
    // Volumes enclosing the ray up to its hit (volumes.cpp); while a volume
    // shader runs on this state, the list it is served (xr_volume_*) and
    // object space following the state's instanceTag.
    VolumeList vol;
    const VolumeList *volSegment = nullptr;
    bool inVolume = false;
};

// An output image as output shaders see it (xr_output_image_open): a view
// of one buffer of the frame being finished.
struct OutputImage {
    int32_t magic = 0;  // kOutputImageMagic while open
    int32_t index = 0;
    int32_t width = 0, height = 0;
    FrameImage *frame = nullptr;
};
constexpr int32_t kOutputImageMagic = 0x56484F49;
constexpr int kOutputImages = 19;  // indices 0 .. 18

// The contour facility (contours.cpp): the store shader's record of each
// pixel's first eye sample, and the contour lines made from them.
constexpr int kContourInfoBytes = 256;  // room per pixel for the store's record
struct ContourEnd {
    float x, y, z;  // raster x, y (y up); camera-space z
    xrColor color;
    float width;    // pixels, once the line is made
};
struct ContourLine {
    ContourEnd e[2];
};
struct ContourStore {
    int w = 0, h = 0;
    std::vector<uint32_t> info;    // kContourInfoBytes per pixel, rows top down
    std::vector<uint8_t> stored;   // the pixel's record holds a sample
    std::vector<float> z;          // camera-space z of the stored sample
    std::vector<ContourLine> lines;
    size_t next = 0;               // next line for xr_get_contour_line
    void reset(int width, int height);
};

// Allocates whole cache lines, so that arrays written on every ray by one
// render thread share no line with another thread's data.
template <class T>
struct LineAllocator {
    using value_type = T;
    static constexpr size_t kLine = 64;
    LineAllocator() = default;
    template <class U>
    LineAllocator(const LineAllocator<U> &) {}
    static size_t bytes(size_t n) { return (n * sizeof(T) + kLine - 1) / kLine * kLine; }
    T *allocate(size_t n) { return static_cast<T *>(::operator new(bytes(n), std::align_val_t(kLine))); }
    // The unsized form: clang leaves sized deallocation off by default.
    void deallocate(T *p, size_t) { ::operator delete(p, std::align_val_t(kLine)); }
    template <class U>
    bool operator==(const LineAllocator<U> &) const { return true; }
};

// A thread's slots (and its ThreadData) start on cache lines of their own:
// the eye slots of all threads are made one after another.
struct alignas(64) RaySlot {
    xrState st{};
    RayContext ctx;
    RayData rd;
    std::vector<xrVector, LineAllocator<xrVector>> uv, du, dv;
    float hair[6] = {};      // hairData of a strand hit: dP/dt, then across the width
    bool ownRecord = false;  // opcode 0 ran on this slot's own items
};

// Zeroes one of a slot's per-space arrays; its usual four entries as 48
// bytes (inline: every miss and every eye sample clears them).
inline void clearSpaces(std::vector<xrVector, LineAllocator<xrVector>> &v) {
    constexpr xrVector zero{0, 0, 0};
    xrVector *p = v.data();
    if (v.size() == 4) {
        std::memset(static_cast<void *>(p), 0, 4 * sizeof(xrVector));
        return;
    }
    for (size_t k = 0, n = v.size(); k < n; ++k) p[k] = zero;
}

class Renderer;

struct alignas(64) ThreadData {
    int index = 0;
    ThreadContext *tc = nullptr;
    Renderer::Impl *impl = nullptr;
    std::vector<std::unique_ptr<RaySlot>> stack;
    int top = 0;
    // Frame-buffer writes of the current eye sample (xr_fb_put).
    xrColor fb[8]{};
    uint8_t fbMask = 0;
};

struct Renderer::Impl {
    Scene *scene = nullptr;
    std::vector<std::unique_ptr<ThreadData>> threads;
    // The next free slot (the stack grows on first use of a depth).
    RaySlot *acquire(ThreadData &td) {
        if (td.top == int(td.stack.size())) grow(td);
        return td.stack[size_t(td.top++)].get();
    }
    void grow(ThreadData &td);
    void release(ThreadData &td) { --td.top; }
    void prepareSlot(ThreadData &td, RaySlot &s, int depth);
    void stateOp(RaySlot &s, int32_t op, int32_t flag, xrColor *result);
    // Eye rays of the session's camera: raster (x, y) -> camera space
    // (x * sx + ox, y * sy + oy), constants taken when the session starts.
    float eyeSx = 0, eyeSy = 0, eyeOx = 0, eyeOy = 0;
    bool eyeOrtho = false;
    xrVector eyeOrigin{}, eyeAxis{};  // the camera's position and viewing axis in world space
    void eyeRay(float x, float y, xrVector &org, xrVector &dir) const {
        const float cx = x * eyeSx + eyeOx, cy = y * eyeSy + eyeOy;
        if (eyeOrtho) {
            org = scene->camToWorld.point({cx, cy, 0});
            dir = eyeAxis;
        } else {
            org = eyeOrigin;
            dir = scene->camToWorld.vector({cx, cy, -1});
        }
        dir = dir * (1.0f / std::sqrt(dot(dir, dir)));
    }
    // Sample time of an eye sample: the scene's time, or a point of the
    // shutter interval under motion blur.
    float sampleTime(uint32_t pixel, int sampleIndex) const;
    // The frame whose output shaders run (outputs.cpp), and its images.
    FrameImage *outputFrame = nullptr;
    OutputImage outputImages[kOutputImages];
    ContourStore contours;
    VolumeList eyeVolumes;  // volumes enclosing the camera (volumes.cpp)
    GatherCache gatherCache;  // final-gather points (finalgather.cpp)
};

// Whether the segments of the ray of `slot` have a volume shader to run:
// the camera's, or that of an enclosing volume (applyVolumes does nothing
// otherwise; checked inline, as every traced ray asks).
inline bool rayMeetsVolumes(const RaySlot &slot) {
    return slot.rd.vol.count > 0 || slot.rd.scene->camera.cameraVolumeShader;
}

// Limit of nested rays per thread: a chain this long is cut.
constexpr int kMaxRayStack = 400;

// The render data of a state; null for states this renderer did not make.
constexpr uint32_t kRayDataMagic = 0x52445441;  // marks RayContext::userB of render states
inline RayData *rayDataOf(xrState *state) {
    if (!state || !state->hostContext) return nullptr;
    auto *ctx = static_cast<RayContext *>(state->hostContext);
    if (reinterpret_cast<uintptr_t>(ctx->userB) != kRayDataMagic) return nullptr;
    return static_cast<RayData *>(ctx->userA);
}

// Queries 82 and 142 (xr_query, renderQuery): the texture spaces of the
// object hit (a strand has its colour; no object none), and 1 inside a
// final-gather ray.
inline int32_t hitTextureSpaces(const RayData &rd) {
    const ObjectInst *o = rd.obj;
    return !o ? 0 : o->hair ? 1 : int32_t(o->world.uv.size());
}
inline int32_t withinGatherRay(const xrState *state) {
    for (const xrState *s = state; s; s = s->spawningState)
        if (s->rayKind == kRayGather) return 1;
    return 0;
}

// Rays the ray tracer would reject (non-finite or huge components, e.g. from
// a shader's arithmetic) are treated as misses.
inline bool validRay(xrVector org, xrVector dir, float tnear, float tfar) {
    constexpr float kLarge = 1e18f;
#if defined(__SSE2__)
    // |c| <= kLarge for the six components at once, compared as integers:
    // the magnitude bits of a float order like its value, and NaN's lie
    // above every finite value's.
    const __m128i magnitude = _mm_set1_epi32(0x7fffffff);
    const __m128i large = _mm_set1_epi32(__builtin_bit_cast(int, kLarge));
    const __m128i a = _mm_and_si128(_mm_castps_si128(_mm_setr_ps(org.x, org.y, org.z, dir.x)), magnitude);
    const __m128i b = _mm_and_si128(_mm_castps_si128(_mm_setr_ps(dir.y, dir.z, 0, 0)), magnitude);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpgt_epi32(a, large), _mm_cmpgt_epi32(b, large)))) return false;
#else
    auto ok = [](xrVector v) { return std::fabs(v.x) <= kLarge && std::fabs(v.y) <= kLarge && std::fabs(v.z) <= kLarge; };
    if (!ok(org) || !ok(dir)) return false;
#endif
    return tnear >= 0 && tnear <= tfar && !std::isnan(tfar);
}

// The nearest hit along a ray. `time`: the ray's point in the shutter
// interval (rayTime), for moving geometry. Inline: every ray comes here.
inline bool intersect(const Scene &scene, xrVector org, xrVector dir, float tnear, float tfar, RTCRayHit &h,
                      float time = 0) {
    if (!validRay(org, dir, tnear, tfar)) {
        h.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        return false;
    }
    RTCIntersectContext ictx;
    rtcInitIntersectContext(&ictx);
    h.ray.org_x = org.x;
    h.ray.org_y = org.y;
    h.ray.org_z = org.z;
    h.ray.tnear = tnear;
    h.ray.dir_x = dir.x;
    h.ray.dir_y = dir.y;
    h.ray.dir_z = dir.z;
    h.ray.time = time;
    h.ray.tfar = tfar;
    h.ray.mask = 0xFFFFFFFFu;
    h.ray.id = 0;
    h.ray.flags = 0;
    h.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    h.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    rtcIntersect1(scene.rtc, &ictx, &h);
    return h.hit.geomID != RTC_INVALID_GEOMETRY_ID;
}
// A sample time as a point of the shutter interval, 0 at open and 1 at close.
inline float rayTime(const Scene &scene, float sampleTime) {
    const float open = scene.options.shutterOpen, close = scene.options.shutterClose;
    if (!(close > open)) return 0;
    const float t = (sampleTime - open) / (close - open);
    return t < 0 ? 0 : (t > 1 ? 1 : t);
}
void fillHit(RaySlot &slot, const Scene &scene, const RTCRayHit &hit);
void setMiss(RaySlot &slot);
// hair.cpp: the hit record of a ray that meets a strand of `o`.
void fillHairHit(RaySlot &slot, const ObjectInst &o, const RTCRayHit &hit);
xrBoolean shadeHit(xrColor *color, xrState *state);
// Calls an environment shader for the ray of `state` into a result buffer of
// the shader's declared size; `color` receives its first four floats.
xrBoolean callEnvironmentShader(Instance &inst, xrState *state, xrColor *color);
// Sets up a child of `parent` in a new slot; null when the parent is no
// render state or the stack is exhausted. `ownRecord`: the child keeps a
// record of its own (opcode 2 runs on it) instead of sharing the parent's.
RaySlot *spawnChild(xrState *parent, int32_t kind, bool ownRecord);
// Gives the slot of the last child back (inline: every traced ray and
// light sample ends here).
inline void releaseChild(RaySlot *child) { child->rd.td->impl->release(*child->rd.td); }

// lens.cpp: the eye ray of `slot` (origin and direction set) traced and
// shaded, or handed to the lens shader `slot.rd.lens` of the camera's chain.
xrBoolean traceEyeRay(RaySlot &slot, xrColor *color);
// lens.cpp: image plane objects ("imagePlanes") as object entries in world
// space, appended to `objects`.
void appendImagePlanes(const Scene &scene, const json &planes, json &objects, const std::string &file);
// outputs.cpp: runs the scene's output shaders on `img` with the session `r`.
void runOutputPass(Renderer &r, FrameImage &img);
// outputs.cpp: pixel and size of an open output image (the xr_img_*
// operations serve texture images and output images); false for others.
bool outputImageColor(const void *image, xrColor *color, int x, int y);
bool outputImageExtent(const void *image, int *width, int *height);
// contours.cpp: calls the contour store for the first eye sample of
// `pixel` (its colour, whether it hit); makes the contour lines after the
// samples; names the session whose lines xr_get_contour_line hands out.
void storeContourSample(RaySlot &slot, uint32_t pixel, const xrColor &color, bool hit);
void buildContourLines(Renderer &r);
void setContourLineSource(Renderer::Impl *impl);

// scene_images.cpp: reads the "images" section (a list of {"name", "file"})
// and defines each name as the tag of its image element. `nodes` (the scene's
// node list) names the nodes that use an image in errors; `names` holds the
// element names taken so far.
void loadSceneImages(Scene &scene, const json &images, const json &nodes, const std::string &file,
                     const std::string &baseDir, std::map<std::string, bool> &names);

// volumes.cpp: volumes along rays. The volume shader of the segment of
// `slot`'s ray from `start` to `end` (its hit when `endsAtHit`, else the ray
// leaves the scene) changes `color` in place: the camera's volume shader, or
// the innermost enclosing volume's. The state is restored afterwards.
void applyVolumes(RaySlot &slot, xrColor *color, xrVector start, xrVector end, bool endsAtHit);
// The same for the segment of the ray's own origin to its hit.
void applyRayVolumes(RaySlot &slot, xrColor *color, bool endsAtHit);
// Volumes enclosing a ray that leaves the hit of `parent` along `dir`.
VolumeList volumesLeaving(const RayData &parent, const xrState &pst, xrVector dir);
// The list after a ray crosses the surface of `o`: entering it through a
// front face, leaving it through a back face.
void crossVolume(VolumeList &list, const Scene &scene, const ObjectInst &o, bool frontFace);
// Volumes enclosing the start `from` of a shadow ray along `dir` that ends
// at distance tfar inside the volumes `end`: the crossings on the way undone.
VolumeList volumesAtStart(const Scene &scene, VolumeList end, xrVector from, xrVector dir, float tfar);
// Volumes enclosing the camera's position.
VolumeList cameraVolumes(const Scene &scene);
// Shadow rays meet volumes (segment shadows with autoVolume and a volume).
bool shadowVolumes(const Scene &scene);

// Sampling keys (inline: every light and sample call hashes).
inline uint32_t hashU32(uint32_t x) {
    // A 32-bit integer finaliser with good avalanche.
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}
inline uint32_t hashCombine(uint32_t a, uint32_t b) {
    return hashU32(a ^ (hashU32(b) + 0x9e3779b9U + (a << 6) + (a >> 2)));
}
// The base key of the sample sequences started at a ray.
inline uint32_t sequenceBase(const RayData &rd) {
    if (rd.scoped) return hashCombine(rd.scopeKey, uint32_t(rd.depth - rd.scopeDepth));
    return hashCombine(hashCombine(rd.pixel, rd.sampleIndex), uint32_t(rd.depth));
}

// sampling.cpp
// Point i of a scrambled (0,2)-sequence in [0,1)^2.
void sobol2(uint32_t i, uint32_t scramble, float out[2]);
// The same in parts, for loops over the points of one scramble: the point's
// bits before scrambling (per index), the scramble word of each dimension
// (per scramble), and the coordinate of the scrambled bits.
void sobolBits(uint32_t i, uint32_t bits[2]);
inline void sobolScrambles(uint32_t scramble, uint32_t words[2]) {
    words[0] = scramble;
    words[1] = hashU32(scramble ^ 0x5bd1e995U);
}
inline float unitFromBits(uint32_t bits) { return std::min(float(bits) * 0x1.0p-32f, 0x1.fffffep-1f); }
float radicalInverse(uint32_t base, uint32_t i);
float filterWeight(FilterType f, float width, float dx, float dy);

}  // namespace vh
