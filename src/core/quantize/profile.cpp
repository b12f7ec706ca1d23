// Variance profile of a sample in the rotated and scaled space, and the mixed
// 4-bit/2-bit split (n4_dims) for an average bit budget.
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "quantize/pipeline.h"

namespace kivo::quantize {

Result<std::vector<float>> QuantPipeline::profile_variance(const vocab::EngineConfig& config,
                                                           std::span<const std::vector<float>> sample) {
    if (sample.empty()) return std::unexpected(KivoError::empty_sample());
    // Every vector is checked before any work: the first wrong length is the
    // error, exactly as if the earlier vectors had been accumulated first.
    for (const auto& v : sample) {
        if (v.size() != config.dim) return std::unexpected(KivoError::dimension_mismatch(config.dim, v.size()));
    }
    // Same rotation as the index (a dim without padded dimension throws
    // std::bad_alloc, as in QuantPipeline::create).
    const Rhdh rhdh = Rhdh::create(config.dim, config.seed);
    const std::size_t n = rhdh.padded_dim();
    const float scale = std::sqrt(static_cast<float>(n));

    std::vector<double> sum(n, 0.0);
    std::vector<double> sumsq(n, 0.0);
    for (const auto& v : sample) {
        // Standardization parameters are never applied here, even for l2.
        const std::vector<float> r =
            config.metric == vocab::Metric::Cosine ? rhdh.apply(normalize_cosine(v)) : rhdh.apply(v);
        for (std::size_t i = 0; i < n; ++i) {
            const double x = static_cast<double>(r[i] * scale);  // product in float32, then widened
            sum[i] = sum[i] + x;
            sumsq[i] = sumsq[i] + x * x;
        }
    }

    const double count = static_cast<double>(sample.size());
    std::vector<float> variance(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double mean = sum[i] / count;
        // Unfused on purpose (the build forbids contraction): a one-vector
        // sample must give exactly x*x - x*x = 0.
        double var = sumsq[i] / count - mean * mean;
        if (!(var >= 0.0)) var = 0.0;  // negative rounding residue or NaN
        variance[i] = static_cast<float>(var);
    }
    return variance;
}

Result<uint64_t> optimal_n4_dims(const vocab::EngineConfig& config, std::span<const std::vector<float>> sample,
                                 double avg_bits) {
    auto profile = QuantPipeline::profile_variance(config, sample);
    if (!profile) return std::unexpected(profile.error());
    // Only the padded dimension matters: every coordinate is treated alike.
    const float n = static_cast<float>(profile->size());

    float b = static_cast<float>(avg_bits);
    if (b < 2.0f) b = 2.0f;
    if (b > 4.0f) b = 4.0f;  // NaN passes both and ends as 0 below
    const float x = ((b - 2.0f) * n) * 0.5f;
    const float r = std::round(x);  // halfway cases away from zero

    uint64_t count = 0;
    if (r >= 18446744073709551616.0f) {  // 2^64
        count = std::numeric_limits<uint64_t>::max();
    } else if (r > 0.0f) {
        count = static_cast<uint64_t>(r);
    }
    return count & ~uint64_t{3};
}

}  // namespace kivo::quantize
