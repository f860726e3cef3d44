// The object-definition operations of geometry shaders: a thread defines one
// polygon object at a time (positions, vertices, polygons, flags and user
// data) and hands it to a shader's result group. Objects keep their polygons
// in their database element, after the object record.
#include <cstring>

#include "geometry.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vh {

namespace {

// Object element: the xrObjectRecord, then the mesh. Header words of the
// record hold the counts; the arrays follow the record.
constexpr int kObjPositions = 16, kObjVertices = 17, kObjPolygons = 18, kObjCorners = 19;
constexpr size_t kRecordWords = sizeof(xrObjectRecord) / 4;

struct Definition {
    bool open = false;
    bool inGroup = false;
    bool inPoly = false;
    bool failed = false;
    xrObjectRecord record{};
    PolygonObject mesh;
};

struct DataDefinition {
    bool open = false;
    size_t size = 0;
    std::vector<uint8_t> bytes;
};

thread_local Definition t_def;
thread_local DataDefinition t_data;
thread_local CreatedTags *t_created = nullptr;

xrTag created(xrTag tag) {
    if (tag && t_created) t_created->tags.push_back(tag);
    return tag;
}

// Reports a misuse of the definition operations; the object being defined
// is then refused at xr_api_object_end.
xrBoolean misuse(const char *op, const std::string &what) {
    hostMessage(Severity::Error, std::string(op) + ": " + what);
    if (t_def.open) t_def.failed = true;
    return 0;
}

}  // namespace

CreatedTags::CreatedTags() : outer_(t_created) { t_created = this; }
CreatedTags::~CreatedTags() {
    t_created = outer_;
    if (outer_) outer_->tags.insert(outer_->tags.end(), tags.begin(), tags.end());
}

bool readPolygonObject(xrTag object, PolygonObject &out) {
    Database &db = Database::get();
    if (db.type(object) != xrDB_OBJECT || db.size(object) < sizeof(xrObjectRecord)) return false;
    const auto *w = static_cast<const int32_t *>(db.data(object));
    const size_t np = size_t(w[kObjPositions]), nv = size_t(w[kObjVertices]), nf = size_t(w[kObjPolygons]),
                 nc = size_t(w[kObjCorners]);
    if ((kRecordWords + 3 * np + nv + nf + 1 + nc) * 4 > db.size(object)) return false;
    const int32_t *p = w + kRecordWords;
    out.positions.resize(np);
    std::memcpy(out.positions.data(), p, np * sizeof(xrVector));
    p += 3 * np;
    out.vertexPosition.assign(p, p + nv);
    p += nv;
    out.polyStart.assign(p, p + nf + 1);
    p += nf + 1;
    out.corners.assign(p, p + nc);
    return true;
}

Mesh polygonMesh(const PolygonObject &o) {
    Mesh m;
    for (int32_t pos : o.vertexPosition) m.P.push_back(o.positions[size_t(pos)]);
    for (size_t f = 0; f + 1 < o.polyStart.size(); ++f) {
        const int32_t b = o.polyStart[f], e = o.polyStart[f + 1];
        for (int32_t k = b + 1; k + 1 < e; ++k)
            m.tri.insert(m.tri.end(), {uint32_t(o.corners[size_t(b)]), uint32_t(o.corners[size_t(k)]),
                                       uint32_t(o.corners[size_t(k + 1)])});
    }
    // Vertex normals: the area-weighted face normals around each vertex.
    m.N.assign(m.P.size(), {0, 0, 0});
    for (size_t t = 0; t < m.tri.size(); t += 3) {
        const xrVector n = cross(m.P[m.tri[t + 1]] - m.P[m.tri[t]], m.P[m.tri[t + 2]] - m.P[m.tri[t]]);
        for (int k = 0; k < 3; ++k) m.N[m.tri[t + k]] = m.N[m.tri[t + k]] + n;
    }
    for (auto &n : m.N) n = normalize(n);
    return m;
}

std::vector<xrTag> groupMembers(xrTag group) {
    std::vector<xrTag> out;
    Database &db = Database::get();
    if (db.type(group) != kDbGroup) return out;
    const auto *w = static_cast<const uint32_t *>(db.data(group));
    for (uint32_t i = 0; i < w[0] && i < uint32_t(kGroupMaxMembers); ++i) out.push_back(w[kGroupFirstMember + i]);
    return out;
}

bool objectMesh(const Scene &scene, const std::string &name, ObjectMesh &out) {
    for (auto &o : scene.objects) {
        if (o->name != name) continue;
        out = ObjectMesh{};
        const Mesh &w = o->world;
        for (auto &p : w.P) out.P.push_back(o->fromWorld.point(p));
        for (auto &n : w.N) out.N.push_back(normalize(o->toWorld.normalFromInverse(n)));
        out.tri = w.tri;
        out.motion = o->motion;
        std::copy(o->bbox, o->bbox + 6, out.bbox);
        return true;
    }
    return false;
}

}  // namespace vh

using namespace vh;

VH_EXPORT xrObjectRecord *xr_api_object_begin(const char *name) {
    if (t_def.open) {
        misuse("xr_api_object_begin", std::string("object ") + (name ? name : "(unnamed)") +
                                          " begun inside another object definition");
        return nullptr;
    }
    t_def = Definition{};
    t_def.open = true;
    return &t_def.record;
}

VH_EXPORT xrBoolean xr_api_basis_list_clear(void) {
    if (!t_def.open) return misuse("xr_api_basis_list_clear", "no object is being defined");
    return 1;
}

VH_EXPORT xrBoolean xr_api_object_group_begin(double mergeDistance) {
    if (!t_def.open || t_def.inGroup) return misuse("xr_api_object_group_begin", "no object is being defined or a group is open");
    if (mergeDistance != 0.0) return misuse("xr_api_object_group_begin", "merging vertices is not supported");
    t_def.inGroup = true;
    return 1;
}

VH_EXPORT xrBoolean xr_api_object_group_end(void) {
    if (!t_def.inGroup || t_def.inPoly) return misuse("xr_api_object_group_end", "no group is open");
    t_def.inGroup = false;
    return 1;
}

VH_EXPORT xrBoolean xr_api_vector_xyz_add(const xrVector *p) {
    if (!t_def.inGroup || !p) return misuse("xr_api_vector_xyz_add", "no group is open");
    if (!std::isfinite(p->x) || !std::isfinite(p->y) || !std::isfinite(p->z))
        return misuse("xr_api_vector_xyz_add", "position is not finite");
    t_def.mesh.positions.push_back(*p);
    return 1;
}

VH_EXPORT xrBoolean xr_api_vertex_add(xrInteger position) {
    if (!t_def.inGroup) return misuse("xr_api_vertex_add", "no group is open");
    if (position < 0 || size_t(position) >= t_def.mesh.positions.size())
        return misuse("xr_api_vertex_add", "position index " + std::to_string(position) + " out of range");
    t_def.mesh.vertexPosition.push_back(position);
    return 1;
}

VH_EXPORT xrBoolean xr_api_poly_begin_tag(xrInteger kind, xrTag material) {
    if (!t_def.inGroup || t_def.inPoly) return misuse("xr_api_poly_begin_tag", "no group is open or a polygon is open");
    if (kind != xrPOLY_CONVEX) return misuse("xr_api_poly_begin_tag", "only convex polygons are supported");
    (void)material;  // objects take the material of the instance that places them
    if (t_def.mesh.polyStart.empty()) t_def.mesh.polyStart.push_back(0);
    t_def.inPoly = true;
    return 1;
}

VH_EXPORT xrBoolean xr_api_poly_index_add(xrInteger vertex) {
    if (!t_def.inPoly) return misuse("xr_api_poly_index_add", "no polygon is open");
    if (vertex < 0 || size_t(vertex) >= t_def.mesh.vertexPosition.size())
        return misuse("xr_api_poly_index_add", "vertex index " + std::to_string(vertex) + " out of range");
    t_def.mesh.corners.push_back(vertex);
    return 1;
}

VH_EXPORT xrBoolean xr_api_poly_end(void) {
    if (!t_def.inPoly) return misuse("xr_api_poly_end", "no polygon is open");
    t_def.inPoly = false;
    const int32_t start = t_def.mesh.polyStart.back(), end = int32_t(t_def.mesh.corners.size());
    if (end - start < 3) return misuse("xr_api_poly_end", "a polygon needs at least 3 vertices");
    t_def.mesh.polyStart.push_back(end);
    return 1;
}

VH_EXPORT xrTag xr_api_object_end(void) {
    if (!t_def.open) {
        misuse("xr_api_object_end", "no object is being defined");
        return 0;
    }
    Definition def = std::move(t_def);
    t_def = Definition{};
    if (def.inGroup || def.inPoly) {
        hostMessage(Severity::Error, "xr_api_object_end: the object's group or polygon is still open");
        return 0;
    }
    if (def.failed) {
        hostMessage(Severity::Error, "xr_api_object_end: object refused after an error in its definition");
        return 0;
    }
    PolygonObject &o = def.mesh;
    if (o.polyStart.empty()) o.polyStart.push_back(0);
    std::vector<int32_t> words(kRecordWords + 3 * o.positions.size() + o.vertexPosition.size() + o.polyStart.size() +
                               o.corners.size());
    std::memcpy(words.data(), &def.record, sizeof def.record);
    words[kObjPositions] = int32_t(o.positions.size());
    words[kObjVertices] = int32_t(o.vertexPosition.size());
    words[kObjPolygons] = int32_t(o.polyStart.size() - 1);
    words[kObjCorners] = int32_t(o.corners.size());
    int32_t *p = words.data() + kRecordWords;
    std::memcpy(p, o.positions.data(), o.positions.size() * sizeof(xrVector));
    p += 3 * o.positions.size();
    p = std::copy(o.vertexPosition.begin(), o.vertexPosition.end(), p);
    p = std::copy(o.polyStart.begin(), o.polyStart.end(), p);
    std::copy(o.corners.begin(), o.corners.end(), p);
    return created(Database::get().create(xrDB_OBJECT, words.data(), words.size() * 4));
}

VH_EXPORT xrBoolean xr_api_data_begin(const char *name, xrInteger type, xrInteger size) {
    (void)name;
    if (t_data.open) return misuse("xr_api_data_begin", "a data element is already being defined");
    if (type != 0) return misuse("xr_api_data_begin", "only raw data (type 0) is supported");
    if (size < 4 || size > (1 << 24)) return misuse("xr_api_data_begin", "size " + std::to_string(size) + " out of range");
    t_data = DataDefinition{};
    t_data.open = true;
    t_data.size = size_t(size);
    return 1;
}

VH_EXPORT xrBoolean xr_api_data_byte_copy(xrInteger size, const void *bytes) {
    if (!t_data.open) return misuse("xr_api_data_byte_copy", "no data element is being defined");
    if (size < 0 || !bytes || t_data.bytes.size() + size_t(size) > t_data.size)
        return misuse("xr_api_data_byte_copy", "more bytes than the element's size");
    const auto *b = static_cast<const uint8_t *>(bytes);
    t_data.bytes.insert(t_data.bytes.end(), b, b + size);
    return 1;
}

VH_EXPORT xrTag xr_api_data_end(void) {
    if (!t_data.open) {
        misuse("xr_api_data_end", "no data element is being defined");
        return 0;
    }
    DataDefinition d = std::move(t_data);
    t_data = DataDefinition{};
    // A user-data element: the data's first word is its label (word 6).
    d.bytes.resize(std::max(d.size, size_t(4)), 0);
    std::vector<uint32_t> payload((d.bytes.size() - 4 + 3) / 4, 0);
    std::memcpy(payload.data(), d.bytes.data() + 4, d.bytes.size() - 4);
    uint32_t label;
    std::memcpy(&label, d.bytes.data(), 4);
    return created(createUserData(label, payload));
}

VH_EXPORT xrBoolean xr_geoshader_add_result(xrTag *result, xrTag item) {
    if (!result) return 0;
    Database &db = Database::get();
    if (db.type(item) != xrDB_OBJECT) return misuse("xr_geoshader_add_result", "the item is not an object");
    if (*result && db.type(*result) != kDbGroup) return misuse("xr_geoshader_add_result", "the result is not a group");
    if (!*result) {
        std::vector<uint32_t> w(kGroupFirstMember + kGroupMaxMembers, 0);
        *result = created(db.create(kDbGroup, w.data(), w.size() * 4));
    }
    auto *group = static_cast<uint32_t *>(db.data(*result));
    if (group[0] >= uint32_t(kGroupMaxMembers)) return misuse("xr_geoshader_add_result", "the result group is full");
    InstanceRecord rec{};
    for (int i = 0; i < 4; ++i) rec.toWorld[i * 5] = rec.fromWorld[i * 5] = 1;
    rec.objectTag = item;
    rec.dataTag = static_cast<const xrObjectRecord *>(db.data(item))->userData;
    const xrTag inst = created(db.create(xrDB_INSTANCE, &rec, sizeof rec));
    group[kGroupFirstMember + group[0]] = inst;
    group[0] += 1;
    group[14] = inst;
    return 1;
}
