// AVX-512 VNNI first pass of a pruned scan: the AVX2 pass's sums with each
// multiply-and-widen done by one vpdpbusd (unsigned query bytes times signed
// centroid bytes, four products into each 32-bit lane), and the sign flip and
// nibble mask fused by vpternlogd. The integers are the AVX2 pass's: every
// product and partial sum is exact in both.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/prune.h"
#include "simd/prune_pass.h"

namespace kivo::simd::avx512vnni {

namespace {

// (a ^ b) & c
constexpr int kXorAnd = 0x28;

// The chunk's slots after the sign flip: (code ^ sign) & 15 for the low
// nibbles; for the high ones both are shifted first (the sign shifted once
// per chunk, for every code).
inline void nibbles(const PassConsts& c, __m256i code, __m256i sign, __m256i sign_hi, __m256i& lo, __m256i& hi) {
    lo = _mm256_ternarylogic_epi32(code, sign, c.low4, kXorAnd);
    hi = _mm256_ternarylogic_epi32(_mm256_srli_epi16(code, 4), sign_hi, c.low4, kXorAnd);
}

// The chunk loops of the one-query driver (simd/prune_pass.h).
struct VnniPass {
    // N codes of the 4-bit block; each code has two accumulators (even and odd
    // coordinates), so that consecutive vpdpbusd do not wait on each other.
    template <std::size_t N, bool Whole>
    static void sums4(const PruneImage& im, const PassConsts& c, const uint8_t* const* code, __m256i* acc) {
        __m256i odd_acc[N];
        for (std::size_t k = 0; k < N; ++k) acc[k] = odd_acc[k] = _mm256_setzero_si256();
        for (std::size_t off = 0, t = 0; off < im.bytes4; off += kChunkBytes, ++t) {
            const uint8_t* chunk = im.image4 + t * kImage4Bytes;
            const __m256i sign = load32(chunk);
            const __m256i sign_hi = _mm256_srli_epi16(sign, 4);
            const __m256i even = load32(chunk + kChunkBytes);
            const __m256i odd = load32(chunk + 2 * kChunkBytes);
            for (std::size_t k = 0; k < N; ++k) {
                const __m256i x = Whole ? load32(code[k] + off) : load_code(code[k], off, im.bytes4);
                __m256i lo, hi;
                nibbles(c, x, sign, sign_hi, lo, hi);
                acc[k] = _mm256_dpbusd_epi32(acc[k], even, _mm256_shuffle_epi8(c.t4, lo));
                odd_acc[k] = _mm256_dpbusd_epi32(odd_acc[k], odd, _mm256_shuffle_epi8(c.t4, hi));
            }
        }
        for (std::size_t k = 0; k < N; ++k) acc[k] = _mm256_add_epi32(acc[k], odd_acc[k]);
    }

    // The same for the 2-bit block (four slots per byte, two per half-byte).
    template <std::size_t N, bool Whole>
    static void sums2(const PruneImage& im, const PassConsts& c, const uint8_t* const* code, __m256i* acc) {
        __m256i hi_acc[N];
        for (std::size_t k = 0; k < N; ++k) acc[k] = hi_acc[k] = _mm256_setzero_si256();
        for (std::size_t off = 0, t = 0; off < im.bytes2; off += kChunkBytes, ++t) {
            const uint8_t* chunk = im.image2 + t * kImage2Bytes;
            const __m256i sign = load32(chunk);
            const __m256i sign_hi = _mm256_srli_epi16(sign, 4);
            const __m256i m0 = load32(chunk + kChunkBytes);
            const __m256i m1 = load32(chunk + 2 * kChunkBytes);
            const __m256i m2 = load32(chunk + 3 * kChunkBytes);
            const __m256i m3 = load32(chunk + 4 * kChunkBytes);
            for (std::size_t k = 0; k < N; ++k) {
                const uint8_t* code2 = code[k] + im.bytes4;
                const __m256i x = Whole ? load32(code2 + off) : load_code(code2, off, im.bytes2);
                __m256i lo, hi;
                nibbles(c, x, sign, sign_hi, lo, hi);
                acc[k] = _mm256_dpbusd_epi32(acc[k], m0, _mm256_shuffle_epi8(c.t2lo, lo));
                hi_acc[k] = _mm256_dpbusd_epi32(hi_acc[k], m2, _mm256_shuffle_epi8(c.t2lo, hi));
                acc[k] = _mm256_dpbusd_epi32(acc[k], m1, _mm256_shuffle_epi8(c.t2hi, lo));
                hi_acc[k] = _mm256_dpbusd_epi32(hi_acc[k], m3, _mm256_shuffle_epi8(c.t2hi, hi));
            }
        }
        for (std::size_t k = 0; k < N; ++k) acc[k] = _mm256_add_epi32(acc[k], hi_acc[k]);
    }
};

}  // namespace

void approx_dots(const PruneImage& image, const uint8_t* codes, std::size_t stride, std::size_t count,
                 int32_t* out4, int32_t* out2, std::size_t ahead) {
    OneQuery<VnniPass>::dots(image, codes, stride, count, out4, out2, ahead);
}

void approx_dots_gather(const PruneImage& image, const uint8_t* const* codes, std::size_t count, int32_t* out4,
                        int32_t* out2) {
    OneQuery<VnniPass>::gather(image, codes, count, out4, out2);
}

}  // namespace kivo::simd::avx512vnni
