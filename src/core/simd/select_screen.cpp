// The screen of the skip rule and why it never skips a code the rule keeps.
//
// With e4 = d4 - offset4 and e2 = d2 - offset2 (integers, exact in 32 bits),
// E = e4 * scale4 + e2 * scale2 and P = map.reach >= |e4| scale4 + |e2|
// scale2 (to a relative 2^-50), the screen computes in float32
//   F = fl(fl(fl(e4) * fl(scale4)) + fl(fl(e2) * fl(scale2))).
// With both scales 0 or in [2^-100, 2^100) (no product underflows) and
// P < 2^100 (nothing overflows), each of those six roundings is a relative
// error of at most u = 2^-24 on terms bounded by P: |F - E| <= 4.0001 u P <
// 2^-21 P (plus 2^-125 should a sum be flushed to zero). The bound is
// B = E + slack; bound_of evaluates it in double (|U - B| < 2^-50 (P +
// slack), quantize/bound.cpp) and rounds that to float32 (one more u |U| +
// 2^-150). So every code's float bound satisfies
//   raw <= F + G,  G = slack + 2^-20 (P + slack) + 2^-120.
// The rule skips a code whenever raw < R, with R per adjustment and weakest
// score w:
// - none, or dot: R = w, since the rule is raw < w;
// - cosine, w >= 2^-100: R = w * dmin * (1 - 2^-19), dmin the span's
//   smallest divisor (a norm above 1e-9, else 1, as adjusted_of divides).
//   raw <= 0 gives a result <= 0 < w; for raw > 0, raw / d <= raw / dmin <
//   w (1 - 2^-20) (R is exact to 2^-51), which rounds below the normal w;
// - l2: R = (w - cmax) - 2^-19 (|w| + |cmax|) - 2^-140, cmax the span's
//   largest (norm * -0.5) * norm (finite, none NaN): raw + c <= raw + cmax
//   lies more than eight units in the last place (or 2^-140) below w, which
//   rounding cannot cross (c = -inf gives -inf).
// Other cases (w not finite, a NaN or infinite cmax, scales or offsets out of
// range) are not screened. The cut is R - G, lowered by 2^-40 (|R| + G) for
// its evaluation in double and rounded down to float32: F < cut implies
// raw < R, so the code is skipped.
#include "simd/select_screen.h"

#include <cmath>
#include <limits>

namespace kivo::simd {

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

bool usable_scale(double s) { return s == 0.0 || (s >= 0x1p-100 && s < 0x1p100); }
bool usable_offset(double o) { return o >= -0x1p31 && o < 0x1p31 && o == std::floor(o); }

float round_down_to_float(double x) {
    const double top = std::numeric_limits<float>::max();
    if (!(x >= -top)) return -kInf;
    if (x > top) return std::numeric_limits<float>::max();
    float f = static_cast<float>(x);
    if (static_cast<double>(f) > x) f = std::nextafter(f, -kInf);
    return f;
}

}  // namespace

float span_extreme(const BlockSelect& b, std::size_t begin, std::size_t end) {
    if (b.adjust == Adjust::Cosine) {
        float dmin = kInf;
        for (std::size_t j = begin; j < end; ++j) {
            const float n = b.norms[j];
            const float d = n > 1e-9f ? n : 1.0f;
            dmin = d < dmin ? d : dmin;
        }
        return dmin;
    }
    if (b.adjust == Adjust::L2) {
        float cmax = -kInf;
        for (std::size_t j = begin; j < end; ++j) {
            const float n = b.norms[j];
            const float c = (n * -0.5f) * n;
            if (c != c) return c;
            cmax = c > cmax ? c : cmax;
        }
        return cmax;
    }
    return 0.0f;
}

SelectScreen select_screen(const BlockSelect& b, bool adjusted, float extreme) {
    SelectScreen s;
    const BoundMap& m = b.map;
    const double w = b.weakest;
    if (!std::isfinite(w) || !usable_scale(m.scale4) || !usable_scale(m.scale2) || !usable_offset(m.offset4) ||
        !usable_offset(m.offset2) || !(m.reach >= 0.0 && m.reach < 0x1p100) ||
        !(m.slack >= 0.0 && m.slack < 0x1p100)) {
        return s;
    }
    double r = w;
    if (adjusted && b.adjust == Adjust::Cosine) {
        // extreme: the smallest divisor, in (1e-9, inf].
        if (!(w >= 0x1p-100) || !(extreme > 1e-9f)) return s;
        r = w * static_cast<double>(extreme) * (1.0 - 0x1p-19);
    } else if (adjusted && b.adjust == Adjust::L2) {
        // extreme: the largest norm term; NaN or infinite is not screened.
        if (!std::isfinite(extreme)) return s;
        const double c = extreme;
        r = (w - c) - 0x1p-19 * (std::abs(w) + std::abs(c)) - 0x1p-140;
    }
    const double g = m.slack + 0x1p-20 * (m.reach + m.slack) + 0x1p-120;
    s.on = true;
    s.offset4 = static_cast<int32_t>(m.offset4);
    s.offset2 = static_cast<int32_t>(m.offset2);
    s.scale4 = static_cast<float>(m.scale4);
    s.scale2 = static_cast<float>(m.scale2);
    s.cut = round_down_to_float((r - g) - 0x1p-40 * (std::abs(r) + g));
    return s;
}

}  // namespace kivo::simd
