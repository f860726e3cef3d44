// Particle render shaders. veko_blobbyparticles draws a particle system as an
// implicit surface: each particle adds a field that falls smoothly to zero
// at its radius, and the surface is where the field along the ray reaches a
// threshold. It runs inside the volume sampler, which hands it the sample
// stack: every shaded crossing becomes a point sample on it. The cloud and
// tube shaders build their records; their shading is not designed yet.
// veko_particlesamplerinfo hands the attributes blended at a crossing to the
// material.
//
// Host queries used here:
//   51   address of the running instance's user pointer (the record)
//   58   result size in bytes of the material or shadow shader
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "particles.h"
#include "volume.h"

namespace {

using veko::BaseStateRecord;
using veko::eval;
using veko::ParticleEvent;
using veko::ParticleRecord;

constexpr xrInteger kQueryResultSize = 58;
constexpr float kTiny = 0.00001f;
constexpr float kMinCrossing = 0.00025f;  // nearer crossings are the surface a ray leaves
constexpr int kMaxEstimates = 50;

// Shader kinds of xr_call_shader_x.
constexpr xrInteger kCallMaterial = 1;
constexpr xrInteger kCallShadow = 3;

// A result of at least this many bytes is a surface shader's record, whose
// transparency is words 12 to 15.
constexpr size_t kSurfaceTransparencyEnd = offsetof(veko::MaterialResult, outTransparency) + sizeof(xrColor);

struct BlobbyParams {
    xrTag material;                    // 0
    xrTag shadowShader;                // 1
    xrScalar threshold;                // 2
    xrTag particleData;                // 3
    xrBoolean visibleInReflections;    // 4
    xrBoolean visibleInRefractions;    // 5
};
static_assert(sizeof(BlobbyParams) == 24);

// Cloud and tube shaders: only the data tag so far.
struct ParticleDataParams {
    xrTag particleData;  // 0
};
static_assert(sizeof(ParticleDataParams) == 4);

// A closest-approach event as the field needs it.
struct Blob {
    float t;   // distance along the ray
    float q2;  // squared distance of the centre from the ray
    xrVector centre;
    float radius;
    int32_t particle;
};

// The summed field along one ray.
struct Field {
    const Blob *blobs;  // ascending in t
    int count;
    float rmax;  // largest radius: the window half-width

    const Blob *begin(float t) const {
        return std::lower_bound(blobs, blobs + count, t - rmax, [](const Blob &b, float v) { return b.t < v; });
    }
    const Blob *end() const { return blobs + count; }
    bool inWindow(const Blob *b, float t) const { return b->t <= t + rmax; }

    // The field at t; `boundaryOf` names a particle whose entry or exit t
    // is: it adds nothing there, which rounding of d² against R² would not
    // quite give (and a zero threshold tests the field for zero).
    float at(float t, int32_t boundaryOf = -1) const {
        float f = 0.0f;
        for (const Blob *b = begin(t); b != end() && inWindow(b, t); ++b) {
            if (b->particle == boundaryOf) continue;
            const float d2 = (t - b->t) * (t - b->t) + b->q2, r2 = b->radius * b->radius;
            if (d2 < r2) {
                const float x = 1.0f - d2 / r2;
                f += x * x;
            }
        }
        return f;
    }
    // Sum of the radial directions weighted by the field's fall-off at P.
    xrVector normal(float t, const xrVector &p) const {
        xrVector n = {0, 0, 0};
        for (const Blob *b = begin(t); b != end() && inWindow(b, t); ++b) {
            const float d2 = (t - b->t) * (t - b->t) + b->q2, r2 = b->radius * b->radius;
            if (d2 < r2) n = veko::vadd(n, veko::vscale(veko::vsub(p, b->centre), 4.0f * (1.0f - d2 / r2)));
        }
        return n;
    }
};

// Crossing of the threshold between (ta, fa) and (tb, fb) by false position.
float falsePosition(const Field &field, float threshold, float ta, float fa, float tb, float fb) {
    const float lo = std::fmin(ta, tb), hi = std::fmax(ta, tb);
    float x = ta, prev = 0.0f;
    for (int k = 0; k < kMaxEstimates; ++k) {
        // Equal values give no secant: take the middle of the bracket.
        x = std::fabs(fb - fa) < kTiny ? 0.5f * (ta + tb) : ta - (tb - ta) * fa / (fb - fa);
        x = std::clamp(x, lo, hi);
        if (k > 0 && std::fabs(x - prev) < 0.0001f) break;
        const float fx = field.at(x) - threshold;
        if (fx * fb > 0.0f) {
            tb = x;
            fb = fx;
        } else {
            ta = x;
            fa = fx;
        }
        prev = x;
    }
    return x;
}

// Weighted attribute means of the particles containing a crossing.
struct Blend {
    float weight = 0.0f;  // W
    float u = 0.0f, v = 0.0f;
    float meanRadius = 0.0f;
    float attr[16] = {};  // particleBlock words 1-15
};

void blendAttributes(xrState *state, const Field &field, float t, const xrVector &p, const veko::ParticleBlock &block,
                     bool motion, Blend *out) {
    struct Array {
        int pair, velocity, components, word;
        bool inverted;
    };
    static const Array kArrays[] = {
        {veko::kBlockAttr1, veko::kBlockAttrVel1, 1, 1, false},
        {veko::kBlockAttr2, veko::kBlockAttrVel1 + 2, 1, 2, false},
        {veko::kBlockAttr3, veko::kBlockAttrVel1 + 4, 3, 4, false},
        {veko::kBlockAttr4, veko::kBlockAttrVel1 + 6, 3, 8, true},
        {veko::kBlockAttr5, veko::kBlockAttrVel1 + 8, 3, 12, false},
    };
    Blend b;
    float uSum = 0.0f, vSum = 0.0f, rSum = 0.0f;
    for (const Blob *e = field.begin(t); e != field.end() && field.inWindow(e, t); ++e) {
        const xrVector off = veko::vsub(p, e->centre);
        const float d2 = veko::dot(off, off), r2 = e->radius * e->radius;
        if (d2 - r2 >= kMinCrossing) continue;
        const float x = 1.0f - d2 / r2;
        const float w = std::fmax(x * x, kTiny);
        b.weight += w;
        rSum += w * e->radius;

        xrVector n;
        xr_vector_to_object(state, &n, &off);
        n = veko::normalize(n);
        uSum += w * (1.0f - n.z) * 0.5f;
        const float s = 1.0f - n.z * n.z;
        const float ratio = s > 0.0f ? n.x / std::sqrt(s) : 0.0f;
        if (ratio <= -0.99999f)
            vSum += w;
        else if (ratio < 0.99999f)
            vSum += w * std::acos(ratio) / veko::kPi;

        for (const Array &a : kArrays) {
            const float *value = block.element(a.pair, e->particle, a.components);
            const float *vel = motion ? block.element(a.velocity, e->particle, a.components) : nullptr;
            for (int c = 0; c < a.components; ++c) {
                float term = value ? value[c] : 0.0f;
                if (vel) term += state->sampleTime * vel[c];
                b.attr[a.word + c] += w * (a.inverted ? 1.0f - term : term);
            }
        }
    }
    if (b.weight >= kTiny) {
        b.u = uSum / b.weight;
        b.v = vSum / b.weight;
        b.meanRadius = rSum / b.weight;
        for (float &a : b.attr) a /= b.weight;
    }
    *out = b;
}

// What the search changes in the state and the per-ray record, restored at
// the end.
struct SavedState {
    double hitDistance;
    float cosView;
    xrVector hitPoint, shadingNormal, geometricNormal, texCoord;
    xrVector *texCoords;
    uint8_t normalFlipped;
    int32_t recordWords[26];  // words 36-61
    int32_t refractionsOn;
    xrVector footprintU, footprintV;

    void save(xrState *s, BaseStateRecord *r) {
        hitDistance = s->hitDistance;
        cosView = s->cosView;
        hitPoint = s->hitPoint;
        shadingNormal = s->shadingNormal;
        geometricNormal = s->geometricNormal;
        normalFlipped = s->normalFlipped;
        texCoords = s->texCoords;
        texCoord = texCoords ? texCoords[0] : xrVector{0, 0, 0};
        std::memcpy(recordWords, r->particleBlock, sizeof recordWords);
        refractionsOn = r->refractionsOn;
        veko::touchFootprint(s, r);
        footprintU = r->footprintU;
        footprintV = r->footprintV;
    }
    void restore(xrState *s, BaseStateRecord *r) const {
        s->hitDistance = hitDistance;
        s->cosView = cosView;
        s->hitPoint = hitPoint;
        s->shadingNormal = shadingNormal;
        s->geometricNormal = geometricNormal;
        s->normalFlipped = normalFlipped;
        s->texCoords = texCoords;
        if (texCoords) texCoords[0] = texCoord;
        std::memcpy(r->particleBlock, recordWords, sizeof recordWords);
        r->refractionsOn = refractionsOn;
        r->footprintU = footprintU;
        r->footprintV = footprintV;
    }
};

struct Search {
    xrState *state;
    BaseStateRecord *rec;
    veko::VolumeSampleStack *stack;
    const veko::ParticleBlock &block;
    xrTag shader;  // material, or the shadow shader on shadow rays
    float threshold;
    bool motion;

    // The transparency of a crossing on a shadow ray. A shadow shader filters
    // the colour it is given, (1, 1, 1, 1) here; a surface shader wired in
    // its place writes its whole result record and answers with that
    // record's transparency. The buffer is as large as the shader's result,
    // so neither writes beyond it.
    xrColor shadowTransparency(xrState *s) const {
        int32_t bytes = 0;
        if (!xr_query(kQueryResultSize, s, shader, &bytes) || bytes < int32_t(sizeof(xrColor)))
            bytes = int32_t(sizeof(xrColor));
        alignas(16) float local[64];
        float *buf = size_t(bytes) <= sizeof local
                         ? local
                         : static_cast<float *>(xr_mem_int_allocate(__FILE__, __LINE__, size_t(bytes)));
        if (!buf) return {0, 0, 0, 0};
        std::memset(buf, 0, size_t(bytes));
        xrColor filter = {1, 1, 1, 1};
        std::memcpy(buf, &filter, sizeof filter);
        const bool surfaceResult = size_t(bytes) >= kSurfaceTransparencyEnd;
        if (surfaceResult) std::memcpy(buf + 12, &filter, sizeof filter);
        if (!xr_call_shader_x(buf, kCallShadow, s, shader, nullptr)) filter = {0, 0, 0, 0};
        else std::memcpy(&filter, surfaceResult ? buf + 12 : buf, sizeof filter);
        if (buf != local) xr_mem_int_release(__FILE__, __LINE__, buf);
        return filter;
    }

    // Shades the crossing at t; false when the search is to stop (an opaque
    // sample was pushed). Counts pushed samples in `shaded`.
    bool shade(const Field &field, float t, const ParticleEvent &ea, const ParticleEvent &eb, bool useB, int *shaded) {
        xrState *s = state;
        s->hitDistance = t;
        const xrVector p = veko::vadd(s->rayOrigin, veko::vscale(s->rayDirection, t));
        s->hitPoint = p;
        xrVector n = threshold != 0.0f ? field.normal(t, p)
                                       : veko::vsub(p, (useB ? eb : ea).sphere().centre);
        n = veko::normalize(n);
        const bool flip = veko::dot(n, s->rayDirection) > 0.0f;
        if (flip) n = veko::vneg(n);
        s->normalFlipped = flip ? 1 : 0;
        s->cosView = veko::dot(n, s->rayDirection);
        s->geometricNormal = n;
        s->shadingNormal = n;

        if (field.begin(t) == field.end() || !field.inWindow(field.begin(t), t)) return true;
        Blend b;
        blendAttributes(s, field, t, p, block, motion, &b);
        if (b.weight < kTiny) return true;
        s->texCoords[0] = {b.u, b.v, 0.0f};
        std::memset(rec->particleBlock, 0, sizeof rec->particleBlock);
        rec->particleBlock[0] = eb.particle;
        std::memcpy(&rec->particleBlock[1], &b.attr[1], 15 * sizeof(float));

        veko::VolumeSampleResult sample{};
        if (s->rayKind == xrRAY_SHADOW) {
            sample.outTransparency = shadowTransparency(s);
        } else {
            if (rec->filterEnabled) {
                xrVector pc;
                xr_point_to_camera(s, &pc, &p);
                const float f = veko::length(pc) * rec->filterSize / (2.0f * b.meanRadius);
                rec->footprintU = rec->footprintV = {f, f, 0.0f};
            } else {
                const float f = rec->baseFilterSize;
                rec->footprintU = rec->footprintV = {f, f, f};
            }
            rec->refractionsOn = 0;
            int32_t bytes = 0;
            if (!xr_query(kQueryResultSize, s, shader, &bytes) || bytes < 64) bytes = 64;
            alignas(16) float local[256];
            float *buf = size_t(bytes) <= sizeof local
                             ? local
                             : static_cast<float *>(xr_mem_int_allocate(__FILE__, __LINE__, size_t(bytes)));
            if (!buf) return true;
            std::memset(buf, 0, size_t(bytes));
            const xrBoolean ok = xr_call_shader_x(buf, kCallMaterial, s, shader, nullptr);
            if (ok) {
                std::memcpy(&sample, buf, sizeof sample);
                const bool refracted = s->optionsRecord && s->optionsRecord->traceEnabled && rec->refractionsOn;
                if (refracted) sample.outTransparency = {0, 0, 0, 0};
            }
            if (buf != local) xr_mem_int_release(__FILE__, __LINE__, buf);
            if (!ok) return true;
        }
        if (!veko::pushVolumeNode(*stack, veko::kVolPoint, t, 0.0f, sample)) return false;
        ++*shaded;
        return !veko::blackRGB(sample.outTransparency);
    }

    int run(veko::EventList &list) {
        SavedState saved;
        saved.save(state, rec);
        xrVector localCoord = {0, 0, 0};
        if (!state->texCoords) state->texCoords = &localCoord;
        const float limit = float(state->hitDistance);

        // Events in distance order, entries and exits clamped to the segment.
        auto **events = static_cast<ParticleEvent **>(
            xr_mem_int_allocate(__FILE__, __LINE__, sizeof(ParticleEvent *) * size_t(list.count) +
                                                        sizeof(Blob) * size_t(list.count)));
        int shaded = 0;
        if (events) {
            int m = 0;
            for (ParticleEvent *e = list.head; e && m < list.count; e = e->next) {
                if (e->kind == veko::kEventEntry && e->distance < kTiny) e->distance = kTiny;
                if (e->kind == veko::kEventExit && e->distance > limit) e->distance = limit;
                events[m++] = e;
            }
            std::sort(events, events + m,
                      [](const ParticleEvent *a, const ParticleEvent *b) { return a->distance < b->distance; });
            Blob *blobs = reinterpret_cast<Blob *>(events + list.count);
            int nb = 0;
            float rmax = 0.0f;
            for (int i = 0; i < m; ++i)
                if (events[i]->kind == veko::kEventClosest) {
                    const ParticleEvent &e = *events[i];
                    blobs[nb++] = {e.distance, e.squared, e.sphere().centre, e.sphere().radius, e.particle};
                    rmax = std::fmax(rmax, e.sphere().radius);
                }
            const Field field{blobs, nb, rmax};
            sweep(field, events, m, limit, &shaded);
            xr_mem_int_release(__FILE__, __LINE__, events);
        }
        saved.restore(state, rec);
        return shaded;
    }

    // Field minus threshold at an event; an entry or exit left where the
    // walk put it (not clamped to the segment) is its particle's boundary.
    float valueAt(const Field &field, const ParticleEvent &e, float limit) const {
        const bool boundary = (e.kind == veko::kEventEntry && e.distance > kTiny) ||
                              (e.kind == veko::kEventExit && e.distance < limit);
        return field.at(e.distance, boundary ? e.particle : -1) - threshold;
    }

    void sweep(const Field &field, ParticleEvent **events, int m, float limit, int *shaded) {
        if (m == 0) return;
        int ia = 0;
        float ta = events[0]->distance, fa = valueAt(field, *events[0], limit);
        for (int ib = 1; ib < m; ++ib) {
            if (ta >= limit) return;
            const float tb = events[ib]->distance;
            if (tb == ta) continue;
            const float fb = valueAt(field, *events[ib], limit);
            // With a zero threshold the field only touches it: a crossing is
            // where the field starts or stops being zero.
            const bool crossing = threshold != 0.0f ? !(fa * fb > kTiny) : ((fa == 0.0f) != (fb == 0.0f));
            if (crossing) {
                const bool useB = fb < fa;
                const float t = threshold != 0.0f ? falsePosition(field, threshold, ta, fa, tb, fb) : (useB ? tb : ta);
                if (t >= kMinCrossing && !shade(field, t, *events[ia], *events[ib], useB, shaded)) return;
            }
            ia = ib;
            ta = tb;
            fa = fb;
        }
    }
};

// The ray chain includes a reflection (refraction) ray and the particles are
// hidden from those.
bool hiddenFromRay(const xrState *state, bool inReflections, bool inRefractions) {
    for (const xrState *s = state; s; s = s->spawningState) {
        if (s->rayKind == 2 && !inReflections) return true;
        if (s->rayKind == 3 && !inRefractions) return true;
    }
    return false;
}

void initParticles(xrState *state, const xrTag *dataTag, xrBoolean *initRequest, int kind, const char *shader) {
    if (!dataTag) {
        if (initRequest) *initRequest = 1;
        return;
    }
    veko::particleInstanceInit(state, eval(state, dataTag), kind, shader);
}

}  // namespace

// ---------------------------------------------------------------------------
// veko_blobbyparticles: result is the volume sampler's VolumeSampleStack.

VEKO_EXPORT void veko_blobbyparticles_init(xrState *state, void *params, xrBoolean *initRequest) {
    initParticles(state, params ? &static_cast<BlobbyParams *>(params)->particleData : nullptr, initRequest,
                  veko::kParticleBlobby, "veko_blobbyparticles");
}

VEKO_EXPORT void veko_blobbyparticles_exit(xrState *state, void *params) {
    if (params) veko::particleInstanceExit(state);
}

VEKO_EXPORT xrBoolean veko_blobbyparticles(void *result, xrState *state, void *params, void *) {
    static const char *kName = "veko_blobbyparticles";
    auto *p = static_cast<BlobbyParams *>(params);
    BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        VEKO_WARN(kName, "Internal state error.");
        return 0;
    }
    if (hiddenFromRay(state, eval(state, &p->visibleInReflections) != 0, eval(state, &p->visibleInRefractions) != 0))
        return 0;
    veko::ParticleBlock block;
    if (!veko::openParticleBlock(state, eval(state, &p->particleData), &block)) {
        VEKO_WARN(kName, "Particle data access failed.");
        return 0;
    }
    const ParticleRecord *record = veko::particleInstanceRecord(state);
    if (!record) {
        VEKO_WARN(kName, "Prebuilt data was not found.");
        block.release();
        return 0;
    }
    int shaded = 0;
    if (record->root && result) {
        veko::EventList list;
        list.pool = veko::threadBlockPool(state, sizeof(ParticleEvent));
        veko::walkParticles(state, *record, list);
        const xrTag shader = state->rayKind == xrRAY_SHADOW ? eval(state, &p->shadowShader) : eval(state, &p->material);
        Search search{state, rec, static_cast<veko::VolumeSampleStack *>(result), block, shader,
                      eval(state, &p->threshold), record->hasMotion != 0};
        shaded = search.run(list);
        veko::releaseEvents(list);
    }
    block.release();
    return shaded;
}

// ---------------------------------------------------------------------------
// Cloud and tube particles: the record is built and released; their shading
// is not designed yet, so they add no samples.

VEKO_EXPORT void veko_cloudparticles_init(xrState *state, void *params, xrBoolean *initRequest) {
    initParticles(state, params ? &static_cast<ParticleDataParams *>(params)->particleData : nullptr, initRequest,
                  veko::kParticleCloud, "veko_cloudparticles");
}
VEKO_EXPORT void veko_cloudparticles_exit(xrState *state, void *params) {
    if (params) veko::particleInstanceExit(state);
}
VEKO_EXPORT xrBoolean veko_cloudparticles(void *, xrState *state, void *, void *) {
    if (!veko::particleInstanceRecord(state)) VEKO_WARN("veko_cloudparticles", "Prebuilt data was not found.");
    return 0;
}

VEKO_EXPORT void veko_tubeparticles_init(xrState *state, void *params, xrBoolean *initRequest) {
    initParticles(state, params ? &static_cast<ParticleDataParams *>(params)->particleData : nullptr, initRequest,
                  veko::kParticleTube, "veko_tubeparticles");
}
VEKO_EXPORT void veko_tubeparticles_exit(xrState *state, void *params) {
    if (params) veko::particleInstanceExit(state);
}
VEKO_EXPORT xrBoolean veko_tubeparticles(void *, xrState *state, void *, void *) {
    if (!veko::particleInstanceRecord(state)) VEKO_WARN("veko_tubeparticles", "Prebuilt data was not found.");
    return 0;
}

// ---------------------------------------------------------------------------
// veko_particlesamplerinfo: the attributes blended at a particle crossing.

namespace {

struct SamplerInfoParams {
    xrInteger outUvType;  // 0
    xrScalar timeScale;   // 1
    xrBoolean clampUv;    // 2
    xrBoolean invertUv;   // 3
};
static_assert(sizeof(SamplerInfoParams) == 16);

struct SamplerInfoResult {
    xrVector outUvCoord;     // 0-2
    xrColor outColor1;       // 3-6: particleBlock words 4-7
    xrColor outColor2;       // 7-10: words 8-11
    xrColor outColor3;       // 11-14: words 12-15
    float outParticleIndex;  // 15: word 0
    float outValue;          // 16: word 1
};
static_assert(sizeof(SamplerInfoResult) == 68);

// u = v of the node for a first value a and second value b.
bool particleUv(int type, float a, float b, float timeScale, bool clampUv, float *uv) {
    switch (type) {
        case 0:
            *uv = a / std::fmax(b, kTiny);
            return true;
        case 1: {
            const float x = a / std::fmax(timeScale, kTiny);
            *uv = x > 1.0f ? (clampUv ? 1.0f : std::fmod(x, 2.0f)) : x;
            return true;
        }
        default:
            *uv = 0.0f;
            return false;
    }
}

}  // namespace

VEKO_EXPORT xrBoolean veko_particlesamplerinfo(void *result, xrState *state, void *params, void *) {
    auto *p = static_cast<SamplerInfoParams *>(params);
    auto *out = static_cast<SamplerInfoResult *>(result);
    const BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        VEKO_WARN("veko_particlesamplerinfo", "Internal state error.");
        return 0;
    }
    float words[16];
    std::memcpy(words, rec->particleBlock, sizeof words);
    float uv = 0.0f;
    if (!particleUv(eval(state, &p->outUvType), words[1], words[2], eval(state, &p->timeScale),
                    eval(state, &p->clampUv) != 0, &uv))
        VEKO_WARN("veko_particlesamplerinfo", "Given outUvType unsupported.");
    if (eval(state, &p->invertUv)) uv = 1.0f - uv;
    out->outUvCoord = {uv, uv, 0.0f};
    std::memcpy(&out->outColor1, &words[4], 12 * sizeof(float));
    out->outParticleIndex = float(rec->particleBlock[0]);
    out->outValue = words[1];
    return 1;
}
