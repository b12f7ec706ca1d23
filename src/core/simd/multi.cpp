// Multi-query entry points. The variant follows the single-block dispatch, so
// that results match it bit for bit: AVX2 has a multi-query kernel; where the
// widest single-block variant has none (AVX-512, portable) each query runs
// that variant's batched form.
#include "simd/multi.h"

#include "quantize/scalar.h"
#include "simd/dispatch.h"
#include "simd/kernels.h"

namespace kivo::simd {

void score_2bit_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride) {
    if (variant_2bit(features()) == Variant::Avx2) {
        avx2::score_2bit_multi(queries, nq, len, code, stride, count, out, out_stride);
        return;
    }
    for (std::size_t j = 0; j < nq; ++j) {
        for (std::size_t i = 0; i < count; ++i) {
            out[j * out_stride + i] = quantize::score_2bit_portable(queries[j], len, code + i * stride);
        }
    }
}

void score_4bit_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride) {
    switch (variant_4bit(features())) {
        case Variant::Avx2:
            avx2::score_4bit_multi(queries, nq, len, code, stride, count, out, out_stride);
            return;
        case Variant::Avx512:
            for (std::size_t j = 0; j < nq; ++j) {
                avx512::score_4bit_batch(queries[j], len, code, stride, count, out + j * out_stride);
            }
            return;
        case Variant::Portable:
            break;
    }
    for (std::size_t j = 0; j < nq; ++j) {
        for (std::size_t i = 0; i < count; ++i) {
            out[j * out_stride + i] = quantize::score_4bit_portable(queries[j], len, code + i * stride);
        }
    }
}

}  // namespace kivo::simd
