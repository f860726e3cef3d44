// Baking: an object's shading rendered into a light map over its uv layout,
// or into its vertex colours. The host drives the baking shader in two
// calls: a vertex call per mesh vertex (rayKind 21), whose result records it
// collects, and a mesh call (rayKind 22) given the triangles and those
// records (xrBakeMesh), split over the render threads by tiles. It serves
// the operations the bakers use: light-map images (xr_lightmap_edit,
// xr_img_put_color, xr_img_clip_color), the primitive of a baked point
// (xr_state_set_pri) and probe rays (xr_trace_probe); the light-map
// post-process runs as an output shader on the baked map.
#include "vekohost/bake.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "render_internal.h"
#include "vekohost/imageio.h"
#include "vekohost/textures.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vh {

namespace {

constexpr int kDbLightmap = 62;
constexpr int32_t kRayBakeVertex = 21;
constexpr int32_t kRayBakeMesh = 22;
constexpr uint32_t kVekoLabel = 0x56656B6Fu;

// A light-map element: the record followed by its pixels (and, when the
// host tracks them, the tag and coverage planes).
xrTag createLightmap(int w, int h, int type, bool track) {
    const size_t n = size_t(w) * size_t(h);
    const size_t bytes = sizeof(LightmapImage) + n * 4 * sizeof(float) + (track ? 2 * n * sizeof(float) : 0);
    const xrTag tag = Database::get().create(kDbLightmap, bytes);
    auto *rec = static_cast<LightmapImage *>(Database::get().data(tag));
    rec->magic = LightmapImage::kMagic;
    rec->type = type;
    rec->width = w;
    rec->height = h;
    rec->pixels = reinterpret_cast<float *>(rec + 1);
    rec->tags = track ? rec->pixels + 4 * n : nullptr;
    rec->coverage = track ? rec->pixels + 5 * n : nullptr;
    return tag;
}

Scene *sceneOf(xrState *state) {
    RayData *rd = rayDataOf(state);
    return rd ? rd->scene : nullptr;
}

// Prepares the eye slot of a thread as the state of a bake call on `o`.
RaySlot &bakeSlot(Renderer &r, int thread, const ObjectInst &o) {
    ThreadData &td = *r.impl()->threads.at(size_t(thread));
    td.top = 1;
    RaySlot &e = *td.stack[0];
    xrState &st = e.st;
    st.rayKind = kRayEye;
    st.modeFlag = 0;
    st.normalFlipped = 0;
    st.reflectDepth = st.refractDepth = 0;
    st.spawningState = st.childState = nullptr;
    st.shaderRecord = nullptr;
    st.currentIor = 1;
    st.environmentShader = r.scene().camera.cameraEnvShader;
    st.volumeShader = 0;
    st.lightInstanceTag = 0;
    st.lightSampleIndex = 0;
    st.hitDistance = 0;
    st.instanceTag = o.tag;
    st.objectLabel = o.label;
    st.hitRef = const_cast<ObjectInst *>(&o);
    std::fill(e.uv.begin(), e.uv.end(), xrVector{0, 0, 0});
    st.texCoords = e.uv.data();
    st.derivU = e.du.data();
    st.derivV = e.dv.data();
    e.ctx.recordOwner = nullptr;
    e.ctx.objectToWorld = o.toWorld.m;
    e.ctx.worldToObject = o.fromWorld.m;
    e.ctx.lightToWorld = e.ctx.worldToLight = nullptr;
    RayData &rd = e.rd;
    rd.obj = &o;
    rd.prim = 0;
    rd.light = nullptr;
    rd.hasOpacity = false;
    rd.pixel = 0;
    rd.sampleIndex = 0;
    rd.sequence = rd.lightSequence = 0;
    newSample(&st);
    r.impl()->stateOp(e, kOpNewRay, 0, nullptr);
    return e;
}

// Unit normal of vertex i: the mesh's, else the mean of its triangles'.
std::vector<xrVector> vertexNormals(const ObjectInst &o) {
    const Mesh &m = o.world;
    if (m.N.size() == m.P.size()) return m.N;
    std::vector<xrVector> n(m.P.size(), xrVector{0, 0, 0});
    for (size_t t = 0; t + 2 < m.tri.size(); t += 3)
        for (int k = 0; k < 3; ++k) n[m.tri[t + k]] = n[m.tri[t + k]] + o.Ng[t / 3];
    for (auto &v : n) v = normalize(v);
    return n;
}

// Vertex calls: one record of the baker's result size per vertex.
std::vector<float> vertexRecords(Renderer &r, const ObjectInst &o, Instance &baker, int &floats) {
    const Mesh &m = o.world;
    floats = std::max(baker.decl->resultBytes, 4) / 4;
    std::vector<float> out(m.P.size() * size_t(floats), 0.0f);
    const std::vector<xrVector> normals = vertexNormals(o);
    RaySlot &e = bakeSlot(r, 0, o);
    xrState &st = e.st;
    for (size_t i = 0; i < m.P.size(); ++i) {
        st.rayKind = kRayBakeVertex;
        st.hitPoint = m.P[i];
        st.shadingNormal = st.geometricNormal = normals[i];
        st.rayDirection = -normals[i];
        st.rayOrigin = m.P[i] + normals[i];
        st.cosView = -1;
        for (size_t k = 0; k < e.uv.size(); ++k) e.uv[k] = k < m.uv.size() ? m.uv[k][i] : xrVector{0, 0, 0};
        newSample(&st);
        callShader(baker, &st, &out[i * size_t(floats)]);
    }
    st.rayKind = kRayEye;
    return out;
}

std::vector<xrInteger> meshTriangles(const ObjectInst &o) {
    const Mesh &m = o.world;
    std::vector<xrInteger> t;
    t.reserve(m.tri.size() / 3 * 4);
    for (size_t i = 0; i + 2 < m.tri.size(); i += 3) {
        t.push_back(xrInteger(m.tri[i]));
        t.push_back(xrInteger(m.tri[i + 1]));
        t.push_back(xrInteger(m.tri[i + 2]));
        t.push_back(xrInteger(i / 3));
    }
    return t;
}

// The mesh call on every thread, each rendering its share of the tiles.
void meshPhase(Renderer &r, const ObjectInst &o, Instance &baker, const std::vector<xrInteger> &tris,
               const std::vector<float> &verts, int floats, int threads, int phase) {
    auto run = [&](int t) {
        RaySlot &e = bakeSlot(r, t, o);
        xrBakeMesh mesh{};
        mesh.triangleCount = xrInteger(tris.size() / 4);
        mesh.vertexCount = xrInteger(o.world.P.size());
        mesh.triangles = tris.data();
        mesh.vertices = verts.data();
        mesh.vertexFloats = floats;
        mesh.tileFirst = t;
        mesh.tileStep = threads;
        mesh.phase = phase;
        e.st.rayKind = kRayBakeMesh;
        callShader(baker, &e.st, &mesh);
        e.st.rayKind = kRayEye;
    };
    if (threads == 1) {
        run(0);
        return;
    }
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(run, t);
    for (auto &th : pool) th.join();
}

// One thread makes the whole mesh call (phase 0). Several run it in phases,
// each to its end on every thread before the next starts: the final-gather
// prebake (1, with final gathering on), the render (2), and the post-filter
// over the whole map (3, one call).
void meshCalls(Renderer &r, const ObjectInst &o, Instance &baker, const std::vector<xrInteger> &tris,
               const std::vector<float> &verts, int floats, bool split) {
    const int threads = split ? r.threads() : 1;
    if (threads == 1) {
        meshPhase(r, o, baker, tris, verts, floats, 1, 0);
        return;
    }
    if (r.scene().options.finalGatherOn) meshPhase(r, o, baker, tris, verts, floats, threads, 1);
    meshPhase(r, o, baker, tris, verts, floats, threads, 2);
    meshPhase(r, o, baker, tris, verts, floats, 1, 3);
}

Instance &findNode(Scene &scene, const std::string &name, const std::string &type, const std::string &what) {
    Network &net = *scene.net;
    if (!name.empty()) {
        Instance *i = net.find(name);
        if (!i) throw Error(scene.where + ": no node named \"" + name + "\" (" + what + ")");
        if (i->decl->name != type)
            throw Error(scene.where + ": node \"" + name + "\" is a " + i->decl->name + ", not a " + type);
        return *i;
    }
    for (auto &i : net.instances())
        if (i->decl->name == type) return *i;
    return net.add("__" + type, type);
}

const ObjectInst &findObject(const Scene &scene, const std::string &name) {
    for (auto &o : scene.objects)
        if (o->name == name) return *o;
    throw Error(scene.where + ": no object named \"" + name + "\" to bake");
}

}  // namespace

BakedMap bakeLightmap(Scene &scene, const BakeRequest &req) {
    if (req.width <= 0 || req.height <= 0) throw Error(scene.where + ": the light map needs a size above 0");
    const ObjectInst &o = findObject(scene, req.object);
    Instance &baker = findNode(scene, req.node, "veko_bakelightmap", "light-map baker");
    Instance *post = req.post.empty() ? nullptr : &findNode(scene, req.post, "veko_postlightmap", "post-process");
    const xrTag tag = createLightmap(req.width, req.height, 32, true);
    baker.setLiteral("storageTag", json(tag));
    BakedMap out;
    {
        Renderer r(scene, std::max(req.threads, 1));
        int floats = 0;
        const std::vector<float> verts = vertexRecords(r, o, baker, floats);
        const std::vector<xrInteger> tris = meshTriangles(o);
        meshCalls(r, o, baker, tris, verts, floats, true);
        auto *lm = static_cast<LightmapImage *>(Database::get().data(tag));
        if (post) {
            // The post-process sees the map as the frame of an output pass:
            // image 0 its colour, 4 (label) the tags, 5 the coverage.
            const int w = lm->width, h = lm->height;
            FrameImage frame;
            frame.width = w;
            frame.height = h;
            frame.rgba.resize(size_t(w) * h * 4);
            frame.label.resize(size_t(w) * h);
            frame.coverage.resize(size_t(w) * h);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const size_t src = size_t(y) * w + x, dst = size_t(h - 1 - y) * w + x;  // frames run top down
                    std::memcpy(&frame.rgba[dst * 4], lm->pixels + src * 4, 4 * sizeof(float));
                    frame.label[dst] = uint32_t(lm->tags[src]);
                    frame.coverage[dst] = lm->coverage[src];
                }
            xrCamera &cam = scene.camera;
            const int cw = cam.imageWidth, ch = cam.imageHeight;
            cam.imageWidth = w;
            cam.imageHeight = h;
            RaySlot &e = bakeSlot(r, 0, o);
            Renderer::Impl &impl = *r.impl();
            impl.outputFrame = &frame;
            xrColor dummy{};
            callShader(*post, &e.st, &dummy);
            impl.outputFrame = nullptr;
            for (OutputImage &oi : impl.outputImages) oi = OutputImage{};
            cam.imageWidth = cw;
            cam.imageHeight = ch;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const size_t src = size_t(h - 1 - y) * w + x, dst = size_t(y) * w + x;
                    std::memcpy(lm->pixels + dst * 4, &frame.rgba[src * 4], 4 * sizeof(float));
                    lm->tags[dst] = float(frame.label[src]);
                }
        }
        out.gatherPoints = r.impl()->gatherCache.size();
        out.width = lm->width;
        out.height = lm->height;
        out.rgba.assign(lm->pixels, lm->pixels + size_t(lm->width) * lm->height * 4);
        out.tags.assign(lm->tags, lm->tags + size_t(lm->width) * lm->height);
        out.coverage.assign(lm->coverage, lm->coverage + size_t(lm->width) * lm->height);
    }
    Database::get().remove(tag);
    return out;
}

std::vector<xrColor> bakeVertices(Scene &scene, const BakeRequest &req) {
    const ObjectInst &o = findObject(scene, req.object);
    Instance &baker = findNode(scene, req.node, "veko_bakevertices", "vertex baker");
    const size_t count = o.world.P.size();
    // Storage block: words 3 and 4 after the magic are the record stride
    // and the vertex count, records (done flag, colour, aux colour) from word 5.
    constexpr uint32_t stride = 28;
    std::vector<uint32_t> payload(4 + count * stride / 4, 0);
    payload[2] = stride;
    payload[3] = uint32_t(count);
    const xrTag tag = createUserData(kVekoLabel, payload);
    baker.setLiteral("storageTag", json(tag));
    std::vector<xrColor> colors(count, xrColor{0, 0, 0, 0});
    {
        Renderer r(scene, 1);
        int floats = 0;
        const std::vector<float> verts = vertexRecords(r, o, baker, floats);
        const std::vector<xrInteger> tris = meshTriangles(o);
        meshCalls(r, o, baker, tris, verts, floats, false);
        const auto *words = static_cast<const uint32_t *>(Database::get().data(tag));
        const auto *records = reinterpret_cast<const char *>(words + 7 + 4);
        for (size_t i = 0; i < count; ++i) {
            int32_t done = 0;
            float v[3];
            std::memcpy(&done, records + i * stride, 4);
            std::memcpy(v, records + i * stride + 4, sizeof v);
            colors[i] = done ? xrColor{v[0], v[1], v[2], 1} : xrColor{0, 0, 0, 0};
        }
    }
    Database::get().remove(tag);
    return colors;
}

void writeColoredObj(const Scene &scene, const std::string &object, const std::vector<xrColor> &colors,
                     const std::string &path) {
    const ObjectInst &o = findObject(scene, object);
    const Mesh &m = o.world;
    std::ofstream f(path);
    if (!f) throw Error(path + ": cannot write");
    f << "# " << object << " with baked vertex colours (object space)\n";
    char line[256];
    for (size_t i = 0; i < m.P.size(); ++i) {
        const xrVector p = o.fromWorld.point(m.P[i]);
        const xrColor c = i < colors.size() ? colors[i] : xrColor{0, 0, 0, 0};
        std::snprintf(line, sizeof line, "v %.7g %.7g %.7g %.6g %.6g %.6g\n", p.x, p.y, p.z, c.r, c.g, c.b);
        f << line;
    }
    const bool uv = !m.uv.empty();
    if (uv)
        for (const xrVector &t : m.uv[0]) {
            std::snprintf(line, sizeof line, "vt %.7g %.7g\n", t.x, t.y);
            f << line;
        }
    for (size_t t = 0; t + 2 < m.tri.size(); t += 3) {
        f << "f";
        for (int k = 0; k < 3; ++k) {
            const uint32_t i = m.tri[t + k] + 1;
            f << ' ' << i;
            if (uv) f << '/' << i;
        }
        f << "\n";
    }
    if (!f) throw Error(path + ": cannot write");
}

int bakeCommand(const BakeOptions &opts) {
    try {
        Library lib(opts.libraryPath.empty() ? Library::defaultPath() : opts.libraryPath);
        ScenePtr scene = loadScene(lib, opts.scene);
        if (opts.vertices) {
            const std::vector<xrColor> colors = bakeVertices(*scene, opts.request);
            writeColoredObj(*scene, opts.request.object, colors, opts.output);
        } else {
            const BakedMap map = bakeLightmap(*scene, opts.request);
            // Written top row first, with the map's alpha.
            std::vector<float> px(map.rgba.size());
            for (int y = 0; y < map.height; ++y)
                std::memcpy(&px[size_t(map.height - 1 - y) * map.width * 4], &map.rgba[size_t(y) * map.width * 4],
                            size_t(map.width) * 4 * sizeof(float));
            writeImage(opts.output, map.width, map.height, 4, px.data());
        }
        hostMessage(Severity::Info, "wrote " + opts.output);
        return 0;
    } catch (const std::exception &e) {
        hostMessage(Severity::Error, e.what());
        return 1;
    }
}

}  // namespace vh

using namespace vh;

VH_EXPORT void *xr_lightmap_edit(xrState *state, xrTag tag, xrInteger *width, xrInteger *height, xrInteger *type) {
    (void)state;
    int t = 0;
    auto *rec = static_cast<LightmapImage *>(Database::get().access(tag, &t));
    if (!rec) return nullptr;
    if (t != kDbLightmap || rec->magic != LightmapImage::kMagic) {
        Database::get().unpin(tag);
        return nullptr;
    }
    if (width) *width = rec->width;
    if (height) *height = rec->height;
    if (type) *type = rec->type;
    return rec;
}

VH_EXPORT void xr_lightmap_edit_end(xrState *state, xrTag tag) {
    (void)state;
    Database::get().unpin(tag);
}

VH_EXPORT void xr_img_clip_color(const void *image, xrColor *color) {
    const LightmapImage *rec = asLightmap(image);
    if (!color || (rec && rec->type == 32)) return;
    color->r = std::clamp(color->r, 0.0f, 1.0f);
    color->g = std::clamp(color->g, 0.0f, 1.0f);
    color->b = std::clamp(color->b, 0.0f, 1.0f);
    color->a = std::clamp(color->a, 0.0f, 1.0f);
}

// Sets the primitive of the object being baked (outside a bake: of the
// state's instanceTag) as the state's hit: its texture coordinates and
// surface derivatives from the state's baryWeights, and a sampling key from
// the raster position.
VH_EXPORT xrBoolean xr_state_set_pri(xrState *state, xrInteger primitive) {
    RayData *rd = rayDataOf(state);
    if (!rd) return 0;
    const ObjectInst *obj = rd->obj;
    if (!obj && state->instanceTag) obj = rd->scene->objectOf(state->instanceTag);
    if (!obj || obj->hair) return 0;
    const ObjectInst &o = *obj;
    const Mesh &m = o.world;
    if (primitive < 0 || size_t(primitive) * 3 + 2 >= m.tri.size() + 0) return 0;
    const uint32_t p = uint32_t(primitive);
    const uint32_t i0 = m.tri[3 * p], i1 = m.tri[3 * p + 1], i2 = m.tri[3 * p + 2];
    const float w = state->baryWeights[0], u = state->baryWeights[1], v = state->baryWeights[2];
    RaySlot &slot = *rd->slot;
    for (size_t k = 0; k < slot.uv.size(); ++k) {
        if (k < m.uv.size()) {
            slot.uv[k] = m.uv[k][i0] * w + m.uv[k][i1] * u + m.uv[k][i2] * v;
            slot.du[k] = o.dPdu[k][p];
            slot.dv[k] = o.dPdv[k][p];
        } else {
            slot.uv[k] = slot.du[k] = slot.dv[k] = {0, 0, 0};
        }
    }
    state->texCoords = slot.uv.data();
    state->derivU = slot.du.data();
    state->derivV = slot.dv.data();
    state->hitRef = const_cast<ObjectInst *>(&o);
    state->instanceTag = o.tag;
    state->objectLabel = o.label;
    rd->obj = obj;
    rd->prim = p;
    rd->pixel = hashCombine(uint32_t(int32_t(std::floor(state->samplePosX))), uint32_t(int32_t(std::floor(state->samplePosY))));
    rd->sequence = 0;
    rd->lightSequence = 0;
    newSample(state);
    return 1;
}

// Traces a ray from `origin` (moved off the surface along the state's
// geometric normal) along `direction`; true when it hits the scene, with
// the distance.
VH_EXPORT xrBoolean xr_trace_probe(xrState *state, const xrVector *origin, const xrVector *direction,
                                   double *distance) {
    Scene *scene = sceneOf(state);
    if (!scene || !origin || !direction) return 0;
    const xrVector d = normalize(*direction);
    xrVector o = *origin;
    const xrVector n = state->geometricNormal;
    o = o + n * (dot(n, d) >= 0 ? scene->eps : -scene->eps);
    RTCRayHit h;
    if (!intersect(*scene, o, d, 0, std::numeric_limits<float>::infinity(), h)) return 0;
    if (distance) *distance = h.ray.tfar;
    return 1;
}
