// Routing of the first pass of a pruned scan to its widest variant.
#include "simd/dispatch.h"
#include "simd/prune.h"
#include "simd/registry.h"

namespace kivo::simd {

bool prune_available(uint32_t feature_word) { return select_prune(feature_word).variant != Variant::Portable; }

void approx_dots(const PruneImage& image, const uint8_t* codes, std::size_t stride, std::size_t count,
                 int32_t* out4, int32_t* out2, std::size_t ahead) {
    select_prune(features()).dots(image, codes, stride, count, out4, out2, ahead);
}

void approx_dots_gather(const PruneImage& image, const uint8_t* const* codes, std::size_t count, int32_t* out4,
                        int32_t* out2) {
    select_prune(features()).dots_gather(image, codes, count, out4, out2);
}

void approx_dots_multi(const PruneGroup& group, const uint8_t* codes, std::size_t stride, std::size_t count,
                       int32_t* out4, int32_t* out2, std::size_t out_stride) {
    select_prune(features()).dots_multi(group, codes, stride, count, out4, out2, out_stride);
}

}  // namespace kivo::simd
