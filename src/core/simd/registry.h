// The scoring kernel variants in one table, in priority order: dispatch takes
// the first row of the wanted code width whose required processor features are
// all present, and the kernel tests run every row the processor supports. A
// new variant is one kernel file and one row here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "simd/dispatch.h"
#include "simd/kernels.h"
#include "simd/prune.h"

namespace kivo::simd {

struct KernelVariant {
    const char* name;
    Variant variant;
    uint8_t bits;       // code width: 2 or 4
    uint32_t required;  // Feature bits that must all be present
    ScoreFn* single;
    ScoreBatchFn* batch;
    ScoreGatherFn* gather;
    // Multi-query form, bit-identical to `single` per (query, code); null
    // where the variant has none (its batch then runs once per query).
    ScoreMultiFn* multi;
};

// One table for the whole program (inline), so a row's address names the row
// in every translation unit; each includer's compiler still sees the rows as
// constants.
inline constexpr KernelVariant kKernelVariants[] = {
    {"avx512_4bit", Variant::Avx512, 4, kAvx512F | kAvx512Bw, avx512::score_4bit, avx512::score_4bit_batch,
     avx512::score_4bit_gather, nullptr},
    {"avx2_4bit", Variant::Avx2, 4, kAvx2 | kFma, avx2::score_4bit, avx2::score_4bit_batch, avx2::score_4bit_gather,
     avx2::score_4bit_multi},
    {"portable_4bit", Variant::Portable, 4, 0, portable::score_4bit, portable::score_4bit_batch,
     portable::score_4bit_gather, nullptr},
    {"avx2_2bit", Variant::Avx2, 2, kAvx2 | kFma, avx2::score_2bit, avx2::score_2bit_batch, avx2::score_2bit_gather,
     avx2::score_2bit_multi},
    {"portable_2bit", Variant::Portable, 2, 0, portable::score_2bit, portable::score_2bit_batch,
     portable::score_2bit_gather, nullptr},
};

// The first row for `bits` (2 or 4) that `feature_word` supports.
constexpr const KernelVariant& select_kernel(uint8_t bits, uint32_t feature_word) {
    for (const KernelVariant& v : kKernelVariants) {
        if (v.bits == bits && (feature_word & v.required) == v.required) return v;
    }
    // The portable rows require nothing: every supported width matches one.
    __builtin_unreachable();
}

// The same walk unrolled at compile time for the hot entry points: calls
// `call(row_index)` (a std::integral_constant) for the first row of width
// Bits that `feature_word` supports. Each row's entry point is then a
// constant, so the call to it is a direct one (a table load and an indirect
// jump measured about 1 ns slower per single-code call).
template <uint8_t Bits, std::size_t I = 0, typename Call>
inline decltype(auto) with_kernel(uint32_t feature_word, Call&& call) {
    static_assert(I < sizeof(kKernelVariants) / sizeof(kKernelVariants[0]), "no portable row for this width");
    constexpr const KernelVariant& row = kKernelVariants[I];
    if constexpr (row.bits != Bits) {
        return with_kernel<Bits, I + 1>(feature_word, call);
    } else if constexpr (row.required == 0) {
        return call(std::integral_constant<std::size_t, I>{});
    } else {
        if ((feature_word & row.required) == row.required) return call(std::integral_constant<std::size_t, I>{});
        return with_kernel<Bits, I + 1>(feature_word, call);
    }
}

// The first pass of a pruned scan, in the same priority order.
struct PruneVariant {
    const char* name;
    Variant variant;
    uint32_t required;
    ApproxDotsFn* dots;
    ApproxDotsGatherFn* dots_gather;
    ApproxDotsMultiFn* dots_multi;
};

// The VNNI row has no multi-query pass of its own: its groups run the AVX2
// one, which every processor with that row has.
inline constexpr PruneVariant kPruneVariants[] = {
    {"avx512vnni_prune", Variant::Avx512, kAvx2 | kAvx512F | kAvx512Bw | kAvx512Vl | kAvx512Vnni,
     avx512vnni::approx_dots, avx512vnni::approx_dots_gather, avx2::approx_dots_multi},
    {"avx2_prune", Variant::Avx2, kAvx2, avx2::approx_dots, avx2::approx_dots_gather, avx2::approx_dots_multi},
    {"portable_prune", Variant::Portable, 0, portable::approx_dots, portable::approx_dots_gather,
     portable::approx_dots_multi},
};

constexpr const PruneVariant& select_prune(uint32_t feature_word) {
    for (const PruneVariant& v : kPruneVariants) {
        if ((feature_word & v.required) == v.required) return v;
    }
    __builtin_unreachable();
}

}  // namespace kivo::simd
