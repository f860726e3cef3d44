// Objects built at scene preparation: polygon objects defined through the
// object-definition operations (xr_api_object_begin ... _end) by geometry
// shaders, and displaced meshes, tessellated and moved by a displacement
// shader before the ray-tracing structure is built.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "render_internal.h"
#include "vekohost/objects.h"

namespace vh {

// Triangle mesh of a polygon object: polygons split into fans, vertex
// normals from the adjacent faces (area weighted).
Mesh polygonMesh(const PolygonObject &p);

// Displacement of an object's mesh ("displacement" in the scene file).
struct DisplaceSettings {
    Instance *shader = nullptr;
    float maxDisplace = 0;  // bound of |displacement|; 0: unbounded
    float length = 0;       // edges at or below this world length are not split
    float pixels = 2;       // edges at or below this many pixels on screen are not split
};

// An object whose mesh is made at scene preparation.
struct DeferredObject {
    ObjectInst *object = nullptr;
    Instance *geometry = nullptr;  // geometry shader; else `mesh` is the base mesh
    Mesh mesh;
    DisplaceSettings displace;
    std::string where;             // file and element, for messages
};

// Splits triangles until every edge is short enough (`split` false for
// both endpoints); edges decide alone, so neighbouring triangles stay
// joined. Interpolates normals, texture coordinates and colours.
// Throws Error naming `where` when more than `maxTriangles` would result.
void tessellate(Mesh &m, const std::function<bool(xrVector, xrVector)> &split, size_t maxTriangles,
                const std::string &where);

// Runs geometry shaders and displacement of the deferred objects in a
// render session of `threads` threads, then gives each object its mesh.
void prepareDeferredObjects(Scene &s, std::vector<DeferredObject> &list, int threads);

// Gives an object its object-space mesh: world mesh, triangle normals and
// derivatives, bounds (grown by `grow` on every side).
void setObjectMesh(Scene &s, ObjectInst &ob, const Mesh &m, float grow = 0);

}  // namespace vh
