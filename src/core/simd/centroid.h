// Dot products of many vectors against centroids stored in transposed blocks:
// one accumulator lane per centroid, each summing in index order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo::simd {

// Layout with block width W (8 or 16 centroids): `blocks` holds `nblocks`
// blocks of `block_len` x W floats, coordinate i of centroid W * b + j at
// blocks[(b * block_len + i) * W + j]. For every vector v (its first `len`
// <= block_len coordinates) and centroid c:
//   out[v * nblocks * W + c] = float32 sum over i < len of vecs[v][i] * c[i],
// starting from +0.0 and adding the products in index order, each product
// rounded before it is added (no fused multiply-add).
void centroid_dots(const float* const* vecs, std::size_t nvec, std::size_t len, const float* blocks,
                   std::size_t nblocks, std::size_t block_len, std::size_t width, float* out);

// The block width the widest supported variant uses: 16 with AVX-512F, else 8.
std::size_t centroid_block_width();

// The baseline path (SSE2 where available, else scalar), any width that is a
// multiple of 4 up to 16.
void centroid_dots_portable(const float* const* vecs, std::size_t nvec, std::size_t len,
                            const float* blocks, std::size_t nblocks, std::size_t block_len,
                            std::size_t width, float* out);

namespace avx2 {
// Requires AVX2 (uses no FMA). Block width 8.
void centroid_dots(const float* const* vecs, std::size_t nvec, std::size_t len, const float* blocks,
                   std::size_t nblocks, std::size_t block_len, float* out);
}  // namespace avx2

namespace avx512 {
// Requires AVX-512F (uses no FMA). Block width 16.
void centroid_dots(const float* const* vecs, std::size_t nvec, std::size_t len, const float* blocks,
                   std::size_t nblocks, std::size_t block_len, float* out);
}  // namespace avx512

}  // namespace kivo::simd
