// Shared pieces of the light shaders: the per-call frame (first texture
// coordinate and the light-running flag), the decay division, the light-space
// mappings, the soft-shadow samplers and the shadow stage. Used by the point,
// spot, directional and ambient lights (light.cpp) and by the area lights.
#pragma once

#include "vekobase.h"

namespace veko::light {

// Ray kind of a light sample taken by a material or a fog shader.
constexpr int32_t kRayLight = 4;
// flags bit set by the fog shaders while they sample lights.
constexpr int32_t kFlagLightFog = 0x04;

// Saves the state's first texture coordinate and the record's bit 0x20 on
// construction and restores both when the call leaves, on every path.
class CallFrame {
public:
    CallFrame(xrState *state, BaseStateRecord *rec);
    ~CallFrame();
    CallFrame(const CallFrame &) = delete;
    CallFrame &operator=(const CallFrame &) = delete;
    // Replaces the first texture coordinate (no-op without coordinates).
    void setTexCoord(const xrVector &v);
    // Sets bit 0x20 of flags; cleared again on leaving if it was clear.
    void markRunning();

private:
    xrState *state_;
    BaseStateRecord *rec_;
    xrVector saved_{};
    bool hadCoords_ = false;
    bool flagWasSet_ = true;
};

// Light-space point -> texture coordinate of the point light (and area light):
// (atan2(x, z)/2pi + 0.5, atan(y/hypot(x, z))/pi + 0.5, z) with 1e-5 guards.
xrVector pointMapping(const xrVector &p);

// True when some parameter in the `bytes` of the running shader's parameter
// block `params` is fed by a shader (a nonzero word in the connection block).
bool hasConnections(const xrState *state, const void *params, size_t bytes);

// Divides the intensity by the distance once, twice or three times for decay
// rates 1, 2, 3 when the distance exceeds 1 (never brightens).
float applyDecay(float intensity, double distance, int decayRate);

// Record colours for a light seen directly by a non-light ray: frame-buffer
// colour (0,0,0,0), matte (1,1,1,1), aux (0,0,0,0).
void seenDirectly(BaseStateRecord *rec);

// Places one soft-shadow sample for the pair (s0, s1): sets rayOrigin and/or
// rayDirection and cosView of the state.
using SamplePlacer = void (*)(xrState *state, const void *ctx, float s0, float s1);

// The adaptive soft-shadow driver shared by every sampler: one pass of
// `count` samples, and a second pass of four times as many when the first saw
// some but not all samples partially transmitted; the result blends the
// second pass 0.8 with the first 0.2. rayOrigin, rayDirection and cosView are
// restored. Returns true when a channel of the attenuation is >= 1e-5.
bool softShadow(xrState *state, int count, SamplePlacer place, const void *ctx, xrColor *att);

// Disk sampler (point, spot, ambient lights): samples on a disk of `radius`
// around the light position, perpendicular to rayDirection.
bool diskSoftShadow(xrState *state, float radius, int count, xrColor *att);

// Cone sampler (directional light): directions within a cone of half-angle
// `angleDeg` degrees around rayDirection.
bool coneSoftShadow(xrState *state, float angleDeg, int count, xrColor *att);

// Shadow-ray count for `shadowRays` = n at ray weight m: n, ramped down
// linearly to 1 between fullSampleWeight and minRayWeight.
int shadowRayCount(int n, float m, const BaseStateRecord *rec);

using SoftSampler = bool (*)(xrState *state, float size, int count, xrColor *att);

// Inputs of the shadow stage. Parameter pointers are evaluated when used.
struct ShadowInputs {
    const xrBoolean *useDepthMapShadows = nullptr;  // null: no depth-map branch
    const xrBoolean *useRayTraceShadows = nullptr;
    const xrColor *shadowColor = nullptr;
    const xrInteger *shadowRays = nullptr;
    const xrInteger *rayDepthLimit = nullptr;
    float depthMapIntensity = 1.0f;    // scales shadowColor in the depth-map branch
    const float *softSize = nullptr;   // radius or angle parameter
    SoftSampler sampler = nullptr;     // soft-shadow sampler, given size and count
    // With softSize null and a sampler, the sampler always runs (size 0) and
    // query 142 is not asked (area lights).
};

// The shadow stage: depth-map or ray-traced shadows, applied to `result`,
// with lightShadowWeight written into the record.
void shadowStage(xrState *state, BaseStateRecord *rec, const ShadowInputs &in, xrColor *result);

}  // namespace veko::light
