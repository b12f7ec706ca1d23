// The registers every AVX2 first-pass step uses. Included only by AVX2
// translation units.
#pragma once

#include <immintrin.h>

#include "simd/prune.h"
#include "simd/prune_pass.h"

namespace kivo::simd::avx2 {

// The nibble mask, 16-bit ones for widening, and the three shuffle tables of
// the image or group.
struct PassConsts {
    __m256i low4 = _mm256_set1_epi8(0x0F);
    __m256i ones = _mm256_set1_epi16(1);
    __m256i t4, t2lo, t2hi;
    template <class Tables>
    explicit PassConsts(const Tables& t)
        : t4(table16(t.table4)), t2lo(table16(t.table2_lo)), t2hi(table16(t.table2_hi)) {}
};

}  // namespace kivo::simd::avx2
