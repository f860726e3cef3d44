// Texture images of the host: image files read (through OpenImageIO) into
// database elements of type xrDB_IMAGE with a pyramid of reduced levels, and
// the elliptical filter over the same files (xr_lookup_filter_color_texture).
// All OpenImageIO texture code sits behind this header (host/src/textures.cpp).
#pragma once

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

// Reads `path` (any format OpenImageIO reads: 8/16-bit, half, float; grey,
// grey + alpha, RGB, RGBA) into RGBA floats as stored (no colour conversion;
// grey fills r, g, b; a missing alpha is 1), lower-left pixel first, and
// builds the pyramid by halving down to 1 x 1. Throws Error
// "<path>: <reason>" when the file cannot be read.
std::shared_ptr<TextureImage> openTextureImage(const std::string &path);

}  // namespace vh
