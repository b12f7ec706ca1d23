// advise_large_pages: madvise(MADV_HUGEPAGE) over the whole 2 MiB pages of a
// buffer.
#include "large_buffer.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kivo {

void advise_large_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kPage = std::uintptr_t{2} << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t last = (start + bytes) & ~(kPage - 1);
    if (data == nullptr || last <= first) return;
    // The result is ignored on purpose: without large pages the buffer
    // works the same, only with more TLB misses.
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace kivo
