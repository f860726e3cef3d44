// The fuzz targets' bodies, shared by the libFuzzer programs (fuzz_*.cpp)
// and the regression suite (tests/test_fuzz_regressions.cpp), which runs
// every input kept in fuzz/regressions/<target>/ through the same path.
// Inputs may fail with vh::Error (a clear message); anything else escaping
// (another exception, a signal, a sanitizer report) is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "vekohost/host.h"
#include "vekohost/render.h"
#include "vekohost/shade.h"

namespace vf {

// The library for the fuzz programs (the tests pass their own).
inline vh::Library &library() {
    static vh::Library *lib = [] {
        vh::setVerbosity(0);
        return new vh::Library(vh::Library::defaultPath());
    }();
    return *lib;
}

// Renders a few pixels of a loaded scene on one thread.
inline void renderTiny(vh::Scene &scene) {
    vh::RenderOptions o;
    o.threads = 1;
    o.width = 3;
    o.height = 3;
    o.samples = 1;
    o.progress = false;
    vh::render(scene, o);
}

// Writes `data` to this process's file `name` (for loaders that read files).
inline std::string writeTemp(const char *name, const uint8_t *data, size_t size) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("vekofuzz_" + std::to_string(getpid()) + "_" + name)).string();
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return path;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
    return path;
}

// Generated meshes of millions of triangles are valid but only slow: the
// scene target leaves them out to keep each run short.
inline bool tooBig(const vh::json &j) {
    if (j.is_object()) {
        for (auto it = j.begin(); it != j.end(); ++it) {
            const std::string &k = it.key();
            if ((k == "divisions" || k == "segments" || k == "rings") && it->is_number() && it->get<double>() > 256)
                return true;
            if (tooBig(*it)) return true;
        }
    } else if (j.is_array()) {
        for (const auto &x : j)
            if (tooBig(x)) return true;
    }
    return false;
}

// Scene files: parse, load and render a few pixels.
inline void scene(vh::Library &lib, const uint8_t *data, size_t size) {
    vh::json doc = vh::json::parse(data, data + size, nullptr, false);
    if (doc.is_discarded() || tooBig(doc)) return;
    try {
        auto scene = vh::loadSceneJson(lib, doc, "fuzz.json", VEKO_SOURCE_DIR "/scenes");
        vf::renderTiny(*scene);
    } catch (const vh::Error &) {
    }
}

// Network files: load, then shade a small swatch of every node that the
// command line's shade subcommand could be asked for.
inline void network(vh::Library &lib, const uint8_t *data, size_t size) {
    vh::json doc = vh::json::parse(data, data + size, nullptr, false);
    if (doc.is_discarded()) return;
    try {
        vh::Network net(lib);
        net.load(doc, "fuzz.json");
        int shaded = 0;
        for (const auto &inst : net.instances()) {
            if (++shaded > 4) break;
            int channels = 0;
            try {
                vh::shadeSwatch(net, inst->name, "", 2, 2, channels);
            } catch (const vh::Error &) {
            }
        }
    } catch (const vh::Error &) {
    }
}

// Node declaration files: the parser and layout of parameter and result
// blocks.
inline void decls(vh::Library &, const uint8_t *data, size_t size) {
    const std::string path = vf::writeTemp("decls.json", data, size);
    try {
        vh::Declarations d;
        d.load(path);
        for (const auto &n : d.nodes()) {
            for (const auto &p : n.params) (void)n.param(p.name);
            for (const auto &r : n.result) (void)n.resultField(r.name);
        }
    } catch (const vh::Error &) {
    }
}

// OBJ meshes: a scene with one OBJ object, loaded and rendered.
inline void obj(vh::Library &lib, const uint8_t *data, size_t size) {
    const std::string path = vf::writeTemp("mesh.obj", data, size);
    const vh::json doc = {
        {"camera", {{"transform", {{"lookAt", {{"eye", {0, 0, 5}}, {"target", {0, 0, 0}}}}}}}},
        {"objects", {{{"name", "m"}, {"mesh", {{"type", "obj"}, {"file", path}}}}}}};
    try {
        auto scene = vh::loadSceneJson(lib, doc, "fuzz.json", ".");
        vf::renderTiny(*scene);
    } catch (const vh::Error &) {
    }
}

// "Veko" user-data blocks as the library reads them: the input's words go
// into the object, camera and options data of a tiny scene whose state
// shader, surface and texture read them; the scene is rendered.
inline void userdata(vh::Library &lib, const uint8_t *data, size_t size) {
    if (size < 1) return;
    // First byte: which elements get the words and whether a second block
    // with a foreign label is chained in front.
    const uint8_t sel = data[0];
    vh::json words = vh::json::array();
    for (size_t i = 1; i + 4 <= size && words.size() < 256; i += 4) {
        uint32_t w;
        std::memcpy(&w, data + i, 4);
        words.push_back(w);
    }
    vh::json block = (sel & 8) ? vh::json::array({{{"label", 0x12345678}, {"words", {1, 2, 3}}},
                                                  {{"label", "Veko"}, {"words", words}}})
                               : words;
    vh::json doc = vh::json::parse(R"({
      "nodes": [
        {"name": "state", "type": "veko_state"},
        {"name": "place", "type": "veko_place2dtex"},
        {"name": "tex", "type": "veko_checker", "params": {"uvCoord": "place.outUV", "uvFilterSize": "place.outUvFilterSize"}},
        {"name": "surf", "type": "veko_lambert", "params": {"color": "tex.outColor"}},
        {"name": "sg", "type": "veko_shadingengine", "params": {"surfaceShader": "surf"}},
        {"name": "light", "type": "veko_pointlight", "params": {"useRayTraceShadows": 1}}
      ],
      "state": "state",
      "camera": {"resolution": [3, 3], "transform": {"lookAt": {"eye": [0, 2, 3], "target": [0, 0, 0]}}},
      "objects": [{"name": "ground", "mesh": {"type": "plane", "size": 4}, "material": "sg"},
                  {"name": "ball", "mesh": {"type": "sphere", "radius": 0.5, "segments": 8, "rings": 4},
                   "transform": {"translate": [0, 0.5, 0]}, "material": "sg"}],
      "lights": [{"name": "l", "shader": "light", "transform": {"translate": [0, 4, 0]}}]
    })");
    if (sel & 1) doc["objects"][0]["userData"] = block;
    if (sel & 2) doc["camera"]["userData"] = block;
    if (sel & 4) doc["options"] = {{"userData", block}};
    if (sel & 16) doc["objects"][1]["userData"] = block;
    try {
        auto scene = vh::loadSceneJson(lib, doc, "fuzz.json", ".");
        vf::renderTiny(*scene);
    } catch (const vh::Error &) {
    }
}

}  // namespace vf
