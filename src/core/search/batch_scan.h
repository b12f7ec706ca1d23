// Scans shared by the batch queries: a run of codes, or a gathered list of
// codes, scored against a group of transformed queries at once, each score
// adjusted by its norm and pushed into that query's heap in candidate order.
// A query's heap thus sees exactly the pushes of its one-query scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "config.h"
#include "interrupt.h"
#include "quantize/pipeline.h"
#include "search/scan.h"
#include "search/topk.h"

namespace kivo::search {

// Codes scored per multi-query call (per query of a group).
inline constexpr std::size_t kBatchChunk = 256;

// Whether a query whose first pass kept `kept` of a chunk's `count` codes
// scores them alone rather than joining the group's shared exact scoring:
// the multi-query kernel costs about 0.3 of the single-query one per code
// (bench_scan, 4-bit and 2-bit), so alone pays while it keeps a quarter.
inline bool scores_kept_alone(std::size_t kept, std::size_t count) { return 4 * kept <= count; }

// One chunk's first pass for the queries of a group that take it, sharing
// each code's expansion: the takers' scanners (built with the signed image)
// in, row t of the sums (kBatchChunk apart) out for scanners[t].
class GroupPass {
public:
    void run(std::span<const Scanner* const> scanners, const uint8_t* codes, std::size_t stride, std::size_t count);
    const int32_t* d4(std::size_t t) const { return d4_.data() + t * kBatchChunk; }
    const int32_t* d2(std::size_t t) const { return d2_.data() + t * kBatchChunk; }

private:
    std::vector<const int8_t*> image4_, image2_;
    std::vector<int32_t> d4_, d2_;
};

// The group being scanned: nq transformed queries and one heap per query.
struct QueryGroup {
    const float* const* queries;
    std::size_t nq;
    TopK* heaps;
};

// Candidates [begin, end) of a flat store: code i at codes + i * stride,
// id ids[i], norm norms[i] when i < norms.size() (none past it, as for an
// index without stored norms). False when `stop` fired before the end.
bool scan_run(const quantize::QuantPipeline& pipeline, vocab::Metric metric, const QueryGroup& group,
              const uint8_t* codes, std::size_t stride, const uint64_t* ids, std::span<const float> norms,
              std::size_t begin, std::size_t end, std::vector<float>& scratch, const InterruptCheck& stop);

// The same scan of codes [begin, end) of `run` with a first pass: for each
// chunk, the queries whose scanners (scanners[j], built for query j with the
// signed image) take the first pass share one pass over it; the others
// score it together exactly. The chunk is read from memory once for the
// whole group, and each heap ends as the exact scan leaves it.
bool scan_run_pruned(const quantize::QuantPipeline& pipeline, vocab::Metric metric, const QueryGroup& group,
                     std::span<Scanner> scanners, const CodeRun& run, std::size_t begin, std::size_t end,
                     std::vector<float>& scratch, const InterruptCheck& stop);

// Gathered candidates: codes[i] (packed_bytes_per_vec bytes), ids[i],
// norms[i], in the given order.
struct Gathered {
    std::vector<const uint8_t*> codes;
    std::vector<uint64_t> ids;
    std::vector<float> norms;
    std::size_t size() const { return ids.size(); }
};

bool scan_gathered(const quantize::QuantPipeline& pipeline, vocab::Metric metric, const QueryGroup& group,
                   const Gathered& candidates, std::vector<float>& scratch, const InterruptCheck& stop);

}  // namespace kivo::search
