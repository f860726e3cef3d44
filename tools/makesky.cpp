// Renders the library's procedural sky into a latitude-longitude image, the
// environment image of the image-based light's example scene. Pixel (x, y)
// (y from the bottom) looks along the direction of the light's spherical
// mapping at u = (x + 0.5) / w, v = (y + 0.5) / h:
// (sin(2 pi u) cos t, sin t, cos(2 pi u) cos t) with t = pi (v - 0.5).
//
//   veko_makesky <output.exr> [width height]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <vekohost/host.h>
#include <vekohost/imageio.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: veko_makesky <output.exr> [width height]\n");
        return 2;
    }
    const int w = argc > 3 ? std::atoi(argv[2]) : 256, h = argc > 3 ? std::atoi(argv[3]) : 128;
    try {
        vh::Library lib(vh::Library::defaultPath());
        vh::Network net(lib);
        net.load({{"nodes",
                   {{{"name", "sky"},
                     {"type", "veko_envsky"},
                     {"params", {{"sunElevation", 0.6}, {"sunAzimuth", 0.9}, {"sunSize", 3}, {"sunBlur", 6},
                                 {"totalBrightness", 1.0}, {"hasFloor", true},
                                 {"floorColor", {0.35, 0.3, 0.25, 1}}, {"floorAltitude", -1}}}}}}},
                 "sky");
        vh::StandaloneState ss;
        xrState *st = ss.state();
        net.init(st);
        vh::Instance &sky = *net.find("sky");
        std::vector<float> px(size_t(w) * h * 3);
        const double pi = 3.14159265358979323846;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const double u = (x + 0.5) / w, v = (y + 0.5) / h;
                const double phi = 2 * pi * u, t = pi * (v - 0.5);
                // Looked up as an environment ray from the origin.
                st->rayKind = 6;
                st->hitPoint = st->rayOrigin = {0, 0, 0};
                st->rayDirection = {float(std::sin(phi) * std::cos(t)), float(std::sin(t)),
                                    float(std::cos(phi) * std::cos(t))};
                st->shadingNormal = st->geometricNormal = {0, 0, 0};
                st->cosView = 0;
                ss.nextSample();
                float out[16] = {};
                vh::callShader(sky, st, out);
                float *p = &px[(size_t(h - 1 - y) * w + x) * 3];
                for (int c = 0; c < 3; ++c) p[c] = out[c];
            }
        net.exit(st);
        vh::writeImage(argv[1], w, h, 3, px.data());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "veko_makesky: %s\n", e.what());
        return 1;
    }
    return 0;
}
