// HNSW construction: level draw and its cap, linking, pruning, entry point,
// construction-side layer search, restore of released vectors, and the
// multi-row dot kernels behind construction scores.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "config.h"
#include "hnsw_reference.h"
#include "quantize/tables.h"
#include "search/hnsw.h"
#include "simd/dispatch.h"
#include "simd/dot_rows.h"

namespace kivo::search {
namespace {

using vocab::Metric;

std::vector<std::vector<float>> random_vectors(std::size_t count, std::size_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<std::vector<float>> out(count, std::vector<float>(dim));
    for (auto& v : out) {
        for (float& x : v) x = normal(rng);
    }
    return out;
}

// Coordinates in {-1, 0, 1}: many exactly equal scores, so every tie rule
// (stable sorts, node-index order of the heap) decides links.
std::vector<std::vector<float>> tied_vectors(std::size_t count, std::size_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::vector<float>> out(count, std::vector<float>(dim));
    for (auto& v : out) {
        for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 3) - 1);
    }
    return out;
}

Hnsw build(const std::vector<std::vector<float>>& vs, uint64_t m, uint64_t efc, Metric metric,
           vocab::HnswSelection selection = vocab::HnswSelection::Closest) {
    Hnsw g = Hnsw::create(m, efc, 2 * m, 1, selection);
    for (std::size_t i = 0; i < vs.size(); ++i) g.insert(std::vector<uint8_t>{static_cast<uint8_t>(i)}, 1.0f, vs[i], 1000 + i, metric);
    return g;
}

reference::Graph build_reference(const std::vector<std::vector<float>>& vs, uint64_t m, uint64_t efc, Metric metric,
                                 vocab::HnswSelection selection = vocab::HnswSelection::Closest) {
    reference::Graph g = reference::make_graph(m, efc, selection);
    for (std::size_t i = 0; i < vs.size(); ++i) {
        reference::insert(g, {static_cast<uint8_t>(i)}, 1.0f, vs[i], 1000 + i, metric);
    }
    return g;
}

std::vector<float> as_vector(std::span<const float> v) { return {v.begin(), v.end()}; }

using reference::records;

void expect_same_graph(const Hnsw& g, const reference::Graph& b) {
    const std::vector<HnswNode> a = records(g);
    ASSERT_EQ(a.size(), b.nodes.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].neighbours.size(), b.nodes[i].neighbours.size()) << "node " << i;
        for (std::size_t l = 0; l < a[i].neighbours.size(); ++l) {
            const auto& x = a[i].neighbours[l];
            const auto& y = b.nodes[i].neighbours[l];
            ASSERT_EQ(x.size(), y.size()) << "node " << i << " layer " << l;
            for (std::size_t j = 0; j < x.size(); ++j) {
                EXPECT_EQ(x[j].node, y[j].node) << "node " << i << " layer " << l << " link " << j;
                EXPECT_EQ(std::bit_cast<uint32_t>(x[j].score), std::bit_cast<uint32_t>(y[j].score));
            }
        }
    }
    EXPECT_EQ(g.entry_point, b.entry_point);
    EXPECT_EQ(g.max_level, b.max_level);
}

TEST(HnswLevel, DefaultMultiplierSequence) {
    const double mult = vocab::level_multiplier(32);
    struct Case {
        uint64_t node;
        uint64_t level;
    };
    const Case cases[] = {{22, 1}, {51, 1}, {80, 1}, {109, 1}};
    for (const Case& c : cases) EXPECT_EQ(Hnsw::draw_level(c.node, mult), c.level) << "node " << c.node;
    // Every other node up to 109 stays on layer 0.
    for (uint64_t n = 0; n <= 109; ++n) {
        if (n == 22 || n == 51 || n == 80 || n == 109) continue;
        EXPECT_EQ(Hnsw::draw_level(n, mult), 0u) << "node " << n;
    }
}

TEST(HnswLevel, CappedAt254) {
    // m = 0 and m = 1 give a multiplier of 1e9: nearly every draw saturates.
    for (uint64_t m : {0u, 1u}) {
        const double mult = vocab::level_multiplier(m);
        uint64_t capped = 0;
        for (uint64_t n = 0; n < 1000; ++n) {
            const uint64_t level = Hnsw::draw_level(n, mult);
            EXPECT_LE(level, Hnsw::kMaxLevel);
            capped += level == Hnsw::kMaxLevel;
        }
        EXPECT_GT(capped, 900u) << "m " << m;
    }
    EXPECT_EQ(Hnsw::draw_level(0, std::numeric_limits<double>::infinity()), Hnsw::kMaxLevel);
    EXPECT_EQ(Hnsw::draw_level(7, 0.0), 0u);
    EXPECT_EQ(Hnsw::draw_level(7, std::numeric_limits<double>::quiet_NaN()), 0u);
}

TEST(HnswLevel, TinyMBuildsAUsableGraph) {
    const auto vs = random_vectors(40, 8, 5);
    for (uint64_t m : {0u, 1u}) {
        Hnsw g = build(vs, m, 10, Metric::Dot);
        ASSERT_EQ(g.size(), vs.size());
        EXPECT_LE(g.max_level, Hnsw::kMaxLevel);
        for (const HnswNode& node : records(g)) {
            EXPECT_LE(node.neighbours.size(), Hnsw::kMaxLevel + 1);
            for (std::size_t l = 0; l < node.neighbours.size(); ++l) {
                EXPECT_LE(node.neighbours[l].size(), g.layer_budget(l));
            }
        }
        const auto r = g.search_layer_build(vs[3], *g.entry_point, 5, 0, Metric::Dot);
        EXPECT_FALSE(r.empty());
        expect_same_graph(g, build_reference(vs, m, 10, Metric::Dot));
    }
}

TEST(HnswInsert, FirstNodeIsEntryWithoutLinks) {
    Hnsw g = Hnsw::create(32, 200, 64, 2);
    g.insert(std::vector<uint8_t>{1, 2}, 0.5f, std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f}, 77, Metric::Cosine);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g.entry_point, std::optional<uint32_t>(0));
    EXPECT_EQ(g.max_level, Hnsw::draw_level(0, g.level_mult));
    const HnswNode node = g.record(0);
    for (const auto& list : node.neighbours) EXPECT_TRUE(list.empty());
    EXPECT_EQ(node.id, 77u);
    EXPECT_EQ(node.norm, 0.5f);
    EXPECT_EQ(node.codes, (std::vector<uint8_t>{1, 2}));
    EXPECT_TRUE(g.has_all_vectors());
}

TEST(HnswInsert, SecondNodeLinksBothWaysWithTheSameScore) {
    // m = 1 draws level 254 for both nodes (255 shared layers); m = 2 draws
    // levels 1 and 0; m = 32 levels 0 and 0.
    for (uint64_t m : {1u, 2u, 32u}) {
        Hnsw g = Hnsw::create(m, 10, 2 * m, 1);
        const std::vector<float> a{0.5f, -1.0f, 2.0f}, b{1.5f, 0.25f, -0.75f};
        g.insert(std::vector<uint8_t>{0}, 1.0f, a, 1, Metric::L2);
        g.insert(std::vector<uint8_t>{0}, 1.0f, b, 2, Metric::L2);
        const auto nodes = records(g);
        const uint64_t shared = std::min(nodes[0].level(), nodes[1].level());
        if (m == 1) {
            EXPECT_EQ(shared, Hnsw::kMaxLevel);
        }
        const float s = reference::construction_score(b, a, Metric::L2);
        for (uint64_t l = 0; l <= shared; ++l) {
            ASSERT_EQ(nodes[1].neighbours[l], (std::vector<Neighbour>{{0, s}})) << "m " << m << " layer " << l;
            ASSERT_EQ(nodes[0].neighbours[l], (std::vector<Neighbour>{{1, s}})) << "m " << m << " layer " << l;
        }
        for (uint64_t l = shared + 1; l < nodes[1].neighbours.size(); ++l) EXPECT_TRUE(nodes[1].neighbours[l].empty());
        for (uint64_t l = shared + 1; l < nodes[0].neighbours.size(); ++l) EXPECT_TRUE(nodes[0].neighbours[l].empty());
    }
}

TEST(HnswInsert, L2ReverseLinkKeepsTheNewNodesScore) {
    Hnsw g = Hnsw::create(32, 10, 64, 1);
    const std::vector<float> a{1.0f, 0.0f}, b{3.0f, 4.0f};
    g.insert(std::vector<uint8_t>{0}, 1.0f, a, 1, Metric::L2);
    g.insert(std::vector<uint8_t>{0}, 1.0f, b, 2, Metric::L2);
    const float seen_from_b = 3.0f - 0.5f * 1.0f;   // dot - |a|^2 / 2
    const float seen_from_a = 3.0f - 0.5f * 25.0f;  // what a recomputed score would be
    EXPECT_EQ(g.record(1).neighbours[0], (std::vector<Neighbour>{{0, seen_from_b}}));
    EXPECT_EQ(g.record(0).neighbours[0], (std::vector<Neighbour>{{1, seen_from_b}}));
    EXPECT_NE(seen_from_a, seen_from_b);
}

struct GraphCase {
    uint64_t m;
    uint64_t efc;
    Metric metric;
    std::size_t count;
    std::size_t dim;
    bool ties = false;
};

class HnswGraphTest : public ::testing::TestWithParam<GraphCase> {};

// The graph equals the one built by the plain restatement, link for link and
// score for score, under either selection rule, and keeps every structural
// invariant.
TEST_P(HnswGraphTest, MatchesReferenceAndKeepsInvariants) {
  for (auto selection : {vocab::HnswSelection::Closest, vocab::HnswSelection::Diverse}) {
    SCOPED_TRACE(std::string(vocab::hnsw_selection_name(selection)));
    const GraphCase c = GetParam();
    const uint32_t seed = static_cast<uint32_t>(c.m * 131 + c.efc);
    const auto vs = c.ties ? tied_vectors(c.count, c.dim, seed) : random_vectors(c.count, c.dim, seed);
    const Hnsw g = build(vs, c.m, c.efc, c.metric, selection);
    expect_same_graph(g, build_reference(vs, c.m, c.efc, c.metric, selection));

    uint64_t top = 0;
    const std::vector<HnswNode> nodes = records(g);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const HnswNode& node = nodes[i];
        top = std::max(top, node.level());
        for (std::size_t l = 0; l < node.neighbours.size(); ++l) {
            const auto& list = node.neighbours[l];
            EXPECT_LE(list.size(), g.layer_budget(l));
            std::set<uint32_t> seen;
            for (const Neighbour& link : list) {
                ASSERT_LT(link.node, nodes.size());
                EXPECT_NE(link.node, i);
                EXPECT_GE(nodes[link.node].level(), l);
                EXPECT_TRUE(seen.insert(link.node).second);
            }
        }
    }
    EXPECT_EQ(g.max_level, top);
    EXPECT_EQ(g.level(*g.entry_point), top);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HnswGraphTest,
                         ::testing::Values(GraphCase{2, 8, Metric::Dot, 300, 5},
                                           GraphCase{3, 20, Metric::L2, 300, 7},
                                           GraphCase{4, 3, Metric::Cosine, 250, 16},
                                           GraphCase{8, 40, Metric::Cosine, 400, 33},
                                           GraphCase{16, 1, Metric::L2, 200, 4},
                                           GraphCase{32, 200, Metric::Dot, 300, 24},
                                           GraphCase{3, 10, Metric::Dot, 300, 3, true},
                                           GraphCase{4, 25, Metric::L2, 300, 4, true},
                                           GraphCase{8, 6, Metric::Cosine, 300, 2, true},
                                           GraphCase{16, 60, Metric::L2, 700, 64},
                                           GraphCase{12, 40, Metric::Cosine, 600, 48, true}));

TEST(HnswInsert, SameInputsSameGraph) {
    const auto vs = random_vectors(300, 12, 9);
    const Hnsw a = build(vs, 5, 30, Metric::Cosine);
    const Hnsw b = build(vs, 5, 30, Metric::Cosine);
    EXPECT_EQ(records(a), records(b));
    EXPECT_EQ(a.entry_point, b.entry_point);
    EXPECT_EQ(a.max_level, b.max_level);
}

TEST(HnswInsert, EntryPointMovesOnlyOnAStrictlyHigherLevel) {
    const auto vs = random_vectors(200, 4, 3);
    Hnsw g = Hnsw::create(3, 10, 6, 1);
    uint32_t expected_entry = 0;
    uint64_t expected_level = 0;
    for (std::size_t i = 0; i < vs.size(); ++i) {
        const uint64_t level = Hnsw::draw_level(i, g.level_mult);
        if (i == 0 || level > expected_level) {
            expected_entry = static_cast<uint32_t>(i);
            expected_level = level;
        }
        g.insert(std::vector<uint8_t>{0}, 1.0f, vs[i], i, Metric::Dot);
        ASSERT_EQ(g.entry_point, std::optional<uint32_t>(expected_entry)) << "after node " << i;
        ASSERT_EQ(g.max_level, expected_level);
    }
    // The sequence must have offered a tie for the test to mean anything.
    uint64_t ties = 0;
    for (std::size_t i = 1; i < vs.size(); ++i) ties += Hnsw::draw_level(i, g.level_mult) == g.max_level;
    EXPECT_GT(ties, 0u);
}

TEST(HnswInsert, SmallEfConstructionLimitsNewLinks) {
    const auto vs = random_vectors(120, 6, 4);
    for (uint64_t efc : {0u, 1u, 3u}) {
        Hnsw g = Hnsw::create(8, efc, 16, 1);
        for (std::size_t i = 0; i < vs.size(); ++i) {
            g.insert(std::vector<uint8_t>{0}, 1.0f, vs[i], i, Metric::Dot);
            const HnswNode fresh = g.record(static_cast<uint32_t>(i));
            for (const auto& list : fresh.neighbours) {
                // ef 0 keeps at most the entry node of each layer search.
                EXPECT_LE(list.size(), std::max<uint64_t>(efc, 1)) << "efc " << efc << " node " << i;
            }
            if (i > 0 && efc > 0) {
                EXPECT_FALSE(fresh.neighbours[0].empty());
            }
        }
    }
}

TEST(HnswInsert, NanVectorsStayWithinBounds) {
    auto vs = random_vectors(150, 8, 6);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t i = 0; i < vs.size(); i += 3) vs[i][i % 8] = nan;
    vs[10].assign(8, nan);
    Hnsw g = build(vs, 3, 12, Metric::L2, vocab::HnswSelection::Diverse);
    for (const HnswNode& node : records(g)) {
        for (std::size_t l = 0; l < node.neighbours.size(); ++l) {
            EXPECT_LE(node.neighbours[l].size(), g.layer_budget(l));
            for (const Neighbour& link : node.neighbours[l]) EXPECT_LT(link.node, g.size());
        }
    }
    const auto r = g.search_layer_build(vs[10], *g.entry_point, 20, 0, Metric::L2);
    EXPECT_LE(r.size(), 20u);
}

// A hand-built two-layer graph, searched with many ef values against the
// plain restatement.
TEST(HnswSearchLayerBuild, MatchesReferenceOnHandBuiltGraph) {
    const auto vs = random_vectors(12, 3, 11);
    Hnsw g = Hnsw::create(4, 10, 8, 1);
    const std::vector<std::vector<uint32_t>> layer0 = {{1, 2, 3}, {0, 4, 5}, {0, 6}, {0, 7, 8}, {1, 9},
                                                       {1, 10},   {2, 11},   {3},    {3, 9},    {4, 8},
                                                       {5, 11},   {6, 10}};
    for (std::size_t i = 0; i < vs.size(); ++i) {
        HnswNode node;
        node.codes = {0};
        node.neighbours.resize(i % 4 == 0 ? 2 : 1);
        for (uint32_t t : layer0[i]) node.neighbours[0].push_back({t, 0.0f});
        if (i % 4 == 0) {
            for (uint32_t t : {0u, 4u, 8u}) {
                if (t != i) node.neighbours[1].push_back({t, 0.0f});
            }
        }
        g.append_record(node);
        g.push_vector(vs[i]);
    }
    g.entry_point = 0;
    g.max_level = 1;
    reference::Graph plain = reference::make_graph(4, 10, vocab::HnswSelection::Closest);
    plain.nodes = records(g);
    plain.vectors = vs;
    const auto queries = random_vectors(6, 3, 12);
    for (Metric metric : {Metric::Dot, Metric::L2}) {
        for (const auto& q : queries) {
            for (uint32_t entry : {0u, 5u, 11u}) {
                for (uint64_t ef : {0u, 1u, 2u, 3u, 5u, 12u, 100u}) {
                    for (uint64_t layer : {0u, 1u}) {
                        const auto got = g.search_layer_build(q, entry, ef, layer, metric);
                        const auto want = reference::search_layer_build(plain, q, entry, ef, layer, metric);
                        ASSERT_EQ(got.size(), want.size()) << "ef " << ef << " entry " << entry;
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

TEST(HnswRestore, DequantizeMixedCode) {
    // padded_dim 8: four 4-bit slots (2 bytes) then four 2-bit slots (1 byte).
    const std::vector<uint8_t> code{0x1F, 0x80, 0xE4};
    const auto v = Hnsw::dequantize(code, 8, 4);
    using quantize::CENTROIDS_2BIT;
    using quantize::CENTROIDS_4BIT;
    const std::vector<float> want{CENTROIDS_4BIT[15], CENTROIDS_4BIT[1], CENTROIDS_4BIT[0], CENTROIDS_4BIT[8],
                                  CENTROIDS_2BIT[0],  CENTROIDS_2BIT[1], CENTROIDS_2BIT[2], CENTROIDS_2BIT[3]};
    EXPECT_EQ(v, want);
    // A code shorter than its layout reads as zeros, never past its end.
    EXPECT_EQ(Hnsw::dequantize(std::vector<uint8_t>{0x1F}, 8, 4),
              (std::vector<float>{CENTROIDS_4BIT[15], CENTROIDS_4BIT[1], 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Hnsw::dequantize(std::vector<uint8_t>{0xE4}, 4, 0),
              (std::vector<float>{CENTROIDS_2BIT[0], CENTROIDS_2BIT[1], CENTROIDS_2BIT[2], CENTROIDS_2BIT[3]}));
}

TEST(HnswRestore, InsertAfterReleaseUsesRebuiltVectors) {
    const auto vs = random_vectors(60, 8, 21);
    std::mt19937 rng(3);
    // padded_dim 8, n4_dims 4: 3 bytes
    Hnsw g = Hnsw::create(4, 16, 8, 3, vocab::HnswSelection::Closest);
    std::vector<std::vector<uint8_t>> codes;
    for (std::size_t i = 0; i < vs.size(); ++i) {
        codes.push_back({static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())});
        g.insert(codes.back(), 1.0f, i < 40 ? vs[i] : Hnsw::dequantize(codes.back(), 8, 4), i, Metric::L2);
        if (i == 39) {
            g.release_vectors();
            EXPECT_FALSE(g.has_all_vectors());
            EXPECT_EQ(g.vector_count(), 0u);
            EXPECT_FALSE(g.has_scores());
            g.restore_vectors(8, 4, Metric::L2);
            ASSERT_TRUE(g.has_all_vectors());
            for (uint32_t j = 0; j < g.size(); ++j) {
                EXPECT_EQ(as_vector(g.vector_of(j)), Hnsw::dequantize(codes[j], 8, 4));
            }
        }
    }
    // The same graph as a reference that, at node 40, swaps every vector for
    // its dequantized code and rescores every link from its list's owner.
    reference::Graph ref = reference::make_graph(4, 16, vocab::HnswSelection::Closest);
    for (std::size_t i = 0; i < vs.size(); ++i) {
        reference::insert(ref, codes[i], 1.0f, i < 40 ? vs[i] : Hnsw::dequantize(codes[i], 8, 4), i, Metric::L2);
        if (i == 39) {
            for (std::size_t j = 0; j < ref.nodes.size(); ++j) ref.vectors[j] = Hnsw::dequantize(codes[j], 8, 4);
            for (std::size_t j = 0; j < ref.nodes.size(); ++j) {
                for (auto& list : ref.nodes[j].neighbours) {
                    for (Neighbour& link : list) {
                        link.score = reference::construction_score(ref.vectors[j], ref.vectors[link.node], Metric::L2);
                    }
                }
            }
        }
    }
    expect_same_graph(g, ref);
    // New nodes keep their exact vectors; a second restore changes nothing.
    std::vector<std::vector<float>> before;
    for (uint32_t j = 0; j < g.size(); ++j) before.push_back(as_vector(g.vector_of(j)));
    const auto links_before = records(g);
    g.restore_vectors(8, 4, Metric::L2);
    for (uint32_t j = 0; j < g.size(); ++j) EXPECT_EQ(as_vector(g.vector_of(j)), before[j]);
    EXPECT_EQ(records(g), links_before);
}

TEST(HnswRestore, RestoreKeepsExactVectorsAndFillsMissingOnes) {
    const auto vs = random_vectors(10, 4, 2);
    const std::vector<uint8_t> code{0x21, 0x43};
    const auto centroids = Hnsw::dequantize(code, 4, 4);
    Hnsw g = Hnsw::create(4, 16, 8, 2);
    for (std::size_t i = 0; i < vs.size(); ++i) g.insert(code, 1.0f, vs[i], i, Metric::Dot);
    g.truncate_vectors(6);  // nodes 6-9 lost their vectors
    EXPECT_FALSE(g.has_all_vectors());
    g.restore_vectors(4, 4, Metric::Dot);
    ASSERT_TRUE(g.has_all_vectors());
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(as_vector(g.vector_of(i)), vs[i]);
    for (std::size_t i = 6; i < 10; ++i) EXPECT_EQ(as_vector(g.vector_of(i)), centroids);
    // Vectors of another length than the codes' space are all rebuilt.
    g.restore_vectors(8, 8, Metric::Dot);
    ASSERT_TRUE(g.has_all_vectors());
    EXPECT_EQ(g.vector_dim(), 8u);
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(as_vector(g.vector_of(i)), Hnsw::dequantize(code, 8, 8));
}

// Insertion without restore_vectors() (the engine always restores) reads no
// missing vector: the node is kept, unlinked, until a restore.
TEST(HnswRestore, InsertWithoutRestoreReadsNoMissingVector) {
    const auto vs = random_vectors(30, 4, 8);
    const std::vector<uint8_t> code{0x21, 0x43};
    Hnsw g = Hnsw::create(4, 16, 8, 2);
    for (std::size_t i = 0; i < 20; ++i) g.insert(code, 1.0f, vs[i], i, Metric::L2);
    g.release_vectors();
    for (std::size_t i = 20; i < 30; ++i) g.insert(code, 1.0f, vs[i], i, Metric::L2);
    EXPECT_EQ(g.size(), 30u);
    EXPECT_EQ(g.vector_count(), 0u);
    EXPECT_TRUE(g.links(25, 0).empty());
    EXPECT_TRUE(g.search_layer_build(vs[0], 0, 10, 0, Metric::L2).empty());
    g.restore_vectors(4, 4, Metric::L2);
    EXPECT_TRUE(g.has_all_vectors());
    g.insert(code, 1.0f, vs[0], 99, Metric::L2);
    EXPECT_FALSE(g.links(30, 0).empty());
}

// Every kernel variant the processor offers gives the scalar sum bit for
// bit, for row counts around the lane widths and lengths off multiples of 4.
TEST(DotRows, VariantsMatchTheScalarSum) {
    std::mt19937 rng(17);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    const uint32_t features = simd::features();
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), 1e-40f, -0.0f, 3e38f};
    for (std::size_t len : {0u, 1u, 3u, 4u, 7u, 16u, 33u, 512u}) {
        std::vector<std::vector<float>> data(70, std::vector<float>(len));
        for (auto& row : data) {
            for (float& x : row) x = normal(rng) * (rng() % 4 == 0 ? 1e-3f : 10.0f);
        }
        std::vector<float> q(len);
        for (float& x : q) x = normal(rng);
        if (len > 5) {
            data[3][2] = specials[0];
            data[9][1] = specials[1];
            data[20][4] = specials[3];
            data[40][0] = specials[5];
            q[len - 1] = specials[4];
        }
        for (std::size_t count : {1u, 2u, 4u, 5u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 70u}) {
            std::vector<const float*> rows;
            for (std::size_t r = 0; r < count; ++r) rows.push_back(data[(r * 7) % data.size()].data());
            std::vector<float> want(count);
            for (std::size_t r = 0; r < count; ++r) {
                want[r] = Hnsw::construction_score(q, std::span<const float>(rows[r], len), Metric::Dot);
            }
            auto check = [&](const char* name, auto fn) {
                std::vector<float> got(count, 123.0f);
                fn(q.data(), len, rows.data(), count, got.data());
                for (std::size_t r = 0; r < count; ++r) {
                    ASSERT_EQ(std::bit_cast<uint32_t>(got[r]), std::bit_cast<uint32_t>(want[r]))
                        << name << " len " << len << " count " << count << " row " << r;
                }
            };
            check("portable", simd::dot_rows_portable);
            if ((features & (simd::kAvx2 | simd::kFma)) == (simd::kAvx2 | simd::kFma)) {
                check("avx2", simd::avx2::dot_rows);
            }
            check("dispatch", [&](const float* a, std::size_t b, const float* const* c, std::size_t d, float* e) {
                simd::dot_rows(a, b, c, d, e, features);
            });
        }
    }
}

TEST(ConstructionScore, DefinedOrderAndL2Term) {
    // -0.0 start: an all-zero product sum keeps its sign.
    const std::vector<float> zero{0.0f, 0.0f};
    const std::vector<float> neg{-1.0f, -1.0f};
    EXPECT_TRUE(std::signbit(Hnsw::construction_score(zero, neg, Metric::Dot)));
    EXPECT_TRUE(std::signbit(Hnsw::construction_score({}, {}, Metric::Cosine)));
    // Index order: (1e8 + 1) - 1e8 rounds away the 1 in float32.
    const std::vector<float> q{1.0f, 1.0f, 1.0f};
    EXPECT_EQ(Hnsw::construction_score(q, std::vector<float>{1e8f, 1.0f, -1e8f}, Metric::Dot), 0.0f);
    EXPECT_EQ(Hnsw::construction_score(q, std::vector<float>{1e8f, -1e8f, 1.0f}, Metric::Dot), 1.0f);
    // Shorter query: the product sum stops, the l2 term covers all of x.
    EXPECT_EQ(Hnsw::construction_score(std::vector<float>{2.0f}, std::vector<float>{1.0f, 3.0f}, Metric::L2),
              2.0f - 0.5f * 10.0f);
}

}  // namespace
}  // namespace kivo::search

namespace kivo::search {
namespace {

// Rows of 65,536 floats (a 62,237-dimensional index) take chunks of 32 rows
// (8 MiB), not 4,096 (1 GiB for the first row); rows keep their values
// through chunk boundaries, removal and truncation.
TEST(RowStore, LongRowsTakeSmallChunks) {
    for (const uint64_t dim : {uint64_t{512}, uint64_t{65536}}) {
        RowStore store;
        store.reset(dim);
        std::vector<float> row(dim);
        const std::size_t rows = dim == 512 ? 5000 : 100;
        for (std::size_t i = 0; i < rows; ++i) {
            row[0] = static_cast<float>(i);
            row[dim - 1] = -static_cast<float>(i);
            store.push_back(row);
        }
        const std::size_t chunk_bytes = std::size_t{8} << 20;
        const std::size_t chunks = store.bytes() / chunk_bytes;  // plus the chunk table
        EXPECT_EQ(chunks, dim == 512 ? 2u : 4u) << "dim " << dim << ": " << store.bytes() << " bytes";

        std::vector<uint8_t> gone(rows, 0);
        for (std::size_t i = 0; i < rows; i += 3) gone[i] = 1;
        store.erase_rows(gone);
        std::size_t at = 0;
        for (std::size_t i = 0; i < rows; ++i) {
            if (gone[i]) continue;
            ASSERT_EQ(store.row(at)[0], static_cast<float>(i)) << "dim " << dim << " row " << at;
            ASSERT_EQ(store.row(at)[dim - 1], -static_cast<float>(i));
            ++at;
        }
        EXPECT_EQ(store.size(), at);
        store.truncate(10);
        EXPECT_EQ(store.row(9)[0], 14.0f);  // kept: 1, 2, 4, 5, 7, 8, 10, 11, 13, 14
    }
}

}  // namespace
}  // namespace kivo::search
