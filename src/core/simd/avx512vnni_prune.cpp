// AVX-512 VNNI first pass of a pruned scan: the AVX2 pass's sums with each
// multiply-and-widen done by one vpdpbusd (unsigned query bytes times signed
// centroid bytes, four products into each 32-bit lane), and the sign flip and
// nibble mask fused by vpternlogd. The integers are the AVX2 pass's: every
// product and partial sum is exact in both.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/kernel_common.h"
#include "simd/prune.h"

namespace kivo::simd::avx512vnni {

namespace {

// (a ^ b) & c
constexpr int kXorAnd = 0x28;
constexpr std::size_t kCodes = 8;

inline __m256i load32(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// The last bytes of a block that does not fill a whole chunk, the rest 0;
// nothing past the block is read.
inline __m256i load_partial(const uint8_t* p, std::size_t n) {
    const __mmask32 keep = n >= 32 ? ~__mmask32{0} : (__mmask32{1} << n) - 1;
    return _mm256_maskz_loadu_epi8(keep, p);
}

inline __m256i load_code(const uint8_t* p, std::size_t off, std::size_t bytes) {
    return off + kChunkBytes <= bytes ? load32(p + off) : load_partial(p + off, bytes - off);
}

inline __m256i table16(const void* t) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

// Lane k of the result: the sum of the eight lanes of a[k].
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

inline int32_t hsum(__m256i acc) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return _mm_cvtsi128_si32(s);
}

struct Consts {
    __m256i low4 = _mm256_set1_epi8(0x0F);
    __m256i t4, t2lo, t2hi;
    explicit Consts(const PruneImage& im)
        : t4(table16(im.table4)), t2lo(table16(im.table2_lo)), t2hi(table16(im.table2_hi)) {}
};

// The chunk's slots after the sign flip: (code ^ sign) & 15 for the low
// nibbles; for the high ones both are shifted first (the sign shifted once
// per chunk, for every code).
inline void nibbles(const Consts& c, __m256i code, __m256i sign, __m256i sign_hi, __m256i& lo, __m256i& hi) {
    lo = _mm256_ternarylogic_epi32(code, sign, c.low4, kXorAnd);
    hi = _mm256_ternarylogic_epi32(_mm256_srli_epi16(code, 4), sign_hi, c.low4, kXorAnd);
}

// N codes of the 4-bit block; each code has two accumulators (even and odd
// coordinates), so that consecutive vpdpbusd do not wait on each other.
template <std::size_t N, bool Whole>
inline void sums4(const PruneImage& im, const Consts& c, const uint8_t* const* code, __m256i* acc) {
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
inline void sums2(const PruneImage& im, const Consts& c, const uint8_t* const* code, __m256i* acc) {
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

// Eight codes in two groups of four, reduced together; with `ahead` not 0
// the bytes that far on are asked for first, line by line in address order
// (as the AVX2 pass does).
template <bool Whole>
inline void dots8(const PruneImage& im, const Consts& c, const uint8_t* const* code, std::size_t ahead,
                  std::size_t span, int32_t* out4, int32_t* out2) {
    alignas(32) __m256i acc[kCodes];
    for (std::size_t off = 0; ahead != 0 && off < span; off += 64) prefetch(code[0], ahead + off);
    if (im.bytes4 != 0) {
        sums4<kCodes / 2, Whole>(im, c, code, acc);
        sums4<kCodes / 2, Whole>(im, c, code + kCodes / 2, acc + kCodes / 2);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out4), reduce8(acc));
    } else {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out4), _mm256_setzero_si256());
    }
    if (im.bytes2 != 0) {
        sums2<kCodes / 2, Whole>(im, c, code, acc);
        sums2<kCodes / 2, Whole>(im, c, code + kCodes / 2, acc + kCodes / 2);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out2), reduce8(acc));
    } else {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out2), _mm256_setzero_si256());
    }
}

template <bool Whole>
inline void dots1(const PruneImage& im, const Consts& c, const uint8_t* code, int32_t* out4, int32_t* out2) {
    __m256i acc[1];
    sums4<1, Whole>(im, c, &code, acc);
    *out4 = im.bytes4 != 0 ? hsum(acc[0]) : 0;
    sums2<1, Whole>(im, c, &code, acc);
    *out2 = im.bytes2 != 0 ? hsum(acc[0]) : 0;
}

template <bool Whole, class At>
void dots_all(const PruneImage& image, At at, std::size_t ahead, std::size_t span, std::size_t count,
              int32_t* out4, int32_t* out2) {
    const Consts c(image);
    std::size_t i = 0;
    for (; i + kCodes <= count; i += kCodes) {
        const uint8_t* group[kCodes];
        for (std::size_t k = 0; k < kCodes; ++k) group[k] = at(i + k);
        dots8<Whole>(image, c, group, ahead, span, out4 + i, out2 + i);
    }
    for (; i < count; ++i) dots1<Whole>(image, c, at(i), out4 + i, out2 + i);
}

template <class At>
void dots_any(const PruneImage& image, At at, std::size_t ahead, std::size_t span, std::size_t count,
              int32_t* out4, int32_t* out2) {
    if (image.bytes4 % kChunkBytes == 0 && image.bytes2 % kChunkBytes == 0) {
        dots_all<true>(image, at, ahead, span, count, out4, out2);
    } else {
        dots_all<false>(image, at, ahead, span, count, out4, out2);
    }
}

}  // namespace

void approx_dots(const PruneImage& image, const uint8_t* codes, std::size_t stride, std::size_t count,
                 int32_t* out4, int32_t* out2, std::size_t ahead) {
    dots_any(image, [&](std::size_t i) { return codes + i * stride; }, ahead, kCodes * stride, count, out4, out2);
}

void approx_dots_gather(const PruneImage& image, const uint8_t* const* codes, std::size_t count, int32_t* out4,
                        int32_t* out2) {
    dots_any(image, [&](std::size_t i) { return codes[i]; }, 0, 0, count, out4, out2);
}

}  // namespace kivo::simd::avx512vnni
