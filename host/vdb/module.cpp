// libvekohost_vdb.so: volume grid files behind a small C table (see
// host/src/vdb_module.h). Nothing here calls back into the host.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <openvdb/openvdb.h>
#include <openvdb/points/PointAttribute.h>
#include <openvdb/points/PointConversion.h>
#include <openvdb/points/PointDataGrid.h>
#include <openvdb/tools/Interpolation.h>

#include "../src/vdb_module.h"

namespace {

void setError(char *err, size_t size, const std::string &text) {
    if (err && size) std::snprintf(err, size, "%s", text.c_str());
}

struct File {
    std::string path;
    openvdb::GridPtrVecPtr grids;
};

void *openFile(const char *path, char *err, size_t errSize) {
    try {
        openvdb::io::File f(path);
        f.open(false);  // read everything now: no delayed loading from a file that may change
        auto out = std::make_unique<File>();
        out->path = path;
        out->grids = f.getGrids();
        f.close();
        return out.release();
    } catch (const std::exception &e) {
        setError(err, errSize, e.what());
        return nullptr;
    }
}

void closeFile(void *file) { delete static_cast<File *>(file); }

openvdb::GridBase::Ptr findGrid(void *file, const char *name) {
    auto *f = static_cast<File *>(file);
    if (!f || !f->grids) return nullptr;
    for (auto &g : *f->grids)
        if (g && g->getName() == name) return g;
    return nullptr;
}

// Index-to-world is a scale and a translation (no rotation or shear).
bool axisAligned(const openvdb::math::Transform &t) {
    if (!t.isLinear()) return false;
    const openvdb::Mat4d m = t.baseMap()->getAffineMap()->getMat4();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (r != c && std::fabs(m(r, c)) > 1e-12 * std::fabs(m(r, r))) return false;
    return true;
}

int componentsOf(const openvdb::GridBase &g) {
    if (g.isType<openvdb::FloatGrid>() || g.isType<openvdb::DoubleGrid>()) return 1;
    if (g.isType<openvdb::Vec3SGrid>() || g.isType<openvdb::Vec3DGrid>()) return 3;
    return 0;
}

int gridInfo(void *file, const char *name, VhVdbGridInfo *out, char *err, size_t errSize) {
    try {
        auto g = findGrid(file, name);
        if (!g) {
            setError(err, errSize, std::string("no grid named \"") + name + "\"");
            return kVhVdbNoGrid;
        }
        *out = VhVdbGridInfo{};
        out->components = componentsOf(*g);
        std::snprintf(out->type, sizeof out->type, "%s", g->valueType().c_str());
        out->axisAligned = axisAligned(g->transform()) ? 1 : 0;
        const openvdb::Vec3d vs = g->voxelSize();
        for (int a = 0; a < 3; ++a) out->voxelSize[a] = vs[a];
        const openvdb::CoordBBox box = g->evalActiveVoxelBoundingBox();
        if (box.empty()) {
            for (int a = 0; a < 3; ++a) out->worldMin[a] = 1, out->worldMax[a] = 0;
        } else {
            // The voxels' extent: index box grown by half a voxel.
            const openvdb::BBoxd ib(box.min().asVec3d() - 0.5, box.max().asVec3d() + 0.5);
            const openvdb::BBoxd wb = g->transform().indexToWorld(ib);
            for (int a = 0; a < 3; ++a) out->worldMin[a] = wb.min()[a], out->worldMax[a] = wb.max()[a];
        }
        return kVhVdbOk;
    } catch (const std::exception &e) {
        setError(err, errSize, e.what());
        return kVhVdbFailed;
    }
}

template <class GridT, class Sampler>
void sampleWith(const GridT &grid, const double min[3], const double cell[3], const int res[3], float *out) {
    openvdb::tools::GridSampler<GridT, Sampler> sampler(grid);
    size_t at = 0;
    for (int k = 0; k < res[2]; ++k)
        for (int j = 0; j < res[1]; ++j)
            for (int i = 0; i < res[0]; ++i) {
                const openvdb::Vec3d p(min[0] + (i + 0.5) * cell[0], min[1] + (j + 0.5) * cell[1],
                                       min[2] + (k + 0.5) * cell[2]);
                const auto v = sampler.wsSample(p);
                if constexpr (openvdb::VecTraits<typename GridT::ValueType>::IsVec) {
                    for (int c = 0; c < 3; ++c) out[at++] = float(v[c]);
                } else {
                    out[at++] = float(v);
                }
            }
}

// Trilinear lookups; vector grids stored on the cell faces (staggered)
// are averaged onto the sample points by the staggered sampler.
template <class GridT>
void sampleInto(const GridT &grid, const double min[3], const double cell[3], const int res[3], float *out) {
    if constexpr (openvdb::VecTraits<typename GridT::ValueType>::IsVec) {
        if (grid.getGridClass() == openvdb::GRID_STAGGERED) {
            sampleWith<GridT, openvdb::tools::StaggeredBoxSampler>(grid, min, cell, res, out);
            return;
        }
    }
    sampleWith<GridT, openvdb::tools::BoxSampler>(grid, min, cell, res, out);
}

int sampleGrid(void *file, const char *name, const double min[3], const double cell[3], const int res[3],
               int components, float *out, char *err, size_t errSize) {
    try {
        auto g = findGrid(file, name);
        if (!g) {
            setError(err, errSize, std::string("no grid named \"") + name + "\"");
            return kVhVdbNoGrid;
        }
        if (componentsOf(*g) != components) {
            setError(err, errSize, "grid \"" + std::string(name) + "\" holds " + g->valueType() + " values, not " +
                                       (components == 1 ? "scalars" : "vectors"));
            return kVhVdbBadType;
        }
        if (auto f = openvdb::GridBase::grid<openvdb::FloatGrid>(g)) sampleInto<openvdb::FloatGrid>(*f, min, cell, res, out);
        else if (auto d = openvdb::GridBase::grid<openvdb::DoubleGrid>(g)) sampleInto<openvdb::DoubleGrid>(*d, min, cell, res, out);
        else if (auto v = openvdb::GridBase::grid<openvdb::Vec3SGrid>(g)) sampleInto<openvdb::Vec3SGrid>(*v, min, cell, res, out);
        else if (auto w = openvdb::GridBase::grid<openvdb::Vec3DGrid>(g)) sampleInto<openvdb::Vec3DGrid>(*w, min, cell, res, out);
        return kVhVdbOk;
    } catch (const std::exception &e) {
        setError(err, errSize, e.what());
        return kVhVdbFailed;
    }
}

template <class GridT, class Value>
openvdb::GridBase::Ptr denseToGrid(const VhVdbDense &d, Value background, Value (*at)(const float *)) {
    auto grid = GridT::create(background);
    auto acc = grid->getAccessor();
    size_t n = 0;
    for (int k = 0; k < d.res[2]; ++k)
        for (int j = 0; j < d.res[1]; ++j)
            for (int i = 0; i < d.res[0]; ++i, ++n) {
                const Value v = at(d.values + n * size_t(d.components));
                if (v != background) acc.setValue(openvdb::Coord(d.origin[0] + i, d.origin[1] + j, d.origin[2] + k), v);
            }
    openvdb::math::Mat4d m = openvdb::math::Mat4d::identity();
    for (int a = 0; a < 3; ++a) {
        m(a, a) = d.voxelSize[a];
        m(3, a) = d.translation[a];
    }
    grid->setTransform(openvdb::math::Transform::createLinearTransform(m));
    grid->setName(d.name);
    grid->pruneGrid();
    return grid;
}

int writeGrids(const char *path, const VhVdbDense *grids, int count, char *err, size_t errSize) {
    try {
        openvdb::GridPtrVec out;
        for (int g = 0; g < count; ++g) {
            const VhVdbDense &d = grids[g];
            if (d.components == 1) {
                out.push_back(denseToGrid<openvdb::FloatGrid, float>(d, d.background,
                                                                      [](const float *p) { return *p; }));
            } else if (d.components == 3) {
                auto grid = denseToGrid<openvdb::Vec3SGrid, openvdb::Vec3s>(
                    d, openvdb::Vec3s(d.background), [](const float *p) { return openvdb::Vec3s(p[0], p[1], p[2]); });
                grid->setVectorType(openvdb::VEC_CONTRAVARIANT_RELATIVE);
                out.push_back(grid);
            } else {
                setError(err, errSize, std::string("grid \"") + d.name + "\": 1 or 3 components");
                return kVhVdbBadType;
            }
            if (d.components == 1 && std::string(d.name) == "density")
                out.back()->setGridClass(openvdb::GRID_FOG_VOLUME);
        }
        openvdb::io::File f(path);
        f.setCompression(openvdb::io::COMPRESS_ZIP | openvdb::io::COMPRESS_ACTIVE_MASK);
        f.write(out);
        f.close();
        return kVhVdbOk;
    } catch (const std::exception &e) {
        setError(err, errSize, e.what());
        return kVhVdbNoFile;
    }
}

// ---------------------------------------------------------------------------
// Point grids.

using openvdb::points::PointDataGrid;

PointDataGrid::Ptr findPointGrid(void *file, const char *name, int &rc, char *err, size_t errSize) {
    auto *f = static_cast<File *>(file);
    rc = kVhVdbNoGrid;
    if (!f || !f->grids) return nullptr;
    const bool any = !name || !*name;
    for (auto &g : *f->grids) {
        if (!g || (!any && g->getName() != name)) continue;
        if (auto p = openvdb::GridBase::grid<PointDataGrid>(g)) {
            rc = kVhVdbOk;
            return p;
        }
        if (!any) {
            setError(err, errSize, "grid \"" + g->getName() + "\" holds " + g->valueType() + " values, not points");
            rc = kVhVdbBadType;
            return nullptr;
        }
    }
    setError(err, errSize, any ? std::string("no point grid") : std::string("no grid named \"") + name + "\"");
    return nullptr;
}

// The attribute's value type as stored (codecs aside).
std::string attributeType(const PointDataGrid &g, const std::string &name, bool &found) {
    found = false;
    for (auto leaf = g.tree().cbeginLeaf(); leaf; ++leaf) {
        const auto &desc = leaf->attributeSet().descriptor();
        const size_t pos = desc.find(name);
        if (pos == openvdb::points::AttributeSet::INVALID_POS) return std::string();
        found = true;
        return desc.valueType(pos);
    }
    return std::string();
}

int typeComponents(const std::string &type) {
    if (type == "float" || type == "double") return 1;
    if (type == "vec3s" || type == "vec3d") return 3;
    return 0;
}

int pointInfo(void *file, const char *grid, VhVdbPointInfo *out, char *err, size_t errSize) {
    try {
        int rc;
        auto g = findPointGrid(file, grid, rc, err, errSize);
        if (!g) return rc;
        *out = VhVdbPointInfo{};
        std::snprintf(out->grid, sizeof out->grid, "%s", g->getName().c_str());
        out->count = (long long)openvdb::points::pointCount(g->tree());
        return kVhVdbOk;
    } catch (const std::exception &e) {
        setError(err, errSize, e.what());
        return kVhVdbFailed;
    }
}

int pointAttribute(void *file, const char *grid, const char *attribute, VhVdbPointAttribute *out, char *err,
                   size_t errSize) {
    try {
        int rc;
        auto g = findPointGrid(file, grid, rc, err, errSize);
        if (!g) return rc;
        *out = VhVdbPointAttribute{};
        bool found;
        const std::string type = attributeType(*g, attribute, found);
        if (!found) {
            setError(err, errSize, std::string("no attribute \"") + attribute + "\"");
            return kVhVdbNoAttribute;
        }
        std::snprintf(out->type, sizeof out->type, "%s", type.c_str());
        out->components = typeComponents(type);
        return kVhVdbOk;
    } catch (const std::exception &e) {
        setError(err, errSize, e.what());
        return kVhVdbFailed;
    }
}

// Every point's value in leaf order, then index order within the leaf.
template <class T>
void readColumn(const PointDataGrid &g, const std::string &name, bool position, float *out) {
    size_t at = 0;
    const openvdb::math::Transform &xf = g.transform();
    for (auto leaf = g.tree().cbeginLeaf(); leaf; ++leaf) {
        const size_t pos = leaf->attributeSet().descriptor().find(name);
        openvdb::points::AttributeHandle<T> h(leaf->constAttributeArray(pos));
        for (auto idx = leaf->beginIndexOn(); idx; ++idx) {
            const T v = h.get(*idx);
            if constexpr (openvdb::VecTraits<T>::IsVec) {
                openvdb::Vec3d d(v[0], v[1], v[2]);
                if (position) d = xf.indexToWorld(d + idx.getCoord().asVec3d());
                for (int c = 0; c < 3; ++c) out[at++] = float(d[c]);
            } else {
                out[at++] = float(v);
            }
        }
    }
}

int readPoints(void *file, const char *grid, const char *attribute, int components, float *out, char *err,
               size_t errSize) {
    try {
        int rc;
        auto g = findPointGrid(file, grid, rc, err, errSize);
        if (!g) return rc;
        bool found;
        const std::string name = attribute;
        const std::string type = attributeType(*g, name, found);
        if (!found) {
            setError(err, errSize, "no attribute \"" + name + "\"");
            return kVhVdbNoAttribute;
        }
        if (typeComponents(type) != components) {
            setError(err, errSize, "attribute \"" + name + "\" holds " + type + " values, not " +
                                       (components == 1 ? "scalars" : "vectors"));
            return kVhVdbBadType;
        }
        const bool position = name == "P";
        if (type == "float") readColumn<float>(*g, name, position, out);
        else if (type == "double") readColumn<double>(*g, name, position, out);
        else if (type == "vec3s") readColumn<openvdb::Vec3f>(*g, name, position, out);
        else readColumn<openvdb::Vec3d>(*g, name, position, out);
        return kVhVdbOk;
    } catch (const std::exception &e) {
        setError(err, errSize, e.what());
        return kVhVdbFailed;
    }
}

int writePoints(const char *path, const char *grid, double voxelSize, long long count, const float *positions,
                const VhVdbPointColumn *columns, int columnCount, char *err, size_t errSize) {
    try {
        namespace pts = openvdb::points;
        if (!(voxelSize > 0)) {
            setError(err, errSize, "voxel size must be positive");
            return kVhVdbFailed;
        }
        std::vector<openvdb::Vec3f> p(static_cast<size_t>(count));
        for (size_t i = 0; i < p.size(); ++i) p[i] = {positions[3 * i], positions[3 * i + 1], positions[3 * i + 2]};
        const pts::PointAttributeVector<openvdb::Vec3f> wrapped(p);
        auto xf = openvdb::math::Transform::createLinearTransform(voxelSize);
        auto index = openvdb::tools::createPointIndexGrid<openvdb::tools::PointIndexGrid>(wrapped, *xf);
        auto g = pts::createPointDataGrid<pts::NullCodec, PointDataGrid>(*index, wrapped, *xf);
        for (int c = 0; c < columnCount; ++c) {
            const VhVdbPointColumn &col = columns[c];
            const std::string name = col.name;
            if (col.components == 1) {
                std::vector<float> v(col.values, col.values + count);
                if (name != "P") pts::appendAttribute<float>(g->tree(), name);
                pts::populateAttribute(g->tree(), index->tree(), name, pts::PointAttributeVector<float>(v));
            } else if (col.components == 3) {
                std::vector<openvdb::Vec3f> v(static_cast<size_t>(count));
                for (size_t i = 0; i < v.size(); ++i)
                    v[i] = {col.values[3 * i], col.values[3 * i + 1], col.values[3 * i + 2]};
                if (name != "P") pts::appendAttribute<openvdb::Vec3f>(g->tree(), name);
                pts::populateAttribute(g->tree(), index->tree(), name, pts::PointAttributeVector<openvdb::Vec3f>(v));
            } else {
                setError(err, errSize, "attribute \"" + name + "\": 1 or 3 components");
                return kVhVdbBadType;
            }
        }
        g->setName(grid);
        openvdb::io::File f(path);
        f.write(openvdb::GridPtrVec{g});
        f.close();
        return kVhVdbOk;
    } catch (const std::exception &e) {
        setError(err, errSize, e.what());
        return kVhVdbNoFile;
    }
}

const VhVdbApi kApi = {kVhVdbApiVersion, openFile, closeFile, gridInfo,   sampleGrid,
                       writeGrids,       pointInfo, pointAttribute, readPoints, writePoints};

}  // namespace

extern "C" __attribute__((visibility("default"))) const VhVdbApi *vekohost_vdb_api() {
    static const bool initialized = [] {
        openvdb::initialize();
        return true;
    }();
    (void)initialized;
    return &kApi;
}
