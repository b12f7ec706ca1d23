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

// A NaN score ranks below every number: kept only while there is room,
// sorted last, displaced by any number, so no number is lost to it.
TEST(TopK, NanRanksBelowEveryNumber) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* name;
        uint64_t k;
        std::vector<ScoredId> in;
        std::vector<ScoredId> out;  // exact expected order (NaN compared by id only)
    };
    const Case cases[] = {
        {"nan kept while room, last", 3, {{1, nan}, {2, 1.0f}}, {{2, 1.0f}, {1, nan}}},
        {"nan first then numbers displace it", 2, {{1, nan}, {2, -5.0f}, {3, -7.0f}}, {{2, -5.0f}, {3, -7.0f}}},
        {"nan never displaces a number", 2, {{1, 1.0f}, {2, 2.0f}, {3, nan}}, {{2, 2.0f}, {1, 1.0f}}},
        {"minus infinity displaces nan", 1, {{1, nan}, {2, -inf}}, {{2, -inf}}},
        {"nan ties: highest id makes room", 2, {{5, nan}, {3, nan}, {9, nan}, {4, 0.0f}}, {{4, 0.0f}, {3, nan}}},
        {"only nan: first stored stay", 2, {{1, nan}, {2, nan}, {0, nan}}, {{1, nan}, {2, nan}}},
    };
    auto same = [](const std::vector<ScoredId>& a, const std::vector<ScoredId>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i].id != b[i].id) return false;
            if (std::isnan(a[i].score) != std::isnan(b[i].score)) return false;
            if (!std::isnan(a[i].score) && a[i].score != b[i].score) return false;
        }
        return true;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TopK heap(c.k, c.in.size());
        for (const auto& e : c.in) heap.push(e.id, e.score);
        auto got = std::move(heap).into_sorted();
        // NaN entries sit after every number; among themselves in any order.
        std::stable_sort(got.begin(), got.end(), [](const ScoredId& a, const ScoredId& b) {
            return std::isnan(a.score) && std::isnan(b.score) && a.id < b.id;
        });
        EXPECT_TRUE(same(got, c.out));
    }

    // Many NaN scores mixed with numbers: the result is the top k numbers,
    // sorted, exactly as without the NaN candidates.
    std::vector<ScoredId> mixed, numbers;
    for (uint64_t i = 0; i < 200; ++i) {
        const float s = i % 3 == 0 ? nan : static_cast<float>((i * 37) % 101);
        mixed.push_back({i, s});
        if (!std::isnan(s)) numbers.push_back({i, s});
    }
    EXPECT_EQ(by_score_then_id(run(10, mixed)), by_score_then_id(run(10, numbers)));
}

TEST(TopK, SortPutsNanLast) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<ScoredId> v = {{1, nan}, {2, 3.0f}, {3, nan}, {4, -1.0f}, {5, 3.0f}};
    sort_by_score_desc(v);
    EXPECT_EQ(v[0].id, 2u);
    EXPECT_EQ(v[1].id, 5u);
    EXPECT_EQ(v[2].id, 4u);
    EXPECT_EQ(v[3].id, 1u);
    EXPECT_EQ(v[4].id, 3u);
}

}  // namespace
}  // namespace kivo::search
