// Result entries and the bounded top-k heap shared by the brute-force scan and
// the IVF probe. The heap's top is its weakest entry: lowest score, and among
// equal scores the highest id, so an equal-scoring later candidate never
// displaces a kept one. A NaN score ranks below every number: it is kept only
// while there is room, sorts last and is displaced by any number.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivo::search {

struct ScoredId {
    uint64_t id;
    float score;
    bool operator==(const ScoredId&) const = default;
};

// True when score a ranks above score b: a greater number, or any number
// against a NaN. Two NaN scores rank equal. With this order NaN scores can
// never hide a number from the top k or leave a result unsorted.
inline bool ranks_above(float a, float b) {
    return a > b || (std::isnan(b) && !std::isnan(a));
}

// True when a is weaker than b.
inline bool weaker(const ScoredId& a, const ScoredId& b) {
    return ranks_above(b.score, a.score) || (!ranks_above(a.score, b.score) && a.id > b.id);
}

// Sorts by score descending (NaN last), keeping the order of equal scores.
inline void sort_by_score_desc(std::vector<ScoredId>& entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const ScoredId& a, const ScoredId& b) { return ranks_above(a.score, b.score); });
}

class TopK {
public:
    // Room is reserved for min(k, expected_candidates) entries, so a huge k
    // costs nothing beyond the candidates that exist.
    TopK(uint64_t k, std::size_t expected_candidates) : k_(k) {
        entries_.reserve(static_cast<std::size_t>(std::min<uint64_t>(k, expected_candidates)));
    }

    uint64_t k() const { return k_; }
    std::size_t size() const { return entries_.size(); }
    bool full() const { return entries_.size() >= k_; }
    // Score of the weakest kept entry; only meaningful when not empty.
    float weakest_score() const { return entries_.front().score; }

    void push(uint64_t id, float score) {
        if (k_ == 0) return;
        // std heap functions keep the comparator's "largest" on top, so order
        // by strength: the weakest entry is the largest.
        auto stronger = [](const ScoredId& a, const ScoredId& b) { return weaker(b, a); };
        if (entries_.size() < k_) {
            entries_.push_back({id, score});
            std::push_heap(entries_.begin(), entries_.end(), stronger);
        } else if (ranks_above(score, entries_.front().score)) {
            std::pop_heap(entries_.begin(), entries_.end(), stronger);
            entries_.back() = {id, score};
            std::push_heap(entries_.begin(), entries_.end(), stronger);
        }
    }

    // The entries in heap order, stably sorted by score descending.
    std::vector<ScoredId> into_sorted() && {
        sort_by_score_desc(entries_);
        return std::move(entries_);
    }

private:
    uint64_t k_;
    std::vector<ScoredId> entries_;
};

}  // namespace kivo::search
