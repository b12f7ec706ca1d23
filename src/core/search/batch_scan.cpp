// Multi-query scans over contiguous and gathered codes.
#include "search/batch_scan.h"

#include <algorithm>

namespace kivo::search {

namespace {

void push_chunk(vocab::Metric metric, const QueryGroup& group, const float* scores, std::size_t cnt,
                const uint64_t* ids, const float* norms, std::size_t with_norm) {
    for (std::size_t j = 0; j < group.nq; ++j) {
        const float* row = scores + j * kBatchChunk;
        TopK& heap = group.heaps[j];
        for (std::size_t i = 0; i < cnt; ++i) {
            float s = row[i];
            if (i < with_norm) s = quantize::adjust_score(metric, s, norms[i]);
            heap.push(ids[i], s);
        }
    }
}

}  // namespace

bool scan_run(const quantize::QuantPipeline& pipeline, vocab::Metric metric, const QueryGroup& group,
              const uint8_t* codes, std::size_t stride, const uint64_t* ids, std::span<const float> norms,
              std::size_t begin, std::size_t end, std::vector<float>& scratch, const InterruptCheck& stop) {
    scratch.resize(group.nq * kBatchChunk);
    for (std::size_t start = begin; start < end; start += kBatchChunk) {
        if (stop.requested()) return false;
        const std::size_t cnt = std::min(kBatchChunk, end - start);
        pipeline.score_multi(group.queries, group.nq, codes + start * stride, cnt, scratch.data(), kBatchChunk);
        const std::size_t with_norm = norms.size() > start ? std::min(cnt, norms.size() - start) : 0;
        push_chunk(metric, group, scratch.data(), cnt, ids + start, norms.data() + start, with_norm);
    }
    return true;
}

bool scan_gathered(const quantize::QuantPipeline& pipeline, vocab::Metric metric, const QueryGroup& group,
                   const Gathered& candidates, std::vector<float>& scratch, const InterruptCheck& stop) {
    scratch.resize(group.nq * kBatchChunk);
    const std::size_t n = candidates.size();
    for (std::size_t start = 0; start < n; start += kBatchChunk) {
        if (stop.requested()) return false;
        const std::size_t cnt = std::min(kBatchChunk, n - start);
        for (std::size_t i = 0; i < cnt; ++i) {
            pipeline.score_multi(group.queries, group.nq, candidates.codes[start + i], 1, scratch.data() + i,
                                 kBatchChunk);
        }
        push_chunk(metric, group, scratch.data(), cnt, candidates.ids.data() + start,
                   candidates.norms.data() + start, cnt);
    }
    return true;
}

}  // namespace kivo::search
