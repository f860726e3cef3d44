// Swatches: a node network evaluated over a grid of surface samples.
#pragma once

#include <cstring>

#include "vekohost/host.h"

namespace vh {

// Evaluates `node` (its result `field`, or its first result field) at every
// pixel of a width x height grid; the sample at pixel (x, y) lies at
// u = (x + 0.5)/width, v = 1 - (y + 0.5)/height on the z = 0 plane. Returns
// interleaved floats, `channels` per pixel (4 colour, 3 vector, 1 scalar).
std::vector<float> shadeSwatch(Network &net, const std::string &node, const std::string &field, int width, int height,
                               int &channels);

// Reads a JSON file; errors name the file and the position.
json loadJsonFile(const std::string &path);

}  // namespace vh
