// Multi-query kernels: every (query, code) score bit-identical to the
// single-code variant it stands for, over lengths, alignments, query counts
// and strides, with each query and the code run placed before a guard page.
#include <gtest/gtest.h>

#include <bit>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "guarded_buffer.h"
#include "simd/dispatch.h"
#include "simd/kernels.h"
#include "simd/multi.h"
#include "simd/registry.h"

namespace kivo::simd {
namespace {

using testing::GuardedBuffer;

uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }

using SingleFn = float (*)(const float*, std::size_t, const uint8_t*);
using MultiFn = void (*)(const float* const*, std::size_t, std::size_t, const uint8_t*, std::size_t,
                         std::size_t, float*, std::size_t);

float dispatch_2bit(const float* q, std::size_t len, const uint8_t* c) {
    return score_2bit({q, len}, {c, (len + 3) / 4});
}
float dispatch_4bit(const float* q, std::size_t len, const uint8_t* c) {
    return score_4bit({q, len}, {c, (len + 1) / 2});
}

struct MultiVariant {
    std::string name;
    int bits_per_coord;
    uint32_t required;
    MultiFn multi;
    SingleFn single;  // the variant every score must equal
};
void PrintTo(const MultiVariant& v, std::ostream* os) { *os << v.name; }

// Every registry row with a multi-query kernel, against its own single-code
// kernel; and the entry points, which follow whatever the processor offers
// (a row without a multi-query kernel included), against the single-block
// entry points.
std::vector<MultiVariant> multi_variants() {
    std::vector<MultiVariant> out;
    for (const KernelVariant& r : kKernelVariants) {
        if (r.multi != nullptr) out.push_back({r.name, r.bits, r.required, r.multi, r.single});
    }
    out.push_back({"dispatch_2bit", 2, 0, score_2bit_multi, dispatch_2bit});
    out.push_back({"dispatch_4bit", 4, 0, score_4bit_multi, dispatch_4bit});
    return out;
}

std::size_t code_bytes(int bits_per_coord, std::size_t len) {
    return bits_per_coord == 2 ? (len + 3) / 4 : (len + 1) / 2;
}

class MultiKernels : public ::testing::TestWithParam<MultiVariant> {
protected:
    void SetUp() override {
        const uint32_t required = GetParam().required;
        if ((features() & required) != required) GTEST_SKIP() << GetParam().name << " not supported here";
    }
};

// Queries of `len` floats, each ending at its own guard page; `count` codes
// at `stride`, the last ending at a guard page. Every length gives the
// buffers another alignment.
void check(const MultiVariant& v, std::mt19937& rng, std::size_t len, std::size_t nq, std::size_t count,
           std::size_t stride, bool integer_query) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<int> small(-8, 8);
    std::uniform_int_distribution<int> byte(0, 255);
    const std::size_t b = code_bytes(v.bits_per_coord, len);
    std::vector<std::unique_ptr<GuardedBuffer>> qbufs;
    std::vector<const float*> queries;
    for (std::size_t j = 0; j < nq; ++j) {
        qbufs.push_back(std::make_unique<GuardedBuffer>(len * sizeof(float)));
        ASSERT_TRUE(qbufs.back()->ok());
        float* q = static_cast<float*>(qbufs.back()->data());
        for (std::size_t k = 0; k < len; ++k) q[k] = integer_query ? static_cast<float>(small(rng)) : normal(rng);
        queries.push_back(q);
    }
    const std::size_t span = count == 0 ? 0 : (count - 1) * stride + b;
    GuardedBuffer cbuf(span);
    ASSERT_TRUE(cbuf.ok());
    uint8_t* codes = static_cast<uint8_t*>(cbuf.data());
    for (std::size_t i = 0; i < span; ++i) codes[i] = static_cast<uint8_t>(byte(rng));
    // Output rows wider than count: cells past each row must stay untouched.
    const std::size_t out_stride = count + 3;
    std::vector<float> out(nq * out_stride, -7.0f);
    v.multi(queries.data(), nq, len, codes, stride, count, out.data(), out_stride);
    for (std::size_t j = 0; j < nq; ++j) {
        for (std::size_t i = 0; i < count; ++i) {
            const float want = v.single(queries[j], len, codes + i * stride);
            ASSERT_EQ(bits(out[j * out_stride + i]), bits(want))
                << "len " << len << " nq " << nq << " count " << count << " stride " << stride << " query " << j
                << " code " << i;
        }
        for (std::size_t i = count; i < out_stride; ++i) ASSERT_EQ(out[j * out_stride + i], -7.0f);
    }
}

TEST_P(MultiKernels, EveryLengthEqualsSingleBitForBit) {
    std::mt19937 rng(11);
    for (std::size_t len = 0; len <= 300; ++len) {
        const std::size_t b = code_bytes(GetParam().bits_per_coord, len);
        check(GetParam(), rng, len, 9, 3, b, len % 5 == 0);
    }
    for (std::size_t len : {511, 512, 513, 1023, 1024, 2048}) {
        check(GetParam(), rng, len, 8, 2, code_bytes(GetParam().bits_per_coord, len), false);
    }
}

TEST_P(MultiKernels, EveryQueryCountAndStrideEqualsSingle) {
    std::mt19937 rng(12);
    for (std::size_t len : {1, 7, 8, 33, 96, 128, 250, 384}) {
        const std::size_t b = code_bytes(GetParam().bits_per_coord, len);
        for (std::size_t nq : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17}) {
            // Codes back to back, with a junk gap between them, and an odd gap.
            for (std::size_t stride : {b, b + 13, b + 1}) {
                for (std::size_t count : {0, 1, 2, 5}) check(GetParam(), rng, len, nq, count, stride, false);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, MultiKernels, ::testing::ValuesIn(multi_variants()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kivo::simd
