// Tests of the variance profile and of the mixed bit allocation derived from
// an average bit budget.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "config.h"
#include "quantize/pipeline.h"

namespace kivo::quantize {
namespace {

using vocab::EngineConfig;
using vocab::Metric;

EngineConfig make_config(uint64_t dim, Metric metric) {
    EngineConfig c;
    c.dim = dim;
    c.metric = metric;
    return c;
}

std::vector<std::vector<float>> random_sample(std::size_t count, std::size_t dim, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    std::vector<std::vector<float>> sample(count, std::vector<float>(dim));
    for (auto& v : sample) {
        for (float& x : v) x = dist(gen);
    }
    return sample;
}

TEST(Profile, OptimalN4DimsForBudget) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        uint64_t dim;  // padded dimension in the comment
        double avg_bits;
        uint64_t expected;
    };
    const Case cases[] = {
        // padded 1024
        {1000, 2.0, 0}, {1000, 3.0, 512}, {1000, 3.5, 768}, {1000, 4.0, 1024}, {1000, 5.0, 1024},
        {1000, 100.0, 1024}, {1000, 1.0, 0}, {1000, -3.0, 0}, {1000, 3.3, 664}, {1000, nan, 0},
        {1000, inf, 1024}, {1000, -inf, 0},
        // padded 8
        {5, 2.75, 0}, {8, 3.0, 4},
        // padded 2: x is at most 2
        {2, 2.0, 0}, {2, 3.0, 0}, {2, 4.0, 0},
        // padded 4
        {3, 4.0, 4}, {4, 3.0, 0}, {4, 3.5, 0}, {4, 3.9, 4},
        // padded 1
        {1, 4.0, 0},
    };
    for (const Case& c : cases) {
        const auto sample = random_sample(2, c.dim, 1);
        const auto n4 = optimal_n4_dims(make_config(c.dim, Metric::Cosine), sample, c.avg_bits);
        ASSERT_TRUE(n4.has_value());
        EXPECT_EQ(*n4, c.expected) << "dim " << c.dim << " avg_bits " << c.avg_bits;
        // The result is always a valid split for a new index of that dimension.
        EXPECT_TRUE(vocab::check_n4_dims(*n4, *vocab::padded_dim_for(c.dim), 4).has_value());
    }
}

TEST(Profile, Errors) {
    const EngineConfig config = make_config(8, Metric::Cosine);
    const std::vector<std::vector<float>> empty;
    for (const auto& err : {QuantPipeline::profile_variance(config, empty).error(),
                            optimal_n4_dims(config, empty, 3.0).error()}) {
        EXPECT_EQ(err.kind(), ErrorKind::EmptySample);
        EXPECT_EQ(err.message(), "sample is empty \u2014 provide at least 1 vector for profiling");
    }
    // The first vector of the wrong length is reported.
    auto sample = random_sample(4, 8, 2);
    sample[1].resize(5);
    sample[3].resize(7);
    for (const auto& err : {QuantPipeline::profile_variance(config, sample).error(),
                            optimal_n4_dims(config, sample, 3.0).error()}) {
        EXPECT_EQ(err.kind(), ErrorKind::DimensionMismatch);
        EXPECT_EQ(err.message(), "dimension mismatch: expected 8, got 5");
    }
}

TEST(Profile, OneVectorSampleHasZeroVariance) {
    for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
        const auto sample = random_sample(1, 300, 3);
        const auto profile = QuantPipeline::profile_variance(make_config(300, m), sample);
        ASSERT_TRUE(profile.has_value());
        ASSERT_EQ(profile->size(), 512u);
        for (float v : *profile) ASSERT_EQ(v, 0.0f);
    }
}

TEST(Profile, MatchesPopulationVarianceOfTransformedVectors) {
    for (Metric m : {Metric::Cosine, Metric::Dot}) {
        EngineConfig config = make_config(100, m);
        const auto sample = random_sample(5, 100, 4);
        const auto profile = QuantPipeline::profile_variance(config, sample);
        ASSERT_TRUE(profile.has_value());
        // The pipeline of the same configuration transforms exactly as the
        // profile does.
        config.n4_dims = 128;
        const auto pipeline = QuantPipeline::create(config);
        ASSERT_TRUE(pipeline.has_value());
        std::vector<std::vector<float>> q;
        for (const auto& v : sample) q.push_back(pipeline->transform_query(v));
        for (std::size_t i = 0; i < 128; ++i) {
            double mean = 0.0;
            for (const auto& t : q) mean += t[i];
            mean /= 5.0;
            double var = 0.0;
            for (const auto& t : q) var += (t[i] - mean) * (t[i] - mean);
            var /= 5.0;
            ASSERT_NEAR((*profile)[i], var, 1e-5 * (var + 1e-3)) << "coordinate " << i;
        }
    }
}

TEST(Profile, CosineVariancesAverageOneAndDotScalesByFour) {
    const auto sample = random_sample(200, 256, 5);
    const auto cos = QuantPipeline::profile_variance(make_config(256, Metric::Cosine), sample);
    ASSERT_TRUE(cos.has_value());
    double mean = 0.0;
    for (float v : *cos) mean += v;
    mean /= double(cos->size());
    EXPECT_NEAR(mean, 1.0, 0.05);

    auto doubled = sample;
    for (auto& v : doubled) {
        for (float& x : v) x *= 2.0f;
    }
    for (Metric m : {Metric::Dot, Metric::L2}) {
        const auto base = QuantPipeline::profile_variance(make_config(256, m), sample);
        const auto twice = QuantPipeline::profile_variance(make_config(256, m), doubled);
        ASSERT_TRUE(base.has_value() && twice.has_value());
        for (std::size_t i = 0; i < base->size(); ++i) ASSERT_EQ((*twice)[i], 4.0f * (*base)[i]) << i;
    }
}

TEST(Profile, DeterministicAndSeeded) {
    const auto sample = random_sample(20, 64, 6);
    const EngineConfig config = make_config(64, Metric::Cosine);
    const auto a = QuantPipeline::profile_variance(config, sample);
    const auto b = QuantPipeline::profile_variance(config, sample);
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_EQ(std::memcmp(a->data(), b->data(), a->size() * sizeof(float)), 0);

    EngineConfig other = config;
    other.seed = config.seed + 1;
    const auto c = QuantPipeline::profile_variance(other, sample);
    ASSERT_TRUE(c.has_value());
    EXPECT_NE(*a, *c);
}

TEST(Profile, NonFiniteValuesGiveZeroNotNan) {
    auto sample = random_sample(3, 16, 7);
    sample[1][2] = std::numeric_limits<float>::infinity();
    const auto profile = QuantPipeline::profile_variance(make_config(16, Metric::Dot), sample);
    ASSERT_TRUE(profile.has_value());
    for (float v : *profile) EXPECT_EQ(v, 0.0f);
}

}  // namespace
}  // namespace kivo::quantize
