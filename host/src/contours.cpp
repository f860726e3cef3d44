// The host's contour facility: the contour store shader records the first
// eye sample of every pixel; after the samples the contrast shader compares
// each pair of horizontally and vertically neighbouring pixels, and where it
// finds a contour the host makes a line along the pixels' shared edge whose
// end points the contour shader colours. Output shaders read the lines with
// xr_get_contour_line.
#include <algorithm>
#include <atomic>

#include "render_internal.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vh {

namespace {

using StoreFn = xrBoolean (*)(void *info, xrInteger *size, xrState *state, const xrColor *color);
using ContrastFn = xrBoolean (*)(const void *info1, const void *info2, xrInteger level, xrState *state, void *params);
using ContourFn = xrBoolean (*)(void *endpoint, const void *info1, const void *info2, xrState *state, void *params);

// The session whose lines xr_get_contour_line hands out (during an output
// pass; output passes run one at a time).
std::atomic<Renderer::Impl *> g_lineSource{nullptr};

template <class Fn, class... Args>
xrBoolean callAs(Instance &inst, xrState *state, Args... args) {
    xrShaderRecord *saved = state->shaderRecord;
    state->shaderRecord = &inst.record;
    // The contour functions have their own signatures.
    const xrBoolean ok = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(inst.fns.main))(args...);
    state->shaderRecord = saved;
    return ok;
}

}  // namespace

void ContourStore::reset(int width, int height) {
    w = width;
    h = height;
    info.assign(size_t(width) * size_t(height) * kContourInfoBytes / 4, 0);
    stored.assign(size_t(width) * size_t(height), 0);
    z.assign(size_t(width) * size_t(height), 0.0f);
    lines.clear();
    next = 0;
}

void storeContourSample(RaySlot &slot, uint32_t pixel, const xrColor &color, bool hit) {
    Renderer::Impl &impl = *slot.rd.td->impl;
    ContourStore &cs = impl.contours;
    Scene &sc = *impl.scene;
    if (!sc.contourStore || cs.stored.empty() || pixel >= cs.stored.size()) return;
    if (!hit) return;
    xrInteger size = 0;
    void *info = &cs.info[size_t(pixel) * kContourInfoBytes / 4];
    if (callAs<StoreFn>(*sc.contourStore, &slot.st, info, &size, &slot.st, &color) && size > 0 &&
        size <= kContourInfoBytes) {
        cs.stored[pixel] = 1;
        cs.z[pixel] = sc.worldToCam.point(slot.st.hitPoint).z;
    }
}

void buildContourLines(Renderer &r) {
    Renderer::Impl &impl = *r.impl();
    Scene &sc = *impl.scene;
    ContourStore &cs = impl.contours;
    cs.lines.clear();
    cs.next = 0;
    if (!sc.contourStore || !sc.contourContrast || !sc.contourShader || cs.stored.empty()) return;
    xrState *st = r.eyeState(0);
    const int W = cs.w, H = cs.h;
    const float widthScale = float(sc.camera.imageWidth) * 0.01f;  // percent of the image width to pixels
    auto infoAt = [&](int x, int y) -> const void * {  // raster y up
        const size_t i = size_t(H - 1 - y) * size_t(W) + size_t(x);
        return cs.stored[i] ? &cs.info[i * kContourInfoBytes / 4] : nullptr;
    };
    auto zAt = [&](int x, int y) {
        const size_t i = size_t(H - 1 - y) * size_t(W) + size_t(x);
        return cs.stored[i] ? cs.z[i] : -1e30f;
    };
    auto edge = [&](int xa, int ya, int xb, int yb, float x1, float y1, float x2, float y2) {
        const void *a = infoAt(xa, ya), *b = infoAt(xb, yb);
        if (!a && !b) return;
        if (!callAs<ContrastFn>(*sc.contourContrast, st, a, b, xrInteger(0), st, sc.contourContrast->params())) return;
        // The nearer sample's depth (camera space looks down -z).
        const float z = std::max(zAt(xa, ya), zAt(xb, yb));
        ContourLine line;
        line.e[0] = {x1, y1, z, {0, 0, 0, 1}, 0};
        line.e[1] = {x2, y2, z, {0, 0, 0, 1}, 0};
        for (ContourEnd &e : line.e) {
            callAs<ContourFn>(*sc.contourShader, st, &e, a, b, st, sc.contourShader->params());
            e.width *= widthScale;
        }
        cs.lines.push_back(line);
    };
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            if (x + 1 < W) edge(x, y, x + 1, y, float(x + 1), float(y), float(x + 1), float(y + 1));
            if (y + 1 < H) edge(x, y, x, y + 1, float(x), float(y + 1), float(x + 1), float(y + 1));
        }
}

void setContourLineSource(Renderer::Impl *impl) { g_lineSource = impl; }

}  // namespace vh

using namespace vh;

// Width in pixels; each call hands out the next line.
VH_EXPORT xrBoolean xr_get_contour_line(void *end1, void *end2) {
    Renderer::Impl *impl = g_lineSource.load();
    if (!impl || !end1 || !end2) return 0;
    ContourStore &cs = impl->contours;
    if (cs.next >= cs.lines.size()) return 0;
    const ContourLine &l = cs.lines[cs.next++];
    std::memcpy(end1, &l.e[0], sizeof(ContourEnd));
    std::memcpy(end2, &l.e[1], sizeof(ContourEnd));
    return 1;
}
