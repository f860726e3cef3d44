// Frame images: OpenEXR with float beauty RGBA, depth, label and the extra
// frame buffers; PNG as 8-bit sRGB with straight alpha.
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "render_internal.h"
#include "vekohost/imagefile.h"

namespace vh {

namespace {

std::string extensionOf(const std::string &path) {
    std::string e = std::filesystem::path(path).extension().string();
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return e;
}

}  // namespace

void writeImage(const FrameImage &img, const std::string &path) {
    const int W = img.width, H = img.height;
    if (W <= 0 || H <= 0) throw Error(path + ": empty image");
    const size_t n = size_t(W) * H;
    const std::string ext = extensionOf(path);
    if (ext == ".exr") {
        std::vector<std::string> names = {"R", "G", "B", "A", "Z", "label"};
        std::vector<int> fbs;
        for (int k = 0; k < 8; ++k)
            if (!img.fb[size_t(k)].empty()) {
                fbs.push_back(k);
                for (const char *c : {"R", "G", "B", "A"}) names.push_back("fb" + std::to_string(k + 1) + "." + c);
            }
        const int nc = int(names.size());
        std::vector<float> data(n * size_t(nc));
        for (size_t i = 0; i < n; ++i) {
            float *d = &data[i * size_t(nc)];
            for (int c = 0; c < 4; ++c) d[c] = img.rgba[i * 4 + size_t(c)];
            d[4] = img.depth[i];
            d[5] = float(img.label[i]);
            int o = 6;
            for (int k : fbs)
                for (int c = 0; c < 4; ++c) d[o++] = img.fb[size_t(k)][i * 4 + size_t(c)];
        }
        ImageFile f;
        f.width = W;
        f.height = H;
        // A part of a frame keeps its place: data window inside the frame.
        f.originX = img.originX;
        f.originY = img.originY;
        f.fullWidth = img.fullWidth > 0 ? img.fullWidth : W;
        f.fullHeight = img.fullHeight > 0 ? img.fullHeight : H;
        f.channels = std::move(names);
        f.pixels = std::move(data);
        writeImageFile(path, f);
        return;
    }
    // 8-bit formats: sRGB colour, straight alpha (quantised here so the
    // rounding is ours).
    ImageFile f;
    f.width = W;
    f.height = H;
    f.channels = {"R", "G", "B", "A"};
    f.pixels.resize(n * 4);
    for (size_t i = 0; i < n; ++i) {
        const float *p = &img.rgba[i * 4];
        const float a = std::clamp(p[3], 0.0f, 1.0f);
        const float un = a > 0 && a < 1 ? 1.0f / a : 1.0f;
        for (int c = 0; c < 3; ++c) f.pixels[i * 4 + size_t(c)] = float(srgbByte(p[c] * un)) / 255.0f;
        f.pixels[i * 4 + 3] = float(linearByte(a)) / 255.0f;
    }
    writeImageFile(path, f);
}

// Channels are found by name (R, G, B, A or Y; Z; label; fbN.R ...), so
// files from other writers work too; a missing alpha reads as 1.
FrameImage readImage(const std::string &path) {
    const ImageFile f = readImageFile(path);
    FrameImage img;
    img.width = f.width;
    img.height = f.height;
    img.originX = f.originX;
    img.originY = f.originY;
    img.fullWidth = f.fullWidth;
    img.fullHeight = f.fullHeight;
    const size_t n = size_t(f.width) * f.height, nc = f.channels.size();
    img.rgba.assign(n * 4, 0.0f);
    img.depth.assign(n, 0.0f);
    img.label.assign(n, 0);
    auto copy = [&](int src, float *dst, size_t stride) {
        if (src < 0) return;
        for (size_t i = 0; i < n; ++i) dst[i * stride] = f.pixels[i * nc + size_t(src)];
    };
    const int grey = f.channelIndex("Y");
    const char *rgb[3] = {"R", "G", "B"};
    for (int c = 0; c < 3; ++c) copy(grey >= 0 ? grey : f.channelIndex(rgb[c]), img.rgba.data() + c, 4);
    const int alpha = f.channelIndex("A");
    if (alpha >= 0) copy(alpha, img.rgba.data() + 3, 4);
    else for (size_t i = 0; i < n; ++i) img.rgba[i * 4 + 3] = 1.0f;
    copy(f.channelIndex("Z"), img.depth.data(), 1);
    if (const int l = f.channelIndex("label"); l >= 0)
        for (size_t i = 0; i < n; ++i) {
            const float v = f.pixels[i * nc + size_t(l)];  // NaN and negatives read as 0
            img.label[i] = v > 0 ? uint32_t(std::min(v, 4294967040.0f)) : 0u;
        }
    for (int k = 0; k < 8; ++k) {
        const std::string pre = "fb" + std::to_string(k + 1) + ".";
        if (f.channelIndex(pre + "R") < 0) continue;
        auto &fb = img.fb[size_t(k)];
        fb.assign(n * 4, 0.0f);
        for (int c = 0; c < 4; ++c) copy(f.channelIndex(pre + "RGBA"[c]), fb.data() + c, 4);
    }
    return img;
}

}  // namespace vh
