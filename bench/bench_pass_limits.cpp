// How close the AVX2 first passes of pruned scans run to what this processor
// can do with their instruction mix, and what that mix allows at best.
//
// 1. The clock: a chain of dependent integer adds (one cycle each).
// 2. Throughput per instruction class: independent multiplies (vpmaddubsw,
//    vpmaddwd), shuffles and shifts, adds, alone and mixed, which shows how
//    many pipes each class has.
// 3. Each pass's step as assembly with the pass's own instructions and
//    dependencies (its accumulator chains) and nothing else: no loop
//    bookkeeping, no code loads, no reductions, operands in L1. That is the
//    best the mix can run at here.
// 4. The library's passes over codes held in cache, in the same unit:
//    cycles per 64 coordinates (per query for the group pass).
//
// Usage: bench_pass_limits [seconds_per_measure=0.2]
// Cycles are CPU time divided by the clock measured around each timed round
// (median of seven); the machine may be shared, so run it a few times.
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "simd/dispatch.h"
#include "simd/prune.h"

namespace {

using namespace kivo;

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double g_seconds = 0.2;

// Iterations of f that take about g_seconds / 5 of CPU time.
template <class F>
long calibrate(F f) {
    long n = 1000;
    for (;;) {
        const double t = cpu_seconds();
        f(n);
        const double elapsed = cpu_seconds() - t;
        if (elapsed > g_seconds / 5) return n;
        n = elapsed > 1e-3 ? static_cast<long>(static_cast<double>(n) * g_seconds / 5 / elapsed) + 1 : n * 8;
    }
}

#if defined(__x86_64__) && defined(__GNUC__)

// Operands the assembly reads: 32-byte rows, in L1.
alignas(64) unsigned char g_operands[4096];

#define KIVO_Y_CLOBBERS "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",  \
                        "xmm12", "xmm13", "xmm14", "xmm15"

// CPU nanoseconds per cycle, from a chain of dependent adds (one cycle
// each) run just now: the clock of a shared machine moves, so every
// measurement takes its own.
double ns_per_cycle_now() {
    constexpr long kIterations = 1 << 18;
    const double t = cpu_seconds();
    uint64_t x = 1;
    for (long i = 0; i < kIterations; ++i) {
        asm volatile(
            "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
            "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0"
            : "+r"(x));
    }
    return (cpu_seconds() - t) * 1e9 / (8.0 * kIterations);
}

// Cycles per iteration of f: the median of seven rounds, each timed against
// the clock measured right before and right after it.
template <class F>
double cycles_per_iteration(F f) {
    const long n = calibrate(f);
    std::vector<double> rounds;
    for (int round = 0; round < 7; ++round) {
        const double before = ns_per_cycle_now();
        const double t = cpu_seconds();
        f(n);
        const double ns = (cpu_seconds() - t) * 1e9 / static_cast<double>(n);
        const double after = ns_per_cycle_now();
        rounds.push_back(ns / (0.5 * (before + after)));
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

#define KIVO_MB(d) "vpmaddubsw %%ymm0, %%ymm1, %%ymm" #d "\n\t"
#define KIVO_MD(d) "vpmaddwd %%ymm0, %%ymm1, %%ymm" #d "\n\t"
#define KIVO_SH(d) "vpshufb %%ymm0, %%ymm1, %%ymm" #d "\n\t"
#define KIVO_SR(d) "vpsrlw $4, %%ymm1, %%ymm" #d "\n\t"
#define KIVO_AD(d) "vpaddw %%ymm0, %%ymm1, %%ymm" #d "\n\t"

// Independent instructions, `count` per iteration (no result is read again).
#define KIVO_CLASS(name, count, body)                                                                \
    {                                                                                                \
        name, count, [](long n) {                                                                    \
            asm volatile("vpxor %%ymm0, %%ymm0, %%ymm0\n\tvpxor %%ymm1, %%ymm1, %%ymm1" ::: "xmm0", "xmm1");  \
            for (long i = 0; i < n; ++i) asm volatile(body ::: KIVO_Y_CLOBBERS);                     \
            asm volatile("vzeroupper");                                                              \
        }                                                                                            \
    }

struct Measure {
    const char* name;
    int count;  // instructions (or 64-coordinate units) per iteration
    void (*run)(long);
};

// Four instructions of class A into ymm2-ymm5, then four of class B into
// ymm6-ymm9.
#define KIVO_FOUR_FOUR(A, B) A(2) A(3) A(4) A(5) B(6) B(7) B(8) B(9)

const Measure kClasses[] = {
    KIVO_CLASS("8 vpmaddubsw", 8, KIVO_FOUR_FOUR(KIVO_MB, KIVO_MB)),
    KIVO_CLASS("8 vpmaddwd", 8, KIVO_FOUR_FOUR(KIVO_MD, KIVO_MD)),
    KIVO_CLASS("8 vpshufb", 8, KIVO_FOUR_FOUR(KIVO_SH, KIVO_SH)),
    KIVO_CLASS("8 vpsrlw", 8, KIVO_FOUR_FOUR(KIVO_SR, KIVO_SR)),
    KIVO_CLASS("8 vpaddw", 8, KIVO_FOUR_FOUR(KIVO_AD, KIVO_AD)),
    KIVO_CLASS("4 vpmaddubsw + 4 vpshufb", 8, KIVO_FOUR_FOUR(KIVO_MB, KIVO_SH)),
    KIVO_CLASS("4 vpshufb + 4 vpsrlw", 8, KIVO_FOUR_FOUR(KIVO_SH, KIVO_SR)),
    KIVO_CLASS("4 vpmaddubsw + 4 vpshufb + 8 vpaddw", 16,
               KIVO_FOUR_FOUR(KIVO_MB, KIVO_SH) KIVO_AD(10) KIVO_AD(11) KIVO_AD(12) KIVO_AD(13) KIVO_AD(14)
                   KIVO_AD(15) KIVO_AD(10) KIVO_AD(11)),
};

// The steps of the passes (simd/avx2_prune.cpp, simd/avx2_prune_multi.cpp).
// Fixed inputs: code in ymm0, sign mask ymm1, nibble mask ymm14, 16-bit ones
// ymm15, shuffle tables ymm12/ymm13; query image rows read from %0.
// Single query, 4-bit chunk (64 coordinates) into accumulator A.
#define KIVO_STEP4(A)                                                                                \
    "vpxor %%ymm1, %%ymm0, %%ymm2\n\t"                                                               \
    "vpsrlw $4, %%ymm2, %%ymm3\n\t"                                                                  \
    "vpand %%ymm14, %%ymm2, %%ymm2\n\t"                                                              \
    "vpand %%ymm14, %%ymm3, %%ymm3\n\t"                                                              \
    "vpshufb %%ymm2, %%ymm12, %%ymm4\n\t"                                                            \
    "vpshufb %%ymm3, %%ymm12, %%ymm5\n\t"                                                            \
    "vpmaddubsw 32(%0), %%ymm4, %%ymm4\n\t"                                                          \
    "vpmaddubsw 64(%0), %%ymm5, %%ymm5\n\t"                                                          \
    "vpaddw %%ymm4, %%ymm5, %%ymm4\n\t"                                                              \
    "vpmaddwd %%ymm15, %%ymm4, %%ymm4\n\t"                                                           \
    "vpaddd %%ymm4, %%ymm" #A ", %%ymm" #A "\n\t"
// Single query, 2-bit chunk (128 coordinates).
#define KIVO_STEP2(A)                                                                                \
    "vpxor %%ymm1, %%ymm0, %%ymm2\n\t"                                                               \
    "vpsrlw $4, %%ymm2, %%ymm3\n\t"                                                                  \
    "vpand %%ymm14, %%ymm2, %%ymm2\n\t"                                                              \
    "vpand %%ymm14, %%ymm3, %%ymm3\n\t"                                                              \
    "vpshufb %%ymm2, %%ymm12, %%ymm4\n\t"                                                            \
    "vpshufb %%ymm2, %%ymm13, %%ymm5\n\t"                                                            \
    "vpshufb %%ymm3, %%ymm12, %%ymm6\n\t"                                                            \
    "vpshufb %%ymm3, %%ymm13, %%ymm7\n\t"                                                            \
    "vpmaddubsw 32(%0), %%ymm4, %%ymm4\n\t"                                                          \
    "vpmaddubsw 64(%0), %%ymm5, %%ymm5\n\t"                                                          \
    "vpmaddubsw 96(%0), %%ymm6, %%ymm6\n\t"                                                          \
    "vpmaddubsw 128(%0), %%ymm7, %%ymm7\n\t"                                                         \
    "vpaddw %%ymm4, %%ymm5, %%ymm4\n\t"                                                              \
    "vpaddw %%ymm6, %%ymm7, %%ymm6\n\t"                                                              \
    "vpaddw %%ymm4, %%ymm6, %%ymm4\n\t"                                                              \
    "vpmaddwd %%ymm15, %%ymm4, %%ymm4\n\t"                                                           \
    "vpaddd %%ymm4, %%ymm" #A ", %%ymm" #A "\n\t"
// Group pass: one 4-bit chunk expanded once (into ymm0/ymm1), then each
// query's two products, their 16-bit sum, the widening and its accumulator.
#define KIVO_EXPAND                                                                                  \
    "vmovdqu 2048(%0), %%ymm0\n\t"                                                                   \
    "vpsrlw $4, %%ymm0, %%ymm1\n\t"                                                                  \
    "vpand %%ymm14, %%ymm0, %%ymm0\n\t"                                                              \
    "vpand %%ymm14, %%ymm1, %%ymm1\n\t"                                                              \
    "vpshufb %%ymm0, %%ymm12, %%ymm0\n\t"                                                            \
    "vpshufb %%ymm1, %%ymm12, %%ymm1\n\t"
#define KIVO_QUERY(A, OFF)                                                                           \
    "vpmaddubsw " #OFF "(%0), %%ymm0, %%ymm2\n\t"                                                    \
    "vpmaddubsw " #OFF "+32(%0), %%ymm1, %%ymm3\n\t"                                                 \
    "vpaddw %%ymm2, %%ymm3, %%ymm2\n\t"                                                              \
    "vpmaddwd %%ymm15, %%ymm2, %%ymm2\n\t"                                                           \
    "vpaddd %%ymm2, %%ymm" #A ", %%ymm" #A "\n\t"

// The same with two chunks (ymm0/ymm1, ymm2/ymm3) summed in 16 bits before
// one widening: fewer multiplies per coordinate, which the 16-bit sums allow
// only for query values in [-31, 31] (twice the query rounding of the bound).
#define KIVO_EXPAND2                                                                                 \
    KIVO_EXPAND                                                                                      \
    "vmovdqu 2080(%0), %%ymm2\n\t"                                                                   \
    "vpsrlw $4, %%ymm2, %%ymm3\n\t"                                                                  \
    "vpand %%ymm14, %%ymm2, %%ymm2\n\t"                                                              \
    "vpand %%ymm14, %%ymm3, %%ymm3\n\t"                                                              \
    "vpshufb %%ymm2, %%ymm12, %%ymm2\n\t"                                                            \
    "vpshufb %%ymm3, %%ymm12, %%ymm3\n\t"
#define KIVO_QUERY2(A, OFF)                                                                          \
    "vpmaddubsw " #OFF "(%0), %%ymm0, %%ymm4\n\t"                                                    \
    "vpmaddubsw " #OFF "+32(%0), %%ymm1, %%ymm5\n\t"                                                 \
    "vpaddw %%ymm4, %%ymm5, %%ymm4\n\t"                                                              \
    "vpmaddubsw " #OFF "+64(%0), %%ymm2, %%ymm5\n\t"                                                 \
    "vpaddw %%ymm4, %%ymm5, %%ymm4\n\t"                                                              \
    "vpmaddubsw " #OFF "+96(%0), %%ymm3, %%ymm5\n\t"                                                 \
    "vpaddw %%ymm4, %%ymm5, %%ymm4\n\t"                                                              \
    "vpmaddwd %%ymm15, %%ymm4, %%ymm4\n\t"                                                           \
    "vpaddd %%ymm4, %%ymm" #A ", %%ymm" #A "\n\t"

#define KIVO_STEPS(name, units, body)                                                                \
    {                                                                                                \
        name, units, [](long n) {                                                                    \
            const unsigned char* p = g_operands;                                                     \
            asm volatile("vpxor %%ymm0, %%ymm0, %%ymm0\n\tvpxor %%ymm1, %%ymm1, %%ymm1" ::: "xmm0", "xmm1");  \
            for (long i = 0; i < n; ++i) asm volatile(body ::"r"(p) : "xmm0", "xmm1", KIVO_Y_CLOBBERS);  \
            asm volatile("vzeroupper");                                                              \
        }                                                                                            \
    }

// Per iteration: 8 chunks of 64 coordinates (4-bit, one query), 4 chunks of
// 128 (2-bit, one query), one 4-bit chunk for 8 queries, two for 6.
const Measure kSteps[] = {
    KIVO_STEPS("one query, 4-bit", 8, KIVO_STEP4(8) KIVO_STEP4(9) KIVO_STEP4(10) KIVO_STEP4(11) KIVO_STEP4(8)
                                       KIVO_STEP4(9) KIVO_STEP4(10) KIVO_STEP4(11)),
    KIVO_STEPS("one query, 2-bit", 8, KIVO_STEP2(8) KIVO_STEP2(9) KIVO_STEP2(10) KIVO_STEP2(11)),
    KIVO_STEPS("group of 8, 4-bit", 8, KIVO_EXPAND KIVO_QUERY(4, 0) KIVO_QUERY(5, 64) KIVO_QUERY(6, 128)
                                        KIVO_QUERY(7, 192) KIVO_QUERY(8, 256) KIVO_QUERY(9, 320)
                                            KIVO_QUERY(10, 384) KIVO_QUERY(11, 448)),
    KIVO_STEPS("group of 6, 4-bit, two chunks per widening", 12,
               KIVO_EXPAND2 KIVO_QUERY2(6, 0) KIVO_QUERY2(7, 128) KIVO_QUERY2(8, 256) KIVO_QUERY2(9, 384)
                   KIVO_QUERY2(10, 512) KIVO_QUERY2(11, 640)),
};

// The library's passes over 256 codes in cache, cycles per 64 coordinates.
struct PassFigures {
    double single4, single2, group4;
};

PassFigures library_passes() {
    std::mt19937 rng(7);
    constexpr std::size_t kCodesInCache = 256;
    std::vector<uint8_t> codes(256 * kCodesInCache);
    for (uint8_t& b : codes) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> image(simd::kImage2Bytes * 8);
    for (uint8_t& b : image) b = static_cast<uint8_t>(rng() & 0x7F);
    std::vector<int32_t> out4(64 * kCodesInCache), out2(64 * kCodesInCache);

    simd::PruneImage four;
    four.image4 = image.data();
    four.bytes4 = 256;
    simd::PruneImage two;
    two.image2 = image.data();
    two.bytes2 = 128;
    for (int i = 0; i < 16; ++i) {
        four.table4[i] = static_cast<int8_t>(4 * i - 30);
        two.table2_lo[i] = static_cast<int8_t>(5 * (i & 3) - 7);
        two.table2_hi[i] = static_cast<int8_t>(5 * ((i >> 2) & 3) - 7);
    }
    PassFigures f{};
    f.single4 = cycles_per_iteration([&](long n) {
                    for (long i = 0; i < n; ++i) {
                        simd::avx2::approx_dots(four, codes.data(), 256, kCodesInCache, out4.data(), out2.data(), 0);
                    }
                }) /
                (kCodesInCache * 8.0);
    f.single2 = cycles_per_iteration([&](long n) {
                    for (long i = 0; i < n; ++i) {
                        simd::avx2::approx_dots(two, codes.data(), 128, kCodesInCache, out4.data(), out2.data(), 0);
                    }
                }) /
                (kCodesInCache * 8.0);

    constexpr std::size_t kQueries = 64;
    std::vector<std::vector<int8_t>> images(kQueries, std::vector<int8_t>(simd::kSignedImage4Bytes * 8));
    std::vector<const int8_t*> image4;
    std::vector<const int8_t*> image2(kQueries, nullptr);
    for (auto& im : images) {
        for (int8_t& v : im) v = static_cast<int8_t>(static_cast<int>(rng() % 127) - 63);
        image4.push_back(im.data());
    }
    simd::PruneGroup group;
    group.image4 = image4.data();
    group.image2 = image2.data();
    group.nq = kQueries;
    group.bytes4 = 256;
    for (int i = 0; i < 16; ++i) group.table4[i] = static_cast<uint8_t>(8 * i);
    std::vector<int32_t> g4(kQueries * kCodesInCache), g2(kQueries * kCodesInCache);
    f.group4 = cycles_per_iteration([&](long n) {
                   for (long i = 0; i < n; ++i) {
                       simd::avx2::approx_dots_multi(group, codes.data(), 256, kCodesInCache, g4.data(), g2.data(),
                                                     kCodesInCache);
                   }
               }) /
               (kCodesInCache * kQueries * 8.0);
    return f;
}

#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) g_seconds = std::atof(argv[1]);
#if defined(__x86_64__) && defined(__GNUC__)
    if ((simd::features() & simd::kAvx2) == 0) {
        std::puts("needs AVX2: nothing measured");
        return 0;
    }
    std::printf("clock now: %.2f GHz (dependent adds, CPU time)\n\n", 1.0 / ns_per_cycle_now());

    std::puts("independent instructions                   cycles per instruction");
    for (const Measure& m : kClasses) {
        const double cycles = cycles_per_iteration(m.run);
        std::printf("  %-40s %.3f  (%.2f per cycle)\n", m.name, cycles / m.count, m.count / cycles);
    }

    const PassFigures lib = library_passes();
    const double lib_cycles[] = {lib.single4, lib.single2, lib.group4, 0.0};
    std::puts("\npass step (cycles per 64 coordinates; per query for the group)   best mix   library   efficiency");
    double best[4];
    for (std::size_t i = 0; i < 4; ++i) {
        best[i] = cycles_per_iteration(kSteps[i].run) / kSteps[i].count;
        if (lib_cycles[i] > 0.0) {
            std::printf("  %-62s %6.3f   %6.3f   %5.1f %%\n", kSteps[i].name, best[i], lib_cycles[i],
                        100.0 * best[i] / lib_cycles[i]);
        } else {
            std::printf("  %-62s %6.3f   (not used)\n", kSteps[i].name, best[i]);
        }
    }
    std::printf(
        "\nceilings of the mixes: one-query 2-bit pass at most %.2fx the 4-bit one per code of the same dimension;\n"
        "group pass at most %.2fx the one-query pass per (query, code) in cache, %.2fx with two chunks per\n"
        "widening (library now: %.2fx, %.2fx)\n",
        best[0] / best[1], best[0] / best[2], best[0] / best[3], lib.single4 / lib.single2, lib.single4 / lib.group4);
#else
    std::puts("x86-64 only: nothing measured");
#endif
    return 0;
}
