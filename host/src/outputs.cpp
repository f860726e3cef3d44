// Output shaders: the chain of nodes run on the finished frame, the frame's
// images as they see them (xr_output_image_open, xr_img_get_color,
// xr_img_put_color), and the render abort flag (xr_par_aborted).
#include <algorithm>
#include <atomic>
#include <cmath>

#include "render_internal.h"
#include "vekohost/textures.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vh {

namespace {

std::atomic<bool> g_abort{false};

OutputImage *outputOf(const void *image) {
    auto *o = static_cast<OutputImage *>(const_cast<void *>(image));
    return o && o->magic == kOutputImageMagic && o->frame ? o : nullptr;
}

// The frame's buffer behind an output image index; null when it has none.
bool hasBuffer(const FrameImage &f, int index) {
    switch (index) {
        case 0: return !f.rgba.empty();
        case 1: return !f.depth.empty();
        case 4: return !f.label.empty();
        case 5: return !f.coverage.empty();
        default: return index >= 11 && index < 19 && !f.fb[size_t(index - 11)].empty();
    }
}

}  // namespace

void requestAbort() { g_abort = true; }
void clearAbort() { g_abort = false; }
bool abortRequested() { return g_abort.load(std::memory_order_relaxed); }

bool outputImageColor(const void *image, xrColor *color, int x, int y) {
    const OutputImage *o = outputOf(image);
    if (!o) return false;
    const FrameImage &f = *o->frame;
    x = std::clamp(x, 0, o->width - 1);
    y = std::clamp(y, 0, o->height - 1);
    const size_t i = size_t(o->height - 1 - y) * size_t(o->width) + size_t(x);  // rows run top down
    switch (o->index) {
        case 0: std::memcpy(color, &f.rgba[i * 4], sizeof(xrColor)); break;
        case 1: *color = {f.depth[i], f.depth[i], f.depth[i], 1}; break;
        case 4: *color = {float(f.label[i]), 0, 0, 1}; break;
        case 5: *color = {f.coverage[i], f.coverage[i], f.coverage[i], f.coverage[i]}; break;
        default: std::memcpy(color, &f.fb[size_t(o->index - 11)][i * 4], sizeof(xrColor)); break;
    }
    return true;
}

bool outputImageExtent(const void *image, int *width, int *height) {
    const OutputImage *o = outputOf(image);
    if (!o) return false;
    *width = o->width;
    *height = o->height;
    return true;
}

void runOutputPass(Renderer &r, FrameImage &img) {
    Scene &sc = r.scene();
    if (sc.outputShaders.empty()) return;
    Renderer::Impl &impl = *r.impl();
    // The shared generator starts afresh (as at start-up) for every frame's
    // output pass, so post effects that draw from it (the glow's dither)
    // give the same frame whatever this process rendered before.
    xr_srandom(0);
    impl.outputFrame = &img;
    setContourLineSource(&impl);
    xrState *st = r.eyeState(0);
    for (Instance *inst : sc.outputShaders) {
        xrColor result{0, 0, 0, 0};
        newSample(st);
        callEnvironmentShader(*inst, st, &result);
        for (OutputImage &o : impl.outputImages) o = OutputImage{};  // closes what the shader left open
    }
    impl.outputFrame = nullptr;
    setContourLineSource(nullptr);
}

void runOutputShaders(Scene &scene, FrameImage &img) {
    if (img.width != scene.camera.imageWidth || img.height != scene.camera.imageHeight)
        throw Error(scene.where + ": the frame's size differs from the camera's resolution");
    Renderer r(scene, 1);
    runOutputPass(r, img);
}

}  // namespace vh

using namespace vh;

VH_EXPORT xrBoolean xr_par_aborted(void) { return abortRequested() ? 1 : 0; }

VH_EXPORT void *xr_output_image_open(xrState *state, xrInteger index) {
    RayData *rd = rayDataOf(state);
    if (!rd || index < 0 || index >= kOutputImages) return nullptr;
    Renderer::Impl &impl = *rd->td->impl;
    if (!impl.outputFrame || !hasBuffer(*impl.outputFrame, index)) return nullptr;
    OutputImage &o = impl.outputImages[index];
    o.magic = kOutputImageMagic;
    o.index = index;
    o.width = impl.outputFrame->width;
    o.height = impl.outputFrame->height;
    o.frame = impl.outputFrame;
    return &o;
}

VH_EXPORT void xr_output_image_close(xrState *state, xrInteger index) {
    RayData *rd = rayDataOf(state);
    if (!rd || index < 0 || index >= kOutputImages) return;
    rd->td->impl->outputImages[index] = OutputImage{};
}

// Writes a pixel of an output image; outside the image nothing happens. The
// label image takes r as the label, the depth image r.
VH_EXPORT void xr_img_put_color(void *image, const xrColor *color, xrInteger x, xrInteger y) {
    if (LightmapImage *l = asLightmap(image)) {  // a light map being baked (bake.cpp)
        if (color) putLightmapColor(*l, *color, x, y);
        return;
    }
    OutputImage *o = outputOf(image);
    if (!o || !color || x < 0 || y < 0 || x >= o->width || y >= o->height) return;
    FrameImage &f = *o->frame;
    const size_t i = size_t(o->height - 1 - y) * size_t(o->width) + size_t(x);
    switch (o->index) {
        case 0: std::memcpy(&f.rgba[i * 4], color, sizeof(xrColor)); break;
        case 1: f.depth[i] = color->r; break;
        case 4: f.label[i] = color->r > 0 ? uint32_t(color->r) : 0u; break;
        case 5: f.coverage[i] = color->r; break;
        default: std::memcpy(&f.fb[size_t(o->index - 11)][i * 4], color, sizeof(xrColor)); break;
    }
}
