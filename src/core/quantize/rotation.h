// Rhdh: the seeded randomized Hadamard rotation into the padded space. The
// sign vector is a pure function of (seed, padded_dim): PCG-XSH-RR key
// expansion, then one ChaCha20 keystream word per sign. It is drawn at its
// first use, so a rotation that is never applied (a loaded index that holds
// no vectors) costs nothing whatever its dimension.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace kivo::quantize {

// The 32-byte ChaCha20 key expanded from a seed, as 8 little-endian words.
std::array<uint32_t, 8> expand_key(uint64_t seed);

// One ChaCha20 block (20 rounds) of a 16-word input state: permuted state
// added word-wise to the input.
std::array<uint32_t, 16> chacha20_block(const std::array<uint32_t, 16>& input);

class Rhdh {
public:
    // The rotation for `dim` under `seed`; its signs are drawn at the first
    // call of signs() or apply(). `dim` must have a padded dimension (config
    // padded_dim_for); the caller checks. A sign vector that cannot exist in
    // memory (no padded dimension, or one above PTRDIFF_MAX bytes) throws
    // std::bad_alloc here, exactly like any other exhausted allocation; one
    // that merely does not fit the machine throws it at the first use.
    static Rhdh create(uint64_t dim, uint64_t seed);

    // A rotation over explicit signs (each +1 or -1); `signs.size()` must be
    // the padded dimension of `dim`. For tests of the transform itself.
    static Rhdh from_signs(uint64_t dim, std::vector<int8_t> signs);

    // y = (1/sqrt(n)) * H_n * D * [x, 0...]: sign pass, Sylvester-order fast
    // Walsh-Hadamard transform, one multiplication by the rounded reciprocal.
    // Requires x.size() <= padded_dim(); values past padded_dim() are ignored
    // rather than written out of bounds.
    std::vector<float> apply(std::span<const float> x) const;

    // The signs, drawn now if they were not yet (safe from several threads).
    std::span<const int8_t> signs() const { return drawn(); }
    // Whether the signs exist yet (for tests of what a load costs).
    bool signs_drawn() const { return signs_ && signs_->ready.load(std::memory_order_acquire); }
    uint64_t seed() const { return seed_; }
    uint64_t dim() const { return dim_; }
    uint64_t padded_dim() const { return padded_dim_; }

    Rhdh();
    Rhdh(const Rhdh& other);
    Rhdh& operator=(const Rhdh& other);
    Rhdh(Rhdh&& other) noexcept = default;
    Rhdh& operator=(Rhdh&& other) noexcept = default;
    ~Rhdh() = default;

private:
    struct Signs {
        std::once_flag once;
        std::atomic<bool> ready{false};
        std::vector<int8_t> values;
    };

    const std::vector<int8_t>& drawn() const;

    std::unique_ptr<Signs> signs_;
    uint64_t seed_ = 0;
    uint64_t dim_ = 0;
    uint64_t padded_dim_ = 1;
};

}  // namespace kivo::quantize
