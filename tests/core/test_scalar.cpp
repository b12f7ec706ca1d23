// Codebooks, the boundary rule, the packed layouts and the portable scoring.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "quantize/scalar.h"
#include "quantize/tables.h"

namespace kivo::quantize {
namespace {

float f(uint32_t bits) { return std::bit_cast<float>(bits); }

TEST(Tables, BitPatternsAndSymmetry) {
    EXPECT_EQ(std::bit_cast<uint32_t>(CENTROIDS_2BIT[0]), 0xBFC1555Du);
    EXPECT_EQ(std::bit_cast<uint32_t>(CENTROIDS_4BIT[15]), 0x402EE2BFu);
    EXPECT_EQ(std::bit_cast<uint32_t>(BOUNDS_4BIT[8]), 0x3E8435A2u);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(CENTROIDS_4BIT[15 - k], -CENTROIDS_4BIT[k]);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(CENTROIDS_2BIT[3 - k], -CENTROIDS_2BIT[k]);
    for (int k = 0; k < 15; ++k) EXPECT_EQ(BOUNDS_4BIT[14 - k], -BOUNDS_4BIT[k]);
    for (int k = 0; k + 1 < 16; ++k) EXPECT_LT(CENTROIDS_4BIT[k], CENTROIDS_4BIT[k + 1]);
}

TEST(Scalar, BoundaryRule) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct { float x; uint8_t c2, c4; } cases[] = {
        {0.0f, 2, 8}, {-0.0f, 2, 8}, {f(0x3F7B4A0F), 3, 11}, {nan, 3, 15}, {inf, 3, 15}, {-inf, 0, 0},
        {f(0x3E8435A1), 2, 8}, {f(0x3E8435A2), 2, 9}, {-3.0f, 0, 0}, {3.0f, 3, 15},
        {std::nextafter(0.0f, -1.0f), 1, 7}, {f(0xBF7B4A0F), 1, 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(code_2bit(c.x), c.c2) << c.x;
        EXPECT_EQ(code_4bit(c.x), c.c4) << c.x;
    }
    // Every value from just below to just above each boundary.
    for (int k = 0; k < 15; ++k) {
        EXPECT_EQ(code_4bit(BOUNDS_4BIT[k]), k + 1);
        EXPECT_EQ(code_4bit(std::nextafter(BOUNDS_4BIT[k], -inf)), k);
    }
}

TEST(Scalar, PackedLayouts) {
    EXPECT_TRUE(encode_2bit({}).empty());
    EXPECT_TRUE(encode_4bit({}).empty());
    const std::vector<float> four = {-2.0f, -0.5f, 0.5f, 2.0f};
    EXPECT_EQ(encode_2bit(four), std::vector<uint8_t>{0xE4});
    const std::vector<float> pair = {-3.0f, 3.0f};
    EXPECT_EQ(encode_4bit(pair), std::vector<uint8_t>{0xF0});
    const std::vector<float> one = {3.0f};
    EXPECT_EQ(encode_4bit(one), std::vector<uint8_t>{0x0F});
    const std::vector<float> one_2bit = {1.0f};
    EXPECT_EQ(encode_2bit(one_2bit), std::vector<uint8_t>{0x03});
    const std::vector<float> five = {2.0f, 2.0f, 2.0f, 2.0f, -0.5f};
    EXPECT_EQ(encode_2bit(five), (std::vector<uint8_t>{0xFF, 0x01}));
}

TEST(Scalar, PortableScoringEdgeCases) {
    const std::vector<float> ones = {1, 1, 1, 1};
    const std::vector<float> first = {1, 0, 0, 0};
    const uint8_t e4 = 0xE4, f0 = 0xF0;
    EXPECT_FLOAT_EQ(score_2bit_portable(ones.data(), 4, &e4), 0.0f);
    EXPECT_EQ(score_2bit_portable(first.data(), 4, &e4), CENTROIDS_2BIT[0]);
    EXPECT_FLOAT_EQ(score_4bit_portable(ones.data(), 2, &f0), 0.0f);
    EXPECT_EQ(score_2bit_portable(nullptr, 0, nullptr), 0.0f);
    EXPECT_EQ(score_4bit_portable(nullptr, 0, nullptr), 0.0f);
    // L = 1: only the low nibble counts; L = 2 for 2-bit: only the two low slots.
    const uint8_t hi = 0xF0;
    EXPECT_EQ(score_4bit_portable(ones.data(), 1, &hi), CENTROIDS_4BIT[0]);
    EXPECT_EQ(score_2bit_portable(ones.data(), 2, &e4), CENTROIDS_2BIT[0] + CENTROIDS_2BIT[1]);
}

}  // namespace
}  // namespace kivo::quantize
