// The render loop: a session with per-thread state stacks, eye samples
// bracketed by the state shader, tiles shared by all threads, a pixel
// filter, a progress bar, and the queries that need the scene.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "particles.h"
#include "render_internal.h"
#include "vekohost/tiles.h"

namespace vh {

bool lightRecordQuery(int code, xrTag tag, void *result);  // scene.cpp

void eyeRay(const Scene &scene, float x, float y, xrVector &org, xrVector &dir) {
    const xrCamera &k = scene.camera;
    const float w = float(k.imageWidth), h = float(k.imageHeight);
    const float nx = 2 * x / w - 1, ny = 2 * y / h - 1;
    xrVector o{0, 0, 0}, d;
    if (k.isOrthographic) {
        const float hw = 0.5f * k.apertureWidth, hh = hw * h / w;
        o = {nx * hw, ny * hh, 0};
        d = {0, 0, -1};
    } else {
        const float p0 = 2 * k.focalLength / k.apertureWidth, p5 = p0 * w / h;
        d = {nx / p0, ny / p5, -1};
    }
    org = scene.camToWorld.point(o);
    dir = normalize(scene.camToWorld.vector(d));
}

float Renderer::Impl::sampleTime(uint32_t pixel, int sampleIndex) const {
    const xrOptions &o = scene->options;
    if (!o.motionBlurOn) return scene->settings.time;
    // Over the shutter: a base-3 radical inverse (independent of the base-2
    // pixel offsets) rotated per pixel, so a pixel's samples cover the
    // interval evenly and neighbouring pixels do not repeat one pattern.
    float u = radicalInverse(3, uint32_t(sampleIndex)) + float(hashU32(pixel ^ 0x2545F491u)) * 0x1.0p-32f;
    u -= std::floor(u);
    return o.shutterOpen + (o.shutterClose - o.shutterOpen) * u;
}

Renderer::Renderer(Scene &scene, int threads) : scene_(scene), impl_(std::make_unique<Impl>()) {
    if (scene.active) throw Error(scene.where + ": the scene is already being rendered");
    impl_->scene = &scene;
    {
        // The same mapping as eyeRay(), folded into two multiply-adds.
        const xrCamera &k = scene.camera;
        const float w = float(k.imageWidth), h = float(k.imageHeight);
        float ex, ey;
        if (k.isOrthographic) {
            ex = 0.5f * k.apertureWidth;
            ey = ex * h / w;
        } else {
            const float p0 = 2 * k.focalLength / k.apertureWidth, p5 = p0 * w / h;
            ex = 1 / p0;
            ey = 1 / p5;
        }
        impl_->eyeOrtho = k.isOrthographic != 0;
        impl_->eyeSx = 2 * ex / w;
        impl_->eyeSy = 2 * ey / h;
        impl_->eyeOx = -ex;
        impl_->eyeOy = -ey;
        impl_->eyeOrigin = scene.camToWorld.point({0, 0, 0});
        impl_->eyeAxis = scene.camToWorld.vector({0, 0, -1});
    }
    threads = std::max(threads, 1);
    for (int i = 0; i < threads; ++i) {
        auto td = std::make_unique<ThreadData>();
        td->index = i;
        td->tc = createThreadContext(uint16_t(i));
        td->impl = impl_.get();
        impl_->acquire(*td);  // the eye slot
        td->top = 0;
        impl_->threads.push_back(std::move(td));
    }
    // The render window is the whole image.
    scene.camera.windowXmin = scene.camera.windowYmin = 0;
    scene.camera.windowXmax = scene.camera.imageWidth - 1;
    scene.camera.windowYmax = scene.camera.imageHeight - 1;
    // The camera element reflects settings changed since the scene was loaded.
    if (scene.cameraItemTag)
        if (void *item = Database::get().data(scene.cameraItemTag)) std::memcpy(item, &scene.camera, sizeof scene.camera);
    if (!scene.initialized) {
        // A light's shader initialises in the light's space (area lights
        // record their corners there); other instances see no light. A
        // shader reading an object's particle block initialises with that
        // object as its instance (its space and motion).
        scene.net->prepareInstance = [&scene](Instance &inst, xrState *st) {
            auto *ctx = static_cast<RayContext *>(st->hostContext);
            const LightInst *light = nullptr;
            for (auto &l : scene.lights)
                if (l->shader == &inst) light = l.get();
            st->lightInstanceTag = light ? light->tag : 0;
            const ObjectInst *particles = particleObjectOf(scene, inst);
            st->instanceTag = particles ? particles->tag : 0;
            if (ctx) {
                ctx->lightToWorld = light ? light->toWorld.m : nullptr;
                ctx->worldToLight = light ? light->fromWorld.m : nullptr;
                ctx->objectToWorld = particles ? particles->toWorld.m : nullptr;
                ctx->worldToObject = particles ? particles->fromWorld.m : nullptr;
            }
        };
        scene.net->init(&impl_->threads[0]->stack[0]->st);
        RaySlot &first = *impl_->threads[0]->stack[0];
        first.st.instanceTag = first.st.lightInstanceTag = 0;
        if (auto *ctx = static_cast<RayContext *>(first.st.hostContext))
            ctx->objectToWorld = ctx->worldToObject = ctx->lightToWorld = ctx->worldToLight = nullptr;
        scene.initialized = true;
    }
    impl_->eyeVolumes = cameraVolumes(scene);
    // Each thread's eye state owns a record for the whole session.
    for (auto &td : impl_->threads) impl_->stateOp(*td->stack[0], kOpCreate, 0, nullptr);
    scene.active = this;
}

Renderer::~Renderer() {
    for (auto &td : impl_->threads) {
        for (auto &s : td->stack)
            if (s->ownRecord) {
                s->ctx.recordOwner = nullptr;
                impl_->stateOp(*s, kOpRemove, 0, nullptr);
            }
        destroyThreadContext(td->tc);
    }
    scene_.active = nullptr;
}

int Renderer::threads() const { return int(impl_->threads.size()); }

xrState *Renderer::eyeState(int thread) { return &impl_->threads.at(size_t(thread))->stack[0]->st; }

Renderer::Sample Renderer::shadeSample(int thread, float x, float y, uint32_t pixelIndex, int sampleIndex, bool shade) {
    ThreadData &td = *impl_->threads.at(size_t(thread));
    Scene &sc = scene_;
    td.top = 1;
    RaySlot &e = *td.stack[0];
    xrState &st = e.st;
    st.rayKind = kRayEye;
    st.modeFlag = 1;
    st.normalFlipped = 0;
    st.reflectDepth = st.refractDepth = 0;
    st.samplePosX = x;
    st.samplePosY = y;
    st.spawningState = nullptr;
    st.childState = nullptr;
    st.shaderRecord = nullptr;
    st.sampleTime = impl_->sampleTime(pixelIndex, sampleIndex);
    st.currentIor = 1;
    st.environmentShader = sc.camera.cameraEnvShader;
    st.volumeShader = sc.camera.cameraVolumeShader;
    st.objectLabel = 0;
    st.instanceTag = 0;
    st.lightInstanceTag = 0;
    st.hitRef = nullptr;
    st.hitDistance = 0;
    st.lightSampleIndex = 0;
    // Shaders before the hit (state, lens) see no texture coordinates; the
    // hit or miss sets them for the rest.
    if (shade) clearSpaces(e.uv);
    st.texCoords = e.uv.data();
    st.derivU = e.du.data();
    st.derivV = e.dv.data();
    e.ctx.recordOwner = nullptr;
    e.ctx.objectToWorld = e.ctx.worldToObject = nullptr;
    e.ctx.lightToWorld = e.ctx.worldToLight = nullptr;
    RayData &rd = e.rd;
    rd.obj = nullptr;
    rd.light = nullptr;
    rd.hasOpacity = false;
    rd.pixel = pixelIndex;
    rd.sampleIndex = uint32_t(sampleIndex);
    rd.sequence = 0;
    rd.lightSequence = 0;
    rd.passing = rd.passed = false;
    rd.vol = impl_->eyeVolumes;
    td.fbMask = 0;
    xrVector org, dir;
    impl_->eyeRay(x, y, org, dir);
    st.rayOrigin = org;
    st.rayDirection = dir;
    newSample(&st);

    Sample out;
    xrColor col{0, 0, 0, 0};
    if (shade) impl_->stateOp(e, kOpNewRay, 0, &col);
    // Clip planes along the camera's viewing axis.
    const float dz = -sc.worldToCam.vector(dir).z;
    float tnear = 0, tfar = std::numeric_limits<float>::infinity();
    if (dz > 1e-8f) {
        tnear = sc.camera.nearClip / dz;
        tfar = sc.camera.farClip / dz;
    }
    RTCRayHit h;
    const bool lens = shade && !sc.lensShaders.empty();
    const bool hit = !lens && intersect(sc, org, dir, tnear, tfar, h, rayTime(sc, st.sampleTime));
    float tl = 0;
    const LightInst *vl =
        lens || !sc.shapesVisible() ? nullptr : nearestVisibleLight(sc, org, dir, tnear, hit ? h.ray.tfar : tfar, &tl);
    if (lens) {
        // The lens chain makes and traces the eye rays (lens.cpp).
        rd.lens = 0;
        rd.eyeHit = false;
        traceEyeRay(e, &col);
        setMiss(e);
        out.hit = rd.eyeHit;
        st.hitDistance = rd.eyeHitDistance;
        st.instanceTag = rd.eyeHitInstance;
        st.objectLabel = rd.eyeHitLabel;
    } else if (vl) {
        setMiss(e);
        out.hit = true;
        if (shade) shadeVisibleLight(e, *vl, tl, &col);
    } else if (hit) {
        out.hit = true;
        if (shade) {
            fillHit(e, sc, h);
            shadeHit(&col, &st);
        } else {
            // No shader reads the hit: only what the sample reports.
            const ObjectInst &o = *sc.objects[h.hit.geomID];
            st.hitDistance = h.ray.tfar;
            st.instanceTag = o.tag;
            st.objectLabel = o.label;
        }
    } else if (shade) {
        // (Unshaded, a miss leaves the distance, instance and label zero.)
        setMiss(e);
        xrTag env = st.environmentShader;
        Instance *inst = env ? instanceOfTag(env) : nullptr;
        if (inst) callEnvironmentShader(*inst, &st, &col);
    }
    if (shade && !lens && rayMeetsVolumes(e)) applyRayVolumes(e, &col, out.hit);
    if (shade) impl_->stateOp(e, kOpSampleDone, 1, &col);
    // Under lens shaders the first eye ray that sees something stores it (lens.cpp).
    if (shade && !lens && sampleIndex == 0 && !impl_->contours.stored.empty())
        storeContourSample(e, pixelIndex, col, out.hit);
    out.color = col;
    out.depth = st.hitDistance;
    out.label = st.objectLabel;
    if (rd.passed) {
        // The eye ray passed invisible volume boundaries: depth, coverage
        // and label are those of what it reached behind them.
        out.hit = rd.passedHit;
        out.depth = rd.passedDistance;
        out.label = rd.passedLabel;
    }
    out.fbMask = td.fbMask;
    if (td.fbMask)
        for (int k = 0; k < 8; ++k)
            if (td.fbMask & (1u << k)) out.fb[k] = td.fb[k];
    td.top = 0;
    return out;
}

namespace {

// The extra frame buffers (xr_fb_put) of one pixel's samples. Few scenes
// write them: the sums live in memory and are added out of line, so that the
// sample loop does not carry them.
struct FrameBufferSums {
    float sum[8][4];
    float w[8];
    void clear() { std::memset(this, 0, sizeof *this); }
    __attribute__((noinline)) void add(const Renderer::Sample &s, float wt) {
        for (int k = 0; k < 8; ++k)
            if (s.fbMask & (1u << k)) {
                sum[k][0] += wt * s.fb[k].r;
                sum[k][1] += wt * s.fb[k].g;
                sum[k][2] += wt * s.fb[k].b;
                sum[k][3] += wt * s.fb[k].a;
                w[k] += wt;
            }
    }
};

void progressBar(int done, int total, double seconds) {
    const int width = 40;
    const int filled = total ? done * width / total : width;
    char bar[width + 1];
    for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
    bar[width] = 0;
    std::fprintf(stderr, "\rrender [%s] %5.1f%% %6.1fs", bar, total ? 100.0 * done / total : 100.0, seconds);
    std::fflush(stderr);
}

}  // namespace

FrameImage render(Scene &scene, const RenderOptions &opts) {
    SceneSettings &set = scene.settings;
    if (opts.width > 0) set.width = opts.width;
    if (opts.height > 0) set.height = opts.height;
    if (opts.samples > 0) set.samples = opts.samples;
    if (opts.hasTime) set.time = opts.time;
    if (scene.initialized && (scene.camera.imageWidth != set.width || scene.camera.imageHeight != set.height))
        throw Error(scene.where + ": the resolution cannot change after the first render");
    scene.camera.imageWidth = set.width;
    scene.camera.imageHeight = set.height;
    int threads = opts.threads > 0 ? opts.threads : int(std::max(1u, std::thread::hardware_concurrency()));
    const int W = set.width, H = set.height, N = std::max(set.samples, 1);
    RenderOptions::Region reg = opts.region;
    if (opts.tileCount > 0) {
        if (!reg.empty()) throw Error(scene.where + ": give a region or a tile, not both");
        reg = tileRegion(opts.tileIndex, opts.tileCount, W, H);
    }
    if (reg.empty()) reg = {0, 0, W, H};
    if (reg.x0 < 0 || reg.y0 < 0 || reg.x1 > W || reg.y1 > H)
        throw Error(scene.where + ": region " + std::to_string(reg.x0) + " " + std::to_string(reg.y0) + " " +
                    std::to_string(reg.x1) + " " + std::to_string(reg.y1) + " is not inside the " + std::to_string(W) +
                    "x" + std::to_string(H) + " frame");
    // Output shaders (glow, contours) read the whole frame, so a part of a
    // frame that has them renders all of it and keeps its region: its
    // pixels are those of a whole render.
    RenderOptions::Region keep;
    if ((!scene.outputShaders.empty() || scene.contourStore) && (reg.x0 > 0 || reg.y0 > 0 || reg.x1 < W || reg.y1 < H)) {
        hostMessage(Severity::Warning, scene.where +
                                           ": the output shaders (glow, contours) need the whole frame: this part "
                                           "renders all of it and keeps its region");
        keep = reg;
        reg = {0, 0, W, H};
    }
    const int RW = reg.x1 - reg.x0, RH = reg.y1 - reg.y0;
    const int ts = std::max(opts.tileSize, 1);
    const int tilesX = (RW + ts - 1) / ts, tilesY = (RH + ts - 1) / ts, tiles = tilesX * tilesY;
    threads = std::min(threads, std::max(tiles, 1));

    clearAbort();
    Renderer r(scene, threads);
    if (scene.contourStore) r.impl()->contours.reset(W, H);
    FrameImage img;
    img.width = RW;
    img.height = RH;
    img.originX = reg.x0;
    img.originY = reg.y0;
    img.fullWidth = W;
    img.fullHeight = H;
    img.rgba.assign(size_t(RW) * RH * 4, 0.0f);
    img.depth.assign(size_t(RW) * RH, 0.0f);
    img.label.assign(size_t(RW) * RH, 0);
    img.coverage.assign(size_t(RW) * RH, 0.0f);
    std::once_flag fbOnce[8];
    auto fbBuffer = [&](int k) -> std::vector<float> & {
        std::call_once(fbOnce[k], [&] { img.fb[size_t(k)].assign(size_t(RW) * RH * 4, 0.0f); });
        return img.fb[size_t(k)];
    };
    // Pixel sample offsets are the same for every pixel's index set but
    // scrambled per pixel; a single sample goes through the pixel centre.
    const float fw = scene.filterWidth;
    // The unscrambled bits of the pixel sample points, the same for all pixels.
    std::vector<uint32_t> pointBits(size_t(N) * 2);
    for (int j = 0; j < N; ++j) sobolBits(uint32_t(j), &pointBits[size_t(j) * 2]);
    const bool boxFilter = scene.filter == FilterType::Box;

    std::atomic<int> next{0}, done{0};
    std::mutex errMutex;
    std::string error;
    std::atomic<bool> failed{false};
    auto worker = [&](int t) {
        FrameBufferSums fbs;
        try {
            for (;;) {
                const int tile = next.fetch_add(1);
                if (tile >= tiles || failed || abortRequested()) break;
                const int x0 = reg.x0 + (tile % tilesX) * ts, y0 = reg.y0 + (tile / tilesX) * ts;
                const int x1 = std::min(x0 + ts, reg.x1), y1 = std::min(y0 + ts, reg.y1);
                for (int py = y0; py < y1; ++py)
                    for (int px = x0; px < x1; ++px) {
                        // Samples depend on the pixel's place in the whole
                        // frame only, so a region has the same pixels.
                        const uint32_t pix = uint32_t(py) * uint32_t(W) + uint32_t(px);
                        const size_t at = size_t(py - reg.y0) * size_t(RW) + size_t(px - reg.x0);
                        uint32_t scramble[2];
                        sobolScrambles(hashU32(pix * 0x9E3779B1u + 0x68bc21ebu), scramble);
                        const float cx = px + 0.5f, cy = float(H - 1 - py) + 0.5f;  // raster y up
                        float sum[4] = {0, 0, 0, 0}, wsum = 0;
                        bool fbUsed = false;
                        double depth = 0;
                        uint32_t label = 0;
                        float bestW = -1;
                        float hitW = 0;
                        for (int j = 0; j < N; ++j) {
                            float dx = 0, dy = 0;
                            float w = 1.0f;
                            if (N > 1) {
                                // Point j of the pixel's scrambled (0,2)-sequence (sobol2).
                                dx = (unitFromBits(pointBits[size_t(j) * 2] ^ scramble[0]) - 0.5f) * fw;
                                dy = (unitFromBits(pointBits[size_t(j) * 2 + 1] ^ scramble[1]) - 0.5f) * fw;
                                // A box filter weighs every point of its width alike.
                                w = boxFilter && fw > 0 ? 1.0f : filterWeight(scene.filter, fw, dx, dy);
                            }
                            Renderer::Sample s = r.shadeSample(t, cx + dx, cy + dy, pix, j);
                            const xrColor &c = s.color;
                            sum[0] += w * c.r;
                            sum[1] += w * c.g;
                            sum[2] += w * c.b;
                            sum[3] += w * c.a;
                            wsum += w;
                            if (s.hit) hitW += w;
                            if (s.depth > 0 && (depth == 0 || s.depth < depth)) depth = s.depth;
                            if (w > bestW) {
                                bestW = w;
                                label = s.label;
                            }
                            if (s.fbMask) {
                                if (!fbUsed) fbs.clear();
                                fbUsed = true;
                                fbs.add(s, w);
                            }
                        }
                        const float inv = wsum > 0 ? 1.0f / wsum : 0.0f;
                        float *out = &img.rgba[at * 4];
                        for (int k = 0; k < 4; ++k) out[k] = sum[k] * inv;
                        img.depth[at] = float(depth);
                        img.label[at] = label;
                        img.coverage[at] = hitW * inv;
                        for (int k = 0; fbUsed && k < 8; ++k)
                            if (fbs.w[k] > 0) {
                                float *f = &fbBuffer(k)[at * 4];
                                for (int c = 0; c < 4; ++c) f[c] = fbs.sum[k][c] * inv;
                            }
                    }
                done.fetch_add(1);
            }
        } catch (const std::exception &e) {
            std::lock_guard<std::mutex> lock(errMutex);
            if (error.empty()) error = e.what();
            failed = true;
        }
    };

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(worker, t);
    const bool bar = opts.progress && isatty(2);
    if (bar && threads > 1) {
        // Thread 0 renders too; the bar is drawn by a helper thread.
        std::atomic<bool> stop{false};
        std::thread progress([&] {
            while (!stop) {
                progressBar(done.load(), tiles,
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        worker(0);
        for (auto &th : pool) th.join();
        stop = true;
        progress.join();
    } else {
        worker(0);
        for (auto &th : pool) th.join();
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (bar) {
        progressBar(tiles, tiles, secs);
        std::fputc('\n', stderr);
    }
    if (failed) throw Error(scene.where + ": rendering failed: " + error);
    if (opts.progress) {
        char line[160];
        std::snprintf(line, sizeof line, "rendered %dx%d, %d samples per pixel, %d threads, %.2f s", RW, RH, N, threads,
                      secs);
        hostMessage(Severity::Info, line);
    }
    if (abortRequested()) hostMessage(Severity::Warning, scene.where + ": render aborted; the image is incomplete");
    buildContourLines(r);
    runOutputPass(r, img);
    return keep.empty() ? img : cropFrame(img, keep);
}

int renderScene(const std::string &scenePath, const RenderOptions &opts) {
    try {
        Library lib(opts.libraryPath.empty() ? Library::defaultPath() : opts.libraryPath);
        renderFrames(lib, scenePath, opts);
        return 0;
    } catch (const std::exception &e) {
        hostMessage(Severity::Error, e.what());
        return 1;
    }
}

// The codes of xr_query that need the scene (xr_query answers the frequent
// ones itself in their common case, and comes here for the rest).
bool renderQuery(int code, xrState *state, xrTag tag, void *result) {
    if (!result) return false;
    RayData *rd = rayDataOf(state);
    switch (code) {
        case 82: {  // number of texture spaces of the object hit (a strand: its colour)
            if (!rd) return false;
            *static_cast<int32_t *>(result) = hitTextureSpaces(*rd);
            return true;
        }
        case 142:  // reduced-quality sampling: inside a final-gather ray
            *static_cast<int32_t *>(result) = withinGatherRay(state);
            return true;
        case 4:    // world to local matrix of an instance (16 floats)
        case 5: {  // local to world
            if (rd) {
                const Scene &sc = *rd->scene;
                const Mat4 *to = nullptr, *from = nullptr;
                if (const LightInst *l = sc.lightOf(tag); l && l->tag == tag) to = &l->toWorld, from = &l->fromWorld;
                else if (const ObjectInst *o = sc.objectOf(tag)) to = &o->toWorld, from = &o->fromWorld;
                else if (tag == sc.cameraTag) to = &sc.camToWorld, from = &sc.worldToCam;
                if (to) {
                    std::memcpy(result, code == 4 ? from->m : to->m, 16 * sizeof(float));
                    return true;
                }
            }
            int type = 0;
            auto *rec = static_cast<InstanceRecord *>(Database::get().access(tag, &type));
            if (!rec) return false;
            bool ok = type == xrDB_INSTANCE;
            if (ok) std::memcpy(result, code == 4 ? rec->fromWorld : rec->toWorld, 16 * sizeof(float));
            Database::get().unpin(tag);
            return ok;
        }
        case 7: {  // the light of a light instance, the camera of a camera instance
            if (rd)
                if (const LightInst *l = rd->scene->lightOf(tag)) {
                    *static_cast<xrTag *>(result) = l->lightTag;
                    return true;
                }
            // Other instances name their element in the record (word 53).
            int type = 0;
            auto *rec = static_cast<InstanceRecord *>(Database::get().access(tag, &type));
            if (!rec) return false;
            const xrTag item = type == xrDB_INSTANCE ? rec->objectTag : 0;
            Database::get().unpin(tag);
            if (!item) return false;
            *static_cast<xrTag *>(result) = item;
            return true;
        }
        case 24:
        case 33:
        case 34:
        case 35: {
            // During a render the scene answers without the database lock.
            const LightInst *l = rd ? rd->scene->lightOf(tag) : nullptr;
            if (!l || l->lightTag != tag) return lightRecordQuery(code, tag, result);
            switch (code) {
                case 24: *static_cast<int32_t *>(result) = l->shape; return true;
                case 33: if (l->shape != kShapeRectangle) return false; *static_cast<xrVector *>(result) = l->edge1; return true;
                case 34: if (l->shape != kShapeRectangle) return false; *static_cast<xrVector *>(result) = l->edge2; return true;
                default: if (l->shape != kShapeDisc) return false; *static_cast<xrVector *>(result) = l->discNormal; return true;
            }
        }
        case 137: {  // number of surface-derivative sets (82, texture spaces, is answered above)
            if (!rd) return false;
            // A strand has no surface derivatives (query 138 tells of its own).
            const ObjectInst *o = rd->obj;
            *static_cast<int32_t *>(result) = !o || o->hair ? 0 : int32_t(o->world.uv.size());
            return true;
        }
        case 118: {  // object-space bounding box of an instance: min, max
            if (!rd) return false;
            const Scene &sc = *rd->scene;
            const ObjectInst *o = tag ? sc.objectOf(tag) : rd->obj;
            if (!o && !tag) {
                // No object at hand (a shader's _init): the scene's world box.
                const float box[6] = {sc.boundsMin.x, sc.boundsMin.y, sc.boundsMin.z,
                                      sc.boundsMax.x, sc.boundsMax.y, sc.boundsMax.z};
                std::memcpy(result, box, sizeof box);
                return true;
            }
            if (!o) return false;
            std::memcpy(result, o->bbox, sizeof o->bbox);
            return true;
        }
        case 141: {  // object id of the object hit (its instance tag)
            if (!rd || !rd->obj) return false;
            *static_cast<int32_t *>(result) = int32_t(rd->obj->tag);
            return true;
        }
        case 154: {  // first user-data element of the instance hit
            if (!rd || !rd->obj) return false;
            *static_cast<xrTag *>(result) = rd->obj->dataTag;
            return true;
        }
        case 159: {  // host id of the hit: its triangle
            if (!rd || !rd->obj) return false;
            *static_cast<int32_t *>(result) = int32_t(rd->prim);
            return true;
        }
        case 138:  // hair derivatives present (hairData): on a strand
            *static_cast<int32_t *>(result) = rd && rd->obj && rd->obj->hair ? 1 : 0;
            return true;
        case 94:     // internal-space bounding box of an instance (0: the one hit): minimum
        case 95:     // maximum
        case 116:    // its tessellated surface (xrSurfaceView); false for strands
        case 117: {  // the texture coordinates of that surface (xrSurfaceUv)
            if (!rd) return false;
            const ObjectInst *o = tag ? rd->scene->objectOf(tag) : rd->obj;
            if (!o || o->hair || o->world.tri.empty()) return false;
            const Mesh &m = o->world;
            if (code == 117) {
                auto *v = static_cast<xrSurfaceUv *>(result);
                if (v->space < 0 || size_t(v->space) >= m.uv.size() || m.uv[size_t(v->space)].size() != m.P.size())
                    return false;
                v->coords = m.uv[size_t(v->space)].data();
                v->count = xrInteger(m.P.size());
                return true;
            }
            if (code == 116) {
                auto *v = static_cast<xrSurfaceView *>(result);
                v->positions = m.P.data();
                v->normals = m.N.size() == m.P.size() ? m.N.data() : nullptr;
                v->triangles = m.tri.data();
                v->vertexCount = xrInteger(m.P.size());
                v->triangleCount = xrInteger(m.tri.size() / 3);
                return true;
            }
            xrVector lo = m.P[0], hi = m.P[0];
            for (const xrVector &p : m.P) {
                lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
                hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
            }
            *static_cast<xrVector *>(result) = code == 94 ? lo : hi;
            return true;
        }
        default:
            return false;
    }
}

}  // namespace vh
