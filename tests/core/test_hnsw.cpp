// HNSW queries on packed codes: the query-side layer search against a plain
// restatement, the full query (descent, layer 0, top k), the allowlist
// post-filter, ef_search rules, and bad input (k 0, huge k, NaN query).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "config.h"
#include "hnsw_reference.h"
#include "quantize/pipeline.h"
#include "search/hnsw.h"
#include "search/hnsw_layer.h"

namespace kivo::search {
namespace {

using vocab::Metric;

struct Fixture {
    quantize::QuantPipeline pipeline;
    Hnsw graph;
    std::vector<std::vector<float>> raw;
};

std::vector<std::vector<float>> random_vectors(std::size_t count, std::size_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<std::vector<float>> out(count, std::vector<float>(dim));
    for (auto& v : out) {
        for (float& x : v) x = normal(rng);
    }
    return out;
}

quantize::QuantPipeline make_pipeline(uint64_t dim, Metric metric, uint64_t n4_dims) {
    vocab::EngineConfig config;
    config.dim = dim;
    config.metric = metric;
    config.index_type = vocab::IndexType::Hnsw;
    config.n4_dims = n4_dims;
    config.bit_width = n4_dims == 0 ? 2 : 4;
    auto pipeline = quantize::QuantPipeline::create(config);
    EXPECT_TRUE(pipeline.has_value());
    return *pipeline;
}

// Ids are 1000 + insertion index.
Fixture make_fixture(std::size_t count, Metric metric, uint64_t m = 4, uint64_t efc = 20, uint64_t n4_dims = 16) {
    Fixture f{make_pipeline(12, metric, n4_dims), Hnsw::create(m, efc, 2 * m, 0), random_vectors(count, 12, 77)};
    f.graph.packed_bytes_per_vec = f.pipeline.packed_bytes_per_vec();
    for (std::size_t i = 0; i < count; ++i) {
        auto code = f.pipeline.encode(f.raw[i]);
        const float norm = f.pipeline.compute_norm(code);
        f.graph.insert(std::move(code), norm, f.pipeline.transform_query(f.raw[i]), 1000 + i, metric);
    }
    return f;
}

float code_score(const Fixture& f, std::span<const float> q, uint32_t v, Metric metric) {
    return quantize::adjust_score(metric, f.pipeline.score(q, f.graph.code(v)), f.graph.norm(v));
}

std::vector<Candidate> reference_layer(const Fixture& f, std::span<const float> q, uint32_t entry, uint64_t ef,
                                       uint64_t layer, Metric metric) {
    return reference::layer_search(reference::records(f.graph), entry, ef, layer,
                                   [&](uint32_t v) { return code_score(f, q, v, metric); });
}

// The query restated: descent with ef 1, layer 0 with max(ef_search, k),
// first k, stable sort, then the linear allowlist filter.
std::vector<ScoredId> reference_query(const Fixture& f, std::span<const float> q, uint64_t k,
                                      std::optional<std::vector<uint64_t>> allowlist, Metric metric) {
    if (k == 0) return {};
    uint32_t ep = *f.graph.entry_point;
    for (uint64_t layer = f.graph.max_level; layer >= 1; --layer) {
        auto r = reference_layer(f, q, ep, 1, layer, metric);
        if (!r.empty()) ep = r[0].node;
    }
    auto r = reference_layer(f, q, ep, std::max(f.graph.ef_search, k), 0, metric);
    std::vector<ScoredId> out;
    for (std::size_t i = 0; i < std::min<uint64_t>(k, r.size()); ++i) out.push_back({f.graph.id(r[i].node), r[i].score});
    sort_by_score_desc(out);
    if (!allowlist) return out;
    std::vector<ScoredId> kept;
    for (const ScoredId& e : out) {
        for (uint64_t id : *allowlist) {
            if (id == e.id) {
                kept.push_back(e);
                break;
            }
        }
    }
    return kept;
}

void expect_same(const std::vector<ScoredId>& got, const std::vector<ScoredId>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, want[i].id) << "entry " << i;
        EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score)) << "entry " << i;
    }
}

TEST(HnswSearchLayer, MatchesReference) {
    for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::L2}) {
        for (uint64_t n4 : {0u, 8u, 16u}) {
            const Fixture f = make_fixture(200, metric, 4, 16, n4);
            for (const auto& raw : random_vectors(5, 12, 3)) {
                const auto q = f.pipeline.transform_query(raw);
                for (uint32_t entry : {0u, 17u, 199u}) {
                    for (uint64_t ef : {1u, 2u, 7u, 40u, 500u}) {
                        for (uint64_t layer = 0; layer <= f.graph.max_level; ++layer) {
                            const auto got = f.graph.search_layer(f.pipeline, q, entry, ef, layer, metric);
                            const auto want = reference_layer(f, q, entry, ef, layer, metric);
                            ASSERT_EQ(got.size(), want.size());
                            for (std::size_t i = 0; i < got.size(); ++i) {
                                EXPECT_EQ(got[i].node, want[i].node);
                                EXPECT_EQ(got[i].score, want[i].score);
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(HnswQuery, MatchesReference) {
    for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::L2}) {
        Fixture f = make_fixture(300, metric, 3, 12);
        ASSERT_GT(f.graph.max_level, 0u);  // the descent has layers to walk
        for (uint64_t ef_search : {0u, 1u, 5u, 64u}) {
            f.graph.ef_search = ef_search;
            for (const auto& raw : random_vectors(6, 12, 9)) {
                const auto q = f.pipeline.transform_query(raw);
                for (uint64_t k : {1u, 3u, 10u, 400u}) {
                    expect_same(f.graph.search(f.pipeline, q, k, std::nullopt, metric),
                                reference_query(f, q, k, std::nullopt, metric));
                }
            }
        }
    }
}

TEST(HnswQuery, KZeroIsEmpty) {
    const Fixture f = make_fixture(20, Metric::Cosine);
    const auto q = f.pipeline.transform_query(f.raw[0]);
    EXPECT_TRUE(f.graph.search(f.pipeline, q, 0, std::nullopt, Metric::Cosine).empty());
    const std::vector<uint64_t> all{1000, 1001};
    EXPECT_TRUE(f.graph.search(f.pipeline, q, 0, all, Metric::Cosine).empty());
}

TEST(HnswQuery, OneNodeGraphAlwaysAnswersWithIt) {
    const Fixture f = make_fixture(1, Metric::L2);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const std::vector<float>& raw : {f.raw[0], std::vector<float>(12, -3.0f), std::vector<float>(12, nan)}) {
        const auto q = f.pipeline.transform_query(raw);
        for (uint64_t k : {1u, 5u}) {
            const auto r = f.graph.search(f.pipeline, q, k, std::nullopt, Metric::L2);
            ASSERT_EQ(r.size(), 1u);
            EXPECT_EQ(r[0].id, 1000u);
        }
    }
}

TEST(HnswQuery, LargeKReturnsEachReachedNodeOnce) {
    Fixture f = make_fixture(60, Metric::Dot);
    const auto q = f.pipeline.transform_query(f.raw[5]);
    for (uint64_t k : {uint64_t{61}, uint64_t{1} << 40, std::numeric_limits<uint64_t>::max()}) {
        const auto r = f.graph.search(f.pipeline, q, k, std::nullopt, Metric::Dot);
        EXPECT_LE(r.size(), 60u);
        EXPECT_GT(r.size(), 50u);  // a connected graph of 60 nodes is mostly reached
        std::set<uint64_t> ids;
        for (const ScoredId& e : r) EXPECT_TRUE(ids.insert(e.id).second);
        for (std::size_t i = 1; i < r.size(); ++i) EXPECT_GE(r[i - 1].score, r[i].score);
    }
    // A huge ef_search reserves nothing beyond the graph.
    f.graph.ef_search = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(f.graph.search(f.pipeline, q, 5, std::nullopt, Metric::Dot).size(), 5u);
}

TEST(HnswQuery, EfSearchZeroUsesK) {
    Fixture f = make_fixture(300, Metric::Cosine, 4, 30);
    for (const auto& raw : random_vectors(8, 12, 31)) {
        const auto q = f.pipeline.transform_query(raw);
        for (uint64_t k : {1u, 4u, 12u}) {
            f.graph.ef_search = k;
            const auto with_k = f.graph.search(f.pipeline, q, k, std::nullopt, Metric::Cosine);
            f.graph.ef_search = 0;
            expect_same(f.graph.search(f.pipeline, q, k, std::nullopt, Metric::Cosine), with_k);
        }
    }
}

TEST(HnswQuery, AllowlistFiltersTheTopK) {
    const Fixture f = make_fixture(100, Metric::Cosine, 4, 30);
    const auto q = f.pipeline.transform_query(f.raw[10]);
    const auto top = f.graph.search(f.pipeline, q, 5, std::nullopt, Metric::Cosine);
    ASSERT_EQ(top.size(), 5u);
    std::vector<uint64_t> all_ids;
    for (std::size_t i = 0; i < 100; ++i) all_ids.push_back(1000 + i);
    std::vector<uint64_t> without_top;
    for (uint64_t id : all_ids) {
        bool in_top = false;
        for (const ScoredId& e : top) in_top = in_top || e.id == id;
        if (!in_top) without_top.push_back(id);
    }
    struct Case {
        const char* name;
        std::vector<uint64_t> allowlist;
        std::vector<ScoredId> want;
    };
    const Case cases[] = {
        {"empty", {}, {}},
        {"everything", all_ids, top},
        {"only ids outside the top k", without_top, {}},
        {"second and fourth, reversed and repeated", {top[3].id, top[1].id, top[3].id, top[1].id}, {top[1], top[3]}},
        {"unknown ids", {5, 6, 7}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto got = f.graph.search(f.pipeline, q, 5, c.allowlist, Metric::Cosine);
        expect_same(got, c.want);
        expect_same(got, reference_query(f, q, 5, c.allowlist, Metric::Cosine));
    }
}

// The pre-filtered query: with every id allowed it is search() bit for bit;
// with a selective list it returns only allowed ids, k of them whenever k
// allowed nodes are reachable, close to the exact filtered answer.
TEST(HnswFilteredQuery, AdmitsOnlyAllowedIdsAndFindsK) {
    Fixture f = make_fixture(600, Metric::Cosine, 4, 30);
    f.graph.ef_search = 32;
    std::vector<uint64_t> all_ids;
    for (std::size_t i = 0; i < 600; ++i) all_ids.push_back(1000 + i);
    const Allowlist everything = Allowlist::create(all_ids);
    for (const auto& raw : random_vectors(8, 12, 31)) {
        const auto q = f.pipeline.transform_query(raw);
        for (uint64_t k : {1u, 10u, 700u}) {
            expect_same(f.graph.search_filtered(f.pipeline, q, k, everything, Metric::Cosine),
                        f.graph.search(f.pipeline, q, k, std::nullopt, Metric::Cosine));
        }
    }
    struct Case {
        const char* name;
        std::size_t every;  // allow one id in `every`
    };
    const Case cases[] = {{"one in 2", 2}, {"one in 10", 10}, {"one in 50", 50}, {"one in 300", 300}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint64_t> ids;
        for (std::size_t i = 0; i < 600; i += c.every) ids.push_back(1000 + i);
        const Allowlist allowed = Allowlist::create(ids);
        std::size_t hits = 0, wanted = 0;
        for (const auto& raw : random_vectors(10, 12, 32)) {
            const auto q = f.pipeline.transform_query(raw);
            const auto got = f.graph.search_filtered(f.pipeline, q, 10, allowed, Metric::Cosine);
            // Exact filtered answer over the same codes.
            std::vector<ScoredId> exact;
            for (uint64_t id : ids) exact.push_back({id, code_score(f, q, static_cast<uint32_t>(id - 1000), Metric::Cosine)});
            sort_by_score_desc(exact);
            exact.resize(std::min<std::size_t>(10, exact.size()));
            ASSERT_EQ(got.size(), exact.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_TRUE(allowed.contains(got[i].id));
                if (i > 0) {
                    EXPECT_GE(got[i - 1].score, got[i].score);
                }
            }
            for (const ScoredId& e : got) hits += e.score >= exact.back().score ? 1 : 0;
            wanted += exact.size();
        }
        EXPECT_GE(static_cast<double>(hits) / static_cast<double>(wanted), 0.9);
    }
    EXPECT_TRUE(f.graph.search_filtered(f.pipeline, f.pipeline.transform_query(f.raw[0]), 5,
                                        Allowlist::create(std::vector<uint64_t>{}), Metric::Cosine)
                    .empty());
    EXPECT_TRUE(f.graph.search_filtered(f.pipeline, f.pipeline.transform_query(f.raw[0]), 0, everything,
                                        Metric::Cosine)
                    .empty());
}

// Wide codes (whole and partial 32-byte chunks, all three code modes) take
// the walk that scores exactly only the nodes that can matter: clustered
// vectors with exact duplicates (tied scores) and odd queries (zero, huge,
// far away) give exactly the walk that scores every node.
TEST(HnswQuery, BoundedWalkMatchesReferenceOnWideCodes) {
    struct Shape {
        uint64_t dim;
        uint64_t n4;
    };
    const Shape shapes[] = {{64, 64}, {64, 0}, {100, 40}};
    for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::L2}) {
        for (const Shape& shape : shapes) {
            SCOPED_TRACE(testing::Message() << "metric " << static_cast<int>(metric) << " dim " << shape.dim
                                            << " n4 " << shape.n4);
            std::mt19937 rng(11);
            std::normal_distribution<float> g;
            const std::vector<std::vector<float>> centres = random_vectors(8, shape.dim, 5);
            Fixture f{make_pipeline(shape.dim, metric, shape.n4), Hnsw::create(6, 40, 12, 0), {}};
            f.graph.packed_bytes_per_vec = f.pipeline.packed_bytes_per_vec();
            for (std::size_t i = 0; i < 400; ++i) {
                std::vector<float> v(shape.dim);
                if (i % 5 == 4) {
                    v = f.raw[i - 3];  // an exact duplicate: scores tie
                } else {
                    const auto& c = centres[rng() % centres.size()];
                    for (std::size_t j = 0; j < shape.dim; ++j) v[j] = c[j] + 0.3f * g(rng);
                }
                f.raw.push_back(v);
                auto code = f.pipeline.encode(v);
                const float norm = f.pipeline.compute_norm(code);
                f.graph.insert(std::move(code), norm, f.pipeline.transform_query(v), 1000 + i, metric);
            }
            std::vector<std::vector<float>> queries;
            for (std::size_t i = 0; i < 6; ++i) {
                std::vector<float> q = f.raw[(97 * i) % f.raw.size()];
                for (float& x : q) x += 0.05f * g(rng);
                queries.push_back(q);
            }
            queries.push_back(std::vector<float>(shape.dim, 0.0f));
            queries.push_back(random_vectors(1, shape.dim, 8)[0]);
            std::vector<float> huge = f.raw[3];
            for (float& x : huge) x *= 1e20f;
            queries.push_back(huge);
            for (uint64_t ef_search : {0u, 16u, 100u}) {
                f.graph.ef_search = ef_search;
                for (const auto& raw : queries) {
                    const auto q = f.pipeline.transform_query(raw);
                    for (uint64_t k : {1u, 10u, 50u}) {
                        expect_same(f.graph.search(f.pipeline, q, k, std::nullopt, metric),
                                    reference_query(f, q, k, std::nullopt, metric));
                    }
                    for (uint64_t ef : {1u, 7u, 60u}) {
                        const auto got = f.graph.search_layer(f.pipeline, q, *f.graph.entry_point, ef, 0, metric);
                        const auto want = reference_layer(f, q, *f.graph.entry_point, ef, 0, metric);
                        ASSERT_EQ(got.size(), want.size());
                        for (std::size_t i = 0; i < got.size(); ++i) {
                            ASSERT_EQ(got[i].node, want[i].node) << "ef " << ef << " entry " << i;
                            ASSERT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score));
                        }
                    }
                }
            }
        }
    }
}

// The layer walk with bounds returns what it returns without them, for any
// bounds that never rank below the exact score: equal to it (ties with the
// weakest score), loose, NaN or infinite (nothing known), with and without a
// filter; and with useful bounds it scores fewer nodes exactly.
TEST(HnswLayerSearch, BoundsChangeOnlyHowManyNodesAreScored) {
    const Fixture f = make_fixture(300, Metric::L2, 4, 20);
    const std::size_t n = f.graph.size();
    struct Kind {
        const char* name;
        float (*bound)(float exact, uint32_t node);
        bool saves;  // the walk must score fewer nodes exactly
    };
    const Kind kinds[] = {
        {"exact", [](float s, uint32_t) { return s; }, true},
        {"loose", [](float s, uint32_t) { return s + 0.25f; }, true},
        {"nan", [](float, uint32_t) { return std::numeric_limits<float>::quiet_NaN(); }, false},
        {"infinite", [](float, uint32_t) { return std::numeric_limits<float>::infinity(); }, false},
        {"mixed", [](float s, uint32_t v) { return v % 2 == 0 ? s : std::numeric_limits<float>::quiet_NaN(); }, true},
    };
    for (const auto& raw : random_vectors(4, 12, 21)) {
        const auto q = f.pipeline.transform_query(raw);
        auto exact = [&](uint32_t v) { return code_score(f, q, v, Metric::L2); };
        for (const bool filtered : {false, true}) {
            auto admit = [&](uint32_t v) { return !filtered || v % 3 != 0; };
            for (uint64_t ef : {1u, 5u, 40u}) {
                auto walk = [&](auto bounds, std::size_t& scored) {
                    detail::VisitedSet visited;
                    auto score_many = [&](const uint32_t* ids, std::size_t count, float* out) {
                        scored += count;
                        for (std::size_t i = 0; i < count; ++i) out[i] = exact(ids[i]);
                    };
                    return detail::layer_search(
                        f.graph, *f.graph.entry_point, exact(*f.graph.entry_point), ef, 0,
                        [&](uint32_t v) { return v < n; }, [](uint32_t) {}, score_many, admit, filtered, visited,
                        bounds);
                };
                std::size_t all_scored = 0;
                const auto want = walk(detail::NoBounds{}, all_scored);
                for (const Kind& kind : kinds) {
                    SCOPED_TRACE(testing::Message() << kind.name << " filtered " << filtered << " ef " << ef);
                    std::size_t scored = 0;
                    const auto got = walk(
                        [&](const uint32_t* ids, std::size_t count, float* out) {
                            for (std::size_t i = 0; i < count; ++i) out[i] = kind.bound(exact(ids[i]), ids[i]);
                        },
                        scored);
                    ASSERT_EQ(got.size(), want.size());
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        ASSERT_EQ(got[i].node, want[i].node) << "entry " << i;
                        ASSERT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score));
                    }
                    if (kind.saves && ef == 5) {
                        EXPECT_LT(scored, all_scored);
                    }
                }
            }
        }
    }
}

TEST(HnswQuery, NanQueryStaysInBounds) {
    const Fixture f = make_fixture(150, Metric::L2, 3, 10);
    std::vector<float> raw = f.raw[0];
    raw[3] = std::numeric_limits<float>::quiet_NaN();
    const auto q = f.pipeline.transform_query(raw);
    for (uint64_t k : {1u, 10u, 200u}) {
        const auto r = f.graph.search(f.pipeline, q, k, std::nullopt, Metric::L2);
        EXPECT_GE(r.size(), 1u);
        EXPECT_LE(r.size(), std::min<uint64_t>(k, 150));
        for (const ScoredId& e : r) EXPECT_TRUE(e.id >= 1000 && e.id < 1150);
    }
    // Mixed NaN and ordinary scores: a query NaN in one coordinate only of
    // the transformed space.
    auto q2 = f.pipeline.transform_query(f.raw[1]);
    q2[0] = std::numeric_limits<float>::quiet_NaN();
    const auto r = f.graph.search(f.pipeline, q2, 20, std::nullopt, Metric::L2);
    EXPECT_LE(r.size(), 20u);
}

// NaN node scores (here: NaN norms under L2) rank below every number in the
// layer search and the top k: results stay sorted, NaN entries come last,
// and the numbers found are those the graph gives without the NaN nodes
// competing for places.
TEST(HnswQuery, NanScoresRankLast) {
    // Construction scores use the float vectors, not the norms, so the graph
    // is the one make_fixture builds; only every fifth stored norm is NaN.
    Fixture f{make_pipeline(12, Metric::L2, 16), Hnsw::create(4, 20, 8, 0), random_vectors(150, 12, 77)};
    f.graph.packed_bytes_per_vec = f.pipeline.packed_bytes_per_vec();
    for (std::size_t i = 0; i < 150; ++i) {
        auto code = f.pipeline.encode(f.raw[i]);
        const float norm = i % 5 == 0 ? std::numeric_limits<float>::quiet_NaN() : f.pipeline.compute_norm(code);
        f.graph.insert(std::move(code), norm, f.pipeline.transform_query(f.raw[i]), 1000 + i, Metric::L2);
    }
    for (std::size_t qi : {1u, 7u, 42u}) {
        const auto q = f.pipeline.transform_query(f.raw[qi]);
        for (uint64_t k : {1u, 10u, 150u}) {
            SCOPED_TRACE(testing::Message() << "query " << qi << " k " << k);
            const auto r = f.graph.search(f.pipeline, q, k, std::nullopt, Metric::L2);
            expect_same(r, reference_query(f, q, k, std::nullopt, Metric::L2));
            bool seen_nan = false;
            for (std::size_t i = 0; i < r.size(); ++i) {
                if (std::isnan(r[i].score)) {
                    seen_nan = true;
                } else {
                    EXPECT_FALSE(seen_nan) << "a number after a NaN at " << i;
                }
                if (i > 0 && !std::isnan(r[i].score)) {
                    EXPECT_GE(r[i - 1].score, r[i].score);
                }
            }
            // The query's own vector is not a NaN node and must be found.
            if (k >= 10) {
                bool found = false;
                for (const ScoredId& e : r) found = found || e.id == 1000 + qi;
                EXPECT_TRUE(found);
            }
        }
    }
}

// A graph whose links or levels come from a damaged file is not searched out
// of bounds: bad links are passed over, a huge max_level costs nothing.
TEST(HnswQuery, DamagedGraphStaysInBounds) {
    Fixture f = make_fixture(30, Metric::Dot);
    auto add_link = [&](uint32_t node, uint32_t target) {
        std::vector<uint32_t> list(f.graph.links(node, 0).begin(), f.graph.links(node, 0).end());
        list.push_back(target);
        f.graph.set_links(node, 0, list);
    };
    add_link(*f.graph.entry_point, 4000000000u);
    add_link(3, 30);
    f.graph.max_level = std::numeric_limits<uint64_t>::max();
    const auto q = f.pipeline.transform_query(f.raw[2]);
    const auto r = f.graph.search(f.pipeline, q, 40, std::nullopt, Metric::Dot);
    EXPECT_LE(r.size(), 30u);
    EXPECT_TRUE(f.graph.search_layer(f.pipeline, q, 30, 5, 0, Metric::Dot).empty());
    f.graph.entry_point = 31;
    EXPECT_TRUE(f.graph.search(f.pipeline, q, 3, std::nullopt, Metric::Dot).empty());
}

// Vectors added after a release, through restored construction vectors,
// are found like the others.
TEST(HnswQuery, InsertAfterRestoreIsSearchable) {
    Fixture f = make_fixture(80, Metric::Cosine, 4, 30);
    f.graph.release_vectors();
    ASSERT_FALSE(f.graph.has_all_vectors());
    f.graph.restore_vectors(f.pipeline, Metric::Cosine);
    ASSERT_TRUE(f.graph.has_all_vectors());
    ASSERT_EQ(f.graph.vector_dim(), f.pipeline.padded_dim());
    // The rebuilt vector of a node is what a query scores its code as (the
    // kernels sum in their own order, hence the tolerance).
    const auto probe = f.pipeline.transform_query(f.raw[0]);
    for (uint32_t v : {0u, 40u, 79u}) {
        const float d = Hnsw::construction_score(probe, f.graph.vector_of(v), Metric::Dot);
        const float s = f.pipeline.score(probe, f.graph.code(v));
        EXPECT_NEAR(d, s, 1e-4f * std::abs(s));
    }
    const auto extra = random_vectors(20, 12, 1234);
    for (std::size_t i = 0; i < extra.size(); ++i) {
        auto code = f.pipeline.encode(extra[i]);
        const float norm = f.pipeline.compute_norm(code);
        f.graph.insert(std::move(code), norm, f.pipeline.transform_query(extra[i]), 5000 + i, Metric::Cosine);
    }
    std::size_t found = 0;
    for (std::size_t i = 0; i < extra.size(); ++i) {
        const auto r = f.graph.search(f.pipeline, f.pipeline.transform_query(extra[i]), 3, std::nullopt, Metric::Cosine);
        for (const ScoredId& e : r) found += e.id == 5000 + i;
    }
    EXPECT_GE(found, 18u);
}

}  // namespace
}  // namespace kivo::search
