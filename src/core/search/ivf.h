// IvfFlat: k-means lists of packed codes in the transformed space, probed by
// the best-scoring centroids of a query.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "config.h"
#include "error.h"
#include "interrupt.h"
#include "quantize/pipeline.h"
#include "interrupt.h"
#include "search/batch_scan.h"
#include "search/filter.h"
#include "search/topk.h"

namespace kivo::io {
class ByteReader;
}

namespace kivo::search {

struct IvfList {
    std::vector<float> centroid;
    std::vector<uint8_t> codes;  // packed_bytes_per_vec bytes per member
    std::vector<uint64_t> ids;
    std::vector<float> norms;

    std::size_t size() const { return ids.size(); }
    bool operator==(const IvfList&) const = default;
};

// Centroid score: float32 dot product over the shorter length; for l2,
// 2 * d - (sum of c[i]^2 over all of c). Higher is better.
float centroid_score(vocab::Metric metric, std::span<const float> v, std::span<const float> c);

// k-means seeding with N training vectors: initial centroid K of k copies
// training vector (offset + step * K) mod N, step = max(1, N / k),
// offset = seed mod step; an empty cluster l is reseeded from training vector
// (l * 7919 + seed) mod N (wrapping 64-bit arithmetic).
uint64_t kmeans_init_index(uint64_t cluster, uint64_t k, uint64_t n_train, uint64_t seed);
uint64_t kmeans_reseed_index(uint64_t cluster, uint64_t n_train, uint64_t seed);

// k-means assignment passes at most; one final assignment follows.
inline constexpr int kKmeansMaxPasses = 25;

struct IvfFlat {
    std::vector<IvfList> lists;
    uint64_t packed_bytes_per_vec = 0;
    uint64_t nprobe = 0;
    uint64_t dim = 0;  // centroid length: padded_dim
    vocab::Metric metric = vocab::Metric::Cosine;

    // k-means over the training vectors (one per id, in id order), then the
    // codes, ids and norms distributed into one list per centroid. Fails with
    // EmptyIndex when there are no ids. `codes` holds the n codes back to back.
    // `interrupt` is asked between blocks of assignments (a few milliseconds
    // apart); when it answers true the build fails with Interrupted.
    static Result<IvfFlat> build(uint64_t nlist, uint64_t nprobe, uint64_t packed_bytes_per_vec,
                                 uint64_t dim, std::span<const uint64_t> ids,
                                 std::span<const uint8_t> codes, std::span<const float> norms,
                                 std::span<const std::vector<float>> training_vectors, uint64_t seed,
                                 vocab::Metric metric, const InterruptCheck& interrupt = {});

    // The IVF section of an index file: lists, centroids and members. Every
    // count is checked against the bytes that remain before anything is
    // allocated for it; a section that ends early fails with the reader's Io
    // error. `dim` becomes the first list's centroid length (0 without lists).
    static Result<IvfFlat> read_data(io::ByteReader& reader, uint64_t packed_bytes_per_vec, uint64_t nprobe,
                                     vocab::Metric metric);

    // Index of the best centroid of v (higher index wins ties). The index has
    // at least one list.
    std::size_t best_list(std::span<const float> v) const;

    // Appends vectors to the lists of their best centroids, in the given
    // order, without retraining (the engine's later builds). The index has at
    // least one list; the spans hold one entry (code) per id. The lists are
    // changed only after every target list is known: an interrupt (asked as
    // in build) returns Interrupted with the index unchanged.
    Status append(std::span<const uint64_t> ids, std::span<const uint8_t> codes,
                  std::span<const float> norms, std::span<const std::vector<float>> training_vectors,
                  const InterruptCheck& interrupt = {});

    // Drops every member whose id is in `doomed` from its list, keeping the
    // order of the rest; centroids and lists stay. Returns the count dropped.
    uint64_t remove(const Allowlist& doomed);

    // Number of indexed vectors: the sum of the list sizes.
    uint64_t len() const;

    // The query: rank centroids, probe min(nprobe, lists) best lists, keep the
    // top k, then post-filter against the caller's list when one is given.
    // `prune` false scores every probed code exactly (same result, slower).
    std::vector<ScoredId> search(const quantize::QuantPipeline& pipeline, std::span<const float> query,
                                 uint64_t k, std::optional<std::span<const uint64_t>> allowlist,
                                 bool prune = true) const;

    // Every list, best centroid score first (equal scores in list order).
    std::vector<std::size_t> probe_order(std::span<const float> query) const;
    // Lists a query probes: min(nprobe, number of lists).
    std::size_t probe_count() const;
    // Members of a list that are complete (id, norm and whole code).
    std::size_t members(const IvfList& list) const;

    // Batch queries (ivf_batch.cpp). Without allowlist: out[j] equals
    // search(queries[j], k, no allowlist); every probed list past a query's
    // first ones is scored once for all queries of the group that probe it,
    // through the first pass unless `prune` is false. False when `stop`
    // fired.
    bool search_group(const quantize::QuantPipeline& pipeline, const float* const* queries, std::size_t nq,
                      uint64_t k, std::vector<ScoredId>* out, const InterruptCheck& stop,
                      bool prune = true) const;

    // The allowed members of every list (positions in list order), and all
    // of them gathered in list order for an exact scan.
    struct AllowedMembers {
        std::vector<std::vector<uint32_t>> positions;
        Gathered all;
    };
    AllowedMembers allowed_members(const Allowlist& filter) const;

    // Pre-filtered: only allowed members are scored. A query whose probed
    // lists hold more members than there are allowed ones in the whole index
    // scans the allowed ones exactly instead; otherwise it probes its nprobe
    // lists and then further lists in rank order until it holds k results.
    bool search_group_filtered(const quantize::QuantPipeline& pipeline, const float* const* queries,
                               std::size_t nq, uint64_t k, const AllowedMembers& allowed,
                               std::vector<ScoredId>* out, const InterruptCheck& stop) const;

    bool operator==(const IvfFlat&) const = default;
};

}  // namespace kivo::search
