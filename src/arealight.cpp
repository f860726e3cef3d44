// Area and shape lights on the shared light pipeline (light.h).
//
// veko_arealight is the unit square of its light space (x, y in [-1, 1],
// z = 0, emitting towards light-space -z). It samples itself for soft
// shadows and leaves its corner record in lightShapeRef, so that materials
// replace the point-light cosine by the rectangle's form factor
// (veko::surface::areaCosine). The record is built per instance at init,
// where the host's init state carries the light's transforms.
//
// veko_shapelight is the shader of the host's own area lights (rectangle,
// disc, sphere, cylinder, object): the host samples the shape and puts the
// sample point in rayOrigin; the light maps it to uv for textured colours
// and gives the shape's colour when a camera or reflection ray sees it.
//
// xr_query codes used here (besides those of light.cpp):
//   51  address of the current instance's user pointer
//   7   tag = lightInstanceTag -> the light;  24  tag = the light -> shape
//       code (1 rectangle, 2 disc, 3 sphere, 4 cylinder, 5 object)
#include <cmath>

#include "light.h"
#include "shading.h"

using namespace veko;
using namespace veko::light;
using veko::surface::AreaShape;

namespace {

constexpr float kTwoPi = 6.28318530717958647f;
constexpr float kPi = 3.14159265358979324f;

enum ShapeCode : xrInteger { kRectangle = 1, kDisc = 2, kSphere = 3, kCylinder = 4, kObject = 5 };

struct AreaLightParams {
    xrInteger decayRate;           // 0
    xrBoolean useDepthMapShadows;  // 1
    xrBoolean emitDiffuse;         // 2
    xrBoolean emitSpecular;        // 3
    xrColor color;                 // 4-7
    float intensity;               // 8
    xrBoolean useRayTraceShadows;  // 9
    xrColor shadowColor;           // 10-13
    xrInteger shadowRays;          // 14
    xrInteger rayDepthLimit;       // 15
};
static_assert(sizeof(AreaLightParams) == 16 * 4);

struct ShapeLightParams {
    float shapeIntensity;          // 0
    xrInteger decayRate;           // 1
    xrBoolean useDepthMapShadows;  // 2
    xrBoolean emitDiffuse;         // 3
    xrBoolean emitSpecular;        // 4
    xrColor color;                 // 5-8
    float intensity;               // 9
    xrBoolean useRayTraceShadows;  // 10
    xrColor shadowColor;           // 11-14
    xrInteger shadowRays;          // 15
    xrInteger rayDepthLimit;       // 16
};
static_assert(sizeof(ShapeLightParams) == 17 * 4);

inline xrColor scaledColor(const xrColor &c, float i) { return {c.r * i, c.g * i, c.b * i, c.a}; }

template <class Params>
ShadowInputs shadowInputs(const Params *p, float depthMapIntensity, SoftSampler sampler) {
    ShadowInputs in;
    in.useDepthMapShadows = &p->useDepthMapShadows;
    in.useRayTraceShadows = &p->useRayTraceShadows;
    in.shadowColor = &p->shadowColor;
    in.shadowRays = &p->shadowRays;
    in.rayDepthLimit = &p->rayDepthLimit;
    in.depthMapIntensity = depthMapIntensity;
    in.sampler = sampler;  // softSize stays null: the sampler always runs
    return in;
}

// Light-space sample point of the square sampler for (s0, s1): y = 2 s1 - 1
// and x = (2 s0 - 1) y, so the samples crowd towards the centre line y = 0
// near x = 0 (x is the product, not 2 s0 - 1 alone).
xrVector squarePoint(float s0, float s1) {
    const float y = 2.0f * s1 - 1.0f;
    return {(2.0f * s0 - 1.0f) * y, y, 0.0f};
}

void placeSquareSample(xrState *state, const void *, float s0, float s1) {
    const xrVector lp = squarePoint(s0, s1);
    xrVector o;
    xr_point_from_light(state, &o, &lp);
    state->rayOrigin = o;
    state->rayDirection = normalize(vsub(state->hitPoint, o));
    state->cosView = -dot(state->rayDirection, state->shadingNormal);
}

bool squareSoftShadow(xrState *state, float, int count, xrColor *att) {
    return softShadow(state, count, placeSquareSample, nullptr, att);
}

// Texture coordinate of the light-space point p on a host shape of code k.
xrVector shapeMapping(int k, const xrVector &p, const xrVector &current) {
    const float x = p.x, y = p.y, z = p.z;
    switch (k) {
    case kRectangle:
        return {x * 0.5f + 0.5f, y * 0.5f + 0.5f, 0.0f};
    case kDisc: {
        float v;
        if (std::fabs(x) < 1e-5f) v = y > 0.0f ? 0.75f : 0.25f;
        else v = std::atan2(y, x) / kTwoPi + 0.5f;
        return {std::hypot(x, y), v, 0.0f};
    }
    case kSphere: {
        const float h = std::hypot(x, z);
        const float u = std::fabs(z) < 1e-5f ? 0.5f : std::atan2(x, z) / kTwoPi + 0.5f;
        const float v = h < 1e-5f ? 0.5f : std::atan2(y, h) / kPi + 0.5f;
        return {u, v, 0.0f};
    }
    case kCylinder: {
        float v;
        if (std::fabs(z) < 1e-5f) v = y > 0.0f ? 0.75f : 0.25f;
        else v = std::atan2(y, z) / kTwoPi + 0.5f;
        return {x * 0.5f + 0.5f, v, 0.0f};
    }
    case kObject:
        return {current.x, current.y, 0.0f};
    default:
        return {x, y, 0.0f};
    }
}

}  // namespace

VEKO_EXPORT void veko_arealight_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {
        if (initRequest) *initRequest = 1;
        return;
    }
    void **slot = veko::instanceUserPointer(state);
    if (!slot) return;
    auto *shape = static_cast<AreaShape *>(xr_mem_int_allocate(__FILE__, __LINE__, sizeof(AreaShape)));
    if (!shape) return;
    const xrVector corners[4] = {{1, 1, 0}, {-1, 1, 0}, {-1, -1, 0}, {1, -1, 0}};
    for (int i = 0; i < 4; ++i) xr_point_from_light(state, &shape->corners[i], &corners[i]);
    const xrVector down{0.0f, 0.0f, -1.0f};
    xrVector n;
    xr_vector_from_light(state, &n, &down);
    shape->normal = length(n) > 0.0f ? normalize(n) : n;
    *slot = shape;
}

VEKO_EXPORT void veko_arealight_exit(xrState *state, void *params) {
    if (!params) return;
    void **slot = veko::instanceUserPointer(state);
    if (!slot || !*slot) return;
    xr_mem_int_release(__FILE__, __LINE__, *slot);
    *slot = nullptr;
}

VEKO_EXPORT xrBoolean veko_arealight(void *result, xrState *state, void *params) {
    auto *p = static_cast<AreaLightParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    veko::BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        xr_warning("veko_arealight(): Internal state error.");
        return 0;
    }
    void **slot = veko::instanceUserPointer(state);
    auto *shape = slot ? static_cast<AreaShape *>(*slot) : nullptr;
    if (!shape) {
        xr_warning("veko_arealight(): Cannot access shape data!");
        return 0;
    }
    // Behind the light; a point in its plane is lit.
    if (dot(shape->normal, state->rayDirection) < 0.0f) return 0;

    CallFrame frame(state, rec);
    xrVector lp;
    xr_point_to_light(state, &lp, &state->hitPoint);
    frame.setTexCoord(pointMapping(lp));
    frame.markRunning();

    const float intensity = applyDecay(eval(state, &p->intensity), state->hitDistance, eval(state, &p->decayRate));
    *out = scaledColor(eval(state, &p->color), intensity);

    rec->lightShadowWeight = 0.0f;
    rec->lightUnshadowed = *out;
    shadowStage(state, rec, shadowInputs(p, intensity, squareSoftShadow), out);
    rec->lightAmbient = 0;
    rec->lightDiffuse = eval(state, &p->emitDiffuse) ? 1 : 0;
    rec->lightSpecular = eval(state, &p->emitSpecular) ? 1 : 0;
    rec->lightShapeRef = shape;
    return 1;
}

VEKO_EXPORT xrBoolean veko_shapelight(void *result, xrState *state, void *params) {
    auto *p = static_cast<ShapeLightParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    veko::BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        xr_warning("veko_shapelight(): Internal state error.");
        return 0;
    }
    CallFrame frame(state, rec);
    const bool lightRay = state->rayKind == kRayLight;

    xrTag light = 0;
    xrInteger k = 0;
    if (!xr_query(7, state, state->lightInstanceTag, &light) || !xr_query(24, state, light, &k)) k = 0;

    if (k == kRectangle || k == kDisc) {
        const xrVector down{0.0f, 0.0f, -1.0f};
        xrVector n;
        xr_vector_from_light(state, &n, &down);
        const float d = dot(n, state->rayDirection);
        if (lightRay ? d <= 0.0f : d >= 0.0f) {
            if (lightRay) return 0;
            *out = {0.0f, 0.0f, 0.0f, 1.0f};
            seenDirectly(rec);
            return 1;
        }
    }

    xrVector lp;
    xr_point_to_light(state, &lp, lightRay ? &state->rayOrigin : &state->hitPoint);
    const xrVector current = state->texCoords ? state->texCoords[0] : xrVector{0.0f, 0.0f, 0.0f};
    frame.setTexCoord(shapeMapping(k, lp, current));
    frame.markRunning();

    const float intensity = applyDecay(eval(state, &p->intensity), state->hitDistance, eval(state, &p->decayRate));
    *out = scaledColor(eval(state, &p->color), intensity);

    if (!lightRay) {
        const float s = eval(state, &p->shapeIntensity);
        out->r *= s;
        out->g *= s;
        out->b *= s;
        out->a = 1.0f;
        seenDirectly(rec);
        return 1;
    }

    rec->lightShadowWeight = 0.0f;
    rec->lightUnshadowed = *out;
    // The host samples the shape: one hard shadow ray per sample.
    shadowStage(state, rec, shadowInputs(p, intensity, nullptr), out);
    rec->lightAmbient = 0;
    rec->lightDiffuse = eval(state, &p->emitDiffuse) ? 1 : 0;
    rec->lightSpecular = eval(state, &p->emitSpecular) ? 1 : 0;
    rec->lightShapeRef = nullptr;
    return 1;
}
