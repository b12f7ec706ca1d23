// Allowlist construction and membership, and the post-filter that the IVF
// and HNSW queries apply to their final entries.
#include "search/filter.h"

#include <algorithm>
#include <limits>

namespace kivo::search {

namespace {

// Ids at or below this fit the bitset (ids below 2^26, at most 8 MiB).
constexpr uint64_t kBitsetMaxId = 0x3FFFFFF;
// Above this many (entry, allowed id) comparisons the post-filter looks ids up
// in a set instead; the kept entries and their order are the same.
constexpr std::size_t kLinearFilterLimit = 4096;

}  // namespace

Allowlist Allowlist::create(std::span<const uint64_t> ids) {
    if (ids.empty()) return Allowlist(Set{});
    const uint64_t max = *std::max_element(ids.begin(), ids.end());
    const uint64_t n = ids.size();
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const uint64_t limit = n > kMax / 32 ? kMax : n * 32;
    if (max <= kBitsetMaxId && max / 64 < limit) {
        Bitset bits;
        bits.words.assign(max / 64 + 1, 0);
        bits.max_id = max;
        for (uint64_t id : ids) bits.words[id / 64] |= uint64_t{1} << (id % 64);
        return Allowlist(std::move(bits));
    }
    Set set;
    set.ids.reserve(ids.size());
    set.ids.insert(ids.begin(), ids.end());
    return Allowlist(std::move(set));
}

bool Allowlist::contains(uint64_t id) const {
    if (const auto* bits = std::get_if<Bitset>(&repr_)) {
        return id <= bits->max_id && ((bits->words[id / 64] >> (id % 64)) & 1) != 0;
    }
    return std::get<Set>(repr_).ids.contains(id);
}

std::vector<ScoredId> keep_listed(std::vector<ScoredId> entries, std::span<const uint64_t> allowed) {
    if (allowed.empty()) {
        entries.clear();
        return entries;
    }
    // Few comparisons: the linear search is cheapest (written as a division
    // so that the product cannot wrap).
    if (allowed.size() <= kLinearFilterLimit / std::max<std::size_t>(entries.size(), 1)) {
        std::erase_if(entries, [&](const ScoredId& e) {
            return std::find(allowed.begin(), allowed.end(), e.id) == allowed.end();
        });
        return entries;
    }
    const Allowlist set = Allowlist::create(allowed);
    std::erase_if(entries, [&](const ScoredId& e) { return !set.contains(e.id); });
    return entries;
}

}  // namespace kivo::search
