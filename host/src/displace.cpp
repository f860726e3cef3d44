// Scene preparation of objects whose meshes come from shaders: geometry
// shaders run once per object; displaced meshes are tessellated until their
// edges are short enough and each vertex is moved along its normal by the
// displacement shader, called on displacement rays (several threads).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "geometry.h"

namespace vh {

namespace {

constexpr int32_t kRayDisplace = 16;
constexpr int32_t kRayGeometry = 17;  // a geometry shader's call
constexpr size_t kMaxDisplacedTriangles = size_t(1) << 25;

// The state of a session thread set up for a call outside any ray, in the
// space of `ob`.
xrState &prepareCallState(Renderer &r, int thread, const ObjectInst &ob, int32_t kind) {
    ThreadData &td = *r.impl()->threads.at(size_t(thread));
    td.top = 1;
    RaySlot &slot = *td.stack[0];
    xrState &st = slot.st;
    st.rayKind = kind;
    st.sampleTime = 0;
    st.reflectDepth = st.refractDepth = 0;
    st.spawningState = st.childState = nullptr;
    st.instanceTag = ob.tag;
    st.objectLabel = ob.label;
    st.hitRef = nullptr;
    st.hitDistance = 0;
    st.motionVector = {0, 0, 0};
    slot.rd.obj = nullptr;
    slot.rd.light = nullptr;
    slot.ctx.recordOwner = nullptr;
    slot.ctx.objectToWorld = ob.toWorld.m;
    slot.ctx.worldToObject = ob.fromWorld.m;
    slot.ctx.lightToWorld = slot.ctx.worldToLight = nullptr;
    std::fill(slot.uv.begin(), slot.uv.end(), xrVector{0, 0, 0});
    std::fill(slot.du.begin(), slot.du.end(), xrVector{0, 0, 0});
    std::fill(slot.dv.begin(), slot.dv.end(), xrVector{0, 0, 0});
    return st;
}

// Calls the geometry shader of `d` and collects the meshes of the objects
// it adds; the placing instance takes the primitive's user data in front of
// its own.
Mesh runGeometryShader(Scene &s, Renderer &r, DeferredObject &d) {
    ObjectInst &ob = *d.object;
    xrState &st = prepareCallState(r, 0, ob, kRayGeometry);
    newSample(&st);
    xrTag result = 0;
    CreatedTags made;
    const xrBoolean ok = callShader(*d.geometry, &st, &result, nullptr);
    s.ownedTags.insert(s.ownedTags.end(), made.tags.begin(), made.tags.end());
    if (!ok || !result)
        throw Error(d.where + ": geometry shader \"" + d.geometry->name + "\" made no object");
    Mesh out;
    Database &db = Database::get();
    xrTag firstData = 0;
    for (xrTag inst : groupMembers(result)) {
        const auto *rec = static_cast<const InstanceRecord *>(db.data(inst));
        PolygonObject poly;
        if (!rec || !readPolygonObject(rec->objectTag, poly))
            throw Error(d.where + ": geometry shader \"" + d.geometry->name + "\" returned an unreadable object");
        Mesh m = polygonMesh(poly);
        Mat4 toObject, fromObject;
        std::memcpy(toObject.m, rec->toWorld, sizeof toObject.m);
        std::memcpy(fromObject.m, rec->fromWorld, sizeof fromObject.m);
        const uint32_t base = uint32_t(out.P.size());
        for (size_t i = 0; i < m.P.size(); ++i) {
            out.P.push_back(toObject.point(m.P[i]));
            out.N.push_back(normalize(fromObject.normalFromInverse(m.N[i])));
        }
        for (uint32_t v : m.tri) out.tri.push_back(base + v);
        if (!firstData) firstData = rec->dataTag;
    }
    if (out.tri.empty()) throw Error(d.where + ": geometry shader \"" + d.geometry->name + "\" made no polygons");
    if (firstData) {
        // The primitive's block first, then the object's own chain.
        xrTag last = firstData;
        for (int steps = 0; steps < 1 << 16; ++steps) {
            const auto *w = static_cast<const uint32_t *>(db.data(last));
            if (!w || !w[1]) break;
            last = w[1];
        }
        if (last != ob.dataTag) static_cast<uint32_t *>(db.data(last))[1] = ob.dataTag;
        ob.dataTag = firstData;
        static_cast<InstanceRecord *>(db.data(ob.tag))->dataTag = firstData;
        static_cast<uint32_t *>(db.data(ob.objectTag))[12] = firstData;
    }
    return out;
}

// Screen lengths of world-space edges for the tessellation.
struct ScreenMetric {
    const Scene &s;
    float perUnit = 0;  // orthographic: pixels per unit; perspective: pixels per unit at depth 1
    float halfW = 0, halfH = 0;  // half the view: units (orthographic) or slope at depth 1
    bool ortho = false;
    explicit ScreenMetric(const Scene &sc) : s(sc) {
        const xrCamera &k = sc.camera;
        ortho = k.isOrthographic != 0;
        const float w = float(k.imageWidth), h = float(k.imageHeight);
        halfW = ortho ? 0.5f * k.apertureWidth : 0.5f * k.apertureWidth / k.focalLength;
        halfH = halfW * h / w;
        perUnit = w / (2 * halfW);
    }
    // Length in pixels of the world segment (a, b) clipped to the near
    // plane; 0 when it lies wholly outside the view (behind the camera or
    // beyond one side, with a margin for the displacement still to come), so
    // that unseen parts stay coarse.
    float length(xrVector a, xrVector b) const {
        xrVector ca = s.worldToCam.point(a), cb = s.worldToCam.point(b);
        const float margin = 1.25f;
        if (ortho) {
            if ((ca.x > halfW * margin && cb.x > halfW * margin) || (ca.x < -halfW * margin && cb.x < -halfW * margin) ||
                (ca.y > halfH * margin && cb.y > halfH * margin) || (ca.y < -halfH * margin && cb.y < -halfH * margin))
                return 0;
            return perUnit * std::hypot(ca.x - cb.x, ca.y - cb.y);
        }
        const float near = s.camera.nearClip;
        const bool behindA = -ca.z < near, behindB = -cb.z < near;
        if (behindA && behindB) return 0;
        if (behindA || behindB) {
            // Measure the part in front of the near plane.
            xrVector &back = behindA ? ca : cb;
            const xrVector &front = behindA ? cb : ca;
            const float t = (-near - front.z) / (back.z - front.z);
            back = front + (back - front) * t;
            back.z = -near;
        }
        const float ax = ca.x / -ca.z, ay = ca.y / -ca.z, bx = cb.x / -cb.z, by = cb.y / -cb.z;
        const float mw = halfW * margin, mh = halfH * margin;
        if ((ax > mw && bx > mw) || (ax < -mw && bx < -mw) || (ay > mh && by > mh) || (ay < -mh && by < -mh)) return 0;
        return perUnit * std::hypot(ax - bx, ay - by);
    }
};

// Edge midpoints by (lower, higher) vertex index: an open-addressing table
// (the tessellation's hot path).
class EdgeTable {
public:
    static constexpr uint64_t kEmpty = ~uint64_t(0);
    explicit EdgeTable(size_t expected) { rehash(expected * 2 + 64); }
    // The slot of `key`; `found` tells whether it was present.
    uint32_t *find(uint64_t key, bool &found) {
        if ((count_ + 1) * 2 > keys_.size()) rehash(keys_.size() * 2);
        size_t i = hash(key) & mask_;
        while (keys_[i] != kEmpty) {
            if (keys_[i] == key) {
                found = true;
                return &values_[i];
            }
            i = (i + 1) & mask_;
        }
        found = false;
        keys_[i] = key;
        ++count_;
        return &values_[i];
    }

private:
    static size_t hash(uint64_t k) {
        k ^= k >> 33;
        k *= 0xff51afd7ed558ccdULL;
        k ^= k >> 33;
        return size_t(k);
    }
    void rehash(size_t want) {
        size_t n = 64;
        while (n < want) n <<= 1;
        std::vector<uint64_t> keys(n, kEmpty);
        std::vector<uint32_t> values(n);
        const size_t mask = n - 1;
        for (size_t j = 0; j < keys_.size(); ++j) {
            if (keys_[j] == kEmpty) continue;
            size_t i = hash(keys_[j]) & mask;
            while (keys[i] != kEmpty) i = (i + 1) & mask;
            keys[i] = keys_[j];
            values[i] = values_[j];
        }
        keys_.swap(keys);
        values_.swap(values);
        mask_ = mask;
    }
    std::vector<uint64_t> keys_;
    std::vector<uint32_t> values_;
    size_t mask_ = 0, count_ = 0;
};

// Vertices at exactly one position (the seams of hard edges and texture
// borders), found so that they can be displaced as one.
struct Welds {
    std::vector<uint32_t> group;  // of each vertex
    std::vector<uint32_t> size;   // of each group
    std::vector<xrVector> along;  // unit normal of each vertex, the mean over its group
};

Welds weldVertices(const Mesh &m) {
    struct Key {
        uint32_t x, y, z;
        bool operator==(const Key &o) const { return x == o.x && y == o.y && z == o.z; }
    };
    struct KeyHash {
        size_t operator()(const Key &k) const {
            uint64_t h = (uint64_t(k.x) * 0x9E3779B97F4A7C15ULL) ^ (uint64_t(k.y) * 0xC2B2AE3D27D4EB4FULL) ^ k.z;
            return size_t(h ^ (h >> 29));
        }
    };
    auto key = [](xrVector p) {
        p = p + xrVector{0, 0, 0};  // +0 and -0 are one position
        Key k;
        std::memcpy(&k.x, &p.x, 4), std::memcpy(&k.y, &p.y, 4), std::memcpy(&k.z, &p.z, 4);
        return k;
    };
    Welds w;
    const size_t n = m.P.size();
    w.group.resize(n);
    std::unordered_map<Key, uint32_t, KeyHash> ids;
    ids.reserve(n);
    std::vector<xrVector> sum;
    for (size_t i = 0; i < n; ++i) {
        auto [it, added] = ids.emplace(key(m.P[i]), uint32_t(w.size.size()));
        if (added) w.size.push_back(0), sum.push_back({0, 0, 0});
        w.group[i] = it->second;
        ++w.size[it->second];
        sum[it->second] = sum[it->second] + normalize(m.N[i]);
    }
    w.along.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const xrVector s = sum[w.group[i]];
        // A lone vertex keeps its normal; opposite normals at one point (a
        // folded sheet) keep theirs too.
        w.along[i] = w.size[w.group[i]] > 1 && dot(s, s) > 1e-12f ? normalize(s) : normalize(m.N[i]);
    }
    return w;
}

}  // namespace

void tessellate(Mesh &m, const std::function<bool(xrVector, xrVector)> &split, size_t maxTriangles,
                const std::string &where) {
    // Edge midpoints by (lower, higher) vertex index; kNoSplit marks an edge
    // that stays whole.
    constexpr uint32_t kNoSplit = 0xFFFFFFFFu;
    EdgeTable mid(m.tri.size());
    auto midpoint = [&](uint32_t a, uint32_t b) -> uint32_t {
        const uint64_t key = a < b ? (uint64_t(a) << 32 | b) : (uint64_t(b) << 32 | a);
        bool found;
        uint32_t *slot = mid.find(key, found);
        if (found) return *slot;
        uint32_t v = kNoSplit;
        if (split(m.P[a], m.P[b])) {
            v = uint32_t(m.P.size());
            m.P.push_back((m.P[a] + m.P[b]) * 0.5f);
            if (!m.N.empty()) m.N.push_back(normalize(m.N[a] + m.N[b]));
            for (auto &set : m.uv) set.push_back((set[a] + set[b]) * 0.5f);
            for (auto &set : m.colors) set.push_back((set[a] + set[b]) * 0.5f);
        }
        *slot = v;
        return v;
    };
    std::vector<uint32_t> todo = std::move(m.tri), done, next;
    while (!todo.empty()) {
        next.clear();
        for (size_t t = 0; t < todo.size(); t += 3) {
            const uint32_t a = todo[t], b = todo[t + 1], c = todo[t + 2];
            const uint32_t ab = midpoint(a, b), bc = midpoint(b, c), ca = midpoint(c, a);
            const int n = (ab != kNoSplit) + (bc != kNoSplit) + (ca != kNoSplit);
            if (n == 0) {
                done.insert(done.end(), {a, b, c});
            } else if (n == 3) {
                next.insert(next.end(), {a, ab, ca, ab, b, bc, ca, bc, c, ab, bc, ca});
            } else if (n == 1) {
                if (ab != kNoSplit) next.insert(next.end(), {a, ab, c, ab, b, c});
                else if (bc != kNoSplit) next.insert(next.end(), {b, bc, a, bc, c, a});
                else next.insert(next.end(), {c, ca, b, ca, a, b});
            } else {
                // Two split edges: rotate so that they are (x, y) and (y, z).
                uint32_t x, y, z, xy, yz;
                if (ca == kNoSplit) x = a, y = b, z = c, xy = ab, yz = bc;
                else if (ab == kNoSplit) x = b, y = c, z = a, xy = bc, yz = ca;
                else x = c, y = a, z = b, xy = ca, yz = ab;
                next.insert(next.end(), {xy, y, yz, x, xy, yz, x, yz, z});
            }
            if ((done.size() + next.size()) / 3 > maxTriangles)
                throw Error(where + ": displacement tessellation exceeds " + std::to_string(maxTriangles) +
                            " triangles; raise \"length\" or \"pixels\"");
        }
        std::swap(todo, next);
    }
    m.tri = std::move(done);
}

void prepareDeferredObjects(Scene &s, std::vector<DeferredObject> &list, int threads) {
    if (list.empty()) return;
    threads = std::max(1, threads);
    Renderer r(s, threads);
    for (DeferredObject &d : list) try {
        ObjectInst &ob = *d.object;
        Mesh m = d.geometry ? runGeometryShader(s, r, d) : std::move(d.mesh);
        if (!d.displace.shader) {
            setObjectMesh(s, ob, m);
            continue;
        }
        // Normals to displace along: the mesh's, else from its faces.
        if (m.N.size() != m.P.size()) {
            m.N.assign(m.P.size(), {0, 0, 0});
            for (size_t t = 0; t < m.tri.size(); t += 3) {
                const xrVector n = cross(m.P[m.tri[t + 1]] - m.P[m.tri[t]], m.P[m.tri[t + 2]] - m.P[m.tri[t]]);
                for (int k = 0; k < 3; ++k) m.N[m.tri[t + k]] = m.N[m.tri[t + k]] + n;
            }
            for (auto &n : m.N) n = normalize(n);
        }
        // Edges shorter than this never split, whatever the screen says
        // (points at the camera): a function of the edge alone.
        xrVector lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
        for (auto &p : m.P) {
            lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
            hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
        }
        const float minLength = std::max(d.displace.length, length(ob.toWorld.vector(hi - lo)) * 0x1.0p-14f);
        using Clock = std::chrono::steady_clock;
        const auto started = Clock::now();
        const ScreenMetric screen(s);
        const Mat4 &toWorld = ob.toWorld;
        const float pixels = d.displace.pixels;
        tessellate(m, [&](xrVector a, xrVector b) {
            const xrVector wa = toWorld.point(a), wb = toWorld.point(b);
            if (vh::length(wa - wb) <= minLength) return false;
            return pixels <= 0 || screen.length(wa, wb) > pixels;
        }, kMaxDisplacedTriangles, d.where);

        const auto tessellated = Clock::now();
        // Per-vertex derivatives of each texture space, for filtering shaders.
        const size_t sets = std::min(m.uv.size(), r.impl()->threads[0]->stack[0]->uv.size());
        std::vector<std::vector<xrVector>> dPdu(sets, std::vector<xrVector>(m.P.size())), dPdv = dPdu;
        for (size_t set = 0; set < sets; ++set)
            for (size_t t = 0; t < m.tri.size(); t += 3) {
                const uint32_t i0 = m.tri[t], i1 = m.tri[t + 1], i2 = m.tri[t + 2];
                const xrVector e1 = m.P[i1] - m.P[i0], e2 = m.P[i2] - m.P[i0];
                const xrVector d1 = m.uv[set][i1] - m.uv[set][i0], d2 = m.uv[set][i2] - m.uv[set][i0];
                const float det = d1.x * d2.y - d2.x * d1.y;
                if (std::fabs(det) <= 1e-20f) continue;
                const xrVector du = (e1 * d2.y - e2 * d1.y) * (1.0f / det), dv = (e2 * d1.x - e1 * d2.x) * (1.0f / det);
                for (uint32_t i : {i0, i1, i2}) {
                    dPdu[set][i] = dPdu[set][i] + du;
                    dPdv[set][i] = dPdv[set][i] + dv;
                }
            }

        // Vertices at one position move along the mean of their normals and
        // by the mean of their displacements (their texture coordinates and
        // derivatives differ), so that the surface stays closed.
        const Welds welds = weldVertices(m);
        const std::vector<xrVector> &along = welds.along;

        // One displacement call per vertex, the vertices shared out in chunks.
        const size_t nv = m.P.size();
        std::vector<xrVector> moved(nv), motion(nv, xrVector{0, 0, 0});
        std::atomic<size_t> nextChunk{0};
        std::atomic<bool> clamped{false}, anyMotion{false};
        const size_t chunk = 1024;
        Instance &shader = *d.displace.shader;
        const size_t resultWords = size_t(std::max(shader.decl ? shader.decl->resultBytes : 0, 64) + 7) / 8;
        const float bound = d.displace.maxDisplace;
        auto work = [&](int thread) {
            std::vector<uint64_t> result(resultWords);
            RaySlot &slot = *r.impl()->threads[size_t(thread)]->stack[0];
            for (size_t begin; (begin = nextChunk.fetch_add(chunk)) < nv;) {
                for (size_t i = begin; i < std::min(nv, begin + chunk); ++i) {
                    xrState &st = prepareCallState(r, thread, ob, kRayDisplace);
                    const xrVector n = along[i];
                    st.hitPoint = m.P[i];
                    st.shadingNormal = st.geometricNormal = n;
                    st.rayOrigin = m.P[i];
                    st.rayDirection = -n;
                    st.cosView = -1;
                    for (size_t set = 0; set < sets; ++set) {
                        slot.uv[set] = m.uv[set][i];
                        slot.du[set] = dPdu[set][i];
                        slot.dv[set] = dPdv[set][i];
                    }
                    newSample(&st);
                    xrColor ignored{};
                    r.impl()->stateOp(slot, kOpNewRay, 0, &ignored);
                    std::fill(result.begin(), result.end(), 0);
                    float disp = 0;
                    if (callShader(shader, &st, result.data())) std::memcpy(&disp, result.data(), 4);
                    if (!std::isfinite(disp)) disp = 0;
                    if (bound > 0 && std::fabs(disp) > bound) {
                        disp = std::copysign(bound, disp);
                        clamped = true;
                    }
                    moved[i] = m.P[i] + n * disp;
                    motion[i] = st.motionVector;
                    if (motion[i].x != 0 || motion[i].y != 0 || motion[i].z != 0) anyMotion = true;
                }
            }
        };
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t) pool.emplace_back(work, t);
        work(0);
        for (auto &t : pool) t.join();
        if (welds.size.size() < nv) {
            std::vector<xrVector> mean(welds.size.size(), xrVector{0, 0, 0});
            for (size_t i = 0; i < nv; ++i) mean[welds.group[i]] = mean[welds.group[i]] + moved[i];
            for (size_t i = 0; i < nv; ++i)
                if (welds.size[welds.group[i]] > 1) moved[i] = mean[welds.group[i]] * (1.0f / float(welds.size[welds.group[i]]));
        }
        const auto displaced = Clock::now();
        auto ms = [](Clock::duration d) { return std::to_string(std::chrono::duration<double, std::milli>(d).count()); };
        hostMessage(Severity::Info, d.where + ": tessellated to " + std::to_string(m.tri.size() / 3) + " triangles in " +
                                        ms(tessellated - started) + " ms, " + std::to_string(nv) +
                                        " vertices displaced in " + ms(displaced - tessellated) + " ms");
        if (clamped)
            hostMessage(Severity::Warning, d.where + ": displacement beyond \"maxDisplace\" " + std::to_string(bound) +
                                               " was clamped");
        // The base mesh's bounds grown by the largest displacement.
        const float grow = bound > 0 ? bound : 0;
        m.P = std::move(moved);
        // Normals of the displaced surface.
        std::fill(m.N.begin(), m.N.end(), xrVector{0, 0, 0});
        for (size_t t = 0; t < m.tri.size(); t += 3) {
            const xrVector n = cross(m.P[m.tri[t + 1]] - m.P[m.tri[t]], m.P[m.tri[t + 2]] - m.P[m.tri[t]]);
            for (int k = 0; k < 3; ++k) m.N[m.tri[t + k]] = m.N[m.tri[t + k]] + n;
        }
        for (auto &n : m.N) n = normalize(n);
        setObjectMesh(s, ob, m, grow);
        // Motion shows only over an open shutter.
        if (anyMotion && s.options.shutterClose > s.options.shutterOpen) ob.motion = std::move(motion);
    } catch (const Error &e) {
        const std::string what = e.what();
        // Errors of the mesh itself name the object here.
        if (what.rfind(d.where, 0) == 0) throw;
        throw Error(d.where + ": " + what);
    }
}

}  // namespace vh
