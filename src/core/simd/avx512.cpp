// AVX-512 kernel: inner product of a query block with a packed 4-bit code
// block, the whole codebook in one register; single-code, batched and
// gathered forms.
// GCC 12 flags the deliberately undefined operand inside several AVX-512
// intrinsics (_mm512_undefined_*) as uninitialized; it is never read.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/kernel_common.h"
#include "simd/kernels.h"

namespace kivo::simd::avx512 {

namespace {

// Sixteen query floats from q + off; lanes at or past len read as 0.0, so the
// padding nibble adds an exact zero and nothing beyond the query is touched.
inline __m512 load_q16(const float* q, std::size_t off, std::size_t len) {
    if (off + 16 <= len) return _mm512_loadu_ps(q + off);
    const __mmask16 mask = static_cast<__mmask16>((1u << (len - off)) - 1u);
    return _mm512_maskz_loadu_ps(mask, q + off);
}

// Registers hold the sixteen lanes of a run in a fixed interleaved order:
// register lane 2k holds coordinate lane k and register lane 2k + 1 holds
// coordinate lane k + 8 (k = 0..7). In that order the nibble indices of 8 code
// bytes take a single shift: the 64 bits broadcast to every quadword, and
// quadword k shifted right by 4k has nibble k at the bottom of its lower half
// and nibble k + 8 at the bottom of its upper half (vpermps reads only the low
// 4 bits of each lane). The query is permuted into the same order once per run
// for all codes, and each accumulator lane is still the FMA chain of one
// coordinate lane, so the arithmetic is exactly that of the plain lane order.
inline __m512i nibble_indices(uint64_t bits, __m512i shifts) {
    return _mm512_srlv_epi64(_mm512_set1_epi64(static_cast<long long>(bits)), shifts);
}

// Lane-wise reduction: b_l = a[l] + a[l + 8], d_l = b_l + b_(l+4), then
// (d0 + d2) + (d1 + d3). The order is part of the result; keep it.
inline float reduce16(__m512 a) {
    // Back from the interleaved register order to coordinate lane order.
    a = _mm512_permutexvar_ps(_mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15), a);
    const __m256 b = _mm256_add_ps(_mm512_castps512_ps256(a),
                                   _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(a), 1)));
    const __m128 d = _mm_add_ps(_mm256_castps256_ps128(b), _mm256_extractf128_ps(b, 1));
    const __m128 e = _mm_add_ps(d, _mm_movehl_ps(d, d));  // [d0+d2, d1+d3, _, _]
    return _mm_cvtss_f32(_mm_add_ss(e, _mm_movehdup_ps(e)));
}

// N codes scored at once (see run_batch): the codes share the query loads and
// overlap their dependency chains. The first `span` bytes of the codes
// `ahead` bytes further on are prefetched one line per code every 64 bytes:
// N short interleaved streams are a pattern the hardware prefetchers do not
// pick up. The batch passes the whole stride as `span`: in a mixed code the
// rest of it is the 2-bit block, scored right after this one.
struct Score4 {
    template <std::size_t N>
    static void run(const float* q, std::size_t len, const uint8_t* const* code, float* out, std::size_t ahead,
                    std::size_t span) {
        const std::size_t bytes = (len + 1) / 2;
        const std::size_t runs = bytes / 8;
        // Only an odd len leaves a padding nibble; it falls into the last run
        // when bytes is a multiple of 8 and is then masked off by load_q16.
        const std::size_t full_runs = runs < len / 16 ? runs : len / 16;
        const __m512 table = _mm512_load_ps(kCentroids4);
        const __m512i shifts = _mm512_setr_epi64(0, 4, 8, 12, 16, 20, 24, 28);
        const __m512i interleave = _mm512_setr_epi32(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
        __m512 a[N];
        for (std::size_t k = 0; k < N; ++k) a[k] = _mm512_setzero_ps();
        std::size_t t = 0;
        for (; t < full_runs; ++t) {
            if (ahead != 0 && t % 8 == 0) {
                prefetch_codes<N>(code, ahead + 8 * t);
            }
            const __m512 qv = _mm512_permutexvar_ps(interleave, _mm512_loadu_ps(q + 16 * t));
            for (std::size_t k = 0; k < N; ++k) {
                const __m512i idx = nibble_indices(load_u64(code[k] + 8 * t), shifts);
                a[k] = _mm512_fmadd_ps(_mm512_permutexvar_ps(idx, table), qv, a[k]);
            }
        }
        prefetch_rest<N>(code, ahead, (full_runs + 7) / 8 * 64, span);
        for (; t < runs; ++t) {
            const __m512 qv = _mm512_permutexvar_ps(interleave, load_q16(q, 16 * t, len));
            for (std::size_t k = 0; k < N; ++k) {
                const __m512i idx = nibble_indices(load_u64(code[k] + 8 * t), shifts);
                a[k] = _mm512_fmadd_ps(_mm512_permutexvar_ps(idx, table), qv, a[k]);
            }
        }
        for (std::size_t k = 0; k < N; ++k) {
            // The last bytes % 8 bytes one coordinate at a time.
            out[k] = tail_4bit(q, len, code[k], 8 * runs, bytes, reduce16(a[k]));
        }
    }
};

// Codes interleaved per call of the batched kernel: enough independent FMA
// chains to cover the FMA latency on every 512-bit pipe.
constexpr std::size_t kBatch4 = 8;

}  // namespace

float score_4bit(const float* query, std::size_t len, const uint8_t* code) {
    return run_single<Score4>(query, len, code);
}

void score_4bit_batch(const float* query, std::size_t len, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out) {
    run_batch<kBatch4, Score4>(query, len, code, stride, count, out, stride);
}

void score_4bit_gather(const float* query, std::size_t len, const uint8_t* const* codes, std::size_t count,
                       float* out) {
    run_gather<kBatch4, Score4>(query, len, codes, count, out, (len + 1) / 2);
}

}  // namespace kivo::simd::avx512
