// The library frame through the host: version table, exported symbols,
// declarations, parameter/connection block layout and network errors.
#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "support.h"

using vh::json;

namespace {

// Versions as listed in the library's version table source.
std::map<std::string, int> versionTable() {
    std::ifstream in(vt::sourcePath("src/versions.def"));
    std::map<std::string, int> out;
    std::regex re(R"(VEKO_NODE\((\w+), (\d+)\))");
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, re)) out[m[1]] = std::stoi(m[2]);
    }
    return out;
}

TEST(Versions, EveryNodeIsDeclaredAndReportsItsVersion) {
    auto table = versionTable();
    ASSERT_EQ(table.size(), 140u);
    auto &lib = vt::library();
    EXPECT_EQ(lib.decls().nodes().size(), 140u);
    // A few values straight from the published table.
    const std::map<std::string, int> spot = {{"veko_file", 7},     {"veko_anisotropic", 12}, {"veko_state", 5},
                                             {"veko_oceanshader", 10}, {"veko_rampshader", 9}, {"veko_usebackground", 8},
                                             {"vekobase_version", 1},  {"veko_plusminusavg", 2}, {"veko_spotlight", 4}};
    for (auto &[name, v] : spot) EXPECT_EQ(table[name], v) << name;
    for (auto &[name, v] : table) {
        const vh::NodeDecl *d = lib.decls().find(name);
        ASSERT_NE(d, nullptr) << name;
        EXPECT_EQ(d->version, v) << name;
        auto fn = reinterpret_cast<int (*)()>(lib.symbol(name + "_version"));
        ASSERT_NE(fn, nullptr) << name;
        EXPECT_EQ(fn(), v) << name;
    }
}

TEST(Versions, HostForwardersAreNotExported) {
    auto &lib = vt::library();
    EXPECT_NE(lib.symbol("xrSetModuleHandle"), nullptr);
    for (const char *name : {"xr_query", "xr_warning", "xr_phen_eval", "xr_mem_int_allocate"})
        EXPECT_EQ(lib.symbol(name), nullptr) << name;
}

TEST(Versions, VersionShaderReturnsNineFive) {
    vh::Network net(vt::library());
    auto &v = net.add("v", "vekobase_version");
    vh::StandaloneState st;
    int32_t out[2] = {0, 0};
    EXPECT_EQ(vh::callShader(v, st.state(), out), 1);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(out[1], 5);
}

// A declarations file of test nodes, laid out by the host like any other.
// Only names the library exports can be declared, so the test nodes reuse
// the version shader's name with its version.
class LayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("vekolayout" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "decl.json") << R"({"nodes": [
          {"name": "vekobase_version", "version": 1,
           "params": [
             {"name": "s", "type": "scalar", "default": 0.25},
             {"name": "c", "type": "color", "word": 4, "default": [0.1, 0.2, 0.3, 0.4]},
             {"name": "vs", "type": "vector", "array": true, "default": [7, 8, 9]},
             {"name": "entries", "type": "struct", "array": true,
              "fields": [{"name": "instance", "type": "tag"}, {"name": "value", "type": "scalar"}]},
             {"name": "m", "type": "matrix"}],
           "result": [{"name": "outColor", "type": "color"}, {"name": "outAlpha", "type": "scalar"}]}]})";
        lib_ = std::make_unique<vh::Library>(vh::Library::defaultPath(), (dir_ / "decl.json").string());
    }
    void TearDown() override {
        lib_.reset();
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_;
    std::unique_ptr<vh::Library> lib_;
};

template <class T>
T word(vh::Instance &i, int byte) {
    T v;
    std::memcpy(&v, i.params() + byte, sizeof v);
    return v;
}

TEST_F(LayoutTest, DeclaredOffsetsAndDefaults) {
    const vh::NodeDecl *d = lib_->decls().find("vekobase_version");
    ASSERT_TRUE(d && d->declared);
    EXPECT_EQ(d->param("s")->offset, 0);
    EXPECT_EQ(d->param("c")->offset, 16);  // explicit word 4 leaves a gap
    EXPECT_EQ(d->param("vs")->offset, 32);
    EXPECT_EQ(d->param("vs")->words(), 5);  // start, count, one vector
    EXPECT_EQ(d->param("entries")->offset, 52);
    EXPECT_EQ(d->param("entries")->words(), 4);
    EXPECT_EQ(d->param("m")->offset, 68);
    EXPECT_EQ(d->paramBytes, 132);
    EXPECT_EQ(d->resultField("outAlpha")->offset, 16);
    EXPECT_EQ(d->resultBytes, 20);

    vh::Network net(*lib_);
    auto &n = net.add("n", "vekobase_version");
    EXPECT_FLOAT_EQ(word<float>(n, 0), 0.25f);
    EXPECT_FLOAT_EQ(word<float>(n, 28), 0.4f);
    EXPECT_EQ(word<int32_t>(n, 36), 0);  // empty array
    EXPECT_EQ(n.record.connectionOffset % 8, 0);
    EXPECT_GE(n.record.connectionOffset, d->paramBytes);
}

TEST_F(LayoutTest, ArrayElementsFollowTheBlockAndAreAddressedByStartIndex) {
    vh::Network net(*lib_);
    auto &n = net.add("n", "vekobase_version");
    n.setLiteral("vs", json::array({json::array({1, 2, 3}), json::array({4, 5, 6}), json::array({7, 8, 9.5})}));
    n.setLiteral("entries", json::array({json{{"instance", 11}, {"value", 0.5}}, json{{"instance", 12}, {"value", 1.5}}}));
    for (auto [param, elemBytes, count] : {std::tuple{"vs", 12, 3}, std::tuple{"entries", 8, 2}}) {
        const vh::Field *f = n.decl->param(param);
        int32_t start = word<int32_t>(n, f->offset), cnt = word<int32_t>(n, f->offset + 4);
        EXPECT_EQ(cnt, count);
        int first = f->offset + 8 + start * elemBytes;
        EXPECT_GE(first, n.decl->paramBytes) << param << ": elements lie after the declared block";
        EXPECT_LE(first + cnt * elemBytes, n.paramBytes);
        EXPECT_EQ(static_cast<char *>(n.paramAddress(std::string(param) + "[0]")) - n.params(), first);
    }
    const vh::Field *vs = n.decl->param("vs");
    int base = vs->offset + 8 + word<int32_t>(n, vs->offset) * 12;
    EXPECT_FLOAT_EQ(word<float>(n, base + 2 * 12 + 8), 9.5f);
    const vh::Field *en = n.decl->param("entries");
    int ebase = en->offset + 8 + word<int32_t>(n, en->offset) * 8;
    EXPECT_EQ(word<uint32_t>(n, ebase + 8), 12u);
    EXPECT_FLOAT_EQ(word<float>(n, ebase + 12), 1.5f);
    // Growing one array keeps the other's values.
    n.setLiteral("vs", json::array({json::array({1, 2, 3}), json::array({4, 5, 6}), json::array({7, 8, 9.5}),
                                    json::array({0, 0, 1})}));
    int ebase2 = en->offset + 8 + word<int32_t>(n, en->offset) * 8;
    EXPECT_EQ(word<uint32_t>(n, ebase2 + 8), 12u);
}

TEST_F(LayoutTest, ConnectionBlockMirrorsTheParameterBlock) {
    vh::Network net(*lib_);
    net.load(json::parse(R"({"nodes": [
        {"name": "src", "type": "vekobase_version"},
        {"name": "dst", "type": "vekobase_version",
         "params": {"s": "src.outAlpha", "c": "src.outColor",
                    "vs": [[1, 2, 3], [4, 5, 6]],
                    "entries": [{"instance": 3, "value": "src.outColor.g"}, {"instance": 4, "value": 2}]}}]})"),
             "inline");
    auto &dst = *net.find("dst");
    auto &src = *net.find("src");
    int co = dst.record.connectionOffset;
    auto connWord = [&](const std::string &path) {
        return word<uint32_t>(dst, int(static_cast<char *>(dst.paramAddress(path)) - dst.params()) + co);
    };
    EXPECT_EQ(connWord("s"), src.tag);
    EXPECT_EQ(connWord("c"), src.tag);
    EXPECT_EQ(connWord("vs[0]"), 0u);
    EXPECT_EQ(connWord("vs[1]"), 0u);
    EXPECT_EQ(connWord("entries[0].value"), src.tag);
    EXPECT_EQ(connWord("entries[0].instance"), 0u);
    EXPECT_EQ(connWord("entries[1].value"), 0u);
    ASSERT_EQ(dst.connections.size(), 3u);
    for (auto &c : dst.connections)
        if (c.param == "entries") {
            EXPECT_EQ(c.fieldOffset, 4);  // green of outColor
        }
}

// xr_phen_eval finds a connection from the running shader's record, also
// after an array has grown (block and connection table moved): the source
// (the version shader: ints 9 and 5) runs once per sample into a zeroed
// buffer, and a literal parameter has no connection.
TEST_F(LayoutTest, ConnectionsEvaluateAfterTheBlockMoves) {
    vh::Network net(*lib_);
    net.load(json::parse(R"({"nodes": [
        {"name": "src", "type": "vekobase_version"},
        {"name": "dst", "type": "vekobase_version",
         "params": {"s": "src.outAlpha", "entries": [{"instance": 3, "value": "src.outColor.g"}]}}]})"));
    auto &dst = *net.find("dst");
    vh::StandaloneState st;
    net.init(st.state());
    st.state()->shaderRecord = &dst.record;
    auto evalInt = [&](const std::string &path) -> int32_t {
        const void *v = xr_phen_eval(st.state(), dst.paramAddress(path));
        if (!v) return -1;
        int32_t i;
        std::memcpy(&i, v, 4);
        return i;
    };
    for (int grow = 0; grow < 2; ++grow) {
        SCOPED_TRACE(grow ? "after growing" : "as loaded");
        if (grow) {
            const char *before = dst.params();
            dst.setLiteral("vs", json::array({json::array({1, 2, 3}), json::array({4, 5, 6}), json::array({7, 8, 9})}));
            dst.setLiteral("entries[0].instance", 4);
            EXPECT_NE(dst.params(), before);  // the block was reallocated
        }
        vh::newSample(st.state());
        EXPECT_EQ(evalInt("entries[0].value"), 5);  // outColor.g
        EXPECT_EQ(evalInt("s"), 0);                 // outAlpha: not written, zeroed
        vh::captureMessages(true);
        vh::takeMessages();
        EXPECT_EQ(evalInt("c"), -1);
        EXPECT_TRUE(vt::hasMessage(vh::takeMessages(), "xr_phen_eval: node dst has no connection at byte 16"));
        vh::captureMessages(false);
    }
    st.state()->shaderRecord = nullptr;
    net.exit(st.state());
}

// A source that, while it runs, evaluates a source beyond the thread's
// result cache (so the cache grows under it): its result reaches the
// caller and is cached for the rest of the sample. t <- a <- z, with
// twenty nodes between a and z, on a thread whose cache is still empty.
TEST(Evaluation, ResultCachedWhenTheCacheGrowsDuringItsSource) {
    json nodes = json::array();
    nodes.push_back({{"name", "a"}, {"type", "veko_unitconversion"},
                     {"params", {{"input", "z.output"}, {"conversionFactor", 2}}}});
    for (int k = 0; k < 20; ++k) nodes.push_back({{"name", "f" + std::to_string(k)}, {"type", "veko_unitconversion"}});
    nodes.push_back({{"name", "z"}, {"type", "veko_unitconversion"}, {"params", {{"input", 3}}}});
    nodes.push_back({{"name", "t"}, {"type", "veko_unitconversion"}, {"params", {{"input", "a.output"}}}});
    vh::Network net(vt::library());
    net.load({{"nodes", nodes}});
    vh::StandaloneState st;
    net.init(st.state());
    auto run = [&] {
        float out[4] = {-1, -1, -1, -1};
        EXPECT_EQ(vh::callShader(*net.find("t"), st.state(), out), 1);
        return out[0];
    };
    vh::newSample(st.state());
    EXPECT_EQ(run(), 6.0f);
    net.find("a")->setLiteral("conversionFactor", 10);
    EXPECT_EQ(run(), 6.0f) << "a's result is cached for the sample";
    vh::newSample(st.state());
    EXPECT_EQ(run(), 30.0f);
    net.exit(st.state());
}

TEST_F(LayoutTest, NetworkErrorsNameTheNode) {
    struct Case {
        const char *doc;
        const char *expect;
    } cases[] = {
        {R"({"nodes": [{"name": "a", "type": "veko_nosuchnode"}]})", "unknown node type \"veko_nosuchnode\""},
        {R"({"nodes": [{"name": "a", "type": "vekobase_version", "params": {"nope": 1}}]})",
         "node a (vekobase_version) has no parameter \"nope\""},
        {R"({"nodes": [{"name": "a", "type": "vekobase_version", "params": {"s": "b.outColor"}},
                       {"name": "b", "type": "vekobase_version"}]})",
         "cannot connect scalar parameter s to color result b.outColor"},
        {R"({"nodes": [{"name": "a", "type": "vekobase_version", "params": {"s": "zz.outAlpha"}}]})",
         "connected to unknown node \"zz\""},
        {R"({"nodes": [{"name": "a", "type": "vekobase_version", "params": {"c": [1, 2]}}]})",
         "expected 4 numbers for c, got 2"},
        {R"({"nodes": [{"name": "a", "type": "vekobase_version"}, {"name": "a", "type": "vekobase_version"}]})",
         "node \"a\" defined twice"},
    };
    for (auto &c : cases) {
        vh::Network net(*lib_);
        try {
            net.load(json::parse(c.doc), "scene.json");
            ADD_FAILURE() << "no error for " << c.doc;
        } catch (const vh::Error &e) {
            std::string msg = e.what();
            EXPECT_NE(msg.find("scene.json: "), std::string::npos) << msg;
            EXPECT_NE(msg.find(c.expect), std::string::npos) << msg;
        }
    }
}

TEST_F(LayoutTest, ConnectionCyclesAreRejectedAtInit) {
    vh::Network net(*lib_);
    net.load(json::parse(R"({"nodes": [
        {"name": "a", "type": "vekobase_version", "params": {"s": "b.outAlpha"}},
        {"name": "b", "type": "vekobase_version", "params": {"s": "c.outAlpha"}},
        {"name": "c", "type": "vekobase_version", "params": {"s": "a.outAlpha"}}]})"));
    vh::StandaloneState st;
    try {
        net.init(st.state());
        ADD_FAILURE() << "cycle not detected";
    } catch (const vh::Error &e) {
        EXPECT_NE(std::string(e.what()).find("connection cycle: a -> b -> c -> a"), std::string::npos) << e.what();
    }
}

TEST(Library, VersionMismatchIsAClearError) {
    auto dir = std::filesystem::temp_directory_path() / ("vekover" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "decl.json") << R"({"nodes": [{"name": "veko_lambert", "version": 10}]})";
    try {
        vh::Library lib(vh::Library::defaultPath(), (dir / "decl.json").string());
        ADD_FAILURE() << "mismatch not detected";
    } catch (const vh::Error &e) {
        EXPECT_NE(std::string(e.what()).find("node veko_lambert is declared with version 10 but the library reports version 11"),
                  std::string::npos)
            << e.what();
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
