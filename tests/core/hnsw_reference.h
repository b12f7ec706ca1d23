// Plain restatements of the HNSW layer search and insertion for the tests:
// linear-scan heap, ordered set for visited nodes, a full stable sort at every
// overflow of the result list, and one scalar loop per construction score.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "search/hnsw.h"

namespace kivo::search::reference {

// The graph as plain records, node order.
inline std::vector<HnswNode> records(const Hnsw& g) {
    std::vector<HnswNode> out;
    for (uint32_t i = 0; i < g.size(); ++i) out.push_back(g.record(i));
    return out;
}

// A graph held as plain records, built by the restated insertion below.
struct Graph {
    std::vector<HnswNode> nodes;
    std::vector<std::vector<float>> vectors;
    std::optional<uint32_t> entry_point;
    uint64_t max_level = 0;
    uint64_t m = 0;
    uint64_t ef_construction = 0;
    double level_mult = 0.0;
    vocab::HnswSelection selection = vocab::HnswSelection::Diverse;

    std::span<const float> vector_of(uint32_t v) const { return vectors[v]; }
};

inline Graph make_graph(uint64_t m, uint64_t ef_construction, vocab::HnswSelection selection) {
    Graph g;
    g.m = m;
    g.ef_construction = ef_construction;
    g.level_mult = vocab::level_multiplier(m);
    g.selection = selection;
    return g;
}

inline void sort_desc(std::vector<Candidate>& v) {
    std::stable_sort(v.begin(), v.end(), [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
}

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
            if (r.score < worst) worst = r.score;
        }
        if (c.score < worst && pops > ef) break;
        if (layer >= nodes[c.node].neighbours.size()) continue;
        for (const Neighbour& link : nodes[c.node].neighbours[layer]) {
            const uint32_t n = link.node;
            if (!visited.insert(n).second) continue;
            const float s = score(n);
            heap.push_back({s, n});
            if (result.size() < ef || s > worst) {
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

inline std::vector<Candidate> search_layer_build(const Graph& g, std::span<const float> q, uint32_t entry,
                                                 uint64_t ef, uint64_t layer, vocab::Metric metric) {
    return layer_search(g.nodes, entry, ef, layer,
                        [&](uint32_t v) { return construction_score(q, g.vector_of(v), metric); });
}

// The diversity rule restated: candidates best first; c is kept when its
// construction score (c as the query) with `base` beats the one with every
// link kept so far; the budget is then filled with the best of the rest, and
// the chosen ones are listed in candidate order.
inline std::vector<Neighbour> select_diverse(const Graph& g, uint32_t base, const std::vector<Neighbour>& sorted,
                                             uint64_t budget, vocab::Metric metric) {
    if (sorted.size() <= budget) return sorted;
    std::vector<bool> chosen(sorted.size(), false);
    std::vector<uint32_t> kept;
    for (std::size_t i = 0; i < sorted.size() && kept.size() < budget; ++i) {
        const auto c = g.vector_of(sorted[i].node);
        const float to_base = construction_score(c, g.vector_of(base), metric);
        bool good = true;
        for (uint32_t r : kept) good = good && to_base > construction_score(c, g.vector_of(r), metric);
        if (!good) continue;
        chosen[i] = true;
        kept.push_back(sorted[i].node);
    }
    std::size_t count = kept.size();
    for (std::size_t i = 0; i < sorted.size() && count < budget; ++i) {
        if (!chosen[i]) {
            chosen[i] = true;
            ++count;
        }
    }
    std::vector<Neighbour> out;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (chosen[i]) out.push_back(sorted[i]);
    }
    return out;
}

// Insertion step by step; `g` holds only the data fields and the selection.
inline void insert(Graph& g, std::vector<uint8_t> code, float norm, std::vector<float> q, uint64_t id,
                   vocab::Metric metric) {
    const bool diverse = g.selection == vocab::HnswSelection::Diverse;
    const uint64_t n = g.nodes.size();
    const uint64_t level = Hnsw::draw_level(n, g.level_mult);
    HnswNode node;
    node.codes = std::move(code);
    node.id = id;
    node.norm = norm;
    node.neighbours.resize(level + 1);
    g.nodes.push_back(node);
    g.vectors.push_back(q);
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
        for (const Candidate& c : w) selected.push_back({c.node, c.score});
        if (diverse) {
            selected = select_diverse(g, static_cast<uint32_t>(n), selected, budget, metric);
        } else if (selected.size() > budget) {
            selected.resize(budget);
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
                if (diverse) {
                    list = select_diverse(g, s.node, list, budget, metric);
                } else {
                    list.resize(budget);
                }
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
