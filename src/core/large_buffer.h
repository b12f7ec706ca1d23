// Room for the large arrays (codes, graph links) that searches read at
// random: backed by 2 MiB pages where the system allows it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>

namespace kivo {

// Buffers from this size on are worth large pages: a search that touches a
// few cache lines of each of thousands of nodes otherwise misses the TLB on
// most of them.
inline constexpr std::size_t kLargeBufferBytes = std::size_t{4} << 20;

// Asks that the untouched pages of [data, data + bytes) be backed by 2 MiB
// pages (Linux transparent huge pages, "madvise" mode). Advice only: nothing
// changes where the system has no such pages or refuses.
void advise_large_pages(void* data, std::size_t bytes);

// Makes room for at least n elements in v, growing geometrically as
// push_back does. A large buffer is allocated fresh, advised before its
// first write, and then filled with v's elements, so that the copy already
// lands on large pages.
template <class T>
void reserve_large(std::vector<T>& v, std::size_t n) {
    if (v.capacity() >= n) return;
    const std::size_t grown = std::max(n, 2 * v.capacity());
    if (grown * sizeof(T) < kLargeBufferBytes) {
        v.reserve(grown);
        return;
    }
    std::vector<T> fresh;
    fresh.reserve(grown);
    advise_large_pages(fresh.data(), grown * sizeof(T));
    fresh.insert(fresh.end(), std::make_move_iterator(v.begin()), std::make_move_iterator(v.end()));
    v.swap(fresh);
}

// Drops v's unused room; a large buffer stays on large pages.
template <class T>
void shrink_large(std::vector<T>& v) {
    if (v.capacity() == v.size()) return;
    std::vector<T> exact;
    reserve_large(exact, v.size());
    exact.insert(exact.end(), std::make_move_iterator(v.begin()), std::make_move_iterator(v.end()));
    v.swap(exact);
}

}  // namespace kivo
