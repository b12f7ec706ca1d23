// AVX2 first pass for a group of queries: each 32-byte chunk of a code is
// expanded to its offset centroids once (two or four byte shuffles), then
// multiplied with every query's signed image (vpmaddubsw) and widened
// (vpmaddwd) into that query's 32-bit sums. A query's sums of eight codes are
// reduced together (one horizontal-add tree instead of eight), which the
// integers allow in any order.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/prune.h"
#include "simd/prune_pass.h"

namespace kivo::simd::avx2 {

namespace {

// Queries sharing one expansion: their sums stay in registers beside the
// expanded chunk (eight measured fastest for 4-bit chunks; a 2-bit chunk
// expands into four registers, which leaves room for six).
constexpr std::size_t kGroup4 = 8;
constexpr std::size_t kGroup2 = 6;

inline __m256i load32s(const int8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// The two 4-bit pair sums of a lane add up to at most 4 * 63 * max(table4)
// <= 32767, so they are added in 16 bits and widened once.
struct Block4 {
    static constexpr std::size_t kGroup = kGroup4;
    static std::size_t bytes(const PruneGroup& g) { return g.bytes4; }
    static const int8_t* image(const PruneGroup& g, std::size_t j) { return g.image4[j]; }

    template <std::size_t Q, bool Whole>
    static void code(const PassConsts& c, const int8_t* const* im, const uint8_t* code, std::size_t bytes,
                     __m256i* acc) {
        for (std::size_t off = 0, t = 0; off < bytes; off += kChunkBytes, ++t) {
            const __m256i x = Whole ? load32(code + off) : load_code(code, off, bytes);
            const __m256i lo = _mm256_shuffle_epi8(c.t4, _mm256_and_si256(x, c.low4));
            const __m256i hi = _mm256_shuffle_epi8(c.t4, _mm256_and_si256(_mm256_srli_epi16(x, 4), c.low4));
            for (std::size_t q = 0; q < Q; ++q) {
                const int8_t* m = im[q] + t * kSignedImage4Bytes;
                const __m256i pairs = _mm256_add_epi16(_mm256_maddubs_epi16(lo, load32s(m)),
                                                       _mm256_maddubs_epi16(hi, load32s(m + kChunkBytes)));
                acc[q] = _mm256_add_epi32(acc[q], _mm256_madd_epi16(pairs, c.ones));
            }
        }
    }
};

// The eight 2-bit products of a byte position add up to at most
// 8 * 63 * max(table2) <= 32767: added in 16 bits, widened once.
struct Block2 {
    static constexpr std::size_t kGroup = kGroup2;
    static std::size_t bytes(const PruneGroup& g) { return g.bytes2; }
    static const int8_t* image(const PruneGroup& g, std::size_t j) { return g.image2[j]; }

    template <std::size_t Q, bool Whole>
    static void code(const PassConsts& c, const int8_t* const* im, const uint8_t* code, std::size_t bytes,
                     __m256i* acc) {
        for (std::size_t off = 0, t = 0; off < bytes; off += kChunkBytes, ++t) {
            const __m256i x = Whole ? load32(code + off) : load_code(code, off, bytes);
            const __m256i lo = _mm256_and_si256(x, c.low4);
            const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), c.low4);
            const __m256i s0 = _mm256_shuffle_epi8(c.t2lo, lo);
            const __m256i s1 = _mm256_shuffle_epi8(c.t2hi, lo);
            const __m256i s2 = _mm256_shuffle_epi8(c.t2lo, hi);
            const __m256i s3 = _mm256_shuffle_epi8(c.t2hi, hi);
            for (std::size_t q = 0; q < Q; ++q) {
                const int8_t* m = im[q] + t * kSignedImage2Bytes;
                const __m256i p01 = _mm256_add_epi16(_mm256_maddubs_epi16(s0, load32s(m)),
                                                     _mm256_maddubs_epi16(s1, load32s(m + kChunkBytes)));
                const __m256i p23 = _mm256_add_epi16(_mm256_maddubs_epi16(s2, load32s(m + 2 * kChunkBytes)),
                                                     _mm256_maddubs_epi16(s3, load32s(m + 3 * kChunkBytes)));
                acc[q] = _mm256_add_epi32(acc[q], _mm256_madd_epi16(_mm256_add_epi16(p01, p23), c.ones));
            }
        }
    }
};

// One code's sums for Q queries into column k of part.
template <class Block, std::size_t Q, bool Whole>
inline void code_sums(const PassConsts& c, const int8_t* const* im, const uint8_t* code, std::size_t bytes,
                      __m256i (*part)[kCodes], std::size_t k) {
    __m256i acc[Q];
    for (std::size_t q = 0; q < Q; ++q) acc[q] = _mm256_setzero_si256();
    Block::template code<Q, Whole>(c, im, code, bytes, acc);
    for (std::size_t q = 0; q < Q; ++q) part[q][k] = acc[q];
}

// Queries j0 .. j0 + Q - 1 against `count` codes, one block of each code:
// out[(j0 + q) * out_stride + i] for code i.
template <class Block, std::size_t Q, bool Whole>
void block_dots(const PruneGroup& g, const PassConsts& c, std::size_t j0, const uint8_t* codes, std::size_t stride,
                std::size_t count, int32_t* out, std::size_t out_stride) {
    const std::size_t bytes = Block::bytes(g);
    const int8_t* im[Q];
    for (std::size_t q = 0; q < Q; ++q) im[q] = Block::image(g, j0 + q);
    alignas(32) __m256i part[Q][kCodes];
    for (std::size_t i = 0; i < count; i += kCodes) {
        const std::size_t n = count - i < kCodes ? count - i : kCodes;
        if (n == kCodes) {
            for (std::size_t k = 0; k < kCodes; ++k) code_sums<Block, Q, Whole>(c, im, codes + (i + k) * stride, bytes, part, k);
        } else {
            for (std::size_t k = 0; k < kCodes; ++k) {
                if (k < n) {
                    code_sums<Block, Q, Whole>(c, im, codes + (i + k) * stride, bytes, part, k);
                } else {
                    for (std::size_t q = 0; q < Q; ++q) part[q][k] = _mm256_setzero_si256();
                }
            }
        }
        for (std::size_t q = 0; q < Q; ++q) {
            int32_t* row = out + (j0 + q) * out_stride + i;
            const __m256i sums = reduce8(part[q]);
            if (n == kCodes) {
                store8(row, sums);
            } else {
                alignas(32) int32_t lanes[kCodes];
                _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
                for (std::size_t k = 0; k < n; ++k) row[k] = lanes[k];
            }
        }
    }
}

// The last nq % group queries, as one group of that size.
template <class Block, std::size_t Q, bool Whole>
void rest_dots(std::size_t rest, const PruneGroup& g, const PassConsts& c, std::size_t j0, const uint8_t* codes,
               std::size_t stride, std::size_t count, int32_t* out, std::size_t out_stride) {
    if constexpr (Q > 0) {
        if (rest == Q) {
            block_dots<Block, Q, Whole>(g, c, j0, codes, stride, count, out, out_stride);
        } else {
            rest_dots<Block, Q - 1, Whole>(rest, g, c, j0, codes, stride, count, out, out_stride);
        }
    }
}

template <class Block, bool Whole>
void all_dots(const PruneGroup& g, const PassConsts& c, const uint8_t* codes, std::size_t stride,
              std::size_t count, int32_t* out, std::size_t out_stride) {
    std::size_t j = 0;
    for (; j + Block::kGroup <= g.nq; j += Block::kGroup) {
        block_dots<Block, Block::kGroup, Whole>(g, c, j, codes, stride, count, out, out_stride);
    }
    rest_dots<Block, Block::kGroup - 1, Whole>(g.nq - j, g, c, j, codes, stride, count, out, out_stride);
}

// Blocks of whole chunks take a loop without the partial-chunk load, which
// otherwise costs registers and about a fifth of the time. An absent block
// sums to 0.
template <class Block>
void any_dots(const PruneGroup& g, const PassConsts& c, const uint8_t* codes, std::size_t stride,
              std::size_t count, int32_t* out, std::size_t out_stride) {
    const std::size_t bytes = Block::bytes(g);
    if (bytes == 0) {
        for (std::size_t j = 0; j < g.nq; ++j) {
            for (std::size_t i = 0; i < count; ++i) out[j * out_stride + i] = 0;
        }
    } else if (bytes % kChunkBytes == 0) {
        all_dots<Block, true>(g, c, codes, stride, count, out, out_stride);
    } else {
        all_dots<Block, false>(g, c, codes, stride, count, out, out_stride);
    }
}

}  // namespace

void approx_dots_multi(const PruneGroup& group, const uint8_t* codes, std::size_t stride, std::size_t count,
                       int32_t* out4, int32_t* out2, std::size_t out_stride) {
    const PassConsts c(group);
    any_dots<Block4>(group, c, codes, stride, count, out4, out_stride);
    any_dots<Block2>(group, c, codes + group.bytes4, stride, count, out2, out_stride);
}

}  // namespace kivo::simd::avx2
