// Removal and replacement of stored vectors by id: remove, upsert and
// upsert_flat.
#include "engine/engine.h"
#include "search/filter.h"
#include "search/remove.h"

namespace kivo::engine {

Result<uint64_t> Kivo::remove(std::span<const uint64_t> ids) {
    if (ids.empty()) return uint64_t{0};
    const search::Allowlist doomed = search::Allowlist::create(ids);
    uint64_t removed = 0;
    switch (config_.index_type) {
        case IndexType::BruteForce: break;
        case IndexType::IvfFlat:
            if (ivf_) removed += ivf_->remove(doomed);
            break;
        case IndexType::Hnsw:
            // The flat store of a graph index stays empty.
            return hnsw_ ? hnsw_->remove(doomed, pipeline_, config_.metric) : removed;
    }
    // The flat store: the brute-force index itself, or the pending vectors
    // of an IvfFlat index together with their training vectors.
    search::EntryStore flat{ids_, codes_, norms_, &training_vectors_};
    removed += search::remove_entries(flat, packed_bytes_per_vec_, doomed);
    return removed;
}

void Kivo::keep_construction_vectors(std::size_t adding) {
    // The insertions of an upsert rebuild released construction vectors
    // anyway; rebuilding them before the removal spares the removal doing it
    // (and releasing them) on its own.
    if (adding > 0 && hnsw_ && !hnsw_->empty() && !hnsw_->has_all_vectors()) {
        hnsw_->restore_vectors(pipeline_, config_.metric);
    }
}

Status Kivo::upsert(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors) {
    // Everything add could refuse is checked before anything is removed, so a
    // refused call changes nothing.
    if (ids.size() != vectors.size()) {
        return std::unexpected(KivoError::id_count_mismatch(ids.size(), vectors.size()));
    }
    for (const auto& v : vectors) {
        if (v.size() != config_.dim) return std::unexpected(KivoError::dimension_mismatch(config_.dim, v.size()));
    }
    keep_construction_vectors(ids.size());
    if (auto removed = remove(ids); !removed) return std::unexpected(removed.error());
    return add(ids, vectors);
}

Status Kivo::upsert_flat(std::span<const uint64_t> ids, std::span<const float> data) {
    const uint64_t dim = config_.dim;
    if (dim == 0 || data.size() % dim != 0 || data.size() / dim != ids.size()) {
        return std::unexpected(KivoError::id_count_mismatch(ids.size(), dim == 0 ? 0 : data.size() / dim));
    }
    keep_construction_vectors(ids.size());
    if (auto removed = remove(ids); !removed) return std::unexpected(removed.error());
    return add_flat(ids, data);
}

}  // namespace kivo::engine
