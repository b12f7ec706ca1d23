// The screening ranges of HNSW construction scores: the any-order dot
// products of every variant lie within the stated gap of the index-order
// ones, and the score ranges hold the exact scores, on random and
// adversarial rows.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "search/hnsw.h"
#include "search/score_range.h"
#include "simd/dispatch.h"
#include "simd/dot_rows.h"

namespace kivo::search {
namespace {

using vocab::Metric;
using FastFn = std::function<void(const float*, std::size_t, const float* const*, std::size_t, float*)>;

std::vector<std::pair<std::string, FastFn>> fast_variants() {
    const uint32_t features = simd::features();
    std::vector<std::pair<std::string, FastFn>> out{{"portable", simd::dot_rows_fast_portable}};
    if ((features & (simd::kAvx2 | simd::kFma)) == (simd::kAvx2 | simd::kFma)) {
        out.emplace_back("avx2", simd::avx2::dot_rows_fast);
    }
    out.emplace_back("dispatch", [features](const float* q, std::size_t len, const float* const* rows,
                                            std::size_t count, float* o) {
        simd::dot_rows_fast(q, len, rows, count, o, features);
    });
    return out;
}

float index_order_sq(const std::vector<float>& x) {
    float acc = 0.0f;
    for (float v : x) {
        const float p = v * v;
        acc = acc + p;
    }
    return acc;
}

// Rows drawn in one of several regimes, the ones that stress a rounding
// bound: wide magnitudes, cancellation, subnormal products, sums where index
// order loses every small term, and products near overflow.
enum class Regime { Normal, WideMagnitudes, Cancelling, Subnormal, LostTerms, NearOverflow };

std::vector<float> draw(Regime regime, std::size_t len, std::mt19937& rng, bool query) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::vector<float> x(len);
    for (std::size_t i = 0; i < len; ++i) {
        switch (regime) {
            case Regime::Normal: x[i] = normal(rng); break;
            case Regime::WideMagnitudes: x[i] = std::ldexp(normal(rng), exponent(rng)); break;
            case Regime::Cancelling:
                // Large terms of alternating sign that cancel, with small ones between.
                x[i] = query ? 1.0f : (i % 3 == 2 ? normal(rng) * 1e-3f : (i % 2 == 0 ? 1e7f : -1e7f));
                break;
            case Regime::Subnormal: x[i] = normal(rng) * 1e-22f; break;
            case Regime::LostTerms: x[i] = query ? 1.0f : (i == 0 ? 1.0f : 0x1p-25f); break;
            case Regime::NearOverflow: x[i] = normal(rng) * 1e18f; break;
        }
    }
    return x;
}

// For every regime, length and variant: wherever the gap is finite, the
// index-order sum lies within it of the fast one and the score range of
// fl(d - h) holds the exact score, for h = 0 and the l2 term.
TEST(ScoreRange, FastDotsStayWithinTheGapOfTheIndexOrderSums) {
    std::mt19937 rng(31);
    const auto variants = fast_variants();
    std::size_t finite_gaps = 0;
    for (Regime regime : {Regime::Normal, Regime::WideMagnitudes, Regime::Cancelling, Regime::Subnormal,
                          Regime::LostTerms, Regime::NearOverflow}) {
        for (std::size_t len : {0u, 1u, 3u, 7u, 8u, 9u, 33u, 384u, 512u, 1000u}) {
            const std::vector<float> q = draw(regime, len, rng, true);
            std::vector<std::vector<float>> data;
            for (int r = 0; r < 13; ++r) data.push_back(draw(regime, len, rng, false));
            std::vector<const float*> rows;
            for (const auto& row : data) rows.push_back(row.data());
            const double nq = screen::norm_bound(index_order_sq(q), len);
            for (const auto& [name, fn] : variants) {
                std::vector<float> fast(rows.size());
                fn(q.data(), len, rows.data(), rows.size(), fast.data());
                for (std::size_t r = 0; r < rows.size(); ++r) {
                    const float sq = index_order_sq(data[r]);
                    const float d = Hnsw::construction_score(q, data[r], Metric::Dot);
                    const double gap = screen::dot_gap(len, nq, screen::norm_bound(sq, len));
                    if (!std::isfinite(gap)) {
                        EXPECT_EQ(regime, Regime::NearOverflow) << name << " len " << len;
                        continue;
                    }
                    ++finite_gaps;
                    ASSERT_TRUE(std::isfinite(d));
                    EXPECT_LE(std::fabs(static_cast<double>(d) - fast[r]), gap)
                        << name << " len " << len << " row " << r;
                    for (float h : {0.0f, 0.5f * sq}) {
                        const float exact = d - h;
                        const screen::ScoreRange range = screen::score_range(fast[r], gap, h);
                        EXPECT_LE(range.lo, exact) << name << " len " << len << " row " << r << " h " << h;
                        EXPECT_GE(range.hi, exact) << name << " len " << len << " row " << r << " h " << h;
                    }
                }
            }
        }
    }
    EXPECT_GT(finite_gaps, 1000u);
}

// Index order keeps 1 and drops every 2^-25 after it, while the exact sum
// exceeds 1 by (n - 1) 2^-25: the gap must cover the whole loss.
TEST(ScoreRange, GapCoversTheTermsIndexOrderLoses) {
    const std::size_t len = 4096;
    std::vector<float> q(len, 1.0f);
    std::vector<float> x(len, 0x1p-25f);
    x[0] = 1.0f;
    const float d = Hnsw::construction_score(q, x, Metric::Dot);
    EXPECT_EQ(d, 1.0f);
    const double exact = 1.0 + static_cast<double>(len - 1) * 0x1p-25;
    const double gap = screen::dot_gap(len, screen::norm_bound(index_order_sq(q), len),
                                       screen::norm_bound(index_order_sq(x), len));
    EXPECT_GE(gap, exact - d);
    // Any sum of these products lies within the gap of the index-order one.
    EXPECT_LE(exact - d, gap);
    const screen::ScoreRange around_exact = screen::score_range(static_cast<float>(exact), gap, 0.0f);
    EXPECT_LE(around_exact.lo, d);
}

// Ranges decide a comparison only when they do not meet; NaN and infinite
// bounds decide nothing, and nothing overflowing is given a finite gap.
TEST(ScoreRange, UnsettledComparisonsStayUnsettled) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        screen::ScoreRange a, b;
        bool above, not_above;
    };
    const Case cases[] = {
        {{2.0f, 3.0f}, {0.0f, 1.0f}, true, false},
        {{0.0f, 1.0f}, {2.0f, 3.0f}, false, true},
        {{0.0f, 1.0f}, {1.0f, 2.0f}, false, true},  // a <= b when they touch
        {{0.0f, 2.0f}, {1.0f, 3.0f}, false, false},
        {{nan, nan}, {0.0f, 1.0f}, false, false},
        {{0.0f, 1.0f}, {nan, nan}, false, false},
        {{-inf, inf}, {0.0f, 1.0f}, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(screen::surely_above(c.a, c.b), c.above) << c.a.lo << " " << c.a.hi;
        EXPECT_EQ(screen::surely_not_above(c.a, c.b), c.not_above) << c.a.lo << " " << c.a.hi;
    }
    EXPECT_TRUE(std::isinf(screen::dot_gap(8, 1e20, 1e20)));
    EXPECT_TRUE(std::isinf(screen::dot_gap(8, screen::norm_bound(nan, 8), 1.0)));
    EXPECT_TRUE(std::isinf(screen::dot_gap(8, screen::norm_bound(inf, 8), 1.0)));
    const screen::ScoreRange unknown = screen::score_range(1.0f, INFINITY, 0.0f);
    EXPECT_FALSE(screen::surely_above(unknown, {0.0f, 0.0f}));
    EXPECT_FALSE(screen::surely_not_above(unknown, {0.0f, 0.0f}));
}

}  // namespace
}  // namespace kivo::search
