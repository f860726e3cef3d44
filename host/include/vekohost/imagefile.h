// PNG and OpenEXR files read and written directly through libpng and
// OpenEXR: the formats the renderer writes, without loading a general image
// library into every process. Other formats are read by the texture-image
// module on demand (textures only).
#pragma once

#include <string>
#include <vector>

namespace vh {

struct ImageFile {
    int width = 0, height = 0;      // size of the pixel data (the data window)
    int originX = 0, originY = 0;   // data window's top-left corner in the full frame
    int fullWidth = 0, fullHeight = 0;  // the full frame (display window); 0: the data size
    std::vector<std::string> channels;  // names, in pixel order
    std::vector<float> pixels;          // interleaved, top row first
    int channelIndex(const std::string &name) const;  // -1 when absent
};

// True for the extensions this file handles (.png, .exr; any case).
bool isPngPath(const std::string &path);
bool isExrPath(const std::string &path);

// Reads a PNG (8 or 16 bits, grey, grey+alpha, RGB, RGBA or palette; values
// scaled to [0, 1], alpha straight) or an OpenEXR file (every channel as
// float; R, G, B, A first when present, the rest in file order). Throws
// vh::Error naming the file on failure.
ImageFile readImageFile(const std::string &path);

// Writes PNG (values clamped to [0, 1] and rounded to 8 bits, as given:
// no transfer curve applied) or OpenEXR (`half` true: 16-bit floats, else
// 32-bit; zip compression; data window from originX/Y and the full size).
void writeImageFile(const std::string &path, const ImageFile &img, bool half = false);

// 8-bit quantisation as the PNG writer does it: v clamped to [0, 1] (NaN and
// negatives give 0), times 255, rounded half away from zero.
unsigned char linearByte(float v);
// The sRGB-encoded byte of a linear value: the byte that rounding the sRGB
// curve (linear below 0.0031308, else 1.055 v^(1/2.4) - 0.055) times 255
// gives, found in a table of the 255 steps' thresholds (no pow per value).
unsigned char srgbByte(float v);
// The curve itself, evaluated directly (the reference the table is built from).
float srgbEncode(float v);

}  // namespace vh
