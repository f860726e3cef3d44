// The file texture and the host's texture images: texel addressing, the
// mip-mapped filter's level choice and blend, wrapping, the alpha rules, the
// decoded normal, the empty result, image files of several formats, the
// scene's "images" section and its errors, and the footprint filters of eye
// rays in a render.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <vekohost/imageio.h>
#include <vekohost/render.h>
#include <vekohost/textures.h>

#include "support.h"
#include "vekobase.h"

namespace {

using vh::json;

constexpr float kUnset = 777.0f;

struct FileResult {
    xrColor outColor;
    float outAlpha;
    float outSize[2];
    float word7;
    int32_t outFileHasAlpha;
    float outTransparency[4];
    xrVector outNormal;
};
static_assert(sizeof(FileResult) == 64);

// Fixture images of this process, removed when the suite ends (the host's
// elliptical filter reads the files again).
struct TempDir {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("vekofile_" + std::to_string(getpid()));
    TempDir() { std::filesystem::create_directories(dir); }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};
std::filesystem::path tempPath(const std::string &name) {
    static TempDir t;
    return t.dir / name;
}

// Writes an image (`channels` floats per pixel, top row first) and opens it.
std::shared_ptr<vh::TextureImage> makeImage(const std::string &name, int w, int h, int channels,
                                            const std::vector<float> &px) {
    const std::string path = tempPath(name).string();
    vh::writeImage(path, w, h, channels, px.data());
    return vh::openTextureImage(path);
}

// 4 x 2 RGBA texels, top row first: texel (x, row) = (x/4, row/2, 0.5, 1).
// In the image's own addressing (row 0 at the bottom) texel (x, y) has
// g = (1 - y)/2.
std::shared_ptr<vh::TextureImage> smallImage() {
    std::vector<float> px;
    for (int row = 0; row < 2; ++row)
        for (int x = 0; x < 4; ++x) px.insert(px.end(), {x / 4.0f, row / 2.0f, 0.5f, 1.0f});
    return makeImage("small.exr", 4, 2, 4, px);
}

// Calls a veko_file node with `params` at the surface uv in a standalone
// state; the result words start out as kUnset.
FileResult callFile(const json &params, float u, float v, const veko::BaseStateRecord *record = nullptr) {
    vh::Network net(vt::library());
    vh::Instance &t = net.add("t", "veko_file");
    for (auto &[k, val] : params.items()) t.setLiteral(k, val);
    vh::StandaloneState ss;
    net.init(ss.state());
    ss.setSurfaceSample(u, v);
    if (record) xr_shaderstate_set(ss.state(), "vekobase", record, sizeof *record, 2);
    std::vector<float> out(16, kUnset);
    EXPECT_EQ(vh::callShader(t, ss.state(), out.data()), 1);
    FileResult r;
    std::memcpy(&r, out.data(), sizeof r);
    EXPECT_EQ(r.outColor.a, r.outAlpha);
    EXPECT_EQ(r.word7, kUnset) << "word 7 is not written";
    return r;
}

::testing::AssertionResult near(const xrColor &got, const xrColor &want, float tol = 1e-5f) {
    if (std::fabs(got.r - want.r) <= tol && std::fabs(got.g - want.g) <= tol && std::fabs(got.b - want.b) <= tol &&
        std::fabs(got.a - want.a) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got (" << got.r << ", " << got.g << ", " << got.b << ", " << got.a
                                         << "), want (" << want.r << ", " << want.g << ", " << want.b << ", "
                                         << want.a << ")";
}

// ---------------------------------------------------------------------------
TEST(FileTexture, PointSampleReadsTheTexelUnderTheUv) {
    auto img = smallImage();
    struct Case {
        float u, v;
        int x, y;  // expected texel, row 0 at the bottom
    } cases[] = {
        {0.1f, 0.1f, 0, 0}, {0.3f, 0.1f, 1, 0}, {0.99f, 0.9f, 3, 1}, {0.5f, 0.5f, 2, 1},
        // Exactly 1 stays 1 (not wrapped) and lands on the last texel.
        {1.0f, 1.0f, 3, 1},
        // Outside [0, 1]: the fractional part.
        {1.3f, -0.9f, 1, 0}, {-0.2f, 2.75f, 3, 1},
    };
    for (const Case &c : cases) {
        FileResult r = callFile({{"fileTextureName", img->tag()}, {"filterType", 0}}, c.u, c.v);
        const float red = c.x / 4.0f, green = (1 - c.y) / 2.0f;
        // No meaningful alpha in the file: the alpha is the luminance.
        const xrColor want{red, green, 0.5f, 0.3f * red + 0.59f * green + 0.11f * 0.5f};
        EXPECT_TRUE(near(r.outColor, want)) << "uv " << c.u << ", " << c.v;
        EXPECT_EQ(r.outSize[0], 4.0f);
        EXPECT_EQ(r.outSize[1], 2.0f);
    }
}

TEST(FileTexture, BilinearEdgesFollowWrap) {
    // One row of 4 texels along u with r = 0, 0.25, 0.5, 1.
    std::vector<float> px = {0, 0, 0, 0.25f, 0.25f, 0.25f, 0.5f, 0.5f, 0.5f, 1, 1, 1};
    auto img = makeImage("row.exr", 4, 1, 3, px);
    struct Case {
        float u;
        bool wrap;
        float want;
    } cases[] = {
        {0.0f, false, 0.0f},                    // texel 0 only
        {0.0f, true, 0.5f * 0.0f + 0.5f * 1.0f},  // texel 0 and the last, half each
        {1.0f, false, 1.0f},                    // u = 1: the last texel
        {1.0f, true, 0.5f},                     // last and first, half each
        {0.125f, true, 0.0f},                   // texel centre
        {0.25f, false, 0.125f},                 // between texels 0 and 1
        {0.5625f, true, 0.5f * 0.75f + 0.25f * 0.25f + 0.0f},  // x = 1.75: 0.25 of texel 1, 0.75 of texel 2
    };
    for (const Case &c : cases) {
        FileResult r = callFile({{"fileTextureName", img->tag()}, {"filterType", 1}, {"noMipmap", 1},
                                 {"wrapU", c.wrap}, {"wrapV", c.wrap}},
                                c.u, 0.5f);
        EXPECT_NEAR(r.outColor.r, c.want, 1e-5) << "u " << c.u << " wrap " << c.wrap;
    }
}

// 512 x 256: red a one-texel checker, green a two-texel checker. The pyramid
// averages them away level by level (red from level 1, green from level 2),
// so the colour at a texel centre tells which levels were blended.
TEST(FileTexture, MipmapLevelChoiceAndBlend) {
    const int W = 512, H = 256;
    std::vector<float> px;
    for (int row = 0; row < H; ++row)
        for (int x = 0; x < W; ++x) {
            const int y = H - 1 - row;
            px.insert(px.end(), {float((x + y) & 1), float(((x >> 1) + (y >> 1)) & 1), 0.0f});
        }
    auto img = makeImage("mip.exr", W, H, 3, px);
    ASSERT_EQ(img->levels(), 10);
    // Texel (5, 5) of level 0: red 0, green 0. At level 1 the point lies a
    // quarter texel off a centre: green 0.625 * 0 + 0.375 * 1.
    const float u = 5.5f / W, v = 5.5f / H;
    struct Case {
        float w;  // filter width
        float r, g;
    } cases[] = {
        {0.0f, 0.0f, 0.0f},            // no filter: level 0
        {1.0f / 128, 0.0f, 0.0f},      // r = 256 = shorter side: level 0
        {1.0f / 96, 0.25f, 0.1875f},   // r = 192: level 1 blended half with level 0
        {1.0f / 64, 0.5f, 0.375f},     // r = 128: level 1 alone
        {1.0f / 48, 0.5f, 0.4375f},    // r = 96: level 2 blended half with level 1
        {1.0f / 32, 0.5f, 0.5f},       // r = 64: level 2
        {1.0f, 0.5f, 0.5f},            // w >= 1: the coarsest level
    };
    for (const Case &c : cases) {
        // filter 0: the width is 2 |filterOffset|.
        FileResult r = callFile({{"fileTextureName", img->tag()}, {"filterType", 1}, {"filter", 0.0},
                                 {"filterOffset", c.w / 2}},
                                u, v);
        EXPECT_NEAR(r.outColor.r, c.r, 1e-5) << "w " << c.w;
        EXPECT_NEAR(r.outColor.g, c.g, 1e-5) << "w " << c.w;
    }
    // noMipmap keeps level 0 whatever the width.
    FileResult r = callFile({{"fileTextureName", img->tag()}, {"filterType", 1}, {"filter", 0.0},
                             {"filterOffset", 0.5}, {"noMipmap", 1}},
                            u, v);
    EXPECT_NEAR(r.outColor.g, 0.0f, 1e-5);
    // The width from the uv filter size: filter * sqrt(fu fv) + offset, doubled.
    veko::BaseStateRecord rec{};
    rec.footprintU = {1.0f / 128, 1.0f / 512, 0};  // sqrt = 1/256, doubled: 1/128 ... times filter 2: 1/64
    r = callFile({{"fileTextureName", img->tag()}, {"filterType", 1}, {"filter", 2.0}}, u, v, &rec);
    EXPECT_NEAR(r.outColor.g, 0.375f, 1e-5);
}

TEST(FileTexture, AlphaRules) {
    // One RGBA texel: colour (0.5, 0.25, 1) with alpha 0.25.
    auto img = makeImage("alpha.exr", 1, 1, 4, {0.5f, 0.25f, 1.0f, 0.25f});
    const float lum = 0.3f * 0.5f + 0.59f * 0.25f + 0.11f * 1.0f;
    struct Case {
        bool opaqueWithoutAlpha, alphaIsLuminance, fileHasAlpha;
        float want;
    } cases[] = {
        {true, true, true, lum},     {true, true, false, lum},     {true, false, false, 1.0f},
        {true, false, true, 0.25f},  {false, true, true, lum},     {false, true, false, lum},
        {false, false, false, lum},  {false, false, true, 0.25f},
    };
    for (const Case &c : cases) {
        FileResult r = callFile({{"fileTextureName", img->tag()}, {"filterType", 0},
                                 {"opaqueWithoutAlpha", c.opaqueWithoutAlpha},
                                 {"alphaIsLuminance", c.alphaIsLuminance}, {"fileHasAlpha", c.fileHasAlpha}},
                                0.5f, 0.5f);
        EXPECT_NEAR(r.outAlpha, c.want, 1e-6) << c.opaqueWithoutAlpha << c.alphaIsLuminance << c.fileHasAlpha;
        EXPECT_EQ(r.outFileHasAlpha, c.fileHasAlpha ? 1 : 0);
        EXPECT_NEAR(r.outTransparency[0], 1 - r.outAlpha, 1e-6);
        if (c.want >= 1.0f) {
            EXPECT_EQ(r.outTransparency[3], 0.0f);
        } else {
            EXPECT_EQ(r.outTransparency[3], kUnset) << "fourth word kept while 0 < alpha < 1";
        }
    }
    // The output stage runs after the rule: invert, then gain and offset.
    FileResult r = callFile({{"fileTextureName", img->tag()}, {"filterType", 0}, {"fileHasAlpha", 1},
                             {"invert", 1}, {"alphaGain", 2.0}, {"alphaOffset", -0.5},
                             {"colorGain", {2, 1, 1, 1}}},
                            0.5f, 0.5f);
    EXPECT_NEAR(r.outAlpha, (1 - 0.25f) * 2 - 0.5f, 1e-6);
    EXPECT_NEAR(r.outColor.r, (1 - 0.5f) * 2, 1e-6);
    EXPECT_EQ(r.outTransparency[3], 0.0f);  // alpha 1: all four words 0
    r = callFile({{"fileTextureName", img->tag()}, {"filterType", 0}, {"fileHasAlpha", 1}, {"alphaGain", 0.0}}, 0.5f,
                 0.5f);
    for (float t : r.outTransparency) EXPECT_EQ(t, 1.0f);  // alpha 0: all four words 1
}

TEST(FileTexture, OutsideUvGivesTheDefaultColour) {
    auto img = smallImage();
    FileResult r = callFile({{"fileTextureName", img->tag()}, {"defaultColor", {1, 0, 0, 1}},
                             {"colorGain", {0, 0, 0, 1}}},
                            -2e7f, -2e7f);
    // The default colour as it is (no gain), alpha its luminance.
    EXPECT_TRUE(near(r.outColor, {1, 0, 0, 0.3f}));
    EXPECT_EQ(r.outSize[0], 4.0f);
    EXPECT_NEAR(r.outTransparency[0], 0.7f, 1e-6);
}

TEST(FileTexture, EmptyResultWithoutAnImage) {
    vh::Network other(vt::library());
    const xrTag notAnImage = other.add("x", "veko_blend").tag;  // a shader element, not an image
    const int pinsBefore = vh::Database::get().totalPins();
    for (xrTag tag : {xrTag(0), notAnImage, xrTag(0x7fffff00)}) {
        FileResult r = callFile({{"fileTextureName", tag}, {"normalMode", 1}}, 0.5f, 0.5f);
        EXPECT_TRUE(near(r.outColor, {0, 0, 0, 1})) << "tag " << tag;
        EXPECT_EQ(r.outAlpha, 1.0f);
        EXPECT_EQ(r.outSize[0], 0.0f);
        EXPECT_EQ(r.outSize[1], 0.0f);
        EXPECT_EQ(r.outFileHasAlpha, 0);
        for (float t : r.outTransparency) EXPECT_EQ(t, 0.0f);
        EXPECT_EQ(r.outNormal.x, kUnset) << "outNormal is not written";
    }
    EXPECT_EQ(vh::Database::get().totalPins(), pinsBefore) << "every access released";
    // An image is released after each lookup too.
    auto img = smallImage();
    callFile({{"fileTextureName", img->tag()}, {"normalMode", 1}, {"normalSpace", 2}}, 0.5f, 0.5f);
    callFile({{"fileTextureName", img->tag()}}, 0.5f, 0.5f);
    EXPECT_EQ(vh::Database::get().pins(img->tag()), 0);
}

TEST(FileTexture, NormalDecodeInCameraAndObjectSpace) {
    // Texel (1, 0.5, 0.5): the decoded vector (1, 0, 0); mid grey decodes to 0.
    auto img = makeImage("nx.exr", 1, 1, 3, {1.0f, 0.5f, 0.5f});
    auto grey = makeImage("grey.exr", 1, 1, 3, {0.5f, 0.5f, 0.5f});
    for (int space : {1, 3, 7}) {
        FileResult r = callFile({{"fileTextureName", img->tag()}, {"filterType", 0}, {"normalMode", 1},
                                 {"normalSpace", space}},
                                0.5f, 0.5f);
        // The standalone state's spaces are all the identity.
        EXPECT_NEAR(r.outNormal.x, 1, 1e-6);
        EXPECT_NEAR(r.outNormal.y, 0, 1e-6);
        r = callFile({{"fileTextureName", grey->tag()}, {"filterType", 0}, {"normalMode", 1}, {"normalSpace", space}},
                     0.5f, 0.5f);
        EXPECT_EQ(r.outNormal.x, 0.0f);
        EXPECT_EQ(r.outNormal.y, 0.0f);
        EXPECT_EQ(r.outNormal.z, 0.0f);
    }
    // normalMode 0: a zero normal; other modes: zero as well, then the space step.
    FileResult r = callFile({{"fileTextureName", img->tag()}, {"normalMode", 0}}, 0.5f, 0.5f);
    EXPECT_EQ(r.outNormal.x, 0.0f);
}

TEST(FileTexture, ImageFilesOfSeveralFormats) {
    // 2 x 1 images, left texel dark, right texel light; alpha where the
    // format has it.
    struct Case {
        std::string name;
        int channels;
        std::vector<float> px;
        xrColor right;  // the right texel as the image element holds it
        float tol;
    } cases[] = {
        {"rgba8.png", 4, {0, 0, 0, 1, 1, 0.6f, 0.2f, 0.4f}, {1, 0.6f, 0.2f, 0.4f}, 0.5f / 255},
        {"rgb8.tif", 3, {0, 0, 0, 1, 0.6f, 0.2f}, {1, 0.6f, 0.2f, 1}, 0.5f / 255},
        {"grey.png", 1, {0, 0.6f}, {0.6f, 0.6f, 0.6f, 1}, 0.5f / 255},
        {"greyalpha.png", 2, {0, 1, 0.6f, 0.4f}, {0.6f, 0.6f, 0.6f, 0.4f}, 0.5f / 255},
        {"half.exr", 4, {0, 0, 0, 1, 3.0f, 0.6f, 0.2f, 0.4f}, {3.0f, 0.6f, 0.2f, 0.4f}, 1e-3f},
        {"float.hdr", 3, {0, 0, 0, 2.0f, 0.5f, 0.25f}, {2.0f, 0.5f, 0.25f, 1}, 0.02f},
    };
    for (const Case &c : cases) {
        auto img = makeImage(c.name, 2, 1, c.channels, c.px);
        EXPECT_EQ(img->width(), 2);
        EXPECT_EQ(img->levels(), 2);
        FileResult r = callFile({{"fileTextureName", img->tag()}, {"filterType", 0}, {"fileHasAlpha", 1}}, 0.75f,
                                0.5f);
        EXPECT_TRUE(near(r.outColor, c.right, c.tol)) << c.name;
    }
}

TEST(FileTexture, FileIsReadOnceAndSharedWhileOpen) {
    const std::string path = tempPath("shared.png").string();
    vh::writeImage(path, 1, 1, 3, std::vector<float>{1, 0, 0}.data());
    auto a = vh::openTextureImage(path);
    std::filesystem::remove(path);
    // Still open: the same element, without reading the (now gone) file.
    auto b = vh::openTextureImage(path);
    EXPECT_EQ(a.get(), b.get());
    a.reset();
    EXPECT_EQ(vh::Database::get().type(b->tag()), xrDB_IMAGE);
    const xrTag tag = b->tag();
    b.reset();
    EXPECT_EQ(vh::Database::get().type(tag), 0) << "the element goes with its last owner";
    EXPECT_THROW(vh::openTextureImage(path), vh::Error);
}

// ---------------------------------------------------------------------------
// Scenes.

vh::ScenePtr loadScene(const json &doc) {
    return vh::loadSceneJson(vt::library(), doc, "test.json", tempPath("x").parent_path().string());
}

json topCamera(int size) {
    return {{"type", "orthographic"},
            {"resolution", {size, size}},
            {"aperture", 2},
            {"clip", {0.1, 100}},
            {"transform", {{"lookAt", {{"eye", {0, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}};
}

TEST(FileScene, MissingImageFileIsAnErrorNamingFileAndNode) {
    json doc = {{"images", {{{"name", "wood"}, {"file", "no_such_texture.png"}}}},
                {"nodes", {{{"name", "woodTex"}, {"type", "veko_file"}, {"params", {{"fileTextureName", "wood"}}}}}}};
    try {
        loadScene(doc);
        FAIL() << "loading succeeded";
    } catch (const vh::Error &e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("test.json: images[0] (\"wood\")"), std::string::npos) << m;
        EXPECT_NE(m.find("no_such_texture.png"), std::string::npos) << m;
        EXPECT_NE(m.find("no such file"), std::string::npos) << m;
        EXPECT_NE(m.find("\"woodTex\""), std::string::npos) << m;
    }
    // A file that is no image.
    const auto bad = tempPath("garbage.png");
    { std::ofstream(bad) << "not an image"; }
    doc["images"][0]["file"] = bad.filename().string();
    try {
        loadScene(doc);
        FAIL() << "loading succeeded";
    } catch (const vh::Error &e) {
        EXPECT_NE(std::string(e.what()).find(bad.filename().string()), std::string::npos) << e.what();
    }
    std::filesystem::remove(bad);
    // A texture naming an image the scene does not have.
    json unknown = {{"nodes", {{{"name", "t"}, {"type", "veko_file"}, {"params", {{"fileTextureName", "nothing"}}}}}}};
    EXPECT_THROW(loadScene(unknown), vh::Error);
}

// A render state on a plane: the native material "fileprobe" calls the
// texture node on the render's own state and keeps its result.
struct Probe {
    static FileResult result;
    static vh::Instance *node;
    static void install() {
        vh::registerNativeMaterial("fileprobe", [](xrColor *c, xrState *s) {
            std::vector<float> out(16, kUnset);
            vh::callShader(*Probe::node, s, out.data());
            std::memcpy(&Probe::result, out.data(), sizeof(FileResult));
            *c = {1, 1, 1, 1};
            return xrBoolean(1);
        });
    }
};
FileResult Probe::result;
vh::Instance *Probe::node = nullptr;

TEST(FileScene, ImagesSectionSharesOneElementPerFile) {
    const auto path = tempPath("scene_tex.png");
    std::vector<float> px = {1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1};  // 2 x 2
    vh::writeImage(path.string(), 2, 2, 3, px.data());
    json doc = {{"images", {{{"name", "a"}, {"file", path.filename().string()}},
                            {{"name", "b"}, {"file", path.string()}}}},
                {"nodes", {{{"name", "ta"}, {"type", "veko_file"}, {"params", {{"fileTextureName", "a"}}}},
                           {{"name", "tb"}, {"type", "veko_file"}, {"params", {{"fileTextureName", "b"}}}}}}};
    auto scene = loadScene(doc);
    std::filesystem::remove(path);
    vh::Network &net = vh::networkOf(*scene);
    xrTag ta, tb;
    std::memcpy(&ta, net.find("ta")->paramAddress("fileTextureName"), 4);
    std::memcpy(&tb, net.find("tb")->paramAddress("fileTextureName"), 4);
    EXPECT_NE(ta, 0u);
    EXPECT_EQ(ta, tb);
    EXPECT_EQ(vh::Database::get().type(ta), xrDB_IMAGE);
}

// The tangent-space normal of a rotated plane, and the footprint filters of
// eye rays in a render.
TEST(FileScene, TangentSpaceNormalFollowsTheSurfaceBasis) {
    Probe::install();
    auto img = makeImage("tn.exr", 1, 1, 3, {1.0f, 0.5f, 0.5f});  // tangent (1, 0, 0): along dP/du
    // The plane's u runs along object +x; turned 90 degrees about y, object
    // +x becomes world -z.
    json doc = {{"camera", topCamera(4)},
                {"nodes", {{{"name", "t"}, {"type", "veko_file"},
                            {"params", {{"fileTextureName", img->tag()}, {"filterType", 0}, {"normalMode", 1},
                                        {"normalSpace", 2}}}}}},
                {"objects", {{{"name", "p"}, {"mesh", {{"type", "plane"}, {"size", 4}}},
                              {"transform", {{"rotate", {0, 90, 0}}}}, {"material", "native:fileprobe"}}}}};
    auto scene = loadScene(doc);
    Probe::node = vh::networkOf(*scene).find("t");
    vh::Renderer r(*scene, 1);
    ASSERT_TRUE(r.shadeSample(0, 2, 2, 0, 0).hit);
    EXPECT_NEAR(Probe::result.outNormal.x, 0, 1e-5);
    EXPECT_NEAR(Probe::result.outNormal.y, 0, 1e-5);
    EXPECT_NEAR(Probe::result.outNormal.z, -1, 1e-5);
    // (0.5, 0.5, 1): the shading normal; (0.5, 1, 0.5): along dP/dv (object
    // -z, world -x after the turn).
    for (auto [texel, want] : {std::pair{std::vector<float>{0.5f, 0.5f, 1.0f}, xrVector{0, 1, 0}},
                               std::pair{std::vector<float>{0.5f, 1.0f, 0.5f}, xrVector{-1, 0, 0}}}) {
        auto other = makeImage("tn2.exr", 1, 1, 3, texel);
        Probe::node->setLiteral("fileTextureName", other->tag());
        ASSERT_TRUE(r.shadeSample(0, 2, 2, 0, 0).hit);
        EXPECT_NEAR(Probe::result.outNormal.x, want.x, 1e-5);
        EXPECT_NEAR(Probe::result.outNormal.y, want.y, 1e-5);
        EXPECT_NEAR(Probe::result.outNormal.z, want.z, 1e-5);
    }
}

// A one-texel checker seen from far away: a pixel covers many texels, so the
// footprint filters give the checker's average where a point sample gives
// black or white.
TEST(FileScene, EyeRayFootprintFiltersAverageFineDetail) {
    const int N = 256;
    std::vector<float> px;
    for (int y = 0; y < N; ++y)
        for (int x = 0; x < N; ++x) px.push_back(float((x + y) & 1));
    auto img = makeImage("fine.exr", N, N, 1, px);
    Probe::install();
    json nodes = {{{"name", "st"}, {"type", "veko_state"}},
                  {{"name", "t"}, {"type", "veko_file"}, {"params", {{"fileTextureName", img->tag()}}}}};
    // An 8 x 8 image of a 4 x 4 plane: one pixel spans 32 texels.
    json doc = {{"camera", topCamera(8)}, {"state", "st"}, {"nodes", nodes},
                {"objects", {{{"name", "p"}, {"mesh", {{"type", "plane"}, {"size", 4}}},
                              {"transform", {{"rotate", {0, 30, 0}}}}, {"material", "native:fileprobe"}}}}};
    doc["camera"]["aperture"] = 4;
    auto scene = loadScene(doc);
    Probe::node = vh::networkOf(*scene).find("t");
    vh::Renderer r(*scene, 1);
    struct Case {
        const char *what;
        json params;
        bool averaged;
    } cases[] = {
        {"point sample", {{"filterType", 0}}, false},
        {"projected footprint", {{"filterType", 2}, {"filter", 0.0}}, true},
        {"elliptical", {{"filterType", 1}, {"useEllipticalFilter", 1}, {"filter", 0.0}}, true},
    };
    for (const Case &c : cases) {
        for (auto &[k, v] : c.params.items()) Probe::node->setLiteral(k, v);
        // (With filter 0 the mip-mapped fallback reads level 0 and is far
        // from the average at most of these points.)
        for (float x : {1.7f, 2.5f, 3.3f, 5.1f, 6.2f}) {
            ASSERT_TRUE(r.shadeSample(0, x, 3.7f, 0, 0).hit);
            const float g = Probe::result.outColor.r;
            if (c.averaged)
                EXPECT_NEAR(g, 0.5f, 0.05f) << c.what << " at x " << x;
            else
                EXPECT_TRUE(g == 0.0f || g == 1.0f) << c.what << " gives " << g;
        }
    }
}

}  // namespace
