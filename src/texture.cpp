// Input and output stages shared by every texture (see texture.h).
#include "texture.h"

namespace veko {

void textureDefaultOutput(xrState *state, const xrColor *defaultColor, TextureResult *res) {
    xrColor c = eval(state, defaultColor);
    c.a = luminance(c);
    res->outColor = c;
    res->outAlpha = c.a;
}

void textureInputUV(xrState *state, const xrVector *uvCoord, float &u, float &v) {
    if (isConnected(state, uvCoord)) {
        const xrVector uv = eval(state, uvCoord);
        u = uv.x;
        v = uv.y;
    } else if (state->texCoords) {
        u = state->texCoords[0].x;
        v = state->texCoords[0].y;
    } else {
        // No texture space on this surface: treat it like absent coordinates.
        u = v = kOutsideUV;
    }
}

bool textureUV(xrState *state, const xrVector *uvCoord, const xrColor *defaultColor,
               TextureResult *res, float &u, float &v) {
    textureInputUV(state, uvCoord, u, v);
    if (isOutsideUV(u, v)) {
        textureDefaultOutput(state, defaultColor, res);
        return false;
    }
    return true;
}

void textureFilterSize(xrState *state, const xrVector *uvFilterSize, float &fu, float &fv) {
    if (isConnected(state, uvFilterSize)) {
        const xrVector f = eval(state, uvFilterSize);
        fu = f.x;
        fv = f.y;
    } else if (const BaseStateRecord *rec = stateRecord(state)) {
        touchFootprint(state, rec);
        fu = rec->footprintU.x;
        fv = rec->footprintU.y;
    } else {
        fu = fv = 0.005f;
    }
}

void textureOutput(xrState *state, const TextureOutputParams &p, xrColor rgb, TextureResult *res,
                   AlphaSource alphaSource, float fade) {
    float r = rgb.r, g = rgb.g, b = rgb.b, a = rgb.a;
    if (alphaSource == AlphaSource::Pattern && eval(state, &p.alphaIsLuminance))
        a = 0.3f * r + 0.59f * g + 0.11f * b;
    if (eval(state, &p.invert)) {
        r = 1.0f - r;
        g = 1.0f - g;
        b = 1.0f - b;
        a = 1.0f - a;
    }
    const xrColor gain = eval(state, &p.colorGain);
    const xrColor offset = eval(state, &p.colorOffset);
    r = r * gain.r + offset.r;
    g = g * gain.g + offset.g;
    b = b * gain.b + offset.b;
    a = a * eval(state, &p.alphaGain) + eval(state, &p.alphaOffset);
    if (fade > 0.0f) {
        const xrColor d = eval(state, &p.defaultColor);
        r += (d.r - r) * fade;
        g += (d.g - g) * fade;
        b += (d.b - b) * fade;
        a *= 1.0f - fade;
    }
    res->outColor = {r, g, b, a};
    res->outAlpha = a;
}

Hsv rgbToHsv(float r, float g, float b) {
    const float mx = std::fmax(r, std::fmax(g, b));
    const float mn = std::fmin(r, std::fmin(g, b));
    const float delta = mx - mn;
    Hsv out{0.0f, 0.0f, mx};
    if (delta > 0.00001f && mx > 0.00001f) {
        out.s = delta / mx;
        float h;
        if (r == mx)
            h = (g - b) / delta;
        else if (g == mx)
            h = (b - r) / delta + 2.0f;
        else
            h = (r - g) / delta + 4.0f;
        h /= 6.0f;
        if (h < 0.0f) h += 1.0f;
        out.h = h;
    }
    return out;
}

void hsvToRgb(const Hsv &hsv, float &r, float &g, float &b) {
    const float v = hsv.v, s = hsv.s;
    if (s == 0.0f) {
        r = g = b = v;
        return;
    }
    float h = hsv.h;
    if (h >= 1.0f || h < 0.0f) h -= std::floor(h);
    const float h6 = h * 6.0f;
    int sector = static_cast<int>(std::floor(h6));
    if (sector > 5) sector = 5;  // h just below 1 rounding up in h * 6
    const float f = h6 - static_cast<float>(sector);
    const float pv = v * (1.0f - s);
    const float qv = v * (1.0f - s * f);
    const float tv = v * (1.0f - s * (1.0f - f));
    switch (sector) {
        case 0: r = v, g = tv, b = pv; break;
        case 1: r = qv, g = v, b = pv; break;
        case 2: r = pv, g = v, b = tv; break;
        case 3: r = pv, g = qv, b = v; break;
        case 4: r = tv, g = pv, b = v; break;
        default: r = v, g = pv, b = qv; break;
    }
}

}  // namespace veko

namespace veko {

xrVector textureSourcePoint(xrState *state, bool *reference) {
    if (reference) *reference = false;
    const BaseStateRecord *rec = stateRecord(state);
    if (rec && (rec->flags & kFlag3dFromOriginMask)) return state->rayOrigin;
    xrVector p = state->hitPoint;
    if (state->instanceTag) {
        xrTag found = 0;
        if (const uint32_t *label = findUserData(kVekoMagic, xrDB_OBJECT, state->instanceTag, &found, nullptr)) {
            int32_t space;
            std::memcpy(&space, label + 1, 4);
            // The named space must exist on the object (query 82).
            xrInteger spaces = 0;
            if (space >= 0 && state->texCoords && xr_query(82, state, 0, &spaces) && space < spaces) {
                xr_point_from_world(state, &p, &state->texCoords[space]);
                if (reference) *reference = true;
            }
            xr_db_unpin(found);
        }
    }
    return p;
}

bool texturePoint3d(xrState *state, const float *placementMatrix, const xrBoolean *wrap,
                    const xrScalar *blend, const xrBoolean *local, const xrColor *defaultColor,
                    TextureResult *res, xrVector &p, float &fade) {
    bool reference = false;
    p = textureSourcePoint(state, &reference);

    xrVector q;
    if (eval(state, local)) {
        if (state->sampleTime != 0.0f && !reference) {
            p.x -= state->sampleTime * state->motionVector.x;
            p.y -= state->sampleTime * state->motionVector.y;
            p.z -= state->sampleTime * state->motionVector.z;
        }
        xr_point_to_object(state, &q, &p);
    } else {
        xr_point_to_world(state, &q, &p);
    }
    float m[16];
    evalMatrix(state, placementMatrix, m);
    xr_point_transform(&p, &q, m);

    fade = 0.0f;
    if (!eval(state, wrap)) {
        const float ax = std::fabs(p.x), ay = std::fabs(p.y), az = std::fabs(p.z);
        // Negated test so that a NaN component also counts as outside.
        if (!(ax <= 1.0f && ay <= 1.0f && az <= 1.0f)) {
            textureDefaultOutput(state, defaultColor, res);
            return false;
        }
        const float b = eval(state, blend);
        if (b > 0.0f) {
            auto edge = [b](float a) {
                const float m = a + b < 1.0f ? 1.0f : (1.0f - a) / b;
                return 0.5f * (1.0f + std::cos(3.14159265358979f * (m + 1.0f)));
            };
            fade = 1.0f - edge(ax) * edge(ay) * edge(az);
            if (fade >= 1.0f) {
                textureDefaultOutput(state, defaultColor, res);
                return false;
            }
        }
    }
    return true;
}

}  // namespace veko
