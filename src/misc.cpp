// The state shader: builds the render-wide template of the per-ray record,
// sets up each new ray's record from it and turns the record into the eye
// sample's alpha, label, depth and extra frame buffer.
#include <algorithm>
#include <cstdio>

#include "vekobase.h"

namespace {

using veko::BaseStateRecord;

constexpr const char *kStateKey = "vekobase";
constexpr int kLifetimeRay = 2;
constexpr int kModeCode114 = 114;

// Query codes.
constexpr int kQueryUserPointer = 51;
constexpr int kQueryObjectLabel = 101;
constexpr int kQueryShaderKind = 140;

struct StateParams {
    xrInteger keepAlpha;
    xrInteger keepLabel;
    xrInteger ignoreCameraData;
    xrInteger frameBuffer;
};
static_assert(sizeof(StateParams) == 16);

enum Opcode { kRecordCreate = 0, kRecordRemove = 1, kNewRay = 2, kSampleDone = 3 };

bool runningAsStateShader(xrState *state) {
    xrInteger kind = 0;
    return xr_query(kQueryShaderKind, state, 0, &kind) && kind == xrSHADER_STATE;
}

void reportNotStateShader() {
    xr_error("veko_state(): Not invoked as state shader.");
    xr_error("veko_state(): Could be a version mismatch.");
    xr_error("veko_state(): Re-export the .xr from Veko.");
}

void **userPointer(xrState *state) {
    void **p = nullptr;
    if (!xr_query(kQueryUserPointer, state, 0, &p)) return nullptr;
    return p;
}

bool modeIs114(const xrState *state) {
    return state->optionsRecord && state->optionsRecord->modeCode == kModeCode114;
}

void setFootprints(BaseStateRecord *r, float size) {
    r->footprintU = {size, size, size};
    r->footprintV = {size, size, size};
}

// Filter size and the camera-space pixel grid at the near plane.
void setupFilter(xrState *state, BaseStateRecord *t) {
    const xrCamera *cam = state->cameraRecord;
    if (!cam) {
        t->filterSize = t->baseFilterSize;
        return;
    }
    const float xres = static_cast<float>(std::max(cam->imageWidth, 1));
    const float yres = static_cast<float>(std::max(cam->imageHeight, 1));
    const float near = cam->nearClip, far = cam->farClip;
    float P[16] = {};
    if (cam->isOrthographic) {
        const float w = 0.5f * cam->apertureWidth;
        const float top = w * yres / xres;
        P[0] = 1.0f / w;
        P[5] = 1.0f / top;
        P[10] = 2.0f / (far - near);
        P[12] = -0.0f;
        P[13] = -0.0f;
        P[14] = (far + near) / (far - near);
        P[15] = 1.0f;
        t->filterSize = std::max(1.0f / xres, 1.0f / yres);
    } else {
        const float h = std::atan(0.5f * cam->apertureWidth / cam->focalLength);
        P[0] = 2.0f * cam->focalLength / cam->apertureWidth;
        P[5] = P[0] * xres / yres;
        P[10] = (far + near) / (far - near);
        P[11] = -1.0f;
        P[14] = 2.0f * near * far / (far - near);
        t->filterSize = std::max(2.0f * h / xres, 2.0f * h * cam->pixelAspect / yres);
    }
    float inv[16];
    if (!xr_matrix_invert(inv, P)) return;
    const xrVector corner = {-1.0f, -1.0f, -1.0f};
    const xrVector next = {2.0f / xres - 1.0f, 2.0f / yres - 1.0f, -1.0f};
    xrVector q;
    xr_point_transform(&t->viewCorner, &corner, inv);
    xr_point_transform(&q, &next, inv);
    t->pixelStep = {q.x - t->viewCorner.x, q.y - t->viewCorner.y, 0.0f};
}

// Depth-stack settings from the camera's "Veko" block.
void setupDepthStack(xrState *state, BaseStateRecord *t) {
    const xrTag dataTag = state->cameraRecord ? state->cameraRecord->cameraDataTag : 0;
    if (!state->cameraInstanceTag || !dataTag) return;
    xrTag found = 0;
    const uint32_t *block = veko::findUserData(veko::kVekoMagic, xrDB_USERDATA, dataTag, &found, nullptr);
    if (!block) return;
    if (block[10] != 0) {
        const float *m = static_cast<const float *>(xr_db_access(state->cameraInstanceTag));
        if (m) {
            const float *matrix = m + 4;  // byte 16 of the instance record
            for (int i = 0; i < 4; ++i) t->cameraAxis[i] = matrix[4 * i];
            xr_db_unpin(state->cameraInstanceTag);
        }
        if (block[13] == 1)
            t->depthThreshold = 0.0f;
        else if (block[11] != 0)
            std::memcpy(&t->depthThreshold, &block[12], 4);
        else
            t->depthThreshold = 1.0f;
        t->depthStackEnabled = 1;
    }
    xr_db_unpin(found);
}

BaseStateRecord *buildTemplate(xrState *state, const StateParams *params) {
    auto *t = static_cast<BaseStateRecord *>(xr_mem_int_allocate(__FILE__, __LINE__, sizeof(BaseStateRecord)));
    if (!t) return nullptr;
    int32_t *words = reinterpret_cast<int32_t *>(t);

    const xrTag optionsTag = state->optionsRecord ? state->optionsRecord->optionsDataTag : 0;
    xrTag found = 0;
    const uint32_t *block =
        optionsTag ? veko::findUserData(veko::kVekoMagic, xrDB_USERDATA, optionsTag, &found, nullptr) : nullptr;
    if (block) {
        std::memcpy(words, block + 1, 10 * 4);
        xr_db_unpin(found);
    } else {
        t->passMode = 0;
        t->userWord1 = 20;
        t->filterEnabled = 1;
        t->baseFilterSize = 0.005f;
        t->keepCache = 1;
        t->userWord5 = 0;
        t->minRayWeight = 0.0f;
        t->fullSampleWeight = 0.0f;
        t->refractionCap = 20;
        t->reflectionCap = 20;
    }

    t->depthThreshold = 1.0f;
    if (t->filterEnabled)
        setupFilter(state, t);
    else
        t->filterSize = t->baseFilterSize;

    if (!modeIs114(state) && veko::eval(state, &params->ignoreCameraData) == 0) setupDepthStack(state, t);

    t->lightAmbient = 0;
    t->lightDiffuse = 1;
    t->lightSpecular = 1;
    t->lightShadowWeight = 0.0f;
    t->lightUnshadowed = {1.0f, 1.0f, 1.0f, 1.0f};
    t->lightShapeRef = nullptr;
    t->backSide = 0;
    t->inLightLoop = 0;
    t->refractionsOn = 0;
    t->auxColor = {1.0f, 1.0f, 1.0f, 1.0f};
    if (!t->filterEnabled) setFootprints(t, t->baseFilterSize);
    t->rayWeight = {1.0f, 1.0f, 1.0f, 0.0f};
    return t;
}

xrBoolean newRay(xrColor *result, xrState *state) {
    BaseStateRecord *rec = veko::lookupStateRecord(state);
    if (!rec) {
        VEKO_WARN("veko_state", "Internal state error.");
        return 0;
    }
    void **up = userPointer(state);
    const BaseStateRecord *tmpl = up ? static_cast<const BaseStateRecord *>(*up) : nullptr;
    if (!tmpl) {
        VEKO_WARN("veko_state", "vekobase state setup failed.");
        return 0;
    }
    const int kind = state->rayKind;
    if (kind == 21) return 1;

    // A new ray: a footprint still pending for this record is not its own.
    if (veko::RecordBinding *b = veko::recordBinding(state); b && b->rec == rec) b->footprintPending = false;
    veko::copyBlock<sizeof(BaseStateRecord)>(rec, tmpl);
    const bool mode114 = modeIs114(state);
    if (mode114) rec->depthStackEnabled = 0;

    switch (kind) {
    case 1:
        if (!mode114) break;
        [[fallthrough]];
    case 0:
        state->currentIor = 1.0f;
        if (!mode114) {
            if (result) *result = {0.0f, 0.0f, 0.0f, 0.0f};
            state->instanceTag = 0;
        }
        if (rec->depthStackEnabled) {
            rec->depthStack.top = nullptr;
            rec->depthStack.count = 0;
            rec->depthStack.pool = veko::threadBlockPool(state, sizeof(veko::DepthNode));
        }
        return 1;
    case 9:
    case 23:
    case 24:
    case 27:
        state->currentIor = 1.0f;
        [[fallthrough]];
    case 5:
    case 7:
    case 16:
    case 17:
    case 22:
        rec->filterEnabled = 0;
        rec->filterSize = rec->baseFilterSize;
        setFootprints(rec, rec->baseFilterSize);
        return 1;
    default:
        break;
    }
    VEKO_WARN("veko_state", "Called on an unexpected ray.");
    return 1;
}

// Depth of the eye sample from the stack of surfaces the ray passed: the
// first surface (front to back) at which the product of transparencies has
// fallen to the threshold. The stack is emptied for the next sample.
double depthFromStack(BaseStateRecord *rec) {
    veko::DepthStack &stack = rec->depthStack;
    double depth = 0.0;
    float p = 1.0f;
    for (veko::DepthNode *node = stack.top; node; node = node->next) {
        p *= node->factor;
        if (rec->depthThreshold >= p) {
            if (node->depth != 0.0f) depth = 1.0 / node->depth;
            break;
        }
    }
    for (veko::DepthNode *node = stack.top; node;) {
        veko::DepthNode *next = node->next;
        if (stack.pool) xr_mem_blkfrelease(stack.pool, node);
        node = next;
    }
    stack.top = nullptr;
    stack.count = 0;
    return depth;
}

// A record being created or removed under a bound state (a host that
// recycles the ray inside a material call) must not be served from the
// binding any longer.
void forgetBinding(const xrState *state) {
    veko::RecordBinding *b = state ? veko::recordBinding(state) : nullptr;
    if (b && b->state == state) {
        b->rec = nullptr;
        b->footprintPending = false;
    }
}

xrBoolean sampleDone(xrColor *result, xrState *state, const StateParams *params) {
    const veko::Evaluator ev(state);
    const xrInteger frameBuffer = ev(&params->frameBuffer);
    BaseStateRecord *rec = veko::lookupStateRecord(state);
    if (!rec) {
        VEKO_WARN("veko_state", "Internal state error.");
        return 0;
    }
    if (!modeIs114(state)) {
        if (ev(&params->keepAlpha) == 0 && result) result->a = veko::luminance(rec->matteColor);
        if (ev(&params->keepLabel) == 0) {
            xrTag label = 0;
            if (!xr_query(kQueryObjectLabel, nullptr, state->instanceTag, &label)) label = 0;
            state->objectLabel = label;
        }
    }
    if (rec->depthStackEnabled) state->hitDistance = depthFromStack(rec);

    if (frameBuffer >= 1 && frameBuffer <= 8 && rec->fbColor.a > 0.0f) {
        xrColor c = rec->fbColor;
        float *ch[3] = {&c.r, &c.g, &c.b};
        for (float *v : ch) *v = c.a > *v ? *v / c.a : 1.0f;
        c.a = 1.0f;
        xr_fb_put(state, frameBuffer - 1, &c);
    }
    return 1;
}

}  // namespace

VEKO_EXPORT void veko_state_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {
        char text[128];
        const int n = std::snprintf(text, sizeof text, "vekobase version %u.%u, compiled on %s.", 9u, 5u,
                                    "Jan 16 2008");
        char dashes[128];
        const int len = std::clamp(n, 0, static_cast<int>(sizeof dashes) - 1);
        std::memset(dashes, '-', len);
        dashes[len] = '\0';
        xr_info("%s", dashes);
        xr_info("%s", text);
        xr_info("%s", dashes);
        const bool ok = runningAsStateShader(state);
        if (!ok) reportNotStateShader();
        if (initRequest) *initRequest = ok ? 1 : 0;
        return;
    }
    if (!runningAsStateShader(state)) {
        reportNotStateShader();
        return;
    }
    void **up = userPointer(state);
    if (!up) return;
    *up = buildTemplate(state, static_cast<const StateParams *>(params));
}

VEKO_EXPORT void veko_state_exit(xrState *state, void *params) {
    if (!params) {
        veko::deleteBlockPools(state);
        return;
    }
    void **up = userPointer(state);
    if (!up) return;
    if (*up) xr_mem_int_release(__FILE__, __LINE__, *up);
    *up = nullptr;
}

VEKO_EXPORT xrBoolean veko_state(void *result, xrState *state, void *params, void *arg) {
    if (!runningAsStateShader(state)) {
        VEKO_WARN("veko_state", "Called on an unexpected ray.");
        return 0;
    }
    const int32_t *words = static_cast<const int32_t *>(arg);
    const int opcode = words ? words[0] : -1;
    auto *color = static_cast<xrColor *>(result);
    switch (opcode) {
    case kRecordCreate: {
        forgetBinding(state);
        const BaseStateRecord blank{};
        xr_shaderstate_set(state, kStateKey, &blank, sizeof blank, kLifetimeRay);
        return 1;
    }
    case kRecordRemove:
        forgetBinding(state);
        xr_shaderstate_set(state, kStateKey, nullptr, 0, kLifetimeRay);
        return 1;
    case kNewRay:
        return newRay(color, state);
    case kSampleDone:
        if (state->rayKind != xrRAY_EYE || words[1] == 0) return 1;
        return sampleDone(color, state, static_cast<const StateParams *>(params));
    default:
        VEKO_WARN("veko_state", "Invoked with invalid opcode.");
        return 0;
    }
}
