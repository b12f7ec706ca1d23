// Hnsw graph: creation, the query-side layer search on packed codes, and the
// queries (greedy descent, wide layer-0 search, top k, with the allowlist as
// a post-filter or a pre-filter).
#include "search/hnsw.h"

#include <algorithm>

#include "search/filter.h"
#include "search/hnsw_layer.h"

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
struct CodeScorer {
    const Hnsw& graph;
    const quantize::QuantPipeline& pipeline;
    std::span<const float> query;
    vocab::Metric metric;

    float one(uint32_t v) const {
        return quantize::adjust_score(metric, pipeline.score(query, graph.code(v)), graph.norm(v));
    }
    void many(const uint32_t* ids, std::size_t count, float* out) const {
        // The gathered kernels read a whole padded query against whole codes;
        // score() clamps to what a code holds, so any other shape goes one by
        // one.
        if (count == 1 || query.size() != pipeline.padded_dim() ||
            graph.packed_bytes_per_vec != pipeline.packed_bytes_per_vec()) {
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

}  // namespace

std::vector<Candidate> Hnsw::search_layer(const quantize::QuantPipeline& pipeline,
                                          std::span<const float> query, uint32_t entry, uint64_t ef,
                                          uint64_t layer, vocab::Metric metric) const {
    detail::VisitedSet visited;
    return search_layer(pipeline, query, entry, ef, layer, metric, visited);
}

namespace {

template <class Admit>
std::vector<Candidate> code_layer_search(const Hnsw& graph, const quantize::QuantPipeline& pipeline,
                                         std::span<const float> query, uint32_t entry, uint64_t ef, uint64_t layer,
                                         vocab::Metric metric, Admit admit, bool filtered,
                                         detail::VisitedSet& visited) {
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
    return detail::layer_search(graph, entry, s0, ef, layer, reachable, prefetch, score_many, admit, filtered,
                                visited);
}

// Greedy descent from the entry point to layer 1 with ef 1; the node to
// start layer 0 from.
uint32_t descend(const Hnsw& graph, const quantize::QuantPipeline& pipeline, std::span<const float> query,
                 vocab::Metric metric, detail::VisitedSet& visited) {
    uint32_t ep = *graph.entry_point;
    // Above the entry node's own level the entry has no links and the descent
    // would keep it anyway; starting lower only skips empty work.
    const uint64_t top = std::min<uint64_t>(graph.max_level, graph.level(ep));
    auto all = [](uint32_t) { return true; };
    for (uint64_t layer = top; layer >= 1; --layer) {
        const std::vector<Candidate> r =
            code_layer_search(graph, pipeline, query, ep, 1, layer, metric, all, false, visited);
        if (!r.empty()) ep = r[0].node;
    }
    return ep;
}

}  // namespace

std::vector<Candidate> Hnsw::search_layer(const quantize::QuantPipeline& pipeline,
                                          std::span<const float> query, uint32_t entry, uint64_t ef,
                                          uint64_t layer, vocab::Metric metric,
                                          detail::VisitedSet& visited) const {
    return code_layer_search(*this, pipeline, query, entry, ef, layer, metric, [](uint32_t) { return true; },
                             false, visited);
}

std::vector<ScoredId> Hnsw::search(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                   uint64_t k, std::optional<std::span<const uint64_t>> allowlist,
                                   vocab::Metric metric) const {
    if (k == 0) return {};
    if (!entry_point || *entry_point >= size()) return {};
    detail::VisitedSet visited;
    const uint32_t ep = descend(*this, pipeline, query, metric, visited);
    const uint64_t ef = std::max(ef_search, k);
    const std::vector<Candidate> r = search_layer(pipeline, query, ep, ef, 0, metric, visited);

    const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(k, r.size()));
    std::vector<ScoredId> out;
    out.reserve(take);
    for (std::size_t i = 0; i < take; ++i) out.push_back({ids_[r[i].node], r[i].score});
    sort_by_score_desc(out);
    // The allowlist filters the top k afterwards, as for IVF queries.
    if (allowlist) out = keep_listed(std::move(out), *allowlist);
    return out;
}

std::vector<ScoredId> Hnsw::search_filtered(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                            uint64_t k, const Allowlist& allowed, vocab::Metric metric) const {
    if (k == 0) return {};
    if (!entry_point || *entry_point >= size()) return {};
    detail::VisitedSet visited;
    const uint32_t ep = descend(*this, pipeline, query, metric, visited);
    const uint64_t ef = std::max(ef_search, k);
    auto admit = [&](uint32_t v) { return allowed.contains(ids_[v]); };
    const std::vector<Candidate> r =
        code_layer_search(*this, pipeline, query, ep, ef, 0, metric, admit, true, visited);

    const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(k, r.size()));
    std::vector<ScoredId> out;
    out.reserve(take);
    for (std::size_t i = 0; i < take; ++i) out.push_back({ids_[r[i].node], r[i].score});
    sort_by_score_desc(out);
    return out;
}

}  // namespace kivo::search
