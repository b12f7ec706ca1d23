// AVX2 + FMA multi-query kernels: each code block is expanded once and scored
// against a group of queries. Every (query, code) result repeats the lanes,
// accumulators and reduction of the single-code kernel in avx2.cpp, so it is
// bit-identical to it; only the expansion work is shared.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/avx2_lanes.h"
#include "simd/kernel_common.h"
#include "simd/kernels.h"

namespace kivo::simd::avx2 {

namespace {

// Queries per group: each keeps one accumulator register, which with the
// tables and the expanded code stays within the sixteen ymm registers.
constexpr std::size_t kQueries = 8;

// One 4-bit code against Q queries. The single-code kernel keeps four
// accumulators (one per 4-byte group of a 16-byte block); they never mix
// before the block loop ends, so they are computed here one group position
// at a time, each with the same sequence of fused multiply-adds, and summed
// as (a0 + a1) + (a2 + a3) afterwards.
template <std::size_t Q>
inline void score_4bit_q(const float* const* q, std::size_t len, const uint8_t* code, float* out,
                         std::size_t out_stride) {
    const Steps4 steps = Steps4::of(len);
    const Expand4 expand;
    __m256 part[4][Q];
    for (std::size_t g = 0; g < 4; ++g) {
        __m256 a[Q];
        for (std::size_t j = 0; j < Q; ++j) a[j] = _mm256_setzero_ps();
        std::size_t t = 0;
        for (; t < steps.full_blocks; ++t) {
            const std::size_t off = 32 * t + 8 * g;
            const __m256 c = expand.lookup(load_u32(code + 16 * t + 4 * g));
            for (std::size_t j = 0; j < Q; ++j) a[j] = _mm256_fmadd_ps(c, _mm256_loadu_ps(q[j] + off), a[j]);
        }
        for (; t < steps.blocks; ++t) {
            const std::size_t off = 32 * t + 8 * g;
            const __m256 c = expand.lookup(load_u32(code + 16 * t + 4 * g));
            for (std::size_t j = 0; j < Q; ++j) a[j] = _mm256_fmadd_ps(c, load_q8(q[j], off, len), a[j]);
        }
        for (std::size_t j = 0; j < Q; ++j) part[g][j] = a[j];
    }
    __m256 acc[Q];
    for (std::size_t j = 0; j < Q; ++j) {
        acc[j] = _mm256_add_ps(_mm256_add_ps(part[0][j], part[1][j]), _mm256_add_ps(part[2][j], part[3][j]));
    }
    for (std::size_t u = 4 * steps.blocks; u < steps.groups; ++u) {
        const __m256 c = expand.lookup(load_u32(code + 4 * u));
        for (std::size_t j = 0; j < Q; ++j) acc[j] = _mm256_fmadd_ps(c, load_q8(q[j], 8 * u, len), acc[j]);
    }
    for (std::size_t j = 0; j < Q; ++j) {
        out[j * out_stride] = tail_4bit(q[j], len, code, 4 * steps.groups, steps.bytes, reduce8(acc[j]));
    }
}

// One 2-bit code against Q queries, in the single-code kernel's order: one
// accumulator per query, two byte pairs per step while both are whole.
template <std::size_t Q>
inline void score_2bit_q(const float* const* q, std::size_t len, const uint8_t* code, float* out,
                         std::size_t out_stride) {
    const Steps2 steps = Steps2::of(len);
    const Expand2 expand;
    __m256 a[Q];
    for (std::size_t j = 0; j < Q; ++j) a[j] = _mm256_setzero_ps();
    std::size_t t = 0;
    for (; t + 2 <= steps.full; t += 2) {
        const __m256i w = _mm256_set1_epi32(static_cast<int>(load_u32(code + 2 * t)));
        const __m256 c0 = expand.first(w);
        const __m256 c1 = expand.second(w);
        for (std::size_t j = 0; j < Q; ++j) {
            a[j] = _mm256_fmadd_ps(c0, _mm256_loadu_ps(q[j] + 8 * t), a[j]);
            a[j] = _mm256_fmadd_ps(c1, _mm256_loadu_ps(q[j] + 8 * t + 8), a[j]);
        }
    }
    for (; t < steps.pairs; ++t) {
        const __m256i w = _mm256_set1_epi32(static_cast<int>(load_u16(code + 2 * t)));
        const __m256 c = expand.first(w);
        for (std::size_t j = 0; j < Q; ++j) a[j] = _mm256_fmadd_ps(c, load_q8(q[j], 8 * t, len), a[j]);
    }
    for (std::size_t j = 0; j < Q; ++j) out[j * out_stride] = tail_2bit(q[j], len, code, steps.bytes, reduce8(a[j]));
}

// Query groups outside, codes inside: a group of queries stays in L1 while
// the caller's chunk of codes streams through once per group.
template <template <std::size_t> class Kernel>
inline void run_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride) {
    std::size_t j = 0;
    for (; j + kQueries <= nq; j += kQueries) {
        for (std::size_t i = 0; i < count; ++i) {
            Kernel<kQueries>::run(queries + j, len, code + i * stride, out + j * out_stride + i, out_stride);
        }
    }
    const std::size_t rest = nq - j;
    for (std::size_t i = 0; i < count && rest != 0; ++i) {
        const uint8_t* c = code + i * stride;
        float* o = out + j * out_stride + i;
        switch (rest) {
            case 1: Kernel<1>::run(queries + j, len, c, o, out_stride); break;
            case 2: Kernel<2>::run(queries + j, len, c, o, out_stride); break;
            case 3: Kernel<3>::run(queries + j, len, c, o, out_stride); break;
            case 4: Kernel<4>::run(queries + j, len, c, o, out_stride); break;
            case 5: Kernel<5>::run(queries + j, len, c, o, out_stride); break;
            case 6: Kernel<6>::run(queries + j, len, c, o, out_stride); break;
            default: Kernel<7>::run(queries + j, len, c, o, out_stride); break;
        }
    }
}

template <std::size_t Q>
struct Multi4 {
    static void run(const float* const* q, std::size_t len, const uint8_t* c, float* out, std::size_t os) {
        score_4bit_q<Q>(q, len, c, out, os);
    }
};

template <std::size_t Q>
struct Multi2 {
    static void run(const float* const* q, std::size_t len, const uint8_t* c, float* out, std::size_t os) {
        score_2bit_q<Q>(q, len, c, out, os);
    }
};

static_assert(kQueries == 8, "run_multi spells out the remainders below eight");

}  // namespace

void score_4bit_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride) {
    run_multi<Multi4>(queries, nq, len, code, stride, count, out, out_stride);
}

void score_2bit_multi(const float* const* queries, std::size_t nq, std::size_t len, const uint8_t* code,
                      std::size_t stride, std::size_t count, float* out, std::size_t out_stride) {
    run_multi<Multi2>(queries, nq, len, code, stride, count, out, out_stride);
}

}  // namespace kivo::simd::avx2
