// Tests of QuantPipeline: construction rules, preparation by metric, encoding
// in the three layouts, quantized norms, scoring and score adjustment.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

#include "config.h"
#include "quantize/pipeline.h"
#include "quantize/scalar.h"
#include "quantize/tables.h"

namespace kivo::quantize {
namespace {

using vocab::EngineConfig;
using vocab::Metric;

EngineConfig make_config(uint64_t dim, uint64_t n4_dims, Metric metric = Metric::Cosine, uint8_t bit_width = 4) {
    EngineConfig c;
    c.dim = dim;
    c.n4_dims = n4_dims;
    c.metric = metric;
    c.bit_width = bit_width;
    return c;
}

QuantPipeline make_pipeline(uint64_t dim, uint64_t n4_dims, Metric metric = Metric::Cosine) {
    auto p = QuantPipeline::create(make_config(dim, n4_dims, metric));
    if (!p) throw std::runtime_error(p.error().message());
    return std::move(*p);
}

std::vector<float> random_vector(std::size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

bool same_bits(std::span<const float> a, std::span<const float> b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

// Dequantized value of padded coordinate i of a code laid out for n4 leading
// 4-bit coordinates.
float dequantized(std::span<const uint8_t> code, uint64_t n4, uint64_t i) {
    if (i < n4) return CENTROIDS_4BIT[(code[i / 2] >> (4 * (i % 2))) & 15];
    const uint64_t j = i - n4;
    return CENTROIDS_2BIT[(code[(n4 + 1) / 2 + j / 4] >> (2 * (j % 4))) & 3];
}

TEST(Pipeline, N4DimsRules) {
    struct Case {
        uint64_t dim;
        uint64_t n4;
        uint8_t bit_width;
        bool ok;
        uint64_t packed_bytes;
    };
    const Case cases[] = {
        {16, 0, 2, true, 4},    {16, 6, 4, false, 0},  {16, 8, 4, true, 6},   {16, 16, 4, true, 8},
        {16, 20, 4, false, 0},  {16, 17, 4, false, 0}, {10, 4, 2, true, 5},   {1, 1, 4, true, 1},
        {2, 2, 4, true, 1},     {3, 2, 4, false, 0},   {1024, 512, 4, true, 384},
        {1024, 768, 4, true, 448}, {1536, 2048, 4, true, 1024}, {1536, 0, 2, true, 512},
    };
    for (const Case& c : cases) {
        auto p = QuantPipeline::create(make_config(c.dim, c.n4, Metric::Dot, c.bit_width));
        ASSERT_EQ(p.has_value(), c.ok) << "dim " << c.dim << " n4 " << c.n4;
        if (!c.ok) {
            EXPECT_EQ(p.error().kind(), ErrorKind::InvalidBitWidth);
            EXPECT_EQ(p.error().first(), c.bit_width);
            EXPECT_EQ(p.error().message(), "invalid bit width: 4 (must be 2 or 4)");
            continue;
        }
        EXPECT_EQ(p->packed_bytes_per_vec(), c.packed_bytes) << "dim " << c.dim << " n4 " << c.n4;
        EXPECT_EQ(p->n4_dims() + p->n2_dims(), p->padded_dim());
        EXPECT_EQ(p->pb4_per_vec(), (c.n4 + 1) / 2);
        EXPECT_EQ(p->scale(), std::sqrt(static_cast<float>(p->padded_dim())));
        EXPECT_EQ(p->bit_width(), c.bit_width);
        EXPECT_EQ(p->metric(), Metric::Dot);
        EXPECT_FALSE(p->std_params().has_value());
        // Every encoded vector has exactly packed_bytes_per_vec bytes.
        EXPECT_EQ(p->encode(random_vector(c.dim, 1)).size(), c.packed_bytes);
    }
}

TEST(Pipeline, DimensionWithoutPaddedDimensionIsExhaustedMemory) {
    EXPECT_THROW((void)QuantPipeline::create(make_config((uint64_t{1} << 63) + 1, 0)), std::bad_alloc);
    EXPECT_THROW((void)QuantPipeline::create(make_config(UINT64_MAX, 0)), std::bad_alloc);
}

TEST(Pipeline, CosinePreparation) {
    const QuantPipeline p = make_pipeline(2, 2);
    EXPECT_EQ(p.prepare_input(std::vector<float>{3, 4}), (std::vector<float>{3.0f / 5.0f, 4.0f / 5.0f}));
    // At or below 2^-23 the vector is returned as it is.
    const std::vector<float> tiny = {1e-8f, -1e-8f};
    EXPECT_EQ(p.prepare_input(tiny), tiny);
    const std::vector<float> at_eps = {0x1p-23f, 0.0f};
    EXPECT_EQ(p.prepare_input(at_eps), at_eps);
    const std::vector<float> above_eps = {0x1p-22f, 0.0f};
    EXPECT_EQ(p.prepare_input(above_eps), (std::vector<float>{1.0f, 0.0f}));
}

TEST(Pipeline, CosineZeroVectorTakesMiddleCodes) {
    struct Case {
        uint64_t dim;
        uint64_t n4;
        uint8_t byte;
    };
    // 0.0 sits on the middle boundary and takes the upper code: 2 (0b10 in
    // every 2-bit slot) or 8 (in every nibble).
    const Case cases[] = {{16, 0, 0xAA}, {16, 16, 0x88}, {16, 8, 0}, {100, 0, 0xAA}, {100, 128, 0x88}};
    for (const Case& c : cases) {
        const QuantPipeline p = make_pipeline(c.dim, c.n4);
        const std::vector<float> zero(c.dim, 0.0f);
        for (float v : p.transform_query(zero)) ASSERT_EQ(v, 0.0f);
        const auto code = p.encode(zero);
        for (std::size_t i = 0; i < code.size(); ++i) {
            const uint8_t want = c.byte != 0 ? c.byte : (i < p.pb4_per_vec() ? 0x88 : 0xAA);
            ASSERT_EQ(code[i], want) << "dim " << c.dim << " n4 " << c.n4 << " byte " << i;
        }
    }
}

TEST(Pipeline, ScalingByMetric) {
    const auto x = random_vector(300, 3);
    std::vector<float> x2(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) x2[i] = 2.0f * x[i];

    // Cosine: x and 2x are the same vector.
    const QuantPipeline cos = make_pipeline(300, 256);
    EXPECT_TRUE(same_bits(cos.transform_query(x), cos.transform_query(x2)));
    EXPECT_EQ(cos.encode(x), cos.encode(x2));

    // Dot (and l2 without parameters): 2x gives exactly twice the query and,
    // in general, other codes.
    for (Metric m : {Metric::Dot, Metric::L2}) {
        const QuantPipeline p = make_pipeline(300, 256, m);
        const auto q = p.transform_query(x);
        const auto q2 = p.transform_query(x2);
        ASSERT_EQ(q.size(), 512u);
        for (std::size_t i = 0; i < q.size(); ++i) ASSERT_EQ(q2[i], 2.0f * q[i]);
        EXPECT_NE(p.encode(x), p.encode(x2));
    }
}

TEST(Pipeline, L2WithoutParametersIsDotAndWithParametersStandardizes) {
    const auto x = random_vector(50, 4);
    for (uint64_t n4 : {0u, 32u, 64u}) {
        const QuantPipeline dot = make_pipeline(50, n4, Metric::Dot);
        QuantPipeline l2 = make_pipeline(50, n4, Metric::L2);
        EXPECT_TRUE(same_bits(dot.transform_query(x), l2.transform_query(x)));
        EXPECT_EQ(dot.encode(x), l2.encode(x));

        StdParams params{random_vector(50, 5), random_vector(50, 6)};
        l2.set_std_params(params);
        ASSERT_TRUE(l2.std_params().has_value());
        EXPECT_EQ(*l2.std_params(), params);
        std::vector<float> y(50);
        for (std::size_t i = 0; i < 50; ++i) y[i] = (x[i] - params.mean[i]) * params.inv_std[i];
        EXPECT_EQ(l2.prepare_input(x), y);
        EXPECT_TRUE(same_bits(l2.transform_query(x), dot.transform_query(y)));
        EXPECT_EQ(l2.encode(x), dot.encode(y));

        // Parameters shorter than the vector: only the common prefix survives.
        l2.set_std_params(StdParams{{1.0f, 2.0f}, {0.5f, 0.25f, 4.0f}});
        EXPECT_EQ(l2.prepare_input(x), (std::vector<float>{(x[0] - 1.0f) * 0.5f, (x[1] - 2.0f) * 0.25f}));
    }
}

TEST(Pipeline, EncodeLaysOutBlocksOfTheTransformedQuery) {
    const auto x = random_vector(200, 7);
    for (uint64_t n4 : {0u, 4u, 100u, 128u, 252u, 256u}) {
        const QuantPipeline p = make_pipeline(200, n4, Metric::Dot);
        const auto q = p.transform_query(x);
        const std::span<const float> qs(q);
        std::vector<uint8_t> want = encode_4bit(qs.first(n4));
        const auto two = encode_2bit(qs.subspan(n4));
        want.insert(want.end(), two.begin(), two.end());
        EXPECT_EQ(p.encode(x), want) << "n4 " << n4;
    }
}

TEST(Pipeline, NanInputTakesTopCodes) {
    std::vector<float> x = random_vector(16, 8);
    x[3] = std::nanf("");
    for (Metric m : {Metric::Cosine, Metric::Dot}) {
        for (uint64_t n4 : {0u, 8u, 16u}) {
            const auto code = make_pipeline(16, n4, m).encode(x);
            for (uint8_t b : code) ASSERT_EQ(b, 0xFF);
        }
    }
}

TEST(Pipeline, ComputeNorm) {
    const float c4_15 = CENTROIDS_4BIT[15];
    const float c4_0 = CENTROIDS_4BIT[0];
    const float c2_0 = CENTROIDS_2BIT[0];
    const float c2_3 = CENTROIDS_2BIT[3];
    struct Case {
        uint64_t dim;
        uint64_t n4;
        std::vector<uint8_t> code;
        float expected;
    };
    const Case cases[] = {
        {2, 2, {}, 0.0f},
        {16, 0, {}, 0.0f},
        {2, 2, {0x0F}, std::sqrt(c4_15 * c4_15 + c4_0 * c4_0)},
        // Padding slots (dimension 1) count with code 0.
        {1, 1, {0x0F}, std::sqrt(c4_15 * c4_15 + c4_0 * c4_0)},
        {1, 0, {0x03}, std::sqrt(((c2_3 * c2_3 + c2_0 * c2_0) + c2_0 * c2_0) + c2_0 * c2_0)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(make_pipeline(c.dim, c.n4).compute_norm(c.code), c.expected) << "dim " << c.dim << " n4 " << c.n4;
    }
    EXPECT_FLOAT_EQ(make_pipeline(2, 2).compute_norm(std::vector<uint8_t>{0x0F}), 2.7325895f * std::sqrt(2.0f));

    // Real codes in every mode: the Euclidean norm of the dequantized vector.
    const auto x = random_vector(500, 9);
    for (uint64_t n4 : {0u, 12u, 256u, 508u, 512u}) {
        const QuantPipeline p = make_pipeline(500, n4, Metric::Dot);
        const auto code = p.encode(x);
        double sum = 0.0;
        for (uint64_t i = 0; i < p.padded_dim(); ++i) {
            const double v = dequantized(code, n4, i);
            sum += v * v;
        }
        EXPECT_NEAR(p.compute_norm(code), std::sqrt(sum), 1e-4 * std::sqrt(sum)) << "n4 " << n4;
    }
}

TEST(Pipeline, ScoreMatchesReferenceAndBatchAndGatherMatchScore) {
    struct Case {
        uint64_t dim;
        uint64_t n4;
    };
    const Case cases[] = {{1, 0}, {1, 1}, {2, 2}, {3, 0}, {3, 4}, {8, 4},     {100, 0},
                          {100, 128}, {100, 64}, {1000, 512}, {1000, 1024}, {1000, 0}, {1000, 1020}};
    constexpr std::size_t kCount = 300;  // more than one chunk of the mixed batch and gather paths
    std::mt19937 shuffle(5);
    for (const Case& c : cases) {
        const QuantPipeline p = make_pipeline(c.dim, c.n4, Metric::Dot);
        const std::size_t stride = p.packed_bytes_per_vec();
        std::vector<uint8_t> codes;
        for (std::size_t v = 0; v < kCount; ++v) {
            const auto code = p.encode(random_vector(c.dim, static_cast<uint32_t>(100 + v)));
            ASSERT_EQ(code.size(), stride);
            codes.insert(codes.end(), code.begin(), code.end());
        }
        const auto query = p.transform_query(random_vector(c.dim, 99));
        std::vector<float> batch(kCount, -1.0f);
        p.score_batch(query, codes.data(), kCount, batch.data());
        // The codes in shuffled order, some repeated, some left out.
        std::vector<std::size_t> order(kCount);
        std::uniform_int_distribution<std::size_t> pick(0, kCount - 1);
        for (std::size_t& o : order) o = pick(shuffle);
        std::vector<const uint8_t*> gather_codes;
        for (std::size_t o : order) gather_codes.push_back(codes.data() + o * stride);
        std::vector<float> gathered(kCount + 1, -1.0f);
        p.score_gather(query, gather_codes.data(), kCount, gathered.data());
        EXPECT_EQ(gathered[kCount], -1.0f) << "wrote past count";
        for (std::size_t i = 0; i < kCount; ++i) {
            const float single = p.score(query, {gather_codes[i], stride});
            ASSERT_EQ(std::bit_cast<uint32_t>(gathered[i]), std::bit_cast<uint32_t>(single))
                << "dim " << c.dim << " n4 " << c.n4 << " gathered " << i;
        }
        for (std::size_t v = 0; v < kCount; ++v) {
            const std::span<const uint8_t> code(codes.data() + v * stride, stride);
            const float s = p.score(query, code);
            double ref = 0.0;
            double mag = 0.0;
            for (uint64_t i = 0; i < p.padded_dim(); ++i) {
                const double term = double(query[i]) * dequantized(code, c.n4, i);
                ref += term;
                mag += std::fabs(term);
            }
            ASSERT_NEAR(s, ref, 2e-5 * mag + 1e-6) << "dim " << c.dim << " n4 " << c.n4 << " code " << v;
            ASSERT_EQ(std::bit_cast<uint32_t>(batch[v]), std::bit_cast<uint32_t>(s))
                << "dim " << c.dim << " n4 " << c.n4 << " code " << v;
        }
    }
}

TEST(Pipeline, ScoreBatchOrGatherOfNothingWritesNothing) {
    const QuantPipeline p = make_pipeline(64, 32);
    const auto query = p.transform_query(random_vector(64, 1));
    float out = 42.0f;
    p.score_batch(query, nullptr, 0, &out);
    p.score_gather(query, nullptr, 0, &out);
    EXPECT_EQ(out, 42.0f);
}

TEST(Pipeline, AdjustScore) {
    struct Case {
        Metric metric;
        float raw;
        float norm;
        float expected;
    };
    const Case cases[] = {
        {Metric::Cosine, 3.0f, 2.0f, 1.5f},  {Metric::Cosine, 3.0f, 0.0f, 3.0f},
        {Metric::Cosine, 3.0f, 1e-10f, 3.0f}, {Metric::Cosine, 3.0f, 1e-9f, 3.0f},
        {Metric::Cosine, 3.0f, 1e-8f, 3.0f / 1e-8f},
        {Metric::Dot, 3.0f, 2.0f, 3.0f},     {Metric::L2, 3.0f, 2.0f, 1.0f},
        {Metric::L2, 1.0f, 3.0f, 1.0f + (3.0f * -0.5f) * 3.0f},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(adjust_score(c.metric, c.raw, c.norm), c.expected)
            << "metric " << int(c.metric) << " norm " << c.norm;
    }
}

TEST(Pipeline, UnitInputsGiveUnitVarianceCoordinates) {
    // After rotation and scale the mean square of the coordinates equals the
    // squared norm of the prepared vector: 1 for every cosine input.
    const QuantPipeline p = make_pipeline(768, 0);
    const auto q = p.transform_query(random_vector(768, 11));
    double ms = 0.0;
    for (float v : q) ms += double(v) * v;
    EXPECT_NEAR(ms / q.size(), 1.0, 1e-4);
}

}  // namespace
}  // namespace kivo::quantize
