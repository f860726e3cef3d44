// Colour conversion and remapping nodes: the component movers (colour to
// rgb/hsv, vector to xyz/uvw and back, float/int, unit conversion), the
// colour operators (hsv/rgb, contrast, gamma, luminance), the ramp-driven
// remap nodes, the surface luminance and the vertex colours.
#include <algorithm>
#include <climits>
#include <cmath>

#include "rampcurve.h"
#include "shading.h"
#include "texture.h"

namespace {

using veko::Array;
using veko::eval;
using veko::RampCurve;

// ---------------------------------------------------------------------------
// Component movers.

struct ColorParam {
    xrColor input;  // 0-3
};
static_assert(sizeof(ColorParam) == 4 * 4);

struct VectorParam {
    xrVector input;  // 0-2
};
static_assert(sizeof(VectorParam) == 3 * 4);

struct FourFloats {
    xrScalar c[4];  // 0-3
};
static_assert(sizeof(FourFloats) == 4 * 4);

struct ThreeFloats {
    xrScalar c[3];  // 0-2
};
static_assert(sizeof(ThreeFloats) == 3 * 4);

struct VectorAlphaParams {
    xrVector vector;  // 0-2
    xrScalar alpha;   // 3
};
static_assert(sizeof(VectorAlphaParams) == 4 * 4);

struct UnitConversionParams {
    xrScalar input;             // 0
    xrScalar conversionFactor;  // 1
};
static_assert(sizeof(UnitConversionParams) == 2 * 4);

// Writes the four words of a colour parameter unchanged.
xrBoolean copyColor(void *result, xrState *state, void *params) {
    *static_cast<xrColor *>(result) = eval(state, &static_cast<ColorParam *>(params)->input);
    return 1;
}

xrBoolean copyVector(void *result, xrState *state, void *params) {
    *static_cast<xrVector *>(result) = eval(state, &static_cast<VectorParam *>(params)->input);
    return 1;
}

xrBoolean joinFour(void *result, xrState *state, void *params) {
    auto *p = static_cast<FourFloats *>(params);
    auto *out = static_cast<float *>(result);
    for (int i = 0; i < 4; ++i) out[i] = eval(state, &p->c[i]);
    return 1;
}

xrBoolean joinThree(void *result, xrState *state, void *params) {
    auto *p = static_cast<ThreeFloats *>(params);
    auto *out = static_cast<float *>(result);
    for (int i = 0; i < 3; ++i) out[i] = eval(state, &p->c[i]);
    return 1;
}

// ---------------------------------------------------------------------------
// Colour operators.

struct GammaParams {
    xrVector value;  // 0-2
    xrVector gamma;  // 3-5
};
static_assert(sizeof(GammaParams) == 6 * 4);

struct ContrastParams {
    xrVector value;     // 0-2
    xrVector contrast;  // 3-5
    xrVector bias;      // 6-8
};
static_assert(sizeof(ContrastParams) == 9 * 4);

// Contrast of one component around the bias point: values at or below 0
// give 0; bias 0.5 with contrast 1 is the identity.
float contrastOf(float value, float contrast, float bias) {
    if (value <= 0.0f) return 0.0f;
    const float b = std::clamp(bias, 1e-5f, 0.99999f);
    const float t = 2.0f * std::pow(value, -std::log(2.0f) / std::log(b));
    if (t <= 1.0f) return std::pow(t, contrast) * 0.5f;
    return 1.0f - std::pow(2.0f - t, contrast) * 0.5f;
}

// HSV (hue in turns) to RGB, alpha passed through; a hue outside [0, 1)
// wraps.
xrColor hsvToRgb(const xrColor &hsv) {
    xrColor out{0.0f, 0.0f, 0.0f, hsv.a};
    veko::hsvToRgb({hsv.r, hsv.g, hsv.b}, out.r, out.g, out.b);
    return out;
}

// RGB to HSV (hue in turns), alpha passed through.
xrColor rgbToHsv(const xrColor &rgb) {
    const veko::Hsv h = veko::rgbToHsv(rgb.r, rgb.g, rgb.b);
    return {h.h, h.s, h.v, rgb.a};
}

// ---------------------------------------------------------------------------
// Remap nodes.

struct RemapRange {
    xrScalar inputMin;   // 0
    xrScalar inputMax;   // 1
    xrScalar outputMin;  // 2
    xrScalar outputMax;  // 3
};
static_assert(sizeof(RemapRange) == 4 * 4);

struct RemapColorParams {
    xrColor color;                           // 0-3
    RemapRange range;                        // 4-7
    Array<veko::ScalarRampEntry> ramps[3];   // 8-12, 13-17, 18-22 (red/hue, green/saturation, blue/value)
};
static_assert(sizeof(RemapColorParams) == 23 * 4);
static_assert(offsetof(RemapColorParams, ramps) == 8 * 4);

struct RemapValueParams {
    xrScalar inputValue;                    // 0
    RemapRange range;                       // 1-4
    Array<veko::ColorRampEntry> colorRamp;  // 5-12
    Array<veko::ScalarRampEntry> valueRamp; // 13-17
};
static_assert(sizeof(RemapValueParams) == 18 * 4);
static_assert(offsetof(RemapValueParams, colorRamp) == 5 * 4);
static_assert(offsetof(RemapValueParams, valueRamp) == 13 * 4);

struct RemapValueResult {
    xrColor outColor;   // 0-3
    xrScalar outValue;  // 4
};
static_assert(sizeof(RemapValueResult) == 5 * 4);

// The evaluated output range: v -> v * scale + offset.
struct OutputMap {
    float scale, offset;
    float operator()(float v) const { return v * scale + offset; }
};

OutputMap outputMap(xrState *state, const RemapRange &r) {
    const float lo = eval(state, &r.outputMin), hi = eval(state, &r.outputMax);
    return {hi - lo, lo};
}

// The input colour normalised to the input range, alpha copied; all four 0
// (the colour not evaluated) when the range is narrower than 1e-5.
xrColor normalisedInput(xrState *state, const xrColor *color, const RemapRange &r) {
    const float lo = eval(state, &r.inputMin), hi = eval(state, &r.inputMax);
    if (std::fabs(hi - lo) < 1e-5f) return {0.0f, 0.0f, 0.0f, 0.0f};
    const xrColor c = eval(state, color);
    const float k = 1.0f / (hi - lo);
    return {(c.r - lo) * k, (c.g - lo) * k, (c.b - lo) * k, c.a};
}

// Each of r, g, b through its scalar ramp.
xrColor throughRamps(xrState *state, const Array<veko::ScalarRampEntry> *ramps, const xrColor &in) {
    RampCurve curve;
    float ch[3] = {in.r, in.g, in.b};
    for (int i = 0; i < 3; ++i) {
        veko::loadRamp(state, &ramps[i], curve);
        ch[i] = veko::rampValue(curve, ch[i]);
    }
    return {ch[0], ch[1], ch[2], in.a};
}

// ---------------------------------------------------------------------------
// Surface luminance.

struct SurfaceLuminanceParams {
    xrVector normalCamera;  // 0-2
};
static_assert(sizeof(SurfaceLuminanceParams) == 3 * 4);

// Light arriving at the point from every light of the instance, front and
// (with a hit) back side, each light averaged over its samples.
xrColor incidentLight(xrState *state, veko::BaseStateRecord *rec) {
    using namespace veko::surface;
    xrColor total{0.0f, 0.0f, 0.0f, 0.0f};
    xrInteger count = 0;
    xrTag *lights = nullptr;
    xr_instance_lightlist(&count, &lights, state);
    const int sides = state->hitRef ? 2 : 1;
    for (int i = 0; lights && i < count; ++i) {
        resetLightWords(rec);
        rec->inLightLoop = 0;
        for (int side = 0; side < sides; ++side) {
            xrColor sum{0.0f, 0.0f, 0.0f, 0.0f}, q{};
            xrVector dir{};
            float c = 0.0f;
            xrInteger samples = 0;
            int taken = 0;
            while (xr_sample_light(&q, &dir, &c, state, lights[i], &samples)) {
                ++taken;
                if (rec->backSide) c = -c;
                if (const auto *shape = static_cast<const AreaShape *>(rec->lightShapeRef))
                    c = areaCosine(state->hitPoint, state->shadingNormal, shape);
                float w = rec->lightAmbient ? 1.0f : 0.0f;
                if (rec->lightDiffuse) w += std::max(c, 0.0f);
                veko::addScaled(sum, q, w);
            }
            const int n = std::max<int>(samples, taken);
            if (n > 0) veko::addScaled(total, sum, 1.0f / static_cast<float>(n));
            if (sides == 2) {
                rec->backSide = !rec->backSide;
                flipNormals(state);
            }
        }
    }
    return total;
}

// ---------------------------------------------------------------------------
// Vertex colours.

struct VertexDataEntry {
    xrTag instance;   // 0
    xrInteger index;  // 1
};
static_assert(sizeof(VertexDataEntry) == 2 * 4);

struct VertexColorsParams {
    Array<VertexDataEntry> vertexData;  // 0-3
    xrBoolean invert;                   // 4
    xrBoolean alphaIsLuminance;         // 5
    xrColor colorGain;                  // 6-9
    xrColor colorOffset;                // 10-13
    xrScalar alphaGain;                 // 14
    xrScalar alphaOffset;               // 15
    xrColor defaultColor;               // 16-19
};
static_assert(sizeof(VertexColorsParams) == 20 * 4);
static_assert(offsetof(VertexColorsParams, defaultColor) == 16 * 4);

struct VertexColorsResult {
    xrColor outColor;   // 0-3
    xrScalar outAlpha;  // 4
};
static_assert(sizeof(VertexColorsResult) == 5 * 4);

// Query code: the instance the given one derives from.
constexpr xrInteger kQueryParentInstance = 8;
// xr_tri_vectors selector of the per-vertex colours.
constexpr xrInteger kTriVertexColors = 42;

// The vertex-data index assigned to the current instance, or -1.
int vertexDataIndex(xrState *state, const Array<VertexDataEntry> *data) {
    xrTag key = 0;
    xr_query(kQueryParentInstance, state, state->instanceTag, &key);
    const int n = veko::evalCount(state, data);
    for (int k = 0; k < n; ++k) {
        const VertexDataEntry *e = data->at(k);
        if (eval(state, &e->instance) == key) return eval(state, &e->index);
    }
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
VEKO_EXPORT xrBoolean veko_color_to_rgb(void *result, xrState *state, void *params) {
    return copyColor(result, state, params);
}
VEKO_EXPORT xrBoolean veko_color_to_hsv(void *result, xrState *state, void *params) {
    return copyColor(result, state, params);
}
VEKO_EXPORT xrBoolean veko_vector_to_xyz(void *result, xrState *state, void *params) {
    return copyVector(result, state, params);
}
VEKO_EXPORT xrBoolean veko_vector_to_uvw(void *result, xrState *state, void *params) {
    return copyVector(result, state, params);
}
VEKO_EXPORT xrBoolean veko_rgb_to_color(void *result, xrState *state, void *params) {
    return joinFour(result, state, params);
}
VEKO_EXPORT xrBoolean veko_hsv_to_color(void *result, xrState *state, void *params) {
    return joinFour(result, state, params);
}
VEKO_EXPORT xrBoolean veko_xyz_to_vector(void *result, xrState *state, void *params) {
    return joinThree(result, state, params);
}
VEKO_EXPORT xrBoolean veko_uvw_to_vector(void *result, xrState *state, void *params) {
    return joinThree(result, state, params);
}

VEKO_EXPORT xrBoolean veko_vector_to_color(void *result, xrState *state, void *params) {
    auto *p = static_cast<VectorAlphaParams *>(params);
    const xrVector v = eval(state, &p->vector);
    *static_cast<xrColor *>(result) = {v.x, v.y, v.z, eval(state, &p->alpha)};
    return 1;
}

// The vector of r, g, b; the alpha follows as a fourth word.
VEKO_EXPORT xrBoolean veko_color_to_vector(void *result, xrState *state, void *params) {
    return copyColor(result, state, params);
}

// Truncation toward zero; NaN gives 0 and values beyond the integer range
// saturate.
VEKO_EXPORT xrBoolean veko_float_to_int(void *result, xrState *state, void *params) {
    const float v = eval(state, static_cast<xrScalar *>(params));
    xrInteger out = 0;
    if (v >= 2147483648.0f) out = INT_MAX;
    else if (v <= -2147483648.0f) out = INT_MIN;
    else if (!std::isnan(v)) out = static_cast<xrInteger>(v);
    *static_cast<xrInteger *>(result) = out;
    return 1;
}

VEKO_EXPORT xrBoolean veko_int_to_float(void *result, xrState *state, void *params) {
    *static_cast<xrScalar *>(result) = static_cast<xrScalar>(eval(state, static_cast<xrInteger *>(params)));
    return 1;
}

VEKO_EXPORT xrBoolean veko_unitconversion(void *result, xrState *state, void *params) {
    auto *p = static_cast<UnitConversionParams *>(params);
    *static_cast<xrScalar *>(result) = eval(state, &p->input) * eval(state, &p->conversionFactor);
    return 1;
}

// Hue in degrees in, colour out; the fourth word becomes the alpha.
VEKO_EXPORT xrBoolean veko_hsvtorgb(void *result, xrState *state, void *params) {
    xrColor hsv = eval(state, &static_cast<ColorParam *>(params)->input);
    hsv.r /= 360.0f;
    *static_cast<xrColor *>(result) = hsvToRgb(hsv);
    return 1;
}

VEKO_EXPORT xrBoolean veko_rgbtohsv(void *result, xrState *state, void *params) {
    xrColor hsv = rgbToHsv(eval(state, &static_cast<ColorParam *>(params)->input));
    hsv.r *= 360.0f;
    *static_cast<xrColor *>(result) = hsv;
    return 1;
}

VEKO_EXPORT xrBoolean veko_luminance(void *result, xrState *state, void *params) {
    *static_cast<xrScalar *>(result) = veko::luminance(eval(state, &static_cast<ColorParam *>(params)->input));
    return 1;
}

// value^(1/gamma) per component; a zero gamma follows IEEE arithmetic
// (value^inf).
VEKO_EXPORT xrBoolean veko_gamma(void *result, xrState *state, void *params) {
    auto *p = static_cast<GammaParams *>(params);
    const xrVector v = eval(state, &p->value), g = eval(state, &p->gamma);
    *static_cast<xrVector *>(result) = {std::pow(v.x, 1.0f / g.x), std::pow(v.y, 1.0f / g.y),
                                        std::pow(v.z, 1.0f / g.z)};
    return 1;
}

VEKO_EXPORT xrBoolean veko_contrast(void *result, xrState *state, void *params) {
    auto *p = static_cast<ContrastParams *>(params);
    const xrVector v = eval(state, &p->value), c = eval(state, &p->contrast), b = eval(state, &p->bias);
    *static_cast<xrVector *>(result) = {contrastOf(v.x, c.x, b.x), contrastOf(v.y, c.y, b.y),
                                        contrastOf(v.z, c.z, b.z)};
    return 1;
}

// Each channel through its ramp, then into the output range. The alpha is
// the input's (0 when the input range is empty).
VEKO_EXPORT xrBoolean veko_remapcolor(void *result, xrState *state, void *params) {
    auto *p = static_cast<RemapColorParams *>(params);
    xrColor c = throughRamps(state, p->ramps, normalisedInput(state, &p->color, p->range));
    const OutputMap m = outputMap(state, p->range);
    *static_cast<xrColor *>(result) = {m(c.r), m(c.g), m(c.b), c.a};
    return 1;
}

// Hue, saturation and value each through its ramp.
VEKO_EXPORT xrBoolean veko_remaphsv(void *result, xrState *state, void *params) {
    auto *p = static_cast<RemapColorParams *>(params);
    const xrColor hsv = throughRamps(state, p->ramps, rgbToHsv(normalisedInput(state, &p->color, p->range)));
    const xrColor c = hsvToRgb(hsv);
    const OutputMap m = outputMap(state, p->range);
    *static_cast<xrColor *>(result) = {m(c.r), m(c.g), m(c.b), c.a};
    return 1;
}

VEKO_EXPORT xrBoolean veko_remapvalue(void *result, xrState *state, void *params) {
    auto *p = static_cast<RemapValueParams *>(params);
    auto *out = static_cast<RemapValueResult *>(result);
    const float lo = eval(state, &p->range.inputMin), hi = eval(state, &p->range.inputMax);
    float x = 0.0f;
    if (std::fabs(hi - lo) >= 1e-5f) x = (eval(state, &p->inputValue) - lo) / (hi - lo);
    RampCurve curve;
    veko::loadRamp(state, &p->colorRamp, curve);
    const xrColor c = veko::rampColor(curve, x);
    veko::loadRamp(state, &p->valueRamp, curve);
    const float v = veko::rampValue(curve, x);
    const OutputMap m = outputMap(state, p->range);
    out->outColor = {m(c.r), m(c.g), m(c.b), c.a};
    out->outValue = m(v);
    return 1;
}

VEKO_EXPORT xrBoolean veko_surfaceluminance(void *result, xrState *state, void *params) {
    auto *p = static_cast<SurfaceLuminanceParams *>(params);
    veko::BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        VEKO_WARN("veko_surfaceluminance", "Internal state error.");
        return 0;
    }
    const xrVector savedNormal = state->shadingNormal;
    const float savedCosView = state->cosView;
    veko::surface::correctNormal(state, &p->normalCamera);
    const xrColor total = incidentLight(state, rec);
    state->shadingNormal = savedNormal;
    state->cosView = savedCosView;
    *static_cast<xrScalar *>(result) = veko::luminance(total);
    return 1;
}

VEKO_EXPORT xrBoolean veko_vertexcolors(void *result, xrState *state, void *params) {
    auto *p = static_cast<VertexColorsParams *>(params);
    auto *out = static_cast<VertexColorsResult *>(result);
    const int index = vertexDataIndex(state, &p->vertexData);
    xrVector *v0 = nullptr, *v1 = nullptr, *v2 = nullptr;
    if (index < 0 || !xr_tri_vectors(state, kTriVertexColors, index, &v0, &v1, &v2)) {
        xrColor c = eval(state, &p->defaultColor);
        c.a = veko::luminance(c);
        out->outColor = c;
        out->outAlpha = c.a;
        return 1;
    }
    const xrVector *corner[3] = {v0, v1, v2};
    xrColor c{0.0f, 0.0f, 0.0f, 0.0f};
    for (int k = 0; k < 3; ++k) {
        xrColor ck{corner[k]->x, corner[k]->y, corner[k]->z, 0.0f};
        if (ck.r == -1.0f && ck.g == -1.0f && ck.b == -1.0f) ck = eval(state, &p->defaultColor);
        c.r += state->baryWeights[k] * ck.r;
        c.g += state->baryWeights[k] * ck.g;
        c.b += state->baryWeights[k] * ck.b;
    }
    float alpha = eval(state, &p->alphaIsLuminance) ? veko::luminance(c)
                                                    : std::sqrt(c.r * c.r + c.g * c.g + c.b * c.b);
    if (eval(state, &p->invert)) {
        c = veko::oneMinusRGB(c);
        alpha = 1.0f - alpha;
    }
    const xrColor gain = eval(state, &p->colorGain), offset = eval(state, &p->colorOffset);
    alpha = alpha * eval(state, &p->alphaGain) + eval(state, &p->alphaOffset);
    out->outColor = {gain.r * c.r + offset.r, gain.g * c.g + offset.g, gain.b * c.b + offset.b, alpha};
    out->outAlpha = alpha;
    return 1;
}
