// Rigorous ranges of HNSW construction scores from any-order dot products
// (simd::dot_rows_fast), so that most comparisons between construction
// scores are settled without the index-order sums; the proof is in
// score_range.cpp.
#pragma once

#include <cstddef>

namespace kivo::search::screen {

// An upper bound on the Euclidean norm of `len` floats whose sum of squares,
// formed in index order in float32 (squares rounded, then added), is
// `sq_sum`. NaN or infinity when sq_sum is.
double norm_bound(float sq_sum, std::size_t len);

// The most by which dot_rows and dot_rows_fast can differ for rows of `len`
// floats whose norms are at most nq and nx; +infinity when either sum could
// overflow (or a norm is not finite).
double dot_gap(std::size_t len, double nq, double nx);

// Floats that hold the exact score fl(d - h) between them, where d is the
// index-order dot product, known to lie within `gap` of the fast one `g`,
// and h a float (0 for dot and cosine). lo > hi never happens; a NaN bound
// or infinite ones decide nothing.
struct ScoreRange {
    float lo;
    float hi;
};
ScoreRange score_range(float g, double gap, float h);

// Whether every value of `a` is strictly greater than every value of `b`,
// and whether none is: settled comparisons of two scores known by range.
inline bool surely_above(ScoreRange a, ScoreRange b) { return a.lo > b.hi; }
inline bool surely_not_above(ScoreRange a, ScoreRange b) { return a.hi <= b.lo; }

}  // namespace kivo::search::screen
