// The Lloyd-Max codebooks of the standard normal distribution (4 and 16
// levels) and their decision boundaries, pinned by their float32 bit patterns.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace kivo::quantize {

namespace detail {
template <std::size_t N>
constexpr std::array<float, N> from_bits(const std::array<uint32_t, N>& bits) {
    std::array<float, N> values{};
    for (std::size_t i = 0; i < N; ++i) values[i] = std::bit_cast<float>(bits[i]);
    return values;
}
}  // namespace detail

inline constexpr std::array<float, 4> CENTROIDS_2BIT =
    detail::from_bits<4>({0xBFC1555Du, 0xBEE7D2C8u, 0x3EE7D2C8u, 0x3FC1555Du});

// Boundary k separates code k-1 (below) from code k (at and above).
inline constexpr std::array<float, 3> BOUNDS_2BIT =
    detail::from_bits<3>({0xBF7B4A0Fu, 0x00000000u, 0x3F7B4A0Fu});

inline constexpr std::array<float, 16> CENTROIDS_4BIT = detail::from_bits<16>({
    0xC02EE2BFu, 0xC0046AC7u, 0xBFCF1C25u, 0xBFA0CC2Fu, 0xBF713D3Au, 0xBF28215Du, 0xBEC6AE44u, 0xBE0379FBu,
    0x3E0379FBu, 0x3EC6AE44u, 0x3F28215Du, 0x3F713D3Au, 0x3FA0CC2Fu, 0x3FCF1C25u, 0x40046AC7u, 0x402EE2BFu,
});

// Stored as their own rounded constants, not recomputed midpoints: +-0.2582217
// is one float32 step above the midpoint of its neighbouring centroids.
inline constexpr std::array<float, 15> BOUNDS_4BIT = detail::from_bits<15>({
    0xC019A6C3u, 0xBFEBF8DAu, 0xBFB7F42Au, 0xBF8CB566u, 0xBF4CAF4Cu, 0xBF05BC40u, 0xBE8435A2u, 0x00000000u,
    0x3E8435A2u, 0x3F05BC40u, 0x3F4CAF4Cu, 0x3F8CB566u, 0x3FB7F42Au, 0x3FEBF8DAu, 0x4019A6C3u,
});

}  // namespace kivo::quantize
