// Hnsw::select_links: which candidates become a node's links, for a new node
// and for a list pruned back to its budget.
#include <algorithm>

#include "search/hnsw.h"
#include "simd/dispatch.h"
#include "simd/dot_rows.h"

namespace kivo::search {

void Hnsw::select_links(uint32_t base, std::span<const Neighbour> sorted, uint64_t budget,
                        vocab::Metric metric, std::vector<Neighbour>& out) const {
    out.clear();
    const std::size_t limit = static_cast<std::size_t>(std::min<uint64_t>(budget, sorted.size()));
    const uint64_t have = vector_count();
    bool diverse = selection == vocab::HnswSelection::Diverse && sorted.size() > limit && base < have;
    for (std::size_t i = 0; diverse && i < sorted.size(); ++i) diverse = sorted[i].node < have;
    if (!diverse) {
        out.assign(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(limit));
        return;
    }

    const bool l2 = metric == vocab::Metric::L2;
    const bool cached_sq = vector_sq_sums_.size() == have;
    auto half_sq = [&](uint32_t v) {
        float sq = 0.0f;
        if (cached_sq) {
            sq = vector_sq_sums_[v];
        } else {
            for (float x : vector_of(v)) {
                const float p = x * x;
                sq = sq + p;
            }
        }
        return 0.5f * sq;
    };
    const uint32_t features = simd::features();
    const std::size_t len = static_cast<std::size_t>(vector_dim());

    // Kept candidates' rows (base first) and their l2 terms; `kept` marks
    // positions in `sorted`.
    std::vector<const float*> rows{vector_of(base).data()};
    std::vector<float> halves{l2 ? half_sq(base) : 0.0f};
    std::vector<bool> kept(sorted.size(), false);
    std::vector<float> dots;
    std::size_t n_kept = 0;
    for (std::size_t i = 0; i < sorted.size() && n_kept < limit; ++i) {
        // Construction scores of c as the query against base and every kept
        // link: dot_rows gives the same sums as the scalar definition.
        const float* c = vector_of(sorted[i].node).data();
        dots.resize(rows.size());
        simd::dot_rows(c, len, rows.data(), rows.size(), dots.data(), features);
        const float to_base = l2 ? dots[0] - halves[0] : dots[0];
        bool good = true;
        for (std::size_t r = 1; r < rows.size() && good; ++r) {
            const float to_kept = l2 ? dots[r] - halves[r] : dots[r];
            good = to_base > to_kept;
        }
        if (!good) continue;
        kept[i] = true;
        ++n_kept;
        rows.push_back(c);
        halves.push_back(l2 ? half_sq(sorted[i].node) : 0.0f);
    }
    // Fill the budget with the best discarded candidates, then list the
    // chosen ones best first.
    for (std::size_t i = 0; i < sorted.size() && n_kept < limit; ++i) {
        if (!kept[i]) {
            kept[i] = true;
            ++n_kept;
        }
    }
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (kept[i]) out.push_back(sorted[i]);
    }
}

}  // namespace kivo::search
