// What every vectorised scoring kernel shares: the codebooks, unaligned code
// loads, prefetching ahead of a scan, the scalar byte tail of the 4-bit
// kernels and the batch and gather drivers. Everything here has internal
// linkage, so each kernel translation unit compiles its own copy with its own
// instruction-set flags and the linker never picks one copy for all of them.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/codebook.h"

namespace kivo::simd {
namespace {

inline uint64_t load_u64(const uint8_t* p) {
    uint64_t v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t load_u32(const uint8_t* p) {
    uint32_t v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t load_u16(const uint8_t* p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8); }

// Asks for the cache line at p + offset ahead of use, into L2 (measured faster
// than into L1 for these scans). The address is formed as an integer because
// it may lie past the codes' array; a prefetch never faults.
inline void prefetch(const uint8_t* p, std::size_t offset) {
    _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(p) + offset), _MM_HINT_T1);
}

// One line of each of the N codes, `offset` bytes past its start.
template <std::size_t N>
inline void prefetch_codes(const uint8_t* const* code, std::size_t offset) {
    for (std::size_t k = 0; k < N; ++k) prefetch(code[k], offset);
}

// The lines from `from` up to `span` of the codes `ahead` bytes further on
// that a kernel's main loop did not reach; nothing when ahead is 0.
template <std::size_t N>
inline void prefetch_rest(const uint8_t* const* code, std::size_t ahead, std::size_t from, std::size_t span) {
    if (ahead == 0) return;
    for (std::size_t off = from; off < span; off += 64) prefetch_codes<N>(code, ahead + off);
}

// Distance from a group of n codes to the codes prefetched while it is scored:
// whole groups, at least about 4 KiB ahead so that the lines arrive before
// use even when a group is scored quickly. Addresses past the caller's array
// are harmless (see prefetch); in a chunked scan they are the next chunk.
inline std::size_t prefetch_ahead(std::size_t n, std::size_t stride) {
    const std::size_t group = n * stride;
    if (group == 0) return 0;
    return (4096 + group - 1) / group * group;
}

// The bytes [from, bytes) of a 4-bit block added to r one coordinate at a
// time: products rounded, then added (the build never contracts them).
inline float tail_4bit(const float* q, std::size_t len, const uint8_t* code, std::size_t from,
                       std::size_t bytes, float r) {
    for (std::size_t i = from; i < bytes; ++i) {
        r = r + q[2 * i] * kCentroids4[code[i] & 15];
        if (2 * i + 1 < len) r = r + q[2 * i + 1] * kCentroids4[code[i] >> 4];
    }
    return r;
}

// A kernel scoring N codes at once: Kernel::run<N>(q, len, codes, out, ahead,
// span). Each code keeps its own accumulators and order of operations, so the
// result for a code does not depend on N. A nonzero `ahead` is the distance to
// the codes of a later call, whose first `span` bytes the kernel prefetches.
//
// The batch driver: groups of N codes at code + i * stride, then the rest one
// at a time without prefetching. `span`: bytes of each later code to
// prefetch, 0 for none.
template <std::size_t N, typename Kernel>
inline void run_batch(const float* q, std::size_t len, const uint8_t* code, std::size_t stride,
                      std::size_t count, float* out, std::size_t span) {
    const std::size_t ahead = span != 0 ? prefetch_ahead(N, stride) : 0;
    std::size_t i = 0;
    for (; i + N <= count; i += N) {
        const uint8_t* codes[N];
        for (std::size_t k = 0; k < N; ++k) codes[k] = code + (i + k) * stride;
        Kernel::template run<N>(q, len, codes, out + i, ahead, span);
    }
    for (; i < count; ++i) {
        const uint8_t* one[1] = {code + i * stride};
        Kernel::template run<1>(q, len, one, out + i, 0, 0);
    }
}

// Every cache line of the `bytes` bytes at p (which need not start a line).
inline void prefetch_lines(const uint8_t* p, std::size_t bytes) {
    if (bytes == 0) return;
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{63};
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(p) + bytes - 1;
    for (std::uintptr_t line = first; line <= last; line += 64) {
        _mm_prefetch(reinterpret_cast<const char*>(line), _MM_HINT_T1);
    }
}

// The codes [from, to) of a gather, `bytes` bytes each.
inline void prefetch_gathered(const uint8_t* const* codes, std::size_t from, std::size_t to, std::size_t bytes) {
    for (std::size_t k = from; k < to; ++k) prefetch_lines(codes[k], bytes);
}

// The gather driver: groups of N codes found at codes[i], then the rest one
// at a time, through the same kernel (so out[i] equals the single-code result
// for codes[i]). Scattered codes have no fixed distance to the next ones, so
// the kernel's own prefetching stays off; instead, the `span` bytes of every
// code of the next group are prefetched whole while the current group is
// scored (the first group's before it, so its later lines arrive while its
// first ones are read).
template <std::size_t N, typename Kernel>
inline void run_gather(const float* q, std::size_t len, const uint8_t* const* codes, std::size_t count, float* out,
                       std::size_t span) {
    prefetch_gathered(codes, 0, N < count ? N : count, span);
    std::size_t i = 0;
    for (; i + N <= count; i += N) {
        const std::size_t next = i + 2 * N < count ? i + 2 * N : count;
        prefetch_gathered(codes, i + N, next, span);
        Kernel::template run<N>(q, len, codes + i, out + i, 0, 0);
    }
    // The last group's prefetch already covered these.
    for (; i < count; ++i) Kernel::template run<1>(q, len, codes + i, out + i, 0, 0);
}

// One code through the same kernel, no prefetching.
template <typename Kernel>
inline float run_single(const float* q, std::size_t len, const uint8_t* code) {
    float r;
    Kernel::template run<1>(q, len, &code, &r, 0, 0);
    return r;
}

}  // namespace
}  // namespace kivo::simd
