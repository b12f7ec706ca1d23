// AVX2 first pass of a pruned scan: integer dot products of the query image
// with the codes' small-integer centroids, looked up by byte shuffles
// (vpshufb) and multiplied and summed in pairs (vpmaddubsw, vpmaddwd).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/prune.h"
#include "simd/prune_pass.h"

namespace kivo::simd::avx2 {

namespace {

// One 4-bit chunk of one code: 64 coordinates. The 4-bit block's magnitudes
// are at most 127, so the two vpmaddubsw pair sums of a lane add up to at
// most 4 * 127 * max|table4| <= 32767 and are widened once.
inline __m256i step4(const PassConsts& c, __m256i code, __m256i sign, __m256i even, __m256i odd, __m256i acc) {
    const __m256i x = _mm256_xor_si256(code, sign);
    const __m256i lo = _mm256_and_si256(x, c.low4);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), c.low4);
    const __m256i p0 = _mm256_maddubs_epi16(even, _mm256_shuffle_epi8(c.t4, lo));
    const __m256i p1 = _mm256_maddubs_epi16(odd, _mm256_shuffle_epi8(c.t4, hi));
    return _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_add_epi16(p0, p1), c.ones));
}

// One 2-bit chunk of one code: 128 coordinates. A half-byte holds two slots;
// one shuffle table yields the centroid of its low slot, another of its high
// slot. The four pair sums together stay within 8 * 255 * max|table2| <= 32767.
inline __m256i step2(const PassConsts& c, __m256i code, __m256i sign, const __m256i* mags, __m256i acc) {
    const __m256i x = _mm256_xor_si256(code, sign);
    const __m256i lo = _mm256_and_si256(x, c.low4);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), c.low4);
    const __m256i p0 = _mm256_maddubs_epi16(mags[0], _mm256_shuffle_epi8(c.t2lo, lo));
    const __m256i p1 = _mm256_maddubs_epi16(mags[1], _mm256_shuffle_epi8(c.t2hi, lo));
    const __m256i p2 = _mm256_maddubs_epi16(mags[2], _mm256_shuffle_epi8(c.t2lo, hi));
    const __m256i p3 = _mm256_maddubs_epi16(mags[3], _mm256_shuffle_epi8(c.t2hi, hi));
    const __m256i p = _mm256_add_epi16(_mm256_add_epi16(p0, p1), _mm256_add_epi16(p2, p3));
    return _mm256_add_epi32(acc, _mm256_madd_epi16(p, c.ones));
}

// The chunk loops of the one-query driver (simd/prune_pass.h).
struct Avx2Pass {
    // N codes of the 4-bit block at once: they share the loads of the query
    // image, and their accumulators are independent chains.
    template <std::size_t N, bool Whole>
    static void sums4(const PruneImage& im, const PassConsts& c, const uint8_t* const* code, __m256i* acc) {
        for (std::size_t k = 0; k < N; ++k) acc[k] = _mm256_setzero_si256();
        for (std::size_t off = 0, t = 0; off < im.bytes4; off += kChunkBytes, ++t) {
            const uint8_t* chunk = im.image4 + t * kImage4Bytes;
            const __m256i sign = load32(chunk);
            const __m256i even = load32(chunk + kChunkBytes);
            const __m256i odd = load32(chunk + 2 * kChunkBytes);
            for (std::size_t k = 0; k < N; ++k) {
                const __m256i x = Whole ? load32(code[k] + off) : load_code(code[k], off, im.bytes4);
                acc[k] = step4(c, x, sign, even, odd, acc[k]);
            }
        }
    }

    // The same for the 2-bit block, which follows the 4-bit one in each code.
    template <std::size_t N, bool Whole>
    static void sums2(const PruneImage& im, const PassConsts& c, const uint8_t* const* code, __m256i* acc) {
        for (std::size_t k = 0; k < N; ++k) acc[k] = _mm256_setzero_si256();
        for (std::size_t off = 0, t = 0; off < im.bytes2; off += kChunkBytes, ++t) {
            const uint8_t* chunk = im.image2 + t * kImage2Bytes;
            const __m256i sign = load32(chunk);
            const __m256i mags[4] = {load32(chunk + kChunkBytes), load32(chunk + 2 * kChunkBytes),
                                     load32(chunk + 3 * kChunkBytes), load32(chunk + 4 * kChunkBytes)};
            for (std::size_t k = 0; k < N; ++k) {
                const uint8_t* code2 = code[k] + im.bytes4;
                const __m256i x = Whole ? load32(code2 + off) : load_code(code2, off, im.bytes2);
                acc[k] = step2(c, x, sign, mags, acc[k]);
            }
        }
    }
};

}  // namespace

void approx_dots(const PruneImage& image, const uint8_t* codes, std::size_t stride, std::size_t count,
                 int32_t* out4, int32_t* out2, std::size_t ahead) {
    OneQuery<Avx2Pass>::dots(image, codes, stride, count, out4, out2, ahead);
}

void approx_dots_gather(const PruneImage& image, const uint8_t* const* codes, std::size_t count, int32_t* out4,
                        int32_t* out2) {
    OneQuery<Avx2Pass>::gather(image, codes, count, out4, out2);
}

}  // namespace kivo::simd::avx2
