// Baseline path and variant choice of the multi-row dot products used by HNSW
// construction.
#include "simd/dot_rows.h"

#include "simd/dispatch.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace kivo::simd {

namespace {

// One row, one accumulator: the defining order.
float dot_one(const float* q, std::size_t len, const float* x) {
    float acc = -0.0f;
    for (std::size_t i = 0; i < len; ++i) {
        const float p = q[i] * x[i];
        acc = acc + p;
    }
    return acc;
}

#if defined(__SSE2__)
// Four rows, one lane each: products of four coordinates are formed row-wise,
// transposed, and added coordinate by coordinate, so each lane keeps index
// order.
void dot4(const float* q, std::size_t len, const float* const* rows, float* out) {
    const float* r0 = rows[0];
    const float* r1 = rows[1];
    const float* r2 = rows[2];
    const float* r3 = rows[3];
    __m128 acc = _mm_set1_ps(-0.0f);
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        const __m128 qv = _mm_loadu_ps(q + i);
        __m128 p0 = _mm_mul_ps(_mm_loadu_ps(r0 + i), qv);
        __m128 p1 = _mm_mul_ps(_mm_loadu_ps(r1 + i), qv);
        __m128 p2 = _mm_mul_ps(_mm_loadu_ps(r2 + i), qv);
        __m128 p3 = _mm_mul_ps(_mm_loadu_ps(r3 + i), qv);
        _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
        acc = _mm_add_ps(acc, p0);
        acc = _mm_add_ps(acc, p1);
        acc = _mm_add_ps(acc, p2);
        acc = _mm_add_ps(acc, p3);
    }
    float lanes[4];
    _mm_storeu_ps(lanes, acc);
    for (; i < len; ++i) {
        for (int j = 0; j < 4; ++j) {
            const float p = q[i] * rows[j][i];
            lanes[j] = lanes[j] + p;
        }
    }
    for (int j = 0; j < 4; ++j) out[j] = lanes[j];
}
#endif

// Four partial sums per row, added pairwise at the end: every product
// passes through at most len / 4 + 3 roundings.
float dot_one_split(const float* q, std::size_t len, const float* x) {
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        for (std::size_t j = 0; j < 4; ++j) acc[j] += q[i + j] * x[i + j];
    }
    for (; i < len; ++i) acc[0] += q[i] * x[i];
    return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

}  // namespace

void dot_rows_fast_portable(const float* q, std::size_t len, const float* const* rows, std::size_t count,
                            float* out) {
    for (std::size_t r = 0; r < count; ++r) out[r] = dot_one_split(q, len, rows[r]);
}

void dot_rows_fast(const float* q, std::size_t len, const float* const* rows, std::size_t count, float* out,
                   uint32_t feature_word) {
#if defined(__x86_64__)
    if ((feature_word & (kAvx2 | kFma)) == (kAvx2 | kFma)) {
        avx2::dot_rows_fast(q, len, rows, count, out);
        return;
    }
#endif
    (void)feature_word;
    dot_rows_fast_portable(q, len, rows, count, out);
}

void dot_rows_portable(const float* q, std::size_t len, const float* const* rows, std::size_t count,
                       float* out) {
    std::size_t r = 0;
#if defined(__SSE2__)
    for (; r + 4 <= count; r += 4) dot4(q, len, rows + r, out + r);
#endif
    for (; r < count; ++r) out[r] = dot_one(q, len, rows[r]);
}

void dot_rows(const float* q, std::size_t len, const float* const* rows, std::size_t count, float* out,
              uint32_t feature_word) {
#if defined(__x86_64__)
    // AVX2 also where AVX-512 exists: the batches are a few dozen rows, and
    // 16-lane chains measured slower than two 8-lane chains here.
    // The kernel file is built with -mavx2 -mfma, so both are required, as
    // for the other AVX2 kernels.
    if ((feature_word & (kAvx2 | kFma)) == (kAvx2 | kFma)) {
        avx2::dot_rows(q, len, rows, count, out);
    } else {
        dot_rows_portable(q, len, rows, count, out);
    }
#else
    (void)feature_word;
    dot_rows_portable(q, len, rows, count, out);
#endif
}

}  // namespace kivo::simd
