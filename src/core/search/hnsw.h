// Hnsw: the layered neighbour graph over packed codes, held in flat arrays.
// Queries score codes; insertion scores float construction vectors, held
// (with the links' construction scores) only while vectors are inserted.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "config.h"
#include "error.h"
#include "interrupt.h"
#include "quantize/pipeline.h"
#include "search/batch_scan.h"
#include "search/filter.h"
#include "search/topk.h"

namespace kivo::io {
class ByteReader;
}

namespace kivo::search {

namespace detail {
class VisitedSet;
struct RelinkScratch;
}  // namespace detail

// A link's standing under the diverse selection rule within its list: kept
// (no better kept link stops it) or discarded (one does; it stays only to
// fill the budget).
enum class LinkStatus : uint8_t { Unknown, Kept, Discarded };

struct Neighbour {
    uint32_t node;
    float score;  // construction score at link time; 0.0 when read from a file
    bool operator==(const Neighbour&) const = default;
};

// One node as a plain record: the exchange form for tests and tools (see
// Hnsw::record and Hnsw::append_record); the graph itself never holds these.
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

// Candidate order: by score (a NaN below every number, search/topk.h), then
// by node index, so the order is total whatever the scores are.
inline bool candidate_less(const Candidate& a, const Candidate& b) {
    if (ranks_above(b.score, a.score)) return true;
    if (ranks_above(a.score, b.score)) return false;
    return a.node < b.node;
}

// Construction vectors: one row of `dim` floats per node, in node order,
// stored in fixed chunks so that growing never copies (or doubles) the rows
// already held. A chunk holds a power of two rows, at most 4,096 and no more
// than fit in 8 MiB (at least one), so a long row never costs a huge chunk.
class RowStore {
public:
    RowStore() = default;
    // Copies are deep (an engine copy is an independent index).
    RowStore(const RowStore& other);
    RowStore& operator=(const RowStore& other);
    RowStore(RowStore&&) noexcept = default;
    RowStore& operator=(RowStore&&) noexcept = default;

    uint64_t dim() const { return dim_; }
    uint64_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const float* row(uint64_t i) const { return chunks_[i >> shift_].get() + (i & mask()) * dim_; }
    // Sets the row length of an empty store.
    void reset(uint64_t dim);
    void push_back(std::span<const float> row);
    // Keeps the first `count` rows.
    void truncate(uint64_t count);
    // Drops the rows i with gone[i] set, keeping the others in order, and
    // frees the chunks no longer needed.
    void erase_rows(const std::vector<uint8_t>& gone);
    // Drops every row and its storage (the row length stays).
    void clear();
    std::size_t bytes() const;

private:
    static constexpr uint64_t kMaxChunkShift = 12;
    static constexpr uint64_t kChunkBytes = uint64_t{8} << 20;
    static uint64_t chunk_shift(uint64_t dim);
    uint64_t mask() const { return (uint64_t{1} << shift_) - 1; }
    uint64_t chunk_floats() const { return (mask() + 1) * std::max<uint64_t>(dim_, 1); }
    std::vector<std::unique_ptr<float[]>> chunks_;
    uint64_t dim_ = 0;
    uint64_t shift_ = kMaxChunkShift;
    uint64_t size_ = 0;
};

// The graph. Layout (invariants that every operation keeps; a node's index
// is its position, and nodes keep their relative order: only remove() takes
// nodes out, and the nodes after a removed one move down to close the gap):
// - Node i < size(): ids_[i], norms_[i], levels_[i] (at most kMaxLevel) and
//   its packed code at codes_[i * P, (i + 1) * P), P = packed_bytes_per_vec.
// - Layer 0: node i's list is the block layer0_[i * (s0 + 1) ...] of
//   s0 + 1 = layer0_stride_ + 1 words: the link count c <= s0, then c node
//   indexes in list order; the slots after them hold no meaning.
// - Layers 1 .. level of node i: blocks of s1 + 1 words (s1 = upper_stride_)
//   shaped like layer 0's, layer l at block upper_block_[i] + l - 1 of
//   upper_. Blocks are handed out in node order; upper_block_[i] is the sum
//   of the levels of the nodes before i.
// - Every link points to a node below size() whose level is at least the
//   layer (checked by read_data, kept by insertion); counts stay within the
//   budgets of insertion (2m on layer 0, m above) or, for a loaded graph,
//   within what the file held (read_data refuses lists beyond the budget).
// - A stride grows (doubling, never past the budget) only when a list needs
//   the room, so a graph costs what its longest list needs; growing rewrites
//   the whole array.
// - While insertion is possible (has_all_vectors()), layer0_scores_ and
//   upper_scores_ run parallel to layer0_ and upper_ (same word positions)
//   with each link's construction score; otherwise they are empty.
// - layer0_status_ and upper_status_ run parallel the same way while scores
//   are held: each link's status under the diverse rule within its list,
//   a cache that lets a full list take a new candidate without testing
//   every pair again (Unknown wherever it was not worked out).
class Hnsw {
public:
    // Highest level a node can draw: a node stores its list count (level + 1)
    // in one byte of the file.
    static constexpr uint64_t kMaxLevel = 254;

    std::optional<uint32_t> entry_point;
    uint64_t max_level = 0;
    uint64_t m = 0;
    uint64_t ef_construction = 0;
    uint64_t ef_search = 0;
    uint64_t packed_bytes_per_vec = 0;
    double level_mult = 0.0;
    // How insertion chooses links (new node's list and pruned lists alike).
    // Not part of the file: a graph read back inserts with Diverse unless
    // the caller sets it.
    vocab::HnswSelection selection = vocab::HnswSelection::Diverse;

    // An empty graph; ef_search is the effective value (already defaulted).
    static Hnsw create(uint64_t m, uint64_t ef_construction, uint64_t ef_search,
                       uint64_t packed_bytes_per_vec,
                       vocab::HnswSelection selection = vocab::HnswSelection::Diverse);

    // The HNSW section of an index file. Counts are checked against the bytes
    // that remain before allocation; an early end fails with the reader's Io
    // error, a graph that could not be searched safely (entry point missing
    // or out of range, links out of range or to a node below the layer,
    // levels above max_level, lists longer than the budget of M) with
    // InvalidFormat. No construction vectors or scores. ef_search is the
    // effective value.
    static Result<Hnsw> read_data(io::ByteReader& reader, uint64_t packed_bytes_per_vec, uint64_t m,
                                  uint64_t ef_construction, uint64_t ef_search);

    // Whether the file can hold this graph: fewer than 2^32 - 1 nodes (the
    // last value marks "no entry"), max_level in 32 bits, at most 255 lists
    // per node and 65535 links per list. Io naming the value that does not
    // fit.
    Status check_writable() const;

    // ---- node access ----
    std::size_t size() const { return ids_.size(); }
    bool empty() const { return ids_.empty(); }
    uint64_t id(uint32_t node) const { return ids_[node]; }
    float norm(uint32_t node) const { return norms_[node]; }
    uint64_t level(uint32_t node) const { return levels_[node]; }
    std::span<const uint8_t> code(uint32_t node) const {
        return {codes_.data() + static_cast<std::size_t>(node) * packed_bytes_per_vec,
                static_cast<std::size_t>(packed_bytes_per_vec)};
    }
    // All codes, node order, packed_bytes_per_vec bytes each.
    std::span<const uint8_t> codes() const { return codes_; }
    // Node `node`'s links on `layer`; empty above its level.
    std::span<const uint32_t> links(uint32_t node, uint64_t layer) const {
        const uint32_t* block = list_block(node, layer);
        if (block == nullptr) return {};
        return {block + 1, block[0]};
    }
    // Construction scores of those links (parallel); empty when the graph
    // holds no scores (after build() or read_data, before insertion resumes).
    std::span<const float> link_scores(uint32_t node, uint64_t layer) const;
    // The node as a plain record (links with their scores, 0.0 without).
    HnswNode record(uint32_t node) const;
    // Appends a node from a record, links as given (targets are not checked
    // here; check_links() does that). Scores are kept only while the graph
    // holds scores. Level = lists - 1, at least one list.
    void append_record(const HnswNode& node);
    // Replaces node's list on `layer` (at most its level); scores may be
    // empty (0.0 each). Grows the stride when the list is longer than it.
    void set_links(uint32_t node, uint64_t layer, std::span<const uint32_t> targets,
                   std::span<const float> scores = {});
    // Bytes held by the graph's arrays (capacity), construction state included.
    std::size_t memory_bytes() const;

    // Level of node index n: a pure function of n and level_mult, capped at
    // kMaxLevel.
    static uint64_t draw_level(uint64_t node_index, double level_mult);
    // Link budget of a layer: 2m on layer 0, m above (saturating).
    uint64_t layer_budget(uint64_t layer) const;

    // ---- queries ----
    // Query-side layer search on packed codes.
    std::vector<Candidate> search_layer(const quantize::QuantPipeline& pipeline,
                                        std::span<const float> query, uint32_t entry, uint64_t ef,
                                        uint64_t layer, vocab::Metric metric) const;
    // The same with the caller's visited set, reused across the layers of one
    // query so that a search does not allocate its table again.
    std::vector<Candidate> search_layer(const quantize::QuantPipeline& pipeline,
                                        std::span<const float> query, uint32_t entry, uint64_t ef,
                                        uint64_t layer, vocab::Metric metric,
                                        detail::VisitedSet& visited) const;
    // Greedy descent, layer-0 search with max(ef_search, k), top k, then the
    // post-filter against the caller's list.
    std::vector<ScoredId> search(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                 uint64_t k, std::optional<std::span<const uint64_t>> allowlist,
                                 vocab::Metric metric) const;
    // Pre-filtered query, for callers that want k allowed results rather
    // than the post-filter of search(): the same greedy descent and the same
    // layer-0 walk as search() with ef = max(ef_search, k) (nodes expanded,
    // neighbours scored and pushed exactly as there), except that only nodes
    // whose id `allowed` contains enter the result list, and the walk does
    // not stop while that list holds fewer than ef entries. So it goes
    // through filtered-out nodes to reach allowed ones, and returns k results
    // whenever k allowed nodes are reachable. An allowlist holding every id
    // gives exactly search()'s answer without an allowlist. At most k
    // entries, best first.
    std::vector<ScoredId> search_filtered(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                          uint64_t k, const Allowlist& allowed, vocab::Metric metric) const;

    // The allowed nodes' codes, ids and norms in node order, for an exact scan.
    Gathered allowed_nodes(const Allowlist& filter) const;

    // ---- construction ----
    // Construction-side layer search on the float construction vectors. Nodes
    // without a construction vector are never scored (they are passed over).
    std::vector<Candidate> search_layer_build(std::span<const float> query, uint32_t entry, uint64_t ef,
                                              uint64_t layer, vocab::Metric metric) const;
    // The same with the caller's visited set (one per insertion).
    std::vector<Candidate> search_layer_build(std::span<const float> query, uint32_t entry, uint64_t ef,
                                              uint64_t layer, vocab::Metric metric,
                                              detail::VisitedSet& visited) const;
    // Construction score of node x for query q: float32 dot product in index
    // order from -0.0; l2 subtracts half the sum of x's squares.
    static float construction_score(std::span<const float> q, std::span<const float> x,
                                    vocab::Metric metric);

    // Chooses at most `budget` links for `base` (a node with a construction
    // vector) from `sorted`, its candidates best first by their score seen
    // from base, and writes them to `out` best first. Closest keeps the
    // first `budget`. Diverse walks the candidates in order and keeps c when
    // c scores strictly higher with base than with every candidate kept so
    // far (both scores construction scores with c as the query), then fills
    // the rest of the budget with the best discarded candidates. A candidate
    // without a construction vector, or a base without one, falls back to
    // Closest for the whole selection.
    //
    // `known` (empty, or one per candidate) gives statuses under the diverse
    // rule already worked out for this base and this order; when all but one
    // candidate of a list one over budget are known, only what the new one
    // changes is tested. `out_status` (when given) receives the status of
    // each chosen link, Unknown where it was not worked out.
    void select_links(uint32_t base, std::span<const Neighbour> sorted, uint64_t budget,
                      vocab::Metric metric, std::vector<Neighbour>& out,
                      std::span<const LinkStatus> known = {},
                      std::vector<LinkStatus>* out_status = nullptr) const;

    // Inserts one vector. Every existing node must have its construction
    // vector: call restore_vectors() first when has_all_vectors() is false.
    // Should that be skipped, the insertion still reads no missing vector: it
    // links the node only through nodes that have one, and its own vector is
    // left to restore_vectors(). The same holds for a construction vector
    // whose length differs from vector_dim().
    void insert(std::span<const uint8_t> code, float norm, std::span<const float> construction_vector,
                uint64_t id, vocab::Metric metric);

    // Takes every node whose id is in `doomed` out of the graph, as one
    // batch, and returns how many there were. Each remaining list that
    // linked to one of them is chosen anew, once, from its remaining links
    // and the removed nodes' links, with the construction's selection and
    // budget; the remaining nodes keep their order under new indexes. The
    // entry point stays when it remains, else moves to the remaining node of
    // the highest level (the lowest index among equals). Every remaining node
    // is then reachable from it on layer 0: one that is not gets a link from
    // a reached node near it. Released construction vectors are rebuilt from
    // the codes for the repair and released again. `interrupt` is asked
    // while the new lists are chosen; once it answers true the removal
    // returns Interrupted with the graph as it was.
    Result<uint64_t> remove(const Allowlist& doomed, const quantize::QuantPipeline& pipeline, vocab::Metric metric,
                            const InterruptCheck& interrupt = {});

    // Makes insertion possible again after build() or read_data: rebuilds
    // every missing construction vector from the node's packed code (the
    // centroid of each slot in the transformed space, padded_dim values) and
    // the construction score of every link (seen from the list's owner).
    // Existing vectors are kept unless their length is not padded_dim.
    void restore_vectors(const quantize::QuantPipeline& pipeline, vocab::Metric metric);
    void restore_vectors(uint64_t padded_dim, uint64_t n4_dims, vocab::Metric metric);
    // The dequantized code: CENTROIDS_4BIT for the first n4_dims slots,
    // CENTROIDS_2BIT for the rest; slots beyond the code read as 0.0.
    static std::vector<float> dequantize(std::span<const uint8_t> code, uint64_t padded_dim,
                                         uint64_t n4_dims);

    // Drops the construction vectors and link scores and frees their storage.
    void release_vectors();
    // Number of leading nodes that have a construction vector.
    uint64_t vector_count() const { return vectors_.size(); }
    uint64_t vector_dim() const { return vectors_.dim(); }
    bool has_all_vectors() const { return vector_count() == size() && has_scores_; }
    bool has_scores() const { return has_scores_; }
    // Construction vector of a node below vector_count().
    std::span<const float> vector_of(uint32_t node) const {
        return {vectors_.row(node), static_cast<std::size_t>(vectors_.dim())};
    }
    // For graphs built by hand (tests, tools): appends the construction
    // vector of the first node that has none; keeps the first `count`.
    void push_vector(std::span<const float> row);
    void truncate_vectors(uint64_t count);

private:
    const uint32_t* list_block(uint32_t node, uint64_t layer) const {
        if (layer == 0) return layer0_.data() + static_cast<std::size_t>(node) * (layer0_stride_ + 1);
        if (layer > levels_[node]) return nullptr;
        return upper_.data() + (upper_block_[node] + layer - 1) * (upper_stride_ + 1);
    }
    std::size_t word_of(uint32_t node, uint64_t layer) const {
        if (layer == 0) return static_cast<std::size_t>(node) * (layer0_stride_ + 1);
        return static_cast<std::size_t>((upper_block_[node] + layer - 1) * (upper_stride_ + 1));
    }
    // Removal (hnsw_remove.cpp): one list chosen anew (left in the
    // scratch's targets and scores), the removed nodes dropped from every
    // array, and the layer-0 reachability repair.
    void relink(uint32_t node, uint64_t layer, const std::vector<uint8_t>& gone, vocab::Metric metric,
                detail::RelinkScratch& scratch);
    void drop_nodes(const std::vector<uint8_t>& gone);
    void reconnect(vocab::Metric metric);

    // Makes room for `count` links per list on layer 0 or above.
    void ensure_stride(bool upper, uint64_t count);
    // Appends a node with empty lists; returns its index.
    uint32_t append_node(uint64_t id, std::span<const uint8_t> code, float norm, uint64_t level);
    // Appends one link to a list that has room (the stride was ensured).
    void push_link(uint32_t node, uint64_t layer, uint32_t target, float score);
    // The diverse-rule statuses of a list (parallel to links(); empty when
    // not held). set_links() resets them to Unknown; set_link_status()
    // records those of a list just chosen.
    std::span<const LinkStatus> link_status(uint32_t node, uint64_t layer) const;
    void set_link_status(uint32_t node, uint64_t layer, std::span<const LinkStatus> status);
    // Resets every status to Unknown (held while scores are held).
    void forget_link_status();
    void recompute_scores(vocab::Metric metric);
    float sq_sum(uint32_t node) const;

    std::vector<uint64_t> ids_;
    std::vector<float> norms_;
    std::vector<uint8_t> levels_;
    std::vector<uint8_t> codes_;
    uint64_t layer0_stride_ = 0;
    std::vector<uint32_t> layer0_;
    uint64_t upper_stride_ = 0;
    std::vector<uint64_t> upper_block_;
    uint64_t upper_blocks_ = 0;
    std::vector<uint32_t> upper_;

    // Construction state.
    bool has_scores_ = true;
    std::vector<float> layer0_scores_;
    std::vector<float> upper_scores_;
    std::vector<LinkStatus> layer0_status_;
    std::vector<LinkStatus> upper_status_;
    RowStore vectors_;
    // Sum of squares of each construction vector, for l2 construction scores.
    std::vector<float> vector_sq_sums_;

};

}  // namespace kivo::search
