// The fluid textures: veko_fluidtexture3d and veko_fluidtexture2d sample a
// fluid block (fluid.h) at the shaded point and turn its fields into
// colour, incandescence and opacity through three ramps, with an optional
// built-in noise (the 2D/3D noise family of fractal2d.h) modulating the ramp
// inputs. The result starts with the volume-sample layout, so a volume
// shader can pass it on as it is.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <type_traits>

#include "fluid.h"
#include "fractal2d.h"
#include "rampcurve.h"
#include "texture.h"
#include "volume.h"

using namespace veko;

namespace {

// Parameters shared by both textures (words 0-85).
struct FluidTexParams {
    xrColor defaultColor;                    // 0-3
    xrScalar alphaGain;                      // 4
    xrScalar alphaOffset;                    // 5
    float placementMatrix[16];               // 6-21
    xrInteger colorInput;                    // 22
    xrScalar colorInputBias;                 // 23
    xrInteger incandescenceInput;            // 24
    xrScalar incandescenceInputBias;         // 25
    xrInteger opacityInput;                  // 26
    xrInteger matteOpacityMode;              // 27
    xrScalar matteOpacity;                   // 28
    Array<ColorRampEntry> color;             // 29-36
    Array<ColorRampEntry> incandescence;     // 37-44
    xrScalar opacityInputBias;               // 45
    xrBoolean colorTexture;                  // 46
    xrColor transparency;                    // 47-50
    Array<ScalarRampEntry> opacity;          // 51-55
    xrScalar colorTexGain;                   // 56
    xrBoolean incandTexture;                 // 57
    xrScalar incandTexGain;                  // 58
    xrBoolean opacityTexture;                // 59
    xrScalar opacityTexGain;                 // 60
    xrScalar glowIntensity;                  // 61
    xrBoolean clipOutside;                   // 62
    xrScalar colorInputScale;                // 63
    xrScalar incandescenceInputScale;        // 64
    xrScalar opacityInputScale;              // 65
    xrInteger textureType;                   // 66: noise type 0-4
    xrBoolean invertTexture;                 // 67
    xrScalar amplitude;                      // 68
    xrScalar ratio;                          // 69
    xrScalar threshold;                      // 70
    xrScalar frequency;                      // 71
    xrScalar frequencyRatio;                 // 72
    xrInteger depthMax;                      // 73
    xrBoolean inflection;                    // 74
    xrScalar textureTime;                    // 75
    xrScalar implode;                        // 76
    xrVector implodeCenter;                  // 77-79
    xrScalar billowDensity;                  // 80
    xrScalar spottyness;                     // 81
    xrScalar sizeRand;                       // 82
    xrScalar randomness;                     // 83
    xrInteger falloff;                       // 84
    xrInteger numWaves;                      // 85
};
static_assert(sizeof(FluidTexParams) == 86 * 4);
static_assert(offsetof(FluidTexParams, matteOpacityMode) == 27 * 4);
static_assert(offsetof(FluidTexParams, transparency) == 47 * 4);
static_assert(offsetof(FluidTexParams, glowIntensity) == 61 * 4);

struct FluidTex3dParams {
    FluidTexParams common;   // 0-85
    xrVector textureScale;   // 86-88
    xrVector textureOrigin;  // 89-91
    xrInteger timeResolution;  // 92
    xrInteger interpolation;   // 93: 0 linear, 1 smooth
    int32_t reserved[3];     // 94-96
    xrTag fluidData;         // 97
};
static_assert(offsetof(FluidTex3dParams, fluidData) == 97 * 4);
static_assert(sizeof(FluidTex3dParams) == 98 * 4);

struct FluidTex2dParams {
    FluidTexParams common;   // 0-85
    xrInteger interpolation;  // 86: 0 linear, 1 smooth
    xrTag fluidData;         // 87
};
static_assert(offsetof(FluidTex2dParams, fluidData) == 87 * 4);
static_assert(sizeof(FluidTex2dParams) == 88 * 4);

// Result record (the first sixteen floats are a VolumeSampleResult).
struct FluidTexResult {
    xrColor outColor;         // 0-3
    xrColor outGlowColor;     // 4-7
    xrColor outMatteOpacity;  // 8-11
    xrColor outTransparency;  // 12-15
    xrScalar outAlpha;        // 16
    xrVector outPosition;     // 17-19
};
static_assert(sizeof(FluidTexResult) == 20 * 4);
static_assert(offsetof(FluidTexResult, outTransparency) == offsetof(VolumeSampleResult, outTransparency));

// Ramp input codes.
enum Input : int32_t {
    kInConstant = 0,
    kInGradientX = 1,  // 1-3
    kInCenter = 4,
    kInDensity = 5,
    kInSecond = 6,
    kInThird = 7,
    kInSigned = 8,
    kInSpeed = 9,
    kInThirdTimesDensity = 10,
    kInColorField = 11,
};

// Parameter reads of one call: the running shader's connection offset is
// read once (it cannot change while the shader runs), so a literal costs a
// load of its connection word and of its value.
class Params {
public:
    explicit Params(xrState *state)
        : state_(state), conn_(state->shaderRecord ? state->shaderRecord->connectionOffset : 0) {}
    xrState *state() const { return state_; }
    template <class T>
    const T *ptr(const T *param) const {
        if (conn_) {
            int32_t word;
            std::memcpy(&word, reinterpret_cast<const char *>(param) + conn_, 4);
            if (word) return static_cast<const T *>(connected(param));
        }
        return param;
    }
    template <class T>
    T operator()(const T *param) const {
        return *ptr(param);
    }

private:
    // The connected value, or the literal when the evaluation fails.
    [[gnu::noinline]] const void *connected(const void *param) const {
        const void *v = xr_phen_eval(state_, const_cast<void *>(param));
        return v ? v : param;
    }
    xrState *state_;
    int32_t conn_;
};

// One sample of a block: fields evaluated on demand, each at most once.
// With a cache, a field's grid records are checked against the cached
// parse before the field is first read.
class FluidSample {
public:
    FluidSample(const FluidBlock &b, FluidBlockCache *cache, int interp, const xrVector &p)
        : b_(b), cache_(cache), smooth_(interp == 1), p_(p) {
        q_ = vsub(p, b.base.centre);
        if (b.is2d) q_.z = 0.0f;
    }

    float density() {
        if (!(have_ & 1)) {
            current(kFluidPartDensity);
            density_ = scalar(b_.density);
            if (b_.density.method == kFluidGrid && b_.densityOffset) density_ += 0.5f;
            have_ |= 1;
        }
        return density_;
    }
    float second() { return cached(2, second_, kFluidPartSecond, b_.second); }
    float third() { return cached(4, third_, kFluidPartThird, b_.third); }
    float signedValue() { return cached(8, signed_, kFluidPartSigned, b_.signedField); }
    float speed() {
        if (!(have_ & 16)) {
            speed_ = length(velocity());
            have_ |= 16;
        }
        return speed_;
    }
    xrColor colorField() {
        current(kFluidPartColor);
        const FluidColorField &c = b_.color;
        if (c.method == kFluidGrid) {
            if (!c.hasGrid) return {0, 0, 0, c.constant.a};
            return {c.constant.r * sampleGrid(c.grid[0], p_), c.constant.g * sampleGrid(c.grid[1], p_),
                    c.constant.b * sampleGrid(c.grid[2], p_), c.constant.a};
        }
        xrColor out = c.constant;
        scaleRGB(out, fluidGradient(c.method, q_, b_.base.size));
        return out;
    }
    // The scalar input of a ramp (code 11: the luminance of the colour field).
    float input(int32_t code) {
        switch (code) {
        case kInConstant: return 1.0f;
        case 1: case 2: case 3: return fluidGradient(code, q_, b_.base.size);
        case kInCenter: return fluidGradient(7, q_, b_.base.size);
        case kInDensity: return density();
        case kInSecond: return second();
        case kInThird: case kInThirdTimesDensity: return third();
        case kInSigned: return fluidSignedInput(signedValue());
        case kInSpeed: return fluidSpeedInput(speed());
        case kInColorField: return luminance(colorField());
        default: return 0.0f;
        }
    }
    const xrVector &point() const { return p_; }

private:
    void current(FluidPart part) {
        if (cache_) cache_->check(part);
    }
    float sampleGrid(const FluidGrid &g, const xrVector &p, int staggerAxis = -1) const {
        xrVector gc = fluidGridCoord(g, p);
        if (staggerAxis >= 0) comp(gc)[staggerAxis] += 0.5f;
        return smooth_ ? fluidSmooth(g, gc, b_.is2d) : fluidLinear(g, gc, b_.is2d);
    }
    float scalar(const FluidScalarField &f) const {
        if (f.method == kFluidGrid) return f.hasGrid ? f.scale * sampleGrid(f.grid, p_) : 0.0f;
        return f.scale * fluidGradient(f.method, q_, b_.base.size);
    }
    float cached(unsigned bit, float &slot, FluidPart part, const FluidScalarField &f) {
        if (!(have_ & bit)) {
            current(part);
            slot = scalar(f);
            have_ |= bit;
        }
        return slot;
    }
    xrVector velocity() {
        current(kFluidPartVelocity);
        const FluidVectorField &v = b_.velocity;
        if (v.method == kFluidGrid) {
            if (!v.hasGrid) return {0, 0, 0};
            xrVector out;
            for (int a = 0; a < 3; ++a)
                comp(out)[a] = comp(v.scale)[a] * sampleGrid(v.grid[a], p_, v.staggered ? a : -1);
            return out;
        }
        return vscale(v.scale, fluidGradient(v.method, q_, b_.base.size));
    }

    const FluidBlock &b_;
    FluidBlockCache *cache_;
    bool smooth_;
    xrVector p_, q_;
    unsigned have_ = 0;
    float density_ = 0, second_ = 0, third_ = 0, signed_ = 0, speed_ = 0;
};

// The built-in noise at the base grid coordinate, inverted on request.
struct BuiltInNoise {
    const FluidTexParams *p;
    const xrVector *scale;   // 3D only
    const xrVector *origin;  // 3D only
    const xrInteger *timeResolution;
    bool computed = false;
    float n = 0.0f;

    float value(xrState *state, const FluidBlock &b, const xrVector &point) {
        if (computed) return n;
        computed = true;
        NoiseSettings s;
        s.time = eval(state, &p->textureTime);
        s.implode = eval(state, &p->implode);
        const xrVector ic = eval(state, &p->implodeCenter);
        s.implodeCenter[0] = ic.x, s.implodeCenter[1] = ic.y, s.implodeCenter[2] = ic.z;
        s.frequencyRatio = eval(state, &p->frequencyRatio);
        s.frequency = eval(state, &p->frequency);
        s.depthMax = eval(state, &p->depthMax);
        s.inflection = eval(state, &p->inflection) != 0;
        s.ratio = eval(state, &p->ratio);
        s.amplitude = eval(state, &p->amplitude);
        s.threshold = eval(state, &p->threshold);
        s.density = eval(state, &p->billowDensity);
        s.spottyness = eval(state, &p->spottyness);
        s.sizeRand = eval(state, &p->sizeRand);
        s.randomness = eval(state, &p->randomness);
        s.falloff = eval(state, &p->falloff);
        s.numWaves = eval(state, &p->numWaves);
        const int32_t type = eval(state, &p->textureType);
        const xrVector g = fluidGridCoord(b.base, point);
        if (b.is2d) {
            float q[2] = {g.x, g.y};
            n = noiseFamily2(type, q, s);
        } else {
            if (scale) {
                const xrVector sc = eval(state, scale), o = eval(state, origin);
                s.scale[0] = sc.x, s.scale[1] = sc.y, s.scale[2] = sc.z;
                s.origin[0] = o.x, s.origin[1] = o.y, s.origin[2] = o.z;
                s.timeResolution = eval(state, timeResolution);
            }
            float q[3] = {g.x, g.y, g.z};
            n = noiseFamily3(type, q, s);
        }
        if (eval(state, &p->invertTexture)) n = 1.0f - n;
        return n;
    }
};

// The multiplier of a ramp input for a texture flag and gain: gain * n,
// plus 1 - gain when the gain is below 1.
float textureFactor(float gain, float n) { return gain * n + (gain < 1.0f ? 1.0f - gain : 0.0f); }

// One ramp of the texture (colour, incandescence or opacity): its input
// settings, and whether its texture factor uses 1 - n.
template <class Entry>
struct RampStage {
    const Array<Entry> *ramp;
    const xrScalar *scale, *bias;
    const xrBoolean *texture;
    const xrScalar *gain;
    bool invertNoise;
};

// The value of a ramp of two or more entries for the input code: the
// code's value times the input scale and the noise factor, reshaped by the
// bias.
template <class Entry>
[[gnu::noinline]] decltype(Entry::value) sampleVaryingRamp(const Params &get, const RampStage<Entry> &r, int32_t code,
                                                           FluidSample &s, BuiltInNoise &noise, const FluidBlock &b) {
    xrState *state = get.state();
    RampCurve curve;
    loadRamp(state, r.ramp, curve);
    float f = 1.0f;
    if (get(r.texture)) {
        const float n = noise.value(state, b, s.point());
        f = textureFactor(get(r.gain), r.invertNoise ? 1.0f - n : n);
    }
    const float x = fluidBias(s.input(code) * get(r.scale) * f, get(r.bias), code == kInSigned);
    if constexpr (std::is_same_v<Entry, ColorRampEntry>)
        return rampColor(curve, x);
    else
        return rampValue(curve, x);
}

// The ramp's value for the input code: a ramp of one entry is that entry's
// value for every input, so its input (field samples, built-in noise) is
// computed only when the ramp varies; an empty ramp is black. The stage's
// settings are gathered (`stage()`) only for a varying ramp.
template <class Entry, class Stage>
[[gnu::always_inline]] inline decltype(Entry::value) sampleRamp(const Params &get, const Array<Entry> *ramp,
                                                                Stage stage, int32_t code, FluidSample &s,
                                                                BuiltInNoise &noise, const FluidBlock &b) {
    const int count = get(&ramp->count);
    if (count == 1) return get(&ramp->at(0)->value);
    if (count <= 0) return {};
    return sampleVaryingRamp(get, stage(), code, s, noise, b);
}

// Matte opacity by mode: 0 unset, 1 the matte opacity, 2 that times the
// opacity (1 - transparency).
inline xrColor matteByMode(const Params &get, const FluidTexParams *p, const xrColor &transparency) {
    const int32_t mode = get(&p->matteOpacityMode);
    if (mode == 0) return {kMatteUnset, kMatteUnset, kMatteUnset, kMatteUnset};
    const float m = get(&p->matteOpacity);
    if (mode == 1) return {m, m, m, m};
    xrColor out{(1.0f - transparency.r) * m, (1.0f - transparency.g) * m, (1.0f - transparency.b) * m, 0.0f};
    out.a = luminance(out);
    return out;
}

// The sample point in fluid space: a volume shader's ray origin, the
// object's reference texture space, or the hit point, carried to world
// space and through the placement matrix (unless that is the identity).
xrVector fluidPoint(const Params &get, const FluidTexParams *p) {
    xrState *state = get.state();
    xrVector local = textureSourcePoint(state), world;
    xr_point_to_world(state, &world, &local);
    const float *m = get.ptr(p->placementMatrix);
    if (isIdentityMatrix(m)) return world;
    xrVector out;
    xr_point_transform(&out, &world, m);
    return out;
}

// The "Veko" block behind a fluid tag (a user-data element, or an object or
// instance whose user-data chain holds it), pinned; its tag goes to
// `pinned`.
const uint32_t *findFluidBlock(xrTag tag, xrTag *pinned) { return findUserDataOnAny(kVekoMagic, tag, pinned); }

// Parsed blocks per thread, one per nesting level (a fluid texture whose
// parameter is fed by another), so that an inner call never replaces the
// block an outer one is using.
struct ThreadBlocks {
    int depth = 0;
    FluidBlockCache level[2];
};
constinit thread_local ThreadBlocks t_blocks;

// Finds and parses the block behind a fluid tag; false when there is none
// or it is unusable. The element stays pinned, and the parsed block in use,
// while the reference lives.
struct BlockRef {
    const FluidBlock *block = nullptr;
    FluidBlockCache *cache = nullptr;  // null when parsed here
    xrTag pinned = 0;
    ThreadBlocks *blocks = &t_blocks;
    std::optional<FluidBlock> own;  // deeper nesting: parsed here every time
    BlockRef() { ++blocks->depth; }
    ~BlockRef() {
        if (pinned) xr_db_unpin(pinned);
        --blocks->depth;
    }
    BlockRef(const BlockRef &) = delete;
    BlockRef &operator=(const BlockRef &) = delete;
    bool find(xrTag tag) {
        const uint32_t *label = findFluidBlock(tag, &pinned);
        if (!label) return false;
        const size_t words = userDataBytes(label) / 4;
        const int level = blocks->depth - 1;
        if (level < int(std::size(blocks->level))) {
            cache = &blocks->level[level];
            block = cache->get(label, words);
        } else if (parseFluidBlock(label, words, own.emplace(), nullptr))
            block = &*own;
        return block != nullptr;
    }
};

xrBoolean fluidTexture(void *result, xrState *state, const FluidTexParams *p, const xrTag *fluidData,
                       const xrInteger *interpolation, BuiltInNoise noise) {
    auto *res = static_cast<FluidTexResult *>(result);
    const Params get(state);
    BlockRef ref;
    if (!ref.find(get(fluidData))) {
        *res = FluidTexResult{};
        return 1;
    }
    const FluidBlock &b = *ref.block;

    // Tiling or clipping along the axes that do not wrap.
    xrVector pt = fluidPoint(get, p);
    const bool clip = get(&p->clipOutside) != 0;
    bool inside = true;
    for (int a = 0; a < (b.is2d ? 2 : 3); ++a) {
        if (b.base.mode[a] == kFluidWrap) continue;
        const float size = comp(b.base.size)[a], centre = comp(b.base.centre)[a];
        const float c = (comp(pt)[a] - centre) / size + 0.5f;
        if (clip) {
            if (!(c >= 0.0f && c <= 1.0f)) inside = false;
        } else if (std::isfinite(c)) {
            comp(pt)[a] = centre + (c - std::floor(c) - 0.5f) * size;
        }
    }

    const float glow = get(&p->glowIntensity);
    if (!inside) {
        const xrColor def = get(&p->defaultColor);
        res->outColor = def;
        res->outGlowColor = {glow * def.r, glow * def.g, glow * def.b, 0.0f};
        res->outMatteOpacity = matteByMode(get, p, {0, 0, 0, 0});
        res->outTransparency = {0, 0, 0, 0};
        res->outAlpha = 0.0f;
        res->outPosition = pt;
        return 1;
    }

    FluidSample s(b, ref.cache, get(interpolation), pt);

    // Colour and incandescence: a ramp, or the colour field as it is.
    const int32_t colorCode = get(&p->colorInput);
    xrColor color;
    if (colorCode == kInColorField) {
        color = s.colorField();
    } else {
        auto stage = [p] {
            return RampStage<ColorRampEntry>{&p->color,        &p->colorInputScale, &p->colorInputBias,
                                             &p->colorTexture, &p->colorTexGain,    false};
        };
        color = sampleRamp(get, &p->color, stage, colorCode, s, noise, b);
        if (colorCode == kInThirdTimesDensity) scaleRGB(color, s.density());
    }
    const int32_t incCode = get(&p->incandescenceInput);
    xrColor inc;
    if (incCode == kInColorField) {
        inc = s.colorField();
    } else {
        auto stage = [p] {
            return RampStage<ColorRampEntry>{&p->incandescence, &p->incandescenceInputScale, &p->incandescenceInputBias,
                                             &p->incandTexture, &p->incandTexGain,           true};
        };
        inc = sampleRamp(get, &p->incandescence, stage, incCode, s, noise, b);
        if (incCode == kInThirdTimesDensity) scaleRGB(inc, s.density());
    }

    // Opacity.
    const int32_t opCode = get(&p->opacityInput);
    auto opacityStage = [p] {
        return RampStage<ScalarRampEntry>{&p->opacity,        &p->opacityInputScale, &p->opacityInputBias,
                                          &p->opacityTexture, &p->opacityTexGain,    false};
    };
    float opacity = sampleRamp(get, &p->opacity, opacityStage, opCode, s, noise, b);
    if (opCode == kInThirdTimesDensity) opacity *= s.density();

    res->outColor = {color.r + inc.r, color.g + inc.g, color.b + inc.b, 0.0f};
    res->outAlpha = (opacity - (b.densityOffset ? 0.5f : 0.0f)) * get(&p->alphaGain) +
                    get(&p->alphaOffset);
    res->outColor.a = res->outAlpha;
    const xrColor t = get(&p->transparency);
    xrColor tr;
    if (t.r == t.g && t.g == t.b) {
        tr.r = tr.g = tr.b = fluidTransparency(opacity, t.r);
    } else {
        tr = {fluidTransparency(opacity, t.r), fluidTransparency(opacity, t.g), fluidTransparency(opacity, t.b), 0};
    }
    tr.a = luminance(tr);
    res->outTransparency = tr;
    res->outMatteOpacity = matteByMode(get, p, tr);
    res->outGlowColor = {glow * res->outColor.r, glow * res->outColor.g, glow * res->outColor.b, 0.0f};
    res->outPosition = pt;
    return 1;
}

// Per parameter block: the block's byte order, once.
void fluidInit(xrState *state, const char *shader, const xrTag *fluidData, xrBoolean *initRequest) {
    if (!fluidData) {
        if (initRequest) *initRequest = 1;
        return;
    }
    const xrTag tag = eval(state, fluidData);
    switch (fluidNativeOrder(state, tag)) {
    case 1: break;
    case 2: xr_info("%s(): Fluid data has been swapped.", shader); break;
    default: xr_warning("%s(): Unable to access fluid data.", shader); return;
    }
    xrTag pinned = 0;
    const uint32_t *label = findFluidBlock(tag, &pinned);
    FluidBlock block;
    std::string problem;
    if (!label || !parseFluidBlock(label, userDataBytes(label) / 4, block, &problem))
        xr_warning("%s(): Fluid data is damaged: %s.", shader, problem.c_str());
    else if (!problem.empty())
        xr_warning("%s(): Fluid data is damaged: %s; that field reads 0.", shader, problem.c_str());
    if (pinned) xr_db_unpin(pinned);
}

}  // namespace

VEKO_EXPORT void veko_fluidtexture3d_init(xrState *state, void *params, xrBoolean *initRequest) {
    fluidInit(state, "veko_fluidtexture3d", params ? &static_cast<FluidTex3dParams *>(params)->fluidData : nullptr,
              initRequest);
}

VEKO_EXPORT xrBoolean veko_fluidtexture3d(void *result, xrState *state, void *params) {
    const auto *p = static_cast<const FluidTex3dParams *>(params);
    return fluidTexture(result, state, &p->common, &p->fluidData, &p->interpolation,
                        BuiltInNoise{&p->common, &p->textureScale, &p->textureOrigin, &p->timeResolution});
}

VEKO_EXPORT void veko_fluidtexture2d_init(xrState *state, void *params, xrBoolean *initRequest) {
    fluidInit(state, "veko_fluidtexture2d", params ? &static_cast<FluidTex2dParams *>(params)->fluidData : nullptr,
              initRequest);
}

VEKO_EXPORT xrBoolean veko_fluidtexture2d(void *result, xrState *state, void *params) {
    const auto *p = static_cast<const FluidTex2dParams *>(params);
    return fluidTexture(result, state, &p->common, &p->fluidData, &p->interpolation,
                        BuiltInNoise{&p->common, nullptr, nullptr, nullptr});
}
