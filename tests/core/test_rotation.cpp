// Tests of the randomized Hadamard rotation: key expansion, ChaCha20 block
// function, the seeded sign vector and the transform itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "config.h"
#include "quantize/rotation.h"

namespace kivo::quantize {
namespace {

constexpr uint64_t kSeed = 0xDEADBEEFCAFE1337ULL;

// Plain Sylvester-order transform, written straight from the definition: the
// optimized apply() must match it bit for bit.
std::vector<float> reference_apply(std::span<const int8_t> signs, std::span<const float> x) {
    const std::size_t n = signs.size();
    std::vector<float> y(n, 0.0f);
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = static_cast<float>(signs[i]) * x[i];
    for (std::size_t h = 1; h < n; h *= 2) {
        for (std::size_t b = 0; b < n; b += 2 * h) {
            for (std::size_t i = b; i < b + h; ++i) {
                const float u = y[i];
                const float v = y[i + h];
                y[i] = u + v;
                y[i + h] = u - v;
            }
        }
    }
    const float c = 1.0f / std::sqrt(static_cast<float>(n));
    for (float& v : y) v = v * c;
    return y;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::vector<float> random_vector(std::size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

TEST(Rotation, WorkedExampleWithInjectedSigns) {
    const Rhdh full = Rhdh::from_signs(4, {1, -1, 1, 1});
    const std::vector<float> x4 = {1, 2, 3, 4};
    EXPECT_EQ(full.apply(x4), (std::vector<float>{3, 1, -4, 2}));

    const Rhdh three = Rhdh::from_signs(3, {1, -1, 1, 1});
    const std::vector<float> x3 = {1, 2, 3};
    EXPECT_EQ(three.apply(x3), (std::vector<float>{1, 3, -2, 0}));
}

// RFC 8439 section 2.3.2 (block function test vector). Its 32-bit counter 1
// and 96-bit nonce 00:00:00:09:00:00:00:4a:00:00:00:00 fill words 12 to 15 of
// the same 16-word state.
TEST(Rotation, ChaCha20BlockMatchesPublishedVector) {
    std::array<uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                      0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                      0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                      0x00000001, 0x09000000, 0x4a000000, 0x00000000};
    const std::array<uint32_t, 16> expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                               0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                               0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                               0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(chacha20_block(state), expected);
}

// RFC 8439 appendix A.1, test vectors 1 and 2: all-zero key and nonce, block
// counters 0 and 1 (serialized little-endian keystream bytes).
TEST(Rotation, ChaCha20ZeroKeyVectors) {
    struct Case {
        uint32_t counter;
        std::array<uint8_t, 64> bytes;
    };
    const Case cases[] = {
        {0, {0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53, 0x86, 0xbd, 0x28,
             0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7,
             0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48, 0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37,
             0x6a, 0x43, 0xb8, 0xf4, 0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86}},
        {1, {0x9f, 0x07, 0xe7, 0xbe, 0x55, 0x51, 0x38, 0x7a, 0x98, 0xba, 0x97, 0x7c, 0x73, 0x2d, 0x08, 0x0d,
             0xcb, 0x0f, 0x29, 0xa0, 0x48, 0xe3, 0x65, 0x69, 0x12, 0xc6, 0x53, 0x3e, 0x32, 0xee, 0x7a, 0xed,
             0x29, 0xb7, 0x21, 0x76, 0x9c, 0xe6, 0x4e, 0x43, 0xd5, 0x71, 0x33, 0xb0, 0x74, 0xd8, 0x39, 0xd5,
             0x31, 0xed, 0x1f, 0x28, 0x51, 0x0a, 0xfb, 0x45, 0xac, 0xe1, 0x0a, 0x1f, 0x4b, 0x79, 0x4d, 0x6f}},
    };
    for (const Case& c : cases) {
        std::array<uint32_t, 16> state{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
        state[12] = c.counter;
        const auto out = chacha20_block(state);
        for (int w = 0; w < 16; ++w) {
            const uint32_t want = uint32_t{c.bytes[4 * w]} | uint32_t{c.bytes[4 * w + 1]} << 8 |
                                  uint32_t{c.bytes[4 * w + 2]} << 16 | uint32_t{c.bytes[4 * w + 3]} << 24;
            EXPECT_EQ(out[w], want) << "counter " << c.counter << " word " << w;
        }
    }
}

// Expected values below come from tests/core/data/derive_signs.py, which
// expands the key in its own Python code and takes the keystream from the
// `cryptography` package's ChaCha20.
TEST(Rotation, KeyExpansionOfDefaultSeed) {
    const std::array<uint32_t, 8> expected = {0x9BBCF511, 0x938093C0, 0x4FBE6594, 0xAA81EB4C,
                                              0x94A737D1, 0xA560598F, 0x7DEB5073, 0x1FA8ECE0};
    EXPECT_EQ(expand_key(kSeed), expected);
}

TEST(Rotation, SignsOfDefaultSeedMatchIndependentDerivation) {
    const std::vector<int8_t> prefix = {
        -1, 1,  -1, 1, 1, 1, 1, -1, -1, 1,  -1, 1,  -1, -1, -1, 1,  -1, -1, 1, 1,  -1, -1,
        -1, -1, -1, -1, 1, -1, 1, -1, -1, 1,  -1, 1,  1,  1,  1,  1,  -1, 1,  1, 1,  1,  1,
        1,  -1, 1,  -1, -1, 1, 1, -1, 1,  -1, 1,  1,  -1, -1, -1, 1,  1,  -1, 1, -1};
    ASSERT_EQ(prefix.size(), 64u);
    const Rhdh rhdh = Rhdh::create(4096, kSeed);
    ASSERT_EQ(rhdh.signs().size(), 4096u);
    for (std::size_t j = 0; j < prefix.size(); ++j) EXPECT_EQ(rhdh.signs()[j], prefix[j]) << "sign " << j;
    const struct {
        std::size_t index;
        int8_t sign;
    } later[] = {{100, -1}, {255, -1}, {256, 1}, {1000, -1}, {1023, -1}, {2047, -1}, {4095, -1}};
    for (const auto& c : later) EXPECT_EQ(rhdh.signs()[c.index], c.sign) << "sign " << c.index;
}

// The four-blocks-at-a-time generator against the one-block function, over a
// stream long enough to cross many groups of blocks.
TEST(Rotation, SignsFollowKeystreamWordOrder) {
    const uint64_t seeds[] = {kSeed, 0, 1, 0xFFFFFFFFFFFFFFFFULL};
    for (uint64_t seed : seeds) {
        const Rhdh rhdh = Rhdh::create(8192, seed);
        const auto key = expand_key(seed);
        for (uint32_t block = 0; block < 8192 / 16; ++block) {
            std::array<uint32_t, 16> state{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
            for (int i = 0; i < 8; ++i) state[4 + i] = key[i];
            state[12] = block;
            const auto words = chacha20_block(state);
            for (int w = 0; w < 16; ++w) {
                ASSERT_EQ(rhdh.signs()[16 * block + w], (words[w] & 1) ? -1 : 1)
                    << "seed " << seed << " block " << block << " word " << w;
            }
        }
    }
}

TEST(Rotation, PaddedDimensionAndSharedSigns) {
    struct Case {
        uint64_t dim;
        uint64_t padded;
    };
    const Case cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {600, 1024}, {1000, 1024}, {1024, 1024}, {1025, 2048}};
    for (const Case& c : cases) {
        const Rhdh rhdh = Rhdh::create(c.dim, kSeed);
        EXPECT_EQ(rhdh.dim(), c.dim);
        EXPECT_EQ(rhdh.padded_dim(), c.padded) << "dim " << c.dim;
        EXPECT_EQ(rhdh.signs().size(), c.padded);
    }
    // Same padded dimension, same signs; a larger one starts with them.
    const Rhdh a = Rhdh::create(600, kSeed);
    const Rhdh b = Rhdh::create(1000, kSeed);
    EXPECT_TRUE(std::ranges::equal(a.signs(), b.signs()));
    const Rhdh big = Rhdh::create(5000, kSeed);
    for (uint64_t dim : {1u, 2u, 3u, 17u, 64u, 65u, 1024u}) {
        const Rhdh small = Rhdh::create(dim, kSeed);
        EXPECT_TRUE(std::ranges::equal(small.signs(), big.signs().first(small.signs().size()))) << "dim " << dim;
    }
    // Another seed draws another vector.
    EXPECT_FALSE(std::ranges::equal(Rhdh::create(1024, kSeed + 1).signs(), b.signs()));
}

TEST(Rotation, OptimizedTransformMatchesReferenceBitForBit) {
    // Covers n below 4 (no vector path), the in-register first stages, odd and
    // even numbers of remaining stages, and sizes past the cache block.
    for (uint64_t dim : {1u, 2u, 3u, 4u, 5u, 8u, 16u, 32u, 100u, 128u, 512u, 1536u, 4096u, 8192u, 16384u, 40000u}) {
        const Rhdh rhdh = Rhdh::create(dim, kSeed);
        const auto x = random_vector(dim, static_cast<uint32_t>(dim));
        EXPECT_TRUE(same_bits(rhdh.apply(x), reference_apply(rhdh.signs(), x))) << "dim " << dim;
        // A shorter input is zero-padded.
        const auto half = std::span<const float>(x).first(dim / 2);
        EXPECT_TRUE(same_bits(rhdh.apply(half), reference_apply(rhdh.signs(), half))) << "dim " << dim;
    }
}

TEST(Rotation, PreservesNormAndSpreadsUnitVector) {
    for (uint64_t dim : {3u, 768u, 1024u, 1536u}) {
        const Rhdh rhdh = Rhdh::create(dim, kSeed);
        auto x = random_vector(dim, 7);
        double s = 0.0;
        for (float v : x) s += double(v) * v;
        for (float& v : x) v = static_cast<float>(v / std::sqrt(s));
        const auto y = rhdh.apply(x);
        double norm2 = 0.0;
        for (float v : y) norm2 += double(v) * v;
        EXPECT_NEAR(std::sqrt(norm2), 1.0, 1e-5) << "dim " << dim;

        std::vector<float> e0(dim, 0.0f);
        e0[0] = 1.0f;
        const float c = 1.0f / std::sqrt(static_cast<float>(rhdh.padded_dim()));
        const float expected = static_cast<float>(rhdh.signs()[0]) * c;
        for (float v : rhdh.apply(e0)) ASSERT_EQ(v, expected) << "dim " << dim;
    }
}

TEST(Rotation, EmptyInputAndSingleCoordinate) {
    const Rhdh big = Rhdh::create(1024, kSeed);
    EXPECT_EQ(big.apply({}), std::vector<float>(1024, 0.0f));

    for (uint64_t dim : {0u, 1u}) {
        const Rhdh one = Rhdh::create(dim, kSeed);
        ASSERT_EQ(one.padded_dim(), 1u);
        EXPECT_EQ(one.apply({}), std::vector<float>{0.0f});
        const std::vector<float> x = {2.5f};
        EXPECT_EQ(one.apply(x), std::vector<float>{static_cast<float>(one.signs()[0]) * 2.5f});
    }
    // Under the default seed sign 0 is -1 (see the derived prefix).
    EXPECT_EQ(Rhdh::create(1, kSeed).apply(std::vector<float>{2.5f}), std::vector<float>{-2.5f});
}

TEST(Rotation, InputIsNotModifiedAndNanFlowsThrough) {
    const Rhdh rhdh = Rhdh::create(8, kSeed);
    std::vector<float> x = {1, 2, 3, 4, 5, 6, 7, std::nanf("")};
    const auto copy = x;
    const auto y = rhdh.apply(x);
    EXPECT_TRUE(std::isnan(copy[7]) && std::isnan(x[7]));
    EXPECT_TRUE(std::equal(x.begin(), x.end() - 1, copy.begin()));
    for (float v : y) EXPECT_TRUE(std::isnan(v));
}

TEST(Rotation, ImpossibleDimensionIsReportedAsExhaustedMemory) {
    EXPECT_THROW(Rhdh::create((uint64_t{1} << 63) + 1, kSeed), std::bad_alloc);
    EXPECT_THROW(Rhdh::create(UINT64_MAX, kSeed), std::bad_alloc);
    EXPECT_THROW(Rhdh::create(uint64_t{1} << 63, kSeed), std::bad_alloc);
}

}  // namespace
}  // namespace kivo::quantize
