// Light-map and vertex baking: the shading of an object rendered into a
// texture over its uv layout (veko_bakelightmap), the light map's
// post-process that drops partly covered pixels and grows the baked area
// (veko_postlightmap), and the same shading baked per vertex
// (veko_bakevertices).
//
// The host drives a baking shader in two calls: a vertex call per mesh
// vertex (rayKind 21: the shader returns its vertex record) and a mesh call
// once per object (rayKind 22: the result argument is the xrBakeMesh with
// the triangles and those records).
//
// Host queries used here:
//   58   result size in bytes of a shader (custom shaders)
//   118  the object's bounding box (vertex offsets)
//   141  object id (printed in progress lines)
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "bakegrid.h"
#include "vekobase.h"

namespace {

using veko::BaseStateRecord;
using veko::closestBary;
using veko::eval;
using veko::gridCellSize;
using veko::GridTriangle;
using veko::touchesPixel;
using veko::TriangleGrid;

constexpr int32_t kRayVertex = 21;
constexpr int32_t kRayMesh = 22;
constexpr xrInteger kQueryResultSize = 58;
constexpr xrInteger kQueryBox = 118;
constexpr xrInteger kQueryObjectId = 141;
constexpr int kTile = 16;
constexpr int kFloatImage = 32;

struct BakeLightmapParams {
    xrInteger lightMode;         // 0: 1 light list, 3 one light, 4 custom shader
    xrTag storageTag;            // 1
    xrInteger uvSet;             // 2
    xrBoolean useUvRange;        // 3
    xrVector uvMin;              // 4-6
    xrVector uvMax;              // 7-9
    xrInteger uvRangeMode;       // 10: 2 fits the mesh's uv box
    xrScalar uvScale;            // 11
    xrInteger bakeMode;          // 12: 0 material, 1 irradiance + direct, 2 irradiance, 3 occlusion, 4 custom
    xrInteger alphaMode;         // 13: 0 computed, 1 matte, 2 luminance, 3 one
    xrInteger pixelSamples;      // 14: <= 1 one sample at the pixel centre
    xrInteger normalDirection;   // 15: 2 flips
    xrScalar fgPrebakeDensity;   // 16
    xrInteger occlusionRays;     // 17
    xrTag light;                 // 18
    xrScalar lightScale;         // 19
    xrTag customShader;          // 20
    xrColor fillColor;           // 21-24
    xrBoolean fill;              // 25
    xrScalar occlusionDistance;  // 26: 0 unlimited
    xrInteger pixelSampling;     // 27: 0 pixel centre, 1 pixelSamples samples, 2 as 1 and the edge pass
    xrScalar filterRadius;       // 28: post-filter radius in pixels (0: none)
};
static_assert(sizeof(BakeLightmapParams) == 29 * 4);

struct BakeVerticesParams {
    xrInteger lightMode;        // 0
    xrTag storageTag;           // 1
    xrInteger bakeMode;         // 2
    xrInteger normalDirection;  // 3
    xrTag light;                // 4
    xrScalar lightScale;        // 5
    xrTag customShader;         // 6
    xrInteger occlusionRays;    // 7
    xrScalar occlusionDistance; // 8
};
static_assert(sizeof(BakeVerticesParams) == 9 * 4);

struct PostLightmapParams {
    xrScalar overbake;   // 0
    xrBoolean fillEmpty; // 1
};
static_assert(sizeof(PostLightmapParams) == 2 * 4);

// Vertex record of the light-map shader (nine floats).
struct LightmapVertex {
    xrVector point, normal, uv;
};
static_assert(sizeof(LightmapVertex) == 36);

// Vertex record of the vertex baker (six floats).
struct BakeVertex {
    xrVector point, normal;
};

// ---------------------------------------------------------------------------
// State saved for shading and restored on every path.
class ShadingFrame {
public:
    ShadingFrame(xrState *state, BaseStateRecord *rec, int32_t rayKind)
        : state_(state), rec_(rec), ior_(state->currentIor), mode_(state->modeFlag), refl_(state->reflectDepth),
          refr_(state->refractDepth), kind_(state->rayKind), flags_(rec->flags), org_(state->rayOrigin),
          dir_(state->rayDirection), dist_(state->hitDistance) {
        state->currentIor = 1.0f;
        state->modeFlag = 0;
        state->reflectDepth = state->refractDepth = 0;
        state->rayKind = rayKind;
        rec->flags |= veko::kFlagEnvironmentEval;
    }
    ~ShadingFrame() {
        state_->currentIor = ior_;
        state_->modeFlag = mode_;
        state_->reflectDepth = refl_;
        state_->refractDepth = refr_;
        state_->rayKind = kind_;
        state_->rayOrigin = org_;
        state_->rayDirection = dir_;
        state_->hitDistance = dist_;
        rec_->flags = flags_;
    }
    ShadingFrame(const ShadingFrame &) = delete;
    ShadingFrame &operator=(const ShadingFrame &) = delete;

private:
    xrState *state_;
    BaseStateRecord *rec_;
    float ior_;
    uint8_t mode_;
    int32_t refl_, refr_, kind_, flags_;
    xrVector org_, dir_;
    double dist_;
};

// What to shade and how: shared by the light-map and vertex bakers.
struct ShadeSettings {
    int bakeMode = 0;
    int lightMode = 1;
    xrTag light = 0;
    float lightScale = 1.0f;
    xrTag custom = 0;
    int customBytes = 0;
    int occlusionRays = 16;
    float occlusionDistance = 0.0f;
    bool floatImage = true;
};

// Direct light of the light list (light mode 1) or of the one light (3) on a
// diffuse surface of unit albedo.
xrColor directLight(xrState *state, const ShadeSettings &s) {
    xrInteger count = 0;
    xrTag *lights = nullptr;
    xrTag one = s.light;
    if (s.lightMode == 3) {
        count = one ? 1 : 0;
        lights = &one;
    } else {
        xr_instance_lightlist(&count, &lights, state);
    }
    xrColor sum{0, 0, 0, 0};
    for (int i = 0; lights && i < count; ++i) {
        xrInteger samples = 0;
        int taken = 0;
        xrColor q{}, lightSum{0, 0, 0, 0};
        xrVector dir{};
        float c = 0.0f;
        while (xr_sample_light(&q, &dir, &c, state, lights[i], &samples)) {
            ++taken;
            if (c > 0.0f) veko::addScaled(lightSum, q, c);
        }
        const int n = std::max<int>(samples, taken);
        if (n > 0) veko::addScaled(sum, lightSum, (s.lightMode == 3 ? s.lightScale : 1.0f) / float(n));
    }
    return sum;
}

// Fraction of cosine-weighted hemisphere rays that escape.
float openness(xrState *state, const ShadeSettings &s) {
    const xrVector n = state->shadingNormal;
    const xrVector t = std::fabs(n.x) < 0.9f ? xrVector{1, 0, 0} : xrVector{0, 1, 0};
    const xrVector a = veko::normalize(veko::cross(n, t)), b = veko::cross(n, a);
    xrInteger inst = 0, cnt = std::max(s.occlusionRays, 1);
    float pair[2];
    int open = 0, total = 0;
    while (xr_sample(pair, &inst, state, 2, &cnt)) {
        const float r = std::sqrt(pair[0]), phi = 6.2831855f * pair[1];
        const float z = std::sqrt(std::max(0.0f, 1.0f - pair[0]));
        const xrVector d = veko::vadd(veko::vadd(veko::vscale(a, r * std::cos(phi)), veko::vscale(b, r * std::sin(phi))),
                                      veko::vscale(n, z));
        double dist = 0.0;
        const bool hit = xr_trace_probe(state, &state->hitPoint, &d, &dist);
        if (!hit || (s.occlusionDistance > 0.0f && dist > s.occlusionDistance)) ++open;
        ++total;
    }
    return total ? float(open) / float(total) : 1.0f;
}

// Shades the surface point set up in the state by bake mode. The point looks
// at itself head-on (rayDirection = -normal).
void faceSurface(xrState *state) {
    const xrVector n = state->shadingNormal;
    state->rayDirection = veko::vneg(n);
    state->rayOrigin = veko::vadd(state->hitPoint, n);
    state->hitDistance = 1.0;
    state->cosView = -1.0f;
}

xrColor shadePoint(xrState *state, BaseStateRecord *rec, const ShadeSettings &s, std::vector<float> &custom) {
    faceSurface(state);
    rec->fbColor = {0, 0, 0, 0};
    rec->matteColor = {0, 0, 0, 0};
    rec->auxColor = {1, 1, 1, 1};
    xr_flush_cache(state);
    xrColor c{0, 0, 0, 1};
    switch (s.bakeMode) {
        case 0:
            if (!xr_call_material(&c, state)) c = {0, 0, 0, 0};
            break;
        case 4: {
            std::fill(custom.begin(), custom.end(), 0.0f);
            xr_call_shader_x(custom.data(), xrSHADER_CALL, state, s.custom, nullptr);
            std::memcpy(&c, custom.data(), sizeof c);
            if (!s.floatImage) c = {veko::clamp01(c.r), veko::clamp01(c.g), veko::clamp01(c.b), veko::clamp01(c.a)};
            break;
        }
        case 1:
        case 2: {
            xrColor irr{0, 0, 0, 0};
            xr_compute_avg_radiance(&irr, state, 102, state->optionsRecord);
            c = {irr.r, irr.g, irr.b, 1.0f};
            if (s.bakeMode == 1) {
                const xrColor d = directLight(state, s);
                c.r += d.r;
                c.g += d.g;
                c.b += d.b;
            }
            break;
        }
        case 3: {
            const float o = openness(state, s);
            c = {o, o, o, 1.0f};
            break;
        }
        default:
            break;
    }
    return c;
}

ShadeSettings shadeSettings(xrState *state, int bakeMode, int lightMode, xrTag light, float lightScale, xrTag custom,
                            int occlusionRays, float occlusionDistance) {
    ShadeSettings s;
    s.bakeMode = lightMode == 4 ? 4 : bakeMode;
    s.lightMode = lightMode;
    s.light = light;
    s.lightScale = lightScale;
    s.custom = custom;
    s.occlusionRays = occlusionRays;
    s.occlusionDistance = occlusionDistance;
    if (s.bakeMode == 4) {
        xrInteger bytes = 0;
        if (custom && xr_query(kQueryResultSize, state, custom, &bytes)) s.customBytes = bytes;
    }
    (void)state;
    return s;
}

// ---------------------------------------------------------------------------
struct UvMap {
    float offU = 0, offV = 0, scaleU = 1, scaleV = 1;
    float u(float v) const { return (v - offU) * scaleU; }
    float v(float v) const { return (v - offV) * scaleV; }
};

const LightmapVertex &vertexOf(const xrBakeMesh &m, int i) {
    return *reinterpret_cast<const LightmapVertex *>(m.vertices + size_t(i) * size_t(m.vertexFloats));
}

bool validTriangle(const xrBakeMesh &m, const xrInteger *t) {
    for (int k = 0; k < 3; ++k)
        if (t[k] < 0 || t[k] >= m.vertexCount) return false;
    return true;
}

// Interpolates point and normals of the located triangle into the state.
void setSurface(xrState *state, const xrBakeMesh &m, const GridTriangle &g, const float b[3], int uvSet,
                bool flip, bool withUv) {
    const LightmapVertex &a = vertexOf(m, g.vertex[0]), &c1 = vertexOf(m, g.vertex[1]), &c2 = vertexOf(m, g.vertex[2]);
    auto mix = [&](const xrVector &p0, const xrVector &p1, const xrVector &p2) {
        return veko::vadd(veko::vadd(veko::vscale(p0, b[0]), veko::vscale(p1, b[1])), veko::vscale(p2, b[2]));
    };
    state->hitPoint = mix(a.point, c1.point, c2.point);
    xrVector n = veko::normalize(mix(a.normal, c1.normal, c2.normal));
    xrVector ng = veko::normalize(veko::cross(veko::vsub(c1.point, a.point), veko::vsub(c2.point, a.point)));
    if (veko::dot(ng, n) < 0.0f) ng = veko::vneg(ng);
    // Vertex normals were negated already in the vertex call when flipped.
    (void)flip;
    state->shadingNormal = n;
    state->geometricNormal = ng;
    if (withUv && state->texCoords && uvSet >= 0) state->texCoords[uvSet] = mix(a.uv, c1.uv, c2.uv);
}

// The sample positions in pixel (x, y): its centre, or `samples`
// quasi-random positions keyed by the pixel alone (not by whichever pixel
// the thread shaded before), so that the map does not depend on how the
// tiles are shared among threads. Returns the number of positions.
int pixelPositions(xrState *state, int x, int y, int width, int samples, std::vector<float> &positions) {
    if (samples <= 1) {
        positions[0] = positions[1] = 0.5f;
        return 1;
    }
    const bool scoped = xr_sample_scope_begin(state, xrInteger(y * width + x)) != 0;
    xrInteger inst = 0, cnt = samples;
    int taken = 0;
    while (taken < samples && xr_sample(&positions[2 * size_t(taken)], &inst, state, 2, &cnt)) ++taken;
    if (scoped) xr_sample_scope_end(state);
    return taken;
}

// Renders the pixels of a light map: the samples of a pixel, the edge pass
// and the post-filter.
struct LightmapBaker {
    xrState *state;
    BaseStateRecord *rec;
    const xrBakeMesh &mesh;
    const TriangleGrid &grid;
    const ShadeSettings &settings;
    void *image;
    int width, height, uvSet;
    bool flip;
    int alphaMode, samples;
    std::vector<float> &custom;
    std::vector<float> &positions;

    // Shades the point of triangle `g` at barycentric weights `b`, seen
    // from raster position (px, py).
    xrColor shade(const GridTriangle &g, const float b[3], float px, float py) {
        std::memcpy(state->baryWeights, b, 3 * sizeof(float));
        // The raster position first: the host keys the point's sampling by
        // it when it sets the primitive.
        state->samplePosX = px;
        state->samplePosY = py;
        xr_state_set_pri(state, g.primitive);
        setSurface(state, mesh, g, b, uvSet, flip, settings.bakeMode == 0 || settings.bakeMode == 4);
        return shadePoint(state, rec, settings, custom);
    }

    // Alpha by alpha mode; `coverage` is the covered fraction of the pixel.
    void put(int x, int y, xrColor out, float alphaSum, float matte, int found, float coverage) {
        switch (alphaMode) {
            case 1: out.a = matte / float(found); break;
            case 2: out.a = veko::luminance(out); break;
            case 3: out.a = 1.0f; break;
            default: out.a = alphaSum / float(found) * coverage; break;
        }
        xr_img_clip_color(image, &out);
        xr_img_put_color(image, &out, x, y);
    }

    // The pixel's samples; false when none lies on the mesh (nothing written).
    bool bakePixel(int x, int y) {
        xrColor sum{0, 0, 0, 0};
        float alpha = 0.0f, matte = 0.0f;
        int found = 0;
        const int taken = pixelPositions(state, x, y, width, samples, positions);
        for (int k = 0; k < taken; ++k) {
            const float px = float(x) + positions[2 * size_t(k)], py = float(y) + positions[2 * size_t(k) + 1];
            float b[3];
            const GridTriangle *g = grid.locate(px, py, b);
            if (!g) continue;
            const xrColor c = shade(*g, b, px, py);
            veko::addTo(sum, c);
            alpha += c.a;
            matte += veko::luminance(rec->matteColor);
            ++found;
        }
        if (!found) return false;
        put(x, y, veko::scale(sum, 1.0f / float(found)), alpha, matte, found, float(found) / float(samples));
        return true;
    }

    // Conservative rasterisation: every pixel that a triangle touches but
    // that no sample of the render found gets the shading of the triangle's
    // point nearest to the pixel centre, so that a bilinear lookup near a
    // uv seam blends baked colours, not the empty background. Its coverage
    // is estimated on a 4 x 4 grid of positions (at least 1/16).
    template <class Mine>
    void edgePass(std::vector<uint8_t> &written, Mine mine) {
        for (const GridTriangle &g : grid.triangles())
            forTouchedPixels(g, width, height, [&](int x, int y) {
                uint8_t &done = written[size_t(y) * size_t(width) + size_t(x)];
                if (done || !mine(x, y)) return;
                const float cx = float(x) + 0.5f, cy = float(y) + 0.5f;
                float b[3];
                closestBary(g, cx, cy, b);
                const xrColor c = shade(g, b, cx, cy);
                int inside = 0;
                for (int j = 0; j < 4; ++j)
                    for (int i = 0; i < 4; ++i) {
                        float bb[3];
                        inside += grid.locate(float(x) + (float(i) + 0.5f) / 4.0f, float(y) + (float(j) + 0.5f) / 4.0f,
                                              bb) != nullptr;
                    }
                put(x, y, c, c.a, veko::luminance(rec->matteColor), 1, float(std::max(inside, 1)) / 16.0f);
                done = 1;
            });
    }

    // The pixels the render writes: a sample on the mesh, or (with the edge
    // pass) a triangle touching the pixel.
    std::vector<uint8_t> coverage(bool edges) {
        std::vector<uint8_t> covered(size_t(width) * size_t(height), 0);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const int taken = pixelPositions(state, x, y, width, samples, positions);
                for (int k = 0; k < taken; ++k) {
                    float b[3];
                    if (grid.locate(float(x) + positions[2 * size_t(k)], float(y) + positions[2 * size_t(k) + 1], b)) {
                        covered[size_t(y) * size_t(width) + size_t(x)] = 1;
                        break;
                    }
                }
            }
        if (edges)
            for (const GridTriangle &g : grid.triangles())
                forTouchedPixels(g, width, height,
                                 [&](int x, int y) { covered[size_t(y) * size_t(width) + size_t(x)] = 1; });
        return covered;
    }

    // Tent filter of `radius` pixels over the covered pixels only: an
    // empty pixel neither receives nor lends colour, so the baked area
    // does not darken towards its edges. Alpha is kept.
    void postFilter(const std::vector<uint8_t> &covered, float radius) {
        const size_t n = size_t(width) * size_t(height);
        std::vector<xrColor> px(n);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (covered[size_t(y) * size_t(width) + size_t(x)])
                    xr_img_get_color(image, &px[size_t(y) * size_t(width) + size_t(x)], x, y);
        const int r = int(std::ceil(radius));
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const size_t i = size_t(y) * size_t(width) + size_t(x);
                if (!covered[i]) continue;
                xrColor sum{0, 0, 0, 0};
                float wsum = 0.0f;
                for (int j = std::max(y - r, 0); j <= std::min(y + r, height - 1); ++j)
                    for (int k = std::max(x - r, 0); k <= std::min(x + r, width - 1); ++k) {
                        const size_t q = size_t(j) * size_t(width) + size_t(k);
                        const float d = std::sqrt(float((j - y) * (j - y) + (k - x) * (k - x)));
                        if (!covered[q] || d > radius) continue;
                        const float w = 1.0f - d / (radius + 1.0f);
                        veko::addScaled(sum, px[q], w);
                        wsum += w;
                    }
                xrColor out = veko::scale(sum, 1.0f / wsum);
                out.a = px[i].a;
                xr_img_put_color(image, &out, x, y);
            }
    }
};

void reportAbort(const char *shader) { xr_progress("%s(): Terminated by user...", shader); }

// Spacing in pixels of the final-gather prebake points: 8 pixels, closer
// for more gather rays, wider on maps above a million pixels, divided by
// the density.
float prebakeSpacing(int rays, int width, int height, float density) {
    double s = 8.0;
    if (rays > 100) s *= std::pow(double(rays) / 100.0, -0.25);
    const double pixels = double(width) * double(height);
    if (pixels > 1000000.0) s *= std::pow(pixels / 1000000.0, 0.25);
    s /= double(density);
    return float(std::clamp(s, 1.0, double(std::min(width, height))));
}

// The final-gather prebake: points on a grid of `spacing` pixels, in tiles
// of 16 x 16 points (this call's share of them), each at its cell centre
// moved by 0.85 times a sample offset of the cell, are located on the mesh
// and stored as final-gather points. False when the render was aborted.
bool prebakeGather(xrState *state, const xrBakeMesh &mesh, const TriangleGrid &grid, int width, int height,
                   float spacing, int uvSet, unsigned objectId, bool progress) {
    if (progress) xr_progress("veko_bakelightmap(): 0x%x Prebaking FG points...", objectId);
    const int nx = std::max(int(std::ceil(float(width) / spacing)), 1);
    const int ny = std::max(int(std::ceil(float(height) / spacing)), 1);
    const int tilesX = (nx + kTile - 1) / kTile, tilesY = (ny + kTile - 1) / kTile;
    const int tiles = tilesX * tilesY;
    const int first = std::max(mesh.tileFirst, 0), step = std::max(mesh.tileStep, 1);
    const int mine = std::max((tiles - first + step - 1) / step, 1);
    const int every = std::max(int(float(tiles) * 0.04f), 1);
    bool lastPrinted = false;
    for (int t = first; t < tiles; t += step) {
        const int tx = t % tilesX, ty = t / tilesX;
        for (int j = ty * kTile; j < std::min(ny, (ty + 1) * kTile); ++j)
            for (int i = tx * kTile; i < std::min(nx, (tx + 1) * kTile); ++i) {
                // The offset is keyed by the grid cell alone, so the points
                // do not depend on how the tiles are shared among threads.
                float off[2] = {0.5f, 0.5f};
                xrInteger inst = 0, one = 1;
                const bool scoped = xr_sample_scope_begin(state, xrInteger(j * nx + i)) != 0;
                xr_sample(off, &inst, state, 2, &one);
                if (scoped) xr_sample_scope_end(state);
                const float x = (float(i) + 0.5f + 0.85f * (off[0] - 0.5f)) * spacing;
                const float y = (float(j) + 0.5f + 0.85f * (off[1] - 0.5f)) * spacing;
                float b[3];
                const GridTriangle *g = grid.locate(x, y, b);
                if (!g) continue;
                std::memcpy(state->baryWeights, b, sizeof b);
                state->samplePosX = x;
                state->samplePosY = y;
                xr_state_set_pri(state, g->primitive);
                setSurface(state, mesh, *g, b, uvSet, false, true);
                faceSurface(state);
                xrColor average;
                xr_finalgather_store(&average, state, nullptr);
            }
        const int done = (t - first) / step + 1;
        lastPrinted = false;
        if (xr_par_aborted()) {
            reportAbort("veko_bakelightmap");
            return false;
        }
        if (progress && done % every == 0) {
            xr_progress("veko_bakelightmap(): 0x%x %5.1f percent FG points prebaked.", objectId,
                        100.0 * done / mine);
            lastPrinted = done == mine;
        }
    }
    if (progress && !lastPrinted) xr_progress("veko_bakelightmap(): 0x%x 100.0 percent FG points prebaked.", objectId);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------

VEKO_EXPORT xrBoolean veko_bakelightmap(void *result, xrState *state, void *params) {
    auto *p = static_cast<BakeLightmapParams *>(params);
    if (state->rayKind == kRayVertex) {
        auto *v = static_cast<LightmapVertex *>(result);
        v->point = state->hitPoint;
        v->normal = eval(state, &p->normalDirection) == 2 ? veko::vneg(state->shadingNormal) : state->shadingNormal;
        const int set = eval(state, &p->uvSet);
        v->uv = state->texCoords && set >= 0 ? state->texCoords[set] : xrVector{0, 0, 0};
        return 1;
    }
    if (state->rayKind != kRayMesh || xr_par_aborted()) return 1;
    const auto *mesh = static_cast<const xrBakeMesh *>(result);
    BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        xr_warning("veko_bakelightmap(): Internal state error.");
        return 0;
    }
    const xrTag storage = eval(state, &p->storageTag);
    if (!storage) {
        xr_warning("veko_bakelightmap(): Storage tag must be nonzero.");
        return 1;
    }
    const float uvScale = eval(state, &p->uvScale);
    if (uvScale == 0.0f) return 1;
    const int lightMode = eval(state, &p->lightMode);
    const xrTag custom = eval(state, &p->customShader);
    if (lightMode == 4 && !custom) {
        xr_warning("veko_bakelightmap(): Couldn't find custom shader.");
        return 0;
    }
    if (!mesh || mesh->vertexFloats * 4 < int(sizeof(LightmapVertex))) return 1;
    const int uvSet = eval(state, &p->uvSet);
    const bool flip = eval(state, &p->normalDirection) == 2;

    // uv normalisation.
    UvMap map;
    const bool useRange = eval(state, &p->useUvRange) != 0;
    if (useRange) {
        const xrVector lo = eval(state, &p->uvMin), hi = eval(state, &p->uvMax);
        const float u0 = std::min(lo.x, hi.x), u1 = std::max(lo.x, hi.x);
        const float v0 = std::min(lo.y, hi.y), v1 = std::max(lo.y, hi.y);
        map = {u0, v0, u1 > u0 ? 1.0f / (u1 - u0) : 1.0f, v1 > v0 ? 1.0f / (v1 - v0) : 1.0f};
    } else if (eval(state, &p->uvRangeMode) == 2) {
        float u0 = 1e30f, u1 = -1e30f, v0 = 1e30f, v1 = -1e30f;
        for (int t = 0; t < mesh->triangleCount; ++t) {
            const xrInteger *tri = mesh->triangles + 4 * t;
            if (!validTriangle(*mesh, tri)) continue;
            for (int k = 0; k < 3; ++k) {
                const xrVector &uv = vertexOf(*mesh, tri[k]).uv;
                u0 = std::min(u0, uv.x), u1 = std::max(u1, uv.x);
                v0 = std::min(v0, uv.y), v1 = std::max(v1, uv.y);
            }
        }
        if (u1 >= u0) map = {u0, v0, u1 > u0 ? 1.0f / (u1 - u0) : 1.0f, v1 > v0 ? 1.0f / (v1 - v0) : 1.0f};
    } else {
        map.scaleU = map.scaleV = uvScale;
    }

    xrInteger objectId = 0;
    xr_query(kQueryObjectId, state, 0, &objectId);
    xrInteger width = 0, height = 0, type = 0;
    void *image = xr_lightmap_edit(state, storage, &width, &height, &type);
    if (!image || width <= 0 || height <= 0) {
        if (image) xr_lightmap_edit_end(state, storage);
        xr_warning("veko_bakelightmap(): Unable to open file texture.");
        return 1;
    }
    const bool progress = mesh->tileFirst == 0;
    if (progress && mesh->phase <= 1) xr_progress("veko_bakelightmap(): 0x%x Preparing to render...", unsigned(objectId));

    // Triangles in pixel space.
    std::vector<GridTriangle> tris;
    tris.reserve(size_t(std::max(mesh->triangleCount, 0)));
    double sum = 0.0;
    for (int t = 0; t < mesh->triangleCount; ++t) {
        const xrInteger *tri = mesh->triangles + 4 * t;
        if (!validTriangle(*mesh, tri)) continue;
        GridTriangle g;
        for (int k = 0; k < 3; ++k) {
            g.vertex[k] = tri[k];
            const xrVector &uv = vertexOf(*mesh, tri[k]).uv;
            g.x[k] = map.u(uv.x) * float(width);
            g.y[k] = map.v(uv.y) * float(height);
        }
        g.primitive = tri[3];
        g.area2 = (g.x[1] - g.x[0]) * (g.y[2] - g.y[0]) - (g.x[2] - g.x[0]) * (g.y[1] - g.y[0]);
        sum += std::fabs(g.area2);
        tris.push_back(g);
    }
    const TriangleGrid grid(std::move(tris), width, height, gridCellSize(sum, width, height));

    ShadingFrame frame(state, rec, 0);
    ShadeSettings s = shadeSettings(state, eval(state, &p->bakeMode), lightMode, eval(state, &p->light),
                                    eval(state, &p->lightScale), custom, eval(state, &p->occlusionRays),
                                    eval(state, &p->occlusionDistance));
    s.floatImage = type == kFloatImage;
    std::vector<float> customResult(size_t(std::max(s.customBytes, 16) + 3) / 4);
    const int alphaMode = eval(state, &p->alphaMode);
    const int pixelSampling = eval(state, &p->pixelSampling);
    const int samples = pixelSampling == 0 ? 1 : std::max(eval(state, &p->pixelSamples), 1);
    std::vector<float> positions(2 * size_t(samples));

    const xrOptions *opt = state->optionsRecord;
    const float density = eval(state, &p->fgPrebakeDensity);
    if ((mesh->phase == 0 || mesh->phase == 1) && opt && opt->finalGatherOn && density != 0.0f) {
        const float spacing = prebakeSpacing(opt->finalGatherRays, width, height, density);
        if (!prebakeGather(state, *mesh, grid, width, height, spacing, uvSet, unsigned(objectId), progress)) {
            xr_lightmap_edit_end(state, storage);
            return 1;
        }
    }
    if (mesh->phase == 1) {
        xr_lightmap_edit_end(state, storage);
        return 1;
    }

    LightmapBaker baker{state, rec, *mesh, grid, s, image, width, height, uvSet, flip, alphaMode, samples,
                        customResult, positions};
    const bool edgePass = pixelSampling == 2;
    const float filterRadius = eval(state, &p->filterRadius);
    if (mesh->phase == 3) {
        // The post-filter alone, over the whole map.
        if (filterRadius > 0.0f) baker.postFilter(baker.coverage(edgePass), filterRadius);
        xr_lightmap_edit_end(state, storage);
        return 1;
    }

    if (progress) xr_progress("veko_bakelightmap(): 0x%x Rendering light map...", unsigned(objectId));
    const int tilesX = (width + kTile - 1) / kTile, tilesY = (height + kTile - 1) / kTile;
    const int tiles = tilesX * tilesY;
    const int step = std::max(mesh->tileStep, 1);
    if (eval(state, &p->fill)) {
        const xrColor fill = eval(state, &p->fillColor);
        for (int t = mesh->tileFirst; t < tiles; t += step) {
            const int tx = t % tilesX, ty = t / tilesX;
            for (int y = ty * kTile; y < std::min(height, (ty + 1) * kTile); ++y)
                for (int x = tx * kTile; x < std::min(width, (tx + 1) * kTile); ++x) xr_img_put_color(image, &fill, x, y);
        }
    }
    const int every = std::max(int(float(tiles) * 0.04f), 1);
    std::vector<uint8_t> written(size_t(width) * size_t(height), 0);
    bool aborted = false, lastPrinted = false;
    for (int t = mesh->tileFirst; t < tiles && !aborted; t += step) {
        const int tx = t % tilesX, ty = t / tilesX;
        for (int y = ty * kTile; y < std::min(height, (ty + 1) * kTile); ++y)
            for (int x = tx * kTile; x < std::min(width, (tx + 1) * kTile); ++x)
                written[size_t(y) * size_t(width) + size_t(x)] = baker.bakePixel(x, y);
        const int done = (t - mesh->tileFirst) / step + 1;
        const int mine = (tiles - mesh->tileFirst + step - 1) / step;
        lastPrinted = false;
        if (xr_par_aborted()) {
            reportAbort("veko_bakelightmap");
            aborted = true;
        } else if (progress && done % every == 0) {
            xr_progress("veko_bakelightmap(): 0x%x %5.1f percent rendered.", unsigned(objectId),
                        100.0 * done / std::max(mine, 1));
            lastPrinted = done == mine;
        }
    }
    if (!aborted && progress && !lastPrinted) xr_progress("veko_bakelightmap(): 0x%x 100.0 percent rendered.", unsigned(objectId));
    if (!aborted && edgePass) {
        // Only this call's tiles: other threads own the rest.
        auto mine = [&](int x, int y) {
            const int t = (y / kTile) * tilesX + x / kTile;
            return t >= mesh->tileFirst && (t - mesh->tileFirst) % step == 0;
        };
        baker.edgePass(written, mine);
    }
    // With the tiles shared among threads the host asks for the filter in
    // a call of its own once every tile is done.
    if (!aborted && filterRadius > 0.0f && mesh->phase == 0 && step == 1)
        baker.postFilter(baker.coverage(edgePass), filterRadius);
    xr_lightmap_edit_end(state, storage);
    return 1;
}

// ---------------------------------------------------------------------------

VEKO_EXPORT xrBoolean veko_bakevertices(void *result, xrState *state, void *params) {
    auto *p = static_cast<BakeVerticesParams *>(params);
    if (state->rayKind == kRayVertex) {
        auto *v = static_cast<BakeVertex *>(result);
        v->point = state->hitPoint;
        v->normal = eval(state, &p->normalDirection) == 2 ? veko::vneg(state->shadingNormal) : state->shadingNormal;
        return 1;
    }
    if (state->rayKind != kRayMesh || xr_par_aborted()) return 1;
    const auto *mesh = static_cast<const xrBakeMesh *>(result);
    BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        xr_warning("veko_bakevertices(): Internal state error.");
        return 0;
    }
    const xrTag storage = eval(state, &p->storageTag);
    if (!storage) {
        xr_warning("veko_bakevertices(): Storage tag must be nonzero.");
        return 0;
    }
    const int lightMode = eval(state, &p->lightMode);
    const xrTag custom = eval(state, &p->customShader);
    if (lightMode == 4 && !custom) {
        xr_warning("veko_bakelightmap(): Couldn't find custom shader.");
        return 0;
    }
    xrTag found = 0;
    uint32_t *block = veko::findUserData(veko::kVekoMagic, xrDB_USERDATA, storage, &found, nullptr);
    if (!block) {
        xr_warning("veko_bakevertices(): Storage access unsuccessful.");
        return 0;
    }
    ShadeSettings s = shadeSettings(state, eval(state, &p->bakeMode), lightMode, eval(state, &p->light),
                                    eval(state, &p->lightScale), custom, eval(state, &p->occlusionRays),
                                    eval(state, &p->occlusionDistance));
    const int valueBytes = s.bakeMode == 4 ? s.customBytes : 24;
    int32_t stride = 0, count = 0;
    std::memcpy(&stride, block + 3, 4);
    std::memcpy(&count, block + 4, 4);
    if (stride != valueBytes + 4) {
        xr_db_unpin(found);
        xr_warning("veko_bakevertices(): Not enough space in storage.");
        return 0;
    }
    char *records = reinterpret_cast<char *>(block + 5);
    const bool flip = eval(state, &p->normalDirection) == 2;
    (void)flip;  // the vertex call negated the normals already

    xrInteger objectId = 0;
    xr_query(kQueryObjectId, state, 0, &objectId);
    ShadingFrame frame(state, rec, kRayVertex);
    xr_progress("veko_bakevertices(): Rendering light map...");
    float box[6] = {0, 0, 0, 0, 0, 0};
    xr_query(kQueryBox, state, 0, box);
    float extent = veko::length({box[3] - box[0], box[4] - box[1], box[5] - box[2]});
    for (float b : box) extent = std::max(extent, std::fabs(b));
    const float eps = extent > 0.0f ? 0.00001f * extent : 0.00001f;

    std::vector<float> customResult(size_t(std::max(s.customBytes, 16) + 3) / 4);
    const int triangles = std::max(mesh ? mesh->triangleCount : 0, 0);
    const int every = std::max(int(float(triangles) * 0.04f), 1);
    bool lastPrinted = false;
    for (int t = 0; t < triangles; ++t) {
        const xrInteger *tri = mesh->triangles + 4 * t;
        for (int k = 0; k < 3; ++k) {
            const int vi = tri[k];
            if (vi < 0 || vi >= count || vi >= mesh->vertexCount) {
                xr_warning("veko_bakevertices(): Wrong vertex index detected.");
                continue;
            }
            char *slot = records + size_t(vi) * size_t(stride);
            int32_t done = 0;
            std::memcpy(&done, slot, 4);
            if (done) continue;
            const auto *v = reinterpret_cast<const BakeVertex *>(mesh->vertices + size_t(vi) * size_t(mesh->vertexFloats));
            const auto *o1 = reinterpret_cast<const BakeVertex *>(mesh->vertices +
                                                                  size_t(tri[(k + 1) % 3]) * size_t(mesh->vertexFloats));
            const auto *o2 = reinterpret_cast<const BakeVertex *>(mesh->vertices +
                                                                  size_t(tri[(k + 2) % 3]) * size_t(mesh->vertexFloats));
            state->baryWeights[0] = state->baryWeights[1] = state->baryWeights[2] = 0.0f;
            state->baryWeights[k] = 1.0f;
            state->samplePosX = state->samplePosY = float(vi);
            xr_state_set_pri(state, tri[3]);
            const xrVector n = veko::normalize(v->normal);
            const xrVector mid = veko::vscale(veko::vadd(o1->point, o2->point), 0.5f);
            const xrVector d = veko::normalize(veko::vsub(mid, v->point));
            state->hitPoint = veko::vadd(v->point, veko::vscale(veko::vadd(veko::vscale(n, 0.1f), d), eps));
            state->shadingNormal = n;
            state->geometricNormal = n;
            const xrColor col = shadePoint(state, rec, s, customResult);
            if (s.bakeMode == 4) {
                std::memcpy(slot + 4, customResult.data(), size_t(valueBytes));
            } else {
                const float value[6] = {col.r, col.g, col.b, rec->auxColor.r, rec->auxColor.g, rec->auxColor.b};
                std::memcpy(slot + 4, value, sizeof value);
            }
            done = 1;
            std::memcpy(slot, &done, 4);
        }
        lastPrinted = false;
        if ((t + 1) % every == 0) {
            xr_progress("veko_bakevertices(): 0x%x %5.1f percent rendered.", unsigned(objectId),
                        double(t + 1) * 100.0 / triangles);
            lastPrinted = t + 1 == triangles;
        }
        if (xr_par_aborted()) {
            reportAbort("veko_bakevertices");
            xr_db_unpin(found);
            return 1;
        }
    }
    if (!lastPrinted) xr_progress("veko_bakevertices(): 0x%x 100.0 percent rendered.", unsigned(objectId));
    xr_db_unpin(found);
    return 1;
}

// ---------------------------------------------------------------------------

namespace {

// Output images of the post-process: 0 colour, 4 tag (red channel), 5
// coverage (red channel).
struct PostImages {
    void *color = nullptr, *tag = nullptr, *coverage = nullptr;
    int width = 0, height = 0;
};

float tagAt(void *img, int x, int y) {
    xrColor c;
    xr_img_get_color(img, &c, x, y);
    return c.r;
}
void setTag(void *img, int x, int y, float v) {
    const xrColor c{v, v, v, 1.0f};
    xr_img_put_color(img, &c, x, y);
}

// One ring: every empty pixel next to a pixel tagged before this pass takes
// the mean of those neighbours, weighted by the inverse of their normalised
// distance, and is tagged pass + 1. Returns the number of pixels filled.
int growRing(const PostImages &im, int pass, const std::vector<float> &tags, std::vector<float> &next) {
    const int w = im.width, h = im.height;
    const float dx = 1.0f / float(w), dy = 1.0f / float(h);
    const float wEdge = 1.0f / std::max(dx, dy), wCorner = 1.0f / std::sqrt(dx * dx + dy * dy);
    int filled = 0;
    next = tags;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (tags[size_t(y) * w + x] != 0.0f) continue;
            xrColor sum{0, 0, 0, 0};
            float wsum = 0.0f;
            for (int j = -1; j <= 1; ++j)
                for (int i = -1; i <= 1; ++i) {
                    const int xx = x + i, yy = y + j;
                    if ((i == 0 && j == 0) || xx < 0 || yy < 0 || xx >= w || yy >= h) continue;
                    if (tags[size_t(yy) * w + xx] == 0.0f) continue;
                    xrColor c;
                    xr_img_get_color(im.color, &c, xx, yy);
                    const float k = (i != 0 && j != 0) ? wCorner : wEdge;
                    veko::addScaled(sum, c, k);
                    wsum += k;
                }
            if (wsum <= 0.0f) continue;
            const xrColor c = veko::scale(sum, 1.0f / wsum);
            xr_img_put_color(im.color, &c, x, y);
            next[size_t(y) * w + x] = float(pass + 1);
            ++filled;
        }
    return filled;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_postlightmap(void *result, xrState *state, void *params) {
    (void)result;
    auto *p = static_cast<PostLightmapParams *>(params);
    if (xr_par_aborted()) return 1;
    xr_progress("veko_postlightmap(): Post-processing light map...");
    const float overbake = eval(state, &p->overbake);
    const bool fillEmpty = eval(state, &p->fillEmpty) != 0;
    if (overbake <= 0.0f && !fillEmpty) return 1;

    PostImages im;
    im.color = xr_output_image_open(state, 0);
    if (!im.color) return 1;
    im.tag = xr_output_image_open(state, 4);
    if (!im.tag) {
        xr_warning("veko_postlightmap(): Need tag buffer to overbake.");
        xr_output_image_close(state, 0);
        return 1;
    }
    im.coverage = xr_output_image_open(state, 5);
    im.width = xr_img_get_width(im.color);
    im.height = xr_img_get_height(im.color);
    const xrCamera *cam = state->cameraRecord;
    if (cam) {
        im.width = std::min(im.width, cam->imageWidth);
        im.height = std::min(im.height, cam->imageHeight);
    }
    const int w = std::max(im.width, 0), h = std::max(im.height, 0);
    std::vector<float> tags(size_t(w) * size_t(h)), next;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float t = tagAt(im.tag, x, y);
            // Partly covered pixels count as empty.
            if (t != 0.0f && im.coverage) {
                xrColor c;
                xr_img_get_color(im.coverage, &c, x, y);
                if (c.r < 1.0f) t = 0.0f;
            }
            tags[size_t(y) * w + x] = t;
        }
    bool aborted = false;
    int pass = 1;
    if (overbake > 0.0f) {
        const int R = int(std::ceil(float(std::max(w, h)) * overbake));
        for (; pass <= R && !aborted; ++pass) {
            if (!growRing(im, pass, tags, next)) break;
            tags.swap(next);
            aborted = xr_par_aborted() != 0;
        }
    }
    // The remaining empty pixels: further rings until none is left.
    if (fillEmpty)
        for (; !aborted; ++pass) {
            if (!growRing(im, pass, tags, next)) break;
            tags.swap(next);
            aborted = xr_par_aborted() != 0;
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) setTag(im.tag, x, y, tags[size_t(y) * w + x]);
    xr_progress("veko_postlightmap(): Done!");
    if (im.coverage) xr_output_image_close(state, 5);
    xr_output_image_close(state, 4);
    xr_output_image_close(state, 0);
    return 1;
}
