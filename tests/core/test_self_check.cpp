// The kernel self-check that packaged builds report: one selected row per
// code width (the first supported one), and every supported row agreeing.
#include <gtest/gtest.h>

#include <string>

#include "simd/dispatch.h"
#include "simd/self_check.h"

namespace kivo::simd {
namespace {

TEST(KernelSelfCheck, SelectsTheFirstSupportedRowAndEverySupportedRowAgrees) {
    const auto checks = check_kernels();
    ASSERT_FALSE(checks.empty());
    for (uint8_t bits : {uint8_t{2}, uint8_t{4}}) {
        int selected = 0;
        bool seen_supported = false;
        for (const KernelCheck& check : checks) {
            if (check.bits != bits) continue;
            if (check.selected) {
                ++selected;
                EXPECT_FALSE(seen_supported) << check.name << " chosen after a supported row of higher priority";
                EXPECT_TRUE(check.supported) << check.name;
            }
            seen_supported = seen_supported || check.supported;
            EXPECT_EQ(check.agrees, check.supported) << check.name;
        }
        EXPECT_EQ(selected, 1) << "bits " << int(bits);
    }
    // The portable rows run everywhere.
    for (const KernelCheck& check : checks) {
        if (std::string(check.name).starts_with("portable")) {
            EXPECT_TRUE(check.supported && check.agrees);
        }
    }
    // The selection follows the same processor features as the scoring entry points.
    for (const KernelCheck& check : checks) {
        if (!check.selected) continue;
        const Variant v = check.bits == 4 ? variant_4bit(features()) : variant_2bit(features());
        const std::string expected = v == Variant::Avx512 ? "avx512" : v == Variant::Avx2 ? "avx2" : "portable";
        EXPECT_TRUE(std::string(check.name).starts_with(expected)) << check.name;
    }
}

}  // namespace
}  // namespace kivo::simd
