// Multi-query entry points: the registry row the single-block dispatch
// would pick, through its multi-query kernel where it has one, else through
// its batched form once per query; either way bit-identical to it.
#include "simd/multi.h"

#include "simd/registry.h"

namespace kivo::simd {

namespace {

void score_multi(const KernelVariant& v, const float* const* queries, std::size_t nq, std::size_t len,
                 const uint8_t* code, std::size_t stride, std::size_t count, float* out, std::size_t out_stride) {
    if (v.multi != nullptr) {
        v.multi(queries, nq, len, code, stride, count, out, out_stride);
        return;
    }
    for (std::size_t j = 0; j < nq; ++j) v.batch(queries[j], len, code, stride, count, out + j * out_stride);
}

}  // namespace

void score_2bit_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride) {
    score_multi(select_kernel(2, features()), queries, nq, len, code, stride, count, out, out_stride);
}

void score_4bit_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride) {
    score_multi(select_kernel(4, features()), queries, nq, len, code, stride, count, out, out_stride);
}

}  // namespace kivo::simd
