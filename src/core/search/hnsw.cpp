// Hnsw graph: creation, the query-side layer search on packed codes, and the
// query (greedy descent, wide layer-0 search, top k, allowlist post-filter).
#include "search/hnsw.h"

#include <algorithm>

#include "search/filter.h"
#include "search/hnsw_layer.h"

namespace kivo::search {

Hnsw Hnsw::create(uint64_t m, uint64_t ef_construction, uint64_t ef_search,
                  uint64_t packed_bytes_per_vec) {
    Hnsw graph;
    graph.m = m;
    graph.ef_construction = ef_construction;
    graph.ef_search = ef_search;
    graph.packed_bytes_per_vec = packed_bytes_per_vec;
    graph.level_mult = vocab::level_multiplier(m);
    return graph;
}

void Hnsw::release_vectors() {
    std::vector<float>().swap(vectors);
    std::vector<float>().swap(vector_sq_sums);
    vector_dim = 0;
}

namespace {

// Similarity of one node for a transformed query: raw code score adjusted by
// the node's stored norm.
float node_score(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                 const HnswNode& node, vocab::Metric metric) {
    return quantize::adjust_score(metric, pipeline.score(query, node.codes), node.norm);
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
    if (entry >= nodes.size()) return {};
    const float s0 = node_score(pipeline, query, nodes[entry], metric);
    // Links at or beyond the node count can only come from a damaged file;
    // they are never followed.
    auto reachable = [&](uint32_t v) { return v < nodes.size(); };
    auto score_many = [&](const uint32_t* ids, std::size_t count, float* out) {
        for (std::size_t i = 0; i < count; ++i) out[i] = node_score(pipeline, query, nodes[ids[i]], metric);
    };
    auto prefetch = [&](uint32_t v) { __builtin_prefetch(nodes[v].codes.data()); };
    return detail::layer_search(nodes, entry, s0, ef, layer, reachable, prefetch, score_many, visited);
}

std::vector<ScoredId> Hnsw::search(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                   uint64_t k, std::optional<std::span<const uint64_t>> allowlist,
                                   vocab::Metric metric) const {
    if (k == 0) return {};
    if (!entry_point || *entry_point >= nodes.size()) return {};
    uint32_t ep = *entry_point;
    detail::VisitedSet visited;
    // Above the entry node's own level the entry has no links and the descent
    // would keep it anyway; starting lower only skips empty work (and a huge
    // max_level from a damaged file).
    const uint64_t top = std::min<uint64_t>(max_level, nodes[ep].level());
    for (uint64_t layer = top; layer >= 1; --layer) {
        const std::vector<Candidate> r = search_layer(pipeline, query, ep, 1, layer, metric, visited);
        if (!r.empty()) ep = r[0].node;
    }
    const uint64_t ef = std::max(ef_search, k);
    const std::vector<Candidate> r = search_layer(pipeline, query, ep, ef, 0, metric, visited);

    const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(k, r.size()));
    std::vector<ScoredId> out;
    out.reserve(take);
    for (std::size_t i = 0; i < take; ++i) out.push_back({nodes[r[i].node].id, r[i].score});
    sort_by_score_desc(out);
    // The allowlist filters the top k afterwards, as for IVF queries.
    if (allowlist) out = keep_listed(std::move(out), *allowlist);
    return out;
}

}  // namespace kivo::search
