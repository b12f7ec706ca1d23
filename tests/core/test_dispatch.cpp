// Feature-word dispatch rules and the cached feature word.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "simd/dispatch.h"

namespace kivo::simd {
namespace {

struct DispatchCase {
    const char* name;
    uint32_t word;
    Variant four_bit;
    Variant two_bit;
};

constexpr DispatchCase kDispatchCases[] = {
    {"none", 0, Variant::Portable, Variant::Portable},
    {"avx2 without fma", kAvx2, Variant::Portable, Variant::Portable},
    {"fma without avx2", kFma, Variant::Portable, Variant::Portable},
    {"avx2 and fma", kAvx2 | kFma, Variant::Avx2, Variant::Avx2},
    {"avx512f without bw", kAvx2 | kFma | kAvx512F, Variant::Avx2, Variant::Avx2},
    {"avx512bw without f", kAvx2 | kFma | kAvx512Bw, Variant::Avx2, Variant::Avx2},
    {"avx512f and bw", kAvx2 | kFma | kAvx512F | kAvx512Bw, Variant::Avx512, Variant::Avx2},
    {"avx512 without fma", kAvx2 | kAvx512F | kAvx512Bw, Variant::Avx512, Variant::Portable},
    {"avx512f without bw nor fma", kAvx2 | kAvx512F, Variant::Portable, Variant::Portable},
};

TEST(Dispatch, VariantFollowsFeatureWord) {
    for (const auto& c : kDispatchCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(variant_4bit(c.word), c.four_bit);
        EXPECT_EQ(variant_2bit(c.word), c.two_bit);
    }
}

TEST(Dispatch, CachedWordMatchesDetection) {
    const uint32_t detected = detect_features();
    EXPECT_EQ(features(), detected);
    EXPECT_EQ(features(), detected);
    // Only the defined bits may ever be reported.
    EXPECT_EQ(detected & ~uint32_t{kAvx2 | kFma | kAvx512F | kAvx512Bw | kAvx512Vl | kAvx512Vnni}, 0u);
}

// Linux lists a feature in /proc/cpuinfo only when the processor has it and
// the kernel enabled its register state: an independent account of the same
// facts the detection derives from CPUID and XGETBV.
TEST(Dispatch, DetectionAgreesWithKernelReport) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    std::set<std::string> flags;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string w; words >> w;) flags.insert(w);
        break;
    }
    if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags on this system";
    const uint32_t word = detect_features();
    const struct { const char* flag; uint32_t bit; } expected[] = {
        {"avx2", kAvx2},         {"fma", kFma},           {"avx512f", kAvx512F},
        {"avx512bw", kAvx512Bw}, {"avx512vl", kAvx512Vl}, {"avx512_vnni", kAvx512Vnni}};
    for (const auto& e : expected) {
        EXPECT_EQ(flags.count(e.flag) == 1, (word & e.bit) != 0) << e.flag;
    }
}

}  // namespace
}  // namespace kivo::simd
