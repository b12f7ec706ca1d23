// The centroid block dot products written once for any register width: each
// variant's translation unit calls centroid_dots_with<Lanes<W>> and so
// compiles it with its own flags (W = 8 under -mavx2, 16 under -mavx512f).
// Internal linkage, like every kernel helper: no copy is shared between
// translation units built for different processors.
#pragma once

#include <cstddef>

namespace kivo::simd {
namespace {

// Register traits of W float lanes, in the compiler's vector extension so that
// one definition serves every width; under the variant's flags a W-lane
// vector is one register. madd rounds the product before the sum: the build's
// -ffp-contract=off keeps the two apart, exactly as the intrinsics would.
template <std::size_t W>
struct Lanes {
    typedef float Vec __attribute__((vector_size(W * sizeof(float))));
    static constexpr std::size_t kLanes = W;
    static Vec zero() { return Vec{}; }
    static Vec load(const float* p) {
        Vec v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(float* p, Vec v) { __builtin_memcpy(p, &v, sizeof v); }
    static Vec madd(Vec acc, float x, Vec c) { return acc + x * c; }
};

// Four vectors against two blocks at a time (eight independent accumulators),
// then the odd block, then the vectors left over one at a time. Every lane is
// one centroid's own sum in index order, so the result does not depend on
// which of these paths computes it.
template <typename R>
void centroid_dots_with(const float* const* vecs, std::size_t nvec, std::size_t len, const float* blocks,
                        std::size_t nblocks, std::size_t block_len, float* out) {
    using Vec = typename R::Vec;
    constexpr std::size_t W = R::kLanes;
    const std::size_t stride = nblocks * W;
    const std::size_t bstride = block_len * W;
    std::size_t v = 0;
    for (; v + 4 <= nvec; v += 4) {
        const float* a0 = vecs[v];
        const float* a1 = vecs[v + 1];
        const float* a2 = vecs[v + 2];
        const float* a3 = vecs[v + 3];
        float* o = out + v * stride;
        std::size_t b = 0;
        for (; b + 2 <= nblocks; b += 2) {
            const float* c0 = blocks + b * bstride;
            const float* c1 = c0 + bstride;
            Vec s00 = R::zero(), s01 = R::zero();
            Vec s10 = R::zero(), s11 = R::zero();
            Vec s20 = R::zero(), s21 = R::zero();
            Vec s30 = R::zero(), s31 = R::zero();
            for (std::size_t i = 0; i < len; ++i) {
                const Vec x0 = R::load(c0 + i * W);
                const Vec x1 = R::load(c1 + i * W);
                s00 = R::madd(s00, a0[i], x0);
                s01 = R::madd(s01, a0[i], x1);
                s10 = R::madd(s10, a1[i], x0);
                s11 = R::madd(s11, a1[i], x1);
                s20 = R::madd(s20, a2[i], x0);
                s21 = R::madd(s21, a2[i], x1);
                s30 = R::madd(s30, a3[i], x0);
                s31 = R::madd(s31, a3[i], x1);
            }
            R::store(o + b * W, s00);
            R::store(o + b * W + W, s01);
            R::store(o + stride + b * W, s10);
            R::store(o + stride + b * W + W, s11);
            R::store(o + 2 * stride + b * W, s20);
            R::store(o + 2 * stride + b * W + W, s21);
            R::store(o + 3 * stride + b * W, s30);
            R::store(o + 3 * stride + b * W + W, s31);
        }
        for (; b < nblocks; ++b) {
            const float* c0 = blocks + b * bstride;
            Vec s0 = R::zero(), s1 = R::zero();
            Vec s2 = R::zero(), s3 = R::zero();
            for (std::size_t i = 0; i < len; ++i) {
                const Vec x0 = R::load(c0 + i * W);
                s0 = R::madd(s0, a0[i], x0);
                s1 = R::madd(s1, a1[i], x0);
                s2 = R::madd(s2, a2[i], x0);
                s3 = R::madd(s3, a3[i], x0);
            }
            R::store(o + b * W, s0);
            R::store(o + stride + b * W, s1);
            R::store(o + 2 * stride + b * W, s2);
            R::store(o + 3 * stride + b * W, s3);
        }
    }
    for (; v < nvec; ++v) {
        const float* a = vecs[v];
        float* o = out + v * stride;
        for (std::size_t b = 0; b < nblocks; ++b) {
            const float* c0 = blocks + b * bstride;
            Vec s0 = R::zero();
            for (std::size_t i = 0; i < len; ++i) s0 = R::madd(s0, a[i], R::load(c0 + i * W));
            R::store(o + b * W, s0);
        }
    }
}

}  // namespace
}  // namespace kivo::simd
