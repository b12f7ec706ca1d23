// Codebooks, the boundary rule, the packed layouts and the portable scoring.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "quantize/scalar.h"
#include "quantize/tables.h"
#include "simd/kernels.h"

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

// The block encoders must give every value the same code as the scalar rule,
// whatever the length (vector body, scalar tail, several chunks).
TEST(Scalar, EncodersMatchTheScalarRuleAtEveryLength) {
    std::vector<float> pool = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
    for (float b : BOUNDS_4BIT) {
        pool.push_back(b);
        pool.push_back(std::nextafter(b, -10.0f));
        pool.push_back(std::nextafter(b, 10.0f));
    }
    for (float b : BOUNDS_2BIT) {
        pool.push_back(b);
        pool.push_back(std::nextafter(b, -10.0f));
    }
    uint32_t state = 12345;
    for (int i = 0; i < 64; ++i) {
        state = state * 1664525u + 1013904223u;
        pool.push_back((static_cast<float>(state >> 8) / 16777216.0f - 0.5f) * 7.0f);
    }
    for (std::size_t len : {0, 1, 2, 3, 4, 5, 7, 8, 9, 63, 255, 256, 257, 515, 1024}) {
        std::vector<float> values(len);
        for (std::size_t i = 0; i < len; ++i) values[i] = pool[(i * 7 + len) % pool.size()];
        const auto c2 = encode_2bit(values);
        const auto c4 = encode_4bit(values);
        ASSERT_EQ(c2.size(), (len + 3) / 4);
        ASSERT_EQ(c4.size(), (len + 1) / 2);
        for (std::size_t i = 0; i < len; ++i) {
            ASSERT_EQ((c2[i / 4] >> (2 * (i % 4))) & 3, code_2bit(values[i])) << len << " " << i;
            ASSERT_EQ((c4[i / 2] >> (4 * (i % 2))) & 15, code_4bit(values[i])) << len << " " << i;
        }
        if (len % 4 != 0) {
            EXPECT_EQ(c2.back() >> (2 * (len % 4)), 0) << "2-bit padding slots are zero";
        }
        if (len % 2 != 0) {
            EXPECT_EQ(c4.back() >> 4, 0) << "4-bit padding nibble is zero";
        }
    }
}

TEST(Scalar, PortableScoringEdgeCases) {
    const std::vector<float> ones = {1, 1, 1, 1};
    const std::vector<float> first = {1, 0, 0, 0};
    const uint8_t e4 = 0xE4, f0 = 0xF0;
    EXPECT_FLOAT_EQ(simd::portable::score_2bit(ones.data(), 4, &e4), 0.0f);
    EXPECT_EQ(simd::portable::score_2bit(first.data(), 4, &e4), CENTROIDS_2BIT[0]);
    EXPECT_FLOAT_EQ(simd::portable::score_4bit(ones.data(), 2, &f0), 0.0f);
    EXPECT_EQ(simd::portable::score_2bit(nullptr, 0, nullptr), 0.0f);
    EXPECT_EQ(simd::portable::score_4bit(nullptr, 0, nullptr), 0.0f);
    // L = 1: only the low nibble counts; L = 2 for 2-bit: only the two low slots.
    const uint8_t hi = 0xF0;
    EXPECT_EQ(simd::portable::score_4bit(ones.data(), 1, &hi), CENTROIDS_4BIT[0]);
    EXPECT_EQ(simd::portable::score_2bit(ones.data(), 2, &e4), CENTROIDS_2BIT[0] + CENTROIDS_2BIT[1]);
}

}  // namespace
}  // namespace kivo::quantize
