// Every input kept from fuzzing (fuzz/regressions/<target>/) and every seed
// (fuzz/corpus/<target>/) runs through its fuzz target's path: it loads and
// renders, or fails with a clear error; it never crashes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "../fuzz/targets.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;

using Target = void (*)(vh::Library &, const uint8_t *, size_t);

int replay(const std::string &name, Target target) {
    int count = 0;
    for (const char *kind : {"regressions", "corpus"}) {
        const fs::path dir = fs::path(VEKO_SOURCE_DIR) / "fuzz" / kind / name;
        if (!fs::is_directory(dir)) continue;
        for (const auto &e : fs::directory_iterator(dir)) {
            std::ifstream in(e.path(), std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            SCOPED_TRACE(e.path().string());
            try {
                target(vt::library(), reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            } catch (const std::exception &ex) {
                ADD_FAILURE() << "escaped: " << ex.what();
            }
            ++count;
        }
    }
    vt::messages();
    return count;
}

TEST(FuzzRegressions, EveryKeptInputLoadsOrFailsCleanly) {
    const std::pair<const char *, Target> targets[] = {
        {"scene", vf::scene}, {"network", vf::network}, {"decls", vf::decls}, {"obj", vf::obj}, {"userdata", vf::userdata}};
    for (const auto &[name, fn] : targets) EXPECT_GT(replay(name, fn), 0) << name;
}

}  // namespace
