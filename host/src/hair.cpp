// Hair strands: building them from control points or growing them over a
// mesh, their Embree geometry, and the hit record of a ray that meets one.
#include "hair.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "render_internal.h"

namespace vh {

namespace {

constexpr float kTwoPi = 6.28318530717958647f;

// splitmix64: a small, portable generator, so that a seed grows the same
// fur everywhere.
struct Random {
    uint64_t state;
    explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    float uniform() { return float(next() >> 40) * (1.0f / 16777216.0f); }  // [0, 1)
};

xrVector lerpV(xrVector a, xrVector b, float t) { return a + (b - a) * t; }

// A unit vector perpendicular to v (unit).
xrVector perpendicular(xrVector v) {
    const xrVector a = std::fabs(v.x) < 0.6f ? xrVector{1, 0, 0} : xrVector{0, 1, 0};
    return normalize(cross(v, a));
}

// Uniform Catmull-Rom basis and its derivative at u.
void catmullRom(float u, float w[4], float dw[4]) {
    const float u2 = u * u, u3 = u2 * u;
    w[0] = 0.5f * (-u3 + 2 * u2 - u);
    w[1] = 0.5f * (3 * u3 - 5 * u2 + 2);
    w[2] = 0.5f * (-3 * u3 + 4 * u2 + u);
    w[3] = 0.5f * (u3 - u2);
    dw[0] = 0.5f * (-3 * u2 + 4 * u - 1);
    dw[1] = 0.5f * (9 * u2 - 10 * u);
    dw[2] = 0.5f * (-9 * u2 + 8 * u + 1);
    dw[3] = 0.5f * (3 * u2 - 2 * u);
}

void addStrand(HairGeom &h, const std::vector<xrVector> &q) {
    const size_t n = q.size();
    const uint32_t base = uint32_t(h.points.size() / 4);
    const float r0 = 0.5f * h.style.width, r1 = 0.5f * h.style.tipWidth;
    auto push = [&](xrVector p, float r) { h.points.insert(h.points.end(), {p.x, p.y, p.z, r}); };
    push(q[0] * 2.0f - q[1], r0);
    for (size_t k = 0; k < n; ++k) push(q[k], r0 + (r1 - r0) * float(k) / float(n - 1));
    push(q[n - 1] * 2.0f - q[n - 2], r1);
    const uint32_t strand = uint32_t(h.strandSegs.size());
    for (uint32_t k = 0; k + 1 < n; ++k) {
        h.segFirst.push_back(base + k);
        h.segStrand.push_back(strand);
        h.segIndex.push_back(k);
    }
    h.strandSegs.push_back(uint32_t(n - 1));
}

}  // namespace

HairGeom hairFromStrands(const std::vector<std::vector<xrVector>> &strands, const HairStyle &style) {
    HairGeom h;
    h.style = style;
    for (const auto &s : strands)
        if (s.size() >= 2) addStrand(h, s);
    return h;
}

HairGeom growFur(const Mesh &m, const FurSettings &fur, const HairStyle &style) {
    HairGeom h;
    h.style = style;
    std::vector<float> cdf;
    float total = 0;
    for (size_t k = 0; k < m.tri.size(); k += 3) {
        const xrVector &p0 = m.P[m.tri[k]], &p1 = m.P[m.tri[k + 1]], &p2 = m.P[m.tri[k + 2]];
        total += 0.5f * length(cross(p1 - p0, p2 - p0));
        cdf.push_back(total);
    }
    if (!(total > 0)) return h;
    h.points.reserve(size_t(fur.count) * size_t(fur.segments + 3) * 4);
    Random rng(fur.seed);
    std::vector<xrVector> q(size_t(fur.segments) + 1);
    for (int i = 0; i < fur.count; ++i) {
        const float pick = rng.uniform() * total;
        const size_t k = std::min(size_t(std::upper_bound(cdf.begin(), cdf.end(), pick) - cdf.begin()), cdf.size() - 1);
        const uint32_t i0 = m.tri[3 * k], i1 = m.tri[3 * k + 1], i2 = m.tri[3 * k + 2];
        const float a = std::sqrt(rng.uniform()), b = rng.uniform();
        const float w0 = 1 - a, w1 = a * (1 - b), w2 = a * b;
        const xrVector root = m.P[i0] * w0 + m.P[i1] * w1 + m.P[i2] * w2;
        xrVector n = normalize(cross(m.P[i1] - m.P[i0], m.P[i2] - m.P[i0]));
        if (!m.N.empty()) {
            const xrVector s = normalize(m.N[i0] * w0 + m.N[i1] * w1 + m.N[i2] * w2);
            if (length(s) > 0) n = s;
        }
        // Tilt: a random unit vector scaled by the randomness.
        const float z = 1 - 2 * rng.uniform(), phi = kTwoPi * rng.uniform(), rr = std::sqrt(std::max(0.0f, 1 - z * z));
        const xrVector tilt{rr * std::cos(phi), rr * std::sin(phi), z};
        xrVector dir = normalize(n + tilt * fur.randomness);
        if (length(dir) == 0) dir = n;
        const float len = fur.length * std::max(0.05f, 1 + fur.randomness * (rng.uniform() - 0.5f));
        for (int s = 0; s <= fur.segments; ++s) {
            const float t = float(s) / float(fur.segments);
            q[size_t(s)] = root + dir * (len * t) + fur.bend * (len * t * t);
        }
        addStrand(h, q);
    }
    return h;
}

void transformHair(HairGeom &h, const Mat4 &m) {
    const float *t = m.m;
    const float det = t[0] * (t[5] * t[10] - t[6] * t[9]) - t[1] * (t[4] * t[10] - t[6] * t[8]) +
                      t[2] * (t[4] * t[9] - t[5] * t[8]);
    const float scale = std::cbrt(std::fabs(det));
    h.style.width *= scale;
    h.style.tipWidth *= scale;
    for (size_t i = 0; i < h.points.size(); i += 4) {
        const xrVector p = m.point({h.points[i], h.points[i + 1], h.points[i + 2]});
        h.points[i] = p.x;
        h.points[i + 1] = p.y;
        h.points[i + 2] = p.z;
        h.points[i + 3] *= scale;
    }
}

void hairBounds(const HairGeom &h, xrVector &lo, xrVector &hi) {
    lo = {1e30f, 1e30f, 1e30f};
    hi = {-1e30f, -1e30f, -1e30f};
    size_t first = 0;
    for (uint32_t segs : h.strandSegs) {
        for (size_t k = first + 1; k <= first + segs + 1; ++k) {
            const float *p = &h.points[4 * k];
            lo = {std::min(lo.x, p[0]), std::min(lo.y, p[1]), std::min(lo.z, p[2])};
            hi = {std::max(hi.x, p[0]), std::max(hi.y, p[1]), std::max(hi.z, p[2])};
        }
        first += segs + 3;
    }
}

HairPoint hairPoint(const HairGeom &h, uint32_t segment, float u) {
    float w[4], dw[4];
    catmullRom(u, w, dw);
    const float *c = &h.points[4 * size_t(h.segFirst[segment])];
    HairPoint hp{{0, 0, 0}, {0, 0, 0}, 0, 0};
    for (int k = 0; k < 4; ++k) {
        const xrVector p{c[4 * k], c[4 * k + 1], c[4 * k + 2]};
        hp.p = hp.p + p * w[k];
        hp.dPdt = hp.dPdt + p * dw[k];
        hp.radius += c[4 * k + 3] * w[k];
    }
    const float segs = float(h.strandSegs[h.segStrand[segment]]);
    hp.dPdt = hp.dPdt * segs;
    hp.radius = std::max(hp.radius, 0.0f);
    hp.t = std::clamp((float(h.segIndex[segment]) + u) / segs, 0.0f, 1.0f);
    return hp;
}

RTCGeometry hairGeometry(RTCDevice device, const HairGeom &h) {
    RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_FLAT_CATMULL_ROM_CURVE);
    auto *vb = static_cast<float *>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT4,
                                                            4 * sizeof(float), h.points.size() / 4));
    std::copy(h.points.begin(), h.points.end(), vb);
    auto *ib = static_cast<unsigned *>(
        rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT, sizeof(unsigned), h.segments()));
    std::copy(h.segFirst.begin(), h.segFirst.end(), ib);
    rtcCommitGeometry(g);
    return g;
}

// The hit on a strand: the point on the ribbon, a normal facing the ray
// (the strand has no normal of its own), the strand parameter in
// baryWeights[1], the colour along the strand in the first texture
// coordinate, and the derivatives (dP/dt along the strand, then across its
// width) behind hairData.
void fillHairHit(RaySlot &slot, const ObjectInst &o, const RTCRayHit &h) {
    const HairGeom &g = *o.hair;
    const HairPoint hp = hairPoint(g, h.hit.primID, h.hit.u);
    xrState &st = slot.st;
    const xrVector org{h.ray.org_x, h.ray.org_y, h.ray.org_z}, dir{h.ray.dir_x, h.ray.dir_y, h.ray.dir_z};
    st.hitPoint = org + dir * h.ray.tfar;
    st.hitDistance = h.ray.tfar;
    st.baryWeights[0] = 1 - hp.t;
    st.baryWeights[1] = hp.t;
    st.baryWeights[2] = 0;
    xrVector T = normalize(hp.dPdt);
    if (length(T) == 0) T = perpendicular(normalize(dir));
    const xrVector view = -normalize(dir);
    xrVector n = normalize(view - T * dot(view, T));
    if (length(n) == 0) n = perpendicular(T);
    st.geometricNormal = st.shadingNormal = n;
    st.normalFlipped = 0;
    st.cosView = dot(st.rayDirection, n);
    std::fill(slot.uv.begin(), slot.uv.end(), xrVector{0, 0, 0});
    std::fill(slot.du.begin(), slot.du.end(), xrVector{0, 0, 0});
    std::fill(slot.dv.begin(), slot.dv.end(), xrVector{0, 0, 0});
    slot.uv[0] = lerpV(g.style.rootColor, g.style.tipColor, hp.t);
    const xrVector across = normalize(cross(T, n)) * (2 * hp.radius);
    const float hair[6] = {hp.dPdt.x, hp.dPdt.y, hp.dPdt.z, across.x, across.y, across.z};
    std::memcpy(slot.hair, hair, sizeof hair);
    st.hairData = slot.hair;
    st.texCoords = slot.uv.data();
    st.derivU = slot.du.data();
    st.derivV = slot.dv.data();
    st.motionVector = {0, 0, 0};
    st.hitRef = const_cast<ObjectInst *>(&o);
    st.instanceTag = o.tag;
    st.objectLabel = o.label;
    slot.rd.obj = &o;
    slot.rd.prim = h.hit.primID;
    slot.rd.hairRadius = hp.radius;
    slot.ctx.objectToWorld = o.toWorld.m;
    slot.ctx.worldToObject = o.fromWorld.m;
}

}  // namespace vh
