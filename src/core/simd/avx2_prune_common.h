// Byte loads and sums shared by the AVX2 first-pass kernels. Included only
// by AVX2 translation units.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/prune.h"

namespace kivo::simd::avx2 {

inline __m256i load32(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// The last bytes of a block when it does not fill a whole chunk: the missing
// bytes read as 0 (the query image is 0 there anyway), and nothing past the
// block is touched, so the last code of an array is safe.
inline __m256i load_partial(const uint8_t* p, std::size_t n) {
    alignas(32) uint8_t buf[kChunkBytes] = {};
    for (std::size_t i = 0; i < n; ++i) buf[i] = p[i];
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(buf));
}

// A 16-byte shuffle table in both lanes.
inline __m256i table16(const void* t) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
    return _mm256_broadcastsi128_si256(v);
}

// Codes whose sums are reduced together: one 8-lane vector of results.
inline constexpr std::size_t kCodes = 8;

// Lane k of the result is the sum of the eight lanes of a[k]: the sums of
// eight codes reduced by one horizontal-add tree instead of eight (the
// integers allow any order).
inline __m256i reduce8(const __m256i* a) {
    const __m256i h01 = _mm256_hadd_epi32(a[0], a[1]);
    const __m256i h23 = _mm256_hadd_epi32(a[2], a[3]);
    const __m256i h45 = _mm256_hadd_epi32(a[4], a[5]);
    const __m256i h67 = _mm256_hadd_epi32(a[6], a[7]);
    const __m256i h0123 = _mm256_hadd_epi32(h01, h23);
    const __m256i h4567 = _mm256_hadd_epi32(h45, h67);
    return _mm256_add_epi32(_mm256_permute2x128_si256(h0123, h4567, 0x20),
                            _mm256_permute2x128_si256(h0123, h4567, 0x31));
}

inline void store8(int32_t* out, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v); }

inline int32_t hsum(__m256i acc) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return _mm_cvtsi128_si32(s);
}

// The registers every first-pass step uses: the nibble mask, 16-bit ones for
// widening, and the three shuffle tables of the image or group.
struct PassConsts {
    __m256i low4 = _mm256_set1_epi8(0x0F);
    __m256i ones = _mm256_set1_epi16(1);
    __m256i t4, t2lo, t2hi;
    template <class Tables>
    explicit PassConsts(const Tables& t)
        : t4(table16(t.table4)), t2lo(table16(t.table2_lo)), t2hi(table16(t.table2_hi)) {}
};

inline __m256i load_code(const uint8_t* p, std::size_t off, std::size_t bytes) {
    return off + kChunkBytes <= bytes ? load32(p + off) : load_partial(p + off, bytes - off);
}

}  // namespace kivo::simd::avx2
