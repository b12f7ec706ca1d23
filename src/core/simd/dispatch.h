// Processor-feature detection (cached once per process) and the scoring entry
// points that pick the widest supported kernel variant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kivo::simd {

enum Feature : uint32_t {
    kAvx2 = 1u << 0,
    kFma = 1u << 1,
    kAvx512F = 1u << 2,
    kAvx512Bw = 1u << 3,
    kAvx512Vl = 1u << 4,
    kAvx512Vnni = 1u << 5,
};

// CPUID leaves 1 and 7 plus XGETBV: a feature counts only when the processor
// reports it and the operating system saves its register state.
uint32_t detect_features();
// The process-wide cached word (detected on first use).
uint32_t features();

enum class Variant : uint8_t { Portable, Avx2, Avx512 };
Variant variant_4bit(uint32_t feature_word);
Variant variant_2bit(uint32_t feature_word);

// Dispatching entry points: `query` holds the block's L coordinates, `code`
// ceil(L / 4) or ceil(L / 2) bytes. Extra code bytes are ignored; a shorter
// code scores only the coordinates it covers (never read out of bounds).
float score_2bit(std::span<const float> query, std::span<const uint8_t> code);
float score_4bit(std::span<const float> query, std::span<const uint8_t> code);

// Batched: `count` blocks of ceil(L / 4) or ceil(L / 2) bytes at
// code + i * stride; out[i] bit-identical to the single-block entry point for
// block i. Several blocks are in flight at once, so a scan should hand over
// as many as it has (a mixed code: the 4-bit block at offset 0 and the 2-bit
// block at offset pb4, both at the code stride).
void score_2bit_batch(std::span<const float> query, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out);
void score_4bit_batch(std::span<const float> query, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out);

// Gathered: `count` blocks of ceil(L / 4) or ceil(L / 2) bytes at codes[i],
// anywhere and in any order; out[i] bit-identical to the single-block entry
// point for codes[i].
void score_2bit_gather(std::span<const float> query, const uint8_t* const* codes, std::size_t count, float* out);
void score_4bit_gather(std::span<const float> query, const uint8_t* const* codes, std::size_t count, float* out);

}  // namespace kivo::simd
