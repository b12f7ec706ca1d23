// AVX-512 multi-row dot products for HNSW construction: sixteen rows per
// 512-bit accumulator, each lane adding its own row's products in index order.
// GCC 12's AVX-512 headers build several intrinsics on an "undefined"
// register that -Wmaybe-uninitialized reports at every inlined use.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/dot_rows.h"

namespace kivo::simd::avx512 {

namespace {

inline __m512 load4x4(const float* a, const float* b, const float* c, const float* d, std::size_t i) {
    __m512 v = _mm512_zextps128_ps512(_mm_loadu_ps(a + i));
    v = _mm512_insertf32x4(v, _mm_loadu_ps(b + i), 1);
    v = _mm512_insertf32x4(v, _mm_loadu_ps(c + i), 2);
    v = _mm512_insertf32x4(v, _mm_loadu_ps(d + i), 3);
    return v;
}

// Products of coordinates i .. i+3 of sixteen rows, transposed so that
// vector k holds coordinate i+k of rows 0..15 (128-bit block b holds rows
// 4b .. 4b+3).
inline void products4(const float* q, const float* const* r, std::size_t i, __m512& c0, __m512& c1,
                      __m512& c2, __m512& c3) {
    const __m512 qq = _mm512_broadcast_f32x4(_mm_loadu_ps(q + i));
    const __m512 p0 = _mm512_mul_ps(load4x4(r[0], r[4], r[8], r[12], i), qq);
    const __m512 p1 = _mm512_mul_ps(load4x4(r[1], r[5], r[9], r[13], i), qq);
    const __m512 p2 = _mm512_mul_ps(load4x4(r[2], r[6], r[10], r[14], i), qq);
    const __m512 p3 = _mm512_mul_ps(load4x4(r[3], r[7], r[11], r[15], i), qq);
    const __m512 t0 = _mm512_unpacklo_ps(p0, p1);
    const __m512 t1 = _mm512_unpacklo_ps(p2, p3);
    const __m512 t2 = _mm512_unpackhi_ps(p0, p1);
    const __m512 t3 = _mm512_unpackhi_ps(p2, p3);
    c0 = _mm512_shuffle_ps(t0, t1, 0x44);
    c1 = _mm512_shuffle_ps(t0, t1, 0xEE);
    c2 = _mm512_shuffle_ps(t2, t3, 0x44);
    c3 = _mm512_shuffle_ps(t2, t3, 0xEE);
}

inline void finish16(const float* q, std::size_t len, std::size_t i, const float* const* r, __m512 acc,
                     float* out) {
    float lanes[16];
    _mm512_storeu_ps(lanes, acc);
    for (; i < len; ++i) {
        for (int j = 0; j < 16; ++j) {
            const float p = q[i] * r[j][i];
            lanes[j] = lanes[j] + p;
        }
    }
    for (int j = 0; j < 16; ++j) out[j] = lanes[j];
}

// Thirty-two rows as two independent chains; each sum stays in index order.
void dot32(const float* q, std::size_t len, const float* const* r, float* out) {
    __m512 acc_a = _mm512_set1_ps(-0.0f);
    __m512 acc_b = _mm512_set1_ps(-0.0f);
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        __m512 a0, a1, a2, a3, b0, b1, b2, b3;
        products4(q, r, i, a0, a1, a2, a3);
        products4(q, r + 16, i, b0, b1, b2, b3);
        acc_a = _mm512_add_ps(acc_a, a0);
        acc_b = _mm512_add_ps(acc_b, b0);
        acc_a = _mm512_add_ps(acc_a, a1);
        acc_b = _mm512_add_ps(acc_b, b1);
        acc_a = _mm512_add_ps(acc_a, a2);
        acc_b = _mm512_add_ps(acc_b, b2);
        acc_a = _mm512_add_ps(acc_a, a3);
        acc_b = _mm512_add_ps(acc_b, b3);
    }
    finish16(q, len, i, r, acc_a, out);
    finish16(q, len, i, r + 16, acc_b, out + 16);
}

void dot16(const float* q, std::size_t len, const float* const* r, float* out) {
    __m512 acc = _mm512_set1_ps(-0.0f);
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        __m512 c0, c1, c2, c3;
        products4(q, r, i, c0, c1, c2, c3);
        acc = _mm512_add_ps(acc, c0);
        acc = _mm512_add_ps(acc, c1);
        acc = _mm512_add_ps(acc, c2);
        acc = _mm512_add_ps(acc, c3);
    }
    finish16(q, len, i, r, acc, out);
}

}  // namespace

void dot_rows(const float* q, std::size_t len, const float* const* rows, std::size_t count, float* out) {
    std::size_t r = 0;
    for (; r + 32 <= count; r += 32) dot32(q, len, rows + r, out + r);
    const std::size_t rest = count - r;
    if (rest == 0) return;
    if (rest <= 8) {
        avx2::dot_rows(q, len, rows + r, rest, out + r);
        return;
    }
    // Unused lanes repeat the first remaining row; their sums are dropped.
    const float* padded[32];
    float sums[32];
    for (std::size_t j = 0; j < 32; ++j) padded[j] = rows[r + (j < rest ? j : 0)];
    if (rest > 16) {
        dot32(q, len, padded, sums);
    } else {
        dot16(q, len, padded, sums);
    }
    for (std::size_t j = 0; j < rest; ++j) out[r + j] = sums[j];
}

}  // namespace kivo::simd::avx512
