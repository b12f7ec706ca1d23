// HNSW pre-filtered query: a layer-0 walk that navigates through every node
// and keeps only allowed ones as results, and the allowed nodes gathered for
// an exact scan.
#include <algorithm>
#include <limits>

#include "search/hnsw.h"
#include "search/hnsw_layer.h"

namespace kivo::search {

namespace {

float node_score(const quantize::QuantPipeline& pipeline, std::span<const float> query, const HnswNode& node,
                 vocab::Metric metric) {
    return quantize::adjust_score(metric, pipeline.score(query, node.codes), node.norm);
}

// The best `ef` allowed candidates: a heap whose top is the weakest.
class AllowedResults {
public:
    explicit AllowedResults(uint64_t ef) : ef_(ef) {}
    bool full() const { return items_.size() >= ef_; }
    float worst() const { return items_.empty() ? -std::numeric_limits<float>::infinity() : items_.front().score; }
    void admit(Candidate c) {
        auto weaker_on_top = [](const Candidate& a, const Candidate& b) { return candidate_less(b, a); };
        if (items_.size() < ef_) {
            items_.push_back(c);
            std::push_heap(items_.begin(), items_.end(), weaker_on_top);
        } else if (candidate_less(items_.front(), c)) {
            std::pop_heap(items_.begin(), items_.end(), weaker_on_top);
            items_.back() = c;
            std::push_heap(items_.begin(), items_.end(), weaker_on_top);
        }
    }
    std::vector<Candidate> finish() && {
        detail::stable_sort_desc(items_);
        return std::move(items_);
    }

private:
    uint64_t ef_;
    std::vector<Candidate> items_;
};

}  // namespace

std::vector<ScoredId> Hnsw::search_filtered(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                            uint64_t k, const Allowlist& filter, vocab::Metric metric) const {
    if (k == 0) return {};
    if (!entry_point || *entry_point >= nodes.size()) return {};
    uint32_t ep = *entry_point;
    detail::VisitedSet visited;
    const uint64_t top = std::min<uint64_t>(max_level, nodes[ep].level());
    for (uint64_t layer = top; layer >= 1; --layer) {
        const std::vector<Candidate> r = search_layer(pipeline, query, ep, 1, layer, metric, visited);
        if (!r.empty()) ep = r[0].node;
    }

    // Layer 0: every reached node is a stepping stone; only allowed ones
    // become results. The walk ends when the next candidate is worse than
    // the worst of ef allowed results, or when nothing is left to expand.
    const uint64_t ef = std::max(ef_search, k);
    AllowedResults results(ef);
    detail::CandidateHeap heap;
    visited.reset();
    visited.insert(ep);
    const float s0 = node_score(pipeline, query, nodes[ep], metric);
    heap.push({s0, ep});
    if (filter.contains(nodes[ep].id)) results.admit({s0, ep});
    auto reachable = [&](uint32_t v) { return v < nodes.size(); };
    std::vector<uint32_t> fresh;
    Candidate c;
    while (heap.pop(c)) {
        if (results.full() && c.score < results.worst()) break;
        const HnswNode& node = nodes[c.node];
        if (node.neighbours.empty()) continue;
        fresh.clear();
        visited.insert_links(node.neighbours[0], reachable, [&](uint32_t v) { fresh.push_back(v); });
        for (uint32_t v : fresh) {
            const float s = node_score(pipeline, query, nodes[v], metric);
            heap.push({s, v});
            if (filter.contains(nodes[v].id)) results.admit({s, v});
        }
    }
    const std::vector<Candidate> r = std::move(results).finish();
    const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(k, r.size()));
    std::vector<ScoredId> out;
    out.reserve(take);
    for (std::size_t i = 0; i < take; ++i) out.push_back({nodes[r[i].node].id, r[i].score});
    return out;
}

Gathered Hnsw::allowed_nodes(const Allowlist& filter) const {
    Gathered g;
    for (const HnswNode& node : nodes) {
        if (!filter.contains(node.id) || node.codes.size() != packed_bytes_per_vec) continue;
        g.codes.push_back(node.codes.data());
        g.ids.push_back(node.id);
        g.norms.push_back(node.norm);
    }
    return g;
}

}  // namespace kivo::search
