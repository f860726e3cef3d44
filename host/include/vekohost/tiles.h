// Rendering a frame in parts (render farms): the region of tile i of n, and
// assembling parts written as OpenEXR (data window inside the frame) into
// the whole frame.
#pragma once

#include <string>
#include <vector>

#include "vekohost/render.h"

namespace vh {

// Tile `index` (0 to count - 1) of a frame split into `count` bands of rows,
// top to bottom, as even as whole rows allow. Throws Error when index or
// count is out of range or there are more tiles than rows.
RenderOptions::Region tileRegion(int index, int count, int width, int height);

// The pixels of `region` (inside the frame) of a whole frame, with all its
// channels, as a part that knows its place.
FrameImage cropFrame(const FrameImage &whole, const RenderOptions::Region &region);

// "i/n" as in --tile; throws Error on anything else.
void parseTile(const std::string &text, int &index, int &count);

// Reads an image written by writeImage (any part of a frame) with all its
// channels: RGBA, Z, label and the extra frame buffers.
FrameImage readFrame(const std::string &path);

// Places the parts into one frame. All parts must belong to frames of the
// same size and carry the same channels; every pixel must be covered, and
// pixels covered twice must agree. Throws Error naming the part at fault.
FrameImage mergeFrames(const std::vector<FrameImage> &parts, const std::vector<std::string> &names);

// The merge subcommand: reads the parts, merges, writes `output` (.exr or
// .png). Returns a process exit code; reports errors as messages.
int mergeImages(const std::vector<std::string> &parts, const std::string &output);

}  // namespace vh
