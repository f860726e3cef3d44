// Light linking through the reference host: a scene with three lights and
// four objects, a light-link node whose groups unlink lights from objects,
// and a material that asks the node for the shaded object's list through the
// exported helper, as a material of another library would.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support.h"
#include "vekohost/render.h"

namespace {

using vh::json;
using LinkGet = xrBoolean (*)(xrTag, xrInteger *, xrTag **, xrState *);
using LinkCheck = xrBoolean (*)(xrTag, xrInteger, const xrTag *);
using LinkMain = xrBoolean (*)(void *, xrState *, void *, void *);

LinkGet linkGet() { return reinterpret_cast<LinkGet>(vt::library().symbol("vekobase_lightlink_get")); }
LinkCheck linkCheck() { return reinterpret_cast<LinkCheck>(vt::library().symbol("vekobase_lightlink_check")); }

// What the probe material saw for one shaded object.
struct Seen {
    xrBoolean ok = 0;
    std::vector<xrTag> lights;
};
vh::Scene *g_scene = nullptr;
std::string g_node;  // the light-link node the probe asks
Seen g_seen;

json pointLight(const std::string &name, float x) {
    return {{"name", name}, {"shader", name + "Shader"}, {"transform", {{"translate", {x, 3, 0}}}}};
}
json lightShader(const std::string &name) {
    return {{"name", name + "Shader"}, {"type", "veko_pointlight"}, {"params", json::object()}};
}
json plane(const std::string &name, float x) {
    return {{"name", name},
            {"mesh", {{"type", "plane"}, {"size", 1.8}}},
            {"transform", {{"translate", {x, 0, 0}}}},
            {"material", "native:linkProbe"}};
}

// Objects A, B, C, D side by side (x = -3, -1, 1, 3) seen from above by a
// 4 x 1 orthographic view; lights L1, L2, L3; the node "links" unlinks L1
// from A and B, L2 from B and, in a group left open at the end, L3 from C
// (and from B a second time). The node "none" has no groups.
json linkScene() {
    json nodes = {lightShader("L1"), lightShader("L2"), lightShader("L3"),
                  {{"name", "links"},
                   {"type", "veko_lightlink"},
                   {"params", {{"links", {"L1", "A", "B", 0, "L2", "B", 0, "L3", "C", "B"}}}}},
                  {{"name", "none"}, {"type", "veko_lightlink"}, {"params", json::object()}}};
    return {{"nodes", nodes},
            {"camera",
             {{"type", "orthographic"},
              {"resolution", {4, 1}},
              {"aperture", 8},
              {"transform", {{"lookAt", {{"eye", {0, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"objects", {plane("A", -3), plane("B", -1), plane("C", 1), plane("D", 3)}},
            {"lights", {pointLight("L1", -2), pointLight("L2", 0), pointLight("L3", 2)}}};
}

class LightLink : public ::testing::Test {
protected:
    void SetUp() override {
        vh::registerNativeMaterial("linkProbe", [](xrColor *c, xrState *s) {
            g_seen = {};
            xrInteger n = -1;
            xrTag *list = reinterpret_cast<xrTag *>(&g_seen);  // must be replaced
            g_seen.ok = linkGet()(vh::networkOf(*g_scene).tagOf(g_node), &n, &list, s);
            if (n > 0 && list) g_seen.lights.assign(list, list + n);
            else if (n != 0 || list) g_seen.lights.assign(1, 0xdeadbeef);  // count and list disagree
            *c = {0, 0, 0, 1};
            return xrBoolean(1);
        });
        vh::captureMessages(true);
        vh::takeMessages();
        scene = vh::loadSceneJson(vt::library(), linkScene(), "links.json", VEKO_SOURCE_DIR "/scenes");
        g_scene = scene.get();
        renderer = std::make_unique<vh::Renderer>(*scene, 1);
    }
    void TearDown() override {
        renderer.reset();
        scene.reset();
        g_scene = nullptr;
        vh::takeMessages();
        vh::captureMessages(false);
    }
    xrTag tag(const std::string &name) const { return vh::networkOf(*scene).tagOf(name); }
    std::vector<xrTag> sorted(std::vector<std::string> names) const {
        std::vector<xrTag> t;
        for (auto &n : names) t.push_back(tag(n));
        std::sort(t.begin(), t.end());
        return t;
    }
    // Shades object column `i` (0..3) asking node `node`.
    Seen shade(const std::string &node, int i) {
        g_node = node;
        g_seen = {};
        EXPECT_TRUE(renderer->shadeSample(0, i + 0.5f, 0.5f, 0, 0).hit);
        return g_seen;
    }

    vh::ScenePtr scene;
    std::unique_ptr<vh::Renderer> renderer;
};

TEST_F(LightLink, EachObjectLosesTheLightsOfTheGroupsThatNameIt) {
    struct Case {
        int column;
        std::vector<std::string> lights;
    };
    const Case cases[] = {
        {0, {"L2", "L3"}},        // A: unlinked from L1
        {1, {}},                  // B: named by every group (L3 twice)
        {2, {"L1", "L2"}},        // C: in the group left open at the end
        {3, {"L1", "L2", "L3"}},  // D: named by no group, the default list
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.column);
        const Seen s = shade("links", c.column);
        EXPECT_TRUE(s.ok);
        EXPECT_EQ(s.lights, sorted(c.lights));
    }
}

TEST_F(LightLink, AnEmptyTableGivesEveryObjectAllLights) {
    for (int i = 0; i < 4; ++i) {
        const Seen s = shade("none", i);
        EXPECT_TRUE(s.ok);
        EXPECT_EQ(s.lights, sorted({"L1", "L2", "L3"})) << i;
    }
}

TEST_F(LightLink, EveryInstanceInitWarnsThatTheNodeIsObsolete) {
    const std::vector<vh::Message> m = vt::messages();
    int first = 0, second = 0;
    for (const auto &x : m) {
        first += x.text == "veko_lightlink(): Shader has become obsolete,";
        second += x.text == "veko_lightlink(): and is going to be removed.";
    }
    EXPECT_EQ(first, 2);  // two light-link instances
    EXPECT_EQ(second, 2);
}

TEST_F(LightLink, KeyZeroAndUnknownObjectsGetTheDefaultList) {
    vh::Instance *links = vh::networkOf(*scene).find("links");
    xrState *st = renderer->eyeState(0);
    for (xrTag key : {xrTag(0), tag("L1")}) {
        st->instanceTag = key;
        struct {
            xrInteger count;
            xrTag *lights;
        } r{-1, nullptr};
        xrBoolean res = 0;
        ASSERT_TRUE(vh::callShader(*links, st, &res, &r));
        EXPECT_TRUE(res);
        EXPECT_EQ(std::vector<xrTag>(r.lights, r.lights + r.count), sorted({"L1", "L2", "L3"})) << key;
    }
}

TEST_F(LightLink, FailuresReportFalseWithAnEmptyList) {
    vh::Instance *links = vh::networkOf(*scene).find("links");
    xrState *st = renderer->eyeState(0);
    // No argument record: false, no message.
    xrBoolean res = 0;
    vt::messages();
    EXPECT_FALSE(vh::callShader(*links, st, &res, nullptr));
    EXPECT_TRUE(res);
    EXPECT_TRUE(vt::messages().empty());

    // Called outside any shader instance: no table to read.
    vh::StandaloneState ss;
    auto main = reinterpret_cast<LinkMain>(vt::library().symbol("veko_lightlink"));
    struct {
        xrInteger count;
        xrTag *lights;
    } r{7, nullptr};
    res = 0;
    EXPECT_FALSE(main(&res, ss.state(), links->params(), &r));
    EXPECT_TRUE(res);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_lightlink(): Error accessing the object list."));

    // The helper on a tag that names no shader.
    xrInteger n = 5;
    xrTag dummy = 1, *list = &dummy;
    EXPECT_FALSE(linkGet()(0, &n, &list, st));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(list, nullptr);
}

TEST(LightLinkCheck, BinarySearchOverSortedLists) {
    const xrTag one[] = {42};
    const xrTag many[] = {3, 9, 42, 0x80000000u, 0xfffffff0u};
    struct Case {
        xrTag light;
        xrInteger count;
        const xrTag *list;
        bool found;
    };
    const Case cases[] = {
        {42, 0, one, false},        // count 0
        {42, 1, nullptr, false},    // no list
        {42, 1, one, true},         // the exact tag
        {41, 1, one, false},
        {43, 1, one, false},
        {3, 5, many, true},         // ends of the list
        {0xfffffff0u, 5, many, true},
        {0x80000000u, 5, many, true},  // ordered as unsigned
        {10, 5, many, false},
        {0xfffffff0u, 4, many, false},  // only the first `count` are searched
    };
    for (const Case &c : cases)
        EXPECT_EQ(bool(linkCheck()(c.light, c.count, c.list)), c.found) << c.light << " count " << c.count;
}

}  // namespace
