// Image output through OpenImageIO: OpenEXR with float beauty RGBA, depth,
// label and the extra frame buffers; PNG as 8-bit sRGB with straight alpha.
#include <algorithm>
#include <cmath>
#include <filesystem>

#include <OpenImageIO/imageio.h>

#include "render_internal.h"

namespace vh {

namespace {

std::string extensionOf(const std::string &path) {
    std::string e = std::filesystem::path(path).extension().string();
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return e;
}

float toSrgb(float v) {
    v = std::clamp(v, 0.0f, 1.0f);
    return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

void writeWith(const std::string &path, const OIIO::ImageSpec &spec, OIIO::TypeDesc type, const void *data) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) throw Error(path + ": cannot write images of this type: " + OIIO::geterror());
    if (!out->open(path, spec)) throw Error(path + ": " + out->geterror());
    if (!out->write_image(type, data)) throw Error(path + ": " + out->geterror());
    if (!out->close()) throw Error(path + ": " + out->geterror());
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
        OIIO::ImageSpec spec(W, H, nc, OIIO::TypeDesc::FLOAT);
        spec.channelnames = names;
        spec.alpha_channel = 3;
        spec.z_channel = 4;
        spec.attribute("compression", "zip");
        writeWith(path, spec, OIIO::TypeDesc::FLOAT, data.data());
        return;
    }
    // 8-bit formats: sRGB colour, straight alpha.
    std::vector<uint8_t> data(n * 4);
    for (size_t i = 0; i < n; ++i) {
        const float *p = &img.rgba[i * 4];
        const float a = std::clamp(p[3], 0.0f, 1.0f);
        const float un = a > 0 && a < 1 ? 1.0f / a : 1.0f;
        for (int c = 0; c < 3; ++c) data[i * 4 + size_t(c)] = uint8_t(std::lround(toSrgb(p[c] * un) * 255.0f));
        data[i * 4 + 3] = uint8_t(std::lround(a * 255.0f));
    }
    OIIO::ImageSpec spec(W, H, 4, OIIO::TypeDesc::UINT8);
    spec.alpha_channel = 3;
    writeWith(path, spec, OIIO::TypeDesc::UINT8, data.data());
}

FrameImage readImage(const std::string &path) {
    auto in = OIIO::ImageInput::open(path);
    if (!in) throw Error(path + ": cannot read image: " + OIIO::geterror());
    const OIIO::ImageSpec &spec = in->spec();
    FrameImage img;
    img.width = spec.width;
    img.height = spec.height;
    const int nc = spec.nchannels;
    std::vector<float> data(size_t(spec.width) * spec.height * size_t(nc));
    if (!in->read_image(0, 0, 0, nc, OIIO::TypeDesc::FLOAT, data.data())) throw Error(path + ": " + in->geterror());
    in->close();
    const size_t n = size_t(spec.width) * spec.height;
    img.rgba.assign(n * 4, 0.0f);
    img.depth.assign(n, 0.0f);
    img.label.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
        for (int c = 0; c < 4; ++c)
            img.rgba[i * 4 + size_t(c)] = c < nc ? data[i * size_t(nc) + size_t(c)] : (c == 3 ? 1.0f : 0.0f);
        if (nc == 1)
            for (int c = 1; c < 3; ++c) img.rgba[i * 4 + size_t(c)] = img.rgba[i * 4];
    }
    return img;
}

}  // namespace vh
