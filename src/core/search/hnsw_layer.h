// The layer search shared by queries and construction: candidate heap,
// visited set, result list and stopping rule, over any node scorer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "search/hnsw.h"

namespace kivo::search::detail {

// Open-addressing set of node indexes. It grows with the nodes touched, not
// with the graph. One table serves every layer search of one query or one
// insertion, emptied by reset() in between, so those searches neither
// allocate nor rehash once the table has reached the size they need.
class VisitedSet {
public:
    VisitedSet() : VisitedSet(0) {}
    // Room for about `expected` nodes from the start (at most kKeptSlots
    // slots), so that a walk of known width does not grow the table step by
    // step.
    explicit VisitedSet(std::size_t expected) {
        std::size_t slots = kInitialSlots;
        while (slots < kKeptSlots && slots / 2 < expected) slots *= 2;
        slots_.assign(slots, kEmpty);
        mask_ = slots - 1;
        limit_ = slots / 2;
    }

    // A table grown far beyond usual searches (a query with a huge ef) is
    // given back rather than kept for the next layer.
    void reset() {
        if (slots_.size() > kKeptSlots) {
            slots_.assign(kInitialSlots, kEmpty);
            slots_.shrink_to_fit();
            mask_ = kInitialSlots - 1;
            limit_ = kInitialSlots / 2;
        } else if (count_ > 0) {
            std::fill(slots_.begin(), slots_.end(), kEmpty);
        }
        count_ = 0;
        has_empty_key_ = false;
    }

    // True when `node` was not in the set (and now is).
    bool insert(uint32_t node) {
        if (node == kEmpty) [[unlikely]] {
            if (has_empty_key_) return false;
            has_empty_key_ = true;
            return true;
        }
        if (count_ >= limit_) [[unlikely]] grow();
        std::size_t i = slot_of(node);
        for (;;) {
            const uint32_t at = slots_[i];
            if (at == node) return false;
            if (at == kEmpty) break;
            i = (i + 1) & mask_;
        }
        slots_[i] = node;
        ++count_;
        return true;
    }

    // insert() for each link of `links` that passes `reachable`, in list
    // order, calling on_new(node) for each node that was not in the set. The
    // table's fields stay in registers across the list.
    template <class Reachable, class OnNew>
    void insert_links(std::span<const uint32_t> links, Reachable reachable, OnNew on_new) {
        uint32_t* slots = slots_.data();
        std::size_t mask = mask_;
        std::size_t limit = limit_;
        std::size_t count = count_;
        for (const uint32_t node : links) {
            if (!reachable(node)) continue;
            if (node == kEmpty) [[unlikely]] {
                if (has_empty_key_) continue;
                has_empty_key_ = true;
                on_new(node);
                continue;
            }
            if (count >= limit) [[unlikely]] {
                count_ = count;
                grow();
                slots = slots_.data();
                mask = mask_;
                limit = limit_;
            }
            std::size_t i = slot_of(node, mask);
            bool seen = false;
            for (;;) {
                const uint32_t at = slots[i];
                if (at == node) {
                    seen = true;
                    break;
                }
                if (at == kEmpty) break;
                i = (i + 1) & mask;
            }
            if (seen) continue;
            slots[i] = node;
            ++count;
            on_new(node);
        }
        count_ = count;
    }

private:
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    static constexpr std::size_t kInitialSlots = 1024;
    static constexpr std::size_t kKeptSlots = std::size_t{1} << 16;

    static std::size_t slot_of(uint32_t node, std::size_t mask) {
        return static_cast<std::size_t>((static_cast<uint64_t>(node) * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
    }
    std::size_t slot_of(uint32_t node) const { return slot_of(node, mask_); }

    // Keeps the load at most one half.
    void grow() {
        std::vector<uint32_t> old = std::move(slots_);
        slots_.assign(old.size() * 2, kEmpty);
        mask_ = slots_.size() - 1;
        limit_ = slots_.size() / 2;
        for (uint32_t node : old) {
            if (node == kEmpty) continue;
            std::size_t i = slot_of(node);
            while (slots_[i] != kEmpty) i = (i + 1) & mask_;
            slots_[i] = node;
        }
    }

    std::vector<uint32_t> slots_;
    std::size_t mask_ = 0;
    std::size_t limit_ = 0;
    std::size_t count_ = 0;
    bool has_empty_key_ = false;
};

// A candidate of the walk: a node with its exact score, or (exact false) with
// an upper bound of it that orders the heap until the node reaches the top.
struct HeapEntry {
    float score;
    uint32_t node;
    bool exact = true;
};

inline bool entry_less(const HeapEntry& a, const HeapEntry& b) {
    return candidate_less({a.score, a.node}, {b.score, b.node});
}

// Binary max-heap under candidate_less. Every loop is bounded by the heap's
// size, so even scores that make the order inconsistent cannot lead it astray.
class CandidateHeap {
public:
    bool empty() const { return items_.empty(); }
    // The greatest candidate; only when not empty.
    const HeapEntry& top() const { return items_.front(); }

    void push(HeapEntry c) { push(c.score, c.node, c.exact); }

    // The fields are written one by one: a whole entry assembled on the stack
    // and copied in wider words stalls store-to-load forwarding.
    void push(float score, uint32_t node, bool exact) {
        const Candidate key{score, node};
        std::size_t i = items_.size();
        items_.emplace_back();
        while (i > 0) {
            std::size_t parent = (i - 1) / 2;
            if (!candidate_less({items_[parent].score, items_[parent].node}, key)) break;
            items_[i] = items_[parent];
            i = parent;
        }
        HeapEntry& slot = items_[i];
        slot.score = score;
        slot.node = node;
        slot.exact = exact;
    }

    // Removes the greatest candidate into `out`; false when empty.
    bool pop(HeapEntry& out) {
        if (items_.empty()) return false;
        out = items_.front();
        HeapEntry last = items_.back();
        items_.pop_back();
        const std::size_t n = items_.size();
        if (n == 0) return true;
        std::size_t i = 0;
        for (;;) {
            std::size_t child = 2 * i + 1;
            if (child >= n) break;
            if (child + 1 < n && entry_less(items_[child], items_[child + 1])) ++child;
            if (!entry_less(last, items_[child])) break;
            items_[i] = items_[child];
            i = child;
        }
        items_[i] = last;
        return true;
    }

private:
    std::vector<HeapEntry> items_;
};

inline void stable_sort_desc(std::vector<Candidate>& items) {
    std::stable_sort(items.begin(), items.end(),
                     [](const Candidate& a, const Candidate& b) { return ranks_above(a.score, b.score); });
}

// The result list: an unsorted array until it overflows ef, then stably
// sorted by score descending (NaN last, search/topk.h) and cut to ef. Once
// sorted, an admission is an insertion at the place the stable sort would
// give it, which avoids re-sorting ef entries per admitted neighbour. A NaN
// score is kept only while there is room and is displaced by any number.
class ResultList {
public:
    ResultList(Candidate first, std::size_t reserve) {
        items_.reserve(reserve);
        items_.push_back(first);
    }
    explicit ResultList(std::size_t reserve) { items_.reserve(reserve); }

    std::size_t size() const { return items_.size(); }

    // The lowest-ranked score (NaN when one is kept); +infinity when the list
    // is empty.
    float worst() const {
        if (items_.empty()) return std::numeric_limits<float>::infinity();
        if (sorted_) return items_.back().score;
        float w = std::numeric_limits<float>::infinity();
        for (const Candidate& c : items_) {
            if (ranks_above(w, c.score)) w = c.score;
        }
        return w;
    }

    void admit(Candidate c, float worst, uint64_t ef) {
        const std::size_t before = items_.size();
        if (!(before < ef || ranks_above(c.score, worst))) return;
        if (before < ef) {
            items_.push_back(c);
            sorted_ = false;
            return;
        }
        const std::size_t keep = static_cast<std::size_t>(ef);  // ef <= before here
        if (sorted_) {
            auto at = std::partition_point(items_.begin(), items_.end(),
                                           [&](const Candidate& e) { return !ranks_above(c.score, e.score); });
            items_.insert(at, c);
            items_.resize(keep);
            return;
        }
        items_.push_back(c);
        stable_sort_desc(items_);
        items_.resize(keep);
        sorted_ = true;
    }

    // The list sorted by score descending (stable).
    std::vector<Candidate> finish() && {
        if (!sorted_) stable_sort_desc(items_);
        return std::move(items_);
    }

private:
    std::vector<Candidate> items_;
    bool sorted_ = false;
};

// A walk that scores every newly visited node exactly (construction).
struct NoBounds {};

// One layer search from `entry` (already scored s0) over `graph`.
// `reachable(v)` says whether node v may be visited at all (link targets of
// a damaged graph and nodes without a construction vector are passed over);
// `prefetch(v)` is told of each newly visited node before any is scored;
// `score_many(nodes, count, out)` scores nodes exactly, in list order;
// `admit(v)` says whether v may enter the result list. With a filter
// (`filtered`), the walk also goes on while the list holds fewer than ef
// entries; when admit() is always true that changes nothing, because a
// list below ef holds every visited node and no popped node is worse than
// its worst.
//
// With `bounds(nodes, count, out)` (upper bounds of the exact scores; any
// value, NaN included, where none is known) the walk scores exactly only the
// nodes whose exact score can matter, and returns what the walk without
// bounds returns:
// - A node that cannot enter the result list (admit() refuses it, or the
//   list is full and its bound is not above the list's weakest score, which
//   the admissions of this pop compare with) enters the heap with its bound
//   (+infinity for NaN). Its exact score could not have been admitted either.
// - When such a node reaches the top of the heap it is scored and pushed
//   back; that pop does not count. A node with an exact score at the top
//   ranks at or above every other node's exact score: every other entry's
//   key ranks at or below it (ties broken by node index, as the exact order
//   breaks them), and an exact score never ranks above its bound.
// So the nodes popped and counted, their order and every admission are
// those of the walk that scores every node.
//
// A candidate that ranks below the weakest entry of a full list when it is
// met never goes on the heap, and the walk is still the same. That entry only
// rises, so the candidate could never enter the list. In the walk that pushes
// it, by the time it is the greatest candidate left every entry of the list
// has been popped (each went on the heap ranking at or above the weakest
// entry, so above it): at least ef pops have been counted, and every
// candidate left ranks below the weakest entry. The next counted pop, of it
// or of any other candidate, ends that walk; here the same pop, or an empty
// heap, ends this one.
template <class Reachable, class Prefetch, class ScoreMany, class Admit, class Bounds = NoBounds>
std::vector<Candidate> layer_search(const Hnsw& graph, uint32_t entry, float s0, uint64_t ef, uint64_t layer,
                                    Reachable reachable, Prefetch prefetch, ScoreMany score_many, Admit admit,
                                    bool filtered, VisitedSet& visited, Bounds bounds = {}) {
    constexpr bool lazy = !std::is_same_v<Bounds, NoBounds>;
    // Room for ef results, but never more than the graph can supply.
    const std::size_t reserve = static_cast<std::size_t>(std::min<uint64_t>(ef, graph.size())) + 1;
    ResultList results = admit(entry) ? ResultList({s0, entry}, reserve) : ResultList(reserve);
    CandidateHeap heap;
    heap.push({s0, entry});
    visited.reset();
    visited.insert(entry);

    std::vector<uint32_t> fresh;
    std::vector<float> scores;
    std::vector<float> uppers;
    std::vector<uint32_t> exact_nodes;
    std::vector<uint8_t> enters;
    uint64_t pops = 0;
    HeapEntry c;
    while (heap.pop(c)) {
        if constexpr (lazy) {
            if (!c.exact) {
                score_many(&c.node, 1, &c.score);
                c.exact = true;
                heap.push(c);
                continue;
            }
        }
        ++pops;
        // Computed once per pop: admissions below compare against this value
        // even after the list has changed.
        const float worst = results.worst();
        if (ranks_above(worst, c.score) && pops > ef && (!filtered || results.size() >= ef)) break;
        // Candidates met now that rank below `worst` stay off the heap (see
        // above).
        const bool full = results.size() >= ef;
        auto push = [&](float score, uint32_t node, bool exact) {
            if (!(full && ranks_above(worst, score))) heap.push(score, node, exact);
        };
        const std::span<const uint32_t> links = graph.links(c.node, layer);
        if (links.empty()) continue;
        fresh.clear();
        visited.insert_links(links, reachable, [&](uint32_t v) {
            prefetch(v);
            fresh.push_back(v);
        });
        // The likely next pop: start loading its list while this one is
        // scored.
        if (!heap.empty()) {
            const std::span<const uint32_t> next = graph.links(heap.top().node, layer);
            __builtin_prefetch(next.data());
        }
        if (fresh.empty()) continue;
        // Scoring all fresh neighbours before handling them in list order
        // gives the same result as scoring one at a time: nothing below feeds
        // back into which nodes are fresh or into their scores.
        if constexpr (lazy) {
            uppers.resize(fresh.size());
            bounds(fresh.data(), fresh.size(), uppers.data());
            // Which nodes may enter the list, in list order: every admitted
            // node while it has room (each one fills a place), then those
            // whose bound may rank above `worst`.
            std::size_t size = results.size();
            exact_nodes.clear();
            enters.assign(fresh.size(), 0);
            for (std::size_t i = 0; i < fresh.size(); ++i) {
                if (!admit(fresh[i])) continue;
                if (size < ef) {
                    ++size;
                } else if (uppers[i] <= worst) {
                    continue;
                }
                enters[i] = 1;
                exact_nodes.push_back(fresh[i]);
            }
            scores.resize(exact_nodes.size());
            if (!exact_nodes.empty()) score_many(exact_nodes.data(), exact_nodes.size(), scores.data());
            for (std::size_t i = 0, e = 0; i < fresh.size(); ++i) {
                if (enters[i] == 0) {
                    const float key = std::isnan(uppers[i]) ? std::numeric_limits<float>::infinity() : uppers[i];
                    push(key, fresh[i], false);
                    continue;
                }
                const Candidate next{scores[e++], fresh[i]};
                push(next.score, next.node, true);
                results.admit(next, worst, ef);
            }
        } else {
            scores.resize(fresh.size());
            score_many(fresh.data(), fresh.size(), scores.data());
            for (std::size_t i = 0; i < fresh.size(); ++i) {
                const Candidate next{scores[i], fresh[i]};
                push(next.score, next.node, true);
                if (admit(next.node)) results.admit(next, worst, ef);
            }
        }
    }
    return std::move(results).finish();
}

}  // namespace kivo::search::detail
