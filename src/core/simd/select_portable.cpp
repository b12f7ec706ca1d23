// Baseline path and variant choice of the pruning pass's skip rule.
#include "simd/dispatch.h"
#include "simd/select.h"
#include "simd/select_kernel.h"

namespace kivo::simd {

std::size_t select_block_portable(const BlockSelect& block, uint32_t* keep) {
    return select_block_impl(block, keep, compact_scalar);
}

std::size_t select_block(const BlockSelect& block, uint32_t* keep, uint32_t feature_word) {
#if defined(__x86_64__)
    if ((feature_word & (kAvx2 | kFma)) == (kAvx2 | kFma)) return avx2::select_block(block, keep);
#endif
    (void)feature_word;
    return select_block_portable(block, keep);
}

}  // namespace kivo::simd
