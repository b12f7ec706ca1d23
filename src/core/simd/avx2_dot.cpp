// AVX2 multi-row dot products for HNSW construction: eight rows per 256-bit
// accumulator, each lane adding its own row's products in index order.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/dot_rows.h"

namespace kivo::simd::avx2 {

namespace {

// Products of coordinates i .. i+3 of eight rows, transposed so that vector k
// holds coordinate i+k of rows 0..7 (rows 0-3 in the low half, 4-7 high).
inline void products4(const float* q, const float* const* r, std::size_t i, __m256& c0, __m256& c1,
                      __m256& c2, __m256& c3) {
    const __m128 q4 = _mm_loadu_ps(q + i);
    const __m256 qq = _mm256_insertf128_ps(_mm256_castps128_ps256(q4), q4, 1);
    const __m256 a0 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(r[0] + i)), _mm_loadu_ps(r[4] + i), 1);
    const __m256 a1 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(r[1] + i)), _mm_loadu_ps(r[5] + i), 1);
    const __m256 a2 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(r[2] + i)), _mm_loadu_ps(r[6] + i), 1);
    const __m256 a3 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(r[3] + i)), _mm_loadu_ps(r[7] + i), 1);
    const __m256 p0 = _mm256_mul_ps(a0, qq);
    const __m256 p1 = _mm256_mul_ps(a1, qq);
    const __m256 p2 = _mm256_mul_ps(a2, qq);
    const __m256 p3 = _mm256_mul_ps(a3, qq);
    const __m256 t0 = _mm256_unpacklo_ps(p0, p1);  // r0i r1i r0i+1 r1i+1
    const __m256 t1 = _mm256_unpacklo_ps(p2, p3);
    const __m256 t2 = _mm256_unpackhi_ps(p0, p1);  // r0i+2 r1i+2 r0i+3 r1i+3
    const __m256 t3 = _mm256_unpackhi_ps(p2, p3);
    c0 = _mm256_shuffle_ps(t0, t1, 0x44);
    c1 = _mm256_shuffle_ps(t0, t1, 0xEE);
    c2 = _mm256_shuffle_ps(t2, t3, 0x44);
    c3 = _mm256_shuffle_ps(t2, t3, 0xEE);
}

// Lane j of the accumulator belongs to row j; the remaining coordinates are
// added one at a time in the same order.
inline void finish8(const float* q, std::size_t len, std::size_t i, const float* const* r, __m256 acc,
                    float* out) {
    float lanes[8];
    _mm256_storeu_ps(lanes, acc);
    for (; i < len; ++i) {
        for (int j = 0; j < 8; ++j) {
            const float p = q[i] * r[j][i];
            lanes[j] = lanes[j] + p;
        }
    }
    for (int j = 0; j < 8; ++j) out[j] = lanes[j];
}

// Sixteen rows as two independent chains, so that the additions of one chain
// overlap the latency of the other. The sums themselves stay in index order.
void dot16(const float* q, std::size_t len, const float* const* r, float* out) {
    __m256 acc_a = _mm256_set1_ps(-0.0f);
    __m256 acc_b = _mm256_set1_ps(-0.0f);
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        __m256 a0, a1, a2, a3, b0, b1, b2, b3;
        products4(q, r, i, a0, a1, a2, a3);
        products4(q, r + 8, i, b0, b1, b2, b3);
        acc_a = _mm256_add_ps(acc_a, a0);
        acc_b = _mm256_add_ps(acc_b, b0);
        acc_a = _mm256_add_ps(acc_a, a1);
        acc_b = _mm256_add_ps(acc_b, b1);
        acc_a = _mm256_add_ps(acc_a, a2);
        acc_b = _mm256_add_ps(acc_b, b2);
        acc_a = _mm256_add_ps(acc_a, a3);
        acc_b = _mm256_add_ps(acc_b, b3);
    }
    finish8(q, len, i, r, acc_a, out);
    finish8(q, len, i, r + 8, acc_b, out + 8);
}

void dot8(const float* q, std::size_t len, const float* const* r, float* out) {
    __m256 acc = _mm256_set1_ps(-0.0f);
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        __m256 c0, c1, c2, c3;
        products4(q, r, i, c0, c1, c2, c3);
        acc = _mm256_add_ps(acc, c0);
        acc = _mm256_add_ps(acc, c1);
        acc = _mm256_add_ps(acc, c2);
        acc = _mm256_add_ps(acc, c3);
    }
    finish8(q, len, i, r, acc, out);
}

}  // namespace

void dot_rows(const float* q, std::size_t len, const float* const* rows, std::size_t count, float* out) {
    std::size_t r = 0;
    for (; r + 16 <= count; r += 16) dot16(q, len, rows + r, out + r);
    const std::size_t rest = count - r;
    if (rest == 0) return;
    // Fill the unused lanes with the first remaining row; their sums are
    // dropped.
    const float* padded[16];
    float sums[16];
    for (std::size_t j = 0; j < 16; ++j) padded[j] = rows[r + (j < rest ? j : 0)];
    if (rest > 8) {
        dot16(q, len, padded, sums);
    } else {
        dot8(q, len, padded, sums);
    }
    for (std::size_t j = 0; j < rest; ++j) out[r + j] = sums[j];
}

}  // namespace kivo::simd::avx2
