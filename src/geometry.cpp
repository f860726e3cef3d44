// Primitive geometry shaders: a box, a cone and a sphere built as closed
// polygon meshes through the host's object-definition operations at scene
// preparation. Each object carries a "Veko" user-data block with three
// integers from the shader's parameters for the shaders that shade it.
#include <cmath>
#include <cstring>

#include "vekobase.h"

namespace veko {

namespace {

// The data words shared by the three shaders.
struct PrimitiveData {
    xrInteger dataValue;
    xrBoolean dataSwitch;
    xrInteger dataCount;
    xrInteger dataIndex;
};

struct BoxParams {
    xrVector size;  // words 0-2
    PrimitiveData data;  // words 3-6
};
static_assert(sizeof(BoxParams) == 28);

struct ConeParams {
    xrScalar coneAngle;  // word 0
    xrScalar height;     // word 1
    xrInteger sections;  // word 2
    xrInteger segments;  // word 3
    PrimitiveData data;  // words 4-7
};
static_assert(sizeof(ConeParams) == 32);

struct SphereParams {
    xrScalar radius;     // word 0
    xrInteger sections;  // word 1
    xrInteger spans;     // word 2
    PrimitiveData data;  // words 3-6
};
static_assert(sizeof(SphereParams) == 28);

// The primitive user-data block attached to every created object.
struct PrimitiveBlock {
    uint32_t magic;     // word 0: "Veko"
    int32_t marker;     // word 1: -1
    int32_t value;      // word 2: dataValue
    int32_t count;      // word 3: dataCount when dataSwitch, else 1
    int32_t index;      // word 4: dataIndex
    int32_t unset[12];  // words 5-16
};
static_assert(sizeof(PrimitiveBlock) == 68);

constexpr uint32_t kVekoMagic = 0x56656B6Fu;
constexpr float kTwoPi = 6.2831855f;
constexpr float kPi = 3.1415927f;

PrimitiveData evalData(xrState *state, const PrimitiveData *p) {
    return {eval(state, &p->dataValue), eval(state, &p->dataSwitch), eval(state, &p->dataCount),
            eval(state, &p->dataIndex)};
}

// Starts the object: flags, the user-data block and the vertex group.
// Returns false when the host refuses.
bool beginPrimitive(const PrimitiveData &data) {
    xrObjectRecord *obj = xr_api_object_begin(nullptr);
    if (!obj) return false;
    obj->flags[0] = 1;
    obj->flags[1] = obj->flags[2] = obj->flags[3] = obj->flags[4] = obj->flags[7] = 3;

    auto *block = static_cast<PrimitiveBlock *>(xr_mem_int_allocate(__FILE__, __LINE__, sizeof(PrimitiveBlock)));
    if (!block) return false;
    std::memset(block, 0, sizeof *block);
    block->magic = kVekoMagic;
    block->marker = -1;
    block->value = data.dataValue;
    block->count = data.dataSwitch ? data.dataCount : 1;
    block->index = data.dataIndex;
    xrTag dataTag = 0;
    if (xr_api_data_begin(nullptr, 0, int(sizeof *block)) && xr_api_data_byte_copy(int(sizeof *block), block))
        dataTag = xr_api_data_end();
    xr_mem_int_release(__FILE__, __LINE__, block);  // the host keeps its own copy
    obj->userData = dataTag;

    xr_api_basis_list_clear();
    return xr_api_object_group_begin(0.0) != 0;
}

void addPosition(float x, float y, float z) {
    const xrVector p{x, y, z};
    xr_api_vector_xyz_add(&p);
}

void addPolygon(std::initializer_list<int> corners) {
    xr_api_poly_begin_tag(xrPOLY_CONVEX, 0);
    for (int c : corners) xr_api_poly_index_add(c);
    xr_api_poly_end();
}

// Ends the object and hands it to the host as the shader's result; copies
// the placing instance's word 61 onto the instance made for it.
xrBoolean finishPrimitive(xrTag *result, xrState *state) {
    xr_api_object_group_end();
    const xrTag object = xr_api_object_end();
    if (!object || !xr_geoshader_add_result(result, object)) return 0;
    auto *group = static_cast<const uint32_t *>(xr_db_access(*result));
    if (!group) return 1;
    const xrTag created = group[14];
    xr_db_unpin(*result);
    auto *own = static_cast<const uint32_t *>(xr_db_access(state->instanceTag));
    if (own) {
        const uint32_t word61 = own[61];
        xr_db_unpin(state->instanceTag);
        if (auto *target = static_cast<uint32_t *>(xr_db_access(created))) {
            target[61] = word61;
            xr_db_unpin(created);
        }
    }
    return 1;
}

xrBoolean failPrimitive(xrTag *result, const char *shader) {
    *result = 0;
    VEKO_WARN(shader, "Failed to create geometry.");
    return 0;
}

// Divisions of a cone or sphere beyond this many are cut to it with a
// warning: 2048 x 2048 already makes eight million triangles, and larger
// counts only exhaust memory (or overflow the vertex count).
constexpr int kMaxDivisions = 2048;

int capDivisions(int value, const char *shader, const char *name) {
    if (value <= kMaxDivisions) return value;
    xr_warning("%s(): %d %s is more than the %d allowed; using %d.", shader, value, name, kMaxDivisions,
               kMaxDivisions);
    return kMaxDivisions;
}

// Ring k of a cone at y_k = -height + k * height / segments with radius
// -y_k * tan(angle / 2); the angle grows by repeated addition.
void conePositions(float height, float t, int n, int s) {
    for (int k = 0; k < s; ++k) {
        const float y = -height + float(k) * height / float(s);
        const float r = -y * t;
        float phi = 0.0f;
        for (int j = 0; j < n; ++j) {
            addPosition(std::cos(phi) * r, y, std::sin(phi) * r);
            phi += kTwoPi / float(n);
        }
    }
    addPosition(0, 0, 0);
}

void spherePositions(float radius, int n, int m) {
    addPosition(0, radius, 0);
    float theta = 0.0f;
    for (int i = 1; i < m; ++i) {
        theta += kPi / float(m);
        const float y = std::cos(theta) * radius, rho = std::sin(theta) * radius;
        float phi = 0.0f;
        for (int j = 0; j < n; ++j) {
            addPosition(std::cos(phi) * rho, y, std::sin(phi) * rho);
            phi += kTwoPi / float(n);
        }
    }
    addPosition(0, -radius, 0);
}

}  // namespace
}  // namespace veko

using namespace veko;

VEKO_EXPORT xrBoolean veko_box(void *out, xrState *state, void *params) {
    auto *result = static_cast<xrTag *>(out);
    auto *p = static_cast<const BoxParams *>(params);
    xrVector size = eval(state, &p->size);
    const float a = std::fabs(size.x) * 0.5f, b = std::fabs(size.y) * 0.5f, c = std::fabs(size.z) * 0.5f;
    if (a * 2 < 1e-5f && b * 2 < 1e-5f && c * 2 < 1e-5f) return failPrimitive(result, "veko_box");
    if (!beginPrimitive(evalData(state, &p->data))) return failPrimitive(result, "veko_box");
    const float corners[8][3] = {{-a, -b, +c}, {+a, -b, +c}, {+a, +b, +c}, {-a, +b, +c},
                                 {+a, -b, -c}, {-a, -b, -c}, {-a, +b, -c}, {+a, +b, -c}};
    for (auto &q : corners) addPosition(q[0], q[1], q[2]);
    // Four vertices per face, so that faces keep their own normals.
    static const int kFaces[6][4] = {{0, 1, 2, 3}, {4, 5, 6, 7}, {5, 0, 3, 6},
                                     {1, 4, 7, 2}, {3, 2, 7, 6}, {5, 4, 1, 0}};
    for (auto &f : kFaces)
        for (int v : f) xr_api_vertex_add(v);
    for (int k = 0; k < 6; ++k) addPolygon({4 * k, 4 * k + 1, 4 * k + 2, 4 * k + 3});
    return finishPrimitive(result, state);
}

VEKO_EXPORT xrBoolean veko_cone(void *out, xrState *state, void *params) {
    auto *result = static_cast<xrTag *>(out);
    auto *p = static_cast<const ConeParams *>(params);
    const float angle = eval(state, &p->coneAngle), height = eval(state, &p->height);
    if (!(angle > 0) || !(height > 0)) return failPrimitive(result, "veko_cone");
    int n = eval(state, &p->sections), s = eval(state, &p->segments);
    if (n < 3) n = 20;
    if (s < 1) s = 1;
    n = capDivisions(n, "veko_cone", "sections");
    s = capDivisions(s, "veko_cone", "segments");
    if (!beginPrimitive(evalData(state, &p->data))) return failPrimitive(result, "veko_cone");
    conePositions(height, std::fabs(std::tan(angle / 2)), n, s);
    const int apex = n * s;
    for (int i = 0; i <= apex; ++i) xr_api_vertex_add(i);
    // The base cap, the bands between rings, the fan to the apex.
    xr_api_poly_begin_tag(xrPOLY_CONVEX, 0);
    for (int j = 0; j < n; ++j) xr_api_poly_index_add(j);
    xr_api_poly_end();
    for (int k = 0; k + 1 < s; ++k) {
        const int base = k * n;
        for (int j = 0; j < n; ++j)
            addPolygon({base + n + j, base + n + (j + 1) % n, base + (j + 1) % n, base + j});
    }
    // Fan triangles run from the next ring vertex to the current one, like
    // the sphere's north fan, so that they face outwards as the rest does.
    const int top = (s - 1) * n;
    for (int j = 1; j <= n; ++j) addPolygon({top + (j % n), top + j - 1, apex});
    return finishPrimitive(result, state);
}

VEKO_EXPORT xrBoolean veko_sphere(void *out, xrState *state, void *params) {
    auto *result = static_cast<xrTag *>(out);
    auto *p = static_cast<const SphereParams *>(params);
    const float radius = eval(state, &p->radius);
    if (!(radius > 0)) return failPrimitive(result, "veko_sphere");
    int n = eval(state, &p->sections), m = eval(state, &p->spans);
    if (n < 3) n = 20;
    if (m < 3) m = 20;
    n = capDivisions(n, "veko_sphere", "sections");
    m = capDivisions(m, "veko_sphere", "spans");
    if (!beginPrimitive(evalData(state, &p->data))) return failPrimitive(result, "veko_sphere");
    spherePositions(radius, n, m);
    const int south = (m - 1) * n + 1;
    for (int i = 0; i <= south; ++i) xr_api_vertex_add(i);
    for (int j = 1; j <= n; ++j) addPolygon({(j % n) + 1, j, 0});
    for (int k = 0; k + 3 <= m; ++k) {
        const int base = 1 + k * n;
        for (int j = 1; j <= n; ++j)
            addPolygon({base + j - 1, base + (j % n), base + (j % n) + n, base + n + j - 1});
    }
    const int last = 1 + (m - 2) * n;
    for (int j = 1; j <= n; ++j) addPolygon({last + j - 1, last + (j % n), south});
    return finishPrimitive(result, state);
}
