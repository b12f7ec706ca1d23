// Why the ranges of score_range.h hold.
//
// Let T = sum q_i x_i (real), P = sum |q_i x_i|, u = 2^-24 and
// g(m) = m u / (1 - m u). Without overflow, a float32 rounding has relative
// error at most u, or absolute error at most 2^-150 when its result is
// subnormal. dot_rows rounds each product once and adds them in index order
// (n - 1 roundings); dot_rows_fast adds the same products with fused or
// separate operations and at most n + 8 roundings on any product's path.
// The classical bound for a summation tree of height m then gives, for
// either result S,
//     |S - T| <= g(n + 8) P + (2n + 16) 2^-150,
// so the two differ by at most 2 g(n + 8) P + (4n + 32) 2^-150. P is at most
// |q| |x| (Cauchy-Schwarz).
// Overflow: every partial sum of either order is at most (1 + g) P in
// magnitude and every product at most P, so 2 |q| |x| below FLT_MAX rules it
// out; otherwise the gap is infinite and nothing is decided.
// Norms: the stored sums of squares are index-order float32 sums of rounded
// squares, so by the same bound s <= (s~ + (2n + 16) 2^-150) / (1 - g(n + 8)).
// All of this is evaluated in double and widened by a relative 2^-40, far
// more than the few double roundings involved.
// Scores: rounding to nearest is monotone, so d in [lo, hi] gives
// fl(d - h) in [fl(lo - h), fl(hi - h)]. lo - h and hi - h are formed in
// double (widened by 2^-50 of the magnitudes involved, which covers their
// roundings) and then rounded to float, which is monotone again.
#include "search/score_range.h"

#include <cfloat>
#include <cmath>

namespace kivo::search::screen {

namespace {

constexpr double kUnit = 0x1p-24;
constexpr double kWiden = 1.0 + 0x1p-40;

double gamma(std::size_t len) {
    const double m = static_cast<double>(len) + 8.0;
    return m * kUnit / (1.0 - m * kUnit);
}

double underflow_slack(std::size_t len) { return (2.0 * static_cast<double>(len) + 16.0) * 0x1p-150; }

}  // namespace

double norm_bound(float sq_sum, std::size_t len) {
    const double s = (static_cast<double>(sq_sum) + underflow_slack(len)) / (1.0 - gamma(len));
    return std::sqrt(s) * kWiden;
}

double dot_gap(std::size_t len, double nq, double nx) {
    const double p = nq * nx;
    // Also false for NaN.
    if (!(2.0 * p * kWiden < static_cast<double>(FLT_MAX))) return INFINITY;
    return (2.0 * gamma(len) * p + 2.0 * underflow_slack(len)) * kWiden;
}

ScoreRange score_range(float g, double gap, float h) {
    const double gd = g;
    const double hd = h;
    const double slack = 0x1p-50 * (std::fabs(gd) + gap + std::fabs(hd));
    const double lo = gd - gap - hd - slack;
    const double hi = gd + gap - hd + slack;
    return {static_cast<float>(lo), static_cast<float>(hi)};
}

}  // namespace kivo::search::screen
