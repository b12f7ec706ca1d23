// Engine vocabulary: names, bytes, derived sizes and the validity rule.
#include <gtest/gtest.h>

#include <cmath>

#include "config.h"

namespace kivo::vocab {
namespace {

TEST(Config, NamesAndBytes) {
    EXPECT_EQ(metric_name(Metric::Cosine), "cosine");
    EXPECT_EQ(metric_name(Metric::Dot), "dot");
    EXPECT_EQ(metric_name(Metric::L2), "l2");
    EXPECT_EQ(index_type_name(IndexType::BruteForce), "BruteForce");
    EXPECT_EQ(index_type_name(IndexType::IvfFlat), "IvfFlat");
    EXPECT_EQ(index_type_name(IndexType::Hnsw), "Hnsw");
    EXPECT_EQ(metric_from_byte(2), Metric::L2);
    EXPECT_FALSE(metric_from_byte(3).has_value());
    EXPECT_EQ(index_type_from_byte(1), IndexType::IvfFlat);
    EXPECT_FALSE(index_type_from_byte(3).has_value());
}

TEST(Config, PaddedDim) {
    const struct { uint64_t dim, padded; } cases[] = {
        {0, 1}, {1, 1}, {2, 2}, {3, 4}, {100, 128}, {1024, 1024}, {1025, 2048}, {1536, 2048},
        {uint64_t{1} << 63, uint64_t{1} << 63},
    };
    for (const auto& c : cases) EXPECT_EQ(padded_dim_for(c.dim), c.padded) << c.dim;
    EXPECT_FALSE(padded_dim_for((uint64_t{1} << 63) + 1).has_value());
}

TEST(Config, DerivedSizes) {
    const struct { uint64_t padded, n4, pb4, bytes; } cases[] = {
        {2048, 2048, 1024, 1024}, {2048, 0, 0, 512}, {1024, 768, 384, 448}, {1024, 512, 256, 384},
        {8, 4, 2, 3}, {1, 1, 1, 1}, {1, 0, 0, 1}, {2, 2, 1, 1}, {1024, 0, 0, 256}, {1024, 1024, 512, 512},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pb4_per_vec_for(c.n4), c.pb4);
        EXPECT_EQ(packed_bytes_per_vec_for(c.padded, c.n4), c.bytes) << c.padded << " " << c.n4;
    }
}

TEST(Config, N4DimsValidity) {
    const struct { uint64_t n4, padded; bool ok; } cases[] = {
        {6, 8, false}, {8, 16, true}, {20, 16, false}, {16, 16, true}, {0, 16, true},
        {1, 1, true}, {2, 2, true}, {6, 16, false}, {0, 1, true},
    };
    for (const auto& c : cases) {
        auto status = check_n4_dims(c.n4, c.padded, 4);
        EXPECT_EQ(status.has_value(), c.ok) << c.n4 << "/" << c.padded;
        if (!status) {
            EXPECT_EQ(status.error().message(), "invalid bit width: 4 (must be 2 or 4)");
        }
    }
}

TEST(Config, HnswDerivedParameters) {
    EXPECT_EQ(effective_ef_search(32, 0), 64u);
    EXPECT_EQ(effective_ef_search(32, 10), 10u);
    EXPECT_DOUBLE_EQ(level_multiplier(32), 1.0 / std::log(32.0));
    EXPECT_DOUBLE_EQ(level_multiplier(1), 1e9);
    EXPECT_DOUBLE_EQ(level_multiplier(0), 1e9);
}

}  // namespace
}  // namespace kivo::vocab
