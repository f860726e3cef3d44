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
#include <memory>
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

// Parameter reads of one call (the connection offset read once).
using Params = Evaluator;

struct BlockRef;

// One sample of a block: fields evaluated on demand, each at most once.
// A field's grid records are checked against the reused parse before the
// field is first read (BlockRef::current).
class FluidSample {
public:
    FluidSample(BlockRef &ref, int interp, const xrVector &p);

    float density() {
        if (!(have_ & 1)) {
            current(kFluidPartDensity);
            density_ = scalar(b_->density);
            if (b_->density.method == kFluidGrid && b_->densityOffset) density_ += 0.5f;
            have_ |= 1;
        }
        return density_;
    }
    float second() { return cached(2, second_, kFluidPartSecond, &FluidBlock::second); }
    float third() { return cached(4, third_, kFluidPartThird, &FluidBlock::third); }
    float signedValue() { return cached(8, signed_, kFluidPartSigned, &FluidBlock::signedField); }
    float speed() {
        if (!(have_ & 16)) {
            speed_ = length(velocity());
            have_ |= 16;
        }
        return speed_;
    }
    xrColor colorField() {
        current(kFluidPartColor);
        const FluidColorField &c = b_->color;
        if (c.method == kFluidGrid) {
            if (!c.hasGrid) return {0, 0, 0, c.constant.a};
            return {c.constant.r * sampleGrid(c.grid[0], p_), c.constant.g * sampleGrid(c.grid[1], p_),
                    c.constant.b * sampleGrid(c.grid[2], p_), c.constant.a};
        }
        xrColor out = c.constant;
        scaleRGB(out, fluidGradient(c.method, q_, b_->base.size));
        return out;
    }
    // The scalar input of a ramp (code 11: the luminance of the colour field).
    float input(int32_t code) {
        switch (code) {
        case kInConstant: return 1.0f;
        case 1: case 2: case 3: return fluidGradient(code, q_, b_->base.size);
        case kInCenter: return fluidGradient(7, q_, b_->base.size);
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
    inline void current(FluidPart part);
    float sampleGrid(const FluidGrid &g, const xrVector &p, int staggerAxis = -1) const {
        xrVector gc = fluidGridCoord(g, p);
        if (staggerAxis >= 0) comp(gc)[staggerAxis] += 0.5f;
        return smooth_ ? fluidSmooth(g, gc, b_->is2d) : fluidLinear(g, gc, b_->is2d);
    }
    float scalar(const FluidScalarField &f) const {
        if (f.method == kFluidGrid) return f.hasGrid ? f.scale * sampleGrid(f.grid, p_) : 0.0f;
        return f.scale * fluidGradient(f.method, q_, b_->base.size);
    }
    float cached(unsigned bit, float &slot, FluidPart part, FluidScalarField FluidBlock::*field) {
        if (!(have_ & bit)) {
            current(part);
            slot = scalar(b_->*field);
            have_ |= bit;
        }
        return slot;
    }
    xrVector velocity() {
        current(kFluidPartVelocity);
        const FluidVectorField &v = b_->velocity;
        if (v.method == kFluidGrid) {
            if (!v.hasGrid) return {0, 0, 0};
            xrVector out;
            for (int a = 0; a < 3; ++a)
                comp(out)[a] = comp(v.scale)[a] * sampleGrid(v.grid[a], p_, v.staggered ? a : -1);
            return out;
        }
        return vscale(v.scale, fluidGradient(v.method, q_, b_->base.size));
    }

    BlockRef &ref_;
    const FluidBlock *b_;
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
[[gnu::noinline]] decltype(Entry::value) sampleVaryingRamp(const Params &get, const RampStage<Entry> &r, int count,
                                                           int32_t code, FluidSample &s, BuiltInNoise &noise,
                                                           const FluidBlock &b) {
    xrState *state = get.state();
    // Entries that no shader feeds are read where they are.
    count = std::min(count, kRampCurveMax);
    const Entry *entries = r.ramp->at(0);
    const bool inPlace = !get.anyConnected(entries, count);
    RampCurve curve;
    if (!inPlace) loadRamp(state, r.ramp, curve);
    float f = 1.0f;
    if (get(r.texture)) {
        const float n = noise.value(state, b, s.point());
        f = textureFactor(get(r.gain), r.invertNoise ? 1.0f - n : n);
    }
    const float x = fluidBias(s.input(code) * get(r.scale) * f, get(r.bias), code == kInSigned);
    if constexpr (std::is_same_v<Entry, ColorRampEntry>)
        return inPlace ? rampColor(entries, count, x) : rampColor(curve, x);
    else
        return inPlace ? rampValue(entries, count, x) : rampValue(curve, x);
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
    return sampleVaryingRamp(get, stage(), count, code, s, noise, b);
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

constexpr int kQueryUserPointer = 51;  // address of the running instance's user pointer

// The block an instance's fluidData led to at _init, kept for its calls
// (through the instance's user pointer) until _exit. Every element of the
// lookup (the named element and the user-data chain up to the block) stays
// pinned meanwhile, so their records are read in place without a pin per
// call. A call uses the parse only while the lookup would still end at the
// same block: the same tag, the same chain links and labels, the same
// length, and a parse that is current for the words it read. It is made
// once and only read afterwards, so the render threads share it.
struct InstanceBlock {
    static constexpr int kMaxChain = 4;  // longer chains are looked up per call
    xrTag tag = 0;                       // the fluidData tag looked up
    // The named element's label when it is a user-data element that is not
    // the block (it must stay so); null otherwise.
    const uint32_t *namedLabel = nullptr;
    // The named element's word that starts the chain; null when the named
    // element is the block.
    const uint32_t *link = nullptr;
    int chain = 0;                       // user-data elements after the named one
    xrTag chainTags[kMaxChain]{};
    const uint32_t *chainRecs[kMaxChain]{};
    xrTag pinned[kMaxChain + 1]{};
    int pins = 0;
    const uint32_t *payload = nullptr;   // the block's label word
    size_t words = 0;
    FluidBlockCache cache;

    // Walks the lookup of findUserDataOnAny from `tag`, pinning every
    // element on the way; false (pins released) when it does not end at a
    // usable block within kMaxChain elements.
    bool make(xrTag t) {
        tag = t;
        int type = 0;
        const uint32_t *rec = pin(t, &type);
        if (!rec) return false;
        if (type == xrDB_USERDATA) {
            if (rec[kUserDataLabel] == kVekoMagic) return found(rec);
            namedLabel = rec + kUserDataLabel;
            link = rec + kUserDataNext;
        } else if (type == xrDB_OBJECT) {
            link = rec + kObjectUserData;
        } else if (type == xrDB_INSTANCE) {
            link = rec + kInstanceUserData;
        } else {
            return false;
        }
        for (xrTag cur = *link; cur && chain < kMaxChain; ++chain) {
            int t2 = 0;
            const uint32_t *r = pin(cur, &t2);
            if (!r || t2 != xrDB_USERDATA) return false;
            chainTags[chain] = cur;
            chainRecs[chain] = r;
            if (r[kUserDataLabel] == kVekoMagic) {
                ++chain;
                return found(r);
            }
            cur = r[kUserDataNext];
        }
        return false;
    }
    void release() {
        for (int k = 0; k < pins; ++k) xr_db_unpin(pinned[k]);
        pins = 0;
    }
    // The parsed block when the lookup of `t` still ends here and the
    // parse is current for its header and base grid; null otherwise.
    const FluidBlock *use(xrTag t) const {
        if (t != tag) return nullptr;
        if (link) {
            if (namedLabel && *namedLabel == kVekoMagic) return nullptr;
            const uint32_t *next = link;
            for (int k = 0;; ++k) {
                if (*next != chainTags[k]) return nullptr;
                if (k + 1 == chain) break;
                if (chainRecs[k][kUserDataLabel] == kVekoMagic) return nullptr;
                next = chainRecs[k] + kUserDataNext;
            }
        }
        // The block's own label is a word of the header that holds() compares.
        if (userDataBytes(payload) / 4 != words) return nullptr;
        return cache.holds(payload, words) ? &cache.parsed() : nullptr;
    }

private:
    const uint32_t *pin(xrTag t, int *type) {
        int ty = 0;
        const auto *r = static_cast<const uint32_t *>(xr_db_access_type(&ty, t));
        if (!r) return nullptr;
        pinned[pins++] = t;
        if (type) *type = ty;
        return r;
    }
    bool found(const uint32_t *rec) {
        payload = rec + kUserDataLabel;
        words = userDataBytes(payload) / 4;
        return cache.get(payload, words) != nullptr;
    }
};

void **userPointer(xrState *state) {
    void **slot = nullptr;
    return xr_query(kQueryUserPointer, state, 0, &slot) ? slot : nullptr;
}

// The block behind a fluid tag for one call: the instance's block when it
// is still current, else found and parsed here (the element pinned while
// the reference lives). A field's grid records are checked before the
// field is first read (current()).
struct BlockRef {
    const FluidBlock *block = nullptr;
    const InstanceBlock *shared = nullptr;  // the instance's block in use
    FluidBlockCache *cache = nullptr;       // this thread's parse in use
    xrTag pinned = 0;
    ThreadBlocks *blocks = nullptr;         // set once a thread level is taken
    std::unique_ptr<FluidBlock> own;        // deeper nesting: parsed here every time
    BlockRef() = default;
    ~BlockRef() {
        if (pinned) xr_db_unpin(pinned);
        if (blocks) --blocks->depth;
    }
    BlockRef(const BlockRef &) = delete;
    BlockRef &operator=(const BlockRef &) = delete;
    bool find(xrState *state, xrTag tag) {
        if (void **slot = userPointer(state); slot && *slot) {
            shared = static_cast<const InstanceBlock *>(*slot);
            if ((block = shared->use(tag))) return true;
            shared = nullptr;
        }
        const uint32_t *label = findFluidBlock(tag, &pinned);
        if (!label) return false;
        parse(label, userDataBytes(label) / 4);
        return block != nullptr;
    }
    // The block, current for `part`: the instance's block is left for a
    // parse of this thread's when a grid record of the part changed.
    const FluidBlock *current(FluidPart part) {
        if (cache) {
            cache->check(part);
        } else if (shared && !shared->cache.holdsPart(part)) {
            // The header and base grid are unchanged (use()), and with them
            // everything the caller has read so far.
            const InstanceBlock *s = shared;
            shared = nullptr;
            parse(s->payload, s->words);
            if (!block) block = &s->cache.parsed();
        }
        return block;
    }

private:
    // Parses into this thread's level (taken here) or, nested deeper, into
    // `own`.
    void parse(const uint32_t *label, size_t words) {
        blocks = &t_blocks;
        const int level = blocks->depth++;
        if (level < int(std::size(blocks->level))) {
            cache = &blocks->level[level];
            block = cache->get(label, words);
        } else {
            own = std::make_unique<FluidBlock>();
            block = parseFluidBlock(label, words, *own, nullptr) ? own.get() : nullptr;
        }
    }
};

FluidSample::FluidSample(BlockRef &ref, int interp, const xrVector &p)
    : ref_(ref), b_(ref.block), smooth_(interp == 1), p_(p) {
    q_ = vsub(p, b_->base.centre);
    if (b_->is2d) q_.z = 0.0f;
}

inline void FluidSample::current(FluidPart part) { b_ = ref_.current(part); }

xrBoolean fluidTexture(void *result, xrState *state, const FluidTexParams *p, const xrTag *fluidData,
                       const xrInteger *interpolation, BuiltInNoise noise) {
    auto *res = static_cast<FluidTexResult *>(result);
    const Params get(state);
    BlockRef ref;
    if (!ref.find(state, get(fluidData))) {
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

    FluidSample s(ref, get(interpolation), pt);

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

// The instance's kept block (InstanceBlock) goes with its pins.
void releaseInstanceBlock(xrState *state) {
    void **slot = userPointer(state);
    if (!slot || !*slot) return;
    auto *kept = static_cast<InstanceBlock *>(*slot);
    *slot = nullptr;
    kept->release();
    delete kept;
}

// Per parameter block: the block's byte order, once, and the block kept
// for the instance's calls.
void fluidInit(xrState *state, const char *shader, const xrTag *fluidData, xrBoolean *initRequest) {
    if (!fluidData) {
        if (initRequest) *initRequest = 1;
        return;
    }
    releaseInstanceBlock(state);
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
    if (void **slot = userPointer(state)) {
        auto *kept = new InstanceBlock;
        if (kept->make(tag)) {
            *slot = kept;
        } else {
            kept->release();
            delete kept;
        }
    }
}

void fluidExit(xrState *state, const void *params) {
    if (params) releaseInstanceBlock(state);
}

}  // namespace

VEKO_EXPORT void veko_fluidtexture3d_init(xrState *state, void *params, xrBoolean *initRequest) {
    fluidInit(state, "veko_fluidtexture3d", params ? &static_cast<FluidTex3dParams *>(params)->fluidData : nullptr,
              initRequest);
}

VEKO_EXPORT void veko_fluidtexture3d_exit(xrState *state, void *params) { fluidExit(state, params); }

VEKO_EXPORT xrBoolean veko_fluidtexture3d(void *result, xrState *state, void *params) {
    const auto *p = static_cast<const FluidTex3dParams *>(params);
    return fluidTexture(result, state, &p->common, &p->fluidData, &p->interpolation,
                        BuiltInNoise{&p->common, &p->textureScale, &p->textureOrigin, &p->timeResolution});
}

VEKO_EXPORT void veko_fluidtexture2d_init(xrState *state, void *params, xrBoolean *initRequest) {
    fluidInit(state, "veko_fluidtexture2d", params ? &static_cast<FluidTex2dParams *>(params)->fluidData : nullptr,
              initRequest);
}

VEKO_EXPORT void veko_fluidtexture2d_exit(xrState *state, void *params) { fluidExit(state, params); }

VEKO_EXPORT xrBoolean veko_fluidtexture2d(void *result, xrState *state, void *params) {
    const auto *p = static_cast<const FluidTex2dParams *>(params);
    return fluidTexture(result, state, &p->common, &p->fluidData, &p->interpolation,
                        BuiltInNoise{&p->common, nullptr, nullptr, nullptr});
}
