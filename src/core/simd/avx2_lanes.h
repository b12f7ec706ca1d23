// Eight-lane building blocks of the AVX2 kernels (single-code and
// multi-query): masked query loads, the fixed lane reduction, the 4-bit
// nibble lookup and the 2-bit odd-byte tail. Internal linkage, like
// kernel_common.h; include only from files compiled with -mavx2 -mfma.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/kernel_common.h"

namespace kivo::simd::avx2 {
namespace {

// Eight query floats from q + off; lanes at or past len read as 0.0, so a
// padding slot adds an exact zero and nothing beyond the query is touched.
inline __m256 load_q8(const float* q, std::size_t off, std::size_t len) {
    if (off + 8 <= len) return _mm256_loadu_ps(q + off);
    const __m256i lanes = _mm256_set1_epi32(static_cast<int>(len - off));
    const __m256i mask = _mm256_cmpgt_epi32(lanes, _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    return _mm256_maskload_ps(q + off, mask);
}

// Lane-wise reduction: s_l = a[l] + a[l + 4], then (s0 + s1) + (s2 + s3).
// The order is part of the result; keep it.
inline float reduce8(__m256 a) {
    const __m128 s = _mm_add_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
    const __m128 u = _mm_add_ps(s, _mm_movehdup_ps(s));  // [s0+s1, _, s2+s3, _]
    return _mm_cvtss_f32(_mm_add_ss(u, _mm_movehl_ps(u, u)));
}

// The centroids of the eight nibbles of 4 code bytes, in coordinate order:
// lane l shifts nibble l down, two 8-entry permutations look up both halves
// of the table, and bit 3 of the nibble (moved to the sign bit) picks one.
inline __m256 lookup_4bit(uint32_t bits, __m256 low, __m256 high, __m256i shifts) {
    const __m256i idx = _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(bits)), shifts);
    const __m256 lo = _mm256_permutevar8x32_ps(low, idx);
    const __m256 hi = _mm256_permutevar8x32_ps(high, idx);
    return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
}

// The odd last byte of a 2-bit block, slot by slot: product rounded, then
// added (the build never contracts them).
inline float tail_2bit(const float* q, std::size_t len, const uint8_t* code, std::size_t bytes, float r) {
    if (bytes % 2 == 1) {
        const std::size_t i = bytes - 1;
        const uint8_t b = code[i];
        for (std::size_t j = 0; j < 4 && 4 * i + j < len; ++j) {
            r = r + q[4 * i + j] * kCentroids2x2[(b >> (2 * j)) & 3];
        }
    }
    return r;
}

}  // namespace
}  // namespace kivo::simd::avx2
