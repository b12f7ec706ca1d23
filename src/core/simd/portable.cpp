// The portable scoring paths: always built, at the baseline instruction set,
// the reference every vectorised variant is tested against.
#include <cstddef>
#include <cstdint>

#include "simd/codebook.h"
#include "simd/kernels.h"

namespace kivo::simd::portable {

// One float32 accumulator, in coordinate order; each product is rounded
// before it is added (the build never contracts them).
float score_2bit(const float* query, std::size_t len, const uint8_t* code) {
    float acc = 0.0f;
    const std::size_t bytes = (len + 3) / 4;
    for (std::size_t i = 0; i < bytes; ++i) {
        for (std::size_t j = 0; j < 4 && 4 * i + j < len; ++j) {
            const float p = query[4 * i + j] * kCentroids2[(code[i] >> (2 * j)) & 3];
            acc = acc + p;
        }
    }
    return acc;
}

float score_4bit(const float* query, std::size_t len, const uint8_t* code) {
    float acc = 0.0f;
    const std::size_t bytes = (len + 1) / 2;
    for (std::size_t i = 0; i < bytes; ++i) {
        acc = acc + query[2 * i] * kCentroids4[code[i] & 15];
        if (2 * i + 1 < len) acc = acc + query[2 * i + 1] * kCentroids4[code[i] >> 4];
    }
    return acc;
}

void score_2bit_batch(const float* query, std::size_t len, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = score_2bit(query, len, code + i * stride);
}

void score_4bit_batch(const float* query, std::size_t len, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = score_4bit(query, len, code + i * stride);
}

void score_2bit_gather(const float* query, std::size_t len, const uint8_t* const* codes, std::size_t count,
                       float* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = score_2bit(query, len, codes[i]);
}

void score_4bit_gather(const float* query, std::size_t len, const uint8_t* const* codes, std::size_t count,
                       float* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = score_4bit(query, len, codes[i]);
}

}  // namespace kivo::simd::portable
