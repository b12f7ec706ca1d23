// A check of the scoring kernels as built and as this processor runs them:
// every registry row, whether the processor supports it, whether dispatch
// picks it, and whether it scores a fixed sample as the portable path does.
// Lets a packaged build (a wheel) show that its variants were compiled right.
#pragma once

#include <cstdint>
#include <vector>

namespace kivo::simd {

struct KernelCheck {
    const char* name;  // the registry row's name, e.g. "avx2_4bit"
    uint8_t bits;
    bool supported;  // the processor has every feature the row requires
    bool selected;   // dispatch picks this row for its code width
    // Run only when supported: batched, gathered and single results
    // bit-identical, and within float32 rounding of the portable path
    // (relative 1e-5 of the sum of absolute products, far above the rounding
    // of any order).
    bool agrees;
};

std::vector<KernelCheck> check_kernels();

}  // namespace kivo::simd
