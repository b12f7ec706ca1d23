// Baseline centroid block dot products and the dispatch to the AVX2 and
// AVX-512 variants.
#include "simd/centroid.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "simd/dispatch.h"

namespace kivo::simd {

void centroid_dots_portable(const float* const* vecs, std::size_t nvec, std::size_t len,
                            const float* blocks, std::size_t nblocks, std::size_t block_len,
                            std::size_t width, float* out) {
    const std::size_t stride = nblocks * width;
    const std::size_t bstride = block_len * width;
    // Each lane (centroid) keeps its own sum in index order; products are
    // rounded before they are added, exactly as a scalar loop would do.
#if defined(__SSE2__)
    const std::size_t groups = width / 4;  // at most 4
    for (std::size_t v = 0; v < nvec; ++v) {
        const float* a = vecs[v];
        for (std::size_t b = 0; b < nblocks; ++b) {
            const float* c = blocks + b * bstride;
            __m128 s[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
            for (std::size_t i = 0; i < len; ++i) {
                const __m128 x = _mm_set1_ps(a[i]);
                for (std::size_t g = 0; g < groups; ++g) {
                    s[g] = _mm_add_ps(s[g], _mm_mul_ps(x, _mm_loadu_ps(c + i * width + 4 * g)));
                }
            }
            for (std::size_t g = 0; g < groups; ++g) _mm_storeu_ps(out + v * stride + b * width + 4 * g, s[g]);
        }
    }
#else
    for (std::size_t v = 0; v < nvec; ++v) {
        const float* a = vecs[v];
        for (std::size_t b = 0; b < nblocks; ++b) {
            const float* c = blocks + b * bstride;
            float s[16] = {};
            for (std::size_t i = 0; i < len; ++i) {
                for (std::size_t j = 0; j < width; ++j) s[j] = s[j] + a[i] * c[i * width + j];
            }
            for (std::size_t j = 0; j < width; ++j) out[v * stride + b * width + j] = s[j];
        }
    }
#endif
}

std::size_t centroid_block_width() {
#if defined(__x86_64__)
    if ((features() & kAvx512F) != 0) return 16;
#endif
    return 8;
}

void centroid_dots(const float* const* vecs, std::size_t nvec, std::size_t len, const float* blocks,
                   std::size_t nblocks, std::size_t block_len, std::size_t width, float* out) {
#if defined(__x86_64__)
    if (width == 16 && (features() & kAvx512F) != 0) {
        avx512::centroid_dots(vecs, nvec, len, blocks, nblocks, block_len, out);
        return;
    }
    if (width == 8 && (features() & kAvx2) != 0) {
        avx2::centroid_dots(vecs, nvec, len, blocks, nblocks, block_len, out);
        return;
    }
#endif
    centroid_dots_portable(vecs, nvec, len, blocks, nblocks, block_len, width, out);
}

}  // namespace kivo::simd
