// Routing of the first pass of a pruned scan to its widest variant.
#include "simd/dispatch.h"
#include "simd/prune.h"

namespace kivo::simd {

bool prune_available(uint32_t feature_word) { return (feature_word & kAvx2) != 0; }

void approx_dots(const PruneImage& image, const uint8_t* codes, std::size_t stride, std::size_t count,
                 int32_t* out4, int32_t* out2) {
    if (prune_available(features())) {
        avx2::approx_dots(image, codes, stride, count, out4, out2);
        return;
    }
    approx_dots_portable(image, codes, stride, count, out4, out2);
}

}  // namespace kivo::simd
