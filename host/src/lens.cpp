// Camera-side rays and geometry: the chain of lens shaders on eye rays
// (xr_trace_eye), image planes fixed to the camera, and the plain bilinear
// texture lookup their shaders use (xr_lookup_color_texture).
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "render_internal.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vh {

xrBoolean traceEyeRay(RaySlot &slot, xrColor *color) {
    RayData &rd = slot.rd;
    Scene &sc = *rd.scene;
    xrState &st = slot.st;
    if (size_t(rd.lens) < sc.lensShaders.size()) {
        setMiss(slot);
        return callEnvironmentShader(*sc.lensShaders[size_t(rd.lens)], &st, color);
    }
    const xrVector org = st.rayOrigin, dir = st.rayDirection;
    // Clip planes along the camera's viewing axis, as for the camera's own
    // eye rays.
    const float dz = -sc.worldToCam.vector(dir).z;
    float tnear = 0, tfar = std::numeric_limits<float>::infinity();
    if (dz > 1e-8f) {
        tnear = sc.camera.nearClip / dz;
        tfar = sc.camera.farClip / dz;
    }
    RTCRayHit h;
    const bool hit = intersect(sc, org, dir, tnear, tfar, h, rayTime(sc, st.sampleTime));
    float tl = 0;
    xrBoolean ok;
    bool seen = true;
    if (const LightInst *vl = nearestVisibleLight(sc, org, dir, tnear, hit ? h.ray.tfar : tfar, &tl)) {
        setMiss(slot);
        ok = shadeVisibleLight(slot, *vl, tl, color);
    } else if (hit) {
        fillHit(slot, sc, h);
        ok = shadeHit(color, &st);
    } else {
        setMiss(slot);
        seen = false;
        xrTag env = st.environmentShader ? st.environmentShader : sc.camera.cameraEnvShader;
        Instance *inst = env ? instanceOfTag(env) : nullptr;
        ok = inst ? callEnvironmentShader(*inst, &st, color) : 0;
        if (!inst) *color = {0, 0, 0, 0};
    }
    applyRayVolumes(slot, color, seen);
    // The sample's depth and label come from the first eye ray that saw
    // something.
    RayData &root = rd.td->stack[0]->rd;
    if (slot.rd.passed) seen = slot.rd.passedHit;  // behind invisible volume boundaries
    if (seen && !root.eyeHit) {
        root.eyeHit = true;
        root.eyeHitDistance = slot.rd.passed ? slot.rd.passedDistance : st.hitDistance;
        root.eyeHitInstance = slot.rd.passed ? slot.rd.passedInstance : st.instanceTag;
        root.eyeHitLabel = slot.rd.passed ? slot.rd.passedLabel : st.objectLabel;
        // The contour facility keeps the pixel's first sample: here, the
        // first traced eye ray's hit.
        if (root.sampleIndex == 0 && !rd.td->impl->contours.stored.empty())
            storeContourSample(slot, root.pixel, *color, true);
    }
    return ok;
}

void appendImagePlanes(const Scene &scene, const json &planes, json &objects, const std::string &file) {
    if (!planes.is_array()) throw Error(file + ": \"imagePlanes\" must be a list");
    const xrCamera &k = scene.camera;
    for (size_t i = 0; i < planes.size(); ++i) {
        const json &p = planes[i];
        std::string where = file + ": imagePlanes[" + std::to_string(i) + "]";
        if (!p.is_object()) throw Error(where + ": must be an object");
        for (auto it = p.begin(); it != p.end(); ++it) {
            static const char *keys[] = {"name", "shader", "depth", "size", "offset"};
            if (std::find_if(std::begin(keys), std::end(keys), [&](const char *kk) { return it.key() == kk; }) ==
                std::end(keys))
                throw Error(where + ": unknown key \"" + it.key() + "\"");
        }
        const std::string name = p.value("name", "imagePlane" + std::to_string(i));
        where += " (\"" + name + "\")";
        if (!p.contains("shader") || !p["shader"].is_string()) throw Error(where + ": needs a \"shader\" node");
        if (!p.contains("depth") || !p["depth"].is_number()) throw Error(where + ": needs a \"depth\" (a number)");
        const float depth = p["depth"].get<float>();
        if (!(depth > k.nearClip && depth < k.farClip))
            throw Error(where + ": \"depth\" must lie between the camera's clip planes");
        auto pair = [&](const char *key, float def) -> std::array<float, 2> {
            if (!p.contains(key)) return {def, def};
            const json &v = p[key];
            if (!v.is_array() || v.size() != 2 || !v[0].is_number() || !v[1].is_number())
                throw Error(where + ": \"" + key + "\" must be two numbers");
            return {v[0].get<float>(), v[1].get<float>()};
        };
        const auto size = pair("size", 1), offset = pair("offset", 0);
        if (!(size[0] > 0 && size[1] > 0)) throw Error(where + ": \"size\" must be positive");
        // Half extents of the view at this depth.
        const float aspect = float(k.imageHeight) / float(k.imageWidth);
        const float hw = k.isOrthographic ? 0.5f * k.apertureWidth : depth * k.apertureWidth / (2 * k.focalLength);
        const float hh = hw * aspect;
        const float cx = offset[0] * 2 * hw, cy = offset[1] * 2 * hh;
        const float ex = hw * size[0], ey = hh * size[1];
        const xrVector corners[4] = {{cx - ex, cy - ey, -depth}, {cx + ex, cy - ey, -depth},
                                     {cx + ex, cy + ey, -depth}, {cx - ex, cy + ey, -depth}};
        const float uvs[8] = {0, 0, 1, 0, 1, 1, 0, 1};
        const xrVector n = normalize(scene.worldToCam.normalFromInverse({0, 0, 1}));
        json pos = json::array(), nrm = json::array(), uv = json::array();
        for (int c = 0; c < 4; ++c) {
            const xrVector w = scene.camToWorld.point(corners[c]);
            pos.insert(pos.end(), {w.x, w.y, w.z});
            nrm.insert(nrm.end(), {n.x, n.y, n.z});
            uv.insert(uv.end(), {uvs[2 * c], uvs[2 * c + 1]});
        }
        objects.push_back({{"name", name},
                           {"mesh", {{"positions", pos}, {"normals", nrm}, {"uvs", json::array({uv})},
                                     {"triangles", {0, 1, 2, 0, 2, 3}}}},
                           {"material", p["shader"]}});
    }
}

}  // namespace vh

using namespace vh;

VH_EXPORT xrBoolean xr_trace_eye(xrColor *color, xrState *state, const xrVector *origin, const xrVector *direction) {
    if (!color) return 0;
    *color = {0, 0, 0, 0};
    RayData *prd = rayDataOf(state);
    if (!prd || !origin || !direction) return 0;
    const xrVector d = normalize(*direction);
    if (length(d) == 0 || !std::isfinite(d.x + d.y + d.z) || !std::isfinite(origin->x + origin->y + origin->z))
        return 0;
    RaySlot *s = spawnChild(state, kRayEye, false);
    if (!s) return 0;
    s->st.rayOrigin = *origin;
    s->st.rayDirection = d;
    s->rd.lens = prd->lens + 1;
    const xrBoolean ok = traceEyeRay(*s, color);
    releaseChild(s);
    return ok;
}

// Bilinear between texel centres, repeating at the edges; level 0 of the
// image element.
VH_EXPORT xrBoolean xr_lookup_color_texture(xrColor *color, xrState *, xrTag image, const xrVector *coord) {
    if (!color || !coord) return 0;
    int type = 0;
    void *data = Database::get().access(image, &type);
    if (!data) return 0;
    const int w = type == xrDB_IMAGE ? xr_img_get_width(data) : 0, h = type == xrDB_IMAGE ? xr_img_get_height(data) : 0;
    xrBoolean ok = 0;
    if (w > 0 && h > 0 && std::isfinite(coord->x) && std::isfinite(coord->y)) {
        const double x = double(coord->x) * w - 0.5, y = double(coord->y) * h - 0.5;
        const double fx0 = std::floor(x), fy0 = std::floor(y);
        const float tx = float(x - fx0), ty = float(y - fy0);
        auto wrap = [](double v, int n) {
            long long i = (long long)v % n;
            return int(i < 0 ? i + n : i);
        };
        const int x0 = wrap(fx0, w), x1 = wrap(fx0 + 1, w), y0 = wrap(fy0, h), y1 = wrap(fy0 + 1, h);
        xrColor c00, c10, c01, c11;
        xr_img_get_color(data, &c00, x0, y0);
        xr_img_get_color(data, &c10, x1, y0);
        xr_img_get_color(data, &c01, x0, y1);
        xr_img_get_color(data, &c11, x1, y1);
        auto mix = [&](float a, float b, float c, float d) {
            return (a * (1 - tx) + b * tx) * (1 - ty) + (c * (1 - tx) + d * tx) * ty;
        };
        *color = {mix(c00.r, c10.r, c01.r, c11.r), mix(c00.g, c10.g, c01.g, c11.g), mix(c00.b, c10.b, c01.b, c11.b),
                  mix(c00.a, c10.a, c01.a, c11.a)};
        ok = 1;
    }
    Database::get().unpin(image);
    return ok;
}
