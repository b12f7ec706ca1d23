// AVX-512 variant of the centroid block dot products: four vectors against two
// blocks of sixteen centroids at a time, eight independent accumulators.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/centroid.h"

namespace kivo::simd::avx512 {

namespace {

// Every lane is one centroid's own sum: the products are added in index
// order, multiply and add kept apart so the result matches the scalar sum.
inline __m512 madd(__m512 acc, float x, __m512 c) {
    return _mm512_add_ps(acc, _mm512_mul_ps(_mm512_set1_ps(x), c));
}

}  // namespace

void centroid_dots(const float* const* vecs, std::size_t nvec, std::size_t len, const float* blocks,
                   std::size_t nblocks, std::size_t block_len, float* out) {
    const std::size_t stride = nblocks * 16;
    const std::size_t bstride = block_len * 16;
    std::size_t v = 0;
    for (; v + 4 <= nvec; v += 4) {
        const float* a0 = vecs[v];
        const float* a1 = vecs[v + 1];
        const float* a2 = vecs[v + 2];
        const float* a3 = vecs[v + 3];
        float* o = out + v * stride;
        std::size_t b = 0;
        for (; b + 2 <= nblocks; b += 2) {
            const float* c0 = blocks + b * bstride;
            const float* c1 = c0 + bstride;
            __m512 s00 = _mm512_setzero_ps(), s01 = _mm512_setzero_ps();
            __m512 s10 = _mm512_setzero_ps(), s11 = _mm512_setzero_ps();
            __m512 s20 = _mm512_setzero_ps(), s21 = _mm512_setzero_ps();
            __m512 s30 = _mm512_setzero_ps(), s31 = _mm512_setzero_ps();
            for (std::size_t i = 0; i < len; ++i) {
                const __m512 x0 = _mm512_loadu_ps(c0 + i * 16);
                const __m512 x1 = _mm512_loadu_ps(c1 + i * 16);
                s00 = madd(s00, a0[i], x0);
                s01 = madd(s01, a0[i], x1);
                s10 = madd(s10, a1[i], x0);
                s11 = madd(s11, a1[i], x1);
                s20 = madd(s20, a2[i], x0);
                s21 = madd(s21, a2[i], x1);
                s30 = madd(s30, a3[i], x0);
                s31 = madd(s31, a3[i], x1);
            }
            _mm512_storeu_ps(o + b * 16, s00);
            _mm512_storeu_ps(o + b * 16 + 16, s01);
            _mm512_storeu_ps(o + stride + b * 16, s10);
            _mm512_storeu_ps(o + stride + b * 16 + 16, s11);
            _mm512_storeu_ps(o + 2 * stride + b * 16, s20);
            _mm512_storeu_ps(o + 2 * stride + b * 16 + 16, s21);
            _mm512_storeu_ps(o + 3 * stride + b * 16, s30);
            _mm512_storeu_ps(o + 3 * stride + b * 16 + 16, s31);
        }
        for (; b < nblocks; ++b) {
            const float* c0 = blocks + b * bstride;
            __m512 s0 = _mm512_setzero_ps(), s1 = _mm512_setzero_ps();
            __m512 s2 = _mm512_setzero_ps(), s3 = _mm512_setzero_ps();
            for (std::size_t i = 0; i < len; ++i) {
                const __m512 x0 = _mm512_loadu_ps(c0 + i * 16);
                s0 = madd(s0, a0[i], x0);
                s1 = madd(s1, a1[i], x0);
                s2 = madd(s2, a2[i], x0);
                s3 = madd(s3, a3[i], x0);
            }
            _mm512_storeu_ps(o + b * 16, s0);
            _mm512_storeu_ps(o + stride + b * 16, s1);
            _mm512_storeu_ps(o + 2 * stride + b * 16, s2);
            _mm512_storeu_ps(o + 3 * stride + b * 16, s3);
        }
    }
    for (; v < nvec; ++v) {
        const float* a = vecs[v];
        float* o = out + v * stride;
        for (std::size_t b = 0; b < nblocks; ++b) {
            const float* c0 = blocks + b * bstride;
            __m512 s0 = _mm512_setzero_ps();
            for (std::size_t i = 0; i < len; ++i) s0 = madd(s0, a[i], _mm512_loadu_ps(c0 + i * 16));
            _mm512_storeu_ps(o + b * 16, s0);
        }
    }
}

}  // namespace kivo::simd::avx512
