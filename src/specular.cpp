// The glossy surface models: veko_blinn, veko_phong, veko_phongE and
// veko_anisotropic. Each runs the surface pipeline of shading.h and adds a
// highlight inside the light loop, the two specular pass outputs and a
// traced reflection; the models differ only in the highlight function and
// in how the reflectivity is weighted.
#include <algorithm>
#include <cmath>

#include "shading.h"
#include "vekobase.h"

using namespace veko;
using namespace veko::surface;
using veko::dot;
using veko::eval;

namespace {


// Blocks: the model's head, its reflection words, the shared core, then the
// blur and scatter words.
struct PhongParams {
    float cosinePower;          // 0
    ReflectionHead refl;        // 1-11
    SurfaceCore core;           // 12-55
    BlurParams refraction;      // 56-58
    BlurParams reflection;      // 59-61
    ScatterParams scatter;      // 62-70
};
static_assert(offsetof(PhongParams, core) == 12 * 4);
static_assert(offsetof(PhongParams, refraction) == 56 * 4);
static_assert(offsetof(PhongParams, reflection) == 59 * 4);

struct BlinnParams {
    float eccentricity;         // 0
    float specularRollOff;      // 1
    ReflectionHead refl;        // 2-12
    SurfaceCore core;           // 13-56
    int32_t reflectionRollOff;  // 57
    BlurParams refraction;      // 58-60
    BlurParams reflection;      // 61-63
    ScatterParams scatter;      // 64-72
};
static_assert(offsetof(BlinnParams, refl) == 2 * 4);
static_assert(offsetof(BlinnParams, core) == 13 * 4);
static_assert(offsetof(BlinnParams, core.color) == 17 * 4);
static_assert(offsetof(BlinnParams, core.glowIntensity) == 37 * 4);
static_assert(offsetof(BlinnParams, refraction) == 58 * 4);
static_assert(offsetof(BlinnParams, reflection) == 61 * 4);

struct PhongEParams {
    float roughness;            // 0
    float highlightSize;        // 1
    xrColor whiteness;          // 2-5
    ReflectionHead refl;        // 6-16
    SurfaceCore core;           // 17-60
    BlurParams refraction;      // 61-63
    BlurParams reflection;      // 64-66
    ScatterParams scatter;      // 67-75
};
static_assert(offsetof(PhongEParams, refl) == 6 * 4);
static_assert(offsetof(PhongEParams, core) == 17 * 4);
static_assert(offsetof(PhongEParams, refraction) == 61 * 4);

struct AnisotropicParams {
    float angle;                      // 0: degrees, turns the tangent frame
    float spreadX;                    // 1
    float spreadY;                    // 2
    float roughness;                  // 3
    float fresnelRefractiveIndex;     // 4
    int32_t anisotropicReflectivity;  // 5: weight the reflection by Fresnel
    ReflectionHead refl;              // 6-16
    SurfaceCore core;                 // 17-60
    BlurParams refraction;            // 61-63
    BlurParams reflection;            // 64-66
    ScatterParams scatter;            // 67-75
};
static_assert(offsetof(AnisotropicParams, refl) == 6 * 4);
static_assert(offsetof(AnisotropicParams, core) == 17 * 4);
static_assert(offsetof(AnisotropicParams, reflection) == 64 * 4);

template <class Params>
xrBoolean shade(const char *name, void *result, xrState *state, Params *p, SpecularModel &model) {
    model.head = &p->refl;
    model.reflectionBlur = &p->reflection;
    SurfaceBlock block;
    block.core = coreRefs(&p->core);
    block.refractionBlur = &p->refraction;
    block.scatter = &p->scatter;
    return shadeSurface(name, result, state, block, &model);
}

// Cosine of the mirror direction R = V - 2 cosView N with the light
// direction L.
float mirrorCosine(const xrState *state, const xrVector &L) {
    const xrVector r = vsub(state->rayDirection, vscale(state->shadingNormal, 2.0f * state->cosView));
    const float len = veko::length(r);
    return len > 0.0f ? dot(L, r) / len : 0.0f;
}

// ---------------------------------------------------------------------------
// Blinn: microfacet highlight with a Fresnel-style roll-off.
class Blinn final : public SpecularModel {
public:
    explicit Blinn(const BlinnParams *p) : p_(p) {}
    void prepare(const Shading &sh) override {
        xrState *state = sh.state;
        d_ = blinnSpread(eval(state, &p_->eccentricity));
        rollOff_ = eval(state, &p_->specularRollOff);
        reflectionRollOff_ = sh.pm.has(kPassReflection) && eval(state, &p_->reflectionRollOff) != 0;
    }
    float highlight(const Shading &sh, const xrVector &L, float c) const override {
        float h = 0.0f;
        const float gd = blinnMicrofacet(sh.state, L, c, d_, h);
        if (!(gd > 0.0f)) return 0.0f;
        const float k = 1.0f - h;
        const float F = rollOff_ + (1.0f - rollOff_) * k * k * k;
        return F * gd;
    }
    float reflectivityFactor(const Shading &sh) const override {
        if (!reflectionRollOff_) return 1.0f;
        const float k = 1.0f + sh.state->cosView;
        return rollOff_ + (1.0f - rollOff_) * k * k * k;
    }

private:
    const BlinnParams *p_;
    float d_ = 0.0f;
    float rollOff_ = 0.0f;
    bool reflectionRollOff_ = false;
};

// ---------------------------------------------------------------------------
// Phong: power of the cosine to the mirror direction.
class Phong final : public SpecularModel {
public:
    explicit Phong(const PhongParams *p) : p_(p) {}
    void prepare(const Shading &sh) override { power_ = eval(sh.state, &p_->cosinePower); }
    float highlight(const Shading &sh, const xrVector &L, float) const override {
        const float r = mirrorCosine(sh.state, L);
        if (!(r > 0.0f)) return 0.0f;
        const float x = power_ * std::log(r);
        // A flat highlight never vanishes for light on the mirror side.
        return x < -10.0f ? 4.54e-5f : std::exp(x);
    }

private:
    const PhongParams *p_;
    float power_ = 0.0f;
};

// ---------------------------------------------------------------------------
// PhongE: a highlight of finite size around the mirror direction, tinted
// towards the surface colour by `whiteness`.
class PhongE final : public SpecularModel {
public:
    explicit PhongE(const PhongEParams *p) : p_(p) {}
    void prepare(const Shading &sh) override {
        xrState *state = sh.state;
        const float r = eval(state, &p_->roughness);
        const float q = 0.969f * r + 0.03f;
        q_ = std::fabs(r) < 1e-5f ? 8.1e-7f : q * q;
        size_ = eval(state, &p_->highlightSize);
        const xrColor w = eval(state, &p_->whiteness);
        tint_ = {w.r + (1.0f - w.r) * sh.color.r, w.g + (1.0f - w.g) * sh.color.g,
                 w.b + (1.0f - w.b) * sh.color.b, 1.0f};
    }
    float highlight(const Shading &sh, const xrVector &L, float c) const override {
        const float t = 1.0f - mirrorCosine(sh.state, L);
        if (!(q_ > t)) return 0.0f;
        const float u = 1.0f - t / q_;
        const float w = u * u * (size_ - 1.0f) + 1.0f;
        if (std::fabs(w) < 1e-5f) return 0.0f;
        float s = u * size_ / w;
        if (c < 0.1f && s > 0.001f) s *= 10.0f * c;  // fade the highlight out at the terminator
        return s;
    }
    // The highlight takes the colour whiteness + (1 - whiteness) x color.
    xrColor specularTint(const Shading &) const override { return tint_; }

private:
    const PhongEParams *p_;
    float q_ = 0.0f;
    float size_ = 0.0f;
    xrColor tint_{1.0f, 1.0f, 1.0f, 1.0f};
};

// ---------------------------------------------------------------------------
// Anisotropic: a rough-surface model with two spreads along the tangent
// frame (surface u direction turned by `angle`), Smith-style shadowing,
// Fresnel and a Poisson series over the roughness spectrum.

// erfc for x >= 0 (Abramowitz and Stegun 7.1.26).
float erfcApprox(float x) {
    const float t = 1.0f / (1.0f + 0.3275911f * x);
    const float poly = t * (0.2548296f + t * (-0.28449672f + t * (1.4214138f + t * (-1.4531521f + t * 1.0614054f))));
    return poly * std::exp(-x * x);
}

constexpr float kSpectrum = 11.423973f;

class Anisotropic final : public SpecularModel {
public:
    explicit Anisotropic(const AnisotropicParams *p) : p_(p) {}

    void prepare(const Shading &sh) override {
        xrState *state = sh.state;
        // Spreads of 0 would divide by zero in the slope width; keep them
        // just above it.
        spreadX_ = std::max(std::fabs(eval(state, &p_->spreadX)), 1e-3f);
        spreadY_ = std::max(std::fabs(eval(state, &p_->spreadY)), 1e-3f);
        sigma_ = eval(state, &p_->roughness);
        fresnel_ = eval(state, &p_->fresnelRefractiveIndex);
        fresnelReflect_ = sh.pm.has(kPassReflection) && eval(state, &p_->anisotropicReflectivity) != 0;

        // Tangent: the first surface derivative projected into the tangent
        // plane, any perpendicular when there is none; turned by `angle`.
        const xrVector &n = state->shadingNormal;
        xrVector t{0.0f, 0.0f, 0.0f};
        if (state->derivU) {
            xrVector du;  // the host keeps surface derivatives in object space
            xr_vector_from_object(state, &du, &state->derivU[0]);
            t = vsub(du, vscale(n, dot(du, n)));
        }
        if (veko::length(t) < 1e-8f) {
            const xrVector helper = std::fabs(n.x) < 0.9f ? xrVector{1.0f, 0.0f, 0.0f} : xrVector{0.0f, 1.0f, 0.0f};
            t = veko::cross(helper, n);
        }
        t = normalize(t);
        const xrVector b = veko::cross(n, t);
        const float a = eval(state, &p_->angle) * kPi / 180.0f;
        tangent_ = normalize(vadd(vscale(t, std::cos(a)), vscale(b, std::sin(a))));
    }

    float highlight(const Shading &sh, const xrVector &L, float c) const override {
        if (!(sigma_ > 0.0f)) return 0.0f;  // a perfect mirror has no spread highlight
        const xrState *state = sh.state;
        const xrVector &n = state->shadingNormal;
        const xrVector b = veko::cross(n, tangent_);
        const Angles ai = angles(L, n, b);
        const Angles ar = angles(vneg(state->rayDirection), n, b);
        if (ai.cosT < 0.0f || ar.cosT < 0.0f) return 0.0f;  // shadowing factor 0

        const float ci = std::min(1.0f, c);
        const float sum = ai.cosT + ar.cosT;
        const float prod = ai.cosT * ar.cosT;
        if (!(sum > 0.0f) || !(prod > 0.0f)) return 0.0f;
        const float G = ((ai.cosP * ar.cosP + ai.sinP * ar.sinP) * ai.sinT * ar.sinT + prod + 1.0f) / sum;
        const float geometric = G * G / prod;
        const float shadow = 1.0f / (1.0f + 0.5f * (lambda(ai) + lambda(ar)));
        const float F = fresnel(ci);

        const float u = kSpectrum * sum;
        const float bb = u * u * sigma_;
        const float tx = kSpectrum * spreadX_ * (ar.cosP * ar.sinT + ai.cosP * ai.sinT);
        const float ty = kSpectrum * spreadY_ * (ar.sinP * ar.sinT + ai.sinP * ai.sinT);
        const float a = -0.25f * (tx * tx + ty * ty);
        const float k = kPi * spreadX_ * spreadY_;
        float S = 0.0f;
        if (bb > 20.0f) {
            S = std::exp(a / bb) * k / bb;
        } else {
            // Poisson series: weight b^m e^-b / m!, at least up to m = trunc(b).
            const int least = static_cast<int>(bb);
            float weight = bb * std::exp(-bb);
            for (int m = 1;; ++m) {
                S += weight * std::exp(a / static_cast<float>(m)) * k / static_cast<float>(m);
                if (m + 1 >= 200) break;
                weight *= bb / static_cast<float>(m + 1);
                if (!(weight > 1e-7f) && m + 1 > least) break;
            }
        }
        S *= 3.3057847f;
        const float s = shadow * geometric * F * S * ci;
        return s > 0.0f ? s : 0.0f;
    }

    float reflectivityFactor(const Shading &sh) const override {
        if (!fresnelReflect_) return 1.0f;
        const xrState *state = sh.state;
        const xrVector &n = state->shadingNormal;
        const Angles ar = angles(vneg(state->rayDirection), n, veko::cross(n, tangent_));
        if (ar.cosT < 0.0f) return 0.0f;
        const float cr = std::min(1.0f, ar.cosT);
        // The mirror direction has the same polar angle and slope width.
        const float shadow = 1.0f / (1.0f + lambda(ar));
        const float x = 2.0f * kSpectrum * cr;
        return fresnel(cr) * shadow * std::exp(-x * x * sigma_);
    }

private:
    struct Angles {
        float cosT, sinT, cosP, sinP;
    };
    // Polar and azimuth angles of `d` in the frame (tangent, b, n).
    Angles angles(const xrVector &d, const xrVector &n, const xrVector &b) const {
        Angles a;
        a.cosT = std::clamp(dot(d, n), -1.0f, 1.0f);
        a.sinT = std::sqrt(std::max(0.0f, 1.0f - a.cosT * a.cosT));
        const float x = dot(d, tangent_), y = dot(d, b);
        const float r = std::sqrt(x * x + y * y);
        a.cosP = r > 0.0f ? x / r : 1.0f;
        a.sinP = r > 0.0f ? y / r : 0.0f;
        return a;
    }
    // Shadowing term of one direction.
    float lambda(const Angles &a) const {
        if (a.cosT <= 0.0f) return 1e30f;  // grazing: fully shadowed
        const float tanT = a.sinT / a.cosT;
        const float cotT = std::fabs(tanT) < 1e-5f ? 1e7f : 1.0f / tanT;
        const float w = 4.0f * sigma_ *
                        (a.cosP * a.cosP / (spreadX_ * spreadX_) + a.sinP * a.sinP / (spreadY_ * spreadY_));
        if (!(w > 0.0f)) return 0.0f;
        return std::sqrt(w / kPi) * tanT * std::exp(-cotT * cotT / w) - erfcApprox(cotT / std::sqrt(w));
    }
    float fresnel(float ci) const {
        const float g = std::sqrt(std::max(0.0f, ci * ci + fresnel_ - 1.0f));
        const float d1 = ci + g, d2 = ci * fresnel_ + g;
        if (d1 == 0.0f || d2 == 0.0f) return 1.0f;
        const float a = (ci - g) / d1, b = (ci * fresnel_ - g) / d2;
        return 0.5f * (a * a + b * b);
    }

    const AnisotropicParams *p_;
    float spreadX_ = 1.0f, spreadY_ = 1.0f, sigma_ = 0.0f, fresnel_ = 1.0f;
    bool fresnelReflect_ = false;
    xrVector tangent_{1.0f, 0.0f, 0.0f};
};

}  // namespace

// ---------------------------------------------------------------------------
// Exported shaders. Per instance: the scatter term's point clouds live until
// the instance's exit.
#define VEKO_GLOSSY_LIFECYCLE(node)                                                   \
    VEKO_EXPORT void node##_init(xrState *, void *params, xrBoolean *initRequest) {   \
        if (!params && initRequest) *initRequest = 1;                                 \
    }                                                                                 \
    VEKO_EXPORT void node##_exit(xrState *state, void *params) {                      \
        if (params) veko::surface::releaseScatter(state);                             \
    }

VEKO_GLOSSY_LIFECYCLE(veko_blinn)
VEKO_GLOSSY_LIFECYCLE(veko_phong)
VEKO_GLOSSY_LIFECYCLE(veko_phongE)
VEKO_GLOSSY_LIFECYCLE(veko_anisotropic)

VEKO_EXPORT xrBoolean veko_blinn(void *result, xrState *state, void *params) {
    auto *p = static_cast<BlinnParams *>(params);
    Blinn model(p);
    return shade("veko_blinn", result, state, p, model);
}

VEKO_EXPORT xrBoolean veko_phong(void *result, xrState *state, void *params) {
    auto *p = static_cast<PhongParams *>(params);
    Phong model(p);
    return shade("veko_phong", result, state, p, model);
}

VEKO_EXPORT xrBoolean veko_phongE(void *result, xrState *state, void *params) {
    auto *p = static_cast<PhongEParams *>(params);
    PhongE model(p);
    return shade("veko_phongE", result, state, p, model);
}

VEKO_EXPORT xrBoolean veko_anisotropic(void *result, xrState *state, void *params) {
    auto *p = static_cast<AnisotropicParams *>(params);
    Anisotropic model(p);
    return shade("veko_anisotropic", result, state, p, model);
}
