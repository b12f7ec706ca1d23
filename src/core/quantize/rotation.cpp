// Rhdh: PCG-XSH-RR key expansion, the ChaCha20 keystream that draws the signs,
// and the sign pass + Sylvester-order fast Walsh-Hadamard transform.
#include "quantize/rotation.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>

#include "config.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kivo::quantize {

namespace {

constexpr uint64_t kPcgMultiplier = 6364136223846793005ULL;   // 0x5851F42D4C957F2D
constexpr uint64_t kPcgIncrement = 11634580027462260723ULL;  // 0xA17654E46FBE17F3

// "expand 32-byte k" as four little-endian words.
constexpr uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

inline void quarter_round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

#if defined(__SSE2__)

template <int N>
inline __m128i rotl_lanes(__m128i v) {
    return _mm_or_si128(_mm_slli_epi32(v, N), _mm_srli_epi32(v, 32 - N));
}

inline void quarter_round4(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    a = _mm_add_epi32(a, b); d = _mm_xor_si128(d, a); d = rotl_lanes<16>(d);
    c = _mm_add_epi32(c, d); b = _mm_xor_si128(b, c); b = rotl_lanes<12>(b);
    a = _mm_add_epi32(a, b); d = _mm_xor_si128(d, a); d = rotl_lanes<8>(d);
    c = _mm_add_epi32(c, d); b = _mm_xor_si128(b, c); b = rotl_lanes<7>(b);
}

// Four consecutive blocks (counters base .. base + 3) at once, one block per
// lane; out[16 * k + w] is word w of block base + k, i.e. stream order.
void chacha20_blocks4(const std::array<uint32_t, 8>& key, uint64_t base, uint32_t out[64]) {
    alignas(16) uint32_t lo[4], hi[4];
    for (int k = 0; k < 4; ++k) {
        const uint64_t counter = base + static_cast<uint64_t>(k);
        lo[k] = static_cast<uint32_t>(counter);
        hi[k] = static_cast<uint32_t>(counter >> 32);
    }
    __m128i in[16];
    for (int i = 0; i < 4; ++i) in[i] = _mm_set1_epi32(static_cast<int>(kSigma[i]));
    for (int i = 0; i < 8; ++i) in[4 + i] = _mm_set1_epi32(static_cast<int>(key[i]));
    in[12] = _mm_load_si128(reinterpret_cast<const __m128i*>(lo));
    in[13] = _mm_load_si128(reinterpret_cast<const __m128i*>(hi));
    in[14] = _mm_setzero_si128();
    in[15] = _mm_setzero_si128();

    __m128i x[16];
    for (int i = 0; i < 16; ++i) x[i] = in[i];
    for (int round = 0; round < 10; ++round) {
        quarter_round4(x[0], x[4], x[8], x[12]);
        quarter_round4(x[1], x[5], x[9], x[13]);
        quarter_round4(x[2], x[6], x[10], x[14]);
        quarter_round4(x[3], x[7], x[11], x[15]);
        quarter_round4(x[0], x[5], x[10], x[15]);
        quarter_round4(x[1], x[6], x[11], x[12]);
        quarter_round4(x[2], x[7], x[8], x[13]);
        quarter_round4(x[3], x[4], x[9], x[14]);
    }
    alignas(16) uint32_t lanes[16][4];
    for (int w = 0; w < 16; ++w) {
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes[w]), _mm_add_epi32(x[w], in[w]));
    }
    for (int k = 0; k < 4; ++k) {
        for (int w = 0; w < 16; ++w) out[16 * k + w] = lanes[w][k];
    }
}

#else

// Input state of block `counter`: constants, key, 64-bit counter (low word
// first), 64-bit nonce 0.
std::array<uint32_t, 16> block_state(const std::array<uint32_t, 8>& key, uint64_t counter) {
    std::array<uint32_t, 16> s{};
    for (int i = 0; i < 4; ++i) s[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) s[4 + i] = key[i];
    s[12] = static_cast<uint32_t>(counter);
    s[13] = static_cast<uint32_t>(counter >> 32);
    return s;
}

void chacha20_blocks4(const std::array<uint32_t, 8>& key, uint64_t base, uint32_t out[64]) {
    for (int k = 0; k < 4; ++k) {
        const auto block = chacha20_block(block_state(key, base + static_cast<uint64_t>(k)));
        for (int w = 0; w < 16; ++w) out[16 * k + w] = block[w];
    }
}

#endif

// One keystream word per sign; bit 0 set means -1. Words past n in the last
// group of blocks are discarded.
std::vector<int8_t> draw_signs(uint64_t seed, std::size_t n) {
    std::vector<int8_t> signs(n);
    const auto key = expand_key(seed);
    uint32_t words[64];
    uint64_t counter = 0;
    for (std::size_t j = 0; j < n; j += 64, counter += 4) {
        chacha20_blocks4(key, counter, words);
        const std::size_t take = std::min<std::size_t>(64, n - j);
        for (std::size_t t = 0; t < take; ++t) signs[j + t] = (words[t] & 1u) ? int8_t{-1} : int8_t{1};
    }
    return signs;
}

// The butterflies. Each output must come from the same float32 additions and
// subtractions, on the same operands, as the plain loop
//   for h = 1, 2, 4, ...: y[i], y[i+h] = y[i] + y[i+h], y[i] - y[i+h]
// Passes below only regroup independent butterflies (two stages per pass,
// cache-sized blocks first), which leaves every value bit for bit unchanged.

void butterflies_scalar(float* y, std::size_t n) {
    for (std::size_t h = 1; h < n; h *= 2) {
        for (std::size_t b = 0; b < n; b += 2 * h) {
            for (std::size_t i = b; i < b + h; ++i) {
                const float u = y[i];
                const float v = y[i + h];
                y[i] = u + v;
                y[i + h] = u - v;
            }
        }
    }
}

#if defined(__SSE2__)

// Stages h = 1 and h = 2 inside every group of four values.
void stages_1_2(float* y, std::size_t len) {
    for (std::size_t i = 0; i < len; i += 4) {
        const __m128 x = _mm_loadu_ps(y + i);                                // a b c d
        const __m128 p = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 0, 2, 0));      // a c a c
        const __m128 q = _mm_shuffle_ps(x, x, _MM_SHUFFLE(3, 1, 3, 1));      // b d b d
        const __m128 s = _mm_add_ps(p, q);                                   // a+b c+d . .
        const __m128 d = _mm_sub_ps(p, q);                                   // . . a-b c-d
        const __m128 t = _mm_shuffle_ps(s, d, _MM_SHUFFLE(3, 2, 1, 0));      // A C B D
        const __m128 p2 = _mm_shuffle_ps(t, t, _MM_SHUFFLE(2, 0, 2, 0));     // A B A B
        const __m128 q2 = _mm_shuffle_ps(t, t, _MM_SHUFFLE(3, 1, 3, 1));     // C D C D
        const __m128 s2 = _mm_add_ps(p2, q2);                                // A+C B+D . .
        const __m128 d2 = _mm_sub_ps(p2, q2);                                // . . A-C B-D
        _mm_storeu_ps(y + i, _mm_shuffle_ps(s2, d2, _MM_SHUFFLE(3, 2, 1, 0)));
    }
}

// One stage h (h >= 4) over len values.
void stage_radix2(float* y, std::size_t len, std::size_t h) {
    for (std::size_t b = 0; b < len; b += 2 * h) {
        for (std::size_t i = b; i < b + h; i += 4) {
            const __m128 u = _mm_loadu_ps(y + i);
            const __m128 v = _mm_loadu_ps(y + i + h);
            _mm_storeu_ps(y + i, _mm_add_ps(u, v));
            _mm_storeu_ps(y + i + h, _mm_sub_ps(u, v));
        }
    }
}

// Stages h and 2h (h >= 4) in one pass over len values.
void stage_radix4(float* y, std::size_t len, std::size_t h) {
    for (std::size_t b = 0; b < len; b += 4 * h) {
        for (std::size_t i = b; i < b + h; i += 4) {
            const __m128 a = _mm_loadu_ps(y + i);
            const __m128 bb = _mm_loadu_ps(y + i + h);
            const __m128 c = _mm_loadu_ps(y + i + 2 * h);
            const __m128 d = _mm_loadu_ps(y + i + 3 * h);
            const __m128 a1 = _mm_add_ps(a, bb);
            const __m128 b1 = _mm_sub_ps(a, bb);
            const __m128 c1 = _mm_add_ps(c, d);
            const __m128 d1 = _mm_sub_ps(c, d);
            _mm_storeu_ps(y + i, _mm_add_ps(a1, c1));
            _mm_storeu_ps(y + i + h, _mm_add_ps(b1, d1));
            _mm_storeu_ps(y + i + 2 * h, _mm_sub_ps(a1, c1));
            _mm_storeu_ps(y + i + 3 * h, _mm_sub_ps(b1, d1));
        }
    }
}

// Stages h = first, ... while h < len, two at a time where possible.
void stages_from(float* y, std::size_t len, std::size_t first) {
    std::size_t h = first;
    for (; 4 * h <= len; h *= 4) stage_radix4(y, len, h);
    if (h < len) stage_radix2(y, len, h);
}

// 4096 floats (16 KiB) stay in the first-level cache for their inner stages.
constexpr std::size_t kBlockFloats = 4096;

void butterflies(float* y, std::size_t n) {
    if (n < 4) {
        butterflies_scalar(y, n);
        return;
    }
    const std::size_t block = std::min(n, kBlockFloats);
    for (std::size_t b = 0; b < n; b += block) {
        stages_1_2(y + b, block);
        stages_from(y + b, block, 4);
    }
    if (block < n) stages_from(y, n, block);
}

#else

void butterflies(float* y, std::size_t n) { butterflies_scalar(y, n); }

#endif

}  // namespace

std::array<uint32_t, 8> expand_key(uint64_t seed) {
    std::array<uint32_t, 8> key{};
    uint64_t s = seed;
    for (int k = 0; k < 8; ++k) {
        // The state advances before each output, the first one included.
        s = s * kPcgMultiplier + kPcgIncrement;
        const auto t = static_cast<uint32_t>(((s >> 18) ^ s) >> 27);
        const auto r = static_cast<int>(s >> 59);
        key[k] = std::rotr(t, r);
    }
    return key;
}

std::array<uint32_t, 16> chacha20_block(const std::array<uint32_t, 16>& input) {
    std::array<uint32_t, 16> x = input;
    for (int round = 0; round < 10; ++round) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) x[i] += input[i];
    return x;
}

Rhdh Rhdh::create(uint64_t dim, uint64_t seed) {
    const auto padded = vocab::padded_dim_for(dim);
    // No padded dimension, or a sign vector larger than any allocation can
    // be: the same outcome as running out of memory.
    if (!padded || *padded > static_cast<uint64_t>(PTRDIFF_MAX)) throw std::bad_alloc();
    Rhdh rhdh;
    rhdh.dim_ = dim;
    rhdh.padded_dim_ = *padded;
    rhdh.signs_ = draw_signs(seed, static_cast<std::size_t>(*padded));
    return rhdh;
}

Rhdh Rhdh::from_signs(uint64_t dim, std::vector<int8_t> signs) {
    Rhdh rhdh;
    rhdh.dim_ = dim;
    rhdh.padded_dim_ = signs.size();
    rhdh.signs_ = std::move(signs);
    return rhdh;
}

std::vector<float> Rhdh::apply(std::span<const float> x) const {
    const std::size_t n = signs_.size();
    std::vector<float> y(n);
    const std::size_t m = std::min(x.size(), n);
    // Multiplying by +-1.0 is exact; it (not a sign-bit flip) is what the
    // rotation is defined by, which matters only for NaN inputs.
    for (std::size_t i = 0; i < m; ++i) y[i] = static_cast<float>(signs_[i]) * x[i];
    butterflies(y.data(), n);
    // Rounded reciprocal of the float32 square root, then one multiplication
    // per element: not a division by the root.
    const float c = 1.0f / std::sqrt(static_cast<float>(n));
    for (float& v : y) v = v * c;
    return y;
}

}  // namespace kivo::quantize
