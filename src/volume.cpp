// The volume sampler (veko_volumesampler) and the pass-through volume shader
// (veko_volumeshader).
//
// The host calls the sampler once per ray segment that passes through a
// volume (outer call). It asks every volume shader that applies to the
// segment for its samples (the camera's atmosphere and the volumes that
// enclose the ray), collects them as timed events on a stack, sorts them by
// distance and integrates them front to back into colour, glow, matte and
// transmittance. Each applicable shader is itself a sampler node, called in
// its inner mode with a VolumeCallMode: it marches its connected volume
// shader along the segment (or lets it push its own events).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "volume.h"

namespace {

using veko::BaseStateRecord;
using veko::VolumeCallMode;
using veko::VolumeSampleNode;
using veko::VolumeSampleResult;
using veko::VolumeSampleStack;

constexpr const char *kName = "veko_volumesampler";

// Host queries.
constexpr xrInteger kQueryShaderFunction = 54;  // function element of a shader tag
constexpr xrInteger kQueryFunctionName = 63;    // name of a function element (const char *)
constexpr xrInteger kQueryTexSpaces = 82;       // number of texture spaces of the hit
constexpr xrInteger kQueryThreadData = 124;     // this thread's pointer of the running instance
constexpr xrInteger kQueryStoreThreadData = 126;
constexpr xrInteger kQueryAllThreadData = 127;  // every thread's pointer (null-terminated)

constexpr float kTiny = 0.00001f;
constexpr int kLocalNodes = 64;  // events sorted without a host allocation

struct VolumeSamplerParams {
    xrTag volumeShader;  // 0: shader connection (its tag is the connection word)
};
static_assert(sizeof(VolumeSamplerParams) == 4);

struct VolumeShaderParams {
    xrColor color;            // 0-3
    xrColor glowColor;        // 4-7
    xrColor matteOpacity;     // 8-11
    xrColor transparency;     // 12-15
    xrBoolean allowRayKind2;  // 16
    xrBoolean allowRayKind3;  // 17
};
static_assert(sizeof(VolumeShaderParams) == 72);

inline bool allBelow(const float *c, float limit) { return c[0] < limit && c[1] < limit && c[2] < limit; }
inline float *rgb(xrColor &c) { return &c.r; }

// ---------------------------------------------------------------------------
// Depth record: the first density-weighted or point event in front of the
// ray origin gives the sample a depth; otherwise the surface recorded last
// is seen through the volume's transmittance.
void recordDepth(BaseStateRecord *rec, const xrState *state, const VolumeSampleNode *a, int n, float factor) {
    veko::DepthStack &stack = rec->depthStack;
    for (int i = 0; i < n; ++i) {
        const VolumeSampleNode &e = a[i];
        if (e.kind != veko::kVolWeightedStart && e.kind != veko::kVolWeightedEnd && e.kind != veko::kVolPoint)
            continue;
        if (!(e.distance > 0.0f) || !stack.pool) break;
        auto *node = static_cast<veko::DepthNode *>(xr_mem_blkfallocate(stack.pool));
        if (!node) break;
        const xrVector p = veko::vadd(state->rayOrigin, veko::vscale(state->rayDirection, e.distance));
        const float *ax = rec->cameraAxis;
        node->next = stack.top;
        node->factor = factor;
        node->depth = ax[0] * p.x + ax[1] * p.y + ax[2] * p.z + ax[3];
        stack.top = node;
        ++stack.count;
        return;
    }
    if (stack.top) stack.top->factor *= factor;
}

// ---------------------------------------------------------------------------
// Call modes from the "Veko" user data.

// March steps per segment beyond this are cut to it, said once: a float or
// a stray word read as the count asks for billions, and since every step's
// shadow rays march the volume again, the cost grows with its square.
constexpr int32_t kMaxMarchSteps = 1024;

int32_t marchSteps(int32_t asked) {
    if (asked <= kMaxMarchSteps) return asked;
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
        xr_warning("veko_volumesampler(): %d march steps asked by user data; using %d.", int(asked),
                   int(kMaxMarchSteps));
    return kMaxMarchSteps;
}

VolumeCallMode cameraCallMode(xrState *state) {
    VolumeCallMode m{0, 1, 0};
    const xrTag dataTag = state->cameraRecord ? state->cameraRecord->cameraDataTag : 0;
    if (!dataTag) return m;
    xrTag found = 0;
    if (const uint32_t *block = veko::findUserData(veko::kVekoMagic, xrDB_USERDATA, dataTag, &found, nullptr)) {
        m.samples = marchSteps(int32_t(veko::userDataWord(block, 8)));
        m.jitter = int32_t(veko::userDataWord(block, 9));
        xr_db_unpin(found);
    }
    return m;
}

VolumeCallMode instanceCallMode(xrTag instance) {
    VolumeCallMode m{0, 1, 0};
    if (!instance) return m;
    xrTag found = 0;
    if (const uint32_t *block = veko::findUserData(veko::kVekoMagic, xrDB_INSTANCE, instance, &found, nullptr)) {
        m.mode = int32_t(veko::userDataWord(block, 2));
        m.samples = marchSteps(int32_t(veko::userDataWord(block, 3)));
        m.jitter = int32_t(veko::userDataWord(block, 4));
        xr_db_unpin(found);
    }
    return m;
}

// ---------------------------------------------------------------------------
// Calls the volume shader `tag` in its inner mode when it is a sampler node;
// returns the number of events it pushed. The tags known to be samplers are
// kept per thread (a count word, then the tags).
int callSampler(VolumeSampleStack &stack, xrState *state, xrTag tag, VolumeCallMode &mode) {
    void *data = nullptr;
    if (!xr_query(kQueryThreadData, state, 0, &data)) data = nullptr;
    auto *list = static_cast<uint32_t *>(data);
    bool known = false;
    if (list)
        for (uint32_t i = 1; i <= list[0] && !known; ++i) known = list[i] == tag;
    if (!known) {
        xrTag function = 0;
        const char *name = nullptr;
        if (!xr_query(kQueryShaderFunction, state, tag, &function)) return 0;
        if (!xr_query(kQueryFunctionName, state, function, &name) || !name || std::strcmp(name, kName) != 0) return 0;
        const uint32_t count = list ? list[0] : 0;
        auto *grown = static_cast<uint32_t *>(
            xr_mem_int_reallocate(__FILE__, __LINE__, list, sizeof(uint32_t) * (count + 2)));
        if (!grown) return 0;
        grown[count + 1] = tag;
        grown[0] = count + 1;
        void *store = grown;
        xr_query(kQueryStoreThreadData, state, 0, &store);
    }
    return xr_call_shader_x(&stack, xrSHADER_CALL, state, tag, &mode);
}

// Carries the segment of a ray that hit nothing to the camera's clip planes;
// of an eye ray that hit something, its start to the near plane when it
// starts in front of it. False when the ray has no segment to sample.
bool clipSegment(xrState *state) {
    const xrCamera *cam = state->cameraRecord;
    if (!cam) return false;
    if (!state->hitRef && state->rayKind != xrRAY_SHADOW) {
        xrVector o, d;
        xr_point_to_camera(state, &o, &state->rayOrigin);
        xr_vector_to_camera(state, &d, &state->rayDirection);
        if (std::fabs(d.z) < kTiny) return false;
        float t1 = (-cam->nearClip - o.z) / d.z, t2 = (-cam->farClip - o.z) / d.z;
        if (t1 < 0.0f && t2 < 0.0f) return false;
        if (t1 > t2) std::swap(t1, t2);
        if (t1 > 0.0f) {
            const xrVector p = veko::vadd(o, veko::vscale(d, t1));
            xr_point_from_camera(state, &state->rayOrigin, &p);
        }
        const xrVector q = veko::vadd(o, veko::vscale(d, t2));
        xr_point_from_camera(state, &state->hitPoint, &q);
    } else if (state->hitRef && state->rayKind == xrRAY_EYE) {
        // Only a start in front of the near plane moves (an eye ray that
        // continues beyond a surface keeps its start).
        xrVector o, d;
        xr_point_to_camera(state, &o, &state->rayOrigin);
        xr_vector_to_camera(state, &d, &state->rayDirection);
        if (std::fabs(d.z) >= kTiny) {
            const float t = (-cam->nearClip - o.z) / d.z;
            if (t > 0.0f) {
                const xrVector p = veko::vadd(o, veko::vscale(d, t));
                xr_point_from_camera(state, &state->rayOrigin, &p);
            }
        }
    } else {
        return true;
    }
    state->hitDistance = veko::length(veko::vsub(state->hitPoint, state->rayOrigin));
    return true;
}

// Pops every event into `out` (the first pushed at index 0); returns the
// number popped. Warns when the count does not match the events.
int popAll(VolumeSampleStack &stack, VolumeSampleNode *out, int count) {
    int got = 0;
    while (got < count && veko::popVolumeNode(stack, out[count - 1 - got])) ++got;
    bool corrupt = got < count;
    if (corrupt && got > 0) std::memmove(out, out + (count - got), sizeof(VolumeSampleNode) * size_t(got));
    VolumeSampleNode spare;
    while (veko::popVolumeNode(stack, spare)) corrupt = true;  // events beyond the count: dropped
    if (corrupt || stack.count != 0) VEKO_WARN(kName, "Volume samples stack got corrupted.");
    stack.count = 0;
    return got;
}

xrBoolean outerCall(xrColor *result, xrState *state) {
    const xrOptions *opts = state->optionsRecord;
    if (!opts || !opts->autoVolume) return 0;
    if (state->rayKind == 4) return 2;
    if (state->rayKind == xrRAY_SHADOW && allBelow(rgb(*result), kTiny)) return 2;
    BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        VEKO_WARN(kName, "Internal state error.");
        return 0;
    }
    // The segment fields and the instance change while sampling; the caller
    // gets them back.
    const xrVector savedOrigin = state->rayOrigin, savedHit = state->hitPoint;
    const double savedDistance = state->hitDistance;
    void *const savedRef = state->hitRef;
    const xrTag savedInstance = state->instanceTag;
    auto restore = [&] {
        state->rayOrigin = savedOrigin;
        state->hitPoint = savedHit;
        state->hitDistance = savedDistance;
        state->hitRef = savedRef;
        state->instanceTag = savedInstance;
    };
    if (!clipSegment(state) || !(state->hitDistance > kTiny)) {
        restore();
        return 2;
    }
    state->hitRef = nullptr;

    VolumeSampleStack stack{};
    stack.pool = veko::threadBlockPool(state, sizeof(VolumeSampleNode));
    int sum = 0;
    const xrTag cameraShader = state->cameraRecord ? state->cameraRecord->cameraVolumeShader : 0;
    if (cameraShader) {
        state->instanceTag = state->cameraInstanceTag;
        VolumeCallMode mode = cameraCallMode(state);
        sum += callSampler(stack, state, cameraShader, mode);
    }
    const xrInteger count = xr_volume_num_shaders(state);
    const xrTag *tags = count > 0 ? xr_volume_tags(state) : nullptr;
    const xrTag *instances = count > 0 ? xr_volume_instances(state) : nullptr;
    if (tags && instances && !(count == 1 && tags[0] == cameraShader)) {
        for (xrInteger i = 0; i < count; ++i) {
            state->instanceTag = instances[i];
            VolumeCallMode mode = instanceCallMode(instances[i]);
            sum += callSampler(stack, state, tags[i], mode);
        }
    }
    state->instanceTag = savedInstance;

    int n = stack.count;
    if (sum != n) VEKO_WARN(kName, "Volume samples stack got corrupted.");
    VolumeSampleNode local[kLocalNodes];
    VolumeSampleNode *nodes = local;
    if (n > kLocalNodes)
        nodes = static_cast<VolumeSampleNode *>(
            xr_mem_int_allocate(__FILE__, __LINE__, sizeof(VolumeSampleNode) * size_t(n)));
    if (!nodes) {  // no room: the events go back to the pool unused
        VolumeSampleNode spare;
        while (veko::popVolumeNode(stack, spare)) {
        }
        restore();
        return 2;
    }
    n = popAll(stack, nodes, n);

    if (state->rayKind == xrRAY_SHADOW) {
        const xrColor T = veko::volumeShadowTransmittance(nodes, n);
        result->r *= T.r;
        result->g *= T.g;
        result->b *= T.b;
    } else {
        veko::VolumeIntegral v = veko::integrateVolumeEvents(nodes, n);
        const bool matteSet = v.M.r != veko::kMatteUnset;
        xrColor M = matteSet ? v.M : xrColor{0, 0, 0, 0};
        const float L = veko::luminance(M);
        const float lumT = veko::luminance(v.T);
        if (rec->depthStackEnabled && state->modeFlag) recordDepth(rec, state, nodes, n, lumT);
        const bool glow = v.G.r > 0.004f || v.G.g > 0.004f || v.G.b > 0.004f;
        if (v.T.r > 0.0f || v.T.g > 0.0f || v.T.b > 0.0f) {
            result->r = v.T.r * result->r + v.S.r;
            result->g = v.T.g * result->g + v.S.g;
            result->b = v.T.b * result->b + v.S.b;
            if (matteSet) result->a = (1.0f - result->a) * L + result->a;
            if (glow) {
                rec->fbColor.r += v.G.r;
                rec->fbColor.g += v.G.g;
                rec->fbColor.b += v.G.b;
                rec->fbColor.a += 1.0f;
            }
            // An unset matte leaves the matte gathered so far as it is.
            if (matteSet)
                for (int c = 0; c < 4; ++c) rgb(rec->matteColor)[c] += (1.0f - rgb(rec->matteColor)[c]) * rgb(M)[c];
            for (int c = 0; c < 4; ++c)
                rgb(rec->auxColor)[c] = std::clamp(rgb(rec->auxColor)[c] * rgb(v.T)[c], 0.0f, 1.0f);
        } else {
            *result = {v.S.r, v.S.g, v.S.b, L};
            if (glow) rec->fbColor = {v.G.r, v.G.g, v.G.b, 1.0f};
            rec->matteColor = M;
            rec->auxColor = v.T;
        }
    }
    if (nodes != local) xr_mem_int_release(__FILE__, __LINE__, nodes);
    restore();
    return 2;
}

// ---------------------------------------------------------------------------
// Inner call: marches the connected volume shader along the segment, or lets
// it push its own events.
float sample1(xrState *state) {
    float x = 0.0f;
    xrInteger instance = 0;
    if (!xr_sample(&x, &instance, state, 1, nullptr)) x = 0.5f;
    return x;
}

int march(VolumeSampleStack &stack, xrState *state, BaseStateRecord *rec, xrTag shader, const VolumeCallMode &mode) {
    const int N = mode.samples;
    if (N <= 0) return 0;
    veko::touchFootprint(state, rec);
    const xrVector origin = state->rayOrigin, savedHit = state->hitPoint, savedFootV = rec->footprintV;
    const double D = state->hitDistance;
    xrVector *const savedTexCoords = state->texCoords;
    const xrVector savedNormal = state->shadingNormal, savedGeoNormal = state->geometricNormal;
    const float savedCos = state->cosView;

    const float step = float(D) / float(N);
    const xrVector stepVector = veko::vscale(state->rayDirection, step);
    xrVector zero{0, 0, 0};
    xrInteger spaces = 0;
    if (!xr_query(kQueryTexSpaces, state, 0, &spaces) || spaces == 0 || !state->texCoords) state->texCoords = &zero;
    const xrVector savedTex0 = state->texCoords[0];
    state->texCoords[0] = {0, 0, 0};
    state->cosView = 1.0f;
    state->shadingNormal = state->geometricNormal = state->rayDirection;

    float k = float(D);
    xrVector camera{0, 0, 0};
    if (rec->filterEnabled == 0) {
        rec->footprintV.x = rec->footprintV.y = rec->baseFilterSize;
    } else {
        k = rec->filterSize * 0.001f;
        camera = veko::cameraPosition(state);
    }

    float prev = 0.0f;
    if (mode.jitter) {
        float j = 0.95f * sample1(state);
        if (N > 1) j *= 0.5f;
        state->rayOrigin = veko::vadd(state->rayOrigin, veko::vscale(stepVector, j));
        prev = j * step;
    }
    int pushed = 0;
    for (int i = 0; i < N; ++i) {
        float s = i < N - 1 ? float(i + 1) : float(D) / step;
        if (mode.jitter && N > 1) {
            const float x = sample1(state);
            if (i < N - 1)
                s += (x - 0.5f) * 0.95f;
            else
                s -= x * 0.5f * 0.95f;
        }
        state->hitPoint = veko::vadd(origin, veko::vscale(stepVector, s));
        state->hitDistance = s * step - prev;
        if (rec->filterEnabled != 0) {
            const xrVector d = veko::vsub(state->rayOrigin, camera);
            rec->footprintV.x = rec->footprintV.y = k * veko::dot(d, d);
        }
        xrVector a, b;
        xr_point_to_object(state, &a, &state->rayOrigin);
        xr_point_to_object(state, &b, &state->hitPoint);
        rec->footprintV.z = veko::length(veko::vsub(b, a));
        // A new point: results of connected shaders cached for the previous
        // step do not apply.
        xr_flush_cache(state);
        VolumeSampleResult sample{};
        if (xr_call_shader_x(&sample, xrSHADER_CALL, state, shader, nullptr)) {
            const float length = float(state->hitDistance);
            if (veko::pushVolumeNode(stack, veko::kVolSegmentStart, prev, length, sample)) ++pushed;
            if (veko::pushVolumeNode(stack, veko::kVolSegmentEnd, s * step, length, sample)) ++pushed;
        }
        state->rayOrigin = state->hitPoint;
        prev = s * step;
    }

    state->rayOrigin = origin;
    state->hitDistance = D;
    state->hitPoint = savedHit;
    rec->footprintV = savedFootV;
    state->texCoords[0] = savedTex0;
    state->texCoords = savedTexCoords;
    state->shadingNormal = savedNormal;
    state->geometricNormal = savedGeoNormal;
    state->cosView = savedCos;
    return pushed;
}

xrBoolean innerCall(VolumeSampleStack *stack, xrState *state, const VolumeSamplerParams *params,
                    const VolumeCallMode *mode) {
    const int32_t connOffset = state->shaderRecord ? state->shaderRecord->connectionOffset : 0;
    xrTag shader = 0;
    if (connOffset)
        std::memcpy(&shader, reinterpret_cast<const char *>(&params->volumeShader) + connOffset, sizeof shader);
    if (shader == 0 || shader == 0xffffffffu) {
        VEKO_WARN(kName, "Cannot evaluate volume shader.");
        return 0;
    }
    BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        VEKO_WARN(kName, "Internal state error.");
        return 0;
    }
    if (mode->mode == 1 || mode->mode == 2) {
        // Only the shaders that push their own events (particles, fluids)
        // take the stack as their result; any other volume shader writes a
        // 64-byte sample result there. The call gets room for that, and a
        // result that replaced the stack's pool came from such a shader: it
        // is dropped, said once, and the stack stays as it was.
        struct {
            VolumeSampleStack stack;
            unsigned char spare[64];
        } room;
        if (!stack->pool) return 0;  // nothing could be pushed
        room.stack = *stack;
        const xrBoolean pushed = xr_call_shader_x(&room, xrSHADER_CALL, state, shader, nullptr);
        if (room.stack.pool != stack->pool) {
            static std::atomic<bool> said{false};
            if (!said.exchange(true))
                VEKO_WARN(kName, "A volume shader that returns samples was asked for a direct call; it is not sampled.");
            return 0;
        }
        *stack = room.stack;
        return pushed;
    }
    if (mode->mode != 0) return 0;
    return march(*stack, state, rec, shader, *mode);
}

}  // namespace

// The shader-level call checks the options. It asks for the per-instance
// calls (which do nothing) so that the per-instance exit runs and releases
// the tag lists.
VEKO_EXPORT void veko_volumesampler_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (initRequest) *initRequest = params ? 0 : 1;
    if (params) return;
    const xrOptions *opts = state ? state->optionsRecord : nullptr;
    if (opts && !opts->autoVolume)
        xr_error("%s(): Volume shading requires Autovolume.", kName);
    else if (opts && opts->shadowModeChar && opts->shadowModeChar != 's')
        xr_warning("%s(): 'shadow' not 'segments'. No effect.", kName);
}

VEKO_EXPORT void veko_volumesampler_exit(xrState *state, void *params) {
    if (!params) return;
    void **all = nullptr;
    if (!xr_query(kQueryAllThreadData, state, 0, &all) || !all) return;
    for (void **p = all; *p; ++p) xr_mem_int_release(__FILE__, __LINE__, *p);
}

VEKO_EXPORT xrBoolean veko_volumesampler(void *result, xrState *state, void *params, void *arg) {
    if (!result || !state || !params) return 0;
    if (arg)
        return innerCall(static_cast<VolumeSampleStack *>(result), state,
                         static_cast<const VolumeSamplerParams *>(params), static_cast<const VolumeCallMode *>(arg));
    return outerCall(static_cast<xrColor *>(result), state);
}

// Hands on four colours as one volume sample; on shadow rays only the
// transparency.
VEKO_EXPORT xrBoolean veko_volumeshader(void *result, xrState *state, void *params, void *) {
    auto *out = static_cast<VolumeSampleResult *>(result);
    auto *p = static_cast<VolumeShaderParams *>(params);
    if (!out || !state || !p) return 0;
    if (!veko::volumeRayAllowed(state, veko::eval(state, &p->allowRayKind2) != 0,
                                veko::eval(state, &p->allowRayKind3) != 0))
        return 0;
    BaseStateRecord *rec = veko::stateRecord(state);
    const bool wasWorking = rec && (rec->flags & 0x08);
    if (rec) rec->flags |= 0x08;
    out->outTransparency = veko::eval(state, &p->transparency);
    if (state->rayKind != xrRAY_SHADOW) {
        out->outColor = veko::eval(state, &p->color);
        out->outGlowColor = veko::eval(state, &p->glowColor);
        out->outMatteOpacity = veko::eval(state, &p->matteOpacity);
    }
    if (rec && !wasWorking) rec->flags &= ~0x08;
    return 1;
}
