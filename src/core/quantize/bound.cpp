// The pruning bound: the query's byte image and the slack that turns the
// first pass's integer dot products into a guaranteed upper bound on the
// exact float32 score of every kernel variant.
//
// Why the bound holds. Notation: the query q has n padded coordinates, each in
// the 4-bit or the 2-bit block (beta); c_i is the centroid of the code's slot
// i, C_beta the largest centroid magnitude of its codebook, u = 2^-24.
//
// 1. Query image. Per block beta, a_beta = max|q_i| / Q_beta (Q_4 = 127,
//    Q_2 = 255), q8_i = an integer in [-Q_beta, Q_beta] near q_i / a_beta
//    (any integer would keep the bound valid, since r_i is taken from the
//    one chosen; near makes it tight), r_i = q_i - a_beta q8_i. Below, a
//    written next to a block's quantity is that block's a_beta. The first
//    pass returns, exactly in integers,
//    D_beta = sum over the block of |q8_i| * t(code_i ^ sign_i)
//           = sum of q8_i * t(code_i), because the integer tables t are
//    mirror-symmetric (t(mirror c) = -t(c)) and the sign mask mirrors a slot
//    exactly when q8_i < 0 (a zero magnitude contributes nothing either way).
// 2. Codebook image. e_i = c_i - b_beta t(code_i), |e_i| <= E_beta (the
//    largest such error over the codebook). The exact real inner product is
//      S = sum q_i c_i = a b4 D4 + a b2 D2 + a sum q8_i e_i + sum r_i c_i,
//    so S <= a b4 D4 + a b2 D2 + Ecb + Eq with
//      Ecb = a sum |q8_i| E_beta(i),  Eq = sum |r_i| C_beta(i).
// 3. Float32 rounding of the kernel. Every variant (portable, AVX2, AVX-512,
//    and the mixed sum s2 + s4) evaluates sum q_i c_i as a binary tree of
//    float32 operations over the n products: each product is rounded once,
//    either alone or inside the fused multiply-add that adds it, and every
//    addition (or fused multiply-add) rounds once. Exact zeros (zeroed
//    accumulators, masked lanes) add nothing and round nothing, so a term
//    passes through at most n roundings. Without underflow each rounding is
//    a factor (1 + d), |d| <= u, hence |s - S| <= gamma(n + 1) T with
//    gamma(m) = m u / (1 - m u) and T = sum |q_i c_i| <= Tb = sum |q_i| C_beta(i).
//    With gradual underflow a product or fused multiply-add may also add an
//    absolute error of at most 2^-150 (additions with a subnormal result are
//    exact); there are at most n of them, each grown by later roundings by at
//    most a factor 1 + gamma(n) < 2: at most n 2^-149 in total. No partial sum
//    exceeds (1 + gamma) Tb, so with Tb < 2^100 nothing overflows and s is
//    finite.
// 4. Evaluation of the bound. raw_upper computes
//      U = float32(D4 * s4 + D2 * s2 + slack), s_beta = a b_beta,
//    in double. All per-query quantities here are sums of at most n
//    non-negative double terms (relative error below 2^-29 for n < 2^21,
//    covered by the factor 1 + 2^-18), and r_i is computed with an error of
//    at most 2^-51 |q_i| (covered by adding 2^-50 Tb). The per-code double
//    expression has at most four roundings of relative size 2^-53 on
//    magnitudes up to P + slack, P = a (b4 DM4 + b2 DM2), DM_beta = max|t| *
//    sum |q8_i| >= |D_beta|; converting to float32 rounds by at most
//    u |value| + 2^-150. With
//      K = Ecb + Eq + gamma(n + 1) Tb + 2^-50 Tb + (n + 1) 2^-149,
//      slack = K (1 + 2^-18) + 2^-22 P + 2^-146,
//    the evaluation loses at most (2^-24 + 2^-50)(P + 2 slack) + 2^-150 <
//    slack - K, so U >= a b4 D4 + a b2 D2 + K >= s: U bounds the kernel's
//    float32 score from above, for every variant.
// 5. The metric adjustment (cosine: s / n for n > 1e-9, l2: s + (n * -0.5) * n)
//    is a correctly rounded division by a positive number or addition of a
//    per-code constant, both non-decreasing in s, so applying the same float32
//    operations to U bounds the adjusted score. The scan applies them exactly
//    as the exact path does, so NaN and infinite norms take the same branch.
// 6. The signed image (BoundImage::Signed) is the same construction with
//    a_beta = max|q_i| / 63 and q8_i in [-63, 63] stored as signed bytes (no
//    sign mask). Its pass returns sum q8_i (t(code_i) + offset) exactly in
//    integers; raw_upper first subtracts offset * sum q8_i (integers below
//    2^40, so the double subtraction is exact), which leaves D_beta of step 1, so steps 2 to 5
//    hold word for word.
#include "quantize/bound.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "quantize/tables.h"

namespace kivo::quantize {

namespace {

constexpr double kU = 0x1p-24;

// Largest |c - scale * t(c)| over a codebook, plus a margin for the double
// evaluation (values below 4, so each error term is below 2^-51).
template <std::size_t N>
double codebook_error(const std::array<float, N>& centroids, const int8_t* table, double scale) {
    double e = 0.0;
    for (std::size_t k = 0; k < N; ++k) {
        e = std::max(e, std::abs(static_cast<double>(centroids[k]) - scale * table[k]));
    }
    return e + 0x1p-50;
}

uint8_t magnitude(int v) { return static_cast<uint8_t>(v < 0 ? -v : v); }

// A block's share of the bound's sums (step 1 and 2 of the proof above).
struct BlockSums {
    double eq = 0.0;      // sum |r_i| C
    double tb = 0.0;      // sum |q_i| C
    int64_t sum_abs = 0;  // sum |q8_i|
    int64_t sum = 0;      // sum q8_i
};

// The image values of one block (q8_i, an integer near q_i / a in
// [-qmax, qmax]) and its sums. Multiplying by the reciprocal, rounding half
// away from zero by a truncating conversion and summing in four interleaved
// partial sums (the proof allows any order for sums of non-negative terms)
// keep the loop free of divisions, library calls and long dependency chains.
BlockSums image_block(std::span<const float> q, double a, int qmax, double c, int16_t* q8) {
    const double inv_a = 1.0 / a;
    double eq[4] = {}, tb[4] = {};
    int64_t sum_abs = 0, sum = 0;
    const auto image = [&](std::size_t i, double& eq_part, double& tb_part) {
        const double v = q[i];
        const double x = v * inv_a;
        const int t = std::clamp(static_cast<int>(x + std::copysign(0.5, x)), -qmax, qmax);
        q8[i] = static_cast<int16_t>(t);
        eq_part += std::abs(v - a * t) * c;
        tb_part += std::abs(v) * c;
        sum_abs += t < 0 ? -t : t;
        sum += t;
    };
    std::size_t i = 0;
    for (; i + 4 <= q.size(); i += 4) {
        image(i, eq[0], tb[0]);
        image(i + 1, eq[1], tb[1]);
        image(i + 2, eq[2], tb[2]);
        image(i + 3, eq[3], tb[3]);
    }
    for (; i < q.size(); ++i) image(i, eq[0], tb[0]);
    return {(eq[0] + eq[1]) + (eq[2] + eq[3]), (tb[0] + tb[1]) + (tb[2] + tb[3]), sum_abs, sum};
}

}  // namespace

std::optional<ScoreBound> ScoreBound::create(const QuantPipeline& pipeline, std::span<const float> query,
                                             BoundImage kind) {
    const std::size_t n4 = pipeline.n4_dims();
    const std::size_t n = pipeline.padded_dim();
    if (query.size() != n || n4 > n) return std::nullopt;
    const std::size_t n2 = n - n4;
    // 32-bit first-pass sums: 255 * 63 * n4 and 255 * 10 * n2 below 2^31
    // (signed pass: 63 * 126 * n4 and 63 * 20 * n2).
    if (n4 > (std::size_t{1} << 17) || n2 > (std::size_t{1} << 19)) return std::nullopt;

    // Largest magnitude; a NaN or an infinity fails the comparison (no
    // branch per value, so the loop vectorizes).
    float max_abs = 0.0f;
    bool finite = true;
    for (const float v : query) {
        const float m = std::abs(v);
        finite &= m <= std::numeric_limits<float>::max();
        max_abs = m > max_abs ? m : max_abs;
    }
    if (!finite) return std::nullopt;
    const bool is_signed = kind == BoundImage::Signed;
    const int qmax4 = is_signed ? kSignedQueryMax : kBoundQuery4Max;
    const int qmax2 = is_signed ? kSignedQueryMax : kBoundQueryMax;
    const double a4 = max_abs > 0.0f ? static_cast<double>(max_abs) / qmax4 : 1.0;
    const double a2 = max_abs > 0.0f ? static_cast<double>(max_abs) / qmax2 : 1.0;

    ScoreBound b;
    b.kind_ = kind;
    b.bytes4_ = (n4 + 1) / 2;
    b.bytes2_ = (n2 + 3) / 4;
    const std::size_t chunks4 = (b.bytes4_ + simd::kChunkBytes - 1) / simd::kChunkBytes;
    const std::size_t chunks2 = (b.bytes2_ + simd::kChunkBytes - 1) / simd::kChunkBytes;
    b.image4_.assign(chunks4 * (is_signed ? simd::kSignedImage4Bytes : simd::kImage4Bytes), 0);
    b.image2_.assign(chunks2 * (is_signed ? simd::kSignedImage2Bytes : simd::kImage2Bytes), 0);

    const double e4 = codebook_error(CENTROIDS_4BIT, kBoundTable4, kBound4Scale);
    const int8_t table2[4] = {kBoundTable2[0], kBoundTable2[1], kBoundTable2[2], kBoundTable2[3]};
    const double e2 = codebook_error(CENTROIDS_2BIT, table2, kBound2Scale);
    const double c4 = CENTROIDS_4BIT[15];
    const double c2 = CENTROIDS_2BIT[3];

    std::vector<int16_t> q8(n);
    const BlockSums s4 = image_block(query.first(n4), a4, qmax4, c4, q8.data());
    const BlockSums s2 = image_block(query.subspan(n4), a2, qmax2, c2, q8.data() + n4);
    const double sum_q8_4 = static_cast<double>(s4.sum_abs);  // exact integers
    const double sum_q8_2 = static_cast<double>(s2.sum_abs);
    const double eq = s4.eq + s2.eq;
    const double tb = s4.tb + s2.tb;
    if (is_signed) {
        // The signed layout: the slots of a chunk in the magnitude layout's
        // order, without the sign mask.
        for (std::size_t i = 0; i < n4; ++i) {
            uint8_t* chunk = b.image4_.data() + (i / 64) * simd::kSignedImage4Bytes;
            chunk[(i % 2) * simd::kChunkBytes + (i % 64) / 2] = static_cast<uint8_t>(q8[i]);
        }
        for (std::size_t k = 0; k < n2; ++k) {
            uint8_t* chunk = b.image2_.data() + (k / 128) * simd::kSignedImage2Bytes;
            chunk[(k % 4) * simd::kChunkBytes + (k % 128) / 4] = static_cast<uint8_t>(q8[n4 + k]);
        }
    } else {
        for (std::size_t i = 0; i < n4; ++i) {
            uint8_t* chunk = b.image4_.data() + (i / 64) * simd::kImage4Bytes;
            const std::size_t j = (i % 64) / 2;
            const bool odd = (i % 2) == 1;
            chunk[j] |= static_cast<uint8_t>((odd ? 0xF0 : 0x0F) & -static_cast<int>(q8[i] < 0));
            chunk[(odd ? 2 : 1) * simd::kChunkBytes + j] = magnitude(q8[i]);
        }
        for (std::size_t k = 0; k < n2; ++k) {
            uint8_t* chunk = b.image2_.data() + (k / 128) * simd::kImage2Bytes;
            const std::size_t j = (k % 128) / 4;
            const std::size_t sh = k % 4;
            chunk[j] |= static_cast<uint8_t>((3u << (2 * sh)) & -static_cast<unsigned>(q8[n4 + k] < 0));
            chunk[(1 + sh) * simd::kChunkBytes + j] = magnitude(q8[n4 + k]);
        }
    }
    if (!(tb < 0x1p100)) return std::nullopt;

    const double ecb = a4 * sum_q8_4 * e4 + a2 * sum_q8_2 * e2;
    const double m = static_cast<double>(n + 1) * kU;
    const double gamma = m / (1.0 - m);
    const double k = ecb + eq + gamma * tb + 0x1p-50 * tb + static_cast<double>(n + 1) * 0x1p-149;
    const double p = a4 * kBound4Scale * 63.0 * sum_q8_4 + a2 * kBound2Scale * 10.0 * sum_q8_2;
    if (!(p < 0x1p100)) return std::nullopt;

    b.scale4_ = a4 * kBound4Scale;
    b.scale2_ = a2 * kBound2Scale;
    b.slack_ = k * (1.0 + 0x1p-18) + 0x1p-22 * p + 0x1p-146;
    b.reach_ = p;
    if (is_signed) {
        b.offset4_ = static_cast<double>(kSignedOffset4 * s4.sum);
        b.offset2_ = static_cast<double>(kSignedOffset2 * s2.sum);
    }
    return b;
}

simd::PruneGroup ScoreBound::group(const int8_t* const* image4, const int8_t* const* image2, std::size_t nq,
                                   std::size_t bytes4, std::size_t bytes2) {
    simd::PruneGroup g;
    g.image4 = image4;
    g.image2 = image2;
    g.nq = nq;
    g.bytes4 = bytes4;
    g.bytes2 = bytes2;
    for (std::size_t c = 0; c < 16; ++c) {
        g.table4[c] = static_cast<uint8_t>(kBoundTable4[c] + kSignedOffset4);
        g.table2_lo[c] = static_cast<uint8_t>(kBoundTable2[c & 3] + kSignedOffset2);
        g.table2_hi[c] = static_cast<uint8_t>(kBoundTable2[c >> 2] + kSignedOffset2);
    }
    return g;
}

simd::PruneImage ScoreBound::image() const {
    simd::PruneImage im;
    im.image4 = image4_.data();
    im.image2 = image2_.data();
    im.bytes4 = bytes4_;
    im.bytes2 = bytes2_;
    for (std::size_t c = 0; c < 16; ++c) {
        im.table4[c] = kBoundTable4[c];
        im.table2_lo[c] = kBoundTable2[c & 3];
        im.table2_hi[c] = kBoundTable2[c >> 2];
    }
    return im;
}

}  // namespace kivo::quantize
