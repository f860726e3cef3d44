// Baking an object's shading: into a light map over its uv layout (a
// veko_bakelightmap node, optionally followed by a veko_postlightmap node),
// or into its vertex colours (a veko_bakevertices node). The bake command:
//   vekohost bake scene.json --object NAME -o lightmap.exr [--size 256]
//   vekohost bake scene.json --object NAME --vertices -o baked.obj
#pragma once

#include <string>
#include <vector>

#include "vekohost/render.h"

namespace vh {

struct BakeRequest {
    std::string object;      // the object instance to bake
    std::string node;        // the baking node; empty: the scene's first of its type (or one with defaults)
    std::string post;        // light maps: a veko_postlightmap node run on the result; empty: none
    int width = 256, height = 256;  // light-map size
    int threads = 1;         // light maps: the mesh call's tiles are shared by this many threads
};

// A baked light map: RGBA floats, row by row from the lower left (as a
// texture image), with the host's tag (1: baked, ring number + 1: grown by
// the post-process, 0: empty) and coverage (the alpha written) per pixel.
struct BakedMap {
    int width = 0, height = 0;
    std::vector<float> rgba;
    std::vector<float> tags, coverage;
    size_t gatherPoints = 0;  // final-gather points the bake's prebake stored
};

BakedMap bakeLightmap(Scene &scene, const BakeRequest &req);
// Baked vertex colours, one per mesh vertex (alpha 0: not baked).
std::vector<xrColor> bakeVertices(Scene &scene, const BakeRequest &req);
// Writes the object's mesh in object space with the colours as OBJ vertex
// colours ("v x y z r g b"), its first uv set and its triangles.
void writeColoredObj(const Scene &scene, const std::string &object, const std::vector<xrColor> &colors,
                     const std::string &path);

struct BakeOptions {
    std::string scene, output, libraryPath;
    bool vertices = false;
    BakeRequest request;
};
// The bake subcommand; returns a process exit code, errors as messages.
int bakeCommand(const BakeOptions &opts);

}  // namespace vh
