// Compaction of parallel entry stores and removal from IVF lists.
#include "search/remove.h"

#include <algorithm>
#include <cstring>

#include "large_buffer.h"
#include "search/ivf.h"

namespace kivo::search {

uint64_t remove_entries(EntryStore store, uint64_t packed_bytes_per_vec, const Allowlist& doomed) {
    const std::size_t pbv = static_cast<std::size_t>(packed_bytes_per_vec);
    const std::size_t n = store.ids.size();
    const bool has_norms = !store.norms.empty();
    const bool has_training = store.training != nullptr && !store.training->empty();
    std::size_t kept = 0;
    for (std::size_t j = 0; j < n; ++j) {
        if (doomed.contains(store.ids[j])) continue;
        if (kept != j) {
            store.ids[kept] = store.ids[j];
            // Source and target never overlap: kept < j.
            if (pbv > 0 && (j + 1) * pbv <= store.codes.size()) {
                std::memcpy(store.codes.data() + kept * pbv, store.codes.data() + j * pbv, pbv);
            }
            if (has_norms && j < store.norms.size()) store.norms[kept] = store.norms[j];
            if (has_training && j < store.training->size()) (*store.training)[kept] = std::move((*store.training)[j]);
        }
        ++kept;
    }
    const uint64_t removed = n - kept;
    if (removed == 0) return 0;
    store.ids.resize(kept);
    store.codes.resize(std::min(store.codes.size(), kept * pbv));
    if (has_norms) store.norms.resize(std::min(store.norms.size(), kept));
    if (has_training) store.training->resize(std::min(store.training->size(), kept));
    // Exactly the kept size: shrink_to_fit is only a request.
    shrink_large(store.ids);
    shrink_large(store.codes);
    shrink_large(store.norms);
    if (has_training) shrink_large(*store.training);
    return removed;
}

uint64_t IvfFlat::remove(const Allowlist& doomed) {
    uint64_t removed = 0;
    // Centroids stay: a list keeps its place even when it ends up empty.
    for (IvfList& list : lists) {
        removed += remove_entries({list.ids, list.codes, list.norms}, packed_bytes_per_vec, doomed);
    }
    return removed;
}

}  // namespace kivo::search
