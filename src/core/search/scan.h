// The scan of stored codes shared by brute force and the IVF lists: exact
// scores pushed into a TopK in storage order, with a first pass that skips
// codes whose score provably cannot enter the full heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "config.h"
#include "quantize/bound.h"
#include "quantize/pipeline.h"
#include "search/filter.h"
#include "search/topk.h"

namespace kivo::search {

// A run of stored vectors: code i is the packed_bytes_per_vec bytes at
// codes + i * packed_bytes_per_vec, with ids[i] and, when i < norms.size(),
// norms[i] (no norm: the raw score stands, as for a version 1 file).
struct CodeRun {
    const uint8_t* codes = nullptr;
    std::span<const uint64_t> ids;
    std::span<const float> norms;
    std::size_t count = 0;
};

struct ScanStats {
    uint64_t scanned = 0;  // candidates that passed the filter
    uint64_t exact = 0;    // of those, scored by the exact kernel
};

// One query's scanner. The result of every scan is exactly that of scoring
// each allowed code with QuantPipeline::score, adjusting it by its norm and
// pushing it into the heap in storage order: a code is skipped only when the
// heap is full and the upper bound of its adjusted score is strictly below
// the weakest kept score, so pushing its exact score would change nothing.
class Scanner {
public:
    // `query` is the transformed query (padded_dim values); `prune` false
    // scores every code exactly (for comparisons and measurements). A scan
    // in a group of queries takes the signed image (scan_run_pruned).
    Scanner(const quantize::QuantPipeline& pipeline, std::span<const float> query, vocab::Metric metric,
            bool prune = true, quantize::BoundImage image = quantize::BoundImage::Magnitude);

    void scan(const CodeRun& run, const Allowlist* filter, TopK& heap);

    // For scans that take queries in turn block by block (search_batch):
    // whether the query's next block of `count` codes should go through the
    // first pass (the heap is full and the pass is not paused; a paused pass
    // counts the block's codes down). A block holds at most kBlockCodes
    // codes, all allowed.
    static constexpr std::size_t kBlockCodes = 256;
    bool takes_first_pass(const TopK& heap, std::size_t count);
    // The first pass over a block: writes the positions (from `begin`) of
    // the codes that may still enter the heap to `keep` and returns their
    // count. The caller then scores those exactly (push_kept), or every code
    // of the block (pushing more exact scores changes nothing).
    std::size_t first_pass(const CodeRun& run, std::size_t begin, std::size_t end, const TopK& heap,
                           uint32_t* keep);
    void push_kept(const CodeRun& run, std::size_t begin, std::size_t end, const uint32_t* keep, std::size_t kept,
                   TopK& heap);
    // The raw exact scores of the kept codes (raw[k] for code begin +
    // keep[k]), for a scan that pushes them later.
    void score_kept(const CodeRun& run, std::size_t begin, std::size_t end, const uint32_t* keep, std::size_t kept,
                    float* raw);
    // The skip rule of first_pass given the block's first-pass sums (d4[j],
    // d2[j] for code begin + j), as a group's shared pass computed them.
    std::size_t select(const CodeRun& run, std::size_t begin, std::size_t end, const TopK& heap, const int32_t* d4,
                       const int32_t* d2, uint32_t* keep);
    // The same skip rule alone, against any weakest score of the full heap
    // the codes will be pushed into, leaving the pass's pauses as they are.
    std::size_t keep_block(const CodeRun& run, std::size_t begin, std::size_t end, float weakest,
                           const int32_t* d4, const int32_t* d2, uint32_t* keep) const;
    // The adjusted bound of each kept code (out[k] for code begin + keep[k]):
    // the value the skip rule compares with the weakest score, for a scan
    // that decides again later, against a heap that has grown stronger.
    void kept_bounds(const CodeRun& run, std::size_t begin, const uint32_t* keep, std::size_t kept,
                     const int32_t* d4, const int32_t* d2, float* out) const;

    const ScanStats& stats() const { return stats_; }
    bool pruning() const { return bound_.has_value(); }
    // The bound (pruning() only).
    const quantize::ScoreBound& bound() const { return *bound_; }

private:
    // Codes [begin, end) of the run, all allowed, exactly scored and pushed.
    void push_exact(const CodeRun& run, std::size_t begin, std::size_t end, TopK& heap);
    // The same codes through the first pass: only those whose bound reaches
    // the heap's weakest score are scored exactly.
    void push_pruned(const CodeRun& run, std::size_t begin, std::size_t end, TopK& heap);
    void push(const CodeRun& run, std::size_t i, float raw, TopK& heap);

    const quantize::QuantPipeline& pipeline_;
    std::span<const float> query_;
    vocab::Metric metric_;
    std::optional<quantize::ScoreBound> bound_;
    // Whether the pass is paused for the next `count` codes, counting them
    // down if so.
    bool paused(std::size_t count);

    // Codes still to score without the first pass, and the length of the
    // last such pause (see select).
    std::size_t exact_codes_left_ = 0;
    std::size_t pause_codes_ = 0;
    ScanStats stats_;
};

}  // namespace kivo::search
