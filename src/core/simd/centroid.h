// Dot products of many vectors against centroids stored in transposed blocks
// of eight: one accumulator lane per centroid, each summing in index order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo::simd {

inline constexpr std::size_t kCentroidBlock = 8;

// `blocks` holds `nblocks` blocks of `block_len` x 8 floats: coordinate i of
// centroid 8b + j is blocks[(b * block_len + i) * 8 + j]. For every vector v
// (`len` <= block_len coordinates used) and centroid c:
//   out[v * nblocks * 8 + c] = float32 sum over i < len of vecs[v][i] * c[i],
// starting from +0.0 and adding the products in index order, each product
// rounded before it is added (no fused multiply-add).
void centroid_dots(const float* const* vecs, std::size_t nvec, std::size_t len, const float* blocks,
                   std::size_t nblocks, std::size_t block_len, float* out);

// The baseline path (SSE2 where available, else scalar).
void centroid_dots_portable(const float* const* vecs, std::size_t nvec, std::size_t len,
                            const float* blocks, std::size_t nblocks, std::size_t block_len, float* out);

namespace avx2 {
// Requires AVX2 (uses no FMA).
void centroid_dots(const float* const* vecs, std::size_t nvec, std::size_t len, const float* blocks,
                   std::size_t nblocks, std::size_t block_len, float* out);
}  // namespace avx2

}  // namespace kivo::simd
