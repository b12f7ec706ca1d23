// search: query validation, the one transform, the route by index type and
// the brute-force scan with its allowlist pre-filter.
#include <algorithm>

#include "engine/engine.h"
#include "search/filter.h"
#include "search/scan.h"

namespace kivo::engine {

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
    search::TopK heap(k, count);
    // An index read from a version 1 file has no norms: no adjustment.
    search::Scanner scanner(pipeline_, q, config_.metric);
    scanner.scan({codes_.data(), ids_, norms_, count}, filter ? &*filter : nullptr, heap);
    return std::move(heap).into_sorted();
}

}  // namespace kivo::engine
