// Removal from an HNSW graph: recall after removing 10, 50 and 90 % of a
// clustered data set in random batches against a fresh graph of what
// remains, reachability of every remaining node on layer 0, the graph's
// invariants, the entry point rule, released construction vectors, and
// interleaved removals, upserts and additions.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>

#include "engine/engine.h"
#include "quantize/pipeline.h"
#include "persist_test_util.h"
#include "recall_util.h"

namespace kivo::engine {
namespace {

using search::Neighbour;

constexpr std::size_t kDim = 32;
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kVectors = 1500;
constexpr std::size_t kQueries = 60;
#else
constexpr std::size_t kVectors = 4000;
constexpr std::size_t kQueries = 150;
#endif
constexpr uint64_t kTop = 10;

struct Data {
    std::vector<std::vector<float>> vectors;
    std::vector<std::vector<float>> queries;
};

// Points around 40 centres with overlapping clouds.
Data make_data(uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<std::vector<float>> centres(40, std::vector<float>(kDim));
    for (auto& c : centres) for (float& x : c) x = g(rng);
    std::uniform_int_distribution<std::size_t> pick(0, centres.size() - 1);
    auto draw = [&] {
        const auto& c = centres[pick(rng)];
        std::vector<float> v(kDim);
        for (std::size_t i = 0; i < kDim; ++i) v[i] = c[i] + 0.9f * g(rng);
        return v;
    };
    Data d;
    for (std::size_t j = 0; j < kVectors; ++j) d.vectors.push_back(draw());
    for (std::size_t q = 0; q < kQueries; ++q) d.queries.push_back(draw());
    return d;
}

EngineConfig config(IndexType type, Metric metric = Metric::Cosine) {
    EngineConfig c;
    c.dim = kDim;
    c.bit_width = 4;
    c.n4_dims = kDim;
    c.metric = metric;
    c.index_type = type;
    c.hnsw_m = 8;
    c.hnsw_ef_construction = 64;
    // A narrow query search, so that recall stays below 1 and differences show.
    c.hnsw_ef_search = 12;
    return c;
}

Kivo make(IndexType type, const std::vector<uint64_t>& ids, const std::vector<std::vector<float>>& vectors,
          Metric metric = Metric::Cosine) {
    Kivo k = *Kivo::create(config(type, metric));
    EXPECT_TRUE(k.add(ids, vectors));
    return k;
}

// The graph's invariants, and every node reachable from the entry on layer 0.
void expect_sound_graph(const search::Hnsw& g) {
    ASSERT_FALSE(g.empty());
    ASSERT_TRUE(g.entry_point.has_value());
    const uint32_t entry = *g.entry_point;
    ASSERT_LT(entry, g.size());
    EXPECT_EQ(g.max_level, g.level(entry));
    for (uint32_t i = 0; i < g.size(); ++i) {
        EXPECT_LE(g.level(i), g.max_level);
        for (uint64_t l = 0; l <= g.level(i); ++l) {
            const auto links = g.links(i, l);
            EXPECT_LE(links.size(), g.layer_budget(l));
            std::set<uint32_t> distinct;
            for (uint32_t t : links) {
                ASSERT_LT(t, g.size());
                EXPECT_NE(t, i);
                EXPECT_GE(g.level(t), l);
                distinct.insert(t);
            }
            EXPECT_EQ(distinct.size(), links.size());
        }
    }
    std::vector<uint8_t> seen(g.size(), 0);
    std::vector<uint32_t> stack{entry};
    seen[entry] = 1;
    std::size_t reached = 1;
    while (!stack.empty()) {
        const uint32_t v = stack.back();
        stack.pop_back();
        for (uint32_t t : g.links(v, 0)) {
            if (!seen[t]) {
                seen[t] = 1;
                ++reached;
                stack.push_back(t);
            }
        }
    }
    EXPECT_EQ(reached, g.size());
}

struct Store {
    std::vector<uint64_t> ids;
    std::vector<std::vector<float>> vectors;

    void erase(const std::set<uint64_t>& gone) {
        Store kept;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (gone.count(ids[i])) continue;
            kept.ids.push_back(ids[i]);
            kept.vectors.push_back(vectors[i]);
        }
        *this = std::move(kept);
    }
};

// Removes `fraction` of the stored ids in random batches of random size.
void remove_in_batches(Kivo& index, Store& store, double fraction, std::mt19937& rng) {
    std::vector<uint64_t> order = store.ids;
    std::shuffle(order.begin(), order.end(), rng);
    order.resize(static_cast<std::size_t>(fraction * static_cast<double>(order.size())));
    std::size_t at = 0;
    std::uniform_int_distribution<std::size_t> size(1, std::max<std::size_t>(order.size() / 3, 1));
    while (at < order.size()) {
        const std::size_t take = std::min(order.size() - at, size(rng));
        const std::vector<uint64_t> batch(order.begin() + at, order.begin() + at + take);
        const auto removed = index.remove(batch);
        ASSERT_TRUE(removed);
        EXPECT_EQ(*removed, take);
        store.erase(std::set<uint64_t>(batch.begin(), batch.end()));
        at += take;
    }
}

std::vector<uint64_t> iota(std::size_t n, uint64_t first) {
    std::vector<uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = first + i;
    return ids;
}

// Recall@10 of `index` against brute force over the stored vectors, within
// 0.02 of a graph built afresh from them.
void expect_recall_of_a_fresh_graph(const Kivo& index, const Store& store, const Data& d, const std::string& label) {
    const Kivo exact = make(IndexType::BruteForce, store.ids, store.vectors);
    const Kivo fresh = make(IndexType::Hnsw, store.ids, store.vectors);
    const double after = testing::recall_against(index, exact, d.queries, kTop);
    const double reference = testing::recall_against(fresh, exact, d.queries, kTop);
    std::printf("%s: recall@10 %.4f, fresh graph %.4f\n", label.c_str(), after, reference);
    EXPECT_GE(after, reference - 0.02) << label;
}

class HnswRemoveFraction : public ::testing::TestWithParam<double> {};

TEST_P(HnswRemoveFraction, RecallMatchesAFreshGraphOfTheRemainingVectors) {
    const Data d = make_data(77);
    Store store{iota(kVectors, 0), d.vectors};
    Kivo index = make(IndexType::Hnsw, store.ids, store.vectors);
    std::mt19937 rng(static_cast<uint32_t>(GetParam() * 1000));
    remove_in_batches(index, store, GetParam(), rng);
    ASSERT_EQ(index.len(), store.ids.size());
    expect_sound_graph(*index.hnsw());

    expect_recall_of_a_fresh_graph(index, store, d, "removed " + std::to_string(static_cast<int>(100 * GetParam())) + " %");
}

INSTANTIATE_TEST_SUITE_P(Fractions, HnswRemoveFraction, ::testing::Values(0.1, 0.5, 0.9));

TEST(HnswRemove, InterleavedRemovalsUpsertsAndAdditions) {
    const Data d = make_data(91);
    const std::size_t start = kVectors / 2;
    Store store{iota(start, 0), {d.vectors.begin(), d.vectors.begin() + start}};
    Kivo index = make(IndexType::Hnsw, store.ids, store.vectors);
    std::mt19937 rng(5);
    std::size_t next = start;
    const std::size_t step = kVectors / 10;
    for (int round = 0; round < 5; ++round) {
        remove_in_batches(index, store, 0.2, rng);
        // Upsert a few stored ids with vectors not yet used.
        std::vector<uint64_t> up(store.ids.begin(), store.ids.begin() + 10);
        std::vector<std::vector<float>> vecs(d.vectors.begin() + next, d.vectors.begin() + next + 10);
        next += 10;
        ASSERT_TRUE(index.upsert(up, vecs));
        store.erase(std::set<uint64_t>(up.begin(), up.end()));
        store.ids.insert(store.ids.end(), up.begin(), up.end());
        store.vectors.insert(store.vectors.end(), vecs.begin(), vecs.end());
        // And add fresh ones.
        const std::size_t add = std::min(step, kVectors - next);
        const std::vector<uint64_t> ids = iota(add, 100000 + next);
        const std::vector<std::vector<float>> more(d.vectors.begin() + next, d.vectors.begin() + next + add);
        next += add;
        ASSERT_TRUE(index.add(ids, more));
        store.ids.insert(store.ids.end(), ids.begin(), ids.end());
        store.vectors.insert(store.vectors.end(), more.begin(), more.end());
        if (round == 2) {
            ASSERT_TRUE(index.build());  // release the construction vectors midway
        }
    }
    ASSERT_EQ(index.len(), store.ids.size());
    expect_sound_graph(*index.hnsw());
    expect_recall_of_a_fresh_graph(index, store, d, "interleaved");
}

// Released construction vectors stay released; the file written afterwards
// is an ordinary one that loads and answers identically, also under L2.
TEST(HnswRemove, AfterBuildAndThroughAFile) {
    const Data d = make_data(3);
    for (Metric metric : {Metric::Cosine, Metric::L2, Metric::Dot}) {
        Store store{iota(800, 10), {d.vectors.begin(), d.vectors.begin() + 800}};
        Kivo index = make(IndexType::Hnsw, store.ids, store.vectors, metric);
        ASSERT_TRUE(index.build());
        std::vector<uint64_t> batch;
        for (uint64_t id = 10; id < 810; id += 3) batch.push_back(id);
        ASSERT_TRUE(index.remove(batch));
        store.erase(std::set<uint64_t>(batch.begin(), batch.end()));
        EXPECT_EQ(index.hnsw()->vector_count(), 0u);
        expect_sound_graph(*index.hnsw());

        testing::ScratchDir dir;
        ASSERT_TRUE(index.save(dir.file("g.kivo")));
        auto loaded = Kivo::load(dir.file("g.kivo"));
        ASSERT_TRUE(loaded) << loaded.error().message();
        EXPECT_EQ(loaded->len(), store.ids.size());
        const std::set<uint64_t> gone(batch.begin(), batch.end());
        for (const auto& q : d.queries) {
            const auto a = index.search(q, kTop, std::nullopt);
            const auto b = loaded->search(q, kTop, std::nullopt);
            ASSERT_TRUE(a && b);
            EXPECT_EQ(*a, *b);
            for (const auto& e : *a) EXPECT_EQ(gone.count(e.id), 0u);
        }
        // Removing from the loaded graph (no construction vectors at all).
        ASSERT_TRUE(loaded->remove(std::vector<uint64_t>(store.ids.begin(), store.ids.begin() + 100)));
        expect_sound_graph(*loaded->hnsw());
    }
}

// The entry point stays when it remains; a removed one is replaced by the
// remaining node of the highest level, the lowest index among equals.
TEST(HnswRemove, EntryPointRule) {
    const Data d = make_data(8);
    Kivo index = make(IndexType::Hnsw, iota(600, 0), {d.vectors.begin(), d.vectors.begin() + 600});
    for (int round = 0; round < 3; ++round) {
        const auto& g = *index.hnsw();
        const uint32_t entry = *g.entry_point;
        const uint64_t entry_id = g.id(entry);
        // A node that is not the entry goes first: the entry stays.
        const uint64_t other = g.id(entry == 0 ? 1 : 0);
        ASSERT_EQ(*index.remove(std::vector<uint64_t>{other}), 1u);
        EXPECT_EQ(index.hnsw()->id(*index.hnsw()->entry_point), entry_id);
        // Then the entry itself.
        ASSERT_EQ(*index.remove(std::vector<uint64_t>{entry_id}), 1u);
        const auto& h = *index.hnsw();
        uint32_t expected = 0;
        for (uint32_t i = 0; i < h.size(); ++i) {
            if (h.level(i) > h.level(expected)) expected = i;
        }
        EXPECT_EQ(*h.entry_point, expected);
        expect_sound_graph(h);
    }
}

// A hand-built graph (m = 1: two links on layer 0) in which node 4 is linked
// to only by the removed node 1, and node 0's relinking prefers 2 and 3 to
// it: the reachability repair links 4 from the reached node nearest to it (3,
// whose list is full), in place of 3's weakest link.
TEST(HnswRemove, ReconnectsANodeThatOnlyTheRemovedNodeLinkedTo) {
    const std::vector<std::vector<float>> vs = {{1.0f, 0.0f}, {0.5f, 0.5f}, {0.9f, 0.1f}, {0.8f, -0.1f}, {-1.0f, 0.0f}};
    const std::vector<std::vector<Neighbour>> layer0 = {
        {{1, 0.5f}, {2, 0.9f}}, {{4, -0.5f}, {3, 0.35f}}, {{0, 0.9f}, {3, 0.71f}}, {{0, 0.8f}, {2, 0.71f}}, {{0, -1.0f}}};
    search::Hnsw g = search::Hnsw::create(1, 8, 2, 1);
    for (std::size_t i = 0; i < vs.size(); ++i) {
        search::HnswNode node;
        node.codes = {0};
        node.id = 100 + i;
        node.neighbours = {layer0[i]};
        g.append_record(node);
        g.push_vector(vs[i]);
    }
    g.entry_point = 0;
    g.max_level = 0;
    ASSERT_TRUE(g.has_all_vectors());
    const auto pipeline = *quantize::QuantPipeline::create(config(IndexType::Hnsw, Metric::Dot));
    EXPECT_EQ(g.remove(search::Allowlist::create(std::vector<uint64_t>{101}), pipeline, Metric::Dot), 1u);
    // Nodes 2, 3, 4 are now 1, 2, 3.
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ(g.id(3), 104u);
    EXPECT_EQ(std::vector<uint32_t>(g.links(0, 0).begin(), g.links(0, 0).end()), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(std::vector<uint32_t>(g.links(2, 0).begin(), g.links(2, 0).end()), (std::vector<uint32_t>{0, 3}));
    EXPECT_EQ(std::vector<uint32_t>(g.links(3, 0).begin(), g.links(3, 0).end()), (std::vector<uint32_t>{0}));
    expect_sound_graph(g);
}

// Removal keeps what the remaining nodes carry (ids, codes, norms, levels,
// upper-layer lists) under their new indexes, whatever their position.
TEST(HnswRemove, RemainingNodesKeepTheirData) {
    const Data d = make_data(12);
    Kivo index = make(IndexType::Hnsw, iota(700, 0), {d.vectors.begin(), d.vectors.begin() + 700});
    struct Saved {
        search::HnswNode node;
        std::vector<float> vector;
    };
    std::vector<Saved> before;
    for (uint32_t i = 0; i < index.hnsw()->size(); ++i) {
        const auto v = index.hnsw()->vector_of(i);
        before.push_back({index.hnsw()->record(i), {v.begin(), v.end()}});
    }
    std::vector<uint64_t> gone;
    for (uint64_t id = 0; id < 700; id += 7) gone.push_back(id);
    gone.push_back(699);
    ASSERT_EQ(*index.remove(gone), gone.size());
    const search::Hnsw& after = *index.hnsw();
    const std::set<uint64_t> removed(gone.begin(), gone.end());
    uint32_t j = 0;
    for (const Saved& b : before) {
        if (removed.count(b.node.id)) continue;
        ASSERT_LT(j, after.size());
        EXPECT_EQ(after.id(j), b.node.id);
        EXPECT_EQ(after.norm(j), b.node.norm);
        EXPECT_EQ(after.level(j), b.node.level());
        EXPECT_TRUE(std::ranges::equal(after.code(j), b.node.codes));
        EXPECT_TRUE(std::ranges::equal(after.vector_of(j), b.vector));
        ++j;
    }
    EXPECT_EQ(j, after.size());
    expect_sound_graph(after);
}

}  // namespace
}  // namespace kivo::engine
