// Building blocks shared by the AVX2 kernel translation units: the codebooks
// as constant tables, masked query loads, the fixed lane reduction, the 4-bit
// nibble lookup and the scalar 4-bit byte tail. Include only from files
// compiled with -mavx2 -mfma.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace kivo::simd::avx2::detail {

// The codebooks, as exact float32 values (hexadecimal literals of the pinned
// bit patterns). The 2-bit table twice, once per 128-bit half, for vpermilps.
alignas(32) inline constexpr float kCentroids2x2[8] = {
    -0x1.82aabap+0f, -0x1.cfa59p-2f, 0x1.cfa59p-2f, 0x1.82aabap+0f,
    -0x1.82aabap+0f, -0x1.cfa59p-2f, 0x1.cfa59p-2f, 0x1.82aabap+0f,
};
alignas(32) inline constexpr float kCentroids4[16] = {
    -0x1.5dc57ep+1f, -0x1.08d58ep+1f, -0x1.9e384ap+0f, -0x1.41985ep+0f,
    -0x1.e27a74p-1f, -0x1.5042bap-1f, -0x1.8d5c88p-2f, -0x1.06f3f6p-3f,
    0x1.06f3f6p-3f,  0x1.8d5c88p-2f,  0x1.5042bap-1f,  0x1.e27a74p-1f,
    0x1.41985ep+0f,  0x1.9e384ap+0f,  0x1.08d58ep+1f,  0x1.5dc57ep+1f,
};

inline uint32_t load_u32(const uint8_t* p) {
    uint32_t v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t load_u16(const uint8_t* p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8); }

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

// The byte tail of the 4-bit kernels: products rounded, then added (the
// build never contracts them).
inline float tail_4bit(const float* q, std::size_t len, const uint8_t* code, std::size_t from,
                       std::size_t bytes, float r) {
    for (std::size_t i = from; i < bytes; ++i) {
        r = r + q[2 * i] * kCentroids4[code[i] & 15];
        if (2 * i + 1 < len) r = r + q[2 * i + 1] * kCentroids4[code[i] >> 4];
    }
    return r;
}

// The odd last byte of a 2-bit code, slot by slot: product rounded, then added.
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

}  // namespace kivo::simd::avx2::detail
