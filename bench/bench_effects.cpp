// Output effects: the glow pass (glow and halo on the effects scene's glow
// buffer) against the time to render that frame at 640 x 400 (samples, lens
// shader rays and the glow pass together), side by side in one run.
#include <benchmark/benchmark.h>

#include "vekohost/render.h"

namespace {

struct Fixture {
    vh::Library lib{vh::Library::defaultPath()};
    vh::ScenePtr scene;
    vh::FrameImage frame;
    Fixture() {
        vh::captureMessages(true);
        scene = vh::loadScene(lib, VEKO_SOURCE_DIR "/scenes/effects.json");
        vh::RenderOptions o;
        o.progress = false;
        frame = vh::render(*scene, o);  // the frame the glow pass reads
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

void BM_EffectsFrame640x400(benchmark::State &state) {
    Fixture &f = fixture();
    vh::RenderOptions o;
    o.progress = false;
    o.threads = int(state.range(0));
    for (auto _ : state) {
        vh::FrameImage img = vh::render(*f.scene, o);
        benchmark::DoNotOptimize(img.rgba.data());
        vh::takeMessages();
    }
}
BENCHMARK(BM_EffectsFrame640x400)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_GlowPass640x400(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        vh::FrameImage img = f.frame;
        vh::runOutputShaders(*f.scene, img);
        benchmark::DoNotOptimize(img.rgba.data());
        vh::takeMessages();
    }
}
BENCHMARK(BM_GlowPass640x400)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
