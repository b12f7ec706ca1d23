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

// Stable sort of a link list by stored score, descending, cut to `budget`.
// A list that was sorted before the one appended link (the usual case once
// a list is full) only needs that link moved into place: with no NaN scores
// this is exactly where the stable sort puts it.
void prune(std::vector<Neighbour>& list, uint64_t budget) {
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
    list.resize(static_cast<std::size_t>(budget));
}

// Recomputes the cached sums of squares when they fell out of step.
void sync_sq_sums(Hnsw& graph) {
    if (graph.vector_sq_sums.size() == graph.vectors.size()) return;
    graph.vector_sq_sums.resize(graph.vectors.size());
    for (std::size_t i = 0; i < graph.vectors.size(); ++i) {
        graph.vector_sq_sums[i] = sum_squares(graph.vectors[i]);
    }
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

float Hnsw::construction_score(std::span<const float> q, std::span<const float> x, engine::Metric metric) {
    const std::size_t len = std::min(q.size(), x.size());
    // Index order from -0.0, each product rounded before it is added: the
    // batched kernels reproduce exactly this sum.
    float d = -0.0f;
    for (std::size_t i = 0; i < len; ++i) {
        const float p = q[i] * x[i];
        d = d + p;
    }
    if (metric != engine::Metric::L2) return d;
    const float half = 0.5f * sum_squares(x);
    return d - half;
}


std::vector<Candidate> Hnsw::search_layer_build(std::span<const float> query, uint32_t entry, uint64_t ef,
                                                uint64_t layer, engine::Metric metric) const {
    const std::size_t limit = std::min(nodes.size(), vectors.size());
    if (entry >= limit) return {};
    const bool l2 = metric == engine::Metric::L2;
    const bool cached_sq = vector_sq_sums.size() == vectors.size();
    const uint32_t features = simd::features();

    auto score_one = [&](uint32_t v) {
        const std::vector<float>& x = vectors[v];
        if (l2 && cached_sq && x.size() == query.size()) {
            const float d = construction_score(query, x, engine::Metric::Dot);
            const float half = 0.5f * vector_sq_sums[v];
            return d - half;
        }
        return construction_score(query, x, metric);
    };
    // Nodes without a construction vector are never visited.
    auto reachable = [&](uint32_t v) { return v < limit; };

    std::vector<const float*> rows;
    std::vector<uint32_t> row_nodes;
    std::vector<float> row_scores;
    auto score_many = [&](const uint32_t* ids, std::size_t count, float* out) {
        rows.clear();
        row_nodes.clear();
        for (std::size_t i = 0; i < count; ++i) {
            const std::vector<float>& x = vectors[ids[i]];
            if (x.size() == query.size()) {
                rows.push_back(x.data());
                row_nodes.push_back(static_cast<uint32_t>(i));
            } else {
                out[i] = score_one(ids[i]);
            }
        }
        if (rows.empty()) return;
        row_scores.resize(rows.size());
        simd::dot_rows(query.data(), query.size(), rows.data(), rows.size(), row_scores.data(), features);
        for (std::size_t j = 0; j < rows.size(); ++j) {
            const std::size_t i = row_nodes[j];
            float s = row_scores[j];
            if (l2) {
                const float sq = cached_sq ? vector_sq_sums[ids[i]] : sum_squares(vectors[ids[i]]);
                const float half = 0.5f * sq;
                s = s - half;
            }
            out[i] = s;
        }
    };
    return detail::layer_search(nodes, entry, score_one(entry), ef, layer, reachable, score_many);
}

void Hnsw::insert(std::vector<uint8_t> code, float norm, std::vector<float> construction_vector, uint64_t id,
                  engine::Metric metric) {
    const uint64_t n = nodes.size();
    const bool complete = has_all_vectors();
    sync_sq_sums(*this);

    // Steps 1-2: level and node; the vector is stored at index n when that is
    // where it belongs. Otherwise (vectors released and not restored) it
    // stays a query only, and restore_vectors() rebuilds it from the code.
    const uint64_t level = draw_level(n, level_mult);
    HnswNode node;
    node.codes = std::move(code);
    node.id = id;
    node.norm = norm;
    node.neighbours.resize(static_cast<std::size_t>(level) + 1);
    for (uint64_t l = 0; l <= level; ++l) {
        node.neighbours[l].reserve(static_cast<std::size_t>(std::min<uint64_t>(layer_budget(l), 128)) + 1);
    }
    nodes.push_back(std::move(node));
    std::vector<float> detached;
    if (complete) {
        vector_sq_sums.push_back(sum_squares(construction_vector));
        vectors.push_back(std::move(construction_vector));
    } else {
        detached = std::move(construction_vector);
    }
    const std::span<const float> q = complete ? std::span<const float>(vectors.back()) : detached;
    const uint32_t self = static_cast<uint32_t>(n);

    // Step 3: the first node becomes the entry.
    if (!entry_point) {
        entry_point = self;
        max_level = level;
        return;
    }

    // Steps 4-5: greedy descent. The entry has no links above its own level,
    // so the layers above it (only a damaged max_level has any) change
    // nothing and are skipped.
    uint32_t ep = *entry_point;
    const uint64_t top =
        ep < nodes.size() ? std::min<uint64_t>(max_level, nodes[ep].level()) : 0;
    for (uint64_t layer = top; layer > level; --layer) {
        const std::vector<Candidate> r = search_layer_build(q, ep, 1, layer, metric);
        if (!r.empty()) ep = r[0].node;
    }

    // Step 6: search, select, link both ways, layer by layer down to 0.
    for (uint64_t lc = std::min(top, level);; --lc) {
        const uint64_t budget = layer_budget(lc);
        const std::vector<Candidate> w = search_layer_build(q, ep, ef_construction, lc, metric);
        const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(budget, w.size()));
        std::vector<Neighbour>& own = nodes[n].neighbours[lc];
        own.clear();
        for (std::size_t i = 0; i < take; ++i) own.push_back({w[i].node, w[i].score});

        for (std::size_t i = 0; i < take; ++i) {
            const Neighbour link = nodes[n].neighbours[lc][i];
            HnswNode& other = nodes[link.node];
            // A node below this layer can only be reached through a damaged
            // graph; it gets no list here.
            if (lc >= other.neighbours.size()) continue;
            std::vector<Neighbour>& list = other.neighbours[lc];
            const bool linked = std::any_of(list.begin(), list.end(),
                                            [&](const Neighbour& e) { return e.node == self; });
            if (linked) continue;
            // The reverse link keeps the score seen from the new node.
            list.push_back({self, link.score});
            if (list.size() > budget) prune(list, budget);
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

void Hnsw::restore_vectors(const quantize::QuantPipeline& pipeline) {
    restore_vectors(pipeline.padded_dim(), pipeline.n4_dims());
}

void Hnsw::restore_vectors(uint64_t padded_dim, uint64_t n4_dims) {
    sync_sq_sums(*this);
    vectors.resize(nodes.size());
    vector_sq_sums.resize(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (vectors[i].size() == padded_dim) continue;
        vectors[i] = dequantize(nodes[i].codes, padded_dim, n4_dims);
        vector_sq_sums[i] = sum_squares(vectors[i]);
    }
}

}  // namespace kivo::search
