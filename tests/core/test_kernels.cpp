// Scoring kernels: every variant against the portable paths, against a scalar
// restatement of its own summation order (bit for bit), batched and gathered
// forms against single-code results, and the dispatching entry points.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "guarded_buffer.h"
#include "quantize/tables.h"
#include "simd/dispatch.h"
#include "simd/codebook.h"
#include "simd/kernels.h"
#include "simd/registry.h"

namespace kivo::simd {
namespace {

using quantize::CENTROIDS_2BIT;
using quantize::CENTROIDS_4BIT;
using testing::GuardedBlocks;
using testing::GuardedBuffer;

uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }

// ---- scalar restatements of each vector variant's order of operations -------

// Lane reduction of eight lanes: s_l = a[l] + a[l+4]; (s0 + s1) + (s2 + s3).
float reduce8(const float* a) {
    float s[4];
    for (int l = 0; l < 4; ++l) s[l] = a[l] + a[l + 4];
    return (s[0] + s[1]) + (s[2] + s[3]);
}

float tail_4bit(const float* q, std::size_t len, const uint8_t* c, std::size_t from, std::size_t bytes,
                float r) {
    for (std::size_t i = from; i < bytes; ++i) {
        const float lo = q[2 * i] * CENTROIDS_4BIT[c[i] & 15];
        r = r + lo;
        if (2 * i + 1 < len) {
            const float hi = q[2 * i + 1] * CENTROIDS_4BIT[c[i] >> 4];
            r = r + hi;
        }
    }
    return r;
}

float nibble(const uint8_t* c, std::size_t k) { return CENTROIDS_4BIT[(c[k / 2] >> (4 * (k % 2))) & 15]; }

// Padding slots (coordinate >= len) are skipped: they add nothing.
void lane_fma(float& acc, float centroid, const float* q, std::size_t k, std::size_t len) {
    if (k < len) acc = std::fma(centroid, q[k], acc);
}

float emulate_avx2_2bit(const float* q, std::size_t len, const uint8_t* c) {
    const std::size_t bytes = (len + 3) / 4;
    float a[8] = {};
    for (std::size_t t = 0; t < bytes / 2; ++t) {
        for (std::size_t l = 0; l < 8; ++l) {
            const std::size_t k = 8 * t + l;
            lane_fma(a[l], CENTROIDS_2BIT[(c[k / 4] >> (2 * (k % 4))) & 3], q, k, len);
        }
    }
    float r = reduce8(a);
    if (bytes % 2 == 1) {
        const std::size_t i = bytes - 1;
        for (std::size_t j = 0; j < 4 && 4 * i + j < len; ++j) {
            const float p = q[4 * i + j] * CENTROIDS_2BIT[(c[i] >> (2 * j)) & 3];
            r = r + p;
        }
    }
    return r;
}

float emulate_avx2_4bit(const float* q, std::size_t len, const uint8_t* c) {
    const std::size_t bytes = (len + 1) / 2;
    float a[4][8] = {};
    for (std::size_t t = 0; t < bytes / 16; ++t) {
        for (std::size_t g = 0; g < 4; ++g) {
            for (std::size_t l = 0; l < 8; ++l) {
                const std::size_t k = 32 * t + 8 * g + l;
                lane_fma(a[g][l], nibble(c, k), q, k, len);
            }
        }
    }
    float acc[8];
    for (std::size_t l = 0; l < 8; ++l) acc[l] = (a[0][l] + a[1][l]) + (a[2][l] + a[3][l]);
    for (std::size_t u = 4 * (bytes / 16); u < bytes / 4; ++u) {
        for (std::size_t l = 0; l < 8; ++l) lane_fma(acc[l], nibble(c, 8 * u + l), q, 8 * u + l, len);
    }
    return tail_4bit(q, len, c, 4 * (bytes / 4), bytes, reduce8(acc));
}

float emulate_avx512_4bit(const float* q, std::size_t len, const uint8_t* c) {
    const std::size_t bytes = (len + 1) / 2;
    float a[16] = {};
    for (std::size_t t = 0; t < bytes / 8; ++t) {
        for (std::size_t l = 0; l < 16; ++l) lane_fma(a[l], nibble(c, 16 * t + l), q, 16 * t + l, len);
    }
    float b[8], d[4];
    for (int l = 0; l < 8; ++l) b[l] = a[l] + a[l + 8];
    for (int l = 0; l < 4; ++l) d[l] = b[l] + b[l + 4];
    return tail_4bit(q, len, c, 8 * (bytes / 8), bytes, (d[0] + d[2]) + (d[1] + d[3]));
}

// ---- the variants under test --------------------------------------------------

using SingleFn = float (*)(const float*, std::size_t, const uint8_t*);
using BatchFn = void (*)(const float*, std::size_t, const uint8_t*, std::size_t, std::size_t, float*);
using GatherFn = void (*)(const float*, std::size_t, const uint8_t* const*, std::size_t, float*);

// The scalar restatement of each vectorised registry row's own order; a new
// row needs one here (the registry test below insists).
SingleFn emulation_of(std::string_view name) {
    if (name == "avx2_2bit") return emulate_avx2_2bit;
    if (name == "avx2_4bit") return emulate_avx2_4bit;
    if (name == "avx512_4bit") return emulate_avx512_4bit;
    return nullptr;
}

// A registry row as the tests see it.
struct Tested {
    const char* name;
    int bits_per_coord;
    uint32_t required;  // feature bits the variant needs
    SingleFn single;
    BatchFn batch;
    GatherFn gather;
    SingleFn emulate;   // vectorised rows only
};
void PrintTo(const Tested& v, std::ostream* os) { *os << v.name; }

// Every registry row, or only the vectorised ones (those requiring features).
std::vector<Tested> tested_rows(bool vectorised_only) {
    std::vector<Tested> rows;
    for (const KernelVariant& r : kKernelVariants) {
        if (vectorised_only && r.required == 0) continue;
        rows.push_back({r.name, r.bits, r.required, r.single, r.batch, r.gather, emulation_of(r.name)});
    }
    return rows;
}

std::size_t code_bytes(int bits_per_coord, std::size_t len) {
    return bits_per_coord == 2 ? (len + 3) / 4 : (len + 1) / 2;
}

// A query of len floats and one code ending right at guard pages. Code bytes
// are fully random, padding slots of the last byte included.
struct Fixture {
    GuardedBuffer qbuf;
    GuardedBuffer cbuf;
    std::span<float> q;
    std::span<uint8_t> code;

    Fixture(int bits_per_coord, std::size_t len)
        : qbuf(len * sizeof(float)), cbuf(code_bytes(bits_per_coord, len)) {
        q = {static_cast<float*>(qbuf.data()), len};
        code = {static_cast<uint8_t*>(cbuf.data()), code_bytes(bits_per_coord, len)};
    }
    void fill_random(std::mt19937& rng, bool integer_query) {
        std::normal_distribution<float> normal(0.0f, 1.0f);
        std::uniform_int_distribution<int> small(-8, 8);
        std::uniform_int_distribution<int> byte(0, 255);
        for (float& x : q) x = integer_query ? static_cast<float>(small(rng)) : normal(rng);
        for (uint8_t& b : code) b = static_cast<uint8_t>(byte(rng));
    }
};

// Exact inner product in double, and the magnitude sum used to bound the
// float32 rounding of any summation order.
void reference(const Tested& v, std::span<const float> q, std::span<const uint8_t> c, double& exact,
               double& magnitude) {
    exact = 0.0;
    magnitude = 0.0;
    for (std::size_t k = 0; k < q.size(); ++k) {
        const double centroid = v.bits_per_coord == 2 ? CENTROIDS_2BIT[(c[k / 4] >> (2 * (k % 4))) & 3]
                                                       : CENTROIDS_4BIT[(c[k / 2] >> (4 * (k % 2))) & 15];
        exact += static_cast<double>(q[k]) * centroid;
        magnitude += std::fabs(static_cast<double>(q[k]) * centroid);
    }
}

// Lengths that reach every tail: all of 0..300 (4-bit bytes mod 16 and mod 8
// in every class, odd lengths, 2-bit bytes odd and even with every padding
// count) plus padded dimensions of real indexes and their neighbours.
std::vector<std::size_t> tail_lengths() {
    std::vector<std::size_t> lens;
    for (std::size_t len = 0; len <= 300; ++len) lens.push_back(len);
    for (std::size_t len : {511, 512, 513, 1021, 1022, 1023, 1024, 2047, 2048}) lens.push_back(len);
    return lens;
}

class Kernels : public ::testing::TestWithParam<Tested> {
protected:
    void SetUp() override {
        const uint32_t required = GetParam().required;
        if ((features() & required) != required) GTEST_SKIP() << GetParam().name << " not supported here";
    }
};
// The processor-specific variants: their own order and their batched form.
class VectorKernels : public Kernels {};

TEST_P(Kernels, AgreesWithPortableWithinRounding) {
    const Tested& v = GetParam();
    const SingleFn portable = v.bits_per_coord == 2 ? portable::score_2bit : portable::score_4bit;
    std::mt19937 rng(1234);
    for (std::size_t len : tail_lengths()) {
        for (bool integer_query : {false, true}) {
            Fixture f(v.bits_per_coord, len);
            ASSERT_TRUE(f.qbuf.ok() && f.cbuf.ok());
            f.fill_random(rng, integer_query);
            const float got = v.single(f.q.data(), len, f.code.data());
            const float want = portable(f.q.data(), len, f.code.data());
            double exact = 0.0;
            double magnitude = 0.0;
            reference(v, f.q, f.code, exact, magnitude);
            // Any order of len float32 products and sums is within about
            // (len + 1) units of rounding of the magnitude sum of the exact result.
            const double bound = (static_cast<double>(len) + 2.0) * 0x1p-24 * magnitude;
            SCOPED_TRACE("len " + std::to_string(len) + (integer_query ? " integer query" : ""));
            EXPECT_LE(std::fabs(got - exact), bound);
            EXPECT_LE(std::fabs(want - exact), bound);
            EXPECT_LE(std::fabs(static_cast<double>(got) - want), 2.0 * bound);
        }
    }
}

TEST_P(VectorKernels, MatchesItsOwnSummationOrderBitForBit) {
    const Tested& v = GetParam();
    std::mt19937 rng(99);
    for (std::size_t len : tail_lengths()) {
        for (int trial = 0; trial < 3; ++trial) {
            Fixture f(v.bits_per_coord, len);
            ASSERT_TRUE(f.qbuf.ok() && f.cbuf.ok());
            f.fill_random(rng, trial == 2);
            const float got = v.single(f.q.data(), len, f.code.data());
            const float want = v.emulate(f.q.data(), len, f.code.data());
            ASSERT_EQ(bits(got), bits(want)) << "len " << len << " trial " << trial << ": " << got << " vs " << want;
        }
    }
}

// A query that is zero except for one power of two picks out exactly one
// centroid, whatever the summation order: this pins which slot of which byte
// each coordinate reads.
TEST_P(Kernels, OneHotQueryIsExact) {
    const Tested& v = GetParam();
    std::mt19937 rng(7);
    for (std::size_t len : {1, 2, 3, 5, 7, 8, 15, 16, 17, 31, 33, 63, 64, 65, 97, 127, 255, 256}) {
        Fixture f(v.bits_per_coord, len);
        ASSERT_TRUE(f.qbuf.ok() && f.cbuf.ok());
        f.fill_random(rng, false);
        for (std::size_t k = 0; k < len; ++k) {
            for (float& x : f.q) x = 0.0f;
            const float weight = (k % 3 == 0) ? -4.0f : 0.5f;
            f.q[k] = weight;
            const float centroid = v.bits_per_coord == 2
                                       ? CENTROIDS_2BIT[(f.code[k / 4] >> (2 * (k % 4))) & 3]
                                       : CENTROIDS_4BIT[(f.code[k / 2] >> (4 * (k % 2))) & 15];
            ASSERT_EQ(v.single(f.q.data(), len, f.code.data()), centroid * weight) << "len " << len << " k " << k;
        }
    }
}

TEST_P(VectorKernels, BatchEqualsSingleBitForBit) {
    const Tested& v = GetParam();
    std::mt19937 rng(5);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t len : {1, 3, 7, 8, 31, 33, 127, 255, 256, 1023, 1024}) {
        const std::size_t b = code_bytes(v.bits_per_coord, len);
        // Packed back to back, and with a gap of junk between codes.
        for (std::size_t stride : {b, b + 13}) {
            for (std::size_t count : {0, 1, 2, 3, 7, 8, 9, 17, 33}) {
                std::vector<float> q(len);
                for (float& x : q) x = normal(rng);
                std::vector<uint8_t> codes(count * stride + 1);
                for (uint8_t& x : codes) x = static_cast<uint8_t>(byte(rng));
                std::vector<float> out(count + 1, -7.0f);
                v.batch(q.data(), len, codes.data(), stride, count, out.data());
                for (std::size_t i = 0; i < count; ++i) {
                    const float single = v.single(q.data(), len, codes.data() + i * stride);
                    ASSERT_EQ(bits(out[i]), bits(single))
                        << "len " << len << " stride " << stride << " count " << count << " code " << i;
                }
                EXPECT_EQ(out[count], -7.0f) << "wrote past count";
            }
        }
    }
}

// Codes scattered at assorted alignments, the last one right before a guard
// page, gathered in shuffled order with repeats: each result equals the
// single-code kernel on that code, and nothing past `count` is written.
TEST_P(Kernels, GatherEqualsSingleBitForBit) {
    const Tested& v = GetParam();
    std::mt19937 rng(21);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::size_t> lens;
    for (std::size_t len = 0; len <= 300; len += (len < 80 ? 1 : 7)) lens.push_back(len);
    for (std::size_t len : {383, 384, 511, 512, 513, 1023, 1024}) lens.push_back(len);
    constexpr std::size_t kPool = 7;
    for (std::size_t len : lens) {
        GuardedBuffer qbuf(len * sizeof(float));
        GuardedBlocks pool(kPool, code_bytes(v.bits_per_coord, len));
        ASSERT_TRUE(qbuf.ok() && pool.ok());
        float* q = static_cast<float*>(qbuf.data());
        for (std::size_t k = 0; k < len; ++k) q[k] = normal(rng);
        for (std::size_t k = 0; k < pool.byte_count(); ++k) pool.bytes()[k] = static_cast<uint8_t>(byte(rng));
        // Around the interleaving of the 8-code groups: none, a partial
        // group, whole groups, whole groups and a tail.
        for (std::size_t count : {0, 1, 2, 7, 8, 9, 16, 23, 64}) {
            std::vector<const uint8_t*> codes(count);
            std::uniform_int_distribution<std::size_t> pick(0, kPool - 1);
            for (const uint8_t*& c : codes) c = pool.block(pick(rng));
            // The guarded last block at least once, wherever the shuffle puts it.
            if (count > 0) codes[count / 2] = pool.block(kPool - 1);
            std::vector<float> out(count + 1, -7.0f);
            v.gather(q, len, codes.data(), count, out.data());
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_EQ(bits(out[i]), bits(v.single(q, len, codes[i])))
                    << "len " << len << " count " << count << " code " << i;
            }
            EXPECT_EQ(out[count], -7.0f) << "wrote past count";
        }
    }
}

struct EdgeCase {
    const char* name;
    int bits_per_coord;
    std::vector<float> q;
    std::vector<uint8_t> code;
    float expected;
    bool exact;  // otherwise equal up to a few units of rounding
};

TEST_P(Kernels, EdgeCases) {
    const Tested& v = GetParam();
    const float c2_0 = CENTROIDS_2BIT[0];
    const EdgeCase cases[] = {
        {"empty 2-bit", 2, {}, {}, 0.0f, true},
        {"empty 4-bit", 4, {}, {}, 0.0f, true},
        {"0xE4 against ones", 2, {1, 1, 1, 1}, {0xE4}, 0.0f, false},
        {"0xE4 against first unit", 2, {1, 0, 0, 0}, {0xE4}, c2_0, true},
        {"0xF0 against ones", 4, {1, 1}, {0xF0}, 0.0f, true},
        {"L=1, high nibble is padding", 4, {2}, {0xF3}, 2 * CENTROIDS_4BIT[3], true},
        {"L=2 2-bit, two slots count", 2, {1, -1}, {0xF6}, CENTROIDS_2BIT[2] - CENTROIDS_2BIT[1], true},
        {"L=3 4-bit, padding nibble set", 4, {1, 0, 1}, {0x00, 0xFF}, CENTROIDS_4BIT[0] + CENTROIDS_4BIT[15], true},
    };
    for (const EdgeCase& c : cases) {
        if (c.bits_per_coord != v.bits_per_coord) continue;
        SCOPED_TRACE(c.name);
        // An empty code is passed as a null pointer: nothing may be read.
        const float got = v.single(c.q.empty() ? nullptr : c.q.data(), c.q.size(),
                                   c.code.empty() ? nullptr : c.code.data());
        if (c.exact) {
            EXPECT_EQ(got, c.expected);
        } else {
            EXPECT_NEAR(got, c.expected, 1e-6f);
        }
    }
}

std::string variant_name(const ::testing::TestParamInfo<Tested>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(Variants, Kernels, ::testing::ValuesIn(tested_rows(false)), variant_name);
INSTANTIATE_TEST_SUITE_P(Variants, VectorKernels, ::testing::ValuesIn(tested_rows(true)), variant_name);

// ---- the registry and the kernels' codebook -----------------------------------

TEST(KernelRegistry, EveryWidthEndsInAPortableRowAndVectorRowsAreEmulated) {
    for (uint8_t width : {uint8_t{2}, uint8_t{4}}) {
        // With no features at all the walk must still find a row: the portable one.
        EXPECT_EQ(select_kernel(width, 0).required, 0u);
        EXPECT_EQ(select_kernel(width, 0).bits, width);
    }
    for (const KernelVariant& r : kKernelVariants) {
        SCOPED_TRACE(r.name);
        EXPECT_TRUE(r.bits == 2 || r.bits == 4);
        EXPECT_NE(r.single, nullptr);
        EXPECT_NE(r.batch, nullptr);
        EXPECT_NE(r.gather, nullptr);
        if (r.required != 0) {
            EXPECT_NE(emulation_of(r.name), nullptr) << "no scalar restatement of its order";
        }
    }
}

// The kernels carry the codebook as float literals; they must be the
// quantizer's pinned values to the bit, or codes would score as other values.
TEST(KernelCodebook, MatchesTheQuantizerTablesBitForBit) {
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(bits(kCentroids2[i]), bits(CENTROIDS_2BIT[i])) << i;
        EXPECT_EQ(bits(kCentroids2x2[i]), bits(CENTROIDS_2BIT[i])) << i;
        EXPECT_EQ(bits(kCentroids2x2[i + 4]), bits(CENTROIDS_2BIT[i])) << i;
    }
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(bits(kCentroids4[i]), bits(CENTROIDS_4BIT[i])) << i;
}

// ---- the dispatching entry points ---------------------------------------------

TEST(KernelDispatch, EntryPointsReturnTheChosenVariant) {
    const Variant v4 = variant_4bit(features());
    const Variant v2 = variant_2bit(features());
    const SingleFn expect4 = v4 == Variant::Avx512 ? avx512::score_4bit
                             : v4 == Variant::Avx2 ? avx2::score_4bit
                                                   : portable::score_4bit;
    const SingleFn expect2 = v2 == Variant::Avx2 ? avx2::score_2bit : portable::score_2bit;
    std::mt19937 rng(11);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t len : {0, 1, 4, 37, 64, 255, 512, 1024}) {
        std::vector<float> q(len);
        for (float& x : q) x = normal(rng);
        const std::size_t count = 11;
        const std::size_t b4 = (len + 1) / 2;
        const std::size_t b2 = (len + 3) / 4;
        std::vector<uint8_t> codes(count * b4 + 1);
        for (uint8_t& x : codes) x = static_cast<uint8_t>(byte(rng));
        std::vector<float> out4(count), out2(count), gathered4(count), gathered2(count);
        score_4bit_batch(q, codes.data(), b4, count, out4.data());
        score_2bit_batch(q, codes.data(), b2, count, out2.data());
        // The same codes gathered back to front.
        std::vector<const uint8_t*> rev4(count), rev2(count);
        for (std::size_t i = 0; i < count; ++i) {
            rev4[i] = codes.data() + (count - 1 - i) * b4;
            rev2[i] = codes.data() + (count - 1 - i) * b2;
        }
        score_4bit_gather(q, rev4.data(), count, gathered4.data());
        score_2bit_gather(q, rev2.data(), count, gathered2.data());
        for (std::size_t i = 0; i < count; ++i) {
            const std::span<const uint8_t> c4(codes.data() + i * b4, b4);
            const std::span<const uint8_t> c2(codes.data() + i * b2, b2);
            const float s4 = score_4bit(q, c4);
            const float s2 = score_2bit(q, c2);
            ASSERT_EQ(bits(s4), bits(expect4(q.data(), len, c4.data()))) << len;
            ASSERT_EQ(bits(s2), bits(expect2(q.data(), len, c2.data()))) << len;
            ASSERT_EQ(bits(out4[i]), bits(s4)) << len;
            ASSERT_EQ(bits(out2[i]), bits(s2)) << len;
            ASSERT_EQ(bits(gathered4[count - 1 - i]), bits(s4)) << len;
            ASSERT_EQ(bits(gathered2[count - 1 - i]), bits(s2)) << len;
        }
    }
}

// A code span shorter than the query needs scores only the coordinates it
// covers; the guard page after it catches any read beyond.
TEST(KernelDispatch, ShortCodeSpanIsNeverOverread) {
    std::mt19937 rng(17);
    for (std::size_t bytes : {0, 1, 3, 8, 9, 17, 64}) {
        for (int bits_per_coord : {2, 4}) {
            const std::size_t per_byte = bits_per_coord == 2 ? 4 : 2;
            const std::size_t covered = bytes * per_byte;
            Fixture f(bits_per_coord, covered);
            ASSERT_TRUE(f.qbuf.ok() && f.cbuf.ok());
            f.fill_random(rng, false);
            std::vector<float> longer(f.q.begin(), f.q.end());
            longer.resize(covered + 40, 1.0f);
            const float got = bits_per_coord == 2 ? score_2bit(longer, f.code) : score_4bit(longer, f.code);
            const float want = bits_per_coord == 2 ? score_2bit(f.q, f.code) : score_4bit(f.q, f.code);
            EXPECT_EQ(bits(got), bits(want)) << bits_per_coord << "-bit, " << bytes << " bytes";
        }
    }
}

// The mixed layout: a 4-bit block at offset 0 and a 2-bit block at offset pb4
// of every code, scored with the per-block batch calls at the code stride.
TEST(KernelDispatch, MixedBlocksByOffsetAndStride) {
    const std::size_t padded = 64, n4 = 24, pb4 = n4 / 2, stride = pb4 + (padded - n4) / 4;
    std::mt19937 rng(3);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<float> q(padded);
    for (float& x : q) x = normal(rng);
    const std::size_t count = 19;
    std::vector<uint8_t> codes(count * stride);
    for (uint8_t& x : codes) x = static_cast<uint8_t>(byte(rng));
    const std::span<const float> q4(q.data(), n4), q2(q.data() + n4, padded - n4);
    std::vector<float> s4(count), s2(count);
    score_4bit_batch(q4, codes.data(), stride, count, s4.data());
    score_2bit_batch(q2, codes.data() + pb4, stride, count, s2.data());
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* c = codes.data() + i * stride;
        EXPECT_EQ(bits(s4[i]), bits(score_4bit(q4, {c, pb4})));
        EXPECT_EQ(bits(s2[i]), bits(score_2bit(q2, {c + pb4, stride - pb4})));
    }
}

}  // namespace
}  // namespace kivo::simd
