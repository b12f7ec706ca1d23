// reserve_large and shrink_large: contents kept, growth geometric, large
// buffers advised for 2 MiB pages.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "large_buffer.h"

namespace kivo {
namespace {

std::vector<uint32_t> iota_words(std::size_t n) {
    std::vector<uint32_t> v(n);
    std::iota(v.begin(), v.end(), 7u);
    return v;
}

TEST(LargeBuffer, GrowingAndShrinkingKeepTheContents) {
    const std::size_t large = kLargeBufferBytes / sizeof(uint32_t) + 3;
    struct Case {
        const char* name;
        std::size_t held;
        std::size_t wanted;
    };
    const Case cases[] = {
        {"small to small", 10, 100},
        {"small to large", 1000, large},
        {"large to larger", large, 3 * large},
        {"empty to large", 0, large},
        {"already room", 100, 50},
    };
    for (const auto& c : cases) {
        std::vector<uint32_t> v = iota_words(c.held);
        reserve_large(v, c.wanted);
        EXPECT_GE(v.capacity(), c.wanted) << c.name;
        EXPECT_EQ(v, iota_words(c.held)) << c.name;
        shrink_large(v);
        EXPECT_EQ(v.capacity(), v.size()) << c.name;
        EXPECT_EQ(v, iota_words(c.held)) << c.name;
    }
}

// One element at a time must not copy the whole buffer each time.
TEST(LargeBuffer, GrowthIsGeometric) {
    std::vector<uint8_t> v;
    std::size_t reallocations = 0;
    const std::size_t n = 3 * kLargeBufferBytes;
    for (std::size_t i = 0; i < n; i += 4096) {
        const uint8_t* before = v.data();
        reserve_large(v, v.size() + 4096);
        v.resize(v.size() + 4096, static_cast<uint8_t>(i >> 12));
        reallocations += v.data() != before;
    }
    EXPECT_LE(reallocations, 16u);
    for (std::size_t i = 0; i < n; i += 4096) ASSERT_EQ(v[i], static_cast<uint8_t>(i >> 12)) << i;
}

// The kernel marks an advised mapping with "hg" in its VmFlags.
bool advised_for_huge_pages(const void* p) {
    std::ifstream maps("/proc/self/smaps");
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    std::string line;
    bool inside = false;
    while (std::getline(maps, line)) {
        std::uintptr_t lo = 0, hi = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> lo >> dash >> hi && dash == '-') {
            inside = lo <= at && at < hi;
            continue;
        }
        if (inside && line.rfind("VmFlags:", 0) == 0) return line.find(" hg") != std::string::npos;
    }
    return false;
}

TEST(LargeBuffer, LargeBuffersAreAdvisedForHugePages) {
    if (!std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled")) {
        GTEST_SKIP() << "no transparent huge pages on this system";
    }
    // The first whole 2 MiB page inside a buffer.
    auto first_page = [](const uint8_t* p) {
        constexpr std::uintptr_t kPage = std::uintptr_t{2} << 20;
        return reinterpret_cast<const void*>((reinterpret_cast<std::uintptr_t>(p) + kPage - 1) & ~(kPage - 1));
    };
    std::vector<uint8_t> v;
    reserve_large(v, 3 * kLargeBufferBytes);
    v.resize(2 * kLargeBufferBytes, 1);
    EXPECT_TRUE(advised_for_huge_pages(first_page(v.data())));
    shrink_large(v);  // into a new, exact buffer
    EXPECT_EQ(v.capacity(), 2 * kLargeBufferBytes);
    EXPECT_TRUE(advised_for_huge_pages(first_page(v.data())));
}

}  // namespace
}  // namespace kivo
