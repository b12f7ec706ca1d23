// Processor-feature detection, the process-wide feature word, and the scoring
// entry points that route each call to the first registry row the processor
// supports.
#include "simd/dispatch.h"

#include <algorithm>
#include <atomic>

#include "simd/registry.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define KIVO_SIMD_X86 1
#endif

namespace kivo::simd {

namespace {

// Marks the cached word as filled, so that "no features" (0) is cached too.
constexpr uint32_t kDetected = 1u << 31;

std::atomic<uint32_t> g_features{0};

#ifdef KIVO_SIMD_X86
// XGETBV(0) without requiring -mxsave for the whole translation unit.
uint64_t read_xcr0() {
    uint32_t lo = 0;
    uint32_t hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<uint64_t>(hi) << 32) | lo;
}
#endif

}  // namespace

uint32_t detect_features() {
    uint32_t word = 0;
#ifdef KIVO_SIMD_X86
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return 0;
    const unsigned max_leaf = eax;
    if (max_leaf < 1) return 0;
    __get_cpuid(1, &eax, &ebx, &ecx, &edx);
    const bool osxsave = (ecx >> 27) & 1u;
    const bool avx = (ecx >> 28) & 1u;
    const bool fma = (ecx >> 12) & 1u;
    // Without OSXSAVE the OS manages no extended state and XGETBV would fault.
    if (!osxsave || !avx) return 0;
    const uint64_t xcr0 = read_xcr0();
    const bool ymm_state = (xcr0 & 0x6u) == 0x6u;           // SSE and AVX (upper YMM) state
    const bool zmm_state = ymm_state && (xcr0 & 0xE0u) == 0xE0u;  // opmask, ZMM_Hi256, Hi16_ZMM
    if (!ymm_state) return 0;
    if (fma) word |= kFma;
    if (max_leaf >= 7) {
        __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx);
        if ((ebx >> 5) & 1u) word |= kAvx2;
        if (zmm_state) {
            if ((ebx >> 16) & 1u) word |= kAvx512F;
            if ((ebx >> 30) & 1u) word |= kAvx512Bw;
            if ((ebx >> 31) & 1u) word |= kAvx512Vl;
            if ((ecx >> 11) & 1u) word |= kAvx512Vnni;
        }
    }
#endif
    return word;
}

uint32_t features() {
    uint32_t word = g_features.load(std::memory_order_relaxed);
    if ((word & kDetected) == 0) {
        // Two threads racing here detect the same value; either store wins.
        word = detect_features() | kDetected;
        g_features.store(word, std::memory_order_relaxed);
    }
    return word & ~kDetected;
}

Variant variant_4bit(uint32_t feature_word) { return select_kernel(4, feature_word).variant; }

Variant variant_2bit(uint32_t feature_word) { return select_kernel(2, feature_word).variant; }

// The feature check is one load and a few bit tests per call; nothing is
// cached per caller, so every call follows the processor it runs on. The
// kernels read ceil(len / 4) or ceil(len / 2) code bytes; a code span shorter
// than that limits len to the coordinates it covers, so no call reads past it.
float score_2bit(std::span<const float> query, std::span<const uint8_t> code) {
    const std::size_t len = std::min(query.size(), 4 * code.size());
    return with_kernel<2>(features(), [&](auto row) {
        return kKernelVariants[row].single(query.data(), len, code.data());
    });
}

float score_4bit(std::span<const float> query, std::span<const uint8_t> code) {
    const std::size_t len = std::min(query.size(), 2 * code.size());
    return with_kernel<4>(features(), [&](auto row) {
        return kKernelVariants[row].single(query.data(), len, code.data());
    });
}

void score_2bit_batch(std::span<const float> query, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out) {
    with_kernel<2>(features(), [&](auto row) {
        kKernelVariants[row].batch(query.data(), query.size(), code, stride, count, out);
    });
}

void score_4bit_batch(std::span<const float> query, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out) {
    with_kernel<4>(features(), [&](auto row) {
        kKernelVariants[row].batch(query.data(), query.size(), code, stride, count, out);
    });
}

void score_2bit_gather(std::span<const float> query, const uint8_t* const* codes, std::size_t count, float* out) {
    with_kernel<2>(features(), [&](auto row) {
        kKernelVariants[row].gather(query.data(), query.size(), codes, count, out);
    });
}

void score_4bit_gather(std::span<const float> query, const uint8_t* const* codes, std::size_t count, float* out) {
    with_kernel<4>(features(), [&](auto row) {
        kKernelVariants[row].gather(query.data(), query.size(), codes, count, out);
    });
}

}  // namespace kivo::simd
