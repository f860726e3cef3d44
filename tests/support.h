// Shared test support: the library loaded once per test program through the
// reference host, and small helpers for calling nodes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vekohost/host.h"

namespace vt {

// The real libvekobase.so with its declarations, loaded once.
vh::Library &library();

// Messages the library reported since the last call (captured).
std::vector<vh::Message> messages();
// True when some captured message has exactly this text.
bool hasMessage(const std::vector<vh::Message> &m, const std::string &text);

// Path of a file in the source tree.
std::string sourcePath(const std::string &rel);

}  // namespace vt
