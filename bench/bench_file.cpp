// veko_file's mip-mapped lookup (level choice, two bilinear samples and
// their blend, through the host's image operations) per call, against
// OpenImageIO's TextureSystem::texture() with trilinear mip-mapping on the
// same image: the same uv and filter widths, one thread.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <random>
#include <unistd.h>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/texture.h>

#include "vekobase.h"
#include "vekohost/host.h"
#include "vekohost/textures.h"

namespace {

constexpr int kSize = 1024;
constexpr int kLookups = 4096;

struct Lookup {
    float u, v, w;  // uv and filter width in uv
};

// A 1024 x 1024 RGBA image of smooth noise written as a tiled, mip-mapped
// texture file (the layout the TextureSystem reads fastest), the lookups,
// and both sides set up on it.
struct Fixture {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("vekobench_" + std::to_string(getpid()) + ".tx");
    std::vector<Lookup> lookups;
    vh::Library lib{vh::Library::defaultPath()};
    vh::Network net{lib};
    vh::StandaloneState st;
    std::shared_ptr<vh::TextureImage> image;
    vh::Instance *file = nullptr;
    xrVector uv[4]{};
    veko::BaseStateRecord record{};

    Fixture() {
        OIIO::ImageBuf src(OIIO::ImageSpec(kSize, kSize, 4, OIIO::TypeDesc::FLOAT));
        OIIO::ImageBufAlgo::noise(src, "uniform", 0.0f, 1.0f, true, 7);
        OIIO::ImageBuf blurred = OIIO::ImageBufAlgo::resize(
            OIIO::ImageBufAlgo::resize(src, "box", 0, OIIO::ROI(0, kSize / 8, 0, kSize / 8, 0, 1, 0, 4)), "cubic", 0,
            OIIO::ROI(0, kSize, 0, kSize, 0, 1, 0, 4));
        OIIO::ImageSpec config;
        config.attribute("maketx:filtername", "box");
        config.tile_width = config.tile_height = 64;
        if (!OIIO::ImageBufAlgo::make_texture(OIIO::ImageBufAlgo::MakeTxTexture, blurred, path.string(), config))
            throw std::runtime_error("cannot write the benchmark texture: " + OIIO::geterror());

        std::mt19937 rng(12345);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        for (int i = 0; i < kLookups; ++i) {
            // Widths from under a texel (level 0) to a quarter of the image.
            const float w = std::exp2(-11.0f + 9.0f * unit(rng));
            lookups.push_back({unit(rng), unit(rng), w});
        }

        image = vh::openTextureImage(path.string());
        file = &net.add("file", "veko_file");
        file->setLiteral("fileTextureName", image->tag());
        file->setLiteral("filterType", 1);
        net.init(st.state());
        st.state()->texCoords = uv;
        xr_shaderstate_set(st.state(), "vekobase", &record, sizeof record, 2);
    }
    ~Fixture() {
        net.exit(st.state());
        std::filesystem::remove(path);
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

// veko_file with filter 1: the width is 2 sqrt(fu fv) of the record's
// footprint, so a footprint of w / 2 on both axes gives width w.
void BM_VekoFileMipmap(benchmark::State &bs) {
    Fixture &f = fixture();
    xrState *s = f.st.state();
    auto *rec = veko::lookupStateRecord(s);  // host side: the library's binding table is not linked here
    float out[16];
    size_t i = 0;
    for (auto _ : bs) {
        const Lookup &l = f.lookups[i++ & (kLookups - 1)];
        f.uv[0] = {l.u, l.v, 0};
        rec->footprintU = {l.w * 0.5f, l.w * 0.5f, 0};
        vh::callShader(*f.file, s, out);
        benchmark::DoNotOptimize(out);
    }
    bs.SetItemsProcessed(bs.iterations());
}
BENCHMARK(BM_VekoFileMipmap);

void BM_TextureSystemTrilinear(benchmark::State &bs) {
    Fixture &f = fixture();
    OIIO::TextureSystem *ts = OIIO::TextureSystem::create(false);
    OIIO::TextureSystem::TextureHandle *h = ts->get_texture_handle(OIIO::ustring(f.path.string()));
    OIIO::TextureSystem::Perthread *pt = ts->get_perthread_info();
    OIIO::TextureOpt opt;
    opt.mipmode = OIIO::TextureOpt::MipModeTrilinear;
    opt.interpmode = OIIO::TextureOpt::InterpBilinear;
    opt.swrap = opt.twrap = OIIO::TextureOpt::WrapPeriodic;
    float out[4];
    size_t i = 0;
    for (auto _ : bs) {
        const Lookup &l = f.lookups[i++ & (kLookups - 1)];
        ts->texture(h, pt, opt, l.u, 1.0f - l.v, l.w, 0.0f, 0.0f, -l.w, 4, out);
        benchmark::DoNotOptimize(out);
    }
    bs.SetItemsProcessed(bs.iterations());
    OIIO::TextureSystem::destroy(ts);
}
BENCHMARK(BM_TextureSystemTrilinear);

}  // namespace

BENCHMARK_MAIN();
