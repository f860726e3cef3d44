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

// Maps passMode 0..6 to its mask (mode 6 asks the host, query 142); any
// other mode computes nothing.
PassMask passMask(xrState *state, int32_t passMode);

// True when xr_query code 142 succeeds with a nonzero answer.
bool query142(xrState *state);

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
    int32_t hideSource = 0;
    int32_t refractions = 0;
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
    const SurfaceCore *core = nullptr;
    const BlurParams *refractionBlur = nullptr;
    const ScatterParams *scatter = nullptr;
};

// Runs the whole pipeline for one surface sample. `shader` is the exported
// name used in messages. Returns 0 only when the per-ray record is missing.
xrBoolean shadeSurface(const char *shader, void *result, xrState *state, const SurfaceBlock &block,
                       SpecularModel *model);

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
// settings to hand to the host, or null for the host's own.
const FinalGatherSettings *prepareFinalGather(xrState *state, BaseStateRecord *rec, float m,
                                              FinalGatherSettings &out);

// Indirect light (mask 0x4), `base` the colour that scales it.
xrColor irradianceTerm(const Shading &sh, const SurfaceCore *core, const xrColor &base);

// Transparency and traced refraction: fills outTransparency and the
// refraction colour (0 unless traced).
void transparencyStep(const Shading &sh, const SurfaceCore *core, const BlurParams *blur,
                      xrColor &outTransparency, xrColor &refraction);

// Inputs of the reflection step.
struct ReflectionInputs {
    xrColor weight{};                       // reflectivity x specular colour
    int32_t reflectionLimit = 0;
    const xrColor *reflectedColor = nullptr;  // parameter, used when connected
    const BlurParams *blur = nullptr;
    int32_t hideSource = 0;
};

// Traced reflection (mask 0x100): the average traced colour times
// `weight`, or 0 when `weight` is black or the ray weight too small.
xrColor reflectionStep(const Shading &sh, const ReflectionInputs &in);

// Subsurface-scattering term (mask 0x400).
xrColor scatterTerm(const Shading &sh, const ScatterParams *scatter);

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
