// Declarations of the processor-specific kernels. Included by the kernel
// translation units themselves, so it uses nothing beyond <cstdint>/<cstddef>.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo::simd {

// Every kernel reads exactly `len` query floats and the block's bytes, ignores
// the padding slots of the last byte, and keeps its own fixed summation order,
// so results agree with the portable paths up to float32 rounding, and the
// batched form of a kernel agrees with its single form bit for bit.

namespace avx2 {
// Requires AVX2 and FMA. `len` query floats against one block of
// ceil(len / 4) (2-bit) or ceil(len / 2) (4-bit) bytes.
float score_2bit(const float* query, std::size_t len, const uint8_t* code);
float score_4bit(const float* query, std::size_t len, const uint8_t* code);
// The same kernels over `count` blocks found at code + i * stride; out[i] is
// bit-identical to the single-block result for block i.
void score_2bit_batch(const float* query, std::size_t len, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out);
void score_4bit_batch(const float* query, std::size_t len, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out);
// Multi-query forms: `count` blocks at code + i * stride against `nq`
// queries of `len` floats each; out[j * out_stride + i] is bit-identical to
// the single-block result of query j for block i. Each block is expanded
// once per group of queries.
void score_2bit_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride);
void score_4bit_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride);
}  // namespace avx2

namespace avx512 {
// Requires AVX-512F and AVX-512BW.
float score_4bit(const float* query, std::size_t len, const uint8_t* code);
void score_4bit_batch(const float* query, std::size_t len, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out);
}  // namespace avx512

}  // namespace kivo::simd
