// Objects made at scene preparation: the polygon objects that geometry
// shaders define through the object-definition operations
// (xr_api_object_begin ... xr_api_object_end, xr_geoshader_add_result), and
// the meshes of a loaded scene's objects as they are rendered.
#pragma once

#include <string>
#include <vector>

#include "vekohost/render.h"

namespace vh {

// Database element of a geometry shader's result (xr_geoshader_add_result):
// word 0 the member count, word 14 the newest member's instance, member
// instances from word 16.
constexpr int kDbGroup = 9;
constexpr int kGroupFirstMember = 16;
constexpr int kGroupMaxMembers = 48;

// While alive, collects every tag the object-definition operations create
// on this thread (objects, data, groups, instances), so that the caller can
// own and remove them.
class CreatedTags {
public:
    CreatedTags();
    ~CreatedTags();
    CreatedTags(const CreatedTags &) = delete;
    CreatedTags &operator=(const CreatedTags &) = delete;
    std::vector<xrTag> tags;

private:
    CreatedTags *outer_;
};

// An object element made by xr_api_object_end, as defined.
struct PolygonObject {
    std::vector<xrVector> positions;
    std::vector<int32_t> vertexPosition;  // position index of each vertex
    std::vector<int32_t> polyStart;       // first corner of each polygon, and one past the last
    std::vector<int32_t> corners;         // vertex indices
    size_t polygons() const { return polyStart.empty() ? 0 : polyStart.size() - 1; }
};
bool readPolygonObject(xrTag object, PolygonObject &out);

// Member instances of a geometry shader's result group.
std::vector<xrTag> groupMembers(xrTag group);

// A loaded scene object's mesh in object space, as rendered (after its
// geometry shader and displacement), with its bounds and, when displaced
// under motion blur, each vertex's motion from time 0 to 1 (else empty).
struct ObjectMesh {
    std::vector<xrVector> P, N;
    std::vector<uint32_t> tri;
    std::vector<xrVector> motion;
    float bbox[6] = {0, 0, 0, 0, 0, 0};
};
bool objectMesh(const Scene &scene, const std::string &name, ObjectMesh &out);

}  // namespace vh
