// Texture images of the host: image files read (through OpenImageIO) into
// database elements of type xrDB_IMAGE with a pyramid of reduced levels, and
// the elliptical filter over the same files (xr_lookup_filter_color_texture).
// Formats beyond PNG and OpenEXR and the elliptical filter come from the
// image module (libvekohost_oiio.so), opened on first use.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "vekohost/host.h"

namespace vh {

// A loaded image and its database element. The element lives as long as the
// last shared owner; a file opened again while an owner holds it is not read
// a second time.
class TextureImage {
public:
    virtual ~TextureImage() = default;
    virtual xrTag tag() const = 0;
    virtual const std::string &path() const = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual int levels() const = 0;
    virtual int channels() const = 0;  // of the file
};

// An editable float image (light maps and the output images of output
// shaders): RGBA rows from the lower left. The image reads
// (xr_img_get_width/_height/_color) accept it as well. `tags` and
// `coverage` (one float per pixel, or null) record which pixels were
// written and the alpha written there.
struct LightmapImage {
    static constexpr int32_t kMagic = 0x4c4d4150;
    int32_t magic;
    int32_t type;  // 32: float pixels (not clamped)
    int32_t width, height;
    float *pixels;
    float *tags;
    float *coverage;
};
inline LightmapImage *asLightmap(const void *image) {
    auto *r = static_cast<LightmapImage *>(const_cast<void *>(image));
    return r && r->magic == LightmapImage::kMagic ? r : nullptr;
}
// Writes pixel (x, y) (nothing outside the image) and records it.
inline void putLightmapColor(LightmapImage &l, const xrColor &c, int x, int y) {
    if (x < 0 || y < 0 || x >= l.width || y >= l.height) return;
    const size_t i = size_t(y) * size_t(l.width) + size_t(x);
    std::memcpy(l.pixels + 4 * i, &c, sizeof c);
    if (l.tags) l.tags[i] = 1.0f;
    if (l.coverage) l.coverage[i] = c.a < 0.0f ? 0.0f : (c.a > 1.0f ? 1.0f : c.a);
}

// Reads `path` (any format OpenImageIO reads: 8/16-bit, half, float; grey,
// grey + alpha, RGB, RGBA) into RGBA floats as stored (no colour conversion;
// grey fills r, g, b; a missing alpha is 1), lower-left pixel first, and
// builds the pyramid by halving down to 1 x 1. Throws Error
// "<path>: <reason>" when the file cannot be read.
std::shared_ptr<TextureImage> openTextureImage(const std::string &path);

}  // namespace vh
