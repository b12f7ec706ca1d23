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
#include "search/topk.h"

namespace kivo::io {
class ByteReader;
}

namespace kivo::search {

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

struct Hnsw {
    std::vector<HnswNode> nodes;
    // Construction vectors: node i's transformed vector. Emptied by build().
    std::vector<std::vector<float>> vectors;
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

    // Level of node index n: a pure function of n and level_mult.
    static uint64_t draw_level(uint64_t node_index, double level_mult);

    // Query-side layer search on packed codes.
    std::vector<Candidate> search_layer(const quantize::QuantPipeline& pipeline,
                                        std::span<const float> query, uint32_t entry, uint64_t ef,
                                        uint64_t layer, engine::Metric metric) const;
    // Greedy descent, layer-0 search with max(ef_search, k), top k, then the
    // post-filter against the caller's list.
    std::vector<ScoredId> search(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                 uint64_t k, std::optional<std::span<const uint64_t>> allowlist,
                                 engine::Metric metric) const;

    // Construction-side layer search on the float construction vectors.
    std::vector<Candidate> search_layer_build(std::span<const float> query, uint32_t entry, uint64_t ef,
                                              uint64_t layer, engine::Metric metric) const;
    // Inserts one vector. Every existing node must have its construction
    // vector (the engine restores them first when they were released).
    void insert(std::vector<uint8_t> code, float norm, std::vector<float> construction_vector,
                uint64_t id, engine::Metric metric);

    // Drops the construction vectors and frees their storage.
    void release_vectors();
    bool has_all_vectors() const { return vectors.size() == nodes.size(); }
};

}  // namespace kivo::search
