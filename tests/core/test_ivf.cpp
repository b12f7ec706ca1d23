// IvfFlat: centroid score, k-means seeding, convergence and reseeding, the
// batched centroid kernels, list layout and the probing query.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "quantize/pipeline.h"
#include "search/ivf.h"
#include "simd/centroid.h"
#include "simd/dispatch.h"

namespace kivo::search {
namespace {

using vocab::Metric;

constexpr uint64_t kSeed = 0xDEADBEEFCAFE1337ULL;

// Builds with dummy one-byte codes: code j is byte j, norm j is j.
Result<IvfFlat> build_plain(uint64_t nlist, const std::vector<std::vector<float>>& t, Metric metric,
                            uint64_t seed = kSeed) {
    std::vector<uint64_t> ids(t.size());
    std::vector<uint8_t> codes(t.size());
    std::vector<float> norms(t.size());
    for (std::size_t j = 0; j < t.size(); ++j) {
        ids[j] = 100 + j;
        codes[j] = static_cast<uint8_t>(j);
        norms[j] = static_cast<float>(j);
    }
    const uint64_t dim = t.empty() ? 0 : t[0].size();
    return IvfFlat::build(nlist, 8, 1, dim, ids, codes, norms, t, seed, metric);
}

// Member ids of every list, in list order.
std::vector<std::vector<uint64_t>> members(const IvfFlat& ivf) {
    std::vector<std::vector<uint64_t>> out;
    for (const auto& l : ivf.lists) out.push_back(l.ids);
    return out;
}

TEST(IvfCentroidScore, ByMetric) {
    const std::vector<float> v = {1.0f, 2.0f, 3.0f};
    const std::vector<float> c = {0.5f, -1.0f, 2.0f, 4.0f};
    // d over the shorter length: 0.5 - 2 + 6 = 4.5; |c|^2 = 0.25 + 1 + 4 + 16.
    EXPECT_EQ(centroid_score(Metric::Dot, v, c), 4.5f);
    EXPECT_EQ(centroid_score(Metric::Cosine, v, c), 4.5f);
    EXPECT_EQ(centroid_score(Metric::L2, v, c), 2.0f * 4.5f - 21.25f);
    EXPECT_EQ(centroid_score(Metric::Dot, {}, c), 0.0f);
}

TEST(IvfKmeansSeeding, InitAndReseedIndexes) {
    // N = 10, k = 3, seed 0xDEADBEEFCAFE1337: step 3, offset 1.
    EXPECT_EQ(kSeed % 3, 1u);
    EXPECT_EQ(kmeans_init_index(0, 3, 10, kSeed), 1u);
    EXPECT_EQ(kmeans_init_index(1, 3, 10, kSeed), 4u);
    EXPECT_EQ(kmeans_init_index(2, 3, 10, kSeed), 7u);
    EXPECT_EQ(kmeans_reseed_index(0, 10, kSeed), 9u);
    EXPECT_EQ(kmeans_reseed_index(1, 10, kSeed), 8u);
    EXPECT_EQ(kmeans_reseed_index(2, 10, kSeed), 7u);
    // k = N: step 1, offset 0, centroids are training vectors 0 .. N-1.
    for (uint64_t c = 0; c < 7; ++c) EXPECT_EQ(kmeans_init_index(c, 7, 7, kSeed), c);
    // The reseed index wraps modulo 2^64 before the modulo N.
    const uint64_t l = 3;
    EXPECT_EQ(kmeans_reseed_index(l, 1000, ~uint64_t{0}), (l * 7919 + ~uint64_t{0}) % 1000);
    EXPECT_EQ(kmeans_reseed_index(l, 1000, ~uint64_t{0}), 756u);  // 3 * 7919 - 1 = 23756
}

TEST(IvfBuild, StopsAtOnceWhenEveryBestIsZero) {
    // Dot metric: the first initial centroid (vector 1) dominates every
    // vector, so the first pass changes nothing and the centroids stay the
    // unnormalised copies of vectors 1, 4 and 7.
    std::vector<std::vector<float>> t;
    for (int j = 0; j < 10; ++j) t.push_back({1.0f + static_cast<float>(j % 3), 0.5f});
    t[1] = {100.0f, 1.0f};
    t[4] = {1.0f, 0.0f};
    t[7] = {2.0f, 0.0f};
    auto ivf = build_plain(3, t, Metric::Dot);
    ASSERT_TRUE(ivf);
    ASSERT_EQ(ivf->lists.size(), 3u);
    EXPECT_EQ(ivf->lists[0].centroid, t[1]);
    EXPECT_EQ(ivf->lists[1].centroid, t[4]);
    EXPECT_EQ(ivf->lists[2].centroid, t[7]);
    EXPECT_EQ(ivf->lists[0].size(), 10u);
    // Lists keep the add order, with codes and norms alongside.
    EXPECT_EQ(ivf->lists[0].ids, (std::vector<uint64_t>{100, 101, 102, 103, 104, 105, 106, 107, 108, 109}));
    EXPECT_EQ(ivf->lists[0].codes, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(ivf->lists[0].norms[9], 9.0f);
}

TEST(IvfBuild, EmptyClusterIsReseeded) {
    // Nothing picks cluster 1 (vector 4 = (1, 1)); it is reseeded from
    // vector 8 = (2, 2) every time it is empty. Expected values from an
    // independent float32 model of the algorithm.
    const std::vector<std::vector<float>> t = {{1, 0}, {10, 0}, {2, 0}, {0, 1}, {1, 1},
                                               {3, 0}, {0, 2}, {0, 10}, {2, 2}, {0, 3}};
    auto ivf = build_plain(3, t, Metric::Dot);
    ASSERT_TRUE(ivf);
    EXPECT_EQ(ivf->lists[0].centroid, (std::vector<float>{4.0f, 0.0f}));
    EXPECT_EQ(ivf->lists[1].centroid, (std::vector<float>{2.0f, 2.0f}));
    EXPECT_EQ(ivf->lists[2].centroid, (std::vector<float>{0.5f, 3.1666667461395264f}));
    EXPECT_EQ(members(*ivf), (std::vector<std::vector<uint64_t>>{
                                 {100, 101, 102, 105}, {104, 108}, {103, 106, 107, 109}}));
}

// Training vectors with exact quarter values.
std::vector<std::vector<float>> formula_vectors(int n, int d) {
    std::vector<std::vector<float>> t(n, std::vector<float>(d));
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < d; ++i) t[j][i] = static_cast<float>((j * 37 + i * 11 + (j * j) % 7) % 17 - 8) / 4.0f;
    }
    return t;
}

TEST(IvfBuild, MatchesReferenceModelPerMetric) {
    // Final assignments and some centroids from an independent float32 model
    // (40 vectors of 5 values, 11 lists: not a multiple of the kernel block).
    struct Case {
        Metric metric;
        std::vector<int> assignment;
        std::vector<float> centroid5;
    };
    const Case cases[] = {
        {Metric::L2,
         {0, 2, 10, 10, 1, 5, 5, 2, 8, 1, 3, 6, 4, 4, 8, 7, 6, 5, 2, 10,
          10, 7, 9, 2, 4, 8, 1, 1, 9, 5, 8, 10, 7, 6, 6, 5, 8, 7, 1, 0},
         {-1.399999976158142f, 1.350000023841858f, -0.15000000596046448f, -1.649999976158142f, 1.100000023841858f}},
        {Metric::Cosine,
         {0, 2, 10, 10, 9, 5, 5, 2, 8, 9, 9, 6, 4, 4, 8, 1, 6, 5, 2, 10,
          10, 1, 9, 2, 4, 8, 9, 9, 9, 5, 8, 10, 7, 6, 6, 5, 3, 7, 9, 0},
         {-0.5033009052276611f, 0.4853258728981018f, -0.05392509698867798f, -0.5931760668754578f,
          0.3954507112503052f}},
        {Metric::Dot,
         {0, 5, 10, 10, 9, 6, 6, 5, 3, 9, 9, 6, 4, 4, 3, 1, 6, 6, 5, 10,
          10, 1, 9, 5, 4, 3, 9, 9, 9, 6, 3, 10, 1, 6, 6, 6, 3, 1, 9, 0},
         {-0.875f, 1.875f, 0.375f, -1.125f, 1.625f}},
    };
    const auto t = formula_vectors(40, 5);
    for (const auto& c : cases) {
        SCOPED_TRACE(vocab::metric_name(c.metric));
        auto ivf = build_plain(11, t, c.metric);
        ASSERT_TRUE(ivf);
        ASSERT_EQ(ivf->lists.size(), 11u);
        EXPECT_EQ(ivf->lists[5].centroid, c.centroid5);
        for (std::size_t j = 0; j < t.size(); ++j) {
            const auto& ids = ivf->lists[c.assignment[j]].ids;
            EXPECT_NE(std::find(ids.begin(), ids.end(), 100 + j), ids.end()) << "vector " << j;
        }
        // Deterministic: the same input gives the same index.
        EXPECT_EQ(*ivf, *build_plain(11, t, c.metric));
    }
}

TEST(IvfBuild, ListCountAndErrors) {
    const auto t = formula_vectors(6, 4);
    auto many = build_plain(50, t, Metric::Cosine);
    ASSERT_TRUE(many);
    EXPECT_EQ(many->lists.size(), 6u);
    EXPECT_EQ(many->len(), 6u);
    auto zero = build_plain(0, t, Metric::L2);  // nlist 0 is treated as 1
    ASSERT_TRUE(zero);
    ASSERT_EQ(zero->lists.size(), 1u);
    EXPECT_EQ(zero->lists[0].size(), 6u);
    auto empty = build_plain(4, {}, Metric::Dot);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().message(), "index is empty");
}

TEST(IvfBuild, NonFiniteTrainingVectorsDoNotBreakIt) {
    auto t = formula_vectors(30, 4);
    t[3][1] = std::numeric_limits<float>::quiet_NaN();
    t[7][0] = std::numeric_limits<float>::infinity();
    t[8] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
        auto ivf = build_plain(5, t, m);
        ASSERT_TRUE(ivf);
        EXPECT_EQ(ivf->len(), 30u);
    }
}

// Scalar reference of the best list: centroid_score and the tie rule.
std::size_t reference_best(Metric metric, std::span<const float> v, const std::vector<std::vector<float>>& cs) {
    std::size_t best = 0;
    float best_score = centroid_score(metric, v, cs[0]);
    for (std::size_t l = 1; l < cs.size(); ++l) {
        const float s = centroid_score(metric, v, cs[l]);
        if (!(best_score > s)) {
            best = l;
            best_score = s;
        }
    }
    return best;
}

TEST(IvfCentroidKernels, VariantsMatchTheScalarSum) {
    std::mt19937 rng(7);
    std::normal_distribution<float> g;
    const uint32_t f = simd::features();
    for (std::size_t width : {std::size_t{8}, std::size_t{16}}) {
        for (std::size_t count : {1u, 7u, 8u, 13u, 24u, 40u}) {
            SCOPED_TRACE(std::to_string(width) + " wide, " + std::to_string(count) + " centroids");
            const std::size_t len = 37;
            const std::size_t nblocks = (count + width - 1) / width;
            std::vector<std::vector<float>> cs(count, std::vector<float>(len));
            for (auto& c : cs) for (float& x : c) x = g(rng);
            std::vector<float> blocks(nblocks * len * width, 0.0f);
            for (std::size_t l = 0; l < count; ++l) {
                for (std::size_t i = 0; i < len; ++i) blocks[((l / width) * len + i) * width + l % width] = cs[l][i];
            }
            std::vector<std::vector<float>> vs(9, std::vector<float>(len));
            for (auto& v : vs) for (float& x : v) x = g(rng);
            std::vector<const float*> ptrs;
            for (auto& v : vs) ptrs.push_back(v.data());
            for (std::size_t use : {len, std::size_t{20}}) {
                const std::size_t out_len = vs.size() * nblocks * width;
                std::vector<float> portable(out_len);
                simd::centroid_dots_portable(ptrs.data(), ptrs.size(), use, blocks.data(), nblocks, len, width,
                                             portable.data());
                std::vector<float> dispatched(out_len);
                simd::centroid_dots(ptrs.data(), ptrs.size(), use, blocks.data(), nblocks, len, width,
                                    dispatched.data());
                for (std::size_t v = 0; v < vs.size(); ++v) {
                    for (std::size_t l = 0; l < count; ++l) {
                        const float want =
                            centroid_score(Metric::Dot, std::span<const float>(vs[v]).first(use), cs[l]);
                        EXPECT_EQ(portable[v * nblocks * width + l], want);
                        EXPECT_EQ(dispatched[v * nblocks * width + l], want);
                    }
                }
                std::vector<float> wide(out_len);
                if (width == 8 && (f & simd::kAvx2) != 0) {
                    simd::avx2::centroid_dots(ptrs.data(), ptrs.size(), use, blocks.data(), nblocks, len,
                                              wide.data());
                    EXPECT_EQ(wide, portable);
                }
                if (width == 16 && (f & simd::kAvx512F) != 0) {
                    simd::avx512::centroid_dots(ptrs.data(), ptrs.size(), use, blocks.data(), nblocks, len,
                                                wide.data());
                    EXPECT_EQ(wide, portable);
                }
            }
        }
    }
}

TEST(IvfBestList, MatchesScalarReferenceWithTies) {
    std::mt19937 rng(11);
    std::normal_distribution<float> g;
    for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
        IvfFlat ivf;
        ivf.metric = m;
        std::vector<std::vector<float>> cs(19, std::vector<float>(16));
        for (auto& c : cs) for (float& x : c) x = g(rng);
        cs[12] = cs[3];  // an exact tie: the higher index wins
        for (const auto& c : cs) ivf.lists.push_back({c, {}, {}, {}});
        for (int trial = 0; trial < 50; ++trial) {
            std::vector<float> v(16);
            for (float& x : v) x = g(rng);
            if (trial == 0) v = cs[3];
            EXPECT_EQ(ivf.best_list(v), reference_best(m, v, cs));
        }
        // For l2 a centroid is its own best match, so the tie decides.
        if (m == Metric::L2) {
            EXPECT_EQ(ivf.best_list(cs[3]), 12u);
        }
    }
}

}  // namespace
}  // namespace kivo::search
