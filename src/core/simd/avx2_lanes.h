// Eight-lane building blocks of the AVX2 kernels (single-code and
// multi-query): how a code block splits into register-wide steps, masked
// query loads, the fixed lane reduction, the 4-bit nibble lookup, the 2-bit
// expansion and odd-byte tail. Internal linkage, like kernel_common.h;
// include only from files compiled with -mavx2 -mfma.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/kernel_common.h"

namespace kivo::simd::avx2 {
namespace {

// A 4-bit block of len slots as the kernels walk it: 16-byte blocks of four
// 4-byte groups (eight slots each), then the groups past the last block,
// then the odd bytes. Only an odd len leaves a padding nibble; it falls into
// the last group when bytes is a multiple of 4, and the steps up to
// `full_blocks` hold none, so their queries load without a mask.
struct Steps4 {
    std::size_t bytes;
    std::size_t blocks;
    std::size_t groups;
    std::size_t full_blocks;

    static Steps4 of(std::size_t len) {
        const std::size_t bytes = (len + 1) / 2;
        const std::size_t blocks = bytes / 16;
        const std::size_t groups = bytes / 4;
        const std::size_t full_groups = groups < len / 8 ? groups : len / 8;
        return {bytes, blocks, groups, blocks < full_groups / 4 ? blocks : full_groups / 4};
    }
};

// A 2-bit block of len slots: byte pairs (eight slots each), the first
// `full` of them without a padding slot (at most the last pair has one),
// then an odd last byte.
struct Steps2 {
    std::size_t bytes;
    std::size_t pairs;
    std::size_t full;

    static Steps2 of(std::size_t len) {
        const std::size_t bytes = (len + 3) / 4;
        const std::size_t pairs = bytes / 2;
        return {bytes, pairs, pairs < len / 8 ? pairs : len / 8};
    }
};

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

// The 4-bit lookup: the centroids of the eight nibbles of 4 code bytes, in
// coordinate order. Lane l shifts nibble l down, two 8-entry permutations
// look up both halves of the table, and bit 3 of the nibble (moved to the
// sign bit) picks one.
struct Expand4 {
    __m256 low = _mm256_load_ps(kCentroids4);
    __m256 high = _mm256_load_ps(kCentroids4 + 8);
    __m256i shifts = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);

    __m256 lookup(uint32_t bits) const {
        const __m256i idx = _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(bits)), shifts);
        const __m256 lo = _mm256_permutevar8x32_ps(low, idx);
        const __m256 hi = _mm256_permutevar8x32_ps(high, idx);
        return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
    }
};

// The 2-bit expansion of a 32-bit word of codes: vpermilps reads the low two
// bits of each lane, so shifting lane l by 2l (by 16 + 2l for the word's
// second byte pair) is all it needs.
struct Expand2 {
    __m256 table = _mm256_load_ps(kCentroids2x2);
    __m256i first_shifts = _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14);
    __m256i second_shifts = _mm256_setr_epi32(16, 18, 20, 22, 24, 26, 28, 30);

    // The centroids of the eight slots of the first and of the second byte pair.
    __m256 first(__m256i word) const { return _mm256_permutevar_ps(table, _mm256_srlv_epi32(word, first_shifts)); }
    __m256 second(__m256i word) const { return _mm256_permutevar_ps(table, _mm256_srlv_epi32(word, second_shifts)); }
};

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
