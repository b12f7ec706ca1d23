// AVX2 any-order dot products for screening HNSW construction scores: each
// row's products are fused into eight-lane partial sums, four rows at a time
// sharing the query's loads.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/dot_rows.h"

namespace kivo::simd::avx2 {

namespace {

inline float hsum(__m256 v) {
    const __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 t = _mm_add_ps(s, _mm_movehl_ps(s, s));
    return _mm_cvtss_f32(_mm_add_ss(t, _mm_movehdup_ps(t)));
}

template <int Rows>
void dot_block(const float* q, std::size_t len, const float* const* r, float* out) {
    __m256 acc[Rows];
    for (int j = 0; j < Rows; ++j) acc[j] = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        const __m256 qv = _mm256_loadu_ps(q + i);
        for (int j = 0; j < Rows; ++j) acc[j] = _mm256_fmadd_ps(_mm256_loadu_ps(r[j] + i), qv, acc[j]);
    }
    for (int j = 0; j < Rows; ++j) {
        float s = hsum(acc[j]);
        for (std::size_t t = i; t < len; ++t) s += q[t] * r[j][t];
        out[j] = s;
    }
}

}  // namespace

void dot_rows_fast(const float* q, std::size_t len, const float* const* rows, std::size_t count, float* out) {
    std::size_t r = 0;
    for (; r + 4 <= count; r += 4) dot_block<4>(q, len, rows + r, out + r);
    for (; r < count; ++r) dot_block<1>(q, len, rows + r, out + r);
}

}  // namespace kivo::simd::avx2
