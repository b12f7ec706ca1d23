// Bounded top-k heap: admission rule, weakest-entry eviction, sizing and the
// stable final sort.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "search/topk.h"

namespace kivo::search {
namespace {

std::vector<ScoredId> run(uint64_t k, const std::vector<ScoredId>& candidates) {
    TopK heap(k, candidates.size());
    for (const auto& c : candidates) heap.push(c.id, c.score);
    auto out = std::move(heap).into_sorted();
    for (std::size_t i = 1; i < out.size(); ++i) EXPECT_FALSE(out[i - 1].score < out[i].score);
    return out;
}

// Equal scores may come in any order: compare with ties ordered by id.
std::vector<ScoredId> by_score_then_id(std::vector<ScoredId> v) {
    std::stable_sort(v.begin(), v.end(), [](const ScoredId& a, const ScoredId& b) {
        return a.score > b.score || (a.score == b.score && a.id < b.id);
    });
    return v;
}

TEST(TopK, AdmissionAndEviction) {
    struct Case {
        const char* name;
        uint64_t k;
        std::vector<ScoredId> in;
        std::vector<ScoredId> out;  // exact expected order
    };
    const Case cases[] = {
        {"k0 keeps nothing", 0, {{1, 1.0f}, {2, 2.0f}}, {}},
        {"fewer than k all kept", 5, {{1, 1.0f}, {2, 3.0f}}, {{2, 3.0f}, {1, 1.0f}}},
        {"equal score never displaces", 2, {{1, 1.0f}, {2, 1.0f}, {3, 1.0f}}, {{1, 1.0f}, {2, 1.0f}}},
        {"strictly greater displaces", 2, {{1, 1.0f}, {2, 2.0f}, {3, 1.5f}}, {{2, 2.0f}, {3, 1.5f}}},
        // Among equally weak entries the one with the highest id makes room,
        // even though it was stored first.
        {"weakest tie evicts highest id", 2, {{5, 1.0f}, {3, 1.0f}, {9, 2.0f}}, {{9, 2.0f}, {3, 1.0f}}},
        {"below weakest discarded", 1, {{4, 3.0f}, {1, 2.0f}}, {{4, 3.0f}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(by_score_then_id(run(c.k, c.in)), c.out);
    }
}

TEST(TopK, HugeKReturnsEveryCandidate) {
    std::vector<ScoredId> in;
    for (uint64_t i = 0; i < 100; ++i) in.push_back({i, static_cast<float>(i % 7)});
    const auto out = run(std::numeric_limits<uint64_t>::max(), in);
    ASSERT_EQ(out.size(), in.size());
    for (std::size_t i = 1; i < out.size(); ++i) EXPECT_GE(out[i - 1].score, out[i].score);
}

TEST(TopK, NanScoresDoNotBreakTheHeap) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<ScoredId> in;
    for (uint64_t i = 0; i < 50; ++i) in.push_back({i, i % 3 == 0 ? nan : static_cast<float>(i)});
    const auto out = run(10, in);
    EXPECT_EQ(out.size(), 10u);
    // NaN never displaces a kept entry: it is only admitted while there is room.
    TopK heap(2, 3);
    heap.push(1, 1.0f);
    heap.push(2, 2.0f);
    heap.push(3, nan);
    const auto kept = std::move(heap).into_sorted();
    EXPECT_EQ(kept, (std::vector<ScoredId>{{2, 2.0f}, {1, 1.0f}}));
}

}  // namespace
}  // namespace kivo::search
