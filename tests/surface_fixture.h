// Shared fixture of the surface-shader suites: one surface node called in a
// standalone state, with the per-ray record as the state shader's template
// leaves it.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "support.h"
#include "vekobase.h"

namespace vt {

constexpr float kUnset = 777.0f;  // prefilled result words: "not written"

// The per-ray record as the state shader's template leaves it.
inline veko::BaseStateRecord templateRecord() {
    veko::BaseStateRecord r{};
    r.userWord1 = 20;
    r.filterEnabled = 1;
    r.baseFilterSize = 0.005f;
    r.keepCache = 1;
    r.refractionCap = 20;
    r.reflectionCap = 20;
    r.lightDiffuse = 1;
    r.lightSpecular = 1;
    r.lightUnshadowed = {1, 1, 1, 1};
    r.auxColor = {1, 1, 1, 1};
    r.rayWeight = {1, 1, 1, 0};
    return r;
}

// One surface node in a standalone state (surface at z = 0 seen from +z).
class Surface {
public:
    // `trace` false turns ray tracing off in the options (no scene to trace
    // into).
    explicit Surface(const std::string &type, bool withRecord = true, bool trace = true) : net_(library()) {
        node = &net_.add("s", type);
        if (withRecord) {
            veko::BaseStateRecord r = templateRecord();
            xr_shaderstate_set(ss.state(), "vekobase", &r, sizeof r, 2);
        }
        if (!trace) ss.options.traceEnabled = 0;
    }
    veko::BaseStateRecord *record() { return veko::lookupStateRecord(ss.state()); }
    void set(const vh::json &params) {
        for (auto &[k, v] : params.items()) node->setLiteral(k, v);
    }
    vh::Network &net() { return net_; }

    // Calls the node once; result words prefilled with kUnset.
    veko::MaterialResult call() {
        if (!initDone_) {
            net_.init(ss.state());
            initDone_ = true;
        }
        messages();
        std::vector<float> buf(64, kUnset);
        ok = vh::callShader(*node, ss.state(), buf.data());
        warnings.clear();
        for (auto &m : messages())
            if (m.severity == vh::Severity::Warning) warnings.push_back(m.text);
        veko::MaterialResult r;
        std::memcpy(&r, buf.data(), sizeof r);
        ss.nextSample();
        return r;
    }

    vh::StandaloneState ss;
    vh::Instance *node = nullptr;
    xrBoolean ok = 0;
    std::vector<std::string> warnings;

private:
    vh::Network net_;
    bool initDone_ = false;
};

}  // namespace vt
