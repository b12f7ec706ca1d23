// Throughput of the scoring kernels: ns per code and GB/s of code bytes for
// every supported variant, single-code and batched, over a cache-resident and
// a larger-than-cache array of 2-bit, 4-bit and mixed (half 4-bit) codes.
//
// Times are thread CPU time (the machine may be shared: time spent descheduled
// does not count); the wall-clock rate of the same best run is shown beside it.
//
// Usage: bench_kernels [large_MiB=256] [small_KiB=128] [min_seconds=0.25] [dim=all]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "simd/dispatch.h"
#include "simd/kernels.h"

namespace {

using namespace kivo;

using SingleFn = float (*)(const float*, std::size_t, const uint8_t*);
using BatchFn = void (*)(const float*, std::size_t, const uint8_t*, std::size_t, std::size_t, float*);

// Codes per batched call: the block a scan would hand over at once; the
// result buffers stay in L1.
constexpr std::size_t kChunk = 256;

struct Mode {
    const char* name;
    std::size_t n4;  // leading coordinates at 4 bits
    std::size_t n2;  // remaining coordinates at 2 bits
    std::size_t bytes() const { return (n4 + 1) / 2 + (n2 + 3) / 4; }
};

// A 4-bit and a 2-bit kernel pair; a pure mode uses one of them.
struct Variant {
    std::string name;
    SingleFn single4, single2;
    BatchFn batch4, batch2;  // null: no batched form
};

volatile float g_sink;

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Timing {
    double cpu_per_code;
    double wall_per_code;
};

// One pass over all codes, single-code calls.
float pass_single(const Mode& m, const Variant& v, const float* q, const uint8_t* codes, std::size_t count) {
    const std::size_t stride = m.bytes();
    const std::size_t pb4 = (m.n4 + 1) / 2;
    float sum = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* c = codes + i * stride;
        float s = 0.0f;
        if (m.n4 > 0) s = v.single4(q, m.n4, c);
        if (m.n2 > 0) s = s + v.single2(q + m.n4, m.n2, c + pb4);
        sum += s;
    }
    return sum;
}

// One pass over all codes, batched per block as a mixed scan does it: the
// 4-bit block at offset 0 and the 2-bit block at offset pb4, both at the code
// stride, then one addition per code.
float pass_batch(const Mode& m, const Variant& v, const float* q, const uint8_t* codes, std::size_t count) {
    const std::size_t stride = m.bytes();
    const std::size_t pb4 = (m.n4 + 1) / 2;
    float s4[kChunk], s2[kChunk];
    float sum = 0.0f;
    for (std::size_t i = 0; i < count; i += kChunk) {
        const std::size_t n = std::min(kChunk, count - i);
        const uint8_t* c = codes + i * stride;
        if (m.n4 > 0) v.batch4(q, m.n4, c, stride, n, s4);
        if (m.n2 > 0) v.batch2(q + m.n4, m.n2, c + pb4, stride, n, s2);
        for (std::size_t k = 0; k < n; ++k) {
            const float s = m.n4 == 0 ? s2[k] : m.n2 == 0 ? s4[k] : s2[k] + s4[k];
            sum += s;
        }
    }
    return sum;
}

// Best of `reps` timings, each repeating whole passes for at least min_seconds
// of CPU time; the best run is the one least disturbed by other work.
Timing time_per_code(bool batched, const Mode& m, const Variant& v, const float* q, const uint8_t* codes,
                     std::size_t count, double min_seconds, int reps) {
    Timing best{1e30, 1e30};
    for (int r = 0; r < reps; ++r) {
        std::size_t passes = 0;
        float sink = 0.0f;
        const double cpu_start = cpu_seconds();
        const double wall_start = wall_seconds();
        double cpu = 0.0;
        do {
            sink += batched ? pass_batch(m, v, q, codes, count) : pass_single(m, v, q, codes, count);
            ++passes;
            cpu = cpu_seconds() - cpu_start;
        } while (cpu < min_seconds);
        const double wall = wall_seconds() - wall_start;
        g_sink = sink;
        const double n = static_cast<double>(passes * count);
        if (cpu / n < best.cpu_per_code) best = {cpu / n, wall / n};
    }
    return best;
}

std::vector<uint8_t> random_bytes(std::size_t n, uint64_t seed) {
    std::vector<uint8_t> out(n);
    uint64_t x = seed;
    for (std::size_t i = 0; i < n; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        for (std::size_t k = 0; k < 8 && i + k < n; ++k) out[i + k] = static_cast<uint8_t>(x >> (8 * k));
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t large_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const std::size_t small_kib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
    const double min_seconds = argc > 3 ? std::strtod(argv[3], nullptr) : 0.25;
    const std::size_t only_dim = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 0;

    const uint32_t f = simd::features();
    const bool has_avx2 = simd::variant_2bit(f) == simd::Variant::Avx2;
    const bool has_avx512 = simd::variant_4bit(f) == simd::Variant::Avx512;
    std::vector<Variant> variants = {
        {"portable", simd::portable::score_4bit, simd::portable::score_2bit, nullptr, nullptr},
    };
    if (has_avx2) {
        variants.push_back({"avx2", simd::avx2::score_4bit, simd::avx2::score_2bit, simd::avx2::score_4bit_batch,
                            simd::avx2::score_2bit_batch});
    }
    if (has_avx512) {
        // There is no AVX-512 2-bit kernel: the 2-bit block of a mixed code
        // goes to the AVX2 one, as dispatch does.
        variants.push_back({"avx512", simd::avx512::score_4bit, simd::avx2::score_2bit,
                            simd::avx512::score_4bit_batch, simd::avx2::score_2bit_batch});
    }

    std::printf("features: avx2+fma=%d avx512f+bw=%d; cache-resident array %zu KiB, large array %zu MiB\n",
                has_avx2, has_avx512, small_kib, large_mib);
    std::printf("%-6s %-6s %-9s %-8s %-6s %10s %10s %10s %10s\n", "dim", "mode", "array", "variant", "call",
                "codes", "ns/code", "GB/s", "GB/s wall");

    const std::vector<uint8_t> large = random_bytes(large_mib << 20, 0x9E3779B97F4A7C15ull);
    for (std::size_t dim : {512, 1024, 2048}) {
        if (only_dim != 0 && dim != only_dim) continue;
        std::vector<float> q(dim);
        const std::vector<uint8_t> qbits = random_bytes(dim, dim);
        for (std::size_t i = 0; i < dim; ++i) q[i] = (static_cast<float>(qbits[i]) - 127.5f) / 64.0f;
        const Mode modes[] = {{"2bit", 0, dim}, {"4bit", dim, 0}, {"mixed", dim / 2, dim / 2}};
        for (const Mode& m : modes) {
            for (const bool is_large : {false, true}) {
                const std::size_t array_bytes = is_large ? large.size() : small_kib << 10;
                const std::size_t count = array_bytes / m.bytes();
                if (count == 0) continue;
                for (const Variant& v : variants) {
                    if (m.n4 == 0 && v.name == "avx512") continue;  // same as avx2 for 2-bit codes
                    for (const bool batched : {false, true}) {
                        if (batched && v.batch4 == nullptr) continue;
                        const Timing t = time_per_code(batched, m, v, q.data(), large.data(), count,
                                                       is_large ? 0.0 : min_seconds, is_large ? 2 : 3);
                        const double bytes = static_cast<double>(m.bytes());
                        std::printf("%-6zu %-6s %-9s %-8s %-6s %10zu %10.2f %10.2f %10.2f\n", dim, m.name,
                                    is_large ? "large" : "resident", v.name.c_str(), batched ? "batch" : "single",
                                    count, t.cpu_per_code * 1e9, bytes / t.cpu_per_code / 1e9,
                                    bytes / t.wall_per_code / 1e9);
                        std::fflush(stdout);
                    }
                }
            }
        }
    }
    return 0;
}
