#include "support.h"

namespace vt {

vh::Library &library() {
    static vh::Library *lib = [] {
        vh::captureMessages(true);
        return new vh::Library(vh::Library::defaultPath());
    }();
    return *lib;
}

std::vector<vh::Message> messages() { return vh::takeMessages(); }

bool hasMessage(const std::vector<vh::Message> &m, const std::string &text) {
    for (const auto &x : m)
        if (x.text == text) return true;
    return false;
}

std::string sourcePath(const std::string &rel) { return std::string(VEKO_SOURCE_DIR) + "/" + rel; }

}  // namespace vt
