// The pruning pass's skip rule with AVX2, eight codes per step: the bounds in
// two four-lane double halves, the norm adjustment and the comparison in
// eight float lanes, and the kept positions written from the compare mask
// (almost every code is skipped). Every lane performs the IEEE operations of
// bound_of and adjusted_of (simd/select_kernel.h) in their order, so the same
// codes are kept as by the portable path.
//
// A screen runs first (simd/select_screen.h): a float32 form of the bound
// with a safe cut rules out whole groups of eight at about a third of the
// cost; a group where any code passes it takes the exact rule.
#include <immintrin.h>

#include "simd/select.h"
#include "simd/select_kernel.h"
#include "simd/select_screen.h"

namespace kivo::simd::avx2 {

namespace {

struct MapLanes {
    __m256d offset4, scale4, offset2, scale2, slack;
    explicit MapLanes(const BoundMap& m)
        : offset4(_mm256_set1_pd(m.offset4)),
          scale4(_mm256_set1_pd(m.scale4)),
          offset2(_mm256_set1_pd(m.offset2)),
          scale2(_mm256_set1_pd(m.scale2)),
          slack(_mm256_set1_pd(m.slack)) {}
};

// bound_of for four codes: ((d4 - offset4) * scale4 + (d2 - offset2) *
// scale2) + slack in double, then rounded to float.
inline __m128 bounds4(const MapLanes& m, __m128i d4, __m128i d2) {
    const __m256d u4 = _mm256_mul_pd(_mm256_sub_pd(_mm256_cvtepi32_pd(d4), m.offset4), m.scale4);
    const __m256d u2 = _mm256_mul_pd(_mm256_sub_pd(_mm256_cvtepi32_pd(d2), m.offset2), m.scale2);
    return _mm256_cvtpd_ps(_mm256_add_pd(_mm256_add_pd(u4, u2), m.slack));
}

inline __m256 bounds8(const MapLanes& m, const int32_t* d4, const int32_t* d2) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d4));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d2));
    const __m128 lo = bounds4(m, _mm256_castsi256_si128(a), _mm256_castsi256_si128(b));
    const __m128 hi = bounds4(m, _mm256_extracti128_si256(a, 1), _mm256_extracti128_si256(b, 1));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
}

// adjusted_of in eight lanes. The cosine test is ordered and quiet, so a
// NaN norm divides by 1, as the scalar comparison leaves it.
template <Adjust M>
inline __m256 adjust8(__m256 raw, const float* norms) {
    if constexpr (M == Adjust::Cosine) {
        const __m256 n = _mm256_loadu_ps(norms);
        const __m256 usable = _mm256_cmp_ps(n, _mm256_set1_ps(1e-9f), _CMP_GT_OQ);
        return _mm256_div_ps(raw, _mm256_blendv_ps(_mm256_set1_ps(1.0f), n, usable));
    } else if constexpr (M == Adjust::L2) {
        const __m256 n = _mm256_loadu_ps(norms);
        return _mm256_add_ps(raw, _mm256_mul_ps(_mm256_mul_ps(n, _mm256_set1_ps(-0.5f)), n));
    } else {
        return raw;
    }
}

struct ScreenLanes {
    __m256i offset4, offset2;
    __m256 scale4, scale2, cut;
    explicit ScreenLanes(const SelectScreen& s)
        : offset4(_mm256_set1_epi32(s.offset4)),
          offset2(_mm256_set1_epi32(s.offset2)),
          scale4(_mm256_set1_ps(s.scale4)),
          scale2(_mm256_set1_ps(s.scale2)),
          cut(_mm256_set1_ps(s.cut)) {}
};

// Whether some code of the eight at d4, d2 may pass the exact rule.
inline bool passes_screen(const ScreenLanes& s, const int32_t* d4, const int32_t* d2) {
    const __m256i a = _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(d4)), s.offset4);
    const __m256i b = _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(d2)), s.offset2);
    const __m256 f = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(a), s.scale4),
                                   _mm256_mul_ps(_mm256_cvtepi32_ps(b), s.scale2));
    return _mm256_movemask_ps(_mm256_cmp_ps(f, s.cut, _CMP_NLT_UQ)) != 0;
}

// span_extreme (simd/select_screen.h) over the whole groups of eight from
// `begin`, the codes the screen tests: the last few codes of a span take the
// exact rule directly, so their norms need not bound the cut.
template <Adjust M>
inline float span_extreme8(const float* norms, std::size_t begin, std::size_t end) {
    if constexpr (M == Adjust::Dot) {
        return 0.0f;
    } else {
        const __m256 one = _mm256_set1_ps(1.0f);
        const __m256 floor = _mm256_set1_ps(1e-9f);
        const __m256 half = _mm256_set1_ps(-0.5f);
        __m256 ext = _mm256_set1_ps(M == Adjust::Cosine ? __builtin_inff() : -__builtin_inff());
        __m256 nan = _mm256_setzero_ps();
        for (std::size_t j = begin; j + 8 <= end; j += 8) {
            const __m256 n = _mm256_loadu_ps(norms + j);
            if constexpr (M == Adjust::Cosine) {
                ext = _mm256_min_ps(ext, _mm256_blendv_ps(one, n, _mm256_cmp_ps(n, floor, _CMP_GT_OQ)));
            } else {
                const __m256 c = _mm256_mul_ps(_mm256_mul_ps(n, half), n);
                nan = _mm256_or_ps(nan, _mm256_cmp_ps(c, c, _CMP_UNORD_Q));
                ext = _mm256_max_ps(ext, c);
            }
        }
        if (_mm256_movemask_ps(nan) != 0) return __builtin_nanf("");
        alignas(32) float lanes[8];
        _mm256_store_ps(lanes, ext);
        float e = lanes[0];
        for (const float x : lanes) {
            if constexpr (M == Adjust::Cosine) {
                e = x < e ? x : e;
            } else {
                e = x > e ? x : e;
            }
        }
        return e;
    }
}

// Positions [begin, end) of the block; codes before `with_norm` take the
// adjustment M, the others none. Appends kept positions to keep.
template <Adjust M>
std::size_t select_span(const BlockSelect& b, const MapLanes& m, std::size_t begin, std::size_t end, bool adjusted,
                        uint32_t* keep) {
    const __m256 w = _mm256_set1_ps(b.weakest);
    const SelectScreen screen =
        end - begin >= 8 ? select_screen(b, adjusted, adjusted ? span_extreme8<M>(b.norms, begin, end) : 0.0f)
                         : SelectScreen{};
    const ScreenLanes lanes(screen);
    std::size_t kept = 0;
    std::size_t j = begin;
    for (; j + 8 <= end; j += 8) {
        if (screen.on && !passes_screen(lanes, b.d4 + j, b.d2 + j)) continue;
        __m256 v = bounds8(m, b.d4 + j, b.d2 + j);
        if (adjusted) v = adjust8<M>(v, b.norms + j);
        // Not less than: true for NaN on either side, as !(a < w).
        unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, w, _CMP_NLT_UQ)));
        while (mask != 0) {
            keep[kept++] = static_cast<uint32_t>(j) + static_cast<uint32_t>(__builtin_ctz(mask));
            mask &= mask - 1;
        }
    }
    return kept + keep_span<M>(b, j, end, adjusted, keep + kept);
}

template <Adjust M>
std::size_t select_all(const BlockSelect& b, uint32_t* keep) {
    const MapLanes m(b.map);
    const std::size_t with_norm = b.with_norm < b.count ? b.with_norm : b.count;
    const std::size_t kept = select_span<M>(b, m, 0, with_norm, true, keep);
    return kept + select_span<M>(b, m, with_norm, b.count, false, keep + kept);
}

}  // namespace

std::size_t select_block(const BlockSelect& block, uint32_t* keep) {
    return with_adjust(block.adjust, [&](auto m) { return select_all<decltype(m)::value>(block, keep); });
}

}  // namespace kivo::simd::avx2
