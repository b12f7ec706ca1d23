// Recall of an index against brute force over the same codes: the share of
// returned entries that score at least the exact k-th score, over all
// queries (ties at the k-th score count as hits).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/engine.h"

namespace kivo::testing {

inline double recall_against(const engine::Kivo& index, const engine::Kivo& exact,
                             std::span<const std::vector<float>> queries, uint64_t k) {
    std::size_t hits = 0;
    for (const auto& q : queries) {
        const auto truth = exact.search(q, k, std::nullopt);
        const auto got = index.search(q, k, std::nullopt);
        EXPECT_TRUE(truth && got);
        if (!truth || !got || truth->size() < k) return 0.0;
        const float threshold = truth->back().score;
        for (const auto& e : *got) hits += e.score >= threshold ? 1 : 0;
    }
    return static_cast<double>(hits) / static_cast<double>(k * queries.size());
}

}  // namespace kivo::testing
