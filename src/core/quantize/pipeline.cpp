// QuantPipeline: preparation by metric, rotation and scale, packing into the
// pure or mixed layout, quantized norms, and scoring through the kernels.
#include "quantize/pipeline.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "quantize/scalar.h"
#include "quantize/tables.h"
#include "simd/dispatch.h"
#include "simd/multi.h"

namespace kivo::quantize {

namespace {

// The float32 machine epsilon, 2^-23: norms at or below it are not divided by.
constexpr float kNormEpsilon = 1.1920929e-7f;
static_assert(kNormEpsilon == 0x1p-23f);

}  // namespace

std::vector<float> normalize_cosine(std::span<const float> x) {
    std::vector<float> y(x.begin(), x.end());
    // One accumulator in index order: the sum (and so every stored code)
    // depends on this order, so it must not be split or reassociated.
    float s = 0.0f;
    for (float v : y) s = s + v * v;
    const float norm = std::sqrt(s);
    if (norm > kNormEpsilon) {
        // A true division per element, not a multiplication by 1 / norm.
        for (float& v : y) v = v / norm;
    }
    return y;
}

Result<QuantPipeline> QuantPipeline::create(const vocab::EngineConfig& config) {
    const auto padded = vocab::padded_dim_for(config.dim);
    // There is no error value for a dimension that has no padded dimension
    // (dim > 2^63): its sign vector could never be allocated, so it ends like
    // any exhausted allocation (the Python module maps this to MemoryError).
    if (!padded) throw std::bad_alloc();
    // Checked before the rotation is built: a refused configuration should
    // not first allocate (and draw) a sign vector of padded_dim entries.
    if (auto ok = vocab::check_n4_dims(config.n4_dims, *padded, config.bit_width); !ok) {
        return std::unexpected(ok.error());
    }
    QuantPipeline p;
    p.rhdh_ = Rhdh::create(config.dim, config.seed);
    p.padded_dim_ = p.rhdh_.padded_dim();
    p.dim_ = config.dim;
    p.n4_dims_ = config.n4_dims;
    p.n2_dims_ = vocab::n2_dims_for(p.padded_dim_, config.n4_dims);
    p.pb4_per_vec_ = vocab::pb4_per_vec_for(config.n4_dims);
    p.scale_ = std::sqrt(static_cast<float>(p.padded_dim_));
    p.metric_ = config.metric;
    p.bit_width_ = config.bit_width;
    return p;
}

uint64_t QuantPipeline::packed_bytes_per_vec() const {
    return vocab::packed_bytes_per_vec_for(padded_dim_, n4_dims_);
}

void QuantPipeline::set_std_params(StdParams params) { std_params_ = std::move(params); }

std::vector<float> QuantPipeline::prepare_input(std::span<const float> x) const {
    switch (metric_) {
        case vocab::Metric::Cosine: return normalize_cosine(x);
        case vocab::Metric::Dot: break;
        case vocab::Metric::L2:
            if (std_params_) {
                const auto& mean = std_params_->mean;
                const auto& inv_std = std_params_->inv_std;
                const std::size_t len = std::min({x.size(), mean.size(), inv_std.size()});
                std::vector<float> y(len);
                for (std::size_t i = 0; i < len; ++i) y[i] = (x[i] - mean[i]) * inv_std[i];
                return y;
            }
            break;
    }
    return std::vector<float>(x.begin(), x.end());
}

std::vector<float> QuantPipeline::transform_query(std::span<const float> x) const {
    // Where preparation is a plain copy (dot, l2 without parameters) the
    // rotation reads the input directly; the result is the same.
    const bool plain = metric_ == vocab::Metric::Dot || (metric_ == vocab::Metric::L2 && !std_params_);
    std::vector<float> q = plain ? rhdh_.apply(x) : rhdh_.apply(prepare_input(x));
    for (float& v : q) v = v * scale_;
    return q;
}

std::vector<uint8_t> QuantPipeline::encode(std::span<const float> x) const {
    const std::vector<float> q = transform_query(x);
    std::vector<uint8_t> code(packed_bytes_per_vec());
    const std::span<const float> qs(q);
    if (n4_dims_ == 0) {
        encode_2bit_into(qs, code.data());
    } else if (n2_dims_ == 0) {
        encode_4bit_into(qs, code.data());
    } else {
        encode_4bit_into(qs.first(n4_dims_), code.data());
        encode_2bit_into(qs.subspan(n4_dims_), code.data() + pb4_per_vec_);
    }
    return code;
}

float QuantPipeline::compute_norm(std::span<const uint8_t> code) const {
    // Pure 2-bit: no 4-bit bytes; pure 4-bit: all; mixed: the first pb4.
    std::size_t bytes4 = 0;
    if (n2_dims_ == 0) {
        bytes4 = code.size();
    } else if (n4_dims_ != 0) {
        bytes4 = std::min<std::size_t>(pb4_per_vec_, code.size());
    }
    // One accumulator, slot order; padding slots (code 0) count too.
    float acc = 0.0f;
    for (std::size_t i = 0; i < bytes4; ++i) {
        const float lo = CENTROIDS_4BIT[code[i] & 15];
        const float hi = CENTROIDS_4BIT[code[i] >> 4];
        acc = acc + lo * lo;
        acc = acc + hi * hi;
    }
    for (std::size_t i = bytes4; i < code.size(); ++i) {
        for (int j = 0; j < 4; ++j) {
            const float c = CENTROIDS_2BIT[(code[i] >> (2 * j)) & 3];
            acc = acc + c * c;
        }
    }
    return std::sqrt(acc);
}

float QuantPipeline::score(std::span<const float> query, std::span<const uint8_t> code) const {
    if (n4_dims_ == 0) return simd::score_2bit(query, code);
    if (n2_dims_ == 0) return simd::score_4bit(query, code);
    const float s4 = simd::score_4bit(query.first(n4_dims_), code.first(pb4_per_vec_));
    const float s2 = simd::score_2bit(query.subspan(n4_dims_), code.subspan(pb4_per_vec_));
    return s2 + s4;
}

void QuantPipeline::score_batch(std::span<const float> query, const uint8_t* codes, std::size_t count,
                                float* out) const {
    const std::size_t stride = packed_bytes_per_vec();
    if (n4_dims_ == 0) {
        simd::score_2bit_batch(query, codes, stride, count, out);
        return;
    }
    if (n2_dims_ == 0) {
        simd::score_4bit_batch(query, codes, stride, count, out);
        return;
    }
    // Both blocks of a chunk are scored back to back, so the 2-bit pass finds
    // the codes the 4-bit pass just brought into cache; the 2-bit halves go
    // through a stack buffer, so batching allocates nothing.
    constexpr std::size_t kChunk = 256;
    float s2[kChunk];
    const auto query4 = query.first(n4_dims_);
    const auto query2 = query.subspan(n4_dims_);
    for (std::size_t start = 0; start < count; start += kChunk) {
        const std::size_t len = std::min(kChunk, count - start);
        const uint8_t* chunk = codes + start * stride;
        simd::score_4bit_batch(query4, chunk, stride, len, out + start);
        simd::score_2bit_batch(query2, chunk + pb4_per_vec_, stride, len, s2);
        // s2 + s4 with the operands in score()'s order, so both agree bit for bit.
        for (std::size_t i = 0; i < len; ++i) out[start + i] = s2[i] + out[start + i];
    }
}

void QuantPipeline::score_gather(std::span<const float> query, const uint8_t* const* codes, std::size_t count,
                                 float* out) const {
    if (n4_dims_ == 0) {
        simd::score_2bit_gather(query, codes, count, out);
        return;
    }
    if (n2_dims_ == 0) {
        simd::score_4bit_gather(query, codes, count, out);
        return;
    }
    // As in score_batch: both blocks of a chunk back to back, the 2-bit
    // block addresses and halves on the stack.
    constexpr std::size_t kChunk = 64;
    const uint8_t* blocks2[kChunk];
    float s2[kChunk];
    const auto query4 = query.first(n4_dims_);
    const auto query2 = query.subspan(n4_dims_);
    for (std::size_t start = 0; start < count; start += kChunk) {
        const std::size_t len = std::min(kChunk, count - start);
        simd::score_4bit_gather(query4, codes + start, len, out + start);
        for (std::size_t i = 0; i < len; ++i) blocks2[i] = codes[start + i] + pb4_per_vec_;
        simd::score_2bit_gather(query2, blocks2, len, s2);
        // s2 + s4 with the operands in score()'s order, so both agree bit for bit.
        for (std::size_t i = 0; i < len; ++i) out[start + i] = s2[i] + out[start + i];
    }
}

void QuantPipeline::score_multi(const float* const* queries, std::size_t nq, const uint8_t* codes,
                                std::size_t count, float* out, std::size_t out_stride) const {
    const std::size_t stride = packed_bytes_per_vec();
    if (n4_dims_ == 0) {
        simd::score_2bit_multi(queries, nq, padded_dim_, codes, stride, count, out, out_stride);
        return;
    }
    if (n2_dims_ == 0) {
        simd::score_4bit_multi(queries, nq, padded_dim_, codes, stride, count, out, out_stride);
        return;
    }
    // Mixed: the 2-bit halves of a group of queries and a chunk of codes go
    // through a stack buffer and are added in score()'s operand order.
    constexpr std::size_t kGroup = 8;
    constexpr std::size_t kChunk = 128;
    float s2[kGroup * kChunk];
    const float* query2[kGroup];
    for (std::size_t j0 = 0; j0 < nq; j0 += kGroup) {
        const std::size_t g = std::min(kGroup, nq - j0);
        for (std::size_t j = 0; j < g; ++j) query2[j] = queries[j0 + j] + n4_dims_;
        for (std::size_t start = 0; start < count; start += kChunk) {
            const std::size_t len = std::min(kChunk, count - start);
            const uint8_t* chunk = codes + start * stride;
            float* o = out + j0 * out_stride + start;
            simd::score_4bit_multi(queries + j0, g, n4_dims_, chunk, stride, len, o, out_stride);
            simd::score_2bit_multi(query2, g, n2_dims_, chunk + pb4_per_vec_, stride, len, s2, kChunk);
            for (std::size_t j = 0; j < g; ++j) {
                for (std::size_t i = 0; i < len; ++i) o[j * out_stride + i] = s2[j * kChunk + i] + o[j * out_stride + i];
            }
        }
    }
}

}  // namespace kivo::quantize
