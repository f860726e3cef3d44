// Ray tracing operations: hits and the state fields they fill, secondary
// rays (reflection, refraction, transparency, continuation, environment),
// shadow rays through every occluder's material, final gathering, and the
// per-hit operations (xr_call_material, xr_tri_vectors, opacity, frame
// buffers).
//
// Record protocol: a traced ray takes a state slot whose RayContext points
// at its parent's record owner, so shaders on the child see and change the
// same "vekobase" record as the parent. Shadow and final-gather rays own a
// record: the state shader's new-ray opcode fills it from its template.
#include <algorithm>
#include <cmath>
#include <limits>

#include "render_internal.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vh {


namespace {

Scene *sceneOf(RayData *rd) { return rd ? rd->scene : nullptr; }

inline xrVector offsetOrigin(xrVector p, xrVector ng, xrVector dir, float eps) {
    return p + ng * (dot(dir, ng) >= 0 ? eps : -eps);
}

inline float maxRGB(const xrColor &c) { return std::max(c.r, std::max(c.g, c.b)); }

}  // namespace

void fillHit(RaySlot &slot, const Scene &scene, const RTCRayHit &h) {
    const ObjectInst &o = *scene.objects[h.hit.geomID];
    if (o.hair) return fillHairHit(slot, o, h);
    slot.st.hairData = nullptr;
    slot.rd.hairRadius = 0;
    const uint32_t p = h.hit.primID;
    const Mesh &m = o.world;
    const uint32_t i0 = m.tri[3 * p], i1 = m.tri[3 * p + 1], i2 = m.tri[3 * p + 2];
    const float u = h.hit.u, v = h.hit.v, w = 1.0f - u - v;
    xrState &st = slot.st;
    st.hitPoint = m.P[i0] * w + m.P[i1] * u + m.P[i2] * v;
    st.hitDistance = h.ray.tfar;
    st.baryWeights[0] = w;
    st.baryWeights[1] = u;
    st.baryWeights[2] = v;
    xrVector ng = o.Ng[p];
    xrVector n = ng;
    if (!m.N.empty()) {
        // The interpolated normal, normalised; a zero one gives way to the
        // face normal. A finite positive length leaves a nonzero vector.
        const xrVector a = m.N[i0] * w + m.N[i1] * u + m.N[i2] * v;
        const float l = length(a);
        n = l > 0 ? a * (1.0f / l) : a;
        if (!(l > 0 && l < std::numeric_limits<float>::infinity()) && length(n) == 0) n = ng;
    }
    // Normals face the incoming ray.
    if (dot(st.rayDirection, ng) > 0) {
        ng = -ng;
        n = -n;
        st.normalFlipped = 1;
    } else {
        st.normalFlipped = 0;
    }
    st.geometricNormal = ng;
    st.shadingNormal = n;
    st.cosView = dot(st.rayDirection, n);
    const size_t slots = slot.uv.size(), sets = std::min(m.uv.size(), slots);
    xrVector *tc = slot.uv.data(), *du = slot.du.data(), *dv = slot.dv.data();
    const auto fillSpace = [&](size_t k) {
        const xrVector *uv = m.uv[k].data();
        tc[k] = uv[i0] * w + uv[i1] * u + uv[i2] * v;
        du[k] = o.dPdu[k][p];
        dv[k] = o.dPdv[k][p];
    };
    if (sets == 1) fillSpace(0);  // the common case, without the loop
    else
        for (size_t k = 0; k < sets; ++k) fillSpace(k);
    // The spaces the object lacks read zero (cleared as bytes: three spaces
    // are two 16-byte stores and one of 4, where vector stores would take six).
    constexpr xrVector zero{0, 0, 0};
    if (sets == 1 && slots == 4) {  // the common layout, without the loop
        std::memset(static_cast<void *>(tc + 1), 0, 3 * sizeof(xrVector));
        std::memset(static_cast<void *>(du + 1), 0, 3 * sizeof(xrVector));
        std::memset(static_cast<void *>(dv + 1), 0, 3 * sizeof(xrVector));
    } else {
        for (size_t k = sets; k < slots; ++k) {
            tc[k] = zero;
            du[k] = zero;
            dv[k] = zero;
        }
    }
    st.texCoords = tc;
    st.derivU = du;
    st.derivV = dv;
    st.motionVector = {0, 0, 0};
    if (!o.motion.empty()) {
        // A moving displaced surface: the vertices travel by `motion` per
        // unit of sample time from their place at time 0.
        const xrVector mv = o.toWorld.vector(o.motion[i0] * w + o.motion[i1] * u + o.motion[i2] * v);
        st.hitPoint = st.hitPoint + mv * st.sampleTime;
        st.motionVector = mv;
    }
    st.hitRef = const_cast<ObjectInst *>(&o);
    st.instanceTag = o.tag;
    st.objectLabel = o.label;
    st.stateWord140 = int32_t(o.materialTag);  // the material, for contours
    slot.rd.obj = &o;
    slot.rd.prim = p;
    slot.ctx.objectToWorld = o.toWorld.m;
    slot.ctx.worldToObject = o.fromWorld.m;
}

// A ray that leaves the scene. The environment shader called for it sees
// the ray's origin as the point and no surface: zero normals and cosView 0
// (so an environment's reflection about the normal keeps the ray direction)
// and zero texture coordinates of the slot's own.
void setMiss(RaySlot &slot) {
    xrState &st = slot.st;
    st.hairData = nullptr;
    slot.rd.hairRadius = 0;
    st.hitRef = nullptr;
    st.instanceTag = 0;
    st.stateWord140 = 0;
    st.hitDistance = 0;
    st.hitPoint = st.rayOrigin;
    st.shadingNormal = st.geometricNormal = {0, 0, 0};
    st.cosView = 0;
    st.normalFlipped = 0;
    st.motionVector = {0, 0, 0};
    clearSpaces(slot.uv);
    clearSpaces(slot.du);
    clearSpaces(slot.dv);
    st.texCoords = slot.uv.data();
    st.derivU = slot.du.data();
    st.derivV = slot.dv.data();
    slot.rd.obj = nullptr;
}

namespace {
xrBoolean tracePass(xrColor *color, xrState *state, bool transparent);
}

xrBoolean shadeHit(xrColor *color, xrState *state) {
    RayData *rd = rayDataOf(state);
    if (!rd || !rd->obj) return 0;
    const ObjectInst &o = *rd->obj;
    if (o.volumeOnly) {
        // The boundary of a volume without a material: rays pass it (a
        // shadow ray keeps the attenuation that reaches it).
        if (state->rayKind == kRayShadow) return 1;
        rd->passing = true;
        const xrBoolean ok = tracePass(color, state, false);
        rd->passing = false;
        return ok;
    }
    if (o.emits && o.emits->shader && state->rayKind != kRayShadow && state->rayKind != kRayLight) {
        // The visible shape of an object light shows the light.
        state->lightInstanceTag = o.emits->tag;
        rd->light = o.emits;
        rd->slot->ctx.lightToWorld = o.emits->toWorld.m;
        rd->slot->ctx.worldToLight = o.emits->fromWorld.m;
        return callShader(*o.emits->shader, state, color);
    }
    if (o.shadow && state->rayKind == kRayShadow) {
        // The shadow shader's fourth argument is null when the shader is to
        // continue the shadow ray itself: with segment shadows.
        static int hostContinues = 1;
        const bool segments = state->optionsRecord && state->optionsRecord->shadowModeChar == 's';
        return callShader(*o.shadow, state, color, segments ? nullptr : &hostContinues);
    }
    if (o.native) return (*o.native)(color, state);
    if (o.material) return callShader(*o.material, state, color);
    // No material: a neutral grey that shows the shape; opaque to shadows.
    if (state->rayKind == kRayShadow) {
        *color = {0, 0, 0, color->a};
        return 0;
    }
    float f = 0.8f * std::fabs(state->cosView);
    *color = {f, f, f, 1};
    return 1;
}

void Renderer::Impl::grow(ThreadData &td) {
    td.stack.push_back(std::make_unique<RaySlot>());
    prepareSlot(td, *td.stack.back(), td.top);
}

void Renderer::Impl::prepareSlot(ThreadData &td, RaySlot &s, int depth) {
    s.st = xrState{};
    s.st.cameraRecord = &scene->camera;
    s.st.optionsRecord = &scene->options;
    s.st.libraryLock = scene->lock;
    s.st.cameraInstanceTag = scene->cameraTag;
    s.st.threadIndex = uint16_t(td.index);
    s.st.currentIor = 1;
    s.st.hostContext = &s.ctx;
    s.ctx.thread = td.tc;
    s.ctx.userA = &s.rd;
    s.ctx.userB = reinterpret_cast<void *>(uintptr_t(kRayDataMagic));
    s.ctx.cameraToWorld = scene->camToWorld.m;
    s.ctx.worldToCamera = scene->worldToCam.m;
    const size_t sets = size_t(std::max(scene->uvSets, 4));
    s.uv.assign(sets, {0, 0, 0});
    s.du.assign(sets, {0, 0, 0});
    s.dv.assign(sets, {0, 0, 0});
    s.st.texCoords = s.uv.data();
    s.st.derivU = s.du.data();
    s.st.derivV = s.dv.data();
    s.rd.td = &td;
    s.rd.scene = scene;
    s.rd.slot = &s;
    s.rd.depth = depth;
}

void Renderer::Impl::stateOp(RaySlot &s, int32_t op, int32_t flag, xrColor *result) {
    if (!scene->stateShader) return;
    int32_t arg[2] = {op, flag};
    xrColor dummy{};
    callShader(*scene->stateShader, &s.st, result ? result : &dummy, arg);
    if (op == kOpCreate) s.ownRecord = true;
    if (op == kOpRemove) s.ownRecord = false;
}

RaySlot *spawnChild(xrState *parent, int32_t kind, bool ownRecord) {
    RayData *prd = rayDataOf(parent);
    if (!prd) return nullptr;
    ThreadData &td = *prd->td;
    if (td.top >= kMaxRayStack) return nullptr;
    RaySlot *s = td.impl->acquire(td);
    xrState &c = s->st;
    std::memcpy(static_cast<void *>(&c), parent, sizeof(xrState));
    c.hostContext = &s->ctx;
    c.spawningState = parent;
    c.childState = nullptr;
    c.shaderRecord = nullptr;
    c.rayKind = kind;
    parent->childState = &c;
    auto *pctx = static_cast<RayContext *>(parent->hostContext);
    RayContext &ctx = s->ctx;
    ctx.recordOwner = ownRecord ? nullptr : pctx->owner();
    ctx.objectToWorld = pctx->objectToWorld;
    ctx.worldToObject = pctx->worldToObject;
    ctx.lightToWorld = pctx->lightToWorld;
    ctx.worldToLight = pctx->worldToLight;
    RayData &rd = s->rd;
    rd.obj = prd->obj;
    rd.prim = prd->prim;
    rd.light = prd->light;
    rd.hasOpacity = false;
    rd.pixel = prd->pixel;
    rd.sampleIndex = prd->sampleIndex;
    rd.scoped = prd->scoped;
    rd.scopeKey = prd->scopeKey;
    rd.scopeDepth = prd->scopeDepth;
    rd.sequence = 0;
    rd.lightSequence = 0;
    rd.shadowFilter = {1, 1, 1, 1};
    rd.hairRadius = prd->hairRadius;
    rd.shadowFar = 0;
    rd.shadowContinued = false;
    rd.passing = rd.passed = false;
    rd.vol = prd->vol;
    rd.volSegment = nullptr;
    rd.inVolume = false;
    newSample(&c);
    if (ownRecord) {
        // A record of its own: created once per slot, set up for this ray.
        if (!s->ownRecord) td.impl->stateOp(*s, kOpCreate, 0, nullptr);
        td.impl->stateOp(*s, kOpNewRay, 0, nullptr);
    }
    return s;
}

xrBoolean callEnvironmentShader(Instance &inst, xrState *state, xrColor *color) {
    // Environment shaders write their whole result record (a colour and
    // more, e.g. outAlpha): give them room for it and hand on the colour.
    const size_t bytes = size_t(std::max(inst.decl ? inst.decl->resultBytes : 0, int(sizeof(xrColor))));
    alignas(8) float local[64] = {};
    std::vector<float> large;
    float *buf = local;
    if (bytes > sizeof local) {
        large.assign((bytes + 3) / 4, 0.0f);
        buf = large.data();
    }
    std::memcpy(buf, color, sizeof(xrColor));
    const xrBoolean ok = callShader(inst, state, buf);
    std::memcpy(color, buf, sizeof(xrColor));
    return ok;
}

namespace {

xrBoolean callEnvironment(xrColor *color, xrState *state) {
    xrTag env = state->environmentShader;
    if (!env && state->cameraRecord) env = state->cameraRecord->cameraEnvShader;
    Instance *inst = env ? instanceOfTag(env) : nullptr;
    if (!inst) {
        *color = {0, 0, 0, 0};
        return 0;
    }
    return callEnvironmentShader(*inst, state, color);
}

// Traces a child ray and shades what it hits, or the environment.
xrBoolean traceChild(xrColor *color, xrState *parent, int32_t kind, xrVector org, xrVector dir, int dRefl, int dRefr,
                     uint8_t modeFlag) {
    *color = {0, 0, 0, 0};
    RaySlot *s = spawnChild(parent, kind, false);
    if (!s) return 0;
    Scene &scene = *sceneOf(&s->rd);
    xrState &c = s->st;
    // The child starts with its parent's volumes (spawnChild); only leaving
    // a volume object's surface changes them.
    if (const ObjectInst *po = rayDataOf(parent)->obj; po && po->volume)
        s->rd.vol = volumesLeaving(*rayDataOf(parent), *parent, dir);
    c.reflectDepth += dRefl;
    c.refractDepth += dRefr;
    c.rayOrigin = org;
    c.rayDirection = dir;
    c.modeFlag = modeFlag;
    RTCRayHit h;
    xrBoolean ok;
    const bool hit =
        intersect(scene, org, dir, 0, std::numeric_limits<float>::infinity(), h, rayTime(scene, c.sampleTime));
    float tl = 0;
    const LightInst *vl =
        !scene.shapesVisible()
            ? nullptr
            : nearestVisibleLight(scene, org, dir, 0, hit ? h.ray.tfar : std::numeric_limits<float>::infinity(), &tl);
    if (vl) {
        setMiss(*s);
        ok = shadeVisibleLight(*s, *vl, tl, color);
    } else if (hit) {
        fillHit(*s, scene, h);
        shadeHit(color, &c);
        ok = 1;
    } else {
        setMiss(*s);
        ok = callEnvironment(color, &c);
    }
    if (rayMeetsVolumes(*s)) applyRayVolumes(*s, color, hit || vl);
    RayData &prd = *rayDataOf(parent);
    if (prd.passing) {
        // The parent passed an invisible boundary: what this ray reached is
        // what the parent's sample sees.
        prd.passing = false;
        prd.passed = true;
        const RayData &cd = s->rd;
        prd.passedHit = cd.passed ? cd.passedHit : bool(hit || vl);
        const double beyond = cd.passed ? cd.passedDistance : vl ? double(tl) : hit ? double(c.hitDistance) : 0.0;
        prd.passedDistance = prd.passedHit ? double(parent->hitDistance) + beyond : 0.0;
        prd.passedInstance = cd.passed ? cd.passedInstance : c.instanceTag;
        prd.passedLabel = cd.passed ? cd.passedLabel : c.objectLabel;
    }
    releaseChild(s);
    return ok;
}

// Depth limits of the host for a ray of `kind` traced from `p`.
bool depthAllows(const xrState *p, int32_t kind) {
    const xrOptions *o = p->optionsRecord;
    if (!o) return false;
    const int refl = p->reflectDepth + (kind == kRayReflect ? 1 : 0);
    const int refr = p->refractDepth + (kind == kRayRefract || kind == kRayTransparent ? 1 : 0);
    if (kind == kRayReflect && refl > o->maxReflectionDepth) return false;
    if ((kind == kRayRefract || kind == kRayTransparent) && refr > o->maxRefractionDepth) return false;
    return refl + refr <= o->maxTraceDepth;
}

xrBoolean traceSecondary(xrColor *color, xrState *state, const xrVector *direction, int32_t kind) {
    if (!color) return 0;
    *color = {0, 0, 0, 0};
    if (!state || !direction || !rayDataOf(state)) return 0;
    if (!state->optionsRecord || !state->optionsRecord->traceEnabled) return 0;
    if (!depthAllows(state, kind)) return 0;
    // A zero, huge or non-finite direction traces nothing (its length is
    // taken once: a unit direction's length is never zero).
    const float len = length(*direction);
    if (!(len > 0 && len < std::numeric_limits<float>::infinity())) return 0;
    const xrVector d = *direction * (1.0f / len);
    Scene &scene = *sceneOf(rayDataOf(state));
    xrVector org = offsetOrigin(state->hitPoint, state->geometricNormal, d, scene.eps);
    return traceChild(color, state, kind, org, d, kind == kRayReflect, kind == kRayRefract, 0);
}

// A ray that passes the current surface along the same direction.
xrBoolean tracePass(xrColor *color, xrState *state, bool transparent) {
    if (!color) return 0;
    if (!state) {
        *color = {0, 0, 0, 0};
        return 0;
    }
    RayData *rd = rayDataOf(state);
    if (!rd) {
        *color = {0, 0, 0, 0};
        return 0;
    }
    if (state->rayKind == kRayShadow) {
        // On a shadow ray the light arriving from behind the surface is the
        // attenuation accumulated between the light and this occluder.
        *color = rd->shadowFilter;
        return 1;
    }
    *color = {0, 0, 0, 0};
    const int32_t kind = transparent ? kRayTransparent : state->rayKind;
    if (transparent && !depthAllows(state, kRayTransparent)) return 0;
    Scene &scene = *sceneOf(rd);
    xrVector d = state->rayDirection;
    xrVector org = offsetOrigin(state->hitPoint, state->geometricNormal, d, scene.eps);
    return traceChild(color, state, kind, org, d, 0, transparent ? 1 : 0, state->modeFlag);
}

// Shades the occluders met by the shadow ray of slot `s` from `from` along
// `dir` between the distances t0 and tfar, in order from the light (rayKind
// 5), and multiplies their attenuation into `filter`. Each occluder's
// material or shadow shader gets the filter that reaches it. With segment
// shadows each segment starts at the previous occluder (rayOrigin there,
// hitDistance the segment's length), and an occluder's shader may continue
// the walk itself with xr_trace_shadow_seg; otherwise the host continues.
// Returns 0 once the light is blocked. `first`, when given, is the result
// of the walk's first search (the same ray from t0), already made.
xrBoolean walkOccluders(RaySlot &s, xrColor *filter, xrVector from, xrVector dir, float t0, float tfar,
                        const RTCRayHit *first = nullptr) {
    Scene &scene = *sceneOf(&s.rd);
    xrState &c = s.st;
    const bool segments = c.optionsRecord && c.optionsRecord->shadowModeChar == 's';
    // Volumes attenuate each segment before the occluder at its end shades
    // (s.rd.vol: the volumes enclosing the walk at t0).
    const bool volumes = segments && shadowVolumes(scene);
    float segStart = t0;
    auto attenuate = [&](xrVector end) {
        c.rayDirection = dir;
        applyVolumes(s, filter, from + dir * segStart, end, true);
        if (maxRGB(*filter) >= 1e-5f) return true;
        *filter = {0, 0, 0, filter->a};
        return false;
    };
    for (int guard = 0; guard < 4096; ++guard) {
        RTCRayHit h;
        if (first) {
            h = *first;
            first = nullptr;
            if (h.hit.geomID == RTC_INVALID_GEOMETRY_ID) return volumes ? attenuate(from + dir * tfar) : 1;
        } else if (!intersect(scene, from, dir, t0, tfar, h, rayTime(scene, c.sampleTime))) {
            return volumes ? attenuate(from + dir * tfar) : 1;
        }
        if (scene.objects[h.hit.geomID]->imagePlane) {  // image planes cast no shadow
            t0 = h.ray.tfar + scene.eps;
            continue;
        }
        c.rayOrigin = segments ? from + dir * segStart : from;
        c.rayDirection = dir;
        fillHit(s, scene, h);
        if (segments) c.hitDistance = h.ray.tfar - segStart;
        if (volumes && !attenuate(c.hitPoint)) return 0;
        RayData &rd = s.rd;
        rd.shadowFilter = *filter;
        rd.shadowFrom = from;
        rd.shadowDir = dir;
        rd.shadowT = h.ray.tfar;
        rd.shadowFar = tfar;
        rd.shadowContinued = false;
        xrColor col = *filter;
        const xrBoolean ok = shadeHit(&col, &c);
        if (!ok || !(maxRGB(col) >= 1e-5f)) {
            *filter = {0, 0, 0, filter->a};
            return 0;
        }
        filter->r = col.r;
        filter->g = col.g;
        filter->b = col.b;
        if (rd.shadowContinued) return 1;  // the shader walked the rest
        if (volumes) crossVolume(rd.vol, scene, *rd.obj, c.normalFlipped == 0);
        segStart = h.ray.tfar;
        t0 = h.ray.tfar + scene.eps;
    }
    return 1;
}

// Runs the occluders' materials between the light end `from` and the
// shaded end `to`.
xrBoolean shadowSegment(xrColor *filter, xrState *state, xrVector from, xrVector to) {
    RayData *rd = rayDataOf(state);
    Scene &scene = *sceneOf(rd);
    xrVector seg = to - from;
    const float len = length(seg);
    if (!(len > scene.eps * 2)) return 1;
    const xrVector dir = seg * (1.0f / len);
    const float tfar = len - scene.eps;
    if (!validRay(from, dir, 0, tfar)) return 1;
    // One nearest-hit search: most shadow rays see nothing and end here; a
    // blocked one starts its walk at the occluder found (an occlusion test
    // first would search a blocked ray twice).
    RTCRayHit h;
    const bool hit = intersect(scene, from, dir, 0, tfar, h, rayTime(scene, state->sampleTime));
    // Not blocked; volumes on the way still attenuate.
    const bool volumes = shadowVolumes(scene);
    if (!hit && !volumes) return 1;
    RaySlot *s = spawnChild(state, kRayShadow, true);
    if (!s) return 1;
    s->st.modeFlag = 0;
    if (volumes) s->rd.vol = volumesAtStart(scene, volumesLeaving(*rd, *state, from - to), from, dir, tfar);
    const xrBoolean open = walkOccluders(*s, filter, from, dir, 0, tfar, &h);
    releaseChild(s);
    return open;
}

// Continues the walk of the shadow ray `state` past its current occluder,
// in a new slot so that the occluder's shader keeps its own state.
xrBoolean continueShadow(xrColor *filter, xrState *state, RayData &rd) {
    rd.shadowContinued = true;
    Scene &scene = *sceneOf(&rd);
    RaySlot *s = spawnChild(state, kRayShadow, true);
    if (!s) return maxRGB(*filter) >= 1e-5f;
    s->st.modeFlag = 0;
    if (rd.obj) crossVolume(s->rd.vol, scene, *rd.obj, state->normalFlipped == 0);
    const xrBoolean open = walkOccluders(*s, filter, rd.shadowFrom, rd.shadowDir, rd.shadowT + scene.eps, rd.shadowFar);
    releaseChild(s);
    return open;
}

bool insideGather(const xrState *s) {
    for (; s; s = s->spawningState)
        if (s->rayKind == kRayGather) return true;
    return false;
}

}  // namespace

}  // namespace vh

using namespace vh;

VH_EXPORT xrBoolean xr_trace_reflection(xrColor *color, xrState *state, const xrVector *direction) {
    return traceSecondary(color, state, direction, kRayReflect);
}

VH_EXPORT xrBoolean xr_trace_refraction(xrColor *color, xrState *state, const xrVector *direction) {
    return traceSecondary(color, state, direction, kRayRefract);
}

VH_EXPORT xrBoolean xr_trace_transparent(xrColor *color, xrState *state) { return tracePass(color, state, true); }

VH_EXPORT xrBoolean xr_trace_continue(xrColor *color, xrState *state) { return tracePass(color, state, false); }

VH_EXPORT xrBoolean xr_trace_environment(xrColor *color, xrState *state, const xrVector *direction) {
    if (!color) return 0;
    *color = {0, 0, 0, 0};
    if (!state || !direction) return 0;
    RaySlot *s = spawnChild(state, kRayEnvironment, false);
    if (!s) return 0;
    xrState &c = s->st;
    c.rayOrigin = state->hitPoint;
    c.rayDirection = normalize(*direction);
    c.modeFlag = 0;
    setMiss(*s);
    xrBoolean ok = callEnvironment(color, &c);
    releaseChild(s);
    return ok;
}

// The light state carries the light end: rayOrigin, and rayDirection from
// the light to hitPoint. A directional light's end is beyond the scene
// along -rayDirection.
VH_EXPORT xrBoolean xr_trace_shadow(xrColor *filter, xrState *state) {
    if (!filter || !state) return 1;
    RayData *rd = rayDataOf(state);
    if (!rd) return 1;
    Scene &scene = *sceneOf(rd);
    const xrVector p = state->hitPoint;
    xrVector from;
    if (rd->light && rd->light->kind == LightKind::Directional) {
        xrVector d = normalize(state->rayDirection);
        const float far = length(p - scene.center) + 2 * scene.radius + 1;
        from = p - d * far;
    } else {
        from = state->rayOrigin;
        // A sample on an object light's mesh leaves the mesh first.
        if (rd->light && rd->light->shape == kShapeObject) from = from + normalize(p - from) * scene.eps;
    }
    // The shaded end moves off its surface towards the light; off a strand
    // by more than its width.
    xrVector to = offsetOrigin(p, state->geometricNormal, from - p, scene.eps);
    if (rd->hairRadius > 0) to = p + normalize(from - p) * (2 * rd->hairRadius + scene.eps);
    return shadowSegment(filter, state, from, to);
}

// Segment shadows: on a shadow ray (an occluder's shader) the walk goes on
// past the current occluder to the shaded end; on a light state it starts
// like xr_trace_shadow.
VH_EXPORT xrBoolean xr_trace_shadow_seg(xrColor *filter, xrState *state) {
    if (!filter || !state) return 1;
    RayData *rd = rayDataOf(state);
    if (!rd) return 1;
    if (state->rayKind == kRayShadow && rd->shadowFar > 0) return continueShadow(filter, state, *rd);
    return xr_trace_shadow(filter, state);
}

VH_EXPORT xrBoolean xr_call_material(xrColor *result, xrState *state) {
    if (!result || !state) return 0;
    return shadeHit(result, state);
}

VH_EXPORT xrBoolean xr_tri_vectors(xrState *state, xrInteger which, xrInteger index, xrVector **a, xrVector **b,
                                   xrVector **c) {
    RayData *rd = rayDataOf(state);
    if (!rd || !rd->obj || rd->obj->hair || !a || !b || !c) return 0;
    const ObjectInst &o = *rd->obj;
    const Mesh &m = o.world;
    const uint32_t i0 = m.tri[3 * rd->prim], i1 = m.tri[3 * rd->prim + 1], i2 = m.tri[3 * rd->prim + 2];
    const std::vector<xrVector> *v = nullptr;
    if (which == 112) v = &m.P;
    else if (which == 116 && index >= 0 && size_t(index) < m.uv.size()) v = &m.uv[size_t(index)];
    else if (which == 42 && index >= 0 && size_t(index) < m.colors.size()) v = &m.colors[size_t(index)];
    if (!v) return 0;
    *a = const_cast<xrVector *>(&(*v)[i0]);
    *b = const_cast<xrVector *>(&(*v)[i1]);
    *c = const_cast<xrVector *>(&(*v)[i2]);
    return 1;
}

VH_EXPORT xrBoolean xr_opacity_set(xrState *state, const xrColor *opacity) {
    RayData *rd = rayDataOf(state);
    if (!rd || !opacity) return 0;
    rd->opacity = *opacity;
    rd->hasOpacity = true;
    return 1;
}

VH_EXPORT xrBoolean xr_opacity_get(xrState *state, xrColor *opacity) {
    RayData *rd = rayDataOf(state);
    if (!rd || !rd->hasOpacity || !opacity) return 0;
    *opacity = rd->opacity;
    return 1;
}

// Extra frame buffers 0..7 of the current eye sample; `data` is an xrColor.
VH_EXPORT xrBoolean xr_fb_put(xrState *state, xrInteger buffer, void *data) {
    RayData *rd = rayDataOf(state);
    if (!rd || !data || buffer < 0 || buffer > 7) return 0;
    std::memcpy(&rd->td->fb[buffer], data, sizeof(xrColor));
    rd->td->fbMask = uint8_t(rd->td->fbMask | (1u << buffer));
    return 1;
}

namespace vh {

// The number of gather rays a final gather at `state` takes (`settings`,
// optional, holds the size word and the ray count), or 0 when it gathers
// nothing: final gathering off, no render state, or inside a gather ray.
int gatherRayCount(xrState *state, const void *settings) {
    RayData *rd = rayDataOf(state);
    if (!rd || !state->optionsRecord || !state->optionsRecord->finalGatherOn || insideGather(state)) return 0;
    int n = state->optionsRecord->finalGatherRays;
    if (settings) {
        int32_t w[2];
        std::memcpy(w, settings, sizeof w);
        if (w[0] >= 8 && w[1] > 0) n = w[1];
    }
    return std::clamp(n, 1, 4096);
}

// Average incoming radiance over the hemisphere of the shading normal, by `n`
// cosine-weighted gather rays (kind 9, each with its own record) that shade
// what they hit or look up the environment. A strand has no surface to face:
// there the rays cover the whole sphere uniformly and leave the strand
// beyond its width. `harmonicDistance` (optional) receives the harmonic mean
// of the hit distances of the rays that hit something (infinity when every
// ray misses).
void gatherHemisphere(xrState *state, int n, xrColor &average, float *harmonicDistance) {
    RayData *rd = rayDataOf(state);
    Scene &scene = *sceneOf(rd);
    const bool sphere = rd->hairRadius > 0;
    xrVector nrm = state->shadingNormal;
    if (length(nrm) == 0) nrm = {0, 1, 0};
    xrVector t = std::fabs(nrm.x) > 0.5f ? xrVector{0, 1, 0} : xrVector{1, 0, 0};
    xrVector u = normalize(cross(t, nrm)), v = cross(nrm, u);
    const uint32_t key = hashCombine(sequenceBase(*rd), 0xFA7u + rd->sequence++);
    xrColor sum{0, 0, 0, 0};
    double inverseSum = 0;
    int hits = 0;
    for (int i = 0; i < n; ++i) {
        float s[2];
        sobol2(uint32_t(i), key, s);
        const float phi = 6.2831853f * s[1];
        float r, z;
        if (sphere) {
            z = 1 - 2 * s[0];
            r = std::sqrt(std::max(0.0f, 1 - z * z));
        } else {
            r = std::sqrt(s[0]);
            z = std::sqrt(1 - s[0]);
        }
        xrVector d = normalize(u * (r * std::cos(phi)) + v * (r * std::sin(phi)) + nrm * z);
        RaySlot *slot = spawnChild(state, kRayGather, true);
        if (!slot) break;
        xrState &c = slot->st;
        c.rayOrigin = sphere ? state->hitPoint + d * (2 * rd->hairRadius + scene.eps)
                             : offsetOrigin(state->hitPoint, state->geometricNormal, d, scene.eps);
        c.rayDirection = d;
        c.modeFlag = 0;
        xrColor col{0, 0, 0, 0};
        RTCRayHit h;
        if (intersect(scene, c.rayOrigin, d, 0, std::numeric_limits<float>::infinity(), h,
                      rayTime(scene, c.sampleTime))) {
            inverseSum += 1.0 / std::max(double(h.ray.tfar), double(scene.eps));
            ++hits;
            fillHit(*slot, scene, h);
            shadeHit(&col, &c);
        } else {
            setMiss(*slot);
            callEnvironment(&col, &c);
        }
        releaseChild(slot);
        sum.r += col.r;
        sum.g += col.g;
        sum.b += col.b;
    }
    average = {sum.r / n, sum.g / n, sum.b / n, 1};
    if (harmonicDistance)
        *harmonicDistance = hits ? float(hits / inverseSum) : std::numeric_limits<float>::infinity();
}

}  // namespace vh

// Irradiance: pi times the average radiance (cosine-weighted over the
// normal's hemisphere, or uniform over the sphere at a strand).
VH_EXPORT xrBoolean xr_compute_irradiance(xrColor *result, xrState *state) {
    const xrBoolean ok = xr_compute_avg_radiance(result, state, 0, nullptr);
    if (ok) {
        constexpr float kPi = 3.14159265358979323846f;
        result->r *= kPi;
        result->g *= kPi;
        result->b *= kPi;
    }
    return ok;
}
