// Hnsw: the layered neighbour graph over packed codes. Queries score codes;
// insertion scores float construction vectors, held until build() releases
// them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/config.h"
#include "quantize/pipeline.h"
#include "search/filter.h"
#include "search/topk.h"

namespace kivo::io {
class ByteReader;
}

namespace kivo::search {

namespace detail {
class VisitedSet;
}  // namespace detail

struct Neighbour {
    uint32_t node;
    float score;  // construction score at link time; 0.0 when read from a file
    bool operator==(const Neighbour&) const = default;
};

struct HnswNode {
    std::vector<uint8_t> codes;
    std::vector<std::vector<Neighbour>> neighbours;  // one list per layer 0..level
    uint64_t id = 0;
    float norm = 0.0f;

    uint64_t level() const { return neighbours.size() - 1; }
    bool operator==(const HnswNode&) const = default;
};

struct Candidate {
    float score;
    uint32_t node;
};

// Candidate order: by score, then by node index. Scores that do not compare
// (NaN) count as equal, so the order is total on the node index whatever the
// scores are, and heap code built on it stays within its bounds.
inline bool candidate_less(const Candidate& a, const Candidate& b) {
    if (a.score < b.score) return true;
    if (b.score < a.score) return false;
    return a.node < b.node;
}

struct Hnsw {
    // Highest level a node can draw: a node stores its list count (level + 1)
    // in one byte of the file.
    static constexpr uint64_t kMaxLevel = 254;

    std::vector<HnswNode> nodes;
    // Construction vectors, flat: node i's transformed vector is
    // vectors[i * vector_dim, (i + 1) * vector_dim) for i below
    // vector_count(). Emptied by build(); restore_vectors() rebuilds missing
    // ones from the codes.
    std::vector<float> vectors;
    uint64_t vector_dim = 0;
    std::optional<uint32_t> entry_point;
    uint64_t max_level = 0;
    uint64_t m = 0;
    uint64_t ef_construction = 0;
    uint64_t ef_search = 0;
    uint64_t packed_bytes_per_vec = 0;
    double level_mult = 0.0;

    // An empty graph; ef_search is the effective value (already defaulted).
    static Hnsw create(uint64_t m, uint64_t ef_construction, uint64_t ef_search,
                       uint64_t packed_bytes_per_vec);

    // The HNSW section of an index file. Counts are checked against the bytes
    // that remain before allocation; an early end fails with the reader's Io
    // error, a graph that could not be searched safely (entry point missing
    // or out of range, links out of range or to a node below the layer,
    // levels above max_level) with InvalidFormat. Link scores read as 0.0;
    // no construction vectors. ef_search is the effective value.
    static Result<Hnsw> read_data(io::ByteReader& reader, uint64_t packed_bytes_per_vec, uint64_t m,
                                  uint64_t ef_construction, uint64_t ef_search);

    // Whether the file can hold this graph: fewer than 2^32 - 1 nodes (the
    // last value marks "no entry"), max_level in 32 bits, at most 255 lists
    // per node and 65535 links per list, codes of packed_bytes_per_vec bytes.
    // Io naming the value that does not fit.
    Status check_writable() const;

    // Level of node index n: a pure function of n and level_mult, capped at
    // kMaxLevel.
    static uint64_t draw_level(uint64_t node_index, double level_mult);
    // Link budget of a layer: 2m on layer 0, m above (saturating).
    uint64_t layer_budget(uint64_t layer) const;

    // Query-side layer search on packed codes.
    std::vector<Candidate> search_layer(const quantize::QuantPipeline& pipeline,
                                        std::span<const float> query, uint32_t entry, uint64_t ef,
                                        uint64_t layer, engine::Metric metric) const;
    // The same with the caller's visited set, reused across the layers of one
    // query so that a search does not allocate its table again.
    std::vector<Candidate> search_layer(const quantize::QuantPipeline& pipeline,
                                        std::span<const float> query, uint32_t entry, uint64_t ef,
                                        uint64_t layer, engine::Metric metric,
                                        detail::VisitedSet& visited) const;
    // Greedy descent, layer-0 search with max(ef_search, k), top k, then the
    // post-filter against the caller's list.
    std::vector<ScoredId> search(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                 uint64_t k, std::optional<std::span<const uint64_t>> allowlist,
                                 engine::Metric metric) const;

    // Construction-side layer search on the float construction vectors. Nodes
    // without a construction vector are never scored (they are passed over).
    std::vector<Candidate> search_layer_build(std::span<const float> query, uint32_t entry, uint64_t ef,
                                              uint64_t layer, engine::Metric metric) const;
    // The same with the caller's visited set (one per insertion).
    std::vector<Candidate> search_layer_build(std::span<const float> query, uint32_t entry, uint64_t ef,
                                              uint64_t layer, engine::Metric metric,
                                              detail::VisitedSet& visited) const;
    // Construction score of node x for query q: float32 dot product in index
    // order from -0.0; l2 subtracts half the sum of x's squares.
    static float construction_score(std::span<const float> q, std::span<const float> x,
                                    engine::Metric metric);

    // Inserts one vector. Every existing node must have its construction
    // vector: call restore_vectors() first when has_all_vectors() is false.
    // Should that be skipped, the insertion still reads no missing vector: it
    // links the node only through nodes that have one, and its own vector is
    // left to restore_vectors(). The same holds for a construction vector
    // whose length differs from vector_dim.
    void insert(std::vector<uint8_t> code, float norm, std::vector<float> construction_vector,
                uint64_t id, engine::Metric metric);

    // Takes every node whose id is in `doomed` out of the graph, as one
    // batch, and returns how many there were. Each remaining list that
    // linked to one of them is chosen anew, once, from its remaining links
    // and the removed nodes' links, with the construction's selection and
    // budget; the remaining nodes keep their order under new indexes. The
    // entry point stays when it remains, else moves to the remaining node of
    // the highest level (the lowest index among equals). Every remaining node
    // is then reachable from it on layer 0: one that is not gets a link from
    // a reached node near it. Released construction vectors are rebuilt from
    // the codes for the repair and released again.
    uint64_t remove(const Allowlist& doomed, const quantize::QuantPipeline& pipeline, engine::Metric metric);

    // Rebuilds every missing construction vector from the node's packed code:
    // the centroid of each slot in the transformed space, padded_dim values.
    // Existing vectors are kept unless their length is not padded_dim.
    void restore_vectors(const quantize::QuantPipeline& pipeline);
    void restore_vectors(uint64_t padded_dim, uint64_t n4_dims);
    // The dequantized code: CENTROIDS_4BIT for the first n4_dims slots,
    // CENTROIDS_2BIT for the rest; slots beyond the code read as 0.0.
    static std::vector<float> dequantize(std::span<const uint8_t> code, uint64_t padded_dim,
                                         uint64_t n4_dims);

    // Drops the construction vectors and frees their storage.
    void release_vectors();
    // Number of leading nodes that have a construction vector.
    uint64_t vector_count() const { return vector_dim == 0 ? 0 : vectors.size() / vector_dim; }
    bool has_all_vectors() const { return vector_count() == nodes.size(); }
    // Construction vector of a node below vector_count().
    std::span<const float> vector_of(uint32_t node) const {
        return {vectors.data() + static_cast<std::size_t>(node) * vector_dim, static_cast<std::size_t>(vector_dim)};
    }

    // Sum of squares of each construction vector, for l2 construction scores:
    // kept in step with `vectors` by insertion, recomputed when out of step.
    std::vector<float> vector_sq_sums;
};

}  // namespace kivo::search
