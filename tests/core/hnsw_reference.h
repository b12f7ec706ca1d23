// Plain restatements of the HNSW layer search and insertion for the tests:
// linear-scan heap, ordered set for visited nodes, a full stable sort at every
// overflow of the result list, and one scalar loop per construction score.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <span>
#include <vector>

#include "search/hnsw.h"

namespace kivo::search::reference {

inline void sort_desc(std::vector<Candidate>& v) {
    std::stable_sort(v.begin(), v.end(),
                     [](const Candidate& a, const Candidate& b) { return ranks_above(a.score, b.score); });
}

// NaN scores rank below every number (search/topk.h).
template <class Score>
std::vector<Candidate> layer_search(const std::vector<HnswNode>& nodes, uint32_t entry, uint64_t ef, uint64_t layer,
                                    Score score) {
    const float s0 = score(entry);
    std::vector<Candidate> heap{{s0, entry}};
    std::set<uint32_t> visited{entry};
    std::vector<Candidate> result{{s0, entry}};
    uint64_t pops = 0;
    while (!heap.empty()) {
        std::size_t best = 0;
        for (std::size_t i = 1; i < heap.size(); ++i) {
            if (candidate_less(heap[best], heap[i])) best = i;
        }
        const Candidate c = heap[best];
        heap.erase(heap.begin() + static_cast<std::ptrdiff_t>(best));
        ++pops;
        float worst = std::numeric_limits<float>::infinity();
        for (const Candidate& r : result) {
            if (ranks_above(worst, r.score)) worst = r.score;
        }
        if (ranks_above(worst, c.score) && pops > ef) break;
        if (layer >= nodes[c.node].neighbours.size()) continue;
        for (const Neighbour& link : nodes[c.node].neighbours[layer]) {
            const uint32_t n = link.node;
            if (!visited.insert(n).second) continue;
            const float s = score(n);
            heap.push_back({s, n});
            if (result.size() < ef || ranks_above(s, worst)) {
                const std::size_t before = result.size();
                result.push_back({s, n});
                if (before >= ef) {
                    sort_desc(result);
                    result.resize(ef);
                }
            }
        }
    }
    sort_desc(result);
    return result;
}

inline float construction_score(std::span<const float> q, std::span<const float> x, vocab::Metric metric) {
    float d = -0.0f;
    for (std::size_t i = 0; i < std::min(q.size(), x.size()); ++i) d = d + q[i] * x[i];
    if (metric != vocab::Metric::L2) return d;
    float sq = 0.0f;
    for (float v : x) sq = sq + v * v;
    return d - 0.5f * sq;
}

inline std::vector<Candidate> search_layer_build(const Hnsw& g, std::span<const float> q, uint32_t entry,
                                                 uint64_t ef, uint64_t layer, vocab::Metric metric) {
    return layer_search(g.nodes, entry, ef, layer,
                        [&](uint32_t v) { return construction_score(q, g.vector_of(v), metric); });
}

// Insertion step by step; `g` holds only the data fields.
inline void insert(Hnsw& g, std::vector<uint8_t> code, float norm, std::vector<float> q, uint64_t id,
                   vocab::Metric metric) {
    const uint64_t n = g.nodes.size();
    const uint64_t level = Hnsw::draw_level(n, g.level_mult);
    HnswNode node;
    node.codes = std::move(code);
    node.id = id;
    node.norm = norm;
    node.neighbours.resize(level + 1);
    g.nodes.push_back(node);
    if (g.vectors.empty()) g.vector_dim = q.size();
    g.vectors.insert(g.vectors.end(), q.begin(), q.end());
    if (!g.entry_point) {
        g.entry_point = static_cast<uint32_t>(n);
        g.max_level = level;
        return;
    }
    uint32_t ep = *g.entry_point;
    const uint64_t top = g.max_level;
    for (uint64_t layer = top; layer > level; --layer) {
        auto r = search_layer_build(g, q, ep, 1, layer, metric);
        if (!r.empty()) ep = r[0].node;
    }
    for (uint64_t lc = std::min(top, level);; --lc) {
        const uint64_t budget = lc == 0 ? 2 * g.m : g.m;
        auto w = search_layer_build(g, q, ep, g.ef_construction, lc, metric);
        std::vector<Neighbour> selected;
        for (std::size_t i = 0; i < std::min<std::size_t>(budget, w.size()); ++i) {
            selected.push_back({w[i].node, w[i].score});
        }
        g.nodes[n].neighbours[lc] = selected;
        for (const Neighbour& s : selected) {
            auto& list = g.nodes[s.node].neighbours[lc];
            bool present = false;
            for (const Neighbour& e : list) present = present || e.node == n;
            if (present) continue;
            list.push_back({static_cast<uint32_t>(n), s.score});
            if (list.size() > budget) {
                std::stable_sort(list.begin(), list.end(),
                                 [](const Neighbour& a, const Neighbour& b) { return a.score > b.score; });
                list.resize(budget);
            }
        }
        if (!w.empty()) ep = w[0].node;
        if (lc == 0) break;
    }
    if (level > g.max_level) {
        g.entry_point = static_cast<uint32_t>(n);
        g.max_level = level;
    }
}

}  // namespace kivo::search::reference
