// Allowlist: the membership structure a brute-force query builds from the
// caller's ids: a bitset when the ids are small and dense enough, else a set.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_set>
#include <variant>
#include <vector>

#include "search/topk.h"

namespace kivo::search {

class Allowlist {
public:
    struct Bitset {
        std::vector<uint64_t> words;
        uint64_t max_id = 0;
    };
    struct Set {
        std::unordered_set<uint64_t> ids;
    };

    static Allowlist create(std::span<const uint64_t> ids);

    bool contains(uint64_t id) const;
    bool is_bitset() const { return std::holds_alternative<Bitset>(repr_); }
    const std::variant<Bitset, Set>& repr() const { return repr_; }

private:
    explicit Allowlist(std::variant<Bitset, Set> repr) : repr_(std::move(repr)) {}
    std::variant<Bitset, Set> repr_;
};

// The post-filter of the IVF and HNSW queries: keep, in order, the entries
// whose id occurs in the caller's list (linear search per entry).
std::vector<ScoredId> keep_listed(std::vector<ScoredId> entries, std::span<const uint64_t> allowed);

}  // namespace kivo::search
