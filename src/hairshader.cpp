// veko_hairshader: thin strands with a direction but no usable normal.
// Diffuse light depends on whether the light is in front of the strand or
// behind it as seen from the eye; the highlight on the angle between the
// strand's tangent and the light and view directions. The strand colour
// arrives in the first texture coordinate, tinted by hairColorRamp along the
// strand when the ramp has entries.
//
// From the host: the tangent in the first three floats behind hairData
// (dP/dt of the strand), the position along the strand in baryWeights[1].
// The light loop runs with a zero shadingNormal, which the host reads as
// "light from every side".
#include <algorithm>
#include <cmath>

#include "rampcurve.h"
#include "shading.h"

using namespace veko;

namespace {

struct HairShaderParams {
    Array<ColorRampEntry> hairColorRamp;  // 0-7
    float specularPower;                  // 8
    xrColor specularColor;                // 9-12
    float translucence;                   // 13
    int32_t unused14[4];                  // 14-17
    float opacity;                        // 18
};
static_assert(sizeof(HairShaderParams) == 19 * 4);
static_assert(offsetof(HairShaderParams, specularPower) == 8 * 4);
static_assert(offsetof(HairShaderParams, translucence) == 13 * 4);
static_assert(offsetof(HairShaderParams, opacity) == 18 * 4);

constexpr int32_t kRayLayer = 1;  // ray kind of the layer cut-off

// Diffuse weight of a light towards L for the eye ray V: 1 when the light
// is behind the viewer (L.V = -1), `translucence` when it is straight behind
// the strand (L.V = 1).
float hairDiffuse(const xrVector &L, const xrVector &V, float translucence) {
    return (1.0f - (dot(L, V) + 1.0f) * 0.5f) * (1.0f - translucence) + translucence;
}

// Highlight: 1 where the tangent makes the same angle with the light as with
// the view (T.L = T.V), falling smoothly to 0 as they differ by 2.
float hairHighlight(const xrVector &T, const xrVector &L, const xrVector &V, float power) {
    const float x = std::fabs(dot(T, L) - dot(T, V)) * 0.5f;
    const float base = (2.0f * x - 3.0f) * x * x + 1.0f;
    return base > 0.0f ? std::pow(base, power) : 0.0f;
}

// The strand's tangent: behind hairData on a strand; a surface's first
// derivative when the shader sits on a mesh.
xrVector strandTangent(const xrState *state) {
    if (state->hairData) {
        const float *h = static_cast<const float *>(state->hairData);
        return {h[0], h[1], h[2]};
    }
    if (state->derivU) return state->derivU[0];
    return {0.0f, 0.0f, 0.0f};
}

struct LightSums {
    xrColor diffuse{0.0f, 0.0f, 0.0f, 0.0f};
    xrColor specular{0.0f, 0.0f, 0.0f, 0.0f};
};

LightSums lightLoop(xrState *state, BaseStateRecord *rec, const xrVector &T, float power, float translucence) {
    LightSums total;
    const xrVector V = state->rayDirection;
    xrInteger count = 0;
    xrTag *lights = nullptr;
    xr_instance_lightlist(&count, &lights, state);
    for (int i = 0; lights && i < count; ++i) {
        surface::resetLightWords(rec);
        rec->inLightLoop = 0;
        LightSums sums;
        xrInteger samples = 0;
        int taken = 0;
        xrColor q{};
        xrVector L{};
        float c = 0.0f;
        while (xr_sample_light(&q, &L, &c, state, lights[i], &samples)) {
            ++taken;
            addScaled(sums.diffuse, q, hairDiffuse(L, V, translucence));
            const float s = hairHighlight(T, L, V, power);
            if (s > 0.0f) addScaled(sums.specular, q, s);
        }
        const int n = std::max<int>(samples, taken);
        if (n > 0) {
            addScaled(total.diffuse, sums.diffuse, 1.0f / static_cast<float>(n));
            addScaled(total.specular, sums.specular, 1.0f / static_cast<float>(n));
        }
    }
    return total;
}

// Walks up from a layer ray: once the chain of layer rays is deeper than the
// host's refraction and trace depths allow, the hair turns opaque.
bool layerCutOff(xrState *state) {
    if (state->rayKind != kRayLayer || !state->optionsRecord) return false;
    int counter = std::min(state->optionsRecord->maxRefractionDepth, state->optionsRecord->maxTraceDepth);
    for (const xrState *s = state; s; s = s->spawningState, --counter)
        if (s->rayKind == kRayLayer && counter <= 0) return true;
    return false;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_hairshader(void *result, xrState *state, void *params) {
    auto *p = static_cast<HairShaderParams *>(params);
    auto *out = static_cast<MaterialResult *>(result);
    const xrVector normal = state->shadingNormal, geometric = state->geometricNormal;
    xrVector T = strandTangent(state);
    BaseStateRecord *rec = stateRecord(state);
    if (!rec) {
        xr_warning("veko_hairshader(): Internal state error.");
        return 0;
    }
    // Hair casts no shadow through this shader.
    if (state->rayKind == xrRAY_SHADOW) {
        out->outTransparency = {1.0f, 1.0f, 1.0f, 1.0f};
        return 1;
    }

    std::memset(out, 0, sizeof *out);
    const float power = std::max(eval(state, &p->specularPower), 3.0f);
    const float translucence = eval(state, &p->translucence);
    T = normalize(vneg(T));
    state->shadingNormal = {0.0f, 0.0f, 0.0f};
    const LightSums lit = lightLoop(state, rec, T, power, translucence);
    state->shadingNormal = normal;
    state->geometricNormal = geometric;

    xrColor base{0.0f, 0.0f, 0.0f, 0.0f};
    if (state->texCoords) {
        const xrVector &c = state->texCoords[0];
        base = {c.x, c.y, c.z, 0.0f};
    }
    RampCurve ramp;
    loadRamp(state, &p->hairColorRamp, ramp);
    if (ramp.count > 0) mulRGBInPlace(base, rampColor(ramp, state->baryWeights[1]));
    const xrOptions *opt = state->optionsRecord;
    if (opt && (opt->finalGatherOn || opt->photonVolumeWord1 || opt->photonVolumeWord2)) {
        xrColor irradiance{0.0f, 0.0f, 0.0f, 0.0f};
        if (xr_compute_irradiance(&irradiance, state)) addScaled(base, irradiance, 1.0f / kPi);
    }

    const float opacity = eval(state, &p->opacity);
    const xrColor spec = eval(state, &p->specularColor);
    out->outColor = {(base.r * lit.diffuse.r + spec.r * lit.specular.r) * opacity,
                     (base.g * lit.diffuse.g + spec.g * lit.specular.g) * opacity,
                     (base.b * lit.diffuse.b + spec.b * lit.specular.b) * opacity, opacity};
    const float clear = 1.0f - opacity;
    out->outTransparency = {clear, clear, clear, 0.0f};
    out->outMatteOpacity[0] = out->outMatteOpacity[1] = out->outMatteOpacity[2] = opacity;

    if (layerCutOff(state)) {
        out->outTransparency = {0.0f, 0.0f, 0.0f, 0.0f};
        out->outMatteOpacity[0] = out->outMatteOpacity[1] = out->outMatteOpacity[2] = 1.0f;
    }
    return 1;
}
