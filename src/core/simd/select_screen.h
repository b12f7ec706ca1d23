// A cheaper first test for the skip rule of simd/select.h: a float32 form of
// a code's bound and a cut below which the rule is sure to skip the code.
// Computed once per span of a block (portable code); vector variants apply
// it to groups of codes before the exact rule.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/select.h"

namespace kivo::simd {

struct SelectScreen {
    // False when no safe cut exists (the span is not screened).
    bool on = false;
    int32_t offset4 = 0;
    int32_t offset2 = 0;
    float scale4 = 0.0f;
    float scale2 = 0.0f;
    // A code with fl(fl(fl(d4 - offset4) * scale4) + fl(fl(d2 - offset2) *
    // scale2)) < cut is skipped by the rule.
    float cut = 0.0f;
};

// What the screen needs of the norms of positions [begin, end): for cosine
// the smallest divisor (a norm above 1e-9, else 1), for l2 the largest
// (norm * -0.5) * norm, NaN if any is NaN; for dot nothing (0). Vector
// variants compute the same value with their own instructions.
float span_extreme(const BlockSelect& block, std::size_t begin, std::size_t end);

// The screen of a span of the block whose codes take the block's adjustment
// when `adjusted` (with `extreme` as above over the codes to be screened)
// and none otherwise.
SelectScreen select_screen(const BlockSelect& block, bool adjusted, float extreme);

}  // namespace kivo::simd
