// Float images by file extension (.png 8-bit, .exr half float).
#pragma once

#include <string>
#include <vector>

#include "vekohost/host.h"

namespace vh {

// Writes `channels` interleaved floats per pixel, top row first. The format
// follows the extension (.png 8-bit, .exr half float).
void writeImage(const std::string &path, int width, int height, int channels, const float *pixels,
                const std::vector<std::string> &channelNames = {});
std::vector<float> readImage(const std::string &path, int &width, int &height, int &channels);

}  // namespace vh
