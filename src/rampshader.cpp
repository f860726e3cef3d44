// veko_rampshader: a surface model whose colour, transparency,
// incandescence, specular roll-off, reflectivity and environment are ramps
// indexed by the facing ratio, the light angle, the lit brightness or the
// highlight angle. It runs the shared surface pipeline (shading.h) with its
// own terms: a forward-scattering diffuse term, a colour stage that picks
// the colour from the ramp after the light walk, a Blinn-shaped highlight
// tinted by a ramp, an optional shadow colour and a ramp-driven reflection.
#include <algorithm>
#include <cmath>

#include "rampcurve.h"
#include "shading.h"
#include "vekobase.h"

namespace {

using namespace veko;
using namespace veko::surface;

struct RampShaderParams {
    int32_t refractionLimit;                   // 0
    float refractiveIndex;                     // 1
    int32_t refractions;                       // 2
    float diffuse;                             // 3
    float forwardScatter;                      // 4
    Array<ColorRampEntry> colorRamp;           // 5-12
    int32_t colorInput;                        // 13
    Array<ColorRampEntry> transparencyRamp;    // 14-21
    xrColor ambientColor;                      // 22-25
    Array<ColorRampEntry> incandescenceRamp;   // 26-33
    float translucence;                        // 34
    float translucenceFocus;                   // 35
    float translucenceDepth;                   // 36
    int32_t unused37;                          // 37
    float glowIntensity;                       // 38
    float highlightGlow;                       // 39
    int32_t hideSource;                        // 40
    float surfaceThickness;                    // 41
    int32_t unused42;                          // 42
    float fadeDistance;                        // 43
    float lightAbsorbance;                     // 44
    int32_t chromaticAberration;               // 45
    float eccentricity;                        // 46
    float specularity;                         // 47
    Array<ScalarRampEntry> specularRollOffRamp;  // 48-52
    int32_t reflectionLimit;                   // 53
    Array<ColorRampEntry> specularColorRamp;   // 54-61
    Array<ScalarRampEntry> reflectivityRamp;   // 62-66
    Array<ColorRampEntry> environmentRamp;     // 67-74
    xrColor reflectedColor;                    // 75-78
    float eyeSpecularity;                      // 79
    xrVector normalCamera;                     // 80-82
    int32_t matteOpacityMode;                  // 83
    float matteOpacity;                        // 84
    xrColor irradiance;                        // 85-88
    xrColor irradianceColor;                   // 89-92
    BlurParams refraction;                     // 93-95
    BlurParams reflection;                     // 96-98
    int32_t shadowColorMode;                   // 99
    xrColor shadowColor;                       // 100-103
    float shadowThreshold;                     // 104
};
static_assert(sizeof(RampShaderParams) == 105 * 4);
static_assert(offsetof(RampShaderParams, colorInput) == 13 * 4);
static_assert(offsetof(RampShaderParams, ambientColor) == 22 * 4);
static_assert(offsetof(RampShaderParams, translucence) == 34 * 4);
static_assert(offsetof(RampShaderParams, glowIntensity) == 38 * 4);
static_assert(offsetof(RampShaderParams, eccentricity) == 46 * 4);
static_assert(offsetof(RampShaderParams, reflectionLimit) == 53 * 4);
static_assert(offsetof(RampShaderParams, reflectivityRamp) == 62 * 4);
static_assert(offsetof(RampShaderParams, reflectedColor) == 75 * 4);
static_assert(offsetof(RampShaderParams, normalCamera) == 80 * 4);
static_assert(offsetof(RampShaderParams, irradianceColor) == 89 * 4);
static_assert(offsetof(RampShaderParams, refraction) == 93 * 4);
static_assert(offsetof(RampShaderParams, shadowColorMode) == 99 * 4);

enum ColorInput : int32_t { kLightAngle = 0, kFacingRatio = 1, kBrightness = 2, kNormalizedBrightness = 3 };

float rgbSum(const xrColor &c) { return c.r + c.g + c.b; }

// The forward-scattering diffuse factor for cosine c > 0 and the
// light-to-view alignment p in [0, 1]: plain c x diffuse without forward
// scatter; with scatter g - 1 < 0 light shining towards the viewer counts
// more.
float diffuseFactor(float c, float p, float diffuse, float forwardScatter) {
    if (!(c > 0.0f)) return 0.0f;
    if (forwardScatter < 0.0001f) return c * diffuse;
    const float g = forwardScatter - 1.0f;
    return -(std::pow(std::max(p, 0.0f), -1.0f / g) * (g + 1.0f) + g * g) / g * c * diffuse;
}

class RampTerms final : public SurfaceTerms {
public:
    RampTerms(xrState *state, const RampShaderParams *p) : p_(p) {
        loadRamp(state, &p->colorRamp, colorRamp_);
        loadRamp(state, &p->transparencyRamp, transparencyRamp_);
    }

    xrColor transparency(const Shading &sh) override { return rampColor(transparencyRamp_, facing(sh)); }

    void prepare(Shading &sh) override {
        xrState *state = sh.state;
        F_ = facing(sh);
        forwardScatter_ = std::min(eval(state, &p_->forwardScatter), 0.9999f);
        colorInput_ = eval(state, &p_->colorInput);
        shadowColorMode_ = eval(state, &p_->shadowColorMode);
        d_ = blinnSpread(eval(state, &p_->eccentricity));
        specularity_ = eval(state, &p_->specularity);
        RampCurve rollOff;
        loadRamp(state, &p_->specularRollOffRamp, rollOff);
        rollOff_ = rampValue(rollOff, F_);
        if (state->rayKind == xrRAY_EYE) specularity_ *= eval(state, &p_->eyeSpecularity);
        sh.highlightGlow = eval(state, &p_->highlightGlow);
        const xrVector &n = state->shadingNormal;
        mirror_ = vsub(state->rayDirection, vscale(n, 2.0f * state->cosView));
        // The highlight takes its colour from the specular colour ramp; a
        // block without one falls back to the colour ramp.
        loadRamp(state, &p_->specularColorRamp, highlightRamp_);
        if (highlightRamp_.count <= 0) highlightRamp_ = colorRamp_;
    }

    void weighLightRays(const Shading &sh) override {
        const float g = std::max(sh.glowIntensity, sh.highlightGlow);
        if (g > 1.0f) scaleRGB(sh.rec->rayWeight, g);
    }

    void sample(const Shading &sh, const xrColor &q, const xrVector &L, float c, PassSums &sums) override {
        xrState *state = sh.state;
        const BaseStateRecord *rec = sh.rec;
        const auto *shape = static_cast<const AreaShape *>(rec->lightShapeRef);
        if (rec->backSide) c = -c;
        if (shape) c = areaCosine(state->hitPoint, state->shadingNormal, shape);
        const xrColor &u = rec->lightUnshadowed;
        const float l = luminance(u);
        const bool diffusePasses = sh.pm.has(kPassDiffuse | kPassDiffuseNoShadow);

        float f = rec->lightAmbient ? 1.0f : 0.0f;
        if (rec->lightDiffuse && diffusePasses) {
            const float p = shape ? areaCosine(state->hitPoint, state->shadingNormal, shape)
                                  : (std::clamp(dot(state->rayDirection, L), -1.0f, 1.0f) + 1.0f) * 0.5f;
            f += diffuseFactor(c, p, sh.diffuse, forwardScatter_);
            const float t = -11.5f * sh.translucenceDepth;
            if (sh.translucence != 0.0f && c > t) f += translucenceTerm(sh, c, L);
        }
        if (rec->lightDiffuse && sh.pm.has(kPassShadow) && c > 0.0f) sums.shadowed += l * rec->lightShadowWeight;
        sums.lit += l;

        if (diffusePasses) accumulateColour(sh, q, u, l, c, f, sums);
        if (rec->lightSpecular && sh.pm.has(kPassSpecular | kPassSpecularNoShadow))
            accumulateHighlight(sh, q, u, L, c, shape, sums);
    }

    xrColor finishDiffuse(const Shading &sh, PassSums &total) override {
        const float S = total.lit;
        if (S > 1e-5f) total.diffuse.a /= S;
        xrColor base = rampColor(colorRamp_, F_);
        if (sh.pm.has(kPassDiffuse | kPassDiffuseNoShadow)) {
            switch (colorInput_) {
            case kBrightness:
                total.diffuse = rampAt(total.diffuse, total.diffuse.r / 3.0f);
                total.diffuseNoShadow = rampAt(total.diffuseNoShadow, total.diffuseNoShadow.r / 3.0f);
                base = total.diffuse;
                break;
            case kNormalizedBrightness:
                total.diffuse = rampAt(total.diffuse, normalisedBrightness(total.diffuse));
                total.diffuseNoShadow = rampAt(total.diffuseNoShadow, normalisedBrightness(total.diffuseNoShadow));
                base = total.diffuse;
                break;
            default: break;  // built per light
            }
            applyShadowColour(sh, total.diffuse);
        }
        return base;
    }

    xrColor ambient(const Shading &sh) override {
        const xrColor avg = scale(add(rampColor(colorRamp_, 0.5f), rampColor(colorRamp_, 1.0f)), 0.5f);
        return mul(eval(sh.state, &p_->ambientColor), avg);
    }

    xrColor incandescence(const Shading &sh) override {
        RampCurve ramp;
        loadRamp(sh.state, &p_->incandescenceRamp, ramp);
        return rampColor(ramp, F_);
    }

    xrColor reflection(const Shading &sh) override {
        xrState *state = sh.state;
        RampCurve ramp;
        loadRamp(state, &p_->reflectivityRamp, ramp);
        const float r = rampValue(ramp, F_);
        if (!(r > 0.0f)) return {};
        ReflectionInputs in;
        in.weight = {r, r, r, 0.0f};
        in.reflectionLimit = eval(state, &p_->reflectionLimit);
        in.reflectedColor = &p_->reflectedColor;
        in.blur = &p_->reflection;
        in.hideSource = 0;
        xrColor traced = reflectionStep(sh, in);
        RampCurve env;
        loadRamp(state, &p_->environmentRamp, env);
        const float y = normalize(mirror_).y;
        addScaled(traced, rampColor(env, (y + 1.0f) * 0.5f), r);
        traced.a = 0.0f;
        return traced;
    }

private:
    static float facing(const Shading &sh) { return -sh.state->cosView; }

    // The colour ramp at x, keeping the total's alpha (its shadow amount).
    xrColor rampAt(const xrColor &total, float x) const {
        xrColor c = rampColor(colorRamp_, x);
        c.a = total.a;
        return c;
    }

    // Mode 3 keeps the weighted brightness in r and the brightness in g.
    static float normalisedBrightness(const xrColor &t) { return t.g > 1e-5f ? t.r / t.g : t.r; }

    void accumulateColour(const Shading &sh, xrColor q, xrColor u, float l, float c, float f, PassSums &sums) const {
        const BaseStateRecord *rec = sh.rec;
        if (shadowColorMode_ != 0 && sh.pm.has(kPassDiffuse)) {
            // The light's shadowed part is taken out of the diffuse light and
            // kept as the shadow amount, for the shadow colour to replace.
            float k = rec->lightShadowWeight;
            if (c <= 0.15f && sh.translucence <= 0.0f) k *= c > 0.05f ? 10.0f * c - 0.5f : 0.0f;
            sums.diffuse.a += l * k;
            if (shadowColorMode_ != 2) {
                for (float *ch : {&q.r, &q.g, &q.b}) *ch = (1.0f - k) * *ch + l * k;
            } else {
                q = {l, l, l, q.a};
            }
        }
        if (shadowColorMode_ == 2 && sh.pm.has(kPassDiffuseNoShadow)) u = {l, l, l, u.a};

        switch (colorInput_) {
        case kBrightness:
            if (sh.pm.has(kPassDiffuse)) sums.diffuse.r += rgbSum(q) * f;
            if (sh.pm.has(kPassDiffuseNoShadow)) sums.diffuseNoShadow.r += rgbSum(u) * f;
            break;
        case kNormalizedBrightness:
            if (sh.pm.has(kPassDiffuse)) {
                sums.diffuse.g += rgbSum(q);
                sums.diffuse.r += rgbSum(q) * f;
            }
            if (sh.pm.has(kPassDiffuseNoShadow)) {
                sums.diffuseNoShadow.g += rgbSum(u);
                sums.diffuseNoShadow.r += rgbSum(u) * f;
            }
            break;
        default: {
            const xrColor v = rampColor(colorRamp_, colorInput_ == kLightAngle ? (c + 1.0f) * 0.5f : F_);
            if (sh.pm.has(kPassDiffuse)) addScaledRGB(sums.diffuse, mulRGB(v, q), f);
            if (sh.pm.has(kPassDiffuseNoShadow)) addScaledRGB(sums.diffuseNoShadow, mulRGB(v, u), f);
        }
        }
    }

    void accumulateHighlight(const Shading &sh, const xrColor &q, const xrColor &u, const xrVector &L, float c,
                             const AreaShape *shape, PassSums &sums) const {
        xrState *state = sh.state;
        xrVector dir = L;
        float cs = c;
        float k = 1.0f;
        if (shape) {
            // Towards the point of the rectangle nearest the mirror
            // direction, weighted by the light's form factor.
            dir = areaDirection(state, state->hitPoint, mirror_, shape, state->lightInstanceTag);
            cs = dot(dir, state->shadingNormal);
            k = c;
        }
        if (!(cs > 0.0f) || !(k > 0.0f)) return;
        float h = 0.0f;
        const float s = specularity_ * rollOff_ * blinnMicrofacet(state, dir, cs, d_, h) * k;
        if (!(s > 0.0f)) return;
        const float len = length(mirror_);
        const float rl = len > 0.0f ? dot(mirror_, dir) / len : 0.0f;
        const float x = (rl + 1.0f) * 0.5f;
        const xrColor tint = rampColor(highlightRamp_, x * x * x);
        if (sh.pm.has(kPassSpecular)) addScaledRGB(sums.specular, mulRGB(tint, q), s);
        if (sh.pm.has(kPassSpecularNoShadow)) addScaledRGB(sums.specularNoShadow, mulRGB(tint, u), s);
    }

    // Shadowed areas turn toward the shadow colour.
    void applyShadowColour(const Shading &sh, xrColor &total) const {
        if (shadowColorMode_ == 0) return;
        const float a = total.a;
        const float threshold = eval(sh.state, &p_->shadowThreshold);
        if (!(a > 1e-5f) || !(a > threshold)) return;
        const xrColor sc = eval(sh.state, &p_->shadowColor);
        if (shadowColorMode_ == 2 || a >= 1.0f) {
            total = {sc.r, sc.g, sc.b, 0.0f};
        } else {
            total = {a * sc.r + (1.0f - a) * total.r, a * sc.g + (1.0f - a) * total.g, a * sc.b + (1.0f - a) * total.b,
                     0.0f};
        }
    }

    const RampShaderParams *p_;
    RampCurve colorRamp_;
    RampCurve transparencyRamp_;
    RampCurve highlightRamp_;
    float F_ = 0.0f;
    float forwardScatter_ = 0.0f;
    int32_t colorInput_ = 0;
    int32_t shadowColorMode_ = 0;
    float d_ = 0.0f;
    float specularity_ = 0.0f;
    float rollOff_ = 0.0f;
    xrVector mirror_{};
};

CoreRefs rampCore(const RampShaderParams *p) {
    CoreRefs r;
    r.refractionLimit = &p->refractionLimit;
    r.refractiveIndex = &p->refractiveIndex;
    r.refractions = &p->refractions;
    r.diffuse = &p->diffuse;
    r.translucence = &p->translucence;
    r.translucenceFocus = &p->translucenceFocus;
    r.translucenceDepth = &p->translucenceDepth;
    r.glowIntensity = &p->glowIntensity;
    r.hideSource = &p->hideSource;
    r.surfaceThickness = &p->surfaceThickness;
    r.fadeDistance = &p->fadeDistance;
    r.lightAbsorbance = &p->lightAbsorbance;
    r.chromaticAberration = &p->chromaticAberration;
    r.normalCamera = &p->normalCamera;
    r.matteOpacityMode = &p->matteOpacityMode;
    r.matteOpacity = &p->matteOpacity;
    r.irradiance = &p->irradiance;
    r.irradianceColor = &p->irradianceColor;
    return r;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_rampshader(void *result, xrState *state, void *params) {
    const auto *p = static_cast<const RampShaderParams *>(params);
    if (!stateRecord(state)) {
        xr_warning("veko_rampshader(): Internal state error.");
        return 0;
    }
    // The terms read their ramps at the facing ratio of the corrected normal
    // when the pipeline asks for them.
    RampTerms terms(state, p);

    SurfaceBlock block;
    block.core = rampCore(p);
    block.refractionBlur = &p->refraction;
    block.terms = &terms;
    return shadeSurface("veko_rampshader", result, state, block, nullptr);
}
