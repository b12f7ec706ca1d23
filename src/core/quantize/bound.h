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

namespace kivo::quantize {

// Small-integer images of the codebooks (mirror-symmetric) and their scales:
// CENTROIDS_4BIT[c] ~ kBound4Scale * kBoundTable4[c], likewise for 2 bits.
inline constexpr int8_t kBoundTable4[16] = {-63, -48, -37, -29, -22, -15, -9, -3,
                                            3,   9,   15,  22,  29,  37,  48, 63};
inline constexpr int8_t kBoundTable2[4] = {-10, -3, 3, 10};
inline constexpr double kBound4Scale = 0.04337727624288353;
inline constexpr double kBound2Scale = 0.15101545520906146;
// Largest query magnitude of the image (an unsigned byte).
inline constexpr int kBoundQueryMax = 255;

class ScoreBound {
public:
    // The bound of one transformed query, or nothing when it cannot be
    // bounded safely: a value that is NaN or infinite, magnitudes whose sums
    // could come near float32 overflow, or a block too long for 32-bit sums.
    static std::optional<ScoreBound> create(const QuantPipeline& pipeline, std::span<const float> query);

    simd::PruneImage image() const;

    // An upper bound on QuantPipeline::score of the code, whichever kernel
    // variant computes it, given the code's first-pass sums d4 and d2.
    float raw_upper(int32_t d4, int32_t d2) const {
        const double u = static_cast<double>(d4) * scale4_ + static_cast<double>(d2) * scale2_ + slack_;
        return static_cast<float>(u);
    }

    double slack() const { return slack_; }

private:
    ScoreBound() = default;

    std::vector<uint8_t> image4_;
    std::vector<uint8_t> image2_;
    std::size_t bytes4_ = 0;
    std::size_t bytes2_ = 0;
    double scale4_ = 0.0;
    double scale2_ = 0.0;
    double slack_ = 0.0;
};

}  // namespace kivo::quantize
