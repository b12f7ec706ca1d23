// The pruning pass's skip rule with AVX2: four double lanes for the bounds,
// eight float lanes for the norm adjustment, and eight codes per comparison
// when writing the kept positions (almost every code is skipped).
#include <immintrin.h>

#include "simd/select.h"
#include "simd/select_kernel.h"

namespace kivo::simd::avx2 {

namespace {

std::size_t compact8(const float* adjusted, std::size_t count, float weakest, uint32_t base, uint32_t* keep) {
    const __m256 w = _mm256_set1_ps(weakest);
    std::size_t kept = 0;
    std::size_t j = 0;
    for (; j + 8 <= count; j += 8) {
        // Not less than: true for NaN on either side, as !(a < w).
        unsigned mask = static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(adjusted + j), w, _CMP_NLT_UQ)));
        while (mask != 0) {
            keep[kept++] = base + static_cast<uint32_t>(j) + static_cast<uint32_t>(__builtin_ctz(mask));
            mask &= mask - 1;
        }
    }
    return kept + compact_scalar(adjusted + j, count - j, weakest, base + static_cast<uint32_t>(j), keep + kept);
}

}  // namespace

std::size_t select_block(const BlockSelect& block, uint32_t* keep) { return select_block_impl(block, keep, compact8); }

}  // namespace kivo::simd::avx2
