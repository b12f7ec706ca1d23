// Removal and replacement of stored vectors: remove and upsert for the
// brute-force and IVF-Flat indexes, their counts with repeated ids, the
// order of what remains, the memory given back, refused input and files
// written afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <ranges>
#include <set>

#include "engine/engine.h"
#include "engine_fixture.h"
#include "persist_test_util.h"

namespace kivo::engine {
namespace {

using search::ScoredId;
using testing::make;

struct Mode {
    const char* name;
    Metric metric;
    uint8_t bits;
    bool mixed;
};

constexpr Mode kModes[] = {
    {"cosine4", Metric::Cosine, 4, false}, {"dot2", Metric::Dot, 2, false},
    {"l2mixed", Metric::L2, 4, true},      {"cosine2", Metric::Cosine, 2, false},
    {"dot_mixed", Metric::Dot, 2, true},   {"l2_4", Metric::L2, 4, false},
};

constexpr uint64_t kDim = 24;  // padded to 32

EngineConfig make_config(IndexType type, const Mode& mode) {
    EngineConfig c;
    c.dim = kDim;
    c.bit_width = mode.bits;
    c.metric = mode.metric;
    c.index_type = type;
    const uint64_t padded = *vocab::padded_dim_for(kDim);
    c.n4_dims = mode.mixed ? padded / 2 : (mode.bits == 4 ? padded : 0);
    c.ivf_nlist = 6;
    c.ivf_nprobe = 3;
    c.hnsw_m = 6;
    c.hnsw_ef_construction = 40;
    c.hnsw_ef_search = 0;
    return c;
}

std::vector<std::vector<float>> random_vectors(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<std::vector<float>> out(n, std::vector<float>(kDim));
    for (auto& v : out) for (float& x : v) x = g(rng);
    return out;
}

// Ids 0..n-1 with every fifth position repeating the id before it, so some
// ids are stored twice.
std::vector<uint64_t> ids_with_repeats(std::size_t n) {
    std::vector<uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = (i % 5 == 4) ? ids[i - 1] : 1000 + i;
    return ids;
}

struct Kept {
    std::vector<uint64_t> ids;
    std::vector<std::vector<float>> vectors;
};

Kept without(const std::vector<uint64_t>& ids, const std::vector<std::vector<float>>& vectors,
             const std::set<uint64_t>& gone) {
    Kept k;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (gone.count(ids[i])) continue;
        k.ids.push_back(ids[i]);
        k.vectors.push_back(vectors[i]);
    }
    return k;
}

uint64_t stored_with(const std::vector<uint64_t>& ids, const std::set<uint64_t>& gone) {
    return static_cast<uint64_t>(std::count_if(ids.begin(), ids.end(), [&](uint64_t id) { return gone.count(id) > 0; }));
}

void expect_same_answers(const Kivo& a, const Kivo& b, const std::vector<std::vector<float>>& queries,
                         std::span<const uint64_t> allow) {
    for (const auto& q : queries) {
        for (uint64_t k : {uint64_t{1}, uint64_t{7}, uint64_t{1000}}) {
            for (bool filtered : {false, true}) {
                std::optional<std::span<const uint64_t>> al;
                if (filtered) al = allow;
                const auto ra = a.search(q, k, al);
                const auto rb = b.search(q, k, al);
                ASSERT_EQ(ra.has_value(), rb.has_value());
                if (ra) {
                    EXPECT_EQ(*ra, *rb);
                }
            }
        }
    }
}

void expect_none_of(const Kivo& index, const std::vector<std::vector<float>>& queries,
                    const std::set<uint64_t>& gone, std::span<const uint64_t> allow) {
    for (const auto& q : queries) {
        for (bool filtered : {false, true}) {
            std::optional<std::span<const uint64_t>> al;
            if (filtered) al = allow;
            const auto r = index.search(q, 1000, al);
            ASSERT_TRUE(r) << r.error().message();
            for (const ScoredId& e : *r) EXPECT_EQ(gone.count(e.id), 0u) << e.id;
        }
    }
}

class RemoveByMode : public ::testing::TestWithParam<Mode> {};

// After removals a brute-force index is exactly the index of the remaining
// vectors added in their order: same store bytes, same answers, same file.
TEST_P(RemoveByMode, BruteForceEqualsIndexOfTheRemainingVectors) {
    const Mode mode = GetParam();
    const auto cfg = make_config(IndexType::BruteForce, mode);
    const auto vectors = random_vectors(60, 7);
    const auto ids = ids_with_repeats(60);
    const auto queries = random_vectors(6, 8);
    Kivo index = make(cfg);
    ASSERT_TRUE(index.add(ids, vectors));

    // Two batches: repeated ids, ids never stored, a repeat within the list.
    const std::vector<std::vector<uint64_t>> batches = {{ids[3], ids[4], 5, ids[10], ids[10]},
                                                        {ids[0], ids[59], 999999, ids[33]}};
    std::set<uint64_t> gone;
    for (const auto& batch : batches) {
        std::set<uint64_t> now(batch.begin(), batch.end());
        for (uint64_t id : gone) now.erase(id);
        const uint64_t expected = stored_with(ids, now);
        const auto removed = index.remove(batch);
        ASSERT_TRUE(removed);
        EXPECT_EQ(*removed, expected);
        gone.insert(now.begin(), now.end());
    }
    const Kept kept = without(ids, vectors, gone);
    ASSERT_EQ(index.len(), kept.ids.size());
    Kivo fresh = make(cfg);
    ASSERT_TRUE(fresh.add(kept.ids, kept.vectors));
    EXPECT_TRUE(std::ranges::equal(index.ids(), fresh.ids()));
    EXPECT_TRUE(std::ranges::equal(index.codes(), fresh.codes()));
    EXPECT_TRUE(std::ranges::equal(index.norms(), fresh.norms()));
    const std::vector<uint64_t> allow = {ids[1], ids[3], ids[20], ids[21], 77};
    expect_same_answers(index, fresh, queries, allow);
    expect_none_of(index, queries, gone, allow);

    testing::ScratchDir dir;
    ASSERT_TRUE(index.save(dir.file("a.kivo")));
    ASSERT_TRUE(fresh.save(dir.file("b.kivo")));
    EXPECT_EQ(testing::read_file(dir.file("a.kivo")), testing::read_file(dir.file("b.kivo")));
    auto loaded = Kivo::load(dir.file("a.kivo"));
    ASSERT_TRUE(loaded);
    expect_same_answers(*loaded, fresh, queries, allow);
}

// IVF-Flat after removals equals the index whose lists and pending vectors
// simply lack the removed ones; centroids stay, and a later build places the
// remaining pending vectors as it would have.
TEST_P(RemoveByMode, IvfFlatListsLoseExactlyTheRemovedVectors) {
    const Mode mode = GetParam();
    const auto cfg = make_config(IndexType::IvfFlat, mode);
    const auto vectors = random_vectors(80, 11);
    const auto ids = ids_with_repeats(80);
    const auto queries = random_vectors(6, 12);
    const std::vector<uint64_t> built_ids(ids.begin(), ids.begin() + 60);
    const std::vector<std::vector<float>> built_vecs(vectors.begin(), vectors.begin() + 60);
    const std::vector<uint64_t> pending_ids(ids.begin() + 60, ids.end());
    const std::vector<std::vector<float>> pending_vecs(vectors.begin() + 60, vectors.end());

    Kivo index = make(cfg);
    ASSERT_TRUE(index.add(built_ids, built_vecs));
    ASSERT_TRUE(index.build());
    ASSERT_TRUE(index.add(pending_ids, pending_vecs));
    const search::IvfFlat before = *index.ivf();

    // Built vectors (one repeated), pending ones, and an id in both.
    const std::set<uint64_t> gone = {ids[2], ids[3], ids[4], ids[17], ids[61], ids[62], 123456};
    const auto removed = index.remove(std::vector<uint64_t>(gone.begin(), gone.end()));
    ASSERT_TRUE(removed);
    EXPECT_EQ(*removed, stored_with(ids, gone));
    EXPECT_EQ(index.len(), 60 - stored_with(built_ids, gone));

    search::IvfFlat expected = before;
    for (search::IvfList& list : expected.lists) {
        search::IvfList kept{list.centroid, {}, {}, {}};
        const std::size_t pbv = index.packed_bytes_per_vec();
        for (std::size_t j = 0; j < list.ids.size(); ++j) {
            if (gone.count(list.ids[j])) continue;
            kept.ids.push_back(list.ids[j]);
            kept.norms.push_back(list.norms[j]);
            kept.codes.insert(kept.codes.end(), list.codes.begin() + j * pbv, list.codes.begin() + (j + 1) * pbv);
        }
        list = std::move(kept);
    }
    EXPECT_EQ(*index.ivf(), expected);
    const Kept pending = without(pending_ids, pending_vecs, gone);
    EXPECT_TRUE(std::ranges::equal(index.ids(), pending.ids));
    EXPECT_EQ(index.training_vectors().size(), pending.ids.size());
    expect_none_of(index, queries, gone, std::vector<uint64_t>(ids.begin(), ids.begin() + 30));

    // The saved file carries the remaining pending vectors only, in the lists
    // the next build gives them.
    testing::ScratchDir dir;
    ASSERT_TRUE(index.save(dir.file("a.kivo")));
    auto loaded = Kivo::load(dir.file("a.kivo"));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->len(), 60 - stored_with(built_ids, gone) + pending.ids.size());
    ASSERT_TRUE(index.build());
    EXPECT_EQ(*index.ivf(), *loaded->ivf());
    expect_none_of(*loaded, queries, gone, std::vector<uint64_t>(ids.begin(), ids.end()));

    // The same as an index that never saw the removed pending vectors.
    Kivo other = make(cfg);
    ASSERT_TRUE(other.add(built_ids, built_vecs));
    ASSERT_TRUE(other.build());
    ASSERT_TRUE(other.remove(std::vector<uint64_t>(gone.begin(), gone.end())));
    ASSERT_TRUE(other.add(pending.ids, pending.vectors));
    ASSERT_TRUE(other.build());
    EXPECT_EQ(*index.ivf(), *other.ivf());
}

INSTANTIATE_TEST_SUITE_P(Modes, RemoveByMode, ::testing::ValuesIn(kModes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Remove, EmptyIndexAndEmptyListRemoveNothing) {
    for (IndexType type : {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw}) {
        Kivo index = make(make_config(type, kModes[0]));
        auto none = index.remove(std::vector<uint64_t>{1, 2});
        ASSERT_TRUE(none);
        EXPECT_EQ(*none, 0u);
        ASSERT_TRUE(index.add(std::vector<uint64_t>{1}, random_vectors(1, 3)));
        auto empty = index.remove(std::span<const uint64_t>{});
        ASSERT_TRUE(empty);
        EXPECT_EQ(*empty, 0u);
    }
}

TEST(Remove, BruteForceGivesMemoryBack) {
    Kivo index = make(make_config(IndexType::BruteForce, kModes[0]));
    std::vector<uint64_t> ids(500);
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = i;
    ASSERT_TRUE(index.add(ids, random_vectors(500, 4)));
    const std::size_t bytes_before = index.codes().size();
    ASSERT_TRUE(index.remove(std::vector<uint64_t>(ids.begin(), ids.begin() + 400)));
    EXPECT_EQ(index.codes().size(), bytes_before / 5);
    // Removing everything leaves an empty index that searches as one.
    ASSERT_TRUE(index.remove(ids));
    EXPECT_EQ(index.len(), 0u);
    auto r = index.search(random_vectors(1, 5)[0], 3, std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::EmptyIndex);
}

TEST(Upsert, ReplacesEveryStoredCopyByOneVector) {
    for (IndexType type : {IndexType::BruteForce, IndexType::IvfFlat}) {
        const auto cfg = make_config(type, kModes[0]);
        const auto vectors = random_vectors(12, 21);
        const std::vector<uint64_t> ids = {1, 2, 3, 2, 4, 5, 6, 2, 7, 8, 9, 10};
        Kivo index = make(cfg);
        ASSERT_TRUE(index.add(ids, vectors));
        const auto fresh_vec = random_vectors(2, 22);
        ASSERT_TRUE(index.upsert(std::vector<uint64_t>{2, 42}, fresh_vec));
        ASSERT_TRUE(index.build());
        EXPECT_EQ(index.len(), 11u);
        // The new vector of id 2 is its own best match, and id 2 is there once.
        const auto r = index.search(fresh_vec[0], 20, std::nullopt);
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)[0].id, 2u);
        EXPECT_EQ(std::ranges::count(*r | std::views::transform(&ScoredId::id), 2u), 1);
    }
}

TEST(Upsert, RefusedInputLeavesTheIndexUnchanged) {
    Kivo index = make(make_config(IndexType::BruteForce, kModes[0]));
    const std::vector<uint64_t> ids = {1, 2, 3};
    ASSERT_TRUE(index.add(ids, random_vectors(3, 31)));
    const std::vector<uint8_t> codes(index.codes().begin(), index.codes().end());
    auto good_and_bad = random_vectors(2, 32);
    good_and_bad[1].push_back(1.0f);
    struct Case {
        std::vector<uint64_t> ids;
        std::vector<std::vector<float>> vectors;
        ErrorKind kind;
    } cases[] = {
        {{1, 2}, good_and_bad, ErrorKind::DimensionMismatch},
        {{1, 2, 3}, random_vectors(2, 33), ErrorKind::IdCountMismatch},
    };
    for (const Case& c : cases) {
        const auto r = index.upsert(c.ids, c.vectors);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), c.kind);
        EXPECT_TRUE(std::ranges::equal(index.ids(), ids));
        EXPECT_TRUE(std::ranges::equal(index.codes(), codes));
    }
    const std::vector<float> flat(2 * kDim + 1, 0.5f);
    const auto r = index.upsert_flat(std::vector<uint64_t>{1, 2}, flat);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "id/vector count mismatch: 2 ids vs 2 vectors");
    EXPECT_TRUE(std::ranges::equal(index.codes(), codes));
}

}  // namespace
}  // namespace kivo::engine
