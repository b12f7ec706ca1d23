// The skip rule of simd/select.h as plain loops, compiled by each variant's
// translation unit with its own instruction set (internal linkage, so the
// linker never mixes the copies). The loops have no branches per code, so
// the compiler vectorizes them; the per-lane operations are the same IEEE
// operations in every variant, hence the same codes are kept.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/select.h"

namespace kivo::simd {
namespace {

constexpr std::size_t kSelectBlock = 256;

inline float bound_of(const BoundMap& m, int32_t d4, int32_t d2) {
    const double u4 = (static_cast<double>(d4) - m.offset4) * m.scale4;
    const double u = u4 + (static_cast<double>(d2) - m.offset2) * m.scale2 + m.slack;
    return static_cast<float>(u);
}

// Cosine divides by 1 where it leaves the bound alone (an exact division),
// so that the loop divides every lane and vectorizes.
template <Adjust M>
inline float adjusted_of(float raw, float norm) {
    if constexpr (M == Adjust::Cosine) return raw / (norm > 1e-9f ? norm : 1.0f);
    if constexpr (M == Adjust::L2) return raw + (norm * -0.5f) * norm;
    return raw;
}

template <Adjust M>
inline void adjusted_bounds(const BlockSelect& b, float* out) {
    for (std::size_t j = 0; j < b.with_norm; ++j) out[j] = adjusted_of<M>(bound_of(b.map, b.d4[j], b.d2[j]), b.norms[j]);
}

// Positions j (plus `base`) of the values not below `weakest`, in order.
inline std::size_t compact_scalar(const float* adjusted, std::size_t count, float weakest, uint32_t base,
                                  uint32_t* keep) {
    std::size_t kept = 0;
    for (std::size_t j = 0; j < count; ++j) {
        keep[kept] = base + static_cast<uint32_t>(j);
        kept += !(adjusted[j] < weakest);
    }
    return kept;
}

// Blocks longer than kSelectBlock go in pieces of that size; `compact`
// writes a piece's kept positions.
template <class Compact>
inline std::size_t select_block_impl(const BlockSelect& block, uint32_t* keep, Compact compact) {
    std::size_t kept = 0;
    float adjusted[kSelectBlock];
    for (std::size_t begin = 0; begin < block.count; begin += kSelectBlock) {
        BlockSelect b = block;
        b.d4 += begin;
        b.d2 += begin;
        b.count = block.count - begin < kSelectBlock ? block.count - begin : kSelectBlock;
        b.norms += block.with_norm > begin ? begin : 0;
        b.with_norm = block.with_norm > begin ? (block.with_norm - begin < b.count ? block.with_norm - begin : b.count) : 0;
        switch (b.adjust) {
            case Adjust::Cosine: adjusted_bounds<Adjust::Cosine>(b, adjusted); break;
            case Adjust::Dot: adjusted_bounds<Adjust::Dot>(b, adjusted); break;
            case Adjust::L2: adjusted_bounds<Adjust::L2>(b, adjusted); break;
        }
        for (std::size_t j = b.with_norm; j < b.count; ++j) adjusted[j] = bound_of(b.map, b.d4[j], b.d2[j]);
        kept += compact(adjusted, b.count, b.weakest, static_cast<uint32_t>(begin), keep + kept);
    }
    return kept;
}

}  // namespace
}  // namespace kivo::simd
