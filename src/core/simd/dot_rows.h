// Exact float32 dot products of one query with several rows at once, for HNSW
// construction scores: one SIMD lane per row, each lane summing its products
// in index order from -0.0 (products rounded, then added; never fused).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo::simd {

// out[r] = sum over i < len of q[i] * rows[r][i]; every row holds at least
// `len` floats. Bit-identical across variants.
void dot_rows(const float* q, std::size_t len, const float* const* rows, std::size_t count, float* out,
              uint32_t feature_word);
// The baseline path (SSE2 on x86-64, scalar elsewhere).
void dot_rows_portable(const float* q, std::size_t len, const float* const* rows, std::size_t count,
                       float* out);

// The same dot products summed in any order (fused, in partial sums): each
// out[r] is a float sum of the same products with at most len + 8 roundings
// on any product's path, so it lies within the gap of search/score_range.h
// of dot_rows' out[r]. Not bit-identical across variants; used only to rule
// scores in or out before the exact ones are computed.
void dot_rows_fast(const float* q, std::size_t len, const float* const* rows, std::size_t count, float* out,
                   uint32_t feature_word);
void dot_rows_fast_portable(const float* q, std::size_t len, const float* const* rows, std::size_t count,
                            float* out);

namespace avx2 {
// Requires AVX2 (and FMA, which the file is compiled for; no fused operation
// is used).
void dot_rows(const float* q, std::size_t len, const float* const* rows, std::size_t count, float* out);
void dot_rows_fast(const float* q, std::size_t len, const float* const* rows, std::size_t count, float* out);
}  // namespace avx2

}  // namespace kivo::simd
