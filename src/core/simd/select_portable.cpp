// Baseline path and variant choice of the pruning pass's skip rule.
#include "simd/dispatch.h"
#include "simd/select.h"
#include "simd/select_kernel.h"

namespace kivo::simd {

namespace {

template <Adjust M>
std::size_t keep_all(const BlockSelect& b, uint32_t* keep) {
    const std::size_t with_norm = b.with_norm < b.count ? b.with_norm : b.count;
    const std::size_t kept = keep_span<M>(b, 0, with_norm, true, keep);
    return kept + keep_span<M>(b, with_norm, b.count, false, keep + kept);
}

}  // namespace

std::size_t select_block_portable(const BlockSelect& block, uint32_t* keep) {
    return with_adjust(block.adjust, [&](auto m) { return keep_all<decltype(m)::value>(block, keep); });
}

std::size_t select_block(const BlockSelect& block, uint32_t* keep, uint32_t feature_word) {
#if defined(__x86_64__)
    if ((feature_word & (kAvx2 | kFma)) == (kAvx2 | kFma)) return avx2::select_block(block, keep);
#endif
    (void)feature_word;
    return select_block_portable(block, keep);
}

}  // namespace kivo::simd
