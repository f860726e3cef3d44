// The surface shading pipeline shared by every surface model: parameter
// blocks, the render-pass mask, the light loop with its two-sided passes,
// irradiance, transparency with traced refraction, traced reflection and the
// composition into MaterialResult.
//
// veko_lambert runs the pipeline with no specular model. The glossy models
// (specular.cpp) hand in a SpecularModel: its highlight() is called inside
// the light loop for every light sample, and the pipeline then adds the
// specular pass outputs and the traced reflection weighted by the model's
// reflectivity factor. Models that replace the diffuse term (ramp shader)
// use the pieces below directly.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "vekobase.h"

namespace veko::surface {

// ---------------------------------------------------------------------------
// Render-pass components (bits of PassMask::mask).
enum : int32_t {
    kPassAmbient = 0x1,
    kPassIncandescence = 0x2,
    kPassIrradiance = 0x4,
    kPassDiffuse = 0x8,
    kPassDiffuseNoShadow = 0x10,
    kPassShadow = 0x20,
    kPassSpecular = 0x40,
    kPassSpecularNoShadow = 0x80,
    kPassReflection = 0x100,
    kPassRefraction = 0x200,
    kPassScatter = 0x400,
};

// The components a surface shader computes for the record's passMode.
struct PassMask {
    int32_t mode;
    int32_t needLights;
    int32_t needShadows;
    int32_t mask;
    bool has(int32_t bits) const { return (mask & bits) != 0; }
};
static_assert(sizeof(PassMask) == 16);

// True when xr_query code 142 succeeds with a nonzero answer.
bool query142(xrState *state);

// Maps passMode 0..6 to its mask (mode 6 asks the host, query 142); any
// other mode computes nothing.
inline PassMask passMask(xrState *state, int32_t passMode) {
    switch (passMode) {
    case 0: return {0, 1, 1, 0x74F};
    case 1: return {1, 1, 0, 0x797};
    case 2: return {2, 1, 1, 0x20};
    case 3: return {3, 0, 0, 0x1};
    case 4: return {4, 1, 0, 0x617};
    case 5: return {5, 1, 0, 0x180};
    case 6: {
        const bool full = query142(state);
        return {6, full ? 1 : 0, 1, full ? 0x74F : 0x304};
    }
    default: return {passMode, 0, 0, 0};
    }
}

// ---------------------------------------------------------------------------
// Parameter blocks. Every surface model carries the same core (words 0-43
// of the diffuse block), the refraction-blur words and the scatter words;
// the glossy models put a head before the core and reflection words after.
struct SurfaceCore {
    int32_t refractionLimit;      // 0
    float refractiveIndex;        // 1
    int32_t refractions;          // 2
    float diffuse;                // 3
    xrColor color;                // 4-7
    xrColor transparency;         // 8-11
    xrColor ambientColor;         // 12-15
    xrColor incandescence;        // 16-19
    float translucence;           // 20
    float translucenceFocus;      // 21
    float translucenceDepth;      // 22
    int32_t unused23;             // 23
    float glowIntensity;          // 24
    int32_t hideSource;           // 25
    float surfaceThickness;       // 26
    int32_t unused27;             // 27
    float fadeDistance;           // 28
    float lightAbsorbance;        // 29
    int32_t chromaticAberration;  // 30
    xrVector normalCamera;        // 31-33
    int32_t matteOpacityMode;     // 34
    float matteOpacity;           // 35
    xrColor irradiance;           // 36-39
    xrColor irradianceColor;      // 40-43
};
static_assert(sizeof(SurfaceCore) == 44 * 4);
static_assert(offsetof(SurfaceCore, glowIntensity) == 24 * 4);
static_assert(offsetof(SurfaceCore, fadeDistance) == 28 * 4);
static_assert(offsetof(SurfaceCore, normalCamera) == 31 * 4);
static_assert(offsetof(SurfaceCore, irradianceColor) == 40 * 4);

// Where a shader's block keeps the pipeline's common words. The diffuse
// block and the glossy blocks hold them as one SurfaceCore; other models
// (ramp shader) spread them over their own layout. The colour, transparency,
// ambient and incandescence words may be null for a model that drives those
// terms itself (SurfaceTerms).
struct CoreRefs {
    const int32_t *refractionLimit = nullptr;
    const float *refractiveIndex = nullptr;
    const int32_t *refractions = nullptr;
    const float *diffuse = nullptr;
    const xrColor *color = nullptr;
    const xrColor *transparency = nullptr;
    const xrColor *ambientColor = nullptr;
    const xrColor *incandescence = nullptr;
    const float *translucence = nullptr;
    const float *translucenceFocus = nullptr;
    const float *translucenceDepth = nullptr;
    const float *glowIntensity = nullptr;
    const int32_t *hideSource = nullptr;
    const float *surfaceThickness = nullptr;
    const float *fadeDistance = nullptr;
    const float *lightAbsorbance = nullptr;
    const int32_t *chromaticAberration = nullptr;
    const xrVector *normalCamera = nullptr;
    const int32_t *matteOpacityMode = nullptr;
    const float *matteOpacity = nullptr;
    const xrColor *irradiance = nullptr;
    const xrColor *irradianceColor = nullptr;
};

inline CoreRefs coreRefs(const SurfaceCore *c) {
    CoreRefs r;
    r.refractionLimit = &c->refractionLimit;
    r.refractiveIndex = &c->refractiveIndex;
    r.refractions = &c->refractions;
    r.diffuse = &c->diffuse;
    r.color = &c->color;
    r.transparency = &c->transparency;
    r.ambientColor = &c->ambientColor;
    r.incandescence = &c->incandescence;
    r.translucence = &c->translucence;
    r.translucenceFocus = &c->translucenceFocus;
    r.translucenceDepth = &c->translucenceDepth;
    r.glowIntensity = &c->glowIntensity;
    r.hideSource = &c->hideSource;
    r.surfaceThickness = &c->surfaceThickness;
    r.fadeDistance = &c->fadeDistance;
    r.lightAbsorbance = &c->lightAbsorbance;
    r.chromaticAberration = &c->chromaticAberration;
    r.normalCamera = &c->normalCamera;
    r.matteOpacityMode = &c->matteOpacityMode;
    r.matteOpacity = &c->matteOpacity;
    r.irradiance = &c->irradiance;
    r.irradianceColor = &c->irradianceColor;
    return r;
}

// Blurred refraction or reflection: cone 0..1, depth limit, rays per sample.
struct BlurParams {
    float blur;
    int32_t limit;
    int32_t samples;
};
static_assert(sizeof(BlurParams) == 3 * 4);

// Subsurface-scattering inputs, handed unchanged to the scatter term.
struct ScatterParams {
    xrColor scatterColor;
    float scatterRadius;
    int32_t scatterSamples;
    int32_t scatterFalloff;
    int32_t scatterDepthLimit;
    int32_t scatterCache;
};
static_assert(sizeof(ScatterParams) == 9 * 4);

// veko_lambert's block.
struct LambertParams {
    SurfaceCore core;          // 0-43
    BlurParams refraction;     // 44-46
    ScatterParams scatter;     // 47-55
};
static_assert(sizeof(LambertParams) == 56 * 4);
static_assert(offsetof(LambertParams, scatter) == 47 * 4);

// The reflection words that end the head of every glossy model.
struct ReflectionHead {
    int32_t reflectionLimit;       // +0
    xrColor specularColor;         // +1..4
    float reflectivity;            // +5
    xrColor reflectedColor;        // +6..9
    float reflectionSpecularity;   // +10
};
static_assert(sizeof(ReflectionHead) == 11 * 4);

// MaterialResult words 56-59 (scatter pass) and 60-62 (opacity).
inline void setScatterPass(MaterialResult *r, const xrColor &c) {
    std::memcpy(&r->words56to63[0], &c, sizeof c);
}
inline void setOutOpacity(MaterialResult *r, const xrColor &c) {
    std::memcpy(&r->words56to63[4], &c, 3 * sizeof(float));
}
inline xrColor scatterPass(const MaterialResult *r) {
    xrColor c;
    std::memcpy(&c, &r->words56to63[0], sizeof c);
    return c;
}
inline xrColor outOpacity(const MaterialResult *r) {
    xrColor c{};
    std::memcpy(&c, &r->words56to63[4], 3 * sizeof(float));
    return c;
}

// ---------------------------------------------------------------------------
// Per-call shading context: the state, its record, the pass mask and the
// evaluated common inputs.
struct Shading {
    xrState *state = nullptr;
    BaseStateRecord *rec = nullptr;
    PassMask pm{};
    xrColor color{};
    xrColor transparency{};
    float diffuse = 0.0f;
    float translucence = 0.0f;
    float translucenceFocus = 0.0f;
    float translucenceDepth = 0.0f;
    float glowIntensity = 0.0f;
    float highlightGlow = 0.0f;  // glow factor of specular and reflection
    int32_t hideSource = 0;
    int32_t refractions = 0;
};

// Sums of the light loop: per pass, then averaged per pass and summed over
// the lights. The diffuse sums' alpha is free for a model's own use (the
// ramp shader keeps its shadow amount there).
struct PassSums {
    xrColor diffuse{};
    xrColor diffuseNoShadow{};
    xrColor specular{};
    xrColor specularNoShadow{};
    float lit = 0.0f;       // S: luminance of the unshadowed light
    float shadowed = 0.0f;  // W: its shadowed part
};

// A model that replaces the diffuse and specular terms and drives the
// transparency, ambient, incandescence and reflection itself (ramp shader).
// The pipeline calls these in place of its own steps; everything else
// (normal, light walk, irradiance, refraction, composition) stays shared.
class SurfaceTerms {
public:
    // Transparency of the surface; also answers shadow rays.
    virtual xrColor transparency(const Shading &sh) = 0;
    // Evaluates the model's words once the pass mask is known.
    virtual void prepare(Shading &sh) = 0;
    // Weighs the ray weight for the light loop (inside its guard).
    virtual void weighLightRays(const Shading &sh) = 0;
    // One light sample (colour Q, direction L, cosine c as the host gave
    // it) into the pass sums, diffuse, shadow and specular.
    virtual void sample(const Shading &sh, const xrColor &q, const xrVector &L, float c, PassSums &sums) = 0;
    // Turns the light totals into the diffuse totals; returns the base colour
    // that scales the indirect light.
    virtual xrColor finishDiffuse(const Shading &sh, PassSums &total) = 0;
    virtual xrColor ambient(const Shading &sh) = 0;
    virtual xrColor incandescence(const Shading &sh) = 0;
    // Reflection component (mask 0x100).
    virtual xrColor reflection(const Shading &sh) = 0;

protected:
    ~SurfaceTerms() = default;
};

// A glossy model's additions to the pipeline.
class SpecularModel {
public:
    // Evaluates the model's own parameters; called once per non-shadow call
    // when the mask holds a specular or reflection component.
    virtual void prepare(const Shading &sh) = 0;
    // Highlight value for a light sample: direction L (unit, towards the
    // light) and cosine c > 0 with the current shading normal.
    virtual float highlight(const Shading &sh, const xrVector &L, float c) const = 0;
    // Factor of the clamped reflectivity (roll-off, Fresnel); 1 by default.
    virtual float reflectivityFactor(const Shading &) const { return 1.0f; }
    // Tint of the specular totals after specularColor; white by default.
    virtual xrColor specularTint(const Shading &) const { return {1.0f, 1.0f, 1.0f, 1.0f}; }

    // Filled by the shader before the call: its head's reflection words and
    // its reflection-blur words.
    const ReflectionHead *head = nullptr;
    const BlurParams *reflectionBlur = nullptr;

protected:
    ~SpecularModel() = default;
};

// Where a shader's block keeps the pipeline's words.
struct SurfaceBlock {
    CoreRefs core;
    const BlurParams *refractionBlur = nullptr;
    const ScatterParams *scatter = nullptr;  // null: no scatter term
    SurfaceTerms *terms = nullptr;           // null: the diffuse model
};

// Runs the whole pipeline for one surface sample. `shader` is the exported
// name used in messages. Returns 0 only when the per-ray record is missing.
xrBoolean shadeSurface(const char *shader, void *result, xrState *state, const SurfaceBlock &block,
                       SpecularModel *model);

// ---------------------------------------------------------------------------
// Blinn's microfacet highlight, shared by the Blinn model and the ramp
// shader. blinnSpread gives d = 1/(eccentricity^2 - 1), kept finite at
// eccentricity 1.
inline float blinnSpread(float eccentricity) {
    float e = eccentricity * eccentricity - 1.0f;
    if (std::fabs(e) < 1e-5f) e = 1e-5f;
    return 1.0f / e;
}

// Distribution times geometric term for the light direction L (unit) with
// cosine c, at the state's view direction, normal and cosView; `h` receives
// the cosine between view and half vector (for a roll-off). 0 when the
// configuration is degenerate.
inline float blinnMicrofacet(const xrState *state, const xrVector &L, float c, float d, float &h) {
    const xrVector &V = state->rayDirection;
    const xrVector H = normalize(vsub(L, V));
    h = -dot(V, H);
    const float n = dot(H, state->shadingNormal);
    const float v = -state->cosView;
    const float denom = n * n + d;
    if (!(h > 0.0f) || v == 0.0f || denom == 0.0f) return 0.0f;
    const float q = (d + 1.0f) / denom;
    float g;
    if (c > v) g = h > 2.0f * n * v ? 2.0f * n / h : 1.0f / v;
    else g = h > 2.0f * n * c ? 2.0f * n * c / (h * v) : 1.0f / v;
    return g * q * q;
}

// ---------------------------------------------------------------------------
// Pieces of the pipeline for models that replace parts of it.

// Replaces the shading normal by a connected `normalCamera`, pulls it above
// the geometric surface (0.0015) when it points below, and recomputes
// cosView. The caller saves and restores shadingNormal and cosView.
void correctNormal(xrState *state, const xrVector *normalCamera);

// Negates shadingNormal, geometricNormal and cosView (second lighting pass).
void flipNormals(xrState *state);

// Resets the record's light words (ambient 0, diffuse and specular 1, shadow
// weight 0, unshadowed colour white, no area shape, front side) before a
// light is sampled.
void resetLightWords(BaseStateRecord *rec);

// The translucence term for a light with cosine c and direction L.
float translucenceTerm(const Shading &sh, float c, const xrVector &L);

// Sample count and cone of a blurred ray: count 1 and cone 0 when sharp.
// `cap` is the record's refraction or reflection cap.
struct Blur {
    int samples = 1;
    float cone = 0.0f;
};
Blur blurSetup(xrState *state, const BaseStateRecord *rec, float blur, int32_t limit, int32_t samples,
               int32_t cap);

// Direction in the cone of size `cone` (1 - cos of the half-angle) around
// the unit direction `dir` for the sample pair (u, v).
xrVector coneDirection(const xrVector &dir, float cone, float u, float v);

// Keeps a traced direction on its side of the geometric normal: `side` +1
// for reflected rays (along the normal), -1 for refracted rays (against it).
xrVector keepSide(const xrVector &dir, const xrVector &ng, float side);

// Environment colour for direction `dir` when no ray may be traced: through
// the host with the reflect or refract depth raised by one while the host's
// limits allow, else by calling the environment shader directly.
xrColor environmentLookup(xrState *state, const xrVector &dir, bool refracted);

// Final-gather settings handed to xr_compute_avg_radiance: a size word (44),
// the ray count and ten further settings, the last two as bytes.
struct FinalGatherSettings {
    int32_t size;
    int32_t rays;
    int32_t settings[8];
    uint8_t flags[2];
    uint8_t pad[2];
};
static_assert(sizeof(FinalGatherSettings) == 44);

// Prepares a final-gather lookup at ray weight m: fills `out` from the
// instance's object block (or, reduced below fullSampleWeight, from the
// options) and divides the record's rayWeight by the ray count. Returns the
// settings to hand to the host, or null for the host's own. While final
// gathering is off only the object's settings are filled and the ray weight
// stays.
const FinalGatherSettings *prepareFinalGather(xrState *state, BaseStateRecord *rec, float m,
                                              FinalGatherSettings &out);

// Indirect light (mask 0x4), `base` the colour that scales it.
xrColor irradianceTerm(const Shading &sh, const CoreRefs &core, const xrColor &base);

// Transparency and traced refraction: fills outTransparency and the
// refraction colour (0 unless traced).
void transparencyStep(const Shading &sh, const CoreRefs &core, const BlurParams *blur,
                      xrColor &outTransparency, xrColor &refraction);

// Inputs of the reflection step.
struct ReflectionInputs {
    xrColor weight{};                       // reflectivity x specular colour
    int32_t reflectionLimit = 0;
    const xrColor *reflectedColor = nullptr;  // parameter, used when connected
    const BlurParams *blur = nullptr;
    int32_t hideSource = 0;
    const xrColor *rayFactor = nullptr;  // weighs the ray instead of `weight`
    xrColor *auxAverage = nullptr;       // receives the traced rays' mean auxColor
    bool environmentFallback = true;     // look up the environment when no ray may be traced
};

// Traced reflection (mask 0x100): the average traced colour times
// `weight`, or 0 when `weight` is black or the ray weight too small.
xrColor reflectionStep(const Shading &sh, const ReflectionInputs &in);

// Shadow fraction W/S of the instance's lights at the current point (the
// light walk with only the shadow component asked for).
float lightShadowFraction(xrState *state, BaseStateRecord *rec);

// The light loop over the instance's lights at the state's point: diffuse
// (and, with a model or terms, specular) sums; `shadowFraction` receives W/S
// when the shadow pass is asked for.
PassSums lightLoop(const Shading &sh, SpecularModel *model, SurfaceTerms *terms, float &shadowFraction);

// Subsurface-scattering term (mask 0x400): the point cloud of the state's
// instance (src/scatter.cpp), tinted by scatterColor and the surface colour.
xrColor scatterTerm(const Shading &sh, const CoreRefs &core, const ScatterParams *scatter);

// Releases the point clouds of a shader instance (its per-instance _exit).
void releaseScatter(xrState *state);

// Area lights leave their corner record in lightShapeRef: four corners and
// the light's normal, in internal space.
struct AreaShape {
    xrVector corners[4];
    xrVector normal;
};

// Form-factor cosine of the area light seen from `point` with `normal`.
float areaCosine(const xrVector &point, const xrVector &normal, const AreaShape *shape);

// Direction from `point` towards the area light closest to `dir` (the
// specular direction): `dir` itself when it meets the rectangle.
xrVector areaDirection(xrState *state, const xrVector &point, const xrVector &dir, const AreaShape *shape,
                       xrTag lightInstance);

}  // namespace veko::surface
