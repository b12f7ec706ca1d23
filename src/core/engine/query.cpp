// search: query validation, the one transform, the route by index type and
// the brute-force scan with its allowlist pre-filter.
#include <algorithm>

#include "engine/engine.h"
#include "search/filter.h"

namespace kivo::engine {

namespace {

// Codes scored per batched kernel call.
constexpr std::size_t kScoreBlock = 256;

}  // namespace

Result<std::vector<search::ScoredId>> Kivo::search(std::span<const float> query, uint64_t k,
                                                   std::optional<std::span<const uint64_t>> allowlist) const {
    if (query.size() != config_.dim) {
        return std::unexpected(KivoError::dimension_mismatch(config_.dim, query.size()));
    }
    if (len() == 0) return std::unexpected(KivoError::empty_index());
    const std::vector<float> q = pipeline_.transform_query(query);

    switch (config_.index_type) {
        case IndexType::IvfFlat:
            if (!ivf_) return std::unexpected(KivoError::not_built());
            return ivf_->search(pipeline_, q, k, allowlist);
        case IndexType::Hnsw:
            if (!hnsw_) return std::unexpected(KivoError::not_implemented("Hnsw"));
            return hnsw_->search(pipeline_, q, k, allowlist, config_.metric);
        case IndexType::BruteForce: break;
    }

    // Pre-filter: excluded ids are never scored.
    std::optional<search::Allowlist> filter;
    if (allowlist) filter = search::Allowlist::create(*allowlist);
    if (k == 0) return std::vector<search::ScoredId>{};

    const uint64_t pb = packed_bytes_per_vec_;
    const std::size_t count = pb == 0 ? 0 : std::min<std::size_t>(ids_.size(), codes_.size() / pb);
    // Index read from a version 1 file: no norms, no adjustment.
    const bool adjust = !norms_.empty();
    const Metric metric = config_.metric;

    search::TopK heap(k, count);
    float buf[kScoreBlock];
    std::size_t i = 0;
    while (i < count) {
        // The next run of at most kScoreBlock candidates, all allowed.
        if (filter) {
            while (i < count && !filter->contains(ids_[i])) ++i;
            if (i == count) break;
        }
        std::size_t end = i + 1;
        const std::size_t limit = std::min(count, i + kScoreBlock);
        while (end < limit && (!filter || filter->contains(ids_[end]))) ++end;
        pipeline_.score_batch(q, codes_.data() + i * pb, end - i, buf);
        for (std::size_t j = i; j < end; ++j) {
            float s = buf[j - i];
            if (adjust && j < norms_.size()) s = quantize::adjust_score(metric, s, norms_[j]);
            heap.push(ids_[j], s);
        }
        i = end;
    }
    return std::move(heap).into_sorted();
}

}  // namespace kivo::engine
