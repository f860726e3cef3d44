// The reference renderer: scene files, ray tracing with Embree, light
// sampling, the render loop and image output. It drives the shader library
// through the host core (host.h) and serves the tracing, lighting, sampling
// and frame-buffer operations (xr_trace_*, xr_sample_light, xr_sample, ...).
//
// Scene file (JSON), extending the network format:
//   {"nodes":   [ network nodes, as Network::load reads them ],
//    "camera":  {"type": "perspective"|"orthographic", "resolution": [w, h],
//                "focalLength": 35, "aperture": 36, "pixelAspect": 1,
//                "clip": [near, far], "transform": T, "environment": "node",
//                "volume": "node", "samples": 4,
//                "filter": {"type": "box"|"triangle"|"gaussian"|"mitchell", "width": 1},
//                "outputs": ["image.png", "image.exr"], "userData": U,
//                "name": "cam", "frame": 1, "time": 0, "alpha": true,
//                "lens": ["node", ...], "outputShaders": ["node", ...],
//                "contours": {"store": "node", "contrast": "node", "shader": "node"}},
//    "cameras": [{"name": "projector", "type": "perspective"|"orthographic",
//                 "focalLength": 35, "aperture": 36, "transform": T,
//                 "userData": U}],
//    "options": {"trace": true, "reflectionDepth": 2, "refractionDepth": 2,
//                "traceDepth": 4, "shadows": "simple"|"sorted"|"segments",
//                "shadowMaps": false, "modeCode": 0, "motionBlur": false,
//                "shutter": [open, close], "autoVolume": false,
//                "finalGather": false, "finalGatherRays": 16, "userData": U,
//                "volumeIrradiance": false, "finalGatherMinRadius": 0,
//                "finalGatherMaxRadius": 0},
//    "state":   "node" | {"node": "node"},
//    "objects": [{"name": "o", "mesh": M | "hair": H | "particles": P, "transform": T, "material": "sg",
//                 "label": 1, "userData": U, "lights": ["l1", ...],
//                 "parent": "earlier object (the instance it derives from)",
//                 "shadow": "node", "volume": "node", "motion": T}],
//    "lights":  [{"name": "l", "shader": "node", "transform": T,
//                 "area": {"shape": "rectangle"|"disc"|"sphere"|"cylinder"|"object",
//                          "size": [w, h], "radius": r, "samples": 8,
//                          "object": "o", "visible": false}}],
//    "images":  [{"name": "bricks", "file": "relative/or/absolute.png"}],
//    "imagePlanes": [{"name": "backdrop", "shader": "node", "depth": 50,
//                     "size": [w, h], "offset": [x, y]}]}
//   "finalGatherMinRadius"/"finalGatherMaxRadius": the limits (world
//      units; 0: a fortieth and a half of the scene's bounding radius)
//      of the validity radius of final-gather points that a bake's prebake
//      stores (a quarter of the harmonic mean distance of the surfaces
//      their gather rays hit; the maximum under an open sky). Gathers
//      interpolate the stored points that cover them and gather afresh
//      elsewhere; a render stores none itself.
//   Objects from shaders: "geometry": "node" instead of "mesh" names a
//      geometry shader (veko_box, veko_cone, veko_sphere), called once at
//      load with the object's instance; it defines polygon objects through
//      xr_api_object_begin ... _end and adds them to its result group
//      (xr_geoshader_add_result). Their polygons become the object's mesh
//      (fans, vertex normals from the faces); the object's user data chain
//      starts with the primitive's own block.
//   "displacement": {"shader": "node", "maxDisplace": 0, "length": 0,
//      "pixels": 2} tessellates the mesh at load until every edge is at most
//      "length" long in the world or "pixels" long on screen (a zero limit is
//      unused), calls the shader once per vertex on a displacement ray
//      (rayKind 16, sampleTime 0, hitPoint, shadingNormal and texture
//      coordinates in object space), moves the vertex along its normal by
//      the scalar result (clamped to +-"maxDisplace" when that is positive,
//      with a warning) and recomputes the normals. Vertices at one position
//      (hard edges, texture seams) move as one, along the mean of their
//      normals by the mean of their results, so the surface stays closed.
//      The object's bounds grow
//      by "maxDisplace". A displacement shader that sets motionVector gives
//      each vertex that motion from time 0 to 1. Such objects cannot be an
//      area light's "object" shape.
//   "fluid": {"file": "smoke.vdb", "density": "density", "temperature":
//      "temperature", "fuel": "fuel", "pressure": "pressure", "velocity":
//      "vel", "color": "Cd", "maxResolution": 128, "boundary": "clamp"}
//      reads grids of a .vdb file (through libvekohost_vdb.so) into a fluid
//      data block named "<object>.fluid", chained after the object's own
//      "userData" and before its particle block, for the fluid textures
//      (their "fluidData" names "<object>.fluid", or the object when it has
//      no user data of its own). A volume container ("volume") without
//      "userData" whose chain holds a fluid or particle block gets the call
//      mode [0, 0, 1, 0] (one march step), or [0, 1, 1, 0] (a direct call)
//      for particles, ahead of them. Values name grids; a field whose
//      key is absent reads its default grid when the file has one (density
//      must exist), null skips it. Scalar fields need float grids, velocity
//      and colour vector grids; grids must be axis-aligned. All grids are
//      resampled (trilinear, in world space) at the cell centres of one
//      container: the union of their active boxes, at the finest voxel size,
//      at most "maxResolution" cells along its longest side; fluid space is
//      world space (the grid centre is the box's centre). "boundary" "wrap"
//      makes every axis repeat. Block words: 3 2D flag, 4 density offset flag
//      (0 here), 5 base grid (the density grid), 6-8 density scale, method
//      (8 grid, 0 constant), grid; 9-11 velocity scale, 12 method, 13-15
//      x, y, z grids, 16 staggered flag; 17-20 colour constant, 21 method,
//      22-24 r, g, b grids; 25-27 temperature, 31-33 fuel, 37-39 pressure
//      (scale, method, grid); word 1 is -1 (byte-order neutral). A grid
//      record: centre, resolution, size, cell size, boundary mode per axis,
//      then the values, x fastest.
//   M: {"type": "plane", "size": [w, d], "divisions": n}
//      {"type": "box", "size": [x, y, z]}
//      {"type": "sphere", "radius": r, "segments": 32, "rings": 16}
//      {"type": "obj", "file": "relative/or/absolute.obj"}
//      {"type": "mesh", "positions": [x,y,z,...], "normals": [...],
//       "uvs": [[u,v,...], ...], "triangles": [i,j,k,...],
//       "colors": [r,g,b,...] | [[r,g,b,...], ...]}
//   H: hair strands instead of a mesh, in the object's space:
//      {"strands": [[x,y,z, x,y,z, ...], ...]}   control points, root first
//      {"surface": M, "count": 1000, "length": 0.1, "segments": 4,
//       "randomness": 0.1, "seed": 1, "bend": [x, y, z]}   grown over M
//      and for both: "width": 0.01 (at the root; grown strands no wider
//      than their "length"), "tipWidth": width,
//      "rootColor": [1, 1, 1], "tipColor": rootColor.
//      Grown strands start at roots spread uniformly over M's area, leave
//      along its normal tilted at random by up to "randomness", vary in
//      length by +-randomness/2 and bend towards "bend" (in strand lengths)
//      quadratically along the strand; a seed always grows the same fur.
//      Strands are smooth curves through their points (Embree flat
//      Catmull-Rom ribbons facing the ray). On a strand hit the normal
//      faces the ray, baryWeights[1] is the strand parameter t (0 root, 1
//      tip), texCoords[0] the colour at t (query 82 answers 1, query 137 0),
//      and hairData holds dP/dt, then the vector across the strand's width
//      (query 138 answers 1). Rays leaving a strand (shadows, final gather)
//      start clear of its own ribbon; final gathering at a strand covers the
//      whole sphere.
//   Particles: "particles": {"points": [[x, y, z, radius], ...]} with
//      optional lists of one entry per point: "velocities" [vx, vy, vz] or
//      [vx, vy, vz, vradius] (per unit of shutter time), "colors",
//      "opacities", "incandescence" ([r, g, b] each) and "values" ([a, b]).
//      They become a particle block (magic "Veko"; word 4 the count; arrays
//      as (first word, stride) pairs: radii 5, centres 7, values a 17 and
//      b 19, colours 21, opacities 23, incandescence 25, radius velocities
//      37, centre velocities 39; byte 5 is 1 when velocities are given)
//      appended to the object's user data and named "<object>.particles" for
//      tag parameters (veko_blobbyparticles' "particleData"). Points and
//      velocities are in the object's space ("transform" places them; the
//      block holds them in world space) and radii in its units (the
//      particle shaders scale them by the object's x axis). An object with
//      particles and no mesh gets a box round them (centres at time 0, at
//      shutter open and at shutter close, grown by the largest radius).
//      "motion": T (particle objects only) moves the object over one unit
//      of shutter time: a point p of its space at time 0 travels in a
//      straight line to p * T at time 1. Its instance record carries T
//      (xrInstanceRecord::motion, the identity for every other instance),
//      the block is marked as carrying motion, and a shader whose tag
//      parameter names the block initialises with the object as its
//      instance (instanceTag and object space), where the particle shaders
//      add the motion to every particle's velocity.
//      Or from a point file: "particles": {"file": "drops.vdb"} reads an
//      OpenVDB point data grid (relative paths from the scene's directory):
//      "grid" names it (default: the file's first point grid); positions
//      are the world-space "P" (the object's "transform" places them as
//      it places inline points; the default identity keeps them); attributes
//      "pscale" (radius; without it
//      "radius": r gives every particle the radius r), "v" (velocity,
//      times "velocityScale", default 1), "Cd" (colour), "opacity" and
//      "incandescence" (float or vector), "age" and "lifespan" (values a
//      and b) are read when present. "attributes": {"radius", "velocity",
//      "color", "opacity", "incandescence", "valueA", "valueB"} maps each to
//      another attribute name (then required) or to null (not read).
//      Scalars are float or double, vectors vec3s or vec3d; every value
//      must be finite and radii not negative. The same block is built.
//   Vertex colours: "colors" holds one colour set (a flat list) or several,
//   one r, g, b per position each; an OBJ file whose every vertex carries a
//   colour ("v x y z r g b") gives colour set 0. Shaders read set k of the
//   hit triangle through xr_tri_vectors(state, 42, k, ...).
//   T: a 16-number row-major matrix (row vectors, translation in 12..14), or
//      {"translate": [..], "rotate": [degrees x, y, z], "scale": s|[..]}, or
//      {"lookAt": {"eye": [..], "target": [..], "up": [..]}} (-z looks at
//      the target: cameras, spot and directional lights).
//   U: "Veko" user-data words [w1, w2, ...] (the words after the magic;
//      integers stay integers, numbers with a fraction are floats), or a list
//      of {"label": "Veko"|number, "words": [...]} blocks chained in order.
//   Cameras: the render camera and the further "cameras" (not rendered, e.g.
//      projectors) are camera instances; a "name" makes one usable as a tag
//      parameter value, and query 7 on the instance gives its camera element
//      (type 5, an xrCamera record).
//   Images: any file OpenImageIO reads (PNG, JPEG, TIFF, OpenEXR, HDR, ...),
//      read once however many entries name it, with a pyramid of reduced
//      levels; pixel values are used as stored. A tag parameter given an
//      image's name (veko_file's "fileTextureName") holds its element.
// Lens shaders ("lens"): every eye sample calls the first node with the eye
//   state; xr_trace_eye(colour, state, origin, direction) from a lens shader
//   hands a new eye ray to the next node of the list, and the last one's
//   xr_trace_eye traces and shades it. The first traced ray that hits gives
//   the sample its depth and label.
// Output shaders ("outputShaders"): after the samples, each node runs once,
//   in order, on one thread, with a state whose camera record holds the
//   render window (windowXmin .. windowYmax, inclusive, the whole image).
//   xr_output_image_open(state, index) gives the frame's images: 0 colour
//   (RGBA, as filtered), 1 depth (r = g = b), 4 label (r), 5 coverage (the
//   filter-weighted fraction of samples that hit geometry or a visible
//   light, in all four channels), 11 + k extra frame buffer k (k = 0..7,
//   the state shader's "frameBuffer" k + 1; null while no sample wrote it).
//   Pixel (0, 0) is the lower left; xr_img_put_color writes back, and the
//   written frame is what the outputs get. xr_par_aborted() turns true on
//   an interrupt (SIGINT in the render command) or vh::requestAbort().
// Contours ("contours"): the store node records the first eye sample of
//   every pixel, store(info, &size, state, &sampleColour) on the shaded eye
//   state (at most 256 bytes; a sample that hits nothing has no record).
//   After the samples, contrast(info1, info2, 0, state, params) compares
//   every pixel with its right and upper neighbour (null: no record; two
//   nulls are not compared); where it returns true, a line runs along the
//   two pixels' shared edge, at the nearer sample's camera-space z, and the
//   shader node gives each end point its colour and width
//   (shader(end, info1, info2, state, params); the width, a percentage of
//   the image width, becomes pixels). Output shaders (e.g.
//   veko_contouroutput) read the lines with xr_get_contour_line. Query 159
//   gives the hit triangle's index, query 154 the hit instance's first
//   user-data element, and stateWord140 holds the hit material's tag.
// Image planes ("imagePlanes"): a rectangle fixed to the camera at camera-
//   space z = -depth, facing the camera, whose material is the "shader"
//   node (called like a material: one colour). By default it fills the view
//   exactly ("size" scales it, "offset" moves its centre, both in fractions
//   of the view); uv set 0 runs from (0, 0) at its lower left to (1, 1).
//   Planes cast no shadows. A plane nearer than the scene shows in front of
//   it; the shader traces on (xr_trace_transparent) for what lies behind.
// Tag parameters of nodes may name an object or a light: its instance tag.
// Area lights: the host samples the shape ("samples" points per light
//   sample) and puts each point in the light state's rayOrigin. Light space:
//   rectangle in z = 0 spanned by "size" (or "edges"), disc of "radius" in
//   z = 0, sphere of "radius", cylinder of "radius" around the x axis from
//   x = -1 to 1; "object" emits from the named object's mesh (light space is
//   the object's space, the light's transform is ignored) with the mesh's uv
//   at the sample point. "visible": camera and reflection rays see the shape
//   and get the light shader's colour there (an object light's mesh shows
//   the light instead of its material).
// Light sampling: a caller whose shadingNormal is zero (the hair shader)
//   gets the lights from every side. veko_volumelight chooses its own
//   direction; its samples are kept when the cosine it leaves is positive.
// xr_compute_irradiance is pi times xr_compute_avg_radiance.
// Volume irradiance: "volumeIrradiance" sets the options' photon-volume
//   word (byte 80), which asks fog shaders to add the light in-scattered at
//   their point: xr_compute_volume_irradiance sums every light of the scene,
//   sampled from every side (no cosine), shadowed as each light casts its
//   shadows.
// Environment lights: a light whose "shader" is a veko_ibllight node lights
//   the scene from an environment image (its "image" parameter names an
//   entry of "images", a latitude-longitude or angular map) or from its
//   "color" input. The shader places every sample itself (direction, origin
//   and distance in the light state) for lightSampleIndex 0, 1, ... until it
//   answers 2; its shadow rays run from that origin to the shaded point.
//   During a shader's _init, query 118 with tag 0 gives the scene's world
//   box. Queries 124 and 126 read and store a per-thread pointer of the
//   running instance; 127 lists every pointer stored (null-terminated).
// Subsurface scattering: query 52 gives the running shader instance's own
//   lock; queries 94 and 95 an object instance's internal-space box (tag 0:
//   the instance hit) and 116 its triangles (xrSurfaceView, false for
//   strands). Inside xr_sample_scope_begin/_end the state's sample sequences
//   are keyed by the given key instead of the pixel, so a point cloud lit by
//   whichever thread comes first is the same for any thread count.
// Baking: `vekohost bake` renders an object's shading with a
//   veko_bakelightmap (or, --vertices, veko_bakevertices) node of the scene
//   into a light map over its uv layout or into its vertex colours; a
//   veko_postlightmap node may follow (vekohost/bake.h).
// Shadow rays: a light's shadow ray visits the occluders between the light
//   and the shaded point in order from the light, shading each (rayKind 5)
//   with the attenuation that reaches it. An object's "shadow" node (e.g.
//   veko_shadow) is called there instead of its material, with a fourth
//   argument that is null when the shader is to continue the ray itself
//   ("shadows": "segments": it calls xr_trace_shadow_seg, which walks on to
//   the shaded point; each segment starts at the previous occluder, whose
//   hit is rayOrigin, and hitDistance is the segment's length). Otherwise
//   the host walks on after each occluder.
// Volumes: the camera's "volume" node (a veko_volumesampler) runs on every
//   segment of eye, reflection, refraction, transparency and continuation
//   rays, hit or miss, after the segment is shaded: rayOrigin is the
//   segment's start, hitPoint and hitDistance its end (hitRef null when the
//   ray leaves the scene; the sampler then takes the camera's clip planes),
//   and it changes the shaded colour (the result, RGBA) in place. An
//   object's "volume" node makes its closed mesh a volume container: with
//   options "autoVolume": true the host keeps, per ray, the volumes that
//   enclose it (entered through front faces, left through back faces,
//   nested; those enclosing the camera position found at the start) and
//   serves them to the sampler with xr_volume_num_shaders, xr_volume_tags
//   and xr_volume_instances; a segment inside volumes runs the camera's
//   volume node, or else the innermost volume's. Without a "material" the
//   object's surface is invisible: rays pass on through it (the segments on
//   either side are sampled apart; the sample's depth, coverage and label
//   are those of what lies behind). A refracting material with a volume
//   fills its inside: rays it refracts inward see the volume up to the exit.
//   While a volume node runs, object space is that of the state's
//   instanceTag (the volume's object, the camera for the atmosphere). With
//   "shadows": "segments" the shadow segments between occluders run the
//   volume node too (rayKind 5, the light's colour arriving as the result,
//   which the sampler attenuates). March steps come from "Veko" user data:
//   the camera's words 8 and 9 ("userData": [0,0,0,0,0,0,0, steps, jitter])
//   for the atmosphere, an object's words 2, 3 and 4 ("userData": [0, mode,
//   steps, jitter]; mode 0 marches) for its volume; without them one
//   unjittered step. Queries 54 and 63 give a shader's function (its own
//   tag here) and that function's name (the node type).
// Light linking: "lights" on an object lists the lights that illuminate it
//   (default: all); the host's exclusive light list is every light of the
//   scene except the ones given.
// Space: y up; camera space looks down -z; internal space is world space.
// Time: "frame" is the camera's frame value (the frame being rendered;
//   `render --frames` replaces it per frame) and "time" the sample time of
//   every ray within that frame (xrState::sampleTime). With "motionBlur" on,
//   the eye samples of a pixel spread their sample times over the "shutter"
//   interval [open, close] instead. Time-curve nodes read frame + sample
//   time, or, when the camera's "Veko" block has words 14 < 15, that range.
// Output names: a run of '#' becomes the frame number, zero-padded to the
//   run's length ("out.####.exr" -> "out.0007.exr"; "-0003" for frame -3).
// Rays that leave the scene (eye, reflection, refraction, gather rays and
// xr_trace_environment) call the camera's "environment" node, or the state's
// environmentShader when a shader set one, with hitPoint = the ray origin,
// zero normals, cosView 0 and zero texture coordinates. The environment
// leaves the sample's alpha at 0 (what the state shader makes of the matte);
// "alpha": false writes every output with alpha 1, so that an environment
// background stays visible in 8-bit images.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vekohost/host.h"

namespace vh {

struct RenderOptions {
    int threads = 0;        // render threads; 0 = all cores
    int samples = 0;        // samples per pixel; 0 = the scene's
    int width = 0;          // resolution override; 0 = the scene's
    int height = 0;
    int tileSize = 16;
    bool progress = true;   // progress bar on standard error
    std::vector<std::string> outputs;  // replace the scene's outputs
    std::string libraryPath;           // empty: Library::defaultPath()
    std::vector<long> frames;          // frames to render; empty: the scene's "frame"
    bool hasTime = false;              // replace the scene's sample "time"
    float time = 0;
    // A part of the frame: pixels x0 <= x < x1, y0 <= y < y1 (rows from the
    // top). Empty (x1 <= x0): the whole frame. The pixels are the same as
    // those of a whole render (a frame with output shaders, which read the
    // whole frame, is rendered whole and cut).
    struct Region {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        bool empty() const { return x1 <= x0 || y1 <= y0; }
    } region;
    // Or tile tileIndex of tileCount (tileCount > 0): bands of rows, see
    // tileRegion() in tiles.h.
    int tileIndex = 0, tileCount = 0;
};

// A rendered frame, or a part of one. Pixel (x, y) is row y from the top of
// the part; the part starts at (originX, originY) of a frame of fullWidth x
// fullHeight (OpenEXR: data window inside the display window).
struct FrameImage {
    int width = 0, height = 0;
    int originX = 0, originY = 0;
    int fullWidth = 0, fullHeight = 0;  // 0: width, height
    std::vector<float> rgba;    // 4 per pixel, filtered
    std::vector<float> depth;   // nearest sample depth (0: nothing hit)
    std::vector<uint32_t> label;  // label of the sample with the largest filter weight
    std::vector<float> coverage;  // filter-weighted fraction of the samples that hit something
    std::array<std::vector<float>, 8> fb;  // extra frame buffers (RGBA), empty when unused
    const float *pixel(int x, int y) const { return &rgba[(size_t(y) * width + x) * 4]; }
};

// A material implemented by the host program instead of a shader node (tests,
// tools). Named in a scene as "material": "native:<name>". Called like a
// material shader: fills `color` for the ray in `state`.
using NativeMaterial = std::function<xrBoolean(xrColor *color, xrState *state)>;
void registerNativeMaterial(const std::string &name, NativeMaterial fn);

class Scene;
class Renderer;
struct SceneDeleter {
    void operator()(Scene *s) const;
};
using ScenePtr = std::unique_ptr<Scene, SceneDeleter>;

// Loads a scene file; relative OBJ and output paths resolve against its
// directory. Throws Error naming the file and the element at fault. A
// positive width or height replaces the camera's resolution before anything
// is built for the image (the command line's --width and --height).
ScenePtr loadScene(Library &lib, const std::string &path, int width = 0, int height = 0);
ScenePtr loadSceneJson(Library &lib, const json &doc, const std::string &where, const std::string &baseDir = ".");

// Scene settings that a caller may change before rendering.
struct SceneSettings {
    int width = 0, height = 0, samples = 1;
    std::vector<std::string> outputs;
    float time = 0;  // sample time of every ray when motion blur is off
    bool alpha = true;  // false: rendered outputs are written with alpha 1 (an opaque background)
};
SceneSettings &settingsOf(Scene &scene);
xrOptions &optionsOf(Scene &scene);
xrCamera &cameraOf(Scene &scene);
Network &networkOf(Scene &scene);

// Database tags of a named object instance (0 when there is none).
struct ObjectInfo {
    xrTag instanceTag = 0, objectTag = 0, dataTag = 0;
};
ObjectInfo objectInfo(const Scene &scene, const std::string &name);

// Renders a frame (threads, tiles, progress). Deterministic whatever the
// thread count.
FrameImage render(Scene &scene, const RenderOptions &opts = {});

// Runs the scene's output shaders ("outputShaders") on a rendered frame, as
// render() does after the samples. The scene must not be rendering.
void runOutputShaders(Scene &scene, FrameImage &img);

// Aborting a render: xr_par_aborted() reports the request to shaders; the
// render loop stops handing out tiles and output shaders stop at their next
// check. The request stays until cleared (the next render() clears it).
void requestAbort();
void clearAbort();
bool abortRequested();

// Writes an image by extension: .png (8-bit sRGB RGBA), .exr (float beauty
// RGBA, Z, label and the extra frame buffers). Throws Error on failure.
void writeImage(const FrameImage &img, const std::string &path);
// Reads an RGBA image into linear floats (tests: golden images).
FrameImage readImage(const std::string &path);

// The render subcommand: loads the library and the scene, renders, writes
// the outputs. Returns a process exit code; reports errors as messages.
int renderScene(const std::string &scenePath, const RenderOptions &opts);
// The same with a loaded library; throws Error. Every frame of opts.frames
// is rendered from a freshly loaded scene (init, render, exit), so that a
// frame rendered alone equals the same frame rendered in a sequence.
void renderFrames(Library &lib, const std::string &scenePath, const RenderOptions &opts);

// Answers the queries that need the scene (the core's xr_query forwards
// codes it does not know): 4/5 instance and light matrices, 7 light of a
// light instance or camera of a camera instance, 24 area shape, 33/34 rectangle edges, 35 disc normal,
// 82 texture spaces, 118 object bounding box, 137 derivative sets, 138 hair
// derivatives, 142 reduced-quality sampling.
bool renderQuery(int code, xrState *state, xrTag tag, void *result);

// ---------------------------------------------------------------------------
// Lower level: a render session, for tests and benchmarks that drive single
// samples. One session per scene at a time.
class Renderer {
public:
    Renderer(Scene &scene, int threads);
    ~Renderer();
    Renderer(const Renderer &) = delete;
    Renderer &operator=(const Renderer &) = delete;

    // One eye sample through the raster position (x, y) (y up, pixels) on
    // the given thread's state: state shader opcode 2, trace, material,
    // opcode 3. `sampleIndex` selects the low-discrepancy sequence entry.
    struct Sample {
        xrColor color{};
        double depth = 0;
        uint32_t label = 0;
        xrColor fb[8];  // set where fbMask has the buffer's bit (left unset per sample otherwise)
        uint8_t fbMask = 0;
        bool hit = false;
    };
    // With `shade` false only the host's part runs: the eye state is set
    // up and the eye ray traced, but no shader is called (benchmarks); the
    // state's hit fields are filled for shaders only, so the sample reports
    // hit, depth and label and the state keeps no other hit data.
    Sample shadeSample(int thread, float x, float y, uint32_t pixelIndex, int sampleIndex, bool shade = true);
    // The eye state of a thread (valid after construction): tests inspect
    // its record and host data.
    xrState *eyeState(int thread);
    Scene &scene() { return scene_; }
    int threads() const;

    struct Impl;
    Impl *impl() { return impl_.get(); }

private:
    Scene &scene_;
    std::unique_ptr<Impl> impl_;
};

// Eye ray of a raster position in world space (y up, pixels).
void eyeRay(const Scene &scene, float x, float y, xrVector &org, xrVector &dir);
// The raw Embree scene handle (RTCScene) for comparisons.
void *embreeScene(Scene &scene);

}  // namespace vh
