// search_batch: every row equal to search() bit for bit for every index type,
// metric, code mode and thread count; padding; errors; interruption; and the
// pre-filter's recall against the exact filtered answer on clustered data.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>

#include "engine/engine.h"
#include "engine_fixture.h"
#include "engine/parallel.h"

namespace kivo::engine {
namespace {

using search::ScoredId;
using testing::IndexSizes;
using testing::make;

enum class Mode { Four, Two, Mixed };

constexpr IndexSizes kSmall{.ivf_nlist = 8, .ivf_nprobe = 3, .hnsw_m = 6, .hnsw_ef_construction = 30, .hnsw_ef_search = 12};

EngineConfig config_for(uint64_t dim, IndexType type, Metric metric, Mode mode, const IndexSizes& sizes = kSmall) {
    const uint64_t padded = *vocab::padded_dim_for(dim);
    const uint64_t n4_dims = mode == Mode::Four ? padded : mode == Mode::Two ? 0 : padded / 2;
    return testing::small_config(dim, type, metric, mode == Mode::Two ? 2 : 4, n4_dims, sizes);
}

// Few distinct vectors, each stored many times, plus integer-valued queries
// among them: scores tie everywhere, so any change in push order or any
// score that is not bit-identical shows up in ids or bits.
std::vector<float> tie_heavy(std::size_t n, std::size_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> small(-3, 3);
    std::vector<float> base(7 * dim);
    for (float& x : base) x = static_cast<float>(small(rng));
    std::vector<float> out(n * dim);
    std::uniform_int_distribution<int> pick(0, 6);
    for (std::size_t i = 0; i < n; ++i) {
        const int b = pick(rng);
        std::copy_n(base.begin() + b * dim, dim, out.begin() + i * dim);
    }
    return out;
}

struct Case {
    IndexType type;
    Metric metric;
    Mode mode;
};

std::string name_of(const Case& c) {
    const char* t[] = {"Brute", "Ivf", "Hnsw"};
    const char* m[] = {"Cosine", "Dot", "L2"};
    const char* b[] = {"Four", "Two", "Mixed"};
    return std::string(t[static_cast<int>(c.type)]) + m[static_cast<int>(c.metric)] + b[static_cast<int>(c.mode)];
}

class BatchEqualsSearch : public ::testing::TestWithParam<Case> {};

TEST_P(BatchEqualsSearch, EveryRowBitForBitAtEveryThreadCount) {
    const Case& c = GetParam();
    const std::size_t dim = 40, n = 300, nq = 37;
    Kivo kivo = make(config_for(dim, c.type, c.metric, c.mode));
    const std::vector<float> data = tie_heavy(n, dim, 5);
    std::vector<uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = (i * 7919) % 1000;  // not in storage order
    ASSERT_TRUE(kivo.add_flat(ids, data));
    ASSERT_TRUE(kivo.build());
    std::vector<float> queries = tie_heavy(nq, dim, 6);
    // A few Gaussian queries besides the tied ones.
    std::mt19937 rng(7);
    std::normal_distribution<float> g;
    for (std::size_t i = 0; i < 5 * dim; ++i) queries[i] = g(rng);

    for (uint64_t k : {1, 10, 64, 1000}) {
        for (unsigned threads : {1u, 2u, 3u, 0u}) {
            auto batch = kivo.search_batch(queries, nq, k, std::nullopt, threads);
            ASSERT_TRUE(batch) << batch.error().message();
            ASSERT_EQ(batch->width, std::min<uint64_t>(k, n));
            for (std::size_t q = 0; q < nq; ++q) {
                auto one = kivo.search(std::span<const float>(queries).subspan(q * dim, dim), k, std::nullopt);
                ASSERT_TRUE(one);
                SCOPED_TRACE("k " + std::to_string(k) + " threads " + std::to_string(threads) + " query " +
                             std::to_string(q));
                ASSERT_LE(one->size(), batch->width);
                for (std::size_t i = 0; i < batch->width; ++i) {
                    const uint64_t id = batch->ids[q * batch->width + i];
                    const float score = batch->scores[q * batch->width + i];
                    if (i < one->size()) {
                        ASSERT_EQ(id, (*one)[i].id) << "entry " << i;
                        ASSERT_EQ(std::bit_cast<uint32_t>(score), std::bit_cast<uint32_t>((*one)[i].score));
                    } else {
                        ASSERT_EQ(id, BatchResult::kNoId);
                        ASSERT_EQ(score, -std::numeric_limits<float>::infinity());
                    }
                }
            }
        }
    }
}

std::vector<Case> all_cases() {
    std::vector<Case> cases;
    for (IndexType t : {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw}) {
        for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
            for (Mode b : {Mode::Four, Mode::Two, Mode::Mixed}) cases.push_back({t, m, b});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllIndexes, BatchEqualsSearch, ::testing::ValuesIn(all_cases()),
                         [](const auto& info) { return name_of(info.param); });

TEST(SearchBatch, ErrorsInSearchsOrder) {
    Kivo brute = make(config_for(8, IndexType::BruteForce, Metric::Cosine, Mode::Four));
    const std::vector<float> seven(7 * 2);
    auto r = brute.search_batch(seven, 2, 3, std::nullopt, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "dimension mismatch: expected 8, got 7");
    const std::vector<float> q(8 * 2);
    r = brute.search_batch(q, 2, 3, std::nullopt, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::EmptyIndex);

    Kivo ivf = make(config_for(8, IndexType::IvfFlat, Metric::Cosine, Mode::Four));
    ASSERT_TRUE(ivf.add_flat(std::vector<uint64_t>{1}, std::vector<float>(8, 1.0f)));
    r = ivf.search_batch(q, 2, 3, std::nullopt, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::NotBuilt);
}

TEST(SearchBatch, PaddingZeroKNoQueriesAndEmptyAllowlist) {
    for (IndexType t : {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw}) {
        Kivo kivo = make(config_for(8, t, Metric::Dot, Mode::Four));
        std::vector<float> data(5 * 8);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>((i * 37) % 11) - 5.0f;
        ASSERT_TRUE(kivo.add_flat(std::vector<uint64_t>{10, 11, 12, 13, 14}, data));
        ASSERT_TRUE(kivo.build());
        const std::vector<float> q(data.begin(), data.begin() + 16);
        auto r = kivo.search_batch(q, 2, 10, std::nullopt, 2);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->width, 5u);  // min(k, len)
        r = kivo.search_batch(q, 2, 0, std::nullopt, 2);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->width, 0u);
        EXPECT_TRUE(r->ids.empty());
        r = kivo.search_batch({}, 0, 3, std::nullopt, 2);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->nq, 0u);
        const std::vector<uint64_t> none;
        r = kivo.search_batch(q, 2, 3, std::span<const uint64_t>(none), 2);
        ASSERT_TRUE(r);
        for (uint64_t id : r->ids) EXPECT_EQ(id, BatchResult::kNoId);
        for (float s : r->scores) EXPECT_EQ(s, -std::numeric_limits<float>::infinity());
        // One allowed id: exactly that id first, padding after.
        const std::vector<uint64_t> one{12, 999};
        r = kivo.search_batch(q, 2, 3, std::span<const uint64_t>(one), 1);
        ASSERT_TRUE(r);
        for (std::size_t row = 0; row < 2; ++row) {
            EXPECT_EQ(r->ids[row * 3], 12u);
            EXPECT_EQ(r->ids[row * 3 + 1], BatchResult::kNoId);
        }
    }
}

TEST(SearchBatch, InterruptStopsEveryThreadAndReportsInterrupted) {
    Kivo kivo = make(config_for(64, IndexType::BruteForce, Metric::Dot, Mode::Four));
    std::mt19937 rng(1);
    std::normal_distribution<float> g;
    const std::size_t n = 20000, nq = 256;
    std::vector<float> data(n * 64);
    for (float& x : data) x = g(rng);
    std::vector<uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = i;
    ASSERT_TRUE(kivo.add_flat(ids, data));
    const std::vector<float> q(data.begin(), data.begin() + nq * 64);
    for (unsigned threads : {1u, 2u}) {
        std::atomic<int> polls{0};
        InterruptCheck check{[](void* c) {
                                 static_cast<std::atomic<int>*>(c)->fetch_add(1);
                                 return true;
                             },
                             &polls};
        auto r = kivo.search_batch(q, nq, 10, std::nullopt, threads, check);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), ErrorKind::Interrupted);
        EXPECT_EQ(r.error().message(), "interrupted");
        EXPECT_GE(polls.load(), 1);
        // A check that never fires changes nothing.
        InterruptCheck never{[](void*) { return false; }, nullptr};
        auto full = kivo.search_batch(q, nq, 10, std::nullopt, threads, never);
        ASSERT_TRUE(full);
        EXPECT_EQ(full->ids[0], 0u);
    }
}

TEST(Parallel, EveryTaskRunsOnceWhateverTheThreadCount) {
    for (unsigned threads : {0u, 1u, 2u, 5u, 64u}) {
        std::vector<std::atomic<int>> seen(97);
        ASSERT_TRUE(run_tasks(seen.size(), threads, {}, [&](std::size_t t, const InterruptCheck&) { ++seen[t]; }));
        for (auto& s : seen) EXPECT_EQ(s.load(), 1);
    }
    EXPECT_GE(available_cores(), 1u);
}

// ---- pre-filter quality -------------------------------------------------------

// Clustered data: 40 centres, points scattered around them widely enough
// that the graph links the clusters (with tight, far-apart clusters some of
// them end up unreachable from the entry point, filter or not).
std::vector<float> clustered(std::size_t n, std::size_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<float> centres(40 * dim);
    for (float& x : centres) x = g(rng);
    std::uniform_int_distribution<int> pick(0, 39);
    std::vector<float> out(n * dim);
    for (std::size_t i = 0; i < n; ++i) {
        const int c = pick(rng);
        for (std::size_t d = 0; d < dim; ++d) out[i * dim + d] = centres[c * dim + d] + 0.6f * g(rng);
    }
    return out;
}

TEST(SearchBatchFilter, FindsKAllowedWithRecallAgainstExactFilteredScan) {
    const std::size_t n = 10000, dim = 48, nq = 60, k = 10;
    const std::vector<float> data = clustered(n, dim, 3);
    std::vector<float> queries = clustered(nq, dim, 3);  // same centres, new points
    {
        std::mt19937 rng(4);
        std::normal_distribution<float> g;
        for (float& x : queries) x += 0.1f * g(rng);
    }
    std::vector<uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = 1000 + i;

    // Module defaults: nlist 256, nprobe 8; m 32, ef_construction 200.
    const IndexSizes module_defaults{
        .ivf_nlist = 256, .ivf_nprobe = 8, .hnsw_m = 32, .hnsw_ef_construction = 200, .hnsw_ef_search = 0};
    auto cfg = [&](IndexType t) { return config_for(dim, t, Metric::Cosine, Mode::Four, module_defaults); };
    Kivo exact = make(cfg(IndexType::BruteForce));
    ASSERT_TRUE(exact.add_flat(ids, data));
    Kivo ivf = make(cfg(IndexType::IvfFlat));
    ASSERT_TRUE(ivf.add_flat(ids, data));
    ASSERT_TRUE(ivf.build());
    Kivo hnsw = make(cfg(IndexType::Hnsw));
    ASSERT_TRUE(hnsw.add_flat(ids, data));
    ASSERT_TRUE(hnsw.build());

    std::mt19937 rng(9);
    for (double fraction : {0.001, 0.01, 0.1, 0.5}) {
        std::vector<uint64_t> allowed = ids;
        std::shuffle(allowed.begin(), allowed.end(), rng);
        allowed.resize(static_cast<std::size_t>(fraction * n));
        const std::span<const uint64_t> allow(allowed);
        // Brute force over the same codes, restricted to the allowlist.
        auto truth = exact.search_batch(queries, nq, k, allow, 2);
        ASSERT_TRUE(truth);
        for (Kivo* index : {&ivf, &hnsw}) {
            auto got = index->search_batch(queries, nq, k, allow, 2);
            ASSERT_TRUE(got);
            std::size_t hits = 0;
            for (std::size_t q = 0; q < nq; ++q) {
                std::set<uint64_t> want(truth->ids.begin() + q * k, truth->ids.begin() + (q + 1) * k);
                for (std::size_t i = 0; i < k; ++i) {
                    const uint64_t id = got->ids[q * k + i];
                    // k allowed ids exist: no padding anywhere.
                    ASSERT_NE(id, BatchResult::kNoId) << vocab::index_type_name(index->index_type()) << " " << fraction;
                    ASSERT_TRUE(std::binary_search(allowed.begin(), allowed.end(), id) ||
                                std::find(allowed.begin(), allowed.end(), id) != allowed.end());
                    hits += want.count(id);
                }
            }
            const double recall = static_cast<double>(hits) / (nq * k);
            EXPECT_GE(recall, 0.9) << vocab::index_type_name(index->index_type()) << " allowlist " << fraction;
            std::printf("[ recall ] %s allowlist %.3f: recall@10 %.3f\n",
                        std::string(vocab::index_type_name(index->index_type())).c_str(), fraction, recall);
        }
    }
}

}  // namespace
}  // namespace kivo::engine
