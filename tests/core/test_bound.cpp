// The pruning bound and its first pass: the vector pass equals the portable
// one, and the bound is never below the exact score of any kernel variant,
// for random and adversarial queries and codes in every coding mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "guarded_buffer.h"
#include "quantize/bound.h"
#include "quantize/pipeline.h"
#include "quantize/scalar.h"
#include "quantize/tables.h"
#include "simd/dispatch.h"
#include "simd/kernels.h"
#include "simd/prune.h"
#include "simd/registry.h"
#include "simd/select.h"
#include "simd/select_screen.h"

namespace kivo::quantize {
namespace {

using namespace kivo::simd;
using SingleFn = float (*)(const float*, std::size_t, const uint8_t*);

// The exact kernels a scan may run: every supported pair of a 4-bit and a
// 2-bit row of the registry.
struct ExactVariant {
    std::string name;
    SingleFn f4;
    SingleFn f2;
};
std::vector<ExactVariant> exact_variants(uint32_t have) {
    std::vector<ExactVariant> out;
    for (const KernelVariant& a : kKernelVariants) {
        for (const KernelVariant& b : kKernelVariants) {
            if (a.bits != 4 || b.bits != 2) continue;
            if ((have & a.required) != a.required || (have & b.required) != b.required) continue;
            out.push_back({std::string(a.name) + "+" + b.name, a.single, b.single});
        }
    }
    return out;
}

// QuantPipeline::score with the given variant.
float exact_score(const ExactVariant& v, const QuantPipeline& p, const float* q, const uint8_t* code) {
    const std::size_t n4 = p.n4_dims(), n2 = p.n2_dims();
    if (n4 == 0) return v.f2(q, n2, code);
    if (n2 == 0) return v.f4(q, n4, code);
    const float s4 = v.f4(q, n4, code);
    const float s2 = v.f2(q + n4, n2, code + p.pb4_per_vec());
    return s2 + s4;
}

QuantPipeline make_pipeline(uint64_t padded, uint64_t n4) {
    vocab::EngineConfig c;
    c.dim = padded;
    c.n4_dims = n4;
    c.bit_width = n4 == 0 ? 2 : 4;
    auto p = QuantPipeline::create(c);
    EXPECT_TRUE(p.has_value());
    return std::move(*p);
}

struct Mode {
    uint64_t padded;
    uint64_t n4;
};
// Pure 4-bit, pure 2-bit and mixed, with lengths that leave every kind of
// partial chunk (and the one-coordinate codes with padding slots).
const Mode kModes[] = {
    {1, 1},     {1, 0},     {2, 2},   {2, 0},     {4, 4},     {4, 0},   {8, 8},    {8, 0},
    {8, 4},     {16, 12},   {32, 32}, {32, 0},    {64, 64},   {64, 0},  {64, 36},  {128, 128},
    {128, 0},   {128, 68},  {256, 0}, {512, 512}, {512, 0},   {512, 128}, {1024, 1024}, {1024, 0},
    {1024, 200},
};

// The centroid of slot i of a code under the pipeline's layout.
float centroid_of(const QuantPipeline& p, const uint8_t* code, std::size_t i) {
    const std::size_t n4 = p.n4_dims();
    if (i < n4) return CENTROIDS_4BIT[(code[i / 2] >> (4 * (i % 2))) & 15];
    const std::size_t k = i - n4;
    return CENTROIDS_2BIT[(code[p.pb4_per_vec() + k / 4] >> (2 * (k % 4))) & 3];
}

void set_slot(const QuantPipeline& p, uint8_t* code, std::size_t i, unsigned value) {
    const std::size_t n4 = p.n4_dims();
    if (i < n4) {
        const unsigned shift = 4 * (i % 2);
        code[i / 2] = static_cast<uint8_t>((code[i / 2] & ~(15u << shift)) | (value << shift));
        return;
    }
    const std::size_t k = i - n4;
    const unsigned shift = 2 * (k % 4);
    uint8_t& b = code[p.pb4_per_vec() + k / 4];
    b = static_cast<uint8_t>((b & ~(3u << shift)) | (value << shift));
}

// Codes that stress the bound for this query: random, every slot at the
// largest centroid of the query's sign (largest exact score), and every slot
// at the code that maximises exact minus approximate contribution (the
// first pass's rounding working fully against it).
std::vector<std::vector<uint8_t>> stress_codes(const QuantPipeline& p, const std::vector<float>& q,
                                               std::mt19937& rng, int qmax4 = kBoundQuery4Max,
                                               int qmax2 = kBoundQueryMax) {
    const std::size_t pb = p.packed_bytes_per_vec();
    const std::size_t n = p.padded_dim();
    std::vector<std::vector<uint8_t>> codes;
    std::uniform_int_distribution<int> byte(0, 255);
    for (int r = 0; r < 6; ++r) {
        std::vector<uint8_t> c(pb);
        for (auto& b : c) b = static_cast<uint8_t>(byte(rng));
        codes.push_back(c);
    }
    double max_abs = 0.0;
    for (float v : q) max_abs = std::max(max_abs, std::abs(static_cast<double>(v)));
    std::vector<uint8_t> aligned(pb, 0), worst(pb, 0), alternating(pb, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const bool in4 = i < p.n4_dims();
        const double a = max_abs > 0 ? max_abs / (in4 ? qmax4 : qmax2) : 1.0;
        const unsigned top = in4 ? 15 : 3;
        set_slot(p, aligned.data(), i, q[i] < 0 ? 0 : top);
        set_slot(p, alternating.data(), i, i % 2 == 0 ? top : 0);
        const double q8 = std::nearbyint(q[i] / a);
        unsigned best = 0;
        double best_gap = -1e300;
        for (unsigned k = 0; k <= top; ++k) {
            const double c = in4 ? CENTROIDS_4BIT[k] : CENTROIDS_2BIT[k];
            const double t = in4 ? kBoundTable4[k] : kBoundTable2[k];
            const double s = in4 ? kBound4Scale : kBound2Scale;
            const double gap = q[i] * c - a * s * q8 * t;
            if (gap > best_gap) best_gap = gap, best = k;
        }
        set_slot(p, worst.data(), i, best);
    }
    codes.push_back(aligned);
    codes.push_back(worst);
    codes.push_back(alternating);
    return codes;
}

struct QueryKind {
    const char* name;
    std::function<float(std::mt19937&, std::size_t)> value;
};

const QueryKind kQueries[] = {
    {"gaussian", [](std::mt19937& r, std::size_t) { return std::normal_distribution<float>(0, 1)(r); }},
    {"tiny", [](std::mt19937& r, std::size_t) { return 1e-20f * std::normal_distribution<float>(0, 1)(r); }},
    {"large", [](std::mt19937& r, std::size_t) { return 1e20f * std::normal_distribution<float>(0, 1)(r); }},
    {"subnormal",
     [](std::mt19937& r, std::size_t) {
         return std::numeric_limits<float>::denorm_min() * std::uniform_int_distribution<int>(-5000, 5000)(r);
     }},
    {"magnitudes 2^-60..2^60",
     [](std::mt19937& r, std::size_t) {
         const float m = std::ldexp(1.0f, std::uniform_int_distribution<int>(-60, 60)(r));
         return std::uniform_int_distribution<int>(0, 1)(r) ? m : -m;
     }},
    {"cancellation",
     [](std::mt19937& r, std::size_t i) {
         // Large equal and opposite pairs around small values.
         const float big = 1e6f;
         return (i % 4 == 0) ? big : (i % 4 == 1) ? -big : 1e-3f * std::normal_distribution<float>(0, 1)(r);
     }},
    {"one spike",
     [](std::mt19937& r, std::size_t i) {
         return i == 0 ? 3e4f : 1e-4f * std::normal_distribution<float>(0, 1)(r);
     }},
    {"half steps",
     [](std::mt19937&, std::size_t i) {
         // Values on the rounding midpoints of the 2-bit block's magnitude
         // image: max 255, others k + 0.5.
         return i == 0 ? 255.0f : static_cast<float>(i % 255) + 0.5f;
     }},
    {"half steps, 7-bit",
     [](std::mt19937&, std::size_t i) {
         // The same for the 4-bit block's image: max 127.
         return i == 0 ? 127.0f : static_cast<float>(i % 127) + 0.5f;
     }},
    {"integers", [](std::mt19937& r, std::size_t) { return float(std::uniform_int_distribution<int>(-3, 3)(r)); }},
    {"zero", [](std::mt19937&, std::size_t) { return 0.0f; }},
};

// The two images of a query: one at a time (magnitudes and signs), and
// signed bytes for a group sharing each code's expansion.
struct ImageKind {
    const char* name;
    BoundImage kind;
    int qmax4;  // largest image value in the 4-bit block
    int qmax2;  // and in the 2-bit block
};
const ImageKind kImageKinds[] = {{"magnitude", BoundImage::Magnitude, kBoundQuery4Max, kBoundQueryMax},
                                 {"signed", BoundImage::Signed, kSignedQueryMax, kSignedQueryMax}};

// The first-pass sums of `count` codes at codes + i * stride for one bound,
// through the pass its image is made for: the single-query pass, or the
// group pass with the query at position `slot` of a group of `others` + 1
// (the other members are copies, so every row must be the same).
void first_pass(const PruneVariant& pv, const ScoreBound& b, const uint8_t* codes, std::size_t stride,
                std::size_t count, int32_t* d4, int32_t* d2, std::size_t others = 0) {
    if (b.kind() == BoundImage::Magnitude) {
        pv.dots(b.image(), codes, stride, count, d4, d2, 0);
        return;
    }
    const std::size_t nq = others + 1;
    std::vector<const int8_t*> im4(nq, b.signed_image4()), im2(nq, b.signed_image2());
    const PruneGroup g = ScoreBound::group(im4.data(), im2.data(), nq, b.bytes4(), b.bytes2());
    std::vector<int32_t> o4(nq * count + 1), o2(nq * count + 1);
    pv.dots_multi(g, codes, stride, count, o4.data(), o2.data(), count);
    for (std::size_t j = 1; j < nq; ++j) {
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(o4[j * count + i], o4[i]) << "group row " << j;
            ASSERT_EQ(o2[j * count + i], o2[i]) << "group row " << j;
        }
    }
    std::copy_n(o4.begin(), count, d4);
    std::copy_n(o2.begin(), count, d2);
}

TEST(PruneBound, TablesAreMirroredAndFitTheSixteenBitPairSums) {
    for (int c = 0; c < 16; ++c) EXPECT_EQ(kBoundTable4[15 - c], -kBoundTable4[c]);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(kBoundTable2[3 - c], -kBoundTable2[c]);
    int max4 = 0, max2 = 0;
    for (int8_t t : kBoundTable4) max4 = std::max(max4, std::abs(int{t}));
    for (int8_t t : kBoundTable2) max2 = std::max(max2, std::abs(int{t}));
    EXPECT_LE(4 * kBoundQuery4Max * max4, 32767);
    EXPECT_LE(8 * kBoundQueryMax * max2, 32767);
    // The signed pass's offset tables: non-negative bytes within the same limits.
    const PruneGroup g = ScoreBound::group(nullptr, nullptr, 0, 0, 0);
    for (int c = 0; c < 16; ++c) {
        EXPECT_EQ(g.table4[c], kBoundTable4[c] + kSignedOffset4);
        EXPECT_EQ(g.table2_lo[c], kBoundTable2[c & 3] + kSignedOffset2);
        EXPECT_EQ(g.table2_hi[c], kBoundTable2[c >> 2] + kSignedOffset2);
        EXPECT_LE(4 * kSignedQueryMax * g.table4[c], 32767);
        EXPECT_LE(8 * kSignedQueryMax * g.table2_lo[c], 32767);
    }
    EXPECT_EQ(kSignedOffset4, max4);
    EXPECT_EQ(kSignedOffset2, max2);
}

// For every image, mode, query kind and stress code: every variant's first
// pass equals the portable one, and the bound is at or above every exact
// kernel variant's score.
TEST(PruneBound, NeverBelowTheExactScoreOfAnyVariant) {
    std::mt19937 rng(7);
    const uint32_t have = features();
    const std::vector<ExactVariant> variants = exact_variants(have);
    const PruneVariant& reference = kPruneVariants[std::size(kPruneVariants) - 1];
    ASSERT_EQ(reference.variant, Variant::Portable);
    std::size_t checked = 0;
    for (const ImageKind& image : kImageKinds) {
        for (const Mode& m : kModes) {
            const QuantPipeline p = make_pipeline(m.padded, m.n4);
            const std::size_t pb = p.packed_bytes_per_vec();
            for (const QueryKind& kind : kQueries) {
                for (int rep = 0; rep < 3; ++rep) {
                    SCOPED_TRACE(std::string(image.name) + " " + kind.name + " padded " + std::to_string(m.padded) +
                                 " n4 " + std::to_string(m.n4));
                    std::vector<float> q(m.padded);
                    for (std::size_t i = 0; i < q.size(); ++i) q[i] = kind.value(rng, i);
                    const auto bound = ScoreBound::create(p, q, image.kind);
                    ASSERT_TRUE(bound.has_value());
                    const auto codes = stress_codes(p, q, rng, image.qmax4, image.qmax2);
                    std::vector<uint8_t> flat;
                    for (const auto& c : codes) flat.insert(flat.end(), c.begin(), c.end());
                    std::vector<int32_t> d4(codes.size()), d2(codes.size()), e4(codes.size()), e2(codes.size());
                    first_pass(reference, *bound, flat.data(), pb, codes.size(), d4.data(), d2.data());
                    for (const PruneVariant& pv : kPruneVariants) {
                        if ((have & pv.required) != pv.required) continue;
                        first_pass(pv, *bound, flat.data(), pb, codes.size(), e4.data(), e2.data(), rep);
                        EXPECT_EQ(d4, e4) << pv.name;
                        EXPECT_EQ(d2, e2) << pv.name;
                    }
                    for (std::size_t c = 0; c < codes.size(); ++c) {
                        const float upper = bound->raw_upper(d4[c], d2[c]);
                        for (const ExactVariant& v : variants) {
                            const float s = exact_score(v, p, q.data(), codes[c].data());
                            ASSERT_TRUE(std::isfinite(s));
                            ASSERT_GE(upper, s) << v.name << " code " << c;
                            ++checked;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(checked, 1000u);
    EXPECT_FALSE(variants.empty());
}

// The first pass itself: with its image's offsets removed, the integer sum
// is the signed dot product of the query image with the integer codebook,
// checked against a direct sum, for both images.
TEST(PruneBound, FirstPassIsTheSignedIntegerDotProduct) {
    std::mt19937 rng(11);
    for (const ImageKind& image : kImageKinds) {
        for (const Mode& m : kModes) {
            const QuantPipeline p = make_pipeline(m.padded, m.n4);
            std::vector<float> q(m.padded);
            for (auto& v : q) v = std::normal_distribution<float>(0, 1)(rng);
            const auto bound = ScoreBound::create(p, q, image.kind);
            ASSERT_TRUE(bound.has_value());
            const auto codes = stress_codes(p, q, rng, image.qmax4, image.qmax2);
            double max_abs = 0.0;
            for (float v : q) max_abs = std::max(max_abs, std::abs(static_cast<double>(v)));
            const bool is_signed = image.kind == BoundImage::Signed;
            for (const auto& code : codes) {
                int64_t want4 = 0, want2 = 0;
                for (std::size_t i = 0; i < m.padded; ++i) {
                    const double a = max_abs / (i < m.n4 ? image.qmax4 : image.qmax2);
                    const int64_t q8 = static_cast<int64_t>(std::nearbyint(q[i] / a));
                    const float c = centroid_of(p, code.data(), i);
                    int idx = 0;
                    if (i < m.n4) {
                        while (CENTROIDS_4BIT[idx] != c) ++idx;
                        want4 += q8 * (kBoundTable4[idx] + (is_signed ? kSignedOffset4 : 0));
                    } else {
                        while (CENTROIDS_2BIT[idx] != c) ++idx;
                        want2 += q8 * (kBoundTable2[idx] + (is_signed ? kSignedOffset2 : 0));
                    }
                }
                int32_t d4 = 0, d2 = 0;
                first_pass(select_prune(features()), *bound, code.data(), code.size(), 1, &d4, &d2);
                EXPECT_EQ(d4, want4) << image.name << " padded " << m.padded << " n4 " << m.n4;
                EXPECT_EQ(d2, want2) << image.name << " padded " << m.padded << " n4 " << m.n4;
            }
        }
    }
}

// Long runs of codes through the vector passes, whose groups and tails
// (of codes, and of queries for the group pass) must agree with the portable
// passes for every count; the codes end right before an inaccessible page.
// Counts reach past two groups of eight codes whose sums are reduced together.
TEST(PruneBound, VectorPassMatchesPortableForEveryCount) {
    if (!prune_available(features())) GTEST_SKIP() << "no AVX2";
    std::vector<PruneVariant> rows;
    for (const PruneVariant& pv : kPruneVariants) {
        if ((features() & pv.required) == pv.required) rows.push_back(pv);
    }
    std::mt19937 rng(3);
    for (const Mode& m : {Mode{64, 36}, Mode{512, 0}, Mode{256, 256}, Mode{8, 4}}) {
        const QuantPipeline p = make_pipeline(m.padded, m.n4);
        const std::size_t pb = p.packed_bytes_per_vec();
        std::vector<ScoreBound> signed_bounds;
        std::vector<const int8_t*> im4, im2;
        for (int j = 0; j < 13; ++j) {
            std::vector<float> q(m.padded);
            for (auto& v : q) v = std::normal_distribution<float>(0, 2)(rng);
            signed_bounds.push_back(*ScoreBound::create(p, q, BoundImage::Signed));
        }
        for (const ScoreBound& b : signed_bounds) {
            im4.push_back(b.signed_image4());
            im2.push_back(b.signed_image2());
        }
        std::vector<float> q(m.padded);
        for (auto& v : q) v = std::normal_distribution<float>(0, 2)(rng);
        const auto bound = ScoreBound::create(p, q);
        for (std::size_t count = 0; count < 19; ++count) {
            SCOPED_TRACE("padded " + std::to_string(m.padded) + " n4 " + std::to_string(m.n4) + " count " +
                         std::to_string(count));
            testing::GuardedBuffer guarded(count * pb);
            ASSERT_TRUE(guarded.ok());
            auto* codes = static_cast<uint8_t*>(guarded.data());
            for (std::size_t i = 0; i < count * pb; ++i) codes[i] = static_cast<uint8_t>(rng());
            std::vector<int32_t> a4(count + 1), a2(count + 1), b4(count + 1), b2(count + 1);
            portable::approx_dots(bound->image(), codes, pb, count, a4.data(), a2.data(), 0);
            // The same codes gathered in reverse order, each read in place.
            std::vector<const uint8_t*> gathered(count);
            for (std::size_t i = 0; i < count; ++i) gathered[i] = codes + (count - 1 - i) * pb;
            for (const PruneVariant& pv : rows) {
                // Prefetching far past the codes (into the guard page and beyond) changes nothing.
                for (const std::size_t ahead : {std::size_t{0}, std::size_t{4096}}) {
                    if (pv.variant == Variant::Portable) break;  // the reference itself
                    b4.assign(count + 1, 0);
                    b2.assign(count + 1, 0);
                    pv.dots(bound->image(), codes, pb, count, b4.data(), b2.data(), ahead);
                    EXPECT_EQ(a4, b4) << pv.name << " ahead " << ahead;
                    EXPECT_EQ(a2, b2) << pv.name << " ahead " << ahead;
                }
                std::vector<int32_t> g4(count + 1), g2(count + 1);
                pv.dots_gather(bound->image(), gathered.data(), count, g4.data(), g2.data());
                for (std::size_t i = 0; i < count; ++i) {
                    EXPECT_EQ(g4[i], a4[count - 1 - i]) << pv.name << " gathered " << i;
                    EXPECT_EQ(g2[i], a2[count - 1 - i]) << pv.name << " gathered " << i;
                }
            }
            for (std::size_t nq = 1; nq <= im4.size(); ++nq) {
                const PruneGroup g = ScoreBound::group(im4.data(), im2.data(), nq, signed_bounds[0].bytes4(),
                                                       signed_bounds[0].bytes2());
                // Rows of the output wider than the count, as a scan's chunk leaves them.
                const std::size_t stride = count + 3;
                std::vector<int32_t> m4(nq * stride, -1), m2(nq * stride, -1), n4(nq * stride, -1),
                    n2(nq * stride, -1);
                portable::approx_dots_multi(g, codes, pb, count, m4.data(), m2.data(), stride);
                avx2::approx_dots_multi(g, codes, pb, count, n4.data(), n2.data(), stride);
                EXPECT_EQ(m4, n4) << "queries " << nq;
                EXPECT_EQ(m2, n2) << "queries " << nq;
            }
        }
    }
}

TEST(PruneBound, QueriesThatCannotBeBoundedAreRefused) {
    const QuantPipeline p = make_pipeline(64, 64);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* name;
        float value;
        bool bounded;
    } cases[] = {
        {"finite", 1.0f, true},
        {"NaN", nan, false},
        {"+inf", inf, false},
        {"-inf", -inf, false},
        {"near float max", 3e38f, false},
        {"sums beyond 2^100", 1e30f, false},
    };
    for (const auto& c : cases) {
        std::vector<float> q(64, 0.5f);
        q[17] = c.value;
        EXPECT_EQ(ScoreBound::create(p, q).has_value(), c.bounded) << c.name;
    }
    // A query of the wrong length is never bounded.
    EXPECT_FALSE(ScoreBound::create(p, std::vector<float>(32, 1.0f)).has_value());
}

// The block form of the skip rule keeps, in every variant, exactly the codes
// the one-code rule keeps: adjust_score(raw_upper(d4, d2), norm) not below
// the weakest score. Blocks cross the 256-code piece and the eight-lane
// tail; norms and weakest scores include zero, the 1e-9 cosine threshold,
// negatives, subnormals, infinities and NaN.
// A block of the skip rule over whole vectors of sums and norms.
BlockSelect block_of(const std::vector<int32_t>& d4, const std::vector<int32_t>& d2, const std::vector<float>& norms,
                     std::size_t with_norm, Adjust adjust, const BoundMap& map, float weakest) {
    BlockSelect b;
    b.d4 = d4.data();
    b.d2 = d2.data();
    b.count = d4.size();
    b.norms = norms.data();
    b.with_norm = with_norm;
    b.adjust = adjust;
    b.map = map;
    b.weakest = weakest;
    return b;
}

TEST(PruneBound, BlockSelectKeepsWhatTheOneCodeRuleKeeps) {
    std::mt19937 rng(77);
    const QuantPipeline p = make_pipeline(512, 256);
    std::vector<float> q(512);
    for (auto& v : q) v = std::normal_distribution<float>(0, 1)(rng);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float odd_norms[] = {0.0f, -0.0f, 1e-9f, std::nextafter(1e-9f, 1.0f), -2.0f, 1e-40f, inf, nan, 1e30f};
    const float weakests[] = {0.0f, 0.3f, -0.2f, 5.0f, -inf, inf, nan};
    struct Variant {
        const char* name;
        std::function<std::size_t(const BlockSelect&, uint32_t*)> fn;
    };
    std::vector<Variant> variants{{"portable", select_block_portable}};
    if ((features() & (kAvx2 | kFma)) == (kAvx2 | kFma)) variants.push_back({"avx2", avx2::select_block});
    variants.push_back({"dispatch", [](const BlockSelect& b, uint32_t* k) { return select_block(b, k, features()); }});
    for (BoundImage kind : {BoundImage::Magnitude, BoundImage::Signed}) {
        const ScoreBound bound = *ScoreBound::create(p, q, kind);
        for (vocab::Metric metric : {vocab::Metric::Cosine, vocab::Metric::Dot, vocab::Metric::L2}) {
            for (std::size_t count : {0u, 1u, 7u, 8u, 9u, 255u, 256u, 257u, 600u}) {
                std::vector<int32_t> d4(count), d2(count);
                std::vector<float> norms(count);
                for (std::size_t i = 0; i < count; ++i) {
                    d4[i] = static_cast<int32_t>(rng() % 400001) - 200000;
                    d2[i] = static_cast<int32_t>(rng() % 40001) - 20000;
                    norms[i] = rng() % 5 == 0 ? odd_norms[rng() % std::size(odd_norms)]
                                              : std::uniform_real_distribution<float>(0.2f, 3.0f)(rng);
                }
                // Also weakest scores among the block's own bounds, plain and
                // as divided by the smallest norm cosine divides by.
                std::vector<float> block_weakests(std::begin(weakests), std::end(weakests));
                for (std::size_t j = 0; j < std::min<std::size_t>(count, 3); ++j) {
                    block_weakests.push_back(bound.raw_upper(d4[j], d2[j]));
                    block_weakests.push_back(bound.raw_upper(d4[j], d2[j]) / std::nextafter(1e-9f, 1.0f));
                }
                for (float weakest : block_weakests) {
                    const std::size_t with_norm = count == 0 ? 0 : rng() % (count + 1);
                    std::vector<uint32_t> want;
                    for (std::size_t j = 0; j < count; ++j) {
                        const float raw = bound.raw_upper(d4[j], d2[j]);
                        const float adjusted = j < with_norm ? adjust_score(metric, raw, norms[j]) : raw;
                        if (!(adjusted < weakest)) want.push_back(static_cast<uint32_t>(j));
                    }
                    const Adjust adjust = metric == vocab::Metric::Cosine ? Adjust::Cosine
                                          : metric == vocab::Metric::Dot  ? Adjust::Dot
                                                                          : Adjust::L2;
                    const BlockSelect b = block_of(d4, d2, norms, with_norm, adjust, bound.map(), weakest);
                    for (const Variant& v : variants) {
                        std::vector<uint32_t> got(count + 1, 0xDEADBEEF);
                        got.resize(v.fn(b, got.data()));
                        EXPECT_EQ(got, want) << v.name << " count " << count << " with_norm " << with_norm
                                             << " weakest " << weakest << " metric " << static_cast<int>(metric);
                    }
                }
            }
        }
    }
}

// The screen's float32 value of a code, as the vector variants compute it.
float screen_value(const SelectScreen& s, int32_t d4, int32_t d2) {
    const float a = static_cast<float>(static_cast<int32_t>(static_cast<uint32_t>(d4) - static_cast<uint32_t>(s.offset4)));
    const float b = static_cast<float>(static_cast<int32_t>(static_cast<uint32_t>(d2) - static_cast<uint32_t>(s.offset2)));
    const float pa = a * s.scale4;
    const float pb = b * s.scale2;
    return pa + pb;
}

// The screen never rules out a code the one-code rule keeps, right at its cut
// as well as far from it, and it is close enough to the rule to skip almost
// everything the rule skips. Codes near the cut are found by bisection over
// d4 (the screen and the rule both grow with d4).
TEST(PruneBound, ScreenNeverCutsACodeTheRuleKeeps) {
    std::mt19937 rng(91);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Mode {
        uint64_t padded, n4;
    };
    for (const Mode mode : {Mode{512, 512}, Mode{512, 256}, Mode{256, 0}}) {
        const QuantPipeline p = make_pipeline(mode.padded, mode.n4);
        for (BoundImage kind : {BoundImage::Magnitude, BoundImage::Signed}) {
            for (const double scale : {1.0, 1e-12, 1e12}) {
                std::vector<float> q(mode.padded);
                for (auto& v : q) v = static_cast<float>(std::normal_distribution<double>(0, 1)(rng) * scale);
                const ScoreBound bound = *ScoreBound::create(p, q, kind);
                for (const Adjust adjust : {Adjust::Cosine, Adjust::Dot, Adjust::L2}) {
                    for (const bool odd_norms : {false, true}) {
                        constexpr std::size_t kCount = 64;
                        std::vector<int32_t> d4(kCount), d2(kCount);
                        std::vector<float> norms(kCount);
                        for (std::size_t j = 0; j < kCount; ++j) {
                            d4[j] = static_cast<int32_t>(rng() % 400001) - 200000;
                            d2[j] = static_cast<int32_t>(rng() % 40001) - 20000;
                            norms[j] = std::uniform_real_distribution<float>(0.2f, 3.0f)(rng);
                        }
                        if (odd_norms) {
                            const float odd[] = {0.0f, 1e-9f, 1e-40f, inf, 1e30f, -2.0f, nan};
                            for (std::size_t j = 0; j < std::size(odd); ++j) norms[3 * j] = odd[j];
                        }
                        const auto rule = [&](std::size_t j, int32_t a, float w) {
                            const float raw = bound.raw_upper(a, d2[j]);
                            return !(adjust_score(adjust == Adjust::Cosine ? vocab::Metric::Cosine
                                                  : adjust == Adjust::Dot  ? vocab::Metric::Dot
                                                                           : vocab::Metric::L2,
                                                  raw, norms[j]) < w);
                        };
                        std::vector<float> weakests = {0.0f, -1.0f, 1e-30f, inf, -inf, nan};
                        for (std::size_t j = 0; j < 4; ++j) {
                            const float raw = bound.raw_upper(d4[j], d2[j]);
                            for (const float w : {raw, raw / norms[j], raw - 0.5f * norms[j] * norms[j]}) {
                                weakests.push_back(w);
                                weakests.push_back(std::nextafter(w, inf));
                                weakests.push_back(std::nextafter(w, -inf));
                            }
                        }
                        for (const float w : weakests) {
                            const BlockSelect b = block_of(d4, d2, norms, kCount, adjust, bound.map(), w);
                            const SelectScreen s = select_screen(b, true, span_extreme(b, 0, kCount));
                            // Screened whenever the proof allows it.
                            const bool expect_on = std::isfinite(w) && !(adjust == Adjust::L2 && odd_norms) &&
                                                   !(adjust == Adjust::Cosine && !(w >= 0x1p-100f));
                            EXPECT_EQ(s.on, expect_on) << "w " << w;
                            if (!s.on) continue;
                            for (std::size_t j = 0; j < kCount; ++j) {
                                const auto cut = [&](int32_t a) { return screen_value(s, a, d2[j]) < s.cut; };
                                if (cut(d4[j])) {
                                    EXPECT_FALSE(rule(j, d4[j], w)) << "code " << j << " w " << w;
                                }
                                // The largest d4 the screen still cuts, and its neighbours.
                                int64_t lo = -(int64_t{1} << 30), hi = int64_t{1} << 30;
                                if (!cut(static_cast<int32_t>(lo)) || cut(static_cast<int32_t>(hi))) continue;
                                while (hi - lo > 1) {
                                    const int64_t mid = (lo + hi) / 2;
                                    (cut(static_cast<int32_t>(mid)) ? lo : hi) = mid;
                                }
                                for (int64_t a = lo - 2; a <= lo + 2; ++a) {
                                    if (cut(static_cast<int32_t>(a))) {
                                        EXPECT_FALSE(rule(j, static_cast<int32_t>(a), w))
                                            << "code " << j << " d4 " << a << " w " << w;
                                    }
                                }
                                // Tight where the cut does not stand for a whole span of
                                // norms (dot): the rule keeps codes a little above it.
                                if (adjust == Adjust::Dot && mode.n4 > 0) {
                                    const auto ahead = static_cast<int32_t>(lo + 1 + (int64_t{1} << 12));
                                    EXPECT_TRUE(rule(j, ahead, w)) << "loose screen: code " << j << " w " << w;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace kivo::quantize
