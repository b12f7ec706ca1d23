// AVX2 + FMA kernels: inner product of a query block with packed 2-bit and
// 4-bit code blocks, expanded in registers; single-code and batched forms.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/kernel_common.h"
#include "simd/kernels.h"

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

// N codes scored at once (see run_batch): the codes share the query loads and
// overlap their dependency chains. The first `span` bytes of the codes
// `ahead` bytes further on are prefetched one line per code every 64 bytes:
// N short interleaved streams are a pattern the hardware prefetchers do not
// pick up.
struct Score2 {
    template <std::size_t N>
    static void run(const float* q, std::size_t len, const uint8_t* const* code, float* out, std::size_t ahead,
                    std::size_t span) {
        const std::size_t bytes = (len + 3) / 4;
        const std::size_t pairs = bytes / 2;
        // Pairs whose eight coordinates all lie below len; at most one more pair
        // (the last) holds padding slots.
        const std::size_t full = pairs < len / 8 ? pairs : len / 8;
        const __m256 table = _mm256_load_ps(kCentroids2x2);
        // vpermilps reads the low two bits of each lane: shifting lane l by 2l
        // (or 16 + 2l for the second byte pair) is all the expansion needed.
        const __m256i sh0 = _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14);
        const __m256i sh1 = _mm256_setr_epi32(16, 18, 20, 22, 24, 26, 28, 30);
        __m256 a[N];
        for (std::size_t k = 0; k < N; ++k) a[k] = _mm256_setzero_ps();
        std::size_t t = 0;
        for (; t + 2 <= full; t += 2) {
            if (ahead != 0 && t % 32 == 0) {
                prefetch_codes<N>(code, ahead + 2 * t);
            }
            const __m256 q0 = _mm256_loadu_ps(q + 8 * t);
            const __m256 q1 = _mm256_loadu_ps(q + 8 * t + 8);
            for (std::size_t k = 0; k < N; ++k) {
                const __m256i w = _mm256_set1_epi32(static_cast<int>(load_u32(code[k] + 2 * t)));
                a[k] = _mm256_fmadd_ps(_mm256_permutevar_ps(table, _mm256_srlv_epi32(w, sh0)), q0, a[k]);
                a[k] = _mm256_fmadd_ps(_mm256_permutevar_ps(table, _mm256_srlv_epi32(w, sh1)), q1, a[k]);
            }
        }
        prefetch_rest<N>(code, ahead, (t + 31) / 32 * 64, span);
        for (; t < pairs; ++t) {
            const __m256 qv = load_q8(q, 8 * t, len);
            for (std::size_t k = 0; k < N; ++k) {
                const __m256i w = _mm256_set1_epi32(static_cast<int>(load_u16(code[k] + 2 * t)));
                a[k] = _mm256_fmadd_ps(_mm256_permutevar_ps(table, _mm256_srlv_epi32(w, sh0)), qv, a[k]);
            }
        }
        for (std::size_t k = 0; k < N; ++k) {
            float r = reduce8(a[k]);
            if (bytes % 2 == 1) {
                const std::size_t i = bytes - 1;
                const uint8_t b = code[k][i];
                for (std::size_t j = 0; j < 4 && 4 * i + j < len; ++j) {
                    r = r + q[4 * i + j] * kCentroids2x2[(b >> (2 * j)) & 3];
                }
            }
            out[k] = r;
        }
    }
};

// The same scheme; the batch passes the whole stride as `span`: in a mixed
// code the rest of it is the 2-bit block, scored right after this one.
struct Score4 {
    template <std::size_t N>
    static void run(const float* q, std::size_t len, const uint8_t* const* code, float* out, std::size_t ahead,
                    std::size_t span) {
        const std::size_t bytes = (len + 1) / 2;
        const std::size_t blocks = bytes / 16;
        const std::size_t groups = bytes / 4;
        // Only an odd len leaves a padding nibble; it falls into the last group
        // when bytes is a multiple of 4 and is then masked off by load_q8.
        const std::size_t full_groups = groups < len / 8 ? groups : len / 8;
        const std::size_t full_blocks = blocks < full_groups / 4 ? blocks : full_groups / 4;
        const __m256 low = _mm256_load_ps(kCentroids4);
        const __m256 high = _mm256_load_ps(kCentroids4 + 8);
        const __m256i shifts = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
        __m256 a[N][4];
        for (std::size_t k = 0; k < N; ++k) {
            for (std::size_t g = 0; g < 4; ++g) a[k][g] = _mm256_setzero_ps();
        }
        std::size_t t = 0;
        for (; t < full_blocks; ++t) {
            if (ahead != 0 && t % 4 == 0) {
                prefetch_codes<N>(code, ahead + 16 * t);
            }
            for (std::size_t g = 0; g < 4; ++g) {
                const __m256 qv = _mm256_loadu_ps(q + 32 * t + 8 * g);
                for (std::size_t k = 0; k < N; ++k) {
                    const __m256 c = lookup_4bit(load_u32(code[k] + 16 * t + 4 * g), low, high, shifts);
                    a[k][g] = _mm256_fmadd_ps(c, qv, a[k][g]);
                }
            }
        }
        prefetch_rest<N>(code, ahead, (full_blocks + 3) / 4 * 64, span);
        for (; t < blocks; ++t) {
            for (std::size_t g = 0; g < 4; ++g) {
                const __m256 qv = load_q8(q, 32 * t + 8 * g, len);
                for (std::size_t k = 0; k < N; ++k) {
                    const __m256 c = lookup_4bit(load_u32(code[k] + 16 * t + 4 * g), low, high, shifts);
                    a[k][g] = _mm256_fmadd_ps(c, qv, a[k][g]);
                }
            }
        }
        __m256 acc[N];
        for (std::size_t k = 0; k < N; ++k) {
            acc[k] = _mm256_add_ps(_mm256_add_ps(a[k][0], a[k][1]), _mm256_add_ps(a[k][2], a[k][3]));
        }
        for (std::size_t u = 4 * blocks; u < groups; ++u) {
            const __m256 qv = load_q8(q, 8 * u, len);
            for (std::size_t k = 0; k < N; ++k) {
                const __m256 c = lookup_4bit(load_u32(code[k] + 4 * u), low, high, shifts);
                acc[k] = _mm256_fmadd_ps(c, qv, acc[k]);
            }
        }
        for (std::size_t k = 0; k < N; ++k) {
            out[k] = tail_4bit(q, len, code[k], 4 * groups, bytes, reduce8(acc[k]));
        }
    }
};

// Codes interleaved per call of the batched kernels. The 4-bit kernel already
// keeps four independent chains per code, enough to stay throughput-bound: a
// second interleaved code measured no faster (slower on uncached codes), so
// its batch only adds the prefetching.
constexpr std::size_t kBatch2 = 8;
constexpr std::size_t kBatch4 = 1;

}  // namespace

float score_2bit(const float* query, std::size_t len, const uint8_t* code) {
    return run_single<Score2>(query, len, code);
}

float score_4bit(const float* query, std::size_t len, const uint8_t* code) {
    return run_single<Score4>(query, len, code);
}

void score_2bit_batch(const float* query, std::size_t len, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out) {
    run_batch<kBatch2, Score2>(query, len, code, stride, count, out, (len + 3) / 4);
}

void score_4bit_batch(const float* query, std::size_t len, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out) {
    // Back-to-back codes scored one at a time are a single sequential stream,
    // which the hardware prefetches better alone (measured); with gaps between
    // the blocks (a mixed code) the whole stride is prefetched.
    const bool gaps = stride > (len + 1) / 2;
    run_batch<kBatch4, Score4>(query, len, code, stride, count, out, gaps ? stride : 0);
}

}  // namespace kivo::simd::avx2
