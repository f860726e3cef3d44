// 8-bit quantisation of frame images: the table-driven sRGB byte must equal
// rounding the sRGB curve directly, for every kind of input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "vekohost/imagefile.h"

namespace {

float fromBits(uint32_t b) {
    float v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

long directSrgb(float v) { return std::lround(vh::srgbEncode(v) * 255.0f); }

long directLinear(float v) { return std::lround((v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f) * 255.0f); }

TEST(ImageQuant, SrgbByteMatchesTheCurveAcrossUnitRange) {
    // A stride through all floats of [0, 1] plus both sides of every step.
    int steps = 0;
    long previous = 0;
    for (uint32_t b = 0; b <= 0x3f800000u; b += 4099) {
        const float v = fromBits(b);
        ASSERT_EQ(vh::srgbByte(v), directSrgb(v)) << "v = " << v;
    }
    for (uint32_t b = 0; b <= 0x3f800000u;) {
        // Bisect to the first float of the next byte, then check its neighbours.
        uint32_t lo = b, hi = 0x3f800000u;
        if (directSrgb(fromBits(hi)) == directSrgb(fromBits(lo))) break;
        while (hi - lo > 1) {
            const uint32_t mid = lo + (hi - lo) / 2;
            (directSrgb(fromBits(mid)) > directSrgb(fromBits(b)) ? hi : lo) = mid;
        }
        for (uint32_t n = hi - 2; n <= hi + 2; ++n) ASSERT_EQ(vh::srgbByte(fromBits(n)), directSrgb(fromBits(n)));
        EXPECT_GT(directSrgb(fromBits(hi)), previous);
        previous = directSrgb(fromBits(hi));
        ++steps;
        b = hi;
    }
    EXPECT_EQ(steps, 255);  // every byte value is reached
}

TEST(ImageQuant, OutOfRangeInputsClampLikeTheDirectFormula) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case { float v; int srgb, linear; };
    const Case cases[] = {{-1.0f, 0, 0}, {-0.0f, 0, 0}, {-inf, 0, 0}, {nan, 0, 0},
                          {1.0f, 255, 255}, {1.5f, 255, 255}, {inf, 255, 255},
                          {0.5f, 188, 128}, {0.5f / 255.0f, 6, 1}, {0.4999f / 255.0f, 6, 0}};
    for (const Case &c : cases) {
        EXPECT_EQ(vh::srgbByte(c.v), c.srgb) << c.v;
        EXPECT_EQ(vh::linearByte(c.v), c.linear) << c.v;
    }
}

TEST(ImageQuant, LinearByteRoundsHalfAwayFromZero) {
    for (uint32_t b = 0; b <= 0x3f800000u; b += 1021) {
        const float v = fromBits(b);
        ASSERT_EQ(vh::linearByte(v), directLinear(v)) << "v = " << v;
    }
    // Exact halves and the float just below each.
    for (int k = 0; k < 255; ++k) {
        const float half = (float(k) + 0.5f) / 255.0f;
        EXPECT_EQ(vh::linearByte(half), directLinear(half));
        EXPECT_EQ(vh::linearByte(std::nextafter(half, 0.0f)), directLinear(std::nextafter(half, 0.0f)));
    }
}

}  // namespace
