// Baseline centroid block dot products and the dispatch to the AVX2 variant.
#include "simd/centroid.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "simd/dispatch.h"

namespace kivo::simd {

void centroid_dots_portable(const float* const* vecs, std::size_t nvec, std::size_t len,
                            const float* blocks, std::size_t nblocks, std::size_t block_len, float* out) {
    const std::size_t stride = nblocks * 8;
    const std::size_t bstride = block_len * 8;
    // Each lane (centroid) keeps its own sum in index order; products are
    // rounded before they are added, exactly as a scalar loop would do.
#if defined(__SSE2__)
    std::size_t v = 0;
    for (; v + 2 <= nvec; v += 2) {
        const float* a0 = vecs[v];
        const float* a1 = vecs[v + 1];
        for (std::size_t b = 0; b < nblocks; ++b) {
            const float* c = blocks + b * bstride;
            __m128 s00 = _mm_setzero_ps(), s01 = _mm_setzero_ps();
            __m128 s10 = _mm_setzero_ps(), s11 = _mm_setzero_ps();
            for (std::size_t i = 0; i < len; ++i) {
                const __m128 lo = _mm_loadu_ps(c + i * 8);
                const __m128 hi = _mm_loadu_ps(c + i * 8 + 4);
                const __m128 x0 = _mm_set1_ps(a0[i]);
                const __m128 x1 = _mm_set1_ps(a1[i]);
                s00 = _mm_add_ps(s00, _mm_mul_ps(x0, lo));
                s01 = _mm_add_ps(s01, _mm_mul_ps(x0, hi));
                s10 = _mm_add_ps(s10, _mm_mul_ps(x1, lo));
                s11 = _mm_add_ps(s11, _mm_mul_ps(x1, hi));
            }
            float* o0 = out + v * stride + b * 8;
            float* o1 = o0 + stride;
            _mm_storeu_ps(o0, s00);
            _mm_storeu_ps(o0 + 4, s01);
            _mm_storeu_ps(o1, s10);
            _mm_storeu_ps(o1 + 4, s11);
        }
    }
    for (; v < nvec; ++v) {
        const float* a = vecs[v];
        for (std::size_t b = 0; b < nblocks; ++b) {
            const float* c = blocks + b * bstride;
            __m128 s0 = _mm_setzero_ps(), s1 = _mm_setzero_ps();
            for (std::size_t i = 0; i < len; ++i) {
                const __m128 x = _mm_set1_ps(a[i]);
                s0 = _mm_add_ps(s0, _mm_mul_ps(x, _mm_loadu_ps(c + i * 8)));
                s1 = _mm_add_ps(s1, _mm_mul_ps(x, _mm_loadu_ps(c + i * 8 + 4)));
            }
            float* o = out + v * stride + b * 8;
            _mm_storeu_ps(o, s0);
            _mm_storeu_ps(o + 4, s1);
        }
    }
#else
    for (std::size_t v = 0; v < nvec; ++v) {
        const float* a = vecs[v];
        for (std::size_t b = 0; b < nblocks; ++b) {
            const float* c = blocks + b * bstride;
            float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            for (std::size_t i = 0; i < len; ++i) {
                for (std::size_t j = 0; j < 8; ++j) s[j] = s[j] + a[i] * c[i * 8 + j];
            }
            for (std::size_t j = 0; j < 8; ++j) out[v * stride + b * 8 + j] = s[j];
        }
    }
#endif
}

void centroid_dots(const float* const* vecs, std::size_t nvec, std::size_t len, const float* blocks,
                   std::size_t nblocks, std::size_t block_len, float* out) {
#if defined(__x86_64__)
    if ((features() & kAvx2) != 0) {
        avx2::centroid_dots(vecs, nvec, len, blocks, nblocks, block_len, out);
        return;
    }
#endif
    centroid_dots_portable(vecs, nvec, len, blocks, nblocks, block_len, out);
}

}  // namespace kivo::simd
