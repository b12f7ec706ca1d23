// AVX2 + FMA kernels: inner product of a query block with packed 2-bit and
// 4-bit code blocks, expanded in registers; single-code, batched and gathered
// forms.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/avx2_lanes.h"
#include "simd/kernel_common.h"
#include "simd/kernels.h"

namespace kivo::simd::avx2 {

namespace {

// N codes scored at once (see run_batch): the codes share the query loads and
// overlap their dependency chains. The first `span` bytes of the codes
// `ahead` bytes further on are prefetched one line per code every 64 bytes:
// N short interleaved streams are a pattern the hardware prefetchers do not
// pick up.
struct Score2 {
    template <std::size_t N>
    static void run(const float* q, std::size_t len, const uint8_t* const* code, float* out, std::size_t ahead,
                    std::size_t span) {
        const Steps2 steps = Steps2::of(len);
        const Expand2 expand;
        __m256 a[N];
        for (std::size_t k = 0; k < N; ++k) a[k] = _mm256_setzero_ps();
        std::size_t t = 0;
        for (; t + 2 <= steps.full; t += 2) {
            if (ahead != 0 && t % 32 == 0) {
                prefetch_codes<N>(code, ahead + 2 * t);
            }
            const __m256 q0 = _mm256_loadu_ps(q + 8 * t);
            const __m256 q1 = _mm256_loadu_ps(q + 8 * t + 8);
            for (std::size_t k = 0; k < N; ++k) {
                const __m256i w = _mm256_set1_epi32(static_cast<int>(load_u32(code[k] + 2 * t)));
                a[k] = _mm256_fmadd_ps(expand.first(w), q0, a[k]);
                a[k] = _mm256_fmadd_ps(expand.second(w), q1, a[k]);
            }
        }
        prefetch_rest<N>(code, ahead, (t + 31) / 32 * 64, span);
        for (; t < steps.pairs; ++t) {
            const __m256 qv = load_q8(q, 8 * t, len);
            for (std::size_t k = 0; k < N; ++k) {
                const __m256i w = _mm256_set1_epi32(static_cast<int>(load_u16(code[k] + 2 * t)));
                a[k] = _mm256_fmadd_ps(expand.first(w), qv, a[k]);
            }
        }
        for (std::size_t k = 0; k < N; ++k) {
            out[k] = tail_2bit(q, len, code[k], steps.bytes, reduce8(a[k]));
        }
    }
};

// The same scheme; the batch passes the whole stride as `span`: in a mixed
// code the rest of it is the 2-bit block, scored right after this one.
struct Score4 {
    template <std::size_t N>
    static void run(const float* q, std::size_t len, const uint8_t* const* code, float* out, std::size_t ahead,
                    std::size_t span) {
        const Steps4 steps = Steps4::of(len);
        const Expand4 expand;
        __m256 a[N][4];
        for (std::size_t k = 0; k < N; ++k) {
            for (std::size_t g = 0; g < 4; ++g) a[k][g] = _mm256_setzero_ps();
        }
        std::size_t t = 0;
        for (; t < steps.full_blocks; ++t) {
            if (ahead != 0 && t % 4 == 0) {
                prefetch_codes<N>(code, ahead + 16 * t);
            }
            for (std::size_t g = 0; g < 4; ++g) {
                const __m256 qv = _mm256_loadu_ps(q + 32 * t + 8 * g);
                for (std::size_t k = 0; k < N; ++k) {
                    const __m256 c = expand.lookup(load_u32(code[k] + 16 * t + 4 * g));
                    a[k][g] = _mm256_fmadd_ps(c, qv, a[k][g]);
                }
            }
        }
        prefetch_rest<N>(code, ahead, (steps.full_blocks + 3) / 4 * 64, span);
        for (; t < steps.blocks; ++t) {
            for (std::size_t g = 0; g < 4; ++g) {
                const __m256 qv = load_q8(q, 32 * t + 8 * g, len);
                for (std::size_t k = 0; k < N; ++k) {
                    const __m256 c = expand.lookup(load_u32(code[k] + 16 * t + 4 * g));
                    a[k][g] = _mm256_fmadd_ps(c, qv, a[k][g]);
                }
            }
        }
        __m256 acc[N];
        for (std::size_t k = 0; k < N; ++k) {
            acc[k] = _mm256_add_ps(_mm256_add_ps(a[k][0], a[k][1]), _mm256_add_ps(a[k][2], a[k][3]));
        }
        for (std::size_t u = 4 * steps.blocks; u < steps.groups; ++u) {
            const __m256 qv = load_q8(q, 8 * u, len);
            for (std::size_t k = 0; k < N; ++k) {
                const __m256 c = expand.lookup(load_u32(code[k] + 4 * u));
                acc[k] = _mm256_fmadd_ps(c, qv, acc[k]);
            }
        }
        for (std::size_t k = 0; k < N; ++k) {
            out[k] = tail_4bit(q, len, code[k], 4 * steps.groups, steps.bytes, reduce8(acc[k]));
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

void score_2bit_gather(const float* query, std::size_t len, const uint8_t* const* codes, std::size_t count,
                       float* out) {
    run_gather<kBatch2, Score2>(query, len, codes, count, out, (len + 3) / 4);
}

void score_4bit_gather(const float* query, std::size_t len, const uint8_t* const* codes, std::size_t count,
                       float* out) {
    run_gather<kBatch4, Score4>(query, len, codes, count, out, (len + 1) / 2);
}

}  // namespace kivo::simd::avx2
