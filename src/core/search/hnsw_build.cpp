// Hnsw construction: level draw, the layer search on float construction
// vectors, insertion with selection, reverse links and pruning, and the
// rebuilding of released construction vectors from the packed codes.
#include <algorithm>
#include <cmath>
#include <limits>

#include "quantize/tables.h"
#include "search/hnsw.h"
#include "search/hnsw_layer.h"
#include "simd/dispatch.h"
#include "simd/dot_rows.h"

namespace kivo::search {

namespace {

// Sum of x[i]^2 in index order, one float32 accumulator.
float sum_squares(std::span<const float> x) {
    float acc = 0.0f;
    for (float v : x) {
        const float p = v * v;
        acc = acc + p;
    }
    return acc;
}

// Stable sort of a link list by stored score, descending. A list that was
// sorted before the one appended link (the usual case once a list is full)
// only needs that link moved into place: with no NaN scores this is exactly
// where the stable sort puts it.
// The statuses of `sorted` (a stored list and the new link `added`, in score
// order) as far as the stored ones carry over: only when the sort kept the
// stored links in their order, since a status depends on the links before
// it. Empty otherwise, or when a stored status is unknown.
void known_statuses(std::span<const Neighbour> sorted, std::span<const uint32_t> stored,
                    std::span<const LinkStatus> stored_status, uint32_t added, std::vector<LinkStatus>& out) {
    out.clear();
    if (stored_status.size() != stored.size()) return;
    std::size_t j = 0;
    for (const Neighbour& link : sorted) {
        if (link.node == added) {
            out.push_back(LinkStatus::Unknown);
            continue;
        }
        if (j >= stored.size() || stored[j] != link.node || stored_status[j] == LinkStatus::Unknown) {
            out.clear();
            return;
        }
        out.push_back(stored_status[j++]);
    }
}

void sort_links(std::vector<Neighbour>& list) {
    const Neighbour added = list.back();
    bool sorted_before = !std::isnan(added.score);
    for (std::size_t i = 0; sorted_before && i + 1 < list.size(); ++i) {
        if (std::isnan(list[i].score) || (i > 0 && list[i - 1].score < list[i].score)) sorted_before = false;
    }
    if (sorted_before) {
        list.pop_back();
        auto at = std::partition_point(list.begin(), list.end(),
                                       [&](const Neighbour& e) { return e.score >= added.score; });
        list.insert(at, added);
    } else {
        std::stable_sort(list.begin(), list.end(),
                         [](const Neighbour& a, const Neighbour& b) { return a.score > b.score; });
    }
}

// Recomputes the cached sums of squares when they fell out of step.
void sync_sq_sums(std::vector<float>& sums, const Hnsw& graph) {
    const std::size_t count = static_cast<std::size_t>(graph.vector_count());
    if (sums.size() == count) return;
    sums.resize(count);
    for (std::size_t i = 0; i < count; ++i) sums[i] = sum_squares(graph.vector_of(static_cast<uint32_t>(i)));
}

}  // namespace

uint64_t Hnsw::draw_level(uint64_t node_index, double level_mult) {
    // Fixed constants: the level of a node depends on its index alone.
    const uint64_t x = node_index * 0x5851F42D4C957F2DULL + 0x6C576FAC43FD007CULL;
    const double u = static_cast<double>(x >> 11) * 0x1p-53;
    const double v = std::floor(-std::log(u) * level_mult);
    uint64_t level = 0;
    if (!(v >= 0.0)) {
        level = 0;  // negative or NaN
    } else if (v >= 18446744073709551616.0) {
        level = std::numeric_limits<uint64_t>::max();
    } else {
        level = static_cast<uint64_t>(v);
    }
    return std::min(level, kMaxLevel);
}

uint64_t Hnsw::layer_budget(uint64_t layer) const {
    if (layer > 0) return m;
    return m > std::numeric_limits<uint64_t>::max() / 2 ? std::numeric_limits<uint64_t>::max() : 2 * m;
}

float Hnsw::construction_score(std::span<const float> q, std::span<const float> x, vocab::Metric metric) {
    const std::size_t len = std::min(q.size(), x.size());
    // Index order from -0.0, each product rounded before it is added: the
    // batched kernels reproduce exactly this sum.
    float d = -0.0f;
    for (std::size_t i = 0; i < len; ++i) {
        const float p = q[i] * x[i];
        d = d + p;
    }
    if (metric != vocab::Metric::L2) return d;
    const float half = 0.5f * sum_squares(x);
    return d - half;
}

std::vector<Candidate> Hnsw::search_layer_build(std::span<const float> query, uint32_t entry, uint64_t ef,
                                                uint64_t layer, vocab::Metric metric) const {
    detail::VisitedSet visited;
    return search_layer_build(query, entry, ef, layer, metric, visited);
}

std::vector<Candidate> Hnsw::search_layer_build(std::span<const float> query, uint32_t entry, uint64_t ef,
                                                uint64_t layer, vocab::Metric metric,
                                                detail::VisitedSet& visited) const {
    const std::size_t limit = static_cast<std::size_t>(std::min<uint64_t>(size(), vector_count()));
    if (entry >= limit) return {};
    const bool l2 = metric == vocab::Metric::L2;
    const bool cached_sq = vector_sq_sums_.size() == vector_count();
    // The kernels need every row as long as the query; a query of another
    // length (outside the engine's use) takes the scalar path over the
    // shorter length.
    const bool batched = query.size() == vector_dim();
    const uint32_t features = simd::features();

    auto finish_l2 = [&](uint32_t v, float d) {
        const float sq = cached_sq ? vector_sq_sums_[v] : sum_squares(vector_of(v));
        const float half = 0.5f * sq;
        return d - half;
    };
    auto score_one = [&](uint32_t v) {
        const float d = construction_score(query, vector_of(v), vocab::Metric::Dot);
        return l2 ? finish_l2(v, d) : d;
    };
    // Nodes without a construction vector are never visited.
    auto reachable = [&](uint32_t v) { return v < limit; };
    // Start loading each new row while the rest of the list is walked.
    auto prefetch = [&](uint32_t v) {
        const char* row = reinterpret_cast<const char*>(vectors_.row(v));
        __builtin_prefetch(row);
        __builtin_prefetch(row + 64);
    };

    std::vector<const float*> rows;
    auto score_many = [&](const uint32_t* ids, std::size_t count, float* out) {
        if (!batched) {
            for (std::size_t i = 0; i < count; ++i) out[i] = score_one(ids[i]);
            return;
        }
        rows.resize(count);
        for (std::size_t i = 0; i < count; ++i) rows[i] = vectors_.row(ids[i]);
        simd::dot_rows(query.data(), query.size(), rows.data(), count, out, features);
        if (l2) {
            for (std::size_t i = 0; i < count; ++i) out[i] = finish_l2(ids[i], out[i]);
        }
    };
    return detail::layer_search(*this, entry, score_one(entry), ef, layer, reachable, prefetch, score_many,
                                [](uint32_t) { return true; }, false, visited);
}

void Hnsw::insert(std::span<const uint8_t> code, float norm, std::span<const float> q, uint64_t id,
                  vocab::Metric metric) {
    const uint64_t n = size();
    if (n == 0 && vectors_.empty()) vectors_.reset(q.size());
    // Links are made only when every node has its construction vector and
    // its links their scores (restore_vectors() after build() or a load).
    // Otherwise the node is stored without links and without a vector (the
    // engine never does this).
    const bool linkable = vector_count() == n && has_scores_ && q.size() == vector_dim() && !q.empty();

    // Steps 1-2: level and node.
    const uint64_t level = draw_level(n, level_mult);
    const uint32_t self = append_node(id, code, norm, level);
    if (linkable) {
        sync_sq_sums(vector_sq_sums_, *this);
        vectors_.push_back(q);
        vector_sq_sums_.push_back(sum_squares(q));
    }

    // Step 3: the first node becomes the entry.
    if (!entry_point) {
        entry_point = self;
        max_level = level;
        return;
    }
    if (!linkable) return;

    // Steps 4-5: greedy descent. The entry has no links above its own level,
    // so the layers above it (only a damaged max_level has any) change
    // nothing and are skipped.
    uint32_t ep = *entry_point;
    detail::VisitedSet visited;
    const uint64_t top = ep < size() ? std::min<uint64_t>(max_level, levels_[ep]) : 0;
    for (uint64_t layer = top; layer > level; --layer) {
        const std::vector<Candidate> r = search_layer_build(q, ep, 1, layer, metric, visited);
        if (!r.empty()) ep = r[0].node;
    }

    // Step 6: search, select, link both ways, layer by layer down to 0.
    std::vector<Neighbour> candidates;
    std::vector<Neighbour> chosen;
    std::vector<Neighbour> list;
    std::vector<Neighbour> pruned;
    std::vector<LinkStatus> known;
    std::vector<LinkStatus> chosen_status;
    std::vector<uint32_t> targets;
    std::vector<float> scores;
    auto store = [&](uint32_t node, uint64_t layer, const std::vector<Neighbour>& links) {
        targets.clear();
        scores.clear();
        for (const Neighbour& link : links) {
            targets.push_back(link.node);
            scores.push_back(link.score);
        }
        set_links(node, layer, targets, scores);
    };
    for (uint64_t lc = std::min(top, level);; --lc) {
        const uint64_t budget = layer_budget(lc);
        const std::vector<Candidate> w = search_layer_build(q, ep, ef_construction, lc, metric, visited);
        candidates.clear();
        for (const Candidate& c : w) candidates.push_back({c.node, c.score});
        select_links(self, candidates, budget, metric, chosen, {}, &chosen_status);
        store(self, lc, chosen);
        set_link_status(self, lc, chosen_status);

        for (const Neighbour& link : chosen) {
            // A node below this layer can only be reached through a damaged
            // graph; it gets no list here.
            if (lc > levels_[link.node]) continue;
            const std::span<const uint32_t> present = links(link.node, lc);
            if (std::find(present.begin(), present.end(), self) != present.end()) continue;
            // The reverse link keeps the score seen from the new node.
            if (present.size() < budget) {
                ensure_stride(lc > 0, present.size() + 1);
                push_link(link.node, lc, self, link.score);
                continue;
            }
            const std::span<const float> present_scores = link_scores(link.node, lc);
            const std::span<const LinkStatus> present_status = link_status(link.node, lc);
            list.clear();
            for (std::size_t i = 0; i < present.size(); ++i) list.push_back({present[i], present_scores[i]});
            list.push_back({self, link.score});
            sort_links(list);
            if (selection == vocab::HnswSelection::Closest) {
                list.resize(static_cast<std::size_t>(budget));
                store(link.node, lc, list);
            } else {
                known_statuses(list, present, present_status, self, known);
                select_links(link.node, list, budget, metric, pruned, known, &chosen_status);
                store(link.node, lc, pruned);
                set_link_status(link.node, lc, chosen_status);
            }
        }
        if (!w.empty()) ep = w[0].node;
        if (lc == 0) break;
    }

    // Step 7: only a strictly higher level takes over the entry.
    if (level > max_level) {
        entry_point = self;
        max_level = level;
    }
}

std::vector<float> Hnsw::dequantize(std::span<const uint8_t> code, uint64_t padded_dim, uint64_t n4_dims) {
    const uint64_t n4 = std::min(n4_dims, padded_dim);
    const uint64_t pb4 = (n4 + 1) / 2;
    std::vector<float> out(static_cast<std::size_t>(padded_dim), 0.0f);
    for (uint64_t i = 0; i < n4; ++i) {
        const uint64_t byte = i / 2;
        if (byte >= code.size()) break;
        const unsigned nibble = (i % 2 == 0) ? (code[byte] & 0x0Fu) : (code[byte] >> 4);
        out[i] = quantize::CENTROIDS_4BIT[nibble];
    }
    for (uint64_t j = 0; j < padded_dim - n4; ++j) {
        const uint64_t byte = pb4 + j / 4;
        if (byte >= code.size()) break;
        const unsigned slot = (code[byte] >> (2 * (j % 4))) & 0x3u;
        out[n4 + j] = quantize::CENTROIDS_2BIT[slot];
    }
    return out;
}

void Hnsw::restore_vectors(const quantize::QuantPipeline& pipeline, vocab::Metric metric) {
    restore_vectors(pipeline.padded_dim(), pipeline.n4_dims(), metric);
}

void Hnsw::restore_vectors(uint64_t padded_dim, uint64_t n4_dims, vocab::Metric metric) {
    // Vectors of another length cannot be scored against the codes' space:
    // all are rebuilt then.
    if (vector_dim() != padded_dim) {
        vectors_.reset(padded_dim);
        vector_sq_sums_.clear();
    }
    if (padded_dim == 0) return;
    const uint64_t kept = std::min<uint64_t>(vector_count(), size());
    vectors_.truncate(kept);
    sync_sq_sums(vector_sq_sums_, *this);
    for (uint64_t i = kept; i < size(); ++i) {
        const std::vector<float> v = dequantize(code(static_cast<uint32_t>(i)), padded_dim, n4_dims);
        vector_sq_sums_.push_back(sum_squares(v));
        vectors_.push_back(v);
    }
    if (!has_scores_) recompute_scores(metric);
    // Statuses worked out against the vectors replaced here no longer hold.
    forget_link_status();
}

// Each link's score seen from its list's owner, from the construction
// vectors: what insertion would have stored had it made the link now.
void Hnsw::recompute_scores(vocab::Metric metric) {
    layer0_scores_.assign(layer0_.size(), 0.0f);
    upper_scores_.assign(upper_.size(), 0.0f);
    has_scores_ = true;
    const uint32_t features = simd::features();
    const bool l2 = metric == vocab::Metric::L2;
    std::vector<const float*> rows;
    std::vector<float> out;
    for (uint32_t node = 0; node < size(); ++node) {
        for (uint64_t layer = 0; layer <= levels_[node]; ++layer) {
            const std::span<const uint32_t> t = links(node, layer);
            if (t.empty()) continue;
            rows.clear();
            for (uint32_t target : t) rows.push_back(vectors_.row(target));
            out.resize(t.size());
            simd::dot_rows(vectors_.row(node), static_cast<std::size_t>(vector_dim()), rows.data(), rows.size(),
                           out.data(), features);
            std::vector<float>& s = layer == 0 ? layer0_scores_ : upper_scores_;
            const std::size_t word = word_of(node, layer);
            for (std::size_t i = 0; i < t.size(); ++i) {
                float score = out[i];
                if (l2) {
                    const float half = 0.5f * vector_sq_sums_[t[i]];
                    score = score - half;
                }
                s[word + 1 + i] = score;
            }
        }
    }
}

}  // namespace kivo::search
