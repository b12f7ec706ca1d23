// Hnsw construction: level draw, the layer search on float construction
// vectors, insertion with selection, reverse links and pruning, and the
// rebuilding of released construction vectors from the packed codes.
#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

// Asks for huge pages over the whole 2 MiB pages inside [data, data + bytes).
// Construction reads rows at random across the array; with 4 KiB pages
// nearly every row costs a TLB miss. A refusal only loses speed.
void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Appends one row, growing the array geometrically itself so that the new
// storage is advised before the old rows are copied into it (pages touched
// before the advice stay small).
void append_row(std::vector<float>& vectors, std::span<const float> row) {
    const std::size_t need = vectors.size() + row.size();
    if (need > vectors.capacity()) {
        std::vector<float> grown;
        grown.reserve(std::max(need, 2 * vectors.capacity()));
        advise_huge_pages(grown.data(), grown.capacity() * sizeof(float));
        grown.assign(vectors.begin(), vectors.end());
        vectors.swap(grown);
    }
    vectors.insert(vectors.end(), row.begin(), row.end());
}

// Recomputes the cached sums of squares when they fell out of step.
void sync_sq_sums(Hnsw& graph) {
    const std::size_t count = static_cast<std::size_t>(graph.vector_count());
    if (graph.vector_sq_sums.size() == count) return;
    graph.vector_sq_sums.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        graph.vector_sq_sums[i] = sum_squares(graph.vector_of(static_cast<uint32_t>(i)));
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
    const std::size_t limit = static_cast<std::size_t>(std::min<uint64_t>(nodes.size(), vector_count()));
    if (entry >= limit) return {};
    const bool l2 = metric == vocab::Metric::L2;
    const bool cached_sq = vector_sq_sums.size() == vector_count();
    // The kernels need every row as long as the query; a query of another
    // length (outside the engine's use) takes the scalar path over the
    // shorter length.
    const bool batched = query.size() == vector_dim;
    const uint32_t features = simd::features();

    auto finish_l2 = [&](uint32_t v, float d) {
        const float sq = cached_sq ? vector_sq_sums[v] : sum_squares(vector_of(v));
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
        const char* row = reinterpret_cast<const char*>(vectors.data() + static_cast<std::size_t>(v) * vector_dim);
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
        for (std::size_t i = 0; i < count; ++i) rows[i] = vectors.data() + static_cast<std::size_t>(ids[i]) * vector_dim;
        simd::dot_rows(query.data(), query.size(), rows.data(), count, out, features);
        if (l2) {
            for (std::size_t i = 0; i < count; ++i) out[i] = finish_l2(ids[i], out[i]);
        }
    };
    return detail::layer_search(nodes, entry, score_one(entry), ef, layer, reachable, prefetch, score_many,
                                visited);
}

void Hnsw::insert(std::vector<uint8_t> code, float norm, std::vector<float> construction_vector, uint64_t id,
                  vocab::Metric metric) {
    const uint64_t n = nodes.size();
    if (vectors.empty()) vector_dim = construction_vector.size();
    const bool store = has_all_vectors() && construction_vector.size() == vector_dim && vector_dim > 0;
    sync_sq_sums(*this);

    // Steps 1-2: level and node; the vector is stored as node n's when that
    // is where it belongs. Otherwise (vectors released and not restored, or
    // a vector of another length) it is only the query of this insertion,
    // and restore_vectors() rebuilds the node's vector from its code.
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
    if (store) {
        vector_sq_sums.push_back(sum_squares(construction_vector));
        append_row(vectors, construction_vector);
    }
    const std::span<const float> q = construction_vector;
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
    detail::VisitedSet visited;
    const uint64_t top =
        ep < nodes.size() ? std::min<uint64_t>(max_level, nodes[ep].level()) : 0;
    for (uint64_t layer = top; layer > level; --layer) {
        const std::vector<Candidate> r = search_layer_build(q, ep, 1, layer, metric, visited);
        if (!r.empty()) ep = r[0].node;
    }

    // Step 6: search, select, link both ways, layer by layer down to 0.
    for (uint64_t lc = std::min(top, level);; --lc) {
        const uint64_t budget = layer_budget(lc);
        const std::vector<Candidate> w = search_layer_build(q, ep, ef_construction, lc, metric, visited);
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
    // Vectors of another length cannot be scored against the codes' space:
    // all are rebuilt then.
    if (vector_dim != padded_dim) {
        vectors.clear();
        vector_sq_sums.clear();
        vector_dim = padded_dim;
    }
    if (padded_dim == 0) return;
    sync_sq_sums(*this);
    const std::size_t kept = static_cast<std::size_t>(std::min<uint64_t>(vector_count(), nodes.size()));
    vectors.resize(kept * padded_dim);
    vector_sq_sums.resize(kept);
    vectors.reserve(nodes.size() * padded_dim);
    for (std::size_t i = kept; i < nodes.size(); ++i) {
        const std::vector<float> v = dequantize(nodes[i].codes, padded_dim, n4_dims);
        vector_sq_sums.push_back(sum_squares(v));
        vectors.insert(vectors.end(), v.begin(), v.end());
    }
}

}  // namespace kivo::search
