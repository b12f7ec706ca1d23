// Hnsw graph: creation, the query-side layer search on packed codes, and the
// queries (greedy descent, wide layer-0 search, top k, with the allowlist as
// a post-filter or a pre-filter).
#include "search/hnsw.h"

#include <algorithm>

#include "quantize/bound.h"
#include "search/filter.h"
#include "search/hnsw_layer.h"
#include "simd/dispatch.h"
#include "simd/prune.h"

namespace kivo::search {

Hnsw Hnsw::create(uint64_t m, uint64_t ef_construction, uint64_t ef_search,
                  uint64_t packed_bytes_per_vec, vocab::HnswSelection selection) {
    Hnsw graph;
    graph.selection = selection;
    graph.m = m;
    graph.ef_construction = ef_construction;
    graph.ef_search = ef_search;
    graph.packed_bytes_per_vec = packed_bytes_per_vec;
    graph.level_mult = vocab::level_multiplier(m);
    return graph;
}

namespace {

// The fresh neighbours of one pop are scored in place by the gathered kernel
// (bit-identical to one score per code), their code addresses collected in
// stack chunks.
// The gathered kernels read a whole padded query against whole codes;
// score() clamps to what a code holds, so any other shape goes one by one
// (and without bounds).
bool whole_codes(const Hnsw& graph, const quantize::QuantPipeline& pipeline, std::span<const float> query) {
    return query.size() == pipeline.padded_dim() && graph.packed_bytes_per_vec == pipeline.packed_bytes_per_vec();
}

struct CodeScorer {
    const Hnsw& graph;
    const quantize::QuantPipeline& pipeline;
    std::span<const float> query;
    vocab::Metric metric;

    float one(uint32_t v) const {
        return quantize::adjust_score(metric, pipeline.score(query, graph.code(v)), graph.norm(v));
    }
    void many(const uint32_t* ids, std::size_t count, float* out) const {
        if (count == 1 || !whole_codes(graph, pipeline, query)) {
            for (std::size_t i = 0; i < count; ++i) out[i] = one(ids[i]);
            return;
        }
        constexpr std::size_t kChunk = 64;
        const uint8_t* codes[kChunk];
        for (std::size_t start = 0; start < count; start += kChunk) {
            const std::size_t len = std::min(kChunk, count - start);
            for (std::size_t i = 0; i < len; ++i) codes[i] = graph.code(ids[start + i]).data();
            pipeline.score_gather(query, codes, len, out + start);
        }
        for (std::size_t i = 0; i < count; ++i) out[i] = quantize::adjust_score(metric, out[i], graph.norm(ids[i]));
    }
};

// Upper bounds of the adjusted scores from the pruning pass's first pass
// (the one-code form of the skip rule: adjust_score of raw_upper), which
// costs a fraction of the exact kernel; the walk scores exactly only nodes
// whose score can matter.
struct CodeBounds {
    const Hnsw& graph;
    const quantize::ScoreBound& bound;
    simd::PruneImage image;
    vocab::Metric metric;

    void operator()(const uint32_t* ids, std::size_t count, float* out) const {
        constexpr std::size_t kChunk = 64;
        const uint8_t* codes[kChunk];
        int32_t d4[kChunk];
        int32_t d2[kChunk];
        for (std::size_t start = 0; start < count; start += kChunk) {
            const std::size_t len = std::min(kChunk, count - start);
            for (std::size_t i = 0; i < len; ++i) codes[i] = graph.code(ids[start + i]).data();
            simd::approx_dots_gather(image, codes, len, d4, d2);
            for (std::size_t i = 0; i < len; ++i) {
                const float raw = bound.raw_upper(d4[i], d2[i]);
                out[start + i] = quantize::adjust_score(metric, raw, graph.norm(ids[start + i]));
            }
        }
    }
};

// The bound of a query when the walk can use one: codes of the pipeline's
// shape and a processor with the vector first pass.
std::optional<quantize::ScoreBound> walk_bound(const Hnsw& graph, const quantize::QuantPipeline& pipeline,
                                               std::span<const float> query) {
    if (!whole_codes(graph, pipeline, query) || !simd::prune_available(simd::features())) return std::nullopt;
    return quantize::ScoreBound::create(pipeline, query);
}

template <class Admit>
std::vector<Candidate> code_layer_search(const Hnsw& graph, const quantize::QuantPipeline& pipeline,
                                         std::span<const float> query, uint32_t entry, uint64_t ef, uint64_t layer,
                                         vocab::Metric metric, Admit admit, bool filtered,
                                         detail::VisitedSet& visited, const quantize::ScoreBound* bound) {
    if (entry >= graph.size()) return {};
    const CodeScorer scorer{graph, pipeline, query, metric};
    const float s0 = scorer.one(entry);
    // Links at or beyond the node count can only come from a damaged file;
    // they are never followed.
    const std::size_t n = graph.size();
    auto reachable = [n](uint32_t v) { return v < n; };
    auto score_many = [&](const uint32_t* ids, std::size_t count, float* out) { scorer.many(ids, count, out); };
    auto prefetch = [&](uint32_t v) {
        const uint8_t* code = graph.code(v).data();
        __builtin_prefetch(code);
        __builtin_prefetch(code + 64);
    };
    if (bound == nullptr) {
        return detail::layer_search(graph, entry, s0, ef, layer, reachable, prefetch, score_many, admit, filtered,
                                    visited);
    }
    const CodeBounds bounds{graph, *bound, bound->image(), metric};
    return detail::layer_search(graph, entry, s0, ef, layer, reachable, prefetch, score_many, admit, filtered,
                                visited, bounds);
}

// Greedy descent from the entry point to layer 1 with ef 1; the node to
// start layer 0 from.
uint32_t descend(const Hnsw& graph, const quantize::QuantPipeline& pipeline, std::span<const float> query,
                 vocab::Metric metric, detail::VisitedSet& visited, const quantize::ScoreBound* bound) {
    uint32_t ep = *graph.entry_point;
    // Above the entry node's own level the entry has no links and the descent
    // would keep it anyway; starting lower only skips empty work.
    const uint64_t top = std::min<uint64_t>(graph.max_level, graph.level(ep));
    auto all = [](uint32_t) { return true; };
    for (uint64_t layer = top; layer >= 1; --layer) {
        const std::vector<Candidate> r =
            code_layer_search(graph, pipeline, query, ep, 1, layer, metric, all, false, visited, bound);
        if (!r.empty()) ep = r[0].node;
    }
    return ep;
}

}  // namespace

std::vector<Candidate> Hnsw::search_layer(const quantize::QuantPipeline& pipeline,
                                          std::span<const float> query, uint32_t entry, uint64_t ef,
                                          uint64_t layer, vocab::Metric metric) const {
    detail::VisitedSet visited;
    return search_layer(pipeline, query, entry, ef, layer, metric, visited);
}

std::vector<Candidate> Hnsw::search_layer(const quantize::QuantPipeline& pipeline,
                                          std::span<const float> query, uint32_t entry, uint64_t ef,
                                          uint64_t layer, vocab::Metric metric,
                                          detail::VisitedSet& visited) const {
    const std::optional<quantize::ScoreBound> bound = walk_bound(*this, pipeline, query);
    return code_layer_search(*this, pipeline, query, entry, ef, layer, metric, [](uint32_t) { return true; },
                             false, visited, bound ? &*bound : nullptr);
}

namespace {

// A query's walk: descent, then layer 0 with ef = max(ef_search, k) and the
// admission rule; its first k entries as (id, score), sorted.
template <class Admit>
std::vector<ScoredId> top_k(const Hnsw& graph, const quantize::QuantPipeline& pipeline,
                            std::span<const float> query, uint64_t k, vocab::Metric metric, Admit admit,
                            bool filtered) {
    if (k == 0) return {};
    if (!graph.entry_point || *graph.entry_point >= graph.size()) return {};
    const uint64_t ef = std::max(graph.ef_search, k);
    // A layer-0 walk meets up to about ef full lists of new nodes.
    const uint64_t budget = graph.layer_budget(0);
    const uint64_t width = budget != 0 && ef > UINT64_MAX / budget ? UINT64_MAX : ef * budget;
    detail::VisitedSet visited(static_cast<std::size_t>(std::min<uint64_t>(graph.size(), width)));
    const std::optional<quantize::ScoreBound> bound = walk_bound(graph, pipeline, query);
    const quantize::ScoreBound* b = bound ? &*bound : nullptr;
    const uint32_t ep = descend(graph, pipeline, query, metric, visited, b);
    const std::vector<Candidate> r =
        code_layer_search(graph, pipeline, query, ep, ef, 0, metric, admit, filtered, visited, b);

    const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(k, r.size()));
    std::vector<ScoredId> out;
    out.reserve(take);
    for (std::size_t i = 0; i < take; ++i) out.push_back({graph.id(r[i].node), r[i].score});
    sort_by_score_desc(out);
    return out;
}

}  // namespace

std::vector<ScoredId> Hnsw::search(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                   uint64_t k, std::optional<std::span<const uint64_t>> allowlist,
                                   vocab::Metric metric) const {
    std::vector<ScoredId> out = top_k(*this, pipeline, query, k, metric, [](uint32_t) { return true; }, false);
    // The allowlist filters the top k afterwards, as for IVF queries.
    if (allowlist) out = keep_listed(std::move(out), *allowlist);
    return out;
}

std::vector<ScoredId> Hnsw::search_filtered(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                            uint64_t k, const Allowlist& allowed, vocab::Metric metric) const {
    return top_k(*this, pipeline, query, k, metric, [&](uint32_t v) { return allowed.contains(ids_[v]); }, true);
}

}  // namespace kivo::search
