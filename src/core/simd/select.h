// The skip rule of the pruning pass over one block of codes: each code's
// bound from its first-pass sums, adjusted by its norm as the exact path
// adjusts a score, against the weakest score of a full heap. The variants
// (portable, AVX2) keep the same codes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo::simd {

// How a code's norm adjusts its bound, one per metric (kernels see no
// configuration headers): cosine divides by a norm above 1e-9, dot leaves
// the bound, l2 adds (norm * -0.5) * norm.
enum class Adjust : uint8_t { Cosine, Dot, L2 };

// The bound of a code from its first-pass sums d4, d2:
//   float32((d4 - offset4) * scale4 + (d2 - offset2) * scale2 + slack),
// evaluated in double (quantize::ScoreBound::raw_upper, which proves it).
struct BoundMap {
    double offset4 = 0.0;
    double scale4 = 0.0;
    double offset2 = 0.0;
    double scale2 = 0.0;
    double slack = 0.0;
    // At least |(d4 - offset4) * scale4| + |(d2 - offset2) * scale2| for
    // every code (offsets are integers): lets a variant screen codes with a
    // cheaper float32 form of the bound and a margin (avx2_select.cpp).
    double reach = 0.0;
};

struct BlockSelect {
    const int32_t* d4 = nullptr;
    const int32_t* d2 = nullptr;
    std::size_t count = 0;      // codes in the block
    const float* norms = nullptr;  // norms of the first with_norm codes
    std::size_t with_norm = 0;  // the others have no norm and take no adjustment
    Adjust adjust = Adjust::Cosine;
    BoundMap map;
    float weakest = 0.0f;  // the heap's weakest score (NaN skips nothing)
};

// Writes the positions j of the codes that may still enter the heap (whose
// adjusted bound is not below `weakest`) to keep, in order; returns their
// count. The adjustment is quantize::adjust_score's for the metric.
std::size_t select_block(const BlockSelect& block, uint32_t* keep, uint32_t feature_word);
std::size_t select_block_portable(const BlockSelect& block, uint32_t* keep);

namespace avx2 {
std::size_t select_block(const BlockSelect& block, uint32_t* keep);
}  // namespace avx2

}  // namespace kivo::simd
