// The engine object end to end: construction, ingest, fit, build, the query
// routes with their errors, the brute-force heap rule, the allowlist and bad
// input for every index type.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "engine/engine.h"
#include "engine_fixture.h"
#include "persist_test_util.h"

namespace kivo::engine {
namespace {

using search::ScoredId;
using testing::make;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

EngineConfig make_config(uint64_t dim, IndexType type, Metric metric = Metric::Cosine, uint8_t bits = 4) {
    return testing::small_config(dim, type, metric, bits, bits == 4 ? *vocab::padded_dim_for(dim) : 0);
}

std::vector<std::vector<float>> random_vectors(std::size_t n, std::size_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<std::vector<float>> out(n, std::vector<float>(dim));
    for (auto& v : out) for (float& x : v) x = g(rng);
    return out;
}

std::vector<uint64_t> iota_ids(std::size_t n, uint64_t first = 0) {
    std::vector<uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = first + i;
    return ids;
}

std::string message_of(const Status& s) { return s ? "" : s.error().message(); }
template <class T>
std::string message_of(const Result<T>& r) {
    return r ? "" : r.error().message();
}

// Ties ordered by id so that results can be compared as sets.
std::vector<ScoredId> canonical(std::vector<ScoredId> v) {
    std::stable_sort(v.begin(), v.end(), [](const ScoredId& a, const ScoredId& b) {
        return a.score > b.score || (a.score == b.score && a.id < b.id);
    });
    return v;
}

void expect_descending(const std::vector<ScoredId>& r) {
    for (std::size_t i = 1; i < r.size(); ++i) EXPECT_FALSE(r[i - 1].score < r[i].score) << i;
}

// ---- construction -----------------------------------------------------------

TEST(EngineCreate, RefusesBadBitWidthAndLayout) {
    auto c = make_config(8, IndexType::BruteForce);
    c.bit_width = 3;
    EXPECT_EQ(message_of(Kivo::create(c)), "invalid bit width: 3 (must be 2 or 4)");
    c = make_config(8, IndexType::Hnsw);
    c.n4_dims = 6;  // padded_dim 8: not a multiple of 4
    EXPECT_EQ(message_of(Kivo::create(c)), "invalid bit width: 4 (must be 2 or 4)");
    c.bit_width = 2;
    EXPECT_EQ(Kivo::create(c).error().kind(), ErrorKind::InvalidBitWidth);
    EXPECT_EQ(message_of(Kivo::create(c)), "invalid bit width: 2 (must be 2 or 4)");
}

TEST(EngineCreate, GraphOnlyForHnsw) {
    auto c = make_config(16, IndexType::Hnsw);
    c.hnsw_m = 32;
    c.hnsw_ef_construction = 100;
    Kivo h = make(c);
    ASSERT_TRUE(h.hnsw());
    EXPECT_EQ(h.hnsw()->ef_search, 64u);
    EXPECT_EQ(h.hnsw()->m, 32u);
    EXPECT_EQ(h.hnsw()->ef_construction, 100u);
    EXPECT_EQ(h.hnsw()->packed_bytes_per_vec, h.packed_bytes_per_vec());
    EXPECT_DOUBLE_EQ(h.hnsw()->level_mult, 1.0 / std::log(32.0));
    c.hnsw_ef_search = 7;
    EXPECT_EQ(make(c).hnsw()->ef_search, 7u);
    EXPECT_EQ(h.len(), 0u);
    for (IndexType t : {IndexType::BruteForce, IndexType::IvfFlat}) {
        Kivo k = make(make_config(16, t));
        EXPECT_FALSE(k.hnsw());
        EXPECT_FALSE(k.ivf());
        EXPECT_EQ(k.config(), make_config(16, t));
        EXPECT_EQ(k.packed_bytes_per_vec(), 8u);
    }
}

// ---- ingest -------------------------------------------------------------------

TEST(EngineAdd, CountAndDimensionErrorsForEveryIndexType) {
    for (IndexType t : {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw}) {
        SCOPED_TRACE(index_type_name(t));
        Kivo k = make(make_config(8, t));
        const auto v = random_vectors(3, 8, 1);
        EXPECT_EQ(message_of(k.add(std::vector<uint64_t>{1, 2}, std::span(v).first(1))),
                  "id/vector count mismatch: 2 ids vs 1 vectors");
        EXPECT_EQ(k.len(), 0u);
        EXPECT_TRUE(k.add({}, {}));
        EXPECT_EQ(k.len(), 0u);

        auto bad = v;
        bad[1].push_back(0.5f);  // 9 values
        EXPECT_EQ(message_of(k.add(std::vector<uint64_t>{1, 2, 3}, bad)), "dimension mismatch: expected 8, got 9");
        EXPECT_EQ(k.len(), 1u);  // a was stored, nothing after b

        std::vector<float> flat(16, 0.25f);
        EXPECT_EQ(message_of(k.add_flat(std::vector<uint64_t>{4, 5, 6}, flat)),
                  "id/vector count mismatch: 3 ids vs 2 vectors");
        flat.push_back(1.0f);  // 17 values, not a whole number of rows
        EXPECT_EQ(message_of(k.add_flat(std::vector<uint64_t>{4, 5}, flat)),
                  "id/vector count mismatch: 2 ids vs 2 vectors");
        EXPECT_EQ(k.len(), 1u);
        EXPECT_TRUE(k.add_flat({}, {}));
        flat.pop_back();
        EXPECT_TRUE(k.add_flat(std::vector<uint64_t>{4, 5}, flat));
        EXPECT_EQ(k.len(), 3u);
    }
}

TEST(EngineAdd, FlatStoreLayoutAndDuplicateIds) {
    Kivo k = make(make_config(8, IndexType::BruteForce));
    const auto v = random_vectors(2, 8, 2);
    ASSERT_TRUE(k.add(std::vector<uint64_t>{9, 9}, v));
    EXPECT_EQ(k.len(), 2u);
    EXPECT_EQ(k.ids().size(), 2u);
    EXPECT_EQ(k.codes().size(), 2 * k.packed_bytes_per_vec());
    EXPECT_EQ(k.norms().size(), 2u);
    const auto code = k.pipeline().encode(v[1]);
    EXPECT_TRUE(std::equal(code.begin(), code.end(), k.codes().begin() + k.packed_bytes_per_vec()));
    EXPECT_EQ(k.norms()[1], k.pipeline().compute_norm(code));
    // add_flat stores the same thing as add.
    Kivo f = make(make_config(8, IndexType::BruteForce));
    std::vector<float> flat(v[0]);
    flat.insert(flat.end(), v[1].begin(), v[1].end());
    ASSERT_TRUE(f.add_flat(std::vector<uint64_t>{9, 9}, flat));
    EXPECT_TRUE(std::ranges::equal(f.codes(), k.codes()));
    EXPECT_TRUE(std::ranges::equal(f.norms(), k.norms()));
    const auto r = k.search(v[0], 5, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), 2u);  // both entries of id 9
}

TEST(EngineAdd, FlatErrorsWithDimZero) {
    Kivo k = make(make_config(0, IndexType::BruteForce));
    EXPECT_EQ(message_of(k.add_flat({}, {})), "id/vector count mismatch: 0 ids vs 0 vectors");
    EXPECT_EQ(message_of(k.add_flat(std::vector<uint64_t>{1}, std::vector<float>{1.0f})),
              "id/vector count mismatch: 1 ids vs 0 vectors");
    EXPECT_EQ(k.len(), 0u);
}

TEST(EngineAdd, IvfCollectsTrainingVectors) {
    Kivo k = make(make_config(8, IndexType::IvfFlat));
    const auto v = random_vectors(3, 8, 3);
    ASSERT_TRUE(k.add(iota_ids(3), v));
    ASSERT_EQ(k.training_vectors().size(), 3u);
    EXPECT_EQ(k.training_vectors()[2], k.pipeline().transform_query(v[2]));
    EXPECT_EQ(k.ids().size(), 3u);
    EXPECT_EQ(k.len(), 3u);
}

TEST(EngineFit, PooledStatistics) {
    Kivo k = make(make_config(2, IndexType::BruteForce, Metric::L2));
    const std::vector<std::vector<float>> sample = {{1, 3}, {1, 3}};
    ASSERT_TRUE(k.fit(sample));
    ASSERT_TRUE(k.pipeline().std_params());
    EXPECT_EQ(k.pipeline().std_params()->mean, (std::vector<float>{2.0f, 2.0f}));
    EXPECT_EQ(k.pipeline().std_params()->inv_std, (std::vector<float>{1.0f, 1.0f}));
    // The last call wins; a constant sample gives inv_std 1.
    ASSERT_TRUE(k.fit(std::vector<std::vector<float>>{{5, 5}, {5, 5}, {5, 5}}));
    EXPECT_EQ(k.pipeline().std_params()->mean, (std::vector<float>{5.0f, 5.0f}));
    EXPECT_EQ(k.pipeline().std_params()->inv_std, (std::vector<float>{1.0f, 1.0f}));
    // var = 4 -> inv_std 0.5; mean 1.
    ASSERT_TRUE(k.fit(std::vector<std::vector<float>>{{-1, 3}, {-1, 3}}));
    EXPECT_EQ(k.pipeline().std_params()->mean, (std::vector<float>{1.0f, 1.0f}));
    EXPECT_EQ(k.pipeline().std_params()->inv_std, (std::vector<float>{0.5f, 0.5f}));
}

TEST(EngineFit, Errors) {
    for (IndexType t : {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw}) {
        SCOPED_TRACE(index_type_name(t));
        Kivo c = make(make_config(2, t, Metric::Cosine));
        EXPECT_TRUE(c.fit({}));  // not l2: not even looked at
        EXPECT_FALSE(c.pipeline().std_params());
        Kivo d = make(make_config(2, t, Metric::Dot));
        EXPECT_TRUE(d.fit(std::vector<std::vector<float>>{{1, 2, 3}}));
        EXPECT_FALSE(d.pipeline().std_params());

        Kivo l = make(make_config(2, t, Metric::L2));
        EXPECT_EQ(message_of(l.fit({})), "sample is empty — provide at least 1 vector for profiling");
        EXPECT_EQ(message_of(l.fit(std::vector<std::vector<float>>{{1, 2}, {1, 2, 3}})),
                  "dimension mismatch: expected 2, got 3");
        EXPECT_FALSE(l.pipeline().std_params());
        ASSERT_TRUE(l.add(std::vector<uint64_t>{1}, std::vector<std::vector<float>>{{1, 2}}));
        EXPECT_EQ(message_of(l.fit(std::vector<std::vector<float>>{{1, 2}})),
                  "fit() must be called before add() — index already contains vectors");
        EXPECT_FALSE(l.pipeline().std_params());
    }
}

// ---- build --------------------------------------------------------------------

TEST(EngineBuild, ByIndexType) {
    const auto v = random_vectors(40, 8, 4);
    Kivo b = make(make_config(8, IndexType::BruteForce));
    EXPECT_TRUE(b.build());
    ASSERT_TRUE(b.add(iota_ids(40), v));
    EXPECT_TRUE(b.build());
    EXPECT_EQ(b.len(), 40u);

    Kivo h = make(make_config(8, IndexType::Hnsw));
    ASSERT_TRUE(h.add(iota_ids(40), v));
    EXPECT_EQ(h.hnsw()->vector_count(), 40u);
    const auto before = h.search(v[3], 5, std::nullopt);
    EXPECT_TRUE(h.build());
    EXPECT_EQ(h.hnsw()->vector_count(), 0u);
    EXPECT_TRUE(h.build());
    EXPECT_EQ(h.search(v[3], 5, std::nullopt), before);

    Kivo i = make(make_config(8, IndexType::IvfFlat));
    EXPECT_EQ(message_of(i.build()), "index is empty");
    EXPECT_FALSE(i.ivf());
    ASSERT_TRUE(i.add(iota_ids(40), v));
    ASSERT_TRUE(i.build());
    ASSERT_TRUE(i.ivf());
    EXPECT_EQ(i.ivf()->lists.size(), 4u);
    EXPECT_EQ(i.ivf()->nprobe, 2u);
    EXPECT_EQ(i.ivf()->dim, i.padded_dim());
    EXPECT_TRUE(i.ids().empty());
    EXPECT_TRUE(i.codes().empty());
    EXPECT_TRUE(i.norms().empty());
    EXPECT_TRUE(i.training_vectors().empty());
    EXPECT_EQ(i.len(), 40u);
    // Nothing pending: "index is empty", the index unchanged.
    const auto ivf_before = *i.ivf();
    EXPECT_EQ(message_of(i.build()), "index is empty");
    EXPECT_EQ(*i.ivf(), ivf_before);
}

TEST(EngineBuild, IvfListsMatchDirectBuild) {
    const auto v = random_vectors(30, 8, 5);
    Kivo i = make(make_config(8, IndexType::IvfFlat, Metric::L2));
    ASSERT_TRUE(i.add(iota_ids(30, 50), v));
    const std::vector<uint64_t> ids(i.ids().begin(), i.ids().end());
    const std::vector<uint8_t> codes(i.codes().begin(), i.codes().end());
    const std::vector<float> norms(i.norms().begin(), i.norms().end());
    const auto training = i.training_vectors();
    ASSERT_TRUE(i.build());
    auto direct = search::IvfFlat::build(4, 2, i.packed_bytes_per_vec(), i.padded_dim(), ids, codes, norms,
                                         training, vocab::kDefaultSeed, Metric::L2);
    ASSERT_TRUE(direct);
    EXPECT_EQ(*i.ivf(), *direct);
}

TEST(EngineBuild, LaterIvfBuildAppendsToExistingLists) {
    const auto v = random_vectors(60, 8, 6);
    Kivo i = make(make_config(8, IndexType::IvfFlat));
    ASSERT_TRUE(i.add(iota_ids(40), std::span(v).first(40)));
    ASSERT_TRUE(i.build());
    const auto first = *i.ivf();
    // Pending vectors are neither counted nor searched.
    ASSERT_TRUE(i.add(iota_ids(20, 40), std::span(v).subspan(40)));
    EXPECT_EQ(i.len(), 40u);
    const auto training = i.training_vectors();
    ASSERT_TRUE(i.build());
    EXPECT_EQ(i.len(), 60u);
    EXPECT_TRUE(i.training_vectors().empty());
    EXPECT_TRUE(i.ids().empty());
    ASSERT_EQ(i.ivf()->lists.size(), first.lists.size());
    std::vector<std::vector<uint64_t>> expected;
    for (const auto& l : first.lists) expected.push_back(l.ids);
    for (std::size_t j = 0; j < 20; ++j) expected[first.best_list(training[j])].push_back(40 + j);
    for (std::size_t l = 0; l < first.lists.size(); ++l) {
        EXPECT_EQ(i.ivf()->lists[l].centroid, first.lists[l].centroid);  // not retrained
        EXPECT_EQ(i.ivf()->lists[l].ids, expected[l]);
        EXPECT_EQ(i.ivf()->lists[l].codes.size(), expected[l].size() * i.packed_bytes_per_vec());
        EXPECT_EQ(i.ivf()->lists[l].norms.size(), expected[l].size());
    }
    // Every vector, old and new, can be found when all lists are probed.
    i.set_nprobe(100);
    for (std::size_t j = 0; j < 60; ++j) {
        const auto r = i.search(v[j], 60, std::nullopt);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->size(), 60u);
    }
}

TEST(EngineBuild, HnswInsertionAfterBuildRestoresConstructionVectors) {
    const auto v = random_vectors(50, 16, 7);
    Kivo h = make(make_config(16, IndexType::Hnsw, Metric::Dot));
    ASSERT_TRUE(h.add(iota_ids(30), std::span(v).first(30)));
    ASSERT_TRUE(h.build());
    ASSERT_TRUE(h.add(iota_ids(20, 30), std::span(v).subspan(30)));
    EXPECT_EQ(h.len(), 50u);
    EXPECT_EQ(h.hnsw()->vector_count(), 50u);
    // The new nodes keep their exact transformed vectors until build().
    EXPECT_TRUE(std::ranges::equal(h.hnsw()->vector_of(45), h.pipeline().transform_query(v[45])));
    ASSERT_TRUE(h.build());
    EXPECT_EQ(h.hnsw()->vector_count(), 0u);
    auto r = h.search(v[45], 50, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->empty());
}

TEST(EngineBuild, HnswInsertionAfterLoad) {
    const auto v = random_vectors(40, 16, 15);
    Kivo h = make(make_config(16, IndexType::Hnsw, Metric::L2));
    ASSERT_TRUE(h.add(iota_ids(25), std::span(v).first(25)));
    testing::ScratchDir dir;
    ASSERT_TRUE(h.save(dir.file("h.kivo")));
    auto loaded = Kivo::load(dir.file("h.kivo"));
    ASSERT_TRUE(loaded) << loaded.error().message();
    EXPECT_EQ(loaded->hnsw()->vector_count(), 0u);
    ASSERT_TRUE(loaded->add(iota_ids(15, 25), std::span(v).subspan(25)));
    EXPECT_EQ(loaded->len(), 40u);
    EXPECT_TRUE(loaded->hnsw()->has_all_vectors());
    EXPECT_TRUE(std::ranges::equal(loaded->hnsw()->vector_of(39), loaded->pipeline().transform_query(v[39])));
    const auto r = loaded->search(v[30], 40, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->empty());
    std::set<uint64_t> seen;
    for (const auto& e : *r) EXPECT_TRUE(seen.insert(e.id).second) << e.id;  // one entry per node
}

TEST(EngineBuild, IvfNlistZeroGivesOneList) {
    auto cfg = make_config(8, IndexType::IvfFlat);
    cfg.ivf_nlist = 0;
    Kivo i = make(cfg);
    const auto v = random_vectors(12, 8, 16);
    ASSERT_TRUE(i.add(iota_ids(12), v));
    ASSERT_TRUE(i.build());
    ASSERT_EQ(i.ivf()->lists.size(), 1u);
    EXPECT_EQ(i.ivf()->lists[0].ids, iota_ids(12));
    const auto r = i.search(v[0], 20, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), 12u);
}

// ---- search -------------------------------------------------------------------

TEST(EngineSearch, ErrorsInOrder) {
    for (IndexType t : {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw}) {
        SCOPED_TRACE(index_type_name(t));
        Kivo k = make(make_config(4, t));
        const std::vector<float> q3 = {1, 2, 3};
        const std::vector<float> q4 = {1, 2, 3, 4};
        EXPECT_EQ(message_of(k.search(q3, 1, std::nullopt)), "dimension mismatch: expected 4, got 3");
        EXPECT_EQ(message_of(k.search(q4, 0, std::nullopt)), "index is empty");
        ASSERT_TRUE(k.add(std::vector<uint64_t>{1}, std::vector<std::vector<float>>{q4}));
        EXPECT_EQ(message_of(k.search(q3, 1, std::nullopt)), "dimension mismatch: expected 4, got 3");
        if (t == IndexType::IvfFlat) {
            EXPECT_EQ(message_of(k.search(q4, 1, std::nullopt)), "call build() before search() for IvfFlat indexes");
            EXPECT_EQ(k.search(q4, 0, std::nullopt).error().kind(), ErrorKind::NotBuilt);
            ASSERT_TRUE(k.build());
        }
        auto r = k.search(q4, 0, std::nullopt);
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->empty());
        r = k.search(q4, 3, std::nullopt);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->size(), 1u);
        EXPECT_EQ((*r)[0].id, 1u);
    }
}

// The brute-force rule written out plainly: scan in storage order, keep at
// most k entries, replace the weakest (lowest score, then highest id) only
// by a strictly greater score.
std::vector<ScoredId> reference_scan(const Kivo& k, std::span<const float> query, uint64_t top,
                                     std::optional<std::vector<uint64_t>> allow) {
    const auto q = k.pipeline().transform_query(query);
    const uint64_t pb = k.packed_bytes_per_vec();
    std::vector<ScoredId> kept;
    for (std::size_t i = 0; i < k.ids().size(); ++i) {
        const uint64_t id = k.ids()[i];
        if (allow && std::find(allow->begin(), allow->end(), id) == allow->end()) continue;
        float s = k.pipeline().score(q, k.codes().subspan(i * pb, pb));
        s = quantize::adjust_score(k.metric(), s, k.norms()[i]);
        if (kept.size() < top) {
            kept.push_back({id, s});
            continue;
        }
        if (kept.empty()) continue;
        auto weakest = kept.begin();
        for (auto it = kept.begin(); it != kept.end(); ++it) {
            if (search::weaker(*it, *weakest)) weakest = it;
        }
        if (s > weakest->score) *weakest = {id, s};
    }
    return canonical(kept);
}

TEST(EngineSearch, BruteForceEqualsReferenceScan) {
    for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
        for (uint8_t bits : {uint8_t{2}, uint8_t{4}}) {
            SCOPED_TRACE(std::string(metric_name(m)) + " " + std::to_string(bits));
            Kivo k = make(make_config(24, IndexType::BruteForce, m, bits));
            auto v = random_vectors(700, 24, 8);
            // Repeated vectors give equal scores; ids deliberately out of order.
            for (std::size_t j = 0; j < v.size(); j += 5) v[j] = v[(j * 7) % 50];
            std::vector<uint64_t> ids(v.size());
            for (std::size_t j = 0; j < ids.size(); ++j) ids[j] = (j * 7919) % 1000;
            ASSERT_TRUE(k.add(ids, v));
            const auto queries = random_vectors(5, 24, 9);
            const std::vector<uint64_t> allow = {ids[3], ids[10], ids[10], ids[400], ids[699], 5000};
            for (const auto& q : {queries[0], queries[1], v[0], v[7]}) {
                for (uint64_t top : {1u, 3u, 10u, 257u, 1000u}) {
                    auto r = k.search(q, top, std::nullopt);
                    ASSERT_TRUE(r);
                    expect_descending(*r);
                    EXPECT_EQ(canonical(*r), reference_scan(k, q, top, std::nullopt)) << top;
                    r = k.search(q, top, allow);
                    ASSERT_TRUE(r);
                    EXPECT_EQ(canonical(*r), reference_scan(k, q, top, allow)) << top;
                }
            }
        }
    }
}

TEST(EngineSearch, HugeKReturnsEveryCandidate) {
    const auto v = random_vectors(300, 8, 17);
    for (IndexType t : {IndexType::BruteForce, IndexType::IvfFlat}) {
        SCOPED_TRACE(index_type_name(t));
        Kivo k = make(make_config(8, t));
        ASSERT_TRUE(k.add(iota_ids(300), v));
        ASSERT_TRUE(k.build());
        k.set_nprobe(~uint64_t{0});
        const auto r = k.search(v[1], ~uint64_t{0}, std::nullopt);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->size(), 300u);
        expect_descending(*r);
    }
}

TEST(EngineSearch, IdenticalCodesKeepTheEarliest) {
    Kivo k = make(make_config(8, IndexType::BruteForce));
    const auto v = random_vectors(1, 8, 10);
    const std::vector<std::vector<float>> same(3, v[0]);
    ASSERT_TRUE(k.add(std::vector<uint64_t>{30, 20, 10}, same));
    auto r = k.search(v[0], 2, std::nullopt);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ(canonical(*r)[0].id, 20u);
    EXPECT_EQ(canonical(*r)[1].id, 30u);
}

TEST(EngineSearch, BruteForceAllowlistIsAPreFilter) {
    Kivo k = make(make_config(8, IndexType::BruteForce));
    const auto v = random_vectors(20, 8, 11);
    ASSERT_TRUE(k.add(iota_ids(20), v));
    auto r = k.search(v[0], 1000, std::vector<uint64_t>{7});
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].id, 7u);
    r = k.search(v[0], 5, std::vector<uint64_t>{});
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->empty());
    // The best allowed vectors, however far down the full ranking.
    r = k.search(v[0], 2, std::vector<uint64_t>{19, 18, 0, 1u << 30});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), 2u);
    for (const auto& e : *r) EXPECT_TRUE(e.id == 19 || e.id == 18 || e.id == 0);
    r = k.search(v[0], 10, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), 10u);
}

TEST(EngineSearch, IvfPostFilterAndProbes) {
    const auto v = random_vectors(200, 16, 12);
    auto cfg = make_config(16, IndexType::IvfFlat);
    cfg.ivf_nlist = 8;
    cfg.ivf_nprobe = 3;
    Kivo i = make(cfg);
    Kivo b = make(make_config(16, IndexType::BruteForce));
    ASSERT_TRUE(i.add(iota_ids(200), v));
    ASSERT_TRUE(b.add(iota_ids(200), v));
    i.set_nprobe(50);  // before the first build: lost
    ASSERT_TRUE(i.build());
    EXPECT_EQ(i.ivf()->nprobe, 3u);
    EXPECT_EQ(i.config().ivf_nprobe, 3u);

    const auto q = random_vectors(3, 16, 13);
    // All lists probed: the brute-force answer.
    i.set_nprobe(8);
    for (const auto& query : q) {
        auto ri = i.search(query, 10, std::nullopt);
        auto rb = b.search(query, 10, std::nullopt);
        ASSERT_TRUE(ri && rb);
        EXPECT_EQ(canonical(*ri), canonical(*rb));
    }
    i.set_nprobe(1000);
    EXPECT_EQ(canonical(*i.search(q[0], 10, std::nullopt)), canonical(*b.search(q[0], 10, std::nullopt)));
    i.set_nprobe(0);
    EXPECT_TRUE(i.search(q[0], 10, std::nullopt)->empty());
    EXPECT_EQ(i.config().ivf_nprobe, 3u);

    // Post-filter: the top k are chosen first, then filtered.
    i.set_nprobe(8);
    const auto top = *i.search(q[0], 5, std::nullopt);
    std::vector<uint64_t> others;
    for (uint64_t id = 0; id < 200; ++id) {
        if (std::none_of(top.begin(), top.end(), [&](const ScoredId& e) { return e.id == id; })) others.push_back(id);
    }
    EXPECT_TRUE(i.search(q[0], 5, others)->empty());
    EXPECT_EQ(b.search(q[0], 5, others)->size(), 5u);
    const std::vector<uint64_t> two = {top[3].id, top[1].id, top[1].id};
    EXPECT_EQ(*i.search(q[0], 5, two), (std::vector<ScoredId>{top[1], top[3]}));
    EXPECT_TRUE(i.search(q[0], 5, std::vector<uint64_t>{})->empty());
}

TEST(EngineSearch, IvfRanksListsStablyAndProbesInOrder) {
    // Lists 0 and 2 share a centroid: with nprobe 1 only the lower index is
    // probed, with nprobe 2 both of them and never list 1.
    Kivo k = make(make_config(4, IndexType::BruteForce, Metric::Dot));
    const std::vector<std::vector<float>> v = {{1, 0, 0, 0}, {0, 1, 0, 0}, {1, 0, 0, 0}};
    ASSERT_TRUE(k.add(std::vector<uint64_t>{10, 11, 12}, v));
    search::IvfFlat ivf;
    ivf.packed_bytes_per_vec = k.packed_bytes_per_vec();
    ivf.dim = k.padded_dim();
    ivf.metric = Metric::Dot;
    for (std::size_t l = 0; l < 3; ++l) {
        const auto code = k.codes().subspan(l * ivf.packed_bytes_per_vec, ivf.packed_bytes_per_vec);
        ivf.lists.push_back({k.pipeline().transform_query(v[l]), {code.begin(), code.end()}, {k.ids()[l]},
                             {k.norms()[l]}});
    }
    const auto q = k.pipeline().transform_query(v[0]);
    ivf.nprobe = 1;
    auto r = ivf.search(k.pipeline(), q, 5, std::nullopt);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].id, 10u);
    ivf.nprobe = 2;
    r = ivf.search(k.pipeline(), q, 5, std::nullopt);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(canonical(r)[0].id, 10u);
    EXPECT_EQ(canonical(r)[1].id, 12u);
    EXPECT_TRUE(ivf.search(k.pipeline(), q, 0, std::nullopt).empty());
}

TEST(EngineSearch, TunablesOnlyTouchTheLiveStructure) {
    Kivo h = make(make_config(8, IndexType::Hnsw));
    h.set_ef_search(0);
    EXPECT_EQ(h.hnsw()->ef_search, 0u);
    h.set_nprobe(9);
    EXPECT_EQ(h.config().hnsw_ef_search, 0u);
    Kivo b = make(make_config(8, IndexType::BruteForce));
    b.set_ef_search(5);
    b.set_nprobe(5);
    EXPECT_EQ(b.config(), make_config(8, IndexType::BruteForce));
}

// ---- bad input ------------------------------------------------------------------

TEST(EngineBadInput, NoCrashNoCorruptionForAnyIndexType) {
    for (IndexType t : {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw}) {
        for (Metric m : {Metric::Cosine, Metric::L2}) {
            for (uint64_t dim : {0u, 1u, 5u}) {
                SCOPED_TRACE(std::string(index_type_name(t)) + " " + std::string(metric_name(m)) + " dim " +
                             std::to_string(dim));
                Kivo k = make(make_config(dim, t, m));
                std::vector<std::vector<float>> vs = random_vectors(30, dim, 14);
                if (dim > 0) {
                    vs[1].assign(dim, kNaN);
                    vs[2].assign(dim, kInf);
                    vs[3].assign(dim, 0.0f);
                    vs[4].assign(dim, -kInf);
                    vs[5][0] = kNaN;
                    vs[6].assign(dim, std::numeric_limits<float>::max());
                    vs[7].assign(dim, std::numeric_limits<float>::denorm_min());
                }
                std::vector<uint64_t> ids = iota_ids(30);
                ids[8] = ids[9] = 3;  // duplicate ids
                ids[10] = ~uint64_t{0};
                ASSERT_TRUE(k.add(ids, vs));
                ASSERT_TRUE(k.build());
                EXPECT_EQ(k.len(), 30u);
                const std::set<uint64_t> stored(ids.begin(), ids.end());

                std::vector<std::vector<float>> queries = {vs[0], vs[1], vs[2], vs[3], std::vector<float>(dim, -kInf)};
                const std::vector<std::optional<std::vector<uint64_t>>> allows = {
                    std::nullopt, std::vector<uint64_t>{}, std::vector<uint64_t>{3, 3, 3},
                    std::vector<uint64_t>{~uint64_t{0}, 0, 1ull << 40}};
                for (uint64_t ef : {0u, 1u, 64u}) {
                    k.set_ef_search(ef);
                    k.set_nprobe(ef);
                    for (const auto& q : queries) {
                        for (uint64_t top : {uint64_t{0}, uint64_t{1}, uint64_t{31}, ~uint64_t{0}}) {
                            for (const auto& a : allows) {
                                std::optional<std::span<const uint64_t>> al;
                                if (a) al = std::span<const uint64_t>(*a);
                                auto r = k.search(q, top, al);
                                ASSERT_TRUE(r) << r.error().message();
                                EXPECT_LE(r->size(), std::min<uint64_t>(top, 30));
                                for (const auto& e : *r) {
                                    EXPECT_TRUE(stored.contains(e.id));
                                    if (a) {
                                        EXPECT_NE(std::find(a->begin(), a->end(), e.id), a->end());
                                    }
                                }
                                if (a && a->empty()) {
                                    EXPECT_TRUE(r->empty());
                                }
                                expect_descending(*r);
                            }
                        }
                    }
                }
                // Still intact and still accepting vectors.
                EXPECT_EQ(k.len(), 30u);
                k.set_ef_search(16);
                k.set_nprobe(4);
                ASSERT_TRUE(k.add(std::vector<uint64_t>{99}, std::span(vs).first(1)));
                ASSERT_TRUE(k.build());
                EXPECT_EQ(k.len(), 31u);
                auto r = k.search(vs[0], 31, std::nullopt);
                ASSERT_TRUE(r);
                if (t == IndexType::BruteForce) {
                    EXPECT_EQ(r->size(), 31u);
                }
            }
        }
    }
}

}  // namespace
}  // namespace kivo::engine
