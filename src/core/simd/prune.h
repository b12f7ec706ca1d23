// The first pass of a pruned scan: an integer dot product between an 8-bit
// image of the query and small-integer centroid values of packed codes. Used
// only to bound the exact score (the bound itself lives with the quantizer);
// included by the kernel translation units, so it uses nothing beyond
// <cstdint>/<cstddef>.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo::simd {

// Bytes per 32-byte chunk of code in the query image: a sign mask, then the
// query magnitudes in the order the chunk's slots are read.
//   4-bit chunk (64 coordinates): sign[32], even[32], odd[32]. Coordinate
//     64t + 2j is the low nibble of code byte 32t + j, 64t + 2j + 1 its high.
//   2-bit chunk (128 coordinates): sign[32], slot0[32] .. slot3[32]; slot s
//     of byte 32t + j is coordinate 128t + 4j + s.
// A sign byte has every bit of a slot set when that coordinate's query value
// is negative: XOR-ing it into the code maps code c to its mirror (15 - c or
// 3 - c), whose centroid is -centroid(c) because both codebooks are symmetric,
// so the query enters the products by magnitude (an unsigned byte).
constexpr std::size_t kChunkBytes = 32;
constexpr std::size_t kImage4Bytes = 3 * kChunkBytes;
constexpr std::size_t kImage2Bytes = 5 * kChunkBytes;

// A read-only view of one query image. The code of a vector is a 4-bit block
// of `bytes4` bytes followed by a 2-bit block of `bytes2` bytes (either may be
// 0). The image covers ceil(bytes / 32) chunks per block; magnitudes past the
// block's last coordinate are 0, so the code bits there never count.
struct PruneImage {
    const uint8_t* image4 = nullptr;
    const uint8_t* image2 = nullptr;
    std::size_t bytes4 = 0;
    std::size_t bytes2 = 0;
    // Signed centroid values by code: table4[c] for a nibble; a 2-bit block
    // reads table2_lo[x & 15] for slot 0 and table2_hi[x & 15] for slot 1 of
    // the low half-byte x (and likewise slots 2 and 3 from the high one).
    // Tables are mirror-symmetric (t[15 - c] = -t[c], t2(3 - c) = -t2(c)).
    // Products are summed in 16 bits: 4 * 127 * max|table4| (the 4-bit
    // block's magnitudes are at most 127) and 8 * 255 * max|table2| must stay
    // at most 32767.
    int8_t table4[16] = {};
    int8_t table2_lo[16] = {};
    int8_t table2_hi[16] = {};
};

// For the code at codes + i * stride, out4[i] and out2[i] are the sums over
// the coordinates of its 4-bit and 2-bit block of magnitude * table(code ^
// sign): the integer dot products of the signed query image with the code's
// integer centroids. Exact (no saturation, no overflow) while 255 * max|table|
// times the block's coordinate count stays below 2^31.
// The variants are rows of simd/registry.h; all return the same integers.
// With `ahead` not 0, a variant may prefetch the bytes that far past the
// codes it reads (worth it when the codes come from memory, not a cache;
// addresses past the array are harmless, a prefetch never faults).
using ApproxDotsFn = void(const PruneImage& image, const uint8_t* codes, std::size_t stride,
                          std::size_t count, int32_t* out4, int32_t* out2, std::size_t ahead);
// The same sums for codes anywhere (codes[i], each a whole code), as a
// graph walk meets them.
using ApproxDotsGatherFn = void(const PruneImage& image, const uint8_t* const* codes, std::size_t count,
                                int32_t* out4, int32_t* out2);

// The first pass of a group of queries, which share the expansion of each
// code. A query's signed image holds its values q8 in [-63, 63] in the
// order the chunk's slots are read:
//   4-bit chunk (64 coordinates): even[32], odd[32] (kSignedImage4Bytes);
//   2-bit chunk (128 coordinates): slot0[32] .. slot3[32] (kSignedImage2Bytes),
// with 0 past the block's last coordinate. The tables hold the integer
// centroids plus an offset that makes them non-negative, so that one
// unsigned expansion of a code multiplies every query's signed bytes
// (vpmaddubsw): the sums come out as sum q8 * (t + offset), and the caller
// removes offset * sum q8. Two 4-bit pair sums, 4 * 63 * max(table4), and
// the eight 2-bit products of a byte position, 8 * 63 * max(table2), must
// stay at most 32767.
constexpr std::size_t kSignedImage4Bytes = 2 * kChunkBytes;
constexpr std::size_t kSignedImage2Bytes = 4 * kChunkBytes;

struct PruneGroup {
    const int8_t* const* image4 = nullptr;  // nq images of the 4-bit block
    const int8_t* const* image2 = nullptr;  // nq images of the 2-bit block
    std::size_t nq = 0;
    std::size_t bytes4 = 0;
    std::size_t bytes2 = 0;
    // table4[c] for a nibble; table2_lo[x] / table2_hi[x] for the low and
    // high slot of a half-byte x of a 2-bit block.
    uint8_t table4[16] = {};
    uint8_t table2_lo[16] = {};
    uint8_t table2_hi[16] = {};
};

// For query j and the code at codes + i * stride, out4[j * out_stride + i]
// and out2[j * out_stride + i] are the offset sums of its 4-bit and 2-bit
// block, exact in 32 bits while 63 * max(table) times the block's
// coordinate count stays below 2^31.
using ApproxDotsMultiFn = void(const PruneGroup& group, const uint8_t* codes, std::size_t stride,
                               std::size_t count, int32_t* out4, int32_t* out2, std::size_t out_stride);

// True when the feature word has a vector first pass (AVX2); without one the
// first pass would cost about as much as the exact kernel it is meant to spare.
bool prune_available(uint32_t feature_word);
// The widest variants the processor supports.
ApproxDotsFn approx_dots;
ApproxDotsGatherFn approx_dots_gather;
ApproxDotsMultiFn approx_dots_multi;

namespace portable {
ApproxDotsFn approx_dots;
ApproxDotsGatherFn approx_dots_gather;
ApproxDotsMultiFn approx_dots_multi;
}  // namespace portable

namespace avx2 {
// Requires AVX2.
ApproxDotsFn approx_dots;
ApproxDotsGatherFn approx_dots_gather;
ApproxDotsMultiFn approx_dots_multi;
}  // namespace avx2

namespace avx512vnni {
// Requires AVX-512 F, BW, VL and VNNI; the same integers as the AVX2 pass.
ApproxDotsFn approx_dots;
ApproxDotsGatherFn approx_dots_gather;
}  // namespace avx512vnni

}  // namespace kivo::simd
