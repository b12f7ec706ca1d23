// ScoreBound: the per-query image and constants of the pruning first pass, and
// a rigorous upper bound on the raw score the scoring kernels return for a
// code, computed from the code's first-pass integer dot products.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quantize/pipeline.h"
#include "simd/prune.h"
#include "simd/select.h"

namespace kivo::quantize {

// Small-integer images of the codebooks (mirror-symmetric) and their scales:
// CENTROIDS_4BIT[c] ~ kBound4Scale * kBoundTable4[c], likewise for 2 bits.
inline constexpr int8_t kBoundTable4[16] = {-63, -48, -37, -29, -22, -15, -9, -3,
                                            3,   9,   15,  22,  29,  37,  48, 63};
inline constexpr int8_t kBoundTable2[4] = {-10, -3, 3, 10};
inline constexpr double kBound4Scale = 0.04337727624288353;
inline constexpr double kBound2Scale = 0.15101545520906146;
// Largest query magnitude of the image (an unsigned byte) in the 2-bit block,
// and in the 4-bit block, where seven bits let the pass add two pair sums in
// 16 bits (one widening instead of two per chunk).
inline constexpr int kBoundQueryMax = 255;
inline constexpr int kBoundQuery4Max = 127;
// Largest query magnitude of a signed image (a signed byte, six bits used so
// that the group pass may add two pair sums in 16 bits), and the offsets that
// make the tables non-negative for it.
inline constexpr int kSignedQueryMax = 63;
inline constexpr int kSignedOffset4 = 63;
inline constexpr int kSignedOffset2 = 10;

// How a query is imaged for the first pass.
enum class BoundImage {
    // Magnitudes and a sign mask (simd::PruneImage), one query at a time.
    Magnitude,
    // Signed bytes (simd::PruneGroup), for queries that share each code's
    // expansion; one bit less of the query, so a slightly wider bound.
    Signed,
};

class ScoreBound {
public:
    // The bound of one transformed query, or nothing when it cannot be
    // bounded safely: a value that is NaN or infinite, magnitudes whose sums
    // could come near float32 overflow, or a block too long for 32-bit sums.
    static std::optional<ScoreBound> create(const QuantPipeline& pipeline, std::span<const float> query,
                                            BoundImage kind = BoundImage::Magnitude);

    BoundImage kind() const { return kind_; }
    // The image of a Magnitude bound.
    simd::PruneImage image() const;
    // The blocks of a Signed bound's image, and a group of such bounds (the
    // caller keeps the pointer arrays alive while the group is used).
    const int8_t* signed_image4() const { return reinterpret_cast<const int8_t*>(image4_.data()); }
    const int8_t* signed_image2() const { return reinterpret_cast<const int8_t*>(image2_.data()); }
    static simd::PruneGroup group(const int8_t* const* image4, const int8_t* const* image2, std::size_t nq,
                                  std::size_t bytes4, std::size_t bytes2);
    std::size_t bytes4() const { return bytes4_; }
    std::size_t bytes2() const { return bytes2_; }

    // An upper bound on QuantPipeline::score of the code, whichever kernel
    // variant computes it, given the code's first-pass sums d4 and d2 (as
    // the pass of this bound's image returns them).
    float raw_upper(int32_t d4, int32_t d2) const {
        // Removing the offsets is exact: integers below 2^40, and so is
        // their difference, in double (which vectorizes, unlike int64).
        const double u4 = (static_cast<double>(d4) - offset4_) * scale4_;
        const double u = u4 + (static_cast<double>(d2) - offset2_) * scale2_ + slack_;
        return static_cast<float>(u);
    }

    double slack() const { return slack_; }
    // raw_upper's constants, for the block form of the skip rule
    // (simd::select_block evaluates the same expression).
    simd::BoundMap map() const { return {offset4_, scale4_, offset2_, scale2_, slack_, reach_}; }

private:
    ScoreBound() = default;

    BoundImage kind_ = BoundImage::Magnitude;
    std::vector<uint8_t> image4_;
    std::vector<uint8_t> image2_;
    std::size_t bytes4_ = 0;
    std::size_t bytes2_ = 0;
    double scale4_ = 0.0;
    double scale2_ = 0.0;
    double slack_ = 0.0;
    // What the signed pass adds to the sums: offset * sum q8 per block.
    double offset4_ = 0.0;
    double offset2_ = 0.0;
    // P of the proof in bound.cpp: a bound on |D4| * scale4 + |D2| * scale2.
    double reach_ = 0.0;
};

}  // namespace kivo::quantize
