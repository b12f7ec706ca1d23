// Encoders for the packed layouts.
#include "quantize/scalar.h"

#include <emmintrin.h>

#include <algorithm>
#include <array>

#include "quantize/tables.h"

namespace kivo::quantize {

uint8_t code_2bit(float x) {
    uint8_t code = 0;
    // Counting the boundaries x is not below equals "first boundary x is
    // strictly below, minus one" because the boundaries ascend; NaN is below
    // none of them and so takes the top code.
    for (float bound : BOUNDS_2BIT) code += !(x < bound);
    return code;
}

uint8_t code_4bit(float x) {
    uint8_t code = 0;
    for (float bound : BOUNDS_4BIT) code += !(x < bound);
    return code;
}

namespace {

// Codes of four values at once: each lane counts the boundaries it is not
// below (cmpnlt is true for NaN, which so takes the top code), exactly the
// scalar rule. Baseline SSE2, so it runs on every x86-64 processor.
template <std::size_t L>
inline __m128i count_not_below(__m128 x, const std::array<float, L>& bounds) {
    __m128i count = _mm_setzero_si128();
    for (float bound : bounds) {
        count = _mm_sub_epi32(count, _mm_castps_si128(_mm_cmpnlt_ps(x, _mm_set1_ps(bound))));
    }
    return count;
}

// Writes the codes of values[0 .. n) into codes[0 .. n).
template <std::size_t L, uint8_t (*scalar_code)(float)>
void codes_of(const float* values, std::size_t n, uint8_t* codes, const std::array<float, L>& bounds) {
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        alignas(16) int32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), count_not_below(_mm_loadu_ps(values + k), bounds));
        for (int j = 0; j < 4; ++j) codes[k + j] = static_cast<uint8_t>(lanes[j]);
    }
    for (; k < n; ++k) codes[k] = scalar_code(values[k]);
}

constexpr std::size_t kChunk = 256;

}  // namespace

void encode_2bit_into(std::span<const float> values, uint8_t* out) {
    uint8_t codes[kChunk];
    for (std::size_t base = 0; base < values.size(); base += kChunk) {
        const std::size_t n = std::min(kChunk, values.size() - base);
        codes_of<3, code_2bit>(values.data() + base, n, codes, BOUNDS_2BIT);
        for (std::size_t k = 0; k < n; k += 4) {
            uint8_t byte = 0;
            for (std::size_t j = 0; j < 4 && k + j < n; ++j) byte |= static_cast<uint8_t>(codes[k + j] << (2 * j));
            out[(base + k) / 4] = byte;
        }
    }
}

void encode_4bit_into(std::span<const float> values, uint8_t* out) {
    uint8_t codes[kChunk];
    for (std::size_t base = 0; base < values.size(); base += kChunk) {
        const std::size_t n = std::min(kChunk, values.size() - base);
        codes_of<15, code_4bit>(values.data() + base, n, codes, BOUNDS_4BIT);
        for (std::size_t k = 0; k < n; k += 2) {
            const uint8_t high = k + 1 < n ? codes[k + 1] : 0;
            out[(base + k) / 2] = static_cast<uint8_t>(codes[k] | (high << 4));
        }
    }
}

std::vector<uint8_t> encode_2bit(std::span<const float> values) {
    std::vector<uint8_t> out((values.size() + 3) / 4);
    encode_2bit_into(values, out.data());
    return out;
}

std::vector<uint8_t> encode_4bit(std::span<const float> values) {
    std::vector<uint8_t> out((values.size() + 1) / 2);
    encode_4bit_into(values, out.data());
    return out;
}

}  // namespace kivo::quantize
