// The Lloyd-Max codebooks as the scoring paths load them: exact float32 values
// (hexadecimal literals of the quantizer's pinned bit patterns; a test checks
// them bit for bit), aligned for whole-register loads. Nothing but constants,
// so any translation unit can include it whatever it is compiled for.
#pragma once

namespace kivo::simd {

// Internal linkage: each kernel translation unit keeps its own copy, so the
// linker never has to choose one compiled for wider instructions.
namespace {

alignas(64) constexpr float kCentroids2[4] = {
    -0x1.82aabap+0f, -0x1.cfa59p-2f, 0x1.cfa59p-2f, 0x1.82aabap+0f,
};

// The 2-bit table twice, once per 128-bit half, for in-lane permutes.
alignas(64) constexpr float kCentroids2x2[8] = {
    -0x1.82aabap+0f, -0x1.cfa59p-2f, 0x1.cfa59p-2f, 0x1.82aabap+0f,
    -0x1.82aabap+0f, -0x1.cfa59p-2f, 0x1.cfa59p-2f, 0x1.82aabap+0f,
};

alignas(64) constexpr float kCentroids4[16] = {
    -0x1.5dc57ep+1f, -0x1.08d58ep+1f, -0x1.9e384ap+0f, -0x1.41985ep+0f,
    -0x1.e27a74p-1f, -0x1.5042bap-1f, -0x1.8d5c88p-2f, -0x1.06f3f6p-3f,
    0x1.06f3f6p-3f,  0x1.8d5c88p-2f,  0x1.5042bap-1f,  0x1.e27a74p-1f,
    0x1.41985ep+0f,  0x1.9e384ap+0f,  0x1.08d58ep+1f,  0x1.5dc57ep+1f,
};

}  // namespace

}  // namespace kivo::simd
