// Hnsw::remove: takes a batch of nodes out of the graph, relinks the nodes
// that linked to them, closes the gaps in every array, moves the entry point
// and makes sure every remaining node can still be reached on layer 0.
#include <algorithm>
#include <cmath>
#include <limits>

#include "large_buffer.h"
#include "search/hnsw.h"
#include "search/hnsw_layer.h"
#include "simd/dispatch.h"
#include "simd/dot_rows.h"

namespace kivo::search {

namespace detail {

// Scratch of the relinking, reused from one list to the next.
struct RelinkScratch {
    VisitedSet seen;
    std::vector<uint32_t> candidates;
    std::vector<uint32_t> gone_queue;
    std::vector<const float*> rows;
    std::vector<float> dots;
    std::vector<Candidate> scored;
    std::vector<Neighbour> sorted;
    std::vector<Neighbour> chosen;
    std::vector<uint32_t> targets;
    std::vector<float> scores;
};

// The lists chosen anew, held back until all of them are chosen: list i
// belongs to nodes[i] on layers[i] and is targets/scores[starts[i] ..
// starts[i + 1]).
struct StagedLists {
    std::vector<uint32_t> nodes;
    std::vector<uint8_t> layers;
    std::vector<std::size_t> starts{0};
    std::vector<uint32_t> targets;
    std::vector<float> scores;

    void push(uint32_t node, uint64_t layer, std::span<const uint32_t> t, std::span<const float> s) {
        nodes.push_back(node);
        layers.push_back(static_cast<uint8_t>(layer));
        targets.insert(targets.end(), t.begin(), t.end());
        scores.insert(scores.end(), s.begin(), s.end());
        starts.push_back(targets.size());
    }
    std::size_t size() const { return nodes.size(); }
    std::span<const uint32_t> targets_of(std::size_t i) const {
        return std::span<const uint32_t>(targets).subspan(starts[i], starts[i + 1] - starts[i]);
    }
    std::span<const float> scores_of(std::size_t i) const {
        return std::span<const float>(scores).subspan(starts[i], starts[i + 1] - starts[i]);
    }
};

}  // namespace detail

void RowStore::erase_rows(const std::vector<uint8_t>& gone) {
    uint64_t kept = 0;
    for (uint64_t i = 0; i < size_; ++i) {
        if (i < gone.size() && gone[i]) continue;
        if (kept != i) {
            // Rows only move down, onto rows already moved or dropped.
            float* to = chunks_[kept >> shift_].get() + (kept & mask()) * dim_;
            std::copy_n(row(i), dim_, to);
        }
        ++kept;
    }
    truncate(kept);
}

void Hnsw::relink(uint32_t u, uint64_t layer, const std::vector<uint8_t>& gone, vocab::Metric metric,
                  detail::RelinkScratch& s) {
    const uint64_t budget = layer_budget(layer);
    s.seen.reset();
    s.seen.insert(u);
    s.candidates.clear();
    s.gone_queue.clear();
    auto take = [&](std::span<const uint32_t> targets) {
        for (const uint32_t v : targets) {
            if (v >= size() || levels_[v] < layer || !s.seen.insert(v)) continue;
            (gone[v] ? s.gone_queue : s.candidates).push_back(v);
        }
    };
    // The remaining links, then the links of the removed nodes linked to.
    // While that gives fewer candidates than an insertion's search would
    // offer (ef_construction), a removed node's
    // link to another removed node is followed in turn (for at most `budget`
    // removed nodes), so that a run of removed nodes does not cut u off from
    // what lay behind it.
    take(links(u, layer));
    const std::size_t direct = s.gone_queue.size();
    for (std::size_t i = 0; i < s.gone_queue.size() && i < budget; ++i) {
        if (i >= direct && s.candidates.size() >= std::max<uint64_t>(ef_construction, budget)) break;
        take(links(s.gone_queue[i], layer));
    }

    // Construction scores seen from u, as insertion computes them.
    const std::size_t count = s.candidates.size();
    s.dots.resize(count);
    const std::span<const float> q = vector_of(u);
    if (vector_sq_sums_.size() == vector_count()) {
        s.rows.resize(count);
        for (std::size_t i = 0; i < count; ++i) s.rows[i] = vectors_.row(s.candidates[i]);
        simd::dot_rows(q.data(), q.size(), s.rows.data(), count, s.dots.data(), simd::features());
        if (metric == vocab::Metric::L2) {
            for (std::size_t i = 0; i < count; ++i) {
                const float half = 0.5f * vector_sq_sums_[s.candidates[i]];
                s.dots[i] = s.dots[i] - half;
            }
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) s.dots[i] = construction_score(q, vector_of(s.candidates[i]), metric);
    }
    s.scored.clear();
    for (std::size_t i = 0; i < count; ++i) {
        // A NaN would make the order inconsistent; it ranks last instead.
        const float score = std::isnan(s.dots[i]) ? -std::numeric_limits<float>::infinity() : s.dots[i];
        s.scored.push_back({score, s.candidates[i]});
    }
    // Best first, as a layer search returns its candidates, and no more of
    // them than an insertion's search would offer the selection: its cost
    // grows with candidates times links kept.
    std::sort(s.scored.begin(), s.scored.end(), [](const Candidate& a, const Candidate& b) { return candidate_less(b, a); });
    s.scored.resize(std::min<std::size_t>(s.scored.size(), std::max<uint64_t>(ef_construction, budget)));
    s.sorted.clear();
    for (const Candidate& c : s.scored) s.sorted.push_back({c.node, c.score});
    select_links(u, s.sorted, budget, metric, s.chosen);

    s.targets.clear();
    s.scores.clear();
    for (const Neighbour& link : s.chosen) {
        s.targets.push_back(link.node);
        s.scores.push_back(link.score);
    }
}

void Hnsw::drop_nodes(const std::vector<uint8_t>& gone) {
    const std::size_t n = size();
    std::vector<uint32_t> new_index(n, std::numeric_limits<uint32_t>::max());
    uint32_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!gone[i]) new_index[i] = next++;
    }
    const std::size_t kept = next;
    const std::size_t pbv = static_cast<std::size_t>(packed_bytes_per_vec);

    // Every array closes its gaps front to back: a node's data moves to a
    // position at or below its own, which an earlier node has already left.
    // Links are renumbered on the way; links to removed nodes (none remain
    // after relinking) and links out of range are dropped.
    auto move_list = [&](std::vector<uint32_t>& words, std::vector<float>& scores, std::size_t from,
                         std::size_t to) {
        const uint32_t count = words[from];
        const bool with_scores = !scores.empty();
        uint32_t out = 0;
        for (uint32_t j = 0; j < count; ++j) {
            const uint32_t target = words[from + 1 + j];
            if (target >= n || new_index[target] == std::numeric_limits<uint32_t>::max()) continue;
            const float score = with_scores ? scores[from + 1 + j] : 0.0f;
            words[to + 1 + out] = new_index[target];
            if (with_scores) scores[to + 1 + out] = score;
            ++out;
        }
        words[to] = out;
    };
    uint64_t upper_at = 0;
    const std::size_t w0 = static_cast<std::size_t>(layer0_stride_ + 1);
    const std::size_t wu = static_cast<std::size_t>(upper_stride_ + 1);
    for (std::size_t i = 0; i < n; ++i) {
        if (gone[i]) continue;
        const std::size_t to = new_index[i];
        move_list(layer0_, layer0_scores_, i * w0, to * w0);
        const uint64_t level = levels_[i];
        for (uint64_t l = 1; l <= level; ++l) {
            move_list(upper_, upper_scores_, static_cast<std::size_t>((upper_block_[i] + l - 1) * wu),
                      static_cast<std::size_t>((upper_at + l - 1) * wu));
        }
        upper_block_[to] = upper_at;
        upper_at += level;
        if (to == i) continue;
        ids_[to] = ids_[i];
        norms_[to] = norms_[i];
        levels_[to] = levels_[i];
        std::copy_n(codes_.begin() + static_cast<std::ptrdiff_t>(i * pbv), pbv,
                    codes_.begin() + static_cast<std::ptrdiff_t>(to * pbv));
        if (i < vector_sq_sums_.size()) vector_sq_sums_[to] = vector_sq_sums_[i];
    }
    vectors_.erase_rows(gone);
    if (vector_sq_sums_.size() >= n) {
        vector_sq_sums_.resize(kept);
    } else {
        vector_sq_sums_.clear();  // out of step before: recomputed when needed
    }
    upper_blocks_ = upper_at;

    // The arrays are cut to their new sizes and give their storage back.
    auto fit = [](auto& v, std::size_t size) {
        v.resize(size);
        shrink_large(v);
    };
    fit(ids_, kept);
    fit(norms_, kept);
    fit(levels_, kept);
    fit(codes_, kept * pbv);
    fit(layer0_, kept * w0);
    fit(upper_block_, kept);
    fit(upper_, static_cast<std::size_t>(upper_blocks_) * wu);
    if (!layer0_scores_.empty()) fit(layer0_scores_, kept * w0);
    if (!upper_scores_.empty()) fit(upper_scores_, static_cast<std::size_t>(upper_blocks_) * wu);
    vector_sq_sums_.shrink_to_fit();
    forget_link_status();
}

void Hnsw::reconnect(vocab::Metric metric) {
    const std::size_t n = size();
    std::vector<uint8_t> reached(n, 0);
    std::vector<uint32_t> stack;
    auto mark_from = [&](uint32_t from) {
        if (reached[from]) return;
        reached[from] = 1;
        stack.assign(1, from);
        while (!stack.empty()) {
            const uint32_t v = stack.back();
            stack.pop_back();
            for (const uint32_t t : links(v, 0)) {
                if (t < n && !reached[t]) {
                    reached[t] = 1;
                    stack.push_back(t);
                }
            }
        }
    };
    mark_from(*entry_point);
    if (std::find(reached.begin(), reached.end(), uint8_t{0}) == reached.end()) return;

    std::vector<uint32_t> in_degree(n, 0);
    for (uint32_t v = 0; v < n; ++v) {
        for (const uint32_t t : links(v, 0)) ++in_degree[t];
    }
    const uint64_t budget = layer_budget(0);
    const uint64_t ef = std::max<uint64_t>(ef_construction, 1);
    detail::VisitedSet visited;
    std::vector<uint32_t> targets;
    std::vector<float> scores;
    for (uint32_t x = 0; x < n; ++x) {
        if (reached[x]) continue;
        // The reached nodes nearest to x, best first; the first one that can
        // take a link to x without leaving another node without a way in
        // gets it: into a free slot, or in place of its weakest link (by
        // stored score) whose target has another link into it.
        const std::vector<Candidate> near = search_layer_build(vector_of(x), *entry_point, ef, 0, metric, visited);
        for (const Candidate& c : near) {
            if (c.node == x || !reached[c.node]) continue;
            const std::span<const uint32_t> t = links(c.node, 0);
            const std::span<const float> s = link_scores(c.node, 0);
            targets.assign(t.begin(), t.end());
            scores.assign(s.begin(), s.end());
            scores.resize(targets.size(), 0.0f);
            const float score = construction_score(vector_of(c.node), vector_of(x), metric);
            if (targets.size() < budget) {
                targets.push_back(x);
                scores.push_back(score);
            } else {
                std::size_t weakest = targets.size();
                for (std::size_t i = 0; i < targets.size(); ++i) {
                    if (in_degree[targets[i]] < 2) continue;
                    if (weakest == targets.size() || scores[i] < scores[weakest]) weakest = i;
                }
                if (weakest == targets.size()) continue;
                --in_degree[targets[weakest]];
                targets[weakest] = x;
                scores[weakest] = score;
            }
            set_links(c.node, 0, targets, scores);
            ++in_degree[x];
            mark_from(x);
            break;
        }
    }
}

Result<uint64_t> Hnsw::remove(const Allowlist& doomed, const quantize::QuantPipeline& pipeline, vocab::Metric metric,
                              const InterruptCheck& interrupt) {
    const std::size_t n = size();
    std::vector<uint8_t> gone(n, 0);
    uint64_t removed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (doomed.contains(ids_[i])) {
            gone[i] = 1;
            ++removed;
        }
    }
    if (removed == 0) return uint64_t{0};
    if (interrupt.requested()) return std::unexpected(KivoError::interrupted());
    if (removed == n) {
        // An empty graph, as the constructor makes one.
        const double mult = level_mult;
        *this = create(m, ef_construction, ef_search, packed_bytes_per_vec, selection);
        level_mult = mult;
        return removed;
    }

    // Relinking scores construction vectors; where build() released them
    // they are rebuilt from the codes for the repair and released again.
    const bool had_vectors = has_all_vectors();
    if (!had_vectors) restore_vectors(pipeline, metric);
    auto interrupted = [&]() -> Result<uint64_t> {
        if (!had_vectors) release_vectors();
        return std::unexpected(KivoError::interrupted());
    };

    // Each remaining list that links to a removed node is chosen anew, once.
    // A relink reads its own list and the lists of removed nodes, which no
    // relink changes, so the outcome does not depend on the order, and the
    // new lists can wait until all are chosen. That waiting is what makes
    // the long part of a removal interruptible: the graph is not touched
    // until the last list is chosen. From then on (setting the lists,
    // closing the gaps, the reachability repair) nothing is asked: cut
    // midway, the graph would be neither the old one nor the new one.
    detail::RelinkScratch scratch;
    detail::StagedLists staged;
    for (uint32_t u = 0; u < n; ++u) {
        if (gone[u]) continue;
        for (uint64_t layer = 0; layer <= levels_[u]; ++layer) {
            const std::span<const uint32_t> t = links(u, layer);
            if (std::any_of(t.begin(), t.end(), [&](uint32_t v) { return v < n && gone[v]; })) {
                if (interrupt.requested()) return interrupted();
                relink(u, layer, gone, metric, scratch);
                staged.push(u, layer, scratch.targets, scratch.scores);
            }
        }
    }
    if (interrupt.requested()) return interrupted();
    for (std::size_t i = 0; i < staged.size(); ++i) {
        set_links(staged.nodes[i], staged.layers[i], staged.targets_of(i), staged.scores_of(i));
    }
    staged = {};

    const std::optional<uint32_t> old_entry = entry_point;
    drop_nodes(gone);
    // The entry point stays when it remains; otherwise it moves to the
    // remaining node of the highest level, the lowest index among equals.
    if (old_entry && *old_entry < n && !gone[*old_entry]) {
        const auto before = std::count(gone.begin(), gone.begin() + *old_entry, uint8_t{1});
        entry_point = static_cast<uint32_t>(*old_entry - before);
    } else {
        uint32_t best = 0;
        for (uint32_t i = 1; i < size(); ++i) {
            if (levels_[i] > levels_[best]) best = i;
        }
        entry_point = best;
    }
    max_level = levels_[*entry_point];

    reconnect(metric);
    if (!had_vectors) release_vectors();
    return removed;
}

}  // namespace kivo::search
