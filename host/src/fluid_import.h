// Fluid data from volume grid files: an object's "fluid" key names a .vdb
// file and the grids to read; they are resampled onto one lattice (the
// container) and laid out as the shader library's fluid user-data block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vekohost/host.h"

namespace vh {

// Reads the grids named by `spec` (the object's "fluid" value, see
// render.h) and returns the fluid block's words after its magic. Relative
// file names resolve against baseDir. Throws Error prefixed with `where`,
// naming the file and grid at fault.
std::vector<uint32_t> loadFluidBlock(const json &spec, const std::string &baseDir, const std::string &where);

}  // namespace vh
