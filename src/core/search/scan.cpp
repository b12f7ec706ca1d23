// Scanner: filter runs, the first pass and its skip rule, exact scoring of
// the remaining codes and the heap pushes in storage order.
#include "search/scan.h"

#include <algorithm>

#include "simd/dispatch.h"
#include "simd/select.h"

namespace kivo::search {

namespace {

// Codes handed to the kernels at once.
constexpr std::size_t kBlock = Scanner::kBlockCodes;
// Longest pause of the first pass, in codes (see select).
constexpr std::size_t kMaxPauseCodes = 64 * kBlock;
// A run of codes this large is read from memory rather than a cache, and its
// first pass asks for codes this far ahead. Measured on a 32 MiB L3: 7.7 MB
// of codes scanned 6 % slower with the prefetches, 25.6 MB 9 % and 256 MB
// 12 % faster.
constexpr std::size_t kFromMemoryBytes = std::size_t{16} << 20;
constexpr std::size_t kPrefetchAheadBytes = 4096;

}  // namespace

Scanner::Scanner(const quantize::QuantPipeline& pipeline, std::span<const float> query, vocab::Metric metric,
                 bool prune, quantize::BoundImage image)
    : pipeline_(pipeline), query_(query), metric_(metric) {
    if (prune && simd::prune_available(simd::features())) {
        bound_ = quantize::ScoreBound::create(pipeline, query, image);
    }
}

bool Scanner::takes_first_pass(const TopK& heap, std::size_t count) {
    if (!bound_.has_value() || !heap.full()) return false;
    return !paused(count);
}

bool Scanner::paused(std::size_t count) {
    if (exact_codes_left_ == 0) return false;
    exact_codes_left_ -= std::min(exact_codes_left_, count);
    return true;
}

void Scanner::push(const CodeRun& run, std::size_t i, float raw, TopK& heap) {
    const float s = i < run.norms.size() ? quantize::adjust_score(metric_, raw, run.norms[i]) : raw;
    heap.push(run.ids[i], s);
}

void Scanner::push_exact(const CodeRun& run, std::size_t begin, std::size_t end, TopK& heap) {
    const std::size_t pb = pipeline_.packed_bytes_per_vec();
    float raw[kBlock];
    for (std::size_t i = begin; i < end; i += kBlock) {
        const std::size_t n = std::min(kBlock, end - i);
        pipeline_.score_batch(query_, run.codes + i * pb, n, raw);
        for (std::size_t j = 0; j < n; ++j) push(run, i + j, raw[j], heap);
    }
    stats_.exact += end - begin;
}

std::size_t Scanner::first_pass(const CodeRun& run, std::size_t begin, std::size_t end, const TopK& heap,
                                uint32_t* keep) {
    const std::size_t pb = pipeline_.packed_bytes_per_vec();
    int32_t d4[kBlock];
    int32_t d2[kBlock];
    const quantize::ScoreBound& b = *bound_;
    if (b.kind() == quantize::BoundImage::Magnitude) {
        const std::size_t ahead = run.count * pb >= kFromMemoryBytes ? kPrefetchAheadBytes : 0;
        simd::approx_dots(b.image(), run.codes + begin * pb, pb, end - begin, d4, d2, ahead);
    } else {
        // A signed image (a scanner made for a group) passes as a group of one.
        const int8_t* im4[1] = {b.signed_image4()};
        const int8_t* im2[1] = {b.signed_image2()};
        const simd::PruneGroup one = quantize::ScoreBound::group(im4, im2, 1, b.bytes4(), b.bytes2());
        simd::approx_dots_multi(one, run.codes + begin * pb, pb, end - begin, d4, d2, kBlock);
    }
    return select(run, begin, end, heap, d4, d2, keep);
}

std::size_t Scanner::select(const CodeRun& run, std::size_t begin, std::size_t end, const TopK& heap,
                            const int32_t* d4, const int32_t* d2, uint32_t* keep) {
    const std::size_t n = end - begin;
    // The heap is full, and its weakest entry only gets stronger while the
    // block is pushed (NaN ranks below every number): a code whose bound is
    // below the weakest score now stays below it. A NaN weakest score skips
    // nothing, since every number would displace it.
    const std::size_t kept = keep_block(run, begin, end, heap.weakest_score(), d4, d2, keep);
    // Where the pass cannot skip (codes all alike, or a bound too wide for
    // the data) it is pure overhead: the pass costs about a quarter of the
    // exact kernel, so after a block that kept over three quarters, the
    // next codes go straight to the exact kernel: a block's worth, twice as
    // many each time it fails again (up to kMaxPauseCodes). Counting codes,
    // not blocks, keeps the pauses as long where runs are short (small IVF
    // lists, allowlist gaps). A block where it skips most codes ends them.
    if (4 * kept > 3 * n) {
        pause_codes_ = std::min(pause_codes_ == 0 ? kBlock : 2 * pause_codes_, kMaxPauseCodes);
        exact_codes_left_ = pause_codes_;
    } else {
        pause_codes_ = 0;
    }
    return kept;
}

std::size_t Scanner::keep_block(const CodeRun& run, std::size_t begin, std::size_t end, float weakest,
                                const int32_t* d4, const int32_t* d2, uint32_t* keep) const {
    const std::size_t n = end - begin;
    const std::size_t with_norm = run.norms.size() > begin ? std::min(n, run.norms.size() - begin) : 0;
    simd::BlockSelect block;
    block.d4 = d4;
    block.d2 = d2;
    block.count = n;
    block.norms = run.norms.data() + (with_norm > 0 ? begin : 0);
    block.with_norm = with_norm;
    block.adjust = metric_ == vocab::Metric::Cosine ? simd::Adjust::Cosine
                   : metric_ == vocab::Metric::Dot  ? simd::Adjust::Dot
                                                    : simd::Adjust::L2;
    block.map = bound_->map();
    block.weakest = weakest;
    return simd::select_block(block, keep, simd::features());
}

void Scanner::kept_bounds(const CodeRun& run, std::size_t begin, const uint32_t* keep, std::size_t kept,
                          const int32_t* d4, const int32_t* d2, float* out) const {
    // The one-code form of select_block's rule (the two keep the same codes).
    for (std::size_t k = 0; k < kept; ++k) {
        const std::size_t j = keep[k];
        const std::size_t i = begin + j;
        const float raw = bound_->raw_upper(d4[j], d2[j]);
        out[k] = i < run.norms.size() ? quantize::adjust_score(metric_, raw, run.norms[i]) : raw;
    }
}

void Scanner::score_kept(const CodeRun& run, std::size_t begin, std::size_t end, const uint32_t* keep,
                         std::size_t kept, float* raw) {
    stats_.exact += kept;
    if (kept == 0) return;
    const std::size_t pb = pipeline_.packed_bytes_per_vec();
    const std::size_t n = end - begin;
    if (kept == n) {
        pipeline_.score_batch(query_, run.codes + begin * pb, n, raw);
        return;
    }
    // The kept codes where they lie, scored together by the gathered kernels.
    const uint8_t* codes[kBlock];
    for (std::size_t k = 0; k < kept; ++k) codes[k] = run.codes + (begin + keep[k]) * pb;
    pipeline_.score_gather(query_, codes, kept, raw);
}

void Scanner::push_kept(const CodeRun& run, std::size_t begin, std::size_t end, const uint32_t* keep,
                        std::size_t kept, TopK& heap) {
    float raw[kBlock];
    score_kept(run, begin, end, keep, kept, raw);
    for (std::size_t k = 0; k < kept; ++k) push(run, begin + keep[k], raw[k], heap);
}

void Scanner::push_pruned(const CodeRun& run, std::size_t begin, std::size_t end, TopK& heap) {
    uint32_t keep[kBlock];
    const std::size_t kept = first_pass(run, begin, end, heap, keep);
    push_kept(run, begin, end, keep, kept, heap);
}

void Scanner::scan(const CodeRun& run, const Allowlist* filter, TopK& heap) {
    if (heap.k() == 0) return;
    std::size_t i = 0;
    while (i < run.count) {
        // The next run of at most kBlock candidates, all allowed.
        if (filter != nullptr) {
            while (i < run.count && !filter->contains(run.ids[i])) ++i;
            if (i == run.count) break;
        }
        std::size_t end = i + 1;
        const std::size_t limit = std::min(run.count, i + kBlock);
        while (end < limit && (filter == nullptr || filter->contains(run.ids[end]))) ++end;
        stats_.scanned += end - i;

        // Until the heap is full every code enters it: score exactly just
        // enough codes to fill it, then let the first pass decide the rest.
        std::size_t j = i;
        while (j < end) {
            const bool prunable = bound_.has_value();
            if (prunable && heap.full()) {
                if (paused(end - j)) {
                    push_exact(run, j, end, heap);
                } else {
                    push_pruned(run, j, end, heap);
                }
                break;
            }
            std::size_t stop = end;
            if (prunable) stop = j + static_cast<std::size_t>(std::min<uint64_t>(end - j, heap.k() - heap.size()));
            push_exact(run, j, stop, heap);
            j = stop;
        }
        i = end;
    }
}

}  // namespace kivo::search
