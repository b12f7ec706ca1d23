// Allowlist: bitset or set choice, membership, and the post-filter of the
// IVF and HNSW queries.
#include <gtest/gtest.h>

#include <numeric>

#include "search/filter.h"

namespace kivo::search {
namespace {

TEST(Allowlist, RepresentationChoice) {
    struct Case {
        const char* name;
        std::vector<uint64_t> ids;
        bool bitset;
        std::size_t words;  // for a bitset
    };
    std::vector<uint64_t> dense(32768);
    std::iota(dense.begin(), dense.end(), 0);
    dense.back() = 0x3FFFFFF;  // max/64 = 1048575 < 32 * 32768
    std::vector<uint64_t> dense_short(dense.begin(), dense.end() - 1);
    dense_short.push_back(0x3FFFFFF);  // 32767 ids: 1048575 is not below 32 * 32767
    dense_short.erase(dense_short.begin());
    const Case cases[] = {
        {"empty is an empty set", {}, false, 0},
        {"id 0: one word", {0}, true, 1},
        {"2047: 32 words, 31 < 32", {2047}, true, 32},
        {"2048: 32 is not below 32", {2048}, false, 0},
        {"two ids double the limit", {2048, 5}, true, 33},
        {"2^26 - 1 with enough ids", dense, true, 1048576},
        {"2^26 - 1 with one id too few", dense_short, false, 0},
        {"2^26 forces a set", {1, 2, 3, 67108864}, false, 0},
        {"huge id", {~uint64_t{0}}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Allowlist a = Allowlist::create(c.ids);
        ASSERT_EQ(a.is_bitset(), c.bitset);
        if (c.bitset) {
            EXPECT_EQ(std::get<Allowlist::Bitset>(a.repr()).words.size(), c.words);
        }
        for (uint64_t id : c.ids) EXPECT_TRUE(a.contains(id)) << id;
    }
}

TEST(Allowlist, Membership) {
    for (const std::vector<uint64_t>& ids :
         {std::vector<uint64_t>{7, 7, 3, 130}, std::vector<uint64_t>{7, 3, 130, 1ull << 40}}) {
        const Allowlist a = Allowlist::create(ids);
        for (uint64_t id : {0ull, 1ull, 2ull, 4ull, 6ull, 8ull, 64ull, 129ull, 131ull, 191ull, 192ull, 1ull << 30,
                            ~0ull}) {
            EXPECT_FALSE(a.contains(id)) << id;
        }
        for (uint64_t id : ids) EXPECT_TRUE(a.contains(id));
    }
    const Allowlist empty = Allowlist::create({});
    EXPECT_FALSE(empty.contains(0));
    EXPECT_FALSE(empty.contains(~0ull));
}

TEST(KeepListed, KeepsListedEntriesInOrder) {
    const std::vector<ScoredId> entries = {{5, 3.0f}, {2, 2.0f}, {9, 1.0f}, {2, 0.5f}, {4, 0.0f}};
    EXPECT_EQ(keep_listed(entries, std::vector<uint64_t>{2, 4, 2}),
              (std::vector<ScoredId>{{2, 2.0f}, {2, 0.5f}, {4, 0.0f}}));
    EXPECT_TRUE(keep_listed(entries, std::vector<uint64_t>{}).empty());
    EXPECT_TRUE(keep_listed(entries, std::vector<uint64_t>{100}).empty());
    // A long allowlist takes the set path; the answer is the same.
    std::vector<uint64_t> many(10000);
    std::iota(many.begin(), many.end(), 1000);
    many.push_back(9);
    many.push_back(5);
    EXPECT_EQ(keep_listed(entries, many), (std::vector<ScoredId>{{5, 3.0f}, {9, 1.0f}}));
}

}  // namespace
}  // namespace kivo::search
