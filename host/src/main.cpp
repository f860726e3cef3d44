// vekohost: the reference host's command-line program.
//   vekohost shade network.json --node tex -o swatch.png
//   vekohost nodes
//   vekohost render scenes/showcase.json -o showcase.png --threads 2
//   vekohost render scenes/animated.json -o out.####.png --frames 1-48
//   vekohost bake scenes/bake.json --object ball -o lightmap.exr --size 256
//   vekohost render scenes/showcase.json -o part1.exr --tile 1/4
//   vekohost merge part0.exr part1.exr part2.exr part3.exr -o showcase.exr
#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>

#include "vekohost/bake.h"
#include "vekohost/frames.h"
#include "vekohost/imageio.h"
#include "vekohost/render.h"
#include "vekohost/shade.h"
#include "vekohost/tiles.h"

namespace {
// The first interrupt asks the render to stop (what is done is still
// written); a second one ends the program.
void onInterrupt(int) {
    vh::requestAbort();
    std::signal(SIGINT, SIG_DFL);
}
}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"vekohost: reference renderer for the vekobase shader library"};
    app.require_subcommand(1);
    std::string libPath;
    int verbosity = 2;
    app.add_option("--library", libPath, "shader library (default: VEKOBASE_LIBRARY or the built one)");
    app.add_option("-v,--verbosity", verbosity, "0 errors, 1 warnings, 2 info (default), 3 debug");

    auto *shade = app.add_subcommand("shade", "evaluate a node network over a uv grid and write an image");
    std::string netFile, node, field, output = "swatch.png";
    int size = 128;
    shade->add_option("network", netFile, "network file (JSON)")->required();
    shade->add_option("-n,--node", node, "node to evaluate")->required();
    shade->add_option("-f,--field", field, "result field (default: the first)");
    shade->add_option("-s,--size", size, "swatch size in pixels")->check(CLI::Range(1, 8192));
    shade->add_option("-o,--output", output, "output image (.png, .exr)");
    bool keepAlpha = false;
    shade->add_flag("--alpha", keepAlpha, "write a colour's alpha as a fourth channel (default: RGB only)");

    auto *nodes = app.add_subcommand("nodes", "list the library's nodes and their declarations");

    auto *render = app.add_subcommand("render", "ray-trace a scene file and write its images");
    std::string sceneFile;
    vh::RenderOptions ro;
    bool quiet = false;
    render->add_option("scene", sceneFile, "scene file (JSON)")->required();
    render->add_option("-o,--output", ro.outputs, "output images (.png, .exr); default: the scene's");
    render->add_option("-t,--threads", ro.threads, "render threads (default: all cores)")->check(CLI::Range(0, 1024));
    render->add_option("-s,--samples", ro.samples, "samples per pixel (default: the scene's)")->check(CLI::Range(0, 65536));
    render->add_option("--width", ro.width, "image width (default: the scene's)")->check(CLI::Range(0, 32768));
    render->add_option("--height", ro.height, "image height (default: the scene's)")->check(CLI::Range(0, 32768));
    render->add_flag("-q,--quiet", quiet, "no progress bar");
    std::string frameList;
    render->add_option("--frames,--frame", frameList,
                       "frames to render, e.g. 7, 1-48 or 1-10,20; '#' runs in output names become the frame number");
    render->add_option("--time", ro.time, "sample time within the frame (default: the scene's)");
    std::vector<int> region;
    std::string tile;
    render->add_option("--region", region, "render only pixels x0 <= x < x1, y0 <= y < y1 (rows from the top)")
        ->expected(4);
    render->add_option("--tile", tile, "render only tile i of n (i = 0 to n - 1; bands of rows), e.g. 2/4");

    auto *merge = app.add_subcommand("merge", "assemble parts of a frame (.exr from --region/--tile) into one image");
    std::vector<std::string> mergeParts;
    std::string mergeOutput;
    merge->add_option("parts", mergeParts, "the parts (.exr)")->required();
    merge->add_option("-o,--output", mergeOutput, "the whole frame (.exr, .png)")->required();

    auto *bake = app.add_subcommand("bake", "bake an object's shading into a light map or its vertex colours");
    vh::BakeOptions bo;
    int bakeSize = 256;
    bake->add_option("scene", bo.scene, "scene file (JSON)")->required();
    bake->add_option("--object", bo.request.object, "object to bake")->required();
    bake->add_option("-o,--output", bo.output, "light map (.exr, .png) or, with --vertices, an OBJ file")->required();
    bake->add_option("--size", bakeSize, "light-map width and height in pixels (default 256)")->check(CLI::Range(1, 16384));
    bake->add_option("--node", bo.request.node, "the baking node (default: the scene's first, or one with defaults)");
    bake->add_option("--post", bo.request.post, "a veko_postlightmap node run on the light map");
    bake->add_option("-t,--threads", bo.request.threads, "threads sharing the light map's tiles (default 1)")
        ->check(CLI::Range(1, 1024));
    bake->add_flag("--vertices", bo.vertices, "bake vertex colours (veko_bakevertices) and write an OBJ");

    CLI11_PARSE(app, argc, argv);
    vh::setVerbosity(verbosity);
    if (*bake) {
        bo.libraryPath = libPath;
        bo.request.width = bo.request.height = bakeSize;
        return vh::bakeCommand(bo);
    }
    if (*merge) return vh::mergeImages(mergeParts, mergeOutput);
    if (*render) {
        ro.libraryPath = libPath;
        ro.progress = !quiet;
        ro.hasTime = render->count("--time") > 0;
        if (!frameList.empty()) {
            try {
                ro.frames = vh::parseFrameList(frameList);
            } catch (const vh::Error &e) {
                std::cerr << "vekohost: " << e.what() << "\n";
                return 1;
            }
        }
        try {
            if (!region.empty()) ro.region = {region[0], region[1], region[2], region[3]};
            if (ro.region.empty() && !region.empty()) throw vh::Error("--region: x1 must exceed x0 and y1 exceed y0");
            if (!tile.empty()) vh::parseTile(tile, ro.tileIndex, ro.tileCount);
        } catch (const vh::Error &e) {
            std::cerr << "vekohost: " << e.what() << "\n";
            return 1;
        }
        std::signal(SIGINT, onInterrupt);
        return vh::renderScene(sceneFile, ro);
    }
    try {
        vh::Library lib(libPath.empty() ? vh::Library::defaultPath() : libPath);
        if (*nodes) {
            for (const auto &d : lib.decls().nodes()) {
                std::cout << d.name << " " << d.version;
                if (d.declared) std::cout << "  params " << d.params.size() << ", result " << d.resultBytes << " bytes";
                std::cout << "\n";
            }
            return 0;
        }
        if (*shade) {
            vh::Network net(lib);
            net.load(vh::loadJsonFile(netFile), netFile);
            int channels = 0;
            auto px = vh::shadeSwatch(net, node, field, size, size, channels);
            if (channels == 4 && !keepAlpha) {
                // Colour swatches show the colour; alpha is a separate field
                // of most textures (e.g. outAlpha) and can be shaded on its own.
                for (size_t i = 0; i < size_t(size) * size; ++i)
                    for (int c = 0; c < 3; ++c) px[i * 3 + c] = px[i * 4 + c];
                channels = 3;
            }
            vh::writeImage(output, size, size, channels, px.data());
            std::cerr << "wrote " << output << "\n";
        }
    } catch (const vh::Error &e) {
        std::cerr << "vekohost: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
