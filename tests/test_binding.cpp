// Host binding: the library looks host operations up by name in the module
// it was handed, reports failures on standard error without crashing, and
// rebinds after a new handle. Messages reach the host as finished text.
#include <dlfcn.h>

#include "support.h"

using vh::json;

namespace {

class Binding : public ::testing::Test {
protected:
    void SetUp() override {
        vt::messages();
        setHandle_ = reinterpret_cast<void (*)(void *)>(vt::library().symbol("xrSetModuleHandle"));
        ASSERT_NE(setHandle_, nullptr);
        net_ = std::make_unique<vh::Network>(vt::library());
        cond_ = &net_->add("cond", "veko_condition");
        cond_->setLiteral("operation", 9);  // invalid: the node warns
    }
    void TearDown() override {
        setHandle_(dlopen(nullptr, RTLD_NOW));  // the real host again
        net_.reset();
    }
    xrBoolean callCondition() {
        xrColor out{};
        return vh::callShader(*cond_, st_.state(), &out);
    }
    static int count(const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
        return n;
    }
    void (*setHandle_)(void *) = nullptr;
    std::unique_ptr<vh::Network> net_;
    vh::Instance *cond_ = nullptr;
    vh::StandaloneState st_;
};

TEST_F(Binding, WarningReachesTheHost) {
    EXPECT_EQ(callCondition(), 0);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_condition(): Invalid operation."));
}

TEST_F(Binding, MissingHostFunctionIsReportedOnEveryCallAndRebindsAfterNewHandle) {
    void *other = dlopen("libm.so.6", RTLD_NOW);
    ASSERT_NE(other, nullptr);
    setHandle_(other);
    testing::internal::CaptureStderr();
    EXPECT_EQ(callCondition(), 0);
    EXPECT_EQ(callCondition(), 0);
    std::string err = testing::internal::GetCapturedStderr();
    char handleText[16];
    snprintf(handleText, sizeof handleText, "%08x", unsigned(reinterpret_cast<uintptr_t>(other) & 0xffffffffu));
    EXPECT_EQ(count(err, std::string("dlsym failed on \"xr_warning\" (handle: ") + handleText + " error: "), 2) << err;
    EXPECT_TRUE(vt::messages().empty());

    // A new handle re-arms every entry: the host's function is found again.
    setHandle_(dlopen(nullptr, RTLD_NOW));
    testing::internal::CaptureStderr();
    EXPECT_EQ(callCondition(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_condition(): Invalid operation."));
    dlclose(other);
}

TEST_F(Binding, NullHandleIsReported) {
    setHandle_(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(callCondition(), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("DYNLOAD: dl_handle null\n"), std::string::npos) << err;
    EXPECT_NE(err.find("dlsym failed on \"xr_warning\" (handle: 00000000 error: "), std::string::npos) << err;
}

// The state shader's banner is formatted in the library from "%u.%u" and
// "%s" arguments; the host receives the finished lines.
TEST(Messages, FormattedTextArrivesFinished) {
    vt::messages();
    vh::Network net(vt::library());
    net.add("state", "veko_state");
    vh::StandaloneState st;
    net.init(st.state());
    auto m = vt::messages();
    const std::string text = "vekobase version 9.5, compiled on Jan 16 2008.";
    const std::string dashes(text.size(), '-');
    int at = -1;
    for (size_t i = 0; i < m.size(); ++i)
        if (m[i].text == text) at = int(i);
    ASSERT_GE(at, 1);
    ASSERT_LT(size_t(at + 1), m.size());
    EXPECT_EQ(m[at - 1].text, dashes);
    EXPECT_EQ(m[at + 1].text, dashes);
    EXPECT_EQ(m[at].severity, vh::Severity::Info);
}

}  // namespace
