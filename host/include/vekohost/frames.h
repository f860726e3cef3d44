// Frame sequences: frame lists from the command line and numbered output
// names. Rendering a sequence is renderFrames (render.h).
#pragma once

#include <string>
#include <vector>

namespace vh {

// Frame numbers of a list such as "7", "1-48", "-3--1" or "1-10,20,31-33",
// in the order given (ranges ascending or descending). Throws Error on
// malformed text or more than a million frames.
std::vector<long> parseFrameList(const std::string &text);

// True when `pattern` has a run of '#' for the frame number.
bool hasFrameField(const std::string &pattern);

// `pattern` with every run of '#' replaced by `frame`, zero-padded to the
// run's length (a longer number is written in full; a negative one gets its
// sign in front of the padded digits).
std::string frameFileName(const std::string &pattern, long frame);

}  // namespace vh
