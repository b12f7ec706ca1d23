// Encoders for the packed layouts and the portable scoring paths.
#include "quantize/scalar.h"

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

void encode_2bit_into(std::span<const float> values, uint8_t* out) {
    const std::size_t bytes = (values.size() + 3) / 4;
    for (std::size_t i = 0; i < bytes; ++i) out[i] = 0;
    for (std::size_t k = 0; k < values.size(); ++k) {
        out[k / 4] |= static_cast<uint8_t>(code_2bit(values[k]) << (2 * (k % 4)));
    }
}

void encode_4bit_into(std::span<const float> values, uint8_t* out) {
    const std::size_t bytes = (values.size() + 1) / 2;
    for (std::size_t i = 0; i < bytes; ++i) out[i] = 0;
    for (std::size_t k = 0; k < values.size(); ++k) {
        out[k / 2] |= static_cast<uint8_t>(code_4bit(values[k]) << (4 * (k % 2)));
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

float score_2bit_portable(const float* query, std::size_t len, const uint8_t* code) {
    float acc = 0.0f;
    const std::size_t bytes = (len + 3) / 4;
    for (std::size_t i = 0; i < bytes; ++i) {
        for (std::size_t j = 0; j < 4 && 4 * i + j < len; ++j) {
            // Product rounded, then added: the build keeps these unfused.
            const float p = query[4 * i + j] * CENTROIDS_2BIT[(code[i] >> (2 * j)) & 3];
            acc = acc + p;
        }
    }
    return acc;
}

float score_4bit_portable(const float* query, std::size_t len, const uint8_t* code) {
    float acc = 0.0f;
    const std::size_t bytes = (len + 1) / 2;
    for (std::size_t i = 0; i < bytes; ++i) {
        acc = acc + query[2 * i] * CENTROIDS_4BIT[code[i] & 15];
        if (2 * i + 1 < len) acc = acc + query[2 * i + 1] * CENTROIDS_4BIT[code[i] >> 4];
    }
    return acc;
}

}  // namespace kivo::quantize
