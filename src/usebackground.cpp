// veko_usebackground: a surface that shows what lies behind it in the
// camera's view (the environment) while it still catches shadows and
// reflections, so that rendered objects can be composited over a plate. Its
// colour is the background darkened by the shadow fraction of its lights,
// plus traced reflections; its matte carries the shadow.
#include <algorithm>
#include <cstring>

#include "shading.h"
#include "vekobase.h"

namespace {

using namespace veko;
using namespace veko::surface;

struct UseBackgroundParams {
    xrVector normalCamera;        // 0-2
    float shadowMask;             // 3
    int32_t reflectionLimit;      // 4
    xrColor specularColor;        // 5-8
    float reflectivity;           // 9
    int32_t matteOpacityMode;     // 10
    float matteOpacity;           // 11
    int32_t imagePlaneIndex;      // 12
    int32_t imagePlaneCount;      // 13
    xrTag imagePlanes;            // 14
    BlurParams reflection;        // 15-17
    float finalGatherWeight;      // 18
};
static_assert(sizeof(UseBackgroundParams) == 19 * 4);
static_assert(offsetof(UseBackgroundParams, reflection) == 15 * 4);

constexpr int32_t kRadianceFace = 102;

// True when this ray or one of the rays it came from is something other
// than an eye ray (kinds 0, 1, 26): reflections and refractions see the
// surface as black.
bool secondaryRay(const xrState *state) {
    for (const xrState *s = state; s; s = s->spawningState)
        if (s->rayKind != 0 && s->rayKind != 1 && s->rayKind != 26) return true;
    return false;
}

// What the camera sees behind the surface: the environment along the ray.
xrColor background(xrState *state) {
    xrTag env = state->environmentShader;
    if (env == 0 && state->cameraRecord) env = state->cameraRecord->cameraEnvShader;
    xrColor out[16] = {};
    if (env == 0 || !xr_call_shader_x(out, xrSHADER_CALL, state, env, nullptr)) return {};
    return out[0];
}

}  // namespace

VEKO_EXPORT xrBoolean veko_usebackground(void *resultPtr, xrState *state, void *params) {
    const auto *p = static_cast<const UseBackgroundParams *>(params);
    auto *result = static_cast<MaterialResult *>(resultPtr);
    BaseStateRecord *rec = stateRecord(state);
    if (!rec) {
        xr_warning("veko_usebackground(): Internal state error.");
        return 0;
    }
    const xrColor savedWeight = rec->rayWeight;
    struct NormalGuard {
        xrState *s;
        xrVector n;
        float cv;
        ~NormalGuard() {
            s->shadingNormal = n;
            s->cosView = cv;
        }
    } normalGuard{state, state->shadingNormal, state->cosView};
    correctNormal(state, &p->normalCamera);

    std::memset(result, 0, sizeof *result);
    if (state->rayKind == xrRAY_SHADOW) return 1;
    if (!state->modeFlag && secondaryRay(state)) return 1;

    // Image planes are not part of this host's scenes: the background is the
    // environment.
    const xrColor B = background(state);

    // Shadow: the lights' shadow fraction, weighed by the mask.
    const float mask = eval(state, &p->shadowMask);
    scaleRGB(rec->rayWeight, mask);
    const float s = lightShadowFraction(state, rec);
    rec->rayWeight = savedWeight;
    float x = 1.0f - mask * s;

    // Final gather: what the surroundings occlude darkens it further.
    const xrOptions *opt = state->optionsRecord;
    const float fgWeight = eval(state, &p->finalGatherWeight);
    if (opt && opt->finalGatherOn && fgWeight > 0.0f) {
        scaleRGB(rec->rayWeight, fgWeight);
        const float m = maxRGB(rec->rayWeight);
        if (m > rec->minRayWeight) {
            FinalGatherSettings settings{};
            const FinalGatherSettings *use = prepareFinalGather(state, rec, m, settings);
            xrColor avg{};
            xr_compute_avg_radiance(&avg, state, kRadianceFace, const_cast<FinalGatherSettings *>(use));
            const float a = std::clamp(avg.a, 0.0f, 1.0f);
            x = x * (1.0f - a) * fgWeight;
        }
        rec->rayWeight = savedWeight;
    }

    result->outColor = {B.r * x, B.g * x, B.b * x, 0.0f};
    const int32_t matteMode = eval(state, &p->matteOpacityMode);
    const float mo = eval(state, &p->matteOpacity);
    const float matte = matteMode == 1 ? mo : (1.0f - x) * mo;
    for (float &m : result->outMatteOpacity) m = matte;

    // Reflection, traced only.
    const bool traceOn = opt && opt->traceEnabled;
    const int32_t limit = eval(state, &p->reflectionLimit);
    if (traceOn && state->reflectDepth + state->refractDepth < limit) {
        xrColor k = eval(state, &p->specularColor);
        scaleRGB(k, eval(state, &p->reflectivity));
        k.a = 0.0f;
        Shading sh;
        sh.state = state;
        sh.rec = rec;
        ReflectionInputs in;
        in.weight = k;
        in.reflectionLimit = limit;
        in.blur = &p->reflection;
        in.environmentFallback = false;
        xrColor rayFactor = k, aux{1.0f, 1.0f, 1.0f, 1.0f};
        if (matteMode == 2) {
            // The matte takes the reflection's opacity: the ray counts at
            // least as much as the matte.
            rayFactor = {std::max(k.r, mo), std::max(k.g, mo), std::max(k.b, mo), 0.0f};
            in.rayFactor = &rayFactor;
            in.auxAverage = &aux;
        }
        const xrColor savedMatte = rec->matteColor;
        rec->matteColor = {0.0f, 0.0f, 0.0f, 0.0f};
        const xrColor refl = reflectionStep(sh, in);
        rec->matteColor = savedMatte;
        if (!blackRGB(k)) {
            result->outColor.r += refl.r;
            result->outColor.g += refl.g;
            result->outColor.b += refl.b;
        }
        if (matteMode == 2) {
            const float am[3] = {aux.r, aux.g, aux.b};
            for (int c = 0; c < 3; ++c)
                result->outMatteOpacity[c] = std::max(result->outMatteOpacity[c], (1.0f - am[c]) * mo);
        }
    }
    return 1;
}
