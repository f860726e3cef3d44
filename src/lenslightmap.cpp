// Light maps through an ordinary render: veko_lenslightmap is a lens shader
// that turns the camera's raster into the uv square of one object. Raster
// position (x, y) of a width x height image is the point (x / width,
// y / height) of the object's chosen uv set; the lens finds the triangle
// under it, makes the state a hit there (point, normals, texture
// coordinates, barycentric weights, primitive) and shades it with the
// object's material or a given shader. Raster points on no triangle give
// alpha 0. The renderer's own sampling, pixel filter, tiles and outputs then
// produce the map.
//
// Per instance, _init lays the object's triangles out in uv space (host
// queries 116 and 117) in a grid; _exit prints its statistics and frees it.
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "bakegrid.h"
#include "vekobase.h"

namespace {

using veko::GridTriangle;
using veko::TriangleGrid;

constexpr xrInteger kQuerySurface = 116;
constexpr xrInteger kQuerySurfaceUv = 117;
// The uv square is laid out as a raster of this many units a side; lens
// calls scale the camera's raster to it.
constexpr int kUvRaster = 1024;

struct LensLightmapParams {
    xrTag object;        // 0: the instance whose uv layout is the raster
    xrInteger uvSet;     // 1
    xrBoolean useShader; // 2: shade with `shader` instead of the object's material
    xrTag shader;        // 3
};
static_assert(sizeof(LensLightmapParams) == 4 * 4);

// Per-instance data: the object's surface and its triangles in uv space.
struct LensMap {
    xrTag instance = 0;
    xrTag shader = 0;  // 0: the object's material
    const xrVector *positions = nullptr, *normals = nullptr;
    const uint32_t *triangles = nullptr;
    int vertexCount = 0;
    TriangleGrid grid{{}, 1, 1, 1.0f};
    size_t triangleCount = 0;
};

LensMap **mapSlot(xrState *state) { return reinterpret_cast<LensMap **>(veko::instanceUserPointer(state)); }

// Builds the uv layout of the instance; null (after a warning) when there
// is nothing to shade.
LensMap *buildMap(xrState *state, const LensLightmapParams *p) {
    const bool useShader = p->useShader != 0;
    if (useShader && !p->shader) {
        xr_warning("veko_lenslightmap(): No shader given.");
        return nullptr;
    }
    xrSurfaceView view{};
    if (!p->object || !xr_query(kQuerySurface, state, p->object, &view) || !view.positions || !view.triangles ||
        view.triangleCount <= 0) {
        xr_warning("veko_lenslightmap(): Nothing to bake.");
        return nullptr;
    }
    xrSurfaceUv uv{};
    uv.space = p->uvSet;
    if (p->uvSet < 0 || !xr_query(kQuerySurfaceUv, state, p->object, &uv) || !uv.coords || uv.count != view.vertexCount) {
        xr_warning("veko_lenslightmap(): Improper UV set.");
        return nullptr;
    }
    std::vector<GridTriangle> tris;
    tris.reserve(size_t(view.triangleCount));
    double sum = 0.0;
    for (xrInteger t = 0; t < view.triangleCount; ++t) {
        GridTriangle g{};
        bool valid = true;
        for (int k = 0; k < 3; ++k) {
            const uint32_t v = view.triangles[3 * t + k];
            if (v >= uint32_t(view.vertexCount)) valid = false;
            g.vertex[k] = int32_t(v);
            if (valid) {
                g.x[k] = uv.coords[v].x * float(kUvRaster);
                g.y[k] = uv.coords[v].y * float(kUvRaster);
            }
        }
        if (!valid) continue;
        g.primitive = int32_t(t);
        g.area2 = (g.x[1] - g.x[0]) * (g.y[2] - g.y[0]) - (g.x[2] - g.x[0]) * (g.y[1] - g.y[0]);
        if (g.area2 == 0.0f) continue;
        sum += std::fabs(g.area2);
        tris.push_back(g);
    }
    if (tris.empty()) {
        xr_warning("veko_lenslightmap(): Nothing to bake.");
        return nullptr;
    }
    void *mem = xr_mem_int_allocate(__FILE__, __LINE__, sizeof(LensMap));
    if (!mem) return nullptr;
    auto *m = new (mem) LensMap;
    m->instance = p->object;
    m->shader = useShader ? p->shader : 0;
    m->positions = view.positions;
    m->normals = view.normals;
    m->triangles = view.triangles;
    m->vertexCount = view.vertexCount;
    m->triangleCount = tris.size();
    m->grid = TriangleGrid(std::move(tris), kUvRaster, kUvRaster, veko::gridCellSize(sum, kUvRaster, kUvRaster));
    return m;
}

// The fields of the state a lens call changes, restored when it returns.
struct SavedHit {
    explicit SavedHit(xrState *s)
        : state(s), point(s->hitPoint), normal(s->shadingNormal), geometric(s->geometricNormal), org(s->rayOrigin),
          dir(s->rayDirection), distance(s->hitDistance), cosView(s->cosView), instance(s->instanceTag) {
        std::memcpy(bary, s->baryWeights, sizeof bary);
    }
    ~SavedHit() {
        state->hitPoint = point;
        state->shadingNormal = normal;
        state->geometricNormal = geometric;
        state->rayOrigin = org;
        state->rayDirection = dir;
        state->hitDistance = distance;
        state->cosView = cosView;
        state->instanceTag = instance;
        std::memcpy(state->baryWeights, bary, sizeof bary);
    }
    SavedHit(const SavedHit &) = delete;
    SavedHit &operator=(const SavedHit &) = delete;
    xrState *state;
    xrVector point, normal, geometric, org, dir;
    double distance;
    float cosView;
    xrTag instance;
    float bary[3];
};

// Point and normals of triangle g at barycentric weights b into the state.
void setHit(xrState *state, const LensMap &m, const GridTriangle &g, const float b[3]) {
    const xrVector &p0 = m.positions[g.vertex[0]], &p1 = m.positions[g.vertex[1]], &p2 = m.positions[g.vertex[2]];
    auto mix = [&](const xrVector &a, const xrVector &c, const xrVector &d) {
        return veko::vadd(veko::vadd(veko::vscale(a, b[0]), veko::vscale(c, b[1])), veko::vscale(d, b[2]));
    };
    const xrVector face = veko::normalize(veko::cross(veko::vsub(p1, p0), veko::vsub(p2, p0)));
    xrVector n = face;
    if (m.normals) {
        n = veko::normalize(mix(m.normals[g.vertex[0]], m.normals[g.vertex[1]], m.normals[g.vertex[2]]));
        if (veko::length(n) == 0.0f) n = face;
    }
    state->hitPoint = mix(p0, p1, p2);
    state->shadingNormal = n;
    state->geometricNormal = veko::dot(face, n) < 0.0f ? veko::vneg(face) : face;
    // Seen head-on from one unit above the surface.
    state->rayDirection = veko::vneg(n);
    state->rayOrigin = veko::vadd(state->hitPoint, n);
    state->hitDistance = 1.0;
    state->cosView = -1.0f;
}

}  // namespace

VEKO_EXPORT void veko_lenslightmap_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {
        if (initRequest) *initRequest = 1;
        return;
    }
    LensMap **slot = mapSlot(state);
    if (!slot) return;
    *slot = buildMap(state, static_cast<const LensLightmapParams *>(params));
}

VEKO_EXPORT void veko_lenslightmap_exit(xrState *state, void *params) {
    if (!params) return;
    LensMap **slot = mapSlot(state);
    if (!slot || !*slot) return;
    LensMap *m = *slot;
    size_t bytes = sizeof(LensMap) + m->grid.bytes();
    char unit = ' ';
    if (bytes >= 10u * 1024u * 1024u) {
        bytes /= 1024u * 1024u;
        unit = 'M';
    } else if (bytes >= 10u * 1024u) {
        bytes /= 1024u;
        unit = 'K';
    }
    // "%7u": a space flag would have no effect on an unsigned conversion.
    xr_info("veko_lenslightmap(): %7u  triangles", unsigned(m->triangleCount));
    xr_info("veko_lenslightmap(): %7u%c memory allocated", unsigned(bytes), unit);
    m->~LensMap();
    xr_mem_int_release(__FILE__, __LINE__, m);
    *slot = nullptr;
}

VEKO_EXPORT xrBoolean veko_lenslightmap(void *result, xrState *state, void *params) {
    (void)params;
    auto *out = static_cast<xrColor *>(result);
    *out = {0, 0, 0, 0};
    if (!veko::stateRecord(state)) {
        xr_warning("veko_lenslightmap(): Internal state error.");
        return 0;
    }
    LensMap **slot = mapSlot(state);
    const LensMap *m = slot ? *slot : nullptr;
    const xrCamera *cam = state->cameraRecord;
    if (!m || !cam || cam->imageWidth <= 0 || cam->imageHeight <= 0) return 1;
    const float x = state->samplePosX / float(cam->imageWidth) * float(kUvRaster);
    const float y = state->samplePosY / float(cam->imageHeight) * float(kUvRaster);
    float b[3];
    const GridTriangle *g = m->grid.locate(x, y, b);
    if (!g) return 1;  // no surface here: alpha 0

    SavedHit saved(state);
    std::memcpy(state->baryWeights, b, sizeof b);
    state->instanceTag = m->instance;
    if (!xr_state_set_pri(state, g->primitive)) return 1;
    setHit(state, *m, *g, b);
    xr_flush_cache(state);
    xrBoolean ok;
    if (m->shader) {
        ok = xr_call_shader_x(out, xrSHADER_CALL, state, m->shader, nullptr);
    } else {
        ok = xr_call_material(out, state);
    }
    if (!ok) *out = {0, 0, 0, 0};
    return 1;
}
