// AVX2 first pass for a group of queries: each 32-byte chunk of a code is
// expanded to its offset centroids once (two or four byte shuffles), then
// multiplied with every query's signed image (vpmaddubsw) and widened
// (vpmaddwd) into that query's 32-bit sums.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/avx2_prune_common.h"
#include "simd/prune.h"

namespace kivo::simd::avx2 {

namespace {

// Queries sharing one expansion: their sums stay in registers beside the
// tables and the expanded chunk (six measured faster than four or eight).
constexpr std::size_t kGroup = 6;

inline __m256i load32s(const int8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// One code against Q queries starting at query j0. The two 4-bit pair sums
// of a lane add up to at most 4 * 63 * max(table4) <= 32767, and the eight
// 2-bit products of a byte position to at most 8 * 63 * max(table2), so each
// set is added in 16 bits and widened once.
template <std::size_t Q, bool Whole>
inline void code_dots(const PruneGroup& g, const PassConsts& c, std::size_t j0, const uint8_t* code,
                      int32_t* out4, int32_t* out2, std::size_t out_stride) {
    __m256i acc[Q];
    for (std::size_t q = 0; q < Q; ++q) acc[q] = _mm256_setzero_si256();
    for (std::size_t off = 0, t = 0; off < g.bytes4; off += kChunkBytes, ++t) {
        const __m256i x = Whole ? load32(code + off) : load_code(code, off, g.bytes4);
        const __m256i lo = _mm256_shuffle_epi8(c.t4, _mm256_and_si256(x, c.low4));
        const __m256i hi = _mm256_shuffle_epi8(c.t4, _mm256_and_si256(_mm256_srli_epi16(x, 4), c.low4));
        for (std::size_t q = 0; q < Q; ++q) {
            const int8_t* im = g.image4[j0 + q] + t * kSignedImage4Bytes;
            const __m256i pairs = _mm256_add_epi16(_mm256_maddubs_epi16(lo, load32s(im)),
                                                   _mm256_maddubs_epi16(hi, load32s(im + kChunkBytes)));
            acc[q] = _mm256_add_epi32(acc[q], _mm256_madd_epi16(pairs, c.ones));
        }
    }
    for (std::size_t q = 0; q < Q; ++q) {
        out4[(j0 + q) * out_stride] = g.bytes4 != 0 ? hsum(acc[q]) : 0;
        acc[q] = _mm256_setzero_si256();
    }
    const uint8_t* code2 = code + g.bytes4;
    for (std::size_t off = 0, t = 0; off < g.bytes2; off += kChunkBytes, ++t) {
        const __m256i x = Whole ? load32(code2 + off) : load_code(code2, off, g.bytes2);
        const __m256i lo = _mm256_and_si256(x, c.low4);
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), c.low4);
        const __m256i s0 = _mm256_shuffle_epi8(c.t2lo, lo);
        const __m256i s1 = _mm256_shuffle_epi8(c.t2hi, lo);
        const __m256i s2 = _mm256_shuffle_epi8(c.t2lo, hi);
        const __m256i s3 = _mm256_shuffle_epi8(c.t2hi, hi);
        for (std::size_t q = 0; q < Q; ++q) {
            const int8_t* im = g.image2[j0 + q] + t * kSignedImage2Bytes;
            const __m256i p01 = _mm256_add_epi16(_mm256_maddubs_epi16(s0, load32s(im)),
                                                 _mm256_maddubs_epi16(s1, load32s(im + kChunkBytes)));
            const __m256i p23 = _mm256_add_epi16(_mm256_maddubs_epi16(s2, load32s(im + 2 * kChunkBytes)),
                                                 _mm256_maddubs_epi16(s3, load32s(im + 3 * kChunkBytes)));
            acc[q] = _mm256_add_epi32(acc[q], _mm256_madd_epi16(_mm256_add_epi16(p01, p23), c.ones));
        }
    }
    for (std::size_t q = 0; q < Q; ++q) out2[(j0 + q) * out_stride] = g.bytes2 != 0 ? hsum(acc[q]) : 0;
}

// Blocks of whole chunks (every code of 64 or more padded coordinates
// without a mixed split) take a loop without the partial-chunk load, which
// otherwise costs registers and about a fifth of the time.
template <std::size_t Q>
inline void codes_dots(const PruneGroup& g, const PassConsts& c, std::size_t j0, const uint8_t* codes,
                       std::size_t stride, std::size_t count, int32_t* out4, int32_t* out2, std::size_t out_stride) {
    if (g.bytes4 % kChunkBytes == 0 && g.bytes2 % kChunkBytes == 0) {
        for (std::size_t i = 0; i < count; ++i) {
            code_dots<Q, true>(g, c, j0, codes + i * stride, out4 + i, out2 + i, out_stride);
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i) code_dots<Q, false>(g, c, j0, codes + i * stride, out4 + i, out2 + i, out_stride);
}

// The last nq % kGroup queries, as one group of that size.
template <std::size_t Q>
inline void rest_dots(std::size_t rest, const PruneGroup& g, const PassConsts& c, std::size_t j0,
                      const uint8_t* codes, std::size_t stride, std::size_t count, int32_t* out4, int32_t* out2,
                      std::size_t out_stride) {
    if constexpr (Q > 0) {
        if (rest == Q) {
            codes_dots<Q>(g, c, j0, codes, stride, count, out4, out2, out_stride);
        } else {
            rest_dots<Q - 1>(rest, g, c, j0, codes, stride, count, out4, out2, out_stride);
        }
    }
}

}  // namespace

void approx_dots_multi(const PruneGroup& group, const uint8_t* codes, std::size_t stride, std::size_t count,
                       int32_t* out4, int32_t* out2, std::size_t out_stride) {
    const PassConsts c(group);
    std::size_t j = 0;
    for (; j + kGroup <= group.nq; j += kGroup) {
        codes_dots<kGroup>(group, c, j, codes, stride, count, out4, out2, out_stride);
    }
    rest_dots<kGroup - 1>(group.nq - j, group, c, j, codes, stride, count, out4, out2, out_stride);
}

}  // namespace kivo::simd::avx2
