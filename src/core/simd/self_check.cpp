// The kernel self-check: each supported variant against the portable path on
// a fixed pseudo-random sample of every code width and several lengths.
#include "simd/self_check.h"

#include <cmath>
#include <cstddef>

#include "simd/dispatch.h"
#include "simd/registry.h"

namespace kivo::simd {

namespace {

// A small fixed generator: the sample is the same in every process.
struct SampleBits {
    uint64_t state = 0x9E3779B97F4A7C15ull;
    uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
};

const KernelVariant& portable_row(uint8_t bits) { return select_kernel(bits, 0); }

bool agrees_with_portable(const KernelVariant& row) {
    const KernelVariant& reference = portable_row(row.bits);
    constexpr std::size_t kBlocks = 7;
    constexpr std::size_t kLengths[] = {1, 3, 8, 31, 64, 100, 512, 1027};
    SampleBits bits;
    for (std::size_t len : kLengths) {
        const std::size_t bytes = row.bits == 4 ? (len + 1) / 2 : (len + 3) / 4;
        const std::size_t stride = bytes + 3;  // codes need not be packed back to back
        std::vector<float> query(len);
        for (float& q : query) q = static_cast<float>(static_cast<int32_t>(bits.next() % 2001) - 1000) / 250.0f;
        std::vector<uint8_t> codes(stride * kBlocks);
        for (uint8_t& c : codes) c = static_cast<uint8_t>(bits.next());
        std::vector<float> batch(kBlocks);
        row.batch(query.data(), len, codes.data(), stride, kBlocks, batch.data());
        // The same blocks gathered back to front.
        const uint8_t* reversed[kBlocks];
        for (std::size_t i = 0; i < kBlocks; ++i) reversed[i] = codes.data() + (kBlocks - 1 - i) * stride;
        std::vector<float> gathered(kBlocks);
        row.gather(query.data(), len, reversed, kBlocks, gathered.data());
        auto same = [](float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); };
        for (std::size_t i = 0; i < kBlocks; ++i) {
            const uint8_t* code = codes.data() + i * stride;
            const float single = row.single(query.data(), len, code);
            const float expected = reference.single(query.data(), len, code);
            if (!same(single, batch[i]) || !same(single, gathered[kBlocks - 1 - i])) return false;
            // Bound: every code value is at most 2.74 in magnitude.
            double magnitude = 0;
            for (float q : query) magnitude += std::fabs(static_cast<double>(q)) * 2.74;
            if (!(std::fabs(static_cast<double>(single) - expected) <= 1e-5 * magnitude + 1e-30)) return false;
        }
    }
    return true;
}

}  // namespace

std::vector<KernelCheck> check_kernels() {
    const uint32_t word = features();
    std::vector<KernelCheck> checks;
    for (const KernelVariant& row : kKernelVariants) {
        KernelCheck check{row.name, row.bits, (word & row.required) == row.required, false, false};
        check.selected = &select_kernel(row.bits, word) == &row;
        check.agrees = check.supported && agrees_with_portable(row);
        checks.push_back(check);
    }
    return checks;
}

}  // namespace kivo::simd
