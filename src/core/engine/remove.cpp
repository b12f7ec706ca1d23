// Removal and replacement of stored vectors by id: remove, upsert and
// upsert_flat.
#include "engine/engine.h"
#include "search/filter.h"
#include "search/remove.h"

namespace kivo::engine {

Result<uint64_t> Kivo::remove(std::span<const uint64_t> ids, const InterruptCheck& interrupt) {
    if (ids.empty()) return uint64_t{0};
    const search::Allowlist doomed = search::Allowlist::create(ids);
    uint64_t removed = 0;
    if (config_.index_type == IndexType::Hnsw) {
        // The flat store of a graph index stays empty.
        return hnsw_ ? hnsw_->remove(doomed, pipeline_, config_.metric, interrupt) : removed;
    }
    // Compacting lists and the flat store is one quick pass that could not
    // be undone halfway: the interrupt is asked once, before it.
    if (interrupt.requested()) return std::unexpected(KivoError::interrupted());
    if (config_.index_type == IndexType::IvfFlat && ivf_) removed += ivf_->remove(doomed);
    // The flat store: the brute-force index itself, or the pending vectors
    // of an IvfFlat index together with their training vectors.
    search::EntryStore flat{ids_, codes_, norms_, &training_vectors_};
    removed += search::remove_entries(flat, packed_bytes_per_vec_, doomed);
    return removed;
}

Status Kivo::remove_replaced(std::span<const uint64_t> ids, const InterruptCheck& interrupt) {
    // The insertions of an upsert rebuild released construction vectors
    // anyway; rebuilding them before the removal spares the removal doing it
    // (and releasing them) on its own.
    const bool restored = !ids.empty() && hnsw_ && !hnsw_->empty() && !hnsw_->has_all_vectors();
    if (restored) hnsw_->restore_vectors(pipeline_, config_.metric);
    if (auto removed = remove(ids, interrupt); !removed) {
        // Interrupted: the graph goes back to the state it was found in.
        if (restored) hnsw_->release_vectors();
        return std::unexpected(removed.error());
    }
    return {};
}

Status Kivo::upsert(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors,
                    const InterruptCheck& interrupt) {
    // Everything add could refuse is checked before anything is removed, so a
    // refused call changes nothing.
    if (ids.size() != vectors.size()) {
        return std::unexpected(KivoError::id_count_mismatch(ids.size(), vectors.size()));
    }
    for (const auto& v : vectors) {
        if (v.size() != config_.dim) return std::unexpected(KivoError::dimension_mismatch(config_.dim, v.size()));
    }
    if (auto ok = remove_replaced(ids, interrupt); !ok) return ok;
    return add(ids, vectors);
}

Status Kivo::upsert_flat(std::span<const uint64_t> ids, std::span<const float> data,
                         const InterruptCheck& interrupt) {
    const uint64_t dim = config_.dim;
    if (dim == 0 || data.size() % dim != 0 || data.size() / dim != ids.size()) {
        return std::unexpected(KivoError::id_count_mismatch(ids.size(), dim == 0 ? 0 : data.size() / dim));
    }
    if (auto ok = remove_replaced(ids, interrupt); !ok) return ok;
    return add_flat(ids, data);
}

}  // namespace kivo::engine
