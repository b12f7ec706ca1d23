// The skip rule of simd/select.h for one code, shared by the variants'
// translation units (internal linkage, so the linker never mixes copies
// compiled with different instruction sets): every variant performs these
// IEEE operations in this order, hence the same codes are kept.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/select.h"

namespace kivo::simd {
namespace {

inline float bound_of(const BoundMap& m, int32_t d4, int32_t d2) {
    const double u4 = (static_cast<double>(d4) - m.offset4) * m.scale4;
    const double u = u4 + (static_cast<double>(d2) - m.offset2) * m.scale2 + m.slack;
    return static_cast<float>(u);
}

// Cosine divides by 1 where it leaves the bound alone (an exact division),
// so that every lane divides.
template <Adjust M>
inline float adjusted_of(float raw, float norm) {
    if constexpr (M == Adjust::Cosine) return raw / (norm > 1e-9f ? norm : 1.0f);
    if constexpr (M == Adjust::L2) return raw + (norm * -0.5f) * norm;
    return raw;
}

// Positions [begin, end) of the block one code at a time, adjusted by M or
// (adjusted false) not at all; writes the kept ones to keep, returns their count.
template <Adjust M>
std::size_t keep_span(const BlockSelect& b, std::size_t begin, std::size_t end, bool adjusted, uint32_t* keep) {
    std::size_t kept = 0;
    for (std::size_t j = begin; j < end; ++j) {
        const float raw = bound_of(b.map, b.d4[j], b.d2[j]);
        const float v = adjusted ? adjusted_of<M>(raw, b.norms[j]) : raw;
        keep[kept] = static_cast<uint32_t>(j);
        kept += !(v < b.weakest);
    }
    return kept;
}

template <Adjust M>
struct AdjustTag {
    static constexpr Adjust value = M;
};

// f(AdjustTag<M>) for the block's adjustment M, so that each variant's loops
// are compiled once per metric.
template <class F>
std::size_t with_adjust(Adjust adjust, F f) {
    switch (adjust) {
        case Adjust::Cosine: return f(AdjustTag<Adjust::Cosine>{});
        case Adjust::L2: return f(AdjustTag<Adjust::L2>{});
        case Adjust::Dot: break;
    }
    return f(AdjustTag<Adjust::Dot>{});
}

}  // namespace
}  // namespace kivo::simd
