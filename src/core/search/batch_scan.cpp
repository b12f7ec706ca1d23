// Multi-query scans over contiguous and gathered codes.
#include "search/batch_scan.h"

#include <algorithm>

#include "quantize/bound.h"
#include "simd/prune.h"

static_assert(kivo::search::kBatchChunk == kivo::search::Scanner::kBlockCodes,
              "a batch chunk goes through a scanner's first pass whole");

namespace kivo::search {

namespace {

// Row e of `scores` (kBatchChunk apart) into heap_of(e), for rows e < rows:
// code i of the chunk has id ids[i] and, for i < with_norm, norm norms[i].
// The metric is a template argument so that each loop is a plain one.
template <vocab::Metric M, class HeapOf>
void push_rows_as(std::size_t rows, HeapOf heap_of, const float* scores, std::size_t cnt, const uint64_t* ids,
                  const float* norms, std::size_t with_norm) {
    for (std::size_t e = 0; e < rows; ++e) {
        const float* row = scores + e * kBatchChunk;
        TopK& heap = heap_of(e);
        for (std::size_t i = 0; i < with_norm; ++i) heap.push(ids[i], quantize::adjust_score(M, row[i], norms[i]));
        for (std::size_t i = with_norm; i < cnt; ++i) heap.push(ids[i], row[i]);
    }
}

template <class HeapOf>
void push_rows(vocab::Metric metric, std::size_t rows, HeapOf heap_of, const float* scores, std::size_t cnt,
               const uint64_t* ids, const float* norms, std::size_t with_norm) {
    switch (metric) {
        case vocab::Metric::Cosine:
            push_rows_as<vocab::Metric::Cosine>(rows, heap_of, scores, cnt, ids, norms, with_norm);
            break;
        case vocab::Metric::Dot:
            push_rows_as<vocab::Metric::Dot>(rows, heap_of, scores, cnt, ids, norms, with_norm);
            break;
        case vocab::Metric::L2:
            push_rows_as<vocab::Metric::L2>(rows, heap_of, scores, cnt, ids, norms, with_norm);
            break;
    }
}

void push_chunk(vocab::Metric metric, const QueryGroup& group, const float* scores, std::size_t cnt,
                const uint64_t* ids, const float* norms, std::size_t with_norm) {
    push_rows(metric, group.nq, [&](std::size_t j) -> TopK& { return group.heaps[j]; }, scores, cnt, ids, norms,
              with_norm);
}

}  // namespace

void GroupPass::run(std::span<const Scanner* const> scanners, const uint8_t* codes, std::size_t stride,
                    std::size_t count) {
    if (scanners.empty()) return;
    image4_.clear();
    image2_.clear();
    for (const Scanner* s : scanners) {
        image4_.push_back(s->bound().signed_image4());
        image2_.push_back(s->bound().signed_image2());
    }
    d4_.resize(scanners.size() * kBatchChunk);
    d2_.resize(scanners.size() * kBatchChunk);
    const quantize::ScoreBound& any = scanners.front()->bound();
    const simd::PruneGroup group =
        quantize::ScoreBound::group(image4_.data(), image2_.data(), scanners.size(), any.bytes4(), any.bytes2());
    simd::approx_dots_multi(group, codes, stride, count, d4_.data(), d2_.data(), kBatchChunk);
}

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

bool scan_run_pruned(const quantize::QuantPipeline& pipeline, vocab::Metric metric, const QueryGroup& group,
                     std::span<Scanner> scanners, const CodeRun& run, std::size_t begin, std::size_t end,
                     std::vector<float>& scratch, const InterruptCheck& stop) {
    scratch.resize(group.nq * kBatchChunk);
    const std::size_t pb = pipeline.packed_bytes_per_vec();
    std::vector<std::size_t> exact, takers;
    std::vector<const float*> exact_queries;
    std::vector<const Scanner*> taking;
    GroupPass pass;
    uint32_t keep[Scanner::kBlockCodes];
    for (std::size_t start = begin; start < end; start += kBatchChunk) {
        if (stop.requested()) return false;
        const std::size_t cnt = std::min(kBatchChunk, end - start);
        exact.clear();
        exact_queries.clear();
        takers.clear();
        taking.clear();
        for (std::size_t j = 0; j < group.nq; ++j) {
            if (scanners[j].takes_first_pass(group.heaps[j], cnt)) {
                takers.push_back(j);
                taking.push_back(&scanners[j]);
            } else {
                exact.push_back(j);
            }
        }
        pass.run(taking, run.codes + start * pb, pb, cnt);
        for (std::size_t t = 0; t < takers.size(); ++t) {
            const std::size_t j = takers[t];
            const std::size_t kept =
                scanners[j].select(run, start, start + cnt, group.heaps[j], pass.d4(t), pass.d2(t), keep);
            if (scores_kept_alone(kept, cnt)) {
                scanners[j].push_kept(run, start, start + cnt, keep, kept, group.heaps[j]);
            } else {
                exact.push_back(j);
            }
        }
        if (exact.empty()) continue;
        // Heaps are independent: the order in which queries are served does
        // not matter, only each heap's own push order.
        for (const std::size_t j : exact) exact_queries.push_back(group.queries[j]);
        pipeline.score_multi(exact_queries.data(), exact.size(), run.codes + start * pb, cnt, scratch.data(),
                             kBatchChunk);
        const std::size_t with_norm = run.norms.size() > start ? std::min(cnt, run.norms.size() - start) : 0;
        push_rows(metric, exact.size(), [&](std::size_t e) -> TopK& { return group.heaps[exact[e]]; },
                  scratch.data(), cnt, run.ids.data() + start, run.norms.data() + (with_norm > 0 ? start : 0),
                  with_norm);
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
