// The general image library's part of the host, in its own shared object
// (libvekohost_oiio.so) opened on first use: reading and writing formats
// other than PNG and OpenEXR, and the texture system behind the elliptical
// filter. A process that never needs them never loads that library and the
// hundreds of libraries it pulls in.
#pragma once

#include <cstddef>

extern "C" {

struct VhOiioTextureOptions {
    float width;       // filter width multiplier
    float blur;        // extra blur
    int anisotropy;    // largest anisotropy
};

struct VhOiioApi {
    int version;  // kVhOiioApiVersion
    // Reads every channel as float, top row first, into a buffer freed with
    // freePixels. alphaChannel is -1 when the file names none. Returns 0 and
    // writes a message into err on failure.
    int (*read)(const char *path, int *width, int *height, int *channels, int *alphaChannel, float **pixels,
                char *err, size_t errSize);
    void (*freePixels)(float *pixels);
    // Writes channels floats per pixel, top row first (8 bits, or half
    // floats for .hdr); names may be null.
    int (*write)(const char *path, int width, int height, int channels, const float *pixels,
                 const char *const *names, char *err, size_t errSize);
    // The texture system's handle of a file (null if it cannot be opened).
    void *(*textureHandle)(const char *path);
    // A filtered lookup at (s, t), t running down, with the footprint's
    // derivatives; result holds nc channels. Returns 0 on failure.
    int (*texture)(void *handle, const VhOiioTextureOptions *opt, float s, float t, float dsdx, float dtdx,
                   float dsdy, float dtdy, int nc, float *result);
    // Drops what the texture system holds of a file.
    void (*invalidate)(const char *path);
};

constexpr int kVhOiioApiVersion = 1;

// Exported by the module.
const VhOiioApi *vekohost_oiio_api();
}

namespace vh {
// The module's operations, loaded on the first call (thread-safe). Throws
// vh::Error naming the module and the reason when it cannot be loaded.
const VhOiioApi &oiioModule();
}  // namespace vh
