// Scene files: camera, options, meshes (inline, OBJ, generated primitives),
// object instances, lights with optional area shapes, the state shader and
// "Veko" user-data blocks; the Embree acceleration structure over them.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

#include <tiny_obj_loader.h>

#include "fluid_import.h"
#include "geometry.h"
#include "particles.h"

namespace vh {

namespace {

constexpr float kPi = 3.14159265358979323846f;

// Coordinates are limited well below where the arithmetic of rays (hit
// points, offsets, squared distances) overflows float; geometry beyond is
// refused at load rather than producing non-finite rays.
constexpr float kMaxWorldCoord = 1e12f;
// Rays cast per shading sample from a scene setting, at most.
constexpr int kMaxRaysPerSample = 1024;
const char *const kBeyondWorld = "lies beyond 1e12 units from the origin in world space (size or transform too large)";
bool withinWorld(xrVector p) {
    return std::fabs(p.x) <= kMaxWorldCoord && std::fabs(p.y) <= kMaxWorldCoord && std::fabs(p.z) <= kMaxWorldCoord;
}

// Names the file and the element in every error.
struct Ctx {
    const std::string &file;
    std::string elem;
    [[noreturn]] void fail(const std::string &msg) const {
        throw Error(file + ": " + (elem.empty() ? "" : elem + ": ") + msg);
    }
    Ctx sub(const std::string &e) const { return Ctx{file, elem.empty() ? e : elem + "." + e}; }
};

float getNum(const json &o, const char *key, float def, const Ctx &c) {
    auto it = o.find(key);
    if (it == o.end() || it->is_null()) return def;
    if (it->is_boolean()) return it->get<bool>() ? 1.0f : 0.0f;
    if (!it->is_number()) c.fail(std::string("\"") + key + "\" must be a number");
    float v = it->get<float>();
    if (!std::isfinite(v)) c.fail(std::string("\"") + key + "\" must be finite");
    return v;
}

int getInt(const json &o, const char *key, int def, const Ctx &c) {
    auto it = o.find(key);
    if (it == o.end() || it->is_null()) return def;
    if (it->is_boolean()) return it->get<bool>() ? 1 : 0;
    if (!it->is_number_integer()) c.fail(std::string("\"") + key + "\" must be an integer");
    return it->get<int>();
}

bool getBool(const json &o, const char *key, bool def, const Ctx &c) {
    auto it = o.find(key);
    if (it == o.end() || it->is_null()) return def;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number()) return it->get<double>() != 0;
    c.fail(std::string("\"") + key + "\" must be true or false");
}

std::string getStr(const json &o, const char *key, const std::string &def, const Ctx &c) {
    auto it = o.find(key);
    if (it == o.end() || it->is_null()) return def;
    if (!it->is_string()) c.fail(std::string("\"") + key + "\" must be a string");
    return it->get<std::string>();
}

std::vector<float> numbers(const json &a, size_t minCount, const Ctx &c, const char *what) {
    if (!a.is_array()) c.fail(std::string("\"") + what + "\" must be an array of numbers");
    std::vector<float> v;
    v.reserve(a.size());
    for (auto &x : a) {
        if (!x.is_number()) c.fail(std::string("\"") + what + "\" must contain numbers only");
        float f = x.get<float>();
        if (!std::isfinite(f)) c.fail(std::string("\"") + what + "\" must contain finite numbers");
        v.push_back(f);
    }
    if (v.size() < minCount) c.fail(std::string("\"") + what + "\" needs at least " + std::to_string(minCount) + " numbers");
    return v;
}

xrVector vec3(const json &o, const char *key, xrVector def, const Ctx &c) {
    auto it = o.find(key);
    if (it == o.end() || it->is_null()) return def;
    if (it->is_number()) {
        float s = it->get<float>();
        return {s, s, s};
    }
    auto v = numbers(*it, 3, c, key);
    if (v.size() != 3) c.fail(std::string("\"") + key + "\" must have 3 numbers");
    return {v[0], v[1], v[2]};
}

Mat4 rotation(int axis, float degrees) {
    Mat4 r = Mat4::identity();
    float a = degrees * kPi / 180.0f, c = std::cos(a), s = std::sin(a);
    int i = (axis + 1) % 3, j = (axis + 2) % 3;  // x: (y, z); y: (z, x); z: (x, y)
    r.m[i * 4 + i] = c;
    r.m[i * 4 + j] = s;
    r.m[j * 4 + i] = -s;
    r.m[j * 4 + j] = c;
    return r;
}

Mat4 lookAt(xrVector eye, xrVector target, xrVector up, const Ctx &c) {
    xrVector z = normalize(eye - target);
    if (length(eye - target) <= 0) c.fail("lookAt: eye and target coincide");
    xrVector x = cross(up, z);
    if (length(x) < 1e-8f) x = cross(xrVector{0, 0, 1}, z);
    if (length(x) < 1e-8f) x = cross(xrVector{1, 0, 0}, z);
    x = normalize(x);
    xrVector y = cross(z, x);
    Mat4 m = Mat4::identity();
    const xrVector rows[4] = {x, y, z, eye};
    for (int r = 0; r < 4; ++r) {
        m.m[r * 4 + 0] = rows[r].x;
        m.m[r * 4 + 1] = rows[r].y;
        m.m[r * 4 + 2] = rows[r].z;
    }
    return m;
}

Mat4 parseTransform(const json &t, const Ctx &c) {
    if (t.is_null()) return Mat4::identity();
    if (t.is_array()) {
        auto v = numbers(t, 16, c, "transform");
        if (v.size() != 16) c.fail("\"transform\" matrix must have 16 numbers");
        Mat4 m{};
        std::copy(v.begin(), v.end(), m.m);
        return m;
    }
    if (!t.is_object()) c.fail("\"transform\" must be a matrix or an object");
    for (auto it = t.begin(); it != t.end(); ++it)
        if (it.key() != "translate" && it.key() != "rotate" && it.key() != "scale" && it.key() != "lookAt" &&
            it.key() != "matrix")
            c.fail("unknown transform key \"" + it.key() + "\"");
    if (t.contains("matrix")) return parseTransform(t["matrix"], c);
    if (t.contains("lookAt")) {
        const json &l = t["lookAt"];
        if (!l.is_object()) c.fail("\"lookAt\" must be an object");
        return lookAt(vec3(l, "eye", {0, 0, 0}, c), vec3(l, "target", {0, 0, -1}, c), vec3(l, "up", {0, 1, 0}, c), c);
    }
    Mat4 m = Mat4::identity();
    xrVector s = vec3(t, "scale", {1, 1, 1}, c);
    m.m[0] = s.x;
    m.m[5] = s.y;
    m.m[10] = s.z;
    xrVector r = vec3(t, "rotate", {0, 0, 0}, c);
    m = m * rotation(0, r.x) * rotation(1, r.y) * rotation(2, r.z);
    xrVector p = vec3(t, "translate", {0, 0, 0}, c);
    m.m[12] += p.x;
    m.m[13] += p.y;
    m.m[14] += p.z;
    return m;
}

uint32_t magicOf(const json &label, const Ctx &c) {
    if (label.is_number_unsigned() || label.is_number_integer()) return label.get<uint32_t>();
    if (label.is_string()) {
        std::string s = label.get<std::string>();
        if (s.size() != 4) c.fail("user-data label must have 4 characters");
        return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
               uint32_t(uint8_t(s[3]));
    }
    c.fail("user-data label must be a 4-character string or a number");
}

std::vector<uint32_t> words(const json &a, const Ctx &c) {
    if (!a.is_array()) c.fail("user-data words must be an array");
    std::vector<uint32_t> w;
    for (auto &x : a) {
        if (x.is_number_integer()) {
            w.push_back(uint32_t(x.get<int64_t>()));
        } else if (x.is_number_float()) {
            float f = x.get<float>();
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            w.push_back(bits);
        } else if (x.is_boolean()) {
            w.push_back(x.get<bool>() ? 1 : 0);
        } else {
            c.fail("user-data words must be numbers");
        }
    }
    return w;
}

// "Veko" user data: a word list, or a list of labelled blocks chained in order.
xrTag parseUserData(const json &u, Scene &s, const Ctx &c, xrTag chainEnd = 0) {
    if (u.is_null()) return chainEnd;
    static const uint32_t kVeko = ('V' << 24) | ('e' << 16) | ('k' << 8) | 'o';
    std::vector<std::pair<uint32_t, std::vector<uint32_t>>> blocks;
    if (u.is_array() && (u.empty() || !u[0].is_object())) {
        blocks.push_back({kVeko, words(u, c)});
    } else if (u.is_array() || u.is_object()) {
        json list = u.is_array() ? u : json::array({u});
        for (auto &b : list) {
            if (!b.is_object()) c.fail("user-data block must be an object");
            blocks.push_back({b.contains("label") ? magicOf(b["label"], c) : kVeko,
                              words(b.contains("words") ? b["words"] : json::array(), c)});
        }
    } else {
        c.fail("\"userData\" must be a word list or a list of blocks");
    }
    xrTag next = chainEnd;
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
        next = createUserData(it->first, it->second, next);
        s.ownedTags.push_back(next);
    }
    return next;
}

// ---------------------------------------------------------------------------
// Meshes.
void addQuadGrid(Mesh &m, xrVector origin, xrVector du, xrVector dv, xrVector n, int nu, int nv) {
    const uint32_t base = uint32_t(m.P.size());
    if (m.uv.empty()) m.uv.resize(1);
    for (int j = 0; j <= nv; ++j)
        for (int i = 0; i <= nu; ++i) {
            float u = float(i) / nu, v = float(j) / nv;
            m.P.push_back(origin + du * u + dv * v);
            m.N.push_back(n);
            m.uv[0].push_back({u, v, 0});
        }
    for (int j = 0; j < nv; ++j)
        for (int i = 0; i < nu; ++i) {
            uint32_t a = base + j * (nu + 1) + i, b = a + 1, d = a + (nu + 1), cc = d + 1;
            m.tri.insert(m.tri.end(), {a, b, cc, a, cc, d});
        }
}

Mesh makePlane(const json &j, const Ctx &c) {
    auto it = j.find("size");
    float w = 1, d = 1;
    if (it != j.end()) {
        if (it->is_number()) w = d = it->get<float>();
        else {
            auto v = numbers(*it, 2, c, "size");
            w = v[0];
            d = v[1];
        }
    }
    int n = getInt(j, "divisions", 1, c);
    if (w <= 0 || d <= 0 || n < 1 || n > 4096) c.fail("plane: size must be positive, divisions 1 to 4096");
    Mesh m;
    // In the xz plane facing +y; u along +x, v along -z.
    addQuadGrid(m, {-w / 2, 0, d / 2}, {w, 0, 0}, {0, 0, -d}, {0, 1, 0}, n, n);
    return m;
}

Mesh makeBox(const json &j, const Ctx &c) {
    xrVector s = vec3(j, "size", {1, 1, 1}, c);
    if (s.x <= 0 || s.y <= 0 || s.z <= 0) c.fail("box: size must be positive");
    xrVector h = s * 0.5f;
    Mesh m;
    struct Face {
        xrVector n, u, v;
    };
    const Face faces[6] = {{{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}, {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}},
                           {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}, {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}},
                           {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},  {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}}};
    auto mul = [](xrVector a, xrVector b) { return xrVector{a.x * b.x, a.y * b.y, a.z * b.z}; };
    for (const Face &f : faces) {
        xrVector cu = mul(f.u, h) * 2, cv = mul(f.v, h) * 2;
        xrVector origin = mul(f.n, h) - cu * 0.5f - cv * 0.5f;
        addQuadGrid(m, origin, cu, cv, f.n, 1, 1);
    }
    return m;
}

Mesh makeSphere(const json &j, const Ctx &c) {
    float r = getNum(j, "radius", 1, c);
    int segs = getInt(j, "segments", 32, c), rings = getInt(j, "rings", 16, c);
    if (r <= 0 || segs < 3 || rings < 2 || segs > 4096 || rings > 4096)
        c.fail("sphere: radius must be positive, segments 3 to 4096, rings 2 to 4096");
    Mesh m;
    m.uv.resize(1);
    for (int i = 0; i <= rings; ++i) {
        float th = kPi * i / rings;
        for (int k = 0; k <= segs; ++k) {
            float ph = 2 * kPi * k / segs;
            xrVector n{std::sin(th) * std::sin(ph), std::cos(th), std::sin(th) * std::cos(ph)};
            m.P.push_back(n * r);
            m.N.push_back(n);
            m.uv[0].push_back({float(k) / segs, 1.0f - float(i) / rings, 0});
        }
    }
    // At the poles one triangle of each quad is degenerate and left out.
    for (int i = 0; i < rings; ++i)
        for (int k = 0; k < segs; ++k) {
            uint32_t a = i * (segs + 1) + k, b = a + (segs + 1), cc = b + 1, d = a + 1;
            if (i != rings - 1) m.tri.insert(m.tri.end(), {a, b, cc});
            if (i != 0) m.tri.insert(m.tri.end(), {a, cc, d});
        }
    return m;
}

Mesh makeInline(const json &j, const Ctx &c) {
    Mesh m;
    if (!j.contains("positions") || !j.contains("triangles")) c.fail("mesh needs \"positions\" and \"triangles\"");
    auto p = numbers(j["positions"], 9, c, "positions");
    if (p.size() % 3) c.fail("\"positions\" must hold x, y, z triples");
    for (size_t i = 0; i < p.size(); i += 3) m.P.push_back({p[i], p[i + 1], p[i + 2]});
    if (j.contains("normals")) {
        auto n = numbers(j["normals"], 0, c, "normals");
        if (n.size() != p.size()) c.fail("\"normals\" must have one normal per position");
        for (size_t i = 0; i < n.size(); i += 3) m.N.push_back(normalize({n[i], n[i + 1], n[i + 2]}));
    }
    if (j.contains("uvs")) {
        const json &sets = j["uvs"];
        if (!sets.is_array()) c.fail("\"uvs\" must be a list of uv sets");
        for (auto &s : sets) {
            auto uv = numbers(s, 0, c, "uvs");
            if (uv.size() != m.P.size() * 2) c.fail("each uv set needs one (u, v) per position");
            std::vector<xrVector> set;
            for (size_t i = 0; i < uv.size(); i += 2) set.push_back({uv[i], uv[i + 1], 0});
            m.uv.push_back(std::move(set));
        }
    }
    if (j.contains("colors")) {
        // One colour set as a flat list, or a list of sets.
        const json &cj = j["colors"];
        const bool sets = cj.is_array() && !cj.empty() && cj[0].is_array();
        for (size_t k = 0; k < (sets ? cj.size() : 1); ++k) {
            auto col = numbers(sets ? cj[k] : cj, 0, c, "colors");
            if (col.size() != p.size()) c.fail("each colour set in \"colors\" must have one r, g, b per position");
            std::vector<xrVector> set;
            for (size_t i = 0; i < col.size(); i += 3) set.push_back({col[i], col[i + 1], col[i + 2]});
            m.colors.push_back(std::move(set));
        }
    }
    const json &t = j["triangles"];
    if (!t.is_array() || t.size() % 3 || t.empty()) c.fail("\"triangles\" must hold index triples");
    for (auto &x : t) {
        if (!x.is_number_integer() || x.get<int64_t>() < 0 || x.get<int64_t>() >= int64_t(m.P.size()))
            c.fail("triangle index out of range");
        m.tri.push_back(x.get<uint32_t>());
    }
    return m;
}

Mesh loadObj(const std::string &path, const Ctx &c) {
    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> materials;
    std::string warn, err;
    std::string dir = std::filesystem::path(path).parent_path().string();
    // Vertex colours ("v x y z r g b") are kept only when every vertex has one.
    if (!tinyobj::LoadObj(&attrib, &shapes, &materials, &warn, &err, path.c_str(), dir.empty() ? nullptr : dir.c_str(),
                          true, false))
        c.fail("cannot read OBJ file \"" + path + "\": " + err);
    Mesh m;
    bool hasUv = !attrib.texcoords.empty(), hasN = !attrib.normals.empty();
    bool hasColor = !attrib.colors.empty() && attrib.colors.size() == attrib.vertices.size();
    if (hasUv) m.uv.resize(1);
    if (hasColor) m.colors.resize(1);
    std::map<std::tuple<int, int, int>, uint32_t> index;
    for (auto &sh : shapes)
        for (auto &ix : sh.mesh.indices) {
            auto key = std::make_tuple(ix.vertex_index, hasN ? ix.normal_index : -1, hasUv ? ix.texcoord_index : -1);
            auto it = index.find(key);
            if (it == index.end()) {
                if (ix.vertex_index < 0 || size_t(ix.vertex_index) * 3 + 2 >= attrib.vertices.size())
                    c.fail("OBJ file \"" + path + "\": bad vertex index");
                uint32_t id = uint32_t(m.P.size());
                const float *v = &attrib.vertices[size_t(ix.vertex_index) * 3];
                m.P.push_back({v[0], v[1], v[2]});
                if (hasColor) {
                    const float *col = &attrib.colors[size_t(ix.vertex_index) * 3];
                    m.colors[0].push_back({col[0], col[1], col[2]});
                }
                if (hasN) {
                    if (ix.normal_index >= 0) {
                        if (size_t(ix.normal_index) * 3 + 2 >= attrib.normals.size())
                            c.fail("OBJ file \"" + path + "\": bad normal index");
                        const float *n = &attrib.normals[size_t(ix.normal_index) * 3];
                        m.N.push_back(normalize({n[0], n[1], n[2]}));
                    } else {
                        m.N.push_back({0, 0, 0});  // filled from faces below
                    }
                }
                if (hasUv) {
                    if (ix.texcoord_index >= 0) {
                        if (size_t(ix.texcoord_index) * 2 + 1 >= attrib.texcoords.size())
                            c.fail("OBJ file \"" + path + "\": bad texture coordinate index");
                        const float *t = &attrib.texcoords[size_t(ix.texcoord_index) * 2];
                        m.uv[0].push_back({t[0], t[1], 0});
                    } else {
                        m.uv[0].push_back({0, 0, 0});
                    }
                }
                it = index.emplace(key, id).first;
            }
            m.tri.push_back(it->second);
        }
    if (m.tri.empty()) c.fail("OBJ file \"" + path + "\" has no triangles");
    // Vertices without a normal get the average of their faces' normals.
    if (hasN) {
        std::vector<xrVector> acc(m.P.size(), {0, 0, 0});
        for (size_t t = 0; t < m.tri.size(); t += 3) {
            xrVector n = cross(m.P[m.tri[t + 1]] - m.P[m.tri[t]], m.P[m.tri[t + 2]] - m.P[m.tri[t]]);
            for (int k = 0; k < 3; ++k) acc[m.tri[t + k]] = acc[m.tri[t + k]] + n;
        }
        for (size_t i = 0; i < m.N.size(); ++i)
            if (length(m.N[i]) == 0) m.N[i] = normalize(acc[i]);
    }
    return m;
}

Mesh parseMesh(const json &j, const std::string &baseDir, const Ctx &c) {
    if (!j.is_object()) c.fail("\"mesh\" must be an object");
    std::string type = getStr(j, "type", "mesh", c);
    if (type == "plane") return makePlane(j, c);
    if (type == "box") return makeBox(j, c);
    if (type == "sphere") return makeSphere(j, c);
    if (type == "mesh") return makeInline(j, c);
    if (type == "obj") {
        std::string file = getStr(j, "file", "", c);
        if (file.empty()) c.fail("obj mesh needs \"file\"");
        std::filesystem::path p(file);
        if (p.is_relative()) p = std::filesystem::path(baseDir) / p;
        return loadObj(p.string(), c);
    }
    c.fail("unknown mesh type \"" + type + "\"");
}

// Hair strands: inline control points ("strands") or grown over a mesh
// ("surface"), in the object's space.
HairGeom parseHair(const json &j, const std::string &baseDir, const Ctx &c) {
    if (!j.is_object()) c.fail("\"hair\" must be an object");
    static const char *keys[] = {"strands", "surface", "count",     "length",    "width",   "tipWidth",
                                 "segments", "randomness", "seed", "bend", "rootColor", "tipColor"};
    for (auto it = j.begin(); it != j.end(); ++it)
        if (std::find_if(std::begin(keys), std::end(keys), [&](const char *k) { return it.key() == k; }) ==
            std::end(keys))
            c.fail("unknown key \"" + it.key() + "\"");
    HairStyle style;
    style.width = getNum(j, "width", 0.01f, c);
    style.tipWidth = getNum(j, "tipWidth", style.width, c);
    if (!(style.width > 0) || style.tipWidth < 0) c.fail("\"width\" must be positive and \"tipWidth\" not negative");
    style.rootColor = vec3(j, "rootColor", {1, 1, 1}, c);
    style.tipColor = vec3(j, "tipColor", style.rootColor, c);
    const bool inlineStrands = j.contains("strands");
    if (inlineStrands == j.contains("surface")) c.fail("needs either \"strands\" or \"surface\"");
    if (inlineStrands) {
        const json &a = j["strands"];
        if (!a.is_array() || a.empty()) c.fail("\"strands\" must be a non-empty list of point lists");
        std::vector<std::vector<xrVector>> strands;
        for (size_t i = 0; i < a.size(); ++i) {
            const Ctx sc = c.sub("strands[" + std::to_string(i) + "]");
            const std::vector<float> v = numbers(a[i], 6, sc, "strands");
            if (v.size() % 3 != 0) sc.fail("a strand needs x, y, z for each of its points");
            std::vector<xrVector> q;
            for (size_t k = 0; k < v.size(); k += 3) q.push_back({v[k], v[k + 1], v[k + 2]});
            strands.push_back(std::move(q));
        }
        return hairFromStrands(strands, style);
    }
    FurSettings fur;
    fur.count = getInt(j, "count", 1000, c);
    fur.length = getNum(j, "length", 0.1f, c);
    fur.segments = getInt(j, "segments", 4, c);
    fur.randomness = getNum(j, "randomness", 0.1f, c);
    fur.seed = uint32_t(getInt(j, "seed", 1, c));
    fur.bend = vec3(j, "bend", {0, 0, 0}, c);
    if (fur.count < 1 || fur.count > 10000000) c.fail("\"count\" must be 1 to 10000000");
    if (!(fur.length > 0)) c.fail("\"length\" must be positive");
    // Strands wider than they are long are not hair; such widths (a slip
    // of units) fill the space round the surface with thousands of
    // overlapping strands that every ray must cross.
    if (style.width > fur.length || style.tipWidth > fur.length)
        c.fail("\"width\" and \"tipWidth\" must not exceed \"length\" (" + std::to_string(fur.length) + ")");
    if (fur.segments < 1 || fur.segments > 64) c.fail("\"segments\" must be 1 to 64");
    if (fur.randomness < 0) c.fail("\"randomness\" must not be negative");
    const Mesh surface = parseMesh(j["surface"], baseDir, c.sub("surface"));
    HairGeom h = growFur(surface, fur, style);
    if (h.strands() == 0) c.fail("\"surface\" has no area to grow hair on");
    return h;
}

// An object's material is called with a colour as its result, so it must be
// a shading engine. A surface shader named as a material gets a default
// shading engine of its own; any other node is refused (its result would not
// fit, and it does not handle shadow rays).
bool isSurfaceShader(const NodeDecl &d) { return !d.wantsStateArg && d.resultField("outTransparency"); }

Instance *materialNode(Network &net, Instance *inst, const Ctx &c) {
    const NodeDecl *d = inst->decl;
    if (d && d->name == "veko_shadingengine") return inst;
    if (d && d->declared && isSurfaceShader(*d)) {
        const std::string name = inst->name + "#shadingEngine";
        if (Instance *sg = net.find(name)) return sg;
        Instance &sg = net.add(name, "veko_shadingengine");
        net.connect(sg, "surfaceShader", inst->name);
        return &sg;
    }
    // Other material nodes (an image plane, say) return one colour; light
    // nodes do too but expect a light state.
    const std::string type = d ? d->name : std::string("unknown");
    const bool lightNode = type.size() > 5 && type.compare(type.size() - 5, 5, "light") == 0;
    if (d && d->declared && !d->wantsStateArg && !lightNode && d->resultBytes <= int(sizeof(xrColor))) return inst;
    c.fail("\"material\" names node \"" + inst->name + "\" of type " + type +
           "; a material must be a shading engine (veko_shadingengine), a surface shader or a material node with a "
           "colour result (veko_imageplane, ...)");
}

// A light's shader is called with a colour as its result and a light state:
// only light nodes qualify.
void checkLightShader(const Instance &inst, const Ctx &c) {
    const NodeDecl *d = inst.decl;
    const std::string type = d ? d->name : std::string("unknown");
    const bool light = d && d->declared && !d->wantsStateArg && type.size() > 5 &&
                       type.compare(type.size() - 5, 5, "light") == 0 && d->resultBytes <= int(sizeof(xrColor));
    if (!light)
        c.fail("\"shader\" names node \"" + inst.name + "\" of type " + type +
               "; a light's shader must be a light node (veko_pointlight, veko_spotlight, ...)");
}

std::mutex g_nativeMutex;
std::map<std::string, std::unique_ptr<NativeMaterial>> &natives() {
    static std::map<std::string, std::unique_ptr<NativeMaterial>> m;
    return m;
}

xrTag createInstanceRecord(Scene &s, const Mat4 &toWorld, const Mat4 &fromWorld, xrTag label, xrTag dataTag,
                           xrTag objectTag) {
    InstanceRecord rec{};
    std::memcpy(rec.toWorld, toWorld.m, sizeof rec.toWorld);
    std::memcpy(rec.fromWorld, fromWorld.m, sizeof rec.fromWorld);
    rec.label = label;
    rec.dataTag = dataTag;
    rec.objectTag = objectTag;
    xrTag t = Database::get().create(xrDB_INSTANCE, &rec, sizeof rec);
    s.ownedTags.push_back(t);
    return t;
}

// The light element behind a light instance (query 7): the shape code and
// its geometry in light space.
struct LightRecord {
    int32_t shape;
    xrVector edge1, edge2, discNormal;
    float radius;
    int32_t samples;
};

}  // namespace

// Gives an object its mesh: bounds (grown by `grow` on every side), the
// world-space mesh (a mirroring transform reverses the winding), triangle
// normals and the surface derivatives of every texture space in object space.
void setObjectMesh(Scene &s, ObjectInst &ob, const Mesh &m, float grow) {
    // Object-space bounds.
    xrVector lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
    for (auto &p : m.P) {
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    }
    ob.bbox[0] = lo.x, ob.bbox[1] = lo.y, ob.bbox[2] = lo.z;
    ob.bbox[3] = hi.x, ob.bbox[4] = hi.y, ob.bbox[5] = hi.z;
    // To world space; a mirroring transform reverses the winding.
    const float *t = ob.toWorld.m;
    float det = t[0] * (t[5] * t[10] - t[6] * t[9]) - t[1] * (t[4] * t[10] - t[6] * t[8]) +
                t[2] * (t[4] * t[9] - t[5] * t[8]);
    Mesh &w = ob.world;
    w = m;
    for (auto &p : w.P) {
        p = ob.toWorld.point(p);
        if (!withinWorld(p)) throw Error(kBeyondWorld);  // the caller names the object
    }
    for (auto &n : w.N) n = normalize(ob.fromWorld.normalFromInverse(n));
    if (det < 0)
        for (size_t k = 0; k < w.tri.size(); k += 3) std::swap(w.tri[k + 1], w.tri[k + 2]);
    const size_t nt = w.tri.size() / 3;
    ob.Ng.resize(nt);
    ob.dPdu.assign(w.uv.size(), std::vector<xrVector>(nt));
    ob.dPdv.assign(w.uv.size(), std::vector<xrVector>(nt));
    for (size_t k = 0; k < nt; ++k) {
        const xrVector &p0 = w.P[w.tri[3 * k]], &p1 = w.P[w.tri[3 * k + 1]], &p2 = w.P[w.tri[3 * k + 2]];
        xrVector e1 = p1 - p0, e2 = p2 - p0;
        ob.Ng[k] = normalize(cross(e1, e2));
        // Surface derivatives are kept in object space (xrState::derivU).
        const xrVector e1o = m.P[w.tri[3 * k + 1]] - m.P[w.tri[3 * k]];
        const xrVector e2o = m.P[w.tri[3 * k + 2]] - m.P[w.tri[3 * k]];
        for (size_t set = 0; set < w.uv.size(); ++set) {
            const auto &uv = w.uv[set];
            xrVector d1 = uv[w.tri[3 * k + 1]] - uv[w.tri[3 * k]], d2 = uv[w.tri[3 * k + 2]] - uv[w.tri[3 * k]];
            float dt = d1.x * d2.y - d2.x * d1.y;
            xrVector du, dv;
            if (std::fabs(dt) > 1e-20f) {
                du = (e1o * d2.y - e2o * d1.y) * (1.0f / dt);
                dv = (e2o * d1.x - e1o * d2.x) * (1.0f / dt);
            } else {  // degenerate uvs: any frame in the plane
                du = normalize(e1o);
                dv = cross(normalize(cross(e1o, e2o)), du);
            }
            ob.dPdu[set][k] = du;
            ob.dPdv[set][k] = dv;
        }
    }
    s.uvSets = std::max(s.uvSets, int(w.uv.size()));
    for (int k = 0; k < 3; ++k) {
        ob.bbox[k] -= grow;
        ob.bbox[k + 3] += grow;
    }
}

bool Mat4::invert(Mat4 &out) const {
    double a[4][8];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 8; ++c) a[r][c] = c < 4 ? m[r * 4 + c] : (c - 4 == r ? 1.0 : 0.0);
    for (int c = 0; c < 4; ++c) {
        int p = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        if (std::fabs(a[p][c]) < 1e-12) return false;
        if (p != c)
            for (int k = 0; k < 8; ++k) std::swap(a[p][k], a[c][k]);
        double d = a[c][c];
        for (int k = 0; k < 8; ++k) a[c][k] /= d;
        for (int r = 0; r < 4; ++r)
            if (r != c && a[r][c] != 0) {
                double f = a[r][c];
                for (int k = 0; k < 8; ++k) a[r][k] -= f * a[c][k];
            }
    }
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out.m[r * 4 + c] = float(a[r][c + 4]);
    return true;
}

void registerNativeMaterial(const std::string &name, NativeMaterial fn) {
    std::lock_guard<std::mutex> lock(g_nativeMutex);
    natives()[name] = std::make_unique<NativeMaterial>(std::move(fn));
}

Scene::Scene(Library &l) : lib(l), net(std::make_unique<Network>(l)) { xr_init_lock(&lock); }

SceneSettings &settingsOf(Scene &s) { return s.settings; }
xrOptions &optionsOf(Scene &s) { return s.options; }
xrCamera &cameraOf(Scene &s) { return s.camera; }
Network &networkOf(Scene &s) { return *s.net; }
void *embreeScene(Scene &s) { return s.rtc; }

ObjectInfo objectInfo(const Scene &s, const std::string &name) {
    for (auto &o : s.objects)
        if (o->name == name) return {o->tag, o->objectTag, o->dataTag};
    return {};
}

void Scene::buildAccel() {
    device = rtcNewDevice(nullptr);
    if (!device) throw Error(where + ": cannot create the ray-tracing device");
    rtc = rtcNewScene(device);
    rtcSetSceneBuildQuality(rtc, RTC_BUILD_QUALITY_HIGH);
    rtcSetSceneFlags(rtc, RTC_SCENE_FLAG_ROBUST);
    bool any = false;
    xrVector lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
    for (auto &o : objects) {
        if (o->hair) {
            xrVector hl, hh;
            hairBounds(*o->hair, hl, hh);
            lo = {std::min(lo.x, hl.x), std::min(lo.y, hl.y), std::min(lo.z, hl.z)};
            hi = {std::max(hi.x, hh.x), std::max(hi.y, hh.y), std::max(hi.z, hh.z)};
            RTCGeometry g = hairGeometry(device, *o->hair);
            o->geomID = rtcAttachGeometry(rtc, g);
            rtcReleaseGeometry(g);
            any = true;
            continue;
        }
        const Mesh &m = o->world;
        RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
        // A moving object has its places at shutter open and close (its
        // vertices travel by `motion` per unit of sample time).
        const bool moving = !o->motion.empty();
        const float times[2] = {options.shutterOpen, options.shutterClose};
        if (moving) rtcSetGeometryTimeStepCount(g, 2);
        for (unsigned step = 0; step < (moving ? 2u : 1u); ++step) {
            auto *vb = static_cast<float *>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, step, RTC_FORMAT_FLOAT3,
                                                                    3 * sizeof(float), m.P.size()));
            for (size_t i = 0; i < m.P.size(); ++i) {
                const xrVector p = moving ? m.P[i] + o->toWorld.vector(o->motion[i]) * times[step] : m.P[i];
                vb[i * 3] = p.x;
                vb[i * 3 + 1] = p.y;
                vb[i * 3 + 2] = p.z;
                lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
                hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
            }
        }
        auto *ib = static_cast<unsigned *>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                                                   3 * sizeof(unsigned), m.tri.size() / 3));
        std::copy(m.tri.begin(), m.tri.end(), ib);
        rtcCommitGeometry(g);
        o->geomID = rtcAttachGeometry(rtc, g);
        rtcReleaseGeometry(g);
        any = true;
    }
    rtcCommitScene(rtc);
    if (rtcGetDeviceError(device) != RTC_ERROR_NONE) throw Error(where + ": building the ray-tracing structure failed");
    for (auto &l : lights) {
        lo = {std::min(lo.x, l->position.x), std::min(lo.y, l->position.y), std::min(lo.z, l->position.z)};
        hi = {std::max(hi.x, l->position.x), std::max(hi.y, l->position.y), std::max(hi.z, l->position.z)};
        any = true;
    }
    if (!any) lo = hi = {0, 0, 0};
    boundsMin = lo;
    boundsMax = hi;
    center = (lo + hi) * 0.5f;
    radius = std::max(0.5f * length(hi - lo), 1e-3f);
    float extent = std::max({std::fabs(lo.x), std::fabs(lo.y), std::fabs(lo.z), std::fabs(hi.x), std::fabs(hi.y),
                             std::fabs(hi.z), radius});
    eps = std::max(1e-5f, extent * 2e-5f);
}

Scene::~Scene() {
    if (initialized) {
        // The shaders' exit functions run with a state that looks like a
        // render's: camera, options, lock and host data.
        xrState st{};
        RayContext ctx;
        ThreadContext *tc = createThreadContext(0);
        ctx.thread = tc;
        st.cameraRecord = &camera;
        st.optionsRecord = &options;
        st.libraryLock = lock;
        st.cameraInstanceTag = cameraTag;
        st.hostContext = &ctx;
        net->exit(&st);
        destroyThreadContext(tc);
    }
    net.reset();
    if (rtc) rtcReleaseScene(rtc);
    if (device) rtcReleaseDevice(device);
    for (xrTag t : ownedTags) Database::get().remove(t);
    xr_delete_lock(&lock);
}

void SceneDeleter::operator()(Scene *s) const { delete s; }

ScenePtr loadScene(Library &lib, const std::string &path, int width, int height) {
    std::ifstream in(path);
    if (!in) throw Error(path + ": cannot open scene file");
    json doc;
    try {
        doc = json::parse(in);
    } catch (const json::exception &e) {
        throw Error(path + ": not valid JSON: " + e.what());
    }
    if ((width > 0 || height > 0) && doc.is_object() && doc.contains("camera") && doc["camera"].is_object()) {
        // The image size given in place of the camera's: what is built at
        // load for the image (displaced tessellation) is built for this size.
        json &cam = doc["camera"];
        json r = cam.value("resolution", json::array({320, 240}));
        if (r.is_array() && r.size() == 2) {
            if (width > 0) r[0] = width;
            if (height > 0) r[1] = height;
            cam["resolution"] = r;
        }
    }
    std::string dir = std::filesystem::path(path).parent_path().string();
    return loadSceneJson(lib, doc, path, dir.empty() ? "." : dir);
}

namespace {

// Further camera instances ("cameras"): not rendered; projections and other
// nodes name them as tags.
void parseCameras(const json &list, Scene &s, const Ctx &root, std::map<std::string, bool> &names) {
    if (!list.is_array()) root.fail("\"cameras\" must be a list");
    for (size_t i = 0; i < list.size(); ++i) {
        const json &j = list[i];
        Ctx c = root.sub("cameras[" + std::to_string(i) + "]");
        if (!j.is_object()) c.fail("must be an object");
        for (auto it = j.begin(); it != j.end(); ++it) {
            static const char *keys[] = {"name", "type", "focalLength", "aperture", "transform", "userData"};
            if (std::find_if(std::begin(keys), std::end(keys), [&](const char *k) { return it.key() == k; }) ==
                std::end(keys))
                c.fail("unknown key \"" + it.key() + "\"");
        }
        const std::string name = getStr(j, "name", "", c);
        if (name.empty()) c.fail("needs a \"name\"");
        c.elem += " (\"" + name + "\")";
        if (!names.emplace(name, true).second) c.fail("duplicate name");
        xrCamera k{};
        const std::string type = getStr(j, "type", "perspective", c);
        if (type != "perspective" && type != "orthographic") c.fail("\"type\" must be perspective or orthographic");
        k.isOrthographic = type == "orthographic";
        k.focalLength = getNum(j, "focalLength", 35, c);
        k.apertureWidth = getNum(j, "aperture", 36, c);
        if (k.focalLength <= 0 || k.apertureWidth <= 0) c.fail("focal length and aperture must be positive");
        k.pixelAspect = 1;
        k.imageWidth = s.camera.imageWidth;
        k.imageHeight = s.camera.imageHeight;
        k.nearClip = 0.01f;
        k.farClip = 1e6f;
        k.cameraDataTag = parseUserData(j.value("userData", json()), s, c);
        const Mat4 toWorld = parseTransform(j.value("transform", json()), c.sub("transform"));
        Mat4 fromWorld;
        if (!toWorld.invert(fromWorld)) c.fail("transform is singular");
        const xrTag item = Database::get().create(kDbCamera, &k, sizeof k);
        s.ownedTags.push_back(item);
        s.net->defineTag(name, createInstanceRecord(s, toWorld, fromWorld, 0, k.cameraDataTag, item));
    }
}

}  // namespace

ScenePtr loadSceneJson(Library &lib, const json &doc, const std::string &where, const std::string &baseDir) {
    Ctx root{where, ""};
    if (!doc.is_object()) root.fail("a scene must be a JSON object");
    static const char *known[] = {"nodes", "camera", "options", "state", "objects", "lights", "cameras", "images",
                                  "imagePlanes"};
    for (auto it = doc.begin(); it != doc.end(); ++it)
        if (std::find_if(std::begin(known), std::end(known), [&](const char *k) { return it.key() == k; }) ==
            std::end(known))
            root.fail("unknown key \"" + it.key() + "\"");

    ScenePtr scene(new Scene(lib));
    Scene &s = *scene;
    s.where = where;

    // Options.
    {
        Ctx c = root.sub("options");
        const json o = doc.value("options", json::object());
        if (!o.is_object()) c.fail("must be an object");
        xrOptions &op = s.options;
        op.traceEnabled = getBool(o, "trace", true, c);
        op.modeCode = getInt(o, "modeCode", 0, c);
        op.motionBlurOn = getBool(o, "motionBlur", false, c);
        op.maxReflectionDepth = getInt(o, "reflectionDepth", 2, c);
        op.maxRefractionDepth = getInt(o, "refractionDepth", 2, c);
        op.maxTraceDepth = getInt(o, "traceDepth", 4, c);
        if (op.maxReflectionDepth < 0 || op.maxRefractionDepth < 0 || op.maxTraceDepth < 0)
            c.fail("depth limits must not be negative");
        std::string sh = getStr(o, "shadows", "simple", c);
        if (sh == "simple" || sh == "on") op.shadowModeChar = 'o';
        else if (sh == "sorted") op.shadowModeChar = 'r';
        else if (sh == "segments") op.shadowModeChar = 's';
        else c.fail("\"shadows\" must be \"simple\", \"sorted\" or \"segments\"");
        op.shadowMapsOn = getBool(o, "shadowMaps", false, c);
        op.autoVolume = getBool(o, "autoVolume", false, c);
        op.photonVolumeWord1 = getBool(o, "volumeIrradiance", false, c);
        op.finalGatherOn = getBool(o, "finalGather", false, c);
        op.finalGatherRays = getInt(o, "finalGatherRays", 16, c);
        if (op.finalGatherRays < 0) c.fail("\"finalGatherRays\" must not be negative");
        if (op.finalGatherRays > kMaxRaysPerSample) {
            hostMessage(Severity::Warning, c.file + ": options: finalGatherRays = " + std::to_string(op.finalGatherRays) +
                                               " is more than " + std::to_string(kMaxRaysPerSample) + "; using " +
                                               std::to_string(kMaxRaysPerSample));
            op.finalGatherRays = kMaxRaysPerSample;
        }
        s.gatherMinRadius = float(getNum(o, "finalGatherMinRadius", 0, c));
        s.gatherMaxRadius = float(getNum(o, "finalGatherMaxRadius", 0, c));
        if (!(s.gatherMinRadius >= 0) || !(s.gatherMaxRadius >= 0))
            c.fail("\"finalGatherMinRadius\" and \"finalGatherMaxRadius\" must not be negative");
        if (o.contains("shutter")) {
            auto v = numbers(o["shutter"], 2, c, "shutter");
            op.shutterOpen = v[0];
            op.shutterClose = v[1];
        }
        op.optionsDataTag = parseUserData(o.value("userData", json()), s, c);
        for (auto it = o.begin(); it != o.end(); ++it) {
            static const char *keys[] = {"trace", "modeCode", "motionBlur", "reflectionDepth", "refractionDepth",
                                         "traceDepth", "shadows", "shadowMaps", "autoVolume", "finalGather",
                                         "finalGatherRays", "shutter", "userData", "volumeIrradiance",
                                         "finalGatherMinRadius", "finalGatherMaxRadius"};
            if (std::find_if(std::begin(keys), std::end(keys), [&](const char *k) { return it.key() == k; }) ==
                std::end(keys))
                c.fail("unknown key \"" + it.key() + "\"");
        }
    }

    // Camera.
    const json cam = doc.value("camera", json::object());
    {
        Ctx c = root.sub("camera");
        if (!cam.is_object()) c.fail("must be an object");
        xrCamera &k = s.camera;
        std::string type = getStr(cam, "type", "perspective", c);
        if (type != "perspective" && type != "orthographic") c.fail("\"type\" must be perspective or orthographic");
        k.isOrthographic = type == "orthographic";
        int w = 320, h = 240;
        if (cam.contains("resolution")) {
            const json &r = cam["resolution"];
            if (!r.is_array() || r.size() != 2 || !r[0].is_number_integer() || !r[1].is_number_integer())
                c.fail("\"resolution\" must be [width, height]");
            w = r[0].get<int>();
            h = r[1].get<int>();
        }
        if (w < 1 || h < 1 || w > 32768 || h > 32768) c.fail("resolution must be 1 to 32768 pixels a side");
        k.imageWidth = w;
        k.imageHeight = h;
        k.focalLength = getNum(cam, "focalLength", 35, c);
        k.apertureWidth = getNum(cam, "aperture", 36, c);
        k.pixelAspect = getNum(cam, "pixelAspect", 1, c);
        if (k.focalLength <= 0 || k.apertureWidth <= 0 || k.pixelAspect <= 0)
            c.fail("focal length, aperture and pixel aspect must be positive");
        k.nearClip = 0.01f;
        k.farClip = 1e6f;
        if (cam.contains("clip")) {
            auto v = numbers(cam["clip"], 2, c, "clip");
            k.nearClip = v[0];
            k.farClip = v[1];
        }
        if (!(k.nearClip > 0) || !(k.farClip > k.nearClip)) c.fail("clip planes must satisfy 0 < near < far");
        k.frameValue = getNum(cam, "frame", 1, c);
        s.settings.time = getNum(cam, "time", 0, c);
        if (!std::isfinite(k.frameValue) || !std::isfinite(s.settings.time))
            c.fail("\"frame\" and \"time\" must be finite numbers");
        s.camToWorld = parseTransform(cam.value("transform", json()), c.sub("transform"));
        if (!withinWorld(s.camToWorld.point({0, 0, 0}))) c.fail(kBeyondWorld);
        if (!s.camToWorld.invert(s.worldToCam)) c.fail("camera transform is singular");
        s.settings.width = w;
        s.settings.height = h;
        s.settings.samples = getInt(cam, "samples", 1, c);
        if (s.settings.samples < 1 || s.settings.samples > 65536) c.fail("\"samples\" must be 1 to 65536");
        if (cam.contains("filter")) {
            const json &f = cam["filter"];
            Ctx fc = c.sub("filter");
            std::string ft = f.is_string() ? f.get<std::string>() : getStr(f, "type", "box", fc);
            if (ft == "box") s.filter = FilterType::Box;
            else if (ft == "triangle") s.filter = FilterType::Triangle;
            else if (ft == "gaussian") s.filter = FilterType::Gaussian;
            else if (ft == "mitchell") s.filter = FilterType::Mitchell;
            else fc.fail("unknown filter \"" + ft + "\"");
            float def = s.filter == FilterType::Box ? 1.0f : (s.filter == FilterType::Triangle ? 2.0f : 3.0f);
            s.filterWidth = f.is_object() ? getNum(f, "width", def, fc) : def;
            if (s.filterWidth < 0.5f || s.filterWidth > 8) fc.fail("\"width\" must be 0.5 to 8 pixels");
        }
        if (cam.contains("outputs")) {
            const json &o = cam["outputs"];
            if (!o.is_array()) c.fail("\"outputs\" must be a list of file names");
            for (auto &x : o) {
                if (!x.is_string()) c.fail("\"outputs\" must be a list of file names");
                std::filesystem::path p(x.get<std::string>());
                if (p.is_relative()) p = std::filesystem::path(baseDir) / p;
                s.settings.outputs.push_back(p.string());
            }
        }
        s.settings.alpha = getBool(cam, "alpha", true, c);
        k.cameraDataTag = parseUserData(cam.value("userData", json()), s, c);
        s.cameraItemTag = Database::get().create(kDbCamera, &k, sizeof k);
        s.ownedTags.push_back(s.cameraItemTag);
        s.cameraTag = createInstanceRecord(s, s.camToWorld, s.worldToCam, 0, k.cameraDataTag, s.cameraItemTag);
        for (auto it = cam.begin(); it != cam.end(); ++it) {
            static const char *keys[] = {"type", "resolution", "focalLength", "aperture", "pixelAspect", "clip",
                                         "frame", "transform", "environment", "volume", "samples", "filter",
                                         "outputs", "userData", "name", "time", "alpha", "lens",
                                         "outputShaders", "contours"};
            if (std::find_if(std::begin(keys), std::end(keys), [&](const char *kk) { return it.key() == kk; }) ==
                std::end(keys))
                c.fail("unknown key \"" + it.key() + "\"");
        }
    }

    // Object instances and lights get their database records first, so the
    // network can name them as tags.
    json objs = doc.value("objects", json::array());
    const json lts = doc.value("lights", json::array());
    if (!objs.is_array()) root.fail("\"objects\" must be a list");
    // Image planes become objects after the scene's own.
    const size_t sceneObjects = objs.size();
    if (doc.contains("imagePlanes")) appendImagePlanes(s, doc["imagePlanes"], objs, where);
    auto objectElem = [&](size_t i) {
        return i < sceneObjects ? "objects[" + std::to_string(i) + "]"
                                : "imagePlanes[" + std::to_string(i - sceneObjects) + "]";
    };
    if (!lts.is_array()) root.fail("\"lights\" must be a list");
    std::map<std::string, bool> names;
    if (cam.contains("name")) {
        Ctx c = root.sub("camera");
        const std::string name = getStr(cam, "name", "", c);
        if (name.empty()) c.fail("\"name\" must not be empty");
        names.emplace(name, true);
        s.net->defineTag(name, s.cameraTag);
    }
    parseCameras(doc.value("cameras", json::array()), s, root, names);
    std::vector<DeferredObject> deferred;  // meshes made by shaders, after the network is loaded
    std::vector<size_t> deferredIndex;     // their places in "objects"
    for (size_t i = 0; i < objs.size(); ++i) {
        const json &o = objs[i];
        Ctx c = root.sub(objectElem(i));
        if (!o.is_object()) c.fail("must be an object");
        auto ob = std::make_unique<ObjectInst>();
        ob->name = getStr(o, "name", "object" + std::to_string(i), c);
        c.elem += " (\"" + ob->name + "\")";
        if (!names.emplace(ob->name, true).second) c.fail("duplicate name");
        for (auto it = o.begin(); it != o.end(); ++it) {
            static const char *keys[] = {"name", "mesh", "hair", "transform", "material", "label", "userData", "lights",
                                         "parent", "geometry", "displacement", "shadow", "particles", "fluid",
                                         "volume", "motion"};
            if (std::find_if(std::begin(keys), std::end(keys), [&](const char *k) { return it.key() == k; }) ==
                std::end(keys))
                c.fail("unknown key \"" + it.key() + "\"");
        }
        ob->toWorld = parseTransform(o.value("transform", json()), c.sub("transform"));
        if (!withinWorld(ob->toWorld.point({0, 0, 0}))) c.fail(kBeyondWorld);
        if (!ob->toWorld.invert(ob->fromWorld)) c.fail("transform is singular");
        int label = getInt(o, "label", 0, c);
        if (label < 0) c.fail("\"label\" must not be negative");
        ob->label = xrTag(label);
        // A particle system: its block goes to the end of the object's user
        // data; without a mesh, a box round the particles contains them.
        xrTag particleTag = 0;
        if (o.contains("motion") && !o.contains("particles")) c.fail("\"motion\" is for particle objects");
        if (o.contains("particles")) {
            ParticleSystem ps = parseParticles(o["particles"], baseDir, c.file + ": " + c.elem + ": particles");
            if (o.contains("motion")) ob->motionTransform = parseTransform(o["motion"], c.sub("motion"));
            placeParticles(ps, ob->toWorld.m, ob->motionTransform.m, s.options.shutterOpen, s.options.shutterClose);
            particleTag = createUserData(ps.words[0], std::vector<uint32_t>(ps.words.begin() + 1, ps.words.end()));
            ob->particleData = particleTag;
            s.ownedTags.push_back(particleTag);
            s.net->defineTag(ob->name + ".particles", particleTag);
            if (!o.contains("mesh") && !o.contains("geometry") && !o.contains("hair")) {
                Mesh m = makeBox(json{{"size", {ps.hi.x - ps.lo.x, ps.hi.y - ps.lo.y, ps.hi.z - ps.lo.z}}}, c);
                const xrVector mid = (ps.lo + ps.hi) * 0.5f;
                for (xrVector &p : m.P) p = p + mid;
                try {
                    setObjectMesh(s, *ob, m);
                } catch (const Error &e) {
                    c.fail(e.what());
                }
            }
        }
        if (particleTag && !o.contains("mesh") && !o.contains("geometry") && !o.contains("hair")) {
            if (o.contains("displacement")) c.fail("\"displacement\" needs a \"mesh\"");
        } else if (o.contains("hair")) {
            if (o.contains("mesh") || o.contains("geometry") || o.contains("displacement"))
                c.fail("\"hair\" takes the place of a \"mesh\" or \"geometry\"");
            ob->hair = std::make_unique<HairGeom>(parseHair(o["hair"], baseDir, c.sub("hair")));
            xrVector lo, hi;
            hairBounds(*ob->hair, lo, hi);
            ob->bbox[0] = lo.x, ob->bbox[1] = lo.y, ob->bbox[2] = lo.z;
            ob->bbox[3] = hi.x, ob->bbox[4] = hi.y, ob->bbox[5] = hi.z;
            transformHair(*ob->hair, ob->toWorld);
        } else if (const bool hasGeometry = o.contains("geometry"), hasDisplace = o.contains("displacement");
                   hasGeometry == o.contains("mesh")) {
            c.fail("needs either a \"mesh\" or a \"geometry\" shader");
        } else if (hasGeometry || hasDisplace) {
            // Made at scene preparation, once the shaders are loaded.
            DeferredObject d;
            d.object = ob.get();
            d.where = c.file + ": " + c.elem;
            if (!hasGeometry) {
                d.mesh = parseMesh(o["mesh"], baseDir, c.sub("mesh"));
                s.uvSets = std::max(s.uvSets, int(d.mesh.uv.size()));
            }
            deferred.push_back(std::move(d));
            deferredIndex.push_back(i);
        } else {
            const Mesh m = parseMesh(o["mesh"], baseDir, c.sub("mesh"));
            try {
                setObjectMesh(s, *ob, m);
            } catch (const Error &e) {
                c.fail(e.what());
            }
        }
        // The object's own user data comes first (a volume's call mode is
        // the first block of its chain), then the fluid block, then the
        // particle block; "<object>.fluid" and "<object>.particles" name them.
        xrTag dataTail = particleTag;
        if (o.contains("fluid")) {
            dataTail = createUserData(0x56656B6Fu, loadFluidBlock(o["fluid"], baseDir, c.file + ": " + c.elem + ".fluid"),
                                      particleTag);
            s.ownedTags.push_back(dataTail);
            s.net->defineTag(ob->name + ".fluid", dataTail);
        }
        json userData = o.value("userData", json());
        // A volume container whose chain would otherwise start with a data
        // block gets its call mode explicitly: one direct call for particles
        // (their shader pushes its own samples), one march step otherwise.
        if (userData.is_null() && o.contains("volume") && dataTail)
            userData = json::array({0, o.contains("particles") && !o.contains("fluid") ? 1 : 0, 1, 0});
        ob->dataTag = parseUserData(userData, s, c, dataTail);
        // The object element carries the user data at word 12 as well.
        std::vector<uint32_t> objWords(16, 0);
        objWords[12] = ob->dataTag;
        ob->objectTag = Database::get().create(xrDB_OBJECT, objWords.data(), objWords.size() * 4);
        s.ownedTags.push_back(ob->objectTag);
        ob->tag = createInstanceRecord(s, ob->toWorld, ob->fromWorld, ob->label, ob->dataTag, ob->objectTag);
        std::memcpy(static_cast<InstanceRecord *>(Database::get().data(ob->tag))->motion, ob->motionTransform.m,
                    sizeof ob->motionTransform.m);
        if (o.contains("parent")) {  // the instance this one derives from (query 8)
            const std::string parent = getStr(o, "parent", "", c);
            auto it = std::find_if(s.objects.begin(), s.objects.end(), [&](auto &x) { return x->name == parent; });
            if (it == s.objects.end()) c.fail("\"parent\" must name an earlier object");
            static_cast<InstanceRecord *>(Database::get().data(ob->tag))->parent = (*it)->tag;
        }
        ob->imagePlane = i >= sceneObjects;
        s.objectByTag[ob->tag] = ob.get();
        s.net->defineTag(ob->name, ob->tag);
        s.objects.push_back(std::move(ob));
    }
    for (size_t i = 0; i < lts.size(); ++i) {
        const json &l = lts[i];
        Ctx c = root.sub("lights[" + std::to_string(i) + "]");
        if (!l.is_object()) c.fail("must be an object");
        auto li = std::make_unique<LightInst>();
        li->name = getStr(l, "name", "light" + std::to_string(i), c);
        c.elem += " (\"" + li->name + "\")";
        if (!names.emplace(li->name, true).second) c.fail("duplicate name");
        for (auto it = l.begin(); it != l.end(); ++it) {
            static const char *keys[] = {"name", "shader", "transform", "area"};
            if (std::find_if(std::begin(keys), std::end(keys), [&](const char *k) { return it.key() == k; }) ==
                std::end(keys))
                c.fail("unknown key \"" + it.key() + "\"");
        }
        li->toWorld = parseTransform(l.value("transform", json()), c.sub("transform"));
        if (!withinWorld(li->toWorld.point({0, 0, 0}))) c.fail(kBeyondWorld);
        if (!li->toWorld.invert(li->fromWorld)) c.fail("transform is singular");
        li->position = li->toWorld.point({0, 0, 0});
        li->axis = normalize(li->toWorld.vector({0, 0, -1}));
        li->index = int(i);
        if (l.contains("area")) {
            const json &a = l["area"];
            Ctx ac = c.sub("area");
            if (!a.is_object()) ac.fail("must be an object");
            std::string shape = getStr(a, "shape", "rectangle", ac);
            li->samples = getInt(a, "samples", 8, ac);
            if (li->samples < 1 || li->samples > 4096) ac.fail("\"samples\" must be 1 to 4096");
            if (shape == "rectangle") {
                li->shape = kShapeRectangle;
                float w = 1, h = 1;
                if (a.contains("size")) {
                    if (a["size"].is_number()) w = h = a["size"].get<float>();
                    else {
                        auto v = numbers(a["size"], 2, ac, "size");
                        w = v[0];
                        h = v[1];
                    }
                }
                if (w <= 0 || h <= 0) ac.fail("\"size\" must be positive");
                // Emitting towards light-space -z: edge1 x edge2 points along -z.
                li->edge1 = {w, 0, 0};
                li->edge2 = {0, -h, 0};
                if (a.contains("edges")) {
                    const json &e = a["edges"];
                    if (!e.is_array() || e.size() != 2) ac.fail("\"edges\" must be two vectors");
                    auto e1 = numbers(e[0], 3, ac, "edges"), e2 = numbers(e[1], 3, ac, "edges");
                    li->edge1 = {e1[0], e1[1], e1[2]};
                    li->edge2 = {e2[0], e2[1], e2[2]};
                    if (length(cross(li->edge1, li->edge2)) <= 0) ac.fail("\"edges\" must not be parallel");
                }
            } else if (shape == "disc") {
                li->shape = kShapeDisc;
                li->radius = getNum(a, "radius", 0.5f, ac);
                li->discNormal = normalize(vec3(a, "normal", {0, 0, -1}, ac));
                if (li->radius <= 0 || length(li->discNormal) == 0) ac.fail("disc needs a positive radius and a normal");
            } else if (shape == "sphere") {
                li->shape = kShapeSphere;
                li->radius = getNum(a, "radius", 0.5f, ac);
                if (li->radius <= 0) ac.fail("sphere needs a positive radius");
            } else if (shape == "cylinder") {
                // Around the light-space x axis, x from -1 to 1.
                li->shape = kShapeCylinder;
                li->radius = getNum(a, "radius", 0.5f, ac);
                if (li->radius <= 0) ac.fail("cylinder needs a positive radius");
            } else if (shape == "object") {
                li->shape = kShapeObject;
                const std::string on = getStr(a, "object", "", ac);
                auto it = std::find_if(s.objects.begin(), s.objects.end(),
                                       [&](const std::unique_ptr<ObjectInst> &o) { return o->name == on; });
                if (it == s.objects.end()) ac.fail("no object named \"" + on + "\" for the object shape");
                ObjectInst &ob = **it;
                if (ob.world.P.empty())
                    ac.fail("object \"" + on + "\" has no mesh when lights are read (hair, or a mesh made by a shader) and cannot be a light's shape");
                if (ob.emits) ac.fail("object \"" + on + "\" is already the shape of another light");
                li->object = &ob;
                // Light space is the object's space; samples pick triangles by area.
                li->toWorld = ob.toWorld;
                li->fromWorld = ob.fromWorld;
                const Mesh &m = ob.world;
                float total = 0;
                xrVector centroid{0, 0, 0};
                for (size_t k = 0; k < m.tri.size(); k += 3) {
                    const xrVector &p0 = m.P[m.tri[k]], &p1 = m.P[m.tri[k + 1]], &p2 = m.P[m.tri[k + 2]];
                    const float area = 0.5f * length(cross(p1 - p0, p2 - p0));
                    total += area;
                    centroid = centroid + (p0 + p1 + p2) * (area / 3);
                    li->triangleCdf.push_back(total);
                }
                if (!(total > 0)) ac.fail("object \"" + on + "\" has no area to emit from");
                li->position = centroid * (1 / total);
            } else {
                ac.fail("unknown area shape \"" + shape + "\"");
            }
            li->visible = getBool(a, "visible", false, ac);
            if (li->object && li->visible) const_cast<ObjectInst *>(li->object)->emits = li.get();
        }
        if (!withinWorld(li->edge1) || !withinWorld(li->edge2) || !(li->radius <= kMaxWorldCoord))
            c.fail("area light is larger than " + std::to_string(int64_t(kMaxWorldCoord)) + " units");
        LightRecord lr{li->shape, li->edge1, li->edge2, li->discNormal, li->radius, li->samples};
        li->lightTag = Database::get().create(kDbLight, &lr, sizeof lr);
        s.ownedTags.push_back(li->lightTag);
        li->tag = createInstanceRecord(s, li->toWorld, li->fromWorld, 0, 0, 0);
        s.lightByTag[li->tag] = li.get();
        s.lightByTag[li->lightTag] = li.get();
        s.allLights.push_back(li->tag);
        s.net->defineTag(li->name, li->tag);
        s.lights.push_back(std::move(li));
    }

    // Images, named by texture parameters.
    loadSceneImages(s, doc.value("images", json()), doc.value("nodes", json()), where, baseDir, names);

    // The shading network.
    {
        json nodes = doc.value("nodes", json::array());
        if (!nodes.is_array()) root.fail("\"nodes\" must be a list");
        s.net->load(json{{"nodes", nodes}}, where);
    }
    auto node = [&](const std::string &name, const Ctx &c) -> Instance * {
        Instance *inst = s.net->find(name);
        if (!inst) c.fail("no node named \"" + name + "\"");
        return inst;
    };
    {
        Ctx c = root.sub("camera");
        std::string env = getStr(cam, "environment", "", c);
        if (!env.empty()) {
            s.environment = node(env, c);
            s.camera.cameraEnvShader = s.environment->tag;
        }
        std::string vol = getStr(cam, "volume", "", c);
        if (!vol.empty()) s.camera.cameraVolumeShader = node(vol, c)->tag;
        for (const char *key : {"lens", "outputShaders"}) {
            if (!cam.contains(key)) continue;
            const json &l = cam[key];
            if (!l.is_array()) c.fail(std::string("\"") + key + "\" must be a list of node names");
            for (auto &x : l) {
                if (!x.is_string()) c.fail(std::string("\"") + key + "\" must be a list of node names");
                (key[0] == 'l' ? s.lensShaders : s.outputShaders).push_back(node(x.get<std::string>(), c));
            }
        }
        if (cam.contains("contours")) {
            const json &k = cam["contours"];
            Ctx cc = c.sub("contours");
            if (!k.is_object()) cc.fail("must be an object");
            for (auto it = k.begin(); it != k.end(); ++it)
                if (it.key() != "store" && it.key() != "contrast" && it.key() != "shader")
                    cc.fail("unknown key \"" + it.key() + "\"");
            for (const char *key : {"store", "contrast", "shader"})
                if (getStr(k, key, "", cc).empty()) cc.fail(std::string("needs a \"") + key + "\" node");
            s.contourStore = node(getStr(k, "store", "", cc), cc);
            s.contourContrast = node(getStr(k, "contrast", "", cc), cc);
            s.contourShader = node(getStr(k, "shader", "", cc), cc);
        }
    }
    if (doc.contains("state")) {
        Ctx c = root.sub("state");
        const json &st = doc["state"];
        std::string name = st.is_string() ? st.get<std::string>() : (st.is_object() ? getStr(st, "node", "", c) : "");
        if (name.empty()) c.fail("must name the state shader node");
        s.stateShader = node(name, c);
        if (!s.stateShader->decl || !s.stateShader->decl->wantsStateArg)
            c.fail("node \"" + name + "\" is not a state shader");
    }
    for (size_t i = 0; i < objs.size(); ++i) {
        ObjectInst &ob = *s.objects[i];
        Ctx c = root.sub(objectElem(i) + " (\"" + ob.name + "\")");
        std::string mat = getStr(objs[i], "material", "", c);
        if (mat.rfind("native:", 0) == 0) {
            std::lock_guard<std::mutex> lock(g_nativeMutex);
            auto it = natives().find(mat.substr(7));
            if (it == natives().end()) c.fail("no native material \"" + mat.substr(7) + "\" is registered");
            ob.native = it->second.get();
        } else if (!mat.empty()) {
            ob.material = materialNode(*s.net, node(mat, c), c);
        }
        const std::string shadow = getStr(objs[i], "shadow", "", c);
        if (!shadow.empty()) ob.shadow = node(shadow, c);
        const std::string volume = getStr(objs[i], "volume", "", c);
        if (!volume.empty()) {
            if (ob.hair) c.fail("a \"volume\" needs a mesh, not \"hair\"");
            ob.volume = node(volume, c);
            ob.volumeOnly = !ob.material && !ob.native;
            s.hasVolumes = true;
        }
        if (objs[i].contains("lights")) {
            const json &ll = objs[i]["lights"];
            if (!ll.is_array()) c.fail("\"lights\" must be a list of light names");
            for (auto &x : ll) {
                if (!x.is_string()) c.fail("\"lights\" must be a list of light names");
                auto it = std::find_if(s.lights.begin(), s.lights.end(),
                                       [&](const std::unique_ptr<LightInst> &l) { return l->name == x.get<std::string>(); });
                if (it == s.lights.end()) c.fail("no light named \"" + x.get<std::string>() + "\"");
                ob.lights.push_back((*it)->tag);
            }
        } else {
            ob.lights = s.allLights;
        }
    }
    for (size_t i = 0; i < lts.size(); ++i) {
        LightInst &li = *s.lights[i];
        Ctx c = root.sub("lights[" + std::to_string(i) + "] (\"" + li.name + "\")");
        std::string sh = getStr(lts[i], "shader", "", c);
        if (sh.empty()) c.fail("needs a \"shader\" node");
        li.shader = node(sh, c);
        checkLightShader(*li.shader, c);
        const std::string &type = li.shader->decl ? li.shader->decl->name : std::string();
        li.kind = type == "veko_spotlight"          ? LightKind::Spot
                  : type == "veko_directionallight" ? LightKind::Directional
                  : type == "veko_ambientlight"     ? LightKind::Ambient
                  : type == "veko_pointlight"       ? LightKind::Point
                  : type == "veko_volumelight"      ? LightKind::Volume
                  : type == "veko_ibllight"         ? LightKind::Environment
                                                    : LightKind::Other;
    }

    for (size_t k = 0; k < deferred.size(); ++k) {
        const json &o = objs[deferredIndex[k]];
        DeferredObject &d = deferred[k];
        Ctx c = root.sub("objects[" + std::to_string(deferredIndex[k]) + "] (\"" + d.object->name + "\")");
        if (o.contains("geometry")) {
            d.geometry = node(getStr(o, "geometry", "", c), c);
            if (!d.geometry->decl || d.geometry->decl->resultBytes != 4 || !d.geometry->decl->resultField("object"))
                c.fail("node \"" + d.geometry->name + "\" is not a geometry shader");
        }
        if (o.contains("displacement")) {
            const json &dj = o["displacement"];
            Ctx dc = c.sub("displacement");
            if (!dj.is_object()) dc.fail("must be an object");
            for (auto it = dj.begin(); it != dj.end(); ++it) {
                static const char *keys[] = {"shader", "maxDisplace", "length", "pixels"};
                if (std::find_if(std::begin(keys), std::end(keys), [&](const char *kk) { return it.key() == kk; }) ==
                    std::end(keys))
                    dc.fail("unknown key \"" + it.key() + "\"");
            }
            d.displace.shader = node(getStr(dj, "shader", "", dc), dc);
            d.displace.maxDisplace = getNum(dj, "maxDisplace", 0, dc);
            d.displace.length = getNum(dj, "length", 0, dc);
            d.displace.pixels = getNum(dj, "pixels", 2, dc);
            if (d.displace.maxDisplace < 0 || d.displace.length < 0 || d.displace.pixels < 0)
                dc.fail("\"maxDisplace\", \"length\" and \"pixels\" must not be negative");
            if (d.displace.length == 0 && d.displace.pixels == 0)
                dc.fail("needs a positive \"length\" or \"pixels\" to end the tessellation");
        }
    }
    prepareDeferredObjects(s, deferred, int(std::max(1u, std::thread::hardware_concurrency())));

    s.buildAccel();
    s.buildLookupTables();
    return scene;
}

void Scene::buildLookupTables() {
    for (auto &o : objects) o->materialTag = o->material ? o->material->tag : 0;
    visibleShapes.clear();
    for (const auto &l : lights)
        if (l->visible && l->shape != kShapeNone && l->shape != kShapeObject && l->shader)
            visibleShapes.push_back(l.get());
    visibleListed = true;
    tablesBuilt = false;
    objectTable.clear();
    lightTable.clear();
    if (objectByTag.empty() && lightByTag.empty()) return;
    xrTag lo = ~xrTag(0), hi = 0;
    for (const auto &[tag, o] : objectByTag) lo = std::min(lo, tag), hi = std::max(hi, tag);
    for (const auto &[tag, l] : lightByTag) lo = std::min(lo, tag), hi = std::max(hi, tag);
    constexpr xrTag kMaxTable = 1u << 22;
    if (hi - lo >= kMaxTable) return;
    tableBase = lo;
    objectTable.assign(size_t(hi - lo) + 1, nullptr);
    lightTable.assign(size_t(hi - lo) + 1, nullptr);
    for (const auto &[tag, o] : objectByTag) objectTable[tag - lo] = o;
    for (const auto &[tag, l] : lightByTag) lightTable[tag - lo] = l;
    tablesBuilt = true;
}

// Query 7/24/33/34/35 data of a light element.
bool lightRecordQuery(int code, xrTag tag, void *result) {
    int type = 0;
    auto *lr = static_cast<LightRecord *>(Database::get().access(tag, &type));
    if (!lr) return false;
    bool ok = type == kDbLight;
    if (ok) {
        switch (code) {
            case 24: *static_cast<int32_t *>(result) = lr->shape; break;
            case 33: ok = lr->shape == kShapeRectangle; if (ok) *static_cast<xrVector *>(result) = lr->edge1; break;
            case 34: ok = lr->shape == kShapeRectangle; if (ok) *static_cast<xrVector *>(result) = lr->edge2; break;
            case 35: ok = lr->shape == kShapeDisc; if (ok) *static_cast<xrVector *>(result) = lr->discNormal; break;
            default: ok = false;
        }
    }
    Database::get().unpin(tag);
    return ok;
}

}  // namespace vh
