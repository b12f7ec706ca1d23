// What the vector first passes share: 32-byte code loads, the step registers,
// the reduction of eight codes' sums, and the one-query driver (groups of eight
// codes, then the rest one by one) over a pass's own chunk steps. Everything here has
// internal linkage (as in kernel_common.h), so each kernel translation unit
// compiles its own copy with its own instruction-set flags.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/kernel_common.h"
#include "simd/prune.h"

namespace kivo::simd {
namespace {

inline __m256i load32(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// The last bytes of a block when it does not fill a whole chunk: the missing
// bytes read as 0 (the query image is 0 there anyway), and nothing past the
// block is touched, so the last code of an array is safe.
inline __m256i load_partial(const uint8_t* p, std::size_t n) {
    alignas(32) uint8_t buf[kChunkBytes] = {};
    for (std::size_t i = 0; i < n; ++i) buf[i] = p[i];
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(buf));
}

inline __m256i load_code(const uint8_t* p, std::size_t off, std::size_t bytes) {
    return off + kChunkBytes <= bytes ? load32(p + off) : load_partial(p + off, bytes - off);
}

// A 16-byte shuffle table in both lanes.
inline __m256i table16(const void* t) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
    return _mm256_broadcastsi128_si256(v);
}

// The registers every first-pass step uses: the nibble mask, 16-bit ones for
// widening (passes that widen by vpmaddwd), and the three shuffle tables of
// the image or group.
struct PassConsts {
    __m256i low4 = _mm256_set1_epi8(0x0F);
    __m256i ones = _mm256_set1_epi16(1);
    __m256i t4, t2lo, t2hi;
    template <class Tables>
    explicit PassConsts(const Tables& t)
        : t4(table16(t.table4)), t2lo(table16(t.table2_lo)), t2hi(table16(t.table2_hi)) {}
};

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

// The one-query driver. A Pass supplies the chunk loops `sums4<N, Whole>`
// and `sums2<N, Whole>`, which leave in acc[k] an 8-lane vector whose lanes
// add up to code k's sum over its 4-bit or 2-bit block (Whole: every block
// ends on a chunk boundary).
template <class Pass>
struct OneQuery {
    // Eight codes in two groups of four (eight chains at once read eight
    // codes in an order that defeats the hardware prefetcher), their sums
    // reduced together. With `ahead` not 0 the eight codes' bytes that far on
    // are asked for first, line by line in address order (measured: spread
    // over the chunk loop they arrived too late from memory).
    template <bool Whole>
    static void dots8(const PruneImage& im, const PassConsts& c, const uint8_t* const* code, std::size_t ahead,
                      std::size_t span, int32_t* out4, int32_t* out2) {
        alignas(32) __m256i acc[kCodes];
        for (std::size_t off = 0; ahead != 0 && off < span; off += 64) prefetch(code[0], ahead + off);
        if (im.bytes4 != 0) {
            Pass::template sums4<kCodes / 2, Whole>(im, c, code, acc);
            Pass::template sums4<kCodes / 2, Whole>(im, c, code + kCodes / 2, acc + kCodes / 2);
            store8(out4, reduce8(acc));
        } else {
            store8(out4, _mm256_setzero_si256());
        }
        if (im.bytes2 != 0) {
            Pass::template sums2<kCodes / 2, Whole>(im, c, code, acc);
            Pass::template sums2<kCodes / 2, Whole>(im, c, code + kCodes / 2, acc + kCodes / 2);
            store8(out2, reduce8(acc));
        } else {
            store8(out2, _mm256_setzero_si256());
        }
    }

    // One code (the last count % 8).
    template <bool Whole>
    static void dots1(const PruneImage& im, const PassConsts& c, const uint8_t* code, int32_t* out4, int32_t* out2) {
        __m256i acc[1];
        Pass::template sums4<1, Whole>(im, c, &code, acc);
        *out4 = im.bytes4 != 0 ? hsum(acc[0]) : 0;
        Pass::template sums2<1, Whole>(im, c, &code, acc);
        *out2 = im.bytes2 != 0 ? hsum(acc[0]) : 0;
    }

    // Code i at at(i): consecutive codes of a block (the group of eight
    // spans `span` bytes), or gathered ones (ahead 0).
    template <bool Whole, class At>
    static void all(const PruneImage& image, At at, std::size_t ahead, std::size_t span, std::size_t count,
                    int32_t* out4, int32_t* out2) {
        const PassConsts c(image);
        std::size_t i = 0;
        for (; i + kCodes <= count; i += kCodes) {
            const uint8_t* group[kCodes];
            for (std::size_t k = 0; k < kCodes; ++k) group[k] = at(i + k);
            dots8<Whole>(image, c, group, ahead, span, out4 + i, out2 + i);
        }
        for (; i < count; ++i) dots1<Whole>(image, c, at(i), out4 + i, out2 + i);
    }

    // Blocks of whole chunks take loops without the partial-chunk load,
    // which otherwise costs registers in the hot loop.
    template <class At>
    static void any(const PruneImage& image, At at, std::size_t ahead, std::size_t span, std::size_t count,
                    int32_t* out4, int32_t* out2) {
        if (image.bytes4 % kChunkBytes == 0 && image.bytes2 % kChunkBytes == 0) {
            all<true>(image, at, ahead, span, count, out4, out2);
        } else {
            all<false>(image, at, ahead, span, count, out4, out2);
        }
    }

    static void dots(const PruneImage& image, const uint8_t* codes, std::size_t stride, std::size_t count,
                     int32_t* out4, int32_t* out2, std::size_t ahead) {
        any(image, [&](std::size_t i) { return codes + i * stride; }, ahead, kCodes * stride, count, out4, out2);
    }

    static void gather(const PruneImage& image, const uint8_t* const* codes, std::size_t count, int32_t* out4,
                       int32_t* out2) {
        any(image, [&](std::size_t i) { return codes[i]; }, 0, 0, count, out4, out2);
    }
};

}  // namespace
}  // namespace kivo::simd
