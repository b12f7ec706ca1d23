// Multi-query scoring entry points: a run of code blocks against several
// queries at once, each result bit-identical to the single-block entry point
// of dispatch.h for that (query, block) pair.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo::simd {

// `count` blocks at code + i * stride, each ceil(len / 4) (2-bit) or
// ceil(len / 2) (4-bit) bytes, against `nq` queries of `len` floats;
// out[j * out_stride + i] receives query j's score of block i.
void score_2bit_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride);
void score_4bit_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride);

}  // namespace kivo::simd
