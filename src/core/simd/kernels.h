// Declarations of the scoring kernels, one namespace per variant; the table
// that orders them is simd/registry.h. Included by the kernel translation
// units themselves, so it uses nothing beyond <cstdint>/<cstddef>.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo::simd {

// Every kernel reads exactly `len` query floats and the block's bytes, ignores
// the padding slots of the last byte, and keeps its own fixed summation order,
// so results agree with the portable paths up to float32 rounding, and the
// batched form of a kernel agrees with its single form bit for bit.

// `len` query floats against one block of ceil(len / 4) (2-bit) or
// ceil(len / 2) (4-bit) bytes.
using ScoreFn = float(const float* query, std::size_t len, const uint8_t* code);
// The same kernel over `count` blocks found at code + i * stride; out[i] is
// bit-identical to the single-block result for block i.
using ScoreBatchFn = void(const float* query, std::size_t len, const uint8_t* code, std::size_t stride,
                          std::size_t count, float* out);
// The same kernel over `count` blocks found at codes[0 .. count), anywhere in
// memory and in any order (a block may repeat); out[i] is bit-identical to
// the single-block result for codes[i]. Scores a graph node's neighbours in
// place instead of copying their codes together first.
using ScoreGatherFn = void(const float* query, std::size_t len, const uint8_t* const* codes, std::size_t count,
                           float* out);

// Multi-query form: `count` blocks at code + i * stride against `nq` queries
// of `len` floats each; out[j * out_stride + i] is bit-identical to the
// single-block result of query j for block i. Each block is expanded once
// per group of queries.
using ScoreMultiFn = void(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                          std::size_t stride, std::size_t count, float* out, std::size_t out_stride);

namespace portable {
// Any processor. One float32 accumulator in coordinate order.
ScoreFn score_2bit, score_4bit;
ScoreBatchFn score_2bit_batch, score_4bit_batch;
ScoreGatherFn score_2bit_gather, score_4bit_gather;
}  // namespace portable

namespace avx2 {
// Requires AVX2 and FMA.
ScoreFn score_2bit, score_4bit;
ScoreBatchFn score_2bit_batch, score_4bit_batch;
ScoreGatherFn score_2bit_gather, score_4bit_gather;
ScoreMultiFn score_2bit_multi, score_4bit_multi;
}  // namespace avx2

namespace avx512 {
// Requires AVX-512F and AVX-512BW.
ScoreFn score_4bit;
ScoreBatchFn score_4bit_batch;
ScoreGatherFn score_4bit_gather;
}  // namespace avx512

}  // namespace kivo::simd
