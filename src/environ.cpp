// Environment shaders: the mirror ball (with its finite sphere and box
// projections), the procedural chrome studio, the six-face cube, the
// latitude-longitude sphere, the constant colour, and the procedural sky.
//
// Each turns the direction of the current ray into a colour. Image inputs
// are parameters (usually connected textures); the shader decides the
// texture coordinate at which they are evaluated, writes it into the state's
// first texture coordinate for the call and restores it afterwards.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "texture.h"
#include "vekobase.h"

namespace veko {

// World position of the camera instance: the translation row of its
// object-to-world matrix (byte 16 of the instance record), divided by its
// weight when that is neither 1 nor 0.
xrVector cameraPosition(xrState *state) {
    const xrTag tag = state->cameraInstanceTag;
    xrVector p{0.0f, 0.0f, 0.0f};
    if (!tag) return p;
    const auto *rec = static_cast<const char *>(xr_db_access(tag));
    if (!rec) return p;
    float row[4];
    std::memcpy(row, rec + 16 + 12 * sizeof(float), sizeof row);
    xr_db_unpin(tag);
    p = {row[0], row[1], row[2]};
    if (row[3] != 1.0f && row[3] != 0.0f) p = vscale(p, 1.0f / row[3]);
    return p;
}

}  // namespace veko

namespace {

using veko::BaseStateRecord;
using veko::eval;
using veko::evalMatrix;
using veko::TextureResult;
using veko::frac;
using veko::luminance;
using veko::normalize;

constexpr float kPiF = 3.1415927f;
constexpr float kTwoPiF = 6.2831855f;

// ---------------------------------------------------------------------------
// Parameter blocks.

struct EnvBallParams {
    xrColor image;             // 0-3
    xrScalar azimuthAngle;     // 4
    xrScalar elevationAngle;   // 5
    xrScalar skyRadius;        // 6
    xrScalar bottom;           // 7
    xrScalar top;              // 8
    xrScalar left;             // 9
    xrScalar right;            // 10
    xrScalar front;            // 11
    xrScalar back;             // 12
    xrBoolean reflect;         // 13
    xrBoolean eyeSpace;        // 14
    xrMatrix placementMatrix;  // 15-30
};
static_assert(sizeof(EnvBallParams) == 31 * 4);

struct EnvChromeParams {
    xrColor skyColor;            // 0-3
    xrColor zenithColor;         // 4-7
    xrColor lightColor;          // 8-11
    xrScalar lightWidth;         // 12
    xrScalar lightWidthGain;     // 13
    xrScalar lightWidthOffset;   // 14
    xrScalar lightDepth;         // 15
    xrScalar lightDepthGain;     // 16
    xrScalar lightDepthOffset;   // 17
    xrBoolean realFloor;         // 18
    xrColor floorColor;          // 19-22
    xrScalar floorAltitude;      // 23
    xrColor horizonColor;        // 24-27
    xrColor gridColor;           // 28-31
    xrScalar gridWidth;          // 32
    xrScalar gridWidthGain;      // 33
    xrScalar gridWidthOffset;    // 34
    xrScalar gridDepth;          // 35
    xrScalar gridDepthGain;      // 36
    xrScalar gridDepthOffset;    // 37
    xrMatrix placementMatrix;    // 38-53
};
static_assert(sizeof(EnvChromeParams) == 54 * 4);

struct EnvCubeParams {
    xrBoolean infiniteSize;    // 0
    xrColor imageNegX;         // 1-4
    xrColor imagePosX;         // 5-8
    xrColor imagePosY;         // 9-12
    xrColor imageNegY;         // 13-16
    xrColor imagePosZ;         // 17-20
    xrColor imageNegZ;         // 21-24
    xrMatrix placementMatrix;  // 25-40
};
static_assert(sizeof(EnvCubeParams) == 41 * 4);

struct EnvSphereParams {
    xrColor image;             // 0-3
    xrVector shearUV;          // 4-6 (x: u shear, y: v shear)
    xrBoolean flip;            // 7
    xrMatrix placementMatrix;  // 8-23
};
static_assert(sizeof(EnvSphereParams) == 24 * 4);

struct EnvColorParams {
    xrColor color;  // 0-3
};

struct EnvSkyParams {
    xrScalar totalBrightness;      // 0
    xrColor sunColor;              // 1-4
    xrColor haloColor;             // 5-8
    xrScalar sunElevation;         // 9
    xrScalar sunAzimuth;           // 10
    xrScalar sunSize;              // 11
    xrScalar sunBlur;              // 12
    xrColor skyColor;              // 13-16
    xrScalar scatterDensity1;      // 17
    xrScalar scatterDensity2;      // 18
    xrScalar atmosphereThickness;  // 19
    xrScalar planetRadiusScale;    // 20
    xrBoolean hasFloor;            // 21
    xrColor floorColor;            // 22-25
    xrScalar floorAltitude;        // 26
    xrBoolean hasClouds;           // 27
    xrScalar cloudTexture;         // 28
    xrColor cloudColor;            // 29-32
    xrColor cloudDarkColor;        // 33-36
    xrScalar cloudDensity;         // 37
    xrScalar cloudThreshold;       // 38
    xrScalar cloudPower;           // 39
    xrScalar cloudAltitude;        // 40
    xrScalar cloudHaloSize;        // 41
    xrScalar skySamples;           // 42
    xrScalar floorSamples;         // 43
    xrScalar cloudSamples;         // 44
    xrMatrix placementMatrix;      // 45-60
};
static_assert(sizeof(EnvSkyParams) == 61 * 4);
static_assert(offsetof(EnvSkyParams, skyColor) == 13 * 4);
static_assert(offsetof(EnvSkyParams, floorColor) == 22 * 4);
static_assert(offsetof(EnvSkyParams, cloudColor) == 29 * 4);
static_assert(offsetof(EnvSkyParams, placementMatrix) == 45 * 4);

// ---------------------------------------------------------------------------
// Shared steps.

bool directLookup(const BaseStateRecord *rec) {
    return rec && (rec->flags & veko::kFlagDirectEnvLookup);
}

// The ray direction, reflected about the shading normal (cosView as N.D)
// unless the record asks for a direct lookup.
xrVector rayLookup(const xrState *state, const BaseStateRecord *rec) {
    const xrVector d = state->rayDirection;
    if (directLookup(rec)) return d;
    return veko::vsub(d, veko::vscale(state->shadingNormal, 2.0f * state->cosView));
}

xrVector toPlacement(const float m[16], const xrVector &d) {
    xrVector out;
    xr_vector_transform(&out, &d, m);
    return normalize(out);
}

xrVector pointToPlacement(const float m[16], const xrVector &p) {
    xrVector out;
    xr_point_transform(&out, &p, m);
    return out;
}

void setLuminanceAlpha(TextureResult *res) {
    res->outColor.a = luminance(res->outColor);
    res->outAlpha = res->outColor.a;
}

// While alive, the state's first texture coordinate, hit point and the
// record's footprints may be overridden for evaluating a connected image;
// everything is restored (and the record's environment-evaluation bit
// cleared again when it was clear) on leaving.
class LookupScope {
public:
    LookupScope(xrState *state, BaseStateRecord *rec) : state_(state), rec_(rec) {
        if (!state_->texCoords) state_->texCoords = &local_;
        savedUV_ = state_->texCoords[0];
        savedHit_ = state_->hitPoint;
        if (rec_) {
            saveFootprint_ = rec_->filterEnabled != 0;
            if (saveFootprint_) {
                veko::touchFootprint(state_, rec_);
                savedFU_ = rec_->footprintU;
                savedFV_ = rec_->footprintV;
            }
            bitWasSet_ = (rec_->flags & veko::kFlagEnvironmentEval) != 0;
            rec_->flags |= veko::kFlagEnvironmentEval;
        }
    }
    ~LookupScope() {
        if (rec_) {
            if (!bitWasSet_) rec_->flags &= ~veko::kFlagEnvironmentEval;
            if (saveFootprint_) {
                rec_->footprintU = savedFU_;
                rec_->footprintV = savedFV_;
            }
        }
        state_->texCoords[0] = savedUV_;
        state_->hitPoint = savedHit_;
        if (state_->texCoords == &local_) state_->texCoords = nullptr;
    }
    LookupScope(const LookupScope &) = delete;
    LookupScope &operator=(const LookupScope &) = delete;

    bool filtering() const { return saveFootprint_; }
    void setFootprint(float f, bool both) {
        if (!saveFootprint_) return;
        rec_->footprintU = {f, f, 0.0f};
        if (both) rec_->footprintV = {f, f, 0.0f};
    }
    // Evaluates a connected input at texture coordinate (u, v, w), flushing
    // the host's result cache before and after unless the record keeps it.
    template <class T>
    T evalAt(const T *param, float u, float v, float w) {
        state_->texCoords[0] = {u, v, w};
        const bool flush = !rec_ || !rec_->keepCache;
        if (flush) xr_flush_cache(state_);
        const T value = eval(state_, param);
        state_->texCoords[0] = savedUV_;
        if (flush) xr_flush_cache(state_);
        return value;
    }
    float thirdCoordinate() const { return savedUV_.z; }

private:
    xrState *state_;
    BaseStateRecord *rec_;
    xrVector local_{0.0f, 0.0f, 0.0f};
    xrVector savedUV_{}, savedHit_{}, savedFU_{}, savedFV_{};
    bool saveFootprint_ = false, bitWasSet_ = false;
};

// ---------------------------------------------------------------------------
// Mirror ball.

const xrColor kBallError{1.0f, 0.0f, 0.0f, 0.3f};

// Intersects the ray O + t d with the finite environment (sphere and the
// six planes whose distances are nonzero). H and the limit follow the
// nearest surface found. Returns false when the origin lies outside it.
struct BallGeometry {
    float radius, bottom, top, left, right, front, back;
};

bool ballFinite(const BallGeometry &g, const xrVector &O, const xrVector &d, xrVector &H, float &limit,
                bool &hit) {
    using veko::comp;
    auto take = [&](float t, const xrVector &h) {
        if (t < limit) {
            limit = t;
            H = h;
        }
        hit = true;
    };
    if (g.radius != 0.0f) {
        const float b = veko::dot(O, d);
        const float disc = b * b - veko::dot(O, O) + g.radius * g.radius;
        if (disc < 0.0f) return false;
        const float t = std::sqrt(disc) - b;
        take(t, veko::vadd(O, veko::vscale(d, t)));
    }
    // One axis pair: the negative plane at -neg, the positive at +pos.
    auto planes = [&](int axis, float neg, float pos) -> int {
        const float o = comp(O)[axis], dd = comp(d)[axis];
        float plane, t;
        if (neg != 0.0f && dd < 0.0f) {
            if (o < -neg) return -1;
            plane = -neg;
            t = -(neg + o) / dd;
        } else if (pos != 0.0f && dd > 0.0f) {
            if (o > pos) return -1;
            plane = pos;
            t = (pos - o) / dd;
        } else {
            return 0;
        }
        xrVector h = veko::vadd(O, veko::vscale(d, t));
        comp(h)[axis] = plane;
        take(t, h);
        return 1;
    };
    if (planes(1, g.bottom, g.top) < 0) return false;
    if (planes(2, g.back, g.front) < 0) return false;
    if (planes(0, g.left, g.right) < 0) return false;
    return true;
}

// Mirror-ball texture coordinate of a direction: the half vector between d
// and +z, scaled into the unit square.
void mirrorBallUV(const xrVector &d, float &u, float &v, float &hz) {
    const xrVector h = normalize({d.x * 0.5f, d.y * 0.5f, d.z * 0.5f + 0.5f});
    u = h.x * 0.5f + 0.5f;
    v = h.y * 0.5f + 0.5f;
    hz = h.z;
}

// Filter size of the ball lookup: 1/(2 h.z) kept in [1, 100].
float ballFilter(float hz) {
    const float f = 1.0f / (2.0f * hz);
    if (std::isnan(f) || f < 1.0f) return 1.0f;
    return std::min(f, 100.0f);
}

// ---------------------------------------------------------------------------
// Cube.

enum CubeFace { kNegX, kPosX, kPosY, kNegY, kPosZ, kNegZ };

struct CubeLookup {
    CubeFace face;
    float s, t;  // in [0, 2]
};

CubeLookup infiniteCube(const xrVector &d) {
    const float ax = std::fabs(d.x), ay = std::fabs(d.y), az = std::fabs(d.z);
    if (ax > ay && ax > az) {
        if (d.x < 0.0f) return {kNegX, d.z / d.x + 1.0f, 1.0f - d.y / d.x};
        return {kPosX, d.z / d.x + 1.0f, d.y / d.x + 1.0f};
    }
    if (ay >= ax && ay > az) {
        if (d.y < 0.0f) return {kNegY, 1.0f - d.x / d.y, d.z / d.y + 1.0f};
        return {kPosY, d.x / d.y + 1.0f, d.z / d.y + 1.0f};
    }
    // A zero direction looks at the centre of the +z face.
    if (az == 0.0f) return {kPosZ, 1.0f, 1.0f};
    if (d.z < 0.0f) return {kNegZ, 1.0f - d.x / d.z, 1.0f - d.y / d.z};
    return {kPosZ, 1.0f - d.x / d.z, d.y / d.z + 1.0f};
}

// Exit face of the unit cube [-1, 1]^3 from an inside origin.
CubeLookup finiteCube(const xrVector &O, const xrVector &d) {
    auto exitDistance = [](float o, float dd) {
        if (dd == 0.0f) return HUGE_VALF;
        return ((dd < 0.0f ? -1.0f : 1.0f) - o) / dd;
    };
    int axis = 0;
    float t = exitDistance(O.x, d.x);
    if (const float ty = exitDistance(O.y, d.y); ty < t) t = ty, axis = 1;
    if (const float tz = exitDistance(O.z, d.z); tz < t) t = tz, axis = 2;
    if (!(t < HUGE_VALF)) t = 0.0f;  // zero direction: the origin itself
    const xrVector P = veko::vadd(O, veko::vscale(d, t));
    const float sign = veko::comp(d)[axis];
    switch (axis) {
        case 0:
            if (sign < 0.0f) return {kNegX, 1.0f - P.z, P.y + 1.0f};
            return {kPosX, P.z + 1.0f, P.y + 1.0f};
        case 1:
            if (sign < 0.0f) return {kNegY, P.x + 1.0f, 1.0f - P.z};
            return {kPosY, P.x + 1.0f, P.z + 1.0f};
        default:
            if (sign < 0.0f) return {kNegZ, P.x + 1.0f, P.y + 1.0f};
            return {kPosZ, 1.0f - P.x, P.y + 1.0f};
    }
}

const xrColor *cubeFaceParam(const EnvCubeParams *p, CubeFace f) {
    switch (f) {
        case kNegX: return &p->imageNegX;
        case kPosX: return &p->imagePosX;
        case kPosY: return &p->imagePosY;
        case kNegY: return &p->imageNegY;
        case kPosZ: return &p->imagePosZ;
        default: return &p->imageNegZ;
    }
}

// ---------------------------------------------------------------------------
// Chrome studio.

xrColor chromeColor(xrState *state, const EnvChromeParams *p, const BaseStateRecord *rec, const float m[16]) {
    const xrVector d = toPlacement(m, rayLookup(state, rec));
    const float y = d.y;
    xrColor col;
    if (y > 0.0f) {
        col = veko::mixRGB(eval(state, &p->skyColor), eval(state, &p->zenithColor), y);
        if (y >= 0.1f) {
            const float u = d.x * eval(state, &p->lightWidthGain) / y + eval(state, &p->lightWidthOffset);
            const float w = d.z * eval(state, &p->lightDepthGain) / y + eval(state, &p->lightDepthOffset);
            if (frac(u) < eval(state, &p->lightWidth) && frac(w) < eval(state, &p->lightDepth))
                col = eval(state, &p->lightColor);
        }
        return col;
    }
    // Floor: the gradient runs from the horizon colour towards the floor
    // colour as the direction turns down.
    col = veko::mixRGB(eval(state, &p->horizonColor), eval(state, &p->floorColor), -y);
    if (y > -0.05f) return col;
    float u, w;
    if (eval(state, &p->realFloor)) {
        const xrVector o = pointToPlacement(m, directLookup(rec) ? veko::cameraPosition(state) : state->hitPoint);
        const float altitude = eval(state, &p->floorAltitude);
        if (!(o.y > altitude)) return {0.0f, 0.0f, 0.0f, 0.0f};
        const float t = (altitude - o.y) / d.y;
        u = (o.x + t * d.x) * eval(state, &p->gridWidthGain) + eval(state, &p->gridWidthOffset);
        w = (o.z + t * d.z) * eval(state, &p->gridDepthGain) + eval(state, &p->gridDepthOffset);
    } else {
        u = eval(state, &p->gridWidthGain) * d.x / y + eval(state, &p->gridWidthOffset);
        w = eval(state, &p->gridDepthGain) * d.z / y + eval(state, &p->gridDepthOffset);
    }
    if (frac(u) < eval(state, &p->gridWidth) || frac(w) < eval(state, &p->gridDepth)) col = eval(state, &p->gridColor);
    return col;
}

// ---------------------------------------------------------------------------
// Sky.

// The fixed quantities of one sky evaluation.
struct SkyModel {
    xrVector sun;        // unit direction towards the sun, sky space
    float T;             // atmosphere thickness
    float R, Ro;         // planet and atmosphere radius
    float sigma[3];      // extinction per channel
    xrColor S;           // sky colour times brightness
};

// e^-x, with the constant e^-20 for optical depths of 20 or more.
inline float attenuation(float x) { return x >= 20.0f ? 2.06115e-09f : veko::expNonPositive(-x); }

// Distance from q (relative to the planet centre) to the top of the
// atmosphere towards the sun, plus the sun's projection on q.
inline float sunPath(const SkyModel &m, const xrVector &q, float &mu) {
    mu = veko::dot(q, m.sun);
    const float r = veko::length(q);
    return std::sqrt(std::max(0.0f, (m.Ro - r) * (m.Ro + r) + mu * mu));
}

// Single-scattered sky light gathered along D between s0 and s1 with n
// samples; K is the viewer relative to the planet centre.
xrColor inScatter(const SkyModel &m, int n, float s0, float s1, const xrVector &D, const xrVector &K) {
    xrColor out{0.0f, 0.0f, 0.0f, 0.0f};
    if (m.T <= 0.0f || s0 >= s1 || n <= 0) return out;
    float sum[3] = {0.0f, 0.0f, 0.0f};
    const float step = (s1 - s0) / static_cast<float>(n);
    for (int i = 1; i <= n; ++i) {
        const float s = static_cast<float>(n - i) * step + s0;
        const xrVector q = veko::vadd(veko::vscale(D, s), K);
        float mu;
        const float dq = sunPath(m, q, mu);
        const float p = (dq - mu + s - s0) / m.T - 1.0f;
        // Extinction never adds light: a negative depth counts as none.
        for (int c = 0; c < 3; ++c) sum[c] += attenuation(std::max(p * m.sigma[c], 0.0f));
    }
    const float k = (s1 - s0) / (static_cast<float>(n) * m.T);
    out.r = sum[0] * k * m.S.r * m.sigma[0];
    out.g = sum[1] * k * m.S.g * m.sigma[1];
    out.b = sum[2] * k * m.S.b * m.sigma[2];
    return out;
}

// A sample count parameter as an integer (negative and NaN: 0; huge values
// are held at a million).
int sampleCount(float v) {
    if (!(v > 0.0f)) return 0;
    return static_cast<int>(std::min(v, 1.0e6f));
}

// out = out * e^(-s sigma / T) + I per channel.
void attenuateAdd(xrColor &out, const SkyModel &m, float s, const xrColor &I) {
    out.r = out.r * std::exp(-s * m.sigma[0] / m.T) + I.r;
    out.g = out.g * std::exp(-s * m.sigma[1] / m.T) + I.g;
    out.b = out.b * std::exp(-s * m.sigma[2] / m.T) + I.b;
}

// Gaussian profile exp(-x^2/2), with a floor of 4.5e-05 once x^2 exceeds 20.
inline float haloProfile(float x) {
    const float sq = x * x;
    return sq > 20.0f ? 4.5e-05f : std::exp(-0.5f * sq);
}

// Per-instance data of the sky: the inverse placement, and the sun
// direction when its angles are literals.
struct SkyInstance {
    float inverse[16];
    xrVector sun;
    bool sunKnown;
};

xrVector sunFromAngles(float elevation, float azimuth) {
    return normalize({std::sin(azimuth), std::sin(elevation), -std::cos(azimuth) * std::cos(elevation)});
}

}  // namespace

// Mirror-ball image, looked up along the reflected ray (or the camera's view
// of the point), optionally projected onto a finite sphere or box around the
// placement origin first.
VEKO_EXPORT xrBoolean veko_envball(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const EnvBallParams *>(params);
    BaseStateRecord *rec = veko::stateRecord(state);
    const bool reflect = eval(state, &p->reflect) != 0;

    xrVector d;
    if (reflect) {
        d = rayLookup(state, rec);
    } else {
        d = normalize(veko::vsub(state->hitPoint, veko::cameraPosition(state)));
    }
    if (eval(state, &p->eyeSpace)) {
        xrVector c;
        xr_vector_to_camera(state, &c, &d);
        d = normalize(c);
    } else {
        float m[16];
        evalMatrix(state, p->placementMatrix, m);
        d = toPlacement(m, d);
        xrVector O, H{0.0f, 0.0f, 0.0f};
        float limit;
        bool hit;
        if (reflect) {
            O = pointToPlacement(m, state->hitPoint);
            limit = 10000000.0f;
            hit = false;
        } else {
            O = pointToPlacement(m, veko::cameraPosition(state));
            xr_point_to_camera(state, &H, &state->hitPoint);
            limit = veko::length(H);
            hit = true;
        }
        const BallGeometry g{eval(state, &p->skyRadius), eval(state, &p->bottom), eval(state, &p->top),
                             eval(state, &p->left),      eval(state, &p->right),  eval(state, &p->front),
                             eval(state, &p->back)};
        if (!ballFinite(g, O, d, H, limit, hit)) {
            res->outColor = kBallError;
            res->outAlpha = kBallError.a;
            return 1;
        }
        if (hit) d = normalize(H);
    }

    // Rotations about y (azimuth) and x (elevation); negative angles rotate
    // the other way.
    if (const float az = eval(state, &p->azimuthAngle); az != 0.0f) {
        const float c = std::cos(az), s = std::sin(az);
        const float z = c * d.z + s * d.x, x = c * d.x - s * d.z;
        d.x = x;
        d.z = z;
    }
    if (const float el = eval(state, &p->elevationAngle); el != 0.0f) {
        const float c = std::cos(el), s = std::sin(el);
        const float z = c * d.z + s * d.y, y = c * d.y - s * d.z;
        d.y = y;
        d.z = z;
    }

    float u, v, hz;
    mirrorBallUV(d, u, v, hz);
    LookupScope scope(state, rec);
    if (scope.filtering()) scope.setFootprint(ballFilter(hz) * rec->filterSize, false);
    res->outColor = scope.evalAt(&p->image, u, v, scope.thirdCoordinate());
    setLuminanceAlpha(res);
    return 1;
}

// Procedural studio: a sky gradient with a grid of ceiling lights above the
// horizon, a floor gradient with grid lines below it.
VEKO_EXPORT xrBoolean veko_envchrome(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const EnvChromeParams *>(params);
    const BaseStateRecord *rec = veko::stateRecord(state);
    float m[16];
    evalMatrix(state, p->placementMatrix, m);
    xrColor c = chromeColor(state, p, rec, m);
    c.r = veko::clamp01(c.r);
    c.g = veko::clamp01(c.g);
    c.b = veko::clamp01(c.b);
    res->outColor = c;
    setLuminanceAlpha(res);
    return 1;
}

// Six face images around the placement origin: at infinity, or as the unit
// cube seen from the shaded point (a point outside it sees black).
VEKO_EXPORT xrBoolean veko_envcube(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const EnvCubeParams *>(params);
    BaseStateRecord *rec = veko::stateRecord(state);
    float m[16];
    evalMatrix(state, p->placementMatrix, m);
    const bool finite = !eval(state, &p->infiniteSize);
    xrVector O{0.0f, 0.0f, 0.0f};
    if (finite) {
        const bool direct = directLookup(rec);
        O = pointToPlacement(m, direct ? veko::cameraPosition(state) : state->hitPoint);
        if (!direct && (std::fabs(O.x) > 1.0f || std::fabs(O.y) > 1.0f || std::fabs(O.z) > 1.0f)) {
            res->outColor = {0.0f, 0.0f, 0.0f, 1.0f};
            res->outAlpha = 1.0f;
            return 0;
        }
    }
    const xrVector d = toPlacement(m, rayLookup(state, rec));
    const CubeLookup c = finite ? finiteCube(O, d) : infiniteCube(d);
    LookupScope scope(state, rec);
    res->outColor = scope.evalAt(cubeFaceParam(p, c.face), c.s * 0.5f, c.t * 0.5f, 0.0f);
    setLuminanceAlpha(res);
    return 1;
}

// Latitude-longitude image: u runs around the vertical axis (0.5 along +z,
// 0.75 along +x), v from the nadir (0) to the zenith (1).
VEKO_EXPORT xrBoolean veko_envsphere(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const EnvSphereParams *>(params);
    BaseStateRecord *rec = veko::stateRecord(state);
    float m[16];
    evalMatrix(state, p->placementMatrix, m);
    const xrVector d = toPlacement(m, rayLookup(state, rec));
    const float ring = std::hypot(d.x, d.z);
    const float phi = std::atan2(d.x, d.z) / kTwoPiF;
    const float theta = std::atan2(d.y, ring) / kPiF;
    const xrVector shear = eval(state, &p->shearUV);
    float u = phi + 0.5f + shear.x * theta;
    float v = theta + 0.5f + shear.y * phi;
    if (eval(state, &p->flip)) std::swap(u, v);
    LookupScope scope(state, rec);
    if (scope.filtering()) scope.setFootprint(rec->filterSize / std::max(ring, 0.00001f), true);
    res->outColor = scope.evalAt(&p->image, u, v, 0.0f);
    setLuminanceAlpha(res);
    return 1;
}

// Constant colour; the sample keeps no frame-buffer colour and no matte.
VEKO_EXPORT xrBoolean veko_envcolor(void *result, xrState *state, void *params) {
    auto *out = static_cast<xrColor *>(result);
    const auto *p = static_cast<const EnvColorParams *>(params);
    const xrColor c = eval(state, &p->color);
    *out = {c.r, c.g, c.b, 0.0f};
    if (BaseStateRecord *rec = veko::stateRecord(state)) {
        rec->fbColor = {0.0f, 0.0f, 0.0f, 0.0f};
        rec->matteColor = {0.0f, 0.0f, 0.0f, 0.0f};
        rec->auxColor = {1.0f, 1.0f, 1.0f, 1.0f};
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Sky. The instance keeps the inverse of its literal placement matrix (used
// to place the ground and cloud texture points back in world space) and the
// sun direction of literal sun angles.

VEKO_EXPORT void veko_envsky_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {
        if (initRequest) *initRequest = 1;
        return;
    }
    const auto *p = static_cast<const EnvSkyParams *>(params);
    if (veko::isConnected(state, p->placementMatrix)) return;
    void **slot = veko::instanceUserPointer(state);
    if (!slot) return;
    if (*slot) {  // initialised again: rebuild
        xr_mem_int_release("environ.cpp", __LINE__, *slot);
        *slot = nullptr;
    }
    auto *inst = static_cast<SkyInstance *>(xr_mem_int_allocate("environ.cpp", __LINE__, sizeof(SkyInstance)));
    if (!inst) return;
    if (!xr_matrix_invert(inst->inverse, p->placementMatrix)) {
        VEKO_WARN("veko_envsky_init", "Texture placement matrix is singular.");
        xr_matrix_ident(inst->inverse);
    }
    inst->sunKnown = !veko::isConnected(state, &p->sunElevation) && !veko::isConnected(state, &p->sunAzimuth);
    if (inst->sunKnown) inst->sun = sunFromAngles(p->sunElevation, p->sunAzimuth);
    *slot = inst;
}

VEKO_EXPORT void veko_envsky_exit(xrState *state, void *params) {
    if (!params) return;
    void **slot = veko::instanceUserPointer(state);
    if (!slot || !*slot) return;
    xr_mem_int_release("environ.cpp", __LINE__, *slot);
    *slot = nullptr;
}

VEKO_EXPORT xrBoolean veko_envsky(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const EnvSkyParams *>(params);
    BaseStateRecord *rec = veko::stateRecord(state);

    const float w = rec ? rec->filterSize * 5.0f : 0.010265f;
    const float brightness = eval(state, &p->totalBrightness);
    void **slot = veko::instanceUserPointer(state);
    const auto *inst = slot ? static_cast<const SkyInstance *>(*slot) : nullptr;
    SkyModel sky;
    sky.sun = inst && inst->sunKnown ? inst->sun
                                     : sunFromAngles(eval(state, &p->sunElevation), eval(state, &p->sunAzimuth));
    const float a = eval(state, &p->sunSize) * kPiF / 180.0f;
    const float b = std::max(eval(state, &p->sunBlur) * kPiF / 180.0f, 0.0001f);

    float T = eval(state, &p->atmosphereThickness);
    if (T == 0.0f) T = 0.0001f;
    sky.T = T;
    const float floorAltitude = eval(state, &p->floorAltitude);
    const float k = floorAltitude >= 0.0f ? 1.0f : T / (T - 2.0f * floorAltitude);
    const float d1 = eval(state, &p->scatterDensity1), d2 = eval(state, &p->scatterDensity2);
    sky.sigma[0] = (0.61f * d2 + 0.37f * d1) * k;
    sky.sigma[1] = (0.68f * d2 + 0.47f * d1) * k;
    sky.sigma[2] = (d2 + d1) * k;
    sky.R = std::max(T * eval(state, &p->planetRadiusScale), 4.0f);
    sky.Ro = sky.R + T;
    sky.S = veko::scale(eval(state, &p->skyColor), brightness);
    const float R = sky.R, Ro = sky.Ro;

    // The ray in sky space.
    const bool direct = directLookup(rec);
    float m[16];
    evalMatrix(state, p->placementMatrix, m);
    const xrVector O = pointToPlacement(m, direct ? veko::cameraPosition(state) : state->hitPoint);
    xrVector D = toPlacement(m, rayLookup(state, rec));
    float inverse[16];
    {
        if (inst) {
            std::memcpy(inverse, inst->inverse, sizeof inverse);
        } else if (!xr_matrix_invert(inverse, m)) {
            VEKO_WARN("veko_envsky", "Texture placement matrix is singular.");
            xr_matrix_ident(inverse);
        }
    }
    auto placeBack = [&](float u, float y, float v) {
        const xrVector q{u, y, v};
        return pointToPlacement(inverse, q);
    };

    const bool hasFloor = eval(state, &p->hasFloor) != 0;
    float h = 0.0f, beta = 0.0f, disc = -1.0f;
    if (hasFloor && D.y < 0.0f) {
        h = O.y + R - floorAltitude;
        beta = -h * D.y;
        disc = beta * beta + R * R - h * h;
    }

    LookupScope scope(state, rec);
    xrColor out{0.0f, 0.0f, 0.0f, 0.0f};

    if (disc > 0.0f) {
        // The ground.
        if (O.y <= floorAltitude) {
            out = {1.0f, 0.0f, 0.0f, 0.0f};
        } else {
            const float t = beta - std::sqrt(disc);
            const float u = (O.x + t * D.x) * 0.1f + 0.5f, v = (O.z + t * D.z) * 0.1f + 0.5f;
            scope.setFootprint(std::clamp(w * 0.1f * t / std::max(std::fabs(D.y), 1e-9f), -1.0f, 1.0f), true);
            state->hitPoint = placeBack(u, 0.0f, v);
            out = scope.evalAt(&p->floorColor, u, v, 0.0f);
            // Lit by the sun's height; a sun far below the horizon gives no
            // light rather than a negative one.
            veko::scaleRGB(out, std::max(sky.sun.y + 0.2f, 0.0f) * brightness * 0.8f);
            if (const int n = sampleCount(eval(state, &p->floorSamples)); n > 0) {
                const xrColor I = inScatter(sky, n, 0.0f, t, D, {0.0f, h, 0.0f});
                attenuateAdd(out, sky, t, I);
            }
        }
    } else {
        // The sky. Without a floor a downward view sees the sky mirrored.
        if (!hasFloor) D.y = std::fabs(D.y);
        const xrVector K{0.0f, R, 0.0f};
        const float Rc = R + std::max(eval(state, &p->cloudAltitude), 0.01f) * T;
        const float bp = D.y * R;
        const float sTop = std::sqrt((Ro - R) * (Ro + R) + bp * bp) - bp;
        const float sC = std::sqrt((Rc - R) * (Rc + R) + bp * bp) - bp;
        if (const int n = sampleCount(eval(state, &p->skySamples)); n > 0) out = inScatter(sky, n, sC, sTop, D, K);

        // Sun light reaching the cloud layer point Q, the disk and its halo.
        const xrVector Q = veko::vadd(veko::vscale(D, sC), K);
        float mu;
        const float dSun = sunPath(sky, Q, mu) - mu;
        const xrColor sunColor = eval(state, &p->sunColor);
        xrColor A{sunColor.r * std::exp(-dSun * sky.sigma[0] / T) * brightness,
                  sunColor.g * std::exp(-dSun * sky.sigma[1] / T) * brightness,
                  sunColor.b * std::exp(-dSun * sky.sigma[2] / T) * brightness, 0.0f};
        const float c = std::max(veko::dot(D, sky.sun), 0.0f);
        const float sinTheta = std::sqrt(std::max(0.0f, 1.0f - c * c));
        if (sinTheta < a) {
            veko::addTo(out, A);
        } else {
            const xrColor halo = veko::scale(eval(state, &p->haloColor), brightness);
            const float g = haloProfile((sinTheta - a) / b);
            if (sinTheta > a + w) {
                veko::addTo(out, veko::mulRGB(A, veko::scale(halo, g)));
            } else {
                const float f = (sinTheta - a) / w;
                const float sq = ((sinTheta - a) / b) * ((sinTheta - a) / b);
                const float g2 = sq > 20.0f ? 4.5e-05f : g * f;
                out.r += A.r * (g2 * halo.r + 1.0f - f);
                out.g += A.g * (g2 * halo.g + 1.0f - f);
                out.b += A.b * (g2 * halo.b + 1.0f - f);
            }
        }

        if (eval(state, &p->hasClouds)) {
            const float Hc = Rc - R;
            const float u = Q.x * 0.1f / Hc + 0.5f, v = Q.z * 0.1f / Hc + 0.5f;
            const float x0 = (sC / Hc) * w * 0.1f;
            scope.setFootprint(std::fabs(D.y) <= x0 ? 1.0f : x0 / std::fabs(D.y), true);
            state->hitPoint = placeBack(u, 1.0f, v);
            const float density = scope.evalAt(&p->cloudTexture, u, v, 0.0f);
            const float threshold = eval(state, &p->cloudThreshold);
            if (density + threshold < 1.0f) {
                const float x = std::max((1.0f - density - threshold) * eval(state, &p->cloudDensity), 0.000001f);
                const float tau = std::max(1.0f - std::pow(x, eval(state, &p->cloudPower)), 0.000001f);
                const float cover = 1.0f - tau;
                veko::scaleRGB(out, tau);
                const xrColor cloud = eval(state, &p->cloudColor);
                const float lit = std::exp(-dSun * sky.sigma[1] / T) * brightness * cover;
                out.r += cloud.r * lit;
                out.g += cloud.g * lit;
                out.b += cloud.b * lit;
                if (const float side = mu / Rc; side < 0.0f) {
                    const xrColor dark = eval(state, &p->cloudDarkColor);
                    const float kd = -cover * cover * brightness * side;
                    out.r += A.r * dark.r * kd;
                    out.g += A.g * dark.g * kd;
                    out.b += A.b * dark.b * kd;
                }
                const float haloWidth = eval(state, &p->cloudHaloSize) * 0.017453292f;
                const float gx = (sinTheta - a) / haloWidth;
                if (gx * gx < 20.0f) {
                    const float glow = std::exp(-0.5f * gx * gx) * std::log(tau) * tau * -2.71828f;
                    out.r += A.r * glow;
                    out.g += A.g * glow;
                    out.b += A.b * glow;
                }
            }
        }
        if (const int n = sampleCount(eval(state, &p->cloudSamples)); n > 0) {
            const xrColor I = inScatter(sky, n, 0.0f, sC, D, K);
            attenuateAdd(out, sky, sC, I);
        }
    }
    res->outColor = out;
    setLuminanceAlpha(res);
    return 1;
}
