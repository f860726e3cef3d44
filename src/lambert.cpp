// The surface shading pipeline (shading.h) and veko_lambert, the purely
// diffuse model that runs it without a specular term.
//
// One call: correct the normal, answer shadow rays with the transparency,
// walk the lights (a second, flipped pass when the hit has a host
// reference, so that light from behind reaches the translucence term),
// add ambient, incandescence, indirect light and scatter, trace the
// refraction, trace the reflection of glossy models, and compose the beauty
// colour and the pass outputs the record's passMode asks for. Everything
// changed in the state and in the per-ray record is restored before the
// call returns, except the outputs the shading engine reads.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "shading.h"
#include "vekobase.h"

namespace veko::surface {

namespace {

constexpr int32_t kRayEnvironment = 6;
constexpr int32_t kQueryLightMatrix = 4;
constexpr int32_t kQueryReduced = 142;
constexpr int32_t kRadianceFace = 102;

// Saves the fields a traced ray's shading leaves in the record (frame-buffer
// and aux colours) and restores them when the scope ends.
class TraceOutputsGuard {
public:
    explicit TraceOutputsGuard(BaseStateRecord *rec) : rec_(rec), fb_(rec->fbColor), aux_(rec->auxColor) {}
    ~TraceOutputsGuard() {
        rec_->fbColor = fb_;
        rec_->auxColor = aux_;
    }
    TraceOutputsGuard(const TraceOutputsGuard &) = delete;
    TraceOutputsGuard &operator=(const TraceOutputsGuard &) = delete;

private:
    BaseStateRecord *rec_;
    xrColor fb_, aux_;
};

// Clears what the next traced ray reports back: the record's frame-buffer
// and aux colours and the previous child's hit distance.
void clearTraceOutputs(xrState *state, BaseStateRecord *rec) {
    rec->fbColor = {0.0f, 0.0f, 0.0f, 0.0f};
    rec->auxColor = {1.0f, 1.0f, 1.0f, 1.0f};
    if (state->childState) state->childState->hitDistance = 0.0;
}

// Red, green or blue of a colour by index 0, 1, 2.
float &channel(xrColor &c, int k) { return k == 0 ? c.r : (k == 1 ? c.g : c.b); }
float channel(const xrColor &c, int k) { return k == 0 ? c.r : (k == 1 ? c.g : c.b); }

int32_t traceDepth(const xrState *state) { return state->reflectDepth + state->refractDepth; }

// Multiplies r, g, b of the ray weight by `k`, and by the glow intensity
// when that exceeds 1 (a glowing surface makes its secondary rays count more).
void weighRay(BaseStateRecord *rec, const xrColor &k, float glowIntensity) {
    mulRGBInPlace(rec->rayWeight, k);
    if (glowIntensity > 1.0f) scaleRGB(rec->rayWeight, glowIntensity);
}

// Specular factor of the current ray: 1 on eye rays, reflectionSpecularity
// (not below 0) on every other ray.
float rayHighlightFactor(xrState *state, const ReflectionHead *head) {
    if (state->rayKind == xrRAY_EYE) return 1.0f;
    const float rs = eval(state, &head->reflectionSpecularity);
    return rs > 0.0f ? rs : 0.0f;
}

// One sample (a point light's only one) needs no scaling: x * 1 is x.
inline void addAveraged(PassSums &total, const PassSums &pass, int n) {
    if (n == 1) {
        addTo(total.diffuse, pass.diffuse);
        addTo(total.diffuseNoShadow, pass.diffuseNoShadow);
        addTo(total.specular, pass.specular);
        addTo(total.specularNoShadow, pass.specularNoShadow);
        total.lit += pass.lit;
        total.shadowed += pass.shadowed;
        return;
    }
    const float inv = 1.0f / static_cast<float>(n);
    addScaled(total.diffuse, pass.diffuse, inv);
    addScaled(total.diffuseNoShadow, pass.diffuseNoShadow, inv);
    addScaled(total.specular, pass.specular, inv);
    addScaled(total.specularNoShadow, pass.specularNoShadow, inv);
    total.lit += pass.lit * inv;
    total.shadowed += pass.shadowed * inv;
}

// One light sample into the pass sums.
void accumulateSample(const Shading &sh, SpecularModel *model, float highlightFactor, const xrColor &q,
                      const xrVector &dir, float c, PassSums &sums) {
    xrState *state = sh.state;
    const BaseStateRecord *rec = sh.rec;
    const auto *shape = static_cast<const AreaShape *>(rec->lightShapeRef);
    if (rec->backSide) c = -c;
    if (shape) c = areaCosine(state->hitPoint, state->shadingNormal, shape);
    const xrColor &u = rec->lightUnshadowed;

    float f = rec->lightAmbient ? 1.0f : 0.0f;
    if (rec->lightDiffuse && sh.pm.has(kPassDiffuse | kPassDiffuseNoShadow)) {
        if (c > 0.0f) f += c * sh.diffuse;
        if (sh.translucence != 0.0f) f += translucenceTerm(sh, c, dir);
    }
    if (rec->lightDiffuse && sh.pm.has(kPassShadow)) {
        const float l = luminance(u);
        sums.lit += l;
        if (c > 0.0f) sums.shadowed += l * rec->lightShadowWeight;
    }
    if (f > 0.0f) {
        if (sh.pm.has(kPassDiffuse)) addScaled(sums.diffuse, q, f);
        if (sh.pm.has(kPassDiffuseNoShadow)) addScaled(sums.diffuseNoShadow, u, f);
    }

    if (!model || highlightFactor <= 0.0f || !rec->lightSpecular ||
        !sh.pm.has(kPassSpecular | kPassSpecularNoShadow))
        return;
    xrVector l = dir;
    float cs = c;
    float k = 1.0f;
    if (shape) {
        // The highlight looks towards the point of the rectangle nearest the
        // mirror direction; the light is weighted by its form factor.
        const xrVector &n = state->shadingNormal;
        const xrVector mirror = vsub(state->rayDirection, vscale(n, 2.0f * state->cosView));
        l = areaDirection(state, state->hitPoint, mirror, shape, state->lightInstanceTag);
        cs = dot(l, n);
        k = c;
    }
    if (cs <= 0.0f || k <= 0.0f) return;
    const float s = model->highlight(sh, l, cs) * highlightFactor * k;
    if (!(s > 0.0f)) return;
    if (sh.pm.has(kPassSpecular)) addScaled(sums.specular, q, s);
    if (sh.pm.has(kPassSpecularNoShadow)) addScaled(sums.specularNoShadow, u, s);
}

}  // namespace

// The light loop: averaged per light and pass, summed over the lights.
// Returns the totals; `shadowFraction` receives W/S.
PassSums lightLoop(const Shading &sh, SpecularModel *model, SurfaceTerms *terms, float &shadowFraction) {
    xrState *state = sh.state;
    BaseStateRecord *rec = sh.rec;
    PassSums total;
    shadowFraction = 0.0f;

    WeightGuard weight(rec);
    if (!sh.pm.has(kPassShadow)) {
        if (terms) terms->weighLightRays(sh);
        else weighRay(rec, mulRGB(oneMinusRGB(sh.transparency), sh.color), sh.glowIntensity);
    }
    const float highlightFactor = model ? rayHighlightFactor(state, model->head) : 0.0f;

    xrInteger count = 0;
    xrTag *lights = nullptr;
    xr_instance_lightlist(&count, &lights, state);
    // The host samples only lights in front of the surface as the normal
    // faces; with a hit reference a second pass with the normals flipped
    // reaches the lights behind it (translucence).
    const int passes = state->hitRef ? 2 : 1;
    // On the back side a sample counts through the translucence, the shadow
    // pass's total, an ambient part or an area shape only (its cosine is
    // negated, so neither diffuse nor highlight takes it). Without the first
    // two (and without a model's own terms) a one-sided light gives nothing
    // there: its back-side samples are turned down uncomputed, and the back
    // pass is left out for the last light once its front pass showed it
    // one-sided (an earlier light's pass still runs: the host numbers every
    // light's sample sequences in turn).
    const int32_t backFlags =
        passes == 2 && !terms && sh.translucence == 0.0f && !sh.pm.has(kPassShadow) ? kFlagBackSideUnused : 0;
    constexpr int32_t kLoopFlags = kFlagBackSideUnused | kFlagLightOneSided;
    const int32_t savedFlags = rec->flags & kLoopFlags;
    for (int i = 0; lights && i < count; ++i) {
        resetLightWords(rec);
        rec->inLightLoop = 1 - sh.pm.needShadows;
        rec->flags = (rec->flags & ~kLoopFlags) | backFlags;
        bool flipped = false;
        for (int pass = 0; pass < passes; ++pass) {
            if (pass == 1) {
                if (backFlags && i == count - 1 && (rec->flags & kFlagLightOneSided)) break;
                rec->backSide = !rec->backSide;
                flipNormals(state);
                flipped = true;
            }
            PassSums sums;
            xrInteger samples = 0;
            int taken = 0;
            xrColor q{};
            xrVector dir{};
            float c = 0.0f;
            while (xr_sample_light(&q, &dir, &c, state, lights[i], &samples)) {
                ++taken;
                if (terms) terms->sample(sh, q, dir, c, sums);
                else accumulateSample(sh, model, highlightFactor, q, dir, c, sums);
            }
            // The host counts every sample it took, lit or not. A pass that
            // returned no sample (the light behind the surface) adds nothing.
            const int n = std::max<int>(samples, taken);
            if (n > 0 && taken > 0) addAveraged(total, sums, n);
        }
        if (flipped) flipNormals(state);
        if (passes == 2) rec->backSide = 0;
    }
    rec->flags = (rec->flags & ~kLoopFlags) | savedFlags;
    rec->inLightLoop = 0;
    if (sh.pm.has(kPassShadow) && total.lit > 1e-5f) shadowFraction = total.shadowed / total.lit;
    return total;
}

namespace {

// Number of blurred samples at ray weight m: `n`, falling linearly to 1
// between fullSampleWeight and minRayWeight.
int reducedCount(int n, float m, const BaseStateRecord *rec) {
    const float lo = rec->minRayWeight, hi = rec->fullSampleWeight;
    if (m < hi && hi > lo) {
        const float v = (static_cast<float>(n) * (m - lo) - (m - hi)) / (hi - lo);
        n = static_cast<int>(v);
    }
    return std::max(n, 1);
}

// Calls `trace(dir)` for every sample of a blurred (or sharp) ray around
// `dir`; the sample direction is kept on `side` of the geometric normal.
// Returns the number of samples traced.
template <class Trace>
int forEachSample(xrState *state, const Blur &blur, const xrVector &dir, float side, Trace trace) {
    if (blur.cone <= 0.0f) {
        trace(keepSide(dir, state->geometricNormal, side));
        return 1;
    }
    float s[2] = {0.0f, 0.0f};
    xrInteger instance = 0;
    xrInteger n = blur.samples;
    int taken = 0;
    while (taken < blur.samples && xr_sample(s, &instance, state, 2, &n)) {
        trace(keepSide(coneDirection(dir, blur.cone, s[0], s[1]), state->geometricNormal, side));
        ++taken;
    }
    return taken;
}

}  // namespace

// Resets the light words 24-34 of the record before a light is sampled.
void resetLightWords(BaseStateRecord *rec) {
    rec->lightAmbient = 0;
    rec->lightDiffuse = 1;
    rec->lightSpecular = 1;
    rec->lightShadowWeight = 0.0f;
    rec->lightUnshadowed = {1.0f, 1.0f, 1.0f, 1.0f};
    rec->lightShapeRef = nullptr;
    rec->backSide = 0;
}

// ---------------------------------------------------------------------------
bool query142(xrState *state) {
    xrInteger v = 0;
    return xr_query(kQueryReduced, state, 0, &v) && v != 0;
}

void correctNormal(xrState *state, const xrVector *normalCamera) {
    if (!isConnected(state, normalCamera)) return;
    xrVector n = eval(state, normalCamera);
    const xrVector &ng = state->geometricNormal;
    const float d = dot(ng, n);
    if (d < 0.0f) n = normalize(vadd(n, vscale(ng, 0.0015f - d)));
    state->shadingNormal = n;
    state->cosView = dot(state->rayDirection, n);
}

void flipNormals(xrState *state) {
    state->shadingNormal = vneg(state->shadingNormal);
    state->geometricNormal = vneg(state->geometricNormal);
    state->cosView = -state->cosView;
}

float translucenceTerm(const Shading &sh, float c, const xrVector &L) {
    const float t = -11.5f * sh.translucenceDepth;
    if (c <= t) return 0.0f;
    float v = sh.translucence;
    const float focus = sh.translucenceFocus;
    if (focus != 0.0f) {
        float b;
        if (const auto *shape = static_cast<const AreaShape *>(sh.rec->lightShapeRef)) {
            b = areaCosine(sh.state->hitPoint, sh.state->shadingNormal, shape);
        } else {
            b = (std::clamp(dot(sh.state->rayDirection, L), -1.0f, 1.0f) + 1.0f) * 0.5f;
        }
        v = sh.translucence * std::pow(std::max(b, 0.0f), focus / (1.00001f - focus));
    }
    const float w = std::min(0.15f - t, 1.0f);
    return c < t + w ? v * (c - t) / w : v;
}

Blur blurSetup(xrState *state, const BaseStateRecord *rec, float blur, int32_t limit, int32_t samples,
               int32_t cap) {
    Blur out;
    const float b = std::min(blur, 1.0f);
    if (!(b > 0.0f) || traceDepth(state) >= std::min(limit, cap) || query142(state)) return out;
    out.cone = 1.0f - std::cos(b * kPi * 0.5f);
    out.samples = reducedCount(std::max(samples, 1), maxRGB(rec->rayWeight), rec);
    return out;
}

xrVector coneDirection(const xrVector &dir, float cone, float u, float v) {
    const float cosT = 1.0f - v * cone;
    const float sinT = std::sqrt(std::max(0.0f, 1.0f - cosT * cosT));
    const float phi = 2.0f * kPi * u;
    // Any unit vector perpendicular to dir, then the third axis.
    const xrVector helper = std::fabs(dir.x) < 0.9f ? xrVector{1.0f, 0.0f, 0.0f} : xrVector{0.0f, 1.0f, 0.0f};
    const xrVector t = normalize(cross(dir, helper));
    const xrVector b = cross(dir, t);
    const xrVector d = vadd(vscale(dir, cosT), vadd(vscale(t, sinT * std::cos(phi)), vscale(b, sinT * std::sin(phi))));
    return normalize(d);
}

xrVector keepSide(const xrVector &dir, const xrVector &ng, float side) {
    const float d = dot(dir, ng);
    if (side > 0.0f ? d > 0.0f : d < 0.0f) return dir;
    return normalize(vadd(dir, vscale(ng, 0.01f * side - d)));
}

xrColor environmentLookup(xrState *state, const xrVector &dir, bool refracted) {
    xrColor col{0.0f, 0.0f, 0.0f, 0.0f};
    const xrOptions *opt = state->optionsRecord;
    int32_t &depth = refracted ? state->refractDepth : state->reflectDepth;
    const int32_t hostLimit = opt ? (refracted ? opt->maxRefractionDepth : opt->maxReflectionDepth) : 0;
    if (opt && depth < hostLimit && traceDepth(state) < opt->maxTraceDepth) {
        ++depth;
        xr_trace_environment(&col, state, &dir);
        --depth;
        return col;
    }
    if (state->environmentShader == 0) return col;
    // The environment sees the sample direction as a ray without a surface
    // (zero normal, cosView 0), as the host passes rays that leave the
    // scene: its own reflection about the normal must not turn the
    // direction a second time.
    const int32_t kind = state->rayKind;
    const xrVector savedDir = state->rayDirection, savedNormal = state->shadingNormal;
    const float savedCos = state->cosView;
    state->rayKind = kRayEnvironment;
    state->rayDirection = dir;
    state->shadingNormal = {0.0f, 0.0f, 0.0f};
    state->cosView = 0.0f;
    // Environment shaders write a colour and their alpha (and may write
    // more): room for a whole result record.
    float out[16] = {};
    xr_call_shader_x(out, xrSHADER_CALL, state, state->environmentShader, nullptr);
    std::memcpy(&col, out, sizeof col);
    state->rayKind = kind;
    state->rayDirection = savedDir;
    state->shadingNormal = savedNormal;
    state->cosView = savedCos;
    return col;
}

const FinalGatherSettings *prepareFinalGather(xrState *state, BaseStateRecord *rec, float m,
                                              FinalGatherSettings &out) {
    const xrOptions *opt = state->optionsRecord;
    bool have = false;
    if (state->instanceTag) {
        xrTag found = 0;
        if (const uint32_t *block = findUserData(kVekoMagic, xrDB_OBJECT, state->instanceTag, &found, nullptr)) {
            if (block[5] == 1) {
                out.size = 44;
                out.rays = static_cast<int32_t>(block[6]);
                std::memcpy(out.settings, &block[7], sizeof out.settings);
                out.flags[0] = static_cast<uint8_t>(block[15]);
                out.flags[1] = static_cast<uint8_t>(block[16]);
                out.pad[0] = out.pad[1] = 0;
                have = true;
            }
            xr_db_unpin(found);
        }
    }
    // With final gathering off the object's settings still go to the host
    // (it may light the point by other means), unreduced.
    if (!opt || !opt->finalGatherOn) return have ? &out : nullptr;
    int count;
    if (m < rec->fullSampleWeight && rec->fullSampleWeight > rec->minRayWeight) {
        if (!have) {
            // The options' final-gather block after the ray count: eight
            // words and two byte flags, in the order of the object block.
            out.size = 44;
            out.rays = opt->finalGatherRays;
            std::memcpy(out.settings, opt->finalGatherMore, sizeof out.settings);
            out.flags[0] = opt->finalGatherMore[32];
            out.flags[1] = opt->finalGatherMore[33];
            out.pad[0] = out.pad[1] = 0;
            have = true;
        }
        const float f = (m - rec->minRayWeight) / (rec->fullSampleWeight - rec->minRayWeight);
        out.rays = static_cast<int32_t>(f * static_cast<float>(out.rays));
        count = out.rays;
    } else {
        count = have ? out.rays : opt->finalGatherRays;
    }
    // A count of 0 (weight at the threshold, or an empty setting) must not
    // blow the ray weight up; the host still takes at least one ray.
    count = std::max(count, 1);
    if (have) out.rays = std::max(out.rays, 1);
    scaleRGB(rec->rayWeight, 1.0f / static_cast<float>(count));
    return have ? &out : nullptr;
}

xrColor irradianceTerm(const Shading &sh, const CoreRefs &core, const xrColor &base) {
    xrState *state = sh.state;
    const Evaluator ev(state);
    xrColor k = ev(core.irradianceColor);
    scaleRGB(k, sh.diffuse);
    mulRGBInPlace(k, base);
    k.a = 0.0f;
    if (blackRGB(k)) return {};
    if (ev.connected(core.irradiance)) {
        xrColor irr = ev(core.irradiance);
        mulRGBInPlace(irr, k);
        return irr;
    }
    WeightGuard weight(sh.rec);
    weighRay(sh.rec, mulRGB(oneMinusRGB(sh.transparency), k), sh.glowIntensity);
    const float m = maxRGB(sh.rec->rayWeight);
    if (m < sh.rec->minRayWeight) return {};
    // The host is asked whether or not final gathering is on: it may have
    // indirect light from other sources.
    FinalGatherSettings settings{};
    const FinalGatherSettings *use = prepareFinalGather(state, sh.rec, m, settings);
    xrColor avg{};
    xr_compute_avg_radiance(&avg, state, kRadianceFace, const_cast<FinalGatherSettings *>(use));
    mulRGBInPlace(avg, k);
    return avg;
}

void transparencyStep(const Shading &sh, const CoreRefs &core, const BlurParams *blurParams,
                      xrColor &outT, xrColor &refraction) {
    xrState *state = sh.state;
    BaseStateRecord *rec = sh.rec;
    const xrColor &tr = sh.transparency;
    refraction = {};
    if (sh.hideSource) {
        outT = {1.0f, 1.0f, 1.0f, 1.0f};
        return;
    }
    if (blackRGB(tr)) {
        outT = {};
        return;
    }
    const bool traceOn = state->optionsRecord && state->optionsRecord->traceEnabled;
    if (!(sh.pm.has(kPassRefraction) && sh.refractions) || !traceOn) {
        outT = tr;
        return;
    }

    WeightGuard weight(rec);
    mulRGBInPlace(rec->rayWeight, tr);
    if (!(maxRGB(rec->rayWeight) > rec->minRayWeight)) {
        outT = {};
        return;
    }

    const Evaluator ev(state);
    const float materialIor = ev(core.refractiveIndex);
    const float thickness = ev(core.surfaceThickness);
    float index = materialIor;
    if (thickness != 0.0f) {
        const float g = 1.0f - std::fabs(state->cosView);
        index = (index - 1.0f) * (thickness + 2.0f * thickness * g * g) + 1.0f;
        index = std::clamp(index, 0.01f, 3.0f);
    }
    const float ior = state->currentIor;
    if (index == ior) index = 1.0f;  // leaving the medium

    const Blur blur = blurSetup(state, rec, ev(&blurParams->blur), ev(&blurParams->limit),
                                ev(&blurParams->samples), rec->refractionCap);
    scaleRGB(rec->rayWeight, 1.0f / static_cast<float>(blur.samples));

    const float fade = ev(core.fadeDistance);
    const float absorbance = ev(core.lightAbsorbance);
    const bool chromatic = ev(core.chromaticAberration) != 0;
    const int32_t limit = std::min(ev(core.refractionLimit), rec->refractionCap);
    const bool toEnvironment = traceDepth(state) >= limit;

    TraceOutputsGuard outputs(rec);
    outT = {};
    const xrVector v = state->rayDirection;
    const xrVector n = state->shadingNormal;
    const float c = -state->cosView;
    int traced = 0;
    const int passes = chromatic ? 3 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        const float passIndex = chromatic ? index + 0.06f * static_cast<float>(pass) : index;
        const float eta = ior / passIndex;
        const float radicand = 1.0f - eta * eta * (1.0f - c * c);
        const bool total = radicand < 0.0f;  // total internal reflection
        const xrVector dir = total ? vadd(v, vscale(n, 2.0f * c))
                                   : vadd(vscale(v, eta), vscale(n, std::fabs(c) * eta - std::sqrt(std::max(radicand, 0.0f))));
        const float newIor = total ? materialIor : passIndex;
        traced += forEachSample(state, blur, normalize(dir), total ? 1.0f : -1.0f, [&](const xrVector &d) {
            clearTraceOutputs(state, rec);
            state->currentIor = newIor;
            xrColor col{};
            if (toEnvironment) col = environmentLookup(state, d, true);
            else if (total) xr_trace_reflection(&col, state, &d);
            else xr_trace_refraction(&col, state, &d);

            double dist = state->childState && state->childState->hitDistance > 0.0 ? state->childState->hitDistance : 1e36;
            if (thickness != 0.0f) dist = std::min(dist, static_cast<double>(thickness));
            float a = absorbance != 0.0f ? static_cast<float>(std::exp(-dist * absorbance / 100.0)) : 1.0f;
            if (fade != 0.0f) a = fade >= dist ? a * static_cast<float>(((fade - dist) / fade) * ((fade - dist) / fade)) : 0.0f;
            if (a <= 1e-6f) a = 0.0f;
            const xrColor &aux = rec->auxColor;
            if (chromatic) {
                // Each pass feeds one channel; alpha is shared by the three.
                channel(refraction, pass) += channel(col, pass) * a;
                refraction.a += col.a * a / 3.0f;
                channel(outT, pass) += channel(aux, pass);
                outT.a += aux.a / 3.0f;
            } else {
                addScaled(refraction, col, a);
                addTo(outT, aux);
            }
        });
    }
    // The child ray took its copy of the index; this state keeps its own.
    state->currentIor = ior;
    const int perPass = traced / passes;
    if (perPass > 1) {
        refraction = scale(refraction, 1.0f / static_cast<float>(perPass));
        outT = scale(outT, 1.0f / static_cast<float>(perPass));
    }
    refraction = mul(refraction, tr);
    outT = mul(outT, tr);
}

xrColor reflectionStep(const Shading &sh, const ReflectionInputs &in) {
    xrState *state = sh.state;
    BaseStateRecord *rec = sh.rec;
    // A black weight reflects nothing; only a caller that wants the
    // reflected opacity still traces.
    if (blackRGB(in.weight) && !in.auxAverage) return {};
    WeightGuard weight(rec);
    weighRay(rec, in.rayFactor ? *in.rayFactor : in.weight, sh.glowIntensity);
    if (!(maxRGB(rec->rayWeight) > rec->minRayWeight)) return {};

    const xrVector n = state->shadingNormal;
    const xrVector mirror = normalize(vsub(state->rayDirection, vscale(n, 2.0f * state->cosView)));
    const Blur blur = blurSetup(state, rec, eval(state, &in.blur->blur), eval(state, &in.blur->limit),
                                eval(state, &in.blur->samples), rec->reflectionCap);
    scaleRGB(rec->rayWeight, 1.0f / static_cast<float>(blur.samples));

    const bool traceOn = state->optionsRecord && state->optionsRecord->traceEnabled;
    const int32_t limit = std::min(in.reflectionLimit, rec->reflectionCap);
    const bool trace = traceOn && !in.hideSource && traceDepth(state) < limit;
    const bool connected = !trace && in.reflectedColor && isConnected(state, in.reflectedColor);
    if (!trace && !connected && !in.environmentFallback) return {};

    TraceOutputsGuard outputs(rec);
    xrColor sum{}, auxSum{};
    const int traced = forEachSample(state, blur, mirror, 1.0f, [&](const xrVector &d) {
        clearTraceOutputs(state, rec);
        xrColor col{};
        if (trace) {
            xr_trace_reflection(&col, state, &d);
        } else if (connected) {
            // The connected colour (an environment texture) looks along the
            // sample direction; with several samples its cached result must
            // not be reused.
            const xrVector saved = state->rayDirection;
            state->rayDirection = d;
            if (blur.samples > 1) xr_flush_cache(state);
            col = eval(state, in.reflectedColor);
            state->rayDirection = saved;
        } else {
            col = environmentLookup(state, d, false);
        }
        addTo(sum, col);
        addTo(auxSum, rec->auxColor);
    });
    if (connected && blur.samples > 1) xr_flush_cache(state);
    if (traced > 1) sum = scale(sum, 1.0f / static_cast<float>(traced));
    if (in.auxAverage) *in.auxAverage = traced > 0 ? scale(auxSum, 1.0f / static_cast<float>(traced)) : auxSum;
    mulRGBInPlace(sum, in.weight);
    return sum;
}

float lightShadowFraction(xrState *state, BaseStateRecord *rec) {
    Shading sh;
    sh.state = state;
    sh.rec = rec;
    sh.pm = {0, 1, 1, kPassShadow};
    float fraction = 0.0f;
    lightLoop(sh, nullptr, nullptr, fraction);
    return fraction;
}

float areaCosine(const xrVector &point, const xrVector &normal, const AreaShape *shape) {
    xrVector v[4];
    for (int i = 0; i < 4; ++i) v[i] = normalize(vsub(shape->corners[i], point));
    float sum = 0.0f;
    for (int i = 0; i < 4; ++i) {
        const xrVector &a = v[i];
        const xrVector &b = v[(i + 1) % 4];
        const xrVector x = cross(a, b);
        const float len = length(x);
        if (len <= 0.0f) continue;
        sum += std::fabs(std::acos(std::clamp(dot(a, b), -1.0f, 1.0f))) * dot(normal, x) / len;
    }
    return 5.0f * sum;
}

xrVector areaDirection(xrState *state, const xrVector &point, const xrVector &dir, const AreaShape *shape,
                       xrTag lightInstance) {
    const xrVector unit = normalize(dir);
    float m[16];
    if (xr_query(kQueryLightMatrix, state, lightInstance, m)) {
        xrVector p, d;
        xr_point_transform(&p, &point, m);
        xr_vector_transform(&d, &dir, m);
        if (std::fabs(d.z) >= 1e-5f) {
            const float t = -p.z / d.z;
            if (t > 0.0f) {
                const float x = p.x + t * d.x, y = p.y + t * d.y;
                if (std::fabs(x) < 1.0f && std::fabs(y) < 1.0f) return unit;
            }
        }
    }
    xrVector best = unit;
    float bestDot = -1.0f;
    for (int i = 0; i < 4; ++i) {
        xrVector e = vsub(shape->corners[(i + 1) % 4], shape->corners[i]);
        const float len = length(e);
        if (len > 1e-5f) e = vscale(e, 1.0f / len);
        const xrVector w = vsub(shape->corners[i], point);
        const float a = dot(w, e), b = dot(dir, w), c = dot(dir, e);
        float s = 0.0f;
        if (b - c * a != 0.0f) s = std::max((dot(w, w) * c - b * a) / (b - c * a), 0.0f);
        s = std::min(s, len);
        const xrVector q = normalize(vadd(w, vscale(e, s)));
        const float qd = dot(q, unit);
        if (qd > bestDot) {
            bestDot = qd;
            best = q;
        }
    }
    return best;
}

// ---------------------------------------------------------------------------
// The pipeline.
xrBoolean shadeSurface(const char *shader, void *resultPtr, xrState *state, const SurfaceBlock &block,
                       SpecularModel *model) {
    auto *result = static_cast<MaterialResult *>(resultPtr);
    const CoreRefs &core = block.core;
    const Evaluator ev(state);
    BaseStateRecord *rec = stateRecord(state);
    if (!rec) {
        xr_warning("%s(): Internal state error.", shader);
        return 0;
    }

    // The normal and view cosine are restored on every way out.
    struct NormalGuard {
        xrState *s;
        xrVector n;
        float cv;
        ~NormalGuard() {
            s->shadingNormal = n;
            s->cosView = cv;
        }
    } normalGuard{state, state->shadingNormal, state->cosView};
    if (ev.connected(core.normalCamera)) correctNormal(state, core.normalCamera);

    SurfaceTerms *terms = block.terms;
    Shading sh;
    sh.state = state;
    sh.rec = rec;
    sh.hideSource = ev(core.hideSource);
    if (state->rayKind == xrRAY_SHADOW) {
        if (sh.hideSource) result->outTransparency = {1.0f, 1.0f, 1.0f, 1.0f};
        else result->outTransparency = terms ? terms->transparency(sh) : ev(core.transparency);
        return 1;
    }

    if (state->environmentShader == 0 && state->cameraRecord)
        state->environmentShader = state->cameraRecord->cameraEnvShader;
    sh.pm = passMask(state, rec->passMode);
    zeroBlock<sizeof *result>(result);
    if (!terms) sh.color = ev(core.color);
    sh.diffuse = ev(core.diffuse);
    sh.transparency = terms ? terms->transparency(sh) : ev(core.transparency);
    sh.translucence = ev(core.translucence);
    if (sh.translucence != 0.0f) {
        sh.translucenceFocus = ev(core.translucenceFocus);
        sh.translucenceDepth = ev(core.translucenceDepth);
    }
    sh.glowIntensity = ev(core.glowIntensity);
    sh.highlightGlow = sh.glowIntensity;
    sh.refractions = ev(core.refractions);
    const PassMask &pm = sh.pm;
    if (terms) model = nullptr;
    const bool glossy = (model || terms) && pm.has(kPassSpecular | kPassSpecularNoShadow | kPassReflection);
    if (terms) terms->prepare(sh);
    else if (glossy) model->prepare(sh);

    // Lights.
    PassSums lit;
    float shadowFraction = 0.0f;
    if (pm.needLights) lit = lightLoop(sh, glossy ? model : nullptr, terms, shadowFraction);
    xrColor base = sh.color;
    if (terms) {
        base = terms->finishDiffuse(sh, lit);
    } else {
        mulRGBInPlace(lit.diffuse, sh.color);
        mulRGBInPlace(lit.diffuseNoShadow, sh.color);
    }
    const xrColor specularColor = glossy && model ? ev(&model->head->specularColor) : xrColor{};
    if (glossy && model) {
        xrColor k = specularColor;
        mulRGBInPlace(k, model->specularTint(sh));
        mulRGBInPlace(lit.specular, k);
        mulRGBInPlace(lit.specularNoShadow, k);
    }

    // Ambient, incandescence, indirect light, scatter.
    xrColor ambient{}, incandescence{}, irradiance{}, scatter{};
    if (pm.has(kPassAmbient)) ambient = terms ? terms->ambient(sh) : mul(sh.color, ev(core.ambientColor));
    if (pm.has(kPassIncandescence)) incandescence = terms ? terms->incandescence(sh) : ev(core.incandescence);
    if (pm.has(kPassIrradiance)) irradiance = irradianceTerm(sh, core, base);
    // Without a radius and samples the scatter term is zero: not asked for.
    if (pm.has(kPassScatter) && block.scatter && ev(&block.scatter->scatterRadius) > 0.0f &&
        ev(&block.scatter->scatterSamples) >= 1)
        scatter = scatterTerm(sh, core, block.scatter);

    // Transparency and refraction.
    xrColor refraction{};
    transparencyStep(sh, core, block.refractionBlur, result->outTransparency, refraction);

    // Reflection.
    xrColor reflection{};
    if (terms && pm.has(kPassReflection)) {
        reflection = terms->reflection(sh);
    } else if (glossy && pm.has(kPassReflection)) {
        const ReflectionHead *head = model->head;
        float r = std::min(ev(&head->reflectivity), 1.0f);
        if (r > 0.0f && !blackRGB(specularColor)) {
            r *= model->reflectivityFactor(sh);
            ReflectionInputs in;
            in.weight = scale(specularColor, r);
            in.weight.a = 0.0f;
            in.reflectionLimit = ev(&head->reflectionLimit);
            in.reflectedColor = &head->reflectedColor;
            in.blur = model->reflectionBlur;
            in.hideSource = sh.hideSource;
            if (r > 0.0f) reflection = reflectionStep(sh, in);
        }
    }

    // Composition.
    rec->refractionsOn = sh.refractions;
    if (rec->passMode == 2) {
        for (float &m : result->outMatteOpacity) m = shadowFraction;
        return 1;
    }
    const int32_t matteMode = ev(core.matteOpacityMode);
    if (matteMode == 0) {
        for (float &m : result->outMatteOpacity) m = -1000000.0f;
        return 1;
    }
    if (matteMode == 1) {
        const float mo = ev(core.matteOpacity);
        for (float &m : result->outMatteOpacity) m = mo;
    } else if (matteMode == 2) {
        const float mo = ev(core.matteOpacity);
        const xrColor &t = result->outTransparency;
        result->outMatteOpacity[0] = (1.0f - t.r) * mo;
        result->outMatteOpacity[1] = (1.0f - t.g) * mo;
        result->outMatteOpacity[2] = (1.0f - t.b) * mo;
    }

    xrColor col{};
    if (pm.has(kPassDiffuse)) col = lit.diffuse;
    else if (pm.has(kPassDiffuseNoShadow)) col = lit.diffuseNoShadow;
    const float alpha = col.a;
    if (pm.has(kPassIrradiance)) addTo(col, irradiance);
    if (pm.has(kPassScatter)) addTo(col, scatter);
    if (pm.has(kPassAmbient)) addTo(col, ambient);
    mulRGBInPlace(col, oneMinusRGB(sh.transparency));
    if (pm.has(kPassIncandescence)) addTo(col, incandescence);
    col.a = alpha;
    xrColor glow = scale(col, sh.glowIntensity);
    if (glossy) {
        xrColor highlight{};
        if (pm.has(kPassSpecular)) highlight = lit.specular;
        else if (pm.has(kPassSpecularNoShadow)) highlight = lit.specularNoShadow;
        if (pm.has(kPassReflection)) addTo(highlight, reflection);
        highlight.a = 0.0f;
        addTo(col, highlight);
        addScaled(glow, highlight, sh.highlightGlow);
    }
    if (sh.hideSource) col = {};
    else if (pm.has(kPassRefraction)) {
        col.r += refraction.r;
        col.g += refraction.g;
        col.b += refraction.b;
    }
    result->outColor = col;
    result->outGlowColor[0] = glow.r;
    result->outGlowColor[1] = glow.g;
    result->outGlowColor[2] = glow.b;

    if (pm.has(kPassAmbient)) result->ambientPass = ambient;
    if (pm.has(kPassIncandescence)) result->incandescencePass = incandescence;
    if (pm.has(kPassIrradiance)) result->irradiancePass = irradiance;
    if (pm.has(kPassDiffuse)) result->diffusePass = lit.diffuse;
    if (pm.has(kPassDiffuseNoShadow)) result->diffuseNoShadowPass = lit.diffuseNoShadow;
    if (pm.has(kPassShadow))
        for (float &s : result->shadowPass) s = shadowFraction;
    if (glossy && pm.has(kPassSpecular)) result->specularPass = lit.specular;
    if (glossy && pm.has(kPassSpecularNoShadow)) result->specularNoShadowPass = lit.specularNoShadow;
    if (glossy && pm.has(kPassReflection)) result->reflectionPass = reflection;
    if (pm.has(kPassRefraction)) result->refractionPass = refraction;
    if (pm.has(kPassScatter)) setScatterPass(result, scatter);
    setOutOpacity(result, oneMinusRGB(sh.transparency));
    return 1;
}

}  // namespace veko::surface

// ---------------------------------------------------------------------------
// veko_lambert
using veko::surface::LambertParams;

VEKO_EXPORT void veko_lambert_init(xrState *, void *params, xrBoolean *initRequest) {
    // Per instance: the scatter term's point clouds live until its exit.
    if (!params && initRequest) *initRequest = 1;
}

VEKO_EXPORT void veko_lambert_exit(xrState *state, void *params) {
    if (params) veko::surface::releaseScatter(state);
}

VEKO_EXPORT xrBoolean veko_lambert(void *result, xrState *state, void *params) {
    auto *p = static_cast<LambertParams *>(params);
    veko::surface::SurfaceBlock block;
    block.core = veko::surface::coreRefs(&p->core);
    block.refractionBlur = &p->refraction;
    block.scatter = &p->scatter;
    return veko::surface::shadeSurface("veko_lambert", result, state, block, nullptr);
}
