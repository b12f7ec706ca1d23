// QuantPipeline: raw vector -> packed code, raw query -> transformed query,
// code -> quantized norm, and (transformed query, code) -> raw score. Also the
// variance profile of a sample and the mixed bit allocation derived from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "config.h"
#include "error.h"
#include "quantize/rotation.h"

namespace kivo::quantize {

struct StdParams {
    std::vector<float> mean;
    std::vector<float> inv_std;
    bool operator==(const StdParams&) const = default;
};

// Cosine preparation: a copy divided element by element by its float32
// Euclidean norm (sum of squares in index order), unless that norm is at most
// 2^-23, in which case the copy is returned unchanged.
std::vector<float> normalize_cosine(std::span<const float> x);

class QuantPipeline {
public:
    // Reads dim, n4_dims, seed, bit_width and metric. Fails with
    // InvalidBitWidth (carrying bit_width) when n4_dims is inconsistent.
    // A dim above 2^63 has no padded dimension; its rotation could never be
    // allocated, so it is reported like exhausted memory: std::bad_alloc.
    static Result<QuantPipeline> create(const vocab::EngineConfig& config);

    void set_std_params(StdParams params);
    const std::optional<StdParams>& std_params() const { return std_params_; }

    std::vector<float> prepare_input(std::span<const float> x) const;
    // prepare -> rotate -> scale: padded_dim float32 values.
    std::vector<float> transform_query(std::span<const float> x) const;
    // packed_bytes_per_vec bytes.
    std::vector<uint8_t> encode(std::span<const float> x) const;
    // Euclidean norm of the dequantized code.
    float compute_norm(std::span<const uint8_t> code) const;
    // Raw inner product of a transformed query with one packed code.
    float score(std::span<const float> query, std::span<const uint8_t> code) const;
    // score() of `count` consecutive codes (packed_bytes_per_vec bytes each,
    // starting at `codes`) into out[0 .. count); each result bit-identical to
    // score() of that code.
    void score_batch(std::span<const float> query, const uint8_t* codes, std::size_t count,
                     float* out) const;
    // score() of the `count` codes at codes[0 .. count) (packed_bytes_per_vec
    // bytes each, anywhere, in any order) into out[0 .. count); each result
    // bit-identical to score() of that code.
    void score_gather(std::span<const float> query, const uint8_t* const* codes, std::size_t count,
                      float* out) const;
    // score() of `count` consecutive codes against `nq` transformed queries:
    // out[j * out_stride + i] is bit-identical to score(queries[j], code i).
    // Each code is expanded once per group of queries.
    void score_multi(const float* const* queries, std::size_t nq, const uint8_t* codes, std::size_t count,
                     float* out, std::size_t out_stride) const;

    // Per padded coordinate variance of the sample after (cosine
    // normalization,) rotation and scale; population variance in float64.
    static Result<std::vector<float>> profile_variance(const vocab::EngineConfig& config,
                                                       std::span<const std::vector<float>> sample);

    const Rhdh& rhdh() const { return rhdh_; }
    uint64_t dim() const { return dim_; }
    uint64_t padded_dim() const { return padded_dim_; }
    uint64_t n4_dims() const { return n4_dims_; }
    uint64_t n2_dims() const { return n2_dims_; }
    uint64_t pb4_per_vec() const { return pb4_per_vec_; }
    uint64_t packed_bytes_per_vec() const;
    float scale() const { return scale_; }
    vocab::Metric metric() const { return metric_; }
    uint8_t bit_width() const { return bit_width_; }

private:
    QuantPipeline() = default;

    Rhdh rhdh_;
    uint64_t padded_dim_ = 1;
    std::optional<StdParams> std_params_;
    uint64_t dim_ = 0;
    uint64_t n4_dims_ = 0;
    uint64_t n2_dims_ = 0;
    uint64_t pb4_per_vec_ = 0;
    float scale_ = 1.0f;
    vocab::Metric metric_ = vocab::Metric::Cosine;
    uint8_t bit_width_ = 4;
};

// The similarity from a raw score and a stored norm: cosine divides by the
// norm when it is above 1e-9, dot leaves it, l2 adds (norm * -0.5) * norm.
// Inline: the scans apply it to every code's bound.
inline float adjust_score(vocab::Metric metric, float raw, float norm) {
    switch (metric) {
        case vocab::Metric::Cosine: return norm > 1e-9f ? raw / norm : raw;
        case vocab::Metric::Dot: return raw;
        case vocab::Metric::L2: return raw + (norm * -0.5f) * norm;
    }
    return raw;
}

// n4_dims for an average bit budget (clamped to [2, 4]); a multiple of 4.
Result<uint64_t> optimal_n4_dims(const vocab::EngineConfig& config,
                                 std::span<const std::vector<float>> sample, double avg_bits);

}  // namespace kivo::quantize
