// AVX-512 variant of the centroid block dot products: blocks of sixteen
// centroids, one 512-bit register each (the loop itself is in
// centroid_kernel.h).
#include <cstddef>
#include <cstdint>

#include "simd/centroid.h"
#include "simd/centroid_kernel.h"

namespace kivo::simd::avx512 {

void centroid_dots(const float* const* vecs, std::size_t nvec, std::size_t len, const float* blocks,
                   std::size_t nblocks, std::size_t block_len, float* out) {
    centroid_dots_with<Lanes<16>>(vecs, nvec, len, blocks, nblocks, block_len, out);
}

}  // namespace kivo::simd::avx512
