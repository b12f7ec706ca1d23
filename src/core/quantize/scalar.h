// Scalar quantization of rotated coordinates into packed 2-bit and 4-bit
// blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kivo::quantize {

// Code of one value: the number of boundaries it is not strictly below, so a
// value on a boundary takes the upper code, NaN the top code.
uint8_t code_2bit(float x);
uint8_t code_4bit(float x);

// ceil(m / 4) bytes; coordinate 4i + j in bits 2j, 2j + 1 of byte i.
std::vector<uint8_t> encode_2bit(std::span<const float> values);
// ceil(m / 2) bytes; coordinate 2i in the low nibble of byte i, 2i + 1 high.
std::vector<uint8_t> encode_4bit(std::span<const float> values);
// The same layouts written into caller memory of the right size.
void encode_2bit_into(std::span<const float> values, uint8_t* out);
void encode_4bit_into(std::span<const float> values, uint8_t* out);

}  // namespace kivo::quantize
